#include "camera_pose.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>

#include "camera_estimation_kernels.h"
#include "cublas_dynamic.h"
#include "render_memory.h"
#include "rendering.h"
#include "settings.h"
#include "yv/algorithms/basic/arithmetic.h"
#include "yv/algorithms/conversion/convert.h"
#include "yv/algorithms/transform/downsample.h"
#include "yv/cmatrixlib_interface.h"
#include "yv/filtering/filtering.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/range.h"

namespace {

// Limits of the motion found against one rendering below which a level counts as converged.
constexpr float kRotationLimit = 1e-5f;
constexpr float kTranslationLimit = 1e-4f;
constexpr float kMaxColorDiff = 0.5f;
constexpr int kStepsPerRendering = 5;

// The pose code calls the routines without further checks; an unloaded record would crash.
void requireCublas() {
  if (!cublas_dynamic.create || !cublas_dynamic.destroy || !cublas_dynamic.sgemm ||
      !cublas_dynamic.sgemv || !cublas_dynamic.snrm2)
    throw std::runtime_error("compute_camera_pose: cuBLAS is not loaded");
}

// A failed cuBLAS call leaves H or g unwritten; solving with them would report a pose that was
// never computed.
void checkCublas(cublasStatus_t status, const char* call) {
  if (status != CUBLAS_STATUS_SUCCESS)
    throw std::runtime_error(std::string("compute_camera_pose: ") + call + " failed: " +
                             cublas_status_name(status));
}

class CublasHandle {
 public:
  CublasHandle() { checkCublas(cublas_dynamic.create(&handle_), "cublasCreate_v2"); }
  ~CublasHandle() {
    if (handle_) cublas_dynamic.destroy(handle_);  // on the way out of a failure: not reported
  }
  CublasHandle(const CublasHandle&) = delete;
  CublasHandle& operator=(const CublasHandle&) = delete;
  cublasHandle_t get() const { return handle_; }
  void release() {
    const cublasHandle_t h = handle_;
    handle_ = nullptr;
    checkCublas(cublas_dynamic.destroy(h), "cublasDestroy_v2");
  }

 private:
  cublasHandle_t handle_ = nullptr;
};

template <class T, int N>
yv::Array<T, N> deviceArray(unsigned x, unsigned y, unsigned z, yv::MemLayout layout,
                            ArrayReleaser& guard) {
  const yv::Array<T, 4> a = yv::mallocDeviceArray<T>(make_uint4(x, y, z, 1), layout);
  guard.add(a);
  return yv::internal::decreaseArrayDimension<T, 4, N>(a);
}

// A host image uploaded to a new pitched device image.
yv::Array<uchar4, 2> upload(const CMatrix<uchar4>& image, ArrayReleaser& guard) {
  const unsigned w = unsigned(std::max(image.xSize, 0)), h = unsigned(std::max(image.ySize, 0));
  yv::Array<uchar4, 2> d = deviceArray<uchar4, 2>(w, h, 1, yv::PITCHED, guard);
  const yv::Array<uchar4, 2> src = yv::arrayFromHostMemory(image.data, w, h);
  yv::arrayCopy(d, src);
  return d;
}

yv::Array<float, 2> upload(const CMatrix<float>& image, ArrayReleaser& guard) {
  const unsigned w = unsigned(std::max(image.xSize, 0)), h = unsigned(std::max(image.ySize, 0));
  yv::Array<float, 2> d = deviceArray<float, 2>(w, h, 1, yv::PITCHED, guard);
  const yv::Array<float, 2> src = yv::arrayFromHostMemory(image.data, w, h);
  yv::arrayCopy(d, src);
  return d;
}

}  // namespace

int pose_pyramid_top_level(float pyramid_scale, int min_size, int height) {
  const float top = std::floor(std::log(float(min_size) / float(height)) / std::log(pyramid_scale));
  // Not a number, infinite (a scale of 1) or beyond int: no level count can be formed.
  if (!(top >= 0.f && top < 2147483648.f)) return -1;
  return int(top);
}

namespace {

float levelScale(float pyramid_scale, int level) {
  float s = 1.f;
  for (int i = 0; i < level; ++i) s *= pyramid_scale;
  return s;
}

// The images of one pyramid level, released with the level.
struct Level {
  ArrayReleaser guard;
  unsigned w = 0, h = 0;
  float scale = 1.f;
  yv::Array<uchar4, 2> image;
  yv::Array<float, 3> gradient;  // 6 layers
  RenderBuffer buffer;
  yv::Array<float, 4> work;  // packed; layers 0-2 residual, 3-20 Jacobian
  Projection proj;
  float inv_fx, inv_fy, cx, cy;
};

void buildLevel(Level& L, const yv::Array<uchar4, 2>& full, const Camera& camera, int level,
                float pyramid_scale) {
  L.scale = levelScale(pyramid_scale, level);
  L.w = unsigned(std::floor(float(camera.width) * L.scale + 0.5f));
  L.h = unsigned(std::floor(float(camera.height) * L.scale + 0.5f));

  // Every level shrinks the full-resolution image, not the previous level.
  yv::Array<uchar4, 4> image =
      yv::mallocDeviceArray<uchar4>(make_uint4(full.size.x, full.size.y, 1, 1), yv::PITCHED);
  try {
    yv::Array<uchar4, 2> image2 = yv::internal::decreaseArrayDimension<uchar4, 4, 2>(image);
    yv::arrayCopy(image2, full);
    yv::downsample<uchar4>(image, make_uint3(L.w, L.h, 1), 0);
  } catch (...) {
    yv::releaseArray(image);
    throw;
  }
  L.guard.add(image);
  L.image = yv::internal::decreaseArrayDimension<uchar4, 4, 2>(image);

  yv::Array<float, 3> planes = deviceArray<float, 3>(L.w, L.h, 3, yv::PITCHED, L.guard);
  yv::convert<float>(planes, L.image, true, 0);

  yv::Array<float, 4> gradient = deviceArray<float, 4>(L.w, L.h, 6, yv::PITCHED, L.guard);
  L.gradient = yv::internal::decreaseArrayDimension<float, 4, 3>(gradient);
  const yv::Array<float, 4> planes4 = yv::internal::increaseArrayDimension<float, 3, 4>(planes);
  const yv::Filter<float, 3> derivative = {{-0.5f, 0.f, 0.5f}, 1};
  yv::Array<float, 4> gx = yv::block(gradient, yv::Range(), yv::Range(), yv::Range(0, 2), yv::Range());
  yv::Array<float, 4> gy = yv::block(gradient, yv::Range(), yv::Range(), yv::Range(3, 5), yv::Range());
  yv::filterX<float, float, 3>(gx, planes4, derivative, yv::MIRROR);
  yv::filterY<float, float, 3>(gy, planes4, derivative, yv::MIRROR);

  L.buffer.image = deviceArray<uchar4, 2>(L.w, L.h, 1, yv::PITCHED, L.guard);
  L.buffer.depth = deviceArray<float, 2>(L.w, L.h, 1, yv::PITCHED, L.guard);
  L.buffer.color_sum = deviceArray<float, 3>(L.w, L.h, 4, yv::PITCHED, L.guard);
  L.buffer.normal_sum = deviceArray<float, 3>(L.w, L.h, 3, yv::PITCHED, L.guard);
  L.buffer.weight_sum = deviceArray<float, 2>(L.w, L.h, 1, yv::PITCHED, L.guard);
  L.work = deviceArray<float, 4>(L.w, L.h, 21, yv::PACKED, L.guard);

  const float fx = camera.K[0] * float(L.w) / float(camera.width);
  const float cx = camera.K[6] * float(L.w) / float(camera.width);
  const float fy = camera.K[4] * float(L.h) / float(camera.height);
  const float cy = camera.K[7] * float(L.h) / float(camera.height);
  L.proj = Projection{};
  L.proj.width = L.w;
  L.proj.height = L.h;
  L.proj.fx = fx;
  L.proj.fy = fy;
  L.proj.cx = cx;
  L.proj.cy = cy;
  L.proj.near = 0.f;
  L.proj.far = FLT_MAX;
  L.inv_fx = 1.f / fx;
  L.inv_fy = 1.f / fy;
  L.cx = cx;
  L.cy = cy;
}

std::string debugName(const char* prefix, int level, int iteration) {
  char digits[16];
  std::snprintf(digits, sizeof(digits), "%03d", iteration);
  return std::string(prefix) + std::to_string(level) + "_" + digits + ".png";
}

// 3 x 3 row-major product a b.
void matmul3(const float a[9], const float b[9], float out[9]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      out[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
}

// The motion found against one rendering: the composed transform of its steps.
struct Motion {
  float R[9] = {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f};
  float t[3] = {0.f, 0.f, 0.f};
};

// The cost of a pose from the residual of the motion 0 against its rendering, once setNANtoZero
// has cleared its `rejected` pixels: every pixel of the level counts its squared colour
// difference, and a pixel without one (no depth, a difference above the limit) counts the
// limit's square, which bounds every kept difference. Two poses drawn at the same level are
// measured over the same pixels, so their costs compare.
double residualCost(cublasHandle_t handle, const float* r, int rows, int rejected) {
  float norm = 0.f;
  checkCublas(cublas_dynamic.snrm2(handle, rows, r, 1, &norm), "cublasSnrm2_v2");
  return double(norm) * double(norm) + double(kMaxColorDiff) * kMaxColorDiff * double(rejected);
}

// Layers 0-2 of the work array: the residual as a 3-layer image.
yv::Array<float, 3> residualImage(const Level& L) {
  return yv::internal::decreaseArrayDimension<float, 4, 3>(
      yv::block(L.work, yv::Range(), yv::Range(), yv::Range(0, 2), yv::Range()));
}

void setMotion(Level& L, const Motion& m) {
  for (int i = 0; i < 9; ++i) L.proj.R[i] = m.R[i];
  for (int i = 0; i < 3; ++i) L.proj.t[i] = m.t[i];
}

// Five Gauss-Newton steps against the rendering in L.buffer. Each step is linearised at the
// motion found so far, so its solution x is an increment, composed onto the motion on the side
// the Jacobian is taken (pose_compose).
void gaussNewton(Level& L, cublasHandle_t handle, bool writeMask, int level, int iteration,
                 Motion& m) {
  const yv::Array<float, 4> work = L.work;
  yv::Array<float, 3> residual = residualImage(L);
  yv::Array<float, 3> jacobian = yv::internal::decreaseArrayDimension<float, 4, 3>(
      yv::block(work, yv::Range(), yv::Range(), yv::Range(3, 20), yv::Range()));
  yv::Array<float, 3> all = yv::internal::decreaseArrayDimension<float, 4, 3>(work);
  const int rows = int(3u * L.w * L.h);
  const float* J = jacobian.ptr;
  const float* r = residual.ptr;

  for (int step = 0; step < kStepsPerRendering; ++step) {
    setMotion(L, m);
    computeDifferenceImage(residual, L.image, L.buffer.image, L.buffer.depth, kMaxColorDiff,
                           L.proj, L.inv_fx, L.inv_fy, L.cx, L.cy);
    computeGradientPsi(jacobian, L.gradient, L.buffer.depth, L.proj, L.inv_fx, L.inv_fy, L.cx,
                       L.cy);
    {
      ArrayReleaser maskGuard;
      yv::Array<uchar4, 2> mask{};
      if (writeMask) mask = deviceArray<uchar4, 2>(L.w, L.h, 1, yv::PITCHED, maskGuard);
      setNANtoZero(all, mask, L.buffer.depth);
      if (writeMask) saveImageToPNG(mask, debugName("valid_pixels_", level, iteration));
    }

    ArrayReleaser stepGuard;
    const float one = 1.f, zero = 0.f, minusOne = -1.f;
    yv::Array<float, 4> H = yv::mallocDeviceArray<float>(make_uint4(6, 6, 1, 1), yv::PACKED);
    stepGuard.add(H);
    yv::set<float>(H, 0.f, 0);
    checkCublas(cublas_dynamic.sgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, 6, 6, rows, &one, J, rows,
                                     J, rows, &zero, H.ptr, 6),
                "cublasSgemm_v2");
    yv::Array<float, 4> g = yv::mallocDeviceArray<float>(make_uint4(6, 1, 1, 1), yv::PACKED);
    stepGuard.add(g);
    checkCublas(cublas_dynamic.sgemv(handle, CUBLAS_OP_T, rows, 6, &minusOne, J, rows, r, 1, &zero,
                                     g.ptr, 1),
                "cublasSgemv_v2");

    Eigen::Matrix<float, 6, 6> Hm;  // column-major, as cuBLAS wrote it
    Eigen::Matrix<float, 6, 1> gv;
    yv::Array<float, 4> Hhost = yv::internal::packedHostArray4(Hm.data(), 6, 6, 1);
    yv::Array<float, 4> ghost = yv::internal::packedHostArray4(gv.data(), 6, 1, 1);
    yv::arrayCopy(Hhost, H);
    yv::arrayCopy(ghost, g);

    // Rank-revealing: directions the image does not constrain come out 0.
    const Eigen::Matrix<float, 6, 1> x = Hm.colPivHouseholderQr().solve(gv);
    float dx[6];
    for (int k = 0; k < 6; ++k) dx[k] = x(k);
    pose_compose(dx, m.R, m.t);
  }
}

// A camera's pose: what applyMotion changes.
struct CameraPose {
  float R[9];
  float3 t, center;
};

CameraPose poseOf(const Camera& camera) {
  CameraPose p;
  for (int i = 0; i < 9; ++i) p.R[i] = camera.R[i];
  p.t = camera.t;
  p.center = camera.center;
  return p;
}

void setPose(Camera& camera, const CameraPose& p) {
  for (int i = 0; i < 9; ++i) camera.R[i] = p.R[i];
  camera.t = p.t;
  camera.center = p.center;
}

bool samePose(const Camera& camera, const CameraPose& p) {
  for (int i = 0; i < 9; ++i)
    if (camera.R[i] != p.R[i]) return false;
  return camera.t.x == p.t.x && camera.t.y == p.t.y && camera.t.z == p.t.z;
}

// camera := motion o camera: R := Rm R, t := Rm t + tm.
void applyMotion(Camera& camera, const Motion& m) {
  const float* Rp = m.R;
  const float* tp = m.t;
  float R[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      float s = 0.f;
      for (int k = 0; k < 3; ++k) s += Rp[3 * i + k] * camera.R[3 * j + k];
      R[3 * j + i] = s;  // Camera::R is stored column by column
    }
  for (int i = 0; i < 9; ++i) camera.R[i] = R[i];
  const float3 t = camera.t;
  camera.t = make_float3(Rp[0] * t.x + Rp[1] * t.y + Rp[2] * t.z + tp[0],
                         Rp[3] * t.x + Rp[4] * t.y + Rp[5] * t.z + tp[1],
                         Rp[6] * t.x + Rp[7] * t.y + Rp[8] * t.z + tp[2]);
  // Later stages cast rays from the centre: keep it on the moved camera (C = -R^T t).
  const float3 tn = camera.t;
  float C[3];
  for (int j = 0; j < 3; ++j)
    C[j] = -(camera.R[3 * j] * tn.x + camera.R[3 * j + 1] * tn.y + camera.R[3 * j + 2] * tn.z);
  camera.center = make_float3(C[0], C[1], C[2]);
}

bool converged(const float p[6]) {
  return std::fabs(p[0]) < kRotationLimit && std::fabs(p[1]) < kRotationLimit &&
         std::fabs(p[2]) < kRotationLimit && std::fabs(p[3]) < kTranslationLimit &&
         std::fabs(p[4]) < kTranslationLimit && std::fabs(p[5]) < kTranslationLimit;
}

// The cost of the camera's current pose at level L: one rendering, the residual of the motion 0.
double renderedCost(Level& L, cublasHandle_t handle, const std::function<void(Level&)>& render) {
  render(L);
  yv::Array<float, 3> residual = residualImage(L);
  setMotion(L, Motion{});
  computeDifferenceImage(residual, L.image, L.buffer.image, L.buffer.depth, kMaxColorDiff, L.proj,
                         L.inv_fx, L.inv_fy, L.cx, L.cy);
  const int rejected = setNANtoZero(residual, yv::Array<uchar4, 2>{}, L.buffer.depth);
  return residualCost(handle, residual.ptr, int(3u * L.w * L.h), rejected);
}

// The pyramid loop shared by both forms: per level, render with the camera's current pose,
// solve, move the camera, until converged or max_renderings; the pose carries on from level to
// level.
//
// A level's renderings only approximate the image (the coarser the level, the worse), and the
// steps are taken whatever they do to the residual, so a small coarse level can carry the pose
// far from the optimum, out of reach of the finer levels. One check at the end keeps such a run
// from making the camera worse than it was given: when the pose moved, the finest level draws
// it and the given pose once more each, and a pose that matches the image worse than the given
// one is dropped for the given one.
void refineLevels(Camera& camera, const yv::Array<uchar4, 2>& full, float pyramid_scale,
                  int min_size, int max_renderings, bool writeMasks,
                  const std::function<void(Level&)>& render) {
  CublasHandle handle;
  const CameraPose given = poseOf(camera);
  const int top = pose_pyramid_top_level(pyramid_scale, min_size, camera.height);
  for (int level = top; level >= 0; --level) {
    Level L;
    buildLevel(L, full, camera, level, pyramid_scale);
    for (int n = 0; n < max_renderings;) {
      render(L);
      if (debug_images_camera_pose)
        saveImageToPNG(L.buffer.image, debugName("rendered_color_", level, n));
      Motion m;
      gaussNewton(L, handle.get(), writeMasks, level, n, m);
      applyMotion(camera, m);
      ++n;
      // Converged when the motion this rendering gave the camera is below the limits: a level
      // ends where renderings stop moving the camera, not where one rendering's steps settle.
      float p[6];
      pose_parameters(m.R, m.t, p);
      if (converged(p)) break;
    }
    if (level == 0 && !samePose(camera, given)) {
      const CameraPose reached = poseOf(camera);
      const double reachedCost = renderedCost(L, handle.get(), render);
      setPose(camera, given);
      const double givenCost = renderedCost(L, handle.get(), render);
      // A cost that is not a number keeps the given pose.
      if (reachedCost <= givenCost)
        setPose(camera, reached);
      else
        std::cout << " camera pose " << camera.index
                  << ": the refined pose fits the image worse than the given one; given pose kept"
                  << std::endl;
    }
  }
  handle.release();
}

// refineLevels, except that a call that reports an error leaves the camera where it was however
// far it got, a handle that fails to go at the very end included.
void refinePose(Camera& camera, const yv::Array<uchar4, 2>& full, float pyramid_scale,
                int min_size, int max_renderings, bool writeMasks,
                const std::function<void(Level&)>& render) {
  const CameraPose given = poseOf(camera);
  try {
    refineLevels(camera, full, pyramid_scale, min_size, max_renderings, writeMasks, render);
  } catch (...) {
    setPose(camera, given);
    throw;
  }
}

}  // namespace

void pose_increment(const float p[6], float R[9], float t[3]) {
  const Eigen::Quaternionf qx(std::cos(p[0] * 0.5f), std::sin(p[0] * 0.5f), 0.f, 0.f);
  const Eigen::Quaternionf qy(std::cos(p[1] * 0.5f), 0.f, std::sin(p[1] * 0.5f), 0.f);
  const Eigen::Quaternionf qz(std::cos(p[2] * 0.5f), 0.f, 0.f, std::sin(p[2] * 0.5f));
  const Eigen::Matrix3f M = (qx * qy * qz).toRotationMatrix();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R[3 * i + j] = M(i, j);
  t[0] = p[3];
  t[1] = p[4];
  t[2] = p[5];
}

void pose_parameters(const float R[9], const float t[3], float p[6]) {
  // R = Rx(p0) Ry(p1) Rz(p2): R02 = sin p1, R12 = -sin p0 cos p1, R22 = cos p0 cos p1,
  // R01 = -cos p1 sin p2, R00 = cos p1 cos p2.
  p[0] = std::atan2(-R[5], R[8]);
  p[1] = std::asin(std::max(-1.f, std::min(1.f, R[2])));
  p[2] = std::atan2(-R[1], R[0]);
  for (int i = 0; i < 3; ++i) p[3 + i] = t[i];
}

void pose_compose(const float x[6], float R[9], float t[3]) {
  float Rx[9], tx[3];
  pose_increment(x, Rx, tx);
  float Rn[9];
  matmul3(R, Rx, Rn);
  for (int i = 0; i < 9; ++i) R[i] = Rn[i];
  for (int i = 0; i < 3; ++i) t[i] += tx[i];
}

void compute_camera_pose(Camera& camera, const std::vector<Particle>& particles,
                         const std::vector<float>& values, const std::vector<float3>& normals,
                         float radius, float pyramid_scale, int min_size) {
  requireCublas();
  // An empty model draws nothing: no pixel could constrain the pose.
  if (particles.empty()) return;

  // Only the points that reach the camera's view take part in the renderings.
  std::vector<int> flags;
  {
    Points all = createPoints(particles, values, normals);
    ArrayReleaser guard;
    guard.add(all.positions);
    guard.add(all.normals);
    guard.add(all.colors);
    guard.add(all.sizes);
    RenderBuffer buffer = createRenderBuffer(camera.width, camera.height);
    guard.add(buffer.image);
    guard.add(buffer.depth);
    guard.add(buffer.color_sum);
    guard.add(buffer.normal_sum);
    guard.add(buffer.weight_sum);
    flags = contributing_points(buffer, all, camera, radius, 0.f, FLT_MAX, 1.f);
  }
  std::vector<Particle> visible = particles;
  std::vector<float> visibleValues = values;
  std::vector<float3> visibleNormals = normals;
  threshold_particles<int>(flags, visible, visibleValues, visibleNormals, 1, 1);
  if (visible.empty()) return;

  ArrayReleaser guard;
  Points points = createPoints(visible, visibleValues, visibleNormals);
  guard.add(points.positions);
  guard.add(points.normals);
  guard.add(points.colors);
  guard.add(points.sizes);
  visible.clear();
  visibleValues.clear();
  visibleNormals.clear();

  const yv::Array<uchar4, 2> full = upload(camera.image, guard);
  refinePose(camera, full, pyramid_scale, min_size, 25, debug_images_camera_pose,
             [&](Level& L) { render_points(L.buffer, points, camera, radius, 0.f, FLT_MAX, 1.f); });
}

void compute_camera_pose(Camera& camera, const Camera& reference,
                         const CMatrix<float>& reference_depth, float pyramid_scale,
                         int min_size) {
  requireCublas();
  ArrayReleaser guard;
  const yv::Array<float, 2> depth = upload(reference_depth, guard);
  const yv::Array<uchar4, 2> full = upload(camera.image, guard);
  const yv::Array<uchar4, 2> referenceImage = upload(reference.image, guard);
  refinePose(camera, full, pyramid_scale, min_size, 50, false, [&](Level& L) {
    render_depthmap(L.buffer, depth, referenceImage, reference, camera, 0.f, FLT_MAX,
                    1.f / L.scale);
  });
}
