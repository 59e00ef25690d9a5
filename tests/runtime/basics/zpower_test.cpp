// Safe power.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "runtime/missing.h"
#include "runtime/zpower.h"

namespace
{

struct Case {
    double x, y;
    int rc;
    double expect; // ignored when rc is 1 to 3 (the missing value)
};

TEST(SafePower, EdgeCases)
{
    const Case cases[] = {
        {0, 2, 0, 0.0},
        {0, 0, 3, 0},
        {0, -1, 3, 0},
        {5, 0, 0, 1.0},
        {7, 1, 0, 7.0},
        {-7, 1, 0, -7.0},
        {-2, 3, 0, -8.0},
        {-2, 0.5, 2, 0},
        {-1, 1e300, 2, 0},
        {-1, 4, 0, 1.0},
        {-1, 5, 0, -1.0},
        {-1, -5, 0, -1.0},
        {10, 400, 1, 0},
        {10, -400, 0, 0.0},
        {0.5, 1e200, 0, 0.0},
        {2, 1e200, 1, 0},
        {2, -1e200, 0, 0.0},
        {0.5, -1e200, 1, 0},
        {2, 10, 0, 1024.0},
        {2, -2, 0, 0.25},
        {-2, -3, 0, -0.125},
        {-3, 4, 0, 81.0},
        {2, 1023, 0, std::ldexp(1.0, 1023)},
        {2, 1024, 1, 0},
        {2, -1074, 0, 0.0},
        {1, 1e300, 0, 1.0},
        {1, -1e300, 0, 1.0},
        {-2, 9007199254740992.0, 2, 0},
    };
    for (const Case& c : cases) {
        int rc = -1;
        const double r = zpower(c.x, c.y, &rc);
        EXPECT_EQ(rc, c.rc) << c.x << "^" << c.y;
        if (c.rc == 0) {
            EXPECT_EQ(r, c.expect) << c.x << "^" << c.y;
        } else {
            EXPECT_EQ(wzmis(r), 1) << c.x << "^" << c.y;
        }
        EXPECT_TRUE(wzmis(r) || std::isfinite(r)) << c.x << "^" << c.y;
    }
    int rc;
    EXPECT_DOUBLE_EQ(zpower(2, 0.5, &rc), std::sqrt(2.0));
    EXPECT_EQ(rc, 0);
}

// Relative error of zpower(b, n) against b^n computed in extended precision
// as exp(n * log1p(b - 1)) (b - 1 is exact for the bases used here).
double relative_error(double b, double n)
{
    int rc = -1;
    const double r = zpower(b, n, &rc);
    EXPECT_EQ(rc, 0);
    const long double ref =
        std::exp(static_cast<long double>(n) * std::log1p(static_cast<long double>(b) - 1.0L));
    return static_cast<double>(std::fabs((static_cast<long double>(r) - ref) / ref));
}

TEST(SafePower, AccurateNearOneForLargeIntegralExponents)
{
    const double eps = std::numeric_limits<double>::epsilon();
    const double bases[] = {1 + 1e-14, 1 - 1e-14, 1 + 1e-10, 1 - 3e-9, 1 + 1e-6, 1.0001};
    const double exponents[] = {3, 17, 64, 65, 1000, 123457, 1e9, 4503599627370497.0};
    for (double b : bases)
        for (double n : exponents) {
            if (std::fabs(n * std::log(b)) > 60)
                continue;
            EXPECT_LT(relative_error(b, n), 64 * eps) << b << "^" << n;
            EXPECT_LT(relative_error(b, -n), 64 * eps) << b << "^-" << n;
        }
    // The case that repeated squaring got badly wrong: b = 1 + 1e-14 and n
    // near 2^52 (the true value is about e^45).
    const double b = 1 + 1e-14, n = 4503599627370495.0;
    EXPECT_LT(relative_error(b, n), 1e-13);
}

TEST(SafePower, NegativeBaseKeepsTheSignOfOddPowers)
{
    int rc;
    EXPECT_LT(zpower(-(1 + 1e-12), 1e9 + 1, &rc), 0);
    EXPECT_EQ(rc, 0);
    EXPECT_GT(zpower(-(1 + 1e-12), 1e9, &rc), 0);
    EXPECT_NEAR(zpower(-1.5, 101, &rc) / -std::pow(1.5, 101), 1.0, 1e-14);
}

} // namespace
