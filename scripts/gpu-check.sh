#!/usr/bin/env bash
# On a machine with an NVIDIA GPU: builds once, then runs the suite on the CUDA back end
# and on the host back end (GPU hidden), and prints both summaries.
set -uo pipefail
cd "$(dirname "$0")/.."
[ -d /usr/local/cuda/bin ] && export PATH="/usr/local/cuda/bin:$PATH"
nvidia-smi -L || echo "warning: nvidia-smi found no GPU"
build_dir="${BUILD_DIR:-build-gpu}"
export BUILD_DIR="$build_dir"
timeout 300 bash scripts/build.sh -DCMAKE_CUDA_ARCHITECTURES=90-real || { echo "build failed"; exit 1; }
cd "$build_dir"
echo "== CUDA back end"
timeout 120 ctest --parallel 8 --timeout 100 2>&1 | tail -n 25 | tee ../gpu-check-cuda.txt
echo "== host back end (CUDA_VISIBLE_DEVICES=\"\")"
CUDA_VISIBLE_DEVICES="" timeout 90 ctest --parallel 16 --timeout 80 2>&1 | tail -n 8 | tee ../gpu-check-host.txt
