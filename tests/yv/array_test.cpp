// Descriptors, dimension views, extents text, the CUDA error check, allocation and copies.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "support/test_support.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"
#include "yv/tools/range.h"

namespace {

using tessivar_test::AllocationGuard;
using tessivar_test::thrownMessage;
using yv::internal::decreaseArrayDimension;
using yv::internal::increaseArrayDimension;
using yv::internal::str_extents;

TEST(Dimensions, IncreaseAddsUnitAxesContinuingTheLastPitch) {
  float buf[64];
  yv::Array<float, 2> a2{buf, make_uint2(4, 32), make_uint2(6, 4), 3};
  auto v = increaseArrayDimension<float, 2, 4>(a2);
  EXPECT_EQ(v.ptr, buf);
  EXPECT_EQ(v.device, 3);
  EXPECT_EQ(str_extents(v.size), "(6, 4, 1, 1)");
  EXPECT_EQ(str_extents(v.pitch), "(4, 32, 128, 128)");
  yv::Array<float, 1> a1{buf, make_uint1(4), make_uint1(7), -1};
  EXPECT_EQ(str_extents(increaseArrayDimension<float, 1, 4>(a1).pitch), "(4, 28, 28, 28)");
  // round trips for every dimension
  auto b2 = decreaseArrayDimension<float, 4, 2>(v);
  EXPECT_TRUE(b2.ptr == a2.ptr && b2.pitch.y == 32 && b2.size.x == 6 && b2.size.y == 4 && b2.device == 3);
  yv::Array<float, 3> a3{buf, make_uint3(4, 20, 100), make_uint3(5, 5, 2), 0};
  auto b3 = decreaseArrayDimension<float, 4, 3>(increaseArrayDimension<float, 3, 4>(a3));
  EXPECT_EQ(str_extents(b3.pitch), "(4, 20, 100)");
  EXPECT_EQ(str_extents(b3.size), "(5, 5, 2)");
}

TEST(Dimensions, DecreaseRefusesDroppingLongAxes) {
  float buf[1];
  yv::Array<float, 4> a{buf, make_uint4(4, 20, 80, 240), make_uint4(5, 4, 3, 1), -1};
  EXPECT_NO_THROW((decreaseArrayDimension<float, 4, 3>(a)));
  a.size.w = 2;
  EXPECT_THROW_MESSAGE((decreaseArrayDimension<float, 4, 3>(a)),
                       "decreaseArrayDimension: Cannot decrease source array dimension.\n"
                       " source dimension is 4  target dimension is 3.  source array extents are "
                       "(5, 4, 3, 2)");
  a.size = make_uint4(8, 2, 1, 1);
  EXPECT_NE(thrownMessage([&] { decreaseArrayDimension<float, 4, 1>(a); })
                .find("target dimension is 1."),
            std::string::npos);
}

TEST(Dimensions, ArrayFromHostMemoryWrapsWithoutChecks) {
  float buf[6];
  auto a = yv::arrayFromHostMemory<float>(buf, 3, 2);
  EXPECT_EQ(a.ptr, buf);
  EXPECT_EQ(str_extents(a.pitch), "(4, 12)");
  EXPECT_EQ(str_extents(a.size), "(3, 2)");
  EXPECT_EQ(a.device, -1);
  auto z = yv::arrayFromHostMemory<unsigned char>(nullptr, make_uint3(0, 5, 3));
  EXPECT_EQ(z.ptr, nullptr);
  EXPECT_EQ(str_extents(z.size), "(0, 5, 3)");
}

TEST(ExtentsText, UnsignedComponents) {
  EXPECT_EQ(str_extents(make_uint2(4294967295u, 1)), "(4294967295, 1)");
  EXPECT_EQ(str_extents(make_uint3(0, 0, 0)), "(0, 0, 0)");
  EXPECT_EQ(str_extents(make_uint1(7)), "(7)");
  EXPECT_EQ(str_extents(make_uint4(640, 480, 1, 1)), "(640, 480, 1, 1)");
}

TEST(CudaCheck, ReportsAndConsumesThePendingError) {
  EXPECT_NO_THROW(_CHECK_CUDA_ERROR("a.cu", 1));
  yv::rt::setLastError(cudaErrorMemoryAllocation);
  EXPECT_EQ(thrownMessage([] { _CHECK_CUDA_ERROR("src/yv/tools/x.h", 49); }),
            std::string("src/yv/tools/x.h:49: cuda error: ") +
                cudaGetErrorString(cudaErrorMemoryAllocation) + "\n");
  EXPECT_NO_THROW(_CHECK_CUDA_ERROR("a.cu", 2));
  // A file name longer than the message buffer is cut, never overflows it.
  yv::rt::setLastError(cudaErrorInvalidValue);
  std::string longName(3000, 'f');
  EXPECT_EQ(thrownMessage([&] { _CHECK_CUDA_ERROR(longName.c_str(), 3); }).size(), 1023u);
}

TEST(Allocation, ExtentAndLayoutChecksInOrder) {
  AllocationGuard guard;
  EXPECT_THROW_MESSAGE(yv::mallocDeviceArray<float>(make_uint4(0, 1, 1, 1), yv::PACKED),
                       "yv::mallocDeviceArray: all extents must be >= 1");
  EXPECT_THROW_MESSAGE(yv::mallocDeviceArray<float>(make_uint4(1, 1, 1, 0), yv::MemLayout(2)),
                       "yv::mallocDeviceArray: all extents must be >= 1");
  EXPECT_THROW_MESSAGE(yv::mallocDeviceArray<float>(make_uint4(1, 1, 1, 1), yv::MemLayout(2)),
                       "yv::mallocDeviceArray: unsupported memory layout");
  EXPECT_THROW_MESSAGE(yv::mallocHostArray<float>(make_uint4(1, 0, 1, 1), yv::PITCHED),
                       "yv::mallocHostArray: all extents must be >= 1");
  EXPECT_THROW_MESSAGE(yv::mallocHostArray<float>(make_uint4(1, 1, 1, 1), yv::PITCHED),
                       "yv::mallocHostArray: unsupported memory layout");
  auto h = yv::mallocHostArray<float>(make_uint4(3, 2, 1, 1), yv::MemLayout(2));
  EXPECT_EQ(h.device, -1);
  EXPECT_EQ(str_extents(h.pitch), "(4, 12, 24, 24)");
  yv::releaseArray(h);
}

TEST(Allocation, PitchesOfPackedAndPitchedDeviceArrays) {
  AllocationGuard guard;
  auto p = yv::mallocDeviceArray<float>(make_uint4(3, 2, 1, 1), yv::PACKED);
  EXPECT_EQ(str_extents(p.pitch), "(4, 12, 24, 24)");
  EXPECT_EQ(p.device, yv::rt::currentDevice());
  auto f3 = yv::mallocDeviceArray<float3>(make_uint4(5, 2, 1, 1), yv::PACKED);
  EXPECT_EQ(f3.pitch.x, 12u);
  EXPECT_EQ(f3.pitch.y, 60u);
  auto q = yv::mallocDeviceArray<float>(make_uint4(3, 2, 5, 2), yv::PITCHED);
  EXPECT_EQ(q.pitch.x, 4u);
  EXPECT_GE(q.pitch.y, 12u);
  EXPECT_EQ(q.pitch.z, 2 * q.pitch.y);
  EXPECT_EQ(q.pitch.w, 10 * q.pitch.y);
  for (auto a : {p, q}) yv::releaseArray(a);
  yv::releaseArray(f3);
  EXPECT_EQ(guard.live(), 0u);
}

TEST(Allocation, ArraysBeyondThirtyTwoBitOffsetsAreRefused) {
  AllocationGuard guard;
  const std::string msg =
      thrownMessage([] { yv::mallocDeviceArray<float>(make_uint4(65536, 65536, 1, 1), yv::PACKED); });
  EXPECT_NE(msg.find("yv::mallocDeviceArray: array of extents (65536, 65536, 1, 1)"), std::string::npos);
  EXPECT_NE(thrownMessage([] { yv::mallocHostArray<double>(make_uint4(1 << 20, 1 << 10, 1, 1), yv::PACKED); })
                .find("byte offsets must stay below 4 GiB"),
            std::string::npos);
}

template <class T>
std::vector<T> iota(std::size_t n, T start) {
  std::vector<T> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = T(start + T(i));
  return v;
}

TEST(Copy, RoundTripsThroughPitchedAndPackedDeviceArrays) {
  AllocationGuard guard;
  for (uint4 e : {make_uint4(1, 1, 1, 1), make_uint4(7, 3, 1, 1), make_uint4(129, 5, 3, 2)}) {
    const std::size_t n = std::size_t(e.x) * e.y * e.z * e.w;
    std::vector<float> in = iota<float>(n, 0.5f), out(n, -1.f);
    auto src = yv::internal::packedHostArray4(in.data(), e.x, e.y, e.z * e.w);
    src.size = e;
    src.pitch.w = src.pitch.z * e.z;
    auto dst = src;
    dst.ptr = out.data();
    auto pitched = yv::mallocDeviceArray<float>(e, yv::PITCHED);
    auto packed = yv::mallocDeviceArray<float>(e, yv::PACKED);
    yv::arrayCopy(pitched, src);
    yv::arrayCopy(packed, pitched);
    yv::arrayCopy(dst, packed);
    EXPECT_EQ(in, out) << str_extents(e);
    yv::releaseArray(pitched);
    yv::releaseArray(packed);
  }
}

TEST(Copy, TwoDimensionalViewOfABlockCopiesOnlyItsElements) {
  AllocationGuard guard;
  std::vector<int> in = iota<int>(6 * 5, 0);
  auto dev = yv::mallocDeviceArray<int>(make_uint4(6, 5, 1, 1), yv::PITCHED);
  auto d2 = yv::internal::decreaseArrayDimension<int, 4, 2>(dev);
  auto h2 = yv::arrayFromHostMemory<int>(in.data(), 6, 5);
  yv::arrayCopy(d2, h2);
  // rows 1..3, columns 2..4 of the device array, copied back as a 2-D view
  auto blk = yv::block(dev, yv::Range(2, 4), yv::Range(1, 3), yv::Range(0, 0), yv::Range(0, 0));
  std::vector<int> out(9, -1);
  auto o = yv::arrayFromHostMemory<int>(out.data(), 3, 3);
  auto b2 = yv::internal::decreaseArrayDimension<int, 4, 2>(blk);
  yv::arrayCopy(o, b2);
  EXPECT_EQ(out, (std::vector<int>{8, 9, 10, 14, 15, 16, 20, 21, 22}));
  // the same block as 4-D keeps its parent's slice pitch and is refused
  std::vector<int> out4(9);
  auto o4 = yv::internal::packedHostArray4(out4.data(), 3, 3, 1);
  EXPECT_THROW_MESSAGE(yv::arrayCopy(o4, blk), "yv::arrayCopy: memory layout of src array is incompatible");
  yv::releaseArray(dev);
}

TEST(Copy, ChecksAndMessagesInOrder) {
  AllocationGuard guard;
  float a[8], b[8];
  yv::Array<float, 4> bad{nullptr, make_uint4(4, 4, 64, 64), make_uint4(1, 1, 1, 1), -1};
  yv::Array<float, 4> good = yv::internal::packedHostArray4(a, 2, 2, 2);
  yv::Array<float, 4> other = yv::internal::packedHostArray4(b, 2, 2, 2);
  EXPECT_THROW_MESSAGE(yv::arrayCopy(good, bad), "yv::arrayCopy: memory layout of src array is incompatible");
  EXPECT_THROW_MESSAGE(yv::arrayCopy(bad, good), "yv::arrayCopy: memory layout of dst array is incompatible");
  auto nul = good;
  nul.ptr = nullptr;
  EXPECT_THROW_MESSAGE(yv::arrayCopy(good, nul), "yv::arrayCopy: src is null");
  EXPECT_THROW_MESSAGE(yv::arrayCopy(nul, good), "yv::arrayCopy: dst is null");
  EXPECT_THROW_MESSAGE(yv::arrayCopy(good, good), "yv::arrayCopy: src and dst are identical");
  auto small = yv::arrayFromHostMemory<float>(b, 2, 3);
  auto big = yv::arrayFromHostMemory<float>(a, 2, 4);
  EXPECT_THROW_MESSAGE(yv::arrayCopy(big, small),
                       "arrayCopy: extents mismatch\n src extents are (2, 3) dst extents are (2, 4)");
  yv::Array<float, 1> o1{a, make_uint1(4), make_uint1(3), -1}, o2{b, make_uint1(4), make_uint1(5), -1};
  EXPECT_THROW_MESSAGE(yv::arrayCopy(o1, o2),
                       "arrayCopy: extents mismatch\n src extents are (5) dst extents are (3)");
  EXPECT_NO_THROW(yv::arrayCopy(other, good));
}

TEST(Copy, HostMemoryPosingAsDeviceMemoryIsAnError) {
  if (tessivar_test::onGpu()) GTEST_SKIP() << "checks the host back end's registry";
  float a[4] = {1, 2, 3, 4}, b[4];
  auto src = yv::arrayFromHostMemory<float>(a, 2, 2);
  auto dst = yv::arrayFromHostMemory<float>(b, 2, 2);
  src.device = 0;
  const std::string msg = thrownMessage([&] { yv::arrayCopy(dst, src); });
  EXPECT_NE(msg.find(": cuda error: "), std::string::npos) << msg;
}

TEST(Copy, IntoCudaArrays) {
  AllocationGuard guard;
  std::vector<float> in = iota<float>(4 * 3 * 2, 1.f);
  auto src = yv::arrayFromHostMemory<float>(in.data(), 4, 3, 2);
  cudaChannelFormatDesc fd = cudaCreateChannelDesc<float>();
  cudaArray_t arr3 = nullptr, arr2 = nullptr, bytes = nullptr;
  ASSERT_EQ(yv::rt::malloc3DArray(&arr3, &fd, make_cudaExtent(4, 3, 2)), cudaSuccess);
  ASSERT_EQ(yv::rt::malloc3DArray(&arr2, &fd, make_cudaExtent(4, 3, 0)), cudaSuccess);
  cudaChannelFormatDesc bd = cudaCreateChannelDesc<uchar4>();
  ASSERT_EQ(yv::rt::malloc3DArray(&bytes, &bd, make_cudaExtent(4, 3, 2)), cudaSuccess);
  EXPECT_NO_THROW(yv::arrayCopy(arr3, src));
  // A device copy of the array's contents proves the data arrived.
  std::vector<float> back(in.size());
  cudaMemcpy3DParms p;
  std::memset(&p, 0, sizeof(p));
  p.srcArray = arr3;
  p.dstPtr = make_cudaPitchedPtr(back.data(), 16, 16, 3);
  p.extent = make_cudaExtent(4, 3, 2);
  p.kind = cudaMemcpyDeviceToHost;
  EXPECT_EQ(yv::rt::memcpy3D(&p), cudaSuccess);
  EXPECT_EQ(back, in);

  auto one = yv::arrayFromHostMemory<float>(in.data(), 4, 3, 1);
  EXPECT_NO_THROW(yv::arrayCopy(arr2, one));  // a 2-D CUDA array reports depth 0
  EXPECT_THROW_MESSAGE(yv::arrayCopy(arr2, src),
                       "arrayCopy: extents mismatch\n src extents are (4, 3, 2) dst extents are (4, 3, 1)\n");
  EXPECT_THROW_MESSAGE(
      yv::arrayCopy(bytes, src),
      "arrayCopy: cudaChannelFormatDesc mismatch\n"
      "src channel format desc is (f=cudaChannelFormatKindFloat, x=32, y=0, z=0, w=0)"
      "dst channel format desc is (f=cudaChannelFormatKindUnsigned, x=8, y=8, z=8, w=8)");
  EXPECT_THROW_MESSAGE(yv::arrayCopy(static_cast<cudaArray*>(nullptr), src), "yv::arrayCopy: dst is null");
  auto nul = src;
  nul.ptr = nullptr;
  EXPECT_THROW_MESSAGE(yv::arrayCopy(arr3, nul), "yv::arrayCopy: src is null");
  if (!tessivar_test::onGpu()) {
    // a handle that is not a CUDA array of this process
    EXPECT_THROW_MESSAGE(yv::arrayCopy(reinterpret_cast<cudaArray*>(&in[0]), src),
                         "yv::arrayCopy: cannot get array info for cudaArray dst");
  }
  for (auto a : {arr3, arr2, bytes}) yv::rt::freeArray(a);
  cudaChannelFormatDesc odd = fd;
  odd.f = cudaChannelFormatKind(7);
  EXPECT_EQ(yv::internal::str_cudaChannelFormatDesc(odd), "(f=, x=32, y=0, z=0, w=0)");
}

}  // namespace
