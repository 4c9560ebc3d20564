// Process-wide settings of a run: the command line fills some, the driver computes others, and
// the stages read them directly. Also the hooks through which data would reach the outside
// Ostrel viewer; they do nothing in this program.
#pragma once

#include <cuda_runtime.h>

#include <string>
#include <vector>

#include "cmatrix/CMatrix.h"
#include "particles.h"

struct Camera;

// Options of the command line (built-in values when not given).
extern int superpixel_count;  // --superpixels
extern float alpha_sp;        // --alpha-sp
extern float beta_sp;         // --beta-sp
extern float alpha;           // --alpha
extern float beta;            // --beta
extern float min_support_sp;  // --min-support-sp
extern float min_support;     // --min-support
extern float average_depth;   // --depth-avg
extern std::string output_directory;  // --out-dir
// Puts the settings above back to their built-in values.
void reset_option_settings();

// Fixed time steps of the filter passes.
extern float gradient_descent_timestep_sp;
extern float gradient_descent_timestep;

// Computed by the driver from the scene.
extern float depth_range_min;  // median of the per-map minima
extern float depth_range_max;  // median of the per-map maxima
extern int n_keyframes;        // number of camera files

// Switches no option sets.
extern bool use_normal_dot_weight;
extern bool debug_write_superpixel_image;
extern bool debug_images_camera_pose;
extern bool debug_depthmap;
extern bool improve_cameras;
extern bool use_backface_visibility_test;

// Sequence number handed to sendParticlesToOstrel; only grows.
extern int debug_ostrel_particle_iteration;

// Depth tolerance of the render operations of the back-face test and the visualisation points.
extern const float rendering_depth_tolerance;

// Viewer hooks (empty).
void sendParticlesToOstrel(const std::vector<Particle>& particles,
                           const std::vector<float>& offsets,
                           const std::vector<float3>& normals, const std::string& name,
                           int sequence);
void sendCameraToOstrel(const Camera& camera, const std::string& name, int sequence);
void sendDepthmapToOstrel(const CMatrix<float>& depthmap, const Camera& camera,
                          const std::string& name, int a, int b);
