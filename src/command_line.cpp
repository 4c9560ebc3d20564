#include "command_line.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <string_view>

#include "printable.h"
#include "settings.h"

using option::ArgStatus;
using option::Descriptor;

const Descriptor usage[] = {
    {UNKNOWN, 0, "", "", option::Arg::None,
     "Usage: tessivar [options] -- camera_00 camera_01 ... \n"},
    {HELP, 0, "h", "help", option::Arg::None, "  -h, --help \tPrint this help."},
    {OUT_DIR, 0, "o", "out-dir", MyArg::NonEmpty, "  -o, --out-dir \tThe output directory."},
    {DEPTH_AVG, 0, "", "depth-avg", MyArg::Double,
     "      --depth-avg \tThe average depth of the scene. This defines the radius of the "
     "smoothing kernel."},
    {ALPHA_SP, 0, "", "alpha-sp", MyArg::Double,
     "      --alpha-sp \tThe strength of the data term on the superpixel level. Default is 0.1"},
    {BETA_SP, 0, "", "beta-sp", MyArg::Double,
     "      --beta-sp \tThe strength of the collision term on the superpixel level. Default is "
     "1"},
    {ALPHA, 0, "", "alpha", MyArg::Double,
     "      --alpha \tThe strength of the data term. Default is 0.001"},
    {BETA, 0, "", "beta", MyArg::Double,
     "      --beta \tThe strength of the collision term. Default is 1"},
    {MIN_SUPPORT_SP, 0, "", "min-support-sp", MyArg::Double,
     "      --min-support-sp \tThe minimum support of a point in the superpixel level. Points "
     "with less support will be removed from the reconstruction. Default is 2.0"},
    {MIN_SUPPORT, 0, "", "min-support", MyArg::Double,
     "      --min-support \tThe minimum support of a point. Points with less support will be "
     "removed from the reconstruction. Default is 3.0"},
    {SUPERPIXELS, 0, "", "superpixels", MyArg::Integer,
     "      --superpixels \tThe number of superpixels generated per image. Default is 5000"},
    {0, 0, nullptr, nullptr, nullptr, nullptr}};

const int required_options[] = {DEPTH_AVG, OUT_DIR, 0};

namespace {

std::string nameOf(const option::Option& option) {
  if (option.name == nullptr || option.name_length < 1) return std::string();
  return std::string(option.name, std::size_t(option.name_length));
}

bool hasArgument(const option::Option& option) {
  return option.arg != nullptr && option.arg[0] != 0;
}

// "--" ends the options; as an option's argument it is a forgotten value, and taking it would
// move the start of the camera list.
bool isEndMarker(const option::Option& option) {
  return option.arg != nullptr && std::strcmp(option.arg, "--") == 0;
}

ArgStatus reportEmpty(const option::Option& option, bool report) {
  if (report)
    std::cerr << "Option '" << nameOf(option) << "' requires a non-empty argument" << std::endl;
  return option::ARG_ILLEGAL;
}

// The whole text read by a stream as a T; false when the stream cannot read it all.
template <class T>
bool readWhole(const char* text, T& value) {
  std::istringstream in(text);
  in >> value;
  if (in.fail()) return false;
  return in.peek() == std::char_traits<char>::eof();
}

bool isEmptyText(const char* s) { return s == nullptr || *s == 0; }

// Warnings show at most this many words, each cut after this many bytes.
constexpr int kWarnedWordsMax = 10;
constexpr std::size_t kWarnedWordBytes = 60;

std::string shownWord(std::string_view word) {
  const std::size_t shown = shown_word_bytes(word, kWarnedWordBytes);
  return printable_path(word.substr(0, shown)) + (shown < word.size() ? "..." : "");
}

// Edits (insertions, deletions, replacements) that turn a into b.
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The table's long name an unknown long name most likely meant: the one it begins, when it
// begins only one, else the single nearest within two edits. Null when there is none.
const char* nearLongName(std::string_view name) {
  if (name.size() < 2 || name.size() > 40) return nullptr;
  const char* begun = nullptr;
  int begun_count = 0;
  const char* nearest = nullptr;
  std::size_t best = 3;
  bool tie = false;
  for (const Descriptor* row = usage; row->short_names != nullptr; ++row) {
    if (isEmptyText(row->long_name)) continue;
    const std::string_view candidate(row->long_name);
    if (candidate.substr(0, name.size()) == name) {
      begun = row->long_name;
      ++begun_count;
    }
    const std::size_t d = editDistance(name, candidate);
    if (d < best) {
      best = d;
      nearest = row->long_name;
      tie = false;
    } else if (d == best && nearest != nullptr) {
      tie = true;
    }
  }
  if (begun_count == 1) return begun;
  return tie || name.size() < 3 ? nullptr : nearest;
}

}  // namespace

std::string unused_argument_warnings(const option::Option* parsed, int parsed_count,
                                     const char* const* unread, int unread_count,
                                     bool end_marker_follows) {
  std::string text;
  int unknown = 0;
  for (int i = 0; i < parsed_count; ++i) {
    const option::Option& o = parsed[i];
    if (o.index() != UNKNOWN || o.name == nullptr) continue;
    if (++unknown > kWarnedWordsMax) continue;
    // A long option is named with its dashes, up to "="; a short one is a letter of a cluster.
    const bool is_long = o.name[0] == '-' && o.name[1] == '-';
    const std::string_view name = is_long ? std::string_view(o.name, std::size_t(o.name_length))
                                          : std::string_view(o.name, 1);
    text += "warning: option '" + std::string(is_long ? "" : "-") + shownWord(name) +
            "' is not recognised and was ignored";
    const char* near = is_long && name.size() > 2 ? nearLongName(name.substr(2)) : nullptr;
    if (near != nullptr) text += std::string("; did you mean '--") + near + "'?";
    text += "\n";
  }
  if (unknown > kWarnedWordsMax)
    text += "warning: " + std::to_string(unknown - kWarnedWordsMax) +
            " more options are not recognised and were ignored\n";

  if (unread_count > 0) {
    const bool one = unread_count == 1;
    text += "warning: options end at the first argument that is not an option";
    if (end_marker_follows)
      text += "; " + std::to_string(unread_count) + (one ? " argument" : " arguments") +
              " before '--' " + (one ? "was" : "were") + " not read:";
    else
      text += ", and no '--' follows; " + std::to_string(unread_count) +
              (one ? " argument was" : " arguments were") +
              " not read (camera files go after '--'):";
    for (int i = 0; i < unread_count && i < kWarnedWordsMax; ++i)
      text += " \"" + shownWord(unread[i] == nullptr ? "" : unread[i]) + "\"";
    if (unread_count > kWarnedWordsMax)
      text += " and " + std::to_string(unread_count - kWarnedWordsMax) + " more";
    text += "\n";
  }
  return text;
}

void MyArg::printError(const std::string& before, const option::Option& option,
                       const std::string& after) {
  std::cerr << before << nameOf(option) << after;
}

ArgStatus MyArg::NonEmpty(const option::Option& option, bool report) {
  if (isEndMarker(option)) {
    if (report) printError("Option '", option, "' requires an argument other than '--'\n");
    return option::ARG_ILLEGAL;
  }
  if (hasArgument(option)) return option::ARG_OK;
  return reportEmpty(option, report);
}

ArgStatus MyArg::Integer(const option::Option& option, bool report) {
  if (!hasArgument(option)) return reportEmpty(option, report);
  char* end = nullptr;
  std::strtol(option.arg, &end, 10);
  if (end != option.arg && *end == 0) return option::ARG_OK;
  if (report) printError("Option '", option, "' requires a numeric argument\n");
  return option::ARG_ILLEGAL;
}

ArgStatus MyArg::Double(const option::Option& option, bool msg) {
  if (!hasArgument(option)) return reportEmpty(option, msg);
  char* end = nullptr;
  std::strtod(option.arg, &end);
  if (end != option.arg && *end == 0) return option::ARG_OK;
  if (msg) printError("Option '", option, "' requires a numeric argument\n");
  return option::ARG_ILLEGAL;
}

bool MyArg::testForMissingOptions(const int* required, const option::Option* options,
                                  const Descriptor* usage, bool silent) {
  bool missing = false;
  for (; *required != 0; ++required) {
    const int r = *required;
    if (options[r].present()) continue;
    if (!missing && !silent) std::cerr << "The following options are required:" << std::endl;
    missing = true;
    const Descriptor* row = usage;
    while (row->short_names != nullptr && int(row->index) != r) ++row;
    if (row->short_names == nullptr || silent) continue;
    if (!isEmptyText(row->help))
      std::cerr << row->help;
    else if (!isEmptyText(row->long_name))
      std::cerr << row->long_name;
    else if (!isEmptyText(row->short_names))
      std::cerr << row->short_names;
    else
      std::cerr << "unknown option";
    std::cerr << std::endl;
  }
  return missing;
}

namespace {

// Parsing stops at the first argument that is not an option, or after "--". Warns about what
// lies between the stop and the first "--" after it, which was never read, and about the options
// the table does not list.
void warnAboutUnusedArguments(option::Parser& parse, const char** args,
                              const option::Option* buffer) {
  const int rest_count = parse.nonOptionsCount();
  const char* const* rest = parse.nonOptions();
  int unread = 0;
  bool end_marker_follows = false;
  if (rest_count > 0 && !(rest > args && std::strcmp(rest[-1], "--") == 0)) {
    while (unread < rest_count && std::strcmp(rest[unread], "--") != 0) ++unread;
    end_marker_follows = unread < rest_count;
  }
  std::cerr << unused_argument_warnings(buffer, parse.optionsCount(), rest, unread,
                                        end_marker_follows)
            << std::flush;
}

// The value of the float option `o` (of table row `index`) when a run can use it; false after
// printing why not.
bool readFloatOption(const option::Option& o, int index, float& value) {
  double v = 0;
  if (!readWhole(o.arg, v)) {
    MyArg::printError("Option '", o, "' requires a numeric argument\n");
    return false;
  }
  // A value beyond the float range would become infinity, and the run would then end with empty
  // models.
  const bool finite = std::isfinite(v) && std::fabs(v) <= double(FLT_MAX);
  if (index == DEPTH_AVG && !(finite && float(v) > 0.0f)) {
    MyArg::printError("Option '", o, "' requires a finite number greater than 0\n");
    return false;
  }
  if (!finite) {
    MyArg::printError("Option '", o, "' requires a finite number\n");
    return false;
  }
  // A negative strength turns the data or collision term around and empties the model.
  const bool strength = index == ALPHA_SP || index == BETA_SP || index == ALPHA || index == BETA;
  if (strength && v < 0.0) {
    MyArg::printError("Option '", o, "' requires a finite number of at least 0\n");
    return false;
  }
  value = float(v);
  return true;
}

}  // namespace

CommandLine process_command_line(int argc, char** argv) {
  // An option left out takes its built-in value, not one an earlier run in this process set.
  reset_option_settings();
  CommandLine result;
  const int count = argc > 1 ? argc - 1 : 0;
  const char** args = count > 0 ? const_cast<const char**>(argv + 1) : nullptr;

  option::Stats stats(false, usage, count, args, 0, false);
  std::vector<option::Option> options(stats.options_max), buffer(stats.buffer_max);
  option::Parser parse(false, usage, count, args, options.data(), buffer.data(), 0, false,
                       int(stats.buffer_max));

  if (parse.error()) {
    result.exit_code = 1;
    return result;
  }
  warnAboutUnusedArguments(parse, args, buffer.data());
  if (options[HELP].present() || argc <= 1) {
    option::PrintUsageImplementation::OStreamWriter<std::ostream> write(std::cout);
    option::PrintUsageImplementation::printUsage(write, usage, 80, 50, 75);
    std::cout.flush();
    result.exit_code = 0;
    return result;
  }
  // A run without its required options is a usage failure, not a success.
  if (MyArg::testForMissingOptions(required_options, options.data(), usage, false)) {
    result.exit_code = 1;
    return result;
  }

  // Values the checks let through but a run cannot use: rejected before anything is created.
  // The first occurrence of an option is the one that counts.
  const int float_options[] = {DEPTH_AVG, ALPHA_SP, BETA_SP, ALPHA, BETA, MIN_SUPPORT_SP,
                               MIN_SUPPORT};
  float* const float_settings[] = {&average_depth, &alpha_sp,       &beta_sp,    &alpha,
                                   &beta,          &min_support_sp, &min_support};
  float values[7];
  for (int i = 0; i < 7; ++i) {
    const option::Option& o = options[float_options[i]];
    if (o.present() && !readFloatOption(o, float_options[i], values[i])) {
      result.exit_code = 1;
      return result;
    }
  }
  int superpixels = superpixel_count;
  if (options[SUPERPIXELS].present()) {
    const option::Option& o = options[SUPERPIXELS];
    if (!readWhole(o.arg, superpixels) || superpixels < 1) {
      MyArg::printError("Option '", o, "' requires a whole number from 1 to 2147483647\n");
      result.exit_code = 1;
      return result;
    }
  }

  output_directory = options[OUT_DIR].arg;
  for (int i = 0; i < 7; ++i)
    if (options[float_options[i]].present()) *float_settings[i] = values[i];
  superpixel_count = superpixels;
  result.run = true;
  return result;
}

int collect_camera_files(int argc, char** argv, std::vector<std::string>& files) {
  files.clear();
  int first = argc;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--") == 0) {
      first = i + 1;
      break;
    }
  for (int i = first; i < argc; ++i) {
    const std::string path = argv[i];
    // A status that cannot be queried for another reason than absence (a link loop, a folder
    // without search permission) is reported with its reason.
    boost::system::error_code status_error;
    const boost::filesystem::file_type type =
        boost::filesystem::status(boost::filesystem::path(path), status_error).type();
    if (type == boost::filesystem::status_error) {
      std::cerr << "file " << std::quoted(printable_path(path), '"', '&')
                << " cannot be opened: " << status_error.message() << "\n";
      return 1;
    }
    if (type == boost::filesystem::file_not_found) {
      std::cerr << "file " << std::quoted(printable_path(path), '"', '&') << " does not exist\n";
      return 1;
    }
    // A file given twice would count as two cameras that agree perfectly, and its points would
    // support themselves.
    for (const std::string& earlier : files) {
      boost::system::error_code ec;
      if (boost::filesystem::equivalent(earlier, path, ec)) {
        std::cerr << "file " << std::quoted(printable_path(path), '"', '&')
                  << " is the same file as " << std::quoted(printable_path(earlier), '"', '&')
                  << ", given before; give each camera once\n";
        return 1;
      }
    }
    files.push_back(path);
  }
  if (files.size() < 2) {
    std::cerr << "not enough files\n";
    return 1;
  }
  return 0;
}
