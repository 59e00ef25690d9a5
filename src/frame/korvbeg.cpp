// Stratum reread: brings a stratum's records back from the utility file into
// the per-stratum arrays, builds the rank index, copies the records into rank
// order and counts them per distinct time for the tests across strata.
#include <cmath>
#include <cstdlib>

#include "common/rankorder.h"
#include "frame/frame.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"
#include "vyr_host.h"

namespace
{

// The largest count a double holds exactly.
constexpr double LARGEST_EXACT_COUNT = 9007199254740992.0; // 2^53

// The stratum's records counted per distinct time (see TIMETALLY), from the
// records in rank order; null when a frequency is not a whole number, the
// total is not an exact count, or the times hardly repeat (then the counts
// would take about as much room as the records).
TIMETALLY* make_tally(KORVCOM* q, STRATA* node)
{
    const int64_t n = node->nobs;
    if (n < 1 || !q->polnode || !(node->cum <= LARGEST_EXACT_COUNT))
        return nullptr;
    const double* t = q->rtimes;
    const double* f = q->rfreqs;
    int64_t distinct = 0;
    for (int64_t j = 0; j < n; ++j) {
        const double a = std::fabs(f[j]);
        if (a != std::floor(a))
            return nullptr;
        if (j == 0 || t[j] != t[j - 1])
            ++distinct;
    }
    if (distinct > n / 2 + 1)
        return nullptr;
    auto* tally = static_cast<TIMETALLY*>(xmalloc_or_exit(q->polnode, sizeof(TIMETALLY), 0x2000));
    auto* arrays = static_cast<double*>(
        xmalloc_or_exit(q->polnode, 3 * distinct * static_cast<int64_t>(sizeof(double)), 0x2000));
    tally->n = distinct;
    tally->time = arrays;
    tally->events = arrays + distinct;
    tally->censored = arrays + 2 * distinct;
    int64_t d = -1;
    for (int64_t j = 0; j < n; ++j) {
        if (j == 0 || t[j] != t[j - 1]) {
            ++d;
            tally->time[d] = t[j];
            tally->events[d] = 0;
            tally->censored[d] = 0;
        }
        if (f[j] > 0)
            tally->events[d] += f[j];
        else
            tally->censored[d] -= f[j];
    }
    // The likelihood-ratio statistic's total time, added up in record order
    // as the tests add it up from the records.
    double tk = 0.0;
    for (int64_t i = 0; i < n; ++i)
        tk += std::fabs(q->freqs[i]) * q->times[i];
    tally->lrTime = tk;
    return tally;
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
    if (q->zsorted)
        korv_sorted_index(q->times, q->freqs, q->indxs, node->nobs);
    else
        korvrnk(q, q->times, q->freqs, q->indxs, node->nobs);
    // The records in rank order, read in sequence by the estimators: one
    // gather through the index here instead of one per record and pass.
    node->tally = nullptr;
    if (!q->rtimes || !q->rfreqs)
        return;
    for (int64_t j = 0; j < node->nobs; ++j) {
        const int64_t r = std::llabs(q->indxs[j]) - 1;
        q->rtimes[j] = q->times[r];
        q->rfreqs[j] = q->freqs[r];
        if (q->rweights && q->weights)
            q->rweights[j] = q->weights[r];
    }
    node->tally = make_tally(q, node);
}
