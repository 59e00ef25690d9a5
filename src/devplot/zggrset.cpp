// Setting a plot description up for the current destination: cells, the
// TITLE count, value arrays, the entry's names and description, the
// catalogue, units, the page header and default titles, the free window,
// SYMBOL definitions, the legend, the axes, reference lines and margins.
#include <algorithm>
#include <cstring>
#include <string>

#include "devplot/zggraf.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"

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

bool blank8(const char* s)
{
    return vzatl(' ', s, 8, 8) != 0;
}

// Allocates a plot variable's value list when the library owns it.
long values(GRAFSTR* g, VINFSTR& v, bool strict, bool& unplotted)
{
    if (v.malloc != 0)
        return 0;
    if (v.nvalue < 1) {
        v.malloc = 1;
        return 0;
    }
    const int type = v.vname ? v.vname->ntype : 0;
    int64_t size;
    int flags;
    if (type == 1) {
        size = 8 * v.nvalue;
        flags = 0x2002;
    } else if (type == 2) {
        size = 32 * v.nvalue;
        flags = 0x2000;
    } else {
        if (strict)
            unplotted = true;
        else
            v.malloc = 1;
        return 0;
    }
    void* p = vmalcp_handler(g->mempool, size, flags);
    if (!p) {
        if (strict)
            return static_cast<long>(size);
        v.malloc = 1;
        return 0;
    }
    if (type == 2)
        std::memset(p, ' ', static_cast<size_t>(size));
    v.vlist = p;
    return 0;
}

// "Plot of <vertical> vs <horizontal>": the two names share 28 characters
// (27 when one is missing); a name of at most 14 stays whole and the other
// is cut, two longer ones each lose half the excess, rounded up.
void buildDescription(GRAFSTR* g, const NAMESTR* v, const NAMESTR* h)
{
    std::string vn = v && v->namelen > 0 ? std::string(v->name_p, v->namelen) : std::string();
    std::string hn = h && h->namelen > 0 ? std::string(h->name_p, h->namelen) : std::string();
    const int limit = vn.empty() || hn.empty() ? 27 : 28;
    if (vn.empty())
        vn = "Y";
    if (hn.empty())
        hn = "X";
    const int lv = static_cast<int>(vn.size()), lh = static_cast<int>(hn.size());
    if (lv + lh > limit) {
        const int excess = lv + lh - limit;
        if (lv <= 14)
            hn.resize(static_cast<size_t>(limit - lv));
        else if (lh <= 14)
            vn.resize(static_cast<size_t>(limit - lh));
        else {
            const int cut = (excess + 1) / 2;
            vn.resize(static_cast<size_t>(lv - cut));
            hn.resize(static_cast<size_t>(lh - cut));
        }
    }
    const std::string d = "Plot of " + vn + " vs " + hn;
    vzmp(d.data(), static_cast<int>(d.size()), g->desc, 256);
}

// Whether positions come in cells, and how many TITLE lines are in force.
long cellsAndTitles(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    GZCOM* gz = gi->gzcom;
    // Cells.
    if (!(gi->options & CELLS_BY_CALLER)) {
        gi->cellsw = gz && gz->gngraph && (gz->gngraph->options[0] & 0x04) ? 1 : 0;
    } else {
        gi->snocell = gz && (gz->options[2] & 0x08) ? 0 : 1;
        gi->cellsw = 0;
    }
    // TITLE definitions.
    int count = 0;
    if (ggtitle(84, &count, 0, nullptr) != 0)
        return HOST;
    if (count == 1) {
        char cmd = ' ';
        ggtitle(84, &count, 1, &cmd);
        if (cmd == 'X')
            count = 0;
    }
    gi->ntitles = static_cast<short>(count);
    if (count > 0)
        gi->flags &= ~DRAW_DESC;
    if (gi->flags & DRAW_DESC)
        gi->ntitles = 1;
    return 0;
}

// The second vertical and horizontal axes: set up when asked for (the
// vertical one also as the top axis's mirror), hidden otherwise or when
// they cannot be set up and the description is not strict.
long secondAxes(GRAFSTR* g, bool strict)
{
    GINFSTR* gi = g->ginf;
    if (gi->options & VAXIS2) {
        const PAIRSTR* second = nullptr;
        for (int i = 0; i < g->nplots && !second; ++i)
            if (g->ppair[i].plotno == '2')
                second = &g->ppair[i];
        if (!second) {
            gi->options &= ~VAXIS2;
            if (g->vaxis2)
                g->vaxis2->options |= 0x1f0;
        }
        if (g->vaxis2 && (second || (gi->options & HAXIS2))) {
            if (long r = zggrsax(g, g->vaxis2, second ? second->vvar.vname : nullptr)) {
                if (strict)
                    return r;
                gi->options &= ~VAXIS2;
                g->vaxis2->options |= AX_HIDDEN;
            }
        }
    } else if (g->vaxis2) {
        if (gi->options & HAXIS2) {
            if (long r = zggrsax(g, g->vaxis2, nullptr)) {
                if (strict)
                    return r;
                g->vaxis2->options |= AX_HIDDEN;
            }
        } else {
            g->vaxis2->options |= AX_HIDDEN;
        }
    }
    if (gi->options & HAXIS2) {
        if (g->haxis2) {
            if (long r = zggrsax(g, g->haxis2, nullptr)) {
                if (strict)
                    return r;
                gi->options &= ~HAXIS2;
                g->haxis2->options |= AX_HIDDEN;
            }
        }
    } else if (g->haxis2) {
        g->haxis2->options |= AX_HIDDEN;
    }
    return 0;
}

} // namespace

long zggrset(GRAFSTR** ggptr)
{
    GRAFSTR* g = ggptr ? *ggptr : nullptr;
    if (!g || !g->ginf || !g->ppair)
        return NOTHING;
    GINFSTR* gi = g->ginf;
    gi->options |= g->options;
    const bool strict = (gi->options & STRICT) != 0;
    GZCOM* gz = gi->gzcom;
    // Cells and TITLE definitions.
    if (long r = cellsAndTitles(g))
        return r;
    // Plot requests and their values.
    for (int i = 0; i < g->nplots; ++i) {
        PAIRSTR& p = g->ppair[i];
        if (p.plotno != '1' && p.plotno != '2' && p.plotno != 'n')
            p.plotno = '1';
        if (p.plotno == 'n')
            continue;
        if (!p.hvar.vname || !p.vvar.vname) {
            p.plotno = 'n';
            continue;
        }
        bool unplotted = false;
        if (long r = values(g, p.hvar, strict, unplotted))
            return r;
        if (long r = values(g, p.vvar, strict, unplotted))
            return r;
        if (unplotted)
            p.plotno = 'n';
    }
    // Names.
    if (g->longname.lablen < 1) {
        const int n = wzstrip(g->name, 8);
        std::memset(g->longname.label, ' ', sizeof g->longname.label);
        std::memcpy(g->longname.label, g->name, static_cast<size_t>(n));
        g->longname.lablen = static_cast<short>(n);
    } else {
        vzmp(g->longname.label, g->longname.lablen, g->name, 8);
    }
    if (blank8(g->name)) {
        std::memcpy(g->name, "STATPLOT", 8);
        std::memset(g->longname.label, ' ', sizeof g->longname.label);
        std::memcpy(g->longname.label, "STATPLOT", 8);
        g->longname.lablen = 8;
    }
    // Description.
    int dlen = 0;
    wzstjls(g->desc, 256, 'l', &dlen, nullptr);
    if (dlen == 0) {
        const PAIRSTR* first = nullptr;
        for (int i = 0; i < g->nplots && !first; ++i)
            if (g->ppair[i].plotno != 'n')
                first = &g->ppair[i];
        if (!first)
            return endOn(ggptr, NOTHING);
        buildDescription(g, first->vvar.vname, first->hvar.vname);
    }
    // Output name and label.
    if (!g->gname)
        g->gname = vdqtxt(g->name, wzstrip(g->name, 8));
    if (!g->glabel)
        g->glabel = vdqtxt(g->desc, wzstrip(g->desc, 256));
    // The catalogue.
    if (ggadcat(0, gi->libname, &gi->catptr, 4, 0) != 0)
        return endOn(ggptr, CATALOGUE);
    // Units.
    if (long r = zggrpct(g))
        return endOn(ggptr, r);
    // Page header and default titles.
    if (gz && gz->gngraph)
        gz->gngraph->dfid = g->dfid;
    ggphdrl(0, gi->window, g->bylen, g->byptr);
    if ((gi->flags & DRAW_DESC) && g->dftitle)
        zggttlf(g, g->dftitle, 'D');
    if ((gi->flags & DRAW_CAPTION) && g->pctitle)
        zggttlf(g, g->pctitle, 'P');
    // The window, one cell in from each edge that is not the area's
    // (and always from the bottom), less the margins.
    GWINDOW& w = *gi->window;
    if (w.x1 != 0)
        w.x1 += ggcellw();
    if (w.x2 != 100)
        w.x2 -= ggcellw();
    if (w.y2 != 100)
        w.y2 -= ggcellh();
    w.y1 += ggcellh();
    g->parea = w;
    w = GWINDOW{g->parea.x1 + g->margin.xlmarg, g->parea.y1 + g->margin.ybmarg,
                g->parea.x2 - g->margin.xrmarg, g->parea.y2 - g->margin.ytmarg};
    g->garea = w;
    // SYMBOL definitions.
    if (long r = zggrsym(g))
        return endOn(ggptr, r);
    // Legend.
    if (!(gi->options & NOLEGEND)) {
        if (long r = zggrleg(g)) {
            if (strict)
                return endOn(ggptr, r);
            g->leginf = nullptr;
            gi->legend = nullptr;
            gi->options |= NOLEGEND;
        }
    }
    // Primary axes.
    const PAIRSTR* first = nullptr;
    for (int i = 0; i < g->nplots && !first; ++i)
        if (g->ppair[i].plotno == '1')
            first = &g->ppair[i];
    if (!first)
        return endOn(ggptr, NOTHING);
    if (long r = zggrsax(g, g->vaxis, first->vvar.vname))
        return endOn(ggptr, r);
    if (long r = zggrsax(g, g->haxis, first->hvar.vname))
        return endOn(ggptr, r);
    // Second axes.
    if (long r = secondAxes(g, strict))
        return endOn(ggptr, r);
    // Reference lines.
    auto refs = [&](long bit, REFLSTR* r, AINFSTR* a, AINFSTR* ra) -> long {
        if (!(gi->options & bit))
            return 0;
        const long rc = zggrefl(g, r, a, ra);
        if (rc == 0)
            return 0;
        if (rc == REFLINES || !strict) {
            gi->options &= ~bit;
            return 0;
        }
        return rc;
    };
    if (long r = refs(HREF, g->href, g->haxis, g->vaxis))
        return endOn(ggptr, r);
    if (long r = refs(VREF, g->vref, g->vaxis, g->haxis))
        return endOn(ggptr, r);
    if (long r = refs(VREF2, g->vref2, g->vaxis2, g->haxis))
        return endOn(ggptr, r);
    // Margins and the data area.
    if (long r = zggrmar(g))
        return endOn(ggptr, r);
    const APRMSTR& v = gi->axparm[0];
    const APRMSTR& h = gi->axparm[1];
    g->darea = GWINDOW{gi->xorigin, gi->yorigin, gi->xorigin + h.axislen, gi->yorigin + v.axislen};
    return 0;
}

long zggrsym(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    const int nplots = std::max(1, g->nplots);
    int maxsym = nplots;
    for (int i = 0; i < nplots; ++i)
        maxsym = std::max(maxsym, g->ppair[i].symbinf.symno);
    const int need = maxsym + nplots;
    if (gi->symbol && gi->nsymalc >= need) {
        std::memset(static_cast<void*>(gi->symbol), 0,
                    static_cast<size_t>(gi->nsymalc) * sizeof(GSYMSTR));
    } else {
        if (gi->symbol)
            vmfree_handler(g->mempool, gi->symbol, -1, 4);
        gi->symbol = static_cast<GSYMSTR*>(
            vmalcp_handler(g->mempool, static_cast<int64_t>(need) * sizeof(GSYMSTR), 0x2002));
        if (!gi->symbol) {
            gi->nsymalc = 0;
            return static_cast<long>(need * sizeof(GSYMSTR));
        }
        gi->nsymalc = static_cast<short>(need);
    }
    gi->symused = static_cast<short*>(vmalcp_handler(gi->bufpool, 2 * maxsym, 0x2002));
    if (!gi->symused)
        return 2L * maxsym;
    gi->nsymused = maxsym;
    GSYMSTR* defs = gi->symbol + nplots;
    if (ggetsym(0, maxsym, defs) != 0)
        return SYMBOLS;
    for (int i = 0; i < nplots; ++i) {
        ZGSBSTR& s = g->ppair[i].symbinf;
        if (s.symno >= 1) {
            gi->symbol[i] = defs[s.symno - 1];
            symbmrg(&s, &gi->symbol[i]);
            gi->symused[s.symno - 1] = 1;
        }
    }
    int cursor = 0;
    for (int i = 0; i < nplots; ++i) {
        ZGSBSTR& s = g->ppair[i].symbinf;
        if (s.symno >= 1)
            continue;
        while (cursor < maxsym && gi->symused[cursor])
            ++cursor;
        if (cursor >= maxsym)
            cursor = maxsym - 1;
        gi->symbol[i] = defs[cursor];
        symbmrg(&s, &gi->symbol[i]);
        s.symno = cursor + 1;
        gi->symused[cursor] = 1;
    }
    return 0;
}

void symbmrg(ZGSBSTR* s, GSYMSTR* d)
{
    if (s->height > 0)
        d->height = s->height;
    if (s->aspect > 0)
        d->aspect = s->aspect;
    if (s->thick > 0)
        d->width = s->thick;
    if (s->style >= 1 && s->style <= 46)
        d->style = s->style;
    if (!blank8(s->ci))
        std::memcpy(d->ci, s->ci, 8);
    if (!blank8(s->cv))
        std::memcpy(d->cv, s->cv, 8);
    if (!blank8(s->font))
        std::memcpy(d->font, s->font, 8);
    if (!blank8(s->value)) {
        std::memcpy(d->value, s->value, 8);
        d->number = std::memcmp(s->value, "NONE    ", 8) == 0 ? -1 : ggsymbx(s->value);
    }
    if (s->itype != '0')
        d->itype = s->itype;
}

long zggttlf(GRAFSTR* g, ZGDTSTR* t, int type)
{
    GINFSTR* gi = g->ginf;
    const int flag = type == 'P' ? DRAW_CAPTION : DRAW_DESC;
    if (!t || !t->tstring || t->tslen <= 0) {
        gi->flags &= ~flag;
        return TITLE;
    }
    ZGTXSTR& x = t->dtltxt;
    x.angle = x.rotate = 0;
    const bool titleStyle = type == 'P' && gi->ntitles != 0;
    GZCOM* gz = gi->gzcom;
    // Font.
    if (blank8(x.font)) {
        const char* f = nullptr;
        if (titleStyle)
            f = gz && !blank8(gz->text_font) ? gz->text_font : "NONE    ";
        else if (gz && !blank8(gz->title_font))
            f = gz->title_font;
        else if (gz && !blank8(gz->text_font))
            f = gz->text_font;
        else
            f = gz && (gz->options[2] & 0x80) ? "COMPLEX " : "SWISS   ";
        std::memcpy(x.font, f, 8);
    }
    // Height.
    if (!(x.height > 0)) {
        if (titleStyle)
            x.height = gz && gz->htext > 0 ? ggl2pct(gz->htext, gz->htext_units, 2)
                                           : ggl2pct(1, GU_CELL, 2);
        else if (gz && gz->htitle > 0)
            x.height = ggl2pct(gz->htitle, gz->htitle_units, 2);
        else if (gz && gz->htext > 0)
            x.height = ggl2pct(gz->htext, gz->htext_units, 2);
        else
            x.height = ggl2pct(2, GU_CELL, 2);
    }
    // Colour.
    if (vzatl(' ', x.color, 16, 16)) {
        if (gz && !vzatl(' ', gz->title_color, 16, 16))
            std::memcpy(x.color, gz->title_color, 16);
        else if (gz && !vzatl(' ', gz->text_color, 16, 16))
            std::memcpy(x.color, gz->text_color, 16);
    }
    x.colnum = vzatl(' ', x.color, 16, 16) ? ggcnum5() : ggcnum(x.color, 16);
    // Cells only for a hardware font.
    const bool hardware = std::memcmp(x.font, "NONE", 4) == 0 || std::memcmp(x.font, "HW", 2) == 0;
    x.cellsw = hardware ? gi->cellsw : 0;
    // Measure, and shrink a title wider than the window.
    const GWINDOW& w = *gi->window;
    const double avail = w.x2 - w.x1 - 2 * ggcellw();
    double xlen = 0, ylen = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (zggstrl(g, &x, t->tstring, t->tslen, 1) != 0) {
            gi->flags &= ~flag;
            return TITLE;
        }
        zggsize(gi->quad, x.angle, &xlen, &ylen);
        if (xlen <= avail || pass == 1)
            break;
        x.height *= avail / xlen - 0.01;
    }
    const double free = std::max(0.0, avail - xlen);
    const double shift = x.justify == 'L' ? 0 : x.justify == 'R' ? free : free / 2;
    const double px = w.x1 + ggcellw() + shift;
    const double py = w.y2 - ylen;
    if (!x.cellsw) {
        t->xpos = static_cast<float>(px - zggboxy(gi->quad, x.angle, 0));
        t->ypos = static_cast<float>(py - zggboxy(gi->quad, x.angle, 2));
    } else {
        t->xpos = static_cast<float>(ggcell(px + ggcellw() / 2, 1, 'C'));
        t->ypos = static_cast<float>(ggcell(py + ggcellh() / 2, 2, 'C'));
    }
    gi->window->y2 = py;
    return 0;
}

long zggrefl(GRAFSTR* g, REFLSTR* r, AINFSTR* a, AINFSTR* ra)
{
    if (!r)
        return NOTHING;
    if (!a || (a->options & (AX_HIDDEN | AX_NONE)) || !a->value)
        return REFLINES;
    r->vtype = a->value->vtype;
    if (r->malloc == 0) {
        if (r->nref < 1)
            return REFLINES;
        const int64_t size = r->vtype == 2 ? 32 * r->nref : 8 * r->nref;
        r->rlist = vmalcp_handler(g->mempool, size, 0x2002);
        if (!r->rlist) {
            if (g->ginf->options & STRICT)
                return static_cast<long>(size);
            r->malloc = 1;
        }
    }
    const ZGLNSTR fall = ra ? ra->axisln : ZGLNSTR{1, 1, {}};
    if (vzatl(' ', r->line.color, 16, 16))
        std::memcpy(r->line.color, fall.color, 16);
    if (r->line.style <= 0 || r->line.style > 46)
        r->line.style = fall.style;
    if (r->line.width <= 0)
        r->line.width = fall.width;
    return 0;
}
