// Single-precision values side by side in the lanes of a vector, and the few operations the
// neighbourhood passes need on them. Every lane does exactly the arithmetic of the scalar code
// (IEEE single-precision operations, element by element), so a lane's results come out bit for
// bit the same as the scalar ones; the lanes only share the cost of the loop around them.
//
// The passes run 16 lanes in 512-bit registers where the machine has AVX-512, 8 in 256-bit ones
// where it has AVX2, and 4 elsewhere (see pf_detail::run_lane_route). Nothing here may let the
// compiler fuse a multiply and an add: the AVX2 route is built without FMA, and the AVX-512 one
// (whose instruction set includes FMA) with contraction turned off.
#pragma once

#include <cuda_runtime.h>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <cmath>
#include <cstring>
#include <utility>

namespace pf_lanes {
constexpr int max_lanes = 16;  // the most lanes any route runs

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

// Lane 0 of a 128-bit vector into every lane. Built so, a broadcast survives inlining into the
// AVX2 route as one instruction; a list of N copies would not (GCC splits a wide vector built
// from a scalar in a function compiled for 128 bits), and V{} + a would turn -0 into +0. In the
// AVX-512 route the 128-bit vector would go through memory (a stall per broadcast), so 16 lanes
// take the instruction itself.
template <class V, class Q, std::size_t... I>
PF_LANES_INLINE V broadcast(Q q, std::index_sequence<I...>) {
  return __builtin_shufflevector(q, q, (static_cast<int>(I) * 0)...);
}
template <class V, class T>
PF_LANES_INLINE V broadcast16(T a) {
  static_assert(sizeof(V) == 64 && sizeof(T) == 4, "one word into 16 lanes");
  V r;
  asm("vpbroadcastd %1, %0" : "=v"(r) : "vm"(a));
  return r;
}
template <class V>
PF_LANES_INLINE V splat(float a) {
  if constexpr (lanes_of<V> == 16) return broadcast16<V>(a);
  const width<4>::vf q = {a};
  return broadcast<V>(q, std::make_index_sequence<lanes_of<V>>());
}
template <class V>
PF_LANES_INLINE mask_of<V> splat_int(int a) {
  if constexpr (lanes_of<V> == 16) return broadcast16<mask_of<V>>(a);
  const width<4>::vi q = {a};
  return broadcast<mask_of<V>>(q, std::make_index_sequence<lanes_of<V>>());
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
#if defined(__SSE__)
// The low and high four lanes of eight, and eight made of two fours; in registers, not through
// memory, where a wide load of two narrow stores would stall.
template <class V>
PF_LANES_INLINE __m128 low4(V a) {
  return reinterpret_cast<__m128>(__builtin_shufflevector(a, a, 0, 1, 2, 3));
}
template <class V>
PF_LANES_INLINE __m128 high4(V a) {
  return reinterpret_cast<__m128>(__builtin_shufflevector(a, a, 4, 5, 6, 7));
}
PF_LANES_INLINE width<8>::vf join(__m128 lo, __m128 hi) {
  const width<4>::vf l = reinterpret_cast<width<4>::vf>(lo), h = reinterpret_cast<width<4>::vf>(hi);
  return __builtin_shufflevector(l, h, 0, 1, 2, 3, 4, 5, 6, 7);
}
#endif
template <class V>
PF_LANES_INLINE V vsqrt(V a) {
#if defined(__SSE__)
  // 128 bits at a time: SSE has the one vector square root that every x86-64 has.
  if constexpr (lanes_of<V> == 4) {
    return reinterpret_cast<V>(_mm_sqrt_ps(reinterpret_cast<__m128>(a)));
  } else if constexpr (lanes_of<V> == 8) {
    return join(_mm_sqrt_ps(low4(a)), _mm_sqrt_ps(high4(a)));
  } else {
    // Only the AVX-512 route has 16 lanes. Its intrinsics cannot be called from this generic
    // body (GCC checks the target before inlining it into the route), an instruction can.
    static_assert(lanes_of<V> == 16, "4, 8 or 16 lanes");
    V r;
    asm("vsqrtps %1, %0" : "=v"(r) : "v"(a));
    return r;
  }
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
template <class M>
PF_LANES_INLINE bool any(M mask) {
#if defined(__SSE__)
  if constexpr (sizeof(M) == 64) {  // the two halves' lanes folded together
    return any(__builtin_shufflevector(mask, mask, 0, 1, 2, 3, 4, 5, 6, 7) |
               __builtin_shufflevector(mask, mask, 8, 9, 10, 11, 12, 13, 14, 15));
  } else {
    const __m128 lo = low4(mask);
    if constexpr (sizeof(M) == 16)
      return _mm_movemask_ps(lo) != 0;
    else
      return _mm_movemask_ps(_mm_or_ps(lo, high4(mask))) != 0;
  }
#else
  bool r = false;
  for (int j = 0; j < static_cast<int>(sizeof(M) / 4); ++j) r |= mask[j] != 0;
  return r;
#endif
}

// Before the scalar code that a 16-lane route calls or returns to: vzeroupper, which the
// compiler places there, leaves registers 16 to 31 as they are, and while their upper bits hold
// anything every legacy SSE instruction pays for it (the scalar code is SSE). Zeroing them costs
// a few cycles; a no-op for fewer lanes.
template <int N>
PF_LANES_INLINE void clean_upper() {
  if constexpr (N == 16)
    asm volatile(
        "vpxord %%xmm16, %%xmm16, %%xmm16\n\tvpxord %%xmm17, %%xmm17, %%xmm17\n\t"
        "vpxord %%xmm18, %%xmm18, %%xmm18\n\tvpxord %%xmm19, %%xmm19, %%xmm19\n\t"
        "vpxord %%xmm20, %%xmm20, %%xmm20\n\tvpxord %%xmm21, %%xmm21, %%xmm21\n\t"
        "vpxord %%xmm22, %%xmm22, %%xmm22\n\tvpxord %%xmm23, %%xmm23, %%xmm23\n\t"
        "vpxord %%xmm24, %%xmm24, %%xmm24\n\tvpxord %%xmm25, %%xmm25, %%xmm25\n\t"
        "vpxord %%xmm26, %%xmm26, %%xmm26\n\tvpxord %%xmm27, %%xmm27, %%xmm27\n\t"
        "vpxord %%xmm28, %%xmm28, %%xmm28\n\tvpxord %%xmm29, %%xmm29, %%xmm29\n\t"
        "vpxord %%xmm30, %%xmm30, %%xmm30\n\tvpxord %%xmm31, %%xmm31, %%xmm31" ::
            : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24",
              "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

// A comparison's lanes as -1 or 0, for combining with others. In the 16-lane route GCC keeps
// comparisons as AVX-512 mask registers, and combines two of them, after inlining a generic body,
// one lane at a time; an empty asm makes it take the vector of -1 and 0 instead.
template <class M>
PF_LANES_INLINE M mask(M m) {
  if constexpr (sizeof(M) == 64) asm("" : "+v"(m));
  return m;
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
