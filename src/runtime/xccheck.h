// The result of a utility-file service (open, position, read, write, note):
// a non-zero code is logged with the host's text, and a negative one ends the
// step with 1020, since the records of the BY group can no longer be trusted.
#pragma once

#include "vyr_host.h"

inline void check_file(int rc)
{
    if (rc != 0) {
        xprrlog(0, rc);
        if (rc < 0)
            xexit(1020, 0);
    }
}
