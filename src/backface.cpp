#include "backface.h"

#include <omp.h>

#include <cfloat>
#include <cmath>

#include "rendering.h"
#include "settings.h"

namespace {

// Frees the point set when the test leaves, normally or by an exception.
struct PointsGuard {
  Points& points;
  ~PointsGuard() { releasePoints(points); }
};

}  // namespace

void backface_visibility_test(std::vector<int>& counts, const std::vector<Particle>& particles,
                              const std::vector<float>& offsets,
                              const std::vector<float3>& normals,
                              const std::vector<Camera*>& cameras, float margin) {
  const std::size_t n = particles.size();
  counts.resize(n, 0);
  Points points = createPoints(particles, offsets, normals);
  PointsGuard guard{points};

  for (const Camera* camera : cameras) {
    CMatrix<float> depth;
    CMatrix<float3> normal_image;
    compute_depthmap_and_normals_from_points(depth, normal_image, points, *camera,
                                             rendering_depth_tolerance, 0.0f, FLT_MAX, 1.0f);
    const Projection pr = camera_projection(*camera, unsigned(camera->width),
                                            unsigned(camera->height), 0.0f, FLT_MAX);
    const int W = camera->width, H = camera->height;
    const float* D = depth.data;

#pragma omp parallel for schedule(static)
    for (long long k = 0; k < (long long)n; ++k) {
      const std::size_t i = std::size_t(k);
      const float* R = pr.R;
      const float3 nw = normals[i];
      const float mz = R[6] * nw.x + R[7] * nw.y + R[8] * nw.z;
      if (mz <= 0.f) continue;  // only normals pointing away from the camera are tested
      const float3 p = effective_position(particles[i], offsets[i]);
      const float X = R[0] * p.x + R[1] * p.y + R[2] * p.z + pr.t[0];
      const float Y = R[3] * p.x + R[4] * p.y + R[5] * p.z + pr.t[1];
      const float Z = R[6] * p.x + R[7] * p.y + R[8] * p.z + pr.t[2];
      if (Z <= 0.f) continue;
      const float u = X * pr.fx / Z + pr.cx;
      const float v = Y * pr.fy / Z + pr.cy;
      // The nearest element in the mirrored layout, range-checked before the conversion to int.
      const float fx = std::floor(float(W - 1) + 0.5f - u);
      const float fy = std::floor(float(H - 1) + 0.5f - v);
      if (!(fx >= 1.f && fx <= float(W - 2) && fy >= 1.f && fy <= float(H - 2))) continue;
      const int ix = int(fx), iy = int(fy);
      float dmin = FLT_MAX;
      for (int y = iy - 1; y <= iy + 1; ++y)
        for (int x = ix - 1; x <= ix + 1; ++x) {
          const float d = D[std::size_t(y) * std::size_t(W) + std::size_t(x)];
          if (d < dmin) dmin = d;  // NaN never lowers the minimum
        }
      if (dmin > 0.f && dmin != FLT_MAX && dmin > Z + margin) counts[i] += 1;
    }
  }
}
