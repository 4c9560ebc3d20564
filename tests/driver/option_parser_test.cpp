#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "option_parser.h"

namespace {

using option::Descriptor;
using option::Option;

option::ArgStatus takesArgument(const Option& o, bool) {
  return o.arg ? option::ARG_OK : option::ARG_IGNORE;
}
option::ArgStatus refusesArgument(const Option&, bool) { return option::ARG_IGNORE; }

struct StringWriter : option::PrintUsageImplementation::IStringWriter {
  std::string text;
  void operator()(const char* s, int n) override { text.append(s, std::size_t(n)); }
};

// Parses args with a table and keeps everything the checks need alive.
struct Parsed {
  std::vector<const char*> argv;
  std::vector<Option> options, buffer;
  option::Parser parser;

  Parsed(const Descriptor* usage, std::vector<const char*> args, bool permute = false,
         int min_abbrev = 0, int bufmax = -1)
      : argv(withNull(std::move(args))), options(stats(usage, permute, min_abbrev).options_max),
        buffer(stats(usage, permute, min_abbrev).buffer_max),
        parser(permute, usage, int(argv.size()) - 1, argv.data(), options.data(), buffer.data(),
               min_abbrev, false, bufmax) {}

  option::Stats stats(const Descriptor* usage, bool permute, int min_abbrev) {
    return option::Stats(permute, usage, int(argv.size()) - 1, argv.data(), min_abbrev);
  }
  static std::vector<const char*> withNull(std::vector<const char*> v) {
    v.push_back(nullptr);
    return v;
  }
};

enum { A = 1, B, C, X };
const Descriptor kLetters[] = {{0, 0, "", "", option::Arg::None, nullptr},
                               {A, 0, "a", "alpha", option::Arg::None, nullptr},
                               {B, 0, "b", "bravo", option::Arg::None, nullptr},
                               {C, 0, "c", "name", takesArgument, nullptr},
                               {0, 0, nullptr, nullptr, nullptr, nullptr}};
const Descriptor kLettersBTakes[] = {{A, 0, "a", "", option::Arg::None, nullptr},
                                     {B, 0, "b", "", takesArgument, nullptr},
                                     {C, 0, "c", "", takesArgument, nullptr},
                                     {0, 0, nullptr, nullptr, nullptr, nullptr}};

TEST(OptionParser, UsageTextOfTheProgramIsLaidOutAt80Columns) {
  const std::string expected =
      "Usage: tessivar [options] -- camera_00 camera_01 ... \n"
      "\n"
      "  -h, --help           Print this help.\n"
      "  -o, --out-dir        The output directory.\n"
      "      --depth-avg      The average depth of the scene. This defines the radius\n"
      "                       of the smoothing kernel.\n"
      "      --alpha-sp       The strength of the data term on the superpixel level.\n"
      "                       Default is 0.1\n"
      "      --beta-sp        The strength of the collision term on the superpixel\n"
      "                       level. Default is 1\n"
      "      --alpha          The strength of the data term. Default is 0.001\n"
      "      --beta           The strength of the collision term. Default is 1\n"
      "      --min-support-sp The minimum support of a point in the superpixel level.\n"
      "                       Points with less support will be removed from the\n"
      "                       reconstruction. Default is 2.0\n"
      "      --min-support    The minimum support of a point. Points with less support\n"
      "                       will be removed from the reconstruction. Default is 3.0\n"
      "      --superpixels    The number of superpixels generated per image. Default is\n"
      "                       5000\n";
  StringWriter w;
  option::PrintUsageImplementation::printUsage(w, usage, 80, 50, 75);
  EXPECT_EQ(w.text, expected);
}

TEST(OptionParser, NarrowLayoutsWrapAndMoveTheLastColumnOntoItsOwnLines) {
  const Descriptor table[] = {{1, 0, "a", "", option::Arg::None, "-a\tone two three"},
                              {2, 0, "b", "", option::Arg::None, "-b\tabcdefghij"},
                              {0, 0, nullptr, nullptr, nullptr, nullptr}};
  StringWriter wide;
  option::PrintUsageImplementation::printUsage(wide, table, 10, 50, 75);
  // Column 0 is 2 wide, 8 columns remain: words wrap, a word longer than that is cut.
  EXPECT_EQ(wide.text, "-aone two\n  three\n-babcdefgh\n  ij\n");

  const Descriptor long_first[] = {
      {1, 0, "a", "", option::Arg::None, "--a-long-option-name\tdescription text"},
      {0, 0, nullptr, nullptr, nullptr, nullptr}};
  StringWriter own;
  option::PrintUsageImplementation::printUsage(own, long_first, 30, 50, 75);
  // 30 - 20 = 10 columns beside it, below the minimum 15: the help goes below, 23 columns wide.
  EXPECT_EQ(own.text, "--a-long-option-name\n       description text\n");
}

TEST(OptionParser, PermuteModeDecidesWhetherParsingGoesPastNonOptions) {
  Parsed off(kLetters, {"a", "-x"});
  EXPECT_FALSE(off.parser.error());
  EXPECT_EQ(off.parser.optionsCount(), 0);

  Parsed on(kLetters, {"a", "-x"}, true);
  EXPECT_EQ(on.parser.optionsCount(), 1);
  EXPECT_TRUE(on.options[0].present());  // caught by the catch-all row
  EXPECT_STREQ(on.options[0].name, "x");
  ASSERT_EQ(on.parser.nonOptionsCount(), 1);
  EXPECT_STREQ(on.parser.nonOption(0), "a");
}

TEST(OptionParser, ClustersGiveTheRestOrTheNextArgumentToTheOptionThatTakesOne) {
  Parsed p(kLetters, {"-abc", "value", "rest"});
  EXPECT_TRUE(p.options[A].present());
  EXPECT_TRUE(p.options[B].present());
  ASSERT_TRUE(p.options[C].present());
  EXPECT_STREQ(p.options[C].arg, "value");
  ASSERT_EQ(p.parser.nonOptionsCount(), 1);
  EXPECT_STREQ(p.parser.nonOption(0), "rest");

  Parsed q(kLettersBTakes, {"-abc", "value"});
  EXPECT_TRUE(q.options[A].present());
  ASSERT_TRUE(q.options[B].present());
  EXPECT_STREQ(q.options[B].arg, "c");
  EXPECT_FALSE(q.options[C].present());
}

TEST(OptionParser, LongOptionsTakeTheTextAfterTheEqualsSignOrTheNextArgument) {
  Parsed eq(kLetters, {"--name=value"});
  ASSERT_TRUE(eq.options[C].present());
  EXPECT_STREQ(eq.options[C].arg, "value");
  EXPECT_EQ(eq.options[C].name_length, 6);

  Parsed sep(kLetters, {"--name", "value", "x"});
  EXPECT_STREQ(sep.options[C].arg, "value");
  EXPECT_EQ(sep.parser.nonOptionsCount(), 1);  // "value" was consumed

  const Descriptor refusing[] = {{C, 0, "", "name", refusesArgument, nullptr},
                                 {0, 0, nullptr, nullptr, nullptr, nullptr}};
  Parsed ref(refusing, {"--name", "value"});
  ASSERT_TRUE(ref.options[C].present());
  EXPECT_EQ(ref.options[C].arg, nullptr);
  ASSERT_EQ(ref.parser.nonOptionsCount(), 1);
  EXPECT_STREQ(ref.parser.nonOption(0), "value");
}

TEST(OptionParser, AbbreviationsMatchOnlyWhenUnambiguous) {
  Parsed one(usage, {"--de=2"}, false, 2);
  ASSERT_TRUE(one.options[DEPTH_AVG].present());
  EXPECT_STREQ(one.options[DEPTH_AVG].arg, "2");

  // alpha and alpha-sp both begin with "al": not in the table, so the catch-all row takes it.
  Parsed two(usage, {"--al=2"}, false, 2);
  EXPECT_FALSE(two.options[ALPHA].present());
  EXPECT_FALSE(two.options[ALPHA_SP].present());
  EXPECT_TRUE(two.options[UNKNOWN].present());

  Parsed off(usage, {"--de=2"}, false, 0);
  EXPECT_FALSE(off.options[DEPTH_AVG].present());
}

TEST(OptionParser, RepeatedOptionsFormARingWithTheFirstInTheSlot) {
  Parsed p(kLetters, {"--name=1", "-a", "--name=2", "-c3", "--", "f1", "f2"});
  Option& slot = p.options[C];
  EXPECT_EQ(slot.count(), 3);
  EXPECT_STREQ(slot.arg, "1");
  EXPECT_STREQ(slot.last()->arg, "3");
  EXPECT_STREQ(slot.next()->arg, "2");
  EXPECT_EQ(slot.last()->next(), nullptr);
  EXPECT_EQ(p.options[B].count(), 0);
  EXPECT_EQ(p.parser.optionsCount(), 4);
  EXPECT_STREQ(p.buffer[1].name, "a");  // the buffer keeps command-line order
  ASSERT_EQ(p.parser.nonOptionsCount(), 2);
  EXPECT_STREQ(p.parser.nonOption(0), "f1");
}

TEST(OptionParser, AFullBufferDropsFurtherOptionsAndCountsStayConsistent) {
  Parsed p(kLetters, {"-a", "-b", "-a"}, false, 0, 2);
  EXPECT_FALSE(p.parser.error());
  EXPECT_EQ(p.parser.optionsCount(), 2);
  EXPECT_EQ(p.options[A].count(), 1);

  std::vector<const char*> args = {"-ab", "--name", "v", "--", "x", nullptr};
  option::Stats s(false, kLetters, 5, args.data());
  EXPECT_EQ(s.options_max, 5u);  // largest index 3, plus 2
  EXPECT_EQ(s.buffer_max, 4u);   // three options, plus 1
}

TEST(OptionParser, AnIllegalArgumentStopsTheStoringPass) {
  const Descriptor table[] = {{1, 0, "n", "", [](const Option&, bool) { return option::ARG_ILLEGAL; },
                               nullptr},
                              {2, 0, "a", "", option::Arg::None, nullptr},
                              {0, 0, nullptr, nullptr, nullptr, nullptr}};
  Parsed p(table, {"-a", "-n", "-a"});
  EXPECT_TRUE(p.parser.error());
  EXPECT_EQ(p.parser.optionsCount(), 1);
}

TEST(OptionParser, DisplayWidthCountsWideCharactersTwice) {
  using option::PrintUsageImplementation::displayWidth;
  EXPECT_EQ(displayWidth("abc", 3), 3);
  const char* wide = "\xE6\x97\xA5x";  // U+65E5 then x
  EXPECT_EQ(displayWidth(wide, 4), 3);
  const char* accented = "\xC3\xA9";  // U+00E9
  EXPECT_EQ(displayWidth(accented, 2), 1);
}

}  // namespace
