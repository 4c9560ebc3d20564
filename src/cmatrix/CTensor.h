// CTensor<T>: a host 3-D image of zSize planes, each a row-major xSize x ySize image; element
// (x, y, z) is data[(z * ySize + y) * xSize + x]. Colour images are planar (all red, then green,
// blue, alpha). Image files are read into CTensor<float> (values 0 to 255) and written from
// CTensor<unsigned char> or CTensor<float>.
#pragma once

#include <vector_types.h>

#include <algorithm>

#include "cmatrix/EInvalidFileFormat.h"
#include "cmatrix/element_count.h"
#include "cmatrix/image_size_check.h"

template <class T>
class CTensor {
 public:
  int xSize;
  int ySize;
  int zSize;
  T* data;

  CTensor() : xSize(0), ySize(0), zSize(0), data(nullptr) {}

  // The elements are left for the caller to fill.
  CTensor(int x, int y, int z) : xSize(x), ySize(y), zSize(z), data(nullptr) {
    data = new T[cmatrix_internal::elementCount("CTensor", x, y, z)];
  }

  CTensor(const CTensor& other)
      : xSize(other.xSize), ySize(other.ySize), zSize(other.zSize), data(nullptr) {
    if (other.data) data = copyOf(other);
  }

  // Allocates before it releases: a failed allocation leaves this tensor as it was.
  CTensor& operator=(const CTensor& other) {
    if (&other == this) return *this;
    T* fresh = other.data ? copyOf(other) : nullptr;
    delete[] data;
    xSize = other.xSize;
    ySize = other.ySize;
    zSize = other.zSize;
    data = fresh;
    return *this;
  }

  virtual ~CTensor() { delete[] data; }

  // Files. Readers leave the tensor unchanged when they throw, and call `check` (when given)
  // with the size from the file's header before anything is allocated. Defined for the element
  // types that the program reads (float) and writes (unsigned char, and float for PNG).
  // The PPM and PGM readers also write "File not found: NAME" and "(REASON)" on the next line to
  // standard error when they cannot open the file. By extension: ppm/PPM, pgm/PGM, png/PNG.
  void readFromImage(const char* fileName, const ImageSizeCheck& check = {});
  void readFromPPM(const char* fileName, const ImageSizeCheck& check = {});  // P6 or P5
  void readFromPGM(const char* fileName, const ImageSizeCheck& check = {});  // P5 only
  // 8-bit RGB or RGBA.
  void readFromPNG(const char* fileName, bool rgbOnly, const ImageSizeCheck& check = {});
  void writeToImage(const char* fileName);    // by extension
  void writeToPPM(const char* fileName) const;  // planes 0 to 2 as P6
  void writeToPGM(const char* fileName) const;  // all planes tiled into one P5 image
  void writeToPNG(const char* fileName) const;  // 3 planes RGB, 4 planes RGBA, 8 bit

 private:
  static T* copyOf(const CTensor& other) {
    const std::size_t n =
        cmatrix_internal::elementCount("CTensor", other.xSize, other.ySize, other.zSize);
    T* p = new T[n];
    std::copy(other.data, other.data + n, p);
    return p;
  }
};

template <> void CTensor<float>::readFromImage(const char* fileName, const ImageSizeCheck& check);
template <> void CTensor<float>::readFromPPM(const char* fileName, const ImageSizeCheck& check);
template <> void CTensor<float>::readFromPGM(const char* fileName, const ImageSizeCheck& check);
template <>
void CTensor<float>::readFromPNG(const char* fileName, bool rgbOnly, const ImageSizeCheck& check);
template <> void CTensor<float>::writeToPNG(const char* fileName) const;
template <> void CTensor<unsigned char>::writeToImage(const char* fileName);
template <> void CTensor<unsigned char>::writeToPPM(const char* fileName) const;
template <> void CTensor<unsigned char>::writeToPGM(const char* fileName) const;
template <> void CTensor<unsigned char>::writeToPNG(const char* fileName) const;
