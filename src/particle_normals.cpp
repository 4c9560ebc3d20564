#include "particle_normals.h"

#include <Eigen/Eigenvalues>

#include <cfloat>
#include <cmath>

float3 normal_from_scatter(const float C[9], float3 direction, float3 stored_normal) {
  Eigen::Matrix3f m;
  for (int j = 0; j < 3; ++j)
    for (int k = 0; k < 3; ++k) m(j, k) = C[j * 3 + k];
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3f> solver(m, Eigen::ComputeEigenvectors);
  const Eigen::Vector3f& l = solver.eigenvalues();
  int i = l(0) > l(1) ? 1 : 0;
  if (l(i) > l(2)) i = 2;
  const Eigen::Vector3f v = solver.eigenvectors().col(i);
  float3 n = make_float3(v(0), v(1), v(2));
  if (!(std::fabs(n.x) <= FLT_MAX) || !(std::fabs(n.y) <= FLT_MAX) ||
      !(std::fabs(n.z) <= FLT_MAX))
    return stored_normal;
  if (!(pf::dot(n, direction) > 0.f)) n = make_float3(-n.x, -n.y, -n.z);
  return n;
}
