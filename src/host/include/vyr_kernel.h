// The kernel: the second platform layer under the procedure, reached through
// one handle of operations (`Exported_QXHandle`). It offers kernel memory
// pools (zeroed memory), threads and events, option values read by
// wide-character name, the national-language object (case mapping, character
// classes, transcoding between 32-bit characters and byte encodings), kernel
// journals and output devices, kernel formats, and extensions loaded by name:
//
//   "qxnlsudb"  the Unicode character database (classes and case, all planes)
//   "qxeavl"    balanced trees with typed keys
//   "qxeaa"     hash tables
//   "qxefmt"    formatting through the host's format engine
//
// Every kernel object starts with a QXObjHdr whose `destroy` releases it.
// Operations are plain function pointers taking the object first, so calls
// read as  h->nameGet(h, name, len, 3, &v, &size).
//
// The procedure's module entry copies the kernel handle into
// `Exported_QXHandle` (Exported_QXHandle = vyr_kernel_handle()); runtime code
// treats a null handle as a kernel without the optional parts (no
// national-language object, no options).
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Scalar types.
using QXChar = uint32_t;    // a Unicode code point
using QXMemSize = uint64_t; // a count of bytes
using QXStrSize = int64_t;  // a count of QXChar (0 or less: empty)
using QXBoolean = int;      // 1 or 0
using QXStatus = int;       // 0 success
using QXMemPtr = void*;
using QXConstMemPtr = const void*;
using QXUtf8 = unsigned char;

// Kernel status values.
inline constexpr QXStatus QX_OK = 0;
inline constexpr QXStatus QX_E_NOMEM = static_cast<int>(0x803fc001u);       // out of memory
inline constexpr QXStatus QX_E_FAILED = static_cast<int>(0x803fc002u);      // operation failed
inline constexpr QXStatus QX_E_INVALID = static_cast<int>(0x803fc003u);     // invalid argument
inline constexpr QXStatus QX_E_UNSUPPORTED = static_cast<int>(0x803fc004u); // not supported
inline constexpr QXStatus QX_E_NOTFOUND = static_cast<int>(0x803fc005u);    // no such name
inline constexpr QXStatus QX_E_TYPE = static_cast<int>(0x803fc006u);        // wrong value type
inline constexpr QXStatus QX_E_NOTHREAD = static_cast<int>(0x803fc009u);    // no thread
inline constexpr QXStatus QX_E_TIMEOUT = static_cast<int>(0x803fc00bu);     // wait timed out
inline constexpr QXStatus QX_E_BUFSMALL = static_cast<int>(0x803fe807u); // output buffer too small
inline constexpr QXStatus QX_E_NOTREPR =
    static_cast<int>(0x803fe808u); // character not representable
inline constexpr QXStatus QX_E_BADINPUT = static_cast<int>(0x803fe809u); // malformed input bytes

// Character encodings (CEI) known to the kernel's transcoding pipelines.
inline constexpr int QX_CEI_QXCHAR = 1;  // 32-bit code points in machine order
inline constexpr int QX_CEI_UTF8 = 20;   // UTF-8 (the session encoding)
inline constexpr int QX_CEI_LATIN1 = 28; // ISO 8859-1

// ---------------------------------------------------------------------------
// Generic object header.
struct QXObjHdr {
    uint32_t tag;
    QXStatus (*destroy)(void* self);
};

// ---------------------------------------------------------------------------
// Kernel pools. Memory is zero-filled whatever the flags (0x80000000 asks for
// it explicitly); destroying a pool releases everything allocated from it.
struct QXPool_S;
using QXPoolh = QXPool_S*;
struct QXPool_S {
    QXObjHdr hdr;
    QXMemPtr (*alloc)(QXPoolh pool, QXMemSize length, uint32_t flags); // null on failure
    void (*free)(QXPoolh pool, QXMemPtr address);                      // null is ignored
};

// ---------------------------------------------------------------------------
// Events: manual reset, with a 32-bit code stored by post. post and clear
// publish (release); test and wait acquire, so memory written before a post
// is visible to the thread that sees the event posted.
struct QXEvent_S;
using QXEventh = QXEvent_S*;
struct QXEvent_S {
    QXObjHdr hdr;
    QXStatus (*post)(QXEventh ev, uint32_t code);
    // *posted (when not null) 1 or 0, *code (when not null) the posted code;
    // changes nothing.
    QXStatus (*test)(QXEventh ev, QXBoolean* posted, uint32_t* code);
    QXStatus (*clear)(QXEventh ev);
};

// ---------------------------------------------------------------------------
// Threads.
struct QXThread_S;
using QXThreadh = QXThread_S*;
using QXThreadMain = int (*)(void* param);
// A thread's exception handler: called with the thread, the application
// pointer given at push time and the exception code (0 unknown, 1 float
// overflow, 2 float divide by zero, 3 float exception, 4 integer overflow,
// 5 integer divide by zero, 6 access violation, 7 illegal instruction,
// 8 control-break, 9 timer, 10 domain, 11 NaN, 12 abort).
using QXExcpHandler = int (*)(QXThreadh thread, void* appptr, int code);
inline constexpr int QXTH_ResetContext = 2;

struct QXThread_S {
    QXObjHdr hdr;
    // Waits until any (all == 0) or all (all != 0) of `count` events are
    // posted. `time` is the time-out in milliseconds, 0 meaning none. *pcnt
    // receives the index of a posted event (the lowest) when waiting for any,
    // 0 when all are posted, and `count` on time-out or failure.
    QXStatus (*wait)(QXThreadh thread, size_t count, const QXEventh* events, size_t* pcnt,
                     uint8_t all, uint32_t time);
    // Exception handlers form a stack per running thread: push and pop act
    // on the calling thread's stack.
    QXStatus (*pushExcp)(QXThreadh thread, QXExcpHandler handler, void* appptr);
    QXStatus (*popExcp)(QXThreadh thread);
    // Returns to the context saved with sigsetjmp in `jumpBuffer` (a
    // sigjmp_buf); sigsetjmp then returns 1. Never returns.
    void (*restoreCtxt)(QXThreadh thread, void* jumpBuffer);
    // Raises exception `code` on the calling thread: the handler it pushed
    // last is called (it usually restores a saved context). Returns the
    // handler's result, or QX_E_UNSUPPORTED when none is pushed. Floating-
    // point traps stay masked in this kernel; this is how a trap is raised.
    int (*raiseExcp)(QXThreadh thread, int code);
    // The thread is about to be told to end; nothing to do in this kernel.
    QXStatus (*done)(QXThreadh thread);
};

// ---------------------------------------------------------------------------
// Transcoding pipelines (made by the national-language object).
struct QXNLSPipeline_S;
using QXNLSPipelineh = QXNLSPipeline_S*;
struct QXNLSPipeline_S {
    QXObjHdr hdr;
    // Transcodes `inL` bytes (32-bit characters count 4 bytes each) into
    // `out` of `outCap` bytes; *outL = bytes written. QX_E_BUFSMALL when the
    // output does not fit (what fits is written), QX_E_NOTREPR when a
    // character has no image in the target encoding (a '?' stands for it),
    // QX_E_BADINPUT for malformed input (U+FFFD stands for it). Nothing is
    // dropped silently: every failure is reported.
    QXStatus (*Transcode)(QXNLSPipelineh pipe, const void* in, QXMemSize inL, void* out,
                          QXMemSize outCap, QXMemSize* outL);
    int fromCei;
    int toCei;
};

// ---------------------------------------------------------------------------
// The national-language object (the handle's `qxnls` member).
struct QXNLS_S;
using QXNLSh = QXNLS_S*;
struct QXNLS_S {
    QXObjHdr hdr;
    // Simple Unicode case mapping of character c (n is 1).
    QXChar (*upcase)(QXNLSh nls, QXChar c, int n);
    QXChar (*lowcase)(QXNLSh nls, QXChar c, int n);
    // 1 when c's class bits (the masks below) intersect `mask`; loads the
    // character database ("qxnlsudb") into `udb` on first need.
    QXBoolean (*isclass)(QXNLSh nls, QXChar c, uint32_t mask);
    // Cache slot for the loaded character database (null until loaded).
    void* udb;
    QXNLSPipelineh (*pipelineCreate)(QXNLSh nls, int fromCei, int toCei);
    // The session encoding.
    int (*sessionCei)(QXNLSh nls);
};

// Character class bits (one per Unicode general category).
inline constexpr uint32_t QXCC_LU = 0x1, QXCC_LL = 0x2, QXCC_LT = 0x4, QXCC_MN = 0x8,
                          QXCC_MC = 0x10, QXCC_ME = 0x20, QXCC_ND = 0x40, QXCC_NL = 0x80,
                          QXCC_NO = 0x100, QXCC_ZS = 0x200, QXCC_CC = 0x400, QXCC_CF = 0x800,
                          QXCC_ZL = 0x1000, QXCC_ZP = 0x2000, QXCC_CS = 0x4000, QXCC_CO = 0x8000,
                          QXCC_CN = 0x10000, QXCC_LM = 0x20000, QXCC_LO = 0x40000,
                          QXCC_PC = 0x80000, QXCC_PD = 0x100000, QXCC_PS = 0x200000,
                          QXCC_PE = 0x400000, QXCC_PI = 0x800000, QXCC_PF = 0x1000000,
                          QXCC_PO = 0x2000000, QXCC_SM = 0x4000000, QXCC_SC = 0x8000000,
                          QXCC_SK = 0x10000000, QXCC_SO = 0x20000000;
// Class masks.
inline constexpr uint32_t QXNLS_UPPER = 0x1, QXNLS_LOWER = 0x2, QXNLS_DIGIT = 0x40,
                          QXNLS_XDIGIT = 0x40, QXNLS_ALPHA = 0x60007, QXNLS_ALNUM = 0x60047,
                          QXNLS_PUNCT = 0x3f80000, QXNLS_CNTRL = 0x3c00, QXNLS_PRINT = 0x3ffe03ff,
                          QXNLS_GRAPH = 0xfffe81ff;

// The character database extension ("qxnlsudb").
struct QXNLSUDB_S {
    QXObjHdr hdr;
    uint32_t (*classBits)(QXNLSUDB_S* udb, QXChar c); // one QXCC_ bit
    QXChar (*upper)(QXNLSUDB_S* udb, QXChar c);
    QXChar (*lower)(QXNLSUDB_S* udb, QXChar c);
};

// ---------------------------------------------------------------------------
// Journals and output devices.
struct QX_IO_S;
struct QX_IO_S {
    QXObjHdr hdr; // tag 0x6F76656E for devices
    QXStatus (*flush)(QX_IO_S* dev);
    QXStatus (*read)(QX_IO_S* dev, void* buffer, QXMemSize cap, QXMemSize* got);
    QXStatus (*readLine)(QX_IO_S* dev, QXChar* buffer, QXStrSize cap, QXStrSize* got);
    QXStatus (*write)(QX_IO_S* dev, const void* bytes, QXMemSize length);
    QXStatus (*writeLine)(QX_IO_S* dev, const QXChar* line, QXStrSize lineL, int sev);
};
inline constexpr uint32_t QX_IO_TAG = 0x6F76656E;

struct QX_JNL_S;
using QXJnlh = QX_JNL_S*;
struct QX_JNL_S {
    QXObjHdr hdr;
    QXBoolean (*hasData)(QXJnlh jnl);
    // what 0x20000 attaches `device` as the journal's output (null detaches);
    // the five trailing arguments are 0.
    QXStatus (*config)(QXJnlh jnl, uint32_t what, uint32_t flags, QX_IO_S* device, long a1, long a2,
                       long a3, long a4, long a5);
    // Hands every held line to the attached device (writeLine) and empties
    // the journal; with no device attached the lines are kept.
    QXStatus (*flush)(QXJnlh jnl);
    // Adds one line of `lineL` characters with severity `sev` (1 note-level
    // text, 2 note, 3 warning, 4 error).
    QXStatus (*addLine)(QXJnlh jnl, const QXChar* line, QXStrSize lineL, int sev);
};

// ---------------------------------------------------------------------------
// Kernel formats.
struct QXFmtStr_S;
using QXFmtStrp = QXFmtStr_S*;
struct QXFmtPar {
    int w;            // width
    int d;            // decimals
    const void* from; // input: a double, host bytes, or QXChar
    QXMemSize fromw;  // input length (bytes, or characters for QXChar input)
    void* to;         // output area
    QXMemSize tow;    // output capacity (characters for QXChar output, else bytes)
    QXMemSize retw;   // returned length (same unit as tow)
    uint32_t flags;
};
struct QXFmtStr_S {
    QXObjHdr hdr;
    QXFmtPar FmtPar;
    int in_which;  // 2: reads QXChar; 1: reads host bytes; 0: reads a double
    int out_which; // 2: writes QXChar; 1: writes host bytes
    // Formats FmtPar.from into FmtPar.to, sets FmtPar.retw; returns a status.
    QXStatus (*Func)(QXFmtStrp fmt, int mode);
    void (*release)(QXFmtStrp fmt);
    char name[33]; // format name without width ("BEST", "F", "$", ...)
    int isChar;    // 1 for a character format
};

// A format engine the host installs: formats one value (numeric `value`
// when isChar is 0, else `text` of textL bytes) with format `name` of width
// w and d decimals into out (capacity outCap bytes); returns the length or
// -1 on failure. Without an installed engine the kernel uses a plain one.
using QXFormatEngine = long (*)(const char* name, int w, int d, int isChar, double value,
                                const char* text, size_t textL, char* out, size_t outCap);

// The formatting extension ("qxefmt") and its formatting object.
struct QXEFMT_OBJ_S {
    QXObjHdr hdr;
    QXStatus (*setLocale)(QXEFMT_OBJ_S* obj, const char* locale);
    QXStatus (*close)(QXEFMT_OBJ_S* obj);
    char locale[32];
};
struct QXEFMT_S {
    QXObjHdr hdr;
    QXEFMT_OBJ_S* (*getFormatter)(QXEFMT_S* ext);
    // Makes a kernel format: name, width, decimals, 1 for a character format,
    // the input kind (0 double, 1 host bytes, 2 QXChar) and the output kind
    // (1 host bytes, 2 QXChar). Released with its `release`.
    QXFmtStrp (*formatCreate)(QXEFMT_S* ext, const char* name, int w, int d, int isChar,
                              int in_which, int out_which);
};

// ---------------------------------------------------------------------------
// Balanced trees with typed keys ("qxeavl"). A node begins with QXEAVLNODE;
// the key lies at `keyoffset` bytes in the node. Nodes must be aligned to 8
// bytes (the link fields carry the balance in their low bits). The tree
// never allocates or frees a node.
struct QXEAVLNODE {
    QXEAVLNODE* l;
    QXEAVLNODE* r;
};
inline constexpr int QXEAVL_KEY_CHAR = 1;        // keylength bytes, unsigned order
inline constexpr int QXEAVL_KEY_DOUBLE = 7;      // keylength doubles
inline constexpr int QXEAVL_KEY_DOUBLE_MISS = 8; // doubles, missing values lowest
inline constexpr int QXEAVL_KEY_INT = 9;         // keylength 32-bit ints
struct QXEAVLPARMS {
    QXMemSize keylength; // in key elements (bytes for CHAR)
    QXMemSize keyoffset; // bytes from the node's start
    int keytype;
    uint32_t flags;
};
struct QXEAVL_S;
using QXEAVLh = QXEAVL_S*;
struct QXEAVL_S {
    QXObjHdr hdr;
    QXEAVLNODE* head; // the root; clearing it empties the tree
    // Links `node` and returns it, or returns the node already holding an
    // equal key (then `node` is not linked). Null for a misaligned node.
    QXEAVLNODE* (*adder)(QXEAVLh tree, QXEAVLNODE* node);
    // The node whose key equals the key at `key`, or null.
    QXEAVLNODE* (*finder)(QXEAVLh tree, const void* key);
    QXEAVLNODE* (*first)(QXEAVLh tree);
    QXEAVLNODE* (*last)(QXEAVLh tree);
    QXEAVLNODE* (*next)(QXEAVLh tree, QXEAVLNODE* node); // null after the last
    QXEAVLNODE* (*prev)(QXEAVLh tree, QXEAVLNODE* node); // null before the first
    // Root lock, held while the head is changed from outside.
    QXStatus (*lockGet)(QXEAVLh tree);
    QXStatus (*lockRelease)(QXEAVLh tree);
    QXEAVLPARMS parms;
};
struct QXEAVL_EXTENSION {
    QXObjHdr hdr;
    // Makes an empty tree; null for invalid parameters.
    QXEAVLh (*create)(QXEAVL_EXTENSION* ext, const QXEAVLPARMS* parms, void* custom, void* context);
};

// ---------------------------------------------------------------------------
// Hash tables ("qxeaa"): keys of up to maxkey bytes mapped to values of
// instride bytes.
struct QXEAA_S;
using QXEAAh = QXEAA_S*;
struct QXEAA_S {
    QXObjHdr hdr;
    // Adds key -> value; an existing key keeps its value and gives 1, a new
    // one 0; QX_E_INVALID for a key longer than maxkey.
    QXStatus (*add)(QXEAAh table, const void* key, QXMemSize keyL, const void* value);
    // Copies the value of key into *value: 0 found, QX_E_NOTFOUND absent.
    QXStatus (*find)(QXEAAh table, const void* key, QXMemSize keyL, void* value);
    QXMemSize (*count)(QXEAAh table);
};
struct QXEAA_EXTENSION {
    QXObjHdr hdr;
    QXEAAh (*create)(QXEAA_EXTENSION* ext, QXMemSize instride, QXMemSize maxkey, uint32_t flags,
                     int hash, int hexp, QXMemSize memsize);
};

// ---------------------------------------------------------------------------
// The kernel handle.
struct QXHandle_S;
using QXHandle = QXHandle_S;
struct QXHandle_S {
    QXObjHdr hdr;
    // Reads option `name` (nameL characters): type 3 an 8-byte integer,
    // type 4 a text of QXChar. *size holds the buffer's bytes on entry and
    // the bytes stored on return. QX_E_NOTFOUND when the option is unset,
    // QX_E_TYPE when its value does not read as the type, QX_E_BUFSMALL when
    // the buffer is too small (nothing stored).
    QXStatus (*nameGet)(QXHandle_S* h, const QXChar* name, QXStrSize nameL, int type, void* buffer,
                        QXMemSize* size);
    // Loads an extension by name ("qxnlsudb", "qxeavl", "qxeaa", "qxefmt",
    // and those registered with vyr_kernel_register_extension); null for an
    // unknown name. Release with the extension's hdr.destroy (shared
    // extensions ignore it).
    void* (*loadExtension)(QXHandle_S* h, const QXChar* name, QXStrSize nameL, uint32_t flags);
    QXPoolh (*poolCreate)(QXHandle_S* h, const char* name, uint32_t flags, QXMemSize initial,
                          int numaNode);
    QXEventh (*eventCreate)(QXHandle_S* h, QXBoolean posted, void* foreign);
    // Starts `main(param)` on a new thread at once. When main returns, the
    // kernel posts `exitEvent` (when given) with main's result. `entryEvent`
    // (when given) is posted when the thread starts. Destroying the handle
    // joins the thread.
    QXThreadh (*threadCreate)(QXHandle_S* h, QXThreadMain main, const char* loadName, void* param,
                              QXEventh entryEvent, QXEventh exitEvent, uint32_t flags,
                              QXMemSize stack);
    // The calling thread's handle; null for a thread the kernel did not start.
    QXThreadh (*threadGetHandle)(QXHandle_S* h);
    QXThreadh defaultThread; // the task (boot) thread
    QXNLSh qxnls;            // the national-language object, or null
    QXJnlh (*journalCreate)(QXHandle_S* h);
};

// The module's copy of the kernel handle (null until the module entry sets it).
extern QXHandle* Exported_QXHandle;

// The stand-in kernel's handle.
QXHandle* vyr_kernel_handle();

// Installs the host's format engine for "qxefmt" formats (null: the plain
// built-in one).
void vyr_kernel_set_format_engine(QXFormatEngine engine);
// Kernel option values set by the host in addition to the --option values of
// the run (names compared without case); value null removes the setting.
void vyr_kernel_option_set(const char* name, const char* value);

// Registers an extension that loadExtension finds by `name` (compared
// without case): `loader` makes its handle. Registering a name again
// replaces the loader.
using QXExtensionLoader = void* (*)(QXHandle* h);
void vyr_kernel_register_extension(const char* name, QXExtensionLoader loader);
// How many times extension `name` was loaded so far (for diagnostics).
long vyr_kernel_load_count(const char* name);
