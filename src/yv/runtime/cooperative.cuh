// The cooperative launch: runs a block-cooperative kernel body, whose work comes in phases
// separated by block-wide barriers and which shares a block-local buffer among its threads.
// On the CUDA back end it is one kernel with __shared__ memory and __syncthreads() after every
// phase; on the host back end each block runs on one OpenMP thread, which takes every thread of
// the block through phase 0, then phase 1, and so on. Include from .cu files only. Like the
// element-wise launcher it reports a refused launch by leaving its error pending; on the host
// back end a failed allocation of the blocks' buffers throws std::bad_alloc once the team has
// joined.
//
// A body is a functor with
//   static constexpr std::size_t kSharedBytes;   // static shared bytes per block (may be 0)
//   struct State { ... };                         // per-thread values that live across phases
//   YV_HD void operator()(unsigned phase, const yv::rt::Team& team, State& state) const;
// Locals of operator() end with the phase; what a thread must carry to a later phase goes in
// its State, what other threads must see goes in the shared buffer. Every thread runs every
// phase (a thread with nothing to do simply returns), so the barriers are always block-wide.
//
// Example: each thread stores its index, and after the barrier reads its neighbour's.
//   struct Rotate {
//     static constexpr std::size_t kSharedBytes = 64 * sizeof(int);
//     struct State {};
//     yv::Array<int, 1> out;
//     YV_HD void operator()(unsigned phase, const yv::rt::Team& t, State&) const {
//       int* s = static_cast<int*>(t.shared);
//       if (phase == 0) s[t.thread.x] = int(t.thread.x);
//       else yv::at(out, t.block.x * 64 + t.thread.x) = s[(t.thread.x + 1) % 64];
//     }
//   };
//   yv::rt::launchCooperative(Rotate{out}, dim3(blocks), dim3(64), 0, 2, 0, {out.ptr});
#pragma once

#include <omp.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "yv/runtime/hd.h"
#include "yv/runtime/launch.cuh"
#include "yv/runtime/runtime.h"
#include "team_error.h"

namespace yv {
namespace rt {

// What one thread of a cooperative body sees.
struct Team {
  uint3 thread;          // threadIdx
  uint3 block;           // blockIdx
  dim3 blockDim;         // the block's extent
  dim3 gridDim;
  void* shared;          // kSharedBytes of the body, 16-byte aligned
  void* dynamicShared;   // the launch's dynamic bytes, 16-byte aligned
};

#if defined(__CUDACC__)
template <class F>
__global__ void cooperative_kernel(F f, unsigned phases) {
  __shared__ __align__(16) unsigned char staticShared[F::kSharedBytes > 0 ? F::kSharedBytes : 1];
  extern __shared__ __align__(16) unsigned char dynamicShared[];
  const Team team{threadIdx, blockIdx, blockDim, gridDim, staticShared, dynamicShared};
  typename F::State state{};
  for (unsigned p = 0; p < phases; ++p) {
    f(p, team, state);
    __syncthreads();
  }
}
#endif

// Runs `phases` phases of body f on every thread of every block of grid. dynamicBytes of shared
// memory come on top of the body's static bytes. deviceMemory lists the arrays the body reads or
// writes (checked on the host back end). Refused, with CUDA's error, when the shape is beyond
// the limits of a launch or the block's shared memory beyond the per-block limit.
template <class F>
void launchCooperative(const F& f, dim3 grid, dim3 block, std::size_t dynamicBytes,
                       unsigned phases, cudaStream_t stream = 0,
                       std::initializer_list<const void*> deviceMemory = {}) {
  // Static and dynamic shared memory count together against the per-block limit.
  if (const cudaError_t refused =
          launchConfigError(grid, block, F::kSharedBytes + dynamicBytes)) {
    setLastError(refused);
    return;
  }
  const std::uint64_t threads = std::uint64_t(block.x) * block.y * block.z;
  if (!kernelMemoryValid(deviceMemory)) return;
#if defined(__CUDACC__)
  if (onGpu()) {
    cooperative_kernel<F><<<grid, block, dynamicBytes, stream>>>(f, phases);
    return;
  }
#endif
  using State = typename F::State;
  const std::int64_t blocks = std::int64_t(grid.x) * grid.y * grid.z;
  TeamError error;
#pragma omp parallel if (blocks > 1)
  {
    // One buffer set per worker, reused by every block it runs: a block starts, as on a GPU,
    // with shared memory of undefined content.
    const std::size_t staticBytes = (F::kSharedBytes + 15) / 16 * 16;
    std::unique_ptr<unsigned char[]> shared;
    std::unique_ptr<State[]> states;
    try {
      shared.reset(new unsigned char[staticBytes + dynamicBytes + 16]);
      states.reset(new State[threads]);
    } catch (...) {
      error.keep_current();
    }
    unsigned char* base = shared.get();
    Team team{make_uint3(0, 0, 0), make_uint3(0, 0, 0), block, grid, base,
              base ? base + staticBytes : nullptr};
    // Every thread meets the loop; after a failure none takes a block.
#pragma omp for schedule(dynamic)
    for (std::int64_t b = 0; b < blocks; ++b) {
      if (error.seen()) continue;
      team.block = make_uint3(unsigned(b % grid.x), unsigned(b / grid.x % grid.y),
                              unsigned(b / grid.x / grid.y));
      for (std::uint64_t i = 0; i < threads; ++i) states[i] = State{};
      for (unsigned p = 0; p < phases; ++p) {
        State* s = states.get();
        for (unsigned z = 0; z < block.z; ++z)
          for (unsigned y = 0; y < block.y; ++y)
            for (unsigned x = 0; x < block.x; ++x) {
              team.thread = make_uint3(x, y, z);
              f(p, team, *s++);
            }
      }
    }
  }
  error.rethrow();
}

}  // namespace rt
}  // namespace yv
