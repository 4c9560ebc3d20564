// Failures of the image readers and writers that concern one file. The message names the file,
// escaped as printable_path does; withoutName() gives the same message with "the file" in its
// place, for a caller whose own message names the file already.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

class ImageFileError : public std::runtime_error {
 public:
  // prefix + before + "file NAME" + after ("File NAME" when `before` is empty).
  ImageFileError(const std::string& prefix, const std::string& before, const char* fileName,
                 const std::string& after);
  const std::string& withoutName() const { return withoutName_; }

 private:
  std::string withoutName_;
};

// std::fopen, or throws "PREFIX Cannot open file NAME: REASON". A folder, which opens but cannot
// be read or written as a file, is refused here too.
FILE* openImageFile(const std::string& prefix, const char* fileName, const char* mode);
