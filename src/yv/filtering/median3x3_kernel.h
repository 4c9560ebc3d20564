// The 3x3 median of one pixel of a float image, edge pixels repeated outwards. Shared by every
// median filter of the program, so that they all select alike (including their NaN outcomes).
#pragma once

#include "yv/runtime/hd.h"
#include "yv/tools/array.h"

namespace yv_filtering_kernels {

// The fifth smallest of w[0..8] by five passes of exchange selection (30 strict greater-than
// compares): after pass i, w[i] is the (i + 1)-th smallest. A NaN never compares greater, so
// it stays where it is: at w[4] it is the result, elsewhere it takes no part.
YV_HD_INLINE float select5th(float w[9]) {
  for (int i = 0; i < 5; ++i) {
    for (int j = i + 1; j < 9; ++j) {
      if (w[i] > w[j]) {
        const float t = w[i];
        w[i] = w[j];
        w[j] = t;
      }
    }
  }
  return w[4];
}

// Launched over in's extents (blocks of 16 x 16); out(x, y) = median of the window of in
// around (x, y) with coordinates clamped into the image, taken in row order from the top left.
// Reads the nine pixels directly; the clamped reads give what a shared tile would hold.
struct median3x3_kernel {
  yv::Array<float, 2> out;
  yv::Array<float, 2> in;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const unsigned xs[3] = {x > 0 ? x - 1 : 0, x, x + 1 < in.size.x ? x + 1 : in.size.x - 1};
    const unsigned ys[3] = {y > 0 ? y - 1 : 0, y, y + 1 < in.size.y ? y + 1 : in.size.y - 1};
    float w[9];
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) w[3 * r + c] = yv::at(in, xs[c], ys[r]);
    }
    yv::at(out, x, y) = select5th(w);
  }
};

}  // namespace yv_filtering_kernels
