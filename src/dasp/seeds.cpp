#include "dasp/seeds.h"

#include <algorithm>
#include <cmath>

#include <omp.h>

namespace dasp {
namespace internal {

namespace {

// Slant factors above this come from depth edges rather than from surfaces.
constexpr float kMaxSlant = 4.0f;
constexpr double kPi = 3.141592653589793;

}  // namespace

int teamSize(std::size_t work, std::size_t grain) {
  const std::size_t wanted = work / std::max<std::size_t>(grain, 1);
  return int(std::max<std::size_t>(1, std::min<std::size_t>(wanted, omp_get_max_threads())));
}

SeedDensity seedDensity(const slimage::Image1ui16& depth, const Parameters& opt, float max_depth) {
  const int W = int(depth.width()), H = int(depth.height());
  const std::size_t n = depth.size();
  SeedDensity out;
  out.density.assign(n, 0.0f);
  if (n == 0) return out;

  const float f = opt.camera_focal;
  const float unit = opt.depth_unit;
  std::vector<float> area(n, 0.0f);
  std::vector<double> row_sum(H, 0.0), row_count(H, 0.0);

#pragma omp parallel for schedule(static) if (teamSize(n, 16384) > 1)
  for (int y = 0; y < H; ++y) {
    double sum = 0.0, count = 0.0;
    for (int x = 0; x < W; ++x) {
      const unsigned short v = depth(x, y)[0];
      if (v == 0) continue;
      const float z = v * unit;
      // Depth change per pixel, from the neighbours that have depth.
      auto slope = [&](int xa, int ya, int xb, int yb) {
        const bool a = xa >= 0 && ya >= 0 && xa < W && ya < H && depth(xa, ya)[0] != 0;
        const bool b = xb >= 0 && yb >= 0 && xb < W && yb < H && depth(xb, yb)[0] != 0;
        if (a && b) return 0.5f * (float(depth(xb, yb)[0]) - float(depth(xa, ya)[0])) * unit;
        if (b) return (float(depth(xb, yb)[0]) - float(v)) * unit;
        if (a) return (float(v) - float(depth(xa, ya)[0])) * unit;
        return 0.0f;
      };
      const float gx = slope(x - 1, y, x + 1, y), gy = slope(x, y - 1, x, y + 1);
      // Surface gradient in world units per world unit across the pixel footprint z / f.
      const float s = (gx * gx + gy * gy) * (f / z) * (f / z);
      const float slant = std::min(std::sqrt(1.0f + s), kMaxSlant);
      const float zw = v > max_depth ? max_depth * unit : z;  // the depth the pixel weighs at
      const float a = (zw / f) * (zw / f) * slant;
      area[std::size_t(y) * W + x] = a;
      sum += a;
      count += 1.0;
    }
    row_sum[y] = sum;
    row_count[y] = count;
  }

  double total = 0.0, valid = 0.0;
  for (int y = 0; y < H; ++y) {
    total += row_sum[y];
    valid += row_count[y];
  }
  // Without any depth the image is treated as a wall at one world unit.
  const double mean_area = valid > 0 ? total / valid : 1.0 / (double(f) * f);
  total += (double(n) - valid) * mean_area;

  double radius;
  if (opt.count > 0) {
    const double count = std::min<double>(opt.count, double(n));
    radius = std::sqrt(total / (kPi * count));
  } else {
    radius = opt.base_radius;
  }
  const double per_area = 1.0 / (kPi * radius * radius);
  out.radius = float(radius);
  out.mean_area = float(mean_area);

#pragma omp parallel for schedule(static) if (teamSize(n, 16384) > 1)
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const std::size_t i = std::size_t(y) * W + x;
      const double a = depth(x, y)[0] != 0 ? double(area[i]) : mean_area;
      out.density[i] = float(std::min(1.0, a * per_area));
    }
  }
  return out;
}

std::vector<int> spreadSeeds(const std::vector<float>& density, unsigned width, unsigned height) {
  const int W = int(width), H = int(height);
  std::vector<int> seeds;
  if (W == 0 || H == 0) return seeds;
  std::vector<float> cur(W, 0.0f), next(W, 0.0f);
  for (int y = 0; y < H; ++y) {
    const bool forward = (y % 2) == 0;
    const int step = forward ? 1 : -1;
    const bool below = y + 1 < H;
    for (int k = 0; k < W; ++k) {
      const int x = forward ? k : W - 1 - k;
      const std::size_t i = std::size_t(y) * W + x;
      const float v = density[i] + cur[x];
      float e = v;
      if (v >= 0.5f) {
        seeds.push_back(int(i));
        e = v - 1.0f;
      }
      // Shares that would leave the image go to the neighbours inside it, so the seed count
      // follows the density sum even where rows hold less than one seed.
      const bool ahead = k + 1 < W, behind = k > 0;
      const float w_ahead = ahead ? 7.0f : 0.0f;
      const float w_below_behind = below && behind ? 3.0f : 0.0f;
      const float w_below = below ? 5.0f : 0.0f;
      const float w_below_ahead = below && ahead ? 1.0f : 0.0f;
      const float sum = w_ahead + w_below_behind + w_below + w_below_ahead;
      if (sum == 0.0f) continue;
      const float share = e / sum;
      if (ahead) cur[x + step] += share * w_ahead;
      if (below) {
        if (behind) next[x - step] += share * w_below_behind;
        next[x] += share * w_below;
        if (ahead) next[x + step] += share * w_below_ahead;
      }
    }
    std::swap(cur, next);
    std::fill(next.begin(), next.end(), 0.0f);
  }
  if (seeds.empty()) seeds.push_back(int((H / 2) * std::size_t(W) + W / 2));
  return seeds;
}

}  // namespace internal
}  // namespace dasp
