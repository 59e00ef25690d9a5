// Distribution function, density and quantile of a finite mixture of
// normal distributions, on the log scale.
#include "numeric/normal.h"

#include "numeric/gamma.h"
#include "runtime/missing.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace
{

constexpr double kStart = -9007199254740992.0; // -2^53: log of "nothing yet"
constexpr double kLn2 = 0.6931471805599453;

double LogSumOfExpProb(double x1, double x2)
{
    if (x1 == x2)
        return x1 + kLn2;
    double m = std::max(x1, x2), s = std::min(x1, x2);
    return m + zln1px(std::exp(s - m));
}

int VerifyQ(NORMAL_MIX_ARG* q)
{
    long n = q->n;
    // A mixture without components is refused (a code of 10 n would read as
    // success when n is 0).
    if (n < 1 || !q->Proportions || !q->Mu || !q->Sigma)
        return 10;
    double largest = 0.0;
    for (long i = 0; i < n; ++i) {
        double w = q->Proportions[i];
        if (wzmis(w) || std::isnan(w) || w < 0.0)
            return static_cast<int>(n + i + 1);
        largest = std::max(largest, w);
    }
    if (!(largest > 0.0))
        return static_cast<int>(10 * n);
    if (largest >= DBL_MAX / n)
        for (long i = 0; i < n; ++i)
            q->Proportions[i] /= largest;
    double sum = 0.0;
    for (long i = 0; i < n; ++i) {
        double s = q->Sigma[i];
        if (wzmis(s) || std::isnan(s) || s < 0.0 || wzmis(q->Mu[i]) || std::isnan(q->Mu[i]))
            return static_cast<int>(2 * n + i + 1);
        sum += q->Proportions[i];
    }
    if (!(sum > 0.0) || std::isinf(sum))
        return static_cast<int>(10 * n);
    for (long i = 0; i < n; ++i)
        q->Proportions[i] /= sum;
    if (q->Purpose & 6) {
        // Shell sort by ascending mean with halving gaps.
        for (long gap = n / 2; gap > 0; gap /= 2)
            for (long i = gap; i < n; ++i)
                for (long j = i - gap; j >= 0 && q->Mu[j] > q->Mu[j + gap]; j -= gap) {
                    std::swap(q->Mu[j], q->Mu[j + gap]);
                    std::swap(q->Sigma[j], q->Sigma[j + gap]);
                    std::swap(q->Proportions[j], q->Proportions[j + gap]);
                }
    }
    q->State |= 1;
    return 0;
}

int ComputeTheProbOrTheDens(NORMAL_MIX_ARG* q, double x)
{
    double ll = kStart, lr = kStart, ld = kStart;
    for (long i = 0; i < q->n; ++i) {
        double w = q->Proportions[i];
        if (!(w > 0.0))
            continue;
        double s = std::max(q->Sigma[i], 1.053671212772351e-8);
        double z = (x - q->Mu[i]) / s;
        double lpl, lpr, lden;
        if (zlognrm(z, &lpl, &lpr, &lden)) {
            q->LogLeftPr = q->LogRightPr = q->LogDensity = korv_missing();
            return 1;
        }
        double lw = std::log(w);
        ll = LogSumOfExpProb(ll, lpl + lw);
        lr = LogSumOfExpProb(lr, lpr + lw);
        ld = LogSumOfExpProb(ld, lden - std::log(s) + lw);
    }
    q->LogLeftPr = std::min(ll, 0.0);
    q->LogRightPr = std::min(lr, 0.0);
    q->LogDensity = ld;
    return 0;
}

// The function whose root is the quantile, on the scale of the current
// Shooting, and its derivative in x.
int ComputeF(NORMAL_MIX_ARG* q, double x, double* f, double* df)
{
    if (ComputeTheProbOrTheDens(q, x))
        return 1;
    switch (q->Shooting) {
    case 1: // log lower tail
        *f = q->LogLeftPr - std::log(q->QTarget);
        *df = std::exp(q->LogDensity - q->LogLeftPr);
        return 0;
    case 2: // lower tail
        *f = std::exp(q->LogLeftPr) - q->QTarget;
        *df = std::exp(q->LogDensity);
        return 0;
    case 3: // log upper tail, negated so that it increases with x
        *f = std::log(1.0 - q->QTarget) - q->LogRightPr;
        *df = std::exp(q->LogDensity - q->LogRightPr);
        return 0;
    default:
        return 1000;
    }
}

// Safeguarded Newton steps inside a bracket [lo, hi] with f(lo) < 0 < f(hi);
// a step that leaves the bracket is replaced by bisection.
int SolveInBracket(NORMAL_MIX_ARG* q, double lo, double hi)
{
    double x = q->InitialGuess;
    if (!(x > lo && x < hi))
        x = (lo + hi) / 2.0;
    double prev = x;
    for (int it = 0; it < 200; ++it) {
        double f, df;
        int rc = ComputeF(q, x, &f, &df);
        if (rc)
            return rc;
        if (f < 0)
            lo = x;
        else
            hi = x;
        if (std::fabs(f) < 1e-5 && std::fabs(x - prev) < 1e-5 && it > 0) {
            q->Quantile = x;
            return 0;
        }
        prev = x;
        double nx = df > 0 ? x - f / df : (lo + hi) / 2.0;
        if (!(nx > lo && nx < hi))
            nx = (lo + hi) / 2.0;
        if (hi - lo < 1e-12 * std::max(1.0, std::fabs(x))) {
            q->Quantile = x;
            return 0;
        }
        x = nx;
    }
    return 1;
}

double lowerTail(NORMAL_MIX_ARG* q, double x)
{
    ComputeTheProbOrTheDens(q, x);
    return std::exp(q->LogLeftPr);
}

int ComputeTheQuantile(NORMAL_MIX_ARG* q)
{
    double p;
    if (q->Purpose & 2)
        p = q->Probability;
    else
        p = 1.0 - q->targetSDF;
    if (!(p > 0.0 && p < 1.0))
        return 1;
    q->QTarget = p;
    long n = q->n;
    // Locate the target among the component means.
    long first = 0, last = n - 1;
    while (first < n && !(q->Proportions[first] > 0))
        ++first;
    while (last > 0 && !(q->Proportions[last] > 0))
        --last;
    double sFirst = std::max(q->Sigma[first], 1.053671212772351e-8);
    double sLast = std::max(q->Sigma[last], 1.053671212772351e-8);
    double lo, hi;
    if (p <= lowerTail(q, q->Mu[first])) {
        q->Shooting = 1;
        q->InitialGuess = q->Mu[first] + sFirst * zprobit(p);
        hi = q->Mu[first];
        lo = std::min(q->InitialGuess, hi) - sFirst;
        for (int i = 0; lowerTail(q, lo) > p; ++i) {
            if (i > 200)
                return 1;
            lo -= (hi - lo);
        }
    } else if (p >= lowerTail(q, q->Mu[last])) {
        q->Shooting = 3;
        q->InitialGuess = q->Mu[last] + sLast * zprobit(p);
        lo = q->Mu[last];
        hi = std::max(q->InitialGuess, lo) + sLast;
        for (int i = 0; lowerTail(q, hi) < p; ++i) {
            if (i > 200)
                return 1;
            hi += (hi - lo);
        }
    } else {
        q->Shooting = 2;
        long i = first;
        while (i + 1 <= last && lowerTail(q, q->Mu[i + 1]) < p)
            ++i;
        lo = q->Mu[i];
        hi = q->Mu[std::min(i + 1, last)];
        q->InitialGuess = (lo + hi) / 2.0;
    }
    q->Left = lo;
    q->Right = hi;
    int rc = SolveInBracket(q, lo, hi);
    if (rc)
        return rc;
    return ComputeTheProbOrTheDens(q, q->Quantile);
}

} // namespace

int zmxnorm(NORMAL_MIX_ARG* q)
{
    if (!(q->State & 1)) {
        int rc = VerifyQ(q);
        if (rc)
            return rc;
    }
    if (q->Purpose & 6)
        return ComputeTheQuantile(q);
    if (q->Purpose != 0)
        return 1;
    if (wzmis(q->Quantile) || std::isnan(q->Quantile)) {
        q->LogLeftPr = q->LogRightPr = q->LogDensity = korv_missing();
        return 1;
    }
    return ComputeTheProbOrTheDens(q, q->Quantile);
}
