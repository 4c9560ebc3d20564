// yv::arrayCopy: the one way element data moves between two descriptors (host or device, either
// direction) and from a 3-D float array into a CUDA array. Synchronous.
#pragma once

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

#include "yv/runtime/runtime.h"
#include "yv/tools/array.h"
#include "yv/tools/cuda_check.h"

namespace yv {

namespace internal {

std::string str_cudaChannelFormatDesc(cudaChannelFormatDesc desc);

// A 4-D view can be described to a 3-D copy when its slices and volumes follow one another
// without gaps (rows may be padded).
template <class T>
bool copyCompatible(const Array<T, 4>& a) {
  return a.pitch.z <= a.pitch.y * a.size.y && a.pitch.w <= a.pitch.z * a.size.z;
}

template <class T>
cudaPitchedPtr pitchedPtrOf(const Array<T, 4>& a) {
  return make_cudaPitchedPtr(static_cast<void*>(const_cast<typename std::remove_const<T>::type*>(
                                 a.ptr)),
                             a.pitch.y, std::size_t(a.size.x) * sizeof(T), a.size.y);
}

inline cudaMemcpyKind copyKind(int srcDevice, int dstDevice) {
  if (srcDevice == -1) return dstDevice == -1 ? cudaMemcpyHostToHost : cudaMemcpyHostToDevice;
  return dstDevice == -1 ? cudaMemcpyDeviceToHost : cudaMemcpyDeviceToDevice;
}

template <int N>
bool sameExtents(const typename ExtentType<N>::type& a, const typename ExtentType<N>::type& b) {
  for (int i = 0; i < N; ++i)
    if (comp(a, i) != comp(b, i)) return false;
  return true;
}

}  // namespace internal

template <class T, int N>
void arrayCopy(Array<T, N>& dst, const Array<T, N>& src) {
  const Array<T, 4> s = internal::increaseArrayDimension<T, N, 4>(src);
  if (!internal::copyCompatible(s))
    throw std::runtime_error("yv::arrayCopy: memory layout of src array is incompatible");
  const Array<T, 4> d = internal::increaseArrayDimension<T, N, 4>(dst);
  if (!internal::copyCompatible(d))
    throw std::runtime_error("yv::arrayCopy: memory layout of dst array is incompatible");
  if (!src.ptr) throw std::runtime_error("yv::arrayCopy: src is null");
  if (!dst.ptr) throw std::runtime_error("yv::arrayCopy: dst is null");
  if (src.ptr == dst.ptr) throw std::runtime_error("yv::arrayCopy: src and dst are identical");
  if (!internal::sameExtents<N>(src.size, dst.size)) {
    std::stringstream ss;
    ss << "arrayCopy: extents mismatch" << std::endl
       << " src extents are " << internal::str_extents(src.size) << " dst extents are "
       << internal::str_extents(dst.size);
    throw std::runtime_error(ss.str());
  }
  cudaMemcpy3DParms p;
  std::memset(&p, 0, sizeof(p));
  p.srcPtr = internal::pitchedPtrOf(s);
  p.dstPtr = internal::pitchedPtrOf(d);
  p.extent = make_cudaExtent(std::size_t(s.size.x) * sizeof(T), s.size.y,
                             std::size_t(s.size.z) * s.size.w);
  p.kind = internal::copyKind(src.device, dst.device);
  rt::memcpy3D(&p);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

// Copies a 3-D float array (host or device) into an existing CUDA array of the same extents.
void arrayCopy(cudaArray* dst, const Array<float, 3>& src);

}  // namespace yv
