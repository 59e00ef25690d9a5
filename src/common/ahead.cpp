// Items prepared ahead on the pool, used in order on the calling thread (see
// ahead.h). The pool's team gives each thread one member: the member on the
// calling thread consumes, the others prepare. Claims are made in order of
// the items, so an item nobody has claimed when its turn comes has no item
// after it claimed either, and the consumer claims and prepares it itself:
// the consumer never waits for an item no thread is working on.
#include "common/ahead.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "vyr_pool.h"

namespace korv_ahead
{
namespace
{

enum class State : uint8_t { Waiting, Preparing, Ready, Failed, Consumed };

struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<State> state;
    std::size_t next = 0; // the first item nobody has claimed
    int64_t held = 0;     // bytes of items claimed by preparers and not yet consumed
    bool stop = false;    // the consumer failed: claim nothing more
    bool consuming = false;
};

} // namespace

void run(std::size_t n, const std::vector<int64_t>& bytes, int64_t budget,
         const std::function<bool(std::size_t)>& prepare,
         const std::function<void(std::size_t, Prepared)>& consume,
         const std::function<void(std::size_t)>& release)
{
    if (n == 0)
        return;
    if (vyr::pool_width() <= 1 || n == 1) {
        for (std::size_t i = 0; i < n; ++i)
            consume(i, Prepared::No);
        return;
    }
    Shared sh;
    sh.state.assign(n, State::Waiting);
    const std::thread::id caller = std::this_thread::get_id();

    auto consumer = [&] {
        {
            std::lock_guard<std::mutex> g(sh.lock);
            sh.consuming = true;
        }
        sh.changed.notify_all();
        try {
            for (std::size_t i = 0; i < n; ++i) {
                Prepared how = Prepared::No;
                {
                    std::unique_lock<std::mutex> g(sh.lock);
                    if (sh.state[i] == State::Waiting) {
                        sh.next = i + 1; // claimed here; nothing after it is claimed yet
                    } else {
                        sh.changed.wait(g, [&] {
                            return sh.state[i] == State::Ready || sh.state[i] == State::Failed;
                        });
                        if (sh.state[i] == State::Ready)
                            how = Prepared::Ahead;
                    }
                    sh.state[i] = State::Consumed;
                }
                consume(i, how);
                if (how == Prepared::Ahead) {
                    {
                        std::lock_guard<std::mutex> g(sh.lock);
                        sh.held -= bytes[i];
                    }
                    sh.changed.notify_all();
                }
            }
        } catch (...) {
            {
                std::lock_guard<std::mutex> g(sh.lock);
                sh.stop = true;
            }
            sh.changed.notify_all();
            throw;
        }
    };

    auto preparer = [&] {
        for (;;) {
            std::size_t i;
            {
                std::unique_lock<std::mutex> g(sh.lock);
                sh.changed.wait(g, [&] {
                    return sh.stop || sh.next >= n || sh.held == 0 ||
                           sh.held + bytes[sh.next] <= budget;
                });
                if (sh.stop || sh.next >= n) {
                    // Stay a member until the consumer has one of its own, so
                    // that the calling thread is never left without one.
                    sh.changed.wait(g, [&] { return sh.consuming || sh.stop; });
                    return;
                }
                i = sh.next++;
                sh.state[i] = State::Preparing;
                sh.held += bytes[i];
            }
            bool ok = false;
            try {
                ok = prepare(i);
            } catch (...) {
                ok = false;
            }
            {
                std::lock_guard<std::mutex> g(sh.lock);
                sh.state[i] = ok ? State::Ready : State::Failed;
                if (!ok)
                    sh.held -= bytes[i];
            }
            sh.changed.notify_all();
        }
    };

    bool consumed = false;
    try {
        vyr::parallel_team(n + 1, [&](std::size_t, std::size_t) {
            if (std::this_thread::get_id() == caller) {
                // The calling thread may go on to a member nobody took yet
                // once it has consumed everything: that one has nothing to do.
                if (!consumed) {
                    consumed = true;
                    consumer();
                }
            } else {
                preparer();
            }
        });
    } catch (...) {
        for (std::size_t i = 0; i < n; ++i)
            if (sh.state[i] == State::Ready)
                release(i);
        throw;
    }
    // The team always gives the calling thread a member (see above); should
    // it not have, the items are consumed here, prepared or not.
    if (!consumed)
        consumer();
}

} // namespace korv_ahead
