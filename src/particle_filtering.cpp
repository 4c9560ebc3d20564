#include "particle_filtering.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory>

#include "yv/tools/timer.h"

float ComputeParticleSupportFunctor::min_support = 0.f;

namespace {

// The result slots of the passes, kept between passes like the slot buffers, and like them made
// before main.
template <class T>
std::vector<std::pair<int, T>> pass_results;

// Passes after a grid build share their slots until the offsets change (see SlotBuffers).
void keep_slots() { pf_detail::slot_buffers().keep = true; }
void drop_slots() {
  pf_detail::SlotBuffers& b = pf_detail::slot_buffers();
  b.keep = b.held = false;
}
// Clears the flags however filter_particles leaves.
struct SlotsGuard {
  ~SlotsGuard() { drop_slots(); }
};

// Frees what the passes kept, so that it does not stay with later stages.
void release_pass_buffers() {
  pf_detail::slot_buffers() = pf_detail::SlotBuffers();
  pass_results<float> = std::vector<std::pair<int, float>>();
  pass_results<float3> = std::vector<std::pair<int, float3>>();
}

// Writes the value of every filled slot into the entry of its record.
template <class T>
void scatter_results(std::vector<T>& out, const std::vector<std::pair<int, T>>& pairs) {
  const int count = static_cast<int>(pairs.size());
#pragma omp parallel if (count >= parallel_min_items)
  {
    int begin, end;
    static_split(count, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    for (int s = begin; s < end; ++s)
      if (pairs[s].first >= 0) out[pairs[s].first] = pairs[s].second;
  }
}

// Record, offset and normal i become the entries at handles[i]; handles become the identity.
void reorder_particle_set(std::vector<Particle>& particles, std::vector<float>& offsets,
                          std::vector<float3>& normals, std::vector<unsigned int>& handles) {
  const int n = static_cast<int>(particles.size());
  {
    // Copies of the old order, left uninitialised by the allocation and filled by the team, so
    // that neither the copy nor the first touch of its pages runs on one thread.
    const std::unique_ptr<Particle[]> old_particles(new Particle[n]);
    const std::unique_ptr<float[]> old_offsets(new float[n]);
    const std::unique_ptr<float3[]> old_normals(new float3[n]);
#pragma omp parallel if (n >= parallel_min_items)
    {
      int begin, end;
      static_split(n, omp_get_thread_num(), omp_get_num_threads(), begin, end);
      for (int i = begin; i < end; ++i) {
        old_particles[i] = particles[i];
        old_offsets[i] = offsets[i];
        old_normals[i] = normals[i];
      }
#pragma omp barrier
      for (int i = begin; i < end; ++i) {
        const unsigned int h = handles[i];
        particles[i] = old_particles[h];
        offsets[i] = old_offsets[h];
        normals[i] = old_normals[h];
        handles[i] = static_cast<unsigned int>(i);
      }
    }
  }
}

void identity_handles(std::vector<unsigned int>& handles, int n) {
  handles.resize(n);
#pragma omp parallel if (n >= parallel_min_items)
  {
    int begin, end;
    static_split(n, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    for (int i = begin; i < end; ++i) handles[i] = static_cast<unsigned int>(i);
  }
}

// Origin of the grid: the minimum corner of the box of the set, widened by ten cells.
float3 grid_origin(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                   float radius) {
  float3 lo, hi;
  compute_particles_bounds(&lo, &hi, particles, offsets);
  const float margin = float(grid_margin_cells) * radius;
  return make_float3(lo.x - margin, lo.y - margin, lo.z - margin);
}

// The cell tables and hash map of the effective positions, keyed through the persistent handles.
struct GridBuild {
  std::vector<unsigned long long> cell_keys;
  std::vector<int> cell_sizes;
  HashMap map;
};

void build_grid(GridBuild& grid, std::vector<unsigned long long>& keys,
                std::vector<unsigned int>& handles, const std::vector<Particle>& particles,
                const std::vector<float>& offsets, float3 origin, float scale) {
  const int n = static_cast<int>(particles.size());
  compute_cell_keys_effective(keys, handles, particles, offsets, origin, scale);
  sort_particle_handles(handles, keys);
  std::vector<unsigned int> cell_starts;
  grid.cell_keys.clear();
  grid.cell_sizes.clear();
  create_cell_start_index_table(grid.cell_keys, cell_starts, keys);
  create_cell_size_prefix_sum(grid.cell_sizes, cell_starts, n);
  grid.map = create_hash_map(grid.cell_keys, cell_starts, 0.8f);
}

// Copies the proposals into offsets and counts the records that left the range of offsets they
// have taken so far.
int track_offset_ranges(std::vector<float>& offsets, const std::vector<float>& proposed,
                        std::vector<float>& low, std::vector<float>& high) {
  const int n = static_cast<int>(offsets.size());
  int changed = 0;
#pragma omp parallel if (n >= parallel_min_items)
  {
    int begin, end;
    static_split(n, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    int local = 0;
    for (int i = begin; i < end; ++i) {
      const float v = proposed[i];
      if (v > high[i]) {
        high[i] = v;
        ++local;
      } else if (v < low[i]) {
        low[i] = v;
        ++local;
      }
      offsets[i] = v;
    }
#pragma omp barrier
#pragma omp critical
    changed += local;
  }
  return changed;
}

void print_and_reset_timers() {
  yv::timer::printToScreen("", static_cast<yv::timer::Format>(6),
                           static_cast<yv::timer::Sorting>(0), true);
  yv::timer::reset("density update");
  yv::timer::reset("hash map generation");
  yv::timer::reset("positions update");
  yv::timer::reset("normals update");
  yv::timer::reset("sendParticlesToOstrel");
  yv::timer::reset("total iteration time");
}

void print_banner(int iteration) {
  std::cout << "====================  iteration " << iteration << "  ====================\n";
}

}  // namespace

void update_density(std::vector<float>& density, const std::vector<Particle>& particles,
                    std::vector<float>& offsets, std::vector<float3>& normals,
                    const std::vector<unsigned long long>& cell_keys,
                    const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                    const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                    float alpha, float beta, int length_quotient) {
  std::cout << "  updating particle density" << std::endl;
  const std::vector<float> none;
  std::vector<std::pair<int, float>>& pairs = pass_results<float>;
  ComputeDensityFunctor functor;
  iterate_particles_cells(functor, pairs, cell_keys, cell_sizes, none, offsets, normals, particles,
                          handles, current_map, origin, max_cell_length, radius, alpha, beta,
                          length_quotient);
  scatter_results(density, pairs);
}

namespace {
template <bool F, bool W>
void run_normals(const std::vector<Particle>& particles, std::vector<float>& offsets,
                 std::vector<float3>& normals, const std::vector<unsigned long long>& cell_keys,
                 const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                 const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                 float alpha, float beta, int length_quotient) {
  const std::vector<float> none;
  std::vector<std::pair<int, float3>>& pairs = pass_results<float3>;
  ComputeNormalsFunctor<F, W> functor;
  iterate_particles_cells(functor, pairs, cell_keys, cell_sizes, none, offsets, normals, particles,
                          handles, current_map, origin, max_cell_length, radius, alpha, beta,
                          length_quotient);
  // After the whole pass, so that every point saw the old normals.
  scatter_results(normals, pairs);
}
}  // namespace

void compute_normals(const std::vector<Particle>& particles, std::vector<float>& offsets,
                     std::vector<float3>& normals, const std::vector<unsigned long long>& cell_keys,
                     const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                     const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                     float alpha, float beta, bool first, int length_quotient) {
  std::cout << "  computing normals" << std::endl;
  if (first)
    run_normals<true, false>(particles, offsets, normals, cell_keys, cell_sizes, handles,
                             current_map, origin, max_cell_length, radius, alpha, beta,
                             length_quotient);
  else if (use_normal_dot_weight)
    run_normals<false, true>(particles, offsets, normals, cell_keys, cell_sizes, handles,
                             current_map, origin, max_cell_length, radius, alpha, beta,
                             length_quotient);
  else
    run_normals<false, false>(particles, offsets, normals, cell_keys, cell_sizes, handles,
                              current_map, origin, max_cell_length, radius, alpha, beta,
                              length_quotient);
}

namespace {
template <bool W>
void run_positions(std::vector<float>& proposed_offsets, const std::vector<Particle>& particles,
                   std::vector<float>& density, std::vector<float>& offsets,
                   std::vector<float3>& normals, const std::vector<unsigned long long>& cell_keys,
                   const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                   const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                   float alpha, float beta, float omega, int length_quotient) {
  UpdateParticlePosFunctor<W>::omega = omega;
  std::vector<std::pair<int, float>>& pairs = pass_results<float>;
  UpdateParticlePosFunctor<W> functor;
  iterate_particles_cells(functor, pairs, cell_keys, cell_sizes, density, offsets, normals,
                          particles, handles, current_map, origin, max_cell_length, radius, alpha,
                          beta, length_quotient);
  scatter_results(proposed_offsets, pairs);
}

template <bool W>
void run_gradient(std::vector<std::pair<int, float3>>& pairs,
                  const std::vector<Particle>& particles, std::vector<float>& density,
                  std::vector<float>& offsets, std::vector<float3>& normals,
                  const std::vector<unsigned long long>& cell_keys,
                  const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                  const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                  float alpha, float beta, int length_quotient) {
  ComputeGradientFunctor<W> functor;
  iterate_particles_cells(functor, pairs, cell_keys, cell_sizes, density, offsets, normals,
                          particles, handles, current_map, origin, max_cell_length, radius, alpha,
                          beta, length_quotient);
}
}  // namespace

void update_particles(std::vector<float>& proposed_offsets, const std::vector<Particle>& particles,
                      std::vector<float>& density, std::vector<float>& offsets,
                      std::vector<float3>& normals,
                      const std::vector<unsigned long long>& cell_keys,
                      const std::vector<int>& cell_sizes, const std::vector<unsigned int>& handles,
                      const HashMap& current_map, float3 origin, int max_cell_length, float radius,
                      float alpha, float beta, float omega, int length_quotient) {
  std::cout << "  updating particle positions" << std::endl;
  if (use_normal_dot_weight)
    run_positions<true>(proposed_offsets, particles, density, offsets, normals, cell_keys,
                        cell_sizes, handles, current_map, origin, max_cell_length, radius, alpha,
                        beta, omega, length_quotient);
  else
    run_positions<false>(proposed_offsets, particles, density, offsets, normals, cell_keys,
                         cell_sizes, handles, current_map, origin, max_cell_length, radius, alpha,
                         beta, omega, length_quotient);
}

void update_particles_gd(std::vector<float>& proposed_offsets,
                         const std::vector<Particle>& particles, std::vector<float>& density,
                         std::vector<float>& offsets, std::vector<float3>& normals,
                         const std::vector<unsigned long long>& cell_keys,
                         const std::vector<int>& cell_sizes,
                         const std::vector<unsigned int>& handles, const HashMap& current_map,
                         float3 origin, int max_cell_length, float radius, float alpha, float beta,
                         int length_quotient, float timestep) {
  std::cout << "  updating particle positions (gradient descent)" << std::endl;
  std::vector<std::pair<int, float3>>& pairs = pass_results<float3>;
  if (use_normal_dot_weight)
    run_gradient<true>(pairs, particles, density, offsets, normals, cell_keys, cell_sizes,
                       handles, current_map, origin, max_cell_length, radius, alpha, beta,
                       length_quotient);
  else
    run_gradient<false>(pairs, particles, density, offsets, normals, cell_keys, cell_sizes,
                        handles, current_map, origin, max_cell_length, radius, alpha, beta,
                        length_quotient);

  const int count = static_cast<int>(pairs.size());
#pragma omp parallel if (count >= parallel_min_items)
  {
    int begin, end;
    static_split(count, omp_get_thread_num(), omp_get_num_threads(), begin, end);
    for (int s = begin; s < end; ++s) {
      const int i = pairs[s].first;
      if (i < 0) continue;
      const float3 g = pairs[s].second;
      float d = -g.x * timestep;
      if (std::fabs(d) > radius) d = d > 0.f ? radius : -radius;
      proposed_offsets[i] = offsets[i] + d;

      const float3 v = particles[i].direction;
      float3 u, w;
      pf::view_frame(v, u, w);
      const float3 n = normals[i];
      const float theta = std::atan2(pf::dot(n, u), pf::dot(n, v));
      const float phi = pf::safe_acos(pf::dot(n, w));
      const float theta2 = theta - timestep * g.y;
      const float phi2 = phi - timestep * g.z;
      const float a = std::sin(phi2) * std::cos(theta2), b = std::sin(phi2) * std::sin(theta2),
                  c = std::cos(phi2);
      const float3 n2 = make_float3(a * v.x + b * u.x + c * w.x, a * v.y + b * u.y + c * w.y,
                                    a * v.z + b * u.z + c * w.z);
      // A normal never turns away from its camera.
      if (pf::dot(n2, v) > 0.f) normals[i] = n2;
    }
  }
}

namespace {

// Offsets start at 0 and normals at the records' own when the caller has none.
void default_offsets_and_normals(const std::vector<Particle>& particles,
                                 std::vector<float>& offsets, std::vector<float3>& normals) {
  const int n = static_cast<int>(particles.size());
  if (offsets.empty()) offsets.assign(n, 0.f);
  if (normals.empty()) {
    normals.resize(n);
#pragma omp parallel if (n >= parallel_min_items)
    {
      int begin, end;
      static_split(n, omp_get_thread_num(), omp_get_num_threads(), begin, end);
      for (int i = begin; i < end; ++i) normals[i] = particles[i].normal;
    }
  }
}

// Sorts the set by the cells of the base positions and returns the sampling stride inside
// neighbour cells: the average cell length over the divisor, at least 1.
int sort_by_base_cells(std::vector<Particle>& particles, std::vector<float>& offsets,
                       std::vector<float3>& normals, std::vector<unsigned long long>& keys,
                       std::vector<unsigned int>& handles, float3 origin, float scale,
                       int cell_length_divisor, int& max_cell_length) {
  const int n = static_cast<int>(particles.size());
  identity_handles(handles, n);
  sort_particle_handles(handles, keys);
  reorder_particle_set(particles, offsets, normals, handles);

  max_cell_length = 0;
  float average_cell_length = 0.f;
  {
    std::vector<unsigned long long> cell_keys;
    std::vector<unsigned int> cell_starts;
    create_cell_start_index_table(cell_keys, cell_starts, keys);
    compute_cell_length_stats(&max_cell_length, &average_cell_length, cell_keys, cell_starts,
                              keys);
  }
  std::cout << "average cell length " << static_cast<double>(average_cell_length) << std::endl;
  std::cout << "    max cell length " << max_cell_length << std::endl;

  const float quotient = average_cell_length / static_cast<float>(cell_length_divisor);
  return quotient > 1.f ? static_cast<int>(quotient) : 1;
}

// One run of the filter over a set sorted by its base cells: the grid and the per-point vectors
// that the iterations share, and the iterations themselves.
struct FilterRun {
  FilterRun(std::vector<Particle>& particles, std::vector<float>& offsets,
            std::vector<float3>& normals, std::vector<unsigned long long>& keys,
            std::vector<unsigned int>& handles, float3 origin, float scale, float radius,
            float alpha, float beta, int max_cell_length, int length_quotient)
      : particles(particles), offsets(offsets), normals(normals), keys(keys), handles(handles),
        origin(origin), scale(scale), radius(radius), alpha(alpha), beta(beta),
        max_cell_length(max_cell_length), length_quotient(length_quotient) {}
  std::vector<Particle>& particles;
  std::vector<float>& offsets;
  std::vector<float3>& normals;
  std::vector<unsigned long long>& keys;
  std::vector<unsigned int>& handles;
  float3 origin;
  float scale, radius, alpha, beta;
  int max_cell_length, length_quotient;
  int n = static_cast<int>(particles.size());
  std::vector<float> density = std::vector<float>(n, 0.f);
  std::vector<float> proposed_offsets = std::vector<float>(n, 0.f);
  std::vector<float> low_offsets = offsets, high_offsets = offsets;
  GridBuild grid;

  void rebuild() {
    yv::timer::start("total iteration time");
    yv::timer::start("hash map generation");
    build_grid(grid, keys, handles, particles, offsets, origin, scale);
    drop_slots();
    keep_slots();
    yv::timer::stop("hash map generation");
  }
  void normals_pass(bool first) {
    yv::timer::start("normals update");
    compute_normals(particles, offsets, normals, grid.cell_keys, grid.cell_sizes, handles,
                    grid.map, origin, max_cell_length, radius, alpha, beta, first,
                    length_quotient);
    yv::timer::stop("normals update");
  }
  void density_pass() {
    yv::timer::start("density update");
    update_density(density, particles, offsets, normals, grid.cell_keys, grid.cell_sizes,
                   handles, grid.map, origin, max_cell_length, radius, alpha, beta,
                   length_quotient);
    yv::timer::stop("density update");
  }
  // The weighted-median position pass with update weight `step`; returns how many points left
  // the range of offsets they have taken.
  int position_pass(float step) {
    yv::timer::start("positions update");
    update_particles(proposed_offsets, particles, density, offsets, normals, grid.cell_keys,
                     grid.cell_sizes, handles, grid.map, origin, max_cell_length, radius, alpha,
                     beta, step, length_quotient);
    drop_slots();
    return track_offset_ranges(offsets, proposed_offsets, low_offsets, high_offsets);
  }
  int gradient_pass(float timestep) {
    yv::timer::start("positions update");
    update_particles_gd(proposed_offsets, particles, density, offsets, normals, grid.cell_keys,
                        grid.cell_sizes, handles, grid.map, origin, max_cell_length, radius,
                        alpha, beta, length_quotient, timestep);
    drop_slots();
    return track_offset_ranges(offsets, proposed_offsets, low_offsets, high_offsets);
  }
  void finish_iteration() {
    yv::timer::stop("positions update");
    yv::timer::stop("total iteration time");
    print_and_reset_timers();
    grid = GridBuild();
  }
  bool few_changed(int changed) const {
    return static_cast<double>(n) * 0.2 > static_cast<double>(changed);
  }
  // The weighted-median iterations: the update weight shrinks by 0.8 whenever few points leave
  // their ranges; returns the number of the next iteration.
  int median_iterations(int iterations) {
    int counter = 1;
    float step = 1.f;
    if (iterations < 1) return counter;
    do {
      print_banner(counter);
      rebuild();
      normals_pass(counter == 1);
      density_pass();
      const int changed = position_pass(step);
      if (few_changed(changed)) {
        low_offsets = offsets;
        high_offsets = offsets;
        step = static_cast<float>(static_cast<double>(step) * 0.8);
      }
      finish_iteration();
      ++counter;
    } while (counter <= iterations && step > 0.125f);
    return counter;
  }
  void gradient_iterations(int counter, int count, float timestep) {
    low_offsets = offsets;
    high_offsets = offsets;
    for (int it = counter + 1; it <= counter + count; ++it) {
      print_banner(it);
      rebuild();
      density_pass();
      const int changed = gradient_pass(timestep);
      finish_iteration();
      if (few_changed(changed)) break;
    }
  }
  void final_pass() {
    rebuild();
    normals_pass(false);
    position_pass(1.f);
    finish_iteration();
  }
};

}  // namespace

void filter_particles(std::vector<Particle>& particles, std::vector<float>& offsets,
                      std::vector<float3>& normals, float alpha, float beta, float radius,
                      int iterations, int gradient_iterations, float timestep,
                      int cell_length_divisor, std::string name) {
  default_offsets_and_normals(particles, offsets, normals);
  if (particles.empty()) {
    // Nothing to filter; the viewer sequence advances as for any other call.
    sendParticlesToOstrel(particles, offsets, normals, name, debug_ostrel_particle_iteration);
    debug_ostrel_particle_iteration += 11;
    return;
  }

  const float3 origin = grid_origin(particles, offsets, radius);
  const float scale = 1.f / radius;
  std::vector<unsigned long long> keys(particles.size());
  compute_cell_keys_base(keys, particles, origin, scale);

  sendParticlesToOstrel(particles, offsets, normals, name, debug_ostrel_particle_iteration);
  debug_ostrel_particle_iteration += 1;

  std::vector<unsigned int> handles;
  int max_cell_length = 0;
  const int length_quotient =
      sort_by_base_cells(particles, offsets, normals, keys, handles, origin, scale,
                         cell_length_divisor, max_cell_length);
  {
    const SlotsGuard slots_guard;
    FilterRun run(particles, offsets, normals, keys, handles, origin, scale, radius, alpha, beta,
                  max_cell_length, length_quotient);
    const int counter = run.median_iterations(iterations);
    run.gradient_iterations(counter, gradient_iterations, timestep);
    run.final_pass();
  }
  release_pass_buffers();

  debug_ostrel_particle_iteration += 10;
}

void compute_particle_support(std::vector<float>& support, std::vector<Particle>& particles,
                              std::vector<float>& offsets, std::vector<float3>& normals,
                              float radius, float min_support) {
  const int n = static_cast<int>(particles.size());
  support.clear();
  if (n == 0) {
    std::vector<Particle> none;
    sendParticlesToOstrel(none, offsets, std::vector<float3>(), "particles_support",
                          debug_ostrel_particle_iteration);
    return;
  }

  const float3 origin = grid_origin(particles, offsets, radius);
  const float scale = 1.f / radius;

  std::vector<unsigned long long> keys(n);
  std::vector<unsigned int> handles;
  identity_handles(handles, n);
  compute_cell_keys_effective(keys, handles, particles, offsets, origin, scale);
  sort_particle_handles(handles, keys);
  reorder_particle_set(particles, offsets, normals, handles);

  std::vector<unsigned long long> cell_keys;
  std::vector<int> cell_sizes;
  HashMap map;
  {
    std::vector<unsigned int> cell_starts;
    create_cell_start_index_table(cell_keys, cell_starts, keys);
    create_cell_size_prefix_sum(cell_sizes, cell_starts, n);
    map = create_hash_map(cell_keys, cell_starts, 0.8f);
  }

  support.assign(n, 0.f);
  ComputeParticleSupportFunctor::min_support = min_support;
  {
    const std::vector<float> none;
    std::vector<std::pair<int, float>>& pairs = pass_results<float>;
    ComputeParticleSupportFunctor functor;
    iterate_particles_cells(functor, pairs, cell_keys, cell_sizes, none, offsets, normals,
                            particles, handles, map, origin, 0, radius, 0.f, 0.f, 1);
    scatter_results(support, pairs);
  }
  release_pass_buffers();

  // Grey levels of the support for the viewer.
  float largest = 0.f;
  for (float s : support)
    if (s > largest) largest = s;
  std::vector<Particle> grey(particles);
  for (int i = 0; i < n; ++i) {
    const float v = largest > 0.f ? support[i] / largest * 255.f : 0.f;
    const int g = v >= 0.f && v <= 255.f ? static_cast<int>(v) : 0;
    const unsigned char level = static_cast<unsigned char>(g & 0xFF);
    grey[i].color.x = grey[i].color.y = grey[i].color.z = level;
  }
  sendParticlesToOstrel(grey, offsets, std::vector<float3>(), "particles_support",
                        debug_ostrel_particle_iteration);
}
