// The GPU passes of the splat renderer. Each call launches one pass (point passes in chunks of at
// most 65535 blocks of 128 points) and throws std::runtime_error on a pending CUDA error after
// every launch. The passes neither clear nor allocate; the operations in rendering.h do.
#pragma once

#include <utility>
#include <vector>

#include "rendering.h"

namespace render_passes {

// The launches of a point pass over n points: (block offset, block count) pairs.
std::vector<std::pair<unsigned, unsigned>> point_launch_chunks(unsigned n);

// Point passes.
// depth := min(depth, fragment depth) for the disks whose normal points towards the camera centre.
void visibility_pass(RenderBuffer& buffer, const Projection& projection, const Points& points,
                     float radius_scale);
// Gaussian-weighted colour, normal and weight sums of the fragments within a point's size of the
// depth buffer.
void attribute_pass(RenderBuffer& buffer, const Projection& projection, const Points& points,
                    float radius_scale, float depth_tolerance);
// As the attribute pass, normal sums only.
void normal_pass(RenderBuffer& buffer, const Projection& projection, const Points& points,
                 float radius_scale, float depth_tolerance);
// flags(i) := 1 when point i reaches a pixel within its size of the depth buffer, else 0.
void contribution_pass(yv::Array<int, 1>& flags, RenderBuffer& buffer,
                       const Projection& projection, const Points& points, float radius_scale,
                       float depth_tolerance);
// result := min(result, values(i) + size(i)) at the visible fragments of point i.
void min_camdistance_pass(yv::Array<float, 2>& result, const yv::Array<float, 1>& values,
                          RenderBuffer& buffer, const Projection& projection, const Points& points,
                          float radius_scale, float depth_tolerance);

// Image pass: image := colour sums / weight sum where the weight sum is not 0.
void shading_pass(RenderBuffer& buffer);

// Depth-map passes: every pixel of a source depth map is a disk facing its own camera.
void depthmap_visibility_pass(RenderBuffer& buffer, float inv_fx, float inv_fy, float cx, float cy,
                              const Projection& projection, const yv::Array<float, 2>& depthmap,
                              float radius_scale);
void depthmap_attribute_pass(RenderBuffer& buffer, float inv_fx, float inv_fy, float cx, float cy,
                             const Projection& projection, const yv::Array<float, 2>& depthmap,
                             const yv::Array<uchar4, 2>& image, float radius_scale);

}  // namespace render_passes
