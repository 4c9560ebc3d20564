// Depth-adaptive superpixels: cuts a colour image with a registered depth image into compact
// clusters that each cover about the same surface area in the world, so that far parts of the
// scene get more, smaller superpixels on the image than near ones.
#pragma once

#include <vector>

#include "dasp/slimage.h"

namespace dasp {

struct Parameters {
  float camera_cx = 319.5f;     // principal point of the depth camera, pixels
  float camera_cy = 239.5f;
  float camera_focal = 540.0f;  // focal length, pixels
  float depth_unit = 0.001f;    // world units per step of the depth image
  float weight_world = 4.0f;    // squared 3-D distance in superpixel radii
  float weight_color = 2.0f;    // squared colour distance in tenths of full scale
  float weight_image = 1.0f;    // squared image distance in superpixel radii seen on the image
  int iterations = 10;          // rounds of assignment and centre update
  float base_radius = 0.018f;   // superpixel radius in world units, used when count is 0
  int count = 0;                // requested number of superpixels (at most width x height)
};

struct Cluster {
  float color[3];              // mean colour in 0..1, in the channel order of the input
  std::vector<int> pixel_ids;  // y * width + x, increasing
};

struct Superpixels {
  unsigned width = 0;
  unsigned height = 0;
  float radius = 0.0f;  // superpixel radius in world units the seeds were spread for
  std::vector<Cluster> cluster;
};

// Every pixel with depth ends in at most one cluster: in none when it is a spike or lies in a far
// cluster (a group of readings wholly beyond four times the depth of the bulk of the readings:
// dasp/spikes.h; only with a count), or lies off its cluster's surface (a pixel mixing the depths
// across an edge, a stray depth). A pixel without depth is in none, except as a small hole: a
// cluster lists one that has at least two of the cluster's listed pixels as 4-neighbours, while
// 80 % of its pixels keep a depth. Spikes and far clusters shape the clusters as pixels without
// depth do (seed density, centres) but are never listed; with a count, no reading weighs more in
// the seed density than one at twice the bulk depth. Each cluster is non-empty; its region, holes
// included, is 4-connected. The result does not depend on the number of threads. Colour and depth
// images must have the same extents; otherwise std::runtime_error.
Superpixels ComputeSuperpixels(const slimage::Image3ub& color, const slimage::Image1ui16& depth,
                               const Parameters& opt);

}  // namespace dasp
