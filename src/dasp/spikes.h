// Stray readings of depth images: spikes, single readings that no surface around them confirms,
// and far clusters, small groups of readings far beyond all the surfaces of their map. Shared by
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

// The groups of linked readings of a width x height depth image, index y * width + x: pixels are
// linked as the spike rule confirms a depth, within two pixels and 3 % of the nearer depth per
// pixel apart. A pixel without depth holds -1; a group's first pixel (in scan order) holds -1 -
// (the group's size); every other pixel of the group holds the index of that first pixel.
// `at(x, y)` gives a depth as int or float; 0 is no depth.
template <class At>
std::vector<int> LinkedGroups(const At& at, int width, int height) {
  constexpr int kReach = 2;
  const std::size_t W = std::size_t(std::max(width, 0));
  const std::size_t n = W * std::size_t(std::max(height, 0));
  using Depth = std::decay_t<decltype(at(0, 0))>;
  const auto linked = [](Depth a, Depth b, int steps) {
    return std::abs(a - b) * 100 <= 3 * std::min(a, b) * steps;
  };
  // Union-find over the neighbours earlier in scan order; a parent is always an earlier pixel, so
  // the root is the group's first pixel.
  std::vector<int> root(n, -1);
  const auto find = [&](int i) {
    while (root[std::size_t(i)] != i)
      i = root[std::size_t(i)] = root[std::size_t(root[std::size_t(i)])];
    return i;
  };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const Depth v = at(x, y);
      if (v == 0) continue;
      const int i = int(std::size_t(y) * W + std::size_t(x));
      int r = root[std::size_t(i)] = i;
      for (int yy = std::max(0, y - kReach); yy <= y; ++yy)
        for (int xx = std::max(0, x - kReach); xx <= std::min(width - 1, x + kReach); ++xx) {
          if (yy == y && xx >= x) break;
          const int j = int(std::size_t(yy) * W + std::size_t(xx));
          if (root[std::size_t(j)] == r) continue;  // joined already (and has depth)
          const Depth w = at(xx, yy);
          if (w == 0 || !linked(v, w, std::max(std::abs(xx - x), y - yy))) continue;
          const int s = find(j);
          if (s == r) continue;
          root[std::size_t(std::max(r, s))] = std::min(r, s);
          r = std::min(r, s);
        }
    }
  // Then every pixel points at its root, and a root holds -1 - (its group's size).
  for (std::size_t i = 0; i < n; ++i) {
    if (root[i] < 0) continue;
    if (root[i] == int(i)) {
      root[i] = -2;
      continue;
    }
    int r = root[i];
    while (root[std::size_t(r)] >= 0) r = root[std::size_t(r)];
    root[i] = r;
    --root[std::size_t(r)];
  }
  return root;
}

// Which pixels of a width x height depth image, spikes already counted as no depth, lie in far
// clusters (1 in the returned mask, index y * width + x), when `superpixels` superpixels cut the
// image (none with a count of 0 or less). The groups of linked readings (LinkedGroups) of at least
// a superpixel's share of the pixels are the map's surfaces; a smaller group is a far cluster
// when all of it lies beyond sqrt(2) times the farthest depth of the surfaces. Such a group is too
// small to make a superpixel of its own; as depth it would draw the seed density (a pixel weighs
// with its depth squared) and stretch the depth range. Nearer small groups stay (a sliver of a
// far wall, seen past an edge, that is no part of a surface), and a map without a surface has no
// far clusters. `at(x, y)` gives a depth as int or float; 0 is no depth.
template <class At>
std::vector<char> FarClusters(const At& at, int width, int height, int superpixels) {
  const std::size_t W = std::size_t(std::max(width, 0));
  const std::size_t n = W * std::size_t(std::max(height, 0));
  std::vector<char> far(n, 0);
  if (n == 0 || superpixels <= 0) return far;
  const double superpixel_pixels = double(n) / std::min<double>(superpixels, double(n));
  if (!(superpixel_pixels > 1.0)) return far;
  const std::vector<int> root = LinkedGroups(at, width, height);
  const auto group = [&](std::size_t i) { return root[i] >= 0 ? root[i] : int(i); };
  const auto small = [&](std::size_t i) {
    return double(-1 - root[std::size_t(group(i))]) < superpixel_pixels;
  };

  using Depth = std::decay_t<decltype(at(0, 0))>;
  bool any_surface = false;
  Depth surface_far{};  // the farthest depth of the map's surfaces
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::size_t i = std::size_t(y) * W + std::size_t(x);
      if (root[i] == -1 || small(i)) continue;
      if (!any_surface || at(x, y) > surface_far) surface_far = at(x, y);
      any_surface = true;
    }
  if (!any_surface) return far;
  // Up to sqrt(2) times the farthest surface's depth a pixel weighs at most twice as much as that
  // surface's pixels in the seed density.
  const double limit2 = 2.0 * double(surface_far) * double(surface_far);
  std::vector<char> within(n, 0);  // per group: a pixel of it lies within that limit
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::size_t i = std::size_t(y) * W + std::size_t(x);
      if (root[i] != -1 && small(i) && !(double(at(x, y)) * double(at(x, y)) > limit2))
        within[std::size_t(group(i))] = 1;
    }
  for (std::size_t i = 0; i < n; ++i)
    far[i] = root[i] != -1 && small(i) && !within[std::size_t(group(i))];
  return far;
}

}  // namespace dasp
