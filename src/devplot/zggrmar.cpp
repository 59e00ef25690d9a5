// Units and layout of a plot description: every length to percent of the
// graphics area (zggrpct), then the room the axes' labels, values and ticks
// take, where the axes start, how long they are, their tick distances and the
// data-to-position transforms (zggrmar), and the extent of a turned text box
// (zggsize).
#include <algorithm>
#include <cmath>

#include "devplot/zggraf.h"

namespace
{

using namespace zgr;

double tickOut(const AINFSTR* a)
{
    double e = 0;
    if (a->tmmajor && !(a->options & AX_NOMAJOR))
        e = std::max(e, a->tmmajor->height);
    if (a->tmminor && !(a->options & AX_NOMINOR) && a->value && a->value->nminor > 0)
        e = std::max(e, a->tmminor->height);
    return e;
}

double tickIn(const AINFSTR* a)
{
    double e = 0;
    if (a->tmmajor && !(a->options & AX_NOMAJOR))
        e = std::max(e, -a->tmmajor->height);
    if (a->tmminor && !(a->options & AX_NOMINOR) && a->value && a->value->nminor > 0)
        e = std::max(e, -a->tmminor->height);
    return e;
}

// Converts a length that is set (non-zero, or above 0 for gaps and offsets).
void conv(double& v, int unit, int dir, bool positiveOnly = false)
{
    if (positiveOnly ? v > 0 : v != 0)
        v = ggl2pct(v, unit, dir);
}

// Measures an axis's label and its tick values; false after a failure that
// ends the set-up.
bool measure(GRAFSTR* g, AINFSTR* a, APRMSTR* ap, bool hz, long* rc)
{
    const bool strict = (g->ginf->options & STRICT) != 0;
    ap->labwd = ap->labln = ap->tmlabl = ap->tmlabh = 0;
    if (!(a->options & AX_NOLABEL) && a->lab && a->lab->lablen > 0) {
        if (a->labgap < 0)
            a->labgap = hz ? ggcellh() : ggcellw();
        if (zggstrl(g, &a->axistxt, a->lab->label, a->lab->lablen, 1) != 0) {
            if (strict) {
                *rc = NOTHING;
                return false;
            }
            a->options |= AX_NOLABEL;
        } else {
            double xl = 0, yl = 0;
            zggsize(g->ginf->quad, a->axistxt.angle, &xl, &yl);
            ap->labwd = hz ? yl : xl;
            ap->labln = hz ? xl : yl;
        }
    } else {
        a->options |= AX_NOLABEL;
    }
    if (!(a->options & AX_NOVALUES)) {
        if (a->tmgap < 0)
            a->tmgap = hz ? ggcellh() / 2 : ggcellw() / 2;
        if (zggtbox(g, a, &ap->tmlabl, &ap->tmlabh) != 0) {
            if (strict) {
                *rc = NOTHING;
                return false;
            }
            a->options |= AX_NOVALUES;
            ap->tmlabl = ap->tmlabh = 0;
        }
    }
    return true;
}

// The room an axis takes across itself: ticks, gap, values, gap, label.
double acrossRoom(const AINFSTR* a, const APRMSTR* ap, bool hz)
{
    double r = tickOut(a);
    if (!(a->options & AX_NOVALUES))
        r += std::max(0.0, a->tmgap) + (hz ? ap->tmlabh : ap->tmlabl);
    if (!(a->options & AX_NOLABEL))
        r += std::max(0.0, a->labgap) + ap->labwd;
    return r;
}

// Lays out one axis: usable length, tick distance, what no longer
// fits shrunk, and the transform. `start` is where the axis begins.
long lay(GRAFSTR* g, AINFSTR* a, APRMSTR* ap, bool hz, double start)
{
    if (a->offset1 < 0)
        a->offset1 = 0;
    if (a->offset2 < 0)
        a->offset2 = 0;
    const double usable = ap->axislen - a->offset1 - a->offset2;
    if (usable <= 0)
        return NO_ROOM;
    const VLSTSTR* v = a->value;
    const int n = v ? v->nval : 0;
    ap->lintval = n > 1 ? usable / (n - 1) : 0;
    // Values wider (or taller) than their distance are set smaller.
    const double extent = hz ? ap->tmlabl : ap->tmlabh;
    if (n > 1 && !(a->options & AX_NOVALUES) && ap->lintval < extent && a->value) {
        const double cell = hz ? ggcellw() : ggcellh();
        const double k = ap->lintval / (extent + cell / 2);
        a->value->labtxt.height *= k;
        a->value->labtxt.cellsw = 0;
        ap->tmlabl *= k;
        ap->tmlabh *= k;
    }
    if (!(a->options & AX_NOLABEL) && ap->labln > ap->axislen && ap->labln > 0) {
        const double k = ap->axislen / ap->labln;
        a->axistxt.height *= k;
        a->axistxt.cellsw = 0;
        ap->labln *= k;
        ap->labwd *= k;
    }
    const double first = start + a->offset1;
    if (v && v->vtype == 1 && v->dlist && n > 1 && v->dlist[n - 1] != v->dlist[0]) {
        ap->atrans = usable / (v->dlist[n - 1] - v->dlist[0]);
        ap->btrans = first - ap->atrans * v->dlist[0];
    } else if (v && v->vtype == 1 && v->dlist && n >= 1) {
        ap->atrans = 0;
        ap->btrans = first;
    } else {
        ap->atrans = ap->lintval;
        ap->btrans = first;
    }
    return 0;
}

} // namespace

void zggsize(const GPAIRF* q, double angle, double* xlen, double* ylen)
{
    if (!q || angle > 360) {
        if (xlen)
            *xlen = 0;
        if (ylen)
            *ylen = 0;
        return;
    }
    const int k = angle <= 90 ? 0 : angle <= 180 ? 1 : angle <= 270 ? 2 : 3;
    static const int hiX[4] = {1, 0, 3, 2}, loX[4] = {3, 2, 1, 0};
    static const int hiY[4] = {2, 1, 0, 3}, loY[4] = {0, 3, 2, 1};
    if (xlen)
        *xlen = q[hiX[k]].x - q[loX[k]].x;
    if (ylen)
        *ylen = q[hiY[k]].y - q[loY[k]].y;
}

long zggrpct(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    const int u = g->gunit;
    if ((gi->flags & DRAW_DESC) && g->dftitle)
        conv(g->dftitle->dtltxt.height, u, 2);
    if ((gi->flags & DRAW_CAPTION) && g->pctitle)
        conv(g->pctitle->dtltxt.height, u, 2);
    const int mu = g->margin.gunit;
    conv(g->margin.xlmarg, mu, 1);
    conv(g->margin.xrmarg, mu, 1);
    conv(g->margin.ybmarg, mu, 2);
    conv(g->margin.ytmarg, mu, 2);
    // Across an axis: the horizontal axis's gaps and ticks run up and down,
    // the vertical ones' across; the end offsets run along the axis.
    auto axis = [&](AINFSTR* a, bool hz) {
        if (!a)
            return;
        const int across = hz ? 2 : 1, along = hz ? 1 : 2;
        conv(a->axistxt.height, u, hz ? 2 : 1);
        if (a->value)
            conv(a->value->labtxt.height, u, 2);
        if (a->tmmajor)
            conv(a->tmmajor->height, u, across);
        if (a->tmminor)
            conv(a->tmminor->height, u, across);
        conv(a->outmarg, u, across, true);
        conv(a->labgap, u, across, true);
        conv(a->tmgap, u, across, true);
        conv(a->offset1, u, along, true);
        conv(a->offset2, u, along, true);
    };
    axis(g->haxis, true);
    axis(g->vaxis, false);
    axis(g->vaxis2, false);
    if (g->haxis2)
        conv(g->haxis2->outmarg, u, 2, true);
    for (int i = 0; g->ppair && i < g->nplots; ++i) {
        double h = g->ppair[i].symbinf.height;
        conv(h, u, 2, true);
        g->ppair[i].symbinf.height = static_cast<float>(h);
    }
    return 0;
}

long zggrmar(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    const GWINDOW w = *gi->window;
    const double cw = ggcellw(), ch = ggcellh();
    AINFSTR* ha = g->haxis;
    AINFSTR* va = g->vaxis;
    // A second axis that is asked for keeps its outer margin even when only
    // its room is wanted (no line, ticks or values).
    AINFSTR* va2 = g->vaxis2 && !(g->vaxis2->options & AX_HIDDEN) ? g->vaxis2 : nullptr;
    AINFSTR* ha2 = g->haxis2 && !(g->haxis2->options & AX_HIDDEN) ? g->haxis2 : nullptr;
    APRMSTR* hp = zgg_axparm(g, ha);
    APRMSTR* vp = zgg_axparm(g, va);
    APRMSTR* v2p = va2 ? zgg_axparm(g, va2) : nullptr;
    APRMSTR* h2p = ha2 ? zgg_axparm(g, ha2) : nullptr;
    if (!ha || !va || !hp || !vp)
        return HOST;
    // Outer margins.
    if (va->outmarg < 0)
        va->outmarg = cw;
    if (ha->outmarg < 0)
        ha->outmarg = w.y1 == 0 ? ch : 0;
    if (va2 && va2->outmarg < 0)
        va2->outmarg = cw;
    if (ha2 && ha2->outmarg < 0)
        ha2->outmarg = ch;
    // Labels and values.
    long rc = 0;
    if (!measure(g, ha, hp, true, &rc) || !measure(g, va, vp, false, &rc))
        return rc;
    if (va2 && v2p && !measure(g, va2, v2p, false, &rc))
        return rc;
    if (ha2 && h2p && !measure(g, ha2, h2p, true, &rc))
        return rc;
    // Ticks, and the part of the end values that hangs past the ends.
    const double hangH = ha->options & AX_NOVALUES ? 0 : hp->tmlabl;
    const char hj = ha->value ? ha->value->labtxt.justify : 'C';
    const double before = hj == 'L' ? 0 : hj == 'R' ? hangH : hangH / 2;
    const double after = hj == 'L' ? hangH : hj == 'R' ? 0 : hangH / 2;
    ha->offset1 = std::max({ha->offset1, tickIn(va), before});
    ha->offset2 = std::max({ha->offset2, after});
    const double halfV = va->options & AX_NOVALUES ? 0 : vp->tmlabh / 2;
    va->offset1 = std::max({va->offset1, tickIn(ha), halfV});
    va->offset2 = std::max({va->offset2, halfV});
    // Across the vertical axes, from the window's edges.
    gi->xorigin = w.x1 + va->outmarg + acrossRoom(va, vp, false);
    const double right = va2 ? va2->outmarg + acrossRoom(va2, v2p, false) : cw;
    hp->axislen = w.x2 - right - gi->xorigin;
    // The horizontal axis.
    if (long r = lay(g, ha, hp, true, gi->xorigin))
        return r;
    // Up the horizontal axes.
    gi->yorigin = w.y1 + ha->outmarg + acrossRoom(ha, hp, true);
    const double top = ha2 ? ha2->outmarg + acrossRoom(ha2, h2p, true) : ha->outmarg;
    vp->axislen = w.y2 - gi->yorigin - top;
    if (h2p) {
        h2p->axislen = hp->axislen;
        h2p->lintval = hp->lintval;
        h2p->atrans = hp->atrans;
        h2p->btrans = hp->btrans;
        ha2->offset1 = ha->offset1;
        ha2->offset2 = ha->offset2;
    }
    if (long r = lay(g, va, vp, false, gi->yorigin))
        return r;
    if (va2 && v2p) {
        v2p->axislen = vp->axislen;
        if (va2->value && va2->value->malloc && va->value &&
            va2->value->dlist == va->value->dlist && va2->value->clist == va->value->clist) {
            // A mirror shows its primary's scale.
            va2->offset1 = va->offset1;
            va2->offset2 = va->offset2;
            v2p->lintval = vp->lintval;
            v2p->atrans = vp->atrans;
            v2p->btrans = vp->btrans;
        } else {
            va2->offset1 = std::max({va2->offset1, tickIn(ha), v2p->tmlabh / 2});
            va2->offset2 = std::max(va2->offset2, v2p->tmlabh / 2);
            if (long r = lay(g, va2, v2p, false, gi->yorigin))
                return r;
        }
    }
    return 0;
}
