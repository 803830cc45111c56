#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice: a Release build
# and a build with AddressSanitizer and UndefinedBehaviorSanitizer; then fuzzes the file readers
# for FUZZ_SECONDS (default 30, 0 skips) per harness.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
jobs="$(nproc)"

echo "== Release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== Sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOF3D_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs")

fuzz_seconds="${FUZZ_SECONDS:-30}"
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== Fuzzing the file readers (${fuzz_seconds} s per harness)"
  scripts/fuzz.sh "$fuzz_seconds"
fi
