// The 3x3 median kernels of a float image with its edge pixels repeated outwards, in both forms,
// shared by yv::median3x3 and the matching module's median3x3 so that they filter alike.
// Include from .cu files only.
#pragma once

#include <cmath>
#include <cstddef>

#include "yv/filtering/median3x3_select.h"
#include "yv/runtime/cooperative.cuh"
#include "yv/runtime/cooperative_form.h"
#include "yv/runtime/launch.cuh"
#include "yv/runtime/hd.h"
#include "yv/tools/array.h"

namespace yv_filtering_kernels {

// Blocks of B x B threads, one per pixel, over ceil(W / B) x ceil(H / B) blocks. Phase 0 loads
// the block's pixels with a one-pixel border into a (B + 2) x (B + 2) tile, every thread its own
// pixel and the edge threads the border, all with coordinates clamped into the image (so threads
// outside the image load too); phase 1 selects each window from the tile, in row order from the
// top left, and writes the pixels inside the image.
template <int B>
struct median3x3_kernel {
  static constexpr std::size_t kSharedBytes = (B + 2) * (B + 2) * sizeof(float);
  struct State {};
  yv::Array<float, 2> out;
  yv::Array<float, 2> in;

  // Clamped in single precision, then truncated: exact for extents up to 2^24.
  YV_HD_INLINE float pixel(int x, int y) const {
    const int cx = int(fmaxf(fminf(float(x), float(in.size.x - 1)), 0.0f));
    const int cy = int(fmaxf(fminf(float(y), float(in.size.y - 1)), 0.0f));
    return yv::at(in, unsigned(cx), unsigned(cy));
  }

  YV_HD void operator()(unsigned phase, const yv::rt::Team& t, State&) const {
    float(*img)[B + 2] = static_cast<float(*)[B + 2]>(t.shared);
    const int tx = int(t.thread.x), ty = int(t.thread.y);
    const int x0 = B * int(t.block.x), y0 = B * int(t.block.y);
    const int x = x0 + tx, y = y0 + ty;
    if (phase == 0) {
      img[ty + 1][tx + 1] = pixel(x, y);
      if (ty == 0) img[0][tx + 1] = pixel(x, y - 1);
      if (ty == B - 1) img[B + 1][tx + 1] = pixel(x, y + 1);
      if (tx == 0) img[ty + 1][0] = pixel(x - 1, y);
      if (tx == B - 1) img[ty + 1][B + 1] = pixel(x + 1, y);
      if (tx == 0 && ty < 4) {  // corners: (0, 0), (0, 1), (0, 2), (0, 3) as UL, UR, LL, LR
        const int cx = (ty & 1) ? x0 + B : x0 - 1, cy = (ty & 2) ? y0 + B : y0 - 1;
        img[(ty & 2) ? B + 1 : 0][(ty & 1) ? B + 1 : 0] = pixel(cx, cy);
      }
      return;
    }
    if (unsigned(x) >= in.size.x || unsigned(y) >= in.size.y) return;
    float w[9];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) w[3 * r + c] = img[ty + r][tx + c];
    yv::at(out, unsigned(x), unsigned(y)) = select5th(w);
  }
};

// The element-wise form: one call per pixel inside the image, reading its nine clamped pixels
// directly, which are the values the tile holds.
struct median3x3_pixel {
  yv::Array<float, 2> out;
  yv::Array<float, 2> in;
  YV_HD void operator()(unsigned x, unsigned y, unsigned, unsigned) const {
    const unsigned xs[3] = {x > 0 ? x - 1 : 0, x, x + 1 < in.size.x ? x + 1 : in.size.x - 1};
    const unsigned ys[3] = {y > 0 ? y - 1 : 0, y, y + 1 < in.size.y ? y + 1 : in.size.y - 1};
    float w[9];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) w[3 * r + c] = yv::at(in, xs[c], ys[r]);
    yv::at(out, x, y) = select5th(w);
  }
};

// Queues the median of `in` into `out` on the default stream in blocks of 16 x 16; the tiled
// grid's extents are formed in single precision (extent * 0.0625, rounded up).
inline void launchMedian3x3(const yv::Array<float, 2>& out, const yv::Array<float, 2>& in,
                            yv::rt::KernelForm form) {
  if (!yv::rt::runsCooperative(form)) {
    yv::rt::launch(median3x3_pixel{out, in}, yv::rt::extent2(in.size.x, in.size.y),
                   dim3(16, 16, 1), 0, {out.ptr, in.ptr});
    return;
  }
  const dim3 grid(unsigned(ceilf(float(in.size.x) * 0.0625f)),
                  unsigned(ceilf(float(in.size.y) * 0.0625f)), 1);
  yv::rt::launchCooperative(median3x3_kernel<16>{out, in}, grid, dim3(16, 16, 1), 0, 2, 0,
                            {out.ptr, in.ptr});
}

}  // namespace yv_filtering_kernels
