// The float3 algebra, view frame and smoothing kernel that the particle functors share.
#pragma once

#include <cuda_runtime.h>

#include <cmath>

namespace pf {

inline float dot(float3 a, float3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline float3 sub(float3 a, float3 b) { return make_float3(a.x - b.x, a.y - b.y, a.z - b.z); }
inline float3 scale(float3 a, float s) { return make_float3(a.x * s, a.y * s, a.z * s); }
inline float length(float3 a) { return std::sqrt(dot(a, a)); }
inline float3 cross(float3 a, float3 b) {
  return make_float3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}

// Unit vector u perpendicular to the view direction v (built from the two components of v that
// are not the smallest in magnitude) and w = u x v, completing the frame. A direction along the
// z axis would give u = 0 in the last case; it takes the first one instead.
inline void view_frame(float3 v, float3& u, float3& w) {
  const float ax = std::fabs(v.x), ay = std::fabs(v.y), az = std::fabs(v.z);
  if ((ay > ax && az > ax) || (v.x == 0.f && v.y == 0.f))
    u = make_float3(0.f, -v.z, v.y);
  else if (ax > ay && az > ay)
    u = make_float3(-v.z, 0.f, v.x);
  else
    u = make_float3(-v.y, v.x, 0.f);
  u = scale(u, 1.f / length(u));
  w = cross(u, v);
}

// acos of a cosine that rounding may have pushed just outside [-1, 1].
inline float safe_acos(float c) { return std::acos(std::fmax(-1.f, std::fmin(1.f, c))); }

}  // namespace pf

// Smoothing kernel of the neighbourhood functors: 315 / (64 pi h^9) * (h^2 - r^2)^3 inside h.
inline float poly6_kernel(float r, float h) {
  if (std::fabs(r) > h) return 0.f;
  const float h2 = h * h;
  const float h8 = (h2 * h2) * (h2 * h2);
  const float a = h2 - r * r;
  return 315.f / (201.06194f * h * h8) * (a * a * a);
}

// poly6_kernel for one h with its constant factor formed once; gives the same bits.
struct Poly6 {
  explicit Poly6(float h_)
      : h(h_), h2(h_ * h_), factor(315.f / (201.06194f * h_ * ((h2 * h2) * (h2 * h2)))) {}
  float operator()(float r) const {
    if (std::fabs(r) > h) return 0.f;
    const float a = h2 - r * r;
    return factor * (a * a * a);
  }
  float h, h2, factor;
};
