#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ply/ply.h"
#include "ply_output.h"
#include "support/test_support.h"
#include "test_files.h"

namespace {

const char* const kHeaderTail =
    "property float x\nproperty float y\nproperty float z\n"
    "property float nx\nproperty float ny\nproperty float nz\n"
    "property uchar diffuse_red\nproperty uchar diffuse_green\nproperty uchar diffuse_blue\n"
    "property float psz\nend_header\n";

std::string header(int n) {
  return "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(n) + "\n" +
         kHeaderTail;
}

void appendFloat(std::string& s, float f) {
  unsigned char b[4];
  std::memcpy(b, &f, 4);  // this test runs on little-endian machines
  s.append(reinterpret_cast<char*>(b), 4);
}

Particle particle(float3 pos, float3 dir, uchar4 color, float size) {
  Particle p{};
  p.position = pos;
  p.direction = dir;
  p.normal = make_float3(9, 9, 9);  // never written: the normals vector is
  p.color = color;
  p.size = size;
  return p;
}

TEST(PlyModel, TwoParticlesByteForByte) {
  tessivar_test::TempDir dir;
  const std::vector<Particle> ps = {
      particle(make_float3(1, 2, 3), make_float3(0, 0, 1), make_uchar4(255, 128, 0, 7), 0.5f),
      particle(make_float3(-1.5f, 0.25f, 4), make_float3(0.6f, 0, 0.8f),
               make_uchar4(1, 2, 3, 4), 0.01f)};
  const std::vector<float> offsets = {2.0f, -0.5f};
  const std::vector<float3> normals = {make_float3(0, 1, 0), make_float3(0.5f, -0.5f, 0.25f)};
  writeParticlesToPLY(ps, offsets, normals, dir.file("m.ply"));

  std::string expected = header(2);
  for (float f : {1.0f, 2.0f, 5.0f, 0.0f, 1.0f, 0.0f}) appendFloat(expected, f);
  expected += std::string("\xFF\x80\x00", 3);
  appendFloat(expected, 0.5f);
  for (float f : {-1.5f + -0.5f * 0.6f, 0.25f, 4.0f + -0.5f * 0.8f, 0.5f, -0.5f, 0.25f})
    appendFloat(expected, f);
  expected += std::string("\x01\x02\x03", 3);
  appendFloat(expected, 0.01f);

  const std::string got = driver_test::readFile(dir.file("m.ply"));
  EXPECT_EQ(got.size(), header(2).size() + 2 * 31);
  EXPECT_EQ(got, expected);
}

TEST(PlyModel, EmptySetWritesOnlyTheHeaderAndFilesAreTruncated) {
  tessivar_test::TempDir dir;
  driver_test::writeText(dir.file("m.ply"), std::string(1000, 'x'));
  writeParticlesToPLY({}, {}, {}, dir.file("m.ply"));
  EXPECT_EQ(driver_test::readFile(dir.file("m.ply")), header(0));
}

TEST(PlyModel, FailuresNameTheFile) {
  tessivar_test::TempDir dir;
  const std::string path = dir.file("no-such-folder/m.ply");
  EXPECT_THROW_MESSAGE(writeParticlesToPLY({}, {}, {}, path),
                       "writeParticlesToPLY: cannot write the model \"" + path +
                           "\"\nUnable to create file (No such file or directory)");

  // Vectors shorter than the set would be read out of bounds.
  const std::vector<Particle> ps(2);
  EXPECT_THROW_MESSAGE(writeParticlesToPLY(ps, {0.0f}, {float3(), float3()}, dir.file("a.ply")),
                       "writeParticlesToPLY: offsets and normals must hold an entry per "
                       "particle\nparticles: 2, offsets: 1, normals: 2");
}

// Writes `n` particles to `path` in a child process whose files may not grow beyond
// `limit` bytes; returns the child's exit status: 0 written, 1 refused with the writer's message
// naming `path` and the reason, 2 any other outcome.
int writeUnderFileSizeLimit(const std::string& path, std::size_t n, rlim_t limit) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead of killing the child
    const rlimit rl = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    const std::vector<Particle> ps(n);
    const std::vector<float> offsets(n, 0.0f);
    const std::vector<float3> normals(n);
    int code = 0;
    try {
      writeParticlesToPLY(ps, offsets, normals, path);
    } catch (const std::runtime_error& e) {
      // The reason comes with the message; a small model fails at the final flush.
      const std::string expected = "writeParticlesToPLY: cannot write the model \"" + path + "\"\n";
      const std::string what = e.what();
      code = what == expected + "Error writing to file (File too large)" ||
                     what == expected + "Error closing up (File too large)"
                 ? 1
                 : 2;
    } catch (...) {
      code = 2;
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PlyModel, AFailedWriteLeavesTheOldModelAndNoShortFile) {
  tessivar_test::TempDir dir;
  const std::string path = dir.file("model.ply");
  // No model yet: a write cut short by the file-size limit leaves nothing behind.
  EXPECT_EQ(writeUnderFileSizeLimit(path, 10000, 4096), 1);
  EXPECT_TRUE(folderEntries(dir.path()).empty());

  // An earlier model stays as it was, byte for byte.
  driver_test::writeText(path, "an earlier model");
  EXPECT_EQ(writeUnderFileSizeLimit(path, 10000, 4096), 1);
  EXPECT_EQ(driver_test::readFile(path), "an earlier model");
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"model.ply"});

  // Under the limit the model is written whole.
  EXPECT_EQ(writeUnderFileSizeLimit(path, 10, 4096), 0);
  EXPECT_EQ(driver_test::readFile(path).size(), header(10).size() + 10 * 31);

  // A symlink at the model's name is replaced, not written through.
  driver_test::writeText(dir.file("elsewhere"), "not a model");
  std::filesystem::remove(path);
  std::filesystem::create_symlink(dir.file("elsewhere"), path);
  writeParticlesToPLY({}, {}, {}, path);
  EXPECT_EQ(driver_test::readFile(dir.file("elsewhere")), "not a model");
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(driver_test::readFile(path), header(0));
}

// A signal whose default action ends the process, arriving during a write, removes the temporary
// file and ends the process by that signal; the earlier model stays. A signal that the process
// ignores (SIGHUP under nohup) stays ignored, and the write completes.
TEST(PlyModel, SignalsDuringAWriteLeaveNoTemporaryFile) {
  tessivar_test::TempDir dir;
  const std::string path = dir.file("model.ply");
  driver_test::writeText(path, "an earlier model");
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGABRT, SIGXCPU,
                  SIGVTALRM, SIGPROF, SIGRTMIN + 3, 0}) {
    SCOPED_TRACE(sig);
    const pid_t pid = fork();
    if (pid == 0) {
      const rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      // A test run as a background job inherits INT and QUIT ignored.
      for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) std::signal(s, SIG_DFL);
      if (sig == 0) std::signal(SIGHUP, SIG_IGN);
      setenv("TESSIVAR_TEST_SLOW_PLY_WRITE", sig == 0 ? "0.3" : "20", 1);
      try {
        const std::vector<Particle> ps(100);
        writeParticlesToPLY(ps, std::vector<float>(100), std::vector<float3>(100), path);
      } catch (...) {
        _exit(1);
      }
      _exit(0);
    }
    // Wait for the temporary file, then signal the writer.
    const std::string tmp = path + ".tmp-" + std::to_string(pid) + "-0";
    for (int i = 0; i < 1000 && !std::filesystem::exists(tmp); ++i) usleep(10000);
    EXPECT_TRUE(std::filesystem::exists(tmp));
    kill(pid, sig == 0 ? SIGHUP : sig);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"model.ply"});
    if (sig != 0) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
      EXPECT_EQ(driver_test::readFile(path), "an earlier model");
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      EXPECT_EQ(driver_test::readFile(path).size(), header(100).size() + 100 * 31);
    }
  }
}

// Someone who can write into the folder swaps a symlink in for the temporary file while the
// model is written: the symlink is never published and nothing is written through it.
TEST(PlyModel, ATemporaryFileReplacedDuringTheWriteIsNotPublished) {
  tessivar_test::TempDir dir;
  const std::string path = dir.file("model.ply");
  const std::string tmp = path + ".tmp-" + std::to_string(getpid()) + "-0";
  driver_test::writeText(path, "an earlier model");
  driver_test::writeText(dir.file("victim"), "not a model");
  setenv("TESSIVAR_TEST_SLOW_PLY_WRITE", "1", 1);
  std::thread swapper([&] {
    for (int i = 0; i < 1000 && !std::filesystem::exists(tmp); ++i) usleep(1000);
    std::filesystem::create_symlink(dir.file("victim"), dir.file("planted"));
    std::filesystem::rename(dir.file("planted"), tmp);
  });
  const std::vector<Particle> ps(10);
  EXPECT_THROW_MESSAGE(
      writeParticlesToPLY(ps, std::vector<float>(10), std::vector<float3>(10), path),
      "writeParticlesToPLY: cannot write the model \"" + path + "\"\nthe temporary file \"" + tmp +
          "\" was replaced by another program during the write; the model was not written");
  swapper.join();
  unsetenv("TESSIVAR_TEST_SLOW_PLY_WRITE");
  EXPECT_EQ(driver_test::readFile(path), "an earlier model");
  EXPECT_EQ(driver_test::readFile(dir.file("victim")), "not a model");
  // The planted symlink is not ours to remove.
  EXPECT_TRUE(std::filesystem::is_symlink(tmp));
  EXPECT_EQ(folderEntries(dir.path()),
            (std::vector<std::string>{"model.ply", tmp.substr(dir.path().size() + 1), "victim"}));
}

bool hasSize(const std::string& path, off_t size) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && (size < 0 ? st.st_size > 0 : st.st_size == size);
}

// What another program does to the temporary file after it was written is caught before the
// model is published: a truncation mid-write (which leaves the file its size, with a hole of
// zeros where the header was) is refused and the earlier model stays; a symlink swapped in just
// before the rename is taken off the model's name again, and nothing is written through it.
TEST(PlyModel, ATemporaryFileChangedBeforeItsPublicationIsNotPublished) {
  tessivar_test::TempDir dir;
  const std::string path = dir.file("model.ply");
  const std::string tmp = path + ".tmp-" + std::to_string(getpid()) + "-0";
  const std::string prefix = "writeParticlesToPLY: cannot write the model \"" + path + "\"\n";
  const std::vector<Particle> ps(10);
  driver_test::writeText(path, "an earlier model");
  setenv("TESSIVAR_TEST_SLOW_PLY_WRITE", "1", 1);
  std::thread truncater([&] {
    for (int i = 0; i < 2000 && !hasSize(tmp, -1); ++i) usleep(1000);
    ::truncate(tmp.c_str(), 0);
  });
  EXPECT_THROW_MESSAGE(
      writeParticlesToPLY(ps, std::vector<float>(10), std::vector<float3>(10), path),
      prefix + "the temporary file \"" + tmp +
          "\" does not hold what was written: another program changed it during the write; the "
          "model was not written");
  truncater.join();
  unsetenv("TESSIVAR_TEST_SLOW_PLY_WRITE");
  EXPECT_EQ(driver_test::readFile(path), "an earlier model");
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"model.ply"});

  std::filesystem::remove(path);
  driver_test::writeText(dir.file("victim"), "not a model");
  setenv("TESSIVAR_TEST_SLOW_PLY_PUBLISH", "1", 1);
  std::thread swapper([&] {
    for (int i = 0; i < 2000 && !hasSize(tmp, off_t(header(10).size() + 10 * 31)); ++i)
      usleep(1000);
    usleep(300000);  // past the last check before the rename
    std::filesystem::create_symlink(dir.file("victim"), dir.file("planted"));
    std::filesystem::rename(dir.file("planted"), tmp);
  });
  EXPECT_THROW_MESSAGE(
      writeParticlesToPLY(ps, std::vector<float>(10), std::vector<float3>(10), path),
      prefix + "the temporary file \"" + tmp +
          "\" was replaced by another program during the write; the model was not written");
  swapper.join();
  unsetenv("TESSIVAR_TEST_SLOW_PLY_PUBLISH");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
  EXPECT_EQ(driver_test::readFile(dir.file("victim")), "not a model");

  // A file that another program makes longer during the write holds all that was written, and
  // more; it is refused as well.
  driver_test::writeText(path, "an earlier model");
  setenv("TESSIVAR_TEST_SLOW_PLY_WRITE", "1", 1);
  std::thread extender([&] {
    for (int i = 0; i < 2000 && !hasSize(tmp, -1); ++i) usleep(1000);
    const int fd = ::open(tmp.c_str(), O_WRONLY);
    EXPECT_EQ(::pwrite(fd, "!", 1, 1 << 20), 1);
    ::close(fd);
  });
  EXPECT_THROW_MESSAGE(
      writeParticlesToPLY(ps, std::vector<float>(10), std::vector<float3>(10), path),
      prefix + "the temporary file \"" + tmp +
          "\" does not hold what was written: another program changed it during the write; the "
          "model was not written");
  extender.join();
  unsetenv("TESSIVAR_TEST_SLOW_PLY_WRITE");
  EXPECT_TRUE(driver_test::readFile(path) == "an earlier model");  // not the megabyte on failure
}

// A model larger than the read-back's buffer is compared with what was written piece by piece,
// each piece from its own place in the file, and published whole.
TEST(PlyModel, AModelOfSeveralMebibytesIsReadBackWhole) {
  tessivar_test::TempDir dir;
  const std::size_t n = 100000;  // 3.1 MB of vertices
  std::vector<Particle> ps(n);
  for (std::size_t i = 0; i < n; ++i) ps[i].size = float(i);
  writeParticlesToPLY(ps, std::vector<float>(n), std::vector<float3>(n), dir.file("m.ply"));
  const std::string got = driver_test::readFile(dir.file("m.ply"));
  ASSERT_EQ(got.size(), header(int(n)).size() + n * 31);
  std::string last;
  appendFloat(last, float(n - 1));
  EXPECT_EQ(got.substr(got.size() - 4), last);
}

// A folder removed before or during a write fails it in ways of its own (no file can be created
// in it, or the temporary file goes with it); the message gives the removal as the reason.
TEST(PlyModel, AFolderRemovedBeforeOrDuringTheWriteIsTheReasonGiven) {
  tessivar_test::TempDir dir;
  const std::string folder = dir.file("out");
  const std::string path = folder + "/model.ply";
  const std::vector<Particle> ps(10);
  for (const bool during : {false, true}) {
    SCOPED_TRACE(during);
    std::filesystem::create_directory(folder);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const std::string tmp = path + ".tmp-" + std::to_string(getpid()) + "-0";
    if (during) setenv("TESSIVAR_TEST_SLOW_PLY_WRITE", "1", 1);
    std::thread remover([&] {
      for (int i = 0; during && i < 2000 && !std::filesystem::exists(tmp); ++i) usleep(1000);
      std::filesystem::remove_all(folder);
      std::filesystem::create_directory(folder);  // and made again: another folder
    });
    if (!during) remover.join();
    EXPECT_THROW_MESSAGE(
        writeParticlesToPLY(ps, std::vector<float>(10), std::vector<float3>(10), fd, "model.ply",
                            path),
        "writeParticlesToPLY: cannot write the model \"" + path +
            "\"\nthe output folder was removed during the run");
    if (during) remover.join();
    unsetenv("TESSIVAR_TEST_SLOW_PLY_WRITE");
    ::close(fd);
    EXPECT_TRUE(folderEntries(folder).empty());
    std::filesystem::remove_all(folder);
  }
}

TEST(PlyWriter, BigEndianFilesAndValueConversions) {
  tessivar_test::TempDir dir;
  p_ply ply = ply_create(dir.file("b.ply").c_str(), PLY_BIG_ENDIAN, nullptr, 0, nullptr);
  ASSERT_NE(ply, nullptr);
  ASSERT_TRUE(ply_add_element(ply, "v", 1));
  ASSERT_TRUE(ply_add_scalar_property(ply, "s", PLY_SHORT));
  ASSERT_TRUE(ply_add_scalar_property(ply, "u", PLY_UCHAR));
  ASSERT_TRUE(ply_add_element(ply, "none", 0));
  ASSERT_TRUE(ply_add_scalar_property(ply, "d", PLY_DOUBLE));
  ASSERT_TRUE(ply_write_header(ply));
  EXPECT_TRUE(ply_write(ply, -2.7));   // truncated towards zero
  EXPECT_TRUE(ply_write(ply, 300.0));  // saturated
  EXPECT_TRUE(ply_close(ply));
  EXPECT_EQ(driver_test::readFile(dir.file("b.ply")),
            std::string("ply\nformat binary_big_endian 1.0\nelement v 1\nproperty short s\n"
                        "property uchar u\nelement none 0\nproperty double d\nend_header\n") +
                std::string("\xFF\xFE\xFF", 3));
}

std::vector<std::string> errors;
void collect(p_ply, const char* message) { errors.push_back(message); }

TEST(PlyWriter, ValueCountsMustMatchTheHeader) {
  tessivar_test::TempDir dir;
  errors.clear();
  p_ply ply = ply_create(dir.file("c.ply").c_str(), PLY_DEFAULT, collect, 0, nullptr);
  ASSERT_TRUE(ply_add_element(ply, "v", 2));
  ASSERT_TRUE(ply_add_scalar_property(ply, "x", PLY_FLOAT));
  EXPECT_FALSE(ply_write(ply, 1.0));  // before the header
  ASSERT_TRUE(ply_write_header(ply));
  EXPECT_FALSE(ply_add_element(ply, "late", 1));
  EXPECT_TRUE(ply_write(ply, 1.0));
  EXPECT_FALSE(ply_close(ply));  // one of two values
  EXPECT_EQ(errors, (std::vector<std::string>{"Header not written yet", "Header already written",
                                              "Fewer values than the header declares"}));

  errors.clear();
  ply = ply_create(dir.file("d.ply").c_str(), PLY_DEFAULT, collect, 0, nullptr);
  ASSERT_TRUE(ply_add_element(ply, "v", 1));
  ASSERT_TRUE(ply_add_scalar_property(ply, "x", PLY_UINT8));
  ASSERT_TRUE(ply_write_header(ply));
  EXPECT_TRUE(ply_write(ply, 1.0));
  EXPECT_FALSE(ply_write(ply, 2.0));
  EXPECT_TRUE(ply_close(ply));
  EXPECT_EQ(errors, (std::vector<std::string>{"More values than the header declares"}));

  EXPECT_EQ(ply_create(dir.file("e.ply").c_str(), PLY_ASCII, collect, 0, nullptr), nullptr);
}

}  // namespace
