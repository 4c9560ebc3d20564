#include "yv/algorithms/transform/downsample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "algorithms/arrays.h"
#include "support/test_support.h"

using namespace algo_test;
using tessivar_test::AllocationGuard;

namespace {

yv::Array<float, 2> noWeights() {
  yv::Array<float, 2> w;
  w.ptr = nullptr;
  w.pitch = make_uint2(0, 0);
  w.size = make_uint2(0, 0);
  w.device = 0;
  return w;
}

std::vector<float> iota(std::size_t n, float start = 1.f) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = start + float(i);
  return v;
}

}  // namespace

TEST(Downsample2D, AreaAveragesOfWholeAndPartialPixels) {
  AllocationGuard guard;
  // 4 x 4 to 2 x 2: each output is the mean of its 2 x 2 block.
  Owned<float> in(upload(iota(16), make_uint4(4, 4, 1, 1)));
  Owned<float> out(yv::mallocDeviceArray<float>(make_uint4(2, 2, 1, 1), yv::PITCHED));
  auto o2 = as2D(out.a), i2 = as2D(in.a);
  yv::downsample<float>(o2, i2, noWeights(), 0);
  EXPECT_EQ(download(out.a), (std::vector<float>{3.5f, 5.5f, 11.5f, 13.5f}));

  // Width 3 to 2: (in0 + 0.5 in1) / 1.5 and (0.5 in1 + in2) / 1.5 in every row.
  Owned<float> in3(upload(std::vector<float>{3, 6, 9, 0, 3, 3}, make_uint4(3, 2, 1, 1)));
  Owned<float> out2(yv::mallocDeviceArray<float>(make_uint4(2, 2, 1, 1), yv::PITCHED));
  auto a = as2D(out2.a), b = as2D(in3.a);
  yv::downsample<float>(a, b, noWeights(), 0);
  EXPECT_EQ(download(out2.a), (std::vector<float>{4.f, 8.f, 1.f, 3.f}));
}

TEST(Downsample2D, VectorAndDoubleElementsAverageComponentwise) {
  AllocationGuard guard;
  std::vector<float4> v4(16);
  std::vector<double> vd(16);
  for (int i = 0; i < 16; ++i) {
    v4[i] = make_float4(float(i), float(-i), 1.f, float(2 * i));
    vd[i] = 0.1 * i;
  }
  Owned<float4> in4(upload(v4, make_uint4(4, 4, 1, 1)));
  Owned<float4> out4(yv::mallocDeviceArray<float4>(make_uint4(2, 2, 1, 1), yv::PITCHED));
  auto o4 = as2D(out4.a), i4 = as2D(in4.a);
  yv::downsample<float4>(o4, i4, noWeights(), 0);
  const std::vector<float4> r4 = download(out4.a);
  const float means[4] = {2.5f, 4.5f, 10.5f, 12.5f};
  for (int k = 0; k < 4; ++k) {
    EXPECT_FLOAT_EQ(r4[k].x, means[k]);
    EXPECT_FLOAT_EQ(r4[k].y, -means[k]);
    EXPECT_FLOAT_EQ(r4[k].z, 1.f);
    EXPECT_FLOAT_EQ(r4[k].w, 2 * means[k]);
  }
  Owned<double> ind(upload(vd, make_uint4(4, 4, 1, 1)));
  Owned<double> outd(yv::mallocDeviceArray<double>(make_uint4(2, 2, 1, 1), yv::PITCHED));
  auto od = as2D(outd.a), idd = as2D(ind.a);
  yv::downsample<double>(od, idd, noWeights(), 0);
  const std::vector<double> rd = download(outd.a);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(rd[k], 0.1 * means[k], 1e-12);
}

TEST(Downsample2D, WeightedAverageSkipsNonPositiveWeights) {
  AllocationGuard guard;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Footprint (0,0): weights 1 and 3 on values 1 and 2, the rest 0 -> (1 + 6) / 4.
  // Footprint (1,0): every weight <= 0 or NaN -> 0.
  // Footprints of the second row: equal weights -> the plain mean.
  std::vector<float> values = iota(16);
  std::vector<float> weights = {1, 3, 0, -1,    //
                                0, 0, nan, 0,   //
                                2, 2, 5, 5,     //
                                2, 2, 5, 5};
  Owned<float> in(upload(values, make_uint4(4, 4, 1, 1)));
  Owned<float> w(upload(weights, make_uint4(4, 4, 1, 1)));
  Owned<float> out(yv::mallocDeviceArray<float>(make_uint4(2, 2, 1, 1), yv::PITCHED));
  auto o = as2D(out.a), i = as2D(in.a);
  yv::downsample<float>(o, i, as2D(w.a), 0);
  const std::vector<float> r = download(out.a);
  EXPECT_FLOAT_EQ(r[0], 7.f / 4.f);
  EXPECT_EQ(r[1], 0.f);
  EXPECT_FLOAT_EQ(r[2], 11.5f);
  EXPECT_FLOAT_EQ(r[3], 13.5f);
}

TEST(Downsample2D, EqualExtentsCopyWhateverTheWeights) {
  AllocationGuard guard;
  Owned<float> in(upload(iota(6), make_uint4(3, 2, 1, 1)));
  Owned<float> out(yv::mallocDeviceArray<float>(make_uint4(3, 2, 1, 1), yv::PITCHED));
  std::vector<float> hostWeights(1, 1.f);
  yv::Array<float, 2> bogus = as2D(hostView(hostWeights.data(), make_uint4(1, 1, 1, 1)));
  auto o = as2D(out.a), i = as2D(in.a);
  yv::downsample<float>(o, i, bogus, 0);
  EXPECT_EQ(download(out.a), iota(6));
}

TEST(Downsample2D, ArgumentErrors) {
  AllocationGuard guard;
  Owned<float> in(upload(iota(16), make_uint4(4, 4, 1, 1)));
  Owned<float> out(yv::mallocDeviceArray<float>(make_uint4(2, 2, 1, 1), yv::PITCHED));
  auto o = as2D(out.a), i = as2D(in.a);
  std::vector<float> host(16);
  auto h = as2D(hostView(host.data(), make_uint4(4, 4, 1, 1)));
  const char* onDevice = "downsample: the array must be on the device";
  EXPECT_THROW_MESSAGE(yv::downsample<float>(o, h, noWeights(), 0), onDevice);
  EXPECT_THROW_MESSAGE(yv::downsample<float>(h, i, noWeights(), 0), onDevice);

  EXPECT_THROW_MESSAGE(yv::downsample<float>(i, o, noWeights(), 0),
                       "downsample: illegal new extents. extents must be <=\n"
                       " new extents are (4, 4)\n"
                       " old extents are (2, 2) \n");
  auto zero = o;
  zero.size.x = 0;
  EXPECT_THROW_MESSAGE(yv::downsample<float>(zero, i, noWeights(), 0),
                       "downsample: illegal new extents. extents must be >= 1\n"
                       " new extents are (0, 2)\n"
                       " old extents are (4, 4) \n");
  // A larger extent is reported even when the other one is 0.
  auto mixed = o;
  mixed.size = make_uint2(0, 5);
  EXPECT_THROW_MESSAGE(yv::downsample<float>(mixed, i, noWeights(), 0),
                       "downsample: illegal new extents. extents must be <=\n"
                       " new extents are (0, 5)\n"
                       " old extents are (4, 4) \n");

  // The weight image is read at every input pixel: it must be device memory covering them.
  EXPECT_THROW_MESSAGE(yv::downsample<float>(o, i, h, 0),
                       "downsample: the weight image must be on the device");
  yv::Array<float, 2> elsewhere = o;  // a descriptor of another GPU: never launched on
  elsewhere.device = 1;
  EXPECT_THROW_MESSAGE(yv::downsample<float>(o, i, elsewhere, 0),
                       "downsample: the weight image must be on the device of the input");
  Owned<float> small(yv::mallocDeviceArray<float>(make_uint4(4, 3, 1, 1), yv::PITCHED));
  EXPECT_THROW_MESSAGE(yv::downsample<float>(o, i, as2D(small.a), 0),
                       "downsample: illegal weight image extents. extents must be >= the "
                       "input's\n"
                       " weight image extents are (4, 3)\n"
                       " input extents are (4, 4) \n");
}

TEST(Downsample4D, EqualExtentsLeaveTheArrayAlone) {
  AllocationGuard guard;
  Owned<float> a(upload(iota(24), make_uint4(2, 3, 4, 1)));
  const yv::Array<float, 4> before = a.a;
  const std::size_t live = yv::rt::liveAllocationCount();
  yv::downsample<float>(a.a, make_uint3(2, 3, 4), 0);
  EXPECT_TRUE(sameDescriptor(a.a, before));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
}

TEST(Downsample4D, HalvingWithTheTentFilter) {
  AllocationGuard guard;
  // Along x: output 0 = (2 in0 + in1) / 3, output k = (in[2k-1] + 2 in[2k] + in[2k+1]) / 4.
  std::vector<float> v = {1, 4, 2, 8, 3, 5, 7, 9};
  Owned<float> a(upload(v, make_uint4(8, 1, 1, 1)));
  yv::downsample<float>(a.a, make_uint3(4, 1, 1), 0);
  EXPECT_EQ(a.a.size.x, 4u);
  const std::vector<float> r = download(a.a);
  EXPECT_FLOAT_EQ(r[0], (2 * 1 + 4) / 3.f);
  EXPECT_FLOAT_EQ(r[1], (4 + 2 * 2 + 8) / 4.f);
  EXPECT_FLOAT_EQ(r[2], (8 + 2 * 3 + 5) / 4.f);
  EXPECT_FLOAT_EQ(r[3], (5 + 2 * 7 + 9) / 4.f);

  // double along y, two volumes of the 4th axis filtered independently.
  std::vector<double> d(2 * 4 * 1 * 2);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = double(i * i);
  Owned<double> b(upload(d, make_uint4(2, 4, 1, 2)));
  yv::downsample<double>(b.a, make_uint3(2, 2, 1), 0);
  EXPECT_EQ(b.a.size.w, 2u);
  const std::vector<double> rd = download(b.a);
  auto in = [&](unsigned x, unsigned y, unsigned w) { return d[w * 8 + y * 2 + x]; };
  for (unsigned w = 0; w < 2; ++w)
    for (unsigned x = 0; x < 2; ++x) {
      EXPECT_DOUBLE_EQ(rd[w * 4 + x], (2 * in(x, 0, w) + in(x, 1, w)) / 3);
      EXPECT_DOUBLE_EQ(rd[w * 4 + 2 + x], (in(x, 1, w) + 2 * in(x, 2, w) + in(x, 3, w)) / 4);
    }
}

TEST(Downsample4D, OnlyTheShrinkingAxisIsFilteredAndTheOldMemoryReplaced) {
  AllocationGuard guard;
  std::vector<float3> v(2 * 2 * 4);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = make_float3(float(i), 1.f, float(i / 4));
  Owned<float3> a(upload(v, make_uint4(2, 2, 4, 1)));
  const float3* old = a.a.ptr;
  yv::downsample<float3>(a.a, make_uint3(2, 2, 2), 0);
  EXPECT_NE(a.a.ptr, old);
  if (!tessivar_test::onGpu()) {
    EXPECT_FALSE(yv::rt::isDevicePointer(old));
  }
  EXPECT_EQ(a.a.size.x, 2u);
  EXPECT_EQ(a.a.size.y, 2u);
  EXPECT_EQ(a.a.size.z, 2u);
  const std::vector<float3> r = download(a.a);
  for (unsigned y = 0; y < 2; ++y)
    for (unsigned x = 0; x < 2; ++x) {
      auto in = [&](unsigned z) { return v[z * 4 + y * 2 + x]; };
      const float3 r0 = r[y * 2 + x], r1 = r[4 + y * 2 + x];
      EXPECT_FLOAT_EQ(r0.x, (2 * in(0).x + in(1).x) / 3);
      EXPECT_FLOAT_EQ(r1.x, (in(1).x + 2 * in(2).x + in(3).x) / 4);
      EXPECT_FLOAT_EQ(r0.y, 1.f);
      EXPECT_FLOAT_EQ(r1.z, (1 + 2 * 2 + 3) / 4.f);
    }
}

TEST(Downsample4D, Uchar4RoundsHalfToEvenAndNeverExceeds255) {
  AllocationGuard guard;
  // Output 1 of a halving along x weighs in1, in2, in3 by 1, 2, 1.
  std::vector<uchar4> v = {make_uchar4(9, 9, 255, 9), make_uchar4(2, 4, 255, 0),
                           make_uchar4(2, 4, 255, 1), make_uchar4(4, 6, 255, 0)};
  Owned<uchar4> a(upload(v, make_uint4(4, 1, 1, 1)));
  yv::downsample<uchar4>(a.a, make_uint3(2, 1, 1), 0);
  const std::vector<uchar4> r = download(a.a);
  EXPECT_EQ(r[1].x, 2);    // 2.5
  EXPECT_EQ(r[1].y, 4);    // 3.5
  EXPECT_EQ(r[1].z, 255);  // 255 exactly
  EXPECT_EQ(r[1].w, 0);    // 0.5
  EXPECT_EQ(r[0].x, 7);    // (18 + 2) / 3 = 6.67
  EXPECT_EQ(r[0].w, 6);    // (18 + 0) / 3

  // Uneven ratios sum many weights: all-255 input must stay 255 and not wrap.
  std::vector<uchar4> white(7 * 5, make_uchar4(255, 255, 255, 255));
  Owned<uchar4> b(upload(white, make_uint4(7, 5, 1, 1)));
  yv::downsample<uchar4>(b.a, make_uint3(3, 2, 1), 0);
  for (const uchar4& p : download(b.a)) {
    EXPECT_EQ(p.x, 255);
    EXPECT_EQ(p.w, 255);
  }
}

TEST(Downsample4D, ArgumentErrorsLeaveTheArrayUnchanged) {
  AllocationGuard guard;
  Owned<float> a(upload(iota(24), make_uint4(2, 3, 4, 1)));
  const yv::Array<float, 4> before = a.a;
  EXPECT_THROW_MESSAGE(yv::downsample<float>(a.a, make_uint3(2, 4, 1), 0),
                       "downsample: illegal new extents. extents must be <=\n"
                       " new extents are (2, 4, 1) \n"
                       " old extents are (2, 3, 4, 1) \n");
  EXPECT_THROW_MESSAGE(yv::downsample<float>(a.a, make_uint3(0, 3, 3), 0),
                       "downsample: illegal new extents. extents must be >= 1\n"
                       " new extents are (0, 3, 3) \n"
                       " old extents are (2, 3, 4, 1) \n");
  EXPECT_THROW_MESSAGE(yv::downsample<float>(a.a, make_uint3(0, 5, 3), 0),
                       "downsample: illegal new extents. extents must be <=\n"
                       " new extents are (0, 5, 3) \n"
                       " old extents are (2, 3, 4, 1) \n");
  EXPECT_TRUE(sameDescriptor(a.a, before));
  std::vector<float> host = iota(4);
  yv::Array<float, 4> h = hostView(host.data(), make_uint4(4, 1, 1, 1));
  EXPECT_THROW_MESSAGE(yv::downsample<float>(h, make_uint3(2, 1, 1), 0),
                       "downsample: the array must be on the device");
}

TEST(Downsample4D, FailingPassKeepsTheCallersArrayAndLeaksNothing) {
  AllocationGuard guard;
  // 65536 slices exceed the grid's z limit: the first pass is refused after its temporary
  // exists.
  Owned<float> a(yv::mallocDeviceArray<float>(make_uint4(2, 1, 65536, 1), yv::PITCHED));
  const yv::Array<float, 4> before = a.a;
  const std::size_t live = yv::rt::liveAllocationCount();
  const std::string msg =
      tessivar_test::thrownMessage([&] { yv::downsample<float>(a.a, make_uint3(1, 1, 65536), 0); });
  EXPECT_NE(msg.find("cuda error: "), std::string::npos) << msg;
  EXPECT_NE(msg.find("downsample.cu"), std::string::npos) << msg;
  EXPECT_TRUE(sameDescriptor(a.a, before));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);

  if (tessivar_test::onGpu()) GTEST_SKIP() << "host memory posing as device memory faults a GPU";
  std::vector<float> storage;
  yv::Array<float, 4> fake = fakeDeviceArray(storage, make_uint4(4, 4, 2, 1));
  const yv::Array<float, 4> fakeBefore = fake;
  EXPECT_NE(tessivar_test::thrownMessage([&] { yv::downsample<float>(fake, make_uint3(2, 2, 1), 0); })
                .find("an illegal memory access was encountered"),
            std::string::npos);
  EXPECT_TRUE(sameDescriptor(fake, fakeBefore));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
}
