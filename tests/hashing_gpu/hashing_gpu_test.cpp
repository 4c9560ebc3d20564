// The GPU cell table, handle sort and hash map against their host counterparts and against
// answers worked out by hand.
#include <gtest/gtest.h>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "hashing.h"
#include "hashing_gpu.h"
#include "support/test_support.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace {

using tessivar_test::AllocationGuard;
typedef unsigned long long Key;

template <class T>
yv::Array<T, 1> hostView(std::vector<T>& v) {
  return yv::internal::decreaseArrayDimension<T, 4, 1>(
      yv::internal::packedHostArray4(v.data(), unsigned(v.size()), 1, 1));
}

// A device copy of a vector, released with the object.
template <class T>
class Device {
 public:
  explicit Device(std::vector<T> v) {
    a_ = yv::internal::decreaseArrayDimension<T, 4, 1>(
        yv::mallocDeviceArray<T>(make_uint4(unsigned(v.size()), 1, 1, 1), yv::PITCHED));
    yv::arrayCopy<T, 1>(a_, hostView(v));
  }
  ~Device() { yv::releaseArray(a_); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  yv::Array<T, 1>& get() { return a_; }

 private:
  yv::Array<T, 1> a_;
};

template <class T>
std::vector<T> toHost(const yv::Array<T, 1>& a) {
  std::vector<T> v(a.size.x);
  if (!v.empty()) {
    yv::Array<T, 1> h = hostView(v);
    yv::arrayCopy<T, 1>(h, a);
  }
  return v;
}

// Sorted keys with runs of random length, ending in a run of invalid keys.
std::vector<Key> sortedKeysWithRuns(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<Key> step(1, 1000);
  std::uniform_int_distribution<int> run(1, 6);
  std::vector<Key> keys;
  Key k = step(rng);
  while (keys.size() < n) {
    for (int r = run(rng); r > 0 && keys.size() < n; --r) keys.push_back(k);
    k += step(rng);
  }
  for (size_t i = n - n / 50; i < n; ++i) keys[i] = invalid_cell_key;
  return keys;
}

struct CellTable {
  std::vector<Key> keys;
  std::vector<unsigned> starts;
};

CellTable gpuCellTable(const std::vector<Key>& sorted) {
  Device<Key> keys(sorted);
  yv::Array<Key, 1> cell_keys;
  yv::Array<unsigned, 1> cell_starts;
  create_cell_start_index_table(cell_keys, cell_starts, keys.get());
  CellTable t{toHost(cell_keys), toHost(cell_starts)};
  yv::releaseArray(cell_keys);
  yv::releaseArray(cell_starts);
  return t;
}

HashMap gpuHashMap(const std::vector<Key>& keys, const std::vector<unsigned>& values,
                   float load_factor, std::string* printed = nullptr) {
  Device<Key> k(keys);
  Device<unsigned> v(values);
  testing::internal::CaptureStdout();
  HashMap map;
  try {
    map = create_hash_map(k.get(), v.get(), load_factor);
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  const std::string out = testing::internal::GetCapturedStdout();
  if (printed) *printed = out;
  return map;
}

void expectSameMap(const HashMap& gpu, const HashMap& host) {
  EXPECT_EQ(gpu.size, host.size);
  EXPECT_EQ(gpu.keys, host.keys);
  EXPECT_EQ(gpu.values, host.values);
  EXPECT_EQ(gpu.max_ages, host.max_ages);
  EXPECT_EQ(gpu.offsets, host.offsets);
  EXPECT_EQ(gpu.max_age, host.max_age);
}

// The offsets of the first `attempts` build attempts, drawn as every build draws them.
std::vector<std::vector<unsigned>> offsetDraws(int attempts) {
  boost::random::mt19937 generator;
  boost::random::uniform_int_distribution<unsigned> draw(0u, 2147483647u);
  std::vector<std::vector<unsigned>> d(attempts, std::vector<unsigned>(64, 0u));
  for (auto& offsets : d)
    for (int a = 1; a < 64; ++a) offsets[a] = draw(generator);
  return d;
}

// ---- cell table ---------------------------------------------------------------------------------

TEST(GpuCellTable, FlagsScanAndTablesOfShortLists) {
  AllocationGuard guard;
  {
    Device<Key> keys({5, 5, 7});
    Device<int> flags(std::vector<int>(3, 9));
    Device<int> scan(std::vector<int>(3, 9));
    identify_cell_start(flags.get(), keys.get());
    device_exclusive_scan(flags.get(), scan.get());
    EXPECT_EQ(toHost(flags.get()), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(toHost(scan.get()), (std::vector<int>{0, 1, 1}));
  }
  CellTable t = gpuCellTable({5, 5, 7});
  EXPECT_EQ(t.keys, (std::vector<Key>{5, 7}));
  EXPECT_EQ(t.starts, (std::vector<unsigned>{0, 2}));

  t = gpuCellTable({5, 5, 7, 7, 7, 9});
  EXPECT_EQ(t.keys, (std::vector<Key>{5, 7, 9}));
  EXPECT_EQ(t.starts, (std::vector<unsigned>{0, 2, 5}));

  t = gpuCellTable({invalid_cell_key});
  EXPECT_EQ(t.keys, (std::vector<Key>{invalid_cell_key}));
  EXPECT_EQ(t.starts, (std::vector<unsigned>{0}));

  // Every key equal: one cell, however long the list.
  t = gpuCellTable(std::vector<Key>(1000, invalid_cell_key));
  EXPECT_EQ(t.keys, (std::vector<Key>{invalid_cell_key}));
  EXPECT_EQ(t.starts, (std::vector<unsigned>{0}));
}

TEST(GpuCellTable, SameTablesAsTheHostOnRandomSortedKeys) {
  AllocationGuard guard;
  for (size_t n : {size_t(2), size_t(129), size_t(1000), size_t(300000)}) {
    SCOPED_TRACE(testing::Message() << n << " keys");
    const std::vector<Key> keys = sortedKeysWithRuns(n, unsigned(n));
    std::vector<Key> host_keys;
    std::vector<unsigned> host_starts;
    create_cell_start_index_table(host_keys, host_starts, keys);
    const CellTable t = gpuCellTable(keys);
    EXPECT_EQ(t.keys, host_keys);
    EXPECT_EQ(t.starts, host_starts);
  }
}

TEST(GpuCellTable, CoversEveryEntryOfListsBeyondSinglePrecisionCounts) {
  // 2^24 + 3 entries: a block count formed in single precision would drop the last threads.
  const size_t n = (size_t(1) << 24) + 3;
  std::vector<Key> keys(n, 1);
  keys[n - 2] = 2;
  keys[n - 1] = 3;
  AllocationGuard guard;
  const CellTable t = gpuCellTable(keys);
  EXPECT_EQ(t.keys, (std::vector<Key>{1, 2, 3}));
  EXPECT_EQ(t.starts, (std::vector<unsigned>{0, unsigned(n - 2), unsigned(n - 1)}));
}

TEST(GpuCellTable, OutputsAreNewArraysAndTheOldOnesStayWithTheCaller) {
  AllocationGuard guard;
  Device<Key> keys({3, 3, 4});
  Device<Key> old_keys({0});
  Device<unsigned> old_starts({0});
  yv::Array<Key, 1> cell_keys = old_keys.get();
  yv::Array<unsigned, 1> cell_starts = old_starts.get();
  create_cell_start_index_table(cell_keys, cell_starts, keys.get());
  EXPECT_NE(cell_keys.ptr, old_keys.get().ptr);
  EXPECT_NE(cell_starts.ptr, old_starts.get().ptr);
  EXPECT_EQ(cell_keys.size.x, 2u);
  EXPECT_EQ(cell_starts.size.x, 2u);
  EXPECT_NE(cell_keys.device, -1);
  EXPECT_EQ(guard.live(), 5u);  // the three inputs and the two new tables
  EXPECT_EQ(toHost(cell_keys), (std::vector<Key>{3, 4}));
  EXPECT_EQ(toHost(cell_starts), (std::vector<unsigned>{0, 2}));
  yv::releaseArray(cell_keys);
  yv::releaseArray(cell_starts);
}

TEST(GpuCellTable, EmptyListsAndHostArrays) {
  AllocationGuard guard;
  Device<Key> some({1});
  yv::Array<Key, 1> empty = some.get();
  empty.size.x = 0;
  yv::Array<Key, 1> cell_keys;
  yv::Array<unsigned, 1> cell_starts;
  create_cell_start_index_table(cell_keys, cell_starts, empty);
  EXPECT_EQ(cell_keys.ptr, nullptr);
  EXPECT_EQ(cell_keys.size.x, 0u);
  EXPECT_EQ(cell_starts.ptr, nullptr);
  EXPECT_EQ(cell_starts.size.x, 0u);
  yv::releaseArray(cell_keys);  // releasing the empty tables is harmless
  yv::releaseArray(cell_starts);

  std::vector<Key> host_keys{1, 2};
  EXPECT_THROW_MESSAGE(create_cell_start_index_table(cell_keys, cell_starts, hostView(host_keys)),
                       "create_cell_start_index_table: array 'keys' must be in device memory\n");
}

// ---- sort -------------------------------------------------------------------------------------------

TEST(GpuSort, StableLikeTheHostSort) {
  AllocationGuard guard;
  {
    Device<Key> keys({7, 3, 7, 3, 5});
    Device<unsigned> handles({0, 1, 2, 3, 4});
    sort_particle_handles(handles.get(), keys.get());
    EXPECT_EQ(toHost(keys.get()), (std::vector<Key>{3, 3, 5, 7, 7}));
    EXPECT_EQ(toHost(handles.get()), (std::vector<unsigned>{1, 3, 4, 0, 2}));
  }
  std::mt19937_64 rng(77);
  for (size_t n : {size_t(1), size_t(1000), size_t(250000)}) {
    SCOPED_TRACE(testing::Message() << n << " keys");
    // Few distinct keys, so that long runs of equal keys test the stability; some invalid.
    std::uniform_int_distribution<Key> any(0, 200);
    std::vector<Key> keys(n);
    for (Key& k : keys) k = any(rng) < 190 ? morton_encode_cell(any(rng), 3, 9) : invalid_cell_key;
    std::vector<unsigned> handles(n);
    for (size_t i = 0; i < n; ++i) handles[i] = unsigned((i * 7919) % n);
    Device<Key> dkeys(keys);
    Device<unsigned> dhandles(handles);
    sort_particle_handles(dhandles.get(), dkeys.get());
    sort_particle_handles(handles, keys);
    EXPECT_EQ(toHost(dkeys.get()), keys);
    EXPECT_EQ(toHost(dhandles.get()), handles);
  }
}

TEST(GpuSort, RefusesShortHandleListsAndHostArrays) {
  AllocationGuard guard;
  Device<Key> keys({4, 3, 2});
  Device<unsigned> handles({0, 1});
  EXPECT_THROW_MESSAGE(sort_particle_handles(handles.get(), keys.get()),
                       "sort_particle_handles: array 'handles' has fewer entries than 'keys'\n"
                       " handles: 2 keys: 3\n");
  EXPECT_EQ(toHost(keys.get()), (std::vector<Key>{4, 3, 2}));  // untouched

  std::vector<unsigned> host_handles{0, 1, 2};
  EXPECT_THROW_MESSAGE(sort_particle_handles(hostView(host_handles), keys.get()),
                       "sort_particle_handles: array 'handles' must be in device memory\n");
}

// ---- hash map ---------------------------------------------------------------------------------------

TEST(GpuHashMap, OneKey) {
  AllocationGuard guard;
  std::string printed;
  const HashMap map = gpuHashMap({123456789ULL}, {7u}, 0.8f, &printed);
  EXPECT_EQ(printed,
            "hash map size is 1\n"
            "trying to build hash map: attempt 1\n"
            " max age is 1\n");
  EXPECT_EQ(map.size, 1u);
  EXPECT_EQ(map.keys, (std::vector<Key>{123456789ULL}));
  EXPECT_EQ(map.values, (std::vector<unsigned>{7u}));
  EXPECT_EQ(map.max_ages, (std::vector<unsigned>{1u}));
  EXPECT_EQ(map.max_age, 1u);
  EXPECT_EQ(map.offsets, offsetDraws(1)[0]);
  EXPECT_EQ(hash_map_lookup(map, 123456789ULL), 7u);
}

TEST(GpuHashMap, LargerKeyKeepsTheSharedHomeSlot) {
  // Four keys, five slots: 5 and 10 share home slot 0; the other two keys keep the age-2 slot
  // of 5 free. Whichever of 5 and 10 comes first, 10 stays home and 5 moves to age 2.
  AllocationGuard guard;
  const unsigned free_slot = offsetDraws(1)[0][1] % 5;
  ASSERT_NE(free_slot, 0u);
  std::vector<Key> others;
  for (Key k = 1; k < 5 && others.size() < 2; ++k)
    if (k != free_slot) others.push_back(k);
  for (bool large_first : {false, true}) {
    const std::vector<Key> keys = {large_first ? 10ULL : 5ULL, large_first ? 5ULL : 10ULL,
                                   others[0], others[1]};
    const std::vector<unsigned> values = {unsigned(keys[0]), unsigned(keys[1]), 100, 200};
    const HashMap map = gpuHashMap(keys, values, 0.8f);
    ASSERT_EQ(map.size, 5u);
    EXPECT_EQ(map.keys[0], 10ULL);
    EXPECT_EQ(map.values[0], 10u);
    EXPECT_EQ(map.keys[free_slot], 5ULL);
    EXPECT_EQ(map.values[free_slot], 5u);
    EXPECT_EQ(map.max_ages[0], 2u);
    EXPECT_EQ(map.max_age, 2u);
    expectSameMap(map, create_hash_map(keys, values, 0.8f));
  }
}

TEST(GpuHashMap, SameMapAsTheHostOnRandomAndDenseKeySets) {
  AllocationGuard guard;
  std::mt19937_64 rng(2025);
  std::uniform_int_distribution<Key> any_key(0, invalid_cell_key - 1);
  std::vector<std::vector<Key>> sets;
  for (size_t n : {size_t(5), size_t(1000), size_t(200000)}) {
    std::set<Key> unique;
    while (unique.size() < n) unique.insert(any_key(rng));
    sets.emplace_back(unique.begin(), unique.end());
  }
  // Keys of a block of neighbouring cells collide far more than random keys.
  std::vector<Key> dense;
  for (unsigned z = 10; z < 40; ++z)
    for (unsigned y = 10; y < 40; ++y)
      for (unsigned x = 10; x < 40; ++x) dense.push_back(morton_encode_cell(x, y, z));
  sets.push_back(dense);

  for (const std::vector<Key>& keys : sets) {
    SCOPED_TRACE(testing::Message() << keys.size() << " keys");
    std::vector<unsigned> values(keys.size());
    for (size_t i = 0; i < values.size(); ++i) values[i] = unsigned(i * 3 + 1);
    std::string printed;
    const HashMap gpu = gpuHashMap(keys, values, 0.8f, &printed);
    const HashMap host = create_hash_map(keys, values, 0.8f);
    expectSameMap(gpu, host);

    std::stringstream expected;
    expected << "hash map size is " << unsigned(float(keys.size()) / 0.8f) << "\n"
             << "trying to build hash map: attempt 1\n"
             << " max age is " << host.max_age << "\n";
    EXPECT_EQ(printed, expected.str());

    size_t occupied = 0;
    for (unsigned s = 0; s < gpu.size; ++s) {
      if (gpu.keys[s] == 0xFFFFFFFFFFFFFFFFULL)
        EXPECT_EQ(gpu.values[s], 0xFFFFFFFFu);
      else
        ++occupied;
    }
    EXPECT_EQ(occupied, keys.size());
    for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(hash_map_lookup(gpu, keys[i]), values[i]);
  }
}

TEST(GpuHashMap, LostKeysStartAnotherAttemptWithTheNextOffsets) {
  // Keys equal modulo the slot count share one probe sequence, so c of them fit only where the
  // 64 offsets of an attempt reach at least c distinct slots. Pick a slot count at which the
  // first two attempts reach fewer slots than the third.
  AllocationGuard guard;
  const std::vector<std::vector<unsigned>> draws = offsetDraws(3);
  unsigned slots = 0, c = 0;
  for (unsigned S = 2; S < 1000 && !slots; ++S) {
    unsigned reach[3];
    for (int t = 0; t < 3; ++t) {
      std::set<unsigned> distinct;
      for (unsigned o : draws[t]) distinct.insert(o % S);
      reach[t] = unsigned(distinct.size());
    }
    if (reach[0] < reach[2] && reach[1] < reach[2]) {
      slots = S;
      c = reach[2];
    }
  }
  ASSERT_NE(slots, 0u);
  std::vector<Key> keys;
  std::vector<unsigned> values;
  for (unsigned j = 0; j < c; ++j) {
    keys.push_back(Key(j + 1000) * slots);
    values.push_back(j);
  }
  const float load_factor = float(c) / (float(slots) + 0.5f);
  std::string printed;
  const HashMap gpu = gpuHashMap(keys, values, load_factor, &printed);
  ASSERT_EQ(gpu.size, slots);
  EXPECT_EQ(gpu.offsets, draws[2]);
  std::stringstream expected;
  expected << "hash map size is " << slots << "\n"
           << "trying to build hash map: attempt 1\n"
           << "trying to build hash map: attempt 2\n"
           << "trying to build hash map: attempt 3\n"
           << " max age is " << gpu.max_age << "\n";
  EXPECT_EQ(printed, expected.str());
  expectSameMap(gpu, create_hash_map(keys, values, load_factor));
  for (unsigned j = 0; j < c; ++j) EXPECT_EQ(hash_map_lookup(gpu, keys[j]), j);
}

TEST(GpuHashMap, RefusedAndEmptyInputs) {
  AllocationGuard guard;
  EXPECT_THROW_MESSAGE(gpuHashMap({1, 2, 3, 4}, {0, 1, 2, 3}, 1.5f),
                       "create_hash_map: load factor 1.5 leaves fewer slots than the 4 keys\n");
  EXPECT_THROW_MESSAGE(gpuHashMap({1, 2}, {0, 1}, 0.f),
                       "create_hash_map: load factor 0 leaves fewer slots than the 2 keys\n");
  EXPECT_THROW_MESSAGE(gpuHashMap({1, 2, 3}, {0, 1}, 0.8f),
                       "create_hash_map: array 'input_values' has fewer entries than "
                       "'input_keys'\n input_values: 2 input_keys: 3\n");

  Device<Key> keys({1, 2});
  std::vector<unsigned> host_values{0, 1};
  EXPECT_THROW_MESSAGE(create_hash_map(keys.get(), hostView(host_values), 0.8f),
                       "create_hash_map: array 'input_values' must be in device memory\n");

  yv::Array<Key, 1> no_keys = keys.get();
  no_keys.size.x = 0;
  Device<unsigned> values(host_values);
  const HashMap empty = create_hash_map(no_keys, values.get(), 0.8f);
  EXPECT_EQ(empty.size, 0u);
  EXPECT_TRUE(empty.keys.empty());
  EXPECT_EQ(empty.max_age, 0u);
  EXPECT_EQ(hash_map_lookup(empty, 1ULL), empty_cell_start);
}

TEST(GpuHashMap, MaximumOfTheAgeTable) {
  AllocationGuard guard;
  Device<unsigned> ages({0, 3, 64, 2, 64, 1});
  EXPECT_EQ(device_max_element(ages.get()), 64u);
  yv::Array<unsigned, 1> none = ages.get();
  none.size.x = 0;
  EXPECT_THROW_MESSAGE(device_max_element(none), "device_max_element: the array is empty");
}

}  // namespace
