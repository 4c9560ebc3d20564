#include "dense_points.h"

#include <cfloat>
#include <cmath>
#include <sstream>
#include <stdexcept>

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
                                    std::vector<float3>& normals,
                                    const CMatrix<float>& model_depth,
                                    const CMatrix<float3>& model_normals,
                                    const CMatrix<float>& depthmap, const CMatrix<uchar4>& image,
                                    const Camera& camera, float depth_min, float depth_max) {
  requireSize(model_depth, depthmap, "model depth image", camera);
  requireSize(model_normals, depthmap, "model normal image", camera);
  requireSize(image, depthmap, "colour image", camera);
  const int W = depthmap.xSize, H = depthmap.ySize;
  const std::size_t n = std::size_t(W) * std::size_t(H);

  std::size_t count = 0;
  for (std::size_t k = 0; k < n; ++k)
    if (validDepth(model_depth.data[k], depth_min, depth_max) &&
        validDepth(depthmap.data[k], depth_min, depth_max))
      ++count;
  particles.reserve(particles.size() + count);
  offsets.reserve(offsets.size() + count);
  normals.reserve(normals.size() + count);

  const float inv_fx = 1.f / camera.K[0], inv_fy = 1.f / camera.K[4];
  const float3 C = camera.center;
  for (int y = 0; y < H; ++y) {
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
      particles.push_back(p);
      normals.push_back(model_normals.data[k]);
      const float3 Q = backProject(camera, u, v, a, inv_fx, inv_fy);
      offsets.push_back(dot3(make_float3(Q.x - P.x, Q.y - P.y, Q.z - P.z), dir));
    }
  }
}
