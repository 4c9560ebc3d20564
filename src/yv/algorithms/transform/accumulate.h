// Weighted sums for the resampling kernels, component by component. Weights are single
// precision; for double elements each weight is widened and the sum and quotient are double.
#pragma once

#include <cuda_runtime.h>

#include "yv/runtime/hd.h"

namespace yv {
namespace transform_kernel_namespace {

template <class T> YV_HD_INLINE T zeroValue();
template <> YV_HD_INLINE float zeroValue<float>() { return 0.f; }
template <> YV_HD_INLINE double zeroValue<double>() { return 0.0; }
template <> YV_HD_INLINE float2 zeroValue<float2>() { return make_float2(0.f, 0.f); }
template <> YV_HD_INLINE float3 zeroValue<float3>() { return make_float3(0.f, 0.f, 0.f); }
template <> YV_HD_INLINE float4 zeroValue<float4>() { return make_float4(0.f, 0.f, 0.f, 0.f); }

// acc += w * v
YV_HD_INLINE void addWeighted(float& acc, float w, float v) { acc += w * v; }
YV_HD_INLINE void addWeighted(double& acc, float w, double v) { acc += double(w) * v; }
YV_HD_INLINE void addWeighted(float2& acc, float w, float2 v) {
  acc.x += w * v.x;
  acc.y += w * v.y;
}
YV_HD_INLINE void addWeighted(float3& acc, float w, float3 v) {
  acc.x += w * v.x;
  acc.y += w * v.y;
  acc.z += w * v.z;
}
YV_HD_INLINE void addWeighted(float4& acc, float w, float4 v) {
  acc.x += w * v.x;
  acc.y += w * v.y;
  acc.z += w * v.z;
  acc.w += w * v.w;
}

// acc / d
YV_HD_INLINE float divideBy(float acc, float d) { return acc / d; }
YV_HD_INLINE double divideBy(double acc, float d) { return acc / double(d); }
YV_HD_INLINE float2 divideBy(float2 a, float d) { return make_float2(a.x / d, a.y / d); }
YV_HD_INLINE float3 divideBy(float3 a, float d) { return make_float3(a.x / d, a.y / d, a.z / d); }
YV_HD_INLINE float4 divideBy(float4 a, float d) {
  return make_float4(a.x / d, a.y / d, a.z / d, a.w / d);
}

}  // namespace transform_kernel_namespace
}  // namespace yv
