// Compares a point model with a scene's ground-truth surface sample: how far the model's points
// lie from the true surface (point-to-plane distance to the nearest sample), and how much of the
// true surface has a model point within a given distance.
//
//   model_accuracy MODEL.ply GROUND_TRUTH.ply [--within METRES]
//
// Prints one line of "key value" pairs: points, median_mm, p90_mm, p99_mm, completeness. A
// ground truth without normals (a lifted depth map) gives point-to-point distances.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

struct Sample {
  float p[3];
  float n[3];
};

// Reads x, y, z (and nx, ny, nz when present) of the vertices of a binary little-endian PLY file.
std::vector<Sample> readPly(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string line;
  std::size_t count = 0;
  bool vertex = false;
  struct Prop {
    std::string name;
    int size;
    bool isFloat;
  };
  std::vector<Prop> props;
  std::getline(in, line);
  if (line != "ply") throw std::runtime_error(path + " is not a PLY file");
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string word;
    ls >> word;
    if (word == "format" && line.find("binary_little_endian") == std::string::npos)
      throw std::runtime_error(path + ": only binary little-endian PLY files are read");
    if (word == "element") {
      std::string name;
      ls >> name >> count;
      vertex = name == "vertex";
      if (!vertex) throw std::runtime_error(path + ": unexpected element " + name);
    } else if (word == "property" && vertex) {
      std::string type, name;
      ls >> type >> name;
      int size = (type == "float" || type == "int" || type == "uint") ? 4
                 : (type == "double")                                ? 8
                 : (type == "uchar" || type == "char")               ? 1
                                                                     : 2;
      props.push_back({name, size, type == "float"});
    } else if (word == "end_header") {
      break;
    }
  }
  int stride = 0;
  int offset[6] = {-1, -1, -1, -1, -1, -1};
  const char* names[6] = {"x", "y", "z", "nx", "ny", "nz"};
  for (const Prop& p : props) {
    for (int k = 0; k < 6; ++k)
      if (p.name == names[k] && p.isFloat) offset[k] = stride;
    stride += p.size;
  }
  if (offset[0] < 0 || offset[1] < 0 || offset[2] < 0)
    throw std::runtime_error(path + ": no float x, y, z");
  std::vector<char> buf(std::size_t(stride) * count);
  in.read(buf.data(), std::streamsize(buf.size()));
  if (std::size_t(in.gcount()) != buf.size()) throw std::runtime_error(path + " is cut short");
  std::vector<Sample> out(count);
  for (std::size_t i = 0; i < count; ++i)
    for (int k = 0; k < 6; ++k) {
      float v = 0.f;
      if (offset[k] >= 0) std::memcpy(&v, buf.data() + i * stride + offset[k], 4);
      (k < 3 ? out[i].p[k] : out[i].n[k - 3]) = v;
    }
  return out;
}

// Uniform hash grid for nearest-sample queries within a radius: shells of cells around the query
// are searched outwards until no nearer sample can lie beyond them, so a dense cloud (a lifted
// depth map) costs no more per query than a sparse one.
class Grid {
 public:
  Grid(const std::vector<Sample>& s, float cell) : s_(s), cell_(cell) {
    for (std::size_t i = 0; i < s.size(); ++i) cells_[key(cellOf(s[i].p))].push_back(std::uint32_t(i));
  }
  // Index of the nearest sample within `radius`, or -1.
  long nearest(const float* p, float radius, float* dist) const {
    const auto c = cellOf(p);
    long best = -1;
    float bd = radius * radius;
    const int reach = int(std::ceil(radius / cell_));
    for (int r = 0; r <= reach; ++r) {
      for (int dz = -r; dz <= r; ++dz)
        for (int dy = -r; dy <= r; ++dy)
          for (int dx = -r; dx <= r; ++dx) {
            if (std::max({std::abs(dx), std::abs(dy), std::abs(dz)}) != r) continue;  // the shell only
            auto it = cells_.find(key({c[0] + dx, c[1] + dy, c[2] + dz}));
            if (it == cells_.end()) continue;
            for (std::uint32_t i : it->second) {
              float d = 0.f;
              for (int k = 0; k < 3; ++k) d += (s_[i].p[k] - p[k]) * (s_[i].p[k] - p[k]);
              if (d <= bd) {
                bd = d;
                best = long(i);
              }
            }
          }
      // Samples beyond shell r lie at least r cells away.
      const float beyond = float(r) * cell_;
      if (best >= 0 && bd <= beyond * beyond) break;
    }
    *dist = std::sqrt(bd);
    return best;
  }

 private:
  std::array<long, 3> cellOf(const float* p) const {
    return {long(std::floor(p[0] / cell_)), long(std::floor(p[1] / cell_)), long(std::floor(p[2] / cell_))};
  }
  static std::uint64_t key(const std::array<long, 3>& c) {
    return (std::uint64_t(c[0] & 0x1fffff) << 42) | (std::uint64_t(c[1] & 0x1fffff) << 21) |
           std::uint64_t(c[2] & 0x1fffff);
  }
  const std::vector<Sample>& s_;
  float cell_;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> cells_;
};

float percentile(std::vector<float> v, double q) {
  if (v.empty()) return NAN;
  std::size_t k = std::min(v.size() - 1, std::size_t(q * double(v.size())));
  std::nth_element(v.begin(), v.begin() + long(k), v.end());
  return v[k];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: model_accuracy MODEL.ply GROUND_TRUTH.ply [--within METRES]" << std::endl;
    return 1;
  }
  float within = 0.002f;
  for (int i = 3; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--within") within = std::stof(argv[i + 1]);
  try {
    const std::vector<Sample> model = readPly(argv[1]);
    const std::vector<Sample> truth = readPly(argv[2]);
    const float search = 0.05f;  // points farther than 5 cm from any sample count as 5 cm away
    Grid truthGrid(truth, 0.005f);
    std::vector<float> dist(model.size());
#pragma omp parallel for schedule(dynamic, 1024)
    for (long i = 0; i < long(model.size()); ++i) {
      float d;
      long j = truthGrid.nearest(model[i].p, search, &d);
      if (j < 0) {
        dist[i] = search;
        continue;
      }
      const Sample& g = truth[j];
      const float nn = std::sqrt(g.n[0] * g.n[0] + g.n[1] * g.n[1] + g.n[2] * g.n[2]);
      float plane = 0.f;
      for (int k = 0; k < 3; ++k) plane += (model[i].p[k] - g.p[k]) * (nn > 0 ? g.n[k] / nn : 0.f);
      // Point-to-plane distance near the sample; beyond a sample spacing the plane is not trusted.
      dist[i] = (nn > 0 && d < 0.01f) ? std::fabs(plane) : d;
    }
    Grid modelGrid(model, std::min(within, 0.005f));
    long covered = 0;
#pragma omp parallel for reduction(+ : covered)
    for (long i = 0; i < long(truth.size()); ++i) {
      float d;
      if (modelGrid.nearest(truth[i].p, within, &d) >= 0) ++covered;
    }
    std::cout << "points " << model.size() << " median_mm " << 1000.f * percentile(dist, 0.5)
              << " p90_mm " << 1000.f * percentile(dist, 0.9) << " p99_mm "
              << 1000.f * percentile(dist, 0.99) << " completeness "
              << (truth.empty() ? 0.0 : double(covered) / double(truth.size())) << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "model_accuracy: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
