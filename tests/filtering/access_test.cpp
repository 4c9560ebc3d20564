// Border rules read on host memory: which element a coordinate outside the array reaches.
#include <gtest/gtest.h>

#include <vector>

#include "yv/access/array_access.h"

namespace {

// A row 0..4 along one axis of a 3-D array whose other axes have extent 1; each element holds
// its own index, so a read shows which index the rule chose.
struct Line {
  std::vector<float> data{0.f, 1.f, 2.f, 3.f, 4.f};
  yv::Array<float, 3> along(int axis) {
    return yv::arrayFromHostMemory(data.data(), axis == 0 ? 5u : 1u, axis == 1 ? 5u : 1u,
                                   axis == 2 ? 5u : 1u);
  }
};

template <class Policy>
float readAlong(Line& l, int axis, int c) {
  const yv::Array<float, 3> a = l.along(axis);
  return Policy().get(a, axis == 0 ? c : 0, axis == 1 ? c : 0, axis == 2 ? c : 0);
}

TEST(BorderRules, MirrorReflectsWithoutRepeatingTheEdgeOnEveryAxis) {
  Line l;
  const int coords[] = {-4, -2, -1, 0, 3, 4, 5, 6, 8};
  const float expected[] = {4, 2, 1, 0, 3, 4, 3, 2, 0};
  for (int axis = 0; axis < 3; ++axis)
    for (int i = 0; i < 9; ++i)
      EXPECT_EQ(readAlong<yv::ArrayAccessMirror>(l, axis, coords[i]), expected[i])
          << "axis " << axis << " coordinate " << coords[i];
}

TEST(BorderRules, ClampRepeatsTheNearestEdgeElement) {
  Line l;
  const int coords[] = {-100, -3, -1, 0, 2, 4, 5, 7, 1000};
  const float expected[] = {0, 0, 0, 0, 2, 4, 4, 4, 4};
  for (int axis = 0; axis < 3; ++axis)
    for (int i = 0; i < 9; ++i)
      EXPECT_EQ(readAlong<yv::ArrayAccessClamp>(l, axis, coords[i]), expected[i])
          << "axis " << axis << " coordinate " << coords[i];
}

TEST(BorderRules, ZeroReadsNothingOutsideTheArray) {
  Line l;
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_EQ(readAlong<yv::ArrayAccessZero>(l, axis, -1), 0.f);
    EXPECT_EQ(readAlong<yv::ArrayAccessZero>(l, axis, 5), 0.f);
    EXPECT_EQ(readAlong<yv::ArrayAccessZero>(l, axis, 3), 3.f);
  }
  // Outside, no memory is touched: a descriptor without memory still answers zero.
  yv::Array<float2, 3> none{nullptr, make_uint3(8, 8, 8), make_uint3(1, 1, 1), 0};
  const float2 z = yv::ArrayAccessZero().get(none, -1, 0, 0);
  EXPECT_EQ(z.x, 0.f);
  EXPECT_EQ(z.y, 0.f);
  const float2 z2 = yv::ArrayAccessZero().get(none, 0, 1, 0);
  EXPECT_EQ(z2.x, 0.f);
  EXPECT_EQ(z2.y, 0.f);

  std::vector<float2> v{make_float2(1.f, 2.f), make_float2(3.f, 4.f)};
  const yv::Array<float2, 3> a = yv::arrayFromHostMemory(v.data(), 2u, 1u, 1u);
  EXPECT_EQ(yv::ArrayAccessZero().get(a, 1, 0, 0).y, 4.f);
  EXPECT_EQ(yv::ArrayAccessZero().get(a, 2, 0, 0).x, 0.f);
}

TEST(BorderRules, ReadsFollowRowAndPlanePitches) {
  // A 2 x 2 x 2 volume inside a buffer with padded rows (3 floats) and planes (8 floats).
  std::vector<float> buf(16, -1.f);
  yv::Array<float, 3> a{buf.data(), make_uint3(4, 12, 32), make_uint3(2, 2, 2), -1};
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 2; ++x) buf[z * 8 + y * 3 + x] = float(100 * z + 10 * y + x);
  EXPECT_EQ(yv::ArrayAccessMirror().get(a, -1, 2, 1), 101.f);  // (1, 0, 1)
  EXPECT_EQ(yv::ArrayAccessClamp().get(a, 5, -3, 9), 101.f);   // (1, 0, 1)
  EXPECT_EQ(yv::ArrayAccessZero().get(a, 1, 1, 1), 111.f);
}

}  // namespace
