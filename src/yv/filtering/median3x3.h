// yv::median3x3 with the kernel form chosen: 18 x 18 shared tiles per 16 x 16 block, or one
// thread per pixel (see yv/runtime/cooperative_form.h). Same checks, same results.
#pragma once

#include "yv/runtime/cooperative_form.h"
#include "yv/tools/array.h"

namespace yv {
namespace internal {

void median3x3(Array<float, 2>& out, const Array<float, 2>& in, rt::KernelForm form);

}  // namespace internal
}  // namespace yv
