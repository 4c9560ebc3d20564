// Raw-byte Netpbm files of the host images: P6 (PPM, colour) and P5 (PGM, greyscale), and the
// choice between PPM, PGM and PNG by the file name's extension.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cmatrix/CTensor.h"
#include "cmatrix/file_error.h"
#include "printable.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool isDigit(int c) { return c >= '0' && c <= '9'; }
// Netpbm's whitespace.
bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Longest header read: comments may be long, but a header that never ends (a pipe, /dev/zero) must
// not keep the reader spinning.
const long kMaxHeaderBytes = 1 << 16;

// Character input of the header scan. A file that ends inside its header, or a header longer than
// kMaxHeaderBytes, is refused.
class HeaderScanner {
 public:
  HeaderScanner(FILE* f, const std::string& prefix, const char* fileName)
      : f_(f), prefix_(prefix), fileName_(fileName) {}

  int next() {
    if (++read_ > kMaxHeaderBytes) fail("Header too long in ");
    const int c = std::fgetc(f_);
    if (c == EOF) fail("Unexpected end of file in the header of ");
    return c;
  }
  // Reads up to and including the first character for which stop() holds; returns it.
  template <class Stop>
  int skipThrough(Stop stop) {
    int c;
    do c = next();
    while (!stop(c));
    return c;
  }
  // Skips whitespace and comments (from '#' to the end of its line) starting at c; returns the
  // first other character and whether anything was skipped.
  int skipSpace(int c, bool* skipped) {
    *skipped = false;
    while (isSpace(c) || c == '#') {
      if (c == '#') c = skipThrough([](int ch) { return ch == '\n' || ch == '\r'; });
      *skipped = true;
      c = next();
    }
    return c;
  }
  // A field: whitespace or a comment, then a decimal number in [minValue, maxValue]. Returns the
  // character after its digits.
  int field(int c, long minValue, long maxValue, const char* what, long* value) {
    bool skipped;
    c = skipSpace(c, &skipped);
    if (!skipped || !isDigit(c)) fail(what);
    long v = 0;
    do {
      v = v * 10 + (c - '0');
      if (v > maxValue) fail(what);
      c = next();
    } while (isDigit(c));
    if (v < minValue) fail(what);
    *value = v;
    return c;
  }
  [[noreturn]] void fail(const char* what) {
    throw ImageFileError(prefix_, what, fileName_, "");
  }

 private:
  FILE* f_;
  const std::string& prefix_;
  const char* fileName_;
  long read_ = 0;
};

// The `d` bytes that follow the header's whitespace character beyond the raster's size are the
// rest of the header line when the first line break among them is their last byte.
bool restOfHeaderLine(const unsigned char* extra, std::size_t d) {
  return d > 0 && std::find(extra, extra + d, '\n') == extra + d - 1;
}

// Bytes after the header of a regular file: the raster, and possibly the rest of the header line.
// After the maximum value and its one whitespace character `c`, some writers end the line with
// more (blanks, CR LF). Of the two readings, raster right after `c` (Netpbm's) or raster after the
// end of that line, the one whose remaining byte count equals the raster's size is taken; when
// both or neither fit, Netpbm's. Leaves the file at the raster's first byte; false when it cannot
// seek back.
bool seekRasterOfFile(FILE* f, int c, std::int64_t left, std::int64_t rasterBytes) {
  if (c == '\n' || left <= rasterBytes || left - rasterBytes > kMaxHeaderBytes) return true;
  const long pos = std::ftell(f);
  if (pos < 0) return false;
  const std::size_t d = std::size_t(left - rasterBytes);
  std::vector<unsigned char> line(d);
  if (std::fread(line.data(), 1, d, f) == d && restOfHeaderLine(line.data(), d))
    return true;  // the line ends just before the raster's last rasterBytes bytes
  return std::fseek(f, pos, SEEK_SET) == 0;
}

// The same choice for a stream (a pipe, a FIFO), whose length is unknown until it ends: the rest
// is read, no further than a header line past the raster, and the reading is chosen on what came.
// Memory grows with the bytes that arrive, not with the size the header claims.
std::vector<unsigned char> readRestOfStream(FILE* f, int c, std::size_t rasterBytes,
                                            std::size_t* skip) {
  const std::size_t cap = rasterBytes + std::size_t(kMaxHeaderBytes) + 1;
  std::vector<unsigned char> rest;
  std::size_t n = 0;
  while (n < cap) {
    const std::size_t chunk = std::min<std::size_t>(cap - n, std::size_t(1) << 16);
    rest.resize(n + chunk);
    const std::size_t got = std::fread(rest.data() + n, 1, chunk, f);
    n += got;
    if (got < chunk) break;
  }
  rest.resize(n);
  *skip = 0;
  if (c != '\n' && n > rasterBytes && n < cap && restOfHeaderLine(rest.data(), n - rasterBytes))
    *skip = n - rasterBytes;
  return rest;
}

// Reads a P6 or P5 file. acceptColour: P6 allowed (readFromPPM); formatName: the name reported
// for a wrong magic number. Samples are 1 byte when the maximum value is at most 255, else 2
// bytes, most significant first; each becomes round(v * 255 / maxval).
void readNetpbm(CTensor<float>& t, const char* fileName, const std::string& prefix,
                bool acceptColour, const char* formatName, const ImageSizeCheck& check) {
  int err;
  File f(tryOpenImageFile(fileName, "rb", &err));
  if (!f) {
    // The Netpbm readers have always told a file they cannot open on standard error, in a line
    // of its own; the reason follows on the next, since a file that exists may be unreadable too.
    std::cerr << "File not found: " << printable_path(fileName) << "\n(" << std::strerror(err)
              << ")" << std::endl;
    throw cannotOpen(prefix, fileName, err);
  }
  HeaderScanner in(f.get(), prefix, fileName);

  in.skipThrough([](int c) { return c == 'P'; });
  const int magic = in.next();
  int planes;
  if (magic == '5')
    planes = 1;
  else if (magic == '6' && acceptColour)
    planes = 3;
  else
    throw EInvalidFileFormat(formatName);

  long width = 0, height = 0, maxval = 0;
  int c = in.next();
  c = in.field(c, 0, INT_MAX, "Invalid image size in the header of ", &width);
  c = in.field(c, 0, INT_MAX, "Invalid image size in the header of ", &height);
  c = in.field(c, 1, 65535, "Invalid maximum value in the header of ", &maxval);
  // One whitespace character ends the header; a comment may stand before it, and then the
  // character that ends the comment is that whitespace.
  if (c == '#') c = in.skipThrough([](int ch) { return ch == '\n' || ch == '\r'; });
  if (!isSpace(c)) in.fail("Invalid maximum value in the header of ");

  // Sizes come from the file: the element count must fit an int, and the caller's check must
  // pass, before anything is allocated.
  const std::int64_t pixels = std::int64_t(width) * height;
  if (pixels > INT_MAX || pixels * planes > INT_MAX) in.fail("Invalid image size in the header of ");
  if (check) check(int(width), int(height));
  const std::int64_t count64 = pixels * planes;
  const std::size_t count = std::size_t(count64);
  const std::size_t sampleBytes = maxval > 255 ? 2 : 1;
  const std::size_t rasterBytes = count * sampleBytes;

  std::vector<unsigned char> raster;
  std::size_t skip = 0;
  struct stat st;
  const long pos = std::ftell(f.get());
  if (pos >= 0 && fstat(fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode)) {
    // A header that promises more pixels than the file holds is refused before the allocation.
    const std::int64_t left = std::int64_t(st.st_size) - pos;
    if (left < std::int64_t(rasterBytes)) in.fail("Unexpected end of file in the raster of ");
    if (!seekRasterOfFile(f.get(), c, left, std::int64_t(rasterBytes)))
      in.fail("Cannot read the raster of ");
    raster.resize(rasterBytes);
    if (rasterBytes && std::fread(raster.data(), 1, rasterBytes, f.get()) != rasterBytes)
      in.fail("Unexpected end of file in the raster of ");
  } else {
    raster = readRestOfStream(f.get(), c, rasterBytes, &skip);
    if (raster.size() - skip < rasterBytes) in.fail("Unexpected end of file in the raster of ");
  }
  f.reset();
  const unsigned char* samples = raster.data() + skip;

  std::unique_ptr<float[]> fresh(new float[count ? count : 1]);
  const std::size_t plane = std::size_t(pixels);
  for (std::size_t i = 0; i < plane; ++i)
    for (int k = 0; k < planes; ++k) {
      const std::size_t s = (i * planes + k) * sampleBytes;
      const long v =
          sampleBytes == 2 ? (long(samples[s]) << 8) | samples[s + 1] : long(samples[s]);
      if (v > maxval) in.fail("Sample above the maximum value in ");
      // Rounded to the nearest of 0..255, halves up.
      fresh[k * plane + i] = maxval == 255 ? float(v) : float((v * 255 + maxval / 2) / maxval);
    }
  delete[] t.data;
  t.xSize = int(width);
  t.ySize = int(height);
  t.zSize = planes;
  t.data = fresh.release();
}

// Opens a file for writing, or throws.
File openForWriting(const std::string& prefix, const char* fileName) {
  return File(openImageFile(prefix, fileName, "wb"));
}

// Closes a written file; a write error that shows only now (a full disk) is an error.
void finishWriting(File& f, const std::string& prefix, const char* fileName) {
  const bool ok = std::fflush(f.get()) == 0 && !std::ferror(f.get());
  const bool closed = std::fclose(f.release()) == 0;
  if (!ok || !closed) throw ImageFileError(prefix, "Could not write ", fileName, "");
}

std::string extensionOf(const char* fileName) {
  const std::string name(fileName);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(dot + 1);
}

}  // namespace

template <>
void CTensor<float>::readFromPPM(const char* fileName, const ImageSizeCheck& check) {
  readNetpbm(*this, fileName, "CTensor::readFromPPM: ", true, "PPM", check);
}

template <>
void CTensor<float>::readFromPGM(const char* fileName, const ImageSizeCheck& check) {
  readNetpbm(*this, fileName, "CTensor::readFromPGM: ", false, "PGM", check);
}

template <>
void CTensor<unsigned char>::writeToPPM(const char* fileName) const {
  const std::string prefix = "CTensor::writeToPPM: ";
  if (zSize < 3) throw std::runtime_error(prefix + "zSize must be at least 3");
  const std::size_t plane = cmatrix_internal::elementCount("CTensor::writeToPPM", xSize, ySize);
  File f = openForWriting(prefix, fileName);
  std::fprintf(f.get(), "P6 \n");
  std::fprintf(f.get(), "%d %d \n255\n", xSize, ySize);
  std::vector<unsigned char> row(std::size_t(xSize) * 3);
  for (int y = 0; y < ySize; ++y) {
    for (int x = 0; x < xSize; ++x)
      for (int k = 0; k < 3; ++k)
        row[std::size_t(x) * 3 + k] = data[k * plane + std::size_t(y) * xSize + x];
    std::fwrite(row.data(), 1, row.size(), f.get());
  }
  finishWriting(f, prefix, fileName);
}

template <>
void CTensor<unsigned char>::writeToPGM(const char* fileName) const {
  const std::string prefix = "CTensor::writeToPGM: ";
  if (zSize < 1) throw std::runtime_error(prefix + "zSize must be at least 1");
  const std::size_t plane = cmatrix_internal::elementCount("CTensor::writeToPGM", xSize, ySize);
  // Tiles: floor(sqrt(planes)) rows, as many columns as needed; tiles after the last plane are
  // black.
  const int tileRows = int(std::floor(std::sqrt(double(zSize))));
  const int tileCols = int(std::ceil(double(zSize) / tileRows));
  const std::size_t outW = std::size_t(tileCols) * xSize, outH = std::size_t(tileRows) * ySize;
  if (outW > INT_MAX || outH > INT_MAX)
    throw ImageFileError(prefix, "image too large for ", fileName, "");
  File f = openForWriting(prefix, fileName);
  std::fprintf(f.get(), "P5 \n");
  std::fprintf(f.get(), "%d %d \n255\n", int(outW), int(outH));
  std::vector<unsigned char> row(outW);
  for (int i = 0; i < tileRows; ++i)
    for (int y = 0; y < ySize; ++y) {
      for (int j = 0; j < tileCols; ++j) {
        const int k = i * tileCols + j;
        for (int x = 0; x < xSize; ++x)
          row[std::size_t(j) * xSize + x] =
              k < zSize ? data[k * plane + std::size_t(y) * xSize + x] : 0;
      }
      std::fwrite(row.data(), 1, row.size(), f.get());
    }
  finishWriting(f, prefix, fileName);
}

template <>
void CTensor<float>::readFromImage(const char* fileName, const ImageSizeCheck& check) {
  const std::string ext = extensionOf(fileName);
  if (ext == "ppm" || ext == "PPM")
    readFromPPM(fileName, check);
  else if (ext == "pgm" || ext == "PGM")
    readFromPGM(fileName, check);
  else if (ext == "png" || ext == "PNG")
    readFromPNG(fileName, false, check);
  else
    throw std::runtime_error("Image file format not supported");
}

template <>
void CTensor<unsigned char>::writeToImage(const char* fileName) {
  const std::string ext = extensionOf(fileName);
  if (ext == "ppm" || ext == "PPM")
    writeToPPM(fileName);
  else if (ext == "pgm" || ext == "PGM")
    writeToPGM(fileName);
  else if (ext == "png" || ext == "PNG")
    writeToPNG(fileName);
  else
    throw std::runtime_error("Image file format not supported");
}
