// Paths as messages show them. A path comes from the user or from a file and may hold any byte
// but NUL; written raw, control bytes (ESC ] 0 ; ... BEL, ESC [ 2 J) would retitle or clear the
// terminal that shows the message.
#pragma once

#include <string>
#include <string_view>

// `path` with every byte outside printable ASCII (0x20 to 0x7e) written as \xNN (two lower-case
// hex digits), whole: a path of printable ASCII comes back unchanged. The caller adds the quotes
// its message uses.
std::string printable_path(std::string_view path);
