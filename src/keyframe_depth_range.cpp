#include "keyframe_depth_range.h"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "dasp/spikes.h"
#include "team_error.h"

namespace {

// cos of the least parallax angle (about 0.2 degrees) under which a neighbour still counts.
constexpr float kMaxParallaxCos = 0.9999939203262329f;
constexpr int kMinNeighbours = 3;

float length(float3 v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }
float3 sub(float3 a, float3 b) { return make_float3(a.x - b.x, a.y - b.y, a.z - b.z); }

}  // namespace

namespace {

// The depths of map `d` row by row, stray readings set to 0 (see MapDepths).
std::vector<float> measured_depths(const CMatrix<float>& d, int superpixels) {
  const int W = std::max(d.xSize, 0), H = std::max(d.ySize, 0);
  const std::size_t n = std::size_t(W) * std::size_t(H);
  std::vector<float> measured(n);
  if (n == 0) return measured;
  const auto raw = [&](int x, int y) { return d.data[std::size_t(y) * std::size_t(W) + x]; };
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      measured[std::size_t(y) * std::size_t(W) + x] =
          dasp::IsSpike(raw, W, H, x, y) ? 0.0f : raw(x, y);
  if (superpixels <= 0) return measured;
  const auto at = [&](int x, int y) { return measured[std::size_t(y) * std::size_t(W) + x]; };
  const std::vector<char> far = dasp::FarClusters(at, W, H, dasp::BulkDepth(at, W, H));
  for (std::size_t i = 0; i < n; ++i)
    if (far[i]) measured[i] = 0.0f;
  return measured;
}

MapDepths measure(const CMatrix<float>& d, int superpixels) {
  MapDepths m;
  const std::vector<float> measured = measured_depths(d, superpixels);
  if (measured.empty()) return m;
  const auto [lo, hi] = std::minmax_element(measured.begin(), measured.end());
  m.min = *lo;
  m.max = *hi;
  for (float v : measured)
    if (v > 0.0f) {
      m.sum += double(v);
      ++m.count;
    }
  return m;
}

}  // namespace

std::vector<MapDepths> measure_depth_maps(const std::vector<CMatrix<float>>& depthmaps,
                                          int superpixels) {
  std::vector<MapDepths> maps(depthmaps.size());
  const int n = int(depthmaps.size());
  TeamError error;
#pragma omp parallel for schedule(dynamic, 1)
  for (int m = 0; m < n; ++m) {
    if (error.seen()) continue;
    try {
      maps[std::size_t(m)] = measure(depthmaps[std::size_t(m)], superpixels);
    } catch (...) {
      error.keep_current();
    }
  }
  error.rethrow();
  return maps;
}

void compute_depth_range(const std::vector<MapDepths>& maps, float& min_depth, float& max_depth) {
  if (maps.empty()) {
    min_depth = max_depth = 0.0f;
    return;
  }
  // Stray readings count as no depth, as in the superpixels: a few far readings per map would
  // otherwise stretch the range that bounds the points of every camera.
  std::vector<float> minima, maxima;
  for (const MapDepths& m : maps) {
    minima.push_back(m.min);
    maxima.push_back(m.max);
  }
  const std::size_t mid = minima.size() / 2;
  std::nth_element(minima.begin(), minima.begin() + long(mid), minima.end());
  std::nth_element(maxima.begin(), maxima.begin() + long(mid), maxima.end());
  min_depth = minima[mid];
  max_depth = maxima[mid];
}

void compute_depth_range(const std::vector<CMatrix<float>>& depthmaps, float& min_depth,
                         float& max_depth, int superpixels) {
  compute_depth_range(measure_depth_maps(depthmaps, superpixels), min_depth, max_depth);
}

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
