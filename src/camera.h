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

// Reads camera file `path` as camera number `index`: K and R row by row, t, width and height,
// the colour image path and the depth-map path (a greyscale PNG in thousandths of a world unit).
// Fills `camera` (principal point mirrored, centre computed, image loaded) and replaces
// `depthmap` by the depth in world units (0: no depth). Throws std::runtime_error naming the file
// when it cannot be opened, is cut short, holds a non-number, gives a size <= 0, a non-finite
// value, fx or fy below 1 pixel, a skew other than 0 (within 1e-6 fx), a last row of K other
// than (0, 0, 1), a principal point outside [-width, 2 width] x [-height, 2 height], or an R that
// is not a rotation (an entry of R R^T - I above 1e-2 in absolute value, or det R <= 0), when its
// colour image cannot be loaded, or when the depth map's size differs from the colour image's.
void read_camera_file(const std::string& path, int index, Camera& camera,
                      CMatrix<float>& depthmap);

// Checks the cameras of a run as a set (files[i] is the file of cameras[i]). Throws
// std::runtime_error naming the file when the first camera's fx is more than twice the median
// fx (the first camera sets the run's radii), or when a camera's centre lies farther from the
// median of the centres, along an axis, than half the point grid's span (65535 - 20 cells of
// `grid_cell`, the run's smallest radius) less twice `max_depth`; also when that reach is not
// positive.
void check_camera_set(const std::vector<Camera>& cameras, const std::vector<std::string>& files,
                      float grid_cell, float max_depth);
