// The studentized range and maximum modulus against R's ptukey and qtukey,
// the Gauss-Kronrod integrator and Brent's root finder on known answers, and
// the counter-based generator against its published known-answer vectors.
#include "numeric/mcdist.h"
#include "numeric/philox.h"

#include "runtime/missing.h"
#include "support/reference.h"

#include <cmath>
#include <limits>

using korvtest::Near;
using korvtest::Table;

namespace
{

double dfOf(double df)
{
    return std::isinf(df) ? korv_missing() : df;
}

} // namespace

TEST(StudentizedRange, MatchesPtukey)
{
    // ptukey integrates over the denominator with a fixed rule: it holds
    // about 9 digits for large df, 7 at df = 5 and only 4 at df = 2 (where
    // the range of two means has a closed form, checked below).
    auto tolerance = [](double df) { return df >= 20 ? 2e-9 : df >= 5 ? 2e-7 : 2e-4; };
    Table t("mcomp_ptukey.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        const double q = t.num(i, "q"), df = dfOf(t.num(i, "df"));
        const int k = static_cast<int>(t.num(i, "nmeans"));
        const double tol = tolerance(t.num(i, "df"));
        const double lower = zptukey(q, k, df), upper = zptukeyc(q, k, df);
        EXPECT_TRUE(Near(lower, t.num(i, "lower"), 0, tol)) << q << " " << k << " " << df;
        EXPECT_TRUE(Near(upper, t.num(i, "upper"), 0, tol)) << q << " " << k << " " << df;
        EXPECT_NEAR(lower + upper, 1.0, 1e-12);
    }
    // qtukey stops at four decimals; ours solves to 1e-12 and returns its p.
    Table qt("mcomp_qtukey.csv");
    for (size_t i = 0; i < qt.size(); ++i) {
        const double p = qt.num(i, "p"), df = dfOf(qt.num(i, "df"));
        const int k = static_cast<int>(qt.num(i, "nmeans"));
        // With a denominator each quantile takes some 30 double integrals:
        // the 95 % points suffice there.
        if (!wzmis(df) && p != 0.95)
            continue;
        const double q = zqtukey(p, k, df);
        EXPECT_TRUE(Near(q, qt.num(i, "q"), 1e-4)) << p << " " << k << " " << df;
        EXPECT_NEAR(zptukey(q, k, df), p, 1e-10) << p << " " << k << " " << df;
    }
    // Two means on 2 degrees of freedom: Q = sqrt(2) |T_2|, and
    // P(|T_2| <= x) = x / sqrt(2 + x^2).
    for (double q : {0.1, 1.0, 2.5, 8.0}) {
        const double x = q / std::sqrt(2.0);
        EXPECT_NEAR(zptukey(q, 2, 2), x / std::sqrt(2 + x * x), 1e-11) << q;
    }
}

TEST(StudentizedRange, EdgesAndInvalidArguments)
{
    const double inf = korv_missing();
    // Two means: the range of two is |Z1 - Z2|, so P(Q <= q) = 2 Phi(q/sqrt 2) - 1.
    for (double q : {0.3, 1.0, 2.77, 6.0})
        EXPECT_NEAR(zptukey(q, 2, inf), std::erf(q / 2.0), 1e-13);
    EXPECT_EQ(zptukey(0.0, 4, inf), 0.0);
    EXPECT_EQ(zptukeyc(-1.0, 4, inf), 1.0);
    // Far tails keep their digits: P(Q_2 > q) = erfc(q / 2).
    EXPECT_TRUE(Near(zptukeyc(14.0, 2, inf), std::erfc(7.0), 1e-9));
    EXPECT_TRUE(wzmis(zptukey(2.0, 1, inf)));
    EXPECT_TRUE(wzmis(zptukey(korv_missing(), 3, inf)));
    EXPECT_TRUE(wzmis(zptukey(2.0, 3, -1.0)));
    EXPECT_TRUE(wzmis(zqtukey(1.0, 3, inf)));
    EXPECT_TRUE(wzmis(zqtukey(0.0, 3, inf)));
    // A huge df is the normal case.
    EXPECT_NEAR(zptukey(3.0, 5, 1e9), zptukey(3.0, 5, inf), 1e-12);
}

TEST(StudentizedMaximumModulus, ClosedFormAndDenominator)
{
    const double inf = korv_missing();
    for (int m : {1, 3, 10})
        for (double t : {0.5, 1.96, 3.1}) {
            const double two = std::erf(t / std::sqrt(2.0));
            EXPECT_NEAR(zpsmm(t, m, inf), std::pow(two, m), 1e-14);
            EXPECT_NEAR(zpsmmc(t, m, inf), 1 - std::pow(two, m), 1e-14);
            EXPECT_NEAR(zpsmm(zqsmm(0.95, m, inf), m, inf), 0.95, 1e-10);
        }
    // One estimate on df degrees of freedom is |t(df)|: P(|T_5| <= 2.570582) = 0.95.
    EXPECT_NEAR(zpsmm(2.5705818366147395, 1, 5), 0.95, 1e-9);
    // A small tail keeps its relative accuracy (no 1 - (1 - p)^m cancellation).
    EXPECT_TRUE(Near(zpsmmc(9.0, 3, inf), 3 * std::erfc(9.0 / std::sqrt(2.0)), 1e-9));
    EXPECT_TRUE(wzmis(zpsmm(1.0, 0, inf)));
}

TEST(Quadrature, GaussKronrodAndBrent)
{
    double err = 0;
    // Smooth, peaked, and with a kink.
    EXPECT_NEAR(zgkquad([](double x) { return std::exp(-x * x); }, -10, 10, 1e-300, 1e-13, &err),
                std::sqrt(M_PI), 1e-13);
    EXPECT_LT(err, 1e-12);
    EXPECT_NEAR(zgkquad([](double x) { return 1e4 / (1 + 1e8 * (x - 0.3) * (x - 0.3)); }, 0, 1,
                        1e-300, 1e-12),
                std::atan(1e4 * 0.7) + std::atan(1e4 * 0.3), 1e-9);
    EXPECT_NEAR(zgkquad([](double x) { return std::fabs(x - 0.37); }, 0, 1, 1e-300, 1e-12),
                0.5 * (0.37 * 0.37 + 0.63 * 0.63), 1e-12);
    EXPECT_EQ(zgkquad([](double) { return 1.0; }, 1, 1, 0, 0), 0.0);
    double x = 0;
    ASSERT_TRUE(zbrentzero([](double v) { return std::cos(v) - v; }, 0, 1, 1e-14, &x));
    EXPECT_NEAR(x, 0.7390851332151607, 1e-13);
    EXPECT_FALSE(zbrentzero([](double v) { return v * v + 1; }, -1, 1, 1e-12, &x));
}

TEST(Philox, KnownAnswerVectors)
{
    // The published known answers of Philox-4x32-10: counters and keys of
    // zeros, of ones, and of the digits of pi.
    auto a = korv_rng::philox(0, 0, 0);
    EXPECT_EQ(a.v[0], 0x6627e8d5u);
    EXPECT_EQ(a.v[1], 0xe169c58du);
    EXPECT_EQ(a.v[2], 0xbc57ac4cu);
    EXPECT_EQ(a.v[3], 0x9b00dbd8u);
    auto b = korv_rng::philox(~0ull, ~0ull, ~0ull);
    EXPECT_EQ(b.v[0], 0x408f276du);
    EXPECT_EQ(b.v[1], 0x41c83b0eu);
    EXPECT_EQ(b.v[2], 0xa20bc7c6u);
    EXPECT_EQ(b.v[3], 0x6d5451fdu);
    auto c = korv_rng::philox(0x299f31d0a4093822ull, 0x85a308d3243f6a88ull, 0x0370734413198a2eull);
    EXPECT_EQ(c.v[0], 0xd16cfe09u);
    EXPECT_EQ(c.v[1], 0x94fdccebu);
    EXPECT_EQ(c.v[2], 0x5001e420u);
    EXPECT_EQ(c.v[3], 0x24126ea1u);
    // Uniforms lie strictly inside (0, 1) and have the right mean.
    double sum = 0;
    for (uint64_t i = 0; i < 20000; ++i) {
        double u[2];
        korv_rng::philox_uniform2(7, i, 0, u);
        ASSERT_GT(u[0], 0.0);
        ASSERT_LT(u[1], 1.0);
        sum += u[0] + u[1];
    }
    EXPECT_NEAR(sum / 40000, 0.5, 0.005);
}
