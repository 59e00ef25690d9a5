// Band distributions: the Kolmogorov distribution (R's own), sup |B| over
// [0, A] and [ALow, AHigh] against a grid propagation of the bridge, and the
// equal-precision equation against uniroot.
#include "numeric/bands.h"

#include "runtime/missing.h"
#include "support/reference.h"

#include <cmath>

using korvtest::Near;
using korvtest::Table;

TEST(Kolmogorov, MatchesReference)
{
    Table t("numeric_kolmogorov.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double l = t.num(i, "lambda");
        double got = zprbksa(l);
        if (l < 0.01) {
            EXPECT_EQ(got, 0.0);
            continue;
        }
        if (l > 3.5) {
            EXPECT_EQ(got, 1.0);
            continue;
        }
        EXPECT_TRUE(Near(got, t.num(i, "K"), 1e-14, 1e-300)) << l;
        if (l > 0.5) {
            EXPECT_TRUE(Near(got, t.num(i, "series"), 1e-14, 1e-16)) << l;
        }
    }
    EXPECT_TRUE(Near(zprbksa(1.3580986393225507), 0.95, 1e-12));
    EXPECT_EQ(zprbksa(0.005), 0.0);
    EXPECT_EQ(zprbksa(4.0), 1.0);
}

namespace
{

// The quantile over [0, A] for probability p, checked by evaluating the
// probability back: it meets p to 1e-5 p.
double initialQuantile(double A, double p)
{
    ARG_KOLMOGOROV_B q;
    q.Objective = 2;
    q.Prob = p;
    q.A = A;
    EXPECT_EQ(zprbksb(&q), 0) << A << " " << p;
    ARG_KOLMOGOROV_B c;
    c.Objective = 1;
    c.Quantile = q.Quantile;
    c.A = A;
    EXPECT_EQ(zprbksb(&c), 0) << A << " " << p;
    EXPECT_NEAR(c.Prob, p, 1e-5 * p) << A << " " << p;
    return q.Quantile;
}

} // namespace

TEST(BridgeOverInitialInterval, QuantileInvertsProbabilityAndWholeIntervalIsKolmogorov)
{
    for (double A : {0.05, 0.3, 0.7, 0.999})
        for (double p : {0.5, 0.9, 0.95, 0.99})
            initialQuantile(A, p);
    Table t("numeric_kolmogorov_quantile.csv");
    for (size_t i = 0; i < t.size(); ++i)
        EXPECT_NEAR(initialQuantile(1.0, t.num(i, "p")), t.num(i, "quantile"), 1e-4);
}

TEST(BridgeOverInitialInterval, RefusalsAndTermination)
{
    ARG_KOLMOGOROV_B q;
    q.Objective = 2;
    q.Prob = 0.95;
    q.A = 1e-9;
    EXPECT_EQ(zprbksb(&q), 1000);
    q.A = 0.5;
    for (double p : {0.0, 1e-9, 1.0, 1 - 1e-9}) {
        q.Prob = p;
        EXPECT_EQ(zprbksb(&q), 1) << p;
    }
    // Probabilities the evaluation cannot reach end the bracketing with a
    // failure instead of looping.
    q.A = 1.1e-8;
    q.Prob = 0.5;
    int rc = zprbksb(&q);
    EXPECT_TRUE(rc == 0 || rc == 1);
    q.A = 0.5;
    q.Objective = 3;
    EXPECT_EQ(zprbksb(&q), 1);
}

TEST(BridgeOverInterval, ProbabilityMatchesGrid)
{
    // The series of rectangle probabilities (with its image increments)
    // agrees with an independent computation of the same probability, and
    // so does the initial-interval routine where the lower end is 0.
    Table t("numeric_bridge.csv");
    int initial = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        ARG_WIENER_BRIDGE w;
        w.Objective = 1;
        w.Quantile = t.num(i, "lambda");
        w.ALow = t.num(i, "aL");
        w.AHigh = t.num(i, "aU");
        ASSERT_EQ(zprbwbr(&w), 0) << i;
        EXPECT_NEAR(w.Prob, t.num(i, "prob"), 4e-6) << i;
        EXPECT_EQ(w.Objective, 1);
        if (w.ALow == 0) {
            ARG_KOLMOGOROV_B q;
            q.Objective = 1;
            q.Quantile = w.Quantile;
            q.A = w.AHigh;
            ASSERT_EQ(zprbksb(&q), 0);
            EXPECT_NEAR(q.Prob, t.num(i, "prob"), 4e-6) << i;
            ++initial;
        }
    }
    EXPECT_GE(initial, 3);
}

TEST(BridgeOverInterval, ApproachesInitialIntervalAsLowerEndShrinks)
{
    for (double l : {0.8, 1.2, 1.6}) {
        ARG_KOLMOGOROV_B k;
        k.Objective = 1;
        k.Quantile = l;
        k.A = 0.6;
        ASSERT_EQ(zprbksb(&k), 0);
        ARG_WIENER_BRIDGE w;
        w.Objective = 1;
        w.Quantile = l;
        w.ALow = 1e-6;
        w.AHigh = 0.6;
        ASSERT_EQ(zprbwbr(&w), 0);
        EXPECT_NEAR(w.Prob, k.Prob, 2e-7) << l;
        w.ALow = 0.0; // the 2^512 half-width
        ASSERT_EQ(zprbwbr(&w), 0);
        EXPECT_NEAR(w.Prob, k.Prob, 2e-7) << l;
    }
}

TEST(BridgeOverInterval, CriticalValuesMatchGrid)
{
    Table t("numeric_bridge_quantile.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double aL = t.num(i, "aL"), aU = t.num(i, "aU"), p = 1 - t.num(i, "alpha");
        double want = t.num(i, "quantile");
        if (aL == 0) {
            ARG_KOLMOGOROV_B q;
            q.Objective = 2;
            q.Prob = p;
            q.A = aU;
            ASSERT_EQ(zprbksb(&q), 0) << i;
            EXPECT_NEAR(q.Quantile, want, 5e-5) << i;
        }
        ARG_WIENER_BRIDGE w;
        w.Objective = 2;
        w.Prob = p;
        w.ALow = aL;
        w.AHigh = aU;
        ASSERT_EQ(zprbwbr(&w), 0) << i;
        EXPECT_NEAR(w.Quantile, want, 5e-5) << i;
    }
}

TEST(BridgeOverInterval, QuantileAndBoth)
{
    for (double p : {0.9, 0.95, 0.99}) {
        ARG_WIENER_BRIDGE w;
        w.Objective = 3;
        w.Prob = p;
        w.ALow = 0.2;
        w.AHigh = 0.85;
        ASSERT_EQ(zprbwbr(&w), 0) << p;
        EXPECT_EQ(w.Objective, 3);
        EXPECT_NEAR(w.Prob, p, 3e-5) << p;
        EXPECT_GT(w.Quantile, 0.5);
    }
    ARG_WIENER_BRIDGE bad;
    bad.Objective = 1;
    bad.Quantile = 1;
    bad.ALow = 0.5;
    bad.AHigh = 0.5;
    EXPECT_EQ(zprbwbr(&bad), 1);
    bad.ALow = -0.1;
    EXPECT_EQ(zprbwbr(&bad), 1);
    bad.ALow = 0.1;
    bad.AHigh = 1.2;
    EXPECT_EQ(zprbwbr(&bad), 1);
    bad.AHigh = 0.5;
    bad.Objective = 4;
    EXPECT_EQ(zprbwbr(&bad), 1);
    bad.Objective = 2;
    bad.Prob = 0.0;
    EXPECT_EQ(zprbwbr(&bad), 1);
}

TEST(EqualPrecision, SolvesTheApproximationEquation)
{
    Table t("numeric_qmsa.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double q;
        ASSERT_EQ(zqmsa(t.num(i, "a1"), t.num(i, "a2"), t.num(i, "alpha"), &q), 0) << i;
        // Newton stops once the relative step is below 1e-4; the last step
        // is taken, so the root is much closer than that.
        EXPECT_TRUE(Near(q, t.num(i, "root"), 1e-7)) << i;
    }
}

TEST(EqualPrecision, EdgesReturnMissing)
{
    double q;
    ASSERT_EQ(zqmsa(0.4, 0.4, 0.05, &q), 0); // L = 0: 4 phi(x)/x = alpha
    EXPECT_NEAR(4 * 0.3989422804014327 * std::exp(-q * q / 2) / q, 0.05, 1e-5);
    EXPECT_EQ(zqmsa(0.1, 1.0, 0.05, &q), 1);
    EXPECT_TRUE(wzmis(q));
    EXPECT_EQ(zqmsa(0.1, 0.5, 1.0, &q), 1);
    EXPECT_TRUE(wzmis(q));
    EXPECT_EQ(zqmsa(0.0, 0.5, 0.05, &q), 1);
    EXPECT_EQ(zqmsa(0.6, 0.5, 0.05, &q), 1);
    EXPECT_EQ(zqmsa(korv_missing(), 0.5, 0.05, &q), 1);
}
