// PNG files of the host images through libpng. The libpng calls live in functions with only
// plain-old-data locals, because libpng's error handling longjmps back to them; the callers turn
// the result codes into exceptions. The readers keep libpng's error text for their messages.
#include <png.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cmatrix/CMatrix.h"
#include "cmatrix/CTensor.h"
#include "cmatrix/file_error.h"

namespace {

enum PngStatus {
  kPngOk,
  kPngCreateStruct,
  kPngCreateInfo,
  kPngInitIo,
  kPngOutOfMemory,
  kPngReadImage,
  kPngWriteInfo,
  kPngWriteImage,
};

enum class Expect { Colour8, Grey8or16 };

// Ancillary chunks (text, profiles) may not make libpng allocate more than this.
const png_alloc_size_t kMaxChunkBytes = 8u << 20;

// What the libpng calls share with the error and warning handlers. Plain data only: the error
// handler longjmps.
struct PngReadState {
  png_structp png;
  png_infop info;
  char reason[160];  // libpng's text of the latest error
  // Warnings wait until the read passes its size check: a read that stops there (a look at the
  // size before the real read) prints none, so each warning is printed once per image.
  bool holdWarnings;
  char heldWarnings[1024];
};

void onPngError(png_structp png, png_const_charp message) {
  auto* s = static_cast<PngReadState*>(png_get_error_ptr(png));
  std::snprintf(s->reason, sizeof s->reason, "%s", message ? message : "");
  png_longjmp(png, 1);
}

void onPngWarning(png_structp png, png_const_charp message) {
  auto* s = static_cast<PngReadState*>(png_get_error_ptr(png));
  if (!s->holdWarnings) {
    std::fprintf(stderr, "libpng warning: %s\n", message ? message : "");
    return;
  }
  const std::size_t used = std::strlen(s->heldWarnings);
  std::snprintf(s->heldWarnings + used, sizeof s->heldWarnings - used, "libpng warning: %s\n",
                message ? message : "");
}

struct PngHeader {
  png_uint_32 width;
  png_uint_32 height;
  int colorType;
  int bitDepth;
  int channels;
};

// Recovery point A: opening the stream and the header chunks.
PngStatus readPngHeader(FILE* fp, PngReadState* s, PngHeader* h) {
  if (setjmp(png_jmpbuf(s->png))) return kPngInitIo;
  png_init_io(s->png, fp);
  png_set_sig_bytes(s->png, 8);
  png_set_chunk_malloc_max(s->png, kMaxChunkBytes);
  png_read_info(s->png, s->info);
  h->width = png_get_image_width(s->png, s->info);
  h->height = png_get_image_height(s->png, s->info);
  h->colorType = png_get_color_type(s->png, s->info);
  h->bitDepth = png_get_bit_depth(s->png, s->info);
  h->channels = png_get_channels(s->png, s->info);
  return kPngOk;
}

// Still under recovery point A: the transformations, then the size of a decoded row.
PngStatus preparePngRows(PngReadState* s, bool swap16, std::size_t* rowBytes) {
  if (setjmp(png_jmpbuf(s->png))) return kPngInitIo;
  png_set_interlace_handling(s->png);
  if (swap16) png_set_swap(s->png);  // 16-bit samples to host byte order
  png_read_update_info(s->png, s->info);
  *rowBytes = png_get_rowbytes(s->png, s->info);
  return kPngOk;
}

// Recovery point B: the raster.
PngStatus readPngRows(PngReadState* s, png_bytep* rows) {
  if (setjmp(png_jmpbuf(s->png))) return kPngReadImage;
  png_read_image(s->png, rows);
  return kPngOk;
}

const char* colourTypeName(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY: return "greyscale";
    case PNG_COLOR_TYPE_GRAY_ALPHA: return "greyscale+alpha";
    case PNG_COLOR_TYPE_PALETTE: return "palette";
    case PNG_COLOR_TYPE_RGB: return "RGB";
    case PNG_COLOR_TYPE_RGBA: return "RGBA";
    default: return "unknown colour type";
  }
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Opens a PNG file for reading and checks its signature; throws with the caller's prefix.
File openPngForReading(const std::string& prefix, const char* fileName) {
  File f(openImageFile(prefix, fileName, "rb"));
  png_byte header[8];
  if (std::fread(header, 1, 8, f.get()) < 8)
    throw ImageFileError(prefix, "Could not read header of ", fileName, "");
  if (png_sig_cmp(header, 0, 8)) throw ImageFileError(prefix, "", fileName, " is not a PNG");
  return f;
}

// An open PNG file whose header has been read and whose size has been checked: the caller
// allocates the rows and reads them. Every size is checked before anything of the image's size
// is allocated or decoded.
class PngReader {
 public:
  PngReader(const std::string& prefix, const char* fileName, Expect expect,
            const ImageSizeCheck& check)
      : prefix_(prefix), file_(openPngForReading(prefix, fileName)) {
    s_.holdWarnings = true;
    s_.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s_, onPngError, onPngWarning);
    if (!s_.png) throw std::runtime_error(prefix + "Could not create png read struct");
    s_.info = png_create_info_struct(s_.png);
    if (!s_.info) throw std::runtime_error(prefix + "Could not create png info struct");
    if (readPngHeader(file_.get(), &s_, &h_) != kPngOk) fail("png_init_io failed");

    const bool accepted =
        expect == Expect::Colour8
            ? ((h_.colorType == PNG_COLOR_TYPE_RGB || h_.colorType == PNG_COLOR_TYPE_RGBA) &&
               h_.bitDepth == 8)
            : (h_.colorType == PNG_COLOR_TYPE_GRAY && (h_.bitDepth == 8 || h_.bitDepth == 16));
    if (!accepted) {
      std::stringstream ss;
      ss << prefix
         << (expect == Expect::Colour8
                 ? "Format not supported.  Expected RGB(A) image with 8-bit per channel"
                 : "Format not supported.  Expected Greyscale image with 8 or 16 bit per channel")
         << "; the file holds " << colourTypeName(h_.colorType) << ", " << h_.bitDepth
         << " bit per channel";
      throw std::runtime_error(ss.str());
    }
    // Every element of the image must be addressable with an int (the images' sizes are ints).
    if (std::uint64_t(h_.width) * h_.height * std::uint64_t(h_.channels) > std::uint64_t(INT_MAX))
      throw ImageFileError(prefix, "Image of ", fileName, " is too large");
    if (check) check(int(h_.width), int(h_.height));
    s_.holdWarnings = false;
    std::fputs(s_.heldWarnings, stderr);

    if (preparePngRows(&s_, expect == Expect::Grey8or16 && h_.bitDepth == 16, &rowBytes_) !=
        kPngOk)
      fail("png_init_io failed");
    // Deflate packs at most about 1032 bytes into one, so a regular file cannot hold a raster
    // much larger than 1032 times its size: a header claiming more is refused here.
    struct stat st;
    if (fstat(fileno(file_.get()), &st) == 0 && S_ISREG(st.st_mode) &&
        double(rowBytes_) * double(h_.height) > 1032.0 * double(st.st_size) + 65536.0)
      throw ImageFileError(prefix, "Image of ", fileName, " is too large");
    // libpng must not write past the rows that the readers allocate.
    if (rowBytes_ != std::size_t(h_.width) * h_.channels * (h_.bitDepth / 8))
      throw ImageFileError(prefix, "Format not supported in ", fileName, "");
  }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  const PngHeader& header() const { return h_; }
  std::size_t rowBytes() const { return rowBytes_; }

  // Decodes the whole image into `rows` (height pointers to rowBytes() bytes each).
  void readRows(png_bytep* rows) {
    if (readPngRows(&s_, rows) != kPngOk) fail("png_read_image failed");
  }

 private:
  [[noreturn]] void fail(const char* what) {
    std::string text = prefix_ + what;
    if (s_.reason[0]) text += std::string(" (libpng: ") + s_.reason + ")";
    throw std::runtime_error(text);
  }

  std::string prefix_;
  File file_;
  PngReadState s_ = {};
  // Releases libpng's structures also when the constructor throws (no destructor runs then).
  struct ReadStructs {
    PngReadState* s;
    ~ReadStructs() {
      if (s->png) png_destroy_read_struct(&s->png, s->info ? &s->info : nullptr, nullptr);
    }
  } structs_{&s_};
  PngHeader h_ = {};
  std::size_t rowBytes_ = 0;
};

[[noreturn]] void throwOutOfMemory(const std::string& prefix, const char* fileName,
                                   const PngHeader& h) {
  std::stringstream ss;
  ss << "Not enough memory for the " << h.width << " x " << h.height << " pixels of ";
  throw ImageFileError(prefix, ss.str(), fileName, "");
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

  File f(openImageFile(prefix, fileName, "wb"));
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
  if (!flushed || !closed) throw ImageFileError(prefix, "Could not write ", fileName, "");
}

}  // namespace

template <>
void CTensor<float>::readFromPNG(const char* fileName, bool rgbOnly,
                                 const ImageSizeCheck& check) {
  const std::string prefix = "CTensor::readFromPNG: ";
  PngReader r(prefix, fileName, Expect::Colour8, check);
  const PngHeader& h = r.header();
  const int planes = rgbOnly ? 3 : (h.colorType == PNG_COLOR_TYPE_RGBA ? 4 : 3);
  const std::size_t plane = std::size_t(h.width) * h.height;
  std::unique_ptr<float[]> fresh;
  {
    std::unique_ptr<unsigned char[]> raster;
    std::vector<png_bytep> rows;
    try {
      raster.reset(new unsigned char[r.rowBytes() * h.height]);
      rows.resize(h.height);
    } catch (const std::bad_alloc&) {
      throwOutOfMemory(prefix, fileName, h);
    }
    for (png_uint_32 y = 0; y < h.height; ++y) rows[y] = raster.get() + std::size_t(y) * r.rowBytes();
    r.readRows(rows.data());
    try {
      fresh.reset(new float[plane * planes]);
    } catch (const std::bad_alloc&) {
      throwOutOfMemory(prefix, fileName, h);
    }
    for (png_uint_32 y = 0; y < h.height; ++y) {
      const unsigned char* row = rows[y];
      for (png_uint_32 x = 0; x < h.width; ++x)
        for (int c = 0; c < planes; ++c)
          fresh[c * plane + std::size_t(y) * h.width + x] = float(row[std::size_t(x) * h.channels + c]);
    }
  }
  delete[] data;
  xSize = int(h.width);
  ySize = int(h.height);
  zSize = planes;
  data = fresh.release();
}

template <>
void CMatrix<unsigned short>::readFromPNG(const char* fileName, const ImageSizeCheck& check) {
  const std::string prefix = "CMatrix::readFromPNG: ";
  PngReader r(prefix, fileName, Expect::Grey8or16, check);
  const PngHeader& h = r.header();
  // libpng decodes straight into the image's rows: 16-bit samples arrive in host order, 8-bit
  // ones fill the first half of each row and are widened in place.
  std::unique_ptr<unsigned short[]> fresh;
  std::vector<png_bytep> rows;
  try {
    fresh.reset(new unsigned short[std::size_t(h.width) * h.height]);
    rows.resize(h.height);
  } catch (const std::bad_alloc&) {
    throwOutOfMemory(prefix, fileName, h);
  }
  for (png_uint_32 y = 0; y < h.height; ++y)
    rows[y] = reinterpret_cast<png_bytep>(fresh.get() + std::size_t(y) * h.width);
  r.readRows(rows.data());
  if (h.bitDepth == 8) {
    for (png_uint_32 y = 0; y < h.height; ++y) {
      const unsigned char* bytes = rows[y];
      unsigned short* dst = fresh.get() + std::size_t(y) * h.width;
      for (png_uint_32 x = h.width; x-- > 0;) dst[x] = bytes[x];  // from the end: no overlap
    }
  }
  delete[] data;
  xSize = int(h.width);
  ySize = int(h.height);
  data = fresh.release();
}

template <>
void CTensor<unsigned char>::writeToPNG(const char* fileName) const {
  writeTensorToPNG(*this, fileName);
}

template <>
void CTensor<float>::writeToPNG(const char* fileName) const {
  writeTensorToPNG(*this, fileName);
}
