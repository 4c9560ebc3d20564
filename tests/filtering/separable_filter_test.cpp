// filterX/Y/Z against a plain reference loop (bit for bit), hand-computed border tables, and
// writes confined to the elements of the output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filtering/device_images.h"
#include "support/test_support.h"
#include "yv/filtering/filtering.h"
#include "yv/tools/range.h"

namespace {

using filtering_test::DeviceArray;
using filtering_test::download;
using filtering_test::upload;

// Scalar component type and component count of an element type.
template <class T2> struct Components;
template <> struct Components<float> { using S = float; static constexpr int n = 1; };
template <> struct Components<float2> { using S = float; static constexpr int n = 2; };
template <> struct Components<float4> { using S = float; static constexpr int n = 4; };
template <> struct Components<double> { using S = double; static constexpr int n = 1; };

// Index an out-of-range coordinate reads under a rule, or -1 for "zero, read nothing".
int referenceIndex(yv::BorderTreatment b, int c, int n) {
  if (c >= 0 && c < n) return c;
  if (b == yv::ZERO) return -1;
  if (b == yv::CLAMP) return c < 0 ? 0 : n - 1;
  return c < 0 ? -c : 2 * n - 2 - c;
}

// out(p) = sum_i coeff[i] * in(p + i - offset) along one axis of every volume, summed in tap
// order with one rounding per step, component by component, on packed host data.
template <class T, class T2, int N>
std::vector<T2> reference(const std::vector<T2>& in, uint4 e, int axis, const yv::Filter<T, N>& f,
                          yv::BorderTreatment b) {
  using S = typename Components<T2>::S;
  constexpr int K = Components<T2>::n;
  std::vector<T2> out(in.size());
  const unsigned ext[3] = {e.x, e.y, e.z};
  for (unsigned w = 0; w < e.w; ++w)
    for (unsigned z = 0; z < e.z; ++z)
      for (unsigned y = 0; y < e.y; ++y)
        for (unsigned x = 0; x < e.x; ++x) {
          const unsigned p[3] = {x, y, z};
          const std::size_t o = ((std::size_t(w) * e.z + z) * e.y + y) * e.x + x;
          S acc[K] = {};
          for (int i = 0; i < N; ++i) {
            unsigned q[3] = {x, y, z};
            const int idx = referenceIndex(b, int(p[axis]) + i - f.offset, int(ext[axis]));
            S v[K] = {};
            if (idx >= 0) {
              q[axis] = unsigned(idx);
              const std::size_t s = ((std::size_t(w) * e.z + q[2]) * e.y + q[1]) * e.x + q[0];
              std::memcpy(v, &in[s], sizeof(T2));
            }
            for (int k = 0; k < K; ++k) acc[k] = std::fma(v[k], S(f.coeff[i]), acc[k]);
          }
          std::memcpy(&out[o], acc, sizeof(T2));
        }
  return out;
}

template <class T2>
std::vector<T2> randomData(std::size_t count, unsigned seed) {
  using S = typename Components<T2>::S;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<S> d(S(-10), S(10));
  std::vector<T2> v(count);
  for (T2& e : v) {
    S c[Components<T2>::n];
    for (S& s : c) s = d(rng);
    std::memcpy(&e, c, sizeof(T2));
  }
  return v;
}

template <class T, class T2, int N>
void filterAlong(int axis, yv::Array<T2, 4>& out, const yv::Array<T2, 4>& in,
                 const yv::Filter<T, N>& f, yv::BorderTreatment b) {
  if (axis == 0) yv::filterX(out, in, f, b);
  if (axis == 1) yv::filterY(out, in, f, b);
  if (axis == 2) yv::filterZ(out, in, f, b);
}

template <class T2>
bool sameBits(const std::vector<T2>& a, const std::vector<T2>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T2)) == 0;
}

template <class T2>
std::size_t firstDifference(const std::vector<T2>& a, const std::vector<T2>& b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(T2)) != 0) return i;
  return a.size();
}

template <class Pair>
class SeparableFilter : public ::testing::Test {};

template <class T_, class T2_>
struct Pair {
  using T = T_;
  using T2 = T2_;
};
using Pairs = ::testing::Types<Pair<float, float>, Pair<float, float2>, Pair<float, float4>,
                               Pair<double, double>>;
TYPED_TEST_SUITE(SeparableFilter, Pairs);

// Every axis, rule and offset (first, middle, last tap) of one filter length, on random data in
// a pitched array with two volumes.
template <class T, class T2, int N>
void compareWithReference(unsigned seed) {
  using S = typename Components<T>::S;
  const uint4 e = make_uint4(13, 11, 12, 2);
  const std::size_t count = std::size_t(e.x) * e.y * e.z * e.w;
  const std::vector<T2> data = randomData<T2>(count, seed);
  DeviceArray<T2> in(e), out(e);
  upload(in.a, data);
  std::mt19937 rng(seed + 1);
  std::uniform_real_distribution<S> d(S(-2), S(2));
  for (int offset : {0, N / 2, N - 1})
    for (int axis = 0; axis < 3; ++axis)
      for (yv::BorderTreatment b : {yv::MIRROR, yv::CLAMP, yv::ZERO}) {
        yv::Filter<T, N> f;
        for (int i = 0; i < N; ++i) f.coeff[i] = T(d(rng));
        f.offset = offset;
        filterAlong(axis, out.a, in.a, f, b);
        const std::vector<T2> got = download(out.a);
        const std::vector<T2> want = reference(data, e, axis, f, b);
        ASSERT_TRUE(sameBits(got, want))
            << "N " << N << " offset " << offset << " axis " << axis << " rule " << int(b)
            << ": first difference at element " << firstDifference(got, want);
      }
}

TYPED_TEST(SeparableFilter, MatchesTheReferenceBitForBit) {
  using T = typename TypeParam::T;
  using T2 = typename TypeParam::T2;
  tessivar_test::AllocationGuard guard;
  compareWithReference<T, T2, 2>(11);
  compareWithReference<T, T2, 3>(12);
  compareWithReference<T, T2, 10>(13);
}

// A 65 x 5 x 1 x 3 view inside a larger allocation whose every byte holds a sentinel: exactly the
// view's elements change, and they hold the reference result.
TYPED_TEST(SeparableFilter, WritesExactlyTheElementsOfTheOutput) {
  using T = typename TypeParam::T;
  using T2 = typename TypeParam::T2;
  tessivar_test::AllocationGuard guard;
  const uint4 e = make_uint4(65, 5, 1, 3);
  const uint4 big = make_uint4(67, 7, 2, 5);
  const std::vector<T2> data = randomData<T2>(std::size_t(e.x) * e.y * e.z * e.w, 5);
  DeviceArray<T2> in(e, yv::PACKED), outAll(big);
  upload(in.a, data);
  const yv::Filter<T, 4> f = {{T(0.25), T(-1), T(0.5), T(2)}, 2};
  for (int axis = 0; axis < 3; ++axis)
    for (yv::BorderTreatment b : {yv::CLAMP, yv::ZERO, yv::MIRROR}) {
      if (b == yv::MIRROR && axis == 2) continue;  // z extent 1 cannot be mirrored
      outAll.fillBytes(0xA5);
      const std::vector<unsigned char> before = outAll.allBytes();
      yv::Array<T2, 4> view =
          yv::block(outAll.a, yv::Range(1, 65), yv::Range(1, 5), yv::Range(1, 1), yv::Range(1, 3));
      filterAlong(axis, view, in.a, f, b);
      ASSERT_TRUE(sameBits(download(view), reference(data, e, axis, f, b)))
          << "axis " << axis << " rule " << int(b);
      // Put the sentinel back into the view; then nothing may differ from before.
      std::vector<T2> sentinel(data.size());
      std::memset(sentinel.data(), 0xA5, sentinel.size() * sizeof(T2));
      upload(view, sentinel);
      ASSERT_EQ(outAll.allBytes(), before) << "axis " << axis << " rule " << int(b);
    }
}

TEST(SeparableFilterBorders, CentralDifferenceAtTheEdges) {
  tessivar_test::AllocationGuard guard;
  // Squares along the axis, so that the interior differences are known: 4, 6, 8.
  const std::vector<float> sq = {1, 4, 9, 16, 25};
  const yv::Filter<float, 3> diff = {{-0.5f, 0.f, 0.5f}, 1};
  struct Row {
    yv::BorderTreatment b;
    float first, last;
  };
  const Row rows[] = {{yv::MIRROR, 0.f, 0.f}, {yv::CLAMP, 1.5f, 4.5f}, {yv::ZERO, 2.f, -8.f}};
  for (int axis = 0; axis < 3; ++axis) {
    const uint4 e = make_uint4(axis == 0 ? 5 : 1, axis == 1 ? 5 : 1, axis == 2 ? 5 : 1, 1);
    DeviceArray<float> in(e), out(e);
    upload(in.a, sq);
    for (const Row& r : rows) {
      filterAlong(axis, out.a, in.a, diff, r.b);
      const std::vector<float> got = download(out.a);
      const std::vector<float> want = {r.first, 4.f, 6.f, 8.f, r.last};
      EXPECT_EQ(got, want) << "axis " << axis << " rule " << int(r.b);
    }
  }
  // Mirror gives exactly zero in the first and last column for any finite data.
  const uint4 e = make_uint4(7, 3, 1, 1);
  DeviceArray<float> in(e), out(e);
  upload(in.a, randomData<float>(21, 3));
  yv::filterX(out.a, in.a, diff, yv::MIRROR);
  const std::vector<float> got = download(out.a);
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(got[y * 7], 0.f);
    EXPECT_EQ(got[y * 7 + 6], 0.f);
  }
}

TEST(SeparableFilterBorders, KnownAnswersOfSmallFilters) {
  tessivar_test::AllocationGuard guard;
  // {0, 1} with offset 0 shifts towards lower coordinates; the last sample shows the rule.
  const std::vector<double> ramp = {10, 20, 30, 40};
  DeviceArray<double> in(make_uint4(1, 1, 4, 1)), out(make_uint4(1, 1, 4, 1));
  upload(in.a, ramp);
  const yv::Filter<double, 2> shift = {{0.0, 1.0}, 0};
  yv::filterZ(out.a, in.a, shift, yv::MIRROR);
  EXPECT_EQ(download(out.a), (std::vector<double>{20, 30, 40, 30}));
  yv::filterZ(out.a, in.a, shift, yv::CLAMP);
  EXPECT_EQ(download(out.a), (std::vector<double>{20, 30, 40, 40}));
  yv::filterZ(out.a, in.a, shift, yv::ZERO);
  EXPECT_EQ(download(out.a), (std::vector<double>{20, 30, 40, 0}));

  // Ones under ZERO: the sum of the coefficients whose taps fall inside.
  DeviceArray<float> ones(make_uint4(4, 1, 1, 1)), res(make_uint4(4, 1, 1, 1));
  upload(ones.a, std::vector<float>(4, 1.f));
  const yv::Filter<float, 3> f = {{1.f, 2.f, 4.f}, 1};
  yv::filterX(res.a, ones.a, f, yv::ZERO);
  EXPECT_EQ(download(res.a), (std::vector<float>{6, 7, 7, 3}));

  // A single element under CLAMP: every tap reads it.
  DeviceArray<float2> one(make_uint4(1, 1, 1, 1)), r1(make_uint4(1, 1, 1, 1));
  upload(one.a, std::vector<float2>{make_float2(2.f, -3.f)});
  yv::filterY(r1.a, one.a, f, yv::CLAMP);
  const float2 v = download(r1.a)[0];
  EXPECT_EQ(v.x, 14.f);
  EXPECT_EQ(v.y, -21.f);
}

TEST(SeparableFilterBorders, RefusedCallsLeaveTheOutputUntouched) {
  tessivar_test::AllocationGuard guard;
  const uint4 e = make_uint4(6, 4, 1, 2);
  DeviceArray<float4> in(e), out(e);
  upload(in.a, randomData<float4>(48, 9));
  out.fillBytes(0x5A);
  const std::vector<unsigned char> before = out.allBytes();
  yv::Filter<float, 5> f = {{1, 2, 3, 4, 5}, 5};
  EXPECT_THROW(yv::filterX(out.a, in.a, f, yv::CLAMP), std::runtime_error);
  f.offset = 2;
  EXPECT_THROW(yv::filterY(out.a, in.a, f, static_cast<yv::BorderTreatment>(3)),
               std::runtime_error);
  EXPECT_THROW(yv::filterZ(out.a, in.a, f, yv::MIRROR), std::runtime_error);
  EXPECT_EQ(out.allBytes(), before);
}

// 2^24 + 1 elements in one row: a grid rounded in single precision would miss the last one.
TEST(SeparableFilterLaunch, LongRowsAreCoveredToTheLastElement) {
  tessivar_test::AllocationGuard guard;
  const unsigned n = (1u << 24) + 1;
  DeviceArray<float> in(make_uint4(n, 1, 1, 1), yv::PACKED), out(make_uint4(n, 1, 1, 1), yv::PACKED);
  std::vector<float> ramp(n);
  for (unsigned i = 0; i < n; ++i) ramp[i] = float(i % 1000);
  upload(in.a, ramp);
  out.fillBytes(0);
  const yv::Filter<float, 2> shift = {{0.f, 1.f}, 0};
  yv::filterX(out.a, in.a, shift, yv::CLAMP);
  const std::vector<float> got = download(out.a);
  EXPECT_EQ(got[n - 2], ramp[n - 1]);
  EXPECT_EQ(got[n - 1], ramp[n - 1]);
}

// A grid the device cannot run is reported, not skipped with the output unwritten.
TEST(SeparableFilterLaunch, RefusedLaunchIsReported) {
  tessivar_test::AllocationGuard guard;
  const uint4 e = make_uint4(1, 4 * 65535 + 1, 1, 1);  // 65536 blocks of 4 rows along y
  DeviceArray<float> in(e, yv::PACKED), out(e, yv::PACKED);
  const yv::Filter<float, 3> diff = {{-0.5f, 0.f, 0.5f}, 1};
  const std::string msg = tessivar_test::thrownMessage([&] { yv::filterY(out.a, in.a, diff, yv::ZERO); });
  EXPECT_NE(msg.find(": cuda error: "), std::string::npos) << msg;
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
}

}  // namespace
