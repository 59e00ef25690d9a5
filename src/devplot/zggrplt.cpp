// Drawing a plot description that zggrset laid out: the catalogue segment,
// the forests of character axis values, the page header and default titles,
// axes, the data-area fill, grid and reference lines, every plot (markers,
// joined lines, needles or steps, clipped to the data area), the legend and
// the annotate data sets; then the segment is closed, catalogued and filed
// for the output layer.
#include <algorithm>
#include <cstring>

#include "devplot/zggraf.h"
#include "runtime/procstr.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_message_names.h"
#include "vyr_missing.h"

namespace
{

using namespace zgr;

long endOn(GRAFSTR** ggptr, long rc)
{
    GRAFSTR* g = ggptr ? *ggptr : nullptr;
    if (g && g->ginf && (g->ginf->options & END_ON_FAILURE))
        zggrend(ggptr);
    return rc;
}

// A name field that holds only blanks (or nothing at all).
bool blank(const char* s, int n)
{
    for (int i = 0; i < n && s[i] != '\0'; ++i)
        if (s[i] != ' ')
            return false;
    return true;
}

// The description of an axis for annotation.
void describe(GRAFSTR* g, const AINFSTR* a, const APRMSTR* ap, GAXIST& x, int number, double angle)
{
    std::memset(static_cast<void*>(&x), 0, sizeof x);
    x.number = number;
    x.angle = angle;
    x.majinc = ap->lintval;
    const VLSTSTR* v = a->value;
    if (v && v->vtype == 1 && v->dlist && v->nval > 0) {
        x.type = 1;
        x.datatype = 'F';
        x.datamin = v->dlist[0];
        x.datamax = v->dlist[v->nval - 1];
        if (a->options & AX_REVERSE) {
            std::swap(x.datamin, x.datamax);
            x.options[0] |= 0x20;
        }
        x.datanum = v->nval;
        x.scalea = ap->atrans;
        x.scaleb = ap->btrans;
        x.du = v->dlist;
    } else if (v) {
        x.type = 3;
        x.datatype = 'C';
        x.fmtcode = a->fmtcode;
        x.datanum = v->nval;
        x.du = v->clist;
    }
    x.head.offset1 = std::max(0.0, a->offset1);
    x.head.offset2 = std::max(0.0, a->offset2);
    x.head.xorg = g->ginf->xorigin;
    x.head.yorg = g->ginf->yorigin;
    x.head.length = ap->axislen;
}

} // namespace

long zggstrl(GRAFSTR* g, ZGTXSTR* t, const char* label, int lablen, int needini)
{
    GINFSTR* gi = g->ginf;
    GSTRING* s = gi->string;
    if (!s)
        return NOTHING;
    if (needini)
        ggstri(s);
    s->quad = gi->quad;
    if (t) {
        s->colnum = t->colnum;
        s->height = t->height;
        s->aspect = t->aspect > 0 ? t->aspect : 1;
        std::memcpy(s->font, t->font, 8);
        s->flags |= 0x10;
        if (t->angle != 0 || t->rotate != 0) {
            if (gi->gstxfm) {
                ggstxfm(gi->gstxfm, &t->angle, &t->rotate);
            } else {
                if (gi->options & STRICT)
                    return NOTHING;
                t->angle = t->rotate = 0;
            }
        }
        s->angle = t->angle;
        s->rotate = t->rotate;
        s->cellsw = t->cellsw;
    }
    ggstrp(0, s, 0);
    if (lablen > 0) {
        s->text = label;
        s->len = lablen;
        if (ggstrl(s) != 0)
            return NOTHING;
    }
    return 0;
}

long zggoseg(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    if (gi->flags & SEGMENT_OPEN) {
        ggsel(gi->segq);
        return 0;
    }
    if (ggoseg(0, 256, gi->catptr, &gi->segq, gi->sysname, g->name, g->longname.label,
               g->longname.lablen, g->desc, 1, 1, 0, 0, 0) != 0)
        return SEGMENT;
    gi->flags |= SEGMENT_OPEN;
    ggsel(gi->segq);
    for (AINFSTR* a : {g->haxis, g->vaxis, g->vaxis2}) {
        if (!a)
            continue;
        if (!(a->options & AX_NOLABEL))
            a->axistxt.colnum = blank(a->axistxt.color, 16) ? -1 : ggcnum(a->axistxt.color, 16);
        if (!(a->options & AX_NOVALUES) && a->value)
            a->value->labtxt.colnum =
                blank(a->value->labtxt.color, 16) ? -1 : ggcnum(a->value->labtxt.color, 16);
    }
    return 0;
}

long zggrplt(GRAFSTR** ggptr)
{
    GRAFSTR* g = ggptr ? *ggptr : nullptr;
    if (!g || !g->ginf)
        return NOTHING;
    GINFSTR* gi = g->ginf;
    const bool strict = (gi->options & STRICT) != 0;
    // Segment and forests.
    if (g->nplots < 1)
        return endOn(ggptr, NOTHING);
    if (long r = zggoseg(g))
        return endOn(ggptr, r);
    if (long r = zggsfor(g))
        return endOn(ggptr, r);
    // Background image.
    GZCOM* gz = gi->gzcom;
    if (gz && gz->bglen > 0) {
        if (gz->bgflags & 0x40) {
            if (!(gz->bgflags & 0x20)) {
                xpmlog(228, msg228::GK_NO_IMAGE);
                gz->bgflags |= 0x20;
            }
        } else {
            ggbimg(gz->bgimage, gz->bglen, 0, 0, 100, 100, 0, 0, 0, 0);
        }
    }
    // Page header.
    ggphdr(0, g->byptr, g->bylen);
    // Default titles.
    const struct {
        int flag;
        ZGDTSTR* t;
    } titles[2] = {{DRAW_DESC, g->dftitle}, {DRAW_CAPTION, g->pctitle}};
    for (const auto& tt : titles) {
        if (!(gi->flags & tt.flag) || !tt.t)
            continue;
        ZGDTSTR* t = tt.t;
        if (long r = zggstrl(g, &t->dtltxt, t->tstring, t->tslen, 1)) {
            if (strict)
                return r;
            gi->flags &= ~tt.flag;
            continue;
        }
        double x = t->xpos, y = t->ypos;
        if (t->dtltxt.cellsw) {
            x = ggcell(x, 1, 'P');
            y = ggcell(y, 2, 'P');
        }
        gi->string->colnum = blank(t->dtltxt.color, 16) ? -1 : ggcnum(t->dtltxt.color, 16);
        ggstr(gi->string, x, y);
    }
    // Axes.
    if (long r = zggrdax(g))
        return endOn(ggptr, r);
    // Data-area fill.
    const double hlen = gi->axparm[1].axislen, vlen = gi->axparm[0].axislen;
    if (!blank(g->cframe, 16) && std::memcmp(g->cframe, "EMPTY   ", 8) != 0 &&
        std::memcmp(g->cframe, "NONE    ", 8) != 0) {
        ggsurf(1);
        ggfill(gi->xorigin, gi->yorigin, gi->xorigin + hlen, gi->yorigin + vlen, "S       ",
               ggcnum(g->cframe, 16));
        ggsurf(4);
    }
    // Grid and reference lines.
    if (long r = zggrdrl(g))
        return endOn(ggptr, r);
    // The plots; one that cannot be drawn is counted and reported.
    int dropped = 0;
    for (int i = 0; i < g->nplots; ++i) {
        const long r = zggrdrw(g, &g->ppair[i], &gi->symbol[i]);
        if (r != 0) {
            if (strict)
                return endOn(ggptr, r);
            ++dropped;
        }
    }
    gi->dropped = dropped;
    if (dropped > 0)
        xpmlog(326, msg326::DEV_CURVES_DROPPED, g->glabel ? vdqkeystring(g->glabel).c_str() : "",
               dropped);
    // Legend.
    if (!(gi->options & NOLEGEND) && gi->legend) {
        const GPAIRF corners[4] = {
            {static_cast<float>(gi->xorigin), static_cast<float>(gi->yorigin)},
            {static_cast<float>(gi->xorigin + hlen), static_cast<float>(gi->yorigin)},
            {static_cast<float>(gi->xorigin + hlen), static_cast<float>(gi->yorigin + vlen)},
            {static_cast<float>(gi->xorigin), static_cast<float>(gi->yorigin + vlen)}};
        ggldraw(gi->legend, corners);
    }
    // Annotation; its own messages say what went wrong, drawing goes on.
    zggrano(g);
    // Close and catalogue the segment.
    const int closed = ggcseg(0, &gi->segq, 0);
    gi->flags &= ~SEGMENT_OPEN;
    if (closed != 0)
        return SEGMENT;
    auto* c = static_cast<VDQ_CATALOG*>(vmalcp_handler(gi->vdqpool, sizeof(VDQ_CATALOG), 0x2000));
    if (!c)
        return static_cast<long>(sizeof(VDQ_CATALOG));
    std::memset(static_cast<void*>(c), 0, sizeof *c);
    std::memcpy(c->libname, gi->libname, 8);
    c->memlen = static_cast<short>(std::clamp<int>(gi->memname.len, 0, 32));
    std::memcpy(c->memname, gi->memname.name, 32);
    c->entlen = 8;
    std::memset(c->entry, ' ', sizeof c->entry);
    std::memcpy(c->entry, gi->sysname, 8);
    if (gz && gz->vdqggcb_len > 0) {
        c->name = vdqtxt(gz->vdqggcb, std::min<int>(gz->vdqggcb_len, 32));
        gz->vdqggcb_len = 0;
    } else {
        c->name = g->gname;
    }
    c->label = g->glabel;
    c->clabel = nullptr;
    WOB_PARM_BLK_STR find[] = {wob_key(0, gi->key), wob_object(0, nullptr)};
    wobcall(gi->segmentHash, WOB_SEL_COLL_GET, find);
    if (find[1].value.o) {
        WOB_PARM_BLK_STR add = wob_address(0, c);
        add.type = WOB_T_NAMESTR;
        wobcall(find[1].value.o, WOB_SEL_COLL_ADD, add);
    }
    ggplvdq(gi->sysname, g->glabel);
    // A fresh control block for the next destination.
    if (g->dest_info && g->dest_out + 1 < g->dest_info->count) {
        gi->gzcom = ggznew(xtanch());
        gi->gzcom->vdqcon = 1;
    }
    return 0;
}

long zggrano(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    if (!g->lanfid && !g->ganfid && !g->lanfid2 && !g->ganfid2)
        return 0;
    if (!(gi->flags & ANNO_LIB))
        return NOTHING;
    const AINFSTR* v2 = g->vaxis2;
    if (!v2 || !v2->value || (v2->options & (AX_HIDDEN | AX_NONE)) || !(gi->options & VAXIS2)) {
        g->lanfid2 = g->ganfid2 = nullptr;
        if (!g->lanfid && !g->ganfid)
            return 0;
    }
    GANNOSTR r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    GAXIST xd, yd;
    r.procname = 1;
    r.stmtname = 0;
    std::memcpy(r.seg_name, gi->sysname, 8);
    r.gptr = gi->catptr;
    r.vptr = gi->window;
    r.xptr = &xd;
    r.yptr = &yd;
    describe(g, g->haxis, &gi->axparm[1], xd, 2, 0);
    describe(g, g->vaxis, &gi->axparm[0], yd, 1, 90.0);
    long rc = 0;
    // Annotation draws on the open segment: reopen it around the calls.
    auto run = [&](void* data, void* anno) {
        if (!anno)
            return;
        r.dptr = data;
        r.fptr = anno;
        if (ganotat(&r) != 0)
            rc = HOST;
    };
    run(g->dfid, g->lanfid);
    run(nullptr, g->ganfid);
    if ((g->lanfid2 || g->ganfid2) && g->vaxis2 && gi->naxpalc > 2) {
        describe(g, g->vaxis2, &gi->axparm[2], yd, 3, 90.0);
        run(g->dfid, g->lanfid2);
        run(nullptr, g->ganfid2);
    }
    return rc;
}

long zggrdrw(GRAFSTR* g, PAIRSTR* p, GSYMSTR* sym)
{
    GINFSTR* gi = g->ginf;
    // Step direction.
    char step = 0;
    if (sym->itype == 'T') {
        step = p->symbinf.dplace;
        if (step != 'L' && step != 'R')
            step = std::memchr(sym->interpol + 4, 'R', 4) ? 'R' : 'L';
    }
    // The vertical axis.
    if (p->plotno == '0')
        p->plotno = '1';
    if (p->plotno == 'n')
        return 0;
    AINFSTR* va = p->plotno == '2' ? g->vaxis2 : g->vaxis;
    APRMSTR* vp = zgg_axparm(g, va);
    APRMSTR* hp = zgg_axparm(g, g->haxis);
    // Checks.
    if (!p->hvar.vname || !p->hvar.vlist || !g->haxis || !g->haxis->value || !hp ||
        g->haxis->value->vtype != p->hvar.vname->ntype || !p->vvar.vname || !p->vvar.vlist ||
        p->vvar.nvalue != p->hvar.nvalue || !va || !va->value || !vp ||
        va->value->vtype != p->vvar.vname->ntype)
        return NOTHING;
    const long n = p->hvar.nvalue;
    if (n <= 0)
        return 0;
    // Points.
    const long m = step ? 2 * n - 1 : n;
    if (gi->ngpdalc < m) {
        if (gi->paird)
            vmfree_handler(g->mempool, gi->paird, -1, 4);
        gi->paird = static_cast<double*>(vmalcp_handler(g->mempool, 16 * m, 0x2002));
        if (!gi->paird) {
            gi->ngpdalc = 0;
            return 16 * m;
        }
        gi->ngpdalc = m;
    } else {
        std::memset(gi->paird, 0, static_cast<size_t>(16 * m));
    }
    double* xy = gi->paird;
    // Coordinates.
    auto place = [&](const VINFSTR& v, AINFSTR* a, APRMSTR* ap, long i) {
        if (v.vname->ntype == 2)
            return zggapos(a, ap, static_cast<const char*>(v.vlist) + 32 * i);
        const double d = static_cast<const double*>(v.vlist)[i];
        return wzmis(d) ? d : d * ap->atrans + ap->btrans;
    };
    for (long i = 0; i < n; ++i) {
        xy[2 * i] = place(p->hvar, g->haxis, hp, i);
        xy[2 * i + 1] = place(p->vvar, va, vp, i);
    }
    // Clip to the data area.
    const GWINDOW clip{gi->xorigin, gi->yorigin, gi->xorigin + hp->axislen,
                       gi->yorigin + gi->axparm[0].axislen};
    ggclip(&clip);
    long rc = 0;
    // Markers.
    if (sym->number != -1) {
        long first = (p->symbinf.iflag & 2) ? 1 : 0;
        long count = n - first - ((p->symbinf.iflag & 4) ? 1 : 0);
        if (count > 0 && ggpmark(xy + 2 * first, count, sym->font, sym->value, sym->height,
                                 sym->aspect, sym->number, 0xa0, ggcnum(sym->cv, 8)) != 0)
            rc = POOL;
    }
    // The line.
    const int ci = ggcnum(sym->ci, 8);
    if (rc == 0) {
        switch (sym->itype) {
        case 'J':
            if (ggpline(xy, n, sym->style, sym->width, 0xe0, ci) != 0)
                rc = POOL;
            break;
        case 'N': {
            ggsetlw(sym->width);
            double base = p->symbinf.yref;
            base = wzmis(base) ? base : base * vp->atrans + vp->btrans;
            for (long i = 0; i < n; ++i)
                ggdraw(xy[2 * i], xy[2 * i + 1], xy[2 * i], base, sym->style, ci);
            break;
        }
        case 'T': {
            // Spread the points from the end: each pair gets the corner
            // between them.
            for (long i = n - 1; i >= 1; --i) {
                const double x1 = xy[2 * i], y1 = xy[2 * i + 1];
                const double x0 = xy[2 * (i - 1)], y0 = xy[2 * (i - 1) + 1];
                xy[2 * (2 * i)] = x1;
                xy[2 * (2 * i) + 1] = y1;
                xy[2 * (2 * i - 1)] = step == 'L' ? x1 : x0;
                xy[2 * (2 * i - 1) + 1] = step == 'L' ? y0 : y1;
            }
            if (ggpline(xy, 2 * n - 1, sym->style, sym->width, 0xe0, ci) != 0)
                rc = POOL;
            break;
        }
        default:
            break;
        }
    }
    ggclip(nullptr);
    return rc;
}
