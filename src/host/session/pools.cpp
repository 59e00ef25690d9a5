// Memory pools: every block comes zeroed; a pool remembers its blocks so that
// deleting the pool frees them all, and a free of one block (whatever length
// the caller passes, -1 and 0 included) releases just that block. The task
// pool and the pools made during a step are emptied when the step ends.
// Large blocks are mapped from the system directly, so that freeing one gives
// its memory back at once whichever thread took it (the C library keeps a
// freed block in the heap of the thread that took it once it has seen
// blocks of that size come and go).

#include "host/session/session_state.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <sys/mman.h>

namespace vyr
{
namespace
{

struct Pool : POOLHANDLE {
    std::unordered_map<void*, int64_t> blocks;
    bool stepPool = false; // made during a step: deleted when the step ends
};

struct PoolState {
    std::mutex lock;
    std::unordered_set<Pool*> live;
    Pool* task = nullptr;
    Pool* longLived = nullptr;
    int64_t limit = 0;
    int64_t inUse = 0;
    long lastFailure = 0;
    // Test hook for failure sweeps: the number of the allocation that fails
    // (0: none), from the environment variable KORV_FAIL_ALLOC when a run
    // starts, and the allocations counted so far in the run.
    long failAt = 0;
    long allocations = 0;
};

PoolState& state()
{
    static PoolState s;
    return s;
}

// Requests above this are refused outright (a negative or absurd length is
// a caller's fault, reported as a memory failure rather than attempted).
constexpr int64_t kLargestRequest = int64_t{1} << 40;

// Blocks of this many bytes or more are mapped (see above).
constexpr std::size_t kMappedBlock = std::size_t{1} << 20;

// A zeroed block of n bytes, null on failure.
void* take_block(std::size_t n)
{
    if (n < kMappedBlock)
        return std::calloc(1, n);
    void* a = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return a == MAP_FAILED ? nullptr : a;
}

// Gives back a block taken for `length` bytes.
void give_block(void* a, int64_t length)
{
    const std::size_t n = length == 0 ? 1 : static_cast<std::size_t>(length);
    if (n < kMappedBlock)
        std::free(a);
    else
        munmap(a, n);
}

void* pool_allocate(POOLHANDLE* handle, int64_t length, int64_t flags);
void pool_free(POOLHANDLE* handle, void* address, int64_t length, int64_t flags);

Pool* make_pool(bool stepPool)
{
    Pool* p = new Pool;
    p->allocate = pool_allocate;
    p->free = pool_free;
    p->stepPool = stepPool;
    state().live.insert(p);
    return p;
}

void empty_pool(PoolState& s, Pool* p)
{
    for (auto& [addr, len] : p->blocks) {
        give_block(addr, len);
        s.inUse -= len;
    }
    p->blocks.clear();
}

void* pool_allocate(POOLHANDLE* handle, int64_t length, int64_t flags)
{
    (void)flags;
    PoolState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    Pool* p = static_cast<Pool*>(handle);
    const bool injected = s.failAt > 0 && ++s.allocations == s.failAt;
    if (p == nullptr || s.live.count(p) == 0 || length < 0 || length > kLargestRequest ||
        (s.limit > 0 && s.inUse + length > s.limit) || injected) {
        s.lastFailure = static_cast<long>(length < 0 ? 0 : length);
        if (s.lastFailure == 0)
            s.lastFailure = -1;
        return nullptr;
    }
    std::size_t n = length == 0 ? 1 : static_cast<std::size_t>(length);
    void* a = take_block(n);
    if (a == nullptr) {
        s.lastFailure = static_cast<long>(length);
        return nullptr;
    }
    p->blocks.emplace(a, length);
    s.inUse += length;
    return a;
}

void pool_free(POOLHANDLE* handle, void* address, int64_t length, int64_t flags)
{
    (void)length;
    (void)flags;
    if (address == nullptr)
        return;
    PoolState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    Pool* p = static_cast<Pool*>(handle);
    if (p == nullptr || s.live.count(p) == 0)
        return;
    auto it = p->blocks.find(address);
    if (it == p->blocks.end())
        return; // not this pool's block (or freed already): leave it alone
    give_block(it->first, it->second);
    s.inUse -= it->second;
    p->blocks.erase(it);
}

} // namespace

void pools_step_end()
{
    PoolState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    std::vector<Pool*> gone;
    for (Pool* p : s.live)
        if (p->stepPool)
            gone.push_back(p);
    for (Pool* p : gone) {
        empty_pool(s, p);
        s.live.erase(p);
        delete p;
    }
    if (s.task != nullptr)
        empty_pool(s, s.task);
    s.lastFailure = 0;
}

void pools_reset()
{
    PoolState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    for (Pool* p : s.live) {
        empty_pool(s, p);
        delete p;
    }
    s.live.clear();
    s.task = nullptr;
    s.longLived = nullptr;
    s.inUse = 0;
    s.lastFailure = 0;
    const char* failAt = std::getenv("KORV_FAIL_ALLOC");
    s.failAt = failAt != nullptr ? std::max(0L, std::strtol(failAt, nullptr, 10)) : 0;
    s.allocations = 0;
}

void pools_set_limit(int64_t bytes)
{
    PoolState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.limit = bytes < 0 ? 0 : bytes;
}

int64_t pools_in_use()
{
    PoolState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.inUse;
}

} // namespace vyr

POOLHANDLE* xmpoolc(int a, int blocksize, int flags)
{
    (void)a;
    (void)blocksize;
    (void)flags;
    vyr::PoolState& s = vyr::state();
    std::lock_guard<std::mutex> g(s.lock);
    return vyr::make_pool(xcurrentstep() != nullptr);
}

void xmpoold(POOLHANDLE* pool)
{
    if (pool == nullptr)
        return;
    vyr::PoolState& s = vyr::state();
    std::lock_guard<std::mutex> g(s.lock);
    vyr::Pool* p = static_cast<vyr::Pool*>(pool);
    if (s.live.count(p) == 0)
        return;
    vyr::empty_pool(s, p);
    if (p == s.task || p == s.longLived)
        return; // the host's own pools stay usable, emptied
    s.live.erase(p);
    delete p;
}

int wmpoolr(POOLHANDLE* pool)
{
    vyr::PoolState& s = vyr::state();
    std::lock_guard<std::mutex> g(s.lock);
    vyr::Pool* p = static_cast<vyr::Pool*>(pool);
    if (p == nullptr || s.live.count(p) == 0)
        return vyr_code(vyr::kHostGroup, 40);
    vyr::empty_pool(s, p);
    return 0;
}

long xmsize(POOLHANDLE* pool)
{
    vyr::PoolState& s = vyr::state();
    std::lock_guard<std::mutex> g(s.lock);
    vyr::Pool* p = static_cast<vyr::Pool*>(pool);
    if (p == nullptr || s.live.count(p) == 0)
        return 0;
    int64_t held = 0;
    for (const auto& kv : p->blocks)
        held += kv.second;
    return static_cast<long>(std::max<int64_t>(held, 64 * 1024));
}

POOLHANDLE* xtaskpool()
{
    vyr::PoolState& s = vyr::state();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.task == nullptr)
        s.task = vyr::make_pool(false);
    return s.task;
}

POOLHANDLE* xlongpool()
{
    vyr::PoolState& s = vyr::state();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.longLived == nullptr)
        s.longLived = vyr::make_pool(false);
    return s.longLived;
}

long xmemdef()
{
    vyr::PoolState& s = vyr::state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.lastFailure;
}

void xmemmsg(long amount)
{
    if (amount > 0)
        xpmlog(vyr::kHostGroup, vyr::kMsgMemory, amount);
    else
        xpmlog(vyr::kHostGroup, vyr::kMsgMemory + 1);
}

void* xmalloc_or_exit(POOLHANDLE* pool, int64_t length, int64_t flags)
{
    void* a = pool != nullptr ? pool->allocate(pool, length, flags) : nullptr;
    if (a == nullptr) {
        xmemmsg(pool != nullptr ? xmemdef() : 0);
        xexit(1016, 0);
    }
    return a;
}
