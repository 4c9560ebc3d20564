// Small particle sets and grid builds shared by the particle filter tests.
#pragma once

#include <cmath>
#include <random>
#include <vector>

#include "hashing.h"
#include "particles.h"

namespace pf_test {

inline float3 f3(float x, float y, float z) { return make_float3(x, y, z); }

inline float3 normalized(float3 v) {
  const float l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
  return f3(v.x / l, v.y / l, v.z / l);
}

inline Particle makeParticle(float3 position, float3 direction, float3 normal, int camera = 0,
                             int pixel = 0, float size = 0.01f) {
  Particle p{};
  p.position = position;
  p.direction = direction;
  p.normal = normal;
  p.color = make_uchar4(10, 20, 30, 255);
  p.camera = camera;
  p.pixel = pixel;
  p.size = size;
  p.flag = false;
  return p;
}

// One grid build over the effective positions, as the filter and the support test make it.
struct TestGrid {
  float3 origin;
  float radius = 0.f;
  std::vector<unsigned long long> keys, cell_keys;
  std::vector<unsigned int> handles, cell_starts;
  std::vector<int> cell_sizes;
  HashMap map;

  void build(const std::vector<Particle>& particles, const std::vector<float>& offsets, float r) {
    radius = r;
    float3 lo, hi;
    compute_particles_bounds(&lo, &hi, particles, offsets);
    origin = f3(lo.x - 10.f * r, lo.y - 10.f * r, lo.z - 10.f * r);
    const size_t n = particles.size();
    handles.resize(n);
    for (size_t i = 0; i < n; ++i) handles[i] = static_cast<unsigned int>(i);
    keys.assign(n, 0);
    compute_cell_keys_effective(keys, handles, particles, offsets, origin, 1.f / r);
    sort_particle_handles(handles, keys);
    create_cell_start_index_table(cell_keys, cell_starts, keys);
    create_cell_size_prefix_sum(cell_sizes, cell_starts, static_cast<int>(n));
    map = create_hash_map(cell_keys, cell_starts, 0.8f);
  }
};

// Points of the plane z = z0 + sx * x + sy * y seen by a camera at `centre`: a regular grid of
// spacing `step` over [x0, x0 + count * step) x [y0, ...), each displaced along its view ray by
// Gaussian noise of deviation `noise`. Normals start at the view direction.
struct PlaneScene {
  float z0 = 2.f, sx = 0.3f, sy = -0.2f;

  float3 trueNormal() const { return normalized(f3(-sx, -sy, 1.f)); }

  // Signed distance of a point from the plane.
  double distance(float3 p) const {
    const float3 n = trueNormal();
    return (double(p.z) - (z0 + sx * p.x + sy * p.y)) * n.z;
  }

  void addCamera(std::vector<Particle>& particles, std::vector<float>& offsets,
                 std::vector<float3>& normals, float3 centre, int camera, float x0, float y0,
                 int count, float step, float noise, unsigned seed) const {
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss(0.f, noise);
    for (int j = 0; j < count; ++j)
      for (int i = 0; i < count; ++i) {
        const float x = x0 + i * step, y = y0 + j * step;
        const float3 on_plane = f3(x, y, z0 + sx * x + sy * y);
        const float3 dir = normalized(
            f3(centre.x - on_plane.x, centre.y - on_plane.y, centre.z - on_plane.z));
        const float e = gauss(rng);
        const float3 pos =
            f3(on_plane.x + e * dir.x, on_plane.y + e * dir.y, on_plane.z + e * dir.z);
        particles.push_back(makeParticle(pos, dir, dir, camera, j * count + i, step));
        offsets.push_back(0.f);
        normals.push_back(dir);
      }
  }
};

}  // namespace pf_test
