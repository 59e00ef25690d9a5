// Kernel events and threads.
//
// Events are manual-reset flags with a 32-bit code. All events share one
// mutex and condition variable: post and clear store the state with release
// order under the mutex (and post wakes every waiter); test loads it with
// acquire order; wait checks the states under the mutex. So whatever a
// thread wrote before posting is visible to any thread that sees the event
// posted, whether by test or by wait.
#include "kernel_internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace vyr::kernel;

namespace
{

std::mutex g_mu;
std::condition_variable g_cv;

constexpr uint64_t POSTED = 1ull << 32;

struct KEvent {
    QXEvent_S base;
    std::atomic<uint64_t> state{0};
};

KEvent* ev(QXEventh e)
{
    return reinterpret_cast<KEvent*>(e);
}

QXStatus ev_post(QXEventh e, uint32_t code)
{
    if (!e)
        return QX_E_INVALID;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        ev(e)->state.store(POSTED | code, std::memory_order_release);
    }
    g_cv.notify_all();
    return QX_OK;
}

QXStatus ev_test(QXEventh e, QXBoolean* posted, uint32_t* code)
{
    if (!e)
        return QX_E_INVALID;
    uint64_t s = ev(e)->state.load(std::memory_order_acquire);
    if (posted)
        *posted = (s & POSTED) ? 1 : 0;
    if (code)
        *code = static_cast<uint32_t>(s);
    return QX_OK;
}

QXStatus ev_clear(QXEventh e)
{
    if (!e)
        return QX_E_INVALID;
    std::lock_guard<std::mutex> lock(g_mu);
    ev(e)->state.store(0, std::memory_order_release);
    return QX_OK;
}

QXStatus ev_destroy(void* self)
{
    delete static_cast<KEvent*>(self);
    return QX_OK;
}

// ---------------------------------------------------------------------------
struct KThread {
    QXThread_S base;
    std::thread thread;
};

thread_local KThread* t_current = nullptr;
// Exception handlers of the calling thread (pushed and raised on it alone).
thread_local std::vector<std::pair<QXExcpHandler, void*>> t_handlers;

QXStatus th_wait(QXThreadh /*thread*/, size_t count, const QXEventh* events, size_t* pcnt,
                 uint8_t all, uint32_t time)
{
    if (pcnt)
        *pcnt = count;
    if (count == 0 || !events)
        return QX_E_INVALID;
    for (size_t i = 0; i < count; ++i)
        if (!events[i])
            return QX_E_INVALID;
    auto ready = [&](size_t* which) {
        bool every = true;
        for (size_t i = 0; i < count; ++i) {
            bool posted = (ev(events[i])->state.load(std::memory_order_acquire) & POSTED) != 0;
            if (posted && !all) {
                *which = i;
                return true;
            }
            every = every && posted;
        }
        if (all && every) {
            *which = 0;
            return true;
        }
        return false;
    };
    size_t which = count;
    std::unique_lock<std::mutex> lock(g_mu);
    if (time == 0) {
        g_cv.wait(lock, [&] { return ready(&which); });
    } else {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(time);
        if (!g_cv.wait_until(lock, until, [&] { return ready(&which); }))
            return QX_E_TIMEOUT;
    }
    if (pcnt)
        *pcnt = which;
    return QX_OK;
}

QXStatus th_pushExcp(QXThreadh thread, QXExcpHandler handler, void* appptr)
{
    if (!thread || !handler)
        return QX_E_INVALID;
    t_handlers.emplace_back(handler, appptr);
    return QX_OK;
}

QXStatus th_popExcp(QXThreadh thread)
{
    if (!thread || t_handlers.empty())
        return QX_E_INVALID;
    t_handlers.pop_back();
    return QX_OK;
}

void th_restoreCtxt(QXThreadh /*thread*/, void* jumpBuffer)
{
    siglongjmp(*static_cast<sigjmp_buf*>(jumpBuffer), 1);
}

int th_raiseExcp(QXThreadh thread, int code)
{
    if (!thread || t_handlers.empty())
        return QX_E_UNSUPPORTED;
    auto [handler, appptr] = t_handlers.back();
    return handler(thread, appptr, code);
}

QXStatus th_done(QXThreadh)
{
    return QX_OK;
}

QXStatus th_destroy(void* self)
{
    auto* t = static_cast<KThread*>(self);
    if (t->thread.joinable()) {
        if (t->thread.get_id() == std::this_thread::get_id())
            t->thread.detach();
        else
            t->thread.join();
    }
    delete t;
    return QX_OK;
}

QXStatus boot_destroy(void*)
{
    return QX_OK;
}

void init_thread(KThread* t, QXStatus (*destroy)(void*))
{
    t->base.hdr = {0x64726874, destroy};
    t->base.wait = th_wait;
    t->base.pushExcp = th_pushExcp;
    t->base.popExcp = th_popExcp;
    t->base.restoreCtxt = th_restoreCtxt;
    t->base.raiseExcp = th_raiseExcp;
    t->base.done = th_done;
}

} // namespace

namespace vyr::kernel
{

QXEventh event_create(QXHandle* /*h*/, QXBoolean posted, void* /*foreign*/)
{
    auto* e = new KEvent();
    e->base.hdr = {0x746E7665, ev_destroy};
    e->base.post = ev_post;
    e->base.test = ev_test;
    e->base.clear = ev_clear;
    if (posted)
        e->state.store(POSTED, std::memory_order_release);
    return &e->base;
}

QXThreadh thread_create(QXHandle* /*h*/, QXThreadMain main, const char* /*loadName*/, void* param,
                        QXEventh entryEvent, QXEventh exitEvent, uint32_t /*flags*/,
                        QXMemSize /*stack*/)
{
    if (!main)
        return nullptr;
    auto* t = new KThread();
    init_thread(t, th_destroy);
    try {
        t->thread = std::thread([t, main, param, entryEvent, exitEvent] {
            t_current = t;
            if (entryEvent)
                ev_post(entryEvent, 0);
            // An exception escaping the entry (a step exit raised on a worker,
            // for one) must not take the process down: the thread ends with
            // a failure code on its exit event instead.
            int rc;
            try {
                rc = main(param);
            } catch (...) {
                rc = QX_E_FAILED;
            }
            t_current = nullptr;
            if (exitEvent)
                ev_post(exitEvent, static_cast<uint32_t>(rc));
        });
    } catch (...) {
        delete t;
        return nullptr;
    }
    return &t->base;
}

QXThreadh thread_get_handle(QXHandle* /*h*/)
{
    return t_current ? &t_current->base : nullptr;
}

QXThreadh boot_thread()
{
    static KThread* boot = [] {
        auto* t = new KThread();
        init_thread(t, boot_destroy);
        return t;
    }();
    return &boot->base;
}

} // namespace vyr::kernel
