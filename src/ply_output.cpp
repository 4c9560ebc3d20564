#include "ply_output.h"

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

  first_error.clear();
  p_ply ply = ply_create(path.c_str(), PLY_DEFAULT, rememberError, 0, nullptr);
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
}
