#include "depthmap_refinement.h"

#include <omp.h>

#include <Eigen/Dense>
#include <cfloat>
#include <cmath>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "cmatrix/CTensor.h"
#include "depthmap_refinement_kernels.h"
#include "render_memory.h"
#include "rendering.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace {

constexpr int kOffsets = 7;
constexpr int kNccRadius = 3;
// Scores from fewer neighbours than this say nothing about a pixel.
constexpr float kMinNeighbourScores = 3.f;
// Best scores above this enter the statistics, and the threshold never drops below it.
constexpr float kScoreFloor = 0.67f;

Eigen::Matrix4f poseOf(const Camera& c) {
  Eigen::Matrix4f M = Eigen::Matrix4f::Identity();
  for (int r = 0; r < 3; ++r)
    for (int col = 0; col < 3; ++col) M(r, col) = c.R[3 * col + r];  // stored column by column
  M(0, 3) = c.t.x;
  M(1, 3) = c.t.y;
  M(2, 3) = c.t.z;
  return M;
}

// Camera j is a neighbour of camera i when their viewing axes are less than 60 degrees apart.
bool isNeighbour(const Camera& a, const Camera& b) {
  const float dot = a.R[2] * b.R[2] + a.R[5] * b.R[5] + a.R[8] * b.R[8];
  return !(double(dot) < std::cos(M_PI / 3.0));
}

template <class T>
yv::Array<T, 2> deviceImage(unsigned W, unsigned H, ArrayReleaser& guard) {
  const yv::Array<T, 4> a = yv::mallocDeviceArray<T>(make_uint4(W, H, 1, 1), yv::PITCHED);
  guard.add(a);
  return yv::internal::decreaseArrayDimension<T, 4, 2>(a);
}

template <class T>
void upload(yv::Array<T, 2>& dst, const CMatrix<T>& src) {
  const yv::Array<T, 2> view = yv::arrayFromHostMemory(
      src.data, unsigned(std::max(src.xSize, 0)), unsigned(std::max(src.ySize, 0)));
  yv::arrayCopy(dst, view);
}

// Rows [first, last) of a static split of m rows into contiguous blocks, one per thread.
void rowsOfThread(int m, int& first, int& last) {
  const int T = omp_get_num_threads(), t = omp_get_thread_num();
  const int chunk = (m + T - 1) / T;
  first = std::min(t * chunk, m);
  last = std::min((t + 1) * chunk, m);
}

// Sums the scores of every offset and every neighbour of camera i into `volume`:
// element (x, y, k) = {sum of finite scores, their number}.
void collectEvidence(CTensor<float2>& volume, const std::vector<CMatrix<float>>& depthmaps,
                     const std::vector<Camera*>& cameras, std::size_t i, const float* offsets,
                     float radius) {
  const Camera& ci = *cameras[i];
  const unsigned W = unsigned(ci.width), H = unsigned(ci.height);
  ArrayReleaser guard;
  yv::Array<uchar4, 2> image = deviceImage<uchar4>(W, H, guard);
  yv::Array<float, 2> depth = deviceImage<float>(W, H, guard);
  yv::Array<uchar4, 2> projected = deviceImage<uchar4>(W, H, guard);
  yv::Array<float, 2> scores = deviceImage<float>(W, H, guard);
  yv::Array<uchar4, 2> otherImage = deviceImage<uchar4>(W, H, guard);
  yv::Array<float, 2> otherDepth = deviceImage<float>(W, H, guard);
  upload(image, ci.image);
  upload(depth, depthmaps[i]);

  CMatrix<float> hostScores{int(W), int(H)};
  yv::Array<float, 2> hostView = yv::arrayFromHostMemory(hostScores.data, W, H);
  const Eigen::Matrix4f inverse_i = poseOf(ci).inverse();

  for (std::size_t j = 0; j < cameras.size(); ++j) {
    if (j == i) continue;
    const Camera& cj = *cameras[j];
    if (!isNeighbour(ci, cj)) continue;
    std::cout << "." << std::flush;
    upload(otherImage, cj.image);
    upload(otherDepth, depthmaps[j]);

    // Camera i's frame into camera j's frame.
    const Eigen::Matrix4f M = poseOf(cj) * inverse_i;
    Projection proj;
    proj.width = W;
    proj.height = H;
    proj.fx = cj.K[0];
    proj.fy = cj.K[4];
    proj.cx = cj.K[6];
    proj.cy = cj.K[7];
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) proj.R[3 * r + c] = M(r, c);
      proj.t[r] = M(r, 3);
    }
    proj.near = 0.f;
    proj.far = FLT_MAX;

    for (int k = 0; k < kOffsets; ++k) {
      project_texture_on_depthmap(projected, 1.f / ci.K[0], 1.f / ci.K[4], ci.K[6], ci.K[7], proj,
                                  depth, otherDepth, otherImage, radius * 0.5f, offsets[k]);
      ncc(scores, image, projected, depth, radius, kNccRadius);
      yv::arrayCopy(hostView, scores);
      float2* plane = volume.data + std::size_t(k) * W * H;
#pragma omp parallel
      {
        int first, last;
        rowsOfThread(int(H), first, last);
        for (int y = first; y < last; ++y)
          for (unsigned x = 0; x < W; ++x) {
            const float s = hostScores.data[std::size_t(y) * W + x];
            if (!(std::fabs(s) <= FLT_MAX)) continue;
            float2& e = plane[std::size_t(y) * W + x];
            e.x += s;
            e.y += 1.f;
          }
      }
    }
  }
}

}  // namespace

void refine_depthmaps(std::vector<CMatrix<float>>& improved, std::vector<CMatrix<float>>& confirmed,
                      const std::vector<CMatrix<float>>& depthmaps,
                      const std::vector<Camera*>& cameras, float radius) {
  // Every camera reads its own map and those of its neighbours.
  if (depthmaps.size() < cameras.size()) {
    std::stringstream ss;
    ss << "refine_depthmaps: fewer depth maps than cameras" << std::endl
       << " " << depthmaps.size() << " depth maps, " << cameras.size() << " cameras";
    throw std::runtime_error(ss.str());
  }
  const float s = radius * 0.125f;
  const float offsets[kOffsets] = {0.f, 2.f * s, -2.f * s, 4.f * s, -4.f * s, 8.f * s, -8.f * s};
  for (Camera* c : cameras) c->loadImage();
  improved.clear();
  confirmed.clear();

  for (std::size_t i = 0; i < cameras.size(); ++i) {
    const Camera& ci = *cameras[i];
    const int W = ci.width, H = ci.height;
    std::cout << "\n Improving depth values for camera " << i << "  " << std::flush;

    CTensor<float2> volume(W, H, kOffsets);
    std::fill(volume.data, volume.data + std::size_t(W) * H * kOffsets, make_float2(0.f, 0.f));
    collectEvidence(volume, depthmaps, cameras, i, offsets, radius);

    // Selection: per pixel the offset with the best score; without evidence the last offset.
    CMatrix<float> refined(depthmaps[i]);
    CMatrix<float> best(W, H);
    const std::size_t plane = std::size_t(W) * H;
#pragma omp parallel
    {
      int first, last;
      rowsOfThread(H, first, last);
      for (int y = first; y < last; ++y)
        for (int x = 0; x < W; ++x) {
          const std::size_t p = std::size_t(y) * W + x;
          float b = 0.f;
          int chosen = kOffsets - 1;
          for (int k = 0; k < kOffsets; ++k) {
            const float2 e = volume.data[k * plane + p];
            if (e.y < kMinNeighbourScores) continue;
            const float q = float(1.0 - double(std::acos(e.x / e.y)) / M_PI);
            if (q > b) {
              b = q;
              chosen = k;
            }
          }
          best.data[p] = b;
          refined.data[p] += offsets[chosen];
        }
    }
    confirmed.push_back(depthmaps[i]);
    CMatrix<float>& kept = confirmed.back();

    // Spread of the good scores; partial sums per thread, merged in any order.
    float sum = 0.f;
    long count = 0;
#pragma omp parallel
    {
      int first, last;
      rowsOfThread(int(plane), first, last);
      float mySum = 0.f;
      long myCount = 0;
      for (int p = first; p < last; ++p)
        if (best.data[p] > 0.67) {
          mySum += best.data[p];
          ++myCount;
        }
#pragma omp critical
      {
        sum += mySum;
        count += myCount;
      }
    }
    const float mean = count > 0 ? sum / float(count) : std::numeric_limits<float>::quiet_NaN();
    float squares = 0.f;
#pragma omp parallel
    {
      int first, last;
      rowsOfThread(int(plane), first, last);
      float mySquares = 0.f;
      for (int p = first; p < last; ++p)
        if (best.data[p] > 0.67) {
          const float d = best.data[p] - mean;
          mySquares += d * d;
        }
#pragma omp critical
      squares += mySquares;
    }
    const float sigma =
        count > 0 ? std::sqrt(squares / float(count)) : std::numeric_limits<float>::quiet_NaN();
    float threshold = mean - 2.f * sigma;
    if (!(threshold >= kScoreFloor)) threshold = kScoreFloor;
    std::cout << " threshold " << threshold << "  mean " << mean << "  sigma " << sigma
              << std::endl;

#pragma omp parallel
    {
      int first, last;
      rowsOfThread(H, first, last);
      for (int y = first; y < last; ++y)
        for (int x = 0; x < W; ++x) {
          const std::size_t p = std::size_t(y) * W + x;
          if (best.data[p] < threshold) kept.data[p] = 0.f;
        }
    }
    improved.push_back(refined);
  }
}
