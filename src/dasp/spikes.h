// Stray readings of depth images: spikes, single readings that no surface around them confirms,
// and far clusters, groups of readings far beyond the bulk of their map's readings. Shared by
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

// The depth of the bulk of the readings of a width x height depth image, spikes already counted
// as no depth: the depth that a twentieth of its readings reach or pass (the 95th percentile), or
// 0 for a map without depth. A few dozen far readings leave it where the map's surfaces are; a far
// background that covers a twentieth of the readings or more sets it itself. `at(x, y)` gives a
// depth as int or float; 0 is no depth.
template <class At>
double BulkDepth(const At& at, int width, int height) {
  using Depth = std::decay_t<decltype(at(0, 0))>;
  std::vector<Depth> depths;
  depths.reserve(std::size_t(std::max(width, 0)) * std::size_t(std::max(height, 0)));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (at(x, y) != 0) depths.push_back(at(x, y));
  if (depths.empty()) return 0.0;
  const std::size_t k = (depths.size() - 1) - (depths.size() - 1) / 20;
  std::nth_element(depths.begin(), depths.begin() + std::ptrdiff_t(k), depths.end());
  return double(depths[k]);
}

// Far clusters lie wholly beyond this many times the bulk depth. A wall seen through gaps of a
// near surface, three times as far, is no far cluster.
constexpr double kFarFactor = 4.0;
// In the seed density (a pixel weighs with its depth squared) no reading weighs more than one at
// this many times the bulk depth, four times a reading of the bulk: what stays of far readings (in
// groups that reach nearer) cannot draw most of the superpixels.
constexpr double kWeighedFactor = 2.0;

// Which pixels of a width x height depth image, spikes already counted as no depth, lie in far
// clusters (1 in the returned mask, index y * width + x): the groups of linked readings
// (LinkedGroups) that lie wholly beyond kFarFactor times `bulk` (BulkDepth; none for a bulk
// depth of 0), whatever their size. As depths they would draw the seed density and stretch the
// depth range. A group that reaches nearer stays whole (a floor running off into the distance).
// `at(x, y)` gives a depth as int or float; 0 is no depth.
template <class At>
std::vector<char> FarClusters(const At& at, int width, int height, double bulk) {
  const std::size_t W = std::size_t(std::max(width, 0));
  const std::size_t n = W * std::size_t(std::max(height, 0));
  std::vector<char> far(n, 0);
  if (!(bulk > 0.0)) return far;
  const double limit = kFarFactor * bulk;
  const auto beyond = [&](int x, int y) { return double(at(x, y)) > limit; };
  bool any = false;
  for (int y = 0; y < height && !any; ++y)
    for (int x = 0; x < width && !any; ++x) any = beyond(x, y);
  if (!any) return far;
  const std::vector<int> root = LinkedGroups(at, width, height);
  const auto group = [&](std::size_t i) { return std::size_t(root[i] >= 0 ? root[i] : int(i)); };
  std::vector<char> within(n, 0);  // per group: a pixel of it lies within the limit
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::size_t i = std::size_t(y) * W + std::size_t(x);
      if (root[i] != -1 && !beyond(x, y)) within[group(i)] = 1;
    }
  for (std::size_t i = 0; i < n; ++i) far[i] = root[i] != -1 && !within[group(i)];
  return far;
}

}  // namespace dasp
