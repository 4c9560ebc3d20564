#!/usr/bin/env bash
# The first-GPU check, unattended on a fresh machine with one NVIDIA GPU: installs what the build
# needs, builds for the GPU present, runs the whole suite on the CUDA back end and then on the
# host back end (GPU hidden), and times one end-to-end run on the CUDA back end (16 cameras at
# 640x480, stage table from TESSIVAR_STAGE_TIMES). Everything stays inside GPU_CHECK_BUDGET
# seconds (default 540, 9 minutes). Ends with one summary line per back end; the exit status is
# non-zero when the build, a test or the timed run failed.
#   scripts/gpu-check.sh            logs go to $BUILD_DIR/gpu-check (BUILD_DIR default build-gpu)
# For trying the script out: GPU_CHECK_JOBS caps the host suite's parallel tests (default: all
# cores) and GPU_CHECK_CTEST_ARGS passes extra ctest arguments (a -R filter, say) to both suites.
set -uo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
budget="${GPU_CHECK_BUDGET:-540}"
left() { echo $((budget - (SECONDS - start))); }
# A phase may use what is left minus what the later phases need at least.
limit() { local l=$(($(left) - $1)); [ "$l" -lt 10 ] && l=10; echo "$l"; }

[ -d /usr/local/cuda/bin ] && export PATH="/usr/local/cuda/bin:$PATH"
export OMP_WAIT_POLICY="${OMP_WAIT_POLICY:-passive}"
build_dir="${BUILD_DIR:-build-gpu}"
logs="$build_dir/gpu-check"
status=0

# ---- the GPU: its compute capability picks the machine code (9.0 -> sm_90 on an H100)
cap="$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | head -n 1 | tr -d ' .')"
if [[ "$cap" =~ ^[0-9]+$ ]]; then
  gpu=1
  arch="${CUDAARCHS:-${cap}-real}"
  echo "GPU: $(nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader | head -n 1); building for $arch"
else
  gpu=0
  arch="${CUDAARCHS:-90-real}"
  echo "GPU: none found by nvidia-smi; building for $arch, the CUDA back end cannot be checked here"
  status=1
fi

# ---- build (installs missing packages through scripts/setup-deps.sh)
mkdir -p "$build_dir"
t0=$SECONDS
BUILD_DIR="$build_dir" timeout "$(limit 200)" bash scripts/build.sh \
  -DCMAKE_CUDA_ARCHITECTURES="$arch" -DTESSIVAR_TESTS=ON > "$build_dir/gpu-check-build.txt" 2>&1
rc=$?
mkdir -p "$logs"
mv "$build_dir/gpu-check-build.txt" "$logs/build.txt"
if [ "$rc" -ne 0 ]; then
  tail -n 30 "$logs/build.txt"
  echo "build: FAILED (exit $rc after $((SECONDS - t0)) s, log $logs/build.txt)"
  echo "CUDA back end: NOT RUN (build failed)"
  echo "host back end: NOT RUN (build failed)"
  exit 1
fi
echo "build: ok in $((SECONDS - t0)) s"

# Runs the suite in the build folder; prints the failures and sets the summary of one back end.
# $1 = back end name, $2 = time limit, $3 = parallel jobs; the environment picks the back end.
summary=()
run_suite() {
  local name="$1" lim="$2" jobs="$3" log="$logs/ctest-$1.txt" t=$SECONDS rc
  # shellcheck disable=SC2086
  (cd "$build_dir" && timeout "$lim" ctest --parallel "$jobs" --timeout "$lim" \
    --output-on-failure ${GPU_CHECK_CTEST_ARGS:-}) > "$log" 2>&1
  rc=$?
  local total failed skipped line
  line="$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)"
  total="$(sed -nE 's/.* out of ([0-9]+)$/\1/p' <<< "$line")"
  failed="$(sed -nE 's/.*, ([0-9]+) tests? failed out of.*/\1/p' <<< "$line")"
  skipped="$(grep -c '(Skipped)' "$log")"
  if grep -q 'No tests were found' "$log"; then
    summary+=("$name back end: FAIL (no tests found, log $log)")
    status=1
  elif [ "$rc" -eq 124 ] || [ -z "$line" ]; then
    grep -E '\*\*\*|Failed' "$log" | head -n 20
    summary+=("$name back end: FAIL (suite did not finish within $lim s, log $log)")
    status=1
  elif [ "$rc" -ne 0 ]; then
    sed -n '/The following tests FAILED/,$p' "$log" | head -n 40
    summary+=("$name back end: FAIL ($failed of $total tests failed, $skipped skipped, $((SECONDS - t)) s, log $log)")
    status=1
  else
    summary+=("$name back end: PASS ($total tests, $skipped skipped, $((SECONDS - t)) s)")
  fi
}

# ---- the suite on the CUDA back end
if [ "$gpu" -eq 1 ]; then
  echo "== suite on the CUDA back end"
  run_suite CUDA "$(limit 230)" 8
else
  summary+=("CUDA back end: NOT RUN (no GPU)")
fi

# ---- one timed end-to-end run on the CUDA back end
if [ "$gpu" -eq 1 ]; then
  echo "== end-to-end timing on the CUDA back end: 16 cameras at 640x480"
  scene="$build_dir/gpu-check/scene"
  out="$build_dir/gpu-check/out"
  rm -rf "$scene" "$out"
  if timeout 60 "$build_dir/make_scene" --out "$scene" --cameras 16 --width 640 --height 480 \
      --noise 0.0015 --dropout 0.01 --seed 7 > "$logs/make_scene.txt" 2>&1; then
    t=$SECONDS
    TESSIVAR_STAGE_TIMES=1 timeout "$(limit 170)" "$build_dir/tessivar" -o "$out" \
      --depth-avg "$(cat "$scene/depth_avg.txt")" -- "$scene"/camera_* \
      > "$logs/e2e-stdout.txt" 2> "$logs/e2e-stderr.txt"
    rc=$?
    echo "stage            seconds"
    awk '$1 == "stage" && NF == 3 { printf "%-16s %8.3f\n", $2, $3 }' "$logs/e2e-stderr.txt"
    if [ "$rc" -eq 0 ]; then
      echo "end-to-end run: ok, $((SECONDS - t)) s wall"
    else
      tail -n 20 "$logs/e2e-stderr.txt"
      echo "end-to-end run: FAILED (exit $rc)"
      status=1
    fi
  else
    tail -n 20 "$logs/make_scene.txt"
    echo "end-to-end run: FAILED (make_scene)"
    status=1
  fi
fi

# ---- the suite on the host back end (every GPU hidden)
echo "== suite on the host back end (CUDA_VISIBLE_DEVICES=\"\")"
CUDA_VISIBLE_DEVICES="" run_suite host "$(limit 5)" "${GPU_CHECK_JOBS:-$(nproc)}"

echo "== summary ($((SECONDS - start)) s)"
printf '%s\n' "${summary[@]}"
exit "$status"
