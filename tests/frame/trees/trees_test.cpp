// Strata keys: interval strata, the two orders, consistent comparisons for
// values that are not numbers, labels and plot letters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "runtime/missing.h"
#include "runtime/ztree.h"

namespace
{

void put(char* p, double d)
{
    std::memcpy(p, &d, 8);
}
double get(const char* p)
{
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

// Nodes with room for a key, kept alive by the fixture.
struct Nodes {
    std::vector<std::vector<double>> store;
    STRATA* make(int keylen)
    {
        store.emplace_back((strata_node_size(keylen) + 7) / 8, 0.0);
        return reinterpret_cast<STRATA*>(store.back().data());
    }
};

std::string text(const char* p, int n)
{
    return std::string(p, n);
}

} // namespace

TEST(IntervalStrata, IndexesAndRepresentatives)
{
    double cut[] = {10, 20};
    EXPECT_EQ(korv_interval_index(5, cut, 2), 1);
    EXPECT_EQ(korv_interval_index(10, cut, 2), 2);
    EXPECT_EQ(korv_interval_index(15, cut, 2), 2);
    EXPECT_EQ(korv_interval_index(25, cut, 2), 3);
    EXPECT_EQ(korv_interval_index(korv_missing(), cut, 2), 0);
    EXPECT_EQ(korv_interval_index(std::nan(""), cut, 2), 0);
    EXPECT_DOUBLE_EQ(korv_interval_value(1, cut, 2), 9.999999999999998);
    EXPECT_EQ(korv_interval_value(2, cut, 2), 15);
    EXPECT_EQ(korv_interval_value(3, cut, 2), 20);
    EXPECT_TRUE(wzmis(korv_interval_value(0, cut, 2)));
    // The first interval's value lies below its cut point for any sign; a
    // product with a factor just below 1 would not for 0 or negative cuts.
    double zero[] = {0, 5}, neg[] = {-10, 5};
    EXPECT_LT(korv_interval_value(1, zero, 2), 0);
    EXPECT_EQ(korv_interval_index(korv_interval_value(1, zero, 2), zero, 2), 1);
    EXPECT_LT(korv_interval_value(1, neg, 2), -10);
    EXPECT_EQ(korv_interval_index(korv_interval_value(1, neg, 2), neg, 2), 1);
}

TEST(StrataOrder, FormattedAndInternal)
{
    // One numeric variable with a format: formatted text at 0 (8 bytes), raw
    // value at 8.
    SNAMESTR s[2]{};
    s[0].type = 1;
    s[0].nfl = 2;
    s[0].lngf = 8;
    s[0].posf = 0;
    s[0].lngu = 8;
    s[0].posu = 8;
    MYDATA md{s, nullptr, 1, 0};
    char k9[16], k10[16];
    std::memcpy(k9, "9       ", 8);
    put(k9 + 8, 9);
    std::memcpy(k10, "10      ", 8);
    put(k10 + 8, 10);
    EXPECT_EQ(korv_strata_keycmp(&md, k10, k9), -1); // the text "10" before "9"
    md.sorder = 1;
    EXPECT_EQ(korv_strata_keycmp(&md, k10, k9), 1); // by value
    // Missing values come first in the numeric order.
    put(k9 + 8, korv_missing());
    EXPECT_EQ(korv_strata_keycmp(&md, k9, k10), -1);
}

TEST(StrataOrder, NaNValuesBecomeMissing)
{
    // Numeric variable without a format: the value at 0 in both slots.
    SNAMESTR s[2]{};
    s[0].type = 1;
    s[0].nfl = 1;
    s[0].lngf = 8;
    s[0].posf = 0;
    s[0].lngu = 8;
    s[0].posu = 8;
    MYDATA md{s, nullptr, 1, 0};
    // A NaN that is not a missing value has no order among numbers; made
    // missing, it orders before every number.
    char a[16], b[16];
    put(a, std::nan(""));
    put(b, 3);
    korv_fix_nan(a);
    EXPECT_TRUE(wzmis(get(a)));
    EXPECT_EQ(korv_strata_keycmp(&md, a, b), -1);
    // A missing value stays as it is.
    double sm = korv_special_missing(0x41);
    put(a, sm);
    korv_fix_nan(a);
    EXPECT_EQ(std::memcmp(a, &sm, 8), 0);
    // An ordinary number is left alone.
    put(a, -2.5);
    korv_fix_nan(a);
    EXPECT_EQ(get(a), -2.5);
}

TEST(StrataLabels, IntervalAndNumericTexts)
{
    // Variable 0: interval variable (16-byte formatted slot) with cut points
    // 10 and 1000000; variable 1: numeric without a format.
    double cut[] = {10, 1000000};
    SNAMESTR s[3]{};
    s[0].type = 1;
    s[0].nfl = 0;
    s[0].lngf = 16;
    s[0].posf = 0;
    s[0].lngu = 8;
    s[0].posu = 24;
    s[0].cutnum = 2;
    s[0].cutpoint = cut;
    s[1].type = 1;
    s[1].nfl = 1;
    s[1].lngf = 8;
    s[1].posf = 16;
    s[1].lngu = 8;
    s[1].posu = 32;
    KORVCOM q{};
    q.nsvar = 2;
    q.sname = s;
    q.slenf = 24;
    q.slenu = 16;
    Nodes nodes;
    struct Case {
        int index;
        const char* label;
    } cases[] = {{1, " <    10"}, {2, "  500005"}, {3, ">=1000000"}};
    for (const Case& c : cases) {
        STRATA* st = nodes.make(40);
        char* key = strata_key(st);
        put(key + 0, c.index);
        put(key + 24, korv_interval_value(c.index, cut, 2));
        put(key + 16, 42);
        korv_strata_labels(&q, st);
        std::string lab = text(key, 16);
        EXPECT_EQ(lab.substr(0, lab.find_last_not_of(' ') + 1), c.label) << c.index;
        std::string num = text(key + 16, 8);
        EXPECT_EQ(num.substr(0, num.find_last_not_of(' ') + 1), "42");
    }
}

TEST(PlotLetters, InitialsUnlessTaken)
{
    SNAMESTR s[2]{};
    s[0].type = 2;
    s[0].nfl = 2;
    s[0].lngf = 8;
    s[0].posf = 0;
    KORVCOM q{};
    q.nsvar = 1;
    q.sname = s;
    Nodes nodes;
    const char* values[] = {"Bravo   ", "alpha   ", "beta    ", "  7     "};
    STRATA* prev = nullptr;
    for (const char* v : values) {
        STRATA* st = nodes.make(8);
        std::memcpy(strata_key(st), v, 8);
        if (prev)
            prev->left = st;
        else
            q.strata = st;
        prev = st;
    }
    q.nstrata = 4;
    std::memcpy(q.symbols, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 26);
    symbol(&q);
    // Bravo B, alpha A, beta asks for B (taken) and keeps C, "7" asks for A
    // (taken) and keeps D.
    EXPECT_EQ(std::string(q.symbols, 4), "BACD");
    // One stratum: the letters stay in order.
    q.nstrata = 1;
    std::memcpy(q.symbols, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 26);
    symbol(&q);
    EXPECT_EQ(std::string(q.symbols, 3), "ABC");
}

TEST(SetUpSorts, ShellAndUnique)
{
    double t[] = {3, 1, 2, 2};
    int n = 4;
    Unique(t, &n);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(std::vector<double>(t, t + 3), (std::vector<double>{1, 2, 3}));
    double f[] = {1.5, 0.5};
    n = 2;
    Unique(f, &n);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(f[0], 0.5);
    EXPECT_EQ(f[1], 1.5);
    // Already increasing: nothing changes.
    double g[] = {1, 2, 5};
    n = 3;
    Unique(g, &n);
    EXPECT_EQ(n, 3);
    std::vector<double> v{9, -1, 4, 4, 0, 7, -3, 2};
    shell(v.data(), static_cast<int>(v.size()));
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
}

TEST(PlotData, CountDisplay)
{
    struct Case {
        double m;
        bool fractional;
        int w, d;
    } cases[] = {
        {0, false, 1, 0},
        {7, false, 1, 0},
        {228, false, 3, 0},
        {0.05, true, 5, 4}, // total weight below 1: four decimals
        {0.5, true, 4, 3},
        {3.5, true, 4, 2},
        {42.0, true, 4, 1},
        {150.0, true, 3, 0},
        {0.001, true, 7, 6},    // frequencies kept with NOTRUNCATE summing far
                                // below 1
        {0.09, false, 1, 0},    // never a width of 0 or below
        {HUGE_VAL, true, 8, 0}, // weights whose sum passes the largest double
    };
    for (const Case& c : cases) {
        int w = -1, d = -1;
        korv_count_display(c.m, c.fractional, &w, &d);
        EXPECT_EQ(w, c.w) << c.m;
        EXPECT_EQ(d, c.d) << c.m;
    }
}
