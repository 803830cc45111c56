#!/usr/bin/env bash
# The first command to run: installs what is missing and builds (scripts/build.sh), then runs the
# demo (scripts/optic_flow_3D_demo) with the programs of build/bin: a layered sample with known
# winds in demo_out/, the estimator run there with its defaults, how close the estimated winds
# are to the true ones, pictures and a NetCDF file of the winds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
rm -rf demo_out
exec scripts/optic_flow_3D_demo demo_out
