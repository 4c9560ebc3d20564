// The neighbour iteration over the cells of a grid build, against brute force.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>

#include "fixtures.h"
#include "particle_cells.h"
#include "particle_filtering.h"
#include "support/test_support.h"

using pf_test::f3;
using pf_test::makeParticle;

namespace {

// Records the neighbours delivered to each point, in delivery order.
struct RecordingFunctor {
  typedef std::vector<int> Out_t;
  struct Local {
    explicit Local(const CellPassInputs&) {}
    std::vector<int> seen;
  };
  static void start(Local& l, const CellPassInputs&, int, float3) { l.seen.clear(); }
  static void pair(Local& l, const CellPassInputs&, int, int q, float3) { l.seen.push_back(q); }
  static Out_t finish(Local& l, const CellPassInputs&, int) { return l.seen; }
};

typedef std::vector<std::pair<int, std::vector<int>>> Recorded;

Recorded iterate(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                 const pf_test::TestGrid& grid, int stride) {
  const std::vector<float3> normals(particles.size(), f3(0, 0, 1));
  RecordingFunctor functor;
  Recorded results;
  iterate_particles_cells(functor, results, grid.cell_keys, grid.cell_sizes, {}, offsets, normals,
                          particles, grid.handles, grid.map, grid.origin, 0, grid.radius, 0.f, 0.f,
                          stride);
  return results;
}

struct Cell {
  bool valid;
  int x, y, z;
};

std::vector<Cell> cellsOf(const std::vector<Particle>& particles,
                          const std::vector<float>& offsets, const pf_test::TestGrid& grid) {
  std::vector<Cell> cells(particles.size());
  const float s = 1.f / grid.radius;
  for (size_t i = 0; i < particles.size(); ++i) {
    cells[i].valid =
        cell_key_of_effective(particles[i], offsets[i], grid.origin, s) != invalid_cell_key;
    if (!cells[i].valid) continue;
    const float3 e = grid_effective_position(particles[i], offsets[i]);
    cells[i].x = int(std::floor((e.x - grid.origin.x) * s));
    cells[i].y = int(std::floor((e.y - grid.origin.y) * s));
    cells[i].z = int(std::floor((e.z - grid.origin.z) * s));
  }
  return cells;
}

// The points of the 27 cells around p's cell, cell by cell with x fastest, inside a cell in
// handle order, every stride-th point of each cell.
std::vector<int> bruteForce(int p, const std::vector<Cell>& cells, const pf_test::TestGrid& grid,
                            int stride) {
  const Cell& c = cells[p];
  std::vector<int> expected;
  for (int dz = -1; dz <= 1; ++dz)
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        int run = 0;
        for (unsigned h : grid.handles) {
          const Cell& q = cells[h];
          if (!q.valid || q.x != c.x + dx || q.y != c.y + dy || q.z != c.z + dz) continue;
          if (run++ % stride == 0) expected.push_back(int(h));
        }
      }
  return expected;
}

}  // namespace

TEST(CellIteration, DeliversExactlyThePointsOfThe27Cells) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  std::vector<Particle> particles;
  std::vector<float> offsets;
  for (int i = 0; i < 1500; ++i) {
    particles.push_back(makeParticle(f3(u(rng), u(rng), 0.3f * u(rng)),
                                     pf_test::normalized(f3(u(rng) - 0.5f, u(rng) - 0.5f, 1.f)),
                                     f3(0, 0, 1), 0, i));
    offsets.push_back(0.2f * (u(rng) - 0.5f));
  }
  // Points without a place on the grid are never delivered and get no result.
  particles[10].position.x = std::numeric_limits<float>::quiet_NaN();
  offsets[20] = std::numeric_limits<float>::infinity();

  pf_test::TestGrid grid;
  grid.build(particles, offsets, 0.13f);
  const std::vector<Cell> cells = cellsOf(particles, offsets, grid);
  for (int stride : {1, 3}) {
    for (int threads : {1, 8}) {
      SCOPED_TRACE(testing::Message() << "stride " << stride << ", " << threads << " threads");
      omp_set_num_threads(threads);
      const Recorded results = iterate(particles, offsets, grid, stride);
      ASSERT_EQ(results.size(), particles.size());
      std::vector<int> seen(particles.size(), 0);
      for (const auto& slot : results) {
        if (slot.first < 0) continue;
        ++seen[slot.first];
        ASSERT_EQ(slot.second, bruteForce(slot.first, cells, grid, stride))
            << "point " << slot.first;
      }
      for (size_t i = 0; i < particles.size(); ++i)
        EXPECT_EQ(seen[i], (i == 10 || i == 20) ? 0 : 1) << "point " << i;
    }
  }
  omp_set_num_threads(omp_get_num_procs());
}

TEST(CellIteration, LonePointStrideAndMovedPoints) {
  const float3 up = f3(0, 0, 1);
  std::vector<Particle> particles;
  // Seven coincident points in one cell, and a lone point far away.
  for (int i = 0; i < 7; ++i) particles.push_back(makeParticle(f3(0.55f, 0.55f, 0.55f), up, up));
  particles.push_back(makeParticle(f3(5.55f, 5.55f, 5.55f), up, up));
  std::vector<float> offsets(particles.size(), 0.f);
  pf_test::TestGrid grid;
  grid.build(particles, offsets, 1.f);

  Recorded results = iterate(particles, offsets, grid, 1);
  ASSERT_EQ(results.size(), 8u);
  for (const auto& slot : results) {
    ASSERT_GE(slot.first, 0);
    if (slot.first == 7) {
      EXPECT_EQ(slot.second, (std::vector<int>{7}));
    } else {
      EXPECT_EQ(slot.second.size(), 7u);
    }
  }

  // Stride 3: run positions 0, 3 and 6 of the cell; every point of the cell is still visited.
  results = iterate(particles, offsets, grid, 3);
  int visited = 0;
  for (const auto& slot : results) {
    if (slot.first == 7) continue;
    ++visited;
    EXPECT_EQ(slot.second, (std::vector<int>{int(grid.handles[0]), int(grid.handles[3]),
                                              int(grid.handles[6])}));
  }
  EXPECT_EQ(visited, 7);

  // A point that has left its cell since the build ends its cell's run: it and the points after
  // it get no result, and it is no longer anybody's neighbour beyond the cut.
  std::vector<float> moved(offsets);
  moved[grid.handles[2]] = 3.f;
  results = iterate(particles, moved, grid, 1);
  int filled = 0;
  for (const auto& slot : results) {
    if (slot.first < 0) continue;
    ++filled;
    if (slot.first != 7) {
      EXPECT_EQ(slot.second, (std::vector<int>{int(grid.handles[0]), int(grid.handles[1])}));
    }
  }
  EXPECT_EQ(filled, 3);
}

TEST(CellIteration, MissingOwnCellIsAnError) {
  const float3 up = f3(0, 0, 1);
  std::vector<Particle> particles = {makeParticle(f3(0, 0, 0), up, up),
                                     makeParticle(f3(3, 0, 0), up, up)};
  std::vector<float> offsets(2, 0.f);
  pf_test::TestGrid grid;
  grid.build(particles, offsets, 1.f);
  ASSERT_EQ(grid.cell_keys.size(), 2u);
  // A map that lacks the second cell.
  grid.map = create_hash_map({grid.cell_keys[0]}, {grid.cell_starts[0]}, 0.8f);
  for (int threads : {1, 4}) {
    omp_set_num_threads(threads);
    EXPECT_THROW_MESSAGE(iterate(particles, offsets, grid, 1),
                         "cell_start is invalid!  key " + std::to_string(grid.cell_keys[1]) +
                             "   value 4294967295\n");
  }
  omp_set_num_threads(omp_get_num_procs());
}

namespace {

// The functor with only its per-pair steps, so that the iteration takes its plain route.
template <class F>
struct PairByPair {
  typedef typename F::Out_t Out_t;
  typedef typename F::Local Local;
  static void start(Local& l, const CellPassInputs& in, int p, float3 x) { F::start(l, in, p, x); }
  static void pair(Local& l, const CellPassInputs& in, int p, int q, float3 x) {
    F::pair(l, in, p, q, x);
  }
  static Out_t finish(Local& l, const CellPassInputs& in, int p) { return F::finish(l, in, p); }
};

struct Cloud {
  std::vector<Particle> particles;
  std::vector<float> offsets, density;
  std::vector<float3> normals;
  pf_test::TestGrid grid;
};

template <class F>
void expectSameBits(const Cloud& c, int stride, const std::vector<float>& density) {
  typedef std::vector<std::pair<int, typename F::Out_t>> Results;
  Results fast, plain;
  F f;
  PairByPair<F> g;
  for (auto* run : {&fast, &plain}) {
    if (run == &fast)
      iterate_particles_cells(f, *run, c.grid.cell_keys, c.grid.cell_sizes, density, c.offsets,
                              c.normals, c.particles, c.grid.handles, c.grid.map, c.grid.origin,
                              40, c.grid.radius, 0.3f, 0.7f, stride);
    else
      iterate_particles_cells(g, *run, c.grid.cell_keys, c.grid.cell_sizes, density, c.offsets,
                              c.normals, c.particles, c.grid.handles, c.grid.map, c.grid.origin,
                              40, c.grid.radius, 0.3f, 0.7f, stride);
  }
  ASSERT_EQ(fast.size(), plain.size());
  for (size_t s = 0; s < fast.size(); ++s) {
    ASSERT_EQ(fast[s].first, plain[s].first) << "slot " << s;
    EXPECT_EQ(std::memcmp(&fast[s].second, &plain[s].second, sizeof(typename F::Out_t)), 0)
        << "point " << fast[s].first;
  }
}

}  // namespace

// The passes read the neighbours of a cell in bulk and run points side by side (16 where the
// machine has AVX-512, 8 where it has AVX2, else 4: every route it runs runs here); each result
// must have the bits of the pair-by-pair route.
TEST(CellIteration, BulkAndSideBySideRoutesGiveThePairByPairBits) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  Cloud c;
  for (int i = 0; i < 2500; ++i) {
    // A wavy sheet with noise, so that cells hold runs of all lengths and normals disagree.
    const float x = u(rng), y = u(rng);
    float3 pos = f3(x, y, 0.1f * std::sin(9.f * x) + 0.02f * u(rng));
    if (i % 50 == 1) pos = c.particles.back().position;  // coincident points
    const float3 n = pf_test::normalized(f3(u(rng) - 0.5f, u(rng) - 0.5f, u(rng) - 0.3f));
    c.particles.push_back(makeParticle(pos, pf_test::normalized(f3(u(rng) - 0.5f, 0.2f, 1.f)), n,
                                       i % 3, i, 0.02f + 0.05f * u(rng)));
    c.offsets.push_back(0.01f * (u(rng) - 0.5f));
    c.normals.push_back(n);
    c.density.push_back(0.5f + u(rng));
  }
  c.grid.build(c.particles, c.offsets, 0.07f);
  // A point that left its cell after the build cuts its cell's run.
  c.offsets[c.grid.handles[1000]] += 0.5f;
  const std::vector<float> none;
  const int machine_route = pf_detail::lane_route();
  for (int stride : {1, 3}) {
    for (int lanes : {4, 8, 16}) {
      if (!pf_detail::lane_route_runs(lanes)) continue;
      // The narrow route on one thread suffices.
      const int threads = lanes == 4 ? 1 : 8;
      pf_detail::lane_route() = lanes;
      SCOPED_TRACE(testing::Message() << "stride " << stride << ", " << threads << " threads, "
                                      << lanes << " lanes");
      omp_set_num_threads(threads);
      expectSameBits<ComputeDensityFunctor>(c, stride, none);
      expectSameBits<ComputeNormalsFunctor<true, false>>(c, stride, none);
      expectSameBits<ComputeNormalsFunctor<false, true>>(c, stride, none);
      expectSameBits<ComputeGradientFunctor<false>>(c, stride, c.density);
      expectSameBits<ComputeGradientFunctor<true>>(c, stride, c.density);
      expectSameBits<UpdateParticlePosFunctor<false>>(c, stride, c.density);
      expectSameBits<UpdateParticlePosFunctor<true>>(c, stride, c.density);
    }
  }
  pf_detail::lane_route() = machine_route;
  omp_set_num_threads(omp_get_num_procs());
}

// TESSIVAR_LANES caps the route at the width it names; any other value is ignored with a warning
// that names the variable.
TEST(CellIteration, LaneRouteCappedByTheEnvironment) {
  bool (*const all)(int) = [](int) { return true; };
  bool (*const no_avx512)(int) = [](int lanes) { return lanes != 16; };
  const struct {
    const char* asked;
    bool (*runs)(int);
    int route;
  } cases[] = {{nullptr, all, 16},       {"16", all, 16},       {"8", all, 8},
               {"4", all, 4},            {nullptr, no_avx512, 8}, {"16", no_avx512, 8},
               {"4", no_avx512, 4},      {"garbage", all, 16},  {"7", all, 16},
               {"-1", all, 16},          {"8x", all, 16},       {"", all, 16},
               {"garbage", no_avx512, 8}};
  for (const auto& c : cases) {
    const std::string asked = c.asked ? c.asked : "(unset)";
    std::ostringstream warnings;
    EXPECT_EQ(pf_detail::choose_lane_route(c.asked, c.runs, warnings), c.route) << asked;
    const bool valid = !c.asked || asked == "4" || asked == "8" || asked == "16";
    EXPECT_EQ(warnings.str().find("TESSIVAR_LANES=") != std::string::npos, !valid) << asked;
  }
  // The value is shown as messages show words: escaped, and cut when long.
  std::ostringstream warnings;
  const std::string asked = std::string(100000, '7') + "\x1b[2J";
  EXPECT_EQ(pf_detail::choose_lane_route(asked.c_str(), [](int) { return true; }, warnings), 16);
  EXPECT_EQ(warnings.str(), "TESSIVAR_LANES=" + std::string(40, '7') +
                                "... (100004 bytes) is not one of 4, 8, 16; ignored\n");
  // Never inside a character; a backslash cannot pass for an escape.
  std::string accents = "\\x1b\x1b";
  for (int i = 0; i < 30; ++i) accents += "\xc3\xa9";
  warnings.str("");
  pf_detail::choose_lane_route(accents.c_str(), [](int) { return true; }, warnings);
  EXPECT_EQ(warnings.str(), "TESSIVAR_LANES=\\\\x1b\\x1b" + accents.substr(5, 34) +
                                "... (65 bytes) is not one of 4, 8, 16; ignored\n");
}
