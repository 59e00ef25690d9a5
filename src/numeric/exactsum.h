// Sums that keep the rounding of every addition (Neumaier's compensated
// sum): however many fractional values they add, the result is the exact
// sum rounded once, so that amounts that give back everything they took
// (a risk set that has lost all its subjects) come back to 0 and not to a
// residue of rounding. Whole numbers below 2^53 add exactly either way.
#pragma once

#include <cmath>

namespace korv_num
{

struct ExactSum {
    double sum = 0, comp = 0;
    void add(double x)
    {
        const double t = sum + x;
        comp += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    double value() const { return sum + comp; }
};

} // namespace korv_num
