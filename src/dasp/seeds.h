// Where the superpixel seeds go: a per-pixel seed density from the surface area each pixel sees,
// and a deterministic error-diffusion spread of seeds that follows it.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "dasp/dasp.h"

namespace dasp {
namespace internal {

// Threads worth starting for `work` items when each thread should get at least `grain`: small
// images stay on few threads, where starting a team would cost more than it saves.
int teamSize(std::size_t work, std::size_t grain);

struct SeedDensity {
  std::vector<float> density;  // expected seeds per pixel, in [0, 1]
  float radius = 0.0f;         // world radius of one superpixel
  float mean_area = 0.0f;      // mean world area of a pixel with depth (also used for pixels without)
};

// Area of a pixel is (z / f)^2, z taken at most `max_depth` (in steps of the depth image, so that
// far readings weigh at most as much as a reading there), enlarged where the surface is slanted
// (at most 4x); pixels without depth get the mean area. With opt.count > 0 the radius is chosen
// so that the densities add up to the count (capped at width x height); otherwise it is
// opt.base_radius.
SeedDensity seedDensity(const slimage::Image1ui16& depth, const Parameters& opt,
                        float max_depth = INFINITY);

// Floyd-Steinberg diffusion on a serpentine scan: at most one seed per pixel, about as many
// seeds as the densities add up to, and at least one on a non-empty image. Pixel indices in scan
// order.
std::vector<int> spreadSeeds(const std::vector<float>& density, unsigned width, unsigned height);

}  // namespace internal
}  // namespace dasp
