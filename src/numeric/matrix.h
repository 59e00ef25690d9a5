// Small dense-matrix routines: packed-triangle index, Cholesky row,
// quadratic forms, Gram-Schmidt orthonormalisation and the general product.
#pragma once

// Position of element (i, j) of a packed symmetric matrix.
long zisub(int i, int j);
// Overwrites row k of the packed matrix base with row k of its lower
// Cholesky factor (rows 0..k-1 already factored); a pivot not above tol is
// set to 0. Returns the pivot residual of the diagonal step.
double zchol(int k, double* base, double tol);
// prod = rec' sym rec (scalar for p = 1, else packed p by p); acc nonzero adds.
void zqform(const double* sym, int n, const double* rec, int p, double* prod, double* work,
            int acc);
// Orthonormalises the n columns of the m by n row-major a into p; t receives
// R transposed (packed lower). Returns the number of dependent columns.
int zgsorth(int m, int n, const double* a, double* p, double* t);
// r = op(x) op(y) (rf = 0) or r += op(x) op(y) (rf nonzero), row-major; op
// transposes when its flag is nonzero. Returns 0, or 1 when the dimensions
// do not conform (r is then left as it was).
int hzmmultr(double* r, int rf, const double* x, int nx, int mx, int xf, const double* y, int ny,
             int my, int yf);
// r (+)= a op(b), b nb by mb; f = 1 reads b transposed.
void QXSAXzsmultr(double* r, int rf, double a, const double* b, int nb, int mb, int f);

// Column-major general matrix product C = alpha op(A) op(B) + beta C, the
// classic interface (transa/transb 'N' or 'T'), blocked for the cache.
void dgemm(char transa, char transb, int m, int n, int k, double alpha, const double* A, int lda,
           const double* B, int ldb, double beta, double* C, int ldc);
