// Pointwise confidence limits of a survival or incidence value under the
// five transforms of CONFTYPE=, the membership tests that find the
// confidence intervals of quartiles, and the transforms' words.
#pragma once

// Lower and upper confidence limit of `survival` with standard error `std`
// and critical value `critval` under transform `conftype` (1 linear,
// 2 arcsine-square-root, 3 log-log, 4 log, 5 logit). Limits that cannot be
// formed are the ordinary missing value; an unknown code leaves them alone.
void korvwcl(int conftype, double std, double critval, double survival, double* lcl, double* ucl);

// 1 when survival x (standard error std) is compatible with the level pp at
// critical value crit under the transform, else 0.
int qtLinear(double x, double pp, double std, double crit);
int qtArcSineSqrt(double x, double pp, double std, double crit);
int qtLoglog(double x, double pp, double std, double crit);
int qtLog(double x, double pp, double std, double crit);
int qtLogit(double x, double pp, double std, double crit);
using QtTest = int (*)(double, double, double, double);
// The membership test of a transform code (linear for an unknown code).
QtTest korv_qt_test(int conftype);
// The eight-character, blank-padded word of a transform code ("LINEAR  ",
// "ASINSQRT", "LOGLOG  ", "LOG     ", "LOGIT   "); blanks for an unknown code.
const char* korv_conftype_word(int conftype);
