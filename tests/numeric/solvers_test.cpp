// The quantile solver on functions with known inverses, and Brent's
// minimiser on functions with known minima.
#include "numeric/normal.h"
#include "numeric/solvers.h"

#include "runtime/missing.h"
#include "support/reference.h"

#include <cmath>

using korvtest::Near;

namespace
{

struct Counter {
    int calls = 0;
    double scale = 1.0;
};

// Logistic distribution function with scale s: F(q) = 1/(1 + e^(-q/s)).
int logisticCdf(ARG_QUANT* qs)
{
    auto* c = static_cast<Counter*>(qs->UserPtr);
    ++c->calls;
    *qs->TargetPtr = 1.0 / (1.0 + std::exp(-qs->Q / c->scale));
    return 0;
}

// log upper tail of the exponential distribution: -q.
int expLogSurvival(ARG_QUANT* qs)
{
    static_cast<Counter*>(qs->UserPtr)->calls++;
    *qs->TargetPtr = -qs->Q;
    return 0;
}

// log lower tail of the standard normal.
int normalLogCdf(ARG_QUANT* qs)
{
    double lpl, lpr, ld;
    zlognrm(qs->Q, &lpl, &lpr, &ld);
    *qs->TargetPtr = lpl;
    return 0;
}

int failing(ARG_QUANT*)
{
    return 77;
}

int startAtOne(ARG_QUANT* qs)
{
    qs->InitialQ = 1.0;
    qs->MultiplierUp = 2.0;
    qs->MultiplierDown = 0.5;
    return 0;
}

} // namespace

TEST(QuantileSolver, KnownInversesForEachTargetAndDomain)
{
    // Logistic (scale 2.5) probability on the real line, exponential log
    // upper tail on the positive half-line, normal log lower tail with
    // hybrid steps.
    const struct {
        int targetType, domainType;
        int (*fn)(ARG_QUANT*);
        bool hybrid;
        double p, want, tol; // absolute for the normal, relative otherwise
    } cases[] = {
        {0, 1, logisticCdf, false, 1e-6, 2.5 * std::log(1e-6 / (1 - 1e-6)), 1e-6},
        {0, 1, logisticCdf, false, 0.02, 2.5 * std::log(0.02 / 0.98), 1e-6},
        {0, 1, logisticCdf, false, 0.3, 2.5 * std::log(0.3 / 0.7), 1e-6},
        {0, 1, logisticCdf, false, 0.5, 0.0, 1e-6},
        {0, 1, logisticCdf, false, 0.77, 2.5 * std::log(0.77 / 0.23), 1e-6},
        {0, 1, logisticCdf, false, 0.999, 2.5 * std::log(0.999 / 0.001), 1e-6},
        {2, 2, expLogSurvival, false, 1e-8, -std::log(1e-8), 5e-8},
        {2, 2, expLogSurvival, false, 0.01, -std::log(0.01), 5e-8},
        {2, 2, expLogSurvival, false, 0.5, -std::log(0.5), 5e-8},
        {2, 2, expLogSurvival, false, 0.9, -std::log(0.9), 5e-8},
        {1, 1, normalLogCdf, true, 1e-12, zprobit(1e-12), 1e-6},
        {1, 1, normalLogCdf, true, 0.05, zprobit(0.05), 1e-6},
        {1, 1, normalLogCdf, true, 0.6, zprobit(0.6), 1e-6},
    };
    for (const auto& c : cases) {
        Counter counter;
        counter.scale = 2.5;
        double target = c.targetType == 0 ? c.p : std::log(c.p);
        ARG_QUANT qs;
        qs.targetType = c.targetType;
        qs.DomainType = c.domainType;
        qs.TargetPtr = &target;
        qs.UserPtr = &counter;
        qs.GetAnInitialGuess = startAtOne;
        qs.ComputeTheFunction = c.fn;
        qs.UseHybrid = c.hybrid;
        qs.EpsProb = 1e-13;
        if (c.domainType == 1)
            qs.MinPossibleQ = -1e300;
        ASSERT_EQ(zquant(&qs), 0) << c.targetType << " " << c.p;
        double scale = c.fn == logisticCdf      ? std::max(1.0, std::fabs(c.want))
                       : c.fn == expLogSurvival ? std::fabs(c.want)
                                                : 1.0;
        EXPECT_NEAR(qs.Q, c.want, c.tol * scale) << c.p;
        EXPECT_LT(counter.calls, 150);
    }
}

TEST(QuantileSolver, ExactHitAtTheStart)
{
    Counter c;
    double target = 0.5; // logistic F(0) = 0.5 is hit at q = 0 on the real line
    ARG_QUANT qs;
    qs.targetType = 0;
    qs.DomainType = 2;
    qs.TargetPtr = &target;
    qs.UserPtr = &c;
    qs.InitialQ = 0.0;
    qs.MultiplierUp = 2;
    qs.MultiplierDown = 0.5;
    qs.ComputeTheFunction = logisticCdf;
    ASSERT_EQ(zquant(&qs), 0);
    EXPECT_EQ(qs.Q, 0.0);
    EXPECT_EQ(qs.LeftQ, qs.Q);
    EXPECT_EQ(qs.RightQ, qs.Q);
}

TEST(QuantileSolver, Failures)
{
    Counter c;
    double target = korv_missing();
    ARG_QUANT qs;
    qs.TargetPtr = &target;
    qs.UserPtr = &c;
    qs.ComputeTheFunction = logisticCdf;
    EXPECT_EQ(zquant(&qs), 12345677);
    ARG_QUANT none;
    EXPECT_EQ(zquant(&none), 1);
    target = 0.3;
    ARG_QUANT cb;
    cb.TargetPtr = &target;
    cb.ComputeTheFunction = failing;
    EXPECT_EQ(zquant(&cb), 77);
    ARG_QUANT below;
    below.TargetPtr = &target;
    below.DomainType = 2;
    below.InitialQ = 0.5;
    below.MinPossibleQ = 1.0;
    below.UserPtr = &c;
    below.ComputeTheFunction = logisticCdf;
    EXPECT_EQ(zquant(&below), 12345677);
    ARG_QUANT type;
    type.TargetPtr = &target;
    type.targetType = 5;
    type.ComputeTheFunction = logisticCdf;
    EXPECT_EQ(zquant(&type), 1);
}

namespace
{

int quadratic(double* r, void*, double x)
{
    *r = (x - 2.0) * (x - 2.0) + 1.0;
    return 0;
}

int expMinus2x(double* r, void*, double x)
{
    *r = std::exp(x) - 2.0 * x;
    return 0;
}

int cosine(double* r, void* n, double x)
{
    ++*static_cast<int*>(n);
    *r = std::cos(x);
    return 0;
}

int refuse(double* r, void*, double x)
{
    *r = 0;
    return x > 1.5 ? 9 : 0;
}

} // namespace

TEST(Brent, FindsKnownMinima)
{
    double xm, ym;
    ASSERT_EQ(zbrent(quadratic, nullptr, 0.0, 1.0, 5.0, 1e-10, 100, &xm, &ym), 0);
    EXPECT_NEAR(xm, 2.0, 1e-8);
    EXPECT_NEAR(ym, 1.0, 1e-15);
    ASSERT_EQ(zbrent(expMinus2x, nullptr, -1.0, 0.0, 3.0, 1e-10, 100, &xm, &ym), 0);
    EXPECT_NEAR(xm, std::log(2.0), 1e-8);
    int calls = 0;
    ASSERT_EQ(zbrent(cosine, &calls, 2.0, 3.0, 5.0, 1e-12, 100, &xm, &ym), 0);
    EXPECT_NEAR(xm, M_PI, 5e-8); // a flat minimum: about sqrt(eps) |x|
    EXPECT_LT(calls, 60);
}

TEST(Brent, LimitsAndCallbackFailure)
{
    double xm = 0, ym = 0;
    EXPECT_EQ(zbrent(quadratic, nullptr, 0.0, 1.0, 5.0, 1e-10, 0, &xm, &ym), 1);
    EXPECT_EQ(xm, 1.0);
    EXPECT_EQ(ym, 2.0);
    EXPECT_EQ(zbrent(quadratic, nullptr, 0.0, 1.0, 5.0, 1e-10, 2, &xm, &ym), 1);
    EXPECT_LE(ym, 2.0);
    EXPECT_EQ(zbrent(refuse, nullptr, 0.0, 1.0, 5.0, 1e-10, 50, &xm, &ym), 9);
}
