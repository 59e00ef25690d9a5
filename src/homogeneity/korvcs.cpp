// The sweep of the tests (numeric/sweep.h, spread over the host's threads
// for large orders), the greedy pivoting step on a bordered block, the
// chi-square recipe of the homogeneity tests and the trend statistic.
#include <cmath>
#include <functional>

#include "homogeneity/homogeneity.h"
#include "numeric/gamma.h"
#include "numeric/matrix.h"
#include "numeric/normal.h"
#include "numeric/sweep.h"
#include "numeric/vector.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "vyr_pool.h"

namespace
{
inline int64_t packed(int i, int j)
{
    return i >= j ? static_cast<int64_t>(i) * (i + 1) / 2 + j
                  : static_cast<int64_t>(j) * (j + 1) / 2 + i;
}
} // namespace

namespace
{

// Orders from which a sweep spreads its rows over the host's threads: below
// it (half a million elements) the rows take less time than waking the
// threads for each pivot.
int g_parallelSweepOrder = 1024;

void spread_on_pool(size_t tasks, const std::function<void(size_t)>& body)
{
    vyr::parallel_for(tasks, body);
}

} // namespace

void korv_sweep_set_parallel_from(int order)
{
    g_parallelSweepOrder = order < 1 ? 1024 : order;
}

int zsweep(double* a, int p, int order, char* flags, double* work, double tol)
{
    // Rows are independent: on the threads each is changed by one task, in
    // the same order of operations, so the result does not depend on them.
    const bool wide = order >= g_parallelSweepOrder && vyr::pool_width() > 1;
    return korv_num::sweep(a, p, order, flags, work, tol, korv_num::SweepJoin::Negated,
                           wide ? spread_on_pool : nullptr);
}

int korvcs(KorvPtr, double* var, int ndim, char* dfs, double* work, double toler)
{
    const double* stat = var + static_cast<int64_t>(ndim) * (ndim + 1) / 2;
    int iout = -1;
    double chimax = -1.0;
    for (int i = 0; i < ndim; ++i) {
        if (dfs[i] != '0')
            continue;
        const double v = var[packed(i, i)];
        if (v < 1e-12 || v <= toler) {
            dfs[i] = '*';
            continue;
        }
        const double q = stat[i] * stat[i] / v;
        if (q > chimax) {
            chimax = q;
            iout = i;
        }
    }
    if (iout != -1)
        zsweep(var, iout, ndim + 1, dfs, work, toler);
    return iout;
}

KorvChiSq korv_chisq(double* block, int k, double singular, char* dfs, double* work)
{
    // Levels with a positive variance take part, each scaled to unit
    // variance: the statistic does not change, and the singularity test then
    // compares what a pivot keeps of its own variance (one less its squared
    // multiple correlation with the levels already swept) with the
    // tolerance, whatever the scale of the scores.
    int m = 0;
    for (int i = 0; i < k; ++i) {
        const double d = block[packed(i, i)];
        const bool active = d > 0 && std::isfinite(d);
        dfs[i] = active ? '0' : '*';
        work[i] = active ? 1.0 / std::sqrt(d) : 0.0;
        m += active ? 1 : 0;
    }
    dfs[k] = '0';
    work[k] = 1.0;
    for (int i = 0; i <= k; ++i) {
        double* r = block + static_cast<int64_t>(i) * (i + 1) / 2;
        for (int j = 0; j <= i; ++j)
            r[j] *= work[i] * work[j];
    }
    // The rows of the covariance sum to zero, so its rank is at most one less
    // than the number of levels that take part: the last pivot is never
    // swept, however rounding leaves its diagonal.
    const double toler = singular * m;
    KorvChiSq r{0.0, 0, korv_missing()};
    while (r.df < m - 1 && korvcs(nullptr, block, k, dfs, work, toler) != -1)
        ++r.df;
    r.chisq = -block[packed(k, k)];
    if (r.df > 0)
        r.p = r.chisq > 0 ? zpgx2(r.chisq, r.df) : 1.0;
    return r;
}

void Trend(int n, double* cov, double* scores, double* x, double* work, double* iovar)
{
    iovar[trend_slot::STATISTIC] = zinner(x, scores, n);
    zqform(cov, n, x, 1, &iovar[trend_slot::STDERR], work, 0);
    double& se = iovar[trend_slot::STDERR];
    se = se > 0 ? std::sqrt(se) : 0.0;
    if (se <= 1.491668147e-154) {
        iovar[trend_slot::Z] = iovar[trend_slot::PROB_Z] = korv_missing();
        iovar[trend_slot::LOWER_PROB_Z] = iovar[trend_slot::UPPER_PROB_Z] = korv_missing();
        return;
    }
    const double z = iovar[trend_slot::STATISTIC] / iovar[trend_slot::STDERR];
    iovar[trend_slot::Z] = z;
    if (z < 0) {
        const double p = zprbnrm(z);
        iovar[trend_slot::LOWER_PROB_Z] = p;
        iovar[trend_slot::UPPER_PROB_Z] = 1.0 - p;
        iovar[trend_slot::PROB_Z] = 2.0 * p;
    } else {
        const double p = zprbnrm(-z);
        iovar[trend_slot::UPPER_PROB_Z] = p;
        iovar[trend_slot::LOWER_PROB_Z] = 1.0 - p;
        iovar[trend_slot::PROB_Z] = 2.0 * p;
    }
}
