// The WEIGHT-statement test of equal survival across strata: weighted
// log-rank, Wilcoxon and Tarone tests over the pooled records, with the same
// tables, trend tests and graph-inset p-values as the unweighted test.
#include <cstring>

#include <algorithm>

#include "frame/frame.h"
#include "frame/parse.h"
#include "homogeneity/present.h"
#include "vyr_host.h"

using namespace korv_hom;

namespace
{

void HomTest(KorvPtr q)
{
    POOLHANDLE* pool = xmpoolc(0, 1024, 6);
    if (!pool) {
        xmemmsg(xmemdef());
        xpmlog(326, 63);
        return;
    }
    const int k = q->nstrata;
    // Only log-rank, Wilcoxon and Tarone exist with weights; the other bits
    // were reported when the statement was read.
    const int ktype = q->ktype & (0x1 | 0x4 | 0x8 | 0x10 | 0x20);
    // Every inset p-value starts missing, so that none shows a stale value.
    reset_ogstat(q->ogstat);
    const bool zdetails = q->zprint && !(ktype & 4);

    int64_t n = 0;
    {
        STRATA* s = q->strata;
        for (int i = 0; i < k && s; ++i, s = s->left)
            n += s->nobs;
    }
    const int64_t m = static_cast<int64_t>(k) * (k + 1) / 2;
    const int64_t bs = korv_block_size(k);
    bool failed = false;
    auto take = [&](int64_t bytes) -> void* {
        if (failed)
            return nullptr;
        void* p = pool->allocate(pool, bytes > 0 ? bytes : 8, 0x2000);
        if (!p) {
            failed = true;
            xpmlog(326, 63);
            xmemmsg(xmemdef());
        }
        return p;
    };
    auto* first = static_cast<double*>(take((2 * (k + m) + 2) * 8));
    double* tar = (ktype & 0x20) ? static_cast<double*>(take((m + k + 1) * 8)) : nullptr;
    auto* acc = static_cast<double*>(take(6 * k * 8 + 8));
    auto* dfs = static_cast<char*>(take(k + 1));
    auto* time = static_cast<double*>(take((n + k + 1) * 8));
    auto* freq = static_cast<double*>(take(n * 8));
    auto* wt = static_cast<double*>(take(n * 8));
    auto* jndx = static_cast<int64_t*>(take(n * 8));
    auto* sflag = static_cast<int64_t*>(take(n * 8));
    if (failed) {
        xmpoold(pool);
        return;
    }
    double* lr = first;
    double* wil = first + bs;
    double* riskWt = acc;
    double* riskWt2 = acc + k;
    double* dieWt = acc + 2 * k;
    double* x = acc + 3 * k;
    double* work = acc + 4 * k; // 2k + 1 doubles

    int64_t off = 0;
    {
        STRATA* s = q->strata;
        for (int h = 0; h < k && s; ++h, s = s->left) {
            const int64_t start = off;
            int64_t done = 0;
            for (NOTESTR* e = s->note; e && done < s->nobs; e = e->next) {
                const int64_t c = std::min<int64_t>(q->blockno, s->nobs - done);
                const long bytes = static_cast<long>(8 * c);
                check_file(xcpntd(q->utid, e->notet));
                check_file(xcread(q->utid, time + off, bytes));
                check_file(xcpntd(q->utid, e->notef));
                check_file(xcread(q->utid, freq + off, bytes));
                check_file(xcpntd(q->utid, e->notew));
                check_file(xcread(q->utid, wt + off, bytes));
                off += c;
                done += c;
            }
            for (int64_t j = start; j < off; ++j)
                sflag[j] = h;
        }
    }
    n = off;
    if (n > 0)
        korv_hom_rank(time, freq, jndx, n);
    korv_hom_weighted_pass(k, n, freq, wt, sflag, jndx, riskWt, riskWt2, dieWt, lr, wil, tar);

    Levels L;
    L.k = k;
    L.ktype = ktype;
    L.blocks[0] = lr;
    L.blocks[1] = wil;
    L.blocks[2] = tar;
    L.dfs = dfs;
    L.work = work;
    L.x = x;
    xobop group = nullptr;
    if (zdetails && !(ktype & 1))
        details(q, L, &group);
    save_scores(q, L);
    std::memset(q->varname, ' ', sizeof q->varname);
    if (ktype & 1) {
        strata_trend_scores(q, x, k);
        trend_branch(q, L, &group);
    } else {
        test_rows(q, L, nullptr);
    }
    xmpoold(pool);
    if (q->survdiff) {
        q->survdiff->var = nullptr;
        q->survdiff->mean = nullptr;
    }
    release_group(group);
}

} // namespace

void korvwho(KorvPtr q)
{
    if (q->ktype & 2)
        return;
    if (q->grpvar)
        return;
    HomTest(q);
}
