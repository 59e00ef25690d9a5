// Multivariate normal rectangle probabilities against mvtnorm's pmvnorm:
// random correlations, one-sided and shifted boxes, and the singular
// correlation of all pairwise differences of four means; the error bound
// holds, the result is the same on every call, and the special cases (no
// constraint, an empty box, zero variance, bad input) are exact. A
// correlation that leaves a direction nearly free (the differences of four
// strata, one of a single subject) against R's adaptive quadrature, in few
// evaluations. Also the normal quantile of the integrand against R's qnorm.
#include "numeric/mvn.h"

#include "runtime/missing.h"
#include "support/reference.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

using korvtest::bars;
using korvtest::Near;
using korvtest::Table;

TEST(MultivariateNormal, MatchesPmvnormWithinItsBound)
{
    Table t("mcomp_pmvnorm.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        const int n = static_cast<int>(t.num(i, "n"));
        const std::vector<double> cov = bars(t.text(i, "cov")), lo = bars(t.text(i, "lower")),
                                  hi = bars(t.text(i, "upper"));
        ASSERT_EQ(static_cast<int>(cov.size()), n * (n + 1) / 2);
        // Above five dimensions to 1e-4, as the comparisons ask for.
        MvnOptions opt;
        if (n > 5)
            opt.abseps = 1e-4;
        const MvnResult r = zmvnrect(n, cov.data(), lo.data(), hi.data(), opt);
        const double want = t.num(i, "prob"), wantc = t.num(i, "complement");
        EXPECT_EQ(r.inform, 0) << t.text(i, "case");
        // The bound is 3.5 standard errors: the true error stays inside it,
        // give or take the reference's own (pmvnorm's abseps, 1e-7).
        EXPECT_LE(std::fabs(r.value - want), r.error + 1e-7) << t.text(i, "case");
        EXPECT_LE(std::fabs(r.complement - wantc), r.error + 1e-7) << t.text(i, "case");
        EXPECT_LE(r.error, opt.abseps) << t.text(i, "case");
        // A small complement is held to 1 % of itself.
        if (wantc < 1e-3) {
            EXPECT_TRUE(Near(r.complement, wantc, 0.02)) << t.text(i, "case");
        }
        if (t.text(i, "case").rfind("pairs", 0) == 0) {
            EXPECT_EQ(r.rank, 3) << "six differences of four means have rank 3";
        }
    }
}

TEST(MultivariateNormal, ANearlyFreeDirectionComesFirst)
{
    // Lung by ph_ecog: the stratum of a single subject leaves the six
    // differences of rank 3 nearly of rank 2. Its direction, pivoted last
    // as the tiny residual of a row, made an integrand close to a step:
    // 1.4 to 15.8 million evaluations per threshold, 10 times veteran's
    // four strata. Taken first, each takes at most 1.5 million, and the
    // probabilities match R's adaptive quadrature.
    Table t("mcomp_exact.csv");
    std::vector<size_t> rows;
    for (size_t i = 0; i < t.size(); ++i)
        if (t.text(i, "case") == "lung4" && t.text(i, "peer") == "integrate")
            rows.push_back(i);
    ASSERT_EQ(rows.size(), 6u);
    const std::vector<double> U = bars(t.text(rows[0], "U")), V = bars(t.text(rows[0], "V"));
    auto v = [&](int a, int b) {
        const int r = std::max(a, b), c = std::min(a, b);
        return V[static_cast<size_t>(r) * (r + 1) / 2 + c];
    };
    const std::pair<int, int> ij[] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    std::vector<double> cov;
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b <= a; ++b)
            cov.push_back(v(ij[a].first, ij[b].first) - v(ij[a].first, ij[b].second) -
                          v(ij[a].second, ij[b].first) + v(ij[a].second, ij[b].second));
    for (int a = 0; a < 6; ++a) {
        const double sd = std::sqrt(cov[static_cast<size_t>(a) * (a + 1) / 2 + a]);
        const double z =
            (U[static_cast<size_t>(ij[a].first)] - U[static_cast<size_t>(ij[a].second)]) / sd;
        EXPECT_NEAR(std::fabs(z), std::fabs(t.num(rows[static_cast<size_t>(a)], "z")), 1e-12);
        std::vector<double> lo(6), hi(6);
        for (int b = 0; b < 6; ++b) {
            hi[static_cast<size_t>(b)] =
                std::fabs(z) * std::sqrt(cov[static_cast<size_t>(b) * (b + 1) / 2 + b]);
            lo[static_cast<size_t>(b)] = -hi[static_cast<size_t>(b)];
        }
        MvnOptions opt;
        opt.absfloor = opt.abseps;
        const MvnResult r = zmvnrect(6, cov.data(), lo.data(), hi.data(), opt);
        EXPECT_EQ(r.rank, 3);
        EXPECT_EQ(r.inform, 0) << "row " << a;
        EXPECT_LE(r.evaluations, 1500000) << "row " << a;
        EXPECT_NEAR(r.complement, t.num(rows[static_cast<size_t>(a)], "p"),
                    1e-5 + t.num(rows[static_cast<size_t>(a)], "error"))
            << "row " << a;
    }
}

TEST(MultivariateNormal, SameResultEveryCallAndSeedChangesOnlyTheDigits)
{
    const double cov[] = {1, 0.6, 1, -0.2, 0.3, 1};
    const double lo[] = {-1.5, -1, -2}, hi[] = {1.5, 2, 0.5};
    const MvnResult a = zmvnrect(3, cov, lo, hi), b = zmvnrect(3, cov, lo, hi);
    EXPECT_EQ(a.value, b.value);
    EXPECT_EQ(a.error, b.error);
    MvnOptions other;
    other.seed = 99;
    const MvnResult c = zmvnrect(3, cov, lo, hi, other);
    EXPECT_NE(a.value, c.value);
    EXPECT_NEAR(a.value, c.value, a.error + c.error);
}

TEST(MultivariateNormal, ExactCases)
{
    const double inf = std::numeric_limits<double>::infinity();
    // One dimension and independent rows are products of normal probabilities.
    {
        const double cov[] = {4.0}, lo[] = {-2.0}, hi[] = {3.0};
        const MvnResult r = zmvnrect(1, cov, lo, hi);
        EXPECT_NEAR(r.value,
                    0.5 * (std::erf(1.5 / std::sqrt(2.0)) + std::erf(1.0 / std::sqrt(2.0))), 1e-15);
        EXPECT_EQ(r.error, 0.0);
    }
    {
        const double cov[] = {1, 0, 1}, lo[] = {-inf, -1}, hi[] = {0, 1};
        EXPECT_NEAR(zmvnrect(2, cov, lo, hi).value, 0.5 * std::erf(1 / std::sqrt(2.0)), 1e-12);
    }
    // Identical rows: the box is the tighter interval of the two.
    {
        const double cov[] = {1, 1, 1}, lo[] = {-1, -2}, hi[] = {2, 0.5};
        const MvnResult r = zmvnrect(2, cov, lo, hi);
        EXPECT_EQ(r.rank, 1);
        EXPECT_NEAR(r.value, 0.5 * (std::erf(0.5 / std::sqrt(2.0)) + std::erf(1 / std::sqrt(2.0))),
                    1e-15);
    }
    // No finite limit; an empty box; a row of zero variance inside and
    // outside its box.
    {
        const double cov[] = {1, 0.5, 1}, lo[] = {-inf, -inf}, hi[] = {inf, inf};
        EXPECT_EQ(zmvnrect(2, cov, lo, hi).value, 1.0);
        const double lo2[] = {1, -1}, hi2[] = {0, 1};
        EXPECT_EQ(zmvnrect(2, cov, lo2, hi2).value, 0.0);
        const double cz[] = {1, 0, 0}, lo3[] = {-1, -1}, hi3[] = {1, 1};
        EXPECT_NEAR(zmvnrect(2, cz, lo3, hi3).value, std::erf(1 / std::sqrt(2.0)), 1e-15);
        const double lo4[] = {-1, 0.5}, hi4[] = {1, 1};
        EXPECT_EQ(zmvnrect(2, cz, lo4, hi4).value, 0.0);
    }
    // Missing input.
    {
        const double cov[] = {1, 0.5, 1}, lo[] = {korv_missing(), 0}, hi[] = {1, 1};
        const MvnResult r = zmvnrect(2, cov, lo, hi);
        EXPECT_EQ(r.inform, 2);
        EXPECT_TRUE(wzmis(r.value));
        EXPECT_EQ(zmvnrect(-1, cov, lo, hi).inform, 2);
        EXPECT_EQ(zmvnrect(0, nullptr, nullptr, nullptr).value, 1.0);
    }
}

TEST(MultivariateNormal, ReportsWhenTheBudgetIsSpent)
{
    // Eight dimensions at a tolerance the budget cannot reach.
    std::vector<double> cov;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j <= i; ++j)
            cov.push_back(i == j ? 1.0 : 0.35);
    std::vector<double> lo(8, -1.1), hi(8, 1.3);
    MvnOptions opt;
    opt.abseps = 1e-12;
    opt.releps = 1e-12;
    opt.maxpts = 50000;
    const MvnResult r = zmvnrect(8, cov.data(), lo.data(), hi.data(), opt);
    EXPECT_EQ(r.inform, 1);
    EXPECT_LE(r.evaluations, opt.maxpts);
    EXPECT_GT(r.error, 0.0);
}

TEST(MultivariateNormal, TheErrorBoundHoldsOverManyShiftKeys)
{
    // The same integral under 1000 keys of the random shifts, against
    // pmvnorm's value (to 1e-7): the bound each result reports must hold for
    // nearly all of them. Judged from 8 shifts at 3.5 standard errors, it
    // was exceeded by 19 of these 1000, which is how p-values beyond the
    // stated accuracy got through; now by 3.
    Table t("mcomp_pmvnorm.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        if (t.text(i, "case") != "random4")
            continue;
        const std::vector<double> cov = bars(t.text(i, "cov")), lo = bars(t.text(i, "lower")),
                                  hi = bars(t.text(i, "upper"));
        const double want = t.num(i, "complement");
        constexpr int kKeys = 1000, kThreads = 4;
        std::atomic<int> exceeded{0}, beyond{0}, failed{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < kThreads; ++w)
            workers.emplace_back([&, w] {
                for (int key = 1 + w; key <= kKeys; key += kThreads) {
                    MvnOptions opt;
                    opt.abseps = opt.absfloor = 1e-3;
                    opt.releps = 0;
                    opt.seed = static_cast<uint64_t>(key);
                    const MvnResult r = zmvnrect(4, cov.data(), lo.data(), hi.data(), opt);
                    const double e = std::fabs(r.complement - want);
                    failed += r.inform != 0;
                    beyond += e > opt.abseps;
                    exceeded += e > r.error + 1e-7;
                }
            });
        for (std::thread& w : workers)
            w.join();
        EXPECT_EQ(failed.load(), 0);
        EXPECT_EQ(beyond.load(), 0);
        EXPECT_LE(exceeded.load(), 8);
        return;
    }
    FAIL() << "no random4 case in mcomp_pmvnorm.csv";
}

TEST(MultivariateNormal, StopsAtItsTimeLimit)
{
    std::vector<double> cov;
    for (int i = 0; i < 9; ++i)
        for (int j = 0; j <= i; ++j)
            cov.push_back(i == j ? 1.0 : 0.3);
    std::vector<double> lo(9, -1.2), hi(9, 1.4);
    MvnOptions opt;
    opt.abseps = opt.absfloor = 1e-9;
    opt.maxpts = 2000000000;
    opt.seconds = 0.2;
    const auto t0 = std::chrono::steady_clock::now();
    const MvnResult r = zmvnrect(9, cov.data(), lo.data(), hi.data(), opt);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.inform, 3);
    EXPECT_LT(s, 5.0);
    EXPECT_GT(r.error, 0.0);
}

TEST(MultivariateNormal, QuantileOfTheIntegrand)
{
    Table t("numeric_qnorm.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        const double p = t.num(i, "p"), want = t.num(i, "quantile");
        if (!(p > 1e-300 && p < 1))
            continue;
        EXPECT_TRUE(Near(zppnd16(p), want, 1e-14, 1e-14)) << p;
    }
    EXPECT_EQ(zppnd16(0.5), 0.0);
    EXPECT_TRUE(std::isinf(zppnd16(0.0)));
    EXPECT_TRUE(std::isnan(zppnd16(1.5)));
}
