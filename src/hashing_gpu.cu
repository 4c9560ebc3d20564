// Kernels and host steps of the GPU cell table, handle sort and aged hash map.
#include "hashing_gpu.h"

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "yv/algorithms/basic/arithmetic.h"
#include "yv/runtime/atomics.h"
#include "yv/runtime/launch.cuh"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"

namespace {

const dim3 kKeyBlock(128, 1, 1);
const unsigned long long kKeyMask = 0xFFFFFFFFFFFFULL;  // low 48 bits: the key of an entry

// ---- kernels ------------------------------------------------------------------------------------

struct IdentifyCellStart {
  yv::Array<int, 1> flags;
  yv::Array<unsigned long long, 1> keys;
  YV_HD void operator()(unsigned i, unsigned, unsigned, unsigned) const {
    if (i >= flags.size.x) return;
    flags.ptr[i] = (i == 0 || keys.ptr[i - 1] != keys.ptr[i]) ? 1 : 0;
  }
};

struct CreateKeyValueArray {
  yv::Array<unsigned long long, 1> cell_keys;
  yv::Array<unsigned int, 1> cell_starts;
  yv::Array<int, 1> scan;
  yv::Array<unsigned long long, 1> keys;
  YV_HD void operator()(unsigned i, unsigned, unsigned, unsigned) const {
    if (i >= keys.size.x) return;
    if (i == 0 || keys.ptr[i - 1] != keys.ptr[i]) {
      cell_keys.ptr[scan.ptr[i]] = keys.ptr[i];
      cell_starts.ptr[scan.ptr[i]] = i;
    }
  }
};

// One thread per input key. Each slot keeps the larger of the entries that reach it, so a slot
// update is an atomic maximum built from compare-and-swap; a pushed-out entry is carried on by
// the thread that pushed it out, at its next age.
struct HashKeys {
  yv::Array<unsigned long long, 1> table;
  yv::Array<unsigned int, 1> max_ages;
  yv::Array<unsigned long long, 1> input_keys;
  HashOffsets offsets;
  unsigned int* construction_error;
  YV_HD void operator()(unsigned i, unsigned, unsigned, unsigned) const {
    if (i >= input_keys.size.x) return;
    const unsigned long long size = table.size.x;
    unsigned long long k = input_keys.ptr[i];
    unsigned long long a = 1;
    do {
      const unsigned long long e = (a << 48) | k;
      const unsigned long long s = (static_cast<unsigned long long>(offsets.v[a - 1]) + k) % size;
      unsigned long long* slot = table.ptr + s;
      unsigned long long old = *slot;
      unsigned long long assumed;
      do {
        assumed = old;
        old = yv::rt::atomic_cas(slot, assumed, assumed > e ? assumed : e);
      } while (old != assumed);
      if (e <= old) {
        ++a;  // the slot holds a stronger entry: try the next age
      } else {
        yv::rt::atomic_max(max_ages.ptr + k % size, static_cast<unsigned int>(a));
        if ((old >> 48) == 0) return;  // the slot was empty
        k = old & kKeyMask;
        a = (old >> 48) + 1;
      }
    } while (a < 65);
    yv::rt::atomic_add(construction_error, 1u);
  }
};

struct HashedKeyValue {
  yv::Array<unsigned long long, 1> keys;
  yv::Array<unsigned int, 1> values;
  yv::Array<unsigned long long, 1> table;
  yv::Array<unsigned long long, 1> input_keys;
  yv::Array<unsigned int, 1> input_values;
  HashOffsets offsets;
  YV_HD void operator()(unsigned i, unsigned, unsigned, unsigned) const {
    if (i >= input_keys.size.x) return;
    const unsigned long long k = input_keys.ptr[i];
    const unsigned int v = input_values.ptr[i];
    for (int a = 0; a < 64; ++a) {
      const unsigned long long s =
          (static_cast<unsigned long long>(offsets.v[a]) + k) % keys.size.x;
      if ((table.ptr[s] & kKeyMask) == k) {
        keys.ptr[s] = k;
        values.ptr[s] = v;
        return;
      }
    }
  }
};

// ---- device memory of one call --------------------------------------------------------------------

template <class T>
yv::Array<T, 1> mallocDeviceArray1(unsigned n) {
  return yv::internal::decreaseArrayDimension<T, 4, 1>(
      yv::mallocDeviceArray<T>(make_uint4(n, 1, 1, 1), yv::PITCHED));
}

// A device array that is released when the call leaves, by return or by exception, unless it is
// handed over to the caller.
template <class T>
class ScopedDeviceArray {
 public:
  explicit ScopedDeviceArray(unsigned n) : a_(mallocDeviceArray1<T>(n)) {}
  ~ScopedDeviceArray() {
    if (a_.ptr) yv::releaseArray(a_);
  }
  ScopedDeviceArray(const ScopedDeviceArray&) = delete;
  ScopedDeviceArray& operator=(const ScopedDeviceArray&) = delete;
  const yv::Array<T, 1>& get() const { return a_; }
  T* ptr() const { return a_.ptr; }
  yv::Array<T, 1> handOver() {
    const yv::Array<T, 1> r = a_;
    a_.ptr = nullptr;
    return r;
  }

 private:
  yv::Array<T, 1> a_;
};

// Copies a 1-D device array into a vector that already holds as many elements.
template <class T>
void vectorCopy(std::vector<T>& dst, yv::Array<T, 1> src) {
  const unsigned count = static_cast<unsigned>(dst.size());
  const unsigned bytes = count * static_cast<unsigned>(sizeof(T));
  yv::Array<T, 4> host4;
  host4.ptr = dst.data();
  host4.pitch = make_uint4(static_cast<unsigned>(sizeof(T)), bytes, bytes, bytes);
  host4.size = make_uint4(count, 1, 1, 1);
  host4.device = -1;
  yv::Array<T, 1> host = yv::internal::decreaseArrayDimension<T, 4, 1>(host4);
  yv::arrayCopy<T, 1>(host, src);
}

// The kernels index the pointers directly, so host memory handed in as device memory would be
// read or written out of place on a GPU.
template <class T>
void requireDeviceArray(const yv::Array<T, 1>& a, const char* operation, const char* name) {
  if (a.device != -1) return;
  std::stringstream ss;
  ss << operation << ": array '" << name << "' must be in device memory" << std::endl;
  throw std::runtime_error(ss.str());
}

void requireEnough(unsigned have, unsigned need, const char* operation, const char* name,
                   const char* of) {
  if (have >= need) return;
  std::stringstream ss;
  ss << operation << ": array '" << name << "' has fewer entries than '" << of << "'" << std::endl
     << " " << name << ": " << have << " " << of << ": " << need << std::endl;
  throw std::runtime_error(ss.str());
}

template <class T>
yv::Array<T, 1> emptyDeviceArray() {
  yv::Array<T, 1> a;
  a.ptr = nullptr;
  a.pitch = make_uint1(static_cast<unsigned>(sizeof(T)));
  a.size = make_uint1(0);
  a.device = yv::rt::currentDevice();
  return a;
}

// Slot count of a map of n keys: (float) n / load_factor, truncated. A count below n could never
// take every key and would retry forever, so it is refused as the host build refuses it.
unsigned int hashSlotCount(unsigned n, float load_factor) {
  const float quotient = static_cast<float>(n) / load_factor;
  if (!(quotient >= static_cast<float>(n) && quotient < 4294967296.f) ||
      static_cast<unsigned int>(quotient) < n) {
    std::stringstream s;
    s << "create_hash_map: load factor " << load_factor << " leaves fewer slots than the " << n
      << " keys" << std::endl;
    throw std::runtime_error(s.str());
  }
  return static_cast<unsigned int>(quotient);
}

}  // namespace

// ---- launch glue ------------------------------------------------------------------------------------

void identify_cell_start(yv::Array<int, 1> flags, yv::Array<unsigned long long, 1> keys) {
  yv::rt::launch(IdentifyCellStart{flags, keys}, yv::rt::extent1(keys.size.x), kKeyBlock, 0,
                 {flags.ptr, keys.ptr});
}

void create_key_value_array_kernel(yv::Array<unsigned long long, 1> cell_keys,
                                   yv::Array<unsigned int, 1> cell_starts,
                                   yv::Array<int, 1> scan, yv::Array<unsigned long long, 1> keys) {
  yv::rt::launch(CreateKeyValueArray{cell_keys, cell_starts, scan, keys},
                 yv::rt::extent1(keys.size.x), kKeyBlock, 0,
                 {cell_keys.ptr, cell_starts.ptr, scan.ptr, keys.ptr});
}

void hash_keys_kernel(yv::Array<unsigned long long, 1> table, yv::Array<unsigned int, 1> max_ages,
                      yv::Array<unsigned long long, 1> input_keys, const HashOffsets& offsets,
                      yv::Array<unsigned int, 1> construction_error) {
  yv::rt::launch(HashKeys{table, max_ages, input_keys, offsets, construction_error.ptr},
                 yv::rt::extent1(input_keys.size.x), kKeyBlock, 0,
                 {table.ptr, max_ages.ptr, input_keys.ptr, construction_error.ptr});
}

void hashed_key_value_kernel(yv::Array<unsigned long long, 1> keys,
                             yv::Array<unsigned int, 1> values,
                             yv::Array<unsigned long long, 1> table,
                             yv::Array<unsigned long long, 1> input_keys,
                             yv::Array<unsigned int, 1> input_values, const HashOffsets& offsets) {
  yv::rt::launch(HashedKeyValue{keys, values, table, input_keys, input_values, offsets},
                 yv::rt::extent1(input_keys.size.x), kKeyBlock, 0,
                 {keys.ptr, values.ptr, table.ptr, input_keys.ptr, input_values.ptr});
}

// ---- operations -------------------------------------------------------------------------------------

void create_cell_start_index_table(yv::Array<unsigned long long, 1>& cell_keys,
                                   yv::Array<unsigned int, 1>& cell_starts,
                                   const yv::Array<unsigned long long, 1>& keys) {
  requireDeviceArray(keys, "create_cell_start_index_table", "keys");
  const unsigned n = keys.size.x;
  if (n == 0) {
    cell_keys = emptyDeviceArray<unsigned long long>();
    cell_starts = emptyDeviceArray<unsigned int>();
    return;
  }
  ScopedDeviceArray<int> flags(n);
  identify_cell_start(flags.get(), keys);
  ScopedDeviceArray<int> scan(n);
  device_exclusive_scan(flags.get(), scan.get());

  int last_scan = 0, last_flag = 0;
  yv::rt::memcpy(&last_scan, scan.ptr() + (n - 1), sizeof(int), cudaMemcpyDeviceToHost);
  yv::rt::memcpy(&last_flag, flags.ptr() + (n - 1), sizeof(int), cudaMemcpyDeviceToHost);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  const unsigned m = static_cast<unsigned>(last_scan + last_flag);

  ScopedDeviceArray<unsigned long long> new_keys(m);
  ScopedDeviceArray<unsigned int> new_starts(m);
  create_key_value_array_kernel(new_keys.get(), new_starts.get(), scan.get(), keys);
  cell_keys = new_keys.handOver();
  cell_starts = new_starts.handOver();
}

void sort_particle_handles(yv::Array<unsigned int, 1> handles,
                           yv::Array<unsigned long long, 1> keys) {
  requireDeviceArray(keys, "sort_particle_handles", "keys");
  requireDeviceArray(handles, "sort_particle_handles", "handles");
  requireEnough(handles.size.x, keys.size.x, "sort_particle_handles", "handles", "keys");
  device_stable_sort_by_key(keys, handles);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

HashMap create_hash_map(const yv::Array<unsigned long long, 1>& input_keys,
                        const yv::Array<unsigned int, 1>& input_values, float load_factor) {
  requireDeviceArray(input_keys, "create_hash_map", "input_keys");
  requireDeviceArray(input_values, "create_hash_map", "input_values");
  requireEnough(input_values.size.x, input_keys.size.x, "create_hash_map", "input_values",
                "input_keys");
  HashMap map;
  map.offsets.assign(64, 0u);
  const unsigned n = input_keys.size.x;
  if (n == 0) return map;  // a map of no slots, as the host build gives

  const unsigned int size = hashSlotCount(n, load_factor);
  ScopedDeviceArray<unsigned long long> table(size);
  ScopedDeviceArray<unsigned int> max_ages(size);
  ScopedDeviceArray<unsigned int> construction_error(1);
  std::cout << "hash map size is " << size << std::endl;

  // Default seed: every build, host or GPU, draws the same offsets in the same order.
  boost::random::mt19937 generator;
  boost::random::uniform_int_distribution<unsigned int> draw(0u, 2147483647u);
  HashOffsets offsets;
  for (unsigned attempt = 1;; ++attempt) {
    yv::rt::memset(table.ptr(), 0, std::size_t(size) * sizeof(unsigned long long));
    yv::rt::memset(max_ages.ptr(), 0, std::size_t(size) * sizeof(unsigned int));
    std::cout << "trying to build hash map: attempt " << attempt << std::endl;
    offsets.v[0] = 0;
    for (int a = 1; a < 64; ++a) offsets.v[a] = draw(generator);
    const unsigned int zero = 0;
    yv::rt::memcpy(construction_error.ptr(), &zero, sizeof(zero), cudaMemcpyHostToDevice);
    _CHECK_CUDA_ERROR(__FILE__, __LINE__);

    hash_keys_kernel(table.get(), max_ages.get(), input_keys, offsets, construction_error.get());
    unsigned int failures = 0;
    yv::rt::memcpy(&failures, construction_error.ptr(), sizeof(failures), cudaMemcpyDeviceToHost);
    // A pass that did not run leaves the count at 0; it must not pass for a successful one.
    _CHECK_CUDA_ERROR(__FILE__, __LINE__);
    if (failures == 0) break;
  }

  const unsigned int max_age = device_max_element(max_ages.get());
  std::cout << " max age is " << max_age << std::endl;

  ScopedDeviceArray<unsigned long long> keys(size);
  yv::rt::memset(keys.ptr(), 0xFF, std::size_t(size) * sizeof(unsigned long long));
  ScopedDeviceArray<unsigned int> values(size);
  yv::Array<unsigned int, 4> values4 =
      yv::internal::increaseArrayDimension<unsigned int, 1, 4>(values.get());
  yv::set<unsigned int>(values4, 0xFFFFFFFFu, 0);
  hashed_key_value_kernel(keys.get(), values.get(), table.get(), input_keys, input_values,
                          offsets);

  map.keys.resize(size);
  map.values.resize(size);
  map.max_ages.resize(size);
  map.size = static_cast<unsigned int>(map.keys.size());
  vectorCopy(map.keys, keys.get());
  vectorCopy(map.values, values.get());
  vectorCopy(map.max_ages, max_ages.get());
  map.max_age = max_age;
  map.offsets.assign(offsets.v, offsets.v + 64);
  return map;
}
