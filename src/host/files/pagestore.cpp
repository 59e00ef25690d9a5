// The paged record store: numbered pages (from 1) of a fixed size, held in
// memory. A page is taken (pinned) with xcbgetp and given back with xcbwrtp
// when it was changed or xcbmlok when it was only read. A page's address stays
// valid while the store is open.
//
// Pages are cut from slabs of anonymous memory that double in size as the
// store grows (up to 32 MB): fresh mappings come zeroed without a pass over
// them, and large slabs are offered huge pages, so a store of many pages
// costs few page faults. A slab's untouched tail takes no memory.

#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_session.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

namespace
{

constexpr int kFacility = 40;
inline int code(int n)
{
    return vyr_code(kFacility, n);
}
enum {
    kBadHandle = 5,
    kBadPage = 6,
    kNotTaken = 7,
    kBadPageSize = 8,
    kNoMemory = 9,
};

constexpr long kMinimalPage = 4096;
constexpr long kStandardPage = 65536;
constexpr long kLargestPage = 16L * 1024 * 1024;
constexpr unsigned kMagic = 0x50475354u;
constexpr std::size_t kLargestSlab = 32u * 1024 * 1024;
constexpr std::size_t kHugePage = 2u * 1024 * 1024;

// A mapping of anonymous memory, unmapped when dropped.
struct Slab {
    char* at = nullptr;
    std::size_t size = 0;
    Slab(char* a, std::size_t n) : at(a), size(n) {}
    Slab(const Slab&) = delete;
    Slab& operator=(const Slab&) = delete;
    Slab(Slab&& o) noexcept : at(o.at), size(o.size) { o.at = nullptr; }
    ~Slab()
    {
        if (at)
            munmap(at, size);
    }
};

} // namespace

struct XCBSTORE {
    unsigned magic = kMagic;
    long pageSize = 0;
    std::vector<char*> pages;
    std::vector<int> pins; // times each page is taken and not yet given back
    std::vector<Slab> slabs;
    std::size_t slabLeft = 0; // pages not yet cut from the last slab
    // A new zeroed page from the last slab, or from a new one; null when
    // no memory is left.
    char* newPage()
    {
        const auto page = static_cast<std::size_t>(pageSize);
        if (slabLeft == 0) {
            const std::size_t last = slabs.empty() ? 0 : slabs.back().size;
            const std::size_t size = std::max(page, std::min(2 * last, kLargestSlab / page * page));
            void* m =
                mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (m == MAP_FAILED)
                return nullptr;
#ifdef MADV_HUGEPAGE
            if (size >= 2 * kHugePage)
                madvise(m, size, MADV_HUGEPAGE);
#endif
            slabs.emplace_back(static_cast<char*>(m), size);
            slabLeft = size / page;
        }
        const Slab& s = slabs.back();
        char* p = s.at + s.size / page * page - slabLeft * page;
        --slabLeft;
        return p;
    }
};

namespace vyr
{
void files_hook_step_end(); // utility.cpp
extern std::atomic<int> g_openFiles;

// Stores opened during a step are closed when it ends, as utility files are.
std::mutex& step_stores_lock()
{
    static std::mutex m;
    return m;
}
std::unordered_set<XCBSTORE*>& step_stores()
{
    static std::unordered_set<XCBSTORE*> s;
    return s;
}
void step_stores_close()
{
    std::vector<XCBSTORE*> open;
    {
        std::lock_guard<std::mutex> g(step_stores_lock());
        open.assign(step_stores().begin(), step_stores().end());
    }
    for (XCBSTORE* s : open)
        xcbclose(s);
}
} // namespace vyr

int xcbinfo(long* a, long* b, long* minimal, long* standard, long* n)
{
    if (a)
        *a = 1; // pages are numbered from 1
    if (b)
        *b = kLargestPage;
    if (minimal)
        *minimal = kMinimalPage;
    if (standard)
        *standard = kStandardPage;
    if (n)
        *n = 0; // no limit on the number of pages
    return 0;
}

int xcbopen(long* pageSize, int mode, XCBSTORE** store)
{
    (void)mode;
    if (store == nullptr || pageSize == nullptr)
        return code(kBadHandle);
    *store = nullptr;
    long size = *pageSize;
    if (size <= 0 || size > kLargestPage)
        return code(kBadPageSize);
    // Whole multiples of 16 bytes keep every record of 8-byte fields aligned.
    size = (size + 15) / 16 * 16;
    XCBSTORE* s = new (std::nothrow) XCBSTORE;
    if (s == nullptr)
        return code(kNoMemory);
    s->pageSize = size;
    *pageSize = size;
    if (xcurrentstep() != nullptr) {
        vyr::files_hook_step_end();
        std::lock_guard<std::mutex> g(vyr::step_stores_lock());
        vyr::step_stores().insert(s);
    }
    ++vyr::g_openFiles;
    *store = s;
    return 0;
}

int xcbgetp(XCBSTORE* store, long page, int mode, char** pointer)
{
    if (pointer)
        *pointer = nullptr;
    if (store == nullptr || store->magic != kMagic || pointer == nullptr)
        return code(kBadHandle);
    long count = static_cast<long>(store->pages.size());
    if (page < 1)
        return code(kBadPage);
    if (mode == 16) {
        // A page being filled: a new page comes zeroed; an existing one keeps
        // what was written to it. Pages are filled in order, so at most the
        // next page is new.
        if (page > count + 1)
            return code(kBadPage);
        if (page == count + 1) {
            try {
                store->pages.reserve(store->pages.size() + 1);
                store->pins.reserve(store->pins.size() + 1);
                store->slabs.reserve(store->slabs.size() + 1);
            } catch (const std::bad_alloc&) {
                return code(kNoMemory);
            }
            char* fresh = store->newPage();
            if (fresh == nullptr)
                return code(kNoMemory);
            store->pages.push_back(fresh);
            store->pins.push_back(0);
        }
    } else if (page > count) {
        return code(kBadPage); // an existing page was asked for
    }
    ++store->pins[static_cast<std::size_t>(page - 1)];
    *pointer = store->pages[static_cast<std::size_t>(page - 1)];
    return 0;
}

static int release(XCBSTORE* store, long page)
{
    if (store == nullptr || store->magic != kMagic)
        return code(kBadHandle);
    if (page < 1 || page > static_cast<long>(store->pages.size()))
        return code(kBadPage);
    int& pins = store->pins[static_cast<std::size_t>(page - 1)];
    if (pins <= 0)
        return code(kNotTaken);
    --pins;
    return 0;
}

int xcbwrtp(XCBSTORE* store, long page)
{
    return release(store, page);
}
int xcbmlok(XCBSTORE* store, long page)
{
    return release(store, page);
}

int xcbclose(XCBSTORE* store)
{
    if (store == nullptr || store->magic != kMagic)
        return code(kBadHandle);
    {
        std::lock_guard<std::mutex> g(vyr::step_stores_lock());
        vyr::step_stores().erase(store);
    }
    store->magic = 0;
    delete store;
    --vyr::g_openFiles;
    return 0;
}

long xcbpages(const XCBSTORE* store)
{
    return store != nullptr && store->magic == kMagic ? static_cast<long>(store->pages.size()) : -1;
}
