// The host's one pool of worker threads (see vyr_pool.h). Workers are started
// on first use and live until the process ends; a loop hands its tasks out
// through one atomic counter, and the calling thread works alongside the
// workers. A thread that cannot be started is not an error: the loop runs on
// the threads that did start, or on the calling thread alone.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <sched.h>
#include <system_error>
#include <thread>
#include <vector>

#include "vyr_pool.h"

namespace vyr
{

unsigned machine_cores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return static_cast<unsigned>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

namespace
{

// Set while a thread runs a pool task: loops started there run inline.
thread_local bool inTask = false;

// A parallel loop no wider than this gains nothing on the machines we run on
// and would only add start-up cost.
constexpr unsigned kMaxWidth = 256;

class Pool
{
  public:
    ~Pool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : workers_)
            if (t.joinable())
                t.join();
    }

    void configure(bool threads, unsigned cpucount)
    {
        width_.store(threads ? std::clamp(cpucount, 1u, kMaxWidth) : 1u);
    }

    unsigned width() const { return inTask ? 1u : std::min(width_.load(), cap_.load()); }

    void fail_starts(unsigned count)
    {
        failStarts_.store(count);
        cap_.store(kMaxWidth);
    }

    void run(std::size_t n, const std::function<void(std::size_t)>& body)
    {
        // One loop at a time: a second caller, or a task that starts a loop
        // of its own, runs its tasks inline instead of waiting for workers
        // that are busy with the first.
        std::unique_lock<std::mutex> submit(submit_, std::try_to_lock);
        const unsigned want = std::min<std::size_t>(width(), n) > 0
                                  ? static_cast<unsigned>(std::min<std::size_t>(width(), n))
                                  : 1u;
        if (!submit.owns_lock() || inTask || want <= 1) {
            run_inline(n, body);
            return;
        }
        const unsigned helpers = start_workers(want - 1);
        if (helpers == 0) {
            run_inline(n, body);
            return;
        }
        dispatch(n, body, helpers);
    }

    // A team: as many members as there are threads for them now, at most n,
    // all running at once. Every participant takes one member, and a member
    // ends only when the team's own protocol lets it, so no participant is
    // free to take a second member before each member has a thread of its
    // own: members may wait for each other.
    std::size_t run_team(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body)
    {
        if (n == 0)
            return 0;
        std::unique_lock<std::mutex> submit(submit_, std::try_to_lock);
        const std::size_t want = std::min<std::size_t>(width(), n);
        std::size_t size = 1;
        if (submit.owns_lock() && !inTask && want > 1)
            size = static_cast<std::size_t>(start_workers(static_cast<unsigned>(want - 1))) + 1;
        if (size <= 1) {
            body(0, 1);
            return 1;
        }
        const std::function<void(std::size_t)> member = [&](std::size_t i) { body(i, size); };
        dispatch(size, member, static_cast<unsigned>(size - 1));
        return size;
    }

  private:
    // Runs tasks [0, n) on the calling thread and `helpers` workers; the
    // caller holds the submit lock.
    void dispatch(std::size_t n, const std::function<void(std::size_t)>& body, unsigned helpers)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            body_ = &body;
            count_ = n;
            next_.store(0);
            failed_.store(false);
            error_ = nullptr;
            participants_ = helpers;
            busy_ = helpers;
            ++generation_;
        }
        wake_.notify_all();
        work();
        std::exception_ptr error;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return busy_ == 0; });
            body_ = nullptr;
            error = error_;
            error_ = nullptr;
        }
        if (error)
            std::rethrow_exception(error);
    }

    static void run_inline(std::size_t n, const std::function<void(std::size_t)>& body)
    {
        for (std::size_t i = 0; i < n; ++i)
            body(i);
    }

    // Starts workers until `wanted` exist or a start fails; returns how many
    // there are (at most `wanted` take part in a loop).
    unsigned start_workers(unsigned wanted)
    {
        while (workers_.size() < wanted) {
            unsigned left = failStarts_.load();
            const std::size_t id = workers_.size();
            bool started = false;
            if (left > 0) {
                failStarts_.store(left - 1);
            } else {
                try {
                    workers_.emplace_back([this, id] { worker(id); });
                    started = true;
                } catch (const std::system_error&) {
                }
            }
            if (!started) {
                // Later loops plan for the threads that exist.
                cap_.store(static_cast<unsigned>(workers_.size()) + 1);
                break;
            }
        }
        return static_cast<unsigned>(std::min<std::size_t>(workers_.size(), wanted));
    }

    // Takes tasks until none are left; the first exception stops the rest.
    void work()
    {
        inTask = true;
        const std::function<void(std::size_t)>& body = *body_;
        const std::size_t n = count_;
        while (!failed_.load(std::memory_order_relaxed)) {
            const std::size_t i = next_.fetch_add(1);
            if (i >= n)
                break;
            try {
                body(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!error_)
                    error_ = std::current_exception();
                failed_.store(true);
            }
        }
        inTask = false;
    }

    void worker(std::size_t id)
    {
        uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
                if (stopping_)
                    return;
                seen = generation_;
                if (id >= participants_)
                    continue;
            }
            work();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (--busy_ == 0)
                    done_.notify_all();
            }
        }
    }

    std::atomic<unsigned> width_{std::min(machine_cores(), kMaxWidth)};
    std::atomic<unsigned> cap_{kMaxWidth};
    std::atomic<unsigned> failStarts_{0};
    std::mutex submit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
    uint64_t generation_ = 0;
    std::size_t participants_ = 0;
    std::size_t busy_ = 0;
    const std::function<void(std::size_t)>* body_ = nullptr;
    std::size_t count_ = 0;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

Pool& pool()
{
    static Pool p;
    return p;
}

} // namespace

void pool_configure(bool threads, unsigned cpucount)
{
    pool().configure(threads, cpucount);
}

unsigned pool_width()
{
    return pool().width();
}

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body)
{
    if (n == 0)
        return;
    pool().run(n, body);
}

std::size_t parallel_ranges(std::size_t n, std::size_t grain,
                            const std::function<void(std::size_t, std::size_t, std::size_t)>& body)
{
    if (n == 0)
        return 0;
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t parts = std::clamp<std::size_t>(n / grain, 1, pool_width());
    parallel_for(parts, [&](std::size_t p) { body(n * p / parts, n * (p + 1) / parts, p); });
    return parts;
}

std::size_t parallel_team(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body)
{
    return pool().run_team(n, body);
}

void pool_fail_thread_starts(unsigned count)
{
    pool().fail_starts(count);
}

} // namespace vyr
