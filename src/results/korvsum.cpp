// The censoring summary of a BY group: one row per stratum with its counts
// of events and censored values, and a Total row when there are several
// strata; with GROUP= only the overall Total row is added to the rows the
// group analysis wrote.
#include <cstring>

#include "common/options.h"
#include "common/strata.h"
#include "results/results.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

double pctCensored(double censored, double total)
{
    return total > 0 ? 100.0 * censored / total : korv_missing();
}

// Empties the strata values of the row: the formatted part blank, each
// numeric raw slot the host's emptied-slot constant, each character raw slot
// blank.
void emptyStrataValues(KorvPtr q)
{
    if (q->nsvar <= 0 || !q->value)
        return;
    std::memset(q->value, ' ', static_cast<size_t>(q->slenf));
    double empty = xgcbconst(95);
    int uoff = q->slenf;
    for (int k = 0; k < q->nsvar; ++k) {
        const SNAMESTR& sv = q->sname[k];
        if (sv.nm && sv.nm->ntype == 1 && sv.lngu >= 8)
            std::memcpy(q->value + uoff, &empty, sizeof empty);
        else
            std::memset(q->value + uoff, ' ', static_cast<size_t>(sv.lngu));
        uoff += sv.lngu;
    }
}

void putRow(KorvPtr q)
{
    wobcall(q->Summary, WOB_SEL_PUT_ROW);
}

void endAndClose(KorvPtr q)
{
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA, 1);
    wobcall(q->Summary, WOB_SEL_END_DATA, end);
    WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, close);
}

void render(KorvPtr q, const char* templ, bool withNote, xobop note)
{
    WOB_PARM_BLK_STR pb[4];
    pb[0] = wob_object(WOB_TAG_OBJECT, nullptr);
    pb[1] = wob_object(WOB_TAG_OBJECT, q->Summary);
    pb[2] = wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1));
    pb[3] = wob_object(WOB_TAG_NOTE_OBJ, note);
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, withNote ? 4 : 3, pb);
    q->output = pb[0].value.o;
}

} // namespace

void noGroup(KorvPtr q)
{
    if (!q->zprint)
        return;
    xobop note = nullptr;
    if (q->strmiss > 0) {
        int f =
            (q->nsvar > 0 ? 1 : 0) + (q->zfreq ? 2 : 0) + (q->zwt ? 4 : 0) + (q->zevent ? 8 : 0);
        int m = (q->strmiss == 1 ? msg326::DROPPED_ONE : msg326::DROPPED_SEVERAL) + f;
        note = wobtitle(q->vdq, vdqmsgs(326, m, static_cast<long>(q->strmiss)), 'c');
    }
    render(q, "Stat.Korvante.CensoredSummary", true, note);
    q->str10[0] = ' ';
    double total = 0, failed = 0;
    double number = 0;
    for (STRATA* s = q->strata; s; s = s->left) {
        number += 1.0;
        q->stratumno = number;
        if (q->nsvar > 0)
            std::memcpy(q->value, strata_key(s), static_cast<size_t>(q->slenf + q->slenu));
        q->iovar[censsum_slot::TOTAL] = s->cum;
        q->iovar[censsum_slot::FAILED] = s->cum - s->cen;
        q->iovar[censsum_slot::CENSORED] = s->cen;
        q->iovar[censsum_slot::PCT_CENSORED] =
            s->cum == 0 ? korv_missing() : 100.0 * s->cen / s->cum;
        total += q->iovar[censsum_slot::TOTAL];
        failed += q->iovar[censsum_slot::FAILED];
        putRow(q);
    }
    q->str10[0] = '-';
    if (q->nstrata > 1) {
        q->stratumno = xgcbconst(84);
        q->iovar[censsum_slot::TOTAL] = total;
        q->iovar[censsum_slot::FAILED] = failed;
        q->iovar[censsum_slot::CENSORED] = total - failed;
        q->iovar[censsum_slot::PCT_CENSORED] = pctCensored(q->iovar[censsum_slot::CENSORED], total);
        emptyStrataValues(q);
        putRow(q);
    }
    endAndClose(q);
}

void korvsum(KorvPtr q)
{
    GRPVAR* g = q->grpvar;
    if (!g) {
        noGroup(q);
        return;
    }
    if (q->nstrata > 1) {
        q->stratumno = xgcbconst(84);
        q->str10[0] = '-';
        emptyStrataValues(q);
        if (g->nm && g->nm->ntype == 1) {
            double empty = xgcbconst(95);
            std::memcpy(g->value + g->lenf, &empty, sizeof empty);
        } else {
            std::memset(g->value, ' ', static_cast<size_t>(g->lenf + g->lenu));
        }
        q->iovar[censsum_slot::TOTAL] = g->cum;
        q->iovar[censsum_slot::FAILED] = g->cum - g->cen;
        q->iovar[censsum_slot::CENSORED] = g->cen;
        q->iovar[censsum_slot::PCT_CENSORED] = pctCensored(g->cen, g->cum);
        putRow(q);
    }
    render(q, "Stat.Korvante.CensoredSummary2", false, nullptr);
    endAndClose(q);
}
