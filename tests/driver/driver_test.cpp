#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver.h"
#include "rendering/render_test_util.h"
#include "support/test_support.h"
#include "test_files.h"

namespace {

// A row of 3 x 3 patches, one per value: every depth has neighbours that confirm it.
CMatrix<float> map(std::vector<float> values) {
  CMatrix<float> m(3 * int(values.size()), 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < m.xSize; ++x) m.data[y * m.xSize + x] = values[std::size_t(x / 3)];
  return m;
}

TEST(DepthRange, MedianOfThePerMapExtremes) {
  float lo = -1, hi = -1;
  // Two maps: element n/2 = 1 after ordering, the larger of the two.
  compute_depth_range({map({1.0f, 2.0f, 3.0f}), map({1.5f, 4.0f})}, lo, hi);
  EXPECT_EQ(lo, 1.5f);
  EXPECT_EQ(hi, 4.0f);

  // A map with a hole has minimum 0; it wins only when most maps have one.
  compute_depth_range({map({0.0f, 2.0f}), map({1.0f, 2.5f}), map({1.2f, 3.0f})}, lo, hi);
  EXPECT_EQ(lo, 1.0f);
  EXPECT_EQ(hi, 2.5f);
  compute_depth_range({map({0.0f, 2.0f}), map({0.0f, 2.5f}), map({1.2f, 3.0f})}, lo, hi);
  EXPECT_EQ(lo, 0.0f);
  compute_depth_range({map({0.0f, 2.0f}), map({0.5f, 2.5f}), map({1.2f, 3.0f}), map({0.0f, 1.0f})},
                      lo, hi);
  EXPECT_EQ(lo, 0.5f);  // two of four: element 2 of (0, 0, 0.5, 1.2)
  EXPECT_EQ(hi, 2.5f);  // element 2 of (1, 2, 2.5, 3)

  // A spike, as a sensor gives at its range limit, counts as no depth.
  std::vector<CMatrix<float>> maps = {map({1.0f, 2.0f}), map({1.5f, 4.0f})};
  for (CMatrix<float>& m : maps) m.data[m.xSize + 1] = 60.0f;
  compute_depth_range(maps, lo, hi);
  EXPECT_EQ(lo, 0.0f);
  EXPECT_EQ(hi, 4.0f);
  // So does one inside the range of a map without holes, found after both extremes: the map's
  // minimum becomes 0.
  maps = {map({1.0f, 3.0f})};
  maps[0].data[maps[0].xSize + 4] = 2.0f;
  compute_depth_range(maps, lo, hi);
  EXPECT_EQ(lo, 0.0f);
  EXPECT_EQ(hi, 3.0f);
}

TEST(DepthRange, FarClustersCountAsNoDepth) {
  // 40 x 30 maps cut into 10 superpixels of 120 pixels: a plane at 2 (left half: holes in the
  // first map) with groups of readings.
  auto plane = [](bool holes) {
    CMatrix<float> m(40, 30);
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 40; ++x)
        m.data[y * 40 + x] = holes && x < 20 ? 0.0f : 2.0f + 0.001f * float(x);
    return m;
  };
  auto put = [](CMatrix<float>& m, int x0, int y0, int w, int h, float v) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) m.data[y * m.xSize + x] = v;
  };
  float lo = -1, hi = -1;
  // Beyond four times the plane, within it (a 2 x 2 block, a 3 x 3 block and a 3-pixel line) or
  // alone among holes: no depth, also where the count makes them larger than a superpixel.
  CMatrix<float> m = plane(true);
  put(m, 25, 5, 2, 2, 60.0f);
  put(m, 30, 20, 3, 3, 60.0f);
  put(m, 24, 14, 3, 1, 60.0f);
  put(m, 5, 5, 3, 3, 50.0f);
  for (int superpixels : {10, 300}) {
    compute_depth_range({m}, lo, hi, superpixels);
    EXPECT_EQ(lo, 0.0f);
    EXPECT_FLOAT_EQ(hi, 2.039f);
  }
  compute_depth_range({m}, lo, hi, 0);  // without a count they stay
  EXPECT_EQ(hi, 60.0f);
  // A group in front of the plane stays, and so does one less than four times beyond it; so does
  // a far background that covers a tenth of the map.
  m = plane(false);
  put(m, 25, 5, 2, 2, 0.8f);
  put(m, 5, 20, 3, 1, 7.5f);
  compute_depth_range({m}, lo, hi, 10);
  EXPECT_EQ(lo, 0.8f);
  EXPECT_EQ(hi, 7.5f);
  m = plane(false);
  put(m, 0, 0, 40, 3, 60.0f);
  compute_depth_range({m}, lo, hi, 10);
  EXPECT_EQ(hi, 60.0f);
  // A strip running off to 13 above a plane at 2, on a lattice of empty columns: linked across
  // them (two pixels apart), it reaches the plane's depths and stays whole.
  CMatrix<float> wide(80, 60);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x)
      wide.data[y * 80 + x] = x % 2 ? 0.0f : y < 2 ? 2.0f * std::pow(1.05f, float(x / 2)) : 2.0f;
  compute_depth_range({wide}, lo, hi, 10);
  EXPECT_FLOAT_EQ(hi, 2.0f * std::pow(1.05f, 39.0f));
  // A map without depth, or with spikes alone, has none.
  CMatrix<float> none(40, 30);
  for (int i = 0; i < 40 * 30; ++i) none.data[i] = 0.0f;
  none.data[40 * 15 + 20] = 3.0f;
  compute_depth_range({none}, lo, hi, 10);
  EXPECT_EQ(hi, 0.0f);

  // A near surface (1 to 1.13) in three 640 x 480 maps, with a wall at 3 seen over a quarter of
  // the first and through forty 6 x 8 gaps of the others: the range keeps the wall.
  std::vector<CMatrix<float>> maps;
  for (int k = 0; k < 3; ++k) {
    CMatrix<float> v(640, 480);
    for (int y = 0; y < 480; ++y)
      for (int x = 0; x < 640; ++x) {
        const bool gap = k > 0 && x % 80 >= 37 && x % 80 < 43 && y % 96 >= 44 && y % 96 < 52;
        v.data[y * 640 + x] = (k == 0 && y < 120) || gap ? 3.0f : 1.0f + 0.13f * float(x) / 639;
      }
    maps.push_back(v);
  }
  compute_depth_range(maps, lo, hi);
  EXPECT_EQ(lo, 1.0f);
  EXPECT_EQ(hi, 3.0f);
}

TEST(SuperpixelRadius, FiveThousandOnVga) {
  const float r = superpixel_radius(640, 480, 5000);
  EXPECT_NEAR(r, std::sqrt(61.44 / M_PI), 1e-6);
  EXPECT_NEAR(r, 4.4223f, 1e-4);
  EXPECT_NEAR(r * 9.0f, 39.80f, 0.005f);  // the superpixel filter radius per average_depth / fx
}

TEST(OutputFolder, CreatedWithParentsOrReportedByName) {
  tessivar_test::TempDir dir;
  EXPECT_TRUE(create_output_directory(dir.file("a/b c/d;e")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b c/d;e")));
  EXPECT_TRUE(create_output_directory(dir.file("a")));  // already there

  driver_test::writeText(dir.file("file"), "x");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(create_output_directory(dir.file("file/sub")));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("cannot create the output folder \"" + dir.file("file/sub") + "\": ", 0), 0u)
      << err;
  // Control bytes in the name are shown escaped, not sent to the terminal.
  driver_test::writeText(dir.file("f\x1b]0;t\a\x1b[2J"), "x");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(create_output_directory(dir.file("f\x1b]0;t\a\x1b[2J")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cannot create the output folder \"" + dir.file("f\\x1b]0;t\\x07\\x1b[2J") +
                "\": Not a directory\n");

  // A symlink to nothing is named as the reason, for the folder itself and for a parent.
  std::filesystem::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  for (const std::string& folder : {dir.file("dangling"), dir.file("dangling/sub")}) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(create_output_directory(folder));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cannot create the output folder \"" + folder + "\": \"" + dir.file("dangling") +
                  "\" is a symbolic link to \"" + dir.file("nowhere") + "\", which does not exist\n");
  }

  // A folder that exists but takes no files (even for root) fails now, not after hours of work,
  // and so does one whose file system takes no name as long as the run's longest; the probe
  // file leaves nothing behind.
  const auto writable = [](const std::string& folder, std::size_t length) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    const bool ok = check_output_writable(folder, fd, length);
    ::close(fd);
    return ok;
  };
  if (std::filesystem::is_directory("/proc/self")) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writable("/proc/self", 40));
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                  "cannot write into the output folder \"/proc/self\": ", 0),
              0u);
  }
  testing::internal::CaptureStderr();
  EXPECT_FALSE(writable(dir.file("a"), 256));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cannot write into the output folder \"" + dir.file("a") + "\": File name too long\n");
  EXPECT_TRUE(writable(dir.file("a"), 255));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("a")),
                          std::filesystem::directory_iterator()),
            1);  // only "b c"
}

// What killed runs left during a model write goes once a run holds the folder; nothing else does.
TEST(OutputFolder, StaleTemporaryFilesOfEndedRunsAreRemoved) {
  tessivar_test::TempDir dir;
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const std::string dead = std::to_string(ended), alive = std::to_string(getpid());
  const std::vector<std::string> kept = {
      "model.ply.tmp-" + alive + "-0",      // its process still runs
      "model.ply.tmp-" + dead + "-1",       // a symlink
      "other.ply.tmp-" + dead + "-0",       // not a model of the run
      "model.ply.tmp-" + dead + "-0x",      // not the writer's pattern
      "model.ply.tmp-" + dead + "-100",
      "model.ply.tmp--0",
      "model.ply",
  };
  for (const std::string& name : kept)
    if (name != kept[1]) driver_test::writeText(dir.file(name), "x");
  std::filesystem::create_symlink(dir.file("target"), dir.file(kept[1]));
  driver_test::writeText(dir.file("target"), "x");
  driver_test::writeText(dir.file("model.ply.tmp-" + dead + "-0"), "x");
  driver_test::writeText(dir.file("model_superpixel.ply.tmp-" + dead + "-12"), "x");

  const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  testing::internal::CaptureStdout();
  remove_stale_temporaries(dir.path(), fd, {"model_superpixel.ply", "model.ply"});
  const std::string out = testing::internal::GetCapturedStdout();
  ::close(fd);
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    left.push_back(e.path().filename());
  std::vector<std::string> expected = kept;
  expected.push_back("target");
  std::sort(left.begin(), left.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  EXPECT_NE(out.find("removed \"" + dir.path() + "/model.ply.tmp-" + dead + "-0\""), std::string::npos)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
}

// The note at a run's end names a place for the folder only where a name leads to the very folder
// the run holds; otherwise it says that the models could not be kept.
std::string folderNote(const std::string& path, int fd, bool& kept) {
  kept = true;
  return output_folder_note(path, fd, kept);
}

TEST(OutputFolder, TheEndNoteNamesOnlyAPathThatLeadsToTheFolder) {
  tessivar_test::TempDir dir;
  const std::string base = std::filesystem::canonical(dir.path()).string();
  const std::string out = base + "/out", moved = base + "/out (deleted)";
  std::filesystem::create_directory(out);
  const int fd = ::open(out.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  bool kept = false;
  EXPECT_EQ(folderNote(out, fd, kept), "");
  EXPECT_TRUE(kept);
  // A symlink given as the folder leads to it: nothing moved.
  std::filesystem::create_directory_symlink(out, base + "/link");
  EXPECT_EQ(folderNote(base + "/link", fd, kept), "");
  EXPECT_TRUE(kept);
  // Renamed, even to a name that ends as the system marks a removed folder: the new name.
  std::filesystem::rename(out, moved);
  EXPECT_EQ(folderNote(out, fd, kept),
            "the output folder \"" + out + "\" was moved or replaced during the run; its models "
                                           "are in \"" + moved + "\"");
  EXPECT_TRUE(kept);
  // Removed, and another folder made under the old name.
  std::filesystem::remove(moved);
  std::filesystem::create_directory(out);
  EXPECT_EQ(folderNote(out, fd, kept),
            "the output folder \"" + out + "\" was removed during the run; its models could not be "
                                           "kept");
  EXPECT_FALSE(kept);
  ::close(fd);
}

// A name that cannot be followed to the end says nothing of the folder: neither a parent that the
// user may not search (another user's, when the tests run as root) nor a place for the folder
// longer than PATH_MAX makes its models lost. The note names the folder as the run opened it.
TEST(OutputFolder, AFolderWhoseNameCannotBeCheckedKeepsItsModels) {
  tessivar_test::TempDir dir;
  const std::string base = std::filesystem::canonical(dir.path()).string();
  const std::string parent = base + "/parent", out = parent + "/out";
  std::filesystem::create_directories(out);
  const int fd = ::open(out.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const std::string unchecked = "the output folder \"" + out + "\" could not be checked at the end "
                                                               "of the run (";
  const std::string written = "); its models were written into it";

  ASSERT_EQ(::chmod(parent.c_str(), 0), 0);
  std::string note;
  bool kept = false;
  if (::geteuid() != 0) {
    note = folderNote(out, fd, kept);
  } else {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      bool child_kept = false;
      std::string text = "no user to become";
      if (::setgid(65534) == 0 && ::setuid(65534) == 0) text = folderNote(out, fd, child_kept);
      text.insert(0, 1, child_kept ? 'K' : '-');
      ssize_t n = ::write(pipe_fds[1], text.data(), text.size());
      ::_exit(n == ssize_t(text.size()) ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    char buffer[1024];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) note.append(buffer, n);
    ::close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(note.empty());
    kept = note[0] == 'K';
    note.erase(0, 1);
  }
  ::chmod(parent.c_str(), 0755);
  EXPECT_EQ(note, unchecked + std::strerror(EACCES) + written);
  EXPECT_TRUE(kept);

  // Moved down a chain of folders whose path is longer than PATH_MAX.
  std::vector<int> chain = {::open(base.c_str(), O_RDONLY | O_DIRECTORY)};
  const std::string link(200, 'd');
  while ((chain.size() - 1) * (link.size() + 1) <= PATH_MAX) {
    ASSERT_EQ(::mkdirat(chain.back(), link.c_str(), 0755), 0) << std::strerror(errno);
    chain.push_back(::openat(chain.back(), link.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(chain.back(), 0);
  }
  ASSERT_EQ(::renameat(chain[0], "parent/out", chain.back(), "out"), 0) << std::strerror(errno);
  EXPECT_EQ(folderNote(out, fd, kept), unchecked + std::strerror(ENAMETOOLONG) + written);
  EXPECT_TRUE(kept);
  // Back up, and the chain removed from its end (no path reaches its far folders).
  ::renameat(chain.back(), "out", chain[0], "parent/out");
  for (std::size_t i = chain.size(); i-- > 1;) {
    ::close(chain[i]);
    ::unlinkat(chain[i - 1], link.c_str(), AT_REMOVEDIR);
  }
  ::close(chain[0]);
  ::close(fd);
}

// A folder on a file system unmounted during the run (detached: still open, but under no name),
// or under a folder that another mount now covers, is reached by no name; the system's name for
// it ("/out" from the detached mount's root, or the covered path) is not taken for its place. A
// detached bind mount leaves its folder in the bind's source, on a file system still mounted.
TEST(OutputFolder, AFolderUnmountedOrCoveredCannotKeepItsModelsADetachedBindCan) {
  tessivar_test::TempDir dir;
  const std::string base = std::filesystem::canonical(dir.path()).string();
  const std::string mnt = base + "/mnt", source = base + "/source";
  std::filesystem::create_directory(mnt);
  std::filesystem::create_directory(source);
  struct Unmount {  // whatever a failed check left mounted goes before the folder
    std::string at;
    ~Unmount() {
      while (::umount2(at.c_str(), MNT_DETACH) == 0) {
      }
    }
  } unmount{mnt};
  const std::string lost = "\" was unmounted or hidden by another mount during the run: no name "
                           "leads to it any more, and its models could not be kept";
  const std::string in_source = "\" could not be checked at the end of the run: the mount it was "
                                "reached through was detached, but its file system is still "
                                "mounted (a bind mount's models are in its source)";
  // Opens `path` and mounts (with `cover`) or unmounts `mnt` before the note is made.
  const auto expectNote = [&](const std::string& path, bool cover, const std::string& note,
                              bool kept_there) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    if (cover) {
      ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
      std::filesystem::create_directory(path);  // another folder of that name on top
    } else {
      ASSERT_EQ(::umount2(mnt.c_str(), MNT_DETACH), 0) << std::strerror(errno);
    }
    bool kept = !kept_there;
    EXPECT_EQ(folderNote(path, fd, kept), "the output folder \"" + path + note);
    EXPECT_EQ(kept, kept_there);
    ::close(fd);
    if (cover) ::umount2(mnt.c_str(), MNT_DETACH);
  };
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, nullptr) != 0)
    GTEST_SKIP() << "mounting needs privileges: " << std::strerror(errno);
  std::filesystem::create_directory(mnt + "/out");
  {
    SCOPED_TRACE("detached");
    expectNote(mnt + "/out", false, lost, false);
  }
  {
    SCOPED_TRACE("detached bind");
    std::filesystem::create_directory(source + "/out");
    ASSERT_EQ(::mount(source.c_str(), mnt.c_str(), nullptr, MS_BIND, nullptr), 0);
    expectNote(mnt + "/out", false, in_source, true);
  }
  {
    SCOPED_TRACE("covered");
    std::filesystem::create_directory(mnt + "/out");
    expectNote(mnt + "/out", true, lost, false);
  }
}

// The run's back-face removals: a point that the cameras see from behind, in front of the
// surface they see, goes once more cameras than the removal's limit see it so; the surface stays.
TEST(BackfaceRemoval, APointSeenFromBehindIsRemoved) {
  render_test::Scene s;
  s.add(make_float3(-0.2f, 0, 1), make_float3(0, 0, 1), 0.01f);  // faces away from the camera
  for (int i = 0; i <= 45; ++i)
    for (int j = -35; j <= 35; ++j)
      s.add(make_float3(-0.02f * i, 0.02f * j, 2.f), make_float3(0, 0, -1), 0.03125f);
  const std::size_t surface = s.size() - 1;
  Camera c = render_test::makeCamera(40, 30, 50.f, 20.f, 15.f);
  const auto removeSeenBy = [&](int cameras, int limit) {
    render_test::Scene copy = s;
    testing::internal::CaptureStdout();
    remove_backface_points(copy.particles, copy.offsets, copy.normals,
                           std::vector<Camera*>(cameras, &c), 0.5f, limit);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "removing invalid backface points\n");
    return copy;
  };
  // The first removal keeps a point that one camera sees from behind, not one that two do.
  EXPECT_EQ(removeSeenBy(1, kFirstBackfaceLimit).size(), surface + 1);
  const render_test::Scene two = removeSeenBy(2, kFirstBackfaceLimit);
  ASSERT_EQ(two.size(), surface);
  for (std::size_t i = 0; i < surface; ++i) ASSERT_EQ(two.particles[i].position.z, 2.f);
  // The second tolerates two cameras, not three.
  EXPECT_EQ(removeSeenBy(2, kSecondBackfaceLimit).size(), surface + 1);
  EXPECT_EQ(removeSeenBy(3, kSecondBackfaceLimit).size(), surface);
}

}  // namespace
