// Kernel character strings: byte and 32-bit memory primitives, case mapping
// and case-blind comparison of QXChar strings, conversions between bytes and
// QXChar, and the Unicode escape writer.
#pragma once

#include "vyr_kernel.h"
#include "vyr_utf8.h"

#include <cstddef>
#include <cstdint>

// Case tables (generated from the Unicode Character Database), indexed by
// code points below 0x10000 in blocks of 128.
extern const int16_t skz_metatable[512];
extern const int8_t skz_upshift[];
extern const int8_t skz_downshift[];
extern const QXChar skz_upaux[][2];
extern const QXChar skz_downaux[][2];
extern const size_t skz_upaux_count;
extern const size_t skz_downaux_count;
extern const int32_t skz_min_meta[512];
extern const int32_t skz_minshift[];
extern const int32_t skz_max_meta[512];
extern const int32_t skz_maxshift[];

// Byte value to character and character below 256 to byte (identity here).
extern const QXChar c2qx[256];
extern const unsigned char u2c[256];

inline constexpr QXMemSize SK_NOTFOUND = ~static_cast<QXMemSize>(0);

QXStatus skUnsup();
QXMemSize skStrLen(const char* s);
QXStrSize skStrTLen(const QXChar* s);
void skStrCpy(const int8_t* src, int8_t* dst);
void skStrTCpy(const QXChar* src, QXChar* dst);
void skStrUp(int8_t* src, QXMemSize len);
void skStrLow(int8_t* src, QXMemSize len);
QXBoolean skMemNot(int8_t c, const void* buff, QXMemSize len);
QXBoolean skMemTNot(QXChar c, const QXChar* buff, QXStrSize len);
void skMemSet(void* buff, int8_t c, QXMemSize len);
void skMemTSet(QXChar* buff, QXChar c, QXStrSize len);
int32_t skMemCmp(const void* src, const void* dst, QXMemSize len);
int32_t skWMemCmp(const QXChar* src, const QXChar* dst, QXMemSize len);
void skMemCpy(const void* src, void* dst, QXMemSize len);
void skMemSCpy(const void* src, void* dst, QXMemSize len);
QXMemPtr skMemDup(QXConstMemPtr src, QXMemSize len, QXPoolh pool);
QXMemSize skMemScan(const void* src, QXMemSize len, int8_t ch);
QXMemSize skMemNScan(const void* src, QXMemSize len, int8_t ch);
QXMemSize skMemTNScan(const QXChar* src, QXStrSize len, QXChar ch);
// skMissArray (all doubles missing) is declared with the missing values in
// runtime/missing.h.

// Single-character mappings by the built-in tables alone.
QXChar sk_table_upper(QXChar c);
QXChar sk_table_lower(QXChar c);

void qxzstup(QXChar* string, QXStrSize slen);
void qxzstlo(QXChar* string, QXStrSize slen);
void qxzstmin(QXChar* string, QXStrSize slen);
void qxzstmax(QXChar* string, QXStrSize slen);
QXBoolean qxzseqn(const QXChar* s1, QXStrSize len1, const QXChar* s2, QXStrSize len2);
int32_t qxzsncmp(const QXChar* s1, QXStrSize len1, const QXChar* s2, QXStrSize len2);

int Compiler2QXChar(const char* src, QXMemSize srcL, QXChar* dest, QXMemSize destL,
                    QXMemSize* cvtL);
QXStatus QXChar2ASCII(const QXChar* c, QXStrSize cL, char* a, QXMemSize aL, QXMemSize* cvtL);
QXStatus QXChar2Compiler(const QXChar* c, QXStrSize cL, char* a, QXMemSize aL, QXMemSize* cvtL);
QXMemSize AsciiPrefixLen(const QXUtf8* str, QXMemSize l, QXStrSize cL);
QXStatus putUESC(uint8_t* buf, QXMemSize bufL, uint32_t c32, const unsigned char* u2etable,
                 QXMemSize* cvtL);

// The UTF-8 conversions of kernel strings are the host's (vyr_utf8.h).
