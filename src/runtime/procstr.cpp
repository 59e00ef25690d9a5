// Task initialisation and the memory-pool handlers.
#include "runtime/procstr.h"

#include <cstring>

#include "runtime/wzstr.h"
#include "runtime/wztxt.h"

void himodcn() {}

void* vmalloc_handler(POOLHANDLE* pid, int64_t len, int flags)
{
    return pid->allocate(pid, len, static_cast<int64_t>(flags));
}

void* vmalcp_handler(POOLHANDLE* pid, int64_t len, int flags)
{
    return pid->allocate(pid, len, static_cast<int64_t>(flags));
}

void vmfree_handler(POOLHANDLE* pid, void* addr, int64_t len, int flags)
{
    pid->free(pid, addr, len, static_cast<int64_t>(flags));
}

namespace
{

constexpr int kLocalDebugBuffer = 200;

void read_debug_option(PROCSTR* p)
{
    int optlen = 0;
    const char* value = xoptcgt("DEBUG", &optlen);
    const int len = wzstlen(value);
    if (len == 0 || vzatl(' ', value, len, len))
        return;

    tchar local[kLocalDebugBuffer];
    tchar* copy = local;
    POOLHANDLE* pool = nullptr;
    if (len > kLocalDebugBuffer) {
        pool = xtaskpool();
        copy = static_cast<tchar*>(xmalloc_or_exit(pool, len, 0x3006));
    }
    std::memcpy(copy, value, static_cast<size_t>(len));
    wztxxlt(2, copy, copy, len);
    p->proc_syndebug = wzstndx(copy, len, "SYN", 3) >= 0 ? 1 : 0;
    p->proc_semdebug = wzstndx(copy, len, "SEM", 3) >= 0 ? 1 : 0;
    if (pool)
        vmfree_handler(pool, copy, 0, 4);
}

} // namespace

void xinit(void*, void*, void*, void*, void*, void*)
{
    // An allocation that fails ends the step with the memory message.
    auto* p = static_cast<PROCSTR*>(xmalloc_or_exit(xtaskpool(), sizeof(PROCSTR), 0x3006));
    *xprocanchor() = p;

    xpopen(0);
    p->proc_outl = xpoutl(0);
    p->proc_prnl = xpprnl(0);
    p->proc_logl = xplogl(0);
    p->proc_msgl = xpmsgl(0);
    xpselec(0, -2);

    read_debug_option(p);
}
