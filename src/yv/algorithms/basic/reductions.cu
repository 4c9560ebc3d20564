// Tile-wise minimum and maximum reductions (see reductions.h).
#include "yv/algorithms/basic/reductions.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "yv/runtime/cooperative.cuh"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"

namespace yv {
namespace algorithms_basic_namespace {

// Integers compare as int after widening, so unsigned char orders 0 to 255. fminf/fmaxf and
// fmin/fmax return the other operand when one is NaN.
template <class T> struct Min_Op;
template <class T> struct Max_Op;
template <> struct Min_Op<int> {
  YV_HD int operator()(int a, int b) const { return a < b ? a : b; }
};
template <> struct Max_Op<int> {
  YV_HD int operator()(int a, int b) const { return a > b ? a : b; }
};
template <> struct Min_Op<unsigned char> {
  YV_HD unsigned char operator()(unsigned char a, unsigned char b) const {
    return int(a) < int(b) ? a : b;
  }
};
template <> struct Max_Op<unsigned char> {
  YV_HD unsigned char operator()(unsigned char a, unsigned char b) const {
    return int(a) > int(b) ? a : b;
  }
};
template <> struct Min_Op<float> {
  YV_HD float operator()(float a, float b) const { return fminf(a, b); }
};
template <> struct Max_Op<float> {
  YV_HD float operator()(float a, float b) const { return fmaxf(a, b); }
};
template <> struct Min_Op<double> {
  YV_HD double operator()(double a, double b) const { return fmin(a, b); }
};
template <> struct Max_Op<double> {
  YV_HD double operator()(double a, double b) const { return fmax(a, b); }
};

// (smaller x, larger y) of two pairs.
template <class P> struct MinMax_Op;
template <> struct MinMax_Op<uchar2> {
  YV_HD uchar2 operator()(uchar2 a, uchar2 b) const {
    return make_uchar2(Min_Op<unsigned char>()(a.x, b.x), Max_Op<unsigned char>()(a.y, b.y));
  }
};
template <> struct MinMax_Op<int2> {
  YV_HD int2 operator()(int2 a, int2 b) const {
    return make_int2(Min_Op<int>()(a.x, b.x), Max_Op<int>()(a.y, b.y));
  }
};
template <> struct MinMax_Op<float2> {
  YV_HD float2 operator()(float2 a, float2 b) const {
    return make_float2(fminf(a.x, b.x), fmaxf(a.y, b.y));
  }
};

}  // namespace algorithms_basic_namespace

namespace internal {

// Lifts one input element to the result type: itself, or the pair (v, v).
template <class R> struct make_type {
  YV_HD R operator()(R v) const { return v; }
};
template <> struct make_type<uchar2> {
  YV_HD uchar2 operator()(unsigned char v) const { return make_uchar2(v, v); }
};
template <> struct make_type<int2> {
  YV_HD int2 operator()(int v) const { return make_int2(v, v); }
};
template <> struct make_type<float2> {
  YV_HD float2 operator()(float v) const { return make_float2(v, v); }
};

}  // namespace internal

namespace algorithms_basic_namespace {

constexpr unsigned kTile = 32;

// Blocks of 32 x 32 threads, one block per 32 x 32 input tile. Phase 0 lifts each element inside
// the array into the shared tile (other slots stay unwritten); phases 1 to 5 fold each row into
// its slot 0 with strides 16 .. 1, phases 6 to 10 fold column 0 into slot (0, 0) likewise, every
// step only over partners inside the array; phase 11 writes the tile's result. Column 0 and row 0
// of a tile always lie inside the array, since the tile counts are ceilings.
template <class T, class R, class Op, class Make>
struct stat_op_kernel {
  static constexpr std::size_t kSharedBytes = kTile * kTile * sizeof(R);
  static constexpr unsigned kPhases = 12;
  struct State {};
  Array<T, 2> in;
  Array<R, 2> partial;
  Op op;
  Make make;
  YV_HD void operator()(unsigned phase, const rt::Team& t, State&) const {
    R(*tile)[kTile] = static_cast<R(*)[kTile]>(t.shared);
    const unsigned tx = t.thread.x, ty = t.thread.y;
    const int x = int(t.blockDim.x * t.block.x + tx), y = int(t.blockDim.y * t.block.y + ty);
    const int width = int(in.size.x), height = int(in.size.y);
    if (phase == 0) {
      if (x < width && y < height) tile[ty][tx] = make(at(in, unsigned(x), unsigned(y)));
    } else if (phase <= 5) {
      const int s = int(t.blockDim.x >> phase);
      if (int(tx) < s && x + s < width && y < height)
        tile[ty][tx] = op(tile[ty][tx], tile[ty][tx + s]);
    } else if (phase <= 10) {
      const int s = int(t.blockDim.y >> (phase - 5));
      if (int(ty) < s && tx == 0 && y + s < height) tile[ty][0] = op(tile[ty][0], tile[ty + s][0]);
    } else if (tx == 0 && ty == 0) {
      at(partial, t.block.x, t.block.y) = tile[0][0];
    }
  }
};

// The element-wise form: one call per tile, folding its elements in row order. The operators
// are exact minima and maxima, so the order of the fold changes at most the sign of a
// zero result.
template <class T, class R, class Op, class Make>
struct stat_op_tile {
  Array<T, 2> in;
  Array<R, 2> partial;
  Op op;
  Make make;
  YV_HD void operator()(unsigned bx, unsigned by, unsigned, unsigned) const {
    const unsigned x0 = bx * kTile, y0 = by * kTile;
    const unsigned x1 = x0 + kTile < in.size.x ? x0 + kTile : in.size.x;
    const unsigned y1 = y0 + kTile < in.size.y ? y0 + kTile : in.size.y;
    R acc = make(at(in, x0, y0));
    for (unsigned y = y0; y < y1; ++y)
      for (unsigned x = (y == y0 ? x0 + 1 : x0); x < x1; ++x) acc = op(acc, make(at(in, x, y)));
    at(partial, bx, by) = acc;
  }
};

inline unsigned tiles(unsigned n) { return (n >> 5) + ((n & 31u) ? 1u : 0u); }

template <class T, class R, class Op>
R reduce(const Array<T, 2>& a, cudaStream_t stream, const char* name, int line,
         rt::KernelForm form) {
  if (a.device == -1)
    throw std::runtime_error(std::string("yv::") + name + ": the array must be on the device");
  const uint4 ext = make_uint4(tiles(a.size.x), tiles(a.size.y), 1, 1);
  const Array<R, 2> dev =
      internal::decreaseArrayDimension<R, 4, 2>(mallocDeviceArray<R>(ext, PITCHED));
  Array<R, 2> host;
  try {
    host = internal::decreaseArrayDimension<R, 4, 2>(mallocHostArray<R>(ext, PACKED));
  } catch (...) {
    rt::free(dev.ptr);
    throw;
  }
  // The partial results go on every path, before any error is thrown.
  auto release = [&]() {
    rt::free(dev.ptr);
    releaseArray(host);
  };
  R result;
  try {
    using Kernel = stat_op_kernel<T, R, Op, internal::make_type<R>>;
    if (rt::runsCooperative(form))
      rt::launchCooperative(Kernel{a, dev, Op(), internal::make_type<R>()},
                            dim3(ext.x, ext.y, 1), dim3(kTile, kTile, 1), 0, Kernel::kPhases,
                            stream, {a.ptr, dev.ptr});
    else
      rt::launch(stat_op_tile<T, R, Op, internal::make_type<R>>{a, dev, Op(),
                                                                internal::make_type<R>()},
                 rt::extent2(ext.x, ext.y), dim3(8, 8, 1), stream, {a.ptr, dev.ptr});
    rt::streamSynchronize(stream);
    _CHECK_CUDA_ERROR(__FILE__, line);
    arrayCopy(host, dev);
    const Op op;
    result = at(host, 0, 0);
    for (unsigned y = 0; y < ext.y; ++y)
      for (unsigned x = 0; x < ext.x; ++x) result = op(result, at(host, x, y));
  } catch (...) {
    release();
    throw;
  }
  release();
  return result;
}

}  // namespace algorithms_basic_namespace

namespace abn = algorithms_basic_namespace;

namespace internal {
template <class T> T Min(Array<T, 2>& a, cudaStream_t stream, rt::KernelForm form) {
  return abn::reduce<T, T, abn::Min_Op<T>>(a, stream, "Min", __LINE__, form);
}
template <class T> T Max(Array<T, 2>& a, cudaStream_t stream, rt::KernelForm form) {
  return abn::reduce<T, T, abn::Max_Op<T>>(a, stream, "Max", __LINE__, form);
}
uchar2 MinMax(Array<unsigned char, 2>& a, cudaStream_t stream, rt::KernelForm form) {
  return abn::reduce<unsigned char, uchar2, abn::MinMax_Op<uchar2>>(a, stream, "MinMax",
                                                                    __LINE__, form);
}
int2 MinMax(Array<int, 2>& a, cudaStream_t stream, rt::KernelForm form) {
  return abn::reduce<int, int2, abn::MinMax_Op<int2>>(a, stream, "MinMax", __LINE__, form);
}
float2 MinMax(Array<float, 2>& a, cudaStream_t stream, rt::KernelForm form) {
  return abn::reduce<float, float2, abn::MinMax_Op<float2>>(a, stream, "MinMax", __LINE__, form);
}
}  // namespace internal

template <class T> T Min(Array<T, 2>& a, cudaStream_t stream) {
  return internal::Min<T>(a, stream, rt::KernelForm::Auto);
}
template <class T> T Max(Array<T, 2>& a, cudaStream_t stream) {
  return internal::Max<T>(a, stream, rt::KernelForm::Auto);
}
uchar2 MinMax(Array<unsigned char, 2>& a, cudaStream_t stream) {
  return internal::MinMax(a, stream, rt::KernelForm::Auto);
}
int2 MinMax(Array<int, 2>& a, cudaStream_t stream) {
  return internal::MinMax(a, stream, rt::KernelForm::Auto);
}
float2 MinMax(Array<float, 2>& a, cudaStream_t stream) {
  return internal::MinMax(a, stream, rt::KernelForm::Auto);
}

#define YV_MIN_MAX(T)                                                            \
  template T Min<T>(Array<T, 2>&, cudaStream_t);                                 \
  template T Max<T>(Array<T, 2>&, cudaStream_t);                                 \
  template T internal::Min<T>(Array<T, 2>&, cudaStream_t, rt::KernelForm);       \
  template T internal::Max<T>(Array<T, 2>&, cudaStream_t, rt::KernelForm);
YV_MIN_MAX(int)
YV_MIN_MAX(unsigned char)
YV_MIN_MAX(float)
YV_MIN_MAX(double)

}  // namespace yv
