// The passes over a grid build, the particle filter and the support test on synthetic scenes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cfloat>
#include <cstring>
#include <map>
#include <regex>
#include <thread>

#include "fixtures.h"
#include "particle_filtering.h"

using pf_test::f3;
using pf_test::makeParticle;
using pf_test::normalized;

namespace {

struct ParticleSet {
  std::vector<Particle> particles;
  std::vector<float> offsets;
  std::vector<float3> normals;
};

// Two cameras seeing the same tilted plane patch, points interleaved, noisy along their rays.
ParticleSet noisyPlane(const pf_test::PlaneScene& scene, float noise) {
  ParticleSet s;
  scene.addCamera(s.particles, s.offsets, s.normals, f3(0, 0, 0), 0, -0.3f, -0.3f, 30, 0.02f,
                  noise, 1);
  scene.addCamera(s.particles, s.offsets, s.normals, f3(0.6f, 0.1f, 0), 1, -0.29f, -0.29f, 30,
                  0.02f, noise, 2);
  return s;
}

double rmsDistance(const pf_test::PlaneScene& scene, const ParticleSet& s, bool interior) {
  double sum = 0.0;
  int count = 0;
  for (size_t i = 0; i < s.particles.size(); ++i) {
    const float3 p = s.particles[i].position;
    if (interior && (std::fabs(p.x) > 0.2f || std::fabs(p.y) > 0.2f)) continue;
    const double d = scene.distance(effective_position(s.particles[i], s.offsets[i]));
    sum += d * d;
    ++count;
  }
  return std::sqrt(sum / count);
}

class ThreadCount {
 public:
  explicit ThreadCount(int n) : saved_(omp_get_max_threads()) { omp_set_num_threads(n); }
  ~ThreadCount() { omp_set_num_threads(saved_); }

 private:
  int saved_;
};

std::vector<unsigned long long> baseKeys(const std::vector<Particle>& particles, float3 origin,
                                         float radius) {
  std::vector<unsigned long long> keys(particles.size());
  compute_cell_keys_base(keys, particles, origin, 1.f / radius);
  return keys;
}

void expectSameBytes(const ParticleSet& a, const ParticleSet& b) {
  ASSERT_EQ(a.particles.size(), b.particles.size());
  for (size_t i = 0; i < a.particles.size(); ++i) {
    ASSERT_EQ(a.particles[i].camera, b.particles[i].camera) << i;
    ASSERT_EQ(a.particles[i].pixel, b.particles[i].pixel) << i;
  }
  EXPECT_EQ(0, std::memcmp(a.offsets.data(), b.offsets.data(), a.offsets.size() * sizeof(float)));
  EXPECT_EQ(0, std::memcmp(a.normals.data(), b.normals.data(), a.normals.size() * sizeof(float3)));
}

const float kRadius = 0.08f;

void filterPlane(ParticleSet& s) {
  testing::internal::CaptureStdout();
  filter_particles(s.particles, s.offsets, s.normals, 0.1f, 1.f, kRadius, 50, 50, 0.02f, 50,
                   "test");
  testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(FilterParticles, NoisyPlaneComesCloserToTheSurface) {
  use_normal_dot_weight = true;
  const pf_test::PlaneScene scene;
  ParticleSet s = noisyPlane(scene, 0.01f);
  const ParticleSet before = s;
  float3 lo;
  compute_particles_bounds(&lo, nullptr, s.particles, s.offsets);
  const float3 origin = f3(lo.x - 10 * kRadius, lo.y - 10 * kRadius, lo.z - 10 * kRadius);

  const int counter = debug_ostrel_particle_iteration;
  filterPlane(s);
  EXPECT_EQ(debug_ostrel_particle_iteration, counter + 11);

  // Same points, reordered together, by the cells of their base positions.
  ASSERT_EQ(s.particles.size(), before.particles.size());
  ASSERT_EQ(s.offsets.size(), before.particles.size());
  ASSERT_EQ(s.normals.size(), before.particles.size());
  std::map<std::pair<int, int>, float3> positions;
  for (const Particle& p : before.particles) positions[{p.camera, p.pixel}] = p.position;
  for (const Particle& p : s.particles) {
    const float3 was = positions.at({p.camera, p.pixel});
    EXPECT_EQ(std::memcmp(&was, &p.position, sizeof(float3)), 0);
    positions.erase({p.camera, p.pixel});
  }
  EXPECT_TRUE(positions.empty());
  const std::vector<unsigned long long> keys = baseKeys(s.particles, origin, kRadius);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));

  const double rms_before = rmsDistance(scene, before, true);
  const double rms_after = rmsDistance(scene, s, true);
  EXPECT_NEAR(rms_before, 0.01, 0.002);
  EXPECT_LT(rms_after, 0.5 * rms_before);
  EXPECT_LT(rmsDistance(scene, s, false), 0.7 * rmsDistance(scene, before, false));

  // Normals come out as the plane's, facing the cameras.
  const float3 truth = pf::scale(scene.trueNormal(), -1.f);
  int off = 0, interior = 0;
  for (size_t i = 0; i < s.particles.size(); ++i) {
    const float3 n = s.normals[i];
    ASSERT_TRUE(std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z));
    EXPECT_NEAR(pf::length(n), 1.f, 1e-3);
    EXPECT_GT(pf::dot(n, s.particles[i].direction), 0.f);
    const float3 p = s.particles[i].position;
    if (std::fabs(p.x) > 0.2f || std::fabs(p.y) > 0.2f) continue;
    ++interior;
    if (pf::dot(n, truth) < std::cos(10.f * float(M_PI) / 180.f)) ++off;
  }
  EXPECT_LT(off, interior / 20) << off << " of " << interior << " normals off by > 10 degrees";
}

TEST(FilterParticles, SameBytesForOneAndEightThreads) {
  const pf_test::PlaneScene scene;
  ParticleSet one = noisyPlane(scene, 0.01f), eight = one;
  {
    ThreadCount tc(1);
    filterPlane(one);
  }
  {
    ThreadCount tc(8);
    filterPlane(eight);
  }
  expectSameBytes(one, eight);
}

TEST(FilterParticles, ScheduleBannersAndEmptyInputs) {
  // Far-apart points never move: the step decays every iteration, so the main loop stops after
  // ten decays, and the first gradient iteration changes nothing and ends the phase.
  ParticleSet s;
  for (int i = 0; i < 20; ++i)
    s.particles.push_back(makeParticle(f3(float(i), 0, 0), f3(0, 0, 1), f3(0, 0.6f, 0.8f), 0, i));
  testing::internal::CaptureStdout();
  filter_particles(s.particles, s.offsets, s.normals, 0.1f, 1.f, 0.1f, 50, 50, 0.02f, 50, "x");
  std::string out = testing::internal::GetCapturedStdout();
  std::vector<int> banners;
  const std::regex banner("====================  iteration (\\d+)  ====================\n");
  for (std::sregex_iterator it(out.begin(), out.end(), banner), end; it != end; ++it)
    banners.push_back(std::stoi((*it)[1]));
  EXPECT_EQ(banners, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12}));
  EXPECT_NE(out.find("average cell length 1\n    max cell length 1\n"), std::string::npos);
  EXPECT_NE(out.find("  updating particle positions (gradient descent)\n"), std::string::npos);
  // Missing offsets and normals were filled in: zeros and the records' own normals.
  ASSERT_EQ(s.offsets.size(), 20u);
  ASSERT_EQ(s.normals.size(), 20u);
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(s.offsets[i], 0.f);
    EXPECT_NEAR(s.normals[i].y, 0.6f, 1e-6);
    EXPECT_NEAR(s.normals[i].z, 0.8f, 1e-6);
  }

  // No main and no gradient iteration: only the final pass, without a banner.
  testing::internal::CaptureStdout();
  filter_particles(s.particles, s.offsets, s.normals, 0.1f, 1.f, 0.1f, 0, 0, 0.02f, 50, "x");
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("===================="), std::string::npos);
  EXPECT_NE(out.find("  computing normals\n"), std::string::npos);
  EXPECT_NE(out.find("  updating particle positions\n"), std::string::npos);

  // An empty set returns at once; the viewer sequence still advances.
  ParticleSet empty;
  const int counter = debug_ostrel_particle_iteration;
  testing::internal::CaptureStdout();
  filter_particles(empty.particles, empty.offsets, empty.normals, 0.1f, 1.f, 0.1f, 50, 50, 0.02f,
                   50, "x");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(debug_ostrel_particle_iteration, counter + 11);
  EXPECT_TRUE(empty.particles.empty() && empty.offsets.empty() && empty.normals.empty());
}

TEST(FilterParticles, InvalidPointsStayInTheSetAndNoOffsetIsLeftNonFinite) {
  const pf_test::PlaneScene scene;
  ParticleSet s = noisyPlane(scene, 0.01f);
  s.particles[5].position.x = std::numeric_limits<float>::quiet_NaN();
  s.offsets[6] = std::numeric_limits<float>::infinity();
  filterPlane(s);
  ASSERT_EQ(s.particles.size(), 1800u);
  int nan_records = 0;
  for (size_t i = 0; i < s.particles.size(); ++i) {
    if (std::isnan(s.particles[i].position.x)) ++nan_records;
    ASSERT_TRUE(std::isfinite(s.offsets[i])) << i;
    ASSERT_TRUE(std::isfinite(s.normals[i].x) && std::isfinite(s.normals[i].y) &&
                std::isfinite(s.normals[i].z))
        << i;
  }
  EXPECT_EQ(nan_records, 1);
}

TEST(UpdatePasses, DensityAgainstBruteForce) {
  const pf_test::PlaneScene scene;
  ParticleSet s = noisyPlane(scene, 0.01f);
  pf_test::TestGrid grid;
  grid.build(s.particles, s.offsets, kRadius);
  std::vector<float> density(s.particles.size(), -1.f);
  testing::internal::CaptureStdout();
  update_density(density, s.particles, s.offsets, s.normals, grid.cell_keys, grid.cell_sizes,
                 grid.handles, grid.map, grid.origin, 0, kRadius, 0.f, 0.f, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "  updating particle density\n");
  for (size_t i = 0; i < s.particles.size(); ++i) {
    double expected = 0.0;
    const float3 xp = effective_position(s.particles[i], s.offsets[i]);
    for (size_t j = 0; j < s.particles.size(); ++j)
      expected += poly6_kernel(
          pf::length(pf::sub(effective_position(s.particles[j], s.offsets[j]), xp)), kRadius);
    ASSERT_NEAR(density[i], expected, 1e-5 * expected) << i;
  }
}

TEST(UpdatePasses, GradientStepIsClampedAndPointsWithoutResultKeepTheirEntry) {
  ParticleSet s;
  const float3 dir = normalized(f3(0.2f, 0.1f, 1.f));
  const float3 n = normalized(f3(0.f, 0.3f, 1.f));
  for (int i = 0; i < 3; ++i) {
    s.particles.push_back(makeParticle(f3(float(i), 0, 0), dir, n, 0, i));
    s.normals.push_back(n);
  }
  s.particles[2].position.x = std::numeric_limits<float>::quiet_NaN();
  s.offsets = {0.5f, -0.5f, 0.25f};
  std::vector<float> density(3, 1.f), proposed(3, 7.f);
  pf_test::TestGrid grid;
  grid.build(s.particles, s.offsets, 0.1f);
  testing::internal::CaptureStdout();
  update_particles_gd(proposed, s.particles, density, s.offsets, s.normals, grid.cell_keys,
                      grid.cell_sizes, grid.handles, grid.map, grid.origin, 1, 0.1f, 1000.f, 1.f,
                      1, 1.f);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "  updating particle positions (gradient descent)\n");
  EXPECT_EQ(proposed[0], 0.5f - 0.1f);
  EXPECT_EQ(proposed[1], -0.5f + 0.1f);
  EXPECT_EQ(proposed[2], 7.f);
  // Lone points have no angle gradient: the normal is only rebuilt from its own angles.
  for (int i = 0; i < 2; ++i) {
    EXPECT_NEAR(s.normals[i].x, n.x, 1e-5);
    EXPECT_NEAR(s.normals[i].y, n.y, 1e-5);
    EXPECT_NEAR(s.normals[i].z, n.z, 1e-5);
  }
  EXPECT_EQ(s.offsets, (std::vector<float>{0.5f, -0.5f, 0.25f}));
}

TEST(ViewFrame, OrthonormalForEveryDirection) {
  std::mt19937 rng(8);
  std::normal_distribution<float> g(0.f, 1.f);
  std::vector<float3> dirs = {f3(0, 0, 1), f3(0, 0, -1), f3(1, 0, 0), f3(0, -1, 0),
                              normalized(f3(1, 1, 1)), normalized(f3(1, -1, 0))};
  for (int i = 0; i < 100; ++i) dirs.push_back(normalized(f3(g(rng), g(rng), g(rng))));
  for (const float3& v : dirs) {
    float3 u, w;
    pf::view_frame(v, u, w);
    EXPECT_NEAR(pf::length(u), 1.f, 1e-6);
    EXPECT_NEAR(pf::length(w), 1.f, 1e-6);
    EXPECT_NEAR(pf::dot(u, v), 0.f, 1e-6);
    EXPECT_NEAR(pf::dot(w, v), 0.f, 1e-6);
    EXPECT_NEAR(pf::dot(u, w), 0.f, 1e-6);
  }
  // Equal magnitudes take the last case: u along (-v.y, v.x, 0).
  float3 u, w;
  const float3 v = normalized(f3(1, 1, 1));
  pf::view_frame(v, u, w);
  EXPECT_NEAR(u.x, -std::sqrt(0.5f), 1e-6);
  EXPECT_NEAR(u.y, std::sqrt(0.5f), 1e-6);
  EXPECT_EQ(u.z, 0.f);
}

namespace {

// Two cameras overlapping on one patch and a patch seen by camera 0 alone.
ParticleSet supportScene() {
  const pf_test::PlaneScene scene;
  ParticleSet s;
  scene.addCamera(s.particles, s.offsets, s.normals, f3(0, 0, 0), 0, -0.2f, -0.2f, 20, 0.02f,
                  0.002f, 3);
  scene.addCamera(s.particles, s.offsets, s.normals, f3(0.5f, 0, 0), 1, -0.19f, -0.19f, 20, 0.02f,
                  0.002f, 4);
  ParticleSet lone;
  scene.addCamera(lone.particles, lone.offsets, lone.normals, f3(0, 0, 0), 0, 0.5f, 0.5f, 10,
                  0.02f, 0.002f, 5);
  for (size_t i = 0; i < lone.particles.size(); ++i) {
    lone.particles[i].pixel += 1000;
    s.particles.push_back(lone.particles[i]);
    s.offsets.push_back(lone.offsets[i]);
    s.normals.push_back(lone.normals[i]);
  }
  // Plane normals, facing the cameras.
  for (float3& n : s.normals) n = pf::scale(scene.trueNormal(), -1.f);
  return s;
}

}  // namespace

TEST(ParticleSupport, OverlapSupportsLonePatchDoesNot) {
  use_normal_dot_weight = true;
  ParticleSet s = supportScene();
  const size_t n = s.particles.size();
  std::vector<float> support(5, 42.f);
  const int counter = debug_ostrel_particle_iteration;
  compute_particle_support(support, s.particles, s.offsets, s.normals, 0.02f, 2.f);
  EXPECT_EQ(debug_ostrel_particle_iteration, counter);
  EXPECT_EQ(ComputeParticleSupportFunctor::min_support, 2.f);
  ASSERT_EQ(support.size(), n);

  // The set comes back in the cell order of the effective positions, support lined up with it.
  float3 lo;
  compute_particles_bounds(&lo, nullptr, s.particles, s.offsets);
  const float m = 10.f * 0.02f;
  const float3 origin = f3(lo.x - m, lo.y - m, lo.z - m);
  const std::vector<unsigned long long> keys = baseKeys(s.particles, origin, 0.02f);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));

  int supported_inner = 0, inner = 0;
  for (size_t i = 0; i < n; ++i) {
    const Particle& p = s.particles[i];
    if (p.pixel >= 1000) {
      EXPECT_EQ(support[i], 0.f) << "lone point " << i;
      continue;
    }
    EXPECT_LE(support[i], 3.f);
    const float3 q = p.position;
    if (std::fabs(q.x) < 0.15f && std::fabs(q.y) < 0.15f) {
      ++inner;
      if (support[i] > 2.f) ++supported_inner;
    }
  }
  EXPECT_GT(supported_inner, inner * 9 / 10);

  // Thresholding right after keeps exactly the supported points.
  std::vector<std::pair<int, int>> expected;
  for (size_t i = 0; i < n; ++i)
    if (support[i] >= 2.f) expected.push_back({s.particles[i].camera, s.particles[i].pixel});
  threshold_particles<float>(support, s.particles, s.offsets, s.normals, 2.f, FLT_MAX);
  std::vector<std::pair<int, int>> kept;
  for (const Particle& p : s.particles) {
    kept.push_back({p.camera, p.pixel});
    EXPECT_LT(p.pixel, 1000);
  }
  std::sort(expected.begin(), expected.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, expected);
}

TEST(ParticleSupport, SameForOneAndEightThreadsAndEmptySet) {
  ParticleSet one = supportScene(), eight = one;
  std::vector<float> s1, s8;
  {
    ThreadCount tc(1);
    compute_particle_support(s1, one.particles, one.offsets, one.normals, 0.02f, 2.f);
  }
  {
    ThreadCount tc(8);
    compute_particle_support(s8, eight.particles, eight.offsets, eight.normals, 0.02f, 2.f);
  }
  expectSameBytes(one, eight);
  EXPECT_EQ(s1, s8);

  ParticleSet empty;
  std::vector<float> support(3, 1.f);
  const int counter = debug_ostrel_particle_iteration;
  compute_particle_support(support, empty.particles, empty.offsets, empty.normals, 0.02f, 2.f);
  EXPECT_TRUE(support.empty());
  EXPECT_EQ(debug_ostrel_particle_iteration, counter);
}

// The C library registers the destructor of a thread_local object on the object's first use in
// a thread, and ends the process when it cannot take the memory for that. Counted here, for the
// threads other than the process's first, while `counting` is set.
namespace {
std::atomic<bool> counting{false};
std::atomic<int> registrations{0};
}  // namespace

extern "C" int __cxa_thread_atexit_impl(void (*destructor)(void*), void* object, void* dso) {
  typedef int (*Register)(void (*)(void*), void*, void*);
  static const Register next =
      reinterpret_cast<Register>(dlsym(RTLD_NEXT, "__cxa_thread_atexit_impl"));
  if (counting && syscall(SYS_gettid) != getpid()) ++registrations;
  return next(destructor, object, dso);
}

TEST(FilterParticles, NoThreadRegistersADestructor) {
  // A thread of its own, whose OpenMP team is new too: nothing of an earlier test was made on
  // these threads.
  const pf_test::PlaneScene scene;
  ParticleSet s = noisyPlane(scene, 0.01f), t = supportScene();
  counting = true;
  std::thread run([&] {
    ThreadCount tc(4);
    filterPlane(s);
    std::vector<float> support;
    compute_particle_support(support, t.particles, t.offsets, t.normals, 0.02f, 2.f);
  });
  run.join();
  counting = false;
  EXPECT_EQ(registrations, 0);
}
