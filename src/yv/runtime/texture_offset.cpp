#include "yv/runtime/texture_offset.h"

#include <cstdint>

#include "yv/runtime/runtime.h"

namespace yv {
namespace rt {

namespace {

std::size_t deviceAttribute(cudaDeviceAttr attr, std::size_t hostValue) {
  if (!onGpu()) return hostValue;
  int value = 0;
  if (cudaDeviceGetAttribute(&value, attr, currentDevice()) != cudaSuccess || value <= 0) {
    cudaGetLastError();  // a failed query is not the caller's error; fall back to current GPUs'
    return hostValue;
  }
  return std::size_t(value);
}

}  // namespace

std::size_t textureAlignment() {
  static const std::size_t a = deviceAttribute(cudaDevAttrTextureAlignment, kTextureAlignment);
  return a;
}

std::size_t texturePitchAlignment() {
  static const std::size_t a =
      deviceAttribute(cudaDevAttrTexturePitchAlignment, kTexturePitchAlignment);
  return a;
}

std::size_t textureOffset(const void* p) {
  return std::size_t(reinterpret_cast<std::uintptr_t>(p) % textureAlignment());
}

bool textureAligned(const void* p, std::size_t pitch) {
  return textureOffset(p) == 0 && pitch % texturePitchAlignment() == 0;
}

}  // namespace rt
}  // namespace yv
