#!/bin/sh
# scripts/ply-rgb.py on a small model: the copy renames the colours only; a model cut short is
# refused and leaves no copy; a name with control characters is shown escaped; a missing model or
# folder gives one line and exit 1.
#   check.sh SCRIPT PYTHON WORK_DIR
script=$1 python=$2 dir=$3
rm -rf "$dir" && mkdir -p "$dir" || exit 1
fail() { echo "FAIL: $*"; exit 1; }
printf 'ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float x\n%s\n%s\n' \
  'property uchar diffuse_red' 'end_header' > "$dir/model.ply"
printf 'abcdXefghY' >> "$dir/model.ply"
"$python" "$script" "$dir/model.ply" "$dir/copy.ply" || fail "a whole model is not copied"
sed 's/diffuse_red/red/' "$dir/model.ply" | cmp -s - "$dir/copy.ply" || fail "the copy differs"

head -c -1 "$dir/model.ply" > "$dir/cut.ply"
"$python" "$script" "$dir/cut.ply" "$dir/cut-copy.ply" 2> "$dir/cut.txt" && fail "exit 0 on a cut model"
[ ! -e "$dir/cut-copy.ply" ] || fail "a cut model is copied"
grep -q "cut.ply is cut short" "$dir/cut.txt" || fail "no word of the cut: $(cat "$dir/cut.txt")"

esc=$(printf '\033') ls=$(printf '\342\200\250')  # ESC and the line separator U+2028
printf 'no PLY\n' > "$dir/t${esc}]0;x${ls}.ply"
"$python" "$script" "$dir/t${esc}]0;x${ls}.ply" "$dir/x.ply" 2> "$dir/esc.txt"
grep -q "$esc" "$dir/esc.txt" && fail "ESC shown raw"
grep -qF 't\x1b]0;x\xe2\x80\xa8.ply is not a PLY file' "$dir/esc.txt" ||
  fail "not escaped: $(cat "$dir/esc.txt")"

for args in "$dir/missing.ply $dir/x.ply" "$dir/model.ply $dir/missing/x.ply"; do
  # shellcheck disable=SC2086
  "$python" "$script" $args 2> "$dir/missing.txt"
  rc=$?
  [ "$rc" -eq 1 ] && [ "$(wc -l < "$dir/missing.txt")" -eq 1 ] &&
    grep -q "No such file or directory" "$dir/missing.txt" ||
    fail "$args: exit $rc, $(cat "$dir/missing.txt")"
done
echo "ply-rgb: all checks passed"
