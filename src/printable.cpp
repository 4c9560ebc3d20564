#include "printable.h"

std::string printable_path(std::string_view path) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(path.size());
  for (const char ch : path) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f) {
      out += ch;
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}
