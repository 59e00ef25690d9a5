// Band distributions of the Brownian bridge.
#include "numeric/bands.h"

#include "numeric/binorm.h"
#include "numeric/normal.h"
#include "runtime/missing.h"

#include <algorithm>
#include <cmath>

namespace
{

constexpr double kEpsA = 1.053671212772351e-8;
constexpr double kHuge = 1.3407807929943e154; // 2^512
constexpr double kSqrt2Pi = 2.5066282746310002;
constexpr double kPi2Over8 = 1.2337005501361697; // pi^2 / 8
// Bound on the bracketing loops, which otherwise could run on where the
// probability is flat or cannot be evaluated.
constexpr int kMaxBracketSteps = 200;

namespace ksb
{

// P(sup over [0, A] of |B| <= lambda).
int ComputeTheProbability(double lambda, double A, double* prob)
{
    double K = zprbksa(lambda);
    if (K == 1.0 || A > 0.99999999) {
        *prob = K;
        return 0;
    }
    double c = -lambda / std::sqrt(A * (1.0 - A));
    double w = lambda * std::sqrt((1.0 - A) / A);
    double S = -zprbnrm(c);
    for (int k = 1;; ++k) {
        if (k > 499)
            return 1;
        double term = std::exp(-2.0 * k * k * lambda * lambda) *
                      (zprbnrm(c + 2.0 * k * w) + zprbnrm(c - 2.0 * k * w));
        S += k % 2 ? term : -term;
        // A term that vanished entirely (all normal factors underflowed)
        // also ends the series.
        if (term == 0.0 || std::fabs(term) < 1.110223024625157e-16 * std::fabs(S))
            break;
    }
    *prob = std::clamp(2.0 * S + K, 0.0, 1.0);
    return 0;
}

int ComputeTheQuantile(ARG_KOLMOGOROV_B* q)
{
    double prob = q->Prob;
    if (!(prob >= kEpsA && prob <= 1.0 - kEpsA))
        return 1;
    double tol = std::max(1e-5 * prob, 1.110223024625157e-16);
    double lambda = std::exp((zprobit(prob) - 0.62108) / 3.338);
    double P;
    if (ComputeTheProbability(lambda, q->A, &P))
        return 1;
    P = std::clamp(P, 0.0, 0.99999999);
    double lPrev = lambda, pPrev = P;
    int steps = 0;
    while (P > prob || P < prob) {
        bool down = P > prob;
        if (++steps > kMaxBracketSteps)
            return 1;
        lPrev = lambda;
        pPrev = P;
        lambda *= down ? q->MultiplierDown : q->MultiplierUp;
        if (ComputeTheProbability(lambda, q->A, &P))
            return 1;
        P = std::clamp(P, 0.0, 0.99999999);
        if ((P > prob) != down || P == prob)
            break;
    }
    if (P == prob) {
        q->Quantile = lambda;
        return 0;
    }
    if (P == pPrev)
        return 1;
    const double target = 1.0 / prob - 1.0;
    for (int it = 0; it < 30; ++it) {
        if (P == 0.0 || pPrev == 0.0)
            return 1;
        double o = 1.0 / P - 1.0, oPrev = 1.0 / pPrev - 1.0;
        double lNew = lambda * std::exp(std::log(o / target) / std::log(o / oPrev) *
                                        std::log(lPrev / lambda));
        double pNew;
        if (ComputeTheProbability(lNew, q->A, &pNew))
            return 1;
        if (std::fabs(pNew - prob) < tol) {
            q->Quantile = lNew;
            q->Prob = prob;
            return 0;
        }
        if (pNew == P)
            return 1;
        lPrev = lambda;
        pPrev = P;
        lambda = lNew;
        P = pNew;
    }
    return 1;
}

} // namespace ksb

namespace wbr
{

bool VerifyParms(ARG_WIENER_BRIDGE* w)
{
    if (!(w->ALow >= 0.0) || !(w->AHigh <= 1.0) || !(w->ALow < w->AHigh))
        return false;
    w->ALowP = w->ALow / (1.0 - w->ALow);
    w->SqrtALowP = std::sqrt(w->ALowP);
    w->SqrtALow = std::sqrt(w->ALow);
    w->AHighP = w->AHigh == 1.0 ? kHuge : w->AHigh / (1.0 - w->AHigh);
    w->SqrtAHighP = std::sqrt(w->AHighP);
    w->MultiplierUp = 1.4;
    w->MultiplierDown = 0.7;
    return true;
}

// Bivariate normal rectangle probability centred at (u, v).
int ComputeRectProb(const ARG_WIENER_BRIDGE* w, double u, double v, double* r)
{
    int e1, e2, e3, e4;
    double p = zprbbnr(u + w->Deltau, v + w->Deltav, w->Rho, &e1) +
               zprbbnr(u - w->Deltau, v - w->Deltav, w->Rho, &e2) -
               zprbbnr(u - w->Deltau, v + w->Deltav, w->Rho, &e3) -
               zprbbnr(u + w->Deltau, v - w->Deltav, w->Rho, &e4);
    if (e1 || e2 || e3 || e4)
        return 1;
    *r = p;
    return 0;
}

int ComputeTheProbability(ARG_WIENER_BRIDGE* w, double lambda, double* prob)
{
    w->Deltau = w->ALow == 0.0 ? kHuge : lambda * w->SqrtALowP / w->ALow;
    w->Deltav = w->AHigh == 1.0 ? kHuge : lambda * w->SqrtAHighP / w->AHigh;
    w->Rho = -w->SqrtALowP / w->SqrtAHighP;
    w->u = w->v = 0.0;
    double S;
    if (ComputeRectProb(w, 0.0, 0.0, &S))
        return 1;
    if (S > 0) {
        for (int k = 1;; ++k) {
            if (k > 1000) {
                *prob = S;
                return 1;
            }
            w->u += 2.0 * lambda * w->SqrtALowP;
            w->v += 2.0 * lambda / w->SqrtAHighP;
            double r;
            if (ComputeRectProb(w, w->u, w->v, &r))
                return 1;
            double term = 2.0 * std::exp(-2.0 * k * k * lambda * lambda) * r;
            S += k % 2 ? -term : term;
            if (!(term > 1e-7 * S))
                break;
        }
    }
    *prob = std::clamp(S, 1e-7, 0.9999999);
    return 0;
}

double logit(double p)
{
    return std::log(p / (1.0 - p));
}

// The quantile of the bridge over [0, AHigh] for the same probability.
double ComputeTheInitialGuess(const ARG_WIENER_BRIDGE* w)
{
    ARG_KOLMOGOROV_B kb;
    kb.Objective = 2;
    kb.Prob = w->Prob;
    kb.A = w->AHigh;
    return zprbksb(&kb) == 0 ? kb.Quantile : 0.5;
}

int ComputeTheQuantile(ARG_WIENER_BRIDGE* w)
{
    if (!(w->Prob > 0.0) || !(w->Prob <= 0.9999999894632878))
        return 1;
    w->TargetProb = w->Prob;
    double lambda = ComputeTheInitialGuess(w);
    double P;
    if (ComputeTheProbability(w, lambda, &P))
        return 1;
    double lPrev = lambda, pPrev = P;
    if (P == w->TargetProb) {
        w->Quantile = lambda;
        w->Prob = P;
        return 0;
    }
    bool down = P > w->TargetProb;
    for (int steps = 0;; ++steps) {
        if (steps >= 30)
            return 1;
        lPrev = lambda;
        pPrev = P;
        lambda *= down ? w->MultiplierDown : w->MultiplierUp;
        if (ComputeTheProbability(w, lambda, &P))
            return 1;
        if (P == w->TargetProb) {
            w->Quantile = lambda;
            w->Prob = P;
            return 0;
        }
        if ((P > w->TargetProb) != down)
            break;
    }
    double target = logit(w->TargetProb);
    for (int it = 0; it < 30; ++it) {
        double o = logit(P), oPrev = logit(pPrev);
        if (o == oPrev) {
            w->Quantile = lambda;
            return 1;
        }
        double ll = std::log(lambda), llPrev = std::log(lPrev);
        double lNew = std::exp(ll + (target - o) * (ll - llPrev) / (o - oPrev));
        double pNew;
        if (ComputeTheProbability(w, lNew, &pNew))
            return 1;
        bool done = std::fabs(lambda - lNew) < 1e-5 * std::max(std::fabs(lNew), 1.0);
        lPrev = lambda;
        pPrev = P;
        lambda = lNew;
        P = pNew;
        w->Quantile = lambda;
        w->Prob = P;
        if (done)
            return 0;
    }
    return 1;
}

} // namespace wbr

} // namespace

double zprbksa(double lamda)
{
    if (wzmis(lamda) || std::isnan(lamda))
        return korv_missing();
    if (lamda < 0.01)
        return 0.0;
    if (lamda > 3.5)
        return 1.0;
    double sum = 0.0;
    double K;
    if (lamda > 0.999) {
        double l2 = lamda * lamda;
        for (int k = 1; k < 1000; ++k) {
            double term = std::exp(-2.0 * k * k * l2);
            sum += k % 2 ? term : -term;
            if (term <= 1.110223024625157e-16 * std::fabs(sum))
                break;
        }
        K = 1.0 - 2.0 * sum;
    } else {
        double c = kPi2Over8 / (lamda * lamda);
        for (int k = 1; k < 1000; k += 2) {
            double term = std::exp(-k * k * c);
            sum += term;
            if (term <= 1.110223024625157e-16 * sum)
                break;
        }
        K = kSqrt2Pi / lamda * sum;
    }
    return std::clamp(K, 0.0, 1.0);
}

int zprbksb(ARG_KOLMOGOROV_B* q)
{
    if (!(q->A >= kEpsA))
        return 1000;
    q->MultiplierUp = 1.3;
    q->MultiplierDown = 0.7;
    if (q->A > 1.0)
        return 1;
    if (q->Objective == 1) {
        if (wzmis(q->Quantile) || !(q->Quantile >= 0.0))
            return 1;
        return ksb::ComputeTheProbability(q->Quantile, q->A, &q->Prob);
    }
    if (q->Objective == 2)
        return ksb::ComputeTheQuantile(q);
    return 1;
}

int zprbwbr(ARG_WIENER_BRIDGE* wbr)
{
    int objective = wbr->Objective;
    if (objective < 1 || objective > 3 || !wbr::VerifyParms(wbr))
        return 1;
    int rc = 0;
    if (objective & 2)
        rc = wbr::ComputeTheQuantile(wbr);
    if (!rc && (objective & 1)) {
        if (wzmis(wbr->Quantile) || !(wbr->Quantile >= 0.0))
            rc = 1;
        else
            rc = wbr::ComputeTheProbability(wbr, wbr->Quantile, &wbr->Prob);
    }
    wbr->Objective = objective;
    return rc;
}

int zqmsa(double a1, double a2, double alpha, double* quantile)
{
    *quantile = korv_missing();
    if (!(a1 > 0.0 && a1 <= a2 && a2 <= 1.0) || !(alpha > 0.0 && alpha < 1.0))
        return 1;
    double L = std::log((a2 / (1.0 - a2)) / (a1 / (1.0 - a1)));
    double x = 3.0;
    for (int it = 0; it < 49; ++it) {
        double phi = 0.3989422804014327 * std::exp(-x * x / 2.0);
        double f = phi * ((x - 1.0 / x) * L + 4.0 / x);
        double fp = phi * ((1.0 + 1.0 / (x * x)) * L - 4.0 - 4.0 / (x * x) - x * (x - 1.0 / x) * L);
        double step = std::log(alpha / f) * f / fp;
        if (!std::isfinite(step))
            return 1;
        if (std::fabs(step / x) < 1e-4) {
            *quantile = x + step;
            return 0;
        }
        if (x + step <= 0.0)
            return 1;
        x += step;
    }
    return 1;
}
