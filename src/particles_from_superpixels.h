// One oriented point per superpixel: the superpixel's pixels are lifted into the world with the
// camera's depth map and a plane is fitted through them by reweighted principal components; its
// centre and normal, the direction to the camera, the superpixel's colour and a footprint from its
// pixel count make the particle.
#pragma once

#include <Eigen/Core>
#include <cuda_runtime.h>

#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "particles.h"
#include "superpixels.h"

// Appends one point per superpixel of which at least 80 % of the pixels have a valid depth in
// `depthmap` (a superpixel without pixels gives none), in superpixel order, to the particle set.
// `model_depth` and `model_normals` are both empty or both of the depth map's extents; when given,
// a point's offset places it on the plane through the model depth and its normal is the mean model
// normal. Throws std::runtime_error for images of other extents and for superpixel pixels outside
// the depth map.
void create_particles_from_superpixels(std::vector<Particle>& particles,
                                       std::vector<float>& offsets, std::vector<float3>& normals,
                                       const std::vector<Superpixel>& superpixels,
                                       const CMatrix<float>& model_depth,
                                       const CMatrix<float3>& model_normals,
                                       const CMatrix<float>& depthmap, const Camera& camera);

// Plane through `points` by three passes of weighted principal components, each weight the inverse
// of the point's distance to the last plane (plus 0.001); the normal is turned towards the
// camera's centre. With fewer than three points: the first point, and the vector from it to the
// camera's centre as normal. `weights` is scratch. Throws std::runtime_error without points.
void fit_superpixel_plane(float3& center, float3& normal, std::vector<float>& weights,
                          const std::vector<Eigen::Vector3f>& points, const Camera& camera);
