#include "cmatrix/file_error.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "printable.h"

ImageFileError::ImageFileError(const std::string& prefix, const std::string& before,
                               const char* fileName, const std::string& after)
    : std::runtime_error(prefix + before + (before.empty() ? "File " : "file ") +
                         printable_path(fileName) + after),
      withoutName_(prefix + before + (before.empty() ? "The file" : "the file") + after) {}

FILE* tryOpenImageFile(const char* fileName, const char* mode, int* err) {
  FILE* f = std::fopen(fileName, mode);
  *err = f ? 0 : errno;
  struct stat st;
  if (f && ::fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    f = nullptr;
    *err = EISDIR;
  }
  return f;
}

ImageFileError cannotOpen(const std::string& prefix, const char* fileName, int err) {
  return ImageFileError(prefix, "Cannot open ", fileName, ": " + std::string(std::strerror(err)));
}

FILE* openImageFile(const std::string& prefix, const char* fileName, const char* mode) {
  int err;
  FILE* f = tryOpenImageFile(fileName, mode, &err);
  if (!f) throw cannotOpen(prefix, fileName, err);
  return f;
}
