// Cell keys, bounds and cell tables of the uniform grid.
#include <gtest/gtest.h>
#include <omp.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "fixtures.h"
#include "hashing.h"

using pf_test::f3;
using pf_test::makeParticle;

TEST(MortonKey, KnownKeysAndRoundTrip) {
  EXPECT_EQ(morton_encode_cell(0, 0, 0), 0ULL);
  EXPECT_EQ(morton_encode_cell(1, 0, 0), 1ULL);
  EXPECT_EQ(morton_encode_cell(0, 1, 0), 2ULL);
  EXPECT_EQ(morton_encode_cell(0, 0, 1), 4ULL);
  EXPECT_EQ(morton_encode_cell(3, 0, 0), 9ULL);
  EXPECT_EQ(morton_encode_cell(65535, 65535, 65535), 281474976710655ULL);
  EXPECT_EQ(invalid_cell_key, (1ULL << 48) - 1);
  // Bit i of x on bit 3i, of y on 3i + 1, of z on 3i + 2.
  EXPECT_EQ(morton_encode_cell(0x8000, 0, 0), 1ULL << 45);
  EXPECT_EQ(morton_encode_cell(0, 0x8000, 0), 1ULL << 46);
  EXPECT_EQ(morton_encode_cell(0, 0, 0x8000), 1ULL << 47);

  std::mt19937 rng(7);
  std::uniform_int_distribution<unsigned> coord(0, 65535);
  for (int i = 0; i < 1000; ++i) {
    const unsigned x = coord(rng), y = coord(rng), z = coord(rng);
    const unsigned long long key = morton_encode_cell(x, y, z);
    EXPECT_LT(key, 1ULL << 48);
    unsigned dx, dy, dz;
    morton_decode_cell(key, dx, dy, dz);
    ASSERT_EQ(dx, x);
    ASSERT_EQ(dy, y);
    ASSERT_EQ(dz, z);
  }
  // Z-order: sorting keys orders cells by their highest differing bit.
  EXPECT_LT(morton_encode_cell(1, 1, 1), morton_encode_cell(2, 0, 0));
}

TEST(CellKeys, BaseAndEffectivePasses) {
  const float3 origin = f3(-1.f, -2.f, -3.f);
  const float scale = 1.f / 0.5f;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float3 up = f3(0, 0, 1);
  std::vector<Particle> particles = {
      makeParticle(f3(0.f, 0.f, 0.f), up, up),     // cell (2, 4, 6)
      makeParticle(f3(nan, 0.f, 0.f), up, up),     // non-finite x
      makeParticle(f3(inf, 0.f, 0.f), up, up),     // infinite x
      makeParticle(f3(0.f, nan, 0.f), up, up),     // non-finite y
      makeParticle(f3(0.f, 0.f, -inf), up, up),    // infinite z
      makeParticle(f3(40000.f, 0.f, 0.f), up, up),  // beyond the 16-bit grid
      makeParticle(f3(-2.f, 0.f, 0.f), up, up),     // below the origin
      makeParticle(f3(0.25f, 0.f, 0.f), up, up),    // cell (2, 4, 6) as well
  };
  std::vector<float> offsets = {1.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f, nan};

  std::vector<unsigned long long> base(particles.size());
  compute_cell_keys_base(base, particles, origin, scale);
  EXPECT_EQ(base[0], morton_encode_cell(2, 4, 6));
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(base[i], invalid_cell_key) << "record " << i;
  EXPECT_EQ(base[7], morton_encode_cell(2, 4, 6));

  std::vector<unsigned int> handles = {7, 6, 5, 4, 3, 2, 1, 0};
  std::vector<unsigned long long> eff(particles.size());
  compute_cell_keys_effective(eff, handles, particles, offsets, origin, scale);
  // Entry i belongs to record handles[i]; record 0 moved one unit up: cell (2, 4, 8).
  EXPECT_EQ(eff[7], morton_encode_cell(2, 4, 8));
  for (int i = 0; i < 7; ++i) EXPECT_EQ(eff[i], invalid_cell_key) << "entry " << i;  // NaN offset
}

TEST(CellKeys, KeyOfPointAgreesWithFloorOfScaledDistance) {
  const float3 origin = f3(0.1f, 0.2f, 0.3f);
  const float scale = 1.f / 0.07f;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(1.f, 50.f);
  for (int i = 0; i < 200; ++i) {
    const float3 p = f3(u(rng), u(rng), u(rng));
    const unsigned long long key = cell_key_of_point(p, origin, scale);
    unsigned x, y, z;
    morton_decode_cell(key, x, y, z);
    EXPECT_EQ(x, unsigned(std::floor((p.x - origin.x) * scale)));
    EXPECT_EQ(y, unsigned(std::floor((p.y - origin.y) * scale)));
    EXPECT_EQ(z, unsigned(std::floor((p.z - origin.z) * scale)));
  }
}

TEST(Bounds, BaseAndEffectivePositionsOfValidRecords) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<Particle> particles = {
      makeParticle(f3(1, 2, 3), f3(0, 0, 1), f3(0, 0, 1)),
      makeParticle(f3(nan, -50, -50), f3(0, 0, 1), f3(0, 0, 1)),
      makeParticle(f3(0.5f, -inf, 2), f3(0, 0, 1), f3(0, 0, 1)),
  };
  std::vector<float> offsets = {2.f, 0.f, nan};
  float3 lo, hi;
  compute_particles_bounds(&lo, &hi, particles, offsets);
  // Record 1 has no finite x; record 2 adds only its finite base components x and z.
  EXPECT_EQ(lo.x, 0.5f);
  EXPECT_EQ(lo.y, 2.f);
  EXPECT_EQ(lo.z, 2.f);
  EXPECT_EQ(hi.x, 1.f);
  EXPECT_EQ(hi.y, 2.f);
  EXPECT_EQ(hi.z, 5.f);

  particles.resize(1);
  offsets.resize(1);
  compute_particles_bounds(&lo, nullptr, particles, offsets);
  compute_particles_bounds(nullptr, &hi, particles, offsets);
  EXPECT_EQ(lo.x, 1.f);
  EXPECT_EQ(lo.z, 3.f);
  EXPECT_EQ(hi.z, 5.f);

  particles[0].position.x = nan;
  compute_particles_bounds(&lo, &hi, particles, offsets);
  EXPECT_EQ(lo.x, FLT_MAX);
  EXPECT_EQ(hi.y, -FLT_MAX);
}

TEST(CellTables, KnownTablesAndStatistics) {
  std::vector<unsigned long long> keys = {5, 5, 7, 7, 7, 9};
  std::vector<unsigned long long> cell_keys = {42, 43, 44, 45};  // replaced
  std::vector<unsigned int> cell_starts = {1};
  create_cell_start_index_table(cell_keys, cell_starts, keys);
  EXPECT_EQ(cell_keys, (std::vector<unsigned long long>{5, 7, 9}));
  EXPECT_EQ(cell_starts, (std::vector<unsigned int>{0, 2, 5}));
  std::vector<int> cell_sizes = {99};
  create_cell_size_prefix_sum(cell_sizes, cell_starts, 6);
  EXPECT_EQ(cell_sizes, (std::vector<int>{2, 5, 6}));
  int longest = -1;
  float average = -1.f;
  compute_cell_length_stats(&longest, &average, cell_keys, cell_starts, keys);
  EXPECT_EQ(longest, 3);
  EXPECT_EQ(average, 2.f);
  compute_cell_length_stats(nullptr, nullptr, cell_keys, cell_starts, keys);

  keys = {17};
  create_cell_start_index_table(cell_keys, cell_starts, keys);
  create_cell_size_prefix_sum(cell_sizes, cell_starts, 1);
  EXPECT_EQ(cell_keys, (std::vector<unsigned long long>{17}));
  EXPECT_EQ(cell_starts, (std::vector<unsigned int>{0}));
  EXPECT_EQ(cell_sizes, (std::vector<int>{1}));

  keys.clear();
  create_cell_start_index_table(cell_keys, cell_starts, keys);
  create_cell_size_prefix_sum(cell_sizes, cell_starts, 0);
  EXPECT_TRUE(cell_keys.empty());
  EXPECT_TRUE(cell_starts.empty());
  EXPECT_TRUE(cell_sizes.empty());
}

TEST(CellTables, LargeRandomListAgainstSerialCount) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> k(0, 3000);
  std::vector<unsigned long long> keys(100000);
  for (auto& v : keys) v = k(rng);
  std::sort(keys.begin(), keys.end());
  std::vector<unsigned long long> cell_keys;
  std::vector<unsigned int> cell_starts;
  std::vector<int> cell_sizes;
  create_cell_start_index_table(cell_keys, cell_starts, keys);
  create_cell_size_prefix_sum(cell_sizes, cell_starts, int(keys.size()));
  std::vector<unsigned long long> distinct(keys);
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  ASSERT_EQ(cell_keys, distinct);
  ASSERT_EQ(cell_sizes.back(), int(keys.size()));
  for (size_t c = 0; c < cell_keys.size(); ++c) {
    EXPECT_EQ(keys[cell_starts[c]], cell_keys[c]);
    if (cell_starts[c] > 0) {
      EXPECT_NE(keys[cell_starts[c] - 1], cell_keys[c]);
    }
    if (c + 1 < cell_keys.size()) {
      EXPECT_EQ(cell_sizes[c], int(cell_starts[c + 1]));
    }
  }
}

TEST(HandleSort, EveryBlockIsSortedWhenTheTeamIsSmallerThanThePool) {
  // Called inside a parallel region with nesting off, the sort's own region gets one thread,
  // while it splits the keys into as many blocks as the pool has threads.
  const int threads = omp_get_max_threads(), levels = omp_get_max_active_levels();
  omp_set_num_threads(4);
  omp_set_max_active_levels(1);
  const std::size_t n = 3 * parallel_min_items + 7;
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> k(0, 50);
  std::vector<unsigned long long> keys(n);
  std::vector<unsigned int> handles(n);
  for (size_t i = 0; i < n; ++i) {
    keys[i] = k(rng);
    handles[i] = unsigned(i);
  }
  int blocks = 0, team = 0;
#pragma omp parallel num_threads(2)
#pragma omp single
  {
    blocks = omp_get_max_threads();
#pragma omp parallel
#pragma omp single
    team = omp_get_num_threads();
    sort_particle_handles(handles, keys);
  }
  omp_set_max_active_levels(levels);
  omp_set_num_threads(threads);
  ASSERT_EQ(blocks, 4);
  ASSERT_EQ(team, 1);
  for (size_t i = 1; i < n; ++i) {
    ASSERT_LE(keys[i - 1], keys[i]) << i;
    if (keys[i - 1] == keys[i]) {
      ASSERT_LT(handles[i - 1], handles[i]) << i;
    }
  }
}

TEST(HandleSort, StableAndAllInvalidSetFormsOneCell) {
  std::vector<unsigned long long> keys = {9, 3, 9, 3, 1, 9};
  std::vector<unsigned int> handles = {10, 11, 12, 13, 14, 15};
  sort_particle_handles(handles, keys);
  EXPECT_EQ(keys, (std::vector<unsigned long long>{1, 3, 3, 9, 9, 9}));
  EXPECT_EQ(handles, (std::vector<unsigned int>{14, 11, 13, 10, 12, 15}));

  // Long lists with many equal keys keep the previous relative order of equal keys: one sorted
  // on this thread, and one sorted in blocks and merged by teams of several sizes.
  const int threads = omp_get_max_threads();
  for (const int team : {1, 3, 8}) {
    omp_set_num_threads(team);
    for (const std::size_t n : {std::size_t(50000), std::size_t(3 * parallel_min_items + 7)}) {
      SCOPED_TRACE(testing::Message() << team << " threads, " << n << " keys");
      std::mt19937 rng(5);
      std::uniform_int_distribution<int> k(0, 50);
      std::vector<unsigned long long> big(n);
      std::vector<unsigned int> big_handles(big.size());
      for (size_t i = 0; i < big.size(); ++i) {
        big[i] = k(rng);
        big_handles[i] = unsigned(i);
      }
      sort_particle_handles(big_handles, big);
      for (size_t i = 1; i < big.size(); ++i) {
        ASSERT_LE(big[i - 1], big[i]);
        if (big[i - 1] == big[i]) {
          ASSERT_LT(big_handles[i - 1], big_handles[i]);
        }
      }
    }
  }
  omp_set_num_threads(threads);

  std::vector<unsigned long long> empty_keys;
  std::vector<unsigned int> empty_handles;
  sort_particle_handles(empty_handles, empty_keys);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<Particle> particles(3, makeParticle(f3(nan, 0, 0), f3(0, 0, 1), f3(0, 0, 1)));
  std::vector<float> offsets(3, 0.f);
  pf_test::TestGrid grid;
  grid.build(particles, offsets, 0.1f);
  EXPECT_EQ(grid.cell_keys, (std::vector<unsigned long long>{invalid_cell_key}));
  EXPECT_EQ(grid.cell_starts, (std::vector<unsigned int>{0}));
  EXPECT_EQ(grid.cell_sizes, (std::vector<int>{3}));
}
