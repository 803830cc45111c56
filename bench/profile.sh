#!/usr/bin/env bash
# Where the time goes: samples the whole program with perf on a synthetic 3-layer sample
# (default 256 x 256, one time step, program defaults) and prints the functions by their own
# share of the samples.
#
#   bench/profile.sh [BIN_DIR] [SIZE] [extra program arguments...]
#
# BIN_DIR defaults to build/bin of this checkout. The report is also left in
# /tmp/of3d_profile_SIZE/report.txt, the raw samples in perf.data beside it.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "${1:-$here/build/bin}" && pwd)"
size="${2:-256}"
shift $(($# > 2 ? 2 : $#))
dir="/tmp/of3d_profile_$size"

command -v perf >/dev/null || { echo "perf is needed (Debian package linux-perf)" >&2; exit 1; }
rm -rf "$dir"
"$bin/make_layered_sample" -o "$dir" -size "$size" -layers 3 -samples 2 -seed 1 >/dev/null
cd "$dir"
perf record -F 499 -g -o perf.data -- "$bin/optic_flow_3DMultilayers" -nbTimeSample 2 \
    -nbLayers 3 "$@" >stdout.txt 2>stderr.txt
perf report -i perf.data --no-children --sort symbol --stdio -g none --percent-limit 0.5 \
    2>/dev/null | grep -v '^#' | grep -v '^$' >report.txt
# Callers of the hottest kernels, to tell the estimator's stages apart.
perf report -i perf.data --children --sort symbol --stdio -g none --percent-limit 2 \
    2>/dev/null | grep -v '^#' | grep -v '^$' >report_inclusive.txt
echo "self time:"
head -30 report.txt
echo
echo "inclusive time:"
head -40 report_inclusive.txt
