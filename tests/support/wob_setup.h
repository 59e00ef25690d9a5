// Output-layer objects made the way the procedure makes them: a manager,
// tables with bound columns, outputs through a template. Shared with the
// results tests.
#pragma once

#include <gtest/gtest.h>

#include "runtime/wobmth.h"
#include "vyr_host.h"
#include "vyr_output.h"

namespace wobtest
{

// A new root object and its manager.
inline xobop manager()
{
    xobop root = nullptr;
    EXPECT_EQ(xobinit(&root, 0), 0);
    WOB_PARM_BLK_STR pb[5] = {wob_string(WOB_TAG_PACKAGE, "vdq", 3),
                              wob_string(WOB_TAG_CLASS, "manager", 7),
                              wob_object(WOB_TAG_OUT, nullptr), wob_int(WOB_TAG_MSGGROUP, 326),
                              wob_flag(WOB_TAG_MANAGER_FLAG, 1)};
    EXPECT_EQ(wobmth(root, nullptr, WOB_SEL_CREATE, 5, pb), 0);
    EXPECT_NE(pb[2].value.o, nullptr);
    return pb[2].value.o;
}

inline xobop table(xobop mgr, const char* name, const char* label, bool flag336 = false)
{
    WOB_PARM_BLK_STR pb[7] = {wob_string(WOB_TAG_PACKAGE, "vdq", 3),
                              wob_string(WOB_TAG_CLASS, "data", 4),
                              wob_object(WOB_TAG_OUT, nullptr),
                              wob_int(WOB_TAG_148, -1),
                              wob_key(WOB_TAG_NAME, vdqtxt(name, -1)),
                              wob_key(WOB_TAG_LABEL, vdqtxt(label, -1)),
                              wob_int(WOB_TAG_336, 1)};
    EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_CREATE, flag336 ? 7 : 6, pb), 0);
    return pb[2].value.o;
}

// A column of type 5 (numeric) or 6 (character, with its length) bound to
// `addr`; types without a length (such as 1) take none.
inline void column(xobop t, int type, const char* name, const void* addr, int len = 0,
                   const char* label = nullptr)
{
    WOB_PARM_BLK_STR c[5];
    int n = 0;
    c[n++] = wob_int(WOB_TAG_COLTYPE, type);
    c[n++] = wob_key(WOB_TAG_NAME, vdqtxt(name, -1));
    if (label)
        c[n++] = wob_key(WOB_TAG_LABEL, vdqtxt(label, -1));
    c[n++] = wob_address(WOB_TAG_ADDRESS, addr);
    if (len)
        c[n++] = wob_int(WOB_TAG_LENGTH, len);
    EXPECT_EQ(wobmth(t, nullptr, WOB_SEL_ADD_COLUMN, n, c), 0) << name;
}

inline xobop output(xobop mgr, xobop t, const char* templ)
{
    WOB_PARM_BLK_STR pb[3] = {wob_object(0, nullptr), wob_object(0, t),
                              wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1))};
    EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_TEMPLATE_OUTPUT, 3, pb), 0);
    return pb[0].value.o;
}

// Ends the table's data and closes its output.
inline void finish(xobop mgr, xobop t, xobop out)
{
    WOB_PARM_BLK_STR e = wob_int(WOB_TAG_ENDDATA, 1);
    EXPECT_EQ(wobmth(t, nullptr, WOB_SEL_END_DATA, 1, &e), 0);
    WOB_PARM_BLK_STR c = wob_object(0, out);
    EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_CLOSE_OUTPUT, 1, &c), 0);
}

} // namespace wobtest
