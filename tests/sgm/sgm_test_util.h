// Device arrays for the stereo tests: owned allocations and row-by-row transfers between packed
// host vectors (x fastest) and pitched device memory.
#pragma once

#include <vector>

#include "yv/runtime/runtime.h"
#include "yv/tools/alloc.h"
#include "yv/tools/array.h"

namespace sgm_test {

template <class T>
struct Device {
  yv::Array<T, 4> a;
  explicit Device(uint4 ext) : a(yv::mallocDeviceArray<T>(ext, yv::PITCHED)) {}
  Device(unsigned x, unsigned y, unsigned z = 1, unsigned w = 1) : Device(make_uint4(x, y, z, w)) {}
  ~Device() { yv::releaseArray(a); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  yv::Array<T, 2> d2() const { return yv::internal::decreaseArrayDimension<T, 4, 2>(a); }
  yv::Array<T, 3> d3() const { return yv::internal::decreaseArrayDimension<T, 4, 3>(a); }

  void upload(const std::vector<T>& h) const {
    std::size_t i = 0;
    for (unsigned w = 0; w < a.size.w; ++w)
      for (unsigned z = 0; z < a.size.z; ++z)
        for (unsigned y = 0; y < a.size.y; ++y, i += a.size.x)
          yv::rt::memcpy(&yv::at(a, 0, y, z, w), &h.at(i), a.size.x * sizeof(T),
                         cudaMemcpyHostToDevice);
  }
  std::vector<T> download() const {
    std::vector<T> h(std::size_t(a.size.x) * a.size.y * a.size.z * a.size.w);
    std::size_t i = 0;
    for (unsigned w = 0; w < a.size.w; ++w)
      for (unsigned z = 0; z < a.size.z; ++z)
        for (unsigned y = 0; y < a.size.y; ++y, i += a.size.x)
          yv::rt::memcpy(&h[i], &yv::at(a, 0, y, z, w), a.size.x * sizeof(T),
                         cudaMemcpyDeviceToHost);
    return h;
  }
  void fill(T v) const {
    upload(std::vector<T>(std::size_t(a.size.x) * a.size.y * a.size.z * a.size.w, v));
  }
};

}  // namespace sgm_test
