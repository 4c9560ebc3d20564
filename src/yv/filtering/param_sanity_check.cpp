#include "yv/filtering/param_sanity_check.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>

namespace yv {
namespace internal {

namespace {

void writeExtents(std::ostream& os, const uint4& e) {
  os << "(" << e.x << ", " << e.y << ", " << e.z << ", " << e.w << ")";
}

bool isKnownBorder(BorderTreatment border) {
  return border == MIRROR || border == CLAMP || border == ZERO;
}

}  // namespace

template <class T, class T2, int N>
std::string param_sanity_check(char axis, const Array<T2, 4>& out, const Array<T2, 4>& in,
                               const Filter<T, N>& filter, BorderTreatment border) {
  std::stringstream ss;
  ss << "filter" << axis << ": ";
  if (out.device != in.device) {
    ss << "result and input array must be on the same device";
    return ss.str();
  }
  if (out.device == -1) {
    ss << "both arrays must be on the device";
    return ss.str();
  }
  if (out.size.x != in.size.x || out.size.y != in.size.y || out.size.z != in.size.z ||
      out.size.w != in.size.w) {
    ss << "extents mismatch" << std::endl << " extents of input array are ";
    writeExtents(ss, in.size);
    ss << " " << " extents of output array are ";
    writeExtents(ss, out.size);
    ss << std::endl;
    return ss.str();
  }
  if (filter.offset < 0 || filter.offset > N - 1) {
    ss << "filter offset is out of bounds." << std::endl
       << " filter offset is " << filter.offset << ", filter length is " << N << ", filter=[";
    for (int i = 0; i < N; ++i) ss << (i ? ", " : "") << double(filter.coeff[i]);
    ss << "]" << std::endl;
    return ss.str();
  }
  // An unknown rule would launch nothing and leave out unwritten while reporting success.
  if (!isKnownBorder(border)) {
    ss << "unsupported border treatment" << std::endl
       << " border treatment is " << int(border)
       << ", expected 0 (MIRROR), 1 (CLAMP) or 2 (ZERO)" << std::endl;
    return ss.str();
  }
  if (border == MIRROR) {
    const int n = int(axis == 'X' ? in.size.x : axis == 'Y' ? in.size.y : in.size.z);
    if (n <= filter.offset || n <= N - 1 - filter.offset) {
      ss << "The filter is too big or the array is too small for mirroring" << std::endl
         << " filter size is " << N << ",  extent in " << axis << "-direction is " << n
         << std::endl;
      return ss.str();
    }
  }
  return std::string();
}

bool imagesShareMemory(const Array<float, 2>& a, const Array<float, 2>& b, uint2 size) {
  if (size.x == 0 || size.y == 0) return false;
  const std::int64_t row = std::int64_t(size.x) * std::int64_t(sizeof(float));
  const std::int64_t a0 = std::int64_t(reinterpret_cast<std::uintptr_t>(a.ptr));
  const std::int64_t b0 = std::int64_t(reinterpret_cast<std::uintptr_t>(b.ptr));
  const std::int64_t rows = std::int64_t(size.y) - 1;
  const std::int64_t aEnd = a0 + rows * std::int64_t(a.pitch.y) + row;
  const std::int64_t bEnd = b0 + rows * std::int64_t(b.pitch.y) + row;
  if (aEnd <= b0 || bEnd <= a0) return false;
  // Overlapping spans of one row each overlap; spans that interleave with different row
  // pitches are taken as shared (a conservative answer for layouts no caller builds on purpose).
  if (rows == 0 || a.pitch.y != b.pitch.y || a.pitch.y == 0) return true;
  // Equal pitches: row ya of a and row yb of b overlap when |d + j * p| < row with
  // j = yb - ya in [-rows, rows]; |d + j * p| is smallest next to j = -d / p.
  const std::int64_t p = std::int64_t(a.pitch.y), d = b0 - a0;
  const std::int64_t q = -d / p;
  for (std::int64_t j = q - 1; j <= q + 1; ++j) {
    const std::int64_t jj = std::max(-rows, std::min(rows, j));
    const std::int64_t e = d + jj * p;
    if (e > -row && e < row) return true;
  }
  return false;
}

std::string median3x3_sanity_check(const Array<float, 2>& out, const Array<float, 2>& in) {
  std::stringstream ss;
  ss << "median3x3: ";
  if (out.device != in.device) {
    ss << "result and input array must be on the same device";
    return ss.str();
  }
  if (out.device == -1) {
    ss << "both arrays must be on the device";
    return ss.str();
  }
  if (out.size.x < in.size.x || out.size.y < in.size.y) {
    ss << "result array is smaller than the input array" << std::endl
       << " extents of input array are (" << in.size.x << ", " << in.size.y << ") "
       << " extents of output array are (" << out.size.x << ", " << out.size.y << ")"
       << std::endl;
    return ss.str();
  }
  if (imagesShareMemory(out, in, in.size)) {
    ss << "result and input array must not share memory";
    return ss.str();
  }
  return std::string();
}

#define YV_FILTER_CHECK(T, T2, N)                                                             \
  template std::string param_sanity_check<T, T2, N>(char, const Array<T2, 4>&,               \
                                                    const Array<T2, 4>&, const Filter<T, N>&, \
                                                    BorderTreatment);
#define YV_FILTER_CHECKS(T, T2)                                                               \
  YV_FILTER_CHECK(T, T2, 2) YV_FILTER_CHECK(T, T2, 3) YV_FILTER_CHECK(T, T2, 4)               \
  YV_FILTER_CHECK(T, T2, 5) YV_FILTER_CHECK(T, T2, 6) YV_FILTER_CHECK(T, T2, 7)               \
  YV_FILTER_CHECK(T, T2, 8) YV_FILTER_CHECK(T, T2, 9) YV_FILTER_CHECK(T, T2, 10)

YV_FILTER_CHECKS(float, float)
YV_FILTER_CHECKS(float, float2)
YV_FILTER_CHECKS(float, float4)
YV_FILTER_CHECKS(double, double)

#undef YV_FILTER_CHECKS
#undef YV_FILTER_CHECK

}  // namespace internal
}  // namespace yv
