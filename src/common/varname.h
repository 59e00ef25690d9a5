// The name of an analysis variable named on the procedure's statement, for
// the messages that speak of it.
#pragma once

#include <cstddef>
#include <string>

#include "common/korvcom.h"
#include "vyr_data.h"
#include "vyr_parse.h"

// The name of the variable in field `field` of the procedure's statement
// record (proc_field: FREQ, CENSOR, WEIGHT, ...), or "" when there is none.
inline std::string korv_variable_name(KorvPtr q, int field)
{
    const STLIST* f = stmt_field(q->stmt, field);
    NAMESTR* nm = nullptr;
    if (!f || f->n < 1 || !f->ivals ||
        xvname(static_cast<DSHANDLE*>(q->filein), f->ivals[0], &nm) < 0 || !nm)
        return std::string();
    return std::string(nm->name_p, static_cast<size_t>(nm->namelen));
}
