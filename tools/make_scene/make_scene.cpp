// make_scene: writes a synthetic multi-camera RGB-D scene for tests, benchmarks and the demo.
//
// A textured sphere and box stand on a square ground plane; N cameras look at them from an arc
// 1.5 to 2 m away. For camera i it writes camera_ii.txt (the camera file tessivar reads),
// color_ii.png (8-bit RGB) and depth_ii.png (16-bit, millimetres, 0 = no depth, optionally
// noisy, with dropouts and with the holes and outliers of real sensors), plus ground_truth.ply,
// a dense sample of the surface that at least one camera sees, with normals and colours,
// seen_by.txt, how many cameras see each of those samples (one number a line, in their order),
// and depth_avg.txt, the mean depth of the views.
//
// Camera files use tessivar's convention: X_cam = R X + t with x growing to the image's left and
// y upwards, so a pixel is x = cx - fx X/Z, y = cy - fy Y/Z. A pose (R_cv, t_cv) in the usual
// convention (x right, y down) is written as R = diag(-1,-1,1) R_cv, t = diag(-1,-1,1) t_cv.
#include <png.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ply/ply.h"

namespace {

struct V3 {
  double x, y, z;
};
V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator*(double s, V3 a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
V3 normalized(V3 a) { return (1.0 / std::sqrt(dot(a, a))) * a; }

struct RGB {
  unsigned char r, g, b;
};

// ---- The scene (world frame: z up, ground plane z = 0) ----------------------------------------

const double kPlaneHalf = 1.0;
const V3 kSphereCenter{0.25, 0.1, 0.25};
const double kSphereRadius = 0.25;
const V3 kBoxLo{-0.5, -0.3, 0.0}, kBoxHi{-0.1, 0.1, 0.35};

struct Hit {
  double t = std::numeric_limits<double>::infinity();
  V3 point{0, 0, 0};
  V3 normal{0, 0, 0};
  int object = -1;  // 0 plane, 1 sphere, 2 box
};

// Small integer hash for per-cell colour variation.
unsigned hash3(int a, int b, int c) {
  unsigned h = unsigned(a) * 73856093u ^ unsigned(b) * 19349663u ^ unsigned(c) * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return h ^ (h >> 15);
}

RGB albedo(const Hit& h) {
  const V3 p = h.point;
  if (h.object == 0) {  // checkerboard of 10 cm cells with varying tints
    const int i = int(std::floor(p.x / 0.1)), j = int(std::floor(p.y / 0.1));
    const unsigned v = hash3(i, j, 0) % 60;
    return ((i + j) & 1) ? RGB{(unsigned char)(190 + v / 2), (unsigned char)(180 + v / 3), 150}
                         : RGB{70, (unsigned char)(90 + v), (unsigned char)(60 + v / 2)};
  }
  if (h.object == 1) {  // bands of latitude and longitude
    const V3 d = normalized(p - kSphereCenter);
    const int lat = int(std::floor((std::asin(d.z) + M_PI / 2) / (M_PI / 10)));
    const int lon = int(std::floor((std::atan2(d.y, d.x) + M_PI) / (M_PI / 8)));
    const unsigned v = hash3(lat, lon, 1);
    return RGB{(unsigned char)(120 + v % 120), (unsigned char)(40 + (v >> 8) % 80),
               (unsigned char)(40 + (v >> 16) % 60)};
  }
  // Box: 5 cm tiles per face.
  const int i = int(std::floor(p.x / 0.05)), j = int(std::floor(p.y / 0.05)),
            k = int(std::floor(p.z / 0.05));
  const unsigned v = hash3(i, j, k);
  return RGB{(unsigned char)(30 + v % 50), (unsigned char)(60 + (v >> 8) % 90),
             (unsigned char)(140 + (v >> 16) % 110)};
}

void intersectPlane(V3 o, V3 d, Hit& best) {
  if (std::fabs(d.z) < 1e-12) return;
  const double t = -o.z / d.z;
  if (t <= 1e-9 || t >= best.t) return;
  const V3 p = o + t * d;
  if (std::fabs(p.x) > kPlaneHalf || std::fabs(p.y) > kPlaneHalf) return;
  best = Hit{t, p, V3{0, 0, 1}, 0};
}

void intersectSphere(V3 o, V3 d, Hit& best) {
  const V3 oc = o - kSphereCenter;
  const double a = dot(d, d), b = dot(oc, d), c = dot(oc, oc) - kSphereRadius * kSphereRadius;
  const double disc = b * b - a * c;
  if (disc < 0) return;
  const double s = std::sqrt(disc);
  double t = (-b - s) / a;
  if (t <= 1e-9) t = (-b + s) / a;
  if (t <= 1e-9 || t >= best.t) return;
  const V3 p = o + t * d;
  best = Hit{t, p, normalized(p - kSphereCenter), 1};
}

void intersectBox(V3 o, V3 d, Hit& best) {
  double tmin = -std::numeric_limits<double>::infinity(), tmax = -tmin;
  int axis = -1;
  const double os[3] = {o.x, o.y, o.z}, ds[3] = {d.x, d.y, d.z};
  const double lo[3] = {kBoxLo.x, kBoxLo.y, kBoxLo.z}, hi[3] = {kBoxHi.x, kBoxHi.y, kBoxHi.z};
  for (int a = 0; a < 3; ++a) {
    if (std::fabs(ds[a]) < 1e-12) {
      if (os[a] < lo[a] || os[a] > hi[a]) return;
      continue;
    }
    double t0 = (lo[a] - os[a]) / ds[a], t1 = (hi[a] - os[a]) / ds[a];
    if (t0 > t1) std::swap(t0, t1);
    if (t0 > tmin) {
      tmin = t0;
      axis = a;
    }
    tmax = std::min(tmax, t1);
  }
  if (tmin > tmax || tmin <= 1e-9 || tmin >= best.t || axis < 0) return;
  double n[3] = {0, 0, 0};
  n[axis] = ds[axis] > 0 ? -1 : 1;
  best = Hit{tmin, o + tmin * d, V3{n[0], n[1], n[2]}, 2};
}

Hit castRay(V3 o, V3 d) {
  Hit h;
  intersectPlane(o, d, h);
  intersectSphere(o, d, h);
  intersectBox(o, d, h);
  return h;
}

// ---- Cameras ---------------------------------------------------------------------------------

struct CameraCV {
  double R[3][3];  // rows: right, down, forward (world to camera)
  V3 t;
  V3 center;
  double fx, fy, cx, cy;
  int width, height;

  V3 toCamera(V3 p) const {
    return V3{R[0][0] * p.x + R[0][1] * p.y + R[0][2] * p.z + t.x,
              R[1][0] * p.x + R[1][1] * p.y + R[1][2] * p.z + t.y,
              R[2][0] * p.x + R[2][1] * p.y + R[2][2] * p.z + t.z};
  }
  // World direction of the ray through pixel (u, v), scaled so that its depth step is 1.
  V3 rayDirection(double u, double v) const {
    const double xc = (u - cx) / fx, yc = (v - cy) / fy;
    return V3{R[0][0] * xc + R[1][0] * yc + R[2][0], R[0][1] * xc + R[1][1] * yc + R[2][1],
              R[0][2] * xc + R[1][2] * yc + R[2][2]};
  }
};

// Where the cameras stand: an arc of `arc_degrees` around the scene, from -arc/2 to +arc/2 with
// both ends taken, or a full circle (360) in n steps of 360/n, since there both ends are one place;
// distance > 0 moves each camera along its line of sight to that distance from the target
// (close-range scans in which every view sees the same small place).
struct ArcLayout {
  double arc_degrees = 140.0;
  double distance = 0.0;
};

CameraCV makeCamera(int i, int n, int width, int height, double fx, const ArcLayout& arc) {
  const double span = arc.arc_degrees * M_PI / 180.0;
  const int steps = arc.arc_degrees == 360.0 ? n : n - 1;
  const double azimuth = n > 1 ? -span / 2 + span * i / steps : 0.0;
  const double radius = 1.4, height_above = 0.9;
  CameraCV c;
  c.center = V3{radius * std::sin(azimuth), -radius * std::cos(azimuth), height_above};
  const V3 target{0.0, 0.0, 0.15};
  if (arc.distance > 0) c.center = target + arc.distance * normalized(c.center - target);
  const V3 forward = normalized(target - c.center);
  const V3 right = normalized(cross(forward, V3{0, 0, 1}));
  const V3 down = cross(forward, right);
  const V3 rows[3] = {right, down, forward};
  for (int r = 0; r < 3; ++r) {
    c.R[r][0] = rows[r].x;
    c.R[r][1] = rows[r].y;
    c.R[r][2] = rows[r].z;
  }
  c.t = V3{-dot(right, c.center), -dot(down, c.center), -dot(forward, c.center)};
  c.fx = c.fy = fx;
  c.cx = (width - 1) / 2.0;
  c.cy = (height - 1) / 2.0;
  c.width = width;
  c.height = height;
  return c;
}

// True when camera c sees world point p (in the image, in front, not hidden).
bool sees(const CameraCV& c, V3 p) {
  const V3 q = c.toCamera(p);
  if (q.z <= 1e-6) return false;
  const double u = c.cx + c.fx * q.x / q.z, v = c.cy + c.fy * q.y / q.z;
  if (u < -0.5 || v < -0.5 || u > c.width - 0.5 || v > c.height - 0.5) return false;
  const V3 d = p - c.center;
  const Hit h = castRay(c.center, d);  // t = 1 at p
  return h.t > 1.0 - 1e-6;
}

// ---- Sensor faults ---------------------------------------------------------------------------

// Holes and outliers of real depth sensors, applied after noise and dropout with a random
// sequence of their own, so that scenes without them stay as they were.
struct SensorFaults {
  int lattice = 0;         // every Nth row and every Nth column without depth
  int checker = 0;         // checkerboard of holes, cells of N x N pixels
  int edge_holes = 0;      // pixels within N pixels of a depth edge without depth
  double mixed = 0;        // share of the pixels on a depth edge given a blend of both sides
  double salt = 0;         // share of the pixels given a random depth
  bool any() const { return lattice || checker || edge_holes || mixed > 0 || salt > 0; }
};

// A depth edge lies between 4-neighbours when one sees no surface or their depths differ by more
// than 3 %, which no surface of the scene does between neighbouring pixels.
bool depthEdge(double a, double b) {
  if ((a == 0) != (b == 0)) return true;
  return a > 0 && std::fabs(a - b) > 0.03 * std::min(a, b);
}

void addSensorFaults(const SensorFaults& f, const std::vector<double>& truth,
                     std::vector<unsigned short>& mm, int width, int height, std::mt19937& rng) {
  if (!f.any()) return;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const auto at = [&](int x, int y) { return std::size_t(y) * width + x; };
  const auto toMm = [](double z) {
    const double v = std::round(z * 1000.0);
    return (unsigned short)(v >= 1 && v <= 65535 ? v : 0);
  };
  // Distance in pixels (chessboard) to the nearest depth edge, up to the widest fault that needs it.
  const int reach = std::max(f.edge_holes, f.mixed > 0 ? 1 : 0);
  std::vector<int> edge_dist(mm.size(), reach + 1);
  std::vector<std::size_t> across(mm.size(), std::size_t(-1));  // an edge neighbour of an edge pixel
  for (int y = 0; y < height && reach > 0; ++y)
    for (int x = 0; x < width; ++x) {
      const int nb[4][2] = {{x + 1, y}, {x - 1, y}, {x, y + 1}, {x, y - 1}};
      for (const auto& n : nb) {
        if (n[0] < 0 || n[1] < 0 || n[0] >= width || n[1] >= height) continue;
        if (!depthEdge(truth[at(x, y)], truth[at(n[0], n[1])])) continue;
        across[at(x, y)] = at(n[0], n[1]);
        for (int dy = -reach + 1; dy < reach; ++dy)
          for (int dx = -reach + 1; dx < reach; ++dx) {
            const int xx = x + dx, yy = y + dy;
            if (xx < 0 || yy < 0 || xx >= width || yy >= height) continue;
            edge_dist[at(xx, yy)] = std::min(edge_dist[at(xx, yy)], std::max(std::abs(dx), std::abs(dy)));
          }
      }
    }
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::size_t k = at(x, y);
      const double z = truth[k];
      if (f.mixed > 0 && z > 0 && across[k] != std::size_t(-1) && truth[across[k]] > 0 &&
          uniform(rng) < f.mixed) {
        const double a = uniform(rng);
        mm[k] = toMm(a * z + (1 - a) * truth[across[k]]);
      }
      if (f.salt > 0 && z > 0 && uniform(rng) < f.salt) mm[k] = toMm(z * (0.5 + 1.5 * uniform(rng)));
      const bool hole = (f.lattice && (x % f.lattice == 0 || y % f.lattice == 0)) ||
                        (f.checker && ((x / f.checker + y / f.checker) & 1)) ||
                        (f.edge_holes && edge_dist[k] < f.edge_holes);
      if (hole) mm[k] = 0;
    }
}

// ---- Files -----------------------------------------------------------------------------------

void writePNG(const std::string& path, int width, int height, int bit_depth, int color_type,
              const std::vector<unsigned char>& rows_data) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (!fp) throw std::runtime_error("make_scene: cannot create " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(fp);
    throw std::runtime_error("make_scene: cannot write " + path);
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), bit_depth, color_type,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const std::size_t stride = rows_data.size() / std::size_t(height);
  for (int y = 0; y < height; ++y)
    png_write_row(png, const_cast<png_bytep>(rows_data.data() + stride * std::size_t(y)));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(fp) != 0) throw std::runtime_error("make_scene: cannot write " + path);
}

void writeCameraFile(const std::string& path, const CameraCV& c, const std::string& color,
                     const std::string& depth) {
  std::ofstream out(path);
  out << std::setprecision(9);
  // Flip x and y of the camera frame into tessivar's convention.
  const double flip[3] = {-1, -1, 1};
  out << c.fx << " 0 " << c.cx << "\n0 " << c.fy << " " << c.cy << "\n0 0 1\n";
  for (int r = 0; r < 3; ++r)
    out << flip[r] * c.R[r][0] << " " << flip[r] * c.R[r][1] << " " << flip[r] * c.R[r][2] << "\n";
  out << flip[0] * c.t.x << " " << flip[1] * c.t.y << " " << flip[2] * c.t.z << "\n";
  out << c.width << " " << c.height << "\n" << color << "\n" << depth << "\n";
  if (!out) throw std::runtime_error("make_scene: cannot write " + path);
}

struct Sample {
  V3 p, n;
  RGB c;
};

// Surface samples about `spacing` apart on every object.
std::vector<Sample> sampleSurfaces(double spacing) {
  std::vector<Sample> s;
  auto add = [&](V3 p, V3 n, int object) {
    Hit h;
    h.point = p;
    h.object = object;
    s.push_back(Sample{p, n, albedo(h)});
  };
  const int np = int(std::ceil(2 * kPlaneHalf / spacing));
  for (int i = 0; i <= np; ++i)
    for (int j = 0; j <= np; ++j)
      add(V3{-kPlaneHalf + 2 * kPlaneHalf * i / np, -kPlaneHalf + 2 * kPlaneHalf * j / np, 0},
          V3{0, 0, 1}, 0);
  const int nlat = int(std::ceil(M_PI * kSphereRadius / spacing));
  for (int i = 0; i <= nlat; ++i) {
    const double lat = -M_PI / 2 + M_PI * i / nlat;
    const int nlon = std::max(1, int(std::ceil(2 * M_PI * kSphereRadius * std::cos(lat) / spacing)));
    for (int j = 0; j < nlon; ++j) {
      const double lon = 2 * M_PI * j / nlon;
      const V3 n{std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
      add(kSphereCenter + kSphereRadius * n, n, 1);
    }
  }
  const double lo[3] = {kBoxLo.x, kBoxLo.y, kBoxLo.z}, hi[3] = {kBoxHi.x, kBoxHi.y, kBoxHi.z};
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side) {
      const int a1 = (axis + 1) % 3, a2 = (axis + 2) % 3;
      const int n1 = int(std::ceil((hi[a1] - lo[a1]) / spacing));
      const int n2 = int(std::ceil((hi[a2] - lo[a2]) / spacing));
      for (int i = 0; i <= n1; ++i)
        for (int j = 0; j <= n2; ++j) {
          double p[3], n[3] = {0, 0, 0};
          p[axis] = side ? hi[axis] : lo[axis];
          p[a1] = lo[a1] + (hi[a1] - lo[a1]) * i / n1;
          p[a2] = lo[a2] + (hi[a2] - lo[a2]) * j / n2;
          n[axis] = side ? 1 : -1;
          add(V3{p[0], p[1], p[2]}, V3{n[0], n[1], n[2]}, 2);
        }
    }
  return s;
}

void writeGroundTruth(const std::string& path, const std::vector<Sample>& samples) {
  p_ply ply = ply_create(path.c_str(), PLY_DEFAULT, nullptr, 0, nullptr);
  if (!ply) throw std::runtime_error("make_scene: cannot create " + path);
  bool ok = ply_add_element(ply, "vertex", long(samples.size()));
  for (const char* name : {"x", "y", "z", "nx", "ny", "nz"})
    ok = ok && ply_add_scalar_property(ply, name, PLY_FLOAT);
  for (const char* name : {"diffuse_red", "diffuse_green", "diffuse_blue"})
    ok = ok && ply_add_scalar_property(ply, name, PLY_UCHAR);
  ok = ok && ply_write_header(ply);
  for (std::size_t i = 0; ok && i < samples.size(); ++i) {
    const Sample& s = samples[i];
    ok = ply_write(ply, s.p.x) && ply_write(ply, s.p.y) && ply_write(ply, s.p.z) &&
         ply_write(ply, s.n.x) && ply_write(ply, s.n.y) && ply_write(ply, s.n.z) &&
         ply_write(ply, s.c.r) && ply_write(ply, s.c.g) && ply_write(ply, s.c.b);
  }
  if (!ply_close(ply) || !ok) throw std::runtime_error("make_scene: cannot write " + path);
}

// ---- Command line ----------------------------------------------------------------------------

void usage(std::ostream& out) {
  out << "Usage: make_scene --out DIR [options]\n"
         "  --out DIR          folder for the scene (created)\n"
         "  --cameras N        number of cameras on the arc (default 8)\n"
         "  --width W          image width (default 640)\n"
         "  --height H         image height (default 480)\n"
         "  --fx F             focal length in pixels, fx = fy (default 525 * W / 640)\n"
         "  --arc DEG          angle of the arc the cameras stand on, both ends taken; 360:\n"
         "                     a full circle, cameras 360/N apart (default 140)\n"
         "  --distance D       distance of every camera from the scene's centre in metres\n"
         "                     (default: 1.59, on the arc 1.4 m out and 0.9 m up)\n"
         "  --noise S          depth noise: sigma = S * depth^2, in metres (default 0)\n"
         "  --dropout P        probability that a depth pixel is lost (default 0)\n"
         "  --lattice N        every Nth row and column without depth, as registration leaves\n"
         "  --checker N        checkerboard of holes of N x N pixels\n"
         "  --edge-holes N     no depth within N pixels of a depth edge\n"
         "  --mixed P          share of the pixels on depth edges that blend both sides' depths\n"
         "  --salt P           share of the pixels with a random depth (0.5 to 2 times the true one)\n"
         "  --seed N           seed of the noise, the dropouts and the faults above (default 1)\n"
         "  --gt-spacing D     spacing of the ground-truth samples in metres (default 0.005)\n";
}

double numberArg(int argc, char** argv, int& i, double lo, double hi) {
  const std::string name = argv[i];
  if (i + 1 >= argc) throw std::invalid_argument(name + " needs a value");
  char* end = nullptr;
  const double v = std::strtod(argv[++i], &end);
  if (end == argv[i] || *end != 0 || !std::isfinite(v) || v < lo || v > hi) {
    std::ostringstream ss;
    ss << name << " needs a number from " << lo << " to " << hi << ", not '" << argv[i] << "'";
    throw std::invalid_argument(ss.str());
  }
  return v;
}

}  // namespace

// What the command line asks for.
struct SceneOptions {
  std::string out_dir;
  int n_cameras = 8, width = 640, height = 480;
  double fx = -1, noise = 0, dropout = 0, spacing = 0.005;
  unsigned seed = 1;
  SensorFaults faults;
  ArcLayout arc;
};

// Reads the options into `o`; returns -1 to go on, else the exit code (after the usage or the
// reason).
int readOptions(int argc, char** argv, SceneOptions& o) {
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--out" && i + 1 < argc) o.out_dir = argv[++i];
      else if (a == "--cameras") o.n_cameras = int(numberArg(argc, argv, i, 1, 1000));
      else if (a == "--width") o.width = int(numberArg(argc, argv, i, 2, 16384));
      else if (a == "--height") o.height = int(numberArg(argc, argv, i, 2, 16384));
      else if (a == "--fx") o.fx = numberArg(argc, argv, i, 1, 1e6);
      else if (a == "--arc") o.arc.arc_degrees = numberArg(argc, argv, i, 0, 360);
      else if (a == "--distance") o.arc.distance = numberArg(argc, argv, i, 0.05, 100);
      else if (a == "--noise") o.noise = numberArg(argc, argv, i, 0, 1);
      else if (a == "--dropout") o.dropout = numberArg(argc, argv, i, 0, 1);
      else if (a == "--lattice") o.faults.lattice = int(numberArg(argc, argv, i, 2, 1000));
      else if (a == "--checker") o.faults.checker = int(numberArg(argc, argv, i, 1, 1000));
      else if (a == "--edge-holes") o.faults.edge_holes = int(numberArg(argc, argv, i, 1, 100));
      else if (a == "--mixed") o.faults.mixed = numberArg(argc, argv, i, 0, 1);
      else if (a == "--salt") o.faults.salt = numberArg(argc, argv, i, 0, 1);
      else if (a == "--seed") o.seed = unsigned(numberArg(argc, argv, i, 0, 4294967295.0));
      else if (a == "--gt-spacing") o.spacing = numberArg(argc, argv, i, 0.0005, 1);
      else if (a == "-h" || a == "--help") {
        usage(std::cout);
        return 0;
      } else
        throw std::invalid_argument("unknown argument '" + a + "'");
    }
    if (o.out_dir.empty()) throw std::invalid_argument("--out DIR is required");
  } catch (const std::invalid_argument& e) {
    std::cerr << "make_scene: " << e.what() << "\n";
    usage(std::cerr);
    return 1;
  }
  if (o.fx < 0) o.fx = 525.0 * o.width / 640.0;
  return -1;
}

// Writes camera i's colour image, depth map (millimetres) and camera file into `dir`.
void writeView(const std::string& dir, int i, const CameraCV& c, int width, int height,
               const std::vector<unsigned char>& color, const std::vector<unsigned short>& mm) {
  std::vector<unsigned char> depth(std::size_t(width) * height * 2, 0);
  for (std::size_t k = 0; k < mm.size(); ++k) {
    depth[2 * k] = (unsigned char)(mm[k] >> 8);  // PNG samples are big-endian
    depth[2 * k + 1] = (unsigned char)(mm[k] & 0xFF);
  }
  char name[32];
  std::snprintf(name, sizeof name, "%02d", i);
  const std::string color_path = dir + "/color_" + name + ".png";
  const std::string depth_path = dir + "/depth_" + name + ".png";
  writePNG(color_path, width, height, 8, PNG_COLOR_TYPE_RGB, color);
  writePNG(depth_path, width, height, 16, PNG_COLOR_TYPE_GRAY, depth);
  writeCameraFile(dir + "/camera_" + name + ".txt", c, color_path, depth_path);
}

// Writes ground_truth.ply, the samples of the surface that at least one camera sees, and
// seen_by.txt, how many cameras see each of them; returns how many there are.
std::size_t writeVisibleSurface(const std::string& dir, const std::vector<CameraCV>& cameras,
                                double spacing) {
  std::vector<Sample> visible;
  std::vector<int> seen_by;
  for (const Sample& s : sampleSurfaces(spacing)) {
    int n = 0;
    for (const CameraCV& c : cameras) n += sees(c, s.p) ? 1 : 0;
    if (n == 0) continue;
    visible.push_back(s);
    seen_by.push_back(n);
  }
  writeGroundTruth(dir + "/ground_truth.ply", visible);
  std::ofstream f(dir + "/seen_by.txt");
  for (int n : seen_by) f << n << "\n";
  if (!f) throw std::runtime_error("make_scene: cannot write " + dir + "/seen_by.txt");
  return visible.size();
}

int main(int argc, char** argv) {
  SceneOptions o;
  const int code = readOptions(argc, argv, o);
  if (code >= 0) return code;
  const int n_cameras = o.n_cameras, width = o.width, height = o.height;
  const double noise = o.noise, dropout = o.dropout;

  try {
    std::filesystem::create_directories(o.out_dir);
    // Camera files name their images by absolute paths, so they work from any folder; the
    // format separates words by whitespace.
    const std::string dir = std::filesystem::absolute(o.out_dir).lexically_normal().string();
    for (char ch : dir)
      if (std::isspace(static_cast<unsigned char>(ch)))
        throw std::runtime_error("make_scene: the output folder's path must not contain blanks");

    std::mt19937 rng(o.seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::mt19937 fault_rng(o.seed ^ 0x5eed5a17u);
    std::vector<CameraCV> cameras;
    double depth_sum = 0;
    long depth_count = 0;

    for (int i = 0; i < n_cameras; ++i) {
      const CameraCV c = makeCamera(i, n_cameras, width, height, o.fx, o.arc);
      cameras.push_back(c);
      std::vector<unsigned char> color(std::size_t(width) * height * 3, 0);
      std::vector<double> truth(std::size_t(width) * height, 0.0);  // true depth, 0 = no surface
      std::vector<unsigned short> mm(truth.size(), 0);
      for (int v = 0; v < height; ++v)
        for (int u = 0; u < width; ++u) {
          const std::size_t k = std::size_t(v) * width + u;
          const Hit h = castRay(c.center, c.rayDirection(u, v));
          RGB rgb{25, 25, 35};  // background
          if (h.object >= 0) {
            rgb = albedo(h);
            const double z = h.t;  // the ray direction has depth step 1
            truth[k] = z;
            depth_sum += z;
            ++depth_count;
            const double noisy = noise > 0 ? z + noise * z * z * gauss(rng) : z;
            const bool lost = dropout > 0 && uniform(rng) < dropout;
            const double value = std::round(noisy * 1000.0);
            if (!lost && value >= 1 && value <= 65535) mm[k] = (unsigned short)value;
          }
          color[3 * k] = rgb.r;
          color[3 * k + 1] = rgb.g;
          color[3 * k + 2] = rgb.b;
        }
      addSensorFaults(o.faults, truth, mm, width, height, fault_rng);
      writeView(dir, i, c, width, height, color, mm);
    }

    const std::size_t samples = writeVisibleSurface(dir, cameras, o.spacing);

    const double depth_avg = depth_count ? depth_sum / double(depth_count) : 0.0;
    {
      std::ofstream f(dir + "/depth_avg.txt");
      f << std::setprecision(6) << depth_avg << "\n";
      if (!f) throw std::runtime_error("make_scene: cannot write " + dir + "/depth_avg.txt");
    }
    std::cout << "scene written to " << dir << ": " << n_cameras << " cameras of " << width << " x "
              << height << ", " << samples << " ground-truth points\n"
              << "average depth " << depth_avg << "\n";
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
