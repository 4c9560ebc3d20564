// The neighbourhood engine of the particle passes: for every point of every occupied cell of a
// grid build, a functor runs over the points of the 27 cells around it.
#pragma once

#include <cuda_runtime.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <exception>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "hashing.h"
#include "particle_lanes.h"
#include "particles.h"
#include "team_error.h"

namespace pf {

// The squared distance beyond which a pair surely lies farther than h apart once the square root
// is taken (with a margin far above rounding).
inline float far_bound(float h) { return h * h * 1.0001f; }

// True when a squared distance certainly exceeds h, so the caller may skip the root.
inline bool surely_beyond(float squared_distance, float h) {
  return squared_distance > far_bound(h);
}

}  // namespace pf

// Everything a functor may read while a cell pass runs.
struct CellPassInputs {
  const float* density;
  const float* offsets;
  const float3* normals;
  const Particle* particles;
  float radius;
  float alpha;
  float beta;
  int max_cell_length;
};

// The neighbours of the points of one cell in delivery order, copied into contiguous arrays once
// per cell. `density` and `inv_density` (1 / density) are filled only for passes that read
// densities.
struct NeighbourBlock {
  const int* q;
  const float *x, *y, *z;
  const float *nx, *ny, *nz;
  const float *density, *inv_density;
  float3 position(int i) const { return make_float3(x[i], y[i], z[i]); }
  float3 normal(int i) const { return make_float3(nx[i], ny[i], nz[i]); }
};

// One Local per lane, for passes whose lanes keep separate running state.
template <class Local>
struct LaneLocals {
  explicit LaneLocals(const CellPassInputs& in) : l(pf_lanes::max_lanes, Local(in)) {}
  std::vector<Local> l;
};

namespace pf_detail {
const int neighbour_offsets[27][3] = {
    {-1, -1, -1}, {0, -1, -1}, {1, -1, -1}, {-1, 0, -1}, {0, 0, -1},  {1, 0, -1}, {-1, 1, -1},
    {0, 1, -1},   {1, 1, -1},  {-1, -1, 0}, {0, -1, 0},  {1, -1, 0},  {-1, 0, 0}, {0, 0, 0},
    {1, 0, 0},    {-1, 1, 0},  {0, 1, 0},   {1, 1, 0},   {-1, -1, 1}, {0, -1, 1}, {1, -1, 1},
    {-1, 0, 1},   {0, 0, 1},   {1, 0, 1},   {-1, 1, 1},  {0, 1, 1},   {1, 1, 1}};

[[noreturn]] inline void throw_invalid_cell_start(unsigned long long key) {
  std::stringstream s;
  s << "cell_start is invalid!  key " << key << "   value " << empty_cell_start << std::endl;
  throw std::runtime_error(s.str());
}

template <class F, class = void>
struct has_lanes : std::false_type {};
template <class F>
struct has_lanes<F, std::void_t<typename F::Lanes>> : std::true_type {};
// Lane state of a functor with lanes; a placeholder for the others.
template <class F, bool = has_lanes<F>::value>
struct LaneState {
  explicit LaneState(const CellPassInputs&) {}
};
template <class F>
struct LaneState<F, true> : F::Lanes {
  explicit LaneState(const CellPassInputs& in) : F::Lanes(in) {}
};

// Per-pass buffers of each point's current cell key and effective position in handle order.
// They live on between passes, so that a pass neither allocates nor zero-fills them; the filter
// frees them when it is done. There is one set in the program: passes run one at a time.
// Between one grid build and the next change of the offsets, every pass would compute the same
// slots: the filter sets `keep` after a build, the next pass then computes them once and marks
// them `held`, and later passes reuse them until the filter clears both flags.
struct SlotBuffers {
  std::vector<unsigned long long> keys;
  std::vector<float3> positions;
  bool keep = false, held = false;
  int held_count = 0;
};
SlotBuffers& slot_buffers();

// Readies the buffers for a pass over `slots` slots; true when they still hold this grid
// build's slots, so that the pass need not compute them.
inline bool claim_slot_buffers(SlotBuffers& b, int slots) {
  const bool reuse = b.held && b.held_count == slots;
  if (!reuse) b.held = false;
  if (static_cast<int>(b.keys.size()) < slots) {
    b.keys.resize(slots);
    b.positions.resize(slots);
  }
  return reuse;
}

// After a pass that computed the slots: later passes may reuse them if the filter asked so.
inline void hold_slot_buffers(SlotBuffers& b, int slots, bool reused) {
  if (b.keep && !reused) {
    b.held = true;
    b.held_count = slots;
  }
}

// Per-thread buffers of the neighbours of one cell (see NeighbourBlock); they grow to the
// largest neighbourhood a thread meets and are reused for every cell of a pass. The pass owns
// them, one per thread of its team.
struct NeighbourScratch {
  std::vector<int> slot, q, list, order;
  std::vector<float> x, y, z, nx, ny, nz, density, inv_density;
};

// What every cell of one pass reads besides the functor's inputs.
struct CellPass {
  const unsigned long long* cell_keys;
  const int* cell_sizes;
  const HashMap* cell_map;
  const unsigned int* handles;
  const unsigned long long* slot_keys;  // current cell key of the point in each slot
  const float3* slot_positions;         // its effective position
  const float3* normals;
  const float* density;
  bool with_density;    // the pass reads densities
  int slots;            // slots with a point
  unsigned int stride;  // inside neighbour cells only every stride-th point is delivered
  float far_bound;      // pf::far_bound of the radius
  int lanes;            // the lane passes' route: 4, 8 or 16 lanes (see run_lane_route)
};

// The 27 cells around a cell: their keys and the slot of the first point of each, or
// empty_cell_start for a cell without points.
struct NeighbourCells {
  unsigned long long keys[27];
  unsigned int starts[27];
};

// The points of one cell: run position j is slot start + j, and its result goes to result slot
// base + j.
struct CellRun {
  unsigned long long key;
  unsigned int start;
  int base, length;
  // True while run position j holds a point that is still in the cell; the run ends at the
  // first point that has left it since the grid was built.
  bool holds(const CellPass& pass, int j) const {
    return j < length && start + static_cast<unsigned int>(j) < unsigned(pass.slots) &&
           pass.slot_keys[start + j] == key;
  }
};

// This thread's share of the slot keys and positions (unless the pass reuses them) and of the
// cleared result slots.
template <class Out_t>
void prepare_slots(unsigned long long* slot_keys, float3* slot_positions, int slots,
                   std::pair<int, Out_t>* results, int result_slots, const Particle* particles,
                   const float* offsets, const unsigned int* handles, float3 origin, float inv) {
  int begin, end;
  static_split(slots, omp_get_thread_num(), omp_get_num_threads(), begin, end);
  for (int j = begin; j < end; ++j) {
    const unsigned int h = handles[j];
    slot_keys[j] = cell_key_of_effective(particles[h], offsets[h], origin, inv);
    slot_positions[j] = grid_effective_position(particles[h], offsets[h]);
  }
  static_split(result_slots, omp_get_thread_num(), omp_get_num_threads(), begin, end);
  for (int s = begin; s < end; ++s) results[s] = std::make_pair(-1, Out_t());
}

// The slot of the first point of an occupied cell; a map that lacks the cell is an error.
inline unsigned int own_cell_start(const HashMap& map, unsigned long long key) {
  const unsigned long long size = map.size;
  unsigned int start = empty_cell_start;
  for (int a = 0; a < 64 && size > 0; ++a) {
    const unsigned long long s = (key + map.offsets[a]) % size;
    if (map.keys[s] == key) {
      start = map.values[s];
      break;
    }
  }
  if (start == empty_cell_start) throw_invalid_cell_start(key);
  return start;
}

inline void find_neighbour_cells(const HashMap& map, unsigned int x, unsigned int y, unsigned int z,
                                 NeighbourCells& cells) {
  for (int t = 0; t < 27; ++t) {
    const unsigned long long nk = morton_encode_cell((x + neighbour_offsets[t][0]) & 0xFFFFu,
                                                     (y + neighbour_offsets[t][1]) & 0xFFFFu,
                                                     (z + neighbour_offsets[t][2]) & 0xFFFFu);
    cells.keys[t] = nk;
    // Points that have no place on the grid are nobody's neighbours.
    cells.starts[t] = nk == invalid_cell_key ? empty_cell_start : hash_map_lookup(map, nk);
  }
}

// Calls visit(slot) for every neighbour delivered to the points of a cell, in delivery order:
// cell by cell, every stride-th point of each cell's run.
template <class Visit>
inline void for_each_delivered(const CellPass& pass, const NeighbourCells& cells, Visit&& visit) {
  for (int t = 0; t < 27; ++t) {
    const unsigned int ns = cells.starts[t];
    if (ns == empty_cell_start) continue;
    for (unsigned int k = 0; ns + k < unsigned(pass.slots); k += pass.stride) {
      if (pass.slot_keys[ns + k] != cells.keys[t]) break;
      visit(ns + k);
    }
  }
}

// Copies the delivered neighbours, the same for every point of the cell, into the scratch
// arrays; returns their count.
inline int gather_neighbours(const CellPass& pass, const NeighbourCells& cells,
                             NeighbourScratch& nb) {
  nb.slot.clear();
  for_each_delivered(pass, cells, [&](unsigned int s) { nb.slot.push_back(static_cast<int>(s)); });
  const int count = static_cast<int>(nb.slot.size());
  if (static_cast<int>(nb.q.size()) < count) {
    for (auto* v : {&nb.x, &nb.y, &nb.z, &nb.nx, &nb.ny, &nb.nz}) v->resize(count);
    nb.q.resize(count);
    nb.list.resize(count);
  }
  if (pass.with_density && static_cast<int>(nb.density.size()) < count) {
    nb.density.resize(count);
    nb.inv_density.resize(count);
  }
  for (int k = 0; k < count; ++k) {
    const int s = nb.slot[k];
    const int q = static_cast<int>(pass.handles[s]);
    nb.q[k] = q;
    nb.x[k] = pass.slot_positions[s].x;
    nb.y[k] = pass.slot_positions[s].y;
    nb.z[k] = pass.slot_positions[s].z;
    const float3 nq = pass.normals[q];
    nb.nx[k] = nq.x;
    nb.ny[k] = nq.y;
    nb.nz[k] = nq.z;
    if (pass.with_density) {
      nb.density[k] = pass.density[q];
      nb.inv_density[k] = 1.f / pass.density[q];
    }
  }
  return count;
}

inline NeighbourBlock block_of(const NeighbourScratch& nb) {
  return {nb.q.data(),  nb.x.data(),  nb.y.data(),       nb.z.data(),          nb.nx.data(),
          nb.ny.data(), nb.nz.data(), nb.density.data(), nb.inv_density.data()};
}

// The run positions of the points still in the cell, ordered so that the points of a lane group
// lie close together (by the Morton code of their cube of a quarter of the radius): the fewer
// neighbours they share, the fewer lanes a neighbour leaves idle. A point's result does
// not depend on the points that share its group. Returns how many there are.
inline int order_run(const CellPass& pass, const CellRun& run, float radius, int group,
                     std::vector<int>& order) {
  int len = 0;
  while (run.holds(pass, len)) ++len;
  if (static_cast<int>(order.size()) < 2 * len) order.resize(2 * len);
  if (len <= group) {  // one group: not worth a sort
    for (int j = 0; j < len; ++j) order[j] = j;
    return len;
  }
  int* const code = order.data() + len;
  const float s = 4.f / radius;
  const auto quarter = [s](float v) {
    const float c = std::floor(v * s);
    return std::fabs(c) < 1e9f ? static_cast<int>(static_cast<long long>(c) & 3) : 0;
  };
  for (int j = 0; j < len; ++j) {
    const float3 x = pass.slot_positions[run.start + j];
    const int ix = quarter(x.x), iy = quarter(x.y), iz = quarter(x.z);
    code[j] = (ix & 1) | (iy & 1) << 1 | (iz & 1) << 2 | (ix >> 1) << 3 | (iy >> 1) << 4 |
              (iz >> 1) << 5;
  }
  int start[65] = {0};
  for (int j = 0; j < len; ++j) ++start[code[j] + 1];
  for (int c = 0; c < 64; ++c) start[c + 1] += start[c];
  for (int j = 0; j < len; ++j) order[start[code[j]]++] = j;
  return len;
}

// The points at order[k, k + N) of the run (fewer at its end), with their result slots
// claimed; a short group repeats its first point in the spare lanes. Returns how many are real.
template <int N, class Out_t>
PF_LANES_INLINE int take_lane_group(const CellPass& pass, const CellRun& run, const int* order,
                                    int k, int len, int (&p)[N], float3 (&xp)[N],
                                    int (&slot_of)[N], std::pair<int, Out_t>* results) {
  const int g = std::min(N, len - k);
  for (int l = 0; l < g; ++l) {
    const int j = order[k + l];
    p[l] = static_cast<int>(pass.handles[run.start + j]);
    xp[l] = pass.slot_positions[run.start + j];
    slot_of[l] = run.base + j;
    results[run.base + j].first = p[l];
  }
  for (int l = g; l < N; ++l) {
    p[l] = p[0];
    xp[l] = xp[0];
  }
  return g;
}

// Drops the neighbours that are pf::surely_beyond the radius from all N points: `list` gets
// the others, in order. Returns their count.
template <int N>
PF_LANES_INLINE int list_near_neighbours(const NeighbourBlock& block, int count,
                                         const float3 (&xp)[N], float far_bound,
                                         int* __restrict__ list) {
  using namespace pf_lanes;
  typedef typename width<N>::vf V;
  const float* __restrict__ bx = block.x;
  const float* __restrict__ by = block.y;
  const float* __restrict__ bz = block.z;
  const v3<V> XP = pack<V>(xp);
  const V bound = splat<V>(far_bound);
  int near = 0;
  for (int k = 0; k < count; ++k) {
    const v3<V> d = sub(v3<V>{splat<V>(bx[k]), splat<V>(by[k]), splat<V>(bz[k])}, XP);
    list[near] = k;
    near += any(~(dot(d, d) > bound));
  }
  return near;
}

// The points of the run N at a time through the functor's lanes; the results of spare lanes are
// dropped.
template <class Functor, int N>
PF_LANES_INLINE void run_lanes(const CellPass& pass, const CellPassInputs& in, const CellRun& run,
                               NeighbourScratch& nb, int count, LaneState<Functor>& lanes,
                               std::pair<int, typename Functor::Out_t>* results) {
  const int len = order_run(pass, run, in.radius, N, nb.order);
  const NeighbourBlock block = block_of(nb);
  int* const list = nb.list.data();
  for (int k = 0; k < len; k += N) {
    pf_lanes::clean_upper<N>();  // the functor's per-point set-up is scalar
    int p[N], slot_of[N];
    float3 xp[N];
    const int g = take_lane_group<N>(pass, run, nb.order.data(), k, len, p, xp, slot_of, results);
    const int near = list_near_neighbours<N>(block, count, xp, pass.far_bound, list);
    typename Functor::Out_t out[N];
    Functor::lanes(lanes, in, p, xp, block, list, near, count, pass.far_bound, out);
    for (int l = 0; l < g; ++l) results[slot_of[l]].second = out[l];
  }
  pf_lanes::clean_upper<N>();
}

// The lane loop of a cell: 16 lanes in 512-bit registers where the machine has AVX-512, 8 in
// 256-bit ones where it has AVX2, else 4 in 128-bit ones. Each wide route is a function built for
// its target from the start (a clone of a generic body would have been optimised for 128 bits
// before the cloning), with everything it calls inlined. Nothing may fuse: AVX2 has no FMA, and
// the AVX-512 route, whose instruction set has it, is built with contraction off (g++ contracts
// C++ where FMA is available, ISO mode or not).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define PF_WIDE_LANES 1
template <class Functor>
__attribute__((target("avx2"))) void run_wide_lanes(
    const CellPass& pass, const CellPassInputs& in, const CellRun& run, NeighbourScratch& nb,
    int count, LaneState<Functor>& lanes, std::pair<int, typename Functor::Out_t>* results) {
  run_lanes<Functor, 8>(pass, in, run, nb, count, lanes, results);
}
template <class Functor>
__attribute__((target("avx512f,avx512dq,avx512vl,avx512bw"), optimize("fp-contract=off"))) void
run_widest_lanes(const CellPass& pass, const CellPassInputs& in, const CellRun& run,
                 NeighbourScratch& nb, int count, LaneState<Functor>& lanes,
                 std::pair<int, typename Functor::Out_t>* results) {
  run_lanes<Functor, 16>(pass, in, run, nb, count, lanes, results);
}
#endif

// The lane count of the passes' route: the widest the machine runs unless TESSIVAR_LANES names
// a narrower one (for measuring); tests set it to reach each route.
int& lane_route();
// Whether the machine runs the route of `lanes` lanes.
bool lane_route_runs(int lanes);
// The route for a TESSIVAR_LANES value (null where it is unset) on a machine that runs the routes
// for which `runs` is true: the widest of them up to the value. A value other than 4, 8 or 16 is
// ignored, with a warning naming the variable.
int choose_lane_route(const char* asked, bool (*runs)(int), std::ostream& warnings);

template <class Functor>
void run_lane_route(const CellPass& pass, const CellPassInputs& in, const CellRun& run,
                    NeighbourScratch& nb, int count, LaneState<Functor>& lanes,
                    std::pair<int, typename Functor::Out_t>* results, int route) {
#ifdef PF_WIDE_LANES
  if (route == 16) return run_widest_lanes<Functor>(pass, in, run, nb, count, lanes, results);
  if (route == 8) return run_wide_lanes<Functor>(pass, in, run, nb, count, lanes, results);
#endif
  run_lanes<Functor, 4>(pass, in, run, nb, count, lanes, results);
}

// The points of the run one at a time, pair by pair.
template <class Functor>
void run_scalar_route(const CellPass& pass, const CellPassInputs& in, const CellRun& run,
                      const NeighbourCells& cells, typename Functor::Local& local,
                      std::pair<int, typename Functor::Out_t>* results) {
  for (int j = 0; run.holds(pass, j); ++j) {
    const int p = static_cast<int>(pass.handles[run.start + j]);
    results[run.base + j].first = p;
    Functor::start(local, in, p, pass.slot_positions[run.start + j]);
    for_each_delivered(pass, cells, [&](unsigned int s) {
      Functor::pair(local, in, p, static_cast<int>(pass.handles[s]), pass.slot_positions[s]);
    });
    results[run.base + j].second = Functor::finish(local, in, p);
  }
}

// One thread's functor state and neighbour buffers for a pass.
template <class Functor>
struct ThreadState {
  ThreadState(const CellPassInputs& in, NeighbourScratch& nb) : local(in), lanes(in), scratch(nb) {}
  typename Functor::Local local;
  LaneState<Functor> lanes;
  NeighbourScratch& scratch;
};

// The points of cell i; the pass is taken by value, so that the compiler sees that nothing the
// cell writes changes it.
template <class Functor>
void visit_cell(const CellPass pass, const CellPassInputs& in, int i, ThreadState<Functor>& state,
                std::pair<int, typename Functor::Out_t>* results) {
  const unsigned long long key = pass.cell_keys[i];
  const unsigned int start = own_cell_start(*pass.cell_map, key);
  unsigned int x, y, z;
  morton_decode_cell(key, x, y, z);
  if (x == 65535u && y == 65535u && z == 65535u) return;  // the cell of the invalid points
  NeighbourCells cells;
  find_neighbour_cells(*pass.cell_map, x, y, z, cells);
  const int base = i == 0 ? 0 : pass.cell_sizes[i - 1];
  const CellRun run = {key, start, base, pass.cell_sizes[i] - base};
  if constexpr (has_lanes<Functor>::value) {
    const int count = gather_neighbours(pass, cells, state.scratch);
    run_lane_route<Functor>(pass, in, run, state.scratch, count, state.lanes, results, pass.lanes);
  } else {
    run_scalar_route<Functor>(pass, in, run, cells, state.local, results);
  }
}

// The cells 0..m-1 of a grid build by falling length (ties in index order), into `order`. A
// cell's cost grows with its length, and the results do not depend on the order in which cells
// are visited.
void longest_cells_first(const std::vector<int>& cell_sizes, int m, std::vector<int>& order);

}  // namespace pf_detail

// The functors are empty types: `Local` is the per-thread state (made once per thread and
// reused for every point), start/pair/finish are the per-point steps; start and pair receive the
// effective positions of p and q.
//
// The functors of the filter passes, for which every pair whose squared distance is
// pf::surely_beyond the radius changes nothing (beyond being counted), also have `Lanes` and
// `lanes`: N points of a cell at once, one per lane (pf_lanes), over the listed entries of a
// NeighbourBlock, which hold every delivered pair not surely beyond the radius for at least one
// of the N, in delivery order; `delivered` is the number of all delivered pairs. Each lane does
// the scalar pair step's arithmetic, so the results are those of start/pair/finish bit for bit.
//
// Runs the functor for every point of every occupied cell over the points of the 27 cells
// around it. results gets one slot per point of the grid build; slot s of cell i lies in
// [cell_sizes[i - 1], cell_sizes[i]). A slot whose first is -1 got no result: the point sits
// in the invalid cell, or it (or a point before it in its cell's run) has left its cell since
// the grid was built. Inside neighbour cells only every length_quotient-th point is visited.
template <class Functor>
void iterate_particles_cells(Functor& functor,
                             std::vector<std::pair<int, typename Functor::Out_t>>& results,
                             const std::vector<unsigned long long>& cell_keys,
                             const std::vector<int>& cell_sizes, const std::vector<float>& density,
                             const std::vector<float>& offsets, const std::vector<float3>& normals,
                             const std::vector<Particle>& particles,
                             const std::vector<unsigned int>& handles, const HashMap& cell_map,
                             float3 origin, int max_cell_length, float radius, float alpha,
                             float beta, int length_quotient) {
  const int n = static_cast<int>(particles.size());
  const int m = static_cast<int>(cell_keys.size());
  // The caller's buffer keeps its storage from pass to pass; its slots are cleared in parallel
  // below rather than filled here on one thread.
  const int result_slots = m == 0 ? 0 : cell_sizes[m - 1];
  results.resize(static_cast<size_t>(result_slots));
  if (m == 0) return;

  const CellPassInputs in = {density.data(), offsets.data(), normals.data(), particles.data(),
                             radius,         alpha,          beta,           max_cell_length};
  // Offsets do not change during a pass, so each point's current cell key and effective position
  // are computed once, in handle order, instead of once per pair.
  const int slots = std::min(static_cast<int>(handles.size()), n);
  pf_detail::SlotBuffers& slot_buffers = pf_detail::slot_buffers();
  const bool reuse_slots = pf_detail::claim_slot_buffers(slot_buffers, slots);
  const unsigned int stride = static_cast<unsigned int>(std::max(length_quotient, 1));
  const pf_detail::CellPass pass = {cell_keys.data(),
                                    cell_sizes.data(),
                                    &cell_map,
                                    handles.data(),
                                    slot_buffers.keys.data(),
                                    slot_buffers.positions.data(),
                                    normals.data(),
                                    density.data(),
                                    !density.empty(),
                                    slots,
                                    stride,
                                    pf::far_bound(radius),
                                    pf_detail::lane_route()};
  std::pair<int, typename Functor::Out_t>* const out = results.data();
  TeamError error;
  const int cell_chunk = m >= 8192 ? 4 : 1;
  std::vector<int> cell_order;
  pf_detail::longest_cells_first(cell_sizes, m, cell_order);
  // The threads' neighbour buffers, owned by the pass: one per thread of the team.
  std::vector<pf_detail::NeighbourScratch> scratch(static_cast<size_t>(omp_get_max_threads()));

#pragma omp parallel
  {
    pf_detail::prepare_slots(slot_buffers.keys.data(), slot_buffers.positions.data(),
                             reuse_slots ? 0 : slots, out, result_slots, particles.data(),
                             offsets.data(), handles.data(), origin, 1.f / radius);
#pragma omp barrier
    std::unique_ptr<pf_detail::ThreadState<Functor>> state;
    try {
      state.reset(new pf_detail::ThreadState<Functor>(in, scratch[omp_get_thread_num()]));
    } catch (...) {
      error.keep_current();
    }
    // Cells differ much in cost; with few cells, hand them out one at a time, and the longest
    // first, so that no thread starts a long one while the others run out of work.
#pragma omp for schedule(dynamic, cell_chunk)
    for (int k = 0; k < m; ++k) {
      if (error.seen()) continue;
      try {
        pf_detail::visit_cell<Functor>(pass, in, cell_order[k], *state, out);
      } catch (...) {
        error.keep_current();
      }
    }
  }
  (void)functor;
  error.rethrow();
  pf_detail::hold_slot_buffers(slot_buffers, slots, reuse_slots);
}
