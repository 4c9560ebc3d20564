// The windowed colour correlation: agreement and opposition of textures, the NaN border, centres
// without depth, the participation count and the window sizes offered.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "depthmap_refinement_kernels.h"
#include "render_memory.h"
#include "rendering/render_test_util.h"
#include "support/test_support.h"

using render_test::download;
using render_test::upload;

namespace {

std::vector<uchar4> texture(unsigned W, unsigned H, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uchar4> v(W * H);
  for (uchar4& c : v) c = make_uchar4(byte(rng), byte(rng), byte(rng), 255);
  return v;
}

// Runs ncc on host images and returns the scores.
std::vector<float> score(std::vector<uchar4> a, std::vector<uchar4> b, std::vector<float> depth,
                         unsigned W, unsigned H, float maxDiff, int radius) {
  ArrayReleaser guard;
  yv::Array<uchar4, 2> da = upload(a, W, H), db = upload(b, W, H);
  yv::Array<float, 2> dd = upload(depth, W, H);
  std::vector<float> init(W * H, 5.f);
  yv::Array<float, 2> out = upload(init, W, H);
  for (auto x : {da, db}) guard.add(x);
  for (auto x : {dd, out}) guard.add(x);
  ncc(out, da, db, dd, maxDiff, radius);
  return download(out);
}

}  // namespace

TEST(Ncc, SameTextureScoresOneAndNegatedMinusOneInsideANanBorder) {
  tessivar_test::AllocationGuard alloc;
  const unsigned W = 24, H = 17;
  const std::vector<uchar4> a = texture(W, H, 1);
  std::vector<uchar4> negated = a;
  for (uchar4& c : negated) c = make_uchar4(255 - c.x, 255 - c.y, 255 - c.z, 255);
  const std::vector<float> depth(W * H, 1.5f);
  for (int radius : {2, 3}) {
    const std::vector<float> same = score(a, a, depth, W, H, 0.1f, radius);
    const std::vector<float> opposite = score(a, negated, depth, W, H, 0.1f, radius);
    for (unsigned y = 0; y < H; ++y)
      for (unsigned x = 0; x < W; ++x) {
        const bool border = int(x) < radius || int(y) < radius || int(x) >= int(W) - radius ||
                            int(y) >= int(H) - radius;
        const std::size_t i = y * W + x;
        if (border) {
          EXPECT_TRUE(std::isnan(same[i])) << x << " " << y;
          EXPECT_TRUE(std::isnan(opposite[i])) << x << " " << y;
        } else {
          EXPECT_NEAR(same[i], 1.f, 1e-5f) << x << " " << y;
          EXPECT_NEAR(opposite[i], -1.f, 1e-5f) << x << " " << y;
        }
      }
  }
  // Unrelated textures correlate weakly.
  const std::vector<float> other = score(a, texture(W, H, 2), depth, W, H, 0.1f, 3);
  EXPECT_LT(std::fabs(other[8 * W + 12]), 0.7f);
}

TEST(Ncc, CentresWithoutDepthAndTooFewWindowPixelsHaveNoScore) {
  tessivar_test::AllocationGuard alloc;
  const unsigned W = 7, H = 7;  // one interior pixel for radius 3: (3, 3)
  const std::vector<uchar4> a = texture(W, H, 5);
  const std::size_t centre = 3 * W + 3;
  for (float d0 : {0.f, -1.f, FLT_MAX, INFINITY, NAN}) {
    std::vector<float> depth(W * H, 1.f);
    depth[centre] = d0;
    EXPECT_TRUE(std::isnan(score(a, a, depth, W, H, 0.1f, 3)[centre])) << d0;
  }
  // 25 of 49 window pixels reached by the second image give a score, 24 do not; alpha 128
  // counts as reached, 127 does not.
  std::vector<uchar4> b = a;
  for (std::size_t i = 0; i < b.size(); ++i) b[i].w = i < 25 ? 128 : 127;
  const std::vector<float> depth(W * H, 1.f);
  EXPECT_FALSE(std::isnan(score(a, b, depth, W, H, 0.1f, 3)[centre]));
  b[24].w = 127;
  EXPECT_TRUE(std::isnan(score(a, b, depth, W, H, 0.1f, 3)[centre]));
  // A depth difference equal to the limit excludes the pixel.
  // (24 pixels at the centre's depth, 25 half a unit behind.)
  std::vector<float> far(W * H, 1.5f);
  for (std::size_t i = 0; i < 23; ++i) far[i] = 1.f;
  far[centre] = 1.f;
  EXPECT_FALSE(std::isnan(score(a, a, far, W, H, 0.50001f, 3)[centre]));
  EXPECT_TRUE(std::isnan(score(a, a, far, W, H, 0.5f, 3)[centre]));
}

TEST(Ncc, OnlyWindowRadiiOneToThree) {
  tessivar_test::AllocationGuard alloc;
  const unsigned W = 8, H = 8;
  const std::vector<uchar4> a = texture(W, H, 9);
  const std::vector<float> depth(W * H, 1.f);
  for (int radius : {0, 4})
    EXPECT_THROW_MESSAGE(score(a, a, depth, W, H, 0.1f, radius), "ncc: window size not supported");
}

// The windows are centred on their weighted means (the bare weighted sums would leave the score
// dominated by the windows' average colours): a window without variation has no score.
TEST(Ncc, WindowsWithoutVariationAroundTheirMeanHaveNoScore) {
  tessivar_test::AllocationGuard alloc;
  const unsigned W = 9, H = 9;
  const std::vector<uchar4> a = texture(W, H, 3), b = texture(W, H, 4);
  const std::vector<float> depth(W * H, 1.f);
  // Radius 1 weighs the centre pixel alone (its four direct neighbours lie at u = 1), so each
  // window's mean is its centre colour.
  const std::vector<float> r1 = score(a, b, depth, W, H, 0.1f, 1);
  for (unsigned y = 1; y + 1 < H; ++y)
    for (unsigned x = 1; x + 1 < W; ++x) EXPECT_TRUE(std::isnan(r1[y * W + x])) << x << " " << y;
  // A uniform window in either image, against a textured one.
  const std::vector<uchar4> flat(W * H, make_uchar4(120, 60, 200, 255));
  for (int radius : {2, 3}) {
    const std::vector<float> s1 = score(flat, b, depth, W, H, 0.1f, radius);
    const std::vector<float> s2 = score(a, flat, depth, W, H, 0.1f, radius);
    for (unsigned y = unsigned(radius); y + radius < H; ++y)
      for (unsigned x = unsigned(radius); x + radius < W; ++x) {
        EXPECT_TRUE(std::isnan(s1[y * W + x])) << radius << ": " << x << " " << y;
        EXPECT_TRUE(std::isnan(s2[y * W + x])) << radius << ": " << x << " " << y;
      }
  }
}
