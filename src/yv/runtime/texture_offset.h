// The offset a texture binding would report for a base address: the distance of the address
// above the last texture-alignment boundary. Textures read from aligned addresses only, so a
// caller refuses memory whose offset is not 0, as it refused misaligned bindings.
#pragma once

#include <cstddef>

namespace yv {
namespace rt {

// Alignment of texture base addresses: the device's own on the CUDA back end; on the host back
// end the alignment every allocation of that back end has.
std::size_t textureAlignment();
std::size_t textureOffset(const void* p);

}  // namespace rt
}  // namespace yv
