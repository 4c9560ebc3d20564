// Plane-wise bilinear upsampling (see upsample2D.h).
#include "yv/algorithms/transform/upsample2D.h"

#include <sstream>
#include <stdexcept>
#include <vector>

#include "yv/runtime/launch.cuh"
#include "yv/runtime/texture.h"
#include "yv/runtime/texture_offset.h"
#include "yv/tools/copy.h"
#include "yv/tools/alloc.h"
#include "yv/tools/cuda_check.h"
#include "yv/tools/range.h"

namespace yv {
namespace transform_kernel_namespace {

// One output pixel of a float plane from the plane's texture; output pixel centres map onto
// input positions.
struct upsample2D_tex_kernel {
  Array<float, 2> out;
  rt::Texture2D<float> tex;
  float2 scale;
  float xOffset;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const float u = fmaf(float(x) + 0.5f, scale.x, xOffset);
    const float v = (float(y) + 0.5f) * scale.y;
    at(out, x, y) = tex.template fetch<float>(u, v);
  }
};

namespace {
YV_HD_INLINE unsigned clampIndex(int i, unsigned n) {
  return unsigned(i < 0 ? 0 : (i >= int(n) ? int(n) - 1 : i));
}
}  // namespace

// One output element of a double array: bilinear in its plane, output sample 0 on input
// sample 0.
template <class T>
struct upsample2D_arr_kernel {
  Array<T, 3> out;
  Array<T, 3> in;
  float2 scale;
  YV_HD void operator()(unsigned x, unsigned y, unsigned z, unsigned) const {
    const float px = float(x) * scale.x, py = float(y) * scale.y;
    const int i = int(px), j = int(py);
    const float fx = px - float(i), fy = py - float(j);
    const unsigned i0 = clampIndex(i, in.size.x), i1 = clampIndex(i + 1, in.size.x);
    const unsigned j0 = clampIndex(j, in.size.y), j1 = clampIndex(j + 1, in.size.y);
    const unsigned k = clampIndex(int(z), in.size.z);
    T sum = double((1.f - fx) * (1.f - fy)) * at(in, i0, j0, k);
    sum += double((1.f - fx) * fy) * at(in, i0, j1, k);
    sum += double(fx * (1.f - fy)) * at(in, i1, j0, k);
    sum += double(fx * fy) * at(in, i1, j1, k);
    at(out, x, y, z) = sum;
  }
};

template <class T> struct upsample2D_struct;

// float planes are sampled in place through one texture each (no copy into a CUDA array). The
// caller's array is released and replaced only after every plane has been queued; the result
// and the textures go on every path.
template <>
struct upsample2D_struct<float> {
  static void run(Array<float, 4>& array, uint4 newExtents) {
    const uint4 old = array.size;
    rt::TextureDesc desc;
    desc.filter = rt::TexFilter::Linear;
    desc.address = rt::TexAddress::Clamp;
    desc.read = rt::TexRead::Element;
    desc.normalizedCoords = false;
    Array<float, 4> result = mallocDeviceArray<float>(newExtents, PITCHED);
    std::vector<rt::Texture2D<float>> textures;
    std::vector<Array<float, 4>> staged;  // aligned copies of planes a texture cannot start at
    auto release = [&]() {
      rt::streamSynchronize(0);  // the kernels must be done with the textures
      for (auto& t : textures) rt::destroyTexture(&t);
      for (auto& a : staged) rt::free(a.ptr);
    };
    try {
      const float2 scale = make_float2(float(old.x) / float(newExtents.x),
                                       float(old.y) / float(newExtents.y));
      textures.reserve(std::size_t(old.z) * old.w);
      for (unsigned w = 0; w < old.w; ++w)
        for (unsigned z = 0; z < old.z; ++z) {
          const float* plane = &at(array, 0, 0, z, w);
          std::size_t pitch = array.pitch.y;
          // A texture starts on the device's texture alignment with an aligned row pitch; a
          // plane of a packed array need not, so it is sampled from an aligned copy.
          if (rt::textureOffset(plane) != 0 || pitch % rt::textureAlignment() != 0) {
            staged.push_back(Array<float, 4>());
            staged.back() = mallocDeviceArray<float>(make_uint4(old.x, old.y, 1, 1), PITCHED);
            const Array<float, 2> src = internal::decreaseArrayDimension<float, 4, 2>(
                block(array, internal::wholeAxis(), internal::wholeAxis(), Range(z, z), Range(w, w)));
            Array<float, 2> dst = internal::decreaseArrayDimension<float, 4, 2>(staged.back());
            arrayCopy(dst, src);
            plane = staged.back().ptr;
            pitch = staged.back().pitch.y;
          }
          rt::Texture2D<float> tex;
          rt::createTexture2D(&tex, plane, pitch, old.x, old.y, desc);
          textures.push_back(tex);
          _CHECK_CUDA_ERROR(__FILE__, __LINE__);
          const Array<float, 2> out = internal::decreaseArrayDimension<float, 4, 2>(
              block(result, internal::wholeAxis(), internal::wholeAxis(), Range(z, z),
                    Range(w, w)));
          // Texture objects start at the plane itself, so no texel offset is left to add.
          const float xOffset = 0.f;
          rt::launch(upsample2D_tex_kernel{out, tex, scale, xOffset},
                     rt::extent2(out.size.x, out.size.y), dim3(64, 4, 1), 0, {out.ptr});
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

template <>
struct upsample2D_struct<double> {
  static void run(Array<double, 4>& array, uint4 newExtents) {
    Array<double, 4> result = mallocDeviceArray<double>(newExtents, PITCHED);
    try {
      const float2 scale = make_float2(float(array.size.x) / float(newExtents.x),
                                       float(array.size.y) / float(newExtents.y));
      for (unsigned w = 0; w < newExtents.w; ++w) {
        const Array<double, 3> dst = subvolume(result, int(w));
        const Array<double, 3> src = subvolume(array, int(w));
        rt::launch(upsample2D_arr_kernel<double>{dst, src, scale},
                   make_uint4(dst.size.x, dst.size.y, dst.size.z, 1), dim3(32, 2, 1), 0,
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

}  // namespace transform_kernel_namespace

template <class T>
void upsample2D(Array<T, 4>& array, uint2 newExtents) {
  const uint4 old = array.size;
  if (array.device == -1) throw std::runtime_error("upsample2D: the array must be on the device");
  if (newExtents.x == old.x && newExtents.y == old.y) return;
  if (newExtents.x >= old.x && newExtents.y >= old.y) {
    transform_kernel_namespace::upsample2D_struct<T>::run(
        array, make_uint4(newExtents.x, newExtents.y, old.z, old.w));
    return;
  }
  std::stringstream ss;
  ss << "upsample2D: illegal new extents. extents must be >=" << std::endl
     << " new extents are (" << newExtents.x << ", " << newExtents.y << ") " << std::endl
     << " old extents are (" << old.x << ", " << old.y << ", " << old.z << ", " << old.w << ") "
     << std::endl;
  throw std::runtime_error(ss.str());
}

template void upsample2D<float>(Array<float, 4>&, uint2);
template void upsample2D<double>(Array<double, 4>&, uint2);

}  // namespace yv
