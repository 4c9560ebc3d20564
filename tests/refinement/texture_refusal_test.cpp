// Kernels that read images through textures are not launched when a texture cannot be made:
// the call fails with its own name and leaves its outputs and the device's memory as they were.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "camera_estimation_kernels.h"
#include "depthmap_estimation_kernels.h"
#include "sgm/sgm_test_util.h"
#include "support/test_support.h"
#include "yv/runtime/runtime.h"

using sgm_test::Device;

namespace {

// A host image, aligned as device memory would be, of which no texture can be made (a GPU's
// texture unit cannot reach it; the host back end refuses non-device memory).
struct HostImage {
  static constexpr unsigned W = 16, H = 8;
  std::unique_ptr<uchar4, decltype(&std::free)> data{
      static_cast<uchar4*>(std::aligned_alloc(4096, 4096)), &std::free};
  yv::Array<uchar4, 2> array() const {
    for (unsigned i = 0; i < W * H; ++i) data.get()[i] = make_uchar4(80, 90, 100, 255);
    return yv::arrayFromHostMemory(data.get(), W, H);
  }
};

std::string messageStart(const std::string& message) { return message.substr(0, message.find(':') + 1); }

}  // namespace

TEST(TextureRefusal, MatchingCostsWithoutATextureLaunchNothing) {
  if (tessivar_test::onGpu()) GTEST_SKIP() << "mapped host memory may be reachable on a GPU";
  tessivar_test::AllocationGuard guard;
  const unsigned W = HostImage::W, H = HostImage::H;
  HostImage host;
  const yv::Array<uchar4, 2> hostImage = host.array();
  Device<uchar4> image(W, H);
  image.upload(std::vector<uchar4>(W * H, make_uchar4(80, 90, 100, 255)));
  Device<float> costs(W, H, 3, 2);
  costs.upload(std::vector<float>(W * H * 6, 0.f));
  yv::Array<float, 4> c = costs.a;
  const ProjectionMatrix P{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}};
  for (bool plane : {false, true})
    for (bool refOnHost : {true, false}) {
      const yv::Array<uchar4, 2> ref = refOnHost ? hostImage : image.d2();
      const yv::Array<uchar4, 2> second = refOnHost ? image.d2() : hostImage;
      const std::string message = tessivar_test::thrownMessage([&] {
        if (plane)
          add_matching_costs2(c, ref, second, 1.f, 2.f, 20.f, 20.f, 7.5f, 3.5f, P,
                              MatchingCostsMetric::NCC);
        else
          add_matching_costs(c, ref, second, 1.f, 2.f, 20.f, 20.f, 7.5f, 3.5f, P,
                             MatchingCostsMetric::SAD);
      });
      EXPECT_EQ(messageStart(message), plane ? "add_matching_costs2:" : "add_matching_costs:")
          << message;
      // Reported once, not again at the next check.
      EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
    }
  EXPECT_EQ(costs.download(), std::vector<float>(W * H * 6, 0.f));
}

TEST(TextureRefusal, ResidualWithoutATextureLaunchesNothing) {
  if (tessivar_test::onGpu()) GTEST_SKIP() << "mapped host memory may be reachable on a GPU";
  tessivar_test::AllocationGuard guard;
  const unsigned W = HostImage::W, H = HostImage::H;
  HostImage host;
  Device<uchar4> rendered(W, H);
  rendered.upload(std::vector<uchar4>(W * H, make_uchar4(80, 90, 100, 255)));
  Device<float> depth(W, H), out(W, H, 3);
  depth.upload(std::vector<float>(W * H, 1.f));
  out.upload(std::vector<float>(W * H * 3, 5.f));
  Projection pr{};
  pr.width = W;
  pr.height = H;
  pr.fx = pr.fy = 20.f;
  pr.cx = 7.5f;
  pr.cy = 3.5f;
  pr.R[0] = pr.R[4] = pr.R[8] = 1.f;
  pr.far = FLT_MAX;
  yv::Array<float, 3> o = out.d3();
  const std::string message = tessivar_test::thrownMessage([&] {
    computeDifferenceImage(o, host.array(), rendered.d2(), depth.d2(), 1.f, pr, 0.05f, 0.05f,
                           7.5f, 3.5f);
  });
  EXPECT_EQ(messageStart(message), "computeDifferenceImage:") << message;
  EXPECT_EQ(yv::rt::getLastError(), cudaSuccess);
  EXPECT_EQ(out.download(), std::vector<float>(W * H * 3, 5.f));
}
