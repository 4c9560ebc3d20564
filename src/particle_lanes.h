// Four single-precision values side by side in the lanes of a vector, and the few operations the
// neighbourhood passes need on them. Every lane does exactly the arithmetic of the scalar code
// (IEEE single-precision operations, element by element), so a lane's results come out bit for
// bit the same as the scalar ones; the lanes only share the cost of the loop around them.
#pragma once

#include <cuda_runtime.h>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <cmath>

namespace pf_lanes {
typedef float v4 __attribute__((vector_size(16)));
typedef int v4i __attribute__((vector_size(16)));
inline v4 splat(float a) { return v4{a, a, a, a}; }
inline v4i splat_int(int a) { return v4i{a, a, a, a}; }
inline v4 vsqrt(v4 a) {
#if defined(__SSE__)
  return reinterpret_cast<v4>(_mm_sqrt_ps(reinterpret_cast<__m128>(a)));
#else
  return v4{std::sqrt(a[0]), std::sqrt(a[1]), std::sqrt(a[2]), std::sqrt(a[3])};
#endif
}
inline v4 vabs(v4 a) {
  return reinterpret_cast<v4>(reinterpret_cast<v4i>(a) & splat_int(0x7FFFFFFF));
}
inline v4 select(v4i mask, v4 a, v4 b) {
  return reinterpret_cast<v4>((reinterpret_cast<v4i>(a) & mask) |
                              (reinterpret_cast<v4i>(b) & ~mask));
}
inline bool any(v4i mask) { return (mask[0] | mask[1] | mask[2] | mask[3]) != 0; }

// Three-component vectors, one per lane.
struct v3 {
  v4 x, y, z;
};
inline v3 pack(const float3 (&a)[4]) {
  return {v4{a[0].x, a[1].x, a[2].x, a[3].x}, v4{a[0].y, a[1].y, a[2].y, a[3].y},
          v4{a[0].z, a[1].z, a[2].z, a[3].z}};
}
inline v3 splat3(float3 a) { return {splat(a.x), splat(a.y), splat(a.z)}; }
inline v3 sub(v3 a, v3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline v4 dot(v3 a, v3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline v3 scale(v3 a, v4 s) { return {a.x * s, a.y * s, a.z * s}; }
}  // namespace pf_lanes
