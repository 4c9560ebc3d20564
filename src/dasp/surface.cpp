#include "dasp/surface.h"

#include <Eigen/SVD>

#include <algorithm>
#include <cmath>

namespace dasp {
namespace internal {

namespace {

constexpr int kMinPoints = 4;
constexpr float kReach = 3.0f;       // in superpixel radii: the start set of the plane fit
constexpr double kDeviations = 3.0;  // robust standard deviations a surface point may stray
constexpr double kMadToSigma = 1.4826;
constexpr int kRounds = 4;           // refits on the points found on the surface

struct Plane {
  Eigen::Vector3d centre, normal;
};

// Plane of the marked points as depth over the image plane, z = z0 + a (x - x0) + b (y - y0), fitted
// by least squares in z: a depth map's errors lie along the rays, and unlike a principal-axis fit
// a few stray depths cannot turn the plane of a small or elongated cluster on its side. Along a
// direction the points do not spread in, the depth is taken as constant.
Plane fitPlane(const std::vector<Point3>& points, const int* ids, int n, const std::vector<char>& use) {
  Eigen::Vector3d c = Eigen::Vector3d::Zero();
  int m = 0;
  for (int j = 0; j < n; ++j)
    if (use[j]) c += Eigen::Vector3d(points[ids[j]].x, points[ids[j]].y, points[ids[j]].z), ++m;
  c /= m;
  Eigen::Matrix2d a = Eigen::Matrix2d::Zero();
  Eigen::Vector2d rhs = Eigen::Vector2d::Zero();
  for (int j = 0; j < n; ++j) {
    if (!use[j]) continue;
    const Point3& p = points[ids[j]];
    const Eigen::Vector2d d(p.x - c.x(), p.y - c.y());
    a += d * d.transpose();
    rhs += d * (p.z - c.z());
  }
  Eigen::JacobiSVD<Eigen::Matrix2d> svd(a, Eigen::ComputeFullU | Eigen::ComputeFullV);
  svd.setThreshold(1e-9);
  const Eigen::Vector2d slope = svd.solve(rhs);
  return {c, Eigen::Vector3d(slope.x(), slope.y(), -1.0).normalized()};
}

}  // namespace

int keepSurfacePoints(const std::vector<Point3>& points, int* ids, int n, float radius, float floor) {
  if (n < kMinPoints) return n;
  // The point of median depth (ties by index) cannot be a spike unless most points are.
  std::vector<int> by_depth(ids, ids + n);
  const auto mid = by_depth.begin() + n / 2;
  std::nth_element(by_depth.begin(), mid, by_depth.end(), [&](int a, int b) {
    return points[a].z != points[b].z ? points[a].z < points[b].z : a < b;
  });
  const Point3 start = points[*mid];
  const double reach2 = double(kReach) * radius * kReach * radius;
  std::vector<char> on(n, 0);
  int m = 0;
  for (int j = 0; j < n; ++j) {
    const Point3& p = points[ids[j]];
    const double dx = p.x - start.x, dy = p.y - start.y, dz = p.z - start.z;
    m += on[j] = dx * dx + dy * dy + dz * dz <= reach2;
  }
  if (m < kMinPoints) return n;

  // Fit, mark the points near the plane, refit on them: a few stray points pull the first plane
  // of a small cluster, not the later ones. A quarter radius leaves in every surface that curves
  // no tighter than a sphere of twice the superpixel radius (whose rise over one radius is a
  // quarter radius).
  std::vector<double> residual(n), spread;
  for (int round = 0; round < kRounds; ++round) {
    const Plane plane = fitPlane(points, ids, n, on);
    spread.clear();
    for (int j = 0; j < n; ++j) {
      const Point3& p = points[ids[j]];
      residual[j] = std::fabs(plane.normal.dot(Eigen::Vector3d(p.x, p.y, p.z) - plane.centre));
      if (on[j]) spread.push_back(residual[j]);
    }
    const auto mid_r = spread.begin() + long(spread.size() / 2);
    std::nth_element(spread.begin(), mid_r, spread.end());
    const double limit = std::max({kDeviations * kMadToSigma * *mid_r, double(floor), 0.25 * radius});
    bool changed = false;
    m = 0;
    for (int j = 0; j < n; ++j) {
      const char keep = residual[j] <= limit;
      changed |= keep != on[j];
      m += on[j] = keep;
    }
    if (!changed || m < kMinPoints) break;
  }
  int kept = 0;
  for (int j = 0; j < n; ++j)
    if (on[j]) ids[kept++] = ids[j];
  return kept;
}

}  // namespace internal
}  // namespace dasp
