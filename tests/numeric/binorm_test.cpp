// Bivariate normal probabilities and Owen's T function against mvtnorm and
// R's integrate.
#include "numeric/binorm.h"
#include "numeric/normal.h"

#include "runtime/missing.h"
#include "support/reference.h"

#include <cmath>

using korvtest::Near;
using korvtest::Table;

TEST(BivariateNormal, MatchesReference)
{
    Table t("numeric_bivnorm.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double x = t.num(i, "x"), y = t.num(i, "y"), rho = t.num(i, "rho");
        int ier = -1;
        double p = zprbbnr(x, y, rho, &ier);
        EXPECT_EQ(ier, 0) << x << " " << y << " " << rho;
        EXPECT_TRUE(Near(p, t.num(i, "p"), 1e-13, 1e-15)) << x << " " << y << " " << rho;
    }
}

TEST(BivariateNormal, SpecialCases)
{
    int ier;
    for (double rho : {-0.9, -0.3, 0.0, 0.5, 0.97})
        EXPECT_TRUE(Near(zprbbnr(0, 0, rho, &ier), 0.25 + std::asin(rho) / (2 * M_PI), 1e-15));
    EXPECT_EQ(zprbbnr(0, 0, 0, &ier), 0.25);
    EXPECT_TRUE(Near(zprbbnr(1.1, -0.4, 0.0, &ier), zprbnrm(1.1) * zprbnrm(-0.4), 1e-15));
    EXPECT_EQ(zprbbnr(0.3, 1.7, 1.0, &ier), zprbnrm(0.3));
    for (double x : {-3.0, -0.5, 0.0})
        EXPECT_EQ(zprbbnr(x, -x, -1.0, &ier), 0.0);
    EXPECT_EQ(zprbbnr(-40, 0.5, 0.3, &ier), 0.0);
    EXPECT_EQ(ier, 0);
    // A tiny positive h + k under rho = -1: Phi(h) + Phi(k) - 1.
    double h = 0.8, k = -0.8 + 1e-9;
    EXPECT_TRUE(Near(zprbbnr(h, k, -1.0, &ier), 1e-9 * 0.3989422804014327 * std::exp(-0.32), 1e-6));
    EXPECT_EQ(zprbbnr(0.1, 0.2, 1.0000001, &ier), -1.0);
    EXPECT_EQ(ier, 1);
    double m = zprbbnr(korv_missing(), 0.2, 0.5, &ier);
    EXPECT_EQ(ier, 1);
    EXPECT_TRUE(wzmis(m));
}

TEST(BivariateNormal, AgreesWithOneDimensionalIntegration)
{
    // One argument at zero goes to quadrature (or to the exact limit of
    // Owen's reduction); compare with Owen's formula a hair away from zero.
    for (double y : {-2.0, -0.3, 0.9, 3.0})
        for (double rho : {-0.8, 0.2, 0.9}) {
            int ier;
            double p0 = zprbbnr(0.0, y, rho, &ier);
            ASSERT_EQ(ier, 0);
            double p1 = zprbbnr(2e-12, y, rho, &ier);
            // dP/dx at 0 is phi(0) Phi(y / sqrt(1 - rho^2)).
            double slope = 0.3989422804014327 * zprbnrm(y / std::sqrt(1 - rho * rho));
            EXPECT_TRUE(Near(p0, p1 - 2e-12 * slope, 1e-14, 1e-16)) << y << " " << rho;
        }
}

TEST(OwenT, MatchesReference)
{
    Table t("numeric_owent.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        double h = t.num(i, "h"), a = t.num(i, "a"), want = t.num(i, "T");
        int normh;
        double v = ztfn(h, a, &normh);
        if (normh)
            v += zprbnrm(-std::fabs(h)) / 2;
        EXPECT_TRUE(Near(v, want, 1e-13, 1e-17)) << "h " << h << " a " << a;
        if (a <= 1) {
            EXPECT_TRUE(Near(tfn(h, a, nullptr), want, 1e-13, 1e-17)) << "h " << h << " a " << a;
        }
        if (a > 0.01 && a < 0.13 && std::fabs(h) < 3.5) {
            EXPECT_TRUE(Near(tfn1(h, a), want, 1e-14, 1e-17)) << h << " " << a;
        }
        if (a > 0.01 && a <= 1) {
            EXPECT_TRUE(Near(tfn2(h, a), want, 1e-13, 1e-17)) << h << " " << a;
        }
    }
    int normah = 1;
    double v = tfn(0.7, 0.4, &normah);
    EXPECT_EQ(normah, 0);
    EXPECT_TRUE(Near(v, tfn(0.7, 0.4, nullptr) - zprbnrm(0.7) / 2, 1e-15));
}

TEST(OwenT, ArcTangentDifference)
{
    // x - arctan x = x^3/3 - x^5/5 + ...; compare with the series in long
    // double where the subtraction would cancel.
    for (double x : {1e-8, 1e-4, 0.003, 0.05, 0.0999, 0.1, -0.07, 0.2, 3.0}) {
        long double s = 0, p = static_cast<long double>(x) * x * x,
                    x2 = static_cast<long double>(x) * x;
        for (int k = 1; k < 60; ++k) {
            s += (k % 2 ? 1 : -1) * p / (2 * k + 1);
            p *= x2;
        }
        double want = std::fabs(x) <= 0.1 ? static_cast<double>(s) : x - std::atan(x);
        EXPECT_TRUE(Near(zxmatan(x), want, 6e-16)) << x;
    }
}
