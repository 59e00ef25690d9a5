// Building blocks of the table definers: a create call on the manager and a
// column call assembled block by block. Every call's result goes through
// wobcall, which hands a negative one to zvdqexit.
#pragma once

#include "common/korvcom.h"
#include "runtime/wobmth.h"
#include "vyr_output.h"

namespace korv_results
{

// A text key of a zero-terminated name or label.
inline xobskey txt(const char* s)
{
    return vdqtxt(s, -1);
}

// Makes a data object (a table) on the manager: package "vdq", class
// "data", object out, tag 148 = -1, name, label, and tag 336 = 1 when
// `flag336` is set.
xobop createTable(KorvPtr q, xobskey name, xobskey label, bool flag336 = false);

// The blocks of one column call.
struct ColumnCall {
    WOB_PARM_BLK_STR b[24];
    int n = 0;
    ColumnCall& type(int t) { return add(wob_int(WOB_TAG_COLTYPE, t)); }
    ColumnCall& name(xobskey k) { return add(wob_key(WOB_TAG_NAME, k)); }
    ColumnCall& name(const char* s) { return add(wob_key(WOB_TAG_NAME, vdqtxt(s, -1))); }
    ColumnCall& label(xobskey k)
    {
        if (k)
            add(wob_key(WOB_TAG_LABEL, k));
        return *this;
    }
    ColumnCall& label0(int n0) { return add(wob_key(WOB_TAG_LABEL, vdqmsg(0, n0))); }
    ColumnCall& address(const void* p) { return add(wob_address(WOB_TAG_ADDRESS, p)); }
    ColumnCall& length(int l) { return add(wob_int(WOB_TAG_LENGTH, l)); }
    ColumnCall& width(int w) { return add(wob_int(WOB_TAG_WIDTH, w)); }
    ColumnCall& decimals(int d) { return add(wob_int(WOB_TAG_DECIMALS, d)); }
    ColumnCall& format(xobskey k) { return add(wob_key(WOB_TAG_FORMAT, k)); }
    ColumnCall& templ(const char* col) { return add(wob_key(WOB_TAG_TEMPLATE, vdqtxt(col, -1))); }
    ColumnCall& dynamic(const char* dname, xobskey value)
    {
        add(wob_key(WOB_TAG_DYNNAME, vdqtxt(dname, -1)));
        return add(wob_key(WOB_TAG_DYNVALUE, value));
    }
    ColumnCall& namestr(NAMESTR* nm) { return add(wob_namestr(nm)); }
    ColumnCall& add(const WOB_PARM_BLK_STR& blk)
    {
        if (n < 24)
            b[n++] = blk;
        return *this;
    }
    // Adds the column to `table`.
    void to(xobop table);
};

// Shorthand for the common numeric and character columns.
void numColumn(xobop table, const char* name, xobskey label, const void* address,
               const char* templateColumn = nullptr);
void charColumn(xobop table, const char* name, xobskey label, const void* address, int length);
// Ends the column definitions of a table.
void endColumns(xobop table);
// The total count of the competing-risks summaries ("Total",
// crcount_slot::TOTAL).
void totalColumn(KorvPtr q, xobop table);
// The "Timelist" column when TIMELIST= is given, then the time column, named
// and labelled after the time variable, bound to the table's two slots.
void timeColumns(KorvPtr q, xobop table, int timeSlot, int timelistSlot);

// The confidence level 100 x (1 - alpha) as the labels take it.
inline double level(double alpha)
{
    return 100.0 * (1.0 - alpha);
}

} // namespace korv_results
