// Host side of filterX/Y/Z: the argument check, then one kernel launch per 3-D volume along the
// 4th axis. Included by the .cu files that instantiate one element type each, so that the 324
// kernels compile in parallel.
#pragma once

#include <stdexcept>
#include <string>

#include "yv/access/array_access.h"
#include "yv/filtering/filter_kernels.h"
#include "yv/filtering/filtering.h"
#include "yv/filtering/param_sanity_check.h"
#include "yv/runtime/launch.cuh"
#include "yv/tools/cuda_check.h"
#include "yv/tools/range.h"

namespace yv_filtering_kernels {

// Block shape per element type; its long side runs along x whatever the filter axis, so a warp
// reads consecutive elements for every tap.
template <class T2> inline dim3 filterBlock() { return dim3(64, 4, 1); }
template <> inline dim3 filterBlock<double>() { return dim3(32, 2, 1); }

template <int Axis, class Policy, class T, class T2, int N>
void launchVolumes(yv::Array<T2, 4>& out, const yv::Array<T2, 4>& in,
                   const yv::Filter<T, N>& filter) {
  const uint4 ext = yv::rt::extent3(in.size.x, in.size.y, in.size.z);
  for (unsigned w = 0; w < in.size.w; ++w) {
    const yv::Array<T2, 3> inView = yv::subvolume(in, int(w));
    const yv::Array<T2, 3> outView = yv::subvolume(out, int(w));
    yv::rt::launch(filter_kernel_naive<T, T2, N, Axis, Policy>{outView, inView, filter, Policy()},
                   ext, filterBlock<T2>(), 0, {outView.ptr, inView.ptr});
    // A refused launch would leave out unwritten; report it instead of moving on.
    _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  }
}

template <int Axis, class T, class T2, int N>
void filterAlong(char letter, yv::Array<T2, 4>& out, const yv::Array<T2, 4>& in,
                 const yv::Filter<T, N>& filter, yv::BorderTreatment border) {
  const std::string problem =
      yv::internal::param_sanity_check<T, T2, N>(letter, out, in, filter, border);
  if (!problem.empty()) throw std::runtime_error(problem);
  switch (border) {
    case yv::MIRROR:
      launchVolumes<Axis, yv::ArrayAccessMirror>(out, in, filter);
      break;
    case yv::CLAMP:
      launchVolumes<Axis, yv::ArrayAccessClamp>(out, in, filter);
      break;
    case yv::ZERO:
      launchVolumes<Axis, yv::ArrayAccessZero>(out, in, filter);
      break;
    default:  // refused by the check
      break;
  }
}

}  // namespace yv_filtering_kernels

namespace yv {

template <class T, class T2, int N>
void filterX(Array<T2, 4>& out, const Array<T2, 4>& in, const Filter<T, N>& filter,
             BorderTreatment border) {
  yv_filtering_kernels::filterAlong<yv_filtering_kernels::AXIS_X>('X', out, in, filter, border);
}
template <class T, class T2, int N>
void filterY(Array<T2, 4>& out, const Array<T2, 4>& in, const Filter<T, N>& filter,
             BorderTreatment border) {
  yv_filtering_kernels::filterAlong<yv_filtering_kernels::AXIS_Y>('Y', out, in, filter, border);
}
template <class T, class T2, int N>
void filterZ(Array<T2, 4>& out, const Array<T2, 4>& in, const Filter<T, N>& filter,
             BorderTreatment border) {
  yv_filtering_kernels::filterAlong<yv_filtering_kernels::AXIS_Z>('Z', out, in, filter, border);
}

}  // namespace yv

// The exported instances of one (tap type, element type) pair: three axes, N = 2 .. 10.
#define YV_FILTER_INSTANCE(T, T2, N)                                                          \
  template void yv::filterX<T, T2, N>(yv::Array<T2, 4>&, const yv::Array<T2, 4>&,             \
                                      const yv::Filter<T, N>&, yv::BorderTreatment);          \
  template void yv::filterY<T, T2, N>(yv::Array<T2, 4>&, const yv::Array<T2, 4>&,             \
                                      const yv::Filter<T, N>&, yv::BorderTreatment);          \
  template void yv::filterZ<T, T2, N>(yv::Array<T2, 4>&, const yv::Array<T2, 4>&,             \
                                      const yv::Filter<T, N>&, yv::BorderTreatment);
#define YV_FILTER_INSTANCES(T, T2)                                                            \
  YV_FILTER_INSTANCE(T, T2, 2) YV_FILTER_INSTANCE(T, T2, 3) YV_FILTER_INSTANCE(T, T2, 4)      \
  YV_FILTER_INSTANCE(T, T2, 5) YV_FILTER_INSTANCE(T, T2, 6) YV_FILTER_INSTANCE(T, T2, 7)      \
  YV_FILTER_INSTANCE(T, T2, 8) YV_FILTER_INSTANCE(T, T2, 9) YV_FILTER_INSTANCE(T, T2, 10)
