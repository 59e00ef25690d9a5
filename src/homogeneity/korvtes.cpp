// Scores of the TEST covariates, stratum by stratum: the covariates of the
// stratum's records are read back, then one walk up the ranked records adds
// Prentice's generalized Wilcoxon scores and their covariance, and one walk
// down adds the log-rank scores and their covariance. Both are summed over
// the strata of the BY group; the results are formed after the last stratum
// (korvrno).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/rankorder.h"
#include "common/stages.h"
#include "common/strata.h"
#include "homogeneity/assoc.h"
#include "numeric/vector.h"
#include "runtime/missing.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"

const bool korv_built_association = true;

AssocArea korv_assoc_area(double* wil, int p)
{
    AssocArea a;
    a.p = p;
    const int64_t q2 = korv_assoc_q2(p), q3 = korv_assoc_q3(p);
    a.varwil = wil;
    a.valwil = wil + q2;
    a.varsav = wil + q3;
    a.valsav = wil + q3 + q2;
    a.xsum = wil + 2 * q3;
    a.xdev = a.xsum + p;
    a.css = a.xdev + p;
    a.work = a.css + q3;
    a.scale = a.work + p;
    a.unit = a.scale + p;
    a.xs = a.unit + p;
    // The results reuse the scratch of the passes (never the scale or the
    // units).
    a.copy = wil + 2 * q3;
    a.sweep = wil + 3 * q3;
    return a;
}

namespace
{

// The ranked records of one stratum, walked over those whose covariates are
// all present.
struct Ranked {
    int p;
    int64_t n;
    const double* time;
    const double* freq;
    const int64_t* indxs;
    const double* x;
    const double* unit; // the area's units of the covariates
    double* xs;         // one row in those units

    int64_t record(int64_t r) const { return std::llabs(indxs[r]) - 1; }
    const double* row(int64_t j) const { return x + j * p; }
    // Record j's covariates in the area's units (valid until the next call).
    const double* scaled(int64_t j) const
    {
        const double* v = row(j);
        for (int k = 0; k < p; ++k)
            xs[k] = unit[k] > 0 ? v[k] / unit[k] : v[k];
        return xs;
    }
    bool valid(int64_t r) const
    {
        const double* v = row(record(r));
        for (int k = 0; k < p; ++k)
            if (wzmis(v[k]))
                return false;
        return true;
    }
    // The next valid place after r in the direction step (+1 or -1); n or -1
    // when there is none. The walks visit the records in time order, not in
    // storage order: the covariates of places a little further on are asked
    // (with their times and frequencies) ahead of time, so that the memory
    // waits overlap.
    int64_t next(int64_t r, int step) const
    {
        for (r += step; r >= 0 && r < n; r += step) {
            const int64_t ahead = r + 16 * step;
            if (ahead >= 0 && ahead < n) {
                const int64_t j = record(ahead);
                __builtin_prefetch(row(j));
                __builtin_prefetch(time + j);
                __builtin_prefetch(freq + j);
            }
            if (valid(r))
                return r;
        }
        return step > 0 ? n : -1;
    }
    // Same time and same status: one tie group.
    bool tied(int64_t j, int64_t k) const
    {
        return time[j] == time[k] && (freq[j] < 0) == (freq[k] < 0);
    }
};

// m(k, l) += w (u_k v_l + v_k u_l) over the packed lower triangle.
void add_cross(double* m, int p, const double* u, const double* v, double w)
{
    if (w == 0.0)
        return;
    for (int k = 0; k < p; ++k) {
        double* row = m + static_cast<int64_t>(k) * (k + 1) / 2;
        for (int l = 0; l <= k; ++l)
            row[l] += w * (u[k] * v[l] + v[k] * u[l]);
    }
}

// Ascending walk: Prentice's generalized Wilcoxon scores. A censored group
// scores 1 - S, an event group of tied mass d the mean 1 - 2S'm of the d
// scores its events would get one after another; S and T run as products of
// (R+1-d)/(R+1) and (R+2-d)/(R+2) over the event groups, and the cross terms
// between groups' scores build up in work.
void wilcoxon_pass(const AssocArea& a, const Ranked& rk, double R)
{
    const int p = a.p;
    const int64_t q2 = korv_assoc_q2(p);
    if (R < 0) {
        R = 0;
        for (int64_t r = rk.next(-1, 1); r < rk.n; r = rk.next(r, 1))
            R += std::fabs(rk.freq[rk.record(r)]);
    }
    double S = 1, T = 1, d = 0;
    bool first = true;
    std::fill(a.work, a.work + p, 0.0);
    for (int64_t r = rk.next(-1, 1); r < rk.n;) {
        const int64_t j = rk.record(r);
        const double* x = rk.scaled(j);
        const double f = std::fabs(rk.freq[j]);
        if (first) {
            for (int k = 0; k < p; ++k) {
                a.xsum[k] = f * x[k];
                double* row = a.css + static_cast<int64_t>(k) * (k + 1) / 2;
                for (int l = 0; l <= k; ++l)
                    row[l] = f * x[k] * x[l];
            }
            first = false;
        } else {
            zscp(x, p, f, a.css);
            zvxay11(a.xsum, x, p, f);
        }
        d += f;
        const int64_t nr = rk.next(r, 1);
        if (nr < rk.n && rk.tied(j, rk.record(nr))) {
            r = nr;
            continue;
        }
        if (rk.freq[j] < 0) {
            zvxay11(a.valwil, a.xsum, p, 1 - S);
            zvxay11(a.varwil, a.css, q2, (1 - T) * S);
            zscp(a.xsum, p, (S - T) * S, a.varwil);
            add_cross(a.varwil, p, a.xsum, a.work, S);
            zvxay11(a.work, a.xsum, p, S - T);
        } else {
            const double S1 = S / (R + 1), T1 = T / (R + 2);
            const double m = R - (d - 1) / 2, c = 2 * S1 * m;
            zvxay11(a.valwil, a.xsum, p, 1 - c);
            double A = R * R, B = R * (R + 1);
            if (d > 1) {
                A += (d - 1) * ((2 * d - 1) / 6 - R);
                B += (d - 1) * ((2 * d - 1) / 6 - R - 0.5);
            }
            zvxay11(a.varwil, a.css, q2, 2 * S1 * (2 * S1 * A + m - 3 * T1 * B));
            add_cross(a.varwil, p, a.work, a.xsum, c);
            if (d > 1) {
                zscp(a.xsum, p, -1.0, a.css);
                const double C = 4 * S1 *
                                 ((S1 - T1) * ((R + 0.5) * R + d * (d - 1) / 4 -
                                               (0.5 + 1.5 * R) * (2 * d - 1) / 3) -
                                  T1 * (R - (2 * d - 1) / 3));
                zvxay11(a.varwil, a.css, q2, -C);
            }
            zvxay11(a.work, a.xsum, p, 2 * (S1 * m - T1 * (1 + m)));
            S = S1 * (R + 1 - d);
            T = T1 * (R + 2 - d);
        }
        R -= d;
        d = 0;
        first = true;
        r = nr;
    }
}

// Descending walk: log-rank scores. css stays the centred cross-product
// matrix of the risk set (censored records of a time join before its
// events); each event time adds d/R times it, with no tie factor, and its
// expected minus observed covariate sums.
void logrank_pass(const AssocArea& a, const Ranked& rk)
{
    const int p = a.p;
    const int64_t q2 = korv_assoc_q2(p);
    std::fill(a.css, a.css + korv_assoc_q3(p), 0.0);
    std::fill(a.xsum, a.xsum + p, 0.0);
    double R = 0, d = 0;
    for (int64_t r = rk.next(rk.n, -1); r >= 0;) {
        const int64_t j = rk.record(r);
        const double* x = rk.scaled(j);
        const double f = std::fabs(rk.freq[j]);
        const double Rn = R + f;
        if (R > 0) {
            for (int k = 0; k < p; ++k)
                a.xdev[k] = a.xsum[k] - R * x[k];
            zscp(a.xdev, p, f / (R * Rn), a.css);
        }
        R = Rn;
        for (int k = 0; k < p; ++k) {
            a.xsum[k] += f * x[k];
            a.scale[k] += f * x[k] * x[k];
        }
        const int64_t nr = rk.next(r, -1);
        if (rk.freq[j] >= 0) {
            d += f;
            zvxay11(a.valsav, x, p, -f);
            if (nr < 0 || !rk.tied(j, rk.record(nr))) {
                const double w = d / R;
                zvxay11(a.valsav, a.xsum, p, w);
                zvxay11(a.varsav, a.css, q2, w);
                d = 0;
            }
        }
        r = nr;
    }
}

// The units of the covariates for a stratum: each covariate is divided by
// the power of two at or below its largest magnitude seen so far. When this
// stratum's values pass a covariate's unit, the sums of the strata before
// are converted to the new one (the score and scale by its ratio, the
// covariance row and column by it, the diagonal by its square).
void set_units(const AssocArea& a, const Ranked& rk)
{
    const int p = a.p;
    std::fill(a.xs, a.xs + p, 0.0);
    for (int64_t r = rk.next(-1, 1); r < rk.n; r = rk.next(r, 1)) {
        const double* v = rk.row(rk.record(r));
        for (int k = 0; k < p; ++k)
            if (std::isfinite(v[k]))
                a.xs[k] = std::max(a.xs[k], std::fabs(v[k]));
    }
    for (int k = 0; k < p; ++k) {
        if (!(a.xs[k] > 0))
            continue;
        const double want = std::ldexp(1.0, std::ilogb(a.xs[k]));
        if (a.unit[k] > 0 && want <= a.unit[k])
            continue;
        if (a.unit[k] > 0) {
            const double f = a.unit[k] / want;
            for (double* var : {a.varwil, a.varsav}) {
                for (int l = 0; l < p; ++l)
                    var[k >= l ? static_cast<int64_t>(k) * (k + 1) / 2 + l
                               : static_cast<int64_t>(l) * (l + 1) / 2 + k] *= l == k ? f * f : f;
                var[korv_assoc_q2(p) + k] *= f;
            }
            a.scale[k] *= f * f;
        }
        a.unit[k] = want;
    }
}

} // namespace

void korv_assoc_stratum(const AssocArea& a, int64_t n, const double* time, const double* freq,
                        const int64_t* indxs, const double* x, double risk)
{
    if (n <= 0 || a.p <= 0)
        return;
    const Ranked rk{a.p, n, time, freq, indxs, x, a.unit, a.xs};
    set_units(a, rk);
    wilcoxon_pass(a, rk, risk);
    logrank_pass(a, rk);
}

void korvtes(KorvPtr q, STRATA* node)
{
    const int p = q->ncvar;
    if (node->nobs <= 0 || p <= 0 || (!q->fileoutt && !q->zprint) || !q->wil || !q->idcvs)
        return;
    XCFILE* f = q->utid;
    int64_t k = 0;
    for (NOTESTR* e = node->note; e && k < node->nobs; e = e->next, k += q->blockno) {
        check_file(xcpntd(f, e->notec));
        check_file(xcread(f, q->idcvs + k * p, q->blockc));
    }
    // The GROUP= road ranks each group on its own: the walks need the whole
    // stratum in one order.
    if (q->grpvar)
        korv_rank_order(q->times, q->freqs, q->indxs, node->nobs);
    korv_assoc_stratum(korv_assoc_area(q->wil, p), node->nobs, q->times, q->freqs, q->indxs,
                       q->idcvs, node->cum - node->cmiss);
}
