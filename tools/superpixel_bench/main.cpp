// Times the depth-adaptive superpixels on a generated 640 x 480 scene (a slanted floor, a wall
// and a box in front of it, all textured) and prints the median time and the cluster count.
//   superpixel_bench [count=5000] [repeats=9]
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "dasp/dasp.h"

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 9;
  const unsigned W = 640, H = 480;
  const float f = 540.0f, cx = 319.5f, cy = 239.5f;
  slimage::Image3ub color(W, H);
  slimage::Image1ui16 depth(W, H);
  for (unsigned y = 0; y < H; ++y) {
    for (unsigned x = 0; x < W; ++x) {
      // Wall at 3 m, floor rising towards the camera in the lower half, box at 1.5 m.
      float z = 3.0f;
      const float ry = (float(y) - cy) / f;
      if (ry > 0.05f) z = std::min(z, 1.2f / ry);
      const bool box = x > 200 && x < 380 && y > 150 && y < 330;
      if (box) z = 1.5f;
      if ((x / 7 + y / 11) % 37 == 0) z = 0.0f;  // holes without measurement
      depth(x, y)[0] = (unsigned short)std::lround(z * 1000.0f);
      unsigned char* c = color(x, y);
      c[0] = (unsigned char)(box ? 200 : 60 + (x * 7 + y * 3) % 90);
      c[1] = (unsigned char)((x / 20 + y / 20) % 2 ? 80 : 160);
      c[2] = (unsigned char)(box ? 40 : 120 + (x ^ y) % 60);
    }
  }
  dasp::Parameters p;
  p.camera_cx = cx;
  p.camera_cy = cy;
  p.camera_focal = f;
  p.depth_unit = 0.001f;
  p.count = count;
  std::vector<double> ms;
  std::size_t clusters = 0;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const dasp::Superpixels s = dasp::ComputeSuperpixels(color, depth, p);
    const auto t1 = std::chrono::steady_clock::now();
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    clusters = s.cluster.size();
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%u x %u into %d requested superpixels: %zu clusters, median %.1f ms, best %.1f ms"
              " (%d threads)\n",
              W, H, count, clusters, ms[ms.size() / 2], ms.front(), omp_get_max_threads());
  return 0;
}
