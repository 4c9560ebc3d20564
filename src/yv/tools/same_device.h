// The first test of every conversion: both arrays in host memory or both on the same GPU.
#pragma once

#include <sstream>
#include <stdexcept>
#include <string>

#include "yv/tools/array.h"

namespace yv {
namespace internal {

inline void devicePlace(std::ostream& os, int device) {
  if (device == -1)
    os << "HOST";
  else
    os << device;
}

template <class T1, int N1, class T2, int N2>
void check_arguments_same_device(const char* file, int line, const char* signature,
                                 const Array<T1, N1>& a, const std::string& nameA,
                                 const Array<T2, N2>& b, const std::string& nameB) {
  if (a.device == b.device) return;
  std::stringstream ss;
  if (signature) ss << signature << ":  ";
  ss << "arrays '" << nameA << "' and '" << nameB << "' must be on the same device.";
  ss << " '" << nameA << "' is on device ";
  devicePlace(ss, a.device);
  ss << std::endl << " '" << nameB << "' is on device ";
  devicePlace(ss, b.device);
  ss << std::endl;
  throw std::runtime_error(ss.str());
}

}  // namespace internal
}  // namespace yv
