// median3x3 against a sort-based median with clamped borders, its NaN outcomes, and its checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filtering/device_images.h"
#include "support/test_support.h"
#include "yv/filtering/filtering.h"
#include "yv/filtering/median3x3.h"
#include "yv/filtering/median3x3_select.h"
#include "yv/tools/range.h"

namespace {

using filtering_test::DeviceArray;
using filtering_test::download;
using filtering_test::upload;

std::vector<float> sortedMedian(const std::vector<float>& in, int w, int h) {
  std::vector<float> out(in.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::vector<float> win;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const int cx = std::min(std::max(x + dx, 0), w - 1);
          const int cy = std::min(std::max(y + dy, 0), h - 1);
          win.push_back(in[cy * w + cx]);
        }
      std::sort(win.begin(), win.end());
      out[y * w + x] = win[4];
    }
  return out;
}

// The filter as it was computed pixel by pixel: the nine clamped pixels read directly, then the
// shared selection (whose NaN outcomes a sort cannot model).
std::vector<float> perPixelMedian(const std::vector<float>& in, int w, int h) {
  std::vector<float> out(in.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float win[9];
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
          win[3 * r + c] = in[std::min(std::max(y + r - 1, 0), h - 1) * w +
                              std::min(std::max(x + c - 1, 0), w - 1)];
      out[y * w + x] = yv_filtering_kernels::select5th(win);
    }
  return out;
}

// Runs the median on a w x h image; the result array is larger by (padX, padY) and filled with
// a sentinel, which must survive outside the image.
std::vector<float> runMedian(const std::vector<float>& img, unsigned w, unsigned h,
                             unsigned padX = 0, unsigned padY = 0,
                             yv::rt::KernelForm form = yv::rt::KernelForm::Auto) {
  DeviceArray<float> in(make_uint4(w, h, 1, 1)), out(make_uint4(w + padX, h + padY, 1, 1));
  upload(in.as2D(), img);
  upload(out.as2D(), std::vector<float>(std::size_t(w + padX) * (h + padY), -777.f));
  yv::Array<float, 2> o = out.as2D();
  yv::internal::median3x3(o, in.as2D(), form);
  const std::vector<float> all = download(o);
  std::vector<float> res(std::size_t(w) * h);
  for (unsigned y = 0; y < h + padY; ++y)
    for (unsigned x = 0; x < w + padX; ++x) {
      const float v = all[y * (w + padX) + x];
      if (x < w && y < h)
        res[y * w + x] = v;
      else
        EXPECT_EQ(v, -777.f) << "written outside the image at " << x << ", " << y;
    }
  return res;
}

TEST(Median3x3, MatchesASortedWindowWithClampedBorders) {
  tessivar_test::AllocationGuard guard;
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> small(0, 5);  // many ties
  std::uniform_real_distribution<float> wide(-100.f, 100.f);
  const unsigned sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {17, 17}, {33, 5}, {65, 31}};
  for (const auto& s : sizes)
    for (int ties = 0; ties < 2; ++ties) {
      std::vector<float> img(std::size_t(s[0]) * s[1]);
      for (float& v : img) v = ties ? float(small(rng)) : wide(rng);
      EXPECT_EQ(runMedian(img, s[0], s[1], 3, 2), sortedMedian(img, int(s[0]), int(s[1])))
          << s[0] << " x " << s[1];
    }
}

// Both kernel forms (shared tiles, one thread per pixel) against the selection pixel by pixel.
TEST(Median3x3, BothFormsEqualThePerPixelSelectionToTheBit) {
  tessivar_test::AllocationGuard guard;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> wide(-100.f, 100.f);
  std::uniform_int_distribution<int> pick(0, 9);
  const float special[] = {std::nanf(""), 0.f, -0.f};
  const unsigned sizes[][2] = {{1, 1}, {17, 17}, {33, 5}, {65, 31}};
  for (const auto& s : sizes) {
    std::vector<float> img(std::size_t(s[0]) * s[1]);
    for (float& v : img) v = pick(rng) < 3 ? special[pick(rng) % 3] : wide(rng);
    const std::vector<float> want = perPixelMedian(img, int(s[0]), int(s[1]));
    for (auto form : {yv::rt::KernelForm::Cooperative, yv::rt::KernelForm::ElementWise}) {
      const std::vector<float> got = runMedian(img, s[0], s[1], 1, 1, form);
      EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0)
          << s[0] << " x " << s[1] << " form " << int(form);
    }
  }
}

TEST(Median3x3, HandComputedWindows) {
  tessivar_test::AllocationGuard guard;
  // 9 .. 1 in row order: the centre becomes 5.
  EXPECT_EQ(runMedian({9, 8, 7, 6, 5, 4, 3, 2, 1}, 3, 3)[4], 5.f);
  // A corner pixel of 0 among ones: its window holds the corner four times, so 5 ones win.
  EXPECT_EQ(runMedian({0, 1, 1, 1}, 2, 2), (std::vector<float>{1, 1, 1, 1}));
  // A corner of 0 with one 0 neighbour: the window holds 0 six times.
  EXPECT_EQ(runMedian({0, 0, 1, 1}, 2, 2)[0], 0.f);
  // A single outlier in a flat region disappears; a 1 x 1 image stays.
  std::vector<float> flat(25, 3.f);
  flat[12] = 1000.f;
  EXPECT_EQ(runMedian(flat, 5, 5), std::vector<float>(25, 3.f));
  EXPECT_EQ(runMedian({-2.5f}, 1, 1), std::vector<float>{-2.5f});
  // One row: each window is left, centre and right three times each.
  EXPECT_EQ(runMedian({5, 1, 9, 2, 7}, 5, 1), (std::vector<float>{5, 5, 2, 7, 7}));
}

TEST(Median3x3, NanOutcomesFollowTheSelectionOrder) {
  tessivar_test::AllocationGuard guard;
  const float nan = std::nanf("");
  // Distinct values, so the rank of the result shows.
  const std::vector<float> base = {60, 10, 80, 30, 50, 20, 90, 70, 40};
  std::vector<float> img = base;
  img[4] = nan;  // centre
  EXPECT_TRUE(std::isnan(runMedian(img, 3, 3)[4]));
  img = base;
  img[0] = nan;  // top left takes no part: fourth smallest of the other eight
  EXPECT_EQ(runMedian(img, 3, 3)[4], 40.f);
  img = base;
  img[8] = nan;  // bottom right takes no part: fifth smallest of the other eight
  EXPECT_EQ(runMedian(img, 3, 3)[4], 60.f);
}

TEST(Median3x3, ArgumentChecks) {
  tessivar_test::AllocationGuard guard;
  DeviceArray<float> a(make_uint4(8, 8, 1, 1)), small(make_uint4(8, 7, 1, 1));
  yv::Array<float, 2> in = a.as2D();
  yv::Array<float, 2> hostOut{nullptr, make_uint2(4, 32), make_uint2(8, 8), -1};
  EXPECT_THROW_MESSAGE(yv::median3x3(hostOut, in),
                       "median3x3: result and input array must be on the same device");
  yv::Array<float, 2> hostIn = hostOut;
  EXPECT_THROW_MESSAGE(yv::median3x3(hostOut, hostIn), "median3x3: both arrays must be on the device");
  yv::Array<float, 2> o = small.as2D();
  EXPECT_THROW_MESSAGE(yv::median3x3(o, in),
                       "median3x3: result array is smaller than the input array\n"
                       " extents of input array are (8, 8)  extents of output array are (8, 7)\n");
  EXPECT_THROW_MESSAGE(yv::median3x3(in, in), "median3x3: result and input array must not share memory");

  // Views of one allocation: one row apart they overlap; left and right halves do not.
  DeviceArray<float> wide(make_uint4(16, 9, 1, 1));
  yv::Array<float, 4> top = yv::block(wide.a, yv::Range(0, 15), yv::Range(0, 7), yv::Range(), yv::Range());
  yv::Array<float, 4> low = yv::block(wide.a, yv::Range(0, 15), yv::Range(1, 8), yv::Range(), yv::Range());
  yv::Array<float, 2> t2 = yv::internal::decreaseArrayDimension<float, 4, 2>(top);
  yv::Array<float, 2> l2 = yv::internal::decreaseArrayDimension<float, 4, 2>(low);
  EXPECT_THROW_MESSAGE(yv::median3x3(l2, t2), "median3x3: result and input array must not share memory");
  yv::Array<float, 4> left = yv::block(wide.a, yv::Range(0, 7), yv::Range(), yv::Range(), yv::Range());
  yv::Array<float, 4> right = yv::block(wide.a, yv::Range(8, 15), yv::Range(), yv::Range(), yv::Range());
  yv::Array<float, 2> left2 = yv::internal::decreaseArrayDimension<float, 4, 2>(left);
  yv::Array<float, 2> right2 = yv::internal::decreaseArrayDimension<float, 4, 2>(right);
  std::vector<float> img(72);
  for (int i = 0; i < 72; ++i) img[i] = float((i * 37) % 11);
  upload(left2, img);
  yv::median3x3(right2, left2);
  EXPECT_EQ(download(right2), sortedMedian(img, 8, 9));
}

TEST(Median3x3, RefusedLaunchIsReported) {
  tessivar_test::AllocationGuard guard;
  const uint4 e = make_uint4(1, 16 * 65535 + 1, 1, 1);  // 65536 blocks of 16 rows
  DeviceArray<float> in(e, yv::PACKED), out(e, yv::PACKED);
  yv::Array<float, 2> o = out.as2D();
  const std::string msg = tessivar_test::thrownMessage([&] { yv::median3x3(o, in.as2D()); });
  EXPECT_NE(msg.find(": cuda error: "), std::string::npos) << msg;
}

}  // namespace
