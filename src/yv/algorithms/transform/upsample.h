// Enlarging GPU arrays by interpolation: a 2-D form that samples one array into another through
// a texture, an in-place 2-D form that resizes an array, and a 4-D form that enlarges x, y and z
// trilinearly. The in-place forms replace the caller's allocation. All work runs on stream 0.
#pragma once

#include "yv/tools/array.h"

// How the 2-D forms sample: the nearest texel or bilinear between texel centres.
enum YvInterpolationType { YvInterpolationPoint = 0, YvInterpolationLinear = 1 };

namespace yv {

// Fills `out` (any extents) from `in`, output pixel centres mapped onto input positions, with
// clamping at the borders. Both arrays must lie on the device; `in` must start where its
// allocation starts.
void upsample(Array<float, 2>& out, Array<float, 2>& in, YvInterpolationType type);
void upsample(Array<float2, 2>& out, Array<float2, 2>& in, YvInterpolationType type);
void upsample(Array<float4, 2>& out, Array<float4, 2>& in, YvInterpolationType type);

// Resamples `array` (a whole device allocation) to width x height into a new pitched
// allocation and releases the old one; on failure `array` is left as it was.
// T = float, float2, float4.
template <class T>
void upsample(Array<T, 2>& array, int width, int height, YvInterpolationType type);

// Enlarges x, y and z of `array` (a whole device allocation; w keeps its extent) into a new
// pitched allocation and releases the old one; on failure `array` is left as it was.
// float samples at output centres through a 3-D texture, float4 and double at x * scale.
template <class T>
void upsample(Array<T, 4>& array, uint3 newExtents);

}  // namespace yv
