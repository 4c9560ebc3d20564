// Whether --depth-avg suits the scene. It sets the radii of the smoothing kernel and the support
// tests; a value far below the depth the cameras measure leaves much of the surface out of the
// model, one far above blurs it, and neither fails the run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cmatrix/CMatrix.h"
#include "keyframe_depth_range.h"
#include "settings.h"

// The mean of the valid depths of all the maps, every pixel of every map counted alike: a valid
// depth is above 0 and no stray reading (MapDepths, the rule of the depth range and the
// superpixels). `count`, when given, receives the number of valid pixels; with none the mean is
// 0. The maps' sums are added in map order, so the mean is the same for any number of threads.
double mean_valid_depth(const std::vector<MapDepths>& maps, std::size_t* count = nullptr);
double mean_valid_depth(const std::vector<CMatrix<float>>& depthmaps,
                        std::size_t* count = nullptr, int superpixels = superpixel_count);

// A warning line, ending in "\n", when depth_avg is less than half or more than twice
// mean_depth, naming that mean; empty when it is not, or when mean_depth is not above 0.
std::string depth_avg_warning(float depth_avg, double mean_depth);

// The check of a run: the warning for depth_avg against the maps' mean valid depth.
std::string depth_avg_warning(const std::vector<CMatrix<float>>& depthmaps, float depth_avg);
