#!/usr/bin/env bash
# Configures and builds tessivar in ${BUILD_DIR:-build} with all cores.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
[ -d /usr/local/cuda/bin ] && export PATH="/usr/local/cuda/bin:$PATH"
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
