// The graphs across the strata of a BY group: survival or failure curves
// overlaid in one graph or in panels, with the at-risk table, limits,
// bands, the median and test insets; the -log S and log(-log S) curves; and
// the life table's density and hazard. The first graph that draws from every
// stratum has the output layer join their plot data, and the later graphs
// draw from that joined data.
#include <cmath>
#include <vector>

#include "common/conflevel.h"
#include "common/options.h"
#include "common/stages.h"
#include "common/strata.h"
#include "estimate/graphreq.h"
#include "numeric/format.h"
#include "runtime/missing.h"
#include "vyr_data.h"
#include "vyr_graphics.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

using namespace korv_est;

const bool korv_built_graphs = true;

namespace
{

struct Shared {
    double P = 95;
    xobskey timeName = nullptr;
    xobskey groupName = nullptr;
    xobskey method = nullptr;
    DynList M, T;
    bool lifeTable = false;
    int A = 0, F = 0, CL = 0, HW = 0, EP = 0;
    bool combined = false;
};

xobskey groupNameKey(KorvPtr q)
{
    if (q->nsvar != 1 || !q->sname || !q->sname[0].nm)
        return nullptr;
    const NAMESTR* nm = q->sname[0].nm;
    if (!q->znolabel && nm->nlablen > 0)
        return vdqtxt(nm->label_p, nm->nlablen);
    return vdqtxt(nm->name_p, nm->namelen);
}

// The first requested test in the order log-rank, Wilcoxon, Tarone, Peto,
// modified Peto, Fleming-Harrington, likelihood ratio (1 to 7), with its
// p-value; 0 when the inset is off.
int testInset(KorvPtr q, double* p)
{
    if (!(q->vdqgraph & plot_bit::TEST) || (q->ktype & test_bit::NONE) || !q->ogstat)
        return 0;
    static const int kBits[] = {test_bit::LOGRANK, test_bit::WILCOXON, test_bit::TARONE,
                                test_bit::PETO,    test_bit::MODPETO,  test_bit::FLEMING,
                                test_bit::LR};
    const OGSTAT* o = q->ogstat;
    const double values[] = {o->logrank, o->wilcoxon, o->tarone, o->peto,
                             o->modpeto, o->fleming,  o->lr};
    for (int k = 0; k < 7; ++k)
        if (q->ktype & kBits[k]) {
            *p = values[k];
            return k + 1;
        }
    return 0;
}

// The name of the plot data joined from every stratum.
void joined(GraphRequest& g, KorvPtr q, const char* name)
{
    g.paths(WOB_TAG_PATHS2, q->ogpath, q->nstrata)
        .text(WOB_TAG_DATAPATH, name)
        .text(WOB_TAG_DATAPATH2, name);
}

// What a survival (or failure) graph across strata is: its name, its
// contents label and its template.
struct SurvivalKind {
    const char* name = nullptr;
    xobskey contents = nullptr;
    const char* templ = nullptr;
};

SurvivalKind survivalKind(KorvPtr q, const Shared& sh)
{
    const int v = q->vdqgraph;
    const bool failure = v & plot_bit::FAILURE;
    const bool overlay = v & plot_bit::OVERLAY;
    const bool outside = q->art && q->art->zoutside;
    SurvivalKind k;
    k.name = failure ? "FailurePlot" : "SurvivalPlot";
    k.contents = vdqmsg(0, failure ? msg0::FAILURE_PLOT : msg0::SURVIVAL_PLOT);
    if (sh.lifeTable)
        k.templ = overlay ? (failure ? "Stat.Korvante.Graphics.LifeTableFailure"
                                     : "Stat.Korvante.Graphics.LifeTableSurvival")
                          : (failure ? "Stat.Korvante.Graphics.LifeTableFailurePanel"
                                     : "Stat.Korvante.Graphics.LifeTableSurvivalPanel");
    else if (overlay)
        k.templ = failure ? (outside ? "Stat.Korvante.Graphics.ProductLimitFailure2"
                                     : "Stat.Korvante.Graphics.ProductLimitFailure")
                          : (outside ? "Stat.Korvante.Graphics.ProductLimitSurvival2"
                                     : "Stat.Korvante.Graphics.ProductLimitSurvival");
    else
        k.templ = failure ? "Stat.Korvante.Graphics.ProductLimitFailurePanel"
                          : "Stat.Korvante.Graphics.ProductLimitSurvivalPanel";
    return k;
}

// The dynamics of stratum i (its value, counts and, for the product-limit
// family, its median with limits).
void addStratum(DynList& S, KorvPtr q, const Shared& sh, const STRATA* s, int i)
{
    S.addNumbered("StrVal%i", i,
                  q->ogstat && q->ogstat->strval ? q->ogstat->strval[i - 1] : nullptr);
    S.addCurveCounts(i, *s, !sh.lifeTable);
}

// The median inset's formats, after the strata's dynamics.
void addFormats(DynList& S, KorvPtr q)
{
    S.add("PctMedianConfid", vdqtxts("%g%%", 4, korv_confidence_percent(q->qtalpha)));
    S.add("QuartileFmt", vdqtxts("F6.%i", 5, zpfmt(q->ogmaxqt, 6)));
}

// The dynamics of every stratum and the median inset's formats.
DynList strataList(KorvPtr q, const Shared& sh)
{
    DynList S;
    int i = 1;
    for (STRATA* s = q->strata; s && i <= q->nstrata; s = s->left, ++i)
        addStratum(S, q, sh, s, i);
    addFormats(S, q);
    return S;
}

// Whether a stratum has a censored time.
bool someStratumCensored(KorvPtr q)
{
    int i = 1;
    for (STRATA* s = q->strata; s && i <= q->nstrata; s = s->left, ++i)
        if (s->cen != 0)
            return true;
    return false;
}

// The dynamics every survival graph of the BY group shares: the censored
// marks, the limits and bands with their labels, the at-risk table and the
// test inset.
DynList commonList(KorvPtr q, const Shared& sh, bool anyCensored)
{
    const int v = q->vdqgraph;
    ATRISKTIME* art = q->art;
    double p = 0;
    const int k = testInset(q, &p);
    DynList C;
    const int censored = anyCensored && !(v & plot_bit::NOCENSORED) ? 1 : 0;
    C.add("plotCensored", censored);
    C.add("plotCL", sh.CL);
    if (sh.CL)
        C.add("labelCL", vdqmsgs(326, msg326::LABEL_CL, sh.P));
    C.add("plotHW", sh.HW);
    if (sh.HW)
        C.add("labelHW", vdqmsgs(326, msg326::LABEL_HW, sh.P));
    C.add("plotEP", sh.EP);
    if (sh.EP)
        C.add("labelEP", vdqmsgs(326, msg326::LABEL_EP, sh.P));
    if (sh.HW || sh.EP)
        C.add("plotBand", 1);
    if (sh.CL || sh.HW || sh.EP || censored)
        C.add("plotLegend", 1);
    C.add("plotAtRisk", art ? 1 : 0);
    if (art) {
        const bool values = art->maxL >= 0 && art->maxL <= art->smaxlen;
        C.add("classAtRisk", vdqtxt(values ? "Stratum" : "StratumNum", -1));
        if (art->zticklabel) {
            C.add("xtickVals", vdqtxt(art->ticklabel ? art->ticklabel : "", art->ticklablen));
            C.add("xtickValFitPol", vdqtxt("STAGGERROTATE", -1));
            korv_release_ticklabel(q);
        }
        if (art->zoutside)
            C.add("rowWeights", wzmis(art->awt) ? vdqtxt("PREFERRED", -1)
                                                : vdqtxts("%g %g", 5, 1 - art->awt, art->awt));
    }
    C.add("plotTest", k > 0 ? 1 : 0);
    if (k > 0) {
        // The names of the seven tests follow each other in the catalogue, in
        // that order, once plain and once for the trend tests.
        const int first =
            (q->ktype & test_bit::TREND) ? msg0::INSET_LOGRANK_TREND : msg0::INSET_LOGRANK;
        C.add("TestName", vdqmsg(0, first + k - 1));
        C.add("pValue", p);
    }
    return C;
}

// The survival graphs in panels: two cells for two strata, else pages of
// four, each page a graph of its own. Each page names the plot data of its
// own strata and carries their dynamics, so that the pages together cost as
// much as the strata, however many pages there are.
void panelGraphs(KorvPtr q, const Shared& sh, const SurvivalKind& kind, const DynList& C)
{
    const int limits = 4 * sh.CL + 2 * sh.HW + sh.EP;
    const int nColumns = q->nstrata == 2 ? 1 : 2;
    const int per = 2 * nColumns;
    const xobskey header = vdqtxt(q->nsvar == 1 ? "NAMEVALUE" : "VALUE", -1);
    int page = 0;
    int first = 0; // the page's first stratum, from 0
    DynList S;
    STRATA* node = q->strata;
    for (int s = 1; s <= q->nstrata && node; ++s, node = node->left) {
        addStratum(S, q, sh, node, s);
        if (s % per != 0 && s != q->nstrata)
            continue;
        ++page;
        addFormats(S, q);
        xobskey label;
        if (sh.lifeTable) {
            const int n = msg326::LIFETABLE_PANEL_TITLE + sh.CL + sh.F;
            label = sh.CL ? vdqmsgs(326, n, page, sh.P) : vdqmsgs(326, n, page);
        } else {
            const int n = msg326::SURVIVAL_PANEL_TITLE + limits + sh.A + sh.F;
            label = limits ? vdqmsgs(326, n, page, sh.P) : vdqmsgs(326, n, page);
        }
        GraphRequest g;
        g.text(WOB_TAG_NAME, kind.name)
            .key(WOB_TAG_LABEL, label)
            .key(WOB_TAG_CONTENTS, kind.contents)
            .text(WOB_TAG_TEMPLATE, kind.templ)
            .paths(WOB_TAG_PATHS2, q->ogpath + first, s - first)
            .dyn("xName", sh.timeName)
            .dyn("nRows", 2)
            .dyn("nColumns", nColumns)
            .dyn("HeaderDisplay", header)
            .dyn("PanelNum", page)
            .dyn("method", sh.method)
            .dyn("yMin", q->art ? -0.06 : 0.0)
            .list(C)
            .list(S)
            .list(sh.M)
            .send(q);
        S = DynList();
        first = s;
    }
}

// The survival graph with the strata overlaid: one graph, which has the
// strata's plot data joined.
void overlaidGraph(KorvPtr q, Shared& sh, const SurvivalKind& kind, DynList& C)
{
    const int limits = 4 * sh.CL + 2 * sh.HW + sh.EP;
    xobskey label, second = nullptr;
    if (sh.lifeTable) {
        label = sh.CL ? vdqmsgs(326, msg326::LIFETABLE_ESTIMATES_CL_TITLE + sh.F, sh.P)
                      : vdqmsg(326, msg326::LIFETABLE_ESTIMATES_TITLE + sh.F);
        if (sh.CL)
            second = vdqmsgs(326, msg326::SECOND_CL, sh.P);
    } else {
        const int n = msg326::SURVIVAL_ESTIMATES_TITLE + limits + sh.A + sh.F;
        label = limits ? vdqmsgs(326, n, sh.P) : vdqmsg(326, n);
        if (limits)
            second = vdqmsgs(326, kSecondTitle[limits] + sh.A, sh.P);
        else if (q->art)
            second = vdqmsg(0, msg0::WITH_AT_RISK);
    }
    if (second)
        C.add("SecondTitle", second);
    GraphRequest g;
    g.text(WOB_TAG_NAME, kind.name).key(WOB_TAG_LABEL, label).key(WOB_TAG_CONTENTS, kind.contents);
    g.text(WOB_TAG_TEMPLATE, kind.templ);
    joined(g, q, "Phantom2");
    g.dyn("method", sh.method)
        .dyn("NStrata", q->nstrata)
        .dyn("GroupName", sh.groupName)
        .dyn("xName", sh.timeName)
        .list(C);
    // Past the curves a legend names, the graph names no stratum and draws
    // no median table: the strata's values would go unread, so none are
    // passed (the censoring summary and the quartiles have those numbers).
    if (q->nstrata <= VYR_LEGEND_MOST)
        g.list(strataList(q, sh));
    g.list(sh.M).list(sh.T).pathOut(&q->ogpath[0]).send(q);
    sh.combined = true;
}

// The survival (or failure) graphs across strata, overlaid or in panels.
void survivalSection(KorvPtr q, Shared& sh)
{
    const SurvivalKind kind = survivalKind(q, sh);
    DynList C = commonList(q, sh, someStratumCensored(q));
    if (q->vdqgraph & plot_bit::OVERLAY)
        overlaidGraph(q, sh, kind, C);
    else
        panelGraphs(q, sh, kind, C);
}

// A graph of every stratum: the first has their plot data joined, the later
// ones draw from the joined data.
void fromAll(GraphRequest& g, KorvPtr q, Shared& sh)
{
    if (sh.combined)
        g.paths(WOB_TAG_PATHS, q->ogpath, 1);
    else
        joined(g, q, "Phantom2");
}

void finish(GraphRequest& g, KorvPtr q, Shared& sh)
{
    if (!sh.combined) {
        g.pathOut(&q->ogpath[0]);
        sh.combined = true;
    }
    g.send(q);
}

} // namespace

void StratifiedSurvival(KorvPtr q)
{
    if (!q->vdq || !q->ogpath || q->nstrata < 1)
        return;
    const int v = q->vdqgraph;
    Shared sh;
    sh.P = korv_confidence_percent(q->alpha);
    sh.timeName = vdqtxt(q->timename.s, static_cast<int>(q->timename.l));
    if (q->zmaxtime)
        sh.M.add("maxTime", q->maxtime);
    sh.T.add("Transparency", q->nstrata <= 1 ? 0.5 : 1 - 0.9 / q->nstrata);
    sh.groupName = groupNameKey(q);
    sh.lifeTable = q->method == 1;
    sh.method = vdqmsg(0, sh.lifeTable     ? msg0::METHOD_LIFETABLE
                          : q->method == 2 ? msg0::METHOD_BRESLOW
                          : q->method == 3 ? msg0::METHOD_FH
                          : q->zwt         ? msg0::METHOD_WEIGHTED_PL
                                           : msg0::METHOD_PL);
    sh.A = q->art ? 10 : 0;
    sh.F = (v & plot_bit::FAILURE) ? 20 : 0;
    sh.CL = (v & plot_bit::CL) ? 1 : 0;
    sh.HW = (v & plot_bit::HW_BAND) ? 1 : 0;
    sh.EP = (v & plot_bit::EP_BAND) ? 1 : 0;

    if ((v & plot_bit::SURVIVAL) && !(v & plot_bit::INDIVIDUAL))
        survivalSection(q, sh);
    if (v & plot_bit::LOGSURV) {
        GraphRequest g;
        g.text(WOB_TAG_NAME, "NegLogSurvivalPlot")
            .key(WOB_TAG_LABEL, vdqmsg(0, msg0::NEG_LOG_SURVIVAL_FUNCTIONS))
            .key(WOB_TAG_CONTENTS, vdqmsg(0, msg0::NEG_LOG_SURVIVAL))
            .text(WOB_TAG_TEMPLATE, "Stat.Korvante.Graphics.NegLogSurvival");
        fromAll(g, q, sh);
        g.dyn("NStrata", q->nstrata).dyn("xName", sh.timeName).dyn("GroupName", sh.groupName);
        g.list(sh.M);
        finish(g, q, sh);
    }
    if (v & plot_bit::LOGLOGS) {
        DynList logList;
        if (q->zmaxtime)
            logList.add("logmaxTime", std::log(q->maxtime));
        const bool labelled = q->timelabel.s && q->timelabel.l > 0;
        GraphRequest g;
        g.text(WOB_TAG_NAME, "LogNegLogSurvivalPlot")
            .key(WOB_TAG_LABEL, vdqmsg(0, msg0::LOG_NEG_LOG_SURVIVAL_FUNCTIONS))
            .key(WOB_TAG_CONTENTS, vdqmsg(0, msg0::LOG_NEG_LOG_SURVIVAL_PLOT))
            .text(WOB_TAG_TEMPLATE, "Stat.Korvante.Graphics.LogNegLogSurvival");
        fromAll(g, q, sh);
        g.dyn("NStrata", q->nstrata)
            .dyn("xLabel", labelled ? vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timelabel.l),
                                              q->timelabel.s)
                                    : vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timename.l),
                                              q->timename.s))
            .dyn("xName",
                 vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timename.l), q->timename.s))
            .dyn("GroupName", sh.groupName)
            .list(logList);
        finish(g, q, sh);
    }
    // The life table's density and hazard.
    struct Rate {
        int bit, clBit;
        const char* name;
        int label, contents;
        const char* templ;
    };
    static const Rate kRates[] = {
        {plot_bit::DENSITY, plot_bit::DENSITY_CL, "DensityPlot", msg0::LIFETABLE_DENSITY_ESTIMATES,
         msg0::DENSITY_PLOT, "Stat.Korvante.Graphics.Density"},
        {plot_bit::HAZARD, plot_bit::HAZARD_CL, "HazardPlot", msg0::LIFETABLE_HAZARD_ESTIMATES,
         msg0::HAZARD_PLOT, "Stat.Korvante.Graphics.Hazard"},
    };
    for (const Rate& r : kRates) {
        if (!(v & r.bit))
            continue;
        const bool cl = v & r.clBit;
        GraphRequest g;
        g.text(WOB_TAG_NAME, r.name)
            .key(WOB_TAG_LABEL, vdqmsg(0, r.label))
            .key(WOB_TAG_CONTENTS, vdqmsg(0, r.contents))
            .text(WOB_TAG_TEMPLATE, r.templ);
        fromAll(g, q, sh);
        if (sh.combined)
            g.dyn("Time", vdqtxt("Midpoint", -1));
        g.dyn("NStrata", q->nstrata)
            .dyn("xName", sh.timeName)
            .dyn("GroupName", sh.groupName)
            .dyn("plotCL", cl ? 1 : 0)
            .dyn("SecondTitle", cl ? vdqmsgs(326, msg326::WITH_CL, sh.P) : nullptr)
            .list(sh.M)
            .list(sh.T);
        finish(g, q, sh);
    }
    korv_release_ticklabel(q);
}
