// The pose parameters' transform and the per-pixel pose kernels: residuals, Jacobians of a known
// geometry and against finite differences, and the clean-up of unusable pixels.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "camera_estimation_kernels.h"
#include "camera_pose.h"
#include "yv/tools/range.h"
#include "rendering/render_test_util.h"
#include "support/test_support.h"

using render_test::download;
using render_test::upload;

namespace {

yv::Array<float, 3> deviceLayers(unsigned W, unsigned H, unsigned layers, float value) {
  std::vector<float> host(std::size_t(W) * H * layers, value);
  yv::Array<float, 3> d = yv::internal::decreaseArrayDimension<float, 4, 3>(
      yv::mallocDeviceArray<float>(make_uint4(W, H, layers, 1), yv::PITCHED));
  yv::Array<float, 3> view = yv::arrayFromHostMemory(host.data(), W, H, layers);
  yv::arrayCopy(d, view);
  return d;
}

float layerAt(const std::vector<float>& v, unsigned W, unsigned H, unsigned x, unsigned y,
              unsigned z) {
  return v[(std::size_t(z) * H + y) * W + x];
}

// The same pinhole for the rendering and the target, with the identity motion.
Projection identityProjection(unsigned W, unsigned H, float f, float cx, float cy) {
  Projection p{};
  p.width = W;
  p.height = H;
  p.fx = p.fy = f;
  p.cx = cx;
  p.cy = cy;
  p.R[0] = p.R[4] = p.R[8] = 1.f;
  p.near = 0.f;
  p.far = FLT_MAX;
  return p;
}

}  // namespace

TEST(PoseIncrement, RotationsComposeInTheOrderXYZ) {
  float R[9], t[3];
  const float quarter = float(M_PI / 2);
  const float aboutZ[6] = {0.f, 0.f, quarter, 0.5f, -1.5f, 2.f};
  pose_increment(aboutZ, R, t);
  const float expectZ[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};  // row by row
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], expectZ[i], 1e-6f) << i;
  EXPECT_EQ(t[0], 0.5f);
  EXPECT_EQ(t[1], -1.5f);
  EXPECT_EQ(t[2], 2.f);

  // Rx(90) Ry(90); Ry(90) Rx(90) would be {0 1 0; 0 0 -1; -1 0 0}.
  const float aboutXY[6] = {quarter, quarter, 0.f, 0.f, 0.f, 0.f};
  pose_increment(aboutXY, R, t);
  const float expectXY[9] = {0, 0, 1, 1, 0, 0, 0, 1, 0};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], expectXY[i], 1e-6f) << i;

  const float zero[6] = {0, 0, 0, 0, 0, 0};
  pose_increment(zero, R, t);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(R[i], (i % 4 == 0) ? 1.f : 0.f);

  // pose_parameters undoes pose_increment.
  const float p[6] = {0.3f, -0.7f, 1.2f, 0.5f, -1.5f, 2.f};
  float back[6];
  pose_increment(p, R, t);
  pose_parameters(R, t, back);
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(back[k], p[k], 1e-5f) << k;
}

TEST(PoseKernels, JacobianOfThePrincipalRayAndNoDepthMarked) {
  tessivar_test::AllocationGuard alloc;
  const unsigned W = 640, H = 480;
  // Pixel (319, 239) has mirrored coordinates (320, 240), the principal point.
  std::vector<float> depthHost(W * H, FLT_MAX);
  depthHost[239 * W + 319] = 2.f;
  yv::Array<float, 2> depth = upload(depthHost, W, H);
  const float Gx[3] = {0.1f, 0.2f, -0.3f}, Gy[3] = {-0.4f, 0.5f, 0.25f};
  std::vector<float> gradHost(std::size_t(W) * H * 6);
  for (unsigned z = 0; z < 6; ++z)
    std::fill(gradHost.begin() + std::size_t(z) * W * H, gradHost.begin() + (z + 1) * W * H,
              z < 3 ? Gx[z] : Gy[z - 3]);
  yv::Array<float, 3> gradient = deviceLayers(W, H, 6, 0.f);
  yv::Array<float, 3> gradView = yv::arrayFromHostMemory(gradHost.data(), W, H, 6);
  yv::arrayCopy(gradient, gradView);
  yv::Array<float, 3> out = deviceLayers(W, H, 18, 7.f);

  const Projection pr = identityProjection(W, H, 500.f, 320.f, 240.f);
  computeGradientPsi(out, gradient, depth, pr, 1.f / 500.f, 1.f / 500.f, 320.f, 240.f);
  const std::vector<float> J = download(out);
  for (int c = 0; c < 3; ++c) {
    const float expect[6] = {500 * Gy[c], -500 * Gx[c], 0, -250 * Gx[c], -250 * Gy[c], 0};
    for (int k = 0; k < 6; ++k)
      EXPECT_NEAR(layerAt(J, W, H, 319, 239, unsigned(3 * k + c)), expect[k], 1e-3f)
          << "k " << k << " c " << c;
  }
  // No depth: the marker in layer 0 only, the other layers untouched.
  EXPECT_TRUE(std::isnan(layerAt(J, W, H, 10, 10, 0)));
  EXPECT_EQ(layerAt(J, W, H, 10, 10, 1), 7.f);

  yv::releaseArray(depth);
  yv::releaseArray(gradient);
  yv::releaseArray(out);
}

TEST(PoseKernels, JacobianMatchesCentralDifferencesAwayFromTheIdentity) {
  tessivar_test::AllocationGuard alloc;
  // A linear colour ramp (exact in 8 bits): bilinear sampling and the central-difference gradient
  // are then exact, and the residual changes only through the warp.
  const unsigned W = 64, H = 48;
  const float f = 60.f, cx = 31.5f, cy = 23.5f;
  std::vector<uchar4> realHost(W * H);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x)
      realHost[y * W + x] = make_uchar4(2 * x + 60, 3 * y + 40, x + 2 * y + 30, 255);
  std::vector<float> gradHost(std::size_t(W) * H * 6);
  const float slopes[6] = {2, 0, 1, 0, 3, 2};  // d/dx of r, g, b, then d/dy
  for (unsigned z = 0; z < 6; ++z)
    std::fill(gradHost.begin() + std::size_t(z) * W * H, gradHost.begin() + (z + 1) * W * H,
              slopes[z] / 255.f);
  std::vector<uchar4> renderedHost(W * H, make_uchar4(128, 128, 128, 255));
  std::vector<float> depthHost(W * H, 2.f);
  yv::Array<uchar4, 2> real = upload(realHost, W, H);
  yv::Array<uchar4, 2> rendered = upload(renderedHost, W, H);
  yv::Array<float, 2> depth = upload(depthHost, W, H);
  yv::Array<float, 3> gradient = deviceLayers(W, H, 6, 0.f);
  yv::Array<float, 3> gradView = yv::arrayFromHostMemory(gradHost.data(), W, H, 6);
  yv::arrayCopy(gradient, gradView);
  yv::Array<float, 3> J = deviceLayers(W, H, 18, 0.f), r = deviceLayers(W, H, 3, 0.f);

  // Several degrees about every axis and a translation.
  Projection pr = identityProjection(W, H, f, cx, cy);
  const float pose[6] = {0.07f, -0.09f, 0.11f, 0.12f, -0.08f, 0.1f};
  pose_increment(pose, pr.R, pr.t);
  computeGradientPsi(J, gradient, depth, pr, 1.f / f, 1.f / f, cx, cy);
  const std::vector<float> jac = download(J);
  // The residual with x = h along parameter k composed onto the pose as a Gauss-Newton step is
  // (pose_compose): the Jacobian must be the derivative of that composition, not another.
  const auto residualAt = [&](int k, float h) {
    Projection q = pr;
    float x[6] = {0, 0, 0, 0, 0, 0};
    x[k] = h;
    pose_compose(x, q.R, q.t);
    computeDifferenceImage(r, real, rendered, depth, 10.f, q, 1.f / f, 1.f / f, cx, cy);
    return download(r);
  };
  const unsigned pixels[3][2] = {{12, 9}, {45, 30}, {20, 36}};  // all off the principal ray
  for (int k = 0; k < 6; ++k) {
    const float h = 0.01f;
    const std::vector<float> plus = residualAt(k, h), minus = residualAt(k, -h);
    for (const auto& px : pixels)
      for (unsigned c = 0; c < 3; ++c) {
        const float numeric = (layerAt(plus, W, H, px[0], px[1], c) -
                               layerAt(minus, W, H, px[0], px[1], c)) / (2.f * h);
        const float analytic = layerAt(jac, W, H, px[0], px[1], 3 * k + c);
        ASSERT_FALSE(std::isnan(numeric)) << "pixel warped outside: " << px[0] << " " << px[1];
        EXPECT_NEAR(analytic, numeric, 0.01f * std::fabs(numeric) + 2e-3f)
            << "k " << k << " pixel " << px[0] << " " << px[1] << " c " << c;
      }
  }

  for (auto a : {real, rendered}) yv::releaseArray(a);
  yv::releaseArray(depth);
  for (auto a : {gradient, J, r}) yv::releaseArray(a);
}

TEST(PoseKernels, ResidualLimitEdgesAndCleanUp) {
  tessivar_test::AllocationGuard alloc;
  const unsigned W = 8, H = 6;
  const float f = 10.f, cx = 3.5f, cy = 2.5f;
  std::vector<uchar4> realHost(W * H), renderedHost(W * H, make_uchar4(100, 100, 100, 255));
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) realHost[y * W + x] = make_uchar4(100 + 10 * x, 100, 100, 255);
  std::vector<float> depthHost(W * H, 1.f);
  depthHost[0] = FLT_MAX;
  yv::Array<uchar4, 2> real = upload(realHost, W, H);
  yv::Array<uchar4, 2> rendered = upload(renderedHost, W, H);
  yv::Array<float, 2> depth = upload(depthHost, W, H);
  yv::Array<float, 3> out = deviceLayers(W, H, 3, 0.f);

  // With the identity motion every pixel samples its own texel: residual = 10 x / 255 in red.
  Projection pr = identityProjection(W, H, f, cx, cy);
  const float limit = 50.f / 255.f;  // between the residuals of x = 4 and x = 6
  computeDifferenceImage(out, real, rendered, depth, limit + 1e-4f, pr, 1.f / f, 1.f / f, cx, cy);
  std::vector<float> r = download(out);
  EXPECT_TRUE(std::isnan(layerAt(r, W, H, 0, 0, 0)));  // no depth
  EXPECT_NEAR(layerAt(r, W, H, 3, 2, 0), 30.f / 255.f, 1e-5f);
  EXPECT_NEAR(layerAt(r, W, H, 5, 2, 0), 50.f / 255.f, 1e-5f);
  EXPECT_NEAR(layerAt(r, W, H, 5, 2, 1), 0.f, 1e-6f);
  EXPECT_TRUE(std::isnan(layerAt(r, W, H, 6, 2, 0)));  // longer than the limit

  // A shift of a tenth of the image pushes the last column outside the view.
  yv::Array<float, 3> shifted = deviceLayers(W, H, 3, 0.f);
  pr.t[0] = 0.1f * 7.f / f;
  computeDifferenceImage(shifted, real, rendered, depth, 10.f, pr, 1.f / f, 1.f / f, cx, cy);
  r = download(shifted);
  EXPECT_TRUE(std::isnan(layerAt(r, W, H, 0, 3, 0)));  // u beyond width - 1: rejected
  EXPECT_FALSE(std::isnan(layerAt(r, W, H, 1, 3, 0)));
  // Carried behind the camera: rejected although the mirrored projection lands in the view.
  pr.t[0] = 0.f;
  pr.t[2] = -2.f;
  computeDifferenceImage(shifted, real, rendered, depth, 10.f, pr, 1.f / f, 1.f / f, cx, cy);
  r = download(shifted);
  EXPECT_TRUE(std::isnan(layerAt(r, W, H, 3, 2, 0)));

  // Clean-up: a pixel counts once however many of its layers 0, 3, ... are bad; layer 1 alone
  // does not count.
  std::vector<float> data(std::size_t(W) * H * 6, 1.f);
  data[(0 * H + 0) * W + 0] = NAN;                           // (0, 0): no depth
  data[(3 * H + 1) * W + 2] = INFINITY;                      // (2, 1): layer 3
  data[(0 * H + 1) * W + 2] = NAN;                           //         and layer 0
  data[(1 * H + 4) * W + 4] = NAN;                           // (4, 4): layer 1 only
  yv::Array<float, 3> d6 = deviceLayers(W, H, 6, 0.f);
  yv::Array<float, 3> dataView = yv::arrayFromHostMemory(data.data(), W, H, 6);
  yv::arrayCopy(d6, dataView);
  std::vector<uchar4> maskHost(W * H, make_uchar4(9, 9, 9, 9));
  yv::Array<uchar4, 2> mask = upload(maskHost, W, H);
  EXPECT_EQ(setNANtoZero(d6, mask, depth), 2);
  const std::vector<float> cleaned = download(d6);
  const std::vector<uchar4> m = download(mask);
  for (unsigned z = 0; z < 6; ++z) {
    EXPECT_EQ(layerAt(cleaned, W, H, 0, 0, z), 0.f);
    EXPECT_EQ(layerAt(cleaned, W, H, 2, 1, z), 0.f);
  }
  EXPECT_TRUE(std::isnan(layerAt(cleaned, W, H, 4, 4, 1)));
  EXPECT_EQ(layerAt(cleaned, W, H, 4, 4, 0), 1.f);
  auto is = [](uchar4 a, int r, int g, int b) { return a.x == r && a.y == g && a.z == b && a.w == 1; };
  EXPECT_TRUE(is(m[0], 0, 0, 0));
  EXPECT_TRUE(is(m[1 * W + 2], 200, 0, 0));
  EXPECT_TRUE(is(m[4 * W + 4], 0, 200, 0));
  // Without a mask the count is the same.
  yv::arrayCopy(d6, dataView);
  EXPECT_EQ(setNANtoZero(d6, yv::Array<uchar4, 2>{}, depth), 2);

  for (auto a : {real, rendered, mask}) yv::releaseArray(a);
  yv::releaseArray(depth);
  for (auto a : {out, shifted, d6}) yv::releaseArray(a);
}

TEST(PoseKernels, ColourLimitIsInclusiveToTheLastBit) {
  tessivar_test::AllocationGuard alloc;
  const unsigned W = 4, H = 3;
  const float f = 8.f, cx = 1.5f, cy = 1.f;
  // Red alone differs, so the residual's length is |red| on every back end.
  std::vector<uchar4> realHost(W * H, make_uchar4(173, 0, 0, 255));
  std::vector<uchar4> renderedHost(W * H, make_uchar4(40, 0, 0, 255));
  std::vector<float> depthHost(W * H, 1.f);
  yv::Array<uchar4, 2> real = upload(realHost, W, H);
  yv::Array<uchar4, 2> rendered = upload(renderedHost, W, H);
  yv::Array<float, 2> depth = upload(depthHost, W, H);
  yv::Array<float, 3> out = deviceLayers(W, H, 3, 0.f);
  const Projection pr = identityProjection(W, H, f, cx, cy);

  computeDifferenceImage(out, real, rendered, depth, 10.f, pr, 1.f / f, 1.f / f, cx, cy);
  std::vector<float> r = download(out);
  const float dr = layerAt(r, W, H, 1, 1, 0);
  ASSERT_NEAR(dr, 133.f / 255.f, 1e-5f);
  ASSERT_EQ(layerAt(r, W, H, 1, 1, 1), 0.f);
  ASSERT_EQ(layerAt(r, W, H, 1, 1, 2), 0.f);
  const float length = std::sqrt(dr * dr);

  // A limit of exactly the length keeps the residual ...
  computeDifferenceImage(out, real, rendered, depth, length, pr, 1.f / f, 1.f / f, cx, cy);
  r = download(out);
  EXPECT_EQ(layerAt(r, W, H, 1, 1, 0), dr);
  // ... one unit in the last place less rejects it.
  computeDifferenceImage(out, real, rendered, depth, std::nextafter(length, 0.f), pr, 1.f / f,
                         1.f / f, cx, cy);
  r = download(out);
  EXPECT_TRUE(std::isnan(layerAt(r, W, H, 1, 1, 0)));

  for (auto a : {real, rendered}) yv::releaseArray(a);
  yv::releaseArray(depth);
  yv::releaseArray(out);
}

TEST(PoseKernels, ProjectionsOntoTheFirstAndLastColumnAndRowAreInside) {
  tessivar_test::AllocationGuard alloc;
  // f a power of two, depth 1 and half-integer principal points: every step of the warp is exact,
  // so with the identity motion pixel x lands on u = W - 1 - x exactly.
  const unsigned W = 8, H = 6;
  const float f = 8.f, cx = 3.5f, cy = 2.5f;
  std::vector<uchar4> image(W * H, make_uchar4(90, 90, 90, 255));
  std::vector<float> depthHost(W * H, 1.f);
  yv::Array<uchar4, 2> real = upload(image, W, H);
  yv::Array<uchar4, 2> rendered = upload(image, W, H);
  yv::Array<float, 2> depth = upload(depthHost, W, H);
  yv::Array<float, 3> out = deviceLayers(W, H, 3, 0.f);
  std::vector<uchar4> maskHost(W * H, make_uchar4(9, 9, 9, 9));
  yv::Array<uchar4, 2> mask = upload(maskHost, W, H);

  Projection pr = identityProjection(W, H, f, cx, cy);
  const auto residual = [&]() {
    computeDifferenceImage(out, real, rendered, depth, 10.f, pr, 1.f / f, 1.f / f, cx, cy);
    return download(out);
  };
  // Every pixel is kept, the first and last columns (u = W - 1 and u = 0) and rows included.
  std::vector<float> r = residual();
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x)
      EXPECT_FALSE(std::isnan(layerAt(r, W, H, x, y, 0))) << x << " " << y;

  // A shift of 1/1024 pixel: the column that lands on u = W - 1 now lies just beyond it.
  const float tiny = 1.f / (1024.f * f);
  pr.t[0] = tiny;
  r = residual();
  for (unsigned y = 0; y < H; ++y) {
    EXPECT_TRUE(std::isnan(layerAt(r, W, H, 0, y, 0))) << y;
    EXPECT_FALSE(std::isnan(layerAt(r, W, H, 1, y, 0))) << y;
    EXPECT_FALSE(std::isnan(layerAt(r, W, H, W - 1, y, 0))) << y;
  }
  // The rejected pixels have depth: masked as warped outside.
  EXPECT_EQ(setNANtoZero(out, mask, depth), int(H));
  const std::vector<uchar4> m = download(mask);
  EXPECT_EQ(m[0].x, 200);
  EXPECT_EQ(m[0].y, 0);
  EXPECT_EQ(m[1].y, 200);
  // And the other way: the column on u = 0 lies just before it.
  pr.t[0] = -tiny;
  r = residual();
  for (unsigned y = 0; y < H; ++y) {
    EXPECT_TRUE(std::isnan(layerAt(r, W, H, W - 1, y, 0))) << y;
    EXPECT_FALSE(std::isnan(layerAt(r, W, H, 0, y, 0))) << y;
  }
  // The same for the rows: v = H - 1 at y = 0, v = 0 at y = H - 1.
  pr.t[0] = 0.f;
  pr.t[1] = tiny;
  r = residual();
  for (unsigned x = 0; x < W; ++x) {
    EXPECT_TRUE(std::isnan(layerAt(r, W, H, x, 0, 0))) << x;
    EXPECT_FALSE(std::isnan(layerAt(r, W, H, x, 1, 0))) << x;
    EXPECT_FALSE(std::isnan(layerAt(r, W, H, x, H - 1, 0))) << x;
  }
  pr.t[1] = -tiny;
  r = residual();
  for (unsigned x = 0; x < W; ++x) {
    EXPECT_TRUE(std::isnan(layerAt(r, W, H, x, H - 1, 0))) << x;
    EXPECT_FALSE(std::isnan(layerAt(r, W, H, x, 0, 0))) << x;
  }

  for (auto a : {real, rendered, mask}) yv::releaseArray(a);
  yv::releaseArray(depth);
  yv::releaseArray(out);
}

TEST(PoseKernels, MisalignedRealImageIsRefused) {
  tessivar_test::AllocationGuard alloc;
  const unsigned W = 8, H = 4;
  // The real image as a view one texel into a wider image: its first texel is not aligned.
  yv::Array<uchar4, 4> wide = yv::mallocDeviceArray<uchar4>(make_uint4(W + 1, H, 1, 1), yv::PITCHED);
  const yv::Array<uchar4, 2> view = yv::internal::decreaseArrayDimension<uchar4, 4, 2>(
      yv::block(wide, yv::Range(1, int(W)), yv::Range(0, int(H) - 1), yv::Range(0, 0),
                yv::Range(0, 0)));
  std::vector<uchar4> image(W * H, make_uchar4(90, 90, 90, 255));
  std::vector<float> depthHost(W * H, 1.f);
  yv::Array<uchar4, 2> rendered = upload(image, W, H);
  yv::Array<float, 2> depth = upload(depthHost, W, H);
  yv::Array<float, 3> out = deviceLayers(W, H, 3, 5.f);
  const Projection pr = identityProjection(W, H, 8.f, 3.5f, 1.5f);
  EXPECT_THROW_MESSAGE(
      computeDifferenceImage(out, view, rendered, depth, 1.f, pr, 0.125f, 0.125f, 3.5f, 1.5f),
      "computeDifferenceImage: texture offset is not 0");
  // Nothing was launched.
  const std::vector<float> r = download(out);
  EXPECT_EQ(r, std::vector<float>(r.size(), 5.f));

  yv::releaseArray(wide);
  yv::releaseArray(rendered);
  yv::releaseArray(depth);
  yv::releaseArray(out);
}
