// Bridge between the host image classes (CMatrix, CTensor and their files) and array descriptors:
// image files into interleaved colour images, planar byte arrays and interleaved colour arrays
// (host or device) out to image files.
#pragma once

#include <cuda_runtime.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "cmatrix/CMatrix.h"
#include "yv/tools/array.h"

// Reads a PNG, PPM or PGM file (by extension) as an interleaved colour image; 3-plane files get
// 255 as their fourth component. One-plane (greyscale) files are refused.
CMatrix<uchar4> loadImage(const std::string& fileName);

// Writes an interleaved colour array (host or device) as an 8-bit RGB PNG; w is dropped.
void saveImageToPNG(const yv::Array<uchar4, 2>& a, const std::string& fileName);

namespace yv {

namespace internal {
// Writes a 3-plane byte array (host or device) through CTensor::writeToImage, every byte
// negated ((256 - v) mod 256) when asked.
void writeByteImage(const Array<unsigned char, 3>& a, const std::string& fileName, bool negate);
}  // namespace internal

template <class T>
void saveImage(const Array<T, 3>& a, const std::string& fileName, bool negate);

// Planar byte arrays of exactly 3 planes; the format follows the extension.
template <>
inline void saveImage<unsigned char>(const Array<unsigned char, 3>& a, const std::string& fileName,
                                     bool negate) {
  if (a.size.z != 3) {
    std::stringstream ss;
    ss << std::endl
       << __FILE__ << ":" << __LINE__
       << ": saveImage() does not support writing color image from Array with dimensions ("
       << a.size.x << "x" << a.size.y << "x" << a.size.z << ")" << std::endl;
    throw std::runtime_error(ss.str());
  }
  internal::writeByteImage(a, fileName, negate);
}

}  // namespace yv
