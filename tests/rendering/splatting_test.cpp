// Point splatting: disk geometry against hand-computed and analytic answers, the mirrored buffer
// layout, clipping, back-face rules, the depth tolerance of the attribute pass and shading.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "render_depthmaps_kernels.h"
#include "render_test_util.h"
#include "support/test_support.h"

using namespace render_test;
using tessivar_test::AllocationGuard;

namespace {

const int W = 40, H = 30;
const float kFar = 3.4028235e38f;
// Weight of a fragment at the centre of its disk.
const float kCentreWeight = 1.f / (std::sqrt(0.63661975f) * 0.3f);

Camera camera() { return makeCamera(W, H, 50.f, 20.f, 15.f); }

Projection projection(float near = 0.f, float far = FLT_MAX) {
  return camera_projection(camera(), W, H, near, far);
}

const float3 kFacing = make_float3(0, 0, -1);

}  // namespace

TEST(RenderPoints, SingleDiskKnownAnswer) {
  AllocationGuard guard;
  Scene s;
  // Projects to pixel (20, 15); radius 0.125 at depth 2 spans 3.125 pixels.
  s.add(make_float3(0, 0, 2), kFacing, 0.125f, make_uchar4(100, 150, 200, 255));
  Rendered r(W, H, s);
  render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
  const auto depth = download(r.buffer.depth);
  const auto weight = download(r.buffer.weight_sum);
  const auto normal = download(r.buffer.normal_sum);
  const auto image = download(r.buffer.image);

  // Covered: pixel offsets with (0.04 / 0.125)^2 (dx^2 + dy^2) <= 1, 29 pixels in all.
  int covered = 0;
  for (int py = 0; py < H; ++py)
    for (int px = 0; px < W; ++px) {
      const int dx = px - 20, dy = py - 15;
      const bool in = dx * dx + dy * dy <= 9;
      const std::size_t e = r.at(W - 1 - px, H - 1 - py);
      if (in) {
        ++covered;
        EXPECT_EQ(depth[e], 2.f) << px << "," << py;
        const float rho2 = 0.1024f * float(dx * dx + dy * dy);
        EXPECT_NEAR(weight[e], kCentreWeight * std::exp(-0.5f * rho2 / 0.09f), 1e-5f);
        EXPECT_NEAR(image[e].x, 100, 1);
        EXPECT_NEAR(image[e].y, 150, 1);
        EXPECT_NEAR(image[e].z, 200, 1);
        EXPECT_NEAR(image[e].w, 255, 1);
      } else {
        EXPECT_EQ(depth[e], kFar) << px << "," << py;
        EXPECT_EQ(weight[e], 0.f);
        EXPECT_EQ(image[e].x + image[e].y + image[e].z + image[e].w, 0);
      }
    }
  EXPECT_EQ(covered, 29);
  // The centre: weight about 4.1777, normal sum the camera-frame normal times the weight.
  const std::size_t c = r.at(19, 14);
  EXPECT_NEAR(weight[c], 4.1777f, 1e-4f);
  const std::size_t plane = std::size_t(W) * H;
  EXPECT_EQ(normal[c], 0.f);
  EXPECT_EQ(normal[plane + c], 0.f);
  EXPECT_NEAR(normal[2 * plane + c], -weight[c], 1e-6f);
}

TEST(RenderPoints, PixelZeroZeroLandsInTheLastElement) {
  AllocationGuard guard;
  Scene s;
  s.add(make_float3(-0.8f, -0.6f, 2), kFacing, 0.01f);  // projects to pixel (0, 0)
  Rendered r(W, H, s);
  render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
  const auto depth = download(r.buffer.depth);
  EXPECT_FLOAT_EQ(depth[r.at(W - 1, H - 1)], 2.f);
  EXPECT_EQ(depth[r.at(0, 0)], kFar);
}

TEST(RenderPoints, BoxesAreClippedToTheImage) {
  AllocationGuard guard;
  Scene s;
  s.add(make_float3(-0.9f, 0, 2), kFacing, 0.02f);     // u + rx = -2: wholly left of the image
  s.add(make_float3(-0.78f, 0, 2), kFacing, 0.125f);   // u = 0.5: runs past the left border
  Rendered r(W, H, s);
  render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
  const auto depth = download(r.buffer.depth);
  int lit = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      if (depth[r.at(x, y)] != kFar) {
        ++lit;
        EXPECT_GE(x, W - 4) << "only pixels 0..3 of the straddling disk are drawn";
      }
  EXPECT_GT(lit, 0);
  EXPECT_EQ(depth[r.at(W - 1, 14)], 2.f);
}

TEST(RenderPoints, NearAndFarLimitsAreExclusive) {
  AllocationGuard guard;
  Scene s;
  s.add(make_float3(0, 0, 2), kFacing, 0.125f);
  Rendered r(W, H, s);
  auto drawn = [&](float near, float far) {
    render_points(r.buffer, projection(near, far), r.points, 0.02f, 1.f);
    return download(r.buffer.depth)[r.at(19, 14)] != kFar;
  };
  EXPECT_FALSE(drawn(2.f, 10.f));
  EXPECT_FALSE(drawn(0.f, 2.f));
  EXPECT_TRUE(drawn(1.999f, 2.001f));
  EXPECT_FALSE(drawn(3.f, 1.f));  // near >= far draws nothing
  // The camera-level form takes the limits as given.
  render_points(r.buffer, r.points, camera(), 0.02f, 2.f, FLT_MAX, 1.f);
  EXPECT_EQ(download(r.buffer.depth)[r.at(19, 14)], kFar);
}

TEST(RenderPoints, BackFaceRulesOfVisibilityAndAttributes) {
  AllocationGuard guard;
  {
    Scene s;  // faces away from the camera centre: no depth at all
    s.add(make_float3(0, 0, 2), make_float3(0, 0, 1), 0.125f);
    Rendered r(W, H, s);
    render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
    for (float d : download(r.buffer.depth)) EXPECT_EQ(d, kFar);
  }
  {
    Scene s;  // P . n < 0 but n.z = 0: the visibility pass draws it, the attribute pass does not
    s.add(make_float3(0.5f, 0, 2), make_float3(-1, 0, 0), 0.25f, make_uchar4(255, 255, 255, 255));
    Rendered r(W, H, s);
    render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
    int drawn = 0;
    for (float d : download(r.buffer.depth)) drawn += d != kFar;
    EXPECT_GT(drawn, 0);
    for (float w : download(r.buffer.weight_sum)) EXPECT_EQ(w, 0.f);
    for (uchar4 c : download(r.buffer.image)) EXPECT_EQ(c.x + c.y + c.z + c.w, 0);
  }
}

TEST(RenderPoints, CoplanarDisksShadeToTheirWeightedMean) {
  AllocationGuard guard;
  Scene s;
  s.add(make_float3(0, 0, 2), kFacing, 0.125f, make_uchar4(100, 0, 40, 255));
  s.add(make_float3(0, 0, 2), kFacing, 0.125f, make_uchar4(200, 0, 80, 255));
  Rendered r(W, H, s);
  render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
  const std::size_t c = r.at(19, 14);
  EXPECT_NEAR(download(r.buffer.weight_sum)[c], 2 * kCentreWeight, 1e-5f);
  const uchar4 px = download(r.buffer.image)[c];
  EXPECT_NEAR(px.x, 150, 1);
  EXPECT_NEAR(px.z, 60, 1);
}

TEST(RenderPoints, FragmentsOneSizeBehindTheSurfaceAreNotAccumulated) {
  AllocationGuard guard;
  // Front disk at depth 2; a second disk of size 0.5 at depth 2.5 lies exactly one size behind
  // (2.5 - 0.5 = 2): not accumulated. A hair nearer, it is.
  for (const float zb : {2.5f, std::nextafter(2.5f, 0.f)}) {
    Scene s;
    s.add(make_float3(0, 0, 2), kFacing, 0.25f, make_uchar4(255, 0, 0, 255));
    s.add(make_float3(0, 0, zb), kFacing, 0.5f, make_uchar4(0, 255, 0, 255));
    Rendered r(W, H, s);
    render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
    const std::size_t c = r.at(19, 14);
    EXPECT_EQ(download(r.buffer.depth)[c], 2.f);
    const float w = download(r.buffer.weight_sum)[c];
    const uchar4 px = download(r.buffer.image)[c];
    if (zb == 2.5f) {
      EXPECT_NEAR(w, kCentreWeight, 1e-5f);
      EXPECT_NEAR(px.x, 255, 1);
      EXPECT_EQ(px.y, 0);
    } else {
      EXPECT_NEAR(w, 2 * kCentreWeight, 1e-5f);
      EXPECT_NEAR(px.x, 127, 1);
      EXPECT_NEAR(px.y, 127, 1);
    }
  }
}

TEST(RenderPoints, TiltedPlaneMatchesItsAnalyticDepth) {
  AllocationGuard guard;
  // Plane z = 2 + 0.3 x, normal (0.3, 0, -1) / |.|, sampled every 0.02 world units.
  const float nl = std::sqrt(1.09f);
  const float3 n = make_float3(0.3f / nl, 0.f, -1.f / nl);
  Scene s;
  for (int i = -25; i <= 25; ++i)
    for (int j = -25; j <= 25; ++j) {
      const float x = 0.02f * i, y = 0.02f * j;
      s.add(make_float3(x, y, 2.f + 0.3f * x), n, 0.03f, make_uchar4(90, 60, 30, 255));
    }
  Rendered r(W, H, s);
  render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
  const auto depth = download(r.buffer.depth);
  const auto image = download(r.buffer.image);
  int checked = 0;
  for (int py = 0; py < H; ++py)
    for (int px = 0; px < W; ++px) {
      const float d = depth[r.at(W - 1 - px, H - 1 - py)];
      const float qx = (px - 20.f) / 50.f;
      const float expected = 2.f / (1.f - 0.3f * qx);  // ray (qx, qy, 1) meets the plane
      const bool inner = std::abs(px - 20) <= 10 && std::abs(py - 15) <= 10;
      if (inner) {
        ASSERT_NE(d, kFar) << "hole at " << px << "," << py;
        const uchar4 c = image[r.at(W - 1 - px, H - 1 - py)];
        EXPECT_NEAR(c.x, 90, 1);
        EXPECT_NEAR(c.z, 30, 1);
      }
      if (d != kFar) {
        EXPECT_NEAR(d, expected, 2e-5f * expected) << px << "," << py;
        ++checked;
      }
    }
  EXPECT_GT(checked, 400);
}

TEST(RenderPoints, SphereMatchesItsAnalyticDepthAndIsRepeatable) {
  AllocationGuard guard;
  // Sphere of radius 0.8 around (0, 0, 3), outward normals, a few thousand points.
  const float R = 0.8f, cz = 3.f;
  Scene s;
  const int N = 6000;
  const float golden = 2.39996323f;
  for (int k = 0; k < N; ++k) {
    const float z = 1.f - 2.f * (k + 0.5f) / N;
    const float rad = std::sqrt(1.f - z * z);
    const float3 n = make_float3(rad * std::cos(golden * k), rad * std::sin(golden * k), z);
    s.add(make_float3(R * n.x, R * n.y, cz + R * n.z), n, 0.045f, make_uchar4(10, 200, 30, 255));
  }
  Rendered r(W, H, s);
  render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
  const auto depth = download(r.buffer.depth);
  const auto image = download(r.buffer.image);
  int checked = 0;
  for (int py = 0; py < H; ++py)
    for (int px = 0; px < W; ++px) {
      const float qx = (px - 20.f) / 50.f, qy = (py - 15.f) / 50.f;
      // Ray t (qx, qy, 1) against the sphere: t^2 |q|^2 - 2 t cz + cz^2 - R^2 = 0.
      const float qq = qx * qx + qy * qy + 1.f;
      const float disc = cz * cz - qq * (cz * cz - R * R);
      if (disc <= 0.f) continue;
      const float t = (cz - std::sqrt(disc)) / qq;
      const float3 hit = make_float3(t * qx, t * qy, t - cz);
      const float facing = -(hit.x * qx + hit.y * qy + hit.z) / (R * std::sqrt(qq));
      if (facing < 0.6f) continue;  // stay off the silhouette
      const std::size_t e = r.at(W - 1 - px, H - 1 - py);
      ASSERT_NE(depth[e], kFar) << "hole at " << px << "," << py;
      // Tangent disks lie outside the sphere: never behind it, and close in front.
      EXPECT_LE(depth[e], t + 1e-5f);
      EXPECT_GT(depth[e], t - 0.01f);
      EXPECT_NEAR(image[e].y, 200, 1);
      ++checked;
    }
  EXPECT_GT(checked, 100);
  // The depth minimum does not depend on the order of the threads.
  render_points(r.buffer, projection(), r.points, 0.02f, 1.f);
  EXPECT_EQ(download(r.buffer.depth), depth);
}

TEST(RenderPoints, PointPassesGoOutInChunksOf65535Blocks) {
  using Chunks = std::vector<std::pair<unsigned, unsigned>>;
  EXPECT_EQ(render_passes::point_launch_chunks(0), Chunks{});
  EXPECT_EQ(render_passes::point_launch_chunks(1), (Chunks{{0, 1}}));
  EXPECT_EQ(render_passes::point_launch_chunks(128 * 65535), (Chunks{{0, 65535}}));
  EXPECT_EQ(render_passes::point_launch_chunks(128 * 65535 + 1), (Chunks{{0, 65535}, {65535, 1}}));
  // Beyond 2^24 points a float block count would drop the last points.
  const unsigned n = (1u << 24) + 1;
  unsigned blocks = 0;
  for (const auto& c : render_passes::point_launch_chunks(n)) blocks += c.second;
  EXPECT_GE(std::uint64_t(blocks) * 128, n);
}

TEST(RenderPoints, BufferSmallerThanTheViewIsRefused) {
  AllocationGuard guard;
  Scene s;
  s.add(make_float3(-0.8f, -0.6f, 2), kFacing, 0.05f);
  Rendered r(W / 2, H / 2, s);
  EXPECT_THROW_MESSAGE(render_points(r.buffer, projection(), r.points, 0.02f, 1.f),
                       "render: buffer.depth has extents (20, 15); it must cover 40 x 30 x 1");
  // An assembled buffer with too few colour layers is refused as well.
  RenderBuffer b = r.buffer;
  b.color_sum.size.z = 3;
  EXPECT_THROW_MESSAGE(
      render_points(b, camera_projection(camera(), W / 2, H / 2, 0.f, FLT_MAX), r.points, 0.02f,
                    1.f),
      "render: buffer.color_sum has extents (20, 15, 3); it must cover 20 x 15 x 4");
}
