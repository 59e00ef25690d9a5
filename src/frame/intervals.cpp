// Life-table intervals: boundaries from WIDTH= or NINTERVAL= once the BY
// group's largest valid time is known.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "frame/intervals.h"

namespace
{

// The powers of ten that a double holds exactly.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxPow10 = 22;

// m x 10^e as the double nearest to it, for a whole m below 2^53: one
// rounding of exact operands.
double scaled(double m, int e)
{
    if (e >= 0 && e <= kMaxPow10)
        return m * kPow10[e];
    if (e < 0 && -e <= kMaxPow10)
        return m / kPow10[-e];
    return m * std::pow(10.0, e);
}

// The width as a decimal m x 10^e with the fewest digits that reads back as
// the width (0.1 is m = 1, e = -1); `ok` false when it has no short form.
struct Decimal {
    double m = 0;
    int e = 0;
    bool ok = false;
};

Decimal decimalOf(double w)
{
    Decimal d;
    if (!(w > 0) || !std::isfinite(w))
        return d;
    char buf[40];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*e", digits - 1, w);
        if (std::strtod(buf, nullptr) != w)
            continue;
        // buf is "D.DDDDe+XX": the digits without the point, and the
        // exponent moved past them.
        double m = 0;
        const char* c = buf;
        for (; *c && *c != 'e'; ++c)
            if (*c >= '0' && *c <= '9')
                m = m * 10 + (*c - '0');
        const int e = std::atoi(c + 1) - (digits - 1);
        d.m = m;
        d.e = e;
        d.ok = true;
        return d;
    }
    return d;
}

// The boundaries k x width of one width, its decimal form worked out once.
class Bounds
{
  public:
    explicit Bounds(double width) : w_(width), d_(decimalOf(width)) {}
    // k times the decimal width, formed as the whole number k m and scaled
    // once, is the double nearest to the decimal boundary (3 x 0.2 is 0.6,
    // not 0.6000000000000001), so that a time equal to a printed boundary
    // falls in the interval that starts there. A width with no short decimal
    // form, or a product past the exact whole numbers, is multiplied as is.
    double at(int k) const
    {
        if (k == 0)
            return 0.0;
        const double km = k * d_.m;
        if (k > 0 && d_.ok && km < 9007199254740992.0)
            return scaled(km, d_.e);
        return k * w_;
    }

  private:
    double w_;
    Decimal d_;
};

} // namespace

double korv_interval_bound(int k, double width)
{
    return Bounds(width).at(k);
}

IntervalPlan korv_interval_plan(double maxobstime, bool zwidth, double width, int ninter)
{
    IntervalPlan p{0, ninter, width};
    if (!std::isfinite(maxobstime) || maxobstime < 0) {
        p.status = 2;
        return p;
    }
    if (zwidth) {
        double w = width;
        if (!std::isfinite(w) || w <= 0) {
            p.status = 2;
            return p;
        }
        double ratio = std::floor(maxobstime / w);
        if (!(ratio < KORV_MAX_INTERVALS)) {
            p.status = 1;
            return p;
        }
        int n = static_cast<int>(ratio);
        const Bounds bound(w);
        // The last boundary ends above the largest time; a boundary equal to it
        // adds one more. The count is bounded, so the loop ends even when the
        // width is tiny against the time.
        while (maxobstime >= bound.at(n - 1)) {
            if (++n > KORV_MAX_INTERVALS) {
                p.status = 1;
                return p;
            }
        }
        // A last boundary past the largest double cannot be stored.
        if (!std::isfinite(bound.at(n - 1))) {
            p.status = 3;
            return p;
        }
        p.ninter = n;
        p.width = w;
        return p;
    }
    int k = ninter;
    if (k < 1) // the statement parser keeps NINTERVAL= positive; never divide by 0
        k = 1;
    if (k > KORV_MAX_INTERVALS) {
        p.status = 1;
        return p;
    }
    double w0 = maxobstime < 2.225073858507202e-305 ? 1.0 : maxobstime / k;
    double lg = std::log10(w0);
    double e = std::floor(lg);
    double f = std::pow(10.0, lg - e);
    double m = f > 5 ? 10 : (f > 2 ? 5 : 2);
    // 2, 5 or 10 times a power of ten, as the double nearest to it.
    double wd = scaled(m, static_cast<int>(e));
    const Bounds bound(wd);
    int n = k;
    for (;;) {
        const double x = bound.at(n - 1);
        // On times near the largest double the width, or a boundary above
        // the largest time, is past it.
        if (!std::isfinite(x)) {
            p.status = 3;
            return p;
        }
        if (!(x - maxobstime <=
              1.110223024625157e-13 * std::fmax(std::fabs(x), std::fabs(maxobstime))))
            break;
        if (++n > KORV_MAX_INTERVALS) {
            p.status = 1;
            return p;
        }
    }
    p.ninter = n;
    p.width = wd;
    return p;
}

void korv_interval_fill(double* boundaries, int ninter, double width)
{
    if (ninter < 1)
        return;
    const Bounds bound(width);
    for (int i = 0; i < ninter; ++i)
        boundaries[i] = bound.at(i);
}
