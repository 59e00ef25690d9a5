// Life-table intervals: boundaries from WIDTH= or NINTERVAL= once the BY
// group's largest valid time is known.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "frame/intervals.h"

namespace
{

// The powers of ten that a double holds exactly.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxPow10 = 22;
constexpr uint64_t kExactWhole = uint64_t{1} << 53; // whole numbers below it are exact doubles

// m x 10^e as the double nearest to it, for any whole m and exponent e.
// Where m is an exact double and 10^e is one, or the product first scaled
// by the excess of e over 22 still is, a single rounding of exact operands
// gives it; otherwise the decimal text "m e<e>" is read back, which the
// library rounds correctly.
double scaled(uint64_t m, int e)
{
    if (m < kExactWhole) {
        const double dm = static_cast<double>(m);
        if (e >= 0 && e <= kMaxPow10)
            return dm * kPow10[e];
        if (e < 0 && -e <= kMaxPow10)
            return dm / kPow10[-e];
        if (e > kMaxPow10 && e - kMaxPow10 <= kMaxPow10) {
            const double head = dm * kPow10[e - kMaxPow10];
            if (head < static_cast<double>(kExactWhole))
                return head * kPow10[kMaxPow10];
        }
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llue%d", static_cast<unsigned long long>(m), e);
    return std::strtod(buf, nullptr);
}

// The width as a decimal m x 10^e with the fewest digits that reads back as
// the width (0.1 is m = 1, e = -1); `ok` false for a width that is not a
// finite positive number.
struct Decimal {
    uint64_t m = 0;
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
        if (digits < 17 && std::strtod(buf, nullptr) != w)
            continue;
        // buf is "D.DDDDe+XX": the digits without the point, and the
        // exponent moved past them.
        uint64_t m = 0;
        const char* c = buf;
        for (; *c && *c != 'e'; ++c)
            if (*c >= '0' && *c <= '9')
                m = m * 10 + static_cast<uint64_t>(*c - '0');
        d.m = m;
        d.e = std::atoi(c + 1) - (digits - 1);
        d.ok = true;
        return d;
    }
    return d;
}

constexpr uint64_t kBillion = 1000000000;

// k m exactly, for m of at most 17 digits, as its high part and its low
// nine digits: k m = hi x 10^9 + lo.
struct Product {
    uint64_t hi, lo;
};

Product timesWhole(uint64_t m, uint64_t k)
{
    const uint64_t low = (m % kBillion) * k; // below 10^9 x 2^31
    return {(m / kBillion) * k + low / kBillion, low % kBillion};
}

// The boundaries k x width of one width, its decimal form worked out once.
class Bounds
{
  public:
    explicit Bounds(double width) : w_(width), d_(decimalOf(width)) {}
    // k times the decimal width, as the double nearest to that decimal
    // (3 x 0.2 is 0.6, not 0.6000000000000001; 3 x 1e25 is the double
    // nearest 3e25), so that a time equal to a printed boundary falls in the
    // interval that starts there.
    double at(int k) const
    {
        if (k == 0)
            return 0.0;
        if (k < 0 || !d_.ok)
            return k * w_;
        const Product p = timesWhole(d_.m, static_cast<uint64_t>(k));
        if (p.hi < UINT64_MAX / kBillion)
            return scaled(p.hi * kBillion + p.lo, d_.e);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%llu%09llue%d", static_cast<unsigned long long>(p.hi),
                      static_cast<unsigned long long>(p.lo), d_.e);
        return std::strtod(buf, nullptr);
    }

  private:
    double w_;
    Decimal d_;
};

// The boundaries of the count path for the width `wd`: from the requested
// count k, one more while the last one is not above the largest time beyond
// a relative tolerance of about 500 ulp. The count only grows from k; where
// the width is smaller than the largest time over k the search starts near
// the count the width needs (the boundaries below it are all within the
// time). Status 3 where a boundary is past the largest double.
IntervalPlan countPlan(double maxobstime, int k, double wd)
{
    IntervalPlan p{0, k, wd};
    if (!std::isfinite(wd)) {
        p.status = 3;
        return p;
    }
    const double below = std::floor(maxobstime / wd) - 1;
    if (!(below <= KORV_MAX_INTERVALS)) {
        p.status = 1;
        return p;
    }
    const Bounds bound(wd);
    int n = std::max(k, static_cast<int>(below));
    for (;;) {
        const double x = bound.at(n - 1);
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
    return p;
}

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
    const double w0 = maxobstime < 2.225073858507202e-305 ? 1.0 : maxobstime / k;
    const double lg = std::log10(w0);
    int e = static_cast<int>(std::floor(lg));
    const double f = std::pow(10.0, lg - e);
    // The width: 2, 5 or 10 times a power of ten, kept as its leading digit
    // m (1, 2 or 5) and exponent.
    uint64_t m = f > 5 ? 1 : (f > 2 ? 5 : 2);
    if (f > 5)
        ++e;
    // Near the largest double that width's boundaries may pass it: the next
    // smaller width of the 1, 2, 5 steps is taken, with more intervals, until
    // they fit or would be too many.
    for (bool smaller = false;; smaller = true) {
        IntervalPlan c = countPlan(maxobstime, k, scaled(m, e));
        if (c.status == 0 || (c.status == 1 && !smaller))
            return c;
        // Too many intervals once a smaller width was needed: the boundaries
        // cannot be stored all the same.
        if (c.status == 1) {
            c.status = 3;
            return c;
        }
        m = m == 1 ? 5 : (m == 5 ? 2 : 1);
        if (m == 5)
            --e;
    }
}

void korv_interval_fill(double* boundaries, int ninter, double width)
{
    if (ninter < 1)
        return;
    const Bounds bound(width);
    for (int i = 0; i < ninter; ++i)
        boundaries[i] = bound.at(i);
}
