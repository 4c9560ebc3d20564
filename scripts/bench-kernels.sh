#!/usr/bin/env bash
# Benchmark of the cooperative kernels (shared tiles, lanes per line) against their element-wise
# forms on this machine's back end: median, axis shift, path aggregation, label extraction and
# the Min reduction on realistic sizes. Prints one table of median times. Not part of CI.
#   scripts/bench-kernels.sh [repeats=7]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
[ -d "$BUILD_DIR" ] || bash scripts/build.sh > /dev/null
cmake --build "$BUILD_DIR" --target kernel_bench > /dev/null
exec "$BUILD_DIR/kernel_bench" "$@"
