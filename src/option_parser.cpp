#include "option_parser.h"

#include <climits>
#include <vector>

namespace option {

namespace {

bool isEmpty(const char* s) { return s == nullptr || *s == 0; }

// True when `name` up to "=" or its end equals `long_name`.
bool sameName(const char* long_name, const char* name) {
  while (*long_name != 0 && *long_name == *name) {
    ++long_name;
    ++name;
  }
  return *long_name == 0 && (*name == 0 || *name == '=');
}

// True when `name` up to "=" or its end, at least min_abbrev characters long, begins long_name.
bool abbreviates(const char* long_name, const char* name, int min_abbrev) {
  int n = 0;
  while (name[n] != 0 && name[n] != '=') {
    if (long_name[n] != name[n]) return false;
    ++n;
  }
  return n >= min_abbrev;
}

bool contains(const char* letters, char ch) {
  for (; *letters != 0; ++letters)
    if (*letters == ch) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Option

void Option::computeNameLength() {
  name_length = 0;
  if (name == nullptr) return;
  name_length = 1;
  if (name[0] != '-') return;
  while (name[name_length] != 0 && name[name_length] != '=') ++name_length;
}

int Option::count() const {
  if (!present()) return 0;
  int c = 1;
  const Option* p = const_cast<Option*>(this)->first();
  while (!p->isLast()) {
    ++c;
    p = p->next_;
  }
  return c;
}

Option* Option::first() {
  Option* p = this;
  while (!p->isFirst()) p = p->prev_;
  return p;
}

Option* Option::last() { return first()->prevwrap(); }

void Option::append(Option* new_last) {
  Option* f = first();
  Option* l = f->prevwrap();
  l->next_ = new_last;
  new_last->prev_ = l;
  new_last->next_ = tag(f);
  f->prev_ = tag(new_last);
}

// ---------------------------------------------------------------------------------------------
// Parsing

void Parser::shift(const char** args, int count) {
  for (int i = 0; i > -count; --i) {
    const char* tmp = args[i];
    args[i] = args[i - 1];
    args[i - 1] = tmp;
  }
}

bool Parser::workhorse(bool permute, const Descriptor usage[], int arg_count,
                       const char** arg_list, Action& action, bool single_dash_long,
                       bool report_errors, int min_abbrev) {
  if (arg_list == nullptr) arg_count = 0;
  const char** args = arg_list;
  int nonops = 0;

  while (arg_count != 0 && *args != nullptr) {
    const char* param = *args;

    if (param[0] != '-' || param[1] == 0) {  // a non-option ("-" alone included)
      if (!permute) break;
      ++nonops;
      ++args;
      if (arg_count > 0) --arg_count;
      continue;
    }

    if (param[1] == '-' && param[2] == 0) {  // "--": the rest are non-options
      shift(args, nonops);
      ++args;
      if (arg_count > 0) --arg_count;
      break;
    }

    bool short_mode = param[1] != '-';
    const char* long_text = short_mode ? param + 1 : param + 2;
    bool try_long = !short_mode || single_dash_long;
    const bool more_args = arg_count > 1 || arg_count < 0;

    do {
      int idx = 0;
      const char* optarg = nullptr;

      if (try_long) {
        while (usage[idx].long_name != nullptr && !sameName(usage[idx].long_name, long_text))
          ++idx;
        if (usage[idx].long_name == nullptr && min_abbrev > 0) {
          int i1 = 0;
          while (usage[i1].long_name != nullptr &&
                 !abbreviates(usage[i1].long_name, long_text, min_abbrev))
            ++i1;
          if (usage[i1].long_name != nullptr) {
            int i2 = i1 + 1;
            while (usage[i2].long_name != nullptr &&
                   !abbreviates(usage[i2].long_name, long_text, min_abbrev))
              ++i2;
            if (usage[i2].long_name == nullptr) idx = i1;  // unambiguous
          }
        }
        if (usage[idx].long_name != nullptr) short_mode = false;  // never retried as shorts
        try_long = false;
        const char* eq = long_text;
        while (*eq != 0 && *eq != '=') ++eq;
        optarg = *eq == '=' ? eq + 1 : (more_args ? args[1] : nullptr);
      }

      if (short_mode) {
        if (*++param == 0) break;  // end of the cluster
        idx = 0;
        while (usage[idx].short_names != nullptr && !contains(usage[idx].short_names, *param))
          ++idx;
        optarg = param[1] == 0 ? (more_args ? args[1] : nullptr) : param + 1;
      }

      const Descriptor* descriptor = &usage[idx];
      if (descriptor->short_names == nullptr) {  // not in the table: the catch-all row
        idx = 0;
        while (usage[idx].short_names != nullptr &&
               !(isEmpty(usage[idx].short_names) && isEmpty(usage[idx].long_name)))
          ++idx;
        descriptor = usage[idx].short_names == nullptr ? nullptr : &usage[idx];
      }

      if (descriptor != nullptr) {
        Option opt(descriptor, param, optarg);
        switch (descriptor->check(opt, report_errors)) {
          case ARG_ILLEGAL:
            return false;
          case ARG_OK:
            // A separate argument is consumed like the option itself.
            if (optarg != nullptr && more_args && optarg == args[1]) {
              shift(args, nonops);
              if (arg_count > 0) --arg_count;
              ++args;
            }
            short_mode = false;  // the rest of the cluster was the argument
            break;
          case ARG_IGNORE:
          case ARG_NONE:
            opt.arg = nullptr;
            break;
        }
        if (!action.perform(opt)) return false;
      }
    } while (short_mode);

    shift(args, nonops);
    ++args;
    if (arg_count > 0) --arg_count;
  }

  if (arg_count < 0) {
    arg_count = 0;
    while (args[arg_count] != nullptr) ++arg_count;
  }
  return action.finished(nonops + arg_count, args - nonops);
}

bool Parser::StoreOptionAction::perform(Option& option) {
  if (bufmax_ < 0 && parser_.op_count_ == INT_MAX) return false;
  if (bufmax_ >= 0 && parser_.op_count_ >= bufmax_) return true;  // full buffer: dropped
  Option& stored = buffer_[parser_.op_count_];
  stored = option;
  Option& slot = options_[stored.desc->index];
  if (slot.present())
    slot.append(&stored);
  else
    slot = stored;
  ++parser_.op_count_;
  return true;
}

bool Parser::StoreOptionAction::finished(int numargs, const char** args) {
  if (numargs > 0) {
    parser_.nonop_count_ = numargs;
    parser_.nonop_args_ = args;
  }
  return true;
}

Parser::Parser(bool permute, const Descriptor usage[], int argc, const char** argv,
               Option options[], Option buffer[], int min_abbrev, bool single_dash_long,
               int bufmax) {
  StoreOptionAction action(*this, options, buffer, bufmax);
  failed_ = !workhorse(permute, usage, argc, argv, action, single_dash_long, true, min_abbrev);
}

bool Stats::CountOptionsAction::perform(Option&) {
  if (*buffer_max_ == unsigned(INT_MAX)) return false;
  ++*buffer_max_;
  return true;
}

Stats::Stats(bool permute, const Descriptor usage[], int argc, const char** argv,
             int min_abbrev, bool single_dash_long) {
  for (int i = 0; usage[i].short_names != nullptr; ++i)
    if (usage[i].index + 2 > options_max) options_max = usage[i].index + 2;
  CountOptionsAction action(&buffer_max);
  Parser::workhorse(permute, usage, argc, argv, action, single_dash_long, false, min_abbrev);
}

// ---------------------------------------------------------------------------------------------
// Usage text

namespace PrintUsageImplementation {

namespace {

bool isWide(unsigned cp) {
  if (cp == 0x303F) return false;
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2329 && cp <= 0x232A) ||
         (cp >= 0x2E80 && cp <= 0xA4C6) || (cp >= 0xA960 && cp <= 0xA97C) ||
         (cp >= 0xAC00 && cp <= 0xD7FB) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE10 && cp <= 0xFE6B) || (cp >= 0xFF01 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || cp >= 0x1B000;
}

// Advances i over one character of s (a UTF-8 sequence or a single byte); returns its columns.
int nextChar(const char* s, int len, int& i) {
  const unsigned char lead = static_cast<unsigned char>(s[i++]);
  if (lead <= 0xC1) return 1;
  unsigned cp = lead & (lead >= 0xF0 ? 0x07u : lead >= 0xE0 ? 0x0Fu : 0x1Fu);
  while (i < len && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80)
    cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3Fu);
  return isWide(cp) ? 2 : 1;
}

void writeSpaces(IStringWriter& write, int n) {
  static const char blanks[] = "                                ";
  while (n > 0) {
    const int k = n < 32 ? n : 32;
    write(blanks, k);
    n -= k;
  }
}

// Moves cursor x to column t, starting a new line when x is already past it.
void indent(IStringWriter& write, int& x, int t) {
  if (t < x) {
    write("\n", 1);
    x = 0;
  }
  writeSpaces(write, t - x);
  x = t;
}

struct Piece {
  const char* data;
  int len;
  bool followed_by_separator;  // a tab or vertical tab comes right after it
};

// Cells of one row, each a list of sub-lines.
using Row = std::vector<std::vector<Piece>>;

const int kMaxColumns = 8;

std::vector<Row> splitRows(const char* help) {
  std::vector<Row> rows(1);
  rows.back().emplace_back();
  const char* start = help;
  for (const char* p = help;; ++p) {
    const char c = *p;
    if (c == 0 || c == '\n' || c == '\t' || c == '\v') {
      rows.back().back().push_back(Piece{start, int(p - start), c == '\t' || c == '\v'});
      start = p + 1;
      if (c == 0) break;
      if (c == '\n') {
        rows.emplace_back();
        rows.back().emplace_back();
      } else if (c == '\t') {
        rows.back().emplace_back();
      }
    }
  }
  for (Row& row : rows)
    if (int(row.size()) > kMaxColumns) row.resize(kMaxColumns);
  return rows;
}

// Splits text into lines of at most `width` columns at blanks and writes them, each after the
// first on a new line indented to `indentation`. Pieces wait in a small ring so that the first
// one goes out at the caller's cursor and the rest at the next flush.
class LineWrapper {
 public:
  LineWrapper(int indentation, int width)
      : indentation_(indentation), width_(width < 2 ? 2 : width) {}

  void process(IStringWriter& write, const char* data, int len) {
    wrote_something_ = false;
    while (len > 0) {
      if (len <= width_) {
        store(write, data, len);
        break;
      }
      int maxi = 0, w = 0;
      while (maxi < len && w < width_) w += nextChar(data, len, maxi);
      if (maxi == len) {
        store(write, data, len);
        break;
      }
      int i = maxi;
      while (i >= 0 && data[i] != ' ') --i;
      if (i >= 0) {
        store(write, data, i);
        data += i + 1;
        len -= i + 1;
      } else {
        store(write, data, maxi);
        data += maxi;
        len -= maxi;
      }
    }
    if (!wrote_something_) writeOne(write);
  }

  void flush(IStringWriter& write) {
    if (count_ == 0) return;
    writeSpaces(write, indentation_);
    wrote_something_ = false;
    while (count_ > 0) writeOne(write);
    write("\n", 1);
  }

 private:
  static const int kSlots = 16;
  int indentation_;
  int width_;
  const char* data_[kSlots] = {};
  int len_[kSlots] = {};
  int head_ = 0;   // oldest piece
  int count_ = 0;  // pieces waiting
  bool wrote_something_ = false;

  void store(IStringWriter& write, const char* data, int len) {
    if (count_ == kSlots) writeOne(write);
    const int slot = (head_ + count_) % kSlots;
    data_[slot] = data;
    len_[slot] = len;
    ++count_;
  }

  void writeOne(IStringWriter& write) {
    if (wrote_something_) {
      write("\n", 1);
      writeSpaces(write, indentation_);
    }
    if (count_ > 0) {
      write(data_[head_], len_[head_]);
      head_ = (head_ + 1) % kSlots;
      --count_;
    }
    wrote_something_ = true;
  }
};

void printTable(IStringWriter& write, const std::vector<Row>& rows, int width, int last_min,
                int own_line_width) {
  // Column widths; overlong pieces stop counting until the columns before the last fit.
  int last = 0;
  for (const Row& row : rows)
    if (int(row.size()) - 1 > last) last = int(row.size()) - 1;
  int colw[kMaxColumns];
  int threshold = 10000;
  for (;;) {
    for (int& w : colw) w = 0;
    for (const Row& row : rows)
      for (int c = 0; c < int(row.size()); ++c)
        for (int k = 0; k < int(row[c].size()); ++k) {
          const Piece& p = row[c][k];
          if (c == 0 && k == 0 && !p.followed_by_separator) continue;  // an interjection
          const int w = displayWidth(p.data, p.len);
          if (w < threshold && w > colw[c]) colw[c] = w;
        }
    int sum = 0, widest = 0;
    for (int c = 0; c < last; ++c) {
      sum += colw[c];
      if (colw[c] > widest) widest = colw[c];
    }
    if (sum <= width) break;
    threshold = widest;
  }

  int stop[kMaxColumns];
  stop[0] = 0;
  for (int c = 1; c <= last; ++c) stop[c] = stop[c - 1] + colw[c - 1];
  int right = width - stop[last];
  const bool own_line = right < last_min && right < colw[last] && last != 0;
  if (own_line) right = own_line_width;

  LineWrapper last_wrapper(width - right, right);
  LineWrapper interjection_wrapper(0, width);
  const Piece empty{"", 0, false};

  for (const Row& row : rows) {
    int lines = 0;
    for (const auto& cell : row)
      if (int(cell.size()) > lines) lines = int(cell.size());
    int x = -1;
    for (int k = 0; k < lines; ++k) {
      for (int c = 0; c < int(row.size()); ++c) {
        const Piece& p = k < int(row[c].size()) ? row[c][k] : empty;
        if (c == 0) {
          if (x >= 0) write("\n", 1);
          x = 0;
        }
        indent(write, x, stop[c]);
        if (c < last && (c > 0 || k > 0 || p.followed_by_separator)) {
          write(p.data, p.len);
          x += displayWidth(p.data, p.len);
        } else if (!(own_line && c == last)) {
          (c == 0 ? interjection_wrapper : last_wrapper).process(write, p.data, p.len);
        }
      }
    }
    if (own_line && int(row.size()) > last) {
      for (const Piece& p : row[last]) {
        write("\n", 1);
        int cursor = 0;
        indent(write, cursor, width - right);
        last_wrapper.process(write, p.data, p.len);
      }
    }
    write("\n", 1);
    last_wrapper.flush(write);
    interjection_wrapper.flush(write);
  }
}

}  // namespace

int displayWidth(const char* text, int len) {
  int w = 0;
  for (int i = 0; i < len;) w += nextChar(text, len, i);
  return w;
}

void printUsage(IStringWriter& write, const Descriptor usage[], int width,
                int last_column_min_percent, int last_column_own_line_max_percent) {
  if (width < 1) width = 80;
  if (width > 10000) width = 10000;
  const int last_min = (width * last_column_min_percent + 50) / 100;
  int own_line_width = (width * last_column_own_line_max_percent + 50) / 100;
  if (own_line_width < 1) own_line_width = 1;

  // Rows with help text form tables; a row without one ends the current table.
  int i = 0;
  while (usage[i].short_names != nullptr) {
    while (usage[i].short_names != nullptr && usage[i].help == nullptr) ++i;
    std::vector<Row> rows;
    for (; usage[i].short_names != nullptr && usage[i].help != nullptr; ++i)
      for (Row& r : splitRows(usage[i].help)) rows.push_back(std::move(r));
    if (!rows.empty()) printTable(write, rows, width, last_min, own_line_width);
  }
}

}  // namespace PrintUsageImplementation

}  // namespace option
