// Single-precision arithmetic with one rounding per operation on both back ends. nvcc contracts a
// product followed by an addition into one fused multiply-add; code whose results must agree to
// the bit between back ends (or follow a fixed order of roundings) spells every step with these.
#pragma once

#include <cmath>

#include "yv/runtime/hd.h"

namespace yv {
namespace rt {

#if defined(__CUDA_ARCH__)
__device__ __forceinline__ float mul_rn(float a, float b) { return __fmul_rn(a, b); }
__device__ __forceinline__ float add_rn(float a, float b) { return __fadd_rn(a, b); }
__device__ __forceinline__ float sub_rn(float a, float b) { return __fsub_rn(a, b); }
__device__ __forceinline__ float div_rn(float a, float b) { return __fdiv_rn(a, b); }
__device__ __forceinline__ float fma_rn(float a, float b, float c) { return __fmaf_rn(a, b, c); }
#else
// Host code is built without contraction (ISO C++ mode), so the plain operators round once.
inline float mul_rn(float a, float b) { return a * b; }
inline float add_rn(float a, float b) { return a + b; }
inline float sub_rn(float a, float b) { return a - b; }
inline float div_rn(float a, float b) { return a / b; }
inline float fma_rn(float a, float b, float c) { return std::fma(a, b, c); }
#endif

}  // namespace rt
}  // namespace yv
