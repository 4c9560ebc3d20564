// Compares a point model with a scene's ground-truth surface sample: how far the model's points
// lie from the true surface (point-to-plane distance to the nearest sample), and how much of the
// true surface has a model point within a given distance.
//
//   model_accuracy MODEL.ply GROUND_TRUTH.ply [--within METRES]
//
// Prints one line of "key value" pairs: points, median_mm, p90_mm, p99_mm, completeness. A
// ground truth without normals (a lifted depth map) gives point-to-point distances, and so does a
// point more than 1 cm from the nearest sample, however far that is.
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
  // Whether the cell of p or one of its neighbours holds a sample: if not, none lies within a cell.
  bool occupiedAround(const float* p) const {
    const auto c = cellOf(p);
    for (int dz = -1; dz <= 1; ++dz)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
          if (cells_.count(key({c[0] + dx, c[1] + dy, c[2] + dz}))) return true;
    return false;
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

// Nearest sample at any distance, for the points the grid finds nothing near: a tree of boxes
// around halves of the samples, searched nearer box first and skipping boxes farther than the
// nearest sample found so far, which stays quick for a point far from all of them.
class FarSearch {
 public:
  explicit FarSearch(const std::vector<Sample>& s) : s_(s), order_(s.size()) {
    for (std::size_t i = 0; i < s.size(); ++i) order_[i] = std::uint32_t(i);
    if (!s.empty()) build(0, s.size());
  }
  // Distance to the nearest sample; infinite when there is none.
  float distance(const float* p) const {
    float best = INFINITY;
    if (!nodes_.empty()) search(0, p, &best);
    return std::sqrt(best);
  }

 private:
  struct Node {
    float lo[3], hi[3];
    std::size_t begin, end;
    long left = -1, right = -1;  // none for a leaf
  };
  long build(std::size_t begin, std::size_t end) {
    Node n;
    n.begin = begin;
    n.end = end;
    for (int k = 0; k < 3; ++k) n.lo[k] = n.hi[k] = s_[order_[begin]].p[k];
    for (std::size_t i = begin; i < end; ++i)
      for (int k = 0; k < 3; ++k) {
        n.lo[k] = std::min(n.lo[k], s_[order_[i]].p[k]);
        n.hi[k] = std::max(n.hi[k], s_[order_[i]].p[k]);
      }
    const long id = long(nodes_.size());
    nodes_.push_back(n);
    if (end - begin <= 16) return id;
    int axis = 0;
    for (int k = 1; k < 3; ++k)
      if (n.hi[k] - n.lo[k] > n.hi[axis] - n.lo[axis]) axis = k;
    const std::size_t mid = begin + (end - begin) / 2;
    std::nth_element(order_.begin() + long(begin), order_.begin() + long(mid),
                     order_.begin() + long(end), [&](std::uint32_t a, std::uint32_t b) {
                       return s_[a].p[axis] < s_[b].p[axis];
                     });
    const long left = build(begin, mid);
    const long right = build(mid, end);
    nodes_[std::size_t(id)].left = left;
    nodes_[std::size_t(id)].right = right;
    return id;
  }
  float boxDistance2(const Node& n, const float* p) const {
    float d = 0.f;
    for (int k = 0; k < 3; ++k) {
      const float e = std::max({n.lo[k] - p[k], 0.f, p[k] - n.hi[k]});
      d += e * e;
    }
    return d;
  }
  void search(long id, const float* p, float* best) const {
    const Node& n = nodes_[std::size_t(id)];
    if (n.left < 0) {
      for (std::size_t i = n.begin; i < n.end; ++i) {
        const float* q = s_[order_[i]].p;
        float d = 0.f;
        for (int k = 0; k < 3; ++k) d += (q[k] - p[k]) * (q[k] - p[k]);
        *best = std::min(*best, d);
      }
      return;
    }
    long first = n.left, second = n.right;
    float d1 = boxDistance2(nodes_[std::size_t(first)], p);
    float d2 = boxDistance2(nodes_[std::size_t(second)], p);
    if (d2 < d1) {
      std::swap(first, second);
      std::swap(d1, d2);
    }
    if (d1 < *best) search(first, p, best);
    if (d2 < *best) search(second, p, best);
  }
  const std::vector<Sample>& s_;
  std::vector<std::uint32_t> order_;
  std::vector<Node> nodes_;
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
    if (truth.empty()) throw std::runtime_error(std::string(argv[2]) + " has no vertices");
    const float search = 0.05f;  // the grid's reach; points beyond it are measured by FarSearch
    Grid truthGrid(truth, 0.005f);
    const Grid coarseGrid(truth, 0.06f);  // spares the grid's search where it would find nothing
    std::vector<float> dist(model.size());
    std::vector<char> far(model.size(), 0);
#pragma omp parallel for schedule(dynamic, 1024)
    for (long i = 0; i < long(model.size()); ++i) {
      float d;
      const long j =
          coarseGrid.occupiedAround(model[i].p) ? truthGrid.nearest(model[i].p, search, &d) : -1;
      if (j < 0) {
        far[i] = 1;
        continue;
      }
      const Sample& g = truth[j];
      const float nn = std::sqrt(g.n[0] * g.n[0] + g.n[1] * g.n[1] + g.n[2] * g.n[2]);
      float plane = 0.f;
      for (int k = 0; k < 3; ++k) plane += (model[i].p[k] - g.p[k]) * (nn > 0 ? g.n[k] / nn : 0.f);
      // Point-to-plane distance near the sample; beyond a sample spacing the plane is not trusted.
      dist[i] = (nn > 0 && d < 0.01f) ? std::fabs(plane) : d;
    }
    if (std::find(far.begin(), far.end(), 1) != far.end()) {
      const FarSearch farSearch(truth);
#pragma omp parallel for schedule(dynamic, 1024)
      for (long i = 0; i < long(model.size()); ++i)
        if (far[i]) dist[i] = farSearch.distance(model[i].p);
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
