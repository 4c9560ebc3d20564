// Visibility queries on an occluded scene: contributing points, nearest camera distances per
// pixel, and the back-face test of points seen from behind.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "backface.h"
#include "render_test_util.h"
#include "support/test_support.h"

using namespace render_test;
using tessivar_test::AllocationGuard;

namespace {

const int W = 40, H = 30;
const float kFar = 3.4028235e38f;
const float3 kFacing = make_float3(0, 0, -1);

Camera camera() { return makeCamera(W, H, 50.f, 20.f, 15.f); }

// A square patch of points facing the camera at depth z, every 0.02 world units.
void addPatch(Scene& s, float x0, float x1, float y0, float y1, float z, float size) {
  for (float x = x0; x <= x1 + 1e-6f; x += 0.02f)
    for (float y = y0; y <= y1 + 1e-6f; y += 0.02f) s.add(make_float3(x, y, z), kFacing, size);
}

}  // namespace

TEST(ContributingPoints, OccludedPointsAndCulledPointsGetZero) {
  AllocationGuard guard;
  Scene s;
  addPatch(s, -0.2f, 0.2f, -0.2f, 0.2f, 2.f, 0.03125f);  // front surface
  const std::size_t front = s.size();
  addPatch(s, -0.1f, 0.1f, -0.1f, 0.1f, 2.5f, 0.03125f);  // hidden behind it by 0.5
  const std::size_t hidden = s.size();
  s.add(make_float3(0.5f, 0, 2.5f), kFacing, 0.03125f);          // behind nothing: visible
  s.add(make_float3(0.5f, 0.1f, 2.f), make_float3(0, 0, 1), 0.05f);  // back face
  s.add(make_float3(0.5f, -0.1f, 20.f), kFacing, 0.05f);         // beyond far = 10
  s.add(make_float3(5.f, 0, 2.f), kFacing, 0.05f);               // projects far outside
  s.add(make_float3(0, 0, 2.04f), kFacing, 0.05f);  // within its size of the front surface
  Rendered r(W, H, s);
  const std::vector<int> flags =
      contributing_points(r.buffer, r.points, camera(), 0.02f, 0.f, 10.f, 1.f);
  ASSERT_EQ(flags.size(), s.size());
  for (std::size_t i = 0; i < front; ++i) EXPECT_EQ(flags[i], 1) << i;
  for (std::size_t i = front; i < hidden; ++i) EXPECT_EQ(flags[i], 0) << i;
  EXPECT_EQ(flags[hidden], 1);
  EXPECT_EQ(flags[hidden + 1], 0);
  EXPECT_EQ(flags[hidden + 2], 0);
  EXPECT_EQ(flags[hidden + 3], 0);
  EXPECT_EQ(flags[hidden + 4], 1);
  // The buffer keeps the depth of the visible surface.
  EXPECT_EQ(download(r.buffer.depth)[r.at(19, 14)], 2.f);
}

TEST(ContributingPoints, DeviceFormAtHalfSizeAndEmptySet) {
  AllocationGuard guard;
  Scene s;
  s.add(make_float3(0, 0, 2), kFacing, 0.1f);
  s.add(make_float3(0, 0, 3), kFacing, 0.1f);
  Rendered r(W / 2, H / 2, s);
  yv::Array<int, 1> flags = contributing_points(
      r.buffer, camera_projection(camera(), W / 2, H / 2, 0.f, FLT_MAX), r.points, 0.02f, 1.f);
  const std::vector<int> f = download(flags);
  yv::releaseArray(flags);
  EXPECT_EQ(f, (std::vector<int>{1, 0}));

  Points empty{};
  EXPECT_THROW_MESSAGE(contributing_points(r.buffer, camera_projection(camera(), W / 2, H / 2,
                                                                       0.f, FLT_MAX),
                                           empty, 0.02f, 1.f),
                       "yv::mallocDeviceArray: all extents must be >= 1");
}

TEST(MinCamdistance, SmallestValuePlusSizeOfTheVisibleCoveringDisks) {
  AllocationGuard guard;
  Scene s;
  s.add(make_float3(0, 0, 2), kFacing, 0.125f);        // covers (20, 15) +- 3 pixels
  s.add(make_float3(0.04f, 0, 2), kFacing, 0.0625f);  // same plane, overlaps the first
  s.add(make_float3(0, 0, 3), kFacing, 0.125f);        // hidden behind the first
  std::vector<float> values = {1.f, 0.5f, 0.1f};
  Rendered r(W, H, s);
  const Projection pr = camera_projection(camera(), W, H, 0.f, FLT_MAX);
  std::vector<float> hv = values;
  yv::Array<float, 2> v2 = upload(hv, 3, 1);
  yv::Array<float, 1> v1;
  v1.ptr = v2.ptr;
  v1.pitch.x = sizeof(float);
  v1.size.x = 3;
  v1.device = v2.device;
  yv::Array<float, 2> result = yv::internal::decreaseArrayDimension<float, 4, 2>(
      yv::mallocDeviceArray<float>(make_uint4(W, H, 1, 1), yv::PITCHED));
  compute_min_camdistance(result, pr, r.points, v1, 0.02f, 1.f);
  auto image = download(result);
  EXPECT_EQ(image[r.at(22, 14)], 1.125f);   // pixel (17, 15): only the first disk
  EXPECT_EQ(image[r.at(18, 14)], 0.5625f);  // pixel (21, 15): both, the second is smaller
  EXPECT_EQ(image[r.at(19, 14)], 0.5625f);  // the hidden disk's 0.225 never shows
  EXPECT_EQ(image[r.at(0, 0)], kFar);

  // All values 0: covered pixels hold the smallest covering size.
  hv = {0.f, 0.f, 0.f};
  yv::Array<float, 2> view = yv::arrayFromHostMemory(hv.data(), 3, 1);
  yv::arrayCopy(v2, view);
  compute_min_camdistance(result, pr, r.points, v1, 0.02f, 1.f);
  image = download(result);
  EXPECT_EQ(image[r.at(22, 14)], 0.125f);
  EXPECT_EQ(image[r.at(18, 14)], 0.0625f);

  // Refused: a result in host memory (the temporary depth is still released), and an empty
  // projection, which leaves the result untouched.
  std::vector<float> host(W * H, 7.f);
  yv::Array<float, 2> hostResult = yv::arrayFromHostMemory(host.data(), W, H);
  EXPECT_THROW_MESSAGE(compute_min_camdistance(hostResult, pr, r.points, v1, 0.02f, 1.f),
                       "memory of the array must be on the device");
  Projection none = pr;
  none.width = 0;
  EXPECT_THROW_MESSAGE(compute_min_camdistance(result, none, r.points, v1, 0.02f, 1.f),
                       "yv::mallocDeviceArray: all extents must be >= 1");
  EXPECT_EQ(download(result), image);
  yv::releaseArray(result);
  yv::releaseArray(v2);
}

namespace {

// The model surface covers the projection's columns u <= 20 at depth 2 (world x <= 0); the test
// points face away from the camera unless said otherwise and sit at depth 1.
Scene backfaceScene() {
  Scene s;
  const float3 away = make_float3(0, 0, 1);
  s.add(make_float3(-0.2f, 0, 1), away, 0.01f);                    // 0: in front of the surface
  s.add(make_float3(-0.2f, -0.2f, 1), kFacing, 0.01f);             // 1: faces the camera
  s.add(make_float3(-0.1f, 0.1f, 1), make_float3(-1, 0, 0), 0.01f);  // 2: normal in image plane
  s.add(make_float3(0.2f, 0, -1), away, 0.01f);                    // 3: behind the camera
  s.add(make_float3(-0.4f, 0, 1), away, 0.01f);                    // 4: on the border column
  s.add(make_float3(-0.38f, 0, 1), away, 0.01f);                   // 5: next to the border
  s.add(make_float3(0.2f, 0, 1), away, 0.01f);                     // 6: no surface behind it
  for (int i = 0; i <= 45; ++i)
    for (int j = -35; j <= 35; ++j)
      s.add(make_float3(-0.02f * i, 0.02f * j, 2.f), kFacing, 0.03125f);
  return s;
}

std::vector<int> runBackface(std::vector<int> counts, const Scene& s, float margin,
                             int cameras = 1) {
  Camera c = camera();
  std::vector<Camera*> list(cameras, &c);
  backface_visibility_test(counts, s.particles, s.offsets, s.normals, list, margin);
  return counts;
}

}  // namespace

TEST(BackfaceVisibility, CountsBackFacesInFrontOfTheRenderedSurface) {
  AllocationGuard guard;
  const Scene s = backfaceScene();
  const std::vector<int> counts = runBackface({}, s, 0.5f);
  ASSERT_EQ(counts.size(), s.size());
  EXPECT_EQ(std::vector<int>(counts.begin(), counts.begin() + 7),
            (std::vector<int>{1, 0, 0, 0, 0, 1, 0}));
  for (std::size_t i = 7; i < counts.size(); ++i) ASSERT_EQ(counts[i], 0) << i;
  // Once per camera of the list.
  EXPECT_EQ(runBackface({}, s, 0.5f, 2)[0], 2);
}

TEST(BackfaceVisibility, MarginIsStrictAndCountsAccumulate) {
  AllocationGuard guard;
  const Scene s = backfaceScene();
  // The surface lies exactly 1 behind point 0: a margin of 1 does not count it.
  EXPECT_EQ(runBackface({}, s, 1.f)[0], 0);
  EXPECT_EQ(runBackface({}, s, 0.9999f)[0], 1);
  // Existing entries keep their values and are added to; a longer vector is cut.
  const std::vector<int> grown = runBackface({5, 5}, s, 0.5f);
  EXPECT_EQ(grown[0], 6);
  EXPECT_EQ(grown[1], 5);
  EXPECT_EQ(grown[5], 1);
  EXPECT_EQ(runBackface(std::vector<int>(s.size() + 4, 0), s, 0.5f).size(), s.size());
}

TEST(BackfaceVisibility, EmptySetIsRefusedAfterResizing) {
  AllocationGuard guard;
  Scene s;
  std::vector<int> counts = {1, 2};
  Camera c = camera();
  std::vector<Camera*> list = {&c};
  EXPECT_THROW_MESSAGE(
      backface_visibility_test(counts, s.particles, s.offsets, s.normals, list, 0.5f),
      "yv::mallocDeviceArray: all extents must be >= 1");
  EXPECT_TRUE(counts.empty());
}

TEST(VisibilityQueries, EachQueryKeepsItsOwnBackFaceRule) {
  AllocationGuard guard;
  Scene s;
  // 0: normal in the image plane but towards the camera centre (P . n < 0, n.z = 0): it is in the
  //    depth buffer, so it has camera distances, but never contributes. Covers pixel (32, 15).
  s.add(make_float3(0.5f, 0, 2), make_float3(-1, 0, 0), 0.25f);
  // 1: faces the image plane (n.z < 0) yet away from the centre (P . n > 0): no depth and no
  //    distances, but nothing hides its fragments, so it contributes. Covers pixel (7, 15).
  const float nl = std::sqrt(1.01f);
  s.add(make_float3(-0.5f, 0, 2), make_float3(-1 / nl, 0, -0.1f / nl), 0.25f);
  Rendered r(W, H, s);
  EXPECT_EQ(contributing_points(r.buffer, r.points, camera(), 0.02f, 0.f, FLT_MAX, 1.f),
            (std::vector<int>{0, 1}));
  const std::vector<float> depth = download(r.buffer.depth);
  EXPECT_NEAR(depth[r.at(W - 1 - 32, 14)], 25.f / 12.f, 1e-5f);  // the ray meets x = 0.5
  EXPECT_EQ(depth[r.at(W - 1 - 7, 14)], kFar);

  std::vector<float> hv = {1.f, 3.f};
  yv::Array<float, 2> v2 = upload(hv, 2, 1);
  yv::Array<float, 1> v1;
  v1.ptr = v2.ptr;
  v1.pitch.x = sizeof(float);
  v1.size.x = 2;
  v1.device = v2.device;
  yv::Array<float, 2> result = yv::internal::decreaseArrayDimension<float, 4, 2>(
      yv::mallocDeviceArray<float>(make_uint4(W, H, 1, 1), yv::PITCHED));
  compute_min_camdistance(result, camera_projection(camera(), W, H, 0.f, FLT_MAX), r.points, v1,
                          0.02f, 1.f);
  const std::vector<float> dist = download(result);
  EXPECT_EQ(dist[r.at(W - 1 - 32, 14)], 1.25f);
  EXPECT_EQ(dist[r.at(W - 1 - 7, 14)], kFar);
  for (float d : dist) EXPECT_TRUE(d == kFar || d == 1.25f);
  yv::releaseArray(result);
  yv::releaseArray(v2);
}

TEST(BackfaceVisibility, NeighbourhoodMinimumAndPointsOutsideTheImage) {
  AllocationGuard guard;
  // Back faces at depth 1 and single-pixel surface samples (radius a quarter pixel), placed by
  // the projection pixel they land on.
  const float3 away = make_float3(0, 0, 1);
  auto at = [](int px, int py, float z) {
    return make_float3(z * (px - 20) / 50.f, z * (py - 15) / 50.f, z);
  };
  Scene s;
  s.add(at(25, 17, 1), away, 0.01f);  // 0: no depth at its own pixel, surface beside it
  s.add(at(26, 17, 2), kFacing, 0.01f);
  s.add(at(10, 8, 1), away, 0.01f);  // 2: surface on a diagonal neighbour
  s.add(at(9, 9, 2), kFacing, 0.01f);
  s.add(at(30, 22, 1), away, 0.01f);  // 4: surface two rows away
  s.add(at(30, 24, 2), kFacing, 0.01f);
  s.add(at(15, 22, 1), away, 0.01f);  // 6: surface behind it, but a nearer one beside it
  s.add(at(15, 22, 2), kFacing, 0.01f);
  s.add(at(16, 23, 1.2f), kFacing, 0.01f);
  {
    Points p = createPoints(s.particles, s.offsets, s.normals);
    CMatrix<float> depth;
    CMatrix<float3> normals;
    compute_depthmap_and_normals_from_points(depth, normals, p, camera(), 0.02f, 0.f, FLT_MAX,
                                             1.f);
    releasePoints(p);
    ASSERT_EQ(depth.data[(H - 1 - 17) * W + (W - 1 - 25)], kFar);
    ASSERT_NEAR(depth.data[(H - 1 - 17) * W + (W - 1 - 26)], 2.f, 1e-5f);
    ASSERT_EQ(depth.data[(H - 1 - 17) * W + (W - 1 - 24)], kFar);
  }
  EXPECT_EQ(runBackface({}, s, 0.5f), (std::vector<int>{1, 0, 1, 0, 0, 0, 0, 0, 0}));

  // A surface at depth 2 over the whole image and beyond: of the back faces only the one inside
  // the image counts; those projecting past any edge read nothing.
  Scene full;
  full.add(at(20, 15, 1), away, 0.01f);
  full.add(at(40, 15, 1), away, 0.01f);
  full.add(at(45, 15, 1), away, 0.01f);
  full.add(at(-1, 15, 1), away, 0.01f);
  full.add(at(-3, 15, 1), away, 0.01f);
  full.add(at(20, 30, 1), away, 0.01f);
  full.add(at(20, -1, 1), away, 0.01f);
  const std::size_t tested = full.size();
  for (int i = -50; i <= 50; ++i)
    for (int j = -40; j <= 40; ++j)
      full.add(make_float3(0.02f * i, 0.02f * j, 2.f), kFacing, 0.03125f);
  const std::vector<int> counts = runBackface({}, full, 0.5f);
  EXPECT_EQ(std::vector<int>(counts.begin(), counts.begin() + tested),
            (std::vector<int>{1, 0, 0, 0, 0, 0, 0}));
}
