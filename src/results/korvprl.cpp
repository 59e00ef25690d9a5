// Which result tables a run defines, and the column helpers the table
// definers share: strata columns, the GROUP= column, the "Test" column and
// the failure-code column.
#include <algorithm>
#include <cstring>

#include "common/options.h"
#include "common/strata.h"
#include "results/coldef.h"
#include "results/results.h"
#include "results/slots.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace korv_results
{

xobop createTable(KorvPtr q, xobskey name, xobskey label, bool flag336)
{
    WOB_PARM_BLK_STR pb[7];
    pb[0] = wob_string(WOB_TAG_PACKAGE, "vdq", 3);
    pb[1] = wob_string(WOB_TAG_CLASS, "data", 4);
    pb[2] = wob_object(WOB_TAG_OUT, nullptr);
    pb[3] = wob_int(WOB_TAG_148, -1);
    pb[4] = wob_key(WOB_TAG_NAME, name);
    pb[5] = wob_key(WOB_TAG_LABEL, label);
    pb[6] = wob_int(WOB_TAG_336, 1);
    wobcall(q->vdq, WOB_SEL_CREATE, flag336 ? 7 : 6, pb);
    return pb[2].value.o;
}

void ColumnCall::to(xobop table)
{
    wobcall(table, WOB_SEL_ADD_COLUMN, n, b);
}

void numColumn(xobop table, const char* name, xobskey label, const void* address,
               const char* templateColumn)
{
    ColumnCall c;
    c.type(WOB_COL_DOUBLE).name(name).label(label).address(address);
    if (templateColumn)
        c.templ(templateColumn);
    c.to(table);
}

void charColumn(xobop table, const char* name, xobskey label, const void* address, int length)
{
    ColumnCall c;
    c.type(WOB_COL_CHAR).name(name).label(label).address(address).length(length);
    c.to(table);
}

void endColumns(xobop table)
{
    wobcall(table, WOB_SEL_END_COLUMNS);
}

void totalColumn(KorvPtr q, xobop table)
{
    ColumnCall c;
    c.type(WOB_COL_DOUBLE)
        .name("Total")
        .label0(msg0::TOTAL)
        .address(&q->iovar[crcount_slot::TOTAL])
        .decimals(99);
    c.to(table);
}

void timeColumns(KorvPtr q, xobop table, int timeSlot, int timelistSlot)
{
    if (q->ztimelst)
        numColumn(table, "Timelist", vdqmsg(0, msg0::TIMELIST), &q->iovar[timelistSlot]);
    xobskey tn = vdqtxt(q->timename.s, static_cast<int>(q->timename.l));
    ColumnCall c;
    c.type(WOB_COL_DOUBLE).name(tn).label(tn).address(&q->iovar[timeSlot]).templ("GenericTime");
    c.to(table);
}

} // namespace korv_results

using namespace korv_results;

namespace
{

xobskey nameKey(const NAMESTR* nm)
{
    return vdqtxt(nm && nm->name_p ? nm->name_p : "", nm && nm->name_p ? nm->namelen : 0);
}

// Length of a character variable's value: the definer's length, else the
// stored length, else the slot the key gives it.
int charLength(const NAMESTR* nm, int slot)
{
    if (nm->user_lng > 0)
        return nm->user_lng;
    if (nm->nlng > 0)
        return nm->nlng;
    return slot;
}

} // namespace

void DefineStrataVars(KorvPtr q, xobop table, int hide)
{
    if (q->nsvar <= 0)
        return;
    int foff = 0;
    int uoff = q->slenf;
    for (int k = 0; k < q->nsvar; ++k) {
        SNAMESTR& sv = q->sname[k];
        NAMESTR* nm = sv.nm;
        ColumnCall c;
        bool character;
        if (sv.cutnum != 0) {
            c.type(WOB_COL_CHAR)
                .name(vdqtxts("F_%*s", 5, static_cast<int>(nm->namelen), nm->name_p))
                .label(vdqmsgs(326, msg326::INTERVAL_OF, static_cast<int>(nm->namelen), nm->name_p))
                .length(sv.lngf)
                .address(q->value + foff);
            character = true;
        } else if (nm->ntype == 1) {
            c.type(WOB_COL_DOUBLE).namestr(nm).address(q->value + uoff);
            if (!hide)
                c.decimals(nm->nfd != 0 ? nm->nfd : 99);
            character = false;
        } else {
            c.type(WOB_COL_CHAR)
                .namestr(nm)
                .length(charLength(nm, sv.lngu))
                .address(q->value + uoff);
            character = true;
        }
        if (!hide) {
            c.templ(character ? "StrChrVar" : "StrNumVar");
            c.dynamic("StrVarLab", nameKey(nm));
        }
        c.to(table);
        foff += sv.lngf;
        uoff += sv.lngu;
    }
}

void DefineGroupVar(KorvPtr q, xobop table)
{
    GRPVAR* g = q->grpvar;
    if (!g)
        return;
    NAMESTR* nm = g->nm;
    ColumnCall c;
    if (nm->ntype == 1) {
        c.type(WOB_COL_DOUBLE)
            .namestr(nm)
            .decimals(nm->nfd != 0 ? nm->nfd : 99)
            .width(nm->nflen)
            .templ("GrpNumVar");
    } else {
        c.type(WOB_COL_CHAR)
            .namestr(nm)
            .length(charLength(nm, g->lenu))
            .width(nm->nflen)
            .templ("GrpChrVar");
    }
    c.address(g->value + g->lenf).dynamic("GrpVarLab", nameKey(nm));
    c.to(table);
}

int TestColumnLength(KorvPtr q)
{
    struct Lab {
        int bit, number;
    };
    static const Lab labs[] = {{8, msg326::LOGRANK_LABEL},   {16, msg326::WILCOXON_LABEL},
                               {32, msg326::TARONE_LABEL},   {64, msg326::PETO_LABEL},
                               {128, msg326::MODPETO_LABEL}, {512, msg326::LR_TEST}};
    int len = 10;
    for (const Lab& l : labs) {
        if (!(q->ktype & l.bit))
            continue;
        const char* text = nullptr;
        int tl = 0;
        if (wkread(326, l.number, &text, &tl) >= 0 && text)
            len = std::max(len, tl);
    }
    if ((q->ktype & test_bit::FLEMING) && q->fleming) {
        int fl = q->fleming[1] < 0 ? xpmstr(q->label, 32, 326, msg326::FLEMING_RHO, q->fleming[0])
                                   : xpmstr(q->label, 32, 326, msg326::FLEMING_RHO_GAMMA,
                                            q->fleming[0], q->fleming[1]);
        len = std::max(len, fl);
    }
    return std::min(len, 32);
}

void DefineTestColumn(KorvPtr q, xobop table)
{
    charColumn(table, "Test", vdqmsg(0, msg0::TEST), q->varname, TestColumnLength(q));
}

void DefineStatusVar(CMPRISK* cmprisk, xobop table, int)
{
    ColumnCall c;
    c.type(WOB_COL_DOUBLE)
        .name("Failcode")
        .label0(msg0::FAILURE_CODE)
        .address(&cmprisk->statusVal)
        .width(8)
        .decimals(99);
    c.to(table);
}

void survprl(KorvPtr q)
{
    if (q->zprint) {
        if (q->method == 1) {
            SurvTblLT(q);
        } else if (q->method == 0 || q->method == 2 || q->method == 3) {
            SurvTblPL(q);
            Quantile(q);
            Mean(q);
        }
        Summary(q);
        Legend(q);
        if (q->nsvar > 0 || q->grpvar) {
            if (q->ktype & test_bit::TREND) {
                if (!(q->ktype & test_bit::NODETAIL))
                    TrendScore(q);
                TrendTest(q);
            } else {
                if (!(q->ktype & test_bit::NODETAIL))
                    HomStat(q);
                HomTest(q);
            }
        }
        if (q->survdiff)
            SurvDiff(q);
        if (q->ncvar > 0) {
            UniChi(q, "W");
            Step(q, "W");
            UniChi(q, "L");
            Step(q, "L");
        }
    } else if (q->zplot) {
        Legend(q);
    }
    if (q->kmhaz) {
        if (q->kmhaz->nbw > 1)
            BandwidthGrid(q);
        HazardRate(q);
    }
}

void cifprl(KorvPtr q)
{
    if (!q->zprint)
        return;
    FailureSummary(q);
    if (!q->znotable)
        cifTbl(q);
    if (q->cmprisk->plot)
        cifPhantom(q);
    if ((q->nsvar > 0 || q->grpvar) && !(q->ktype & test_bit::NONE))
        HomTest(q);
}

void korvprl(KorvPtr q)
{
    if (q->cmprisk)
        cifprl(q);
    else
        survprl(q);
}
