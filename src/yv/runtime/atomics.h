// Atomic operations for kernels of both back ends: CUDA atomics on the device, GCC's __atomic
// builtins on the host back end.
#pragma once

#include <cstdint>

#include "yv/runtime/hd.h"

namespace yv {
namespace rt {

#if defined(__CUDA_ARCH__)

__device__ __forceinline__ float atomic_add(float* a, float v) { return atomicAdd(a, v); }
__device__ __forceinline__ int atomic_add(int* a, int v) { return atomicAdd(a, v); }
__device__ __forceinline__ unsigned atomic_add(unsigned* a, unsigned v) { return atomicAdd(a, v); }
__device__ __forceinline__ unsigned long long atomic_add(unsigned long long* a,
                                                         unsigned long long v) {
  return atomicAdd(a, v);
}
__device__ __forceinline__ unsigned atomic_cas(unsigned* a, unsigned cmp, unsigned v) {
  return atomicCAS(a, cmp, v);
}
__device__ __forceinline__ unsigned long long atomic_cas(unsigned long long* a,
                                                         unsigned long long cmp,
                                                         unsigned long long v) {
  return atomicCAS(a, cmp, v);
}
__device__ __forceinline__ int atomic_max(int* a, int v) { return atomicMax(a, v); }
__device__ __forceinline__ int atomic_min(int* a, int v) { return atomicMin(a, v); }
__device__ __forceinline__ unsigned atomic_max(unsigned* a, unsigned v) { return atomicMax(a, v); }
__device__ __forceinline__ unsigned atomic_min(unsigned* a, unsigned v) { return atomicMin(a, v); }
__device__ __forceinline__ float atomic_min(float* a, float v) {
  unsigned* p = reinterpret_cast<unsigned*>(a);
  unsigned old = *p, assumed;
  do {
    assumed = old;
    if (__uint_as_float(assumed) <= v) break;
    old = atomicCAS(p, assumed, __float_as_uint(v));
  } while (old != assumed);
  return __uint_as_float(old);
}

#else

namespace detail {
inline unsigned floatBits(float f) {
  unsigned u;
  __builtin_memcpy(&u, &f, 4);
  return u;
}
inline float bitsFloat(unsigned u) {
  float f;
  __builtin_memcpy(&f, &u, 4);
  return f;
}
}  // namespace detail

inline float atomic_add(float* a, float v) {
  unsigned* p = reinterpret_cast<unsigned*>(a);
  unsigned old = __atomic_load_n(p, __ATOMIC_RELAXED);
  while (!__atomic_compare_exchange_n(p, &old, detail::floatBits(detail::bitsFloat(old) + v), true,
                                      __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
  return detail::bitsFloat(old);
}
inline int atomic_add(int* a, int v) {
  // Two's complement wrap-around, as on the GPU.
  return int(__atomic_fetch_add(reinterpret_cast<unsigned*>(a), unsigned(v), __ATOMIC_RELAXED));
}
inline unsigned atomic_add(unsigned* a, unsigned v) {
  return __atomic_fetch_add(a, v, __ATOMIC_RELAXED);
}
inline unsigned long long atomic_add(unsigned long long* a, unsigned long long v) {
  return __atomic_fetch_add(a, v, __ATOMIC_RELAXED);
}
inline unsigned atomic_cas(unsigned* a, unsigned cmp, unsigned v) {
  __atomic_compare_exchange_n(a, &cmp, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return cmp;  // the old value, whether or not the swap took place
}
inline unsigned long long atomic_cas(unsigned long long* a, unsigned long long cmp,
                                     unsigned long long v) {
  __atomic_compare_exchange_n(a, &cmp, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return cmp;
}
template <class T>
inline T atomic_extreme(T* a, T v, bool wantMax) {
  T old = __atomic_load_n(a, __ATOMIC_RELAXED);
  while ((wantMax ? old < v : v < old) &&
         !__atomic_compare_exchange_n(a, &old, v, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
  return old;
}
inline int atomic_max(int* a, int v) { return atomic_extreme(a, v, true); }
inline int atomic_min(int* a, int v) { return atomic_extreme(a, v, false); }
inline unsigned atomic_max(unsigned* a, unsigned v) { return atomic_extreme(a, v, true); }
inline unsigned atomic_min(unsigned* a, unsigned v) { return atomic_extreme(a, v, false); }
inline float atomic_min(float* a, float v) {
  unsigned* p = reinterpret_cast<unsigned*>(a);
  unsigned old = __atomic_load_n(p, __ATOMIC_RELAXED);
  while (!(detail::bitsFloat(old) <= v) &&
         !__atomic_compare_exchange_n(p, &old, detail::floatBits(v), true, __ATOMIC_RELAXED,
                                      __ATOMIC_RELAXED)) {
  }
  return detail::bitsFloat(old);
}

#endif

}  // namespace rt
}  // namespace yv
