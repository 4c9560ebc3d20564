// The fusion as a whole on a generated scene: what the models hold, measured against the scene's
// ground truth, its cameras and its images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "camera.h"
#include "dense_points.h"
#include "driver.h"
#include "e2e/e2e_support.h"
#include "particle_filtering.h"
#include "settings.h"
#include "particles_from_superpixels.h"
#include "superpixels.h"
#include "support/test_support.h"

namespace {

using namespace tessivar_e2e;

struct Vertex {
  float3 p, n;
  uchar4 c;
};

// Vertices of a binary PLY body with the given record layout (colour bytes after the normal).
std::vector<Vertex> vertices(const std::string& body, std::size_t stride, long count) {
  std::vector<Vertex> v(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char* r = body.data() + i * stride;
    std::memcpy(&v[i].p, r, 12);
    std::memcpy(&v[i].n, r + 12, 12);
    v[i].c = make_uchar4(r[24], r[25], r[26], 255);
  }
  return v;
}

std::vector<Vertex> groundTruth(const std::string& path) {
  const std::string text = readFile(path);
  const std::size_t h = text.find("end_header\n");
  const long count = std::stol(text.substr(text.find("element vertex ") + 15));
  return vertices(text.substr(h + 11), 27, count);
}

// Point-to-plane distance to the nearest ground-truth sample (samples are a few mm apart).
class Surface {
 public:
  explicit Surface(std::vector<Vertex> s) : s_(std::move(s)) {
    for (std::size_t i = 0; i < s_.size(); ++i) cells_[key(s_[i].p, 0, 0, 0)].push_back(i);
  }
  float distance(float3 p) const {
    float best = 1e30f;
    const Vertex* g = nullptr;
    for (int dz = -1; dz <= 1; ++dz)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          auto it = cells_.find(key(p, dx, dy, dz));
          if (it == cells_.end()) continue;
          for (std::size_t i : it->second) {
            const float3 q = s_[i].p;
            const float d = (q.x - p.x) * (q.x - p.x) + (q.y - p.y) * (q.y - p.y) + (q.z - p.z) * (q.z - p.z);
            if (d < best) {
              best = d;
              g = &s_[i];
            }
          }
        }
    if (!g) return kCell;
    return std::fabs((p.x - g->p.x) * g->n.x + (p.y - g->p.y) * g->n.y + (p.z - g->p.z) * g->n.z);
  }

 private:
  static constexpr float kCell = 0.02f;
  static long long key(float3 p, int dx, int dy, int dz) {
    const long long x = (long long)std::floor(p.x / kCell) + dx, y = (long long)std::floor(p.y / kCell) + dy,
                    z = (long long)std::floor(p.z / kCell) + dz;
    return ((x & 0xfffff) << 40) | ((y & 0xfffff) << 20) | (z & 0xfffff);
  }
  std::vector<Vertex> s_;
  std::unordered_map<long long, std::vector<std::size_t>> cells_;
};

float median(std::vector<float> v) {
  std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
  return v[v.size() / 2];
}

class Fusion : public testing::Test {
 protected:
  static tessivar_test::TempDir* dir_;
  static std::vector<std::string> cameraFiles_;
  static float depthAvg_;

  static void SetUpTestSuite() {
    dir_ = new tessivar_test::TempDir();
    const Result r = run("make_scene",
                         {"--out", dir_->file("scene"), "--cameras", "4", "--width", "200",
                          "--height", "150", "--noise", "0.002", "--seed", "3"},
                         dir_->path());
    ASSERT_EQ(r.code, 0) << r.err;
    for (int i = 0; i < 4; ++i) cameraFiles_.push_back(dir_->file("scene/camera_0" + std::to_string(i) + ".txt"));
    depthAvg_ = std::stof(readFile(dir_->file("scene/depth_avg.txt")));
  }
  static void TearDownTestSuite() {
    delete dir_;
    cameraFiles_.clear();
  }

  static Result fuse(const std::string& out, const std::string& env) {
    std::vector<std::string> args = {"-o", dir_->file(out), "--depth-avg", std::to_string(depthAvg_),
                                     "--superpixels", "500", "--"};
    args.insert(args.end(), cameraFiles_.begin(), cameraFiles_.end());
    return run("tessivar", args, dir_->path(), env);
  }
};

tessivar_test::TempDir* Fusion::dir_ = nullptr;
std::vector<std::string> Fusion::cameraFiles_;
float Fusion::depthAvg_ = 0.f;

TEST_F(Fusion, ModelsLieOnTheSurfaceFaceTheCamerasAndCarryTheImagesColours) {
  const Result r = fuse("out", "");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<Camera> cams(cameraFiles_.size());
  for (std::size_t i = 0; i < cams.size(); ++i) {
    CMatrix<float> depth;
    testing::internal::CaptureStdout();
    read_camera_file(cameraFiles_[i], int(i), cams[i], depth);
    testing::internal::GetCapturedStdout();
  }
  const Surface truth(groundTruth(dir_->file("scene/ground_truth.ply")));

  for (const char* name : {"/model_superpixel.ply", "/model.ply"}) {
    SCOPED_TRACE(name);
    const Model m = readModel(dir_->file("out") + name);
    ASSERT_GT(m.vertices, 100);
    const std::vector<Vertex> pts = vertices(m.body, 31, m.vertices);
    std::vector<float> dist;
    int facing = 0, unit = 0, coloured = 0;
    for (const Vertex& v : pts) {
      ASSERT_TRUE(std::isfinite(v.p.x) && std::isfinite(v.p.y) && std::isfinite(v.p.z));
      dist.push_back(truth.distance(v.p));
      const float len = std::sqrt(v.n.x * v.n.x + v.n.y * v.n.y + v.n.z * v.n.z);
      unit += std::fabs(len - 1.f) < 1e-3f;
      bool faces = false, colourSeen = false;
      for (const Camera& c : cams) {
        const float3 toC = make_float3(c.center.x - v.p.x, c.center.y - v.p.y, c.center.z - v.p.z);
        faces |= toC.x * v.n.x + toC.y * v.n.y + toC.z * v.n.z > 0.f;
        // The pixel the point projects to, in the mirrored pixel convention of the cameras.
        const float3 q = make_float3(c.R[0] * v.p.x + c.R[3] * v.p.y + c.R[6] * v.p.z + c.t.x,
                                     c.R[1] * v.p.x + c.R[4] * v.p.y + c.R[7] * v.p.z + c.t.y,
                                     c.R[2] * v.p.x + c.R[5] * v.p.y + c.R[8] * v.p.z + c.t.z);
        const int x = c.width - 1 - int(std::lround(c.K[0] * q.x / q.z + c.K[6]));
        const int y = c.height - 1 - int(std::lround(c.K[4] * q.y / q.z + c.K[7]));
        if (q.z <= 0.f || x < 0 || y < 0 || x >= c.width || y >= c.height) continue;
        const uchar4 px = c.image.data[y * c.width + x];
        colourSeen |= std::abs(px.x - v.c.x) <= 12 && std::abs(px.y - v.c.y) <= 12 && std::abs(px.z - v.c.z) <= 12;
      }
      facing += faces;
      coloured += colourSeen;
    }
    const float n = float(pts.size());
    EXPECT_LT(median(dist), 0.002f) << "median distance to the true surface";
    EXPECT_GT(float(unit) / n, 0.99f) << "unit normals";
    EXPECT_GT(float(facing) / n, 0.98f) << "normals facing a camera";
    EXPECT_GT(float(coloured) / n, 0.9f) << "colours found in the images where the points project";
  }
}

TEST_F(Fusion, ModelsAreTheSameForOneAndEightThreads) {
  ASSERT_EQ(fuse("one", "OMP_NUM_THREADS=1").code, 0);
  ASSERT_EQ(fuse("eight", "OMP_NUM_THREADS=8").code, 0);
  for (const char* name : {"/model_superpixel.ply", "/model.ply"}) {
    const std::string a = readFile(dir_->file("one") + name), b = readFile(dir_->file("eight") + name);
    EXPECT_GT(a.size(), 1000u);
    EXPECT_TRUE(a == b) << name << " differs between 1 and 8 threads";
  }
}

TEST_F(Fusion, DenseFilterPassBringsThePointsCloserToTheSurface) {
  // The road of a run up to the dense filter pass, with the driver's radii.
  std::vector<Camera> cams(cameraFiles_.size());
  std::vector<CMatrix<float>> depth(cams.size());
  testing::internal::CaptureStdout();
  for (std::size_t i = 0; i < cams.size(); ++i) read_camera_file(cameraFiles_[i], int(i), cams[i], depth[i]);
  float dmin, dmax;
  compute_depth_range(depth, dmin, dmax);
  const int count = 500;
  std::vector<std::vector<Superpixel>> sps(cams.size());
  std::vector<Particle> sp, dense;
  std::vector<float> spOff, denseOff, support;
  std::vector<float3> spN, denseN;
  for (std::size_t i = 0; i < cams.size(); ++i) {
    create_superpixels(sps[i], depth[i], cams[i].image, cams[i], depthAvg_, count);
    create_particles_from_superpixels(sp, spOff, spN, sps[i], CMatrix<float>(), CMatrix<float3>(), depth[i], cams[i]);
  }
  const float fx = cams[0].K[0];
  const float r = superpixel_radius(cams[0].width, cams[0].height, count);
  filter_particles(sp, spOff, spN, 0.1f, 1.f, r * 9.0f * depthAvg_ / fx, 50, 50, 0.02f, 50, "particles");
  compute_particle_support(support, sp, spOff, spN, r * depthAvg_ / fx, 2.f);
  threshold_particles<float>(support, sp, spOff, spN, 2.f, FLT_MAX);
  for (std::size_t i = 0; i < cams.size(); ++i) {
    CMatrix<float> md;
    CMatrix<float3> mn;
    particles_to_images(md, mn, sp, spOff, spN, sps[i], cams[i], dmin, dmax);
    create_particles_from_depthmap(dense, denseOff, denseN, md, mn, depth[i], cams[i].image, cams[i], dmin, dmax);
  }
  compute_particle_support(support, dense, denseOff, denseN, depthAvg_ / fx, 3.f);
  threshold_particles<float>(support, dense, denseOff, denseN, 3.f, FLT_MAX);
  ASSERT_GT(dense.size(), 1000u);

  const Surface truth(groundTruth(dir_->file("scene/ground_truth.ply")));
  auto distances = [&]() {
    std::vector<float> d;
    for (std::size_t i = 0; i < dense.size(); ++i) d.push_back(truth.distance(effective_position(dense[i], denseOff[i])));
    return d;
  };
  const std::vector<float> before = distances();
  filter_particles(dense, denseOff, denseN, 0.001f, 1.f, (5.0f * depthAvg_) / fx, 2, 10, 0.005f, 5, "particles");
  testing::internal::GetCapturedStdout();
  const std::vector<float> after = distances();
  std::cout << "median distance before " << median(before) << ", after " << median(after) << std::endl;
  EXPECT_LT(median(after), median(before));
}

// Depth maps with the holes and outliers of real sensors: each run ends with a model on the true
// surface, about as close to it as the clean scene's; spikes must not pull it away.
TEST_F(Fusion, HolesAndOutliersOfRealSensorsStillGiveAModelOnTheSurface) {
  const Surface truth(groundTruth(dir_->file("scene/ground_truth.ply")));
  const auto medianDistance = [&](const std::string& model) {
    const Model m = readModel(model);
    std::vector<float> d;
    for (const Vertex& v : vertices(m.body, 31, m.vertices)) d.push_back(truth.distance(v.p));
    return d.size() < 100 ? 1.0f : median(d);  // too few points to be a model
  };
  ASSERT_EQ(fuse("clean", "").code, 0);
  const float clean = medianDistance(dir_->file("clean/model.ply"));
  const std::vector<std::vector<std::string>> faults = {
      {"--dropout", "0.5"}, {"--lattice", "3"}, {"--checker", "1"},
      {"--edge-holes", "2"}, {"--mixed", "1"}, {"--salt", "0.01"}};
  for (const std::vector<std::string>& fault : faults) {
    SCOPED_TRACE(fault[0]);
    const std::string scene = dir_->file("faulty" + fault[0]);
    std::vector<std::string> args = {"--out", scene, "--cameras", "4", "--width", "200", "--height",
                                     "150", "--noise", "0.002", "--seed", "3"};
    args.insert(args.end(), fault.begin(), fault.end());
    ASSERT_EQ(run("make_scene", args, dir_->path()).code, 0);
    // A checkerboard of single holes leaves these small cameras a model of a few hundred points,
    // whose median distance changes twofold with a 1 % change of the superpixel count: it is
    // judged by the middle one of three counts.
    const std::vector<std::string> counts =
        fault[0] == "--checker" ? std::vector<std::string>{"490", "500", "510"}
                                : std::vector<std::string>{"500"};
    std::vector<float> d;
    for (const std::string& count : counts) {
      args = {"-o", scene + "/out" + count, "--depth-avg", std::to_string(depthAvg_),
              "--superpixels", count, "--"};
      for (int i = 0; i < 4; ++i) args.push_back(scene + "/camera_0" + std::to_string(i) + ".txt");
      const Result r = run("tessivar", args, dir_->path());
      EXPECT_EQ(r.code, 0) << r.err;
      if (r.code == 0) d.push_back(medianDistance(scene + "/out" + count + "/model.ply"));
    }
    if (d.size() != counts.size()) continue;
    std::sort(d.begin(), d.end());
    EXPECT_LT(d[d.size() / 2], (fault[0] == "--salt" ? 1.5f : 2.0f) * clean)
        << "median distance; clean " << clean;
  }
}

}  // namespace

namespace {

TEST_F(Fusion, BackFaceSwitchWritesTheModelsBeforeAndAfterTheSecondRemoval) {
  const std::string out = dir_->file("backface");
  std::vector<std::string> args = {"tessivar", "-o", out, "--depth-avg", std::to_string(depthAvg_),
                                   "--superpixels", "500", "--"};
  args.insert(args.end(), cameraFiles_.begin(), cameraFiles_.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  use_backface_visibility_test = true;
  testing::internal::CaptureStdout();
  const int code = run_tessivar(int(args.size()), argv.data());
  const std::string printed = testing::internal::GetCapturedStdout();
  use_backface_visibility_test = false;
  ASSERT_EQ(code, 0);
  std::size_t first = printed.find("removing invalid backface points\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(printed.find("removing invalid backface points\n", first + 1), std::string::npos);
  const Model before = readModel(out + "/model_bf_removal1.ply");
  const Model after = readModel(out + "/model_bf_removal2.ply");
  const Model final = readModel(out + "/model.ply");
  EXPECT_GT(before.vertices, 1000);
  // each removal and the final support test only ever drop points
  EXPECT_LE(after.vertices, before.vertices);
  EXPECT_LE(final.vertices, after.vertices);
}

}  // namespace
