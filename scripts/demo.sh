#!/usr/bin/env bash
# The first command to run: installs what is missing and builds (scripts/build.sh), writes a
# layered sample with known winds into demo_out/, runs the estimator there with its defaults
# (3 layers, 3 time samples) and prints how close the estimated winds are to the true ones.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
size="${DEMO_SIZE:-128}"  # pixels, square; the run takes a few seconds on two cores
# Grey levels that the mass flux through an interface changes per step: large enough that the
# vertical winds stand out from the error left by the horizontal estimate.
flux="${DEMO_FLUX:-30}"

scripts/build.sh

rm -rf demo_out
build/bin/make_layered_sample -o demo_out -size "$size" -layers 3 -samples 3 -seed 1 -strength 1.0 \
  -flux "$flux"

echo
echo "== Estimating the winds (log in demo_out/run.log)"
start=$(date +%s.%N)
if ! (cd demo_out && "$root/build/bin/optic_flow_3DMultilayers" >run.log 2>&1); then
  tail -n 20 demo_out/run.log
  echo "the estimator failed, see demo_out/run.log" >&2
  exit 1
fi
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "run time: %.1f s\n", e - s }'

echo
echo "== Estimated against true winds"
build/bin/compare_winds -dir demo_out

echo
echo "== Pictures of the estimated and the true winds (PNG files in demo_out/)"
build/bin/render_winds -dir demo_out -maxspeed 3
for l in 0 1 2; do
  for i in 0 1; do
    t=demo_out/truth_layer${l}_step${i}
    build/bin/render_winds -xaf "$t.xaf" -image "demo_out/layer${l}_t${i}.pgm" -maxspeed 3 \
      -o "${t}_arrows.png" -wheel "${t}_wheel.png"
  done
done
for k in 1 2; do
  for i in 0 1; do
    build/bin/render_winds -raw "demo_out/truth_wvert${k}_step${i}.raw" -size "${size}x${size}" \
      -o "demo_out/truth_wvert${k}_step${i}.png"
  done
done
echo
echo "Estimated: demo_out/layer<l>_t<i>.pgm_3D_{arrows,wheel,wvert}.png"
echo "True:      demo_out/truth_layer<l>_step<i>_{arrows,wheel}.png, demo_out/truth_wvert<k>_step<i>.png"
