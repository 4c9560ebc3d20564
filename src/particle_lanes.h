// Single-precision values side by side in the lanes of a vector, and the few operations the
// neighbourhood passes need on them. Every lane does exactly the arithmetic of the scalar code
// (IEEE single-precision operations, element by element), so a lane's results come out bit for
// bit the same as the scalar ones; the lanes only share the cost of the loop around them.
//
// The passes run lane_count lanes. Where the machine has AVX2 the per-cell loop runs in a clone
// built for it (see pf_detail::run_lane_route), in 256-bit registers; elsewhere the same code is
// lowered to pairs of 128-bit operations. Nothing here may let the compiler fuse a multiply and an
// add: the clone is built for AVX2 alone, which has no FMA.
#pragma once

#include <cuda_runtime.h>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <cmath>
#include <cstring>
#include <utility>

namespace pf_lanes {
constexpr int lane_count = 8;

#define PF_LANES_INLINE inline __attribute__((always_inline))

// N lanes of floats and of ints.
template <int N>
struct width {
  typedef float vf __attribute__((vector_size(4 * N)));
  typedef int vi __attribute__((vector_size(4 * N)));
};
template <class V>
using mask_of = decltype(V{} < V{});
template <class V>
constexpr int lanes_of = static_cast<int>(sizeof(V) / sizeof(float));

template <class V>
PF_LANES_INLINE V splat(float a) {
  return V{} + a;
}
template <class V>
PF_LANES_INLINE mask_of<V> splat_int(int a) {
  return mask_of<V>{} + a;
}
template <class V>
PF_LANES_INLINE V load(const float* a) {
  V v;
  std::memcpy(&v, a, sizeof(V));
  return v;
}
template <class V>
PF_LANES_INLINE mask_of<V> load_int(const int* a) {
  mask_of<V> v;
  std::memcpy(&v, a, sizeof(v));
  return v;
}
template <class V>
PF_LANES_INLINE V vsqrt(V a) {
#if defined(__SSE__)
  // 128 bits at a time: SSE is the one vector square root that every x86-64 has.
  V r;
  for (int h = 0; h < lanes_of<V>; h += 4) {
    __m128 x;
    std::memcpy(&x, reinterpret_cast<const float*>(&a) + h, 16);
    x = _mm_sqrt_ps(x);
    std::memcpy(reinterpret_cast<float*>(&r) + h, &x, 16);
  }
  return r;
#else
  V r;
  for (int j = 0; j < lanes_of<V>; ++j) r[j] = std::sqrt(a[j]);
  return r;
#endif
}
template <class V>
PF_LANES_INLINE V vabs(V a) {
  return reinterpret_cast<V>(reinterpret_cast<mask_of<V>>(a) & splat_int<V>(0x7FFFFFFF));
}
template <class V>
PF_LANES_INLINE V select(mask_of<V> mask, V a, V b) {
  return reinterpret_cast<V>((reinterpret_cast<mask_of<V>>(a) & mask) |
                             (reinterpret_cast<mask_of<V>>(b) & ~mask));
}
template <int Bytes>
struct words {
  typedef long long v __attribute__((vector_size(Bytes)));
};
template <class M>
PF_LANES_INLINE bool any(M mask) {
  typedef typename words<sizeof(M)>::v wide;
  const wide w = reinterpret_cast<wide>(mask);
  long long r = w[0];
  for (int j = 1; j < static_cast<int>(sizeof(M) / 8); ++j) r |= w[j];
  return r != 0;
}

// Three-component vectors, one per lane.
template <class V>
struct v3 {
  V x, y, z;
};
template <class V, int N>
PF_LANES_INLINE v3<V> pack(const float3 (&a)[N]) {
  static_assert(N == lanes_of<V>, "one point per lane");
  v3<V> r;
  for (int j = 0; j < N; ++j) {
    r.x[j] = a[j].x;
    r.y[j] = a[j].y;
    r.z[j] = a[j].z;
  }
  return r;
}
template <class V>
PF_LANES_INLINE v3<V> splat3(float3 a) {
  return {splat<V>(a.x), splat<V>(a.y), splat<V>(a.z)};
}
template <class V>
PF_LANES_INLINE v3<V> sub(v3<V> a, v3<V> b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
template <class V>
PF_LANES_INLINE V dot(v3<V> a, v3<V> b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
template <class V>
PF_LANES_INLINE v3<V> scale(v3<V> a, V s) {
  return {a.x * s, a.y * s, a.z * s};
}

// Lane shuffles within each group of four lanes (128 bits), which every x86-64 does in one step.
constexpr int interleave_index(int e, int n, int from) {  // a[from], b[from], a[from + 1], ...
  return (e % 4 % 2 ? n : 0) + e / 4 * 4 + from + e % 4 / 2;
}
constexpr int halves_index(int e, int n, int from) {  // a[from], a[from + 1], b[from], ...
  return (e % 4 / 2 ? n : 0) + e / 4 * 4 + from + e % 2;
}
template <int From, class V, std::size_t... E>
PF_LANES_INLINE V interleave(V a, V b, std::index_sequence<E...>) {
  return __builtin_shufflevector(a, b, interleave_index(E, lanes_of<V>, From)...);
}
template <int From, class V, std::size_t... E>
PF_LANES_INLINE V halves(V a, V b, std::index_sequence<E...>) {
  return __builtin_shufflevector(a, b, halves_index(E, lanes_of<V>, From)...);
}

// Writes (a[j], b[j], c[j]) of every lane j as 16 bytes at to[j]: three words and a spare one,
// which the next triple written there overwrites. A transpose of the three vectors in four
// shuffles per pair of them, instead of one lane extraction per word.
template <class V>
PF_LANES_INLINE void store_triples(V a, V b, V c, void* const (&to)[lanes_of<V>]) {
  constexpr int N = lanes_of<V>;
  const auto e = std::make_index_sequence<N>();
  const V ab_lo = interleave<0>(a, b, e), ab_hi = interleave<2>(a, b, e);
  const V cc_lo = interleave<0>(c, c, e), cc_hi = interleave<2>(c, c, e);
  const V r[4] = {halves<0>(ab_lo, cc_lo, e), halves<2>(ab_lo, cc_lo, e),
                  halves<0>(ab_hi, cc_hi, e), halves<2>(ab_hi, cc_hi, e)};
  for (int g = 0; g < N / 4; ++g)
    for (int k = 0; k < 4; ++k)
      std::memcpy(to[4 * g + k], reinterpret_cast<const float*>(&r[k]) + 4 * g, 16);
}
}  // namespace pf_lanes
