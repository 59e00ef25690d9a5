// The output-object method dispatcher and the output layer's failure exit.
#include "runtime/wobmth.h"

#include "vyr_host.h"

int wobmth(xobop obj, WOB_MA_TBL_STR* sst, int sel, int np, WOB_PARM_BLK_STR* pb)
{
    WOB_MA_TBL_STR* cls = sst ? sst : (obj ? obj->clsh : nullptr);
    for (; cls; cls = cls->super) {
        if (!cls->mth_tbl)
            continue;
        for (WOB_EXPRESS_STR* e = cls->mth_tbl[cls->mth_mask & sel]; e; e = e->next) {
            if (e->id == sel)
                return e->ent->func(obj, e->mcoh, e->ent->id, np, pb, e->ent);
        }
    }
    return WOB_RC_NO_METHOD;
}

int wobzoom(xobop obj, int slot, int method, int np, WOB_PARM_BLK_STR* pb)
{
    if (!obj || !obj->clsh || slot < 0 || slot >= 6)
        return WOB_RC_BAD_OBJECT;
    WOB_ZOOM_STR& z = obj->clsh->zoom[slot];
    if (!z.ent || !z.ent->func)
        return WOB_RC_NO_METHOD;
    return z.ent->func(obj, z.mcoh, method, np, pb, z.ent);
}

void zvdqexit(int rc)
{
    xprrlog(0, rc);
    if (vyr_facility(rc) == 63 && vyr_number(rc) == 53)
        return;
    xexit(120, 0);
}
