// Pose and depth-map refinement on a generated scene: a disturbed camera finds its pose again,
// depth maps pushed off the surface come back to it, and a run with the refinement cycles writes
// valid models.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "camera.h"
#include "camera_pose.h"
#include "cublas_dynamic.h"
#include "dense_points.h"
#include "depthmap_refinement.h"
#include "driver.h"
#include "rendering.h"
#include "yv/tools/copy.h"
#include "settings.h"
#include "support/test_support.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// run_tessivar with the refinement cycles on and `work` as the working folder; its standard
// output in `out`, -1 when it throws.
int runRefining(std::vector<std::string> args, const std::string& work, std::string& out) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(work);
  improve_cameras = true;
  testing::internal::CaptureStdout();
  int code = -1;
  try {
    code = run_tessivar(int(args.size()), argv.data());
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  out = testing::internal::GetCapturedStdout();
  improve_cameras = false;
  std::filesystem::current_path(cwd);
  return code;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Pose of a camera as its rotation (column by column) and centre.
struct Pose {
  float R[9];
  float3 C;
};

Pose poseOf(const Camera& c) {
  Pose p;
  for (int i = 0; i < 9; ++i) p.R[i] = c.R[i];
  // C = -R^T t
  p.C = make_float3(-(c.R[0] * c.t.x + c.R[1] * c.t.y + c.R[2] * c.t.z),
                    -(c.R[3] * c.t.x + c.R[4] * c.t.y + c.R[5] * c.t.z),
                    -(c.R[6] * c.t.x + c.R[7] * c.t.y + c.R[8] * c.t.z));
  return p;
}

// Angle of the rotation between two poses, and the distance of their centres.
double rotationError(const Pose& a, const Pose& b) {
  double trace = 0;
  for (int i = 0; i < 9; ++i) trace += double(a.R[i]) * b.R[i];  // trace(A^T B)
  return std::acos(std::min(1.0, std::max(-1.0, (trace - 1.0) / 2.0)));
}
double centreError(const Pose& a, const Pose& b) {
  const double dx = a.C.x - b.C.x, dy = a.C.y - b.C.y, dz = a.C.z - b.C.z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// camera := T(p) o camera, the same motion the refinement applies.
void disturb(Camera& c, const float p[6]) {
  float Rp[9], tp[3];
  pose_increment(p, Rp, tp);
  float R[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      float s = 0;
      for (int k = 0; k < 3; ++k) s += Rp[3 * i + k] * c.R[3 * j + k];
      R[3 * j + i] = s;
    }
  for (int i = 0; i < 9; ++i) c.R[i] = R[i];
  const float3 t = c.t;
  c.t = make_float3(Rp[0] * t.x + Rp[1] * t.y + Rp[2] * t.z + tp[0],
                    Rp[3] * t.x + Rp[4] * t.y + Rp[5] * t.z + tp[1],
                    Rp[6] * t.x + Rp[7] * t.y + Rp[8] * t.z + tp[2]);
}

// Four neighbouring cameras (viewing axes at most about 55 degrees apart) of an eight-camera arc
// around the generated scene, with their exact depth maps.
class RefinementScene : public testing::Test {
 protected:
  static constexpr int kCameras = 4;
  static tessivar_test::TempDir* dir_;
  static std::vector<std::string> files_;
  static float depthAvg_;

  static void SetUpTestSuite() {
    dir_ = new tessivar_test::TempDir();
    const char* build = std::getenv("TESSIVAR_BUILD_DIR");
    const std::string cmd = std::string(build ? build : ".") + "/make_scene --out '" +
                            dir_->file("scene") + "' --cameras 8 --width 128 --height 104 > '" +
                            dir_->file("make_scene.log") + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << slurp(dir_->file("make_scene.log"));
    for (int i = 2; i < 2 + kCameras; ++i)
      files_.push_back(dir_->file("scene/camera_0" + std::to_string(i) + ".txt"));
    depthAvg_ = std::stof(slurp(dir_->file("scene/depth_avg.txt")));
  }
  static void TearDownTestSuite() {
    delete dir_;
    files_.clear();
  }

  void SetUp() override {
    ASSERT_FALSE(files_.empty());
    cameras_.resize(kCameras);
    depth_.resize(kCameras);
    for (int i = 0; i < kCameras; ++i) {
      read_camera_file(files_[i], i, cameras_[i], depth_[i]);
      list_.push_back(&cameras_[i]);
    }
  }

  std::vector<Camera> cameras_;
  std::vector<Camera*> list_;
  std::vector<CMatrix<float>> depth_;
};

tessivar_test::TempDir* RefinementScene::dir_ = nullptr;
std::vector<std::string> RefinementScene::files_;
float RefinementScene::depthAvg_ = 0.f;

}  // namespace

TEST_F(RefinementScene, PoseRefinementRecoversADisturbedCamera) {
  cublas_dynamic.load();
  // The model: every camera's depth map as points facing their camera.
  std::vector<Particle> particles;
  std::vector<float> offsets;
  std::vector<float3> normals;
  for (int i = 0; i < kCameras; ++i) {
    CMatrix<float3> n(depth_[i].xSize, depth_[i].ySize);
    for (int k = 0; k < n.xSize * n.ySize; ++k) n.data[k] = make_float3(0, 0, 0);
    create_particles_from_depthmap(particles, offsets, normals, depth_[i], n, depth_[i],
                                   cameras_[i].image, cameras_[i], 0.1f, 100.f);
  }
  for (std::size_t k = 0; k < particles.size(); ++k) normals[k] = particles[k].direction;
  ASSERT_GT(particles.size(), 20000u);

  Camera& c = cameras_[1];
  const Pose truth = poseOf(c);
  {
    // The camera's image as the model draws it at the true pose, so that the true pose is the
    // exact optimum (against the photograph the splat blur leaves a bias of about half a pixel).
    RenderBuffer buffer = createRenderBuffer(c.width, c.height);
    Points points = createPoints(particles, offsets, normals);
    render_points(buffer, points, c, 0.02f, 0.f, FLT_MAX, 1.f);
    yv::Array<uchar4, 2> view = yv::arrayFromHostMemory(c.image.data, unsigned(c.width),
                                                        unsigned(c.height));
    yv::arrayCopy(view, buffer.image);
    releasePoints(points);
    releaseRenderBuffer(buffer);
  }
  const float p[6] = {0.012f, -0.01f, 0.008f, 0.015f, -0.01f, 0.012f};
  disturb(c, p);
  const Pose start = poseOf(c);

  // A pyramid whose coarsest level is larger than the image runs no level: nothing moves. (The
  // run below, 104 rows high, takes this road too.)
  compute_camera_pose(c, particles, offsets, normals, 0.02f, 0.5f, 1000);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(c.R[i], start.R[i]);

  compute_camera_pose(c, particles, offsets, normals, 0.02f, 0.5f, 26);
  const Pose end = poseOf(c);
  EXPECT_LT(rotationError(end, truth), 0.1 * rotationError(start, truth));
  EXPECT_LT(centreError(end, truth), 0.1 * centreError(start, truth));
  // The record's centre follows the new pose.
  EXPECT_NEAR(c.center.x, end.C.x, 1e-5f);
  EXPECT_NEAR(c.center.y, end.C.y, 1e-5f);
  EXPECT_NEAR(c.center.z, end.C.z, 1e-5f);
}

TEST_F(RefinementScene, DepthMapsPushedOffTheSurfaceComeBack) {
  const float r = 4.f * depthAvg_ / cameras_[0].K[0];
  std::vector<CMatrix<float>> pushed = depth_;
  for (CMatrix<float>& d : pushed)
    for (int k = 0; k < d.xSize * d.ySize; ++k)
      if (d.data[k] > 0.f) d.data[k] += 0.5f * r;

  std::vector<CMatrix<float>> improved(1), confirmed(3);  // replaced by the call
  testing::internal::CaptureStdout();
  refine_depthmaps(improved, confirmed, pushed, list_, r);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(improved.size(), std::size_t(kCameras));
  ASSERT_EQ(confirmed.size(), std::size_t(kCameras));
  EXPECT_EQ(out.rfind("\n Improving depth values for camera 0  ... threshold ", 0), 0u) << out;

  for (int i = 0; i < kCameras; ++i) {
    const int n = depth_[i].xSize * depth_[i].ySize;
    int valid = 0, kept = 0, back = 0;
    for (int k = 0; k < n; ++k) {
      if (depth_[i].data[k] <= 0.f) continue;
      ++valid;
      if (confirmed[i].data[k] == 0.f) continue;
      // The confirmed map keeps the depth it was given.
      ASSERT_EQ(confirmed[i].data[k], pushed[i].data[k]);
      ++kept;
      if (std::fabs(improved[i].data[k] - depth_[i].data[k]) < 0.125f * r) ++back;
    }
    EXPECT_GT(kept, valid / 4) << "camera " << i;
    EXPECT_GT(back, (7 * kept) / 10) << "camera " << i << ": " << back << " of " << kept;
  }
}

TEST_F(RefinementScene, RunWithRefinementCyclesWritesValidModels) {
  const std::string outDir = dir_->file("run");
  std::vector<std::string> args = {"tessivar", "-o", outDir, "--depth-avg",
                                   std::to_string(depthAvg_), "--superpixels", "100", "--"};
  args.insert(args.end(), files_.begin(), files_.end());
  tessivar_test::TempDir work;
  std::string out;
  ASSERT_EQ(runRefining(args, work.path(), out), 0) << out;

  EXPECT_EQ(count(out, " refine depth maps radius "), 3u);
  EXPECT_EQ(count(out, "#PARTICLES = "), 3u);
  EXPECT_EQ(count(out, " Filter particles,"), 5u);  // one superpixel pass, four dense passes

  for (const char* name : {"/model_superpixel.ply", "/model.ply"}) {
    const std::string text = slurp(outDir + name);
    const std::size_t end = text.find("end_header\n");
    ASSERT_NE(end, std::string::npos) << name;
    const std::size_t v = text.find("element vertex ");
    ASSERT_NE(v, std::string::npos) << name;
    const long vertices = std::stol(text.substr(v + 15));
    EXPECT_GT(vertices, 100) << name;
    EXPECT_EQ(text.size() - (end + 11), std::size_t(vertices) * 31) << name;
    // Every coordinate and normal of the model is a number.
    for (long i = 0; i < vertices; ++i) {
      float f[6];
      std::memcpy(f, text.data() + end + 11 + i * 31, sizeof f);
      for (float x : f) ASSERT_TRUE(std::isfinite(x)) << name << " vertex " << i;
    }
  }
  for (const char* dump : {"debug_rendered_depthmaps.dat", "debug_improved_depthmaps.dat",
                           "debug_current_particles_depthmaps.dat"})
    EXPECT_TRUE(std::filesystem::exists(outDir + "/debug/" + dump)) << dump;
}

TEST(PosePyramid, TopLevelAndScalesThatGiveNoLevelCount) {
  EXPECT_EQ(pose_pyramid_top_level(0.98f, 28, 104), 64);  // fine pyramids are not capped
  EXPECT_EQ(pose_pyramid_top_level(0.98f, 110, 480), 72);
  EXPECT_EQ(pose_pyramid_top_level(0.5f, 110, 480), 2);
  EXPECT_EQ(pose_pyramid_top_level(0.5f, 480, 480), 0);
  EXPECT_EQ(pose_pyramid_top_level(0.5f, 1000, 480), -1);
  // A scale of 1 (infinite or not a number) and a min_size of 0 or below give no level.
  EXPECT_EQ(pose_pyramid_top_level(1.f, 110, 480), -1);
  EXPECT_EQ(pose_pyramid_top_level(1.f, 480, 480), -1);
  EXPECT_EQ(pose_pyramid_top_level(0.5f, 0, 480), -1);
  EXPECT_EQ(pose_pyramid_top_level(0.5f, -4, 480), -1);
}

TEST_F(RefinementScene, PoseRefinementNeedsCublas) {
  Camera& c = cameras_[1];
  const CublasDynamic loaded = cublas_dynamic;
  cublas_dynamic = CublasDynamic{};
  const std::vector<Particle> one(1);
  EXPECT_THROW_MESSAGE(compute_camera_pose(c, one, {0.f}, {make_float3(0, 0, 1)}, 0.02f, 0.5f, 26),
                       "compute_camera_pose: cuBLAS is not loaded");
  EXPECT_THROW_MESSAGE(compute_camera_pose(c, cameras_[0], depth_[0], 0.5f, 26),
                       "compute_camera_pose: cuBLAS is not loaded");
  cublas_dynamic = loaded;
}

TEST_F(RefinementScene, RunWithRefinementCyclesAndNoDensePoints) {
  // No point has the support asked for: every cycle finds the dense set empty and is skipped.
  const std::string outDir = dir_->file("empty");
  std::vector<std::string> args = {"tessivar", "-o", outDir, "--depth-avg",
                                   std::to_string(depthAvg_), "--superpixels", "60",
                                   "--min-support", "1e30", "--"};
  args.insert(args.end(), files_.begin(), files_.end());
  tessivar_test::TempDir work;
  std::string out;
  ASSERT_EQ(runRefining(args, work.path(), out), 0) << out;
  EXPECT_EQ(count(out, "#PARTICLES"), 0u) << out;
  EXPECT_EQ(count(out, " refine depth maps radius "), 0u) << out;
  EXPECT_EQ(count(out, " Filter particles,"), 5u) << out;
  const std::string model = slurp(outDir + "/model.ply");
  EXPECT_NE(model.find("element vertex 0\n"), std::string::npos) << model.substr(0, 300);
}

TEST_F(RefinementScene, RunWithRefinementCyclesAndAMissingCameraWritesNoDebugFolder) {
  const std::string outDir = dir_->file("missing");
  std::vector<std::string> args = {"tessivar", "-o", outDir, "--depth-avg", "1", "--",
                                   files_[0], dir_->file("no_such_camera.txt")};
  tessivar_test::TempDir work;
  std::string out;
  testing::internal::CaptureStderr();
  const int code = runRefining(args, work.path(), out);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("does not exist"), std::string::npos) << err;
  // The output folder is all that was made.
  EXPECT_TRUE(std::filesystem::is_directory(outDir));
  EXPECT_FALSE(std::filesystem::exists(outDir + "/debug"));
}
