// The particle set: oriented, coloured points kept as three vectors aligned by index (records,
// offsets along each record's view direction, current normals), and its compaction.
#pragma once

#include <cuda_runtime.h>

#include <vector>

struct Particle {
  float3 position;   // base point, fixed once made
  float3 direction;  // unit vector towards the centre of the source camera
  float3 normal;     // normal at creation
  uchar4 color;      // red, green, blue in x, y, z
  int camera;        // Camera::index of the source camera
  int pixel;         // y * width + x of the source pixel, or the superpixel's index
  float size;        // footprint size in world units
  bool flag;         // base position taken from the model depth
};

// Effective position: position + offset * direction.
inline float3 effective_position(const Particle& p, float offset) {
  return make_float3(p.position.x + offset * p.direction.x, p.position.y + offset * p.direction.y,
                     p.position.z + offset * p.direction.z);
}

// Keeps the records whose value lies in [lo, hi] (NaN never does) and shrinks the three vectors
// of the set to them; kept records before the first hole stay in place, each hole takes the last
// kept record behind it. `values` is left unchanged.
template <class T>
void threshold_particles(std::vector<T>& values, std::vector<Particle>& particles,
                         std::vector<float>& offsets, std::vector<float3>& normals, T lo, T hi);
