// Quantile solver: brackets the solution by geometric steps, then refines it
// by secant steps on the log-odds scale of the function value.
#include "numeric/solvers.h"

#include "numeric/gamma.h"
#include "runtime/missing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace
{

constexpr double kEpsQFloor = 1.053671212772351e-8;

// The log-odds of a function value by target type.
double logOdds(int type, double t)
{
    if (type == 0) {
        t = std::clamp(t, 1.110223024625157e-16, 0.999999999);
        return std::log(t / (1.0 - t));
    }
    t = std::min(t, -2.220446049250314e-16);
    double l = std::log(-zexpm1(t));
    return type == 1 ? t - l : l - t;
}

bool isMissingBits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return (b >> 48) == 0xFFFFu;
}

// Evaluates at q; returns the callback's code. Sets Converged on a hit.
int EvaluateTarget(ARG_QUANT* qs, double q)
{
    qs->Q = q;
    int rc = qs->ComputeTheFunction(qs);
    if (rc)
        return rc;
    double t = *qs->TargetPtr;
    if (qs->targetType == 0) {
        double tc = std::clamp(t, 1.110223024625157e-16, 0.999999999);
        if (std::fabs(tc - qs->UserTarget) < qs->EpsQ * std::fabs(qs->UserTarget)) {
            qs->Converged = true;
        }
    } else {
        double lr = logOdds(qs->targetType, t);
        if (std::fabs(lr - qs->LogRatioTarget) <
            qs->EpsQ * std::max(1.0, std::fabs(qs->LogRatioTarget)))
            qs->Converged = true;
    }
    qs->Target = t;
    qs->LogRatio = logOdds(qs->targetType, t);
    return 0;
}

// The value increases with q for types 0 and 1 and decreases for type 2, so
// the multipliers that move toward the target swap for type 2.
bool belowTarget(const ARG_QUANT* qs, double t)
{
    return t < qs->UserTarget;
}

int ComputeAtTheTwoEnds(ARG_QUANT* qs)
{
    int rc = EvaluateTarget(qs, qs->LeftQ);
    if (rc)
        return rc;
    qs->LeftTarget = qs->Target;
    qs->LogRatioLeft = qs->LogRatio;
    rc = EvaluateTarget(qs, qs->RightQ);
    if (rc)
        return rc;
    qs->RightTarget = qs->Target;
    qs->LogRatioRight = qs->LogRatio;
    qs->Converged = false;
    return 0;
}

int BracketTheSolution(ARG_QUANT* qs)
{
    if (isMissingBits(qs->UserTarget) || qs->InitialQ < qs->MinPossibleQ) {
        qs->ErrorType = 12345677;
        return 12345677;
    }
    int rc = EvaluateTarget(qs, qs->InitialQ);
    if (rc)
        return rc;
    if (qs->Converged || qs->Target == qs->UserTarget) {
        qs->LeftQ = qs->RightQ = qs->Q;
        qs->LeftTarget = qs->RightTarget = qs->Target;
        qs->LogRatioLeft = qs->LogRatioRight = qs->LogRatio;
        qs->Converged = true;
        return 0;
    }
    double up = qs->targetType == 2 ? qs->MultiplierDown : qs->MultiplierUp;
    double down = qs->targetType == 2 ? qs->MultiplierUp : qs->MultiplierDown;
    bool below = belowTarget(qs, qs->Target);
    double q = qs->Q;
    double prevQ = q, prevT = qs->Target, prevL = qs->LogRatio;
    for (int step = 0;; ++step) {
        if (step >= 70) {
            qs->ErrorType = 1;
            return 1;
        }
        prevQ = qs->Q;
        prevT = qs->Target;
        prevL = qs->LogRatio;
        q = qs->Q * (below ? up : down);
        rc = EvaluateTarget(qs, q);
        if (rc)
            return rc;
        if (qs->Converged) {
            qs->LeftQ = qs->RightQ = qs->Q;
            return 0;
        }
        if (belowTarget(qs, qs->Target) != below || qs->Target == qs->UserTarget)
            break;
    }
    // Order the two ends by q.
    double q1 = prevQ, t1 = prevT, l1 = prevL, q2 = qs->Q, t2 = qs->Target, l2 = qs->LogRatio;
    if (q1 > q2) {
        std::swap(q1, q2);
        std::swap(t1, t2);
        std::swap(l1, l2);
    }
    qs->LeftQ = q1;
    qs->LeftTarget = t1;
    qs->LogRatioLeft = l1;
    qs->RightQ = q2;
    qs->RightTarget = t2;
    qs->LogRatioRight = l2;
    return 0;
}

int Iterate(ARG_QUANT* qs)
{
    double tol = qs->EpsQ * std::fabs(qs->LogRatioTarget);
    if (std::fabs(qs->LogRatioLeft - qs->LogRatioTarget) <= tol) {
        qs->Q = qs->LeftQ;
        return 0;
    }
    if (std::fabs(qs->LogRatioRight - qs->LogRatioTarget) <= tol) {
        qs->Q = qs->RightQ;
        return 0;
    }
    for (int step = 0; step < 70; ++step) {
        double dl = qs->LogRatioRight - qs->LogRatioLeft;
        if (dl == 0.0) {
            qs->Q = qs->LeftQ;
            qs->ErrorType = 1;
            return 1;
        }
        double frac = (qs->LogRatioTarget - qs->LogRatioLeft) / dl;
        double q;
        if (qs->DomainType == 2) {
            if (!(qs->RightQ > 0) || !(qs->LeftQ > 0)) {
                qs->ErrorType = 1;
                return 1;
            }
            double stepLog = std::min(frac * std::log(qs->RightQ / qs->LeftQ), 5.0);
            q = qs->LeftQ * std::exp(stepLog);
        } else {
            q = qs->LeftQ + (qs->RightQ - qs->LeftQ) * frac;
        }
        double stepSize = std::min(std::fabs(q - qs->LeftQ), std::fabs(q - qs->RightQ));
        if (stepSize < qs->EpsQ * std::fabs(q) ||
            std::fabs(qs->LogRatioTarget - qs->LogRatioRight) <
                qs->EpsProb *
                    std::max(std::fabs(qs->LogRatioTarget), std::fabs(qs->LogRatioRight))) {
            qs->Q = q;
            return 0;
        }
        int rc = EvaluateTarget(qs, q);
        if (rc)
            return rc;
        if (qs->Converged)
            return 0;
        double bestQ = q, bestT = qs->Target, bestL = qs->LogRatio;
        if (qs->UseHybrid) {
            double mid = (qs->LeftQ + qs->RightQ) / 2.0;
            rc = EvaluateTarget(qs, mid);
            if (rc)
                return rc;
            if (qs->Converged)
                return 0;
            if (std::fabs(qs->LogRatio - qs->LogRatioTarget) <
                std::fabs(bestL - qs->LogRatioTarget)) {
                bestQ = mid;
                bestT = qs->Target;
                bestL = qs->LogRatio;
            }
        }
        qs->Q = bestQ;
        qs->Target = bestT;
        qs->LogRatio = bestL;
        if (bestL == qs->LogRatioTarget) {
            qs->LeftQ = qs->RightQ = bestQ;
            return 0;
        }
        // The log-odds grow with q on every target type's scale except type
        // 2, where they fall; replace the end on the same side of the target.
        bool leftSide = (bestL < qs->LogRatioTarget) == (qs->LogRatioLeft < qs->LogRatioTarget);
        if (leftSide) {
            qs->LeftQ = bestQ;
            qs->LeftTarget = bestT;
            qs->LogRatioLeft = bestL;
        } else {
            qs->RightQ = bestQ;
            qs->RightTarget = bestT;
            qs->LogRatioRight = bestL;
        }
    }
    qs->ErrorType = 1;
    return 1;
}

} // namespace

int zquant(ARG_QUANT* qs)
{
    if (!qs->TargetPtr || !qs->ComputeTheFunction)
        return 1;
    qs->ErrorType = 0;
    qs->Converged = false;
    qs->UserTarget = *qs->TargetPtr;
    double t = qs->UserTarget;
    if (isMissingBits(t)) {
        qs->ErrorType = 12345677;
        return 12345677;
    }
    switch (qs->targetType) {
    case 0:
        qs->LogRatioTarget = std::log(t / (1.0 - t));
        break;
    case 1:
    case 2:
        qs->LogRatioTarget = logOdds(qs->targetType, t);
        break;
    default:
        qs->ErrorType = 1;
        return 1;
    }
    qs->EpsQ = std::max(qs->EpsQ, kEpsQFloor);
    if (qs->GetAnInitialGuess) {
        int rc = qs->GetAnInitialGuess(qs);
        if (rc)
            return rc;
    }
    if (qs->DomainType == 1 && !qs->SolutionIsBracketed) {
        int rc = EvaluateTarget(qs, 0.0);
        if (rc)
            return rc;
        if (qs->Converged) {
            qs->LeftQ = qs->RightQ = qs->Q;
            return 0;
        }
        bool above = qs->Target > qs->UserTarget;
        bool goNegative = qs->targetType == 2 ? !above : above;
        qs->InitialQ = std::fabs(qs->InitialQ);
        if (qs->InitialQ == 0.0)
            qs->InitialQ = 1.0;
        if (goNegative) {
            qs->InitialQ = -qs->InitialQ;
            std::swap(qs->MultiplierUp, qs->MultiplierDown);
        }
    }
    int rc;
    if (qs->SolutionIsBracketed) {
        rc = ComputeAtTheTwoEnds(qs);
    } else {
        rc = BracketTheSolution(qs);
        if (!rc && qs->Converged)
            return 0;
    }
    if (rc)
        return rc;
    return Iterate(qs);
}

int zbrent(BrentFn fptr, void* fargs, double ax, double bx, double cx, double tol, int maxiter,
           double* xmin, double* ymin)
{
    const double cgold = 0.381966, zeps = 1e-10;
    double fx;
    int rc = fptr(&fx, fargs, bx);
    if (rc)
        return rc;
    double a = std::min(ax, cx), b = std::max(ax, cx);
    double x = bx, w = bx, v = bx, fw = fx, fv = fx;
    double d = 0.0, e = 0.0;
    for (int iter = 0; iter < maxiter; ++iter) {
        double xm = 0.5 * (a + b);
        double tol1 = tol * std::fabs(x) + zeps, tol2 = 2.0 * tol1;
        if (std::fabs(x - xm) <= tol2 - 0.5 * (b - a)) {
            *xmin = x;
            *ymin = fx;
            return 0;
        }
        bool golden = true;
        if (std::fabs(e) > tol1) {
            double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0)
                p = -p;
            q = std::fabs(q);
            double etemp = e;
            e = d;
            if (!(std::fabs(p) >= std::fabs(0.5 * q * etemp) || p <= q * (a - x) ||
                  p >= q * (b - x))) {
                d = p / q;
                double u = x + d;
                if (u - a < tol2 || b - u < tol2)
                    d = std::copysign(tol1, xm - x);
                golden = false;
            }
        }
        if (golden) {
            e = x >= xm ? a - x : b - x;
            d = cgold * e;
        }
        double u = std::fabs(d) >= tol1 ? x + d : x + std::copysign(tol1, d);
        double fu;
        rc = fptr(&fu, fargs, u);
        if (rc)
            return rc;
        if (fu <= fx) {
            if (u >= x)
                a = x;
            else
                b = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    *xmin = x;
    *ymin = fx;
    return 1;
}
