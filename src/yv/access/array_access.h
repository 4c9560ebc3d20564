// Border rules of the array library: what a read at a coordinate outside a 3-D array returns.
// The rule is a type, so a kernel picks it at compile time and carries no branch on it.
#pragma once

#include "yv/runtime/hd.h"
#include "yv/tools/array.h"

namespace yv {

namespace internal {

// Element (x, y, z) of a volume; the coordinates must already lie inside it.
template <class T2>
YV_HD_INLINE T2 readElement(const Array<T2, 3>& in, int x, int y, int z) {
  return at(in, unsigned(x), unsigned(y), unsigned(z));
}

}  // namespace internal

// Reflection about the edge element, which is not repeated: -1 reads 1, n reads n - 2. Valid
// for -(n - 1) <= c <= 2n - 2 only (one reflection); callers keep their reads inside that.
struct ArrayAccessMirror {
  YV_HD_INLINE static int map(int c, int n) {
    const int j = c < 0 ? -c : c;
    return j < n ? j : 2 * n - 2 - j;
  }
  template <class T2>
  YV_HD_INLINE T2 get(const Array<T2, 3>& in, int x, int y, int z) const {
    return internal::readElement(in, map(x, int(in.size.x)), map(y, int(in.size.y)),
                                 map(z, int(in.size.z)));
  }
};

// The nearest edge element.
struct ArrayAccessClamp {
  YV_HD_INLINE static int map(int c, int n) {
    const int j = c < 0 ? 0 : c;
    return j < n ? j : n - 1;
  }
  template <class T2>
  YV_HD_INLINE T2 get(const Array<T2, 3>& in, int x, int y, int z) const {
    return internal::readElement(in, map(x, int(in.size.x)), map(y, int(in.size.y)),
                                 map(z, int(in.size.z)));
  }
};

// Zero outside the array; memory is touched only for coordinates inside it.
struct ArrayAccessZero {
  template <class T2>
  YV_HD_INLINE T2 get(const Array<T2, 3>& in, int x, int y, int z) const {
    if (x >= 0 && y >= 0 && z >= 0 && x < int(in.size.x) && y < int(in.size.y) &&
        z < int(in.size.z))
      return internal::readElement(in, x, y, z);
    return T2{};
  }
};

}  // namespace yv
