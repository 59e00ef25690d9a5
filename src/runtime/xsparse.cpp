// Parser glue between the procedure's grammar and the host parser.
#include "runtime/xsparse.h"

#include <cstdint>
#include <cstring>

#include "runtime/procstr.h"
#include "vyr_session.h"

namespace
{

// The tracking anchor handed out when a block has none.
int g_track_anchor = 0;

} // namespace

int xstdtok(PARSECONTROL*, void*)
{
    return 0;
}
int xsem(PARSECONTROL*, int, const int*, int)
{
    return 0;
}

int xsparse(PARSECONTROL* uppc, USERINTERACT* uic)
{
    if (!uppc)
        return 3000;
    const VyrStep* step = xcurrentstep();
    if (!uppc->tokroutine)
        uppc->tokroutine = reinterpret_cast<PARSETOKFN>(&xstdtok);
    if (!uppc->semroutine)
        uppc->semroutine = &xsem;
    if (!uppc->track)
        uppc->track = &g_track_anchor;
    // Debug flags of the procedure block: syntax 2, semantics 1.
    int mode = 0;
    if (PROCSTR* ps = korv_procstr()) {
        if (ps->proc_syndebug)
            mode += 2;
        if (ps->proc_semdebug)
            mode += 1;
    }
    return xsproc(uppc, step, mode, uic, nullptr, nullptr);
}

void xsctok(PARSECONTROL* uppc, PARSETOKFN toklp)
{
    if (uppc)
        uppc->tokroutine = toklp;
}

void xscsem(PARSECONTROL* uppc, PARSESEMFN semlp)
{
    if (uppc)
        uppc->semroutine = semlp;
}

void xsctrak(PARSECONTROL* uppc, void* trackptr)
{
    if (uppc)
        uppc->track = trackptr;
}

int zgetnmr(const void* listptr, int elemnum, const char** npp, int* nlp)
{
    const unsigned char* block = static_cast<const unsigned char*>(listptr);
    if (!block || elemnum < 0)
        return 1;
    int64_t first = 0;
    // A chain that loops back on itself would never end: stop after a
    // generous number of blocks.
    for (int guard = 0; block && guard < 1000000; ++guard) {
        int64_t last = 0;
        std::memcpy(&last, block + 3 * sizeof(int64_t), sizeof last);
        if (last >= elemnum) {
            if (elemnum < first)
                return 1;
            const unsigned char* p = block + 32;
            for (int64_t k = first; k < elemnum; ++k)
                p += 1 + *p;
            *npp = reinterpret_cast<const char*>(p + 1);
            *nlp = *p;
            return 0;
        }
        const unsigned char* next = nullptr;
        std::memcpy(&next, block + sizeof(int64_t), sizeof next);
        first = last + 1;
        block = next;
    }
    return 1;
}
