#!/bin/bash
# Builds every preset and runs every test: the Windows images (headers, imports, size, a
# second build that must be byte-identical), the unit and scenario tests over the simulated
# Windows (also under ASan and UBSan), the Linux backend's tests, the end-to-end tests of the
# Linux program and of sorvanel.exe under Wine, the release packages (made twice and
# unpacked), the benchmarks once, and a short run of each fuzz target, and checks that CTest
# runs every case that each GoogleTest program lists. Fails when any part fails; the last
# line counts builds and tests.
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
failures=()
skipped=""
log_dir=build/test-logs
mkdir -p "$log_dir"

# A build step counts once.
build() {
  local preset=$1
  echo "== build $preset"
  # -k 0: a target that fails to build does not keep the others from being built and tested.
  if { cmake --preset "$preset" && cmake --build --preset "$preset" -- -k 0; } >"$log_dir/build-$preset.log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("build $preset")
    tail -n 40 "$log_dir/build-$preset.log"
  fi
}

# A test run counts each test it ran.
tests() {
  local name=$1
  shift
  echo "== $name"
  local log="$log_dir/$name.log"
  local bad=0
  ctest "$@" 2>&1 | tee "$log" | grep -E '\*\*\*(Failed|Timeout|Not Run|Exception)|tests passed|Total Test time'
  local status=${PIPESTATUS[0]}
  # Lines that tests print for the record, from the output log of the run just made.
  local output
  output=$(ls -t build/*/Testing/Temporary/LastTest.log 2>/dev/null | head -n 1)
  [[ -n "$output" ]] && grep -hE '^(Fault sweep:|  not failed by the sweep:)' "$output"
  # A suite that could not run here says so in one line, which the summary repeats.
  [[ -n "$output" ]] && skipped+=$'\n'$(grep -hE '^x86 runs skipped:' "$output" | sort -u)
  local summary
  summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
  if [[ -n "$summary" ]]; then
    local total
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    ((bad > 0)) && failures+=("$name: $bad failed")
  fi
  if [[ $status -ne 0 && ( -z "$summary" || "$bad" -eq 0 ) ]]; then
    failed=$((failed + 1))
    failures+=("$name: ctest exited with $status")
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
    passed=$((passed + 1))
  else
    echo "$program lists $listed cases, CTest runs ${in_ctest:-none} of them"
    failed=$((failed + 1))
    failures+=("$program: $listed cases listed, ${in_ctest:-no} tests in CTest")
  fi
}

if ! bash scripts/setup.sh; then
  echo "setup failed"
  echo "0 passed, 1 failed"
  exit 1
fi

for preset in windows-x64 windows-x86 linux test test-asan fuzz; do
  build "$preset"
done

tests image-and-reproducibility --preset test -L image
tests unit-linux-e2e-bench --preset test -LE image
tests sanitizers --preset test-asan
tests fuzz --test-dir build/fuzz -L fuzz --output-on-failure

echo "== cases listed against tests run"
for program in unit_tests:unit linux_backend_tests:linux e2e_tests:e2e image_tests:image; do
  cases_match build/test "${program%%:*}" "${program#*:}"
done
for program in unit_tests:unit linux_backend_tests:linux; do
  cases_match build/test-asan "${program%%:*}" "${program#*:}"
done

if [[ -f build/windows-x64/sorvanel.exe ]]; then
  echo "sorvanel.exe (x64): $(stat -c %s build/windows-x64/sorvanel.exe) bytes"
fi
grep -v '^$' <<<"$skipped" | sort -u
for failure in "${failures[@]}"; do echo "FAILED: $failure"; done
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
