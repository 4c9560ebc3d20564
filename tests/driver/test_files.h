// Small file helpers of the driver tests: PNG images of known contents, whole-file reads.
#pragma once

#include <string>
#include <vector>

namespace driver_test {

// A greyscale PNG of bit depth 8 or 16 with the given row-major samples.
void writeGreyPNG(const std::string& path, int width, int height, int bit_depth,
                  const std::vector<unsigned short>& samples);
// An 8-bit RGB PNG filled with one colour.
void writeRgbPNG(const std::string& path, int width, int height, unsigned char r,
                 unsigned char g, unsigned char b);
std::string readFile(const std::string& path);
void writeText(const std::string& path, const std::string& text);

}  // namespace driver_test
