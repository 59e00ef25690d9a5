// The kernel-smoothed hazard against the independent R script
// tests/reference/smoothed.R (boundary kernels from their moment conditions,
// estimates, standard errors, limits and MISE from the definitions), the
// one-pass cross term of the MISE against the sum over pairs, and the ends
// of the arrays that the window walks must not pass.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "estimate/korvkrn.h"
#include "support/estimate_sample.h"

using namespace est_test;

namespace
{

int kernelCode(const std::string& k)
{
    return k == "E" ? 0 : k == "U" ? 1 : 2;
}

// A smoothing record over owned arrays.
struct Arrays {
    std::vector<double> t, dH, dV;
    SMOOTHED s{};
    void bind(int kernel, double tl, double tr)
    {
        s = SMOOTHED{};
        s.kernel = kernel;
        korvkrn(&s);
        s.t = t.data();
        s.dH = dH.data();
        s.dvarH = dV.data();
        s.njmp = static_cast<long>(t.size());
        s.tl = tl;
        s.tr = tr;
        s.nmingrid = 51;
        s.bl = s.br = korv_missing();
    }
    void add(double time, double d, double n)
    {
        t.push_back(time);
        dH.push_back(d / n);
        dV.push_back(d / (n * n));
    }
};

// The increments of a reference case, from the estimator's own pass.
Arrays& caseArrays(const std::string& id)
{
    static std::map<std::string, Arrays> cache;
    if (!cache.count(id)) {
        const bool weighted = id == "veteran_w";
        korv_est::PlSettings set;
        set.weighted = weighted;
        Arrays& a = cache[id];
        for (const auto& st :
             runEngine(caseSample(weighted ? "veteran" : id, weighted), set).events)
            a.add(st.time, st.d, st.Y);
    }
    return cache[id];
}

} // namespace

TEST(SmoothedKernels, BoundaryCoefficientsSolveTheMomentConditions)
{
    Table c("smoothed_coef.csv");
    ASSERT_EQ(c.size(), 27u);
    for (size_t r = 0; r < c.size(); ++r) {
        SMOOTHED s{};
        s.kernel = kernelCode(c.text(r, "kernel"));
        korvkrn(&s);
        double a = 0, b = 0;
        s.Asym(c.num(r, "q"), &a, &b);
        EXPECT_TRUE(close(a, c.num(r, "alpha"), 1e-9) && close(b, c.num(r, "beta"), 1e-9))
            << c.text(r, "kernel") << " q=" << c.text(r, "q") << ": " << a << " " << b;
    }
}

// Estimates, standard errors and limits at every grid point, over cases
// with both boundaries at once, GRIDL= above 0 (the lower boundary still
// measured from 0), GRIDU= below the last event time, weights and each
// kernel.
TEST(SmoothedHazard, MatchesTheIndependentScript)
{
    Table c("smoothed_hazard.csv");
    size_t clamped = 0, bothEnds = 0;
    for (size_t r = 0; r < c.size(); ++r) {
        Arrays& a = caseArrays(c.text(r, "case"));
        a.bind(kernelCode(c.text(r, "kernel")), c.num(r, "tl"), c.num(r, "tr"));
        const double t = c.num(r, "time"), b = c.num(r, "b");
        double v = 0, se, lo, hi;
        const double h = varhaz(t, b, &a.s, &v);
        korv_smoothed_limits(h, v, 1.959963984540054, &se, &lo, &hi);
        SCOPED_TRACE(c.text(r, "case") + " " + c.text(r, "kernel") + " t=" + c.text(r, "time"));
        EXPECT_EQ(h, ephaz(t, b, &a.s));
        EXPECT_TRUE(close(h, c.num(r, "hazard"), 1e-9)) << h;
        EXPECT_TRUE(close(se, c.num(r, "stderr"), 1e-9)) << se;
        EXPECT_TRUE(close(lo, value(c, r, "lower"), 1e-9)) << lo;
        EXPECT_TRUE(close(hi, value(c, r, "upper"), 1e-9)) << hi;
        // A boundary sum below 0 is a hazard of exactly 0, with a standard
        // error and without limits.
        clamped += h == 0 && se > 0;
        bothEnds += t < b && t + b > a.s.tr;
    }
    EXPECT_GT(clamped, 0u);
    EXPECT_GT(bothEnds, 0u);
    // Beyond the grid's end, and without a bandwidth, there is no estimate.
    Arrays& a = caseArrays("aml_m");
    a.bind(0, 0, 40);
    EXPECT_FALSE(wzmis(ephaz(40 + 1e-9, 5, &a.s)));
    EXPECT_TRUE(wzmis(ephaz(40 + 1e-7, 5, &a.s)));
    EXPECT_TRUE(wzmis(ephaz(20, 0, &a.s)));
}

// The last grid point is the grid's end itself: a running sum of steps
// overshoots it on a large time scale, and a point more than 1e-8 beyond the
// end has no estimate.
TEST(SmoothedHazard, LastGridPointIsTheEnd)
{
    const double tl = 0.3, tr = 7.3e7;
    double sum = tl;
    for (int k = 1; k < 101; ++k)
        sum += (tr - tl) / 100;
    ASSERT_GT(sum - tr, 1e-8) << "the running sum does not overshoot here";
    EXPECT_EQ(korv_smoothed_grid_point(tl, tr, 101, 100), tr);
    Arrays a;
    for (int i = 1; i <= 50; ++i)
        a.add(i * 1.4e6, 1, 60 - i);
    a.bind(0, tl, tr);
    EXPECT_FALSE(wzmis(ephaz(korv_smoothed_grid_point(tl, tr, 101, 100), 5e6, &a.s)));
}

TEST(SmoothedMise, MatchesTheScriptAndItsLeast)
{
    Table c("smoothed_mise.csv");
    std::map<std::string, double> ends;
    for (size_t r = 0; r < c.size(); ++r) {
        Arrays& a = caseArrays(c.text(r, "case"));
        a.bind(kernelCode(c.text(r, "kernel")), c.num(r, "tl"), c.num(r, "tr"));
        ends[c.text(r, "case")] = c.num(r, "tr");
        double f = 0;
        EXPECT_EQ(mise(c.num(r, "bw"), &f, &a.s), 0);
        EXPECT_TRUE(close(f, c.num(r, "mise"), 1e-9))
            << c.text(r, "case") << " " << c.text(r, "kernel") << " bw=" << c.text(r, "bw");
    }
    // Brent's search lands on the least MISE of a fine grid of the same
    // interval, to its tolerance (the bracket within 4 times 1% of it).
    Table best("smoothed_choice.csv");
    for (size_t r = 0; r < best.size(); ++r) {
        const std::string id = best.text(r, "case");
        Arrays& a = caseArrays(id);
        a.bind(kernelCode(best.text(r, "kernel")), 0, ends.at(id));
        const Sample smp = caseSample(id == "veteran_w" ? "veteran" : id);
        double b = 0;
        ASSERT_EQ(korv_mise_minimum(&a.s, smp.cum - smp.cen, &b), 0) << id;
        EXPECT_TRUE(close(a.s.bwpilot, best.num(r, "pilot"), 1e-12));
        EXPECT_NEAR(b, best.num(r, "best_bw"), 0.04 * best.num(r, "best_bw")) << id;
    }
}

// The one-pass cross term equals the sum over pairs: many events, wide and
// narrow bandwidths, grids that leave events out at both ends, times far
// from 0, and pairs exactly b apart (K(1) = 1 for the uniform kernel).
TEST(SmoothedMise, OnePassCrossTermEqualsPairSum)
{
    auto pairs = [](const SMOOTHED& s, double b) {
        double X = 0;
        for (long j = 0; j < s.njmp; ++j)
            for (long i = j - 1; i >= 0 && s.t[i] >= s.tl && s.t[j] <= s.tr; --i) {
                if (s.t[j] - s.t[i] > b)
                    break;
                double k;
                s.Kx((s.t[j] - s.t[i]) / b, &k);
                X += k * s.dH[i] * s.dH[j];
            }
        return X;
    };
    std::mt19937_64 rng(19);
    std::exponential_distribution<double> gap(1.0);
    for (double origin : {0.0, 1e6}) {
        Arrays a;
        double t = origin;
        for (int i = 0; i < 3000; ++i)
            a.add(t += gap(rng) + (i % 7 == 0 ? 5 : 0), 1 + i % 3, 3100 - i);
        for (int kernel = 0; kernel < 3; ++kernel)
            for (double b : {0.5, 3.0, 40.0, 800.0, 1e5}) {
                a.bind(kernel, a.t[20], a.t[2900]);
                EXPECT_TRUE(close(korv_mise_cross(&a.s, b), pairs(a.s, b), 1e-10))
                    << "kernel " << kernel << " b=" << b << " origin " << origin;
            }
    }
    Arrays w;
    for (int i = 0; i < 200; ++i)
        w.add(i, 1, 100);
    w.bind(1, 0, 199);
    EXPECT_TRUE(close(korv_mise_cross(&w.s, 3), 1e-4 * (199 + 198 + 197), 1e-12));
}

// The window walks stop at the first event time and at the grid's lower
// end: an entry in front of the arrays, inside every window, must not be
// read, and events below GRIDL= take no part in the cross term.
TEST(SmoothedMise, WalksStopAtTheFirstIndex)
{
    std::vector<double> t = {0.95, 1, 2, 3}, dH = {1e6, 0.1, 0.2, 0.3},
                        dV = {1e6, 0.01, 0.02, 0.03};
    SMOOTHED s{};
    korvkrn(&s);
    s.t = t.data() + 1;
    s.dH = dH.data() + 1;
    s.dvarH = dV.data() + 1;
    s.njmp = 3;
    s.tr = 3;
    // t + b > tr: the upper boundary kernel, over every event down to the
    // first.
    double v = 0;
    EXPECT_LT(varhaz(2.5, 2.2, &s, &v), 1);
    EXPECT_LT(v, 1);
    s.njmp = 0;
    EXPECT_EQ(ephaz(2.5, 2.2, &s), 0.0);
    // 0.95, below tl, is within b of 1.
    s.t = t.data();
    s.dH = dH.data();
    s.njmp = 4;
    s.tl = 1;
    double k;
    KerE(0.5, &k);
    EXPECT_TRUE(close(korv_mise_cross(&s, 2), k * (0.02 + 0.06), 1e-12));
}

// The BandwidthLabel of a row holds 12 characters: a bandwidth too wide for
// them drops decimals, then takes the exponent form, and never loses a
// digit of its whole part (2e9 and 3e9 once both read "bw=300000000").
TEST(SmoothedLabel, WideBandwidthsKeepTheirDigits)
{
    EXPECT_EQ(korv_bandwidth_label(100, 2), "bw=  100.00");
    EXPECT_EQ(korv_bandwidth_label(0.37, 0), "bw=   0.370");
    EXPECT_EQ(korv_bandwidth_label(12345678.25, 2), "bw=12345678");
    EXPECT_EQ(korv_bandwidth_label(2e9, 0), "bw=2e+09");
    EXPECT_EQ(korv_bandwidth_label(3e9, 0), "bw=3e+09");
    EXPECT_EQ(korv_bandwidth_label(2147483647, 0), "bw=2.147e+09");
    for (double b : {999999999.0, 1e9, 4.9e12, 1.7e308}) {
        const std::string l = korv_bandwidth_label(b, 0);
        EXPECT_LE(l.size(), 12u) << b;
        EXPECT_NEAR(std::atof(l.c_str() + 3), b, 1e-3 * b) << l;
    }
}
