// Superpixels of one camera image: the depth-adaptive superpixel library cuts the colour image,
// guided by the camera's depth map, into clusters; each becomes the list of its pixels and its
// mean colour.
#pragma once

#include <cuda_runtime.h>

#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "dasp/dasp.h"

struct Superpixel {
  std::vector<int2> pixels;        // (x, y) in the library's order
  uchar4 color = {0, 0, 0, 0};     // mean colour, bytes in the image's channel order; w is 255
};

// The library's parameters for a camera: its principal point as the file gives it (the stored
// one mirrored back unless the camera keeps it unflipped), its focal length, and the fixed
// weights and counts of the fusion.
dasp::Parameters superpixel_parameters(const Camera& camera, int count);

// Replaces `superpixels` by one element per cluster of the library's result (element i from
// cluster i). `depth` (world units, 0 = none) must have the extents of `image`; it is handed to
// the library in units of scale / 1000. `count` is the requested number of superpixels; the
// result may hold a few more or fewer. Prints one progress line; writes a debug image under
// output_directory + "/debug/" when debug_write_superpixel_image is set.
void create_superpixels(std::vector<Superpixel>& superpixels, const CMatrix<float>& depth,
                        const CMatrix<uchar4>& image, const Camera& camera, float scale,
                        int count);

// A depth in the library's units: floor(1000 * depth / scale + 0.5) in single precision. No
// depth (0, NaN, infinite) and negative values give 0; values from 65535 up saturate at 65535
// rather than wrapping round to near depths.
unsigned short superpixel_depth_value(float depth, float scale);

// A mean colour channel in 0..1 as a byte: times 255, truncated (0.5 gives 127).
unsigned char superpixel_color_channel(float c);
