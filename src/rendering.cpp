#include "rendering.h"

#include <omp.h>

#include <Eigen/Dense>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "render_depthmaps_kernels.h"
#include "render_memory.h"
#include "yv/algorithms/basic/arithmetic.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/timer.h"

namespace {

// Negative sizes are refused like zero ones by the allocation.
unsigned extentOf(int v) { return v > 0 ? unsigned(v) : 0u; }

template <class T, int N>
yv::Array<T, N> deviceArray(unsigned x, unsigned y, unsigned z) {
  return yv::internal::decreaseArrayDimension<T, 4, N>(
      yv::mallocDeviceArray<T>(make_uint4(x, y, z, 1), yv::PITCHED));
}

template <class T, int N>
void fill(yv::Array<T, N>& a, T value) {
  yv::Array<T, 4> a4 = yv::internal::increaseArrayDimension<T, N, 4>(a);
  yv::set(a4, value, 0);
}

template <class T>
void zero(const yv::Array<T, 3>& a) {
  cudaPitchedPtr p = make_cudaPitchedPtr(static_cast<void*>(a.ptr), a.pitch.y,
                                         std::size_t(a.size.x) * sizeof(T), a.size.y);
  yv::rt::memset3D(p, 0, make_cudaExtent(std::size_t(a.size.x) * sizeof(T), a.size.y, a.size.z));
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

template <class T>
void zero(const yv::Array<T, 2>& a) {
  cudaPitchedPtr p = make_cudaPitchedPtr(static_cast<void*>(a.ptr), a.pitch.y,
                                         std::size_t(a.size.x) * sizeof(T), a.size.y);
  yv::rt::memset3D(p, 0, make_cudaExtent(std::size_t(a.size.x) * sizeof(T), a.size.y, 1));
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

const uchar4 kClearColor = {0, 0, 0, 0};

}  // namespace

// ---- records ------------------------------------------------------------------------------------

Points createPoints(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                    const std::vector<float3>& normals) {
  const std::size_t n = particles.size();
  if (offsets.size() != n || normals.size() != n) {
    std::stringstream ss;
    ss << "createPoints: the particle set is not aligned" << std::endl
       << " " << n << " particles, " << offsets.size() << " offsets, " << normals.size()
       << " normals";
    throw std::runtime_error(ss.str());
  }
  const unsigned count = unsigned(n);
  ArrayReleaser guard;
  Points p;
  p.positions = deviceArray<float, 2>(count, 3, 1);
  guard.add(p.positions);
  p.normals = deviceArray<float, 2>(count, 3, 1);
  guard.add(p.normals);
  p.colors = deviceArray<uchar4, 1>(count, 1, 1);
  guard.add(p.colors);
  p.sizes = deviceArray<float, 1>(count, 1, 1);
  guard.add(p.sizes);

  {
    yv::Array<float, 4> staging = yv::mallocHostArray<float>(make_uint4(count, 3, 1, 1), yv::PACKED);
    ArrayReleaser stagingGuard;
    stagingGuard.add(staging);
    for (std::size_t i = 0; i < n; ++i) {
      const Particle& q = particles[i];
      const float o = offsets[i];
      yv::at(staging, unsigned(i), 0u, 0u, 0u) = o * q.direction.x + q.position.x;
      yv::at(staging, unsigned(i), 1u, 0u, 0u) = o * q.direction.y + q.position.y;
      yv::at(staging, unsigned(i), 2u, 0u, 0u) = o * q.direction.z + q.position.z;
    }
    yv::Array<float, 2> s2 = yv::internal::decreaseArrayDimension<float, 4, 2>(staging);
    yv::arrayCopy(p.positions, s2);
    for (std::size_t i = 0; i < n; ++i) {
      yv::at(staging, unsigned(i), 0u, 0u, 0u) = normals[i].x;
      yv::at(staging, unsigned(i), 1u, 0u, 0u) = normals[i].y;
      yv::at(staging, unsigned(i), 2u, 0u, 0u) = normals[i].z;
    }
    yv::arrayCopy(p.normals, s2);
  }
  {
    yv::Array<uchar4, 4> staging =
        yv::mallocHostArray<uchar4>(make_uint4(count, 1, 1, 1), yv::PACKED);
    ArrayReleaser stagingGuard;
    stagingGuard.add(staging);
    for (std::size_t i = 0; i < n; ++i) staging.ptr[i] = particles[i].color;
    yv::Array<uchar4, 1> s1 = yv::internal::decreaseArrayDimension<uchar4, 4, 1>(staging);
    yv::arrayCopy(p.colors, s1);
  }
  {
    yv::Array<float, 4> staging = yv::mallocHostArray<float>(make_uint4(count, 1, 1, 1), yv::PACKED);
    ArrayReleaser stagingGuard;
    stagingGuard.add(staging);
    for (std::size_t i = 0; i < n; ++i) staging.ptr[i] = particles[i].size;
    yv::Array<float, 1> s1 = yv::internal::decreaseArrayDimension<float, 4, 1>(staging);
    yv::arrayCopy(p.sizes, s1);
  }
  guard.dismiss();
  return p;
}

RenderBuffer createRenderBuffer(int width, int height) {
  const unsigned W = extentOf(width), H = extentOf(height);
  ArrayReleaser guard;
  RenderBuffer b;
  b.image = deviceArray<uchar4, 2>(W, H, 1);
  guard.add(b.image);
  b.depth = deviceArray<float, 2>(W, H, 1);
  guard.add(b.depth);
  b.color_sum = deviceArray<float, 3>(W, H, 4);
  guard.add(b.color_sum);
  b.normal_sum = deviceArray<float, 3>(W, H, 3);
  guard.add(b.normal_sum);
  b.weight_sum = deviceArray<float, 2>(W, H, 1);
  guard.dismiss();
  return b;
}

void releasePoints(Points& points) {
  yv::releaseArray(points.positions);
  yv::releaseArray(points.normals);
  yv::releaseArray(points.colors);
  yv::releaseArray(points.sizes);
  points = Points{};
}

void releaseRenderBuffer(RenderBuffer& buffer) {
  yv::releaseArray(buffer.image);
  yv::releaseArray(buffer.depth);
  yv::releaseArray(buffer.color_sum);
  yv::releaseArray(buffer.normal_sum);
  yv::releaseArray(buffer.weight_sum);
  buffer = RenderBuffer{};
}

void clearRenderBuffer(RenderBuffer& buffer, uchar4 color, float depth) {
  fill(buffer.image, color);
  fill(buffer.depth, depth);
  zero(buffer.color_sum);
  zero(buffer.normal_sum);
  zero(buffer.weight_sum);
}

void clear_render_buffer_arrays(RenderBuffer& buffer, uchar4 color) {
  clearRenderBuffer(buffer, color, FLT_MAX);
}

Projection camera_projection(const Camera& camera, unsigned int W, unsigned int H, float near,
                             float far) {
  const float sx = float(W) / float(camera.width);
  const float sy = float(H) / float(camera.height);
  Projection p;
  p.width = W;
  p.height = H;
  p.fx = camera.K[0] * sx;
  p.fy = camera.K[4] * sy;
  p.cx = camera.K[6] * sx;
  p.cy = camera.K[7] * sy;
  // Camera::R is stored column by column; the projection holds it row by row.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) p.R[3 * i + j] = camera.R[3 * j + i];
  p.t[0] = camera.t.x;
  p.t[1] = camera.t.y;
  p.t[2] = camera.t.z;
  p.near = near;
  p.far = far;
  return p;
}

// ---- point splatting ----------------------------------------------------------------------------

void render_points(RenderBuffer& buffer, Projection projection, const Points& points,
                   float depth_tolerance, float radius_scale) {
  yv::timer::start("rendering");
  clear_render_buffer_arrays(buffer, kClearColor);
  yv::timer::start("visibility");
  render_passes::visibility_pass(buffer, projection, points, radius_scale);
  yv::timer::stop("visibility");
  yv::timer::start("attributes");
  render_passes::attribute_pass(buffer, projection, points, radius_scale, depth_tolerance);
  yv::timer::stop("attributes");
  yv::timer::start("shading");
  render_passes::shading_pass(buffer);
  yv::timer::stop("shading");
  yv::timer::stop("rendering");
}

void render_points(RenderBuffer& buffer, const Points& points, const Camera& camera,
                   float depth_tolerance, float near, float far, float radius_scale) {
  render_points(buffer,
                camera_projection(camera, buffer.image.size.x, buffer.image.size.y, near, far),
                points, depth_tolerance, radius_scale);
}

// ---- depth maps ---------------------------------------------------------------------------------

void render_depthmap(RenderBuffer& buffer, float inv_fx, float inv_fy, float cx, float cy,
                     Projection projection, const yv::Array<float, 2>& depthmap,
                     const yv::Array<uchar4, 2>& image, float radius_scale) {
  yv::timer::start("rendering");
  clear_render_buffer_arrays(buffer, kClearColor);
  yv::timer::start("visibility");
  render_passes::depthmap_visibility_pass(buffer, inv_fx, inv_fy, cx, cy, projection, depthmap,
                                          radius_scale);
  yv::timer::stop("visibility");
  yv::timer::start("attributes");
  render_passes::depthmap_attribute_pass(buffer, inv_fx, inv_fy, cx, cy, projection, depthmap,
                                         image, radius_scale);
  yv::timer::stop("attributes");
  yv::timer::start("shading");
  render_passes::shading_pass(buffer);
  yv::timer::stop("shading");
  yv::timer::stop("rendering");
}

namespace {

Eigen::Matrix4d poseOf(const Camera& c) {
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) T(i, j) = c.R[3 * j + i];
  T(0, 3) = c.t.x;
  T(1, 3) = c.t.y;
  T(2, 3) = c.t.z;
  return T;
}

}  // namespace

void render_depthmap(RenderBuffer& buffer, const yv::Array<float, 2>& depthmap,
                     const yv::Array<uchar4, 2>& image, const Camera& source, const Camera& target,
                     float near, float far, float radius_scale) {
  const Eigen::Matrix4d M = poseOf(target) * poseOf(source).inverse();
  const unsigned Wb = buffer.image.size.x, Hb = buffer.image.size.y;
  const float sx = float(Wb) / float(depthmap.size.x);
  const float sy = float(Hb) / float(depthmap.size.y);
  Projection p;
  p.width = Wb;
  p.height = Hb;
  p.fx = target.K[0] * sx;
  p.cx = target.K[6] * sx;
  p.fy = target.K[4] * sy;
  p.cy = target.K[7] * sy;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) p.R[3 * i + j] = float(M(i, j));
    p.t[i] = float(M(i, 3));
  }
  p.near = near;
  p.far = far;
  render_depthmap(buffer, 1.f / source.K[0], 1.f / source.K[4], source.K[6], source.K[7], p,
                  depthmap, image, radius_scale);
}

void _compute_depthmap_and_normals_from_points(yv::Array<float, 2>& depth,
                                               yv::Array<float, 3>& normals,
                                               Projection projection, const Points& points,
                                               float depth_tolerance, float radius_scale) {
  fill(depth, FLT_MAX);
  fill(normals, 0.f);
  RenderBuffer b{};
  b.depth = depth;
  b.normal_sum = normals;
  render_passes::visibility_pass(b, projection, points, radius_scale);
  render_passes::normal_pass(b, projection, points, radius_scale, depth_tolerance);
}

void compute_depthmap_and_normals_from_points(CMatrix<float>& depth, CMatrix<float3>& normals,
                                              const Points& points, const Camera& camera,
                                              float depth_tolerance, float near, float far,
                                              float radius_scale) {
  const unsigned W = extentOf(camera.width), H = extentOf(camera.height);
  const Projection projection = camera_projection(camera, W, H, near, far);
  ArrayReleaser guard;
  yv::Array<float, 2> d_depth = deviceArray<float, 2>(W, H, 1);
  guard.add(d_depth);
  yv::Array<float, 3> d_normals = deviceArray<float, 3>(W, H, 3);
  guard.add(d_normals);
  _compute_depthmap_and_normals_from_points(d_depth, d_normals, projection, points,
                                            depth_tolerance, radius_scale);

  yv::Array<float, 4> sums = yv::mallocHostArray<float>(make_uint4(W, H, 3, 1), yv::PACKED);
  guard.add(sums);
  yv::Array<float, 3> sums3 = yv::internal::decreaseArrayDimension<float, 4, 3>(sums);
  yv::arrayCopy(sums3, d_normals);
  depth = CMatrix<float>(static_cast<int>(W), static_cast<int>(H));
  normals = CMatrix<float3>(static_cast<int>(W), static_cast<int>(H));
  yv::Array<float, 2> depthView = yv::arrayFromHostMemory(depth.data, W, H);
  yv::arrayCopy(depthView, d_depth);
  float3* normalImage = normals.data;

  const float inv_fx = 1.f / camera.K[0], inv_fy = 1.f / camera.K[4];
  const float cx = camera.K[6], cy = camera.K[7];
  const float* R = camera.R;  // column by column
  const float3 t = camera.t, C = camera.center;
#pragma omp parallel for schedule(static)
  for (int y = 0; y < int(H); ++y) {
    for (unsigned x = 0; x < W; ++x) {
      const float3 s = make_float3(yv::at(sums, x, unsigned(y), 0u, 0u),
                                   yv::at(sums, x, unsigned(y), 1u, 0u),
                                   yv::at(sums, x, unsigned(y), 2u, 0u));
      const float len = std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
      float3 n;
      if (len > 1e-6f) {
        const float k = 1.f / len;
        n = make_float3(s.x * k, s.y * k, s.z * k);
      } else {
        // No disk here: the direction from the pixel's ray towards the camera.
        const float3 q = make_float3((float(W - 1 - x) - cx) * inv_fx - t.x,
                                     (float(H - 1 - unsigned(y)) - cy) * inv_fy - t.y, 1.f - t.z);
        const float3 P = make_float3(R[0] * q.x + R[1] * q.y + R[2] * q.z,
                                     R[3] * q.x + R[4] * q.y + R[5] * q.z,
                                     R[6] * q.x + R[7] * q.y + R[8] * q.z);
        const float3 v = make_float3(C.x - P.x, C.y - P.y, C.z - P.z);
        const float k = 1.f / std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
        n = make_float3(v.x * k, v.y * k, v.z * k);
      }
      normalImage[std::size_t(y) * W + x] = n;
    }
  }
}

// ---- visibility queries -------------------------------------------------------------------------

yv::Array<int, 1> contributing_points(RenderBuffer& buffer, Projection projection,
                                      const Points& points, float depth_tolerance,
                                      float radius_scale) {
  ArrayReleaser guard;
  yv::Array<int, 1> flags = deviceArray<int, 1>(points.positions.size.x, 1, 1);
  guard.add(flags);
  clear_render_buffer_arrays(buffer, kClearColor);
  render_passes::visibility_pass(buffer, projection, points, radius_scale);
  render_passes::contribution_pass(flags, buffer, projection, points, radius_scale,
                                   depth_tolerance);
  guard.dismiss();
  return flags;
}

std::vector<int> contributing_points(RenderBuffer& buffer, const Points& points,
                                     const Camera& camera, float depth_tolerance, float near,
                                     float far, float radius_scale) {
  yv::Array<int, 1> flags = contributing_points(
      buffer, camera_projection(camera, buffer.image.size.x, buffer.image.size.y, near, far),
      points, depth_tolerance, radius_scale);
  ArrayReleaser guard;
  guard.add(flags);
  std::vector<int> result(flags.size.x, 0);
  vectorCopy<int>(result, flags);
  return result;
}

template <class T>
void vectorCopy(std::vector<T>& destination, yv::Array<T, 1> source) {
  yv::Array<T, 1> view;
  view.ptr = destination.data();
  view.pitch.x = sizeof(T);
  view.size.x = unsigned(destination.size());
  view.device = -1;
  yv::arrayCopy(view, source);
}

template void vectorCopy<int>(std::vector<int>&, yv::Array<int, 1>);

void compute_min_camdistance(yv::Array<float, 2>& result, Projection projection,
                             const Points& points, const yv::Array<float, 1>& values,
                             float depth_tolerance, float radius_scale) {
  ArrayReleaser guard;
  RenderBuffer b{};
  b.depth = deviceArray<float, 2>(projection.width, projection.height, 1);
  guard.add(b.depth);
  fill(b.depth, FLT_MAX);
  fill(result, FLT_MAX);
  render_passes::visibility_pass(b, projection, points, radius_scale);
  render_passes::min_camdistance_pass(result, values, b, projection, points, radius_scale,
                                      depth_tolerance);
}
