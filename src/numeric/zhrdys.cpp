// Adaptive quadrature: the trapezoidal rule in a variable u in which the
// integrand decays on both sides of its peak (the identity on the real line,
// x = a + e^u on a half-line, a logistic map on a finite interval). The step
// is halved, adding only the new nodes, until two estimates agree; for
// analytic integrands the error then falls roughly with the square of the
// change, so a tolerance of sqrt(eps) on the change gives about eps.
#include "numeric/quad.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace
{

constexpr double kHuge = 1.3407807929943e154;

class Integrator
{
  public:
    explicit Integrator(shrdarg* qs) : q(*qs) {}

    int run(double* prob);

  private:
    shrdarg& q;
    double u0 = 0;
    double estimate = 0;          // the previous level's estimate (scaled footing)
    double sum = 0;               // w1 plus all node terms of the current level
    double newSum = 0;            // the current cycle's new nodes
    int extentR = 0, extentL = 0; // furthest node index on each side, in steps h
    bool boundaryR = false, boundaryL = false;

    // The mapped term at u; returns nonzero on failure. Rescales every
    // accumulator when the integrand raises its scale.
    int term(double u, double* out, bool* atBoundary);
    void rescaleBy(int rise);
    int side(int dir, bool firstLevel);
};

void Integrator::rescaleBy(int rise)
{
    double e = -rise * q.logbase;
    double f = e < -708.3964185 ? 0.0 : std::exp(e);
    estimate *= f;
    sum *= f;
    newSum *= f;
    q.w1 *= f;
}

int Integrator::term(double u, double* out, bool* atBoundary)
{
    double x, jac;
    *atBoundary = false;
    switch (q.i_type) {
    case 2: {
        double e = std::exp(u);
        x = q.a + e;
        jac = e;
        *atBoundary = x == q.a;
        break;
    }
    case 3: {
        if (u <= 0) {
            double e = std::exp(u);
            x = q.a + q.bma * (e / (1.0 + e));
            jac = e / ((1.0 + e) * (1.0 + e));
        } else {
            double e = std::exp(-u);
            x = q.b - q.bma * (e / (1.0 + e));
            jac = e / ((1.0 + e) * (1.0 + e));
        }
        *atBoundary = x == q.a || x == q.b;
        break;
    }
    default:
        x = u;
        jac = 1.0;
        break;
    }
    if (std::isinf(x)) {
        *out = 0.0;
        return 0;
    }
    int before = q.nshft;
    double v = 0.0;
    if (q.fentry(q.userptr, &v, x) || q.quit) {
        q.quit = 1;
        return 1;
    }
    if (q.fscale && q.nshft != before) {
        double e = (q.nshft - before) * q.logbase;
        if (e < -709.782712893384)
            return 1;
        rescaleBy(q.nshft - before);
    }
    *out = v * jac;
    return 0;
}

// Adds the nodes of one side. On the first level every node k = 1, 2, ...;
// on later levels the odd nodes between the old ones, then further odd nodes
// until the terms are negligible.
int Integrator::side(int dir, bool firstLevel)
{
    int& extent = dir > 0 ? extentR : extentL;
    bool& boundary = dir > 0 ? boundaryR : boundaryL;
    int& count = dir > 0 ? q.nright : q.nleft;
    int stepBy = firstLevel ? 1 : 2;
    int k = 1;
    double last[3] = {0, 0, 0};
    int added = 0;
    for (;; k += stepBy) {
        if (boundary && k > extent)
            break;
        bool beyond = k > extent;
        if (beyond && added >= 3 &&
            std::fabs(last[0]) + std::fabs(last[1]) + std::fabs(last[2]) <=
                q.eps3 * std::fabs(sum + newSum))
            break;
        double t;
        bool atBoundary;
        if (term(u0 + dir * k * q.h, &t, &atBoundary))
            return 1;
        newSum += t;
        last[added % 3] = t;
        ++added;
        if (++count > q.MaxCount)
            return 1;
        if (std::fabs(sum + newSum) > kHuge) {
            q.quit = 1;
            return 1;
        }
        if (beyond)
            extent = k;
        if (atBoundary) {
            q.ReachedExactFiniteBoundary = 1;
            q.ExactFiniteBoundary = dir > 0 && q.i_type == 3 ? q.b : q.a;
            q.EstimatedErrorAtExactFiniteBoundary = t;
            // Still significant: the sum is truncated at the end point. That
            // is reported as the caller's cntnu (failure unless the caller
            // chose 0, in which case the truncated side is accepted and the
            // iteration goes on to a result).
            if (std::fabs(t) > q.eps * std::fabs(sum + newSum) && q.cntnu != 0)
                return -1;
            boundary = true;
            extent = k;
            break;
        }
    }
    return 0;
}

int Integrator::run(double* prob)
{
    if (!q.fentry || !(q.eps > 0) || !(q.sigma > 0))
        return 1;
    q.eps3 = q.eps / 3.0;
    double tol = q.UseTighterConvergence == 1234567 ? std::pow(q.eps, 0.75) : std::sqrt(q.eps);
    q.MaxCount = std::max(q.MaxCount, 32767);
    if (q.fscale) {
        q.logbase = std::log(q.base);
        q.rlogb = 1.0 / q.logbase;
    }
    q.quit = 0;
    q.acycles = 0;
    q.ReachedExactFiniteBoundary = 0;
    q.nleft = q.nright = 10000;
    q.bma = q.b - q.a;
    switch (q.i_type) {
    case 2: {
        double d = q.peak - q.a;
        u0 = std::log(d > 0 ? d : q.sigma);
        break;
    }
    case 3: {
        double r = (q.peak - q.a) / (q.b - q.peak);
        bool nearB = std::fabs(q.b - q.peak) <= 1.053671212772351e-8 * std::fabs(q.b);
        u0 = nearB || !(r > 0) || std::isinf(r) ? 0.0 : std::log(r);
        if (!(q.bma > 0))
            return 1;
        break;
    }
    default:
        u0 = q.peak;
        break;
    }
    q.h = q.sigma;
    double mult = q.i_type == 3 ? q.bma : 1.0;

    // First level.
    bool atBoundary;
    double w;
    if (term(u0, &w, &atBoundary))
        return 1;
    q.w1 = w;
    if (std::fabs(w) < (1.0 / q.eps) / DBL_MAX)
        return 1;
    sum = w;
    newSum = 0;
    for (int dir : {1, -1}) {
        int rc = side(dir, true);
        if (rc)
            return rc < 0 ? q.cntnu : 1;
    }
    sum += newSum;
    estimate = q.h * sum * mult;
    q.w1 = estimate;

    for (;;) {
        if (q.acycles >= q.cycles)
            return 1;
        ++q.acycles;
        double hOld = q.h;
        q.h0 = hOld;
        q.h = hOld / 2.0;
        extentR *= 2;
        extentL *= 2;
        newSum = 0;
        for (int dir : {1, -1}) {
            int rc = side(dir, false);
            if (rc)
                return rc < 0 ? q.cntnu : 1;
        }
        double fresh = (estimate + hOld * newSum * mult) / 2.0;
        sum += newSum;
        double old = estimate;
        estimate = fresh;
        q.w1 = fresh;
        double diff = std::fabs(fresh - old);
        q.crit = fresh != 0 ? diff / std::fabs(fresh) : diff;
        bool ok = false;
        if (q.c_type == 0)
            ok = diff < std::max(std::fabs(fresh) * tol, q.eps);
        else if (q.c_type == 1) {
            ok = diff < std::fabs(fresh) * tol;
            if (!ok && q.fscale && q.AcceptLogOne && fresh > 0) {
                double lg = std::log(fresh) * q.rlogb + q.nshft;
                ok = std::fabs(lg) < q.eps;
            }
        }
        if (ok) {
            *prob = fresh;
            return 0;
        }
    }
}

} // namespace

int zhrdys(shrdarg* qs, double* prob)
{
    Integrator it(qs);
    return it.run(prob);
}
