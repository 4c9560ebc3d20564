// The axis shift of cost volumes: out(z, x, y) = in(x, y, z), so that the labels of a pixel
// become contiguous for the semi-global-matching kernels.
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "depthmap_estimation_kernels.h"
#include "yv/runtime/cooperative.cuh"
#include "yv/runtime/launch.cuh"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"

namespace {

// A tiled transpose through shared memory. Block (32, 1, 4) moves the 32 x 32 tile of input
// columns xb .. xb + 31 and planes zb .. zb + 31 of row y: phase 0 reads 32 consecutive columns
// per warp into tile rows (one row per plane), phase 1 writes tile columns as 32 consecutive
// elements along out's first axis. Each thread moves ElementsPerThread elements per phase. Tile
// row zl is rotated by zl, so that both phases hit 32 different banks.
template <int ElementsPerThread>
struct shift_dims_kernel {
  static constexpr std::size_t kSharedBytes = 32 * 32 * sizeof(float);
  struct State {};
  yv::Array<float, 3> out;
  yv::Array<float, 3> in;
  YV_HD void operator()(unsigned phase, const yv::rt::Team& t, State&) const {
    float* tile = static_cast<float*>(t.shared);
    const unsigned X = in.size.x, Y = in.size.y, Z = in.size.z;
    const unsigned xb = 32 * t.block.x, y = t.block.y, zb = 32 * t.block.z;
    const unsigned tx = t.thread.x, tz = t.thread.z;
    if (y >= Y) return;
    for (unsigned k = 0; k < unsigned(ElementsPerThread); ++k) {
      const unsigned l = unsigned(ElementsPerThread) * tz + k;
      if (phase == 0) {
        if (xb + tx < X && zb + l < Z) tile[32 * l + ((tx + l) & 31u)] = yv::at(in, xb + tx, y, zb + l);
      } else if (xb + l < X && zb + tx < Z) {
        yv::at(out, zb + tx, xb + l, y) = tile[32 * tx + ((l + tx) & 31u)];
      }
    }
  }
};

// The element-wise form of the tiled kernel, for the host back end: each call moves
// ElementsPerThread planes of one input column, launched over (X, Y, ceil(Z / ElementsPerThread)).
template <int ElementsPerThread>
struct shift_dims_columns {
  yv::Array<float, 3> out;
  yv::Array<float, 3> in;
  YV_HD void operator()(unsigned x, unsigned y, unsigned g, unsigned) const {
    for (unsigned k = 0; k < unsigned(ElementsPerThread); ++k) {
      const unsigned z = unsigned(ElementsPerThread) * g + k;
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
  shift_dims(out, in, yv::rt::KernelForm::Auto);
}

void shift_dims(yv::Array<float, 3>& out, const yv::Array<float, 3>& in, yv::rt::KernelForm form) {
  checkShiftExtents(out, in);
  if (yv::rt::runsCooperative(form)) {
    const dim3 grid(unsigned(std::ceil(float(in.size.x) / 32.0f)), in.size.y,
                    unsigned(std::ceil(float(in.size.z) / 32.0f)));
    yv::rt::launchCooperative(shift_dims_kernel<8>{out, in}, grid, dim3(32, 1, 4), 0, 2, 0,
                              {out.ptr, in.ptr});
  } else {
    const unsigned groups = unsigned(std::ceil(float(in.size.z) / 8.0f));
    yv::rt::launch(shift_dims_columns<8>{out, in}, yv::rt::extent3(in.size.x, in.size.y, groups),
                   dim3(32, 1, 4), 0, {out.ptr, in.ptr});
  }
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
