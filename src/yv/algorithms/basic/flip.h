// Mirroring a 4-D array in place along x, y or z: the element at index i along the axis moves to
// extent - 1 - i. Works on host arrays (on the calling thread) and on device arrays (queued on
// stream 0), views made by yv::block included. The w axis is never flipped.
#pragma once

#include "yv/tools/array.h"

namespace yv {

// T = int, float, float2, float3, float4, double, uchar4.
template <class T> void flipX(Array<T, 4>& a);
template <class T> void flipY(Array<T, 4>& a);
template <class T> void flipZ(Array<T, 4>& a);

}  // namespace yv
