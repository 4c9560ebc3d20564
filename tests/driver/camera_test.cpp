#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "camera.h"
#include "support/test_support.h"
#include "test_files.h"

namespace {

using driver_test::writeText;

// A scene folder with a colour image and depth maps of known values.
class CameraFileTest : public testing::Test {
 protected:
  tessivar_test::TempDir dir;
  std::string color, depth16, depth8;

  void SetUp() override {
    color = dir.file("color.png");
    depth16 = dir.file("depth16.png");
    depth8 = dir.file("depth8.png");
    driver_test::writeRgbPNG(color, 640, 480, 10, 20, 30);
    std::vector<unsigned short> d(640 * 480, 1000);
    d[0] = 1500;
    d[641] = 0;
    d[642] = 65535;
    driver_test::writeGreyPNG(depth16, 640, 480, 16, d);
    driver_test::writeGreyPNG(depth8, 640, 480, 8, std::vector<unsigned short>(640 * 480, 255));
  }

  std::string cameraText(const std::string& R, const std::string& t, const std::string& size,
                         const std::string& depth,
                         const std::string& K = "500 0 320\n0 500 240\n0 0 1") {
    return K + "\n" + R + "\n" + t + "\n" + size + "\n" + color + "\n" +
           depth + "\n";
  }
  std::string write(const std::string& name, const std::string& text) {
    writeText(dir.file(name), text);
    return dir.file(name);
  }
  // What reading `path` throws, "<nothing thrown>" when it is accepted; the reader's progress
  // line goes to stdout.
  static std::string readFailure(const std::string& path) {
    Camera cam;
    CMatrix<float> depth;
    testing::internal::CaptureStdout();
    std::string msg = "<nothing thrown>";
    try {
      read_camera_file(path, 0, cam, depth);
    } catch (const std::runtime_error& e) {
      msg = e.what();
    }
    testing::internal::GetCapturedStdout();
    return msg;
  }
};

TEST_F(CameraFileTest, ReadsIntrinsicsAndPoseInColumnOrderWithAMirroredPrincipalPoint) {
  const std::string path =
      write("c.txt", cameraText("0 -1 0\n1 0 0\n0 0 1", "1 0 0", "640 480", depth16) + " \n");
  Camera cam;
  CMatrix<float> depth;
  testing::internal::CaptureStdout();
  read_camera_file(path, 3, cam, depth);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reading file " + path + "\n");

  EXPECT_EQ(cam.K[0], 500.0f);
  EXPECT_EQ(cam.K[4], 500.0f);
  EXPECT_EQ(cam.K[3], 0.0f);  // row 0, column 1: the skew
  EXPECT_EQ(cam.K[1], 0.0f);
  EXPECT_EQ(cam.K[6], 319.0f);  // 639 - 320
  EXPECT_EQ(cam.K[7], 239.0f);  // 479 - 240
  EXPECT_EQ(cam.K[8], 1.0f);
  // R rows (0,-1,0), (1,0,0), (0,0,1) stored column by column.
  const float R[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(cam.R[k], R[k]) << k;
  EXPECT_EQ(cam.center.x, 0.0f);
  EXPECT_EQ(cam.center.y, 1.0f);
  EXPECT_EQ(cam.center.z, 0.0f);
  EXPECT_EQ(cam.index, 3);
  EXPECT_FALSE(cam.principal_point_unflipped);
  EXPECT_EQ(cam.width, 640);
  EXPECT_EQ(cam.image_file, color);
  ASSERT_EQ(cam.image.xSize, 640);
  EXPECT_EQ(cam.image.data[5].x, 10);
  EXPECT_EQ(cam.image.data[5].z, 30);

  ASSERT_EQ(depth.xSize, 640);
  ASSERT_EQ(depth.ySize, 480);
  EXPECT_EQ(depth.data[0], 1.5f);
  EXPECT_EQ(depth.data[1], 1.0f);
  EXPECT_EQ(depth.data[641], 0.0f);
  EXPECT_EQ(depth.data[642], 0.0f);  // the largest 16-bit value is no depth too
}

TEST_F(CameraFileTest, CentreAndLayoutOfTheValues) {
  const std::string path =
      write("c.txt", "500 0 320 0 500 240 0 0 1 1 0 0 0 1 0 0 0 1 1 2 3 640 480 " + color + " " +
                         depth8);
  Camera cam;
  CMatrix<float> depth;
  testing::internal::CaptureStdout();
  read_camera_file(path, 0, cam, depth);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(cam.center.x, -1.0f);
  EXPECT_EQ(cam.center.y, -2.0f);
  EXPECT_EQ(cam.center.z, -3.0f);
  EXPECT_EQ(cam.t.z, 3.0f);
  EXPECT_EQ(depth.data[100], 0.255f);  // 8-bit maps are thousandths too
}

TEST_F(CameraFileTest, LargerImagesScaleTheIntrinsicsOnce) {
  driver_test::writeRgbPNG(dir.file("big.png"), 1280, 960, 1, 2, 3);
  driver_test::writeGreyPNG(dir.file("bigdepth.png"), 1280, 960, 16,
                            std::vector<unsigned short>(1280 * 960, 800));
  color = dir.file("big.png");
  const std::string path =
      write("c.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", "640 480", dir.file("bigdepth.png")));
  Camera cam;
  CMatrix<float> depth;
  testing::internal::CaptureStdout();
  read_camera_file(path, 0, cam, depth);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(cam.width, 1280);
  EXPECT_EQ(cam.height, 960);
  EXPECT_EQ(cam.K[0], 1000.0f);
  EXPECT_EQ(cam.K[4], 1000.0f);
  EXPECT_EQ(cam.K[6], 638.0f);  // 2 * (639 - 320), not mirrored again
  EXPECT_EQ(cam.K[7], 478.0f);

  const Camera before = cam;
  const uchar4* pixels = cam.image.data;
  cam.loadImage();  // a second call changes nothing, and does not read the image again
  for (int k = 0; k < 9; ++k) EXPECT_EQ(cam.K[k], before.K[k]);
  EXPECT_EQ(cam.width, before.width);
  EXPECT_EQ(cam.height, before.height);
  EXPECT_EQ(cam.image.data, pixels);
}

TEST_F(CameraFileTest, BadFilesAreReportedWithTheirNameBeforeAnythingElse) {
  const std::string prefix = "read_camera_file: camera file \"";
  auto expectFailure = [&](const std::string& path, const std::string& problem) {
    EXPECT_EQ(readFailure(path), prefix + path + "\"\n" + problem);
  };

  expectFailure(dir.path(), "cannot be opened: Is a directory");
  expectFailure(dir.file("missing.txt"), "cannot be opened: No such file or directory");
  expectFailure(write("a.txt", "500 0 320 0 500 240 0 0"),
                "is cut short: it ends where K row 2 column 2 is expected");
  expectFailure(write("b.txt", "500 0 320 0 500 240 0 0 1 1 0 0 0 x 0 0 0 1"),
                "holds \"x\" where R row 1 column 1 is expected, which must be one finite number "
                "within the float range");
  expectFailure(write("c.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", "640 480", "")),
                "is cut short: it ends where the depth map path is expected");
  expectFailure(write("d.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", "0 480", depth16)),
                "gives the image size 0 x 480; width and height must be > 0");
  expectFailure(
      write("e.txt", "0 0 320 0 500 240 0 0 1 1 0 0 0 1 0 0 0 1 0 0 0 640 480 " + color + " " +
                         depth16),
      "gives fx = 0 and fy = 500; both must be at least 1 pixel");

  // Intrinsics that no camera has or that the road cannot use, and matrices that are no rotation
  // (tolerance 1e-2 on every entry of R R^T - I, det R > 0).
  const std::string id = "1 0 0 0 1 0 0 0 1";
  const std::string K = "500 0 320 0 500 240 0 0 1 ";
  const std::string not_rotation = "gives an R that is not a rotation: R R^T - I has an entry of magnitude ";
  const std::vector<std::pair<std::string, std::string>> impossible = {
      {"-500 0 320 0 500 240 0 0 1 " + id, "gives fx = -500 and fy = 500; both must be at least 1 pixel"},
      {"500 0 320 0 0.0001 240 0 0 1 " + id, "gives fx = 500 and fy = 0.0001; both must be at least 1 pixel"},
      {"0.78 0 0.5 0 1.04 0.5 0 0 1 " + id, "gives fx = 0.78 and fy = 1.04; both must be at least 1 pixel"},
      {"500 2 320 0 500 240 0 0 1 " + id,
       "gives K a skew of 2 (row 0, column 1), which moves pixels by up to 1.92 px over the image "
       "(|skew| x height / fy); tessivar ignores the skew, so it must move them by less than 0.1 px"},
      {"500 0.105 320 0 500 240 0 0 1 " + id,
       "gives K a skew of 0.105 (row 0, column 1), which moves pixels by up to 0.1008 px over the "
       "image (|skew| x height / fy); tessivar ignores the skew, so it must move them by less than "
       "0.1 px"},
      // Row 1, column 0 moves pixels along y by K(1,0) (x - cx) / fx.
      {"500 0 320 100 500 240 0 0 1 " + id,
       "gives K the entry 100 at row 1, column 0, which moves pixels by up to 128 px over the "
       "image (|K(1,0)| x width / fx); tessivar takes it as 0, so it must move them by less than "
       "0.1 px"},
      {"500 0 320 -0.08 500 240 0 0 1 " + id,
       "gives K the entry -0.08 at row 1, column 0, which moves pixels by up to 0.1024 px over the "
       "image (|K(1,0)| x width / fx); tessivar takes it as 0, so it must move them by less than "
       "0.1 px"},
      {"500 0 320 0 500 240 0 0 2 " + id, "gives K the last row (0, 0, 2); it must be (0, 0, 1)"},
      {"500 0 320 0 500 240 0.001 0 1 " + id, "gives K the last row (0.001, 0, 1); it must be (0, 0, 1)"},
      {"500 0 1e9 0 500 240 0 0 1 " + id,
       "gives the principal point (1e+09, 240); it must lie within [-640, 1280] x [-480, 960], the "
       "image widened by its size on every side"},
      {"500 0 -641 0 500 240 0 0 1 " + id, "gives the principal point (-641, 240); it must lie within "
       "[-640, 1280] x [-480, 960], the image widened by its size on every side"},
      {"500 0 320 0 500 961 0 0 1 " + id, "gives the principal point (320, 961); it must lie within "
       "[-640, 1280] x [-480, 960], the image widened by its size on every side"},
      {K + "10 0 0 0 10 0 0 0 10", not_rotation + "99 (at most 0.01 allowed)"},
      {K + "0 0 0 0 0 0 0 0 0", not_rotation + "1 (at most 0.01 allowed)"},
      {K + "1 0 0 1 0 0 0 0 1", not_rotation + "1 (at most 0.01 allowed)"},
      {K + "1.5 0 0 0 1 0 0 0 1", not_rotation + "1.25 (at most 0.01 allowed)"},
      {K + "1.01 0 0 0 1.01 0 0 0 1.01", not_rotation + "0.0201 (at most 0.01 allowed)"},
      // Sheared, det 1: the diagonal of R R^T is within the tolerance, an off-diagonal entry not.
      {K + "1 0.09 0 0 1 0 0 0 1", not_rotation + "0.09 (at most 0.01 allowed)"},
      {K + "-1 0 0 0 1 0 0 0 1", "gives an R that is not a rotation: det R = -1 (must be > 0)"},
      {"1e39 0 320 0 500 240 0 0 1 " + id,
       "holds \"1e39\" where K row 0 column 0 is expected, which must be one finite number within "
       "the float range"},
      {K + "nan 0 0 0 1 0 0 0 1", "holds \"nan\" where R row 0 column 0 is expected, which must be "
                                "one finite number within the float range"},
  };
  for (const auto& c : impossible)
    expectFailure(write("k.txt", c.first + " 0 0 0 640 480 " + color + " " + depth16), c.second);
  // Within the limits: a rotation written with three decimals (R R^T - I up to 0.0016), a
  // principal point at the edge of the allowed range, a skew that moves pixels by 0.096 px and a
  // K(1,0) that moves them by 0.0998 px.
  for (const std::string& fine :
       {K + "-0.257 0.711 0.654 0.321 0.702 -0.637 -0.912 0.046 -0.409",
        "500 0 1280 0 500 -480 0 0 1 " + id, "500 -0.1 320 0.078 500 240 0 0 1 " + id}) {
    EXPECT_EQ(readFailure(write("k.txt", fine + " 0 0 0 640 480 " + color + " " + depth16)),
              "<nothing thrown>");
  }

  driver_test::writeGreyPNG(dir.file("small.png"), 320, 240, 16,
                            std::vector<unsigned short>(320 * 240, 1));
  expectFailure(write("f.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", "640 480",
                                          dir.file("small.png"))),
                "the depth map \"" + dir.file("small.png") + "\" (320 x 240) and the colour image \"" +
                    color + "\" (640 x 480) differ in size");

  // Nothing may follow the depth map path: a value too many shifts the paths.
  expectFailure(write("h.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", "640 480", depth16) + "x"),
                "holds \"x\" after its last value: the numbers are followed by the colour image "
                "path \"" + color + "\" and the depth map path \"" + depth16 +
                    "\", and nothing may follow them");
  expectFailure(write("h.txt", "500 2 320 0 500 240 0 0 1 7 1 0 0 0 1 0 0 0 1 0 0 0 640 480 " +
                                   color + " " + depth16),
                "holds \"" + depth16 + "\" after its last value: the numbers are followed by the "
                "colour image path \"480\" and the depth map path \"" + color +
                    "\", and nothing may follow them");

  // Depth maps that cannot be read are named with the camera file; the depth map is read before
  // the colour image.
  const std::string depthWhat = "cannot read the depth map \"";
  const std::string cut = dir.file("cut.png");
  const std::string bytes = driver_test::readFile(depth16);
  writeText(cut, bytes.substr(0, bytes.size() - 40));
  const std::vector<std::pair<std::string, std::string>> badDepths = {
      {dir.file("no-depth.png"),
       "CMatrix::readFromPNG: Cannot open the file: No such file or directory"},
      {cut, "CMatrix::readFromPNG: png_read_image failed (libpng: Read Error)"},
      {color, "CMatrix::readFromPNG: Format not supported.  Expected Greyscale image with 8 or 16 "
              "bit per channel; the file holds RGB, 8 bit per channel"}};
  const std::string colorFile = color;
  color = dir.file("no-color.png");
  for (const auto& d : badDepths)
    expectFailure(write("g.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", "640 480", d.first)),
                  depthWhat + d.first + "\": " + d.second);
  color = colorFile;
}

// Paths are shown with their control bytes escaped, so that a message cannot retitle or clear
// the terminal; the image's name is given once, with the reason it cannot be read.
TEST_F(CameraFileTest, PathsInMessagesAreEscaped) {
  color = dir.file("c\x1b]0;owned\a\x1b[2J.png");
  const std::string path = write("cam\x1b[2J.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0",
                                                              "640 480", depth16));
  const std::string shownPath = dir.file("cam\\x1b[2J.txt");
  Camera cam;
  CMatrix<float> depth;
  testing::internal::CaptureStdout();
  std::string msg;
  try {
    read_camera_file(path, 0, cam, depth);
  } catch (const std::runtime_error& e) {
    msg = e.what();
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reading file " + shownPath + "\n");
  EXPECT_EQ(msg, "read_camera_file: camera file \"" + shownPath +
                     "\"\nCamera::loadImage: cannot read the colour image \"" +
                     dir.file("c\\x1b]0;owned\\x07\\x1b[2J.png") +
                     "\": CTensor::readFromPNG: Cannot open the file: No such file or directory");
}

// Each word is one value of its field's kind, and a word that is not is shown (quoted, escaped,
// shortened); the file itself is read within a bounded size and must be text.
TEST_F(CameraFileTest, WordsAreWholeValuesShownPrintablyInBoundedText) {
  const std::string id = " 1 0 0 0 1 0 0 0 1 0 0 0 ";
  auto problem = [&](const std::string& text) {
    const std::string path = write("w.txt", text);
    const std::string msg = readFailure(path);
    const std::string prefix = "read_camera_file: camera file \"" + path + "\"\n";
    return msg.rfind(prefix, 0) == 0 ? msg.substr(prefix.size()) : msg;
  };
  const std::string paths = " " + color + " " + depth16;
  const std::string K = "500 0 320 0 500 240 0 0 1";
  const std::string number = " is expected, which must be one finite number within the float range";
  EXPECT_EQ(problem("131.2.5 0 320 0 500 240 0 0 1" + id + "640 480" + paths),
            "holds \"131.2.5\" where K row 0 column 0" + number);
  EXPECT_EQ(problem("0x1f4 0 320 0 500 240 0 0 1" + id + "640 480" + paths),
            "holds \"0x1f4\" where K row 0 column 0" + number);
  EXPECT_EQ(problem(K + id + "160.5 480" + paths),
            "holds \"160.5\" where the width is expected, which must be one whole number within "
            "the int range");
  EXPECT_EQ(problem(K + id + "640 4800000000" + paths),
            "holds \"4800000000\" where the height is expected, which must be one whole number "
            "within the int range");
  EXPECT_EQ(problem(K + " +1.5e-3 .5 -0. 1E0 0 0 0 1 1 2 3 -4 +640 480" + paths).rfind("gives an R", 0),
            0u);  // forms a stream reads are taken
  // After the last value: one word, shown with its non-printable bytes escaped and cut.
  EXPECT_EQ(problem(K + id + "640 480" + paths + "\n\"\x1b[31m\\" + std::string(100, 'b') + " z"),
            "holds \"\\\"\\x1b[31m\\\\bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb\"... (107 bytes) after its "
            "last value: the numbers are followed by the colour image path \"" + color +
                "\" and the depth map path \"" + depth16 + "\", and nothing may follow them");
  // A NUL would cut the colour image path here and read another file.
  EXPECT_EQ(problem(K + id + "640 480 " + color + std::string(1, '\0') + "x " + depth16),
            "holds a NUL byte (at byte " + std::to_string(K.size() + id.size() + 8 + color.size()) +
                "); a camera file is text");
  const std::string tooLarge =
      "is larger than 1048576 bytes; a camera file holds 23 numbers and two paths";
  EXPECT_EQ(problem(K + id + "640 480" + paths + std::string(1 << 20, ' ')), tooLarge);
  // A FIFO has no size to check beforehand: the cap holds while it is read. The writer sends a
  // valid camera followed by blanks until the reader stops taking them.
  const std::string fifo = dir.file("fifo.txt");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
  std::thread writer([&] {
    const int fd = open(fifo.c_str(), O_WRONLY);
    const std::string head = K + id + "640 480" + paths, blanks(65536, ' ');
    bool ok = ::write(fd, head.data(), head.size()) == ssize_t(head.size());
    for (int i = 0; ok && i < 64; ++i) ok = ::write(fd, blanks.data(), blanks.size()) > 0;
    close(fd);
  });
  const std::string msg = readFailure(fifo);
  writer.join();
  std::signal(SIGPIPE, oldPipe);
  EXPECT_EQ(msg, "read_camera_file: camera file \"" + fifo + "\"\n" + tooLarge);
}

// An allocation that fails while a depth map is decoded is reported as a lack of memory, naming
// the camera file and the map, whether libpng's rows or the depths in world units do not fit.
TEST_F(CameraFileTest, OutOfMemoryWhileReadingNamesTheCameraAndTheImage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator ends the process instead of throwing "
                  "std::bad_alloc";
#endif
  // 6000 x 6000: 72 MB of 16-bit samples, then 144 MB of depths. Blocks above 64 MB come from
  // fresh mappings, which the limit counts, never from space the heap or a thread's arena holds.
  const std::string big = dir.file("big-depth.png");
  {
    std::vector<unsigned short> d(6000 * 6000);
    for (std::size_t i = 0; i < d.size(); ++i)
      d[i] = 1000 + (std::uint32_t(i / 64 * 2654435761u) >> 31);
    driver_test::writeGreyPNG(big, 6000, 6000, 16, d);
  }
  color = dir.file("no-color.png");  // the depth map is read first
  const std::string path =
      write("c.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", "6000 6000", big));
  // What reading throws in a child whose address space may grow by `room` bytes.
  const auto failure = [&](rlim_t room) {
    int fds[2];
    if (pipe(fds) != 0) return std::string("<no pipe>");
    const pid_t pid = fork();
    if (pid == 0) {
      ::close(fds[0]);
      ::dup2(::open("/dev/null", O_WRONLY), 1);
      long pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + room;
      const rlimit rl = {limit, limit};
      std::string msg = "<no limit>";
      if (setrlimit(RLIMIT_AS, &rl) == 0) {
        try {
          Camera cam;
          CMatrix<float> depth;
          read_camera_file(path, 0, cam, depth);
          msg = "<nothing thrown>";
        } catch (const std::exception& e) {
          msg = e.what();
        }
      }
      const bool sent = ::write(fds[1], msg.data(), msg.size()) == ssize_t(msg.size());
      _exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    std::string msg;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) msg.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return msg;
  };
  const std::string what = "read_camera_file: camera file \"" + path +
                           "\"\ncannot read the depth map \"" + big + "\": ";
  EXPECT_EQ(failure(16 << 20), what + "CMatrix::readFromPNG: Not enough memory for the 6000 x "
                                     "6000 pixels of the file");
  EXPECT_EQ(failure(100 << 20), what + "not enough memory");
}

// PNG's checksum of a chunk.
std::uint32_t crc32(const std::string& bytes, std::size_t from, std::size_t n) {
  std::uint32_t c = 0xffffffffu;
  for (std::size_t i = from; i < from + n; ++i) {
    c ^= (unsigned char)bytes[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return c ^ 0xffffffffu;
}

// The file of a small PNG whose header claims another size (with a valid checksum).
std::string withClaimedSize(std::string png, std::uint32_t w, std::uint32_t h) {
  auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) png[at + i] = char((v >> (24 - 8 * i)) & 0xff);
  };
  put(16, w);
  put(20, h);
  put(29, crc32(png, 12, 17));
  return png;
}

// Images far larger than the declared size are refused on their header, before their pixels are
// decoded or even allocated; that holds for a FIFO too, whose length is not known.
TEST_F(CameraFileTest, ImageSizesAreCheckedOnTheHeaderBeforeDecoding) {
  const std::string prefix = "read_camera_file: camera file \"" + dir.file("c.txt") + "\"\n";
  auto failure = [&](const std::string& depthFile) {
    return readFailure(write("c.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", "640 480", depthFile)));
  };

  const std::string bigDepth = dir.file("big-depth.png");
  writeText(bigDepth, withClaimedSize(driver_test::readFile(depth16), 40000, 40000));
  EXPECT_EQ(failure(bigDepth), prefix + "the depth map \"" + bigDepth +
                                   "\" (40000 x 40000) and the declared size 640 x 480 differ by "
                                   "more than a factor of 16");

  // Within the declared size's rule, but not the colour image's size (known from its header).
  writeText(bigDepth, withClaimedSize(driver_test::readFile(depth16), 4000, 3000));
  EXPECT_EQ(failure(bigDepth), prefix + "the depth map \"" + bigDepth +
                                   "\" (4000 x 3000) and the colour image \"" + color +
                                   "\" (640 x 480) differ in size");

  const std::string colourFile = color;
  color = dir.file("big-color.png");
  writeText(color, withClaimedSize(driver_test::readFile(colourFile), 16000, 12000));
  const std::string tooBig = "\" (16000 x 12000) and the declared size 640 x 480 differ by more "
                             "than a factor of 16";
  EXPECT_EQ(failure(depth16), prefix + "Camera::loadImage: the colour image \"" + color + tooBig);

  color = dir.file("fifo.ppm");
  ASSERT_EQ(mkfifo(color.c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = open(color.c_str(), O_WRONLY);
    const std::string header = "P6 16000 12000 255\n" + std::string(1000, 'x');
    EXPECT_EQ(::write(fd, header.data(), header.size()), ssize_t(header.size()));
    close(fd);
  });
  EXPECT_EQ(failure(depth16), prefix + "Camera::loadImage: the colour image \"" + color + tooBig);
  writer.join();
}

TEST_F(CameraFileTest, ColourImagesGreyUnreadableOrFarFromTheDeclaredSize) {
  Camera cam;
  CMatrix<float> depth;
  auto read = [&](const std::string& image, const std::string& size,
                  const std::string& K = "500 0 20 0 500 240 0 0 1") {
    color = image;
    const std::string path =
        write("c.txt", cameraText("1 0 0 0 1 0 0 0 1", "0 0 0", size, depth16, K));
    testing::internal::CaptureStdout();
    std::string msg;
    try {
      cam = Camera();
      read_camera_file(path, 0, cam, depth);
    } catch (const std::runtime_error& e) {
      msg = e.what();
    }
    testing::internal::GetCapturedStdout();
    return msg;
  };
  const std::string prefix = "read_camera_file: camera file \"" + dir.file("c.txt") + "\"\n";

  // A greyscale PGM is a grey colour image.
  std::string pgm = "P5 640 480 255\n" + std::string(640 * 480, '\x50');
  pgm[pgm.size() - 640 * 480 + 7] = '\x90';
  writeText(dir.file("grey.pgm"), pgm);
  EXPECT_EQ(read(dir.file("grey.pgm"), "640 480"), "");
  ASSERT_EQ(cam.image.xSize, 640);
  EXPECT_EQ(cam.image.data[7].x, 0x90);
  EXPECT_EQ(cam.image.data[7].y, 0x90);
  EXPECT_EQ(cam.image.data[7].z, 0x90);
  EXPECT_EQ(cam.image.data[7].w, 255);
  EXPECT_EQ(cam.image.data[8].y, 0x50);

  // Images that cannot be read are named; so is the camera file.
  const std::string what = "Camera::loadImage: cannot read the colour image \"";
  EXPECT_EQ(read(depth8, "640 480"),
            prefix + what + depth8 + "\": CTensor::readFromPNG: Format not supported.  Expected "
                                     "RGB(A) image with 8-bit per channel; the file holds "
                                     "greyscale, 8 bit per channel");
  EXPECT_EQ(read(dir.file("x.jpg"), "640 480"),
            prefix + what + dir.file("x.jpg") + "\": Image file format not supported");
  // A missing PPM or PGM image is also told on standard error, as the Netpbm readers do.
  testing::internal::CaptureStderr();
  EXPECT_EQ(read(dir.file("none\x7f.ppm"), "640 480"),
            prefix + what + dir.file("none\\x7f.ppm") +
                "\": CTensor::readFromPPM: Cannot open the file: No such file or directory");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "File not found: " + dir.file("none\\x7f.ppm") + "\n(No such file or directory)\n");
  writeText(dir.file("p3.ppm"), "P3 1 1 255\n1 2 3\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(read(dir.file("p3.ppm"), "640 480"),
            prefix + what + dir.file("p3.ppm") + "\": not a PPM or PGM file");
  testing::internal::GetCapturedStderr();
  writeText(dir.file("empty.ppm"), "P6 0 0 255\n");
  EXPECT_EQ(read(dir.file("empty.ppm"), "640 480"),
            prefix + what + dir.file("empty.ppm") + "\": it has 0 x 0 pixels");

  // The declared size may differ from the image's by a factor of 16 on either axis, no more.
  const std::string png = dir.file("color.png");
  driver_test::writeRgbPNG(png, 640, 480, 10, 20, 30);
  EXPECT_EQ(read(png, "40 7680"), "");
  EXPECT_EQ(cam.K[0], 8000.0f);  // 500 scaled by 16
  EXPECT_EQ(cam.K[4], 31.25f);   // and by 1/16
  // The depth map, read first, keeps the same rule.
  EXPECT_EQ(read(png, "39 480"),
            prefix + "the depth map \"" + depth16 +
                "\" (640 x 480) and the declared size 39 x 480 differ by more than a factor of 16");
  EXPECT_EQ(read(png, "100000 100000", "500 0 320 0 500 240 0 0 1"),
            prefix + "the depth map \"" + depth16 +
                "\" (640 x 480) and the declared size 100000 x 100000 differ by more than a factor "
                "of 16");
}

}  // namespace

namespace {

// The cameras of a run as a set: no camera twice, the first camera's fx sets the radii, and every
// camera must sit where the point grid can hold the points of all.
TEST(CameraSet, CopiesFirstCameraScaleAndFarCentresAreRefusedByName) {
  const std::vector<std::string> files = {"a.txt", "b.txt", "c.txt"};
  std::vector<Camera> cams(3);
  std::vector<CMatrix<float>> depths(3);
  for (int i = 0; i < 3; ++i) {
    cams[i].K[0] = 100.0f;
    cams[i].t = make_float3(-float(i), 0.0f, 0.0f);
    cams[i].center = make_float3(float(i), 0.0f, 0.0f);
    cams[i].image = CMatrix<uchar4>(2, 2);
    for (int k = 0; k < 4; ++k) cams[i].image.data[k] = make_uchar4(1, 2, 3, 255);
    depths[i] = CMatrix<float>(2, 2);
    for (int k = 0; k < 4; ++k) depths[i].data[k] = 1.5f;
  }
  const auto problem = [&](float depth_avg, float sp_radius, float depth) {
    try {
      check_camera_set(cams, depths, files, depth_avg, sp_radius, depth);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  // Grid cells of 1 / 100 = 0.01 span (65535 - 20) * 0.01 = 655.15; a camera may lie
  // 327.575 - 2 * 2 from the median (1).
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), "");
  cams[2].center.z = 323.5f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), "");
  cams[2].center.z = -323.7f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f),
            "check_camera_set: camera file \"c.txt\"\nhas its centre (2, 0, -323.7) 323.7 from the "
            "median of the camera centres along z; the point grid (65535 cells of 0.01) takes "
            "cameras within 323.575 of it, and one beyond would push the other cameras' points off "
            "the grid: check its t (and its unit) and --depth-avg");
  cams[2].center.z = 0.0f;
  cams[0].center.x = 1e30f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f).rfind("check_camera_set: camera file \"a.txt\"\nhas its centre", 0), 0u);
  cams[0].center.x = 0.0f;
  EXPECT_EQ(problem(1e-3f, 4.0f, 2.0f),
            "check_camera_set: the point grid spans only 0.65515 (65535 cells of 1e-05, the "
            "smallest radius, from --depth-avg and fx of the first camera), too little for depths "
            "up to 2: check --depth-avg");
  // Superpixels below a pixel in radius make the cells; then --superpixels is the cause.
  EXPECT_EQ(problem(1.0f, 1e-3f, 2.0f),
            "check_camera_set: the point grid spans only 0.65515 (65535 cells of 1e-05, the "
            "superpixel support radius, from --depth-avg, fx of the first camera and "
            "--superpixels), too little for depths up to 2: check --superpixels");

  // The first camera's fx may be from half to twice the median, whatever the others' order.
  for (float fine : {200.0f, 50.0f}) {
    cams[0].K[0] = fine;
    EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), "");
  }
  const std::string first = "check_camera_set: camera file \"a.txt\"\nis the first camera and has ";
  cams[0].K[0] = 201.0f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f).rfind(first + "fx = 201, more than twice the median fx of the "
                                            "cameras (100)", 0), 0u);
  cams[0].K[0] = 49.0f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f).rfind(first + "fx = 49, less than half the median fx of the "
                                            "cameras (100)", 0), 0u);
  // Just past the bound the numbers still tell the value from the bound; fy has fx's range.
  cams[0].K[0] = 200.0001f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f).rfind(first + "fx = 200.000107, more than twice the median "
                                            "fx of the cameras (100)", 0), 0u);
  cams[0].K[0] = 100.0f;
  for (Camera& c : cams) c.K[4] = 100.0f;
  cams[0].K[4] = 3.4e38f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f).rfind(first + "fy = 3.39999995e+38, more than twice the "
                                            "median fy of the cameras (100)", 0), 0u);
  cams[0].K[4] = 49.0f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f).rfind(first + "fy = 49, less than half", 0), 0u);
  cams[0].K[4] = 100.0f;
  std::swap(cams[0], cams[2]);  // the same camera last
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), "");

  // A copy of a camera: the same K, R, t and image contents under another name.
  cams[2] = cams[1];
  depths[2] = depths[1];
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f),
            "check_camera_set: camera file \"c.txt\"\nis a copy of the camera file \"b.txt\", given "
            "before: the same fx, fy, cx, cy, R and t and the same colour image and depth map "
            "contents; give each camera once");
  // Numbers compare as values (a -0 written 0 is the same camera), images by the channels the
  // filter reads (not the alpha an RGBA image brings).
  const std::string copy = problem(1.0f, 4.0f, 2.0f);
  cams[1].R[4] = -0.0f;
  cams[2].K[1] = -0.0f;
  cams[2].t.y = -0.0f;
  for (int k = 0; k < 4; ++k) cams[2].image.data[k].w = 0;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), copy);
  // Within rounding is the same: a pose and fx, fy, cx, cy 1e-9 apart at most (one pose computed
  // twice, sin(pi) against sin(-pi)); 2e-9 is another camera.
  cams[1].R[1] = 1.2246468e-16f;
  cams[2].R[1] = -1.2246468e-16f;
  cams[2].t.z = cams[2].K[7] = 5e-10f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), copy);
  cams[2].t.z = 2e-9f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), "");
  cams[2].t.z = 0.0f;
  // K by the entries the fusion reads: fx, fy, cx and cy; a skew below what the reader refuses
  // and the other entries leave the same camera.
  cams[2].K[3] = 1e-7f;
  cams[2].K[2] = cams[2].K[5] = 1e-7f;
  cams[2].K[8] = 1.0000001f;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), copy);
  for (int k : {0, 4, 6, 7}) {
    const float kept = cams[2].K[k];
    cams[2].K[k] += 0.5f;
    EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), "") << k;
    cams[2].K[k] = kept;
  }
  depths[2].data[3] = 1.25f;  // the same pose seen at another time
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), "");
  depths[2].data[3] = 1.5f;
  cams[2].image.data[0].x = 9;
  EXPECT_EQ(problem(1.0f, 4.0f, 2.0f), "");
}

}  // namespace
