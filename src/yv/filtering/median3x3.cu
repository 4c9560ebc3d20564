// yv::median3x3: checks, then one launch of the tiled median (16 x 16 blocks).
#include <stdexcept>
#include <string>

#include "yv/filtering/filtering.h"
#include "yv/filtering/median3x3_kernel.h"
#include "yv/filtering/param_sanity_check.h"
#include "yv/tools/cuda_check.h"

namespace yv {

void median3x3(Array<float, 2>& out, const Array<float, 2>& in) {
  const std::string problem = internal::median3x3_sanity_check(out, in);
  if (!problem.empty()) throw std::runtime_error(problem);
  yv_filtering_kernels::launchMedian3x3(out, in);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

}  // namespace yv
