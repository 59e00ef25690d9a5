// Stratum reread: brings a stratum's records back from the utility file into
// the per-stratum arrays, builds the rank index, copies the records into rank
// order and counts them per distinct time for the tests across strata. The
// same work can be done ahead, off the calling thread, into a stratum's own
// arrays (StratumArea), which the estimators then take in place of the common
// block's.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/rankorder.h"
#include "frame/frame.h"
#include "frame/rank.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"
#include "vyr_host.h"

namespace
{

// The largest count a double holds exactly.
constexpr double LARGEST_EXACT_COUNT = 9007199254740992.0; // 2^53

// The number of distinct times of n records in rank order when they can be
// counted per distinct time (see TIMETALLY), else -1: a frequency is not a
// whole number, the total `cum` is not an exact count, or the times hardly
// repeat (then the counts would take about as much room as the records).
int64_t tally_distinct(const double* t, const double* f, int64_t n, double cum)
{
    if (n < 1 || !(cum <= LARGEST_EXACT_COUNT))
        return -1;
    int64_t distinct = 0;
    for (int64_t j = 0; j < n; ++j) {
        const double a = std::fabs(f[j]);
        if (a != std::floor(a))
            return -1;
        if (j == 0 || t[j] != t[j - 1])
            ++distinct;
    }
    return distinct > n / 2 + 1 ? -1 : distinct;
}

// Counts the n records in rank order into the distinct times' arrays.
void tally_fill(const double* t, const double* f, int64_t n, double* time, double* events,
                double* censored)
{
    int64_t d = -1;
    for (int64_t j = 0; j < n; ++j) {
        if (j == 0 || t[j] != t[j - 1]) {
            ++d;
            time[d] = t[j];
            events[d] = 0;
            censored[d] = 0;
        }
        if (f[j] > 0)
            events[d] += f[j];
        else
            censored[d] -= f[j];
    }
}

// A tally in the node pool holding `distinct` times.
TIMETALLY* new_tally(KORVCOM* q, int64_t distinct)
{
    auto* tally = static_cast<TIMETALLY*>(xmalloc_or_exit(q->polnode, sizeof(TIMETALLY), 0x2000));
    auto* arrays = static_cast<double*>(
        xmalloc_or_exit(q->polnode, 3 * distinct * static_cast<int64_t>(sizeof(double)), 0x2000));
    tally->n = distinct;
    tally->time = arrays;
    tally->events = arrays + distinct;
    tally->censored = arrays + 2 * distinct;
    return tally;
}

// The stratum's records counted per distinct time, from the records in rank
// order; null when they cannot be (see tally_distinct).
TIMETALLY* make_tally(KORVCOM* q, STRATA* node)
{
    const int64_t n = node->nobs;
    if (!q->polnode)
        return nullptr;
    const int64_t distinct = tally_distinct(q->rtimes, q->rfreqs, n, node->cum);
    if (distinct < 0)
        return nullptr;
    TIMETALLY* tally = new_tally(q, distinct);
    tally_fill(q->rtimes, q->rfreqs, n, tally->time, tally->events, tally->censored);
    tally->lrTime = korv_lr_time(q->times, q->freqs, n);
    return tally;
}

// The rank index of the stratum's records and their copies in rank order.
void rank_and_copy(const KORVCOM* q, int64_t n, const double* times, const double* freqs,
                   const double* weights, int64_t* indxs, double* rtimes, double* rfreqs,
                   double* rweights)
{
    bool copied = false;
    if (q->zsorted) {
        korv_sorted_index(times, freqs, indxs, n);
    } else if (n >= 1) {
        korv_rank_detail::RankCopies copy;
        copy.weight = weights;
        copy.rtime = rtimes;
        copy.rfreq = rfreqs;
        copy.rweight = rweights;
        copied = korv_rank_order(times, freqs, indxs, n, copy);
    }
    if (!rtimes || !rfreqs || copied)
        return;
    for (int64_t j = 0; j < n; ++j) {
        const int64_t r = std::llabs(indxs[j]) - 1;
        rtimes[j] = times[r];
        rfreqs[j] = freqs[r];
        if (rweights && weights)
            rweights[j] = weights[r];
    }
}

// The counts still ahead of each ranked position, added up from the last
// record down, as the product-limit engine adds them up: frequencies, or with
// weights frequency x weight and frequency x weight squared.
void add_up_ahead(const double* rf, const double* rw, int64_t n, double* ahead, double* ahead2)
{
    ahead[n] = 0.0;
    if (rw)
        ahead2[n] = 0.0;
    for (int64_t j = n - 1; j >= 0; --j) {
        const double freq = std::fabs(rf[j]);
        if (rw) {
            const double w = rw[j];
            ahead[j] = ahead[j + 1] + freq * w;
            ahead2[j] = ahead2[j + 1] + freq * w * w;
        } else {
            ahead[j] = ahead[j + 1] + freq;
        }
    }
}

// Records the arrays of the stratum as read into the blocks of 50 records:
// room for whole blocks.
int64_t block_rows(const KORVCOM* q, int64_t nobs)
{
    const int64_t b = q->blockno > 0 ? q->blockno : 1;
    return (nobs + b - 1) / b * b;
}

} // namespace

void korvrnk(KORVCOM* /*q*/, const double* data, const double* freq, int64_t* antirank,
             int64_t count)
{
    if (count < 1)
        return;
    korv_rank_order(data, freq, antirank, count);
}

void korvbeg(KORVCOM* q, STRATA* node)
{
    q->stratumno += 1.0;
    XCFILE* f = q->utid;
    int64_t k = 0;
    for (NOTESTR* e = node->note; e && k < node->nobs; e = e->next, k += q->blockno) {
        check_file(xcpntd(f, e->notet));
        check_file(xcread(f, q->times + k, q->blockt));
        check_file(xcpntd(f, e->notef));
        check_file(xcread(f, q->freqs + k, q->blockf));
        if (q->zwt) {
            check_file(xcpntd(f, e->notew));
            check_file(xcread(f, q->weights + k, q->blockt));
        }
        if (q->nid > 0 && q->blocki > 0) {
            check_file(xcpntd(f, e->notei));
            check_file(xcread(f, q->ids + k * q->idlen, q->blocki));
        }
    }
    // The records in rank order, read in sequence by the estimators: one
    // gather through the index here instead of one per record and pass.
    node->tally = nullptr;
    const bool ranked = q->rtimes && q->rfreqs;
    rank_and_copy(q, node->nobs, q->times, q->freqs, q->weights, q->indxs,
                  ranked ? q->rtimes : nullptr, ranked ? q->rfreqs : nullptr, q->rweights);
    if (ranked)
        node->tally = make_tally(q, node);
}

// ---------------------------------------------------------------------------
// A stratum prepared ahead.

int64_t korv_stratum_bytes(const KORVCOM* q, const STRATA* node)
{
    const int64_t m = block_rows(q, node->nobs);
    // Times, frequencies, rank index, both in rank order, the counts ahead.
    int64_t perRow = 6 * 8;
    if (q->zwt)
        perRow += 3 * 8;
    if (q->nid > 0 && q->blocki > 0)
        perRow += q->idlen;
    return m * perRow;
}

void korv_stratum_release(KORVCOM* q, StratumArea& a)
{
    if (q->polwork)
        for (int i = 0; i < a.nblocks; ++i)
            q->polwork->free(q->polwork, a.blocks[i], a.sizes[i], 0);
    a = StratumArea{};
}

bool korv_stratum_prepare(const KORVCOM* q, const STRATA* node, StratumArea& a)
{
    a = StratumArea{};
    POOLHANDLE* pool = q->polwork;
    const XCFILE* f = q->utid;
    if (!pool || !f || node->nobs < 1)
        return false;
    const int64_t n = node->nobs;
    const int64_t m = block_rows(q, n);
    const bool withIds = q->nid > 0 && q->blocki > 0 && q->idlen > 0;
    bool ok = true;
    auto take = [&](int64_t bytes) -> void* {
        if (!ok || a.nblocks >= StratumArea::MAX_BLOCKS)
            return ok = false, nullptr;
        void* p = pool->allocate(pool, bytes, 0);
        if (!p)
            return ok = false, nullptr;
        a.blocks[a.nblocks] = p;
        a.sizes[a.nblocks++] = bytes;
        return p;
    };
    a.times = static_cast<double*>(take(m * 8));
    a.freqs = static_cast<double*>(take(m * 8));
    a.weights = q->zwt ? static_cast<double*>(take(m * 8)) : nullptr;
    a.ids = withIds ? static_cast<char*>(take(m * q->idlen)) : nullptr;
    a.indxs = static_cast<int64_t*>(take(m * 8));
    a.rtimes = static_cast<double*>(take(m * 8));
    a.rfreqs = static_cast<double*>(take(m * 8));
    a.rweights = q->zwt ? static_cast<double*>(take(m * 8)) : nullptr;
    // The product-limit family's counts still ahead (not the life table's).
    const bool counts = q->method != 1;
    a.ahead = counts ? static_cast<double*>(take((m + 1) * 8)) : nullptr;
    a.ahead2 = counts && q->zwt ? static_cast<double*>(take((m + 1) * 8)) : nullptr;
    if (!ok)
        return false;
    int64_t k = 0;
    for (const NOTESTR* e = node->note; e && k < n; e = e->next, k += q->blockno) {
        if (xcreadat(f, e->notet, a.times + k, q->blockt) != 0 ||
            xcreadat(f, e->notef, a.freqs + k, q->blockf) != 0 ||
            (q->zwt && xcreadat(f, e->notew, a.weights + k, q->blockt) != 0) ||
            (withIds && xcreadat(f, e->notei, a.ids + k * q->idlen, q->blocki) != 0))
            return false;
    }
    rank_and_copy(q, n, a.times, a.freqs, a.weights, a.indxs, a.rtimes, a.rfreqs, a.rweights);
    if (counts)
        add_up_ahead(a.rfreqs, q->zwt ? a.rweights : nullptr, n, a.ahead, a.ahead2);
    a.distinct = tally_distinct(a.rtimes, a.rfreqs, n, node->cum);
    if (a.distinct >= 0) {
        a.tally = static_cast<double*>(take(3 * a.distinct * 8));
        if (!ok)
            return false;
        tally_fill(a.rtimes, a.rfreqs, n, a.tally, a.tally + a.distinct, a.tally + 2 * a.distinct);
        a.lrTime = korv_lr_time(a.times, a.freqs, n);
    }
    a.ready = true;
    return true;
}

void korvbeg_prepared(KORVCOM* q, STRATA* node, const StratumArea& a)
{
    q->stratumno += 1.0;
    q->times = a.times;
    q->freqs = a.freqs;
    q->weights = a.weights;
    if (a.ids)
        q->ids = a.ids;
    q->indxs = a.indxs;
    q->rtimes = a.rtimes;
    q->rfreqs = a.rfreqs;
    q->rweights = a.rweights;
    node->tally = nullptr;
    if (a.distinct < 0 || !q->polnode)
        return;
    TIMETALLY* tally = new_tally(q, a.distinct);
    const size_t bytes = static_cast<size_t>(a.distinct) * sizeof(double);
    std::memcpy(tally->time, a.tally, bytes);
    std::memcpy(tally->events, a.tally + a.distinct, bytes);
    std::memcpy(tally->censored, a.tally + 2 * a.distinct, bytes);
    tally->lrTime = a.lrTime;
    node->tally = tally;
}
