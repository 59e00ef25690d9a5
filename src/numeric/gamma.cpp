// Log-gamma, Stirling's correction, the incomplete gamma ratios and the
// chi-square upper tail.
#include "numeric/gamma.h"

#include "numeric/gamma_internal.h"
#include "numeric/normal.h"
#include "runtime/missing.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

namespace
{

constexpr double kTiny = 2.2250738585072014e-308;
constexpr double kLnSqrt2Pi = 0.9189385332046728;
constexpr double kEulerFree = 1.110223024625157e-16;
constexpr double kLogMax = 709.782712893384;

// Rational approximations of log Gamma on [1, 1.5) and [1.5, 2], fitted for
// this library (see derive/fit_rational.py): log Gamma(1 + x) = x R1(x) and
// log Gamma(2 + x) = x R2(x); relative fit error below 1e-19.
constexpr double kR1N[7] = {-5.7721566490153286061e-1, -8.0853897879328624043e-1,
                            2.0187528246801111372e-1,  7.5442589145496082038e-1,
                            3.6871057679326086818e-1,  5.8527116281024162788e-2,
                            2.215776666574171778e-3};
constexpr double kR1D[7] = {1.0,
                            2.8256440554080120665,
                            2.9823136681556068214,
                            1.4497434188863999415,
                            3.220024355156735573e-1,
                            2.7605246878087146517e-2,
                            5.3566575263905658822e-4};
constexpr double kR2N[7] = {4.2278433509846713939e-1, 9.6958332061248903277e-1,
                            8.0248893131112212561e-1, 3.0757551688250841697e-1,
                            5.6125336755844339181e-2, 4.3335797194218292759e-3,
                            9.3814051235400556819e-5};
constexpr double kR2D[7] = {1.0,
                            1.5306061115950793429,
                            8.8998382622147921109e-1,
                            2.4384561886771002959e-1,
                            3.1505571006308727466e-2,
                            1.643646075590215421e-3,
                            2.0736838277450341752e-5};

double horner7(const double (&c)[7], double x)
{
    double s = c[6];
    for (int i = 5; i >= 0; --i)
        s = s * x + c[i];
    return s;
}

// Rescales a continued-fraction recurrence when its numerator leaves
// [2^-512, 2^512].
void rescale(double& a0, double& a1, double& b0, double& b1)
{
    double m = std::fabs(a1);
    if (m != 0.0 && (m < 1.491668147e-154 || m > 1.3407807929943e154)) {
        int e;
        std::frexp(a1, &e);
        a0 = std::ldexp(a0, -e);
        a1 = std::ldexp(a1, -e);
        b0 = std::ldexp(b0, -e);
        b1 = std::ldexp(b1, -e);
    }
}

// Evaluates a continued fraction by the forward recurrence of its
// convergents A(n)/B(n); terms(n) gives the partial numerator and denominator
// {an, bn} of step n = 1, 2, .... Stops when two convergents agree to a
// relative 5.55e-16 and puts the last in *value; false after 1000 steps.
template <class Terms> bool continued_fraction(Terms terms, double* value)
{
    double aPrev = 1.0, aCur = 0.0; // A(-1), A(0)
    double bPrev = 0.0, bCur = 1.0; // B(-1), B(0)
    double last = 0.0;
    for (int n = 1; n <= 1000; ++n) {
        const auto [an, bn] = terms(n);
        double aNew = bn * aCur + an * aPrev;
        double bNew = bn * bCur + an * bPrev;
        aPrev = aCur;
        aCur = aNew;
        bPrev = bCur;
        bCur = bNew;
        rescale(aPrev, aCur, bPrev, bCur);
        if (bCur == 0.0)
            continue;
        double cur = aCur / bCur;
        if (n > 1 && std::fabs(cur - last) < 5.551115123125785e-16 * std::fabs(cur)) {
            *value = cur;
            return true;
        }
        last = cur;
    }
    return false;
}

} // namespace

double zlgbern(double x)
{
    double r = 1.0 / (x * x);
    double s = -691.0 / 360360.0;
    s = s * r + 1.0 / 1188.0;
    s = s * r - 1.0 / 1680.0;
    s = s * r + 1.0 / 1260.0;
    s = s * r - 1.0 / 360.0;
    s = s * r + 1.0 / 12.0;
    return s / x;
}

double zlgamma(double x)
{
    if (!(x > kTiny))
        return -99.0;
    if (std::fabs(x - 1.0) < kEulerFree || std::fabs(x - 2.0) < kEulerFree)
        return 0.0;
    if (std::isinf(x))
        return x;
    if (x >= 15.0)
        return (x - 0.5) * std::log(x) - x + kLnSqrt2Pi + zlgbern(x);
    double f = 1.0;
    double y = x;
    while (y < 1.0) {
        f /= y;
        y += 1.0;
    }
    while (y > 2.0) {
        y -= 1.0;
        f *= y;
    }
    if (std::fabs(x - 0.5 - std::trunc(x)) < kEulerFree)
        return std::log(f) - 0.12078223763524522;
    double base = f == 1.0 ? 0.0 : std::log(f);
    if (y < 1.5) {
        double t = y - 1.0;
        return base + t * horner7(kR1N, t) / horner7(kR1D, t);
    }
    double t = y - 2.0;
    return base + t * horner7(kR2N, t) / horner7(kR2D, t);
}

int zlgammaMV(double a, int m, double* Result)
{
    *Result = korv_missing();
    if (m < 1 || wzmis(a))
        return 1;
    double x0 = a - (m - 1) / 2.0;
    if (!(x0 > kTiny))
        return 1;
    double g0 = zlgamma(x0);
    double g1 = m > 1 ? zlgamma(x0 + 0.5) : 0.0;
    if (g0 == -99.0 || g1 == -99.0)
        return 1;
    // log Gamma(x + 1) = log Gamma(x) + log x: each term follows from the one
    // two places back.
    double sum = g0 + (m > 1 ? g1 : 0.0);
    double prev[2] = {g0, g1};
    for (int j = 2; j < m; ++j) {
        double arg = x0 + (j - 2) / 2.0;
        double g = prev[j % 2] + std::log(arg);
        prev[j % 2] = g;
        sum += g;
    }
    *Result = m * (m - 1) / 4.0 * 1.1447298858494002 + sum;
    return 0;
}

double zln1px(double z)
{
    if (std::fabs(z) > 0.03125)
        return std::log(1.0 + z);
    double u = z / (1.0 + z / 2.0);
    double u2 = u * u;
    return u + u * u2 * (0.08333333333333427 - 0.0023812878804825234 * u2) /
                   (1.0 - 0.178575454351365 * u2);
}

double zexpm1(double x)
{
    if (std::fabs(x) > 0.01)
        return std::exp(x) - 1.0;
    return x *
           (1.0 + (x / 2.0) *
                      (1.0 + (x / 3.0) * (1.0 + (x / 4.0) * (1.0 + (x / 5.0) * (1.0 + x / 6.0)))));
}

double zlnSumOfExp(double x1, double x2)
{
    if (x1 == x2)
        return x1 + 0.6931471805599453;
    double m = std::max(x1, x2);
    double s = std::min(x1, x2);
    return m + zln1px(std::exp(s - m));
}

// Log of z^(a-1) e^(-z) / Gamma(a), in a form that keeps its accuracy near
// the mode for large shapes.
double zlgprefx(double a, double z)
{
    if (a >= 10.0 && std::fabs(z / a - 1.0) <= 0.3)
        return (a - 1.0) * std::log(z / a) - zlgbern(a) + (a - z) - kLnSqrt2Pi - 0.5 * std::log(a);
    return (a - 1.0) * std::log(z) - zlgamma(a) - z;
}

// Series for P: the sum over n of z^n / (a (a+1) ... (a+n)), times z.
// Returns false after 2000 terms.
bool zsergam(double a, double z, double* raw)
{
    double term = 1.0 / a;
    double sum = term;
    for (int n = 1; n <= 2000; ++n) {
        term *= z / (a + n);
        sum += term;
        if (term <= 5.551115123125785e-16 * sum) {
            *raw = sum * z;
            return true;
        }
    }
    return false;
}

// Legendre's continued fraction for Q, in its even (contracted) form:
// Q = e^-z z^a / Gamma(a) / (z + 1 - a - 1 (1 - a) / (z + 3 - a - 2 (2 - a) / ...)).
// raw is z times the fraction. Returns false after 1000 steps.
bool zcnf1gm(double a, double z, double* raw)
{
    // Every partial term is scaled by 1/z (equivalence transformation), so
    // the convergents approach z times the fraction.
    return continued_fraction(
        [&](int n) {
            double an = n == 1 ? 1.0 : -(n - 1) * ((n - 1) - a) / (z * z);
            double bn = (z + 2.0 * n - 1.0 - a) / z;
            return std::pair{an, bn};
        },
        raw);
}

// Continued fraction for P: e^z z^-a gamma(a, z) =
// 1/(a - a z/(a + 1 + z/(a + 2 - (a + 1) z/(a + 3 + 2 z/(a + 4 - ...))))).
// raw is z times the fraction (the same quantity as the series gives).
bool zcnf2gm(double a, double z, double* raw)
{
    double f;
    if (!continued_fraction(
            [&](int n) {
                if (n == 1)
                    return std::pair{1.0, a};
                if (n % 2 == 0) {
                    int k = n / 2;
                    return std::pair{-(a + k - 1) * z, a + n - 1};
                }
                int k = (n - 1) / 2;
                return std::pair{k * z, a + n - 1};
            },
            &f))
        return false;
    *raw = f * z;
    return true;
}

double wilhil(double a, double z, double* pr)
{
    double r = z / a;
    if (r > 1000.0) {
        *pr = 0.0;
        return 1.0;
    }
    if (r < 0.001) {
        *pr = 1.0;
        return 0.0;
    }
    double s9a = std::sqrt(9.0 * a);
    double w = (std::cbrt(r) - 1.0 + 1.0 / (9.0 * a)) * s9a;
    double w2 = w * w;
    double phi = 0.3989422804014327 * std::exp(-w2 / 2.0);
    double c =
        ((w2 / 3.0 - 1.0) * (w / 4.0) - (7.0 - w2 * (4.0 + w2)) / (15.0 * s9a)) * phi / (9.0 * a);
    double t = zprbnrm(-std::fabs(w));
    double lower;
    if (w > 0) {
        *pr = t - c;
        lower = 1.0 - *pr;
    } else {
        lower = t + c;
        *pr = 1.0 - lower;
    }
    return lower;
}

int zigamma(double z, double a, double* p, double* pr, double* d)
{
    auto fail = [&] {
        *p = *pr = -2.0;
        *d = 0.0;
        return 1;
    };
    if (!(a >= 0.0) || !(z >= 0.0) || wzmis(a) || wzmis(z))
        return fail();
    if (a == 0.0) {
        *p = 1.0;
        *pr = 0.0;
        *d = 0.0;
        return 0;
    }
    if (z == 0.0) {
        *p = 0.0;
        *pr = 1.0;
        *d = a == 1.0 ? 1.0 : 0.0;
        return 0;
    }
    if (std::isinf(z)) {
        *p = 1.0;
        *pr = 0.0;
        *d = 0.0;
        return 0;
    }
    if (std::isinf(a)) {
        *p = 0.0;
        *pr = 1.0;
        *d = 0.0;
        return 0;
    }
    bool shifted = a < 1.0;
    double ap = shifted ? a + 1.0 : a;
    double lnf = zlgprefx(ap, z);
    bool lowerSide = z <= ap || z <= 1.0;
    double tail, raw = 0.0;
    if (ap >= 1e9 && std::fabs(z - ap) <= 0.7 * std::sqrt(ap) + 0.02 * ap) {
        double upper;
        double lower = wilhil(ap, z, &upper);
        lowerSide = lower <= upper;
        tail = lowerSide ? lower : upper;
        *d = lnf < -kLogMax ? 0.0 : std::exp(lnf);
    } else {
        bool ok;
        if (lowerSide)
            ok = ap < 1e9 ? zsergam(ap, z, &raw) : zcnf2gm(ap, z, &raw);
        else
            ok = zcnf1gm(ap, z, &raw);
        if (!ok)
            return fail();
        double e = lnf < -kLogMax ? 0.0 : std::exp(lnf);
        tail = raw > 0.0 ? raw * e : 0.0;
        *d = lnf < -kLogMax ? 0.0 : (lnf > kLogMax ? DBL_MAX : e);
        if (shifted) {
            tail += lowerSide ? e : -e;
            *d *= a / z;
        }
    }
    tail = std::clamp(tail, 0.0, 1.0);
    if (lowerSide) {
        *p = tail;
        *pr = 1.0 - tail;
    } else {
        *pr = tail;
        *p = 1.0 - tail;
    }
    return 0;
}

double zpgx2f(double chisq, double df)
{
    double p, pr, d;
    if (wzmis(chisq) || wzmis(df))
        return korv_missing();
    if (zigamma(chisq / 2.0, df / 2.0, &p, &pr, &d))
        return korv_missing();
    return pr;
}

double zpgx2(double chisq, long df)
{
    return zpgx2f(chisq, static_cast<double>(df));
}

double zpgx2DF1(double ChiSq)
{
    if (wzmis(ChiSq))
        return korv_missing();
    if (ChiSq >= 0.0 && ChiSq <= kTiny)
        return 1.0;
    return zpgx2f(ChiSq, 1.0);
}

int zldngam(double x, double df, double* ldens)
{
    if (!(x >= 0.0) || !(df > 0.0) || wzmis(x) || wzmis(df))
        return 1;
    if (x == 0.0) {
        *ldens = df == 1.0 ? 0.0 : korv_missing();
        return 0;
    }
    *ldens = zlgprefx(df, x);
    return 0;
}
