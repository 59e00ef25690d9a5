// The unweighted test of equal survival across the strata of a BY group:
// pools the records of every stratum, ranks them once, runs the two passes of
// the rank tests and closes with the tables and the graph-inset p-values.
#include <cstring>
#include <vector>

#include "common/options.h"
#include "common/strata.h"
#include "homogeneity/present.h"
#include "vyr_host.h"

using namespace korv_hom;

namespace
{

// Writes one (events, at risk) record of a retained time to the work file.
void write_record(void* ctx, double ndie, double nrisk)
{
    const double rec[2] = {ndie, nrisk};
    check_file(xcwrite(static_cast<XCFILE*>(ctx), rec, sizeof rec));
}

// The work file's records when no work file was opened.
void keep_record(void* ctx, double ndie, double nrisk)
{
    auto* v = static_cast<std::vector<double>*>(ctx);
    v->push_back(ndie);
    v->push_back(nrisk);
}

void HomTest(KorvPtr q)
{
    POOLHANDLE* pool = open_pool();
    if (!pool)
        return;
    const int k = q->nstrata;
    const int ktype = q->ktype;
    reset_ogstat(q->ogstat);
    const bool zkm = (ktype & (0x40 | 0x80 | 0x100)) != 0;
    XCFILE* utid2 = zkm ? q->utid2 : nullptr;
    const double* fleming = zkm ? q->fleming : nullptr;
    if (utid2)
        check_file(xcpoint(utid2, -2));

    int64_t n = strata_obs(q, k);
    const int64_t P = static_cast<int64_t>(k) * (k + 1) / 2;
    const int64_t bs = korv_block_size(k);

    // Every exit after this point deletes the pool.
    PoolTake take{pool};
    auto* first = static_cast<double*>(take((k + 1) * static_cast<int64_t>(k + 4) * 8));
    double* opt[4] = {};
    for (int t = 0; t < 4; ++t)
        if (ktype & (0x20 << t))
            opt[t] = static_cast<double*>(take((P + k + 1) * 8));
    auto* dfs = static_cast<char*>(take(k + 1));
    auto* time = static_cast<double*>(take((n + k + 1) * 8));
    auto* freq = static_cast<double*>(take(n * 8));
    auto* jndx = static_cast<int64_t*>(take(n * 8));
    auto* sflag = static_cast<int32_t*>(take(n * 4));
    if (take.failed) {
        xmpoold(pool);
        return;
    }
    double* logrankvar = first;
    double* wilrankvar = first + bs;
    double* risk = first + 2 * bs;
    double* die = risk + k;
    double* work = time + n;

    // Load the strata, stratum after stratum, with the likelihood-ratio totals.
    HomLR lr;
    n = load_strata(q, k, time, freq, nullptr, sflag, &lr);
    korv_lr_finish(&lr);
    if (n > 0)
        korv_hom_rank(time, freq, jndx, n);

    HomBlocks b;
    b.lr = logrankvar;
    b.wil = wilrankvar;
    b.tar = opt[0];
    b.peto = opt[1];
    b.mpeto = opt[2];
    b.flem = opt[3];
    std::vector<double> kept;
    const int64_t nfail = korv_hom_first_pass(k, n, freq, sflag, jndx, risk, die, b,
                                              zkm ? (utid2 ? write_record : keep_record) : nullptr,
                                              utid2 ? static_cast<void*>(utid2) : &kept);
    if (zkm) {
        auto* km = static_cast<double*>(pool->allocate(pool, 16 * (nfail + 1), 0x2000));
        if (!km) {
            xpmlog(326, 521, (ktype & 0x100) ? "FLEMING" : (ktype & 0x40) ? "PETO" : "MODPETO");
            xmemmsg(xmemdef());
            xmpoold(pool);
            return;
        }
        if (nfail > 0) {
            if (utid2) {
                check_file(xcpoint(utid2, 0));
                check_file(xcread(utid2, km, static_cast<long>(16 * nfail)));
            } else {
                std::memcpy(km, kept.data(), static_cast<size_t>(16 * nfail));
            }
        }
        korv_hom_pooled_survival(km, nfail);
        korv_hom_second_pass(k, n, freq, sflag, jndx, risk, die, km, fleming, b);
    }

    Levels L;
    L.k = k;
    L.ktype = ktype;
    L.blocks[0] = b.lr;
    L.blocks[1] = b.wil;
    L.blocks[2] = b.tar;
    L.blocks[3] = b.peto;
    L.blocks[4] = b.mpeto;
    L.blocks[5] = b.flem;
    L.dfs = dfs;
    L.work = work;
    L.x = risk; // the risk sets are no longer needed
    finish_tests(q, L, &lr, pool);
}

} // namespace

void korvhom(KorvPtr q)
{
    if (q->ktype & 2)
        return;
    // With GROUP= the levels are compared within the strata.
    if (q->grpvar) {
        StratifiedTest(q);
        return;
    }
    HomTest(q);
}
