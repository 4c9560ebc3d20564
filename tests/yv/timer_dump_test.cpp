// The named timer's tables and the array dump files.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "yv/tools/alloc.h"
#include "yv/tools/copy.h"
#include "yv/tools/dump.h"
#include "yv/tools/timer.h"

namespace {

std::string captureTable(const std::string& name, yv::timer::Format f, yv::timer::Sorting s, bool asc) {
  testing::internal::CaptureStdout();
  yv::timer::printToScreen(name, f, s, asc);
  return testing::internal::GetCapturedStdout();
}

class Timer : public testing::Test {
 protected:
  void SetUp() override { yv::timer::clear(); }
  void TearDown() override { yv::timer::clear(); }
  // Gives a timer a known total without waiting.
  void make(const std::string& name, float ms) {
    yv::timer::start(name);
    yv::timer::stop(name);
    yv::timer::elapsedTime(name) = ms;
  }
};

TEST_F(Timer, FormatsOfTheTimeText) {
  EXPECT_EQ(yv::timer::formatTime(yv::timer::SECONDS, 1234.5678f), "       1.235 sec");
  EXPECT_EQ(yv::timer::formatTime(yv::timer::HMS, 3725000.f), "           1:2:5");
  EXPECT_EQ(yv::timer::formatTime(yv::timer::AUTO_EACH, 1000.f), "       1.000 sec");
  EXPECT_EQ(yv::timer::formatTime(yv::timer::AUTO_EACH, 999.9f), "     999.900 msec");
  EXPECT_EQ(yv::timer::formatTime(yv::timer::HOURS, 5400000.f), "       1.500 h");
  EXPECT_EQ(yv::timer::formatTime(42, 2.f), "       2.000 msec");
}

TEST_F(Timer, CommonAndEachUnitTables) {
  make("a", 500.f);
  make("abc", 90000.f);
  EXPECT_EQ(captureTable("", yv::timer::AUTO_COMMON, yv::timer::BY_NAME, true),
            "   a       0.008 min\n abc       1.500 min\n");
  EXPECT_EQ(captureTable("", yv::timer::AUTO_EACH, yv::timer::BY_NAME, true),
            "   a     500.000 msec\n abc       1.500 min\n");
  EXPECT_EQ(captureTable("abc", yv::timer::MILLISECONDS, yv::timer::BY_NAME, true),
            " abc   90000.000 msec\n");
  EXPECT_EQ(captureTable("none", yv::timer::MILLISECONDS, yv::timer::BY_NAME, true), "");
}

TEST_F(Timer, OrdersByNameAndTimeWithTiesInNameOrder) {
  make("b", 2.f);
  make("a", 2.f);
  make("c", 1.f);
  auto names = [](const std::string& table) {
    std::string out;
    std::istringstream is(table);
    std::string name, rest;
    while (is >> name && std::getline(is, rest)) out += name;
    return out;
  };
  EXPECT_EQ(names(captureTable("", yv::timer::MILLISECONDS, yv::timer::BY_NAME, false)), "cba");
  EXPECT_EQ(names(captureTable("", yv::timer::MILLISECONDS, yv::timer::BY_TIME, true)), "cab");
  EXPECT_EQ(names(captureTable("", yv::timer::MILLISECONDS, yv::timer::BY_TIME, false)), "abc");
}

TEST_F(Timer, StartStopResetSemantics) {
  yv::timer::stop("ghost");
  yv::timer::reset("ghost");
  EXPECT_EQ(captureTable("", yv::timer::MILLISECONDS, yv::timer::BY_NAME, true), "");
  EXPECT_FALSE(yv::timer::isRunning("ghost"));
  yv::timer::elapsedTime("ghost") = 7.f;  // writes into the shared zero must not stick
  EXPECT_EQ(yv::timer::elapsedTime("ghost"), 0.f);

  yv::timer::start("t");
  EXPECT_TRUE(yv::timer::isRunning("t"));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  yv::timer::start("t");  // a running timer keeps its first start
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  yv::timer::stop("t");
  EXPECT_FALSE(yv::timer::isRunning("t"));
  // One interval from the first start: 70 ms slept, where a restart gives about 10. A GPU that
  // other processes share may stamp the start event late, so there the bound has 35 ms of slack.
  EXPECT_GE(yv::timer::elapsedTime("t"), tessivar_test::onGpu() ? 35.f : 65.f);
  yv::timer::elapsedTime("t") = 100.f;
  yv::timer::start("t");
  yv::timer::reset("t");
  EXPECT_TRUE(yv::timer::isRunning("t"));
  EXPECT_EQ(yv::timer::elapsedTime("t"), 0.f);
}

TEST_F(Timer, PrintToFileTruncates) {
  tessivar_test::TempDir dir;
  const std::string f = dir.file("t.txt");
  { std::ofstream(f) << "old contents\n"; }
  make("x", 3.f);
  yv::timer::printToFile(f, "nothing", yv::timer::MILLISECONDS, yv::timer::BY_NAME, true);
  std::ifstream in(f);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "");
  yv::timer::printToFile(f, "", yv::timer::MILLISECONDS, yv::timer::BY_NAME, true);
  std::ifstream in2(f);
  std::string all2((std::istreambuf_iterator<char>(in2)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all2, " x       3.000 msec\n");
}

std::string slurp(const std::string& f) {
  std::ifstream in(f, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Dump, DeviceArrayWritesRawFloatsAndSideLine) {
  tessivar_test::AllocationGuard guard;
  tessivar_test::TempDir dir;
  std::vector<float> v(640 * 480);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = float(i) * 0.25f;
  auto dev = yv::mallocDeviceArray<float>(make_uint4(640, 480, 1, 1), yv::PITCHED);
  auto d2 = yv::internal::decreaseArrayDimension<float, 4, 2>(dev);
  auto h2 = yv::arrayFromHostMemory<float>(v.data(), 640, 480);
  yv::arrayCopy(d2, h2);
  const std::string f = dir.file("depth.dat");
  { std::ofstream(f) << "this will be replaced by a longer file"; }
  testing::internal::CaptureStdout();
  yv::writeArrayToFile(d2, f);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "(640, 480, 1, 1) [1.17188 MB] written to " + f + "\n");
  std::string raw = slurp(f);
  ASSERT_EQ(raw.size(), 1228800u);
  EXPECT_EQ(0, std::memcmp(raw.data(), v.data(), raw.size()));
  EXPECT_EQ(slurp(f + ".yvinfo"), "640 480 1 1 2 32 0 0 0\n");
  yv::releaseArray(dev);
}

TEST(Dump, HostViewWithGapsIsWrittenPackedAndMissingFolderIsReported) {
  tessivar_test::TempDir dir;
  std::vector<float> v = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 4 x 3
  yv::Array<float, 3> view{v.data() + 1, make_uint3(4, 16, 48), make_uint3(2, 3, 1), -1};
  testing::internal::CaptureStdout();
  yv::writeArrayToFile(view, dir.file("v.dat"));
  testing::internal::GetCapturedStdout();
  std::string raw = slurp(dir.file("v.dat"));
  ASSERT_EQ(raw.size(), 24u);
  std::vector<float> got(6);
  std::memcpy(got.data(), raw.data(), 24);
  EXPECT_EQ(got, (std::vector<float>{2, 3, 6, 7, 10, 11}));
  EXPECT_EQ(slurp(dir.file("v.dat.yvinfo")), "2 3 1 1 2 32 0 0 0\n");

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  yv::writeArrayToFile(view, dir.file("missing/v.dat"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot write"), std::string::npos);
}

}  // namespace
