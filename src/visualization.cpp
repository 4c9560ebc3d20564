#include "visualization.h"

#include <cfloat>
#include <cmath>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "render_memory.h"
#include "rendering.h"
#include "settings.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/dump.h"

namespace {

struct PointsGuard {
  Points& points;
  ~PointsGuard() { releasePoints(points); }
};

struct BufferGuard {
  RenderBuffer& buffer;
  ~BufferGuard() { releaseRenderBuffer(buffer); }
};

void checkCameras(const std::vector<Camera*>& cameras) {
  if (cameras.empty())
    throw std::runtime_error("create_particles_for_visualization: no cameras given");
  const Camera& first = *cameras.front();
  for (const Camera* c : cameras)
    if (c->width != first.width || c->height != first.height) {
      std::stringstream ss;
      ss << "create_particles_for_visualization: all cameras must have the size of the first"
         << std::endl
         << " camera " << c->index << " is " << c->width << " x " << c->height
         << ", the first " << first.width << " x " << first.height;
      throw std::runtime_error(ss.str());
    }
}

}  // namespace

void create_particles_for_visualization(std::vector<Particle>& out_particles,
                                        std::vector<float>& out_offsets,
                                        std::vector<float3>& out_normals,
                                        const std::vector<Particle>& particles,
                                        const std::vector<float>& offsets,
                                        const std::vector<float3>& normals,
                                        const std::vector<Camera*>& cameras) {
  checkCameras(cameras);
  const std::size_t n = particles.size();
  if (offsets.size() != n || normals.size() != n) {
    std::stringstream ss;
    ss << "create_particles_for_visualization: the particle set is not aligned" << std::endl
       << " " << n << " particles, " << offsets.size() << " offsets, " << normals.size()
       << " normals";
    throw std::runtime_error(ss.str());
  }

  // 1. Camera index -> position in the list (a repeated index keeps the last position).
  std::map<int, std::size_t> table;
  for (std::size_t k = 0; k < cameras.size(); ++k) table[cameras[k]->index] = k;

  // 2. Distance of every point from the centre of its own camera.
  ArrayReleaser distGuard;
  yv::Array<float, 4> hostDist4 = yv::mallocHostArray<float>(make_uint4(unsigned(n), 1, 1, 1),
                                                             yv::PACKED);
  distGuard.add(hostDist4);
  yv::Array<float, 4> devDist4 =
      yv::mallocDeviceArray<float>(make_uint4(unsigned(n), 1, 1, 1), yv::PITCHED);
  distGuard.add(devDist4);
  yv::Array<float, 1> hostDist = yv::internal::decreaseArrayDimension<float, 4, 1>(hostDist4);
  yv::Array<float, 1> devDist = yv::internal::decreaseArrayDimension<float, 4, 1>(devDist4);
  std::vector<std::size_t> cameraOf(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto it = table.find(particles[i].camera);
    if (it == table.end()) throw std::runtime_error("this should not happen");
    cameraOf[i] = it->second;
    const float3 C = cameras[it->second]->center;
    const float3 E = effective_position(particles[i], offsets[i]);
    const float dx = C.x - E.x, dy = C.y - E.y, dz = C.z - E.z;
    hostDist.ptr[i] = std::sqrt(dx * dx + dy * dy + dz * dz);
  }
  yv::arrayCopy(devDist, hostDist);

  // 3.-5. Rendered colours and nearest-distance images per camera.
  const int W = cameras.front()->width, H = cameras.front()->height;
  std::vector<CMatrix<uchar4>> colors;
  std::vector<CMatrix<float>> distances;
  {
    Points points = createPoints(particles, offsets, normals);
    PointsGuard pointsGuard{points};
    RenderBuffer buffer = createRenderBuffer(W, H);
    BufferGuard bufferGuard{buffer};
    for (const Camera* camera : cameras) {
      render_points(buffer, points, *camera, 0.02f, 0.0f, FLT_MAX, 1.0f);
      CMatrix<uchar4> color(int(buffer.image.size.x), int(buffer.image.size.y));
      yv::Array<uchar4, 2> colorView =
          yv::arrayFromHostMemory(color.data, buffer.image.size.x, buffer.image.size.y);
      yv::arrayCopy(colorView, buffer.image);
      colors.push_back(std::move(color));

      const Projection projection = camera_projection(
          *camera, unsigned(camera->width), unsigned(camera->height), 0.0f, FLT_MAX);
      ArrayReleaser imageGuard;
      yv::Array<float, 2> image = yv::internal::decreaseArrayDimension<float, 4, 2>(
          yv::mallocDeviceArray<float>(make_uint4(projection.width, projection.height, 1, 1),
                                       yv::PITCHED));
      imageGuard.add(image);
      compute_min_camdistance(image, projection, points, devDist, 0.02f, 1.0f);
      CMatrix<float> distance(camera->width, camera->height);
      yv::Array<float, 2> distanceView =
          yv::arrayFromHostMemory(distance.data, projection.width, projection.height);
      yv::arrayCopy(distanceView, image);
      distances.push_back(std::move(distance));
    }
  }
  saveDepthmapStack(distances, output_directory + "/debug/min_camdistances.dat");

  // 6.-7. Marks: the point is the nearest surface at its own pixel. A pixel outside the image
  // cannot be, so such a point is dropped rather than read out of bounds.
  const std::size_t pixels = std::size_t(W) * std::size_t(H);
  auto imageValue = [&](std::size_t i, float& value) {
    const int px = particles[i].pixel;
    if (px < 0 || std::size_t(px) >= pixels) return false;
    value = distances[cameraOf[i]].data[px];
    return true;
  };
  std::vector<int> marks(n, 0);
  std::size_t exact = 0;
  for (std::size_t i = 0; i < n; ++i) {
    float value;
    if (imageValue(i, value) && value == hostDist.ptr[i]) {
      marks[i] = 1;
      ++exact;
    }
  }
  std::cout << "#points for visualization " << exact << std::endl;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    float value = 0.f;
    const bool inside = imageValue(i, value);
    marks[i] = inside && value >= hostDist.ptr[i] ? 1 : 0;
    kept += std::size_t(marks[i]);
    if (marks[i] == 0 && particles[i].pixel == 192400)
      std::cout << "camdistance " << hostDist.ptr[i] << "   min_camdistance " << value
                << std::endl;
  }
  std::cout << "#points for visualization " << kept << std::endl;

  // 9.-10. The display set: rendered colours, then only the marked points.
  std::vector<Particle> p = particles;
  std::vector<float> o = offsets;
  std::vector<float3> nrm = normals;
  for (std::size_t i = 0; i < n; ++i) {
    const int px = p[i].pixel;
    if (px >= 0 && std::size_t(px) < pixels) p[i].color = colors[cameraOf[i]].data[px];
  }
  threshold_particles<int>(marks, p, o, nrm, 1, 1);
  out_particles.swap(p);
  out_offsets.swap(o);
  out_normals.swap(nrm);
}

void saveDepthmapStack(const std::vector<CMatrix<float>>& depthmaps, std::string filename) {
  if (depthmaps.empty()) throw std::runtime_error("saveDepthmapStack: no images given");
  const int W = depthmaps.front().xSize, H = depthmaps.front().ySize;
  for (std::size_t k = 0; k < depthmaps.size(); ++k)
    if (depthmaps[k].xSize < W || depthmaps[k].ySize < H) {
      std::stringstream ss;
      ss << "saveDepthmapStack: image " << k << " is " << depthmaps[k].xSize << " x "
         << depthmaps[k].ySize << ", smaller than the first (" << W << " x " << H << ")";
      throw std::runtime_error(ss.str());
    }
  const unsigned D = unsigned(depthmaps.size());
  yv::Array<float, 4> stack = yv::mallocHostArray<float>(
      make_uint4(W > 0 ? unsigned(W) : 0u, H > 0 ? unsigned(H) : 0u, D, 1), yv::PACKED);
  ArrayReleaser guard;
  guard.add(stack);
  yv::Array<float, 3> stack3 = yv::internal::decreaseArrayDimension<float, 4, 3>(stack);
  for (unsigned k = 0; k < D; ++k) {
    const CMatrix<float>& m = depthmaps[k];
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        yv::at(stack3, unsigned(x), unsigned(y), k) = m.data[std::size_t(y) * m.xSize + x];
  }
  yv::writeArrayToFile<float, 3>(stack3, filename);
}
