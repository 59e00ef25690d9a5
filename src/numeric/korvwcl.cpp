// Pointwise confidence limits of a survival value under the five transforms,
// and the membership tests that find the confidence intervals of quartiles.
// The standard error handed in is that of the untransformed estimate; each
// transform forms its limits from it by the delta method.
#include <cmath>

#include "numeric/pointwise.h"
#include "runtime/missing.h"

namespace
{

constexpr double TINY = 1.491668147e-154; // smallest usable standard error or edge distance
constexpr double SFLOOR = 1.110223024625157e-16;
constexpr double HALF_PI = 1.5707963267948966;
constexpr double LOGLOG_BOUND = -708.0; // keeps exp() finite on the log-log scale
constexpr double LOG_BOUND = 709.0;     // and on the log and logit scales

} // namespace

void korvwcl(int conftype, double std, double critval, double survival, double* lcl, double* ucl)
{
    const double s = survival;
    if (wzmis(s) || wzmis(std)) {
        *lcl = *ucl = korv_missing();
        return;
    }
    if (std < TINY) {
        if (s >= SFLOOR)
            *lcl = *ucl = s;
        else
            *lcl = *ucl = korv_missing();
        return;
    }
    const double q = std * critval;
    switch (conftype) {
    case 1: {
        double u = s + q, l = s - q;
        *ucl = u > 1 ? 1.0 : u;
        *lcl = l < 0 ? 0.0 : l;
        break;
    }
    case 2: {
        if (s < TINY || 1 - s < TINY) {
            *lcl = *ucl = korv_missing();
            break;
        }
        double h = q / std::sqrt(4 * s * (1 - s));
        double a = std::asin(std::sqrt(s));
        *lcl = a - h < 0 ? 0.0 : std::pow(std::sin(a - h), 2);
        *ucl = a + h > HALF_PI ? 1.0 : std::pow(std::sin(a + h), 2);
        break;
    }
    case 3: {
        if (s < TINY) {
            *lcl = *ucl = korv_missing();
            break;
        }
        double L = std::log(s);
        if (L * s < q / LOGLOG_BOUND) {
            double e = std::exp(q / (L * s));
            *lcl = std::exp(L / e);
            *ucl = std::exp(e * L);
        } else {
            *lcl = *ucl = korv_missing();
        }
        break;
    }
    case 4: {
        if (s > q / LOG_BOUND) {
            double e = std::exp(q / s);
            double l = s / e, u = s * e;
            *lcl = l < 0 ? 0.0 : l;
            *ucl = u > 1 ? 1.0 : u;
        } else {
            *lcl = *ucl = korv_missing();
        }
        break;
    }
    case 5: {
        double disc = 1 - 4 * q / LOG_BOUND;
        if (disc < 0) { // no survival value keeps the exponent in range
            *lcl = *ucl = korv_missing();
            break;
        }
        double r = std::sqrt(disc);
        if (s <= (1 - r) / 2 || s >= (1 + r) / 2) {
            *lcl = *ucl = korv_missing();
            break;
        }
        double e = std::exp(q / (s * (1 - s)));
        *lcl = s / (s + e * (1 - s));
        *ucl = s / (s + (1 - s) / e);
        break;
    }
    default:
        break;
    }
}

// Each test is |g(x) - g(pp)| <= crit x std x |g'(x)|, written without the
// division; a comparison with an undefined side is false.
int qtLinear(double x, double pp, double std, double crit)
{
    double t = std * crit;
    return t >= std::fabs(x - pp) ? 1 : 0;
}

int qtArcSineSqrt(double x, double pp, double std, double crit)
{
    if (x <= 0 || x >= 1)
        return 0;
    double t = std * crit;
    double v = std::fabs(2 * std::sqrt((1 - x) * x) *
                         (std::asin(std::sqrt(x)) - std::asin(std::sqrt(pp))));
    return t >= v ? 1 : 0;
}

int qtLoglog(double x, double pp, double std, double crit)
{
    if (x <= 0 || x >= 1)
        return 0;
    double t = std * crit;
    double v = std::fabs(x * std::log(x) * (std::log(-std::log(x)) - std::log(-std::log(pp))));
    return t >= v ? 1 : 0;
}

int qtLog(double x, double pp, double std, double crit)
{
    if (x <= 0)
        return 0;
    double t = std * crit;
    double v = std::fabs(x * (std::log(x) - std::log(pp)));
    return t >= v ? 1 : 0;
}

int qtLogit(double x, double pp, double std, double crit)
{
    if (x <= 0 || x >= 1)
        return 0;
    double t = std * crit;
    double v = std::fabs(x * (1 - x) * (std::log(x / (1 - x)) - std::log(pp / (1 - pp))));
    return t >= v ? 1 : 0;
}

QtTest korv_qt_test(int conftype)
{
    switch (conftype) {
    case 2:
        return qtArcSineSqrt;
    case 3:
        return qtLoglog;
    case 4:
        return qtLog;
    case 5:
        return qtLogit;
    default:
        return qtLinear;
    }
}

const char* korv_conftype_word(int conftype)
{
    static const char* const words[] = {"        ", "LINEAR  ", "ASINSQRT",
                                        "LOGLOG  ", "LOG     ", "LOGIT   "};
    return conftype >= 1 && conftype <= 5 ? words[conftype] : words[0];
}
