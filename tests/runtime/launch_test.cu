// The launcher, the atomics and the software texture sampler of the runtime layer.
#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.h"
#include "yv/runtime/atomics.h"
#include "yv/runtime/launch.cuh"
#include "yv/runtime/texture.h"
#include "yv/runtime/texture_offset.h"
#include "yv/algorithms/basic/arithmetic.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace {

using tessivar_test::AllocationGuard;

struct CountVisits {
  yv::Array<unsigned, 4> a;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned w) const {
    yv::rt::atomic_add(&yv::at(a, x, y, z, w), 1u);
  }
};

std::vector<unsigned> visits(uint4 ext, dim3 block) {
  AllocationGuard guard;
  auto a = yv::mallocDeviceArray<unsigned>(ext, yv::PITCHED);
  yv::set<unsigned>(a, 0u, 0);
  yv::rt::launch(CountVisits{a}, ext, block, 0, {a.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  auto h = yv::mallocHostArray<unsigned>(ext, yv::PACKED);
  yv::arrayCopy(h, a);
  std::vector<unsigned> host(h.ptr, h.ptr + std::size_t(ext.x) * ext.y * ext.z * ext.w);
  yv::releaseArray(h);
  yv::releaseArray(a);
  return host;
}

TEST(Launch, VisitsEveryElementExactlyOnce) {
  const uint4 extents[] = {make_uint4(1, 1, 1, 1),   make_uint4(127, 1, 1, 1),
                           make_uint4(129, 1, 1, 1), make_uint4(65, 5, 3, 2),
                           make_uint4(5000, 3, 1, 1), make_uint4(1, 129, 1, 3)};
  const dim3 blocks[] = {dim3(128, 2, 1), dim3(32, 4, 2), dim3(1, 1, 1)};
  for (uint4 e : extents)
    for (dim3 b : blocks) {
      std::vector<unsigned> v = visits(e, b);
      for (std::size_t i = 0; i < v.size(); ++i)
        ASSERT_EQ(v[i], 1u) << "element " << i << " of " << yv::internal::str_extents(e)
                            << " with block " << b.x << "x" << b.y << "x" << b.z;
    }
}

struct Nothing {
  YV_HD void operator()(unsigned, unsigned, unsigned, unsigned) const {}
};

// The error a launch leaves pending. The host back end must refuse exactly what CUDA refuses, with
// CUDA's code; on a GPU the same calls check the real limits.
cudaError_t launchError(uint4 ext, dim3 block, std::size_t dynamicShared = 0) {
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess) << "an error was pending before the launch";
  yv::rt::launch(Nothing{}, ext, block, 0, {}, dynamicShared);
  yv::rt::deviceSynchronize();
  return yv::rt::getLastError();
}

TEST(LaunchLimits, EmptyGridsAndBlocksAreRefusedAndNeverThrow) {
  EXPECT_EQ(launchError(make_uint4(0, 4, 1, 1), dim3(128, 2, 1)), cudaErrorInvalidConfiguration);
  EXPECT_EQ(launchError(make_uint4(4, 4, 1, 0), dim3(1, 1, 1)), cudaErrorInvalidConfiguration);
  EXPECT_EQ(launchError(make_uint4(4, 4, 1, 1), dim3(4, 0, 1)), cudaErrorInvalidConfiguration);
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
}

TEST(LaunchLimits, AtMost1024ThreadsPerBlock) {
  EXPECT_EQ(launchError(make_uint4(64, 64, 1, 1), dim3(32, 32, 1)), cudaSuccess);
  EXPECT_EQ(launchError(make_uint4(64, 64, 1, 1), dim3(32, 33, 1)), cudaErrorInvalidConfiguration);
  EXPECT_EQ(launchError(make_uint4(4096, 1, 1, 1), dim3(1025, 1, 1)), cudaErrorInvalidConfiguration);
  EXPECT_EQ(launchError(make_uint4(4, 4, 4, 1), dim3(16, 16, 8)), cudaErrorInvalidConfiguration);
}

TEST(LaunchLimits, BlockZAtMost64) {
  EXPECT_EQ(launchError(make_uint4(1, 1, 64, 1), dim3(1, 1, 64)), cudaSuccess);
  EXPECT_EQ(launchError(make_uint4(1, 1, 65, 1), dim3(1, 1, 65)), cudaErrorInvalidConfiguration);
}

TEST(LaunchLimits, GridYAndZAtMost65535Blocks) {
  EXPECT_EQ(launchError(make_uint4(1, 65535, 1, 1), dim3(1, 1, 1)), cudaSuccess);
  EXPECT_EQ(launchError(make_uint4(1, 65536, 1, 1), dim3(1, 1, 1)), cudaErrorInvalidConfiguration);
  EXPECT_EQ(launchError(make_uint4(1, 1, 65535, 1), dim3(1, 1, 1)), cudaSuccess);
  EXPECT_EQ(launchError(make_uint4(1, 1, 65536, 1), dim3(1, 1, 1)), cudaErrorInvalidConfiguration);
  // The grid's z axis also carries the fourth axis.
  EXPECT_EQ(launchError(make_uint4(1, 1, 2, 32768), dim3(1, 1, 1)), cudaErrorInvalidConfiguration);
}

TEST(LaunchLimits, GridXBelow2To31Blocks) {
  EXPECT_EQ(launchError(make_uint4(2147483648u, 1, 1, 1), dim3(1, 1, 1)),
            cudaErrorInvalidConfiguration);
  EXPECT_EQ(launchError(make_uint4(4294967295u, 1, 1, 1), dim3(1, 1, 1)),
            cudaErrorInvalidConfiguration);
}

TEST(LaunchLimits, DynamicSharedMemoryWithinTheDefault48KiB) {
  EXPECT_EQ(launchError(make_uint4(4, 1, 1, 1), dim3(4, 1, 1), 48 * 1024), cudaSuccess);
  EXPECT_EQ(launchError(make_uint4(4, 1, 1, 1), dim3(4, 1, 1), 48 * 1024 + 1),
            cudaErrorInvalidValue);
}

TEST(Errors, ALayerErrorDoesNotSwallowAPendingCudaError) {
  if (!tessivar_test::onGpu()) GTEST_SKIP() << "needs the CUDA runtime's own pending error";
  void* p = nullptr;
  EXPECT_EQ(yv::rt::malloc(&p, std::size_t(1) << 60), cudaErrorMemoryAllocation);
  yv::rt::setLastError(cudaErrorInvalidValue);
  EXPECT_EQ(yv::rt::getLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(yv::rt::getLastError(), cudaErrorMemoryAllocation);
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
}

TEST(Launch, HostMemoryHandedToAKernelIsRefusedOnTheHostBackEnd) {
  if (tessivar_test::onGpu()) GTEST_SKIP() << "the host back end's check; a GPU would fault instead";
  std::vector<unsigned> host(4, 0);
  yv::Array<unsigned, 4> a = yv::internal::packedHostArray4(host.data(), 4, 1, 1);
  a.device = 0;  // lies about where the memory is
  yv::rt::launch(CountVisits{a}, a.size, dim3(128, 2, 1), 0, {a.ptr});
  EXPECT_EQ(yv::rt::getLastError(), cudaErrorIllegalAddress);
  EXPECT_EQ(host[0], 0u) << "the kernel must not have run";
}

struct AddOne {
  float* sum;
  unsigned* minimum;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    yv::rt::atomic_add(sum, 1.f);
    yv::rt::atomic_min(minimum, 1000000u - (x + 1000 * y) % 99991u);
  }
};

struct FloatMin {
  float* m;
  YV_HD void operator()(unsigned x, unsigned, unsigned, unsigned) const {
    yv::rt::atomic_min(m, 5.f + float((x * 7919u) % 1000u) - 0.5f);
  }
};

struct CasCounter {
  unsigned long long* v;
  YV_HD void operator()(unsigned, unsigned, unsigned, unsigned) const {
    unsigned long long old = *v, seen;
    do {
      seen = old;
      old = yv::rt::atomic_cas(v, seen, seen + 3ull);
    } while (old != seen);
  }
};

TEST(Atomics, ConcurrentUpdatesToOneAddressAreNotLost) {
  AllocationGuard guard;
  void *s, *m, *f, *c;
  yv::rt::malloc(&s, 4);
  yv::rt::malloc(&m, 4);
  yv::rt::malloc(&f, 4);
  yv::rt::malloc(&c, 8);
  const float zero = 0.f, big = 1e30f;
  const unsigned top = 0xffffffffu;
  const unsigned long long z64 = 0;
  yv::rt::memcpy(s, &zero, 4, cudaMemcpyHostToDevice);
  yv::rt::memcpy(m, &top, 4, cudaMemcpyHostToDevice);
  yv::rt::memcpy(f, &big, 4, cudaMemcpyHostToDevice);
  yv::rt::memcpy(c, &z64, 8, cudaMemcpyHostToDevice);
  // 100000 additions of 1 to one float: every count up to 2^24 is exact, so nothing may be lost.
  yv::rt::launch(AddOne{static_cast<float*>(s), static_cast<unsigned*>(m)},
                 make_uint4(1000, 100, 1, 1), dim3(128, 2, 1), 0, {s, m});
  yv::rt::launch(FloatMin{static_cast<float*>(f)}, make_uint4(100000, 1, 1, 1), dim3(256, 1, 1), 0, {f});
  yv::rt::launch(CasCounter{static_cast<unsigned long long*>(c)}, make_uint4(50000, 1, 1, 1),
                 dim3(256, 1, 1), 0, {c});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  float sum, fmin;
  unsigned mn;
  unsigned long long count;
  yv::rt::memcpy(&sum, s, 4, cudaMemcpyDeviceToHost);
  yv::rt::memcpy(&mn, m, 4, cudaMemcpyDeviceToHost);
  yv::rt::memcpy(&fmin, f, 4, cudaMemcpyDeviceToHost);
  yv::rt::memcpy(&count, c, 8, cudaMemcpyDeviceToHost);
  EXPECT_EQ(sum, 100000.f);
  EXPECT_EQ(mn, 1000000u - 99990u);
  EXPECT_EQ(fmin, 4.5f);
  EXPECT_EQ(count, 150000ull);
  for (void* p : {s, m, f, c}) yv::rt::free(p);
}

struct SignedExtremes {
  int* maximum;
  int* minimum;
  unsigned* umax;
  unsigned* counter;
  YV_HD void operator()(unsigned x, unsigned, unsigned, unsigned) const {
    const int v = int((x * 7919u) % 20001u) - 10000;  // -10000 .. 10000, negatives included
    yv::rt::atomic_max(maximum, v);
    yv::rt::atomic_min(minimum, v);
    yv::rt::atomic_max(umax, x);
    unsigned old = *counter, seen;
    do {
      seen = old;
      old = yv::rt::atomic_cas(counter, seen, seen + 2u);
    } while (old != seen);
  }
};

TEST(Atomics, IntegerExtremesAnd32BitCompareAndSwap) {
  AllocationGuard guard;
  void* p;
  yv::rt::malloc(&p, 16);
  const int init[4] = {-20000, 20000, 0, 0};
  yv::rt::memcpy(p, init, 16, cudaMemcpyHostToDevice);
  int* q = static_cast<int*>(p);
  yv::rt::launch(SignedExtremes{q, q + 1, reinterpret_cast<unsigned*>(q + 2),
                                reinterpret_cast<unsigned*>(q + 3)},
                 make_uint4(40000, 1, 1, 1), dim3(256, 1, 1), 0, {p});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  int out[4];
  yv::rt::memcpy(out, p, 16, cudaMemcpyDeviceToHost);
  EXPECT_EQ(out[0], 10000);
  EXPECT_EQ(out[1], -10000);
  EXPECT_EQ(unsigned(out[2]), 39999u);
  EXPECT_EQ(unsigned(out[3]), 80000u);
  yv::rt::free(p);
}

TEST(Memset, TwoAndThreeDimensionalFillsKeepRowPaddingAndOtherSlices) {
  AllocationGuard guard;
  // A (5 x 3 x 4) byte volume, pitched; fill a 2-slice 3-D box, then a 2-D rectangle.
  cudaPitchedPtr pp;
  ASSERT_EQ(yv::rt::malloc3D(&pp, make_cudaExtent(5, 3, 4)), cudaSuccess);
  const std::size_t pitch = pp.pitch, slice = pitch * 3;
  ASSERT_GE(pitch, 5u);
  ASSERT_EQ(yv::rt::memset(pp.ptr, 0, slice * 4), cudaSuccess);
  ASSERT_EQ(yv::rt::memset3D(pp, 7, make_cudaExtent(4, 3, 2)), cudaSuccess);
  char* second = static_cast<char*>(pp.ptr) + 2 * slice;  // slice 2: the 2-D fill
  ASSERT_EQ(yv::rt::memset2D(second + pitch + 1, pitch, 9, 3, 2), cudaSuccess);
  std::vector<char> h(slice * 4);
  ASSERT_EQ(yv::rt::memcpy(h.data(), pp.ptr, h.size(), cudaMemcpyDeviceToHost), cudaSuccess);
  for (std::size_t z = 0; z < 4; ++z)
    for (std::size_t y = 0; y < 3; ++y)
      for (std::size_t x = 0; x < pitch; ++x) {
        char want = 0;
        if (z < 2 && x < 4) want = 7;
        if (z == 2 && y >= 1 && x >= 1 && x < 4) want = 9;
        ASSERT_EQ(h[z * slice + y * pitch + x], want) << "at " << x << "," << y << "," << z;
      }
  yv::rt::free(pp.ptr);
}

TEST(Device, MemoryInfoAndResetReleaseEverythingAndClearTheError) {
  std::size_t freeBytes = 0, totalBytes = 0;
  ASSERT_EQ(yv::rt::memGetInfo(&freeBytes, &totalBytes), cudaSuccess);
  EXPECT_GT(totalBytes, 0u);
  EXPECT_GT(freeBytes, 0u);
  EXPECT_LE(freeBytes, totalBytes);
  const std::size_t before = yv::rt::liveAllocationCount();
  void *a, *b;
  ASSERT_EQ(yv::rt::malloc(&a, 64), cudaSuccess);
  ASSERT_EQ(yv::rt::malloc(&b, 1 << 20), cudaSuccess);
  EXPECT_EQ(yv::rt::liveAllocationCount(), before + 2);
  yv::rt::launch(Nothing{}, make_uint4(0, 1, 1, 1), dim3(1, 1, 1));  // leaves an error pending
  ASSERT_EQ(yv::rt::deviceReset(), cudaSuccess);
  EXPECT_EQ(yv::rt::liveAllocationCount(), 0u);
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
}

// Samples a texture at the given points through a kernel, so both back ends are exercised.
template <class T, class R>
struct Sample {
  yv::rt::Texture2D<T> tex;
  const float2* at;
  R* out;
  YV_HD void operator()(unsigned i, unsigned, unsigned, unsigned) const {
    out[i] = tex.template fetch<R>(at[i].x, at[i].y);
  }
};

template <class T, class R>
std::vector<R> sample(const std::vector<T>& texels, unsigned w, unsigned h,
                      const yv::rt::TextureDesc& d, const std::vector<float2>& pts) {
  auto img = yv::mallocDeviceArray<T>(make_uint4(w, h, 1, 1), yv::PITCHED);
  auto src = yv::internal::packedHostArray4(const_cast<T*>(texels.data()), w, h, 1);
  yv::arrayCopy(img, src);
  yv::rt::Texture2D<T> tex;
  EXPECT_EQ(yv::rt::createTexture2D(&tex, img.ptr, img.pitch.y, w, h, d), cudaSuccess);
  void *p, *o;
  yv::rt::malloc(&p, pts.size() * sizeof(float2));
  yv::rt::malloc(&o, pts.size() * sizeof(R));
  yv::rt::memcpy(p, pts.data(), pts.size() * sizeof(float2), cudaMemcpyHostToDevice);
  yv::rt::launch(Sample<T, R>{tex, static_cast<const float2*>(p), static_cast<R*>(o)},
                 make_uint4(unsigned(pts.size()), 1, 1, 1), dim3(64, 1, 1), 0, {p, o});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  std::vector<R> out(pts.size());
  yv::rt::memcpy(out.data(), o, pts.size() * sizeof(R), cudaMemcpyDeviceToHost);
  yv::rt::destroyTexture(&tex);
  yv::rt::free(p);
  yv::rt::free(o);
  yv::releaseArray(img);
  return out;
}

// CUDA's rules for textures over pitched memory, which the host back end applies too: the base on
// the texture alignment, the row pitch a multiple of the texture pitch alignment. Our own pitched
// allocations meet both.
TEST(Texture, PitchedBaseMustLieOnTheTextureAlignment) {
  AllocationGuard guard;
  auto img = yv::mallocDeviceArray<float>(make_uint4(1024, 4, 1, 1), yv::PITCHED);
  const std::size_t align = yv::rt::textureAlignment();
  yv::rt::Texture2D<float> tex;
  EXPECT_EQ(yv::rt::createTexture2D(&tex, img.ptr, img.pitch.y, 1024, 4, {}), cudaSuccess);
  yv::rt::destroyTexture(&tex);
  EXPECT_EQ(yv::rt::createTexture2D(&tex, img.ptr + align / sizeof(float), img.pitch.y, 512, 4, {}),
            cudaSuccess);
  yv::rt::destroyTexture(&tex);
  for (std::size_t bytes : {std::size_t(4), std::size_t(32), align / 2}) {
    EXPECT_EQ(yv::rt::createTexture2D(&tex, img.ptr + bytes / sizeof(float), img.pitch.y, 512, 4, {}),
              cudaErrorInvalidValue)
        << "base " << bytes << " bytes past the alignment";
    EXPECT_EQ(yv::rt::getLastError(), cudaErrorInvalidValue);
  }
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
  yv::releaseArray(img);
}

TEST(Texture, PitchedRowPitchMustBeAMultipleOfThePitchAlignment) {
  AllocationGuard guard;
  auto img = yv::mallocDeviceArray<float>(make_uint4(16, 8, 1, 1), yv::PITCHED);
  ASSERT_EQ(img.pitch.y % yv::rt::texturePitchAlignment(), 0u);
  const std::size_t step = yv::rt::texturePitchAlignment();
  yv::rt::Texture2D<float> tex;
  EXPECT_EQ(yv::rt::createTexture2D(&tex, img.ptr, 64 + step, 16, 4, {}), cudaSuccess);
  yv::rt::destroyTexture(&tex);
  for (std::size_t pitch : {std::size_t(68), 64 + step / 2, 64 + step + 4}) {
    EXPECT_EQ(yv::rt::createTexture2D(&tex, img.ptr, pitch, 16, 4, {}), cudaErrorInvalidValue)
        << "row pitch " << pitch;
    EXPECT_EQ(yv::rt::getLastError(), cudaErrorInvalidValue);
  }
  yv::releaseArray(img);
}

TEST(Texture, PointSamplingPicksTheTexelUnderTheCoordinate) {
  AllocationGuard guard;
  std::vector<float> t = {1, 2, 3, 4, 5, 6};  // 3 x 2
  yv::rt::TextureDesc d;
  auto v = sample<float, float>(t, 3, 2, d,
                                {{0.5f, 0.5f}, {1.99f, 0.2f}, {2.5f, 1.5f}, {-3.f, 0.5f}, {9.f, 9.f}});
  EXPECT_EQ(v, (std::vector<float>{1, 2, 6, 1, 6}));  // clamped outside
  d.address = yv::rt::TexAddress::Border;
  v = sample<float, float>(t, 3, 2, d, {{-0.01f, 0.5f}, {3.01f, 1.f}, {1.5f, 1.5f}});
  EXPECT_EQ(v, (std::vector<float>{0, 0, 5}));
}

TEST(Texture, LinearFilteringBlendsWithEightBitWeights) {
  AllocationGuard guard;
  std::vector<float> t = {0, 256, 512, 1024};  // 2 x 2
  yv::rt::TextureDesc d;
  d.filter = yv::rt::TexFilter::Linear;
  auto v = sample<float, float>(
      t, 2, 2, d, {{0.5f, 0.5f}, {1.0f, 0.5f}, {1.5f, 1.5f}, {1.0f, 1.0f}, {0.5f + 1.f / 3.f, 0.5f}});
  EXPECT_FLOAT_EQ(v[0], 0.f);     // texel centre
  EXPECT_FLOAT_EQ(v[1], 128.f);   // half-way between two texels
  EXPECT_FLOAT_EQ(v[2], 1024.f);
  EXPECT_FLOAT_EQ(v[3], 448.f);   // centre of all four
  EXPECT_FLOAT_EQ(v[4], 85.f);    // 1/3 rounds to 85/256 in 1.8 fixed point
  d.address = yv::rt::TexAddress::Border;
  v = sample<float, float>(t, 2, 2, d, {{0.0f, 0.5f}, {2.0f, 1.5f}});
  EXPECT_FLOAT_EQ(v[0], 0.f);       // half of texel 0 and half of the zero border
  EXPECT_FLOAT_EQ(v[1], 512.f);     // half of 1024 and the border
}

TEST(Texture, NormalisedReadsOfBytesAndNormalisedCoordinates) {
  AllocationGuard guard;
  std::vector<uchar4> t = {make_uchar4(255, 0, 51, 255), make_uchar4(0, 255, 102, 0)};  // 2 x 1
  yv::rt::TextureDesc d;
  d.read = yv::rt::TexRead::NormalizedFloat;
  d.normalizedCoords = true;
  auto v = sample<uchar4, float4>(t, 2, 1, d, {{0.25f, 0.5f}, {0.75f, 0.5f}});
  EXPECT_FLOAT_EQ(v[0].x, 1.f);
  EXPECT_FLOAT_EQ(v[0].z, 0.2f);
  EXPECT_FLOAT_EQ(v[1].y, 1.f);
  EXPECT_FLOAT_EQ(v[1].z, 0.4f);
  d.filter = yv::rt::TexFilter::Linear;
  v = sample<uchar4, float4>(t, 2, 1, d, {{0.5f, 0.5f}});
  EXPECT_FLOAT_EQ(v[0].x, 0.5f);
  EXPECT_FLOAT_EQ(v[0].w, 0.5f);
}

}  // namespace
