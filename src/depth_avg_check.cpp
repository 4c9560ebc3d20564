#include "depth_avg_check.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "dasp/spikes.h"

double mean_valid_depth(const std::vector<CMatrix<float>>& depthmaps, std::size_t* count) {
  const int maps = int(depthmaps.size());
  // One sum per map, added in map order afterwards: the result does not depend on the threads.
  std::vector<double> sums(depthmaps.size(), 0.0);
  std::vector<std::size_t> counts(depthmaps.size(), 0);
#pragma omp parallel for schedule(dynamic, 1)
  for (int m = 0; m < maps; ++m) {
    const CMatrix<float>& d = depthmaps[std::size_t(m)];
    const int W = d.xSize, H = d.ySize;
    if (W <= 0 || H <= 0) continue;
    const auto at = [&](int x, int y) { return d.data[std::size_t(y) * std::size_t(W) + x]; };
    double sum = 0.0;
    std::size_t n = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const float v = at(x, y);
        if (!(v > 0.0f) || dasp::IsSpike(at, W, H, x, y)) continue;
        sum += double(v);
        ++n;
      }
    sums[std::size_t(m)] = sum;
    counts[std::size_t(m)] = n;
  }
  double sum = 0.0;
  std::size_t n = 0;
  for (std::size_t m = 0; m < sums.size(); ++m) {
    sum += sums[m];
    n += counts[m];
  }
  if (count != nullptr) *count = n;
  return n > 0 ? sum / double(n) : 0.0;
}

std::string depth_avg_warning(float depth_avg, double mean_depth) {
  if (!(mean_depth > 0.0)) return std::string();
  const bool low = double(depth_avg) < 0.5 * mean_depth;
  const bool high = double(depth_avg) > 2.0 * mean_depth;
  if (!low && !high) return std::string();
  std::ostringstream text;
  text << "warning: --depth-avg " << depth_avg << " is "
       << (low ? "less than half" : "more than twice") << " the mean depth of the cameras' "
       << "depth maps, ";
  // Three significant digits, written without an exponent up to a million.
  char mean[32];
  std::snprintf(mean, sizeof mean, "%.3g", mean_depth);
  text << std::strtod(mean, nullptr) << "; a value this " << (low ? "small" : "large") << " can "
       << (low ? "leave much of the surface out of the model" : "make the model much less accurate")
       << " (--depth-avg is the scene's average depth, in the units of the depth maps: metres for "
          "depth maps in millimetres)\n";
  return text.str();
}

std::string depth_avg_warning(const std::vector<CMatrix<float>>& depthmaps, float depth_avg) {
  return depth_avg_warning(depth_avg, mean_valid_depth(depthmaps));
}
