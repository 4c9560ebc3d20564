// The launcher: runs a per-element functor over a 1- to 4-D index space. On the CUDA back end it
// is a kernel over a grid of the caller's block shape; on the host back end an OpenMP loop.
// Include from .cu files only. A launch never throws: a refused launch leaves its error pending
// for the caller's _CHECK_CUDA_ERROR, as a CUDA launch does.
#pragma once

#include <omp.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "yv/runtime/hd.h"
#include "yv/runtime/runtime.h"

namespace yv {
namespace rt {

inline std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// The grid of a 4-D launch: x and y blocks over the extents; z carries the z blocks of every w
// volume. `valid` is false when the grid cannot even be stated (a zero block edge, or more than
// 2^32 - 1 blocks on an axis); whether CUDA accepts a stated grid is launchConfigError's question.
struct LaunchGrid {
  dim3 grid;
  unsigned zBlocks;
  bool valid;
};

inline LaunchGrid gridFor(uint4 ext, dim3 block) {
  LaunchGrid g{dim3(0, 0, 0), 0, false};
  if (block.x == 0 || block.y == 0 || block.z == 0) return g;
  const std::uint64_t gx = ceilDiv(ext.x, block.x), gy = ceilDiv(ext.y, block.y);
  const std::uint64_t zb = ceilDiv(ext.z, block.z), gz = zb * ext.w;
  if (gx > UINT32_MAX || gy > UINT32_MAX || gz > UINT32_MAX) return g;
  g.grid = dim3(unsigned(gx), unsigned(gy), unsigned(gz));
  g.zBlocks = unsigned(zb);
  g.valid = true;
  return g;
}

#if defined(__CUDACC__)
template <class F>
__global__ void launch_kernel(F f, uint4 ext, unsigned zBlocks) {
  unsigned w = blockIdx.z / zBlocks;
  unsigned r = blockIdx.z - w * zBlocks;
  unsigned x = blockDim.x * blockIdx.x + threadIdx.x;
  unsigned y = blockDim.y * blockIdx.y + threadIdx.y;
  unsigned z = blockDim.z * r + threadIdx.z;
  if (x >= ext.x || y >= ext.y || z >= ext.z || w >= ext.w) return;
  f(x, y, z, w);
}
#endif

// Host back end: device memory the kernel will touch must be live device memory; anything else
// is what a GPU would fault on, so the launch is refused with the fault's error.
inline bool kernelMemoryValid(std::initializer_list<const void*> deviceMemory) {
  if (onGpu()) return true;
  for (const void* p : deviceMemory)
    if (!isDevicePointer(p)) {
      setLastError(cudaErrorIllegalAddress);
      return false;
    }
  return true;
}

// Calls f(x, y, z, w) once for every index below ext. The block shape is the CUDA block; on the
// host back end it only decides, as on a GPU, whether the launch is accepted (launchConfigError:
// CUDA itself judges the launch on the CUDA back end). deviceMemory lists the arrays the functor
// reads or writes (checked on the host back end). dynamicShared bytes of dynamic shared memory
// are reserved per block on a GPU; functors of this launcher do not use them.
template <class F>
void launch(const F& f, uint4 ext, dim3 block, cudaStream_t stream = 0,
            std::initializer_list<const void*> deviceMemory = {}, std::size_t dynamicShared = 0) {
  const LaunchGrid g = gridFor(ext, block);
  if (!g.valid) {
    setLastError(cudaErrorInvalidConfiguration);
    return;
  }
#if defined(__CUDACC__)
  if (onGpu()) {
    launch_kernel<F><<<g.grid, block, dynamicShared, stream>>>(f, ext, g.zBlocks);
    return;
  }
#endif
  const cudaError_t refused = launchConfigError(g.grid, block, dynamicShared);
  if (refused != cudaSuccess) {
    setLastError(refused);
    return;
  }
  if (!kernelMemoryValid(deviceMemory)) return;
  // Host back end: rows are split among the threads; long rows are cut into chunks as well so
  // that a single row still uses every core.
  const std::uint64_t chunk = 4096;
  const std::uint64_t chunksPerRow = ceilDiv(ext.x, chunk);
  const std::uint64_t rows = std::uint64_t(ext.y) * ext.z * ext.w;
  const std::int64_t items = std::int64_t(rows * chunksPerRow);
#pragma omp parallel for schedule(static) if (items > 1 && std::uint64_t(ext.x) * rows >= 2048)
  for (std::int64_t i = 0; i < items; ++i) {
    std::uint64_t row = std::uint64_t(i) / chunksPerRow;
    std::uint64_t c = std::uint64_t(i) - row * chunksPerRow;
    unsigned y = unsigned(row % ext.y);
    std::uint64_t rest = row / ext.y;
    unsigned z = unsigned(rest % ext.z);
    unsigned w = unsigned(rest / ext.z);
    unsigned x0 = unsigned(c * chunk);
    unsigned x1 = unsigned(std::min<std::uint64_t>(ext.x, x0 + chunk));
    for (unsigned x = x0; x < x1; ++x) f(x, y, z, w);
  }
}

inline uint4 extent1(unsigned x) { return make_uint4(x, 1, 1, 1); }
inline uint4 extent2(unsigned x, unsigned y) { return make_uint4(x, y, 1, 1); }
inline uint4 extent3(unsigned x, unsigned y, unsigned z) { return make_uint4(x, y, z, 1); }

}  // namespace rt
}  // namespace yv
