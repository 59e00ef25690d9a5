// A forest: balanced trees of a fixed node count that together index more
// nodes than one buffer holds. Only one tree is in the buffer at a time; the
// others are written to a utility file and read back into the same buffer,
// so that their links stay valid. The character axes of a plot description
// keep their values in forests (zggsfor).
#include <algorithm>
#include <cstring>

#include "devplot/zggraf.h"
#include "runtime/procstr.h"

int zforset(FORESTR* f, TREE** coreptr, POOLHANDLE** poolptr, long nnodes, int nodesize, int type,
            int offset)
{
    if (!f || nnodes < 1 || nodesize < 1)
        return -3;
    // A forest set up again lets go of the file it spilled to.
    if (f->xcptr) {
        xcclose(f->xcptr);
        f->xcptr = nullptr;
    }
    POOLHANDLE* pool = poolptr ? *poolptr : nullptr;
    char poolalloc = 0;
    if (!pool) {
        pool = xmpoolc(static_cast<int>(std::min<long>(nnodes * nodesize + 1024, 1L << 30)), 0, 2);
        if (!pool)
            return -1;
        poolalloc = 1;
        if (poolptr)
            *poolptr = pool;
    }
    f->offset = offset;
    f->type = type;
    f->nnodes_c = nnodes;
    f->nnodes_u = 0;
    f->treesze = nnodes * nodesize;
    f->xcptr = nullptr;
    f->poolptr = pool;
    f->poolalloc = poolalloc;
    TREE* buf = coreptr ? *coreptr : nullptr;
    if (!buf) {
        buf = static_cast<TREE*>(vmalcp_handler(pool, f->treesze, 0x2000));
        if (!buf)
            return -1;
        if (coreptr)
            *coreptr = buf;
    }
    f->first = f->current = nullptr;
    f->ntrees = 0;
    f->trechng = 0;
    f->newptr = nullptr;
    f->nodesze = nodesize;
    f->treeptr = buf;
    return 0;
}

int zforfnd(FORESTR* f, TREE* now, TREE** retptr)
{
    if (retptr)
        *retptr = nullptr;
    if (!f || !now)
        return -1;
    ZFHDSTR* cur = f->current;
    for (int t = 0; cur && t < f->ntrees; ++t) {
        TREE* hit = ztrefnd(&cur->head, now, f->type, f->offset);
        if (hit) {
            if (retptr)
                *retptr = hit;
            return 0;
        }
        if (t + 1 == f->ntrees)
            break;
        if (f->trechng && zforwrt(f) != 0)
            return -2;
        ZFHDSTR* next = cur->next ? cur->next : f->first;
        if (zforrdt(f, next->treenumb) != 0)
            return -2;
        cur = f->current;
    }
    return 1;
}

int zforbld(FORESTR* f, TREE* now, TREE** retptr)
{
    const int rc = zforfnd(f, now, retptr);
    if (rc == 0)
        return 0;
    if (rc < 0)
        return rc == -1 ? -1 : -2;
    char* slot;
    if (f->ntrees == 0 || f->nnodes_u == f->nnodes_c) {
        if (f->trechng && zforwrt(f) != 0)
            return -2;
        auto* h = static_cast<ZFHDSTR*>(vmalcp_handler(f->poolptr, sizeof(ZFHDSTR), 0x2000));
        if (!h)
            return -1;
        h->treenumb = f->ntrees;
        h->head = nullptr;
        h->next = f->first;
        f->first = h;
        f->current = h;
        ++f->ntrees;
        slot = reinterpret_cast<char*>(f->treeptr);
        f->nnodes_u = 1;
    } else {
        if (f->current != f->first) {
            if (f->trechng && zforwrt(f) != 0)
                return -2;
            if (zforrdt(f, f->first->treenumb) != 0)
                return -2;
        }
        slot = reinterpret_cast<char*>(f->newptr) + f->nodesze;
        ++f->nnodes_u;
    }
    std::memcpy(slot, now, static_cast<size_t>(f->nodesze));
    auto* node = reinterpret_cast<TREE*>(slot);
    node->llink = node->rlink = nullptr;
    node->bal = 0;
    f->newptr = node;
    TREE* got = ztrebld(&f->first->head, node, f->type, f->offset);
    if (retptr)
        *retptr = got;
    f->trechng = 1;
    return 1;
}

int zforwrt(FORESTR* f)
{
    if (!f || !f->current)
        return -1;
    if (!f->xcptr) {
        XCREQUEST req;
        req.name = "UTILITY";
        if (xcopen(&f->xcptr, &req) < 0) {
            f->xcptr = nullptr;
            return -2;
        }
    }
    const bool newest = f->current == f->first;
    const long bytes = newest ? f->nnodes_u * f->nodesze : f->treesze;
    if (xcpoint(f->xcptr, f->current->treenumb * f->treesze) < 0 ||
        xcwrite(f->xcptr, f->treeptr, bytes) < 0)
        return -2;
    f->trechng = 0;
    return 0;
}

int zforrdt(FORESTR* f, int treenumb)
{
    if (!f || treenumb < 0 || treenumb >= f->ntrees)
        return -1;
    ZFHDSTR* h = f->first;
    while (h && h->treenumb != treenumb)
        h = h->next;
    if (!h)
        return -1;
    const long bytes = h == f->first ? f->nnodes_u * f->nodesze : f->treesze;
    if (!f->xcptr || xcpoint(f->xcptr, treenumb * f->treesze) < 0 ||
        xcread(f->xcptr, f->treeptr, bytes) < 0)
        return -2;
    f->current = h;
    f->trechng = 0;
    return 0;
}

int zforend(FORESTR* f)
{
    if (!f)
        return 0;
    int rc = 0;
    if (f->xcptr) {
        if (xcclose(f->xcptr) < 0)
            rc = -2;
        f->xcptr = nullptr;
    }
    if (f->poolalloc && f->poolptr) {
        xmpoold(f->poolptr);
        f->poolptr = nullptr;
        f->treeptr = nullptr;
        f->poolalloc = 0;
    }
    f->first = f->current = nullptr;
    f->ntrees = 0;
    return rc;
}

long zggsfor(GRAFSTR* g)
{
    using namespace zgr;
    GINFSTR* gi = g->ginf;
    struct Ax {
        AINFSTR* axis;
        int parm;
        long share;
    };
    Ax axes[3] = {{g->haxis, 1, 0}, {g->vaxis, 0, 0}, {g->vaxis2, 2, 0}};
    long sum = 0;
    for (Ax& a : axes) {
        if (!a.axis || !a.axis->value || a.axis->value->vtype != 2 || a.parm >= gi->naxpalc ||
            (a.axis->options & (AX_HIDDEN | AX_NONE)))
            continue;
        a.share = 64L * a.axis->value->nval;
        sum += a.share;
    }
    if (sum == 0)
        return 0;
    const long room = static_cast<long>(0.8 * static_cast<double>(xmsize(g->mempool)));
    if (sum > room)
        for (Ax& a : axes)
            a.share = static_cast<long>(static_cast<double>(a.share) * room / sum);
    for (Ax& a : axes) {
        if (a.share == 0 && !(a.axis && a.axis->value && a.axis->value->vtype == 2 &&
                              a.parm < gi->naxpalc && !(a.axis->options & (AX_HIDDEN | AX_NONE))))
            continue;
        APRMSTR& ap = gi->axparm[a.parm];
        if (!ap.vforest || !ap.now)
            return HOST;
        // A forest set up before closes its file first, and keeps its buffer
        // when that is still large enough.
        FORESTR* f = ap.vforest;
        TREE* buf = nullptr;
        const long nnodes = a.share / 64;
        if (f->treeptr && !f->poolalloc && f->treesze >= nnodes * 64)
            buf = f->treeptr;
        zforend(f);
        POOLHANDLE* pool = g->mempool;
        const int rc = zforset(f, &buf, &pool, nnodes, 64, 16, 28);
        if (rc == -3)
            return HOST;
        if (rc == -1)
            return POOL;
        const VLSTSTR* v = a.axis->value;
        for (int j = 0; j < v->nval; ++j) {
            std::memset(static_cast<void*>(ap.now), ' ', sizeof(TREEND));
            std::memset(static_cast<void*>(&ap.now->t), 0, sizeof(TREE));
            ap.now->id = j;
            std::memcpy(ap.now->name, v->clist + 32 * j, 32);
            TREE* got = nullptr;
            const int b = zforbld(f, &ap.now->t, &got);
            if (b == -2)
                return FOREST_FILE;
            if (b == -1)
                return POOL;
            if (b == 0)
                return NOTHING;
        }
    }
    return 0;
}
