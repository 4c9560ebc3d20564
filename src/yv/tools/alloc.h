// Allocation of 4-D arrays in device memory (pitched rows or packed) and in host memory (packed).
// The caller releases the memory: yv::rt::free for device arrays, free() for host arrays.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "yv/runtime/runtime.h"
#include "yv/tools/array.h"
#include "yv/tools/cuda_check.h"

namespace yv {

namespace internal {

inline void checkExtents(const uint4& e, const char* op) {
  if (e.x < 1 || e.y < 1 || e.z < 1 || e.w < 1)
    throw std::runtime_error(std::string(op) + ": all extents must be >= 1");
}

// Pitches and per-axis byte offsets are 32-bit; an array whose bytes cannot be addressed with
// them is refused rather than silently wrapped.
inline void checkAddressable(std::uint64_t rowPitch, const uint4& e, const char* op) {
  const std::uint64_t bytes = rowPitch * e.y * e.z * e.w;
  if (rowPitch > UINT32_MAX || bytes > UINT32_MAX) {
    std::stringstream ss;
    ss << op << ": array of extents " << str_extents(e) << " needs " << bytes
       << " bytes; byte offsets must stay below 4 GiB";
    throw std::runtime_error(ss.str());
  }
}

template <class T>
void setPitches(Array<T, 4>& a, unsigned rowPitch) {
  a.pitch.x = sizeof(T);
  a.pitch.y = rowPitch;
  a.pitch.z = rowPitch * a.size.y;
  a.pitch.w = a.pitch.z * a.size.z;
}

}  // namespace internal

template <class T>
Array<T, 4> mallocDeviceArray(uint4 extents, MemLayout layout) {
  internal::checkExtents(extents, "yv::mallocDeviceArray");
  Array<T, 4> a;
  a.ptr = nullptr;
  a.pitch = make_uint4(0, 0, 0, 0);
  a.size = extents;
  a.device = rt::currentDevice();
  const std::uint64_t width = std::uint64_t(extents.x) * sizeof(T);
  if (layout == PITCHED) {
    internal::checkAddressable(width, extents, "yv::mallocDeviceArray");
    cudaPitchedPtr p;
    p.ptr = nullptr;
    p.pitch = 0;
    rt::malloc3D(&p, make_cudaExtent(width, extents.y, std::size_t(extents.z) * extents.w));
    _CHECK_CUDA_ERROR(__FILE__, __LINE__);
    try {
      internal::checkAddressable(p.pitch, extents, "yv::mallocDeviceArray");
    } catch (...) {
      rt::free(p.ptr);
      throw;
    }
    a.ptr = static_cast<T*>(p.ptr);
    internal::setPitches(a, unsigned(p.pitch));
  } else if (layout == PACKED) {
    internal::checkAddressable(width, extents, "yv::mallocDeviceArray");
    void* p = nullptr;
    rt::malloc(&p, width * extents.y * extents.z * extents.w);
    _CHECK_CUDA_ERROR(__FILE__, __LINE__);
    a.ptr = static_cast<T*>(p);
    internal::setPitches(a, unsigned(width));
  } else {
    throw std::runtime_error("yv::mallocDeviceArray: unsupported memory layout");
  }
  return a;
}

template <class T>
Array<T, 4> mallocHostArray(uint4 extents, MemLayout layout) {
  internal::checkExtents(extents, "yv::mallocHostArray");
  if (layout == PITCHED) throw std::runtime_error("yv::mallocHostArray: unsupported memory layout");
  const std::uint64_t width = std::uint64_t(extents.x) * sizeof(T);
  internal::checkAddressable(width, extents, "yv::mallocHostArray");
  Array<T, 4> a;
  a.size = extents;
  a.device = -1;
  internal::setPitches(a, unsigned(width));
  const std::uint64_t bytes = width * extents.y * extents.z * extents.w;
  a.ptr = static_cast<T*>(std::malloc(bytes));
  if (!a.ptr) {
    std::stringstream ss;
    ss << "yv::mallocHostArray: out of host memory (" << bytes << " bytes)";
    throw std::runtime_error(ss.str());
  }
  return a;
}

// Releases the memory of a whole allocation, host or device, as its device number says.
template <class T, int N>
void releaseArray(const Array<T, N>& a) {
  if (a.device == -1)
    std::free(a.ptr);
  else
    rt::free(a.ptr);
}

}  // namespace yv
