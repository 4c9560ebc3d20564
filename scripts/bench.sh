#!/usr/bin/env bash
# Benchmark of whole runs on generated scenes and the real box scan: wall time per stage, total,
# peak memory, point counts and accuracy against the generator's ground truth (the box: against
# its lifted depth maps). Prints one table. Not part of CI.
#   scripts/bench.sh [small|medium|large|overlap|sensor|faults|box|... ...]
#   (default: small medium large overlap)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh > /dev/null
exec python3 scripts/bench.py "${BUILD_DIR:-build}" "$@"
