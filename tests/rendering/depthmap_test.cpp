// Depth and normal maps from points, and depth maps rendered into their own and other views,
// against analytic planes seen by posed cameras.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "render_test_util.h"
#include "support/test_support.h"

using namespace render_test;
using tessivar_test::AllocationGuard;

namespace {

const int W = 40, H = 30;
const float kFar = 3.4028235e38f;

// A camera turned by `angle` about the y axis, then by `tilt` about the x axis, and shifted by t
// (X_cam = R X + t).
Camera posed(float angle, float3 t, float tilt = 0.f) {
  Camera c = makeCamera(W, H, 50.f, 20.f, 15.f);
  const float co = std::cos(angle), si = std::sin(angle);
  const float ct = std::cos(tilt), st = std::sin(tilt);
  // Rx(tilt) * Ry(angle), row by row.
  const float rows[9] = {co, 0, si, st * si, ct, -st * co, -ct * si, st, ct * co};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c.R[3 * j + i] = rows[3 * i + j];
  c.t = t;
  c.center = make_float3(-(rows[0] * t.x + rows[3] * t.y + rows[6] * t.z),
                         -(rows[1] * t.x + rows[4] * t.y + rows[7] * t.z),
                         -(rows[2] * t.x + rows[5] * t.y + rows[8] * t.z));
  return c;
}

// Camera-frame ray of image element (x, y) (mirrored principal point).
float3 ray(const Camera& c, int x, int y) {
  return make_float3((float(W - 1 - x) - c.K[6]) / c.K[0], (float(H - 1 - y) - c.K[7]) / c.K[4],
                     1.f);
}

// R^T v and R v with the camera's column-major rotation.
float3 toWorld(const Camera& c, float3 v) {
  return make_float3(c.R[0] * v.x + c.R[1] * v.y + c.R[2] * v.z,
                     c.R[3] * v.x + c.R[4] * v.y + c.R[5] * v.z,
                     c.R[6] * v.x + c.R[7] * v.y + c.R[8] * v.z);
}
float3 toCamera(const Camera& c, float3 v) {
  return make_float3(c.R[0] * v.x + c.R[3] * v.y + c.R[6] * v.z,
                     c.R[1] * v.x + c.R[4] * v.y + c.R[7] * v.z,
                     c.R[2] * v.x + c.R[5] * v.y + c.R[8] * v.z);
}

// Camera-frame depth along the ray of element (x, y) to the world plane z - 0.5 x = 3.
float planeDepth(const Camera& c, int x, int y) {
  const float3 a = toWorld(c, ray(c, x, y));
  const float3 b = c.center;
  return (3.f - b.z + 0.5f * b.x) / (a.z - 0.5f * a.x);
}

}  // namespace

TEST(DepthAndNormalsFromPoints, UnseenPointsGiveEmptyDepthAndRayNormals) {
  AllocationGuard guard;
  const Camera cam = posed(0.5f, make_float3(0.3f, -0.2f, 0.5f));
  Scene s;  // one point a unit behind the camera
  const float3 axis = toWorld(cam, make_float3(0, 0, 1));
  s.add(make_float3(cam.center.x - axis.x, cam.center.y - axis.y, cam.center.z - axis.z),
        make_float3(axis.x, axis.y, axis.z), 0.1f);
  Points p = createPoints(s.particles, s.offsets, s.normals);
  CMatrix<float> depth(3, 3);
  CMatrix<float3> normals;
  compute_depthmap_and_normals_from_points(depth, normals, p, cam, 0.02f, 0.f, FLT_MAX, 1.f);
  releasePoints(p);
  ASSERT_EQ(depth.xSize, W);
  ASSERT_EQ(depth.ySize, H);
  ASSERT_EQ(normals.xSize, W);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      EXPECT_EQ(depth.data[y * W + x], kFar);
      // From the ray's point at depth 1 towards the centre: -R^T q / |q|.
      const float3 q = ray(cam, x, y);
      const float len = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z);
      const float3 e = toWorld(cam, make_float3(-q.x / len, -q.y / len, -q.z / len));
      const float3 n = normals.data[y * W + x];
      EXPECT_NEAR(n.x, e.x, 1e-5f);
      EXPECT_NEAR(n.y, e.y, 1e-5f);
      EXPECT_NEAR(n.z, e.z, 1e-5f);
    }
}

TEST(DepthAndNormalsFromPoints, TiltedPlaneGivesAnalyticDepthAndCameraFrameNormals) {
  AllocationGuard guard;
  const Camera cam = posed(0.3f, make_float3(-0.4f, 0.1f, 0.2f));
  // Camera-frame plane z = 2 + 0.25 x - 0.1 y, sampled densely, carried into the world.
  const float3 nc0 = make_float3(0.25f, -0.1f, -1.f);
  const float nl = std::sqrt(nc0.x * nc0.x + nc0.y * nc0.y + 1.f);
  const float3 nc = make_float3(nc0.x / nl, nc0.y / nl, nc0.z / nl);
  Scene s;
  for (int i = -45; i <= 45; ++i)
    for (int j = -35; j <= 35; ++j) {
      const float x = 0.02f * i, y = 0.02f * j;
      const float3 Xc = make_float3(x, y, 2.f + 0.25f * x - 0.1f * y);
      const float3 Xw = toWorld(cam, make_float3(Xc.x - cam.t.x, Xc.y - cam.t.y, Xc.z - cam.t.z));
      s.add(Xw, toWorld(cam, nc), 0.03f);
    }
  Points p = createPoints(s.particles, s.offsets, s.normals);
  CMatrix<float> depth;
  CMatrix<float3> normals;
  compute_depthmap_and_normals_from_points(depth, normals, p, cam, 0.02f, 0.f, FLT_MAX, 1.f);
  releasePoints(p);
  int checked = 0;
  for (int y = 2; y < H - 2; ++y)
    for (int x = 2; x < W - 2; ++x) {
      const float3 q = ray(cam, x, y);
      const float expected = 2.f / (1.f - 0.25f * q.x + 0.1f * q.y);
      ASSERT_NE(depth.data[y * W + x], kFar) << x << "," << y;
      EXPECT_NEAR(depth.data[y * W + x], expected, 2e-5f * expected);
      const float3 n = normals.data[y * W + x];
      EXPECT_NEAR(n.x, nc.x, 1e-5f);
      EXPECT_NEAR(n.y, nc.y, 1e-5f);
      EXPECT_NEAR(n.z, nc.z, 1e-5f);
      ++checked;
    }
  EXPECT_EQ(checked, (W - 4) * (H - 4));
}

TEST(RenderDepthmap, OwnViewReproducesEveryPositiveDepth) {
  AllocationGuard guard;
  const Camera cam = posed(0.2f, make_float3(0.1f, 0.f, 0.3f));
  std::vector<float> depth(W * H);
  std::vector<uchar4> image(W * H, make_uchar4(50, 100, 150, 255));
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const bool hole = x >= 10 && x < 20 && y >= 10 && y < 20;
      depth[y * W + x] = hole ? 0.f : 2.f + 0.02f * x - 0.01f * y;
    }
  yv::Array<float, 2> d = upload(depth, W, H);
  yv::Array<uchar4, 2> im = upload(image, W, H);
  Rendered r(W, H);
  render_depthmap(r.buffer, d, im, cam, cam, 0.f, FLT_MAX, 1.f);
  const auto out = download(r.buffer.depth);
  const auto shaded = download(r.buffer.image);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const float v = depth[y * W + x];
      const std::size_t e = r.at(x, y);
      if (v > 0.f) {
        EXPECT_NEAR(out[e], v, 1e-5f * v) << x << "," << y;
        EXPECT_NEAR(shaded[e].y, 100, 1);
      } else if (x >= 12 && x < 18 && y >= 12 && y < 18) {
        EXPECT_EQ(out[e], kFar) << "a pixel without depth draws nothing";
        EXPECT_EQ(shaded[e].y, 0);
      }
    }
  yv::releaseArray(d);
  yv::releaseArray(im);
}

TEST(RenderDepthmap, OtherViewSeesEachPixelWhereItsWorldPointProjects) {
  AllocationGuard guard;
  // A shifted source and a turned target: the relative pose depends on the order in which the
  // two poses are composed.
  const Camera source = posed(0.f, make_float3(0.5f, 0.f, 0.f));
  const Camera target = posed(0.17f, make_float3(0.f, 0.05f, 0.1f), 0.03f);
  // Sparse pixels of a world plane: every disk stays apart from the others.
  std::vector<float> depth(W * H, 0.f);
  for (int y = 3; y < H; y += 6)
    for (int x = 3; x < W; x += 6) depth[y * W + x] = planeDepth(source, x, y);
  std::vector<uchar4> image(W * H, make_uchar4(9, 8, 7, 255));
  yv::Array<float, 2> d = upload(depth, W, H);
  yv::Array<uchar4, 2> im = upload(image, W, H);
  Rendered r(W, H);
  render_depthmap(r.buffer, d, im, source, target, 0.f, FLT_MAX, 1.f);
  const auto out = download(r.buffer.depth);
  int checked = 0;
  for (int y = 3; y < H; y += 6)
    for (int x = 3; x < W; x += 6) {
      const float3 q = ray(source, x, y);
      const float ds = depth[y * W + x];
      const float3 c = make_float3(ds * q.x - source.t.x, ds * q.y - source.t.y,
                                   ds * q.z - source.t.z);
      const float3 X = toWorld(source, c);
      const float3 r3 = toCamera(target, X);
      const float3 P = make_float3(r3.x + target.t.x, r3.y + target.t.y, r3.z + target.t.z);
      const long u = std::lround(P.x * 50.f / P.z + 20.f), v = std::lround(P.y * 50.f / P.z + 15.f);
      if (u < 0 || u >= W || v < 0 || v >= H) continue;
      EXPECT_NEAR(out[r.at(W - 1 - u, H - 1 - v)], P.z, 0.01f * P.z) << x << "," << y;
      ++checked;
    }
  EXPECT_GT(checked, 15);
  yv::releaseArray(d);
  yv::releaseArray(im);
}

TEST(DepthAndNormalsFromPoints, NormalSumsUpToOneMillionthFallBackToTheRay) {
  AllocationGuard guard;
  const Camera cam = makeCamera(W, H, 50.f, 20.f, 15.f);
  // A disk facing the camera with a normal of length L, centred on the ray of pixel (25, 15):
  // that pixel's only fragment has weight w, so its normal sum is (0, 0, -L * w).
  const float w = 1.f / (std::sqrt(0.63661975f) * 0.3f);
  float L = 1e-6f / w;
  for (int k = 0; k < 64 && L * w < 1e-6f; ++k) L = std::nextafter(L, 1.f);
  for (int k = 0; k < 64 && L * w > 1e-6f; ++k) L = std::nextafter(L, 0.f);
  ASSERT_EQ(L * w, 1e-6f);
  float above = std::nextafter(L, 1.f);
  while (!(above * w > 1e-6f)) above = std::nextafter(above, 1.f);
  const std::size_t e = 14 * W + 14;  // element of pixel (25, 15)
  for (const float len : {L, above}) {
    Scene s;
    s.add(make_float3(0.2f, 0.f, 2.f), make_float3(0.f, 0.f, -len), 0.125f);
    Points p = createPoints(s.particles, s.offsets, s.normals);
    CMatrix<float> depth;
    CMatrix<float3> normals;
    compute_depthmap_and_normals_from_points(depth, normals, p, cam, 0.02f, 0.f, FLT_MAX, 1.f);
    releasePoints(p);
    ASSERT_EQ(depth.data[e], 2.f);
    const float3 n = normals.data[e];
    // Fallback: from the ray's point at depth 1, (0.1, 0, 1), towards the centre.
    const float3 expected = len == L ? make_float3(-0.1f / std::sqrt(1.01f), 0.f,
                                                   -1.f / std::sqrt(1.01f))
                                     : make_float3(0.f, 0.f, -1.f);
    EXPECT_NEAR(n.x, expected.x, 1e-6f) << len;
    EXPECT_NEAR(n.y, expected.y, 1e-6f) << len;
    EXPECT_NEAR(n.z, expected.z, 1e-6f) << len;
  }
}

namespace {

// Depth, weight sums and shaded colours of a W x H source depth map (focal length 50 in x,
// principal point (20, 15)) rendered through `pr`. Element (19, 14) lies on the optical axis.
struct Splatted {
  std::vector<float> depth, weight;
  std::vector<uchar4> image;
};
Splatted splatDepthmap(std::vector<float> depth, std::vector<uchar4> colors, Projection pr,
                       float radius_scale, float inv_fy = 1.f / 50.f) {
  yv::Array<float, 2> d = upload(depth, W, H);
  yv::Array<uchar4, 2> im = upload(colors, W, H);
  Splatted out;
  {
    Rendered r(W, H);
    render_depthmap(r.buffer, 1.f / 50.f, inv_fy, 20.f, 15.f, pr, d, im, radius_scale);
    out = {download(r.buffer.depth), download(r.buffer.weight_sum), download(r.buffer.image)};
  }
  yv::releaseArray(d);
  yv::releaseArray(im);
  return out;
}

Projection identity() {
  return camera_projection(makeCamera(W, H, 50.f, 20.f, 15.f), W, H, 0.f, FLT_MAX);
}

int drawn(const Splatted& s) {
  int n = 0;
  for (float d : s.depth) n += d != kFar;
  return n;
}

}  // namespace

TEST(RenderDepthmap, DiskRadiusFollowsSourceFocalLengthAndDepth) {
  AllocationGuard guard;
  // One pixel at depth 2 on the axis: r = 0.6 sqrt(2) * scale * d / fx_source, seen at depth
  // 2 + tz by a target of focal length 50. Radii just above / below 2 pixels cover the 13 / 9
  // pixels with dx^2 + dy^2 <= 4 / <= 2. The source's inv_fy (here twice inv_fx) plays no part.
  struct Case { float tz, scale; int pixels; };
  for (const Case c : {Case{0.f, 2.36f, 13}, Case{0.f, 2.35f, 9}, Case{2.f, 4.72f, 13},
                       Case{2.f, 4.70f, 9}}) {
    std::vector<float> depth(W * H, 0.f);
    depth[14 * W + 19] = 2.f;
    Projection pr = identity();
    pr.t[2] = c.tz;
    const Splatted s = splatDepthmap(depth, std::vector<uchar4>(W * H), pr, c.scale, 1.f / 25.f);
    EXPECT_EQ(drawn(s), c.pixels) << c.tz << " " << c.scale;
    EXPECT_EQ(s.depth[14 * W + 19], 2.f + c.tz);
    EXPECT_EQ(s.depth[14 * W + 17] != kFar, c.pixels == 13);  // two pixels off the centre
  }
}

TEST(RenderDepthmap, EdgeOnPixelIsCulled) {
  AllocationGuard guard;
  // The axis pixel at depth 0.08, turned by a quarter turn about y and pushed to depth 2: its
  // direction to the source camera becomes (-1, 0, 0), with z exactly 0, although it still faces
  // the target's centre. A slightly smaller turn leaves a z of -0.01 and draws.
  std::vector<float> depth(W * H, 0.f);
  depth[14 * W + 19] = 0.08f;
  for (const float co : {0.f, 0.01f}) {
    const float si = std::sqrt(1.f - co * co);
    Projection pr = identity();
    const float R[9] = {co, 0, si, 0, 1, 0, -si, 0, co};
    std::copy(R, R + 9, pr.R);
    pr.t[2] = 2.f;
    const Splatted s = splatDepthmap(depth, std::vector<uchar4>(W * H), pr, 50.f);
    if (co == 0.f) {
      EXPECT_EQ(drawn(s), 0);
      for (float v : s.weight) ASSERT_EQ(v, 0.f);
    } else {
      EXPECT_GT(drawn(s), 0);
    }
  }
}

TEST(RenderDepthmap, FragmentsNineTenthsOfTheRadiusBehindAreNotAccumulated) {
  AllocationGuard guard;
  const std::size_t c = 14 * W + 19;  // the axis pixel, in the source and in the target
  const float scale = 2.f;
  // The front surface: the pixel beside the axis at depth 2, a red disk of 1.7 pixels radius
  // that covers the axis pixel at a depth D a little beyond 2.
  std::vector<float> depth(W * H, 0.f);
  std::vector<uchar4> colors(W * H, make_uchar4(0, 255, 0, 255));
  depth[14 * W + 18] = 2.f;
  colors[14 * W + 18] = make_uchar4(255, 0, 0, 255);
  const Splatted front = splatDepthmap(depth, colors, identity(), scale);
  const float D = front.depth[c];
  ASSERT_NEAR(D, 2.0008f, 1e-4f);
  ASSERT_EQ(front.image[c].y, 0);
  // A green disk on the axis at depth dB has the tolerance T = 0.9 r(dB); find the dB with
  // dB - T exactly D.
  auto tolerance = [&](float d) {
    return 0.9f * float(double(scale * 0.6f) * 1.4142135623730951 * double(1.f / 50.f) * d);
  };
  float dB = D / (1.f - 0.9f * 1.2f * 1.4142135f / 50.f);
  for (int k = 0; k < 64 && dB - tolerance(dB) < D; ++k) dB = std::nextafter(dB, 10.f);
  for (int k = 0; k < 64 && dB - tolerance(dB) > D; ++k) dB = std::nextafter(dB, 0.f);
  ASSERT_EQ(dB - tolerance(dB), D);
  for (const float d : {dB, dB - 1e-5f}) {
    depth[c] = d;
    const Splatted s = splatDepthmap(depth, colors, identity(), scale);
    EXPECT_EQ(s.depth[c], D);
    if (d == dB) {
      EXPECT_EQ(s.weight[c], front.weight[c]);
      EXPECT_EQ(s.image[c].y, 0);
    } else {  // the green disk adds its centre weight
      EXPECT_NEAR(s.weight[c], front.weight[c] + 1.f / (std::sqrt(0.63661975f) * 0.3f), 1e-5f);
      EXPECT_GT(s.image[c].y, 100);
    }
  }
  // On its own, the green disk's own pixel has exactly its depth.
  depth[14 * W + 18] = 0.f;
  depth[c] = dB;
  EXPECT_EQ(splatDepthmap(depth, colors, identity(), scale).depth[c], dB);
}
