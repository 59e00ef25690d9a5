// The axes of a plot description: a nice scale for each numeric axis
// (zggrsca on zgscale), each axis set up from its variable and its primary
// axis (zggrsax), the texts of its values measured (zggtbox), and the axes,
// their ticks, values and labels, grid and reference lines drawn (zggrdax,
// zggrdrl). The rules go by an axis's role: the horizontal axis and its
// mirror at the top, the vertical axis and its mirror at the right.
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "devplot/zggraf.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_message_names.h"

namespace
{

using namespace zgr;

constexpr double kEps = 1.110223024625157e-11;
constexpr double kDefaultNice[5] = {1, 2, 2.5, 5, 10};

bool horizontal(const GRAFSTR* g, const AINFSTR* a)
{
    return a == g->haxis || a == g->haxis2;
}

AINFSTR* primaryOf(GRAFSTR* g, AINFSTR* a)
{
    return horizontal(g, a) ? g->haxis : g->vaxis;
}

bool isPrimary(const GRAFSTR* g, const AINFSTR* a)
{
    return a == g->haxis || a == g->vaxis;
}

long noScaleBit(const GRAFSTR* g, const AINFSTR* a)
{
    return a == g->haxis ? NOSCALE_H : a == g->vaxis ? NOSCALE_V : a == g->vaxis2 ? NOSCALE_V2 : 0;
}

bool fatal(const GRAFSTR* g)
{
    return (g->ginf->options & STRICT) != 0;
}

bool blank(const char* s, int n)
{
    return vzatl(' ', s, n, n) != 0;
}

int colourOf(const char* name, int n)
{
    return blank(name, n) ? -1 : ggcnum(name, n);
}

// How far the ticks of an axis reach out of the plot and into it.
double tickOut(const AINFSTR* a)
{
    double e = 0;
    if (a->tmmajor && !(a->options & AX_NOMAJOR))
        e = std::max(e, a->tmmajor->height);
    if (a->tmminor && !(a->options & AX_NOMINOR) && a->value && a->value->nminor > 0)
        e = std::max(e, a->tmminor->height);
    return e;
}

// Draws a text whose measured box (gi->quad, at `angle`) is to have its
// lower-left corner at (x, y).
void textAt(GRAFSTR* g, ZGTXSTR* t, const char* text, int len, double x, double y)
{
    GINFSTR* gi = g->ginf;
    if (zggstrl(g, t, text, len, 1) != 0)
        return;
    const double ox = x - zggboxy(gi->quad, t->angle, 0);
    const double oy = y - zggboxy(gi->quad, t->angle, 2);
    ggstr(gi->string, ox, oy);
}

} // namespace

APRMSTR* zgg_axparm(GRAFSTR* g, const AINFSTR* a)
{
    if (!g || !g->ginf || !g->ginf->axparm || !a)
        return nullptr;
    const int k = a == g->vaxis    ? 0
                  : a == g->haxis  ? 1
                  : a == g->vaxis2 ? 2
                  : a == g->haxis2 ? 3
                                   : -1;
    return k >= 0 && k < g->ginf->naxpalc ? &g->ginf->axparm[k] : nullptr;
}

// ---------------------------------------------------------------------------
// Scale.

void bubbles(double* a, int n)
{
    for (bool swapped = true; swapped;) {
        swapped = false;
        for (int i = 0; i + 1 < n; ++i)
            if (a[i] > a[i + 1]) {
                std::swap(a[i], a[i + 1]);
                swapped = true;
            }
    }
}

void multiples(double* a, int n, int ntimes)
{
    for (int i = 0; i < n; ++i)
        a[i] *= ntimes;
}

double initscale(double* nice, double* cut, int n, korv_dev::SCALESTR* sc)
{
    for (int i = 0; i < n; ++i)
        cut[i] = std::sqrt(nice[i] * nice[i + 1]);
    const double per = (sc->smax - sc->smin) / sc->inc;
    const double p = std::pow(10.0, std::floor(std::log10(per)));
    if (n < 1) {
        sc->index = 0;
        return p;
    }
    const double r = per / p;
    int k = n;
    for (int i = 0; i < n; ++i)
        if (r < cut[i]) {
            k = i;
            break;
        }
    sc->index = k;
    return p;
}

// Rounds the ends of the scale out to multiples of the increment and returns
// the number of increments between them. The multiple at the lower end is
// kept as a double: on an axis of extreme values it lies beyond an int's
// range. A count too large for an int is returned as INT_MAX (more than any
// axis takes, so the callers widen the increment), one that is undefined as
// -1 (no scale).
int setscale(double* nice, double*, double scalfact, double fuzz, korv_dev::SCALESTR* sc,
             double* multmin)
{
    sc->inc = scalfact * nice[sc->index];
    const double i0 = std::floor((sc->smin + fuzz) / sc->inc);
    const double i1 = std::ceil((sc->smax - fuzz) / sc->inc);
    if (multmin)
        *multmin = i0;
    sc->smin = i0 * sc->inc;
    sc->smax = i1 * sc->inc;
    const double c = i1 - i0;
    if (std::isnan(c))
        return -1;
    return c < INT_MAX ? static_cast<int>(c) : INT_MAX;
}

int round1(double* nice, double fuzz, double* cutoff, korv_dev::SCALESTR* sc)
{
    const double p = initscale(nice, cutoff, sc->index - 1, sc);
    const int c = setscale(nice, cutoff, p, fuzz, sc, nullptr);
    return c < 0 ? -5 : c;
}

int round2(double* nice, double fuzz, double* cutoff, korv_dev::SCALESTR* sc, int endopt)
{
    const int m = sc->index;
    // The most increments the axis may have (held in the increment field on
    // entry); a value beyond an int's range allows as many as an int holds.
    const int most = sc->inc >= static_cast<double>(std::numeric_limits<int>::max())
                         ? std::numeric_limits<int>::max()
                         : static_cast<int>(sc->inc);
    const double lo = sc->smin, hi = sc->smax;
    nice[m] = 10 * nice[0];
    double p = initscale(nice, cutoff, m - 1, sc);
    double i0 = 0;
    int c = setscale(nice, cutoff, p, fuzz, sc, &i0);
    int decades = 0;
    while (c > most) {
        if (sc->index < m - 1) {
            ++sc->index;
        } else {
            if (++decades > 5)
                return -4;
            multiples(nice, m + 1, 10);
            multiples(cutoff, m, 10);
            sc->index = 0;
        }
        sc->smin = lo;
        sc->smax = hi;
        c = setscale(nice, cutoff, p, fuzz, sc, &i0);
    }
    if (c < 0)
        return -5;
    const double inc = sc->inc;
    switch (std::toupper(endopt)) {
    case 'E':
        sc->smin = std::min(lo, sc->smin - ((most - c) / 2) * inc);
        sc->smax = std::max(hi, sc->smin + most * inc);
        break;
    case 'L':
        sc->smin = lo;
        sc->smax = sc->smin + most * inc;
        break;
    case 'U':
        sc->smax = hi;
        sc->smin = std::min(lo, sc->smax - most * inc);
        break;
    default:
        sc->smin = i0 * inc;
        sc->smax = (i0 + most) * inc;
        break;
    }
    return most;
}

int zgscale(double xmin, double xmax, int ninc, int nnice, const double* nicenum,
            korv_dev::SCALESTR* sc, int sortopt, int endopt)
{
    *sc = korv_dev::SCALESTR{xmin, xmax, (xmax - xmin) / 2, 2};
    double list[11] = {};
    double cut[11] = {};
    int m = std::min(nnice, 10);
    for (int i = 0; i < m; ++i)
        list[i] = nicenum[i];
    if (ninc == 0)
        return -1;
    if (m < 1)
        return -2;
    if (m == 1) {
        list[1] = list[0];
        m = 2;
    }
    for (int i = 0; i < m; ++i)
        if (list[i] < 1.0 || list[i] > 10.0)
            return -2;
    double lo = std::min(xmin, xmax), hi = std::max(xmin, xmax);
    double d = hi - lo;
    const double big = std::max(std::abs(lo), std::abs(hi));
    if (d * 0.0001 + big == big) {
        d = std::abs((lo + hi) / 2);
        if (d == 0)
            d = 1;
        const int end = std::toupper(endopt);
        if (end == 'L')
            hi += 2 * d;
        else if (end == 'U')
            lo -= 2 * d;
        else {
            lo -= d;
            hi += d;
        }
    }
    const double fuzz = d * 1.053671212772351e-8;
    if (std::toupper(sortopt) == 'N' && m > 1)
        bubbles(list, m);
    sc->smin = lo;
    sc->smax = hi;
    sc->index = m;
    if (ninc > 0) {
        sc->inc = ninc;
        const double p = initscale(list, cut, m - 1, sc);
        const int c = setscale(list, cut, p, fuzz, sc, nullptr);
        return c < 0 ? -5 : c;
    }
    sc->inc = -ninc;
    return round2(list, fuzz, cut, sc, endopt);
}

long zggrsca(GRAFSTR* g, AINFSTR* a)
{
    SINFSTR* s = a->scale;
    VLSTSTR* v = a->value;
    if (!s || !v)
        return SCALE;
    int n = s->ntic;
    if (n == 0) {
        // Four intervals up the vertical axes, six along the horizontal ones.
        n = horizontal(g, a) ? 6 : 4;
        s->ntic = n;
    }
    const int end = n > 0 ? 'X' : (s->options & 0x2) ? 'L' : 'U';
    int sort = (s->options & 0x8) ? 'N' : 'S';
    if (s->naccept < 1) {
        std::memcpy(s->accept, kDefaultNice, sizeof kDefaultNice);
        s->naccept = 5;
        sort = 'S';
    }
    if (a->options & AX_ZERO) {
        s->xmin = std::min(s->xmin, 0.0);
        s->xmax = std::max(s->xmax, 0.0);
    }
    korv_dev::SCALESTR sc{};
    const int c = zgscale(s->xmin, s->xmax, n, s->naccept, s->accept, &sc, sort, end);
    v->nval = c;
    if (c < 0)
        return SCALE;
    // Among the subnormal numbers a power of ten underflows: the increment
    // comes out 0 and the count without end. A span so narrow that a percent
    // of the axis per unit overflows has no transform either. Neither makes
    // an axis, and the axis keeps no values.
    if (c == std::numeric_limits<int>::max() || !std::isnormal(sc.inc) ||
        (c > 0 && !std::isfinite(100.0 / (sc.smax - sc.smin)))) {
        v->nval = 0;
        return SCALE;
    }
    POOLHANDLE* pool = g->mempool;
    const int64_t k = static_cast<int64_t>(c) + 1;
    v->dlist = static_cast<double*>(vmalcp_handler(pool, 8 * k, 0x2000));
    if (!v->dlist)
        return static_cast<long>(8 * k);
    v->clist = static_cast<char*>(vmalcp_handler(pool, 32 * k, 0x2000));
    if (!v->clist)
        return static_cast<long>(32 * k);
    std::memset(v->clist, ' ', static_cast<size_t>(32 * k));
    v->vslist = static_cast<ZGVSSTR*>(vmalcp_handler(pool, 56 * k, 0x2002));
    if (!v->vslist)
        return static_cast<long>(56 * k);
    const bool rev = (a->options & AX_REVERSE) != 0;
    double x = rev ? sc.smax : sc.smin;
    const double step = rev ? -sc.inc : sc.inc;
    for (int i = 0; i < c; ++i, x += step)
        v->dlist[i] = x;
    v->dlist[c] = rev ? sc.smin : sc.smax;
    v->nval = c + 1;
    v->vtype = 1;
    v->malloc = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// Set-up.

// Room for an axis's values, their texts and, on a character axis, the
// forest that indexes them; a block that cannot be had ends the set-up only
// when that is fatal.
static long valueStorage(GRAFSTR* g, AINFSTR* a, VLSTSTR* v)
{
    if (v->nval > 0 && !v->malloc) {
        if (v->vtype == 1 && !v->dlist) {
            v->dlist = static_cast<double*>(vmalcp_handler(g->mempool, 8 * v->nval, 0x2002));
            if (!v->dlist) {
                if (fatal(g))
                    return 8L * v->nval;
                v->malloc = 1;
            }
        }
        if (!v->clist && !v->malloc) {
            v->clist = static_cast<char*>(vmalcp_handler(g->mempool, 32 * v->nval, 0x2000));
            if (!v->clist) {
                if (fatal(g))
                    return 32L * v->nval;
                v->malloc = 1;
            } else {
                std::memset(v->clist, ' ', static_cast<size_t>(32 * v->nval));
            }
        }
    }
    if (v->nval > 0 && !v->vslist) {
        v->vslist = static_cast<ZGVSSTR*>(vmalcp_handler(g->mempool, 56 * v->nval, 0x2002));
        if (!v->vslist && fatal(g))
            return 56L * v->nval;
    }
    if (v->vtype == 2) {
        APRMSTR* ap = zgg_axparm(g, a);
        if (ap) {
            if (!ap->vforest)
                ap->vforest =
                    static_cast<FORESTR*>(vmalcp_handler(g->mempool, sizeof(FORESTR), 0x2002));
            if (!ap->now)
                ap->now = static_cast<TREEND*>(vmalcp_handler(g->mempool, sizeof(TREEND), 0x2002));
            else
                std::memset(static_cast<void*>(ap->now), 0, sizeof(TREEND));
            if ((!ap->vforest || !ap->now) && fatal(g))
                return sizeof(FORESTR) + sizeof(TREEND);
        }
    }
    return 0;
}

// The axis label's and the values' text defaults.
static void textDefaults(GRAFSTR* g, AINFSTR* a, const AINFSTR* prim, bool primary)
{
    GINFSTR* gi = g->ginf;
    VLSTSTR* v = a->value;
    ZGTXSTR* texts[2] = {&a->axistxt, &v->labtxt};
    const ZGTXSTR* ptexts[2] = {prim ? &prim->axistxt : nullptr,
                                prim && prim->value ? &prim->value->labtxt : nullptr};
    for (int i = 0; i < 2; ++i) {
        ZGTXSTR* t = texts[i];
        const ZGTXSTR* p = primary ? nullptr : ptexts[i];
        if (p) {
            if (!(t->height > 0))
                t->height = p->height;
            if (!(t->aspect > 0))
                t->aspect = p->aspect;
            if (blank(t->font, 8))
                std::memcpy(t->font, p->font, 8);
            if (blank(t->color, 16))
                std::memcpy(t->color, p->color, 16);
        }
        if (!(t->height > 0))
            t->height = ggl2pct(1, GU_CELL, 2);
        if (!(t->aspect > 0))
            t->aspect = 1;
        t->colnum = (gi->flags & SEGMENT_OPEN) ? colourOf(t->color, 16) : -1;
    }
}

// An axis left out because its values have no scale is said so, with the
// range: the plot is drawn without it.
static void noScaleNote(GRAFSTR* g, const SINFSTR* s, const NAMESTR* vname)
{
    const bool labelled = vname->nlablen > 0;
    const int len = std::clamp<int>(labelled ? vname->nlablen : vname->namelen, 0, 256);
    const std::string axis(labelled ? vname->label_p : vname->name_p, static_cast<size_t>(len));
    char lo[32], hi[32];
    std::snprintf(lo, sizeof lo, "%g", s->xmin);
    std::snprintf(hi, sizeof hi, "%g", s->xmax);
    xpmlog(326, msg326::DEV_AXIS_NOT_SCALED, g->glabel ? vdqkeystring(g->glabel).c_str() : "",
           axis.c_str(), lo, hi);
}

long zggrsax(GRAFSTR* g, AINFSTR* a, NAMESTR* vname)
{
    if (!a)
        return NOTHING;
    GINFSTR* gi = g->ginf;
    AINFSTR* prim = primaryOf(g, a);
    const bool primary = isPrimary(g, a);
    // Axis line defaults.
    if (primary) {
        if (a->axisln.style <= 0 || a->axisln.style > 46)
            a->axisln.style = 1;
        if (a->axisln.width <= 0)
            a->axisln.width = 1;
    } else if (prim) {
        if (blank(a->axisln.color, 16))
            std::memcpy(a->axisln.color, prim->axisln.color, 16);
        if (a->axisln.style <= 0 || a->axisln.style > 46)
            a->axisln.style = prim->axisln.style;
        if (a->axisln.width <= 0)
            a->axisln.width = prim->axisln.width;
    }
    // No axis at all.
    if (a->options & AX_NONE) {
        if (a->tmmajor)
            vmfree_handler(g->mempool, a->tmmajor, 32, 4);
        if (a->tmminor)
            vmfree_handler(g->mempool, a->tmminor, 32, 4);
        a->tmmajor = a->tmminor = nullptr;
        return 0;
    }
    VLSTSTR* v = a->value;
    if (!v)
        return NOTHING;
    // Values: a mirror without a variable shows its primary's.
    if (!vname && !primary && prim && prim->value) {
        v->vtype = prim->value->vtype;
        v->dlist = prim->value->dlist;
        v->clist = prim->value->clist;
        v->nval = prim->value->nval;
        v->malloc = 1;
        a->fmtcode = prim->fmtcode;
        a->fmtlen = prim->fmtlen;
    } else if (vname) {
        v->vtype = static_cast<char>(vname->ntype);
        if (v->vtype == 1 && !(a->options & AX_HIDDEN)) {
            if (!a->scale) {
                if (fatal(g))
                    return NOTHING;
                a->options |= AX_HIDDEN;
            } else {
                if (a->scale->xmin > a->scale->xmax)
                    std::swap(a->scale->xmin, a->scale->xmax);
                long rc = a->scale->xmax >= DBL_MAX / 2 || a->scale->xmin <= -DBL_MAX / 2 ||
                                  !std::isfinite(a->scale->xmin) || !std::isfinite(a->scale->xmax)
                              ? SCALE
                              : zggrsca(g, a);
                if (rc != 0) {
                    if (fatal(g))
                        return rc;
                    a->options |= AX_HIDDEN;
                    gi->options |= noScaleBit(g, a);
                    noScaleNote(g, a->scale, vname);
                }
            }
        } else if (v->vtype != 1 && v->vtype != 2) {
            return NOTHING;
        }
    }
    // Value storage.
    if (long r = valueStorage(g, a, v))
        return r;
    // Minor ticks.
    if (v->nminor < 1)
        a->options |= AX_NOMINOR;
    if (a->options & AX_NOMINOR)
        v->nminor = 0;
    // The axis label.
    if (!(a->options & AX_NOLABEL) && a->lab && a->lab->lablen == 0 && vname) {
        const char* t = vname->nlablen > 0 ? vname->label_p : vname->name_p;
        const int len = std::min<int>(vname->nlablen > 0 ? vname->nlablen : vname->namelen, 256);
        vzmp(t, len, a->lab->label, 256);
        a->lab->lablen = static_cast<short>(len);
    }
    // Text defaults: from the primary axis, then the kernel's.
    textDefaults(g, a, prim, primary);
    // Ticks: a tick of a horizontal axis reaches up or down, one of a
    // vertical axis across.
    const int dir = horizontal(g, a) ? 2 : 1;
    const double factor = primary
                              ? (gi->gzcom && gi->gzcom->gngraph && gi->gzcom->gngraph->aspect > 0
                                     ? gi->gzcom->gngraph->aspect
                                     : 1)
                              : 1;
    if (!(a->options & AX_NOMAJOR) && a->tmmajor) {
        TICKSTR* t = a->tmmajor;
        if (t->height == 0)
            t->height = !primary && prim && prim->tmmajor && prim->tmmajor->height != 0
                            ? prim->tmmajor->height * factor
                            : ggl2pct(0.5, GU_CELL, dir);
        if (t->width <= 0)
            t->width = a->axisln.width;
        if (blank(t->color, 16))
            std::memcpy(t->color, a->axisln.color, 16);
    }
    if (!(a->options & AX_NOMINOR) && a->tmminor) {
        TICKSTR* t = a->tmminor;
        if (t->height == 0)
            t->height = !primary && prim && prim->tmminor && prim->tmminor->height != 0
                            ? prim->tmminor->height * factor
                            : ggl2pct(0.25, a == g->haxis ? g->gunit : GU_CELL, dir);
        if (t->width <= 0)
            t->width = a->tmmajor ? a->tmmajor->width : a->axisln.width;
        if (blank(t->color, 16))
            std::memcpy(t->color, a->tmmajor ? a->tmmajor->color : a->axisln.color, 16);
    }
    // The format of the values.
    if (!(a->options & AX_NOVALUES) && vname) {
        if (vname->ntype == 1) {
            const bool none =
                (vname->nfl == 0 && blank(vname->nformlong, 33)) || vname->nfcode == 0;
            a->fmtcode = none ? -1 : vname->nfcode;
            a->fmtlen = none ? 0 : static_cast<short>(std::min<int>(vname->nflen, 16));
        } else if (vname->ntype == 2) {
            a->fmtcode = -1;
            a->fmtlen = static_cast<short>(std::min<int>(vyr_namestr_length(*vname), 16));
        } else {
            return NOTHING;
        }
    }
    return 0;
}

long zggtbox(GRAFSTR* g, AINFSTR* a, double* mboxwd, double* mboxht)
{
    VLSTSTR* v = a->value;
    GINFSTR* gi = g->ginf;
    if (mboxwd)
        *mboxwd = 0;
    if (mboxht)
        *mboxht = 0;
    if (!v || v->nval < 1 || !v->clist || !v->vslist || (v->vtype == 1 && !v->dlist))
        return NOTHING;
    if (v->vtype == 1 && !v->malloc) {
        std::memset(v->clist, ' ', static_cast<size_t>(32) * v->nval);
        ggbestr(v->dlist, v->nval, v->clist, &a->fmtcode, &a->fmtlen);
    }
    double wd = 0, ht = 0;
    for (int j = 0; j < v->nval; ++j) {
        ZGVSSTR& s = v->vslist[j];
        s.text = v->clist + 32 * j;
        s.len = wzstrip(s.text, 32);
        if (zggstrl(g, &v->labtxt, s.text, s.len, j == 0) != 0)
            return NOTHING;
        std::memcpy(s.quad, gi->quad, sizeof s.quad);
        double xl = 0, yl = 0;
        zggsize(gi->quad, v->labtxt.angle, &xl, &yl);
        s.width = xl;
        wd = std::max(wd, xl);
        ht = std::max(ht, yl);
    }
    if (mboxwd)
        *mboxwd = wd;
    if (mboxht)
        *mboxht = ht;
    return 0;
}

// ---------------------------------------------------------------------------
// Geometry.

double zggboxy(const GPAIRF* q, double angle, int iflag)
{
    if (!q || angle > 360)
        return 0;
    const int k = angle <= 90 ? 0 : angle <= 180 ? 1 : angle <= 270 ? 2 : 3;
    static const int lowX[4] = {3, 2, 1, 0}, highX[4] = {1, 0, 3, 2};
    static const int lowY[4] = {0, 3, 2, 1}, highY[4] = {2, 1, 0, 3};
    switch (iflag) {
    case 0:
        return q[lowX[k]].x;
    case 1:
        return q[highX[k]].x;
    case 2:
        return q[lowY[k]].y;
    case 3:
        return q[highY[k]].y;
    default:
        return 0;
    }
}

double zggapos(AINFSTR*, APRMSTR* ap, const char* cvalue)
{
    if (!ap || !ap->vforest || !cvalue)
        return -1.0;
    TREEND key;
    std::memset(static_cast<void*>(&key), ' ', sizeof key);
    std::memset(static_cast<void*>(&key.t), 0, sizeof key.t);
    key.id = 0;
    std::memcpy(key.name, cvalue, 16);
    TREE* hit = nullptr;
    if (zforfnd(ap->vforest, &key.t, &hit) != 0 || !hit)
        return -1.0;
    return ap->atrans * reinterpret_cast<TREEND*>(hit)->id + ap->btrans;
}

// ---------------------------------------------------------------------------
// Drawing.

void drawtms(GRAFSTR* g, AINFSTR* a, APRMSTR* ap, int)
{
    GINFSTR* gi = g->ginf;
    const APRMSTR& h = gi->axparm[1];
    const APRMSTR& v = gi->axparm[0];
    // Ticks of a mirror axis may be its primary's (graph option 0x2).
    AINFSTR* src = a;
    APRMSTR* sap = ap;
    const int gn = gi->gzcom ? gi->gzcom->gnopts : 0;
    if (!isPrimary(g, a) && (gn & 0x2) && !(a == g->vaxis2 && (gn & 0x1000))) {
        src = primaryOf(g, a);
        sap = zgg_axparm(g, src);
    }
    if (!src || !sap || !src->value)
        return;
    const bool hz = horizontal(g, a);
    // The axis line's position across, and the outward sense of its ticks.
    double across, sense;
    if (a == g->haxis) {
        across = gi->yorigin;
        sense = -1;
    } else if (a == g->haxis2) {
        across = gi->yorigin + v.axislen;
        sense = 1;
    } else if (a == g->vaxis) {
        across = gi->xorigin;
        sense = -1;
    } else {
        across = gi->xorigin + h.axislen;
        sense = 1;
    }
    const double start = (hz ? gi->xorigin : gi->yorigin) + std::max(0.0, src->offset1);
    auto draw = [&](double along, const TICKSTR* t) {
        ggsetlw(t->width > 0 ? t->width : 1);
        const int colour = colourOf(t->color, 16);
        const double out = across + sense * t->height;
        if (hz)
            ggdraw(along, across, along, out, 1, colour);
        else
            ggdraw(across, along, out, along, 1, colour);
    };
    const int n = src->value->nval;
    if (src->tmmajor && !(src->options & AX_NOMAJOR))
        for (int j = 0; j < n; ++j)
            draw(start + j * sap->lintval, src->tmmajor);
    const int minor = src->value->nminor;
    if (minor > 0 && src->tmminor && !(src->options & AX_NOMINOR) && sap->lintval > 0) {
        const double step = sap->lintval / (minor + 1);
        for (int j = 0; j + 1 < n; ++j)
            for (int k = 1; k <= minor; ++k)
                draw(start + j * sap->lintval + k * step, src->tmminor);
    }
}

long drawtml(GRAFSTR* g, AINFSTR* a, APRMSTR* ap, int)
{
    GINFSTR* gi = g->ginf;
    VLSTSTR* v = a->value;
    if (!v || !v->vslist || v->nval < 1)
        return 0;
    const bool hz = horizontal(g, a);
    const double gap = tickOut(a) + std::max(0.0, a->tmgap);
    const double start = (hz ? gi->xorigin : gi->yorigin) + std::max(0.0, a->offset1);
    for (int j = 0; j < v->nval; ++j) {
        const ZGVSSTR& s = v->vslist[j];
        if (s.len <= 0)
            continue;
        // The box's extent at the value's angle.
        double xl = 0, yl = 0;
        if (zggstrl(g, &v->labtxt, s.text, s.len, 1) != 0)
            return NOTHING;
        zggsize(gi->quad, v->labtxt.angle, &xl, &yl);
        const double along = start + j * ap->lintval;
        double x, y;
        if (hz) {
            // Below (or above) the axis, centred on the tick.
            x = along - xl / 2;
            y = a == g->haxis ? gi->yorigin - gap - yl : gi->yorigin + gi->axparm[0].axislen + gap;
        } else {
            // Left (or right) of the axis, set in a column as wide as the
            // widest value.
            y = along - yl / 2;
            const double col = ap->tmlabl;
            const double within = v->labtxt.justify == 'L'   ? 0
                                  : v->labtxt.justify == 'C' ? (col - xl) / 2
                                                             : col - xl;
            x = a == g->vaxis ? gi->xorigin - gap - col + within
                              : gi->xorigin + gi->axparm[1].axislen + gap + within;
        }
        const double ox = x - zggboxy(gi->quad, v->labtxt.angle, 0);
        const double oy = y - zggboxy(gi->quad, v->labtxt.angle, 2);
        ggstr(gi->string, ox, oy);
    }
    return 0;
}

long zggrdax(GRAFSTR* g)
{
    if (!g->vaxis || !g->haxis)
        return HOST;
    GINFSTR* gi = g->ginf;
    const double hlen = gi->axparm[1].axislen, vlen = gi->axparm[0].axislen;
    AINFSTR* order[4] = {g->vaxis, g->haxis, g->vaxis2, g->haxis2};
    for (AINFSTR* a : order) {
        APRMSTR* ap = zgg_axparm(g, a);
        if (!a || !ap || (a->options & (AX_HIDDEN | AX_NONE)))
            continue;
        ggsetlw(a->axisln.width > 0 ? a->axisln.width : 1);
        const int colour = colourOf(a->axisln.color, 16);
        const int style = a->axisln.style > 0 && a->axisln.style <= 46 ? a->axisln.style : 1;
        const double x0 = gi->xorigin, y0 = gi->yorigin;
        if (a == g->vaxis)
            ggdraw(x0, y0, x0, y0 + vlen, style, colour);
        else if (a == g->haxis)
            ggdraw(x0, y0, x0 + hlen, y0, style, colour);
        else if (a == g->vaxis2)
            ggdraw(x0 + hlen, y0, x0 + hlen, y0 + vlen, style, colour);
        else
            ggdraw(x0, y0 + vlen, x0 + hlen, y0 + vlen, style, colour);
        // The label, outside the ticks and values.
        if (!(a->options & AX_NOLABEL) && a != g->haxis2 && a->lab && a->lab->lablen > 0) {
            const bool hz = a == g->haxis;
            const double out = tickOut(a) +
                               (a->options & AX_NOVALUES
                                    ? 0
                                    : std::max(0.0, a->tmgap) + (hz ? ap->tmlabh : ap->tmlabl)) +
                               std::max(0.0, a->labgap);
            const double len = hz ? hlen : vlen;
            double along = a->axistxt.justify == 'L'   ? 0
                           : a->axistxt.justify == 'R' ? len - ap->labln
                                                       : (len - ap->labln) / 2;
            along = std::max(0.0, along);
            double x, y;
            if (hz) {
                x = x0 + along;
                y = y0 - out - ap->labwd;
            } else if (a == g->vaxis) {
                x = x0 - out - ap->labwd;
                y = y0 + along;
            } else {
                x = x0 + hlen + out;
                y = y0 + along;
            }
            textAt(g, &a->axistxt, a->lab->label, a->lab->lablen, x, y);
        }
        if (!(a->options & AX_NOMAJOR))
            drawtms(g, a, ap, 0);
        if (!(a->options & AX_NOVALUES) && a != g->haxis2)
            if (long r = drawtml(g, a, ap, 0); r != 0 && fatal(g))
                return r;
    }
    return 0;
}

long zggrdrl(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    const APRMSTR& h = gi->axparm[1];
    const APRMSTR& v = gi->axparm[0];
    const double x0 = gi->xorigin, y0 = gi->yorigin;
    // Lines across the plot at `pos` along axis `a`.
    auto across = [&](const AINFSTR* a, double pos, int style, double width, int colour) {
        ggsetlw(width > 0 ? width : 1);
        if (a == g->haxis)
            ggdraw(pos, y0, pos, y0 + v.axislen, style, colour);
        else
            ggdraw(x0, pos, x0 + h.axislen, pos, style, colour);
    };
    auto atTicks = [&](AINFSTR* a, int style, double width, int colour) {
        const APRMSTR* ap = zgg_axparm(g, a);
        if (!a || !ap || !a->value)
            return;
        const bool hz = a == g->haxis;
        const double org = hz ? x0 : y0;
        const double first = org + (a->offset1 > kEps ? a->offset1 : ap->lintval);
        const double last =
            org + ap->axislen - (a->offset2 > kEps ? a->offset2 : ap->lintval) + kEps;
        if (ap->lintval <= 0)
            return;
        for (double p = first; p <= last; p += ap->lintval)
            across(a, p, style, width, colour);
    };
    // Grid.
    if (gi->options & 0x4) {
        if (!(g->haxis->options & AX_TICKLINES))
            atTicks(g->haxis, 34, g->vaxis->axisln.width, colourOf(g->vaxis->axisln.color, 16));
        if (!(g->vaxis->options & AX_TICKLINES))
            atTicks(g->vaxis, 34, g->haxis->axisln.width, colourOf(g->haxis->axisln.color, 16));
    }
    // Lines at every tick of an axis that asks for them.
    struct Ref {
        AINFSTR* axis;
        REFLSTR* set;
        AINFSTR* other;
        short obj;
    };
    const Ref refs[3] = {{g->haxis, g->href, g->vaxis, 111},
                         {g->vaxis, g->vref, g->haxis, 112},
                         {g->vaxis2, (gi->options & VAXIS2) ? g->vref2 : nullptr, g->haxis, 113}};
    for (const Ref& r : refs) {
        if (!r.axis || !(r.axis->options & AX_TICKLINES))
            continue;
        const ZGLNSTR& l = r.set ? r.set->line : r.other->axisln;
        atTicks(r.axis, l.style > 0 ? l.style : 1, l.width, colourOf(l.color, 16));
    }
    // Explicit reference values.
    for (const Ref& r : refs) {
        if (!r.axis || !r.set || r.set->nref <= 0 || !r.set->rlist)
            continue;
        if (r.set == g->href && !(gi->options & HREF))
            continue;
        if (r.set == g->vref && !(gi->options & VREF))
            continue;
        const APRMSTR* ap = zgg_axparm(g, r.axis);
        if (!ap)
            continue;
        const bool hz = r.axis == g->haxis;
        const double org = hz ? x0 : y0;
        const double lo = org + std::max(0.0, r.axis->offset1) - kEps;
        const double hi = org + ap->axislen - std::max(0.0, r.axis->offset2) + kEps;
        for (int k = 0; k < r.set->nref; ++k) {
            double pos;
            if (r.set->vtype == 2)
                pos = zggapos(r.axis, const_cast<APRMSTR*>(ap),
                              static_cast<const char*>(r.set->rlist) + 32 * k);
            else
                pos = ap->atrans * static_cast<const double*>(r.set->rlist)[k] + ap->btrans;
            if (pos < lo || pos > hi) {
                g->errcode = 11;
                g->errobj = r.obj;
                continue;
            }
            across(r.axis, pos, r.set->line.style > 0 ? r.set->line.style : 1, r.set->line.width,
                   colourOf(r.set->line.color, 16));
        }
    }
    return 0;
}
