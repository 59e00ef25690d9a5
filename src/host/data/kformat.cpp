// Kernel formats of data set variables for worker threads: each load makes a
// "qxefmt" format of its own that formats as the formatted read does, so that
// a value formatted on a worker thread reads byte for byte as the same value
// read formatted on the task thread.
#include "data_internal.h"
#include "vyr_data.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_kernel.h"

#include <algorithm>
#include <cstdlib>

int xfrfilet(void* /*anchor*/, const char* /*locale*/, DSHANDLE* ds, int code, const int* list,
             int n, void* /*journal*/, void* ext)
{
    auto* fx = static_cast<QXEFMT_S*>(ext);
    if (ds == nullptr || fx == nullptr || list == nullptr || code != 70)
        return vyr_code(vyr::data::kFacility, 30);
    int rc = 0;
    for (int i = 0; i < n; ++i) {
        NAMESTR* nm = xvname(ds, std::abs(list[i]));
        if (nm == nullptr) {
            rc = vyr_code(vyr::data::kFacility, 33);
            continue;
        }
        nm->nqxfmthandl = nullptr;
        const vyr::fmt::FormatDesc d = vyr::fmt::resolve(*nm);
        const bool text = nm->ntype == 2;
        // A text is formatted at least as wide as it is stored, so that the
        // caller may cut it to any width as the formatted read does.
        const int w = text ? std::max(d.width, vyr_namestr_length(*nm)) : d.width;
        QXFmtStrp f = fx->formatCreate(fx, d.name.c_str(), w, d.hasDecimals ? d.decimals : 0,
                                       text ? 1 : 0, text ? 1 : 0, 1);
        if (f == nullptr) {
            rc = vyr_code(vyr::data::kFacility, 50);
            continue;
        }
        nm->nqxfmthandl = f;
    }
    return rc;
}

int xfrdel(void* /*anchor*/, int /*nfcode*/)
{
    return 0;
}
