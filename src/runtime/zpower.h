// Safe power and integer extremes.
#pragma once

// x to the power y without ever raising a floating-point exception or
// returning an infinity. *rc is always set: 0 success (an underflow gives 0.0
// with rc 0), 1 overflow, 2 negative base with a non-integral (or too large)
// exponent, 3 zero base with an exponent of 0 or below; rc 1 to 3 return the
// ordinary missing value.
double zpower(double x, double y, int* rc);

// a when b < a, else b.
int max(int a, int b);
// a when a < b, else b.
int min(int a, int b);
// The larger of two longs.
long lmax(long a, long b);
