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

// std::fopen, or null with the reason's errno in *err. A folder, which opens but cannot be read
// or written as a file, is refused here too (EISDIR).
FILE* tryOpenImageFile(const char* fileName, const char* mode, int* err);

// The error of a failed tryOpenImageFile: "PREFIX Cannot open file NAME: REASON".
ImageFileError cannotOpen(const std::string& prefix, const char* fileName, int err);

// tryOpenImageFile, or throws cannotOpen.
FILE* openImageFile(const std::string& prefix, const char* fileName, const char* mode);
