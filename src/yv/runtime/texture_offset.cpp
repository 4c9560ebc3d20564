#include "yv/runtime/texture_offset.h"

#include <cstdint>

#include "yv/runtime/runtime.h"

namespace yv {
namespace rt {

std::size_t textureAlignment() {
  if (!onGpu()) return alignof(std::max_align_t);
  int value = 0;
  if (cudaDeviceGetAttribute(&value, cudaDevAttrTextureAlignment, currentDevice()) != cudaSuccess ||
      value <= 0) {
    cudaGetLastError();  // a failed query is not the caller's error; fall back to current GPUs'
    return 512;
  }
  return std::size_t(value);
}

std::size_t textureOffset(const void* p) {
  return std::size_t(reinterpret_cast<std::uintptr_t>(p) % textureAlignment());
}

}  // namespace rt
}  // namespace yv
