// Mutated and truncated image files: every reader must either load the file or throw, and never
// read or write outside its buffers (run under AddressSanitizer to see the latter).
#include <gtest/gtest.h>

#include <random>

#include "cmatrix/CMatrix.h"
#include "cmatrix/CTensor.h"
#include "png_writer.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t crc32(const unsigned char* p, std::size_t n) {
  std::uint32_t c = 0xffffffffu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return c ^ 0xffffffffu;
}

void putBE32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (24 - 8 * i)) & 0xff;
}

// A PNG whose IHDR (at byte 8) gets new width and height and a matching checksum, so that the
// sizes reach the reader instead of failing the checksum test.
Bytes withSizes(Bytes png, std::uint32_t w, std::uint32_t h) {
  putBE32(png, 16, w);
  putBE32(png, 20, h);
  putBE32(png, 29, crc32(&png[12], 17));
  return png;
}

enum class Outcome { Loaded, Threw };

template <class F>
Outcome attempt(F f) {
  try {
    f();
    return Outcome::Loaded;
  } catch (const std::runtime_error&) {
  } catch (const EInvalidFileFormat&) {
  }
  return Outcome::Threw;
}

// Reads a file with every reader that applies and checks what a successful load promises.
// Sets `loaded` when a reader for its format (either PNG reader; readFromPPM) loaded it.
void readAll(const std::string& path, bool png, bool& loaded) {
  loaded = false;
  if (png) {
    CTensor<float> t;
    if (attempt([&] { t.readFromPNG(path.c_str(), false); }) == Outcome::Loaded) {
      loaded = true;
      EXPECT_TRUE(t.zSize == 3 || t.zSize == 4);
      if (t.xSize * t.ySize > 0) {
        ASSERT_NE(t.data, nullptr);
        volatile float last = t.data[std::size_t(t.xSize) * t.ySize * t.zSize - 1];
        EXPECT_GE(last, 0.0f);
      }
    }
    CMatrix<unsigned short> m;
    const bool greyLoaded = attempt([&] { m.readFromPNG(path.c_str()); }) == Outcome::Loaded;
    loaded = loaded || greyLoaded;
    if (greyLoaded && m.xSize * m.ySize > 0) {
      ASSERT_NE(m.data, nullptr);
      volatile unsigned short last = m.data[std::size_t(m.xSize) * m.ySize - 1];
      (void)last;
    }
  } else {
    for (int which = 0; which < 2; ++which) {
      CTensor<float> t;
      const Outcome o = attempt([&] {
        if (which == 0)
          t.readFromPPM(path.c_str());
        else
          t.readFromPGM(path.c_str());
      });
      if (o == Outcome::Loaded) {
        loaded = loaded || which == 0;
        EXPECT_TRUE(t.zSize == 1 || t.zSize == 3);
        EXPECT_GE(t.xSize, 0);
        EXPECT_GE(t.ySize, 0);
        const std::size_t n = std::size_t(t.xSize) * t.ySize * t.zSize;
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(t.data[i] >= 0 && t.data[i] <= 255);
      }
    }
  }
}

Bytes mutate(const Bytes& base, std::mt19937& rng, std::size_t headerBytes) {
  Bytes b = base;
  std::uniform_int_distribution<int> kind(0, 3);
  const std::size_t span = std::min(headerBytes, b.size());
  switch (kind(rng)) {
    case 0: {  // truncate anywhere
      b.resize(std::uniform_int_distribution<std::size_t>(0, b.size() - 1)(rng));
      break;
    }
    case 1: {  // flip a few header bytes
      const int n = std::uniform_int_distribution<int>(1, 4)(rng);
      for (int i = 0; i < n; ++i)
        b[std::uniform_int_distribution<std::size_t>(0, span - 1)(rng)] ^=
            std::uniform_int_distribution<int>(1, 255)(rng);
      break;
    }
    case 2: {  // overwrite a header byte with a character that header scans care about
      const char special[] = {'0', '9', '-', ' ', '\n', '#', 'P', '5', '6', '\0', '\xff'};
      b[std::uniform_int_distribution<std::size_t>(0, span - 1)(rng)] =
          special[std::uniform_int_distribution<int>(0, sizeof(special) - 1)(rng)];
      break;
    }
    default: {  // both: mutate, then cut
      b[std::uniform_int_distribution<std::size_t>(0, span - 1)(rng)] ^= 0x5a;
      b.resize(std::uniform_int_distribution<std::size_t>(0, b.size())(rng));
      break;
    }
  }
  return b;
}

TEST(Fuzz, MutatedHeadersAndTruncationsLoadOrThrow) {
  tessivar_test::TempDir dir;
  std::vector<std::vector<unsigned char>> rgbRows(6, std::vector<unsigned char>(21));
  for (int y = 0; y < 6; ++y)
    for (int i = 0; i < 21; ++i) rgbRows[y][i] = (y * 21 + i) & 0xff;
  png_test::writeRaw(dir.file("rgb.png"), 7, 6, PNG_COLOR_TYPE_RGB, 8, rgbRows);
  std::vector<std::vector<unsigned char>> greyRows(5, std::vector<unsigned char>(8, 0x42));
  png_test::writeRaw(dir.file("grey.png"), 4, 5, PNG_COLOR_TYPE_GRAY, 16, greyRows, true);
  const Bytes rgbPng = png_test::readBytes(dir.file("rgb.png"));
  const Bytes greyPng = png_test::readBytes(dir.file("grey.png"));

  std::string ppmText = "P6\n# c\n7 6\n255\n" + std::string(7 * 6 * 3, 'a');
  std::string pgmText = "P5 7 6 255\n" + std::string(7 * 6, 'b');
  const Bytes ppm(ppmText.begin(), ppmText.end()), pgm(pgmText.begin(), pgmText.end());

  std::mt19937 rng(20240611u);
  const std::string path = dir.file("mutant");
  // Per source: mutants that loaded and mutants that were refused. Both must occur: a reader
  // that refuses everything, or accepts everything, is as wrong as one that crashes.
  int loaded[4] = {}, refused[4] = {};
  testing::internal::CaptureStderr();  // libpng and the readers report on standard error
  for (int i = 0; i < 600; ++i) {
    const int source = i % 4;
    const Bytes& base = source == 0 ? rgbPng : source == 1 ? greyPng : source == 2 ? ppm : pgm;
    const Bytes b = mutate(base, rng, source < 2 ? 64 : 20);
    png_test::writeBytes(path, b);
    const bool png = source < 2;
    bool ok = false;
    readAll(path, png, ok);
    ++(ok ? loaded : refused)[source];
    if (png) {
      CTensor<float> t;
      attempt([&] { t.readFromPNG(path.c_str(), true); });
    }
  }
  // Checksum-correct headers with absurd sizes.
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
      {0, 6},          {7, 0},          {0x7fffffffu, 1}, {0x80000000u, 2}, {0xffffffffu, 0xffffffffu},
      {1000000, 1000000}, {50000, 40000}, {1, 1000},       {70, 60}};
  for (const auto& s : sizes) {
    bool ok;
    png_test::writeBytes(path, withSizes(rgbPng, s.first, s.second));
    readAll(path, true, ok);
    png_test::writeBytes(path, withSizes(greyPng, s.first, s.second));
    readAll(path, true, ok);
  }
  testing::internal::GetCapturedStderr();
  for (int source = 0; source < 4; ++source) {
    EXPECT_GT(loaded[source], 0) << "source " << source;
    EXPECT_GT(refused[source], 0) << "source " << source;
  }
}

TEST(Fuzz, OversizedPngHeadersAreRefusedBeforeAllocation) {
  tessivar_test::TempDir dir;
  std::vector<std::vector<unsigned char>> rows(2, std::vector<unsigned char>(6, 1));
  png_test::writeRaw(dir.file("a.png"), 2, 2, PNG_COLOR_TYPE_RGB, 8, rows);
  const std::string path = dir.file("big.png");
  // 40000 x 20000 x 3 samples do not fit an int; libpng itself accepts sizes up to 1000000.
  png_test::writeBytes(path, withSizes(png_test::readBytes(dir.file("a.png")), 40000, 20000));
  CTensor<float> t;
  EXPECT_THROW_MESSAGE(t.readFromPNG(path.c_str(), false),
                       "CTensor::readFromPNG: Image of file " + path + " is too large");
}

}  // namespace
