#!/usr/bin/env bash
# Packs the GPU check for a machine that can reach nothing outside (no apt, no registry, GPU time
# scarce): builds here for sm_90 (H100 and H200) with the tests, and copies into one folder what
# scripts/gpu-check.sh --prebuilt needs there: the test executables, tessivar, make_scene,
# model_accuracy, backend_agreement, the check's scripts and the shared libraries that a bare
# Ubuntu 24.04 image lacks. Strips the executables and prints the folder's size: with the
# repository's files it must stay under 64 MiB, what the device machine's tool carries.
#   scripts/pack-gpu-check.sh [CMAKE_ARGS...]
# BUILD_DIR is the build folder (default build-gpu), PACK_DIR the folder to carry (default
# $BUILD_DIR/pack), PACK_CUDA_ARCHS the machine code (default 90-real). On the GPU machine:
#   bash PACK_DIR/scripts/gpu-check.sh --prebuilt PACK_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
[ -d /usr/local/cuda/bin ] && export PATH="/usr/local/cuda/bin:$PATH"
build_dir="${BUILD_DIR:-build-gpu}"
pack="${PACK_DIR:-$build_dir/pack}"
limit_mib=64

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CUDA_ARCHITECTURES="${PACK_CUDA_ARCHS:-90-real}" -DTESSIVAR_TESTS=ON "$@"
cmake --build "$build_dir" --parallel "${PACK_JOBS:-$(nproc)}"

rm -rf "$pack"
mkdir -p "$pack/tests" "$pack/lib" "$pack/scripts"
# The layout of a build folder (executables on top, tests/ below), so that tests which start
# tessivar or make_scene find them through TESSIVAR_BUILD_DIR as they do under ctest.
for t in "$build_dir"/tests/test_*; do
  [[ -f "$t" && -x "$t" && "$t" != *.cmake ]] && cp "$t" "$pack/tests/"
done
for b in tessivar make_scene model_accuracy; do
  [ -x "$build_dir/$b" ] || { echo "pack: $build_dir/$b was not built" >&2; exit 1; }
  cp "$build_dir/$b" "$pack/"
done
if [ -x "$build_dir/backend_agreement" ]; then
  cp "$build_dir/backend_agreement" "$pack/"
else
  echo "pack: warning: no backend_agreement in $build_dir; the check will not compare the back ends"
fi
cp scripts/gpu-check.sh "$pack/scripts/"
[ -f scripts/compare-agreement.py ] && cp scripts/compare-agreement.py "$pack/scripts/"
strip --strip-unneeded "$pack"/tests/test_* "$pack"/tessivar "$pack"/make_scene "$pack"/model_accuracy
[ -f "$pack/backend_agreement" ] && strip --strip-unneeded "$pack/backend_agreement"
echo "$(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD 2>/dev/null || echo +changes)," \
  "built $(date -u +%Y-%m-%dT%H:%MZ) for ${PACK_CUDA_ARCHS:-90-real}" > "$pack/BUILD-INFO"

# Shared libraries: everything the executables load except what every Ubuntu 24.04 image has (the
# C and C++ runtimes and zlib). The C++ runtime stays the image's: a newer one serves these
# executables, while an older one carried from here could refuse cuBLAS, which loads into the
# same process. libgomp comes along: images without gcc lack it.
base='^(linux-vdso|ld-linux|libc|libm|libdl|libpthread|librt|libstdc\+\+|libgcc_s|libz)\.so'
executables=("$pack"/tests/test_* "$pack"/tessivar "$pack"/make_scene "$pack"/model_accuracy)
[ -f "$pack/backend_agreement" ] && executables+=("$pack/backend_agreement")
todo=("${executables[@]}")
while [ ${#todo[@]} -gt 0 ]; do
  next=()
  while read -r name path; do
    [[ "$name" =~ $base ]] && continue
    [ -e "$pack/lib/$name" ] && continue
    [ -f "$path" ] || { echo "pack: $name is not found here" >&2; exit 1; }
    cp -L "$path" "$pack/lib/$name"
    chmod u+w "$pack/lib/$name"
    next+=("$pack/lib/$name")
  done < <(ldd "${todo[@]}" | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }' | sort -u)
  todo=("${next[@]+"${next[@]}"}")
done

# Every library an executable needs must now come from lib/ or be one the image has.
lib_abs="$(cd "$pack/lib" && pwd)"
missing="$(LD_LIBRARY_PATH="$lib_abs" ldd "${executables[@]}" | awk -v base="$base" -v lib="$lib_abs/" '
  $2 == "=>" && $1 !~ base && ($3 == "not" || index($3, lib) != 1) { print $1 }' | sort -u)"
[ -z "$missing" ] || { echo "pack: not carried: $missing" >&2; exit 1; }

echo "carried libraries: $(cd "$pack/lib" && ls | tr '\n' ' ')"
bytes="$(du -sb "$pack" | cut -f1)"
# The repository's files travel with the pack: the tracked ones and the untracked ones git does
# not ignore.
repo_bytes="$(git ls-files -z -co --exclude-standard 2>/dev/null | xargs -0 stat -c %s 2>/dev/null |
  awk '{ s += $1 } END { print s + 0 }')"
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
echo "packed $pack: $(mib "$bytes") MiB, with the repository $(mib $((bytes + repo_bytes))) MiB" \
  "($(ls "$pack/tests" | wc -l) test executables; $(cat "$pack/BUILD-INFO"))"
if [ $((bytes + repo_bytes)) -ge $((limit_mib * 1048576)) ]; then
  echo "pack: $pack with the repository is over $limit_mib MiB" >&2
  exit 1
fi
echo "Carry the folder $pack to the GPU machine and run there (docs/gpu-check.md gives the"
echo "command that also returns the logs):"
echo "  bash $pack/scripts/gpu-check.sh --prebuilt $pack"
