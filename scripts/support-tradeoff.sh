#!/usr/bin/env bash
# What the support options trade: fuses one generated scene (16 cameras on a ring, 640 x 480,
# sensor noise) with each setting of --min-support/--min-support-sp and prints a markdown table of
# points, completeness, distances and times. Writes under ${BUILD_DIR:-build}/support-tradeoff.
# Not part of CI.
#   scripts/support-tradeoff.sh [MIN_SUPPORT/MIN_SUPPORT_SP ...]   (default: 3/2 1/1 0.5/0.5)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh > /dev/null
exec python3 scripts/support-tradeoff.py "${BUILD_DIR:-build}" "$@"
