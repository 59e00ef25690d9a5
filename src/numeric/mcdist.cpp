// The studentized range and the studentized maximum modulus, with the
// adaptive Gauss-Kronrod integrator and Brent's root finder they use.
#include "numeric/mcdist.h"

#include "numeric/gamma.h"
#include "runtime/missing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>
#include <vector>

namespace
{

constexpr double kInvSqrt2 = 0.70710678118654752440;
constexpr double kInvSqrt2Pi = 0.39894228040143267794;

// Nodes of the 15-point Kronrod rule on [-1, 1] (the odd-numbered ones are
// the 7-point Gauss nodes), and the weights of both rules.
constexpr double kXgk[8] = {
    0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
    0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
    0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
    0.207784955007898467600689403773245, 0.0};
constexpr double kWgk[8] = {
    0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
    0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
    0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
    0.204432940075298892414161999234649, 0.209482141084727828012999174891714};
constexpr double kWg[4] = {0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
                           0.381830050505118944950369775488975,
                           0.417959183673469387755102040816327};

struct Piece {
    double a, b, value, error;
    bool operator<(const Piece& o) const { return error < o.error; }
};

Piece gk15(const std::function<double(double)>& f, double a, double b)
{
    const double c = 0.5 * (a + b), h = 0.5 * (b - a);
    const double fc = f(c);
    double k = fc * kWgk[7], g = fc * kWg[3];
    for (int j = 0; j < 7; ++j) {
        const double dx = h * kXgk[j];
        const double s = f(c - dx) + f(c + dx);
        k += kWgk[j] * s;
        if (j % 2 == 1)
            g += kWg[j / 2] * s;
    }
    return {a, b, k * h, std::fabs((k - g) * h)};
}

// Phi(x) and its complement 1 - Phi(x), each accurate in its own tail.
double Phi(double x)
{
    return 0.5 * std::erfc(-x * kInvSqrt2);
}
double Qc(double x)
{
    return 0.5 * std::erfc(x * kInvSqrt2);
}
double phi(double x)
{
    return kInvSqrt2Pi * std::exp(-0.5 * x * x);
}

// Phi(x) - Phi(y) for x >= y, without cancellation in either tail.
double PhiDiff(double x, double y)
{
    if (y > 0)
        return Qc(y) - Qc(x);
    if (x < 0)
        return Phi(x) - Phi(y);
    return 1.0 - Qc(x) - Phi(y);
}

bool normalCase(double df)
{
    return wzmis(df) || std::isinf(df) || df > 1e7;
}

bool badDf(double df)
{
    return !normalCase(df) && !(df > 0);
}

// The studentized range without a denominator: the lower tail
// k int phi(z) b^(k-1) dz and the upper tail k int phi(z) (a^(k-1) - b^(k-1))
// dz, a = Phi(z), b = Phi(z) - Phi(z - q).
double rangeInf(double q, int k, bool upper, double epsrel = 1e-13)
{
    if (q <= 0)
        return upper ? 1.0 : 0.0;
    const int n = k - 1;
    auto f = [&](double z) {
        const double b = PhiDiff(z, z - q);
        if (!upper)
            return k * phi(z) * std::pow(b, n);
        const double a = Phi(z);
        if (a <= 0)
            return 0.0;
        // a^n - b^n = -a^n expm1(n log(1 - d/a)), d = a - b = Phi(z - q).
        const double d = Phi(z - q);
        return -k * phi(z) * std::pow(a, n) * std::expm1(n * std::log1p(-d / a));
    };
    const double lo = std::min(-10.0, 0.5 * q - 10.0), hi = std::max(10.0, 0.5 * q + 10.0);
    return std::clamp(zgkquad(f, lo, hi, 1e-300, epsrel, nullptr, 4000), 0.0, 1.0);
}

// The maximum modulus without a denominator.
double smmInf(double t, int m, bool upper)
{
    if (t <= 0)
        return upper ? 1.0 : 0.0;
    const double l = std::log1p(-2.0 * Qc(t));
    return upper ? -std::expm1(m * l) : std::exp(m * l);
}

// Averages g(s) over the distribution of S = sqrt(chi-square(df)/df), whose
// density is 2 (df/2)^(df/2) / Gamma(df/2) s^(df-1) exp(-df s^2 / 2). The
// range is where the Wilson-Hilferty approximation puts all but 1e-23 of the
// mass.
double overS(double df, const std::function<double(double)>& g)
{
    const double c = std::log(2.0) + 0.5 * df * std::log(0.5 * df) - zlgamma(0.5 * df);
    const double w = 2.0 / (9.0 * df);
    const double hi = std::pow(1.0 - w + 10.0 * std::sqrt(w), 1.5);
    const double base = 1.0 - w - 10.0 * std::sqrt(w);
    const double lo = base > 0 ? std::pow(base, 1.5) : 0.0;
    auto f = [&](double s) {
        if (s <= 0)
            return 0.0;
        return std::exp(c + (df - 1.0) * std::log(s) - 0.5 * df * s * s) * g(s);
    };
    return zgkquad(f, lo, hi, 1e-300, 1e-10, nullptr, 2000);
}

double rangeProb(double q, int k, double df, bool upper)
{
    if (wzmis(q) || std::isnan(q) || k < 2 || badDf(df))
        return korv_missing();
    if (normalCase(df))
        return rangeInf(q, k, upper);
    if (q <= 0)
        return upper ? 1.0 : 0.0;
    const double v = overS(df, [&](double s) { return rangeInf(q * s, k, upper, 1e-11); });
    return std::clamp(v, 0.0, 1.0);
}

double smmProb(double t, int m, double df, bool upper)
{
    if (wzmis(t) || std::isnan(t) || m < 1 || badDf(df))
        return korv_missing();
    if (normalCase(df))
        return smmInf(t, m, upper);
    if (t <= 0)
        return upper ? 1.0 : 0.0;
    const double v = overS(df, [&](double s) { return smmInf(t * s, m, upper); });
    return std::clamp(v, 0.0, 1.0);
}

// The x >= 0 at which the lower tail reaches p: the lower tail itself is
// matched below the median, the log of the upper tail above it.
double quantile(double p, const std::function<double(double, bool)>& prob)
{
    if (wzmis(p) || !(p > 0 && p < 1))
        return korv_missing();
    std::function<double(double)> f;
    if (p <= 0.5)
        f = [&](double x) { return prob(x, false) - p; };
    else
        f = [&](double x) { return std::log(std::max(prob(x, true), 1e-300)) - std::log1p(-p); };
    // f rises from negative (lower tail) or falls from positive (upper tail).
    const bool rising = p <= 0.5;
    double hi = 1.0;
    while ((rising ? f(hi) < 0 : f(hi) > 0) && hi < 1e6)
        hi *= 2;
    double x;
    if (!zbrentzero(f, 0.0, hi, 1e-12 * hi, &x))
        return korv_missing();
    return x;
}

} // namespace

double zgkquad(const std::function<double(double)>& f, double a, double b, double epsabs,
               double epsrel, double* abserr, int maxIntervals)
{
    if (!(b > a)) {
        if (abserr)
            *abserr = 0;
        return 0.0;
    }
    std::priority_queue<Piece> heap;
    // Start from eight pieces, so that a peak narrower than the range is seen.
    const int start = 8;
    double total = 0, error = 0;
    for (int i = 0; i < start; ++i) {
        const double x0 = a + (b - a) * i / start;
        const double x1 = i + 1 == start ? b : a + (b - a) * (i + 1) / start;
        Piece p = gk15(f, x0, x1);
        total += p.value;
        error += p.error;
        heap.push(p);
    }
    int count = start;
    while (error > std::max(epsabs, epsrel * std::fabs(total)) && count < maxIntervals) {
        Piece worst = heap.top();
        heap.pop();
        const double mid = 0.5 * (worst.a + worst.b);
        if (!(mid > worst.a && mid < worst.b)) {
            heap.push(worst); // cannot be split further
            break;
        }
        Piece l = gk15(f, worst.a, mid), r = gk15(f, mid, worst.b);
        total += l.value + r.value - worst.value;
        error += l.error + r.error - worst.error;
        heap.push(l);
        heap.push(r);
        ++count;
    }
    // Recompute the sums from the pieces: the running sums collect rounding.
    total = error = 0;
    while (!heap.empty()) {
        total += heap.top().value;
        error += heap.top().error;
        heap.pop();
    }
    if (abserr)
        *abserr = error;
    return total;
}

bool zbrentzero(const std::function<double(double)>& f, double a, double b, double tol, double* x)
{
    double fa = f(a), fb = f(b);
    if (fa == 0) {
        *x = a;
        return true;
    }
    if (fb == 0) {
        *x = b;
        return true;
    }
    if ((fa > 0) == (fb > 0) || std::isnan(fa) || std::isnan(fb))
        return false;
    double c = a, fc = fa, d = b - a, e = d;
    for (int iter = 0; iter < 200; ++iter) {
        if ((fb > 0) == (fc > 0)) {
            c = a;
            fc = fa;
            d = e = b - a;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        const double t = 2 * std::numeric_limits<double>::epsilon() * std::fabs(b) + 0.5 * tol;
        const double m = 0.5 * (c - b);
        if (std::fabs(m) <= t || fb == 0)
            break;
        if (std::fabs(e) >= t && std::fabs(fa) > std::fabs(fb)) {
            double s = fb / fa, p, q;
            if (a == c) {
                p = 2 * m * s;
                q = 1 - s;
            } else {
                const double r = fb / fc;
                q = fa / fc;
                p = s * (2 * m * q * (q - r) - (b - a) * (r - 1));
                q = (q - 1) * (r - 1) * (s - 1);
            }
            if (p > 0)
                q = -q;
            else
                p = -p;
            if (2 * p < std::min(3 * m * q - std::fabs(t * q), std::fabs(e * q))) {
                e = d;
                d = p / q;
            } else {
                d = m;
                e = m;
            }
        } else {
            d = m;
            e = m;
        }
        a = b;
        fa = fb;
        b += std::fabs(d) > t ? d : (m > 0 ? t : -t);
        fb = f(b);
    }
    *x = b;
    return true;
}

double zptukey(double q, int nmeans, double df)
{
    return rangeProb(q, nmeans, df, false);
}

double zptukeyc(double q, int nmeans, double df)
{
    return rangeProb(q, nmeans, df, true);
}

double zqtukey(double p, int nmeans, double df)
{
    if (nmeans < 2 || badDf(df))
        return korv_missing();
    return quantile(p, [&](double x, bool upper) { return rangeProb(x, nmeans, df, upper); });
}

double zpsmm(double t, int m, double df)
{
    return smmProb(t, m, df, false);
}

double zpsmmc(double t, int m, double df)
{
    return smmProb(t, m, df, true);
}

double zqsmm(double p, int m, double df)
{
    if (m < 1 || badDf(df))
        return korv_missing();
    return quantile(p, [&](double x, bool upper) { return smmProb(x, m, df, upper); });
}
