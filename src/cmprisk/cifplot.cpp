// The cumulative incidence plots of a failure type: graph requests on the
// plot data just rendered, one plot with a curve per stratum or GROUP=
// level, or with GROUP= in several strata a panel per stratum, two or four
// to a page. The output layer draws them from the plot-data table and the
// dynamic values passed here.
#include <cstdio>
#include <string>
#include <vector>

#include "cmprisk/cmprisk.h"
#include "common/strata.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "vyr_data.h"
#include "vyr_message_names.h"
#include "vyr_output.h"

namespace
{

WOB_PARM_BLK_STR dynName(const char* name)
{
    return wob_key(WOB_TAG_DYNNAME, vdqtxt(name, -1));
}

xobskey nameKey(const NAMESTR* nm)
{
    return vdqtxt(nm ? nm->name_p : "", nm ? nm->namelen : 0);
}

// The label of a variable, or its name when it has none.
xobskey labelKey(const NAMESTR* nm)
{
    if (nm && nm->nlablen > 0)
        return vdqtxt(nm->label_p, nm->nlablen);
    return nameKey(nm);
}

} // namespace

namespace korv_cr
{

// The p-value as the panels show it: "p<0.0001" below 0.0001, else with
// four decimals.
std::string pValueText(double p)
{
    if (p < 0.0001)
        return "p<0.0001";
    char buf[32];
    std::snprintf(buf, sizeof buf, "p=%6.4f", p);
    return buf;
}

} // namespace korv_cr

void flushPlot(KorvPtr q, int k)
{
    CMPRISK* c = q->cmprisk;
    if (!q->vdq || !(c->plot & cif_plot_bit::PLOT))
        return;
    GRPVAR* g = q->grpvar;
    const bool panels = c->nStrata >= 2 && g;

    // Which plot-data columns tell the curves apart, and how many there are.
    xobskey groupVar = nullptr, groupNum = nullptr, groupName = nullptr;
    int nCurves = 1;
    if (g) {
        groupVar = nameKey(g->nm);
        groupNum = vdqtxt("GroupNum", -1);
        groupName = panels ? labelKey(g->nm) : nameKey(g->nm);
        nCurves = c->nGroup;
    } else if (c->nStrata >= 2) {
        groupVar = vdqtxt("Stratum", -1);
        groupNum = vdqtxt("StratumNum", -1);
        if (q->nsvar == 1) {
            const NAMESTR* nm = q->sname[0].nm;
            groupName = !q->znolabel && nm && nm->nlablen > 0 ? labelKey(nm) : nameKey(nm);
        }
        nCurves = c->nStrata;
    }

    // The three lists of dynamics: the time axis, the limits, the test.
    std::vector<WOB_PARM_BLK_STR> axis, limits, test;
    if (q->zmaxtime) {
        axis.push_back(dynName("maxTime"));
        axis.push_back(wob_double(WOB_TAG_DYNVALUE, q->maxtime));
    }
    limits.push_back(dynName("plotCL"));
    if (c->plot & cif_plot_bit::CL) {
        limits.push_back(wob_int(WOB_TAG_DYNVALUE, 1));
        limits.push_back(dynName("Confidence"));
        limits.push_back(wob_key(WOB_TAG_DYNVALUE, vdqtxts("%g%%", 4, (1 - q->alpha) * 100)));
        limits.push_back(dynName("Transparency"));
        limits.push_back(wob_double(WOB_TAG_DYNVALUE, 1 - 0.9 / nCurves));
    } else {
        limits.push_back(wob_int(WOB_TAG_DYNVALUE, 0));
    }
    // The p-value is shown only when the test was computed for this type:
    // without degrees of freedom it is missing, and no number is shown.
    const double p = c->pval ? c->pval[k - 1] : korv_missing();
    const bool showTest = (c->plot & cif_plot_bit::TEST) && c->disallow == 0 && q->HomTest &&
                          (q->nsvar > 0 || g) && !wzmis(p);
    test.push_back(dynName("plotTest"));
    test.push_back(wob_int(WOB_TAG_DYNVALUE, showTest ? 1 : 0));
    if (showTest) {
        if (panels) {
            const std::string text = korv_cr::pValueText(p);
            test.push_back(dynName("pValueDisplay"));
            test.push_back(wob_key(WOB_TAG_DYNVALUE, vdqtxt(text.c_str(), -1)));
        } else {
            test.push_back(dynName("pValue"));
            test.push_back(wob_double(WOB_TAG_DYNVALUE, p));
        }
    }

    // The failure type these curves are of, as the second title: the graphs
    // of several types would look alike without it.
    const NAMESTR* status = c->nmStatus;
    const xobskey typeTitle =
        vdqmsgs(326, msg326::CIF_FAILURE_TYPE, status ? static_cast<int>(status->namelen) : 0,
                status ? status->name_p : "", c->type ? c->type[k] : korv_missing());

    auto common = [&](std::vector<WOB_PARM_BLK_STR>& pb) {
        pb.push_back(wob_keyarray(WOB_TAG_PATHS, &c->path, 1));
        pb.push_back(dynName("SecondTitle"));
        pb.push_back(wob_key(WOB_TAG_DYNVALUE, typeTitle));
        pb.push_back(dynName("xName"));
        pb.push_back(
            wob_key(WOB_TAG_DYNVALUE, vdqtxt(q->timename.s, static_cast<int>(q->timename.l))));
        if (groupVar) {
            pb.push_back(dynName("groupVar"));
            pb.push_back(wob_key(WOB_TAG_DYNVALUE, groupVar));
            pb.push_back(dynName("groupNum"));
            pb.push_back(wob_key(WOB_TAG_DYNVALUE, groupNum));
        }
        if (groupName) {
            pb.push_back(dynName("groupName"));
            pb.push_back(wob_key(WOB_TAG_DYNVALUE, groupName));
        }
        pb.push_back(dynName("nCurves"));
        pb.push_back(wob_int(WOB_TAG_DYNVALUE, nCurves));
        pb.push_back(wob_list(WOB_TAG_DYNLIST, axis.data(), static_cast<int64_t>(axis.size())));
        pb.push_back(wob_list(WOB_TAG_DYNLIST, limits.data(), static_cast<int64_t>(limits.size())));
        pb.push_back(wob_list(WOB_TAG_DYNLIST, test.data(), static_cast<int64_t>(test.size())));
    };

    if (!panels) {
        std::vector<WOB_PARM_BLK_STR> pb = {
            wob_key(WOB_TAG_NAME, vdqtxt("cifPlot", -1)),
            wob_key(WOB_TAG_LABEL, vdqtxt("Cumulative Incidence Plot", -1)),
            wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.cifPlot", -1)),
        };
        common(pb);
        wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, pb);
        return;
    }

    // Panels: two columns, one row for exactly two strata, else two.
    const int nColumns = 2;
    const int nRows = c->nStrata == 2 ? 1 : 2;
    const int perPage = nRows * nColumns;
    int page = 0;
    for (int s = 1; s <= c->nStrata; ++s) {
        if (s < c->nStrata && s % perPage != 0)
            continue;
        ++page;
        std::vector<WOB_PARM_BLK_STR> pb = {
            wob_key(WOB_TAG_NAME, vdqtxt("cifPlot", -1)),
            wob_key(WOB_TAG_LABEL, vdqtxt("Cumulative Incidence Curves", -1)),
            wob_key(WOB_TAG_CONTENTS, vdqtxt("Cumulative Incidence Curves", -1)),
            wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.cifPanel", -1)),
            dynName("nRows"),
            wob_int(WOB_TAG_DYNVALUE, nRows),
            dynName("nColumns"),
            wob_int(WOB_TAG_DYNVALUE, nColumns),
            dynName("HeaderDisplay"),
            wob_key(WOB_TAG_DYNVALUE, vdqtxt(q->nsvar == 1 ? "NAMEVALUE" : "VALUE", -1)),
            dynName("PanelNum"),
            wob_int(WOB_TAG_DYNVALUE, page),
            dynName("yMin"),
            wob_double(WOB_TAG_DYNVALUE, 0.0),
        };
        common(pb);
        wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, pb);
    }
}
