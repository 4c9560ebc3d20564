// Launch entries of the semi-global-matching kernels (sgm_kernels.cu): the cost fix, the path
// aggregation in one direction and the label extraction. Volumes are label-major: (label,
// column, row), the labels of one pixel contiguous. Each entry queues its kernel and checks
// nothing; a refused launch leaves its error pending.
#pragma once

#include <cuda_runtime.h>

#include "yv/runtime/texture.h"
#include "yv/tools/array.h"

// Replaces every cost that is not finite by 1000.0, in place.
void sgm_fix_matching_costs2(yv::Array<float, 3> costs);

// Adds the path costs of direction (dx, dy) to `aggregated` (same extents as `costs`). The
// large-jump penalty is P2_tex at each pixel when useP2Map is true, else P2. `scratch` holds two
// label vectors per line: at least 2 n x max(W, H) floats, not shared with a concurrent launch.
// Instantiated for the 32 directions of sgm(), each with both penalty sources.
template <bool useP2Map, int dx, int dy>
void sgm_path_kernel(yv::Array<float, 3> aggregated, yv::Array<float, 3> costs, float P1,
                     float P2, const yv::rt::Texture2D<float>& P2_tex,
                     yv::Array<float, 2> scratch, cudaStream_t stream);

// labels(x, y) = the label of least aggregated cost, refined by a parabola through its
// neighbours' costs. labels must be (W, H) of the volume.
void sgm_extract_labels(yv::Array<float, 2> labels, yv::Array<float, 3> aggregated);
