// In-place flips (see flip.h).
#include "yv/algorithms/basic/flip.h"

#include "yv/runtime/launch.cuh"
#include "yv/tools/cuda_check.h"
#include "yv/tools/range.h"

namespace yv {
namespace algorithms_basic_namespace {

// Exchanges the element at index i < floor(n / 2) along `axis` with its mirror at n - 1 - i;
// each pair belongs to exactly one index, and the middle of an odd extent stays.
template <class T, int axis>
struct flip_kernel {
  Array<T, 3> v;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned) const {
    const unsigned n = internal::comp(v.size, axis);
    const unsigned i = axis == 0 ? x : (axis == 1 ? y : z);
    if (i >= n / 2) return;
    const unsigned m = n - 1 - i;
    T& a = at(v, x, y, z);
    T& b = at(v, axis == 0 ? m : x, axis == 1 ? m : y, axis == 2 ? m : z);
    const T t = a;
    a = b;
    b = t;
  }
};

// Threads cover half of the flipped axis (rounded up) and the whole of the other two.
template <int axis>
uint4 flipExtent(const uint4& s) {
  uint4 e = make_uint4(s.x, s.y, s.z, 1);
  internal::setComp(e, axis, (internal::comp(s, axis) + 1) / 2);
  return e;
}

template <class T, int axis>
void flip(Array<T, 4>& a, int line) {
  const uint4 ext = flipExtent<axis>(a.size);
  if (a.device == -1) {
    if (ext.x == 0 || ext.y == 0 || ext.z == 0) return;  // nothing to move
    for (unsigned w = 0; w < a.size.w; ++w) {
      const flip_kernel<T, axis> f{subvolume(a, int(w))};
      for (unsigned z = 0; z < ext.z; ++z)
        for (unsigned y = 0; y < ext.y; ++y)
          for (unsigned x = 0; x < ext.x; ++x) f(x, y, z, 0);
    }
    return;
  }
  for (unsigned w = 0; w < a.size.w; ++w) {
    const Array<T, 3> v = subvolume(a, int(w));
    rt::launch(flip_kernel<T, axis>{v}, ext, dim3(32, 4, 1), 0, {v.ptr});
    _CHECK_CUDA_ERROR(__FILE__, line);
  }
}

}  // namespace algorithms_basic_namespace

namespace abn = algorithms_basic_namespace;

template <class T> void flipX(Array<T, 4>& a) { abn::flip<T, 0>(a, __LINE__); }
template <class T> void flipY(Array<T, 4>& a) { abn::flip<T, 1>(a, __LINE__); }
template <class T> void flipZ(Array<T, 4>& a) { abn::flip<T, 2>(a, __LINE__); }

#define YV_FLIP(T)                             \
  template void flipX<T>(Array<T, 4>&);        \
  template void flipY<T>(Array<T, 4>&);        \
  template void flipZ<T>(Array<T, 4>&);
YV_FLIP(int)
YV_FLIP(float)
YV_FLIP(float2)
YV_FLIP(float3)
YV_FLIP(float4)
YV_FLIP(double)
YV_FLIP(uchar4)

}  // namespace yv
