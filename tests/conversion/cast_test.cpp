// Element type casts of 4-D arrays: the component rules, extents and device checks, and
// agreement of the host and device paths.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>

#include "arrays.h"
#include "support/test_support.h"
#include "yv/algorithms/conversion/convert.h"

namespace {

using namespace conv_test;

// Converts the values on the host or on the device and returns the result.
template <class Tout, class Tin>
std::vector<Tout> cast(const std::vector<Tin>& values, uint4 e, bool device) {
  Owned<Tin> in = device ? deviceFrom<Tin>(e, values) : hostFrom<Tin>(e, values);
  Owned<Tout> out = device ? deviceArray<Tout>(e) : hostArray<Tout>(e);
  yv::convert<Tout, Tin>(out.a, in.a, 0);
  return valuesOf(out.a);
}

template <class Tout, class Tin>
std::vector<Tout> castLine(const std::vector<Tin>& values, bool device) {
  return cast<Tout, Tin>(values, make_uint4(unsigned(values.size()), 1, 1, 1), device);
}

class Cast : public testing::TestWithParam<bool> {
 protected:
  tessivar_test::AllocationGuard guard;
};

TEST_P(Cast, FloatToIntegerTruncatesAndSaturates) {
  const bool d = GetParam();
  EXPECT_EQ((castLine<int, float>({-2.7f, 2.7f, 3.0e9f, -3.0e9f, -0.0f, 2147483520.0f}, d)),
            (std::vector<int>{-2, 2, INT_MAX, INT_MIN, 0, 2147483520}));
  EXPECT_EQ((castLine<unsigned char, float>({1.0e10f, 255.9f, 256.0f, 300.5f, -1.0f, 0.99f}, d)),
            (std::vector<unsigned char>{255, 255, 0, 44, 0, 0}));
  const std::vector<uchar4> q =
      castLine<uchar4, float4>({make_float4(-1.0f, 0.5f, 255.5f, 256.0f)}, d);
  EXPECT_TRUE(sameBytes(q[0], make_uchar4(0, 0, 255, 0)));
  const std::vector<int2> p = castLine<int2, float2>({make_float2(-7.9f, 1e20f)}, d);
  EXPECT_EQ(p[0].x, -7);
  EXPECT_EQ(p[0].y, INT_MAX);
}

TEST_P(Cast, IntegersToFloatAndBytes) {
  const bool d = GetParam();
  EXPECT_EQ((castLine<float, int>({(1 << 24) + 1, (1 << 24) + 3, -5, INT_MAX}, d)),
            (std::vector<float>{16777216.0f, 16777220.0f, -5.0f, 2147483648.0f}));
  EXPECT_EQ((castLine<unsigned char, int>({-1, 256, 300, 255, INT_MIN}, d)),
            (std::vector<unsigned char>{255, 0, 44, 255, 0}));
  EXPECT_EQ((castLine<int, unsigned char>({0, 200, 255}, d)), (std::vector<int>{0, 200, 255}));
  EXPECT_EQ((castLine<float, unsigned char>({0, 200, 255}, d)),
            (std::vector<float>{0.0f, 200.0f, 255.0f}));
  const std::vector<uchar2> u = castLine<uchar2, int2>({make_int2(-2, 513)}, d);
  EXPECT_EQ(u[0].x, 254);
  EXPECT_EQ(u[0].y, 1);
  const std::vector<float4> f = castLine<float4, uchar4>({make_uchar4(1, 2, 3, 250)}, d);
  EXPECT_EQ(f[0].w, 250.0f);
}

// A 4-D array with every axis longer than one: each element lands in its own place.
TEST_P(Cast, EveryElementOfAFourDimensionalArray) {
  const bool d = GetParam();
  const uint4 e = make_uint4(200, 3, 5, 2);  // a grid of 2 x 2 x 10 blocks on a GPU
  std::vector<int> values(200 * 3 * 5 * 2);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = int(i) - 1000;
  const std::vector<float> got = cast<float, int>(values, e, d);
  ASSERT_EQ(got.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(got[i], float(values[i])) << i;
  EXPECT_EQ((cast<unsigned char, int>({300}, make_uint4(1, 1, 1, 1), d)),
            (std::vector<unsigned char>{44}));
}

TEST_P(Cast, ExtentsMustAgree) {
  const bool d = GetParam();
  Owned<uchar4> in = d ? deviceArray<uchar4>(make_uint4(4, 3, 1, 1)) : hostArray<uchar4>(make_uint4(4, 3, 1, 1));
  Owned<int4> out = d ? deviceArray<int4>(make_uint4(4, 4, 1, 1)) : hostArray<int4>(make_uint4(4, 4, 1, 1));
  EXPECT_THROW_MESSAGE(
      (yv::convert<int4, uchar4>(out.a, in.a, 0)),
      "void yv::convert(yv::Array<T, 4>&, const yv::Array<Tin, 4>&, cudaStream_t) [with Tout = "
      "int4, Tin = uchar4, cudaStream_t = CUstream_st*]:   wrong 'out' array extents.\n"
      " 'in'  extents are (4, 3, 1, 1)\n 'out' extents are (4, 4, 1, 1)\n"
      " expected are the same extents. \n");
}

INSTANTIATE_TEST_SUITE_P(HostAndDevice, Cast, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) {
                           return i.param ? "Device" : "Host";
                         });

TEST(CastChecks, DevicesAreComparedBeforeExtents) {
  tessivar_test::AllocationGuard guard;
  Owned<float> in = deviceArray<float>(make_uint4(2, 2, 1, 1));
  Owned<unsigned char> out = hostArray<unsigned char>(make_uint4(7, 1, 1, 1));
  EXPECT_THROW_MESSAGE(
      (yv::convert<unsigned char, float>(out.a, in.a, 0)),
      "void yv::convert(yv::Array<T, 4>&, const yv::Array<Tin, 4>&, cudaStream_t) [with Tout = "
      "unsigned char, Tin = float, cudaStream_t = CUstream_st*]:  arrays 'out' and 'in' must be on "
      "the same device. 'out' is on device HOST\n 'in' is on device " +
          std::to_string(in.a.device) + "\n");
}

// Random bit patterns (NaN, infinities and huge values included) give the same bytes on both
// paths, for every pair.
template <class Tout, class Tin>
void expectPathsAgree(std::mt19937& rng) {
  std::vector<Tin> values(300);
  for (auto& v : values) {
    unsigned char bytes[sizeof(Tin)];
    for (auto& b : bytes) b = rng() & 0xff;
    std::memcpy(&v, bytes, sizeof(Tin));
  }
  const uint4 e = make_uint4(10, 3, 5, 2);
  const std::vector<Tout> h = cast<Tout, Tin>(values, e, false);
  const std::vector<Tout> d = cast<Tout, Tin>(values, e, true);
  EXPECT_EQ(std::memcmp(h.data(), d.data(), h.size() * sizeof(Tout)), 0);
}

TEST(CastChecks, HostAndDevicePathsAgreeForAllPairs) {
  tessivar_test::AllocationGuard guard;
  std::mt19937 rng(7);
  expectPathsAgree<float, int>(rng);
  expectPathsAgree<float, unsigned char>(rng);
  expectPathsAgree<int, float>(rng);
  expectPathsAgree<int, unsigned char>(rng);
  expectPathsAgree<unsigned char, float>(rng);
  expectPathsAgree<unsigned char, int>(rng);
  expectPathsAgree<float2, int2>(rng);
  expectPathsAgree<float2, uchar2>(rng);
  expectPathsAgree<int2, float2>(rng);
  expectPathsAgree<int2, uchar2>(rng);
  expectPathsAgree<uchar2, float2>(rng);
  expectPathsAgree<uchar2, int2>(rng);
  expectPathsAgree<float4, int4>(rng);
  expectPathsAgree<float4, uchar4>(rng);
  expectPathsAgree<int4, float4>(rng);
  expectPathsAgree<int4, uchar4>(rng);
  expectPathsAgree<uchar4, float4>(rng);
  expectPathsAgree<uchar4, int4>(rng);
}

}  // namespace
