// The frames of the line-printer plots: the censored-observation plot before
// the strata (the estimators mark censored times in it as they go), and the
// survival, -log survival, log(-log survival), hazard and density plots
// after them, from the ranges the estimators gathered.
//
// A frame whose page of characters cannot be made is left out with a note:
// its member of the common block stays null, and nothing draws through it.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "common/stages.h"
#include "common/statement.h"
#include "lpplot/lpplot.h"
#include "vyr_data.h"
#include "vyr_message_names.h"
#include "vyr_missing.h"
#include "vyr_parse.h"
#include "vyr_session.h"

namespace
{

const char* const kNames[] = {"SurvivalPlot",       "CensorPlot", "LogSurvivalPlot",
                              "LogLogSurvivalPlot", "HazardPlot", "DensityPlot"};

POOLHANDLE* framePool(KorvPtr q)
{
    if (!q->grafindx)
        q->grafindx = xmpoolc(0, 1024, 0x1002);
    return q->grafindx;
}

// Whether zpgrini left a frame anything can be drawn into: a canvas, an
// origin inside it and plot positions both ways.
bool usable(const PGRAFSTR* g)
{
    const PGRAF_VHSTR& v = g->pgrafd[0];
    const PGRAF_VHSTR& h = g->pgrafd[1];
    if (!g->work || !g->zerozero || v.plotpos < 1 || h.plotpos < 1 || h.totpos < 1)
        return false;
    const char* end = g->work + static_cast<std::ptrdiff_t>(g->length);
    const char* top = g->zerozero - static_cast<std::ptrdiff_t>(v.plotpos - 1) * h.totpos;
    return top >= g->work && g->zerozero + h.plotpos <= end;
}

// The note for a frame that was not made: no room on the page, or no canvas.
void frameNote(LpPlot plot, int rc)
{
    const char* name = korv_lp_name(plot);
    if (rc == -1)
        xpmlog(326, msg326::LP_NOT_MADE, name);
    else
        xpmlog(326, msg326::LP_NO_ROOM, name, xppagesize(), xplinesize());
}

// The time axis of every frame: the TIME variable's name and label.
void timeAxis(KorvPtr q, NAMESTR* n)
{
    xvnamei(n);
    n->ntype = 1;
    n->name_p = q->timename.s;
    n->namelen = static_cast<short>(std::min<int64_t>(q->timename.l, 32767));
    if (q->timelabel.l > 0 && q->timelabel.s) {
        n->label_p = q->timelabel.s;
        n->nlablen = static_cast<short>(std::min<int64_t>(q->timelabel.l, 32767));
    }
}

void catalogueLabel(NAMESTR* n, int number)
{
    const char* text = nullptr;
    int len = 0;
    if (wkread(326, number, &text, &len) == 0 && text && len > 0) {
        n->label_p = text;
        n->nlablen = static_cast<short>(len);
    }
}

} // namespace

const char* korv_lp_name(LpPlot plot)
{
    return kNames[static_cast<int>(plot)];
}

void korv_formchar(KorvPtr q, char* setform, int nfch)
{
    const STMT* s = q->stmt;
    const STLIST* pos = stmt_field(s, proc_field::FORMCHAR_POSITIONS);
    int len = 0;
    const char* text = stmt_text(s, proc_field::FORMCHAR, &len);
    // The request was checked, and its faults said, with the step's options.
    if (pos && pos->type == STL_NUMBERS && pos->n > 0 && pos->dvals)
        zfchread(pos->dvals, pos->n, text, len, setform, nfch, false);
    else
        zfchread(nullptr, 0, text, len, setform, nfch, false);
}

void korvcp(KorvPtr q)
{
    q->grafc = nullptr;
    if (q->nstrata < 1 || !q->polnode)
        return;
    POOLHANDLE* node = q->polnode;
    const int64_t n = q->nstrata;
    // The row labels: the strata's symbols, A to Z and again.
    auto* labels = static_cast<char*>(xmalloc_or_exit(node, n + 1, 0x2000));
    auto* frame = static_cast<PGRAFSTR*>(xmalloc_or_exit(node, sizeof(PGRAFSTR), 0x2000));
    auto* names = static_cast<NAMESTR*>(xmalloc_or_exit(node, 2 * sizeof(NAMESTR), 0x2000));
    POOLHANDLE* pool = framePool(q);
    if (!pool) {
        xmemmsg(xmemdef());
        frameNote(LpPlot::Censored, -1);
        return;
    }
    for (int64_t i = 0; i < n; ++i)
        labels[i] = q->symbols[i % 26];
    labels[n] = ' ';
    new (frame) PGRAFSTR();
    NAMESTR* vname = new (&names[0]) NAMESTR();
    NAMESTR* hname = new (&names[1]) NAMESTR();
    korv_formchar(q, frame->formchar, 12);
    xvnamei(vname);
    vname->ntype = 2;
    vname->name_p = "Strata";
    vname->namelen = 6;
    timeAxis(q, hname);
    SCALESTR hs, vs;
    hs.xmin = 0;
    hs.xmax = q->pgtmax;
    hs.options = scale_opt::HORIZONTAL;
    vs.xmin = korv_missing();
    frame->datapool = pool;
    PGRAF_VHSTR& v = frame->pgrafd[0];
    const int rows = n > 2147483640 ? 2147483640 : static_cast<int>(n);
    v.plotpos = rows;
    v.prepos = 3;
    v.totpos = rows + 7;
    // A page that cannot hold the whole plot (with the line the plot's page
    // keeps spare) leaves it out with a note, as the other plots are left
    // out, rather than split it over pages.
    if (static_cast<int64_t>(rows) + 8 > vyr_print_page_lines()) {
        frameNote(LpPlot::Censored, 0);
        return;
    }
    int rc = zpgrini(frame, hname, &hs, vname, &vs);
    if (rc == 0) {
        // The rows: one per stratum, labelled with its symbol. The axis
        // carries the name "Strata" above the rows.
        v.numf = 0;
        v.vallst.c = labels;
        v.valcnt = rows;
        v.lbllen = 1;
        v.lblpos = 0;
        if (zpgraxi(frame, 0, vname, nullptr, vs.options) < 0)
            rc = -1;
    }
    if (rc != 0 || !usable(frame)) {
        frameNote(LpPlot::Censored, rc);
        return;
    }
    q->grafc = frame;
}

void korvplt(KorvPtr q)
{
    q->grafs = q->grafl = q->grafll = q->grafh = q->grafp = nullptr;
    POOLHANDLE* pool = framePool(q);
    char formchar[48];
    korv_formchar(q, formchar, 48);
    if (q->nstrata > 26)
        xpmlog(326, msg326::LP_SYMBOLS_REPEAT, q->nstrata);

    NAMESTR hname, vname;
    timeAxis(q, &hname);
    // Makes one frame; null (after a note) when it cannot be made.
    auto build = [&](LpPlot plot, const char* vaxis, int label, double lo, double hi) -> void* {
        if (!pool) {
            xmemmsg(xmemdef());
            frameNote(plot, -1);
            return nullptr;
        }
        auto* frame = static_cast<PGRAFSTR*>(xmalloc_or_exit(pool, sizeof(PGRAFSTR), 0x2000));
        new (frame) PGRAFSTR();
        frame->datapool = pool;
        std::memcpy(frame->formchar, formchar, 12);
        xvnamei(&vname);
        vname.ntype = 1;
        vname.name_p = vaxis;
        vname.namelen = static_cast<short>(std::strlen(vaxis));
        catalogueLabel(&vname, label);
        SCALESTR vs, hs;
        vs.xmin = lo;
        vs.xmax = hi;
        hs.options = scale_opt::HORIZONTAL;
        if (plot == LpPlot::LogLogSurvival) {
            if (q->tmin <= q->pgtmax) {
                hs.xmin = std::log(q->tmin);
                hs.xmax = q->pgtmax < 0 ? 1.0 : std::log(q->pgtmax);
            }
        } else {
            hs.xmin = 0;
            hs.xmax = q->pgtmax;
        }
        const int rc = zpgrini(frame, &hname, &hs, &vname, &vs);
        if (rc != 0 || !usable(frame)) {
            frameNote(plot, rc);
            return nullptr;
        }
        return frame;
    };

    if (q->zsurvival)
        q->grafs = build(LpPlot::Survival, "SDF", msg326::LP_SDF_LABEL, 0, 1);
    if (q->zlsur)
        q->grafl = build(LpPlot::LogSurvival, "-LOG SDF", msg326::LP_LOGSDF_LABEL, 0,
                         q->smin < 0.99 ? -std::log(q->smin) : 0.011);
    if (q->zhazard)
        q->grafh = build(LpPlot::Hazard, "Hazard", msg326::LP_HAZARD_LABEL, 0, q->hazmax);
    if (q->zpdf)
        q->grafp = build(LpPlot::Density, "PDF", msg326::LP_PDF_LABEL, 0, q->pdfmax);
    if (q->zllsur) {
        // The log-time axis is named "Log of <time name>", at most 32
        // characters; its label stays the time variable's.
        char text[256];
        std::memset(text, ' ', sizeof text);
        const int r = xpmstr(text, 256, 326, msg326::LP_LOG_TIME, static_cast<int>(q->timename.l),
                             q->timename.s);
        int len = r;
        if (r < 0) {
            len = 256;
            while (len > 0 && text[len - 1] == ' ')
                --len;
        }
        auto* name = pool ? static_cast<char*>(xmalloc_or_exit(pool, 33, 0x2000)) : nullptr;
        if (name) {
            len = std::min(len, 32);
            std::memcpy(name, text, static_cast<size_t>(len));
            hname.name_p = name;
            hname.namelen = static_cast<short>(len);
        }
        const bool lo = q->smax > 0 && q->smax < 1;
        const bool hi = q->smin > 0 && q->smin < 1;
        q->grafll =
            build(LpPlot::LogLogSurvival, "L(-L(S))", msg326::LP_LOGLOG_LABEL,
                  lo ? std::log(-std::log(q->smax)) : 0, hi ? std::log(-std::log(q->smin)) : 0);
    }
}
