// The VDQ output layer as the procedure drives it: objects and classes with
// method chains and fast-path slots, the method dispatcher `wobmth`, parameter
// blocks and their value types, text keys, and the selectors and tags the
// procedure passes. Implemented by the stand-in host (src/host/output); the
// dispatcher and the failure exit live in the runtime (runtime/wobmth.h).
//
// Protocol in brief:
//   xobinit(&root, 0)                           the root object
//   wobmth(root, 0, WOB_SEL_CREATE, ...)        package "vdq", class "manager"
//   wobmth(manager, 0, WOB_SEL_CREATE, ...)     class "data": a table; columns
//                                               are added (338) and ended (298)
//   wobmth(data, 0, WOB_SEL_PUT_ROW, 0, 0)      copies every bound value now
//   wobmth(manager, 0, WOB_SEL_TEMPLATE_OUTPUT) places the table in the
//                                               document through a template
//   wobmth(data, 0, WOB_SEL_END_DATA) and wobmth(manager, 0, WOB_SEL_CLOSE_OUTPUT)
// Rows may be put before or after the template output; a table collects its
// rows until its data is ended.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

struct NAMESTR; // host variable descriptor (vyr_data.h)

// ---------------------------------------------------------------------------
// Handles. The same declarations appear in common/records.h.
struct WOB_OBJ_STR;
typedef WOB_OBJ_STR* xobop;
struct WOB_TEXTKEY_STR;
typedef WOB_TEXTKEY_STR* xobskey;

struct WOB_MA_TBL_STR;
struct WOB_ENT_STR;
struct WOB_PARM_BLK_STR;

// An object: its class record first; the rest belongs to the layer.
struct WOB_OBJ_STR {
    WOB_MA_TBL_STR* clsh; // class record (methods are looked up here, then in super)
    void* dep_on;         // the object this one depends on (its parent), or null
    void* pool;           // the layer's storage of the object
    void* dep_lst;        // the layer's list of dependent objects
};

// A method: (object, the chain element's mcoh, the entry's id, np, pb, the
// entry) -> a host code (0 success, > 0 warning, < 0 failure).
typedef int (*WOB_METHOD)(xobop obj, void* mcoh, int id, int np, WOB_PARM_BLK_STR* pb,
                          WOB_ENT_STR* ent);

struct WOB_ENT_STR {
    WOB_METHOD func; // the method
    void* u;         // interpretation or application index (the layer's)
    int id;          // the method's own number
    int offset;
    int opts;
};

struct WOB_EXPRESS_STR {
    WOB_EXPRESS_STR* next; // next element of the same chain
    void* mcoh;            // object handed to the method
    WOB_ENT_STR* ent;      // method entry
    int id;                // selector this element answers
};

struct WOB_ZOOM_STR {
    WOB_ENT_STR* ent;
    void* mcoh;
};

struct WOB_MA_TBL_STR {
    const char* cls;           // class name
    WOB_MA_TBL_STR* super;     // class searched next; null at the root
    WOB_EXPRESS_STR** mth_tbl; // chain heads, indexed by mth_mask & selector
    void* att_tbl;
    WOB_ZOOM_STR zoom[6]; // fast-path slots
    int mth_mask;
    int att_mask;
    int att_off;
};

// ---------------------------------------------------------------------------
// Parameter blocks.
struct WOB_ARRAY_PARM_STR {
    int64_t maxlen; // capacity (informative)
    int64_t len;    // number of bytes (text) or of elements (arrays, lists)
    void* p;        // the text, the array, or the WOB_PARM_BLK_STR list
};

union WOB_VALUE_STR {
    char c;               // type 1
    int32_t i;            // type 3 (and the first word of type 13)
    int64_t l;            // long integers
    double d;             // type 5
    NAMESTR* nm;          // type 7 with tag 2224
    void* p;              // types 7 (other tags), 11, 17, 67 (address of an xobskey)
    xobop o;              // type 12: in, or written by the method when out
    int32_t flag[2];      // type 13: the state is flag[1]
    WOB_ARRAY_PARM_STR a; // types 20, 27, 28
    xobskey key;          // type 66
    unsigned char raw[24];
};

struct WOB_PARM_BLK_STR {
    uint16_t tag;
    uint8_t type;
    uint8_t flags;
    int32_t rc;
    WOB_VALUE_STR value;
};
static_assert(sizeof(WOB_PARM_BLK_STR) == 32, "parameter block layout");
typedef WOB_PARM_BLK_STR xobpbs;

// Value types.
enum : uint8_t {
    WOB_T_CHAR = 1,     // one character
    WOB_T_INT = 3,      // 32-bit integer
    WOB_T_LONG = 4,     // 64-bit integer
    WOB_T_DOUBLE = 5,   // double
    WOB_T_NAMESTR = 7,  // host variable descriptor (tag 2224); varstring array (tags 398, 408)
    WOB_T_PMATRIX = 11, // packed lower triangle of doubles
    WOB_T_OBJECT = 12,  // object handle, in or out
    WOB_T_FLAG = 13,    // flag; state in the value's second word
    WOB_T_ADDRESS = 17, // address of a bound value
    WOB_T_STRING = 20,  // text (WOB_ARRAY_PARM_STR)
    WOB_T_ARRAY = 27,   // array of text keys (WOB_ARRAY_PARM_STR)
    WOB_T_LIST = 28,    // list of parameter blocks (WOB_ARRAY_PARM_STR)
    WOB_T_TEXTKEY = 66, // text key
    WOB_T_KEYADDR = 67, // address of an xobskey the layer writes (paths)
};

// Selectors.
enum : int {
    WOB_SEL_ADD_ENTRY = 164,   // add an entry to a factoid
    WOB_SEL_OUTPUT_DATA = 286, // name a data set to receive a table (recorded)
    WOB_SEL_END_COLUMNS = 298,
    WOB_SEL_END_DATA = 299,
    WOB_SEL_MAKE_GROUP = 300,
    WOB_SEL_SET_DYNAMIC = 316, // set a dynamic variable on a data object
    WOB_SEL_PUT_ROW = 329,
    WOB_SEL_ADD_COLUMN = 338,
    WOB_SEL_NOTE = 358, // a note in the document
    WOB_SEL_MATRIX_OUTPUT = 388,
    WOB_SEL_TEMPLATE_OUTPUT = 422,
    WOB_SEL_CLOSE_OUTPUT = 428,
    WOB_SEL_PAGE = 435,       // recorded; starts a new page in the listing
    WOB_SEL_HEADING = 439,    // set or clear the heading line; procedure title
    WOB_SEL_BEGIN_PLOT = 446, // line-printer plot bracket (recorded)
    WOB_SEL_END_PLOT = 447,
    WOB_SEL_DESTINATION = 451, // destination switch (recorded)
    WOB_SEL_CREATE = 147,
    WOB_SEL_GRAPH_OUTPUT = 2826,
    // Collections (package "collection": "associativearray", "list").
    WOB_SEL_COLL_ADD = 164,   // array: tag 0 key (66), tag 0 object (12); list: tag 0 value (7)
    WOB_SEL_COLL_GET = 175,   // array: tag 0 key, tag 0 object out; list: tag 0 index (3,
                              // from 1), tag 0 value out (7)
    WOB_SEL_COLL_COUNT = 158, // tag 158 int out
    // Device graphics: the destination list (tag 4964, type 7 out: a
    // VDQ_DEST_LIST*), the hand-over of catalogued graphs (tag 4964 the list,
    // tag 4967 a list of per-destination lists of VDQ_CATALOG addresses) and
    // the release of the destination list (tag 4964).
    WOB_SEL_GRAPH_DESTINATIONS = 2385,
    WOB_SEL_GRAPH_HANDOVER = 4966,
    WOB_SEL_GRAPH_RELEASE = 4968,
};

// Tags.
enum : uint16_t {
    WOB_TAG_OBJECT = 0,
    WOB_TAG_COLTYPE = 103,
    WOB_TAG_LAYOUT = 105,
    WOB_TAG_NAME = 138,
    WOB_TAG_PACKAGE = 143,
    WOB_TAG_OUT = 144,
    WOB_TAG_CLASS = 146,
    WOB_TAG_148 = 148,
    WOB_TAG_COUNT = 158,
    WOB_TAG_DYNLIST = 174,
    WOB_TAG_HEADER_KEY = 267,
    WOB_TAG_DECIMALS = 270,
    WOB_TAG_WIDTH = 272,
    WOB_TAG_JUST = 273,
    WOB_TAG_DYNVALUE = 287,
    WOB_TAG_KIND = 288,
    WOB_TAG_LENGTH = 289,
    WOB_TAG_ENDDATA = 291,
    WOB_TAG_LABEL = 296,
    WOB_TAG_ADDRESS = 285,
    WOB_TAG_ENDDATA2 = 300,
    WOB_TAG_DATA_ADDRESS = 307,
    WOB_TAG_CONTENTS = 310,
    WOB_TAG_DYNNAME = 311,
    WOB_TAG_LINE_OPT1 = 332,
    WOB_TAG_LINE_OPT2 = 333,
    WOB_TAG_336 = 336,
    WOB_TAG_TEMPLATE = 339,
    WOB_TAG_FORMAT = 340,
    WOB_TAG_371 = 371,
    WOB_TAG_NOTE_OBJ = 378,
    WOB_TAG_MSGGROUP = 383,
    WOB_TAG_MATRIX = 389,
    WOB_TAG_NROWS = 390,
    WOB_TAG_NCOLS = 391,
    WOB_TAG_COLHEAD = 394,
    WOB_TAG_COLLABELS = 398,
    WOB_TAG_ROWLABELS = 408,
    WOB_TAG_GROUPNUM = 437,
    WOB_TAG_FLAG435 = 435,
    WOB_TAG_HEAD440 = 440,
    WOB_TAG_HEAD442 = 442,
    WOB_TAG_TEXT = 577,
    WOB_TAG_NOTE_LINES = 619,
    WOB_TAG_PATH = 784,
    WOB_TAG_NAMESTR = 2224,
    WOB_TAG_TITLEFLAG = 2558,
    WOB_TAG_HIDDEN = 2640,
    WOB_TAG_PATHS = 2829,
    WOB_TAG_PATHS2 = 2978,
    WOB_TAG_DATAPATH = 2979,
    WOB_TAG_DATAPATH2 = 2980,
    WOB_TAG_PATH_OUT = 3753,
    WOB_TAG_DESTINATIONS = 4964,
    WOB_TAG_GRAPH_LISTS = 4967,
    WOB_TAG_MANAGER_FLAG = 5595,
};

// Column types (tag 103).
enum : int {
    WOB_COL_CONTROL = 1, // control column: a first character "-" marks a total row
    WOB_COL_INT = 3,
    WOB_COL_LONG = 4,
    WOB_COL_DOUBLE = 5,
    WOB_COL_CHAR = 6, // fixed-length text (tag 289 bytes)
    WOB_COL_KEY = 66, // a text key stored at the bound address
};

// Result codes of the layer.
inline constexpr int WOB_RC_NO_METHOD = static_cast<int>(0x80008001u); // selector not found
inline constexpr int WOB_RC_BAD_PARM =
    static_cast<int>(0x80008002u); // parameter missing or of a wrong type
inline constexpr int WOB_RC_BAD_OBJECT = static_cast<int>(0x80008003u); // object of a wrong class
inline constexpr int WOB_RC_NO_TEMPLATE = static_cast<int>(0x80008004u);
// Tolerated failure: facility 63, number 53 (the layer returns it when a
// table is emitted that has no columns, for instance).
inline constexpr int WOB_RC_TOLERATED = static_cast<int>(0x80000000u | (63u << 11) | 53u);

// ---------------------------------------------------------------------------
// Entry points.

// Makes the root object of the step's output layer into *root. Returns 0.
// The step's document is started at the first call of a step.
int xobinit(xobop* root, int flags);

// Method dispatcher (runtime/wobmth.cpp).
int wobmth(xobop obj, WOB_MA_TBL_STR* sst, int sel, int np, WOB_PARM_BLK_STR* pb);
// Calls fast-path slot `slot` of obj's class with (obj, mcoh, method, np, pb,
// entry): the end call of a group or the manager is wobzoom(obj, 3, 4, 0, 0).
int wobzoom(xobop obj, int slot, int method, int np, WOB_PARM_BLK_STR* pb);

// Text keys. Each copies its text; keys live until the step's document is
// discarded (after the session has rendered it).
//   vdqtxt(text, length)           a literal (length < 0: NUL-terminated)
//   vdqtxts(format, flen, ...)     printf-formatted; "%k" takes an xobskey
//   vdqmsg(group, number)          catalogue text (group 0 is the layer's labels)
//   vdqmsgs(group, number, ...)    catalogue text with printf arguments
xobskey vdqtxt(const char* text, int length);
xobskey vdqtxts(const char* format, int flen, ...);
xobskey vdqmsg(int group, int number);
xobskey vdqmsgs(int group, int number, ...);
xobskey vvdqmsgs(int group, int number, va_list ap);
// The text of a key (null key: empty) and its length.
const char* vdqkeytext(xobskey key, int* length);
std::string vdqkeystring(xobskey key);

// Parameter-block makers (convenience for callers building arrays).
inline WOB_PARM_BLK_STR wob_int(uint16_t tag, int32_t v)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_INT;
    b.value.i = v;
    return b;
}
inline WOB_PARM_BLK_STR wob_double(uint16_t tag, double v)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_DOUBLE;
    b.value.d = v;
    return b;
}
inline WOB_PARM_BLK_STR wob_char(uint16_t tag, char c)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_CHAR;
    b.value.c = c;
    return b;
}
inline WOB_PARM_BLK_STR wob_key(uint16_t tag, xobskey k)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_TEXTKEY;
    b.value.key = k;
    return b;
}
inline WOB_PARM_BLK_STR wob_string(uint16_t tag, const char* s, int64_t len)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_STRING;
    b.value.a.maxlen = len;
    b.value.a.len = len;
    b.value.a.p = const_cast<char*>(s);
    return b;
}
inline WOB_PARM_BLK_STR wob_object(uint16_t tag, xobop o)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_OBJECT;
    b.value.o = o;
    return b;
}
inline WOB_PARM_BLK_STR wob_flag(uint16_t tag, int state)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_FLAG;
    b.value.flag[1] = state;
    return b;
}
inline WOB_PARM_BLK_STR wob_address(uint16_t tag, const void* p)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_ADDRESS;
    b.value.p = const_cast<void*>(p);
    return b;
}
inline WOB_PARM_BLK_STR wob_namestr(NAMESTR* nm)
{
    WOB_PARM_BLK_STR b{};
    b.tag = WOB_TAG_NAMESTR;
    b.type = WOB_T_NAMESTR;
    b.value.nm = nm;
    return b;
}
inline WOB_PARM_BLK_STR wob_keyaddr(uint16_t tag, xobskey* where)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_KEYADDR;
    b.value.p = where;
    return b;
}
inline WOB_PARM_BLK_STR wob_list(uint16_t tag, WOB_PARM_BLK_STR* blocks, int64_t n)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_LIST;
    b.value.a.maxlen = n;
    b.value.a.len = n;
    b.value.a.p = blocks;
    return b;
}
inline WOB_PARM_BLK_STR wob_keyarray(uint16_t tag, xobskey* keys, int64_t n)
{
    WOB_PARM_BLK_STR b{};
    b.tag = tag;
    b.type = WOB_T_ARRAY;
    b.value.a.maxlen = n;
    b.value.a.len = n;
    b.value.a.p = keys;
    return b;
}

// ---------------------------------------------------------------------------
// Session side. The layer takes part in a run through the session's hooks:
// at the end of every step the step's document is rendered to the listing
// (print lines) and its part of the HTML and JSON files named on the command
// line is written, with the step's messages and return code once the step
// has ended; the files are committed when the run ends, written even when
// every step failed (or none ran). Each step's document is released once it
// is rendered.

// Takes part in the run about to start (or under way). The command calls it
// before running a program; the first xobinit of a run also does.
void vyr_output_install();
// Opens a BY group in the running step's document: later output goes into it
// (the BY line is shown above it). Called by the data services at each BY group.
struct VyrByValue;
void vyr_output_bygroup(const char* byline);
void vyr_output_bygroup_values(const char* byline, const VyrByValue* values, int count);
// Forgets the running step's document (tests).
void vyr_output_reset();
// The destinations device graphics are drawn for, by name. The document is
// the one destination ("DOCUMENT"); tests may name several, or none.
void vyr_output_set_graph_destinations(const std::vector<std::string>& names);
