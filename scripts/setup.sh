#!/bin/bash
# Installs what building, running and testing Sorvanel need on Debian 12.
#   bash scripts/setup.sh          everything: host and windows below
#   bash scripts/setup.sh host     the Linux program and the tests over the simulated Windows:
#                                  GoogleTest, Google Benchmark, clang with the libFuzzer
#                                  runtime, script(1)
#   bash scripts/setup.sh windows  MinGW-w64, Wine (64 bits, and 32 bits where the kernel
#                                  runs 32-bit programs, so that both Windows images run),
#                                  zip, groff and msitools for the release packages, and
#                                  osslsigncode, OpenSSL and GnuPG to sign them
#   bash scripts/setup.sh linux    only what building the Linux program needs
# Run as root. Quiet, and does nothing when everything is there already. Two profiles
# cannot install at once (apt holds one lock).
set -euo pipefail

host=(
  cmake ninja-build g++                      # the Linux program and the tests
  libgtest-dev libgmock-dev libbenchmark-dev # GoogleTest, Google Benchmark
  clang libclang-rt-14-dev                   # libFuzzer
  bsdutils util-linux                        # script(1) for the terminal tests, unshare(1)
)
windows=(
  g++-mingw-w64-x86-64-win32                 # sorvanel.exe, 64 and 32 bits: the compilers
  g++-mingw-w64-i686-win32                   # of the win32 thread model only (the images
                                             # link no runtime), not also the posix ones
  wine wine64                                # runs sorvanel.exe in the end-to-end tests
  wine32:i386                                # ... and the 32-bit image, under WOW64 (only
                                             # where the kernel runs 32-bit programs)
  zip unzip                                  # the release packages and their test
  groff-base man-db                          # renders the man page in the release test
  wixl msitools                              # the Windows Installer packages
  osslsigncode openssl gnupg                 # Authenticode and OpenPGP signatures, test keys
)
profile=${1:-all}
case "$profile" in
  linux) packages=(cmake ninja-build g++) ;;
  host) packages=("${host[@]}") ;;
  windows) packages=("${windows[@]}") ;;
  all) packages=("${host[@]}" "${windows[@]}") ;;
  *)
    echo "setup: unknown profile $profile (linux, host, windows, or none for everything)" >&2
    exit 2
    ;;
esac

# Wine's 32-bit loader, and the i386 architecture it comes from, are of no use on a kernel
# that cannot run 32-bit programs: the x86 image's runs are skipped there.
if [[ " ${packages[*]} " == *" wine32:i386 "* ]] && ! bash "$(dirname "$0")/runs_32_bit.sh" >/dev/null; then
  packages=("${packages[@]/wine32:i386/}")
  notice="setup: this kernel does not run 32-bit programs: wine32:i386 and the i386 architecture are not installed"
fi

missing=()
for package in "${packages[@]}"; do
  [[ -n "$package" ]] || continue
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0
[[ -z "${notice:-}" ]] || echo "$notice"

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]} (run this script as root)" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
# With their recommended packages: Wine is tested as Debian installs it by default.
export DEBIAN_FRONTEND=noninteractive
# wine32 comes from the i386 architecture, which Debian has to be told about first.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq >/dev/null
apt-get install -y -qq "${missing[@]}" >/dev/null
