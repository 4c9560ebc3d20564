// Paths and words as messages show them. A path comes from the user or from a file and may hold
// any byte but NUL; written raw, control bytes (ESC ] 0 ; ... BEL, ESC [ 2 J) would retitle or
// clear the terminal that shows the message, and bidirectional overrides would reorder the line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `path` with printable text shown as written, ASCII or UTF-8 (a name in any script reads as it
// is), and these bytes written \xNN (two lower-case hex digits): C0 controls and DEL, C1 controls
// (U+0080 to U+009F, as raw bytes or UTF-8 encoded), the bidirectional controls (the marks U+061C,
// U+200E and U+200F, the embeddings and overrides U+202A to U+202E, the isolates U+2066 to
// U+2069) and the line and paragraph separators U+2028 and U+2029, each byte of their UTF-8 form,
// and every byte that is not part of valid UTF-8 (overlong forms, surrogates, code points beyond
// U+10FFFF, stray or cut-short sequences). A backslash is written \\, so a shown name reads back
// to its bytes. The caller adds the quotes its message uses.
std::string printable_path(std::string_view path);

// Words from files and the environment are shown up to this many bytes.
constexpr std::size_t kShownWordBytes = 40;

// How many leading bytes of `word` a message shows: all of it up to `limit` bytes, else `limit`
// or fewer, so that no UTF-8 character is split.
std::size_t shown_word_bytes(std::string_view word, std::size_t limit = kShownWordBytes);

// `word` as printable_path shows it, cut after shown_word_bytes bytes and then followed by
// "... (N bytes)", N its whole length.
std::string printable_word(std::string_view word, std::size_t limit = kShownWordBytes);
