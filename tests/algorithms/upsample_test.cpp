#include "yv/algorithms/transform/upsample.h"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "algorithms/arrays.h"
#include "support/test_support.h"
#include "yv/algorithms/transform/upsample2D.h"
#include "yv/tools/range.h"

using namespace algo_test;
using tessivar_test::AllocationGuard;
using tessivar_test::thrownMessage;

namespace {

bool formMessage(const std::string& msg, const std::string& what) {
  return std::regex_match(msg, std::regex(".*upsample\\.cu:[0-9]+:upsample\\(\\):" + what + "\n"));
}

}  // namespace

// Doubling x from 2 to 4 samples the input at 0.25, 0.75, 1.25 and 1.75 texels: the blend
// fractions are exact quarters, and the borders clamp.
TEST(Upsample2DForm, PointAndLinearDoubling) {
  AllocationGuard guard;
  Owned<float> in(upload(std::vector<float>{4, 8, 4, 8}, make_uint4(2, 2, 1, 1)));
  Owned<float> out(yv::mallocDeviceArray<float>(make_uint4(4, 2, 1, 1), yv::PITCHED));
  auto o = as2D(out.a), i = as2D(in.a);
  yv::upsample(o, i, YvInterpolationLinear);
  EXPECT_EQ(download(out.a), (std::vector<float>{4, 5, 7, 8, 4, 5, 7, 8}));
  yv::upsample(o, i, YvInterpolationPoint);
  EXPECT_EQ(download(out.a), (std::vector<float>{4, 4, 8, 8, 4, 4, 8, 8}));

  // Vector texels blend every component with the same weights.
  std::vector<float4> v4 = {make_float4(4, 0, -8, 1), make_float4(8, 4, 8, 1)};
  Owned<float4> in4(upload(v4, make_uint4(2, 1, 1, 1)));
  Owned<float4> out4(yv::mallocDeviceArray<float4>(make_uint4(4, 1, 1, 1), yv::PITCHED));
  auto o4 = as2D(out4.a), i4 = as2D(in4.a);
  yv::upsample(o4, i4, YvInterpolationLinear);
  const std::vector<float4> r4 = download(out4.a);
  const float ex[4] = {4, 5, 7, 8}, ey[4] = {0, 1, 3, 4}, ez[4] = {-8, -4, 4, 8};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(r4[k].x, ex[k]);
    EXPECT_EQ(r4[k].y, ey[k]);
    EXPECT_EQ(r4[k].z, ez[k]);
    EXPECT_EQ(r4[k].w, 1.f);
  }
  std::vector<float2> v2 = {make_float2(4, 8), make_float2(8, 4)};
  Owned<float2> in2(upload(v2, make_uint4(1, 2, 1, 1)));
  Owned<float2> out2(yv::mallocDeviceArray<float2>(make_uint4(1, 4, 1, 1), yv::PITCHED));
  auto o2 = as2D(out2.a), i2 = as2D(in2.a);
  yv::upsample(o2, i2, YvInterpolationLinear);
  const std::vector<float2> r2 = download(out2.a);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(r2[k].x, ex[k]);
    EXPECT_EQ(r2[k].y, 12 - ex[k]);
  }
}

// A texture needs an aligned base and row pitch: a packed input (rows of 12 bytes) and a view that
// starts inside a row are sampled through an aligned copy, with the same result.
TEST(Upsample2DForm, PackedAndOffsetInputsAreSampledLikeAlignedOnes) {
  AllocationGuard guard;
  const std::vector<float> expected = {1, 1.25f, 1.75f, 2.25f, 2.75f, 3,
                                       4, 4.25f, 4.75f, 5.25f, 5.75f, 6};
  Owned<float> out(yv::mallocDeviceArray<float>(make_uint4(6, 2, 1, 1), yv::PITCHED));
  auto o = as2D(out.a);
  Owned<float> packed(yv::mallocDeviceArray<float>(make_uint4(3, 2, 1, 1), yv::PACKED));
  std::vector<float> v = {1, 2, 3, 4, 5, 6};
  yv::arrayCopy(packed.a, hostView(v.data(), packed.a.size));
  auto p = as2D(packed.a);
  yv::upsample(o, p, YvInterpolationLinear);
  EXPECT_EQ(download(out.a), expected);

  Owned<float> wide(upload(std::vector<float>{0, 1, 2, 3, 0, 4, 5, 6}, make_uint4(4, 2, 1, 1)));
  auto view = as2D(yv::block(wide.a, yv::Range(1, 3), yv::internal::wholeAxis(),
                             yv::internal::wholeAxis(), yv::internal::wholeAxis()));
  Owned<float> out2(yv::mallocDeviceArray<float>(make_uint4(6, 2, 1, 1), yv::PITCHED));
  auto o2 = as2D(out2.a);
  yv::upsample(o2, view, YvInterpolationLinear);
  EXPECT_EQ(download(out2.a), expected);
}

TEST(Upsample2DForm, RefusesUnknownTypesAndHostArrays) {
  AllocationGuard guard;
  Owned<float> in(upload(std::vector<float>{1, 2}, make_uint4(2, 1, 1, 1)));
  Owned<float> out(upload(std::vector<float>{9, 9, 9, 9}, make_uint4(4, 1, 1, 1)));
  auto o = as2D(out.a), i = as2D(in.a);
  std::string msg = thrownMessage([&] { yv::upsample(o, i, YvInterpolationType(2)); });
  EXPECT_TRUE(formMessage(msg, "Interpolation type not defined")) << msg;
  EXPECT_EQ(download(out.a), (std::vector<float>{9, 9, 9, 9}));  // nothing launched

  std::vector<float> host(4);
  auto h = as2D(hostView(host.data(), make_uint4(4, 1, 1, 1)));
  msg = thrownMessage([&] { yv::upsample(h, i, YvInterpolationPoint); });
  EXPECT_TRUE(formMessage(msg, "the arrays must be on the device")) << msg;
  msg = thrownMessage([&] { yv::upsample(o, h, YvInterpolationPoint); });
  EXPECT_TRUE(formMessage(msg, "the arrays must be on the device")) << msg;
}

TEST(UpsampleInPlace2D, ReplacesTheAllocation) {
  AllocationGuard guard;
  const std::vector<float> v = {1, 2, 3, 4, 5, 6};
  Owned<float> a(upload(v, make_uint4(3, 2, 1, 1)));
  yv::Array<float, 2> a2 = as2D(a.a);
  const float* old = a2.ptr;
  const std::size_t live = yv::rt::liveAllocationCount();
  // Same extents, point sampling: a new allocation with the same data.
  yv::upsample<float>(a2, 3, 2, YvInterpolationPoint);
  a.a = as4D(a2);
  EXPECT_NE(a2.ptr, old);
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
  if (!tessivar_test::onGpu()) {
    EXPECT_FALSE(yv::rt::isDevicePointer(old));
  }
  EXPECT_EQ(download(a.a), v);

  yv::upsample<float>(a2, 6, 2, YvInterpolationLinear);
  a.a = as4D(a2);
  EXPECT_EQ(a2.size.x, 6u);
  EXPECT_EQ(download(a.a), (std::vector<float>{1, 1.25f, 1.75f, 2.25f, 2.75f, 3,  //
                                               4, 4.25f, 4.75f, 5.25f, 5.75f, 6}));
}

TEST(UpsampleInPlace2D, FailuresKeepTheCallersArray) {
  AllocationGuard guard;
  Owned<float2> a(upload(std::vector<float2>(4, make_float2(1, 2)), make_uint4(2, 2, 1, 1)));
  yv::Array<float2, 2> a2 = as2D(a.a);
  const yv::Array<float2, 4> before = a.a;
  const std::size_t live = yv::rt::liveAllocationCount();
  EXPECT_THROW_MESSAGE(yv::upsample<float2>(a2, 0, 4, YvInterpolationPoint),
                       "yv::mallocDeviceArray: all extents must be >= 1");
  const std::string msg =
      thrownMessage([&] { yv::upsample<float2>(a2, 4, 4, YvInterpolationType(-1)); });
  EXPECT_TRUE(formMessage(msg, "Interpolation type not defined")) << msg;
  EXPECT_TRUE(sameDescriptor(as4D(a2), before));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);

  if (tessivar_test::onGpu()) GTEST_SKIP() << "host memory posing as device memory faults a GPU";
  // The sampling fails after the new allocation exists: it goes, the caller's array stays.
  std::vector<float4> storage;
  yv::Array<float4, 2> fake = as2D(fakeDeviceArray(storage, make_uint4(2, 2, 1, 1)));
  const yv::Array<float4, 4> fakeBefore = as4D(fake);
  EXPECT_NE(thrownMessage([&] { yv::upsample<float4>(fake, 4, 4, YvInterpolationLinear); })
                .find("cuda error: "),
            std::string::npos);
  EXPECT_TRUE(sameDescriptor(as4D(fake), fakeBefore));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
}

TEST(Upsample4D, ChecksAndEqualExtents) {
  AllocationGuard guard;
  Owned<double> a(upload(std::vector<double>(12, 1.0), make_uint4(2, 3, 2, 1)));
  const yv::Array<double, 4> before = a.a;
  yv::upsample<double>(a.a, make_uint3(2, 3, 2));
  EXPECT_TRUE(sameDescriptor(a.a, before));
  EXPECT_THROW_MESSAGE(yv::upsample<double>(a.a, make_uint3(4, 2, 2)),
                       "upsample: illegal new extents. extents must be >=\n"
                       " new extents are (4, 2, 2) \n"
                       " old extents are (2, 3, 2, 1) \n");
  EXPECT_TRUE(sameDescriptor(a.a, before));
  std::vector<float> host(2);
  yv::Array<float, 4> h = hostView(host.data(), make_uint4(2, 1, 1, 1));
  EXPECT_THROW_MESSAGE(yv::upsample<float>(h, make_uint3(4, 1, 1)),
                       "upsample: the array must be on the device");
}

// float4 and double sample at x * scale: output 0 on input 0, the last outputs clamp.
TEST(Upsample4D, ArrayPathIsTrilinearFromTheFirstSample) {
  AllocationGuard guard;
  std::vector<double> d = {2, 6, 10, 30};  // two 1-D volumes of the 4th axis
  Owned<double> a(upload(d, make_uint4(2, 1, 1, 2)));
  const double* old = a.a.ptr;
  yv::upsample<double>(a.a, make_uint3(4, 1, 1));
  EXPECT_NE(a.a.ptr, old);
  EXPECT_EQ(a.a.size.w, 2u);
  EXPECT_EQ(download(a.a), (std::vector<double>{2, 4, 6, 6, 10, 20, 30, 30}));

  // Along z and y at once: the eight weights blend both axes.
  std::vector<float4> v(4);
  for (int i = 0; i < 4; ++i) v[i] = make_float4(float(i), float(10 * i), 1, 0);
  Owned<float4> b(upload(v, make_uint4(1, 2, 2, 1)));  // value i at y = i % 2, z = i / 2
  yv::upsample<float4>(b.a, make_uint3(1, 4, 4));
  const std::vector<float4> r = download(b.a);
  const float pos[4] = {0, 0.5f, 1, 1};  // input positions of outputs 0..3
  for (int z = 0; z < 4; ++z)
    for (int y = 0; y < 4; ++y) {
      const float expect = pos[y] + 2 * pos[z];
      EXPECT_FLOAT_EQ(r[z * 4 + y].x, expect);
      EXPECT_FLOAT_EQ(r[z * 4 + y].y, 10 * expect);
      EXPECT_FLOAT_EQ(r[z * 4 + y].z, 1.f);
    }
}

// float samples at output centres through one 3-D texture reused for every volume.
TEST(Upsample4D, TexturePathOverSeveralVolumes) {
  AllocationGuard guard;
  std::vector<float> v = {4, 8, 40, 80, -4, -8};  // x extent 2, three volumes of the 4th axis
  Owned<float> a(upload(v, make_uint4(2, 1, 1, 3)));
  const float* old = a.a.ptr;
  const std::size_t live = yv::rt::liveAllocationCount();
  yv::upsample<float>(a.a, make_uint3(4, 2, 1));
  EXPECT_NE(a.a.ptr, old);
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);  // old memory and the CUDA array are gone
  EXPECT_EQ(a.a.size.w, 3u);
  const std::vector<float> r = download(a.a);
  const std::vector<float> row0 = {4, 5, 7, 8}, row1 = {40, 50, 70, 80}, row2 = {-4, -5, -7, -8};
  const std::vector<float>* rows[3] = {&row0, &row1, &row2};
  for (int w = 0; w < 3; ++w)
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) EXPECT_EQ(r[w * 8 + y * 4 + x], (*rows[w])[x]) << w << y << x;

  // Along z the same quarter fractions apply.
  Owned<float> b(upload(std::vector<float>{0, 16}, make_uint4(1, 1, 2, 1)));
  yv::upsample<float>(b.a, make_uint3(1, 1, 4));
  EXPECT_EQ(download(b.a), (std::vector<float>{0, 4, 12, 16}));
}

TEST(Upsample4D, FailureReleasesTemporariesAndKeepsTheArray) {
  AllocationGuard guard;
  // 65536 output slices exceed the grid's z limit after the result and the CUDA array exist.
  Owned<float> a(upload(std::vector<float>{3}, make_uint4(1, 1, 1, 1)));
  const yv::Array<float, 4> before = a.a;
  const std::size_t live = yv::rt::liveAllocationCount();
  std::string msg = thrownMessage([&] { yv::upsample<float>(a.a, make_uint3(1, 1, 65536)); });
  EXPECT_NE(msg.find("upsample.cu"), std::string::npos) << msg;
  EXPECT_TRUE(sameDescriptor(a.a, before));
  EXPECT_EQ(download(a.a), std::vector<float>{3});
  Owned<double> d(upload(std::vector<double>{3}, make_uint4(1, 1, 1, 1)));
  const yv::Array<double, 4> dBefore = d.a;
  msg = thrownMessage([&] { yv::upsample<double>(d.a, make_uint3(1, 1, 65536)); });
  EXPECT_NE(msg.find("cuda error: "), std::string::npos) << msg;
  EXPECT_TRUE(sameDescriptor(d.a, dBefore));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live + 1);
}

TEST(Upsample2DOfPlanes, ChecksAndEqualExtents) {
  AllocationGuard guard;
  Owned<float> a(upload(std::vector<float>(2 * 3 * 2 * 2, 1.f), make_uint4(2, 3, 2, 2)));
  const yv::Array<float, 4> before = a.a;
  yv::upsample2D<float>(a.a, make_uint2(2, 3));
  EXPECT_TRUE(sameDescriptor(a.a, before));
  EXPECT_THROW_MESSAGE(yv::upsample2D<float>(a.a, make_uint2(1, 6)),
                       "upsample2D: illegal new extents. extents must be >=\n"
                       " new extents are (1, 6) \n"
                       " old extents are (2, 3, 2, 2) \n");
  EXPECT_TRUE(sameDescriptor(a.a, before));
  std::vector<double> host(2);
  yv::Array<double, 4> h = hostView(host.data(), make_uint4(2, 1, 1, 1));
  EXPECT_THROW_MESSAGE(yv::upsample2D<double>(h, make_uint2(4, 1)),
                       "upsample2D: the array must be on the device");
}

TEST(Upsample2DOfPlanes, DoubleAndFloatPathsOnEveryPlane) {
  AllocationGuard guard;
  // Four planes (z = 2, w = 2) of 2 x 1 pixels, plane p holding (p, p + 4) times 4.
  std::vector<double> d;
  std::vector<float> f;
  for (int p = 0; p < 4; ++p) {
    d.push_back(4.0 * p);
    d.push_back(4.0 * (p + 4));
    f.push_back(4.f * p);
    f.push_back(4.f * (p + 4));
  }
  Owned<double> a(upload(d, make_uint4(2, 1, 2, 2)));
  yv::upsample2D<double>(a.a, make_uint2(4, 1));
  EXPECT_EQ(a.a.size.z, 2u);
  EXPECT_EQ(a.a.size.w, 2u);
  const std::vector<double> rd = download(a.a);
  Owned<float> b(upload(f, make_uint4(2, 1, 2, 2)));
  const float* old = b.a.ptr;
  yv::upsample2D<float>(b.a, make_uint2(4, 2));
  EXPECT_NE(b.a.ptr, old);
  const std::vector<float> rf = download(b.a);
  for (int p = 0; p < 4; ++p) {
    const double i0 = 4.0 * p, i1 = 4.0 * (p + 4);
    EXPECT_EQ(rd[p * 4 + 0], i0);
    EXPECT_EQ(rd[p * 4 + 1], (i0 + i1) / 2);
    EXPECT_EQ(rd[p * 4 + 2], i1);
    EXPECT_EQ(rd[p * 4 + 3], i1);
    for (int y = 0; y < 2; ++y) {
      const float* row = &rf[p * 8 + y * 4];
      EXPECT_EQ(row[0], float(i0));
      EXPECT_EQ(row[1], float(0.75 * i0 + 0.25 * i1));
      EXPECT_EQ(row[2], float(0.25 * i0 + 0.75 * i1));
      EXPECT_EQ(row[3], float(i1));
    }
  }
}

TEST(Upsample2DOfPlanes, FailureReleasesTheResult) {
  AllocationGuard guard;
  // More than 65535 blocks of 4 rows: every plane's launch is refused.
  Owned<float> a(upload(std::vector<float>{1, 2}, make_uint4(1, 1, 1, 2)));
  const yv::Array<float, 4> before = a.a;
  const std::size_t live = yv::rt::liveAllocationCount();
  const std::string msg = thrownMessage([&] { yv::upsample2D<float>(a.a, make_uint2(1, 262144)); });
  EXPECT_NE(msg.find("upsample2D.cu"), std::string::npos) << msg;
  EXPECT_TRUE(sameDescriptor(a.a, before));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
  EXPECT_EQ(download(a.a), (std::vector<float>{1, 2}));

  if (tessivar_test::onGpu()) GTEST_SKIP() << "host memory posing as device memory faults a GPU";
  std::vector<double> storage;
  yv::Array<double, 4> fake = fakeDeviceArray(storage, make_uint4(2, 2, 1, 1));
  const yv::Array<double, 4> fakeBefore = fake;
  EXPECT_NE(thrownMessage([&] { yv::upsample2D<double>(fake, make_uint2(4, 4)); }).find("cuda error: "),
            std::string::npos);
  EXPECT_TRUE(sameDescriptor(fake, fakeBefore));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
}

// Planes of a packed array start anywhere (plane 1 of 5 x 3 floats at byte 60): they give the
// same result as the same planes in pitched rows, and every staging copy is released.
TEST(Upsample2DOfPlanes, PackedPlanesMatchPitchedOnes) {
  AllocationGuard guard;
  const uint4 e = make_uint4(5, 3, 2, 1);
  std::vector<float> v(30);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = float((i * 37) % 11) - 3.5f;
  Owned<float> pitched(upload(v, e));
  Owned<float> packed(yv::mallocDeviceArray<float>(e, yv::PACKED));
  {
    std::vector<float> copy(v);
    yv::arrayCopy(packed.a, hostView(copy.data(), e));
  }
  const std::size_t live = yv::rt::liveAllocationCount();
  yv::upsample2D<float>(pitched.a, make_uint2(10, 6));
  yv::upsample2D<float>(packed.a, make_uint2(10, 6));
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
  EXPECT_EQ(download(packed.a), download(pitched.a));
}
