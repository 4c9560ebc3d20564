// The CUDA-array form of yv::arrayCopy and the text of channel descriptions.
#include "yv/tools/copy.h"

namespace yv {
namespace internal {

std::string str_cudaChannelFormatDesc(cudaChannelFormatDesc desc) {
  std::stringstream ss;
  ss << "(f=";
  switch (desc.f) {
    case cudaChannelFormatKindSigned: ss << "cudaChannelFormatKindSigned"; break;
    case cudaChannelFormatKindUnsigned: ss << "cudaChannelFormatKindUnsigned"; break;
    case cudaChannelFormatKindFloat: ss << "cudaChannelFormatKindFloat"; break;
    case cudaChannelFormatKindNone: ss << "cudaChannelFormatKindNone"; break;
    default: break;
  }
  ss << ", " << "x=" << desc.x << ", " << "y=" << desc.y << ", " << "z=" << desc.z << ", "
     << "w=" << desc.w << ")";
  return ss.str();
}

}  // namespace internal

void arrayCopy(cudaArray* dst, const Array<float, 3>& src) {
  const Array<float, 4> s = internal::increaseArrayDimension<float, 3, 4>(src);
  if (!internal::copyCompatible(s))
    throw std::runtime_error("yv::arrayCopy: memory layout of src array is incompatible");
  if (!src.ptr) throw std::runtime_error("yv::arrayCopy: src is null");
  if (!dst) throw std::runtime_error("yv::arrayCopy: dst is null");
  const cudaChannelFormatDesc mine = cudaCreateChannelDesc<float>();
  cudaChannelFormatDesc theirs;
  cudaExtent ext;
  unsigned int flags = 0;
  if (rt::arrayGetInfo(&theirs, &ext, &flags, dst) != cudaSuccess) {
    rt::getLastError();  // reported here, not left for a later check
    throw std::runtime_error("yv::arrayCopy: cannot get array info for cudaArray dst");
  }
  if (ext.depth == 0) ext.depth = 1;
  if (mine.f != theirs.f || mine.x != theirs.x || mine.y != theirs.y || mine.z != theirs.z ||
      mine.w != theirs.w) {
    std::stringstream ss;
    ss << "arrayCopy: cudaChannelFormatDesc mismatch" << std::endl
       << "src channel format desc is " << internal::str_cudaChannelFormatDesc(mine)
       << "dst channel format desc is " << internal::str_cudaChannelFormatDesc(theirs);
    throw std::runtime_error(ss.str());
  }
  if (src.size.x != ext.width || src.size.y != ext.height || src.size.z != ext.depth) {
    std::stringstream ss;
    ss << "arrayCopy: extents mismatch" << std::endl
       << " src extents are " << internal::str_extents(src.size) << " dst extents are ("
       << ext.width << ", " << ext.height << ", " << ext.depth << ")" << std::endl;
    throw std::runtime_error(ss.str());
  }
  cudaMemcpy3DParms p;
  std::memset(&p, 0, sizeof(p));
  p.srcPtr = internal::pitchedPtrOf(s);
  p.dstArray = dst;
  p.extent = make_cudaExtent(ext.width, ext.height, ext.depth);
  p.kind = src.device == -1 ? cudaMemcpyHostToDevice : cudaMemcpyDeviceToDevice;
  rt::memcpy3D(&p);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

}  // namespace yv
