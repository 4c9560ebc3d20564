// Array dumps: the raw elements of a float array and a one-line ".yvinfo" side file describing it.
#pragma once

#include <string>

#include "yv/tools/array.h"

namespace yv {

template <class T, int N>
void writeArrayToFile(const Array<T, N>& a, const std::string& fileName);

}  // namespace yv
