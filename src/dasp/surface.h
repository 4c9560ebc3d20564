// Which pixels of a cluster belong to its surface: a robust plane through the cluster's 3-D
// points, and the points too far from it to be the same surface (depth spikes, pixels that mix
// the depths on both sides of an edge, a piece across a depth step).
#pragma once

#include <vector>

namespace dasp {
namespace internal {

struct Point3 {
  float x, y, z;
};

// Keeps, in order, the entries of `ids` whose point (points[id]) lies on the cluster's surface;
// returns how many were kept (they come first). The plane is fitted to the points within
// 3 `radius` of the point of median depth, and a point is off the surface when its distance to
// the plane exceeds 3 robust standard deviations of those points' distances, a quarter of
// `radius` and `floor`.
// Clusters of fewer than 4 points are kept whole. The result depends only on the input.
int keepSurfacePoints(const std::vector<Point3>& points, int* ids, int n, float radius, float floor);

}  // namespace internal
}  // namespace dasp
