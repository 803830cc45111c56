#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the file readers (fuzz/*.cpp) in build-fuzz with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for SECONDS (default 60).
# The growing corpus stays in build-fuzz/corpus/<harness>; an input that crashes, hangs or trips
# a sanitizer is saved as build-fuzz/findings/<harness>-crash-... and the script fails.
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-60}"
[ $# -gt 0 ] && shift
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for src in fuzz/*.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOF3D_FUZZ=ON -DOF3D_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${harnesses[@]}"
mkdir -p build-fuzz/findings
for h in "${harnesses[@]}"; do
  echo "== $h for ${secs} s"
  mkdir -p "build-fuzz/corpus/$h"
  dict=()
  [ -f "fuzz/${h#fuzz_}.dict" ] && dict=(-dict="fuzz/${h#fuzz_}.dict")
  log="build-fuzz/$h.log"
  status=0
  # Standard output carries the readers' own rejection messages: closed to keep the log short.
  "build-fuzz/bin/$h" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$h-" "${dict[@]}" \
    "build-fuzz/corpus/$h" "fuzz/corpus/$h" >"$log" 2>&1 || status=$?
  grep -E 'DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "$h: finding saved under build-fuzz/findings/ (full log: $log)"
    exit 1
  fi
done
