#include "particles.h"

#include <omp.h>

#include <algorithm>
#include <utility>

template <class T>
void threshold_particles(std::vector<T>& values, std::vector<Particle>& particles,
                         std::vector<float>& offsets, std::vector<float3>& normals, T lo, T hi) {
  const int n = int(particles.size());
  if (n == 0) return;
  std::vector<std::pair<int, int>> pairs(n, std::make_pair(0, 0));

#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), t = omp_get_thread_num();
    const int chunk = (n + threads - 1) / threads;
    const int end = std::min((t + 1) * chunk, n);
    for (int i = t * chunk; i < end; ++i)
      pairs[i] = std::make_pair((values[i] >= lo && values[i] <= hi) ? 1 : 0, i);
  }

  // Two-ended partition: kept pairs to the front, each hole filled from the back.
  int f = 0, b = n;
  while (f < b) {
    if (pairs[f].first == 1) {
      ++f;
      continue;
    }
    int j = b - 1;
    while (j > f && pairs[j].first != 1) --j;
    if (j <= f) break;
    std::swap(pairs[f], pairs[j]);
    b = j;
    ++f;
  }
  const int m = f;

  // In place: pairs[k].second >= k and no source is overwritten before it is read.
  for (int k = 0; k < m; ++k) {
    const int src = pairs[k].second;
    if (src == k) continue;
    particles[k] = particles[src];
    offsets[k] = offsets[src];
    normals[k] = normals[src];
  }
  particles.resize(m);
  offsets.resize(m);
  normals.resize(m);
}

template void threshold_particles<int>(std::vector<int>&, std::vector<Particle>&,
                                       std::vector<float>&, std::vector<float3>&, int, int);
template void threshold_particles<float>(std::vector<float>&, std::vector<Particle>&,
                                         std::vector<float>&, std::vector<float3>&, float, float);
