#include "particles_from_superpixels.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "support/test_support.h"
#include "superpixels/test_camera.h"

namespace {

float dot(float3 a, float3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
float3 sub(float3 a, float3 b) { return make_float3(a.x - b.x, a.y - b.y, a.z - b.z); }
float norm(float3 a) { return std::sqrt(dot(a, a)); }

// World ray through pixel (x, y) of `cam` (mirrored pixel coordinates), unnormalised.
float3 worldRay(const Camera& cam, int x, int y) {
  const float r[3] = {(float(cam.width - 1 - x) - cam.K[6]) / cam.K[0],
                      (float(cam.height - 1 - y) - cam.K[7]) / cam.K[4], 1.0f};
  float w[3];
  for (int i = 0; i < 3; ++i) w[i] = cam.R[3 * i + 0] * r[0] + cam.R[3 * i + 1] * r[1] + cam.R[3 * i + 2] * r[2];
  return make_float3(w[0], w[1], w[2]);
}

// Depth map of the world plane n . X = d seen by `cam`.
CMatrix<float> planeDepth(const Camera& cam, float3 n, float d) {
  CMatrix<float> depth(cam.width, cam.height);
  for (int y = 0; y < cam.height; ++y)
    for (int x = 0; x < cam.width; ++x)
      depth.data[y * cam.width + x] = (d - dot(n, cam.center)) / dot(n, worldRay(cam, x, y));
  return depth;
}

Superpixel block(int x0, int y0, int w, int h, uchar4 color) {
  Superpixel s;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) s.pixels.push_back(make_int2(x, y));
  s.color = color;
  return s;
}

struct Set {
  std::vector<Particle> particles;
  std::vector<float> offsets;
  std::vector<float3> normals;
};

const CMatrix<float> kNoDepth;
const CMatrix<float3> kNoNormals;

}  // namespace

TEST(PointsFromSuperpixels, TiltedPlaneGivesItsNormalTurnedToTheCamera) {
  // Camera turned by 0.4 rad and moved; the plane faces away from it, so the fitted normal has
  // to be flipped towards the camera.
  const Camera cam = testCamera(64, 48, 60.0f, 0.4f, make_float3(0.3f, -0.2f, 0.5f));
  const float3 n = make_float3(0.48f, 0.6f, 0.64f);  // unit
  const float dplane = dot(n, cam.center) + 2.0f;    // camera on the negative side
  const CMatrix<float> depth = planeDepth(cam, n, dplane);
  Set set;
  set.particles.resize(2);  // existing points stay as they are
  set.offsets.assign(2, 7.0f);
  set.normals.assign(2, make_float3(1, 2, 3));
  std::vector<Superpixel> sp{block(10, 10, 10, 8, make_uchar4(1, 2, 3, 255)),
                             block(30, 20, 12, 12, make_uchar4(4, 5, 6, 255))};
  create_particles_from_superpixels(set.particles, set.offsets, set.normals, sp, kNoDepth,
                                    kNoNormals, depth, cam);
  ASSERT_EQ(set.particles.size(), 4u);
  ASSERT_EQ(set.offsets.size(), 4u);
  ASSERT_EQ(set.normals.size(), 4u);
  EXPECT_EQ(set.offsets[1], 7.0f);
  for (int k = 0; k < 2; ++k) {
    const Particle& p = set.particles[2 + k];
    EXPECT_NEAR(p.normal.x, -n.x, 1e-3f);
    EXPECT_NEAR(p.normal.y, -n.y, 1e-3f);
    EXPECT_NEAR(p.normal.z, -n.z, 1e-3f);
    EXPECT_NEAR(dot(n, p.position) - dplane, 0.0f, 1e-4f) << "centre off the plane";
    const float3 toCam = sub(cam.center, p.position);
    const float s = norm(toCam);
    EXPECT_NEAR(p.direction.x, toCam.x / s, 1e-6f);
    EXPECT_NEAR(p.direction.y, toCam.y / s, 1e-6f);
    EXPECT_NEAR(p.direction.z, toCam.z / s, 1e-6f);
    const double m = double(sp[k].pixels.size());
    EXPECT_NEAR(p.size, s / 60.0f * std::sqrt(m / M_PI), 1e-6f);
    EXPECT_EQ(p.pixel, k);
    EXPECT_EQ(p.camera, cam.index);
    EXPECT_EQ(p.color.x, sp[k].color.x);
    EXPECT_EQ(p.color.z, sp[k].color.z);
    EXPECT_FALSE(p.flag);
    EXPECT_EQ(set.offsets[2 + k], 0.0f);
    EXPECT_EQ(set.normals[2 + k].x, p.normal.x);
    EXPECT_EQ(set.normals[2 + k].y, p.normal.y);
    EXPECT_EQ(set.normals[2 + k].z, p.normal.z);
  }
}

TEST(PointsFromSuperpixels, NeedEightyPercentValidDepth) {
  const Camera cam = testCamera(10, 4, 20.0f, 0.0f, make_float3(0, 0, 0));
  CMatrix<float> depth(10, 4);
  for (int i = 0; i < 40; ++i) depth.data[i] = 2.0f + 0.01f * float(i % 10);
  const float inf = std::numeric_limits<float>::infinity();
  // Row 0: 2 invalid of 10 -> point. Row 1: 3 invalid -> none. Row 2: the largest float, 0, NaN
  // and infinity are all invalid -> none. Row 3: 2 invalid, negative infinity and NaN -> point.
  depth.data[10 * 0 + 3] = 0.0f;
  depth.data[10 * 0 + 7] = std::nanf("");
  depth.data[10 * 1 + 1] = 0.0f;
  depth.data[10 * 1 + 2] = FLT_MAX;
  depth.data[10 * 1 + 5] = inf;
  depth.data[10 * 2 + 0] = FLT_MAX;
  depth.data[10 * 2 + 1] = 0.0f;
  depth.data[10 * 2 + 2] = std::nanf("");
  depth.data[10 * 2 + 3] = inf;
  depth.data[10 * 3 + 4] = -inf;
  depth.data[10 * 3 + 9] = std::nanf("");
  std::vector<Superpixel> sp;
  for (int y = 0; y < 4; ++y) sp.push_back(block(0, y, 10, 1, make_uchar4(0, 0, 0, 255)));
  sp.push_back(Superpixel());  // no pixels: no point
  Set set;
  create_particles_from_superpixels(set.particles, set.offsets, set.normals, sp, kNoDepth,
                                    kNoNormals, depth, cam);
  ASSERT_EQ(set.particles.size(), 2u);
  EXPECT_EQ(set.particles[0].pixel, 0);
  EXPECT_EQ(set.particles[1].pixel, 3);
  // Footprint from the 8 valid pixels.
  const Particle& p = set.particles[0];
  EXPECT_NEAR(p.size, norm(sub(cam.center, p.position)) / 20.0f * std::sqrt(8.0 / M_PI), 1e-6f);

  // An empty list appends nothing.
  create_particles_from_superpixels(set.particles, set.offsets, set.normals, {}, kNoDepth,
                                    kNoNormals, depth, cam);
  EXPECT_EQ(set.particles.size(), 2u);
}

TEST(PointsFromSuperpixels, OneOrTwoValidPixelsGiveTheFirstPoint) {
  const Camera cam = testCamera(4, 1, 10.0f, 0.0f, make_float3(0, 0, 1));
  CMatrix<float> depth(4, 1);
  depth.data[0] = 0.0f;
  depth.data[1] = 2.0f;
  depth.data[2] = 3.0f;
  depth.data[3] = 0.0f;
  // Pixels 1 and 2 of 2: both valid.
  std::vector<Superpixel> sp{block(1, 0, 2, 1, make_uchar4(9, 9, 9, 255))};
  Set set;
  create_particles_from_superpixels(set.particles, set.offsets, set.normals, sp, kNoDepth,
                                    kNoNormals, depth, cam);
  ASSERT_EQ(set.particles.size(), 1u);
  const Particle& p = set.particles[0];
  // Pixel 1 mirrored is x' = 2, 0.5 right of the principal point 1.5: q = (0.05 * 2, 0, 2).
  // World = q - t = (0.1, 0, 1).
  EXPECT_FLOAT_EQ(p.position.x, 0.1f);
  EXPECT_FLOAT_EQ(p.position.y, 0.0f);
  EXPECT_FLOAT_EQ(p.position.z, 1.0f);
  // Normal: camera centre (0, 0, -1) minus the point, not normalised.
  EXPECT_FLOAT_EQ(p.normal.x, -0.1f);
  EXPECT_FLOAT_EQ(p.normal.z, -2.0f);
  const float s = std::sqrt(0.01f + 4.0f);
  EXPECT_FLOAT_EQ(p.direction.x, -0.1f / s);
  EXPECT_FLOAT_EQ(p.direction.z, -2.0f / s);
}

TEST(PointsFromSuperpixels, ModelDepthGivesOffsetsAndModelNormalsTheNormal) {
  // Front-parallel wall at 2, model wall at 2.5: the model centre is the centre scaled by 1.25,
  // so the offset is -0.25 |c| (away from the camera).
  const Camera cam = testCamera(40, 30, 50.0f, 0.0f, make_float3(0, 0, 0));
  CMatrix<float> depth(40, 30), model(40, 30);
  CMatrix<float3> model_normals(40, 30);
  for (int i = 0; i < 40 * 30; ++i) {
    depth.data[i] = 2.0f;
    model.data[i] = 0.0f;
    model_normals.data[i] = make_float3(0.0f, 0.0f, 2.0f);
  }
  std::vector<Superpixel> sp{block(2, 3, 6, 5, make_uchar4(0, 0, 0, 255)),
                             block(20, 10, 6, 5, make_uchar4(0, 0, 0, 255))};
  for (const int2& q : sp[0].pixels) model.data[q.y * 40 + q.x] = 2.5f;
  // Superpixel 1: only three model pixels.
  for (int k = 0; k < 3; ++k) model.data[sp[1].pixels[k].y * 40 + sp[1].pixels[k].x] = 2.5f;
  Set set;
  create_particles_from_superpixels(set.particles, set.offsets, set.normals, sp, model,
                                    model_normals, depth, cam);
  ASSERT_EQ(set.particles.size(), 2u);
  const float3 c = set.particles[0].position;
  EXPECT_NEAR(set.offsets[0], -0.25f * norm(c), 1e-5f);
  EXPECT_FLOAT_EQ(set.normals[0].x, 0.0f);
  EXPECT_FLOAT_EQ(set.normals[0].z, 1.0f);
  // Three model pixels: the offset comes from a fit through them, the normal from the plane.
  EXPECT_EQ(set.normals[1].x, set.particles[1].normal.x);
  EXPECT_EQ(set.normals[1].z, set.particles[1].normal.z);
  EXPECT_NEAR(set.particles[1].normal.z, -1.0f, 1e-5f);

  // Model images must come together and with the depth map's extents.
  CMatrix<float> small(39, 30);
  EXPECT_THROW_MESSAGE(
      create_particles_from_superpixels(set.particles, set.offsets, set.normals, sp, small,
                                        model_normals, depth, cam),
      "create_particles_from_superpixels: model depth and normal images must both be empty or "
      "both have the extents of the depth map\ndepth map: 40 x 30\nmodel depth: 39 x 30\n"
      "model normals: 40 x 30");
  EXPECT_THROW_MESSAGE(
      create_particles_from_superpixels(set.particles, set.offsets, set.normals, sp, model,
                                        kNoNormals, depth, cam),
      "create_particles_from_superpixels: model depth and normal images must both be empty or "
      "both have the extents of the depth map\ndepth map: 40 x 30\nmodel depth: 40 x 30\n"
      "model normals: 0 x 0");
  EXPECT_EQ(set.particles.size(), 2u);
}

TEST(PointsFromSuperpixels, PixelOutsideTheDepthMapIsReportedAfterTheTeam) {
  const Camera cam = testCamera(8, 8, 10.0f, 0.0f, make_float3(0, 0, 0));
  CMatrix<float> depth(8, 8);
  for (int i = 0; i < 64; ++i) depth.data[i] = 1.0f;
  std::vector<Superpixel> sp(40, block(0, 0, 2, 2, make_uchar4(0, 0, 0, 255)));
  sp[33].pixels.push_back(make_int2(8, 3));
  Set set;
  EXPECT_THROW_MESSAGE(create_particles_from_superpixels(set.particles, set.offsets, set.normals,
                                                         sp, kNoDepth, kNoNormals, depth, cam),
                       "create_particles_from_superpixels: pixel (8, 3) of superpixel 33 lies "
                       "outside the depth map (8 x 8)");
  EXPECT_TRUE(set.particles.empty());
}

TEST(PointsFromSuperpixels, SuperpixelOrderWhateverTheThreadCount) {
  const Camera cam = testCamera(100, 100, 80.0f, 0.2f, make_float3(0.1f, 0.0f, 0.3f));
  CMatrix<float> depth(100, 100);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x)
      depth.data[y * 100 + x] = (x + y) % 13 == 0 ? 0.0f : 1.5f + 0.3f * std::sin(0.1f * x) + 0.01f * y;
  std::vector<Superpixel> sp;
  for (int by = 0; by < 100; by += 5)
    for (int bx = 0; bx < 100; bx += 4) sp.push_back(block(bx, by, 4, 5, make_uchar4(bx, by, 0, 255)));
  const int saved = omp_get_max_threads();
  std::vector<Set> runs;
  for (int threads : {1, 8}) {
    omp_set_num_threads(threads);
    runs.emplace_back();
    create_particles_from_superpixels(runs.back().particles, runs.back().offsets,
                                      runs.back().normals, sp, kNoDepth, kNoNormals, depth, cam);
  }
  omp_set_num_threads(saved);
  ASSERT_EQ(runs[0].particles.size(), runs[1].particles.size());
  ASSERT_GT(runs[0].particles.size(), 400u);
  for (std::size_t i = 0; i < runs[0].particles.size(); ++i) {
    const Particle &a = runs[0].particles[i], &b = runs[1].particles[i];
    if (i > 0) {
      EXPECT_LT(runs[0].particles[i - 1].pixel, a.pixel);
    }
    EXPECT_EQ(a.pixel, b.pixel);
    EXPECT_EQ(a.position.x, b.position.x);
    EXPECT_EQ(a.position.z, b.position.z);
    EXPECT_EQ(a.normal.y, b.normal.y);
    EXPECT_EQ(a.size, b.size);
  }
}

TEST(SuperpixelPlane, CoplanarPointsAndTooFewPoints) {
  const Camera cam = testCamera(10, 10, 10.0f, 0.0f, make_float3(0, 0, 0));
  // A square in the plane z = 3 around (1, 2): uniform residuals, so the centre is the mean.
  std::vector<Eigen::Vector3f> pts{{0, 1, 3}, {2, 1, 3}, {2, 3, 3}, {0, 3, 3}, {1, 2, 3}};
  std::vector<float> w;
  float3 c, n;
  fit_superpixel_plane(c, n, w, pts, cam);
  EXPECT_FLOAT_EQ(c.x, 1.0f);
  EXPECT_FLOAT_EQ(c.y, 2.0f);
  EXPECT_FLOAT_EQ(c.z, 3.0f);
  EXPECT_NEAR(n.z, -1.0f, 1e-6f);  // towards the camera at the origin
  EXPECT_EQ(w.size(), 5u);

  // An outlier is weighted down: the plane stays with the majority.
  std::vector<Eigen::Vector3f> noisy;
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) noisy.emplace_back(0.1f * i, 0.1f * j, 2.0f);
  noisy.emplace_back(0.25f, 0.25f, 1.7f);
  fit_superpixel_plane(c, n, w, noisy, cam);
  EXPECT_NEAR(n.z, -1.0f, 1e-3f);
  EXPECT_NEAR(c.z, 2.0f, 1e-3f);

  std::vector<Eigen::Vector3f> two{{1, 0, 4}, {0, 1, 4}};
  fit_superpixel_plane(c, n, w, two, cam);
  EXPECT_EQ(c.x, 1.0f);
  EXPECT_EQ(c.z, 4.0f);
  EXPECT_EQ(n.x, -1.0f);
  EXPECT_EQ(n.z, -4.0f);
  EXPECT_THROW_MESSAGE(fit_superpixel_plane(c, n, w, {}, cam), "fit_superpixel_plane: no points");
}
