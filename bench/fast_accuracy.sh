#!/usr/bin/env bash
# The fast mode (-fast 1) beside the default path, with the defaults and with the presets, on the
# generated 3-layer samples of 256 x 256 (make_layered_sample -samples 3 -seed 1, two steps):
# smooth winds of about 3, 0.5 and 8 px per step (-strength 1, 0.17, 2.7), turbulent winds, and
# smooth winds on noisy images (-noise 3). One thread each. Prints one Markdown table: per sample
# and settings, the mean endpoint error of all layers and steps (px/step), the mean
# vertical-wind correlation (compare_winds) and the CPU seconds of the run, default path and
# fast mode side by side, and the fast mode's error relative to the default path's.
#   bench/fast_accuracy.sh [BUILD_DIR] [SIZE]        (defaults: build, 256)
set -euo pipefail
cd "$(dirname "$0")/.."
bin="$(cd "${1:-build}/bin" && pwd)"
size="${2:-256}"
work="$(cd "${1:-build}" && pwd)/fast_accuracy"
rm -rf "$work"
mkdir -p "$work"

samples=(
  "smooth, 3 px|-kind smooth -strength 1"
  "turbulent|-kind turbulent"
  "noisy|-kind smooth -noise 3"
  "smooth, 0.5 px|-kind smooth -strength 0.17"
  "smooth, 8 px|-kind smooth -strength 2.7"
)
settings=("" "-preset smooth" "-preset turbulent")

# run DIR ARGS...: EPE, correlation and CPU seconds of one run on a copy of the sample DIR.
run() {
  local src=$1
  shift
  local dir="$work/run"
  rm -rf "$dir"
  cp -r "$src" "$dir"
  local secs
  (cd "$dir" && /usr/bin/time -o time.txt -f "%U %S" "$bin/optic_flow_3DMultilayers" \
    -nbTimeSample 3 -nbLayers 3 -threads 1 "$@" >/dev/null 2>err.txt)
  secs=$(awk '{print $1 + $2}' "$dir/time.txt")
  "$bin/compare_winds" -dir "$dir" -nbTimeSample 3 -nbLayers 3 | awk -v s="$secs" '
    /^all layers/ { m = $4 }
    /^interface/ { c += $8; k++ }
    END { printf "%.4f %.3f %.1f\n", m, c / k, s }'
}

echo "| sample | settings | default path: EPE, corr, CPU s | \`-fast 1\`: EPE, corr, CPU s | fast EPE |"
echo "|---|---|---|---|---|"
n=0
for entry in "${samples[@]}"; do
  name="${entry%%|*}"
  gen="${entry#*|}"
  n=$((n + 1))
  sample="$work/sample$n"
  # shellcheck disable=SC2086
  "$bin/make_layered_sample" -o "$sample" -size "$size" -layers 3 -samples 3 -seed 1 $gen >/dev/null
  for setting in "${settings[@]}"; do
    # shellcheck disable=SC2086
    read -r e0 c0 s0 < <(run "$sample" $setting)
    # shellcheck disable=SC2086
    read -r e1 c1 s1 < <(run "$sample" $setting -fast 1)
    printf "| %s | %s | %s, %s, %s | %s, %s, %s | %+.1f %% |\n" "$name" "${setting:-defaults}" \
      "$e0" "$c0" "$s0" "$e1" "$c1" "$s1" "$(awk -v a="$e1" -v b="$e0" 'BEGIN {print 100 * (a / b - 1)}')"
  done
done
rm -rf "$work/run"
