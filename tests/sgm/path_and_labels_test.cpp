// Path aggregation on tiny volumes against the host model, path starts of wrapping directions,
// the cost fix, and label extraction with its tie rules and sub-label refinement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "sgm/sgm_reference.h"
#include "sgm/sgm_test_util.h"
#include "sgm_kernels.h"
#include "support/test_support.h"
#include "yv/runtime/texture.h"

namespace {

using sgm_test::Device;
using sgm_test::Volume;

using PathLaunch = void (*)(yv::Array<float, 3>, yv::Array<float, 3>, float, float,
                            const yv::rt::Texture2D<float>&, cudaStream_t);
#define DIR(dx, dy) {&sgm_path_kernel<false, dx, dy>, &sgm_path_kernel<true, dx, dy>}
const PathLaunch kLaunch[32][2] = {
    DIR(1, 0),   DIR(-1, 0),  DIR(0, 1),   DIR(0, -1),  DIR(1, 1),   DIR(-1, 1),  DIR(-1, -1),
    DIR(1, -1),  DIR(2, 1),   DIR(2, -1),  DIR(-2, 1),  DIR(-2, -1), DIR(1, 2),   DIR(-1, 2),
    DIR(1, -2),  DIR(-1, -2), DIR(4, 1),   DIR(4, 3),   DIR(4, -1),  DIR(4, -3),  DIR(-4, 1),
    DIR(-4, 3),  DIR(-4, -1), DIR(-4, -3), DIR(1, 4),   DIR(3, 4),   DIR(-1, 4),  DIR(-3, 4),
    DIR(1, -4),  DIR(3, -4),  DIR(-1, -4), DIR(-3, -4)};
#undef DIR

// Runs direction i on the device over `costs` and returns the aggregated volume.
Volume runDirection(int i, const Volume& C, float P1, float P2, const std::vector<float>& p2map) {
  Device<float> T(C.n, C.W, C.H), S(C.n, C.W, C.H);
  T.upload(C.v);
  S.fill(0.f);
  yv::rt::Texture2D<float> tex;
  std::unique_ptr<Device<float>> map;
  if (!p2map.empty()) {
    map.reset(new Device<float>(C.W, C.H));
    map->upload(p2map);
    yv::rt::TextureDesc desc;
    EXPECT_EQ(yv::rt::createTexture2D(&tex, map->a.ptr, map->a.pitch.y, C.W, C.H, desc),
              cudaSuccess);
  }
  kLaunch[i][p2map.empty() ? 0 : 1](S.d3(), T.d3(), P1, P2, tex, 0);
  EXPECT_EQ(yv::rt::deviceSynchronize(), cudaSuccess);
  if (!p2map.empty()) yv::rt::destroyTexture(&tex);
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
  Volume r(C.n, C.W, C.H);
  r.v = S.download();
  return r;
}

Volume randomVolume(unsigned n, unsigned W, unsigned H, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(0.f, 4.f);
  Volume v(n, W, H);
  for (float& f : v.v) f = dist(rng);
  return v;
}

TEST(PathAggregation, EveryDirectionMatchesTheHostModel) {
  // Sizes where lines wrap many times, not at all, and with one pixel per line.
  const unsigned sizes[][3] = {{3, 7, 5}, {33, 4, 9}, {2, 1, 6}, {4, 6, 1}, {3, 11, 3}};
  for (const auto& sz : sizes) {
    const Volume C = randomVolume(sz[0], sz[1], sz[2], sz[0] * 100 + sz[1]);
    std::vector<float> p2map(sz[1] * sz[2]);
    for (std::size_t i = 0; i < p2map.size(); ++i) p2map[i] = 0.2f + 0.37f * float(i % 5);
    for (int i = 0; i < 32; ++i) {
      const auto dir = sgm_test::allDirections()[i];
      for (bool useMap : {false, true}) {
        Volume want(C.n, C.W, C.H);
        sgm_test::aggregate(want, C, dir.first, dir.second, 0.3f, 1.1f,
                            useMap ? p2map : std::vector<float>());
        const Volume got = runDirection(i, C, 0.3f, 1.1f, useMap ? p2map : std::vector<float>());
        ASSERT_EQ(got.v, want.v) << "direction (" << dir.first << ", " << dir.second
                                 << ") map " << useMap << " size " << sz[1] << "x" << sz[2];
      }
    }
  }
}

// Costs (0, 10) everywhere with P1 = 1, P2 = 5: a path's first pixel keeps label 1 at 10, every
// later pixel raises it to 11, so the aggregated label-1 plane shows where paths start.
Volume pathStartProbe(unsigned W, unsigned H, int direction) {
  Volume C(2, W, H);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) C.at(1, x, y) = 10.f;
  return runDirection(direction, C, 1.f, 5.f, {});
}

// Both forms of one direction: cooperative and per-line, without and with a P2 map.
struct PathForms {
  int dx, dy;
  PathLaunch launch[4];
};
#define DIR(dx, dy)                                                                          \
  {dx, dy, {&sgm_path_kernel_cooperative<false, dx, dy>, &sgm_path_kernel_cooperative<true, dx, dy>, \
            &sgm_path_kernel_per_line<false, dx, dy>, &sgm_path_kernel_per_line<true, dx, dy>}}
// Column- and row-major directions of each slope class.
const PathForms kForms[] = {DIR(1, 0), DIR(0, -1), DIR(-1, 1), DIR(-1, 2), DIR(4, -3)};
#undef DIR

// The cooperative form (lanes of a block, phase by phase) and the one-thread-per-line form each
// give the host model's bits, with enough labels to spread over the lanes unevenly. (A GPU runs
// the cooperative form for both, so the host model is what checks it there.)
TEST(PathAggregation, CooperativeAndPerLineFormsMatchTheHostModelToTheBit) {
  const unsigned sizes[][2] = {{1, 1}, {17, 17}, {33, 5}, {65, 31}};
  for (unsigned n : {32u, 33u, 70u})
    for (const auto& sz : sizes) {
      const Volume C = randomVolume(n, sz[0], sz[1], n + sz[0]);
      Device<float> T(n, sz[0], sz[1]), map(sz[0], sz[1]);
      T.upload(C.v);
      std::vector<float> p2(std::size_t(sz[0]) * sz[1]);
      for (std::size_t i = 0; i < p2.size(); ++i) p2[i] = 0.5f + 0.25f * float(i % 7);
      map.upload(p2);
      yv::rt::Texture2D<float> tex;
      ASSERT_EQ(yv::rt::createTexture2D(&tex, map.a.ptr, map.a.pitch.y, sz[0], sz[1],
                                        yv::rt::TextureDesc()),
                cudaSuccess);
      for (const PathForms& forms : kForms)
        for (int useMap = 0; useMap < 2; ++useMap) {
          Volume want(n, sz[0], sz[1], 0.5f);  // what earlier directions left
          sgm_test::aggregate(want, C, forms.dx, forms.dy, 0.3f, 1.1f,
                              useMap ? p2 : std::vector<float>());
          for (int form = 0; form < 2; ++form) {
            Device<float> S(n, sz[0], sz[1]);
            S.fill(0.5f);
            forms.launch[2 * form + useMap](S.d3(), T.d3(), 0.3f, 1.1f, tex, 0);
            ASSERT_EQ(yv::rt::deviceSynchronize(), cudaSuccess);
            ASSERT_EQ(yv::rt::getLastError(), cudaSuccess);
            const std::vector<float> got = S.download();
            ASSERT_EQ(std::memcmp(got.data(), want.v.data(), got.size() * sizeof(float)), 0)
                << "n " << n << " size " << sz[0] << "x" << sz[1] << " direction (" << forms.dx
                << ", " << forms.dy << ") " << (form ? "per line" : "cooperative") << " map "
                << useMap;
          }
        }
      yv::rt::destroyTexture(&tex);
    }
}

TEST(PathAggregation, PathsStartWhereTheMinorCoordinateWraps) {
  // (1, 1) on three rows: besides column 0, every wrap lands in row 0.
  const Volume s = pathStartProbe(9, 3, 4);
  for (unsigned y = 0; y < 3; ++y)
    for (unsigned x = 0; x < 9; ++x)
      EXPECT_EQ(s.at(1, x, y), (x == 0 || y == 0) ? 10.f : 11.f) << x << "," << y;
  // One row: every pixel starts a path, so S = C.
  const Volume one = pathStartProbe(6, 1, 4);
  for (unsigned x = 0; x < 6; ++x) EXPECT_EQ(one.at(1, x, 0), 10.f);
  // One column with (1, 0): one pixel per line.
  const Volume col = pathStartProbe(1, 5, 0);
  for (unsigned y = 0; y < 5; ++y) EXPECT_EQ(col.at(1, 0, y), 10.f);
  // (-1, -1) walks from the last column; wraps below row 0 come back in the last row.
  const Volume back = pathStartProbe(7, 3, 6);
  for (unsigned y = 0; y < 3; ++y)
    for (unsigned x = 0; x < 7; ++x)
      EXPECT_EQ(back.at(1, x, y), (x == 6 || y == 2) ? 10.f : 11.f) << x << "," << y;
}

TEST(PathAggregation, TheSlopeTwoLineVisitsRowsInPairs) {
  const auto paths = sgm_test::pathsOf(2, 1, 7, 20);
  const std::vector<unsigned> rows = {0, 1, 1, 2, 2, 3, 3};
  ASSERT_FALSE(paths.empty());
  for (unsigned k = 0; k < 7; ++k) EXPECT_EQ(paths[0][k], sgm_test::Pixel(k, rows[k]));
  const auto back = sgm_test::pathsOf(-2, 1, 7, 20);
  for (unsigned k = 0; k < 7; ++k) EXPECT_EQ(back[0][k], sgm_test::Pixel(6 - k, rows[k]));
  // Equal costs at a pixel and a flat previous vector: L = (v + q) - q for every label.
  Volume C(3, 2, 1);
  for (unsigned d = 0; d < 3; ++d) {
    C.at(d, 0, 0) = 0.1f;
    C.at(d, 1, 0) = 0.7f;
  }
  const Volume s = runDirection(0, C, 0.5f, 2.f, {});
  for (unsigned d = 0; d < 3; ++d) EXPECT_EQ(s.at(d, 1, 0), (0.7f + 0.1f) - 0.1f);
}

TEST(CostFix, NonFiniteCostsBecomeAThousandFiniteOnesStay) {
  Device<float> T(3, 2, 2);
  const std::vector<float> h = {INFINITY, -INFINITY, NAN, -0.f, FLT_MAX, -FLT_MAX,
                                1e-38f,   5.f,       NAN, 0.f,  2.f,     -3.f};
  T.upload(h);
  sgm_fix_matching_costs2(T.d3());
  const std::vector<float> r = T.download();
  const std::vector<float> want = {1000.f, 1000.f, 1000.f, -0.f, FLT_MAX, -FLT_MAX,
                                   1e-38f, 5.f,    1000.f, 0.f,  2.f,     -3.f};
  EXPECT_EQ(r, want);
}

// Extracts labels of a (n, W, 1) volume.
std::vector<float> extract(const Volume& S) {
  Device<float> dS(S.n, S.W, S.H), labels(S.W, S.H);
  dS.upload(S.v);
  labels.fill(-1.f);
  sgm_extract_labels(labels.d2(), dS.d3());
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
  return labels.download();
}

// The cooperative extraction (lanes of a block, phase by phase) against the one-thread-per-row
// form, on costs with many ties and NaNs, rows of full and partial batches of 32 pixels.
TEST(LabelExtraction, CooperativeAndPerRowFormsAgreeToTheBit) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> level(0, 6);
  const unsigned sizes[][2] = {{1, 1}, {17, 17}, {33, 5}, {65, 31}};
  for (unsigned n : {32u, 33u, 70u})
    for (const auto& sz : sizes) {
      std::vector<float> h(std::size_t(n) * sz[0] * sz[1]);
      for (float& v : h) v = level(rng) == 0 ? NAN : float(level(rng)) * 0.75f;
      Device<float> S(n, sz[0], sz[1]), a(sz[0], sz[1]), b(sz[0], sz[1]);
      S.upload(h);
      sgm_extract_labels_cooperative(a.d2(), S.d3());
      sgm_extract_labels_per_row(b.d2(), S.d3());
      ASSERT_EQ(yv::rt::getLastError(), cudaSuccess);
      const std::vector<float> ra = a.download(), rb = b.download();
      ASSERT_EQ(std::memcmp(ra.data(), rb.data(), ra.size() * sizeof(float)), 0)
          << "n " << n << " size " << sz[0] << "x" << sz[1];
    }
}

TEST(LabelExtraction, SubLabelRefinementKnownAnswers) {
  // Costs 0 at l and 1 at l - 1 and l + 1 give l exactly, for every l up to 261.
  const unsigned n = 263, W = 262;
  Volume S(n, W, 1, 5.f);
  for (unsigned l = 0; l < W; ++l) {
    S.at(l, l, 0) = 0.f;
    if (l >= 1) S.at(l - 1, l, 0) = 1.f;
    S.at(l + 1, l, 0) = 1.f;
  }
  const std::vector<float> r = extract(S);
  for (unsigned l = 0; l < W; ++l) EXPECT_EQ(r[l], float(l)) << l;

  // 0 at l, 1 at l - 1 and 3 at l + 1: the vertex lies a quarter label below l.
  Volume A(40, 3, 1, 9.f);
  const unsigned ls[3] = {1, 17, 38};
  for (unsigned x = 0; x < 3; ++x) {
    A.at(ls[x], x, 0) = 0.f;
    A.at(ls[x] - 1, x, 0) = 1.f;
    A.at(ls[x] + 1, x, 0) = 3.f;
  }
  const std::vector<float> q = extract(A);
  for (unsigned x = 0; x < 3; ++x) EXPECT_FLOAT_EQ(q[x], float(ls[x]) - 0.25f);
}

TEST(LabelExtraction, EndLabelsTiesNaNsAndTheTailOfARow) {
  const unsigned n = 40, W = 33;
  Volume S(n, W, 2, 2.f);
  S.at(0, 0, 0) = 0.f;            // minimum at label 0: whole label
  S.at(n - 1, 1, 0) = 0.f;        // minimum at the last label: whole label
  S.at(1, 2, 0) = S.at(33, 2, 0) = 0.f;  // same lane: the lower label
  S.at(1, 3, 0) = S.at(16, 3, 0) = 0.f;  // lane 16 comes before lane 1
  S.at(8, 4, 0) = S.at(4, 4, 0) = 0.f;   // lane 8 comes before lane 4
  for (unsigned d = 0; d < n; ++d) S.at(d, 5, 0) = NAN;
  for (unsigned d = 0; d < n; ++d) S.at(d, 6, 0) = FLT_MAX;
  for (unsigned d = 0; d < n; ++d) S.at(d, 7, 0) = INFINITY;
  S.at(20, 32, 0) = 0.f;          // the 33rd pixel of the row
  for (unsigned d = 0; d < n; ++d) S.at(d, 32, 1) = float(std::abs(int(d) - 12));
  const std::vector<float> r = extract(S);
  EXPECT_EQ(r[0], 0.f);
  EXPECT_EQ(r[1], float(n - 1));
  EXPECT_EQ(r[2], 1.f);
  EXPECT_EQ(r[3], 16.f);
  EXPECT_EQ(r[4], 8.f);
  EXPECT_EQ(r[5], 0.f);
  EXPECT_EQ(r[6], 0.f);
  EXPECT_EQ(r[7], 0.f);
  EXPECT_EQ(r[32], 20.f);
  // A V-shaped cost: the parabola through three points of a V has its vertex at the minimum.
  EXPECT_EQ(r[W + 32], 12.f);
  // All costs equal: the lowest label.
  EXPECT_EQ(r[W + 0], 0.f);
}

}  // namespace
