// Text translation and number fields, completing the blank-padded strings.
#pragma once

#include "runtime/wzstr.h"

typedef int wrcode;

inline constexpr wrcode WZ_BAD_FUNCTION = static_cast<wrcode>(0x8000200au); // code outside 0..4
inline constexpr wrcode WZ_NUMBER_TOO_WIDE =
    static_cast<wrcode>(0x8000200du); // number does not fit

// Translates len bytes of source_string into dest_string (the two may be one
// buffer) under function code 0 conversion, 1 reverse conversion, 2 upper
// case, 3 lower case or 4 table 4: through the host's translation tables, or
// for codes 0 to 3 through the host's national-character services when the
// host runs in national-character mode. A code outside 0..4 returns
// WZ_BAD_FUNCTION and leaves dest_string untouched.
wrcode wztxxlt(int function, const tchar* source_string, tchar* dest_string, int len);

// Writes num in decimal, right-justified and blank-filled on the left, into
// the len-byte field str. A number that does not fit fills the field with
// "*" and returns WZ_NUMBER_TOO_WIDE.
wrcode wzclchr(long num, tchar* str, int len);

// Both 0: the module's own text needs no translation on this platform.
short wztxdotr();
short wztxdvdq();
