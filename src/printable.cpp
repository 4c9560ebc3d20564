#include "printable.h"

namespace {

bool continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// The length of the valid UTF-8 sequence of two or more bytes at s[i] (RFC 3629: no overlong
// form, no surrogate, nothing beyond U+10FFFF), 0 when there is none; *code gets its code point.
std::size_t utf8_sequence(std::string_view s, std::size_t i, char32_t* code) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  std::size_t n;
  char32_t lowest;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2, lowest = 0x80, *code = c & 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3, lowest = 0x800, *code = c & 0x0f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4, lowest = 0x10000, *code = c & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if (!continuation(d)) return 0;
    *code = (*code << 6) | (d & 0x3f);
  }
  if (*code < lowest || *code > 0x10ffff || (*code >= 0xd800 && *code <= 0xdfff)) return 0;
  return n;
}

// Characters that act on the terminal, on the order of the line or on its end, when shown raw:
// C0 and C1 controls and DEL; the bidirectional marks (U+061C, U+200E, U+200F), embeddings,
// overrides and isolates; the line and paragraph separators U+2028, U+2029.
bool hidden(char32_t code) {
  return code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x061c || code == 0x200e ||
         code == 0x200f || code == 0x2028 || code == 0x2029 || (code >= 0x202a && code <= 0x202e) ||
         (code >= 0x2066 && code <= 0x2069);
}

void escape(std::string& out, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  out += "\\x";
  out += hex[c >> 4];
  out += hex[c & 15];
}

}  // namespace

std::string printable_path(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size();) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    char32_t code = c;
    std::size_t n = 1;
    if (c >= 0x80) {
      n = utf8_sequence(path, i, &code);
      if (n == 0) {  // not UTF-8: this byte alone, then on from the next one
        escape(out, c);
        ++i;
        continue;
      }
    }
    if (c == '\\') {
      out += "\\\\";
    } else if (hidden(code)) {
      for (std::size_t k = 0; k < n; ++k) escape(out, static_cast<unsigned char>(path[i + k]));
    } else {
      out.append(path.data() + i, n);
    }
    i += n;
  }
  return out;
}

std::size_t shown_word_bytes(std::string_view word, std::size_t limit) {
  if (word.size() <= limit) return word.size();
  // Back to the lead byte of a character the limit falls in (a UTF-8 character has at most three
  // continuation bytes; more are no UTF-8 and may be cut anywhere).
  std::size_t n = limit;
  while (n > 0 && limit - n < 3 && continuation(static_cast<unsigned char>(word[n]))) --n;
  return continuation(static_cast<unsigned char>(word[n])) ? limit : n;
}

std::string printable_word(std::string_view word, std::size_t limit) {
  const std::size_t shown = shown_word_bytes(word, limit);
  std::string out = printable_path(word.substr(0, shown));
  if (shown < word.size()) out += "... (" + std::to_string(word.size()) + " bytes)";
  return out;
}
