// The WEIGHT-statement test of equal survival across strata: weighted
// log-rank, Wilcoxon and Tarone tests over the pooled records, with the same
// tables, trend tests and graph-inset p-values as the unweighted test.
#include "common/options.h"
#include "common/strata.h"
#include "homogeneity/present.h"
#include "vyr_host.h"

using namespace korv_hom;

namespace
{

void HomTest(KorvPtr q)
{
    POOLHANDLE* pool = open_pool();
    if (!pool)
        return;
    const int k = q->nstrata;
    // Only log-rank, Wilcoxon and Tarone exist with weights; the other bits
    // were reported when the statement was read.
    const int ktype = q->ktype & (test_bit::TREND | test_bit::NODETAIL | test_bit::LOGRANK |
                                  test_bit::WILCOXON | test_bit::TARONE);
    // Every inset p-value starts missing, so that none shows a stale value.
    reset_ogstat(q->ogstat);

    int64_t n = strata_obs(q, k);
    const int64_t m = static_cast<int64_t>(k) * (k + 1) / 2;
    const int64_t bs = korv_block_size(k);
    PoolTake take{pool};
    auto* first = static_cast<double*>(take((2 * (k + m) + 2) * 8));
    double* tar =
        (ktype & test_bit::TARONE) ? static_cast<double*>(take((m + k + 1) * 8)) : nullptr;
    auto* acc = static_cast<double*>(take(6 * k * 8 + 8));
    auto* dfs = static_cast<char*>(take(k + 1));
    auto* time = static_cast<double*>(take((n + k + 1) * 8));
    auto* freq = static_cast<double*>(take(n * 8));
    auto* wt = static_cast<double*>(take(n * 8));
    auto* jndx = static_cast<int64_t*>(take(n * 8));
    auto* sflag = static_cast<int32_t*>(take(n * 4));
    if (take.failed) {
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

    n = load_strata(q, k, time, freq, wt, sflag, nullptr);
    if (n > 0)
        korv_hom_rank(time, freq, jndx, n);
    HomWeightUnit unit;
    korv_hom_weighted_pass(k, n, freq, wt, sflag, jndx, riskWt, riskWt2, dieWt, lr, wil, tar,
                           &unit);

    Levels L;
    L.k = k;
    L.ktype = ktype;
    L.blocks[0] = lr;
    L.blocks[1] = wil;
    L.blocks[2] = tar;
    korv_hom_weight_score_exps(unit, L.scoreExp);
    L.dfs = dfs;
    L.work = work;
    L.x = x;
    finish_tests(q, L, nullptr, pool);
}

} // namespace

void korvwho(KorvPtr q)
{
    if (q->ktype & test_bit::NONE)
        return;
    // With GROUP= the levels are compared within the strata.
    if (q->grpvar) {
        WeightedStratifiedTest(q);
        return;
    }
    HomTest(q);
}
