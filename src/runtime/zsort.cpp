// The sort wrapper and the variable-definition copy.
#include "runtime/zsort.h"

#include <cstdlib>

// This host calls module functions directly, so the entry made for a
// callback is the callback itself.
template <typename F> static F make_entry(F f)
{
    return f;
}

int init_wrapper(SORTSTR* info, void* a1, void* a2, void* a3, void* a4, void* a5)
{
    // The caller's start exit was parked in gseqin by zsort.
    auto f = reinterpret_cast<SORTINITF>(reinterpret_cast<void (*)()>(info->gseqin));
    info->gseqin = nullptr;
    int r = f ? f(info, a1, a2, a3, a4, a5) : 0;
    if (info->seqin)
        info->gseqin = make_entry(info->seqin);
    if (info->seqout)
        info->gseqout = make_entry(info->seqout);
    if (info->hsirtn)
        info->ghsirtn = make_entry(info->hsirtn);
    if (info->hsiin)
        info->ghsiin = make_entry(info->hsiin);
    if (info->hsiout)
        info->ghsiout = make_entry(info->hsiout);
    if (info->blkin)
        info->gblkin = make_entry(info->blkin);
    if (info->blkout)
        info->gblkout = make_entry(info->blkout);
    if (info->midf)
        info->gmidf = make_entry(info->midf);
    return r;
}

void wrapper_cleanup(SORTSTR* info)
{
    if (info->gmidf)
        info->gmidf = nullptr;
    if (info->gblkout)
        info->gblkout = nullptr;
    if (info->gblkin)
        info->gblkin = nullptr;
    if (info->ghsiout)
        info->ghsiout = nullptr;
    if (info->ghsiin)
        info->ghsiin = nullptr;
    if (info->ghsirtn)
        info->ghsirtn = nullptr;
    if (info->gseqout)
        info->gseqout = nullptr;
    if (info->gseqin)
        info->gseqin = nullptr;
}

int zsort(ZSORTSTR* z)
{
    z->info.gseqin = reinterpret_cast<SORTSEQIN>(reinterpret_cast<void (*)()>(z->initf));
    z->ginitf = make_entry(&init_wrapper);
    if (z->termf)
        z->gtermf = make_entry(z->termf);
    int r = zsortap(z);
    wrapper_cleanup(&z->info);
    return r;
}

int zvputcv(XVHANDLE* xvptr, DSHANDLE* fileid, int* list, int nvar, int* ovlist)
{
    if (xoinfo(fileid, 128) == 0)
        return xvputcv(xvptr, fileid, list, nvar, ovlist);
    if (list == nullptr) {
        nvar = xoinfo(fileid, 95, &nvar);
        if (nvar < 1)
            return xvputcv(xvptr, fileid, list, nvar, ovlist);
    }
    auto mark = [&](bool on) {
        for (int i = 0; i < nvar; ++i) {
            int v = list ? std::abs(list[i]) : i + 1;
            NAMESTR* nm = nullptr;
            if (xvname(fileid, v, &nm) == 0 && nm != nullptr) {
                if (on)
                    nm->ntattr |= 0x400;
                else
                    nm->ntattr &= ~0x400;
            }
        }
    };
    mark(true);
    int r = xvputcv(xvptr, fileid, list, nvar, ovlist);
    mark(false);
    return r;
}
