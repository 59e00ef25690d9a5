// Normal distribution routines against R's pnorm, qnorm and dnorm and the
// C library's erf/erfc.
#include "numeric/normal.h"

#include "runtime/missing.h"
#include "support/reference.h"

#include <cmath>
#include <vector>

using korvtest::Near;
using korvtest::Table;

namespace
{

// Phi is evaluated as erfc(-x/sqrt 2)/2: the rounding of x/sqrt 2 costs a
// relative error of about x^2 ulp in the far tails.
double tailTolerance(double x)
{
    return 1e-14 + 4e-16 * x * x;
}

} // namespace

TEST(Normal, ErrorFunctionsAgreeWithCLibrary)
{
    std::vector<double> xs = {0.0, 1e-20, 4e-16, 1e-8, 0.1,     0.3, 0.46875, 0.46876, 0.9,
                              1.5, 2.0,   3.3,   4.0,  4.00001, 5.5, 10.0,    26.0,    26.6};
    for (double x : xs) {
        for (double s : {1.0, -1.0}) {
            double v = s * x;
            EXPECT_TRUE(Near(zferf(v), std::erf(v), 4e-16, 1e-300)) << v;
            double tol = std::fabs(v) > 1 ? 4e-16 * (1 + 2 * v * v) : 4e-16;
            EXPECT_TRUE(Near(zferfc(v), std::erfc(v), tol, 1e-300)) << v;
        }
    }
    double r;
    calerf(0.7, &r, 0);
    EXPECT_EQ(r, zferf(0.7));
    calerf(0.7, &r, 5);
    EXPECT_EQ(r, zferfc(0.7));
    EXPECT_EQ(zferfc(27.0), 0.0); // exp(-y^2) is not formed below e^-708.4
    EXPECT_EQ(zferfc(2000.0), 0.0);
    EXPECT_EQ(zferfc(-2000.0), 2.0);
}

TEST(Normal, DistributionFunctionMatchesReference)
{
    Table t("numeric_normal.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double x = t.num(i, "x");
        double want = t.num(i, "Phi");
        if (want < 1e-300 && x < -37) {
            EXPECT_EQ(zprbnrm(x), 0.0) << x;
            continue;
        }
        EXPECT_TRUE(Near(zprbnrm(x), want, tailTolerance(x), 1e-300)) << x;
    }
    EXPECT_EQ(zprbnrm(0.0), 0.5);
    EXPECT_EQ(zprbnrm(-40.0), 0.0);
    EXPECT_EQ(zprbnrm(40.0), 1.0);
    EXPECT_TRUE(wzmis(zprbnrm(korv_missing())));
}

TEST(Normal, LogTailsAndMillsRatioMatchReference)
{
    Table t("numeric_normal.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double x = t.num(i, "x");
        double lpl, lpr, ld;
        ASSERT_EQ(zlognrm(x, &lpl, &lpr, &ld), 0) << x;
        double tol = tailTolerance(x);
        EXPECT_TRUE(Near(ld, t.num(i, "logdens"), 1e-15)) << x;
        // Errors are relative to the tail, i.e. absolute on the log scale.
        EXPECT_TRUE(Near(lpl, t.num(i, "logPhi"), 0, tol * std::max(1.0, std::fabs(lpl)) + 1e-300))
            << x;
        EXPECT_TRUE(
            Near(lpr, t.num(i, "logupper"), 0, tol * std::max(1.0, std::fabs(lpr)) + 1e-300))
            << x;
        double ratio;
        if (x > -10) {
            ASSERT_EQ(zmillsr(x, &ratio), 0) << x;
            EXPECT_TRUE(Near(ratio, t.num(i, "mills"), tol)) << x;
        }
    }
    double lpl, lpr, ld;
    ASSERT_EQ(zlognrm(-40.0, &lpl, &lpr, &ld), 0);
    EXPECT_TRUE(Near(lpl, -804.6084420137538, 1e-15)); // R: pnorm(-40, log.p = TRUE)
    EXPECT_EQ(zlognrm(korv_missing(), &lpl, &lpr, &ld), 1);
    double ratio;
    ASSERT_EQ(zmillsr(-11.0, &ratio), 0);
    EXPECT_TRUE(Near(ratio, std::sqrt(2 * M_PI) * std::exp(60.5), 1e-14));
    // The continued fraction alone converges for large x, not within 100
    // steps for small x.
    ASSERT_EQ(zcnfmill(8.0, &ratio), 0);
    EXPECT_EQ(zcnfmill(0.3, &ratio), 1);
}

TEST(Normal, QuantileMatchesReference)
{
    Table t("numeric_qnorm.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double p = t.num(i, "p"), want = t.num(i, "quantile");
        // Near p = 1/2 the shifted variable t carries an absolute rounding
        // error of about 1e-16, and so does the quantile.
        EXPECT_TRUE(Near(zprobit(p), want, 2e-15, 3e-16)) << p;
        if (p < 0.5) {
            EXPECT_TRUE(Near(szprobit(p), want, 2e-15, 3e-16)) << p;
        }
    }
    EXPECT_TRUE(Near(zprobit(0.975), 1.959963984540054, 1e-15));
    EXPECT_EQ(zprobit(0.5), 0.0);
    EXPECT_EQ(zprobit(0.0), -37.64030867301702);
    EXPECT_EQ(zprobit(1.0), 7.941345326170997);
    EXPECT_TRUE(wzmis(zprobit(-0.1)));
    EXPECT_TRUE(wzmis(zprobit(1.1)));
    EXPECT_TRUE(wzmis(zprobit(korv_missing())));
}

TEST(Normal, QuantileIsAccurateAcrossTheBranchSwitch)
{
    // Round trip through the distribution function on a fine grid, both
    // sides of q = 0.01 and of 1e-16.
    for (double lq = -35; lq < -0.7; lq += 0.0137) {
        double p = std::exp(lq);
        double x = zprobit(p);
        EXPECT_TRUE(Near(zprbnrm(x), p, 3e-15 + 8e-16 * x * x)) << p;
    }
}

TEST(Normal, InverseGaussianMatchesReference)
{
    Table t("numeric_invgauss.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double x = t.num(i, "x"), d = t.num(i, "d");
        double s = std::sqrt(x), arg = std::fabs((s - 1 / s) * std::sqrt(d));
        EXPECT_TRUE(
            Near(zprbigs(x, d), t.num(i, "cdf"), 1e-14 + 1e-15 * (arg * arg + 2 * d), 1e-300))
            << x << " " << d;
    }
    EXPECT_EQ(zprbigs(0.0, 2.0), 0.0);
    EXPECT_TRUE(wzmis(zprbigs(-1.0, 2.0)));
    EXPECT_TRUE(wzmis(zprbigs(1.0, 0.0)));
    // A large shape: e^(2d) alone would overflow.
    double v = zprbigs(1.2, 400.0);
    EXPECT_TRUE(std::isfinite(v));
    EXPECT_GT(v, 0.99);
}

TEST(Normal, DifferenceMatchesReference)
{
    Table t("numeric_diffnormal.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double a = t.num(i, "a"), b = t.num(i, "b");
        double want = t.num(i, "diff");
        EXPECT_TRUE(Near(DiffNormal(a, b, t.num(i, "delta")), want, 2e-12 + 1e-14 * b * b))
            << a << " " << b;
    }
    EXPECT_TRUE(wzmis(DiffNormal(korv_missing(), 1, 1)));
}

TEST(NormalMixture, ProbabilitiesAndQuantilesMatchReference)
{
    Table t("numeric_mixture.csv");
    std::vector<std::vector<double>> w = {{0.3, 0.7}, {1, 2, 1}, {1}};
    std::vector<std::vector<double>> mu = {{0, 3}, {-2, 1, 5}, {1.5}};
    std::vector<std::vector<double>> sd = {{1, 0.5}, {0.5, 2, 1}, {2}};
    for (size_t i = 0; i < t.size(); ++i) {
        int m = static_cast<int>(t.num(i, "mix")) - 1;
        std::vector<double> ww = w[m], mm = mu[m], ss = sd[m];
        NORMAL_MIX_ARG q;
        q.n = static_cast<long>(ww.size());
        q.Proportions = ww.data();
        q.Mu = mm.data();
        q.Sigma = ss.data();
        double arg = t.num(i, "arg");
        if (t.text(i, "kind") == "point") {
            q.Quantile = arg;
            ASSERT_EQ(zmxnorm(&q), 0);
            EXPECT_TRUE(Near(q.LogLeftPr, t.num(i, "lpl"), 0,
                             1e-13 * std::max(1.0, std::fabs(q.LogLeftPr))))
                << i;
            EXPECT_TRUE(Near(q.LogRightPr, t.num(i, "lpr"), 0,
                             1e-13 * std::max(1.0, std::fabs(q.LogRightPr))))
                << i;
            EXPECT_TRUE(Near(q.LogDensity, t.num(i, "ldens"), 0,
                             1e-13 * std::max(1.0, std::fabs(q.LogDensity))))
                << i;
        } else {
            q.Purpose = 2;
            q.Probability = arg;
            ASSERT_EQ(zmxnorm(&q), 0) << i;
            EXPECT_NEAR(q.Quantile, t.num(i, "lpl"), 1e-5) << "mixture " << m << " p " << arg;
            NORMAL_MIX_ARG r;
            std::vector<double> w2 = w[m], m2 = mu[m], s2 = sd[m];
            r.n = q.n;
            r.Proportions = w2.data();
            r.Mu = m2.data();
            r.Sigma = s2.data();
            r.Purpose = 4;
            r.targetSDF = 1 - arg;
            ASSERT_EQ(zmxnorm(&r), 0) << i;
            EXPECT_NEAR(r.Quantile, t.num(i, "lpl"), 1e-5) << "sdf mixture " << m << " p " << arg;
        }
    }
}

TEST(NormalMixture, RejectsInvalidComponents)
{
    double w[2] = {0.5, -0.5}, mu[2] = {0, 1}, sd[2] = {1, 1};
    NORMAL_MIX_ARG q;
    q.n = 2;
    q.Proportions = w;
    q.Mu = mu;
    q.Sigma = sd;
    EXPECT_EQ(zmxnorm(&q), 2 + 2); // n + index of the negative proportion (from 1)
    w[1] = 0.5;
    sd[0] = -1;
    EXPECT_EQ(zmxnorm(&q), 2 * 2 + 1);
    sd[0] = 1;
    w[0] = w[1] = 0;
    EXPECT_EQ(zmxnorm(&q), 20);
    NORMAL_MIX_ARG empty;
    EXPECT_NE(zmxnorm(&empty), 0); // no components is not a success
    w[0] = w[1] = 1;
    q.Purpose = 1;
    EXPECT_EQ(zmxnorm(&q), 1);
}
