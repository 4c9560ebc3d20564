// Local k-means over colour, image position and back-projected 3-D position, seeded by the
// depth-adaptive seed spread, followed by a connectivity clean-up. Every step is either per pixel
// or an integer reduction, so the result does not depend on the thread count.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "dasp/dasp.h"
#include "dasp/seeds.h"
#include "dasp/spikes.h"
#include "dasp/surface.h"
#include "team_error.h"

namespace dasp {

namespace {

constexpr float kColorScale = 10.0f;  // colour distances count in tenths of full scale
constexpr int kBucket = 16;           // side of the cells that index the search windows
constexpr float kWindow = 2.0f;       // search window half-size in pixel radii
constexpr float kPi = 3.14159265f;

// Pixel features as planes, so that the inner loops run over contiguous floats.
struct Planes {
  std::vector<float> c[3];  // colour times kColorScale
  std::vector<float> p[3];  // back-projected point
  std::vector<float> valid;  // 1 with depth, 0 without
};

struct Center {
  float x, y;
  float c[3];
  float p[3];
  bool has_depth;
  float inv_rpx2;  // 1 / (pixel radius)^2
  int x0, x1, y0, y1;  // search window, inclusive
};

// Integer sums of the pixels of a cluster: exact, so any merge order gives the same centre.
struct Sums {
  std::int64_t n, sx, sy, sc[3];
  std::int64_t nv, sxv, syv, sv;  // pixels with depth: sums of x * v, y * v and v
};

struct Weights {
  float world, color, image, inv_r2;
};

// Squared feature distance of pixel i at (x, y) to a cluster centre.
inline float distance(const Planes& px, std::size_t i, float x, float y, const Center& c,
                      const Weights& w) {
  const float dx = x - c.x, dy = y - c.y;
  const float dimg = (dx * dx + dy * dy) * c.inv_rpx2;
  const float d0 = px.c[0][i] - c.c[0], d1 = px.c[1][i] - c.c[1], d2 = px.c[2][i] - c.c[2];
  const float e0 = px.p[0][i] - c.p[0], e1 = px.p[1][i] - c.p[1], e2 = px.p[2][i] - c.p[2];
  // Without a 3-D position on one side the image distance stands in for it.
  const float use3d = (c.has_depth ? 1.0f : 0.0f) * px.valid[i];
  const float world = use3d * ((e0 * e0 + e1 * e1 + e2 * e2) * w.inv_r2) + (1.0f - use3d) * dimg;
  return w.image * dimg + w.color * (d0 * d0 + d1 * d1 + d2 * d2) + w.world * world;
}

class Solver {
 public:
  Solver(const slimage::Image3ub& color, const slimage::Image1ui16& depth, const Parameters& opt)
      : color_(color), depth_(depth), opt_(opt), W_(int(color.width())), H_(int(color.height())) {}

  Superpixels run() {
    Superpixels out;
    out.width = unsigned(W_);
    out.height = unsigned(H_);
    if (W_ == 0 || H_ == 0) return out;

    removeSpikes();
    removeFarClusters();
    density_ = internal::seedDensity(measured_, opt_, weighed_depth_);
    const internal::SeedDensity& density = density_;
    radius_ = density.radius;
    out.radius = radius_;
    weights_ = {opt_.weight_world, opt_.weight_color, opt_.weight_image,
                1.0f / (radius_ * radius_)};

    makePixels();
    const std::vector<int> seeds = internal::spreadSeeds(density.density, W_, H_);
    centers_.resize(seeds.size());
    for (std::size_t k = 0; k < seeds.size(); ++k) initCenter(centers_[k], seeds[k]);

    labels_.assign(std::size_t(W_) * H_, -1);
    const int iterations = std::max(1, opt_.iterations);
    for (int it = 0; it < iterations; ++it) {
      assign();
      update();
    }
    enforceConnectivity();
    collect(out);
    return out;
  }

 private:
  // The depth image with every spike set to no depth: a spike takes part as a pixel without depth
  // in the seed density, the features and the centres' depths. Only the final lists tell spikes
  // (and far clusters) from holes: no cluster lists one.
  void removeSpikes() {
    measured_ = depth_;
    const auto at = [this](int x, int y) { return int(depth_(unsigned(x), unsigned(y))[0]); };
#pragma omp parallel for schedule(static) if (internal::teamSize(depth_.size(), 16384) > 1)
    for (int y = 0; y < H_; ++y)
      for (int x = 0; x < W_; ++x)
        if (IsSpike(at, W_, H_, x, y)) measured_(unsigned(x), unsigned(y))[0] = 0;
  }

  // With a requested count, far clusters go the way of spikes, and the far readings that stay
  // weigh in the seed density as readings at kWeighedFactor times the bulk depth do. With a fixed
  // radius (no count) far readings cannot stretch it, and stay.
  void removeFarClusters() {
    if (opt_.count <= 0) return;
    const auto at = [this](int x, int y) { return int(measured_(unsigned(x), unsigned(y))[0]); };
    const double bulk = BulkDepth(at, W_, H_);
    const std::vector<char> far = FarClusters(at, W_, H_, bulk);
    for (std::size_t i = 0; i < far.size(); ++i)
      if (far[i]) measured_[i] = 0;
    if (bulk > 0.0) weighed_depth_ = float(kWeighedFactor * bulk);
  }

  void makePixels() {
    const std::size_t n = std::size_t(W_) * H_;
    for (int k = 0; k < 3; ++k) pixels_.c[k].resize(n), pixels_.p[k].resize(n);
    pixels_.valid.resize(n);
    const float inv_f = 1.0f / opt_.camera_focal;
    const float cs = kColorScale / 255.0f;
#pragma omp parallel for schedule(static) if (internal::teamSize(n, 16384) > 1)
    for (int y = 0; y < H_; ++y) {
      for (int x = 0; x < W_; ++x) {
        const std::size_t i = std::size_t(y) * W_ + x;
        const unsigned char* c = color_(x, y);
        for (int k = 0; k < 3; ++k) pixels_.c[k][i] = c[k] * cs;
        const unsigned short v = measured_(x, y)[0];
        pixels_.valid[i] = v != 0 ? 1.0f : 0.0f;
        const float z = v * opt_.depth_unit;
        pixels_.p[0][i] = (float(x) - opt_.camera_cx) * z * inv_f;
        pixels_.p[1][i] = (float(y) - opt_.camera_cy) * z * inv_f;
        pixels_.p[2][i] = z;
      }
    }
  }

  // The radius on the image follows the seed density at the centre, so slanted surfaces, whose
  // superpixels look small on the image, get small search windows too.
  void setRadius(Center& c) {
    const int x = std::min(std::max(int(std::lround(c.x)), 0), W_ - 1);
    const int y = std::min(std::max(int(std::lround(c.y)), 0), H_ - 1);
    const float rho = density_.density[std::size_t(y) * W_ + x];
    float rpx = rho > 0.0f ? 1.0f / std::sqrt(kPi * rho) : float(std::max(W_, H_));
    rpx = std::min(std::max(rpx, 0.5f), float(std::max(W_, H_)));
    c.inv_rpx2 = 1.0f / (rpx * rpx);
    const float half = kWindow * rpx;
    c.x0 = std::max(0, int(std::floor(c.x - half)));
    c.x1 = std::min(W_ - 1, int(std::ceil(c.x + half)));
    c.y0 = std::max(0, int(std::floor(c.y - half)));
    c.y1 = std::min(H_ - 1, int(std::ceil(c.y + half)));
  }

  void initCenter(Center& c, int i) {
    c.x = float(i % W_);
    c.y = float(i / W_);
    for (int k = 0; k < 3; ++k) c.c[k] = pixels_.c[k][i], c.p[k] = pixels_.p[k][i];
    c.has_depth = pixels_.valid[i] != 0.0f;
    setRadius(c);
  }

  // Cells of kBucket x kBucket pixels list, in cluster order, the clusters whose window meets them.
  void buildBuckets() {
    bw_ = (W_ + kBucket - 1) / kBucket;
    bh_ = (H_ + kBucket - 1) / kBucket;
    bucket_start_.assign(std::size_t(bw_) * bh_ + 1, 0);
    for (const Center& c : centers_)
      for (int by = c.y0 / kBucket; by <= c.y1 / kBucket; ++by)
        for (int bx = c.x0 / kBucket; bx <= c.x1 / kBucket; ++bx) ++bucket_start_[by * bw_ + bx + 1];
    for (std::size_t b = 1; b < bucket_start_.size(); ++b) bucket_start_[b] += bucket_start_[b - 1];
    bucket_items_.resize(bucket_start_.back());
    std::vector<int> fill(bucket_start_.begin(), bucket_start_.end() - 1);
    for (int k = 0; k < int(centers_.size()); ++k) {
      const Center& c = centers_[k];
      for (int by = c.y0 / kBucket; by <= c.y1 / kBucket; ++by)
        for (int bx = c.x0 / kBucket; bx <= c.x1 / kBucket; ++bx)
          bucket_items_[fill[by * bw_ + bx]++] = k;
    }
  }

  // Per cell of the bucket grid: every listed cluster, in cluster order, offers itself to the
  // pixels of its window inside the cell; a pixel keeps the first nearest cluster.
  void assign() {
    buildBuckets();
    const int K = int(centers_.size());
    const int T = omp_get_max_threads();
    sums_.resize(std::size_t(T) * K);
#pragma omp parallel if (internal::teamSize(std::size_t(W_) * H_, 16384) > 1)
    {
      // Each thread clears its own slice; the team may be smaller than asked for.
      Sums* mine = sums_.data() + std::size_t(omp_get_thread_num()) * K;
      std::fill(mine, mine + K, Sums{});
#pragma omp master
      sum_slices_ = omp_get_num_threads();
      float best[kBucket * kBucket];
      int label[kBucket * kBucket];
#pragma omp for schedule(dynamic, 4)
      for (int b = 0; b < bw_ * bh_; ++b) {
        const int bx0 = (b % bw_) * kBucket, by0 = (b / bw_) * kBucket;
        const int bx1 = std::min(bx0 + kBucket, W_) - 1, by1 = std::min(by0 + kBucket, H_) - 1;
        std::fill(best, best + kBucket * kBucket, INFINITY);
        std::fill(label, label + kBucket * kBucket, -1);
        for (int j = bucket_start_[b]; j < bucket_start_[b + 1]; ++j) {
          const int k = bucket_items_[j];
          const Center& c = centers_[k];
          const int x0 = std::max(c.x0, bx0), x1 = std::min(c.x1, bx1);
          const int y0 = std::max(c.y0, by0), y1 = std::min(c.y1, by1);
          for (int y = y0; y <= y1; ++y) offer(c, k, y, x0, x1, best + (y - by0) * kBucket - bx0,
                                               label + (y - by0) * kBucket - bx0);
        }
        for (int y = by0; y <= by1; ++y) {
          for (int x = bx0; x <= bx1; ++x) {
            const int k = label[(y - by0) * kBucket + (x - bx0)];
            labels_[std::size_t(y) * W_ + x] = k;
            if (k >= 0) addPixel(mine[k], x, y);
          }
        }
      }
    }
  }

  // Pixels x0..x1 of row y against centre k; best and label are indexed by x.
  void offer(const Center& c, int k, int y, int x0, int x1, float* __restrict best,
             int* __restrict label) const {
    const std::size_t row = std::size_t(y) * W_;
    const float* __restrict c0 = pixels_.c[0].data() + row;
    const float* __restrict c1 = pixels_.c[1].data() + row;
    const float* __restrict c2 = pixels_.c[2].data() + row;
    const float* __restrict p0 = pixels_.p[0].data() + row;
    const float* __restrict p1 = pixels_.p[1].data() + row;
    const float* __restrict p2 = pixels_.p[2].data() + row;
    const float* __restrict valid = pixels_.valid.data() + row;
    const Weights w = weights_;
    const float dy = float(y) - c.y;
    const float cx = c.x, inv_rpx2 = c.inv_rpx2;
    const float cc0 = c.c[0], cc1 = c.c[1], cc2 = c.c[2], cp0 = c.p[0], cp1 = c.p[1], cp2 = c.p[2];
    const float has_depth = c.has_depth ? 1.0f : 0.0f;
    for (int x = x0; x <= x1; ++x) {
      const float dx = float(x) - cx;
      const float dimg = (dx * dx + dy * dy) * inv_rpx2;
      const float d0 = c0[x] - cc0, d1 = c1[x] - cc1, d2 = c2[x] - cc2;
      const float e0 = p0[x] - cp0, e1 = p1[x] - cp1, e2 = p2[x] - cp2;
      // Same arithmetic as distance(), written for vectorisation.
      const float use3d = has_depth * valid[x];
      const float world = use3d * ((e0 * e0 + e1 * e1 + e2 * e2) * w.inv_r2) + (1.0f - use3d) * dimg;
      const float d = w.image * dimg + w.color * (d0 * d0 + d1 * d1 + d2 * d2) + w.world * world;
      const float b = best[x];
      const int take = -int(d < b);  // all bits set when d wins
      best[x] = d < b ? d : b;
      label[x] = (k & take) | (label[x] & ~take);
    }
  }

  void addPixel(Sums& s, int x, int y) const {
    const unsigned char* c = color_(x, y);
    const std::int64_t v = measured_(x, y)[0];
    ++s.n;
    s.sx += x;
    s.sy += y;
    for (int k = 0; k < 3; ++k) s.sc[k] += c[k];
    if (v != 0) {
      ++s.nv;
      s.sxv += x * v;
      s.syv += y * v;
      s.sv += v;
    }
  }

  void update() {
    const int K = int(centers_.size());
    const int T = sum_slices_;
#pragma omp parallel for schedule(static) if (internal::teamSize(K, 256) > 1)
    for (int k = 0; k < K; ++k) {
      Sums s{};
      for (int t = 0; t < T; ++t) {
        const Sums& p = sums_[std::size_t(t) * K + k];
        s.n += p.n, s.sx += p.sx, s.sy += p.sy;
        for (int j = 0; j < 3; ++j) s.sc[j] += p.sc[j];
        s.nv += p.nv, s.sxv += p.sxv, s.syv += p.syv, s.sv += p.sv;
      }
      if (s.n == 0) continue;  // keeps its place and may win pixels again
      Center& c = centers_[k];
      c.x = float(double(s.sx) / s.n);
      c.y = float(double(s.sy) / s.n);
      for (int j = 0; j < 3; ++j) c.c[j] = float(double(s.sc[j]) * (kColorScale / 255.0) / s.n);
      c.has_depth = s.nv > 0;
      if (c.has_depth) {
        const double unit = opt_.depth_unit, f = opt_.camera_focal;
        c.p[0] = float((double(s.sxv) - opt_.camera_cx * double(s.sv)) * unit / (f * s.nv));
        c.p[1] = float((double(s.syv) - opt_.camera_cy * double(s.sv)) * unit / (f * s.nv));
        c.p[2] = float(double(s.sv) * unit / s.nv);
      }
      setRadius(c);
    }
  }

  // Keeps the largest 4-connected piece of every cluster; the other pieces and pixels that no
  // window reached are grown into the neighbouring clusters, each pixel joining the neighbour
  // cluster nearest to it, so pieces across a depth step go to the side they belong to.
  void enforceConnectivity() {
    const std::size_t n = labels_.size();
    const int K = int(centers_.size());
    std::vector<int> comp(n, -1), queue;
    std::vector<int> best_comp(K, -1), best_size(K, 0);
    queue.reserve(n);
    int ncomp = 0;
    for (std::size_t s = 0; s < n; ++s) {
      if (comp[s] >= 0 || labels_[s] < 0) continue;
      const int label = labels_[s];
      queue.clear();
      queue.push_back(int(s));
      comp[s] = ncomp;
      for (std::size_t q = 0; q < queue.size(); ++q) {
        const int i = queue[q], x = i % W_, y = i / W_;
        const int nb[4] = {x > 0 ? i - 1 : -1, x + 1 < W_ ? i + 1 : -1, y > 0 ? i - W_ : -1,
                           y + 1 < H_ ? i + W_ : -1};
        for (int j : nb)
          if (j >= 0 && comp[j] < 0 && labels_[j] == label) comp[j] = ncomp, queue.push_back(j);
      }
      if (int(queue.size()) > best_size[label]) best_size[label] = int(queue.size()), best_comp[label] = ncomp;
      ++ncomp;
    }
    std::vector<int> open;
    for (std::size_t i = 0; i < n; ++i) {
      if (labels_[i] >= 0 && comp[i] != best_comp[labels_[i]]) labels_[i] = -1;
      if (labels_[i] < 0) open.push_back(int(i));
    }

    std::vector<int> proposal;
    while (!open.empty()) {
      proposal.assign(open.size(), -1);
#pragma omp parallel for schedule(static) if (internal::teamSize(open.size(), 4096) > 1)
      for (std::size_t o = 0; o < open.size(); ++o) {
        const int i = open[o], x = i % W_, y = i / W_;
        const int nb[4] = {x > 0 ? i - 1 : -1, x + 1 < W_ ? i + 1 : -1, y > 0 ? i - W_ : -1,
                           y + 1 < H_ ? i + W_ : -1};
        float best = INFINITY;
        int label = -1;
        for (int j : nb) {
          if (j < 0 || labels_[j] < 0) continue;
          const int k = labels_[j];
          const float d = distance(pixels_, i, float(x), float(y), centers_[k], weights_);
          if (d < best || (d == best && k < label)) best = d, label = k;
        }
        proposal[o] = label;
      }
      std::vector<int> still;
      for (std::size_t o = 0; o < open.size(); ++o) {
        if (proposal[o] >= 0)
          labels_[open[o]] = proposal[o];
        else
          still.push_back(open[o]);
      }
      if (still.size() == open.size()) break;  // no labelled pixel at all: nothing to grow from
      open.swap(still);
    }
  }

  // Pixel indices of every cluster, in index order: those with depth or those without.
  struct PixelLists {
    std::vector<int> start;  // cluster k holds ids[start[k] .. start[k + 1])
    std::vector<int> ids;
  };
  PixelLists listPixels(bool with_depth) const {
    const std::size_t n = labels_.size();
    PixelLists l;
    l.start.assign(centers_.size() + 1, 0);
    // Spikes count as neither.
    auto member = [&](std::size_t i) {
      return labels_[i] >= 0 && (with_depth ? pixels_.valid[i] != 0.0f : depth_.pointer()[i] == 0);
    };
    for (std::size_t i = 0; i < n; ++i)
      if (member(i)) ++l.start[labels_[i] + 1];
    for (std::size_t k = 0; k + 1 < l.start.size(); ++k) l.start[k + 1] += l.start[k];
    l.ids.resize(l.start.back());
    std::vector<int> fill(l.start.begin(), l.start.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
      if (member(i)) l.ids[fill[labels_[i]]++] = int(i);
    return l;
  }

  // Holes of cluster k that its listed pixels may take in while 80 % of its pixels keep a depth
  // (the share a superpixel needs to give a point), so that the surface drawn from the cluster
  // covers small holes: those with the most listed 4-neighbours of the cluster (at least 2)
  // first, ties in index order. Returned in index order.
  std::vector<int> chooseHoles(int k, int listed_count, const int* holes, int hole_count,
                               const std::vector<char>& listed) const {
    int allowed = listed_count / 4;
    while (allowed > 0 && 0.8 * double(listed_count + allowed) > double(listed_count)) --allowed;
    std::vector<std::pair<int, int>> candidates;  // (-listed neighbours, index)
    for (int j = 0; j < hole_count && allowed > 0; ++j) {
      const int i = holes[j], x = i % W_, y = i / W_;
      auto mine = [&](int nb) { return listed[nb] && labels_[nb] == k; };
      const int around = (x > 0 && mine(i - 1)) + (x + 1 < W_ && mine(i + 1)) +
                         (y > 0 && mine(i - W_)) + (y + 1 < H_ && mine(i + W_));
      if (around >= 2) candidates.push_back({-around, i});
    }
    const std::size_t take = std::min(candidates.size(), std::size_t(allowed));
    std::partial_sort(candidates.begin(), candidates.begin() + long(take), candidates.end());
    std::vector<int> chosen(take);
    for (std::size_t j = 0; j < take; ++j) chosen[j] = candidates[j].second;
    std::sort(chosen.begin(), chosen.end());
    return chosen;
  }

  // A cluster lists the pixels with depth that lie on its surface, and small holes among them.
  // The other pixels without depth shape the clusters (they keep them compact and whole across
  // holes) but belong to none; neither do spikes and mixed pixels far from the cluster's plane.
  // Clusters left without a pixel with depth are dropped; the mean colour is that of the pixels
  // with depth.
  void collect(Superpixels& out) const {
    const int K = int(centers_.size());
    PixelLists surface = listPixels(true);
    const PixelLists holes = listPixels(false);
    std::vector<internal::Point3> points(labels_.size());
    for (std::size_t i = 0; i < points.size(); ++i)
      points[i] = {pixels_.p[0][i], pixels_.p[1][i], pixels_.p[2][i]};
    std::vector<int> kept(K, 0);
    const float floor = 2.0f * opt_.depth_unit;  // the depth image's own rounding
    TeamError error;  // both loops below allocate
#pragma omp parallel for schedule(dynamic, 64) if (internal::teamSize(K, 256) > 1)
    for (int k = 0; k < K; ++k) {
      if (error.seen()) continue;
      try {
        kept[k] = internal::keepSurfacePoints(points, surface.ids.data() + surface.start[k],
                                              surface.start[k + 1] - surface.start[k], radius_, floor);
      } catch (...) {
        error.keep_current();
      }
    }
    error.rethrow();
    std::vector<char> listed(labels_.size(), 0);
    for (int k = 0; k < K; ++k)
      for (int j = surface.start[k]; j < surface.start[k] + kept[k]; ++j) listed[surface.ids[j]] = 1;

    std::vector<int> index(K, -1);  // cluster k becomes out.cluster[index[k]]
    int m = 0;
    for (int k = 0; k < K; ++k)
      if (kept[k] > 0) index[k] = m++;
    out.cluster.resize(m);
#pragma omp parallel for schedule(dynamic, 64) if (internal::teamSize(K, 256) > 1)
    for (int k = 0; k < K; ++k) {
      if (index[k] < 0 || error.seen()) continue;
      Cluster& c = out.cluster[index[k]];
      const int* ids = surface.ids.data() + surface.start[k];
      std::int64_t csum[3] = {0, 0, 0};
      for (int j = 0; j < kept[k]; ++j)
        for (int ch = 0; ch < 3; ++ch) csum[ch] += color_.pointer()[std::size_t(ids[j]) * 3 + ch];
      for (int ch = 0; ch < 3; ++ch) c.color[ch] = float(double(csum[ch]) / (255.0 * double(kept[k])));
      try {
        const std::vector<int> filled = chooseHoles(k, kept[k], holes.ids.data() + holes.start[k],
                                                    holes.start[k + 1] - holes.start[k], listed);
        c.pixel_ids.resize(std::size_t(kept[k]) + filled.size());
        std::merge(ids, ids + kept[k], filled.begin(), filled.end(), c.pixel_ids.begin());
      } catch (...) {
        error.keep_current();
      }
    }
    error.rethrow();
  }

  const slimage::Image3ub& color_;
  const slimage::Image1ui16& depth_;
  slimage::Image1ui16 measured_;  // depth_ without its spikes and far clusters
  const Parameters& opt_;
  const int W_, H_;
  float radius_ = 0.0f;
  float weighed_depth_ = INFINITY;  // the most a reading weighs at, in steps of the depth image
  internal::SeedDensity density_;
  Weights weights_{};
  Planes pixels_;
  std::vector<Center> centers_;
  std::vector<int> labels_;
  std::vector<Sums> sums_;  // one slice of K per thread
  int sum_slices_ = 0;      // slices the last assignment filled
  int bw_ = 0, bh_ = 0;
  std::vector<int> bucket_start_, bucket_items_;
};

}  // namespace

Superpixels ComputeSuperpixels(const slimage::Image3ub& color, const slimage::Image1ui16& depth,
                               const Parameters& opt) {
  if (color.width() != depth.width() || color.height() != depth.height()) {
    std::stringstream ss;
    ss << "dasp::ComputeSuperpixels: colour and depth images differ in size" << std::endl
       << "colour: " << color.width() << " x " << color.height() << std::endl
       << "depth: " << depth.width() << " x " << depth.height();
    throw std::runtime_error(ss.str());
  }
  if (!(opt.camera_focal > 0.0f) || !(opt.depth_unit > 0.0f) ||
      (opt.count <= 0 && !(opt.base_radius > 0.0f))) {
    throw std::runtime_error(
        "dasp::ComputeSuperpixels: focal length, depth unit and radius must be positive");
  }
  return Solver(color, depth, opt).run();
}

}  // namespace dasp
