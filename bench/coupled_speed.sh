#!/usr/bin/env bash
# The coupled 3-layer step beside OpenCV's dual TV-L1 on the same three image pairs, with one
# thread each and with all cores each: the default path (and a baseline build's, whose output
# files must be byte-identical to it), the fast mode (-fast 1), and their accuracy
# (compare_winds: mean endpoint error of the three layers, mean vertical-wind correlation of the
# two interfaces). Prints one Markdown table per size.
#
#   bench/coupled_speed.sh [-b BASE_BIN_DIR] [-c CUR_BIN_DIR] [-s "512"] [-w WORK_DIR] [-r REPEATS]
#
# Samples: make_layered_sample -size N -samples 2 -seed 1 (one time step). Every command runs
# REPEATS times (default 3), all of them taking turns; the fastest elapsed time counts. TV-L1
# runs through bench/peers.py (Debian's python3-opencv, /usr/bin/python3), its own timing of
# the three flows (image reading and scoring left out).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
cur_bin="$here/build/bin"
base_bin=""
sizes="512"
work="$here/build/coupled_speed"
repeats=3
while getopts "b:c:s:w:r:h" opt; do
    case "$opt" in
    b) base_bin="$(cd "$OPTARG" && pwd)" ;;
    c) cur_bin="$OPTARG" ;;
    s) sizes="$OPTARG" ;;
    w) work="$OPTARG" ;;
    r) repeats="$OPTARG" ;;
    *)
        sed -n '2,13p' "$0"
        exit 2
        ;;
    esac
done
cur_bin="$(cd "$cur_bin" && pwd)"
py=/usr/bin/python3
cores=$(nproc)
mkdir -p "$work"

declare -A best
keep() {  # keep LABEL SECONDS: the smallest per label
    if [ -z "${best[$1]:-}" ] || awk "BEGIN { exit !($2 < ${best[$1]}) }"; then best[$1]=$2; fi
}
run_program() {  # run_program LABEL BIN SAMPLE ARGS...: a run in a fresh copy of the sample
    local label="$1" bin="$2" sample="$3"
    shift 3
    local dir="$work/run_$label"
    rm -rf "$dir" && cp -r "$sample" "$dir"
    local t0 t1
    t0=$(date +%s.%N)
    (cd "$dir" && "$bin/optic_flow_3DMultilayers" -nbTimeSample 2 -nbLayers 3 "$@" \
        >stdout.txt 2>stderr.txt)
    t1=$(date +%s.%N)
    keep "$label" "$(awk "BEGIN { print $t1 - $t0 }")"
}
accuracy() {  # accuracy LABEL: "EPE corr" of the run's results
    "$cur_bin/compare_winds" -nbTimeSample 2 -nbLayers 3 -dir "$work/run_$1" | awk '
        /^all layers/ { epe = $4 }
        /^interface/ { c += $8; n++ }
        END { printf "%.4f | %.3f", epe, c / n }'
}

for size in $sizes; do
    sample="$work/sample$size"
    [ -d "$sample" ] || "$cur_bin/make_layered_sample" -o "$sample" -size "$size" -samples 2 \
        -seed 1 >/dev/null
    best=()
    for ((r = 0; r < repeats; r++)); do
        for threads in 1 0; do
            tag="t$threads"
            [ -z "$base_bin" ] || run_program "base_$tag" "$base_bin" "$sample" -threads $threads
            run_program "default_$tag" "$cur_bin" "$sample" -threads $threads
            run_program "fast_$tag" "$cur_bin" "$sample" -threads $threads -fast 1
            seconds=$("$py" "$here/bench/peers.py" "$sample" -peers tvl1 -threads $threads |
                awk '/^peer tvl1/ { print $NF }')
            keep "tvl1_$tag" "$seconds"
        done
    done
    same="(no baseline)"
    if [ -n "$base_bin" ]; then
        same="identical"
        for f in $(cd "$work/run_base_t0" && ls ./*_3D.* temp*); do
            cmp -s "$work/run_base_t0/$f" "$work/run_default_t0/$f" || same="DIFFERENT: $f"
        done
        diff -q <(grep -v duration "$work/run_base_t0/stdout.txt") \
            <(grep -v duration "$work/run_default_t0/stdout.txt") >/dev/null ||
            same="DIFFERENT: console"
    fi
    echo
    echo "3 layers, $size x $size, one step; the fastest of $repeats runs; all cores = $cores;"
    echo "default path against the baseline: $same"
    echo
    echo "| method | s, 1 thread | s, all cores | EPE (px) | vertical corr |"
    echo "|---|---|---|---|---|"
    [ -z "$base_bin" ] || echo "| baseline build, defaults | ${best[base_t1]} | ${best[base_t0]} | | |"
    echo "| defaults | ${best[default_t1]} | ${best[default_t0]} | $(accuracy default_t0) |"
    echo "| -fast 1 | ${best[fast_t1]} | ${best[fast_t0]} | $(accuracy fast_t0) |"
    echo "| OpenCV dual TV-L1, 3 pairs | ${best[tvl1_t1]} | ${best[tvl1_t0]} | | |"
done
