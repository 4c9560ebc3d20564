#include "dense_points.h"

#include <omp.h>

#include <cfloat>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

inline float dot3(const float3& a, const float3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// R is stored column by column: entry (row i, column j) is R[3 * j + i].
inline float3 rotate(const float* R, const float3& v) {
  return make_float3(R[0] * v.x + R[3] * v.y + R[6] * v.z, R[1] * v.x + R[4] * v.y + R[7] * v.z,
                     R[2] * v.x + R[5] * v.y + R[8] * v.z);
}

inline float3 rotateTransposed(const float* R, const float3& v) {
  return make_float3(R[0] * v.x + R[1] * v.y + R[2] * v.z, R[3] * v.x + R[4] * v.y + R[5] * v.z,
                     R[6] * v.x + R[7] * v.y + R[8] * v.z);
}

inline bool validDepth(float d, float lo, float hi) { return std::isfinite(d) && lo < d && hi > d; }

// World point of the mirrored pixel (u, v) at depth d: R^T (q(d) - t).
inline float3 backProject(const Camera& c, float u, float v, float d, float inv_fx, float inv_fy) {
  const float3 q = make_float3((u - c.K[6]) * inv_fx * d, (v - c.K[7]) * inv_fy * d, d);
  return rotateTransposed(c.R, make_float3(q.x - c.t.x, q.y - c.t.y, q.z - c.t.z));
}

template <class T>
void requireSize(const CMatrix<T>& m, const CMatrix<float>& depthmap, const char* what,
                 const Camera& camera) {
  if (m.xSize == depthmap.xSize && m.ySize == depthmap.ySize) return;
  std::stringstream ss;
  ss << "create_particles_from_depthmap: the " << what << " of camera " << camera.index << " is "
     << m.xSize << " x " << m.ySize << " pixels, its depth map " << depthmap.xSize << " x "
     << depthmap.ySize;
  throw std::runtime_error(ss.str());
}

}  // namespace

void particles_to_images(CMatrix<float>& depth_image, CMatrix<float3>& normal_image,
                         const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals,
                         const std::vector<Superpixel>& superpixels, const Camera& camera,
                         float depth_min, float depth_max) {
  const int W = camera.width, H = camera.height;
  depth_image = CMatrix<float>(W, H);
  normal_image = CMatrix<float3>(W, H);
  const std::size_t n = std::size_t(W) * std::size_t(H);
  for (std::size_t k = 0; k < n; ++k) {
    depth_image.data[k] = 0.f;
    normal_image.data[k] = make_float3(0.f, 0.f, 0.f);
  }
  const float rx = 1.f / camera.K[0], ry = 1.f / camera.K[4];
  const float cx = camera.K[6], cy = camera.K[7];

  for (std::size_t i = 0; i < particles.size(); ++i) {
    const Particle& p = particles[i];
    if (p.camera != camera.index) continue;
    const float3 d = p.direction, nw = normals[i];
    if (0.3420201433256688 > double(dot3(d, nw))) continue;
    if (p.pixel < 0 || std::size_t(p.pixel) >= superpixels.size()) continue;
    const float3 pos = effective_position(p, offsets[i]);
    const float3 nc = rotate(camera.R, nw);
    const float3 r = rotate(camera.R, pos);
    const float3 pc = make_float3(r.x + camera.t.x, r.y + camera.t.y, r.z + camera.t.z);
    const float h = dot3(nc, pc);
    for (const int2& px : superpixels[std::size_t(p.pixel)].pixels) {
      // Pixels outside the camera's image belong to superpixels of another image size.
      if (px.x < 0 || px.y < 0 || px.x >= W || px.y >= H) continue;
      const float u = (float(W - 1 - px.x) - cx) * rx;
      const float v = (float(H - 1 - px.y) - cy) * ry;
      const float z = h / (nc.x * u + nc.y * v + nc.z);
      const bool ok = depth_min < z && z < depth_max && std::fabs(z) <= FLT_MAX;
      const std::size_t k = std::size_t(px.y) * std::size_t(W) + std::size_t(px.x);
      depth_image.data[k] = ok ? z : 0.f;
      normal_image.data[k] = nw;
    }
  }
}

void create_particles_from_depthmap(std::vector<Particle>& particles, std::vector<float>& offsets,
                                    std::vector<float3>& normals, const CMatrix<float>& model_depth,
                                    const CMatrix<float3>& model_normals,
                                    const CMatrix<float>& depthmap, const CMatrix<uchar4>& image,
                                    const Camera& camera, float depth_min, float depth_max) {
  requireSize(model_depth, depthmap, "model depth image", camera);
  requireSize(model_normals, depthmap, "model normal image", camera);
  requireSize(image, depthmap, "colour image", camera);
  const int W = depthmap.xSize, H = depthmap.ySize;
  const std::size_t n = std::size_t(W) * std::size_t(H);

  // Rows are split over the team: each block counts its points, then writes them at its place
  // in row-major order, the order of one pass over the image.
  const auto keeps = [&](std::size_t k) {
    return validDepth(model_depth.data[k], depth_min, depth_max);
  };
  const int threads = omp_get_max_threads();
  const bool parallel = n >= 65536;
  std::vector<std::size_t> block_counts(std::size_t(threads) + 1, 0);
  int team = 1;
#pragma omp parallel if (parallel)
  {
    const int t = omp_get_thread_num();
#pragma omp single
    team = omp_get_num_threads();
    const std::size_t y0 = std::size_t(H) * t / team, y1 = std::size_t(H) * (t + 1) / team;
    std::size_t local = 0;
    for (std::size_t k = y0 * std::size_t(W); k < y1 * std::size_t(W); ++k)
      local += keeps(k) ? 1 : 0;
    block_counts[std::size_t(t) + 1] = local;
  }
  for (int b = 0; b < team; ++b) block_counts[std::size_t(b) + 1] += block_counts[std::size_t(b)];
  const std::size_t first = particles.size();
  const std::size_t total = first + block_counts[std::size_t(team)];
  particles.resize(total);
  offsets.resize(total);
  normals.resize(total);

#pragma omp parallel if (parallel)
  {
    // Each block of the counting split, whatever team this region gets.
    for (int t = omp_get_thread_num(); t < team; t += omp_get_num_threads()) {
      const int y0 = int(std::size_t(H) * t / team), y1 = int(std::size_t(H) * (t + 1) / team);
      std::size_t out = first + block_counts[std::size_t(t)];

      const float inv_fx = 1.f / camera.K[0], inv_fy = 1.f / camera.K[4];
      const float3 C = camera.center;
      for (int y = y0; y < y1; ++y) {
        for (int x = 0; x < W; ++x) {
          const std::size_t k = std::size_t(y) * std::size_t(W) + std::size_t(x);
          const float a = model_depth.data[k];
          if (!validDepth(a, depth_min, depth_max)) continue;
          const float b = depthmap.data[k];
          const bool measured = validDepth(b, depth_min, depth_max);
          const float d = measured ? b : a;
          const float u = float(W - 1 - x), v = float(H - 1 - y);
          const float3 P = backProject(camera, u, v, d, inv_fx, inv_fy);
          const float3 r = make_float3(C.x - P.x, C.y - P.y, C.z - P.z);
          const float len = std::sqrt(dot3(r, r));
          const float3 dir = make_float3(r.x / len, r.y / len, r.z / len);

          Particle p;
          p.position = P;
          p.direction = dir;
          p.normal = dir;
          p.color = image.data[k];
          p.camera = camera.index;
          p.pixel = y * W + x;
          p.size = a * inv_fx;
          p.flag = !measured;
          particles[out] = p;
          normals[out] = model_normals.data[k];
          const float3 Q = backProject(camera, u, v, a, inv_fx, inv_fy);
          offsets[out] = dot3(make_float3(Q.x - P.x, Q.y - P.y, Q.z - P.z), dir);
          ++out;
        }
      }
    }
  }
}
