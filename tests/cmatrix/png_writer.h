// Test helper: writes PNG files of any colour type, bit depth and interlacing straight through
// libpng, so the readers can be fed files the program itself never writes.
#pragma once

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace png_test {

// rows: height rows of raw sample bytes, as they stand in the file (16-bit samples big-endian).
inline void writeRaw(const std::string& path, int width, int height, int colorType, int bitDepth,
                     const std::vector<std::vector<unsigned char>>& rows, bool interlaced = false) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    throw std::runtime_error("libpng failed writing " + path);
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, width, height, bitDepth, colorType,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (colorType == PNG_COLOR_TYPE_PALETTE) {
    png_color palette[2] = {{0, 0, 0}, {255, 255, 255}};
    png_set_PLTE(png, info, palette, 2);
  }
  png_write_info(png, info);
  std::vector<png_bytep> ptrs;
  for (auto& r : rows) ptrs.push_back(const_cast<png_bytep>(r.data()));
  png_write_image(png, ptrs.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

inline void putBigEndian(std::vector<unsigned char>& png, std::size_t at, unsigned v) {
  for (int i = 0; i < 4; ++i) png[at + i] = (v >> (24 - 8 * i)) & 0xff;
}

// The CRC of a chunk: over its type and data, bytes [from, to).
inline unsigned chunkCrc(const std::vector<unsigned char>& png, std::size_t from, std::size_t to) {
  unsigned c = 0xffffffffu;
  for (std::size_t i = from; i < to; ++i) {
    c ^= png[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return c ^ 0xffffffffu;
}

// Gives a PNG file's header (IHDR at byte 8) another width and height, with a matching checksum.
inline void setSize(std::vector<unsigned char>& png, unsigned w, unsigned h) {
  putBigEndian(png, 16, w);
  putBigEndian(png, 20, h);
  putBigEndian(png, 29, chunkCrc(png, 12, 29));
}

// Inserts a chunk with a valid checksum right after the header chunk (IHDR).
inline void insertChunk(std::vector<unsigned char>& png, const std::string& type,
                        const std::vector<unsigned char>& data) {
  std::vector<unsigned char> chunk(12 + data.size());
  putBigEndian(chunk, 0, unsigned(data.size()));
  std::copy(type.begin(), type.end(), chunk.begin() + 4);
  std::copy(data.begin(), data.end(), chunk.begin() + 8);
  putBigEndian(chunk, 8 + data.size(), chunkCrc(chunk, 4, 8 + data.size()));
  png.insert(png.begin() + 33, chunk.begin(), chunk.end());
}

inline std::vector<unsigned char> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

}  // namespace png_test
