// Creation of 3-D textures for both back ends.
#include "yv/runtime/texture3d.h"

#include <cstring>

#include "yv/runtime/runtime.h"

namespace yv {
namespace rt {

template <class T>
cudaError_t createTexture3D(Texture3D<T>* tex, cudaArray_t array, const TextureDesc& desc) {
  *tex = Texture3D<T>();
  tex->desc = desc;
  cudaChannelFormatDesc cd;
  cudaExtent ext;
  unsigned flags;
  cudaError_t e = arrayGetInfo(&cd, &ext, &flags, array);
  if (e != cudaSuccess) return e;
  tex->width = unsigned(ext.width);
  tex->height = unsigned(ext.height ? ext.height : 1);
  tex->depth = unsigned(ext.depth ? ext.depth : 1);
  if (!onGpu()) {
    tex->data = static_cast<const unsigned char*>(
        hostArrayData(array, &tex->rowPitch, &tex->slicePitch));
    if (tex->data) return cudaSuccess;
    setLastError(cudaErrorInvalidResourceHandle);
    return cudaErrorInvalidResourceHandle;
  }
  cudaResourceDesc res;
  std::memset(&res, 0, sizeof(res));
  res.resType = cudaResourceTypeArray;
  res.res.array.array = array;
  const cudaTextureDesc td = cudaTextureDescOf(desc);
  return cudaCreateTextureObject(&tex->object, &res, &td, nullptr);
}

template <class T>
cudaError_t destroyTexture(Texture3D<T>* tex) {
  cudaError_t e = cudaSuccess;
  if (onGpu() && tex->object) e = cudaDestroyTextureObject(tex->object);
  *tex = Texture3D<T>();
  return e;
}

template cudaError_t createTexture3D<float>(Texture3D<float>*, cudaArray_t, const TextureDesc&);
template cudaError_t destroyTexture<float>(Texture3D<float>*);

}  // namespace rt
}  // namespace yv
