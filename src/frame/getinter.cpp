// The life-table boundaries of the current BY group.
#include "common/korvcom.h"
#include "frame/intervals.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

// NINTERVAL= as the statement gave it. The common block's count is replaced
// by each BY group's number of boundaries, so the request is kept here to
// give every BY group the same request.
static int s_ninterval_request = 10;

void korv_set_ninterval_request(int n)
{
    s_ninterval_request = n;
}

int getinter(KORVCOM* q)
{
    if (!q->zinter) {
        IntervalPlan p =
            korv_interval_plan(q->maxobstime, q->zwidth != 0, q->width, s_ninterval_request);
        if (p.status != 0) {
            if (p.status == 1)
                xpmlog(326, msg326::TOO_MANY_INTERVALS, static_cast<long>(KORV_MAX_INTERVALS));
            else if (p.status == 3)
                xpmlog(326, msg326::INTERVAL_BOUND_OVERFLOW,
                       q->zwidth ? "WIDTH=" : "NINTERVAL=", q->maxobstime);
            else
                xpmlog(326, msg326::BAD_INTERVAL_WIDTH);
            return p.status;
        }
        auto* b = static_cast<double*>(xmalloc_or_exit(
            q->polnode, (static_cast<int64_t>(p.ninter) + 1) * static_cast<int64_t>(sizeof(double)),
            0x2000));
        korv_interval_fill(b, p.ninter, p.width);
        q->interval = b;
        q->ninter = p.ninter;
        q->width = p.width;
    }
    // The statement parser requires a positive boundary in an INTERVALS= list,
    // so there are always at least two boundaries here; check all the same
    // rather than read past the array.
    if (q->interval == nullptr || q->ninter < 2) {
        xpmlog(326, msg326::NO_POSITIVE_INTERVAL);
        return 2;
    }
    q->tmin = q->interval[1];
    return 0;
}
