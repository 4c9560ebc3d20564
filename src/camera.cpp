#include "camera.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string_view>
#include <stdexcept>

#include "cmatrix/CTensor.h"
#include "cmatrix/file_error.h"
#include "hashing.h"
#include "printable.h"

const float kMinFocalLength = 1.0f;
const float kMaxFirstFocalRatio = 2.0f;
const double kMaxSkewShift = 0.1;  // pixels
// A rotation written with three decimals is off by up to a few 1e-3; a matrix scaled by 1.01 is
// off by 0.02.
const double kRotationTolerance = 1e-2;

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& problem) {
  std::stringstream ss;
  ss << "read_camera_file: camera file \"" << printable_path(path) << "\"" << std::endl << problem;
  throw std::runtime_error(ss.str());
}

// Camera files hold 23 numbers and two paths, a few hundred bytes; a file far larger is not one,
// and reading it whole would cost its size in memory.
const std::size_t kMaxCameraFileBytes = std::size_t(1) << 20;
// Words are shortened in messages after kShownWordBytes; paths only when they exceed what a path
// can be.
const std::size_t kShownPathChars = 4096;

std::string errorText(int err) { return std::strerror(err); }

// The whole file, at most kMaxCameraFileBytes of it; a FIFO is read as it arrives.
std::string readCameraText(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    fail(path, "cannot be opened: " + errorText(err));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  std::stringstream tooLarge;
  tooLarge << "is larger than " << kMaxCameraFileBytes
           << " bytes; a camera file holds 23 numbers and two paths";
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    fail(path, "cannot be opened: " + errorText(err));
  }
  // A folder opens on Linux but cannot be read.
  if (S_ISDIR(st.st_mode)) fail(path, "cannot be opened: " + errorText(EISDIR));
  if (S_ISREG(st.st_mode) && std::uintmax_t(st.st_size) > kMaxCameraFileBytes)
    fail(path, tooLarge.str());
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      fail(path, "cannot be read: " + errorText(err));
    }
    if (n == 0) break;
    if (text.size() + std::size_t(n) > kMaxCameraFileBytes) fail(path, tooLarge.str());
    text.append(buffer, std::size_t(n));
  }
  return text;
}

// A word of the file as a message shows it: quoted, escaped as printable_path escapes (and the
// quote as \"), cut after `limit` bytes.
std::string shown(std::string_view token, std::size_t limit = kShownWordBytes) {
  const std::string_view part = token.substr(0, shown_word_bytes(token, limit));
  std::string out = "\"";
  for (std::size_t from = 0; from <= part.size();) {
    const std::size_t quote = std::min(part.find('"', from), part.size());
    out += printable_path(part.substr(from, quote - from));
    if (quote < part.size()) out += "\\\"";
    from = quote + 1;
  }
  out += '"';
  if (part.size() < token.size()) out += "... (" + std::to_string(token.size()) + " bytes)";
  return out;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The whitespace-separated words of a camera file, one at a time.
class Tokens {
 public:
  Tokens(const std::string& text, const std::string& path) : text_(text), path_(path) {}

  std::string_view next(const std::string& what) {
    std::string_view token;
    if (!tryNext(token)) fail(path_, "is cut short: it ends where " + what + " is expected");
    return token;
  }
  // False at the end of the file; reads one word at most.
  bool tryNext(std::string_view& token) {
    while (pos_ < text_.size() && isBlank(text_[pos_])) ++pos_;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !isBlank(text_[pos_])) ++pos_;
    token = std::string_view(text_).substr(start, pos_ - start);
    return pos_ > start;
  }

  void read(float& value, const std::string& what) {
    const std::string_view token = next(what);
    if (!parseFloat(token, value))
      fail(path_, "holds " + shown(token) + " where " + what +
                      " is expected, which must be one finite number within the float range");
  }
  void read(int& value, const std::string& what) {
    const std::string_view token = next(what);
    if (!parseInt(token, value))
      fail(path_, "holds " + shown(token) + " where " + what +
                      " is expected, which must be one whole number within the int range");
  }

 private:
  // A decimal number as a whole word ("1", "-2.5", ".5", "1e-3"); no inf, nan or hex form.
  static bool parseFloat(std::string_view token, float& value) {
    std::size_t i = 0, digits = 0;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    for (; i < token.size() && isDigit(token[i]); ++i) ++digits;
    if (i < token.size() && token[i] == '.')
      for (++i; i < token.size() && isDigit(token[i]); ++i) ++digits;
    if (digits == 0) return false;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
      ++i;
      if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
      const std::size_t first = i;
      for (; i < token.size() && isDigit(token[i]); ++i) {
      }
      if (i == first) return false;
    }
    if (i != token.size()) return false;
    const std::string text(token);
    char* end = nullptr;
    const float v = std::strtof(text.c_str(), &end);
    // An underflow gives 0 or a subnormal, as a stream reads it; an overflow is refused.
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
    value = v;
    return true;
  }
  static bool parseInt(std::string_view token, int& value) {
    std::size_t i = 0;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    if (i == token.size()) return false;
    for (; i < token.size(); ++i)
      if (!isDigit(token[i])) return false;
    const std::string text(token);
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    value = int(v);
    return true;
  }

  const std::string& text_;
  const std::string& path_;
  std::size_t pos_ = 0;
};

// Reads a 3x3 matrix given row by row into column order.
void readMatrix(Tokens& in, float m[9], const char* name) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      std::stringstream what;
      what << name << " row " << i << " column " << j;
      in.read(m[3 * j + i], what.str());
    }
}

// Cameras that cannot be: a focal length below one pixel (a K normalised to the image size, a
// sign error) or an R that is not a rotation. Such files give models of a few points or of points
// at absurd distances. The comparisons are written so that NaN fails them; the token reader
// refuses infinite and out-of-range values before this.
void checkIntrinsicsAndPose(const Camera& c, const std::string& path) {
  if (!(c.K[0] >= kMinFocalLength && c.K[4] >= kMinFocalLength)) {
    std::stringstream ss;
    ss << "gives fx = " << c.K[0] << " and fy = " << c.K[4]
       << "; both must be at least 1 pixel";
    fail(path, ss.str());
  }
  // The road uses fx, fy, cx and cy alone: a skew, a K(1,0) or another last row would be dropped
  // without a word, and the points would land elsewhere than the file says. A skew moves a pixel
  // along x by skew * (y - cy) / fy, at most |skew| * height / fy over the image; K(1,0) moves it
  // along y by K(1,0) * (x - cx) / fx, at most |K(1,0)| * width / fx. Below a tenth of a pixel (a
  // calibration that writes a tiny value) dropping them costs nothing.
  const auto refuseShift = [&](const std::string& entry, double shift, const char* bound,
                               const char* dropped) {
    if (shift < kMaxSkewShift) return;
    std::stringstream ss;
    ss << "gives K " << entry << ", which moves pixels by up to " << shift
       << " px over the image (" << bound << "); tessivar " << dropped
       << ", so it must move them by less than " << kMaxSkewShift << " px";
    fail(path, ss.str());
  };
  std::stringstream skew, lower;
  skew << "a skew of " << c.K[3] << " (row 0, column 1)";
  lower << "the entry " << c.K[1] << " at row 1, column 0";
  refuseShift(skew.str(), std::fabs(double(c.K[3])) * double(c.height) / double(c.K[4]),
              "|skew| x height / fy", "ignores the skew");
  refuseShift(lower.str(), std::fabs(double(c.K[1])) * double(c.width) / double(c.K[0]),
              "|K(1,0)| x width / fx", "takes it as 0");
  if (!(std::fabs(c.K[2]) <= 1e-6 && std::fabs(c.K[5]) <= 1e-6 && std::fabs(c.K[8] - 1.0f) <= 1e-6)) {
    std::stringstream ss;
    ss << "gives K the last row (" << c.K[2] << ", " << c.K[5] << ", " << c.K[8]
       << "); it must be (0, 0, 1)";
    fail(path, ss.str());
  }
  // A principal point far outside the image puts every point out of sight of the others.
  const float w = float(c.width), h = float(c.height);
  if (!(c.K[6] >= -w && c.K[6] <= 2.0f * w && c.K[7] >= -h && c.K[7] <= 2.0f * h)) {
    std::stringstream ss;
    ss << "gives the principal point (" << c.K[6] << ", " << c.K[7] << "); it must lie within ["
       << -w << ", " << 2.0f * w << "] x [" << -h << ", " << 2.0f * h
       << "], the image widened by its size on every side";
    fail(path, ss.str());
  }
  // R R^T against the identity, entry by entry (R[3*j + i] is row i, column j).
  double worst = 0.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double dot = 0.0;
      for (int k = 0; k < 3; ++k) dot += double(c.R[3 * k + i]) * double(c.R[3 * k + j]);
      worst = std::max(worst, std::fabs(dot - (i == j ? 1.0 : 0.0)));
    }
  const float* R = c.R;
  const double det = double(R[0]) * (double(R[4]) * R[8] - double(R[7]) * R[5]) -
                     double(R[3]) * (double(R[1]) * R[8] - double(R[7]) * R[2]) +
                     double(R[6]) * (double(R[1]) * R[5] - double(R[4]) * R[2]);
  if (!(worst <= kRotationTolerance)) {
    std::stringstream ss;
    ss << "gives an R that is not a rotation: R R^T - I has an entry of magnitude " << worst
       << " (at most " << kRotationTolerance << " allowed)";
    fail(path, ss.str());
  }
  if (!(det > 0.0)) {
    std::stringstream ss;
    ss << "gives an R that is not a rotation: det R = " << det << " (must be > 0)";
    fail(path, ss.str());
  }
}

// A failure of an image read whose text already names the image file; passed on unwrapped.
class ImageFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Beyond a factor of 16 on either axis the declared size is a mistake, not a resized image: the
// scaled intrinsics would make the filter radii absurd.
bool nearDeclaredSize(int w, int h, int width, int height) {
  const float kMaxRatio = 16.0f;
  const float sx = float(w) / float(width);
  const float sy = float(h) / float(height);
  return sx >= 1.0f / kMaxRatio && sx <= kMaxRatio && sy >= 1.0f / kMaxRatio && sy <= kMaxRatio;
}

// The readers' check of the size in a file's header against the camera's declared size, made
// before the image is decoded; none when the declared size is not usable.
// `subject` names the kind of image, e.g. "the depth map".
ImageSizeCheck declaredSizeCheck(const std::string& subject, const std::string& file, int width,
                                 int height) {
  if (width <= 0 || height <= 0) return {};
  return [=](int w, int h) {
    if (w < 1 || h < 1 || nearDeclaredSize(w, h, width, height)) return;  // empty: told later
    std::stringstream ss;
    ss << subject << " \"" << printable_path(file) << "\" (" << w << " x " << h
       << ") and the declared size " << width << " x " << height
       << " differ by more than a factor of 16";
    throw ImageFailure(ss.str());
  };
}

std::string depthAndColourDiffer(const std::string& depthFile, int w, int h,
                                 const std::string& colourFile, int colourWidth,
                                 int colourHeight) {
  std::stringstream ss;
  ss << "the depth map \"" << printable_path(depthFile) << "\" (" << w << " x " << h
     << ") and the colour image \"" << printable_path(colourFile) << "\" (" << colourWidth
     << " x " << colourHeight << ") differ in size";
  return ss.str();
}

std::string emptyColourImage(const std::string& file, int w, int h) {
  std::stringstream ss;
  ss << "Camera::loadImage: cannot read the colour image \"" << printable_path(file)
     << "\": it has " << w << " x " << h << " pixels";
  return ss.str();
}

// Runs an image reader; any failure but our own becomes one that starts with `what` (the file
// and what it was read for), an allocation failure included.
template <class Read>
auto namingTheFile(const std::string& what, Read&& read) -> decltype(read()) {
  try {
    return read();
  } catch (const ImageFailure&) {
    throw;
  } catch (const ImageFileError& e) {
    throw ImageFailure(what + e.withoutName());
  } catch (const std::bad_alloc&) {
    throw ImageFailure(what + "not enough memory");
  } catch (const std::exception& e) {
    throw ImageFailure(what + e.what());
  }
}

// Reads a colour image: 8-bit RGB or RGBA PNG, or PPM/PGM; a greyscale image (one plane) becomes
// grey RGB. Every failure names the file.
CMatrix<uchar4> readColourImage(const std::string& file, int width, int height) {
  const std::string what =
      "Camera::loadImage: cannot read the colour image \"" + printable_path(file) + "\": ";
  return namingTheFile(what, [&] {
    CTensor<float> t;
    try {
      t.readFromImage(file.c_str(),
                      declaredSizeCheck("Camera::loadImage: the colour image", file, width, height));
    } catch (const EInvalidFileFormat&) {
      throw ImageFailure(what + "not a PPM or PGM file");
    }
    if (t.xSize < 1 || t.ySize < 1) throw ImageFailure(emptyColourImage(file, t.xSize, t.ySize));
    CMatrix<uchar4> image(t.xSize, t.ySize);
    const std::size_t n = std::size_t(t.xSize) * std::size_t(t.ySize);
    const auto plane = [&](int z, std::size_t i) {
      return static_cast<unsigned char>(t.data[std::size_t(z) * n + i]);
    };
    const int g = t.zSize == 1 ? 0 : 1, b = t.zSize == 1 ? 0 : 2;
    for (std::size_t i = 0; i < n; ++i) {
      image.data[i] = make_uchar4(plane(0, i), plane(g, i), plane(b, i),
                                  t.zSize == 4 ? plane(3, i) : 255);
    }
    return image;
  });
}

// The size of a colour image from its header alone, when it is a regular file (a FIFO can be
// read once only) in a format the colour reader takes; false otherwise, and then the image's own
// reading reports the problem. The reader stops at its size check, before any pixel is decoded.
bool colourImageSize(const std::string& file, int* width, int* height) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // The Netpbm readers complain on standard error about a file without its magic number.
  const std::string ext = file.substr(file.rfind('.') == std::string::npos ? 0 : file.rfind('.') + 1);
  if (ext == "ppm" || ext == "PPM" || ext == "pgm" || ext == "PGM") {
    char magic[2] = {};
    std::ifstream(file, std::ios::binary).read(magic, 2);
    if (magic[0] != 'P' || (magic[1] != '5' && magic[1] != '6')) return false;
  }
  struct SizeSeen {};
  try {
    CTensor<float>().readFromImage(file.c_str(), [&](int w, int h) {
      *width = w;
      *height = h;
      throw SizeSeen();
    });
  } catch (const SizeSeen&) {
    return true;
  } catch (...) {
  }
  return false;
}

// Reads a depth map (8- or 16-bit greyscale PNG in thousandths of a world unit; 0, and 65535 in a
// 16-bit map, are no depth) into `depthmap`, in world units. Its size, checked on the file's
// header before anything is decoded, must keep the declared size's rule and equal the colour
// image's size when that is known from the colour image's header; so a depth map meant for
// another camera is not decoded. Every failure names the file.
void readDepthMap(const std::string& file, const Camera& camera, CMatrix<float>& depthmap) {
  const std::string what = "cannot read the depth map \"" + printable_path(file) + "\": ";
  int colourWidth = 0, colourHeight = 0;
  const bool colourKnown = colourImageSize(camera.image_file, &colourWidth, &colourHeight);
  const ImageSizeCheck declared =
      declaredSizeCheck("the depth map", file, camera.width, camera.height);
  const ImageSizeCheck colourDeclared = declaredSizeCheck(
      "Camera::loadImage: the colour image", camera.image_file, camera.width, camera.height);
  const ImageSizeCheck check = [&](int w, int h) {
    if (declared) declared(w, h);
    if (!colourKnown) return;
    // A colour image that will be refused is refused now, before the depth map is decoded.
    if (colourWidth < 1 || colourHeight < 1)
      throw ImageFailure(emptyColourImage(camera.image_file, colourWidth, colourHeight));
    if (colourDeclared) colourDeclared(colourWidth, colourHeight);
    if (w != colourWidth || h != colourHeight)
      throw ImageFailure(depthAndColourDiffer(file, w, h, camera.image_file, colourWidth,
                                              colourHeight));
  };
  namingTheFile(what, [&] {
    CMatrix<unsigned short> raw;
    raw.readFromPNG(file.c_str(), check);
    CMatrix<float> depth(raw.xSize, raw.ySize);
    const std::size_t n = std::size_t(raw.xSize) * std::size_t(raw.ySize);
    // 65535, the largest value a 16-bit map holds, is no depth: sensors and data sets write it
    // for no reading, or for one beyond what the map can hold.
    for (std::size_t k = 0; k < n; ++k)
      depth.data[k] = raw.data[k] == 65535 ? 0.0f : float(raw.data[k]) / 1000.0f;
    raw = CMatrix<unsigned short>();  // released before the copy
    depthmap = depth;
  });
}

}  // namespace

void Camera::loadImage() {
  if (std::size_t(image.xSize) * std::size_t(image.ySize) == 0)
    image = readColourImage(image_file, width, height);
  if (image.xSize == width && image.ySize == height) return;
  if (width <= 0 || height <= 0) {
    std::stringstream ss;
    ss << "Camera::loadImage: cannot scale the intrinsics of a camera of size " << width << " x "
       << height << " to its image \"" << printable_path(image_file) << "\"";
    throw std::runtime_error(ss.str());
  }
  // An image loaded earlier has not passed the readers' check.
  declaredSizeCheck("Camera::loadImage: the colour image", image_file, width,
                    height)(image.xSize, image.ySize);
  const float sx = float(image.xSize) / float(width);
  const float sy = float(image.ySize) / float(height);
  width = image.xSize;
  height = image.ySize;
  K[0] *= sx;
  K[6] *= sx;
  K[4] *= sy;
  K[7] *= sy;
}

void read_camera_file(const std::string& path, int index, Camera& camera,
                      CMatrix<float>& depthmap) {
  std::cout << "Reading file " << printable_path(path) << std::endl;

  const std::string text = readCameraText(path);
  // A NUL would cut a path short where the file system reads it, and another file would be read.
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    std::stringstream ss;
    ss << "holds a NUL byte (at byte " << nul << "); a camera file is text";
    fail(path, ss.str());
  }
  Tokens in(text, path);
  readMatrix(in, camera.K, "K");
  readMatrix(in, camera.R, "R");
  in.read(camera.t.x, "t.x");
  in.read(camera.t.y, "t.y");
  in.read(camera.t.z, "t.z");
  in.read(camera.width, "the width");
  in.read(camera.height, "the height");
  camera.image_file = std::string(in.next("the colour image path"));
  const std::string depth_file(in.next("the depth map path"));
  // A value too many shifts the paths; what follows the depth map path shows it.
  std::string_view extra;
  if (in.tryNext(extra))
    fail(path, "holds " + shown(extra) + " after its last value: the numbers are followed by the "
               "colour image path " + shown(camera.image_file, kShownPathChars) +
               " and the depth map path " + shown(depth_file, kShownPathChars) + ", and nothing may follow them");

  if (camera.width <= 0 || camera.height <= 0) {
    std::stringstream ss;
    ss << "gives the image size " << camera.width << " x " << camera.height
       << "; width and height must be > 0";
    fail(path, ss.str());
  }
  checkIntrinsicsAndPose(camera, path);  // before the principal point is mirrored

  // Centre C = -R^T t with R as the file lists it (R[3*j + i] is row i, column j).
  const float* R = camera.R;
  const float3 t = camera.t;
  camera.center.x = -(R[0] * t.x + R[1] * t.y + R[2] * t.z);
  camera.center.y = -(R[3] * t.x + R[4] * t.y + R[5] * t.z);
  camera.center.z = -(R[6] * t.x + R[7] * t.y + R[8] * t.z);

  camera.index = index;
  camera.principal_point_unflipped = false;
  camera.K[6] = float(camera.width - 1) - camera.K[6];
  camera.K[7] = float(camera.height - 1) - camera.K[7];

  // The depth map is read before the colour image, so a bad depth path fails first.
  try {
    readDepthMap(depth_file, camera, depthmap);
    camera.loadImage();
  } catch (const std::bad_alloc&) {
    throw;  // reported with the stage and camera, as out of memory
  } catch (const std::exception& e) {
    fail(path, e.what());
  }

  if (depthmap.xSize != camera.width || depthmap.ySize != camera.height)
    fail(path, depthAndColourDiffer(depth_file, depthmap.xSize, depthmap.ySize, camera.image_file,
                                    camera.width, camera.height));
}

namespace {

[[noreturn]] void failSet(const std::string& path, const std::string& problem) {
  std::stringstream ss;
  ss << "check_camera_set: camera file \"" << printable_path(path) << "\"" << std::endl << problem;
  throw std::runtime_error(ss.str());
}

float medianOf(std::vector<float> v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + long(mid), v.end());
  return v[mid];
}

// The same camera under another file name: the same values where the fusion reads them (fx, fy,
// cx and cy of K, once scaled to the image; R and t), each within 1e-9 of the other's, and the
// same images as the fusion reads them: colour by its RGB (an alpha channel is ignored), depth by
// value. The tolerance takes in what rounding leaves between two computations of one pose (an
// entry of R that is sin(pi) in one file and sin(-pi) in the other, 1e-16 and -1e-16; a -0
// written 0). K's other entries are never read: a skew or a last row that differs below what the
// reader refuses leaves the same camera.
bool sameCamera(const Camera& a, const CMatrix<float>& depthA, const Camera& b,
                const CMatrix<float>& depthB) {
  const auto near = [](float p, float q) { return std::fabs(double(p) - double(q)) <= 1e-9; };
  for (int k : {0, 4, 6, 7})
    if (!near(a.K[k], b.K[k])) return false;
  if (!std::equal(a.R, a.R + 9, b.R, near) ||
      !(near(a.t.x, b.t.x) && near(a.t.y, b.t.y) && near(a.t.z, b.t.z)))
    return false;
  if (a.image.xSize != b.image.xSize || a.image.ySize != b.image.ySize ||
      depthA.xSize != depthB.xSize || depthA.ySize != depthB.ySize)
    return false;
  const std::size_t pixels = std::size_t(a.image.xSize) * std::size_t(a.image.ySize);
  const std::size_t depths = std::size_t(depthA.xSize) * std::size_t(depthA.ySize);
  const auto sameRgb = [](const uchar4& p, const uchar4& q) {
    return p.x == q.x && p.y == q.y && p.z == q.z;
  };
  return std::equal(a.image.data, a.image.data + pixels, b.image.data, sameRgb) &&
         std::equal(depthA.data, depthA.data + depths, depthB.data);
}

// A copy of a camera under another name agrees with it perfectly, and their points would
// support each other.
void refuseCopies(const std::vector<Camera>& cameras, const std::vector<CMatrix<float>>& depthmaps,
                  const std::vector<std::string>& files) {
  for (std::size_t i = 1; i < cameras.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (sameCamera(cameras[i], depthmaps[i], cameras[j], depthmaps[j]))
        failSet(files[i], "is a copy of the camera file \"" + printable_path(files[j]) +
                              "\", given before: the same fx, fy, cx, cy, R and t and the same "
                              "colour image and depth map contents; give each camera once");
}

void refuseFirstFocalLengthsOffTheOthers(const std::vector<Camera>& cameras,
                                         const std::vector<float>& fx, const std::vector<float>& fy,
                                         const std::string& file) {
  // The first camera's fx sets every radius of the run (--depth-avg / fx). Above twice the
  // others' it leaves the support tests too small to find the other cameras' points as
  // neighbours; below half of theirs the radii are too large: the model is smoothed over and the
  // run slow. Its fy spaces its points along the other axis as fx does along this one, and gets
  // the same range. The numbers are shown in full, so a value just past a bound does not read as
  // the bound.
  const float fx0 = cameras[0].K[0];
  const float fy0 = cameras[0].K[4];
  const float median_fx = medianOf(fx);
  const float median_fy = medianOf(fy);
  for (int axis = 0; axis < 2; ++axis) {
    const char* const name = axis == 0 ? "fx" : "fy";
    const float f0 = axis == 0 ? fx0 : fy0;
    const float median_f = axis == 0 ? median_fx : median_fy;
    const bool tooLarge = !(f0 <= kMaxFirstFocalRatio * median_f);
    if (!tooLarge && f0 >= median_f / kMaxFirstFocalRatio) continue;
    std::stringstream ss;
    ss.precision(std::numeric_limits<float>::max_digits10);
    ss << "is the first camera and has " << name << " = " << f0
       << (tooLarge ? ", more than twice" : ", less than half") << " the median " << name
       << " of the cameras (" << median_f << "); ";
    if (axis == 0)
      ss << "the first camera sets the radii of the filter and of the support tests (--depth-avg "
            "/ fx), which would be too "
         << (tooLarge ? "small for the other cameras' points"
                      : "large for the other cameras' points (the model smoothed over, the run "
                        "slow)");
    else
      ss << "the first camera sets the radii of the run (--depth-avg / fx), which fit its points "
            "only when its fy, as its fx, is near the others'";
    ss << ": give a camera like the others first";
    failSet(file, ss.str());
  }
}

}  // namespace

void check_camera_set(const std::vector<Camera>& cameras,
                      const std::vector<CMatrix<float>>& depthmaps,
                      const std::vector<std::string>& files, float average_depth,
                      float superpixel_radius, float max_depth) {
  if (cameras.empty()) return;
  refuseCopies(cameras, depthmaps, files);

  std::vector<float> fx, fy, cx, cy, cz;
  for (const Camera& c : cameras) {
    fx.push_back(c.K[0]);
    fy.push_back(c.K[4]);
    cx.push_back(c.center.x);
    cy.push_back(c.center.y);
    cz.push_back(c.center.z);
  }
  refuseFirstFocalLengthsOffTheOthers(cameras, fx, fy, files[0]);
  const float fx0 = cameras[0].K[0];

  // Cell coordinates are 16 bits per axis, counted from the low corner of all points: a camera
  // far from the others stretches the box until every other point falls off the grid. The
  // cameras are kept within half the grid's span, less the depth their points reach, of the
  // median centre; then the box of all points fits. The cells are the run's smallest radius:
  // the dense support test's, or the superpixel support test's when the superpixels are smaller
  // than a pixel in radius (a large --superpixels).
  const float dense_cell = average_depth / fx0;
  const float grid_cell = std::min(dense_cell, superpixel_radius * average_depth / fx0);
  const auto spanOf = [](float cell) {
    return double(grid_top_cell - 2 * grid_margin_cells) * double(cell);
  };
  const auto reachOf = [&](float cell) { return spanOf(cell) / 2.0 - 2.0 * double(max_depth); };
  const bool by_superpixels = grid_cell < dense_cell;
  const std::string cell_source =
      by_superpixels ? "the superpixel support radius, from --depth-avg, fx of the first camera "
                       "and --superpixels"
                     : "the smallest radius, from --depth-avg and fx of the first camera";
  // The options that would widen the cells enough.
  const std::string cell_options = !by_superpixels            ? "--depth-avg"
                                   : reachOf(dense_cell) > 0.0 ? "--superpixels"
                                                               : "--depth-avg and --superpixels";
  const double reach = reachOf(grid_cell);
  if (!(reach > 0.0)) {
    std::stringstream ss;
    ss << "the point grid spans only " << spanOf(grid_cell) << " ("
       << grid_top_cell << " cells of " << grid_cell << ", " << cell_source
       << "), too little for depths up to " << max_depth << ": check " << cell_options;
    throw std::runtime_error("check_camera_set: " + ss.str());
  }
  const float median[3] = {medianOf(cx), medianOf(cy), medianOf(cz)};
  const char* const axis[3] = {"x", "y", "z"};
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    const float c[3] = {cameras[i].center.x, cameras[i].center.y, cameras[i].center.z};
    for (int a = 0; a < 3; ++a) {
      const double d = std::fabs(double(c[a]) - double(median[a]));
      if (d <= reach) continue;
      std::stringstream ss;
      ss << "has its centre (" << c[0] << ", " << c[1] << ", " << c[2] << ") " << d
         << " from the median of the camera centres along " << axis[a]
         << "; the point grid (" << grid_top_cell << " cells of " << grid_cell
         << ") takes cameras within " << reach
         << " of it, and one beyond would push the other cameras' points off the grid: check its "
            "t (and its unit) and "
         << (by_superpixels ? "--superpixels" : "--depth-avg");
      failSet(files[i], ss.str());
    }
  }
}
