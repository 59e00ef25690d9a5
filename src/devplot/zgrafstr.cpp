// The plot description's life cycle: made once per graph request (zggrini,
// with the destination list of the output manager, zggrseg), prepared for
// each destination with its defaults (zggrrin, zggrpst), its catalogued
// graphs handed to the output layer after the last destination (zggrags),
// and ended at the end of the step (zggrend).
#include <algorithm>
#include <cfloat>
#include <cstring>

#include "devplot/zggraf.h"
#include "runtime/procstr.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "vyr_message_names.h"

namespace
{

using namespace zgr;

constexpr long kOwn = OWN_GRAFSTR;

void* zalloc(POOLHANDLE* pool, int64_t len, int flags = 0x2002)
{
    return pool ? vmalcp_handler(pool, len, flags) : nullptr;
}

void zfree(POOLHANDLE* pool, void* p)
{
    if (pool && p)
        vmfree_handler(pool, p, -1, 4);
}

// Ends the description first when the caller asked for that on failure.
long endOn(GRAFSTR** ggptr, long rc)
{
    GRAFSTR* g = ggptr ? *ggptr : nullptr;
    if (g && (g->options & END_ON_FAILURE))
        zggrend(ggptr);
    return rc;
}

// A destination's name as the library keys it: a copy of the output
// manager's record (never changed in place) with "(" and ")" made "_".
int destName(const VDQ_GRAPH_INFO* info, char* out)
{
    std::memset(out, ' ', 32);
    if (!info || !info->name.text || info->name.len <= 0)
        return 0;
    const int n = std::min(32, info->name.len);
    std::memcpy(out, info->name.text, static_cast<size_t>(n));
    wzstrns(out, n, "__", "()", 2);
    return n;
}

bool isDocument(const char* name, int len)
{
    if (len != 8)
        return false;
    char u[8];
    std::memcpy(u, name, 8);
    wzstrup(u, 8);
    return std::memcmp(u, "DOCUMENT", 8) == 0;
}

xobop createObject(xobop clsman, const char* package, const char* cls, POOLHANDLE* pool)
{
    WOB_PARM_BLK_STR pb[] = {
        wob_string(WOB_TAG_PACKAGE, package, static_cast<int64_t>(std::strlen(package))),
        wob_string(WOB_TAG_CLASS, cls, static_cast<int64_t>(std::strlen(cls))),
        wob_object(WOB_TAG_OUT, nullptr),
        wob_address(118, pool),
    };
    wobcall(clsman, WOB_SEL_CREATE, pb);
    return pb[2].value.o;
}

// The option bits that govern one axis: no label, no major ticks, no tick
// values, no minor ticks, no scale.
struct AxisBits {
    long nolabel, nomajor, novalues, nominor, noscale;
};
constexpr AxisBits kHBits{NOLABEL_H, NOMAJOR_H, AXOPT40_H, NOMINOR_H, NOSCALE_H};
constexpr AxisBits kVBits{NOLABEL_V, NOMAJOR_V, AXOPT40_V, NOMINOR_V, NOSCALE_V};
constexpr AxisBits kV2Bits{NOLABEL_V2, NOMAJOR_V2, AXOPT40_V2, NOMINOR_V2, NOSCALE_V2};

void blankText(ZGTXSTR& t, char justify)
{
    std::memset(t.color, ' ', sizeof t.color);
    std::memset(t.font, ' ', sizeof t.font);
    t.justify = justify;
    t.cellsw = 1;
    t.colnum = -1;
}

// Prepares one axis with its defaults; the records it keeps survive a reuse.
// Returns 0 or the size of a failed allocation (strict only).
long resetAxis(GRAFSTR* g, AINFSTR* a, int axisno, const AxisBits* bits, long& opts, int errobj)
{
    POOLHANDLE* pool = g->mempool;
    const bool strict = (opts & STRICT) != 0;
    SINFSTR* scale = a->scale;
    VLSTSTR* value = a->value;
    TICKSTR* major = a->tmmajor;
    TICKSTR* minor = a->tmminor;
    ZGLBSTR* lab = a->lab;
    std::memset(static_cast<void*>(a), 0, sizeof *a);
    a->axisno = axisno;
    a->outmarg = a->labgap = a->tmgap = a->offset1 = a->offset2 = -1.0;
    std::memset(a->axisln.color, ' ', sizeof a->axisln.color);
    blankText(a->axistxt, 'C');
    a->fmtcode = -1;
    if (axisno == 1 || axisno == 3)
        a->axistxt.angle = 90.0;
    auto fail = [&](int64_t size) -> long {
        g->errcode = 31;
        g->errobj = static_cast<short>(errobj);
        return strict ? static_cast<long>(size) : 0;
    };
    // Ticks.
    auto tick = [&](TICKSTR*& t, TICKSTR* kept, long bit, int axopt) -> long {
        if (bits && (opts & bit)) {
            zfree(pool, kept);
            t = nullptr;
            a->options |= axopt;
            return 0;
        }
        t = kept ? kept : static_cast<TICKSTR*>(zalloc(pool, sizeof(TICKSTR)));
        if (!t) {
            if (long r = fail(sizeof(TICKSTR)))
                return r;
            if (bits)
                opts |= bit;
            a->options |= axopt;
            return 0;
        }
        std::memset(static_cast<void*>(t), 0, sizeof *t);
        std::memset(t->color, ' ', sizeof t->color);
        return 0;
    };
    if (long r = tick(a->tmmajor, major, bits ? bits->nomajor : 0, AX_NOMAJOR))
        return r;
    if (long r = tick(a->tmminor, minor, bits ? bits->nominor : 0, AX_NOMINOR))
        return r;
    if (bits && (opts & bits->novalues))
        a->options |= AX_NOVALUES;
    // Tick values.
    if (value) {
        if (!value->malloc) {
            zfree(pool, value->dlist);
            zfree(pool, value->clist);
        }
        zfree(pool, value->vslist);
        std::memset(static_cast<void*>(value), 0, sizeof *value);
    } else {
        value = static_cast<VLSTSTR*>(zalloc(pool, sizeof(VLSTSTR)));
        if (!value)
            return fail(sizeof(VLSTSTR));
    }
    blankText(value->labtxt, axisno == 1 ? 'R' : axisno == 3 ? 'L' : 'C');
    a->value = value;
    // Scale.
    if (bits && (opts & bits->noscale)) {
        zfree(pool, scale);
        a->scale = nullptr;
    } else {
        a->scale = scale ? scale : static_cast<SINFSTR*>(zalloc(pool, sizeof(SINFSTR)));
        if (!a->scale)
            return fail(sizeof(SINFSTR));
        std::memset(static_cast<void*>(a->scale), 0, sizeof *a->scale);
        a->scale->xmin = DBL_MAX;
        a->scale->xmax = DBL_MIN; // 2.225073858507202e-308: not set
    }
    // Label.
    if (bits && (opts & bits->nolabel)) {
        zfree(pool, lab);
        a->lab = nullptr;
        a->options |= AX_NOLABEL;
    } else {
        a->lab = lab ? lab : static_cast<ZGLBSTR*>(zalloc(pool, sizeof(ZGLBSTR)));
        if (!a->lab) {
            if (long r = fail(sizeof(ZGLBSTR)))
                return r;
            if (bits)
                opts |= bits->nolabel;
            a->options |= AX_NOLABEL;
        } else {
            a->lab->lablen = 0;
            std::memset(a->lab->label, ' ', sizeof a->lab->label);
        }
    }
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------

long zggrini(GRAFSTR** ggptr, xobop clsman, xobop vdqman, int nplots, long options)
{
    if (!ggptr)
        return NOTHING;
    if (options & 0x6)
        options |= HAXIS2;
    if (!clsman)
        vdqman = nullptr;
    GRAFSTR* g = *ggptr;
    // The pool: the description's own, never one of the host's standard pools.
    POOLHANDLE* pool = g ? g->mempool : nullptr;
    if (pool == xtaskpool() || pool == xlongpool())
        pool = nullptr;
    bool ownPool = false;
    if (!pool) {
        pool = xmpoolc(0, 1024, 0);
        if (!pool)
            return POOL;
        ownPool = true;
    }
    bool newDesc = false;
    if (!g) {
        g = static_cast<GRAFSTR*>(zalloc(pool, sizeof(GRAFSTR)));
        if (!g) {
            if (ownPool)
                xmpoold(pool);
            return static_cast<long>(sizeof(GRAFSTR));
        }
        newDesc = true;
    } else {
        if (!clsman)
            clsman = g->clsman;
        if (!vdqman)
            vdqman = g->vdqman;
    }
    g->mempool = pool;
    g->errcode = g->errobj = 0;
    if (!clsman) {
        if (xobinit(&clsman, 0) < 0)
            return HOST;
    }
    if (!vdqman) {
        WOB_PARM_BLK_STR pb[] = {wob_string(WOB_TAG_PACKAGE, "vdq", 3),
                                 wob_string(WOB_TAG_CLASS, "manager", 7),
                                 wob_object(WOB_TAG_OUT, nullptr)};
        wobcall(clsman, WOB_SEL_CREATE, pb);
        vdqman = pb[2].value.o;
    }
    g->clsman = clsman;
    g->vdqman = vdqman;
    auto undo = [&]() {
        if (newDesc) {
            zfree(pool, g);
            *ggptr = nullptr;
        }
        if (ownPool)
            xmpoold(pool);
    };
    if (!g->ginf) {
        g->ginf = static_cast<GINFSTR*>(zalloc(pool, sizeof(GINFSTR)));
        if (!g->ginf) {
            g->errcode = 31;
            g->errobj = 101;
            undo();
            return static_cast<long>(sizeof(GINFSTR));
        }
    }
    GINFSTR* gi = g->ginf;
    if (newDesc)
        gi->flags |= OWN_GRAFSTR;
    if (ownPool)
        gi->flags |= OWN_POOL;
    // Work pools.
    const bool newBuf = !gi->bufpool, newVdq = !gi->vdqpool;
    if (newBuf)
        gi->bufpool = xmpoolc(0, 1024, 2);
    if (newVdq)
        gi->vdqpool = xmpoolc(0, 1024, 2);
    if (!gi->bufpool || !gi->vdqpool) {
        g->errcode = 31;
        g->errobj = 102;
        if (newBuf && gi->bufpool)
            xmpoold(gi->bufpool);
        if (newVdq && gi->vdqpool)
            xmpoold(gi->vdqpool);
        gi->bufpool = gi->vdqpool = nullptr;
        if (newDesc || ownPool)
            undo();
        return POOL;
    }
    if (!newVdq && wmpoolr(gi->vdqpool) < 0) {
        g->errcode = 32;
        g->errobj = 102;
        return POOL;
    }
    *ggptr = g;
    if (newDesc) {
        std::memset(g->cframe, ' ', sizeof g->cframe);
        std::memset(g->desc, ' ', sizeof g->desc);
    }
    std::memset(g->libname, ' ', 8);
    std::memset(g->memname.name, ' ', sizeof g->memname.name);
    std::memcpy(g->memname.name, "GSEG", 4);
    g->memname.len = 4;
    // The annotate sub-library.
    if (!(options & NOANNO) && !(gi->flags & ANNO_LIB)) {
        if (wiinstl(262270, "VYRXGANO", 1) == 0) {
            gi->flags |= ANNO_LIB;
        } else {
            xpmlog(129, msg129::GK_NO_SUBLIBRARY, "VYRXGANO");
            g->errcode = 12;
            g->errobj = 103;
            if (options & STRICT) {
                g->options = options;
                return endOn(ggptr, ANNOTATE_LIB);
            }
            options |= NOANNO;
        }
    }
    g->options = options;
    const long rc = zggrseg(g);
    if (rc != 0)
        return endOn(ggptr, rc);
    g->nplots = std::max(1, nplots);
    return 0;
}

long zggrseg(GRAFSTR* g)
{
    if (!g || !g->ginf)
        return NOTHING;
    GINFSTR* gi = g->ginf;
    g->dest_info = nullptr;
    g->clientDone = 0;
    gi->clientFlag = gi->temp_display = gi->blankImageFlag = 0;
    gi->gzcom = nullptr;
    gi->segmentHash = nullptr;
    gi->key = nullptr;
    gi->grfInfo = nullptr;
    WOB_PARM_BLK_STR pb{};
    pb.tag = WOB_TAG_DESTINATIONS;
    pb.type = WOB_T_NAMESTR;
    const int rc = g->vdqman ? wobcall(g->vdqman, WOB_SEL_GRAPH_DESTINATIONS, 1, &pb) : -1;
    if (rc < 0 || !pb.value.p) {
        g->errcode = 34;
        g->errobj = 114;
        xpmlog(580, msg580::GK_NO_DESTINATIONS);
        return NO_DESTINATIONS;
    }
    g->dest_info = static_cast<VDQ_DEST_LIST*>(pb.value.p);
    zggzget(g);
    gi->temp_display = gi->gzcom && (gi->gzcom->options[0] & 0x08) ? 1 : 0;
    gi->segmentHash = createObject(g->clsman, "collection", "associativearray", gi->vdqpool);
    for (long i = 0; i < g->dest_info->count; ++i) {
        char name[32];
        const int len = destName(g->dest_info->entries[i].info, name);
        xobop list = createObject(g->clsman, "collection", "list", gi->vdqpool);
        WOB_PARM_BLK_STR add[] = {wob_key(0, vdqtxt(name, len)), wob_object(0, list)};
        wobcall(gi->segmentHash, WOB_SEL_COLL_ADD, add);
    }
    return 0;
}

void zggzget(GRAFSTR* g)
{
    if (wiinstl(262269, "VYRXGSUB", 1) != 0)
        xexit(1012, 0);
    g->ginf->gzcom = ggznew(xtanch());
    g->ginf->gzcom->vdqcon = 1;
}

// The legend's records made, or emptied for the next plot; a legend that
// cannot be made is left out unless the description is strict.
static long resetLegend(GRAFSTR* g, POOLHANDLE* pool, long& opts, bool strict)
{
    GINFSTR* gi = g->ginf;
    if (!(opts & NOLEGEND)) {
        long need = 0;
        if (!g->leginf) {
            g->leginf = static_cast<ZGLGSTR*>(zalloc(pool, sizeof(ZGLGSTR)));
            if (g->leginf &&
                !(g->leginf->lab = static_cast<ZGLBSTR*>(zalloc(pool, sizeof(ZGLBSTR)))))
                need = sizeof(ZGLBSTR);
            if (!g->leginf)
                need = sizeof(ZGLGSTR);
        } else {
            ZGLGSTR keep = *g->leginf;
            zfree(gi->bufpool, g->leginf->idvar.cdata);
            std::memset(static_cast<void*>(g->leginf), 0, sizeof *g->leginf);
            g->leginf->data = keep.data;
            g->leginf->dvstr = keep.dvstr;
            g->leginf->ndata = keep.ndata;
            g->leginf->lab = keep.lab;
        }
        if (g->leginf) {
            g->leginf->nvalue = -1;
            if (g->leginf->lab)
                g->leginf->lab->lablen = 0;
            std::memset(g->leginf->cframe, ' ', 16);
            std::memset(g->leginf->ctext, ' ', 16);
            std::memset(g->leginf->coutln, ' ', 16);
        }
        if (!need) {
            if (!gi->legend)
                gi->legend = static_cast<GLEGT*>(zalloc(pool, sizeof(GLEGT)));
            else
                std::memset(static_cast<void*>(gi->legend), 0, sizeof *gi->legend);
            if (!gi->legend)
                need = sizeof(GLEGT);
        }
        if (need) {
            g->errcode = 31;
            g->errobj = 108;
            if (strict)
                return need;
            opts |= NOLEGEND;
        }
    }
    return 0;
}

// One parameter block for each axis drawn, kept when there are enough.
static long resetAxisParms(GRAFSTR* g, POOLHANDLE* pool, long opts)
{
    GINFSTR* gi = g->ginf;
    const int naxp = (opts & HAXIS2) ? 4 : (opts & VAXIS2) ? 3 : 2;
    if (gi->axparm && gi->naxpalc < naxp) {
        for (int i = 0; i < gi->naxpalc; ++i)
            if (gi->axparm[i].vforest)
                zforend(gi->axparm[i].vforest);
        zfree(pool, gi->axparm);
        gi->axparm = nullptr;
    }
    if (!gi->axparm) {
        gi->axparm = static_cast<APRMSTR*>(zalloc(pool, naxp * sizeof(APRMSTR)));
        if (!gi->axparm) {
            g->errcode = 31;
            g->errobj = 101;
            return naxp * static_cast<long>(sizeof(APRMSTR));
        }
        gi->naxpalc = static_cast<short>(naxp);
    } else {
        for (int i = 0; i < gi->naxpalc; ++i)
            gi->axparm[i].axislen = 0;
    }
    return 0;
}

// The description's and its plots' defaults before the caller fills them.
static void plotDefaults(GRAFSTR* g, int n)
{
    g->gunit = 4;
    g->margin.gunit = 4;
    std::memset(g->name, ' ', 8);
    g->longname.lablen = 0;
    g->gname = g->glabel = nullptr;
    g->lanfid = g->lanfid2 = nullptr;
    for (int i = 0; i < n; ++i) {
        PAIRSTR& p = g->ppair[i];
        p.plotno = '1';
        std::memset(p.symbinf.font, ' ', 8);
        std::memset(p.symbinf.value, ' ', 8);
        std::memset(p.symbinf.ci, ' ', 8);
        std::memset(p.symbinf.cv, ' ', 8);
        p.symbinf.itype = '0';
        p.symbinf.dplace = '0';
        p.symbinf.yref = 0;
    }
}

// The reference lines asked for, made or emptied; one that cannot be made
// is left out unless the description is strict.
static long resetRefs(GRAFSTR* g, POOLHANDLE* pool, long& opts, bool strict)
{
    auto refs = [&](REFLSTR*& r, long bit, short obj) -> long {
        if (!(opts & bit))
            return 0;
        if (r) {
            if (!r->malloc)
                zfree(pool, r->rlist);
            std::memset(static_cast<void*>(r), 0, sizeof *r);
        } else if (!(r = static_cast<REFLSTR*>(zalloc(pool, sizeof(REFLSTR))))) {
            if (strict) {
                g->errcode = 31;
                g->errobj = obj;
                return static_cast<long>(sizeof(REFLSTR));
            }
            opts &= ~bit;
            return 0;
        }
        std::memset(r->line.color, ' ', sizeof r->line.color);
        return 0;
    };
    if (long r = refs(g->href, HREF, 111))
        return r;
    if (long r = refs(g->vref, VREF, 112))
        return r;
    if (opts & VAXIS2) {
        if (long r = refs(g->vref2, VREF2, 113))
            return r;
    } else {
        opts &= ~VREF2;
    }
    return 0;
}

long zggrrin(GRAFSTR** ggptr)
{
    GRAFSTR* g = ggptr ? *ggptr : nullptr;
    if (!g || !g->ginf || !g->dest_info || g->dest_out < 0 || g->dest_out >= g->dest_info->count)
        return NOTHING;
    GINFSTR* gi = g->ginf;
    POOLHANDLE* pool = g->mempool;
    // The destination.
    VDQ_GRAPH_INFO* info = g->dest_info->entries[g->dest_out].info;
    gi->grfInfo = info;
    gi->tmpLen = destName(info, gi->tmpStr);
    gi->key = vdqtxt(gi->tmpStr, gi->tmpLen);
    wzstrup(gi->tmpStr, gi->tmpLen);
    if (g->dest_out > 0 && isDocument(gi->tmpStr, gi->tmpLen))
        return SKIP;
    // Working options; the buffer pool starts empty.
    long opts = g->options;
    if (opts & 0x6)
        opts |= HAXIS2;
    if (g->nplots < 2)
        opts |= NOLEGEND;
    const bool strict = (opts & STRICT) != 0;
    if (wmpoolr(gi->bufpool) < 0) {
        g->errcode = 32;
        g->errobj = 102;
        return POOL;
    }
    auto fail = [&](short code, short obj, int64_t size) {
        g->errcode = code;
        g->errobj = obj;
        return static_cast<long>(size);
    };
    // Window, text descriptor, corners, text transformation.
    if (!gi->window && !(gi->window = static_cast<GWINDOW*>(zalloc(pool, sizeof(GWINDOW)))))
        return fail(31, 101, sizeof(GWINDOW));
    *gi->window = GWINDOW{0, 0, 100, 100};
    if (!gi->string && !(gi->string = static_cast<GSTRING*>(zalloc(pool, sizeof(GSTRING)))))
        return fail(31, 101, sizeof(GSTRING));
    std::memset(static_cast<void*>(gi->string), 0, sizeof *gi->string);
    if (!gi->quad && !(gi->quad = static_cast<GPAIRF*>(zalloc(pool, 4 * sizeof(GPAIRF)))))
        return fail(31, 101, 4 * sizeof(GPAIRF));
    std::memset(static_cast<void*>(gi->quad), 0, 4 * sizeof(GPAIRF));
    if (!gi->gstxfm)
        gi->gstxfm = static_cast<GSTXFM*>(zalloc(pool, sizeof(GSTXFM)));
    if (!gi->gstxfm && strict)
        return fail(31, 101, sizeof(GSTXFM));
    if (gi->gstxfm)
        *gi->gstxfm = GSTXFM{0, 0};
    // The plot requests.
    const int n = std::max(1, g->nplots);
    if (g->ppair && gi->nplots != n) {
        zfree(pool, g->ppair);
        g->ppair = nullptr;
    }
    if (!g->ppair) {
        g->ppair = static_cast<PAIRSTR*>(zalloc(pool, static_cast<int64_t>(n) * sizeof(PAIRSTR)));
        if (!g->ppair)
            return fail(31, 101, static_cast<int64_t>(n) * sizeof(PAIRSTR));
    } else {
        std::memset(static_cast<void*>(g->ppair), 0, static_cast<size_t>(n) * sizeof(PAIRSTR));
    }
    gi->nplots = static_cast<short>(n);
    // Axes.
    if (!g->haxis) {
        auto* two = static_cast<AINFSTR*>(zalloc(pool, 2 * sizeof(AINFSTR)));
        if (!two)
            return fail(31, 104, 2 * sizeof(AINFSTR));
        g->haxis = two;
        g->vaxis = two + 1;
    }
    if (long r = resetAxis(g, g->haxis, 2, &kHBits, opts, 104))
        return r;
    if (long r = resetAxis(g, g->vaxis, 1, &kVBits, opts, 105))
        return r;
    if (opts & (HAXIS2 | VAXIS2)) {
        if (!(opts & VAXIS2))
            opts |= 0x40920; // the second vertical axis only mirrors the top
        if (!g->vaxis2 && !(g->vaxis2 = static_cast<AINFSTR*>(zalloc(pool, sizeof(AINFSTR)))))
            return fail(31, 106, sizeof(AINFSTR));
        if (long r = resetAxis(g, g->vaxis2, 3, &kV2Bits, opts, 106))
            return r;
        if (!(opts & VAXIS2))
            g->vaxis2->options |= 0x1f0;
    }
    if (opts & HAXIS2) {
        if (!g->haxis2 && !(g->haxis2 = static_cast<AINFSTR*>(zalloc(pool, sizeof(AINFSTR)))))
            return fail(31, 107, sizeof(AINFSTR));
        if (long r = resetAxis(g, g->haxis2, 4, nullptr, opts, 107))
            return r;
        g->haxis2->options |= 0x1f0;
        g->haxis2->outmarg = -1.0;
    } else {
        if (g->haxis2)
            g->haxis2->options |= AX_HIDDEN;
        if (g->vaxis2 && !(opts & VAXIS2))
            g->vaxis2->options |= AX_HIDDEN;
    }
    // Axis parameters.
    if (long r = resetAxisParms(g, pool, opts))
        return r;
    // Reference lines.
    if (long r = resetRefs(g, pool, opts, strict))
        return r;
    // Legend.
    if (long r = resetLegend(g, pool, opts, strict))
        return r;
    // Default titles.
    auto title = [&](ZGDTSTR*& t, long bit, int flag) -> long {
        if (!(opts & bit)) {
            gi->flags &= ~flag;
            return 0;
        }
        if (!t && !(t = static_cast<ZGDTSTR*>(zalloc(pool, sizeof(ZGDTSTR))))) {
            g->errcode = 31;
            g->errobj = 109;
            if (strict)
                return sizeof(ZGDTSTR);
            gi->flags &= ~flag;
            return 0;
        }
        char* text = t->tstring;
        const short len = t->tslen;
        std::memset(static_cast<void*>(t), 0, sizeof *t);
        t->tstring = text;
        t->tslen = len;
        blankText(t->dtltxt, 'C');
        gi->flags |= flag;
        return 0;
    };
    if (long r = title(g->dftitle, DESC_TITLE, DRAW_DESC))
        return r;
    if (long r = title(g->pctitle, CAPTION_TITLE, DRAW_CAPTION))
        return r;
    // Defaults of the description and its plots.
    plotDefaults(g, n);
    gi->options = opts;
    gi->dropped = 0;
    const long rc = zggrpst(g);
    if (rc != 0)
        return endOn(ggptr, rc);
    return 0;
}

long zggrpst(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    std::memcpy(gi->libname, g->libname, 8);
    if (g->dest_out == 0) {
        gi->memname = g->memname;
    } else {
        gi->destcat.len = static_cast<short>(std::min(gi->tmpLen, 32));
        std::memset(gi->destcat.name, ' ', 32);
        std::memcpy(gi->destcat.name, gi->tmpStr, static_cast<size_t>(gi->destcat.len));
        gi->memname = gi->destcat;
    }
    GZCOM* gz = gi->gzcom;
    const VDQ_GRAPH_INFO* info = gi->grfInfo;
    if (gz && info) {
        std::memset(gz->device, ' ', 8);
        if (info->device.text && info->device.len > 0)
            std::memcpy(gz->device, info->device.text, std::min<size_t>(8, info->device.len));
        if (info->hsize > 0) {
            gz->hsize = info->hsize;
            gz->hvset |= 1;
        }
        if (info->vsize > 0) {
            gz->vsize = info->vsize;
            gz->hvset |= 2;
        }
        if (info->width > 0)
            gz->xpixels = info->width;
        if (info->height > 0)
            gz->ypixels = info->height;
        std::memset(gz->style, ' ', sizeof gz->style);
        gz->stylelen = 0;
        if (info->style.text && info->style.len > 0) {
            const std::string name(info->style.text, static_cast<size_t>(info->style.len));
            const std::string full = name.find('.') == std::string::npos ? "Styles." + name : name;
            gz->stylelen = static_cast<int>(std::min<size_t>(full.size(), sizeof gz->style));
            std::memcpy(gz->style, full.data(), static_cast<size_t>(gz->stylelen));
        }
        gz->oda = info->oda;
        gz->nogtitle = info->gtitle == 0;
        gz->nogfootnote = info->gfootnote == 0;
        if (info->border == 0)
            gz->options[0] &= static_cast<unsigned char>(~0x20);
        else if (gz->border)
            gz->options[0] |= 0x20;
        gz->options[0] &= static_cast<unsigned char>(~0x08);
        // The catalogue the next segment goes to travels in the control block.
        std::memcpy(gz->libname, gi->libname, 8);
        std::memset(gz->catmem, ' ', sizeof gz->catmem);
        gz->catmemlen = std::clamp<int>(gi->memname.len, 0, 32);
        std::memcpy(gz->catmem, gi->memname.name, static_cast<size_t>(gz->catmemlen));
    }
    if (ggsload(gz, 0, 0) == 0) {
        gi->gxcom = ggxget(xtanch());
        return 0;
    }
    g->errcode = 33;
    g->errobj = 100;
    GRAFSTR* self = g;
    return endOn(&self, STARTUP);
}

long zggrags(GRAFSTR** ggptr)
{
    GRAFSTR* g = ggptr ? *ggptr : nullptr;
    if (!g || !g->ginf)
        return NOTHING;
    GINFSTR* gi = g->ginf;
    bool failed = false;
    auto call = [&](xobop obj, int sel, int np, WOB_PARM_BLK_STR* pb) {
        // A delivery failure is reported and, unless tolerated, ends the step.
        const int rc = wobcall(obj, sel, np, pb);
        if (rc < 0)
            failed = true;
        return rc;
    };
    if (gi->temp_display && g->dest_info) {
        if (gi->gzcom)
            gi->gzcom->options[0] |= 0x08;
        const long nd = g->dest_info->count;
        auto* blocks = static_cast<WOB_PARM_BLK_STR*>(
            zalloc(gi->vdqpool, std::max<long>(1, nd) * sizeof(WOB_PARM_BLK_STR)));
        if (!blocks)
            return static_cast<long>(std::max<long>(1, nd) * sizeof(WOB_PARM_BLK_STR));
        for (long d = 0; d < nd; ++d) {
            blocks[d] = wob_list(0, nullptr, 0);
            char name[32];
            const int len = destName(g->dest_info->entries[d].info, name);
            if (d > 0 && isDocument(name, len))
                continue;
            WOB_PARM_BLK_STR find[] = {wob_key(0, vdqtxt(name, len)), wob_object(0, nullptr)};
            if (call(gi->segmentHash, WOB_SEL_COLL_GET, 2, find) < 0 || !find[1].value.o)
                continue;
            xobop list = find[1].value.o;
            WOB_PARM_BLK_STR count = wob_int(WOB_TAG_COUNT, 0);
            if (call(list, WOB_SEL_COLL_COUNT, 1, &count) < 0)
                continue;
            const int n = count.value.i;
            if (n <= 0)
                continue;
            auto* el =
                static_cast<WOB_PARM_BLK_STR*>(zalloc(gi->vdqpool, n * sizeof(WOB_PARM_BLK_STR)));
            if (!el)
                return static_cast<long>(n * sizeof(WOB_PARM_BLK_STR));
            int kept = 0;
            for (int k = 1; k <= n; ++k) {
                WOB_PARM_BLK_STR get[] = {wob_int(0, k), wob_address(0, nullptr)};
                if (call(list, WOB_SEL_COLL_GET, 2, get) < 0)
                    continue;
                el[kept] = get[1];
                el[kept].type = WOB_T_NAMESTR;
                el[kept].tag = 0;
                ++kept;
            }
            blocks[d] = wob_list(0, el, kept);
        }
        WOB_PARM_BLK_STR pb[2];
        pb[0] = wob_address(WOB_TAG_DESTINATIONS, g->dest_info);
        pb[0].type = WOB_T_NAMESTR;
        pb[1] = wob_list(WOB_TAG_GRAPH_LISTS, blocks, nd);
        call(g->vdqman, WOB_SEL_GRAPH_HANDOVER, 2, pb);
    }
    if (g->dest_info) {
        WOB_PARM_BLK_STR rel = wob_address(WOB_TAG_DESTINATIONS, g->dest_info);
        rel.type = WOB_T_NAMESTR;
        call(g->vdqman, WOB_SEL_GRAPH_RELEASE, 1, &rel);
        g->dest_info = nullptr;
    }
    return failed ? HOST : 0;
}

int zggrend(GRAFSTR** ggptr)
{
    GRAFSTR* g = ggptr ? *ggptr : nullptr;
    if (!g || !g->ginf)
        return static_cast<int>(NOTHING);
    GINFSTR* gi = g->ginf;
    // What the description owns is read before anything is freed.
    const int flags = gi->flags;
    POOLHANDLE* bufpool = gi->bufpool;
    POOLHANDLE* vdqpool = gi->vdqpool;
    POOLHANDLE* mempool = g->mempool;
    for (int i = 0; gi->axparm && i < gi->naxpalc; ++i)
        if (gi->axparm[i].vforest)
            zforend(gi->axparm[i].vforest);
    if (g->dest_info && g->vdqman) {
        WOB_PARM_BLK_STR rel = wob_address(WOB_TAG_DESTINATIONS, g->dest_info);
        rel.type = WOB_T_NAMESTR;
        wobcall(g->vdqman, WOB_SEL_GRAPH_RELEASE, 1, &rel);
        g->dest_info = nullptr;
    }
    xmpoold(bufpool);
    xmpoold(vdqpool);
    const bool gInPool = (flags & kOwn) != 0;
    if (flags & OWN_POOL)
        xmpoold(mempool);
    if (gInPool) {
        *ggptr = nullptr;
    } else {
        // The caller's description outlives the library's blocks.
        g->ginf = nullptr;
        g->mempool = nullptr;
    }
    return 0;
}
