// The offset a texture binding would report for a base address: the distance of the address
// above the last texture-alignment boundary. Textures read from aligned addresses only, so a
// caller refuses memory whose offset is not 0, as it refused misaligned bindings.
#pragma once

#include <cstddef>

namespace yv {
namespace rt {

// Alignment of texture base addresses and of the row pitch of pitched 2-D textures: the device's
// own on the CUDA back end; on the host back end the values of current GPUs, which that back end
// enforces too (kTextureAlignment, kTexturePitchAlignment).
std::size_t textureAlignment();
std::size_t texturePitchAlignment();
std::size_t textureOffset(const void* p);

// Whether a pitched 2-D texture may start at p with rows `pitch` bytes apart.
bool textureAligned(const void* p, std::size_t pitch);

}  // namespace rt
}  // namespace yv
