// A pinhole camera for the superpixel tests: world-to-camera rotation about the y axis by `yaw`
// radians and translation t, intrinsics with the principal point mirrored as the camera reader
// keeps it.
#pragma once

#include <cmath>

#include "camera.h"

inline Camera testCamera(int width, int height, float f, float yaw, float3 t) {
  Camera c;
  c.width = width;
  c.height = height;
  c.K[0] = f;
  c.K[4] = f;
  c.K[8] = 1.0f;
  // The file's principal point is the image centre, which mirroring leaves where it is.
  c.K[6] = float(width - 1) - 0.5f * float(width - 1);
  c.K[7] = float(height - 1) - 0.5f * float(height - 1);
  const float cs = std::cos(yaw), sn = std::sin(yaw);
  // Row by row: [cs 0 sn; 0 1 0; -sn 0 cs]; stored column by column.
  const float rows[3][3] = {{cs, 0.0f, sn}, {0.0f, 1.0f, 0.0f}, {-sn, 0.0f, cs}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c.R[3 * j + i] = rows[i][j];
  c.t = t;
  const float tt[3] = {t.x, t.y, t.z};
  float C[3];
  for (int j = 0; j < 3; ++j) C[j] = -(rows[0][j] * tt[0] + rows[1][j] * tt[1] + rows[2][j] * tt[2]);
  c.center = make_float3(C[0], C[1], C[2]);
  return c;
}
