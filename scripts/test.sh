#!/bin/bash
# Builds every preset and runs every test: the Windows images (headers, imports, size, a
# second build that must be byte-identical), the unit and scenario tests over the simulated
# Windows (also under ASan and UBSan), the Linux backend's tests, the end-to-end tests of the
# Linux program and of sorvanel.exe under Wine, the release packages (made twice and
# unpacked, unsigned and signed with throw-away keys), the benchmarks once, and a short run
# of each fuzz target, and checks that CTest runs every case that each GoogleTest program
# lists. Fails when any part fails; the last line counts builds and tests.
#
#   bash scripts/test.sh                  everything
#   bash scripts/test.sh --without-32-bit everything, as on a kernel that does not run 32-bit
#                                         programs: in a private mount namespace, Wine's
#                                         32-bit loader is replaced by a program for no
#                                         machine, which the kernel refuses to execute
#
# Two lanes share the machine's two cores. The Wine lane waits for Wine and MinGW-w64 to be
# installed, builds the Windows images and runs the tests of build/test, whose Wine tests
# spend most of their time waiting on Wine; the host lane builds and runs the sanitizer
# tests, the image tests (once the images are built) and the fuzz targets meanwhile.
set -uo pipefail
cd "$(dirname "$0")/.."

log_dir=build/test-logs
mkdir -p "$log_dir"
# Each step appends its outcome here, from either lane: "passed N", "failed N <what>",
# "skipped <line>".
results=$log_dir/results
: >"$results"

started=$(date +%s)
# A step's name with the seconds since the start, so that the log shows where time goes.
step() { echo "== $1 (at $(($(date +%s) - started)) s)"; }

# A build step counts once.
build() {
  local preset=$1
  step "build $preset"
  # -k 0: a target that fails to build does not keep the others from being built and tested.
  if { cmake --preset "$preset" && cmake --build --preset "$preset" -- -k 0; } >"$log_dir/build-$preset.log" 2>&1; then
    echo "passed 1" >>"$results"
  else
    echo "failed 1 build $preset" >>"$results"
    tail -n 40 "$log_dir/build-$preset.log"
  fi
}

# A test run counts each test it ran. $2 is the build directory whose CTest runs.
tests() {
  local name=$1 dir=$2
  shift 2
  step "$name"
  local log="$log_dir/$name.log"
  ctest "$@" 2>&1 | tee "$log" | grep -E '\*\*\*(Failed|Timeout|Not Run|Exception)|tests passed|Total Test time'
  local status=${PIPESTATUS[0]}
  # Lines that tests print for the record, from the output log of this run.
  local output="$dir/Testing/Temporary/LastTest.log"
  if [[ -f "$output" ]]; then
    grep -hE '^(Fault sweep:|  not failed by the sweep:)' "$output"
    # A suite that could not run here says so in one line, which the summary repeats.
    grep -hE '^x86 runs skipped:' "$output" | sort -u | sed 's/^/skipped /' >>"$results"
  fi
  local summary bad=0
  summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
  if [[ -n "$summary" ]]; then
    local total
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    echo "passed $((total - bad))" >>"$results"
    ((bad > 0)) && echo "failed $bad $name: $bad failed" >>"$results"
  fi
  if [[ $status -ne 0 && ( -z "$summary" || "$bad" -eq 0 ) ]]; then
    echo "failed 1 $name: ctest exited with $status" >>"$results"
  fi
}

# The image tests run as their GoogleTest program, not through CTest, so that the host lane
# can run them while the Wine lane's CTest runs in the same build directory. Counts each test.
image_tests() {
  local program=build/test/image_tests
  step "image"
  # A program that was not built has been counted by its build step.
  [[ -x "$program" ]] || return 0
  timeout 900 "$program" >"$log_dir/image.log" 2>&1
  local status=$? ran bad
  grep -E '^\[  FAILED  \] .* \([0-9]+ ms\)$|^\[  (PASSED|FAILED)  \] [0-9]+ tests?' "$log_dir/image.log"
  ran=$(sed -nE 's/^\[==========\] ([0-9]+) tests? from .* ran\..*/\1/p' "$log_dir/image.log")
  bad=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log_dir/image.log")
  if [[ -n "$ran" ]]; then
    echo "passed $((ran - bad))" >>"$results"
    ((bad > 0)) && echo "failed $bad image: $bad failed" >>"$results"
  fi
  if [[ $status -ne 0 && ( -z "$ran" || "$bad" -eq 0 ) ]]; then
    echo "failed 1 image: exited with $status" >>"$results"
  fi
}

# Every case that a GoogleTest program lists must be a test that CTest runs: a case whose
# printed name CTest's test list cannot hold (one that ends in a backslash escapes the list's
# separator) is lost without a word. Counts once per program.
cases_match() {
  local dir=$1 program=$2 label=$3
  # A program that was not built has been counted by its build step.
  [[ -x "$dir/$program" ]] || return 0
  local listed in_ctest
  listed=$("$dir/$program" --gtest_list_tests | grep -c '^  ')
  in_ctest=$(ctest --test-dir "$dir" -N -L "^$label\$" | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
  if [[ -n "$in_ctest" && "$listed" -eq "$in_ctest" ]]; then
    echo "passed 1" >>"$results"
  else
    echo "$program lists $listed cases, CTest runs ${in_ctest:-none} of them"
    echo "failed 1 $program: $listed cases listed, ${in_ctest:-no} tests in CTest" >>"$results"
  fi
}

summary() {
  grep '^skipped ' "$results" | cut -d' ' -f2- | sort -u
  grep '^failed ' "$results" | cut -d' ' -f3- | sed 's/^/FAILED: /'
  local passed failed
  passed=$(awk '$1 == "passed" { n += $2 } END { print n + 0 }' "$results")
  failed=$(awk '$1 == "failed" { n += $2 } END { print n + 0 }' "$results")
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}

if ! bash scripts/setup.sh host; then
  echo "setup failed"
  echo "0 passed, 1 failed"
  exit 1
fi

if [[ ${1:-} == --without-32-bit ]] && ! bash scripts/runs_32_bit.sh >/dev/null; then
  echo "this kernel does not run 32-bit programs itself: the test command runs as it is"
elif [[ ${1:-} == --without-32-bit ]]; then
  # Wine's 32-bit loader must be there to be refused.
  bash scripts/setup.sh windows || { echo "setup failed"; echo "0 passed, 1 failed"; exit 1; }
  refused=$log_dir/wine-for-no-machine
  cp /usr/lib/wine/wine "$refused"
  # The ELF header's machine field (offset 18) set to none: execve answers ENOEXEC, as a
  # kernel without 32-bit support answers for the real loader.
  printf '\0\0' | dd of="$refused" bs=1 seek=18 conv=notrunc status=none
  echo "Wine's 32-bit loader refused by the kernel in this run"
  exec unshare -m --propagation private \
    bash -c 'mount --bind "$1" /usr/lib/wine/wine && exec bash scripts/test.sh' bash "$refused"
fi

# Wine and MinGW-w64 are the longest to install: they come while the host builds.
bash scripts/setup.sh windows >"$log_dir/setup-windows.log" 2>&1 &
setup_windows=$!

build linux
build test

# The host lane. The image tests need both Windows images, which the Wine lane builds.
windows_built=$log_dir/windows-built
rm -f "$windows_built"
(
  build test-asan
  tests sanitizers build/test-asan --preset test-asan
  while [[ ! -e "$windows_built" ]]; do sleep 1; done
  image_tests
  build fuzz
  tests fuzz build/fuzz --test-dir build/fuzz -L fuzz --output-on-failure -j 2
) >"$log_dir/host-lane.log" 2>&1 &
host_lane=$!

# The Wine lane.
if ! wait "$setup_windows"; then
  cat "$log_dir/setup-windows.log"
  echo "failed 1 setup of MinGW-w64 and Wine" >>"$results"
fi
build windows-x64
build windows-x86
touch "$windows_built"
tests unit-e2e-release-bench build/test --preset test -LE '^image$'

wait "$host_lane"
cat "$log_dir/host-lane.log"

step "cases listed against tests run"
for program in unit_tests:unit linux_backend_tests:linux e2e_tests:e2e image_tests:image; do
  cases_match build/test "${program%%:*}" "${program#*:}"
done
for program in unit_tests:unit linux_backend_tests:linux; do
  cases_match build/test-asan "${program%%:*}" "${program#*:}"
done

if [[ -f build/windows-x64/sorvanel.exe ]]; then
  echo "sorvanel.exe (x64): $(stat -c %s build/windows-x64/sorvanel.exe) bytes"
fi
step "done"
summary
