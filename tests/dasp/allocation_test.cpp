// A failed allocation anywhere in the superpixel stand-in reaches its caller as std::bad_alloc:
// none may leave an OpenMP region (one that runs on one thread included), which would end the
// process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "dasp/dasp.h"

namespace {

// While armed, the allocation with this number fails.
std::atomic<bool> armed{false};
std::atomic<long> made{0};
long failing = -1;

}  // namespace

// Every plain form of new and delete is replaced, so that none pairs with the library's (or
// AddressSanitizer's) own; the aligned forms are left to the library as a matching set. The two
// that the others call are not inlined: GCC would take malloc and free in a caller for a mismatch
// with its new and delete.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (armed && made++ == failing) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

TEST(SuperpixelAllocation, EveryFailedAllocationInTheTeamsIsThrownToTheCaller) {
  // A wall with isolated holes, which its clusters take in (chooseHoles), and a step in depth.
  const unsigned W = 64, H = 48;
  slimage::Image3ub color(W, H);
  slimage::Image1ui16 depth(W, H);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) {
      const bool hole = (x * 7 + y * 13) % 29 == 0;
      depth(x, y)[0] = hole ? 0 : (unsigned short)(1500 + 4 * x + (y > H / 2 ? 800 : 0));
      for (int c = 0; c < 3; ++c)
        color(x, y)[c] = (unsigned char)((x * (3 + c) + y * (5 + 2 * c)) % 200 + 20);
    }
  dasp::Parameters p;
  p.camera_cx = (W - 1) * 0.5f;
  p.camera_cy = (H - 1) * 0.5f;
  p.camera_focal = float(W);
  p.count = 60;
  // The allocations of a whole run, made to fail one at a time: an exception that left a region
  // would end this process, so the sweep runs in a process of its own.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        long failed = 0;
        for (failing = 0;; ++failing) {
          made = 0;
          armed = true;
          try {
            dasp::ComputeSuperpixels(color, depth, p);
          } catch (const std::bad_alloc&) {
            ++failed;
          }
          armed = false;
          if (made <= failing) break;  // no allocation left to fail
        }
        std::exit(failed > 100 && failed == failing ? 0 : 3);
      },
      testing::ExitedWithCode(0), "");
}
