#include "camera.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "yv/cmatrixlib_interface.h"

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

}  // namespace

void Camera::loadImage() {
  if (std::size_t(image.xSize) * std::size_t(image.ySize) == 0) image = ::loadImage(image_file);
  if (image.xSize == width && image.ySize == height) return;
  if (width <= 0 || height <= 0) {
    std::stringstream ss;
    ss << "Camera::loadImage: cannot scale the intrinsics of a camera of size " << width << " x "
       << height << " to its image \"" << image_file << "\"";
    throw std::runtime_error(ss.str());
  }
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

  if (camera.width <= 0 || camera.height <= 0) {
    std::stringstream ss;
    ss << "gives the image size " << camera.width << " x " << camera.height
       << "; width and height must be > 0";
    fail(path, ss.str());
  }
  if (camera.K[0] == 0.0f || camera.K[4] == 0.0f) {
    std::stringstream ss;
    ss << "gives fx = " << camera.K[0] << " and fy = " << camera.K[4] << "; both must be non-zero";
    fail(path, ss.str());
  }

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

  camera.loadImage();

  if (depthmap.xSize != camera.width || depthmap.ySize != camera.height) {
    std::stringstream ss;
    ss << "the depth map \"" << depth_file << "\" (" << depthmap.xSize << " x " << depthmap.ySize
       << ") and the colour image \"" << camera.image_file << "\" (" << camera.width << " x "
       << camera.height << ") differ in size";
    fail(path, ss.str());
  }
}
