// Shrinking GPU arrays: area averaging of 2-D arrays (optionally weighted per input pixel) into a
// caller-allocated result, and separable tent filtering of 4-D arrays to new x, y and z extents,
// which replaces the caller's allocation.
#pragma once

#include <cuda_runtime.h>

#include "yv/tools/array.h"

namespace yv {

// Fills `out` (extents chosen by the caller, at most those of `in`) from `in`. A weight image
// with a null pointer selects the unweighted average; otherwise it must lie on the device and
// cover in's extents. Equal extents copy `in`. Asynchronous on `stream`.
// T = float, double, float2, float4.
template <class T>
void downsample(Array<T, 2>& out, Array<T, 2>& in, const Array<float, 2>& weights,
                cudaStream_t stream);

// Shrinks `array` to (newExtents, old w). `array` must be a whole device allocation: on success
// it describes a new pitched allocation and the old memory is released; on failure it is left
// as it was. T = float, float2, float3, float4, double, uchar4.
template <class T>
void downsample(Array<T, 4>& array, uint3 newExtents, cudaStream_t stream);

}  // namespace yv
