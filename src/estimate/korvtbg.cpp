// The life table of one GROUP= level within a stratum: the intervals of the
// BY group, binned from the level's own records and estimated as a
// stratum's; the rows go to the level's LifetableEstimates table, OUTSURV=
// and the stratum's plot data, which the GROUP= driver outputs after the
// last level. No graph and no line-printer record is made per level.
#include <cstring>

#include "common/options.h"
#include "common/strata.h"
#include "estimate/estimate.h"
#include "runtime/wobmth.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_output.h"

namespace
{

korv_lt::Intervals intervalsOf(KorvPtr q)
{
    korv_lt::Intervals iv;
    iv.bounds = q->interval;
    iv.ninter = q->interval ? q->ninter : 0;
    iv.given = q->zinter != 0;
    return iv;
}

// The rows of one level: plot data, OUTSURV= and the printed table.
void printit(KorvPtr q, int nintused, bool table, bool outds, int vdqgraph)
{
    // Without any row the level shows only its (empty) table.
    if (nintused < 0 && !table)
        return;
    const korv_lt::Intervals iv = intervalsOf(q);
    const bool plot = vdqgraph != 0 && q->Phantom;
    korv_lt::StageSettings set;
    set.conftype = q->conftype;
    set.critical = q->critical;
    set.failure =
        (vdqgraph & plot_bit::FAILURE) && !(vdqgraph & (plot_bit::OVERLAY | plot_bit::INDIVIDUAL));
    char word[9] = "        ";
    if (outds && q->zSurvStmt)
        std::memcpy(word, korv_conftype_word(q->conftype), 8);
    if (table)
        korv_lt::openTable(q);
    for (int k = 0; k <= nintused; ++k) {
        korv_lt::stageRow(q->lifetab, k, iv, set, q->iovar);
        if (plot)
            wobcall(q->Phantom, WOB_SEL_PUT_ROW, 0, nullptr);
        if (outds) {
            const int st = xyvput(static_cast<XVHANDLE*>(q->svput), word);
            if (st != 0)
                xofprc(static_cast<DSHANDLE*>(q->fileouts), st, 4);
        }
        if (table) {
            korv_lt::stageTableRow(q->lifetab[k], q->iovar);
            wobcall(q->Surv, WOB_SEL_PUT_ROW, 0, nullptr);
        }
    }
    if (table) {
        WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA2, 1);
        wobcall(q->Surv, WOB_SEL_END_DATA, 1, &end);
        WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
        wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, 1, &close);
    }
}

} // namespace

void korvtbg(KorvPtr q, STRATA*, GRPTREE* node, const double* times, const double* freqs,
             const int64_t* indxs)
{
    if (!node || node->nobs < 1 || !q->lifetab)
        return;
    const bool table = q->zprint && !q->znotable;
    const bool outds = q->fileouts != nullptr;
    const int vdqgraph = q->Phantom ? q->vdqgraph : 0;
    if (!table && !outds && vdqgraph == 0)
        return;
    const double n_all = korv_lt::bin(q->lifetab, intervalsOf(q), times, freqs, indxs, node->nobs);
    const int nintused =
        korv_lt::estimateRows(q->lifetab, intervalsOf(q), n_all, &q->pdfmax, &q->hazmax);
    printit(q, nintused, table, outds, vdqgraph);
}
