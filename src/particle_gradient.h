// The gradient-descent pass's functor: the gradient of a point's smoothed energy.
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
