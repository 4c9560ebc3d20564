// lift_depth: back-projects every depth pixel of the given cameras into one world point cloud,
// the reference a model of a real scan (which has no ground truth) is measured against with
// model_accuracy.
//
//   lift_depth OUT.ply CAMERA_FILE...
//
// Pixels are lifted exactly as the program lifts them (mirrored pixel coordinates, X = R^T (q - t)),
// so the cloud is the measured surface in the program's world frame; it carries no normals.
#include <cmath>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "camera.h"
#include "ply/ply.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: lift_depth OUT.ply CAMERA_FILE..." << std::endl;
    return 1;
  }
  try {
    std::vector<float> xyz;
    for (int a = 2; a < argc; ++a) {
      Camera c;
      CMatrix<float> depth;
      std::ostringstream quiet;  // the reader's progress text is not wanted here
      std::streambuf* old = std::cout.rdbuf(quiet.rdbuf());
      try {
        read_camera_file(argv[a], a - 2, c, depth);
      } catch (...) {
        std::cout.rdbuf(old);
        throw;
      }
      std::cout.rdbuf(old);
      const int W = depth.xSize, H = depth.ySize;
      const float fx = c.K[0], fy = c.K[4], cx = c.K[6], cy = c.K[7];
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          const float d = depth.data[std::size_t(y) * W + x];
          if (!(d > 0.0f) || !std::isfinite(d)) continue;
          const float q[3] = {(float(W - 1 - x) - cx) / fx * d - c.t.x,
                              (float(H - 1 - y) - cy) / fy * d - c.t.y, d - c.t.z};
          // R is stored column by column; R^T q takes the columns as rows.
          for (int k = 0; k < 3; ++k) xyz.push_back(c.R[3 * k] * q[0] + c.R[3 * k + 1] * q[1] + c.R[3 * k + 2] * q[2]);
        }
    }
    p_ply ply = ply_create(argv[1], PLY_DEFAULT, nullptr, 0, nullptr);
    if (!ply) throw std::runtime_error(std::string("cannot create ") + argv[1]);
    bool ok = ply_add_element(ply, "vertex", long(xyz.size() / 3));
    for (const char* name : {"x", "y", "z"}) ok = ok && ply_add_scalar_property(ply, name, PLY_FLOAT);
    ok = ok && ply_write_header(ply);
    for (std::size_t i = 0; ok && i < xyz.size(); ++i) ok = ply_write(ply, xyz[i]);
    if (!ply_close(ply) || !ok) throw std::runtime_error(std::string("cannot write ") + argv[1]);
    std::cout << "lifted " << xyz.size() / 3 << " points" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "lift_depth: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
