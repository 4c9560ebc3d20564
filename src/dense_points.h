// The depth-map level's points: superpixel points painted back into per-camera depth and normal
// images, and dense points made from a camera's depth map guided by such a model depth image.
#pragma once

#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "particles.h"
#include "superpixels.h"

// Draws the camera's superpixel points as planes: every pixel of a point's superpixel gets the
// depth where its viewing ray meets the point's plane (0 outside (depth_min, depth_max)) and the
// point's normal. Points facing more than 70 degrees away from their camera are not drawn.
void particles_to_images(CMatrix<float>& depth_image, CMatrix<float3>& normal_image,
                         const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals,
                         const std::vector<Superpixel>& superpixels, const Camera& camera,
                         float depth_min, float depth_max);

// Appends one point per pixel where the model depth is valid: based at the measured depth (or the
// model depth where the measurement is invalid) and offset along its ray onto the model surface.
// Throws std::runtime_error when the images do not all have the depth map's size.
void create_particles_from_depthmap(std::vector<Particle>& particles, std::vector<float>& offsets,
                                    std::vector<float3>& normals,
                                    const CMatrix<float>& model_depth,
                                    const CMatrix<float3>& model_normals,
                                    const CMatrix<float>& depthmap, const CMatrix<uchar4>& image,
                                    const Camera& camera, float depth_min, float depth_max);
