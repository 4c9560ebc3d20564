#include "ply_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "ply/ply.h"

namespace {

// The writer's first error during the current call (create failures come without a handle, so
// it cannot travel in the handle's user data).
thread_local std::string first_error;

void rememberError(p_ply, const char* message) {
  if (first_error.empty()) first_error = message;
}

[[noreturn]] void throwFailure(const std::string& path) {
  std::stringstream ss;
  ss << "writeParticlesToPLY: cannot write the model \"" << path << "\"" << std::endl
     << (first_error.empty() ? std::string("unknown error") : first_error);
  throw std::runtime_error(ss.str());
}

// A fresh, empty file beside `path` (same folder, so that the final rename stays on one file
// system). O_EXCL: an existing file or symlink of that name is never written through.
std::string createTemporaryBeside(const std::string& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::stringstream name;
    name << path << ".tmp-" << getpid() << "-" << attempt;
    const int fd = ::open(name.str().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return name.str();
    }
    if (errno != EEXIST) {
      first_error = std::string("Unable to create file (") + std::strerror(errno) + ")";
      throwFailure(path);
    }
  }
  first_error = "Unable to create a temporary file";
  throwFailure(path);
}

// Removes the temporary file unless the write succeeded and it was renamed.
struct TemporaryFile {
  std::string name;
  bool keep = false;
  ~TemporaryFile() {
    if (!keep) std::remove(name.c_str());
  }
};

}  // namespace

void writeParticlesToPLY(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals, std::string path) {
  const std::size_t n = particles.size();
  if (offsets.size() < n || normals.size() < n) {
    std::stringstream ss;
    ss << "writeParticlesToPLY: offsets and normals must hold an entry per particle" << std::endl
       << "particles: " << n << ", offsets: " << offsets.size() << ", normals: " << normals.size();
    throw std::runtime_error(ss.str());
  }

  // The model is written under a temporary name and renamed over `path` only when complete, so
  // a failed write (full disk, file-size limit) never leaves a short model, and an earlier model
  // of the same name stays as it was.
  first_error.clear();
  // Only a regular file (or a symlink, which the rename replaces) may stand at `path`: renaming
  // over a device or a folder would replace something that is not a model.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    first_error = "it exists and is not a regular file";
    throwFailure(path);
  }
  TemporaryFile tmp{createTemporaryBeside(path)};
  p_ply ply = ply_create(tmp.name.c_str(), PLY_DEFAULT, rememberError, 0, nullptr);
  if (!ply) throwFailure(path);

  bool ok = ply_add_element(ply, "vertex", long(n));
  const char* const float_names[] = {"x", "y", "z", "nx", "ny", "nz"};
  for (const char* name : float_names) ok = ok && ply_add_scalar_property(ply, name, PLY_FLOAT);
  ok = ok && ply_add_scalar_property(ply, "diffuse_red", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "diffuse_green", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "diffuse_blue", PLY_UCHAR);
  ok = ok && ply_add_scalar_property(ply, "psz", PLY_FLOAT);
  ok = ok && ply_write_header(ply);

  for (std::size_t i = 0; ok && i < n; ++i) {
    const Particle& p = particles[i];
    // Effective position in single precision: offset times direction, then the base added.
    const float o = offsets[i];
    const float x = p.position.x + o * p.direction.x;
    const float y = p.position.y + o * p.direction.y;
    const float z = p.position.z + o * p.direction.z;
    ok = ply_write(ply, x) && ply_write(ply, y) && ply_write(ply, z) &&
         ply_write(ply, normals[i].x) && ply_write(ply, normals[i].y) &&
         ply_write(ply, normals[i].z) && ply_write(ply, p.color.x) &&
         ply_write(ply, p.color.y) && ply_write(ply, p.color.z) && ply_write(ply, p.size);
  }
  // Close in any case, so the handle is freed; a short or unfinished file is a failure.
  const bool closed = ply_close(ply);
  if (!ok || !closed) throwFailure(path);
  if (std::rename(tmp.name.c_str(), path.c_str()) != 0) {
    first_error = std::string("cannot rename the finished file (") + std::strerror(errno) + ")";
    throwFailure(path);
  }
  tmp.keep = true;
}
