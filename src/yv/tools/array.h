// yv::Array<T,N>: the array library's descriptor of N-dimensional array memory (N = 1 to 4) in
// host memory (device -1) or in GPU memory. It owns nothing; whoever allocated the memory frees it.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <sstream>
#include <stdexcept>
#include <string>

#include "yv/runtime/hd.h"

namespace yv {

template <int N> struct ExtentType;
template <> struct ExtentType<1> { using type = uint1; };
template <> struct ExtentType<2> { using type = uint2; };
template <> struct ExtentType<3> { using type = uint3; };
template <> struct ExtentType<4> { using type = uint4; };

template <class T, int N>
struct Array {
  using Extent = typename ExtentType<N>::type;
  T* ptr;
  Extent pitch;  // bytes between neighbours along x, y, z, w
  Extent size;   // elements along x, y, z, w
  int device;    // device ordinal, -1 for host memory
};

enum MemLayout { PITCHED = 0, PACKED = 1 };

namespace internal {

// Component access of the extent vectors by axis number.
YV_HD_INLINE unsigned comp(const uint1& v, int i) { return v.x; }
YV_HD_INLINE unsigned comp(const uint2& v, int i) { return i == 0 ? v.x : v.y; }
YV_HD_INLINE unsigned comp(const uint3& v, int i) { return i == 0 ? v.x : i == 1 ? v.y : v.z; }
YV_HD_INLINE unsigned comp(const uint4& v, int i) {
  return i == 0 ? v.x : i == 1 ? v.y : i == 2 ? v.z : v.w;
}
YV_HD_INLINE void setComp(uint1& v, int i, unsigned x) { v.x = x; }
YV_HD_INLINE void setComp(uint2& v, int i, unsigned x) { (i == 0 ? v.x : v.y) = x; }
YV_HD_INLINE void setComp(uint3& v, int i, unsigned x) { (i == 0 ? v.x : i == 1 ? v.y : v.z) = x; }
YV_HD_INLINE void setComp(uint4& v, int i, unsigned x) {
  (i == 0 ? v.x : i == 1 ? v.y : i == 2 ? v.z : v.w) = x;
}

std::string str_extents(uint1 const& e);
std::string str_extents(uint2 const& e);
std::string str_extents(uint3 const& e);
std::string str_extents(uint4 const& e);

// The same memory seen as 4-D: extent 1 on every added axis, whose pitch is the last given pitch
// times the last given extent.
template <class T, int N, int M>
Array<T, M> increaseArrayDimension(const Array<T, N>& a) {
  static_assert(M == 4, "arrays are raised to four dimensions");
  Array<T, 4> r;
  r.ptr = a.ptr;
  r.device = a.device;
  r.pitch = make_uint4(0, 0, 0, 0);
  r.size = make_uint4(1, 1, 1, 1);
  for (int i = 0; i < N; ++i) {
    setComp(r.pitch, i, comp(a.pitch, i));
    setComp(r.size, i, comp(a.size, i));
  }
  const unsigned added = comp(a.pitch, N - 1) * comp(a.size, N - 1);
  for (int i = N; i < 4; ++i) setComp(r.pitch, i, added);
  return r;
}

// The same memory seen with fewer axes; the dropped axes must have extent 1.
template <class T, int M, int N>
Array<T, N> decreaseArrayDimension(const Array<T, M>& a) {
  static_assert(M == 4 && N >= 1 && N <= 4, "arrays are lowered from four dimensions");
  for (int i = N; i < 4; ++i) {
    if (comp(a.size, i) != 1) {
      std::stringstream ss;
      ss << "decreaseArrayDimension: Cannot decrease source array dimension." << std::endl
         << " source dimension is " << 4 << " " << " target dimension is " << N << ". "
         << " source array extents are " << str_extents(a.size);
      throw std::runtime_error(ss.str());
    }
  }
  Array<T, N> r;
  r.ptr = a.ptr;
  r.device = a.device;
  for (int i = 0; i < N; ++i) {
    setComp(r.pitch, i, comp(a.pitch, i));
    setComp(r.size, i, comp(a.size, i));
  }
  return r;
}

// Packed 4-D host descriptor over caller-owned memory.
template <class T>
Array<T, 4> packedHostArray4(T* p, unsigned x, unsigned y, unsigned z) {
  Array<T, 4> a;
  a.ptr = p;
  a.size = make_uint4(x, y, z, 1);
  a.pitch = make_uint4(unsigned(sizeof(T)), unsigned(x * sizeof(T)), unsigned(x * y * sizeof(T)),
                       unsigned(x * y * z * sizeof(T)));
  a.device = -1;
  return a;
}

}  // namespace internal

// Wraps packed host memory that the caller owns; copies nothing and takes no ownership.
template <class T>
Array<T, 2> arrayFromHostMemory(T* p, unsigned int x, unsigned int y) {
  return internal::decreaseArrayDimension<T, 4, 2>(internal::packedHostArray4(p, x, y, 1));
}
template <class T>
Array<T, 3> arrayFromHostMemory(T* p, unsigned int x, unsigned int y, unsigned int z) {
  return internal::decreaseArrayDimension<T, 4, 3>(internal::packedHostArray4(p, x, y, z));
}
template <class T>
Array<T, 3> arrayFromHostMemory(T* p, uint3 extents) {
  return arrayFromHostMemory(p, extents.x, extents.y, extents.z);
}
template <class T>
Array<T, 1> arrayFromHostMemory(T* p, unsigned int x) {
  return internal::decreaseArrayDimension<T, 4, 1>(internal::packedHostArray4(p, x, 1, 1));
}
// Any w extent: the w planes follow each other, each a packed x*y*z volume.
template <class T>
Array<T, 4> arrayFromHostMemory(T* p, uint4 extents) {
  Array<T, 4> a = internal::packedHostArray4(p, extents.x, extents.y, extents.z);
  a.size.w = extents.w;
  return a;
}

// Element addresses, for kernels and host loops. Byte offsets are formed in 64 bits.
template <class T>
YV_HD_INLINE T& at(const Array<T, 4>& a, unsigned x, unsigned y, unsigned z, unsigned w) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(a.ptr) + std::size_t(x) * sizeof(T) +
                               std::size_t(y) * a.pitch.y + std::size_t(z) * a.pitch.z +
                               std::size_t(w) * a.pitch.w);
}
template <class T>
YV_HD_INLINE T& at(const Array<T, 3>& a, unsigned x, unsigned y, unsigned z) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(a.ptr) + std::size_t(x) * sizeof(T) +
                               std::size_t(y) * a.pitch.y + std::size_t(z) * a.pitch.z);
}
template <class T>
YV_HD_INLINE T& at(const Array<T, 2>& a, unsigned x, unsigned y) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(a.ptr) + std::size_t(x) * sizeof(T) +
                               std::size_t(y) * a.pitch.y);
}
template <class T>
YV_HD_INLINE T& at(const Array<T, 1>& a, unsigned x) {
  return a.ptr[x];
}

}  // namespace yv
