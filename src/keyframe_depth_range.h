// Depth range of a camera from the positions of its neighbour cameras alone.
#pragma once

#include "camera.h"

// min_depth := 3 x the mean distance to the neighbours; max_depth := the largest depth along the
// viewing axis at which at least three neighbours still see the axis point under more than about
// 0.2 degrees (and less than 90), found to within 0.001 by bracketing. Prints both. A camera
// without neighbours is left unchanged and nothing is printed.
void estimate_keyframe_depth_range(Camera& camera);
