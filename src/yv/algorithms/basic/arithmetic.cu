#include "yv/algorithms/basic/arithmetic.h"

#include <climits>
#include <sstream>
#include <stdexcept>

#include "yv/runtime/launch.cuh"
#include "yv/tools/cuda_check.h"

namespace yv {
namespace algorithms_basic_namespace {

// Scalar arithmetic per element type. Integers wrap modulo 2^32 without undefined behaviour;
// division by zero gives 0 and INT_MIN / -1 gives INT_MIN (the wrapped quotient).
YV_HD_INLINE float addE(float a, float b) { return a + b; }
YV_HD_INLINE float subE(float a, float b) { return a - b; }
YV_HD_INLINE float mulE(float a, float b) { return a * b; }
YV_HD_INLINE float divE(float a, float b) { return a / b; }
YV_HD_INLINE double addE(double a, double b) { return a + b; }
YV_HD_INLINE double subE(double a, double b) { return a - b; }
YV_HD_INLINE double mulE(double a, double b) { return a * b; }
YV_HD_INLINE double divE(double a, double b) { return a / b; }
YV_HD_INLINE int addE(int a, int b) { return int(unsigned(a) + unsigned(b)); }
YV_HD_INLINE int subE(int a, int b) { return int(unsigned(a) - unsigned(b)); }
YV_HD_INLINE int mulE(int a, int b) { return int(unsigned(a) * unsigned(b)); }
YV_HD_INLINE int divE(int a, int b) {
  if (b == 0) return 0;
  if (a == INT_MIN && b == -1) return INT_MIN;
  return a / b;
}

#define YV_COMPONENTWISE(OP)                                                                  \
  YV_HD_INLINE float2 OP(float2 a, float2 b) { return make_float2(OP(a.x, b.x), OP(a.y, b.y)); } \
  YV_HD_INLINE float3 OP(float3 a, float3 b) {                                              \
    return make_float3(OP(a.x, b.x), OP(a.y, b.y), OP(a.z, b.z));                           \
  }                                                                                          \
  YV_HD_INLINE float4 OP(float4 a, float4 b) {                                              \
    return make_float4(OP(a.x, b.x), OP(a.y, b.y), OP(a.z, b.z), OP(a.w, b.w));             \
  }
YV_COMPONENTWISE(addE)
YV_COMPONENTWISE(subE)
YV_COMPONENTWISE(mulE)
YV_COMPONENTWISE(divE)
#undef YV_COMPONENTWISE

template <class T> struct Add {
  static constexpr bool reads = true;
  YV_HD T operator()(T a, T b) const { return addE(a, b); }
};
template <class T> struct Sub {
  static constexpr bool reads = true;
  YV_HD T operator()(T a, T b) const { return subE(a, b); }
};
template <class T> struct Mul {
  static constexpr bool reads = true;
  YV_HD T operator()(T a, T b) const { return mulE(a, b); }
};
template <class T> struct Div {
  static constexpr bool reads = true;
  YV_HD T operator()(T a, T b) const { return divE(a, b); }
};
template <class T> struct Set {
  static constexpr bool reads = false;
  YV_HD T operator()(T, T b) const { return b; }
};

template <class T, class Op>
struct apply_arr_scalar {
  Array<T, 4> a;
  T s;
  Op op;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned w) const {
    T& e = at(a, x, y, z, w);
    if constexpr (Op::reads)
      e = op(e, s);
    else
      e = s;
  }
};

template <class T, class Op>
struct apply_arr_arr {
  Array<T, 4> a;
  Array<T, 4> b;
  Op op;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned w) const {
    T& e = at(a, x, y, z, w);
    const T v = at(b, x, y, z, w);
    if constexpr (Op::reads)
      e = op(e, v);
    else
      e = v;
  }
};

template <class T>
void sanity_check_arguments(const Array<T, 4>& a, const Array<T, 4>& b) {
  if (a.device != b.device) throw std::runtime_error("memory of both arrays must be on the same device");
  if (a.device == -1) throw std::runtime_error("memory of both arrays must be on the device");
  if (a.size.x != b.size.x || a.size.y != b.size.y || a.size.z != b.size.z || a.size.w != b.size.w) {
    std::stringstream ss;
    ss << "extents mismatch" << std::endl
       << " extents of first operand are (" << a.size.x << ", " << a.size.y << ", " << a.size.z
       << ", " << a.size.w << ") "
       << " extents of second operand are (" << b.size.x << ", " << b.size.y << ", " << b.size.z
       << ", " << b.size.w << ")" << std::endl;
    throw std::runtime_error(ss.str());
  }
}

const dim3 kBlock(128, 2, 1);

template <class T, template <class> class Op>
void scalarOp(Array<T, 4>& a, T s, cudaStream_t stream, int line) {
  if (a.device == -1) throw std::runtime_error("memory of the array must be on the device");
  rt::launch(apply_arr_scalar<T, Op<T>>{a, s, Op<T>()}, a.size, kBlock, stream, {a.ptr});
  _CHECK_CUDA_ERROR(__FILE__, line);
}

template <class T, template <class> class Op>
void arrayOp(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t stream, int line) {
  sanity_check_arguments(a, b);
  rt::launch(apply_arr_arr<T, Op<T>>{a, b, Op<T>()}, a.size, kBlock, stream, {a.ptr, b.ptr});
  _CHECK_CUDA_ERROR(__FILE__, line);
}

}  // namespace algorithms_basic_namespace

namespace abn = algorithms_basic_namespace;

template <class T> void add(Array<T, 4>& a, T s, cudaStream_t st) { abn::scalarOp<T, abn::Add>(a, s, st, __LINE__); }
template <class T> void sub(Array<T, 4>& a, T s, cudaStream_t st) { abn::scalarOp<T, abn::Sub>(a, s, st, __LINE__); }
template <class T> void mul(Array<T, 4>& a, T s, cudaStream_t st) { abn::scalarOp<T, abn::Mul>(a, s, st, __LINE__); }
template <class T> void div(Array<T, 4>& a, T s, cudaStream_t st) { abn::scalarOp<T, abn::Div>(a, s, st, __LINE__); }
template <class T> void set(Array<T, 4>& a, T s, cudaStream_t st) { abn::scalarOp<T, abn::Set>(a, s, st, __LINE__); }
template <class T> void add(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t st) { abn::arrayOp<T, abn::Add>(a, b, st, __LINE__); }
template <class T> void sub(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t st) { abn::arrayOp<T, abn::Sub>(a, b, st, __LINE__); }
template <class T> void mul(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t st) { abn::arrayOp<T, abn::Mul>(a, b, st, __LINE__); }
template <class T> void div(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t st) { abn::arrayOp<T, abn::Div>(a, b, st, __LINE__); }
template <class T> void set(Array<T, 4>& a, const Array<T, 4>& b, cudaStream_t st) { abn::arrayOp<T, abn::Set>(a, b, st, __LINE__); }

#define YV_ARITH(T)                                                                  \
  template void add<T>(Array<T, 4>&, T, cudaStream_t);                               \
  template void sub<T>(Array<T, 4>&, T, cudaStream_t);                               \
  template void mul<T>(Array<T, 4>&, T, cudaStream_t);                               \
  template void div<T>(Array<T, 4>&, T, cudaStream_t);                               \
  template void add<T>(Array<T, 4>&, const Array<T, 4>&, cudaStream_t);              \
  template void sub<T>(Array<T, 4>&, const Array<T, 4>&, cudaStream_t);              \
  template void mul<T>(Array<T, 4>&, const Array<T, 4>&, cudaStream_t);              \
  template void div<T>(Array<T, 4>&, const Array<T, 4>&, cudaStream_t);
#define YV_SET(T)                                                                    \
  template void set<T>(Array<T, 4>&, T, cudaStream_t);                               \
  template void set<T>(Array<T, 4>&, const Array<T, 4>&, cudaStream_t);              \
  template void algorithms_basic_namespace::sanity_check_arguments<T>(const Array<T, 4>&, \
                                                                     const Array<T, 4>&);

YV_ARITH(float) YV_ARITH(float2) YV_ARITH(float3) YV_ARITH(float4) YV_ARITH(double) YV_ARITH(int)
YV_SET(float) YV_SET(float2) YV_SET(float3) YV_SET(float4) YV_SET(double) YV_SET(int)
YV_SET(unsigned int) YV_SET(int2) YV_SET(int3) YV_SET(int4) YV_SET(unsigned char) YV_SET(uchar2)
YV_SET(uchar3) YV_SET(uchar4) YV_SET(bool)

}  // namespace yv
