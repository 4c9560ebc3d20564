// The position pass's functor: a point's new offset, the weighted median of its candidates.
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
#include "weighted_median.h"

// New offset of every point: the weighted median of the offsets at which its neighbours' and
// its own tangent planes meet, and of the measured position, blended with the old offset by
// omega.
template <bool W>
struct UpdateParticlePosFunctor {
  typedef float Out_t;
  typedef ParticleOffsetCandidate Minimum;
  inline static float omega = 1.0f;
  struct Local {
    explicit Local(const CellPassInputs& in) : kernel(in.radius) {
      records.reserve(4 * static_cast<size_t>(std::max(in.max_cell_length, 0)));
    }
    Poly6 kernel;
    std::vector<Minimum> records;
    WeightedMedianScratch median;  // the weighted median's buffers
    float3 xp{}, np{}, D{};
    float t_p = 0.f, a_p = 0.f, nD = 0.f;
  };
  static void start(Local& l, const CellPassInputs& in, int p, float3 xp) {
    l.records.clear();
    const Particle& pp = in.particles[p];
    l.xp = xp;
    l.np = in.normals[p];
    l.D = pp.direction;
    l.t_p = in.offsets[p];
    l.a_p = in.density[p];
    l.nD = pf::dot(l.np, l.D);
  }
  static void pair(Local& l, const CellPassInputs& in, int p, int q, float3 xq) {
    if (q == p) return;
    const float3 d = pf::sub(xq, l.xp);
    const float d2 = pf::dot(d, d);
    if (pf::surely_beyond(d2, in.radius)) return;
    const float r = std::sqrt(d2);
    if (r > in.radius || r < 1e-6f) return;
    const float3 nq = in.normals[q];
    const float K = poly6_kernel(r, in.radius);
    const float c = pf::dot(l.np, nq);
    const float f = W ? std::fabs(c) * K : K;
    const float3 dhat = pf::scale(d, 1.f / r);
    const float nqD = pf::dot(nq, l.D);
    float w1 = (std::fabs(pf::dot(l.np, dhat)) * (-f)) * l.nD;
    float w2 = (std::fabs(pf::dot(nq, dhat)) * f) * nqD;
    const float t1 = l.t_p + pf::dot(l.np, d) / l.nD;
    const float t2 = l.t_p + pf::dot(nq, d) / nqD;
    int kind1 = 3, kind2 = 3;
    if (c < 0.f) {
      w1 *= in.beta;
      w2 *= in.beta;
      kind1 = w1 > 0.f ? 1 : 2;
      kind2 = w2 > 0.f ? 1 : 2;
    }
    if (std::fabs(t1 - l.t_p) < in.radius) l.records.push_back({t1, std::fabs(w1) / l.a_p, kind1});
    if (std::fabs(t2 - l.t_p) < in.radius)
      l.records.push_back({t2, std::fabs(w2) / in.density[q], kind2});
  }
  // N points of a cell at once (pf_lanes), as ComputeDensityFunctor::lanes; each lane writes
  // its candidates in the scalar order into a buffer of its own. Every candidate is written and
  // kept only if taken, so that no branch waits on the lanes' tests.
  struct Lanes : LaneLocals<Local> {
    explicit Lanes(const CellPassInputs& in) : LaneLocals<Local>(in) {}
    std::vector<Minimum> buffer[pf_lanes::max_lanes];
    WeightedMedianScratch median;  // for every lane's weighted median, one after the other
  };
  // Room in each lane's buffer for two candidates per listed neighbour and the data record; a
  // candidate is stored with one spare word after it (pf_lanes::store_triples), which this room
  // also covers.
  template <int N>
  static PF_LANES_INLINE void make_room(Lanes& L, int count, Minimum* (&rec)[N]) {
    for (int j = 0; j < N; ++j) {
      if (L.buffer[j].size() < 2 * static_cast<size_t>(count) + 1)
        L.buffer[j].resize(2 * static_cast<size_t>(count) + 1);
      rec[j] = L.buffer[j].data();
    }
  }
  // Writes both candidates of every lane: the first goes to the lane's next free record, the
  // second after it if the first was taken (a mask is -1 where true); `used` counts the taken.
  template <int N, class V, class M = pf_lanes::mask_of<V>>
  static PF_LANES_INLINE void keep_candidates(M& used, Minimum* const (&rec)[N], M take1, V t1,
                                              V weight1, M kind1, M take2, V t2, V weight2,
                                              M kind2) {
    const M at2 = used - take1;
    int at[2][N];
    std::memcpy(at[0], &used, sizeof(used));
    std::memcpy(at[1], &at2, sizeof(at2));
    used = at2 - take2;
    void* to[2][N];
    for (int j = 0; j < N; ++j) {
      to[0][j] = rec[j] + at[0][j];
      to[1][j] = rec[j] + at[1][j];
    }
    pf_lanes::store_triples(t1, weight1, reinterpret_cast<V>(kind1), to[0]);
    pf_lanes::store_triples(t2, weight2, reinterpret_cast<V>(kind2), to[1]);
  }
  template <int N>
  static PF_LANES_INLINE void lanes(Lanes& L, const CellPassInputs& in, const int (&p)[N],
                                    const float3 (&xp)[N], const NeighbourBlock& b,
                                    const int* list, int count, int, float far_bound,
                                    Out_t (&out)[N]) {
    using namespace pf_lanes;
    typedef typename width<N>::vf V;
    typedef mask_of<V> M;
    static_assert(sizeof(Minimum) == 12, "a candidate is three words");
    float3 np[N], D[N];
    float t_p[N], a_p[N], nD[N];
    for (int j = 0; j < N; ++j) {
      Local& l = L.l[j];
      start(l, in, p[j], xp[j]);
      np[j] = l.np;
      D[j] = l.D;
      t_p[j] = l.t_p;
      a_p[j] = l.a_p;
      nD[j] = l.nD;
    }
    const v3<V> XP = pack<V>(xp), NP = pack<V>(np), DD = pack<V>(D);
    const V TP = load<V>(t_p), AP = load<V>(a_p), ND = load<V>(nD);
    const M P = load_int<V>(p);
    const Poly6& kernel = L.l[0].kernel;
    const V bound = splat<V>(far_bound), h = splat<V>(in.radius), beta = splat<V>(in.beta),
            h2 = splat<V>(kernel.h2), factor = splat<V>(kernel.factor), zero = splat<V>(0.f),
            one = splat<V>(1.f), small = splat<V>(1e-6f);
    const M three = splat_int<V>(3), one_i = splat_int<V>(1), two_i = splat_int<V>(2);
    Minimum* rec[N];
    make_room<N>(L, count, rec);
    M used = splat_int<V>(0);  // candidates kept in each lane so far
    for (int k = 0; k < count; ++k) {
      const int i = list[k];
      const v3<V> XQ = splat3<V>(b.position(i));
      const v3<V> d = sub(XQ, XP);
      const V d2 = dot(d, d);
      const V r = vsqrt(d2);
      // The lanes for which the scalar step gets past its early returns.
      const M ok = mask(~(d2 > bound)) & mask(splat_int<V>(b.q[i]) != P) & mask(~(r > h)) &
                   mask(~(r < small));
      if (!any(ok)) continue;
      const v3<V> NQ = splat3<V>(b.normal(i));
      const V a = h2 - r * r;
      const V K = factor * (a * a * a);
      const V c = dot(NP, NQ);
      const V f = W ? vabs(c) * K : K;
      const v3<V> dhat = scale(d, one / r);
      const V nqD = dot(NQ, DD);
      V w1 = (vabs(dot(NP, dhat)) * (-f)) * ND;
      V w2 = (vabs(dot(NQ, dhat)) * f) * nqD;
      const V t1 = TP + dot(NP, d) / ND;
      const V t2 = TP + dot(NQ, d) / nqD;
      const M facing_away = mask(c < zero);
      w1 = select(facing_away, w1 * beta, w1);
      w2 = select(facing_away, w2 * beta, w2);
      const M kind1 = facing_away ? (mask(w1 > zero) ? one_i : two_i) : three;
      const M kind2 = facing_away ? (mask(w2 > zero) ? one_i : two_i) : three;
      const M take1 = ok & mask(vabs(t1 - TP) < h);
      const M take2 = ok & mask(vabs(t2 - TP) < h);
      const V weight1 = vabs(w1) / AP;
      const V weight2 = vabs(w2) / splat<V>(b.density[i]);
      keep_candidates<N>(used, rec, take1, t1, weight1, kind1, take2, t2, weight2, kind2);
    }
    clean_upper<N>();
    for (int j = 0; j < N; ++j) out[j] = finish(rec[j], used[j], in, L.l[j].t_p, L.median);
  }
  // As finish, on `used` candidates at `records` with room for one more.
  static Out_t finish(Minimum* records, int used, const CellPassInputs& in, float t_p,
                      WeightedMedianScratch& scratch) {
    if (used == 0) return t_p;
    records[used] = {0.f, in.alpha, 3};
    const float median = weighted_median(records, used + 1, scratch);
    return omega * median + (1.f - omega) * t_p;
  }
  static Out_t finish(Local& l, const CellPassInputs& in, int) {
    if (l.records.empty()) return l.t_p;
    l.records.push_back({0.f, in.alpha, 3});
    const float median =
        weighted_median(l.records.data(), static_cast<int>(l.records.size()), l.median);
    l.records.clear();
    return omega * median + (1.f - omega) * l.t_p;
  }
};
