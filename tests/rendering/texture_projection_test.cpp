// Warping another view's colour image onto a reference depth map: texel-exact colours, the strict
// image border, occlusion against the other view's depth, depth offsets and differing view sizes.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "render_test_util.h"
#include "support/test_support.h"

using namespace render_test;
using tessivar_test::AllocationGuard;

namespace {

const int W = 12, H = 8;
// Focal length and principal point chosen so that every reprojection is exact in floats.
const float kF = 32.f, kCx = 5.f, kCy = 3.f;

uchar4 texel(int x, int y) { return make_uchar4(10 * x, 20 * y, 255, 13); }

struct Views {
  std::vector<float> ref, otherDepth;
  std::vector<uchar4> otherImage;
  int ow, oh;
  Views(float refDepth, float otherD, int otherW = W, int otherH = H)
      : ref(W * H, refDepth), otherDepth(otherW * otherH, otherD), otherImage(otherW * otherH),
        ow(otherW), oh(otherH) {
    for (int y = 0; y < oh; ++y)
      for (int x = 0; x < ow; ++x) otherImage[y * ow + x] = texel(x, y);
  }

  // Runs the warp with the other view at `pr` and returns the W x H result.
  std::vector<uchar4> warp(const Projection& pr, float tolerance, float offset) {
    yv::Array<float, 2> d = upload(ref, W, H);
    yv::Array<float, 2> od = upload(otherDepth, ow, oh);
    yv::Array<uchar4, 2> oi = upload(otherImage, ow, oh);
    std::vector<uchar4> init(W * H, make_uchar4(1, 1, 1, 1));
    yv::Array<uchar4, 2> result = upload(init, W, H);
    project_texture_on_depthmap(result, 1.f / kF, 1.f / kF, kCx, kCy, pr, d, od, oi, tolerance,
                                offset);
    std::vector<uchar4> out = download(result);
    for (auto a : {d, od}) yv::releaseArray(a);
    yv::releaseArray(oi);
    yv::releaseArray(result);
    return out;
  }
};

Projection sameView() {
  return camera_projection(makeCamera(W, H, kF, kCx, kCy), W, H, 0.f, FLT_MAX);
}

bool same(uchar4 a, uchar4 b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }

const uchar4 kNone = make_uchar4(0, 0, 0, 0);
const uchar4 kOccluded = make_uchar4(0, 200, 0, 0);

}  // namespace

TEST(ProjectTexture, SameViewCopiesTexelsInsideTheStrictBorder) {
  AllocationGuard guard;
  Views v(2.f, 2.f);
  v.ref[4 * W + 3] = 0.f;  // no depth: stays empty with near = 0
  const auto out = v.warp(sameView(), 0.01f, 0.f);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const uchar4 got = out[y * W + x];
      const bool border = x == 0 || y == 0 || x == W - 1 || y == H - 1;
      if (border || (x == 3 && y == 4)) {
        EXPECT_TRUE(same(got, kNone)) << x << "," << y;
      } else {
        // The texel's colour, 255 kept as 255, alpha 255 whatever the texel's alpha.
        const uchar4 t = texel(x, y);
        EXPECT_TRUE(same(got, make_uchar4(t.x, t.y, 255, 255))) << x << "," << y;
      }
    }
}

TEST(ProjectTexture, OcclusionByTheOtherViewsDepth) {
  AllocationGuard guard;
  Views v(2.f, 1.75f);
  // Exactly the tolerance behind the other view's surface: still seen.
  EXPECT_TRUE(same(v.warp(sameView(), 0.25f, 0.f)[3 * W + 4], make_uchar4(40, 60, 255, 255)));
  EXPECT_TRUE(same(v.warp(sameView(), 0.125f, 0.f)[3 * W + 4], kOccluded));
  // A NaN depth in the other view counts as occluding.
  v.otherDepth.assign(W * H, std::numeric_limits<float>::quiet_NaN());
  EXPECT_TRUE(same(v.warp(sameView(), 1.f, 0.f)[3 * W + 4], kOccluded));
}

TEST(ProjectTexture, DepthOffsetLiftsThePointAndShiftsTheOtherDepth) {
  AllocationGuard guard;
  Views v(2.f, 2.f);
  // The other view sits 0.625 to the side: a point at depth 2.5 moves by 8 pixels, one at depth
  // 2 by 10.
  Projection pr = sameView();
  pr.t[0] = 0.625f;
  const auto out = v.warp(pr, 0.0625f, 0.5f);
  EXPECT_TRUE(same(out[3 * W + 9], make_uchar4(10, 60, 255, 255)));  // texel (1, 3)
  // Unlifted, the same pixel falls on column -1 of the other view.
  EXPECT_TRUE(same(v.warp(pr, 0.0625f, 0.f)[3 * W + 9], kNone));
  // The offset is added to the other view's depth too: a lifted point at 2.5 is not occluded by
  // a stored depth of 2.
  EXPECT_TRUE(same(v.warp(sameView(), 0.0625f, 0.5f)[3 * W + 4], make_uchar4(40, 60, 255, 255)));
}

TEST(ProjectTexture, DepthLimitsAndRefusedArrays) {
  AllocationGuard guard;
  Views v(2.f, 2.f);
  Projection pr = sameView();
  pr.far = 2.f;
  for (uchar4 c : v.warp(pr, 0.1f, 0.f)) EXPECT_TRUE(same(c, kNone));
  pr.far = FLT_MAX;
  pr.near = 2.f;
  for (uchar4 c : v.warp(pr, 0.1f, 0.f)) EXPECT_TRUE(same(c, kNone));

  // A result in host memory is refused before anything runs.
  std::vector<uchar4> host(W * H);
  yv::Array<uchar4, 2> hostResult = yv::arrayFromHostMemory(host.data(), W, H);
  yv::Array<float, 2> d = upload(v.ref, W, H);
  yv::Array<uchar4, 2> oi = upload(v.otherImage, W, H);
  EXPECT_THROW_MESSAGE(project_texture_on_depthmap(hostResult, 1.f / kF, 1.f / kF, kCx, kCy,
                                                   sameView(), d, d, oi, 0.1f, 0.f),
                       "memory of the array must be on the device");
  yv::releaseArray(d);
  yv::releaseArray(oi);
}

TEST(ProjectTexture, OtherViewOfAnotherSizeIsAddressedInItsOwnLayout) {
  AllocationGuard guard;
  // The same camera with an image 4 columns wider on the right: the mirrored principal point
  // moves by 4, and every reference pixel must find the texel of its own column.
  const int OW = W + 4;
  Views v(2.f, 2.f, OW, H);
  const Projection pr =
      camera_projection(makeCamera(OW, H, kF, kCx + 4.f, kCy), OW, H, 0.f, FLT_MAX);
  const auto out = v.warp(pr, 0.01f, 0.f);
  for (int y = 1; y < H - 1; ++y)
    for (int x = 1; x < W - 1; ++x) {
      const uchar4 t = texel(x, y);
      EXPECT_TRUE(same(out[y * W + x], make_uchar4(t.x, t.y, 255, 255))) << x << "," << y;
    }
}

TEST(ProjectTexture, ResultSmallerThanTheDepthMapIsRefused) {
  AllocationGuard guard;
  Views v(2.f, 2.f);
  yv::Array<float, 2> d = upload(v.ref, W, H);
  yv::Array<uchar4, 2> oi = upload(v.otherImage, W, H);
  std::vector<uchar4> small(W * (H - 1));
  yv::Array<uchar4, 2> result = upload(small, W, H - 1);
  EXPECT_THROW_MESSAGE(project_texture_on_depthmap(result, 1.f / kF, 1.f / kF, kCx, kCy,
                                                   sameView(), d, d, oi, 0.1f, 0.f),
                       "render: result has extents (12, 7); it must cover 12 x 8 x 1");
  yv::releaseArray(d);
  yv::releaseArray(oi);
  yv::releaseArray(result);
}
