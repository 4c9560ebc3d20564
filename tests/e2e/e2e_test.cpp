// End-to-end runs of the tessivar binary on a scene written by make_scene.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "camera.h"
#include "driver.h"
#include "cmatrix/png_writer.h"
#include "e2e/e2e_support.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// Folder flushes (fsync of a folder) let through before one fails with EIO; -1: none fails.
int folder_flushes_passing = -1;

}  // namespace

// In place of the C library's fsync for this test program: the model writer's flush of its folder
// after the rename fails on request.
extern "C" int fsync(int fd) {
  struct stat st;
  if (folder_flushes_passing >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
      folder_flushes_passing-- == 0) {
    errno = EIO;
    return -1;
  }
  return int(::syscall(SYS_fsync, fd));
}

namespace {

using namespace tessivar_e2e;

class EndToEnd : public testing::Test {
 protected:
  static tessivar_test::TempDir* scene_;
  static std::vector<std::string> cameras_;
  tessivar_test::TempDir scratch;

  static void SetUpTestSuite() {
    scene_ = new tessivar_test::TempDir();
    tessivar_test::TempDir tmp;
    const Result r = run("make_scene",
                         {"--out", scene_->path(), "--cameras", "8", "--width", "160", "--height",
                          "120", "--gt-spacing", "0.004"},
                         tmp.path());
    ASSERT_EQ(r.code, 0) << r.err;
    // Three neighbours on the arc of eight: enough overlap for non-empty models.
    for (int i = 0; i < 3; ++i) cameras_.push_back(scene_->file("camera_0" + std::to_string(i) + ".txt"));
  }
  static void TearDownTestSuite() {
    delete scene_;
    scene_ = nullptr;
    cameras_.clear();
  }

  Result tessivar(std::vector<std::string> args) { return run("tessivar", args, scratch.path()); }
  std::string out(const std::string& name = "") { return scratch.file("out" + name); }
};

tessivar_test::TempDir* EndToEnd::scene_ = nullptr;
std::vector<std::string> EndToEnd::cameras_;

// One filter pass as a run prints it: the radius line and the numbers of its iteration banners.
struct FilterPass {
  std::string radius;
  std::vector<int> banners;
};

std::vector<FilterPass> filterPasses(const std::string& out) {
  std::vector<FilterPass> passes;
  std::istringstream in(out);
  const std::string radius = " Filter particles,     radius = ", banner = "====================  iteration ";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(radius, 0) == 0) passes.push_back({line.substr(radius.size()), {}});
    if (line.rfind(banner, 0) == 0 && !passes.empty())
      passes.back().banners.push_back(std::stoi(line.substr(banner.size())));
  }
  return passes;
}

// A pass of at most `iterations` iterations (banners 1..k) and at most `gradient` gradient-descent
// iterations (banners k+2, k+3, ...: the filter skips one number between the two loops).
void expectIterations(const FilterPass& pass, int iterations, int gradient) {
  const std::vector<int>& b = pass.banners;
  std::size_t k = 0;
  while (k < b.size() && b[k] == int(k) + 1) ++k;
  EXPECT_GE(k, 1u);
  EXPECT_LE(k, std::size_t(iterations));
  ASSERT_LT(k, b.size()) << "no gradient-descent iterations";
  for (std::size_t i = k; i < b.size(); ++i) EXPECT_EQ(b[i], int(i) + 2) << i;
  EXPECT_LE(b.size() - k, std::size_t(gradient));
}

std::string printed(float f) {
  std::ostringstream ss;
  ss << f;
  return ss.str();
}

// Starts tessivar on `args` with its standard output on `out_fd` and its standard error in
// `err_file`; `setup` runs in the child before the program (limits, environment).
pid_t start(const std::vector<std::string>& args, int out_fd, const std::string& err_file,
            const std::function<void()>& setup = {}) {
  const std::string program = binary("tessivar");
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || dup2(out_fd, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    std::signal(SIGPIPE, SIG_DFL);  // as a shell starts a pipeline
    // The signals the tests send; a test run as a background job inherits INT and QUIT ignored.
    for (int sig : {SIGINT, SIGQUIT, SIGTERM}) std::signal(sig, SIG_DFL);
    setenv("OMP_NUM_THREADS", "1", 1);
    if (setup) setup();
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

TEST_F(EndToEnd, ARunReadsTheSceneAndWritesBothModels) {
  const Result r = tessivar({"-o", out(), "--depth-avg", "1.4", "--superpixels", "300", "--", cameras_[0], cameras_[1],
                             cameras_[2]});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  // The first line names the device, or on the host back end why no device is used.
  const std::string first = r.out.substr(0, r.out.find('\n'));
  EXPECT_EQ(first.rfind(tessivar_test::onGpu() ? "back end: CUDA, device 0: "
                                               : "back end: host (cudaGetDeviceCount ",
                        0),
            0u)
      << r.out;
  std::size_t pos = 0;
  for (const std::string& c : cameras_) {
    pos = r.out.find("Reading file " + c + "\n", pos);
    EXPECT_NE(pos, std::string::npos) << c;
  }
  EXPECT_NE(r.out.find("minimum depth = 0\n"), std::string::npos) << r.out;  // background holes
  EXPECT_NE(r.out.find("maximum depth = "), std::string::npos);

  // The two filter passes: the superpixel level with radius r * 9 * depth / fx and at most 50 + 50
  // iterations, the dense level with radius 5 * depth / fx, exactly 2 iterations (too few for the
  // step to shrink below its limit) and at most 10 gradient-descent ones.
  float fx = 0;
  std::ifstream(cameras_[0]) >> fx;
  const float r_sp = float(std::sqrt(double(float(160 * 120) / 300.0f) / M_PI));
  const std::vector<FilterPass> passes = filterPasses(r.out);
  ASSERT_EQ(passes.size(), 2u) << r.out;
  EXPECT_EQ(passes[0].radius, printed(r_sp * 9.0f * 1.4f / fx));
  EXPECT_EQ(passes[1].radius, printed((5.0f * 1.4f) / fx));
  expectIterations(passes[0], 50, 50);
  expectIterations(passes[1], 2, 10);
  ASSERT_GE(passes[1].banners.size(), 3u);
  EXPECT_EQ(passes[1].banners[1], 2);
  EXPECT_EQ(passes[1].banners[2], 4);

  std::vector<std::string> written;
  for (const auto& e : fs::directory_iterator(out())) written.push_back(e.path().filename());
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"model.ply", "model_superpixel.ply"}));
  readModel(out("/model_superpixel.ply"));
  readModel(out("/model.ply"));
}

TEST_F(EndToEnd, UsageAndOptionFailures) {
  Result r = tessivar({});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind("Usage: tessivar [options] -- camera_00 camera_01 ... \n", 0), 0u);

  r = tessivar({"-o", out(), "--depth-avg", "1", "--help", "--", cameras_[0], cameras_[1]});
  EXPECT_EQ(r.code, 0);
  EXPECT_FALSE(fs::exists(out()));  // help comes before the folder

  r = tessivar({"-o", out(), "--", cameras_[0], cameras_[1]});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err,
            "The following options are required:\n      --depth-avg \tThe average depth of the "
            "scene. This defines the radius of the smoothing kernel.\n");
  EXPECT_FALSE(fs::exists(out()));

  r = tessivar({"-o", out(), "--depth-avg", "1", "--beta", "1x", "--", cameras_[0], cameras_[1]});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Option '--beta' requires a numeric argument\n");

  r = tessivar({"-o", out(), "--depth-avg", "-1", "--", cameras_[0], cameras_[1]});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Option '--depth-avg' requires a finite number greater than 0\n");
  EXPECT_FALSE(fs::exists(out()));
}

// Warnings name what the run will not use and a --depth-avg far from the measured depth; the run
// goes on and succeeds.
TEST_F(EndToEnd, WarningsDoNotStopTheRun) {
  const Result r = tessivar({"-o", out(), "--depth-avg", "3", "--superpixels", "300", "--bogus",
                             "--", cameras_[0], cameras_[1], cameras_[2]});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.rfind("warning: option '--bogus' is not recognised and was ignored\n"
                        "warning: --depth-avg 3 is more than twice the mean depth of the "
                        "cameras' depth maps, 1.",
                        0),
            0u)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  EXPECT_GT(readModel(out("/model.ply")).vertices, 0);
}

TEST_F(EndToEnd, ARunThatMustUseTheGpuStopsWhenItWouldFallBackToTheHost) {
  const Result r = run("tessivar", {"-o", out(), "--depth-avg", "1", "--", cameras_[0], cameras_[1]},
                       scratch.path(), "CUDA_VISIBLE_DEVICES= TESSIVAR_REQUIRE_CUDA=1");
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err.rfind("TESSIVAR_REQUIRE_CUDA is set, but the CUDA back end is not available: "
                        "cudaGetDeviceCount failed: cudaError",
                        0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find("; CUDA_VISIBLE_DEVICES=\"\"\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(out("/model.ply")));
}

TEST_F(EndToEnd, CameraListFailures) {
  Result r = tessivar({"-o", out(), "--depth-avg", "1", "--", cameras_[0], scratch.file("nope"),
                       cameras_[2]});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "file \"" + scratch.file("nope") + "\" does not exist\n");
  EXPECT_EQ(r.out, "");  // nothing was read
  EXPECT_TRUE(fs::is_empty(out()));

  r = tessivar({"-o", out(), "--depth-avg", "1", "--", cameras_[0]});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "not enough files\n");
  // Without "--" the files are not read as cameras, and the warning says so.
  r = tessivar({"-o", out(), "--depth-avg", "1", cameras_[0], cameras_[1]});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "warning: options end at the first argument that is not an option, and no "
                   "'--' follows; 2 arguments were not read (camera files go after '--'): \"" +
                       cameras_[0] + "\" \"" + cameras_[1] + "\"\nnot enough files\n");
}

TEST_F(EndToEnd, FolderSceneAndModelFailuresNameTheirFiles) {
  std::ofstream(scratch.file("plain")) << "x";
  Result r = tessivar({"-o", scratch.file("plain/out"), "--depth-avg", "1", "--", cameras_[0],
                       cameras_[1]});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err.rfind("cannot create the output folder \"" + scratch.file("plain/out") + "\"", 0),
            0u)
      << r.err;

  // A depth map of another size than its colour image stops the run before any stage.
  std::string text = readFile(cameras_[1]);
  const std::string color1 = scene_->file("color_01.png");
  text.replace(text.find(color1), color1.size(), scratch.file("wide.png"));
  std::ofstream(scratch.file("cam.txt")) << text;
  {
    tessivar_test::TempDir tmp;
    ASSERT_EQ(run("make_scene", {"--out", tmp.path(), "--cameras", "1", "--width", "200",
                                 "--height", "120"},
                  scratch.path())
                  .code,
              0);
    fs::copy_file(tmp.file("color_00.png"), scratch.file("wide.png"));
  }
  r = tessivar({"-o", out(), "--depth-avg", "1", "--", cameras_[0], scratch.file("cam.txt")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("camera file \"" + scratch.file("cam.txt") + "\""), std::string::npos);
  EXPECT_NE(r.err.find("(160 x 120) and the colour image \"" + scratch.file("wide.png") +
                       "\" (200 x 120) differ in size"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(out("/model_superpixel.ply")));

  // A model that cannot be written is a failure, not a success.
  fs::create_directories(out("/model_superpixel.ply"));
  r = tessivar({"-o", out(), "--depth-avg", "1", "--superpixels", "300", "--", cameras_[0], cameras_[1]});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot write the model \"" + out() + "/model_superpixel.ply\""),
            std::string::npos)
      << r.err;
}

// What a run can know before its work starts stops it then, with the output folder unchanged.
TEST_F(EndToEnd, RefusedBeforeTheWork) {
  // A camera far from the others would push their points off the point grid.
  std::istringstream in(readFile(cameras_[2]));
  std::vector<std::string> tok;
  for (std::string t; in >> t;) tok.push_back(t);
  ASSERT_EQ(tok.size(), 25u);
  tok[18] = tok[19] = tok[20] = "1e30";
  std::ostringstream far;
  for (const std::string& t : tok) far << t << " ";
  std::ofstream(scratch.file("far.txt")) << far.str() << "\n";

  const std::vector<std::string> normal = {cameras_[0], cameras_[1]};
  struct Case {
    std::string name;  // folder under out()
    std::vector<std::string> cameras;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"model-folder", normal, "cannot write the model \"" + out("/model-folder") + "/model.ply\": it exists and is not a regular file\n"},
      {"model-fifo", normal, "cannot write the model \"" + out("/model-fifo") + "/model_superpixel.ply\": it exists and is not a regular file\n"},
      {"locked", normal, "the output folder \"" + out("/locked") +
                             "\" is locked by another process (another tessivar run?)\n"},
      {"far", {cameras_[0], cameras_[1], scratch.file("far.txt")}, "check_camera_set: camera file \"" + scratch.file("far.txt") + "\"\nhas its centre"},
  };
  fs::create_directories(out("/model-folder/model.ply"));
  fs::create_directories(out("/model-fifo"));
  ASSERT_EQ(mkfifo(out("/model-fifo/model_superpixel.ply").c_str(), 0644), 0);
  fs::create_directories(out("/locked"));
  const int lock = ::open(out("/locked").c_str(), O_RDONLY | O_DIRECTORY);  // a run in that folder
  ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-o", out("/" + c.name), "--depth-avg", "1.4", "--superpixels", "300", "--"};
    args.insert(args.end(), c.cameras.begin(), c.cameras.end());
    const Result r = tessivar(args);
    EXPECT_EQ(r.code, 1) << c.name;
    EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << c.name << "\n" << r.err;
    EXPECT_EQ(r.out.find("Filter particles"), std::string::npos) << c.name;
    EXPECT_FALSE(fs::is_regular_file(out("/" + c.name + "/model_superpixel.ply"))) << c.name;
  }
  ::close(lock);
}

// An empty model is written, valid, but the run fails and names the stage that emptied it.
TEST_F(EndToEnd, AnEmptyModelFailsTheRun) {
  const Result r = tessivar({"-o", out(), "--depth-avg", "1.4", "--superpixels", "300",
                             "--min-support", "3.4e38", "--", cameras_[0], cameras_[1],
                             cameras_[2]});
  EXPECT_EQ(r.code, 1);
  EXPECT_GT(readModel(out("/model_superpixel.ply")).vertices, 0);
  EXPECT_EQ(readModel(out("/model.ply")).vertices, 0);
  const std::string head = "the model \"" + out() + "/model.ply\" is empty: the first dense support test (--min-support 3.4e+38) removed all ";
  EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
  EXPECT_NE(r.err.find(" points that went into it.\nCheck the cameras (poses, intrinsics, depth maps), --depth-avg and the support options (--min-support-sp, --min-support).\n"),
            std::string::npos)
      << r.err;

  // The count is that of the points the stage was given: the superpixel points, as the filter
  // pass before it prints them.
  const Result sp = tessivar({"-o", out("/sp"), "--depth-avg", "1.4", "--superpixels", "300",
                              "--min-support-sp", "3.4e38", "--", cameras_[0], cameras_[1],
                              cameras_[2]});
  EXPECT_EQ(sp.code, 1);
  const std::string count_line = "                   #particles = ";
  const std::size_t at = sp.out.find(count_line);
  ASSERT_NE(at, std::string::npos) << sp.out;
  const std::string count = sp.out.substr(at + count_line.size(),
                                          sp.out.find('\n', at) - at - count_line.size());
  EXPECT_GT(std::stol(count), 0);
  EXPECT_EQ(sp.err.rfind("the model \"" + out("/sp") + "/model_superpixel.ply\" is empty: the "
                         "superpixel support test (--min-support-sp 3.4e+38) removed all " +
                             count + " points that went into it.\n",
                         0),
            0u)
      << sp.err;

  // Two cameras cannot pass the default support tests: the message says so, and only then.
  EXPECT_EQ(sp.err.find("With two cameras"), std::string::npos);
  const Result two = tessivar({"-o", out("/two"), "--depth-avg", "1.4", "--superpixels", "300", "--",
                               cameras_[0], cameras_[1]});
  EXPECT_EQ(two.code, 1);
  EXPECT_NE(two.err.find("--min-support).\nWith two cameras a point has one other camera to support it"),
            std::string::npos)
      << two.err;
  // ... not when the superpixel support test asks for no more than one camera can give.
  const Result low = tessivar({"-o", out("/low"), "--depth-avg", "1.4", "--superpixels", "300",
                               "--min-support-sp", "1", "--min-support", "3.4e38", "--", cameras_[0],
                               cameras_[1]});
  EXPECT_EQ(low.code, 1);
  EXPECT_EQ(low.err.find("With two cameras"), std::string::npos) << low.err;
}

// Progress text that cannot be written (a closed pipe, a killed tee) does not stop the run.
TEST_F(EndToEnd, ARunGoesOnWhenItsStandardOutputGoesAway) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ::close(fds[0]);  // no reader: every write fails
  const pid_t pid = start({"-o", out(), "--depth-avg", "1.4", "--superpixels", "300", "--",
                           cameras_[0], cameras_[1], cameras_[2]},
                          fds[1], scratch.file("stderr"));
  ::close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readFile(scratch.file("stderr")), "");
  EXPECT_GT(readModel(out("/model.ply")).vertices, 0);
  EXPECT_GT(readModel(out("/model_superpixel.ply")).vertices, 0);
}

// While a run works it holds its folder, so that no second run mixes models into it, and it has
// removed what a killed run left there; a signal that ends it during a model write leaves nothing.
TEST_F(EndToEnd, ARunHoldsItsFolderAndLeavesNoTemporaryFile) {
  fs::create_directories(out());
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const std::string stale = out("/model.ply.tmp-" + std::to_string(ended) + "-0");
  std::ofstream(stale) << "left by a killed run";

  const int log = ::open(scratch.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t pid = start({"-o", out(), "--depth-avg", "1.4", "--superpixels", "300", "--",
                           cameras_[0], cameras_[1], cameras_[2]},
                          log, scratch.file("stderr"), [] {
                            const rlimit no_core = {0, 0};
                            setrlimit(RLIMIT_CORE, &no_core);
                            setenv("TESSIVAR_TEST_SLOW_PLY_WRITE", "60", 1);
                          });
  ::close(log);
  const std::string tmp = out("/model_superpixel.ply.tmp-" + std::to_string(pid) + "-0");
  for (int i = 0; i < 6000 && !fs::exists(tmp); ++i) usleep(10000);
  ASSERT_TRUE(fs::exists(tmp)) << readFile(scratch.file("stderr"));

  EXPECT_FALSE(fs::exists(stale));
  const int folder = ::open(out().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(flock(folder, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  ::close(folder);

  kill(pid, SIGQUIT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << status;
  EXPECT_TRUE(fs::is_empty(out()));
}

// The models go into the folder the run locked, whatever becomes of its name: a folder renamed
// away during the run receives this run's models, and a new folder of the old name, with a run
// of its own, is left alone; the run says where its models went.
TEST_F(EndToEnd, ModelsGoToTheFolderTheRunLocked) {
  const std::vector<std::string> args = {"-o", out(), "--depth-avg", "1.4", "--superpixels", "300",
                                         "--", cameras_[0], cameras_[1], cameras_[2]};
  const int log = ::open("/dev/null", O_WRONLY);
  const pid_t a = start(args, log, scratch.file("a.err"),
                        [] { setenv("TESSIVAR_TEST_SLOW_PLY_WRITE", "1", 1); });
  ::close(log);
  const std::string tmp = out("/model_superpixel.ply.tmp-" + std::to_string(a) + "-0");
  for (int i = 0; i < 6000 && !fs::exists(tmp); ++i) usleep(10000);
  ASSERT_TRUE(fs::exists(tmp)) << readFile(scratch.file("a.err"));
  fs::rename(out(), out(".old"));
  const Result b = tessivar(args);
  ASSERT_EQ(b.code, 0) << b.err;
  struct stat b_sp, b_dense;
  ASSERT_EQ(::stat(out("/model_superpixel.ply").c_str(), &b_sp), 0);
  ASSERT_EQ(::stat(out("/model.ply").c_str(), &b_dense), 0);

  int status = 0;
  ASSERT_EQ(waitpid(a, &status, 0), a);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readFile(scratch.file("a.err")),
            "the output folder \"" + out() +
                "\" was moved or replaced during the run; its models are in \"" +
                fs::canonical(out(".old")).string() + "\"\n");
  // The same scene and options: the same models, each in its own folder.
  EXPECT_TRUE(readFile(out(".old/model_superpixel.ply")) == readFile(out("/model_superpixel.ply")));
  EXPECT_TRUE(readFile(out(".old/model.ply")) == readFile(out("/model.ply")));
  struct stat sp, dense;
  ASSERT_EQ(::stat(out("/model_superpixel.ply").c_str(), &sp), 0);
  ASSERT_EQ(::stat(out("/model.ply").c_str(), &dense), 0);
  EXPECT_EQ(sp.st_ino, b_sp.st_ino);
  EXPECT_EQ(dense.st_ino, b_dense.st_ino);
  EXPECT_EQ(std::distance(fs::directory_iterator(out()), fs::directory_iterator()), 2);
  EXPECT_EQ(std::distance(fs::directory_iterator(out(".old")), fs::directory_iterator()), 2);
}

// A run whose folder goes during the work fails and says so: a folder removed (and made again)
// during a model's write stops the run with the removal as the reason; a folder whose file system
// is unmounted takes the models, but no name reaches them and they go when the run ends. A
// symlink given as the folder leads to it, and nothing is said.
TEST_F(EndToEnd, AFolderThatNoNameReachesFailsTheRun) {
  const auto args = [&](const std::string& folder) {
    return std::vector<std::string>{"-o", folder, "--depth-avg", "1.4", "--superpixels", "300",
                                    "--", cameras_[0], cameras_[1], cameras_[2]};
  };
  fs::create_directory(out("-real"));
  fs::create_directory_symlink(out("-real"), out("-link"));
  const Result linked = tessivar(args(out("-link")));
  EXPECT_EQ(linked.code, 0) << linked.err;
  EXPECT_EQ(linked.err, "");
  EXPECT_GT(readModel(out("-real/model.ply")).vertices, 0);

  // Runs into `folder`, does `act` while the superpixel model is written; the exit status.
  const auto actDuringTheWrite = [&](const std::string& folder, const std::function<void()>& act) {
    const int log = ::open("/dev/null", O_WRONLY);
    const pid_t pid = start(args(folder), log, scratch.file("stderr"),
                            [] { setenv("TESSIVAR_TEST_SLOW_PLY_WRITE", "1", 1); });
    ::close(log);
    const std::string tmp = folder + "/model_superpixel.ply.tmp-" + std::to_string(pid) + "-0";
    for (int i = 0; i < 6000 && !fs::exists(tmp); ++i) usleep(10000);
    EXPECT_TRUE(fs::exists(tmp)) << readFile(scratch.file("stderr"));
    act();
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  };
  const std::string removed = out("-removed");
  int status = actDuringTheWrite(removed, [&] {
    fs::remove_all(removed);
    fs::create_directory(removed);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(readFile(scratch.file("stderr")),
            "writeParticlesToPLY: cannot write the model \"" + removed +
                "/model_superpixel.ply\"\nthe output folder was removed during the run\n");
  EXPECT_TRUE(fs::is_empty(removed));

  const std::string mnt = out("-mnt");
  fs::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, nullptr) != 0)
    GTEST_SKIP() << "mounting needs privileges: " << std::strerror(errno);
  status = actDuringTheWrite(mnt + "/out", [&] { ::umount2(mnt.c_str(), MNT_DETACH); });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(readFile(scratch.file("stderr")),
            "the output folder \"" + mnt +
                "/out\" was unmounted or hidden by another mount during the run: no name leads to "
                "it any more, and its models could not be kept\n");
}

// A model renamed into place is this run's model, even when the folder's flush after the rename
// fails: the run says that it was written, and lists it among the models it wrote.
TEST_F(EndToEnd, AModelInPlaceCountsAsWrittenWhenItsFolderCannotBeFlushed) {
  for (const int passing : {0, 1}) {
    SCOPED_TRACE(passing);
    const std::string folder = out("/" + std::to_string(passing));
    fs::create_directories(folder);
    std::ofstream(folder + "/model.ply") << "an earlier model";
    std::vector<std::string> args = {"tessivar", "-o", folder, "--depth-avg", "1.4",
                                     "--superpixels", "300", "--", cameras_[0], cameras_[1],
                                     cameras_[2]};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    folder_flushes_passing = passing;
    testing::internal::CaptureStdout();
    std::string what = "no error";
    try {
      run_tessivar(int(args.size()), argv.data());
    } catch (const std::exception& e) {
      what = e.what();
    }
    testing::internal::GetCapturedStdout();
    folder_flushes_passing = -1;
    const std::string model = passing == 0 ? "model_superpixel.ply" : "model.ply";
    EXPECT_EQ(what,
              "writeParticlesToPLY: the model \"" + folder + "/" + model +
                  "\" was written, but its folder could not be flushed to the disk "
                  "(Input/output error)\nthis run wrote: " +
                  (passing == 0 ? "model_superpixel.ply" : "model_superpixel.ply, model.ply"));
    EXPECT_GT(readModel(folder + "/" + model).vertices, 0);
  }
}

// A folder path of nearly PATH_MAX bytes takes the models (written relative to the open folder);
// a longer one stops the run before the work.
TEST_F(EndToEnd, ALongOutputPathWorksOrStopsTheRunAtOnce) {
  const auto deep = [&](std::size_t length) {
    std::string path = scratch.path();
    while (length - path.size() > 250) path += "/" + std::string(200, 'd');
    return path + "/" + std::string(length - path.size() - 1, 'e');
  };
  for (std::size_t length : {4063u, 4067u, 4100u}) {
    SCOPED_TRACE(length);
    const std::string folder = deep(length);
    ASSERT_EQ(folder.size(), length);
    const Result r = tessivar({"-o", folder, "--depth-avg", "1.4", "--superpixels", "300", "--",
                               cameras_[0], cameras_[1], cameras_[2]});
    if (length < 4096) {
      EXPECT_EQ(r.code, 0) << r.err;
      EXPECT_GT(readModel(folder + "/model_superpixel.ply").vertices, 0);
      EXPECT_GT(readModel(folder + "/model.ply").vertices, 0);
      fs::remove_all(scratch.file(std::string(200, 'd')));
    } else {
      EXPECT_EQ(r.code, 1);
      EXPECT_EQ(r.err, "cannot create the output folder \"" + folder + "\": File name too long\n");
      EXPECT_EQ(r.out.find("Reading file"), std::string::npos);
    }
  }
}

// A model that cannot be written says why, and the run says which models it wrote, so that an
// earlier run's model beside them is not taken for this run's.
TEST_F(EndToEnd, AFailedModelWriteSaysWhyAndWhatTheRunWrote) {
  std::vector<std::string> args = {"-o", out("/full"), "--depth-avg", "1.4", "--superpixels",
                                   "300", "--", cameras_[0], cameras_[1], cameras_[2]};
  ASSERT_EQ(tessivar(args).code, 0);
  const auto sp = fs::file_size(out("/full/model_superpixel.ply"));
  const auto dense = fs::file_size(out("/full/model.ply"));
  ASSERT_LT(sp, dense);
  args[1] = out("/limited");
  fs::create_directories(out("/limited"));
  std::ofstream(out("/limited/model.ply")) << "an earlier model";
  const int log = ::open("/dev/null", O_WRONLY);
  const rlim_t limit = (sp + dense) / 2;
  const pid_t pid = start(args, log, scratch.file("stderr"), [limit] {
    const rlimit rl = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
  });
  ::close(log);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  const std::string err = readFile(scratch.file("stderr"));
  EXPECT_EQ(err.rfind("writeParticlesToPLY: cannot write the model \"" +
                          out("/limited/model.ply") + "\"\n",
                      0),
            0u)
      << err;
  EXPECT_NE(err.find(" (File too large)\nthis run wrote: model_superpixel.ply\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(readFile(out("/limited/model.ply")), "an earlier model");
  EXPECT_TRUE(readFile(out("/limited/model_superpixel.ply")) ==
              readFile(out("/full/model_superpixel.ply")));
}

// A failed allocation names the stage and the camera it stopped. The address-space limit is
// raised step by step from where the program cannot even load to where the run completes; every
// run stopped in between reports where it stopped, and none reports a bare std::bad_alloc.
TEST_F(EndToEnd, OutOfMemoryNamesTheStageAndTheCamera) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator ends the process instead of throwing std::bad_alloc";
#endif
  // Exit status of tessivar ARGS under an address-space limit of kib KiB.
  const auto limited = [&](rlim_t kib, const std::vector<std::string>& args) {
    const int log = ::open("/dev/null", O_WRONLY);
    const pid_t pid = start(args, log, scratch.file("stderr"), [kib] {
      const rlimit rl = {kib << 10, kib << 10};
      setrlimit(RLIMIT_AS, &rl);
    });
    ::close(log);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
  };
  // The limits rise in small steps until the run gets through. Under the lowest ones the program
  // cannot load (the loader fails, or a library's initializer aborts before main), and --help
  // fails the same way; where --help runs, the run must end with exit code 0 or 1, never by a
  // signal. With one superpixel per camera, one cluster holds the whole image: the superpixel
  // step's own allocations are then the largest.
  const auto loads = [&](rlim_t kib) {
    const int status = limited(kib, {"--help"});
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  rlim_t lowest = 65536;  // where --help runs, to 128 KiB
  for (rlim_t fails = 1024; lowest - fails > 128;) {
    const rlim_t mid = (fails + lowest) / 2;
    (loads(mid) ? lowest : fails) = mid;
  }
  int named = 0;
  for (const std::string count : {"300", "1"}) {
    for (rlim_t kib = lowest; kib <= 65536; kib += 128) {
      SCOPED_TRACE(testing::Message() << count << " superpixels, " << kib << " KiB");
      fs::remove_all(out());
      const int status = limited(kib, {"-o", out(), "--depth-avg", "1.4", "--superpixels", count,
                                       "--", cameras_[0], cameras_[1], cameras_[2]});
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) break;
      const std::string err = readFile(scratch.file("stderr"));
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) {
        if (loads(kib)) ADD_FAILURE() << "loaded, but ended with status " << status << ":\n" << err;
        continue;
      }
      EXPECT_EQ(err.find("std::bad_alloc"), std::string::npos) << err;
      if (err.find(" is empty: ") != std::string::npos) break;  // through, to no model
      if (err.rfind("out of memory while ", 0) != 0) continue;  // a reader's own report
      ++named;
      const std::size_t camera = err.find(" of camera ");
      if (camera == std::string::npos) continue;  // a stage of all cameras
      const std::size_t index = std::stoul(err.substr(camera + 11));
      ASSERT_LT(index, cameras_.size()) << err;
      EXPECT_NE(err.find(" of camera " + std::to_string(index) + " (" + cameras_[index] + ")\n"),
                std::string::npos)
          << err;
    }
  }
  if (named == 0) GTEST_SKIP() << "no limit stopped the run in a stage";
}

TEST_F(EndToEnd, SmallStacksAreRaisedOrRefused) {
  // The threads would take their stacks from `ulimit -s`, too small for the point passes: a run
  // raises them where the hard limit lets it (64 KiB is enough for its first thread), and is
  // refused, before it makes the output folder, where it does not.
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's red zones take several times the stack: only the refusal is the same.
  const std::vector<rlim_t> hard_limits = {rlim_t(40 << 10)};
#else
  const std::vector<rlim_t> hard_limits = {rlim_t(64 << 10), rlim_t(40 << 10)};
#endif
  for (const rlim_t hard : hard_limits) {
    for (const char* threads : {"2", "8"}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, hard limit " << hard);
      fs::remove_all(out());
      const int log = ::open("/dev/null", O_WRONLY);
      const pid_t pid = start({"-o", out(), "--depth-avg", "1.4", "--superpixels", "300", "--",
                               cameras_[0], cameras_[1], cameras_[2]},
                              log, scratch.file("stderr"), [threads, hard] {
                                setenv("OMP_NUM_THREADS", threads, 1);
                                unsetenv("OMP_STACKSIZE");
                                unsetenv("GOMP_STACKSIZE");
                                const rlimit rl = {24 << 10, hard};
                                setrlimit(RLIMIT_STACK, &rl);
                              });
      ::close(log);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      const std::string err = readFile(scratch.file("stderr"));
      ASSERT_TRUE(WIFEXITED(status)) << status << ": " << err;
      if (hard == rlim_t(64 << 10)) {
        EXPECT_EQ(WEXITSTATUS(status), 0) << err;
      } else {
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(err, "the stack limit (ulimit -s) is 40 KiB; a run needs 48 KiB or more\n");
        EXPECT_FALSE(fs::exists(out()));
      }
    }
  }
}

TEST_F(EndToEnd, StartedByAnotherProgramARunKeepsItsArguments) {
  // /proc/self/exe is then the loader or the tool, which a restart through it would run with the
  // program's arguments. Without a wait policy the program would restart.
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  if (!fs::exists(loader)) GTEST_SKIP() << "no " << loader;
  const std::vector<std::string> args = {"-o", out(), "--depth-avg", "1.4", "--superpixels",
                                         "300", "--", cameras_[0], cameras_[1], cameras_[2]};
  Result r = run("tessivar", args, scratch.path(), "env -u OMP_WAIT_POLICY " + loader);
  EXPECT_EQ(r.code, 0) << r.err;
  for (const char* model : {"/model.ply", "/model_superpixel.ply"})
    EXPECT_GT(readModel(out(model)).vertices, 0) << model;
#if defined(__SANITIZE_ADDRESS__)
  return;  // valgrind cannot run a program built with AddressSanitizer
#endif
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) return;
  r = run("tessivar", {"--help"}, scratch.path(), "env -u OMP_WAIT_POLICY valgrind -q --tool=none");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Usage: tessivar ", 0), 0u) << r.out;
}

TEST_F(EndToEnd, InvalidOpenmpVariablesAreRefusedOnce) {
  // The OpenMP runtime would say so itself in each process of the restart and go on.
  const std::string stack = "\" is not a stack size (a number of KiB, or one with a unit: 512K, "
                            "4M, 1G; at least 16 KiB)\n";
  const std::string threads = "\" is not a number of threads (a whole number from 1 to "
                              "2147483647, or a list of them for nested levels: 8,2)\n";
  for (const auto& [setting, err] :
       std::vector<std::pair<std::string, std::string>>{
           {"OMP_STACKSIZE=-5b", "OMP_STACKSIZE=\"-5b" + stack},
           {"OMP_STACKSIZE=", "OMP_STACKSIZE=\"" + stack},
           {"OMP_NUM_THREADS=0", "OMP_NUM_THREADS=\"0" + threads}}) {
    const Result r = run("tessivar", {"-o", out(), "--depth-avg", "1.4", "--", cameras_[0],
                                      cameras_[1], cameras_[2]},
                         scratch.path(), "env -u OMP_WAIT_POLICY " + setting);
    EXPECT_EQ(r.code, 1) << setting;
    EXPECT_EQ(r.err, err);
    EXPECT_FALSE(fs::exists(out())) << setting;
  }
}

// ---- The scene generator ----------------------------------------------------------------------

struct Point {
  float x, y, z;
};

std::vector<Point> readGroundTruth(const std::string& path) {
  const std::string text = readFile(path);
  const std::size_t h = text.find("end_header\n");
  EXPECT_NE(h, std::string::npos);
  const std::size_t count = std::stoul(text.substr(text.find("element vertex ") + 15));
  const std::string body = text.substr(h + 11);
  EXPECT_EQ(body.size(), count * 27);  // six floats and three bytes
  std::vector<Point> pts(count);
  for (std::size_t i = 0; i < count; ++i) std::memcpy(&pts[i], body.data() + 27 * i, 12);
  return pts;
}

// Nearest-sample distances through a uniform hash grid.
class NearestSample {
 public:
  explicit NearestSample(const std::vector<Point>& pts, float cell) : pts_(pts), cell_(cell) {
    for (std::size_t i = 0; i < pts.size(); ++i) grid_[key(cellOf(pts[i]))].push_back(i);
  }
  float distance(const Point& p) const {
    const auto c = cellOf(p);
    float best = 1e30f;
    for (int dx = -1; dx <= 1; ++dx)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dz = -1; dz <= 1; ++dz) {
          auto it = grid_.find(key({c[0] + dx, c[1] + dy, c[2] + dz}));
          if (it == grid_.end()) continue;
          for (std::size_t i : it->second) {
            const float ex = pts_[i].x - p.x, ey = pts_[i].y - p.y, ez = pts_[i].z - p.z;
            best = std::min(best, ex * ex + ey * ey + ez * ez);
          }
        }
    return std::sqrt(best);
  }

 private:
  const std::vector<Point>& pts_;
  float cell_;
  std::unordered_map<long long, std::vector<std::size_t>> grid_;
  std::array<int, 3> cellOf(const Point& p) const {
    return {int(std::floor(p.x / cell_)), int(std::floor(p.y / cell_)), int(std::floor(p.z / cell_))};
  }
  static long long key(std::array<int, 3> c) {
    return ((long long)(c[0] + 100000) * 200000 + (c[1] + 100000)) * 200000 + (c[2] + 100000);
  }
};

TEST_F(EndToEnd, GeneratedDepthBackProjectedThroughTheCameraFilesLiesOnTheGroundTruth) {
  const std::vector<Point> truth = readGroundTruth(scene_->file("ground_truth.ply"));
  ASSERT_GT(truth.size(), 10000u);
  const NearestSample nearest(truth, 0.01f);
  for (int i = 0; i < 3; ++i) {
    Camera cam;
    CMatrix<float> depth;
    testing::internal::CaptureStdout();
    read_camera_file(cameras_[i], i, cam, depth);
    testing::internal::GetCapturedStdout();
    const float fx = cam.K[0], fy = cam.K[4], cx = cam.K[6], cy = cam.K[7];
    int valid = 0, far = 0;
    double sum = 0;
    for (int y = 0; y < cam.height; ++y)
      for (int x = 0; x < cam.width; ++x) {
        const float z = depth.data[y * cam.width + x];
        if (z == 0.0f) continue;
        // Mirrored pixel coordinates against the mirrored principal point.
        const float xm = float(cam.width - 1 - x), ym = float(cam.height - 1 - y);
        const float c[3] = {(xm - cx) / fx * z - cam.t.x, (ym - cy) / fy * z - cam.t.y,
                            z - cam.t.z};
        Point w{};  // R^T (X_cam - t), R stored column by column
        w.x = cam.R[0] * c[0] + cam.R[1] * c[1] + cam.R[2] * c[2];
        w.y = cam.R[3] * c[0] + cam.R[4] * c[1] + cam.R[5] * c[2];
        w.z = cam.R[6] * c[0] + cam.R[7] * c[1] + cam.R[8] * c[2];
        const float d = nearest.distance(w);
        ++valid;
        sum += d;
        if (d > 0.006f) ++far;
      }
    EXPECT_GT(valid, cam.width * cam.height / 2) << i;
    EXPECT_LT(sum / valid, 0.002) << i;
    EXPECT_LE(far, valid / 1000) << "camera " << i;
  }
}

TEST_F(EndToEnd, GeneratorNoiseAndDropoutsAreSeededAndRefused) {
  tessivar_test::TempDir a, b;
  const std::vector<std::string> args = {"--cameras", "1", "--width", "64", "--height", "48",
                                         "--noise", "0.01", "--dropout", "0.3", "--seed", "7",
                                         "--gt-spacing", "0.05"};
  std::vector<std::string> args_a = {"--out", a.path()}, args_b = {"--out", b.path()};
  args_a.insert(args_a.end(), args.begin(), args.end());
  args_b.insert(args_b.end(), args.begin(), args.end());
  ASSERT_EQ(run("make_scene", args_a, scratch.path()).code, 0);
  ASSERT_EQ(run("make_scene", args_b, scratch.path()).code, 0);
  EXPECT_EQ(readFile(a.file("depth_00.png")), readFile(b.file("depth_00.png")));

  const Result r = run("make_scene", {"--out", a.path(), "--dropout", "2"}, scratch.path());
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err.rfind("make_scene: --dropout needs a number from 0 to 1, not '2'\n", 0), 0u)
      << r.err;
}

// On a full circle the N cameras stand 360/N apart, the last one short of the first's place.
TEST_F(EndToEnd, GeneratorFullCircleHasADistinctPlacePerCamera) {
  tessivar_test::TempDir a;
  ASSERT_EQ(run("make_scene", {"--out", a.path(), "--cameras", "4", "--arc", "360", "--width", "16",
                               "--height", "12", "--gt-spacing", "0.05"},
                scratch.path())
                .code,
            0);
  std::vector<std::array<double, 3>> rows;  // first rows of R: a level axis turning with the camera
  for (int i = 0; i < 4; ++i) {
    std::istringstream in(readFile(a.file("camera_0" + std::to_string(i) + ".txt")));
    std::string line;
    for (int k = 0; k < 4; ++k) std::getline(in, line);
    std::array<double, 3> r{};
    std::istringstream(line) >> r[0] >> r[1] >> r[2];
    rows.push_back(r);
  }
  for (int i = 0; i < 4; ++i) {
    const auto& p = rows[i];
    const auto& q = rows[(i + 1) % 4];
    EXPECT_NEAR(p[0] * q[0] + p[1] * q[1] + p[2] * q[2], 0.0, 1e-6) << i;  // 90 degrees apart
  }
}

// Every float of every vertex (position, normal, footprint) of a model is finite.
void expectFiniteVertices(const std::string& path) {
  const Model m = readModel(path);
  ASSERT_GE(m.vertices, 0) << path;
  for (long v = 0; v < m.vertices; ++v) {
    const char* r = m.body.data() + v * 31;
    float f[7];
    std::memcpy(f, r, 24);
    std::memcpy(f + 6, r + 27, 4);
    for (float x : f) ASSERT_TRUE(std::isfinite(x)) << path << " vertex " << v;
  }
}

TEST_F(EndToEnd, DegenerateDepthMapsAndALoneCameraGiveValidModels) {
  // Both models are written and valid; a run that leaves one empty fails and says so.
  const auto fuse = [&](const std::vector<std::string>& cams, const std::string& name) {
    std::vector<std::string> args = {"-o", out(name), "--depth-avg", "1.4", "--superpixels", "200", "--"};
    args.insert(args.end(), cams.begin(), cams.end());
    const Result r = tessivar(args);
    expectFiniteVertices(out(name + "/model_superpixel.ply"));
    expectFiniteVertices(out(name + "/model.ply"));
    const bool empty = readModel(out(name + "/model_superpixel.ply")).vertices == 0 ||
                       readModel(out(name + "/model.ply")).vertices == 0;
    EXPECT_EQ(r.code, empty ? 1 : 0) << name << "\n" << r.out << r.err;
    EXPECT_EQ(r.err.find("\" is empty: ") != std::string::npos, empty) << name << "\n" << r.err;
    return r;
  };
  // Depth maps without a single depth.
  {
    tessivar_test::TempDir empty;
    ASSERT_EQ(run("make_scene", {"--out", empty.path(), "--cameras", "2", "--width", "80", "--height",
                                 "60", "--dropout", "1", "--gt-spacing", "0.05"},
                  scratch.path())
                  .code,
              0);
    EXPECT_EQ(fuse({empty.file("camera_00.txt"), empty.file("camera_01.txt")}, "zeros").err,
              "the model \"" + out("zeros") + "/model_superpixel.ply\" is empty: no point was made "
              "from the superpixels.\nCheck the cameras (poses, intrinsics, depth maps), "
              "--depth-avg and the support options (--min-support-sp, --min-support).\n"
              "With two cameras a point has one other camera to support it, which covers it about "
              "once, and --min-support-sp 2 asks for more. Add cameras that see the same places, "
              "or lower the support options (for example --min-support-sp 0.5 --min-support 1).\n");
    EXPECT_EQ(readModel(out("zeros/model_superpixel.ply")).vertices, 0);
    EXPECT_EQ(readModel(out("zeros/model.ply")).vertices, 0);
  }
  // Every depth the same (1.5 m): a flat wall in front of each camera.
  std::vector<std::string> flat;
  for (int i = 0; i < 3; ++i) {
    const std::string depth = scratch.file("flat_" + std::to_string(i) + ".png");
    std::vector<std::vector<unsigned char>> rows(120, std::vector<unsigned char>(160 * 2));
    for (auto& row : rows)
      for (std::size_t x = 0; x < row.size(); x += 2) row[x] = 0x05, row[x + 1] = 0xdc;  // 1500
    png_test::writeRaw(depth, 160, 120, PNG_COLOR_TYPE_GRAY, 16, rows);
    std::string text = readFile(cameras_[i]);
    const std::string original = scene_->file("depth_0" + std::to_string(i) + ".png");
    text.replace(text.find(original), original.size(), depth);
    flat.push_back(scratch.file("flat_" + std::to_string(i) + ".txt"));
    std::ofstream(flat.back()) << text;
  }
  fuse(flat, "flat");
  // The last camera turned half round about its own y axis: it sees nothing the others see.
  {
    std::istringstream in(readFile(cameras_[2]));
    std::vector<std::string> tok;
    for (std::string t; in >> t;) tok.push_back(t);
    ASSERT_EQ(tok.size(), 25u);
    std::ostringstream text;
    for (int k = 0; k < 9; ++k) text << tok[k] << " ";
    for (int k = 9; k < 21; ++k) {  // rows 0 and 2 of R, and t.x, t.z, change sign
      const int row = k < 18 ? (k - 9) / 3 : k - 18;
      text << (row == 1 ? std::stod(tok[k]) : -std::stod(tok[k])) << " ";
    }
    for (int k = 21; k < 25; ++k) text << tok[k] << " ";
    std::ofstream(scratch.file("away.txt")) << text.str() << "\n";
  }
  fuse({cameras_[0], cameras_[1], scratch.file("away.txt")}, "away");
}

}  // namespace
