// The graphs of the GROUP= road, which compare the levels within a stratum:
// the survival (or failure) curves of the levels of one stratum, its -log S,
// log(-log S), density and hazard graphs, and the pages of panels of every
// stratum's curves. Each graph is drawn by the output layer from the
// stratum's plot data, which holds the rows of all its levels; this code
// names the template and passes the dynamic values.
#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

#include "common/conflevel.h"
#include "common/options.h"
#include "common/strata.h"
#include "estimate/estimate.h"
#include "estimate/graphreq.h"
#include "numeric/format.h"
#include "runtime/missing.h"
#include "vyr_data.h"
#include "vyr_graphics.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

using namespace korv_est;

namespace
{

// What every GROUP= graph of a BY group shares.
struct Shared {
    xobskey method = nullptr;
    xobskey groupVar = nullptr;
    xobskey groupName = nullptr;
    xobskey xName = nullptr;
    double transparency = 0.5;
    double pct = 95;
    DynList maxTime; // "maxTime" when MAXTIME= was given
    DynList misc;    // the dynamics korvpbg made for the BY group
    int a = 0, f = 0;
    int CL = 0, HW = 0, EP = 0;
    bool lifeTable = false;
    bool failure = false;
};

Shared shared(KorvPtr q, int ngroup)
{
    Shared s;
    const GRPVAR* g = q->grpvar;
    static const int kMethod[4] = {msg0::METHOD_PL, msg0::METHOD_LIFETABLE, msg0::METHOD_BRESLOW,
                                   msg0::METHOD_FH};
    const int m = q->method >= 0 && q->method <= 3 ? q->method : 0;
    s.method = vdqmsg(0, m == 0 && q->zwt ? msg0::METHOD_WEIGHTED_PL : kMethod[m]);
    const NAMESTR* nm = g->nm;
    s.groupVar = vdqtxt(nm->name_p, nm->namelen);
    s.groupName = !q->znolabel && nm->nlablen > 0 ? vdqtxt(nm->label_p, nm->nlablen) : s.groupVar;
    s.xName = vdqtxt(q->timename.s, static_cast<int>(q->timename.l));
    s.transparency = ngroup >= 2 ? 1 - 0.9 / ngroup : 0.5;
    s.pct = korv_confidence_percent(q->alpha);
    if (q->zmaxtime)
        s.maxTime.add("maxTime", q->maxtime);
    if (g->plotmisc && g->nplotmisc > 0) {
        const auto* b = static_cast<const WOB_PARM_BLK_STR*>(g->plotmisc);
        s.misc.b.assign(b, b + g->nplotmisc);
    }
    const int v = q->vdqgraph;
    s.a = q->art ? 10 : 0;
    s.f = (v & plot_bit::FAILURE) ? 20 : 0;
    s.CL = (v & plot_bit::CL) ? 1 : 0;
    s.HW = (v & plot_bit::HW_BAND) ? 1 : 0;
    s.EP = (v & plot_bit::EP_BAND) ? 1 : 0;
    s.lifeTable = q->method == 1;
    s.failure = v & plot_bit::FAILURE;
    return s;
}

int countGroups(KorvPtr q)
{
    int n = 0;
    for (GRPTREE* t = q->grpvar->ghead; t; t = t->left)
        ++n;
    return n;
}

// The title of a survival graph and its second title. Per stratum the title
// number is base + limits + a + f (with the confidence percent when limits
// are drawn); on a page of panels it also takes the page number.
struct Titles {
    xobskey title = nullptr;
    xobskey second = nullptr;
};
Titles survivalTitles(const Shared& s, int page)
{
    Titles t;
    const bool panels = page > 0;
    // The offset of the limits and bands drawn: EP 1, HW 2, CL 4.
    const int limits = 4 * s.CL + 2 * s.HW + s.EP;
    auto with = [&](int n, bool pct) {
        if (panels)
            return pct ? vdqmsgs(326, n, page, s.pct) : vdqmsgs(326, n, page);
        return pct ? vdqmsgs(326, n, s.pct) : vdqmsg(326, n);
    };
    if (s.lifeTable) {
        if (s.CL) {
            const int base = panels ? msg326::LIFETABLE_PANEL_CL_TITLE + s.a
                                    : msg326::LIFETABLE_ESTIMATES_CL_TITLE;
            t.title = with(base + s.f, true);
            t.second = vdqmsgs(326, msg326::SECOND_CL + s.a, s.pct);
        } else {
            const int base =
                panels ? msg326::LIFETABLE_PANEL_TITLE : msg326::LIFETABLE_ESTIMATES_TITLE;
            t.title = with(base + s.a + s.f, false);
        }
        return t;
    }
    const int base = panels ? msg326::SURVIVAL_PANEL_TITLE : msg326::SURVIVAL_ESTIMATES_TITLE;
    t.title = with(base + limits + s.a + s.f, limits != 0);
    if (limits != 0)
        t.second = vdqmsgs(326, kSecondTitle[limits] + s.a, s.pct);
    else if (s.a != 0)
        t.second = vdqmsg(0, msg0::WITH_AT_RISK);
    return t;
}

// The levels with records in the current stratum: the curves of its graphs.
int levelsWithRecords(KorvPtr q)
{
    int n = 0;
    for (GRPTREE* t = q->grpvar->ghead; t; t = t->left)
        if (t->cum > 0)
            ++n;
    return n;
}

// The largest quartile value of the levels (limits included), which sizes
// the quartile format of the median inset; -1 when there is none.
double quartileScale(KorvPtr q)
{
    double scale = -1;
    for (GRPTREE* t = q->grpvar->ghead; t; t = t->left) {
        if (!(t->cum > 0))
            continue;
        for (int i = 0; i < 3; ++i)
            for (double v : {t->quant[i], t->qtlower[i], t->qtupper[i]})
                if (!wzmis(v) && v > scale)
                    scale = v;
    }
    return scale;
}

// The first test asked for in the order log-rank, Wilcoxon, Tarone, Peto,
// modified Peto, Fleming-Harrington, likelihood ratio (1 to 7) whose
// p-value the tests left, and the pair of dynamics of its inset; 0 when the
// inset is not asked for or there is no p-value to show.
int testList(KorvPtr q, DynList& list)
{
    if (!(q->vdqgraph & plot_bit::TEST) || (q->ktype & test_bit::NONE) || !q->ogstat)
        return 0;
    static const int kBits[7] = {test_bit::LOGRANK, test_bit::WILCOXON, test_bit::TARONE,
                                 test_bit::PETO,    test_bit::MODPETO,  test_bit::FLEMING,
                                 test_bit::LR};
    const OGSTAT* o = q->ogstat;
    const double values[7] = {o->logrank, o->wilcoxon, o->tarone, o->peto,
                              o->modpeto, o->fleming,  o->lr};
    for (int k = 0; k < 7; ++k) {
        if (!(q->ktype & kBits[k]))
            continue;
        const double p = values[k];
        if (wzmis(p) || !std::isfinite(p))
            return 0;
        const int t = k + 1;
        // The names of the seven tests follow each other in the catalogue, in
        // that order, once plain and once for the trend tests.
        const int first =
            (q->ktype & test_bit::TREND) ? msg0::INSET_LOGRANK_TREND : msg0::INSET_LOGRANK;
        list.add("testName", vdqmsg(0, first + t - 1));
        list.add("testPval", p < 0.0001 ? vdqtxt("p<0.0001", -1) : vdqtxts("p=%6.4f", 7, p));
        return t;
    }
    return 0;
}

} // namespace

namespace
{

// The survival (or failure) graph of the levels of one stratum, with the
// inset of their test when `tests` holds it.
void levelsGraph(KorvPtr q, STRATA* node, int ngroup, const DynList& tests)
{
    const Shared s = shared(q, ngroup);
    ATRISKTIME* art = q->art;
    const bool outside = art && art->zoutside;
    const char* templ;
    if (s.lifeTable)
        templ = s.failure ? "Stat.Korvante.Graphics.LifeTableFailureSG"
                          : "Stat.Korvante.Graphics.LifeTableSurvivalSG";
    else if (outside)
        templ = s.failure ? "Stat.Korvante.Graphics.ProductLimitFailure2SG"
                          : "Stat.Korvante.Graphics.ProductLimitSurvival2SG";
    else
        templ = s.failure ? "Stat.Korvante.Graphics.ProductLimitFailureSG"
                          : "Stat.Korvante.Graphics.ProductLimitSurvivalSG";

    // The levels with records in this stratum, numbered from 0. Past the
    // curves a legend names, the graph names no level and draws no median
    // table: their values would go unread, so none are passed.
    DynList levels;
    if (levelsWithRecords(q) <= VYR_LEGEND_MOST) {
        int i = 0;
        for (GRPTREE* t = q->grpvar->ghead; t; t = t->left) {
            if (!(t->cum > 0))
                continue;
            levels.addCurveCounts(i, *t, !s.lifeTable);
            ++i;
        }
        levels.add("PctMedianConfid", vdqtxts("%g%%", 4, korv_confidence_percent(q->qtalpha)));
        levels.add("QuartileFmt", vdqtxts("F6.%i", 5, zpfmt(quartileScale(q), 6)));
    }

    const Titles t = survivalTitles(s, 0);
    int slen = 0;
    const xobskey stratum = stratumText(q, &slen);
    DynList transparency;
    transparency.add("Transparency", s.transparency);
    GraphRequest g;
    g.text(WOB_TAG_NAME, s.failure ? "FailurePlot" : "SurvivalPlot")
        .key(WOB_TAG_LABEL, t.title)
        .key(WOB_TAG_CONTENTS, vdqmsg(0, s.failure ? msg0::FAILURE_PLOT : msg0::SURVIVAL_PLOT))
        .text(WOB_TAG_TEMPLATE, templ)
        .paths(WOB_TAG_PATHS, &q->ogpath[node->Stratum], 1)
        .dyn("method", s.method)
        .dyn("StratumID", stratum)
        .dyn("GroupName", s.groupName)
        .dyn("GroupVar", s.groupVar)
        .dyn("xName", s.xName)
        // NOCENSORED leaves the censoring marks out here too.
        .dyn("plotCensored", node->cen > 0 && !(q->vdqgraph & plot_bit::NOCENSORED) ? 1 : 0)
        .dyn("SecondTitle", t.second)
        .list(s.misc)
        .list(levels)
        .list(s.maxTime)
        .list(transparency)
        .list(tests)
        .send(q);
}

// TEST asked for the graph of the levels, whose test left no p-value (a
// single level has none): said, since the graph shows none.
void noPValueNote(KorvPtr q, int test)
{
    if (test == 0 && (q->vdqgraph & plot_bit::TEST) && !(q->ktype & test_bit::NONE))
        xpmlog(326, msg326::PLOT_TEST_GROUP_NO_PVALUE);
}

} // namespace

void StratumSpecificSurvival(KorvPtr q, STRATA* node, int ngroup)
{
    if (!q->grpvar || !q->vdq || !q->ogpath)
        return;
    levelsGraph(q, node, ngroup, DynList());
}

bool GroupSurvivalAfterTest(KorvPtr q)
{
    const int v = q->vdqgraph;
    return q->grpvar && q->nsvar == 0 && (v & plot_bit::SURVIVAL) && (v & plot_bit::TEST) &&
           !(v & plot_bit::PANEL) && !(q->ktype & test_bit::NONE);
}

void NoteLevelsPastLegend(KorvPtr q, STRATA* node)
{
    // Said once in a BY group: its first stratum with records starts it
    // afresh. The strata are estimated one after another on the task
    // thread, the only one that comes here.
    static bool said = false;
    STRATA* first = q->strata;
    while (first && first != node && first->nobs < 1)
        first = first->left;
    if (first == node)
        said = false;
    const int curves = plot_bit::SURVIVAL | plot_bit::LOGSURV | plot_bit::LOGLOGS |
                       plot_bit::DENSITY | plot_bit::HAZARD;
    if (said || !q->grpvar || !(q->vdqgraph & curves))
        return;
    const int levels = levelsWithRecords(q);
    if (levels <= VYR_LEGEND_MOST)
        return;
    said = true;
    const NAMESTR* nm = q->grpvar->nm;
    const std::string name = nm ? std::string(nm->name_p, static_cast<size_t>(nm->namelen)) : "";
    if (q->nsvar == 0)
        xpmlog(326, msg326::GROUP_LEGEND_LEFT_OUT, levels, name.c_str(), VYR_LEGEND_MOST,
               name.c_str());
    else
        xpmlog(326, msg326::GROUP_LEGEND_LEFT_OUT_STRATA, VYR_LEGEND_MOST, name.c_str(),
               node->Stratum + 1, levels, VYR_LEGEND_MOST, name.c_str());
}

void StratumSpecificOthers(KorvPtr q, STRATA* node, int ngroup)
{
    if (!q->grpvar || !q->vdq || !q->ogpath)
        return;
    const Shared s = shared(q, ngroup);
    const int v = q->vdqgraph;
    int slen = 0;
    const xobskey stratum = stratumText(q, &slen);
    xobskey* data = &q->ogpath[node->Stratum];
    auto start = [&](GraphRequest& g, const char* name, int label, int contents,
                     const char* templ) {
        g.text(WOB_TAG_NAME, name)
            .key(WOB_TAG_LABEL, vdqmsg(0, label))
            .key(WOB_TAG_CONTENTS, vdqmsg(0, contents))
            .text(WOB_TAG_TEMPLATE, templ)
            .paths(WOB_TAG_PATHS, data, 1)
            .dyn("StratumID", stratum)
            .dyn("GroupName", s.groupName)
            .dyn("GroupVar", s.groupVar);
    };
    if (v & plot_bit::LOGSURV) {
        GraphRequest g;
        start(g, "NegLogSurvivalPlot", msg0::NEG_LOG_SURVIVAL_FUNCTIONS, msg0::NEG_LOG_SURVIVAL,
              "Stat.Korvante.Graphics.NegLogSurvivalSG");
        g.dyn("xName", s.xName).list(s.maxTime).send(q);
    }
    if (v & plot_bit::LOGLOGS) {
        const xobskey label =
            q->timelabel.s && q->timelabel.l > 0
                ? vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timelabel.l), q->timelabel.s)
                : vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timename.l), q->timename.s);
        DynList logMax;
        if (q->zmaxtime)
            logMax.add("logmaxTime", std::log(q->maxtime));
        GraphRequest g;
        start(g, "LogNegLogSurvivalPlot", msg0::LOG_NEG_LOG_SURVIVAL_FUNCTIONS,
              msg0::LOG_NEG_LOG_SURVIVAL_PLOT, "Stat.Korvante.Graphics.LogNegLogSurvivalSG");
        g.dyn("xLabel", label)
            .dyn("xName",
                 vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timename.l), q->timename.s))
            .list(logMax)
            .send(q);
    }
    if (v & plot_bit::DENSITY) {
        GraphRequest g;
        start(g, "DensityPlot", msg0::LIFETABLE_DENSITY_ESTIMATES, msg0::DENSITY_PLOT,
              "Stat.Korvante.Graphics.DensitySG");
        g.dyn("xName", s.xName)
            .dyn("plotCL", (v & plot_bit::DENSITY_CL) ? 1 : 0)
            .dyn("Transparency", s.transparency)
            .list(s.maxTime)
            .send(q);
    }
    if (v & plot_bit::HAZARD) {
        GraphRequest g;
        start(g, "HazardPlot", msg0::LIFETABLE_HAZARD_ESTIMATES, msg0::HAZARD_PLOT,
              "Stat.Korvante.Graphics.HazardSG");
        g.dyn("xName", s.xName)
            .dyn("plotCL", (v & plot_bit::HAZARD_CL) ? 1 : 0)
            .dyn("Transparency", s.transparency)
            .list(s.maxTime)
            .send(q);
    }
}

void korvpsg(KorvPtr q)
{
    if (!q->grpvar || !q->vdq || !q->ogpath || q->nstrata < 1)
        return;
    if (!(q->vdqgraph & plot_bit::PANEL)) {
        // The levels' graph that waited for their test, now with its p-value
        // (drawn from the plot data the stratum made, when it made them).
        if (GroupSurvivalAfterTest(q) && q->Phantom && q->strata->nobs > 0) {
            DynList tests;
            const int t = testList(q, tests);
            noPValueNote(q, t);
            tests.add("plotTest", t);
            levelsGraph(q, q->strata, countGroups(q), tests);
        }
        return;
    }
    const Shared s = shared(q, countGroups(q));
    const int rows = q->nstrata <= 2 ? 1 : 2;
    const int cols = q->nstrata == 1 ? 1 : 2;
    const int per = rows * cols;
    const bool strata = q->nsvar > 0;
    const char* templ;
    if (s.lifeTable)
        templ = s.failure ? (strata ? "Stat.Korvante.Graphics.LifeTableFailurePanelSG"
                                    : "Stat.Korvante.Graphics.LifeTableFailureSG")
                          : (strata ? "Stat.Korvante.Graphics.LifeTableSurvivalPanelSG"
                                    : "Stat.Korvante.Graphics.LifeTableSurvivalSG");
    else
        templ = s.failure ? (strata ? "Stat.Korvante.Graphics.ProductLimitFailurePanelSG"
                                    : "Stat.Korvante.Graphics.ProductLimitFailureSG")
                          : (strata ? "Stat.Korvante.Graphics.ProductLimitSurvivalPanelSG"
                                    : "Stat.Korvante.Graphics.ProductLimitSurvivalSG");
    const xobskey header = vdqtxt(q->nsvar == 1 ? "NAMEVALUE" : "VALUE", -1);
    DynList tests;
    const int t = testList(q, tests);
    noPValueNote(q, t);

    int page = 0;
    bool censored = false;
    int k = 1;
    int first = 0; // the page's first stratum, from 0
    for (STRATA* st = q->strata; st && k <= q->nstrata; st = st->left, ++k) {
        censored = censored || st->cen > 0;
        if (k % per != 0 && k != q->nstrata)
            continue;
        ++page;
        const bool last = k == q->nstrata;
        const Titles ti = survivalTitles(s, page);
        GraphRequest g;
        g.text(WOB_TAG_NAME, s.failure ? "FailurePlot" : "SurvivalPlot")
            .key(WOB_TAG_LABEL, ti.title)
            .key(WOB_TAG_CONTENTS, vdqmsg(0, s.failure ? msg0::FAILURE_PLOT : msg0::SURVIVAL_PLOT))
            .text(WOB_TAG_TEMPLATE, templ)
            // The page's own strata's plot data: the pages together cost as
            // much as the strata, however many pages there are.
            .paths(strata ? WOB_TAG_PATHS2 : WOB_TAG_PATHS, q->ogpath + first, k - first)
            .dyn("xName", s.xName);
        if (strata)
            g.dyn("nRows", rows).dyn("nColumns", cols);
        g.dyn("HeaderDisplay", header)
            .dyn("GroupVar", s.groupVar)
            .dyn("GroupName", s.groupName)
            .dyn("PanelNum", page)
            .dyn("method", s.method)
            .dyn("SecondTitle", ti.second)
            .dyn("Transparency", s.transparency)
            .dyn("yMin", q->art ? -0.06 : 0.0)
            .dyn("plotCensored", censored && !(q->vdqgraph & plot_bit::NOCENSORED) ? 1 : 0)
            // The test of the levels across every stratum, on the last page.
            .dyn("plotTest", last ? t : 0)
            .list(s.misc)
            .list(tests)
            .send(q);
        censored = false;
        first = k;
    }
}
