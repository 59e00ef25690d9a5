// The table layer of the restricted means: each routine makes one call of
// the output layer on an output state (groups, data objects with their
// columns and dynamic variables, rows, template output, closing). A failed
// call ends the step through the output layer's failure exit (wobcall).
#include <cstring>
#include <initializer_list>
#include <vector>

#include "rmst/rmst.h"
#include "runtime/wobmth.h"
#include "vyr_data.h"

namespace
{

xobskey key(const char* text)
{
    return vdqtxt(text, -1);
}

void setDynamic(ZRMSVDQ* zog, const char* name, WOB_PARM_BLK_STR value)
{
    if (!zog || !zog->table)
        return;
    value.tag = WOB_TAG_DYNVALUE;
    WOB_PARM_BLK_STR pb[] = {wob_key(WOB_TAG_DYNNAME, key(name)), value};
    wobcall(zog->table, WOB_SEL_SET_DYNAMIC, pb);
}

void addColumn(ZRMSVDQ* zog, std::initializer_list<WOB_PARM_BLK_STR> blocks)
{
    if (!zog || !zog->table)
        return;
    std::vector<WOB_PARM_BLK_STR> pb(blocks);
    wobcall(zog->table, WOB_SEL_ADD_COLUMN, pb);
}

} // namespace

xobskey zrmstblTemplate(ZRMSVDQ* zog, const char* name)
{
    return vdqtxts("%k.%k", -1, zog->templ, key(name));
}

void zrmstblSetContentsLabel(ZRMSVDQ* zog, xobskey label)
{
    if (!zog || !zog->table)
        return;
    WOB_PARM_BLK_STR pb[] = {wob_key(WOB_TAG_CONTENTS, label)};
    const int rc = wobzoom(zog->table, 0, 1, 1, pb);
    if (rc < 0)
        zvdqexit(rc);
}

xobop zrmstblMakeGroup(ZRMSVDQ* zog, const char* name, int lblmsgno, xobskey label)
{
    if (!zog || !zog->vdq)
        return nullptr;
    WOB_PARM_BLK_STR pb[] = {wob_object(WOB_TAG_OUT, nullptr), wob_key(WOB_TAG_NAME, key(name)),
                             wob_key(WOB_TAG_LABEL, label ? label : vdqmsg(326, lblmsgno)),
                             wob_flag(WOB_TAG_FLAG435, 0)};
    wobcall(zog->vdq, WOB_SEL_MAKE_GROUP, pb);
    return pb[0].value.o;
}

void zrmstblDeleteGroup(xobop group)
{
    if (!group)
        return;
    const int rc = wobzoom(group, 3, 4, 0, nullptr);
    if (rc < 0)
        zvdqexit(rc);
}

void zrmstblAddDynamicSkey(ZRMSVDQ* zog, const char* name, xobskey value)
{
    setDynamic(zog, name, wob_key(0, value));
}

void zrmstblAddScalarInt(ZRMSVDQ* zog, const char* name, int value)
{
    setDynamic(zog, name, wob_int(0, value));
}

void zrmstblAddScalarDouble(ZRMSVDQ* zog, const char* name, double value)
{
    setDynamic(zog, name, wob_double(0, value));
}

xobop zrmstblSetUpTable(ZRMSVDQ* zog, xobskey stitle, const char* name, int lines)
{
    if (!zog || !zog->vdq)
        return nullptr;
    WOB_PARM_BLK_STR pb[] = {
        wob_string(WOB_TAG_PACKAGE, "vdq", 3), wob_string(WOB_TAG_CLASS, "data", 4),
        wob_object(WOB_TAG_OUT, nullptr),      wob_int(WOB_TAG_148, -1),
        wob_key(WOB_TAG_NAME, key(name)),      wob_key(WOB_TAG_LABEL, stitle)};
    wobcall(zog->vdq, WOB_SEL_CREATE, pb);
    zog->table = pb[2].value.o;
    zog->out = nullptr;
    zrmstblAddDynamicSkey(zog, "Title", stitle);
    if (!zog->SecTitle) {
        zrmstblAddScalarInt(zog, "FirstSpace", 1);
    } else {
        zrmstblAddDynamicSkey(zog, "Title2", zog->SecTitle);
        zrmstblAddScalarInt(zog, "FirstSpace", 0);
    }
    if (lines == -1) {
        WOB_PARM_BLK_STR o[] = {wob_int(WOB_TAG_LINE_OPT1, 1)};
        wobzoom(zog->table, 0, 1, 1, o);
    } else if (lines != 0) {
        WOB_PARM_BLK_STR o[] = {wob_int(WOB_TAG_336, 1), wob_int(WOB_TAG_LINE_OPT2, lines)};
        wobzoom(zog->table, 0, 1, 2, o);
    }
    return zog->table;
}

void zrmstblAddColumnD(ZRMSVDQ* zog, const double* address, int msgno, const char* varname)
{
    if (msgno >= 1)
        addColumn(
            zog, {wob_int(WOB_TAG_COLTYPE, WOB_COL_DOUBLE), wob_address(WOB_TAG_ADDRESS, address),
                  wob_key(WOB_TAG_LABEL, vdqmsg(326, msgno)), wob_key(WOB_TAG_NAME, key(varname))});
    else
        addColumn(zog,
                  {wob_int(WOB_TAG_COLTYPE, WOB_COL_DOUBLE), wob_address(WOB_TAG_ADDRESS, address),
                   wob_key(WOB_TAG_NAME, key(varname))});
}

void zrmstblAddColumnDK(ZRMSVDQ* zog, const double* address, xobskey label, const char* varname)
{
    if (label)
        addColumn(zog,
                  {wob_int(WOB_TAG_COLTYPE, WOB_COL_DOUBLE), wob_address(WOB_TAG_ADDRESS, address),
                   wob_key(WOB_TAG_LABEL, label), wob_key(WOB_TAG_NAME, key(varname))});
    else
        addColumn(zog,
                  {wob_int(WOB_TAG_COLTYPE, WOB_COL_DOUBLE), wob_address(WOB_TAG_ADDRESS, address),
                   wob_key(WOB_TAG_NAME, key(varname))});
}

void zrmstblAddColumnDG(ZRMSVDQ* zog, const double* address, xobskey label, const char* varname,
                        const char* col)
{
    addColumn(zog, {wob_int(WOB_TAG_COLTYPE, WOB_COL_DOUBLE), wob_address(WOB_TAG_ADDRESS, address),
                    wob_key(WOB_TAG_LABEL, label), wob_key(WOB_TAG_NAME, key(varname)),
                    wob_key(WOB_TAG_TEMPLATE, key(col))});
}

void zrmstblAddColumnI(ZRMSVDQ* zog, const int* address, int msgno, const char* varname, int width)
{
    addColumn(zog, {wob_int(WOB_TAG_COLTYPE, WOB_COL_INT), wob_address(WOB_TAG_ADDRESS, address),
                    wob_key(WOB_TAG_LABEL, vdqmsg(326, msgno)),
                    wob_int(WOB_TAG_WIDTH, width < 1 ? 4 : width),
                    wob_key(WOB_TAG_FORMAT, key("BEST")), wob_key(WOB_TAG_NAME, key(varname))});
}

void zrmstblAddColumnSkey(ZRMSVDQ* zog, const xobskey* address, int msgno, const char* varname)
{
    if (msgno >= 1)
        addColumn(
            zog, {wob_int(WOB_TAG_COLTYPE, WOB_COL_KEY), wob_key(WOB_TAG_LABEL, vdqmsg(326, msgno)),
                  wob_key(WOB_TAG_NAME, key(varname)), wob_address(WOB_TAG_ADDRESS, address)});
    else
        addColumn(zog, {wob_int(WOB_TAG_COLTYPE, WOB_COL_KEY), wob_key(WOB_TAG_NAME, key(varname)),
                        wob_address(WOB_TAG_ADDRESS, address)});
}

void zrmstblAddColumnV(ZRMSVDQ* zog, const void* address, NAMESTR* var, int len, const char* col,
                       int prt)
{
    if (!zog || !zog->table || !var)
        return;
    std::vector<WOB_PARM_BLK_STR> pb = {
        wob_address(WOB_TAG_ADDRESS, address),
        wob_key(WOB_TAG_LABEL, var->nlablen > 0 ? vdqtxt(var->label_p, var->nlablen)
                                                : vdqtxt(var->name_p, var->namelen)),
        wob_namestr(var)};
    const bool formatted = var->nfl > 0 || var->nformlongl > 0;
    if (var->ntype == 1) {
        if (!formatted)
            pb.push_back(wob_int(WOB_TAG_DECIMALS, var->nfd == 0 ? 99 : var->nfd));
        pb.push_back(wob_key(WOB_TAG_TEMPLATE, key(col)));
        pb.push_back(wob_key(WOB_TAG_DYNNAME, key("prt")));
        pb.push_back(wob_int(WOB_TAG_DYNVALUE, prt > 0 ? 1 : 0));
    } else {
        pb.push_back(wob_int(WOB_TAG_LENGTH, len));
        if (!formatted)
            pb.push_back(wob_int(WOB_TAG_WIDTH, len));
        pb.push_back(wob_key(WOB_TAG_TEMPLATE, key(col)));
    }
    wobcall(zog->table, WOB_SEL_ADD_COLUMN, pb);
}

void zrmstblInit(ZRMSVDQ* zog)
{
    if (zog && zog->table)
        wobcall(zog->table, WOB_SEL_END_COLUMNS);
}

xobop zrmstblOutG(ZRMSVDQ* zog, xobskey templ, int internal)
{
    if (!zog || !zog->vdq || !zog->table)
        return nullptr;
    WOB_PARM_BLK_STR pb[] = {wob_object(WOB_TAG_OBJECT, nullptr),
                             wob_object(WOB_TAG_OBJECT, zog->table),
                             wob_key(WOB_TAG_TEMPLATE, templ), wob_keyaddr(WOB_TAG_PATH, zog->path),
                             wob_flag(WOB_TAG_HIDDEN, internal)};
    wobcall(zog->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    zog->out = pb[0].value.o;
    return zog->out;
}

xobop zrmstblOut(ZRMSVDQ* zog, xobskey templ)
{
    if (!zog || !zog->vdq || !zog->table)
        return nullptr;
    WOB_PARM_BLK_STR pb[] = {wob_object(WOB_TAG_OBJECT, nullptr),
                             wob_object(WOB_TAG_OBJECT, zog->table),
                             wob_key(WOB_TAG_TEMPLATE, templ)};
    wobcall(zog->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    zog->out = pb[0].value.o;
    return zog->out;
}

void zrmstblPut(ZRMSVDQ* zog)
{
    if (zog && zog->table)
        wobcall(zog->table, WOB_SEL_PUT_ROW);
}

// Ends the current table's data and closes its output, with the state's
// note when one is set. A state with no table or output open has nothing to
// close: nothing is sent to the output layer for objects that were never
// made.
void zrmstblClose(ZRMSVDQ* zog)
{
    if (!zog || !zog->vdq || !zog->table)
        return;
    WOB_PARM_BLK_STR end[] = {wob_int(WOB_TAG_ENDDATA, 1)};
    wobcall(zog->table, WOB_SEL_END_DATA, end);
    if (zog->out) {
        xobop note = zog->AfterNote ? wobtitle(zog->vdq, zog->AfterNote, 'c') : nullptr;
        if (note) {
            WOB_PARM_BLK_STR pb[] = {wob_object(WOB_TAG_OBJECT, zog->out),
                                     wob_object(WOB_TAG_NOTE_OBJ, note)};
            wobcall(zog->vdq, WOB_SEL_CLOSE_OUTPUT, pb);
        } else {
            WOB_PARM_BLK_STR pb[] = {wob_object(WOB_TAG_OBJECT, zog->out)};
            wobcall(zog->vdq, WOB_SEL_CLOSE_OUTPUT, pb);
        }
    }
    zog->table = nullptr;
    zog->out = nullptr;
}
