#include "keyframe_depth_range.h"

#include <cmath>
#include <iostream>

namespace {

// cos of the least parallax angle (about 0.2 degrees) under which a neighbour still counts.
constexpr float kMaxParallaxCos = 0.9999939203262329f;
constexpr int kMinNeighbours = 3;

float length(float3 v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }
float3 sub(float3 a, float3 b) { return make_float3(a.x - b.x, a.y - b.y, a.z - b.z); }

}  // namespace

void estimate_keyframe_depth_range(Camera& camera) {
  if (camera.neighbors.empty()) return;
  const float3 C = camera.center;
  const float3 z = make_float3(camera.R[2], camera.R[5], camera.R[8]);  // the viewing axis

  float sum = 0.f;
  for (const Camera* n : camera.neighbors) sum += length(sub(n->center, C));
  const float avg = sum / float(camera.neighbors.size());

  // Walk out by whole steps while enough neighbours see the axis point; after the first
  // failure, bisect the bracket until it is narrow. An infinite step (a neighbour at infinity)
  // could never shrink below the limit.
  float depth = avg, step = avg;
  while (double(step) > 0.001 && std::isfinite(step)) {
    const float3 P = make_float3(depth * z.x + C.x, depth * z.y + C.y, depth * z.z + C.z);
    int count = 0;
    for (const Camera* n : camera.neighbors) {
      const float3 d = sub(P, n->center);
      const float c = (d.x * z.x + d.y * z.y + d.z * z.z) / length(d);
      if (0.f < c && c < kMaxParallaxCos) ++count;
    }
    if (count >= kMinNeighbours) {
      depth = depth + step;
    } else {
      depth = (depth - step) + step * 0.5f;
      step = step * 0.5f;
    }
  }
  camera.max_depth = depth;
  camera.min_depth = 3.f * avg;
  std::cout << " max_depth = " << camera.max_depth << "  min_depth = " << camera.min_depth
            << std::endl;
}
