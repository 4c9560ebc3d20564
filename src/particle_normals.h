// The normals pass's functor: a point's normal from the scatter of its neighbours' offsets.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "particle_cells.h"
#include "particle_lanes.h"
#include "particle_math.h"
#include "particles.h"

// Smallest-eigenvalue eigenvector of the symmetric scatter matrix C (row-major), turned towards
// the camera; the record's stored normal when the decomposition gives no finite vector.
float3 normal_from_scatter(const float C[9], float3 direction, float3 stored_normal);

// New normal of every point from the kernel-weighted scatter of its neighbours' offsets. F marks
// the first-iteration instance and computes the same; W weights each neighbour by the normals'
// cosine.
template <bool F, bool W>
struct ComputeNormalsFunctor {
  typedef float3 Out_t;
  struct Local {
    explicit Local(const CellPassInputs& in) : kernel(in.radius) {}
    Poly6 kernel;
    float C[9];
    int count = 0;
    float3 xp, np;
  };
  static void start(Local& l, const CellPassInputs& in, int p, float3 xp) {
    for (float& v : l.C) v = 0.f;
    l.count = 0;
    l.xp = xp;
    l.np = in.normals[p];
  }
  static void pair(Local& l, const CellPassInputs& in, int p, int q, float3 xq) {
    ++l.count;
    if (q == p) return;
    const float c = pf::dot(l.np, in.normals[q]);
    if (c < 0.f) return;
    const float3 d = pf::sub(xq, l.xp);
    const float d2 = pf::dot(d, d);
    if (pf::surely_beyond(d2, in.radius)) return;  // weight 0
    float w = poly6_kernel(std::sqrt(d2), in.radius);
    if (W) w *= c;
    const float dv[3] = {d.x, d.y, d.z};
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) l.C[j * 3 + k] += w * dv[j] * dv[k];
  }
  // N points of a cell at once (pf_lanes), as ComputeDensityFunctor::lanes.
  struct Lanes {
    explicit Lanes(const CellPassInputs& in) : l(in) {}
    Local l;
  };
  template <int N>
  static PF_LANES_INLINE void lanes(Lanes& L, const CellPassInputs& in, const int (&p)[N],
                                    const float3 (&xp)[N], const NeighbourBlock& b,
                                    const int* list, int count, int delivered, float far_bound,
                                    Out_t (&out)[N]) {
    using namespace pf_lanes;
    typedef typename width<N>::vf V;
    typedef mask_of<V> M;
    float3 np[N];
    for (int j = 0; j < N; ++j) np[j] = in.normals[p[j]];
    const v3<V> XP = pack<V>(xp), NP = pack<V>(np);
    const M P = load_int<V>(p);
    const V bound = splat<V>(far_bound), h = splat<V>(L.l.kernel.h),
            h2 = splat<V>(L.l.kernel.h2), factor = splat<V>(L.l.kernel.factor),
            zero = splat<V>(0.f);
    V C[9];
    for (V& v : C) v = zero;
    for (int k = 0; k < count; ++k) {
      const int i = list[k];
      const v3<V> NQ = splat3<V>(b.normal(i));
      const v3<V> d = sub(splat3<V>(b.position(i)), XP);
      const V d2 = dot(d, d);
      const V c = dot(NP, NQ);
      // The lanes for which the scalar step gets past its early returns.
      const M ok = mask(~(d2 > bound)) & mask(splat_int<V>(b.q[i]) != P) & mask(~(c < zero));
      if (!any(ok)) continue;
      const V r = vsqrt(d2);
      const V a = h2 - r * r;
      V w = select(vabs(r) > h, zero, factor * (a * a * a));
      if (W) w *= c;
      const V dv[3] = {d.x, d.y, d.z};
      for (int j = 0; j < 3; ++j)
        for (int k2 = 0; k2 < 3; ++k2)
          C[j * 3 + k2] = select(ok, C[j * 3 + k2] + w * dv[j] * dv[k2], C[j * 3 + k2]);
    }
    clean_upper<N>();
    for (int j = 0; j < N; ++j) {
      start(L.l, in, p[j], xp[j]);
      L.l.count += delivered;
      for (int e = 0; e < 9; ++e) L.l.C[e] = C[e][j];
      out[j] = finish(L.l, in, p[j]);
    }
  }
  static Out_t finish(Local& l, const CellPassInputs& in, int p) {
    if (l.count < 8) return in.normals[p];
    return normal_from_scatter(l.C, in.particles[p].direction, in.particles[p].normal);
  }
};
