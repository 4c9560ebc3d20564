// Test helper: owned host and device arrays of the array library, filled and read on the host.
#pragma once

#include <cuda_runtime.h>

#include <vector>

#include "yv/runtime/runtime.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace conv_test {

template <class T>
struct Owned {
  yv::Array<T, 4> a;
  explicit Owned(yv::Array<T, 4> arr) : a(arr) {}
  Owned(Owned&& o) : a(o.a) { o.a.ptr = nullptr; }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (a.ptr) yv::releaseArray(a);
  }
  template <int N>
  yv::Array<T, N> view() const {
    return yv::internal::decreaseArrayDimension<T, 4, N>(a);
  }
};

template <class T>
Owned<T> hostArray(uint4 e) {
  return Owned<T>(yv::mallocHostArray<T>(e, yv::PACKED));
}
// Pitched rows, so that kernels must honour the row pitch.
template <class T>
Owned<T> deviceArray(uint4 e) {
  return Owned<T>(yv::mallocDeviceArray<T>(e, yv::PITCHED));
}

// Host array holding the values, x fastest.
template <class T>
Owned<T> hostFrom(uint4 e, const std::vector<T>& values) {
  Owned<T> h = hostArray<T>(e);
  for (std::size_t i = 0; i < values.size(); ++i) h.a.ptr[i] = values[i];
  return h;
}

template <class T>
Owned<T> deviceFrom(uint4 e, const std::vector<T>& values) {
  Owned<T> h = hostFrom<T>(e, values);
  Owned<T> d = deviceArray<T>(e);
  yv::arrayCopy(d.a, h.a);
  return d;
}

// Every element of an array (host or device), x fastest.
template <class T>
std::vector<T> valuesOf(const yv::Array<T, 4>& a) {
  Owned<T> h = hostArray<T>(a.size);
  yv::Array<T, 4> src = a;
  if (a.device != -1) yv::rt::deviceSynchronize();
  yv::arrayCopy(h.a, src);
  const std::size_t n = std::size_t(a.size.x) * a.size.y * a.size.z * a.size.w;
  return std::vector<T>(h.a.ptr, h.a.ptr + n);
}

inline bool sameBytes(const uchar4& a, const uchar4& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w;
}

}  // namespace conv_test
