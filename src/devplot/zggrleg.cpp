// The legend of a plot description: the host legend block filled from the
// plots' labels (or from the values of an ID variable), each entry showing
// its plot's SYMBOL, then sized by the kernel at the bottom of the window.
#include <algorithm>
#include <cstring>

#include "devplot/zggraf.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"

namespace
{

using namespace zgr;

// Puts the legend label into the block's buffer (from the buffer pool,
// grown when a longer label comes); a label that starts with a NUL is one
// blank.
long setLabel(GRAFSTR* g, GLEGT* lg, const char* text, int len, int limit)
{
    len = std::clamp(len, 0, limit);
    if (len > 0 && text[0] == '\0') {
        text = " ";
        len = 1;
    }
    POOLHANDLE* pool = g->ginf->bufpool ? g->ginf->bufpool : xlongpool();
    if (!lg->label || lg->labcap < std::max(len, 1)) {
        const int cap = std::max(len, 8);
        lg->label = static_cast<char*>(vmalcp_handler(pool, cap, 0x2000));
        if (!lg->label) {
            lg->labcap = 0;
            return cap;
        }
        lg->labcap = cap;
    }
    vzmp(text, len, lg->label, lg->labcap);
    lg->lablen = len;
    return 0;
}

} // namespace

long zggrleg(GRAFSTR* g)
{
    GINFSTR* gi = g->ginf;
    ZGLGSTR* req = g->leginf;
    GLEGT* lg = gi->legend;
    if (!req || !lg)
        return NOTHING;
    const int nplots = std::max(1, g->nplots);
    NAMESTR* id = req->idvar.vname;
    if (!id || req->idvar.nvalue < 1) {
        // The plots' own labels.
        if (req->nvalue < 1)
            req->nvalue = static_cast<short>(nplots);
        if (req->ndata < req->nvalue) {
            if (req->data)
                vmfree_handler(g->mempool, req->data, -1, 4);
            if (req->dvstr)
                vmfree_handler(g->mempool, req->dvstr, -1, 4);
            req->data = nullptr;
            req->dvstr = nullptr;
            req->ndata = 0;
        }
        if (!req->data) {
            const int64_t size = 256 * static_cast<int64_t>(req->nvalue);
            req->data = static_cast<char*>(vmalcp_handler(g->mempool, size, 0x2000));
            if (!req->data)
                return static_cast<long>(size);
            std::memset(req->data, ' ', static_cast<size_t>(size));
            req->ndata = req->nvalue;
        }
        if (!req->dvstr) {
            const int64_t size = sizeof(GCSTR) * static_cast<int64_t>(req->nvalue);
            req->dvstr = static_cast<GCSTR*>(vmalcp_handler(g->mempool, size, 0x2000));
            if (!req->dvstr)
                return static_cast<long>(size);
            std::memset(static_cast<void*>(req->dvstr), 0, static_cast<size_t>(size));
        }
        lg->fmtcode = -1;
        lg->fmtlen = 0;
        lg->datatype = 'E';
        lg->datanum = std::min<int>(req->nvalue, nplots);
        for (int k = 0; k < lg->datanum; ++k) {
            const PAIRSTR& p = g->ppair[k];
            const char* text = nullptr;
            int len = 0;
            if (p.lid.lablen > 0) {
                text = p.lid.label;
                len = std::min<int>(p.lid.lablen, 256);
            } else if (p.vvar.vname && p.vvar.vname->nlablen > 0) {
                text = p.vvar.vname->label_p;
                len = std::min<int>(p.vvar.vname->nlablen, 256);
            } else if (p.vvar.vname) {
                text = p.vvar.vname->name_p;
                len = std::min<int>(p.vvar.vname->namelen, 256);
            }
            char* slot = req->data + 256 * k;
            vzmp(text, text ? len : 0, slot, 256);
            req->dvstr[k] = GCSTR{len, len, slot};
        }
        lg->du = req->dvstr;
        long rc;
        if (req->lab && req->lab->lablen > 0)
            rc = setLabel(g, lg, req->lab->label, req->lab->lablen, 256);
        else if (g->vaxis && g->vaxis->lab && g->vaxis->lab->lablen > 0)
            rc = setLabel(g, lg, g->vaxis->lab->label, g->vaxis->lab->lablen, 256);
        else
            rc = setLabel(g, lg, "PLOT    ", 8, 256);
        if (rc)
            return rc;
    } else {
        // The values of an ID variable.
        if (req->idvar.nvalue > nplots)
            req->idvar.nvalue = nplots;
        const long n = req->idvar.nvalue;
        if (!req->idvar.vlist)
            return NOTHING;
        if (id->ntype == 1) {
            lg->datatype = 'F';
            const bool noFormat = id->nfl == 0 && vzatl(' ', id->nformlong, 33, 33);
            lg->fmtcode = noFormat ? -1 : id->nfcode;
            lg->fmtlen = noFormat ? 0 : static_cast<short>(std::min<int>(id->nflen, 16));
            lg->du = req->idvar.vlist;
        } else if (id->ntype == 2) {
            lg->datatype = 'C';
            lg->fmtcode = -1;
            lg->fmtlen = static_cast<short>(std::min<int>(id->nflen, 16));
            auto* d = static_cast<GCSTR*>(
                vmalcp_handler(gi->bufpool, static_cast<int64_t>(n) * sizeof(GCSTR), 0x2002));
            if (!d)
                return static_cast<long>(n * sizeof(GCSTR));
            const char* v = static_cast<const char*>(req->idvar.vlist);
            for (long k = 0; k < n; ++k)
                d[k] = GCSTR{32, 32, v + 32 * k};
            req->idvar.cdata = d;
            lg->du = d;
        } else {
            return NOTHING;
        }
        lg->datanum = static_cast<int>(n);
        const long rc = id->nlablen > 0 ? setLabel(g, lg, id->label_p, id->nlablen, 256)
                                        : setLabel(g, lg, id->name_p, id->namelen, 32);
        if (rc)
            return rc;
    }
    // Common settings, then the size.
    lg->where = 'B';
    lg->anyshape = 1;
    std::memcpy(lg->ctext, req->ctext, 16);
    std::memcpy(lg->coutline, req->coutln, 16);
    std::memcpy(lg->cframe, req->cframe, 16);
    std::memcpy(lg->shape, "SYMBOL  ", 8);
    lg->shapes = gi->symbol;
    std::memcpy(lg->options, req->options, 4);
    lg->options[0] |= 0x08;
    lg->across = req->nacross;
    lg->down = req->ndown;
    lg->number = req->legno;
    return gglsize(0, lg, gi->window) == 0 ? 0 : NOTHING;
}
