// The pivoting sweep and its chi-square recipe, the trend row, the decimals
// helper, and the invariants of the weighted tests (which no peer computes).
#include <cmath>
#include <map>

#include <gtest/gtest.h>

#include "numeric/gamma.h"
#include "numeric/matrix.h"
#include "runtime/missing.h"
#include "support/homogeneity_records.h"

using namespace homtest;

namespace
{

// A bordered block from a dense V and U.
std::vector<double> bordered(const std::vector<std::vector<double>>& V,
                             const std::vector<double>& U)
{
    const int k = static_cast<int>(U.size());
    std::vector<double> b(korv_block_size(k), 0.0);
    for (int i = 0; i < k; ++i)
        for (int j = 0; j <= i; ++j)
            b[zisub(i, j)] = V[i][j];
    for (int i = 0; i < k; ++i)
        b[zisub(k, i)] = U[i];
    return b;
}

TEST(Sweep, SweptBlockHoldsTheInverseAndCornerTheQuadraticForm)
{
    std::vector<std::vector<double>> V = {{4, 1, 0.5}, {1, 3, 0.2}, {0.5, 0.2, 2}};
    std::vector<double> U = {1.0, -2.0, 0.5};
    auto b = bordered(V, U);
    char flags[] = "0000";
    double work[4];
    for (int p : {1, 0, 2})
        ASSERT_EQ(zsweep(b.data(), p, 4, flags, work, 1e-12), 0);
    // Inverse of V by cofactors.
    const double det = 4 * (3 * 2 - 0.04) - 1 * (1 * 2 - 0.1) + 0.5 * (0.2 - 1.5);
    const double inv00 = (3 * 2 - 0.04) / det, inv10 = -(1 * 2 - 0.1) / det;
    const double inv22 = (12 - 1) / det;
    EXPECT_NEAR(b[zisub(0, 0)], inv00, 1e-12);
    EXPECT_NEAR(b[zisub(1, 0)], inv10, 1e-12);
    EXPECT_NEAR(b[zisub(2, 2)], inv22, 1e-12);
    // Corner = -U' V^-1 U.
    double q = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            q += U[i] * b[zisub(i, j)] * U[j];
    EXPECT_NEAR(-b[zisub(3, 3)], q, 1e-12);
    EXPECT_STREQ(flags, "1110");
    // A swept pivot is not swept again.
    EXPECT_EQ(zsweep(b.data(), 1, 4, flags, work, 1e-12), 1);
}

TEST(Sweep, SingularCovarianceLosesOneDegreeOfFreedom)
{
    // Three levels: V rows sum to zero; the third pivot falls to rounding.
    std::vector<std::vector<double>> V = {{2, -1, -1}, {-1, 2, -1}, {-1, -1, 2}};
    KorvChiSq c = chisq(bordered(V, {1, -0.5, -0.5}), 3);
    EXPECT_EQ(c.df, 2);
    // Generalized inverse: U'V^-U with U in the column space = 1.5/3 * ... by hand:
    // V = 3I - J, on the zero-sum space V acts as 3I, so chi = |U|^2 / 3.
    EXPECT_NEAR(c.chisq, 1.5 / 3, 1e-12);
    EXPECT_NEAR(c.p, zpgx2(0.5, 2), 1e-15);
}

TEST(Sweep, ZeroScoresStillPivotAndGivePOne)
{
    std::vector<std::vector<double>> V = {{1, -1}, {-1, 1}};
    KorvChiSq c = chisq(bordered(V, {0, 0}), 2);
    EXPECT_EQ(c.df, 1);
    EXPECT_EQ(c.chisq, 0.0);
    EXPECT_EQ(c.p, 1.0);
}

TEST(Sweep, NothingToSweepGivesZeroDfAndMissingP)
{
    std::vector<std::vector<double>> V = {{0, 0}, {0, 0}};
    KorvChiSq c = chisq(bordered(V, {0, 0}), 2);
    EXPECT_EQ(c.df, 0);
    EXPECT_TRUE(wzmis(c.p));
    // A lone level.
    KorvChiSq one = chisq(bordered({{0}}, {0}), 1);
    EXPECT_EQ(one.df, 0);
    EXPECT_TRUE(wzmis(one.p));
}

TEST(Sweep, PivotChoiceAndFloors)
{
    // Equal gains: the lower index goes first.
    auto b = bordered({{1, 0}, {0, 1}}, {2, 2});
    char dfs[] = "000";
    double work[3];
    EXPECT_EQ(korvcs(nullptr, b.data(), 2, dfs, work, 0.0), 0);
    EXPECT_EQ(korvcs(nullptr, b.data(), 2, dfs, work, 0.0), 1);
    EXPECT_EQ(korvcs(nullptr, b.data(), 2, dfs, work, 0.0), -1);
    EXPECT_NEAR(-b[zisub(2, 2)], 8.0, 1e-12);
    // The larger gain first.
    auto c = bordered({{1, 0}, {0, 1}}, {1, 3});
    char d2[] = "000";
    EXPECT_EQ(korvcs(nullptr, c.data(), 2, d2, work, 0.0), 1);
    // A diagonal of 5e-13 is excluded even under a smaller tolerance, and a
    // diagonal equal to the tolerance too.
    auto e = bordered({{5e-13, 0}, {0, 0.5}}, {1, 1});
    char d3[] = "000";
    EXPECT_EQ(korvcs(nullptr, e.data(), 2, d3, work, 0.5), -1);
    EXPECT_EQ(d3[0], '*');
    EXPECT_EQ(d3[1], '*');
}

TEST(Sweep, ScaledPivotsKeepALevelOfSmallVariance)
{
    // Three levels at risk 1e-13, 1 and 1 (the covariance of one event time,
    // rows summing to zero): the first level's variance is 1e-13 of the
    // others' but not a combination of them. Scaled to unit variance before
    // the sweep it keeps its pivot: 2 degrees of freedom, and the statistic
    // of the reduced system (the last level left out).
    const double r[3] = {1e-13, 1, 1};
    const double N = r[0] + r[1] + r[2];
    std::vector<std::vector<double>> V(3, std::vector<double>(3));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            V[i][j] = (i == j ? N * r[i] : 0.0) - r[i] * r[j];
    const std::vector<double> U = {1e-7, 0.5, -0.5 - 1e-7};
    KorvChiSq c = chisq(bordered(V, U), 3);
    EXPECT_EQ(c.df, 2);
    const double det = V[0][0] * V[1][1] - V[1][0] * V[1][0];
    const double x0 = (U[0] * V[1][1] - U[1] * V[1][0]) / det;
    const double x1 = (U[1] * V[0][0] - U[0] * V[1][0]) / det;
    EXPECT_NEAR(c.chisq, U[0] * x0 + U[1] * x1, 1e-9 * (U[0] * x0 + U[1] * x1));
    // The structure caps the rank: however rounding leaves the last pivot,
    // three levels whose rows sum to zero give at most 2.
    std::vector<std::vector<double>> W = {{2, -1, -1 + 1e-9}, {-1, 2, -1}, {-1 + 1e-9, -1, 2}};
    EXPECT_EQ(chisq(bordered(W, {1, -0.5, -0.5}), 3).df, 2);
}

TEST(Trend, ZeroAndNegativeZ)
{
    double V[] = {1, -1, 1}, U[] = {0, 0}, x[] = {1, 2}, work[3], io[6];
    Trend(2, V, U, x, work, io);
    EXPECT_EQ(io[2], 0.0);
    EXPECT_EQ(io[3], 1.0);
    EXPECT_EQ(io[4], 0.5);
    EXPECT_EQ(io[5], 0.5);
    double U2[] = {1.96, -1.96};
    Trend(2, V, U2, x, work, io);
    EXPECT_NEAR(io[2], -1.96, 1e-12);
    EXPECT_NEAR(io[4], 0.0249979, 1e-6);
    EXPECT_NEAR(io[5], 0.9750021, 1e-6);
    EXPECT_NEAR(io[3], 0.0499958, 1e-6);
    double Z[] = {0, 0, 0};
    Trend(2, Z, U2, x, work, io);
    EXPECT_EQ(io[1], 0.0);
    for (int i = 2; i < 6; ++i)
        EXPECT_TRUE(wzmis(io[i]));
}

TEST(Zpfmt, DecimalsFitTheField)
{
    EXPECT_EQ(zpfmt(0.5, 7), 4);
    EXPECT_EQ(zpfmt(12.34, 7), 3);
    EXPECT_EQ(zpfmt(-12.34, 7), 3);
    EXPECT_EQ(zpfmt(123456.0, 7), 0);
    EXPECT_EQ(zpfmt(korv_missing(), 7), 0);
    char buf[32];
    for (double v : {0.123456, 9.87654, 99.5, 1234.5, 99999.0}) {
        int n = std::snprintf(buf, sizeof buf, "%.*f", zpfmt(v, 7), -v);
        EXPECT_LE(n, 7) << v;
    }
}

// ---------------------------------------------------------------------------
// Weighted tests.

Records example_lung()
{
    Row r{{"data", "lung"}, {"time", "time"},     {"status", "status"},
          {"events", "2"},  {"group", "ph_ecog"}, {"levels", "0|1|2|3"}};
    return example(r);
}

TEST(Weighted, UnitWeightsEqualTheUnweightedTests)
{
    Records r = example_lung();
    Result u = unweighted(r, 4), w = weighted(r, 4);
    for (auto [a, b] : {std::pair{&u.lr, &w.lr}, {&u.wil, &w.wil}, {&u.tar, &w.tar}})
        for (size_t i = 0; i < a->size(); ++i)
            EXPECT_NEAR((*a)[i], (*b)[i], 1e-9 * std::max(1.0, std::fabs((*a)[i])));
}

TEST(Weighted, ScalingEveryWeightLeavesTheChiSquares)
{
    Records r = example_lung();
    for (int64_t i = 0; i < r.n(); ++i)
        r.wt[i] = 0.5 + 0.01 * static_cast<double>(i % 37);
    Result a = weighted(r, 4);
    for (auto& w : r.wt)
        w *= 3.0;
    Result b = weighted(r, 4);
    // Log-rank scores scale by 3, covariances by 9.
    EXPECT_NEAR(b.scores(b.lr)[1], 3 * a.scores(a.lr)[1], 1e-9);
    EXPECT_NEAR(b.lr[0], 9 * a.lr[0], 1e-9);
    for (auto [x, y] : {std::pair{&a.lr, &b.lr}, {&a.wil, &b.wil}, {&a.tar, &b.tar}}) {
        KorvChiSq ca = chisq(*x, 4), cb = chisq(*y, 4);
        EXPECT_NEAR(ca.chisq, cb.chisq, 1e-9 * ca.chisq);
        EXPECT_EQ(ca.df, cb.df);
    }
}

TEST(Weighted, FrequencyEqualsRepeatedRecords)
{
    // Each record of frequency f and weight w stands for f subjects of weight
    // w: the tests equal those of the data with the records repeated.
    Records r = example_lung(), expanded;
    for (int64_t i = 0; i < r.n(); ++i) {
        const double f = 1 + static_cast<double>(i % 3);
        const double w = 0.4 + 0.1 * static_cast<double>(i % 5);
        r.freq[i] *= f;
        r.wt[i] = w;
        for (int c = 0; c < f; ++c)
            expanded.add(r.time[i], r.freq[i] > 0 ? 1.0 : -1.0, r.level[i], w);
    }
    Result a = weighted(r, 4), b = weighted(expanded, 4);
    for (auto [x, y] : {std::pair{&a.lr, &b.lr}, {&a.wil, &b.wil}, {&a.tar, &b.tar}})
        for (size_t i = 0; i < x->size(); ++i)
            EXPECT_NEAR((*x)[i], (*y)[i], 1e-8 * std::max(1.0, std::fabs((*y)[i])));
}

TEST(Weighted, VarianceIsTheExactDrawWithoutReplacement)
{
    // One event time: D of N subjects fail. Enumerate every set of D
    // subjects and compare the covariance of the weighted observed minus
    // expected sums with the accumulated covariance.
    const double w[] = {0.5, 1.5, 2.0, 0.7, 1.1, 3.0};
    const int64_t lev[] = {0, 1, 2, 0, 1, 2};
    const int N = 6, D = 2, k = 3;
    Records r;
    for (int i = 0; i < N; ++i)
        r.add(10, i < D ? 1.0 : -1.0, lev[i], w[i]);
    // All at one time: events first, then censorings at the same time.
    Result res = weighted(r, k);
    double S = 0, p[3] = {0, 0, 0};
    for (int i = 0; i < N; ++i)
        S += w[i];
    for (int i = 0; i < N; ++i)
        p[lev[i]] += w[i] / S;
    double m1[3] = {0, 0, 0}, m2[3][3] = {{0}};
    int count = 0;
    for (int a = 0; a < N; ++a)
        for (int b = a + 1; b < N; ++b) {
            double dw[3] = {0, 0, 0};
            dw[lev[a]] += w[a];
            dw[lev[b]] += w[b];
            const double tot = w[a] + w[b];
            double e[3];
            for (int h = 0; h < k; ++h)
                e[h] = dw[h] - p[h] * tot;
            for (int h = 0; h < k; ++h) {
                m1[h] += e[h];
                for (int j = 0; j < k; ++j)
                    m2[h][j] += e[h] * e[j];
            }
            ++count;
        }
    for (int h = 0; h < k; ++h)
        for (int j = 0; j <= h; ++j) {
            const double cov = m2[h][j] / count - (m1[h] / count) * (m1[j] / count);
            EXPECT_NEAR(res.lr[zisub(h, j)], cov, 1e-12) << h << "," << j;
        }
}

TEST(Weighted, ZeroFrequencyRecordChangesNothing)
{
    Records r = example_lung();
    Result a = weighted(r, 4);
    r.add(100.5, 0.0, 2, 1.0);
    Result b = weighted(r, 4);
    EXPECT_EQ(a.lr, b.lr);
    EXPECT_EQ(a.wil, b.wil);
}

} // namespace

// ---------------------------------------------------------------------------
// Weighted tests against exact rational arithmetic (tests/reference/
// exact_weighted.py), with weights up to 1e12 times the others: each
// covariance to 1e-12 of its row and column scale, the scores likewise, the
// chi-square to 1e-10 and its degrees of freedom exactly. The report's
// example must give the log-rank 1.018210318 on 1 DF.

std::map<std::string, Records> exact_records()
{
    korvtest::Table t("exact_weighted_records.csv");
    std::map<std::string, Records> out;
    for (size_t i = 0; i < t.size(); ++i) {
        const double f = t.num(i, "freq");
        out[t.text(i, "case")].add(t.num(i, "time"), t.text(i, "status") == "1" ? f : -f,
                                   static_cast<int64_t>(t.num(i, "level")), t.num(i, "weight"));
    }
    return out;
}

std::vector<double> numbers(const std::string& s)
{
    std::vector<double> v;
    for (auto& x : split(s, '|'))
        v.push_back(std::stod(x));
    return v;
}

TEST(WeightedExact, ScoresCovarianceAndChiSquare)
{
    auto records = exact_records();
    korvtest::Table t("exact_weighted_tests.csv");
    ASSERT_GE(t.size(), 39u);
    for (size_t row = 0; row < t.size(); ++row) {
        const std::string name = t.text(row, "case"), test = t.text(row, "test");
        SCOPED_TRACE(name + " " + test);
        const int k = static_cast<int>(t.num(row, "k"));
        Result res = weighted(records.at(name), k);
        const std::vector<double>& b = test == "logrank"    ? res.lr
                                       : test == "wilcoxon" ? res.wil
                                                            : res.tar;
        const std::vector<double> U = numbers(t.text(row, "scores"));
        const std::vector<double> V = numbers(t.text(row, "cov"));
        for (int h = 0; h < k; ++h) {
            const double sh = std::sqrt(std::fabs(V[h * k + h]));
            EXPECT_TRUE(korvtest::Near(res.scores(b)[h], U[h], 1e-12, 1e-12 * sh)) << "U" << h;
            for (int j = 0; j <= h; ++j) {
                const double scale = sh * std::sqrt(std::fabs(V[j * k + j]));
                EXPECT_TRUE(korvtest::Near(b[zisub(h, j)], V[h * k + j], 0, 1e-12 * scale))
                    << "V" << h << j;
            }
        }
        if (k == 2) {
            // Two levels: the rows sum to zero exactly.
            EXPECT_EQ(b[0] + b[1], 0.0);
            EXPECT_EQ(b[2], b[0]);
        }
        KorvChiSq c = chisq(b, k);
        EXPECT_EQ(c.df, static_cast<int>(t.num(row, "df")));
        EXPECT_TRUE(korvtest::Near(c.chisq, t.num(row, "chisq"), 1e-10));
        if (name == "report" && test == "logrank") {
            EXPECT_NEAR(c.chisq, 1.018210318, 5e-10);
            EXPECT_NEAR(c.p, 0.3129, 5e-5);
        }
    }
}

// ---------------------------------------------------------------------------
// Weights at the ends of the double range: the pass keeps its sums in a
// power-of-two unit of the weights, so the chi-squares are those of the same
// weights in ordinary units (the exact reference's, to its 1e-10).

namespace
{

// The exponents of the blocks' elements per power of two of the weights:
// scores and covariances of log-rank, Wilcoxon, Tarone.
struct Powers {
    double score, cov;
};
constexpr Powers kPowers[3] = {{1, 2}, {2, 4}, {1.5, 3}};

// True when every element of block b is that of block a with the weights
// taken times 2^e: the scores times 2^(score e), the covariances 2^(cov e).
bool sameTimesPower(const std::vector<double>& a, const std::vector<double>& b, int k,
                    const Powers& p, int e)
{
    const int64_t m = korv_score_offset(k);
    for (int64_t x = 0; x < korv_block_size(k); ++x) {
        const double f = x < m ? p.cov : p.score;
        if (b[x] != std::ldexp(a[x], static_cast<int>(f * e)))
            return false;
    }
    return true;
}

} // namespace

TEST(WeightedExact, ExtremeWeightsKeepTheChiSquares)
{
    auto records = exact_records();
    korvtest::Table t("exact_weighted_tests.csv");
    // The largest weight brought to 1e80 .. 1.7e308, or the smallest to
    // 1e-150 or 1e-300.
    for (double target : {1e80, 1e150, 1e300, 1.7e308, -1e-150, -1e-300}) {
        for (size_t row = 0; row < t.size(); ++row) {
            const std::string name = t.text(row, "case"), test = t.text(row, "test");
            SCOPED_TRACE(name + " " + test + " to " +
                         std::to_string(std::log10(std::fabs(target))));
            const int k = static_cast<int>(t.num(row, "k"));
            Records r = records.at(name);
            const double f = target > 0 ? target / *std::max_element(r.wt.begin(), r.wt.end())
                                        : -target / *std::min_element(r.wt.begin(), r.wt.end());
            for (double& w : r.wt)
                w *= f;
            Result res = weighted(r, k);
            EXPECT_NE(res.unit.exp, 0);
            const std::vector<double>& b = test == "logrank"    ? res.lr
                                           : test == "wilcoxon" ? res.wil
                                                                : res.tar;
            KorvChiSq c = chisq(b, k);
            EXPECT_EQ(c.df, static_cast<int>(t.num(row, "df")));
            EXPECT_TRUE(korvtest::Near(c.chisq, t.num(row, "chisq"), 1e-10));
        }
    }
}

TEST(Weighted, UnitOfPowersOfTwoChangesNoDigit)
{
    Records r = example_lung();
    for (int64_t i = 0; i < r.n(); ++i)
        r.wt[i] = 0.5 + 0.01 * static_cast<double>(i % 37);
    const Result a = weighted(r, 4);
    ASSERT_EQ(a.unit.exp, 0);
    for (int e : {600, 1000, -600, -1000}) {
        SCOPED_TRACE(e);
        Records big = r;
        for (double& w : big.wt)
            w = std::ldexp(w, e);
        const Result b = weighted(big, 4);
        // The pass ran on the weights times 2^(e - exp): each block is the
        // plain one times the matching power, and each chi-square the same.
        const int d = e - b.unit.exp;
        EXPECT_EQ(b.unit.exp % 2, 0);
        const std::vector<double>* blocks[3][2] = {
            {&a.lr, &b.lr}, {&a.wil, &b.wil}, {&a.tar, &b.tar}};
        for (int t = 0; t < 3; ++t) {
            EXPECT_TRUE(sameTimesPower(*blocks[t][0], *blocks[t][1], 4, kPowers[t], d)) << t;
            const KorvChiSq ca = chisq(*blocks[t][0], 4), cb = chisq(*blocks[t][1], 4);
            EXPECT_EQ(ca.chisq, cb.chisq) << t;
            EXPECT_EQ(ca.df, cb.df) << t;
        }
        int exps[3];
        korv_hom_weight_score_exps(b.unit, exps);
        EXPECT_EQ(exps[0], b.unit.exp);
        EXPECT_EQ(exps[1], 2 * b.unit.exp);
        EXPECT_EQ(exps[2], 3 * b.unit.exp / 2);
    }
}

namespace
{

// The weighted pass over strata, as the tests across GROUP= levels run it:
// the blocks and the unit carry over, the risk sets start empty.
Result weighted_strata(const std::vector<Records>& strata, int k)
{
    Result res;
    res.k = k;
    for (auto* v : {&res.lr, &res.wil, &res.tar})
        v->assign(korv_block_size(k), 0.0);
    for (const Records& r : strata) {
        std::vector<double> a(k), b(k), c(k);
        auto j = rank_index(r);
        korv_hom_weighted_pass(k, r.n(), r.freq.data(), r.wt.data(), r.level.data(), j.data(),
                               a.data(), b.data(), c.data(), res.lr.data(), res.wil.data(),
                               res.tar.data(), &res.unit);
    }
    return res;
}

} // namespace

TEST(Weighted, StrataOfLargerWeightsRaiseTheUnit)
{
    Records one = example_lung(), two = example_lung();
    for (int64_t i = 0; i < one.n(); ++i) {
        one.wt[i] = 0.5 + 0.01 * static_cast<double>(i % 37);
        two.wt[i] = 16 * (0.5 + 0.01 * static_cast<double>(i % 11));
    }
    const Result plain = weighted_strata({one, two}, 4);
    ASSERT_EQ(plain.unit.exp, 0);
    // The same weights times 2^300: the second stratum needs a unit 2^4
    // larger than the first, and the sums of the first are converted.
    Records bigOne = one, bigTwo = two;
    for (Records* r : {&bigOne, &bigTwo})
        for (double& w : r->wt)
            w = std::ldexp(w, 300);
    Result first = weighted_strata({bigOne}, 4);
    const Result big = weighted_strata({bigOne, bigTwo}, 4);
    EXPECT_EQ(big.unit.exp, first.unit.exp + 4);
    const int d = 300 - big.unit.exp;
    const std::vector<double>* blocks[3][2] = {
        {&plain.lr, &big.lr}, {&plain.wil, &big.wil}, {&plain.tar, &big.tar}};
    for (int t = 0; t < 3; ++t) {
        EXPECT_TRUE(sameTimesPower(*blocks[t][0], *blocks[t][1], 4, kPowers[t], d)) << t;
        EXPECT_EQ(chisq(*blocks[t][0], 4).chisq, chisq(*blocks[t][1], 4).chisq) << t;
    }
}

TEST(Weighted, AStratumThatAddsNothingLeavesTheUnit)
{
    // A stratum of huge weights without an event adds nothing to the sums:
    // it does not move them to its unit, where the ordinary weights' sums
    // would vanish.
    Records one = example_lung(), none;
    for (int h = 0; h < 4; ++h)
        none.add(5.0 + h, -1.0, h, 1e300);
    const Result alone = weighted_strata({one}, 4);
    const Result both = weighted_strata({one, none}, 4);
    EXPECT_EQ(both.unit.exp, 0);
    EXPECT_EQ(alone.lr, both.lr);
    EXPECT_EQ(alone.wil, both.wil);
    EXPECT_EQ(alone.tar, both.tar);
}
