#!/bin/sh
# Two runs of the back-end agreement tool on the host back end, with 1 and with 3 threads, must
# agree bit for bit everywhere except in sums that float atomics form in any order; a copy of one
# run with one exact output changed must fail the comparison.
#   check.sh TOOL COMPARE_SCRIPT PYTHON WORK_DIR
tool=$1 compare=$2 python=$3 dir=$4
rm -rf "$dir" && mkdir -p "$dir" || exit 1
CUDA_VISIBLE_DEVICES= OMP_NUM_THREADS=1 OMP_WAIT_POLICY=passive "$tool" "$dir/a" >/dev/null || exit 1
CUDA_VISIBLE_DEVICES= OMP_NUM_THREADS=3 OMP_WAIT_POLICY=passive "$tool" "$dir/b" >/dev/null || exit 1
"$python" "$compare" "$dir/a" "$dir/b" >"$dir/report.txt" || exit 1
cat "$dir/report.txt"
grep -q "^A: host back end" "$dir/report.txt" && grep -q "^B: host back end" "$dir/report.txt" || {
  echo "FAIL: not both runs on the host back end"; exit 1; }
if grep -E "expected identical|texture filtering" "$dir/report.txt" >/dev/null; then
  echo "FAIL: outputs differ that do not depend on the order of float atomics"
  exit 1
fi
grep -q ", 0 where they should agree$" "$dir/report.txt" || {
  echo "FAIL: no summary line"; exit 1; }

# One element of the first exact output changed: reported, and the comparison fails.
rm -rf "$dir/c" && cp -r "$dir/a" "$dir/c" || exit 1
file=$(awk '$1 == "output" && $6 == "exact" { print $7; exit }' "$dir/c/manifest.txt")
[ -n "$file" ] || { echo "FAIL: no exact output in the manifest"; exit 1; }
"$python" -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[0] ^= 1
open(sys.argv[1], "wb").write(b)' "$dir/c/$file" || exit 1
"$python" "$compare" "$dir/a" "$dir/c" >"$dir/changed.txt"
rc=$?
grep -q "expected identical" "$dir/changed.txt" && grep -q ", 1 where they should agree$" "$dir/changed.txt" || {
  cat "$dir/changed.txt"; echo "FAIL: the changed output is not reported"; exit 1; }
[ "$rc" -eq 1 ] || { echo "FAIL: a changed exact output left the comparison with exit $rc, not 1"; exit 1; }
