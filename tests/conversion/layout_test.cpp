// Interleaved/planar layout conversions, plain and scaled, on host and device arrays.
#include <gtest/gtest.h>

#include <cmath>

#include "arrays.h"
#include "support/test_support.h"
#include "yv/algorithms/conversion/convert.h"

namespace {

using namespace conv_test;

const char* kSplitUchar =
    "void yv::convert(yv::Array<unsigned char, 3>&, const yv::Array<uchar4, 2>&, cudaStream_t)";
const char* kJoinFloat =
    "void yv::convert(yv::Array<float4, 2>&, const yv::Array<float, 3>&, float, cudaStream_t)";

std::vector<float4> floatPixels(unsigned n) {
  std::vector<float4> v(n);
  for (unsigned i = 0; i < n; ++i) v[i] = make_float4(i + 0.5f, -float(i), i * 2.0f, 1000.0f + i);
  return v;
}
std::vector<uchar4> bytePixels(unsigned n) {
  std::vector<uchar4> v(n);
  for (unsigned i = 0; i < n; ++i)
    v[i] = make_uchar4(i & 0xff, (i * 3) & 0xff, (i * 7 + 1) & 0xff, (255 - i) & 0xff);
  return v;
}

class Layout : public testing::TestWithParam<bool> {
 protected:
  bool device() const { return GetParam(); }
  template <class T>
  Owned<T> from(uint4 e, const std::vector<T>& v) {
    return device() ? deviceFrom<T>(e, v) : hostFrom<T>(e, v);
  }
  template <class T>
  Owned<T> make(uint4 e) {
    return device() ? deviceArray<T>(e) : hostArray<T>(e);
  }
  tessivar_test::AllocationGuard guard;
};

// Width 33 needs two blocks of 32 across; height 5 leaves thread rows idle in the last block.
const unsigned W = 33, H = 5, N = W * H;

TEST_P(Layout, InterleavedToPlanarKeepsOrDropsW) {
  Owned<float4> in = from<float4>(make_uint4(W, H, 1, 1), floatPixels(N));
  for (unsigned planes : {3u, 4u}) {
    Owned<float> out = make<float>(make_uint4(W, H, planes, 1));
    yv::Array<float, 3> o = out.view<3>();
    yv::convert(o, in.view<2>(), 0);
    const std::vector<float> got = valuesOf(out.a);
    const std::vector<float4> px = floatPixels(N);
    for (unsigned i = 0; i < N; ++i) {
      EXPECT_EQ(got[i], px[i].x);
      EXPECT_EQ(got[N + i], px[i].y);
      EXPECT_EQ(got[2 * N + i], px[i].z);
      if (planes == 4) {
        EXPECT_EQ(got[3 * N + i], px[i].w);
      }
    }
  }
  Owned<uchar4> bin = from<uchar4>(make_uint4(W, H, 1, 1), bytePixels(N));
  Owned<unsigned char> bout = make<unsigned char>(make_uint4(W, H, 4, 1));
  yv::Array<unsigned char, 3> bo = bout.view<3>();
  yv::convert(bo, bin.view<2>(), 0);
  const std::vector<unsigned char> got = valuesOf(bout.a);
  const std::vector<uchar4> px = bytePixels(N);
  for (unsigned i = 0; i < N; ++i) {
    EXPECT_EQ(got[i], px[i].x);
    EXPECT_EQ(got[3 * N + i], px[i].w);
  }
}

TEST_P(Layout, PlanarToInterleavedTakesWFromFillOrPlaneThree) {
  std::vector<unsigned char> planes(4 * N);
  for (unsigned i = 0; i < 4 * N; ++i) planes[i] = (i * 11) & 0xff;
  for (unsigned count : {3u, 4u}) {
    Owned<unsigned char> in = from<unsigned char>(make_uint4(W, H, count, 1),
                                                  std::vector<unsigned char>(planes.begin(), planes.begin() + count * N));
    Owned<uchar4> out = make<uchar4>(make_uint4(W, H, 1, 1));
    yv::Array<uchar4, 2> o = out.view<2>();
    yv::convert(o, in.view<3>(), (unsigned char)77, 0);
    const std::vector<uchar4> got = valuesOf(out.a);
    for (unsigned i = 0; i < N; ++i) {
      const uchar4 want = make_uchar4(planes[i], planes[N + i], planes[2 * N + i],
                                      count == 4 ? planes[3 * N + i] : 77);
      ASSERT_TRUE(sameBytes(got[i], want)) << i;
    }
  }
  Owned<float> fin = from<float>(make_uint4(W, H, 3, 1), std::vector<float>(3 * N, -2.5f));
  Owned<float4> fout = make<float4>(make_uint4(W, H, 1, 1));
  yv::Array<float4, 2> fo = fout.view<2>();
  yv::convert(fo, fin.view<3>(), 0.125f, 0);
  const std::vector<float4> got = valuesOf(fout.a);
  EXPECT_EQ(got[N - 1].x, -2.5f);
  EXPECT_EQ(got[N - 1].w, 0.125f);
}

TEST_P(Layout, WrongExtentsGiveTheirMessages) {
  Owned<uchar4> in = make<uchar4>(make_uint4(4, 3, 1, 1));
  for (unsigned planes : {2u, 5u}) {
    Owned<unsigned char> out = make<unsigned char>(make_uint4(4, 3, planes, 1));
    yv::Array<unsigned char, 3> o = out.view<3>();
    EXPECT_THROW_MESSAGE(yv::convert(o, in.view<2>(), 0),
                         std::string(kSplitUchar) + ":   wrong 'out' array extents.\n" +
                             " 'in'  extents are (4, 3)\n" + " 'out' extents are (4, 3, " +
                             std::to_string(planes) + ")\n" +
                             " expected extents for 'out' are (4, 3, 3 or 4)\n");
  }
  // Width is tested before the plane count.
  Owned<float> pin = make<float>(make_uint4(5, 3, 2, 1));
  Owned<float4> pout = make<float4>(make_uint4(4, 3, 1, 1));
  yv::Array<float4, 2> po = pout.view<2>();
  EXPECT_THROW_MESSAGE(yv::convert(po, pin.view<3>(), 0.0f, 0),
                       std::string(kJoinFloat) +
                           ":   wrong 'out' array extents.\n 'in'  extents are (5, 3, 2)\n"
                           " 'out' extents are (4, 3)\n expected extents for 'out' are (5, 3)\n");
  Owned<float> one = make<float>(make_uint4(4, 3, 1, 1));
  EXPECT_THROW_MESSAGE(yv::convert(po, one.view<3>(), 0.0f, 0),
                       std::string(kJoinFloat) +
                           ":   wrong 'in' array extents.\n 'in'  extents are (4, 3, 1)\n"
                           " expected extents.z == 3 or 4 \n");
}

TEST_P(Layout, ScaledBytesToPlanes) {
  const std::vector<uchar4> px = {make_uchar4(255, 128, 0, 7)};
  Owned<uchar4> in = from<uchar4>(make_uint4(1, 1, 1, 1), px);
  Owned<float> f4 = make<float>(make_uint4(1, 1, 4, 1));
  yv::Array<float, 3> o = f4.view<3>();
  yv::convert<float>(o, in.view<2>(), true, 0);
  std::vector<float> got = valuesOf(f4.a);
  EXPECT_EQ(got[0], 1.0f);
  EXPECT_EQ(got[1], 128.0f / 255.0f);
  EXPECT_EQ(got[2], 0.0f);
  EXPECT_EQ(got[3], 7.0f / 255.0f);
  yv::convert<float>(o, in.view<2>(), false, 0);
  got = valuesOf(f4.a);
  EXPECT_EQ(got, (std::vector<float>{255, 128, 0, 7}));

  Owned<double> d3 = make<double>(make_uint4(1, 1, 3, 1));
  yv::Array<double, 3> od = d3.view<3>();
  yv::convert<double>(od, in.view<2>(), true, 0);
  const std::vector<double> gd = valuesOf(d3.a);
  ASSERT_EQ(gd.size(), 3u);
  EXPECT_EQ(gd[1], 128.0 / 255.0);
}

// Planes to bytes at the edges where the device and host rules part.
TEST_P(Layout, PlanesToBytesFollowEachPathsRounding) {
  const bool dev = device();
  struct Case {
    float v;
    bool scale;
    unsigned char host, device;
  };
  const Case cases[] = {
      {1.2f, true, 255, 255},   {0.5f, true, 128, 128},   {-0.3f, true, 0, 0},
      {0.25f, true, 64, 64},    {NAN, true, 0, 0},        {300.7f, false, 44, 44},
      {-1.0f, false, 255, 0},   {17.9f, false, 17, 17},   {1e10f, false, 0, 255},
      {NAN, false, 0, 0},       {255.9f, false, 255, 255}, {256.0f, false, 0, 0},
      // v * 255 is 0.49999997f: adding 0.5 rounds up to 1 on the host, rounding gives 0.
      {0.0019607842f, true, 1, 0},
  };
  const unsigned n = sizeof(cases) / sizeof(cases[0]);
  for (bool scale : {true, false}) {
    std::vector<float> planes(3 * n, 0.0f);
    for (unsigned i = 0; i < n; ++i) planes[i] = planes[n + i] = planes[2 * n + i] = cases[i].v;
    Owned<float> in = from<float>(make_uint4(n, 1, 3, 1), planes);
    Owned<uchar4> out = make<uchar4>(make_uint4(n, 1, 1, 1));
    yv::Array<uchar4, 2> o = out.view<2>();
    yv::convert<float>(o, in.view<3>(), scale, (unsigned char)200, 0);
    const std::vector<uchar4> got = valuesOf(out.a);
    for (unsigned i = 0; i < n; ++i) {
      if (cases[i].scale != scale) continue;
      const unsigned char want = dev ? cases[i].device : cases[i].host;
      EXPECT_EQ(got[i].x, want) << cases[i].v << " scale " << scale;
      EXPECT_EQ(got[i].z, want);
      EXPECT_EQ(got[i].w, 200) << "the fill byte is never scaled";
    }
  }
  // A fourth plane replaces the fill byte; double values are rounded to float first.
  Owned<double> in4 = from<double>(make_uint4(1, 1, 4, 1), {0.5, 0.5, 0.5, 0.25});
  Owned<uchar4> out = make<uchar4>(make_uint4(1, 1, 1, 1));
  yv::Array<uchar4, 2> o = out.view<2>();
  yv::convert<double>(o, in4.view<3>(), true, (unsigned char)9, 0);
  const uchar4 got = valuesOf(out.a)[0];
  EXPECT_TRUE(sameBytes(got, make_uchar4(128, 128, 128, 64)));
}

INSTANTIATE_TEST_SUITE_P(HostAndDevice, Layout, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) {
                           return i.param ? "Device" : "Host";
                         });

TEST(LayoutChecks, DevicesAreComparedFirst) {
  tessivar_test::AllocationGuard guard;
  Owned<uchar4> dev = deviceArray<uchar4>(make_uint4(4, 3, 1, 1));
  Owned<unsigned char> host = hostArray<unsigned char>(make_uint4(9, 9, 9, 1));
  yv::Array<unsigned char, 3> o = host.view<3>();
  EXPECT_THROW_MESSAGE(yv::convert(o, dev.view<2>(), 0),
                       std::string(kSplitUchar) +
                           ":  arrays 'out' and 'in' must be on the same device. 'out' is on "
                           "device HOST\n 'in' is on device " +
                           std::to_string(dev.a.device) + "\n");
  std::vector<unsigned char> untouched(host.a.ptr, host.a.ptr + 9 * 9 * 9);
  Owned<float> fdev = deviceArray<float>(make_uint4(4, 3, 3, 1));
  Owned<uchar4> uhost = hostArray<uchar4>(make_uint4(4, 3, 1, 1));
  yv::Array<uchar4, 2> uo = uhost.view<2>();
  EXPECT_THROW_MESSAGE(
      yv::convert<float>(uo, fdev.view<3>(), false, (unsigned char)255, 0),
      std::string("void yv::convert(yv::Array<uchar4, 2>&, const yv::Array<T, 3>&, bool, unsigned "
                  "char, cudaStream_t) [with T = float, cudaStream_t = CUstream_st*]:  arrays "
                  "'out' and 'in' must be on the same device. 'out' is on device HOST\n 'in' is on "
                  "device ") +
          std::to_string(fdev.a.device) + "\n");
}

TEST(LayoutChecks, ScaledConversionsNameTheirInstantiation) {
  Owned<uchar4> in = hostArray<uchar4>(make_uint4(2, 2, 1, 1));
  Owned<double> out = hostArray<double>(make_uint4(2, 2, 2, 1));
  yv::Array<double, 3> o = out.view<3>();
  EXPECT_THROW_MESSAGE(
      yv::convert<double>(o, in.view<2>(), true, 0),
      "void yv::convert(yv::Array<T, 3>&, const yv::Array<uchar4, 2>&, bool, cudaStream_t) [with T "
      "= double, cudaStream_t = CUstream_st*]:   wrong 'out' array extents.\n 'in'  extents are (2, "
      "2)\n 'out' extents are (2, 2, 2)\n expected extents for 'out' are (2, 2, 3 or 4)\n");
}

// Host and device paths of the plain layout conversions give the same bytes.
TEST(LayoutChecks, HostAndDeviceAgree) {
  tessivar_test::AllocationGuard guard;
  const unsigned w = 70, h = 9, n = w * h;
  const std::vector<uchar4> px = bytePixels(n);
  Owned<uchar4> hin = hostFrom<uchar4>(make_uint4(w, h, 1, 1), px);
  Owned<uchar4> din = deviceFrom<uchar4>(make_uint4(w, h, 1, 1), px);
  Owned<float> hout = hostArray<float>(make_uint4(w, h, 4, 1));
  Owned<float> dout = deviceArray<float>(make_uint4(w, h, 4, 1));
  yv::Array<float, 3> ho = hout.view<3>(), dO = dout.view<3>();
  yv::convert<float>(ho, hin.view<2>(), true, 0);
  yv::convert<float>(dO, din.view<2>(), true, 0);
  EXPECT_EQ(valuesOf(hout.a), valuesOf(dout.a));

  Owned<uchar4> hback = hostArray<uchar4>(make_uint4(w, h, 1, 1));
  Owned<uchar4> dback = deviceArray<uchar4>(make_uint4(w, h, 1, 1));
  yv::Array<uchar4, 2> hb = hback.view<2>(), db = dback.view<2>();
  yv::convert<float>(hb, hout.view<3>(), true, (unsigned char)0, 0);
  yv::convert<float>(db, dout.view<3>(), true, (unsigned char)0, 0);
  const std::vector<uchar4> a = valuesOf(hback.a), b = valuesOf(dback.a);
  for (unsigned i = 0; i < n; ++i) {
    ASSERT_TRUE(sameBytes(a[i], b[i])) << i;
    ASSERT_TRUE(sameBytes(a[i], px[i])) << "bytes survive the unit range " << i;
  }
}

}  // namespace
