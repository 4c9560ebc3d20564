// CMatrix<T>: a host 2-D image that owns its row-major element buffer (x fastest, no row gaps).
// Used for depth maps (float), normal maps (float3), colour images (uchar4) and 16-bit depth files
// (unsigned short, read from PNG).
#pragma once

#include <vector_types.h>

#include <algorithm>

#include "cmatrix/element_count.h"
#include "cmatrix/image_size_check.h"

template <class T>
class CMatrix {
 public:
  int xSize;
  int ySize;
  T* data;

  CMatrix() : xSize(0), ySize(0), data(nullptr) {}

  // The elements are left for the caller to fill.
  CMatrix(int x, int y) : xSize(x), ySize(y), data(nullptr) {
    data = new T[cmatrix_internal::elementCount("CMatrix", x, y)];
  }

  CMatrix(const CMatrix& other) : xSize(other.xSize), ySize(other.ySize), data(nullptr) {
    if (other.data) data = copyOf(other);
  }

  // The new buffer is made before the old one goes, so a failed allocation leaves this image as
  // it was.
  CMatrix& operator=(const CMatrix& other) {
    if (&other == this) return *this;
    T* fresh = other.data ? copyOf(other) : nullptr;
    delete[] data;
    xSize = other.xSize;
    ySize = other.ySize;
    data = fresh;
    return *this;
  }

  virtual ~CMatrix() { delete[] data; }

  // Reads an 8- or 16-bit greyscale PNG; defined for unsigned short only. `check` (when given)
  // sees the size from the file's header before anything is allocated.
  void readFromPNG(const char* fileName, const ImageSizeCheck& check = {});

 private:
  static T* copyOf(const CMatrix& other) {
    const std::size_t n = cmatrix_internal::elementCount("CMatrix", other.xSize, other.ySize);
    T* p = new T[n];
    std::copy(other.data, other.data + n, p);
    return p;
  }
};

template <>
void CMatrix<unsigned short>::readFromPNG(const char* fileName, const ImageSizeCheck& check);
