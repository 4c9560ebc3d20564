#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "printable.h"

namespace {

// Printable text, ASCII or UTF-8, is shown as written; every byte that could act on a terminal or
// reorder what follows it on the line, or that is not UTF-8, is written \xNN, and the backslash
// itself \\, so that a shown name reads back to its bytes.
TEST(PrintablePath, ShowsPrintableUtf8AndEscapesTheRest) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain/camera_00.txt", "plain/camera_00.txt"},
      {"cam\xc3\xa9ra_\xe6\x97\xa5\xe6\x9c\xac.txt", "cam\xc3\xa9ra_\xe6\x97\xa5\xe6\x9c\xac.txt"},
      {"\xf0\x9f\x98\x80 \xc2\xa0 \xed\x9f\xbf \xf4\x8f\xbf\xbf \xe2\x80\xaf \xe2\x81\xa5",
       "\xf0\x9f\x98\x80 \xc2\xa0 \xed\x9f\xbf \xf4\x8f\xbf\xbf \xe2\x80\xaf \xe2\x81\xa5"},
      // C0 controls, DEL and C1 controls, raw and as UTF-8.
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x1b[2J\t\n\x1f", "\\x1b[2J\\x09\\x0a\\x1f"},
      {"del\x7f.txt", "del\\x7f.txt"},
      {"c1\x85\x9b", "c1\\x85\\x9b"},
      {"c1\xc2\x80\xc2\x85\xc2\x9f", "c1\\xc2\\x80\\xc2\\x85\\xc2\\x9f"},
      // Bidirectional marks, embeddings, overrides and isolates; line and paragraph separators.
      {"a\xe2\x80\xaa\xe2\x80\xaetxt.exe", "a\\xe2\\x80\\xaa\\xe2\\x80\\xaetxt.exe"},
      {"\xe2\x81\xa6\xe2\x81\xa9", "\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
      {"\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f", "\\xd8\\x9c\\xe2\\x80\\x8e\\xe2\\x80\\x8f"},
      {"a\xe2\x80\xa8" "b\xe2\x80\xa9", "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9"},
      // Their neighbours are printable: U+061B, U+200D (the joiner of emoji sequences), U+2027.
      {"\xd8\x9b\xe2\x80\x8d\xe2\x80\xa7", "\xd8\x9b\xe2\x80\x8d\xe2\x80\xa7"},
      // Not UTF-8: overlong forms, surrogates, beyond U+10FFFF, stray and cut-short sequences.
      {"\xc0\xaf\xc1\xbf\xe0\x80\xaf\xf0\x80\x80\xaf",
       "\\xc0\\xaf\\xc1\\xbf\\xe0\\x80\\xaf\\xf0\\x80\\x80\\xaf"},
      {"\xed\xa0\x80\xed\xbf\xbf", "\\xed\\xa0\\x80\\xed\\xbf\\xbf"},
      {"\xf4\x90\x80\x80\xf5\x80\x80\x80\xff", "\\xf4\\x90\\x80\\x80\\xf5\\x80\\x80\\x80\\xff"},
      {"\xe6\x97z\xe6", "\\xe6\\x97z\\xe6"},
      {"\xa9\xc3", "\\xa9\\xc3"},
      // A backslash in the name cannot pass for an escape.
      {"back\\x1b.txt", "back\\\\x1b.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(printable_path(c.first), c.second) << c.second;
}

}  // namespace
