#include "sgm.h"

#include <algorithm>
#include <cfloat>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "depthmap_estimation_kernels.h"
#include "settings.h"
#include "sgm_kernels.h"
#include "yv/algorithms/basic/arithmetic.h"
#include "yv/runtime/runtime.h"
#include "yv/runtime/texture.h"
#include "yv/runtime/texture_offset.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/cuda_check.h"
#include "yv/tools/dump.h"

namespace {

using PathLaunch = void (*)(yv::Array<float, 3>, yv::Array<float, 3>, float, float,
                            const yv::rt::Texture2D<float>&, cudaStream_t);

struct Direction {
  PathLaunch withMap;
  PathLaunch withConstant;
  int slot;  // stream and sum of the direction when two streams are used
};

#define SGM_DIRECTION(dx, dy, slot) \
  { &sgm_path_kernel<true, dx, dy>, &sgm_path_kernel<false, dx, dy>, slot }

// In launch order; the first 4, 8, 16 or 32 are used. Each tier puts half of its directions on
// each stream.
const Direction kDirections[32] = {
    SGM_DIRECTION(1, 0, 0),   SGM_DIRECTION(-1, 0, 1),  SGM_DIRECTION(0, 1, 0),
    SGM_DIRECTION(0, -1, 1),  SGM_DIRECTION(1, 1, 0),   SGM_DIRECTION(-1, 1, 0),
    SGM_DIRECTION(-1, -1, 1), SGM_DIRECTION(1, -1, 1),  SGM_DIRECTION(2, 1, 0),
    SGM_DIRECTION(2, -1, 0),  SGM_DIRECTION(-2, 1, 1),  SGM_DIRECTION(-2, -1, 1),
    SGM_DIRECTION(1, 2, 0),   SGM_DIRECTION(-1, 2, 0),  SGM_DIRECTION(1, -2, 1),
    SGM_DIRECTION(-1, -2, 1), SGM_DIRECTION(4, 1, 0),   SGM_DIRECTION(4, 3, 0),
    SGM_DIRECTION(4, -1, 0),  SGM_DIRECTION(4, -3, 0),  SGM_DIRECTION(-4, 1, 1),
    SGM_DIRECTION(-4, 3, 1),  SGM_DIRECTION(-4, -1, 1), SGM_DIRECTION(-4, -3, 1),
    SGM_DIRECTION(1, 4, 0),   SGM_DIRECTION(3, 4, 0),   SGM_DIRECTION(-1, 4, 0),
    SGM_DIRECTION(-3, 4, 0),  SGM_DIRECTION(1, -4, 1),  SGM_DIRECTION(3, -4, 1),
    SGM_DIRECTION(-1, -4, 1), SGM_DIRECTION(-3, -4, 1)};
#undef SGM_DIRECTION

int directionCount(int numPaths) {
  if (numPaths <= 7) return 4;
  if (numPaths <= 15) return 8;
  if (numPaths <= 31) return 16;
  return 32;
}

// Everything one call holds on the device, released on every way out of the call after the
// queued work is done with it.
class SgmResources {
 public:
  ~SgmResources() {
    yv::rt::deviceSynchronize();
    if (textureMade) yv::rt::destroyTexture(&P2_tex);
    for (cudaStream_t s : streams_) yv::rt::streamDestroy(s);
    for (void* p : arrays_) yv::rt::free(p);
  }
  yv::Array<float, 4> allocate(uint4 extents) {
    const yv::Array<float, 4> a = yv::mallocDeviceArray<float>(extents, yv::PITCHED);
    arrays_.push_back(a.ptr);
    return a;
  }
  cudaStream_t createStream() {
    cudaStream_t s = nullptr;
    if (yv::rt::streamCreate(&s) != cudaSuccess) {
      _CHECK_CUDA_ERROR(__FILE__, __LINE__);
      throw std::runtime_error("sgm: cannot create a stream");
    }
    streams_.push_back(s);
    return s;
  }
  // Streams end once their work is issued; the work still completes.
  void destroyStreams() {
    for (cudaStream_t s : streams_) yv::rt::streamDestroy(s);
    streams_.clear();
  }

  yv::rt::Texture2D<float> P2_tex;
  bool textureMade = false;

 private:
  std::vector<void*> arrays_;
  std::vector<cudaStream_t> streams_;
};

// The debug dumps: the aggregated volume back in the order of `costs`, and the plain
// winner-takes-all labels of it.
void writeDebugDumps(const yv::Array<float, 3>& S, unsigned W, unsigned H) {
  const unsigned n = S.size.x;
  yv::Array<float, 4> h1 = yv::mallocHostArray<float>(make_uint4(n, S.size.y, S.size.z, 1),
                                                      yv::PACKED);
  yv::Array<float, 4> h2{}, h3{};
  try {
    yv::Array<float, 3> h1v = yv::internal::decreaseArrayDimension<float, 4, 3>(h1);
    yv::arrayCopy(h1v, S);
    h2 = yv::mallocHostArray<float>(make_uint4(W, H, 1, 1), yv::PACKED);
    h3 = yv::mallocHostArray<float>(make_uint4(W, H, n, 1), yv::PACKED);
    for (unsigned y = 0; y < H; ++y)
      for (unsigned x = 0; x < W; ++x) {
        float best = 0.0f, m = FLT_MAX;
        for (unsigned d = 0; d < n; ++d) {
          const float v = yv::at(h1, d, x, y, 0);
          if (m > v) {
            m = v;
            best = float(d);
          }
          yv::at(h3, x, y, d, 0) = v;
        }
        yv::at(h2, x, y, 0, 0) = best;
      }
    yv::writeArrayToFile(yv::internal::decreaseArrayDimension<float, 4, 3>(h3),
                         output_directory + "/debug/debug_path_costs.dat");
    yv::writeArrayToFile(yv::internal::decreaseArrayDimension<float, 4, 2>(h2),
                         output_directory + "/debug/debug_depthmap.dat");
  } catch (...) {
    std::free(h1.ptr);
    std::free(h2.ptr);
    std::free(h3.ptr);
    throw;
  }
  std::free(h1.ptr);
  std::free(h3.ptr);
  std::free(h2.ptr);
}

}  // namespace

void sgm(yv::Array<float, 2>& labels, yv::Array<float, 3>& costs, float P1, float P2,
         yv::Array<float, 2> const& P2map, int numPaths, bool singleStream) {
  const unsigned W = costs.size.x, H = costs.size.y, n = costs.size.z;
  // The label image is read and written with the volume's extents; any other size would take
  // the extraction outside one of the two.
  if (labels.size.x != W || labels.size.y != H) {
    std::stringstream ss;
    ss << "sgm: labels and costs differ in their column and row extents" << std::endl
       << " labels extents are " << yv::internal::str_extents(labels.size)
       << " costs extents are " << yv::internal::str_extents(costs.size);
    throw std::runtime_error(ss.str());
  }
  SgmResources call;
  yv::Array<float, 4> T4 = call.allocate(make_uint4(n, W, H, 1));
  yv::Array<float, 3> T = yv::internal::decreaseArrayDimension<float, 4, 3>(T4);
  shift_dims(T, costs);
  yv::Array<float, 4> S4 = call.allocate(T4.size);
  yv::Array<float, 3> S = yv::internal::decreaseArrayDimension<float, 4, 3>(S4);
  sgm_fix_matching_costs2(T);

  const bool useP2Map = P2map.ptr != nullptr;
  if (useP2Map) {
    if (yv::rt::textureOffset(P2map.ptr) != 0)
      throw std::runtime_error("sgm: texture offset is not 0");
    yv::rt::TextureDesc desc;
    desc.filter = yv::rt::TexFilter::Point;
    desc.address = yv::rt::TexAddress::Clamp;
    desc.read = yv::rt::TexRead::Element;
    desc.normalizedCoords = false;
    // A map that cannot be bound leaves its error pending; the checks below report it.
    call.textureMade = yv::rt::createTexture2D(&call.P2_tex, P2map.ptr, P2map.pitch.y,
                                               P2map.size.x, P2map.size.y, desc) == cudaSuccess;
  }

  cudaStream_t slots[2] = {call.createStream(), nullptr};
  yv::Array<float, 4> sums[2] = {S4, S4};
  if (!singleStream) {
    slots[1] = call.createStream();
    sums[1] = call.allocate(T4.size);
  }
  yv::set(S4, 0.0f, 0);
  if (!singleStream) yv::set(sums[1], 0.0f, 0);

  const int k = directionCount(numPaths);
  for (int i = 0; i < k; ++i) {
    const Direction& dir = kDirections[i];
    const int slot = singleStream ? 0 : dir.slot;
    const yv::Array<float, 3> sum = yv::internal::decreaseArrayDimension<float, 4, 3>(sums[slot]);
    (useP2Map ? dir.withMap : dir.withConstant)(sum, T, P1, P2, call.P2_tex, slots[slot]);
  }
  if (!singleStream) yv::add(S4, sums[1], 0);
  call.destroyStreams();

  sgm_extract_labels(labels, S);
  // A refused launch must not pass for a result.
  _CHECK_CUDA_ERROR(__FILE__, __LINE__);
  if (debug_depthmap) writeDebugDumps(S, W, H);
}
