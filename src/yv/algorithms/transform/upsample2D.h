// Enlarging x and y of a 4-D GPU array plane by plane, by bilinear interpolation; z and the 4th
// axis keep their extents. Replaces the caller's allocation. All work runs on stream 0.
#pragma once

#include "yv/tools/array.h"

namespace yv {

// Enlarges x and y of `array` (a whole device allocation) to newExtents into a new pitched
// allocation and releases the old one; on failure `array` is left as it was. float samples at
// output centres through a texture, double at x * scale.
template <class T>
void upsample2D(Array<T, 4>& array, uint2 newExtents);

}  // namespace yv
