#!/usr/bin/env bash
# Benchmark of whole runs on generated scenes: wall time per stage, total, peak memory, point
# counts and accuracy against the generator's ground truth. Prints one table. Not part of CI.
#   scripts/bench.sh [small|medium|large|overlap|box ...]   (default: all; box where it is found)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh > /dev/null
exec python3 scripts/bench.py "${BUILD_DIR:-build}" "$@"
