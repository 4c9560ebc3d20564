#!/usr/bin/env bash
# On a machine with an NVIDIA GPU: builds once, then runs the suite on the CUDA back end
# and on the host back end (GPU hidden), and prints both summaries. Stays inside 8 minutes;
# the exit status is non-zero when the build or either run fails.
set -uo pipefail
cd "$(dirname "$0")/.."
[ -d /usr/local/cuda/bin ] && export PATH="/usr/local/cuda/bin:$PATH"
nvidia-smi -L || echo "warning: nvidia-smi found no GPU"
build_dir="${BUILD_DIR:-build-gpu}"
export BUILD_DIR="$build_dir"
export OMP_WAIT_POLICY="${OMP_WAIT_POLICY:-passive}"
timeout 270 bash scripts/build.sh -DCMAKE_CUDA_ARCHITECTURES=90-real || { echo "build failed"; exit 1; }
cd "$build_dir"
echo "== CUDA back end"
timeout 110 ctest --parallel 8 --timeout 100 > ../gpu-check-cuda.txt 2>&1
rc_cuda=$?
tail -n 25 ../gpu-check-cuda.txt
echo "== host back end (CUDA_VISIBLE_DEVICES=\"\")"
CUDA_VISIBLE_DEVICES="" timeout 85 ctest --parallel 16 --timeout 80 > ../gpu-check-host.txt 2>&1
rc_host=$?
tail -n 8 ../gpu-check-host.txt
echo "CUDA back end: exit $rc_cuda; host back end: exit $rc_host"
[ "$rc_cuda" -eq 0 ] && [ "$rc_host" -eq 0 ]
