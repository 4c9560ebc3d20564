#include "settings.h"

int superpixel_count = 5000;
float alpha_sp = 0.1f;
float beta_sp = 1.0f;
float alpha = 0.001f;
float beta = 1.0f;
float min_support_sp = 2.0f;
float min_support = 3.0f;
float average_depth = -1.0f;
std::string output_directory;

void reset_option_settings() {
  superpixel_count = 5000;
  alpha_sp = 0.1f;
  beta_sp = 1.0f;
  alpha = 0.001f;
  beta = 1.0f;
  min_support_sp = 2.0f;
  min_support = 3.0f;
  average_depth = -1.0f;
  output_directory.clear();
}

float gradient_descent_timestep_sp = 0.02f;
float gradient_descent_timestep = 0.005f;

float depth_range_min = -1.0f;
float depth_range_max = -1.0f;
int n_keyframes = 50;

bool use_normal_dot_weight = true;
bool debug_write_superpixel_image = false;
bool debug_images_camera_pose = false;
bool debug_depthmap = true;
bool improve_cameras = false;
bool use_backface_visibility_test = false;

int debug_ostrel_particle_iteration = 0;

const float rendering_depth_tolerance = 0.02f;

void sendParticlesToOstrel(const std::vector<Particle>&, const std::vector<float>&,
                           const std::vector<float3>&, const std::string&, int) {}
void sendCameraToOstrel(const Camera&, const std::string&, int) {}
void sendDepthmapToOstrel(const CMatrix<float>&, const Camera&, const std::string&, int, int) {}
