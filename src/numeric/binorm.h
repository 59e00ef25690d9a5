// The standard bivariate normal lower-orthant probability and Owen's T
// function T(h, a) = (1/2 pi) int_0^a exp(-h^2 (1 + t^2)/2) / (1 + t^2) dt.
#pragma once

// P(X <= x, Y <= y) for correlation rho; ier 0 success, 1 error (|rho| > 1,
// missing input or a failed integration; the result is then -1, or the
// missing value for missing input).
double zprbbnr(double x, double y, double rho, int* ier);
// T(h, a) for a >= 0. For a > 1 the value lacks the term Phi(-|h|)/2 and
// normh is set to 1 so that the caller adds it.
double ztfn(double h, double a, int* normh);
// T(h, a) for 0 <= a <= 1; with normah set on entry, T(h, a) - Phi(h)/2 and
// normah cleared.
double tfn(double h, double a, int* normah);
// Owen's series for T(h, a) (small a and |h|).
double tfn1(double h, double a);
// T(h, a) by quadrature; 0 when the integration fails.
double tfn2(double h, double a);
// The term of Owen's reduction in x: Phi(x)/2 - T(x, a_x) with
// a_x = (y - r x) / (x sqrt(1 - r^2)), returned without its half units, which
// are added to *half (the caller adds half / 2 at the end).
double cp(double x, double y, double r, int* half);
// The probability as the integral of phi(t) Phi((x - r t)/sqrt(1 - r^2)) over
// t up to y; rc = 1 and -1 returned when the integration fails.
double UseIntegration(double x, double y, double r, int* rc);
// x - arctan(x), accurate also for small x.
double zxmatan(double x);
