// The particle filter and the support test: the functors that iterate_particles_cells runs
// (density, support, normals, energy gradient, weighted-median position update; see
// particle_cells.h for how it calls them), the passes built on them, filter_particles and
// compute_particle_support.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "hashing.h"
#include "particle_cells.h"
#include "particle_lanes.h"
#include "particles.h"
#include "settings.h"
#include "weighted_median.h"

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

// One Local per lane, for passes whose lanes keep separate running state.
template <class Local>
struct LaneLocals {
  explicit LaneLocals(const CellPassInputs& in) : l(pf_lanes::max_lanes, Local(in)) {}
  std::vector<Local> l;
};

// Kernel density of every point; each point counts itself exactly once, whatever the stride.
struct ComputeDensityFunctor {
  typedef float Out_t;
  struct Local {
    explicit Local(const CellPassInputs& in) : kernel(in.radius) {}
    Poly6 kernel;
    float sum = 0.f;
    bool self = false;
    float3 xp;
  };
  static void start(Local& l, const CellPassInputs&, int, float3 xp) {
    l.sum = 0.f;
    l.self = false;
    l.xp = xp;
  }
  static void pair(Local& l, const CellPassInputs& in, int p, int q, float3 xq) {
    if (q == p) l.self = true;
    const float3 d = pf::sub(xq, l.xp);
    const float d2 = pf::dot(d, d);
    if (pf::surely_beyond(d2, in.radius)) return;  // the kernel is 0 there
    l.sum += poly6_kernel(std::sqrt(d2), in.radius);
  }
  // N points of a cell at once (pf_lanes); `list` holds the neighbours that are not surely
  // beyond the radius for at least one lane, in order.
  struct Lanes {
    explicit Lanes(const CellPassInputs& in) : l(in) {}
    Local l;
  };
  template <int N>
  static PF_LANES_INLINE void lanes(Lanes& L, const CellPassInputs& in, const int (&p)[N],
                                    const float3 (&xp)[N], const NeighbourBlock& b,
                                    const int* list, int count, int, float far_bound,
                                    Out_t (&out)[N]) {
    using namespace pf_lanes;
    typedef typename width<N>::vf V;
    typedef mask_of<V> M;
    const v3<V> XP = pack<V>(xp);
    const M P = load_int<V>(p);
    const V bound = splat<V>(far_bound), h = splat<V>(L.l.kernel.h),
            h2 = splat<V>(L.l.kernel.h2), factor = splat<V>(L.l.kernel.factor),
            zero = splat<V>(0.f);
    V sum = zero;
    M self = splat_int<V>(0);
    for (int k = 0; k < count; ++k) {
      const int i = list[k];
      const v3<V> d = sub(splat3<V>(b.position(i)), XP);
      const V d2 = dot(d, d);
      self |= mask(splat_int<V>(b.q[i]) == P);
      const V r = vsqrt(d2);
      const V a = h2 - r * r;
      const V K = select(vabs(r) > h, zero, factor * (a * a * a));
      sum = select(~(d2 > bound), sum + K, sum);
    }
    for (int j = 0; j < N; ++j) {
      L.l.sum = sum[j];
      L.l.self = self[j] != 0;
      out[j] = finish(L.l, in, p[j]);
    }
  }
  static Out_t finish(Local& l, const CellPassInputs& in, int) {
    if (!l.self && in.radius >= 0.f) l.sum += poly6_kernel(0.f, in.radius);
    return l.sum;
  }
};

// Support of every point by the discs of points of other cameras that cover it.
struct ComputeParticleSupportFunctor {
  typedef float Out_t;
  static float min_support;
  struct Local {
    explicit Local(const CellPassInputs&) : weight_by_normal_dot(use_normal_dot_weight) {}
    bool weight_by_normal_dot;
    float sum = 0.f;
    float3 xp, np;
    int camera = 0;
  };
  static void start(Local& l, const CellPassInputs& in, int p, float3 xp) {
    l.sum = 0.f;
    l.xp = xp;
    l.np = in.normals[p];
    l.camera = in.particles[p].camera;
  }
  static void pair(Local& l, const CellPassInputs& in, int p, int q, float3 xq) {
    if (l.sum > min_support || q == p) return;
    const Particle& pq = in.particles[q];
    if (pq.camera == l.camera) return;
    const float3 nq = in.normals[q];
    const float c = pf::dot(l.np, nq);
    if (c < 0.f) return;
    const float3 d = pf::sub(l.xp, xq);
    const float r = pf::length(d);
    const float s = pq.size;
    if (r > s) return;
    const float e = std::fabs(pf::dot(nq, d));
    const float w = l.weight_by_normal_dot ? (1.f - (1.f - std::fabs(c))) - e / s : 1.f - e / s;
    if (w > 0.f) l.sum += w;
  }
  static Out_t finish(Local& l, const CellPassInputs&, int) { return l.sum; }
};

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

// Gradient of the smoothed energy of a point with respect to its offset and to the two angles
// (theta, phi) of its normal in the frame of its view direction.
template <bool W>
struct ComputeGradientFunctor {
  typedef float3 Out_t;
  struct Local {
    explicit Local(const CellPassInputs& in) : kernel(in.radius) {}
    Poly6 kernel;
    float g_t = 0.f, g_theta = 0.f, g_phi = 0.f;
    float3 xp, np, D, dn_dtheta, dn_dphi;
    float inv_ap = 0.f, minus_Dn = 0.f;
  };
  static void start(Local& l, const CellPassInputs& in, int p, float3 xp) {
    l.g_t = l.g_theta = l.g_phi = 0.f;
    const Particle& pp = in.particles[p];
    l.xp = xp;
    l.np = in.normals[p];
    l.D = pp.direction;
    l.inv_ap = 1.f / in.density[p];
    l.minus_Dn = -pf::dot(l.D, l.np);
    float3 u, w;
    pf::view_frame(l.D, u, w);
    const float theta = std::atan2(pf::dot(l.np, u), pf::dot(l.np, l.D));
    const float phi = pf::safe_acos(pf::dot(l.np, w));
    const float st = std::sin(theta), ct = std::cos(theta), sp = std::sin(phi),
                cp = std::cos(phi);
    for (int k = 0; k < 3; ++k) {
      const float Dk = (&l.D.x)[k], uk = (&u.x)[k], wk = (&w.x)[k];
      (&l.dn_dtheta.x)[k] = -sp * st * Dk + sp * ct * uk;
      (&l.dn_dphi.x)[k] = cp * ct * Dk + cp * st * uk - sp * wk;
    }
  }
  static void pair(Local& l, const CellPassInputs& in, int p, int q, float3 xq) {
    if (q == p) return;
    const float3 d = pf::sub(xq, l.xp);
    const float d2 = pf::dot(d, d);
    if (pf::surely_beyond(d2, in.radius)) return;
    const float r = std::sqrt(d2);
    // Coincident points have no direction between them; they contribute nothing.
    if (r > in.radius || !(r > 0.f)) return;
    const float3 nq = in.normals[q];
    const float K = poly6_kernel(r, in.radius);
    const float c = pf::dot(l.np, nq);
    const float f = W ? std::fabs(c) * K : K;
    const float3 dhat = pf::scale(d, 1.f / r);
    const float e_p = pf::dot(l.np, d);
    const float e_q = pf::dot(nq, pf::sub(l.xp, xq));
    const float A = std::fabs(pf::dot(l.np, dhat)) * f;
    const float B = std::fabs(pf::dot(nq, dhat)) * f;
    const float s_p = std::sqrt(e_p * e_p + 1e-6f);
    const float s_q = std::sqrt(e_q * e_q + 1e-6f);
    float G1 = -pf::dot(l.D, l.np) * e_p * l.inv_ap * A / s_p;
    float G2 = pf::dot(nq, l.D) * e_q * (1.f / in.density[q]) * B / s_q;
    if (c < 0.f) {
      G1 = e_p > 0.f ? G1 * in.beta : 0.f;
      G2 = e_q > 0.f ? G2 * in.beta : 0.f;
    }
    l.g_t = (l.g_t + G1) + G2;
    l.g_theta += pf::dot(l.dn_dtheta, d) * e_p * l.inv_ap * A / s_p;
    l.g_phi += pf::dot(l.dn_dphi, d) * e_p * l.inv_ap * A / s_p;
  }
  // N points of a cell at once (pf_lanes), as ComputeDensityFunctor::lanes.
  using Lanes = LaneLocals<Local>;
  template <int N>
  static PF_LANES_INLINE void lanes(Lanes& L, const CellPassInputs& in, const int (&p)[N],
                                    const float3 (&xp)[N], const NeighbourBlock& b,
                                    const int* list, int count, int, float far_bound,
                                    Out_t (&out)[N]) {
    using namespace pf_lanes;
    typedef typename width<N>::vf V;
    typedef mask_of<V> M;
    float3 np[N], D[N], dt[N], df[N];
    float inv_ap[N], mDn[N];
    for (int j = 0; j < N; ++j) {
      Local& l = L.l[j];
      start(l, in, p[j], xp[j]);
      np[j] = l.np;
      D[j] = l.D;
      dt[j] = l.dn_dtheta;
      df[j] = l.dn_dphi;
      inv_ap[j] = l.inv_ap;
      mDn[j] = l.minus_Dn;
    }
    const v3<V> XP = pack<V>(xp), NP = pack<V>(np), DD = pack<V>(D), DT = pack<V>(dt),
                DF = pack<V>(df);
    const V INV_AP = load<V>(inv_ap), MDN = load<V>(mDn);
    const M P = load_int<V>(p);
    const Poly6& kernel = L.l[0].kernel;
    const V bound = splat<V>(far_bound), h = splat<V>(in.radius), beta = splat<V>(in.beta),
            h2 = splat<V>(kernel.h2), factor = splat<V>(kernel.factor), zero = splat<V>(0.f),
            one = splat<V>(1.f), tiny = splat<V>(1e-6f);
    V gt = zero, gth = zero, gph = zero;
    for (int k = 0; k < count; ++k) {
      const int i = list[k];
      const v3<V> XQ = splat3<V>(b.position(i));
      const v3<V> d = sub(XQ, XP);
      const V d2 = dot(d, d);
      const V r = vsqrt(d2);
      // The lanes for which the scalar step gets past its early returns.
      const M ok = mask(~(d2 > bound)) & mask(splat_int<V>(b.q[i]) != P) & mask(~(r > h)) &
                   mask(r > zero);
      if (!any(ok)) continue;
      const v3<V> NQ = splat3<V>(b.normal(i));
      const V a = h2 - r * r;
      const V K = factor * (a * a * a);
      const V c = dot(NP, NQ);
      const V f = W ? vabs(c) * K : K;
      const v3<V> dhat = scale(d, one / r);
      const V e_p = dot(NP, d);
      const V e_q = dot(NQ, sub(XP, XQ));
      const V A = vabs(dot(NP, dhat)) * f;
      const V B = vabs(dot(NQ, dhat)) * f;
      const V s_p = vsqrt(e_p * e_p + tiny);
      const V s_q = vsqrt(e_q * e_q + tiny);
      V G1 = MDN * e_p * INV_AP * A / s_p;
      V G2 = dot(NQ, DD) * e_q * splat<V>(b.inv_density[i]) * B / s_q;
      const M facing_away = mask(c < zero);
      G1 = select(facing_away, select(mask(e_p > zero), G1 * beta, zero), G1);
      G2 = select(facing_away, select(mask(e_q > zero), G2 * beta, zero), G2);
      gt = select(ok, (gt + G1) + G2, gt);
      gth = select(ok, gth + dot(DT, d) * e_p * INV_AP * A / s_p, gth);
      gph = select(ok, gph + dot(DF, d) * e_p * INV_AP * A / s_p, gph);
    }
    for (int j = 0; j < N; ++j) {
      Local& l = L.l[j];
      l.g_t = gt[j];
      l.g_theta = gth[j];
      l.g_phi = gph[j];
      out[j] = finish(l, in, p[j]);
    }
  }
  static Out_t finish(Local& l, const CellPassInputs& in, int p) {
    const float t = in.offsets[p];
    return make_float3(in.alpha * t / std::sqrt(t * t + 1e-6f) + l.g_t, l.g_theta, l.g_phi);
  }
};

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
    float3 xp, np, D;
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
  };
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
    // Room for two candidates per listed neighbour and the data record; a candidate is stored
    // with one spare word after it (pf_lanes::store_triples), which this room also covers.
    Minimum* rec[N];
    for (int j = 0; j < N; ++j) {
      if (L.buffer[j].size() < 2 * static_cast<size_t>(count) + 1)
        L.buffer[j].resize(2 * static_cast<size_t>(count) + 1);
      rec[j] = L.buffer[j].data();
    }
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
      // The first candidate goes to the lane's next free record, the second after it if the
      // first was taken (a mask is -1 where true).
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
      store_triples(t1, weight1, reinterpret_cast<V>(kind1), to[0]);
      store_triples(t2, weight2, reinterpret_cast<V>(kind2), to[1]);
    }
    clean_upper<N>();
    for (int j = 0; j < N; ++j) out[j] = finish(rec[j], used[j], in, L.l[j].t_p);
  }
  // As finish, on `used` candidates at `records` with room for one more.
  static Out_t finish(Minimum* records, int used, const CellPassInputs& in, float t_p) {
    if (used == 0) return t_p;
    records[used] = {0.f, in.alpha, 3};
    const float median = weighted_median(records, used + 1);
    return omega * median + (1.f - omega) * t_p;
  }
  static Out_t finish(Local& l, const CellPassInputs& in, int) {
    if (l.records.empty()) return l.t_p;
    l.records.push_back({0.f, in.alpha, 3});
    const float median = weighted_median(l.records);
    l.records.clear();
    return omega * median + (1.f - omega) * l.t_p;
  }
};

// The passes over one grid build. Each prints its line, runs one cell iteration and writes the
// results of the points that got one into the record-indexed output; other entries keep their
// value.
void update_density(std::vector<float>& density, const std::vector<Particle>& particles,
                    std::vector<float>& offsets, std::vector<float3>& normals,
                    const std::vector<unsigned long long>& cell_keys,
                    const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                    const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                    float alpha, float beta, int length_quotient);

void compute_normals(const std::vector<Particle>& particles, std::vector<float>& offsets,
                     std::vector<float3>& normals, const std::vector<unsigned long long>& cell_keys,
                     const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                     const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                     float alpha, float beta, bool first, int length_quotient);

void update_particles(std::vector<float>& proposed_offsets, const std::vector<Particle>& particles,
                      std::vector<float>& density, std::vector<float>& offsets,
                      std::vector<float3>& normals,
                      const std::vector<unsigned long long>& cell_keys,
                      const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                      const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                      float alpha, float beta, float omega, int length_quotient);

// One gradient-descent step: the offset moves against its gradient by at most radius, the
// normal turns in its (theta, phi) frame unless it would then face away from the camera.
void update_particles_gd(std::vector<float>& proposed_offsets,
                         const std::vector<Particle>& particles, std::vector<float>& density,
                         std::vector<float>& offsets, std::vector<float3>& normals,
                         const std::vector<unsigned long long>& cell_keys,
                         const std::vector<int>& cell_sizes,
                         const std::vector<unsigned int>& handles, const HashMap& current_map,
                         float3 origin, int max_cell_length, float radius, float alpha, float beta,
                         int length_quotient, float timestep);

// Moves every point along its view ray and re-estimates its normal; the set comes back in the
// order of the cell keys of the base positions. An empty set returns at once.
void filter_particles(std::vector<Particle>& particles, std::vector<float>& offsets,
                      std::vector<float3>& normals, float alpha, float beta, float radius,
                      int iterations, int gradient_iterations, float timestep,
                      int cell_length_divisor, std::string name);

// Support of every point by points of other cameras; the set comes back in the order of the
// cell keys of the effective positions and support[i] belongs to record i of that order.
void compute_particle_support(std::vector<float>& support, std::vector<Particle>& particles,
                              std::vector<float>& offsets, std::vector<float3>& normals,
                              float radius, float min_support);
