// The effect-level pass on worker threads, and the reader's teardown.
//
// After a threaded levelization has found the levels of the classification
// variables, the reader finds which level combinations each effect has in
// the data. One member of a pool team reads: it positions every
// observation, reads its unformatted class values, finds each value's level
// in worker 0's value trees (left by the levelizer; a value not found there
// is looked up by its formatted value, as the single-thread pass does),
// decides by the very rules of the single-thread pass (zlevObsStatus)
// whether the observation is kept, and appends the kept observation's level
// indexes to a buffer. A full buffer goes to its worker by posting the
// worker's buffer-full event; each worker inserts its records into trees of
// its own, one per effect. A worker empties its buffer before it clears the
// event and then posts the shared idle event, on which a reader that finds
// no idle worker blocks (no busy polling). At the end of the data the last
// buffer is handed over, empty or not, the reader waits for every worker to
// be idle and posts their done events; the task thread then merges the
// workers' trees. A worker that fails posts its error event; the pass is
// then abandoned and the caller finds the combinations again on the task
// thread, with a note. Being told the pass is over is not a failure.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_message_names.h"
#include "vyr_pool.h"

namespace
{

int round8(long n)
{
    return static_cast<int>((n + 7) / 8 * 8);
}

bool numeric(const ZLEVVAR& v)
{
    return v.n == nullptr || v.n->ntype == 1;
}

bool posted(QXEventh e)
{
    QXBoolean p = 0;
    if (e)
        e->test(e, &p, nullptr);
    return p != 0;
}

uint32_t posted_code(QXEventh e)
{
    uint32_t code = 0;
    e->test(e, nullptr, &code);
    return code;
}

void wait_one(QXEventh e)
{
    size_t which = 1;
    qxWait(nullptr, 1, &e, &which, 0, 0);
}

void destroy_tree(QXEAVLh* t)
{
    if (*t == nullptr)
        return;
    QXEAVLh tree = *t;
    tree->lockGet(tree);
    tree->head = nullptr;
    tree->lockRelease(tree);
    tree->hdr.destroy(tree);
    *t = nullptr;
}

void destroy_pool(QXPoolh* p)
{
    if (*p == nullptr)
        return;
    (*p)->hdr.destroy(*p);
    *p = nullptr;
}

void destroy_event(QXEventh* e)
{
    if (*e == nullptr)
        return;
    (*e)->hdr.destroy(*e);
    *e = nullptr;
}

template <typename T> T* kalloc(QXPoolh pool, long n)
{
    return static_cast<T*>(
        pool->alloc(pool, static_cast<QXMemSize>(n > 0 ? n : 1) * sizeof(T), 0x80000000u));
}

// A chunk of effect-tree nodes; null when the pool cannot supply it.
char* echunk(QXPoolh pool, int count, int size)
{
    ZLEVTESTHOOKS& hooks = zlevTestHooks();
    const long at = hooks.effFailChunkAt.load();
    if (at > 0 && hooks.effChunks.fetch_add(1) + 1 == at)
        return nullptr;
    return static_cast<char*>(pool->alloc(
        pool, static_cast<QXMemSize>(count) * static_cast<QXMemSize>(size), 0x80000000u));
}

// Destroys every worker's effect trees and their node pools.
void destroy_effect_trees(ZLEVREADPARMS* rp)
{
    if (rp->threadParm == nullptr)
        return;
    for (int t = 0; t < rp->nThreads; ++t) {
        ZLEVTHREADPARMS& tp = rp->threadParm[t];
        for (int e = 0; e < rp->nTrees; ++e) {
            if (tp.etree)
                destroy_tree(&tp.etree[e]);
            if (tp.eqxPool)
                destroy_pool(&tp.eqxPool[e]);
        }
        tp.etree = nullptr;
        tp.enodes = nullptr;
        tp.ecsize = nullptr;
        tp.eccnt = nullptr;
    }
}

// The worker's exception handler: back to the worker's saved context.
int EffectMathError(QXThreadh thread, void* appptr, int code)
{
    auto* tp = static_cast<ZLEVTHREADPARMS*>(appptr);
    tp->code = code + 1;
    thread->restoreCtxt(thread, tp->JumpBuffer);
    return QXTH_ResetContext;
}

QXThreadh current_thread(QXHandle* h)
{
    QXThreadh th = h->threadGetHandle(h);
    return th ? th : h->defaultThread;
}

// Blocks until the worker's buffer is full (0) or the pass is over (1); 2
// when the wait itself fails.
int wait_work(QXThreadh th, ZLEVTHREADPARMS* tp)
{
    QXEventh evs[2] = {tp->bufferFullEvent, tp->doneEvent};
    size_t which = 2;
    if (qxWait(th, 2, evs, &which, 0, 0) != QX_OK || which >= 2)
        return 2;
    return posted(tp->doneEvent) ? 1 : 0;
}

// The reading member of the pass.
struct Reader {
    ZLEVREGI* r;
    ZLEVREADPARMS* rp;
    double* y;
    double* w;
    double* f;
    int W = 0;
    bool failed = false;
    uint32_t code = 0;

    bool worker_failed(int k)
    {
        QXEventh e = rp->threadParm[k].errorEvent;
        if (!posted(e))
            return false;
        failed = true;
        code = posted_code(e);
        return true;
    }

    int free_buffer()
    {
        for (;;) {
            rp->idleEvent->clear(rp->idleEvent);
            for (int k = 0; k < W; ++k) {
                if (worker_failed(k))
                    return -1;
                if (!posted(rp->threadParm[k].bufferFullEvent)) {
                    ZLEVBUFFER& b = rp->buffer[k];
                    b.nRec = 0;
                    b.curr = b.all;
                    return k;
                }
            }
            wait_one(rp->idleEvent);
        }
    }

    bool all_idle()
    {
        for (;;) {
            rp->idleEvent->clear(rp->idleEvent);
            bool busy = false;
            for (int k = 0; k < W; ++k) {
                if (worker_failed(k))
                    return false;
                busy = busy || posted(rp->threadParm[k].bufferFullEvent);
            }
            if (!busy)
                return true;
            wait_one(rp->idleEvent);
        }
    }

    void hand_over(int k)
    {
        ++rp->buffer[k].nFills;
        zlevTestHooks().effHandovers.fetch_add(1, std::memory_order_relaxed);
        QXEventh e = rp->threadParm[k].bufferFullEvent;
        e->post(e, 0);
    }

    void run()
    {
        rp->eworkers = W;
        if (W == 0)
            return;
        int cur = 0;
        for (;;) {
            ZLEVBUFFER& b = rp->buffer[cur];
            if (AddToBuffer(r, y, w, f, &b))
                break;
            if (b.nRec >= b.nRecMax) {
                hand_over(cur);
                cur = free_buffer();
                if (cur < 0)
                    return;
            }
        }
        hand_over(cur);
        all_idle();
    }

    void finish()
    {
        for (int k = 0; k < rp->nThreads; ++k) {
            QXEventh e = rp->threadParm[k].doneEvent;
            e->post(e, 0);
        }
    }
};

} // namespace

int zlev_failure_number(int code)
{
    // The first nine codes, then three more, have lines of their own in
    // that order; any other failure has the general one.
    const int ex = code - 1;
    if (ex >= 0 && ex <= 8)
        return msg174::WORKER_UNKNOWN_EXCEPTION + ex;
    if (ex >= 10 && ex <= 12)
        return msg174::WORKER_DOMAIN_ERROR + (ex - 10);
    return msg174::WORKER_STOPPED;
}

int ThreadInit(ZLEVREGI* r)
{
    ZLEVREADPARMS* rp = r->readParm;
    ZLEVMOD* m = r->m;
    if (rp == nullptr || !r->threading || m->clas.n == 0 || rp->nThreads == 0 || !rp->LLoad ||
        rp->threadParm == nullptr || rp->buffer == nullptr || rp->qxPool == nullptr ||
        rp->qxeavlfh == nullptr)
        return 0;
    int nTE = 0;
    for (int e = 0; e < m->nef; ++e)
        nTE += m->ef[e].nclas > 0 ? 1 : 0;
    QXHandle* h = Exported_QXHandle;
    if (nTE == 0 || h == nullptr)
        return 0;
    QXPoolh kp = rp->qxPool;
    const int nth = rp->nThreads;
    const int nclas = m->clas.n;
    auto fail = [&]() {
        CleanupEThreads(r);
        return 0;
    };
    // Structures left by an earlier pass whose workers were kept are made
    // anew; the events stay.
    destroy_effect_trees(rp);
    rp->nTrees = nTE;
    rp->enodesize = kalloc<int>(kp, nTE);
    rp->etreeEffect = kalloc<int>(kp, nTE);
    if (!rp->enodesize || !rp->etreeEffect)
        return fail();
    for (int e = 0, t = 0; e < m->nef; ++e)
        if (m->ef[e].nclas > 0) {
            rp->etreeEffect[t] = e;
            rp->enodesize[t] =
                round8(static_cast<long>(offsetof(ZLEVQXENODE, c)) + 4L * m->ef[e].nclas + 8);
            ++t;
        }
    if (!rp->idleEvent && !(rp->idleEvent = h->eventCreate(h, 0, nullptr)))
        return fail();
    // The raw class values of the observation at hand: the numeric ones one
    // after another, the character ones each in a buffer of its stored
    // length, in class-list order.
    if (!rp->xc)
        rp->xc = kalloc<double>(kp, nclas);
    if (!rp->cc) {
        rp->cc = kalloc<ZLEVSTR>(kp, nclas);
        if (rp->cc)
            for (int j = 0, k = 0; j < nclas; ++j) {
                const ZLEVVAR& v = m->clas.v[j];
                if (numeric(v))
                    continue;
                rp->cc[k].l = v.n ? vyr_namestr_length(*v.n) : 8;
                rp->cc[k].s = kalloc<char>(kp, rp->cc[k].l);
                if (!rp->cc[k++].s)
                    return fail();
            }
    }
    if (!rp->xc || !rp->cc)
        return fail();
    rp->ThreadLoad = 1;
    for (int t = 0; t < nth; ++t) {
        ZLEVTHREADPARMS& tp = rp->threadParm[t];
        for (QXEventh* e : {&tp.bufferFullEvent, &tp.errorEvent, &tp.exitEvent, &tp.doneEvent})
            if (*e == nullptr && (*e = h->eventCreate(h, 0, nullptr)) == nullptr)
                return fail();
        tp.eqxPool = kalloc<QXPoolh>(kp, nTE);
        tp.etree = kalloc<QXEAVLh>(kp, nTE);
        tp.enodes = kalloc<char*>(kp, nTE);
        tp.ecsize = kalloc<int>(kp, nTE);
        tp.eccnt = kalloc<int>(kp, nTE);
        tp.rg = kalloc<int>(kp, nclas);
        if (!tp.eqxPool || !tp.etree || !tp.enodes || !tp.ecsize || !tp.eccnt || !tp.rg ||
            !tp.JumpBuffer)
            return fail();
        for (int e = 0; e < nTE; ++e) {
            const ZLEVETRM& ef = m->ef[rp->etreeEffect[e]];
            tp.eqxPool[e] = h->poolCreate(h, "Effect levels", 0x10000001u, 0, 0);
            if (!tp.eqxPool[e])
                return fail();
            tp.ecsize[e] = 50;
            QXEAVLPARMS parms{static_cast<QXMemSize>(ef.nclas), offsetof(ZLEVQXENODE, c),
                              QXEAVL_KEY_INT, 1};
            tp.etree[e] = rp->qxeavlfh->create(rp->qxeavlfh, &parms, nullptr, nullptr);
            tp.enodes[e] = echunk(tp.eqxPool[e], tp.ecsize[e], rp->enodesize[e]);
            if (!tp.etree[e] || !tp.enodes[e])
                return fail();
        }
    }
    rp->eRecLen = 4 * nclas;
    for (int t = 0; t < nth; ++t) {
        ZLEVBUFFER& b = rp->buffer[t];
        if (b.all == nullptr || b.nRecMax < 1 || b.RecLen < rp->eRecLen)
            return fail();
        rp->threadParm[t].buffer = &b;
        b.m = m;
        b.nRec = 0;
        b.curr = b.all;
        b.nFills = 0;
    }
    rp->ELoad = 1;
    return 1;
}

int AddToBuffer(ZLEVREGI* r, double* y, double* w, double* f, ZLEVBUFFER* buf)
{
    if (!r->GetNext(r))
        return 1;
    ZLEVMOD* m = r->m;
    ZLEVDAT* d = r->d;
    ZLEVREADPARMS* rp = r->readParm;
    const int nclas = m->clas.n;
    ZLEVSTR* packed = rp->cc;
    r->GetVals(r, "zubywf", r->z, rp->xc, packed, y, w, f);
    ++rp->obscnt;
    int* lev = nullptr;
    if (r->GetLevIndex) {
        lev = static_cast<int*>(zlevAlloc(d->pool, static_cast<long>(nclas) * sizeof(int)));
        r->GetLevIndex(lev, m->userptr);
    }
    const ZLEVINMODEL* im = m->inmodel;
    ZLEVTHREADPARMS& t0 = rp->threadParm[0];
    bool formattedRead = false;
    for (int j = 0, kx = 0, kc = 0; j < nclas; ++j) {
        ZLEVVAR& v = m->clas.v[j];
        const bool isNum = numeric(v);
        const double value = isNum ? rp->xc[kx++] : 0;
        const ZLEVSTR* text = isNum ? nullptr : &packed[kc++];
        if ((im && im->check == '1' && im->clas && im->clas[j] == '0') || v.n == nullptr)
            continue;
        int g = -1;
        QXEAVLh raw = t0.Rawtree ? t0.Rawtree[j] : nullptr;
        if (raw) {
            QXEAVLNODE* hit;
            if (isNum) {
                hit = raw->finder(raw, &value);
                if (hit)
                    g = reinterpret_cast<ZLEVQXRNODE*>(hit)->i;
            } else {
                const int len = std::min(text->l, rp->maxCharLen);
                std::memcpy(t0.key, text->s, static_cast<size_t>(len));
                std::memset(t0.key + len, ' ', static_cast<size_t>(rp->maxCharLen - len));
                hit = raw->finder(raw, t0.key);
                if (hit)
                    g = reinterpret_cast<ZLEVQXRCNODE*>(hit)->i;
            }
        }
        if (g < 0) {
            // A value the levelizer did not keep: its formatted value decides.
            if (!formattedRead) {
                r->GetVals(r, "c", r->c);
                formattedRead = true;
                zlevTestHooks().effFallbacks.fetch_add(1, std::memory_order_relaxed);
            }
            g = zlevlwh(d, &v, r->c[j]);
        }
        r->g[j] = g;
    }
    const int status = zlevObsStatus(r, y, w, f, lev);
    if (lev)
        vmfree_handler(d->pool, lev, -1, 4);
    if (!zlevEffectPassKeeps(m, status))
        return 0;
    std::memcpy(buf->curr, r->g, sizeof(int) * static_cast<size_t>(nclas));
    ++buf->nRec;
    buf->curr += rp->eRecLen;
    return 0;
}

int TreeEffects(ZLEVTHREADPARMS* tp)
{
    ZLEVBUFFER* b = tp->buffer;
    ZLEVMOD* m = b->m;
    ZLEVREADPARMS* rp = tp->rp;
    const int nclas = m->clas.n;
    const bool keepAll = (m->opt[1] & ZLEV_OPT1_KEEPALL) != 0;
    ZLEVTESTHOOKS& hooks = zlevTestHooks();
    const long trapAt = hooks.effTrapAtRecord.load();
    QXThreadh th = trapAt > 0 ? current_thread(Exported_QXHandle) : nullptr;
    for (long k = 0; k < b->nRec; ++k) {
        std::memcpy(tp->rg, b->all + k * rp->eRecLen, sizeof(int) * static_cast<size_t>(nclas));
        if (trapAt > 0 && hooks.effRecords.fetch_add(1) + 1 == trapAt)
            th->raiseExcp(th, hooks.effTrapCode.load());
        for (int t = 0; t < rp->nTrees; ++t) {
            const ZLEVETRM& ef = m->ef[rp->etreeEffect[t]];
            if (tp->eccnt[t] >= tp->ecsize[t]) {
                char* c = echunk(tp->eqxPool[t], tp->ecsize[t], rp->enodesize[t]);
                if (c == nullptr)
                    return 1;
                tp->enodes[t] = c;
                tp->eccnt[t] = 0;
            }
            auto* node = reinterpret_cast<ZLEVQXENODE*>(
                tp->enodes[t] + static_cast<size_t>(tp->eccnt[t]) * rp->enodesize[t]);
            node->x = node->c;
            bool negative = false;
            for (int q = 0; q < ef.nnest; ++q)
                negative |= (node->c[q] = tp->rg[ef.nest[q]]) < 0;
            for (int q = 0; q < ef.ncros; ++q)
                negative |= (node->c[ef.nnest + q] = tp->rg[ef.cros[q]]) < 0;
            if (negative && keepAll)
                continue;
            QXEAVLh tree = tp->etree[t];
            if (tree->adder(tree, &node->avln) == &node->avln)
                ++tp->eccnt[t];
        }
    }
    return 0;
}

int ThProcessEffectsBuffer(ZLEVTHREADPARMS* tp)
{
    QXHandle* h = Exported_QXHandle;
    QXThreadh th = current_thread(h);
    if (!tp->MathHandler && th->pushExcp(th, EffectMathError, tp) == QX_OK)
        tp->MathHandler = true;
    for (;;) {
        const int got = wait_work(th, tp);
        if (got == 2) {
            tp->errorEvent->post(tp->errorEvent, ZLEV_WORKER_TRAP);
            break;
        }
        if (got == 1)
            break;
        if (sigsetjmp(*tp->JumpBuffer, 1) != 0) {
            tp->errorEvent->post(tp->errorEvent, ZLEV_WORKER_TRAP);
            break;
        }
        tp->code = 0;
        if (TreeEffects(tp) != 0) {
            tp->errorEvent->post(tp->errorEvent, ZLEV_WORKER_NOMEM);
            break;
        }
        // Every write to the buffer is done before the buffer is given back.
        tp->buffer->nRec = 0;
        tp->buffer->curr = tp->buffer->all;
        tp->bufferFullEvent->clear(tp->bufferFullEvent);
        tp->rp->idleEvent->post(tp->rp->idleEvent, 0);
    }
    tp->rp->idleEvent->post(tp->rp->idleEvent, 0);
    if (tp->MathHandler) {
        th->popExcp(th);
        tp->MathHandler = false;
    }
    if (posted(tp->doneEvent))
        tp->doneEvent->clear(tp->doneEvent);
    return 0;
}

int zlevEffectPassThreaded(ZLEVREGI* r, double* y, double* w, double* f, TREE** roots,
                           POOLHANDLE* pool, int keyoff)
{
    ZLEVREADPARMS* rp = r->readParm;
    ZLEVMOD* m = r->m;
    rp->rc = 0;
    for (int t = 0; t < rp->nThreads; ++t) {
        ZLEVBUFFER& b = rp->buffer[t];
        b.nRec = 0;
        b.curr = b.all;
        b.nFills = 0;
        rp->threadParm[t].code = 0;
        rp->threadParm[t].started = false;
    }
    rp->obscnt = 0;
    rp->mustQuiesce = 1;
    zlevTestHooks().effRecords = 0;
    if (r->GetInit(r) != 0) {
        rp->mustQuiesce = 0;
        return 1;
    }
    Reader reader{r, rp, y, w, f};
    vyr::parallel_team(static_cast<size_t>(rp->nThreads) + 1, [&](size_t i, size_t size) {
        if (i == 0) {
            reader.W = std::min<int>(rp->nThreads, static_cast<int>(size) - 1);
            struct Finish {
                Reader& rd;
                ~Finish() { rd.finish(); }
            } finish{reader};
            reader.run();
            return;
        }
        ZLEVTHREADPARMS* tp = &rp->threadParm[i - 1];
        tp->started = true;
        const int rc = ThProcessEffectsBuffer(tp);
        tp->exitEvent->post(tp->exitEvent, static_cast<uint32_t>(rc));
    });
    rp->mustQuiesce = 0;
    for (int t = 0; t < rp->nThreads; ++t) {
        ZLEVTHREADPARMS& tp = rp->threadParm[t];
        for (QXEventh e : {tp.bufferFullEvent, tp.doneEvent, tp.exitEvent, tp.errorEvent})
            if (posted(e))
                e->clear(e);
    }
    if (reader.W == 0) {
        rp->rc = 1;
        return 1;
    }
    if (reader.failed) {
        rp->rc =
            reader.code == ZLEV_WORKER_NOMEM ? msg174::WORKER_NO_MEMORY : msg174::WORKER_STOPPED;
        for (int t = 0; t < rp->nThreads; ++t)
            if (rp->threadParm[t].code != 0)
                rp->rc = zlev_failure_number(rp->threadParm[t].code);
        // The combinations are found again on the task thread, which gives
        // the same ones: a note, not an error.
        xpmlog(174, msg174::WORKER_FAILED);
        xpmlog(174, rp->rc);
        destroy_effect_trees(rp);
        return 1;
    }
    // The workers' combinations merged into each effect's tree.
    TREE* spare = nullptr;
    for (int t = 0; t < rp->nTrees; ++t) {
        const int e = rp->etreeEffect[t];
        ZLEVETRM& ef = m->ef[e];
        const long nodeLen = keyoff + 4L * ef.nclas;
        for (int k = 0; k < rp->nThreads; ++k) {
            QXEAVLh tree = rp->threadParm[k].etree[t];
            for (QXEAVLNODE* n = tree->first(tree); n; n = tree->next(tree, n)) {
                const auto* node = reinterpret_cast<const ZLEVQXENODE*>(n);
                if (spare == nullptr)
                    spare = static_cast<TREE*>(zlevAlloc(pool, nodeLen));
                std::memcpy(reinterpret_cast<char*>(spare) + keyoff, node->c,
                            4 * static_cast<size_t>(ef.nclas));
                if (ztrebdf(&roots[e], spare, 4 * ef.nclas, keyoff, zlevIntCompare) == spare) {
                    ++ef.nlev;
                    spare = nullptr;
                }
            }
        }
        // A spare of this effect's size is not reused for another effect.
        if (spare) {
            vmfree_handler(pool, spare, -1, 4);
            spare = nullptr;
        }
    }
    destroy_effect_trees(rp);
    return 0;
}

void CleanupEThreads(ZLEVREGI* r)
{
    ZLEVREADPARMS* rp = r ? r->readParm : nullptr;
    if (rp == nullptr)
        return;
    destroy_effect_trees(rp);
    rp->enodesize = nullptr;
    rp->etreeEffect = nullptr;
    rp->nTrees = 0;
    if (rp->moreCalls)
        return; // the events and buffers serve a further pass
    if (rp->threadParm)
        for (int t = 0; t < rp->nThreads; ++t) {
            ZLEVTHREADPARMS& tp = rp->threadParm[t];
            destroy_event(&tp.bufferFullEvent);
            destroy_event(&tp.errorEvent);
            destroy_event(&tp.exitEvent);
            destroy_event(&tp.doneEvent);
            tp.eqxPool = nullptr;
            tp.rg = nullptr;
        }
    rp->ThreadLoad = 0;
    rp->ELoad = 0;
    rp->mustQuiesce = 0;
    rp->xc = nullptr;
    rp->cc = nullptr;
    // What the levelizer kept for this pass (worker 0's value trees, the
    // buffers, the bookkeeping pool and the extensions).
    CleanupLThreads(rp, r->m, 1);
}

// ---------------------------------------------------------------------------
// Teardown.

int zlevtrm(ZLEVREGI* r, int what)
{
    if (r == nullptr)
        return 0;
    ZLEVMOD* m = r->m;
    ZLEVDAT* d = r->d;
    POOLHANDLE* pool = d ? d->pool : nullptr;
    auto release = [&](void* p) {
        if (p && pool)
            vmfree_handler(pool, p, -1, 4);
    };
    if ((what & ZLEV_TRM_LEVELS) && m) {
        for (int e = 0; e < m->nef; ++e) {
            ZLEVETRM& ef = m->ef[e];
            ef.levels = nullptr;
            if (ef.levelsall != ef.levelsnonsing && ef.levelsall != ef.levels)
                release(ef.levelsall);
            release(ef.levelsnonsing);
            release(ef.means);
            ef.levelsall = nullptr;
            ef.levelsnonsing = nullptr;
            ef.means = nullptr;
        }
        for (int j = 0; j < m->clas.n; ++j)
            m->clas.v[j].nlev = 0;
        for (int k = 0; k < m->cont.n; ++k)
            m->cont.v[k].nlev = 0;
        if (!(what & ZLEV_TRM_POOL))
            for (int k = 0; k < m->eft.n; ++k) {
                ZLEVEFTVAR& ev = m->eft.var[k];
                if (ev.type == ZLEV_EFT_POLY && !ev.separateFlag)
                    continue;
                if (ev.levName) {
                    for (int q = 0; q < ev.nparms; ++q)
                        release(ev.levName[q]);
                    release(ev.levName);
                }
                release(ev.levNameLen);
                ev.levName = nullptr;
                ev.levNameLen = nullptr;
            }
        r->n = 0;
        r->maxnlev = 0;
    }
    if (what & ZLEV_TRM_WORK) {
        release(r->g);
        release(r->z);
        if (r->c && m)
            for (int j = 0; j < m->clas.n; ++j)
                release(r->c[j]);
        release(r->c);
        release(r->row);
        release(r->yposcl);
        r->g = nullptr;
        r->z = nullptr;
        r->c = nullptr;
        r->row = nullptr;
        r->yposcl = nullptr;
    }
    if (what & ZLEV_TRM_CALLBACKS) {
        r->fit.GetY = nullptr;
        r->fit.GetW = nullptr;
        r->fit.GetXpX = nullptr;
        r->fit.GetR = nullptr;
        r->fit.GetBeta = nullptr;
        r->fit.GetSSE = nullptr;
        r->fit.GetSST = nullptr;
        r->fit.Test = nullptr;
        r->GetInit = nullptr;
        r->GetNext = nullptr;
        r->GetVals = nullptr;
        r->GetLevIndex = nullptr;
        r->CheckOMData = nullptr;
        r->InterruptRgx = nullptr;
    }
    if (what & ZLEV_TRM_FIT)
        r->fit = ZLEVFITI{};
    if ((what & ZLEV_TRM_DATA) && d) {
        release(d->buf);
        release(d->bufnof);
        d->buf = nullptr;
        d->bufnof = nullptr;
        if (d->xvd)
            xvgett(d->xvd);
        if (d->xvdnof)
            xvgett(d->xvdnof);
        d->xvd = nullptr;
        d->xvdnof = nullptr;
        r->p = nullptr;
    }
    if (what & ZLEV_TRM_THREADS) {
        if (ZLEVREADPARMS* rp = r->readParm) {
            rp->moreCalls = 0;
            CleanupEThreads(r);
            if (rp->zlev)
                vmfree_handler(xtaskpool(), rp, -1, 4);
            r->readParm = nullptr;
        }
    }
    if ((what & ZLEV_TRM_POOL) && d) {
        if (m)
            m->inmodel = nullptr;
        if (d->pool)
            xmpoold(d->pool);
        d->pool = nullptr;
    }
    return 0;
}
