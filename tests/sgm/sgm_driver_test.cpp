// The driver: direction tiers, one or two streams, the penalty map, the cost fix on its own copy,
// the debug dumps, argument errors and the release of everything it allocates.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "settings.h"
#include "sgm.h"
#include "sgm/sgm_reference.h"
#include "sgm/sgm_test_util.h"
#include "support/test_support.h"
#include "yv/tools/range.h"

namespace {

using sgm_test::Device;
using sgm_test::Volume;

// Image-major costs (x column, y row, z label), as sgm takes them.
struct Costs {
  unsigned W, H, n;
  std::vector<float> v;  // x fastest, then y, then label
  float& at(unsigned x, unsigned y, unsigned d) { return v[(std::size_t(d) * H + y) * W + x]; }
  Volume labelMajor() const {
    Volume c(n, W, H);
    for (unsigned d = 0; d < n; ++d)
      for (unsigned y = 0; y < H; ++y)
        for (unsigned x = 0; x < W; ++x) {
          const float f = v[(std::size_t(d) * H + y) * W + x];
          c.at(d, x, y) = std::fabs(f) < INFINITY ? f : 1000.f;
        }
    return c;
  }
};

Costs randomCosts(unsigned W, unsigned H, unsigned n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(0.f, 3.f);
  Costs c{W, H, n, std::vector<float>(std::size_t(W) * H * n)};
  for (float& f : c.v) f = dist(rng);
  return c;
}

// The reference sum of the first k directions; with two streams, the slot-1 directions are
// summed apart and added at the end.
Volume referenceSum(const Volume& C, int k, float P1, float P2, bool twoStreams,
                    const std::vector<float>& map = {}) {
  static const int slot[32] = {0, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1,
                               0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1};
  Volume s0(C.n, C.W, C.H), s1(C.n, C.W, C.H);
  for (int i = 0; i < k; ++i) {
    const auto dir = sgm_test::allDirections()[i];
    sgm_test::aggregate(twoStreams && slot[i] ? s1 : s0, C, dir.first, dir.second, P1, P2, map);
  }
  if (twoStreams)
    for (std::size_t i = 0; i < s0.v.size(); ++i) s0.v[i] += s1.v[i];
  return s0;
}

std::vector<float> readFloats(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> f(bytes.size() / 4);
  std::memcpy(f.data(), bytes.data(), f.size() * 4);
  return f;
}

std::string readLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

class SgmDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDebug_ = debug_depthmap;
    savedOut_ = output_directory;
    output_directory = dir_.path();
    std::filesystem::create_directories(dir_.file("debug"));
    debug_depthmap = true;
  }
  void TearDown() override {
    debug_depthmap = savedDebug_;
    output_directory = savedOut_;
  }
  // Runs sgm and returns the labels; the aggregated volume comes from the debug dump.
  std::vector<float> run(const Costs& c, float P1, float P2, int numPaths, bool singleStream,
                         const std::vector<float>& map = {}) {
    Device<float> costs(c.W, c.H, c.n), labels(c.W, c.H);
    costs.upload(c.v);
    yv::Array<float, 2> l = labels.d2();
    yv::Array<float, 3> cv = costs.d3();
    std::unique_ptr<Device<float>> m;
    yv::Array<float, 2> mv{};
    if (!map.empty()) {
      m.reset(new Device<float>(c.W, c.H));
      m->upload(map);
      mv = m->d2();
    }
    sgm(l, cv, P1, P2, mv, numPaths, singleStream);
    costsAfter_ = costs.download();
    return labels.download();
  }
  // The dumped aggregated volume, label-major again.
  Volume dumpedSum(const Costs& c) const {
    const std::vector<float> f = readFloats(dir_.file("debug/debug_path_costs.dat"));
    Volume s(c.n, c.W, c.H);
    EXPECT_EQ(f.size(), s.v.size());
    for (unsigned d = 0; d < c.n && f.size() == s.v.size(); ++d)
      for (unsigned y = 0; y < c.H; ++y)
        for (unsigned x = 0; x < c.W; ++x) s.at(d, x, y) = f[(std::size_t(d) * c.H + y) * c.W + x];
    return s;
  }

  tessivar_test::TempDir dir_;
  std::vector<float> costsAfter_;
  bool savedDebug_ = true;
  std::string savedOut_;
};

TEST_F(SgmDriver, NumPathsChoosesFourEightSixteenOrThirtyTwoDirections) {
  tessivar_test::AllocationGuard guard;
  const Costs c = randomCosts(7, 5, 6, 11);
  const Volume C = c.labelMajor();
  const std::pair<int, int> cases[] = {{-3, 4}, {0, 4}, {7, 4},   {8, 8},  {15, 8},
                                       {16, 16}, {31, 16}, {32, 32}, {100, 32}};
  for (const auto& nc : cases) {
    run(c, 0.25f, 1.5f, nc.first, true);
    EXPECT_EQ(dumpedSum(c).v, referenceSum(C, nc.second, 0.25f, 1.5f, false).v)
        << "numPaths " << nc.first;
  }
  EXPECT_EQ(readLine(dir_.file("debug/debug_path_costs.dat.yvinfo")), "7 5 6 1 2 32 0 0 0");
}

TEST_F(SgmDriver, TwoStreamsAddTheSameTermsInTwoSums) {
  tessivar_test::AllocationGuard guard;
  const Costs c = randomCosts(9, 6, 5, 12);
  const Volume C = c.labelMajor();
  const std::vector<float> single = run(c, 0.2f, 1.f, 16, true);
  const Volume sSingle = dumpedSum(c);
  const std::vector<float> two = run(c, 0.2f, 1.f, 16, false);
  const Volume sTwo = dumpedSum(c);
  EXPECT_EQ(sTwo.v, referenceSum(C, 16, 0.2f, 1.f, true).v);
  for (std::size_t i = 0; i < sTwo.v.size(); ++i) EXPECT_NEAR(sTwo.v[i], sSingle.v[i], 1e-4);
  for (std::size_t i = 0; i < two.size(); ++i) EXPECT_NEAR(two[i], single[i], 1e-3);
  // Every tier splits its directions over the two slots, the largest one included.
  for (int numPaths : {4, 8, 32}) {
    run(c, 0.2f, 1.f, numPaths, false);
    EXPECT_EQ(dumpedSum(c).v, referenceSum(C, numPaths, 0.2f, 1.f, true).v) << numPaths;
  }
}

TEST_F(SgmDriver, PenaltyMapReplacesTheConstantPenalty) {
  const Costs c = randomCosts(6, 4, 5, 13);
  const Volume C = c.labelMajor();
  std::vector<float> map(6 * 4);
  for (std::size_t i = 0; i < map.size(); ++i) map[i] = 0.5f + float(i % 3);
  run(c, 0.3f, 99.f, 8, true, map);
  const Volume withMap = dumpedSum(c);
  EXPECT_EQ(withMap.v, referenceSum(C, 8, 0.3f, 0.f, false, map).v);
  // The constant argument has no effect once a map is given.
  run(c, 0.3f, -4.f, 8, true, map);
  EXPECT_EQ(dumpedSum(c).v, withMap.v);
  // A map holding the constant everywhere equals no map.
  run(c, 0.3f, 1.25f, 8, true, std::vector<float>(map.size(), 1.25f));
  const Volume constantMap = dumpedSum(c);
  run(c, 0.3f, 1.25f, 8, true);
  EXPECT_EQ(dumpedSum(c).v, constantMap.v);
}

TEST_F(SgmDriver, NonFiniteCostsAreFixedInTheCopyOnly) {
  Costs c = randomCosts(5, 3, 4, 14);
  c.at(1, 1, 2) = INFINITY;
  c.at(2, 0, 0) = -INFINITY;
  c.at(4, 2, 3) = NAN;
  run(c, 0.1f, 1.f, 4, true);
  for (std::size_t i = 0; i < c.v.size(); ++i)
    EXPECT_TRUE(costsAfter_[i] == c.v[i] || (std::isnan(c.v[i]) && std::isnan(costsAfter_[i])));
  EXPECT_EQ(dumpedSum(c).v, referenceSum(c.labelMajor(), 4, 0.1f, 1.f, false).v);
}

// One pixel: every path is that pixel alone, so the aggregated costs are 4 x its costs and
// equal costs stay equal. The dump keeps the lowest of equal labels; the extraction prefers
// lane 4 over lane 1, as its reduction order gives.
TEST_F(SgmDriver, EqualLeastCostsInTheDumpAndInTheExtraction) {
  Costs c{1, 1, 5, {3.f, -1.f, 2.f, 2.f, -1.f}};
  const std::vector<float> labels = run(c, 0.5f, 3.f, 4, true);
  EXPECT_EQ(dumpedSum(c).v, (std::vector<float>{12.f, -4.f, 8.f, 8.f, -4.f}));
  EXPECT_EQ(readFloats(dir_.file("debug/debug_depthmap.dat")), std::vector<float>{1.f});
  EXPECT_EQ(readLine(dir_.file("debug/debug_depthmap.dat.yvinfo")), "1 1 1 1 2 32 0 0 0");
  EXPECT_EQ(labels, std::vector<float>{4.f});
}

TEST_F(SgmDriver, ArgumentErrorsAndNoLeaks) {
  tessivar_test::AllocationGuard guard;
  debug_depthmap = false;
  Device<float> costs(6, 4, 3), labels(5, 4), good(6, 4);
  costs.fill(1.f);
  yv::Array<float, 2> l = labels.d2();
  yv::Array<float, 3> cv = costs.d3();
  EXPECT_THROW_MESSAGE(sgm(l, cv, 1.f, 2.f, yv::Array<float, 2>{}, 4, true),
                       "sgm: labels and costs differ in their column and row extents\n"
                       " labels extents are (5, 4) costs extents are (6, 4, 3)");
  // A map whose first element is not at an aligned address.
  Device<float> map(8, 4);
  map.fill(1.f);
  const yv::Array<float, 2> shifted = yv::internal::decreaseArrayDimension<float, 4, 2>(
      yv::block(map.a, yv::Range(1, 6), yv::Range(0, 3), yv::Range(0, 0), yv::Range(0, 0)));
  yv::Array<float, 2> g = good.d2();
  EXPECT_THROW_MESSAGE(sgm(g, cv, 1.f, 2.f, shifted, 4, false), "sgm: texture offset is not 0");
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
  // Two label vectors of 1537 labels for each of four lines exceed a block's shared memory:
  // refused with CUDA's error, reported by the driver's check.
  Device<float> many(1, 1, 1537), one(1, 1);
  many.fill(1.f);
  yv::Array<float, 2> o = one.d2();
  yv::Array<float, 3> mv = many.d3();
  const std::string msg =
      tessivar_test::thrownMessage([&] { sgm(o, mv, 1.f, 2.f, yv::Array<float, 2>{}, 4, true); });
  EXPECT_NE(msg.find(": cuda error: invalid argument"), std::string::npos) << msg;
}

}  // namespace
