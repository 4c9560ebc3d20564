// Render records: the GPU point set, render buffers and their clearing, camera projections.
#include <gtest/gtest.h>

#include <cfloat>

#include "render_test_util.h"
#include "support/test_support.h"
#include "yv/algorithms/basic/arithmetic.h"

using namespace render_test;
using tessivar_test::AllocationGuard;

TEST(CreatePoints, CopiesEffectivePositionsNormalsColoursAndSizes) {
  AllocationGuard guard;
  Scene s;
  s.add(make_float3(1, 2, 3), make_float3(0, 0, -1), 0.5f, make_uchar4(10, 20, 30, 40));
  s.add(make_float3(-1, 0.5f, 4), make_float3(0, 1, 0), 0.25f, make_uchar4(1, 2, 3, 4));
  s.particles[1].direction = make_float3(0, 0, 1);
  s.offsets[1] = 1.f;
  // The normals vector counts, not the record's creation normal.
  s.particles[0].normal = make_float3(1, 0, 0);
  Points p = createPoints(s.particles, s.offsets, s.normals);
  const auto pos = download(p.positions);
  const auto nrm = download(p.normals);
  const auto col = download(p.colors);
  const auto siz = download(p.sizes);
  releasePoints(p);

  ASSERT_EQ(pos.size(), 6u);
  // Each coordinate is one row of n entries.
  EXPECT_EQ(pos[0], 1.f);
  EXPECT_EQ(pos[2], 2.f);
  EXPECT_EQ(pos[4], 3.f);
  EXPECT_EQ(pos[1], -1.f);
  EXPECT_EQ(pos[3], 0.5f);
  EXPECT_EQ(pos[5], 5.f);  // z moved by offset 1 along (0, 0, 1)
  EXPECT_EQ(nrm[0], 0.f);
  EXPECT_EQ(nrm[4], -1.f);
  EXPECT_EQ(nrm[3], 1.f);
  EXPECT_EQ(col[0].x, 10);
  EXPECT_EQ(col[0].w, 40);
  EXPECT_EQ(col[1].z, 3);
  EXPECT_EQ(siz[0], 0.5f);
  EXPECT_EQ(siz[1], 0.25f);
}

TEST(CreatePoints, RefusesEmptyAndMisalignedSets) {
  AllocationGuard guard;
  Scene s;
  EXPECT_THROW_MESSAGE(createPoints(s.particles, s.offsets, s.normals),
                       "yv::mallocDeviceArray: all extents must be >= 1");
  s.add(make_float3(0, 0, 1), make_float3(0, 0, -1), 1.f);
  s.offsets.clear();
  EXPECT_THROW_MESSAGE(createPoints(s.particles, s.offsets, s.normals),
                       "createPoints: the particle set is not aligned\n 1 particles, 0 offsets, 1 normals");
}

TEST(RenderBuffer, AllocationExtentsAndRefusedSizes) {
  AllocationGuard guard;
  RenderBuffer b = createRenderBuffer(7, 5);
  EXPECT_EQ(b.image.size.x, 7u);
  EXPECT_EQ(b.image.size.y, 5u);
  EXPECT_EQ(b.depth.size.x, 7u);
  EXPECT_EQ(b.color_sum.size.z, 4u);
  EXPECT_EQ(b.normal_sum.size.z, 3u);
  EXPECT_EQ(b.weight_sum.size.y, 5u);
  EXPECT_NE(b.image.device, -1);
  releaseRenderBuffer(b);
  EXPECT_THROW_MESSAGE(createRenderBuffer(0, 5), "yv::mallocDeviceArray: all extents must be >= 1");
  EXPECT_THROW_MESSAGE(createRenderBuffer(4, -2), "yv::mallocDeviceArray: all extents must be >= 1");
}

TEST(RenderBuffer, ClearingSetsColourDepthAndZeroSums) {
  AllocationGuard guard;
  Rendered r(5, 3);
  // Dirty every array first.
  yv::Array<float, 4> cs = yv::internal::increaseArrayDimension<float, 3, 4>(r.buffer.color_sum);
  yv::set(cs, 7.f, 0);
  yv::Array<float, 4> ns = yv::internal::increaseArrayDimension<float, 3, 4>(r.buffer.normal_sum);
  yv::set(ns, 7.f, 0);
  yv::Array<float, 4> ws = yv::internal::increaseArrayDimension<float, 2, 4>(r.buffer.weight_sum);
  yv::set(ws, 7.f, 0);

  clear_render_buffer_arrays(r.buffer, make_uchar4(0, 0, 0, 0));
  for (float d : download(r.buffer.depth)) EXPECT_EQ(d, 3.4028235e38f);
  for (float v : download(r.buffer.color_sum)) EXPECT_EQ(v, 0.f);
  for (float v : download(r.buffer.normal_sum)) EXPECT_EQ(v, 0.f);
  for (float v : download(r.buffer.weight_sum)) EXPECT_EQ(v, 0.f);
  for (uchar4 c : download(r.buffer.image)) EXPECT_EQ(c.x + c.y + c.z + c.w, 0);

  clearRenderBuffer(r.buffer, make_uchar4(1, 2, 3, 4), 2.5f);
  for (float d : download(r.buffer.depth)) EXPECT_EQ(d, 2.5f);
  for (uchar4 c : download(r.buffer.image)) {
    EXPECT_EQ(c.x, 1);
    EXPECT_EQ(c.w, 4);
  }
}

TEST(CameraProjection, ScalesIntrinsicsAndStoresRotationRowByRow) {
  Camera c = makeCamera(640, 480, 500.f, 319.f, 239.f);
  c.K[4] = 400.f;
  Projection half = camera_projection(c, 320, 240, 0.5f, 10.f);
  EXPECT_EQ(half.width, 320u);
  EXPECT_EQ(half.height, 240u);
  EXPECT_FLOAT_EQ(half.fx, 250.f);
  EXPECT_FLOAT_EQ(half.fy, 200.f);
  EXPECT_FLOAT_EQ(half.cx, 159.5f);
  EXPECT_FLOAT_EQ(half.cy, 119.5f);
  EXPECT_EQ(half.near, 0.5f);
  EXPECT_EQ(half.far, 10.f);
  Projection full = camera_projection(c, 640, 480, 0.f, FLT_MAX);
  EXPECT_EQ(full.fx, 500.f);
  EXPECT_EQ(full.cy, 239.f);

  // Rows (0, -1, 0), (1, 0, 0), (0, 0, 1), stored column by column in the camera.
  Camera r = c;
  const float rows[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.R[3 * j + i] = rows[3 * i + j];
  r.t = make_float3(1, 2, 3);
  // centre = -R^T t
  r.center = make_float3(-(rows[0] * 1 + rows[3] * 2 + rows[6] * 3),
                         -(rows[1] * 1 + rows[4] * 2 + rows[7] * 3),
                         -(rows[2] * 1 + rows[5] * 2 + rows[8] * 3));
  Projection p = camera_projection(r, 640, 480, 0.f, 1.f);
  for (int k = 0; k < 9; ++k) EXPECT_EQ(p.R[k], rows[k]);
  const float C[3] = {r.center.x, r.center.y, r.center.z};
  for (int i = 0; i < 3; ++i)
    EXPECT_FLOAT_EQ(p.R[3 * i] * C[0] + p.R[3 * i + 1] * C[1] + p.R[3 * i + 2] * C[2] + p.t[i],
                    0.f);
}
