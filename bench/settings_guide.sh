#!/usr/bin/env bash
# Measures the estimator's accuracy for a set of settings on generated samples (smooth layered
# winds, turbulent winds, smooth winds with sensor noise) and prints one Markdown table per
# sample: mean endpoint error of the horizontal winds over all layers (px/step) and mean
# correlation of the vertical winds with the truth.
#   bench/settings_guide.sh [SIZE] [BUILD_DIR]      (defaults: 128, build)
set -euo pipefail
cd "$(dirname "$0")/.."
size="${1:-128}"
bin="$(cd "${2:-build}/bin" && pwd)"
work="$(mktemp -d /tmp/of3d_guide.XXXXXX)"
trap 'rm -rf "$work"' EXIT

settings=(
  ""
  "-fineGrid 1"
  "-warp bspline"
  "-beta 20000"
  "-fineGrid 1 -warp bspline -beta 20000"
  "-alpha 2000 -beta 20000"
  "-alpha 2000 -beta 20000 -fineGrid 1 -warp bspline"
  "-alpha 100 -lambda 10"
  "-alpha 100 -lambda 10 -fineGrid 1 -warp bspline"
  "-postSmooth 1"
  "-fineGrid 1 -warp bspline -beta 20000 -postSmooth 1"
)
samples=(
  "smooth|-kind smooth -flux 30"
  "turbulent|-kind turbulent -flux 30"
  "smooth, noise 5|-kind smooth -flux 30 -noise 5"
)

for entry in "${samples[@]}"; do
  name="${entry%%|*}"
  gen="${entry#*|}"
  dir="$work/sample"
  rm -rf "$dir"
  # shellcheck disable=SC2086
  "$bin/make_layered_sample" -o "$dir" -size "$size" -layers 3 -samples 2 -seed 1 $gen >/dev/null
  echo
  echo "### $name winds, 3 layers, ${size} x ${size}"
  echo
  echo "| settings | EPE (px/step) | vertical-wind correlation | seconds |"
  echo "|---|---|---|---|"
  for s in "${settings[@]}"; do
    start=$(date +%s.%N)
    # shellcheck disable=SC2086
    (cd "$dir" && "$bin/optic_flow_3DMultilayers" -nbTimeSample 2 -nbLayers 3 $s >run.log 2>&1)
    end=$(date +%s.%N)
    report=$("$bin/compare_winds" -dir "$dir" -nbTimeSample 2 -nbLayers 3)
    epe=$(awk '/^all layers:/ {print $4}' <<<"$report")
    corr=$(awk '/^interface/ {for (i = 1; i <= NF; ++i) if ($i == "corr") {s += $(i + 1); n++}}
                END {if (n) printf "%.3f", s / n; else print "n/a"}' <<<"$report")
    secs=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b - a}')
    echo "| ${s:-defaults} | $epe | $corr | $secs |"
  done
done
