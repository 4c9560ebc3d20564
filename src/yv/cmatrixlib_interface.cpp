#include "yv/cmatrixlib_interface.h"

#include <cstdlib>
#include <memory>

#include "cmatrix/CTensor.h"
#include "yv/algorithms/conversion/convert.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace {

// Frees a host array when it goes out of scope, also on the way out of an exception.
struct HostArrayGuard {
  void* p;
  ~HostArrayGuard() { std::free(p); }
};

}  // namespace

CMatrix<uchar4> loadImage(const std::string& fileName) {
  yv::Array<uchar4, 2> colour;
  HostArrayGuard guard{nullptr};
  {
    CTensor<float> t;
    t.readFromImage(fileName.c_str());
    const yv::Array<float, 3> planes =
        yv::arrayFromHostMemory(t.data, unsigned(t.xSize), unsigned(t.ySize), unsigned(t.zSize));
    const yv::Array<uchar4, 4> c4 =
        yv::mallocHostArray<uchar4>(make_uint4(t.xSize, t.ySize, 1, 1), yv::PACKED);
    guard.p = c4.ptr;
    colour = yv::internal::decreaseArrayDimension<uchar4, 4, 2>(c4);
    yv::convert<float>(colour, planes, false, static_cast<unsigned char>(255), 0);
  }
  CMatrix<uchar4> result(int(colour.size.x), int(colour.size.y));
  yv::Array<uchar4, 2> dst = yv::arrayFromHostMemory(result.data, colour.size.x, colour.size.y);
  yv::arrayCopy(dst, colour);
  return result;
}

void saveImageToPNG(const yv::Array<uchar4, 2>& a, const std::string& fileName) {
  yv::Array<uchar4, 2> host = a;
  HostArrayGuard guard{nullptr};
  if (a.device != -1) {
    const yv::Array<uchar4, 4> h4 =
        yv::mallocHostArray<uchar4>(make_uint4(a.size.x, a.size.y, 1, 1), yv::PACKED);
    guard.p = h4.ptr;
    host = yv::internal::decreaseArrayDimension<uchar4, 4, 2>(h4);
    yv::arrayCopy(host, a);
  }
  CTensor<float> t(int(host.size.x), int(host.size.y), 3);
  const std::size_t plane = std::size_t(host.size.x) * host.size.y;
  for (unsigned y = 0; y < host.size.y; ++y)
    for (unsigned x = 0; x < host.size.x; ++x) {
      const uchar4 p = yv::at(host, x, y);
      const std::size_t i = std::size_t(y) * host.size.x + x;
      t.data[i] = p.x;
      t.data[plane + i] = p.y;
      t.data[2 * plane + i] = p.z;
    }
  t.writeToPNG(fileName.c_str());
}

namespace yv {
namespace internal {

void writeByteImage(const Array<unsigned char, 3>& a, const std::string& fileName, bool negate) {
  CTensor<unsigned char> t(int(a.size.x), int(a.size.y), 3);
  Array<unsigned char, 3> dst = arrayFromHostMemory(t.data, a.size);
  arrayCopy(dst, a);
  if (negate) {
    const std::size_t n = std::size_t(a.size.x) * a.size.y * 3;
    for (std::size_t i = 0; i < n; ++i) t.data[i] = static_cast<unsigned char>(256 - t.data[i]);
  }
  t.writeToImage(fileName.c_str());
}

}  // namespace internal
}  // namespace yv
