// Depth ranges: of the scene from its depth maps, and of a camera from the positions of its
// neighbour cameras alone.
#pragma once

#include <cstddef>
#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "settings.h"

// What the depth range and the --depth-avg check read of one depth map, stray readings taken as
// no depth: spikes, and far clusters, groups of readings wholly beyond four times the depth of
// the bulk of the map's readings (dasp/spikes.h; none with a `superpixels` count of 0, as in the
// superpixels).
struct MapDepths {
  float min = 0.0f, max = 0.0f;  // extremes, no depth (0) included; 0 for an empty map
  double sum = 0.0;              // of the depths above 0
  std::size_t count = 0;         // depths above 0
};

// One MapDepths per map, in map order; the maps are measured side by side.
std::vector<MapDepths> measure_depth_maps(const std::vector<CMatrix<float>>& depthmaps,
                                          int superpixels = superpixel_count);

// The scene's depth range: the median (element n/2 after ordering, n the number of maps) of the
// per-map minima and of the per-map maxima; pixels without depth (0) and stray readings take part
// as pixels without depth.
void compute_depth_range(const std::vector<MapDepths>& maps, float& min_depth, float& max_depth);
void compute_depth_range(const std::vector<CMatrix<float>>& depthmaps, float& min_depth,
                         float& max_depth, int superpixels = superpixel_count);

// min_depth := 3 x the mean distance to the neighbours; max_depth := the largest depth along the
// viewing axis at which at least three neighbours still see the axis point under more than about
// 0.2 degrees (and less than 90), found to within 0.001 by bracketing. Prints both. A camera
// without neighbours is left unchanged and nothing is printed.
void estimate_keyframe_depth_range(Camera& camera);
