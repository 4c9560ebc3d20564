#include "render_depthmaps_kernels.h"

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "yv/algorithms/basic/arithmetic.h"
#include "yv/runtime/atomics.h"
#include "yv/runtime/device_math.h"
#include "yv/runtime/launch.cuh"
#include "yv/runtime/texture.h"
#include "yv/tools/cuda_check.h"

namespace {

constexpr unsigned kPointBlock = 128;
constexpr unsigned kMaxBlocksPerLaunch = 65535;
const dim3 kImageBlock(32, 4, 1);

// ---- small vector helpers ---------------------------------------------------------------------

YV_HD_INLINE float3 f3(float x, float y, float z) { return make_float3(x, y, z); }
YV_HD_INLINE float dot(const float3& a, const float3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
YV_HD_INLINE float3 cross(const float3& a, const float3& b) {
  return f3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}
YV_HD_INLINE float3 scale(float s, const float3& a) { return f3(s * a.x, s * a.y, s * a.z); }
YV_HD_INLINE float3 rotate(const float* R, const float3& v) {
  return f3(R[0] * v.x + R[1] * v.y + R[2] * v.z, R[3] * v.x + R[4] * v.y + R[5] * v.z,
            R[6] * v.x + R[7] * v.y + R[8] * v.z);
}
YV_HD_INLINE float3 transform(const Projection& p, const float3& v) {
  const float3 r = rotate(p.R, v);
  return f3(r.x + p.t[0], r.y + p.t[1], r.z + p.t[2]);
}
YV_HD_INLINE bool isNaN(float v) { return v != v; }

YV_HD_INLINE float3 row3(const yv::Array<float, 2>& a, unsigned i) {
  return f3(yv::at(a, i, 0u), yv::at(a, i, 1u), yv::at(a, i, 2u));
}

// ---- the splat of one disk --------------------------------------------------------------------

// An oriented disk centred on P (camera frame) with normal nc, its pixel box and its axes.
struct Splat {
  float3 P, a, b, c;
  float3 bxP, Pxa;  // the cross products of the ray-disk solution that do not depend on the pixel
  float Pc;
  int x0, x1, y0, y1;
};

// Depth range, pixel box and disk axes. False when the disk draws nothing.
YV_HD_INLINE bool setupSplat(Splat& s, const Projection& pr, const float3& P, const float3& nc,
                             float r) {
  if (P.z <= pr.near || P.z >= pr.far) return false;
  const float u = P.x * pr.fx / P.z + pr.cx;
  const float v = P.y * pr.fy / P.z + pr.cy;
  const float rx = (r / P.z) * pr.fx;
  const float ry = (r / P.z) * pr.fy;
  // A point at a non-finite place would otherwise sweep the whole image without drawing.
  if (isNaN(u) || isNaN(v) || isNaN(rx) || isNaN(ry)) return false;
  const float bx0 = floorf(fmaxf(u - rx, 0.f));
  const float by0 = floorf(fmaxf(v - ry, 0.f));
  const float bx1 = ceilf(fminf(u + rx, float(pr.width) - 1.f));
  const float by1 = ceilf(fminf(v + ry, float(pr.height) - 1.f));
  // Compared as floats: the bounds are converted only once they are known to lie in the image.
  if (!(bx0 <= bx1) || !(by0 <= by1)) return false;
  s.x0 = int(bx0);
  s.x1 = int(bx1);
  s.y0 = int(by0);
  s.y1 = int(by1);

  const float ax = fabsf(nc.x), ay = fabsf(nc.y), az = fabsf(nc.z);
  float3 h;
  if (ax < ay && ax < az)
    h = f3(0.f, -nc.z, nc.y);
  else if (ay < ax && ay < az)
    h = f3(-nc.z, 0.f, nc.x);
  else if (nc.x != 0.f || nc.y != 0.f)
    h = f3(-nc.y, nc.x, 0.f);
  else  // a normal along the optical axis: (-ny, nx, 0) would vanish and the disk with it
    h = f3(0.f, -nc.z, nc.y);
  h = scale(1.f / sqrtf(dot(h, h)), h);
  s.P = P;
  s.a = scale(r, h);
  s.b = scale(r, cross(nc, h));
  s.c = cross(s.a, s.b);
  s.bxP = cross(s.b, P);
  s.Pxa = cross(P, s.a);
  s.Pc = dot(P, s.c);
  return true;
}

// Solves lambda q = P + s a + tau b for the ray of pixel (x, y). True when the pixel is covered;
// lambda is then the fragment's camera-frame depth and rho2 = s^2 + tau^2.
YV_HD_INLINE bool fragment(const Splat& sp, const Projection& pr, int x, int y, float& lambda,
                           float& rho2) {
  const float3 q = f3((float(x) - pr.cx) / pr.fx, (float(y) - pr.cy) / pr.fy, 1.f);
  const float den = dot(q, sp.c);
  lambda = sp.Pc / den;
  const float s = dot(q, sp.bxP) / den;
  const float tau = dot(q, sp.Pxa) / den;
  rho2 = s * s + tau * tau;
  return rho2 <= 1.f;
}

// Buffer element of pixel (x, y) in the mirrored layout.
YV_HD_INLINE unsigned ex(const Projection& pr, int x) { return pr.width - 1u - unsigned(x); }
YV_HD_INLINE unsigned ey(const Projection& pr, int y) { return pr.height - 1u - unsigned(y); }

// Gaussian splat weight of a fragment at squared disk radius rho2 (sigma 0.3 of the radius).
YV_HD_INLINE float splatWeight(float rho2) {
  const float norm = 1.f / (sqrtf(0.63661975f) * 0.3f);
  return norm * yv::rt::exp_portable(-0.5f * rho2 / 0.09f);  // the same bits on both back ends
}

YV_HD_INLINE void accumulate(const RenderBuffer& b, unsigned x, unsigned y, float w,
                             const float3& nc, const uchar4* color) {
  if (color) {
    yv::rt::atomic_add(&yv::at(b.color_sum, x, y, 0u), float(color->x) * w);
    yv::rt::atomic_add(&yv::at(b.color_sum, x, y, 1u), float(color->y) * w);
    yv::rt::atomic_add(&yv::at(b.color_sum, x, y, 2u), float(color->z) * w);
    yv::rt::atomic_add(&yv::at(b.color_sum, x, y, 3u), float(color->w) * w);
  }
  yv::rt::atomic_add(&yv::at(b.normal_sum, x, y, 0u), nc.x * w);
  yv::rt::atomic_add(&yv::at(b.normal_sum, x, y, 1u), nc.y * w);
  yv::rt::atomic_add(&yv::at(b.normal_sum, x, y, 2u), nc.z * w);
  if (color) yv::rt::atomic_add(&yv::at(b.weight_sum, x, y), w);
}

// Atomic minimum in which a NaN candidate leaves the stored value alone.
YV_HD_INLINE void atomicMinFloat(float* p, float v) {
  if (!isNaN(v)) yv::rt::atomic_min(p, v);
}

// ---- point passes -----------------------------------------------------------------------------

// Common head of the point kernels: point index, camera-frame centre and normal.
struct PointHead {
  Projection projection;
  Points points;
  float radius_scale;
  unsigned block_offset;
  unsigned n;

  YV_HD bool index(unsigned x, unsigned& i) const {
    i = block_offset * kPointBlock + x;
    return i < n;
  }
  YV_HD void load(unsigned i, float3& P, float3& nc) const {
    nc = rotate(projection.R, row3(points.normals, i));
    P = transform(projection, row3(points.positions, i));
  }
};

struct visibility_pass_kernel {
  PointHead h;
  RenderBuffer buffer;
  YV_HD void operator()(unsigned x, unsigned, unsigned, unsigned) const {
    unsigned i;
    if (!h.index(x, i)) return;
    float3 P, nc;
    h.load(i, P, nc);
    if (dot(P, nc) >= 0.f) return;  // the normal must point towards the camera centre
    Splat s;
    if (!setupSplat(s, h.projection, P, nc, yv::at(h.points.sizes, i) * h.radius_scale)) return;
    for (int y = s.y0; y <= s.y1; ++y)
      for (int x = s.x0; x <= s.x1; ++x) {
        float lambda, rho2;
        if (!fragment(s, h.projection, x, y, lambda, rho2)) continue;
        atomicMinFloat(&yv::at(buffer.depth, ex(h.projection, x), ey(h.projection, y)), lambda);
      }
  }
};

// Attribute and normal passes: colour (when withColor) and normal sums of the fragments that lie
// within the point's own size of the depth buffer.
template <bool withColor>
struct attribute_pass_kernel {
  PointHead h;
  RenderBuffer buffer;
  float depth_tolerance;
  YV_HD void operator()(unsigned x, unsigned, unsigned, unsigned) const {
    unsigned i;
    if (!h.index(x, i)) return;
    float3 P, nc;
    h.load(i, P, nc);
    if (nc.z >= 0.f) return;  // the normal must point towards the image plane
    const float size = yv::at(h.points.sizes, i);
    Splat s;
    if (!setupSplat(s, h.projection, P, nc, size * h.radius_scale)) return;
    const uchar4 color = withColor ? yv::at(h.points.colors, i) : make_uchar4(0, 0, 0, 0);
    for (int y = s.y0; y <= s.y1; ++y)
      for (int x = s.x0; x <= s.x1; ++x) {
        float lambda, rho2;
        if (!fragment(s, h.projection, x, y, lambda, rho2)) continue;
        const unsigned bx = ex(h.projection, x), by = ey(h.projection, y);
        if (lambda - size >= yv::at(buffer.depth, bx, by)) continue;
        accumulate(buffer, bx, by, splatWeight(rho2), nc, withColor ? &color : nullptr);
      }
  }
};
using normal_pass_kernel = attribute_pass_kernel<false>;

struct contribution_pass_kernel {
  PointHead h;
  yv::Array<int, 1> flags;
  RenderBuffer buffer;
  float depth_tolerance;
  YV_HD int contributes(unsigned i) const {
    float3 P, nc;
    h.load(i, P, nc);
    if (nc.z >= 0.f) return 0;
    const float size = yv::at(h.points.sizes, i);
    Splat s;
    if (!setupSplat(s, h.projection, P, nc, size * h.radius_scale)) return 0;
    for (int y = s.y0; y <= s.y1; ++y)
      for (int x = s.x0; x <= s.x1; ++x) {
        float lambda, rho2;
        if (!fragment(s, h.projection, x, y, lambda, rho2)) continue;
        if (!(lambda - size >= yv::at(buffer.depth, ex(h.projection, x), ey(h.projection, y))))
          return 1;
      }
    return 0;
  }
  YV_HD void operator()(unsigned x, unsigned, unsigned, unsigned) const {
    unsigned i;
    if (!h.index(x, i)) return;
    yv::at(flags, i) = contributes(i);
  }
};

struct min_camdistance_pass_kernel {
  PointHead h;
  yv::Array<float, 2> result;
  yv::Array<float, 1> values;
  RenderBuffer buffer;
  float depth_tolerance;
  YV_HD void operator()(unsigned x, unsigned, unsigned, unsigned) const {
    unsigned i;
    if (!h.index(x, i)) return;
    float3 P, nc;
    h.load(i, P, nc);
    if (dot(P, nc) >= 0.f) return;
    const float size = yv::at(h.points.sizes, i);
    Splat s;
    if (!setupSplat(s, h.projection, P, nc, size * h.radius_scale)) return;
    const float value = yv::at(values, i) + size;
    for (int y = s.y0; y <= s.y1; ++y)
      for (int x = s.x0; x <= s.x1; ++x) {
        float lambda, rho2;
        if (!fragment(s, h.projection, x, y, lambda, rho2)) continue;
        const unsigned bx = ex(h.projection, x), by = ey(h.projection, y);
        if (lambda - size >= yv::at(buffer.depth, bx, by)) continue;
        atomicMinFloat(&yv::at(result, bx, by), value);
      }
  }
};

// ---- image passes -----------------------------------------------------------------------------

// Truncation towards zero to an unsigned integer (negative and NaN give 0), kept as a byte.
YV_HD_INLINE unsigned char shadeByte(float q) {
  const unsigned u = !(q > 0.f) ? 0u : (q >= 4294967040.f ? 4294967295u : unsigned(q));
  return (unsigned char)u;
}

struct shading_pass_kernel {
  RenderBuffer buffer;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const float w = yv::at(buffer.weight_sum, x, y);
    if (w == 0.f) return;
    yv::at(buffer.image, x, y) = make_uchar4(shadeByte(yv::at(buffer.color_sum, x, y, 0u) / w),
                                             shadeByte(yv::at(buffer.color_sum, x, y, 1u) / w),
                                             shadeByte(yv::at(buffer.color_sum, x, y, 2u) / w),
                                             shadeByte(yv::at(buffer.color_sum, x, y, 3u) / w));
  }
};

// Common head of the depth-map kernels: the source pixel as a disk facing its own camera.
struct DepthmapHead {
  float inv_fx, inv_fy, cx, cy;
  Projection projection;
  yv::Array<float, 2> depthmap;
  float radius_scale;

  // False for pixels that draw nothing: no depth (0 or NaN, which would give a disk of radius 0
  // without a normal), a back face, or a depth outside the range.
  YV_HD bool setup(unsigned x, unsigned y, Splat& s, float3& nc, float& r) const {
    const float d = yv::at(depthmap, x, y);
    if (d == 0.f || isNaN(d)) return false;
    const float3 X = f3(((float(depthmap.size.x - 1u - x) - cx) * inv_fx) * d,
                        ((float(depthmap.size.y - 1u - y) - cy) * inv_fy) * d, d);
    const float3 v = scale(-1.f / sqrtf(dot(X, X)), X);
    nc = rotate(projection.R, v);
    if (nc.z >= 0.f) return false;
    r = float(double(radius_scale * 0.6f) * 1.4142135623730951 * double(inv_fx) * double(d));
    return setupSplat(s, projection, transform(projection, X), nc, r);
  }
};

struct depthmap_visibility_pass_kernel {
  DepthmapHead h;
  RenderBuffer buffer;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    Splat s;
    float3 nc;
    float r;
    if (!h.setup(x, y, s, nc, r)) return;
    for (int py = s.y0; py <= s.y1; ++py)
      for (int px = s.x0; px <= s.x1; ++px) {
        float lambda, rho2;
        if (!fragment(s, h.projection, px, py, lambda, rho2)) continue;
        atomicMinFloat(&yv::at(buffer.depth, ex(h.projection, px), ey(h.projection, py)), lambda);
      }
  }
};

struct depthmap_attribute_pass_kernel {
  DepthmapHead h;
  RenderBuffer buffer;
  yv::Array<uchar4, 2> image;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    Splat s;
    float3 nc;
    float r;
    if (!h.setup(x, y, s, nc, r)) return;
    const uchar4 color = yv::at(image, x, y);
    const float tolerance = 0.9f * r;
    for (int py = s.y0; py <= s.y1; ++py)
      for (int px = s.x0; px <= s.x1; ++px) {
        float lambda, rho2;
        if (!fragment(s, h.projection, px, py, lambda, rho2)) continue;
        const unsigned bx = ex(h.projection, px), by = ey(h.projection, py);
        if (lambda - tolerance >= yv::at(buffer.depth, bx, by)) continue;
        accumulate(buffer, bx, by, splatWeight(rho2), nc, &color);
      }
  }
};

struct project_texture_kernel {
  yv::Array<uchar4, 2> result;
  float inv_fx, inv_fy, cx, cy;
  Projection projection;
  yv::Array<float, 2> depthmap;
  float depth_tolerance;
  float depth_offset;
  yv::rt::Texture2D<float> tex_depth;
  yv::rt::Texture2D<uchar4> tex_image;

  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const Projection& pr = projection;
    const float d = yv::at(depthmap, x, y) + depth_offset;
    if (d >= pr.far || d <= pr.near || !(fabsf(d) <= FLT_MAX)) return;
    const unsigned Wd = depthmap.size.x, Hd = depthmap.size.y;
    const float3 X = f3((float(Wd - 1u - x) - cx) * inv_fx * d,
                        (float(Hd - 1u - y) - cy) * inv_fy * d, d);
    const float3 P = transform(pr, X);
    if (P.z <= pr.near || P.z >= pr.far) return;
    const float u = P.x * pr.fx / P.z + pr.cx;
    const float v = P.y * pr.fy / P.z + pr.cy;
    // The other view's images share the mirrored layout of its own size.
    const float um = float(pr.width - 1u) - u;
    const float vm = float(pr.height - 1u) - v;
    if (!(0.f < um && um < float(pr.width) - 1.f && 0.f < vm && vm < float(pr.height) - 1.f))
      return;
    const float D = tex_depth.fetch<float>(um + 0.5f, vm + 0.5f) + depth_offset;
    uchar4& out = yv::at(result, x, y);
    if (!(P.z - depth_tolerance <= D)) {  // occluded, or a NaN on either side
      out = make_uchar4(0, 200, 0, 0);
      return;
    }
    const float4 c = tex_image.fetch<float4>(um + 0.5f, vm + 0.5f);
    out = make_uchar4((unsigned char)(c.x * 255.f), (unsigned char)(c.y * 255.f),
                      (unsigned char)(c.z * 255.f), 255);
  }
};

// ---- launch helpers ---------------------------------------------------------------------------

PointHead pointHead(const Projection& projection, const Points& points, float radius_scale) {
  return PointHead{projection, points, radius_scale, 0u, points.positions.size.x};
}

// Runs a point kernel over all points, chunk by chunk, checking each launch.
template <class K>
void launchPoints(K kernel, std::initializer_list<const void*> memory, int line) {
  for (const auto& chunk : render_passes::point_launch_chunks(kernel.h.n)) {
    kernel.h.block_offset = chunk.first;
    yv::rt::launch(kernel, yv::rt::extent1(chunk.second * kPointBlock), dim3(kPointBlock, 1, 1), 0,
                   memory);
    _CHECK_CUDA_ERROR(__FILE__, line);
  }
}

// ---- extent checks: a pass never writes or reads past the arrays it is given ------------------

template <class T, int N>
void requireCovers(const yv::Array<T, N>& a, const char* what, unsigned x, unsigned y,
                   unsigned layers = 1) {
  const unsigned ay = N > 1 ? yv::internal::comp(a.size, 1) : 1u;
  const unsigned az = N > 2 ? yv::internal::comp(a.size, 2) : 1u;
  if (yv::internal::comp(a.size, 0) >= x && ay >= y && az >= layers) return;
  std::stringstream ss;
  ss << "render: " << what << " has extents " << yv::internal::str_extents(a.size)
     << "; it must cover " << x << " x " << y << " x " << layers;
  throw std::runtime_error(ss.str());
}

void requirePoints(const Points& p) {
  const unsigned n = p.positions.size.x;
  requireCovers(p.positions, "points.positions", n, 3);
  requireCovers(p.normals, "points.normals", n, 3);
  requireCovers(p.colors, "points.colors", n, 1);
  requireCovers(p.sizes, "points.sizes", n, 1);
}

void requireDepth(const RenderBuffer& b, const Projection& pr) {
  requireCovers(b.depth, "buffer.depth", pr.width, pr.height);
}

void requireSums(const RenderBuffer& b, unsigned W, unsigned H, bool withColor) {
  requireCovers(b.normal_sum, "buffer.normal_sum", W, H, 3);
  if (!withColor) return;
  requireCovers(b.color_sum, "buffer.color_sum", W, H, 4);
  requireCovers(b.weight_sum, "buffer.weight_sum", W, H);
}

}  // namespace

namespace render_passes {

std::vector<std::pair<unsigned, unsigned>> point_launch_chunks(unsigned n) {
  // Integer rounding: a float block count would lose points beyond 2^24.
  const unsigned blocks = unsigned((std::uint64_t(n) + kPointBlock - 1) / kPointBlock);
  std::vector<std::pair<unsigned, unsigned>> chunks;
  for (unsigned offset = 0; offset < blocks; offset += kMaxBlocksPerLaunch)
    chunks.emplace_back(offset, std::min(blocks - offset, kMaxBlocksPerLaunch));
  return chunks;
}

void visibility_pass(RenderBuffer& buffer, const Projection& projection, const Points& points,
                     float radius_scale) {
  requirePoints(points);
  requireDepth(buffer, projection);
  launchPoints(visibility_pass_kernel{pointHead(projection, points, radius_scale), buffer},
               {points.positions.ptr, points.normals.ptr, points.sizes.ptr, buffer.depth.ptr},
               __LINE__);
}

void attribute_pass(RenderBuffer& buffer, const Projection& projection, const Points& points,
                    float radius_scale, float depth_tolerance) {
  requirePoints(points);
  requireDepth(buffer, projection);
  requireSums(buffer, projection.width, projection.height, true);
  launchPoints(attribute_pass_kernel<true>{pointHead(projection, points, radius_scale), buffer,
                                           depth_tolerance},
               {points.positions.ptr, points.normals.ptr, points.sizes.ptr, points.colors.ptr,
                buffer.depth.ptr, buffer.color_sum.ptr, buffer.normal_sum.ptr,
                buffer.weight_sum.ptr},
               __LINE__);
}

void normal_pass(RenderBuffer& buffer, const Projection& projection, const Points& points,
                 float radius_scale, float depth_tolerance) {
  requirePoints(points);
  requireDepth(buffer, projection);
  requireSums(buffer, projection.width, projection.height, false);
  launchPoints(normal_pass_kernel{pointHead(projection, points, radius_scale), buffer,
                                  depth_tolerance},
               {points.positions.ptr, points.normals.ptr, points.sizes.ptr, buffer.depth.ptr,
                buffer.normal_sum.ptr},
               __LINE__);
}

void contribution_pass(yv::Array<int, 1>& flags, RenderBuffer& buffer,
                       const Projection& projection, const Points& points, float radius_scale,
                       float depth_tolerance) {
  requirePoints(points);
  requireDepth(buffer, projection);
  requireCovers(flags, "flags", points.positions.size.x, 1);
  launchPoints(contribution_pass_kernel{pointHead(projection, points, radius_scale), flags, buffer,
                                        depth_tolerance},
               {points.positions.ptr, points.normals.ptr, points.sizes.ptr, flags.ptr,
                buffer.depth.ptr},
               __LINE__);
}

void min_camdistance_pass(yv::Array<float, 2>& result, const yv::Array<float, 1>& values,
                          RenderBuffer& buffer, const Projection& projection, const Points& points,
                          float radius_scale, float depth_tolerance) {
  requirePoints(points);
  requireDepth(buffer, projection);
  requireCovers(result, "result", projection.width, projection.height);
  requireCovers(values, "values", points.positions.size.x, 1);
  launchPoints(min_camdistance_pass_kernel{pointHead(projection, points, radius_scale), result,
                                           values, buffer, depth_tolerance},
               {points.positions.ptr, points.normals.ptr, points.sizes.ptr, values.ptr, result.ptr,
                buffer.depth.ptr},
               __LINE__);
}

void shading_pass(RenderBuffer& buffer) {
  const unsigned W = buffer.depth.size.x, H = buffer.depth.size.y;
  requireCovers(buffer.image, "buffer.image", W, H);
  requireSums(buffer, W, H, true);
  yv::rt::launch(shading_pass_kernel{buffer},
                 yv::rt::extent2(buffer.depth.size.x, buffer.depth.size.y), kImageBlock, 0,
                 {buffer.image.ptr, buffer.color_sum.ptr, buffer.weight_sum.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

void depthmap_visibility_pass(RenderBuffer& buffer, float inv_fx, float inv_fy, float cx, float cy,
                              const Projection& projection, const yv::Array<float, 2>& depthmap,
                              float radius_scale) {
  requireDepth(buffer, projection);
  const DepthmapHead h{inv_fx, inv_fy, cx, cy, projection, depthmap, radius_scale};
  yv::rt::launch(depthmap_visibility_pass_kernel{h, buffer},
                 yv::rt::extent2(depthmap.size.x, depthmap.size.y), kImageBlock, 0,
                 {depthmap.ptr, buffer.depth.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

void depthmap_attribute_pass(RenderBuffer& buffer, float inv_fx, float inv_fy, float cx, float cy,
                             const Projection& projection, const yv::Array<float, 2>& depthmap,
                             const yv::Array<uchar4, 2>& image, float radius_scale) {
  requireDepth(buffer, projection);
  requireSums(buffer, projection.width, projection.height, true);
  requireCovers(image, "image", depthmap.size.x, depthmap.size.y);
  const DepthmapHead h{inv_fx, inv_fy, cx, cy, projection, depthmap, radius_scale};
  yv::rt::launch(depthmap_attribute_pass_kernel{h, buffer, image},
                 yv::rt::extent2(depthmap.size.x, depthmap.size.y), kImageBlock, 0,
                 {depthmap.ptr, image.ptr, buffer.depth.ptr, buffer.color_sum.ptr,
                  buffer.normal_sum.ptr, buffer.weight_sum.ptr});
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}

}  // namespace render_passes

void project_texture_on_depthmap(yv::Array<uchar4, 2>& result, float inv_fx, float inv_fy,
                                 float cx, float cy, Projection projection,
                                 const yv::Array<float, 2>& depthmap,
                                 const yv::Array<float, 2>& other_depth,
                                 const yv::Array<uchar4, 2>& other_image, float depth_tolerance,
                                 float depth_offset) {
  requireCovers(result, "result", depthmap.size.x, depthmap.size.y);
  yv::Array<uchar4, 4> result4 = yv::internal::increaseArrayDimension<uchar4, 2, 4>(result);
  yv::set(result4, make_uchar4(0, 0, 0, 0), 0);

  yv::rt::TextureDesc depthDesc;  // point sampling, clamped, elements as they are
  yv::rt::TextureDesc imageDesc;
  imageDesc.filter = yv::rt::TexFilter::Linear;
  imageDesc.read = yv::rt::TexRead::NormalizedFloat;
  project_texture_kernel k{result, inv_fx, inv_fy, cx, cy, projection, depthmap,
                           depth_tolerance, depth_offset, {}, {}};
  const cudaError_t e1 = yv::rt::createTexture2D(&k.tex_depth, other_depth.ptr, other_depth.pitch.y,
                                                 other_depth.size.x, other_depth.size.y, depthDesc);
  const cudaError_t e2 = yv::rt::createTexture2D(&k.tex_image, other_image.ptr, other_image.pitch.y,
                                                 other_image.size.x, other_image.size.y, imageDesc);
  // A texture that could not be made is never sampled; its error is reported below.
  if (e1 == cudaSuccess && e2 == cudaSuccess)
    yv::rt::launch(k, yv::rt::extent2(depthmap.size.x, depthmap.size.y), kImageBlock, 0,
                   {result.ptr, depthmap.ptr});
  else
    yv::rt::setLastError(e1 != cudaSuccess ? e1 : e2);
  // The kernel must be done with both textures before they go; the first error is kept.
  const cudaError_t pending = yv::rt::getLastError();
  yv::rt::streamSynchronize(0);
  const cudaError_t later = yv::rt::getLastError();
  if (e1 == cudaSuccess) yv::rt::destroyTexture(&k.tex_depth);
  if (e2 == cudaSuccess) yv::rt::destroyTexture(&k.tex_image);
  yv::rt::setLastError(pending != cudaSuccess ? pending : later);
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
}
