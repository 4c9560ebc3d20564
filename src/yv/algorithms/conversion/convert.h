// yv::convert: colour images between interleaved (2-D arrays of 4-vectors) and planar (3-D arrays
// of 3 or 4 planes) layouts, with or without scaling to the unit range, and element type casts of
// 4-D arrays. Host arrays (device -1) are converted on the calling thread; device arrays by a
// kernel queued on the given stream (the call returns without waiting and checks no CUDA error).
// Arrays on different devices, or of mismatching extents, are refused with std::runtime_error
// before anything is written.
#pragma once

#include <cuda_runtime.h>

#include "yv/tools/array.h"

namespace yv {

// Layouts, values unchanged. Plane k holds component k (x, y, z, w); 3 planes drop w on the way
// in and take the fill value as w on the way out.
void convert(Array<float, 3>& out, const Array<float4, 2>& in, cudaStream_t stream);
void convert(Array<unsigned char, 3>& out, const Array<uchar4, 2>& in, cudaStream_t stream);
void convert(Array<float4, 2>& out, const Array<float, 3>& in, float fill, cudaStream_t stream);
void convert(Array<uchar4, 2>& out, const Array<unsigned char, 3>& in, unsigned char fill,
             cudaStream_t stream);

// uchar4 to planar float or double: with scale, byte / 255; without, the byte's value.
template <class T>
void convert(Array<T, 3>& out, const Array<uchar4, 2>& in, bool scale, cudaStream_t stream);

// Planar float or double to uchar4: with scale, clamped to [0, 1] and times 255 rounded; without,
// truncated and wrapped to 8 bits. The device and host paths round differently at the edges
// (negative values, halves), as they always have.
template <class T>
void convert(Array<uchar4, 2>& out, const Array<T, 3>& in, bool scale, unsigned char fill,
             cudaStream_t stream);

// Element type casts between float, int and unsigned char and their 2- and 4-vectors (18 pairs,
// no identity): int to float rounds to nearest; float to int truncates and saturates; float to
// unsigned char truncates into 32 unsigned bits and keeps the low byte; int to unsigned char keeps
// the low byte.
template <class Tout, class Tin>
void convert(Array<Tout, 4>& out, const Array<Tin, 4>& in, cudaStream_t stream);

}  // namespace yv
