// 2-D textures for kernels of both back ends. On the CUDA back end a texture object; on the host
// back end a software sampler with the hardware's filter and address rules: point sampling picks
// the texel under floor(x), linear filtering blends the four texels around (x - 0.5, y - 0.5) with
// weights rounded to 8 fractional bits, clamp repeats the edge, border reads zero outside.
#pragma once

#include <cuda_runtime.h>

#include <cmath>
#include <cstddef>

#include "yv/runtime/hd.h"

namespace yv {
namespace rt {

enum class TexFilter { Point, Linear };
enum class TexAddress { Clamp, Border };
enum class TexRead { Element, NormalizedFloat };

struct TextureDesc {
  TexFilter filter = TexFilter::Point;
  TexAddress address = TexAddress::Clamp;
  TexRead read = TexRead::Element;
  bool normalizedCoords = false;
};

// Per element type: component count and access, for the software sampler.
template <class T> struct TexelTraits;
template <> struct TexelTraits<float> {
  static constexpr int n = 1;
  static constexpr float norm = 1.f;
  YV_HD static float get(const float& v, int) { return v; }
};
template <> struct TexelTraits<float2> {
  static constexpr int n = 2;
  static constexpr float norm = 1.f;
  YV_HD static float get(const float2& v, int i) { return i == 0 ? v.x : v.y; }
};
template <> struct TexelTraits<float4> {
  static constexpr int n = 4;
  static constexpr float norm = 1.f;
  YV_HD static float get(const float4& v, int i) {
    return i == 0 ? v.x : i == 1 ? v.y : i == 2 ? v.z : v.w;
  }
};
template <> struct TexelTraits<unsigned char> {
  static constexpr int n = 1;
  static constexpr float norm = 1.f / 255.f;
  YV_HD static float get(const unsigned char& v, int) { return v; }
};
template <> struct TexelTraits<uchar4> {
  static constexpr int n = 4;
  static constexpr float norm = 1.f / 255.f;
  YV_HD static float get(const uchar4& v, int i) {
    return i == 0 ? v.x : i == 1 ? v.y : i == 2 ? v.z : v.w;
  }
};

// Builds the result type R from up to four float components.
template <class R> struct TexResult;
template <> struct TexResult<float> {
  YV_HD static float make(const float* c) { return c[0]; }
};
template <> struct TexResult<float2> {
  YV_HD static float2 make(const float* c) { return make_float2(c[0], c[1]); }
};
template <> struct TexResult<float4> {
  YV_HD static float4 make(const float* c) { return make_float4(c[0], c[1], c[2], c[3]); }
};
template <> struct TexResult<unsigned char> {
  YV_HD static unsigned char make(const float* c) { return (unsigned char)c[0]; }
};
template <> struct TexResult<uchar4> {
  YV_HD static uchar4 make(const float* c) {
    return make_uchar4((unsigned char)c[0], (unsigned char)c[1], (unsigned char)c[2],
                       (unsigned char)c[3]);
  }
};

template <class T>
struct Texture2D {
  cudaTextureObject_t object = 0;  // CUDA back end
  const unsigned char* data = nullptr;  // host back end: texel (0, 0)
  std::size_t pitch = 0;                // host back end: bytes per row
  unsigned width = 0, height = 0;
  TextureDesc desc;

  // Host back end: the texel at integer coordinates, with the address mode applied. `inside`
  // is false for a border texel outside the image.
  YV_HD const T* texel(int i, int j, bool* inside) const {
    if (desc.address == TexAddress::Clamp) {
      i = i < 0 ? 0 : (i >= int(width) ? int(width) - 1 : i);
      j = j < 0 ? 0 : (j >= int(height) ? int(height) - 1 : j);
    } else if (i < 0 || j < 0 || i >= int(width) || j >= int(height)) {
      *inside = false;
      return nullptr;
    }
    *inside = true;
    return reinterpret_cast<const T*>(data + std::size_t(j) * pitch + std::size_t(i) * sizeof(T));
  }

  // Software sampling; R is T for element reads, float or float4 for normalised reads.
  template <class R>
  YV_HD R sample(float x, float y) const {
    using Tr = TexelTraits<T>;
    const float scale = desc.read == TexRead::NormalizedFloat ? Tr::norm : 1.f;
    if (desc.normalizedCoords) {
      x *= float(width);
      y *= float(height);
    }
    float c[4] = {0.f, 0.f, 0.f, 0.f};
    if (desc.filter == TexFilter::Point) {
      bool in;
      const T* t = texel(int(floorf(x)), int(floorf(y)), &in);
      if (in)
        for (int k = 0; k < Tr::n; ++k) c[k] = Tr::get(*t, k) * scale;
      return TexResult<R>::make(c);
    }
    const float xb = x - 0.5f, yb = y - 0.5f;
    const float fx = floorf(xb), fy = floorf(yb);
    // The hardware keeps the blend weights in 1.8 fixed point.
    const float a = rintf((xb - fx) * 256.f) * (1.f / 256.f);
    const float b = rintf((yb - fy) * 256.f) * (1.f / 256.f);
    const int i0 = int(fx), j0 = int(fy);
    const float w[4] = {(1.f - a) * (1.f - b), a * (1.f - b), (1.f - a) * b, a * b};
    for (int n = 0; n < 4; ++n) {
      bool in;
      const T* t = texel(i0 + (n & 1), j0 + (n >> 1), &in);
      if (!in) continue;
      for (int k = 0; k < Tr::n; ++k) c[k] += w[n] * (Tr::get(*t, k) * scale);
    }
    return TexResult<R>::make(c);
  }

  template <class R = T>
  YV_HD R fetch(float x, float y) const {
#if defined(__CUDA_ARCH__)
    return tex2D<R>(object, x, y);
#else
    return sample<R>(x, y);
#endif
  }
};

// The CUDA texture description of our filter, address and read modes (CUDA back end).
cudaTextureDesc cudaTextureDescOf(const TextureDesc& desc);

// Texture over pitched 2-D memory (device memory of the current back end). As on CUDA, the base
// must lie on textureAlignment() and the pitch be a multiple of texturePitchAlignment()
// (texture_offset.h); otherwise cudaErrorInvalidValue.
template <class T>
cudaError_t createTexture2D(Texture2D<T>* tex, const T* ptr, std::size_t pitch, unsigned width,
                            unsigned height, const TextureDesc& desc);
// Texture over a 2-D CUDA array (rt::malloc3DArray with depth 0).
template <class T>
cudaError_t createTexture2D(Texture2D<T>* tex, cudaArray_t array, const TextureDesc& desc);
template <class T>
cudaError_t destroyTexture(Texture2D<T>* tex);

}  // namespace rt
}  // namespace yv
