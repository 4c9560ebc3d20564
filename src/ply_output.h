// Writes a particle set as a PLY point model: one vertex per particle with its effective
// position, current normal, colour and footprint size.
#pragma once

#include <cuda_runtime.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "particles.h"

// The model is in place under its name (an earlier model of that name is gone), but the folder
// could not be flushed to the disk after the rename, so a system crash may still undo it.
struct ModelNotFlushed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Binary little-endian, element "vertex" with x, y, z, nx, ny, nz (float), diffuse_red,
// diffuse_green, diffuse_blue (uchar) and psz (float): 31 bytes per vertex. The model is written
// through the descriptor of an exclusively created temporary file NAME.tmp-PID-N in the folder
// open as `folder_fd`; every name is looked up relative to that descriptor, so the model lands in
// that folder whatever becomes of the folder's own name meanwhile. When complete the file is
// flushed to the disk, checked to hold exactly what was written, closed, and renamed to `name`
// if that temporary name still refers to it; the folder is flushed after the rename. `shown` is
// the model as messages name it (the folder as given, a slash and `name`).
//
// Throws std::runtime_error naming the model, with the reason, when the file cannot be created,
// written, flushed or closed, when another program changed or replaced the temporary file, or
// when the folder was removed (then that is the reason given); the temporary file is then removed
// and whatever was at `name` is left untouched (or, when the name was swapped during the rename
// itself, what the rename put there is removed). Throws ModelNotFlushed when the model was
// renamed into place but the folder could not be flushed after the rename.
void writeParticlesToPLY(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals, int folder_fd,
                         const std::string& name, const std::string& shown);

// The same into the folder of `path`, opened for this write.
void writeParticlesToPLY(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals, const std::string& path);
