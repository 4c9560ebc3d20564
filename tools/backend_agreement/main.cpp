// Runs a fixed set of GPU operations on fixed inputs and writes every output, so that a run on the
// CUDA back end and one on the host back end (CUDA_VISIBLE_DEVICES="") can be compared element by
// element with scripts/compare-agreement.py.
//
//   backend_agreement OUT_DIR
//   backend_agreement --run TESSIVAR_ARGUMENTS...
//
// The second form runs tessivar's fusion in this process with the switches that no option sets
// turned on: the refinement cycles (pose refinement through cuBLAS, depth maps rendered from the
// model and refined) and the back-face removal. A run with the switches off is host code from end
// to end; this one launches kernels on the back end of the process, so that its models measure
// that back end. Output and exit code are tessivar's.
//
// OUT_DIR receives one raw file per output (OPERATION.OUTPUT.bin, native byte order, x fastest)
// and manifest.txt: a line "backend NAME", a line "device TEXT", then one line per output
//   output OPERATION OUTPUT TYPE COUNT EXPECT FILE
// TYPE is float, double, int or uchar (vector elements count as their components). EXPECT says
// whether the back ends should agree bit for bit: "exact", "texture" (hardware texture filtering
// or normalised byte reads enter) or "atomics" (sums formed by float atomics in any order).
//
// The inputs are made here from integers and correctly rounded arithmetic only (+ - * / and sqrt,
// no other libm call), so both runs start from the same bytes whatever machine they run on.
#include <cuda_runtime.h>
#include <omp.h>

#include <cfloat>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "camera_estimation_kernels.h"
#include "depthmap_estimation_kernels.h"
#include "depthmap_refinement_kernels.h"
#include "driver.h"
#include "particles.h"
#include "rendering.h"
#include "settings.h"
#include "sgm.h"
#include "sgm_kernels.h"
#include "yv/algorithms/basic/flip.h"
#include "yv/algorithms/basic/reductions.h"
#include "yv/algorithms/conversion/convert.h"
#include "yv/algorithms/transform/downsample.h"
#include "yv/algorithms/transform/upsample.h"
#include "yv/algorithms/transform/upsample2D.h"
#include "yv/filtering/filtering.h"
#include "yv/runtime/runtime.h"
#include "yv/runtime/texture.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"

namespace {

// ---- outputs ------------------------------------------------------------------------------------

enum class Expect { Exact, Texture, Atomics };
const char* expectName(Expect e) {
  return e == Expect::Exact ? "exact" : e == Expect::Texture ? "texture" : "atomics";
}

// Scalar type and component count of an element type.
template <class T> struct Elem;
template <> struct Elem<float> { static constexpr const char* type = "float"; static constexpr int n = 1; };
template <> struct Elem<float2> { static constexpr const char* type = "float"; static constexpr int n = 2; };
template <> struct Elem<float4> { static constexpr const char* type = "float"; static constexpr int n = 4; };
template <> struct Elem<double> { static constexpr const char* type = "double"; static constexpr int n = 1; };
template <> struct Elem<int> { static constexpr const char* type = "int"; static constexpr int n = 1; };
template <> struct Elem<int2> { static constexpr const char* type = "int"; static constexpr int n = 2; };
template <> struct Elem<unsigned char> { static constexpr const char* type = "uchar"; static constexpr int n = 1; };
template <> struct Elem<uchar2> { static constexpr const char* type = "uchar"; static constexpr int n = 2; };
template <> struct Elem<uchar4> { static constexpr const char* type = "uchar"; static constexpr int n = 4; };

struct Output {
  std::string op, name, type, file;
  std::size_t count;
  Expect expect;
};

class Writer {
 public:
  explicit Writer(std::string dir) : dir_(std::move(dir)) {}
  void begin(const std::string& op) { op_ = op; }

  template <class T>
  void add(const std::string& name, const std::vector<T>& v, Expect expect = Expect::Exact) {
    Output o{op_, name, Elem<T>::type, op_ + "." + name + ".bin", v.size() * Elem<T>::n, expect};
    std::ofstream f(dir_ + "/" + o.file, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size() * sizeof(T)));
    if (!f) throw std::runtime_error("cannot write " + dir_ + "/" + o.file);
    outputs_.push_back(o);
  }
  template <class T>
  void addValue(const std::string& name, T value, Expect expect = Expect::Exact) {
    add(name, std::vector<T>{value}, expect);
  }

  void writeManifest(const std::string& device) const {
    std::ofstream f(dir_ + "/manifest.txt", std::ios::trunc);
    f << "backend " << (yv::rt::onGpu() ? "cuda" : "host") << "\n";
    f << "device " << device << "\n";
    for (const Output& o : outputs_)
      f << "output " << o.op << " " << o.name << " " << o.type << " " << o.count << " "
        << expectName(o.expect) << " " << o.file << "\n";
    if (!f) throw std::runtime_error("cannot write " + dir_ + "/manifest.txt");
  }
  std::size_t size() const { return outputs_.size(); }

 private:
  std::string dir_, op_;
  std::vector<Output> outputs_;
};

// ---- device arrays ------------------------------------------------------------------------------

// A pitched device array owned for the length of an operation, zero-filled unless given values:
// elements an operation leaves alone must not show the allocator's leftovers. Operations that
// replace the allocation (the in-place resamplings) update `a`.
template <class T>
struct Dev {
  yv::Array<T, 4> a;
  explicit Dev(unsigned x, unsigned y = 1, unsigned z = 1, unsigned w = 1)
      : a(yv::mallocDeviceArray<T>(make_uint4(x, y, z, w), yv::PITCHED)) {
    upload(std::vector<T>(count(), T{}));
  }
  Dev(unsigned x, unsigned y, unsigned z, unsigned w, const std::vector<T>& v)
      : a(yv::mallocDeviceArray<T>(make_uint4(x, y, z, w), yv::PITCHED)) {
    upload(v);
  }
  ~Dev() { yv::releaseArray(a); }
  Dev(const Dev&) = delete;
  Dev& operator=(const Dev&) = delete;

  std::size_t count() const { return std::size_t(a.size.x) * a.size.y * a.size.z * a.size.w; }
  yv::Array<T, 1> d1() const { return yv::internal::decreaseArrayDimension<T, 4, 1>(a); }
  yv::Array<T, 2> d2() const { return yv::internal::decreaseArrayDimension<T, 4, 2>(a); }
  yv::Array<T, 3> d3() const { return yv::internal::decreaseArrayDimension<T, 4, 3>(a); }

  void upload(const std::vector<T>& v) {
    if (v.size() != count()) throw std::logic_error("upload: wrong element count");
    std::vector<T> copy(v);
    yv::arrayCopy(a, yv::arrayFromHostMemory(copy.data(), a.size));
  }
  std::vector<T> download() const {
    std::vector<T> v(count());
    yv::Array<T, 4> h = yv::arrayFromHostMemory(v.data(), a.size);
    yv::arrayCopy(h, a);
    return v;
  }
};

template <class T>
std::vector<T> fetch(const yv::Array<T, 1>& d) {
  std::vector<T> v(d.size.x);
  yv::Array<T, 1> h = yv::arrayFromHostMemory(v.data(), d.size.x);
  yv::arrayCopy(h, d);
  return v;
}
template <class T>
std::vector<T> fetch(const yv::Array<T, 2>& d) {
  std::vector<T> v(std::size_t(d.size.x) * d.size.y);
  yv::Array<T, 2> h = yv::arrayFromHostMemory(v.data(), d.size.x, d.size.y);
  yv::arrayCopy(h, d);
  return v;
}
template <class T>
std::vector<T> fetch(const yv::Array<T, 3>& d) {
  std::vector<T> v(std::size_t(d.size.x) * d.size.y * d.size.z);
  yv::Array<T, 3> h = yv::arrayFromHostMemory(v.data(), d.size.x, d.size.y, d.size.z);
  yv::arrayCopy(h, d);
  return v;
}

// ---- inputs -------------------------------------------------------------------------------------

std::uint32_t hash(std::uint32_t i, std::uint32_t seed) {
  std::uint32_t x = i * 0x9E3779B1u + seed * 0x85EBCA77u + 0x165667B1u;
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}
// Uniform in [lo, hi), multiples of 2^-24 of the range.
float uniform(std::uint32_t i, std::uint32_t seed, float lo = 0.f, float hi = 1.f) {
  return lo + (hi - lo) * (float(hash(i, seed) >> 8) * (1.f / 16777216.f));
}

// A triangle wave in [0, 1] with the given period in pixels: smooth shading without libm.
float tri(float t, float period) {
  float f = t / period;
  f -= float(static_cast<long>(f < 0 ? f - 1 : f));
  return f < 0.5f ? 2.f * f : 2.f - 2.f * f;
}

// Colour image: overlapping ramps and a little noise, alpha 255.
std::vector<uchar4> colourImage(unsigned W, unsigned H, std::uint32_t seed) {
  std::vector<uchar4> img(std::size_t(W) * H);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) {
      const std::uint32_t i = y * W + x;
      const float fx = float(x) + float(seed % 7), fy = float(y);
      auto ch = [&](float v, unsigned k) {
        const int n = int(200.f * v) + int(hash(i, seed + k) % 48u);
        return (unsigned char)(n > 255 ? 255 : n);
      };
      img[i] = make_uchar4(ch(tri(fx + 0.5f * fy, 37.f), 0), ch(tri(fy - 0.3f * fx, 23.f), 1),
                           ch(tri(fx + fy, 51.f), 2), 255);
    }
  return img;
}

std::vector<float> floatImage(std::size_t n, std::uint32_t seed, float lo, float hi) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = uniform(std::uint32_t(i), seed, lo, hi);
  return v;
}

// The views: 160 x 120 cameras. View 0 sits at the origin looking along +z; view 1 is turned
// about y and x and moved sideways; view 2 differs from view 0 by a small pose change, as the
// pose refinement sees it (rotations from normalised quaternions: arithmetic only).
const unsigned kW = 160, kH = 120;
const float kF = 150.f, kCx = 79.5f, kCy = 59.5f;

Projection view(int which) {
  struct Pose {
    float qx, qy, t[3];
  };
  const Pose poses[3] = {{0.f, 0.f, {0.f, 0.f, 0.f}},
                         {0.02f, 0.06f, {-0.12f, 0.03f, 0.02f}},
                         {0.002f, -0.003f, {0.004f, -0.002f, 0.003f}}};
  const Pose& q = poses[which];
  Projection p{};
  p.width = kW;
  p.height = kH;
  p.fx = p.fy = kF;
  p.cx = kCx;
  p.cy = kCy;
  p.near = 0.1f;
  p.far = 100.f;
  const float qw = 1.f, qx = q.qx, qy = q.qy, n2 = qw * qw + qx * qx + qy * qy;
  // R of the quaternion (qw, qx, qy, 0) divided by its squared norm, row by row.
  p.R[0] = (qw * qw + qx * qx - qy * qy) / n2;
  p.R[1] = (2.f * qx * qy) / n2;
  p.R[2] = (2.f * qw * qy) / n2;
  p.R[3] = (2.f * qx * qy) / n2;
  p.R[4] = (qw * qw - qx * qx + qy * qy) / n2;
  p.R[5] = (-2.f * qw * qx) / n2;
  p.R[6] = (-2.f * qw * qy) / n2;
  p.R[7] = (2.f * qw * qx) / n2;
  p.R[8] = (qw * qw - qx * qx - qy * qy) / n2;
  for (int k = 0; k < 3; ++k) p.t[k] = q.t[k];
  return p;
}

// The scene surface: the world plane n . X = d (z = 2 + 0.25 x + 0.1 y).
const float kPlaneN[3] = {-0.25f, -0.1f, 1.f}, kPlaneD = 2.f;

// Depth map of the plane in a view's mirrored layout: element (ex, ey) is pixel
// (W - 1 - ex, H - 1 - ey), whose ray is ((px - cx) / fx, (py - cy) / fy, 1).
std::vector<float> planeDepth(const Projection& p) {
  float m[3];  // R n: the plane's normal in the camera frame
  for (int r = 0; r < 3; ++r)
    m[r] = p.R[3 * r] * kPlaneN[0] + p.R[3 * r + 1] * kPlaneN[1] + p.R[3 * r + 2] * kPlaneN[2];
  const float num = kPlaneD + m[0] * p.t[0] + m[1] * p.t[1] + m[2] * p.t[2];
  std::vector<float> d(std::size_t(p.width) * p.height);
  for (unsigned ey = 0; ey < p.height; ++ey)
    for (unsigned ex = 0; ex < p.width; ++ex) {
      const float qx = (float(p.width - 1 - ex) - p.cx) / p.fx;
      const float qy = (float(p.height - 1 - ey) - p.cy) / p.fy;
      d[std::size_t(ey) * p.width + ex] = num / (m[0] * qx + m[1] * qy + m[2]);
    }
  return d;
}

// About 3000 points on the plane seen from view 0, jittered off it, facing the camera with tilted
// normals; every fifth one has a twin 5 cm behind it, every 17th faces away.
struct PointScene {
  std::vector<Particle> particles;
  std::vector<float> offsets;
  std::vector<float3> normals;
};

PointScene pointScene() {
  PointScene s;
  const int nx = 64, ny = 48;
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) {
      const std::uint32_t k = std::uint32_t(j * nx + i);
      const float x = -0.95f + 1.9f * (float(i) + uniform(k, 1)) / float(nx);
      const float y = -0.7f + 1.4f * (float(j) + uniform(k, 2)) / float(ny);
      const float z = 2.f + 0.25f * x + 0.1f * y + uniform(k, 3, -0.01f, 0.01f);
      float3 n = make_float3(uniform(k, 4, 0.1f, 0.4f), uniform(k, 5, -0.1f, 0.2f), -1.f);
      const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
      n = make_float3(n.x / len, n.y / len, n.z / len);
      if (k % 17 == 0) n = make_float3(-n.x, -n.y, -n.z);
      const int copies = k % 5 == 0 ? 2 : 1;
      for (int c = 0; c < copies; ++c) {
        Particle p{};
        p.position = make_float3(x, y, z + 0.05f * float(c));
        p.direction = make_float3(0.f, 0.f, -1.f);
        p.normal = n;
        p.color = make_uchar4((unsigned char)(hash(k, 6) & 255u), (unsigned char)(hash(k, 7) & 255u),
                              (unsigned char)(hash(k, 8) & 255u), 255);
        p.size = uniform(k, 9, 0.012f, 0.03f);
        s.particles.push_back(p);
        s.offsets.push_back(uniform(k, 10, -0.002f, 0.002f));
        s.normals.push_back(n);
      }
    }
  return s;
}

// ---- operations ---------------------------------------------------------------------------------

void conversions(Writer& w) {
  const unsigned W = 97, H = 61;  // odd sizes: rows do not fill whole blocks
  const std::vector<uchar4> img = colourImage(W, H, 11);
  Dev<uchar4> in(W, H, 1, 1, img);
  {
    Dev<unsigned char> planes(W, H, 4);
    yv::Array<unsigned char, 3> p = planes.d3();
    yv::convert(p, in.d2(), 0);
    w.add("planes_u8", planes.download());
    Dev<uchar4> back(W, H);
    yv::Array<uchar4, 2> b = back.d2();
    yv::convert(b, planes.d3(), (unsigned char)77, 0);
    w.add("interleaved_u8", back.download());
  }
  {
    Dev<float> scaled(W, H, 3);
    yv::Array<float, 3> s = scaled.d3();
    yv::convert(s, in.d2(), true, 0);
    w.add("scaled_float", scaled.download());
    Dev<double> scaledD(W, H, 4);
    yv::Array<double, 3> sd = scaledD.d3();
    yv::convert(sd, in.d2(), true, 0);
    w.add("scaled_double", scaledD.download());
    // Back to bytes from values around and beyond [0, 1].
    std::vector<float> f = floatImage(std::size_t(W) * H * 3, 12, -0.1f, 1.1f);
    Dev<float> planar(W, H, 3, 1, f);
    Dev<uchar4> bytes(W, H);
    yv::Array<uchar4, 2> b = bytes.d2();
    yv::convert(b, planar.d3(), true, (unsigned char)200, 0);
    w.add("from_scaled_float", bytes.download());
  }
  {
    std::vector<float4> f(std::size_t(W) * H);
    const std::vector<float> r = floatImage(f.size() * 4, 13, -3.f, 3.f);
    for (std::size_t i = 0; i < f.size(); ++i)
      f[i] = make_float4(r[4 * i], r[4 * i + 1], r[4 * i + 2], r[4 * i + 3]);
    Dev<float4> inF(W, H, 1, 1, f);
    Dev<float> planes(W, H, 4);
    yv::Array<float, 3> p = planes.d3();
    yv::convert(p, inF.d2(), 0);
    w.add("planes_float", planes.download());
    Dev<float4> back(W, H);
    yv::Array<float4, 2> b = back.d2();
    yv::convert(b, planes.d3(), 0.5f, 0);
    w.add("interleaved_float", back.download());
  }
  {
    // Element casts: rounding, truncation, saturation and wrap-around.
    const std::vector<float> f = floatImage(std::size_t(W) * H, 14, -3.0e9f, 3.0e9f);
    const std::vector<float> small = floatImage(std::size_t(W) * H, 15, -300.f, 600.f);
    std::vector<int> ints(std::size_t(W) * H);
    for (std::size_t i = 0; i < ints.size(); ++i) ints[i] = int(hash(std::uint32_t(i), 16));
    Dev<float> dF(W, H, 1, 1, f), dSmall(W, H, 1, 1, small);
    Dev<int> dI(W, H, 1, 1, ints);
    Dev<int> toInt(W, H);
    yv::convert(toInt.a, dF.a, 0);
    w.add("float_to_int", toInt.download());
    Dev<float> toFloat(W, H);
    yv::convert(toFloat.a, dI.a, 0);
    w.add("int_to_float", toFloat.download());
    Dev<unsigned char> toByte(W, H), intToByte(W, H);
    yv::convert(toByte.a, dSmall.a, 0);
    w.add("float_to_uchar", toByte.download());
    yv::convert(intToByte.a, dI.a, 0);
    w.add("int_to_uchar", intToByte.download());
  }
}

void resampling(Writer& w) {
  const unsigned W = 45, H = 33;
  const std::vector<float> f = floatImage(std::size_t(W) * H, 21, -1.f, 1.f);
  {
    Dev<float> in(W, H, 1, 1, f), outP(101, 77), outL(101, 77);
    yv::Array<float, 2> i = in.d2(), p = outP.d2(), l = outL.d2();
    yv::upsample(p, i, YvInterpolationPoint);
    w.add("upsample2d_point", outP.download());
    yv::upsample(l, i, YvInterpolationLinear);
    w.add("upsample2d_linear", outL.download(), Expect::Texture);
  }
  {
    // Volumes enlarged in x, y and z: float through a 3-D texture, float4 and double directly.
    const unsigned X = 13, Y = 11, Z = 5;
    const uint3 to = make_uint3(29, 20, 9);
    const std::vector<float> v = floatImage(std::size_t(X) * Y * Z * 2, 22, 0.f, 4.f);
    Dev<float> vf(X, Y, Z, 2, v);
    yv::upsample(vf.a, to);
    w.add("upsample3d_float", vf.download(), Expect::Texture);
    std::vector<float4> v4(std::size_t(X) * Y * Z);
    for (std::size_t k = 0; k < v4.size(); ++k) v4[k] = make_float4(v[k], -v[k], 2.f * v[k], 1.f);
    Dev<float4> vf4(X, Y, Z, 1, v4);
    yv::upsample(vf4.a, to);
    w.add("upsample3d_float4", vf4.download());
    std::vector<double> vd(v.begin(), v.end());
    Dev<double> vdd(X, Y, Z, 2, vd);
    yv::upsample(vdd.a, to);
    w.add("upsample3d_double", vdd.download());
    // Plane by plane in x and y.
    Dev<float> pf(X, Y, Z, 2, v);
    yv::upsample2D(pf.a, make_uint2(30, 23));
    w.add("upsample_planes_float", pf.download(), Expect::Texture);
    Dev<double> pd(X, Y, Z, 2, vd);
    yv::upsample2D(pd.a, make_uint2(30, 23));
    w.add("upsample_planes_double", pd.download());
  }
  {
    // Area averages, plain and weighted, and tent filtering of volumes.
    const std::vector<float> big = floatImage(std::size_t(160) * 120, 23, -2.f, 2.f);
    const std::vector<float> weights = floatImage(big.size(), 24, 0.f, 1.f);
    Dev<float> in(160, 120, 1, 1, big), wt(160, 120, 1, 1, weights), out(53, 41), outW(53, 41);
    yv::Array<float, 2> o = out.d2(), ow = outW.d2(), i = in.d2();
    yv::downsample(o, i, yv::Array<float, 2>{}, 0);
    w.add("downsample_area", out.download());
    yv::downsample(ow, i, wt.d2(), 0);
    w.add("downsample_weighted", outW.download());
    std::vector<float> vol = floatImage(std::size_t(40) * 30 * 8 * 2, 25, 0.f, 1.f);
    Dev<float> tent(40, 30, 8, 2, vol);
    yv::downsample(tent.a, make_uint3(17, 11, 5), 0);
    w.add("downsample_tent_float", tent.download());
    std::vector<float4> vol4(std::size_t(40) * 30 * 8);
    for (std::size_t k = 0; k < vol4.size(); ++k)
      vol4[k] = make_float4(vol[k], vol[k + vol4.size()], 1.f - vol[k], 0.25f);
    Dev<float4> tent4(40, 30, 8, 1, vol4);
    yv::downsample(tent4.a, make_uint3(17, 11, 5), 0);
    w.add("downsample_tent_float4", tent4.download());
  }
}

void filters(Writer& w) {
  const unsigned X = 67, Y = 43, Z = 7;
  const std::vector<float> v = floatImage(std::size_t(X) * Y * Z, 31, -1.f, 1.f);
  const yv::Filter<float, 5> smooth = {{0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f}, 2};
  const yv::Filter<float, 3> derivative = {{-0.5f, 0.f, 0.5f}, 1};
  const yv::Filter<float, 10> wide = {{0.01f, 0.04f, 0.08f, 0.12f, 0.25f, 0.2f, 0.14f, 0.09f, 0.05f, 0.02f}, 4};
  {
    Dev<float> in(X, Y, Z, 1, v), out(X, Y, Z);
    yv::filterX(out.a, in.a, smooth, yv::MIRROR);
    w.add("x_float_mirror", out.download());
    yv::filterY(out.a, in.a, derivative, yv::CLAMP);
    w.add("y_float_clamp", out.download());
    yv::filterZ(out.a, in.a, wide, yv::ZERO);
    w.add("z_float_zero", out.download());
  }
  {
    std::vector<float4> v4(std::size_t(X) * Y);
    for (std::size_t k = 0; k < v4.size(); ++k)
      v4[k] = make_float4(v[k], v[k + v4.size()], v[k + 2 * v4.size()], 1.f);
    Dev<float4> in(X, Y, 1, 1, v4), out(X, Y);
    yv::filterY(out.a, in.a, smooth, yv::ZERO);
    w.add("y_float4_zero", out.download());
    std::vector<float2> v2(v4.size());
    for (std::size_t k = 0; k < v2.size(); ++k) v2[k] = make_float2(v4[k].x, v4[k].y);
    Dev<float2> in2(X, Y, 1, 1, v2), out2(X, Y);
    yv::filterX(out2.a, in2.a, wide, yv::CLAMP);
    w.add("x_float2_clamp", out2.download());
  }
  {
    std::vector<double> vd(v.begin(), v.end());
    const yv::Filter<double, 4> d4 = {{0.1, 0.4, 0.3, 0.2}, 1};
    Dev<double> in(X, Y, Z, 1, vd), out(X, Y, Z);
    yv::filterZ(out.a, in.a, d4, yv::MIRROR);
    w.add("z_double_mirror", out.download());
  }
}

void median(Writer& w) {
  const unsigned W = 131, H = 97;
  std::vector<float> v = floatImage(std::size_t(W) * H, 41, -5.f, 5.f);
  for (std::size_t i = 0; i < v.size(); i += 37) v[i] = 1.f;  // ties
  Dev<float> in(W, H, 1, 1, v), out(W, H);
  yv::Array<float, 2> o = out.d2();
  yv::median3x3(o, in.d2());
  w.add("median", out.download());
}

void reductions(Writer& w) {
  const unsigned W = 150, H = 70;
  std::vector<float> f = floatImage(std::size_t(W) * H, 51, -100.f, 100.f);
  for (std::size_t i = 5; i < f.size(); i += 101) f[i] = NAN;  // skipped
  std::vector<int> n(f.size());
  std::vector<unsigned char> b(f.size());
  std::vector<double> d(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) {
    n[i] = int(hash(std::uint32_t(i), 52) >> 1) - (1 << 30);
    b[i] = (unsigned char)(20 + hash(std::uint32_t(i), 53) % 200u);
    d[i] = double(uniform(std::uint32_t(i), 54, -1.f, 1.f)) / 3.0;
  }
  Dev<float> df(W, H, 1, 1, f);
  Dev<int> dn(W, H, 1, 1, n);
  Dev<unsigned char> db(W, H, 1, 1, b);
  Dev<double> dd(W, H, 1, 1, d);
  yv::Array<float, 2> af = df.d2();
  yv::Array<int, 2> an = dn.d2();
  yv::Array<unsigned char, 2> ab = db.d2();
  yv::Array<double, 2> ad = dd.d2();
  w.add("float", std::vector<float>{yv::Min(af, 0), yv::Max(af, 0)});
  const float2 mmf = yv::MinMax(af, 0);
  w.add("float_minmax", std::vector<float>{mmf.x, mmf.y});
  w.add("int", std::vector<int>{yv::Min(an, 0), yv::Max(an, 0)});
  const int2 mmn = yv::MinMax(an, 0);
  w.add("int_minmax", std::vector<int>{mmn.x, mmn.y});
  w.add("uchar", std::vector<unsigned char>{yv::Min(ab, 0), yv::Max(ab, 0)});
  const uchar2 mmb = yv::MinMax(ab, 0);
  w.add("uchar_minmax", std::vector<unsigned char>{mmb.x, mmb.y});
  w.add("double", std::vector<double>{yv::Min(ad, 0), yv::Max(ad, 0)});
}

void flips(Writer& w) {
  const unsigned X = 37, Y = 21, Z = 6, Wd = 2;
  std::vector<int> v(std::size_t(X) * Y * Z * Wd);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = int(i);
  Dev<int> a(X, Y, Z, Wd, v);
  yv::flipX(a.a);
  w.add("x", a.download());
  yv::flipY(a.a);
  w.add("xy", a.download());
  yv::flipZ(a.a);
  w.add("xyz", a.download());
  std::vector<uchar4> img = colourImage(X, Y, 55);
  Dev<uchar4> u(X, Y, 1, 1, img);
  yv::flipY(u.a);
  w.add("y_uchar4", u.download());
}

// The rendering of the point scene into view 1 (a point set seen at an angle).
void renderPoints(Writer& w) {
  const PointScene s = pointScene();
  Points pts = createPoints(s.particles, s.offsets, s.normals);
  RenderBuffer b = createRenderBuffer(kW, kH);
  render_points(b, view(1), pts, 0.02f, 1.f);
  w.add("depth", fetch(b.depth));  // a minimum: order-free
  w.add("image", fetch(b.image), Expect::Atomics);
  w.add("color_sum", fetch(b.color_sum), Expect::Atomics);
  w.add("normal_sum", fetch(b.normal_sum), Expect::Atomics);
  w.add("weight_sum", fetch(b.weight_sum), Expect::Atomics);
  releaseRenderBuffer(b);
  releasePoints(pts);
}

void depthAndNormals(Writer& w) {
  const PointScene s = pointScene();
  Points pts = createPoints(s.particles, s.offsets, s.normals);
  Dev<float> depth(kW, kH), normals(kW, kH, 3);
  yv::Array<float, 2> d = depth.d2();
  yv::Array<float, 3> n = normals.d3();
  _compute_depthmap_and_normals_from_points(d, n, view(0), pts, 0.02f, 1.f);
  w.add("depth", depth.download());
  w.add("normal_sum", normals.download(), Expect::Atomics);
  releasePoints(pts);
}

void contributing(Writer& w) {
  const PointScene s = pointScene();
  Points pts = createPoints(s.particles, s.offsets, s.normals);
  RenderBuffer b = createRenderBuffer(kW, kH);
  yv::Array<int, 1> flags = contributing_points(b, view(1), pts, 0.02f, 1.f);
  w.add("flags", fetch(flags));
  yv::releaseArray(flags);
  releaseRenderBuffer(b);
  releasePoints(pts);
}

// View 0's depth map and colour image drawn into view 1.
void renderDepthmap(Writer& w) {
  Dev<float> depth(kW, kH, 1, 1, planeDepth(view(0)));
  Dev<uchar4> image(kW, kH, 1, 1, colourImage(kW, kH, 61));
  RenderBuffer b = createRenderBuffer(kW, kH);
  render_depthmap(b, 1.f / kF, 1.f / kF, kCx, kCy, view(1), depth.d2(), image.d2(), 1.f);
  w.add("depth", fetch(b.depth));
  w.add("image", fetch(b.image), Expect::Atomics);
  w.add("color_sum", fetch(b.color_sum), Expect::Atomics);
  w.add("weight_sum", fetch(b.weight_sum), Expect::Atomics);
  releaseRenderBuffer(b);
}

// View 1's image warped onto view 0's depth map, occlusion tested against view 1's depth (with
// a raised patch that hides part of the plane).
void projectTexture(Writer& w) {
  std::vector<float> otherDepth = planeDepth(view(1));
  for (unsigned y = 40; y < 70; ++y)
    for (unsigned x = 60; x < 100; ++x) otherDepth[y * kW + x] -= 0.3f;
  Dev<float> ref(kW, kH, 1, 1, planeDepth(view(0))), other(kW, kH, 1, 1, otherDepth);
  Dev<uchar4> otherImage(kW, kH, 1, 1, colourImage(kW, kH, 62)), result(kW, kH);
  yv::Array<uchar4, 2> r = result.d2();
  project_texture_on_depthmap(r, 1.f / kF, 1.f / kF, kCx, kCy, view(1), ref.d2(), other.d2(),
                              otherImage.d2(), 0.05f, 0.01f);
  w.add("result", result.download(), Expect::Texture);
}

// Reference and second image of a stereo pair: the second one is the reference shifted right by
// 3 + y / 16 pixels, so the best label varies over the image.
const unsigned kSW = 64, kSH = 48, kLabels = 12;

std::vector<uchar4> shiftedImage(const std::vector<uchar4>& ref, unsigned W, unsigned H) {
  std::vector<uchar4> out = colourImage(W, H, 71);
  for (unsigned y = 0; y < H; ++y) {
    const unsigned d = 3 + y / 16;
    for (unsigned x = d; x < W; ++x) out[y * W + x] = ref[y * W + x - d];
  }
  return out;
}

void matchingCosts(Writer& w) {
  const std::vector<uchar4> ref = colourImage(kSW, kSH, 72);
  Dev<uchar4> dRef(kSW, kSH, 1, 1, ref), dImg(kSW, kSH, 1, 1, shiftedImage(ref, kSW, kSH));
  const float f = 60.f, B = 0.1f, cx = 31.5f, cy = 23.5f;
  const ProjectionMatrix P{{f, 0.f, cx, -f * B, 0.f, f, cy, 0.f, 0.f, 0.f, 1.f, 0.f}};
  const float depth0 = f * B / 2.f, depth1 = f * B / (2.f + float(kLabels - 1));
  for (MatchingCostsMetric m : {MatchingCostsMetric::SAD, MatchingCostsMetric::NCC}) {
    Dev<float> costs(kSW, kSH, kLabels, 2);
    add_matching_costs(costs.a, dRef.d2(), dImg.d2(), depth0, depth1, f, f, cx, cy, P, m);
    w.add(m == MatchingCostsMetric::SAD ? "sad" : "ncc", costs.download(), Expect::Texture);
  }
  Dev<float> costs(kSW, kSH, kLabels, 2);
  add_matching_costs2(costs.a, dRef.d2(), dImg.d2(), depth0, depth1, f, f, cx, cy, P,
                      MatchingCostsMetric::NCC);
  w.add("plane_sweep_ncc", costs.download(), Expect::Texture);
}

void nccScore(Writer& w) {
  const std::vector<uchar4> a = colourImage(kW, kH, 81);
  std::vector<uchar4> b = colourImage(kW, kH, 81);
  for (std::size_t i = 0; i < b.size(); ++i) {
    const int d = int(hash(std::uint32_t(i), 82) % 31u) - 15;
    const int g = b[i].y + d;
    b[i].y = (unsigned char)(g < 0 ? 0 : g > 255 ? 255 : g);
    if (hash(std::uint32_t(i), 83) % 11u == 0) b[i].w = 100;  // excluded from the window
  }
  std::vector<float> depth = planeDepth(view(0));
  for (std::size_t i = 0; i < depth.size(); i += 29) depth[i] = 0.f;  // no depth
  Dev<uchar4> i1(kW, kH, 1, 1, a), i2(kW, kH, 1, 1, b);
  Dev<float> dd(kW, kH, 1, 1, depth), out(kW, kH);
  yv::Array<float, 2> o = out.d2();
  for (int radius : {2, 3}) {
    ncc(o, i1.d2(), i2.d2(), dd.d2(), 0.05f, radius);
    w.add("radius" + std::to_string(radius), out.download(), Expect::Texture);
  }
}

// The pose kernels at view 2's small pose change: residual of the real image against a rendering,
// its Jacobian from the image gradient, and the clean-up of rejected pixels.
void poseKernels(Writer& w) {
  const std::vector<uchar4> real = colourImage(kW, kH, 91);
  // The rendering: the real image with small colour errors, so that most residuals are kept.
  std::vector<uchar4> rendered = real;
  for (std::size_t i = 0; i < rendered.size(); ++i) {
    const int d = int(hash(std::uint32_t(i), 92) % 41u) - 20;
    const int r = rendered[i].x + d;
    rendered[i].x = (unsigned char)(r < 0 ? 0 : r > 255 ? 255 : r);
  }
  std::vector<float> depth = planeDepth(view(0));
  for (std::size_t i = 0; i < depth.size(); i += 23) depth[i] = FLT_MAX;  // nothing rendered
  Dev<uchar4> dReal(kW, kH, 1, 1, real), dRendered(kW, kH, 1, 1, rendered);
  Dev<float> dDepth(kW, kH, 1, 1, depth), residual(kW, kH, 3);
  const Projection pr = view(2);
  yv::Array<float, 3> res = residual.d3();
  computeDifferenceImage(res, dReal.d2(), dRendered.d2(), dDepth.d2(), 0.5f, pr, 1.f / kF,
                         1.f / kF, kCx, kCy);
  w.add("residual", residual.download(), Expect::Texture);
  Dev<float> asFloat(kW, kH, 3);
  yv::Array<float, 3> af = asFloat.d3();
  convertToFloat(af, dReal.d2());
  w.add("real_as_float", asFloat.download());

  // Central differences of the real image, as the refinement forms them, in 6 layers.
  std::vector<float> grad(std::size_t(kW) * kH * 6);
  for (unsigned y = 0; y < kH; ++y)
    for (unsigned x = 0; x < kW; ++x)
      for (unsigned c = 0; c < 3; ++c) {
        auto v = [&](unsigned xx, unsigned yy) {
          const uchar4 p = real[std::size_t(yy) * kW + xx];
          return float(c == 0 ? p.x : c == 1 ? p.y : p.z) / 255.f;
        };
        const unsigned xl = x ? x - 1 : 0, xr = x + 1 < kW ? x + 1 : x;
        const unsigned yu = y ? y - 1 : 0, yd = y + 1 < kH ? y + 1 : y;
        grad[(std::size_t(c) * kH + y) * kW + x] = 0.5f * (v(xr, y) - v(xl, y));
        grad[(std::size_t(c + 3) * kH + y) * kW + x] = 0.5f * (v(x, yd) - v(x, yu));
      }
  Dev<float> dGrad(kW, kH, 6, 1, grad), jacobian(kW, kH, 18);
  yv::Array<float, 3> jac = jacobian.d3();
  computeGradientPsi(jac, dGrad.d3(), dDepth.d2(), pr, 1.f / kF, 1.f / kF, kCx, kCy);
  w.add("jacobian", jacobian.download(), Expect::Texture);

  Dev<uchar4> valid(kW, kH);
  yv::Array<float, 2> dd = dDepth.d2();
  const int zeroed = setNANtoZero(res, valid.d2(), dd);
  w.add("residual_cleaned", residual.download(), Expect::Texture);
  w.addValue("rejected", zeroed, Expect::Texture);
  w.add("valid", valid.download(), Expect::Texture);
}

// Label-major cost volume (label, column, row) for the path kernels.
std::vector<float> pathCosts(unsigned n, unsigned W, unsigned H) {
  std::vector<float> c(std::size_t(n) * W * H);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) {
      const unsigned best = (x / 8 + y / 6) % n;
      for (unsigned l = 0; l < n; ++l) {
        const std::size_t i = (std::size_t(y) * W + x) * n + l;
        const float dist = float(l > best ? l - best : best - l);
        c[i] = 0.2f * dist + uniform(std::uint32_t(i), 101, 0.f, 1.5f);
      }
    }
  return c;
}

void sgmPaths(Writer& w) {
  const unsigned n = 16, W = 50, H = 37;
  const std::vector<float> costs = pathCosts(n, W, H);
  Dev<float> C(n, W, H, 1, costs);
  std::vector<float> p2(std::size_t(W) * H);
  for (std::size_t i = 0; i < p2.size(); ++i) p2[i] = uniform(std::uint32_t(i), 102, 0.5f, 2.f);
  Dev<float> map(W, H, 1, 1, p2);
  yv::rt::Texture2D<float> tex;
  yv::rt::TextureDesc desc;  // point sampling of the elements
  if (yv::rt::createTexture2D(&tex, map.a.ptr, map.a.pitch.y, W, H, desc) != cudaSuccess)
    throw std::runtime_error("sgm paths: cannot make a texture of the P2 map");
  Dev<float> S(n, W, H), Smap(n, W, H);
  // One direction of each family: axis, diagonal, knight's move and the 32-path steps.
  sgm_path_kernel<false, 1, 0>(S.d3(), C.d3(), 0.3f, 1.2f, tex, 0);
  sgm_path_kernel<false, 0, -1>(S.d3(), C.d3(), 0.3f, 1.2f, tex, 0);
  sgm_path_kernel<false, -1, 1>(S.d3(), C.d3(), 0.3f, 1.2f, tex, 0);
  sgm_path_kernel<false, 2, -1>(S.d3(), C.d3(), 0.3f, 1.2f, tex, 0);
  sgm_path_kernel<false, -3, 4>(S.d3(), C.d3(), 0.3f, 1.2f, tex, 0);
  sgm_path_kernel<true, -1, 0>(Smap.d3(), C.d3(), 0.3f, 1.2f, tex, 0);
  sgm_path_kernel<true, 1, 1>(Smap.d3(), C.d3(), 0.3f, 1.2f, tex, 0);
  sgm_path_kernel<true, 4, -3>(Smap.d3(), C.d3(), 0.3f, 1.2f, tex, 0);
  yv::rt::deviceSynchronize();
  yv::rt::destroyTexture(&tex);
  YV_CHECK_CUDA_ERROR();
  w.add("aggregated", S.download());
  w.add("aggregated_p2map", Smap.download());
  Dev<float> labels(W, H);
  sgm_extract_labels(labels.d2(), S.d3());
  YV_CHECK_CUDA_ERROR();
  w.add("labels", labels.download());
}

// The whole module on the stereo pair: costs, edge-adaptive P2, sgm with 8 paths on two streams,
// labels to depths and the median.
void sgmLabels(Writer& w) {
  const std::vector<uchar4> ref = colourImage(kSW, kSH, 111);
  Dev<uchar4> dRef(kSW, kSH, 1, 1, ref);
  Dev<float> edge(kSW, kSH);
  yv::Array<float, 2> e = edge.d2();
  compute_edge_map(e, dRef.d2());
  w.add("edge_map", edge.download());
  compute_P2_costs(e, 0.1f, 2.f, 0.8f, 1.5f);
  w.add("p2_map", edge.download());

  // A (W, H, n) volume from the path costs, shifted as sgm() shifts it.
  const std::vector<float> c = pathCosts(kLabels, kSW, kSH);
  Dev<float> labelMajor(kLabels, kSW, kSH, 1, c), costs(kSW, kSH, kLabels);
  std::vector<float> xyz(c.size());
  for (unsigned l = 0; l < kLabels; ++l)
    for (unsigned y = 0; y < kSH; ++y)
      for (unsigned x = 0; x < kSW; ++x)
        xyz[(std::size_t(l) * kSH + y) * kSW + x] = c[(std::size_t(y) * kSW + x) * kLabels + l];
  costs.upload(xyz);
  Dev<float> shifted(kLabels, kSW, kSH);
  yv::Array<float, 3> sh = shifted.d3();
  shift_dims(sh, costs.d3());
  w.add("shift_dims", shifted.download());

  Dev<float> labels(kSW, kSH);
  yv::Array<float, 2> l = labels.d2();
  yv::Array<float, 3> cv = costs.d3();
  sgm(l, cv, 0.05f, 0.6f, edge.d2(), 8, false);
  w.add("labels_8_paths", labels.download());
  sgm(l, cv, 0.05f, 0.6f, yv::Array<float, 2>{}, 32, true);
  w.add("labels_32_paths", labels.download());
  convert_labels_to_depth(l, int(kLabels), 3.f, 0.5f);
  w.add("depth", labels.download());
  Dev<float> med(kSW, kSH);
  yv::Array<float, 2> m = med.d2();
  ::median3x3(m, labels.d2());
  w.add("depth_median", med.download());
}

struct Operation {
  const char* name;
  void (*run)(Writer&);
};

const Operation kOperations[] = {
    {"conversions", conversions},
    {"resampling", resampling},
    {"filters", filters},
    {"median", median},
    {"reductions", reductions},
    {"flips", flips},
    {"render_points", renderPoints},
    {"depth_and_normals", depthAndNormals},
    {"contributing_points", contributing},
    {"render_depthmap", renderDepthmap},
    {"project_texture", projectTexture},
    {"matching_costs", matchingCosts},
    {"ncc", nccScore},
    {"pose", poseKernels},
    {"sgm_paths", sgmPaths},
    {"sgm", sgmLabels},
};

std::string deviceText() {
  std::ostringstream s;
  if (yv::rt::onGpu())
    s << "CUDA device " << yv::rt::currentDevice();
  else
    s << omp_get_max_threads() << " OpenMP threads";
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--run") == 0) {
    improve_cameras = true;
    use_backface_visibility_test = true;
    argv[1] = argv[0];
    try {
      return run_tessivar(argc - 1, argv + 1);
    } catch (const std::exception& e) {
      std::cout.flush();
      std::cerr << e.what() << std::endl;
      return 1;
    }
  }
  if (argc != 2) {
    std::cerr << "usage: backend_agreement OUT_DIR\n"
                 "       backend_agreement --run TESSIVAR_ARGUMENTS..."
              << std::endl;
    return 2;
  }
  const std::string dir = argv[1];
  try {
    std::filesystem::create_directories(dir + "/debug");  // add_matching_costs2 dumps there
    output_directory = dir;
    debug_depthmap = false;  // sgm's dumps are not outputs of this tool
    const auto start = std::chrono::steady_clock::now();
    Writer w(dir);
    for (const Operation& op : kOperations) {
      w.begin(op.name);
      try {
        op.run(w);
        const cudaError_t synced = yv::rt::deviceSynchronize();
        if (synced != cudaSuccess) throw std::runtime_error(yv::rt::errorString(synced));
        YV_CHECK_CUDA_ERROR();
      } catch (const std::exception& e) {
        throw std::runtime_error(std::string(op.name) + ": " + e.what());
      }
    }
    w.writeManifest(deviceText());
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "backend_agreement: " << w.size() << " outputs of " << std::size(kOperations)
              << " operations on the " << yv::rt::backendName() << " back end ("
              << deviceText() << ") in " << s << " s, written to " << dir << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "backend_agreement: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
