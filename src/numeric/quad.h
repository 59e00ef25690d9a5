// Adaptive quadrature (a trapezoidal rule in a transformed variable, centred
// on the integrand's peak, halving the step until two estimates agree) and
// the B-spline basis.
#pragma once

// The integrand: stores f(x) in *value; a nonzero return aborts the
// integration. With fscale set it returns f(x) / base^nshft and may raise
// nshft (never lower it).
using shrdfn = int (*)(void* userptr, double* value, double x);

// State of zhrdys. The caller fills the inputs (eps, a, b, peak, sigma,
// cycles, i_type, c_type, fentry, userptr and the scaling fields); the rest
// is work space.
struct shrdarg {
    double updt = 0;
    double eps = 0; // tolerance
    double eps3 = 0;
    double eserr = 0, esprob = 0;
    double a = 0, b = 0; // interval ends (b only for type 3)
    double bma = 0;
    double w1 = 0; // integrand at the peak, then the running estimate
    int nleft = 0, nright = 0;
    int quit = 0;
    // Returned when a node falls exactly on a finite end while the terms are
    // still significant. It defaults to failure so that a truncated integral
    // is never reported as converged.
    int cntnu = 1;
    double peak = 0;  // where the integrand is largest (variable of integration)
    double sigma = 0; // its spread: the initial step in the mapped variable
    double h = 0, h0 = 0;
    int cycles = 0; // most halvings allowed
    int acycles = 0;
    int i_type = 1; // 1 real line, 2 [a, infinity) by x = a + e^u, 3 [a, b] by a logistic map
    int c_type = 0; // 0 absolute-or-relative test, 1 relative test
    double crit = 0;
    double base = 0, rlogb = 0;
    int oshft = 0, nshft = 0, fscale = 0;
    void* userptr = nullptr;
    shrdfn fentry = nullptr;
    double steph = 0, steph0 = 0, e1 = 0, logbase = 0;
    int MaxCount = 0;
    int AcceptLogOne = 0;
    int InstanceFlag = 0, Direction = 0;
    int UseTighterConvergence = 0; // 1234567 selects the tolerance eps^(3/4)
    int ReachedExactFiniteBoundary = 0;
    double ExactFiniteBoundary = 0;
    double EstimatedErrorAtExactFiniteBoundary = 0;
};

// 0: converged, *prob = the integral (relative to base^nshft with fscale);
// 1 or cntnu: failure, *prob unchanged.
int zhrdys(shrdarg* qs, double* prob);

// B-spline basis of the given degree at x by de Boor's recurrence. ki is the
// knot interval, kept between calls. Returns 0 inside, 1 when x lay beyond the
// last knot and -1 below the first usable knot (x clamped in both cases).
int zmaopb(double x, int degree, int nknots, int* ki, const double* knots, double* bspline,
           double* deltar, double* deltal);
