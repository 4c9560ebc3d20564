// Moving test data between packed host vectors and (possibly pitched) device arrays, row by row,
// and filling whole allocations with a sentinel so that stray writes show.
#pragma once

#include <cstring>
#include <vector>

#include "yv/runtime/runtime.h"
#include "yv/tools/alloc.h"
#include "yv/tools/array.h"

namespace filtering_test {

template <class T>
void upload(const yv::Array<T, 4>& d, const std::vector<T>& h) {
  std::size_t i = 0;
  for (unsigned w = 0; w < d.size.w; ++w)
    for (unsigned z = 0; z < d.size.z; ++z)
      for (unsigned y = 0; y < d.size.y; ++y, i += d.size.x)
        yv::rt::memcpy(&yv::at(d, 0, y, z, w), &h[i], d.size.x * sizeof(T),
                       cudaMemcpyHostToDevice);
}

template <class T>
std::vector<T> download(const yv::Array<T, 4>& d) {
  std::vector<T> h(std::size_t(d.size.x) * d.size.y * d.size.z * d.size.w);
  std::size_t i = 0;
  for (unsigned w = 0; w < d.size.w; ++w)
    for (unsigned z = 0; z < d.size.z; ++z)
      for (unsigned y = 0; y < d.size.y; ++y, i += d.size.x)
        yv::rt::memcpy(&h[i], &yv::at(d, 0, y, z, w), d.size.x * sizeof(T),
                       cudaMemcpyDeviceToHost);
  return h;
}

template <class T>
void upload(const yv::Array<T, 2>& d, const std::vector<T>& h) {
  upload(yv::internal::increaseArrayDimension<T, 2, 4>(d), h);
}
template <class T>
std::vector<T> download(const yv::Array<T, 2>& d) {
  return download(yv::internal::increaseArrayDimension<T, 2, 4>(d));
}

// A device allocation of its own, released at the end of the scope.
template <class T>
struct DeviceArray {
  yv::Array<T, 4> a;
  explicit DeviceArray(uint4 ext, yv::MemLayout layout = yv::PITCHED)
      : a(yv::mallocDeviceArray<T>(ext, layout)) {}
  ~DeviceArray() { yv::releaseArray(a); }
  DeviceArray(const DeviceArray&) = delete;
  DeviceArray& operator=(const DeviceArray&) = delete;
  yv::Array<T, 2> as2D() const { return yv::internal::decreaseArrayDimension<T, 4, 2>(a); }
  // Every byte of the allocation, padding included.
  std::size_t bytes() const { return std::size_t(a.pitch.w) * a.size.w; }
  std::vector<unsigned char> allBytes() const {
    std::vector<unsigned char> b(bytes());
    yv::rt::memcpy(b.data(), a.ptr, b.size(), cudaMemcpyDeviceToHost);
    return b;
  }
  void fillBytes(unsigned char v) { yv::rt::memset(a.ptr, v, bytes()); }
};

}  // namespace filtering_test
