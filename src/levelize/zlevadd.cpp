// Levelization of one BY group: on the task thread alone (zlevad1), or with
// worker tasks on the host's thread pool. In the threaded pass one member of
// a pool team reads: it copies each observation's unformatted class values
// into fixed-length records of a buffer and hands a full buffer to an idle
// worker by posting that worker's buffer-full event; each worker formats the
// values and builds trees of its own. A buffer belongs to the reader while
// its worker's buffer-full event is clear and to the worker while it is
// posted; the worker empties the buffer before it clears the event and then
// posts the shared idle event, on which a reader that finds no idle worker
// blocks. After the last buffer the reader waits (blocking) for every
// worker to be idle and posts their done events; the task thread then merges
// the workers' trees into the level trees. A failed worker, or a merge that
// runs out of memory, abandons the threaded pass and the BY group is read
// again on the task thread, which gives the same levels: every rule that
// decides a level, its frequency, its first appearance and its unformatted
// value is applied alike on both roads and does not depend on which worker
// saw which value.
#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_message_names.h"
#include "vyr_pool.h"

namespace
{

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

// The smallest and largest non-missing continuous values.
void cont_range(ZLEV* l, ZLEVMOD* m)
{
    for (int k = 0; k < m->cont.n; ++k) {
        const double v = l->x[k];
        if (wzmis(v))
            continue;
        l->xmin[k] = std::min(l->xmin[k], v);
        l->xmax[k] = std::max(l->xmax[k], v);
    }
}

// The reading member of a threaded pass.
struct Reader {
    DSHANDLE* fid;
    ZLEV* l;
    ZLEVMOD* m;
    ZLEVREADPARMS* rp;
    int W = 0;           // workers that run
    bool failed = false; // a worker posted its error event
    uint32_t code = 0;   // the code it posted
    bool startFailed = false;

    bool worker_failed(int k)
    {
        QXEventh e = rp->threadParm[k].errorEvent;
        if (!posted(e))
            return false;
        failed = true;
        code = posted_code(e);
        return true;
    }

    // An idle worker's buffer to fill next, or -1 after a worker failed.
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

    // Waits until every worker has emptied its buffer; false after a failure.
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
        ZLEVTESTHOOKS& hooks = zlevTestHooks();
        hooks.handovers.fetch_add(1, std::memory_order_relaxed);
        if (rp->buffer[k].nRec == 0)
            hooks.emptyHandovers.fetch_add(1, std::memory_order_relaxed);
        QXEventh e = rp->threadParm[k].bufferFullEvent;
        e->post(e, 0);
    }

    void run()
    {
        rp->workers = W;
        if (W == 0)
            return;
        if (l->GetInit(l, m) != 0) {
            startFailed = true;
            return;
        }
        int cur = 0;
        for (;;) {
            ZLEVBUFFER& b = rp->buffer[cur];
            if (AddToBuffer(fid, l, m, &b))
                break;
            if (b.nRec >= b.nRecMax) {
                hand_over(cur);
                cur = free_buffer();
                if (cur < 0)
                    return;
            }
        }
        // The last buffer goes too, empty or not.
        hand_over(cur);
        all_idle();
    }

    // Tells every worker, started or not, that the pass is over.
    void finish()
    {
        for (int k = 0; k < rp->nThreads; ++k) {
            QXEventh e = rp->threadParm[k].doneEvent;
            e->post(e, 0);
        }
    }

    static int AddToBuffer(DSHANDLE* fid, ZLEV* l, ZLEVMOD* m, ZLEVBUFFER* buf);
};

int Reader::AddToBuffer(DSHANDLE* /*fid*/, ZLEV* l, ZLEVMOD* m, ZLEVBUFFER* buf)
{
    if (!l->GetNext(l, m))
        return 1;
    l->GetVals(l, m);
    ZLEVREADPARMS* rp = l->readParm;
    ++rp->obscnt;
    if (l->GetLevIndex && !l->GetLevIndex(l, m))
        return 0;
    if (!zlevUsable(l, m, l->xc, l->cc, l->x))
        return 0;
    char* rec = buf->curr;
    const VYRNOBS obs = rp->obscnt;
    std::memcpy(rec, &obs, sizeof obs);
    if (m->fvar)
        std::memcpy(rec + 8, &m->fval, sizeof(double));
    for (int k = 0; k < l->nxc; ++k)
        std::memcpy(rec + buf->offsets[l->ixc[k]], &l->xc[k], sizeof(double));
    for (int k = 0; k < l->ncc; ++k)
        std::memcpy(rec + buf->offsets[l->icc[k]], l->cc[k].s, static_cast<size_t>(l->cc[k].l));
    if (buf->levindex) {
        unsigned char* lv = buf->levindex + static_cast<size_t>(buf->nRec) * m->clas.n;
        for (int j = 0; j < m->clas.n; ++j)
            lv[j] = l->levelize[j] ? 1 : 0;
    }
    ++buf->nRec;
    buf->curr += buf->RecLen;
    cont_range(l, m);
    return 0;
}

QXThreadh current_thread(QXHandle* h)
{
    QXThreadh th = h->threadGetHandle(h);
    return th ? th : h->defaultThread;
}

// The next free node of a worker's chunk list; a new chunk when the current
// one is used up. Null when no chunk can be had.
char* next_node(char** chunkp, int* cnt, int csize, int size, QXPoolh pool)
{
    if (*cnt >= csize) {
        char* c = zlevChunk(pool, csize, size);
        if (c == nullptr)
            return nullptr;
        *chunkp = c;
        *cnt = 0;
    }
    return *chunkp + static_cast<size_t>(*cnt) * static_cast<size_t>(size);
}

// Levelizes the records of a worker's buffer into its trees: 0, or 1 when a
// node chunk cannot be had or a value cannot be formatted.
int LevelizeBuffer(ZLEVTHREADPARMS* tp, QXThreadh th)
{
    ZLEVBUFFER* b = tp->buffer;
    ZLEVMOD* m = b->m;
    ZLEVREADPARMS* rp = tp->rp;
    const int nclas = m->clas.n;
    const int maxvlen = m->maxvlen;
    ZLEVTESTHOOKS& hooks = zlevTestHooks();
    const long trapAt = hooks.trapAtRecord.load();
    for (long k = 0; k < b->nRec; ++k) {
        const char* rec = b->all + k * b->RecLen;
        VYRNOBS obs;
        std::memcpy(&obs, rec, sizeof obs);
        double fv = 0;
        if (m->fvar)
            std::memcpy(&fv, rec + 8, sizeof fv);
        const VYRNOBS weight = zlevWeight(m->fvar != nullptr, fv);
        if (trapAt > 0 && obs == trapAt)
            th->raiseExcp(th, hooks.trapCode.load());
        for (int j = 0; j < nclas; ++j) {
            ZLEVVAR& v = m->clas.v[j];
            if (v.n == nullptr)
                continue;
            if (b->levindex && !b->levindex[static_cast<size_t>(k) * nclas + j])
                continue;
            const char* value = rec + b->offsets[j];
            const int len = b->lengths[j];
            const bool isNum = numeric(v);
            double d = 0;
            bool missing;
            if (isNum) {
                std::memcpy(&d, value, sizeof d);
                missing = wzmis(d) != 0;
            } else {
                missing = vzabl(' ', value, len) != 0;
            }
            if (zlevSkipValue(&v, m, missing))
                continue;
            // The raw value seen before by this worker: its level is known.
            const char* key = value;
            if (!isNum && len < rp->maxCharLen) {
                std::memcpy(tp->key, value, static_cast<size_t>(len));
                std::memset(tp->key + len, ' ', static_cast<size_t>(rp->maxCharLen - len));
                key = tp->key;
            }
            QXEAVLh raw = tp->Rawtree[j];
            QXEAVLNODE* hit = raw->finder(raw, isNum ? static_cast<const void*>(&d) : key);
            if (hit) {
                ZLEVQXNODE* f = isNum ? reinterpret_cast<ZLEVQXRNODE*>(hit)->f
                                      : reinterpret_cast<ZLEVQXRCNODE*>(hit)->f;
                f->freq += weight;
                if (isNum && zlevLowerTrue(d, f->z))
                    f->z = d;
                continue;
            }
            char* rn = next_node(&tp->Rawnodes[j], &tp->Rawccnt[j], tp->Rawcsize[j],
                                 rp->rnodesize[j], tp->qxRawPool[j]);
            if (rn == nullptr)
                return 1;
            std::memset(rn, 0, static_cast<size_t>(rp->rnodesize[j]));
            char* copy;
            ZLEVQXNODE** fslot;
            if (isNum) {
                auto* r = reinterpret_cast<ZLEVQXRNODE*>(rn);
                r->key = d;
                copy = r->c;
                fslot = &r->f;
            } else {
                auto* r = reinterpret_cast<ZLEVQXRCNODE*>(rn);
                std::memcpy(r->c, key, static_cast<size_t>(rp->maxCharLen));
                r->x = r->c + rp->maxCharLen;
                copy = r->x;
                fslot = &r->f;
            }
            raw->adder(raw, reinterpret_cast<QXEAVLNODE*>(rn));
            ++tp->Rawccnt[j];
            // Format the value as the task thread's formatted read does.
            ZNQVFMT* fmt = tp->fmt;
            if (isNum) {
                fmt->numvalin = d;
            } else {
                std::memcpy(fmt->stringin, value, static_cast<size_t>(len));
                fmt->stringinl = len;
            }
            if (QXFormatToNQV(fmt, j) != ZNQV_OK)
                return 1;
            char* fn = next_node(&tp->nodes[j], &tp->ccnt[j], tp->csize[j], rp->nodesize[j],
                                 tp->qxPool[j]);
            if (fn == nullptr)
                return 1;
            auto* spare = reinterpret_cast<ZLEVQXNODE*>(fn);
            std::memset(spare->c, ' ', static_cast<size_t>(maxvlen));
            zlevCutFormatted(fmt->c, static_cast<long>(fmt->toprintl), isNum, spare->c, v.vlen);
            QXEAVLh tree = tp->tree[j];
            auto* f = reinterpret_cast<ZLEVQXNODE*>(
                tree->adder(tree, reinterpret_cast<QXEAVLNODE*>(spare)));
            if (f == spare) {
                if (isNum) {
                    f->z = d;
                } else {
                    f->s = f->c + maxvlen;
                    std::memcpy(f->s, value, static_cast<size_t>(len));
                    f->l = len;
                }
                f->freq = weight;
                f->order = obs;
                f->x = f->c;
                ++tp->ccnt[j];
            } else {
                f->freq += weight;
                f->order = std::min(f->order, obs);
                if (isNum) {
                    if (zlevLowerTrue(d, f->z))
                        f->z = d;
                } else if (std::memcmp(value, f->s, static_cast<size_t>(len)) < 0) {
                    std::memcpy(f->s, value, static_cast<size_t>(len));
                }
            }
            *fslot = f;
            if (rp->clefFlag) {
                std::memcpy(copy, f->c, static_cast<size_t>(v.vlen));
                if (!v.nojust)
                    wzstjls(copy, v.vlen, 'l', nullptr, nullptr);
            }
        }
    }
    return 0;
}

// The worker's exception handler: back to the worker's saved context.
int ZLEVMathError(QXThreadh thread, void* appptr, int code)
{
    auto* tp = static_cast<ZLEVTHREADPARMS*>(appptr);
    tp->code = code + 1;
    thread->restoreCtxt(thread, tp->JumpBuffer);
    return QXTH_ResetContext;
}

// A worker: levelizes each buffer handed to it until it is told the pass is
// over. A failure is posted on its error event; ending normally posts none.
// Blocks until the worker's buffer is full (0) or the pass is over (1); 2
// when the wait itself fails.
int wait_work(QXThreadh th, ZLEVTHREADPARMS* tp)
{
    QXEventh evs[2] = {tp->bufferFullEvent, tp->doneEvent};
    size_t which = 2;
    if (qxWait(th, 2, evs, &which, 0, 0) != QX_OK || which >= 2)
        return 2;
    // The done event wins over a full buffer.
    return posted(tp->doneEvent) ? 1 : 0;
}

int ThProcessBuffer(ZLEVTHREADPARMS* tp)
{
    QXHandle* h = Exported_QXHandle;
    QXThreadh th = current_thread(h);
    if (!tp->MathHandler && th->pushExcp(th, ZLEVMathError, tp) == QX_OK)
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
        if (LevelizeBuffer(tp, th) != 0) {
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

// A level node of the levelizer's pool for the merge; null when none can be had.
ZLEVNOD* merge_node(ZLEV* l)
{
    ZLEVTESTHOOKS& hooks = zlevTestHooks();
    const long at = hooks.failMergeAt.load();
    if (at > 0 && hooks.merges.fetch_add(1) + 1 == at)
        return nullptr;
    return static_cast<ZLEVNOD*>(vmalcp_handler(l->pool, l->nodesize, 0x2002));
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

// The nodes of a level tree in key order.
void tree_nodes(TREE* p, std::vector<ZLEVNOD*>& out)
{
    std::vector<TREE*> stack;
    while (p || !stack.empty()) {
        while (p) {
            stack.push_back(p);
            p = p->llink;
        }
        p = stack.back();
        stack.pop_back();
        out.push_back(reinterpret_cast<ZLEVNOD*>(p));
        p = p->rlink;
    }
}

// Merges the workers' trees into the level trees: 0, or 1 when a level node
// cannot be had (the levels are then incomplete and the caller drops them).
int TreeMerge(ZLEV* l, ZLEVMOD* m)
{
    ZLEVREADPARMS* rp = l->readParm;
    if (rp == nullptr || rp->nThreads == 0)
        return 0;
    const int nclas = m->clas.n;
    for (int j = 0; j < nclas; ++j)
        l->nlev[j] = 0;
    if (rp->clefFlag) {
        // Every raw value into worker 0's raw tree, for the effect-level pass.
        ZLEVTHREADPARMS& t0 = rp->threadParm[0];
        for (int j = 0; j < nclas; ++j) {
            const bool isNum = numeric(m->clas.v[j]);
            for (int t = 1; t < rp->nThreads; ++t) {
                ZLEVTHREADPARMS& tp = rp->threadParm[t];
                QXEAVLh raw = tp.Rawtree[j];
                if (raw == nullptr)
                    continue;
                for (QXEAVLNODE* n = raw->first(raw); n; n = raw->next(raw, n)) {
                    QXEAVLh r0 = t0.Rawtree[j];
                    const void* key =
                        isNum ? static_cast<const void*>(&reinterpret_cast<ZLEVQXRNODE*>(n)->key)
                              : reinterpret_cast<ZLEVQXRCNODE*>(n)->c;
                    if (r0->finder(r0, key))
                        continue;
                    char* rn = next_node(&t0.Rawnodes[j], &t0.Rawccnt[j], t0.Rawcsize[j],
                                         rp->rnodesize[j], t0.qxRawPool[j]);
                    if (rn == nullptr)
                        return 1;
                    std::memcpy(rn, n, static_cast<size_t>(rp->rnodesize[j]));
                    if (isNum)
                        reinterpret_cast<ZLEVQXRNODE*>(rn)->f = nullptr;
                    else
                        reinterpret_cast<ZLEVQXRCNODE*>(rn)->f = nullptr;
                    if (!isNum)
                        reinterpret_cast<ZLEVQXRCNODE*>(rn)->x =
                            reinterpret_cast<ZLEVQXRCNODE*>(rn)->c + rp->maxCharLen;
                    r0->adder(r0, reinterpret_cast<QXEAVLNODE*>(rn));
                    ++t0.Rawccnt[j];
                }
                destroy_tree(&tp.Rawtree[j]);
                destroy_pool(&tp.qxRawPool[j]);
            }
        }
    }
    for (int j = 0; j < nclas; ++j) {
        ZLEVVAR& v = m->clas.v[j];
        const bool isNum = numeric(v);
        ZLEVNOD* spare = nullptr;
        for (int t = 0; t < rp->nThreads; ++t) {
            ZLEVTHREADPARMS& tp = rp->threadParm[t];
            QXEAVLh tree = tp.tree[j];
            if (tree == nullptr)
                continue;
            for (QXEAVLNODE* n = tree->first(tree); n; n = tree->next(tree, n)) {
                auto* w = reinterpret_cast<ZLEVQXNODE*>(n);
                if (spare == nullptr && (spare = merge_node(l)) == nullptr)
                    return 1;
                std::memcpy(spare->idx, w->c, static_cast<size_t>(v.vlen));
                auto* got =
                    reinterpret_cast<ZLEVNOD*>(ztrebld(&l->head[j], &spare->t, v.vlen, l->offset));
                if (got == spare) {
                    if (isNum) {
                        got->true_.z = w->z;
                    } else {
                        got->true_.c.l = w->l;
                        got->true_.c.s = static_cast<char*>(vmalcp_handler(l->pool, w->l, 0x2002));
                        if (got->true_.c.s == nullptr)
                            return 1;
                        std::memcpy(got->true_.c.s, w->s, static_cast<size_t>(w->l));
                    }
                    got->freq = w->freq;
                    got->order = w->order;
                    ++l->nlev[j];
                    spare = nullptr;
                } else {
                    got->freq += w->freq;
                    got->order = std::min(got->order, w->order);
                    if (isNum) {
                        if (zlevLowerTrue(w->z, got->true_.z))
                            got->true_.z = w->z;
                    } else if (std::memcmp(w->s, got->true_.c.s, static_cast<size_t>(w->l)) < 0) {
                        std::memcpy(got->true_.c.s, w->s, static_cast<size_t>(w->l));
                    }
                }
            }
            destroy_tree(&tp.tree[j]);
            destroy_pool(&tp.qxPool[j]);
        }
        if (spare)
            vmfree_handler(l->pool, spare, -1, 4);
        // First appearance as the level's number in order of appearance, as
        // the single-thread pass numbers it.
        std::vector<ZLEVNOD*> nodes;
        tree_nodes(l->head[j], nodes);
        std::stable_sort(nodes.begin(), nodes.end(),
                         [](const ZLEVNOD* a, const ZLEVNOD* b) { return a->order < b->order; });
        for (size_t k = 0; k < nodes.size(); ++k)
            nodes[k]->order = static_cast<VYRNOBS>(k);
    }
    return 0;
}

// Drops whatever levels a failed threaded pass left.
void drop_levels(ZLEV* l, ZLEVMOD* m)
{
    for (int j = 0; j < m->clas.n; ++j) {
        l->head[j] = nullptr;
        l->nlev[j] = 0;
    }
}

} // namespace

void CleanupLThreads(ZLEVREADPARMS* rp, ZLEVMOD* m, int all)
{
    if (rp == nullptr)
        return;
    const int nclas = m->clas.n;
    if (rp->mustQuiesce && rp->threadParm) {
        bool errorPosted = false;
        for (int t = 0; t < rp->nThreads; ++t) {
            ZLEVTHREADPARMS& tp = rp->threadParm[t];
            if (rp->rc > 1 && tp.code != 0)
                rp->rc = zlev_failure_number(tp.code);
            if (tp.doneEvent)
                tp.doneEvent->post(tp.doneEvent, 0);
            if (tp.started && tp.exitEvent)
                wait_one(tp.exitEvent);
            if (posted(tp.errorEvent)) {
                errorPosted = true;
                tp.errorEvent->clear(tp.errorEvent);
            }
            for (QXEventh e : {tp.bufferFullEvent, tp.doneEvent, tp.exitEvent})
                if (posted(e))
                    e->clear(e);
            destroy_event(&tp.bufferFullEvent);
            destroy_event(&tp.errorEvent);
            destroy_event(&tp.exitEvent);
            destroy_event(&tp.doneEvent);
            tp.started = false;
        }
        rp->mustQuiesce = 0;
        // The BY group is read again on the task thread, which gives the
        // same levels: a note, not an error.
        if (errorPosted || rp->rc > 42)
            xpmlog(174, msg174::WORKER_FAILED);
        if (rp->rc > 42)
            xpmlog(174, rp->rc);
    }
    if (rp->threadParm) {
        for (int t = 0; t < rp->nThreads; ++t) {
            ZLEVTHREADPARMS& tp = rp->threadParm[t];
            for (int j = 0; j < nclas; ++j) {
                if (tp.tree)
                    destroy_tree(&tp.tree[j]);
                if (tp.qxPool)
                    destroy_pool(&tp.qxPool[j]);
                if (t == 0 && rp->clefFlag && !all) {
                    rp->FormTree = 1;
                    continue;
                }
                if (tp.Rawtree)
                    destroy_tree(&tp.Rawtree[j]);
                if (tp.qxRawPool)
                    destroy_pool(&tp.qxRawPool[j]);
            }
            destroy_event(&tp.bufferFullEvent);
            destroy_event(&tp.errorEvent);
            destroy_event(&tp.exitEvent);
            destroy_event(&tp.doneEvent);
        }
    }
    rp->ThreadLoad = 0;
    rp->nTrees = 0;
    znqvftrm(&rp->nqvfmt);
    if (!all && (rp->clefFlag || rp->moreCalls))
        return; // the pool, the buffers and worker 0's raw trees serve the effect-level pass
    destroy_event(&rp->idleEvent);
    destroy_pool(&rp->qxPool);
    rp->threadParm = nullptr;
    rp->buffer = nullptr;
    rp->offsets = nullptr;
    rp->lengths = nullptr;
    rp->nodesize = nullptr;
    rp->rnodesize = nullptr;
    rp->work = nullptr;
    rp->ELoad = 0;
    rp->LLoad = 0;
    rp->FormTree = 0;
    if (rp->qxeavlfh)
        rp->qxeavlfh->hdr.destroy(rp->qxeavlfh);
    if (rp->qxeaa)
        rp->qxeaa->hdr.destroy(rp->qxeaa);
    rp->qxeavlfh = nullptr;
    rp->qxeaa = nullptr;
}

int zlevadd(DSHANDLE* fid, ZLEV* l, ZLEVMOD* m)
{
    ZLEVREADPARMS* rp = l->readParm;
    while (rp && rp->nThreads > 0) {
        l->readfmt = 0;
        rp->obscnt = 0;
        for (int t = 0; t < rp->nThreads; ++t) {
            ZLEVBUFFER& b = rp->buffer[t];
            b.nRec = 0;
            b.curr = b.all;
            b.nFills = 0;
        }
        rp->mustQuiesce = 1;
        Reader reader{fid, l, m, rp};
        try {
            vyr::parallel_team(static_cast<size_t>(rp->nThreads) + 1, [&](size_t i, size_t size) {
                if (i == 0) {
                    reader.W = std::min<int>(rp->nThreads, static_cast<int>(size) - 1);
                    struct Finish {
                        Reader& r;
                        ~Finish() { r.finish(); }
                    } finish{reader};
                    reader.run();
                    return;
                }
                ZLEVTHREADPARMS* tp = &rp->threadParm[i - 1];
                tp->started = true;
                const int rc = ThProcessBuffer(tp);
                tp->exitEvent->post(tp->exitEvent, static_cast<uint32_t>(rc));
            });
        } catch (...) {
            CleanupLThreads(rp, m, 1);
            rp->nThreads = 0;
            throw;
        }
        if (reader.W == 0 || reader.startFailed) {
            // No worker could run beside the reader, or the reading could
            // not start: the task thread reads alone.
            rp->rc = 1;
            rp->clefFlag = 0;
            CleanupLThreads(rp, m, 1);
            rp->nThreads = 0;
            break;
        }
        if (reader.failed) {
            rp->rc = reader.code == ZLEV_WORKER_NOMEM ? msg174::WORKER_NO_MEMORY
                                                      : msg174::WORKER_STOPPED;
            rp->clefFlag = 0;
            CleanupLThreads(rp, m, 1);
            rp->nThreads = 0;
            drop_levels(l, m);
            break;
        }
        if (TreeMerge(l, m) != 0) {
            // Levels the merge could not hold would be missing: the pass
            // failed like a worker that ran out of node memory.
            rp->rc = msg174::WORKER_NO_MEMORY;
            rp->clefFlag = 0;
            CleanupLThreads(rp, m, 1);
            rp->nThreads = 0;
            drop_levels(l, m);
            break;
        }
        CleanupLThreads(rp, m, 0);
        return 0;
    }
    l->readfmt = 1;
    ZLEVNOD* spare = nullptr;
    ZLEVNOD* old = nullptr;
    if (l->GetInit(l, m) != 0)
        return 1;
    while (l->GetNext(l, m))
        zlevad1(fid, l, m, &old, &spare);
    return 0;
}

// ---------------------------------------------------------------------------
// Single-thread levelization of one observation.

int zlevad1(DSHANDLE* /*fid*/, ZLEV* l, ZLEVMOD* m, ZLEVNOD** old, ZLEVNOD** next)
{
    l->GetVals(l, m);
    if (l->GetLevIndex && !l->GetLevIndex(l, m))
        return 0;
    if (!zlevUsable(l, m, l->xc, l->cc, l->x))
        return 0;
    const VYRNOBS weight = zlevWeight(m->fvar != nullptr, m->fval);
    int kx = 0, kc = 0;
    int rc = 1;
    for (int j = 0; j < m->clas.n; ++j) {
        ZLEVVAR& v = m->clas.v[j];
        const bool isNum = numeric(v);
        const int ix = isNum ? kx++ : kc++;
        if (!l->levelize[j])
            continue;
        const bool missing =
            isNum ? wzmis(l->xc[ix]) != 0 : vzabl(' ', l->cc[ix].s, l->cc[ix].l) != 0;
        rc = missing ? 0 : 1;
        if (zlevSkipValue(&v, m, missing))
            continue;
        if (*next == nullptr)
            *next = static_cast<ZLEVNOD*>(zlevAlloc(l->pool, l->nodesize));
        ZLEVNOD* node = *next;
        std::memcpy(node->idx, l->c[j], static_cast<size_t>(v.vlen));
        auto* got = reinterpret_cast<ZLEVNOD*>(ztrebld(&l->head[j], &node->t, v.vlen, l->offset));
        *old = got;
        if (got == node) {
            if (isNum) {
                got->true_.z = l->xc[ix];
            } else {
                got->true_.c.l = l->cc[ix].l;
                got->true_.c.s = static_cast<char*>(zlevAlloc(l->pool, l->cc[ix].l));
                std::memcpy(got->true_.c.s, l->cc[ix].s, static_cast<size_t>(l->cc[ix].l));
            }
            got->freq = weight;
            got->order = l->nlev[j];
            *next = nullptr;
            ++l->nlev[j];
        } else {
            if (isNum) {
                if (zlevLowerTrue(l->xc[ix], got->true_.z))
                    got->true_.z = l->xc[ix];
            } else if (std::memcmp(l->cc[ix].s, got->true_.c.s, static_cast<size_t>(l->cc[ix].l)) <
                       0) {
                std::memcpy(got->true_.c.s, l->cc[ix].s, static_cast<size_t>(l->cc[ix].l));
            }
            got->freq += weight;
        }
    }
    cont_range(l, m);
    return rc;
}
