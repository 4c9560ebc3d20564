// The neighbourhood functors, driven point by point with hand-made neighbourhoods.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "fixtures.h"
#include "particle_filtering.h"

using pf_test::f3;
using pf_test::makeParticle;
using pf_test::normalized;

namespace {

// A point set with everything the functors read.
struct Neighbourhood {
  std::vector<Particle> particles;
  std::vector<float> offsets, density;
  std::vector<float3> normals;
  float radius = 1.f, alpha = 0.f, beta = 1.f;

  int add(float3 pos, float3 normal, float3 dir = f3(0, 0, 1), int camera = 0, float size = 0.1f,
          float offset = 0.f, float dens = 1.f) {
    particles.push_back(makeParticle(pos, dir, normal, camera, int(particles.size()), size));
    offsets.push_back(offset);
    normals.push_back(normal);
    density.push_back(dens);
    return int(particles.size()) - 1;
  }
  CellPassInputs inputs() const {
    return {density.data(), offsets.data(), normals.data(), particles.data(), radius, alpha, beta,
            int(particles.size())};
  }
  // Runs one point of a functor over the given neighbours, in order.
  template <class F>
  typename F::Out_t run(int p, const std::vector<int>& neighbours) const {
    const CellPassInputs in = inputs();
    typename F::Local local(in);
    F::start(local, in, p, grid_effective_position(particles[p], offsets[p]));
    for (int q : neighbours)
      F::pair(local, in, p, q, grid_effective_position(particles[q], offsets[q]));
    return F::finish(local, in, p);
  }
};

float kernelAtZero(float h) { return 315.f / (201.06194f * h * (h * h * h * h) * (h * h * h * h)) * (h * h * h * h * h * h); }

}  // namespace

TEST(Poly6Kernel, KnownValues) {
  const double pi = 3.14159265358979323846;
  for (float h : {0.5f, 1.f, 2.f}) {
    EXPECT_NEAR(poly6_kernel(0.f, h), 315.0 / (64.0 * pi * h * h * h), 1e-5 / (h * h * h));
    EXPECT_EQ(poly6_kernel(h, h), 0.f);
    EXPECT_EQ(poly6_kernel(1.01f * h, h), 0.f);
    EXPECT_EQ(poly6_kernel(-0.5f * h, h), poly6_kernel(0.5f * h, h));
    const double x = 1.0 - 0.25;
    EXPECT_NEAR(poly6_kernel(0.5f * h, h), 315.0 / (64.0 * pi * h * h * h) * x * x * x, 1e-5);
  }
}

TEST(DensityFunctor, CountsItselfOnceWhateverTheStride) {
  Neighbourhood nb;
  nb.radius = 0.5f;
  const int p = nb.add(f3(0, 0, 0), f3(0, 0, 1));
  const int at_h = nb.add(f3(0.5f, 0, 0), f3(0, 0, 1));
  const int inside = nb.add(f3(0.49f, 0, 0), f3(0, 0, 1));
  const float k0 = poly6_kernel(0.f, 0.5f);
  EXPECT_NEAR(k0, kernelAtZero(0.5f), 1e-4);
  // Alone, whether or not the stride delivered the point itself.
  EXPECT_EQ(nb.run<ComputeDensityFunctor>(p, {p}), k0);
  EXPECT_EQ(nb.run<ComputeDensityFunctor>(p, {}), k0);
  // A neighbour exactly at h adds nothing; one just inside adds a little.
  EXPECT_EQ(nb.run<ComputeDensityFunctor>(p, {p, at_h}), k0);
  const float with_inside = nb.run<ComputeDensityFunctor>(p, {inside, at_h});
  EXPECT_GT(with_inside, k0);
  EXPECT_EQ(with_inside, k0 + poly6_kernel(0.49f, 0.5f));
}

TEST(SupportFunctor, DiscsOfOtherCamerasWithAgreeingNormals) {
  use_normal_dot_weight = true;
  Neighbourhood nb;
  const float3 up = f3(0, 0, 1);
  const int p = nb.add(f3(0, 0, 0), up, up, 0);
  const int same_camera = nb.add(f3(0.01f, 0, 0), up, up, 0, 0.02f);
  const int flat = nb.add(f3(0.01f, 0, 0.005f), up, up, 1, 0.02f);  // w = 1 - 0.25
  const float s60 = std::sin(float(M_PI / 3)), c60 = std::cos(float(M_PI / 3));
  const int tilted = nb.add(f3(0, 0.01f, 0), f3(0, s60, c60), up, 2, 0.02f);  // w = 0.5 - 0.433
  const int opposite = nb.add(f3(0.001f, 0, 0), f3(0, 0, -1), up, 1, 0.02f);
  const int far = nb.add(f3(0.03f, 0, 0), up, up, 1, 0.02f);
  const int perpendicular = nb.add(f3(0, 0, 0.001f), f3(1, 0, 0), up, 1, 0.02f);

  ComputeParticleSupportFunctor::min_support = 100.f;
  EXPECT_EQ(nb.run<ComputeParticleSupportFunctor>(p, {p, same_camera}), 0.f);
  EXPECT_NEAR(nb.run<ComputeParticleSupportFunctor>(p, {flat}), 0.75f, 1e-5);
  const float expected_tilted = 0.5f - s60 * 0.01f / 0.02f;
  EXPECT_NEAR(nb.run<ComputeParticleSupportFunctor>(p, {tilted}), expected_tilted, 1e-5);
  EXPECT_NEAR(nb.run<ComputeParticleSupportFunctor>(p, {p, same_camera, flat, tilted, opposite,
                                                        far, perpendicular}),
              0.75f + expected_tilted, 1e-5);
  // Perpendicular normals pass the orientation test but weigh nothing with the cosine weight;
  // without it they count by their plane distance alone.
  EXPECT_EQ(nb.run<ComputeParticleSupportFunctor>(p, {perpendicular}), 0.f);
  use_normal_dot_weight = false;
  EXPECT_NEAR(nb.run<ComputeParticleSupportFunctor>(p, {perpendicular}), 1.f, 1e-6);
  EXPECT_NEAR(nb.run<ComputeParticleSupportFunctor>(p, {tilted}), 1.f - s60 * 0.5f, 1e-5);
  use_normal_dot_weight = true;

  // Accumulation stops once the sum exceeds the threshold.
  const int flat2 = nb.add(f3(-0.01f, 0, 0.005f), up, up, 3, 0.02f);
  ComputeParticleSupportFunctor::min_support = 0.5f;
  EXPECT_NEAR(nb.run<ComputeParticleSupportFunctor>(p, {flat, flat2, tilted}), 0.75f, 1e-5);
  ComputeParticleSupportFunctor::min_support = 0.f;
  EXPECT_NEAR(nb.run<ComputeParticleSupportFunctor>(p, {tilted, flat}), expected_tilted, 1e-5);

  // A disc reaches exactly its size.
  Neighbourhood edge;
  const int a = edge.add(f3(0, 0, 0), up, up, 0);
  const int b = edge.add(f3(0.5f, 0, 0), up, up, 1, 0.5f);
  const int c = edge.add(f3(0.5f, 0, 0), up, up, 1, 0.49f);
  ComputeParticleSupportFunctor::min_support = 10.f;
  EXPECT_EQ(edge.run<ComputeParticleSupportFunctor>(a, {b}), 1.f);
  EXPECT_EQ(edge.run<ComputeParticleSupportFunctor>(a, {c}), 0.f);
}

TEST(NormalsFunctor, PlaneNormalTurnedToTheCamera) {
  // Points of the plane z = 0.3 x - 0.2 y around p; the camera looks from below the plane.
  Neighbourhood nb;
  nb.radius = 1.f;
  const float3 truth = normalized(f3(-0.3f, 0.2f, 1.f));
  const float3 dir = normalized(f3(0.1f, 0.2f, -1.f));
  std::vector<int> all;
  for (int j = -2; j <= 2; ++j)
    for (int i = -2; i <= 2; ++i) {
      const float x = 0.15f * i, y = 0.15f * j;
      all.push_back(nb.add(f3(x, y, 0.3f * x - 0.2f * y), normalized(f3(0.05f * i, 0, 1)), dir));
    }
  const int p = all[12];
  for (auto result : {nb.run<ComputeNormalsFunctor<true, false>>(p, all),
                      nb.run<ComputeNormalsFunctor<false, false>>(p, all),
                      nb.run<ComputeNormalsFunctor<false, true>>(p, all)}) {
    EXPECT_NEAR(result.x, -truth.x, 1e-4);
    EXPECT_NEAR(result.y, -truth.y, 1e-4);
    EXPECT_NEAR(result.z, -truth.z, 1e-4);
  }
  // F changes nothing.
  const float3 a = nb.run<ComputeNormalsFunctor<true, false>>(p, all);
  const float3 b = nb.run<ComputeNormalsFunctor<false, false>>(p, all);
  EXPECT_EQ(a.x, b.x);
  EXPECT_EQ(a.y, b.y);
  EXPECT_EQ(a.z, b.z);
}

TEST(NormalsFunctor, FewNeighboursKeepTheNormalAndZeroScatterGivesTheXAxis) {
  Neighbourhood nb;
  nb.radius = 1.f;
  const float3 current = normalized(f3(0.2f, 0.1f, 1.f));
  const int p = nb.add(f3(0, 0, 0), current, f3(-1, 0, 0));
  std::vector<int> neighbours = {p};
  for (int i = 0; i < 6; ++i) neighbours.push_back(nb.add(f3(1.5f, 0.1f * i, 0), current));
  // Seven delivered pairs, the point itself included: unchanged.
  float3 n = nb.run<ComputeNormalsFunctor<false, true>>(p, neighbours);
  EXPECT_EQ(n.x, current.x);
  EXPECT_EQ(n.y, current.y);
  EXPECT_EQ(n.z, current.z);
  // Eight, all beyond h: the zero scatter matrix gives (1, 0, 0), negated towards the camera.
  neighbours.push_back(nb.add(f3(0, 1.2f, 0), current));
  n = nb.run<ComputeNormalsFunctor<false, true>>(p, neighbours);
  EXPECT_EQ(n.x, -1.f);
  EXPECT_EQ(n.y, 0.f);
  EXPECT_EQ(n.z, 0.f);
  // Neighbours facing away are counted but do not enter the matrix.
  Neighbourhood facing;
  facing.radius = 1.f;
  const int q = facing.add(f3(0, 0, 0), f3(0, 0, 1), f3(0, 0, 1));
  std::vector<int> list = {q};
  for (int i = 0; i < 7; ++i)
    list.push_back(facing.add(f3(0.1f * i - 0.3f, 0.05f * i, 0.2f * (i % 3)), f3(0, 0, -1)));
  n = facing.run<ComputeNormalsFunctor<false, false>>(q, list);
  // Zero matrix again; the x axis is perpendicular to the view direction, so it is negated.
  EXPECT_EQ(n.x, -1.f);
  EXPECT_EQ(n.y, 0.f);
  EXPECT_EQ(n.z, 0.f);
}

TEST(PositionFunctor, CandidatesInsideTheRadiusAndOmega) {
  Neighbourhood nb;
  nb.radius = 1.f;
  nb.alpha = 0.f;
  const float3 up = f3(0, 0, 1);
  const int p = nb.add(f3(0, 0, 0), up, up, 0, 0.1f, 0.25f);
  const int exactly_h = nb.add(f3(0, 0, 1.25f), up);  // both candidates at t_p + h
  const int inside = nb.add(f3(0, 0, 1.2f), up);      // both candidates at t_p + 0.95
  const int coincident = nb.add(f3(0, 0, 0.25f), up);

  UpdateParticlePosFunctor<true>::omega = 0.5f;
  // Without an accepted candidate the offset stays exactly, whatever omega is.
  EXPECT_EQ(nb.run<UpdateParticlePosFunctor<true>>(p, {p, exactly_h, coincident}), 0.25f);
  UpdateParticlePosFunctor<true>::omega = 1.f;
  EXPECT_NEAR(nb.run<UpdateParticlePosFunctor<true>>(p, {inside}), 1.2f, 1e-6);
  UpdateParticlePosFunctor<true>::omega = 0.5f;
  EXPECT_NEAR(nb.run<UpdateParticlePosFunctor<true>>(p, {inside}), 0.5f * 1.2f + 0.5f * 0.25f,
              1e-6);
  // A strong data term pulls the point back to its measured position.
  nb.alpha = 10.f;
  UpdateParticlePosFunctor<false>::omega = 1.f;
  EXPECT_EQ(nb.run<UpdateParticlePosFunctor<false>>(p, {inside}), 0.f);
}

TEST(PositionFunctor, MovesOntoTheNeighboursPlane) {
  // p above a plane of neighbours with its normal; the weighted median puts it on the plane.
  Neighbourhood nb;
  nb.radius = 1.f;
  nb.alpha = 0.01f;
  const float3 up = f3(0, 0, 1);
  const int p = nb.add(f3(0, 0, 0.2f), up, up);
  std::vector<int> list = {p};
  for (int j = -2; j <= 2; ++j)
    for (int i = -2; i <= 2; ++i)
      if (i || j) list.push_back(nb.add(f3(0.2f * i, 0.2f * j, 0.f), up));
  UpdateParticlePosFunctor<true>::omega = 1.f;
  EXPECT_NEAR(nb.run<UpdateParticlePosFunctor<true>>(p, list), -0.2f, 1e-6);
}

TEST(PositionFunctor, OpposingNormalsGiveOneSidedCandidatesWeightedByBeta) {
  Neighbourhood nb;
  nb.radius = 1.f;
  nb.alpha = 1.f;
  const float3 up = f3(0, 0, 1);
  const int p = nb.add(f3(0, 0, 0), up, up);
  const int q = nb.add(f3(0.1f, 0, 0.3f), f3(0, 0, -1));
  UpdateParticlePosFunctor<true>::omega = 1.f;
  // beta = 0: the one-sided candidates weigh nothing, the data term keeps offset 0.
  nb.beta = 0.f;
  EXPECT_EQ(nb.run<UpdateParticlePosFunctor<true>>(p, {q}), 0.f);
  nb.beta = 1e6f;
  const float moved = nb.run<UpdateParticlePosFunctor<true>>(p, {q});
  EXPECT_NEAR(moved, 0.3f, 1e-6);
}

namespace {

// The energy whose gradient the gradient functor returns, in double precision, with the
// neighbour weights A and B held at their values for the unmoved point.
struct Energy {
  const Neighbourhood& nb;
  int p;
  std::vector<int> qs;
  std::vector<double> A, B;

  Energy(const Neighbourhood& n, int point, const std::vector<int>& list) : nb(n), p(point) {
    const float3 xp = grid_effective_position(nb.particles[p], nb.offsets[p]);
    const float3 np = nb.normals[p];
    for (int q : list) {
      if (q == p) continue;
      const float3 xq = grid_effective_position(nb.particles[q], nb.offsets[q]);
      const double d[3] = {double(xq.x) - xp.x, double(xq.y) - xp.y, double(xq.z) - xp.z};
      const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      const double K = poly6_kernel(float(r), nb.radius);
      const float3 nq = nb.normals[q];
      qs.push_back(q);
      A.push_back(std::fabs((np.x * d[0] + np.y * d[1] + np.z * d[2]) / r) * K);
      B.push_back(std::fabs((nq.x * d[0] + nq.y * d[1] + nq.z * d[2]) / r) * K);
    }
  }

  double operator()(double t, double theta, double phi) const {
    const Particle& pp = nb.particles[p];
    const float3 D = pp.direction;
    float3 u, w;
    pf::view_frame(D, u, w);
    double n[3], x[3];
    for (int k = 0; k < 3; ++k) {
      n[k] = std::sin(phi) * std::cos(theta) * (&D.x)[k] +
             std::sin(phi) * std::sin(theta) * (&u.x)[k] + std::cos(phi) * (&w.x)[k];
      x[k] = (&pp.position.x)[k] + t * (&D.x)[k];
    }
    double e = nb.alpha * std::sqrt(t * t + 1e-6);
    for (size_t i = 0; i < qs.size(); ++i) {
      const float3 xq = grid_effective_position(nb.particles[qs[i]], nb.offsets[qs[i]]);
      const float3 nq = nb.normals[qs[i]];
      const double d[3] = {xq.x - x[0], xq.y - x[1], xq.z - x[2]};
      const double ep = n[0] * d[0] + n[1] * d[1] + n[2] * d[2];
      const double eq = -(nq.x * d[0] + nq.y * d[1] + nq.z * d[2]);
      e += A[i] * std::sqrt(ep * ep + 1e-6) / nb.density[p] +
           B[i] * std::sqrt(eq * eq + 1e-6) / nb.density[qs[i]];
    }
    return e;
  }
};

}  // namespace

TEST(GradientFunctor, MatchesFiniteDifferencesOfTheEnergy) {
  Neighbourhood nb;
  nb.radius = 0.5f;
  nb.alpha = 0.3f;
  const float3 D = normalized(f3(0.2f, -0.1f, 1.f));
  const float3 np = normalized(f3(0.3f, 0.2f, 1.f));
  const int p = nb.add(f3(0, 0, 0), np, D, 0, 0.1f, 0.05f, 2.f);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-0.2f, 0.2f);
  std::vector<int> list = {p};
  for (int i = 0; i < 12; ++i)
    list.push_back(nb.add(f3(u(rng), u(rng), 0.3f * u(rng)),
                          normalized(f3(0.5f * u(rng), 0.5f * u(rng), 1.f)), D, 1, 0.1f, 0.f,
                          1.f + 5.f * std::fabs(u(rng))));

  const float3 g = nb.run<ComputeGradientFunctor<false>>(p, list);
  const Energy energy(nb, p, list);
  float3 uu, ww;
  pf::view_frame(D, uu, ww);
  const double t = nb.offsets[p];
  const double theta = std::atan2(double(pf::dot(np, uu)), double(pf::dot(np, D)));
  const double phi = std::acos(double(pf::dot(np, ww)));
  const double h = 1e-5;
  const double gt = (energy(t + h, theta, phi) - energy(t - h, theta, phi)) / (2 * h);
  const double gth = (energy(t, theta + h, phi) - energy(t, theta - h, phi)) / (2 * h);
  const double gph = (energy(t, theta, phi + h) - energy(t, theta, phi - h)) / (2 * h);
  const double scale = std::fabs(gt) + std::fabs(gth) + std::fabs(gph);
  ASSERT_GT(scale, 1e-3);
  EXPECT_NEAR(g.x, gt, 2e-3 * scale);
  EXPECT_NEAR(g.y, gth, 2e-3 * scale);
  EXPECT_NEAR(g.z, gph, 2e-3 * scale);
}

TEST(GradientFunctor, DataTermCollisionsAndCoincidentPoints) {
  Neighbourhood nb;
  nb.radius = 1.f;
  nb.alpha = 2.f;
  const float3 up = f3(0, 0, 1);
  const int p = nb.add(f3(0, 0, 0), up, up, 0, 0.1f, 0.f);
  const int moved = nb.add(f3(5, 5, 5), up, up, 0, 0.1f, 0.5f);
  // Data term alone: 0 at offset 0, alpha t / sqrt(t^2 + 1e-6) elsewhere.
  EXPECT_EQ(nb.run<ComputeGradientFunctor<true>>(p, {p}).x, 0.f);
  EXPECT_NEAR(nb.run<ComputeGradientFunctor<true>>(moved, {moved}).x,
              2.f * 0.5f / std::sqrt(0.25f + 1e-6f), 1e-6);
  // A point at the same place contributes nothing (and no NaN).
  const int same = nb.add(f3(0, 0, 0), normalized(f3(0.1f, 0, 1)), up);
  const float3 g = nb.run<ComputeGradientFunctor<true>>(p, {same});
  EXPECT_EQ(g.x, 0.f);
  EXPECT_EQ(g.y, 0.f);
  EXPECT_EQ(g.z, 0.f);
  // A facing-away neighbour behind p's tangent plane adds nothing to the offset gradient but
  // turns the normal.
  nb.alpha = 0.f;
  const int behind = nb.add(f3(0.3f, 0, -0.2f), normalized(f3(0.2f, 0, -1)), up);
  const float3 gb = nb.run<ComputeGradientFunctor<true>>(p, {behind});
  EXPECT_EQ(gb.x, 0.f);
  EXPECT_NE(gb.y + gb.z, 0.f);
}
