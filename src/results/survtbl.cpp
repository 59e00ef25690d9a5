// Survival estimate tables, quartiles, means, the censoring summary and the
// line-printer legend: created once at start-up with their columns bound to
// the common block.
#include <algorithm>

#include "common/options.h"
#include "common/strata.h"
#include "results/coldef.h"
#include "results/results.h"
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
    timeColumns(q, t);
    numColumn(t, "Censor", vdqmsg(0, msg0::CENSOR), &q->cenchar);
    numColumn(t, "Survival", vdqmsg(0, msg0::SURVIVAL), &q->iovar[1]);
    numColumn(t, "Failure", vdqmsg(0, msg0::FAILURE), &q->iovar[2]);
    numColumn(t, "StdErr", vdqmsg(0, msg0::SURVIVAL_STDERR), &q->iovar[3]);
    if (q->zNelson) {
        numColumn(t, "CumHaz", txt("Nelson-Aalen Estimate"), &q->iovar[15]);
        numColumn(t, "StdErrCumHaz", txt("Cum Haz StdErr"), &q->iovar[16]);
    }
    if (!q->znoLeft) {
        numColumn(t, "Failed", vdqmsg(0, msg0::FAILED), &q->iovar[6]);
        numColumn(t, "Left", vdqmsg(0, msg0::LEFT), &q->iovar[7]);
    }
    if (q->zatRisk) {
        numColumn(t, "NumberAtRisk", nullptr, &q->iovar[19]);
        numColumn(t, "ObservedEvents", nullptr, &q->iovar[20]);
    }
    if (!q->timelist) {
        if (q->zfreq)
            numColumn(t, "Freq", vdqmsg(0, msg0::FREQUENCY), &q->iovar[8]);
        if (q->zwt)
            numColumn(t, "Weight", nullptr, &q->iovar[17]);
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
        {"LowerTime", msg0::LOWER_TIME, 0},
        {"UpperTime", msg0::UPPER_TIME, 24},
        {"Failed", msg0::FAILED, 21},
        {"Censored", msg0::CENSORED, 22},
        {"EffSize", msg0::EFFECTIVE_SIZE, 23},
        {"CondProbFail", msg0::COND_PROB_FAILURE, 7},
        {"CondStdErr", msg0::COND_PROB_STDERR, 8},
        {"Survival", msg0::SURVIVAL, 1},
        {"Failure", msg0::FAILURE, 2},
        {"StdErr", msg0::SURVIVAL_STDERR, 3},
        {"MedResidLife", msg0::MEDIAN_RESIDUAL_LIFE, 17},
        {"MedStdErr", msg0::MEDIAN_STDERR, 18},
        {"Pdf", msg0::PDF, 9},
        {"PdfStdErr", msg0::PDF_STDERR, 10},
        {"Hazard", msg0::HAZARD, 13},
        {"HazStdErr", msg0::HAZARD_STDERR, 14},
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
    numColumn(t, "Percent", vdqmsg(0, msg0::PERCENT), &q->iovar[0]);
    numColumn(t, "Estimate", vdqmsg(0, msg0::POINT_ESTIMATE), &q->iovar[1]);
    charColumn(t, "Transform", vdqmsg(0, msg0::TRANSFORM), q->typetype, 8);
    numColumn(t, "LowerLimit", vdqmsgs(326, msg326::QUARTILE_LCL, lvl), &q->iovar[2]);
    numColumn(t, "UpperLimit", vdqmsgs(326, msg326::QUARTILE_UCL, lvl), &q->iovar[3]);
    endColumns(t);
}

void Mean(KorvPtr q)
{
    xobop t = createTable(q, txt("Means"), vdqmsg(0, msg0::MEAN_TABLE));
    q->Mean = t;
    leadingColumns(q, t);
    numColumn(t, "Mean", vdqmsg(0, msg0::MEAN), &q->iovar[0]);
    numColumn(t, "StdErr", vdqmsg(0, msg0::STANDARD_ERROR), &q->iovar[1]);
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
        numColumn(t, "Censored", nullptr, &q->iovar[0]);
        numColumn(t, "Event", nullptr, &q->iovar[1]);
        numColumn(t, "Compete", nullptr, &q->iovar[2]);
        totalColumn(q, t);
    } else {
        numColumn(t, "Total", vdqmsg(0, msg0::TOTAL), &q->iovar[0]);
        numColumn(t, "Failed", vdqmsg(0, msg0::FAILED), &q->iovar[1]);
        numColumn(t, "Censored", vdqmsg(0, msg0::CENSORED), &q->iovar[2]);
        numColumn(t, "PctCens", vdqmsg(0, msg0::PERCENT_CENSORED), &q->iovar[3]);
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
