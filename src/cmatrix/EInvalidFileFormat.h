// The exception of the PPM and PGM readers for a file whose magic number is not the expected one.
// It carries no text: making it reports the problem on standard error.
#pragma once

class EInvalidFileFormat {
 public:
  explicit EInvalidFileFormat(const char* format);
};
