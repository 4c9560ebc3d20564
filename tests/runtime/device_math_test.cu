// exp_portable and pow_portable, evaluated by a launch (device code on a GPU, host code otherwise)
// and compared with glibc's expf and powf in ulps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "support/test_support.h"
#include "yv/runtime/device_math.h"
#include "yv/runtime/launch.cuh"
#include "yv/runtime/runtime.h"
#include "yv/tools/alloc.h"

namespace {

struct ExpKernel {
  yv::Array<float, 4> in, out;
  YV_HD void operator()(unsigned x, unsigned, unsigned, unsigned) const {
    yv::at(out, x, 0u, 0u, 0u) = yv::rt::exp_portable(yv::at(in, x, 0u, 0u, 0u));
  }
};

struct PowKernel {
  yv::Array<float, 4> in, exponent, out;
  YV_HD void operator()(unsigned x, unsigned, unsigned, unsigned) const {
    yv::at(out, x, 0u, 0u, 0u) =
        yv::rt::pow_portable(yv::at(in, x, 0u, 0u, 0u), yv::at(exponent, x, 0u, 0u, 0u));
  }
};

yv::Array<float, 4> upload(const std::vector<float>& h) {
  auto a = yv::mallocDeviceArray<float>(make_uint4(unsigned(h.size()), 1, 1, 1), yv::PACKED);
  yv::rt::memcpy(a.ptr, h.data(), h.size() * sizeof(float), cudaMemcpyHostToDevice);
  return a;
}

// Runs the kernel over x (and y for pow) on the current back end.
std::vector<float> evaluate(const std::vector<float>& x, const std::vector<float>* y) {
  tessivar_test::AllocationGuard guard;
  const auto in = upload(x);
  const auto out = upload(std::vector<float>(x.size(), 0.f));
  const uint4 ext = make_uint4(unsigned(x.size()), 1, 1, 1);
  if (y) {
    const auto e = upload(*y);
    yv::rt::launch(PowKernel{in, e, out}, ext, dim3(256), 0, {in.ptr, e.ptr, out.ptr});
    yv::releaseArray(e);
  } else {
    yv::rt::launch(ExpKernel{in, out}, ext, dim3(256), 0, {in.ptr, out.ptr});
  }
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
  std::vector<float> r(x.size());
  yv::rt::memcpy(r.data(), out.ptr, r.size() * sizeof(float), cudaMemcpyDeviceToHost);
  yv::releaseArray(in);
  yv::releaseArray(out);
  return r;
}

// Distance in representable floats; NaN against NaN is 0, NaN against a number is huge.
std::int64_t ulps(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : INT64_MAX;
  auto key = [](float v) {
    std::int32_t i;
    std::memcpy(&i, &v, sizeof i);
    return i < 0 ? std::int64_t(INT32_MIN) - i : std::int64_t(i);
  };
  const std::int64_t d = key(a) - key(b);
  return d < 0 ? -d : d;
}

float fromBits(std::uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

std::uint32_t bitsOf(float v) {
  std::uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Every step-th float of [lo, hi] (lo, hi >= 0, or both <= 0 with their magnitudes ordered).
void sweep(std::vector<float>& out, float lo, float hi, std::uint32_t step) {
  for (std::uint64_t b = bitsOf(lo); b <= bitsOf(hi); b += step) out.push_back(fromBits(b));
}

// Largest distance to the reference, with the argument where it occurs in the message.
template <class Ref>
std::int64_t worst(const std::vector<float>& x, const std::vector<float>* y,
                   const std::vector<float>& got, Ref ref, std::string* where) {
  std::int64_t most = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const float want = y ? ref(x[i], (*y)[i]) : ref(x[i], 0.f);
    const std::int64_t d = ulps(got[i], want);
    if (d > most) {
      most = d;
      std::ostringstream m;
      m << std::setprecision(9) << "x = " << x[i];
      if (y) m << ", y = " << (*y)[i];
      m << ": " << got[i] << " instead of " << want;
      *where = m.str();
    }
  }
  return most;
}

// Within 1 ulp: glibc's expf is within about half an ulp and ours rounds a double result once, so
// a series that loses 1e-7 of relative accuracy (2 ulps in places) must fail here.
TEST(DeviceMath, ExpIsWithinOneUlpOfGlibc) {
  std::vector<float> x;
  sweep(x, -0.f, -5.6f, 197);             // splat weights: -rho^2 / 0.18 over rho^2 in [0, 1]
  sweep(x, 0.f, 89.f, 4099);              // everything else up to overflow
  sweep(x, -0.f, -104.f, 4099);           // down to underflow
  for (float v : {0.f, -0.f, 88.7228394f, 88.7228470f, -87.33655f, -103.972f, -103.973f, 1e30f,
                  -1e30f, std::numeric_limits<float>::infinity(),
                  -std::numeric_limits<float>::infinity(), std::nanf("")})
    x.push_back(v);
  const std::vector<float> got = evaluate(x, nullptr);
  std::string where;
  // On a GPU the launch ran device code: it must give the host's bits.
  EXPECT_EQ(worst(x, nullptr, got, [](float a, float) { return yv::rt::exp_portable(a); }, &where),
            0) << where;
  const std::int64_t most =
      worst(x, nullptr, got, [](float a, float) { return std::exp(a); }, &where);
  std::cout << "exp: largest difference to glibc " << most << " ulp over " << x.size()
            << " arguments" << (most ? " (" + where + ")" : "") << "\n";
  EXPECT_LE(most, 1) << where;
}

TEST(DeviceMath, PowIsWithinTwoUlpsOfGlibcWithItsSpecialCases) {
  std::vector<float> x, y;
  // P2 penalties: edge strengths in [0, 2 sqrt 3] with exponents of either sign.
  std::vector<float> e;
  sweep(e, 0.f, 3.5f, 2003);
  for (float c : {0.25f, 0.5f, 1.f, 1.5f, 2.f, 2.7f, 3.f, 10.f, -0.7f, -2.f})
    for (float v : e) {
      x.push_back(v);
      y.push_back(c);
    }
  // Any base, with exponents that mostly keep the result finite; every fourth one an integer,
  // for negative bases.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-40.f, 40.f);
  for (int i = 0; i < 1000000; ++i) {
    const float a = fromBits(rng());
    float b = u(rng) / (1.f + std::fabs(std::log(std::fabs(a))));
    if (i % 4 == 0) b = std::nearbyint(b * 4.f);
    x.push_back(a);
    y.push_back(b);
  }
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  const float specials[] = {0.f, -0.f, 1.f, -1.f, 0.5f, -0.5f, 2.f, -2.f, 3.f, -3.f,
                            1e-40f, -1e-40f, inf, -inf, nan, 1e38f, 0.1f};
  for (float a : specials)
    for (float b : specials) {
      x.push_back(a);
      y.push_back(b);
    }
  const std::vector<float> got = evaluate(x, &y);
  std::string where;
  EXPECT_EQ(worst(x, &y, got, [](float a, float b) { return yv::rt::pow_portable(a, b); }, &where),
            0) << where;
  const std::int64_t most =
      worst(x, &y, got, [](float a, float b) { return std::pow(a, b); }, &where);
  std::cout << "pow: largest difference to glibc " << most << " ulp over " << x.size()
            << " arguments" << (most ? " (" + where + ")" : "") << "\n";
  EXPECT_LE(most, 2) << where;
  // Signs of zeros and infinities, which ulps does not tell apart from their other sign.
  for (std::size_t i = x.size() - std::size(specials) * std::size(specials); i < x.size(); ++i)
    if (!std::isnan(got[i]))
      EXPECT_EQ(std::signbit(got[i]), std::signbit(std::pow(x[i], y[i]))) << x[i] << "^" << y[i];
}

}  // namespace
