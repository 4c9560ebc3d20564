// 3-D textures over CUDA arrays for kernels of both back ends. On the CUDA back end a texture
// object; on the host back end a software sampler with the hardware's rules: point sampling picks
// the texel under floor(x, y, z), linear filtering blends the eight texels around
// (x - 0.5, y - 0.5, z - 0.5) with weights rounded to 8 fractional bits, clamp repeats the edge,
// border reads zero outside.
#pragma once

#include <cuda_runtime.h>

#include <cmath>
#include <cstddef>

#include "yv/runtime/hd.h"
#include "yv/runtime/texture.h"

namespace yv {
namespace rt {

template <class T>
struct Texture3D {
  cudaTextureObject_t object = 0;         // CUDA back end
  const unsigned char* data = nullptr;    // host back end: texel (0, 0, 0)
  std::size_t rowPitch = 0, slicePitch = 0;  // host back end: bytes per row and per slice
  unsigned width = 0, height = 0, depth = 0;
  TextureDesc desc;

  // Host back end: the texel at integer coordinates with the address mode applied; `inside` is
  // false for a border texel outside the volume.
  YV_HD const T* texel(int i, int j, int k, bool* inside) const {
    if (desc.address == TexAddress::Clamp) {
      i = i < 0 ? 0 : (i >= int(width) ? int(width) - 1 : i);
      j = j < 0 ? 0 : (j >= int(height) ? int(height) - 1 : j);
      k = k < 0 ? 0 : (k >= int(depth) ? int(depth) - 1 : k);
    } else if (i < 0 || j < 0 || k < 0 || i >= int(width) || j >= int(height) ||
               k >= int(depth)) {
      *inside = false;
      return nullptr;
    }
    *inside = true;
    return reinterpret_cast<const T*>(data + std::size_t(k) * slicePitch +
                                      std::size_t(j) * rowPitch + std::size_t(i) * sizeof(T));
  }

  template <class R>
  YV_HD R sample(float x, float y, float z) const {
    using Tr = TexelTraits<T>;
    const float scale = desc.read == TexRead::NormalizedFloat ? Tr::norm : 1.f;
    if (desc.normalizedCoords) {
      x *= float(width);
      y *= float(height);
      z *= float(depth);
    }
    float c[4] = {0.f, 0.f, 0.f, 0.f};
    if (desc.filter == TexFilter::Point) {
      bool in;
      const T* t = texel(int(floorf(x)), int(floorf(y)), int(floorf(z)), &in);
      if (in)
        for (int n = 0; n < Tr::n; ++n) c[n] = Tr::get(*t, n) * scale;
      return TexResult<R>::make(c);
    }
    const float xb = x - 0.5f, yb = y - 0.5f, zb = z - 0.5f;
    const float fx = floorf(xb), fy = floorf(yb), fz = floorf(zb);
    // The hardware keeps the blend weights in 1.8 fixed point.
    const float a = rintf((xb - fx) * 256.f) * (1.f / 256.f);
    const float b = rintf((yb - fy) * 256.f) * (1.f / 256.f);
    const float g = rintf((zb - fz) * 256.f) * (1.f / 256.f);
    const int i0 = int(fx), j0 = int(fy), k0 = int(fz);
    for (int n = 0; n < 8; ++n) {
      const int di = n & 1, dj = (n >> 1) & 1, dk = n >> 2;
      const float w = (di ? a : 1.f - a) * (dj ? b : 1.f - b) * (dk ? g : 1.f - g);
      bool in;
      const T* t = texel(i0 + di, j0 + dj, k0 + dk, &in);
      if (!in) continue;
      for (int m = 0; m < Tr::n; ++m) c[m] += w * (Tr::get(*t, m) * scale);
    }
    return TexResult<R>::make(c);
  }

  template <class R = T>
  YV_HD R fetch(float x, float y, float z) const {
#if defined(__CUDA_ARCH__)
    return tex3D<R>(object, x, y, z);
#else
    return sample<R>(x, y, z);
#endif
  }
};

// Texture over a 3-D CUDA array (rt::malloc3DArray). Instantiated for float.
template <class T>
cudaError_t createTexture3D(Texture3D<T>* tex, cudaArray_t array, const TextureDesc& desc);
template <class T>
cudaError_t destroyTexture(Texture3D<T>* tex);

}  // namespace rt
}  // namespace yv
