// slimage::Image: a small interleaved host image (rows top to bottom, channels of a pixel next to
// each other) that carries the colour and depth input of the superpixel library.
#pragma once

#include <cstddef>
#include <vector>

namespace slimage {

// Element type and channel count of an image.
template <class K, unsigned CC>
struct Traits {
  using element_t = K;
  static constexpr unsigned channels = CC;
};

template <class Tr>
class Image {
 public:
  using element_t = typename Tr::element_t;
  static constexpr unsigned channels = Tr::channels;

  Image() = default;
  // Elements start at zero.
  Image(unsigned width, unsigned height)
      : width_(width), height_(height), data_(std::size_t(width) * height * channels) {}

  unsigned width() const { return width_; }
  unsigned height() const { return height_; }
  // Number of pixels.
  std::size_t size() const { return std::size_t(width_) * height_; }
  bool isNull() const { return size() == 0; }

  element_t* pointer() { return data_.data(); }
  const element_t* pointer() const { return data_.data(); }

  // Element i of the interleaved buffer: (y * width + x) * channels + c.
  element_t& operator[](std::size_t i) { return data_[i]; }
  const element_t& operator[](std::size_t i) const { return data_[i]; }

  // First channel of pixel (x, y).
  element_t* operator()(unsigned x, unsigned y) {
    return data_.data() + (std::size_t(y) * width_ + x) * channels;
  }
  const element_t* operator()(unsigned x, unsigned y) const {
    return data_.data() + (std::size_t(y) * width_ + x) * channels;
  }

 private:
  unsigned width_ = 0;
  unsigned height_ = 0;
  std::vector<element_t> data_;
};

using Image3ub = Image<Traits<unsigned char, 3>>;
using Image1ui16 = Image<Traits<unsigned short, 1>>;

}  // namespace slimage
