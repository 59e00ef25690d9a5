// The host sort service: sorts fixed-length records by typed keys, stably,
// in memory (any number of records that memory holds). Records come from the
// caller's sequential input routine and go to its sequential output routine;
// host routines for utility files (zxcget, zxcput, zxcrtn, zsorxci, zsorxct)
// serve the common case of sorting one utility file into another.
// Implemented in src/host/files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vyr_files.h"
#include "vyr_host.h"

// Key types.
inline constexpr short SORT_KEY_DOUBLE = 1; // a double; missing values below every number,
                                            // ordered among themselves by their missing code
inline constexpr short SORT_KEY_CHAR = 2;   // bytes compared unsigned
inline constexpr short SORT_KEY_INT32 = 3;  // a signed 32-bit integer
inline constexpr short SORT_KEY_INT64 = 4;  // a signed 64-bit integer
// Key flags (bit 0 is accepted and means nothing more).
inline constexpr short SORT_DESCENDING = 2;

// One key of a sort: byte position in the record, length, type and flags.
// A SORT_KEY_DOUBLE key is 8 bytes whatever `leng` says.
struct SORVDSTR {
    int64_t pos = 0;
    short leng = 8;
    short type = SORT_KEY_DOUBLE;
    short flags = 1;
};

// Input block of the utility-file reader zxcget: the file to read (from its
// current position), the record length, the number of records and a buffer
// of at least one record.
struct BFRSTR {
    XCFILE* fd = nullptr;
    long lrecl = 0;
    long needs = 0;
    void* bufp = nullptr;
    long done = 0; // records read so far (kept by zxcget)
};

struct SORTSTR;

// Callback types. The start exit receives the description and up to five
// further arguments (all null from this host).
using SORTINITF = int (*)(SORTSTR* info, void* a1, void* a2, void* a3, void* a4, void* a5);
using SORTTERMF = int (*)(SORTSTR* info);
// Sequential input: 0 and the next record in *record (its length in
// *length); 1 when there are no more records; negative on failure.
using SORTSEQIN = int (*)(SORTSTR* info, void** record, long* length);
// Sequential output: one sorted record. 0, or negative on failure.
using SORTSEQOUT = int (*)(SORTSTR* info, const void* record, long length);
// Record comparison: negative, 0 or positive as record a sorts before, with
// or after record b. Null or zxcrtn: the keys in `v` decide.
using SORTCMP = int (*)(SORTSTR* info, const void* a, const void* b);
// Further exits, accepted for completeness; this host does not call them.
using SORTEXIT = int (*)(SORTSTR* info, void* argument);

// The sort description.
struct SORTSTR {
    void* fiddata = nullptr;  // input description for seqin (a BFRSTR for zxcget)
    XCFILE* fidout = nullptr; // output file for zxcput
    int nvar = 0;             // number of keys
    SORVDSTR* v = nullptr;    // the keys, most significant first
    long lrecl = 0;           // record length (0: from BFRSTR, else from seqin)
    POOLHANDLE* mpool = nullptr;
    int options = 0;
    int iorc = 0;         // the failing input/output status, 0 when none
    long nrecs = 0;       // records sorted (set by the sort)
    void* user = nullptr; // free for the caller's exits
    // Plain callbacks set by the caller's start exit.
    SORTSEQIN seqin = nullptr;
    SORTSEQOUT seqout = nullptr;
    SORTCMP hsirtn = nullptr;
    SORTEXIT hsiin = nullptr;
    SORTEXIT hsiout = nullptr;
    SORTEXIT blkin = nullptr;
    SORTEXIT blkout = nullptr;
    SORTEXIT midf = nullptr;
    // The entries the host calls (same order). gseqin also parks the caller's
    // start exit until the start wrapper runs.
    SORTSEQIN gseqin = nullptr;
    SORTSEQOUT gseqout = nullptr;
    SORTCMP ghsirtn = nullptr;
    SORTEXIT ghsiin = nullptr;
    SORTEXIT ghsiout = nullptr;
    SORTEXIT gblkin = nullptr;
    SORTEXIT gblkout = nullptr;
    SORTEXIT gmidf = nullptr;
};

// The sort request.
struct ZSORTSTR {
    SORTINITF initf = nullptr;
    SORTTERMF termf = nullptr;
    SORTINITF ginitf = nullptr;
    SORTTERMF gtermf = nullptr;
    SORTSTR info;
};

// Runs a sort: calls ginitf (when set) once first, reads every record through
// gseqin (or seqin when no gate is set), sorts them stably, writes them
// through gseqout (or seqout), then calls gtermf. Returns 0 or a negative host
// code; an input/output failure also leaves its status in info.iorc.
int zsortap(ZSORTSTR* z);

// Host exits for sorting one utility file into another.
// Start: checks the description and resets the reader's count.
int zsorxci(SORTSTR* info, void* a1, void* a2, void* a3, void* a4, void* a5);
// End: nothing to release; returns 0.
int zsorxct(SORTSTR* info);
// Reads the next record from the BFRSTR in info->fiddata into its buffer.
int zxcget(SORTSTR* info, void** record, long* length);
// Writes a record to info->fidout.
int zxcput(SORTSTR* info, const void* record, long length);
// Compares two records by the keys of info.
int zxcrtn(SORTSTR* info, const void* a, const void* b);

// ---------------------------------------------------------------------------
// Host-side C++ API: sorting records in memory.
namespace vyr::sort
{

// Sorts n records of lrecl bytes at base in place, stably, by the keys (most
// significant first). Uses several threads for large inputs.
void sort_records(void* base, size_t n, size_t lrecl, const SORVDSTR* keys, int nkeys);

// The stable sorted order of the records as 0-based record indexes.
std::vector<uint32_t> sorted_order(const void* base, size_t n, size_t lrecl, const SORVDSTR* keys,
                                   int nkeys);

// Compares two records by the keys (negative, 0, positive).
int compare_records(const void* a, const void* b, const SORVDSTR* keys, int nkeys);

} // namespace vyr::sort
