// Host image classes: construction, deep copies, assignment and element layout.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include "cmatrix/CMatrix.h"
#include "cmatrix/CTensor.h"
#include "support/test_support.h"

namespace {

CMatrix<float> ramp(int w, int h) {
  CMatrix<float> m(w, h);
  for (int i = 0; i < w * h; ++i) m.data[i] = float(i);
  return m;
}

TEST(CMatrix, CopiesAreDeepAndKeepNullBuffers) {
  const CMatrix<float> empty;
  EXPECT_EQ(empty.xSize, 0);
  EXPECT_EQ(empty.ySize, 0);
  EXPECT_EQ(empty.data, nullptr);

  CMatrix<float> a = ramp(3, 2);
  CMatrix<float> b(a);
  ASSERT_NE(b.data, a.data);
  a.data[4] = -1.0f;
  EXPECT_EQ(b.data[4], 4.0f);

  // Sizes travel even when there is no buffer.
  CMatrix<float> sized;
  sized.xSize = 5;
  sized.ySize = 7;
  CMatrix<float> copy(sized);
  EXPECT_EQ(copy.xSize, 5);
  EXPECT_EQ(copy.ySize, 7);
  EXPECT_EQ(copy.data, nullptr);
  b = sized;
  EXPECT_EQ(b.xSize, 5);
  EXPECT_EQ(b.data, nullptr);

  // Copies inside standard containers stay independent.
  std::vector<CMatrix<float>> maps(2, ramp(2, 2));
  maps[0].data[0] = 9.0f;
  EXPECT_EQ(maps[1].data[0], 0.0f);
}

TEST(CMatrix, AssignmentReplacesTheBufferAndSurvivesSelfAssignment) {
  CMatrix<float3> a(2, 1);
  a.data[0] = make_float3(1, 2, 3);
  a.data[1] = make_float3(4, 5, 6);
  float3* before = a.data;
  CMatrix<float3>& self = a;
  a = self;
  EXPECT_EQ(a.data, before);
  EXPECT_EQ(a.data[1].z, 6.0f);

  CMatrix<float3> b(7, 7);
  b = a;
  EXPECT_EQ(b.xSize, 2);
  EXPECT_EQ(b.ySize, 1);
  EXPECT_NE(b.data, a.data);
  EXPECT_EQ(b.data[1].x, 4.0f);

  // A 0 x N image with a buffer gives a new, empty buffer.
  CMatrix<float> zero(0, 4);
  ASSERT_NE(zero.data, nullptr);
  CMatrix<float> c = ramp(2, 2);
  c = zero;
  EXPECT_EQ(c.xSize, 0);
  EXPECT_EQ(c.ySize, 4);
  EXPECT_NE(c.data, nullptr);
  EXPECT_NE(c.data, zero.data);
}

TEST(CMatrix, RefusesNegativeAndOversizedImages) {
  EXPECT_THROW_MESSAGE(CMatrix<float>(-1, 3), "CMatrix: invalid image size -1 x 3");
  EXPECT_THROW_MESSAGE(CMatrix<float>(65536, 65536), "CMatrix: invalid image size 65536 x 65536");
  EXPECT_THROW_MESSAGE((CTensor<float>(1 << 20, 1 << 10, 3)),
                       "CTensor: invalid image size 1048576 x 1024 x 3");
}

TEST(CTensor, PlanesFollowOneAnother) {
  CTensor<float> t(4, 3, 2);
  for (int i = 0; i < 24; ++i) t.data[i] = float(i);
  // element (1, 2, 1): (1 * 3 + 2) * 4 + 1
  EXPECT_EQ(t.data[(1 * t.ySize + 2) * t.xSize + 1], 21.0f);

  CTensor<float> u(t);
  t.data[21] = 0;
  EXPECT_EQ(u.data[21], 21.0f);
  CTensor<float> v;
  v = u;
  EXPECT_EQ(v.zSize, 2);
  EXPECT_EQ(v.data[23], 23.0f);
}

}  // namespace
