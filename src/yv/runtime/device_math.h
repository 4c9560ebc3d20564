// exp and pow of floats with the same bits on both back ends. CUDA's expf and powf differ from
// glibc's in the last bits, so code whose results must agree between back ends calls these
// instead. Both work in double with correctly rounded operations only (no fusion, no library
// call) and round once to float at the end; the result is within 1 ulp of the exact value.
#pragma once

#include <cstring>
#include <limits>

#include "yv/runtime/hd.h"

namespace yv {
namespace rt {
namespace math_detail {

#if defined(__CUDA_ARCH__)
__device__ __forceinline__ double dmul(double a, double b) { return __dmul_rn(a, b); }
__device__ __forceinline__ double dadd(double a, double b) { return __dadd_rn(a, b); }
__device__ __forceinline__ double dsub(double a, double b) { return __dsub_rn(a, b); }
__device__ __forceinline__ double ddiv(double a, double b) { return __ddiv_rn(a, b); }
__device__ __forceinline__ unsigned long long bitsOf(double v) {
  return static_cast<unsigned long long>(__double_as_longlong(v));
}
__device__ __forceinline__ double fromBits(unsigned long long b) {
  return __longlong_as_double(static_cast<long long>(b));
}
__device__ __forceinline__ unsigned bitsOf(float v) { return __float_as_uint(v); }
#else
// Host code is built without contraction, so the plain operators round once.
inline double dmul(double a, double b) { return a * b; }
inline double dadd(double a, double b) { return a + b; }
inline double dsub(double a, double b) { return a - b; }
inline double ddiv(double a, double b) { return a / b; }
inline unsigned long long bitsOf(double v) {
  unsigned long long b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}
inline double fromBits(unsigned long long b) {
  double v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}
inline unsigned bitsOf(float v) {
  unsigned b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}
#endif

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kLn2Hi = 6.93147180369123816490e-01;  // ln 2 with 21 significant bits
constexpr double kLn2Lo = 1.90821492927058770002e-10;  // ln 2 - kLn2Hi

// Rounds once to float; from FLT_MAX plus half an ulp on the result is infinite.
YV_HD_INLINE float toFloat(double v) {
  if (v >= 3.4028235677973366e38) return kInf;
  return static_cast<float>(v);
}

// e^t for -104 <= t <= 89 with a relative error below 1e-15: t = k ln 2 + r with |r| <= 0.35,
// e^r by its Taylor series to r^13 (the rest is below 1e-17), 2^k put into the exponent.
YV_HD_INLINE double expReduced(double t) {
  const double kf = dmul(t, 1.4426950408889634);
  const int k = static_cast<int>(kf < 0.0 ? dsub(kf, 0.5) : dadd(kf, 0.5));
  const double dk = static_cast<double>(k);
  const double r = dsub(dsub(t, dmul(dk, kLn2Hi)), dmul(dk, kLn2Lo));
  double p = 1.6059043836821613e-10;
  p = dadd(dmul(p, r), 2.08767569878681e-09);
  p = dadd(dmul(p, r), 2.505210838544172e-08);
  p = dadd(dmul(p, r), 2.755731922398589e-07);
  p = dadd(dmul(p, r), 2.7557319223985893e-06);
  p = dadd(dmul(p, r), 2.48015873015873e-05);
  p = dadd(dmul(p, r), 0.0001984126984126984);
  p = dadd(dmul(p, r), 0.001388888888888889);
  p = dadd(dmul(p, r), 0.008333333333333333);
  p = dadd(dmul(p, r), 0.041666666666666664);
  p = dadd(dmul(p, r), 0.16666666666666666);
  p = dadd(dmul(p, r), 0.5);
  p = dadd(dmul(p, r), 1.0);
  p = dadd(dmul(p, r), 1.0);
  return dmul(p, fromBits(static_cast<unsigned long long>(k + 1023) << 52));  // exact: 2^k
}

// e^t rounded to float; beyond the range the result is 0 or infinite.
YV_HD_INLINE float expToFloat(double t) {
  if (t > 89.0) return kInf;
  if (t < -104.0) return 0.f;  // below half the smallest denormal
  return toFloat(expReduced(t));
}

// ln a for a finite a > 0 (denormal floats included), absolute error below 1e-15 * (1 + |ln a|):
// a = 2^e m with m in [sqrt(1/2), sqrt(2)], ln m = 2 atanh(s) with s = (m - 1) / (m + 1),
// |s| <= 0.172, by its series to s^23.
YV_HD_INLINE double logPositive(float a) {
  const unsigned long long bits = bitsOf(static_cast<double>(a));
  int e = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
  double m = fromBits((bits & 0x000fffffffffffffull) | 0x3ff0000000000000ull);
  if (m > 1.4142135623730951) {
    m = dmul(m, 0.5);
    ++e;
  }
  const double s = ddiv(dsub(m, 1.0), dadd(m, 1.0));
  const double z = dmul(s, s);
  double q = 0.043478260869565216;
  q = dadd(dmul(q, z), 0.047619047619047616);
  q = dadd(dmul(q, z), 0.05263157894736842);
  q = dadd(dmul(q, z), 0.058823529411764705);
  q = dadd(dmul(q, z), 0.06666666666666667);
  q = dadd(dmul(q, z), 0.07692307692307693);
  q = dadd(dmul(q, z), 0.09090909090909091);
  q = dadd(dmul(q, z), 0.1111111111111111);
  q = dadd(dmul(q, z), 0.14285714285714285);
  q = dadd(dmul(q, z), 0.2);
  q = dadd(dmul(q, z), 0.3333333333333333);
  q = dadd(dmul(q, z), 1.0);
  const double de = static_cast<double>(e);
  return dadd(dmul(de, kLn2Hi), dadd(dmul(de, kLn2Lo), dmul(dmul(2.0, s), q)));
}

}  // namespace math_detail

// e^x with the special cases of expf (e^NaN = NaN, e^-inf = 0, e^inf = inf).
YV_HD_INLINE float exp_portable(float x) {
  if (x != x) return x;
  return math_detail::expToFloat(static_cast<double>(x));
}

// x^y with the special cases of powf: x^0 = 1 and 1^y = 1 (NaN included), otherwise NaN in
// gives NaN; a negative base needs an integer exponent (else NaN), and an odd one keeps its sign;
// zero and infinite bases and exponents as C prescribes.
YV_HD_INLINE float pow_portable(float x, float y) {
  using math_detail::kInf;
  if (y == 0.f || x == 1.f) return 1.f;
  if (x != x || y != y) return x + y;
  const float ay = y < 0.f ? -y : y;
  bool yInteger = true, yOdd = false;  // every float from 2^24 on, infinity included, is even
  if (ay < 16777216.f) {
    const long long k = static_cast<long long>(y);
    yInteger = static_cast<float>(k) == y;
    yOdd = yInteger && (k & 1) != 0;
  }
  const bool negative = (math_detail::bitsOf(x) >> 31) != 0;  // -0 included
  const float ax = negative ? -x : x;
  const float sign = negative && yOdd ? -1.f : 1.f;
  if (ay == kInf) {
    if (ax == 1.f) return 1.f;
    return (ax < 1.f) == (y < 0.f) ? kInf : 0.f;
  }
  if (ax == 0.f) return y > 0.f ? sign * 0.f : sign * kInf;
  if (ax == kInf) return y > 0.f ? sign * kInf : sign * 0.f;
  if (negative && !yInteger) return std::numeric_limits<float>::quiet_NaN();
  const double t =
      math_detail::dmul(static_cast<double>(y), math_detail::logPositive(ax));
  return sign * math_detail::expToFloat(t);
}

}  // namespace rt
}  // namespace yv
