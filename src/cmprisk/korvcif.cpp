// The cumulative-incidence driver of a BY group: the group's records sorted
// by stratum, GROUP= level and time, then for each failure type its failure
// summary, the estimates of every stratum and level, the plot data and the
// plots. Also the heading of a failure type's output (korvct2).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cmprisk/cmprisk.h"
#include "common/strata.h"
#include "numeric/pointwise.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "runtime/xccheck.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_output.h"
#include "vyr_pool.h"

namespace
{

using korv_cr::ZERO_FREQ;

void endGroup(xobop group)
{
    const int r = wobzoom(group, 3, 4, 0, nullptr);
    if (r < 0)
        zvdqexit(r);
}

void endAndClose(KorvPtr q, xobop data)
{
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA, 1);
    wobcall(data, WOB_SEL_END_DATA, end);
    WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, close);
}

WOB_PARM_BLK_STR dynName(const char* name)
{
    return wob_key(WOB_TAG_DYNNAME, vdqtxt(name, -1));
}

int nameLength(const NAMESTR* nm)
{
    return nm ? static_cast<int>(nm->namelen) : 0;
}
const char* nameText(const NAMESTR* nm)
{
    return nm ? nm->name_p : "";
}

// The width a variable's format gives its values (the format's own width
// when none is given).
int formatWidth(const NAMESTR* nm)
{
    if (nm->nflen > 0)
        return nm->nflen;
    vyr::fmt::FormatDesc desc;
    const std::string name = nm->nformlongl > 0 ? std::string(nm->nformlong, nm->nformlongl)
                                                : std::string(nm->nform, nm->nfl);
    if (vyr::fmt::parse(name, desc)) {
        const int w = vyr::fmt::default_width(desc);
        if (w > 0)
            return w;
    }
    return nm->ntype == 2 ? std::max(1, vyr_namestr_length(*nm)) : 12;
}

// The strata text "A=1 B=x" of a stratum into q->label; returns its length.
int strataText(KorvPtr q, STRATA* node)
{
    const char* key = strata_key(node);
    int p = 0;
    for (int i = 0; i < q->nsvar && p < 256; ++i) {
        const SNAMESTR& s = q->sname[i];
        const int vl = wzstrip(key + s.posf, s.lngf);
        const int n = xpsstr(q->label + p, 256 - p, "%*s%*s=%*s", i > 0 ? 1 : 0, "",
                             nameLength(s.nm), nameText(s.nm), vl, key + s.posf);
        p += std::max(0, std::min(n, 256 - p));
    }
    return p;
}

// The rows of one cell, delivered to the tables and OUTCIF=.
class DriverSink : public korv_cr::CifSink
{
  public:
    explicit DriverSink(KorvPtr q) : q_(q) {}
    void tableRow(const korv_cr::CifRow& r) override
    {
        load(r);
        q_->iovar[cif_slot::TIMELIST] = r.timelist;
        wobcall(q_->Surv, WOB_SEL_PUT_ROW);
    }
    void plotRow(const korv_cr::CifRow& r) override
    {
        load(r);
        wobcall(q_->Phantom, WOB_SEL_PUT_ROW);
    }
    void outRow(const CIFOUTREC& r) override
    {
        const int st = xyvput(static_cast<XVHANDLE*>(q_->svput), &r);
        if (st != 0)
            xofprc(static_cast<DSHANDLE*>(q_->fileouts), st, 4);
    }

  private:
    void load(const korv_cr::CifRow& r)
    {
        q_->iovar[cif_slot::TIME] = r.time;
        q_->iovar[cif_slot::CIF] = r.cif;
        q_->iovar[cif_slot::ERR] = r.err;
        q_->iovar[cif_slot::LCL] = r.lcl;
        q_->iovar[cif_slot::UCL] = r.ucl;
    }
    KorvPtr q_;
};

// The rows of one cell kept until they can be delivered in order.
class CellRows : public korv_cr::CifSink
{
  public:
    void tableRow(const korv_cr::CifRow& r) override { table_.push_back(r); }
    void plotRow(const korv_cr::CifRow& r) override { plot_.push_back(r); }
    void outRow(const CIFOUTREC& r) override { out_.push_back(r); }
    void deliver(korv_cr::CifSink& to) const
    {
        for (const auto& r : table_)
            to.tableRow(r);
        for (const auto& r : plot_)
            to.plotRow(r);
        for (const auto& r : out_)
            to.outRow(r);
    }

  private:
    std::vector<korv_cr::CifRow> table_, plot_;
    std::vector<CIFOUTREC> out_;
};

// The output of the CIF table for one stratum.
void openCifTable(KorvPtr q, xobskey stratumId)
{
    WOB_PARM_BLK_STR pb[] = {
        wob_object(WOB_TAG_OBJECT, nullptr),
        wob_object(WOB_TAG_OBJECT, q->Surv),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.CifEstimates", -1)),
        dynName("StratumID"),
        wob_key(WOB_TAG_DYNVALUE, stratumId ? stratumId : vdqtxt("", 0)),
        dynName("Confidence"),
        wob_double(WOB_TAG_DYNVALUE, (1 - q->alpha) * 100),
    };
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    q->output = pb[0].value.o;
}

// The group level of a stratum (printing with STRATA variables).
xobop openStratumGroup(KorvPtr q, int number)
{
    WOB_PARM_BLK_STR pb[] = {
        wob_key(WOB_TAG_NAME, vdqtxts("Stratum%i", 9, number)),
        wob_key(WOB_TAG_LABEL, vdqmsgs(326, msg326::STRATUM_N, number)),
        wob_flag(WOB_TAG_FLAG435, 0),
        wob_double(WOB_TAG_GROUPNUM, number),
        wob_flag(286, 0),
        wob_key(WOB_TAG_KIND, vdqtxt("STRATUM", 7)),
        wob_object(WOB_TAG_OUT, nullptr),
    };
    wobcall(q->vdq, WOB_SEL_MAKE_GROUP, pb);
    return pb[6].value.o;
}

// The group level of failure type k (printing with several types).
xobop openTypeGroup(KorvPtr q, int k)
{
    CMPRISK* c = q->cmprisk;
    const NAMESTR* nm = c->nmStatus;
    WOB_PARM_BLK_STR pb[] = {
        wob_key(WOB_TAG_NAME, vdqtxts("Failcode%i", 10, k)),
        wob_key(WOB_TAG_LABEL, vdqtxts("%*s=%g", 6, nameLength(nm), nameText(nm), c->statusVal)),
        wob_double(WOB_TAG_GROUPNUM, c->statusVal),
        wob_flag(286, 0),
        wob_key(WOB_TAG_KIND, vdqtxt(nameText(nm), nameLength(nm))),
        wob_object(WOB_TAG_OUT, nullptr),
    };
    wobcall(q->vdq, WOB_SEL_MAKE_GROUP, pb);
    return pb[5].value.o;
}

// Empties the GROUP= value of a Total row: the host's empty-cell value for
// a numeric variable, blanks for a character one.
void emptyGroupValue(KorvPtr q)
{
    GRPVAR* g = q->grpvar;
    if (!g)
        return;
    if (g->nm && g->nm->ntype == 1) {
        const double empty = xgcbconst(95);
        std::memcpy(g->value + g->lenf, &empty, sizeof empty);
    } else {
        std::memset(g->value, ' ', static_cast<size_t>(g->lenf + g->lenu));
    }
}

} // namespace

const bool korv_built_cmprisk = true;

void korvct2(KorvPtr q, NAMESTR* nm, double value)
{
    const char* text = nm->nlablen > 0 ? nm->label_p : nm->name_p;
    const int tlen = nm->nlablen > 0 ? nm->nlablen : nm->namelen;
    xobskey label;
    const bool hasname = nm->nfl > 0 || nm->nformlongl > 0;
    if (!hasname) {
        label = vdqmsgs(326, msg326::HEADING_NUMBER, tlen, text, value);
    } else if (nm->nfcode == 0) {
        label = vdqmsgs(326, msg326::HEADING_FIXED, tlen, text, static_cast<int>(nm->nflen),
                        static_cast<int>(nm->nfd), value);
    } else {
        const int width = formatWidth(nm);
        char* buffer = q->label;
        POOLHANDLE* pool = nullptr;
        if (width > 256) {
            pool = xlongpool();
            buffer = static_cast<char*>(xmalloc_or_exit(pool, width, 0x3004));
        }
        WZ_FMTPAR par{};
        par.w = width;
        par.d = nm->nfd;
        par.from = &value;
        par.fromw = 8;
        par.to = buffer;
        par.tow = width;
        xfxbpn(&par, nm->nfcode);
        int length = 0, start = 0;
        wzstjls(buffer, width, 110, &length, &start);
        label = vdqmsgs(326, msg326::HEADING_FORMATTED, tlen, text, length, buffer + start);
        if (pool)
            pool->free(pool, buffer, -1, 4);
    }
    set_heading(q->vdq, label);
}

const korv_cr::Timed* sortData(KorvPtr q)
{
    return korv_cr::cellTables(q);
}

void printNoEventLog(KorvPtr q, double type, STRATA* node, GRPTREE* gnode)
{
    const NAMESTR* st = q->cmprisk->nmStatus;
    const NAMESTR* gv = q->grpvar ? q->grpvar->nm : nullptr;
    int glen = 0, gstart = 0;
    const char* gval = "";
    if (gnode) {
        wzstjls(grptree_key(gnode), q->grpvar->lenf, 110, &glen, &gstart);
        gval = grptree_key(gnode) + gstart;
    }
    if (q->nsvar == 0) {
        if (!gnode)
            xpmlog(326, msg326::CIF_NO_EVENT, nameLength(st), nameText(st), type);
        else
            xpmlog(326, msg326::CIF_NO_EVENT_GROUP, nameLength(st), nameText(st), type,
                   nameLength(gv), nameText(gv), glen, gval);
        return;
    }
    const int sl = strataText(q, node);
    if (!gnode)
        xpmlog(326, msg326::CIF_NO_EVENT_STRATUM, nameLength(st), nameText(st), type, sl, q->label);
    else
        xpmlog(326, msg326::CIF_NO_EVENT_GROUP_STRATUM, nameLength(st), nameText(st), type,
               nameLength(gv), nameText(gv), glen, gval, sl, q->label);
}

void PrintSummary(KorvPtr q, int k)
{
    CMPRISK* c = q->cmprisk;
    WOB_PARM_BLK_STR pb[] = {
        wob_object(WOB_TAG_OBJECT, nullptr),
        wob_object(WOB_TAG_OBJECT, q->Summary),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.FailureSummary", -1)),
    };
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    q->output = pb[0].value.o;
    GRPVAR* g = q->grpvar;
    double all[3] = {0, 0, 0};
    int s = 0;
    for (STRATA* node = q->strata; node && s < c->nStrata; node = node->left, ++s) {
        q->stratumno = s + 1;
        if (q->nsvar > 0)
            std::memcpy(q->value, strata_key(node), static_cast<size_t>(q->slenf + q->slenu));
        double sum[3] = {0, 0, 0};
        GRPTREE* gnode = g ? g->ghead : nullptr;
        for (int j = 0; j < c->nGroup; ++j) {
            const double* cell = c->meta[s][j];
            if (g && gnode) {
                std::memcpy(g->value, grptree_key(gnode), static_cast<size_t>(g->lenf + g->lenu));
                gnode = gnode->left;
            }
            double compete = 0;
            for (int i = 1; i < c->ncat; ++i)
                if (i != k)
                    compete += cell[cr_cell::events(i)];
            q->iovar[crcount_slot::CENSORED] = cell[cr_cell::events(0)];
            q->iovar[crcount_slot::EVENT] = cell[cr_cell::events(k)];
            q->iovar[crcount_slot::COMPETE] = compete;
            q->iovar[crcount_slot::TOTAL] =
                cell[cr_cell::events(0)] + cell[cr_cell::events(k)] + compete;
            sum[0] += q->iovar[crcount_slot::CENSORED];
            sum[1] += q->iovar[crcount_slot::EVENT];
            sum[2] += q->iovar[crcount_slot::COMPETE];
            wobcall(q->Summary, WOB_SEL_PUT_ROW);
        }
        for (int i = 0; i < 3; ++i)
            all[i] += sum[i];
        if (g) {
            // The stratum's total over its levels.
            q->stratumno = xgcbconst(q->nsvar > 0 ? 83 : 84);
            korvbsv(q);
            emptyGroupValue(q);
            q->iovar[crcount_slot::CENSORED] = sum[0];
            q->iovar[crcount_slot::EVENT] = sum[1];
            q->iovar[crcount_slot::COMPETE] = sum[2];
            q->iovar[crcount_slot::TOTAL] = sum[0] + sum[1] + sum[2];
            wobcall(q->Summary, WOB_SEL_PUT_ROW);
        }
    }
    if (q->nsvar > 0) {
        q->stratumno = xgcbconst(84);
        korvbsv(q);
        emptyGroupValue(q);
        q->iovar[crcount_slot::CENSORED] = all[0];
        q->iovar[crcount_slot::EVENT] = all[1];
        q->iovar[crcount_slot::COMPETE] = all[2];
        q->iovar[crcount_slot::TOTAL] = all[0] + all[1] + all[2];
        wobcall(q->Summary, WOB_SEL_PUT_ROW);
    }
    endAndClose(q, q->Summary);
}

int cifEstimate(KorvPtr q, const korv_cr::Timed& cell, double nrisk, double maxtime,
                korv_cr::CifSink& sink)
{
    const CMPRISK* c = q->cmprisk;
    korv_cr::CifSettings s;
    s.error = c->error;
    s.printVar = c->printVar != 0;
    s.conftype = q->conftype;
    s.critical = q->critical;
    s.alpha = q->alpha;
    s.conftypeWord = korv_conftype_word(q->conftype);
    s.timelist = q->timelist;
    s.ntime = q->timelist ? q->ntime : 0;
    s.table = q->Surv != nullptr;
    s.plot = q->Phantom != nullptr;
    s.plotLimits = (c->plot & cif_plot_bit::CL) != 0;
    s.out = q->fileouts != nullptr && q->svput != nullptr;
    s.reduce = q->zreduce && s.ntime > 0;
    s.nrisk = nrisk;
    s.maxtime = maxtime;
    korv_cr::cifWalk(s, cell, c->statusMap, c->ncat, sink);
    return 0;
}

void korvcif(KorvPtr q)
{
    CMPRISK* c = q->cmprisk;
    c->statusMap[0] = 0;
    if (c->ntype < 2) {
        if (c->failcode)
            c->statusMap[c->ntype] = 2;
        return;
    }
    for (int k = 1; k < c->ntype; ++k)
        c->statusMap[k] = 2;
    if (c->failcode)
        c->statusMap[c->ntype] = 2;
    const bool printing = q->zprint && q->vdq;
    GRPVAR* g = q->grpvar;
    const korv_cr::Timed* cells = sortData(q);
    // When every cell gives only a few rows (the table at TIMELIST= times,
    // OUTCIF= under REDUCEOUT, or no rows at all), the cells of a type are
    // estimated side by side and their rows delivered afterwards in order;
    // otherwise delivering the rows is the work, and the cells go one by one.
    const bool fewRows =
        !(q->Surv && !q->timelist) && !q->Phantom && !(q->fileouts && !(q->zreduce && q->timelist));
    const int ncells = c->nStrata * c->nGroup;
    DriverSink driver(q);

    for (int k = 1; k < c->ntype; ++k) {
        c->statusMap[k] = 1;
        c->statusVal = c->type[k];
        xobop typeGroup = nullptr;
        if (printing && c->ntype > 2) {
            typeGroup = openTypeGroup(q, k);
            korvct2(q, c->nmStatus, c->statusVal);
        }
        if (q->Summary)
            PrintSummary(q, k);
        if (c->nfailed[k] >= ZERO_FREQ) {
            std::vector<CellRows> rows;
            if (fewRows) {
                rows.resize(static_cast<size_t>(ncells));
                vyr::parallel_for(rows.size(), [&](size_t i) {
                    const double* cell = c->meta[i / c->nGroup][i % c->nGroup];
                    cifEstimate(q, cells[i], cell[cr_cell::RISK], cell[cr_cell::MAXTIME], rows[i]);
                });
            }
            int s = 0;
            for (STRATA* node = q->strata; node && s < c->nStrata; node = node->left, ++s) {
                node->Stratum = s;
                xobop stratumGroup = nullptr;
                if (q->nsvar == 0) {
                    q->stratumno = s + 1;
                    if (q->Surv)
                        openCifTable(q, nullptr);
                } else {
                    // The label is made with the number of strata before this
                    // one, so that its text key lands in the stratum's own
                    // entry of the graph labels; the rows carry the number.
                    q->stratumno = s;
                    const int len = korvut(q, node);
                    if (q->stratumid)
                        q->stratumid->len = len;
                    q->stratumno = s + 1;
                    std::memcpy(q->value, strata_key(node),
                                static_cast<size_t>(q->slenf + q->slenu));
                    if (printing)
                        stratumGroup = openStratumGroup(q, s + 1);
                    if (q->Surv)
                        openCifTable(q, q->stratumid && q->stratumid->label
                                            ? vdqtxt(q->stratumid->label, len)
                                            : nullptr);
                }
                GRPTREE* gnode = g ? g->ghead : nullptr;
                for (int j = 0; j < c->nGroup; ++j) {
                    const double* cell = c->meta[s][j];
                    if (cell[cr_cell::events(k)] < ZERO_FREQ)
                        printNoEventLog(q, c->statusVal, node, g ? gnode : nullptr);
                    c->groupno = j + 1;
                    if (g && gnode) {
                        g->groupno = j + 1;
                        std::memcpy(g->value, grptree_key(gnode),
                                    static_cast<size_t>(g->lenf + g->lenu));
                        gnode = gnode->left;
                    }
                    if (fewRows) {
                        rows[static_cast<size_t>(s * c->nGroup + j)].deliver(driver);
                    } else {
                        cifEstimate(q, cells[s * c->nGroup + j], cell[cr_cell::RISK],
                                    cell[cr_cell::MAXTIME], driver);
                    }
                }
                if (q->Surv)
                    endAndClose(q, q->Surv);
                if (stratumGroup)
                    endGroup(stratumGroup);
            }
            if (q->Phantom) {
                std::vector<WOB_PARM_BLK_STR> pb = {
                    wob_object(WOB_TAG_OBJECT, nullptr),
                    wob_object(WOB_TAG_OBJECT, q->Phantom),
                    wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.cifPhantom", -1)),
                    wob_keyaddr(WOB_TAG_PATH, &c->path),
                    // Hidden unless PRINTPHANTOM: said either way, since the
                    // template's own default is hidden.
                    wob_int(WOB_TAG_HIDDEN, (c->plot & cif_plot_bit::PRINT_DATA) ? 0 : 1),
                };
                wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
                q->output = pb[0].value.o;
                endAndClose(q, q->Phantom);
                flushPlot(q, k);
            }
        }
        c->statusMap[k] = 2;
        if (typeGroup) {
            endGroup(typeGroup);
            clear_heading(q->vdq);
        }
    }
}
