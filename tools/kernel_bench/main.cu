// Times the cooperative kernels against the one-thread-per-element forms they replace, on the
// back end of this machine: 640 x 480 median, shift / paths / labels on a 640 x 480 x 64 cost
// volume, Min of a 4096 x 4096 float array. "before" is the element-wise form that ran before
// the cooperative kernels, "now" what the entry point runs on this back end. The forms run
// interleaved, repeats times each; medians are printed, with whether before and cooperative
// gave identical bytes.
//   kernel_bench [repeats=7]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "depthmap_estimation_kernels.h"
#include "sgm_kernels.h"
#include "yv/algorithms/basic/reductions.h"
#include "yv/filtering/filtering.h"
#include "yv/filtering/median3x3.h"
#include "yv/runtime/launch.cuh"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"

namespace {

// ---- timing -----------------------------------------------------------------------------------

double millis(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  yv::rt::deviceSynchronize();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <class T, int N>
std::vector<unsigned char> bytes(const yv::Array<T, N>& a) {
  auto h = yv::mallocHostArray<T>(yv::internal::increaseArrayDimension<T, N, 4>(a).size, yv::PACKED);
  auto hv = yv::internal::decreaseArrayDimension<T, 4, N>(h);
  yv::arrayCopy(hv, a);
  std::vector<unsigned char> r(reinterpret_cast<unsigned char*>(h.ptr),
                               reinterpret_cast<unsigned char*>(h.ptr) +
                                   std::size_t(h.pitch.w));
  yv::releaseArray(h);
  return r;
}

// Times the element-wise form (what ran before), the cooperative form and what the host back end
// runs now (Auto), interleaved; `same` compares the outputs of the first two.
void row(const char* name, int repeats, const std::function<void()>& before,
         const std::function<void()>& cooperative, const std::function<void()>& now,
         const std::function<bool()>& same) {
  before();
  cooperative();
  const bool identical = same();
  std::vector<double> tb, tc, tn;
  for (int i = 0; i < repeats; ++i) {
    tb.push_back(millis(before));
    tc.push_back(millis(cooperative));
    tn.push_back(millis(now));
  }
  const double b = median(tb), c = median(tc), n = median(tn);
  std::printf("%-34s %10.2f %12.2f %8.2f %10.2f %8.2f  %s\n", name, b, c, c / b, n, n / b,
              identical ? "yes" : "NO");
  std::fflush(stdout);
}

template <int N>
yv::Array<float, N> deviceArray(uint4 ext) {
  return yv::internal::decreaseArrayDimension<float, 4, N>(
      yv::mallocDeviceArray<float>(ext, yv::PITCHED));
}

template <int N>
void fillRandom(const yv::Array<float, N>& a, unsigned seed, float lo, float hi) {
  const uint4 ext = yv::internal::increaseArrayDimension<float, N, 4>(a).size;
  std::vector<float> h(std::size_t(ext.x) * ext.y * ext.z);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  for (float& v : h) v = d(rng);
  auto p = yv::internal::decreaseArrayDimension<float, 4, N>(
      yv::internal::packedHostArray4(h.data(), ext.x, ext.y, ext.z));
  yv::Array<float, N> dst = a;
  yv::arrayCopy(dst, p);
}

}  // namespace

int main(int argc, char** argv) {
  using yv::rt::KernelForm;
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::printf("back end: %s, %d OpenMP threads, %d repeats, median ms\n", yv::rt::backendName(),
              omp_get_max_threads(), repeats);
  std::printf("%-34s %10s %12s %8s %10s %8s  %s\n", "operation", "before", "cooperative", "ratio",
              "now", "ratio", "identical");
  {
    auto a = deviceArray<2>(make_uint4(4096, 4096, 1, 1));
    fillRandom(a, 1, -1e6f, 1e6f);
    float rb = 0, rc = 1;
    row("Min<float> 4096x4096", repeats,
        [&] { rb = yv::internal::Min<float>(a, 0, KernelForm::ElementWise); },
        [&] { rc = yv::internal::Min<float>(a, 0, KernelForm::Cooperative); },
        [&] { yv::Min<float>(a, 0); }, [&] { return std::memcmp(&rb, &rc, 4) == 0; });
    yv::releaseArray(a);
  }
  {
    const uint4 e = make_uint4(640, 480, 1, 1);
    auto in = deviceArray<2>(e), ob = deviceArray<2>(e), oc = deviceArray<2>(e);
    fillRandom(in, 2, 0.f, 10.f);
    row("median3x3 640x480", repeats,
        [&] { yv::internal::median3x3(ob, in, KernelForm::ElementWise); },
        [&] { yv::internal::median3x3(oc, in, KernelForm::Cooperative); },
        [&] { yv::median3x3(oc, in); }, [&] { return bytes(ob) == bytes(oc); });
    for (auto* a : {&in, &ob, &oc}) yv::releaseArray(*a);
  }
  const unsigned W = 640, H = 480, n = 64;
  auto costs = deviceArray<3>(make_uint4(W, H, n, 1));
  fillRandom(costs, 3, 0.f, 4.f);
  auto Tb = deviceArray<3>(make_uint4(n, W, H, 1)), Tc = deviceArray<3>(make_uint4(n, W, H, 1));
  row("shift_dims 640x480x64", repeats,
      [&] { shift_dims(Tb, costs, KernelForm::ElementWise); },
      [&] { shift_dims(Tc, costs, KernelForm::Cooperative); }, [&] { shift_dims(Tc, costs); },
      [&] { return bytes(Tb) == bytes(Tc); });
  auto Sb = deviceArray<3>(make_uint4(n, W, H, 1)), Sc = deviceArray<3>(make_uint4(n, W, H, 1));
  yv::rt::Texture2D<float> noMap;
  // Each form adds into its own volume from zero, so the sums stay comparable after repeats;
  // the runs of `now` add into a third.
  auto Sn = deviceArray<3>(make_uint4(n, W, H, 1));
  auto pathRow = [&](const char* name, auto before, auto cooperative, auto now) {
    yv::rt::memset(Sb.ptr, 0, std::size_t(Sb.pitch.z) * H);
    yv::rt::memset(Sc.ptr, 0, std::size_t(Sc.pitch.z) * H);
    row(name, repeats, [&] { before(Sb, Tc, 0.3f, 1.1f, noMap, nullptr); },
        [&] { cooperative(Sc, Tc, 0.3f, 1.1f, noMap, nullptr); },
        [&] { now(Sn, Tc, 0.3f, 1.1f, noMap, nullptr); },
        [&] { return bytes(Sb) == bytes(Sc); });
  };
  pathRow("sgm_path_kernel (1,0) 640x480x64", sgm_path_kernel_per_line<false, 1, 0>,
          sgm_path_kernel_cooperative<false, 1, 0>, sgm_path_kernel<false, 1, 0>);
  pathRow("sgm_path_kernel (0,1) 640x480x64", sgm_path_kernel_per_line<false, 0, 1>,
          sgm_path_kernel_cooperative<false, 0, 1>, sgm_path_kernel<false, 0, 1>);
  pathRow("sgm_path_kernel (2,1) 640x480x64", sgm_path_kernel_per_line<false, 2, 1>,
          sgm_path_kernel_cooperative<false, 2, 1>, sgm_path_kernel<false, 2, 1>);
  auto lb = deviceArray<2>(make_uint4(W, H, 1, 1)), lc = deviceArray<2>(make_uint4(W, H, 1, 1));
  row("sgm_extract_labels 640x480x64", repeats, [&] { sgm_extract_labels_per_row(lb, Sc); },
      [&] { sgm_extract_labels_cooperative(lc, Sc); }, [&] { sgm_extract_labels(lc, Sc); },
      [&] { return bytes(lb) == bytes(lc); });
  for (auto* a : {&costs, &Tb, &Tc, &Sb, &Sc, &Sn}) yv::releaseArray(*a);
  yv::releaseArray(lb);
  yv::releaseArray(lc);
  return yv::rt::getLastError() == cudaSuccess ? 0 : 1;
}
