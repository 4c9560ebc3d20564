// Compiled to PTX with the flags every target gets; check_contraction.cmake fails the tests when
// a product followed by an addition comes out fused, or division, square root or denormals are
// no longer IEEE as on the host.
__global__ void contraction_probe(float* f, double* d, float a, float b, double x, double y) {
  f[0] = f[1] * a + b;
  f[2] = f[3] * f[4] - f[5] * a;
  f[6] = f[7] / a + sqrtf(b);
  d[0] = d[1] * x + y;
  d[2] = d[3] * d[4] - d[5] * x;
}
