// Depth-map refinement by photo-consistency: every camera's depth map is tested at seven depth
// offsets against the images of its neighbour cameras (viewing axes less than 60 degrees apart),
// re-projected through the shifted depth maps and scored by windowed correlation.
#pragma once

#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"

// For each camera i (loading the cameras' images first): improved[i] is depthmaps[i] with the
// best offset of {0, +r/4, -r/4, +r/2, -r/2, +r, -r} added at every pixel (the last one where no
// offset has scores from at least three neighbours); confirmed[i] is depthmaps[i] with 0 at every
// pixel whose best score 1 - acos(mean correlation) / pi stays below the camera's threshold
// (mean - 2 sigma of the scores above 0.67, at least 0.67). Both outputs are replaced. Every map
// and image must have its camera's size, and all cameras the same size; throws
// std::runtime_error when there are fewer depth maps than cameras. Prints one progress line per
// camera.
void refine_depthmaps(std::vector<CMatrix<float>>& improved, std::vector<CMatrix<float>>& confirmed,
                      const std::vector<CMatrix<float>>& depthmaps,
                      const std::vector<Camera*>& cameras, float radius);
