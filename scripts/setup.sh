#!/bin/bash
# Installs what building, running and testing Sorvanel need on Debian 12: compilers, CMake,
# the test libraries, MinGW-w64, Wine, clang with the libFuzzer runtime, script(1), and
# zip and groff for the release packages.
# Run as root. Quiet, and does nothing when everything is there already.
set -euo pipefail

packages=(
  cmake ninja-build g++                      # the Linux program and the tests
  libgtest-dev libgmock-dev libbenchmark-dev # GoogleTest, Google Benchmark
  mingw-w64                                  # sorvanel.exe, 64 and 32 bits
  wine wine64                                # runs sorvanel.exe in the end-to-end tests
  clang libclang-rt-14-dev                   # libFuzzer
  bsdutils util-linux                        # script(1) for the terminal tests
  zip unzip                                  # the release packages and their test
  groff-base man-db                          # renders the man page in the release test
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]} (run this script as root)" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
# With their recommended packages: Wine is tested as Debian installs it by default.
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq "${missing[@]}" >/dev/null
