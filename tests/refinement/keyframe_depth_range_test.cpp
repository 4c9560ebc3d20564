// Depth range of a camera from its neighbours' positions: the parallax-limited far depth of a
// simple rig, too few neighbours, and a camera without neighbours.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "keyframe_depth_range.h"

namespace {

// A camera at the origin looking along +z (world-to-camera rotation the identity).
Camera axisCamera() {
  Camera c;
  c.R[0] = c.R[4] = c.R[8] = 1.f;
  return c;
}

Camera at(float x, float y, float z) {
  Camera c = axisCamera();
  c.center = make_float3(x, y, z);
  return c;
}

}  // namespace

TEST(KeyframeDepthRange, FarDepthWhereParallaxRunsOut) {
  // Three neighbours 0.1 to the side: the axis point at depth d is seen under the angle
  // atan(0.1 / d), which reaches the least parallax cos^-1(0.99999392) at about 28.7.
  std::vector<Camera> others = {at(0.1f, 0.f, 0.f), at(-0.1f, 0.f, 0.f), at(0.f, 0.1f, 0.f)};
  Camera c = axisCamera();
  for (Camera& o : others) c.neighbors.push_back(&o);
  testing::internal::CaptureStdout();
  estimate_keyframe_depth_range(c);
  const std::string out = testing::internal::GetCapturedStdout();

  const double cosLimit = 0.9999939203262329;
  const double D = 0.1 * cosLimit / std::sqrt(1.0 - cosLimit * cosLimit);
  // Single-precision cosines near 1 resolve the depth to a few tenths here.
  EXPECT_NEAR(c.max_depth, D, 0.02 * D);
  EXPECT_FLOAT_EQ(c.min_depth, 0.3f);
  EXPECT_EQ(out.rfind(" max_depth = ", 0), 0u) << out;
  EXPECT_NE(out.find("  min_depth = 0.3\n"), std::string::npos) << out;

  // The far depth is set by the third-best baseline: with three neighbours twice as far to the
  // side it doubles, whatever a nearer fourth one does.
  std::vector<Camera> wider = {at(0.1f, 0.f, 0.f), at(0.2f, 0.f, 0.f), at(-0.2f, 0.f, 0.f),
                               at(0.f, 0.2f, 0.f)};
  c.neighbors.clear();
  for (Camera& o : wider) c.neighbors.push_back(&o);
  testing::internal::CaptureStdout();
  estimate_keyframe_depth_range(c);
  testing::internal::GetCapturedStdout();
  EXPECT_NEAR(c.max_depth, 2.0 * D, 0.02 * D);
  EXPECT_FLOAT_EQ(c.min_depth, 3.f * 0.175f);
}

TEST(KeyframeDepthRange, FewOrNoNeighbours) {
  std::vector<Camera> others = {at(0.5f, 0.f, 0.f), at(-0.5f, 0.f, 0.f)};
  Camera c = axisCamera();
  for (Camera& o : others) c.neighbors.push_back(&o);
  testing::internal::CaptureStdout();
  estimate_keyframe_depth_range(c);
  testing::internal::GetCapturedStdout();
  // Two neighbours never suffice: the bracket halves down towards the camera.
  EXPECT_GT(c.max_depth, 0.0005f);
  EXPECT_LE(c.max_depth, 0.001f);
  EXPECT_FLOAT_EQ(c.min_depth, 1.5f);

  Camera lonely = axisCamera();
  lonely.min_depth = 7.f;
  lonely.max_depth = 9.f;
  testing::internal::CaptureStdout();
  estimate_keyframe_depth_range(lonely);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(lonely.min_depth, 7.f);
  EXPECT_EQ(lonely.max_depth, 9.f);
}

TEST(KeyframeDepthRange, NeighboursAtTheCentreAndAtInfinity) {
  // Neighbours half a millimetre away: the first step is already below the limit, so the walk
  // never starts (three neighbours would see the axis point at that depth and push it out).
  std::vector<Camera> near = {at(0.0005f, 0.f, 0.f), at(-0.0005f, 0.f, 0.f), at(0.f, 0.0005f, 0.f)};
  Camera c = axisCamera();
  for (Camera& o : near) c.neighbors.push_back(&o);
  testing::internal::CaptureStdout();
  estimate_keyframe_depth_range(c);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " max_depth = 0.0005  min_depth = 0.0015\n");
  EXPECT_FLOAT_EQ(c.max_depth, 0.0005f);
  EXPECT_FLOAT_EQ(c.min_depth, 0.0015f);

  // A neighbour at infinity makes the mean distance infinite, which no halving could bring below
  // the limit: the call still returns.
  std::vector<Camera> far = {at(0.1f, 0.f, 0.f), at(-0.1f, 0.f, 0.f), at(INFINITY, 0.f, 0.f)};
  Camera d = axisCamera();
  for (Camera& o : far) d.neighbors.push_back(&o);
  testing::internal::CaptureStdout();
  estimate_keyframe_depth_range(d);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::isinf(d.max_depth));
  EXPECT_TRUE(std::isinf(d.min_depth));
}
