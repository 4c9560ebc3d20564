// Superpixel points painted into depth and normal images, and dense points from depth maps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "dense_points.h"

namespace {

// A 6 x 4 camera at the origin looking along +z; with the mirrored convention pixel (x, y) has
// the ray ((W-1-x - cx) / fx, (H-1-y - cy) / fy, 1).
Camera testCamera(int index = 0) {
  Camera c;
  c.K[0] = 100.f;
  c.K[4] = 50.f;
  c.K[6] = 2.f;
  c.K[7] = 1.f;
  c.K[8] = 1.f;
  c.R[0] = c.R[4] = c.R[8] = 1.f;
  c.index = index;
  c.width = 6;
  c.height = 4;
  return c;
}

Particle facingCamera(float3 pos, int camera, int superpixel) {
  Particle p{};
  p.position = pos;
  const float len = std::sqrt(pos.x * pos.x + pos.y * pos.y + pos.z * pos.z);
  p.direction = make_float3(-pos.x / len, -pos.y / len, -pos.z / len);
  p.normal = p.direction;
  p.camera = camera;
  p.pixel = superpixel;
  return p;
}

std::vector<Superpixel> twoSuperpixels() {
  std::vector<Superpixel> s(2);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) s[x < 3 ? 0 : 1].pixels.push_back(make_int2(x, y));
  return s;
}

TEST(ParticlesToImages, FrontoParallelPlaneGivesItsDepthEverywhere) {
  const Camera cam = testCamera();
  auto sp = twoSuperpixels();
  std::vector<Particle> ps = {facingCamera(make_float3(0, 0, 2), 0, 1)};
  ps[0].direction = make_float3(0, 0, -1);
  std::vector<float> offsets = {0.5f};  // moves the point to z = 1.5
  std::vector<float3> normals = {make_float3(0, 0, -1)};
  CMatrix<float> depth;
  CMatrix<float3> normal;
  particles_to_images(depth, normal, ps, offsets, normals, sp, cam, 0.1f, 10.f);
  ASSERT_EQ(depth.xSize, 6);
  ASSERT_EQ(depth.ySize, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      const float d = depth.data[y * 6 + x];
      if (x < 3)
        EXPECT_EQ(d, 0.f) << "superpixel without a point";
      else {
        EXPECT_FLOAT_EQ(d, 1.5f);
        EXPECT_EQ(normal.data[y * 6 + x].z, -1.f);
      }
    }
}

TEST(ParticlesToImages, SlantedPlaneMeetsEachRay) {
  const Camera cam = testCamera();
  auto sp = twoSuperpixels();
  // plane through (0, 0, 2) with normal towards the camera, tilted about y
  const float3 n = make_float3(-0.6f, 0.f, -0.8f);
  std::vector<Particle> ps = {facingCamera(make_float3(0, 0, 2), 0, 0)};
  std::vector<float> offsets = {0.f};
  std::vector<float3> normals = {n};
  CMatrix<float> depth;
  CMatrix<float3> normal;
  particles_to_images(depth, normal, ps, offsets, normals, sp, cam, 0.f, 100.f);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 3; ++x) {
      const float u = (float(5 - x) - 2.f) / 100.f;
      const float z = depth.data[y * 6 + x];
      // the point (u z, v z, z) lies on the plane n . (X - (0, 0, 2)) = 0
      EXPECT_NEAR(n.x * u * z + n.z * (z - 2.f), 0.f, 1e-5f);
    }
}

TEST(ParticlesToImages, SkipsOtherCamerasBackFacingPointsAndOutOfRangeDepths) {
  const Camera cam = testCamera(1);
  auto sp = twoSuperpixels();
  std::vector<Particle> ps = {facingCamera(make_float3(0, 0, 2), 0, 0),   // other camera
                              facingCamera(make_float3(0, 0, 2), 1, 1)};  // faces away below
  std::vector<float> offsets = {0.f, 0.f};
  std::vector<float3> normals = {make_float3(0, 0, -1), make_float3(0, 0, 1)};
  CMatrix<float> depth;
  CMatrix<float3> normal;
  particles_to_images(depth, normal, ps, offsets, normals, sp, cam, 0.f, 10.f);
  for (int k = 0; k < 24; ++k) EXPECT_EQ(depth.data[k], 0.f);

  // a depth equal to a bound is dropped, but the normal is still written
  normals[1] = make_float3(0, 0, -1);
  particles_to_images(depth, normal, ps, offsets, normals, sp, cam, 2.f, 10.f);
  EXPECT_EQ(depth.data[5], 0.f);
  EXPECT_EQ(normal.data[5].z, -1.f);
  // a plane containing the rays gives no depth
  normals[1] = make_float3(1, 0, 0);
  ps[1].direction = make_float3(0.9f, 0, -0.43588989f);
  particles_to_images(depth, normal, ps, offsets, normals, sp, cam, 0.f, 10.f);
  for (int k = 0; k < 24; ++k) EXPECT_FALSE(std::isnan(depth.data[k]));
}

struct Images {
  CMatrix<float> model{6, 4}, measured{6, 4};
  CMatrix<float3> normals{6, 4};
  CMatrix<uchar4> image{6, 4};
  Images() {
    for (int k = 0; k < 24; ++k) {
      model.data[k] = 0.f;
      measured.data[k] = 0.f;
      normals.data[k] = make_float3(0.f, 0.f, -1.f);
      image.data[k] = make_uchar4(k, 2 * k, 3 * k, 255);
    }
  }
};

TEST(PointsFromDepthMap, ModelDepthDecidesMeasuredDepthPlacesThePoint) {
  const Camera cam = testCamera(3);
  Images im;
  im.model.data[0] = 2.f;     // pixel (0, 0): model only -> flagged point at the model depth
  im.model.data[7] = 2.f;     // pixel (1, 1): model 2, measured 2.5
  im.measured.data[7] = 2.5f;
  im.measured.data[8] = 3.f;  // measured without model -> no point
  im.model.data[9] = 10.f;    // on the upper bound -> no point
  im.model.data[10] = std::numeric_limits<float>::quiet_NaN();
  im.normals.data[7] = make_float3(0.1f, 0.2f, 0.3f);
  std::vector<Particle> ps(1);
  std::vector<float> offsets(1, 42.f);
  std::vector<float3> normals(1);
  create_particles_from_depthmap(ps, offsets, normals, im.model, im.normals, im.measured, im.image,
                                 cam, 0.f, 10.f);
  ASSERT_EQ(ps.size(), 3u);
  EXPECT_EQ(offsets[0], 42.f) << "existing points are left alone";

  const Particle& a = ps[1];
  EXPECT_TRUE(a.flag);
  EXPECT_EQ(offsets[1], 0.f);
  EXPECT_EQ(a.pixel, 0);
  EXPECT_EQ(a.camera, 3);
  // pixel (0, 0) back-projects through the mirrored pixel (5, 3)
  EXPECT_FLOAT_EQ(a.position.x, (5.f - 2.f) / 100.f * 2.f);
  EXPECT_FLOAT_EQ(a.position.y, (3.f - 1.f) / 50.f * 2.f);
  EXPECT_FLOAT_EQ(a.position.z, 2.f);
  EXPECT_FLOAT_EQ(a.size, 2.f / 100.f);
  EXPECT_EQ(a.color.x, 0);

  const Particle& b = ps[2];
  EXPECT_FALSE(b.flag);
  EXPECT_EQ(b.pixel, 7);
  EXPECT_FLOAT_EQ(b.position.z, 2.5f);
  EXPECT_FLOAT_EQ(b.size, 2.f / 100.f) << "the size follows the model depth";
  const float3 eff = effective_position(b, offsets[2]);
  EXPECT_NEAR(eff.z, 2.f, 1e-5f) << "the offset moves the point onto the model surface";
  EXPECT_NEAR(eff.x, (4.f - 2.f) / 100.f * 2.f, 1e-6f);
  EXPECT_TRUE(b.normal.x == b.direction.x && b.normal.y == b.direction.y && b.normal.z == b.direction.z);
  EXPECT_NEAR(b.direction.x * b.direction.x + b.direction.y * b.direction.y + b.direction.z * b.direction.z, 1.f, 1e-6f);
  EXPECT_LT(b.direction.z, 0.f) << "directions point back to the camera";
  EXPECT_EQ(normals[2].y, 0.2f) << "the model normal goes to the normals vector unchanged";
  EXPECT_EQ(b.color.y, 14);
}

TEST(PointsFromDepthMap, PosedCameraRoundTripsThroughItsPose) {
  // camera rotated 90 degrees about z and moved: X_cam = R X + t
  Camera cam = testCamera();
  const float R[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};  // columns
  for (int i = 0; i < 9; ++i) cam.R[i] = R[i];
  cam.t = make_float3(0.5f, -1.f, 2.f);
  // centre = -R^T t
  cam.center = make_float3(-(R[0] * 0.5f + R[1] * -1.f + R[2] * 2.f), -(R[3] * 0.5f + R[4] * -1.f + R[5] * 2.f),
                           -(R[6] * 0.5f + R[7] * -1.f + R[8] * 2.f));
  Images im;
  im.model.data[13] = 3.f;
  im.measured.data[13] = 3.f;
  std::vector<Particle> ps;
  std::vector<float> offsets;
  std::vector<float3> normals;
  create_particles_from_depthmap(ps, offsets, normals, im.model, im.normals, im.measured, im.image,
                                 cam, 0.f, 10.f);
  ASSERT_EQ(ps.size(), 1u);
  const float3 P = ps[0].position;
  // back into the camera: z is the depth, and the direction points at the centre
  const float zc = R[2] * P.x + R[5] * P.y + R[8] * P.z + cam.t.z;
  EXPECT_NEAR(zc, 3.f, 1e-5f);
  const float3 toC = make_float3(cam.center.x - P.x, cam.center.y - P.y, cam.center.z - P.z);
  const float len = std::sqrt(toC.x * toC.x + toC.y * toC.y + toC.z * toC.z);
  EXPECT_NEAR(ps[0].direction.x, toC.x / len, 1e-6f);
  EXPECT_NEAR(ps[0].direction.y, toC.y / len, 1e-6f);
}

TEST(PointsFromDepthMap, EmptyModelGivesNothingAndMismatchedImagesAreRefused) {
  const Camera cam = testCamera();
  Images im;
  std::vector<Particle> ps;
  std::vector<float> offsets;
  std::vector<float3> normals;
  for (int k = 0; k < 24; ++k) im.measured.data[k] = 1.f;
  create_particles_from_depthmap(ps, offsets, normals, im.model, im.normals, im.measured, im.image,
                                 cam, 0.f, 10.f);
  EXPECT_TRUE(ps.empty());
  CMatrix<float> small(3, 2);
  EXPECT_THROW(create_particles_from_depthmap(ps, offsets, normals, small, im.normals, im.measured,
                                              im.image, cam, 0.f, 10.f),
               std::runtime_error);
  CMatrix<uchar4> noImage;
  EXPECT_THROW(create_particles_from_depthmap(ps, offsets, normals, im.model, im.normals, im.measured,
                                              noImage, cam, 0.f, 10.f),
               std::runtime_error);
}

}  // namespace
