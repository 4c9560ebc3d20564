// The selection at the heart of every 3x3 median filter of the program, shared so that they all
// select alike (including their NaN outcomes).
#pragma once

#include "yv/runtime/hd.h"

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

}  // namespace yv_filtering_kernels
