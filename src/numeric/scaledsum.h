// Sums of products kept in a power-of-two unit, so that totals
// of times near the largest double (frequency x time added up over a
// stratum) stay finite. The sum is sum x 2^exp; exp stays 0 while the plain
// sum is finite, and scaling by a power of two is exact, so ordinary data
// give the plain sum bit for bit. Only when an addition would overflow is
// the unit raised (by 2^512 at a time) and the sum so far rescaled.
#pragma once

#include <cmath>

namespace korv_num
{

struct ScaledSum {
    double sum = 0;
    int exp = 0;

    // Adds a x b.
    void add(double a, double b)
    {
        const double next = sum + (exp == 0 ? a * b : a * std::ldexp(b, -exp));
        if (std::isfinite(next) || !std::isfinite(a) || !std::isfinite(b) || exp >= kLast)
            sum = next;
        else
            addRaised(a, b);
    }
    // Adds another scaled sum.
    void add(const ScaledSum& o)
    {
        for (;;) {
            const int e = exp > o.exp ? exp : o.exp;
            const double next = std::ldexp(sum, exp - e) + std::ldexp(o.sum, o.exp - e);
            if (std::isfinite(next) || !std::isfinite(sum) || !std::isfinite(o.sum) || e >= kLast) {
                sum = next;
                exp = e;
                return;
            }
            raise();
        }
    }
    // The natural logarithm of the sum divided by d (d > 0): the logarithm
    // of the plain quotient while exp is 0.
    double log_over(double d) const { return std::log(sum / d) + exp * 0.6931471805599453; }
    // True when the sum is not above `bound` (a bound in plain units).
    bool at_most(double bound) const { return std::fabs(sum) <= std::ldexp(bound, -exp); }

  private:
    // Two finite doubles multiply to less than 2^2048: no sum of them needs a
    // larger unit than this.
    static constexpr int kLast = 4096;
    void addRaised(double a, double b)
    {
        for (;;) {
            raise();
            const double next = sum + a * std::ldexp(b, -exp);
            if (std::isfinite(next) || exp >= kLast) {
                sum = next;
                return;
            }
        }
    }
    void raise()
    {
        exp += 512;
        sum = std::ldexp(sum, -512);
    }
};

} // namespace korv_num
