// Building blocks of the incomplete gamma evaluation, shared by the plain and the
// log-scale routines.
#pragma once

// Log of z^(a-1) e^-z / Gamma(a), in a form that keeps its accuracy near the
// mode for large shapes.
double zlgprefx(double a, double z);
// Series for P: z times the sum over n of z^n / (a (a+1) ... (a+n)); false
// after 2000 terms.
bool zsergam(double a, double z, double* raw);
// Continued fraction for Q: z times Legendre's fraction; false after 1000 steps.
bool zcnf1gm(double a, double z, double* raw);
// Continued fraction for P (the same quantity as the series); false after
// 1000 steps.
bool zcnf2gm(double a, double z, double* raw);
