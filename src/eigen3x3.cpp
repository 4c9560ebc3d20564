#include "eigen3x3.h"

#include <cfloat>
#include <cmath>

namespace {
inline double sqr(double x) { return x * x; }
}  // namespace

int dsyevc3(double A[3][3], double w[3]) {
  const double a = A[0][0], b = A[1][1], c = A[2][2];
  const double d = A[0][1], e = A[1][2], f = A[0][2];
  const double de = d * e;
  const double dd = sqr(d), ee = sqr(e), ff = sqr(f);

  // Coefficients of the characteristic polynomial x^3 - m x^2 + c1 x + c0.
  const double m = a + b + c;
  const double c1 = (a * b + a * c + b * c) - (dd + ee + ff);
  const double c0 = c * dd + a * ee + b * ff - a * b * c - 2.0 * f * de;

  const double p = sqr(m) - 3.0 * c1;
  const double q = m * (p - 1.5 * c1) - 13.5 * c0;
  const double sqrt_p = std::sqrt(std::fabs(p));

  double phi = 27.0 * (0.25 * sqr(c1) * (p - c1) + c0 * (q + 6.75 * c0));
  phi = (1.0 / 3.0) * std::atan2(std::sqrt(std::fabs(phi)), q);

  const double cs = sqrt_p * std::cos(phi);
  const double sn = 0.5773502691896258 * sqrt_p * std::sin(phi);

  w[1] = (1.0 / 3.0) * (m - cs);
  w[2] = w[1] + sn;
  w[0] = w[1] + cs;
  w[1] -= sn;
  return 0;
}

namespace {

// Writes column k of Q from the cross product prepared in it, or from a fallback when the two
// columns it came from are (nearly) zero or (nearly) parallel.
void finish_column(double A[3][3], double Q[3][3], int k, double sa, double sb, double thresh) {
  const double norm = sqr(Q[0][k]) + sqr(Q[1][k]) + sqr(Q[2][k]);
  const double na = sa + sqr(A[0][0]);
  const double nb = sb + sqr(A[1][1]);
  const double error = na * nb;
  if (na <= thresh) {
    Q[0][k] = 1.0;
    Q[1][k] = 0.0;
    Q[2][k] = 0.0;
  } else if (nb <= thresh) {
    Q[0][k] = 0.0;
    Q[1][k] = 1.0;
    Q[2][k] = 0.0;
  } else if (norm < sqr(64.0 * DBL_EPSILON) * error) {
    double t = sqr(A[0][1]);
    double g = -A[0][0] / A[0][1];
    if (sqr(A[1][1]) > t) {
      t = sqr(A[1][1]);
      g = -A[0][1] / A[1][1];
    }
    if (sqr(A[1][2]) > t) g = -A[0][2] / A[1][2];
    const double s = 1.0 / std::sqrt(1.0 + sqr(g));
    Q[0][k] = s;
    Q[1][k] = g * s;
    Q[2][k] = 0.0;
  } else {
    const double s = std::sqrt(1.0 / norm);
    for (int j = 0; j < 3; ++j) Q[j][k] *= s;
  }
}

}  // namespace

int dsyevv3(double A[3][3], double Q[3][3], double w[3]) {
  dsyevc3(A, w);
  const double wmax = std::fmax(std::fabs(w[0]), std::fmax(std::fabs(w[1]), std::fabs(w[2])));
  const double thresh = sqr(8.0 * DBL_EPSILON * wmax);

  const double sa = sqr(A[0][1]) + sqr(A[0][2]);
  const double sb = sqr(A[0][1]) + sqr(A[1][2]);
  Q[0][1] = A[0][1] * A[1][2] - A[0][2] * A[1][1];
  Q[1][1] = A[0][2] * A[0][1] - A[1][2] * A[0][0];
  Q[2][1] = sqr(A[0][1]);

  // First eigenvector: (A - w[0] I) e1 x (A - w[0] I) e2.
  A[0][0] -= w[0];
  A[1][1] -= w[0];
  Q[0][0] = Q[0][1] + A[0][2] * w[0];
  Q[1][0] = Q[1][1] + A[1][2] * w[0];
  Q[2][0] = A[0][0] * A[1][1] - Q[2][1];
  finish_column(A, Q, 0, sa, sb, thresh);

  // Second eigenvector.
  const double t = w[0] - w[1];
  if (std::fabs(t) > 8.0 * DBL_EPSILON * wmax) {
    A[0][0] += t;
    A[1][1] += t;
    Q[0][1] = Q[0][1] + A[0][2] * w[1];
    Q[1][1] = Q[1][1] + A[1][2] * w[1];
    Q[2][1] = A[0][0] * A[1][1] - Q[2][1];
    finish_column(A, Q, 1, sa, sb, thresh);
  } else {
    // w[0] = w[1]: any vector orthogonal to column 0 and to a non-zero column of A - w[1] I.
    A[1][0] = A[0][1];
    A[2][0] = A[0][2];
    A[2][1] = A[1][2];
    A[0][0] += w[0];
    A[1][1] += w[0];
    bool found = false;
    for (int i = 0; i < 3 && !found; ++i) {
      A[i][i] -= w[1];
      const double n = sqr(A[0][i]) + sqr(A[1][i]) + sqr(A[2][i]);
      if (n > thresh) {
        Q[0][1] = Q[1][0] * A[2][i] - Q[2][0] * A[1][i];
        Q[1][1] = Q[2][0] * A[0][i] - Q[0][0] * A[2][i];
        Q[2][1] = Q[0][0] * A[1][i] - Q[1][0] * A[0][i];
        const double norm = sqr(Q[0][1]) + sqr(Q[1][1]) + sqr(Q[2][1]);
        if (norm > sqr(256.0 * DBL_EPSILON) * n) {
          const double s = std::sqrt(1.0 / norm);
          for (int j = 0; j < 3; ++j) Q[j][1] *= s;
          found = true;
        }
      }
    }
    if (!found) {
      for (int j = 0; j < 3; ++j) {
        if (Q[j][0] != 0.0) {
          const int j1 = (j + 1) % 3, j2 = (j + 2) % 3;
          const double s = 1.0 / std::sqrt(sqr(Q[j][0]) + sqr(Q[j1][0]));
          Q[j][1] = Q[j1][0] * s;
          Q[j1][1] = -Q[j][0] * s;
          Q[j2][1] = 0.0;
          break;
        }
      }
    }
  }

  // Third eigenvector: column 0 x column 1.
  Q[0][2] = Q[1][0] * Q[2][1] - Q[2][0] * Q[1][1];
  Q[1][2] = Q[2][0] * Q[0][1] - Q[0][0] * Q[2][1];
  Q[2][2] = Q[0][0] * Q[1][1] - Q[1][0] * Q[0][1];
  return 0;
}
