// Argument checks shared by the layout conversions: same device first, then width and height,
// then the plane count, each with its message prefixed by the operation's signature text.
#pragma once

#include <sstream>
#include <stdexcept>
#include <string>

#include "yv/tools/array.h"
#include "yv/tools/same_device.h"

namespace yv {
namespace algorithms_conversion_namespace {

// Interleaved in, planar out.
template <class TP, class TV>
void checkToPlanar(const char* file, int line, const char* signature, const Array<TP, 3>& out,
                   const Array<TV, 2>& in) {
  internal::check_arguments_same_device(file, line, signature, out, "out", in, "in");
  if (out.size.x != in.size.x || out.size.y != in.size.y || (out.size.z != 3 && out.size.z != 4)) {
    std::stringstream ss;
    ss << signature << ":  " << " wrong 'out' array extents." << std::endl
       << " 'in'  extents are " << internal::str_extents(in.size) << std::endl
       << " 'out' extents are " << internal::str_extents(out.size) << std::endl
       << " expected extents for 'out' are (" << in.size.x << ", " << in.size.y << ", 3 or 4)"
       << std::endl;
    throw std::runtime_error(ss.str());
  }
}

// Planar in, interleaved out.
template <class TV, class TP>
void checkToInterleaved(const char* file, int line, const char* signature,
                        const Array<TV, 2>& out, const Array<TP, 3>& in) {
  internal::check_arguments_same_device(file, line, signature, out, "out", in, "in");
  if (out.size.x != in.size.x || out.size.y != in.size.y) {
    std::stringstream ss;
    ss << signature << ":  " << " wrong 'out' array extents." << std::endl
       << " 'in'  extents are " << internal::str_extents(in.size) << std::endl
       << " 'out' extents are " << internal::str_extents(out.size) << std::endl
       << " expected extents for 'out' are (" << in.size.x << ", " << in.size.y << ")"
       << std::endl;
    throw std::runtime_error(ss.str());
  }
  if (in.size.z != 3 && in.size.z != 4) {
    std::stringstream ss;
    ss << signature << ":  " << " wrong 'in' array extents." << std::endl
       << " 'in'  extents are " << internal::str_extents(in.size) << std::endl
       << " expected extents.z == 3 or 4 " << std::endl;
    throw std::runtime_error(ss.str());
  }
}

}  // namespace algorithms_conversion_namespace
}  // namespace yv
