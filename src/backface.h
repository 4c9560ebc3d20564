// Back-face visibility test: counts, per point, the cameras in which the point faces away from
// the camera and yet lies clearly in front of the surface the model shows that camera.
#pragma once

#include <vector>

#include "camera.h"
#include "particles.h"

// Resizes `counts` to the number of points (new entries 0, existing ones kept) and adds 1 to
// entry i for every camera in which point i is a back face (rotated normal with z > 0) and the
// smallest rendered model depth in the 3 x 3 pixels around its projection exceeds its own depth
// by more than `margin`. Pixels on the image border never count.
void backface_visibility_test(std::vector<int>& counts, const std::vector<Particle>& particles,
                              const std::vector<float>& offsets,
                              const std::vector<float3>& normals,
                              const std::vector<Camera*>& cameras, float margin);
