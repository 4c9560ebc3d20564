#include "superpixels.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "dasp/dasp.h"
#include "settings.h"
#include "yv/algorithms/conversion/convert.h"
#include "yv/cmatrixlib_interface.h"
#include "yv/tools/alloc.h"

unsigned short superpixel_depth_value(float depth, float scale) {
  if (!std::isfinite(depth)) return 0;
  const float v = std::floor(1000.0f * depth / scale + 0.5f);
  if (!(v > 0.0f)) return 0;  // also NaN, e.g. 0 / 0
  if (v >= 65535.0f) return 65535;
  return static_cast<unsigned short>(static_cast<int>(v));
}

unsigned char superpixel_color_channel(float c) {
  const float v = c * 255.0f;
  return static_cast<unsigned char>(static_cast<int>(v) & 0xff);
}

namespace {

uchar4 clusterColor(const dasp::Cluster& c) {
  return make_uchar4(superpixel_color_channel(c.color[0]), superpixel_color_channel(c.color[1]),
                     superpixel_color_channel(c.color[2]), 255);
}

// The image with every superpixel painted in its mean colour, saved as a PNG.
void writeDebugImage(const dasp::Superpixels& result, const CMatrix<uchar4>& image) {
  static int counter = 0;
  const int W = image.xSize, H = image.ySize;
  std::vector<uchar4> buffer(image.data, image.data + std::size_t(W) * H);
  for (const dasp::Cluster& c : result.cluster) {
    const uchar4 color = clusterColor(c);
    for (int p : c.pixel_ids) buffer[p] = color;
  }
  std::stringstream name;
  name << output_directory << "/debug/superpixels_" << counter << ".png";

  yv::Array<uchar4, 2> view = yv::arrayFromHostMemory<uchar4>(buffer.data(), W, H);
  yv::Array<unsigned char, 4> planes = yv::mallocHostArray<unsigned char>(
      make_uint4(unsigned(W), unsigned(H), 3, 1), yv::PACKED);
  try {
    yv::Array<unsigned char, 3> planes3 =
        yv::internal::decreaseArrayDimension<unsigned char, 4, 3>(planes);
    yv::convert(planes3, view, 0);
    yv::saveImage<unsigned char>(planes3, name.str(), false);
  } catch (...) {
    std::free(planes.ptr);
    throw;
  }
  std::free(planes.ptr);
  ++counter;
}

}  // namespace

dasp::Parameters superpixel_parameters(const Camera& camera, int count) {
  dasp::Parameters p;
  if (camera.principal_point_unflipped) {
    p.camera_cx = camera.K[6];
    p.camera_cy = camera.K[7];
  } else {
    p.camera_cx = float(camera.width - 1) - camera.K[6];
    p.camera_cy = float(camera.height - 1) - camera.K[7];
  }
  p.camera_focal = camera.K[0];
  p.depth_unit = 0.001f;
  p.weight_world = 4.0f;
  p.weight_color = 2.0f;
  p.weight_image = 1.0f;
  p.iterations = 10;
  p.base_radius = 0.018f;
  p.count = count;
  return p;
}

void create_superpixels(std::vector<Superpixel>& superpixels, const CMatrix<float>& depth,
                        const CMatrix<uchar4>& image, const Camera& camera, float scale,
                        int count) {
  // Pixels are read from the depth map at the image's coordinates.
  if (depth.xSize != image.xSize || depth.ySize != image.ySize) {
    std::stringstream ss;
    ss << "create_superpixels: depth map and colour image differ in size" << std::endl
       << "depth map: " << depth.xSize << " x " << depth.ySize << std::endl
       << "colour image: " << image.xSize << " x " << image.ySize;
    throw std::runtime_error(ss.str());
  }
  std::cout << "Computing superpixels ... " << std::flush;

  const unsigned W = unsigned(std::max(image.xSize, 0)), H = unsigned(std::max(image.ySize, 0));
  slimage::Image3ub color(W, H);
  slimage::Image1ui16 depth_image(W, H);
  for (std::size_t i = 0; i < std::size_t(W) * H; ++i) {
    const uchar4 c = image.data[i];
    color[i * 3 + 0] = c.x;
    color[i * 3 + 1] = c.y;
    color[i * 3 + 2] = c.z;
    depth_image[i] = superpixel_depth_value(depth.data[i], scale);
  }

  const dasp::Parameters p = superpixel_parameters(camera, count);

  const dasp::Superpixels result = dasp::ComputeSuperpixels(color, depth_image, p);
  const int n = int(result.cluster.size());

  superpixels.clear();
  superpixels.resize(n);
  const unsigned Wd = unsigned(depth.xSize);
  std::exception_ptr error;
#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), t = omp_get_thread_num();
    const int chunk = (n + threads - 1) / threads;
    const int end = std::min((t + 1) * chunk, n);
    try {
      for (int i = t * chunk; i < end; ++i) {
        const dasp::Cluster& c = result.cluster[i];
        Superpixel& s = superpixels[i];
        s.pixels.reserve(s.pixels.size() + c.pixel_ids.size());
        for (int id : c.pixel_ids) {
          const unsigned u = unsigned(id);
          s.pixels.push_back(make_int2(int(u % Wd), int(u / Wd)));
        }
        s.color = clusterColor(c);
      }
    } catch (...) {
#pragma omp critical(create_superpixels_error)
      if (!error) error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);

  if (debug_write_superpixel_image) writeDebugImage(result, image);

  std::cout << "   created " << unsigned(n) << " superpixels\n";
}
