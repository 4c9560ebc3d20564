// The program's option table, the argument checks, the report of missing options, and the
// command-line steps of a run that turn the options into settings.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "option_parser.h"

enum OptionIndex {
  UNKNOWN = 0,
  HELP,
  OUT_DIR,
  DEPTH_AVG,
  ALPHA_SP,
  BETA_SP,
  ALPHA,
  BETA,
  MIN_SUPPORT_SP,
  MIN_SUPPORT,
  SUPERPIXELS,
};

// The option table; row 0 is the usage line and catches options the table does not list.
extern const option::Descriptor usage[];
// Options a run cannot go without, 0-terminated: --depth-avg, --out-dir.
extern const int required_options[];

struct MyArg : public option::Arg {
  // Writes before + the option's name + after to standard error.
  static void printError(const std::string& before, const option::Option& option,
                         const std::string& after);
  static option::ArgStatus NonEmpty(const option::Option& option, bool report);
  static option::ArgStatus Integer(const option::Option& option, bool report);
  static option::ArgStatus Double(const option::Option& option, bool msg);
  // Reports the options of `required` that options[] lacks (unless silent); true if any.
  static bool testForMissingOptions(const int* required, const option::Option* options,
                                    const option::Descriptor* usage, bool silent);
};

// The number a stream reads from the text.
template <class T>
T stringTo(const std::string& text) {
  std::istringstream in(text);
  T value = T();
  in >> value;
  return value;
}

// What the command line asks of the run.
struct CommandLine {
  bool run = false;     // false: end now with exit_code
  int exit_code = 0;
};

// Parses the options (everything before "--"), prints the usage or the failures, and on success
// stores the options in the settings. Does not touch the file system. After a parse that did not
// fail it warns on standard error about what the options left unused (see below); the warnings
// change neither the settings nor the exit code.
CommandLine process_command_line(int argc, char** argv);

// Warnings about the arguments a parse leaves unused, one line each, every line ending in "\n";
// empty when there is nothing to say. `parsed` holds the parse's `parsed_count` options in
// command-line order: those of the catch-all row (index UNKNOWN) are options the table does not
// list, each named (with a table name suggested where one is near). `unread` holds the
// `unread_count` arguments from the one where parsing stopped up to (without) the first "--"
// after it, which `end_marker_follows` says is there. Words are shown through printable_path, cut
// when long, and long lists are cut short.
std::string unused_argument_warnings(const option::Option* parsed, int parsed_count,
                                     const char* const* unread, int unread_count,
                                     bool end_marker_follows);

// The camera files: every argument after the first "--". Checks that each exists and is not a file
// given before (the same file through another path or link counts as the same), stopping at the
// first that fails, and that there are at least two. Returns 0, or 1 after printing why.
int collect_camera_files(int argc, char** argv, std::vector<std::string>& files);
