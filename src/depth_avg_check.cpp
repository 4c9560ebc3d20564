#include "depth_avg_check.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "keyframe_depth_range.h"
#include "team_error.h"

double mean_valid_depth(const std::vector<CMatrix<float>>& depthmaps, std::size_t* count,
                        int superpixels) {
  const int maps = int(depthmaps.size());
  // One sum per map, added in map order afterwards: the result does not depend on the threads.
  std::vector<double> sums(depthmaps.size(), 0.0);
  std::vector<std::size_t> counts(depthmaps.size(), 0);
  TeamError error;
#pragma omp parallel for schedule(dynamic, 1)
  for (int m = 0; m < maps; ++m) {
    if (error.seen()) continue;
    try {
      double sum = 0.0;
      std::size_t n = 0;
      for (float v : measured_depths(depthmaps[std::size_t(m)], superpixels))
        if (v > 0.0f) {
          sum += double(v);
          ++n;
        }
      sums[std::size_t(m)] = sum;
      counts[std::size_t(m)] = n;
    } catch (...) {
      error.keep_current();
    }
  }
  error.rethrow();
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
