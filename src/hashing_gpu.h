// GPU versions of the grid's cell table, of the handle sort and of the aged hash map: the same
// tables and the same HashMap as the host versions in hashing.h, built from device arrays.
#pragma once

#include "hashing.h"
#include "yv/tools/array.h"

// The 64 hash offsets of one build attempt, handed to the hashing kernels by value.
struct HashOffsets {
  unsigned int v[64];
};

// Distinct keys of the sorted device keys and the index of each one's first entry, in two new
// device arrays. Whatever the descriptors pointed to before is not released; the caller releases
// the new arrays. An empty key array gives empty descriptors (null pointer, size 0).
void create_cell_start_index_table(yv::Array<unsigned long long, 1>& cell_keys,
                                   yv::Array<unsigned int, 1>& cell_starts,
                                   const yv::Array<unsigned long long, 1>& keys);

// Stable ascending sort of the device keys, permuting the first keys.size.x handles along.
void sort_particle_handles(yv::Array<unsigned int, 1> handles,
                           yv::Array<unsigned long long, 1> keys);

// The aged hash map of distinct device keys below 2^48 with their device values, built with one
// GPU thread per key; prints the slot count, every attempt and the largest age.
HashMap create_hash_map(const yv::Array<unsigned long long, 1>& input_keys,
                        const yv::Array<unsigned int, 1>& input_values, float load_factor);

// ---- kernels (one thread per key, blocks of 128) -------------------------------------------------

// flags[i] = 1 where a new key starts in the sorted keys (always at 0), else 0.
void identify_cell_start(yv::Array<int, 1> flags, yv::Array<unsigned long long, 1> keys);

// Scatters the first key of every run and its index to the run's place given by the scan.
void create_key_value_array_kernel(yv::Array<unsigned long long, 1> cell_keys,
                                   yv::Array<unsigned int, 1> cell_starts,
                                   yv::Array<int, 1> scan, yv::Array<unsigned long long, 1> keys);

// One insertion attempt into the working table ((age << 48) | key, 0 = empty); raises max_ages of
// the home slots and counts the keys that found no slot within 64 ages in construction_error[0].
void hash_keys_kernel(yv::Array<unsigned long long, 1> table, yv::Array<unsigned int, 1> max_ages,
                      yv::Array<unsigned long long, 1> input_keys, const HashOffsets& offsets,
                      yv::Array<unsigned int, 1> construction_error);

// Writes every input key and its value into the slot the working table holds it in.
void hashed_key_value_kernel(yv::Array<unsigned long long, 1> keys,
                             yv::Array<unsigned int, 1> values,
                             yv::Array<unsigned long long, 1> table,
                             yv::Array<unsigned long long, 1> input_keys,
                             yv::Array<unsigned int, 1> input_values, const HashOffsets& offsets);

// ---- device algorithms (Thrust on the back end's own system) ------------------------------------

// out[i] = in[0] + ... + in[i - 1]; out[0] = 0. Both hold in.size.x entries.
void device_exclusive_scan(yv::Array<int, 1> in, yv::Array<int, 1> out);

// Stable ascending sort of keys.size.x keys, carrying the values along.
void device_stable_sort_by_key(yv::Array<unsigned long long, 1> keys,
                               yv::Array<unsigned int, 1> values);

// The largest of a.size.x (>= 1) entries, read back to the host.
unsigned int device_max_element(yv::Array<unsigned int, 1> a);
