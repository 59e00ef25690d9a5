// Ranking of a stratum's records and the life-table boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "common/rankorder.h"
#include "frame/intervals.h"
#include "frame/rank.h"

namespace
{

std::vector<int64_t> rank(const std::vector<double>& t, const std::vector<double>& f)
{
    std::vector<int64_t> idx(t.size()), link(t.size());
    korv_rank_with_links(t.data(), f.data(), idx.data(), static_cast<int64_t>(t.size()),
                         link.data());
    return idx;
}

// Reference: a stable sort by (time, events first with the larger frequency
// first, then censored with the smaller magnitude first), then the tie marks.
std::vector<int64_t> reference_rank(const std::vector<double>& t, const std::vector<double>& f)
{
    std::vector<int64_t> order(t.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
        if (t[a] != t[b])
            return t[a] < t[b];
        return f[a] > f[b];
    });
    std::vector<int64_t> idx(t.size());
    for (size_t k = 0; k < order.size(); ++k) {
        int64_t r = order[k];
        bool tied = k + 1 < order.size() && t[order[k + 1]] == t[r] &&
                    ((f[r] > 0) == (f[order[k + 1]] > 0));
        idx[k] = tied ? -(r + 1) : r + 1;
    }
    return idx;
}

// The list merge sort's rank index: the order the ranking has always had.
std::vector<int64_t> merge_sort_rank(const std::vector<double>& t, const std::vector<double>& f)
{
    const int64_t n = static_cast<int64_t>(t.size());
    std::vector<int64_t> link(t.size()), idx(t.size());
    if (n == 0)
        return idx;
    int64_t r = 0;
    zmrgsrt(compare, t.data(), f.data(), link.data(), n, &r);
    for (int64_t k = 0; k < n - 1; ++k) {
        int64_t s = link[r];
        bool tied = t[s] <= t[r] && ((f[r] > 0 && f[s] > 0) || (f[r] < 0 && f[s] < 0));
        idx[k] = tied ? -(r + 1) : r + 1;
        r = s;
    }
    idx[n - 1] = r + 1;
    return idx;
}

int g_copied = 0; // rankings whose copies counting made

// The rank index; where counting also copied the records into rank order
// on the way (times, frequencies and weights), the copies must be what a
// gather through the index gives.
std::vector<int64_t> rank_order(const std::vector<double>& t, const std::vector<double>& f)
{
    const size_t n = t.size();
    std::vector<int64_t> idx(n);
    std::vector<double> w(n), rt(n, -99), rf(n, -99), rw(n, -99);
    for (size_t i = 0; i < n; ++i)
        w[i] = 0.5 + static_cast<double>(i);
    korv_rank_detail::RankCopies copy;
    copy.weight = w.data();
    copy.rtime = rt.data();
    copy.rfreq = rf.data();
    copy.rweight = rw.data();
    if (korv_rank_order(t.data(), f.data(), idx.data(), static_cast<int64_t>(n), copy)) {
        ++g_copied;
        for (size_t j = 0; j < n; ++j) {
            const size_t r = static_cast<size_t>(std::llabs(idx[j]) - 1);
            EXPECT_TRUE(rt[j] == t[r] && rf[j] == f[r] && rw[j] == w[r]) << "position " << j;
        }
    }
    return idx;
}

// k times the width's shortest decimal form, multiplied digit by digit and
// read back by the library: the double nearest the decimal boundary.
double decimalBound(int k, double w)
{
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, w);
    const std::string text(buf, res.ptr);
    std::string digits;
    int exponent = 0;
    bool point = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == 'e') {
            exponent += std::atoi(text.c_str() + i + 1);
            break;
        }
        if (c == '.')
            point = true;
        else {
            digits += c;
            if (point)
                --exponent;
        }
    }
    std::string product;
    long carry = 0;
    for (size_t i = digits.size(); i-- > 0;) {
        const long v = static_cast<long>(digits[i] - '0') * k + carry;
        product.insert(product.begin(), static_cast<char>('0' + v % 10));
        carry = v / 10;
    }
    for (; carry > 0; carry /= 10)
        product.insert(product.begin(), static_cast<char>('0' + carry % 10));
    return std::strtod((product + "e" + std::to_string(exponent)).c_str(), nullptr);
}

} // namespace

TEST(Ranking, TiesEventsBeforeCensoredLargerFrequencyFirst)
{
    // Events at 5 with frequencies 2 and 1 come before the censored record at 5.
    EXPECT_EQ(rank({3, 5, 5, 5, 7}, {1, 2, -1, 1, 1}), (std::vector<int64_t>{1, -2, 4, 3, 5}));
    EXPECT_EQ(rank({4}, {-1}), (std::vector<int64_t>{1}));
    // Censored ties: smaller magnitude first, marked as one tie group.
    EXPECT_EQ(rank({2, 2, 1}, {-3, -1, 1}), (std::vector<int64_t>{3, -2, 1}));
    // Reverse order input, all equal events: stable, one tie group.
    EXPECT_EQ(rank({9, 9, 9}, {1, 1, 1}), (std::vector<int64_t>{-1, -2, 3}));
}

TEST(Ranking, AgreesWithReferenceSortOnRandomData)
{
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> time(0, 12), freq(1, 3), cens(0, 2);
    for (int trial = 0; trial < 200; ++trial) {
        int n = 1 + trial % 97;
        std::vector<double> t(n), f(n);
        for (int i = 0; i < n; ++i) {
            t[i] = time(gen) * 0.5;
            f[i] = freq(gen) * (cens(gen) == 0 ? -1.0 : 1.0);
        }
        ASSERT_EQ(rank(t, f), reference_rank(t, f)) << "trial " << trial;
    }
}

TEST(Ranking, SortedInputOnePassMatchesTheSort)
{
    // Sorted input: the one-pass index equals the sorted index.
    std::vector<double> t{1, 2, 2, 2, 3, 3, 4}, f{1, 1, 2, -1, 1, -1, -2};
    std::vector<int64_t> one(t.size());
    korv_sorted_index(t.data(), f.data(), one.data(), static_cast<int64_t>(t.size()));
    EXPECT_EQ(one, (std::vector<int64_t>{1, -2, 3, 4, 5, 6, 7}));
    // The sort marks the same tie groups.
    std::vector<int64_t> sorted = rank(t, f);
    for (size_t k = 0; k < t.size(); ++k)
        EXPECT_EQ(one[k] < 0, sorted[k] < 0) << k;
    std::vector<double> t2{2, 2}, f2{1, 1};
    std::vector<int64_t> two(2);
    korv_sorted_index(t2.data(), f2.data(), two.data(), 2);
    EXPECT_EQ(two, (std::vector<int64_t>{-1, 2}));
    // An event followed by a censored record at the same time: not tied.
    std::vector<double> t3{5, 5}, f3{1, -1};
    korv_sorted_index(t3.data(), f3.data(), two.data(), 2);
    EXPECT_EQ(two, (std::vector<int64_t>{1, 2}));
}

TEST(Ranking, MergeSortDropsEqualKeysAndStopsOnBadResult)
{
    auto bytime = [](const double* k, const double*, int64_t p, int64_t q) -> int {
        return k[p] < k[q] ? -1 : (k[p] > k[q] ? 1 : 0);
    };
    std::vector<double> k{3, 1, 3, 2, 1};
    std::vector<int64_t> link(k.size());
    int64_t first = 0;
    int64_t kept = zmrgsrt(bytime, k.data(), k.data(), link.data(), 5, &first);
    EXPECT_EQ(kept, 3);
    std::vector<double> got;
    for (int64_t r = first; r >= 0; r = link[r])
        got.push_back(k[r]);
    EXPECT_EQ(got, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(first, 1); // the first of the equal records is the one kept

    auto bad = [](const double*, const double*, int64_t, int64_t) -> int { return 2; };
    EXPECT_EQ(zmrgsrt(bad, k.data(), k.data(), link.data(), 5, &first), -1);
    EXPECT_EQ(zmrgsrt(bytime, k.data(), k.data(), link.data(), 0, &first), 0);
    EXPECT_EQ(first, -1);
}

TEST(Intervals, CountAndWidth)
{
    struct Case {
        double maxt;
        bool zwidth;
        double width;
        int k;
        int ninter;
        double wd;
    } cases[] = {
        {37, false, 0, 10, 10, 5},   // 0, 5, ..., 45
        {100, false, 0, 10, 10, 20}, // 0, 20, ..., 180
        {45, false, 0, 10, 11, 5},   // a boundary at the largest time adds one more
        {0, false, 0, 10, 10, 2},    // all times 0
        {30, true, 10, 0, 5, 10},    // 0, 10, 20, 30, 40
        {29.5, true, 10, 0, 4, 10},  // 0, 10, 20, 30
        {0, true, 3, 0, 2, 3},       // largest time 0: 0 and 3
    };
    for (const Case& c : cases) {
        IntervalPlan p = korv_interval_plan(c.maxt, c.zwidth, c.width, c.k);
        EXPECT_EQ(p.status, 0) << c.maxt;
        EXPECT_EQ(p.ninter, c.ninter) << c.maxt << " " << c.zwidth;
        EXPECT_DOUBLE_EQ(p.width, c.wd) << c.maxt;
        std::vector<double> b(p.ninter + 1, -1);
        korv_interval_fill(b.data(), p.ninter, p.width);
        EXPECT_EQ(b[0], 0);
        EXPECT_GT(b[p.ninter - 1], c.maxt); // the last boundary ends above the largest time
        if (c.zwidth) {
            EXPECT_LE(b[p.ninter - 2], c.maxt); // and no boundary more than needed
        }
    }
}

TEST(Intervals, DecimalWidthsGiveTheDecimalBoundaries)
{
    // Boundaries are k times the width, as the double nearest the decimal
    // value: the fourth one of width 0.2 is 0.6, not 0.6000000000000001, so
    // that a time of 0.6 opens [0.6, 0.8).
    IntervalPlan p = korv_interval_plan(1.0, false, 0, 10);
    ASSERT_EQ(p.status, 0);
    EXPECT_EQ(p.width, 0.2);
    std::vector<double> b(p.ninter + 1);
    korv_interval_fill(b.data(), p.ninter, p.width);
    const double decimal[] = {0, 0.2, 0.4, 0.6, 0.8, 1.0, 1.2, 1.4, 1.6, 1.8};
    ASSERT_EQ(p.ninter, 10);
    for (int k = 0; k < p.ninter; ++k)
        EXPECT_EQ(b[k], decimal[k]) << k;
    // WIDTH=0.1 up to a largest time of 1: 0.3 and 0.7 are the decimal ones,
    // and the boundary at the largest time adds one more.
    p = korv_interval_plan(1.0, true, 0.1, 0);
    ASSERT_EQ(p.status, 0);
    EXPECT_EQ(p.ninter, 12);
    b.assign(p.ninter + 1, 0);
    korv_interval_fill(b.data(), p.ninter, p.width);
    EXPECT_EQ(b[3], 0.3);
    EXPECT_EQ(b[7], 0.7);
    EXPECT_EQ(b[10], 1.0);
    EXPECT_EQ(korv_interval_bound(3, 0.1), 0.3);
    EXPECT_EQ(korv_interval_bound(7, 0.35), 2.45);
    // The width 1/3 reads 0.3333333333333333: three times it is the double
    // nearest 0.9999999999999999, not 1.
    EXPECT_EQ(korv_interval_bound(3, 1.0 / 3), 0.9999999999999999);
}

// At any exponent and for any digits of the width: every multiple is the
// double nearest the decimal product (3 x 1e25 is 3e25, which a time of 3e25
// then opens).
TEST(Intervals, EveryBoundaryIsTheNearestDoubleOfTheDecimalProduct)
{
    const double widths[] = {1e25,    1e-25,  7e-30, 0.35,   1.0 / 3,  123456.789,
                             2.5e200, 1e-300, 3e22,  1.7e23, 4.9e-324, 9.87654321e-7};
    std::mt19937 gen(5);
    for (const double w : widths) {
        int off = 0;
        for (int i = 1; i <= 3000; ++i) {
            const int k = i <= 2000 ? i : 1 + static_cast<int>(gen() % KORV_MAX_INTERVALS);
            if (korv_interval_bound(k, w) != decimalBound(k, w))
                ++off;
        }
        EXPECT_EQ(off, 0) << w;
    }
    EXPECT_EQ(korv_interval_bound(3, 1e25), 3e25);
    EXPECT_EQ(korv_interval_bound(6, 1e25), 6e25);
}

TEST(Intervals, BoundariesPastTheLargestDoubleAreRefused)
{
    // Times near the largest double: the count path takes the next smaller
    // width of the 1, 2, 5 steps while its boundaries would pass it (2e307
    // for the default count at 1e308, where 9 x 2e307 does not fit); on the
    // largest double itself, or with WIDTH= past it, none is stored.
    const std::pair<double, int> counts[] = {{1e308, 10}, {1.5e308, 1}};
    const double width[] = {1e307, 2e307};
    for (int i = 0; i < 2; ++i) {
        const IntervalPlan p = korv_interval_plan(counts[i].first, false, 0, counts[i].second);
        ASSERT_EQ(p.status, 0) << counts[i].first;
        EXPECT_EQ(p.width, width[i]);
        EXPECT_GT(korv_interval_bound(p.ninter - 1, p.width), counts[i].first);
        EXPECT_LE(korv_interval_bound(p.ninter - 2, p.width), counts[i].first);
    }
    EXPECT_EQ(korv_interval_plan(DBL_MAX, false, 0, 10).status, 3);
    EXPECT_EQ(korv_interval_plan(1.5e308, true, 1e308, 0).status, 3);
    EXPECT_EQ(korv_interval_plan(1e300, true, 1e300, 0).status, 0);
}

TEST(Intervals, RunawayRequestsAreRefused)
{
    // A tiny width against a large time: refused instead of a huge array.
    EXPECT_EQ(korv_interval_plan(1e9, true, 1e-6, 0).status, 1);
    // A huge count.
    EXPECT_EQ(korv_interval_plan(10, false, 0, 2000000000).status, 1);
    // An infinite largest time or a width that is not positive never loops.
    EXPECT_EQ(korv_interval_plan(INFINITY, true, 1, 0).status, 2);
    EXPECT_EQ(korv_interval_plan(INFINITY, false, 0, 10).status, 2);
    EXPECT_EQ(korv_interval_plan(10, true, 0, 0).status, 2);
    EXPECT_EQ(korv_interval_plan(10, true, NAN, 0).status, 2);
    // The largest allowed count still works.
    IntervalPlan p = korv_interval_plan(1000, true, 1000.0 / (KORV_MAX_INTERVALS - 10), 0);
    EXPECT_EQ(p.status, 0);
    EXPECT_LE(p.ninter, KORV_MAX_INTERVALS);
}

TEST(Ranking, CountingAndSortingPathsMatchTheMergeSort)
{
    std::mt19937_64 gen(11);
    // Few distinct times (counting), many (sorting), sorted and reversed
    // input, zero and negative-zero times and frequencies, large strata.
    for (int trial = 0; trial < 120; ++trial) {
        const int n = trial < 100 ? 1 + static_cast<int>(gen() % 3000) : 40000;
        const int distinct = trial % 4 == 0   ? n * 4
                             : trial % 4 == 1 ? 2000
                                              : 1 + static_cast<int>(gen() % 50);
        std::vector<double> t(static_cast<size_t>(n)), f(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            double v = static_cast<double>(gen() % static_cast<uint64_t>(distinct)) * 0.25;
            t[i] = (v == 0 && gen() % 2) ? -0.0 : v;
            double mag = static_cast<double>(gen() % 4); // 0 to 3
            f[i] = gen() % 3 == 0 ? -mag : mag;
        }
        if (trial % 10 == 3)
            std::sort(t.begin(), t.end());
        if (trial % 10 == 7)
            std::sort(t.rbegin(), t.rend());
        ASSERT_EQ(rank_order(t, f), merge_sort_rank(t, f)) << "trial " << trial;
        ASSERT_EQ(rank(t, f), merge_sort_rank(t, f)) << "trial " << trial;
    }
    // One frequency per kind (the records of a bucket form one tie group),
    // and the same with a single record that breaks it.
    for (int trial = 0; trial < 60; ++trial) {
        // 1000 distinct times in 16000 or more records grow the hash table.
        const int n = trial % 3 == 0 ? 16000 + static_cast<int>(gen() % 4000)
                                     : 1 + static_cast<int>(gen() % 20000);
        const int distinct = trial % 3 == 0 ? 1000 : 1 + static_cast<int>(gen() % 300);
        const double ev = 1 + static_cast<double>(trial % 2), ce = -1 - static_cast<double>(trial % 3);
        std::vector<double> t(static_cast<size_t>(n)), f(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            t[i] = static_cast<double>(gen() % static_cast<uint64_t>(distinct));
            f[i] = gen() % 4 == 0 ? ce : ev;
        }
        if (trial % 4 == 1)
            f[gen() % static_cast<uint64_t>(n)] = trial % 8 == 1 ? 0.0 : 5.0;
        if (trial % 4 == 2)
            f[gen() % static_cast<uint64_t>(n)] = -7.0;
        ASSERT_EQ(rank_order(t, f), merge_sort_rank(t, f)) << "uniform trial " << trial;
    }
    EXPECT_GT(g_copied, 10);
    // Already in order: the one pass, and the sorted-input index agrees.
    std::vector<double> t{0, 1, 1, 1, 2, 2}, f{-1, 2, 1, -1, 1, 1};
    std::vector<int64_t> one(t.size());
    korv_sorted_index(t.data(), f.data(), one.data(), static_cast<int64_t>(t.size()));
    EXPECT_EQ(rank_order(t, f), one);
    EXPECT_EQ(rank_order(t, f), merge_sort_rank(t, f));
    // Non-integral and negative times, infinities.
    std::vector<double> t2{2.5, -1e300, INFINITY, 1e-300, -INFINITY, 2.5, 0.1}, f2(7, 1.0);
    f2[5] = -1;
    EXPECT_EQ(rank_order(t2, f2), merge_sort_rank(t2, f2));
    EXPECT_TRUE(rank_order({}, {}).empty());
}
