// The global test of equal restricted means across the active levels: the
// Wald chi-square of the contrasts of adjacent levels, C e with C V C', V the
// diagonal of the levels' variances. Without GROUP= the levels are the
// strata; with GROUP= they are the GROUP= levels, each level's estimate the
// mean of its estimates over the strata and its variance the sum of their
// variances over the squared number of strata. A contrast whose variance is
// linearly dependent on the others, or zero, is left out of the statistic
// and of its degrees of freedom.
#include <algorithm>
#include <cmath>
#include <vector>

#include "numeric/gamma.h"
#include "rmst/rmst.h"
#include "runtime/missing.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

constexpr double kDisplayCap = 9999.9;

long packed(int i, int j)
{
    const int r = std::max(i, j), c = std::min(i, j);
    return static_cast<long>(r) * (r + 1) / 2 + c;
}

// Sweeps pivot p of the m by m symmetric matrix a (row-major) when its
// current diagonal exceeds tol, and marks it swept. Once a set of pivots is
// swept, their block holds minus the inverse of that block of the matrix
// before sweeping.
bool sweep(std::vector<double>& a, int m, int p, double tol, std::vector<char>& swept)
{
    const double d = a[static_cast<size_t>(p) * m + p];
    if (!(d > tol))
        return false;
    for (int i = 0; i < m; ++i) {
        if (i == p)
            continue;
        const double aip = a[static_cast<size_t>(i) * m + p];
        if (aip == 0)
            continue;
        for (int j = 0; j < m; ++j)
            if (j != p)
                a[static_cast<size_t>(i) * m + j] -= aip * a[static_cast<size_t>(p) * m + j] / d;
    }
    for (int i = 0; i < m; ++i)
        if (i != p) {
            a[static_cast<size_t>(i) * m + p] /= d;
            a[static_cast<size_t>(p) * m + i] /= d;
        }
    a[static_cast<size_t>(p) * m + p] = -1 / d;
    swept[static_cast<size_t>(p)] = 1;
    return true;
}

} // namespace

void ComputeGlobalTest(rmsUserPtr us, double* chisq, double* ndf)
{
    const ZRMSMANAGER* q = us->q;
    const int k = q->n2a;
    const int m = k - 1;
    us->singular = 1e-10;
    *chisq = 0;
    *ndf = 0;
    if (m < 1)
        return;
    // Contrast i: level i minus level i + 1, in the unit of the variances.
    const double unit = rmsUnit(q);
    std::vector<double> ce(static_cast<size_t>(m)), s(static_cast<size_t>(m) * m, 0.0);
    for (int i = 0; i < m; ++i) {
        ce[static_cast<size_t>(i)] = (q->x1[i] - q->x1[i + 1]) / unit;
        const double vi = q->x2[packed(i, i)], vn = q->x2[packed(i + 1, i + 1)];
        s[static_cast<size_t>(i) * m + i] = vi + vn;
        if (i + 1 < m) {
            s[static_cast<size_t>(i) * m + i + 1] = -vn;
            s[static_cast<size_t>(i + 1) * m + i] = -vn;
        }
    }
    std::vector<double> tol(static_cast<size_t>(m));
    for (int i = 0; i < m; ++i) {
        const double d = s[static_cast<size_t>(i) * m + i];
        tol[static_cast<size_t>(i)] = d > 0 ? d * us->singular : 1.0;
    }
    std::vector<char> swept(static_cast<size_t>(m), 0);
    for (int i = 0; i < m; ++i)
        if (sweep(s, m, i, tol[static_cast<size_t>(i)], swept))
            *ndf += 1;
    // Ce' (C V C')^- Ce over the swept pivots (their block holds minus the
    // inverse).
    double x = 0;
    for (int i = 0; i < m; ++i) {
        if (!swept[static_cast<size_t>(i)])
            continue;
        for (int j = 0; j < m; ++j)
            if (swept[static_cast<size_t>(j)])
                x -= ce[static_cast<size_t>(i)] * s[static_cast<size_t>(i) * m + j] *
                     ce[static_cast<size_t>(j)];
    }
    *chisq = x;
}

rmsRetCodes GlobalTest(rmsUserPtr us, short Srmtl)
{
    ZRMSMANAGER* q = us->q;
    const bool print = !us->Snoprint;
    if (print && !(q && q->zog && q->zog->vdq && q->zog->templ))
        return ZRMS_TASKFAILED;

    // The outer nodes with data: the strata over which a GROUP= level is
    // averaged.
    int strata = 0;
    for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
        auto* u = reinterpret_cast<ZRMSUNODE*>(a);
        for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b))
            if (reinterpret_cast<ZRMSSNODE*>(b)->atrisk > 0) {
                ++strata;
                break;
            }
    }

    q->n2a = 0;
    if (us->ng) {
        for (int i = 0; i < q->n2; ++i) {
            if (q->n2df[i] <= 0)
                continue;
            if (q->n2df[i] < strata) {
                xpmlog(326, msg326::RMS_GROUP_INCOMPLETE, Srmtl ? "RMTL" : "RMST");
                rmsRaise(us, 4);
                us->Stest_infeasible = 1;
                return ZRMS_NOPROBLEM;
            }
            ++q->n2a;
        }
    } else if (us->ns > 0) {
        for (int i = 0; i < q->n2; ++i)
            if (q->n2df[i] > 0)
                ++q->n2a;
    }
    if (q->n2a < 2) {
        if (us->ns > 0 || us->ng > 0)
            xpmlog(326, msg326::RMS_ONE_LEVEL, Srmtl ? "RMTL" : "RMST");
        us->Stest_infeasible = 1;
        return ZRMS_NOPROBLEM;
    }

    const int k = q->n2a;
    q->x0 = static_cast<double*>(rmsAlloc(us, static_cast<int64_t>(k) * 8));
    q->x1 = static_cast<double*>(rmsAlloc(us, (k + static_cast<int64_t>(k) * (k + 1) / 2) * 8));
    if (!q->x0 || !q->x1)
        return ZRMS_NOMEMORY;
    q->x2 = q->x1 + k;
    const double divisor = us->ng ? strata : 1;
    for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
        auto* u = reinterpret_cast<ZRMSUNODE*>(a);
        for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b)) {
            auto* s = reinterpret_cast<ZRMSSNODE*>(b);
            // Only cells with data of active levels take part.
            const int i = q->n2id[s->slot];
            if (i < 0 || !(s->atrisk > 0))
                continue;
            q->x0[i] = s->key;
            q->x1[i] += (Srmtl ? s->rmtl : s->rmst) / divisor;
            q->x2[packed(i, i)] += s->var / (divisor * divisor);
        }
    }
    if (!print)
        return ZRMS_NOPROBLEM;

    ZRMSVDQ* zog = q->zog;
    const char* name = Srmtl ? (us->ng ? "RMTLStratifiedTest" : "RMTLTest")
                             : (us->ng ? "RMSTStratifiedTest" : "RMSTTest");
    const int contents = Srmtl ? (us->ng ? msg0::RMS_RMTL_STRAT_TEST : msg0::RMS_RMTL_TEST)
                               : (us->ng ? msg0::RMS_RMST_STRAT_TEST : msg0::RMS_RMST_TEST);
    zrmstblSetUpTable(zog, vdqmsg(0, Srmtl ? msg0::RMS_RMTL_TEST_TITLE : msg0::RMS_RMST_TEST_TITLE),
                      name, 0);
    zrmstblSetContentsLabel(zog, vdqmsg(0, contents));
    xobskey source =
        us->ng && q->gname ? vdqtxt(q->gname->name_p, q->gname->namelen) : vdqtxt("Strata", 6);
    double chisq = 0, df = 0, p = 0;
    zrmstblAddColumnSkey(zog, &source, 0, "Source");
    zrmstblAddColumnD(zog, &chisq, msg326::RMS_CHISQ, "ChiSq");
    zrmstblAddColumnD(zog, &df, msg326::RMS_DF, "DF");
    zrmstblAddColumnD(zog, &p, msg326::RMS_PCHISQ, "ProbChiSq");
    ComputeGlobalTest(us, &chisq, &df);
    // A statistic that is not a number is missing, with its p-value; a
    // finite one shows at most 9999.9. Without a degree of freedom there is
    // no p-value.
    if (std::isnan(chisq)) {
        chisq = korv_missing();
        p = korv_missing();
    } else {
        chisq = std::min(chisq, kDisplayCap);
        p = df > 0 ? zpgx2(chisq, static_cast<long>(df)) : korv_missing();
    }
    q->pval = p;
    zrmstblInit(zog);
    zrmstblOutG(zog, zrmstblTemplate(zog, name), 0);
    zrmstblPut(zog);
    zrmstblClose(zog);
    return ZRMS_NOPROBLEM;
}
