// Uniform grid over a particle set: Morton cell keys, the sorted handle list, the cell tables
// built over it, and the aged hash map that finds an occupied cell by its key.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "particles.h"

// Cells are numbered 0 to grid_top_cell along each axis (16 bits); the grid's origin lies
// grid_margin_cells cells below the lowest point.
const int grid_top_cell = 65535;
const int grid_margin_cells = 10;

// Key of the cell (65535, 65535, 65535): given to every point that cannot be placed on the grid,
// so such points sort last and form one cell of their own.
const unsigned long long invalid_cell_key = 281474976710655ULL;  // 2^48 - 1
const unsigned long long cell_key_mask = 0xFFFFFFFFFFFFULL;       // low 48 bits
const unsigned int empty_cell_start = 0xFFFFFFFFu;

// Below this many items a loop of simple per-item work runs on the calling thread: waking the
// team would cost more than the loop.
constexpr int parallel_min_items = 1 << 16;

// Contiguous static split of [0, n) over a team: thread t of T takes [t * c, min((t + 1) * c, n)).

inline void static_split(int n, int t, int threads, int& begin, int& end) {
  const long long c = (static_cast<long long>(n) + threads - 1) / threads;
  begin = static_cast<int>(std::min<long long>(t * c, n));
  end = static_cast<int>(std::min<long long>((t + 1) * c, n));
}

// Spreads the 16 low bits of v so that bit i lands on bit 3i.
inline unsigned long long morton_spread(unsigned long long v) {
  v = (v | v << 16) & 0xFF0000FFULL;
  v = (v | v << 8) & 0xF00F00F00FULL;
  v = (v | v << 4) & 0xC30C30C30C3ULL;
  v = (v | v << 2) & 0x249249249249ULL;
  return v;
}

inline unsigned long long morton_encode_cell(unsigned long long x, unsigned long long y,
                                             unsigned long long z) {
  return morton_spread(x) | morton_spread(y) << 1 | morton_spread(z) << 2;
}

inline unsigned int morton_compact(unsigned long long key) {
  unsigned int v = 0;
  for (int i = 0; i < 16; ++i) v |= static_cast<unsigned int>((key >> (3 * i)) & 1ULL) << i;
  return v;
}

inline void morton_decode_cell(unsigned long long key, unsigned int& x, unsigned int& y,
                               unsigned int& z) {
  x = morton_compact(key);
  y = morton_compact(key >> 1);
  z = morton_compact(key >> 2);
}

// Cell key of a point. Anything that does not land on a cell of the 16-bit grid (a non-finite
// component, a coordinate below 0 or above 65535) gets the invalid key, so it can neither alias
// another cell nor be mistaken for a neighbour.
inline unsigned long long cell_key_of_point(float3 p, float3 origin, float scale) {
  const float cx = std::floor((p.x - origin.x) * scale);
  const float cy = std::floor((p.y - origin.y) * scale);
  const float cz = std::floor((p.z - origin.z) * scale);
  const float top = float(grid_top_cell);
  // Written so that NaN fails every test.
  if (!(cx >= 0.f && cx <= top && cy >= 0.f && cy <= top && cz >= 0.f && cz <= top))
    return invalid_cell_key;
  return morton_encode_cell(static_cast<unsigned long long>(cx),
                            static_cast<unsigned long long>(cy),
                            static_cast<unsigned long long>(cz));
}

// The effective position as the grid forms it (direction * offset + position). Every place that
// keys a point by its effective position uses this, so keys agree bit for bit.
inline float3 grid_effective_position(const Particle& p, float offset) {
  return make_float3(p.direction.x * offset + p.position.x, p.direction.y * offset + p.position.y,
                     p.direction.z * offset + p.position.z);
}

inline unsigned long long cell_key_of_base(const Particle& p, float3 origin, float scale) {
  if (!(std::fabs(p.position.x) <= FLT_MAX)) return invalid_cell_key;
  return cell_key_of_point(p.position, origin, scale);
}

inline unsigned long long cell_key_of_effective(const Particle& p, float offset, float3 origin,
                                                float scale) {
  if (!(std::fabs(p.position.x) <= FLT_MAX) || !(std::fabs(offset) <= FLT_MAX))
    return invalid_cell_key;
  return cell_key_of_point(grid_effective_position(p, offset), origin, scale);
}

// keys[i] = cell key of the base position of record i; keys must hold n entries.
void compute_cell_keys_base(std::vector<unsigned long long>& keys,
                            const std::vector<Particle>& particles, float3 origin, float scale);

// keys[i] = cell key of the effective position of record handles[i]; keys must hold n entries.
void compute_cell_keys_effective(std::vector<unsigned long long>& keys,
                                 const std::vector<unsigned int>& handles,
                                 const std::vector<Particle>& particles,
                                 const std::vector<float>& offsets, float3 origin, float scale);

// Box over the base and the effective positions of the records with a finite base position.
// Either corner may be null. With no such record the corners stay at +-FLT_MAX.
void compute_particles_bounds(float3* min_corner, float3* max_corner,
                              const std::vector<Particle>& particles,
                              const std::vector<float>& offsets);

// Stable ascending sort of keys, permuting handles along.
void sort_particle_handles(std::vector<unsigned int>& handles,
                           std::vector<unsigned long long>& keys);

// Distinct keys of the sorted list and the index of each one's first entry. An empty list gives
// empty tables.
void create_cell_start_index_table(std::vector<unsigned long long>& cell_keys,
                                   std::vector<unsigned int>& cell_starts,
                                   const std::vector<unsigned long long>& keys);

// Inclusive prefix sums of the cell sizes; n is the number of sorted entries.
void create_cell_size_prefix_sum(std::vector<int>& cell_sizes,
                                 const std::vector<unsigned int>& cell_starts, int n);

void compute_cell_length_stats(int* max_cell_length, float* average_cell_length,
                               const std::vector<unsigned long long>& cell_keys,
                               const std::vector<unsigned int>& cell_starts,
                               const std::vector<unsigned long long>& keys);

// Hash map of occupied cells. Slot s holds keys[s] (all ones when empty) with values[s]
// (all ones when empty); a key k is probed at (k + offsets[a - 1]) mod size for the ages
// a = 1 .. max_ages[k mod size].
struct HashMap {
  std::vector<unsigned long long> keys;
  std::vector<unsigned int> values;
  std::vector<unsigned int> max_ages;
  std::vector<unsigned int> offsets;
  unsigned int max_age = 0;
  unsigned int size = 0;
};

// Builds the map of distinct keys below 2^48 by coherent parallel hashing with ages, retrying
// with fresh offsets until every key fits within 64 ages. An empty key list gives a map of no
// slots; a load factor that leaves fewer slots than keys throws std::runtime_error.
HashMap create_hash_map(const std::vector<unsigned long long>& input_keys,
                        const std::vector<unsigned int>& input_values, float load_factor);

// The value of key in the map, or empty_cell_start when the key is absent.
inline unsigned int hash_map_lookup(const HashMap& map, unsigned long long key) {
  if (map.size == 0) return empty_cell_start;
  const int ages = static_cast<int>(map.max_ages[key % map.size]);
  for (int a = 0; a < ages && a < 64; ++a) {
    const unsigned long long s =
        (key + static_cast<unsigned long long>(map.offsets[a])) % map.size;
    if (map.keys[s] == key) return map.values[s];
  }
  return empty_cell_start;
}
