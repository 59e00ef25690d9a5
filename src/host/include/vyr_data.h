// Data sets as the procedure and the rest of the host see them: CSV libraries,
// variables and their descriptors, BY groups, observation reading with fetch
// vectors, and output data sets written atomically. Implemented in
// src/host/data.
//
// Variable numbers are 1-based, in the order of the data set's columns.
// A data set handle (DSHANDLE*) stays valid until the step that opened it ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct DSHANDLE; // an open data set (input or output)
struct XVHANDLE; // a fetch vector (input) or a definition vector (output)

// The longest character value the host keeps, in bytes; also the longest
// variable name and label. A CSV value longer than this is refused when the
// data set is opened, with the file, line and column; an attribute file's
// label or length above it is refused with the file and line.
inline constexpr int VYR_MAX_TEXT_LENGTH = 32767;

// ---------------------------------------------------------------------------
// The variable descriptor. Input data sets hand out pointers to their own
// descriptors (xvname); output definitions take a copy of the caller's
// descriptor and of the texts it points to (xvputd).
struct NAMESTR {
    int nvar0 = 0;                 // variable number (1-based); 0 for a fresh descriptor
    short ntype = 1;               // 1 numeric, 2 character
    short nlng = 8;                // stored length in bytes (8 for numeric)
    short user_lng = 0;            // length requested by a definer; used when nlng is 0
    short namelen = 0;             // name length
    const char* name_p = nullptr;  // name text (not NUL-terminated)
    short nlablen = 0;             // label length (0: no label)
    const char* label_p = nullptr; // label text
    // Format. nfl is the length of the format name in nform, nformlongl that of
    // the full name in nformlong; both 0 means no format. The name carries no
    // width or decimals ("BEST", "$CHAR", "DATE", "" for w.d).
    short nfl = 0;
    char nform[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    short nformlongl = 0;
    char nformlong[33] = {};
    short nflen = 0;             // format width (0: the format's default)
    short nfd = 0;               // format decimals
    int nfcode = 0;              // format code for xfxbpn (0: none loaded)
    void* nqxfmthandl = nullptr; // reserved for a kernel formatter
    int ntattr = 0;              // attribute bits (0x400: marked for a copy)
};

// The stored length of a descriptor: nlng, or user_lng when nlng is 0, or 8
// for a numeric variable that gives neither.
int vyr_namestr_length(const NAMESTR& nm);

// Sets a descriptor to the host defaults: numeric, length 8, no name, label or
// format.
void xvnamei(NAMESTR* descriptor);

// ---------------------------------------------------------------------------
// Opening and closing data sets (the program reader calls these for DATA=,
// OUT=, OUTSURV=, ... and hands the handles to the procedure).

inline constexpr int VYR_DS_INPUT = 1;
inline constexpr int VYR_DS_OUTPUT = 2;

// Opens data set `name` for reading (mode VYR_DS_INPUT) or writing
// (VYR_DS_OUTPUT). `name` is "lib.member" (WORK is the --out folder, DATA
// the data folder; other librefs come from LIBNAME), "member" (an output:
// WORK.member; an input: WORK.member when it exists, else DATA.member), or,
// when `quoted` is true, a file path used as given. Member names are
// case-insensitive. A name that leads out of its library folder through a
// symbolic link is refused; so is an output that is an input or output data
// set of the running step under another name, and an input that is the
// run's listing, log, HTML or JSON file. An input's .csv and .attr are read
// under the folder's shared lock. On failure a message naming the file (and
// the line for bad CSV) is logged and a negative code returned; *out is
// null. The caller ends the step with xexit(1008, 0).
int vyr_dsopen(std::string_view name, int mode, bool quoted, DSHANDLE** out);

// Convenience: the handle or null (the message is logged).
DSHANDLE* vyr_dsopen(std::string_view name, int mode, bool quoted = false);

// Reads a data set from a CSV file path directly (tests, tools).
int vyr_dsopen_path(const std::string& path, int mode, DSHANDLE** out);

// The words of the statements of the step about to open its inputs: an
// input opened on this thread while they are set keeps, from its one pass
// over the file, the values of the columns named by one of the words, and
// leaves the values of the others in the file until first used (a column
// used under no word of its own, as in a variable range, is read then).
// Null ends it.
void vyr_data_expect_words(const std::vector<std::string>* upperWords);
// The words (upper case) of statement texts: runs of letters, digits and
// underscores that start with a letter or an underscore.
std::vector<std::string> vyr_statement_words(const std::vector<std::string_view>& texts);

// The variable number of `name` (case-insensitive), 0 when there is none.
int xvfind(DSHANDLE* ds, std::string_view name);

// BY statement set-up for an input data set: the BY variable numbers, a
// DESCENDING flag per variable (null: all ascending) and NOTSORTED. Without
// NOTSORTED, an observation out of BY order is reported (data set,
// observation number and BY variable) by the xbynext that meets it, which
// then ends the step with 1008. Returns 0 or a negative code.
int xbyset(DSHANDLE* ds, const int* varnums, const unsigned char* descending, int n,
           bool notsorted);

// The data set's display name ("LIB.MEMBER"), and its file path.
std::string vyr_dsname(const DSHANDLE* ds);
std::string vyr_dspath(const DSHANDLE* ds);
// Why variable `varnum` (1-based) of an input data set is character: the
// value and line of its file that made it so, or its attribute file; ""
// for a numeric variable or when nothing is known.
std::string vyr_dsvar_why_text(const DSHANDLE* ds, int varnum);

// Number of observations of an input data set (all BY groups); of rows
// written so far for an output one.
long vyr_dsnobs(const DSHANDLE* ds);

// Step end. Every output data set opened in the step is either committed
// (written under its real name, sidecar beside it) when `ok` is true and the
// data set had no write failure, or dropped (its temporary file removed) so
// that no half-written data set is left under the real name. Input data sets
// are released. The session calls this once per step; it is idempotent.
void vyr_data_step_end(bool ok);

// Commits or drops one output data set now (also done by vyr_data_step_end).
// Returns 0 or a negative code (the message is logged).
int vyr_dsclose(DSHANDLE* ds, bool commit);
// Forgets a data set opened in this step that is not used after all: an
// output is dropped without a word, no file is made, and its name is free
// again in the step. The handle is gone afterwards.
void vyr_dsforget(DSHANDLE* ds);

// The name ("LIB.MEMBER") of the output data set committed last in this run,
// empty when none (the default input when DATA= is absent).
std::string vyr_data_last_created();

// One BY variable's value in a BY group: a number, or a text without its
// trailing blanks.
struct VyrByValue {
    const char* name;
    bool numeric;
    double number;
    const char* text;
};

// Called with the BY line ("sex=1 ph_ecog=0") and the BY variables' values
// each time xbynext starts a new BY group of an input that has BY variables.
// The output layer registers itself here so that BY groups head the step's
// output; null removes it.
void vyr_data_on_bygroup(void (*hook)(const char* byline, const VyrByValue* values, int count));

// The library a libref names (its folder), the hook to the session's library
// table. Empty when the libref is unknown, and for WORK when its folder
// cannot be made (never the current folder in its place).
std::string vyr_data_library(std::string_view libref);

// ---------------------------------------------------------------------------
// Information about a data set.

// Whole-variable services.
// Selects every variable for reading; *nv (when given) receives their number.
int xvallvr(DSHANDLE* ds, int* nv = nullptr);
// Fixes the selection made for reading. Returns 0.
int xvsele(DSHANDLE* ds);

// Information items:
//  1   the information block: `out` is a buffer of at least 418 bytes; the
//      variable count goes to the int at byte 128 and the label (258 bytes,
//      blank padded) to byte 160. Returns 0.
//  3   the observation count (all BY groups) into the long at `out`.
//  22  sets the data set label from `out` = a record {int16 length, text}.
//  23  1 when the data set is open and has at least one variable, else 0
//      (the count itself comes with 95 or xvallvr).
//  81  the name "LIB.MEMBER" into `out` (char buffer of at least 42 bytes,
//      NUL-terminated). Returns 0.
//  95  the number of variables (also stored into *(int*)out when given).
//  128 0: copies of variable definitions are plain.
// Unknown items return a negative code.
int xoinfo(DSHANDLE* ds, int item, void* out = nullptr);

// The descriptor of variable `varnum`. Returns 0 and the descriptor pointer,
// or a negative code (bad number) and null.
int xvname(DSHANDLE* ds, int varnum, NAMESTR** descriptor);
NAMESTR* xvname(DSHANDLE* ds, int varnum);

// Prepares variables for formatted reading (code 70: loads each listed
// variable's format so that nfcode is set). Returns 0, or a negative code
// when a number is not a variable of the data set.
int xffile(DSHANDLE* ds, int code, const int* list, int n);

// ---------------------------------------------------------------------------
// Variable names under the VALIDVARNAME option (V7 by default).

// The longest variable name: 8 under VALIDVARNAME=V6, else 32.
int zvnamlen();
// Makes the blank-padded field name[0 .. len) a valid variable name in
// place, left-justified and cut to the longest name: under V7 every
// character other than a letter, digit or underscore becomes '_' and a
// leading digit gets an underscore before it; UPCASE and V6 also upper-case
// it (V6 cuts it to 8); ANY keeps the text. A blank field becomes "_".
// `which` is accepted and not read.
void zname(int which, char* name, int len);
// Reads character system option `name` (namelen characters): its first 8
// characters into value (blank padded to 8), their number into *length.
// Returns 0, or a negative code when the option is unset.
int xyrcgef(const char* name, int namelen, char* value, int* length);

// ---------------------------------------------------------------------------
// Fetch vectors: bindings of variables to places in the caller's records.

// Starts a fetch vector on an input data set. `count` is advisory.
int xvgeti(DSHANDLE* ds, int count, XVHANDLE** handle);
XVHANDLE* xvgeti(DSHANDLE* ds, int count);
// Binds variable `varnum`: mode 8 delivers the raw value (8 bytes of double
// for a numeric variable, the stored characters blank padded or cut to
// `length` for a character one); mode 4 delivers the value formatted by the
// variable's format, blank padded to `length` bytes (no NUL). The value goes
// to `address` when it is non-null, else to record base + `offset`.
int xvgetd(XVHANDLE* handle, int varnum, long offset, void* address, int length, int mode);
// Ends the definition.
int xvgete(XVHANDLE* handle);
// Releases a fetch vector (optional; vectors end with their step).
int xvgett(XVHANDLE* handle);

// Delivers every bound value of the current observation; `base` is the record
// that offsets refer to. Returns 0, or a negative code when no observation is
// positioned.
int xyvget(XVHANDLE* handle, void* base);

// Single values of the current observation, without a fetch vector:
// xvget1f the raw number (a missing value for a character variable),
// xvget1v the formatted text in `length` bytes exactly as a fetch vector's
// formatted binding of that length delivers it (a number right-justified in
// its format's width; when that is wider than `length`, without its blanks,
// right-justified, or asterisks when it still does not fit), xvget1c
// the raw characters blank padded or cut to `length` bytes. 0, or a
// negative code (bad number, nothing positioned).
int xvget1f(DSHANDLE* ds, int varnum, double* value);
int xvget1v(DSHANDLE* ds, int varnum, int length, char* buffer);
int xvget1c(DSHANDLE* ds, int varnum, int length, char* buffer);

// ---------------------------------------------------------------------------
// Reading observations and BY groups.

// Request block for observation calls.
struct XO_PARMS {
    DSHANDLE* ds = nullptr;
    int opcode = 0;
    int flags = 0;
    int rc = 0;   // the last status of a call on this block
    long obs = 0; // 1-based number of the observation positioned
};

// Status of xybyget/xoget when no further observation exists in the group
// (or data set). Not an error: xofprc ignores it. Negative, so callers that
// test "status != 0" or "status < 0" stop reading at it.
inline constexpr int XO_EOG = static_cast<int>(0x80000000u | (70u << 11) | 1u);

// Non-zero while a further BY group exists; the first call gives the first
// group (the whole data set when there is no BY statement), 0 after the last.
// Data out of BY order (without NOTSORTED) logs an error naming the data
// set, observation number and BY variable, and ends the step with 1008.
int xbynext(DSHANDLE* ds);
// The BY line of the current BY group ("sex=1 ph_ecog=0") into *text and its
// length; an empty line (0) without BY variables or before the first group.
int xbyline(DSHANDLE* ds, const char** text);
// Positions before the first observation of the current BY group (code 66,
// 'B'). Returns 0.
int xbyrwnd(DSHANDLE* ds, int code);
// Positions the next observation of the current BY group: 0 when one is
// positioned, XO_EOG at the end of the group, another negative code on failure.
int xybyget(XO_PARMS* parms);
int xybyget(DSHANDLE* ds);
// Positions before the first observation of the data set (across BY groups).
int xopnt(XO_PARMS* parms);
// The next observation across BY groups: 0, or XO_EOG at the end.
int xoget(XO_PARMS* parms);

// Central handling of a failed data-set call. mode 1: a failed read; mode 4:
// a failed row write. XO_EOG and 0 are ignored; any other status logs an error
// naming the data set (once per data set and mode), raises the step's return
// code, and marks an output data set as failed, so that it is dropped at step
// end instead of committed. Does not end the step.
int xofprc(XO_PARMS* parms, int status, int mode);
int xofprc(DSHANDLE* ds, int status, int mode);

// ---------------------------------------------------------------------------
// Block reads: the data pass's fast road. Instead of one observation per
// call, the values of the selected variables for a block of observations
// come into column buffers, and a character variable's values can come as
// integer codes, so that a row's group or stratum is found by its code
// rather than by hashing its text.

// One variable of a block read and where its values go.
struct XV_COLBUF {
    int varnum = 0;          // the variable (1-based)
    double* num = nullptr;   // a numeric variable: one double per row
    char* text = nullptr;    // a character variable, optional: `width` bytes per row,
                             // the value blank padded or cut
    int width = 0;           // bytes per row in `text` (0: the variable's length)
    int32_t* code = nullptr; // a character variable, optional: each row's value code
                             // (see xvcodes)
};

// Reads the next block of observations of the current BY group: at most
// `maxrows` observations after the current one, for each of the `nbufs`
// variables in `bufs`, into its buffers (row i of the block at index i).
// *nrows receives the number delivered, and the last of them becomes the
// current observation, so that xybyget, xyvget and the single-value reads go
// on from there. Before the first xbynext the block starts at the data set's
// first observation. Returns 0 when rows were delivered, XO_EOG with *nrows 0
// at the end of the group, or another negative code (nothing delivered) for
// a bad variable number or a buffer that does not fit the variable: a
// numeric variable needs `num`; a character one `text` or `code`.
int xyvblock(DSHANDLE* ds, XV_COLBUF* bufs, int nbufs, long maxrows, long* nrows);

// Makes observation `row` of the current BY group (0 its first) the current
// one, as if xybyget had just positioned it: the fetch vectors, single-value
// reads, xybyget and xyvblock go on from it, and parms->obs receives its
// 1-based number. A block reader uses it to fetch one row of a block through
// a fetch vector. Returns 0, XO_EOG when the group has no such row, or
// another negative code for a bad block.
int xybyseek(XO_PARMS* parms, long row);

// One variable's values over the whole current BY group, read in place:
// `num` for a numeric variable, `code` (see xvcodes) for a character one,
// row i of the group at index i.
struct XV_GROUPCOL {
    int varnum = 0;                // the variable (1-based)
    const double* num = nullptr;   // set for a numeric variable
    const int32_t* code = nullptr; // set for a character variable
};

// Points each of the `ncols` entries of `cols` at its variable's values over
// the current BY group (the whole data set before the first xbynext),
// reading the columns together when they are not yet in memory, and puts
// the group's number of rows in *nrows. The values stay in place until the
// step ends, and may be read from any thread. The cursor does not move.
// Returns 0, or a negative code (nothing set) for a bad variable number or a
// column that cannot be read.
int xyvgroupcols(DSHANDLE* ds, XV_GROUPCOL* cols, int ncols, long* nrows);

// The distinct values of a character variable, which its codes number.
struct XV_DICT {
    int count = 0;                     // the number of distinct values
    const char* const* text = nullptr; // text[k]: value k (not NUL-terminated)
    const int* length = nullptr;       // length[k]: its length, trailing blanks removed
};

// Codes the values of character variable `varnum` over the whole data set
// (every BY group): values equal but for trailing blanks get the same code,
// numbered from 0 in the order they first appear in the data set. Fills
// *dict; its arrays and texts stay valid until the step ends. The codes of
// each observation come through XV_COLBUF::code. Returns 0, or a negative
// code for a bad or numeric variable.
int xvcodes(DSHANDLE* ds, int varnum, XV_DICT* dict);

// ---------------------------------------------------------------------------
// Output data sets.

// Opens the variable definitions of output data set `ds`; `count` is advisory
// (it may exceed the variables defined); `flags` is accepted and ignored.
int xvputi(DSHANDLE* ds, int count, int flags, XVHANDLE** handle);
// Defines one variable from `descriptor` (copied with its texts). When a row
// is written the value is read from `address` when non-null, else from
// `offset` in the row record handed to xyvput; `length` bytes (0: the
// variable's length; numeric values are always 8 bytes). A duplicate name is
// refused with a negative code (message logged).
int xvputd(XVHANDLE* handle, const NAMESTR* descriptor, long offset, const void* address,
           int length, int reserved1, int reserved2);
// Ends the definitions; the header row is fixed from here on.
int xvpute(XVHANDLE* handle);
// Defines copies of input variables (name, label, type, length, format) in
// the output: the listed variable numbers (absolute values; null list: all
// variables, nvar ignored). Each copy is bound to the input's current value:
// a row written later carries the value of the input observation positioned
// at that moment (the BY values of the current group). `ovlist`, when given,
// receives the output variable numbers. Returns 0 or a negative code.
int xvputcv(XVHANDLE* handle, DSHANDLE* input, const int* list, int nvar, int* ovlist);
// Writes one row: every defined variable's value is taken from its binding
// now. Returns 0 or a negative code (then the data set is marked failed).
int xyvput(XVHANDLE* handle, const void* record);
// The add-observation call of callers that write in two steps (xyvput, then
// this): xyvput already wrote the row, so this writes nothing and returns the
// status of the last row write on the data set.
int xoadd(XO_PARMS* parms);
int xoadd(DSHANDLE* ds);

// ---------------------------------------------------------------------------
// C++ view of an input data set for host code (output layer, tests).
namespace vyr::data
{

struct ColumnInfo {
    std::string name;
    std::string label;
    bool numeric = true;
    int length = 8;
    std::string format; // "" or e.g. "DATE9.", "8.2", "$CHAR10."
};

std::vector<ColumnInfo> columns(const DSHANDLE* ds);
// Numeric value of observation `obs` (1-based) of variable `varnum`.
double number(const DSHANDLE* ds, long obs, int varnum);
// Character value (without trailing blanks) of observation `obs`.
std::string text(const DSHANDLE* ds, long obs, int varnum);

} // namespace vyr::data
