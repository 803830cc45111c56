#!/usr/bin/env bash
# Accuracy of the estimator beside general-purpose optical flow (bench/peers.py: OpenCV's
# DeepFlow, DIS, dual TV-L1 and Farneback, one thread) on generated samples: smooth winds,
# turbulent winds, smooth winds with sensor noise (5 grey levels), an odd size (190 x 250) and a
# large motion (strength 2, up to about 6 px/step); 3 layers, 2 time samples, seed 1, mass flux 30.
# Prints one Markdown table: mean endpoint error per layer and over the layers (px/step, the
# interior without a margin of 8 px, as compare_winds), the mean correlation of the vertical winds
# with the truth (ours only) and the seconds of the run (the fastest of RUNS runs).
#   bench/accuracy.sh [SIZE] [BUILD_DIR]     (defaults: 256, build; RUNS=1, PYTHON=/usr/bin/python3)
# Needs Debian's python3-opencv for the peers; the samples and runs go to BUILD_DIR/accuracy.
set -euo pipefail
cd "$(dirname "$0")/.."
size="${1:-256}"
bin="$(cd "${2:-build}/bin" && pwd)"
python="${PYTHON:-/usr/bin/python3}"
runs="${RUNS:-1}"
work="$(cd "${2:-build}" && pwd)/accuracy"
rm -rf "$work"
mkdir -p "$work"

samples=(
  "smooth|-size $size -kind smooth"
  "turbulent|-size $size -kind turbulent"
  "noisy|-size $size -kind smooth -noise 5"
  "odd size|-size 190x250 -kind smooth"
  "large motion|-size $size -kind smooth -strength 2"
)
settings=(
  ""
  "-divSmooth 12"
  "-alpha 2000 -beta 20000 -fineGrid 1 -warp bspline"
  "-alpha 2000 -beta 20000 -fineGrid 1 -warp bspline -border replicate"
  "-preset smooth"
  "-preset turbulent"
  "-preset radar"
  "-preset smooth -border replicate"
)

echo "| sample | method | EPE layer 0 / 1 / 2 (px/step) | mean EPE | vertical-wind correlation | seconds |"
echo "|---|---|---|---|---|---|"
n=0
for entry in "${samples[@]}"; do
  name="${entry%%|*}"
  gen="${entry#*|}"
  n=$((n + 1))
  dir="$work/sample$n"
  # shellcheck disable=SC2086
  "$bin/make_layered_sample" -o "$dir" -layers 3 -samples 2 -seed 1 -flux 30 $gen >/dev/null
  declare -A best=()
  declare -A line=()
  for r in $(seq "$runs"); do
    while read -r _ peer _ e0 e1 e2 _ mean _ secs; do
      line[$peer]="$e0 / $e1 / $e2 | $mean"
      if [ -z "${best[$peer]:-}" ] || awk -v a="$secs" -v b="${best[$peer]}" 'BEGIN {exit !(a < b)}'; then
        best[$peer]=$secs
      fi
    done < <("$python" bench/peers.py "$dir" -nbTimeSample 2 -nbLayers 3)
  done
  for peer in deepflow dis tvl1 farneback; do
    printf "| %s | %s | %s | n/a | %.2f |\n" "$name" "$peer" "${line[$peer]}" "${best[$peer]}"
  done
  unset best line
  for s in "${settings[@]}"; do
    fastest=""
    for r in $(seq "$runs"); do
      start=$(date +%s.%N)
      # shellcheck disable=SC2086
      (cd "$dir" && "$bin/optic_flow_3DMultilayers" -nbTimeSample 2 -nbLayers 3 $s >run.log 2>&1)
      end=$(date +%s.%N)
      secs=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.2f", b - a}')
      if [ -z "$fastest" ] || awk -v a="$secs" -v b="$fastest" 'BEGIN {exit !(a < b)}'; then
        fastest=$secs
      fi
    done
    report=$("$bin/compare_winds" -dir "$dir" -nbTimeSample 2 -nbLayers 3)
    per_layer=$(awk '/^layer [0-9]+ step 0:/ {printf "%s%s", sep, $6; sep = " / "}' <<<"$report")
    mean=$(awk '/^all layers:/ {print $4}' <<<"$report")
    corr=$(awk '/^interface/ {for (i = 1; i <= NF; ++i) if ($i == "corr") {s += $(i + 1); k++}}
                END {if (k) printf "%.3f", s / k; else print "n/a"}' <<<"$report")
    echo "| $name | ours ${s:-(defaults)} | $per_layer | $mean | $corr | $fastest |"
  done
done
