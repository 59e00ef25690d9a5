// Missing values. A double whose top 16 bits are all ones is missing; the
// ordinary missing value is 0xFFFFFE0000000000 and special missing values
// differ from it in byte 5. The pattern is a NaN, so it is always tested as
// an integer, never with a floating-point comparison. The host reads, writes
// and prints them; the procedure computes with them (runtime/missing.h).
#pragma once

#include <cstdint>
#include <cstring>

inline constexpr uint64_t KORV_MISSING_BITS = 0xFFFFFE0000000000ull;

// The ordinary missing value.
inline double korv_missing()
{
    double d;
    std::memcpy(&d, &KORV_MISSING_BITS, sizeof d);
    return d;
}

// A special missing value: the ordinary pattern with byte 5 replaced.
inline double korv_special_missing(unsigned char byte5)
{
    uint64_t bits = (KORV_MISSING_BITS & ~(0xFFull << 40)) | (static_cast<uint64_t>(byte5) << 40);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// 1 when d is missing (its top 16 bits are all ones), else 0.
inline int wzmis(double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return (bits >> 48) == 0xFFFFu ? 1 : 0;
}

// Byte 5 of a double (the special-missing letter of a missing value).
inline unsigned char korv_missing_byte5(double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return static_cast<unsigned char>(bits >> 40);
}

// 1 when any of dblra[0] .. dblra[len-1] is missing, else 0; the scan stops at
// the first missing value. A len of 0 or below reads nothing and gives 0.
int wzmisn(const double* dblra, int len);

// Compares the key at byte offset `off` of two records: -1, 0 or 1 as the key
// of ptr1 is below, equal to or above the key of ptr2. `typleng` > 0: a field
// of that many bytes compared as unsigned bytes; 0: a signed 32-bit integer;
// < 0: a double. Doubles are ordered totally: every missing value sorts below
// every other value, missing values among themselves by their missing code
// (byte 5 read as a signed byte and negated: 0xFF first, then byte 5 = 0,
// then the ordinary missing value, then 0xFD, 0xFC, ...), and a NaN that is
// not a missing value sorts above all missing values and below all numbers;
// values within one of those classes compare equal. Numbers compare by value
// (-0.0 equals 0.0). The comparison under every tree and sort of the module.
int wzbcoff(const char* ptr1, const char* ptr2, int typleng, int off);
