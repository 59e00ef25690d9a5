// Restricted mean survival time and restricted mean time lost of a cell.
//
// With distinct times t_1 < t_2 < ..., n_j the records at risk at t_j (the
// records with time >= t_j), d_j the events and c_j the records at t_j, and
// the product-limit curve S(t) = prod_{t_j <= t} (1 - d_j / n_j):
//
//   RMST(tau) = A = integral of S from 0 to tau, the curve flat past the
//               last time at or before tau (when a later time exists);
//   RMTL(tau) = tau - A;
//   Var       = sum_{t_j <= tau} d_j / (n_j (n_j - d_j)) (A(tau) - A(t_j))^2,
//
// the term of a time at which every remaining record fails left out, and the
// variance multiplied by D / (D - 1) under bias correction, D the events up
// to tau, when D > 1. A time whose records all have frequency 0 changes
// nothing and is passed over, so that the curve never divides by an empty
// risk set after the last record of positive frequency.
//
// The variance is summed in units of a power of two near the times, each
// area divided by it before it is squared, so that it stays within range
// when the times come near the largest double; the caller multiplies the
// standard error back.
#include <algorithm>
#include <cfloat>
#include <vector>

#include "rmst/rmst.h"

namespace
{

// The walk of one cell's times in ascending order.
struct Walk {
    const ZRMSSNODE* s;
    int64_t j = 0; // next time node
    double n;      // at risk before the next time
    double S = 1;  // survival after the times walked
    double tprev = 0;
    double A = 0; // area up to tprev
    double D = 0; // events walked

    explicit Walk(const ZRMSSNODE* node) : s(node), n(node->atrisk) {}

    // The next time node with records, or null.
    const ZRMSTNODE* peek()
    {
        while (j < s->ntn && !(s->tn[j].dup > 0))
            ++j;
        return j < s->ntn ? &s->tn[j] : nullptr;
    }

    // Steps over time node t (the one peek gave): returns the area up to it
    // and its variance weight.
    void step(const ZRMSTNODE* t, double* At, double* w)
    {
        const double d = t->evt;
        const double m = n - d;
        *At = A + S * (t->time - tprev);
        // Every remaining record failing leaves m at 0; fractional
        // frequencies may leave a rounding residue in its place.
        *w = m > n * 4 * DBL_EPSILON ? d / (n * m) : 0.0;
        A = *At;
        D += d;
        S *= 1 - d / n;
        n -= t->dup;
        tprev = t->time;
        ++j;
    }
};

} // namespace

void EstOneTime(const ZRMSSNODE* s, double tau, bool bc, ZRMSOPT* opt, double unit)
{
    // The area.
    Walk w(s);
    bool early = false;
    std::vector<std::pair<double, double>> steps; // (area up to t_j, weight)
    for (const ZRMSTNODE* t = w.peek(); t; t = w.peek()) {
        if (t->time > tau) {
            early = true;
            break;
        }
        double At, wt;
        w.step(t, &At, &wt);
        if (wt > 0)
            steps.emplace_back(At, wt);
    }
    const double A = early ? w.A + w.S * (tau - w.tprev) : w.A;
    // The variance: each event time's weight times the squared area from it
    // to tau.
    double V = 0;
    for (const auto& [At, wt] : steps) {
        const double R = (A - At) / unit;
        V += R * R * wt;
    }
    if (bc && w.D > 1)
        V *= w.D / (w.D - 1);
    opt->rmst = A;
    opt->rmtl = tau - A;
    opt->var = V;
}

void EstGrid(const ZRMSSNODE* s, const double* taus, int n, bool bc, double* est, double* var,
             double unit)
{
    // One walk for every restriction time. With Aref the area at the last
    // restriction time done, the sums over the event times walked so far
    // are W0 = sum w_j, S1 = sum w_j (Aref - A(t_j)) and V = sum w_j (Aref -
    // A(t_j))^2, every term non-negative. Moving on to the next restriction
    // time with area Anew = Aref + delta turns them into W0, S1 + delta W0
    // and V + 2 delta S1 + delta^2 W0, and the event times passed on the way
    // add their own terms: no difference of large sums is ever taken.
    Walk w(s);
    double W0 = 0, S1 = 0, V = 0, Aref = 0;
    std::vector<std::pair<double, double>> fresh;
    for (int k = 0; k < n; ++k) {
        const double tau = taus[k];
        fresh.clear();
        const ZRMSTNODE* t = w.peek();
        for (; t && !(t->time > tau); t = w.peek()) {
            double At, wt;
            w.step(t, &At, &wt);
            if (wt > 0)
                fresh.emplace_back(At, wt);
        }
        const double A = t ? w.A + w.S * (tau - w.tprev) : w.A;
        const double delta = (A - Aref) / unit;
        V += delta * (2 * S1 + delta * W0);
        S1 += delta * W0;
        for (const auto& [At, wt] : fresh) {
            const double R = (A - At) / unit;
            V += wt * R * R;
            S1 += wt * R;
            W0 += wt;
        }
        Aref = A;
        est[k] = A;
        var[k] = (bc && w.D > 1) ? V * (w.D / (w.D - 1)) : V;
    }
}

void EstimateRMS(rmsUserPtr us, short Srmtl)
{
    ZRMSMANAGER* q = us->q;
    ZRMSOPT* opt = rmsOpt(us, Srmtl);
    for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
        auto* u = reinterpret_cast<ZRMSUNODE*>(a);
        for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b)) {
            auto* s = reinterpret_cast<ZRMSSNODE*>(b);
            if (!(s->atrisk > 0))
                continue;
            EstOneTime(s, opt->tau, opt->Sbc != 0, opt, rmsUnit(q));
            s->rmst = opt->rmst;
            s->rmtl = opt->rmtl;
            s->var = opt->var;
        }
    }
}
