// PPM and PGM files and the choice of format by extension.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "cmatrix/CTensor.h"
#include "png_writer.h"
#include "support/test_support.h"

namespace {

using png_test::readBytes;
using png_test::writeBytes;
using png_test::writeText;

std::string raster(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(char(i * 10 + 1));
  return s;
}

float at(const CTensor<float>& t, int x, int y, int z) {
  return t.data[(z * t.ySize + y) * t.xSize + x];
}

void expectFourByTwoColour(const CTensor<float>& t) {
  ASSERT_EQ(t.xSize, 4);
  ASSERT_EQ(t.ySize, 2);
  ASSERT_EQ(t.zSize, 3);
  // Byte i of the raster: pixel i / 3, channel i % 3.
  for (int i = 0; i < 24; ++i)
    EXPECT_EQ(at(t, (i / 3) % 4, (i / 3) / 4, i % 3), float((unsigned char)(i * 10 + 1))) << i;
}

TEST(Netpbm, HeadersOnSeveralLinesOrOneLineReadTheSame) {
  tessivar_test::TempDir dir;
  writeText(dir.file("a.ppm"), "P6\n# made by hand\n4 2\n255\n" + raster(24));
  writeText(dir.file("b.ppm"), "P6 4 2 255\n" + raster(24));
  // Anything before the first P is skipped; tabs and CR are whitespace.
  writeText(dir.file("c.ppm"), "xyzP6\r\n\n4\t2 255\n" + raster(24));
  for (const char* name : {"a.ppm", "b.ppm", "c.ppm"}) {
    SCOPED_TRACE(name);
    CTensor<float> t;
    t.readFromPPM(dir.file(name).c_str());
    expectFourByTwoColour(t);
  }
}

// Netpbm's header rules: whitespace is blank, tab, CR or LF; a comment runs from '#' to the end
// of its line wherever whitespace may stand; one whitespace character ends the header. Samples
// are 2 bytes, most significant first, when the maximum value exceeds 255, and every sample is
// scaled to round(v * 255 / maxval).
TEST(Netpbm, HeaderCommentsWhitespaceAndMaximumValues) {
  tessivar_test::TempDir dir;
  const std::string path = dir.file("x.ppm");
  for (const std::string header :
       {"P6\n4 2\n#x 1\n255\n", "P6#c 7\n4#c 9\r2\t255\r", "P6\t4\r\n2 255#c 7\n",
        "P6 4\n# 3\n\n#\n2 255\t"}) {
    SCOPED_TRACE(header);
    writeText(path, header + raster(24));
    CTensor<float> t;
    t.readFromPPM(path.c_str());
    expectFourByTwoColour(t);
  }

  struct Case {
    std::string file;
    std::vector<float> want;  // plane 0, then plane 1, ...
  };
  const std::vector<Case> cases = {
      {std::string("P5 4 1 65535\n") + std::string("\x00\x00\x01\x01\x80\x80\xff\xff", 8),
       {0, 1, 128, 255}},
      {"P5 4 1 15\n" + std::string("\x00\x01\x07\x0f", 4), {0, 17, 119, 255}},
      {"P5 3 1 10\n" + std::string("\x01\x03\x0a", 3), {26, 77, 255}},  // halves round up
      {"P5 2 1 1\n" + std::string("\x00\x01", 2), {0, 255}},
      {"P6 2 1 1000\n" + std::string("\x00\x02\x03\xe8\x01\xf4\x00\x00\x00\x01\x00\x04", 12),
       {1, 0, 255, 0, 128, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.substr(0, c.file.find('\n')));
    writeText(path, c.file);
    CTensor<float> t;
    t.readFromPPM(path.c_str());
    ASSERT_EQ(std::size_t(t.xSize) * t.ySize * t.zSize, c.want.size());
    EXPECT_EQ(std::vector<float>(t.data, t.data + c.want.size()), c.want);
  }

  // Refused, naming the file: maximum values outside 1..65535, a sample above the maximum value,
  // and headers that never end (a symlink to /dev/zero must not keep the reader spinning).
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"P5 1 1 0\n\x00", "Invalid maximum value in the header of "},
      {"P5 1 1 65536\n\x00\x00", "Invalid maximum value in the header of "},
      {"P5 1 1 255x\x00", "Invalid maximum value in the header of "},
      {"P5 2 1 15\n\x0f\x10", "Sample above the maximum value in "},
      {"P5 1 1 300\n\x01\x2d", "Sample above the maximum value in "},
      {"P5 1 1 #" + std::string(70000, 'c'), "Header too long in "},
      {std::string(70000, '\0'), "Header too long in "},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.first.substr(0, 20));
    writeText(path, b.first);
    CTensor<float> t;
    EXPECT_THROW_MESSAGE(t.readFromPGM(path.c_str()),
                         "CTensor::readFromPGM: " + b.second + "file " + path);
  }
  const std::string zero = dir.file("zero.ppm");
  std::filesystem::create_symlink("/dev/zero", zero);
  CTensor<float> t;
  EXPECT_THROW_MESSAGE(t.readFromPPM(zero.c_str()),
                       "CTensor::readFromPPM: Header too long in file " + zero);
}

// After the maximum value some writers end the line with more than one whitespace character
// (blanks, CR LF). The reader takes the raster right after one whitespace character, or after the
// end of that line, whichever leaves exactly the raster's size; Netpbm's reading when both or
// neither do. Streams (FIFOs) are read to their end first.
TEST(Netpbm, HeaderEndTakesTheReadingThatLeavesTheRastersSize) {
  tessivar_test::TempDir dir;
  std::string nl = raster(8);
  nl[0] = '\n';  // a raster whose first sample is a line end, and another one inside
  nl[5] = '\n';
  struct Case {
    std::string header, raster, samples;  // samples: the 8 bytes that must be read
  };
  const std::vector<Case> cases = {
      {"P5 4 2 255 \n", raster(8), raster(8)},   // trailing blank: through the line end
      {"P5 4 2 255\r\n", raster(8), raster(8)},  // CR LF: likewise
      {"P5 4 2 255\t \r\n", nl, nl},
      {"P5 4 2 255 ", nl, nl},  // one blank, then a raster holding line ends
      {"P5 4 2 255\n", nl, nl},
      {"P5 4 2 255 \n", raster(8) + "x", "\n" + raster(7)},  // neither fits: Netpbm's reading
  };
  const std::string path = dir.file("h.pgm");
  const std::string fifo = dir.file("fifo.pgm");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.header));
    writeText(path, c.header + c.raster);
    CTensor<float> t;
    t.readFromPGM(path.c_str());
    ASSERT_EQ(t.xSize, 4);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(t.data[i], float((unsigned char)c.samples[i])) << i;

    std::thread writer([&] {
      const int fd = open(fifo.c_str(), O_WRONLY);
      const std::string bytes = c.header + c.raster;
      EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
      close(fd);
    });
    CTensor<float> s;
    s.readFromPGM(fifo.c_str());
    writer.join();
    EXPECT_EQ(std::vector<float>(s.data, s.data + 8), std::vector<float>(t.data, t.data + 8));
  }
}

TEST(Netpbm, WrittenFilesReadBack) {
  tessivar_test::TempDir dir;
  CTensor<unsigned char> t(5, 3, 3);
  for (int i = 0; i < 45; ++i) t.data[i] = (i * 53 + 3) & 0xff;
  const std::string ppm = dir.file("x.ppm");
  t.writeToPPM(ppm.c_str());
  const std::vector<unsigned char> bytes = readBytes(ppm);
  const std::string header = "P6 \n5 3 \n255\n";
  ASSERT_EQ(bytes.size(), header.size() + 45);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + header.size()), header);
  // Interleaved on disk: pixel (1, 0) is planes 0, 1, 2 at index 1.
  EXPECT_EQ(bytes[header.size() + 3], t.data[1]);
  EXPECT_EQ(bytes[header.size() + 4], t.data[15 + 1]);
  EXPECT_EQ(bytes[header.size() + 5], t.data[30 + 1]);

  CTensor<float> back;
  back.readFromPPM(ppm.c_str());
  ASSERT_EQ(back.xSize, 5);
  ASSERT_EQ(back.ySize, 3);
  ASSERT_EQ(back.zSize, 3);
  for (int i = 0; i < 45; ++i) EXPECT_EQ(back.data[i], float(t.data[i]));

  // Planes after the third are not written.
  CTensor<unsigned char> four(5, 3, 4);
  std::copy(t.data, t.data + 45, four.data);
  std::fill(four.data + 45, four.data + 60, 99);
  four.writeToPPM(dir.file("four.ppm").c_str());
  EXPECT_EQ(readBytes(dir.file("four.ppm")), bytes);

  CTensor<unsigned char> g(3, 2, 1);
  for (int i = 0; i < 6; ++i) g.data[i] = 250 - i;
  const std::string pgm = dir.file("g.pgm");
  g.writeToPGM(pgm.c_str());
  CTensor<float> gb;
  gb.readFromPGM(pgm.c_str());
  ASSERT_EQ(gb.zSize, 1);
  ASSERT_EQ(gb.xSize, 3);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(gb.data[i], float(250 - i));
  // readFromPPM accepts P5 as one plane.
  CTensor<float> gp;
  gp.readFromPPM(pgm.c_str());
  EXPECT_EQ(gp.zSize, 1);
}

TEST(Netpbm, PgmWriterTilesThePlanes) {
  tessivar_test::TempDir dir;
  CTensor<unsigned char> t(10, 10, 4);
  for (int k = 0; k < 4; ++k) std::fill(t.data + k * 100, t.data + (k + 1) * 100, 10 * (k + 1));
  const std::string path = dir.file("tiles.pgm");
  t.writeToPGM(path.c_str());
  const std::vector<unsigned char> bytes = readBytes(path);
  const std::string header = "P5 \n20 20 \n255\n";
  ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + header.size()), header);
  CTensor<float> back;
  back.readFromPGM(path.c_str());
  ASSERT_EQ(back.xSize, 20);
  ASSERT_EQ(back.ySize, 20);
  EXPECT_EQ(at(back, 0, 0, 0), 10);    // plane 0 top left
  EXPECT_EQ(at(back, 19, 9, 0), 20);   // plane 1 top right
  EXPECT_EQ(at(back, 0, 10, 0), 30);   // plane 2 bottom left
  EXPECT_EQ(at(back, 19, 19, 0), 40);  // plane 3 bottom right

  // 5 planes: 2 x 3 tiles, the last one black; 2 planes: 1 x 2.
  CTensor<unsigned char> five(2, 1, 5);
  for (int i = 0; i < 10; ++i) five.data[i] = 1 + i / 2;
  five.writeToPGM(path.c_str());
  back.readFromPGM(path.c_str());
  ASSERT_EQ(back.xSize, 6);
  ASSERT_EQ(back.ySize, 2);
  const float want[] = {1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 0, 0};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(back.data[i], want[i]) << i;
  CTensor<unsigned char> two(3, 2, 2);
  two.writeToPGM(path.c_str());
  back.readFromPGM(path.c_str());
  EXPECT_EQ(back.xSize, 6);
  EXPECT_EQ(back.ySize, 2);
}

TEST(Netpbm, WrongMagicNumbersThrowEInvalidFileFormatWithoutChangingTheTensor) {
  tessivar_test::TempDir dir;
  writeText(dir.file("c.ppm"), "P6\n1 1\n255\nabc");
  writeText(dir.file("p3.ppm"), "P3\n1 1\n255\n1 2 3\n");
  CTensor<float> t(1, 1, 1);
  t.data[0] = 5;
  // The exception carries its text; the reader that catches it reports, nothing else does.
  const auto thrown = [](const std::function<void()>& read) {
    testing::internal::CaptureStderr();
    std::string text = "nothing thrown";
    try {
      read();
    } catch (const EInvalidFileFormat& e) {
      text = e.what();
    }
    return testing::internal::GetCapturedStderr() + text;
  };
  EXPECT_EQ(thrown([&] { t.readFromPGM(dir.file("c.ppm").c_str()); }), "File is not in PGM format");
  EXPECT_EQ(thrown([&] { t.readFromPPM(dir.file("p3.ppm").c_str()); }), "File is not in PPM format");
  EXPECT_EQ(t.zSize, 1);
  EXPECT_EQ(t.data[0], 5);
}

TEST(Netpbm, ShortMissingAndAbsurdFilesAreRefused) {
  tessivar_test::TempDir dir;
  CTensor<float> t(1, 1, 1);
  t.data[0] = 5;
  const std::string missing = dir.file("none.ppm");
  testing::internal::CaptureStderr();
  EXPECT_THROW_MESSAGE(t.readFromPPM(missing.c_str()),
                       "CTensor::readFromPPM: Cannot open file " + missing +
                           ": No such file or directory");
  // As the Netpbm readers always have, the missing file is told on standard error too.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "File not found: " + missing + "\n(No such file or directory)\n");

  const std::string cut = dir.file("cut.ppm");
  writeText(cut, "P6\n4 2\n255\n" + raster(19));  // five bytes short
  EXPECT_THROW_MESSAGE(t.readFromPPM(cut.c_str()),
                       "CTensor::readFromPPM: Unexpected end of file in the raster of file " + cut);
  const std::string huge = dir.file("huge.pgm");
  writeText(huge, "P5\n40000 40000\n255\n" + raster(10));  // claims 1.6 GB
  EXPECT_THROW_MESSAGE(t.readFromPGM(huge.c_str()),
                       "CTensor::readFromPGM: Unexpected end of file in the raster of file " + huge);

  const std::vector<std::pair<std::string, std::string>> headers = {
      {"", "Unexpected end of file in the header of "},
      {"P6", "Unexpected end of file in the header of "},
      {"P6\n# comment", "Unexpected end of file in the header of "},
      {"P6\n4 2", "Unexpected end of file in the header of "},
      {"P6\n4 2 255", "Unexpected end of file in the header of "},
      {"P6\n-4 2\n255\n", "Invalid image size in the header of "},
      {"P6\n 4 2\n255\n", "Unexpected end of file in the raster of "},
      {"P64 2 255\n", "Invalid image size in the header of "},
      {"P6\n99999999999 2\n255\n", "Invalid image size in the header of "},
      {"P6\n65536 65536\n255\n", "Invalid image size in the header of "},
      {"P6\n30000 30000\n255\n", "Invalid image size in the header of "},
  };
  const std::string bad = dir.file("bad.ppm");
  for (const auto& h : headers) {
    writeText(bad, h.first);
    EXPECT_THROW_MESSAGE(t.readFromPPM(bad.c_str()),
                         "CTensor::readFromPPM: " + h.second + "file " + bad)
        << h.first;
  }
  testing::internal::CaptureStderr();
  EXPECT_THROW_MESSAGE(t.readFromPGM(dir.path().c_str()),
                       "CTensor::readFromPGM: Cannot open file " + dir.path() + ": Is a directory");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "File not found: " + dir.path() + "\n(Is a directory)\n");
  EXPECT_EQ(t.xSize, 1);
  EXPECT_EQ(t.data[0], 5);

  // A zero-sized image is no error.
  writeText(bad, "P6\n0 3\n255\n");
  t.readFromPPM(bad.c_str());
  EXPECT_EQ(t.xSize, 0);
  EXPECT_EQ(t.ySize, 3);
}

TEST(Netpbm, WritersRefuseTooFewPlanesAndUnopenableFiles) {
  tessivar_test::TempDir dir;
  const std::string path = dir.file("x.ppm");
  CTensor<unsigned char> two(2, 2, 2);
  EXPECT_THROW_MESSAGE(two.writeToPPM(path.c_str()), "CTensor::writeToPPM: zSize must be at least 3");
  EXPECT_FALSE(std::filesystem::exists(path));
  CTensor<unsigned char> none(2, 2, 0);
  EXPECT_THROW_MESSAGE(none.writeToPGM(path.c_str()), "CTensor::writeToPGM: zSize must be at least 1");
  CTensor<unsigned char> three(2, 2, 3);
  const std::string bad = dir.file("no/such/dir.ppm");
  const std::string missing = ": No such file or directory";
  EXPECT_THROW_MESSAGE(three.writeToPPM(bad.c_str()),
                       "CTensor::writeToPPM: Cannot open file " + bad + missing);
  EXPECT_THROW_MESSAGE(three.writeToPGM(bad.c_str()),
                       "CTensor::writeToPGM: Cannot open file " + bad + missing);
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_THROW_MESSAGE(three.writeToPPM("/dev/full"),
                         "CTensor::writeToPPM: Could not write file /dev/full");
  }
}

TEST(Netpbm, ExtensionChoosesTheFormat) {
  tessivar_test::TempDir dir;
  CTensor<unsigned char> t(2, 2, 3);
  for (int i = 0; i < 12; ++i) t.data[i] = i * 20;
  // Writers: each file must start with its own format's magic bytes.
  const std::vector<std::pair<std::string, std::string>> writes = {
      {"a.b.ppm", "P6"}, {"c.PPM", "P6"}, {"d.pgm", "P5"}, {"e.PGM", "P5"},
      {"f.png", "\x89PNG"}, {"IMAGE.PNG", "\x89PNG"}};
  for (const auto& w : writes) {
    const std::string path = dir.file(w.first);
    t.writeToImage(path.c_str());
    const std::vector<unsigned char> bytes = readBytes(path);
    ASSERT_GE(bytes.size(), w.second.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + w.second.size()), w.second) << w.first;
    CTensor<float> back;
    back.readFromImage(path.c_str());
    EXPECT_EQ(back.zSize, w.second == "P5" ? 1 : 3) << w.first;
  }
  for (const char* name : {"image.Png", "image.jpg", "noext"}) {
    const std::string path = dir.file(name);
    EXPECT_THROW_MESSAGE(t.writeToImage(path.c_str()), "Image file format not supported");
    EXPECT_FALSE(std::filesystem::exists(path));
    CTensor<float> r;
    EXPECT_THROW_MESSAGE(r.readFromImage(path.c_str()), "Image file format not supported");
  }
  // A name without a dot is taken whole: "png" is a PNG (a folder path would not be).
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  t.writeToImage("png");
  CTensor<float> back;
  back.readFromImage("png");
  std::filesystem::current_path(cwd);
  EXPECT_EQ(readBytes(dir.file("png"))[1], 'P');
  EXPECT_EQ(back.zSize, 3);
  EXPECT_EQ(back.data[11], 220);
}

}  // namespace
