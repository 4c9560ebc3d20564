// Choice between the two forms of an operation that has a cooperative kernel (shared tiles,
// lanes working on one line) and an element-wise one with identical results. The cooperative
// form is the GPU's; on the host back end, which runs a block's threads one after another, the
// element-wise form is the faster one. Tests force each form to compare them.
#pragma once

#include "yv/runtime/runtime.h"

namespace yv {
namespace rt {

enum class KernelForm {
  Auto,         // cooperative on a GPU, element-wise on the host back end
  Cooperative,  // the cooperative kernel on either back end
  ElementWise,  // the element-wise kernel on the host back end (a GPU runs the cooperative one)
};

inline bool runsCooperative(KernelForm form) {
  return form == KernelForm::Cooperative || onGpu();
}

}  // namespace rt
}  // namespace yv
