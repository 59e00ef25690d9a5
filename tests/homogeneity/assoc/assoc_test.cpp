// The scores of the TEST covariates and their tests over plain arrays: the
// scores against their definitions, the covariance estimates against the
// permutation covariance (tests/reference/association.R), ties and
// frequencies, records with missing covariates, and the univariate and
// stepwise tests on degenerate and badly scaled covariates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

#include "homogeneity/assoc.h"
#include "runtime/missing.h"
#include "support/homogeneity_records.h"

using namespace homtest;

namespace
{

// Records with p covariates each, and their accumulated statistics.
struct Data {
    int p = 1;
    std::vector<double> time, freq, x;
    void add(double t, double f, std::vector<double> v)
    {
        time.push_back(t);
        freq.push_back(f);
        x.insert(x.end(), v.begin(), v.end());
    }
    int64_t n() const { return static_cast<int64_t>(time.size()); }
};

struct Stats {
    int p;
    std::vector<double> wil; // the whole work area
    AssocArea a;
    explicit Stats(int p_) : p(p_)
    {
        const int64_t n = p, m = n + 2;
        wil.assign(static_cast<size_t>(3 * n + 7 + 3 * (m * (m + 1) / 2 + m)), 0.0);
        a = korv_assoc_area(wil.data(), p);
    }
    // Adds one stratum, ranked as the frame ranks it.
    void add(const Data& d)
    {
        Records r;
        for (int64_t i = 0; i < d.n(); ++i)
            r.add(d.time[i], d.freq[i], 0);
        std::vector<int64_t> j = rank_index(r);
        korv_assoc_stratum(a, d.n(), d.time.data(), d.freq.data(), j.data(), d.x.data());
    }
    // The bordered block as the area keeps it, in its units of the
    // covariates (what the tests are formed from) ...
    const double* raw(bool wilcoxon) const { return wilcoxon ? a.varwil : a.varsav; }
    // ... and in the covariates' own units.
    std::vector<double> block(bool wilcoxon) const
    {
        const double* b = raw(wilcoxon);
        std::vector<double> v(b, b + korv_assoc_q3(p));
        std::unique_ptr<bool[]> lost(new bool[static_cast<size_t>(p)]);
        korv_assoc_unscale(v.data(), p, a.unit, lost.get());
        return v;
    }
    const double* U(bool wilcoxon) const { return V(wilcoxon) + korv_assoc_q2(p); }
    const double* V(bool wilcoxon) const
    {
        cache[wilcoxon] = block(wilcoxon);
        return cache[wilcoxon].data();
    }
    mutable std::vector<double> cache[2];
};

Stats run(const Data& d)
{
    Stats s(d.p);
    s.add(d);
    return s;
}

std::vector<double> numbers(const std::string& text, char sep = '|')
{
    std::vector<double> v;
    for (auto& f : split(text, sep))
        v.push_back(std::stod(f));
    return v;
}

Data reference_data(const Row& row)
{
    Data d;
    d.p = static_cast<int>(std::stod(row.at("p")));
    auto t = numbers(row.at("time")), f = numbers(row.at("freq"));
    auto xs = split(row.at("x"), '|');
    for (size_t i = 0; i < t.size(); ++i)
        d.add(t[i], f[i], numbers(xs[i], ';'));
    return d;
}

void expect_near_all(const double* got, const std::vector<double>& want, double tol)
{
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(korvtest::Near(got[i], want[i], tol)) << "element " << i;
}

// The stepwise sequence of a block.
struct Steps {
    AssocResult r;
    std::vector<STSEQ> s;
};
Steps steps(const Stats& st, bool wilcoxon, double singular = 1e-12)
{
    const int p = st.p;
    std::vector<double> copy(korv_assoc_q3(p)), work(p + 1);
    std::vector<char> dfs(p + 1);
    Steps out;
    out.s.resize(p);
    std::vector<double> b(st.raw(wilcoxon), st.raw(wilcoxon) + korv_assoc_q3(p));
    out.r = korv_assoc_steps(b.data(), p, st.a.scale, singular, copy.data(), dfs.data(),
                             work.data(), out.s.data());
    out.s.resize(out.r.nsteps);
    return out;
}

// A stratum with ties, censorings at event times and two covariates.
Data tied_two()
{
    Data d;
    d.p = 2;
    const double t[] = {1, 2, 2, 2, 3, 3, 4, 5, 5, 6, 6, 7, 8, 8, 9, 10, 11, 12, 12, 13};
    const int s[] = {1, 1, 1, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 0, 1, 1, 1, 1};
    for (int i = 0; i < 20; ++i)
        d.add(t[i], s[i] ? 1.0 : -1.0, {std::sin(1.3 * i) * 4, static_cast<double>(i % 3)});
    return d;
}

} // namespace

// The scores against their definitions, and the covariance estimates of
// untied data against the covariance of the scores over every permutation of
// the covariate rows: averaged over the permutations, each estimate is
// unbiased.
TEST(AssocScores, DefinitionsAndPermutationCovariance)
{
    for (const Row& row : read_table("association_wilcoxon.csv")) {
        SCOPED_TRACE(row.at("case"));
        const Data d = reference_data(row);
        const Stats s = run(d);
        expect_near_all(s.U(true), numbers(row.at("U")), 1e-12);
        expect_near_all(s.U(false), numbers(row.at("lr_U")), 1e-12);
        if (row.at("case").rfind("untied", 0) != 0)
            continue;
        std::vector<int> perm(d.n());
        std::iota(perm.begin(), perm.end(), 0);
        const int64_t q2 = korv_assoc_q2(d.p);
        std::vector<double> meanW(q2), meanL(q2);
        int count = 0;
        do {
            Data e = d;
            for (int64_t i = 0; i < d.n(); ++i)
                std::copy_n(d.x.begin() + perm[i] * d.p, d.p, e.x.begin() + i * d.p);
            const Stats t = run(e);
            for (int64_t k = 0; k < q2; ++k) {
                meanW[k] += t.V(true)[k];
                meanL[k] += t.V(false)[k];
            }
            ++count;
        } while (std::next_permutation(perm.begin(), perm.end()));
        for (int64_t k = 0; k < q2; ++k) {
            meanW[k] /= count;
            meanL[k] /= count;
        }
        expect_near_all(meanW.data(), numbers(row.at("perm_var")), 1e-10);
        expect_near_all(meanL.data(), numbers(row.at("lr_perm_var")), 1e-10);
    }
}

// A record of frequency f is f tied records: the same scores and
// covariances as the records written out one by one.
TEST(AssocScores, FrequencyEqualsRepeatedRecords)
{
    Data counted, repeated;
    counted.p = repeated.p = 2;
    const double t[] = {2, 3, 3, 5, 5, 7, 8, 8, 9};
    const double f[] = {2, -1, 3, 1, 2, -2, 1, 3, -1};
    for (int i = 0; i < 9; ++i) {
        const std::vector<double> x = {1.5 * i - 4, (i * 7) % 5 * 0.5};
        counted.add(t[i], f[i], x);
        for (int k = 0; k < std::fabs(f[i]); ++k)
            repeated.add(t[i], f[i] > 0 ? 1 : -1, x);
    }
    const Stats a = run(counted), b = run(repeated);
    for (bool w : {true, false}) {
        SCOPED_TRACE(w ? "Wilcoxon" : "log-rank");
        expect_near_all(a.block(w).data(), b.block(w), 1e-12);
    }
}

// Records with a missing covariate take no part, wherever they fall (also
// between tied records), and a stratum of censored records adds nothing.
TEST(AssocScores, MissingCovariatesAndCensoredStrata)
{
    const Data d = tied_two();
    const double miss = korv_missing();
    Data holes = d, censored;
    holes.add(2, 1, {miss, 1}); // among the tied events at 2
    holes.add(5, 1, {0.5, miss});
    holes.add(20, 1, {1, miss});
    censored.p = 2;
    for (int i = 0; i < 5; ++i)
        censored.add(i + 1, -1, {1.0 * i, 2.0});
    const Stats base = run(d), h = run(holes);
    Stats two(2);
    two.add(d);
    two.add(censored);
    for (bool w : {true, false}) {
        expect_near_all(h.block(w).data(), base.block(w), 1e-12);
        expect_near_all(two.block(w).data(), base.block(w), 0);
    }
}

// Tied records score the mean of the scores they would get one after
// another, and the tie corrections of the Wilcoxon covariance make it the
// untied covariance averaged over every order of the ties: the tied
// statistics are the untied ones (checked above against the permutations)
// averaged over the orders. The log-rank statistic gives tied events one
// risk set instead.
TEST(AssocScores, TiedWilcoxonAveragesTheOrdersOfTheTies)
{
    Data d;
    d.p = 2;
    const double t[] = {1, 2, 2, 2, 3, 4, 4, 5, 6};
    const double f[] = {1, 1, 1, 1, -1, 1, 1, -1, 1};
    const double x[] = {0.3, 1.2, -0.5, 2.0, 0.7, -1.1, 0.4, 1.5, -0.2};
    for (int i = 0; i < 9; ++i)
        d.add(t[i], f[i], {x[i], static_cast<double>(i % 3)});
    const Stats tied = run(d);
    const int64_t q3 = korv_assoc_q3(2);
    std::vector<double> meanW(q3), meanL(q3);
    // The three events at 2 and the two at 4 in every order.
    std::vector<int> a = {1, 2, 3}, b = {5, 6};
    int count = 0;
    do {
        do {
            Data e = d;
            for (int k = 0; k < 3; ++k)
                e.time[a[k]] = 2 + 0.1 * k;
            for (int k = 0; k < 2; ++k)
                e.time[b[k]] = 4 + 0.1 * k;
            const Stats s = run(e);
            for (int64_t k = 0; k < q3; ++k) {
                meanW[k] += s.block(true)[k];
                meanL[k] += s.block(false)[k];
            }
            ++count;
        } while (std::next_permutation(b.begin(), b.end()));
    } while (std::next_permutation(a.begin(), a.end()));
    for (int64_t k = 0; k < q3; ++k) {
        meanW[k] /= count;
        meanL[k] /= count;
    }
    expect_near_all(tied.V(true), meanW, 1e-12);
    EXPECT_GT(std::fabs(tied.V(false)[0] - meanL[0]), 1e-3);
}

// A covariate constant over the valid records has no information: missing
// chi-square and p-value, a standard error of 0, never entered; a copy of
// another covariate never enters after it.
TEST(AssocTests, ConstantAndCollinearCovariates)
{
    Data d = tied_two(), e;
    e.p = 3;
    for (int64_t i = 0; i < d.n(); ++i)
        e.add(d.time[i], d.freq[i], {0.1, d.x[2 * i], d.x[2 * i]});
    const Stats s = run(e);
    for (bool w : {true, false}) {
        SCOPED_TRACE(w ? "Wilcoxon" : "log-rank");
        const AssocUni c = korv_assoc_univariate(s.raw(w), 3, 0, s.a.scale, 1e-12, s.a.unit);
        EXPECT_TRUE(wzmis(c.chisq));
        EXPECT_TRUE(wzmis(c.p));
        EXPECT_EQ(c.se, 0.0);
        const Steps st = steps(s, w);
        ASSERT_EQ(st.r.nsteps, 1);
        EXPECT_EQ(st.s[0].ivar, 1);
        EXPECT_NEAR(st.r.chisq, korv_assoc_univariate(s.raw(w), 3, 1, s.a.scale, 1e-12).chisq,
                    1e-9);
    }
}

// The tests do not depend on the units of the covariates: recorded in
// ten-millionths, or next to a covariate in units a billion times larger, a
// covariate keeps its chi-square and its place in the sequence.
TEST(AssocTests, UnitsOfTheCovariatesDoNotMatter)
{
    const Data d = tied_two();
    Data small = d;
    for (int64_t i = 0; i < d.n(); ++i) {
        small.x[2 * i] *= 1e-7;
        small.x[2 * i + 1] *= 1e9;
    }
    const Stats a = run(d), b = run(small);
    for (bool w : {true, false}) {
        SCOPED_TRACE(w ? "Wilcoxon" : "log-rank");
        for (int i = 0; i < 2; ++i) {
            const AssocUni ua = korv_assoc_univariate(a.raw(w), 2, i, a.a.scale, 1e-12),
                           ub = korv_assoc_univariate(b.raw(w), 2, i, b.a.scale, 1e-12);
            EXPECT_NEAR(ub.chisq, ua.chisq, 1e-9 * ua.chisq);
        }
        const Steps sa = steps(a, w), sb = steps(b, w);
        ASSERT_EQ(sb.r.nsteps, sa.r.nsteps);
        for (int k = 0; k < sa.r.nsteps; ++k) {
            EXPECT_EQ(sb.s[k].ivar, sa.s[k].ivar);
            EXPECT_NEAR(sb.s[k].chi, sa.s[k].chi, 1e-9 * sa.s[k].chi);
        }
    }
}

// A variance below the smallest normal double zeroes its whole row and
// column, so the covariance printed and written stays symmetric; with no
// covariate usable the sequence is empty and its chi-square 0.
TEST(AssocTests, VanishingVarianceAndNothingToEnter)
{
    // Packed 3 x 3: (0,0) (1,0) (1,1) (2,0) (2,1) (2,2).
    double v[] = {4.0, 1e-300, 1e-310, 0.5, 1e-200, 9.0};
    korv_assoc_guard(v, 3);
    EXPECT_EQ(v[1], 0.0);
    EXPECT_EQ(v[2], 0.0);
    EXPECT_EQ(v[4], 0.0);
    EXPECT_EQ(v[0], 4.0);
    EXPECT_EQ(v[3], 0.5);
    std::vector<double> row(3);
    korv_packed_row(v, 3, 2, row.data());
    EXPECT_EQ(row, (std::vector<double>{0.5, 0.0, 9.0}));

    Data d;
    d.p = 2;
    for (int i = 0; i < 6; ++i)
        d.add(i + 1, i % 2 ? 1 : -1, {2.0, -3.0});
    const Stats s = run(d);
    const Steps st = steps(s, false);
    EXPECT_EQ(st.r.nsteps, 0);
    EXPECT_EQ(st.r.chisq, 0.0);
    EXPECT_FALSE(std::signbit(st.r.chisq));
}
