// Scope guard of the render operations: releases the arrays it was given (host or device, as each
// array's device number says) unless dismissed, so no memory is lost when a step throws.
#pragma once

#include <cstdlib>
#include <utility>
#include <vector>

#include "yv/runtime/runtime.h"
#include "yv/tools/array.h"

class ArrayReleaser {
 public:
  ArrayReleaser() = default;
  ArrayReleaser(const ArrayReleaser&) = delete;
  ArrayReleaser& operator=(const ArrayReleaser&) = delete;
  ~ArrayReleaser() {
    for (const auto& a : arrays_) {
      if (a.second == -1)
        std::free(a.first);
      else
        yv::rt::free(a.first);
    }
  }

  template <class T, int N>
  void add(const yv::Array<T, N>& a) {
    arrays_.emplace_back(static_cast<void*>(a.ptr), a.device);
  }
  // The arrays now belong to the caller.
  void dismiss() { arrays_.clear(); }

 private:
  std::vector<std::pair<void*, int>> arrays_;
};
