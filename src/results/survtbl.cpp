// Survival estimate tables, quartiles, means, the censoring summary and the
// line-printer legend: created once at start-up with their columns bound to
// the common block.
#include <algorithm>

#include "common/options.h"
#include "common/strata.h"
#include "results/coldef.h"
#include "results/results.h"
#include "results/slots.h"
#include "vyr_data.h"
#include "vyr_message_names.h"

using namespace korv_results;

namespace
{

// Strata columns (hidden form) and the GROUP= column that lead the estimate
// tables.
void leadingColumns(KorvPtr q, xobop t)
{
    if (q->nsvar > 0)
        DefineStrataVars(q, t, 1);
    if (q->grpvar)
        DefineGroupVar(q, t);
}

} // namespace

void SurvTblPL(KorvPtr q)
{
    const char* name = "ProductLimitEstimates";
    int label = msg0::PL_ESTIMATES;
    if (q->method == 2) {
        name = "BreslowEstimates";
        label = msg0::BRESLOW_ESTIMATES;
    } else if (q->method == 3) {
        name = "FlemingEstimates";
        label = msg0::FH_ESTIMATES;
    }
    xobop t = createTable(q, txt(name), vdqmsg(0, label));
    q->Surv = t;
    leadingColumns(q, t);
    timeColumns(q, t, pl_slot::TIME, pl_slot::TIMELIST);
    numColumn(t, "Censor", vdqmsg(0, msg0::CENSOR), &q->cenchar);
    numColumn(t, "Survival", vdqmsg(0, msg0::SURVIVAL), &q->iovar[pl_slot::SURV]);
    numColumn(t, "Failure", vdqmsg(0, msg0::FAILURE), &q->iovar[pl_slot::FAIL]);
    numColumn(t, "StdErr", vdqmsg(0, msg0::SURVIVAL_STDERR), &q->iovar[pl_slot::STDERR]);
    if (q->zNelson) {
        numColumn(t, "CumHaz", txt("Nelson-Aalen Estimate"), &q->iovar[pl_slot::CUMHAZ]);
        numColumn(t, "StdErrCumHaz", txt("Cum Haz StdErr"), &q->iovar[pl_slot::CUMHAZ_STDERR]);
    }
    if (!q->znoLeft) {
        numColumn(t, "Failed", vdqmsg(0, msg0::FAILED), &q->iovar[pl_slot::FAILED]);
        numColumn(t, "Left", vdqmsg(0, msg0::LEFT), &q->iovar[pl_slot::LEFT]);
    }
    if (q->zatRisk) {
        numColumn(t, "NumberAtRisk", nullptr, &q->iovar[pl_slot::NUMBER_AT_RISK]);
        numColumn(t, "ObservedEvents", nullptr, &q->iovar[pl_slot::OBSERVED_EVENTS]);
    }
    if (!q->timelist) {
        if (q->zfreq)
            numColumn(t, "Freq", vdqmsg(0, msg0::FREQUENCY), &q->iovar[pl_slot::FREQ]);
        if (q->zwt)
            numColumn(t, "Weight", nullptr, &q->iovar[pl_slot::WEIGHT]);
        if (q->nid > 0) {
            NAMESTR** ids = static_cast<NAMESTR**>(q->idptr);
            int off = 0;
            for (int j = 0; j < q->nid; ++j) {
                NAMESTR* nm = ids[j];
                xobskey nk = vdqtxt(nm->name_p, nm->namelen);
                bool numeric = nm->ntype == 1;
                ColumnCall c;
                c.type(numeric ? WOB_COL_DOUBLE : WOB_COL_CHAR)
                    .name(nk)
                    .label(nk)
                    .address(q->idval + off)
                    .templ(numeric ? "GenericIDNumeric" : "GenericIDCharacter")
                    .length(nm->nlng)
                    .format(nm->nformlongl > 0
                                ? vdqtxt(nm->nformlong, nm->nformlongl)
                                : vdqtxt(nm->nform, nm->nfl > 0 ? std::min<int>(nm->nfl, 8) : 0))
                    .decimals(nm->nfd != 0 ? nm->nfd : -1)
                    .width(nm->nflen != 0 ? nm->nflen : -1);
                c.to(t);
                off += nm->nlng;
            }
        }
    }
    endColumns(t);
}

void SurvTblLT(KorvPtr q)
{
    xobop t = createTable(q, txt("LifetableEstimates"), vdqmsg(0, msg0::LIFETABLE_ESTIMATES));
    q->Surv = t;
    leadingColumns(q, t);
    struct Col {
        const char* name;
        int label;
        int io;
    };
    static const Col cols[] = {
        {"LowerTime", msg0::LOWER_TIME, lt_slot::LOWER},
        {"UpperTime", msg0::UPPER_TIME, lt_slot::UPPER},
        {"Failed", msg0::FAILED, lt_slot::FAILED},
        {"Censored", msg0::CENSORED, lt_slot::CENSORED},
        {"EffSize", msg0::EFFECTIVE_SIZE, lt_slot::EFF_SIZE},
        {"CondProbFail", msg0::COND_PROB_FAILURE, lt_slot::COND_FAIL},
        {"CondStdErr", msg0::COND_PROB_STDERR, lt_slot::COND_STDERR},
        {"Survival", msg0::SURVIVAL, lt_slot::SURV},
        {"Failure", msg0::FAILURE, lt_slot::FAIL},
        {"StdErr", msg0::SURVIVAL_STDERR, lt_slot::STDERR},
        {"MedResidLife", msg0::MEDIAN_RESIDUAL_LIFE, lt_slot::MED_RESID},
        {"MedStdErr", msg0::MEDIAN_STDERR, lt_slot::MED_STDERR},
        {"Pdf", msg0::PDF, lt_slot::PDF},
        {"PdfStdErr", msg0::PDF_STDERR, lt_slot::PDF_STDERR},
        {"Hazard", msg0::HAZARD, lt_slot::HAZARD},
        {"HazStdErr", msg0::HAZARD_STDERR, lt_slot::HAZARD_STDERR},
    };
    for (const Col& c : cols)
        numColumn(t, c.name, vdqmsg(0, c.label), &q->iovar[c.io]);
    endColumns(t);
}

void Quantile(KorvPtr q)
{
    xobop t = createTable(q, txt("Quartiles"), vdqmsg(0, msg0::QUARTILE_ESTIMATES));
    q->Quantile = t;
    leadingColumns(q, t);
    double lvl = level(q->qtalpha);
    numColumn(t, "Percent", vdqmsg(0, msg0::PERCENT), &q->iovar[quartile_slot::PERCENT]);
    numColumn(t, "Estimate", vdqmsg(0, msg0::POINT_ESTIMATE), &q->iovar[quartile_slot::ESTIMATE]);
    charColumn(t, "Transform", vdqmsg(0, msg0::TRANSFORM), q->typetype, 8);
    numColumn(t, "LowerLimit", vdqmsgs(326, msg326::QUARTILE_LCL, lvl),
              &q->iovar[quartile_slot::LOWER]);
    numColumn(t, "UpperLimit", vdqmsgs(326, msg326::QUARTILE_UCL, lvl),
              &q->iovar[quartile_slot::UPPER]);
    endColumns(t);
}

void Mean(KorvPtr q)
{
    xobop t = createTable(q, txt("Means"), vdqmsg(0, msg0::MEAN_TABLE));
    q->Mean = t;
    leadingColumns(q, t);
    numColumn(t, "Mean", vdqmsg(0, msg0::MEAN), &q->iovar[mean_slot::MEAN]);
    numColumn(t, "StdErr", vdqmsg(0, msg0::STANDARD_ERROR), &q->iovar[mean_slot::STDERR]);
    charColumn(t, "Bias", vdqmsg(0, msg0::MEAN_NOTE), q->meanbias, 60);
    endColumns(t);
}

void Summary(KorvPtr q)
{
    xobop t = createTable(q, txt("CensoredSummary"), vdqmsg(0, msg0::CENSORED_SUMMARY), true);
    q->Summary = t;
    if (q->cmprisk)
        DefineStatusVar(q->cmprisk, t, 1);
    if (q->nsvar > 0 || q->grpvar) {
        ColumnCall c;
        c.type(WOB_COL_CONTROL).name("control_var").address(q->str10);
        c.to(t);
        numColumn(t, "Stratum", vdqmsg(0, msg0::STRATUM), &q->stratumno);
        if (q->nsvar > 0)
            DefineStrataVars(q, t, 0);
        if (q->grpvar)
            DefineGroupVar(q, t);
    }
    if (q->cmprisk) {
        numColumn(t, "Censored", nullptr, &q->iovar[crcount_slot::CENSORED]);
        numColumn(t, "Event", nullptr, &q->iovar[crcount_slot::EVENT]);
        numColumn(t, "Compete", nullptr, &q->iovar[crcount_slot::COMPETE]);
        totalColumn(q, t);
    } else {
        numColumn(t, "Total", vdqmsg(0, msg0::TOTAL), &q->iovar[censsum_slot::TOTAL]);
        numColumn(t, "Failed", vdqmsg(0, msg0::FAILED), &q->iovar[censsum_slot::FAILED]);
        numColumn(t, "Censored", vdqmsg(0, msg0::CENSORED), &q->iovar[censsum_slot::CENSORED]);
        numColumn(t, "PctCens", vdqmsg(0, msg0::PERCENT_CENSORED),
                  &q->iovar[censsum_slot::PCT_CENSORED]);
    }
    endColumns(t);
}

void Legend(KorvPtr q)
{
    xobop t = createTable(q, txt("Legend"), vdqmsg(0, msg0::SYMBOL_LEGEND));
    q->Legend = t;
    numColumn(t, "Stratum", vdqmsg(0, msg0::STRATUM), &q->stratumno);
    charColumn(t, "Symbol", vdqmsg(0, msg0::SYMBOL), &q->sbol, 1);
    DefineStrataVars(q, t, 0);
    endColumns(t);
}
