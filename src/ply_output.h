// Writes a particle set as a PLY point model: one vertex per particle with its effective
// position, current normal, colour and footprint size.
#pragma once

#include <cuda_runtime.h>

#include <string>
#include <vector>

#include "particles.h"

// Binary little-endian, element "vertex" with x, y, z, nx, ny, nz (float), diffuse_red,
// diffuse_green, diffuse_blue (uchar) and psz (float): 31 bytes per vertex. The model is written
// through the descriptor of an exclusively created temporary file in the same folder, which is
// renamed to `path` when complete if its name still refers to the file written. Throws
// std::runtime_error naming the file when it cannot be created, written or completed, or when
// another program replaced the temporary name; the temporary file is then removed and whatever
// was at `path` is left untouched (or, when the name was swapped during the rename itself, what
// the rename put there is removed).
void writeParticlesToPLY(const std::vector<Particle>& particles, const std::vector<float>& offsets,
                         const std::vector<float3>& normals, std::string path);
