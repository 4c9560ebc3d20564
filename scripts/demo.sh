#!/usr/bin/env bash
# Sets up and builds tessivar, writes a synthetic scene with make_scene, fuses it, measures the
# dense model against the scene's ground truth and prints the figures. BUILD_DIR (default build)
# and DEMO_DIR (default $BUILD_DIR/demo) choose the folders; where the scene's folder has a blank
# in its path (make_scene accepts none), the scene goes to a temporary folder, and the demo says so.
#
# The scene: a sphere and a box on a ground plane, seen by 24 cameras 15 degrees apart on a full
# ring around it, as a turntable scan would be, at 320 x 240 with a sensor's depth noise (sigma
# 0.0015 x depth², about 3 mm at the scene's 1.4 m) and 2 % of the depth pixels lost. make_scene
# spreads the cameras from -arc/2 to +arc/2, both ends included, below a full circle: 345 =
# 360 - 360/24 gives 24 places 15 degrees apart (--arc 360 spaces them 360/N apart from -180, a
# ring turned by 7.5 degrees against this one). Every part of the surface is then seen by several
# cameras, which is what the default support options need (a point is kept where the points of at
# least three cameras meet).
# The fusion: the default support options; --superpixels 2000, which makes about 1300 superpixels
# of 36 depth pixels in a view (the default 5000 make 3300 of 58 at 640 x 480). The default 5000
# (3200 of 15 pixels here) give a median distance of 0.21 mm and 77 % of the surface within 5 mm,
# in a little more time; 1000 (700 of 68 pixels) give 78 % with a p90 distance of 1.4 mm instead
# of 0.73.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
demo_dir="${DEMO_DIR:-$build_dir/demo}"
scene="$demo_dir/scene"
out="$demo_dir/out"
# make_scene's camera files name their images by absolute paths, which must not contain blanks: a
# scene whose folder has one goes to a temporary folder instead.
case "$scene" in /*) scene_path="$scene" ;; *) scene_path="$PWD/$scene" ;; esac
if [[ "$scene_path" =~ [[:space:]] ]]; then
  tmp="$(mktemp -d)"
  if [[ "$tmp" =~ [[:space:]] ]]; then
    rmdir "$tmp"
    echo "demo: make_scene accepts no blanks in the scene's folder ($scene_path) nor in the" \
      "temporary one ($tmp); set DEMO_DIR or TMPDIR to a folder without blanks" >&2
    exit 1
  fi
  scene="$tmp/scene"
  echo "demo: the scene goes to $scene, since its folder ($scene_path) contains a blank" >&2
fi
bash scripts/build.sh

# A scene left by an earlier demo with more cameras would add its cameras to this one.
rm -f "$scene"/camera_[0-9][0-9].txt "$scene"/color_[0-9][0-9].png "$scene"/depth_[0-9][0-9].png
"$build_dir/make_scene" --out "$scene" --cameras 24 --arc 345 --width 320 --height 240 \
  --noise 0.0015 --dropout 0.02 --seed 1
depth_avg="$(cat "$scene/depth_avg.txt")"

"$build_dir/tessivar" -o "$out" --depth-avg "$depth_avg" --superpixels 2000 \
  -- "$scene"/camera_*.txt

echo
echo "superpixel model: $out/model_superpixel.ply"
echo "dense model:      $out/model.ply"
echo "ground truth:     $scene/ground_truth.ply"
echo
echo "\$ $build_dir/model_accuracy $out/model.ply $scene/ground_truth.ply --within 0.005"
figures="$("$build_dir/model_accuracy" "$out/model.ply" "$scene/ground_truth.ply" --within 0.005)"
echo "$figures"
# "points N median_mm M p90_mm P p99_mm Q completeness C" in plain words.
echo "$figures" | awk '{
  for (i = 1; i < NF; i += 2) v[$i] = $(i + 1)
  printf "The dense model has %d points. Half of them lie within %.2f mm of the true surface,\n",
         v["points"], v["median_mm"]
  printf "90 %% within %.2f mm and 99 %% within %.1f mm; %.1f %% of the true surface has a model\n",
         v["p90_mm"], v["p99_mm"], 100 * v["completeness"]
  printf "point within 5 mm.\n"
}'
