// Scenes and read-backs shared by the rendering tests.
#pragma once

#include <cmath>
#include <vector>

#include "camera.h"
#include "particles.h"
#include "rendering.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace render_test {

// A W x H camera at the world origin looking along +z with the mirrored principal point (cx, cy):
// pixel (x, y) of a projection sees the ray ((x - cx) / fx, (y - cy) / fy, 1).
inline Camera makeCamera(int W, int H, float f, float cx, float cy, int index = 0) {
  Camera c;
  c.K[0] = f;
  c.K[4] = f;
  c.K[6] = cx;
  c.K[7] = cy;
  c.K[8] = 1.f;
  c.R[0] = c.R[4] = c.R[8] = 1.f;
  c.index = index;
  c.width = W;
  c.height = H;
  return c;
}

// Points as the render operations see them: position, normal, colour, footprint size.
struct Scene {
  std::vector<Particle> particles;
  std::vector<float> offsets;
  std::vector<float3> normals;

  void add(float3 pos, float3 normal, float size, uchar4 color = make_uchar4(0, 0, 0, 255),
           int camera = 0, int pixel = 0) {
    Particle p{};
    p.position = pos;
    const float len = std::sqrt(pos.x * pos.x + pos.y * pos.y + pos.z * pos.z);
    p.direction = len > 0 ? make_float3(-pos.x / len, -pos.y / len, -pos.z / len)
                          : make_float3(0, 0, -1);
    p.normal = p.direction;
    p.color = color;
    p.camera = camera;
    p.pixel = pixel;
    p.size = size;
    particles.push_back(p);
    offsets.push_back(0.f);
    normals.push_back(normal);
  }
  std::size_t size() const { return particles.size(); }
};

template <class T>
std::vector<T> download(const yv::Array<T, 2>& a) {
  std::vector<T> v(std::size_t(a.size.x) * a.size.y);
  yv::Array<T, 2> view = yv::arrayFromHostMemory(v.data(), a.size.x, a.size.y);
  yv::arrayCopy(view, a);
  return v;
}

template <class T>
std::vector<T> download(const yv::Array<T, 3>& a) {
  std::vector<T> v(std::size_t(a.size.x) * a.size.y * a.size.z);
  yv::Array<T, 3> view = yv::arrayFromHostMemory(v.data(), a.size.x, a.size.y, a.size.z);
  yv::arrayCopy(view, a);
  return v;
}

template <class T>
std::vector<T> download(const yv::Array<T, 1>& a) {
  std::vector<T> v(a.size.x);
  yv::Array<T, 1> view = yv::arrayFromHostMemory(v.data(), a.size.x);
  yv::arrayCopy(view, a);
  return v;
}

template <class T>
yv::Array<T, 2> upload(std::vector<T>& host, unsigned W, unsigned H) {
  yv::Array<T, 2> d = yv::internal::decreaseArrayDimension<T, 4, 2>(
      yv::mallocDeviceArray<T>(make_uint4(W, H, 1, 1), yv::PITCHED));
  yv::Array<T, 2> view = yv::arrayFromHostMemory(host.data(), W, H);
  yv::arrayCopy(d, view);
  return d;
}

// Owns a render buffer and a point set for the length of a test.
struct Rendered {
  RenderBuffer buffer;
  Points points;
  bool hasPoints = false;
  Rendered(int W, int H) : buffer(createRenderBuffer(W, H)) {}
  Rendered(int W, int H, const Scene& s) : buffer(createRenderBuffer(W, H)) {
    points = createPoints(s.particles, s.offsets, s.normals);
    hasPoints = true;
  }
  ~Rendered() {
    releaseRenderBuffer(buffer);
    if (hasPoints) releasePoints(points);
  }
  // Element (x, y) of a W-wide buffer image.
  std::size_t at(unsigned x, unsigned y) const { return std::size_t(y) * buffer.depth.size.x + x; }
};

}  // namespace render_test
