// Smallest and largest element of a 2-D device array. Each 32 x 32 tile is reduced on the device,
// the per-tile results are copied back and folded on the host. Floating-point reductions skip
// NaN elements; only an all-NaN array gives NaN.
#pragma once

#include <cuda_runtime.h>

#include "yv/runtime/cooperative_form.h"
#include "yv/tools/array.h"

namespace yv {

// T = int, unsigned char, float, double. The kernel runs on `stream`, which is synchronised
// before the result is copied back.
template <class T> T Min(Array<T, 2>& a, cudaStream_t stream);
template <class T> T Max(Array<T, 2>& a, cudaStream_t stream);

// Minimum in x, maximum in y.
uchar2 MinMax(Array<unsigned char, 2>& a, cudaStream_t stream);
int2 MinMax(Array<int, 2>& a, cudaStream_t stream);
float2 MinMax(Array<float, 2>& a, cudaStream_t stream);

namespace internal {
// The same with the kernel form chosen: 32 x 32 shared tiles or one thread per tile.
template <class T> T Min(Array<T, 2>& a, cudaStream_t stream, rt::KernelForm form);
template <class T> T Max(Array<T, 2>& a, cudaStream_t stream, rt::KernelForm form);
uchar2 MinMax(Array<unsigned char, 2>& a, cudaStream_t stream, rt::KernelForm form);
int2 MinMax(Array<int, 2>& a, cudaStream_t stream, rt::KernelForm form);
float2 MinMax(Array<float, 2>& a, cudaStream_t stream, rt::KernelForm form);
}  // namespace internal

}  // namespace yv
