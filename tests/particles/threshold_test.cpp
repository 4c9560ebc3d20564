// Compaction of the particle set.
#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "particles.h"

namespace {

struct Set {
  std::vector<Particle> particles;
  std::vector<float> offsets;
  std::vector<float3> normals;
  explicit Set(int n) : particles(n), offsets(n), normals(n) {
    for (int i = 0; i < n; ++i) {
      particles[i].pixel = i;
      offsets[i] = 0.5f * float(i);
      normals[i] = make_float3(float(i), 0.f, 1.f);
    }
  }
  std::vector<int> order() const {
    std::vector<int> o;
    for (std::size_t k = 0; k < particles.size(); ++k) {
      const int i = particles[k].pixel;
      EXPECT_EQ(offsets[k], 0.5f * float(i)) << "offsets out of step at " << k;
      EXPECT_EQ(normals[k].x, float(i)) << "normals out of step at " << k;
      o.push_back(i);
    }
    return o;
  }
};

TEST(ThresholdParticles, HolesAreFilledFromTheBack) {
  Set s(6);
  std::vector<int> marks = {1, 0, 1, 0, 1, 1};
  threshold_particles<int>(marks, s.particles, s.offsets, s.normals, 1, 1);
  EXPECT_EQ(s.order(), (std::vector<int>{0, 5, 2, 4}));
  EXPECT_EQ(marks, (std::vector<int>{1, 0, 1, 0, 1, 1})) << "values are left unchanged";
}

TEST(ThresholdParticles, BoundsAreInclusiveAndNaNIsDropped) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float top = std::numeric_limits<float>::max();
  Set s(5);
  std::vector<float> support = {2.0f, 1.999f, nan, top, 3.5f};
  threshold_particles<float>(support, s.particles, s.offsets, s.normals, 2.0f, top);
  EXPECT_EQ(s.order(), (std::vector<int>{0, 4, 3}));
  EXPECT_EQ(support.size(), 5u);
}

TEST(ThresholdParticles, EmptyAllAndNone) {
  Set empty(0);
  std::vector<int> none;
  threshold_particles<int>(none, empty.particles, empty.offsets, empty.normals, 0, 1);
  EXPECT_TRUE(empty.particles.empty());

  Set all(7);
  std::vector<int> v(7, 1);
  threshold_particles<int>(v, all.particles, all.offsets, all.normals, 0, 2);
  EXPECT_EQ(all.order(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));

  Set nothing(4);
  std::vector<int> w(4, 1);
  threshold_particles<int>(w, nothing.particles, nothing.offsets, nothing.normals, 2, 1);
  EXPECT_TRUE(nothing.particles.empty() && nothing.offsets.empty() && nothing.normals.empty());
}

TEST(ThresholdParticles, SameResultForAnyThreadCount) {
  const int n = 100003;
  std::vector<float> values(n);
  for (int i = 0; i < n; ++i) values[i] = float((i * 7919) % 13);
  std::vector<std::vector<int>> results;
  for (int threads : {1, 3, 8}) {
    omp_set_num_threads(threads);
    Set s(n);
    threshold_particles<float>(values, s.particles, s.offsets, s.normals, 4.f, 9.f);
    std::vector<int> o;
    for (auto& p : s.particles) o.push_back(p.pixel);
    for (int i : o) ASSERT_TRUE(values[i] >= 4.f && values[i] <= 9.f);
    results.push_back(o);
  }
  omp_set_num_threads(omp_get_num_procs());
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(results[0], results[2]);
  EXPECT_EQ(results[0].size(), std::size_t(std::count_if(values.begin(), values.end(), [](float v) {
              return v >= 4.f && v <= 9.f;
            })));
}

}  // namespace
