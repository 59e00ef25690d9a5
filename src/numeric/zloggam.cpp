// Gamma probabilities, densities and quantiles on the log scale.
#include "numeric/gamma.h"

#include "numeric/gamma_internal.h"
#include "numeric/normal.h"
#include "numeric/quad.h"
#include "numeric/solvers.h"
#include "runtime/missing.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>

namespace
{

constexpr double kSpecialLog = -1.3407807929943e154;
constexpr double kTiny = 2.2250738585072014e-308;

// log(1 + x), with a fixed very negative value where 1 + x is exactly 0.
double SpecialLog1PlusX(double x)
{
    if (1.0 + x == 0.0)
        return kSpecialLog;
    return zln1px(x);
}

// The asymptotic series of the upper tail for z much larger than a:
// Q = z^(a-1) e^-z / Gamma(a) (1 + (a-1)/z + (a-1)(a-2)/z^2 + ...).
int zasgam(ARGGAM* q)
{
    double a = q->a, z = q->z;
    double term = 1.0, sum = 0.0;
    bool done = false;
    for (int k = 1; k < 100; ++k) {
        term *= (a - k) / z;
        sum += term;
        if (std::fabs(term) <= 1e-12 * std::fabs(1.0 + sum)) {
            done = true;
            break;
        }
    }
    if (!done)
        return 1;
    double lg = zlgamma(a);
    q->ldens = (a - 1.0) * std::log(z) - z - lg;
    q->lpr = zln1px(sum) + q->ldens;
    q->lpl = SpecialLog1PlusX(-std::exp(q->lpr));
    q->f = sum;
    q->method = 1;
    return 0;
}

// Wilson-Hilferty without the correction term, both log tails from the
// normal distribution at the cube-root deviate.
int lwilhil(ARGGAM* q, double a, double z)
{
    double s9a = std::sqrt(9.0 * a);
    double w = (std::cbrt(z / a) - 1.0 + 1.0 / (9.0 * a)) * s9a;
    double ld;
    if (zlognrm(w, &q->lpl, &q->lpr, &ld))
        return 1;
    q->method = 2;
    return 0;
}

// Series and continued fractions on the log scale.
int zbsgam(ARGGAM* q)
{
    double a = q->a, z = q->z;
    bool shifted = a < 1.0;
    double ap = shifted ? a + 1.0 : a;
    q->am1 = ap - 1.0;
    double lnf = zlgprefx(ap, z);
    q->ldens = lnf;
    if (ap >= 1e9 && std::fabs(z - ap) <= 0.7 * std::sqrt(ap) + 0.02 * ap)
        return lwilhil(q, ap, z);
    double raw = 0.0;
    bool upper = false;
    if (ap < z && z > 1.0) {
        if (!zcnf1gm(ap, z, &raw))
            return 1;
        upper = true;
        q->method = 3;
    } else if (ap < 1e9) {
        if (zsergam(ap, z, &raw)) {
            q->method = 0;
        } else {
            if (!zcnf2gm(ap, z, &raw))
                return 1;
            q->method = 4;
        }
    } else {
        if (!zcnf2gm(ap, z, &raw))
            return 1;
        q->method = 4;
    }
    q->f = raw;
    double t;
    if (!shifted) {
        if (!(raw > 0))
            return 1;
        t = lnf + std::log(raw);
    } else if (upper) {
        if (!(raw > 1.0))
            return 1;
        t = lnf + std::log(raw - 1.0);
    } else {
        t = lnf + SpecialLog1PlusX(raw);
    }
    if (shifted)
        q->ldens = lnf + std::log(a) - std::log(z);
    double other = SpecialLog1PlusX(-std::exp(t));
    if (upper) {
        q->lpr = t;
        q->lpl = other;
    } else {
        q->lpl = t;
        q->lpr = other;
    }
    return 0;
}

struct IntegrandState {
    double am1; // a' - 1
    shrdarg* qs;
};

// t^(a'-1) e^-t relative to e^nshft; the scale is raised to the integer part
// of the log kernel whenever the log kernel exceeds it.
int fntrgam(void* p, double* value, double t)
{
    auto* st = static_cast<IntegrandState*>(p);
    double lk = st->am1 * std::log(t) - t;
    if (lk > 2147483647.0 || lk < -2147483647.0) {
        if (lk > 0)
            return 1;
        *value = 0.0;
        return 0;
    }
    if (lk > st->qs->nshft)
        st->qs->nshft = static_cast<int>(lk);
    double e = lk - st->qs->nshft;
    *value = e < -745.0 ? 0.0 : std::exp(e);
    return 0;
}

int ComputeTheProbability(ARGGAM* q)
{
    double a = q->a, z = q->z;
    if (wzmis(a) || wzmis(z) || !(z >= 0.0) || !(a > 1e-9))
        return 1;
    q->eps = std::max(q->eps, 5.551115123125785e-16);
    if (z == 0.0) {
        q->lpl = -DBL_MAX;
        q->lpr = 0.0;
        q->ldens = a > 1.0 ? -DBL_MAX : (a < 1.0 ? DBL_MAX : 0.0);
        return 0;
    }
    int rc;
    if (z / a >= 100.0 && a >= 0.5)
        rc = zasgam(q);
    else
        rc = zbsgam(q);
    if (rc)
        rc = zintgam(q);
    if (!rc && (q->lpl > 0.0 || q->lpr > 0.0))
        rc = 1;
    return rc;
}

// Quantile from Prob: bracketing, then secant steps in (log x, log-odds).
int ComputeTheQuantile(ARGGAM* q)
{
    double prob = q->Prob, a = q->a;
    if (!(prob > 0.0 && prob <= 0.9999999894632878) || !(a > 1e-9))
        return 1;
    double x0 = std::max(1.0, a + zprobit(prob) * std::sqrt(a));
    q->MultiplierUp = std::min(3.0, std::max(1.5, 1.0 + (1.0 / a) / x0));
    q->MultiplierDown = std::min(0.9, 1.0 / q->MultiplierUp);
    double lp = std::log(prob);
    double target = std::log(prob / (1.0 - prob));
    auto eval = [&](double x, double* lodds) {
        q->z = x;
        if (ComputeTheProbability(q))
            return 1;
        *lodds = q->lpl - q->lpr;
        return 0;
    };
    double x = x0, o;
    if (eval(x, &o))
        return 1;
    double xPrev = x, oPrev = o;
    // Bracket: move down while the lower tail exceeds Prob, up while below.
    int steps = 0;
    if (q->lpl > lp) {
        while (q->lpl > lp) {
            if (++steps > 50)
                return 1;
            xPrev = x;
            oPrev = o;
            x *= q->MultiplierDown;
            if (eval(x, &o))
                return 1;
        }
    } else if (q->lpl < lp) {
        while (q->lpl < lp) {
            if (++steps > 50)
                return 1;
            xPrev = x;
            oPrev = o;
            x *= q->MultiplierUp;
            if (eval(x, &o))
                return 1;
        }
    } else {
        q->z = x;
        return 0;
    }
    double x1 = xPrev, o1 = oPrev, x2 = x, o2 = o;
    for (int it = 0; it < 70; ++it) {
        if (std::fabs(o1 - o2) <= kTiny * std::max(2.0, std::fabs(target - o2))) {
            q->z = x2;
            return 0;
        }
        double xn = x2 * std::exp((std::log(x1) - std::log(x2)) * (target - o2) / (o1 - o2));
        if (!(xn >= kTiny))
            return 1;
        if (std::fabs(x2 - xn) <
            1.053671212772351e-8 * std::max(std::fabs(xn), q->AbsoluteLowerBound)) {
            q->z = xn;
            double on;
            if (eval(xn, &on))
                return 1;
            q->z = xn;
            return 0;
        }
        double on;
        if (eval(xn, &on))
            return 1;
        x1 = x2;
        o1 = o2;
        x2 = xn;
        o2 = on;
    }
    return 1;
}

int ComputeTheQUANTInitialGuess(ARG_QUANT* qs)
{
    auto* q = static_cast<ARGGAM*>(qs->UserPtr);
    double a = q->a;
    qs->InitialQ = std::max(1.0, a - zprobit(q->targetSDF) * std::sqrt(a));
    qs->MultiplierUp = std::max(1.5, 1.0 + (1.0 / a) / qs->InitialQ);
    qs->MultiplierDown = std::min(0.9, 1.0 / qs->MultiplierUp);
    return 0;
}

int ComputeTheQUANTFunction(ARG_QUANT* qs)
{
    auto* q = static_cast<ARGGAM*>(qs->UserPtr);
    q->z = qs->Q;
    if (ComputeTheProbability(q))
        return 1;
    *qs->TargetPtr = q->lpr;
    return 0;
}

int ComputeTheSDFQuantile(ARGGAM* q)
{
    if (!(q->targetSDF > 0.0 && q->targetSDF < 1.0) || !(q->a > 1e-9)) {
        q->z = korv_missing();
        return 1;
    }
    ARG_QUANT qs;
    double target = std::log(q->targetSDF);
    qs.targetType = 2;
    qs.DomainType = 2;
    qs.EpsQ = 1.053671212772351e-8;
    qs.EpsProb = 1e-13;
    qs.TargetPtr = &target;
    qs.UserPtr = q;
    qs.MinPossibleQ = 0.0;
    qs.GetAnInitialGuess = ComputeTheQUANTInitialGuess;
    qs.ComputeTheFunction = ComputeTheQUANTFunction;
    int rc = zquant(&qs);
    if (rc) {
        q->z = korv_missing();
        return 1;
    }
    q->z = qs.Q;
    return 0;
}

} // namespace

int zintgam(ARGGAM* q)
{
    double a = q->a, z = q->z;
    if (!(z > 0.0) || !(a > 0.0))
        return 1;
    bool shifted = a < 1.0;
    double ap = shifted ? a + 1.0 : a;
    shrdarg qs;
    IntegrandState st{ap - 1.0, &qs};
    qs.eps = std::max(q->eps, 5.551115123125785e-16);
    qs.cycles = 30;
    qs.i_type = 2;
    qs.c_type = 1;
    qs.a = z;
    qs.fscale = 1;
    qs.base = std::exp(1.0);
    qs.AcceptLogOne = 1;
    double m = std::max(ap - 1.0, 0.0);
    qs.peak = z > m ? z * (1.0 / ap + 1.0) : m;
    qs.sigma = 1.0 / std::max(1.0, std::log(ap));
    qs.fentry = fntrgam;
    qs.userptr = &st;
    q->qs = &qs;
    double integral = 0.0;
    int rc = zhrdys(&qs, &integral);
    q->qs = nullptr;
    if (rc || !(integral > 0.0))
        return 1;
    double lpr = std::log(integral) - zlgamma(ap) + qs.nshft;
    lpr = std::min(lpr, 0.0);
    double ldens = zlgprefx(ap, z);
    if (shifted) {
        // Q(a, z) = Q(a+1, z) - z^a e^-z / Gamma(a+1).
        double lterm = ldens; // log of z^a e^-z / Gamma(a+1)
        if (!(lpr > lterm))
            return 1;
        lpr += SpecialLog1PlusX(-std::exp(lterm - lpr));
        ldens = ldens + std::log(a) - std::log(z);
    }
    q->lpr = lpr;
    q->ldens = ldens;
    q->lpl = SpecialLog1PlusX(-std::exp(lpr));
    q->method = 5;
    return 0;
}

int zloggam(ARGGAM* q)
{
    if (q->Objective < 1 || q->Objective > 15)
        return 1;
    q->eps = std::max(q->eps, 8.881784197001256e-16);
    q->AbsoluteLowerBound = std::max(q->AbsoluteLowerBound, 2.225073858507202e-305 / q->eps);
    if (q->Objective & 4)
        return ComputeTheQuantile(q);
    if (q->Objective & 8)
        return ComputeTheSDFQuantile(q);
    int rc = 0;
    if (q->Objective & 1) {
        rc = ComputeTheProbability(q);
        if (rc)
            return rc;
    }
    if (q->Objective & 2) {
        double ld;
        if (zldngam(q->z, q->a, &ld))
            return 1;
        q->ldens = ld;
    }
    return rc;
}
