// Adaptive quadrature and the B-spline basis.
#include "numeric/quad.h"

#include "support/reference.h"

#include <cmath>
#include <vector>

using korvtest::Near;
using korvtest::Table;

namespace
{

int normalDensity(void*, double* v, double x)
{
    *v = 0.3989422804014327 * std::exp(-x * x / 2);
    return 0;
}

struct GammaKernel {
    double a;
};

int gammaKernel(void* p, double* v, double t)
{
    double a = static_cast<GammaKernel*>(p)->a;
    *v = std::pow(t, a - 1) * std::exp(-t);
    return 0;
}

struct Owen {
    double h;
};

int owenIntegrand(void* p, double* v, double t)
{
    double h = static_cast<Owen*>(p)->h;
    *v = std::exp(-h * h * (1 + t * t) / 2) / (1 + t * t) / (2 * M_PI);
    return 0;
}

int zero(void*, double* v, double)
{
    *v = 0;
    return 0;
}

int abortAfter(void* p, double* v, double x)
{
    int& n = *static_cast<int*>(p);
    *v = std::exp(-x * x);
    return ++n > 20 ? 3 : 0;
}

// e^(x) relative to e^nshft: the integrand keeps its own scale.
int scaledExp(void* p, double* v, double x)
{
    auto* qs = static_cast<shrdarg*>(p);
    double lk = 800.0 - (x - 5) * (x - 5);
    if (lk > qs->nshft)
        qs->nshft = static_cast<int>(lk);
    *v = std::exp(lk - qs->nshft);
    return 0;
}

} // namespace

TEST(Quadrature, MatchesReference)
{
    Table t("numeric_quadrature.csv");
    for (size_t i = 0; i < t.size(); ++i) {
        std::string kind = t.text(i, "kind");
        double p1 = t.num(i, "p1"), p2 = t.num(i, "p2");
        shrdarg qs;
        qs.eps = 1.110223024625157e-16;
        qs.cycles = 15;
        qs.c_type = 1;
        GammaKernel g{p1};
        Owen o{p1};
        if (kind == "normal") {
            qs.i_type = 1;
            qs.peak = p1;
            qs.sigma = p2;
            qs.fentry = normalDensity;
        } else if (kind == "gammatail") {
            qs.i_type = 2;
            qs.a = p2;
            qs.peak = std::max(p1 - 1, p2 * 1.2);
            qs.sigma = 1.0 / std::max(1.0, std::log(p1));
            qs.fentry = gammaKernel;
            qs.userptr = &g;
        } else {
            qs.i_type = 3;
            qs.a = 0;
            qs.b = p2;
            qs.peak = std::min(2 / (p1 * p1), p2 / 2);
            qs.sigma = 0.5;
            qs.fentry = owenIntegrand;
            qs.userptr = &o;
        }
        double r = -1;
        ASSERT_EQ(zhrdys(&qs, &r), 0) << kind << " " << p1 << " " << p2;
        EXPECT_TRUE(Near(r, t.num(i, "value"), 1e-14)) << kind << " " << p1 << " " << p2;
        EXPECT_EQ(qs.w1, r);
    }
}

TEST(Quadrature, AbsoluteOrRelativeTest)
{
    shrdarg qs;
    qs.eps = 1e-10;
    qs.cycles = 10;
    qs.i_type = 1;
    qs.c_type = 0;
    qs.peak = 0.3;
    qs.sigma = 1.0;
    qs.fentry = normalDensity;
    double r = 0;
    ASSERT_EQ(zhrdys(&qs, &r), 0);
    EXPECT_NEAR(r, 1.0, 1e-10);
}

TEST(Quadrature, ScaledIntegrand)
{
    // int exp(800 - (x-5)^2) dx = e^800 sqrt(pi): far beyond double range
    // unless the sums are kept on the integrand's scale.
    shrdarg qs;
    qs.eps = 1e-15;
    qs.cycles = 20;
    qs.i_type = 1;
    qs.c_type = 1;
    qs.peak = 4.0;
    qs.sigma = 0.7;
    qs.fscale = 1;
    qs.base = std::exp(1.0);
    qs.fentry = scaledExp;
    qs.userptr = &qs;
    double r = 0;
    ASSERT_EQ(zhrdys(&qs, &r), 0);
    EXPECT_NEAR(std::log(r) + qs.nshft, 800 + 0.5 * std::log(M_PI), 1e-12);
}

TEST(Quadrature, FailuresLeaveTheResultUnset)
{
    // Nothing at the peak; a callback that gives up; no halving allowed (never
    // converges); no convergence test (the cycle limit ends it).
    int n = 0;
    const struct {
        int (*f)(void*, double*, double);
        double eps;
        int cycles, ctype;
    } cases[] = {{zero, 1e-12, 10, 0},
                 {abortAfter, 1e-12, 10, 0},
                 {normalDensity, 1e-16, 0, 0},
                 {normalDensity, 1e-12, 8, 7}};
    for (const auto& c : cases) {
        shrdarg qs;
        qs.eps = c.eps;
        qs.cycles = c.cycles;
        qs.c_type = c.ctype;
        qs.sigma = 1;
        qs.fentry = c.f;
        qs.userptr = &n;
        double r = 42;
        EXPECT_EQ(zhrdys(&qs, &r), 1) << c.cycles << " " << c.ctype;
        EXPECT_EQ(r, 42.0);
    }
}

TEST(Quadrature, ExactFiniteBoundaryIsNotSuccessByDefault)
{
    // On [30, infinity) the nodes reach the end point 30 exactly (30 + e^u
    // rounds to 30) while the integrand there is still significant: the
    // truncated sum must not pass as converged.
    GammaKernel g{12};
    shrdarg qs;
    qs.eps = 1.110223024625157e-16;
    qs.cycles = 15;
    qs.i_type = 2;
    qs.c_type = 1;
    qs.a = 30;
    qs.peak = 36;
    qs.sigma = 1.0 / std::log(12.0);
    qs.fentry = gammaKernel;
    qs.userptr = &g;
    EXPECT_EQ(qs.cntnu, 1);
    double r = 42;
    EXPECT_EQ(zhrdys(&qs, &r), 1);
    EXPECT_EQ(qs.ReachedExactFiniteBoundary, 1);
    EXPECT_EQ(qs.ExactFiniteBoundary, 30.0);
    EXPECT_EQ(r, 42.0);
    // A caller that accepts the truncation says so through cntnu.
    qs.cntnu = 0;
    ASSERT_EQ(zhrdys(&qs, &r), 0);
    EXPECT_TRUE(Near(r, 39916800.0 * 6.38770253992734e-05, 1e-12)); // Gamma(12) Q(12, 30)
}

TEST(BSpline, MatchesReference)
{
    Table t("numeric_bspline.csv");
    const double inner[5] = {0, 1, 2.5, 3, 4};
    for (int deg = 1; deg <= 3; ++deg) {
        std::vector<double> knots;
        for (int i = 0; i < deg; ++i)
            knots.push_back(0);
        for (double v : inner)
            knots.push_back(v);
        for (int i = 0; i < deg; ++i)
            knots.push_back(4);
        int nk = static_cast<int>(knots.size());
        for (size_t i = 0; i < t.size(); ++i) {
            if (t.num(i, "degree") != deg || t.num(i, "col") != 0)
                continue;
            double x = t.num(i, "x");
            int ki = deg;
            double b[4], dr[4], dl[4];
            ASSERT_EQ(zmaopb(x, deg, nk, &ki, knots.data(), b, dr, dl), 0) << deg << " " << x;
            // bspline[r] is basis function ki - 1 - deg + r.
            double sum = 0;
            for (int r = 0; r <= deg; ++r) {
                int col = ki - 1 - deg + r;
                size_t row = i + static_cast<size_t>(col);
                ASSERT_EQ(t.num(row, "col"), col);
                EXPECT_NEAR(b[r], t.num(row, "value"), 1e-15) << deg << " " << x << " col " << col;
                sum += b[r];
            }
            EXPECT_NEAR(sum, 1.0, 1e-15);
        }
    }
}

TEST(BSpline, EdgesAndClamping)
{
    double knots[3] = {0, 1, 2};
    double b[4], dr[4], dl[4];
    int ki = 0;
    EXPECT_EQ(zmaopb(0.0, 1, 3, &ki, knots, b, dr, dl), 0);
    EXPECT_EQ(b[0], 1.0);
    EXPECT_EQ(b[1], 0.0);
    ki = 0;
    EXPECT_EQ(zmaopb(0.5, 1, 3, &ki, knots, b, dr, dl), 0);
    EXPECT_EQ(b[0], 0.5);
    EXPECT_EQ(b[1], 0.5);
    EXPECT_EQ(zmaopb(7.0, 1, 3, &ki, knots, b, dr, dl), 1);
    EXPECT_EQ(b[0], 0.0);
    EXPECT_EQ(b[1], 1.0);
    double k2[4] = {0, 1, 2, 3};
    ki = 0;
    EXPECT_EQ(zmaopb(0.5, 2, 4, &ki, k2, b, dr, dl), -1); // below knots[degree - 1]
    ki = 0;
    double b0[1];
    EXPECT_EQ(zmaopb(1.5, 0, 3, &ki, knots, b0, dr, dl), 0);
    EXPECT_EQ(b0[0], 1.0);
}
