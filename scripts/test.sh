#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice: a Release build
# and a build with AddressSanitizer and UndefinedBehaviorSanitizer; then fuzzes the file readers
# for FUZZ_SECONDS (default 30, 0 skips) per harness.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
jobs="$(nproc)"

passed=0
# Runs ctest in a build folder (extra environment as arguments) and counts the tests that passed.
run_ctest() {
  local dir="$1"
  shift
  (cd "$dir" && env "$@" ctest --output-on-failure -j"$jobs") | tee "$dir/ctest.log"
  passed=$((passed + $(sed -n 's/.* tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' \
                         "$dir/ctest.log" | tail -n 1)))
}

echo "== Release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
run_ctest build

echo "== Sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOF3D_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
run_ctest build-asan ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

fuzz_seconds="${FUZZ_SECONDS:-30}"
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== Fuzzing the file readers (${fuzz_seconds} s per harness)"
  scripts/fuzz.sh "$fuzz_seconds"
fi

echo "== Summary (Release and sanitizer builds)"
echo "tests: ${passed} passed, 0 failed"
