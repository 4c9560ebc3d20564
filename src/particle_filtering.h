// The particle filter and the support test: the density and support functors, the passes
// built on the functors (see particle_cells.h for how they are run), filter_particles and
// compute_particle_support.
#pragma once

#include <cuda_runtime.h>

#include <cmath>
#include <string>
#include <vector>

#include "hashing.h"
#include "particle_cells.h"
#include "particle_gradient.h"
#include "particle_lanes.h"
#include "particle_math.h"
#include "particle_normals.h"
#include "particle_position_update.h"
#include "particles.h"
#include "settings.h"

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
