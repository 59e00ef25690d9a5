// Distributions of the maxima that multiple comparisons refer to: the
// studentized range Q of k means and the studentized maximum modulus of m
// independent estimates, each with a common denominator on df degrees of
// freedom (df missing, infinite or above 1e7: the normal case, no
// denominator). Also an adaptive Gauss-Kronrod integrator and a root finder
// that these and the comparison engine share.
//
// Definitions (Z_i independent standard normals, S^2 = chi-square(df)/df
// independent of them):
//   studentized range            Q = (max_i Z_i - min_i Z_i) / S,  i = 1..k
//   studentized maximum modulus  M = max_i |Z_i| / S,              i = 1..m
// With df infinite, P(Q <= q) = k int phi(z) [Phi(z) - Phi(z - q)]^(k-1) dz
// and P(M <= t) = (2 Phi(t) - 1)^m; with finite df both are averaged over the
// distribution of S. Upper tails are integrated directly (not as 1 minus the
// lower tail), so that small p-values keep their relative accuracy.
//
// Every function returns the ordinary missing value for invalid arguments
// (q or t missing, k < 2, m < 1, df <= 0, p outside (0, 1)).
#pragma once

#include <functional>

// P(Q <= q) and P(Q > q) for the range of nmeans means.
double zptukey(double q, int nmeans, double df);
double zptukeyc(double q, int nmeans, double df);
// The q with P(Q <= q) = p.
double zqtukey(double p, int nmeans, double df);

// P(M <= t) and P(M > t) for m estimates.
double zpsmm(double t, int m, double df);
double zpsmmc(double t, int m, double df);
// The t with P(M <= t) = p.
double zqsmm(double p, int m, double df);

// Adaptive Gauss-Kronrod (7-point Gauss, 15-point Kronrod) integral of f over
// [a, b], bisecting intervals until each one's Kronrod-Gauss difference is
// within its share of max(epsabs, epsrel |I|). *abserr (when given) gets the
// summed error estimate. Never more than maxIntervals intervals.
double zgkquad(const std::function<double(double)>& f, double a, double b, double epsabs,
               double epsrel, double* abserr = nullptr, int maxIntervals = 2000);

// A root of f in [a, b] by Brent's method (bisection, secant and inverse
// quadratic steps), when f(a) and f(b) differ in sign; to within tol in x.
// Returns false, and *x unchanged, when f(a) and f(b) have the same sign.
bool zbrentzero(const std::function<double(double)>& f, double a, double b, double tol, double* x);
