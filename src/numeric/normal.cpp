// Normal distribution routines. The error functions use Cody's rational
// Chebyshev approximations (W. J. Cody, "Rational Chebyshev approximations
// for the error function", Math. Comp. 23 (1969) 631-637) on the three
// intervals |x| <= 0.46875, 0.46875 < |x| <= 4 and |x| > 4.
#include "numeric/normal.h"

#include "numeric/gamma.h"
#include "runtime/missing.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace
{

constexpr double kSqrtHalf = 0.7071067811865476;
constexpr double kLnSqrt2Pi = 0.9189385332046728;
constexpr double kInvSqrt2Pi = 0.3989422804014327;
constexpr double kInvSqrtPi = 0.5641895835477563;
constexpr double kExpFloor = 708.3964185;

constexpr double kA[5] = {3.16112374387056560e00, 1.13864154151050156e02, 3.77485237685302021e02,
                          3.20937758913846947e03, 1.85777706184603153e-1};
constexpr double kB[4] = {2.36012909523441209e01, 2.44024637934444173e02, 1.28261652607737228e03,
                          2.84423683343917062e03};
constexpr double kC[9] = {5.64188496988670089e-1, 8.88314979438837594e00, 6.61191906371416295e01,
                          2.98635138197400131e02, 8.81952221241769090e02, 1.71204761263407058e03,
                          2.05107837782607147e03, 1.23033935479799725e03, 2.15311535474403846e-8};
constexpr double kD[8] = {1.57449261107098347e01, 1.17693950891312499e02, 5.37181101862009858e02,
                          1.62138957456669019e03, 3.29079923573345963e03, 4.36261909014324716e03,
                          3.43936767414372164e03, 1.23033935480374942e03};
constexpr double kP[6] = {3.05326634961232344e-1, 3.60344899949804439e-1, 1.25781726111229246e-1,
                          1.60837851487422766e-2, 6.58749161529837803e-4, 1.63153871373020978e-2};
constexpr double kQ[5] = {2.56852019228982242e00, 1.87295284992346725e00, 5.27905102951428412e-1,
                          6.05183413124413191e-2, 2.33520497626869185e-3};

// Numerator and denominator of one of the rational approximations at t, by
// Horner's rule: p holds n + 2 coefficients and q n + 1 (with a leading 1
// left implicit), each in the order the approximations list them.
struct Ratio {
    double num, den;
};
Ratio rational(const double* p, const double* q, int n, double t)
{
    double xnum = p[n + 1] * t;
    double xden = t;
    for (int i = 0; i < n; ++i) {
        xnum = (xnum + p[i]) * t;
        xden = (xden + q[i]) * t;
    }
    return {xnum + p[n], xden + q[n]};
}

// exp(-y*y) formed without losing the low-order bits of y*y.
double expMinusSquare(double y)
{
    double ysq = std::trunc(y * 16.0) / 16.0;
    double del = (y - ysq) * (y + ysq);
    return std::exp(-ysq * ysq) * std::exp(-del);
}

// (1/sqrt(pi) - z R3(z)) / y with z = 1/y^2: erfc(y) exp(y^2) for y > 4.
double largeArgumentFactor(double y)
{
    double z = 1.0 / (y * y);
    const Ratio rz = rational(kP, kQ, 4, z);
    double r = z * rz.num / rz.den;
    return (kInvSqrtPi - r) / y;
}

// erfc(y) for y = |x| > 0.46875.
double erfcPositive(double y)
{
    if (y <= 4.0) {
        const Ratio r = rational(kC, kD, 7, y);
        return expMinusSquare(y) * (r.num / r.den);
    }
    if (y > 1003.7843389117924 || -y * y < -kExpFloor)
        return 0.0;
    return expMinusSquare(y) * largeArgumentFactor(y);
}

} // namespace

void calerf(double x, double* result, int jint)
{
    double y = std::fabs(x);
    if (std::isnan(x)) {
        *result = korv_missing();
        return;
    }
    if (y <= 0.46875) {
        double ysq = y > 4.2e-16 ? y * y : 0.0;
        const Ratio r = rational(kA, kB, 3, ysq);
        double erfv = x * r.num / r.den;
        *result = jint == 0 ? erfv : 1.0 - erfv;
        return;
    }
    double erfcv = erfcPositive(y);
    if (jint == 0) {
        double r = (0.5 - erfcv) + 0.5;
        *result = x < 0 ? -r : r;
    } else {
        *result = x < 0 ? 2.0 - erfcv : erfcv;
    }
}

double zferf(double x)
{
    double r;
    calerf(x, &r, 0);
    return r;
}

double zferfc(double x)
{
    double r;
    calerf(x, &r, 1);
    return r;
}

double zprbnrm(double x)
{
    if (wzmis(x) || std::isnan(x))
        return korv_missing();
    double t = x * kSqrtHalf;
    if (x > 0)
        return (1.0 + zferf(t)) * 0.5;
    return zferfc(-t) * 0.5;
}

int zcnfmill(double x, double* ratio)
{
    // Laplace's continued fraction 1/(x + 1/(x + 2/(x + ...))), written as
    // (1/x) / (1 + c/(1 + 2c/(1 + 3c/(1 + ...)))) with c = 1/x^2 and evaluated
    // by forward recurrences; successive convergents bracket the value.
    double c = 1.0 / (x * x);
    double aPrev = 1.0, a = 1.0;     // numerators A(n-1), A(n)
    double bPrev = 1.0, b = 1.0 + c; // denominators
    double last = a / b;
    for (int n = 2; n <= 100; ++n) {
        double an = n * c;
        double aNew = a + an * aPrev;
        double bNew = b + an * bPrev;
        aPrev = a;
        a = aNew;
        bPrev = b;
        b = bNew;
        if (std::fabs(b) > 1e150) {
            aPrev *= 1e-150;
            a *= 1e-150;
            bPrev *= 1e-150;
            b *= 1e-150;
        }
        double cur = a / b;
        if (std::fabs(cur - last) <= 5.551115123125785e-16 * std::fabs(cur)) {
            *ratio = cur / x;
            return 0;
        }
        last = cur;
    }
    *ratio = last / x;
    return 1;
}

int zmillsr(double x, double* ratio)
{
    if (x < 5.0) {
        double r = std::exp(kLnSqrt2Pi + x * x / 2.0);
        if (x >= -10.0)
            r *= zprbnrm(-x);
        *ratio = r;
        return 0;
    }
    return zcnfmill(x, ratio);
}

int zlognrm(double x, double* lpl, double* lpr, double* ldens)
{
    if (wzmis(x) || std::isnan(x)) {
        *lpl = *lpr = *ldens = korv_missing();
        return 1;
    }
    *ldens = -x * x / 2.0 - kLnSqrt2Pi;
    double y = std::fabs(x);
    double tail;
    int rc = 0;
    if (y >= 5.0) {
        double ratio;
        rc = zmillsr(y, &ratio);
        tail = std::log(ratio) + *ldens;
        if (rc)
            return 1;
    } else {
        tail = std::log(zferfc(y * kSqrtHalf) / 2.0);
    }
    double other = zln1px(-std::exp(tail));
    if (x <= 0) {
        *lpl = tail;
        *lpr = other;
    } else {
        *lpr = tail;
        *lpl = other;
    }
    return 0;
}

namespace
{

// Rational approximations of the normal quantile, fitted for this library
// (see derive/fit_rational.py). With q = min(p, 1 - p) and
// t = sqrt(-2 log q) - sqrt(2 log 2), the upper quantile is t N(t)/D(t) for
// q > 0.01 and t N'(1/t)/D'(1/t) for q <= 0.01 (down to 1e-16).
constexpr double kProbitShift = 1.1774100225154747;
constexpr double kCentralN[8] = {1.4756646266356058887,    3.8204440191215981472,
                                 3.9042526361560916145,    2.0294359856970773324,
                                 5.8089339992270764387e-1, 9.2905447326740052773e-2,
                                 7.7700681384422248464e-3, 2.4865573175173562089e-4};
constexpr double kCentralD[8] = {1.0,
                                 2.7530090765692570755,
                                 3.0033936274825331058,
                                 1.6676628296727521185,
                                 5.0725712799614087682e-1,
                                 8.5353049225279112134e-2,
                                 7.4826874277487179211e-3,
                                 2.4860564341199764477e-4};
constexpr double kTailN[9] = {
    1.0000221345344720499,    7.1767837876145129247e+1, 1.5452736181172143472e+3,
    1.4322739079691264938e+4, 6.7037948095170544575e+4, 1.6769123392712175003e+5,
    2.1336479654576270174e+5, 1.0690465459539969108e+5, 1.3139899186775379882e-2};
constexpr double kTailD[8] = {1.0,
                              7.0597900940532202768e+1,
                              1.4681912998028911261e+3,
                              1.290408091820772819e+4,
                              5.6691435339055511645e+4,
                              1.324983626378898399e+5,
                              1.5647292269489186522e+5,
                              7.2445152390377801173e+4};

template <int N> double horner(const double (&c)[N], double x)
{
    double s = c[N - 1];
    for (int i = N - 2; i >= 0; --i)
        s = s * x + c[i];
    return s;
}

// The lower quantile of a tiny p by Newton steps on the log scale.
double newtonLogScale(double p)
{
    const double fallback = -37.51776241585513;
    double lp = std::log(p);
    double x = -std::sqrt(-2.0 * lp);
    for (int it = 0; it < 30; ++it) {
        double lpl, lpr, ldens;
        if (zlognrm(x, &lpl, &lpr, &ldens))
            return fallback;
        double diff = lpl - lp;
        x -= std::exp(lpl - ldens) * diff;
        if (std::fabs(diff) < 1e-12 * std::fabs(lp))
            return x;
    }
    return fallback;
}

} // namespace

double zprobit(double p)
{
    if (wzmis(p) || !(p >= 0.0 && p <= 1.0))
        return korv_missing();
    if (p == 0.0)
        return -37.64030867301702;
    if (p == 1.0)
        return 7.941345326170997;
    if (p < 1e-16)
        return newtonLogScale(p);
    double q = std::min(p, 1.0 - p);
    double t = std::sqrt(-2.0 * std::log(q)) - kProbitShift;
    double z;
    if (q > 0.01) {
        z = t * horner(kCentralN, t) / horner(kCentralD, t);
    } else {
        double w = 1.0 / t;
        z = t * horner(kTailN, w) / horner(kTailD, w);
    }
    return p > 0.5 ? z : -z;
}

double szprobit(double p)
{
    if (wzmis(p) || !(p > 0.0 && p < 1.0))
        return korv_missing();
    return newtonLogScale(p);
}

double zprbigs(double x, double d)
{
    if (wzmis(x) || wzmis(d) || !(x >= 0.0) || !(d > 0.0))
        return korv_missing();
    if (x == 0.0)
        return 0.0;
    if (std::isinf(x))
        return 1.0;
    double s = std::sqrt(x);
    double sd = std::sqrt(d);
    double first = zprbnrm((s - 1.0 / s) * sd);
    double t = std::sqrt(d / 2.0) * (1.0 / s + s);
    double second;
    if (t <= 4.0) {
        second = std::exp(2.0 * d) * zferfc(t) / 2.0;
    } else {
        double e = 2.0 * d - t * t;
        second = e < -kExpFloor ? 0.0 : std::exp(e) * largeArgumentFactor(t) / 2.0;
    }
    return first + second;
}

double DiffNormal(double a, double b, double PreciseDelta)
{
    if (wzmis(a) || wzmis(b) || std::isnan(a) || std::isnan(b))
        return korv_missing();
    if (std::fabs(a - b) < 1e-4) {
        // Taylor expansion of Phi(b + h) - Phi(b) through the fifth power of h.
        double h = PreciseDelta;
        double b2 = b * b;
        double phi = kInvSqrt2Pi * std::exp(-b2 / 2.0);
        double s = 1.0;
        s = 1.0 + h * (-b / 2.0 +
                       h * ((b2 - 1.0) / 6.0 + h * (-(b2 - 3.0) * b / 24.0 +
                                                    h * ((b2 * b2 - 6.0 * b2 + 3.0) / 120.0))));
        return phi * h * s;
    }
    if (a > 0 && b > 0)
        return zferfc(b * kSqrtHalf) / 2.0 - zferfc(a * kSqrtHalf) / 2.0;
    return zprbnrm(a) - zprbnrm(b);
}
