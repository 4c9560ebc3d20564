// Closed-form eigen-decomposition of a real symmetric 3x3 matrix in double precision: eigenvalues
// from the trigonometric solution of the characteristic cubic, eigenvectors from cross products
// of the columns of A - w I, with fixed fallbacks for degenerate cases.
#pragma once

// Eigenvalues of the symmetric matrix whose upper triangle A holds: w[0] is the largest, w[1]
// the smallest, w[2] the middle one. A is not changed. Returns 0.
int dsyevc3(double A[3][3], double w[3]);

// Eigenvalues (as dsyevc3) and unit eigenvectors: column k of Q belongs to w[k], and column 2 is
// the cross product of columns 0 and 1. A is used as scratch. Returns 0.
int dsyevv3(double A[3][3], double Q[3][3], double w[3]);
