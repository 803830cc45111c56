#!/usr/bin/env bash
# Release build into build/ (the program lands in build/bin, the library in build/lib).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
