// Axis scaling: the worked examples, and the properties every nice axis
// keeps over many ranges and sizes; the tick lists of znaxis; FROM/TO/BY
// lists.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "runtime/pgraf.h"
#include "vyr_host.h"
#include "vyr_missing.h"

namespace
{

bool multipleOf(double x, double inc)
{
    const double q = x / inc;
    return std::fabs(q - std::round(q)) < 1e-6;
}

// Whether inc is 1, 2, 2.5 or 5 times a power of ten.
bool niceIncrement(double inc)
{
    const double p = std::pow(10.0, std::floor(std::log10(inc) + 1e-12));
    const double m = inc / p;
    for (double a : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (std::fabs(m - a) < 1e-9)
            return true;
    return false;
}

int fixedTicks(void* arg, short, long, const double*, int)
{
    return *static_cast<int*>(arg);
}

} // namespace

TEST(Scale, WorkedExamples)
{
    // A range of no width, 5 to 5, is widened by |5| each way: 0 to 10.
    SCALESTR s;
    s.xmin = s.xmax = 5;
    s.plotpos = 20;
    EXPECT_EQ(zscale(&s), 0);
    EXPECT_DOUBLE_EQ(s.xmin, 0);
    EXPECT_DOUBLE_EQ(s.xmax, 10);
    EXPECT_TRUE(multipleOf(10, s.inc));
    // No positions: one position at the midpoint.
    SCALESTR z;
    z.xmin = 2;
    z.xmax = 4;
    z.plotpos = 0;
    EXPECT_EQ(zscale(&z), 0);
    EXPECT_DOUBLE_EQ(z.xmin, 3);
    EXPECT_DOUBLE_EQ(z.xmax, 3);
    EXPECT_EQ(z.ticpos, 1);
    EXPECT_EQ(z.ntic, 0);
    // One position: one interval over the data.
    SCALESTR one;
    one.xmin = 1;
    one.xmax = 7;
    one.plotpos = 1;
    EXPECT_EQ(zscale(&one), 0);
    EXPECT_EQ(one.ntic, 1);
    EXPECT_DOUBLE_EQ(one.inc, 6);
    // The survival axis of a full page: 0 to 1 by 0.1 over 50 positions.
    SCALESTR sdf;
    sdf.xmax = 1;
    sdf.plotpos = 50;
    sdf.options = scale_opt::CLOSER;
    EXPECT_EQ(zscale(&sdf), 0);
    EXPECT_DOUBLE_EQ(sdf.inc, 0.1);
    EXPECT_EQ(sdf.ntic, 10);
    EXPECT_EQ(sdf.ticpos, 5);
    EXPECT_DOUBLE_EQ(sdf.xmin, 0);
    EXPECT_NEAR(sdf.xmax, 1, 1e-12);
}

TEST(Scale, NiceAxesOverManyRangesAndSizes)
{
    struct Range {
        double lo, hi;
    };
    const Range ranges[] = {{0, 1},       {0, 161},     {0, 1022},    {1.5, 5.3},    {-2.5, -0.3},
                            {0, 0.011},   {1e-6, 3e-6}, {100, 100.5}, {-1000, 5000}, {0.13, 0.87},
                            {2.08, 2.77}, {0, 7.3e9},   {-0.7, 0.01}, {3.1, 3.1001}, {0, 23}};
    const int sizes[] = {5, 8, 10, 13, 20, 37, 50, 90, 124};
    for (const Range& r : ranges)
        for (int n : sizes)
            for (long opt : {0L, static_cast<long>(scale_opt::CLOSER)}) {
                SCALESTR s;
                s.xmin = r.lo;
                s.xmax = r.hi;
                s.plotpos = n;
                s.options = opt;
                const std::string what = "[" + std::to_string(r.lo) + ", " + std::to_string(r.hi) +
                                         "] on " + std::to_string(n) + " opt " +
                                         std::to_string(opt);
                EXPECT_EQ(zscale(&s), 0) << what;
                EXPECT_GE(s.ntic, 1) << what;
                EXPECT_GE(s.ticpos, 1) << what;
                EXPECT_EQ(s.plotpos, s.ntic * s.ticpos) << what;
                EXPECT_LE(s.plotpos, n) << what;
                EXPECT_TRUE(niceIncrement(s.inc)) << what << " inc " << s.inc;
                EXPECT_TRUE(multipleOf(s.xmin, s.inc)) << what << " xmin " << s.xmin;
                EXPECT_NEAR((s.xmax - s.xmin) / s.inc, s.ntic, 1e-6) << what;
                EXPECT_NEAR(s.unit, (s.xmax - s.xmin) / s.plotpos, 1e-12 * std::fabs(s.unit))
                    << what;
                // The data lie within half a position of the axis.
                const double tol = s.unit / 2 + 1e-9 * (std::fabs(r.lo) + std::fabs(r.hi));
                EXPECT_LE(s.xmin, r.lo + tol) << what;
                EXPECT_GE(s.xmax, r.hi - tol) << what;
            }
}

// Data reaching towards the largest double: where no nice end fits below
// it, the axis spans the data exactly with even ticks, every number finite,
// so that values keep their places; a span that is itself beyond the
// largest double gets no axis.
TEST(Scale, RangesNearTheLargestDouble)
{
    const double top = 1.7976931348623157e308;
    for (double hi : {top, 1.79e308, 1.78e308, 1.6e308})
        for (double lo : {0.0, 2e307, 1.5e308})
            for (int n : {10, 46, 70, 124}) {
                SCALESTR s;
                s.xmin = lo;
                s.xmax = hi;
                s.plotpos = n;
                s.options = scale_opt::HORIZONTAL | scale_opt::CLOSER;
                const std::string what = "[" + std::to_string(lo) + ", " + std::to_string(hi) +
                                         "] on " + std::to_string(n);
                EXPECT_EQ(zscale(&s), 0) << what;
                ASSERT_TRUE(std::isfinite(s.xmin) && std::isfinite(s.xmax)) << what;
                ASSERT_TRUE(std::isfinite(s.inc) && std::isfinite(s.unit) && s.unit > 0) << what;
                EXPECT_GE(s.ntic, 1) << what;
                EXPECT_EQ(s.plotpos, s.ntic * s.ticpos) << what;
                EXPECT_LE(s.plotpos, n) << what;
                const double tol = s.unit / 2;
                EXPECT_LE(s.xmin, lo + tol) << what;
                EXPECT_GE(s.xmax, hi - tol) << what;
                // The ends of the data land on the ends of the axis.
                PGRAF_VHSTR d;
                double pair[2] = {s.xmin, s.unit};
                d.plotpos = s.plotpos + 1;
                d.vallst.d = pair;
                EXPECT_LE(zpgrsub(lo, &d), 1) << what;
                EXPECT_GE(zpgrsub(hi, &d), s.plotpos - 1) << what;
            }
    // A single value there: an axis from 0 that holds it.
    SCALESTR one;
    one.xmin = one.xmax = top;
    one.plotpos = 40;
    EXPECT_EQ(zscale(&one), 0);
    EXPECT_EQ(one.xmin, 0);
    EXPECT_EQ(one.xmax, top);
    SCALESTR wide;
    wide.xmin = -top;
    wide.xmax = top;
    wide.plotpos = 40;
    EXPECT_EQ(zscale(&wide), -1);
    EXPECT_EQ(wide.xmin, -top);
    EXPECT_EQ(wide.xmax, top);
}

TEST(Scale, TickListsUnderATickCount)
{
    struct Case {
        const char* what;
        double low, high;
        int vh, zero, maxticks;
        double min_cover;
        int rc;
        double start, inc;
        int n;
    };
    const Case cases[] = {
        // 0.13 to 0.87: d = 0.1 covers [0.1, 0.9] (cover 0.925), so the
        // search starts at 0.01.
        {"finest start", 0.13, 0.87, 'h', 0, 1000, 0.6, 0, 0.13, 0.01, 75},
        {"seven ticks", 0.13, 0.87, 'h', 0, 7, 0.6, 0, 0.0, 0.2, 6},
        // The at-risk tick lists: 0 to 1000 and 0 to 930 by 200.
        {"at-risk 1000", 0, 1000, 'h', 1, 7, 0.2, 0, 0, 200, 6},
        {"at-risk 930", 0, 930, 'h', 1, 7, 0.2, 0, 0, 200, 6},
        {"vertical", 0, 1, 'v', 0, 11, 0.6, 0, 0, 0.1, 11},
        // A minimum cover of 0.2 counts as 0.6: 0 to 100 by 100 (cover
        // 0.525) is refused and evenly spaced ticks are left.
        {"cover floor", 0, 105, 'h', 0, 3, 0.2, -1, 0, 52.5, 3},
        {"zero taken in", 3, 9, 'h', 1, 7, 0.6, 0, 0, 2, 6},
    };
    for (const Case& c : cases) {
        int maxt = c.maxticks;
        double start = -1, inc = -1;
        int n = -1;
        long d = 0;
        short w = 0;
        EXPECT_EQ(znaxis(c.low, c.high, c.vh, c.zero, fixedTicks, &maxt, c.min_cover, 0.8, &start,
                         &inc, &n, &d, &w),
                  c.rc)
            << c.what;
        EXPECT_NEAR(start, c.start, 1e-12) << c.what;
        EXPECT_NEAR(inc, c.inc, 1e-12) << c.what;
        EXPECT_EQ(n, c.n) << c.what;
    }
    // A bound missing: no tick at all.
    int maxt = 7;
    double start = 1, inc = 1;
    int n = 5;
    long d = 0;
    short w = 0;
    EXPECT_EQ(
        znaxis(korv_missing(), 10, 'h', 1, fixedTicks, &maxt, 0.6, 0.8, &start, &inc, &n, &d, &w),
        2);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(znaxis(5, 5, 'h', 0, fixedTicks, &maxt, 0.6, 0.8, &start, &inc, &n, &d, &w), 2);
    // A range of no width around 5: evenly spaced ticks from the low end.
    EXPECT_EQ(znaxis(5, 5 + 1e-9, 'h', 0, fixedTicks, &maxt, 0.6, 0.8, &start, &inc, &n, &d, &w),
              -1);
    EXPECT_EQ(start, 5);
    EXPECT_EQ(n, 6);
    // Labels of 0 to 1000 by 200 need no decimals and four characters.
    maxt = 7;
    d = 0;
    w = 0;
    znaxis(0, 1000, 'h', 1, fixedTicks, &maxt, 0.2, 0.8, &start, &inc, &n, &d, &w);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(w, 4);
    d = 0;
    w = 0;
    znaxis(0, 1, 'h', 1, fixedTicks, &maxt, 0.2, 0.8, &start, &inc, &n, &d, &w);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(w, 3);
}

TEST(Scale, MinorTicks)
{
    int n = -1;
    double inc = 0;
    EXPECT_EQ(znaxis2(10, 9, &n, &inc), 0);
    EXPECT_EQ(n, 9);
    EXPECT_DOUBLE_EQ(inc, 1);
    EXPECT_EQ(znaxis2(0.2, 3, &n, &inc), 0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(znaxis2(25, 3, &n, &inc), 1);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(wzmis(inc));
}

TEST(Scale, FromToByLists)
{
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
    double* list = nullptr;
    int count = 0;
    ASSERT_EQ(zdolist(pool, 0, 1, 0.1, &list, &count), 0);
    ASSERT_EQ(count, 11);
    EXPECT_EQ(list[10], 1.0); // snapped, exactly
    EXPECT_EQ(list[0], 0.0);
    // Appending keeps what is there.
    ASSERT_EQ(zdolist(pool, 5, 7, 1, &list, &count), 0);
    ASSERT_EQ(count, 14);
    EXPECT_EQ(list[10], 1.0);
    EXPECT_EQ(list[13], 7.0);
    // A negative count: the 'i' rule (the list reaches the end).
    double* up = nullptr;
    int c2 = -1;
    ASSERT_EQ(zdolist(pool, 0, 9, 2, &up, &c2), 0);
    EXPECT_EQ(c2, 6);
    EXPECT_EQ(up[5], 10.0);
    xmpoold(pool);

    struct Case {
        const char* flags;
        int expected;
    };
    for (const Case& c : {Case{"i", 6}, Case{"e", 5}, Case{"", 5}}) {
        int cnt = 0;
        double start = 0, end = 9, inc = 2;
        EXPECT_EQ(zdoscal(&cnt, &start, &end, &inc, c.flags), 0);
        EXPECT_EQ(cnt, c.expected) << c.flags;
    }
    int cnt = 0;
    double start = 0, end = 9, inc = 0;
    EXPECT_EQ(zdoscal(&cnt, &start, &end, &inc, "e"), 1);
    cnt = 5;
    end = korv_missing();
    inc = 2;
    EXPECT_EQ(zdoscal(&cnt, &start, &end, &inc, "e"), 0);
    EXPECT_EQ(end, 8);
    double fill[4];
    zdofill(fill, -0.2, 0.1, 4);
    EXPECT_EQ(fill[2], 0.0);
    EXPECT_EQ(zsign(-4), -1);
    EXPECT_EQ(zsign(0), 0);
    EXPECT_EQ(zsign(9), 1);
}
