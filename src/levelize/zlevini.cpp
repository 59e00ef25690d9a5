// The levelizer's state and set-up: zlevini makes the state of one model and
// BY group, zlevrinit prepares the worker threads, their buffers, trees and
// formatters; the default readers read straight from the data set; and the
// rules both levelization passes share.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "runtime/zthreads.h"
#include "vyr_data.h"
#include "vyr_message_names.h"
#include "vyr_pool.h"

namespace
{

int round8(long n)
{
    return static_cast<int>((n + 7) / 8 * 8);
}

// The stored length of a classification variable's raw value.
int raw_length(const ZLEVVAR& v)
{
    return v.n ? vyr_namestr_length(*v.n) : 8;
}

bool numeric(const ZLEVVAR& v)
{
    return v.n == nullptr || v.n->ntype == 1;
}

bool valid_order(int c)
{
    return c == 'D' || c == 'F' || c == 'I' || c == 'M' || c == 'X' || c == 'Y' || c == 'Z';
}

QXPoolh kernel_pool(QXHandle* h, const char* name)
{
    return h->poolCreate(h, name, 0, 0, 0);
}

} // namespace

ZLEVTESTHOOKS& zlevTestHooks()
{
    static ZLEVTESTHOOKS hooks;
    return hooks;
}

void* zlevAlloc(POOLHANDLE* pool, long len)
{
    return xmalloc_or_exit(pool, len > 0 ? len : 1, 0x3006);
}

// ---------------------------------------------------------------------------
// Shared rules.

bool zlevUsable(const ZLEV* l, const ZLEVMOD* m, const double* xc, const ZLEVSTR* cc,
                const double* x)
{
    if (m->opt[1] & ZLEV_OPT1_KEEPALL)
        return true;
    for (int k = 0; k < l->ncc; ++k) {
        const ZLEVVAR& v = m->clas.v[l->icc[k]];
        if (v.countmissing || v.ignoremissingness)
            continue;
        if (vzabl(' ', cc[k].s, cc[k].l))
            return false;
    }
    for (int k = 0; k < l->nxc; ++k) {
        const ZLEVVAR& v = m->clas.v[l->ixc[k]];
        if (v.countmissing || v.ignoremissingness)
            continue;
        if (wzmis(xc[k]))
            return false;
    }
    for (int k = 0; k < m->cont.n; ++k)
        if (wzmis(x[k]))
            return false;
    return true;
}

bool zlevSkipValue(const ZLEVVAR* v, const ZLEVMOD* m, bool missing)
{
    return missing &&
           (((m->opt[1] & ZLEV_OPT1_KEEPALL) && !v->countmissing) || v->ignoremissingness);
}

VYRNOBS zlevWeight(bool hasFreq, double f)
{
    if (!hasFreq)
        return 1;
    if (wzmis(f) || !(f >= 1.0) || f > 9.223372036854776e18)
        return 0;
    return static_cast<VYRNOBS>(f);
}

bool zlevLowerTrue(double a, double b)
{
    const int c =
        wzbcoff(reinterpret_cast<const char*>(&a), reinterpret_cast<const char*>(&b), -1, 0);
    if (c != 0)
        return c < 0;
    uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x < y;
}

void zlevCutFormatted(const char* text, long len, bool isNumeric, char* out, int vlen)
{
    if (vlen <= 0)
        return;
    std::memset(out, ' ', static_cast<size_t>(vlen));
    if (isNumeric && len > vlen) {
        // Too wide: the number without its blanks, right-justified, or
        // asterisks when even that does not fit.
        long a = 0, b = len;
        while (a < b && text[a] == ' ')
            ++a;
        while (b > a && text[b - 1] == ' ')
            --b;
        if (b - a <= vlen)
            std::memcpy(out + (vlen - (b - a)), text + a, static_cast<size_t>(b - a));
        else
            std::memset(out, '*', static_cast<size_t>(vlen));
        return;
    }
    const long n = std::min<long>(std::max<long>(len, 0), vlen);
    std::memcpy(out, text, static_cast<size_t>(n));
}

int zlevDisplayWidth(const NAMESTR* n)
{
    if (n == nullptr)
        return 0;
    if (n->nfl > 0 || n->nformlongl > 0)
        return n->nflen;
    return vyr_namestr_length(*n);
}

void zlevTruncNote(ZLEVVAR* v)
{
    if (v->trnmsg || v->n == nullptr || zlevDisplayWidth(v->n) <= v->vlen)
        return;
    if (v->trnmsggrp != 0 && v->trnmsgnum != 0)
        xpmlog(v->trnmsggrp, v->trnmsgnum, static_cast<int>(v->n->namelen), v->n->name_p, v->vlen);
    else
        xpmlog(172, msg172::VALUES_CUT, static_cast<int>(v->n->namelen), v->n->name_p, v->vlen);
    v->trnmsg = 1;
}

// ---------------------------------------------------------------------------
// The levelizer's state.

ZLEV* zlevini(DSHANDLE* fid, ZLEVMOD* m)
{
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1006);
    if (pool == nullptr) {
        xmemmsg(xmemdef());
        xexit(1016, 0);
    }
    auto* l = static_cast<ZLEV*>(zlevAlloc(pool, sizeof(ZLEV)));
    l->pool = pool;
    l->offset = static_cast<int>(offsetof(ZLEVNOD, idx));
    const int nclas = m->clas.n;
    const int ncont = m->cont.n;
    if (nclas > 0) {
        l->head = static_cast<TREE**>(zlevAlloc(pool, nclas * sizeof(TREE*)));
        l->nlev = static_cast<int*>(zlevAlloc(pool, nclas * sizeof(int)));
        l->c = static_cast<char**>(zlevAlloc(pool, nclas * sizeof(char*)));
        l->levelize = static_cast<int*>(zlevAlloc(pool, nclas * sizeof(int)));
    }
    if (ncont > 0) {
        l->x = static_cast<double*>(zlevAlloc(pool, ncont * sizeof(double)));
        l->xmin = static_cast<double*>(zlevAlloc(pool, ncont * sizeof(double)));
        l->xmax = static_cast<double*>(zlevAlloc(pool, ncont * sizeof(double)));
        for (int k = 0; k < ncont; ++k) {
            l->xmin[k] = 1.7976931348623157e308;
            l->xmax[k] = -1.7976931348623157e308;
        }
    }
    for (int j = 0; j < nclas; ++j)
        (numeric(m->clas.v[j]) ? l->nxc : l->ncc)++;
    if (l->nxc > 0) {
        l->xc = static_cast<double*>(zlevAlloc(pool, l->nxc * sizeof(double)));
        l->ixc = static_cast<int*>(zlevAlloc(pool, l->nxc * sizeof(int)));
    }
    if (l->ncc > 0) {
        l->cc = static_cast<ZLEVSTR*>(zlevAlloc(pool, l->ncc * sizeof(ZLEVSTR)));
        l->icc = static_cast<int*>(zlevAlloc(pool, l->ncc * sizeof(int)));
    }
    m->maxvlen = 0;
    m->sumvlen = 0;
    int kx = 0, kc = 0;
    for (int j = 0; j < nclas; ++j) {
        ZLEVVAR& v = m->clas.v[j];
        if (v.vlen == 0)
            v.vlen = 16;
        else if (v.vlen < 0)
            v.vlen = v.n == nullptr                            ? 16
                     : (v.n->nfl == 0 && v.n->nformlongl == 0) ? vyr_namestr_length(*v.n)
                                                               : std::max<int>(v.n->nflen, 1);
        v.prevlen = m->sumvlen;
        m->sumvlen += v.vlen;
        m->maxvlen = std::max(m->maxvlen, v.vlen);
        l->c[j] = static_cast<char*>(zlevAlloc(pool, v.vlen));
        if (numeric(v)) {
            l->ixc[kx++] = j;
        } else {
            l->cc[kc].l = raw_length(v);
            l->cc[kc].s = static_cast<char*>(zlevAlloc(pool, l->cc[kc].l));
            l->icc[kc++] = j;
        }
        l->levelize[j] = 1;
        if (v.ref == 0)
            v.ref = ZLEV_REF_LAST;
    }
    l->nodesize = static_cast<int>(offsetof(ZLEVNOD, idx)) + m->maxvlen + 7;
    l->nodesize = std::max<int>(l->nodesize, sizeof(ZLEVNOD));
    l->GetInit = GetInit;
    l->GetNext = GetNext;
    l->GetVals = GetVals;
    l->p = fid;
    return l;
}

// ---------------------------------------------------------------------------
// Threaded set-up.

namespace
{

// A chunk of `count` worker nodes of `size` bytes from a worker's kernel pool.
char* chunk(QXPoolh pool, int count, int size)
{
    ZLEVTESTHOOKS& hooks = zlevTestHooks();
    const long at = hooks.failChunkAt.load();
    if (at > 0 && hooks.chunks.fetch_add(1) + 1 == at)
        return nullptr;
    return static_cast<char*>(pool->alloc(
        pool, static_cast<QXMemSize>(count) * static_cast<QXMemSize>(size), 0x80000000u));
}

template <typename T> T* kalloc(QXPoolh pool, long n)
{
    return static_cast<T*>(
        pool->alloc(pool, static_cast<QXMemSize>(n > 0 ? n : 1) * sizeof(T), 0x80000000u));
}

} // namespace

char* zlevChunk(QXPoolh pool, int count, int size)
{
    return chunk(pool, count, size);
}

namespace
{

// Each worker's parameters: its pools of level nodes and raw values, one per
// classification variable, its jump buffer and its events. An ORDER= left
// unset or unknown on a variable becomes the model's.
bool make_workers(ZLEVREADPARMS* rp, ZLEVMOD* m, QXHandle* h)
{
    QXPoolh kp = rp->qxPool;
    const int nclas = m->clas.n;
    const int nth = rp->nThreads;
    rp->threadParm = kalloc<ZLEVTHREADPARMS>(kp, nth);
    rp->work = kalloc<int>(kp, nclas);
    rp->idleEvent = h->eventCreate(h, 0, nullptr);
    if (!rp->threadParm || !rp->work || !rp->idleEvent)
        return false;
    for (int t = 0; t < nth; ++t) {
        ZLEVTHREADPARMS& tp = rp->threadParm[t];
        tp.index = t;
        tp.rp = rp;
        tp.qxPool = kalloc<QXPoolh>(kp, nclas);
        tp.qxRawPool = kalloc<QXPoolh>(kp, nclas);
        tp.JumpBuffer = static_cast<sigjmp_buf*>(
            kp->alloc(kp, std::max<QXMemSize>(1024, sizeof(sigjmp_buf)), 0x80000000u));
        if (!tp.qxPool || !tp.qxRawPool || !tp.JumpBuffer)
            return false;
        for (int j = 0; j < nclas; ++j) {
            tp.qxPool[j] = h->poolCreate(h, "Levelize nodes", 0x10000001u, 0, 0);
            tp.qxRawPool[j] = h->poolCreate(h, "Levelize values", 0x10000001u, 0, 0);
            if (!tp.qxPool[j] || !tp.qxRawPool[j])
                return false;
            if (t == 0 && !valid_order(m->clas.v[j].order))
                m->clas.v[j].order = m->order;
        }
        tp.bufferFullEvent = h->eventCreate(h, 0, nullptr);
        tp.errorEvent = h->eventCreate(h, 0, nullptr);
        tp.exitEvent = h->eventCreate(h, 0, nullptr);
        tp.doneEvent = h->eventCreate(h, 0, nullptr);
        if (!tp.bufferFullEvent || !tp.errorEvent || !tp.exitEvent || !tp.doneEvent)
            return false;
    }
    return true;
}

// Record layout: observation number, frequency, each variable's raw value.
bool lay_out_records(ZLEVREADPARMS* rp, const ZLEVMOD* m)
{
    QXPoolh kp = rp->qxPool;
    const int nclas = m->clas.n;
    rp->offsets = kalloc<int>(kp, nclas);
    rp->lengths = kalloc<int>(kp, nclas);
    rp->nodesize = kalloc<int>(kp, nclas);
    rp->rnodesize = kalloc<int>(kp, nclas);
    if (!rp->offsets || !rp->lengths || !rp->nodesize || !rp->rnodesize)
        return false;
    int off = 8 + (m->fvar ? 8 : 0);
    rp->maxCharLen = 0;
    for (int j = 0; j < nclas; ++j) {
        const ZLEVVAR& v = m->clas.v[j];
        const int len = numeric(v) ? 8 : raw_length(v);
        rp->offsets[j] = off;
        rp->lengths[j] = len;
        off += round8(len);
        if (!numeric(v))
            rp->maxCharLen = std::max(rp->maxCharLen, len);
    }
    rp->RecLen = off;
    rp->nTrees = nclas;
    return true;
}

// Each worker's trees, one of formatted levels and one of raw values per
// classification variable, with a first chunk of nodes for each, and its
// key buffer; then, when a pass over the effects' level combinations may
// follow (clefFlag), the associative arrays it uses.
bool make_trees(ZLEVREADPARMS* rp, const ZLEVMOD* m, QXHandle* h)
{
    QXPoolh kp = rp->qxPool;
    const int nclas = m->clas.n;
    const int nth = rp->nThreads;
    static const QXChar avlName[] = {'q', 'x', 'e', 'a', 'v', 'l'};
    rp->qxeavlfh = static_cast<QXEAVL_EXTENSION*>(h->loadExtension(h, avlName, 6, 0));
    if (rp->qxeavlfh == nullptr)
        return false;
    for (int t = 0; t < nth; ++t) {
        ZLEVTHREADPARMS& tp = rp->threadParm[t];
        tp.tree = kalloc<QXEAVLh>(kp, nclas);
        tp.Rawtree = kalloc<QXEAVLh>(kp, nclas);
        tp.nodes = kalloc<char*>(kp, nclas);
        tp.Rawnodes = kalloc<char*>(kp, nclas);
        tp.csize = kalloc<int>(kp, nclas);
        tp.ccnt = kalloc<int>(kp, nclas);
        tp.Rawcsize = kalloc<int>(kp, nclas);
        tp.Rawccnt = kalloc<int>(kp, nclas);
        if (!tp.tree || !tp.Rawtree || !tp.nodes || !tp.Rawnodes || !tp.csize || !tp.ccnt ||
            !tp.Rawcsize || !tp.Rawccnt)
            return false;
        for (int j = 0; j < nclas; ++j) {
            const ZLEVVAR& v = m->clas.v[j];
            tp.csize[j] = 50;
            QXEAVLPARMS fp{static_cast<QXMemSize>(m->maxvlen), offsetof(ZLEVQXNODE, c),
                           QXEAVL_KEY_CHAR, 1};
            tp.tree[j] = rp->qxeavlfh->create(rp->qxeavlfh, &fp, nullptr, nullptr);
            rp->nodesize[j] = round8(static_cast<long>(offsetof(ZLEVQXNODE, c)) + m->maxvlen +
                                     (numeric(v) ? 0 : raw_length(v)));
            rp->nodesize[j] = std::max<int>(rp->nodesize[j], sizeof(ZLEVQXNODE));
            tp.nodes[j] = chunk(tp.qxPool[j], tp.csize[j], rp->nodesize[j]);
            if (!tp.tree[j] || !tp.nodes[j])
                return false;
        }
        for (int j = 0; j < nclas; ++j) {
            const ZLEVVAR& v = m->clas.v[j];
            tp.Rawcsize[j] = 25;
            if (numeric(v)) {
                QXEAVLPARMS rpm{1, offsetof(ZLEVQXRNODE, key), QXEAVL_KEY_DOUBLE_MISS, 1};
                tp.Rawtree[j] = rp->qxeavlfh->create(rp->qxeavlfh, &rpm, nullptr, nullptr);
                rp->rnodesize[j] = round8(static_cast<long>(offsetof(ZLEVQXRNODE, c)) + v.vlen);
                rp->rnodesize[j] = std::max<int>(rp->rnodesize[j], sizeof(ZLEVQXRNODE));
            } else {
                QXEAVLPARMS rpm{static_cast<QXMemSize>(rp->maxCharLen), offsetof(ZLEVQXRCNODE, c),
                                QXEAVL_KEY_CHAR, 1};
                tp.Rawtree[j] = rp->qxeavlfh->create(rp->qxeavlfh, &rpm, nullptr, nullptr);
                rp->rnodesize[j] =
                    round8(static_cast<long>(offsetof(ZLEVQXRCNODE, c)) + rp->maxCharLen + v.vlen);
                rp->rnodesize[j] = std::max<int>(rp->rnodesize[j], sizeof(ZLEVQXRCNODE));
            }
            tp.Rawnodes[j] = chunk(tp.qxRawPool[j], tp.Rawcsize[j], rp->rnodesize[j]);
            if (!tp.Rawtree[j] || !tp.Rawnodes[j])
                return false;
        }
        if (rp->maxCharLen > 0) {
            tp.key = kalloc<char>(kp, rp->maxCharLen);
            if (!tp.key)
                return false;
        }
    }
    if (rp->clefFlag) {
        static const QXChar aaName[] = {'q', 'x', 'e', 'a', 'a'};
        rp->qxeaa = static_cast<QXEAA_EXTENSION*>(h->loadExtension(h, aaName, 5, 0));
        if (rp->qxeaa == nullptr)
            return false;
    }
    return true;
}

// Records per buffer, and each worker's buffer of them (with room for the
// level indexes when the caller reads them). The memory amount is in bytes
// and is used as given.
bool make_buffers(ZLEVREGI* r, ZLEV* l, ZLEVREADPARMS* rp)
{
    ZLEVMOD* m = r->m;
    QXPoolh kp = rp->qxPool;
    const int nclas = m->clas.n;
    const int nth = rp->nThreads;
    double amount = 0;
    wmrlmem(&amount, 0);
    const double M = amount;
    double D = static_cast<double>(rp->RecLen) * nth;
    if (l->GetLevIndex)
        D = static_cast<double>(rp->RecLen + nclas) * nth;
    if (rp->nRecMax > 0 && !rp->zlev) {
        if (static_cast<double>(rp->nRecMax) * D > M)
            rp->nRecMax = static_cast<long>(M / D);
        rp->nRecMax = std::max(rp->nRecMax, 1L);
    } else {
        const long C = static_cast<long>(M / (D * 5.0));
        long N = 0;
        xoinfo(r->d->fid, 3, &N);
        long per;
        if (N < 1)
            per = 1000;
        else if (N < 200000)
            per = N / (2L * nth);
        else
            per = N / (4L * nth);
        rp->nRecMax = std::max(std::min(per, C), 20L);
    }
    rp->buffer = kalloc<ZLEVBUFFER>(kp, nth);
    if (!rp->buffer)
        return false;
    for (int t = 0; t < nth; ++t) {
        ZLEVBUFFER& b = rp->buffer[t];
        rp->threadParm[t].buffer = &b;
        b.nodesize = rp->nodesize;
        b.rnodesize = rp->rnodesize;
        b.offsets = rp->offsets;
        b.lengths = rp->lengths;
        b.RecLen = rp->RecLen;
        b.nRecMax = rp->nRecMax;
        b.index = t;
        b.m = m;
        b.l = l;
        b.all = static_cast<char*>(
            kp->alloc(kp, static_cast<QXMemSize>(b.nRecMax) * static_cast<QXMemSize>(b.RecLen), 0));
        if (!b.all)
            return false;
        b.curr = b.all;
        if (l->GetLevIndex) {
            b.levindex = static_cast<unsigned char*>(kp->alloc(
                kp, static_cast<QXMemSize>(nclas) * static_cast<QXMemSize>(b.nRecMax), 0));
            if (!b.levindex)
                return false;
        }
    }
    return true;
}

// One formatter per worker, each formatting every variable at the width the
// host's formatted read uses (-1), so that a worker's text is the task
// thread's text before both are cut to vlen.
bool make_formatters(ZLEVREGI* r, ZLEVREADPARMS* rp)
{
    ZLEVMOD* m = r->m;
    const int nclas = m->clas.n;
    int* list = static_cast<int*>(zlevAlloc(r->d->pool, nclas * sizeof(int)));
    for (int j = 0; j < nclas; ++j)
        list[j] = m->clas.v[j].n->nvar0;
    int st = 0;
    rp->nqvfmt = znqvfmt(r->d->fid, list, nclas, rp->nThreads, &st, -1);
    vmfree_handler(r->d->pool, list, -1, 4);
    if (rp->nqvfmt == nullptr || st != 0)
        return false;
    for (int t = 0; t < rp->nThreads; ++t)
        rp->threadParm[t].fmt = &rp->nqvfmt->fmt[t];
    return true;
}

} // namespace

int zlevrinit(ZLEVREGI* r, ZLEV* l)
{
    ZLEVMOD* m = r->m;
    ZLEVREADPARMS* rp = r->readParm;
    auto fail = [&]() {
        r->threading = 0;
        if (rp) {
            rp->nThreads = 0;
            rp->rc = 1;
        }
        return 0;
    };
    if (!r->threading || m->clas.n < 1)
        return fail();
    for (int j = 0; j < m->clas.n; ++j)
        if (m->clas.v[j].n == nullptr || m->clas.v[j].n->nvar0 < 1)
            return fail();
    if (rp == nullptr) {
        rp = static_cast<ZLEVREADPARMS*>(zlevAlloc(xtaskpool(), sizeof(ZLEVREADPARMS)));
        rp->zlev = 1;
        r->readParm = rp;
    }
    rp->rc = 0;
    rp->clefFlag = 0;
    rp->LLoad = 0;
    rp->ThreadLoad = 0;
    rp->ELoad = 0;
    l->readParm = rp;
    if (rp->zlev || rp->nThreads < 1) {
        char threads = 0;
        int cpucount = 0;
        zquerythreads(&threads, &cpucount);
        if (!threads)
            return fail();
        rp->nThreads = 2 * cpucount;
    }
    // The workers are tasks of the host's thread pool beside the task that
    // reads, so no more of them can run at once than the pool has threads.
    const int room = static_cast<int>(vyr::pool_width()) - 1;
    rp->nThreads = std::min(rp->nThreads, room);
    if (rp->nThreads < 1)
        return fail();
    rp->clefFlag = rp->moreCalls == 1 ? 1 : 0;
    for (int e = 0; e < m->nef && !rp->clefFlag; ++e)
        if (m->ef[e].nclas > 0)
            rp->clefFlag = 1;

    QXHandle* h = Exported_QXHandle;
    if (h == nullptr)
        return fail();
    rp->qxPool = kernel_pool(h, "Levelize pool");
    if (rp->qxPool == nullptr)
        return fail();
    // From here on a failure releases what was made.
    auto abandon = [&]() {
        CleanupLThreads(rp, m, 1);
        return fail();
    };
    if (!make_workers(rp, m, h))
        return abandon();
    rp->ThreadLoad = 1;
    if (!lay_out_records(rp, m) || !make_trees(rp, m, h) || !make_buffers(r, l, rp))
        return abandon();

    // The workers cut formatted values to vlen as the task thread's
    // formatted read does; the note on it is the same on both roads.
    for (int j = 0; j < m->clas.n; ++j)
        zlevTruncNote(&m->clas.v[j]);

    if (!make_formatters(r, rp))
        return abandon();
    rp->LLoad = 1;
    return 1;
}

// ---------------------------------------------------------------------------
// Default readers: straight from the data set.

int GetInit(ZLEV* l, ZLEVMOD* m)
{
    auto* fid = static_cast<DSHANDLE*>(l->p);
    for (int j = 0; j < m->clas.n; ++j) {
        const NAMESTR* n = m->clas.v[j].n;
        if (n && n->nvar0 > 0)
            xffile(fid, 70, &n->nvar0, 1);
    }
    return xbyrwnd(fid, 66) != 0 ? 1 : 0;
}

int GetNext(ZLEV* l, ZLEVMOD* /*m*/)
{
    auto* fid = static_cast<DSHANDLE*>(l->p);
    if (fid == nullptr)
        return 0;
    XO_PARMS parms;
    parms.ds = fid;
    const int rc = xybyget(&parms);
    if (rc == 0)
        return 1;
    xofprc(&parms, rc, 1);
    return 0;
}

int GetVals(ZLEV* l, ZLEVMOD* m)
{
    auto* fid = static_cast<DSHANDLE*>(l->p);
    for (int k = 0; k < m->cont.n; ++k)
        if (m->cont.v[k].n)
            xvget1f(fid, m->cont.v[k].n->nvar0, &l->x[k]);
    int kx = 0, kc = 0;
    for (int j = 0; j < m->clas.n; ++j) {
        ZLEVVAR& v = m->clas.v[j];
        if (v.n == nullptr)
            continue;
        zlevTruncNote(&v);
        xvget1v(fid, v.n->nvar0, v.vlen, l->c[j]);
        if (numeric(v))
            xvget1f(fid, v.n->nvar0, &l->xc[kx++]);
        else {
            xvget1c(fid, v.n->nvar0, l->cc[kc].l, l->cc[kc].s);
            ++kc;
        }
    }
    if (m->fvar && m->fvar->n)
        xvget1f(fid, m->fvar->n->nvar0, &m->fval);
    return 1;
}

int Stringjl(char* s, int len)
{
    int k = 0;
    while (k < len && s[k] == ' ')
        ++k;
    if (k > 0 && k < len) {
        std::memmove(s, s + k, static_cast<size_t>(len - k));
        std::memset(s + len - k, ' ', static_cast<size_t>(k));
    }
    return k == len ? 0 : k;
}
