// Separable filtering of 4-D device arrays along one axis, and the 3x3 median of float images.
// The calls check their arguments (std::runtime_error with the reason), queue their kernels on
// the default stream and return without waiting for them.
#pragma once

#include "yv/filtering/filter.h"
#include "yv/tools/array.h"

namespace yv {

// out = in filtered along x (y, z) with the filter and border rule, every 3-D volume of the
// 4th axis in turn. out and in must be distinct memory of equal extents on the same device.
// Instances: (T, T2) = (float, float), (float, float2), (float, float4), (double, double) with
// N = 2 .. 10.
template <class T, class T2, int N>
void filterX(Array<T2, 4>& out, const Array<T2, 4>& in, const Filter<T, N>& filter,
             BorderTreatment border);
template <class T, class T2, int N>
void filterY(Array<T2, 4>& out, const Array<T2, 4>& in, const Filter<T, N>& filter,
             BorderTreatment border);
template <class T, class T2, int N>
void filterZ(Array<T2, 4>& out, const Array<T2, 4>& in, const Filter<T, N>& filter,
             BorderTreatment border);

// Median of every pixel's 3x3 neighbourhood, edge pixels repeated outwards. out must be other
// memory with at least the extents of in; only in's extents of it are written.
void median3x3(Array<float, 2>& out, const Array<float, 2>& in);

}  // namespace yv
