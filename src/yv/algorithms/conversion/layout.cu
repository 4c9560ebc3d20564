// Layout conversions between interleaved 4-vector images and planar images, plain (values
// unchanged) and scaled between bytes and the unit range.
#include <cmath>
#include <climits>

#include "yv/algorithms/conversion/convert.h"
#include "yv/algorithms/conversion/layout_checks.h"
#include "yv/runtime/launch.cuh"

namespace yv {
namespace algorithms_conversion_namespace {

const dim3 kLayoutBlock(32, 4, 1);

inline uint4 pixelsOf(unsigned width, unsigned height) { return make_uint4(width, height, 1, 1); }

// ---- per-pixel work ------------------------------------------------------------------------

template <class TP, class TV>
YV_HD_INLINE void splitPixel(const Array<TP, 3>& out, const Array<TV, 2>& in, unsigned x,
                             unsigned y) {
  const TV v = at(in, x, y);
  at(out, x, y, 0) = v.x;
  at(out, x, y, 1) = v.y;
  at(out, x, y, 2) = v.z;
  if (out.size.z == 4) at(out, x, y, 3) = v.w;
}

YV_HD_INLINE float4 makeVector(float a, float b, float c, float d) { return make_float4(a, b, c, d); }
YV_HD_INLINE uchar4 makeVector(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  return make_uchar4(a, b, c, d);
}

template <class TV, class TP>
YV_HD_INLINE void joinPixel(const Array<TV, 2>& out, const Array<TP, 3>& in, TP fill, unsigned x,
                            unsigned y) {
  const TP w = in.size.z == 4 ? at(in, x, y, 3) : fill;
  at(out, x, y) = makeVector(at(in, x, y, 0), at(in, x, y, 1), at(in, x, y, 2), w);
}

// Byte to planar value: scaled to [0, 1] in T's precision, or the byte's own value.
template <bool S, class T>
YV_HD_INLINE T fromByte(unsigned char c) {
  return S ? T(c) / T(255) : T(c);
}

// Planar value to byte on the device. Scaled: clamp to [0, 1] (NaN to 0), times 255, halves away
// from zero. Unscaled: truncate into 32 unsigned bits (negative and NaN give 0, values from 2^32
// on give 2^32 - 1), keep the low byte. Written without float-to-int casts that could overflow.
template <bool S>
YV_HD_INLINE unsigned char toByteDevice(float v) {
  if (S) {
    const float c = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
    return static_cast<unsigned char>(static_cast<unsigned>(roundf(c * 255.0f)));
  }
  if (!(v > 0.0f)) return 0;
  if (v >= 4294967296.0f) return 0xff;
  return static_cast<unsigned char>(static_cast<unsigned>(v) & 0xffu);
}

// Planar value to byte on the host. Scaled: above 1 gives 255, not above 0 (or NaN) gives 0,
// otherwise floor(v * 255 + 0.5) in single precision. Unscaled: truncate to a 32-bit int (NaN and
// values outside the int range give INT_MIN, as the processor's conversion does) and keep the low
// byte, so that -1 gives 255.
template <bool S>
inline unsigned char toByteHost(float v) {
  if (S) {
    if (v > 1.0f) return 255;
    if (!(v > 0.0f)) return 0;
    const float scaled = v * 255.0f;
    const float shifted = scaled + 0.5f;
    return static_cast<unsigned char>(std::floor(shifted));
  }
  int i = INT_MIN;
  if (v > -2147483649.0f && v < 2147483648.0f) i = static_cast<int>(v);
  return static_cast<unsigned char>(static_cast<unsigned>(i) & 0xffu);
}

template <bool S, class T>
YV_HD_INLINE void bytesToPlanes(const Array<T, 3>& out, const Array<uchar4, 2>& in, unsigned x,
                                unsigned y) {
  const uchar4 v = at(in, x, y);
  at(out, x, y, 0) = fromByte<S, T>(v.x);
  at(out, x, y, 1) = fromByte<S, T>(v.y);
  at(out, x, y, 2) = fromByte<S, T>(v.z);
  if (out.size.z == 4) at(out, x, y, 3) = fromByte<S, T>(v.w);
}

// ---- kernels -------------------------------------------------------------------------------

template <class TP, class TV>
struct split_kernel {
  Array<TP, 3> out;
  Array<TV, 2> in;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    splitPixel(out, in, x, y);
  }
};

template <class TV, class TP>
struct join_kernel {
  Array<TV, 2> out;
  Array<TP, 3> in;
  TP fill;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    joinPixel(out, in, fill, x, y);
  }
};

template <bool S, class T>
struct bytes_to_planes_kernel {
  Array<T, 3> out;
  Array<uchar4, 2> in;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    bytesToPlanes<S, T>(out, in, x, y);
  }
};

template <bool S, class T>
struct planes_to_bytes_kernel {
  Array<uchar4, 2> out;
  Array<T, 3> in;
  unsigned char fill;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const unsigned char w = in.size.z == 4 ? toByteDevice<S>(float(at(in, x, y, 3))) : fill;
    at(out, x, y) = make_uchar4(toByteDevice<S>(float(at(in, x, y, 0))),
                                toByteDevice<S>(float(at(in, x, y, 1))),
                                toByteDevice<S>(float(at(in, x, y, 2))), w);
  }
};

// ---- host fallbacks ------------------------------------------------------------------------

template <class TP, class TV>
void convert_host(Array<TP, 3>& out, const Array<TV, 2>& in) {
  for (unsigned y = 0; y < out.size.y; ++y)
    for (unsigned x = 0; x < out.size.x; ++x) splitPixel(out, in, x, y);
}

template <class TV, class TP>
void convert_host(Array<TV, 2>& out, const Array<TP, 3>& in, TP fill) {
  for (unsigned y = 0; y < out.size.y; ++y)
    for (unsigned x = 0; x < out.size.x; ++x) joinPixel(out, in, fill, x, y);
}

template <bool S, class T>
void convert_host(Array<T, 3>& out, const Array<uchar4, 2>& in) {
  for (unsigned y = 0; y < out.size.y; ++y)
    for (unsigned x = 0; x < out.size.x; ++x) bytesToPlanes<S, T>(out, in, x, y);
}

template <bool S, class T>
void convert_host(Array<uchar4, 2>& out, const Array<T, 3>& in, unsigned char fill) {
  for (unsigned y = 0; y < out.size.y; ++y)
    for (unsigned x = 0; x < out.size.x; ++x) {
      const unsigned char w = in.size.z == 4 ? toByteHost<S>(float(at(in, x, y, 3))) : fill;
      at(out, x, y) = make_uchar4(toByteHost<S>(float(at(in, x, y, 0))),
                                  toByteHost<S>(float(at(in, x, y, 1))),
                                  toByteHost<S>(float(at(in, x, y, 2))), w);
    }
}

// ---- dispatch ------------------------------------------------------------------------------

template <class TP, class TV>
void split(const char* signature, int line, Array<TP, 3>& out, const Array<TV, 2>& in,
           cudaStream_t stream) {
  checkToPlanar(__FILE__, line, signature, out, in);
  if (out.device == -1) {
    convert_host(out, in);
    return;
  }
  rt::launch(split_kernel<TP, TV>{out, in}, pixelsOf(out.size.x, out.size.y), kLayoutBlock, stream,
             {out.ptr, in.ptr});
}

template <class TV, class TP>
void join(const char* signature, int line, Array<TV, 2>& out, const Array<TP, 3>& in, TP fill,
          cudaStream_t stream) {
  checkToInterleaved(__FILE__, line, signature, out, in);
  if (out.device == -1) {
    convert_host(out, in, fill);
    return;
  }
  rt::launch(join_kernel<TV, TP>{out, in, fill}, pixelsOf(out.size.x, out.size.y), kLayoutBlock,
             stream, {out.ptr, in.ptr});
}

template <class T> struct TypeText;
template <> struct TypeText<float> { static constexpr const char* name = "float"; };
template <> struct TypeText<double> { static constexpr const char* name = "double"; };

}  // namespace algorithms_conversion_namespace

namespace acn = algorithms_conversion_namespace;

void convert(Array<float, 3>& out, const Array<float4, 2>& in, cudaStream_t stream) {
  acn::split("void yv::convert(yv::Array<float, 3>&, const yv::Array<float4, 2>&, cudaStream_t)",
             __LINE__, out, in, stream);
}

void convert(Array<unsigned char, 3>& out, const Array<uchar4, 2>& in, cudaStream_t stream) {
  acn::split(
      "void yv::convert(yv::Array<unsigned char, 3>&, const yv::Array<uchar4, 2>&, cudaStream_t)",
      __LINE__, out, in, stream);
}

void convert(Array<float4, 2>& out, const Array<float, 3>& in, float fill, cudaStream_t stream) {
  acn::join(
      "void yv::convert(yv::Array<float4, 2>&, const yv::Array<float, 3>&, float, cudaStream_t)",
      __LINE__, out, in, fill, stream);
}

void convert(Array<uchar4, 2>& out, const Array<unsigned char, 3>& in, unsigned char fill,
             cudaStream_t stream) {
  acn::join(
      "void yv::convert(yv::Array<uchar4, 2>&, const yv::Array<unsigned char, 3>&, unsigned char, "
      "cudaStream_t)",
      __LINE__, out, in, fill, stream);
}

template <class T>
void convert(Array<T, 3>& out, const Array<uchar4, 2>& in, bool scale, cudaStream_t stream) {
  const std::string signature =
      std::string("void yv::convert(yv::Array<T, 3>&, const yv::Array<uchar4, 2>&, bool, "
                  "cudaStream_t) [with T = ") +
      acn::TypeText<T>::name + ", cudaStream_t = CUstream_st*]";
  acn::checkToPlanar(__FILE__, __LINE__, signature.c_str(), out, in);
  if (out.device == -1) {
    if (scale)
      acn::convert_host<true, T>(out, in);
    else
      acn::convert_host<false, T>(out, in);
    return;
  }
  const uint4 ext = acn::pixelsOf(out.size.x, out.size.y);
  if (scale)
    rt::launch(acn::bytes_to_planes_kernel<true, T>{out, in}, ext, acn::kLayoutBlock, stream,
               {out.ptr, in.ptr});
  else
    rt::launch(acn::bytes_to_planes_kernel<false, T>{out, in}, ext, acn::kLayoutBlock, stream,
               {out.ptr, in.ptr});
}

template <class T>
void convert(Array<uchar4, 2>& out, const Array<T, 3>& in, bool scale, unsigned char fill,
             cudaStream_t stream) {
  const std::string signature =
      std::string("void yv::convert(yv::Array<uchar4, 2>&, const yv::Array<T, 3>&, bool, unsigned "
                  "char, cudaStream_t) [with T = ") +
      acn::TypeText<T>::name + ", cudaStream_t = CUstream_st*]";
  acn::checkToInterleaved(__FILE__, __LINE__, signature.c_str(), out, in);
  if (out.device == -1) {
    if (scale)
      acn::convert_host<true, T>(out, in, fill);
    else
      acn::convert_host<false, T>(out, in, fill);
    return;
  }
  const uint4 ext = acn::pixelsOf(out.size.x, out.size.y);
  if (scale)
    rt::launch(acn::planes_to_bytes_kernel<true, T>{out, in, fill}, ext, acn::kLayoutBlock, stream,
               {out.ptr, in.ptr});
  else
    rt::launch(acn::planes_to_bytes_kernel<false, T>{out, in, fill}, ext, acn::kLayoutBlock,
               stream, {out.ptr, in.ptr});
}

template void convert<float>(Array<float, 3>&, const Array<uchar4, 2>&, bool, cudaStream_t);
template void convert<double>(Array<double, 3>&, const Array<uchar4, 2>&, bool, cudaStream_t);
template void convert<float>(Array<uchar4, 2>&, const Array<float, 3>&, bool, unsigned char,
                             cudaStream_t);
template void convert<double>(Array<uchar4, 2>&, const Array<double, 3>&, bool, unsigned char,
                              cudaStream_t);

}  // namespace yv
