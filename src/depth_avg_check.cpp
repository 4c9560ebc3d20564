#include "depth_avg_check.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

double mean_valid_depth(const std::vector<MapDepths>& maps, std::size_t* count) {
  double sum = 0.0;
  std::size_t n = 0;
  for (const MapDepths& m : maps) {
    sum += m.sum;
    n += m.count;
  }
  if (count != nullptr) *count = n;
  return n > 0 ? sum / double(n) : 0.0;
}

double mean_valid_depth(const std::vector<CMatrix<float>>& depthmaps, std::size_t* count,
                        int superpixels) {
  return mean_valid_depth(measure_depth_maps(depthmaps, superpixels), count);
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
