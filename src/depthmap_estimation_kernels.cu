// Matching-cost volumes: per-pixel absolute differences, windowed cross-correlation with the
// window projected pixel by pixel, and its plane-sweep form over warped images and box means.
#include "depthmap_estimation_kernels.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings.h"
#include "yv/runtime/float_ops.h"
#include "yv/runtime/launch.cuh"
#include "yv/runtime/runtime.h"
#include "yv/runtime/texture.h"
#include "yv/runtime/texture_offset.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"
#include "yv/tools/dump.h"
#include "yv/tools/range.h"

namespace {

using yv::rt::Texture2D;

// The depth of a label: inverse depth is linear in the label; product and sum are rounded once,
// the reciprocal is correctly rounded.
YV_HD_INLINE float labelDepth(unsigned l, float start, float step) {
  return yv::rt::div_rn(1.0f, yv::rt::fma_rn(float(l), step, start));
}

// Projects a point of the reference frame into the second image (mirrored coordinates).
YV_HD_INLINE void project(const ProjectionMatrix& P, float X, float Y, float Z, float* u, float* v,
                          float* w) {
  const float up = P.P[0] * X + P.P[1] * Y + P.P[2] * Z + P.P[3];
  const float vp = P.P[4] * X + P.P[5] * Y + P.P[6] * Z + P.P[7];
  const float wp = P.P[8] * X + P.P[9] * Y + P.P[10] * Z + P.P[11];
  *u = up / wp;
  *v = vp / wp;
  *w = wp;
}

// Inside [0, W - 1] x [0, H - 1]. Written so that a NaN position (a point on the second
// camera's plane) counts as outside instead of reaching the sampler.
YV_HD_INLINE bool insideImage(float u, float v, unsigned W, unsigned H) {
  return u >= 0.f && u <= float(W - 1) && v >= 0.f && v <= float(H - 1);
}

YV_HD_INLINE float4 sub4(float4 a, float4 b) {
  return make_float4(a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w);
}
YV_HD_INLINE float dot4(float4 a, float4 b) { return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w; }

// Launched over (W, H, label groups of LabelsPerThread); adds |s - r| over RGB.
template <bool InverseDepth, int LabelsPerThread>
struct add_matching_costs_SAD_kernel {
  static_assert(InverseDepth, "labels are spaced in inverse depth");
  yv::Array<float, 4> costs;
  float start, step, inv_fx, inv_fy, cx, cy;
  ProjectionMatrix P;
  Texture2D<uchar4> ref_img_tex, img_tex;

  YV_HD void operator()(unsigned x, unsigned y, unsigned g, unsigned) const {
    const unsigned W = costs.size.x, H = costs.size.y, L = costs.size.z;
    const float4 r = ref_img_tex.template fetch<float4>(x + 0.5f, y + 0.5f);
    const float rayX = (float(W - 1 - x) - cx) * inv_fx;
    const float rayY = (float(H - 1 - y) - cy) * inv_fy;
    for (int j = 0; j < LabelsPerThread; ++j) {
      const unsigned l = unsigned(LabelsPerThread) * g + unsigned(j);
      if (l >= L) break;
      const float d = labelDepth(l, start, step);
      float u, v, w;
      project(P, rayX * d, rayY * d, d, &u, &v, &w);
      if (!insideImage(u, v, W, H)) continue;
      const float4 s = img_tex.template fetch<float4>((float(W - 1) - u) + 0.5f,
                                                      (float(H - 1) - v) + 0.5f);
      const float c = fabsf(s.x - r.x) + fabsf(s.y - r.y) + fabsf(s.z - r.z);
      yv::at(costs, x, y, l, 0) += c;
      yv::at(costs, x, y, l, 1) += 1.0f;
    }
  }
};

// Launched over (W, H, label groups); 7 x 7 windows (Radius 3) whose pixels are projected one by
// one at the label's depth. The block shape (BX, BY, BZ) is the launch's.
template <bool InverseDepth, int LabelsPerThread, int BX, int BY, int BZ, int Radius>
struct add_matching_costs_NCC_kernel {
  static_assert(InverseDepth, "labels are spaced in inverse depth");
  static constexpr int kSide = 2 * Radius + 1;
  static constexpr int kCount = kSide * kSide;
  yv::Array<float, 4> costs;
  float start, step, inv_fx, inv_fy, cx, cy;
  ProjectionMatrix P;
  Texture2D<uchar4> ref_img_tex, img_tex;

  YV_HD void operator()(unsigned x, unsigned y, unsigned g, unsigned) const {
    const int W = int(costs.size.x), H = int(costs.size.y);
    const unsigned L = costs.size.z;
    // The untouched border: Radius + 1 on the left and top, Radius on the right and bottom.
    if (int(x) < Radius + 1 || int(y) < Radius + 1 || int(x) >= W - Radius ||
        int(y) >= H - Radius)
      return;
    float4 R[kCount], I[kCount];
    for (int j = 0; j < LabelsPerThread; ++j) {
      const unsigned l = unsigned(LabelsPerThread) * g + unsigned(j);
      if (l >= L) break;
      const float d = labelDepth(l, start, step);
      float4 SR = make_float4(0.f, 0.f, 0.f, 0.f), SI = SR;
      for (int dy = -Radius; dy <= Radius; ++dy) {
        for (int dx = -Radius; dx <= Radius; ++dx) {
          const int k = kSide * (dy + Radius) + (dx + Radius);
          const int xx = int(x) + dx, yy = int(y) + dy;
          const float X = (float(W - 1 - xx) - cx) * inv_fx * d;
          const float Y = (float(H - 1 - yy) - cy) * inv_fy * d;
          float u, v, w;
          project(P, X, Y, d, &u, &v, &w);
          if (insideImage(u, v, unsigned(W), unsigned(H))) {
            I[k] = img_tex.template fetch<float4>((float(W - 1) - u) + 0.5f,
                                                  (float(H - 1) - v) + 0.5f);
            R[k] = ref_img_tex.template fetch<float4>(xx + 0.5f, yy + 0.5f);
          } else {
            I[k] = R[k] = make_float4(0.f, 0.f, 0.f, 0.f);
          }
          SR = make_float4(SR.x + R[k].x, SR.y + R[k].y, SR.z + R[k].z, SR.w + R[k].w);
          SI = make_float4(SI.x + I[k].x, SI.y + I[k].y, SI.z + I[k].z, SI.w + I[k].w);
        }
      }
      // At least 70 % of the window (in reference alpha) must project into the second image.
      if (SR.w < 0.7f * kCount) continue;
      const float4 mR = make_float4(SR.x / SR.w, SR.y / SR.w, SR.z / SR.w, SR.w / SR.w);
      const float4 mI = make_float4(SI.x / SI.w, SI.y / SI.w, SI.z / SI.w, SI.w / SI.w);
      float sab = 0.f, saa = 0.f, sbb = 0.f;
      for (int k = 0; k < kCount; ++k) {
        if (I[k].w == 0.f) continue;
        const float4 a = sub4(I[k], mI), b = sub4(R[k], mR);
        sab += dot4(a, b);
        saa += dot4(a, a);
        sbb += dot4(b, b);
      }
      const float prod = saa * sbb;
      if (!(prod > 1e-7f)) continue;
      const float ncc = sab / sqrtf(prod);
      const float c = 1.0f - fminf(fmaxf(0.5f * ncc + 0.5f, 0.f), 1.f);
      yv::at(costs, x, y, l, 0) += c;
      yv::at(costs, x, y, l, 1) += 1.0f;
    }
  }
};

// The second image resampled into the reference view at one depth; (0, 0, 0, 0) where the point
// leaves the image or the scale between the views leaves [0.5, 2].
struct add_matching_costs_warp_kernel {
  yv::Array<uchar4, 2> warped;
  float depth, inv_fx, inv_fy, cx, cy;
  ProjectionMatrix P;
  float fx;
  Texture2D<uchar4> img_tex;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const unsigned W = warped.size.x, H = warped.size.y;
    if (x >= W || y >= H) return;
    const float X = (float(W - 1 - x) - cx) * inv_fx * depth;
    const float Y = (float(H - 1 - y) - cy) * inv_fy * depth;
    float u, v, w;
    project(P, X, Y, depth, &u, &v, &w);
    uchar4 out = make_uchar4(0, 0, 0, 0);
    if (insideImage(u, v, W, H)) {
      const float s = ((inv_fx * depth) * fx) / w;
      if (!(s < 0.5f || s > 2.0f)) {
        const float4 c = img_tex.template fetch<float4>((float(W - 1) - u) + 0.5f,
                                                        (float(H - 1) - v) + 0.5f);
        out = make_uchar4((unsigned char)rintf(fminf(fmaxf(c.x, 0.f), 1.f) * 255.f),
                          (unsigned char)rintf(fminf(fmaxf(c.y, 0.f), 1.f) * 255.f),
                          (unsigned char)rintf(fminf(fmaxf(c.z, 0.f), 1.f) * 255.f), 255);
      }
    }
    yv::at(warped, x, y) = out;
  }
};

// Integer sums of the 2 Radius + 1 pixels around x in row y; zero when one of them lies outside
// the image or has alpha 0. (The block shape BX x BY is the launch's.)
template <int BX, int BY, int Radius>
struct add_matching_costs_mean_kernel1 {
  yv::Array<ushort4, 2> sums;
  yv::Array<uchar4, 2> image;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const int W = int(sums.size.x), H = int(sums.size.y);
    if (int(x) >= W || int(y) >= H) return;
    unsigned r = 0, g = 0, b = 0, a = 0;
    bool valid = true;
    for (int k = -Radius; k <= Radius && valid; ++k) {
      const int px = int(x) + k;
      // Outside the sum image, or outside the source itself (a smaller source is not read
      // past its end), counts as a transparent pixel.
      if (px < 0 || px >= W || px >= int(image.size.x) || int(y) >= int(image.size.y)) {
        valid = false;
        break;
      }
      const uchar4 p = yv::at(image, unsigned(px), y);
      if (p.w == 0) valid = false;
      r += p.x;
      g += p.y;
      b += p.z;
      a += p.w;
    }
    yv::at(sums, x, y) = valid ? make_ushort4((unsigned short)r, (unsigned short)g,
                                              (unsigned short)b, (unsigned short)a)
                               : make_ushort4(0, 0, 0, 0);
  }
};

// Box mean of the RGB channels / 255 over 2 Radius + 1 rows of row sums, fourth channel 1; zero
// when a row lies outside the image or its sum is invalid.
template <int Radius>
struct add_matching_costs_mean_kernel2 {
  yv::Array<float4, 2> mean;
  yv::Array<ushort4, 2> sums;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const int W = int(mean.size.x), H = int(mean.size.y);
    if (int(x) >= W || int(y) >= H) return;
    const float k255 = 1.0f / 255.0f;
    const float kArea = 1.0f / float((2 * Radius + 1) * (2 * Radius + 1));
    float r = 0.f, g = 0.f, b = 0.f;
    for (int row = int(y) - Radius; row <= int(y) + Radius; ++row) {
      if (row < 0 || row >= H || x >= sums.size.x || unsigned(row) >= sums.size.y ||
          yv::at(sums, x, unsigned(row)).w == 0) {
        yv::at(mean, x, y) = make_float4(0.f, 0.f, 0.f, 0.f);
        return;
      }
      const ushort4 s = yv::at(sums, x, unsigned(row));
      r = yv::rt::fma_rn(float(s.x), k255, r);
      g = yv::rt::fma_rn(float(s.y), k255, g);
      b = yv::rt::fma_rn(float(s.z), k255, b);
    }
    yv::at(mean, x, y) = make_float4(r * kArea, g * kArea, b * kArea, 1.0f);
  }
};

// Cross-correlation of the warped 7 x 7 window with the reference window around their box means,
// for one label.
template <int BX, int BY, int Radius>
struct add_matching_costs_NCC_kernel2 {
  yv::Array<float, 4> costs;
  yv::Array<uchar4, 2> ref_image;  // read through ref_img_tex
  yv::Array<float4, 2> ref_mean;
  yv::Array<uchar4, 2> warped;
  yv::Array<float4, 2> warped_mean;
  int label;
  Texture2D<uchar4> ref_img_tex;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const int W = int(costs.size.x), H = int(costs.size.y);
    if (int(x) < Radius + 1 || int(y) < Radius + 1 || int(x) >= W - Radius ||
        int(y) >= H - Radius)
      return;
    // Scratch images smaller than the volume are not read past their ends.
    if (x >= warped_mean.size.x || y >= warped_mean.size.y || x >= ref_mean.size.x ||
        y >= ref_mean.size.y)
      return;
    const float4 mw = yv::at(warped_mean, x, y);
    if (mw.w == 0.f) return;
    const float4 mr = yv::at(ref_mean, x, y);
    float sab = 0.f, saa = 0.f, sbb = 0.f;
    for (int dy = -Radius; dy <= Radius; ++dy) {
      for (int dx = -Radius; dx <= Radius; ++dx) {
        const int xx = int(x) + dx, yy = int(y) + dy;
        if (xx < 0 || yy < 0 || xx >= W || yy >= H || xx >= int(warped.size.x) ||
            yy >= int(warped.size.y))
          continue;
        const uchar4 wp = yv::at(warped, unsigned(xx), unsigned(yy));
        const float ar = wp.x / 255.0f - mw.x, ag = wp.y / 255.0f - mw.y,
                    ab = wp.z / 255.0f - mw.z;
        const float4 rp = ref_img_tex.template fetch<float4>(xx + 0.5f, yy + 0.5f);
        const float br = rp.x - mr.x, bg = rp.y - mr.y, bb = rp.z - mr.z;
        sab += ar * br + ag * bg + ab * bb;
        saa += ar * ar + ag * ag + ab * ab;
        sbb += br * br + bg * bg + bb * bb;
      }
    }
    const float prod = saa * sbb;
    if (!(prod > 1e-6f)) return;
    const float ncc = sab / sqrtf(prod);
    const float c = 1.0f - fminf(fmaxf(0.5f * ncc + 0.5f, 0.f), 1.f);
    yv::at(costs, x, y, unsigned(label), 0) += c;
    yv::at(costs, x, y, unsigned(label), 1) += 1.0f;
  }
};

// ceil(a / b) formed in float, as the launch grids are.
inline unsigned floatCeilDiv(unsigned a, unsigned b) {
  return unsigned(ceilf(float(a) / float(b)));
}

yv::rt::TextureDesc imageTextureDesc(yv::rt::TexFilter filter) {
  yv::rt::TextureDesc d;
  d.filter = filter;
  d.address = yv::rt::TexAddress::Clamp;
  d.read = yv::rt::TexRead::NormalizedFloat;
  d.normalizedCoords = false;
  return d;
}

// What one call holds on the device: the two image textures and its scratch images. Released
// on every way out of the call, once the queued kernels are done with them.
class CallResources {
 public:
  ~CallResources() {
    if (!textures_.empty() || !arrays_.empty()) yv::rt::streamSynchronize(0);
    for (Texture2D<uchar4>* t : textures_) yv::rt::destroyTexture(t);
    for (void* p : arrays_) yv::rt::free(p);
  }
  // Makes a texture over a device image; refuses memory a binding would give an offset. No
  // kernel may run without its texture: a texture that cannot be made ends the call, named by
  // `caller`, before anything is launched.
  void bind(Texture2D<uchar4>* tex, const yv::Array<uchar4, 2>& image, yv::rt::TexFilter filter,
            const char* caller) {
    if (yv::rt::textureOffset(image.ptr) != 0)
      throw std::runtime_error("add_matching_costs: texture offset is not 0");
    const cudaError_t made = yv::rt::createTexture2D(tex, image.ptr, image.pitch.y, image.size.x,
                                                     image.size.y, imageTextureDesc(filter));
    if (made != cudaSuccess) {
      yv::rt::getLastError();  // reported here, not again at a later check
      throw std::runtime_error(std::string(caller) + ": cannot make a texture of an image: " +
                               yv::rt::errorString(made));
    }
    textures_.push_back(tex);
  }
  template <class T>
  yv::Array<T, 2> allocate(unsigned width, unsigned height) {
    const yv::Array<T, 4> a = yv::mallocDeviceArray<T>(make_uint4(width, height, 1, 1), yv::PITCHED);
    arrays_.push_back(a.ptr);
    return yv::internal::decreaseArrayDimension<T, 4, 2>(a);
  }

 private:
  std::vector<Texture2D<uchar4>*> textures_;
  std::vector<void*> arrays_;
};

}  // namespace

void add_matching_costs(yv::Array<float, 4>& costs, const yv::Array<uchar4, 2>& ref_image,
                        const yv::Array<uchar4, 2>& image, float depth0, float depth1, float fx,
                        float fy, float cx, float cy, ProjectionMatrix P,
                        MatchingCostsMetric metric) {
  CallResources call;
  Texture2D<uchar4> refTex, imgTex;
  call.bind(&refTex, ref_image, yv::rt::TexFilter::Point, "add_matching_costs");
  call.bind(&imgTex, image, yv::rt::TexFilter::Linear, "add_matching_costs");

  const unsigned W = costs.size.x, H = costs.size.y, L = costs.size.z;
  const float start = 1.0f / depth0;
  const float step = (1.0f / depth1 - 1.0f / depth0) / float(L - 1);
  const float inv_fx = 1.0f / fx, inv_fy = 1.0f / fy;
  const uint4 extent = make_uint4(W, H, floatCeilDiv(L, 16), 1);
  if (metric == MatchingCostsMetric::NCC) {
    yv::rt::launch(add_matching_costs_NCC_kernel<true, 16, 16, 1, 1, 3>{costs, start, step, inv_fx,
                                                                       inv_fy, cx, cy, P, refTex,
                                                                       imgTex},
                   extent, dim3(16, 1, 1), 0, {costs.ptr});
  } else if (metric == MatchingCostsMetric::SAD) {
    yv::rt::launch(add_matching_costs_SAD_kernel<true, 16>{costs, start, step, inv_fx, inv_fy, cx,
                                                           cy, P, refTex, imgTex},
                   extent, dim3(32, 4, 1), 0, {costs.ptr});
  }
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

void add_matching_costs2(yv::Array<float, 4>& costs, const yv::Array<uchar4, 2>& ref_image,
                         const yv::Array<uchar4, 2>& image, float depth0, float depth1, float fx,
                         float fy, float cx, float cy, ProjectionMatrix P,
                         MatchingCostsMetric /*metric*/) {
  CallResources call;
  Texture2D<uchar4> refTex, imgTex;
  call.bind(&refTex, ref_image, yv::rt::TexFilter::Point, "add_matching_costs2");
  call.bind(&imgTex, image, yv::rt::TexFilter::Linear, "add_matching_costs2");

  const unsigned iw = image.size.x, ih = image.size.y;
  yv::Array<uchar4, 2> warped = call.allocate<uchar4>(iw, ih);
  yv::Array<float4, 2> warpedMean = call.allocate<float4>(iw, ih);
  yv::Array<float4, 2> refMean = call.allocate<float4>(iw, ih);
  yv::Array<ushort4, 2> rowSums = call.allocate<ushort4>(iw, ih);

  // Normalised Gaussian weights of the window; reported only.
  float gauss[7];
  for (int i = 0; i < 4; ++i) {
    const float g = float(std::exp(-0.03125 * i * i) / 10.026513098524001);
    gauss[3 - i] = g;
    gauss[3 + i] = g;
  }
  const float gsum = gauss[3] + 2.0f * (gauss[4] + gauss[5] + gauss[6]);
  const float gnorm = 1.0f / gsum;
  std::cout << "gaussian ";
  for (float& g : gauss) {
    g *= gnorm;
    std::cout << g << " ";
  }

  const unsigned W = costs.size.x, H = costs.size.y;
  const uint4 extent = make_uint4(W, H, 1, 1);
  const dim3 block(32, 4, 1);
  yv::rt::launch(add_matching_costs_mean_kernel1<32, 4, 3>{rowSums, ref_image}, extent, block, 0,
                 {rowSums.ptr, ref_image.ptr});
  yv::rt::launch(add_matching_costs_mean_kernel2<3>{refMean, rowSums}, extent, block, 0,
                 {refMean.ptr, rowSums.ptr});

  const int L = int(costs.size.z);
  const float start = 1.0f / depth0;
  const float step = (1.0f / depth1 - 1.0f / depth0) / float(unsigned(L) - 1u);
  const float inv_fx = 1.0f / fx, inv_fy = 1.0f / fy;
  for (int l = 0; l < L; ++l) {
    const float d = 1.0f / (float(l) * step + start);
    yv::rt::launch(add_matching_costs_warp_kernel{warped, d, inv_fx, inv_fy, cx, cy, P, fx, imgTex},
                   extent, block, 0, {warped.ptr});
    yv::rt::launch(add_matching_costs_mean_kernel1<32, 4, 3>{rowSums, warped}, extent, block, 0,
                   {rowSums.ptr, warped.ptr});
    yv::rt::launch(add_matching_costs_mean_kernel2<3>{warpedMean, rowSums}, extent, block, 0,
                   {warpedMean.ptr, rowSums.ptr});
    if (l == 0) {
      yv::writeArrayToFile(warped, output_directory + "/debug/debug_image_warped.dat");
      yv::writeArrayToFile(warpedMean, output_directory + "/debug/debug_image_warped_mean.dat");
      const yv::Array<float, 4> plane =
          yv::block(costs, yv::Range(), yv::Range(), yv::Range(0, 0), yv::Range(0, 0));
      yv::writeArrayToFile(yv::internal::decreaseArrayDimension<float, 4, 2>(plane),
                           output_directory + "/debug/debug_ncc.dat");
    }
    yv::rt::launch(add_matching_costs_NCC_kernel2<32, 4, 3>{costs, ref_image, refMean, warped,
                                                           warpedMean, l, refTex},
                   extent, block, 0, {costs.ptr, refMean.ptr, warped.ptr, warpedMean.ptr});
  }
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}
