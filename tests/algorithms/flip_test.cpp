#include "yv/algorithms/basic/flip.h"

#include <gtest/gtest.h>

#include <vector>

#include "algorithms/arrays.h"
#include "support/test_support.h"
#include "yv/tools/range.h"

using namespace algo_test;
using tessivar_test::AllocationGuard;

namespace {

// Distinct contents: the value encodes the element's index.
std::vector<int> indexed(uint4 e) {
  std::vector<int> v(std::size_t(e.x) * e.y * e.z * e.w);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = int(i);
  return v;
}

// What a flip along `axis` must produce, computed from the definition.
std::vector<int> flipped(const std::vector<int>& v, uint4 e, int axis) {
  std::vector<int> r(v.size());
  for (unsigned w = 0; w < e.w; ++w)
    for (unsigned z = 0; z < e.z; ++z)
      for (unsigned y = 0; y < e.y; ++y)
        for (unsigned x = 0; x < e.x; ++x) {
          unsigned sx = axis == 0 ? e.x - 1 - x : x, sy = axis == 1 ? e.y - 1 - y : y,
                   sz = axis == 2 ? e.z - 1 - z : z;
          r[((w * e.z + z) * e.y + y) * e.x + x] = v[((w * e.z + sz) * e.y + sy) * e.x + sx];
        }
  return r;
}

void flipAlong(yv::Array<int, 4>& a, int axis) {
  if (axis == 0) yv::flipX<int>(a);
  if (axis == 1) yv::flipY<int>(a);
  if (axis == 2) yv::flipZ<int>(a);
}

}  // namespace

TEST(Flips, OddExtentsOnHostAndDevice) {
  AllocationGuard guard;
  const uint4 e = make_uint4(5, 3, 7, 2);
  const std::vector<int> v = indexed(e);
  for (int axis = 0; axis < 3; ++axis) {
    SCOPED_TRACE(axis);
    const std::vector<int> expect = flipped(v, e, axis);
    std::vector<int> host(v);
    yv::Array<int, 4> h = hostView(host.data(), e);
    flipAlong(h, axis);
    EXPECT_EQ(host, expect);
    Owned<int> d(upload(v, e));
    flipAlong(d.a, axis);
    EXPECT_EQ(download(d.a), expect);
    // Twice restores.
    flipAlong(d.a, axis);
    EXPECT_EQ(download(d.a), v);
  }
  // Along x of extent 5: 0 and 4, 1 and 3 trade places, 2 stays.
  std::vector<int> row = {10, 11, 12, 13, 14};
  yv::Array<int, 4> r = hostView(row.data(), make_uint4(5, 1, 1, 1));
  yv::flipX<int>(r);
  EXPECT_EQ(row, (std::vector<int>{14, 13, 12, 11, 10}));
}

TEST(Flips, ExtentOneMovesNothing) {
  AllocationGuard guard;
  const uint4 e = make_uint4(1, 1, 1, 3);
  const std::vector<int> v = {4, 5, 6};
  Owned<int> d(upload(v, e));
  for (int axis = 0; axis < 3; ++axis) flipAlong(d.a, axis);
  EXPECT_EQ(download(d.a), v);
}

TEST(Flips, BlockInsideALargerArrayMovesOnlyTheBlock) {
  AllocationGuard guard;
  const uint4 e = make_uint4(9, 6, 4, 2);
  const std::vector<int> v = indexed(e);
  const yv::Range rx(2, 6), ry(1, 3), rz(1, 2), rw(1, 1);
  for (int axis = 0; axis < 3; ++axis) {
    SCOPED_TRACE(axis);
    // Expected: the block's own elements flipped inside the block, all others in place.
    std::vector<int> expect(v);
    const uint4 be = make_uint4(5, 3, 2, 1);
    for (unsigned z = 0; z < be.z; ++z)
      for (unsigned y = 0; y < be.y; ++y)
        for (unsigned x = 0; x < be.x; ++x) {
          unsigned sx = axis == 0 ? be.x - 1 - x : x, sy = axis == 1 ? be.y - 1 - y : y,
                   sz = axis == 2 ? be.z - 1 - z : z;
          auto idx = [&](unsigned a, unsigned b, unsigned c) {
            return ((1 * e.z + (c + 1)) * e.y + (b + 1)) * e.x + (a + 2);
          };
          expect[idx(x, y, z)] = v[idx(sx, sy, sz)];
        }
    Owned<int> d(upload(v, e));
    yv::Array<int, 4> view = yv::block(d.a, rx, ry, rz, rw);
    flipAlong(view, axis);
    EXPECT_EQ(download(d.a), expect);
    std::vector<int> host(v);
    yv::Array<int, 4> hv = yv::block(hostView(host.data(), e), rx, ry, rz, rw);
    flipAlong(hv, axis);
    EXPECT_EQ(host, expect);
  }
}
