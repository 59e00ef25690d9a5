// Competing risks: the failure summary, the cumulative incidence estimates,
// their hidden plot data, and the OUTCIF= data set.
#include <cstring>

#include "common/options.h"
#include "common/strata.h"
#include "results/coldef.h"
#include "results/outdata.h"
#include "results/results.h"
#include "results/slots.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

using namespace korv_results;

void FailureSummary(KorvPtr q)
{
    xobop t = createTable(q, txt("FailureSummary"), vdqmsg(0, msg0::FAILURE_SUMMARY));
    q->Summary = t;
    DefineStatusVar(q->cmprisk, t, 1);
    if (q->nsvar > 0 || q->grpvar)
        numColumn(t, "Stratum", vdqmsg(0, msg0::STRATUM), &q->stratumno);
    if (q->nsvar > 0)
        DefineStrataVars(q, t, 0);
    if (q->grpvar)
        DefineGroupVar(q, t);
    numColumn(t, "Censored", vdqmsg(0, msg0::CIF_CENSORED), &q->iovar[crcount_slot::CENSORED]);
    numColumn(t, "Event", vdqmsg(0, msg0::CIF_EVENT), &q->iovar[crcount_slot::EVENT]);
    numColumn(t, "Compete", vdqmsg(0, msg0::COMPETING_EVENT), &q->iovar[crcount_slot::COMPETE]);
    totalColumn(q, t);
    endColumns(t);
}

void cifTbl(KorvPtr q)
{
    xobop t = createTable(q, txt("CIF"), txt("Cumulative Incidence Function Estimates"));
    DefineStatusVar(q->cmprisk, t, 1);
    if (q->nsvar > 0)
        DefineStrataVars(q, t, 1);
    if (q->grpvar)
        DefineGroupVar(q, t);
    timeColumns(q, t, cif_slot::TIME, cif_slot::TIMELIST);
    double lvl = level(q->alpha);
    numColumn(t, "CIF", nullptr, &q->iovar[cif_slot::CIF]);
    numColumn(t, q->cmprisk->printVar ? "Variance" : "StdErr", nullptr, &q->iovar[cif_slot::ERR]);
    numColumn(t, "CIF_LCL", vdqmsgs(326, msg326::CIF_LCL, lvl), &q->iovar[cif_slot::LCL]);
    numColumn(t, "CIF_UCL", vdqmsgs(326, msg326::CIF_UCL, lvl), &q->iovar[cif_slot::UCL]);
    endColumns(t);
    q->Surv = t;
}

void cifPhantom(KorvPtr q)
{
    xobop t = createTable(q, txt("Phantom"), vdqmsg(0, msg0::PLOT_DATA), true);
    q->Phantom = t;
    numColumn(t, "StratumNum", nullptr, &q->stratumno);
    if (q->nsvar > 0) {
        varstring* lab = korv_ogstrlab(q);
        xobskey label = nullptr;
        if (q->nsvar == 1) {
            const NAMESTR* nm = q->sname[0].nm;
            label = vdqtxt(nm->name_p, nm->namelen);
        }
        charColumn(t, "Stratum", label, lab->s, static_cast<int>(lab->l));
    }
    if (q->grpvar) {
        numColumn(t, "GroupNum", nullptr, &q->cmprisk->groupno);
        DefineGroupVar(q, t);
    }
    xobskey timeLabel = q->timelabel.l > 0
                            ? vdqtxt(q->timelabel.s, static_cast<int>(q->timelabel.l))
                            : vdqtxt(q->timename.s, static_cast<int>(q->timename.l));
    numColumn(t, "Time", timeLabel, &q->iovar[cif_slot::TIME], "GenericTime");
    numColumn(t, "CIF", nullptr, &q->iovar[cif_slot::CIF]);
    numColumn(t, "CIF_LCL", nullptr, &q->iovar[cif_slot::LCL]);
    numColumn(t, "CIF_UCL", nullptr, &q->iovar[cif_slot::UCL]);
    endColumns(t);
}

void Outcif(KorvPtr q)
{
    bool reduced = q->zreduce && q->timelist;
    int count = q->nsvar > 0 ? q->nby + 9 + q->nsvar : q->nby + 8;
    if (!reduced)
        count += 4;
    if (q->grpvar)
        count += 1;
    if (q->timelist)
        count += 1;
    XVHANDLE* h = nullptr;
    xvputi(static_cast<DSHANDLE*>(q->fileouts), count, 32, &h);
    q->svput = h;
    int n = xpmstr(q->label, 256, 326, msg326::CIF_DATASET);
    setDataSetLabel(q->fileouts, q->label, n);
    defineByVariables(q, h);

    NAMESTR d;
    xvnamei(&d);
    d.ntype = 1;
    d.nlng = 8;
    labelFromCatalogue(d, msg326::FAILURE_CODE_LABEL);
    setName(d, "Failcode", 8);
    xvputd(h, &d, 0, &q->cmprisk->statusVal, 0, 0, 0);
    defineStrataCopies(q, h);
    defineGroupCopy(q, h);

    xvnamei(&d);
    d.ntype = 1;
    d.nlng = 8;
    auto at = [&](const char* name, long offset) {
        setName(d, name, static_cast<int>(std::strlen(name)));
        xvputd(h, &d, offset, nullptr, 0, 0, 0);
    };
    auto msgLabel = [&](int number) {
        int ll = xpmstr(q->label, 256, 326, number);
        setLabel(d, q->label, ll);
    };
    if (!reduced) {
        setName(d, q->timename.s, static_cast<int>(q->timename.l));
        xvputd(h, &d, OUTCIF_TIME, nullptr, 0, 0, 0);
        labelFromCatalogue(d, msg326::CIF_AT_RISK);
        at("AtRisk", OUTCIF_ATRISK);
        labelFromCatalogue(d, msg326::CIF_EVENTS);
        at("Event", OUTCIF_EVENT);
        labelFromCatalogue(d, msg326::CIF_ALL_EVENTS);
        at("AllEventTypes", OUTCIF_ALLEVENTS);
        labelFromCatalogue(d, msg326::CIF_CENSORED_LABEL);
        at("Censored", OUTCIF_CENSORED);
    } else {
        labelFromCatalogue(d, msg326::TIMELIST_LABEL);
        at(q->v6names ? "_TIME_" : "TIMELIST", OUTCIF_TIMELIST);
        // The time variable carries its own label, not the one just given
        // to TIMELIST.
        setLabel(d, q->timelabel.s, static_cast<int>(q->timelabel.l));
        setName(d, q->timename.s, static_cast<int>(q->timename.l));
        xvputd(h, &d, OUTCIF_TIME, nullptr, 0, 0, 0);
    }
    labelFromCatalogue(d, msg326::CIF_ESTIMATE);
    at("CIF", OUTCIF_CIF);
    if (q->cmprisk->printVar) {
        msgLabel(q->cmprisk->error == 0 ? msg326::CIF_VAR_AALEN : msg326::CIF_VAR_DELTA);
        at("Variance", OUTCIF_STDERR);
    } else {
        msgLabel(q->cmprisk->error == 0 ? msg326::CIF_STDERR_AALEN : msg326::CIF_STDERR_DELTA);
        at("StdErr", OUTCIF_STDERR);
    }
    msgLabel(msg326::CIF_ALPHA);
    at("ALPHA", OUTCIF_ALPHA);
    msgLabel(msg326::CIF_TRANSFORM);
    d.ntype = 2;
    d.nlng = 0;
    d.user_lng = 8;
    at("CONFTYPE", OUTCIF_CONFTYPE);
    d.ntype = 1;
    d.nlng = 8;
    d.user_lng = 0;
    double lvl = level(q->alpha);
    int ll = xpmstr(q->label, 256, 326, msg326::CIF_LCL, lvl);
    setLabel(d, q->label, ll);
    at("CIF_LCL", OUTCIF_LCL);
    ll = xpmstr(q->label, 256, 326, msg326::CIF_UCL, lvl);
    setLabel(d, q->label, ll);
    at("CIF_UCL", OUTCIF_UCL);
    if (q->nsvar > 0) {
        labelFromCatalogue(d, msg326::STRATUM_NUMBER);
        {
            const char* sn = q->v6names ? "_STRTUM_" : "STRATUM";
            setName(d, sn, static_cast<int>(std::strlen(sn)));
        }
        xvputd(h, &d, 0, &q->stratumno, 0, 0, 0);
    }
    xvpute(h);
}
