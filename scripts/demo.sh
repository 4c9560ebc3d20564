#!/usr/bin/env bash
# Sets up and builds tessivar, writes a small synthetic scene with make_scene, fuses it, and
# prints where the models are. BUILD_DIR (default build) and DEMO_DIR (default
# $BUILD_DIR/demo) choose the folders.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
build_dir="${BUILD_DIR:-build}"
demo_dir="${DEMO_DIR:-$build_dir/demo}"

"$build_dir/make_scene" --out "$demo_dir/scene" --cameras 6 --width 320 --height 240 \
  --noise 0.0015 --dropout 0.02 --seed 1
depth_avg="$(cat "$demo_dir/scene/depth_avg.txt")"

"$build_dir/tessivar" -o "$demo_dir/out" --depth-avg "$depth_avg" --superpixels 1000 \
  -- "$demo_dir"/scene/camera_*.txt

echo
echo "superpixel model: $demo_dir/out/model_superpixel.ply"
echo "dense model:      $demo_dir/out/model.ply"
echo "ground truth:     $demo_dir/scene/ground_truth.ply"
