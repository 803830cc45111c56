#!/usr/bin/env bash
# The presets against the defaults on the samples of their kind at about 0.5, 3 and 8 px per
# step: make_layered_sample -size SIZE -layers 3 -samples 2 -seed 1 -flux 10 -strength
# 0.17|1|2.7, smooth and turbulent (the radar preset on the smooth samples). Prints one Markdown
# row per sample and setting: EPE per layer and mean (px/step), mean vertical-wind correlation.
#   bench/presets.sh [SIZE] [BUILD_DIR]      (defaults: 256, build)
set -euo pipefail
cd "$(dirname "$0")/.."
size="${1:-256}"
bin="$(cd "${2:-build}/bin" && pwd)"
work="$(cd "${2:-build}" && pwd)/presets"
rm -rf "$work"
mkdir -p "$work"

echo "| sample | settings | EPE layers 0 / 1 / 2 | mean | correlation |"
echo "|---|---|---|---|---|"
for kind in smooth turbulent; do
    for strength in 0.17 1 2.7; do
        dir="$work/${kind}_$strength"
        "$bin/make_layered_sample" -o "$dir" -size "$size" -layers 3 -samples 2 -seed 1 \
            -flux 10 -kind "$kind" -strength "$strength" >/dev/null
        case $strength in 0.17) speed="0.5 px" ;; 1) speed="3 px" ;; *) speed="8 px" ;; esac
        if [ "$kind" = smooth ]; then presets="smooth radar"; else presets="turbulent"; fi
        for setting in "" $presets; do
            args=""
            label="defaults"
            [ -z "$setting" ] || { args="-preset $setting"; label="\`-preset $setting\`"; }
            # shellcheck disable=SC2086
            (cd "$dir" && "$bin/optic_flow_3DMultilayers" -nbTimeSample 2 -nbLayers 3 $args \
                >/dev/null 2>&1)
            "$bin/compare_winds" -dir "$dir" -nbTimeSample 2 -nbLayers 3 | awk -v s="$kind, $speed" \
                -v m="$label" '
                /^layer/ { e[n++] = $6 }
                /^all layers/ { mean = $4 }
                /^interface/ { c += $8; k++ }
                END { printf "| %s | %s | %.3f / %.3f / %.3f | %.3f | %.3f |\n", s, m, e[0], e[1], e[2], mean, c / k }'
        done
    done
done
