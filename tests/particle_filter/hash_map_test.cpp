// The aged hash map of cells: construction, lookup, and its invariants at several team sizes.
#include <gtest/gtest.h>
#include <omp.h>

#include <random>
#include <set>
#include <stdexcept>

#include "hashing.h"

namespace {

class ThreadCount {
 public:
  explicit ThreadCount(int n) : saved_(omp_get_max_threads()) { omp_set_num_threads(n); }
  ~ThreadCount() { omp_set_num_threads(saved_); }

 private:
  int saved_;
};

// Every key sits in exactly one slot at an age within its home slot's bound; every other slot is
// empty; lookups find every key's value.
void checkMap(const HashMap& map, const std::vector<unsigned long long>& keys,
              const std::vector<unsigned int>& values) {
  ASSERT_EQ(map.size, map.keys.size());
  ASSERT_EQ(map.values.size(), map.size);
  ASSERT_EQ(map.max_ages.size(), map.size);
  ASSERT_EQ(map.offsets.size(), 64u);
  EXPECT_EQ(map.offsets[0], 0u);
  for (unsigned o : map.offsets) EXPECT_LE(o, 2147483647u);
  EXPECT_EQ(map.size, unsigned(float(keys.size()) / 0.8f));
  unsigned largest = 0;
  for (unsigned a : map.max_ages) largest = std::max(largest, a);
  EXPECT_EQ(map.max_age, largest);

  size_t occupied = 0;
  for (unsigned s = 0; s < map.size; ++s) {
    if (map.keys[s] == 0xFFFFFFFFFFFFFFFFULL) {
      EXPECT_EQ(map.values[s], 0xFFFFFFFFu);
    } else {
      ++occupied;
    }
  }
  EXPECT_EQ(occupied, keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(hash_map_lookup(map, keys[i]), values[i]) << "key " << keys[i];
  }
}

}  // namespace

TEST(HashMap, OneKey) {
  const HashMap map = create_hash_map({123456789ULL}, {7u}, 0.8f);
  EXPECT_EQ(map.size, 1u);
  EXPECT_EQ(map.keys, (std::vector<unsigned long long>{123456789ULL}));
  EXPECT_EQ(map.values, (std::vector<unsigned int>{7u}));
  EXPECT_EQ(map.max_ages, (std::vector<unsigned int>{1u}));
  EXPECT_EQ(map.max_age, 1u);
  EXPECT_EQ(hash_map_lookup(map, 123456789ULL), 7u);
  EXPECT_EQ(hash_map_lookup(map, 5ULL), empty_cell_start);
}

TEST(HashMap, LargerKeyKeepsTheSharedHomeSlot) {
  // Four keys, five slots: 5 and 10 share home slot 0; the age-2 slot of 5 is (5 + offsets[1])
  // mod 5, kept free by choosing the other two keys' home slots. Every build draws the same
  // offsets, so offsets[1] can be read from any build.
  const unsigned free_slot = create_hash_map({1, 2}, {0, 0}, 0.8f).offsets[1] % 5;
  ASSERT_NE(free_slot, 0u);
  std::vector<unsigned long long> others;
  for (unsigned long long k = 1; k < 5 && others.size() < 2; ++k)
    if (k != free_slot) others.push_back(k);
  for (int threads : {1, 8}) {
    ThreadCount tc(threads);
    for (bool large_first : {false, true}) {
      std::vector<unsigned long long> keys = {large_first ? 10ULL : 5ULL,
                                              large_first ? 5ULL : 10ULL, others[0], others[1]};
      std::vector<unsigned int> values = {unsigned(keys[0]), unsigned(keys[1]), 100, 200};
      const HashMap map = create_hash_map(keys, values, 0.8f);
      ASSERT_EQ(map.size, 5u);
      EXPECT_EQ(map.keys[0], 10ULL);
      EXPECT_EQ(map.values[0], 10u);
      EXPECT_EQ(map.keys[free_slot], 5ULL);
      EXPECT_EQ(map.values[free_slot], 5u);
      EXPECT_EQ(map.max_ages[0], 2u);
      EXPECT_EQ(map.max_age, 2u);
      checkMap(map, keys, values);
    }
  }
}

TEST(HashMap, RandomKeySetsAtSeveralTeamSizes) {
  std::mt19937_64 rng(2024);
  std::uniform_int_distribution<unsigned long long> any_key(0, (1ULL << 48) - 2);
  for (size_t n : {size_t(1), size_t(5), size_t(1000), size_t(200000)}) {
    std::set<unsigned long long> unique;
    while (unique.size() < n) unique.insert(any_key(rng));
    const std::vector<unsigned long long> keys(unique.begin(), unique.end());
    std::vector<unsigned int> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = unsigned(i * 3 + 1);

    // Keys that were never inserted, some sharing home slots with inserted ones.
    std::vector<unsigned long long> absent;
    while (absent.size() < 1000) {
      const unsigned long long k = any_key(rng);
      if (!unique.count(k)) absent.push_back(k);
    }
    for (int threads : {1, 3, 8}) {
      SCOPED_TRACE(testing::Message() << n << " keys, " << threads << " threads");
      ThreadCount tc(threads);
      const HashMap map = create_hash_map(keys, values, 0.8f);
      checkMap(map, keys, values);
      for (unsigned long long k : absent) ASSERT_EQ(hash_map_lookup(map, k), empty_cell_start);
      const unsigned long long neighbour_of_first = keys[0] + map.size;  // same home slot
      if (!unique.count(neighbour_of_first)) {
        EXPECT_EQ(hash_map_lookup(map, neighbour_of_first), empty_cell_start);
      }
    }
  }
}

TEST(HashMap, DenseCellKeysOfAGrid) {
  // Keys of a block of neighbouring cells collide far more than random keys.
  std::vector<unsigned long long> keys;
  for (unsigned z = 10; z < 40; ++z)
    for (unsigned y = 10; y < 40; ++y)
      for (unsigned x = 10; x < 40; ++x) keys.push_back(morton_encode_cell(x, y, z));
  std::sort(keys.begin(), keys.end());
  std::vector<unsigned int> values(keys.size());
  for (size_t i = 0; i < values.size(); ++i) values[i] = unsigned(i);
  const HashMap map = create_hash_map(keys, values, 0.8f);
  checkMap(map, keys, values);
}

TEST(HashMap, SameOffsetsInEveryBuildAndAbsentWithoutProbing) {
  const HashMap a = create_hash_map({3, 99, 1000}, {0, 1, 2}, 0.8f);
  const HashMap b = create_hash_map({8, 12, 77, 5000, 6001}, {0, 1, 2, 3, 4}, 0.8f);
  // Both succeed at once with such few keys, so both use the first draw.
  EXPECT_EQ(a.offsets, b.offsets);

  // A key whose home slot has max age 0 is absent.
  for (unsigned s = 0; s < b.size; ++s)
    if (b.max_ages[s] == 0) {
      EXPECT_EQ(hash_map_lookup(b, s), empty_cell_start);
    }
}

TEST(HashMap, EmptyListAndTooHighLoadFactor) {
  const HashMap empty = create_hash_map({}, {}, 0.8f);
  EXPECT_EQ(empty.size, 0u);
  EXPECT_EQ(empty.max_age, 0u);
  EXPECT_EQ(hash_map_lookup(empty, 0ULL), empty_cell_start);

  // Fewer slots than keys can never succeed; it must not retry forever.
  EXPECT_THROW(create_hash_map({1, 2, 3, 4}, {0, 1, 2, 3}, 1.5f), std::runtime_error);
  EXPECT_THROW(create_hash_map({1, 2}, {0, 1}, 0.f), std::runtime_error);
}
