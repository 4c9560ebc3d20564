// Thrust runs on its OpenMP system here; this unit has no GPU code.
#if defined(__has_include)
#if __has_include(<thrust/sort.h>)
#define TESSIVAR_HASHING_THRUST 1
#endif
#endif
#ifdef TESSIVAR_HASHING_THRUST
#define THRUST_DEVICE_SYSTEM THRUST_DEVICE_SYSTEM_OMP
#include <thrust/extrema.h>
#include <thrust/sort.h>
#include <thrust/system/omp/execution_policy.h>
#include <thrust/system/omp/vector.h>
#endif

#include "hashing.h"
#include "team_error.h"

#include <omp.h>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>
#include <sstream>
#include <stdexcept>

namespace {

#ifdef TESSIVAR_HASHING_THRUST
typedef thrust::omp::vector<unsigned int> WorkVector;
#else
// Without the Thrust headers on the include path the same results come from the standard
// library (the sort is stable either way, so the order is identical).
typedef std::vector<unsigned int> WorkVector;
#endif

inline bool finite_value(float v) { return std::fabs(v) <= FLT_MAX; }

// One running corner of the bounds: only finite candidates that beat the current value count.
template <bool Min>
inline void take(float& running, float candidate) {
  if (!finite_value(candidate)) return;
  if (Min ? candidate < running : candidate > running) running = candidate;
}

template <bool Min>
float3 bounds_corner(const std::vector<Particle>& particles, const std::vector<float>& offsets) {
  const float start = Min ? FLT_MAX : -FLT_MAX;
  float3 result = make_float3(start, start, start);
  const int n = static_cast<int>(particles.size());
#pragma omp parallel if (n >= parallel_min_items)
  {
    int begin, end;
    static_split(n, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    float3 local = make_float3(start, start, start);
    for (int i = begin; i < end; ++i) {
      const Particle& p = particles[i];
      if (!finite_value(p.position.x)) continue;
      const float3 e = grid_effective_position(p, offsets[i]);
      take<Min>(local.x, e.x);
      take<Min>(local.x, p.position.x);
      take<Min>(local.y, e.y);
      take<Min>(local.y, p.position.y);
      take<Min>(local.z, e.z);
      take<Min>(local.z, p.position.z);
    }
#pragma omp critical
    {
      take<Min>(result.x, local.x);
      take<Min>(result.y, local.y);
      take<Min>(result.z, local.z);
    }
  }
  return result;
}

}  // namespace

void compute_cell_keys_base(std::vector<unsigned long long>& keys,
                            const std::vector<Particle>& particles, float3 origin, float scale) {
  const int n = static_cast<int>(particles.size());
#pragma omp parallel if (n >= parallel_min_items)
  {
    int begin, end;
    static_split(n, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    for (int i = begin; i < end; ++i) keys[i] = cell_key_of_base(particles[i], origin, scale);
  }
}

void compute_cell_keys_effective(std::vector<unsigned long long>& keys,
                                 const std::vector<unsigned int>& handles,
                                 const std::vector<Particle>& particles,
                                 const std::vector<float>& offsets, float3 origin, float scale) {
  const int n = static_cast<int>(handles.size());
#pragma omp parallel if (n >= parallel_min_items)
  {
    int begin, end;
    static_split(n, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    for (int i = begin; i < end; ++i) {
      const unsigned int h = handles[i];
      keys[i] = cell_key_of_effective(particles[h], offsets[h], origin, scale);
    }
  }
}

void compute_particles_bounds(float3* min_corner, float3* max_corner,
                              const std::vector<Particle>& particles,
                              const std::vector<float>& offsets) {
  if (min_corner) *min_corner = bounds_corner<true>(particles, offsets);
  if (max_corner) *max_corner = bounds_corner<false>(particles, offsets);
}

#ifdef TESSIVAR_HASHING_THRUST
namespace {

// Entries [a0, a2) of the sorted runs [a0, a1) and [a1, a2), merged stably into the same places
// of the output.
void merge_runs(const unsigned long long* keys, const unsigned int* values, std::size_t a0,
                std::size_t a1, std::size_t a2, unsigned long long* keys_out,
                unsigned int* values_out) {
  std::size_t i = a0, j = a1, o = a0;
  while (i < a1 && j < a2) {
    const bool right = keys[j] < keys[i];  // ties from the left run: stable
    const std::size_t from = right ? j++ : i++;
    keys_out[o] = keys[from];
    values_out[o++] = values[from];
  }
  for (; i < a1; ++i, ++o) keys_out[o] = keys[i], values_out[o] = values[i];
  for (; j < a2; ++j, ++o) keys_out[o] = keys[j], values_out[o] = values[j];
}

void stable_sort_by_key_parallel(unsigned long long* keys, unsigned int* values, std::size_t n) {
  // Each block is sorted by Thrust's sequential sort, whose scratch memory is taken on the
  // block's thread and so caught there; the blocks are then merged pairwise through buffers
  // taken before the team. Thrust's OpenMP sort works the same way but lets a failed allocation
  // leave its threads.
  const int blocks = std::max(1, omp_get_max_threads());
  std::vector<std::size_t> start(static_cast<std::size_t>(blocks) + 1);
  for (int b = 0; b <= blocks; ++b) start[b] = n * static_cast<std::size_t>(b) / blocks;
  std::vector<unsigned long long> keys_tmp(n);
  std::vector<unsigned int> values_tmp(n);
  TeamError error;
#pragma omp parallel if (blocks > 1)
  for (int b = omp_get_thread_num(); b < blocks && !error.seen(); b += omp_get_num_threads()) {
    try {
      thrust::stable_sort_by_key(thrust::seq, keys + start[b], keys + start[b + 1],
                                 values + start[b]);
    } catch (...) {
      error.keep_current();
    }
  }
  error.rethrow();
  unsigned long long *k_from = keys, *k_to = keys_tmp.data();
  unsigned int *v_from = values, *v_to = values_tmp.data();
  for (int width = 1; width < blocks; width *= 2) {
    const int pairs = (blocks + 2 * width - 1) / (2 * width);
#pragma omp parallel for schedule(static) if (pairs > 1)
    for (int p = 0; p < pairs; ++p) {
      const int b = 2 * width * p;
      merge_runs(k_from, v_from, start[b], start[std::min(b + width, blocks)],
                 start[std::min(b + 2 * width, blocks)], k_to, v_to);
    }
    std::swap(k_from, k_to);
    std::swap(v_from, v_to);
  }
  if (k_from != keys) {
    std::copy(k_from, k_from + n, keys);
    std::copy(v_from, v_from + n, values);
  }
}

}  // namespace
#endif

void sort_particle_handles(std::vector<unsigned int>& handles,
                           std::vector<unsigned long long>& keys) {
  if (keys.empty()) return;
#ifdef TESSIVAR_HASHING_THRUST
  // Both sorts are stable, so they give the same order; a small set is sorted on this thread.
  if (keys.size() >= static_cast<size_t>(parallel_min_items)) {
    stable_sort_by_key_parallel(keys.data(), handles.data(), keys.size());
    return;
  }
#endif
  std::vector<std::pair<unsigned long long, unsigned int>> pairs(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) pairs[i] = std::make_pair(keys[i], handles[i]);
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const std::pair<unsigned long long, unsigned int>& a,
                      const std::pair<unsigned long long, unsigned int>& b) {
                     return a.first < b.first;
                   });
  for (size_t i = 0; i < keys.size(); ++i) {
    keys[i] = pairs[i].first;
    handles[i] = pairs[i].second;
  }
}

void create_cell_start_index_table(std::vector<unsigned long long>& cell_keys,
                                   std::vector<unsigned int>& cell_starts,
                                   const std::vector<unsigned long long>& keys) {
  const int n = static_cast<int>(keys.size());
  if (n == 0) {
    cell_keys.clear();
    cell_starts.clear();
    return;
  }
  // A cell starts at 0 and wherever the key changes. Each block of a static split counts its
  // starts, the counts are summed up in block order, and each block writes its cells from there.
  const auto starts_cell = [&](int i) { return i == 0 || keys[i - 1] != keys[i]; };
  const bool parallel = n >= parallel_min_items;
  std::vector<unsigned int> block_starts(static_cast<size_t>(omp_get_max_threads()) + 1, 0u);
  int team = 1;
#pragma omp parallel if (parallel)
  {
#pragma omp single
    team = omp_get_num_threads();
    int begin, end;
    static_split(n, omp_get_thread_num(), team, begin, end);
    unsigned int local = 0;
    for (int i = begin; i < end; ++i) local += starts_cell(i) ? 1u : 0u;
    block_starts[omp_get_thread_num() + 1] = local;
  }
  for (int t = 0; t < team; ++t) block_starts[t + 1] += block_starts[t];
  const unsigned int m = block_starts[team];

  cell_keys.assign(m, 0ULL);
  cell_starts.assign(m, 0u);
#pragma omp parallel if (parallel)
  {
    // Each block of the counting split, whatever team this region gets.
    for (int t = omp_get_thread_num(); t < team; t += omp_get_num_threads()) {
      int begin, end;
      static_split(n, t, team, begin, end);
      unsigned int c = block_starts[t];
      for (int i = begin; i < end; ++i) {
        if (starts_cell(i)) {
          cell_keys[c] = keys[i];
          cell_starts[c] = static_cast<unsigned int>(i);
          ++c;
        }
      }
    }
  }
}

void create_cell_size_prefix_sum(std::vector<int>& cell_sizes,
                                 const std::vector<unsigned int>& cell_starts, int n) {
  const int m = static_cast<int>(cell_starts.size());
  if (m == 0) {
    cell_sizes.clear();
    return;
  }
  WorkVector sizes(m, 0u);
#pragma omp parallel if (m >= parallel_min_items)
  {
    int begin, end;
    static_split(m - 1, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    for (int c = begin; c < end; ++c) sizes[c] = cell_starts[c + 1] - cell_starts[c];
  }
  sizes[m - 1] = static_cast<unsigned int>(n) - cell_starts[m - 1];
  cell_sizes.resize(m);
  cell_sizes[0] = static_cast<int>(sizes[0]);
  for (int c = 1; c < m; ++c) cell_sizes[c] = cell_sizes[c - 1] + static_cast<int>(sizes[c]);
}

void compute_cell_length_stats(int* max_cell_length, float* average_cell_length,
                               const std::vector<unsigned long long>& cell_keys,
                               const std::vector<unsigned int>& cell_starts,
                               const std::vector<unsigned long long>& keys) {
  const size_t m = cell_keys.size();
  int longest = 0;
  long long total = 0;
  for (size_t c = 0; c < m; ++c) {
    const unsigned long long key = cell_keys[c];
    int length = 0;
    for (size_t i = cell_starts[c]; i < keys.size() && keys[i] == key; ++i) ++length;
    longest = std::max(longest, length);
    total += length;
  }
  if (max_cell_length) *max_cell_length = longest;
  if (average_cell_length)
    *average_cell_length = static_cast<float>(total) / static_cast<float>(m);
}

namespace {

// Slots of a table that holds `n` keys at `load_factor`; at least n, or the insertion would retry
// forever.
unsigned int slot_count(int n, float load_factor) {
  const float quotient = static_cast<float>(n) / load_factor;
  if (!(quotient >= static_cast<float>(n) && quotient < 4294967296.f) ||
      static_cast<unsigned int>(quotient) < static_cast<unsigned int>(n)) {
    std::stringstream s;
    s << "create_hash_map: load factor " << load_factor << " leaves fewer slots than the " << n
      << " keys" << std::endl;
    throw std::runtime_error(s.str());
  }
  return static_cast<unsigned int>(quotient);
}

// One try to place every key in `table` with the age offsets `offsets`, the oldest entry winning
// a slot and the displaced one moving on to its next age; records in `max_ages` the oldest age
// placed from each home slot. Returns how many keys found no slot within 64 ages.
int insert_keys(const std::vector<unsigned long long>& input_keys,
                const std::vector<unsigned int>& offsets, unsigned int size,
                std::vector<unsigned long long>& table, std::vector<unsigned int>& max_ages) {
  const int n = static_cast<int>(input_keys.size());
  int failures = 0;
#pragma omp parallel for if (n >= parallel_min_items) schedule(dynamic, 64)
  for (int i = 0; i < n; ++i) {
    unsigned long long k = input_keys[i];
    unsigned long long a = 1;
    for (;;) {
      const unsigned long long e = (a << 48) | k;
      const unsigned long long s = (k + static_cast<unsigned long long>(offsets[a - 1])) % size;
      // table[s] = max(table[s], e) as one atomic step; old is the entry it replaced.
      unsigned long long old = __atomic_load_n(&table[s], __ATOMIC_RELAXED);
      while (old < e && !__atomic_compare_exchange_n(&table[s], &old, e, true,
                                                     __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
      }
      if (old >= e) {
        if (++a > 64) {
#pragma omp atomic
          ++failures;
          break;
        }
        continue;
      }
      const unsigned long long home = k % size;
      const unsigned int age = static_cast<unsigned int>(a);
      unsigned int seen = __atomic_load_n(&max_ages[home], __ATOMIC_RELAXED);
      while (seen < age && !__atomic_compare_exchange_n(&max_ages[home], &seen, age, true,
                                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
      }
      if ((old >> 48) == 0) break;
      // The displaced entry moves on to its next age on this thread.
      k = old & cell_key_mask;
      a = (old >> 48) + 1;
      if (a > 64) {
#pragma omp atomic
        ++failures;
        break;
      }
    }
  }
  return failures;
}

// The keys and values of the map at the slots where `table` placed each key.
void fill_slots(const std::vector<unsigned long long>& input_keys,
                const std::vector<unsigned int>& input_values,
                const std::vector<unsigned int>& offsets, unsigned int size,
                const std::vector<unsigned long long>& table, HashMap& map) {
  const int n = static_cast<int>(input_keys.size());
#pragma omp parallel if (n >= parallel_min_items)
  {
    int begin, end;
    static_split(n, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    for (int i = begin; i < end; ++i) {
      const unsigned long long k = input_keys[i];
      for (int a = 0; a < 64; ++a) {
        const unsigned long long s = (k + static_cast<unsigned long long>(offsets[a])) % size;
        if ((table[s] & cell_key_mask) == k) {
          map.keys[s] = k;
          map.values[s] = input_values[i];
          break;
        }
      }
    }
  }
}

}  // namespace

HashMap create_hash_map(const std::vector<unsigned long long>& input_keys,
                        const std::vector<unsigned int>& input_values, float load_factor) {
  HashMap map;
  map.offsets.assign(64, 0u);
  const int n = static_cast<int>(input_keys.size());
  if (n == 0) return map;

  const unsigned int size = slot_count(n, load_factor);

  std::vector<unsigned long long> table(size);
  std::vector<unsigned int>& max_ages = map.max_ages;
  std::vector<unsigned int>& offsets = map.offsets;

  boost::random::mt19937 generator;  // default seed: every build draws the same offsets
  boost::random::uniform_int_distribution<unsigned int> draw(0u, 2147483647u);

  for (;;) {
#pragma omp parallel if (static_cast<int>(size) >= parallel_min_items)
    {
      int begin, end;
      static_split(static_cast<int>(size), omp_get_thread_num(), omp_get_num_threads(), begin,
                   end);
      for (int s = begin; s < end; ++s) table[s] = 0ULL;
    }
    max_ages.assign(size, 0u);
    offsets[0] = 0;
    for (int a = 1; a < 64; ++a) offsets[a] = draw(generator);

    const int failures = insert_keys(input_keys, offsets, size, table, max_ages);
    if (failures == 0) break;
  }

#ifdef TESSIVAR_HASHING_THRUST
  if (static_cast<int>(size) >= parallel_min_items)
    map.max_age =
        *thrust::max_element(thrust::omp::par, max_ages.data(), max_ages.data() + size);
  else
#endif
    map.max_age = *std::max_element(max_ages.begin(), max_ages.end());

  map.keys.assign(size, 0xFFFFFFFFFFFFFFFFULL);
  map.values.assign(size, 0xFFFFFFFFu);
  map.size = static_cast<unsigned int>(map.keys.size());

  fill_slots(input_keys, input_values, offsets, size, table, map);
  return map;
}
