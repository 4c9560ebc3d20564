// Views without copies: inclusive index ranges, 4-D blocks and the i-th 3-D volume of a 4-D array.
#pragma once

#include <sstream>
#include <stdexcept>

#include "yv/tools/array.h"

namespace yv {

struct Range {
  int first;
  int last;  // inclusive; -1 stands for the last index of the axis
  Range() : first(0), last(-1) {}
  Range(int first_, int last_) : first(first_), last(last_) {
    if (first > last) {
      std::stringstream ss;
      ss << "Range(): the first element must be <= than the last element."
         << " first = " << first << ",  last = " << last << std::endl;
      throw std::runtime_error(ss.str());
    }
  }
};

namespace internal {
inline Range wholeAxis() {
  Range r;
  r.first = 0;
  r.last = -1;
  return r;
}
}  // namespace internal

template <class T>
Array<T, 4> block(const Array<T, 4>& a, Range x, Range y, Range z, Range w) {
  Range r[4] = {x, y, z, w};
  for (int i = 0; i < 4; ++i)
    if (r[i].last == -1) r[i].last = int(internal::comp(a.size, i)) - 1;
  for (int i = 0; i < 4; ++i) {
    // A range whose first index lies past its last is refused like one outside the array.
    if (r[i].first < 0 || r[i].last >= int(internal::comp(a.size, i)) || r[i].first > r[i].last) {
      std::stringstream ss;
      ss << "block: block range is out of bounds." << std::endl
         << " array extents are " << internal::str_extents(a.size) << ", ranges are [";
      for (int k = 0; k < 4; ++k) ss << (k ? ", " : "") << r[k].first << "-" << r[k].last;
      ss << "]";
      throw std::runtime_error(ss.str());
    }
  }
  Array<T, 4> v = a;
  v.ptr = &at(a, unsigned(r[0].first), unsigned(r[1].first), unsigned(r[2].first),
              unsigned(r[3].first));
  v.size = make_uint4(unsigned(r[0].last - r[0].first + 1), unsigned(r[1].last - r[1].first + 1),
                      unsigned(r[2].last - r[2].first + 1), unsigned(r[3].last - r[3].first + 1));
  return v;
}

template <class T>
Array<T, 3> subvolume(const Array<T, 4>& a, int i) {
  Range w;
  w.first = i;
  w.last = i;
  return internal::decreaseArrayDimension<T, 4, 3>(
      block(a, internal::wholeAxis(), internal::wholeAxis(), internal::wholeAxis(), w));
}

}  // namespace yv
