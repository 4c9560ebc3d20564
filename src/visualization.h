// Inspection helpers of the fused model: a display copy of a particle set that keeps only the
// points each camera sees as its nearest surface at their own pixel, coloured as rendered; and
// per-camera float images written as one three-dimensional array dump.
#pragma once

#include <string>
#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "particles.h"

// Replaces the out_ set by the points that are the nearest surface of their own camera at their
// own pixel, each with the colour the rendering of the whole model gives there. Writes the
// per-camera nearest-distance images to output_directory + "/debug/min_camdistances.dat".
// Throws std::runtime_error (outputs untouched) when the set is empty, `cameras` is empty or
// mixes image sizes, or a point's camera is not listed.
void create_particles_for_visualization(std::vector<Particle>& out_particles,
                                        std::vector<float>& out_offsets,
                                        std::vector<float3>& out_normals,
                                        const std::vector<Particle>& particles,
                                        const std::vector<float>& offsets,
                                        const std::vector<float3>& normals,
                                        const std::vector<Camera*>& cameras);

// Writes the images (all at least as large as the first) as a W x H x count float dump with its
// ".yvinfo" side file; image k forms slice k.
void saveDepthmapStack(const std::vector<CMatrix<float>>& depthmaps, std::string filename);
