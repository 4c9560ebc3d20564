#include "yv/algorithms/basic/reductions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "algorithms/arrays.h"
#include "support/test_support.h"

using namespace algo_test;
using tessivar_test::AllocationGuard;

namespace {

template <class T>
yv::Array<T, 2> device2D(Owned<T>& o) {
  return as2D(o.a);
}

}  // namespace

// A plain fold over host memory, the reference for both kernel forms.
template <class T, class Op>
T fold(const std::vector<T>& v, Op op) {
  T acc = v[0];
  for (std::size_t k = 1; k < v.size(); ++k) acc = op(acc, v[k]);
  return acc;
}

// The 32 x 32 shared tiles and the one-thread-per-tile form each give the bits of a plain loop,
// on extents that cut tiles, with NaNs among the floats. (A GPU runs the tiles for both forms,
// so the loop is what checks them there.)
TEST(Reductions, BothKernelFormsMatchAHostLoop) {
  AllocationGuard guard;
  using yv::rt::KernelForm;
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> v(-100000, 100000);
  const uint2 extents[] = {make_uint2(1, 1), make_uint2(17, 17), make_uint2(33, 5),
                           make_uint2(65, 31)};
  const auto same = [](const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; };
  const auto lo = [](auto a, auto b) { return b < a ? b : a; };
  const auto hi = [](auto a, auto b) { return a < b ? b : a; };
  const auto flo = [](float a, float b) { return std::fmin(a, b); };
  const auto fhi = [](float a, float b) { return std::fmax(a, b); };
  for (const uint2 e : extents) {
    SCOPED_TRACE(testing::Message() << e.x << " x " << e.y);
    const std::size_t n = std::size_t(e.x) * e.y;
    std::vector<int> i(n);
    std::vector<unsigned char> b(n);
    std::vector<float> f(n);
    std::vector<double> d(n);
    for (std::size_t k = 0; k < n; ++k) {
      i[k] = v(rng);
      b[k] = (unsigned char)(i[k] & 255);
      f[k] = i[k] % 7 == 0 && n > 1 ? NAN : float(i[k]) * 0.5f;
      d[k] = double(i[k]) * 0.25;
    }
    const uint4 ext = make_uint4(e.x, e.y, 1, 1);
    Owned<int> ia(upload(i, ext));
    Owned<unsigned char> ba(upload(b, ext));
    Owned<float> fa(upload(f, ext));
    Owned<double> da(upload(d, ext));
    auto i2 = device2D(ia);
    auto b2 = device2D(ba);
    auto f2 = device2D(fa);
    auto d2 = device2D(da);
    for (const KernelForm form : {KernelForm::Cooperative, KernelForm::ElementWise}) {
      SCOPED_TRACE(form == KernelForm::Cooperative ? "tiles" : "one thread per tile");
      namespace in = yv::internal;
      EXPECT_EQ(in::Min<int>(i2, 0, form), fold(i, lo));
      EXPECT_EQ(in::Max<unsigned char>(b2, 0, form), fold(b, hi));
      EXPECT_TRUE(same(in::Min<float>(f2, 0, form), fold(f, flo)));
      EXPECT_TRUE(same(in::Max<double>(d2, 0, form),
                       fold(d, [](double x, double y) { return std::fmax(x, y); })));
      EXPECT_TRUE(same(in::MinMax(i2, 0, form), make_int2(fold(i, lo), fold(i, hi))));
      EXPECT_TRUE(same(in::MinMax(b2, 0, form), make_uchar2(fold(b, lo), fold(b, hi))));
      EXPECT_TRUE(same(in::MinMax(f2, 0, form), make_float2(fold(f, flo), fold(f, fhi))));
    }
  }
}

TEST(Reductions, SingleElement) {
  AllocationGuard guard;
  Owned<int> a(upload(std::vector<int>{-7}, make_uint4(1, 1, 1, 1)));
  auto a2 = device2D(a);
  EXPECT_EQ(yv::Min<int>(a2, 0), -7);
  EXPECT_EQ(yv::Max<int>(a2, 0), -7);
  const int2 mm = yv::MinMax(a2, 0);
  EXPECT_EQ(mm.x, -7);
  EXPECT_EQ(mm.y, -7);
}

// Tiles cut by the array's edge: no element outside the array may take part, and no identity
// value (0, INT_MIN, 255) may leak into the result.
TEST(Reductions, AwkwardExtentsWithExtremeContents) {
  AllocationGuard guard;
  const uint2 extents[] = {make_uint2(33, 1), make_uint2(1, 33), make_uint2(31, 65),
                           make_uint2(65, 31)};
  for (const uint2 e : extents) {
    SCOPED_TRACE(testing::Message() << e.x << " x " << e.y);
    const std::size_t n = std::size_t(e.x) * e.y;
    std::vector<int> negative(n);
    for (std::size_t i = 0; i < n; ++i) negative[i] = -1000 - int(i % 97);
    negative[n - 1] = -3;  // the largest sits in the last, partial tile
    Owned<int> a(upload(negative, make_uint4(e.x, e.y, 1, 1)));
    auto a2 = device2D(a);
    EXPECT_EQ(yv::Max<int>(a2, 0), -3);
    const int smallest = *std::min_element(negative.begin(), negative.end());
    EXPECT_EQ(yv::Min<int>(a2, 0), smallest);
    const int2 mm = yv::MinMax(a2, 0);
    EXPECT_EQ(mm.x, smallest);
    EXPECT_EQ(mm.y, -3);

    Owned<unsigned char> b(upload(std::vector<unsigned char>(n, 255), make_uint4(e.x, e.y, 1, 1)));
    auto b2 = device2D(b);
    EXPECT_EQ(yv::Min<unsigned char>(b2, 0), 255);
    EXPECT_EQ(yv::Max<unsigned char>(b2, 0), 255);
  }
}

TEST(Reductions, ByteAndSignedOrdering) {
  AllocationGuard guard;
  std::vector<unsigned char> bytes(40 * 3, 100);
  bytes[5] = 0;
  bytes[117] = 255;
  Owned<unsigned char> b(upload(bytes, make_uint4(40, 3, 1, 1)));
  auto b2 = device2D(b);
  EXPECT_EQ(yv::Min<unsigned char>(b2, 0), 0);
  EXPECT_EQ(yv::Max<unsigned char>(b2, 0), 255);
  const uchar2 mm = yv::MinMax(b2, 0);
  EXPECT_EQ(mm.x, 0);
  EXPECT_EQ(mm.y, 255);

  std::vector<int> ints = {5, -2, 0, 7, -9, 3};
  Owned<int> i(upload(ints, make_uint4(3, 2, 1, 1)));
  auto i2 = device2D(i);
  EXPECT_EQ(yv::Min<int>(i2, 0), -9);
  EXPECT_EQ(yv::Max<int>(i2, 0), 7);
}

TEST(Reductions, NaNElementsAreSkipped) {
  AllocationGuard guard;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // NaN at the start of a tile, inside it, and a whole tile of NaN.
  std::vector<float> f(70 * 2, nan);
  for (int x = 0; x < 32; ++x) f[x] = float(x) - 10.f;
  f[0] = nan;
  f[40] = 55.f;
  Owned<float> a(upload(f, make_uint4(70, 2, 1, 1)));
  auto a2 = device2D(a);
  EXPECT_EQ(yv::Min<float>(a2, 0), -9.f);
  EXPECT_EQ(yv::Max<float>(a2, 0), 55.f);
  const float2 mm = yv::MinMax(a2, 0);
  EXPECT_EQ(mm.x, -9.f);
  EXPECT_EQ(mm.y, 55.f);

  std::vector<double> d(50, std::numeric_limits<double>::quiet_NaN());
  d[49] = -1.5;
  d[33] = 2.5;
  Owned<double> b(upload(d, make_uint4(50, 1, 1, 1)));
  auto b2 = device2D(b);
  EXPECT_EQ(yv::Min<double>(b2, 0), -1.5);
  EXPECT_EQ(yv::Max<double>(b2, 0), 2.5);

  Owned<float> c(upload(std::vector<float>(33 * 2, nan), make_uint4(33, 2, 1, 1)));
  auto c2 = device2D(c);
  EXPECT_TRUE(std::isnan(yv::Min<float>(c2, 0)));
  const float2 all = yv::MinMax(c2, 0);
  EXPECT_TRUE(std::isnan(all.x));
  EXPECT_TRUE(std::isnan(all.y));
}

TEST(Reductions, MatchesTheHostOnAStream) {
  AllocationGuard guard;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-1e3f, 1e3f);
  std::vector<float> v(300 * 170);
  for (float& x : v) x = dist(rng);
  Owned<float> a(upload(v, make_uint4(300, 170, 1, 1)));
  auto a2 = device2D(a);
  cudaStream_t s;
  ASSERT_EQ(yv::rt::streamCreate(&s), cudaSuccess);
  EXPECT_EQ(yv::Min<float>(a2, s), *std::min_element(v.begin(), v.end()));
  EXPECT_EQ(yv::Max<float>(a2, s), *std::max_element(v.begin(), v.end()));
  yv::rt::streamDestroy(s);
}

TEST(Reductions, ErrorsReleaseThePartialResults) {
  AllocationGuard guard;
  Owned<int> a(upload(std::vector<int>{1, 2}, make_uint4(2, 1, 1, 1)));
  auto empty = device2D(a);
  empty.size.y = 0;
  EXPECT_THROW_MESSAGE(yv::Max<int>(empty, 0), "yv::mallocDeviceArray: all extents must be >= 1");

  std::vector<float> host(4, 1.f);
  auto h = as2D(hostView(host.data(), make_uint4(4, 1, 1, 1)));
  EXPECT_THROW_MESSAGE(yv::Min<float>(h, 0), "yv::Min: the array must be on the device");
  EXPECT_THROW_MESSAGE(yv::MinMax(h, 0), "yv::MinMax: the array must be on the device");

  if (tessivar_test::onGpu()) GTEST_SKIP() << "host memory posing as device memory faults a GPU";
  const std::size_t live = yv::rt::liveAllocationCount();
  std::vector<double> storage;
  auto fake = as2D(fakeDeviceArray(storage, make_uint4(40, 40, 1, 1)));
  const std::string msg = tessivar_test::thrownMessage([&] { yv::Max<double>(fake, 0); });
  EXPECT_NE(msg.find("reductions.cu"), std::string::npos) << msg;
  EXPECT_NE(msg.find("cuda error: an illegal memory access was encountered"), std::string::npos)
      << msg;
  EXPECT_EQ(yv::rt::liveAllocationCount(), live);
}
