// The formatted-value service: one formatter record per worker thread, each
// with kernel formats loaded for it alone and buffers sized once for the
// widest variable, so that workers format at the same time without sharing
// anything. All memory comes from one kernel pool, "Format pool".
#include <algorithm>
#include <cstring>

#include "levelize/zlevint.h"
#include "vyr_data.h"
#include "vyr_format.h"

namespace
{

template <typename T> T* palloc(QXPoolh pool, long n)
{
    return static_cast<T*>(
        pool->alloc(pool, static_cast<QXMemSize>(n > 0 ? n : 1) * sizeof(T), 0x80000000u));
}

// Releases every kernel object of the context; the pool goes last.
void release(ZNQVFMTGLOBAL* g)
{
    if (g->fmt)
        for (int k = 0; k < g->n; ++k) {
            ZNQVFMT& f = g->fmt[k];
            if (f.genfh)
                for (int i = 0; i < g->nvars; ++i)
                    if (f.genfh[i]) {
                        f.genfh[i]->release(f.genfh[i]);
                        f.genfh[i] = nullptr;
                    }
            f.genfh = nullptr;
            if (f.pipeFromQXChar)
                f.pipeFromQXChar->hdr.destroy(f.pipeFromQXChar);
            if (f.pipeToQXChar)
                f.pipeToQXChar->hdr.destroy(f.pipeToQXChar);
            f.pipeFromQXChar = nullptr;
            f.pipeToQXChar = nullptr;
        }
    if (g->fmtexth) {
        auto* obj = static_cast<QXEFMT_OBJ_S*>(g->fmtexth);
        obj->close(obj);
        g->fmtexth = nullptr;
    }
    if (g->fmtextho) {
        auto* fid = static_cast<DSHANDLE*>(g->fid);
        for (int i = 0; i < g->nvars && g->varnums; ++i) {
            const int var = static_cast<int>(g->varnums[i]);
            NAMESTR* nm = xvname(fid, var);
            if (nm == nullptr)
                continue;
            xfrdel(nullptr, nm->nfcode);
            nm->nfcode = 0;
            nm->nqxfmthandl = nullptr;
            xffile(fid, 70, &var, 1);
        }
        auto* ext = static_cast<QXEFMT_S*>(g->fmtextho);
        ext->hdr.destroy(ext);
        g->fmtextho = nullptr;
    }
    QXPoolh pool = g->qxPool;
    pool->hdr.destroy(pool);
}

} // namespace

ZNQVFMTGLOBAL* znqvfmt(DSHANDLE* fid, const int* list, int listn, int nth, int* rc, int vlen)
{
    if (list == nullptr || listn < 1 || nth < 1) {
        *rc = 2;
        return nullptr;
    }
    *rc = 0;
    QXHandle* h = Exported_QXHandle;
    QXPoolh pool = h ? h->poolCreate(h, "Format pool", 0, 0, 0) : nullptr;
    if (pool == nullptr) {
        *rc = 1;
        return nullptr;
    }
    auto* g = palloc<ZNQVFMTGLOBAL>(pool, 1);
    if (g == nullptr) {
        pool->hdr.destroy(pool);
        *rc = 1;
        return nullptr;
    }
    g->qxPool = pool;
    g->n = nth;
    g->nvars = listn;
    g->fid = fid;
    g->fmt = palloc<ZNQVFMT>(pool, nth);
    g->varlen = palloc<int>(pool, listn);
    g->vartype = palloc<int>(pool, listn);
    g->nflen = palloc<int>(pool, listn);
    g->nfd = palloc<int>(pool, listn);
    g->varnums = palloc<long>(pool, listn);
    // Any failure from here on releases what was loaded before it.
    auto fail = [&](int status) {
        *rc = status;
        release(g);
        return static_cast<ZNQVFMTGLOBAL*>(nullptr);
    };
    if (!g->fmt || !g->varlen || !g->vartype || !g->nflen || !g->nfd || !g->varnums)
        return fail(1);
    g->qxnls = h->qxnls;
    if (g->qxnls == nullptr)
        return fail(1);
    static const QXChar ceiName[] = {'Q', 'X', 'N', 'L', 'S', '.', 'N', 'Q', 'V', '_', 'S',
                                     'E', 'S', 'S', 'I', 'O', 'N', '_', 'C', 'E', 'I'};
    int64_t cei = 0;
    QXMemSize size = sizeof cei;
    if (h->nameGet(h, ceiName, sizeof ceiName / sizeof ceiName[0], 3, &cei, &size) != QX_OK)
        return fail(3);
    g->cei = cei;
    static const QXChar fmtName[] = {'q', 'x', 'e', 'f', 'm', 't'};
    auto* ext = static_cast<QXEFMT_S*>(h->loadExtension(h, fmtName, 6, 0));
    if (ext == nullptr)
        return fail(1);
    g->fmtextho = ext;
    QXEFMT_OBJ_S* obj = ext->getFormatter(ext);
    if (obj == nullptr)
        return fail(1);
    g->fmtexth = obj;
    int len = 0;
    const char* locale = xoptcgt("LOCALE", &len);
    obj->setLocale(obj, len > 0 ? locale : "en_US");

    int maxuserlen = 0;
    bool anyText = false;
    for (int k = 0; k < nth; ++k) {
        ZNQVFMT& f = g->fmt[k];
        f.g = g;
        f.genfh = palloc<QXFmtStrp>(pool, listn);
        if (f.genfh == nullptr)
            return fail(1);
        for (int i = 0; i < listn; ++i) {
            NAMESTR* nm = xvname(fid, list[i]);
            if (nm == nullptr)
                return fail(1);
            if (xfrfilet(nullptr, nullptr, fid, 70, &list[i], 1, nullptr, ext) != 0 ||
                nm->nqxfmthandl == nullptr)
                return fail(1);
            f.genfh[i] = static_cast<QXFmtStrp>(nm->nqxfmthandl);
            if (k > 0)
                continue;
            g->vartype[i] = nm->ntype;
            g->nfd[i] = nm->nfd;
            g->varnums[i] = list[i];
            g->nflen[i] = nm->nflen;
            int w, u;
            const bool hasFormat = nm->nfl != 0 || nm->nformlongl != 0;
            switch (vlen) {
            case -2:
                w = nm->nflen;
                u = nm->nlng;
                break;
            case -1:
                // The width of the host's formatted read: the loaded format's
                // own (12 for an unformatted number, the stored length for
                // an unformatted text, else the format width).
                w = f.genfh[i]->FmtPar.w > 0
                        ? f.genfh[i]->FmtPar.w
                        : (hasFormat ? nm->nflen : (nm->ntype == 1 ? 12 : nm->nlng));
                u = nm->user_lng;
                break;
            case 0:
                w = 16;
                u = nm->user_lng;
                break;
            default:
                w = vlen;
                u = nm->user_lng;
                break;
            }
            g->varlen[i] = w;
            g->maxvarlen = std::max(g->maxvarlen, w);
            if (nm->ntype != 1) {
                maxuserlen = std::max(maxuserlen, u);
                anyText = true;
            }
        }
    }
    g->maxuserlen = maxuserlen;
    for (int k = 0; k < nth; ++k) {
        ZNQVFMT& f = g->fmt[k];
        const int room = g->maxvarlen + g->maxuserlen;
        if (room > 0) {
            f.stringin = palloc<char>(pool, room);
            if (f.stringin == nullptr)
                return fail(1);
            f.c = f.stringin + g->maxuserlen;
        }
        if (g->maxvarlen > 0) {
            f.QXc = palloc<QXChar>(pool, g->maxvarlen);
            if (f.QXc == nullptr)
                return fail(1);
        }
        if (anyText) {
            f.QXin = palloc<QXChar>(pool, std::max(g->maxvarlen, g->maxuserlen));
            if (f.QXin == nullptr)
                return fail(1);
        }
    }
    return g;
}

void znqvftrm(ZNQVFMTGLOBAL** fg)
{
    if (fg == nullptr || *fg == nullptr)
        return;
    release(*fg);
    *fg = nullptr;
}
