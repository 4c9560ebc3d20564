#include "test_files.h"

#include <png.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace driver_test {

namespace {

void writePNG(const std::string& path, int width, int height, int bit_depth, int color_type,
              const std::vector<unsigned char>& bytes) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (!fp) throw std::runtime_error("cannot create " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(fp);
    throw std::runtime_error("cannot write " + path);
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, width, height, bit_depth, color_type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const std::size_t stride = bytes.size() / std::size_t(height);
  for (int y = 0; y < height; ++y)
    png_write_row(png, const_cast<png_bytep>(bytes.data() + stride * std::size_t(y)));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(fp);
}

}  // namespace

void writeGreyPNG(const std::string& path, int width, int height, int bit_depth,
                  const std::vector<unsigned short>& samples) {
  std::vector<unsigned char> bytes;
  for (unsigned short s : samples) {
    if (bit_depth == 16) bytes.push_back((unsigned char)(s >> 8));
    bytes.push_back((unsigned char)(s & 0xFF));
  }
  writePNG(path, width, height, bit_depth, PNG_COLOR_TYPE_GRAY, bytes);
}

void writeRgbPNG(const std::string& path, int width, int height, unsigned char r,
                 unsigned char g, unsigned char b) {
  std::vector<unsigned char> bytes;
  for (int i = 0; i < width * height; ++i) {
    bytes.push_back(r);
    bytes.push_back(g);
    bytes.push_back(b);
  }
  writePNG(path, width, height, 8, PNG_COLOR_TYPE_RGB, bytes);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

}  // namespace driver_test
