// Argument checks of the filtering calls. Each returns the complete error text of the first
// check that fails, or the empty string for a valid call; the calls throw the text unchanged.
#pragma once

#include <string>

#include "yv/filtering/filter.h"
#include "yv/tools/array.h"

namespace yv {
namespace internal {

// Checks, in order: same device, on the device, equal extents, offset inside the filter, a
// known border rule, and for MIRROR that one reflection covers the filter's reach along the
// axis ('X', 'Y' or 'Z').
template <class T, class T2, int N>
std::string param_sanity_check(char axis, const Array<T2, 4>& out, const Array<T2, 4>& in,
                               const Filter<T, N>& filter, BorderTreatment border);

// Checks of median3x3: same device, on the device, out at least as large as in, and out
// sharing no element with in (the kernel would read pixels it has already replaced).
std::string median3x3_sanity_check(const Array<float, 2>& out, const Array<float, 2>& in);

// Whether the first size.x x size.y elements of two 2-D float images overlap in memory.
bool imagesShareMemory(const Array<float, 2>& a, const Array<float, 2>& b, uint2 size);

}  // namespace internal
}  // namespace yv
