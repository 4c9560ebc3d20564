// Helpers of the algorithm tests: device arrays from host vectors and back, and views of host
// memory that claim to be device memory (what a GPU would fault on).
#pragma once

#include <cstring>
#include <vector>

#include "yv/runtime/runtime.h"
#include "yv/tools/alloc.h"
#include "yv/tools/array.h"
#include "yv/tools/copy.h"

namespace algo_test {

// Packed descriptor over host memory with any w extent.
template <class T>
yv::Array<T, 4> hostView(T* p, uint4 e) {
  return yv::arrayFromHostMemory(p, e);
}

template <class T>
yv::Array<T, 4> upload(const std::vector<T>& v, uint4 e) {
  yv::Array<T, 4> d = yv::mallocDeviceArray<T>(e, yv::PITCHED);
  std::vector<T> copy(v);
  yv::arrayCopy(d, hostView(copy.data(), e));
  return d;
}

template <class T>
std::vector<T> download(const yv::Array<T, 4>& d) {
  std::vector<T> v(std::size_t(d.size.x) * d.size.y * d.size.z * d.size.w);
  yv::Array<T, 4> h = hostView(v.data(), d.size);
  yv::arrayCopy(h, d);
  return v;
}

template <class T>
yv::Array<T, 2> as2D(const yv::Array<T, 4>& a) {
  return yv::internal::decreaseArrayDimension<T, 4, 2>(a);
}
template <class T>
yv::Array<T, 4> as4D(const yv::Array<T, 2>& a) {
  return yv::internal::increaseArrayDimension<T, 2, 4>(a);
}

// Host memory described as device memory of device 0: the host back end refuses kernels and
// copies on it as a GPU would fault.
template <class T>
yv::Array<T, 4> fakeDeviceArray(std::vector<T>& storage, uint4 e) {
  storage.resize(std::size_t(e.x) * e.y * e.z * e.w);
  yv::Array<T, 4> a = hostView(storage.data(), e);
  a.device = 0;
  return a;
}

// A device array released when the test ends; operations that replace the allocation update
// `a` in place.
template <class T>
struct Owned {
  yv::Array<T, 4> a;
  explicit Owned(const yv::Array<T, 4>& x) : a(x) {}
  ~Owned() { yv::releaseArray(a); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

template <class T>
bool sameDescriptor(const yv::Array<T, 4>& a, const yv::Array<T, 4>& b) {
  return a.ptr == b.ptr && a.device == b.device && std::memcmp(&a.size, &b.size, sizeof(uint4)) == 0 &&
         std::memcmp(&a.pitch, &b.pitch, sizeof(uint4)) == 0;
}

}  // namespace algo_test
