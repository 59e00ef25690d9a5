// korvg: hands the procedure's grammar (korvgram.cpp) to the host parser in
// a parse-control block from the task pool.
#include "frame/korvg.h"

#include "vyr_host.h"

PARSECONTROL* korvg()
{
    const GRAMMARDEF* g = korvg_grammar();
    POOLHANDLE* pool = xtaskpool();
    void* p = pool ? pool->allocate(pool, sizeof(PARSECONTROL), 0x2004) : nullptr;
    if (!p) {
        xmemmsg(static_cast<long>(sizeof(PARSECONTROL)));
        xexit(1016, 0);
    }
    auto* pc = static_cast<PARSECONTROL*>(p);
    *pc = PARSECONTROL{};
    pc->revision = 1;
    pc->grammar = g;
    pc->maxcost = g->maxcost;
    pc->valcost = g->valcost;
    pc->maxlexical = 20; // longest keyword spelling (STRATAIDENTIFICATION)
    return pc;
}
