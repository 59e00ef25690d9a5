// The kernels of the smoothed hazard, its estimate and variance at a time,
// and the MISE that chooses its bandwidth.
//
// Speed. The event times are sorted: the window of a time is found by
// bisection and summed from there, so one estimate costs the logarithm of
// the number of event times plus the events in the window. The cross term
// of the MISE is a sum over pairs of event times no farther apart than the
// bandwidth; with a wide bandwidth and many events that is most pairs, so it
// is formed in one pass instead: the kernels are polynomials in the
// distance, and the sums of dH_i (T_j - T_i)^k over the window behind T_j
// are carried from one event time to the next (each distance grows by the
// step between the two times, a binomial update), the times that fall out
// of the window being taken off. The sums only hold distances up to the
// bandwidth, so nothing large cancels; they are formed afresh whenever more
// times have left the window since they were last formed than it holds, so
// that rounding cannot build up, at a cost that stays linear.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "estimate/korvkrn.h"
#include "numeric/solvers.h"
#include "runtime/missing.h"

// ---------------------------------------------------------------------------
// Kernels and boundary coefficients.

void KerE(double x, double* kx)
{
    *kx = 1 - x * x;
}

void KerU(double, double* kx)
{
    *kx = 1;
}

void KerB(double x, double* kx)
{
    const double u = 1 - x * x;
    *kx = u * u;
}

void AsymE(double q, double* alfa, double* beta)
{
    const double p = 1 + q, p2 = p * p;
    const double d = p2 * p2 * (19 - 18 * q + 3 * q * q);
    *alfa = 64 * (2 - 4 * q + 6 * q * q - 3 * q * q * q) / d;
    *beta = 240 * (1 - q) * (1 - q) / d;
}

void AsymU(double q, double* alfa, double* beta)
{
    const double p = 1 + q, p3 = p * p * p;
    *alfa = 8 * (1 + q * q * q) / (p3 * p);
    *beta = 12 * (1 - q) / p3;
}

void AsymB(double q, double* alfa, double* beta)
{
    const double p = 1 + q, p2 = p * p;
    const double q2 = q * q, q3 = q2 * q, q4 = q2 * q2;
    const double d = p2 * p2 * p * (81 - 168 * q + 126 * q2 - 40 * q3 + 5 * q4);
    *alfa = 64 * (8 - 24 * q + 48 * q2 - 45 * q3 + 15 * q4) / d;
    const double r = 1 - q;
    *beta = 1120 * r * r * r / d;
}

double korv_kernel_c(int kernel)
{
    switch (kernel) {
    case 0:
        return 0.75;
    case 1:
        return 0.5;
    case 2:
        return 0.9375;
    default:
        return 0;
    }
}

const char* korv_kernel_name(int kernel)
{
    switch (kernel) {
    case 0:
        return "Epanechnikov";
    case 1:
        return "Uniform";
    case 2:
        return "Biweight";
    default:
        return nullptr;
    }
}

namespace
{

// The kernel polynomials, inlined in the sums.
template <int KERN> inline double kern(double x)
{
    if constexpr (KERN == 0) {
        return 1 - x * x;
    } else if constexpr (KERN == 1) {
        return 1;
    } else {
        const double u = 1 - x * x;
        return u * u;
    }
}

void boundary(int kernel, double q, double* alfa, double* beta)
{
    switch (kernel) {
    case 0:
        AsymE(q, alfa, beta);
        break;
    case 1:
        AsymU(q, alfa, beta);
        break;
    default:
        AsymB(q, alfa, beta);
        break;
    }
}

// Sum of w_i dH_i (and of w_i^2 dvarH_i when v is given) over the event
// times within b of t, w_i = K(x) (alfa + sbeta x), x = (t - T_i) / b.
template <int KERN>
double windowSum(const SMOOTHED* s, double t, double b, double alfa, double sbeta, double* v)
{
    const double* T = s->t;
    const long n = s->njmp;
    // The first time with t - T <= b.
    long i = std::partition_point(T, T + n, [&](double x) { return t - x > b; }) - T;
    double sum = 0, var = 0;
    for (; i < n; ++i) {
        const double d = t - T[i];
        if (-d > b)
            break;
        const double x = d / b;
        const double w = kern<KERN>(x) * (alfa + sbeta * x);
        sum += w * s->dH[i];
        if (v)
            var += w * w * s->dvarH[i];
    }
    if (v)
        *v = var;
    return sum;
}

// The estimate at t (and its variance into var when given).
double smoothed(const SMOOTHED* s, double t, double b, double* var)
{
    const double c = korv_kernel_c(s->kernel);
    if (t - s->tr > 1e-8 || !(b > 0) || c == 0) {
        if (var)
            *var = korv_missing();
        return korv_missing();
    }
    // The lower boundary is measured from time 0, where the data begin; the
    // upper from the grid's end. When both apply the lower one is used.
    double alfa = 1, sbeta = 0;
    bool edge = false;
    if (t < b) {
        double beta;
        boundary(s->kernel, std::clamp(t / b, 0.0, 1.0), &alfa, &beta);
        sbeta = beta;
        edge = true;
    } else if (t + b > s->tr) {
        double beta;
        boundary(s->kernel, std::clamp((s->tr - t) / b, 0.0, 1.0), &alfa, &beta);
        sbeta = -beta;
        edge = true;
    }
    double v = 0;
    double S;
    switch (s->kernel) {
    case 0:
        S = windowSum<0>(s, t, b, alfa, sbeta, var ? &v : nullptr);
        break;
    case 1:
        S = windowSum<1>(s, t, b, alfa, sbeta, var ? &v : nullptr);
        break;
    default:
        S = windowSum<2>(s, t, b, alfa, sbeta, var ? &v : nullptr);
        break;
    }
    // A boundary kernel takes negative values: its sum may fall below 0,
    // which a hazard cannot.
    if (edge)
        S = std::max(S, 0.0);
    const double cb = c / b;
    if (var)
        *var = v * cb * cb;
    return S * cb;
}

// ---------------------------------------------------------------------------
// The cross term of the MISE in one pass (see the top of the file).

template <int P> void shiftSums(double* S, double delta)
{
    // S_k <- sum over m <= k of C(k, m) delta^(k - m) S_m, from the top down
    // so that each uses the sums before the shift.
    static constexpr double binom[5][5] = {
        {1, 0, 0, 0, 0}, {1, 1, 0, 0, 0}, {1, 2, 1, 0, 0}, {1, 3, 3, 1, 0}, {1, 4, 6, 4, 1}};
    double pw[5] = {1, delta, delta * delta, 0, 0};
    pw[3] = pw[2] * delta;
    pw[4] = pw[2] * pw[2];
    for (int k = P - 1; k >= 1; --k) {
        double x = S[k];
        for (int m = 0; m < k; ++m)
            x += binom[k][m] * pw[k - m] * S[m];
        S[k] = x;
    }
}

template <int P> void addTerm(double* S, double w, double d)
{
    double p = w;
    for (int k = 0; k < P; ++k) {
        S[k] += p;
        p *= d;
    }
}

template <int KERN> double kernelOfSums(const double* S, double b)
{
    if constexpr (KERN == 1) {
        return S[0];
    } else if constexpr (KERN == 0) {
        return S[0] - S[2] / (b * b);
    } else {
        const double b2 = b * b;
        return S[0] - 2 * S[2] / b2 + S[4] / (b2 * b2);
    }
}

template <int KERN> double crossTerm(const double* T, const double* dH, long lo, long hi, double b)
{
    constexpr int P = KERN == 1 ? 1 : KERN == 0 ? 3 : 5;
    double S[5] = {0, 0, 0, 0, 0};
    long first = lo; // first time of the window behind T_j
    long left = 0;   // times that left the window since the sums were formed
    double X = 0;
    for (long j = lo + 1; j <= hi; ++j) {
        const double delta = T[j] - T[j - 1];
        shiftSums<P>(S, delta);
        addTerm<P>(S, dH[j - 1], delta);
        while (first < j && T[j] - T[first] > b) {
            addTerm<P>(S, -dH[first], T[j] - T[first]);
            ++first;
            ++left;
        }
        if (first == j || left > j - first) {
            std::fill(S, S + P, 0.0);
            for (long i = first; i < j; ++i)
                addTerm<P>(S, dH[i], T[j] - T[i]);
            left = 0;
        }
        X += dH[j] * kernelOfSums<KERN>(S, b);
    }
    return X;
}

} // namespace

double ephaz(double t, double b, const SMOOTHED* hazard)
{
    return smoothed(hazard, t, b, nullptr);
}

double varhaz(double t, double b, const SMOOTHED* hazard, double* var)
{
    return smoothed(hazard, t, b, var);
}

double korv_mise_cross(const SMOOTHED* s, double b)
{
    const double* T = s->t;
    const long n = s->njmp;
    const long lo = std::lower_bound(T, T + n, s->tl) - T;
    const long hi = (std::upper_bound(T, T + n, s->tr) - T) - 1;
    if (hi <= lo)
        return 0;
    switch (s->kernel) {
    case 0:
        return crossTerm<0>(T, s->dH, lo, hi, b);
    case 1:
        return crossTerm<1>(T, s->dH, lo, hi, b);
    default:
        return crossTerm<2>(T, s->dH, lo, hi, b);
    }
}

int mise(double b, double* fb, void* fargs)
{
    const SMOOTHED* s = static_cast<const SMOOTHED*>(fargs);
    const double c = korv_kernel_c(s->kernel);
    if (!(b > 0) || c == 0) {
        *fb = DBL_MAX;
        return 0;
    }
    // The integral of the squared estimate by the trapezoidal rule over
    // nmingrid points from tl to tr.
    const int m = std::max(s->nmingrid, 2);
    const double h = (s->tr - s->tl) / (m - 1);
    double prev = ephaz(s->tl, b, s);
    prev *= prev;
    double I = 0;
    for (int k = 1; k < m; ++k) {
        const double x = korv_smoothed_grid_point(s->tl, s->tr, m, k);
        double e = ephaz(x, b, s);
        e *= e;
        I += prev + e;
        prev = e;
    }
    I *= h / 2;
    *fb = I - korv_mise_cross(s, b) * 4 * c / b;
    return 0;
}

int korv_mise_minimum(SMOOTHED* s, double events, double* b, MiseRange* range)
{
    const double r = std::pow(std::max(events, 0.0), 0.2);
    if (r < 1.110223024625157e-16)
        return 1;
    s->bwpilot = (s->tr - s->tl) / (8 * r);
    double low = 0.2 * s->bwpilot, high = 20 * s->bwpilot;
    if (!wzmis(s->bl)) {
        low = s->bl;
        high = s->br;
    }
    auto objective = [](double* f, void* args, double x) { return mise(x, f, args); };
    double xmin = 0, fmin = 0;
    const int rc =
        zbrent(objective, s, low, 0.50001 * low + 0.49999 * high, high, 0.01, 50, &xmin, &fmin);
    if (range) {
        range->low = low;
        range->high = high;
        // Within the search's own tolerance of an end: the search stops
        // there when the criterion falls toward that end.
        const double tol2 = 2 * (0.01 * std::fabs(xmin) + 1e-10);
        range->atEnd = xmin - low <= tol2 ? -1 : high - xmin <= tol2 ? 1 : 0;
    }
    if (rc != 0)
        return 2;
    *b = xmin;
    return 0;
}

void korv_smoothed_limits(double h, double var, double critical, double* se, double* lower,
                          double* upper)
{
    const double miss = korv_missing();
    *se = wzmis(var) ? miss : std::sqrt(var);
    *lower = *upper = miss;
    if (wzmis(h) || wzmis(*se) || h < 1.110223024625157e-16)
        return;
    const double r = *se / h;
    if (r < 5) {
        const double e = std::exp(critical * r);
        *lower = h / e;
        *upper = h * e;
    }
}

double korv_smoothed_grid_point(double tl, double tr, int n, int k)
{
    if (k >= n - 1)
        return tr;
    return tl + k * ((tr - tl) / (n - 1));
}
