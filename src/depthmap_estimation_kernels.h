// Stereo depth estimation on the GPU: matching-cost volumes of a reference image against second
// images (plane sweep over depth labels), the axis shift of cost volumes, the edge-adaptive
// large-jump penalty map, and the tools that turn labels into depths and smooth label images.
// The semi-global matching itself is sgm() (sgm.h).
#pragma once

#include <cuda_runtime.h>

#include "yv/runtime/cooperative_form.h"
#include "yv/tools/array.h"

// A 3 x 4 matrix, row by row, from the reference camera's frame to mirrored pixel coordinates of
// the second image: (u', v', w') = P (X, Y, Z, 1), u = u'/w', v = v'/w'.
struct alignas(16) ProjectionMatrix {
  float P[12];
};

enum class MatchingCostsMetric : int { SAD = 0, NCC = 1 };

// The matching-cost volume is a device array (W, H, L, 2): w = 0 holds cost sums, w = 1 the
// number of costs added, per reference pixel (x, y) and label l. Label l stands for the depth
// 1 / (1/depth0 + l (1/depth1 - 1/depth0) / (L - 1)). These add the costs of `image` against
// `ref_image` (device images of the volume's size); they never clear the volume.
// SAD: summed absolute RGB difference of single pixels; NCC: 1 - (ncc + 1) / 2 of 7 x 7 windows,
// each window pixel projected on its own. Any other metric adds nothing.
void add_matching_costs(yv::Array<float, 4>& costs, const yv::Array<uchar4, 2>& ref_image,
                        const yv::Array<uchar4, 2>& image, float depth0, float depth1, float fx,
                        float fy, float cx, float cy, ProjectionMatrix P,
                        MatchingCostsMetric metric);

// Plane-sweep form of the windowed cross-correlation: per label the second image is warped into
// the reference view and compared with 7 x 7 box means. `metric` is ignored. Prints the line of
// Gaussian weights and writes three dumps at label 0 into <output_directory>/debug/.
void add_matching_costs2(yv::Array<float, 4>& costs, const yv::Array<uchar4, 2>& ref_image,
                         const yv::Array<uchar4, 2>& image, float depth0, float depth1, float fx,
                         float fy, float cx, float cy, ProjectionMatrix P,
                         MatchingCostsMetric metric);

// out(z, x, y) = in(x, y, z) for device volumes; out must have extents (Z, X, Y).
void shift_dims(yv::Array<float, 3>& out, const yv::Array<float, 3>& in);
// The same with the kernel form chosen: 32 x 32 shared tiles, or eight planes of one input
// column per thread.
void shift_dims(yv::Array<float, 3>& out, const yv::Array<float, 3>& in, yv::rt::KernelForm form);
// The same mapping with one thread per element (the reference for the tiled form).
void shift_dims_naive(yv::Array<float, 3>& out, const yv::Array<float, 3>& in);
// Self test of shift_dims on a 160 x 120 x 32 volume; throws "test_shift_dims failed".
void test_shift_dims();

// edge(x, y) = RGB distance (channels / 255) of pixel (x, y) to its right neighbour plus the one
// to its lower neighbour, neighbours clamped into the image.
void compute_edge_map(yv::Array<float, 2>& edge, yv::Array<uchar4, 2> const& image);
// In place: e -> max(a, d * exp(-b * e^c)), the per-pixel large-jump penalty of sgm().
void compute_P2_costs(yv::Array<float, 2>& map, float a, float b, float c, float d);

// In place: label l -> 1 / (l (1/d1 - 1/d0) / (n - 1) + 1/d0).
void convert_labels_to_depth(yv::Array<float, 2>& labels, int n, float d0, float d1);

// 3 x 3 median of a float image (the same filter as yv::median3x3, without its checks).
void median3x3(yv::Array<float, 2>& out, yv::Array<float, 2> const& in);
