// The camera record every stage receives, and the reader that turns a camera file into a camera
// and its depth map. Cameras keep a mirrored principal point (cx' = width - 1 - cx,
// cy' = height - 1 - cy); code that projects points or casts pixel rays works in the matching
// mirrored pixel coordinates (width - 1 - x, height - 1 - y).
#pragma once

#include <cuda_runtime.h>

#include <string>
#include <vector>

#include "cmatrix/CMatrix.h"

struct Camera {
  float K[9] = {};  // intrinsics, column by column: K[3*j + i] is row i, column j
  float R[9] = {};  // world-to-camera rotation (X_cam = R X + t), column by column
  float3 t = {0.0f, 0.0f, 0.0f};
  float3 center = {0.0f, 0.0f, 0.0f};  // -R^T t; the pose refinement keeps it in step
  bool principal_point_unflipped = false;  // false: K holds the mirrored principal point
  int index = 0;   // position in the command-line list
  int width = 0;   // image size; the colour image's own size once it is loaded
  int height = 0;
  std::string image_file;
  CMatrix<uchar4> image;  // empty until loadImage
  std::vector<Camera*> neighbors;
  float max_depth = 0.0f;
  float min_depth = 0.0f;

  // Loads `image` from image_file when it is empty (a greyscale image becomes grey RGB), then
  // makes width, height and the intrinsics (fx and cx scaled by the width ratio, fy and cy by the
  // height ratio) agree with its size. Throws naming the image when it cannot be read, has no
  // pixels, or differs from the declared size by more than a factor of 16 on either axis.
  void loadImage();
};

// Reads camera file `path` as camera number `index`: K and R row by row, t, width and height, the
// colour image path and the depth-map path (a greyscale PNG in thousandths of a world unit), each a
// whitespace-separated word. Fills `camera` (principal point mirrored, centre computed, image
// loaded) and replaces `depthmap` by the depth in world units (0: no depth). Throws
// std::runtime_error naming the file when it cannot be opened or read, is larger than 1 MiB, holds
// a NUL byte, is cut short, holds a word that is not one value of its field's kind (a finite float,
// or an int for the width and height; the word is shown) or anything after the depth-map path,
// gives a size <= 0, fx or fy below 1 pixel, a skew that moves pixels by 0.1 px or more over the
// image (|skew| x height / fy), a K(1,0) that does (|K(1,0)| x width / fx), a last row of K other
// than (0, 0, 1), a principal point outside [-width, 2 width] x [-height, 2 height], or an R that
// is not a rotation (an entry of R R^T - I above 1e-2 in absolute value, or det R <= 0), when its
// colour image cannot be loaded, or when the depth map's size differs from the colour image's.
void read_camera_file(const std::string& path, int index, Camera& camera,
                      CMatrix<float>& depthmap);

// Checks the cameras of a run as a set (files[i] is the file of cameras[i] and depthmaps[i] its
// depth map). Throws std::runtime_error naming the file when a camera is a copy of an earlier one
// (fx, fy, cx, cy, R and t each within 1e-9 of the earlier one's, K's other entries aside, the same
// colour image RGB and the same depth values), when the first camera's fx lies outside
// [median fx / 2, 2 x median fx] (the first camera sets the run's radii) or its fy outside the same
// range of the cameras' fy, or when a camera's centre lies farther from the median of the centres,
// along an axis, than half the point grid's span less twice `max_depth`; also when that reach is
// not positive. The grid has 65535 - 20 cells per axis of the run's smallest radius,
// average_depth / fx of the first camera times `superpixel_radius` (in pixels) when that is below
// 1; the message names the option that sets it.
void check_camera_set(const std::vector<Camera>& cameras,
                      const std::vector<CMatrix<float>>& depthmaps,
                      const std::vector<std::string>& files, float average_depth,
                      float superpixel_radius, float max_depth);
