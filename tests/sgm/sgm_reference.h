// A plain host model of the semi-global matching for comparisons: paths listed pixel by pixel
// from their geometric definition, the path-cost recurrence, and the sum over directions.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

namespace sgm_test {

// Label-major volume (label fastest, then column, then row).
struct Volume {
  unsigned n = 0, W = 0, H = 0;
  std::vector<float> v;
  Volume() = default;
  Volume(unsigned n_, unsigned W_, unsigned H_, float fill = 0.f)
      : n(n_), W(W_), H(H_), v(std::size_t(n_) * W_ * H_, fill) {}
  float& at(unsigned d, unsigned x, unsigned y) { return v[(std::size_t(y) * W + x) * n + d]; }
  float at(unsigned d, unsigned x, unsigned y) const { return v[(std::size_t(y) * W + x) * n + d]; }
};

using Pixel = std::pair<unsigned, unsigned>;

// The line that starts at minor coordinate t steps once along the major axis per pixel; its
// unwrapped minor position is t + sign * round(k * a / b), taken modulo the minor extent, and a
// new path starts wherever that position crosses a multiple of the extent.
inline std::vector<std::vector<Pixel>> pathsOf(int dx, int dy, unsigned W, unsigned H) {
  const bool columnMajor = std::abs(dx) >= std::abs(dy);
  const int major = columnMajor ? dx : dy, minor = columnMajor ? dy : dx;
  const int b = std::abs(major), a = std::abs(minor), sign = minor > 0 ? 1 : (minor < 0 ? -1 : 0);
  const int M = int(columnMajor ? H : W), K = int(columnMajor ? W : H);
  const auto floorDiv = [](int p, int q) { return int(std::floor(double(p) / q)); };
  std::vector<std::vector<Pixel>> paths;
  for (int t = 0; t < M; ++t) {
    int lastPos = 0;
    for (int k = 0; k < K; ++k) {
      const int pos = t + sign * int(std::floor(double(k) * a / b + 0.5));
      if (k == 0 || floorDiv(pos, M) != floorDiv(lastPos, M)) paths.emplace_back();
      lastPos = pos;
      const int mc = pos - floorDiv(pos, M) * M;
      const int mj = major > 0 ? k : K - 1 - k;
      paths.back().push_back(columnMajor ? Pixel(mj, mc) : Pixel(mc, mj));
    }
  }
  return paths;
}

// S += L of every path of one direction. P2 per pixel from p2map when it is not empty.
inline void aggregate(Volume& S, const Volume& C, int dx, int dy, float P1, float P2,
                      const std::vector<float>& p2map = {}) {
  const unsigned n = C.n;
  for (const std::vector<Pixel>& path : pathsOf(dx, dy, C.W, C.H)) {
    std::vector<float> prev(n), cur(n);
    for (std::size_t i = 0; i < path.size(); ++i) {
      const unsigned x = path[i].first, y = path[i].second;
      if (i == 0) {
        for (unsigned d = 0; d < n; ++d) {
          prev[d] = C.at(d, x, y);
          S.at(d, x, y) += prev[d];
        }
        continue;
      }
      float mprev = FLT_MAX;
      for (float p : prev) mprev = std::fmin(mprev, p);
      const float p2 = p2map.empty() ? P2 : p2map[std::size_t(y) * C.W + x];
      for (unsigned d = 0; d < n; ++d) {
        const float lo = d > 0 ? prev[d - 1] + P1 : FLT_MAX;
        const float hi = d + 1 < n ? prev[d + 1] + P1 : FLT_MAX;
        const float best = std::fmin(std::fmin(prev[d], mprev + p2), std::fmin(lo, hi));
        cur[d] = (C.at(d, x, y) + best) - mprev;
        S.at(d, x, y) += cur[d];
      }
      std::swap(prev, cur);
    }
  }
}

// The 32 directions in the driver's order.
inline const std::vector<std::pair<int, int>>& allDirections() {
  static const std::vector<std::pair<int, int>> dirs = {
      {1, 0},   {-1, 0},  {0, 1},   {0, -1},  {1, 1},   {-1, 1},  {-1, -1}, {1, -1},
      {2, 1},   {2, -1},  {-2, 1},  {-2, -1}, {1, 2},   {-1, 2},  {1, -2},  {-1, -2},
      {4, 1},   {4, 3},   {4, -1},  {4, -3},  {-4, 1},  {-4, 3},  {-4, -1}, {-4, -3},
      {1, 4},   {3, 4},   {-1, 4},  {-3, 4},  {1, -4},  {3, -4},  {-1, -4}, {-3, -4}};
  return dirs;
}

}  // namespace sgm_test
