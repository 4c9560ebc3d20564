#include "dasp/surface.h"

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>

namespace dasp {
namespace internal {

namespace {

constexpr int kMinPoints = 4;
constexpr float kReach = 3.0f;       // in superpixel radii: the start set of the plane fit
constexpr double kDeviations = 3.0;  // robust standard deviations a surface point may stray
constexpr double kMadToSigma = 1.4826;

double median(std::vector<double>& v) {
  const auto mid = v.begin() + long(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
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

  // Plane of the points near the start: mean and smallest principal direction, in double.
  const double reach2 = double(kReach) * radius * kReach * radius;
  auto near = [&](const Point3& p) {
    const double dx = p.x - start.x, dy = p.y - start.y, dz = p.z - start.z;
    return dx * dx + dy * dy + dz * dz <= reach2;
  };
  Eigen::Vector3d c = Eigen::Vector3d::Zero();
  int m = 0;
  for (int j = 0; j < n; ++j) {
    const Point3& p = points[ids[j]];
    if (!near(p)) continue;
    c += Eigen::Vector3d(p.x, p.y, p.z);
    ++m;
  }
  if (m < kMinPoints) return n;
  c /= m;
  Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
  for (int j = 0; j < n; ++j) {
    const Point3& p = points[ids[j]];
    if (!near(p)) continue;
    const Eigen::Vector3d d = Eigen::Vector3d(p.x, p.y, p.z) - c;
    cov += d * d.transpose();
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig(cov);
  const Eigen::Vector3d normal = eig.eigenvectors().col(0);
  auto residual = [&](const Point3& p) {
    return std::fabs(normal.dot(Eigen::Vector3d(p.x, p.y, p.z) - c));
  };

  std::vector<double> r;
  r.reserve(m);
  for (int j = 0; j < n; ++j)
    if (near(points[ids[j]])) r.push_back(residual(points[ids[j]]));
  const double limit = std::max(kDeviations * kMadToSigma * median(r), double(floor));
  int kept = 0;
  for (int j = 0; j < n; ++j)
    if (residual(points[ids[j]]) <= limit) ids[kept++] = ids[j];
  return kept;
}

}  // namespace internal
}  // namespace dasp
