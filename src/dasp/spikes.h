// Stray readings of depth images: spikes, single readings that no surface around them confirms,
// and far clusters, small groups of readings that lie behind everything around them. Shared by
// the superpixels and by the depth range of a run, so that both count the same pixels as no depth.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <type_traits>
#include <vector>

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

// Which pixels of a width x height depth image, spikes already counted as no depth, lie in far
// clusters (1 in the returned mask, index y * width + x). Pixels are linked as the spike rule
// confirms a depth: within two pixels, 3 % of the nearer depth per pixel apart. A linked group
// of fewer than `superpixel_pixels` pixels is a far cluster when
//   - pixels with depth lie within two pixels of it, and none of them is farther than the pixel
//     of the group it lies beside (the group is seen through the surfaces around it), or
//   - none lie around it, and all of it lies beyond the map's surfaces (the groups of at least
//     `superpixel_pixels` pixels; a map without one has no far clusters).
// Such a group is too small to make a superpixel of its own; as depth it would stretch the seed
// density (a pixel weighs with its depth squared) and the depth range. Nearer small groups and
// groups beside farther depth stay. `at(x, y)` gives a depth as int or float; 0 is no depth.
template <class At>
std::vector<char> FarClusters(const At& at, int width, int height, double superpixel_pixels) {
  constexpr int kReach = 2;
  const std::size_t n = std::size_t(std::max(width, 0)) * std::size_t(std::max(height, 0));
  std::vector<char> far(n, 0);
  if (n == 0 || !(superpixel_pixels > 1.0)) return far;
  using Depth = std::decay_t<decltype(at(0, 0))>;
  auto linked = [](Depth a, Depth b, int steps) {
    return std::abs(a - b) * 100 <= 3 * std::min(a, b) * steps;
  };
  // Neighbours of pixel i within reach; f(j, xx, yy, steps) for each.
  auto around = [&](std::size_t i, auto&& f) {
    const int x = int(i % std::size_t(width)), y = int(i / std::size_t(width));
    for (int yy = std::max(0, y - kReach); yy <= std::min(height - 1, y + kReach); ++yy)
      for (int xx = std::max(0, x - kReach); xx <= std::min(width - 1, x + kReach); ++xx)
        if (xx != x || yy != y)
          f(std::size_t(yy) * std::size_t(width) + std::size_t(xx), xx, yy,
            std::max(std::abs(xx - x), std::abs(yy - y)));
  };
  // Groups in scan order of their first pixel; group g holds order[start[g] .. start[g + 1]).
  std::vector<int> group(n, -1);
  std::vector<std::size_t> order, start;
  order.reserve(n);
  for (std::size_t s = 0; s < n; ++s) {
    if (group[s] >= 0 || at(int(s % std::size_t(width)), int(s / std::size_t(width))) == 0) continue;
    const int g = int(start.size());
    start.push_back(order.size());
    group[s] = g;
    order.push_back(s);
    for (std::size_t q = start.back(); q < order.size(); ++q) {
      const std::size_t i = order[q];
      const Depth v = at(int(i % std::size_t(width)), int(i / std::size_t(width)));
      around(i, [&](std::size_t j, int xx, int yy, int steps) {
        const Depth w = at(xx, yy);
        if (group[j] < 0 && w != 0 && linked(v, w, steps)) group[j] = g, order.push_back(j);
      });
    }
  }
  start.push_back(order.size());
  const std::size_t groups = start.size() - 1;
  auto small = [&](std::size_t g) { return double(start[g + 1] - start[g]) < superpixel_pixels; };

  bool any_surface = false;
  Depth surface_far{};  // the farthest depth of the map's surfaces
  for (std::size_t g = 0; g < groups; ++g) {
    if (small(g)) continue;
    for (std::size_t q = start[g]; q < start[g + 1]; ++q) {
      const Depth v = at(int(order[q] % std::size_t(width)), int(order[q] / std::size_t(width)));
      if (!any_surface || v > surface_far) surface_far = v;
      any_surface = true;
    }
  }
  for (std::size_t g = 0; g < groups; ++g) {
    if (!small(g)) continue;
    bool seen = false, farther = false, beyond = true;
    for (std::size_t q = start[g]; q < start[g + 1] && !farther; ++q) {
      const std::size_t i = order[q];
      const Depth v = at(int(i % std::size_t(width)), int(i / std::size_t(width)));
      beyond = beyond && any_surface && v > surface_far;
      around(i, [&](std::size_t j, int xx, int yy, int) {
        if (group[j] == int(g)) return;
        const Depth w = at(xx, yy);
        if (w == 0) return;
        seen = true;
        farther = farther || w > v;
      });
    }
    if (seen ? !farther : beyond)
      for (std::size_t q = start[g]; q < start[g + 1]; ++q) far[order[q]] = 1;
  }
  return far;
}

}  // namespace dasp
