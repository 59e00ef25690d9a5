// Output-object method calls and the single failure exit of the output layer.
#pragma once

#include "vyr_output.h"

// Finds the method for selector `sel` in class `sst` (or, when null, the
// object's own class), then in each super class; calls it with (obj, the
// chain element's mcoh, the entry's id, np, pb, the entry) and returns its
// code, or WOB_RC_NO_METHOD (0x80008001) when no class has the selector.
// No allocation, no copying: it runs once per table row.
int wobmth(xobop obj, WOB_MA_TBL_STR* sst, int sel, int np, WOB_PARM_BLK_STR* pb);

// Reports a failed output-layer code: logs the host's text for it, returns
// when the code is the tolerated one (facility 63, number 53), and otherwise
// ends the step with 120.
void zvdqexit(int rc);

// Calls wobmth and passes a result below 0 to zvdqexit; returns the result.
inline int wobcall(xobop obj, int sel, int np, WOB_PARM_BLK_STR* pb)
{
    int rc = wobmth(obj, nullptr, sel, np, pb);
    if (rc < 0)
        zvdqexit(rc);
    return rc;
}
