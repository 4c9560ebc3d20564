// Compiled to PTX with the flags every target gets; check_contraction.cmake fails the tests when
// a product followed by an addition comes out fused.
__global__ void contraction_probe(float* f, double* d, float a, float b, double x, double y) {
  f[0] = f[1] * a + b;
  f[2] = f[3] * f[4] - f[5] * a;
  d[0] = d[1] * x + y;
  d[2] = d[3] * d[4] - d[5] * x;
}
