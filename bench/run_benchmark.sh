#!/usr/bin/env bash
# Whole-program benchmark on synthetic 3-layer samples (2 time samples, so one time step):
# per image size and program binary, the seconds per time step, the peak resident memory and
# the mean endpoint errors reported by compare_winds, printed as a Markdown table. With two
# binaries it also tells whether every output file of the two runs is byte-identical.
#
#   bench/run_benchmark.sh [-b BASE_BIN_DIR] [-c CUR_BIN_DIR] [-s "128 256 512"] [-w WORK_DIR]
#                          [-r REPEATS]
#
#   -b  bin folder of a baseline build (optional), e.g. one built from an older commit
#   -c  bin folder of the build to measure (default: build/bin of this checkout)
#   -s  image sizes (default "128 256 512")
#   -w  scratch folder for the samples and the runs (default /tmp/of3d_bench)
#   -r  runs of each build per size, the two builds taking turns; the fastest counts
#       (default 1). On a shared machine the fastest of several runs is the figure least
#       disturbed by other work.
# Besides the elapsed time, the table gives the CPU time (user + system, all threads).
# Extra program arguments: BASE_ARGS for the baseline, CUR_ARGS for the measured build
# (e.g. CUR_ARGS="-threads 1"). Every run uses the program's defaults otherwise.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
cur_bin="$here/build/bin"
base_bin=""
sizes="128 256 512"
work="/tmp/of3d_bench"
repeats=1
while getopts "b:c:s:w:r:h" opt; do
    case "$opt" in
    b) base_bin="$OPTARG" ;;
    c) cur_bin="$OPTARG" ;;
    s) sizes="$OPTARG" ;;
    w) work="$OPTARG" ;;
    r) repeats="$OPTARG" ;;
    *)
        sed -n '2,19p' "$0"
        exit 2
        ;;
    esac
done

# Absolute, since the runs change into their sample folders.
cur_bin="$(cd "$cur_bin" && pwd)" || exit 1
[ -z "$base_bin" ] || base_bin="$(cd "$base_bin" && pwd)" || exit 1
for tool in make_layered_sample compare_winds optic_flow_3DMultilayers; do
    [ -x "$cur_bin/$tool" ] || { echo "missing $cur_bin/$tool (build first)" >&2; exit 1; }
done
[ -z "$base_bin" ] || [ -x "$base_bin/optic_flow_3DMultilayers" ] ||
    { echo "missing $base_bin/optic_flow_3DMultilayers" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed for the peak memory" >&2; exit 1; }

mkdir -p "$work"
rows=()

# once LABEL BIN_DIR SIZE ARGS: one run in a fresh copy of the sample; keeps the fastest run's
# elapsed and CPU time and the largest peak memory per label.
declare -A best best_cpu kb_max
once() {
    local label="$1" bin="$2" size="$3" args="$4"
    local dir="$work/s${size}_$label"
    rm -rf "$dir"
    cp -r "$work/s$size" "$dir"
    (cd "$dir" && /usr/bin/time -f "%e %M %U %S" -o time.txt \
        "$bin/optic_flow_3DMultilayers" -nbTimeSample 2 -nbLayers 3 $args >stdout.txt \
        2>stderr.txt)
    local secs kb user sys
    read -r secs kb user sys <"$dir/time.txt"
    [ "$kb" -gt "${kb_max[$label]:-0}" ] && kb_max[$label]=$kb
    if [ -z "${best[$label]:-}" ] || awk -v a="$secs" -v b="${best[$label]}" 'BEGIN {exit !(a < b)}'; then
        best[$label]=$secs
        best_cpu[$label]=$(awk -v u="$user" -v s="$sys" 'BEGIN {printf "%.1f", u + s}')
    fi
}

# row LABEL SIZE: the table row of the label's fastest run, with the accuracy of its last run.
row() {
    local label="$1" size="$2"
    local dir="$work/s${size}_$label"
    (cd "$dir" && "$cur_bin/compare_winds" -nbTimeSample 2 -nbLayers 3 >winds.txt)
    local epe layers mb
    epe=$(awk '/^all layers:/ {print $4}' "$dir/winds.txt")
    layers=$(awk '/^layer [0-9]+ step 0:/ {printf "%s%s", sep, $6; sep=" / "}' "$dir/winds.txt")
    mb=$(awk -v k="${kb_max[$label]}" 'BEGIN {printf "%.1f", k / 1024}')
    rows+=("| $size | $label | ${best[$label]} | ${best_cpu[$label]} | $mb | $epe | $layers |")
    unset "best[$label]" "best_cpu[$label]" "kb_max[$label]"
}

# Output files of a run: results next to the images, temporary files of the loop.
outputs() {
    (cd "$1" && ls -- *_3D.* temp2D_*.xaf tempUp_*.matlab 2>/dev/null)
}

same=()
for size in $sizes; do
    if [ ! -f "$work/s$size/inImage_3D.txt" ]; then
        rm -rf "$work/s$size"
        "$cur_bin/make_layered_sample" -o "$work/s$size" -size "$size" -layers 3 -samples 2 \
            -seed 1 >/dev/null
    fi
    # The two builds take turns, so that both see the same spells of load.
    for ((r = 0; r < repeats; r++)); do
        [ -z "$base_bin" ] || once baseline "$base_bin" "$size" "${BASE_ARGS:-}"
        once current "$cur_bin" "$size" "${CUR_ARGS:-}"
    done
    [ -z "$base_bin" ] || row baseline "$size"
    row current "$size"
    if [ -n "$base_bin" ]; then
        verdict="identical"
        for f in $(outputs "$work/s${size}_current"); do
            cmp -s "$work/s${size}_baseline/$f" "$work/s${size}_current/$f" || verdict="DIFFERENT ($f)"
        done
        [ "$(outputs "$work/s${size}_baseline" | wc -l)" = "$(outputs "$work/s${size}_current" | wc -l)" ] ||
            verdict="DIFFERENT (file sets)"
        diff -q <(grep -v '^Processing time duration' "$work/s${size}_baseline/stdout.txt") \
            <(grep -v '^Processing time duration' "$work/s${size}_current/stdout.txt") >/dev/null ||
            verdict="$verdict, console differs"
        same+=("- ${size} x ${size}: output files $verdict")
    fi
done

echo "Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p')"
echo
echo "| size | build | seconds per step | CPU seconds | peak memory (MB) | EPE all layers (px) | EPE layers 0 / 1 / 2 |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if [ ${#same[@]} -gt 0 ]; then
    echo
    printf '%s\n' "${same[@]}"
fi
