// Small records that the common block holds by value, and the scalar types
// shared by the procedure's records.
#pragma once

#include <cstdint>

// An eight-byte, blank-padded name field (no terminator).
typedef char char8[8];

// A counted text: `l` bytes at `s`, not terminated. Stratum labels, time
// names and entry names travel in it. `k` is a companion count whose meaning
// belongs to the record that holds the text (zero when unused).
struct VARSTRING {
    int64_t k; // companion count (kind or capacity, per user)
    int64_t l; // length of the text in bytes
    char* s;   // the characters; not terminated
};
typedef VARSTRING varstring;

// Output-layer handles, completed by the output layer: an object handle
// (tables, groups, managers) and a text key (a label or path).
struct WOB_OBJ_STR;
typedef WOB_OBJ_STR* xobop;
struct WOB_TEXTKEY_STR;
typedef WOB_TEXTKEY_STR* xobskey;
