#!/usr/bin/env bash
# Sets up, builds and runs every test. Exit status is the tests'.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh "$@"
cd "${BUILD_DIR:-build}"
ctest --output-on-failure --parallel "$(nproc)" --timeout 900
