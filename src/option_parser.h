// A small command-line parser that never allocates: a table of option descriptors drives one pass
// over the argument vector (short options, clustered or not; long options with "=" or a separate
// argument, optionally abbreviated; the end marker "--"), and the same table prints as a
// column-formatted, word-wrapped usage text.
#pragma once

#include <cstdint>
#include <ostream>

namespace option {

class Option;

// What an argument check says about an option's argument.
enum ArgStatus {
  ARG_NONE = 0,     // the option takes no argument
  ARG_OK = 1,       // the argument is accepted (and consumed)
  ARG_IGNORE = 2,   // the argument is not acceptable, the option stands without it
  ARG_ILLEGAL = 3,  // the argument is illegal: parsing fails
};

typedef ArgStatus (*CheckArg)(const Option& option, bool report);

// One table row. A table ends with a row whose short_names and long_name are null. A row with
// empty short_names and empty long_name catches every option no other row matches.
struct Descriptor {
  unsigned index;           // option slot; several rows may share one
  int type;                 // handed through, not interpreted
  const char* short_names;  // letters this row accepts (empty: none)
  const char* long_name;    // long name without dashes (empty: none)
  CheckArg check;
  const char* help;  // usage text; null rows are not printed and separate tables
};

// One parsed occurrence. The occurrences of one slot form a ring in command-line order; the last
// element's next link and the first element's prev link carry a tag bit and close the ring.
class Option {
 public:
  const Descriptor* desc;  // matched row; null: no occurrence
  const char* name;        // long: the argument from its dashes on; short: the letter itself
  const char* arg;         // the option's argument, or null
  int name_length;         // long: characters of name up to "=" or the end; short: 1

  Option() : desc(nullptr), name(nullptr), arg(nullptr), name_length(0) { makeLone(); }
  Option(const Descriptor* d, const char* n, const char* a) : desc(d), name(n), arg(a) {
    makeLone();
    computeNameLength();
  }
  // A copy is always a lone element.
  Option(const Option& o) : desc(o.desc), name(o.name), arg(o.arg), name_length(o.name_length) {
    makeLone();
  }
  Option& operator=(const Option& o) {
    desc = o.desc;
    name = o.name;
    arg = o.arg;
    name_length = o.name_length;
    makeLone();
    return *this;
  }

  bool present() const { return desc != nullptr; }
  explicit operator bool() const { return present(); }
  int index() const { return desc ? int(desc->index) : -1; }
  int type() const { return desc ? desc->type : 0; }

  // Number of occurrences in this option's ring (0 for an absent option).
  int count() const;
  bool isFirst() const { return tagged(prev_); }
  bool isLast() const { return tagged(next_); }
  Option* first();
  Option* last();
  Option* next() { return isLast() ? nullptr : next_; }
  Option* prev() { return isFirst() ? nullptr : prev_; }
  Option* nextwrap() { return untag(next_); }
  Option* prevwrap() { return untag(prev_); }
  // Puts new_last at the end of this option's ring.
  void append(Option* new_last);

 private:
  Option* next_;
  Option* prev_;

  void makeLone() { next_ = prev_ = tag(this); }
  void computeNameLength();
  static Option* tag(Option* p) { return reinterpret_cast<Option*>(std::uintptr_t(p) | 1u); }
  static Option* untag(Option* p) {
    return reinterpret_cast<Option*>(std::uintptr_t(p) & ~std::uintptr_t(1));
  }
  static bool tagged(const Option* p) { return (std::uintptr_t(p) & 1u) != 0; }
};

struct Arg {
  // For options without an argument.
  static ArgStatus None(const Option&, bool) { return ARG_NONE; }
};

class Parser {
 public:
  // Receives every recognised option and, at the end, the non-option arguments.
  class Action {
   public:
    virtual ~Action() = default;
    virtual bool perform(Option&) { return true; }
    virtual bool finished(int numargs, const char** args) { return true; }
  };

  // Stores options into the slot array (first occurrence) and the buffer (all, in order).
  class StoreOptionAction : public Action {
   public:
    // bufmax < 0: the buffer is unlimited.
    StoreOptionAction(Parser& parser, Option options[], Option buffer[], int bufmax)
        : parser_(parser), options_(options), buffer_(buffer), bufmax_(bufmax) {}
    bool perform(Option& option) override;
    bool finished(int numargs, const char** args) override;

   private:
    Parser& parser_;
    Option* options_;
    Option* buffer_;
    int bufmax_;
  };

  // Storing pass over argc arguments (argc < 0: up to the null entry). options needs one entry
  // per slot and buffer one per occurrence, all absent (see Stats).
  Parser(bool permute, const Descriptor usage[], int argc, const char** argv, Option options[],
         Option buffer[], int min_abbrev = 0, bool single_dash_long = false, int bufmax = -1);

  int optionsCount() const { return op_count_; }
  int nonOptionsCount() const { return nonop_count_; }
  const char** nonOptions() const { return nonop_args_; }
  const char* nonOption(int i) const { return nonop_args_[i]; }
  bool error() const { return failed_; }

  // The single pass over the arguments; false when a check returned ARG_ILLEGAL or perform
  // failed, otherwise the result of action.finished.
  static bool workhorse(bool permute, const Descriptor usage[], int arg_count,
                        const char** arg_list, Action& action, bool single_dash_long,
                        bool report_errors, int min_abbrev);
  // Moves args[0] to args[-count], shifting args[-count] .. args[-1] up by one place.
  static void shift(const char** args, int count);

 private:
  int op_count_ = 0;
  int nonop_count_ = 0;
  const char** nonop_args_ = nullptr;
  bool failed_ = false;
};

// Counting pass: how large the slot array and the buffer of a storing pass must be.
class Stats {
 public:
  unsigned options_max = 1;  // 1 + largest index + 1
  unsigned buffer_max = 1;   // 1 + number of options recognised

  Stats(bool permute, const Descriptor usage[], int argc, const char** argv, int min_abbrev = 0,
        bool single_dash_long = false);

  class CountOptionsAction : public Parser::Action {
   public:
    explicit CountOptionsAction(unsigned* buffer_max) : buffer_max_(buffer_max) {}
    bool perform(Option&) override;

   private:
    unsigned* buffer_max_;
  };
};

namespace PrintUsageImplementation {

class IStringWriter {
 public:
  virtual ~IStringWriter() = default;
  virtual void operator()(const char* text, int size) {}
};

template <class Stream>
class OStreamWriter : public IStringWriter {
 public:
  explicit OStreamWriter(Stream& out) : out_(out) {}
  void operator()(const char* text, int size) override { out_.write(text, size); }

 private:
  Stream& out_;
};

// Lays the rows of the usage table out at `width` columns. The last column keeps at least
// last_column_min_percent of the width beside the others, or moves onto lines of its own that
// are last_column_own_line_max_percent of the width wide.
void printUsage(IStringWriter& write, const Descriptor usage[], int width = 80,
                int last_column_min_percent = 50, int last_column_own_line_max_percent = 75);

// Columns the text takes on a terminal (wide East Asian characters count two).
int displayWidth(const char* text, int len);

}  // namespace PrintUsageImplementation

}  // namespace option
