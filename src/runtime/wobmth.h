// Output-object method calls and the single failure exit of the output layer.
#pragma once

#include <cstddef>
#include <vector>

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

// The same with every block of an array, or of a list, or one block, or none:
// the count comes from the blocks themselves, so it cannot drift from them.
template <std::size_t N> inline int wobcall(xobop obj, int sel, WOB_PARM_BLK_STR (&pb)[N])
{
    return wobcall(obj, sel, static_cast<int>(N), pb);
}
inline int wobcall(xobop obj, int sel, std::vector<WOB_PARM_BLK_STR>& pb)
{
    return wobcall(obj, sel, static_cast<int>(pb.size()), pb.data());
}
inline int wobcall(xobop obj, int sel, WOB_PARM_BLK_STR& one)
{
    return wobcall(obj, sel, 1, &one);
}
inline int wobcall(xobop obj, int sel)
{
    return wobcall(obj, sel, 0, nullptr);
}

// Puts `text` as the heading over the output that follows (a stratum's, a
// failure code's), centred; clear_heading takes it away at the group's end.
inline void set_heading(xobop vdq, xobskey text)
{
    WOB_PARM_BLK_STR pb[] = {WOB_PARM_BLK_STR{}, wob_int(WOB_TAG_HEAD440, 3),
                             wob_int(WOB_TAG_148, -1), wob_char(WOB_TAG_JUST, 'c'),
                             wob_key(WOB_TAG_TEXT, text)};
    wobcall(vdq, WOB_SEL_HEADING, pb);
}
inline void clear_heading(xobop vdq)
{
    WOB_PARM_BLK_STR pb[] = {WOB_PARM_BLK_STR{}, wob_int(WOB_TAG_HEAD442, 2)};
    wobcall(vdq, WOB_SEL_HEADING, pb);
}

// Makes a title object carrying one note text (a table's footnote or heading
// note), justified 'l', 'c' or 'r'; returns the new object.
inline xobop wobtitle(xobop vdq, xobskey text, char just)
{
    WOB_PARM_BLK_STR pb[7];
    pb[0] = wob_string(WOB_TAG_PACKAGE, "template", 8);
    pb[1] = wob_string(WOB_TAG_CLASS, "title", 5);
    pb[2] = wob_object(WOB_TAG_OUT, nullptr);
    pb[3] = wob_int(WOB_TAG_148, -1);
    pb[4] = wob_int(WOB_TAG_371, 0);
    pb[5] = wob_key(WOB_TAG_TEXT, text);
    pb[6] = wob_char(WOB_TAG_JUST, just);
    wobcall(vdq, WOB_SEL_CREATE, pb);
    return pb[2].value.o;
}
