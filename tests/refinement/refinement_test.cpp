// Pose and depth-map refinement on a generated scene: a disturbed camera finds its pose again
// against the model or another camera's depth map, the pyramid runs all its levels and writes its
// debug images, depth maps pushed off the surface come back to it, and runs with the refinement
// cycles write valid models.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

// Writes a generated scene of `cameras` cameras on an arc into `dir`; false, with make_scene's
// output in `log`, when that fails.
bool makeScene(const std::string& dir, int cameras, int width, int height, std::string& log) {
  const char* build = std::getenv("TESSIVAR_BUILD_DIR");
  const std::string logFile = dir + ".log";
  const std::string cmd = std::string(build ? build : ".") + "/make_scene --out '" + dir +
                          "' --cameras " + std::to_string(cameras) + " --width " +
                          std::to_string(width) + " --height " + std::to_string(height) + " > '" +
                          logFile + "' 2>&1";
  const bool ok = std::system(cmd.c_str()) == 0;
  log = slurp(logFile);
  return ok;
}

// run_tessivar with the refinement cycles on and `work` as the working folder; its standard
// output in `out`, -1 when it throws.
int runRefining(std::vector<std::string> args, const std::string& work, std::string& out) {
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(work);
  improve_cameras = true;
  const int code = tessivar_test::runInProcess(std::move(args), out);
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

// A disturbance of `degrees` about a unit axis and `metres` along a unit direction, both spread
// over the three axes by `seed`, as pose parameters.
void disturbance(int seed, float degrees, float metres, float p[6]) {
  const float a = 1.3f * float(seed) + 0.4f, b = 2.1f * float(seed) + 1.f;
  const float axis[3] = {std::cos(a) * std::sin(b), std::sin(a) * std::sin(b), std::cos(b)};
  const float dir[3] = {std::sin(b + a), std::cos(a) * std::cos(b + a),
                        std::sin(a) * std::cos(b + a)};
  const float n = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
  for (int k = 0; k < 3; ++k) {
    p[k] = axis[k] * degrees * float(M_PI / 180.0);
    p[3 + k] = dir[k] / n * metres;
  }
}

// Four neighbouring cameras (viewing axes at most about 55 degrees apart) of an eight-camera arc
// around the generated scene, with their exact depth maps.
class RefinementScene : public testing::Test {
 protected:
  static constexpr int kCameras = 4;
  static tessivar_test::TempDir* dir_;
  static std::vector<std::string> files_;
  static float depthAvg_;

  static void SetUpTestSuite() { makeSuiteScene(128, 104); }
  static void makeSuiteScene(int width, int height) {
    dir_ = new tessivar_test::TempDir();
    std::string log;
    ASSERT_TRUE(makeScene(dir_->file("scene"), 8, width, height, log)) << log;
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

  // The model: every camera's depth map as points facing their camera.
  void buildModel() {
    for (int i = 0; i < kCameras; ++i) {
      CMatrix<float3> n(depth_[i].xSize, depth_[i].ySize);
      for (int k = 0; k < n.xSize * n.ySize; ++k) n.data[k] = make_float3(0, 0, 0);
      create_particles_from_depthmap(particles_, offsets_, normals_, depth_[i], n, depth_[i],
                                     cameras_[i].image, cameras_[i], 0.1f, 100.f);
    }
    for (std::size_t k = 0; k < particles_.size(); ++k) normals_[k] = particles_[k].direction;
  }

  // Replaces the camera's image by the model as it draws it at the camera's pose, so that this
  // pose is the exact optimum (against the photograph the splat blur leaves a bias of about half
  // a pixel).
  void drawModelInto(Camera& c) {
    RenderBuffer buffer = createRenderBuffer(c.width, c.height);
    Points points = createPoints(particles_, offsets_, normals_);
    render_points(buffer, points, c, 0.02f, 0.f, FLT_MAX, 1.f);
    yv::Array<uchar4, 2> view = yv::arrayFromHostMemory(c.image.data, unsigned(c.width),
                                                        unsigned(c.height));
    yv::arrayCopy(view, buffer.image);
    releasePoints(points);
    releaseRenderBuffer(buffer);
  }

  // The errors of a pose against `truth` before and after one refinement, and whether the
  // refinement said it kept the given pose.
  struct Errors {
    double rotation_from, rotation_to, centre_from, centre_to;
    bool kept;
  };
  // Disturbs `c` by `p` and refines it against the model with a coarsest level of `min_size`
  // rows; prints the errors on a line opened by `what`.
  Errors refineDisturbed(Camera& c, const Pose& truth, const float p[6], int min_size,
                         const std::string& what) {
    disturb(c, p);
    const Camera given = c;
    const Pose from = poseOf(c);
    testing::internal::CaptureStdout();
    compute_camera_pose(c, particles_, offsets_, normals_, 0.02f, 0.5f, min_size);
    const std::string said = testing::internal::GetCapturedStdout();
    const Pose end = poseOf(c);
    const Errors e{rotationError(from, truth), rotationError(end, truth), centreError(from, truth),
                   centreError(end, truth), said.find("given pose kept") != std::string::npos};
    std::printf("%s: rotation %.4f -> %.5f rad, centre %.4f -> %.5f m%s\n", what.c_str(),
                e.rotation_from, e.rotation_to, e.centre_from, e.centre_to,
                e.kept ? ", given pose kept" : "");
    if (e.kept) {  // bit for bit
      EXPECT_EQ(std::memcmp(c.R, given.R, sizeof c.R), 0) << what;
      EXPECT_EQ(std::memcmp(&c.t, &given.t, sizeof c.t), 0) << what;
      EXPECT_EQ(std::memcmp(&c.center, &given.center, sizeof c.center), 0) << what;
    }
    return e;
  }

  std::vector<Camera> cameras_;
  std::vector<Camera*> list_;
  std::vector<CMatrix<float>> depth_;
  std::vector<Particle> particles_;
  std::vector<float> offsets_;
  std::vector<float3> normals_;
};

// The disturbance the pose tests start from.
const float kDisturbance[6] = {0.012f, -0.01f, 0.008f, 0.015f, -0.01f, 0.012f};

void expectSamePose(const Camera& c, const float R[9], float3 t) {
  for (int i = 0; i < 9; ++i) EXPECT_EQ(c.R[i], R[i]) << i;
  EXPECT_EQ(c.t.x, t.x);
  EXPECT_EQ(c.t.y, t.y);
  EXPECT_EQ(c.t.z, t.z);
}

// Names of the files in `dir` that begin with `prefix`, sorted.
std::vector<std::string> filesStartingWith(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Width and height from a PNG file's header (0, 0 when it is too short to have one).
std::pair<unsigned, unsigned> pngSize(const std::string& path) {
  const std::string b = slurp(path);
  if (b.size() < 24) return {0, 0};
  const auto be = [&](std::size_t at) {
    return (unsigned(uint8_t(b[at])) << 24) | (unsigned(uint8_t(b[at + 1])) << 16) |
           (unsigned(uint8_t(b[at + 2])) << 8) | unsigned(uint8_t(b[at + 3]));
  };
  return {be(16), be(20)};
}

// Runs `f` with `dir` as the working folder.
template <class F>
void inFolder(const std::string& dir, F f) {
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  try {
    f();
  } catch (...) {
    std::filesystem::current_path(cwd);
    throw;
  }
  std::filesystem::current_path(cwd);
}

tessivar_test::TempDir* RefinementScene::dir_ = nullptr;
std::vector<std::string> RefinementScene::files_;
float RefinementScene::depthAvg_ = 0.f;

}  // namespace

TEST_F(RefinementScene, PoseRefinementFromACoarsestLevelOfAboutThirtyRows) {
  cublas_dynamic.load();
  buildModel();
  ASSERT_GT(particles_.size(), 20000u);

  Camera& c = cameras_[1];
  const Pose truth = poseOf(c);
  drawModelInto(c);
  const Camera drawn = c;
  disturb(c, kDisturbance);
  const Pose start = poseOf(c);
  const float3 startT = c.t;

  // A pyramid whose coarsest level is larger than the image runs no level: nothing moves.
  compute_camera_pose(c, particles_, offsets_, normals_, 0.02f, 0.5f, 1000);
  expectSamePose(c, start.R, startT);
  // Nor does an empty model.
  compute_camera_pose(c, {}, {}, {}, 0.02f, 0.5f, 26);
  expectSamePose(c, start.R, startT);

  // Levels 2 (32 x 26), 1 and 0, from about 1 degree and 2 cm off, against the model drawn at
  // the true pose: a run ends within 3 mrad and 3 mm, or keeps the pose it was given where the
  // steps did worse (about 1 run in 2,000). (The renderings' float sums are formed in a varying
  // order, so the runs differ.)
  ASSERT_EQ(pose_pyramid_top_level(0.5f, 26, c.height), 2);
  for (int rep = 0; rep < 10; ++rep) {
    c = drawn;
    const std::string what = "repetition " + std::to_string(rep);
    const Errors e = refineDisturbed(c, truth, kDisturbance, 26, what);
    if (e.kept) continue;  // the record as it was given
    EXPECT_LT(e.rotation_to, 0.003) << what;
    EXPECT_LT(e.centre_to, 0.003) << what;
    // The record's centre follows the new pose.
    const Pose end = poseOf(c);
    EXPECT_NEAR(c.center.x, end.C.x, 1e-5f);
    EXPECT_NEAR(c.center.y, end.C.y, 1e-5f);
    EXPECT_NEAR(c.center.z, end.C.z, 1e-5f);
  }
}

// A coarsest level of 13 rows (16 x 13 pixels) draws the model too coarsely for its steps: in
// some directions they carry the pose metres from the truth, out of reach of the finer levels.
// On one thread the renderings' sums come in one order and every run is the same: from 1 degree
// and 2 cm off, directions 1, 2 and 4 run away and keep the pose they were given, 0 and 3 end
// within 0.6 mrad and 0.9 mm. (Direction 5 ends 0.21 m off, in a pose that fits the image better
// than the given one; with more threads any direction may end near the truth, run away, or end
// there.)
TEST_F(RefinementScene, PoseRefinementFromACoarsestLevelOfThirteenRows) {
  struct OneThread {
    const int threads = omp_get_max_threads();
    OneThread() { omp_set_num_threads(1); }
    ~OneThread() { omp_set_num_threads(threads); }
  } one;
  cublas_dynamic.load();
  buildModel();
  Camera& c = cameras_[1];
  const Pose truth = poseOf(c);
  drawModelInto(c);
  const Camera drawn = c;
  ASSERT_EQ(pose_pyramid_top_level(0.5f, 13, c.height), 3);
  for (int direction = 0; direction < 5; ++direction) {
    c = drawn;
    float p[6];
    disturbance(direction, 1.f, 0.02f, p);
    const std::string what = "direction " + std::to_string(direction);
    const Errors e = refineDisturbed(c, truth, p, 13, what);
    EXPECT_EQ(e.kept, direction == 1 || direction == 2 || direction == 4) << what;
    if (e.kept) continue;
    EXPECT_LT(e.rotation_to, 0.001) << what;
    EXPECT_LT(e.centre_to, 0.001) << what;
  }
}

TEST_F(RefinementScene, PoseRefinementAgainstAReferenceDepthMap) {
  cublas_dynamic.load();
  Camera& c = cameras_[1];
  const Pose truth = poseOf(c);
  disturb(c, kDisturbance);
  const Pose start = poseOf(c);
  const float3 startT = c.t;

  // A reference map without a single depth draws nothing: every level ends after one rendering
  // with the pose as it was.
  CMatrix<float> none(depth_[0].xSize, depth_[0].ySize);
  for (float value : {0.f, FLT_MAX}) {
    for (int k = 0; k < none.xSize * none.ySize; ++k) none.data[k] = value;
    compute_camera_pose(c, cameras_[0], none, 0.5f, 26);
    expectSamePose(c, start.R, startT);
  }

  // Camera 0's exact depth map and photograph drawn into the disturbed view pull it back,
  // through levels 2 (32 x 26), 1 and 0.
  const Pose reference = poseOf(cameras_[0]);
  compute_camera_pose(c, cameras_[0], depth_[0], 0.5f, 26);
  const Pose end = poseOf(c);
  EXPECT_LT(rotationError(end, truth), 0.5 * rotationError(start, truth));
  EXPECT_LT(centreError(end, truth), 0.5 * centreError(start, truth));
  // The reference stays where it was.
  for (int i = 0; i < 9; ++i) EXPECT_EQ(cameras_[0].R[i], reference.R[i]);
}

TEST_F(RefinementScene, PoseRefinementWritesDebugImagesPerRendering) {
  cublas_dynamic.load();
  buildModel();
  Camera& c = cameras_[1];
  drawModelInto(c);
  const float small[6] = {0.004f, -0.003f, 0.f, 0.005f, 0.f, 0.f};
  disturb(c, small);

  // With the switch on, every rendering of level l, iteration n writes rendered_color_l_nnn.png
  // and valid_pixels_l_nnn.png at the level's size into the working folder.
  tessivar_test::TempDir points, reference;
  CMatrix<float> none(depth_[0].xSize, depth_[0].ySize);
  for (int k = 0; k < none.xSize * none.ySize; ++k) none.data[k] = 0.f;
  debug_images_camera_pose = true;
  try {
    inFolder(points.path(),
             [&] { compute_camera_pose(c, particles_, offsets_, normals_, 0.02f, 0.5f, 26); });
    inFolder(reference.path(), [&] { compute_camera_pose(c, cameras_[0], none, 0.5f, 26); });
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  debug_images_camera_pose = false;

  const std::vector<std::string> rendered = filesStartingWith(points.path(), "rendered_color_");
  const std::vector<std::string> masks = filesStartingWith(points.path(), "valid_pixels_");
  EXPECT_EQ(rendered.size(), masks.size());
  EXPECT_EQ(rendered.size() + masks.size(),
            std::size_t(std::distance(std::filesystem::directory_iterator(points.path()),
                                      std::filesystem::directory_iterator())));
  const unsigned sizes[3][2] = {{128, 104}, {64, 52}, {32, 26}};
  for (int level = 0; level <= 2; ++level) {
    // Iterations 000, 001, ... without gaps, at most 25, each with its mask.
    int n = 0;
    for (;; ++n) {
      char digits[16];
      std::snprintf(digits, sizeof digits, "%03d", n);
      const std::string suffix = std::to_string(level) + "_" + digits + ".png";
      if (!std::filesystem::exists(points.file("rendered_color_" + suffix))) break;
      EXPECT_TRUE(std::filesystem::exists(points.file("valid_pixels_" + suffix))) << suffix;
      for (const char* prefix : {"rendered_color_", "valid_pixels_"}) {
        const auto size = pngSize(points.file(prefix + suffix));
        EXPECT_EQ(size.first, sizes[level][0]) << prefix << suffix;
        EXPECT_EQ(size.second, sizes[level][1]) << prefix << suffix;
      }
    }
    EXPECT_GE(n, 1) << "level " << level;
    EXPECT_LE(n, 25) << "level " << level;
  }

  // Against a reference depth map the renderings only, no masks: here one per level, as nothing
  // is drawn.
  EXPECT_EQ(filesStartingWith(reference.path(), ""),
            (std::vector<std::string>{"rendered_color_0_000.png", "rendered_color_1_000.png",
                                      "rendered_color_2_000.png"}));
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

  // Every pixel, with depth or without, moves by one of the seven offsets.
  const float s = r * 0.125f;
  const float offsets[7] = {0.f, 2.f * s, -2.f * s, 4.f * s, -4.f * s, 8.f * s, -8.f * s};
  for (int i = 0; i < kCameras; ++i)
    for (int k = 0; k < pushed[i].xSize * pushed[i].ySize; ++k) {
      bool found = false;
      for (float o : offsets) found = found || improved[i].data[k] == pushed[i].data[k] + o;
      ASSERT_TRUE(found) << "camera " << i << " pixel " << k << ": "
                         << improved[i].data[k] - pushed[i].data[k];
    }

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
  // (104 rows are fewer than the driver's min_size of 110: the pose refinement runs no level
  // here; the next test has one.)
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

TEST_F(RefinementScene, RunWhoseFirstCycleRefinesPosesAndConfirmsNothing) {
  // 112 rows: the driver's pyramid (scale 0.5, min_size 110) has its full-size level. Three
  // cameras have two neighbours each, too few to confirm a depth, so the first cycle leaves no
  // dense point and the other two are skipped.
  const std::string scene = dir_->file("tall");
  std::string log;
  ASSERT_TRUE(makeScene(scene, 8, 136, 112, log)) << log;
  std::vector<std::string> files;
  for (int i = 2; i < 5; ++i) files.push_back(scene + "/camera_0" + std::to_string(i) + ".txt");
  const std::string outDir = dir_->file("tall_run");
  std::vector<std::string> args = {"tessivar", "-o", outDir, "--depth-avg",
                                   std::to_string(std::stof(slurp(scene + "/depth_avg.txt"))),
                                   "--superpixels", "100", "--"};
  args.insert(args.end(), files.begin(), files.end());

  // The pose refinement's debug images show that its level ran.
  tessivar_test::TempDir work;
  std::string out;
  debug_images_camera_pose = true;
  const int code = runRefining(args, work.path(), out);
  debug_images_camera_pose = false;
  ASSERT_EQ(code, 1) << out;  // the model is empty
  EXPECT_TRUE(std::filesystem::exists(work.file("rendered_color_0_000.png")));
  EXPECT_TRUE(std::filesystem::exists(work.file("valid_pixels_0_000.png")));
  EXPECT_FALSE(std::filesystem::exists(work.file("rendered_color_1_000.png")));

  EXPECT_EQ(count(out, " refine depth maps radius "), 1u) << out;
  EXPECT_EQ(count(out, "#PARTICLES = "), 1u) << out;
  EXPECT_NE(out.find("                   #PARTICLES = 0\n"), std::string::npos) << out;
  EXPECT_EQ(count(out, " Filter particles,"), 5u) << out;
  EXPECT_NE(slurp(outDir + "/model.ply").find("element vertex 0\n"), std::string::npos);
}

// The same four cameras at 320 x 240: the driver's pyramid (scale 0.5, min_size 110) runs
// levels 1 and 0.
class LargeRefinementScene : public RefinementScene {
 protected:
  static void SetUpTestSuite() { makeSuiteScene(320, 240); }
};

TEST_F(LargeRefinementScene, PoseRecoveryAtTheDriversArguments) {
  cublas_dynamic.load();
  buildModel();
  ASSERT_EQ(pose_pyramid_top_level(0.5f, 110, cameras_[1].height), 1);
  // From about 3 degrees and 6 cm off, against the camera's own photograph. (The ground is a
  // checkerboard of 10 cm cells: a camera one cell diagonal, 14 cm, away sees nearly the same
  // picture, and some directions of this size lead into that second minimum; 0, 5 and 6 do.)
  const int directions[5] = {1, 2, 3, 4, 7};
  for (int rep = 0; rep < 5; ++rep) {
    Camera c = cameras_[1];
    const Pose truth = poseOf(c);
    float p[6];
    disturbance(directions[rep], 3.f, 0.06f, p);
    const Errors e =
        refineDisturbed(c, truth, p, 110, "direction " + std::to_string(directions[rep]));
    EXPECT_LT(e.rotation_to, 0.1 * e.rotation_from) << "direction " << directions[rep];
    EXPECT_LT(e.centre_to, 0.1 * e.centre_from) << "direction " << directions[rep];
  }
}

TEST_F(LargeRefinementScene, RunWithRefinementCyclesRunsEveryLevelAndKeepsTheCameras) {
  // 240 rows: the driver's pyramid has levels 1 and 0.
  const std::string outDir = dir_->file("run");
  std::vector<std::string> args = {"tessivar", "-o", outDir, "--depth-avg",
                                   std::to_string(depthAvg_), "--superpixels", "300", "--"};
  args.insert(args.end(), files_.begin(), files_.end());
  tessivar_test::TempDir work;
  std::string out;
  debug_images_camera_pose = true;
  const int code = runRefining(args, work.path(), out);
  debug_images_camera_pose = false;
  ASSERT_EQ(code, 0) << out;
  EXPECT_EQ(count(out, " refine depth maps radius "), 3u);
  // Both levels ran.
  for (const char* image : {"rendered_color_1_000.png", "valid_pixels_1_000.png",
                            "rendered_color_0_000.png", "valid_pixels_0_000.png"})
    EXPECT_TRUE(std::filesystem::exists(work.file(image))) << image;

  // The last cycle's depth maps, drawn from the model at the refined poses, agree with the
  // cameras' true depth maps: no camera was carried away.
  const std::string stack = slurp(outDir + "/debug/debug_rendered_depthmaps.dat");
  const std::size_t pixels = std::size_t(depth_[0].xSize) * depth_[0].ySize;
  ASSERT_EQ(stack.size(), pixels * kCameras * sizeof(float));
  for (int i = 0; i < kCameras; ++i) {
    std::size_t seen = 0, close = 0;
    for (std::size_t k = 0; k < pixels; ++k) {
      float rendered;
      std::memcpy(&rendered, stack.data() + (i * pixels + k) * sizeof(float), sizeof rendered);
      const float truth = depth_[i].data[k];
      if (truth <= 0.f || rendered <= 0.f || rendered == FLT_MAX) continue;
      ++seen;
      if (std::fabs(rendered - truth) < 0.02f) ++close;
    }
    EXPECT_GT(seen, pixels / 10) << "camera " << i;
    EXPECT_GT(close, (4 * seen) / 5) << "camera " << i << ": " << close << " of " << seen;
  }
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

TEST_F(RefinementScene, FinePyramidsRunAllTheirLevels) {
  // Scale 0.98 with 28 of 104 rows: levels 64 down to 0. Against a reference map without depth
  // each level ends after its first rendering, whose debug image shows that the level ran.
  cublas_dynamic.load();
  ASSERT_EQ(pose_pyramid_top_level(0.98f, 28, 104), 64);
  CMatrix<float> none(depth_[0].xSize, depth_[0].ySize);
  for (int k = 0; k < none.xSize * none.ySize; ++k) none.data[k] = 0.f;
  tessivar_test::TempDir work;
  debug_images_camera_pose = true;
  try {
    inFolder(work.path(), [&] { compute_camera_pose(cameras_[1], cameras_[0], none, 0.98f, 28); });
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  debug_images_camera_pose = false;
  std::vector<std::string> expect;
  for (int level = 0; level <= 64; ++level)
    expect.push_back("rendered_color_" + std::to_string(level) + "_000.png");
  std::sort(expect.begin(), expect.end());
  EXPECT_EQ(filesStartingWith(work.path(), ""), expect);
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
  // Each routine is required on its own, before anything else runs (an empty model included).
  cublas_dynamic.load();
  const CublasDynamic full = cublas_dynamic;
  for (int slot = 0; slot < 5; ++slot) {
    cublas_dynamic = full;
    if (slot == 0) cublas_dynamic.create = nullptr;
    if (slot == 1) cublas_dynamic.destroy = nullptr;
    if (slot == 2) cublas_dynamic.sgemm = nullptr;
    if (slot == 3) cublas_dynamic.sgemv = nullptr;
    if (slot == 4) cublas_dynamic.snrm2 = nullptr;
    EXPECT_THROW_MESSAGE(compute_camera_pose(c, {}, {}, {}, 0.02f, 0.5f, 26),
                         "compute_camera_pose: cuBLAS is not loaded")
        << "slot " << slot;
  }
  cublas_dynamic = loaded;
}

TEST_F(RefinementScene, FailedCublasCallsStopThePoseRefinement) {
  cublas_dynamic.load();
  const CublasDynamic loaded = cublas_dynamic;
  Camera& c = cameras_[1];
  const float3 startT = c.t, startC = c.center;
  float startR[9];
  for (int i = 0; i < 9; ++i) startR[i] = c.R[i];
  const auto refine = [&] { compute_camera_pose(c, cameras_[0], depth_[0], 0.5f, 104); };

  cublas_dynamic.create = [](cublasHandle_t*) { return CUBLAS_STATUS_NOT_INITIALIZED; };
  EXPECT_THROW_MESSAGE(refine(),
                       "compute_camera_pose: cublasCreate_v2 failed: CUBLAS_STATUS_NOT_INITIALIZED");
  cublas_dynamic = loaded;
  cublas_dynamic.sgemm = [](cublasHandle_t, cublasOperation_t, cublasOperation_t, int, int, int,
                            const float*, const float*, int, const float*, int, const float*,
                            float*, int) { return CUBLAS_STATUS_EXECUTION_FAILED; };
  EXPECT_THROW_MESSAGE(refine(),
                       "compute_camera_pose: cublasSgemm_v2 failed: CUBLAS_STATUS_EXECUTION_FAILED");
  cublas_dynamic = loaded;
  // g is left unwritten: the refinement must not solve with it.
  cublas_dynamic.sgemv = [](cublasHandle_t, cublasOperation_t, int, int, const float*,
                            const float*, int, const float*, int, const float*, float*, int) {
    return CUBLAS_STATUS_ARCH_MISMATCH;
  };
  EXPECT_THROW_MESSAGE(refine(),
                       "compute_camera_pose: cublasSgemv_v2 failed: CUBLAS_STATUS_ARCH_MISMATCH");
  cublas_dynamic = loaded;
  // The score that decides whether the refined pose is kept is not made up when its norm fails.
  cublas_dynamic.snrm2 = [](cublasHandle_t, int, const float*, int, float*) {
    return CUBLAS_STATUS_EXECUTION_FAILED;
  };
  EXPECT_THROW_MESSAGE(
      refine(), "compute_camera_pose: cublasSnrm2_v2 failed: CUBLAS_STATUS_EXECUTION_FAILED");
  cublas_dynamic = loaded;
  // Each failure left the pose as it was, the norm's after the last level included.
  expectSamePose(c, startR, startT);
  // A release that reports a failure after the whole refinement: the camera is not left moved.
  // The handle still goes through the loaded routine (a real cuBLAS handle on a GPU).
  static CublasDynamic::DestroyFn release;
  static cublasStatus_t released;
  release = loaded.destroy;
  released = CUBLAS_STATUS_NOT_INITIALIZED;
  cublas_dynamic.destroy = [](cublasHandle_t h) {
    released = release(h);
    return CUBLAS_STATUS_INTERNAL_ERROR;
  };
  EXPECT_THROW_MESSAGE(refine(),
                       "compute_camera_pose: cublasDestroy_v2 failed: CUBLAS_STATUS_INTERNAL_ERROR");
  cublas_dynamic = loaded;
  EXPECT_EQ(released, CUBLAS_STATUS_SUCCESS);
  expectSamePose(c, startR, startT);
  EXPECT_EQ(c.center.x, startC.x);
  refine();
  EXPECT_NE(c.t.x, startT.x);  // the same call, undisturbed, does move the camera
  EXPECT_NE(c.center.x, startC.x);
  EXPECT_EQ(cublas_status_name(cublasStatus_t(99)), "unknown cuBLAS status 99");
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
  ASSERT_EQ(runRefining(args, work.path(), out), 1) << out;  // the model is empty
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
