// Registry readers: fetch one value of the host registry in the form the
// caller needs, with a default that survives every failure, a return code
// saying what happened, and log messages graded by severity.
//
// Return codes: 0 read and stored (or a missing/blank datum that leaves the
// default); 1 value name not found (also: a missing double from
// zregis_getnum, an empty string from zregis_getchar/zregis_getnorm); 2 key
// not found; 11 datum type not accepted; 12 not an integer within +-2^53
// (zregis_getlong); 13 not a boolean form (zregis_getbool); 666 the key could
// not be opened or the value could not be read.
#pragma once

#include <cstdint>

#include "runtime/wzstr.h"

// The host string record as the string readers use it: the caller sets
// maxlen (capacity of data) and data; the reader sets curlen. The further
// members are not touched.
struct W_STRING {
    int64_t maxlen;
    int64_t curlen;
    tchar* data;
    void* pool;
    int64_t alloclen;
    int cei;
};

inline constexpr int ZREGIS_OK = 0;
inline constexpr int ZREGIS_NAME_NOT_FOUND = 1;
inline constexpr int ZREGIS_KEY_NOT_FOUND = 2;
inline constexpr int ZREGIS_BAD_TYPE = 11;
inline constexpr int ZREGIS_NOT_INTEGER = 12;
inline constexpr int ZREGIS_NOT_BOOLEAN = 13;
inline constexpr int ZREGIS_FAILED = 666;

// A double (double, long or unsigned long datum); *result starts as the
// ordinary missing value.
int zregis_getnum(const tchar* path, int path_l, const tchar* name, int name_l, int msglevel,
                  double* result);
// A long (long, unsigned long or integral double datum within +-2^53);
// *result starts as defval.
int zregis_getlong(const tchar* path, int path_l, const tchar* name, int name_l, long defval,
                   int msglevel, long* result);
// A boolean, 1 or 0 (the numbers 0 and 1, or the words YES, TRUE, NO, FALSE,
// 1, 0 and their prefixes, in either case); *result starts as defval. An
// empty or all-blank string leaves the default.
int zregis_getbool(const tchar* path, int path_l, const tchar* name, int name_l, int defval,
                   int msglevel, int* result);
// A string or binary datum as stored, cut to result->maxlen bytes.
int zregis_getchar(const tchar* path, int path_l, const tchar* name, int name_l, int msglevel,
                   W_STRING* result);
// As zregis_getchar, keeping only the bytes of the host's name character
// classes, each stored as its image in the host character map.
int zregis_getnorm(const tchar* path, int path_l, const tchar* name, int name_l, int msglevel,
                   W_STRING* result);
