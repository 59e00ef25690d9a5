// Life tables: against KMsurv::lifetab on the same intervals, and the rules
// of the rows: where a time falls, withdrawals, the closing row, the median
// residual lifetime, the staged values and fractional frequencies.
//
// Differences of definition with lifetab: lifetab takes its last interval
// to be open, so the reference adds an empty interval to give the last one
// used its density and hazard; where no event falls in an interval lifetab's
// standard errors of density and hazard are infinite or undefined, here they
// are missing; lifetab has no closing row (the reference works it out).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <map>

#include "common/strata.h"
#include "support/estimate_sample.h"

using namespace est_test;
using korv_lt::Intervals;

namespace
{

bool missing(double v)
{
    return wzmis(v) || std::isnan(v) || std::isinf(v);
}

// Agreement to `rel`; missing (or NA, Inf) on both sides agrees.
::testing::AssertionResult same(double ours, double ref, double rel = 1e-12)
{
    if (missing(ours) || missing(ref)) {
        if (missing(ours) && missing(ref))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << ours << " against " << ref;
    }
    if (std::fabs(ours - ref) <= rel * std::fmax(std::fabs(ref), 1.0))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << ours << " against " << ref;
}

double se(double var)
{
    return var >= 0 ? std::sqrt(var) : korv_missing();
}

struct Table_ {
    std::vector<double> bounds;
    std::vector<LIFETABLE> rows;
    int nintused = -1;
    double pdfmax = 0, hazmax = 0;
    Intervals iv() const
    {
        Intervals i;
        i.bounds = bounds.data();
        i.ninter = static_cast<int>(bounds.size());
        i.given = given;
        return i;
    }
    bool given = false;
};

Table_ lifeTable(const Sample& s, std::vector<double> bounds, bool given)
{
    Table_ t;
    t.bounds = std::move(bounds);
    t.given = given;
    t.rows.assign(t.bounds.size() + 1, LIFETABLE{});
    const double n_all = korv_lt::bin(t.rows.data(), t.iv(), s.times.data(), s.freqs.data(),
                                      s.indxs.data(), static_cast<int64_t>(s.times.size()));
    t.nintused = korv_lt::estimateRows(t.rows.data(), t.iv(), n_all, &t.pdfmax, &t.hazmax);
    return t;
}

Sample records(std::initializer_list<std::tuple<double, int, double>> recs)
{
    Sample s;
    for (auto& [t, ev, f] : recs)
        s.add(t, ev != 0, f);
    s.rank();
    return s;
}

} // namespace

TEST(LifetablePeer, MatchesKMsurv)
{
    static const std::map<std::string, std::string> sampleOf = {
        {"aml_w15", "aml"},      {"aml_m_w15", "aml_m"},    {"aml_n_w15", "aml_n"},
        {"lung_n10", "lung"},    {"veteran_iv", "veteran"}, {"ovarian_w100", "ovarian"},
        {"kidney_n5", "kidney"}, {"seconds_w5e6", ""},      {"decimal_n10", ""},
    };
    // The samples not taken from examples/: times in seconds, and decimal
    // times on decimal boundaries.
    auto sampleFor = [](const std::string& id, const std::string& file) {
        if (id == "seconds_w5e6")
            return records({{1e6, 1, 1},
                            {2e6, 1, 1},
                            {3e6, 1, 1},
                            {4e6, 1, 1},
                            {6e6, 1, 1},
                            {7e6, 0, 1},
                            {8e6, 1, 1},
                            {9e6, 1, 1},
                            {11e6, 1, 1},
                            {12e6, 0, 1}});
        if (id == "decimal_n10") {
            Sample s;
            for (int i = 1; i <= 10; ++i)
                s.add(i / 10.0, true);
            s.rank();
            return s;
        }
        return caseSample(file);
    };
    Table ref("lifetable_kmsurv.csv");
    Table bounds("lifetable_bounds.csv");
    size_t cases = 0;
    for (const auto& [id, sample] : sampleOf) {
        SCOPED_TRACE(id);
        std::vector<double> b;
        bool given = false;
        for (size_t r = 0; r < bounds.size(); ++r)
            if (bounds.text(r, "case") == id) {
                b.push_back(bounds.num(r, "bound"));
                given = bounds.text(r, "how") == "intervals";
            }
        ASSERT_GE(b.size(), 2u);
        Table_ t = lifeTable(sampleFor(id, sample), b, given);
        std::vector<size_t> rows;
        for (size_t r = 0; r < ref.size(); ++r)
            if (ref.text(r, "case") == id)
                rows.push_back(r);
        ASSERT_FALSE(rows.empty());
        const bool closing = ref.num(rows[0], "closing") == 1;
        const int m = static_cast<int>(rows.size());
        ASSERT_EQ(t.nintused, closing ? m : m - 1);
        for (int j = 0; j < m; ++j) {
            const size_t r = rows[static_cast<size_t>(j)];
            const LIFETABLE& x = t.rows[static_cast<size_t>(j)];
            SCOPED_TRACE("row " + std::to_string(j));
            EXPECT_EQ(t.bounds[static_cast<size_t>(j)], ref.num(r, "lower"));
            EXPECT_EQ(x.n_die, ref.num(r, "nevent"));
            EXPECT_EQ(x.n_with, ref.num(r, "nlost"));
            EXPECT_TRUE(same(x.effective, ref.num(r, "effective")));
            EXPECT_TRUE(same(x.surv, ref.num(r, "surv")));
            EXPECT_TRUE(same(se(x.svar), ref.num(r, "se_surv")));
            EXPECT_TRUE(same(x.pden, ref.num(r, "pdf")));
            EXPECT_TRUE(same(se(x.pvar), ref.num(r, "se_pdf")));
            EXPECT_TRUE(same(x.haz, ref.num(r, "hazard")));
            EXPECT_TRUE(same(se(x.hvar), ref.num(r, "se_hazard"), 1e-9));
            EXPECT_TRUE(same(x.med, ref.num(r, "med"), 1e-10));
            EXPECT_TRUE(same(se(x.mvar), ref.num(r, "se_med"), 1e-10));
        }
        if (closing) {
            const LIFETABLE& c = t.rows[static_cast<size_t>(m)];
            EXPECT_TRUE(same(c.surv, ref.num(rows[0], "surv_after")));
            EXPECT_TRUE(same(se(c.svar), ref.num(rows[0], "se_after")));
            EXPECT_EQ(c.qfail, 0);
            EXPECT_TRUE(missing(c.haz) && missing(c.pden) && missing(c.med));
        }
        ++cases;
    }
    EXPECT_EQ(cases, 9u);
}

TEST(Lifetable, WhereRecordsFall)
{
    // Boundaries 0, 10, 20 (the last interval open): a time at 10 opens the
    // second interval; times at and beyond 20 fall in the last.
    Sample s = records({{0, 1, 1}, {9.999, 0, 2}, {10, 1, 1}, {19, 1, 1}, {20, 0, 1}, {95, 1, 3}});
    Table_ t = lifeTable(s, {0, 10, 20}, true);
    EXPECT_EQ(t.rows[0].n_die, 1);
    EXPECT_EQ(t.rows[0].n_with, 2);
    EXPECT_EQ(t.rows[1].n_die, 2);
    EXPECT_EQ(t.rows[2].n_die, 3);
    EXPECT_EQ(t.rows[2].n_with, 1);
    // Withdrawals count half: 9 at risk, 2 withdrawn.
    EXPECT_EQ(t.rows[0].effective, 8);
    EXPECT_EQ(t.rows[1].effective, 6);
    // Every interval was used and INTERVALS= gave them: no closing row; the
    // open interval has no density or hazard, and the last row no median.
    EXPECT_EQ(t.nintused, 2);
    EXPECT_TRUE(missing(t.rows[2].pden) && missing(t.rows[2].haz));
    EXPECT_EQ(t.rows[2].pvar, -1);
    EXPECT_EQ(t.rows[2].hvar, -1);
    EXPECT_TRUE(missing(t.rows[2].med));
    // An interval without events: density and hazard 0, no standard errors.
    Sample q = records({{5, 1, 1}, {25, 0, 4}, {35, 1, 1}});
    Table_ u = lifeTable(q, {0, 10, 20, 30, 40}, false);
    EXPECT_EQ(u.rows[1].pden, 0);
    EXPECT_EQ(u.rows[1].haz, 0);
    EXPECT_EQ(u.rows[1].pvar, -1);
    EXPECT_EQ(u.rows[1].hvar, -1);
}

TEST(Lifetable, ClosingRow)
{
    // Boundaries from a width: the last lies above every time. Everyone at
    // risk in the third interval fails: hazard 2/h with variance 0, and the
    // closing row shows survival 0.
    Sample s = records({{3, 1, 2}, {12, 0, 1}, {15, 1, 1}, {22, 1, 2}});
    Table_ t = lifeTable(s, {0, 10, 20, 30}, false);
    ASSERT_EQ(t.nintused, 3);
    EXPECT_EQ(t.rows[2].qfail, 1);
    EXPECT_DOUBLE_EQ(t.rows[2].haz, 2.0 / 10);
    EXPECT_EQ(t.rows[2].hvar, 0);
    const LIFETABLE& c = t.rows[3];
    EXPECT_EQ(c.surv, 0);
    EXPECT_EQ(c.svar, 0);
    EXPECT_EQ(c.n_die + c.n_with + c.effective, 0);
    EXPECT_EQ(c.qfail, 0);
    EXPECT_EQ(c.qvar, 0);
    EXPECT_TRUE(missing(c.haz) && missing(c.pden) && missing(c.med));
    EXPECT_EQ(c.hvar, -1);
    EXPECT_DOUBLE_EQ(t.hazmax, 0.2);

    // The last interval used has an effective size of 0.1 or less: no
    // closing row, and that row has no median residual lifetime.
    Sample f = records({{3, 1, 1}, {12, 0, 0.2}});
    Table_ g = lifeTable(f, {0, 10, 20, 30}, false);
    EXPECT_EQ(g.nintused, 1);
    EXPECT_DOUBLE_EQ(g.rows[1].effective, 0.1);
    EXPECT_TRUE(missing(g.rows[1].med));
}

// Every frequency times 1e13: the conditional probabilities are the same and
// each variance falls by the same factor; the hazard's keeps its size
// however many subjects fail.
TEST(Lifetable, HazardVarianceAtLargeFrequencies)
{
    const std::vector<double> b = {0, 15, 30, 45, 60, 75, 90, 105, 120, 135, 150, 165};
    Sample one = caseSample("aml");
    Sample big = one;
    for (double& f : big.freqs)
        f *= 1e13;
    const Table_ t = lifeTable(one, b, false), u = lifeTable(big, b, false);
    ASSERT_EQ(t.nintused, u.nintused);
    int compared = 0;
    for (int j = 0; j < t.nintused; ++j) {
        if (!(t.rows[j].hvar > 0))
            continue;
        EXPECT_NEAR(u.rows[j].hvar * 1e13 / t.rows[j].hvar, 1, 1e-9) << j;
        ++compared;
    }
    EXPECT_EQ(compared, 4);
}

// Fractional frequencies (NOTRUNCATE): 0.1 + 0.2 + 0.3 leaves a residue when
// subtracted one by one. The interval after the last record is the closing
// row, not a near-empty interval of its own.
TEST(Lifetable, FractionalFrequenciesLeaveNoNearEmptyRow)
{
    Sample s = records({{1, 1, 0.1}, {11, 1, 0.2}, {21, 1, 0.3}});
    Table_ t = lifeTable(s, {0, 10, 20, 30, 40, 50}, false);
    ASSERT_EQ(t.nintused, 3);
    const LIFETABLE& c = t.rows[3];
    EXPECT_EQ(c.effective, 0);
    EXPECT_TRUE(missing(c.pden));
    EXPECT_TRUE(missing(c.haz));
    EXPECT_EQ(c.surv, 0);
    // The stage of the closing row: no upper bound and no midpoint.
    double io[34] = {};
    korv_lt::stageRow(t.rows.data(), 3, t.iv(), korv_lt::StageSettings{}, io);
    EXPECT_EQ(io[0], 30);
    EXPECT_TRUE(missing(io[24]));
    EXPECT_TRUE(missing(io[6]));
}

TEST(Lifetable, MedianResidualLifetime)
{
    // Survival 1 -> 0.75 -> 0.5 exactly at the boundaries 10 and 20, then
    // 0.25 at 30: from 0 the half is reached at 20; from 10 (0.75) the half
    // 0.375 lies halfway through the third interval: 10 + 5 = 15.
    Sample s = records({{5, 1, 1}, {15, 1, 1}, {25, 1, 1}, {35, 1, 1}});
    Table_ t = lifeTable(s, {0, 10, 20, 30, 40}, false);
    ASSERT_EQ(t.nintused, 4);
    EXPECT_DOUBLE_EQ(t.rows[0].med, 20);
    EXPECT_DOUBLE_EQ(t.rows[1].med, 15);
    EXPECT_DOUBLE_EQ(t.rows[2].med, 10);
    // Variance: (S_j / (2 f_k))^2 / e_j, f_k the density where the half lies.
    EXPECT_DOUBLE_EQ(t.rows[1].mvar, std::pow(0.75 / (2 * t.rows[2].pden), 2) / 3);

    // A survival that never falls to half of its value: no median from
    // that row on.
    Sample h = records({{5, 1, 1}, {15, 0, 9}});
    Table_ u = lifeTable(h, {0, 10, 20}, true);
    EXPECT_TRUE(missing(u.rows[0].med));
    EXPECT_EQ(u.rows[0].mvar, -1);

    // A median of 0 or below is not shown.
    double io[34] = {};
    LIFETABLE r{};
    r.med = 0;
    r.mvar = 1;
    korv_lt::stageTableRow(r, io);
    EXPECT_TRUE(missing(io[17]) && missing(io[18]));
}

// Density and hazard limits are plain with the lower one kept at 0; the
// failure values go to the plot data only for the failure plot.
TEST(Lifetable, StagedValues)
{
    Sample s = caseSample("aml");
    Table_ t = lifeTable(s, {0, 15, 30, 45, 60, 75, 90, 105, 120, 135, 150, 165}, false);
    korv_lt::StageSettings set;
    set.critical = 1.96;
    double io[34];
    for (double& v : io)
        v = -7;
    korv_lt::stageRow(t.rows.data(), 3, t.iv(), set, io);
    const LIFETABLE& r = t.rows[3];
    ASSERT_GT(1.96 * std::sqrt(r.pvar), r.pden);
    EXPECT_EQ(io[12], 0);
    EXPECT_DOUBLE_EQ(io[11], r.pden + 1.96 * std::sqrt(r.pvar));
    EXPECT_EQ(io[2], -7);
    EXPECT_EQ(io[28], -7);
    set.failure = true;
    korv_lt::stageRow(t.rows.data(), 3, t.iv(), set, io);
    EXPECT_EQ(io[2], 1 - r.surv);
    EXPECT_EQ(io[28], 1 - io[4]);
    EXPECT_EQ(io[29], 1 - io[5]);
}

// Bounds near the largest double: the intervals [9e307, 1e308) and
// [1e308, 1.1e308) have ordinary midpoints although their bounds' sum is
// past the largest double.
TEST(Lifetable, MidpointsOfIntervalsNearTheLargestDouble)
{
    Sample s = records({{5e307, 1, 1}, {9.5e307, 1, 1}, {1.05e308, 1, 1}, {1.05e308, 0, 1}});
    Table_ t = lifeTable(s, {0, 9e307, 1e308, 1.1e308}, true);
    double io[34] = {};
    korv_lt::stageRow(t.rows.data(), 1, t.iv(), korv_lt::StageSettings{}, io);
    EXPECT_DOUBLE_EQ(io[6], 9.5e307); // the midpoint
    korv_lt::stageRow(t.rows.data(), 2, t.iv(), korv_lt::StageSettings{}, io);
    EXPECT_DOUBLE_EQ(io[6], 1.05e308);
}
