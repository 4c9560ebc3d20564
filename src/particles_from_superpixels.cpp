#include "particles_from_superpixels.h"

#include <omp.h>

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <exception>
#include <sstream>
#include <stdexcept>

namespace {

constexpr double kPi = 3.141592653589793;

inline Eigen::Vector3f toEigen(const float3& v) { return Eigen::Vector3f(v.x, v.y, v.z); }
inline float3 toFloat3(const Eigen::Vector3f& v) { return make_float3(v.x(), v.y(), v.z()); }

// Back-projection of depth d at pixel (x, y) of a W x H image into the world, in the mirrored
// pixel coordinates the camera's principal point is kept in.
struct BackProjector {
  const Camera& camera;
  int W, H;
  float rx, ry;

  Eigen::Vector3f operator()(int x, int y, float d) const {
    const float u = (float(W - 1 - x) - camera.K[6]) * rx;
    const float v = (float(H - 1 - y) - camera.K[7]) * ry;
    const float q0 = u * d - camera.t.x, q1 = v * d - camera.t.y, q2 = d - camera.t.z;
    const float* R = camera.R;  // column by column: R[3 * i + j] is row j, column i
    return Eigen::Vector3f(R[0] * q0 + R[1] * q1 + R[2] * q2, R[3] * q0 + R[4] * q1 + R[5] * q2,
                           R[6] * q0 + R[7] * q1 + R[8] * q2);
  }
};

// One superpixel's result, kept until all threads are done so that points go out in superpixel
// order whatever the thread count.
struct Slot {
  bool made = false;
  Particle particle;
  float offset;
  float3 normal;
};

bool isEmpty(int w, int h) { return std::size_t(std::max(w, 0)) * std::size_t(std::max(h, 0)) == 0; }

}  // namespace

void fit_superpixel_plane(float3& center, float3& normal, std::vector<float>& weights,
                          const std::vector<Eigen::Vector3f>& points, const Camera& camera) {
  const std::size_t n = points.size();
  if (n == 0) throw std::runtime_error("fit_superpixel_plane: no points");
  weights.assign(n, 1.0f);
  const Eigen::Vector3f C = toEigen(camera.center);
  if (n < 3) {
    center = toFloat3(points[0]);
    normal = toFloat3(C - points[0]);
    return;
  }
  Eigen::Vector3f c, nrm;
  for (int pass = 0; pass < 3; ++pass) {
    Eigen::Vector3f sum = Eigen::Vector3f::Zero();
    float wsum = 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
      sum += weights[j] * points[j];
      wsum += weights[j];
    }
    c = sum / wsum;
    Eigen::Matrix3f M = Eigen::Matrix3f::Zero();
    for (std::size_t j = 0; j < n; ++j) {
      const Eigen::Vector3f d = points[j] - c;
      M += weights[j] * (d * d.transpose());
    }
    // Eigenvalues come in increasing order: column 0 belongs to the smallest.
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3f> solver(M, Eigen::ComputeEigenvectors);
    nrm = solver.eigenvectors().col(0);
    if (!nrm.allFinite()) {
      nrm = C - c;
    } else if ((C - c).dot(nrm) < 0.0f) {
      nrm = -nrm;
    }
    if (pass < 2) {
      const float nc = nrm.dot(c);
      for (std::size_t j = 0; j < n; ++j)
        weights[j] = 1.0f / (std::fabs(nrm.dot(points[j]) - nc) + 0.001f);
    }
  }
  center = toFloat3(c);
  normal = toFloat3(nrm);
}

void create_particles_from_superpixels(std::vector<Particle>& particles,
                                       std::vector<float>& offsets, std::vector<float3>& normals,
                                       const std::vector<Superpixel>& superpixels,
                                       const CMatrix<float>& model_depth,
                                       const CMatrix<float3>& model_normals,
                                       const CMatrix<float>& depthmap, const Camera& camera) {
  const int W = depthmap.xSize, H = depthmap.ySize;
  const bool no_depth = isEmpty(model_depth.xSize, model_depth.ySize);
  const bool no_normals = isEmpty(model_normals.xSize, model_normals.ySize);
  const bool depth_fits = model_depth.xSize == W && model_depth.ySize == H;
  const bool normals_fit = model_normals.xSize == W && model_normals.ySize == H;
  if (no_depth != no_normals || (!no_depth && !(depth_fits && normals_fit))) {
    std::stringstream ss;
    ss << "create_particles_from_superpixels: model depth and normal images must both be empty "
          "or both have the extents of the depth map"
       << std::endl
       << "depth map: " << W << " x " << H << std::endl
       << "model depth: " << model_depth.xSize << " x " << model_depth.ySize << std::endl
       << "model normals: " << model_normals.xSize << " x " << model_normals.ySize;
    throw std::runtime_error(ss.str());
  }

  const std::size_t N = superpixels.size();
  particles.reserve(particles.size() + N);
  offsets.reserve(particles.size() + N);
  normals.reserve(particles.size() + N);

  const float fx = camera.K[0];
  const BackProjector project{camera, W, H, 1.0f / camera.K[0], 1.0f / camera.K[4]};
  const Eigen::Vector3f C = toEigen(camera.center);
  std::vector<Slot> slots(N);
  std::exception_ptr error;

#pragma omp parallel
  {
    try {
      std::vector<Eigen::Vector3f> points;
      std::vector<float> weights;
      points.reserve(100);
      weights.reserve(100);
      const int threads = omp_get_num_threads(), t = omp_get_thread_num();
      const std::size_t chunk = (N + threads - 1) / threads;
      const std::size_t end = std::min((t + 1) * chunk, N);
      for (std::size_t i = t * chunk; i < end; ++i) {
        const Superpixel& sp = superpixels[i];
        points.clear();
        for (const int2& px : sp.pixels) {
          if (px.x < 0 || px.y < 0 || px.x >= W || px.y >= H) {
            std::stringstream ss;
            ss << "create_particles_from_superpixels: pixel (" << px.x << ", " << px.y
               << ") of superpixel " << i << " lies outside the depth map (" << W << " x " << H
               << ")";
            throw std::runtime_error(ss.str());
          }
          const float d = depthmap.data[std::size_t(px.y) * W + px.x];
          if (d != 0.0f && std::fabs(d) <= FLT_MAX && d != FLT_MAX)
            points.push_back(project(px.x, px.y, d));
        }
        const std::size_t m = points.size(), k = sp.pixels.size();
        // A superpixel without pixels has nothing to fit a plane to.
        if (k == 0 || 0.8 * double(k) > double(m)) continue;

        float3 c, n;
        fit_superpixel_plane(c, n, weights, points, camera);
        const Eigen::Vector3f toCamera = C - toEigen(c);
        const float s = toCamera.norm();
        Slot& slot = slots[i];
        Particle& p = slot.particle;
        p.position = c;
        p.direction = toFloat3(toCamera / s);
        p.normal = n;
        p.color = sp.color;
        p.camera = camera.index;
        p.pixel = int(i);
        p.size = float(double(s / fx) * std::sqrt(double(m) / kPi));
        p.flag = false;

        slot.normal = n;
        if (!no_normals) {
          Eigen::Vector3f sum = Eigen::Vector3f::Zero();
          int summed = 0;
          for (const int2& px : sp.pixels) {
            const std::size_t e = std::size_t(px.y) * W + px.x;
            if (model_depth.data[e] != 0.0f) {  // NaN counts as a depth here
              sum += toEigen(model_normals.data[e]);
              ++summed;
            }
          }
          if (summed > 3) slot.normal = toFloat3(sum / sum.norm());
        }

        slot.offset = 0.0f;
        if (!no_depth) {
          points.clear();
          for (const int2& px : sp.pixels) {
            const float d = model_depth.data[std::size_t(px.y) * W + px.x];
            if (d != 0.0f && std::fabs(d) <= FLT_MAX) points.push_back(project(px.x, px.y, d));
          }
          if (points.size() > 2) {
            float3 c2, n2;
            fit_superpixel_plane(c2, n2, weights, points, camera);
            slot.offset = (toEigen(c2) - toEigen(c)).dot(toEigen(p.direction));
          }
        }
        slot.made = true;
      }
    } catch (...) {
#pragma omp critical(create_particles_from_superpixels_error)
      if (!error) error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);

  for (const Slot& slot : slots) {
    if (!slot.made) continue;
    particles.push_back(slot.particle);
    offsets.push_back(slot.offset);
    normals.push_back(slot.normal);
  }
}
