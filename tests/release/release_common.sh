# What both release tests begin with, sourced: the source tree, a work folder of their own, a
# count of failed checks with `fail` to add one, and the version being released.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
failures=0

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

version=$(sed -nE 's/^#define SORVANEL_VERSION_TEXT "([0-9.]+)".*/\1/p' "$root/src/version.h")
