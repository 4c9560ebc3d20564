// Area-average and tent-filter downsampling (see downsample.h).
#include "yv/algorithms/transform/downsample.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "yv/algorithms/transform/accumulate.h"
#include "yv/runtime/launch.cuh"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"
#include "yv/tools/range.h"

namespace yv {
namespace transform_kernel_namespace {

// The input footprint [x0f, x1f) x [y0f, y1f) of one output pixel, in input pixel units.
struct Footprint {
  float x0f, y0f, rx, ry;
  int x0, x1, y0, y1;
};

YV_HD_INLINE Footprint footprintOf(unsigned x, unsigned y, float fx, float fy) {
  Footprint f;
  f.x0f = float(x) * fx;
  f.y0f = float(y) * fy;
  const float x1f = float(x + 1) * fx, y1f = float(y + 1) * fy;
  f.x0 = int(floorf(f.x0f));
  f.x1 = int(floorf(x1f));
  f.y0 = int(floorf(f.y0f));
  f.y1 = int(floorf(y1f));
  f.rx = x1f - float(f.x1);
  f.ry = y1f - float(f.y1);
  return f;
}

// The part of input pixel (i, j) that the footprint covers.
YV_HD_INLINE float coveredArea(const Footprint& f, int i, int j) {
  float w = 1.f;
  if (f.y0f - float(j) > 0.f) w *= 1.f - (f.y0f - float(j));
  if (f.x0f - float(i) > 0.f) w *= 1.f - (f.x0f - float(i));
  if (j == f.y1) w *= f.ry;
  if (i == f.x1) w *= f.rx;
  return w;
}

// One output pixel: the area-weighted mean over its footprint, divided by the full footprint
// area.
template <class T>
struct downsample_kernel {
  Array<T, 2> out;
  Array<T, 2> in;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const float fx = float(in.size.x) / float(out.size.x);
    const float fy = float(in.size.y) / float(out.size.y);
    const Footprint f = footprintOf(x, y, fx, fy);
    T sum = zeroValue<T>();
    for (int j = f.y0; j <= f.y1 && j < int(in.size.y); ++j)
      for (int i = f.x0; i <= f.x1 && i < int(in.size.x); ++i)
        addWeighted(sum, coveredArea(f, i, j), at(in, unsigned(i), unsigned(j)));
    at(out, x, y) = divideBy(sum, fx * fy);
  }
};

// As above with each input pixel's area also weighted by the weight image; pixels of weight
// <= 0 (or NaN) do not count, and a footprint without any counting pixel gives 0.
template <class T>
struct downsample_weighted_kernel {
  Array<T, 2> out;
  Array<T, 2> in;
  Array<float, 2> weights;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const float fx = float(in.size.x) / float(out.size.x);
    const float fy = float(in.size.y) / float(out.size.y);
    const Footprint f = footprintOf(x, y, fx, fy);
    T sum = zeroValue<T>();
    float weightSum = 0.f;
    for (int j = f.y0; j <= f.y1 && j < int(in.size.y); ++j)
      for (int i = f.x0; i <= f.x1 && i < int(in.size.x); ++i) {
        const float q = at(weights, unsigned(i), unsigned(j));
        if (!(q > 0.f)) continue;
        const float w = coveredArea(f, i, j) * q;
        weightSum += w;
        addWeighted(sum, w, at(in, unsigned(i), unsigned(j)));
      }
    at(out, x, y) = weightSum > 0.f ? divideBy(sum, weightSum) : zeroValue<T>();
  }
};

// The input range and weights of output sample k along one axis: the sample sits on input
// position k * scale and a tent of half-width `scale` weighs its neighbours.
struct Tent {
  float centre;
  int lo, hi;
};

YV_HD_INLINE Tent tentOf(unsigned k, float scale, unsigned n) {
  Tent t;
  t.centre = float(k) * scale;
  const int lo = int(ceilf(t.centre - scale)), hi = int(floorf(t.centre + scale));
  t.lo = lo < 0 ? 0 : lo;
  t.hi = hi > int(n) - 1 ? int(n) - 1 : hi;
  return t;
}

template <int axis>
YV_HD_INLINE unsigned along(unsigned x, unsigned y, unsigned z) {
  return axis == 0 ? x : (axis == 1 ? y : z);
}

template <class T, int axis>
YV_HD_INLINE const T& inputAt(const Array<T, 3>& in, unsigned x, unsigned y, unsigned z, int i) {
  return at(in, axis == 0 ? unsigned(i) : x, axis == 1 ? unsigned(i) : y,
            axis == 2 ? unsigned(i) : z);
}

template <class T, int axis>
struct downsample_direction {
  Array<T, 3> out;
  Array<T, 3> in;
  float scale;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned) const {
    const Tent t = tentOf(along<axis>(x, y, z), scale, internal::comp(in.size, axis));
    T sum = zeroValue<T>();
    float weightSum = 0.f;
    for (int i = t.lo; i <= t.hi; ++i) {
      const float w = scale - fabsf(float(i) - t.centre);
      weightSum += w;
      addWeighted(sum, w, inputAt<T, axis>(in, x, y, z, i));
    }
    at(out, x, y, z) = divideBy(sum, weightSum);
  }
};

// uchar4 channels are filtered as numbers 0 to 255 and rounded back to the nearest integer,
// halfway cases to even.
template <int axis>
struct downsample_direction_uchar4 {
  Array<uchar4, 3> out;
  Array<uchar4, 3> in;
  float scale;
  YV_HD static unsigned char toByte(float v) { return (unsigned char)rintf(fminf(v, 255.f)); }
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned) const {
    const Tent t = tentOf(along<axis>(x, y, z), scale, internal::comp(in.size, axis));
    float4 sum = make_float4(0.f, 0.f, 0.f, 0.f);
    float weightSum = 0.f;
    for (int i = t.lo; i <= t.hi; ++i) {
      const float w = scale - fabsf(float(i) - t.centre);
      const uchar4 v = inputAt<uchar4, axis>(in, x, y, z, i);
      weightSum += w;
      addWeighted(sum, w, make_float4(v.x, v.y, v.z, v.w));
    }
    const float4 q = divideBy(sum, weightSum);
    at(out, x, y, z) = make_uchar4(toByte(q.x), toByte(q.y), toByte(q.z), toByte(q.w));
  }
};

// Kernel and block shape of one pass per element type.
template <class T, int axis> struct DirectionKernel {
  using type = downsample_direction<T, axis>;
};
template <int axis> struct DirectionKernel<uchar4, axis> {
  using type = downsample_direction_uchar4<axis>;
};
template <class T> inline dim3 passBlock() { return dim3(64, 4, 1); }
template <> inline dim3 passBlock<float2>() { return dim3(32, 2, 1); }
template <> inline dim3 passBlock<double>() { return dim3(32, 2, 1); }

template <class T>
struct downsample_struct {
  // One separable pass along `axis` from `cur` into a new pitched array; the new array is
  // released again when the pass fails.
  template <int axis>
  static Array<T, 4> pass(const Array<T, 4>& cur, unsigned newExtent, unsigned oldExtent,
                          cudaStream_t stream, int line) {
    uint4 e = cur.size;
    internal::setComp(e, axis, newExtent);
    Array<T, 4> tmp = mallocDeviceArray<T>(e, PITCHED);
    try {
      const float scale = 1.f / (float(newExtent) / float(oldExtent));
      for (unsigned w = 0; w < e.w; ++w) {
        const Array<T, 3> dst = subvolume(tmp, int(w));
        const Array<T, 3> src = subvolume(cur, int(w));
        rt::launch(typename DirectionKernel<T, axis>::type{dst, src, scale},
                   make_uint4(dst.size.x, dst.size.y, dst.size.z, 1), passBlock<T>(), stream,
                   {dst.ptr, src.ptr});
        _CHECK_CUDA_ERROR(__FILE__, line);
      }
    } catch (...) {
      rt::free(tmp.ptr);
      throw;
    }
    return tmp;
  }

  // The caller's memory stays untouched until every pass has been queued, so a failing pass
  // leaves the caller's array as it was; each temporary goes as soon as the next pass has read
  // it (rt::free waits for the queued work).
  static void run(Array<T, 4>& array, uint3 newExtents, cudaStream_t stream) {
    const uint4 old = array.size;
    Array<T, 4> cur = array;
    bool temporary = false;
    auto advance = [&](const Array<T, 4>& next) {
      if (temporary) rt::free(cur.ptr);
      cur = next;
      temporary = true;
    };
    try {
      if (newExtents.x < old.x) advance(pass<0>(cur, newExtents.x, old.x, stream, __LINE__));
      if (newExtents.y < old.y) advance(pass<1>(cur, newExtents.y, old.y, stream, __LINE__));
      if (newExtents.z < old.z) advance(pass<2>(cur, newExtents.z, old.z, stream, __LINE__));
    } catch (...) {
      if (temporary) rt::free(cur.ptr);
      throw;
    }
    if (!temporary) return;
    releaseArray(array);
    array = cur;
  }
};

}  // namespace transform_kernel_namespace

namespace {

std::runtime_error notOnDevice() {
  return std::runtime_error("downsample: the array must be on the device");
}

std::runtime_error illegalExtents2D(const char* rule, uint2 out, uint2 in) {
  std::stringstream ss;
  ss << "downsample: illegal new extents. extents must be " << rule << std::endl
     << " new extents are (" << out.x << ", " << out.y << ")" << std::endl
     << " old extents are (" << in.x << ", " << in.y << ") " << std::endl;
  return std::runtime_error(ss.str());
}

std::runtime_error illegalExtents4D(const char* rule, uint3 n, uint4 o) {
  std::stringstream ss;
  ss << "downsample: illegal new extents. extents must be " << rule << std::endl
     << " new extents are (" << n.x << ", " << n.y << ", " << n.z << ") " << std::endl
     << " old extents are (" << o.x << ", " << o.y << ", " << o.z << ", " << o.w << ") "
     << std::endl;
  return std::runtime_error(ss.str());
}

// The weight image is read at every input coordinate of a footprint.
void checkWeights(const Array<float, 2>& weights, uint2 in, int device) {
  if (weights.device == -1)
    throw std::runtime_error("downsample: the weight image must be on the device");
  if (weights.device != device)
    throw std::runtime_error("downsample: the weight image must be on the device of the input");
  if (weights.size.x < in.x || weights.size.y < in.y) {
    std::stringstream ss;
    ss << "downsample: illegal weight image extents. extents must be >= the input's" << std::endl
       << " weight image extents are (" << weights.size.x << ", " << weights.size.y << ")"
       << std::endl
       << " input extents are (" << in.x << ", " << in.y << ") " << std::endl;
    throw std::runtime_error(ss.str());
  }
}

}  // namespace

namespace tkn = transform_kernel_namespace;

template <class T>
void downsample(Array<T, 2>& out, Array<T, 2>& in, const Array<float, 2>& weights,
                cudaStream_t stream) {
  if (in.device == -1 || out.device == -1) throw notOnDevice();
  if (out.size.x == in.size.x && out.size.y == in.size.y) {
    arrayCopy<T, 2>(out, in);
    return;
  }
  if (in.size.x < out.size.x || in.size.y < out.size.y)
    throw illegalExtents2D("<=", out.size, in.size);
  if (out.size.x == 0 || out.size.y == 0) throw illegalExtents2D(">= 1", out.size, in.size);
  const dim3 block(32, 32, 1);
  const uint4 extent = rt::extent2(out.size.x, out.size.y);
  if (weights.ptr) {
    checkWeights(weights, in.size, in.device);
    rt::launch(tkn::downsample_weighted_kernel<T>{out, in, weights}, extent, block, stream,
               {out.ptr, in.ptr, weights.ptr});
  } else {
    rt::launch(tkn::downsample_kernel<T>{out, in}, extent, block, stream, {out.ptr, in.ptr});
  }
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

template <class T>
void downsample(Array<T, 4>& array, uint3 newExtents, cudaStream_t stream) {
  const uint4 old = array.size;
  if (array.device == -1) throw notOnDevice();
  if (newExtents.x == old.x && newExtents.y == old.y && newExtents.z == old.z) return;
  if (newExtents.x > old.x || newExtents.y > old.y || newExtents.z > old.z)
    throw illegalExtents4D("<=", newExtents, old);
  if (newExtents.x == 0 || newExtents.y == 0 || newExtents.z == 0)
    throw illegalExtents4D(">= 1", newExtents, old);
  tkn::downsample_struct<T>::run(array, newExtents, stream);
}

#define YV_DOWNSAMPLE_2D(T)                                                                \
  template void downsample<T>(Array<T, 2>&, Array<T, 2>&, const Array<float, 2>&, cudaStream_t);
#define YV_DOWNSAMPLE_4D(T) template void downsample<T>(Array<T, 4>&, uint3, cudaStream_t);

YV_DOWNSAMPLE_2D(float)
YV_DOWNSAMPLE_2D(double)
YV_DOWNSAMPLE_2D(float2)
YV_DOWNSAMPLE_2D(float4)

YV_DOWNSAMPLE_4D(float)
YV_DOWNSAMPLE_4D(float2)
YV_DOWNSAMPLE_4D(float3)
YV_DOWNSAMPLE_4D(float4)
YV_DOWNSAMPLE_4D(double)
YV_DOWNSAMPLE_4D(uchar4)

}  // namespace yv
