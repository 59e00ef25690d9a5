// The computing core of the tests of equal survival: worked values on a small
// tied data set, agreement with R's survdiff and statsmodels on the example
// data, the likelihood-ratio statistic against a Poisson model's deviance,
// and the guards of the likelihood-ratio statistic.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "numeric/gamma.h"
#include "numeric/matrix.h"
#include "runtime/missing.h"
#include "support/homogeneity_records.h"

using namespace homtest;

namespace
{

// 30 records, three levels, integer times with tied events and censorings
// at event times.
Records worked()
{
    const int t[] = {1,  2,  2,  2,  3,  3,  4,  5,  5,  6,  6,  7,  8,  8,  9,
                     10, 11, 12, 12, 13, 14, 15, 15, 16, 17, 18, 19, 20, 21, 22};
    const int s[] = {1, 1, 1, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1,
                     0, 1, 1, 1, 1, 0, 1, 1, 0, 1, 1, 0, 1, 0, 1};
    const char* g = "abcabcaacbbcabcabccabcabcabcab";
    Records r;
    for (int i = 0; i < 30; ++i)
        r.add(t[i], s[i] ? 1.0 : -1.0, g[i] - 'a');
    return r;
}

// Every test on the worked data against its value from the definitions
// (tests/reference/homogeneity_worked.py; no peer has the modified Peto-Peto
// test or Fleming-Harrington with gamma > 0).
TEST(HomogeneityWorked, AllRankTestsAndLikelihoodRatio)
{
    korvtest::Table t("homogeneity_worked.csv");
    ASSERT_GE(t.size(), 10u);
    for (size_t i = 0; i < t.size(); ++i) {
        const std::string test = t.text(i, "test");
        SCOPED_TRACE(test + " " + t.text(i, "rho") + " " + t.text(i, "gamma"));
        const double want = t.num(i, "chisq");
        double fl[2] = {1.0, -1.0};
        if (test == "fleming")
            fl[0] = t.num(i, "rho"), fl[1] = t.num(i, "gamma");
        Result r = unweighted(worked(), 3, fl);
        if (test == "likelihood_ratio") {
            EXPECT_TRUE(korvtest::Near(r.lrt.likeratio, want, 1e-12));
            EXPECT_EQ(r.lrt.zempty, ' ');
            EXPECT_EQ(r.lrt.nempty, 0);
            continue;
        }
        const std::vector<double>& b = test == "logrank"    ? r.lr
                                       : test == "wilcoxon" ? r.wil
                                       : test == "tarone"   ? r.tar
                                       : test == "peto"     ? r.peto
                                       : test == "modpeto"  ? r.mpeto
                                                            : r.flem;
        KorvChiSq c = chisq(b, 3);
        EXPECT_TRUE(korvtest::Near(c.chisq, want, 1e-12));
        EXPECT_EQ(c.df, static_cast<int>(t.num(i, "df")));
    }
}

TEST(HomogeneityWorked, FlemingWithoutExponentsIsLogRank)
{
    Result r = unweighted(worked(), 3, nullptr);
    for (size_t i = 0; i < r.lr.size(); ++i)
        EXPECT_NEAR(r.flem[i], r.lr[i], 1e-12);
}

TEST(HomogeneityWorked, ScoresAndCovarianceRowsSumToZero)
{
    Result r = unweighted(worked(), 3);
    for (auto* b : {&r.lr, &r.wil, &r.tar, &r.peto, &r.mpeto}) {
        const double* u = r.scores(*b);
        EXPECT_NEAR(u[0] + u[1] + u[2], 0.0, 1e-10);
        for (int i = 0; i < 3; ++i) {
            double s = 0;
            for (int j = 0; j < 3; ++j)
                s += (*b)[zisub(i, j)];
            EXPECT_NEAR(s, 0.0, 1e-10);
        }
    }
}

TEST(HomogeneityWorked, TrendAgainstSurvdiffScores)
{
    Result r = unweighted(worked(), 3);
    double x[] = {1, 2, 3}, work[4], io[6];
    Trend(3, r.lr.data(), r.lr.data() + korv_score_offset(3), x, work, io);
    EXPECT_NEAR(io[0], 1.7085002, 5e-7);
    EXPECT_NEAR(io[1], 3.5666682, 5e-7);
    EXPECT_NEAR(io[2], 0.4790185, 5e-7);
    EXPECT_NEAR(io[3], io[4] < io[5] ? 2 * io[4] : 2 * io[5], 1e-15);
    // Shifted scores give the same test: U and the rows of V sum to zero.
    double x0[] = {0, 1, 2}, io0[6];
    Trend(3, r.lr.data(), r.lr.data() + korv_score_offset(3), x0, work, io0);
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(io0[i], io[i], 1e-9);
}

// The tests across GROUP= levels sum the passes of many strata into one
// set of blocks and close the rows once, after the last stratum: the same
// blocks, to the last bit, as closing them after every stratum. 150 levels
// (the covariance updates gathered in batches) over three strata.
TEST(HomogeneityCore, RowsClosedOnceAfterManyStrataAsAfterEach)
{
    const int k = 150;
    std::vector<Records> strata(3);
    for (int i = 0; i < 3000; ++i)
        strata[static_cast<size_t>(i % 3)].add(1 + (i * 7919) % 97, (i * 31) % 5 ? 1.0 : -1.0,
                                               (i * 13) % k);
    const int64_t bs = korv_block_size(k);
    std::vector<double> each[3], once[3];
    for (int v = 0; v < 3; ++v) {
        each[v].assign(bs, 0.0);
        once[v].assign(bs, 0.0);
    }
    HomBlocks a{each[0].data(), each[1].data(), each[2].data(), nullptr, nullptr, nullptr};
    HomBlocks b{once[0].data(), once[1].data(), once[2].data(), nullptr, nullptr, nullptr};
    std::vector<double> risk(k), die(k);
    for (const Records& r : strata) {
        const auto j = rank_index(r);
        std::fill(risk.begin(), risk.end(), 0.0);
        korv_hom_first_pass(k, r.n(), r.freq.data(), r.level.data(), j.data(), risk.data(),
                            die.data(), a, nullptr, nullptr);
        std::fill(risk.begin(), risk.end(), 0.0);
        korv_hom_first_pass(k, r.n(), r.freq.data(), r.level.data(), j.data(), risk.data(),
                            die.data(), b, nullptr, nullptr, false);
    }
    EXPECT_EQ(once[0][0], 0.0); // not closed yet
    for (double* block : {b.lr, b.wil, b.tar})
        korv_hom_close_rows(block, k);
    for (int v = 0; v < 3; ++v)
        for (int64_t x = 0; x < bs; ++x)
            ASSERT_EQ(std::memcmp(&each[v][x], &once[v][x], sizeof(double)), 0) << v << " " << x;
    // Each diagonal is minus its row then its column, summed in that order.
    for (int h = 0; h < k; ++h) {
        double sum = 0.0;
        for (int j = 0; j < h; ++j)
            sum += each[1][static_cast<size_t>(h) * (h + 1) / 2 + j];
        for (int i = h + 1; i < k; ++i)
            sum += each[1][static_cast<size_t>(i) * (i + 1) / 2 + h];
        const double d = 0.0 - sum;
        EXPECT_EQ(std::memcmp(&d, &each[1][static_cast<size_t>(h) * (h + 1) / 2 + h], sizeof d), 0)
            << h;
    }
    // Each closed row sums to zero.
    for (int h = 0; h < k; ++h) {
        double s = 0;
        for (int i = 0; i < k; ++i)
            s += i <= h ? each[0][static_cast<size_t>(h) * (h + 1) / 2 + i]
                        : each[0][static_cast<size_t>(i) * (i + 1) / 2 + h];
        EXPECT_NEAR(s, 0.0, 1e-9) << h;
    }
}

TEST(HomogeneityEdges, SingleAtRiskOrNoEventsAddNothing)
{
    // The last subject fails alone: one at risk, no score.
    Records r;
    r.add(1, -1, 0);
    r.add(2, -1, 1);
    r.add(3, 1, 0);
    Result a = unweighted(r, 2);
    for (double v : a.lr)
        EXPECT_EQ(v, 0.0);
    KorvChiSq c = chisq(a.lr, 2);
    EXPECT_EQ(c.df, 0);
    EXPECT_TRUE(wzmis(c.p));
}

TEST(HomogeneityEdges, CensoredAtAnEventTimeIsAtRisk)
{
    // Event at 5 in level 0, censoring at 5 in level 1: N = 2 at time 5.
    Records r;
    r.add(5, 1, 0);
    r.add(5, -1, 1);
    Result a = unweighted(r, 2);
    const double* u = a.scores(a.lr);
    EXPECT_DOUBLE_EQ(u[0], 0.5);
    EXPECT_DOUBLE_EQ(u[1], -0.5);
    EXPECT_DOUBLE_EQ(a.lr[0], 0.25); // D(N-D) N0 (N-N0) / (N^2 (N-1))
}

// ---------------------------------------------------------------------------
// Peers.

// Scores and covariance of the levels within each stratum, summed over the
// strata (the stratified test).
Result stratified(const Records& all, const std::vector<int64_t>& st, int k, const double* fl)
{
    int64_t ns = *std::max_element(st.begin(), st.end()) + 1;
    Result sum;
    sum.k = k;
    for (int64_t s = 0; s < ns; ++s) {
        Records r;
        for (int64_t i = 0; i < all.n(); ++i)
            if (st[i] == s)
                r.add(all.time[i], all.freq[i], all.level[i]);
        Result one = unweighted(r, k, fl);
        if (sum.lr.empty()) {
            sum = one;
            continue;
        }
        for (auto [a, b] : {std::pair{&sum.lr, &one.lr},
                            {&sum.wil, &one.wil},
                            {&sum.tar, &one.tar},
                            {&sum.flem, &one.flem}})
            for (size_t i = 0; i < a->size(); ++i)
                (*a)[i] += (*b)[i];
    }
    return sum;
}

TEST(HomogeneityPeers, SurvdiffChiSquareAndObservedMinusExpected)
{
    auto rows = read_table("homogeneity_survdiff.csv");
    ASSERT_GT(rows.size(), 30u);
    for (auto& row : rows) {
        SCOPED_TRACE(row["data"] + " " + row["group"] + " strata " + row["strata"] + " rho " +
                     row["rho"]);
        std::vector<int64_t> st;
        Records r = example(row, row["strata"].empty() ? nullptr : &st);
        const int k = static_cast<int>(split(row["levels"], '|').size());
        const double fl[] = {std::stod(row["rho"]), -1.0};
        Result res = row["strata"].empty() ? unweighted(r, k, fl) : stratified(r, st, k, fl);
        const double want = std::stod(row["chisq"]);
        KorvChiSq c = chisq(res.flem, k);
        EXPECT_NEAR(c.chisq, want, 1e-8 * std::max(1.0, want));
        EXPECT_EQ(c.df, std::stoi(row["df"]));
        auto oe = split(row["oe"], '|');
        const double* u = res.scores(res.flem);
        for (int h = 0; h < k; ++h)
            EXPECT_NEAR(u[h], std::stod(oe[h]), 1e-8 * std::max(1.0, std::fabs(u[h])));
        if (row["rho"] == "0") {
            EXPECT_NEAR(chisq(res.lr, k).chisq, want, 1e-8 * std::max(1.0, want));
        }
    }
}

TEST(HomogeneityPeers, StatsmodelsWeightTypes)
{
    // statsmodels: None = log-rank, "gb" = Gehan's Wilcoxon (weight N),
    // "tw" = Tarone-Ware (sqrt N), "fh" with p = S(t-)^p. It solves the
    // reduced system with k - 1 degrees of freedom, which equals the sweep
    // on these regular data.
    auto rows = read_table("homogeneity_statsmodels.csv");
    ASSERT_GT(rows.size(), 40u);
    for (auto& row : rows) {
        SCOPED_TRACE(row["data"] + " " + row["group"] + " " + row["weight"] + row["p"]);
        std::vector<int64_t> st;
        Records r = example(row, row["strata"].empty() ? nullptr : &st);
        const int k = static_cast<int>(split(row["levels"], '|').size());
        const double fl[] = {row["p"].empty() ? 0.0 : std::stod(row["p"]), -1.0};
        Result res = row["strata"].empty() ? unweighted(r, k, fl) : stratified(r, st, k, fl);
        const std::string w = row["weight"];
        const std::vector<double>& b = w == "logrank" ? res.lr
                                       : w == "gb"    ? res.wil
                                       : w == "tw"    ? res.tar
                                                      : res.flem;
        const double want = std::stod(row["chisq"]);
        KorvChiSq c = chisq(b, k);
        EXPECT_NEAR(c.chisq, want, 1e-7 * std::max(1.0, want));
        EXPECT_EQ(c.df, std::stoi(row["df"]));
    }
}

TEST(HomogeneityPeers, TrendFromSurvdiffVariance)
{
    auto rows = read_table("homogeneity_trend.csv");
    ASSERT_GE(rows.size(), 3u);
    for (auto& row : rows) {
        SCOPED_TRACE(row["data"] + " " + row["group"]);
        Records r = example(row);
        const int k = static_cast<int>(split(row["levels"], '|').size());
        Result res = unweighted(r, k);
        std::vector<double> x;
        for (auto& s : split(row["scores"], '|'))
            x.push_back(std::stod(s));
        std::vector<double> work(k + 1);
        double io[6];
        Trend(k, res.lr.data(), res.lr.data() + korv_score_offset(k), x.data(), work.data(), io);
        EXPECT_NEAR(io[0], std::stod(row["stat"]), 1e-8);
        EXPECT_NEAR(io[1], std::stod(row["se"]), 1e-8);
        EXPECT_NEAR(io[2], std::stod(row["z"]), 1e-9);
    }
}

TEST(HomogeneityPeers, LikelihoodRatioIsPoissonDeviance)
{
    auto rows = read_table("homogeneity_lr.csv");
    ASSERT_GE(rows.size(), 8u);
    for (auto& row : rows) {
        SCOPED_TRACE(row["data"] + " " + row["group"]);
        Records r = example(row);
        const int k = static_cast<int>(split(row["levels"], '|').size());
        Result res = unweighted(r, k);
        EXPECT_NEAR(res.lrt.likeratio, std::stod(row["lr"]), 1e-7);
    }
}

// 0.1 + 0.2 and 0.3 are two event times here, as in survdiff with
// timefix = FALSE; survdiff's default merges them (README, "Where the
// numbers differ from R's survival package").
TEST(HomogeneityPeers, TimesDifferingInTheLastBitsAreDistinct)
{
    korvtest::Table d("homogeneity_timefix_data.csv");
    Records r;
    for (size_t i = 0; i < d.size(); ++i)
        r.add(d.num(i, "time"), d.num(i, "status") == 1 ? 1.0 : -1.0, d.text(i, "group") == "B");
    ASSERT_NE(r.time[1], r.time[6]); // the file keeps 0.1 + 0.2 apart from 0.3
    KorvChiSq c = chisq(unweighted(r, 2).lr, 2);
    for (auto& row : read_table("homogeneity_timefix.csv")) {
        SCOPED_TRACE("timefix " + row["timefix"]);
        const bool same = row["timefix"] == "FALSE";
        EXPECT_EQ(std::fabs(c.chisq - std::stod(row["chisq"])) < 1e-9, same);
        EXPECT_EQ(std::fabs(c.p - std::stod(row["p"])) < 1e-9, same);
    }
}

// ---------------------------------------------------------------------------
// Likelihood-ratio guards.

TEST(HomogeneityLikelihoodRatio, LevelWithAllTimesZeroIsLeftOut)
{
    HomLR lr;
    const double t0[] = {0, 0}, f0[] = {1, -1};
    const double t1[] = {3, 5}, f1[] = {1, 1};
    const double t2[] = {2, 4}, f2[] = {1, -1};
    korv_lr_add(&lr, t0, f0, 2, 1);
    korv_lr_add(&lr, t1, f1, 2, 2);
    korv_lr_add(&lr, t2, f2, 2, 1);
    korv_lr_finish(&lr);
    EXPECT_EQ(lr.nempty, -1);
    EXPECT_TRUE(std::isfinite(lr.likeratio));
    // The remaining two levels: 2 events in 8, 1 in 6.
    const double want = 2 * (3 * std::log(14.0 / 3) - 2 * std::log(8.0 / 2) - std::log(6.0));
    EXPECT_NEAR(lr.likeratio, want, 1e-12);
}

TEST(HomogeneityLikelihoodRatio, LevelWithoutEventsIsMarked)
{
    HomLR lr;
    const double t0[] = {4, 6}, f0[] = {-1, -2};
    const double t1[] = {3, 5}, f1[] = {1, 1};
    korv_lr_add(&lr, t0, f0, 2, 0);
    korv_lr_add(&lr, t1, f1, 2, 2);
    korv_lr_finish(&lr);
    EXPECT_EQ(lr.zempty, '*');
    EXPECT_EQ(lr.nempty, 0);
    EXPECT_NEAR(lr.likeratio, 2 * (2 * std::log(24.0 / 2) - 2 * std::log(8.0 / 2)), 1e-12);
}

TEST(HomogeneityLikelihoodRatio, EqualRatesNeverGoNegative)
{
    // Levels with identical rates: the statistic is 0 up to rounding, and a
    // negative residue would have no chi-square tail.
    for (double rate : {0.1, 1.0 / 3.0, 0.7, 1e-3}) {
        HomLR lr;
        for (int h = 0; h < 5; ++h) {
            const double d = 3 + h;
            const double t[] = {d / rate}, f[] = {1};
            korv_lr_add(&lr, t, f, 1, d);
        }
        korv_lr_finish(&lr);
        EXPECT_GE(lr.likeratio, 0.0);
        EXPECT_LT(lr.likeratio, 1e-9);
    }
}

TEST(HomogeneityLikelihoodRatio, NoEventsAtAll)
{
    HomLR lr;
    const double t[] = {3, 4}, f[] = {-1, -1};
    korv_lr_add(&lr, t, f, 2, 0);
    korv_lr_add(&lr, t, f, 2, 0);
    korv_lr_finish(&lr);
    EXPECT_EQ(lr.likeratio, 0.0);
}

TEST(HomogeneityLikelihoodRatio, AnyUnitOfTime)
{
    // The worked data in any unit of time: the statistic of the plain times,
    // never left out for a small total time.
    korvtest::Table t("homogeneity_worked.csv");
    double exact = 0;
    for (size_t i = 0; i < t.size(); ++i)
        if (t.text(i, "test") == "likelihood_ratio")
            exact = t.num(i, "chisq");
    ASSERT_GT(exact, 1.0);
    for (double unit : {1e-300, 1e-100, 1e-20, 1e-10, 1.0, 1e10, 1e100, 1e300}) {
        Records r = worked();
        for (double& t : r.time)
            t *= unit;
        const HomLR lr = unweighted(r, 3, nullptr).lrt;
        EXPECT_EQ(lr.nempty, 0) << unit;
        EXPECT_NEAR(lr.likeratio, exact, 1e-8) << unit;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Magnitudes.

// A million subjects, two levels taking turns at distinct event times: the
// Wilcoxon covariances reach 8e16, beyond the integers a double holds. The
// rank of two levels' covariance is 1 whatever the rounding (it once came out
// 2, with p .9997 for a chi-square near 0).
TEST(HomogeneityMagnitudes, MillionSubjectsKeepOneDegreeOfFreedom)
{
    Records r;
    const int n = 1000000;
    for (int i = 0; i < n; ++i)
        r.add(i + 1, 1.0, i % 2);
    Result res = unweighted(r, 2);
    for (auto* b : {&res.lr, &res.wil, &res.tar, &res.peto, &res.mpeto, &res.flem}) {
        KorvChiSq c = chisq(*b, 2);
        EXPECT_EQ(c.df, 1);
        EXPECT_EQ((*b)[0] + (*b)[1], 0.0); // the row sums to zero exactly
        EXPECT_EQ((*b)[2], (*b)[0]);
    }
    // With one degree of freedom the statistic is U0^2 / V00.
    KorvChiSq w = chisq(res.wil, 2);
    const double u0 = res.scores(res.wil)[0];
    EXPECT_NEAR(w.chisq, u0 * u0 / res.wil[0], 1e-12 * w.chisq);
    EXPECT_NEAR(w.p, zpgx2(w.chisq, 1), 1e-15);
}
