// Closed-form 3x3 symmetric eigen-decomposition against known answers and Eigen.
#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <random>

#include "eigen3x3.h"

namespace {

struct Result {
  double w[3];
  double Q[3][3];
};

Result decompose(const Eigen::Matrix3d& m) {
  double A[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) A[i][j] = m(i, j);
  Result r;
  EXPECT_EQ(dsyevv3(A, r.Q, r.w), 0);
  return r;
}

Eigen::Vector3d column(const Result& r, int k) {
  return Eigen::Vector3d(r.Q[0][k], r.Q[1][k], r.Q[2][k]);
}

// Orthonormal columns, column 2 = column 0 x column 1, and A q = w q for each column.
void checkDecomposition(const Eigen::Matrix3d& m, const Result& r, double tol,
                        double orthogonality = 1e-9) {
  const double scale = std::max(1.0, m.cwiseAbs().maxCoeff());
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(column(r, k).norm(), 1.0, std::max(1e-12, orthogonality));
    for (int l = k + 1; l < 3; ++l) EXPECT_NEAR(column(r, k).dot(column(r, l)), 0.0, orthogonality);
    EXPECT_LT((m * column(r, k) - r.w[k] * column(r, k)).norm(), tol * scale) << "column " << k;
  }
  const Eigen::Vector3d c = column(r, 0).cross(column(r, 1));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.Q[i][2], c(i));
}

}  // namespace

TEST(Eigen3x3, IdentityDiagonalAndZeroFirstColumn) {
  Result r = decompose(Eigen::Matrix3d::Identity());
  for (int k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(r.w[k], 1.0);
  const double expected[3][3] = {{1, 0, 0}, {0, -1, 0}, {0, 0, -1}};  // columns
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.Q[i][k], expected[k][i]) << i << "," << k;

  Eigen::Matrix3d d = Eigen::Vector3d(3, 1, 2).asDiagonal();
  r = decompose(d);
  EXPECT_NEAR(r.w[0], 3.0, 1e-12);
  EXPECT_NEAR(r.w[1], 1.0, 1e-12);
  EXPECT_NEAR(r.w[2], 2.0, 1e-12);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(std::fabs(r.Q[k][k]), 1.0, 1e-12);
  checkDecomposition(d, r, 1e-12);

  // The largest eigenvalue sits alone in the first row and column: that column is e1 exactly.
  Eigen::Matrix3d m;
  m << 5, 0, 0, 0, 2, 1, 0, 1, 2;
  r = decompose(m);
  EXPECT_NEAR(r.w[0], 5.0, 1e-12);
  EXPECT_EQ(r.Q[0][0], 1.0);
  EXPECT_EQ(r.Q[1][0], 0.0);
  EXPECT_EQ(r.Q[2][0], 0.0);
  checkDecomposition(m, r, 1e-12);

  // Eigenvalues alone leave A untouched.
  double A[3][3] = {{4, 1, 2}, {1, 3, 0}, {2, 0, 1}};
  double w[3];
  EXPECT_EQ(dsyevc3(A, w), 0);
  EXPECT_EQ(A[0][0], 4.0);
  EXPECT_EQ(A[1][1], 3.0);
  EXPECT_GE(w[0], w[2]);
  EXPECT_GE(w[2], w[1]);
}

TEST(Eigen3x3, RandomMatricesAgainstEigen) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(-10, 10);
  for (int trial = 0; trial < 2000; ++trial) {
    Eigen::Matrix3d m;
    for (int i = 0; i < 3; ++i)
      for (int j = i; j < 3; ++j) m(i, j) = m(j, i) = u(rng);
    const Result r = decompose(m);
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(m);
    const Eigen::Vector3d ref = solver.eigenvalues();  // ascending
    EXPECT_NEAR(r.w[1], ref(0), 1e-9);
    EXPECT_NEAR(r.w[2], ref(1), 1e-9);
    EXPECT_NEAR(r.w[0], ref(2), 1e-9);
    checkDecomposition(m, r, 1e-7);
  }
}

TEST(Eigen3x3, NearDegenerateMatrices) {
  // A pair of eigenvalues closer than the scale by up to ten orders of magnitude, the third well
  // apart: the eigenvalues stay accurate, the lone eigenvector exact, and the pair's vectors
  // still span their plane. (Closer pairs are beyond what the closed form resolves.)
  std::mt19937 rng(23);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int trial = 0; trial < 1000; ++trial) {
    const Eigen::Matrix3d rot =
        Eigen::Quaterniond(u(rng), u(rng), u(rng), u(rng)).normalized().toRotationMatrix();
    const double a = 3 * u(rng);
    const double b = a + (u(rng) > 0 ? 1 : -1) * (1 + 2 * std::fabs(u(rng)));
    const double tiny = std::pow(10.0, -2 - 2 * (trial % 5));
    Eigen::Matrix3d m = rot * Eigen::Vector3d(a, a + tiny, b).asDiagonal() * rot.transpose();
    m = 0.5 * (m + m.transpose());
    const Result r = decompose(m);
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(m);
    const Eigen::Vector3d ref = solver.eigenvalues();
    EXPECT_NEAR(r.w[1], ref(0), 1e-5);
    EXPECT_NEAR(r.w[2], ref(1), 1e-5);
    EXPECT_NEAR(r.w[0], ref(2), 1e-5);
    const int lone = b > a ? 0 : 1;  // the largest or the smallest
    EXPECT_NEAR(std::fabs(column(r, lone).dot(rot.col(2))), 1.0, 1e-12);
    checkDecomposition(m, r, 1e-4, 1e-4);
  }

  // All three equal up to a tiny perturbation: the degenerate branch keeps the columns
  // orthonormal.
  for (int trial = 0; trial < 300; ++trial) {
    const double tiny = std::pow(10.0, -10 - trial % 6);
    Eigen::Matrix3d n = 2.0 * Eigen::Matrix3d::Identity();
    n(0, 1) = n(1, 0) = tiny * u(rng);
    n(1, 2) = n(2, 1) = tiny * u(rng);
    n(0, 2) = n(2, 0) = tiny * u(rng);
    const Result r = decompose(n);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(r.w[k], 2.0, 1e-9);
    checkDecomposition(n, r, 1e-9, 1e-12);
  }

  // Exactly repeated eigenvalues, rank one and zero.
  Eigen::Matrix3d d = Eigen::Vector3d(2, 5, 2).asDiagonal();
  Result r = decompose(d);
  EXPECT_NEAR(r.w[0], 5.0, 1e-12);
  checkDecomposition(d, r, 1e-12);
  Eigen::Vector3d v(1, 2, 3);
  const Eigen::Matrix3d rank1 = v * v.transpose();
  r = decompose(rank1);
  EXPECT_NEAR(r.w[0], 14.0, 1e-12);
  checkDecomposition(rank1, r, 1e-10);
  r = decompose(Eigen::Matrix3d::Zero());
  checkDecomposition(Eigen::Matrix3d::Zero(), r, 1e-12);
}
