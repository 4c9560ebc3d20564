// The cooperative launch: barriers between phases, the shared buffers, per-thread state, and
// the refusal of shared memory beyond the per-block limit.
#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.h"
#include "yv/runtime/cooperative.cuh"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace {

using tessivar_test::AllocationGuard;

// Every phase reads what other threads of the block wrote in the phase before: phase 0 writes
// each thread's code to the static buffer, phase 1 takes the next thread's code (kept in the
// thread's state) and writes it to the dynamic buffer, phase 2 reads the previous thread's slot
// of that. A missing barrier lets a thread read a slot not yet written for its block.
struct PassAround {
  static constexpr std::size_t kSharedBytes = 1024 * sizeof(int);
  struct State {
    int next;
  };
  yv::Array<int, 2> out;
  YV_HD void operator()(unsigned phase, const yv::rt::Team& t, State& st) const {
    const unsigned n = t.blockDim.x * t.blockDim.y * t.blockDim.z;
    const unsigned i = t.thread.x + t.blockDim.x * (t.thread.y + t.blockDim.y * t.thread.z);
    const unsigned b = t.block.x + t.gridDim.x * (t.block.y + t.gridDim.y * t.block.z);
    int* first = static_cast<int*>(t.shared);
    int* second = static_cast<int*>(t.dynamicShared);
    if (phase == 0) first[i] = int(b * 4096 + i);
    if (phase == 1) st.next = first[(i + 1) % n];
    if (phase == 2) second[i] = st.next;
    if (phase == 3) yv::at(out, b * n + i, 0u) = second[(i + n - 1) % n];
  }
};

TEST(CooperativeLaunch, EachPhaseSeesWhatTheBlockWroteBefore) {
  AllocationGuard guard;
  const dim3 grids[] = {dim3(1, 1, 1), dim3(3, 2, 2)};
  const dim3 blocks[] = {dim3(32, 4, 1), dim3(5, 3, 2), dim3(1, 1, 1)};
  for (dim3 g : grids)
    for (dim3 bl : blocks) {
      const unsigned n = bl.x * bl.y * bl.z, total = n * g.x * g.y * g.z;
      auto a = yv::internal::decreaseArrayDimension<int, 4, 2>(
          yv::mallocDeviceArray<int>(make_uint4(total, 1, 1, 1), yv::PITCHED));
      yv::rt::launchCooperative(PassAround{a}, g, bl, n * sizeof(int), 4, 0, {a.ptr});
      ASSERT_EQ(yv::rt::getLastError(), cudaSuccess);
      std::vector<int> h(total);
      auto hv = yv::arrayFromHostMemory<int>(h.data(), total, 1);
      yv::arrayCopy(hv, a);
      yv::releaseArray(a);
      // Thread i ends with its own code: the one its predecessor took from it.
      for (unsigned k = 0; k < total; ++k) ASSERT_EQ(h[k], int(k / n * 4096 + k % n)) << k;
    }
}

TEST(CooperativeLaunch, SharedMemoryBeyondTheBlockLimitIsRefused) {
  AllocationGuard guard;
  auto a = yv::internal::decreaseArrayDimension<int, 4, 2>(
      yv::mallocDeviceArray<int>(make_uint4(1, 1, 1, 1), yv::PITCHED));
  const std::size_t room = yv::rt::kDefaultMaxDynamicShared - PassAround::kSharedBytes;
  yv::rt::launchCooperative(PassAround{a}, dim3(1), dim3(1), room + 1, 4, 0, {a.ptr});
  EXPECT_EQ(yv::rt::getLastError(), cudaErrorInvalidValue);
  yv::rt::launchCooperative(PassAround{a}, dim3(1), dim3(1), room, 4, 0, {a.ptr});
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
  yv::rt::launchCooperative(PassAround{a}, dim3(1), dim3(1025), 0, 4, 0, {a.ptr});
  EXPECT_EQ(yv::rt::getLastError(), cudaErrorInvalidConfiguration);
  yv::releaseArray(a);
}

}  // namespace
