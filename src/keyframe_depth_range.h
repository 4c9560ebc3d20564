// Depth ranges: of the scene from its depth maps, and of a camera from the positions of its
// neighbour cameras alone.
#pragma once

#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "settings.h"

// The depths of map `d` as the depth range and the superpixels take them, row by row: stray
// readings (spikes, and far clusters of fewer pixels than a superpixel covers when `superpixels`
// of them cut the map; none with a count of 0) set to 0, no depth.
std::vector<float> measured_depths(const CMatrix<float>& d, int superpixels);

// The scene's depth range: the median (element n/2 after ordering, n the number of maps) of the
// per-map minima and of the per-map maxima; pixels without depth (0) take part, and so do stray
// readings, as pixels without depth: spikes, and far clusters of fewer pixels than a superpixel
// covers when `superpixels` of them cut the map, far beyond the map's surfaces (dasp/spikes.h;
// none with a count of 0).
void compute_depth_range(const std::vector<CMatrix<float>>& depthmaps, float& min_depth,
                         float& max_depth, int superpixels = superpixel_count);

// min_depth := 3 x the mean distance to the neighbours; max_depth := the largest depth along the
// viewing axis at which at least three neighbours still see the axis point under more than about
// 0.2 degrees (and less than 90), found to within 0.001 by bracketing. Prints both. A camera
// without neighbours is left unchanged and nothing is printed.
void estimate_keyframe_depth_range(Camera& camera);
