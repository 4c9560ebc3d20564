// Kernels of the semi-global matching: cost fix, path aggregation, label extraction with
// sub-label refinement, and the per-pixel tools around them (edge and penalty maps, labels to
// depths, median). Paths and labels come in two forms with the same bits: blocks whose 32-lane
// rows share a line's labels (the GPU's form), and one thread per line or row (the host back
// end's form where it is faster). Every sum follows a fixed order of roundings, so both back
// ends and both forms give the same results.
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "depthmap_estimation_kernels.h"
#include "sgm_kernels.h"
#include "team_error.h"
#include "yv/filtering/median3x3_kernel.h"
#include "yv/runtime/cooperative.cuh"
#include "yv/runtime/device_math.h"
#include "yv/runtime/float_ops.h"
#include "yv/runtime/launch.cuh"
#include "yv/tools/cuda_check.h"

namespace depthmap_estimation_kernels {

using yv::rt::add_rn;
using yv::rt::div_rn;
using yv::rt::fma_rn;
using yv::rt::mul_rn;
using yv::rt::sub_rn;

// Launched over the volume (label, column, row).
struct sgm_fix_matching_costs2 {
  yv::Array<float, 3> costs;
  YV_HD void operator()(unsigned d, unsigned c, unsigned r, unsigned) const {
    float& v = yv::at(costs, d, c, r);
    if (!(fabsf(v) < INFINITY)) v = 1000.0f;
  }
};

// The path kernel one line at a time, the whole walk in one thread: the host back end's form
// (see sgm_path_kernel below). t is the minor coordinate at which the walk starts. The walk
// visits every major coordinate once; the minor coordinate advances by o(k) = floor(k a / b +
// 1/2) and wraps around, and a new path begins at each wrap. prev and cur hold n floats each.
template <bool useP2Map>
struct sgm_path_line {
  yv::Array<float, 3> aggregated;
  yv::Array<float, 3> costs;
  float P1, P2;
  yv::rt::Texture2D<float> P2_tex;
  int dx, dy;

  void walk(unsigned t, float* prev, float* cur) const {
    const unsigned n = aggregated.size.x, W = aggregated.size.y, H = aggregated.size.z;
    const bool columnMajor = abs(dx) >= abs(dy);
    const int major = columnMajor ? dx : dy, minor = columnMajor ? dy : dx;
    const unsigned b = unsigned(abs(major)), a = unsigned(abs(minor));
    const unsigned majorExtent = columnMajor ? W : H, minorExtent = columnMajor ? H : W;
    if (t >= minorExtent) return;
    const int sigma = minor > 0 ? 1 : (minor < 0 ? -1 : 0);
    unsigned oLast = 0;
    for (unsigned k = 0; k < majorExtent; ++k) {
      const unsigned o = unsigned((2ull * k * a + b) / (2ull * b));
      long long m = (long long)(t) + (long long)(sigma) * (long long)(o);
      m %= (long long)(minorExtent);
      if (m < 0) m += minorExtent;
      const unsigned mc = unsigned(m);
      const unsigned majorC = major > 0 ? k : majorExtent - 1 - k;
      const unsigned x = columnMajor ? majorC : mc, y = columnMajor ? mc : majorC;
      bool first = k == 0;
      if (!first && o != oLast)
        first = (sigma > 0 && mc == 0) || (sigma < 0 && mc == minorExtent - 1);
      oLast = o;
      const float* c = &yv::at(costs, 0, x, y);
      float* s = &yv::at(aggregated, 0, x, y);
      if (first) {
        for (unsigned d = 0; d < n; ++d) {
          prev[d] = c[d];
          s[d] = add_rn(s[d], c[d]);
        }
        continue;
      }
      float mprev = FLT_MAX;
      for (unsigned d = 0; d < n; ++d) mprev = fminf(mprev, prev[d]);
      float p2 = P2;
      if (useP2Map) p2 = P2_tex.template fetch<float>(float(x) + 0.5f, float(y) + 0.5f);
      const float jump = add_rn(mprev, p2);
      for (unsigned d = 0; d < n; ++d) {
        const float lo = d > 0 ? add_rn(prev[d - 1], P1) : FLT_MAX;
        const float hi = d + 1 < n ? add_rn(prev[d + 1], P1) : FLT_MAX;
        const float L = sub_rn(add_rn(c[d], fminf(fminf(prev[d], jump), fminf(lo, hi))), mprev);
        cur[d] = L;
        s[d] = add_rn(s[d], L);
      }
      float* swap = prev;
      prev = cur;
      cur = swap;
    }
  }
};

// The path kernel in its block shape: block (32, 4, 1), one line per 32-lane thread row, lane i
// holding labels i, i + 32, .... Each row keeps two label vectors of m = max(n, 32) floats in
// dynamic shared memory, alternating as the previous and current path costs; the first 32 floats
// of the current one are the scratch of the label minimum. Every pixel of the walk takes
// kPhasesPerStep phases: 0 starts a path or takes each lane's own minimum, 1 to 5 fold the lane
// minima with strides 16 .. 1, 6 reads the minimum, 7 computes and adds the path costs. The
// lanes of a row agree on the walk, so each keeps its own copy of which buffer is current.
template <bool useP2Map>
struct sgm_path_block {
  static constexpr std::size_t kSharedBytes = 0;
  static constexpr unsigned kPhasesPerStep = 8;
  struct State {
    float mprev;
    unsigned current;  // index of the buffer that receives this step's costs
  };
  yv::Array<float, 3> aggregated;
  yv::Array<float, 3> costs;
  float P1, P2;
  yv::rt::Texture2D<float> P2_tex;
  int dx, dy;

  // Floats of one label vector, and the dynamic shared bytes of a block of `rows` lines.
  static YV_HD_INLINE unsigned vectorFloats(unsigned n) { return n > 32 ? n : 32; }
  static std::size_t sharedBytes(unsigned n, unsigned rows) {
    return std::size_t(rows) * 2 * vectorFloats(n) * sizeof(float);
  }
  YV_HD_INLINE unsigned steps() const {
    return abs(dx) >= abs(dy) ? aggregated.size.y : aggregated.size.z;
  }

  YV_HD void operator()(unsigned phase, const yv::rt::Team& team, State& st) const {
    const unsigned n = aggregated.size.x, W = aggregated.size.y, H = aggregated.size.z;
    const bool columnMajor = abs(dx) >= abs(dy);
    const int major = columnMajor ? dx : dy, minor = columnMajor ? dy : dx;
    const unsigned b = unsigned(abs(major)), a = unsigned(abs(minor));
    const unsigned majorExtent = columnMajor ? W : H, minorExtent = columnMajor ? H : W;
    const unsigned t = team.block.y * team.blockDim.y + team.thread.y;
    if (t >= minorExtent) return;
    const unsigned k = phase / kPhasesPerStep, sub = phase % kPhasesPerStep, i = team.thread.x;
    const int sigma = minor > 0 ? 1 : (minor < 0 ? -1 : 0);
    const unsigned o = unsigned((2ull * k * a + b) / (2ull * b));
    long long m = ((long long)(t) + (long long)(sigma) * (long long)(o)) % (long long)(minorExtent);
    if (m < 0) m += minorExtent;
    const unsigned mc = unsigned(m);
    const unsigned majorC = major > 0 ? k : majorExtent - 1 - k;
    const unsigned x = columnMajor ? majorC : mc, y = columnMajor ? mc : majorC;
    bool first = k == 0;
    if (!first && o != unsigned((2ull * (k - 1) * a + b) / (2ull * b)))
      first = (sigma > 0 && mc == 0) || (sigma < 0 && mc == minorExtent - 1);
    const unsigned mf = vectorFloats(n);
    float* rowBuffers = static_cast<float*>(team.dynamicShared) + 2 * mf * team.thread.y;
    float* cur = rowBuffers + mf * st.current;
    float* prev = rowBuffers + mf * (st.current ^ 1u);
    const float* c = &yv::at(costs, 0, x, y);
    float* s = &yv::at(aggregated, 0, x, y);
    if (first) {
      // The path's first pixel: L = C, into the buffer the next step reads as its previous.
      if (sub == 0)
        for (unsigned d = i; d < n; d += 32) {
          prev[d] = c[d];
          s[d] = add_rn(s[d], c[d]);
        }
      return;
    }
    if (sub == 0) {
      float v = FLT_MAX;
      for (unsigned d = i; d < n; d += 32) v = fminf(v, prev[d]);
      cur[i] = v;
    } else if (sub <= 5) {
      const unsigned stride = 32u >> sub;
      if (i < stride) cur[i] = fminf(cur[i], cur[i + stride]);
    } else if (sub == 6) {
      st.mprev = cur[0];
    } else {
      const float mprev = st.mprev;
      float p2 = P2;
      if (useP2Map) p2 = P2_tex.template fetch<float>(float(x) + 0.5f, float(y) + 0.5f);
      const float jump = add_rn(mprev, p2);
      for (unsigned d = i; d < n; d += 32) {
        const float lo = d > 0 ? add_rn(prev[d - 1], P1) : FLT_MAX;
        const float hi = d + 1 < n ? add_rn(prev[d + 1], P1) : FLT_MAX;
        const float L = sub_rn(add_rn(c[d], fminf(fminf(prev[d], jump), fminf(lo, hi))), mprev);
        cur[d] = L;
        s[d] = add_rn(s[d], L);
      }
      st.current ^= 1u;
    }
  }
};

// The vertex of the parabola through (l, c0), (l + 1, cp), (l - 1, cm) by Cramer's rule, in a
// fixed order of single roundings; l itself where the fit is degenerate or leaves (0, n).
YV_HD_INLINE float refineLabel(float l, float c0, float cp, float cm, unsigned n) {
  if (l < 1.0f || l >= float(n - 1)) return l;
  const float p = add_rn(l, 1.0f), m = sub_rn(l, 1.0f);
  float det = mul_rn(mul_rn(l, l), p);
  det = sub_rn(det, mul_rn(mul_rn(p, p), l));
  det = fma_rn(mul_rn(l, m), m, det);
  det = sub_rn(det, mul_rn(mul_rn(p, m), m));
  det = sub_rn(det, mul_rn(mul_rn(l, l), m));
  det = fma_rn(mul_rn(p, p), m, det);
  if (det == 0.0f) return l;
  const float l2 = mul_rn(l, l), p2 = mul_rn(p, p), m2 = mul_rn(m, m);
  const float a0 = div_rn(sub_rn(p, m), det), ap = div_rn(sub_rn(m, l), det),
              am = div_rn(sub_rn(l, p), det);
  const float b0 = div_rn(sub_rn(m2, p2), det), bp = div_rn(sub_rn(l2, m2), det),
              bm = div_rn(sub_rn(p2, l2), det);
  const float A = fma_rn(am, cm, fma_rn(a0, c0, mul_rn(ap, cp)));
  const float B = fma_rn(bm, cm, fma_rn(b0, c0, mul_rn(bp, cp)));
  const float t = div_rn(mul_rn(-0.5f, B), A);
  if (fabsf(t) < INFINITY && t > 0.0f && t < float(n)) return t;
  return l;
}

// The element-wise form of label extraction, kept as the reference of the cooperative one: one
// image row per call, column by column. The arg-min runs as 32 lanes would: lane i keeps the
// first least cost among labels i, i + 32, ...; the lanes are then merged pairwise (i with
// i + 16, 8, 4, 2, 1), a lane taking its partner's value only when strictly smaller.
struct sgm_extract_labels {
  yv::Array<float, 2> labels;
  yv::Array<float, 3> aggregated;

  YV_HD void operator()(unsigned, unsigned y, unsigned, unsigned) const {
    const unsigned W = labels.size.x, H = labels.size.y, n = aggregated.size.x;
    if (y >= H) return;
    for (unsigned x = 0; x < W; ++x) {
      const float* v = &yv::at(aggregated, 0, x, y);
      float value[32];
      unsigned label[32];
      for (unsigned i = 0; i < 32; ++i) {
        value[i] = FLT_MAX;
        label[i] = 0;
        for (unsigned d = i; d < n; d += 32)
          if (v[d] < value[i]) {
            value[i] = v[d];
            label[i] = d;
          }
      }
      for (unsigned s = 16; s >= 1; s /= 2)
        for (unsigned i = 0; i < s; ++i)
          if (value[i + s] < value[i]) {
            value[i] = value[i + s];
            label[i] = label[i + s];
          }
      const unsigned l = label[0];
      const float cp = l + 1 < n ? v[l + 1] : 0.0f;
      const float cm = l >= 1 ? v[l - 1] : 0.0f;
      yv::at(labels, x, y) = refineLabel(float(l), value[0], cp, cm, n);
    }
  }
};

// Label extraction in its block shape: block (32, Rows, 1), one image row per 32-lane thread row,
// the row's label vector in dynamic shared memory (n floats per row). Each column takes
// kPhasesPerColumn phases: 0 loads the vector and takes each lane's first least cost among its
// labels i, i + 32, ...; 1 to 5 merge lane i with lane i + 16, 8, 4, 2, 1, taking the partner's
// only when strictly smaller (so ties go to lanes in bit-reversed order); 6 lets lane 0 record
// the winner in slot x mod 32; 7 refines and writes all 32 slots once the last one is filled.
// One last phase writes the slots of a row's incomplete tail.
template <int Rows>
struct sgm_extract_labels_block {
  struct Shared {
    float reduction_values[Rows][32];
    int reduction_labels[Rows][32];
    float results_label[Rows][32];
    float results_value[Rows][32];
    float results_value_p1[Rows][32];
    float results_value_m1[Rows][32];
  };
  static constexpr std::size_t kSharedBytes = sizeof(Shared);
  static constexpr unsigned kPhasesPerColumn = 8;
  struct State {};
  yv::Array<float, 2> labels;
  yv::Array<float, 3> aggregated;

  YV_HD_INLINE unsigned phases() const { return kPhasesPerColumn * labels.size.x + 1; }

  YV_HD void operator()(unsigned phase, const yv::rt::Team& team, State&) const {
    const unsigned W = labels.size.x, H = labels.size.y, n = aggregated.size.x;
    const unsigned r = team.thread.y, i = team.thread.x;
    const unsigned y = team.block.y * team.blockDim.y + r;
    if (y >= H) return;
    Shared& sh = *static_cast<Shared*>(team.shared);
    float* v = static_cast<float*>(team.dynamicShared) + n * r;
    const unsigned x = phase / kPhasesPerColumn, sub = phase % kPhasesPerColumn;
    if (x == W) {  // the tail
      const unsigned tail = W % 32;
      if (i < tail) writeSlot(sh, r, i, W - tail + i, y, n);
      return;
    }
    if (sub == 0) {
      const float* src = &yv::at(aggregated, 0, x, y);
      float best = FLT_MAX;
      int label = 0;
      for (unsigned d = i; d < n; d += 32) {
        v[d] = src[d];
        if (v[d] < best) {
          best = v[d];
          label = int(d);
        }
      }
      sh.reduction_values[r][i] = best;
      sh.reduction_labels[r][i] = label;
    } else if (sub <= 5) {
      const unsigned stride = 32u >> sub;
      if (i < stride && sh.reduction_values[r][i + stride] < sh.reduction_values[r][i]) {
        sh.reduction_values[r][i] = sh.reduction_values[r][i + stride];
        sh.reduction_labels[r][i] = sh.reduction_labels[r][i + stride];
      }
    } else if (sub == 6) {
      if (i == 0) {
        const unsigned j = x % 32, l = unsigned(sh.reduction_labels[r][0]);
        sh.results_label[r][j] = float(l);
        sh.results_value[r][j] = sh.reduction_values[r][0];
        // Not read by the refinement where the neighbour is missing.
        sh.results_value_p1[r][j] = l + 1 < n ? v[l + 1] : 0.0f;
        sh.results_value_m1[r][j] = l >= 1 ? v[l - 1] : 0.0f;
      }
    } else if (x % 32 == 31) {
      writeSlot(sh, r, i, x - 31 + i, y, n);
    }
  }

  YV_HD_INLINE void writeSlot(const Shared& sh, unsigned r, unsigned j, unsigned x, unsigned y,
                              unsigned n) const {
    yv::at(labels, x, y) = refineLabel(sh.results_label[r][j], sh.results_value[r][j],
                                       sh.results_value_p1[r][j], sh.results_value_m1[r][j], n);
  }
};

// Colour distance (channels / 255) of each pixel to its neighbour (x + ox, y + oy), clamped into
// the image; the first pass stores it, the second adds it.
YV_HD_INLINE int clampTo(int v, int extent) { return v < 0 ? 0 : (v >= extent ? extent - 1 : v); }

template <int ox, int oy, bool accumulate>
struct compute_edge_map_kernel {
  yv::Array<float, 2> edge;
  yv::Array<uchar4, 2> image;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const int iw = int(image.size.x), ih = int(image.size.y);
    // The pixel itself is clamped too, so an edge map larger than the image reads nothing
    // outside it.
    const uchar4 P = yv::at(image, unsigned(clampTo(int(x), iw)), unsigned(clampTo(int(y), ih)));
    const uchar4 Q = yv::at(image, unsigned(clampTo(int(x) + ox, iw)),
                            unsigned(clampTo(int(y) + oy, ih)));
    const float dr = sub_rn(Q.x / 255.0f, P.x / 255.0f);
    const float dg = sub_rn(Q.y / 255.0f, P.y / 255.0f);
    const float db = sub_rn(Q.z / 255.0f, P.z / 255.0f);
    const float dist = sqrtf(fma_rn(db, db, fma_rn(dr, dr, mul_rn(dg, dg))));
    float& e = yv::at(edge, x, y);
    e = accumulate ? add_rn(e, dist) : dist;
  }
};
using compute_edge_map_kernel_x = compute_edge_map_kernel<1, 0, false>;
using compute_edge_map_kernel_y = compute_edge_map_kernel<0, 1, true>;

struct compute_P2_costs_kernel {
  yv::Array<float, 2> map;
  float a, b, c, d;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    float& e = yv::at(map, x, y);
    // exp and pow of the runtime layer: CUDA's expf and powf round differently from glibc's.
    e = fmaxf(a, d * yv::rt::exp_portable(-b * yv::rt::pow_portable(e, c)));
  }
};

template <bool InverseDepth>
struct convert_labels_to_depth_kernel {
  static_assert(InverseDepth, "labels are spaced in inverse depth");
  yv::Array<float, 2> labels;
  float inv0, step;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    float& l = yv::at(labels, x, y);
    l = div_rn(1.0f, fma_rn(l, step, inv0));
  }
};

}  // namespace depthmap_estimation_kernels

namespace dek = depthmap_estimation_kernels;

void sgm_fix_matching_costs2(yv::Array<float, 3> costs) {
  yv::rt::launch(dek::sgm_fix_matching_costs2{costs},
                 yv::rt::extent3(costs.size.x, costs.size.y, costs.size.z), dim3(32, 4, 1), 0,
                 {costs.ptr});
}

template <bool useP2Map, int dx, int dy>
void sgm_path_kernel_cooperative(yv::Array<float, 3> aggregated, yv::Array<float, 3> costs,
                                 float P1, float P2, const yv::rt::Texture2D<float>& P2_tex,
                                 cudaStream_t stream) {
  static_assert(dx != 0 || dy != 0, "a path needs a direction");
  using Body = dek::sgm_path_block<useP2Map>;
  const Body body{aggregated, costs, P1, P2, P2_tex, dx, dy};
  const unsigned lines = std::abs(dx) >= std::abs(dy) ? aggregated.size.z : aggregated.size.y;
  yv::rt::launchCooperative(body, dim3(1, (lines + 3) / 4, 1), dim3(32, 4, 1),
                            Body::sharedBytes(aggregated.size.x, 4),
                            body.steps() * Body::kPhasesPerStep, stream,
                            {aggregated.ptr, costs.ptr});
}

template <bool useP2Map, int dx, int dy>
void sgm_path_kernel_per_line(yv::Array<float, 3> aggregated, yv::Array<float, 3> costs,
                              float P1, float P2, const yv::rt::Texture2D<float>& P2_tex,
                              cudaStream_t stream) {
  if (yv::rt::onGpu()) {  // a host walk cannot reach device memory
    sgm_path_kernel_cooperative<useP2Map, dx, dy>(aggregated, costs, P1, P2, P2_tex, stream);
    return;
  }
  // Refused where the GPU's form would be, so both back ends accept the same volumes.
  const std::size_t shared = dek::sgm_path_block<useP2Map>::sharedBytes(aggregated.size.x, 4);
  if (const cudaError_t refused = yv::rt::launchConfigError(dim3(1), dim3(32, 4, 1), shared)) {
    yv::rt::setLastError(refused);
    return;
  }
  if (!yv::rt::kernelMemoryValid({aggregated.ptr, costs.ptr})) return;
  const dek::sgm_path_line<useP2Map> body{aggregated, costs, P1, P2, P2_tex, dx, dy};
  const unsigned n = aggregated.size.x;
  const int lines = int(std::abs(dx) >= std::abs(dy) ? aggregated.size.z : aggregated.size.y);
  TeamError error;
#pragma omp parallel
  {
    std::vector<float> buffers;
    try {
      buffers.resize(2 * std::size_t(n));
    } catch (...) {
      error.keep_current();
    }
    // Every thread meets the loop; after a failure none takes a line.
#pragma omp for schedule(dynamic)
    for (int t = 0; t < lines; ++t)
      if (!error.seen()) body.walk(unsigned(t), buffers.data(), buffers.data() + n);
  }
  error.rethrow();
}

template <bool useP2Map, int dx, int dy>
void sgm_path_kernel(yv::Array<float, 3> aggregated, yv::Array<float, 3> costs, float P1,
                     float P2, const yv::rt::Texture2D<float>& P2_tex, cudaStream_t stream) {
  // The host back end walks whole lines: several times faster there than running the lanes of
  // a block phase by phase.
  sgm_path_kernel_per_line<useP2Map, dx, dy>(aggregated, costs, P1, P2, P2_tex, stream);
}

void sgm_extract_labels_cooperative(yv::Array<float, 2> labels, yv::Array<float, 3> aggregated) {
  using Body = dek::sgm_extract_labels_block<4>;
  const Body body{labels, aggregated};
  yv::rt::launchCooperative(body, dim3(1, (labels.size.y + 3) / 4, 1), dim3(32, 4, 1),
                            std::size_t(16) * aggregated.size.x, body.phases(), 0,
                            {labels.ptr, aggregated.ptr});
}

void sgm_extract_labels_per_row(yv::Array<float, 2> labels, yv::Array<float, 3> aggregated) {
  yv::rt::launch(dek::sgm_extract_labels{labels, aggregated}, yv::rt::extent2(1, labels.size.y),
                 dim3(1, 32, 1), 0, {labels.ptr, aggregated.ptr});
}

void sgm_extract_labels(yv::Array<float, 2> labels, yv::Array<float, 3> aggregated) {
  sgm_extract_labels_cooperative(labels, aggregated);
}

#define SGM_PATH_FORMS(name, useP2Map, dx, dy)                                               \
  template void name<useP2Map, dx, dy>(yv::Array<float, 3>, yv::Array<float, 3>, float, float, \
                                       const yv::rt::Texture2D<float>&, cudaStream_t);
#define SGM_PATH_INSTANCE(dx, dy)                              \
  SGM_PATH_FORMS(sgm_path_kernel, true, dx, dy)                \
  SGM_PATH_FORMS(sgm_path_kernel, false, dx, dy)               \
  SGM_PATH_FORMS(sgm_path_kernel_cooperative, true, dx, dy)    \
  SGM_PATH_FORMS(sgm_path_kernel_cooperative, false, dx, dy)   \
  SGM_PATH_FORMS(sgm_path_kernel_per_line, true, dx, dy)       \
  SGM_PATH_FORMS(sgm_path_kernel_per_line, false, dx, dy)
SGM_PATH_INSTANCE(1, 0)
SGM_PATH_INSTANCE(-1, 0)
SGM_PATH_INSTANCE(0, 1)
SGM_PATH_INSTANCE(0, -1)
SGM_PATH_INSTANCE(1, 1)
SGM_PATH_INSTANCE(-1, 1)
SGM_PATH_INSTANCE(-1, -1)
SGM_PATH_INSTANCE(1, -1)
SGM_PATH_INSTANCE(2, 1)
SGM_PATH_INSTANCE(2, -1)
SGM_PATH_INSTANCE(-2, 1)
SGM_PATH_INSTANCE(-2, -1)
SGM_PATH_INSTANCE(1, 2)
SGM_PATH_INSTANCE(-1, 2)
SGM_PATH_INSTANCE(1, -2)
SGM_PATH_INSTANCE(-1, -2)
SGM_PATH_INSTANCE(4, 1)
SGM_PATH_INSTANCE(4, 3)
SGM_PATH_INSTANCE(4, -1)
SGM_PATH_INSTANCE(4, -3)
SGM_PATH_INSTANCE(-4, 1)
SGM_PATH_INSTANCE(-4, 3)
SGM_PATH_INSTANCE(-4, -1)
SGM_PATH_INSTANCE(-4, -3)
SGM_PATH_INSTANCE(1, 4)
SGM_PATH_INSTANCE(3, 4)
SGM_PATH_INSTANCE(-1, 4)
SGM_PATH_INSTANCE(-3, 4)
SGM_PATH_INSTANCE(1, -4)
SGM_PATH_INSTANCE(3, -4)
SGM_PATH_INSTANCE(-1, -4)
SGM_PATH_INSTANCE(-3, -4)
#undef SGM_PATH_INSTANCE
#undef SGM_PATH_FORMS

void compute_edge_map(yv::Array<float, 2>& edge, yv::Array<uchar4, 2> const& image) {
  const uint4 extent = yv::rt::extent2(edge.size.x, edge.size.y);
  yv::rt::launch(dek::compute_edge_map_kernel_x{edge, image}, extent, dim3(32, 4, 1), 0,
                 {edge.ptr, image.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  yv::rt::launch(dek::compute_edge_map_kernel_y{edge, image}, extent, dim3(32, 4, 1), 0,
                 {edge.ptr, image.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

void compute_P2_costs(yv::Array<float, 2>& map, float a, float b, float c, float d) {
  yv::rt::launch(dek::compute_P2_costs_kernel{map, a, b, c, d},
                 yv::rt::extent2(map.size.x, map.size.y), dim3(32, 4, 1), 0, {map.ptr});
}

void convert_labels_to_depth(yv::Array<float, 2>& labels, int n, float d0, float d1) {
  const float inv0 = 1.0f / d0;
  const float step = (1.0f / d1 - 1.0f / d0) / float(n - 1);
  yv::rt::launch(dek::convert_labels_to_depth_kernel<true>{labels, inv0, step},
                 yv::rt::extent2(labels.size.x, labels.size.y), dim3(32, 4, 1), 0, {labels.ptr});
}

void median3x3(yv::Array<float, 2>& out, yv::Array<float, 2> const& in) {
  yv_filtering_kernels::launchMedian3x3(out, in, yv::rt::KernelForm::Auto);
}
