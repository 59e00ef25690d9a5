// Device-plot scales and text boxes: the worked examples of the scale
// routine, properties over many ranges (ticks on multiples of a nice
// increment, the data inside, the asked-for count kept when it is a
// maximum), and the corner tables of turned text boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "devplot/zggraf.h"
#include "vyr_missing.h"

namespace
{

const double kNice[5] = {1, 2, 2.5, 5, 10};

bool niceIncrement(double inc)
{
    const double p = std::pow(10.0, std::floor(std::log10(inc)));
    const double m = inc / p;
    for (double k : kNice)
        if (std::abs(m - k) < 1e-9 * k)
            return true;
    return false;
}

} // namespace

TEST(Scale, WorkedExamples)
{
    korv_dev::SCALESTR sc{};
    // 0.37 to 9.2 in about 4 intervals: 2.2075 a step, nearest mantissa 2,
    // so 0 to 10 by 2 in 5 intervals.
    EXPECT_EQ(zgscale(0.37, 9.2, 4, 5, kNice, &sc, 'S', 'X'), 5);
    EXPECT_DOUBLE_EQ(sc.smin, 0);
    EXPECT_DOUBLE_EQ(sc.smax, 10);
    EXPECT_DOUBLE_EQ(sc.inc, 2);
    // A range of no width around 5 anchored low becomes [5, 15]; at most 5
    // intervals of 2.5 then run from 5 to 17.5.
    EXPECT_EQ(zgscale(5, 5, -5, 5, kNice, &sc, 'S', 'L'), 5);
    EXPECT_DOUBLE_EQ(sc.smin, 5);
    EXPECT_DOUBLE_EQ(sc.inc, 2.5);
    EXPECT_DOUBLE_EQ(sc.smax, 17.5);
    // Anchored high, the range grows downwards instead.
    EXPECT_EQ(zgscale(5, 5, -5, 5, kNice, &sc, 'S', 'U'), 5);
    EXPECT_DOUBLE_EQ(sc.smax, 5);
    // Failures: no intervals, a mantissa outside 1 to 10.
    EXPECT_EQ(zgscale(0, 1, 0, 5, kNice, &sc, 'S', 'X'), -1);
    const double bad[2] = {0.5, 2};
    EXPECT_EQ(zgscale(0, 1, 4, 2, bad, &sc, 'S', 'X'), -2);
    // An unsorted list is sorted when asked ('N').
    const double shuffled[3] = {5, 1, 2};
    EXPECT_EQ(zgscale(0, 10, 5, 3, shuffled, &sc, 'N', 'X'), 5);
    EXPECT_DOUBLE_EQ(sc.inc, 2);
}

TEST(Scale, PropertiesOverManyRanges)
{
    const double lows[] = {0, -3.7, 0.001, 12, -1e6, 1e-5, 0.37};
    const double spans[] = {1, 0.02, 9.2, 1234.5, 7e5, 3e-4, 8.83};
    for (double lo : lows)
        for (double span : spans)
            for (int n : {2, 4, 6, -3, -6, -10}) {
                const double hi = lo + span;
                korv_dev::SCALESTR sc{};
                const int c = zgscale(lo, hi, n, 5, kNice, &sc, 'S', n > 0 ? 'X' : 'E');
                SCOPED_TRACE(testing::Message() << lo << ".." << hi << " n=" << n);
                ASSERT_GE(c, 1);
                EXPECT_TRUE(niceIncrement(sc.inc)) << sc.inc;
                // Data within the scale's fuzz of a tick count as at it.
                const double tol = 2e-8 * span + 1e-12 * std::max(std::abs(lo), std::abs(hi));
                EXPECT_LE(sc.smin, lo + tol);
                EXPECT_GE(sc.smax, hi - tol);
                if (n < 0) {
                    EXPECT_EQ(c, -n);
                    EXPECT_NEAR(sc.smax - sc.smin, c * sc.inc, tol);
                } else {
                    // Ticks fall on multiples of the increment.
                    const double k = sc.smin / sc.inc;
                    EXPECT_NEAR(k, std::round(k), 1e-6);
                    EXPECT_NEAR((sc.smax - sc.smin) / sc.inc, c, 1e-6);
                    EXPECT_LE(c, 3 * n);
                }
            }
}

TEST(TextBox, CornerTablesFollowTheAngle)
{
    // An upright box 4 wide, 1 high, baseline at 0 (descent 0.25).
    const GPAIRF upright[4] = {{0, -0.25f}, {4, -0.25f}, {4, 0.75f}, {0, 0.75f}};
    double x = 0, y = 0;
    zggsize(upright, 0, &x, &y);
    EXPECT_FLOAT_EQ(x, 4);
    EXPECT_FLOAT_EQ(y, 1);
    EXPECT_FLOAT_EQ(zggboxy(upright, 0, 0), 0);
    EXPECT_FLOAT_EQ(zggboxy(upright, 0, 1), 4);
    EXPECT_FLOAT_EQ(zggboxy(upright, 0, 2), -0.25f);
    EXPECT_FLOAT_EQ(zggboxy(upright, 0, 3), 0.75f);
    // Turned a quarter (counter-clockwise): the height runs across, the
    // width up; exactly 90 degrees uses the first column.
    const GPAIRF turned[4] = {{0.25f, 0}, {0.25f, 4}, {-0.75f, 4}, {-0.75f, 0}};
    zggsize(turned, 90, &x, &y);
    EXPECT_FLOAT_EQ(x, 1);
    EXPECT_FLOAT_EQ(y, 4);
    EXPECT_FLOAT_EQ(zggboxy(turned, 90, 0), -0.75f);
    EXPECT_FLOAT_EQ(zggboxy(turned, 90, 2), 0);
    // Upside down and three quarters round.
    const GPAIRF down[4] = {{0, 0.25f}, {-4, 0.25f}, {-4, -0.75f}, {0, -0.75f}};
    zggsize(down, 180, &x, &y);
    EXPECT_FLOAT_EQ(x, 4);
    EXPECT_FLOAT_EQ(y, 1);
    EXPECT_FLOAT_EQ(zggboxy(down, 180, 0), -4);
    const GPAIRF three[4] = {{-0.25f, 0}, {-0.25f, -4}, {0.75f, -4}, {0.75f, 0}};
    zggsize(three, 270, &x, &y);
    EXPECT_FLOAT_EQ(x, 1);
    EXPECT_FLOAT_EQ(y, 4);
    EXPECT_FLOAT_EQ(zggboxy(three, 270, 3), 0);
    // Past a full turn nothing is chosen.
    zggsize(upright, 361, &x, &y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(zggboxy(upright, 400, 1), 0);
    EXPECT_EQ(zggboxy(upright, 0, 7), 0);
}

TEST(Guards, LogLogTakesOnlyValuesStrictlyBetweenTheSmallestNormalAndOne)
{
    EXPECT_NEAR(cloglog(0.5), std::log(-std::log(0.5)), 1e-15);
    EXPECT_NE(wzmis(cloglog(1e-300)), 1);
    EXPECT_EQ(wzmis(cloglog(1)), 1);
    EXPECT_EQ(wzmis(cloglog(0)), 1);
    EXPECT_EQ(wzmis(cloglog(2.2250738585072014e-308)), 1); // the smallest normal itself
    EXPECT_EQ(wzmis(cloglog(-0.5)), 1);
}
