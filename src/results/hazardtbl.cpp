// Tables of the kernel-smoothed hazard: the estimates and, with several
// bandwidths, the mean integrated squared error over the bandwidth grid; and
// the stratum-label buffer their "Stratum" columns read.
#include <algorithm>

#include "common/options.h"
#include "common/strata.h"
#include "results/coldef.h"
#include "results/results.h"
#include "results/slots.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

using namespace korv_results;

varstring* korv_ogstrlab(KorvPtr q)
{
    if (q->ogstrlab || q->nsvar <= 0)
        return q->ogstrlab;
    POOLHANDLE* pool = xtaskpool();
    auto* vs = static_cast<varstring*>(xmalloc_or_exit(pool, sizeof(varstring), 0x3006));
    int64_t l = q->slenf;
    if (q->art)
        l += 4;
    for (int k = 0; k < q->nsvar; ++k) {
        const NAMESTR* nm = q->sname[k].nm;
        int64_t name = q->sname[k].name ? q->sname[k].name->l : (nm ? nm->namelen : 0);
        int64_t label = nm ? nm->nlablen : 0;
        l += 2 + std::max(name, label);
    }
    vs->l = l;
    vs->s = static_cast<char*>(xmalloc_or_exit(pool, l > 0 ? l : 1, 0x3006));
    for (int64_t i = 0; i < l; ++i)
        vs->s[i] = ' ';
    q->ogstrlab = vs;
    return vs;
}

void HazardRate(KorvPtr q)
{
    SMOOTHED* sm = q->kmhaz;
    xobop t = createTable(q, vdqtxt("HazardRate", -1), vdqmsg(0, msg0::SMOOTHED_HAZARD_ESTIMATES));
    sm->data = t;
    numColumn(t, "StratumNum", nullptr, &q->stratumno);
    if (q->nsvar > 0) {
        varstring* lab = korv_ogstrlab(q);
        charColumn(t, "Stratum", nullptr, lab->s, static_cast<int>(lab->l));
    }
    xobskey timeLabel = q->timelabel.l > 0
                            ? vdqtxt(q->timelabel.s, static_cast<int>(q->timelabel.l))
                            : vdqtxt(q->timename.s, static_cast<int>(q->timename.l));
    numColumn(t, "Time", timeLabel, &q->iovar[hazard_slot::TIME], "GenericTime");
    numColumn(t, "Hazard", nullptr, &q->iovar[hazard_slot::HAZARD]);
    if (sm->zcl) {
        double lvl = level(q->alpha);
        numColumn(t, "StdErr", nullptr, &q->iovar[hazard_slot::STDERR]);
        numColumn(t, "Lower", vdqmsgs(326, msg326::LCL_LEVEL, lvl), &q->iovar[hazard_slot::LOWER]);
        numColumn(t, "Upper", vdqmsgs(326, msg326::UCL_LEVEL, lvl), &q->iovar[hazard_slot::UPPER]);
    }
    if (sm->nbw != 1)
        charColumn(t, "BandwidthLabel", nullptr, q->label, 12);
    endColumns(t);
}

void BandwidthGrid(KorvPtr q)
{
    SMOOTHED* sm = q->kmhaz;
    xobop t = createTable(q, vdqtxt("MISE", -1), vdqtxt("Mean Integrated Squared Error", -1));
    numColumn(t, "StratumNum", nullptr, &q->stratumno);
    if (q->nsvar > 0) {
        // The whole label: a prefix, when the writer puts one, is part of it.
        varstring* lab = korv_ogstrlab(q);
        charColumn(t, "Stratum", nullptr, lab->s, static_cast<int>(lab->l));
    }
    numColumn(t, "Bandwidth", nullptr, &q->iovar[bandwidth_slot::BANDWIDTH], "Generic");
    numColumn(t, "MISE", nullptr, &q->iovar[bandwidth_slot::MISE], "Generic");
    endColumns(t);
    sm->mise = t;
}
