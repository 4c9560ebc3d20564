// Kernels of the semi-global matching: cost fix, path aggregation, label extraction with
// sub-label refinement, and the per-pixel tools around them (edge and penalty maps, labels to
// depths, median). Paths are walked by one thread each, label by label, in the order of
// operations that fixes every rounding, so both back ends give the same sums.
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "depthmap_estimation_kernels.h"
#include "sgm_kernels.h"
#include "yv/filtering/median3x3_kernel.h"
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

// One line of direction (dx, dy) per call; t is the minor coordinate at which the walk starts.
// The walk visits every major coordinate once; the minor coordinate advances by
// o(k) = floor(k a / b + 1/2) and wraps around, and a new path begins at each wrap.
template <bool useP2Map>
struct sgm_path_kernel {
  yv::Array<float, 3> aggregated;
  yv::Array<float, 3> costs;
  float P1, P2;
  yv::rt::Texture2D<float> P2_tex;
  yv::Array<float, 2> scratch;
  int dx, dy;

  YV_HD void operator()(unsigned, unsigned t, unsigned, unsigned) const {
    const unsigned n = aggregated.size.x, W = aggregated.size.y, H = aggregated.size.z;
    const bool columnMajor = abs(dx) >= abs(dy);
    const int major = columnMajor ? dx : dy, minor = columnMajor ? dy : dx;
    const unsigned b = unsigned(abs(major)), a = unsigned(abs(minor));
    const unsigned majorExtent = columnMajor ? W : H, minorExtent = columnMajor ? H : W;
    if (t >= minorExtent) return;
    const int sigma = minor > 0 ? 1 : (minor < 0 ? -1 : 0);
    float* prev = &yv::at(scratch, 0, t);
    float* cur = &yv::at(scratch, n, t);
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

// One image row per call, column by column. The arg-min runs as 32 lanes would: lane i keeps the
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
    e = fmaxf(a, d * expf(-b * powf(e, c)));
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
void sgm_path_kernel(yv::Array<float, 3> aggregated, yv::Array<float, 3> costs, float P1,
                     float P2, const yv::rt::Texture2D<float>& P2_tex,
                     yv::Array<float, 2> scratch, cudaStream_t stream) {
  static_assert(dx != 0 || dy != 0, "a path needs a direction");
  const bool columnMajor = std::abs(dx) >= std::abs(dy);
  const unsigned lines = columnMajor ? aggregated.size.z : aggregated.size.y;
  // One thread per line: its walk is sequential, the lines are independent.
  yv::rt::launch(dek::sgm_path_kernel<useP2Map>{aggregated, costs, P1, P2, P2_tex, scratch, dx, dy},
                 yv::rt::extent2(1, lines), dim3(1, 32, 1), stream,
                 {aggregated.ptr, costs.ptr, scratch.ptr});
}

void sgm_extract_labels(yv::Array<float, 2> labels, yv::Array<float, 3> aggregated) {
  yv::rt::launch(dek::sgm_extract_labels{labels, aggregated}, yv::rt::extent2(1, labels.size.y),
                 dim3(1, 32, 1), 0, {labels.ptr, aggregated.ptr});
}

#define SGM_PATH_INSTANCE(dx, dy)                                                               \
  template void sgm_path_kernel<true, dx, dy>(yv::Array<float, 3>, yv::Array<float, 3>, float,  \
                                              float, const yv::rt::Texture2D<float>&,           \
                                              yv::Array<float, 2>, cudaStream_t);               \
  template void sgm_path_kernel<false, dx, dy>(yv::Array<float, 3>, yv::Array<float, 3>, float, \
                                               float, const yv::rt::Texture2D<float>&,          \
                                               yv::Array<float, 2>, cudaStream_t);
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
  yv_filtering_kernels::launchMedian3x3(out, in);
}
