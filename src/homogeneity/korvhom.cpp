// The unweighted test of equal survival across the strata of a BY group:
// pools the records of every stratum, ranks them once, runs the two passes of
// the rank tests and closes with the tables and the graph-inset p-values.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "common/rankorder.h"

#include "common/options.h"
#include "common/strata.h"
#include "homogeneity/present.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

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

// The pooled counts per distinct time and stratum, from the strata's tallies
// (see HomCounts); false, with nothing made, when a stratum has none or the
// total is not an exact count.
struct PooledCounts {
    std::vector<double> time, events, censored;
    std::vector<int32_t> level;
    HomCounts view() const
    {
        HomCounts c;
        c.n = static_cast<int64_t>(time.size());
        c.time = time.data();
        c.level = level.data();
        c.events = events.data();
        c.censored = censored.data();
        return c;
    }
};

bool pool_counts(KorvPtr q, int k, PooledCounts& out, HomLR* lr)
{
    double total = 0.0;
    int64_t entries = 0;
    STRATA* s = q->strata;
    for (int h = 0; h < k; ++h, s = s->left) {
        if (!s || !s->tally)
            return false;
        total += s->cum;
        entries += s->tally->n;
    }
    if (!(total <= 9007199254740992.0)) // 2^53
        return false;
    // The entries in decreasing order of time (the order of entries at one
    // time does not matter: their counts add up exactly).
    std::vector<uint64_t> key(static_cast<size_t>(entries));
    std::vector<int64_t> from(static_cast<size_t>(entries));
    std::vector<int32_t> lev(static_cast<size_t>(entries));
    int64_t x = 0;
    s = q->strata;
    for (int h = 0; h < k; ++h, s = s->left) {
        for (int64_t d = 0; d < s->tally->n; ++d, ++x) {
            key[static_cast<size_t>(x)] = korv_rank_detail::order_key(s->tally->time[d]);
            from[static_cast<size_t>(x)] = d;
            lev[static_cast<size_t>(x)] = h;
        }
        if (lr)
            korv_lr_add_total(lr, s->tally->lrTime, s->cum - s->cen);
    }
    std::vector<int64_t> order(static_cast<size_t>(entries));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
        return key[static_cast<size_t>(a)] > key[static_cast<size_t>(b)];
    });
    std::vector<TIMETALLY*> tallies(static_cast<size_t>(k));
    s = q->strata;
    for (int h = 0; h < k; ++h, s = s->left)
        tallies[static_cast<size_t>(h)] = s->tally;
    out.time.resize(static_cast<size_t>(entries));
    out.events.resize(static_cast<size_t>(entries));
    out.censored.resize(static_cast<size_t>(entries));
    out.level.resize(static_cast<size_t>(entries));
    for (int64_t i = 0; i < entries; ++i) {
        const size_t o = static_cast<size_t>(order[static_cast<size_t>(i)]);
        const TIMETALLY* t = tallies[static_cast<size_t>(lev[o])];
        const int64_t d = from[o];
        out.time[static_cast<size_t>(i)] = t->time[d];
        out.events[static_cast<size_t>(i)] = t->events[d];
        out.censored[static_cast<size_t>(i)] = t->censored[d];
        out.level[static_cast<size_t>(i)] = lev[o];
    }
    return true;
}

void HomTest(KorvPtr q)
{
    POOLHANDLE* pool = open_pool();
    if (!pool)
        return;
    const int k = q->nstrata;
    const int ktype = q->ktype;
    reset_ogstat(q->ogstat);
    const bool zkm = (ktype & (test_bit::PETO | test_bit::MODPETO | test_bit::FLEMING)) != 0;
    XCFILE* utid2 = zkm ? q->utid2 : nullptr;
    const double* fleming = zkm ? q->fleming : nullptr;
    if (utid2)
        check_file(xcpoint(utid2, -2));

    // The strata counted per distinct time when they could be: then the
    // records are neither reread nor ranked again.
    HomLR lr;
    PooledCounts pooled;
    const bool counted = pool_counts(q, k, pooled, &lr);
    int64_t n = counted ? 0 : strata_obs(q, k);
    const int64_t bs = korv_block_size(k);

    // Every exit after this point deletes the pool.
    PoolTake take{pool};
    HomWork w = take_hom_work(take, k, ktype, n);
    double* first = w.first;
    double* const* opt = w.opt;
    char* dfs = w.dfs;
    double* time = w.time;
    double* freq = w.freq;
    int64_t* jndx = w.jndx;
    int32_t* sflag = w.tag;
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
    if (!counted)
        n = load_strata(q, k, time, freq, nullptr, sflag, &lr);
    korv_lr_finish(&lr);
    if (n > 0)
        korv_hom_rank(time, freq, jndx, n);
    const HomCounts counts = pooled.view();

    HomBlocks b;
    b.lr = logrankvar;
    b.wil = wilrankvar;
    b.tar = opt[0];
    b.peto = opt[1];
    b.mpeto = opt[2];
    b.flem = opt[3];
    std::vector<double> kept;
    const HomRecordSink sink = zkm ? (utid2 ? write_record : keep_record) : nullptr;
    void* ctx = utid2 ? static_cast<void*>(utid2) : &kept;
    const int64_t nfail =
        counted ? korv_hom_first_pass_counts(k, counts, risk, die, b, sink, ctx)
                : korv_hom_first_pass(k, n, freq, sflag, jndx, risk, die, b, sink, ctx);
    if (zkm) {
        auto* km = static_cast<double*>(pool->allocate(pool, 16 * (nfail + 1), 0x2000));
        if (!km) {
            xpmlog(326, msg326::NO_MEMORY_FOR_POOLED_ESTIMATE,
                   (ktype & test_bit::FLEMING) ? "FLEMING"
                   : (ktype & test_bit::PETO)  ? "PETO"
                                               : "MODPETO");
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
        if (counted)
            korv_hom_second_pass_counts(k, counts, risk, die, km, fleming, b);
        else
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
    if (q->ktype & test_bit::NONE)
        return;
    // With GROUP= the levels are compared within the strata.
    if (q->grpvar) {
        StratifiedTest(q);
        return;
    }
    HomTest(q);
}
