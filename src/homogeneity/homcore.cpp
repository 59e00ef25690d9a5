// The computing core of the tests of equal survival across levels: the
// likelihood-ratio statistic of the exponential model, the two downward
// passes of the unweighted rank tests with the pooled survival between them,
// and the weighted pass.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "common/rankorder.h"
#include "homogeneity/homogeneity.h"
#include "numeric/vector.h"

namespace
{
inline int64_t diag(int j)
{
    return static_cast<int64_t>(j) * (j + 1) / 2 + j;
}
inline double* row(double* block, int j)
{
    return block + static_cast<int64_t>(j) * (j + 1) / 2;
}

// One tie group from place i down: adds its records to the risk sets and
// counts its events. Returns the place below the group.
inline int64_t tie_group(int64_t i, const double* freq, const int32_t* sflag, const int64_t* jndx,
                         double* risk, double* die, double* nrisk, double* ndie)
{
    for (;;) {
        const int64_t r = std::llabs(jndx[i]) - 1;
        const double f = freq[r];
        const int64_t s = sflag[r];
        const double af = std::fabs(f);
        risk[s] += af;
        *nrisk += af;
        if (f > 0) {
            die[s] += f;
            *ndie += f;
        }
        --i;
        if (i < 0 || jndx[i] >= 0)
            return i;
    }
}

// Adds one weighted time to a test: scores w o_j, covariance factor x
// (the variance factor times w squared).
inline void add_time(double* block, int k, double w, double factor, const double* risk,
                     const double* die, double a, double nrisk)
{
    double* score = block + korv_score_offset(k);
    for (int j = 0; j < k; ++j) {
        const double o = die[j] - a * risk[j];
        score[j] += w * o;
        zvxay11(row(block, j), risk, j + 1, -factor * risk[j]);
        block[diag(j)] += factor * risk[j] * nrisk;
    }
}
} // namespace

void korv_lr_add(HomLR* lr, const double* time, const double* freq, int64_t nobs, double events)
{
    double tk = 0.0;
    for (int64_t i = 0; i < nobs; ++i)
        tk += std::fabs(freq[i]) * time[i];
    if (std::fabs(tk) <= 1.110223024625157e-13) {
        lr->nempty = -1;
        return;
    }
    lr->T += tk;
    if (events > 0)
        lr->L -= events * std::log(tk / events);
    else
        lr->zempty = '*';
    lr->D += events;
}

void korv_lr_finish(HomLR* lr)
{
    if (lr->D > 0 && lr->T > 0)
        lr->likeratio = 2.0 * (lr->D * std::log(lr->T / lr->D) + lr->L);
    else
        lr->likeratio = lr->L;
    // The statistic is never negative in exact arithmetic (log-sum
    // inequality); a rounding residue of equal rates is 0.
    if (lr->likeratio < 0)
        lr->likeratio = 0.0;
}

int64_t korv_hom_first_pass(int k, int64_t n, const double* freq, const int32_t* sflag,
                            const int64_t* jndx, double* risk, double* die, const HomBlocks& b,
                            HomRecordSink sink, void* ctx)
{
    double nrisk = 0.0;
    int64_t nfail = 0;
    double* lrU = b.lr + korv_score_offset(k);
    double* wilU = b.wil + korv_score_offset(k);
    double* tarU = b.tar ? b.tar + korv_score_offset(k) : nullptr;
    int64_t i = n - 1;
    while (i >= 0) {
        for (int j = 0; j < k; ++j)
            die[j] = 0.0;
        double ndie = 0.0;
        i = tie_group(i, freq, sflag, jndx, risk, die, &nrisk, &ndie);
        if (!(ndie > 0 && nrisk > 1.0))
            continue;
        ++nfail;
        if (sink)
            sink(ctx, ndie, nrisk);
        const double a = ndie / nrisk;
        const double v = (nrisk - ndie) * a / (nrisk * (nrisk - 1.0));
        const double vN = v * nrisk;
        const double vNN = vN * nrisk;
        const double sq = std::sqrt(nrisk);
        for (int j = 0; j < k; ++j) {
            const double o = die[j] - a * risk[j];
            lrU[j] += o;
            wilU[j] += nrisk * o;
            zvxay11(row(b.lr, j), risk, j + 1, -v * risk[j]);
            zvxay11(row(b.wil, j), risk, j + 1, -vNN * risk[j]);
            if (tarU) {
                tarU[j] += sq * o;
                zvxay11(row(b.tar, j), risk, j + 1, -vN * risk[j]);
                b.tar[diag(j)] += vN * risk[j] * nrisk;
            }
            b.lr[diag(j)] += v * risk[j] * nrisk;
            b.wil[diag(j)] += vNN * risk[j] * nrisk;
        }
    }
    return nfail;
}

void korv_hom_pooled_survival(double* km, int64_t nfail)
{
    km[2 * nfail] = 1.0;
    km[2 * nfail + 1] = 1.0;
    for (int64_t j = nfail - 1; j >= 0; --j) {
        const double d = km[2 * j], r = km[2 * j + 1];
        km[2 * j] = (1.0 - d / r) * km[2 * (j + 1)];
        km[2 * j + 1] = (1.0 - d / (r + 1.0)) * km[2 * (j + 1) + 1];
    }
}

void korv_hom_second_pass(int k, int64_t n, const double* freq, const int32_t* sflag,
                          const int64_t* jndx, double* risk, double* die, const double* km,
                          const double* fleming, const HomBlocks& b)
{
    const double rho = fleming ? fleming[0] : 0.0;
    const double gamma = fleming && fleming[1] > 0 ? fleming[1] : 0.0;
    for (int j = 0; j < k; ++j)
        risk[j] = 0.0;
    double nrisk = 0.0;
    int64_t m = 0;
    int64_t i = n - 1;
    while (i >= 0) {
        for (int j = 0; j < k; ++j)
            die[j] = 0.0;
        double ndie = 0.0;
        i = tie_group(i, freq, sflag, jndx, risk, die, &nrisk, &ndie);
        if (!(ndie > 0 && nrisk > 1.0))
            continue;
        const double a = ndie / nrisk;
        const double v = (nrisk - ndie) * a / (nrisk * (nrisk - 1.0));
        if (b.flem) {
            const double S = km[2 * (m + 1)];
            double W;
            if (gamma != 0.0)
                W = S == 1.0 ? 0.0 : std::exp(rho * std::log(S) + gamma * std::log(1.0 - S));
            else
                W = std::exp(rho * std::log(S));
            add_time(b.flem, k, W, W * W * v, risk, die, a, nrisk);
        }
        const double St = km[2 * m + 1];
        if (b.peto)
            add_time(b.peto, k, St, St * St * v, risk, die, a, nrisk);
        if (b.mpeto) {
            const double M = St * nrisk / (nrisk + 1.0);
            add_time(b.mpeto, k, M, M * M * v, risk, die, a, nrisk);
        }
        ++m;
    }
}

void korv_hom_weighted_pass(int k, int64_t n, const double* freq, const double* wt,
                            const int32_t* sflag, const int64_t* jndx, double* riskWt,
                            double* riskWt2, double* dieWt, double* lr, double* wil, double* tar)
{
    double nrisk = 0.0, S = 0.0, S2 = 0.0;
    double* lrU = lr + korv_score_offset(k);
    double* wilU = wil + korv_score_offset(k);
    double* tarU = tar ? tar + korv_score_offset(k) : nullptr;
    int64_t i = n - 1;
    while (i >= 0) {
        for (int h = 0; h < k; ++h)
            dieWt[h] = 0.0;
        double ndie = 0.0, SdieWt = 0.0;
        for (;;) {
            // Record numbers in the rank index are 1-based.
            const int64_t r = std::llabs(jndx[i]) - 1;
            const double f = freq[r], w = wt[r];
            const int64_t h = sflag[r];
            const double af = std::fabs(f);
            const double fw = af * w;
            nrisk += af;
            riskWt[h] += fw;
            S += fw;
            // A record of frequency f stands for f subjects of weight w each:
            // its share of the sum of squared weights is f w^2, not (f w)^2.
            riskWt2[h] += af * w * w;
            S2 += af * w * w;
            if (f > 0) {
                ndie += f;
                SdieWt += fw;
                dieWt[h] += fw;
            }
            --i;
            if (i < 0 || jndx[i] >= 0)
                break;
        }
        if (!(ndie > 0 && nrisk > 1.0 && k > 0 && S > 0))
            continue;
        const double N = nrisk, D = ndie;
        const double theta = ((N - D) * (D / N)) / (N - 1.0);
        const double sq = std::sqrt(S), SS = S * S;
        for (int h = 0; h < k; ++h) {
            const double ph = riskWt[h] / S, qh = riskWt2[h];
            const double e = dieWt[h] - ph * SdieWt;
            lrU[h] += e;
            wilU[h] += S * e;
            if (tarU)
                tarU[h] += sq * e;
            double* lrow = row(lr, h);
            double* wrow = row(wil, h);
            double* trow = tar ? row(tar, h) : nullptr;
            for (int j = 0; j < h; ++j) {
                const double pj = riskWt[j] / S, qj = riskWt2[j];
                const double c = theta * ((S2 - qj - qh) * ph * pj -
                                          ((1.0 - pj) * ph * qj + (1.0 - ph) * pj * qh));
                lrow[j] += c;
                wrow[j] += SS * c;
                if (trow)
                    trow[j] += S * c;
            }
            const double c = theta * (qh * (1.0 - ph) * (1.0 - ph) + ph * ph * (S2 - qh));
            lrow[h] += c;
            wrow[h] += SS * c;
            if (trow)
                trow[h] += S * c;
        }
    }
}

void korv_hom_rank(const double* time, const double* freq, int64_t* jndx, int64_t n)
{
    // The same order and tie marks as the frame's ranking of a stratum.
    korv_rank_order(time, freq, jndx, n);
}
