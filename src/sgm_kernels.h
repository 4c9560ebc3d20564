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
// large-jump penalty is P2_tex at each pixel when useP2Map is true, else P2. On `stream`; a
// launch must not run beside another one that adds into the same volume. Instantiated for the
// 32 directions of sgm(), each with both penalty sources. Refused (cudaErrorInvalidValue pending)
// when the block's two label vectors per line, 32 max(n, 32) bytes, exceed shared memory.
template <bool useP2Map, int dx, int dy>
void sgm_path_kernel(yv::Array<float, 3> aggregated, yv::Array<float, 3> costs, float P1,
                     float P2, const yv::rt::Texture2D<float>& P2_tex, cudaStream_t stream);

// labels(x, y) = the label of least aggregated cost, refined by a parabola through its
// neighbours' costs. labels must be (W, H) of the volume. Refused like the path kernel when the
// label vectors of a block, 16 n bytes, exceed shared memory.
void sgm_extract_labels(yv::Array<float, 2> labels, yv::Array<float, 3> aggregated);

// The two forms behind the entries above, with identical results: blocks of four 32-lane rows
// cooperating on four lines (the GPU's form), and one thread walking a whole line or row (on the
// host back end only; on a GPU it runs the cooperative form).
template <bool useP2Map, int dx, int dy>
void sgm_path_kernel_cooperative(yv::Array<float, 3> aggregated, yv::Array<float, 3> costs,
                                 float P1, float P2, const yv::rt::Texture2D<float>& P2_tex,
                                 cudaStream_t stream);
template <bool useP2Map, int dx, int dy>
void sgm_path_kernel_per_line(yv::Array<float, 3> aggregated, yv::Array<float, 3> costs,
                              float P1, float P2, const yv::rt::Texture2D<float>& P2_tex,
                              cudaStream_t stream);
void sgm_extract_labels_cooperative(yv::Array<float, 2> labels, yv::Array<float, 3> aggregated);
void sgm_extract_labels_per_row(yv::Array<float, 2> labels, yv::Array<float, 3> aggregated);
