// Camera pose refinement: corrects a camera's rotation and translation so that its own colour
// image matches a rendering seen from it, by Gauss-Newton steps on an image pyramid (coarse to
// fine). Normal equations are formed through cublas_dynamic, which must be loaded first.
#pragma once

#include <cuda_runtime.h>

#include <vector>

#include "camera.h"
#include "cmatrix/CMatrix.h"
#include "particles.h"

// Aligns the camera with renderings of the point model. `radius` is the renderings' depth
// tolerance; the pyramid has floor(log(min_size / height) / log(pyramid_scale)) levels below
// full size. Rewrites camera.R, camera.t and camera.center, or none of them when it throws; the
// particle set is unchanged. A refined pose that fits the image worse than the given one at full
// size is not kept: the camera keeps its pose, and a line on standard output says so.
void compute_camera_pose(Camera& camera, const std::vector<Particle>& particles,
                         const std::vector<float>& values, const std::vector<float3>& normals,
                         float radius, float pyramid_scale, int min_size);

// Aligns the camera with the reference camera's depth map and colour image drawn into the
// camera's current view. Rewrites camera.R, camera.t and camera.center, or none of them when it
// throws; the reference is unchanged. Keeps the given pose as the form above does.
void compute_camera_pose(Camera& camera, const Camera& reference,
                         const CMatrix<float>& reference_depth, float pyramid_scale,
                         int min_size);

// Index of the coarsest pyramid level, floor(log(min_size / height) / log(pyramid_scale)) in
// single precision; -1 (no level runs) when that is negative, not a number, infinite or beyond
// int.
int pose_pyramid_top_level(float pyramid_scale, int min_size, int height);

// The incremental transform of the six pose parameters (rotations about x, y, z in radians,
// then a translation): R(p) = Rx(p0) Ry(p1) Rz(p2), row by row, and t(p) = (p3, p4, p5).
void pose_increment(const float p[6], float R[9], float t[3]);

// The parameters p of a transform (R row by row, t) with R = Rx(p0) Ry(p1) Rz(p2): the inverse
// of pose_increment for rotations about y within +-90 degrees.
void pose_parameters(const float R[9], const float t[3], float p[6]);

// R := R R(x), t := t + t(x), R row by row: the rotation of the increment turns the point before
// R, its translation is added after. A Gauss-Newton step linearised at (R, t) solves for such an
// increment x; the pose kernels' Jacobian is the derivative of exactly this composition.
void pose_compose(const float x[6], float R[9], float t[3]);
