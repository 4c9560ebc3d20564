#include "camera.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "cmatrix/CTensor.h"
#include "hashing.h"

const float kMinFocalLength = 1.0f;
const float kMaxFirstFocalRatio = 2.0f;
// A rotation written with three decimals is off by up to a few 1e-3; a matrix scaled by 1.01 is
// off by 0.02.
const double kRotationTolerance = 1e-2;

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& problem) {
  std::stringstream ss;
  ss << "read_camera_file: camera file \"" << path << "\"" << std::endl << problem;
  throw std::runtime_error(ss.str());
}

template <class T>
void readValue(std::istream& in, T& value, const std::string& path, const std::string& what) {
  if (!(in >> value)) fail(path, "is cut short or holds a non-number where " + what + " is expected");
}

// Reads a 3x3 matrix given row by row into column order.
void readMatrix(std::istream& in, float m[9], const std::string& path, const char* name) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      std::stringstream what;
      what << name << " row " << i << " column " << j;
      readValue(in, m[3 * j + i], path, what.str());
    }
}

// Cameras that cannot be: a focal length below one pixel (a K normalised to the image size, a
// sign error) or an R that is not a rotation. Such files give models of a few points or of points
// at absurd distances. The comparisons are written so that NaN fails them; the stream reader
// refuses infinite and out-of-range values before this.
void checkIntrinsicsAndPose(const Camera& c, const std::string& path) {
  if (!(c.K[0] >= kMinFocalLength && c.K[4] >= kMinFocalLength)) {
    std::stringstream ss;
    ss << "gives fx = " << c.K[0] << " and fy = " << c.K[4]
       << "; both must be at least 1 pixel";
    fail(path, ss.str());
  }
  // The road uses fx, fy, cx and cy alone: a skew or another last row would be dropped without a
  // word, and the points would land elsewhere than the file says.
  if (!(std::fabs(c.K[3]) <= 1e-6 * c.K[0])) {
    std::stringstream ss;
    ss << "gives K a skew of " << c.K[3] << " (row 0, column 1); it must be 0";
    fail(path, ss.str());
  }
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
    ss << subject << " \"" << file << "\" (" << w << " x " << h
       << ") and the declared size " << width << " x " << height
       << " differ by more than a factor of 16";
    throw ImageFailure(ss.str());
  };
}

std::string depthAndColourDiffer(const std::string& depthFile, int w, int h,
                                 const std::string& colourFile, int colourWidth,
                                 int colourHeight) {
  std::stringstream ss;
  ss << "the depth map \"" << depthFile << "\" (" << w << " x " << h << ") and the colour image \""
     << colourFile << "\" (" << colourWidth << " x " << colourHeight << ") differ in size";
  return ss.str();
}

std::string emptyColourImage(const std::string& file, int w, int h) {
  std::stringstream ss;
  ss << "Camera::loadImage: cannot read the colour image \"" << file << "\": it has " << w << " x "
     << h << " pixels";
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
  } catch (const std::bad_alloc&) {
    throw ImageFailure(what + "not enough memory");
  } catch (const std::exception& e) {
    throw ImageFailure(what + e.what());
  }
}

// Reads a colour image: 8-bit RGB or RGBA PNG, or PPM/PGM; a greyscale image (one plane) becomes
// grey RGB. Every failure names the file.
CMatrix<uchar4> readColourImage(const std::string& file, int width, int height) {
  const std::string what = "Camera::loadImage: cannot read the colour image \"" + file + "\": ";
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

// Reads a depth map (8- or 16-bit greyscale PNG in thousandths of a world unit) into `depthmap`,
// in world units. Its size, checked on the file's header before anything is decoded, must keep
// the declared size's rule and equal the colour image's size when that is known from the colour
// image's header; so a depth map meant for another camera is not decoded. Every failure names
// the file.
void readDepthMap(const std::string& file, const Camera& camera, CMatrix<float>& depthmap) {
  const std::string what = "cannot read the depth map \"" + file + "\": ";
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
    for (std::size_t k = 0; k < n; ++k) depth.data[k] = float(raw.data[k]) / 1000.0f;
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
       << height << " to its image \"" << image_file << "\"";
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
  std::cout << "Reading file " << path << std::endl;

  std::ifstream in(path);
  std::error_code ec;
  // A folder opens as a stream on Linux but cannot be read.
  if (!in || std::filesystem::is_directory(path, ec)) fail(path, "cannot be opened");
  readMatrix(in, camera.K, path, "K");
  readMatrix(in, camera.R, path, "R");
  readValue(in, camera.t.x, path, "t.x");
  readValue(in, camera.t.y, path, "t.y");
  readValue(in, camera.t.z, path, "t.z");
  readValue(in, camera.width, path, "the width");
  readValue(in, camera.height, path, "the height");
  std::string depth_file;
  readValue(in, camera.image_file, path, "the colour image path");
  readValue(in, depth_file, path, "the depth map path");
  // A value too many shifts the paths; what follows the depth map path shows it.
  std::string extra;
  if (in >> extra)
    fail(path, "holds \"" + extra + "\" after its last value: the numbers are followed by the colour "
               "image path \"" + camera.image_file + "\" and the depth map path \"" + depth_file +
               "\", and nothing may follow them");

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
  ss << "check_camera_set: camera file \"" << path << "\"" << std::endl << problem;
  throw std::runtime_error(ss.str());
}

float medianOf(std::vector<float> v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + long(mid), v.end());
  return v[mid];
}

}  // namespace

void check_camera_set(const std::vector<Camera>& cameras, const std::vector<std::string>& files,
                      float grid_cell, float max_depth) {
  if (cameras.empty()) return;
  std::vector<float> fx, cx, cy, cz;
  for (const Camera& c : cameras) {
    fx.push_back(c.K[0]);
    cx.push_back(c.center.x);
    cy.push_back(c.center.y);
    cz.push_back(c.center.z);
  }
  // The first camera's fx sets every radius of the run; above twice the others' it leaves the
  // support tests too small to find the other cameras' points as neighbours.
  const float median_fx = medianOf(fx);
  if (!(cameras[0].K[0] <= kMaxFirstFocalRatio * median_fx)) {
    std::stringstream ss;
    ss << "is the first camera and has fx = " << cameras[0].K[0]
       << ", more than twice the median fx of the cameras (" << median_fx
       << "); the first camera sets the radii of the filter and of the support tests "
          "(--depth-avg / fx), which would be too small for the other cameras' points: give a "
          "camera like the others first";
    failSet(files[0], ss.str());
  }

  // Cell coordinates are 16 bits per axis, counted from the low corner of all points: a camera
  // far from the others stretches the box until every other point falls off the grid. The
  // cameras are kept within half the grid's span, less the depth their points reach, of the
  // median centre; then the box of all points fits.
  const double span = double(grid_top_cell - 2 * grid_margin_cells) * double(grid_cell);
  const double reach = span / 2.0 - 2.0 * double(max_depth);
  if (!(reach > 0.0)) {
    std::stringstream ss;
    ss << "the point grid spans only " << span << " (" << grid_top_cell << " cells of " << grid_cell
       << ", the smallest radius, from --depth-avg and fx of the first camera), too little for "
          "depths up to "
       << max_depth << ": check --depth-avg";
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
            "t (and its unit) and --depth-avg";
      failSet(files[i], ss.str());
    }
  }
}
