// Array dumps: the raw elements of an array (float; uchar4 and float4 images) and a one-line
// ".yvinfo" side file with its extents and channel format.
#pragma once

#include <string>

#include "yv/tools/array.h"

namespace yv {

template <class T, int N>
void writeArrayToFile(const Array<T, N>& a, const std::string& fileName);

}  // namespace yv
