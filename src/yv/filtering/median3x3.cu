// yv::median3x3: checks, then one launch of the per-pixel median over the input's extents.
#include <stdexcept>
#include <string>

#include "yv/filtering/filtering.h"
#include "yv/filtering/median3x3_kernel.h"
#include "yv/filtering/param_sanity_check.h"
#include "yv/runtime/launch.cuh"
#include "yv/tools/cuda_check.h"

namespace yv {

void median3x3(Array<float, 2>& out, const Array<float, 2>& in) {
  const std::string problem = internal::median3x3_sanity_check(out, in);
  if (!problem.empty()) throw std::runtime_error(problem);
  rt::launch(yv_filtering_kernels::median3x3_kernel{out, in},
             rt::extent2(in.size.x, in.size.y), dim3(16, 16, 1), 0, {out.ptr, in.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

}  // namespace yv
