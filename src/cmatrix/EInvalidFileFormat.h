// The exception of the PPM and PGM readers for a file whose magic number is not the expected one.
// It prints nothing: the caller that catches it says what the file was for.
#pragma once

#include <string>

class EInvalidFileFormat {
 public:
  explicit EInvalidFileFormat(const char* format);
  // "File is not in <format> format".
  const char* what() const noexcept { return text_.c_str(); }

 private:
  std::string text_;
};
