#include "depthmap_refinement_kernels.h"

#include <cfloat>
#include <cmath>
#include <stdexcept>

#include "yv/runtime/launch.cuh"
#include "yv/runtime/runtime.h"
#include "yv/runtime/texture.h"
#include "yv/tools/cuda_check.h"

namespace {

// 315 / (64 pi) as single-precision arithmetic yields it (one unit below the rounded value).
constexpr float kWindowWeight = 1.5666814f;

YV_HD_INLINE float4 madd(float4 s, float w, const float4& c) {
  s.x += w * c.x;
  s.y += w * c.y;
  s.z += w * c.z;
  s.w += w * c.w;
  return s;
}
YV_HD_INLINE float4 minus(const float4& a, const float4& b) {
  return make_float4(a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w);
}
YV_HD_INLINE float4 scale(const float4& a, float s) {
  return make_float4(a.x * s, a.y * s, a.z * s, a.w * s);
}
YV_HD_INLINE float dot4(const float4& a, const float4& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
}

template <int R>
struct ncc_kernel {
  yv::Array<float, 2> out;
  yv::Array<float, 2> depth;
  float max_depth_diff;
  yv::rt::Texture2D<uchar4> image1_tex;
  yv::rt::Texture2D<uchar4> image2_tex;

  YV_HD static float weight(int dx, int dy) {
    const float d = sqrtf(float(dx * dx + dy * dy));
    const float u = R == 1 ? d : (R == 2 ? d * 0.5f : d / 3.f);
    if (u > 1.f) return 0.f;
    const float a = 1.f - u * u;
    return kWindowWeight * (a * a * a);
  }

  // Window pixel (i, j) counts when its depth is near the centre's and the second image
  // reached it.
  YV_HD bool takesPart(int i, int j, float d0) const {
    if (!(fabsf(yv::at(depth, unsigned(i), unsigned(j)) - d0) < max_depth_diff)) return false;
    return image2_tex.fetch<float4>(float(i) + 0.5f, float(j) + 0.5f).w >= 0.5f;
  }

  YV_HD void operator()(unsigned ux, unsigned uy, unsigned, unsigned) const {
    const int x = int(ux), y = int(uy);
    const int W = int(out.size.x), H = int(out.size.y);
    float& result = yv::at(out, ux, uy);
    if (x < R || y < R || x >= W - R || y >= H - R) {
      result = NAN;
      return;
    }
    const float d0 = yv::at(depth, ux, uy);
    if (!(fabsf(d0) <= FLT_MAX) || d0 <= 0.f || d0 == FLT_MAX) {
      result = NAN;
      return;
    }
    float4 S1 = make_float4(0.f, 0.f, 0.f, 0.f), S2 = S1;
    float n = 0.f, weights = 0.f;
    for (int j = y - R; j <= y + R; ++j)
      for (int i = x - R; i <= x + R; ++i) {
        if (!takesPart(i, j, d0)) continue;
        const float w = weight(i - x, j - y);
        S1 = madd(S1, w, image1_tex.fetch<float4>(float(i) + 0.5f, float(j) + 0.5f));
        S2 = madd(S2, w, image2_tex.fetch<float4>(float(i) + 0.5f, float(j) + 0.5f));
        n += 1.f;
        weights += w;
      }
    if (n <= float((2 * R + 1) * (2 * R + 1)) / 2.f || !(weights > 0.f)) {
      result = NAN;
      return;
    }
    // Deviations from the weighted window means: the score then measures how the two windows
    // vary together, not how alike their average colours are.
    S1 = scale(S1, 1.f / weights);
    S2 = scale(S2, 1.f / weights);
    float C = 0.f, V1 = 0.f, V2 = 0.f;
    for (int j = y - R; j <= y + R; ++j)
      for (int i = x - R; i <= x + R; ++i) {
        if (!takesPart(i, j, d0)) continue;
        const float w = weight(i - x, j - y);
        const float4 e1 = minus(image1_tex.fetch<float4>(float(i) + 0.5f, float(j) + 0.5f), S1);
        const float4 e2 = minus(image2_tex.fetch<float4>(float(i) + 0.5f, float(j) + 0.5f), S2);
        C += w * dot4(e1, e2);
        V1 += w * dot4(e1, e1);
        V2 += w * dot4(e2, e2);
      }
    const float V = V1 * V2;
    if (V > 1e-6f) {
      const float r = C / sqrtf(V);
      result = r < -1.f ? -1.f : (r > 1.f ? 1.f : r);
    } else {
      result = NAN;
    }
  }
};

yv::rt::TextureDesc nearestClamped() {
  yv::rt::TextureDesc d;
  d.filter = yv::rt::TexFilter::Point;
  d.address = yv::rt::TexAddress::Clamp;
  d.read = yv::rt::TexRead::NormalizedFloat;
  d.normalizedCoords = false;
  return d;
}

template <int R>
void launchNcc(yv::Array<float, 2>& out, const yv::Array<float, 2>& depth, float max_depth_diff,
               const yv::rt::Texture2D<uchar4>& t1, const yv::rt::Texture2D<uchar4>& t2) {
  const ncc_kernel<R> k{out, depth, max_depth_diff, t1, t2};
  yv::rt::launch(k, yv::rt::extent2(out.size.x, out.size.y), dim3(32, 4, 1), 0,
                 {out.ptr, depth.ptr});
}

}  // namespace

void ncc(yv::Array<float, 2>& out, const yv::Array<uchar4, 2>& image1,
         const yv::Array<uchar4, 2>& image2, const yv::Array<float, 2>& depth,
         float max_depth_diff, int radius) {
  if (radius != 1 && radius != 2 && radius != 3)
    throw std::runtime_error("ncc: window size not supported");
  yv::rt::Texture2D<uchar4> image1_tex, image2_tex;
  const cudaError_t e1 = yv::rt::createTexture2D(&image1_tex, image1.ptr, image1.pitch.y,
                                                 image1.size.x, image1.size.y, nearestClamped());
  const cudaError_t e2 = yv::rt::createTexture2D(&image2_tex, image2.ptr, image2.pitch.y,
                                                 image2.size.x, image2.size.y, nearestClamped());
  // A texture that could not be made is never sampled; its error is reported below.
  if (e1 == cudaSuccess && e2 == cudaSuccess) {
    if (radius == 2)
      launchNcc<2>(out, depth, max_depth_diff, image1_tex, image2_tex);
    else if (radius == 3)
      launchNcc<3>(out, depth, max_depth_diff, image1_tex, image2_tex);
    else
      launchNcc<1>(out, depth, max_depth_diff, image1_tex, image2_tex);
  } else {
    yv::rt::setLastError(e1 != cudaSuccess ? e1 : e2);
  }
  // The textures go with this call: the kernel must be done with them first.
  const cudaError_t pending = yv::rt::getLastError();
  yv::rt::streamSynchronize(0);
  const cudaError_t later = yv::rt::getLastError();
  if (e1 == cudaSuccess) yv::rt::destroyTexture(&image1_tex);
  if (e2 == cudaSuccess) yv::rt::destroyTexture(&image2_tex);
  yv::rt::setLastError(pending != cudaSuccess ? pending : later);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}
