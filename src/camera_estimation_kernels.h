// GPU side of the pose refinement: per pixel, the colour residual between a camera's real image
// warped by a candidate pose change and a rendering of the model, its derivative with respect to
// the six pose parameters, and the clean-up that turns every unusable pixel into zeros.
//
// Layer conventions: residual images have 3 layers (red, green, blue); gradient images 6 (x
// derivatives of red, green, blue, then their y derivatives); Jacobian images 18, layer 3k + c the
// derivative of channel c with respect to parameter k (rotation about x, y, z, translation along
// x, y, z). A rejected pixel carries NaN in layer 0 of the kernel's output only.
#pragma once

#include "rendering.h"
#include "yv/tools/array.h"

// out(x, y, c) := in(x, y).c / 255 for red, green and blue.
void convertToFloat(yv::Array<float, 3>& out, const yv::Array<uchar4, 2>& in);

// Residual real(warped) - rendered per channel for every pixel of `rendered`, each pixel of the
// rendering carried by its depth through `proj` (the candidate transform and the view's
// intrinsics) into the real image, which is read bilinearly. Rejected: no depth (FLT_MAX),
// carried behind the camera or outside the view, or a residual longer than max_color_diff. inv_fx, inv_fy, cx, cy
// back-project the rendering's pixels. Throws "computeDifferenceImage: texture offset is not 0"
// when `real` does not start at a texture-aligned address.
void computeDifferenceImage(yv::Array<float, 3>& out, const yv::Array<uchar4, 2>& real,
                            const yv::Array<uchar4, 2>& rendered, const yv::Array<float, 2>& depth,
                            float max_color_diff, const Projection& proj, float inv_fx,
                            float inv_fy, float cx, float cy);

// Jacobian of the residual (18 layers) from the image gradient (6 layers) read bilinearly at the
// warped positions: the derivative with respect to x, at x = 0, of the residual under proj's
// transform with the increment x composed onto it as pose_compose does. Pixels rejected as by computeDifferenceImage (without the
// colour test).
void computeGradientPsi(yv::Array<float, 3>& out, const yv::Array<float, 3>& gradient,
                        const yv::Array<float, 2>& depth, const Projection& proj, float inv_fx,
                        float inv_fy, float cx, float cy);

// Zeroes every layer of each pixel with a non-finite value in layer 0, 3, 6, ... and returns the
// number of such pixels. When valid.ptr is not null, valid(x, y) := (0, 200, 0, 1) for a kept
// pixel, (0, 0, 0, 1) for a zeroed one without depth, (200, 0, 0, 1) for another zeroed one.
int setNANtoZero(yv::Array<float, 3>& data, yv::Array<uchar4, 2> valid,
                 yv::Array<float, 2>& depth);
