// Element counts of host images. Sizes are signed ints; a count that is negative or does not fit
// an int is refused before anything is allocated.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>

namespace cmatrix_internal {

inline std::size_t elementCount(const char* what, std::int64_t x, std::int64_t y,
                                std::int64_t z = 1) {
  // Two steps, so that no product of three ints can overflow 64 bits.
  if (x < 0 || y < 0 || z < 0 || x * y > INT_MAX || x * y * z > INT_MAX) {
    std::stringstream ss;
    ss << what << ": invalid image size " << x << " x " << y;
    if (z != 1) ss << " x " << z;
    throw std::runtime_error(ss.str());
  }
  return std::size_t(x * y * z);
}

}  // namespace cmatrix_internal
