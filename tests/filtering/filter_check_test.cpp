// Argument checks of filterX/Y/Z: exact texts, their order, and the mirror-size limits. The
// checks read descriptors only, so most cases use descriptors without memory.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "yv/filtering/filtering.h"
#include "yv/filtering/param_sanity_check.h"
#include "yv/tools/alloc.h"

namespace {

using yv::internal::param_sanity_check;

template <class T>
yv::Array<T, 4> descriptor(uint4 size, int device) {
  return yv::Array<T, 4>{nullptr, make_uint4(sizeof(T), 0, 0, 0), size, device};
}

const yv::Filter<float, 3> kDiff = {{-0.5f, 0.f, 0.5f}, 1};

TEST(FilterChecks, DevicePlacementIsCheckedFirst) {
  const uint4 a = make_uint4(4, 4, 1, 1), b = make_uint4(9, 2, 1, 1);
  yv::Array<float, 4> out = descriptor<float>(a, 0);
  yv::Array<float, 4> hostIn = descriptor<float>(b, -1);
  yv::Filter<float, 3> badOffset = kDiff;
  badOffset.offset = 7;
  // A host input fails the same-device test, not the on-device one, whatever else is wrong.
  EXPECT_THROW_MESSAGE(yv::filterX(out, hostIn, badOffset, yv::MIRROR),
                       "filterX: result and input array must be on the same device");
  yv::Array<float, 4> other = descriptor<float>(a, 1);
  EXPECT_THROW_MESSAGE(yv::filterZ(out, other, kDiff, yv::CLAMP),
                       "filterZ: result and input array must be on the same device");
  yv::Array<float, 4> hostOut = descriptor<float>(a, -1);
  EXPECT_THROW_MESSAGE(yv::filterY(hostOut, hostIn, badOffset, yv::MIRROR),
                       "filterY: both arrays must be on the device");
}

TEST(FilterChecks, RealHostArraysAreRefusedBeforeAnyWork) {
  tessivar_test::AllocationGuard guard;
  yv::Array<float, 4> in = yv::mallocHostArray<float>(make_uint4(8, 8, 1, 1), yv::PACKED);
  yv::Array<float, 4> out = yv::mallocHostArray<float>(make_uint4(8, 8, 1, 1), yv::PACKED);
  for (int i = 0; i < 64; ++i) out.ptr[i] = 42.f;
  EXPECT_THROW_MESSAGE(yv::filterY(out, in, kDiff, yv::MIRROR),
                       "filterY: both arrays must be on the device");
  for (int i = 0; i < 64; ++i) ASSERT_EQ(out.ptr[i], 42.f);
  yv::releaseArray(in);
  yv::releaseArray(out);
}

TEST(FilterChecks, ExtentsMismatchListsInputThenOutput) {
  yv::Array<float, 4> out = descriptor<float>(make_uint4(640, 480, 3, 1), 0);
  yv::Array<float, 4> in = descriptor<float>(make_uint4(640, 480, 1, 1), 0);
  EXPECT_THROW_MESSAGE(yv::filterX(out, in, kDiff, yv::MIRROR),
                       "filterX: extents mismatch\n"
                       " extents of input array are (640, 480, 1, 1)  extents of output array "
                       "are (640, 480, 3, 1)\n");
  // Only the 4th extent differs; the bad offset is not reached.
  yv::Array<double, 4> o4 = descriptor<double>(make_uint4(5, 6, 7, 2), 0);
  yv::Array<double, 4> i4 = descriptor<double>(make_uint4(5, 6, 7, 3), 0);
  const yv::Filter<double, 2> f = {{1.0, 2.0}, 5};
  EXPECT_EQ(param_sanity_check('Y', o4, i4, f, yv::ZERO),
            "filterY: extents mismatch\n"
            " extents of input array are (5, 6, 7, 3)  extents of output array are (5, 6, 7, "
            "2)\n");
}

TEST(FilterChecks, OffsetOutsideTheFilterPrintsTheTaps) {
  yv::Array<float, 4> a = descriptor<float>(make_uint4(640, 480, 1, 1), 0);
  yv::Filter<float, 3> f = kDiff;
  f.offset = 3;
  EXPECT_THROW_MESSAGE(yv::filterX(a, a, f, yv::MIRROR),
                       "filterX: filter offset is out of bounds.\n"
                       " filter offset is 3, filter length is 3, filter=[-0.5, 0, 0.5]\n");
  // A negative offset on an axis too short for mirroring reports the offset, not the size.
  f.offset = -1;
  EXPECT_EQ(param_sanity_check('Z', a, a, f, yv::MIRROR),
            "filterZ: filter offset is out of bounds.\n"
            " filter offset is -1, filter length is 3, filter=[-0.5, 0, 0.5]\n");
  f.offset = 2;
  EXPECT_EQ(param_sanity_check('X', a, a, f, yv::MIRROR), "");
  // Coefficients print in general notation with six significant digits, floats widened.
  yv::Filter<float, 4> g = {{0.1f, 1e-7f, 2.5e10f, 1.f / 3.f}, 4};
  yv::Array<float4, 4> v = descriptor<float4>(make_uint4(9, 9, 9, 1), 0);
  EXPECT_EQ(param_sanity_check('Y', v, v, g, yv::CLAMP),
            "filterY: filter offset is out of bounds.\n"
            " filter offset is 4, filter length is 4, filter=[0.1, 1e-07, 2.5e+10, 0.333333]\n");
}

TEST(FilterChecks, UnknownBorderRuleIsRefused) {
  yv::Array<float2, 4> a = descriptor<float2>(make_uint4(4, 4, 1, 1), 0);
  const yv::Filter<float, 3> f = kDiff;
  EXPECT_THROW_MESSAGE(yv::filterX(a, a, f, static_cast<yv::BorderTreatment>(3)),
                       "filterX: unsupported border treatment\n"
                       " border treatment is 3, expected 0 (MIRROR), 1 (CLAMP) or 2 (ZERO)\n");
  EXPECT_THROW_MESSAGE(yv::filterZ(a, a, f, static_cast<yv::BorderTreatment>(-1)),
                       "filterZ: unsupported border treatment\n"
                       " border treatment is -1, expected 0 (MIRROR), 1 (CLAMP) or 2 (ZERO)\n");
}

TEST(FilterChecks, MirrorNeedsOneReflectionAlongTheFilterAxisOnly) {
  // Along Z the limit is size.z; the text names the axis and the extent.
  yv::Array<float, 4> flat = descriptor<float>(make_uint4(640, 480, 1, 1), 0);
  EXPECT_THROW_MESSAGE(yv::filterZ(flat, flat, kDiff, yv::MIRROR),
                       "filterZ: The filter is too big or the array is too small for mirroring\n"
                       " filter size is 3,  extent in Z-direction is 1\n");
  EXPECT_EQ(param_sanity_check('X', flat, flat, kDiff, yv::MIRROR), "");
  EXPECT_EQ(param_sanity_check('Y', flat, flat, kDiff, yv::MIRROR), "");
  EXPECT_EQ(param_sanity_check('Z', flat, flat, kDiff, yv::CLAMP), "");
  EXPECT_EQ(param_sanity_check('Z', flat, flat, kDiff, yv::ZERO), "");

  // {N, offset, extent, passes}
  struct Case {
    int offset;
    unsigned n;
    bool ok;
  };
  const Case three[] = {{1, 1, false}, {1, 2, true}, {0, 2, false}, {0, 3, true},
                        {2, 2, false}, {2, 3, true}};
  for (const Case& c : three) {
    yv::Filter<float, 3> f = kDiff;
    f.offset = c.offset;
    yv::Array<float, 4> a = descriptor<float>(make_uint4(50, c.n, 50, 1), 0);
    const std::string r = param_sanity_check('Y', a, a, f, yv::MIRROR);
    EXPECT_EQ(r.empty(), c.ok) << "offset " << c.offset << " extent " << c.n << ": " << r;
    EXPECT_EQ(param_sanity_check('Y', a, a, f, yv::CLAMP), "");
  }
  const Case two[] = {{0, 1, false}, {1, 1, false}, {0, 2, true}, {1, 2, true}};
  for (const Case& c : two) {
    const yv::Filter<double, 2> f = {{1.0, -1.0}, c.offset};
    yv::Array<double, 4> a = descriptor<double>(make_uint4(c.n, 1, 1, 1), 0);
    EXPECT_EQ(param_sanity_check('X', a, a, f, yv::MIRROR).empty(), c.ok)
        << "offset " << c.offset << " extent " << c.n;
  }
  yv::Filter<float, 10> ten = {{0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0};
  yv::Array<float2, 4> nine = descriptor<float2>(make_uint4(9, 1, 1, 1), 0);
  yv::Array<float2, 4> tenWide = descriptor<float2>(make_uint4(10, 1, 1, 1), 0);
  EXPECT_EQ(param_sanity_check('X', nine, nine, ten, yv::MIRROR),
            "filterX: The filter is too big or the array is too small for mirroring\n"
            " filter size is 10,  extent in X-direction is 9\n");
  EXPECT_EQ(param_sanity_check('X', tenWide, tenWide, ten, yv::MIRROR), "");
}

}  // namespace
