#include "camera_estimation_kernels.h"

#include <cfloat>
#include <stdexcept>
#include <string>

#include "yv/runtime/atomics.h"
#include "yv/runtime/launch.cuh"
#include "yv/runtime/runtime.h"
#include "yv/runtime/texture.h"
#include "yv/runtime/texture3d.h"
#include "yv/runtime/texture_offset.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"

namespace {

const dim3 kPoseBlock(32, 4, 1);

YV_HD_INLINE float3 f3(float x, float y, float z) { return make_float3(x, y, z); }
YV_HD_INLINE float3 rotate(const float* R, const float3& v) {
  return f3(R[0] * v.x + R[1] * v.y + R[2] * v.z, R[3] * v.x + R[4] * v.y + R[5] * v.z,
            R[6] * v.x + R[7] * v.y + R[8] * v.z);
}
YV_HD_INLINE bool isFinite(float v) { return fabsf(v) <= FLT_MAX; }

// The warp shared by the residual and the Jacobian: the rendered pixel (x, y) back-projected with
// its depth, carried by the candidate transform and projected into the view. False when the pixel
// has no depth or lands outside the view (a NaN position included).
struct Warp {
  float3 X;   // the rendered point in the rendering's frame
  float3 P;   // the same point in the candidate frame
  float sx, sy;  // sample position in the (mirrored) target image
};

YV_HD_INLINE bool warp(Warp& w, unsigned x, unsigned y, const yv::Array<float, 2>& depth,
                       const Projection& pr, float inv_fx, float inv_fy, float cx, float cy) {
  const float d = yv::at(depth, x, y);
  if (d == FLT_MAX) return false;
  const unsigned Wd = depth.size.x, Hd = depth.size.y;
  w.X = f3((float(Wd - 1u - x) - cx) * inv_fx * d, (float(Hd - 1u - y) - cy) * inv_fy * d, d);
  const float3 r = rotate(pr.R, w.X);
  w.P = f3(r.x + pr.t[0], r.y + pr.t[1], r.z + pr.t[2]);
  // A point behind the candidate camera can project into the view but is not seen there.
  if (!(w.P.z > 0.f)) return false;
  const float u = pr.fx * w.P.x / w.P.z + pr.cx;
  const float v = pr.fy * w.P.y / w.P.z + pr.cy;
  const float W1 = float(int(pr.width) - 1), H1 = float(int(pr.height) - 1);
  if (!(u >= 0.f && u <= W1 && v >= 0.f && v <= H1)) return false;
  w.sx = W1 - u + 0.5f;
  w.sy = H1 - v + 0.5f;
  return true;
}

YV_HD_INLINE void reject(const yv::Array<float, 3>& out, unsigned x, unsigned y) {
  yv::at(out, x, y, 0u) = NAN;
}

struct convertToFloat_kernel {
  yv::Array<float, 3> out;
  yv::Array<uchar4, 2> in;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const uchar4 c = yv::at(in, x, y);
    yv::at(out, x, y, 0u) = float(c.x) / 255.f;
    yv::at(out, x, y, 1u) = float(c.y) / 255.f;
    yv::at(out, x, y, 2u) = float(c.z) / 255.f;
  }
};

struct computeDifferenceImage_kernel {
  yv::Array<float, 3> out;
  yv::Array<uchar4, 2> rendered;
  yv::Array<float, 2> depth;
  float max_color_diff;
  Projection proj;
  float inv_fx, inv_fy, cx, cy;
  yv::rt::Texture2D<uchar4> real_image_tex;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    // The launch covers the rendering; the residual image may not.
    if (x >= out.size.x || y >= out.size.y) return;
    Warp w;
    if (!warp(w, x, y, depth, proj, inv_fx, inv_fy, cx, cy)) {
      reject(out, x, y);
      return;
    }
    const float4 real = real_image_tex.fetch<float4>(w.sx, w.sy);
    const uchar4 r = yv::at(rendered, x, y);
    const float dr = real.x - float(r.x) / 255.f;
    const float dg = real.y - float(r.y) / 255.f;
    const float db = real.z - float(r.z) / 255.f;
    if (sqrtf(dr * dr + dg * dg + db * db) > max_color_diff) {
      reject(out, x, y);
      return;
    }
    yv::at(out, x, y, 0u) = dr;
    yv::at(out, x, y, 1u) = dg;
    yv::at(out, x, y, 2u) = db;
  }
};

struct computeGradientPsi_kernel {
  yv::Array<float, 3> out;
  yv::Array<float, 2> depth;
  Projection proj;
  float inv_fx, inv_fy, cx, cy;
  // Layered gradient as a 3-D texture: sampling at z = layer + 0.5 gives that layer's bilinear
  // value exactly (the blend weight across layers is 0).
  yv::rt::Texture3D<float> image_gradient_tex;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    Warp w;
    if (!warp(w, x, y, depth, proj, inv_fx, inv_fy, cx, cy)) {
      reject(out, x, y);
      return;
    }
    float gx[3], gy[3];
    for (int c = 0; c < 3; ++c) {
      gx[c] = image_gradient_tex.fetch<float>(w.sx, w.sy, float(c) + 0.5f);
      gy[c] = image_gradient_tex.fetch<float>(w.sx, w.sy, float(c + 3) + 0.5f);
    }
    const float3 X = w.X, P = w.P;
    const float iz2 = 1.f / (P.z * P.z);
    for (int k = 0; k < 6; ++k) {
      float3 dP;
      if (k < 3) {
        // R (e_k x X): an infinitesimal rotation of the rendered point applied before the
        // candidate rotation, the side on which a step's solution is composed (pose_compose).
        dP = rotate(proj.R, k == 0   ? f3(0.f, -X.z, X.y)
                            : k == 1 ? f3(X.z, 0.f, -X.x)
                                     : f3(-X.y, X.x, 0.f));
      } else {
        dP = f3(k == 3 ? 1.f : 0.f, k == 4 ? 1.f : 0.f, k == 5 ? 1.f : 0.f);
      }
      const float du = proj.fx * (dP.x * P.z - P.x * dP.z) * iz2;
      const float dv = proj.fy * (dP.y * P.z - P.y * dP.z) * iz2;
      // The sample position runs against u and v (mirrored images), hence the minus.
      for (int c = 0; c < 3; ++c)
        yv::at(out, x, y, unsigned(3 * k + c)) = -(du * gx[c] + dv * gy[c]);
    }
  }
};

struct setNANtoZero_kernel {
  yv::Array<float, 3> data;
  yv::Array<uchar4, 2> valid;
  yv::Array<float, 2> depth;
  unsigned* d_invalid_pixel_count;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    uchar4 mask = make_uchar4(0, 200, 0, 1);
    const unsigned layers = data.size.z;
    for (unsigned z = 0; z < layers; z += 3) {
      if (isFinite(yv::at(data, x, y, z))) continue;
      for (unsigned l = 0; l < layers; ++l) yv::at(data, x, y, l) = 0.f;
      yv::rt::atomic_add(d_invalid_pixel_count, 1u);
      mask = yv::at(depth, x, y) == FLT_MAX ? make_uchar4(0, 0, 0, 1) : make_uchar4(200, 0, 0, 1);
    }
    if (valid.ptr) yv::at(valid, x, y) = mask;
  }
};

uint4 imageExtent(unsigned w, unsigned h) { return yv::rt::extent2(w, h); }

yv::rt::TextureDesc bilinearClamped(yv::rt::TexRead read) {
  yv::rt::TextureDesc d;
  d.filter = yv::rt::TexFilter::Linear;
  d.address = yv::rt::TexAddress::Clamp;
  d.read = read;
  d.normalizedCoords = false;
  return d;
}

// Waits for the queued kernel before a texture or array it reads goes away, keeping the first
// pending error for the caller's check.
void finishReads() {
  const cudaError_t pending = yv::rt::getLastError();
  yv::rt::streamSynchronize(0);
  const cudaError_t later = yv::rt::getLastError();
  yv::rt::setLastError(pending != cudaSuccess ? pending : later);
}

// Owns one CUDA array for the length of a call.
struct CudaArrayHolder {
  cudaArray_t array = nullptr;
  ~CudaArrayHolder() {
    if (array) yv::rt::freeArray(array);
  }
};

}  // namespace

void convertToFloat(yv::Array<float, 3>& out, const yv::Array<uchar4, 2>& in) {
  yv::rt::launch(convertToFloat_kernel{out, in}, imageExtent(out.size.x, out.size.y), kPoseBlock, 0,
                 {out.ptr, in.ptr});
}

void computeDifferenceImage(yv::Array<float, 3>& out, const yv::Array<uchar4, 2>& real,
                            const yv::Array<uchar4, 2>& rendered, const yv::Array<float, 2>& depth,
                            float max_color_diff, const Projection& proj, float inv_fx,
                            float inv_fy, float cx, float cy) {
  if (yv::rt::textureOffset(real.ptr) != 0)
    throw std::runtime_error("computeDifferenceImage: texture offset is not 0");
  computeDifferenceImage_kernel k{out, rendered, depth, max_color_diff, proj,
                                  inv_fx, inv_fy, cx, cy, {}};
  // Without its texture the kernel must not run: the residual would be left stale.
  const cudaError_t made =
      yv::rt::createTexture2D(&k.real_image_tex, real.ptr, real.pitch.y, real.size.x, real.size.y,
                              bilinearClamped(yv::rt::TexRead::NormalizedFloat));
  if (made != cudaSuccess) {
    yv::rt::getLastError();  // reported here, not again at a later check
    throw std::runtime_error(std::string("computeDifferenceImage: cannot make a texture of the "
                                         "real image: ") + yv::rt::errorString(made));
  }
  yv::rt::launch(k, imageExtent(rendered.size.x, rendered.size.y), kPoseBlock, 0,
                 {out.ptr, rendered.ptr, depth.ptr});
  finishReads();
  yv::rt::destroyTexture(&k.real_image_tex);
}

void computeGradientPsi(yv::Array<float, 3>& out, const yv::Array<float, 3>& gradient,
                        const yv::Array<float, 2>& depth, const Projection& proj, float inv_fx,
                        float inv_fy, float cx, float cy) {
  CudaArrayHolder layers;
  const cudaChannelFormatDesc desc = cudaCreateChannelDesc<float>();
  yv::rt::malloc3DArray(&layers.array, &desc,
                        make_cudaExtent(gradient.size.x, gradient.size.y, gradient.size.z));
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  yv::arrayCopy(layers.array, gradient);

  computeGradientPsi_kernel k{out, depth, proj, inv_fx, inv_fy, cx, cy, {}};
  const bool bound = yv::rt::createTexture3D(&k.image_gradient_tex, layers.array,
                                             bilinearClamped(yv::rt::TexRead::Element)) ==
                     cudaSuccess;
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  if (!bound) return;
  yv::rt::launch(k, imageExtent(out.size.x, out.size.y), kPoseBlock, 0, {out.ptr, depth.ptr});
  finishReads();  // the array goes with this call
  yv::rt::destroyTexture(&k.image_gradient_tex);
}

int setNANtoZero(yv::Array<float, 3>& data, yv::Array<uchar4, 2> valid,
                 yv::Array<float, 2>& depth) {
  struct Counter {
    unsigned* p = nullptr;
    ~Counter() {
      if (p) yv::rt::free(p);
    }
  } counter;
  void* raw = nullptr;
  yv::rt::malloc(&raw, sizeof(unsigned));
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  counter.p = static_cast<unsigned*>(raw);
  yv::rt::memset(counter.p, 0, sizeof(unsigned));
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  setNANtoZero_kernel k{data, valid, depth, counter.p};
  if (valid.ptr)
    yv::rt::launch(k, imageExtent(data.size.x, data.size.y), kPoseBlock, 0,
                   {data.ptr, depth.ptr, counter.p, valid.ptr});
  else
    yv::rt::launch(k, imageExtent(data.size.x, data.size.y), kPoseBlock, 0,
                   {data.ptr, depth.ptr, counter.p});
  unsigned count = 0;
  yv::rt::memcpy(&count, counter.p, sizeof(unsigned), cudaMemcpyDeviceToHost);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  return int(count);
}
