#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "command_line.h"
#include "settings.h"
#include "support/test_support.h"
#include "test_files.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const char* const kDepthHelp =
    "      --depth-avg \tThe average depth of the scene. This defines the radius of the "
    "smoothing kernel.\n";
const char* const kOutHelp = "  -o, --out-dir \tThe output directory.\n";

struct Outcome {
  CommandLine result;
  std::string out, err;
};

// Runs the command-line steps on "tessivar" + args with fresh settings.
class CommandLineTest : public testing::Test {
 protected:
  void SetUp() override { resetSettings(); }
  void TearDown() override { resetSettings(); }

  static void resetSettings() { reset_option_settings(); }

  static Outcome run(std::initializer_list<const char*> args) {
    std::vector<std::string> storage = {"tessivar"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    Outcome o;
    CaptureStdout();
    CaptureStderr();
    o.result = process_command_line(int(storage.size()), argv.data());
    std::cout.flush();
    o.err = GetCapturedStderr();
    o.out = GetCapturedStdout();
    return o;
  }
};

TEST_F(CommandLineTest, EveryFormOfTheOutputOptionSetsTheFolder) {
  for (auto form : std::vector<std::vector<const char*>>{{"-o", "dir"},
                                                         {"-odir"},
                                                         {"--out-dir", "dir"},
                                                         {"--out-dir=dir"}}) {
    output_directory.clear();
    Outcome o = form.size() == 2 ? run({form[0], form[1], "--depth-avg", "2"})
                                 : run({form[0], "--depth-avg", "2"});
    EXPECT_TRUE(o.result.run) << form[0];
    EXPECT_EQ(output_directory, "dir") << form[0];
    EXPECT_EQ(o.err, "");
  }
}

TEST_F(CommandLineTest, OptionsSetTheirSettingsAndTheFirstOccurrenceCounts) {
  Outcome o = run({"-o", "first", "--depth-avg", "1.5", "--alpha-sp", "0.25", "--beta-sp=3",
                   "--alpha", "0.5", "--beta", "4", "--min-support-sp", "1", "--min-support",
                   "6", "--superpixels", "1200", "-o", "second", "--depth-avg=9", "--", "a"});
  ASSERT_TRUE(o.result.run);
  EXPECT_EQ(output_directory, "first");
  EXPECT_EQ(average_depth, 1.5f);
  EXPECT_EQ(alpha_sp, 0.25f);
  EXPECT_EQ(beta_sp, 3.0f);
  EXPECT_EQ(alpha, 0.5f);
  EXPECT_EQ(beta, 4.0f);
  EXPECT_EQ(min_support_sp, 1.0f);
  EXPECT_EQ(min_support, 6.0f);
  EXPECT_EQ(superpixel_count, 1200);

  // Options not given take the built-in values, whatever an earlier command line set.
  ASSERT_TRUE(run({"-o", "d", "--depth-avg", "2"}).result.run);
  EXPECT_EQ(alpha, 0.001f);
  EXPECT_EQ(superpixel_count, 5000);
}

TEST_F(CommandLineTest, BadArgumentsEndTheRunWithTheirMessages) {
  Outcome o = run({"--depth-avg=abc", "-o", "d"});
  EXPECT_FALSE(o.result.run);
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.err, "Option '--depth-avg' requires a numeric argument\n");

  o = run({"--depth-avg=", "-o", "d"});
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.err, "Option '--depth-avg' requires a non-empty argument\n");

  o = run({"-o"});
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.err, "Option 'o' requires a non-empty argument\n");

  o = run({"--superpixels", "12x", "-o", "d", "--depth-avg", "1"});
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.err, "Option '--superpixels' requires a numeric argument\n");

  // The parse result is tested before --help.
  o = run({"--help", "--alpha", "x"});
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.out, "");
}

TEST_F(CommandLineTest, BlanksAroundNumbers) {
  EXPECT_TRUE(run({"-o", "d", "--depth-avg", " 2.5"}).result.run);
  EXPECT_EQ(average_depth, 2.5f);
  Outcome o = run({"-o", "d", "--depth-avg", "2.5 "});
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.err, "Option '--depth-avg' requires a numeric argument\n");
}

TEST_F(CommandLineTest, HelpOrNoArgumentsPrintTheUsageAndSucceed) {
  Outcome none = run({});
  EXPECT_FALSE(none.result.run);
  EXPECT_EQ(none.result.exit_code, 0);
  EXPECT_EQ(none.out.rfind("Usage: tessivar [options] -- camera_00 camera_01 ... \n\n", 0), 0u);
  EXPECT_EQ(none.err, "");

  Outcome help = run({"--alpha", "1", "-h"});  // required options missing: help still wins
  EXPECT_EQ(help.result.exit_code, 0);
  EXPECT_EQ(help.out, none.out);
  EXPECT_EQ(output_directory, "");
}

TEST_F(CommandLineTest, MissingRequiredOptionsAreListedAndFail) {
  Outcome o = run({"-o", "out"});
  EXPECT_FALSE(o.result.run);
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.err, std::string("The following options are required:\n") + kDepthHelp);

  o = run({"--alpha", "2"});
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.err, std::string("The following options are required:\n") + kDepthHelp + kOutHelp);
  EXPECT_EQ(output_directory, "");
}

TEST_F(CommandLineTest, UnknownOptionsAreAcceptedWithoutTakingAnArgument) {
  Outcome o = run({"--foo", "-x", "-o", "d", "--depth-avg", "1"});
  EXPECT_TRUE(o.result.run);
  EXPECT_EQ(output_directory, "d");
  // --foo leaves "bar" alone; as a non-option it ends the options.
  o = run({"--foo", "bar", "-o", "d", "--depth-avg", "1"});
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_NE(o.err.find("The following options are required:\n"), std::string::npos) << o.err;
}

// The parser's rules stay (unknown options are ignored, parsing ends at the first argument that
// is not an option), but what they leave unused is named on standard error; nothing else changes.
TEST_F(CommandLineTest, UnrecognisedOptionsAndUnreadArgumentsAreNamed) {
  const std::string unread = "warning: options end at the first argument that is not an option; ";
  Outcome o = run({"-o", "out", "--depth-avg", "1.38", "--bogus", "3", "--superpixels", "1000",
                   "--", "a", "b"});
  EXPECT_TRUE(o.result.run);
  EXPECT_EQ(superpixel_count, 5000);
  EXPECT_EQ(o.err, "warning: option '--bogus' is not recognised and was ignored\n" + unread +
                       "3 arguments before '--' were not read: \"3\" \"--superpixels\" \"1000\"\n");

  // Near names are suggested: a typo, a prefix of one name, the nearest of two it begins.
  o = run({"--superpixel", "300", "-o", "out", "--depth-avg", "1", "--", "a"});
  EXPECT_EQ(o.result.exit_code, 1);
  EXPECT_EQ(o.err.rfind("warning: option '--superpixel' is not recognised and was ignored; did you "
                        "mean '--superpixels'?\n" +
                            unread + "5 arguments before '--' were not read: \"300\" \"-o\"",
                        0),
            0u)
      << o.err;
  o = run({"--depth_avg=1", "--out", "-x", "--bet", "--zzz", "-o", "d", "--depth-avg", "1"});
  EXPECT_TRUE(o.result.run);
  EXPECT_EQ(o.err,
            "warning: option '--depth_avg' is not recognised and was ignored; did you mean "
            "'--depth-avg'?\n"
            "warning: option '--out' is not recognised and was ignored; did you mean '--out-dir'?\n"
            "warning: option '-x' is not recognised and was ignored\n"
            "warning: option '--bet' is not recognised and was ignored; did you mean '--beta'?\n"
            "warning: option '--zzz' is not recognised and was ignored\n");
  // Two edits away is near, three are not; a prefix of two names none of which is within two
  // edits (min-support 4, min-support-sp 7) gets no suggestion.
  o = run({"--depht-avg=1", "--dpeht-avg=1", "--min-sup", "-o", "d", "--depth-avg", "1"});
  EXPECT_TRUE(o.result.run);
  EXPECT_EQ(o.err,
            "warning: option '--depht-avg' is not recognised and was ignored; did you mean "
            "'--depth-avg'?\n"
            "warning: option '--dpeht-avg' is not recognised and was ignored\n"
            "warning: option '--min-sup' is not recognised and was ignored\n");

  // Without "--" the camera files are among the unread arguments.
  o = run({"-o", "d", "--depth-avg", "1", "a.txt"});
  EXPECT_TRUE(o.result.run);
  EXPECT_EQ(o.err, "warning: options end at the first argument that is not an option, and no "
                   "'--' follows; 1 argument was not read (camera files go after '--'): "
                   "\"a.txt\"\n");

  // Words are escaped and cut, long lists cut short; help and its exit code stay.
  const std::string long_word(70, 'w');
  o = run({"-h", "--\x1b]0;t\x07", "-xxxxxxxxxxxx", "-", long_word.c_str(), "2", "3", "4", "5",
           "6", "7", "8", "9", "10", "11", "--", "a"});
  EXPECT_EQ(o.result.exit_code, 0);
  EXPECT_EQ(o.out.rfind("Usage: tessivar", 0), 0u);
  std::string expected = "warning: option '--\\x1b]0;t\\x07' is not recognised and was ignored\n";
  for (int i = 0; i < 9; ++i)
    expected += "warning: option '-x' is not recognised and was ignored\n";
  expected += "warning: 3 more options are not recognised and were ignored\n" + unread +
              "12 arguments before '--' were not read: \"-\" \"" + long_word.substr(0, 60) +
              "...\" \"2\" \"3\" \"4\" \"5\" \"6\" \"7\" \"8\" \"9\" and 2 more\n";
  EXPECT_EQ(o.err, expected);

  // Everything read: no warning.
  EXPECT_EQ(run({"-o", "d", "--depth-avg", "1", "--", "a", "--", "-x"}).err, "");
}

TEST_F(CommandLineTest, ValuesARunCannotUseAreRefused) {
  for (const char* bad : {"0", "-1", "inf", "nan", "1e-60", "1e300", "0x10"}) {
    Outcome o = run({"-o", "d", "--depth-avg", bad});
    EXPECT_EQ(o.result.exit_code, 1) << bad;
    EXPECT_FALSE(o.result.run) << bad;
    EXPECT_NE(o.err.find("Option '--depth-avg' requires a"), std::string::npos) << bad;
  }
  EXPECT_EQ(run({"-o", "d", "--depth-avg", "-2"}).err,
            "Option '--depth-avg' requires a finite number greater than 0\n");
  EXPECT_EQ(run({"-o", "d", "--depth-avg", "1", "--alpha", "nan"}).err,
            "Option '--alpha' requires a numeric argument\n");
  for (const char* bad : {"0", "-5", "3000000000"}) {
    Outcome o = run({"-o", "d", "--depth-avg", "1", "--superpixels", bad});
    EXPECT_EQ(o.result.exit_code, 1) << bad;
    EXPECT_EQ(o.err, "Option '--superpixels' requires a whole number from 1 to 2147483647\n");
  }
  EXPECT_EQ(superpixel_count, 5000);
  // Every float option: a value beyond the float range would become infinity.
  for (const char* name : {"--alpha-sp", "--beta-sp", "--alpha", "--beta", "--min-support-sp",
                           "--min-support"}) {
    for (const char* big : {"1e39", "-1e39"}) {
      Outcome o = run({"-o", "d", "--depth-avg", "1", name, big});
      EXPECT_EQ(o.result.exit_code, 1) << name << " " << big;
      EXPECT_EQ(o.err, std::string("Option '") + name + "' requires a finite number\n");
    }
    EXPECT_TRUE(run({"-o", "d", "--depth-avg", "1", name, "3.4e38"}).result.run) << name;
  }
  EXPECT_EQ(run({"-o", "d", "--depth-avg", "1e39"}).err,
            "Option '--depth-avg' requires a finite number greater than 0\n");
  // Strengths below 0 turn their term around.
  for (const char* name : {"--alpha-sp", "--beta-sp", "--alpha", "--beta"}) {
    Outcome o = run({"-o", "d", "--depth-avg", "1", name, "-1e-30"});
    EXPECT_EQ(o.result.exit_code, 1) << name;
    EXPECT_EQ(o.err, std::string("Option '") + name + "' requires a finite number of at least 0\n");
    EXPECT_TRUE(run({"-o", "d", "--depth-avg", "1", name, "0"}).result.run) << name;
  }
  // "--" as a value is a forgotten value: it would become the folder and move the camera list.
  for (auto form : std::vector<std::vector<const char*>>{{"-o", "--"}, {"-o--"}, {"--out-dir=--"}}) {
    Outcome o = form.size() == 2 ? run({"--depth-avg", "1", form[0], form[1], "a.txt"})
                                 : run({"--depth-avg", "1", form[0], "a.txt"});
    EXPECT_EQ(o.result.exit_code, 1) << form[0];
    EXPECT_NE(o.err.find("' requires an argument other than '--'\n"), std::string::npos) << o.err;
  }
  resetSettings();
  EXPECT_EQ(run({"-o", "d", "--depth-avg", "1", "--alpha", "1e39"}).result.run, false);
  EXPECT_EQ(output_directory, "");  // nothing was stored
}

TEST(MissingOptions, SilentModeReportsNothingAndRowsFallBackToNames) {
  const option::Descriptor table[] = {{1, 0, "x", "", option::Arg::None, nullptr},
                                      {2, 0, "", "long", option::Arg::None, nullptr},
                                      {3, 0, "", "", option::Arg::None, nullptr},
                                      {0, 0, nullptr, nullptr, nullptr, nullptr}};
  option::Option options[6];
  const int required[] = {1, 2, 3, 5, 0};
  CaptureStderr();
  EXPECT_TRUE(MyArg::testForMissingOptions(required, options, table, true));
  EXPECT_EQ(GetCapturedStderr(), "");
  CaptureStderr();
  EXPECT_TRUE(MyArg::testForMissingOptions(required, options, table, false));
  EXPECT_EQ(GetCapturedStderr(),
            "The following options are required:\nx\nlong\nunknown option\n");
  const int none[] = {0};
  EXPECT_FALSE(MyArg::testForMissingOptions(none, options, table, false));
}

TEST(CameraList, FilesAfterTheMarkerMustExistAndBeAtLeastTwo) {
  tessivar_test::TempDir dir;
  const std::string a = dir.file("a.txt"), b = dir.file("b.txt"), q = dir.file("q\"&\x1b[2J.txt");
  driver_test::writeText(a, "x");
  driver_test::writeText(b, "x");
  auto collect = [](std::vector<std::string> args, std::vector<std::string>& files) {
    args.insert(args.begin(), "tessivar");
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    return collect_camera_files(int(argv.size()), argv.data(), files);
  };
  std::vector<std::string> files;

  CaptureStderr();
  EXPECT_EQ(collect({"-o", "d", "--", a, b}, files), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(files, (std::vector<std::string>{a, b}));

  CaptureStderr();
  EXPECT_EQ(collect({"--", a, dir.file("missing"), dir.file("never-looked-at")}, files), 1);
  EXPECT_EQ(GetCapturedStderr(), "file \"" + dir.file("missing") + "\" does not exist\n");

  // The same file twice, by its path or through a link, is one camera.
  std::filesystem::create_symlink(a, dir.file("link.txt"));
  for (const std::string& again : {a, dir.file("link.txt"), dir.path() + "/./a.txt"}) {
    CaptureStderr();
    EXPECT_EQ(collect({"--", a, b, again}, files), 1);
    EXPECT_EQ(GetCapturedStderr(), "file \"" + again + "\" is the same file as \"" + a +
                                       "\", given before; give each camera once\n");
  }

  // A path whose status cannot be queried is reported with the reason.
  std::filesystem::create_symlink(dir.file("loop2"), dir.file("loop1"));
  std::filesystem::create_symlink(dir.file("loop1"), dir.file("loop2"));
  CaptureStderr();
  EXPECT_EQ(collect({"--", dir.file("loop1"), a}, files), 1);
  EXPECT_EQ(GetCapturedStderr(), "file \"" + dir.file("loop1") +
                                     "\" cannot be opened: Too many levels of symbolic links\n");

  CaptureStderr();
  EXPECT_EQ(collect({"--", a, q}, files), 1);
  EXPECT_EQ(GetCapturedStderr(),
            "file \"" + dir.file("q&\"&&\\x1b[2J.txt") + "\" does not exist\n");

  for (auto args : std::vector<std::vector<std::string>>{{"--", a}, {a, b}, {"--"}, {}}) {
    CaptureStderr();
    EXPECT_EQ(collect(args, files), 1);
    EXPECT_EQ(GetCapturedStderr(), "not enough files\n");
  }
}

}  // namespace
