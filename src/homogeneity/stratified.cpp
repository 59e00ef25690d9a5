// The tests of equal survival across the levels of the GROUP= variable,
// stratified by the strata: each stratum's records are reread with their
// levels, ranked by themselves and walked from the largest time down, its
// risk sets holding only that stratum's subjects; the level scores and their
// covariances are summed over the strata. Unweighted (the six rank tests and,
// with a single stratum of no STRATA variables, the likelihood-ratio test of
// the exponential model) and with a WEIGHT variable (log-rank, Wilcoxon,
// Tarone). The tables, trend tests, saved scores and graph-inset p-values are
// the closing stage shared with the tests across strata.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <vector>

#include "common/options.h"
#include "common/strata.h"
#include "homogeneity/present.h"
#include "runtime/missing.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace korv_hom
{
namespace
{

// The column of each level identity: the level at position j of the
// BY group's level list owns column j, whatever number the data pass gave it.
std::vector<int32_t> level_columns(KorvPtr q)
{
    int top = -1;
    for (GRPTREE* t = q->grpvar->ghead; t; t = t->left)
        top = std::max(top, t->index);
    std::vector<int32_t> map(static_cast<size_t>(top + 1), -1);
    int j = 0;
    for (GRPTREE* t = q->grpvar->ghead; t; t = t->left)
        map[static_cast<size_t>(t->index)] = j++;
    return map;
}

int64_t largest_stratum(KorvPtr q)
{
    int64_t n = 0;
    for (STRATA* s = q->strata; s; s = s->left)
        n = std::max(n, s->nobs);
    return n;
}

// Reads one stratum's records: times, signed frequencies, weights (when wt
// is given) and the column of each record's level. Returns the records read.
int64_t read_stratum(KorvPtr q, STRATA* s, const std::vector<int32_t>& map, double* time,
                     double* freq, double* wt, int32_t* col)
{
    int64_t k = 0;
    for (NOTESTR* e = s->note; e && k < s->nobs; e = e->next) {
        const int64_t c = std::min<int64_t>(q->blockno, s->nobs - k);
        check_file(xcpntd(q->utid, e->notet));
        check_file(xcread(q->utid, time + k, static_cast<long>(8 * c)));
        check_file(xcpntd(q->utid, e->notef));
        check_file(xcread(q->utid, freq + k, static_cast<long>(8 * c)));
        check_file(xcpntd(q->utid, e->noteg));
        check_file(xcread(q->utid, col + k, static_cast<long>(4 * c)));
        if (wt) {
            check_file(xcpntd(q->utid, e->notew));
            check_file(xcread(q->utid, wt + k, static_cast<long>(8 * c)));
        }
        k += c;
    }
    for (int64_t i = 0; i < k; ++i) {
        const int32_t x = col[i];
        col[i] = x >= 0 && static_cast<size_t>(x) < map.size() ? map[static_cast<size_t>(x)] : 0;
    }
    return k;
}

// Too many levels for the matrices of the tests: said, and no test is made
// (the graph insets show no p-value rather than a stale one).
bool levels_fit(KorvPtr q, int k)
{
    if (korv_hom_fits(q, k))
        return true;
    const HomSize s = korv_hom_size(q, k);
    char need[32], limit[32];
    korv_hom_describe_bytes(s.need, need, sizeof need);
    korv_hom_describe_bytes(s.limit, limit, sizeof limit);
    xpmlog(326, msg326::GROUP_TESTS_TOO_BIG, k, need, limit,
           s.fromMemsize ? "MEMSIZE=" : "the limit for the matrices of the tests");
    // A request left undone is a warning, and the step's return code says
    // so, as it does for too many strata.
    q->rc = std::max(q->rc, 4);
    reset_ogstat(q->ogstat);
    return false;
}

// The likelihood-ratio statistic of the exponential model across the levels
// of one stratum: per level its total time T_j and events D_j, from the
// records. A level whose total time is 0 leaves the
// statistic undefined (no logarithm of 0 is taken); one without events
// marks the row.
HomLR group_lr(int k, int64_t n, const double* time, const double* freq, const int32_t* col)
{
    // The total times in a power-of-two unit, as the tests across strata keep
    // them: times near the largest double do not overflow.
    std::vector<korv_num::ScaledSum> T(static_cast<size_t>(k));
    std::vector<double> D(static_cast<size_t>(k), 0.0);
    for (int64_t i = 0; i < n; ++i) {
        const double f = freq[i];
        const size_t j = static_cast<size_t>(col[i]);
        T[j].add(std::fabs(f), time[i]);
        if (f > 0)
            D[j] += f;
    }
    HomLR lr;
    for (int j = 0; j < k; ++j)
        korv_lr_add_total(&lr, T[static_cast<size_t>(j)], D[static_cast<size_t>(j)]);
    korv_lr_finish(&lr);
    return lr;
}

// Collects the (events, at risk) records of a stratum's retained times.
void keep_record(void* ctx, double ndie, double nrisk)
{
    auto* v = static_cast<std::vector<double>*>(ctx);
    v->push_back(ndie);
    v->push_back(nrisk);
}

} // namespace

void StratifiedTest(KorvPtr q)
{
    const int k = group_levels(q);
    if (k < 1 || !levels_fit(q, k))
        return;
    POOLHANDLE* pool = open_pool();
    if (!pool)
        return;
    const int ktype = q->ktype;
    reset_ogstat(q->ogstat);
    const bool zkm = (ktype & test_bit::NEEDS_POOLED_FILE) != 0;
    const double* fleming = zkm ? q->fleming : nullptr;
    const std::vector<int32_t> map = level_columns(q);
    const int64_t maxn = largest_stratum(q);
    const int64_t bs = korv_block_size(k);

    PoolTake take{pool};
    HomWork w = take_hom_work(take, k, ktype, maxn);
    double* first = w.first;
    double* const* opt = w.opt;
    char* dfs = w.dfs;
    double* time = w.time;
    double* freq = w.freq;
    int64_t* jndx = w.jndx;
    int32_t* col = w.tag;
    if (take.failed) {
        xmpoold(pool);
        return;
    }
    HomBlocks b;
    b.lr = first;
    b.wil = first + bs;
    b.tar = opt[0];
    b.peto = opt[1];
    b.mpeto = opt[2];
    b.flem = opt[3];
    double* risk = first + 2 * bs;
    double* die = risk + k;
    double* work = time + maxn;

    // Each stratum by itself; only the scores and covariances carry over.
    const bool wantLR = (ktype & test_bit::LR) && q->nsvar == 0;
    HomLR lr;
    std::vector<double> km;
    for (STRATA* s = q->strata; s; s = s->left) {
        std::fill(risk, risk + k, 0.0);
        const int64_t n = read_stratum(q, s, map, time, freq, nullptr, col);
        if (n < 1)
            continue;
        korv_hom_rank(time, freq, jndx, n);
        km.clear();
        // The diagonals are closed once, after the last stratum: closing
        // them after each would cost the whole matrix per stratum.
        const int64_t nfail = korv_hom_first_pass(k, n, freq, col, jndx, risk, die, b,
                                                  zkm ? keep_record : nullptr, &km, false);
        if (zkm) {
            // The stratum's own pooled survival weighs its times.
            km.push_back(1.0);
            km.push_back(1.0);
            korv_hom_pooled_survival(km.data(), nfail);
            korv_hom_second_pass(k, n, freq, col, jndx, risk, die, km.data(), fleming, b, false);
        }
        // Without STRATA variables the BY group is this one stratum.
        if (wantLR)
            lr = group_lr(k, n, time, freq, col);
    }

    for (double* block : {b.lr, b.wil, b.tar})
        korv_hom_close_rows(block, k);
    if (zkm)
        for (double* block : {b.flem, b.peto, b.mpeto})
            korv_hom_close_rows(block, k);

    Levels L;
    L.k = k;
    L.ktype = ktype;
    L.groups = true;
    L.blocks[0] = b.lr;
    L.blocks[1] = b.wil;
    L.blocks[2] = b.tar;
    L.blocks[3] = b.peto;
    L.blocks[4] = b.mpeto;
    L.blocks[5] = b.flem;
    L.dfs = dfs;
    L.work = work;
    L.x = risk; // the risk sets are no longer needed
    finish_tests(q, L, wantLR ? &lr : nullptr, pool);
}

void WeightedStratifiedTest(KorvPtr q)
{
    const int k = group_levels(q);
    if (k < 1 || !levels_fit(q, k))
        return;
    POOLHANDLE* pool = open_pool();
    if (!pool)
        return;
    // Only log-rank, Wilcoxon and Tarone exist with weights.
    const int ktype = q->ktype & (test_bit::TREND | test_bit::NODETAIL | test_bit::LOGRANK |
                                  test_bit::WILCOXON | test_bit::TARONE);
    reset_ogstat(q->ogstat);
    const std::vector<int32_t> map = level_columns(q);
    const int64_t maxn = largest_stratum(q);
    const int64_t m = static_cast<int64_t>(k) * (k + 1) / 2;
    const int64_t bs = korv_block_size(k);

    PoolTake take{pool};
    auto* first = static_cast<double*>(take((2 * (k + m) + 2) * 8));
    double* tar =
        (ktype & test_bit::TARONE) ? static_cast<double*>(take((m + k + 1) * 8)) : nullptr;
    auto* acc = static_cast<double*>(take(6 * k * 8 + 8));
    auto* dfs = static_cast<char*>(take(k + 1));
    auto* time = static_cast<double*>(take(maxn * 8));
    auto* freq = static_cast<double*>(take(maxn * 8));
    auto* wt = static_cast<double*>(take(maxn * 8));
    auto* jndx = static_cast<int64_t*>(take(maxn * 8));
    auto* col = static_cast<int32_t*>(take(maxn * 4));
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

    // One unit of the weights for the sums of every stratum.
    HomWeightUnit unit;
    for (STRATA* s = q->strata; s; s = s->left) {
        // Each stratum's risk sets start empty.
        std::fill(riskWt, riskWt + 2 * k, 0.0);
        const int64_t n = read_stratum(q, s, map, time, freq, wt, col);
        if (n < 1)
            continue;
        korv_hom_rank(time, freq, jndx, n);
        korv_hom_weighted_pass(k, n, freq, wt, col, jndx, riskWt, riskWt2, dieWt, lr, wil, tar,
                               &unit);
    }

    Levels L;
    L.k = k;
    L.ktype = ktype;
    L.groups = true;
    L.blocks[0] = lr;
    L.blocks[1] = wil;
    L.blocks[2] = tar;
    korv_hom_weight_score_exps(unit, L.scoreExp);
    L.dfs = dfs;
    L.work = work;
    L.x = x;
    finish_tests(q, L, nullptr, pool);
}

} // namespace korv_hom

void korv_group_announce(KorvPtr q)
{
    if (!q->grpvar || (q->ktype & test_bit::NONE) || !(q->zprint || q->ogstat))
        return;
    // Many levels that fit: say what the tests will take before the
    // estimates, as for many strata. Too many to fit is said when the tests
    // would run.
    const int k = korv_hom::group_levels(q);
    if (k >= KORV_HOM_MANY_STRATA && korv_hom_fits(q, k))
        korv_hom_note_cost(q, k, msg326::MANY_GROUP_LEVELS);
}
