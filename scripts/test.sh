#!/usr/bin/env bash
# Sets up, builds and runs every test. Exit status is the tests'.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh "$@"
cd "${BUILD_DIR:-build}"
# The test executables run side by side; OpenMP's busy-waiting would make them fight for cores.
export OMP_WAIT_POLICY="${OMP_WAIT_POLICY:-passive}"
ctest --output-on-failure --parallel "$(nproc)" --timeout 900
