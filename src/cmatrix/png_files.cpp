// PNG files of the host images through libpng. The libpng calls live in functions with only
// plain-old-data locals, because libpng's default error handling longjmps back to them; the
// callers turn the result codes into exceptions.
#include <png.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "cmatrix/CMatrix.h"
#include "cmatrix/CTensor.h"

namespace {

enum PngStatus {
  kPngOk,
  kPngCreateStruct,
  kPngCreateInfo,
  kPngInitIo,
  kPngFormat,
  kPngTooLarge,
  kPngOutOfMemory,
  kPngReadImage,
  kPngWriteInfo,
  kPngWriteImage,
};

enum class Expect { Colour8, Grey8or16 };

// Decoded rows of a PNG file, one contiguous block (released with free).
struct PngRaster {
  png_uint_32 width;
  png_uint_32 height;
  int colorType;
  int bitDepth;
  int channels;
  std::size_t rowBytes;
  unsigned char* pixels;
};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Reads the whole raster of an open file whose 8 signature bytes have been consumed.
// Closes nothing; destroys every libpng structure it made.
PngStatus readPngRaster(FILE* fp, Expect expect, PngRaster* out) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return kPngCreateStruct;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return kPngCreateInfo;
  }

  // Recovery point A: opening the stream and the header.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return kPngInitIo;
  }
  png_init_io(png, fp);
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const int colorType = png_get_color_type(png, info);
  const int bitDepth = png_get_bit_depth(png, info);
  const int channels = png_get_channels(png, info);

  const bool accepted =
      expect == Expect::Colour8
          ? ((colorType == PNG_COLOR_TYPE_RGB || colorType == PNG_COLOR_TYPE_RGBA) && bitDepth == 8)
          : (colorType == PNG_COLOR_TYPE_GRAY && (bitDepth == 8 || bitDepth == 16));
  if (!accepted) {
    png_destroy_read_struct(&png, &info, nullptr);
    return kPngFormat;
  }
  // Every element of the image must be addressable with an int (the images' sizes are ints).
  if (std::uint64_t(width) * height * std::uint64_t(channels) > std::uint64_t(INT_MAX)) {
    png_destroy_read_struct(&png, &info, nullptr);
    return kPngTooLarge;
  }

  png_set_interlace_handling(png);
  if (expect == Expect::Grey8or16 && bitDepth == 16) png_set_swap(png);  // to host byte order
  png_read_update_info(png, info);

  // Deflate packs at most about 1032 bytes into one, so a regular file cannot hold a raster much
  // larger than 1032 times its size: a header claiming more is refused before the allocation.
  struct stat st;
  if (fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode) &&
      double(png_get_rowbytes(png, info)) * double(height) >
          1032.0 * double(st.st_size) + 65536.0) {
    png_destroy_read_struct(&png, &info, nullptr);
    return kPngTooLarge;
  }

  const std::size_t rowBytes = png_get_rowbytes(png, info);
  const std::size_t needed = std::size_t(width) * channels * (bitDepth / 8);
  if (rowBytes < needed) {  // libpng would have to write past our rows
    png_destroy_read_struct(&png, &info, nullptr);
    return kPngFormat;
  }

  // Recovery point B: the raster. Pointers changed after setjmp are volatile so that the
  // clean-up sees their current values.
  unsigned char* volatile pixels = nullptr;
  png_bytep* volatile rows = nullptr;
  if (setjmp(png_jmpbuf(png))) {
    std::free(rows);
    std::free(pixels);
    png_destroy_read_struct(&png, &info, nullptr);
    return kPngReadImage;
  }
  pixels = static_cast<unsigned char*>(std::malloc(rowBytes * (height ? height : 1)));
  rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * (height ? height : 1)));
  if (!pixels || !rows) {
    std::free(rows);
    std::free(pixels);
    png_destroy_read_struct(&png, &info, nullptr);
    return kPngOutOfMemory;
  }
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = pixels + std::size_t(y) * rowBytes;
  png_read_image(png, rows);

  png_destroy_read_struct(&png, &info, nullptr);
  std::free(rows);
  out->width = width;
  out->height = height;
  out->colorType = colorType;
  out->bitDepth = bitDepth;
  out->channels = channels;
  out->rowBytes = rowBytes;
  out->pixels = pixels;
  return kPngOk;
}

// Writes interleaved 8-bit rows (channels 3 or 4) to an open file.
PngStatus writePngRaster(FILE* fp, int width, int height, int channels,
                         const unsigned char* pixels) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return kPngCreateStruct;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return kPngCreateInfo;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return kPngInitIo;
  }
  png_init_io(png, fp);

  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return kPngWriteInfo;
  }
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
               channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);

  png_bytep* volatile rows = nullptr;
  if (setjmp(png_jmpbuf(png))) {
    std::free(rows);
    png_destroy_write_struct(&png, &info);
    return kPngWriteImage;
  }
  rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * (height ? height : 1)));
  if (!rows) {
    png_destroy_write_struct(&png, &info);
    return kPngOutOfMemory;
  }
  const std::size_t rowBytes = std::size_t(width) * channels;
  for (int y = 0; y < height; ++y)
    rows[y] = const_cast<png_bytep>(pixels) + std::size_t(y) * rowBytes;
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::free(rows);
  return kPngOk;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Opens a PNG file for reading and checks its signature; throws with the caller's prefix.
File openPngForReading(const std::string& prefix, const char* fileName) {
  File f(std::fopen(fileName, "rb"));
  if (!f) throw std::runtime_error(prefix + "Cannot open file " + fileName);
  png_byte header[8];
  if (std::fread(header, 1, 8, f.get()) < 8)
    throw std::runtime_error(prefix + "Could not read header of file " + fileName);
  if (png_sig_cmp(header, 0, 8))
    throw std::runtime_error(prefix + "File " + fileName + " is not a PNG");
  return f;
}

std::unique_ptr<unsigned char, FreeDeleter> readRaster(const std::string& prefix,
                                                       const char* fileName, Expect expect,
                                                       PngRaster* raster) {
  File f = openPngForReading(prefix, fileName);
  const PngStatus s = readPngRaster(f.get(), expect, raster);
  f.reset();
  switch (s) {
    case kPngOk:
      return std::unique_ptr<unsigned char, FreeDeleter>(raster->pixels);
    case kPngCreateStruct:
      throw std::runtime_error(prefix + "Could not create png read struct");
    case kPngCreateInfo:
      throw std::runtime_error(prefix + "Could not create png info struct");
    case kPngInitIo:
      throw std::runtime_error(prefix + "png_init_io failed");
    case kPngFormat:
      throw std::runtime_error(
          prefix + (expect == Expect::Colour8
                        ? "Format not supported.  Expected RGB(A) image with 8-bit per channel"
                        : "Format not supported.  Expected Greyscale image with 8 or 16 bit per "
                          "channel"));
    case kPngTooLarge:
      throw std::runtime_error(prefix + "Image of file " + fileName + " is too large");
    case kPngOutOfMemory:
      throw std::bad_alloc();
    default:
      throw std::runtime_error(prefix + "png_read_image failed");
  }
}

// Byte written for a float element: truncated to a 32-bit int, low 8 bits. Values outside the
// int range (and NaN) count as INT_MIN, as the processor's truncating conversion gives them.
inline unsigned char toPngByte(float v) {
  if (!(v > -2147483648.0f && v < 2147483648.0f)) return 0;
  return static_cast<unsigned char>(static_cast<unsigned>(static_cast<int>(v)) & 0xffu);
}
inline unsigned char toPngByte(unsigned char v) { return v; }

template <class T>
void writeTensorToPNG(const CTensor<T>& t, const char* fileName) {
  const std::string prefix = "CTensor::writeToPNG: ";
  if (t.zSize != 3 && t.zSize != 4) throw std::runtime_error(prefix + "zSize must be 3 or 4");
  const std::size_t plane =
      cmatrix_internal::elementCount("CTensor::writeToPNG", t.xSize, t.ySize);
  // Interleave the planes first: the libpng part must not own C++ objects.
  std::vector<unsigned char> bytes(plane * t.zSize);
  for (std::size_t i = 0; i < plane; ++i)
    for (int c = 0; c < t.zSize; ++c) bytes[i * t.zSize + c] = toPngByte(t.data[c * plane + i]);

  File f(std::fopen(fileName, "wb"));
  if (!f) throw std::runtime_error(prefix + "Cannot open file " + fileName);
  const PngStatus s = writePngRaster(f.get(), t.xSize, t.ySize, t.zSize, bytes.data());
  const bool flushed = std::fflush(f.get()) == 0 && !std::ferror(f.get());
  const bool closed = std::fclose(f.release()) == 0;
  switch (s) {
    case kPngOk:
      break;
    case kPngCreateStruct:
      throw std::runtime_error(prefix + "Could not create png write struct");
    case kPngCreateInfo:
      throw std::runtime_error(prefix + "Could not create png info struct");
    case kPngInitIo:
      throw std::runtime_error(prefix + "png_init_io failed");
    case kPngWriteInfo:
      throw std::runtime_error(prefix + "png_write_info failed");
    case kPngOutOfMemory:
      throw std::bad_alloc();
    default:
      throw std::runtime_error(prefix + "png_write_image failed");
  }
  // A full disk shows only when the buffered bytes go out.
  if (!flushed || !closed) throw std::runtime_error(prefix + "Could not write file " + fileName);
}

}  // namespace

template <>
void CTensor<float>::readFromPNG(const char* fileName, bool rgbOnly) {
  PngRaster r;
  auto pixels = readRaster("CTensor::readFromPNG: ", fileName, Expect::Colour8, &r);
  const int planes = rgbOnly ? 3 : (r.colorType == PNG_COLOR_TYPE_RGBA ? 4 : 3);
  const std::size_t plane = std::size_t(r.width) * r.height;
  float* fresh = new float[plane * planes];
  for (png_uint_32 y = 0; y < r.height; ++y) {
    const unsigned char* row = pixels.get() + std::size_t(y) * r.rowBytes;
    for (png_uint_32 x = 0; x < r.width; ++x)
      for (int c = 0; c < planes; ++c)
        fresh[c * plane + std::size_t(y) * r.width + x] = float(row[std::size_t(x) * r.channels + c]);
  }
  delete[] data;
  xSize = int(r.width);
  ySize = int(r.height);
  zSize = planes;
  data = fresh;
}

template <>
void CMatrix<unsigned short>::readFromPNG(const char* fileName) {
  PngRaster r;
  auto pixels = readRaster("CMatrix::readFromPNG: ", fileName, Expect::Grey8or16, &r);
  unsigned short* fresh = new unsigned short[std::size_t(r.width) * r.height];
  for (png_uint_32 y = 0; y < r.height; ++y) {
    const unsigned char* row = pixels.get() + std::size_t(y) * r.rowBytes;
    unsigned short* dst = fresh + std::size_t(y) * r.width;
    if (r.bitDepth == 16) {
      // libpng has swapped the samples into host order.
      for (png_uint_32 x = 0; x < r.width; ++x)
        std::memcpy(&dst[x], row + 2 * std::size_t(x), 2);
    } else {
      for (png_uint_32 x = 0; x < r.width; ++x) dst[x] = row[x];
    }
  }
  delete[] data;
  xSize = int(r.width);
  ySize = int(r.height);
  data = fresh;
}

template <>
void CTensor<unsigned char>::writeToPNG(const char* fileName) const {
  writeTensorToPNG(*this, fileName);
}

template <>
void CTensor<float>::writeToPNG(const char* fileName) const {
  writeTensorToPNG(*this, fileName);
}
