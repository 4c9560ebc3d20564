// Texture and trilinear upsampling (see upsample.h).
#include "yv/algorithms/transform/upsample.h"

#include <sstream>
#include <stdexcept>

#include "yv/algorithms/transform/accumulate.h"
#include "yv/runtime/launch.cuh"
#include "yv/runtime/texture.h"
#include "yv/runtime/texture3d.h"
#include "yv/runtime/texture_offset.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"
#include "yv/tools/range.h"

namespace yv {
namespace transform_kernel_namespace {

// One output pixel of the 2-D form; output pixel centres map onto input positions.
template <class T>
struct upsample_kernel {
  Array<T, 2> out;
  Array<T, 2> in;
  rt::Texture2D<T> tex;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const float rx = float(in.size.x) / float(out.size.x);
    const float ry = float(in.size.y) / float(out.size.y);
    const float u = float((x + 0.5) * double(rx));
    const float v = float((y + 0.5) * double(ry));
    at(out, x, y) = tex.template fetch<T>(u, v);
  }
};

// One output element of the 4-D float form, trilinear through the 3-D texture.
struct upsample_tex_kernel {
  Array<float, 3> out;
  rt::Texture3D<float> tex;
  float3 scale;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned) const {
    at(out, x, y, z) = tex.template fetch<float>((float(x) + 0.5f) * scale.x,
                                                 (float(y) + 0.5f) * scale.y,
                                                 (float(z) + 0.5f) * scale.z);
  }
};

namespace {
YV_HD_INLINE int clampIndex(int i, unsigned n) { return i < 0 ? 0 : (i >= int(n) ? int(n) - 1 : i); }
}  // namespace

// One output element of the 4-D float4 and double forms: trilinear from `in`, output sample 0
// on input sample 0.
template <class T>
struct upsample_arr_kernel {
  Array<T, 3> out;
  Array<T, 3> in;
  float3 scale;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned) const {
    const float px = float(x) * scale.x, py = float(y) * scale.y, pz = float(z) * scale.z;
    const int i = int(px), j = int(py), k = int(pz);
    const float fx = px - float(i), fy = py - float(j), fz = pz - float(k);
    const unsigned i0 = clampIndex(i, in.size.x), i1 = clampIndex(i + 1, in.size.x);
    const unsigned j0 = clampIndex(j, in.size.y), j1 = clampIndex(j + 1, in.size.y);
    const unsigned k0 = clampIndex(k, in.size.z), k1 = clampIndex(k + 1, in.size.z);
    T sum = zeroValue<T>();
    addWeighted(sum, (1.f - fx) * (1.f - fy) * (1.f - fz), at(in, i0, j0, k0));
    addWeighted(sum, (1.f - fx) * (1.f - fy) * fz, at(in, i0, j0, k1));
    addWeighted(sum, (1.f - fx) * fy * (1.f - fz), at(in, i0, j1, k0));
    addWeighted(sum, (1.f - fx) * fy * fz, at(in, i0, j1, k1));
    addWeighted(sum, fx * (1.f - fy) * (1.f - fz), at(in, i1, j0, k0));
    addWeighted(sum, fx * (1.f - fy) * fz, at(in, i1, j0, k1));
    addWeighted(sum, fx * fy * (1.f - fz), at(in, i1, j1, k0));
    addWeighted(sum, fx * fy * fz, at(in, i1, j1, k1));
    at(out, x, y, z) = sum;
  }
};

namespace {
float3 scalesOf(uint4 old, uint4 ne) {
  return make_float3(float(old.x) / float(ne.x), float(old.y) / float(ne.y),
                     float(old.z) / float(ne.z));
}
}  // namespace

template <class T> inline dim3 arrBlock();
template <> inline dim3 arrBlock<float4>() { return dim3(64, 4, 1); }
template <> inline dim3 arrBlock<double>() { return dim3(32, 2, 1); }

// The 4-D form's work for new extents (x', y', z', W). The caller's array is released and
// replaced only after every slice has been queued; temporaries go on every path.
template <class T>
struct upsample_struct {
  static void run(Array<T, 4>& array, uint4 newExtents) {
    Array<T, 4> result = mallocDeviceArray<T>(newExtents, PITCHED);
    try {
      const float3 scale = scalesOf(array.size, newExtents);
      for (unsigned w = 0; w < newExtents.w; ++w) {
        const Array<T, 3> dst = subvolume(result, int(w));
        const Array<T, 3> src = subvolume(array, int(w));
        rt::launch(upsample_arr_kernel<T>{dst, src, scale},
                   make_uint4(dst.size.x, dst.size.y, dst.size.z, 1), arrBlock<T>(), 0,
                   {dst.ptr, src.ptr});
        _CHECK_CUDA_ERROR(__FILE__, __LINE__);
      }
    } catch (...) {
      rt::free(result.ptr);
      throw;
    }
    releaseArray(array);
    array = result;
  }
};

// float: every slice of the 4th axis is copied into one CUDA array and sampled through a 3-D
// texture with linear filtering and clamping.
template <>
struct upsample_struct<float> {
  static void run(Array<float, 4>& array, uint4 newExtents) {
    const uint4 old = array.size;
    Array<float, 4> result = mallocDeviceArray<float>(newExtents, PITCHED);
    cudaArray_t volume = nullptr;
    rt::Texture3D<float> tex;
    auto release = [&]() {
      // The kernels must be done with the texture before it and its array go.
      rt::streamSynchronize(0);
      rt::destroyTexture(&tex);
      rt::freeArray(volume);
    };
    try {
      const float3 scale = scalesOf(old, newExtents);
      const cudaChannelFormatDesc channel{32, 0, 0, 0, cudaChannelFormatKindFloat};
      rt::malloc3DArray(&volume, &channel, make_cudaExtent(old.x, old.y, old.z), 0);
      _CHECK_CUDA_ERROR(__FILE__, __LINE__);
      rt::TextureDesc desc;
      desc.filter = rt::TexFilter::Linear;
      desc.address = rt::TexAddress::Clamp;
      desc.read = rt::TexRead::Element;
      desc.normalizedCoords = false;
      rt::createTexture3D(&tex, volume, desc);
      _CHECK_CUDA_ERROR(__FILE__, __LINE__);
      for (unsigned w = 0; w < old.w; ++w) {
        // Synchronous on stream 0, so the previous slice's kernel has read the array.
        arrayCopy(volume, subvolume(array, int(w)));
        const Array<float, 3> dst = subvolume(result, int(w));
        rt::launch(upsample_tex_kernel{dst, tex, scale},
                   make_uint4(dst.size.x, dst.size.y, dst.size.z, 1), dim3(64, 4, 1), 0,
                   {dst.ptr});
        _CHECK_CUDA_ERROR(__FILE__, __LINE__);
      }
    } catch (...) {
      release();
      rt::free(result.ptr);
      throw;
    }
    release();
    releaseArray(array);
    array = result;
  }
};

namespace {

// Line of each 2-D form, named in its messages.
template <class T> struct Form2D;
template <> struct Form2D<float> { static constexpr int line = __LINE__; };
template <> struct Form2D<float2> { static constexpr int line = __LINE__; };
template <> struct Form2D<float4> { static constexpr int line = __LINE__; };

std::runtime_error formError(int line, const char* what) {
  std::stringstream ss;
  ss << __FILE__ << ":" << line << ":upsample():" << what << std::endl;
  return std::runtime_error(ss.str());
}

// Argument tests of the 2-D forms: the sampling mode, and device memory for the kernel.
template <class T>
rt::TextureDesc checkForm2D(const Array<T, 2>* out, const Array<T, 2>& in,
                            YvInterpolationType type) {
  rt::TextureDesc desc;
  desc.address = rt::TexAddress::Clamp;
  desc.read = rt::TexRead::Element;
  desc.normalizedCoords = false;
  if (type == YvInterpolationPoint)
    desc.filter = rt::TexFilter::Point;
  else if (type == YvInterpolationLinear)
    desc.filter = rt::TexFilter::Linear;
  else
    throw formError(Form2D<T>::line, "Interpolation type not defined");
  if (in.device == -1 || (out && out->device == -1))
    throw formError(Form2D<T>::line, "the arrays must be on the device");
  return desc;
}

template <class T>
void form2D(Array<T, 2>& out, Array<T, 2>& in, YvInterpolationType type) {
  const rt::TextureDesc desc = checkForm2D(&out, in, type);
  // A texture starts on the texture alignment with an aligned row pitch; an input that does not
  // (a packed array, a view starting inside a row) is sampled from an aligned copy.
  Array<T, 2> src = in;
  Array<T, 4> staged;
  staged.ptr = nullptr;
  if (in.ptr && in.size.x && in.size.y && !rt::textureAligned(in.ptr, in.pitch.y)) {
    staged = mallocDeviceArray<T>(make_uint4(in.size.x, in.size.y, 1, 1), PITCHED);
    src = internal::decreaseArrayDimension<T, 4, 2>(staged);
    try {
      arrayCopy(src, in);
    } catch (...) {
      rt::free(staged.ptr);
      throw;
    }
  }
  rt::Texture2D<T> tex;
  // A texture that cannot be made leaves its error pending for the check below.
  if (rt::createTexture2D(&tex, src.ptr, src.pitch.y, src.size.x, src.size.y, desc) ==
      cudaSuccess) {
    rt::launch(upsample_kernel<T>{out, src, tex}, rt::extent2(out.size.x, out.size.y),
               dim3(32, 32, 1), 0, {out.ptr});
    rt::streamSynchronize(0);  // the kernel must be done with the texture and the copy
    rt::destroyTexture(&tex);
  }
  rt::free(staged.ptr);
  _CHECK_CUDA_ERROR(__FILE__, Form2D<T>::line);
}

}  // namespace

}  // namespace transform_kernel_namespace

namespace tkn = transform_kernel_namespace;

void upsample(Array<float, 2>& out, Array<float, 2>& in, YvInterpolationType type) {
  tkn::form2D(out, in, type);
}
void upsample(Array<float2, 2>& out, Array<float2, 2>& in, YvInterpolationType type) {
  tkn::form2D(out, in, type);
}
void upsample(Array<float4, 2>& out, Array<float4, 2>& in, YvInterpolationType type) {
  tkn::form2D(out, in, type);
}

template <class T>
void upsample(Array<T, 2>& array, int width, int height, YvInterpolationType type) {
  // Everything that can be refused is refused before the new allocation exists.
  tkn::checkForm2D<T>(nullptr, array, type);
  const Array<T, 4> fresh =
      mallocDeviceArray<T>(make_uint4(unsigned(width), unsigned(height), 1, 1), PITCHED);
  Array<T, 2> out = internal::decreaseArrayDimension<T, 4, 2>(fresh);
  try {
    tkn::form2D(out, array, type);
  } catch (...) {
    rt::free(out.ptr);
    throw;
  }
  releaseArray(array);
  array = out;
}

template <class T>
void upsample(Array<T, 4>& array, uint3 newExtents) {
  const uint4 old = array.size;
  if (array.device == -1) throw std::runtime_error("upsample: the array must be on the device");
  if (newExtents.x == old.x && newExtents.y == old.y && newExtents.z == old.z) return;
  if (newExtents.x < old.x || newExtents.y < old.y || newExtents.z < old.z) {
    std::stringstream ss;
    ss << "upsample: illegal new extents. extents must be >=" << std::endl
       << " new extents are (" << newExtents.x << ", " << newExtents.y << ", " << newExtents.z
       << ") " << std::endl
       << " old extents are (" << old.x << ", " << old.y << ", " << old.z << ", " << old.w
       << ") " << std::endl;
    throw std::runtime_error(ss.str());
  }
  tkn::upsample_struct<T>::run(array,
                               make_uint4(newExtents.x, newExtents.y, newExtents.z, old.w));
}

template void upsample<float>(Array<float, 2>&, int, int, YvInterpolationType);
template void upsample<float2>(Array<float2, 2>&, int, int, YvInterpolationType);
template void upsample<float4>(Array<float4, 2>&, int, int, YvInterpolationType);
template void upsample<float>(Array<float, 4>&, uint3);
template void upsample<float4>(Array<float4, 4>&, uint3);
template void upsample<double>(Array<double, 4>&, uint3);

}  // namespace yv
