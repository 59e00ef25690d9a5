// Stratum reread: brings a stratum's records back from the utility file into
// the per-stratum arrays and builds the rank index.
#include "common/rankorder.h"
#include "frame/frame.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"
#include "vyr_host.h"

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
}
