// Creation of textures for both back ends.
#include "yv/runtime/texture.h"

#include <cstring>

#include "yv/runtime/runtime.h"
#include "yv/runtime/texture_offset.h"

namespace yv {
namespace rt {

cudaTextureDesc cudaTextureDescOf(const TextureDesc& d) {
  cudaTextureDesc t;
  std::memset(&t, 0, sizeof(t));
  cudaTextureAddressMode m =
      d.address == TexAddress::Clamp ? cudaAddressModeClamp : cudaAddressModeBorder;
  t.addressMode[0] = t.addressMode[1] = t.addressMode[2] = m;
  t.filterMode = d.filter == TexFilter::Point ? cudaFilterModePoint : cudaFilterModeLinear;
  t.readMode = d.read == TexRead::Element ? cudaReadModeElementType : cudaReadModeNormalizedFloat;
  t.normalizedCoords = d.normalizedCoords ? 1 : 0;
  return t;
}

namespace {

cudaError_t record(cudaError_t e) {
  if (e != cudaSuccess) setLastError(e);
  return e;
}

}  // namespace

template <class T>
cudaError_t createTexture2D(Texture2D<T>* tex, const T* ptr, std::size_t pitch, unsigned width,
                            unsigned height, const TextureDesc& desc) {
  *tex = Texture2D<T>();
  tex->width = width;
  tex->height = height;
  tex->desc = desc;
  // CUDA's rules for pitched 2-D textures: base on the texture alignment, row pitch a multiple of
  // the texture pitch alignment. Checked here on both back ends, so that a misaligned binding
  // fails the same way whatever the driver would make of it.
  if (!ptr || width == 0 || height == 0 || pitch < width * sizeof(T) || !textureAligned(ptr, pitch))
    return record(cudaErrorInvalidValue);
  if (!onGpu()) {
    // Device memory only, as the driver demands.
    if (!isDevicePointer(ptr)) return record(cudaErrorInvalidValue);
    tex->data = reinterpret_cast<const unsigned char*>(ptr);
    tex->pitch = pitch;
    return cudaSuccess;
  }
  cudaResourceDesc res;
  std::memset(&res, 0, sizeof(res));
  res.resType = cudaResourceTypePitch2D;
  res.res.pitch2D.devPtr = const_cast<T*>(ptr);
  res.res.pitch2D.desc = cudaCreateChannelDesc<T>();
  res.res.pitch2D.width = width;
  res.res.pitch2D.height = height;
  res.res.pitch2D.pitchInBytes = pitch;
  cudaTextureDesc td = cudaTextureDescOf(desc);
  return cudaCreateTextureObject(&tex->object, &res, &td, nullptr);
}

template <class T>
cudaError_t createTexture2D(Texture2D<T>* tex, cudaArray_t array, const TextureDesc& desc) {
  *tex = Texture2D<T>();
  tex->desc = desc;
  cudaChannelFormatDesc cd;
  cudaExtent ext;
  unsigned flags;
  cudaError_t e = arrayGetInfo(&cd, &ext, &flags, array);
  if (e != cudaSuccess) return e;
  tex->width = unsigned(ext.width);
  tex->height = unsigned(ext.height ? ext.height : 1);
  if (!onGpu()) {
    tex->data = static_cast<const unsigned char*>(hostArrayData(array, &tex->pitch, nullptr));
    return tex->data ? cudaSuccess : record(cudaErrorInvalidResourceHandle);
  }
  cudaResourceDesc res;
  std::memset(&res, 0, sizeof(res));
  res.resType = cudaResourceTypeArray;
  res.res.array.array = array;
  cudaTextureDesc td = cudaTextureDescOf(desc);
  return cudaCreateTextureObject(&tex->object, &res, &td, nullptr);
}

template <class T>
cudaError_t destroyTexture(Texture2D<T>* tex) {
  cudaError_t e = cudaSuccess;
  if (onGpu() && tex->object) e = cudaDestroyTextureObject(tex->object);
  *tex = Texture2D<T>();
  return e;
}

#define YV_TEXTURE_INSTANCE(T)                                                                   \
  template cudaError_t createTexture2D<T>(Texture2D<T>*, const T*, std::size_t, unsigned,       \
                                          unsigned, const TextureDesc&);                         \
  template cudaError_t createTexture2D<T>(Texture2D<T>*, cudaArray_t, const TextureDesc&);       \
  template cudaError_t destroyTexture<T>(Texture2D<T>*);

YV_TEXTURE_INSTANCE(float)
YV_TEXTURE_INSTANCE(float2)
YV_TEXTURE_INSTANCE(float4)
YV_TEXTURE_INSTANCE(unsigned char)
YV_TEXTURE_INSTANCE(uchar4)

}  // namespace rt
}  // namespace yv
