// PNG files: round trips, accepted and refused formats, byte order, interlacing, bad files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "cmatrix/CMatrix.h"
#include "cmatrix/CTensor.h"
#include "png_writer.h"
#include "support/test_support.h"

namespace {

using png_test::writeRaw;
using Rows = std::vector<std::vector<unsigned char>>;

// Interleaved RGB(A) rows with distinct bytes per pixel and channel.
Rows colourRows(int w, int h, int channels) {
  Rows rows(h, std::vector<unsigned char>(std::size_t(w) * channels));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) rows[y][x * channels + c] = (y * 31 + x * 7 + c * 50) & 0xff;
  return rows;
}

float tensorAt(const CTensor<float>& t, int x, int y, int z) {
  return t.data[(z * t.ySize + y) * t.xSize + x];
}

TEST(Png, RgbaFileKeepsOrDropsAlphaByFlag) {
  tessivar_test::TempDir dir;
  const std::string path = dir.file("rgba.png");
  const Rows rows = colourRows(5, 3, 4);
  writeRaw(path, 5, 3, PNG_COLOR_TYPE_RGBA, 8, rows);

  CTensor<float> all;
  all.readFromPNG(path.c_str(), false);
  ASSERT_EQ(all.xSize, 5);
  ASSERT_EQ(all.ySize, 3);
  ASSERT_EQ(all.zSize, 4);
  CTensor<float> rgb;
  rgb.readFromPNG(path.c_str(), true);
  ASSERT_EQ(rgb.zSize, 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(tensorAt(all, x, y, c), rows[y][x * 4 + c]);
        if (c < 3) {
          EXPECT_EQ(tensorAt(rgb, x, y, c), rows[y][x * 4 + c]);
        }
      }
}

TEST(Png, RoundTripsOfThreeAndFourPlanes) {
  tessivar_test::TempDir dir;
  for (int planes : {3, 4}) {
    CTensor<unsigned char> t(6, 4, planes);
    for (int i = 0; i < 6 * 4 * planes; ++i) t.data[i] = (i * 37 + 11) & 0xff;
    const std::string path = dir.file("rt" + std::to_string(planes) + ".png");
    t.writeToPNG(path.c_str());

    CTensor<float> back;
    back.readFromPNG(path.c_str(), false);
    ASSERT_EQ(back.zSize, planes);
    ASSERT_EQ(back.xSize, 6);
    ASSERT_EQ(back.ySize, 4);
    for (int i = 0; i < 6 * 4 * planes; ++i) EXPECT_EQ(back.data[i], float(t.data[i])) << i;

    // The float writer writes the same file for the same values.
    CTensor<float> f(6, 4, planes);
    for (int i = 0; i < 6 * 4 * planes; ++i) f.data[i] = float(t.data[i]);
    const std::string path2 = dir.file("rtf" + std::to_string(planes) + ".png");
    f.writeToPNG(path2.c_str());
    EXPECT_EQ(png_test::readBytes(path), png_test::readBytes(path2));
  }
}

TEST(Png, FloatElementsAreTruncatedToTheirLowByte) {
  tessivar_test::TempDir dir;
  const float values[] = {255.9f, 256.0f, -0.5f, 254.9f, -1.0f, 300.7f, 1e10f, 7.0f, NAN};
  const unsigned char expected[] = {255, 0, 0, 254, 255, 44, 0, 7, 0};
  const int n = 9;
  CTensor<float> t(n, 1, 3);
  for (int c = 0; c < 3; ++c)
    for (int x = 0; x < n; ++x) t.data[c * n + x] = values[x];
  const std::string path = dir.file("bytes.png");
  t.writeToPNG(path.c_str());
  CTensor<float> back;
  back.readFromPNG(path.c_str(), false);
  for (int c = 0; c < 3; ++c)
    for (int x = 0; x < n; ++x) EXPECT_EQ(tensorAt(back, x, 0, c), expected[x]) << values[x];
}

TEST(Png, WritersRefuseOtherPlaneCountsBeforeCreatingTheFile) {
  tessivar_test::TempDir dir;
  for (int planes : {1, 2, 5}) {
    const std::string path = dir.file("p.png");
    CTensor<unsigned char> t(2, 2, planes);
    EXPECT_THROW_MESSAGE(t.writeToPNG(path.c_str()), "CTensor::writeToPNG: zSize must be 3 or 4");
    CTensor<float> f(2, 2, planes);
    EXPECT_THROW_MESSAGE(f.writeToPNG(path.c_str()), "CTensor::writeToPNG: zSize must be 3 or 4");
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  CTensor<unsigned char> t(2, 2, 3);
  const std::string bad = dir.file("missing/x.png");
  EXPECT_THROW_MESSAGE(t.writeToPNG(bad.c_str()),
                       "CTensor::writeToPNG: Cannot open file " + bad +
                           ": No such file or directory");
}

TEST(Png, GreyscaleDepthFilesOf8And16Bits) {
  tessivar_test::TempDir dir;
  // 16-bit samples are big-endian in the file: 0x03 0xE8 is 1000.
  const std::string p16 = dir.file("d16.png");
  writeRaw(p16, 3, 2, PNG_COLOR_TYPE_GRAY, 16,
           {{0x03, 0xE8, 0xFF, 0xFE, 0x00, 0x01}, {0x12, 0x34, 0x00, 0x00, 0x80, 0x00}});
  CMatrix<unsigned short> m;
  m.readFromPNG(p16.c_str());
  ASSERT_EQ(m.xSize, 3);
  ASSERT_EQ(m.ySize, 2);
  const unsigned short want16[] = {1000, 65534, 1, 0x1234, 0, 0x8000};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(m.data[i], want16[i]) << i;

  // 8-bit samples are widened without scaling.
  const std::string p8 = dir.file("d8.png");
  writeRaw(p8, 2, 2, PNG_COLOR_TYPE_GRAY, 8, {{200, 0}, {255, 17}});
  m.readFromPNG(p8.c_str());
  ASSERT_EQ(m.xSize, 2);
  const unsigned short want8[] = {200, 0, 255, 17};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(m.data[i], want8[i]);
}

TEST(Png, InterlacedFilesReadLikeTheirTwins) {
  tessivar_test::TempDir dir;
  const Rows rows = colourRows(13, 11, 3);
  writeRaw(dir.file("plain.png"), 13, 11, PNG_COLOR_TYPE_RGB, 8, rows, false);
  writeRaw(dir.file("inter.png"), 13, 11, PNG_COLOR_TYPE_RGB, 8, rows, true);
  CTensor<float> a, b;
  a.readFromPNG(dir.file("plain.png").c_str(), false);
  b.readFromPNG(dir.file("inter.png").c_str(), false);
  ASSERT_EQ(b.xSize, 13);
  ASSERT_EQ(b.zSize, 3);
  for (int i = 0; i < 13 * 11 * 3; ++i) EXPECT_EQ(a.data[i], b.data[i]);

  Rows grey(9, std::vector<unsigned char>(14));
  for (int y = 0; y < 9; ++y)
    for (int i = 0; i < 14; ++i) grey[y][i] = (y * 14 + i) & 0xff;
  writeRaw(dir.file("g16.png"), 7, 9, PNG_COLOR_TYPE_GRAY, 16, grey, false);
  writeRaw(dir.file("g16i.png"), 7, 9, PNG_COLOR_TYPE_GRAY, 16, grey, true);
  CMatrix<unsigned short> m1, m2;
  m1.readFromPNG(dir.file("g16.png").c_str());
  m2.readFromPNG(dir.file("g16i.png").c_str());
  for (int i = 0; i < 7 * 9; ++i) EXPECT_EQ(m1.data[i], m2.data[i]);
}

TEST(Png, UnsupportedFormatsAreRefusedAndLeaveTheImageAlone) {
  tessivar_test::TempDir dir;
  writeRaw(dir.file("grey.png"), 2, 1, PNG_COLOR_TYPE_GRAY, 8, {{1, 2}});
  writeRaw(dir.file("ga.png"), 2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, {{1, 2, 3, 4}});
  writeRaw(dir.file("pal.png"), 2, 1, PNG_COLOR_TYPE_PALETTE, 8, {{0, 1}});
  writeRaw(dir.file("rgb16.png"), 1, 1, PNG_COLOR_TYPE_RGB, 16, {{0, 1, 0, 2, 0, 3}});
  writeRaw(dir.file("rgb.png"), 1, 1, PNG_COLOR_TYPE_RGB, 8, {{1, 2, 3}});
  writeRaw(dir.file("grey4.png"), 2, 1, PNG_COLOR_TYPE_GRAY, 4, {{0x12}});

  CTensor<float> t(1, 1, 1);
  t.data[0] = 42.0f;
  const std::string colourText =
      "CTensor::readFromPNG: Format not supported.  Expected RGB(A) image with 8-bit per channel";
  // The message says what the file holds.
  const std::vector<std::pair<const char*, const char*>> notColour = {
      {"grey.png", "greyscale, 8"}, {"ga.png", "greyscale+alpha, 8"}, {"pal.png", "palette, 8"},
      {"rgb16.png", "RGB, 16"}};
  for (const auto& f : notColour)
    EXPECT_THROW_MESSAGE(t.readFromPNG(dir.file(f.first).c_str(), false),
                         colourText + "; the file holds " + f.second + " bit per channel");
  EXPECT_EQ(t.xSize, 1);
  EXPECT_EQ(t.zSize, 1);
  EXPECT_EQ(t.data[0], 42.0f);

  CMatrix<unsigned short> m(1, 1);
  m.data[0] = 7;
  const std::string greyText =
      "CMatrix::readFromPNG: Format not supported.  Expected Greyscale image with 8 or 16 bit per "
      "channel";
  writeRaw(dir.file("grey1.png"), 8, 1, PNG_COLOR_TYPE_GRAY, 1, {{0x5a}});
  const std::vector<std::pair<const char*, const char*>> notGrey = {
      {"rgb.png", "RGB, 8"}, {"ga.png", "greyscale+alpha, 8"}, {"pal.png", "palette, 8"},
      {"grey4.png", "greyscale, 4"}, {"grey1.png", "greyscale, 1"}};
  for (const auto& f : notGrey)
    EXPECT_THROW_MESSAGE(m.readFromPNG(dir.file(f.first).c_str()),
                         greyText + "; the file holds " + f.second + " bit per channel");
  EXPECT_EQ(m.data[0], 7);
}

TEST(Png, BrokenFilesGiveTheirReadersMessages) {
  tessivar_test::TempDir dir;
  // The reason comes with the name, whose control bytes are escaped.
  const std::string missing = dir.file("missing\x1b]0;x\a\x1b[2J.png");
  const std::string shown = dir.file("missing\\x1b]0;x\\x07\\x1b[2J.png");
  EXPECT_THROW_MESSAGE(CTensor<float>().readFromPNG(missing.c_str(), false),
                       "CTensor::readFromPNG: Cannot open file " + shown +
                           ": No such file or directory");
  EXPECT_THROW_MESSAGE(CMatrix<unsigned short>().readFromPNG(missing.c_str()),
                       "CMatrix::readFromPNG: Cannot open file " + shown +
                           ": No such file or directory");

  const std::string shortFile = dir.file("short.png");
  png_test::writeBytes(shortFile, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a});
  EXPECT_THROW_MESSAGE(CTensor<float>().readFromPNG(shortFile.c_str(), false),
                       "CTensor::readFromPNG: Could not read header of file " + shortFile);
  EXPECT_THROW_MESSAGE(CMatrix<unsigned short>().readFromPNG(shortFile.c_str()),
                       "CMatrix::readFromPNG: Could not read header of file " + shortFile);
  EXPECT_THROW_MESSAGE(CTensor<float>().readFromPNG(dir.path().c_str(), false),
                       "CTensor::readFromPNG: Cannot open file " + dir.path() + ": Is a directory");

  const std::string notPng = dir.file("text.png");
  png_test::writeText(notPng, "P6 \n1 1 \n255\nabc");
  EXPECT_THROW_MESSAGE(CTensor<float>().readFromPNG(notPng.c_str(), false),
                       "CTensor::readFromPNG: File " + notPng + " is not a PNG");
  EXPECT_THROW_MESSAGE(CMatrix<unsigned short>().readFromPNG(notPng.c_str()),
                       "CMatrix::readFromPNG: File " + notPng + " is not a PNG");

  // Cut inside the header chunks, then inside the pixel data; a header chunk with a wrong
  // checksum. libpng's reason goes into the message, not to standard error.
  const std::string good = dir.file("good.png");
  writeRaw(good, 40, 30, PNG_COLOR_TYPE_RGB, 8, colourRows(40, 30, 3));
  const std::vector<unsigned char> bytes = png_test::readBytes(good);
  const std::string cut = dir.file("cut.png");
  testing::internal::CaptureStderr();
  png_test::writeBytes(cut, std::vector<unsigned char>(bytes.begin(), bytes.begin() + 20));
  CTensor<float> t(1, 1, 3);
  EXPECT_THROW_MESSAGE(t.readFromPNG(cut.c_str(), false),
                       "CTensor::readFromPNG: png_init_io failed (libpng: Read Error)");
  png_test::writeBytes(cut, std::vector<unsigned char>(bytes.begin(), bytes.end() - 40));
  EXPECT_THROW_MESSAGE(t.readFromPNG(cut.c_str(), false),
                       "CTensor::readFromPNG: png_read_image failed (libpng: Read Error)");
  std::vector<unsigned char> crc = bytes;
  crc[17] ^= 1;  // width, without a new checksum
  png_test::writeBytes(cut, crc);
  EXPECT_THROW_MESSAGE(t.readFromPNG(cut.c_str(), false),
                       "CTensor::readFromPNG: png_init_io failed (libpng: IHDR: CRC error)");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(t.xSize, 1);
}

// libpng's warnings are printed once per image: a read that stops at its size check (a look at
// the size before the real read) prints none.
TEST(Png, WarningsArePrintedOnlyByTheReadThatDecodes) {
  tessivar_test::TempDir dir;
  writeRaw(dir.file("c.png"), 2, 1, PNG_COLOR_TYPE_RGB, 8, colourRows(2, 1, 3));
  std::vector<unsigned char> bytes = png_test::readBytes(dir.file("c.png"));
  png_test::insertChunk(bytes, "tIME", {0x07, 0xe8, 1, 1, 0, 0});  // one byte short
  png_test::writeBytes(dir.file("c.png"), bytes);
  struct SizeSeen {};
  testing::internal::CaptureStderr();
  EXPECT_THROW(CTensor<float>().readFromPNG(dir.file("c.png").c_str(), false,
                                            [](int, int) { throw SizeSeen(); }),
               SizeSeen);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  CTensor<float> t;
  testing::internal::CaptureStderr();
  t.readFromPNG(dir.file("c.png").c_str(), false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "libpng warning: tIME: invalid\n");
  EXPECT_EQ(t.xSize, 2);
}

// A header read from a FIFO (whose length is unknown) may claim more pixels than memory holds:
// the failed allocation is reported with the file, not as a bare std::bad_alloc.
TEST(Png, AnAllocationFailureNamesTheFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator ends the process instead of throwing std::bad_alloc";
#endif
  tessivar_test::TempDir dir;
  writeRaw(dir.file("small.png"), 2, 2, PNG_COLOR_TYPE_GRAY, 16, {{0, 1, 0, 2}, {0, 3, 0, 4}});
  std::vector<unsigned char> bytes = png_test::readBytes(dir.file("small.png"));
  png_test::setSize(bytes, 40000, 40000);
  const std::string fifo = dir.file("fifo.png");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    // Room for the process as it is and half a gigabyte more: 3.2 GB cannot be had.
    long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld", &pages) != 1) _exit(2);
    std::fclose(statm);
    const rlim_t limit = rlim_t(pages) * sysconf(_SC_PAGESIZE) + (rlim_t(512) << 20);
    const rlimit rl = {limit, limit};
    setrlimit(RLIMIT_AS, &rl);
    const std::string want =
        "CMatrix::readFromPNG: Not enough memory for the 40000 x 40000 pixels of file " + fifo;
    try {
      CMatrix<unsigned short>().readFromPNG(fifo.c_str());
    } catch (const std::exception& e) {
      if (e.what() == want) _exit(0);
      std::fprintf(stderr, "%s\n", e.what());
    }
    _exit(1);
  }
  const int fd = open(fifo.c_str(), O_WRONLY);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
