// Extents as text and the CUDA error check.
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "yv/tools/array.h"
#include "yv/tools/cuda_check.h"

namespace yv {
namespace internal {

std::string str_extents(uint1 const& e) {
  std::stringstream ss;
  ss << "(" << e.x << ")";
  return ss.str();
}
std::string str_extents(uint2 const& e) {
  std::stringstream ss;
  ss << "(" << e.x << ", " << e.y << ")";
  return ss.str();
}
std::string str_extents(uint3 const& e) {
  std::stringstream ss;
  ss << "(" << e.x << ", " << e.y << ", " << e.z << ")";
  return ss.str();
}
std::string str_extents(uint4 const& e) {
  std::stringstream ss;
  ss << "(" << e.x << ", " << e.y << ", " << e.z << ", " << e.w << ")";
  return ss.str();
}

}  // namespace internal
}  // namespace yv

void _CHECK_CUDA_ERROR(char const* file, int line) {
  cudaError_t e = yv::rt::getLastError();
  if (e == cudaSuccess) return;
  char buffer[1024];
  std::snprintf(buffer, sizeof(buffer), "%s:%d: cuda error: %s\n", file, line,
                yv::rt::errorString(e));
  throw std::runtime_error(buffer);
}
