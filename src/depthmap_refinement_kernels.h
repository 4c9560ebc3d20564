// Windowed colour consistency of two images of one view, the score behind depth-map refinement.
#pragma once

#include <cuda_runtime.h>

#include "yv/tools/array.h"

// Per pixel, a weighted correlation in [-1, 1] of the two images' RGBA values over the
// (2 radius + 1)^2 window around it, taken over the window pixels whose depth lies within
// max_depth_diff of the centre's (strictly) and whose second-image alpha is at least 128. Each
// colour enters as its deviation from the window's weighted mean colour, the weights
// (315 / 64 pi) (1 - u^2)^3 of the distance u from the centre in radius units (so with radius 1
// only the centre weighs, and no score exists).
// NaN in the outer `radius` rows and columns, at centres without a positive finite depth, where
// no more than half the window takes part, and where the variance product is at most 1e-6.
// All arrays are device images of the output's extents. radius: 1, 2 or 3, else
// std::runtime_error "ncc: window size not supported". Queued on the default stream.
void ncc(yv::Array<float, 2>& out, const yv::Array<uchar4, 2>& image1,
         const yv::Array<uchar4, 2>& image2, const yv::Array<float, 2>& depth,
         float max_depth_diff, int radius);
