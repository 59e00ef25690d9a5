// The host's core services as the procedure calls them: step control,
// diagnostics, print and log lines, memory pools, options, macro variables,
// the registry and the host's character data. Implemented by the stand-in host
// (src/host/session and src/host/messages). Plain functions, so procedure code
// reads like a call on the real host.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Host return codes: 0 success, > 0 warning, < 0 failure; facility in bits 11
// to 21, number in bits 0 to 10.
inline constexpr int vyr_facility(int rc) { return (static_cast<unsigned>(rc) >> 11) & 0x7FF; }
inline constexpr int vyr_number(int rc) { return static_cast<unsigned>(rc) & 0x7FF; }
inline constexpr int vyr_code(int facility, int number)
{
    return static_cast<int>(0x80000000u | (static_cast<unsigned>(facility & 0x7FF) << 11) |
                            static_cast<unsigned>(number & 0x7FF));
}

// ---------------------------------------------------------------------------
// Step control.

// Ends the running step with `code`; never returns. The session catches the
// step exit at the step boundary and records the step's return code (the
// largest reached).
[[noreturn]] void xexit(int code, long flag);

// Raises the running step's return code to at least `rc` without ending it.
void xsetrc(int rc);

// Registers a function called once when the running task (step) ends.
void xytexit(void (*function)());

// ---------------------------------------------------------------------------
// Diagnostics. Catalogue texts are printf formats that may begin with a
// severity field: "%1z" error, "%2z" warning, "%3z" note, "%*z" level taken
// from the next int argument (1 error, 2 warning, otherwise note). In every
// format, "%*s" takes an int length and a pointer to that many characters
// (a blank-padded field needs no NUL).

// Prints message `number` of catalogue group `group` on the log.
void xpmlog(int group, int number, ...);
void xvpmlog(int group, int number, va_list ap);
// Prints message `number` of group `group` on the print file (listing).
void xpmout(int group, int number, ...);
// Formats message group/number into buffer (at most size bytes, no NUL
// needed); returns the length of the text. The rest of the buffer is left as
// it was unless the caller pads it.
int xpmstr(char* buffer, int size, int group, int number, ...);
// The raw catalogue text of group/number and its length, without
// substitution. Returns 0, or a negative host code when there is no entry.
int wkread(int group, int number, const char** text, int* length);
// Logs one printf-style line (with an optional severity field).
int xpslog(const char* format, ...);
// The same for the log and for the print file.
int xpsnlog(const char* format, ...);
int xpsnprn(const char* format, ...);
// printf into a bounded buffer; returns the length written (at most size - 1,
// NUL terminated when size > 0).
int xpsstr(char* buffer, int size, const char* format, ...);
// Logs the host's own text for a host return code.
void xprrlog(int flag, int rc);
// Internal-error message.
void xebug(const char* text);
// Out-of-memory bookkeeping: amount of the last failed request (0 when none)
// and the message for it.
long xmemdef();
void xmemmsg(long amount);

// ---------------------------------------------------------------------------
// Print system. A LINESTR is a line handle of the print file or the log.
struct LINESTR;
int xpopen(int file);
LINESTR* xpoutl(int file);
LINESTR* xpprnl(int flag);
LINESTR* xplogl(int flag);
LINESTR* xpmsgl(int flag);
int xpselec(int file, int mode);
// Writes one line of text (length bytes) to a print line.
void xpline(LINESTR* line, const char* text, int length);
// Starts a new page on the print file.
void xppage();
// Line size and page size of the print file (the LINESIZE and PAGESIZE options).
int xplinesize();
int xppagesize();

// Lines built piece by piece, as the character plots print them. File 0 is
// the print file. xpfmtc places `length` characters of `text` at `column`
// (from 1) of the line being built; xpskip(file, 1) ends that line (it is
// printed without trailing blanks) and xpskip(file, n) with n > 1 adds n - 1
// blank lines; xpskip(file, 0) goes back to the start of the same line, and
// what is placed after that overprints it: its non-blank characters replace
// the ones beneath, its blanks leave them.
void xpfmtc(int file, const char* text, int length, int column);
void xpskip(int file, int lines);
// Page and line options of the print file, by number:
//   1  CENTER: 1 when blocks are centred in the line, else 0
//   2  lines still free on the current page, below its titles and above its
//      footnotes (a page not yet begun counts whole, titles taken off)
//   5  LINESIZE
//   7  the number of the page the next line goes on
//   19 the first column a line may use (1)
//   21, 24, 25  switches a caller sets around a block of lines it would keep
//      together; they are remembered (xpopget reads them back) and do not
//      change where pages break
// Both return 0, or a negative host code for another number (xpopset also
// for options 1, 2, 5, 7 and 19, which only the session sets).
int xpopget(int file, int option, long* value);
int xpopset(int file, int option, long value);
// The TITLE and FOOTNOTE lines in force: their numbers into *titles and
// *footnotes (either may be null). `width` is the caller's line size and
// changes nothing: titles are never wrapped. Returns 0.
int xtitinf(int file, int width, int* titles, int* footnotes);
// Called after a block of lines with the lines the caller would like left
// on the page; the listing starts a page when a line no longer fits, so
// there is nothing to reserve. Returns 0.
int xpleft(int file, int lines);

// ---------------------------------------------------------------------------
// Memory pools. A pool handle's first two entries are its allocate and free
// operations; memory comes zeroed. Allocation failure returns null and records
// the amount for xmemdef.
struct POOLHANDLE;
using PoolAllocFn = void* (*)(POOLHANDLE* pool, int64_t length, int64_t flags);
using PoolFreeFn = void (*)(POOLHANDLE* pool, void* address, int64_t length, int64_t flags);
struct POOLHANDLE {
    PoolAllocFn allocate;
    PoolFreeFn free;
};

// Creates a stage pool; null on failure.
POOLHANDLE* xmpoolc(int a, int blocksize, int flags);
// Deletes a pool with everything allocated from it.
void xmpoold(POOLHANDLE* pool);
// Empties a pool (frees everything allocated from it) and keeps it for
// further use. 0, or a negative code for a handle that is not a live pool.
int wmpoolr(POOLHANDLE* pool);
// The size of a pool as the host reports it: the bytes it holds, and at
// least the 64 KiB a pool starts with. 0 for a handle that is not a pool.
long xmsize(POOLHANDLE* pool);
// The running task's pool and the host's second, longer-lived pool.
POOLHANDLE* xtaskpool();
POOLHANDLE* xlongpool();
// The memory, in bytes, that the host's pools may still hand out: what
// MEMSIZE= leaves unused, or without it the memory the machine has free.
// `flags` is 0. Returns 0.
int wmrlmem(double* amount, int flags);
// Allocates from a pool; on failure prints the memory message and ends the
// step with 1016. Convenience for host and procedure code alike.
void* xmalloc_or_exit(POOLHANDLE* pool, int64_t length, int64_t flags);

// ---------------------------------------------------------------------------
// Options and macro variables.

// The value of system option `name` as NUL-terminated text, its length in
// *length; empty text when the option is unset. The text stays valid for
// the rest of the run.
const char* xoptcgt(const char* name, int* length);
// Numeric read of a system option ("THREADS", "CPUCOUNT"); returns 0 and the
// value, or a negative host code.
int xyrngef(const char* name, double* value);
// A numbered host option as an integer (0 when unknown).
long wyrn6gf(int number);
// Macro variables. xjsymgn reads a macro variable as a number: returns 0 and
// the value, 1 when it is absent, 2 when its value is not a number.
int xjsymgn(const char* name, double* value);
// Sets a macro variable to text.
int xjsymput(const char* name, const char* value, int length);
// Reads a macro variable's text (valid for the rest of the run); null when
// absent.
const char* xjsymget(const char* name);
// The current date-time: seconds since 1960-01-01 00:00:00, local time.
double wzdttme();

// ---------------------------------------------------------------------------
// Registry of the current task: keys with named values, read from the file
// given by --registry (empty when none). Datum types: 1 binary, 2 double,
// 3 string, 4 unsigned long, 5 long.
struct REGHANDLE;
REGHANDLE* xregistry();
int xaaopen(REGHANDLE* reg, int flags, const char* path, int path_l, void** key);
int xaaqval(REGHANDLE* reg, void* key, const char* name, int name_l, int* type, void* buffer,
            int* length, int flags, void* reserved);
int xaaclos(REGHANDLE* reg, void* key);
inline constexpr int XAA_KEY_NOT_FOUND = static_cast<int>(0x8001b004u);
inline constexpr int XAA_NAME_NOT_FOUND = static_cast<int>(0x8001b009u);

// ---------------------------------------------------------------------------
// Items of the host's global control block.

// Table of constant doubles; entry 84 marks a Total row's stratum number and
// entry 95 fills an emptied numeric key slot.
double xgcbconst(int entry);
// Host character map and character class table (256 entries each).
const unsigned char* xgcbcharmap();
const unsigned char* xgcbcharclass();
// The translation table of function code 0..4 (256 bytes).
const unsigned char* xgcbxlt(int code);
// National-character mode switch (positive: on).
int xgcbnlsmode();
// National-character services used when the mode switch is on.
int wzsxcmn(const char* s1, int l1, const char* s2, int l2, int sortseq);
int wzsxcch(const char* src, int srclen, char* dst, int dstlen, int mode);
int wzsxrch(const char* src, int srclen, char* dst, int dstlen, int mode);
void wzstrup(char* dst, int length);
void wzstrlo(char* dst, int length);

// The host's per-procedure anchor: where the procedure block and the common
// block of the running step are kept.
void** xprocanchor();
void** xcomanchor();

