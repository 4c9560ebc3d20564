// The spike rule for depth images: a stray reading that no surface around it confirms. Shared by
// the superpixels and by the depth range of a run, so that both count the same pixels as no depth.
#pragma once

#include <algorithm>
#include <cstdlib>

namespace dasp {

// Whether the depth at (x, y) of a width x height depth image is a spike: it has fewer than two
// neighbours within two pixels that lie near it in depth (3 % of the depth per pixel apart, more
// than a surface seen at 85 degrees changes). `at(x, y)` gives a depth as int or float; 0 is no
// depth, and a pixel without depth is no spike.
template <class At>
bool IsSpike(const At& at, int width, int height, int x, int y) {
  constexpr int kReach = 2, kNeeded = 2;
  const auto v = at(x, y);
  if (v == 0) return false;
  int near = 0;
  for (int yy = std::max(0, y - kReach); yy <= std::min(height - 1, y + kReach); ++yy)
    for (int xx = std::max(0, x - kReach); xx <= std::min(width - 1, x + kReach); ++xx) {
      const auto w = at(xx, yy);
      if (w == 0 || (xx == x && yy == y)) continue;
      const int steps = std::max(std::abs(xx - x), std::abs(yy - y));
      near += std::abs(w - v) * 100 <= 3 * v * steps;
      if (near >= kNeeded) return false;
    }
  return true;
}

}  // namespace dasp
