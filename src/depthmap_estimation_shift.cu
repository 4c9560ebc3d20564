// The axis shift of cost volumes: out(z, x, y) = in(x, y, z), so that the labels of a pixel
// become contiguous for the semi-global-matching kernels.
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "depthmap_estimation_kernels.h"
#include "yv/runtime/launch.cuh"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"

namespace {

// Each call moves ElementsPerThread elements of one input column along z; launched over
// (X, Y, ceil(Z / ElementsPerThread)) in blocks of (32, 1, 4), which cover 32 x 32 tiles.
template <int ElementsPerThread>
struct shift_dims_kernel {
  yv::Array<float, 3> out;
  yv::Array<float, 3> in;
  YV_HD void operator()(unsigned x, unsigned y, unsigned g, unsigned) const {
    for (int k = 0; k < ElementsPerThread; ++k) {
      const unsigned z = unsigned(ElementsPerThread) * g + unsigned(k);
      if (z >= in.size.z) break;
      yv::at(out, z, x, y) = yv::at(in, x, y, z);
    }
  }
};

// One call per input element.
struct shift_dims_kernel_naive {
  yv::Array<float, 3> out;
  yv::Array<float, 3> in;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned) const {
    yv::at(out, z, x, y) = yv::at(in, x, y, z);
  }
};

void checkShiftExtents(const yv::Array<float, 3>& out, const yv::Array<float, 3>& in) {
  if (out.size.x != in.size.z || out.size.y != in.size.x || out.size.z != in.size.y)
    throw std::runtime_error("shift_dims: dimensions wrong!");
}

}  // namespace

void shift_dims(yv::Array<float, 3>& out, const yv::Array<float, 3>& in) {
  checkShiftExtents(out, in);
  const unsigned groups = unsigned(std::ceil(float(in.size.z) / 8.0f));
  yv::rt::launch(shift_dims_kernel<8>{out, in}, yv::rt::extent3(in.size.x, in.size.y, groups),
                 dim3(32, 1, 4), 0, {out.ptr, in.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

void shift_dims_naive(yv::Array<float, 3>& out, const yv::Array<float, 3>& in) {
  checkShiftExtents(out, in);
  yv::rt::launch(shift_dims_kernel_naive{out, in},
                 yv::rt::extent3(in.size.x, in.size.y, in.size.z), dim3(32, 4, 1), 0,
                 {out.ptr, in.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

void test_shift_dims() {
  const unsigned X = 160, Y = 120, Z = 32;
  yv::Array<float, 4> a4 = yv::mallocHostArray<float>(make_uint4(X, Y, Z, 1), yv::PACKED);
  yv::Array<float, 4> b4{}, c4{}, d4{};
  // Every array is released on every way out, the failed comparison included.
  struct Release {
    yv::Array<float, 4>* arrays[4];
    ~Release() {
      for (yv::Array<float, 4>* a : arrays)
        if (a->ptr) yv::releaseArray(*a);
    }
  } release{{&a4, &b4, &c4, &d4}};
  b4 = yv::mallocDeviceArray<float>(make_uint4(X, Y, Z, 1), yv::PITCHED);
  c4 = yv::mallocHostArray<float>(make_uint4(Z, X, Y, 1), yv::PACKED);
  d4 = yv::mallocDeviceArray<float>(make_uint4(Z, X, Y, 1), yv::PITCHED);
  yv::Array<float, 3> A = yv::internal::decreaseArrayDimension<float, 4, 3>(a4);
  yv::Array<float, 3> B = yv::internal::decreaseArrayDimension<float, 4, 3>(b4);
  yv::Array<float, 3> C = yv::internal::decreaseArrayDimension<float, 4, 3>(c4);
  yv::Array<float, 3> D = yv::internal::decreaseArrayDimension<float, 4, 3>(d4);
  for (unsigned z = 0; z < Z; ++z)
    for (unsigned y = 0; y < Y; ++y)
      for (unsigned x = 0; x < X; ++x) yv::at(A, x, y, z) = float(x + X * y + X * Y * z);
  for (unsigned y = 0; y < Y; ++y)
    for (unsigned x = 0; x < X; ++x)
      for (unsigned z = 0; z < Z; ++z) yv::at(C, z, x, y) = 0.0f;
  yv::arrayCopy(D, C);
  yv::arrayCopy(B, A);
  shift_dims(D, B);
  yv::arrayCopy(C, D);
  for (unsigned z = 0; z < Z; ++z)
    for (unsigned y = 0; y < Y; ++y)
      for (unsigned x = 0; x < X; ++x)
        if (!(yv::at(A, x, y, z) == yv::at(C, z, x, y)))
          throw std::runtime_error("test_shift_dims failed");
}
