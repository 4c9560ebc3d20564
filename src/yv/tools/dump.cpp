#include "yv/tools/dump.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace yv {

template <class T, int N>
void writeArrayToFile(const Array<T, N>& a, const std::string& fileName) {
  Array<T, 4> v = internal::increaseArrayDimension<T, N, 4>(a);
  const std::uint64_t count = std::uint64_t(v.size.x) * v.size.y * v.size.z * v.size.w;
  // Device arrays, and host views with gaps between rows or slices, go through a packed copy.
  const bool packed = v.pitch.y == v.size.x * sizeof(T) && v.pitch.z == v.pitch.y * v.size.y &&
                      v.pitch.w == v.pitch.z * v.size.z;
  Array<T, 4> host = v;
  bool copied = false;
  if (a.device != -1 || !packed) {
    host = mallocHostArray<T>(v.size, PACKED);
    copied = true;
    try {
      if (a.device == -1) {
        for (unsigned w = 0; w < v.size.w; ++w)
          for (unsigned z = 0; z < v.size.z; ++z)
            for (unsigned y = 0; y < v.size.y; ++y)
              for (unsigned x = 0; x < v.size.x; ++x) at(host, x, y, z, w) = at(v, x, y, z, w);
      } else {
        arrayCopy(host, v);
      }
    } catch (...) {
      std::free(host.ptr);
      throw;
    }
  }
  const std::uint64_t bytes = count * sizeof(T);
  bool ok;
  {
    std::ofstream out(fileName.c_str(), std::ios::out | std::ios::trunc | std::ios::binary);
    out.write(reinterpret_cast<const char*>(host.ptr), std::streamsize(bytes));
    out.close();
    ok = bool(out);
  }
  if (ok) {
    std::cout << "(" << v.size.x << ", " << v.size.y << ", " << v.size.z << ", " << v.size.w
              << ") " << "[" << float(bytes) * 9.5367431640625e-07f << " MB]" << " written to "
              << fileName << std::endl;
  } else {
    std::cerr << "error: cannot write array dump " << fileName << std::endl;
  }
  const cudaChannelFormatDesc d = cudaCreateChannelDesc<T>();
  {
    std::ofstream info((fileName + ".yvinfo").c_str(), std::ios::out | std::ios::trunc);
    info << v.size.x << " " << v.size.y << " " << v.size.z << " " << v.size.w << " " << int(d.f)
         << " " << d.x << " " << d.y << " " << d.z << " " << d.w << std::endl;
    if (copied) std::free(host.ptr);
    info.close();
    if (!info) std::cerr << "error: cannot write array dump info " << fileName << ".yvinfo" << std::endl;
  }
}

template void writeArrayToFile<float, 2>(const Array<float, 2>&, const std::string&);
template void writeArrayToFile<float, 3>(const Array<float, 3>&, const std::string&);
// Colour and four-channel images of the matching-cost debug dumps.
template void writeArrayToFile<uchar4, 2>(const Array<uchar4, 2>&, const std::string&);
template void writeArrayToFile<float4, 2>(const Array<float4, 2>&, const std::string&);

}  // namespace yv
