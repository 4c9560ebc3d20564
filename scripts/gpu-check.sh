#!/usr/bin/env bash
# The GPU check, unattended on a machine with one NVIDIA GPU. It proves that the GPU ran: every
# process it starts for the CUDA back end has TESSIVAR_REQUIRE_CUDA=1, so one that would fall back
# to the host back end stops and says why, and the check reads the back end each one reports.
#   scripts/gpu-check.sh --prebuilt DIR   a folder made here by scripts/pack-gpu-check.sh; needs
#                                         no compiler and no packages there
#   scripts/gpu-check.sh                  builds first (into $BUILD_DIR, default build-gpu; needs
#                                         the packages, installed through apt when missing)
# Steps: each test executable run whole on the CUDA back end; the back-end agreement report
# (backend_agreement on each back end, compared by compare-agreement.py; an output that should
# agree and differs fails it); the kernel run (backend_agreement --run: a fusion with the
# refinement cycles and the back-face removal on, which launches kernels and calls cuBLAS, on 4
# cameras at 320x240); the timed run (tessivar itself on 16 cameras at 640x480: with the switches
# that no option sets, every stage is host code, so it times the production path and compares
# host code with itself). Each run goes on the CUDA back end and then on the host back end; the
# CUDA back end's models must be as accurate against the scene's ground truth as the host's
# (within tolerances), and whether the bytes are the same is reported. One summary line per step
# with its time, also written to LOGS/summary.txt; all inside GPU_CHECK_BUDGET seconds (default
# 480). Exit status 0 only when every step passed on the GPU.
# GPU_CHECK_HOST_SUITE=1 also runs the test executables on the host back end (CI does already);
# GPU_CHECK_JOBS sets how many test executables run at once (default 4); logs go to
# GPU_CHECK_LOGS (default DIR/gpu-check).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
start=$SECONDS
budget="${GPU_CHECK_BUDGET:-480}"
left() { echo $((budget - (SECONDS - start))); }
# A step may use what is left minus what the later steps need at least.
limit() { local l=$(($(left) - $1)); [ "$l" -lt 10 ] && l=10; echo "$l"; }
status=0
summary=()
note() { summary+=("$1"); }

prebuilt=""
case "${1:-}" in
  --prebuilt)
    [ -n "${2:-}" ] || { echo "usage: gpu-check.sh [--prebuilt DIR]" >&2; exit 2; }
    prebuilt="$2" ;;
  "") ;;
  *) echo "usage: gpu-check.sh [--prebuilt DIR]" >&2; exit 2 ;;
esac
export OMP_WAIT_POLICY="${OMP_WAIT_POLICY:-passive}"
[ -d /usr/local/cuda/bin ] && export PATH="/usr/local/cuda/bin:$PATH"

# ---- the GPU as the driver lists it (for the log; what counts is the back end the program reports)
# The compute mode says whether other processes may share the card; TF32 would change the single
# precision results of cuBLAS.
if command -v nvidia-smi > /dev/null 2>&1; then
  echo "nvidia-smi: $(nvidia-smi --query-gpu=name,memory.total,driver_version,compute_cap,compute_mode \
    --format=csv,noheader 2>&1 | head -n 1)"
else
  echo "nvidia-smi: not found"
fi
echo "NVIDIA_TF32_OVERRIDE: ${NVIDIA_TF32_OVERRIDE-not set}"

# ---- the executables: carried here, or built now
if [ -n "$prebuilt" ]; then
  dir="$(cd "$prebuilt" 2>/dev/null && pwd)" || { echo "no folder $prebuilt" >&2; exit 2; }
  [ -f "$dir/BUILD-INFO" ] && echo "prebuilt: $dir ($(cat "$dir/BUILD-INFO"))"
  export LD_LIBRARY_PATH="$dir/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
else
  cd "$here/.."
  dir="$(pwd)/${BUILD_DIR:-build-gpu}"
  cap="$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | head -n 1 | tr -d ' .')"
  [[ "$cap" =~ ^[0-9]+$ ]] && arch="${CUDAARCHS:-${cap}-real}" || arch="${CUDAARCHS:-90-real}"
  t=$SECONDS
  mkdir -p "$dir"
  if ! BUILD_DIR="$dir" timeout "$(limit 300)" bash scripts/build.sh \
      -DCMAKE_CUDA_ARCHITECTURES="$arch" -DTESSIVAR_TESTS=ON > "$dir/gpu-check-build.txt" 2>&1; then
    tail -n 30 "$dir/gpu-check-build.txt"
    echo "build: FAIL ($((SECONDS - t)) s, log $dir/gpu-check-build.txt)"
    exit 1
  fi
  echo "build: ok for $arch in $((SECONDS - t)) s"
fi
logs="${GPU_CHECK_LOGS:-$dir/gpu-check}"
rm -rf "$logs"
mkdir -p "$logs" || exit 2
for b in tessivar make_scene model_accuracy; do
  [ -x "$dir/$b" ] || { echo "$dir/$b is missing" >&2; exit 2; }
done

# ---- cuBLAS, which the pose refinement opens at run time: the loader's own search first, then
# the CUDA toolkit next to nvcc (lib64; lib beside a pip-installed nvcc) and in CUDA_HOME, then the
# NVIDIA package of the python3 on PATH (nvidia/cu13/lib for CUDA 13, nvidia/cublas/lib before).
cublas_loadable() {
  local d
  for d in ${LD_LIBRARY_PATH//:/ }; do
    [ -e "$d/libcublas.so.13" ] || [ -e "$d/libcublas.so" ] && { echo "$d"; return 0; }
  done
  # awk reads to the end: leaving at the first match would kill ldconfig with SIGPIPE, which
  # pipefail reports as the pipeline's status.
  ldconfig -p 2>/dev/null |
    awk '!f && ($1 == "libcublas.so.13" || $1 == "libcublas.so") { print $NF; f = 1 } END { exit !f }'
}
cublas_dirs() {
  local nvcc
  if nvcc="$(command -v nvcc 2>/dev/null)"; then
    echo "$(dirname "$nvcc")/../lib64"
    echo "$(dirname "$nvcc")/../lib"
  fi
  echo "${CUDA_HOME:-/usr/local/cuda}/lib64"
  command -v python3 > /dev/null 2>&1 && python3 - 2>/dev/null <<'EOF'
import importlib.util, os, site
try:
    spec = importlib.util.find_spec("nvidia")
except ImportError:
    spec = None
roots = list(spec.submodule_search_locations or []) if spec else []
roots += [os.path.join(p, "nvidia") for p in site.getsitepackages() + [site.getusersitepackages()]]
for r in roots:
    for package in ("cu13", "cublas"):
        print(os.path.join(r, package, "lib"))
EOF
}
if where="$(cublas_loadable)"; then
  echo "cuBLAS: $where (the loader's search path)"
else
  found=""
  while read -r d; do
    if [ -e "$d/libcublas.so.13" ] || [ -e "$d/libcublas.so" ]; then
      found="$(cd "$d" && pwd)"
      break
    fi
  done < <(cublas_dirs)
  if [ -n "$found" ]; then
    export LD_LIBRARY_PATH="$found${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    echo "cuBLAS: $found"
  else
    echo "cuBLAS: not found (loader, CUDA toolkit, python3's NVIDIA packages); the pose tests will fail"
  fi
fi

# ---- the test executables, each run whole (ctest files hold the build machine's paths)
# $1 = back end name (CUDA or host), $2 = time limit; the environment picks the back end.
# Sets fellback to the reason when the processes fell back to the host back end.
fellback=""
run_suite() {
  local name="$1" lim="$2" t=$SECONDS out="$logs/suite-$1" want
  [ "$1" = CUDA ] && want="back end: CUDA" || want="back end: host"
  mkdir -p "$out"
  local tests=("$dir"/tests/test_*)
  [ -x "${tests[0]}" ] || { note "$name back end: FAIL (no test executables in $dir/tests)"; status=1; return; }
  printf '%s\n' "${tests[@]}" | (cd "$dir" && TESSIVAR_BUILD_DIR="$dir" timeout "$lim" \
    xargs -P "${GPU_CHECK_JOBS:-4}" -I{} \
    sh -c 'n=$(basename "$1"); "$1" > "$2/$n.txt" 2>&1; echo $? > "$2/$n.rc"' _ {} "$out")
  local passed=0 skipped=0 bad=() rc n log
  for x in "${tests[@]}"; do
    n="$(basename "$x")"
    log="$out/$n.txt"
    [ -f "$log" ] || : > "$log"
    rc="$(cat "$out/$n.rc" 2>/dev/null || echo 124)"  # none: stopped by the time limit
    # Fell back: stopped by the probe (exit 3), or its refusal without the back-end line. A test
    # that ran on the GPU and shows a child's refusal in its log is a failing test instead.
    if grep -q '^TESSIVAR_REQUIRE_CUDA is set, but' "$log" &&
       { [ "$rc" = 3 ] || ! grep -q "^\[----------\] $want" "$log"; }; then
      fellback="$(sed -n 's/^TESSIVAR_REQUIRE_CUDA is set, but the CUDA back end is not available: //p' "$log" | head -n 1)"
      bad+=("$n (fell back to the host)")
      continue
    fi
    passed=$((passed + $(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\.$/\1/p' "$log" | tail -n 1 | grep . || echo 0)))
    skipped=$((skipped + $(sed -nE 's/^\[  SKIPPED \] ([0-9]+) tests?, listed below:$/\1/p' "$log" | tail -n 1 | grep . || echo 0)))
    if [ "$rc" -eq 124 ]; then
      bad+=("$n (not done within $lim s)")
    elif ! grep -q "^\[----------\] $want" "$log"; then
      bad+=("$n (exit $rc, no '$want' line)")
    elif [ "$rc" -ne 0 ]; then
      bad+=("$n ($(grep -c '^\[  FAILED  \] [A-Za-z]' "$log") failed)")
      grep -E '^\[  FAILED  \] [A-Za-z]|Failure$' "$log" | head -n 10
    fi
  done
  if [ -n "$fellback" ] && [ "$name" = CUDA ]; then
    note "CUDA back end: NOT RUN (the program fell back to the host back end: $fellback)"
    status=1
  elif [ ${#bad[@]} -gt 0 ]; then
    note "$name back end: FAIL (${bad[*]}; $passed tests passed, $((SECONDS - t)) s, logs $out)"
    status=1
  else
    note "$name back end: PASS (${#tests[@]} executables run whole, $passed tests passed, $skipped skipped, $(grep -h "^\[----------\] $want" "$out"/*.txt | head -n 1 | sed 's/^\[----------\] back end: //'), $((SECONDS - t)) s)"
  fi
}

# What the later steps need at least, in seconds: the agreement report, the kernel run on both
# back ends and the timed run on both back ends.
need_agreement=40
need_kernels=90
need_timed=80

echo "== test executables on the CUDA back end"
TESSIVAR_REQUIRE_CUDA=1 run_suite CUDA "$(limit $((need_agreement + need_kernels + need_timed)))"
echo "${summary[-1]}"

# ---- the back-end agreement report
if [ -n "$fellback" ]; then
  note "agreement: NOT RUN (no GPU)"
elif [ ! -x "$dir/backend_agreement" ] || [ ! -f "$here/compare-agreement.py" ]; then
  note "agreement: NOT RUN (backend_agreement or scripts/compare-agreement.py is missing; build tools/backend_agreement and pack again)"
  status=1
else
  echo "== back-end agreement"
  t=$SECONDS
  rm -rf "$logs/agreement"
  if ! TESSIVAR_REQUIRE_CUDA=1 timeout "$(limit $((need_kernels + need_timed + 10)))" \
      "$dir/backend_agreement" "$logs/agreement/cuda" > "$logs/agreement-cuda.txt" 2>&1; then
    tail -n 20 "$logs/agreement-cuda.txt"
    note "agreement: FAIL (the CUDA run failed, log $logs/agreement-cuda.txt, $((SECONDS - t)) s)"
    status=1
    status=1
  elif ! CUDA_VISIBLE_DEVICES="" timeout "$(limit $((need_kernels + need_timed)))" \
      "$dir/backend_agreement" "$logs/agreement/host" > "$logs/agreement-host.txt" 2>&1; then
    tail -n 20 "$logs/agreement-host.txt"
    note "agreement: FAIL (the host run failed, log $logs/agreement-host.txt, $((SECONDS - t)) s)"
    status=1
  else
    python3 "$here/compare-agreement.py" "$logs/agreement/cuda" "$logs/agreement/host" > "$logs/agreement.txt" 2>&1
    rc=$?
    cat "$logs/agreement.txt"
    last="$(tail -n 1 "$logs/agreement.txt")"
    if [ "$rc" -eq 0 ]; then
      note "agreement: PASS ($last; $((SECONDS - t)) s)"
    elif [[ "$last" == *" where they should agree" ]]; then
      # The operations with an output marked exact that differs.
      ops="$(grep 'expected identical' "$logs/agreement.txt" | cut -d: -f1 | tr '\n' ' ')"
      note "agreement: FAIL ($last: ${ops% }; $((SECONDS - t)) s)"
      status=1
    else
      note "agreement: FAIL (could not compare: $last; $((SECONDS - t)) s)"
      status=1
    fi
  fi
fi

# ---- runs on both back ends, their models against the ground truth
# $1 = log name, $2 = time limit, $3 = scene, $4 = pattern of its camera files, the rest: the
# program (and its leading arguments); the environment picks the back end. Prints the stage table.
fuse() {
  local name="$1" lim="$2" sc="$3" cams="$4" out="$logs/out-$1" t=$SECONDS rc
  shift 4
  rm -rf "$out"
  # shellcheck disable=SC2086  # the pattern names the camera files
  TESSIVAR_STAGE_TIMES=1 timeout "$lim" "$@" -o "$out" --depth-avg "$(cat "$sc/depth_avg.txt")" \
    -- "$sc"/$cams > "$logs/fuse-$name.txt" 2> "$logs/fuse-$name-stderr.txt"
  rc=$?
  wall=$((SECONDS - t))
  echo "$name: $(backend_line "$logs/fuse-$name.txt"); exit $rc after $wall s; stage seconds:"
  awk '$1 == "stage" && NF == 3 { printf "  %-16s %8.3f\n", $2, $3 }' "$logs/fuse-$name-stderr.txt"
  [ "$rc" -eq 0 ] || tail -n 10 "$logs/fuse-$name-stderr.txt"
  return "$rc"
}
# The line of a run's output that says which back end ran it.
backend_line() { grep -m 1 '^back end: ' "$1"; }
# "points N median_mm M p90_mm P completeness C" of one model against a scene's ground truth.
accuracy() { "$dir/model_accuracy" "$1" "$2/ground_truth.ply" 2>&1 | tail -n 1; }
field() { awk -v k="$2" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' <<< "$1"; }
# Whether the CUDA model's figures are within the host model's: distances at most 5 % (and 0.05 mm)
# above, completeness at most 0.01 below, points within 5 %.
within() {
  awk -v pc="$(field "$1" points)" -v ph="$(field "$2" points)" \
      -v mc="$(field "$1" median_mm)" -v mh="$(field "$2" median_mm)" \
      -v qc="$(field "$1" p90_mm)" -v qh="$(field "$2" p90_mm)" \
      -v cc="$(field "$1" completeness)" -v ch="$(field "$2" completeness)" 'BEGIN {
    ok = pc != "" && ph != "" && mc <= mh * 1.05 + 0.05 && qc <= qh * 1.05 + 0.05 && cc >= ch - 0.01 &&
         pc >= ph * 0.95 && pc <= ph * 1.05
    exit !ok }'
}

# One step: a generated scene, the run on the CUDA back end and then on the host back end, and
# the two models of each compared on accuracy. $1 = the step's name (its logs' prefix with - for
# spaces), $2 = what it runs, for the summary, $3 = the make_scene arguments, $4 = the pattern of
# the camera files it fuses, $5 = what the host run needs at least after the CUDA run, $6 = what
# the later steps need at least, the rest: the program.
two_back_ends() {
  local step="$1" tag="${1// /-}" what="$2" scene_args="$3" cams="$4" host_need="$5" later="$6"
  shift 6
  local sc="$logs/scene-$tag"
  rm -rf "$sc"
  echo "== $step: $what"
  # shellcheck disable=SC2086  # the scene's arguments are words
  if ! timeout 60 "$dir/make_scene" --out "$sc" $scene_args > "$logs/make_scene-$tag.txt" 2>&1; then
    tail -n 10 "$logs/make_scene-$tag.txt"
    note "$step ($what): FAIL (make_scene)"
    status=1
    return
  fi
  TESSIVAR_REQUIRE_CUDA=1 fuse "$tag-CUDA" "$(limit $((host_need + later)))" "$sc" "$cams" "$@"
  local rc_cuda=$? wall_cuda=$wall
  local first
  first="$(backend_line "$logs/fuse-$tag-CUDA.txt")"
  if grep -q '^TESSIVAR_REQUIRE_CUDA is set, but' "$logs/fuse-$tag-CUDA-stderr.txt" || [[ "$first" != "back end: CUDA"* ]]; then
    note "$step ($what): FAIL (not on the GPU: $first$(head -n 1 "$logs/fuse-$tag-CUDA-stderr.txt"))"
    status=1
    return
  elif [ "$rc_cuda" -ne 0 ]; then
    note "$step ($what): FAIL (CUDA run exit $rc_cuda after $wall_cuda s, log $logs/fuse-$tag-CUDA-stderr.txt)"
    status=1
    return
  fi
  CUDA_VISIBLE_DEVICES="" fuse "$tag-host" "$(limit "$later")" "$sc" "$cams" "$@"
  local rc_host=$? wall_host=$wall
  if [ "$rc_host" -ne 0 ]; then
    note "$step ($what): FAIL (CUDA run ok in $wall_cuda s; the host run for comparison: exit $rc_host after $wall_host s)"
    status=1
    return
  fi
  local verdict="" m a_cuda a_host
  for m in model_superpixel.ply model.ply; do
    a_cuda="$(accuracy "$logs/out-$tag-CUDA/$m" "$sc")"
    a_host="$(accuracy "$logs/out-$tag-host/$m" "$sc")"
    echo "$m  CUDA: $a_cuda"
    echo "$m  host: $a_host"
    if cmp -s "$logs/out-$tag-CUDA/$m" "$logs/out-$tag-host/$m"; then
      verdict+="$m identical; "
    elif within "$a_cuda" "$a_host"; then
      verdict+="$m differs, accuracy within the host's; "
    else
      verdict+="$m less accurate than the host's; "
      status=1
    fi
  done
  local fields
  fields="$(field "$a_cuda" points) points, median $(field "$a_cuda" median_mm) mm, p90 $(field "$a_cuda" p90_mm) mm, completeness $(field "$a_cuda" completeness)"
  case "$verdict" in
    *"less accurate"*) note "$step ($what): FAIL (${verdict%; }; model.ply $fields; CUDA $wall_cuda s, host $wall_host s)" ;;
    *) note "$step ($what): PASS (CUDA $wall_cuda s, host $wall_host s; ${verdict%; }; model.ply $fields)" ;;
  esac
}

if [ -n "$fellback" ]; then
  note "kernel run: NOT RUN (no GPU)"
  note "timed run: NOT RUN (no GPU)"
else
  if [ -x "$dir/backend_agreement" ]; then
    two_back_ends "kernel run" "refinement cycles and back-face removal, 4 cameras at 320x240: kernels and cuBLAS" \
      "--cameras 8 --width 320 --height 240 --noise 0.0015 --dropout 0.01 --seed 7" 'camera_0[2-5].txt' \
      $((need_kernels * 2 / 3)) "$need_timed" "$dir/backend_agreement" --run
  else
    note "kernel run: NOT RUN (backend_agreement is missing; build tools/backend_agreement and pack again)"
    status=1
  fi
  two_back_ends "timed run" "tessivar, 16 cameras at 640x480: every stage host code on both back ends" \
    "--cameras 16 --width 640 --height 480 --noise 0.0015 --dropout 0.01 --seed 7" 'camera_*.txt' \
    $((need_timed / 2)) 0 "$dir/tessivar"
fi

# ---- optionally the test executables on the host back end (CI runs them already)
if [ "${GPU_CHECK_HOST_SUITE:-0}" = 1 ]; then
  echo "== test executables on the host back end (CUDA_VISIBLE_DEVICES=\"\")"
  CUDA_VISIBLE_DEVICES="" run_suite host "$(limit 5)"
fi

echo "== summary ($((SECONDS - start)) s, logs $logs)"
printf '%s\n' "${summary[@]}" | tee "$logs/summary.txt"
exit "$status"
