// The separable filter kernel: one output element per call, N taps read through a border rule
// and accumulated in tap order with one fused multiply-add per component, so that the host and
// the GPU round identically.
#pragma once

#include <cmath>

#include "yv/access/array_access.h"
#include "yv/filtering/filter.h"
#include "yv/runtime/hd.h"
#include "yv/tools/array.h"

namespace yv_filtering_kernels {

// acc + c * v, rounded once per component.
YV_HD_INLINE float tapFma(float v, float c, float acc) { return fmaf(v, c, acc); }
YV_HD_INLINE float2 tapFma(float2 v, float c, float2 acc) {
  return make_float2(fmaf(v.x, c, acc.x), fmaf(v.y, c, acc.y));
}
YV_HD_INLINE float4 tapFma(float4 v, float c, float4 acc) {
  return make_float4(fmaf(v.x, c, acc.x), fmaf(v.y, c, acc.y), fmaf(v.z, c, acc.z),
                     fmaf(v.w, c, acc.w));
}
YV_HD_INLINE double tapFma(double v, double c, double acc) { return fma(v, c, acc); }

enum FilterAxis { AXIS_X = 0, AXIS_Y = 1, AXIS_Z = 2 };

// out(p) = sum over i of coeff[i] * in(p + i - offset) along Axis, in read through Policy. The
// extents of in stand for both volumes; the launcher calls it for indices inside them only.
template <class T, class T2, int N, int Axis, class Policy>
struct filter_kernel_naive {
  yv::Array<T2, 3> out;
  yv::Array<T2, 3> in;
  yv::Filter<T, N> filter;
  Policy policy;

  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned) const {
    T2 sum = T2{};
    // N is a compile-time constant: the tap loop unrolls, the taps are independent loads.
    for (int i = 0; i < N; ++i) {
      const int d = i - filter.offset;
      T2 v;
      if constexpr (Axis == AXIS_X)
        v = policy.get(in, int(x) + d, int(y), int(z));
      else if constexpr (Axis == AXIS_Y)
        v = policy.get(in, int(x), int(y) + d, int(z));
      else
        v = policy.get(in, int(x), int(y), int(z) + d);
      sum = tapFma(v, filter.coeff[i], sum);
    }
    yv::at(out, x, y, z) = sum;
  }
};

template <class T, class T2, int N, class Policy>
using filterX_kernel_naive = filter_kernel_naive<T, T2, N, AXIS_X, Policy>;
template <class T, class T2, int N, class Policy>
using filterY_kernel_naive = filter_kernel_naive<T, T2, N, AXIS_Y, Policy>;
template <class T, class T2, int N, class Policy>
using filterZ_kernel_naive = filter_kernel_naive<T, T2, N, AXIS_Z, Policy>;

}  // namespace yv_filtering_kernels
