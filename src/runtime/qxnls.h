// National-language character classes of one QXChar: with the kernel's
// national-language object, ASCII characters come from the module's ASCII
// class table and the others from the kernel's character database; without
// it, from the built-in Unicode range tables.
#pragma once

#include "vyr_kernel.h"

#include <cstddef>
#include <cstdint>

struct QXNLSRange {
    uint32_t first;
    uint32_t last;
};

extern const QXNLSRange digitranges[];
extern const QXNLSRange xdigitranges[];
extern const QXNLSRange upperranges[];
extern const QXNLSRange lowerranges[];
extern const QXNLSRange alpharanges[];
extern const QXNLSRange spaceranges[];
extern const QXNLSRange controlranges[];
extern const QXNLSRange punctranges[];
extern const QXNLSRange graphranges[];
extern const QXNLSRange printranges[];
extern const size_t DIGITRANGE_SIZE, XDIGITRANGE_SIZE, UPPERRANGE_SIZE, LOWERRANGE_SIZE,
    ALPHARANGE_SIZE, SPACERANGE_SIZE, CONTROLRANGE_SIZE, PUNCTRANGE_SIZE, GRAPHRANGE_SIZE,
    PRINTRANGE_SIZE;

// ASCII class table: word 0 the code point, word 1 its class bits.
extern const uint32_t ansi_ccl[128][8];

QXBoolean qxnlsisdigit(QXChar c);
QXBoolean qxnlsislower(QXChar c);
QXBoolean qxnlsisupper(QXChar c);
QXBoolean qxnlsisalpha(QXChar c);
QXBoolean qxnlsisspace(QXChar c);
QXBoolean qxnlsisalnum(QXChar c);
QXBoolean qxnlsisprint(QXChar c);
QXBoolean qxnlsisxdigit(QXChar c);
QXBoolean qxnlsispunct(QXChar c);
QXBoolean qxnlsisgraph(QXChar c);
QXBoolean qxnlsiscntrl(QXChar c);
