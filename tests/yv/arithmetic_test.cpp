// Element-wise arithmetic on device arrays.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

#include "support/test_support.h"
#include "yv/algorithms/basic/arithmetic.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace {

using tessivar_test::AllocationGuard;

template <class T>
yv::Array<T, 4> upload(const std::vector<T>& v, uint4 e, yv::MemLayout layout = yv::PITCHED) {
  auto d = yv::mallocDeviceArray<T>(e, layout);
  auto h = yv::internal::packedHostArray4(const_cast<T*>(v.data()), e.x, e.y, e.z * e.w);
  h.size = e;
  h.pitch.w = h.pitch.z * e.z;
  yv::arrayCopy(d, h);
  return d;
}

template <class T>
std::vector<T> download(const yv::Array<T, 4>& d) {
  const uint4 e = d.size;
  std::vector<T> v(std::size_t(e.x) * e.y * e.z * e.w);
  auto h = yv::internal::packedHostArray4(v.data(), e.x, e.y, e.z * e.w);
  h.size = e;
  h.pitch.w = h.pitch.z * e.z;
  yv::arrayCopy(h, d);
  return v;
}

TEST(Arithmetic, ScalarFormsOnEveryElement) {
  AllocationGuard guard;
  const uint4 e = make_uint4(3, 5, 4, 2);  // x and y overhang the 128 x 2 blocks
  std::vector<float> v(120);
  for (int i = 0; i < 120; ++i) v[i] = float(i);
  auto a = upload(v, e);
  yv::add<float>(a, 1.5f, 0);
  yv::mul<float>(a, 2.f, 0);
  yv::sub<float>(a, 3.f, 0);
  yv::div<float>(a, 4.f, 0);
  auto r = download(a);
  for (int i = 0; i < 120; ++i) ASSERT_EQ(r[i], ((float(i) + 1.5f) * 2.f - 3.f) / 4.f) << i;
  yv::set<float>(a, -0.f, 0);
  for (float f : download(a)) ASSERT_TRUE(f == 0.f && std::signbit(f));
  yv::releaseArray(a);
}

TEST(Arithmetic, IntegersTruncateAndWrapWithoutTrapping) {
  AllocationGuard guard;
  auto a = upload<int>({-7, 7, 65536, INT_MIN}, make_uint4(4, 1, 1, 1));
  yv::div<int>(a, 2, 0);
  EXPECT_EQ(download(a), (std::vector<int>{-3, 3, 32768, INT_MIN / 2}));
  auto m = upload<int>({65536, INT_MAX, INT_MIN, 5}, make_uint4(4, 1, 1, 1));
  yv::mul<int>(m, 65536, 0);
  EXPECT_EQ(download(m)[0], 0);  // 2^32 keeps its low 32 bits
  auto s = upload<int>({INT_MAX, INT_MIN}, make_uint4(2, 1, 1, 1));
  yv::add<int>(s, 1, 0);
  EXPECT_EQ(download(s), (std::vector<int>{INT_MIN, INT_MIN + 1}));
  auto d = upload<int>({INT_MIN, 9}, make_uint4(2, 1, 1, 1));
  auto den = upload<int>({-1, 0}, make_uint4(2, 1, 1, 1));
  yv::div<int>(d, den, 0);
  EXPECT_EQ(download(d), (std::vector<int>{INT_MIN, 0}));
  for (auto x : {a, m, s, d, den}) yv::releaseArray(x);
}

TEST(Arithmetic, VectorsComponentByComponent) {
  AllocationGuard guard;
  auto a = upload<float3>({make_float3(1, 1, 1), make_float3(10, 20, 30)}, make_uint4(2, 1, 1, 1));
  yv::sub<float3>(a, make_float3(1, 2, 3), 0);
  auto r = download(a);
  EXPECT_EQ(r[1].x, 9.f);
  EXPECT_EQ(r[1].y, 18.f);
  EXPECT_EQ(r[1].z, 27.f);
  auto b = upload<float4>({make_float4(1, 2, 3, 4)}, make_uint4(1, 1, 1, 1));
  yv::mul<float4>(b, make_float4(2, 2, 2, 1), 0);
  float4 q = download(b)[0];
  EXPECT_TRUE(q.x == 2 && q.y == 4 && q.z == 6 && q.w == 4);
  auto c = upload<uchar4>({make_uchar4(0, 0, 0, 0)}, make_uint4(1, 1, 1, 1));
  yv::set<uchar4>(c, make_uchar4(1, 2, 3, 4), 0);
  uchar4 u = download(c)[0];
  EXPECT_TRUE(u.x == 1 && u.y == 2 && u.z == 3 && u.w == 4);
  for (auto x : {a}) yv::releaseArray(x);
  yv::releaseArray(b);
  yv::releaseArray(c);
}

TEST(Arithmetic, ArrayFormAcrossLayoutsAndWithItself) {
  AllocationGuard guard;
  const uint4 e = make_uint4(33, 3, 2, 1);
  std::vector<double> x(198), y(198);
  for (int i = 0; i < 198; ++i) {
    x[i] = i;
    y[i] = 1000 - i;
  }
  auto a = upload(x, e, yv::PITCHED);
  auto b = upload(y, e, yv::PACKED);
  yv::add<double>(a, b, 0);
  for (double v : download(a)) ASSERT_EQ(v, 1000.0);
  yv::add<double>(a, a, 0);
  for (double v : download(a)) ASSERT_EQ(v, 2000.0);
  yv::set<double>(a, b, 0);
  EXPECT_EQ(download(a), y);
  yv::releaseArray(a);
  yv::releaseArray(b);
}

TEST(Arithmetic, ArgumentChecks) {
  AllocationGuard guard;
  float h[12];
  auto host = yv::internal::packedHostArray4(h, 4, 3, 1);
  auto dev = yv::mallocDeviceArray<float>(make_uint4(4, 3, 1, 1), yv::PITCHED);
  auto dev2 = yv::mallocDeviceArray<float>(make_uint4(4, 2, 1, 1), yv::PITCHED);
  EXPECT_THROW_MESSAGE(yv::add<float>(host, 1.f, 0), "memory of the array must be on the device");
  EXPECT_THROW_MESSAGE(yv::add<float>(dev, host, 0), "memory of both arrays must be on the same device");
  EXPECT_THROW_MESSAGE(yv::set<float>(host, host, 0), "memory of both arrays must be on the device");
  EXPECT_THROW_MESSAGE(yv::mul<float>(dev, dev2, 0),
                       "extents mismatch\n extents of first operand are (4, 3, 1, 1)  extents of "
                       "second operand are (4, 2, 1, 1)\n");
  EXPECT_EQ(yv::rt::peekAtLastError(), cudaSuccess) << "a refused call must leave no error behind";
  // an empty array yields an empty grid: the launch is refused and reported
  auto empty = dev;
  empty.size.y = 0;
  EXPECT_NE(tessivar_test::thrownMessage([&] { yv::set<float>(empty, 0.f, 0); }).find("cuda error"),
            std::string::npos);
  yv::releaseArray(dev);
  yv::releaseArray(dev2);
}

}  // namespace
