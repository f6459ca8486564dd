#!/bin/sh
# Minutes of the service under Wine's service manager: the test-only host of each Windows
# image, with requests by sorvanel.exe -f and control 128, stops, settings edits and -f while
# stopped mixed at random, each request and stop timed. Needs build/test (the test preset)
# and both Windows images built.
#
#   bench/soak_wine.sh [SECONDS]     (default 180, shared by the images that Wine runs here)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
exec "$root/build/test/soak_wine" "${1:-180}"
