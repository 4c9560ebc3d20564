// yv::median3x3: checks, then one launch of the median in the chosen form.
#include <stdexcept>
#include <string>

#include "yv/filtering/filtering.h"
#include "yv/filtering/median3x3.h"
#include "yv/filtering/median3x3_kernel.h"
#include "yv/filtering/param_sanity_check.h"
#include "yv/tools/cuda_check.h"

namespace yv {

void internal::median3x3(Array<float, 2>& out, const Array<float, 2>& in, rt::KernelForm form) {
  const std::string problem = internal::median3x3_sanity_check(out, in);
  if (!problem.empty()) throw std::runtime_error(problem);
  yv_filtering_kernels::launchMedian3x3(out, in, form);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

void median3x3(Array<float, 2>& out, const Array<float, 2>& in) {
  internal::median3x3(out, in, rt::KernelForm::Auto);
}

}  // namespace yv
