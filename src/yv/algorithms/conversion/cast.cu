// Element type casts of 4-D arrays between float, int and unsigned char and their 2- and
// 4-vectors.
#include <climits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "yv/algorithms/conversion/convert.h"
#include "yv/runtime/launch.cuh"
#include "yv/tools/same_device.h"

namespace yv {
namespace algorithms_conversion_namespace {

// Component rules, identical on the device and the host. The float-to-integer rules are written
// out with explicit range tests: a plain cast of an out-of-range float is undefined in C++.
YV_HD_INLINE float castIntToFloat(int v) { return float(v); }  // nearest, ties to even
YV_HD_INLINE float castByteToFloat(unsigned char v) { return float(v); }
YV_HD_INLINE int castFloatToInt(float v) {  // truncate, saturate; NaN gives 0
  if (!(v == v)) return 0;
  if (v <= -2147483648.0f) return INT_MIN;
  if (v >= 2147483648.0f) return INT_MAX;
  return int(v);
}
YV_HD_INLINE int castByteToInt(unsigned char v) { return int(v); }
YV_HD_INLINE unsigned char castFloatToByte(float v) {  // truncate into 32 unsigned bits, low byte
  if (!(v > 0.0f)) return 0;
  if (v >= 4294967296.0f) return 0xff;
  return static_cast<unsigned char>(static_cast<unsigned>(v) & 0xffu);
}
YV_HD_INLINE unsigned char castIntToByte(int v) {
  return static_cast<unsigned char>(static_cast<unsigned>(v) & 0xffu);
}

template <class Tout, class Tin>
struct convert_operator;

#define YV_CAST_PAIRS(SO, SI, RULE)                                                       \
  template <> struct convert_operator<SO, SI> {                                           \
    YV_HD SO operator()(SI v) const { return RULE(v); }                                   \
  };                                                                                      \
  template <> struct convert_operator<SO##2, SI##2> {                                     \
    YV_HD SO##2 operator()(SI##2 v) const { return make_##SO##2(RULE(v.x), RULE(v.y)); }  \
  };                                                                                      \
  template <> struct convert_operator<SO##4, SI##4> {                                     \
    YV_HD SO##4 operator()(SI##4 v) const {                                               \
      return make_##SO##4(RULE(v.x), RULE(v.y), RULE(v.z), RULE(v.w));                    \
    }                                                                                     \
  };

// The scalar spellings of uchar2/uchar4 components.
using uchar = unsigned char;
YV_CAST_PAIRS(float, int, castIntToFloat)
YV_CAST_PAIRS(float, uchar, castByteToFloat)
YV_CAST_PAIRS(int, float, castFloatToInt)
YV_CAST_PAIRS(int, uchar, castByteToInt)
YV_CAST_PAIRS(uchar, float, castFloatToByte)
YV_CAST_PAIRS(uchar, int, castIntToByte)
#undef YV_CAST_PAIRS

template <class Tout, class Tin, class Op>
struct convert_kernel {
  Array<Tout, 4> out;
  Array<Tin, 4> in;
  Op op;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned w) const {
    at(out, x, y, z, w) = op(at(in, x, y, z, w));
  }
};

template <class T> struct CastTypeText;
#define YV_TYPE_TEXT(T, TEXT) \
  template <> struct CastTypeText<T> { static constexpr const char* name = TEXT; };
YV_TYPE_TEXT(float, "float")
YV_TYPE_TEXT(int, "int")
YV_TYPE_TEXT(unsigned char, "unsigned char")
YV_TYPE_TEXT(float2, "float2")
YV_TYPE_TEXT(int2, "int2")
YV_TYPE_TEXT(uchar2, "uchar2")
YV_TYPE_TEXT(float4, "float4")
YV_TYPE_TEXT(int4, "int4")
YV_TYPE_TEXT(uchar4, "uchar4")
#undef YV_TYPE_TEXT

const dim3 kElementBlock(128, 2, 1);

}  // namespace algorithms_conversion_namespace

template <class Tout, class Tin>
void convert(Array<Tout, 4>& out, const Array<Tin, 4>& in, cudaStream_t stream) {
  namespace acn = algorithms_conversion_namespace;
  const std::string signature =
      std::string("void yv::convert(yv::Array<T, 4>&, const yv::Array<Tin, 4>&, cudaStream_t) "
                  "[with Tout = ") +
      acn::CastTypeText<Tout>::name + ", Tin = " + acn::CastTypeText<Tin>::name +
      ", cudaStream_t = CUstream_st*]";
  internal::check_arguments_same_device(__FILE__, __LINE__, signature.c_str(), out, "out", in,
                                        "in");
  if (out.size.x != in.size.x || out.size.y != in.size.y || out.size.z != in.size.z ||
      out.size.w != in.size.w) {
    std::stringstream ss;
    ss << signature << ":  " << " wrong 'out' array extents." << std::endl
       << " 'in'  extents are " << internal::str_extents(in.size) << std::endl
       << " 'out' extents are " << internal::str_extents(out.size) << std::endl
       << " expected are the same extents. " << std::endl;
    throw std::runtime_error(ss.str());
  }
  const acn::convert_operator<Tout, Tin> op;
  if (out.device == -1) {
    for (unsigned w = 0; w < in.size.w; ++w)
      for (unsigned z = 0; z < in.size.z; ++z)
        for (unsigned y = 0; y < in.size.y; ++y)
          for (unsigned x = 0; x < in.size.x; ++x) at(out, x, y, z, w) = op(at(in, x, y, z, w));
    return;
  }
  rt::launch(acn::convert_kernel<Tout, Tin, acn::convert_operator<Tout, Tin>>{out, in, op}, in.size,
             acn::kElementBlock, stream, {out.ptr, in.ptr});
}

#define YV_INSTANTIATE_CAST(TO, TI) \
  template void convert<TO, TI>(Array<TO, 4>&, const Array<TI, 4>&, cudaStream_t);
#define YV_INSTANTIATE_CAST_WIDTHS(TO, TI) \
  YV_INSTANTIATE_CAST(TO, TI)              \
  YV_INSTANTIATE_CAST(TO##2, TI##2)        \
  YV_INSTANTIATE_CAST(TO##4, TI##4)
using uchar = unsigned char;
YV_INSTANTIATE_CAST_WIDTHS(float, int)
YV_INSTANTIATE_CAST_WIDTHS(float, uchar)
YV_INSTANTIATE_CAST_WIDTHS(int, float)
YV_INSTANTIATE_CAST_WIDTHS(int, uchar)
YV_INSTANTIATE_CAST_WIDTHS(uchar, float)
YV_INSTANTIATE_CAST_WIDTHS(uchar, int)
#undef YV_INSTANTIATE_CAST_WIDTHS
#undef YV_INSTANTIATE_CAST

}  // namespace yv
