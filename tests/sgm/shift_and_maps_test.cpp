// The cost-volume axis shift, the edge and penalty maps, labels to depths and the median.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "depthmap_estimation_kernels.h"
#include "sgm/sgm_test_util.h"
#include "support/test_support.h"
#include "yv/filtering/filtering.h"
#include "yv/tools/range.h"

namespace {

using sgm_test::Device;

TEST(ShiftDims, SelfTestPasses) {
  tessivar_test::AllocationGuard guard;
  EXPECT_NO_THROW(test_shift_dims());
}

// Extents that are not multiples of the tile: the output is a view inside a larger allocation
// filled with a sentinel, which must survive around it.
TEST(ShiftDims, RaggedExtentsLandOnceAndTouchNothingOutside) {
  const unsigned X = 40, Y = 7, Z = 50;
  Device<float> in(X, Y, Z);
  std::vector<float> h(X * Y * Z);
  for (std::size_t i = 0; i < h.size(); ++i) h[i] = float(i);
  in.upload(h);
  Device<float> big(Z + 3, X + 2, Y + 1);
  big.fill(-5.f);
  yv::Array<float, 3> out = yv::internal::decreaseArrayDimension<float, 4, 3>(
      yv::block(big.a, yv::Range(1, Z), yv::Range(1, X), yv::Range(0, Y - 1), yv::Range(0, 0)));
  shift_dims(out, in.d3(), yv::rt::KernelForm::Cooperative);
  const std::vector<float> r = big.download();
  for (unsigned y = 0; y < Y + 1; ++y)
    for (unsigned x = 0; x < X + 2; ++x)
      for (unsigned z = 0; z < Z + 3; ++z) {
        const float v = r[(std::size_t(y) * (X + 2) + x) * (Z + 3) + z];
        const bool inside = z >= 1 && z <= Z && x >= 1 && x <= X && y < Y;
        if (inside)
          ASSERT_EQ(v, h[(std::size_t(z - 1) * Y + y) * X + (x - 1)]) << x << " " << y << " " << z;
        else
          ASSERT_EQ(v, -5.f) << "written outside at " << z << " " << x << " " << y;
      }
  // The three forms agree, also where tiles are cut along x and z.
  const unsigned extents[][3] = {{X, Y, Z}, {1, 1, 1}, {17, 17, 17}, {33, 5, 65}, {65, 31, 33}};
  for (const auto& e : extents) {
    Device<float> src(e[0], e[1], e[2]), naive(e[2], e[0], e[1]), tiled(e[2], e[0], e[1]),
        columns(e[2], e[0], e[1]);
    std::vector<float> v(std::size_t(e[0]) * e[1] * e[2]);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = float(i) * 0.25f - 3.f;
    src.upload(v);
    yv::Array<float, 3> n3 = naive.d3(), t3 = tiled.d3(), c3 = columns.d3();
    shift_dims_naive(n3, src.d3());
    shift_dims(t3, src.d3(), yv::rt::KernelForm::Cooperative);
    shift_dims(c3, src.d3(), yv::rt::KernelForm::ElementWise);
    EXPECT_EQ(naive.download(), tiled.download()) << e[0] << " x " << e[1] << " x " << e[2];
    EXPECT_EQ(naive.download(), columns.download()) << e[0] << " x " << e[1] << " x " << e[2];
  }
}

TEST(ShiftDims, ThreeShiftsRestoreAndWrongExtentsAreRefused) {
  const unsigned X = 5, Y = 3, Z = 4;
  Device<float> a(X, Y, Z), b(Z, X, Y), c(Y, Z, X), d(X, Y, Z);
  std::vector<float> h(X * Y * Z);
  for (std::size_t i = 0; i < h.size(); ++i) h[i] = 0.5f * float(i) - 7.f;
  a.upload(h);
  yv::Array<float, 3> b3 = b.d3(), c3 = c.d3(), d3 = d.d3();
  shift_dims(b3, a.d3());
  shift_dims(c3, b3);
  shift_dims(d3, c3);
  EXPECT_EQ(d.download(), h);
  // (Z, Y, X) instead of (Z, X, Y).
  Device<float> wrong(Z, Y, X);
  yv::Array<float, 3> w3 = wrong.d3();
  wrong.fill(1.f);
  EXPECT_THROW_MESSAGE(shift_dims(w3, a.d3()), "shift_dims: dimensions wrong!");
  EXPECT_EQ(wrong.download(), std::vector<float>(X * Y * Z, 1.f));
}

std::vector<uchar4> uniformImage(unsigned w, unsigned h, uchar4 c) {
  return std::vector<uchar4>(std::size_t(w) * h, c);
}

TEST(EdgeMap, UniformImageSinglePixelAndAlpha) {
  Device<uchar4> img(6, 4);
  std::vector<uchar4> h = uniformImage(6, 4, make_uchar4(10, 200, 30, 255));
  // Alpha never takes part.
  for (std::size_t i = 0; i < h.size(); i += 3) h[i].w = 0;
  img.upload(h);
  Device<float> edge(6, 4);
  edge.fill(-1.f);
  yv::Array<float, 2> e = edge.d2();
  compute_edge_map(e, img.d2());
  EXPECT_EQ(edge.download(), std::vector<float>(24, 0.f));

  Device<uchar4> one(1, 1);
  one.upload({make_uchar4(255, 0, 7, 255)});
  Device<float> e1(1, 1);
  e1.fill(3.f);
  yv::Array<float, 2> e1v = e1.d2();
  compute_edge_map(e1v, one.d2());
  EXPECT_EQ(e1.download()[0], 0.f);
}

TEST(EdgeMap, BlackToWhiteStepsBetweenColumnsAndRows) {
  const unsigned W = 5, H = 4;
  std::vector<uchar4> h(W * H);
  // Columns 0..1 black, 2..4 white; the last row is black everywhere.
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) {
      const unsigned char v = (x >= 2 && y < H - 1) ? 255 : 0;
      h[y * W + x] = make_uchar4(v, v, v, 255);
    }
  Device<uchar4> img(W, H);
  img.upload(h);
  Device<float> edge(W, H);
  yv::Array<float, 2> e = edge.d2();
  compute_edge_map(e, img.d2());
  const std::vector<float> r = edge.download();
  const float s3 = std::sqrt(3.f);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) {
      float want = 0.f;
      if (x == 1 && y < H - 1) want += s3;       // step to the right
      if (y == H - 2 && x >= 2) want += s3;      // step downwards
      EXPECT_FLOAT_EQ(r[y * W + x], want) << x << "," << y;
    }
}

TEST(P2Map, PenaltyFallsWithEdgeStrengthDownToTheFloor) {
  Device<float> map(4, 1);
  map.upload({0.f, 0.5f, 1.2f, 100.f});
  yv::Array<float, 2> m = map.d2();
  const float a = 0.1f, b = 2.f, c = 1.5f, d = 3.f;
  compute_P2_costs(m, a, b, c, d);
  const std::vector<float> r = map.download();
  EXPECT_FLOAT_EQ(r[0], 3.f);  // flat: max(a, d)
  EXPECT_NEAR(r[1], 3.f * std::exp(-2.f * std::pow(0.5f, 1.5f)), 1e-6);
  EXPECT_NEAR(r[2], 3.f * std::exp(-2.f * std::pow(1.2f, 1.5f)), 1e-6);
  EXPECT_FLOAT_EQ(r[3], a);    // strong edge: the floor
  // With c = 0 the power is 1 everywhere, even for e = 0.
  map.upload({0.f, 0.5f, 2.f, 100.f});
  compute_P2_costs(m, 0.1f, 1.f, 0.f, 2.f);
  for (float v : map.download()) EXPECT_FLOAT_EQ(v, 2.f * std::exp(-1.f));
}

TEST(LabelsToDepth, InverseDepthIsLinearInTheLabel) {
  Device<float> labels(3, 2);
  labels.upload({0.f, 1.f, 0.5f, 0.f, 1.f, 0.25f});
  yv::Array<float, 2> l = labels.d2();
  convert_labels_to_depth(l, 2, 1.f, 2.f);
  const std::vector<float> r = labels.download();
  EXPECT_EQ(r[0], 1.f);
  EXPECT_EQ(r[1], 2.f);
  EXPECT_EQ(r[2], 1.f / 0.75f);
  EXPECT_EQ(r[5], 1.f / 0.875f);
  // Four labels between depths 2 and 8.
  labels.upload({0.f, 1.f, 2.f, 3.f, 1.5f, 0.f});
  convert_labels_to_depth(l, 4, 2.f, 8.f);
  const std::vector<float> q = labels.download();
  EXPECT_FLOAT_EQ(q[0], 2.f);
  EXPECT_FLOAT_EQ(q[1], 1.f / (0.5f - 0.125f));
  EXPECT_FLOAT_EQ(q[3], 8.f);
}

TEST(Median, MatchesASortedWindowWithClampedBorders) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-10.f, 10.f);
  const unsigned sizes[][2] = {{1, 1}, {17, 17}, {33, 5}, {65, 31}};
  for (const auto& s : sizes) {
    const int W = int(s[0]), H = int(s[1]);
    std::vector<float> h(std::size_t(W) * H);
    for (float& v : h) v = dist(rng);
    Device<float> in(W, H), out(W, H);
    in.upload(h);
    yv::Array<float, 2> ov = out.d2();
    ::median3x3(ov, in.d2());
    const std::vector<float> got = out.download();
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        std::vector<float> win;
        for (int r = -1; r <= 1; ++r)
          for (int c = -1; c <= 1; ++c)
            win.push_back(h[std::min(std::max(y + r, 0), H - 1) * W + std::min(std::max(x + c, 0), W - 1)]);
        std::nth_element(win.begin(), win.begin() + 4, win.end());
        ASSERT_EQ(got[y * W + x], win[4]) << W << " x " << H << " at " << x << ", " << y;
      }
  }
}

}  // namespace
