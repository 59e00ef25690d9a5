// Plots of the restricted mean survival time (or time lost) against the
// restriction time: each active cell evaluated at 100 restriction times from
// its largest time / 100 to its largest time, the points written into hidden
// plot-data tables, and graph requests over them: one graph per outer node
// with its cells overlaid (the default), one graph per cell (INDIVIDUAL), or
// panels of two or four cells (PANEL).
//
// Which nodes get a plot-data table:
//   overlaid                      each outer node (its cells' curves)
//   individual                    each cell
//   panels without GROUP=         each cell
//   panels with GROUP=            each outer node
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "rmst/rmst.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

constexpr int kPoints = 100;

bool active(const ZRMSMANAGER* q, const ZRMSSNODE* s)
{
    return q->n2df[s->slot] > 0 && s->atrisk > 0;
}

xobskey key(const char* text)
{
    return vdqtxt(text, -1);
}

void dyn(std::vector<WOB_PARM_BLK_STR>& list, const char* name, WOB_PARM_BLK_STR value)
{
    list.push_back(wob_key(WOB_TAG_DYNNAME, key(name)));
    value.tag = WOB_TAG_DYNVALUE;
    list.push_back(value);
}

// One row of a plot-data table.
void OutOneTime(rmsUserPtr us, ZRMSSNODE* s, ZRMSUNODE* u, const ZRMSOPT* opt, ZRMSVDQ* zog)
{
    ZRMSMANAGER* q = us->q;
    ZRMSOUTDEST& d = q->dest;
    d.id = q->n2id[s->slot];
    d.tt = opt->tau;
    d.ee = opt->Srmtl ? opt->rmtl : opt->rmst;
    d.se = std::sqrt(opt->var) * rmsUnit(q);
    d.ul = d.ee + us->zval * d.se;
    // No survival time or time lost is below 0: the lower limit is kept at 0,
    // as in the estimates table (early on a curve the time lost is small and
    // its standard error about as large).
    d.ll = std::max(d.ee - us->zval * d.se, 0.0);
    // A value beyond the largest double is missing, and so are the limits
    // of a missing standard error.
    for (double* v : {&d.se, &d.ul, &d.ll})
        if (!std::isfinite(*v) || !std::isfinite(d.se))
            *v = korv_missing();
    if (!d.v && d.nm && d.ln) {
        std::memset(d.ln, ' ', static_cast<size_t>(d.lnlen));
        if (q->ln2)
            std::memcpy(d.ln, q->ln2[s->slot],
                        static_cast<size_t>(std::min(q->ln2l[s->slot], d.lnlen)));
    } else if (d.v) {
        int l = 0;
        rmsSplitKey(q, s->key, q->b1, 1, &l);
        if (d.v->n->ntype == 1) {
            d.level = d.v->true_ ? d.v->true_[l].z : korv_missing();
        } else {
            std::memset(d.ln, ' ', static_cast<size_t>(d.lnlen));
            const char* t = d.v->val.l[l];
            int n = std::min(d.v->vlen, d.lnlen);
            while (n > 0 && (t[n - 1] == ' ' || t[n - 1] == '\0'))
                --n;
            std::memcpy(d.ln, t, static_cast<size_t>(n));
        }
    }
    if (d.nm2 && d.ln2) {
        std::memset(d.ln2, ' ', static_cast<size_t>(d.ln2len));
        if (!us->ng) {
            d.id = 0;
            if (q->ln2)
                std::memcpy(d.ln2, q->ln2[s->slot],
                            static_cast<size_t>(std::min(q->ln2l[s->slot], d.ln2len)));
        } else if (u->name) {
            std::memcpy(d.ln2, u->name, static_cast<size_t>(std::min(u->namelen, d.ln2len)));
        }
    }
    zrmstblPut(zog);
}

// The dynamic variables every graph of the analysis carries.
void commonDynamics(rmsUserPtr us, const ZRMSOPT* opt, const ZRMSVDQ* zog, double transparency,
                    std::vector<WOB_PARM_BLK_STR>& list)
{
    if (opt->SplotCL) {
        dyn(list, "Transparency", wob_double(0, transparency));
        dyn(list, "plotCL", wob_int(0, 1));
    }
    dyn(list, "XVIEWMIN", wob_double(0, 0.0));
    if (us->Smaxtime)
        dyn(list, "XVIEWMAX", wob_double(0, us->maxtime));
}

void MakeRMSPlot(rmsUserPtr us, ZRMSVDQ* zog, xobskey title3, xobskey sgc, short Srmtl)
{
    if (us->Snoprint || !zog || !zog->vdq || !zog->templ)
        return;
    const ZRMSOPT* opt = rmsOpt(us, Srmtl);
    const xobskey templ =
        vdqtxts("%k.%k", -1, zog->templ, key(Srmtl ? "Graphics.RMTLPlot" : "Graphics.RMSTPlot"));
    const double level = (1 - us->alpha) * 100;
    std::vector<WOB_PARM_BLK_STR> list;
    commonDynamics(us, opt, zog, zog->ncurve < 2 ? 0.5 : 1 - 0.9 / zog->ncurve, list);
    dyn(list, "yLabel", wob_key(0, key(Srmtl ? "RMTL" : "RMST")));
    const bool unpacked = opt->Splotunpack != 0;
    if (!unpacked && zog->vector) {
        dyn(list, "group", wob_key(0, zog->vector));
        dyn(list, "groupIndex", wob_key(0, key("GroupID")));
        if (zog->vectorName)
            dyn(list, "groupName", wob_key(0, zog->vectorName));
    }
    const int many = Srmtl ? msg326::RMS_TITLE_RMTLN : msg326::RMS_TITLE_RMSTN;
    const int one = Srmtl ? msg326::RMS_TITLE_RMTL1 : msg326::RMS_TITLE_RMST1;
    xobskey title1 = vdqmsg(326, zog->ncurve <= 1 ? one : many);
    if (title3)
        title1 = vdqtxts("%k %k", -1, title1, title3);
    xobskey label = vdqmsg(326, many);
    xobskey title2 = nullptr;
    if (opt->SplotCL) {
        title2 = vdqmsgs(326, msg326::RMS_TITLE2_CL, level);
        label = vdqmsgs(326, msg326::RMS_LABEL_CL, level);
    }
    std::vector<WOB_PARM_BLK_STR> pb = {
        wob_key(WOB_TAG_NAME, key(Srmtl ? "RMTLPlot" : "RMSTPlot")),
        wob_key(WOB_TAG_LABEL, label),
        wob_key(WOB_TAG_CONTENTS, sgc),
        wob_key(WOB_TAG_TEMPLATE, templ),
        wob_keyarray(WOB_TAG_PATHS, zog->path, 1),
        wob_list(WOB_TAG_DYNLIST, list.data(), static_cast<int64_t>(list.size())),
        wob_key(WOB_TAG_DYNNAME, key("title1")),
        wob_key(WOB_TAG_DYNVALUE, title1),
    };
    if (title2) {
        pb.push_back(wob_key(WOB_TAG_DYNNAME, key("title2")));
        pb.push_back(wob_key(WOB_TAG_DYNVALUE, title2));
    }
    wobcall(zog->vdq, WOB_SEL_GRAPH_OUTPUT, pb);
}

void MakeRMSPanel(rmsUserPtr us, ZRMSVDQ* zog, short Srmtl)
{
    if (us->Snoprint || !zog->vdq || !zog->templ)
        return;
    ZRMSMANAGER* q = us->q;
    const ZRMSOPT* opt = rmsOpt(us, Srmtl);
    const xobskey templ =
        vdqtxts("%k.%k", -1, zog->templ, key(Srmtl ? "Graphics.RMTLPanel" : "Graphics.RMSTPanel"));
    const int n = zog->gnum;
    const double level = (1 - us->alpha) * 100;
    std::vector<WOB_PARM_BLK_STR> list;
    const double transparency = !us->ng || zog->ncurve < 2 ? 0.5 : 1 - 0.9 / zog->ncurve;
    commonDynamics(us, opt, zog, transparency, list);
    if (zog->vector) {
        dyn(list, "group", wob_key(0, zog->vector));
        dyn(list, "groupIndex", wob_key(0, key("GroupID")));
        if (zog->vectorName)
            dyn(list, "groupName", wob_key(0, zog->vectorName));
    }
    dyn(list, "Multicurves", wob_int(0, us->ng ? 1 : 0));
    if (q->tname) {
        dyn(list, "yName", wob_key(0, key(Srmtl ? "RMTL" : "RMST")));
        dyn(list, "xName", wob_key(0, key("Tau")));
    }
    const xobskey header = key(n == 1 ? "NAMEVALUE" : "VALUE");
    const int rows = n == 2 ? 1 : 2;
    const int perPanel = 2 * rows;
    const xobskey contents = vdqmsg(326, Srmtl ? msg326::RMS_RMTL_PLOTS : msg326::RMS_RMST_PLOTS);
    xobop group = nullptr;
    if (perPanel < n)
        group = zrmstblMakeGroup(zog, Srmtl ? "RMTLPlots" : "RMSTPlots", 0, contents);
    const int many = Srmtl ? msg326::RMS_TITLE_RMTLN : msg326::RMS_TITLE_RMSTN;
    const int one = Srmtl ? msg326::RMS_TITLE_RMTL1 : msg326::RMS_TITLE_RMST1;
    const xobskey title1 = vdqmsg(326, zog->ncurve <= 1 ? one : many);
    const xobskey title2 = opt->SplotCL ? vdqmsgs(326, msg326::RMS_TITLE2_CL, level) : nullptr;
    int panel = 0;
    for (int i = 1; i <= n; ++i) {
        if (i != n && i % perPanel != 0)
            continue;
        ++panel;
        const xobskey label = opt->SplotCL ? vdqmsgs(326, msg326::RMS_PANEL_LABEL_CL, level)
                                           : vdqmsg(326, msg326::RMS_PANEL_LABEL);
        std::vector<WOB_PARM_BLK_STR> pb = {
            wob_key(WOB_TAG_NAME, key(Srmtl ? "RMTLPlot" : "RMSTPlot")),
            wob_key(WOB_TAG_LABEL, label),
            wob_key(WOB_TAG_CONTENTS, group ? vdqmsgs(326, msg326::RMS_PANEL_N, panel) : contents),
            wob_key(WOB_TAG_TEMPLATE, templ),
            wob_keyarray(WOB_TAG_PATHS2, zog->gpath, n),
            wob_list(WOB_TAG_DYNLIST, list.data(), static_cast<int64_t>(list.size())),
        };
        dyn(pb, "nRows", wob_int(0, rows));
        dyn(pb, "nColumns", wob_int(0, 2));
        dyn(pb, "HeaderDisplay", wob_key(0, header));
        dyn(pb, "PanelNum", wob_int(0, panel));
        dyn(pb, "PlotTest", wob_int(0, opt->SplotTest));
        dyn(pb, "pValueDisplay", wob_double(0, q->pval));
        dyn(pb, "title1", wob_key(0, title1));
        if (title2)
            dyn(pb, "title2", wob_key(0, title2));
        wobcall(zog->vdq, WOB_SEL_GRAPH_OUTPUT, pb);
    }
    zrmstblDeleteGroup(group);
}

// Closes a finished plot-data table; its path stays for the graphs.
void closeTable(ZRMSVDQ* zog)
{
    zrmstblClose(zog);
}

} // namespace

rmsRetCodes GenPlotData(rmsUserPtr us, short Srmtl)
{
    ZRMSMANAGER* q = us->q;
    const ZRMSOPT* opt = rmsOpt(us, Srmtl);
    const bool innerTables = opt->Splotunpack || (opt->Splotpanel && !us->ng);
    const bool outerTables = !innerTables;
    ZRMSOPT o = *opt;
    o.Srmtl = Srmtl;
    double taus[kPoints], est[kPoints], var[kPoints];
    for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
        auto* u = reinterpret_cast<ZRMSUNODE*>(a);
        u->zog = nullptr;
        bool any = false;
        for (QXEAVLNODE* b = u->stree->first(u->stree); b && !any; b = u->stree->next(u->stree, b))
            any = active(q, reinterpret_cast<ZRMSSNODE*>(b));
        // An outer node without a cell of data has no curve to show.
        if (!any)
            continue;
        if (outerTables && !(u->zog = SetRMSTable(us, Srmtl)))
            return ZRMS_VDQERROR;
        for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b)) {
            auto* s = reinterpret_cast<ZRMSSNODE*>(b);
            s->zog = nullptr;
            if (!active(q, s))
                continue;
            if (innerTables && !(s->zog = SetRMSTable(us, Srmtl)))
                return ZRMS_VDQERROR;
            // maxt k / 100 for k = 1 .. 100, the last point the cell's
            // largest time itself; formed in the variances' unit, a power of
            // two, so that maxt k stays within range.
            const double unit = rmsUnit(q);
            for (int k = 1; k <= kPoints; ++k)
                taus[k - 1] = k == kPoints ? s->maxt : s->maxt / unit * k / kPoints * unit;
            EstGrid(s, taus, kPoints, o.Sbc != 0, est, var, unit);
            ZRMSVDQ* target = s->zog ? s->zog : u->zog;
            for (int k = 0; k < kPoints; ++k) {
                o.tau = taus[k];
                o.rmst = est[k];
                o.rmtl = taus[k] - est[k];
                o.var = var[k];
                OutOneTime(us, s, u, &o, target);
            }
            if (s->zog) {
                closeTable(s->zog);
                s->zog->ncurve += 1;
            }
            if (u->zog)
                u->zog->ncurve += 1;
        }
        if (u->zog)
            closeTable(u->zog);
    }
    return ZRMS_NOPROBLEM;
}

rmsRetCodes PlotRMS(rmsUserPtr us, short Srmtl)
{
    ZRMSMANAGER* q = us->q;
    if (!q || !q->zog || !q->zog->vdq || !q->zog->templ)
        return ZRMS_TASKFAILED;
    const rmsRetCodes r = GenPlotData(us, Srmtl);
    if (r != ZRMS_NOPROBLEM)
        return r;
    // Under NOPRINT the plot data are kept and no graph is made.
    if (us->Snoprint)
        return ZRMS_NOPROBLEM;
    const ZRMSOPT* opt = rmsOpt(us, Srmtl);

    if (opt->Splotunpack) {
        xobop group =
            zrmstblMakeGroup(q->zog, Srmtl ? "RMTLPlots" : "RMSTPlots", 0,
                             vdqmsg(326, Srmtl ? msg326::RMS_RMTL_PLOTS : msg326::RMS_RMST_PLOTS));
        for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
            auto* u = reinterpret_cast<ZRMSUNODE*>(a);
            for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b)) {
                auto* s = reinterpret_cast<ZRMSSNODE*>(b);
                if (!s->zog)
                    continue;
                const char* name = q->ln2 ? q->ln2[s->slot] : "";
                const int len = q->ln2 ? q->ln2l[s->slot] : 0;
                MakeRMSPlot(us, s->zog, vdqmsgs(326, msg326::RMS_FOR_LEVEL, len, name),
                            vdqtxt(name, len), Srmtl);
            }
        }
        zrmstblDeleteGroup(group);
        return ZRMS_NOPROBLEM;
    }

    if (opt->Splotpanel) {
        // The panel state: the analysis's own, with the cells' paths.
        ZRMSVDQ panel = *q->zog;
        panel.ncurve = 0;
        panel.vector = panel.vectorName = nullptr;
        std::vector<xobskey> paths;
        for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
            auto* u = reinterpret_cast<ZRMSUNODE*>(a);
            if (us->ng) {
                if (!u->zog)
                    continue;
                panel.ncurve = std::max(panel.ncurve, u->zog->ncurve);
                panel.vector = u->zog->vector;
                panel.vectorName = u->zog->vectorName;
                paths.push_back(u->zog->path[0]);
                continue;
            }
            for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b)) {
                auto* s = reinterpret_cast<ZRMSSNODE*>(b);
                if (!s->zog)
                    continue;
                panel.ncurve += 1;
                panel.vector = s->zog->vector;
                panel.vectorName = s->zog->vectorName;
                paths.push_back(s->zog->path[0]);
            }
        }
        if (paths.empty()) {
            rmsRaise(us, 1012);
            xpmlog(505, msg505::OUT_OF_MEMORY);
            return ZRMS_NOMEMORY;
        }
        panel.gnum = static_cast<int>(paths.size());
        panel.gpath = paths.data();
        MakeRMSPanel(us, &panel, Srmtl);
        return ZRMS_NOPROBLEM;
    }

    for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
        auto* u = reinterpret_cast<ZRMSUNODE*>(a);
        if (!u->zog)
            continue;
        const int c = u->zog->ncurve;
        const int n = Srmtl ? (c > 1 ? msg326::RMS_RMTL_PLOTS : msg326::RMS_RMTL_PLOT)
                            : (c > 1 ? msg326::RMS_RMST_PLOTS : msg326::RMS_RMST_PLOT);
        xobskey suffix = nullptr;
        if (us->ng && u->name)
            suffix = vdqmsgs(326, msg326::RMS_FOR_LEVEL, u->namelen, u->name);
        MakeRMSPlot(us, u->zog, suffix, vdqmsg(326, n), Srmtl);
    }
    return ZRMS_NOPROBLEM;
}
