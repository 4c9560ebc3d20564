#include "camera.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "cmatrix/CTensor.h"

const float kMinFocalLength = 1.0f;
const float kMaxFirstFocalRatio = 2.0f;
const int kGridCells = 65535;
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

// Reads a colour image: 8-bit RGB or RGBA PNG, or PPM/PGM; a greyscale image (one plane) becomes
// grey RGB. Every failure names the file.
CMatrix<uchar4> readColourImage(const std::string& file) {
  const std::string what = "Camera::loadImage: cannot read the colour image \"" + file + "\": ";
  CTensor<float> t;
  try {
    t.readFromImage(file.c_str());
  } catch (const EInvalidFileFormat&) {
    throw std::runtime_error(what + "not a PPM or PGM file");
  } catch (const std::exception& e) {
    throw std::runtime_error(what + e.what());
  }
  if (t.xSize < 1 || t.ySize < 1) {
    std::stringstream ss;
    ss << what << "it has " << t.xSize << " x " << t.ySize << " pixels";
    throw std::runtime_error(ss.str());
  }
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
}

}  // namespace

void Camera::loadImage() {
  if (std::size_t(image.xSize) * std::size_t(image.ySize) == 0) image = readColourImage(image_file);
  if (image.xSize == width && image.ySize == height) return;
  if (width <= 0 || height <= 0) {
    std::stringstream ss;
    ss << "Camera::loadImage: cannot scale the intrinsics of a camera of size " << width << " x "
       << height << " to its image \"" << image_file << "\"";
    throw std::runtime_error(ss.str());
  }
  const float sx = float(image.xSize) / float(width);
  const float sy = float(image.ySize) / float(height);
  // Beyond a factor of 16 the declared size is a mistake, not a resized image: the scaled
  // intrinsics would make the filter radii absurd.
  const float kMaxRatio = 16.0f;
  if (!(sx >= 1.0f / kMaxRatio && sx <= kMaxRatio && sy >= 1.0f / kMaxRatio && sy <= kMaxRatio)) {
    std::stringstream ss;
    ss << "Camera::loadImage: the colour image \"" << image_file << "\" (" << image.xSize << " x "
       << image.ySize << ") and the declared size " << width << " x " << height
       << " differ by more than a factor of 16";
    throw std::runtime_error(ss.str());
  }
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
  CMatrix<unsigned short> raw;
  raw.readFromPNG(depth_file.c_str());
  CMatrix<float> depth(raw.xSize, raw.ySize);
  const std::size_t n = std::size_t(raw.xSize) * std::size_t(raw.ySize);
  for (std::size_t k = 0; k < n; ++k) depth.data[k] = float(raw.data[k]) / 1000.0f;
  depthmap = depth;

  try {
    camera.loadImage();
  } catch (const std::exception& e) {
    fail(path, e.what());
  }

  if (depthmap.xSize != camera.width || depthmap.ySize != camera.height) {
    std::stringstream ss;
    ss << "the depth map \"" << depth_file << "\" (" << depthmap.xSize << " x " << depthmap.ySize
       << ") and the colour image \"" << camera.image_file << "\" (" << camera.width << " x "
       << camera.height << ") differ in size";
    fail(path, ss.str());
  }
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
  const double span = double(kGridCells - 20) * double(grid_cell);
  const double reach = span / 2.0 - 2.0 * double(max_depth);
  if (!(reach > 0.0)) {
    std::stringstream ss;
    ss << "the point grid spans only " << span << " (" << kGridCells << " cells of " << grid_cell
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
         << "; the point grid (" << kGridCells << " cells of " << grid_cell
         << ") takes cameras within " << reach
         << " of it, and one beyond would push the other cameras' points off the grid: check its "
            "t (and its unit) and --depth-avg";
      failSet(files[i], ss.str());
    }
  }
}
