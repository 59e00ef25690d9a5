// Dense-vector kernels on arrays of doubles. They allocate nothing and never
// fail; a length below 1 is an empty vector.
#pragma once

double zinner(const double* a, const double* b, int n);
double zvdotj1(const double* a, long ja, const double* b, long n);
double zvsum(const double* a, long n);
double zvamx(const double* vector, long dim);
double zvamxj(const double* vector, long j, long dim);
double zvenorm(long n, long incx, const double* x);
void zvaxpy(double* z, const double* x, const double* y, int n, double alpha);
void zvxay11(double* a, const double* b, long n, double alpha);
void zvscl11(double* c, const double* a, long n, double alpha);
void zvmov1s(double* c, const double* a, long ja, long n);
// Adds weight data[i] data[j] to packed element (i, j), j <= i < nv. Returns
// 1 when added, 0 when skipped (a missing value, or a missing or zero weight).
int zscp(const double* data, int nv, double weight, double* sscp);
