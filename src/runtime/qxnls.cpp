// National-language character classes.
#include "runtime/qxnls.h"

#include <atomic>

namespace
{

QXNLSh national_language()
{
    return Exported_QXHandle ? Exported_QXHandle->qxnls : nullptr;
}

// Binary search of a sorted table of disjoint inclusive ranges.
QXBoolean in_ranges(const QXNLSRange* t, size_t n, QXChar c)
{
    long lo = 0, hi = static_cast<long>(n) - 1;
    while (lo <= hi) {
        long mid = (lo + hi) / 2;
        if (c < t[mid].first)
            hi = mid - 1;
        else if (c > t[mid].last)
            lo = mid + 1;
        else
            return 1;
    }
    return 0;
}

QXBoolean NLSIsdigit(QXChar c)
{
    return in_ranges(digitranges, DIGITRANGE_SIZE, c);
}
QXBoolean NLSIslower(QXChar c)
{
    return in_ranges(lowerranges, LOWERRANGE_SIZE, c);
}
QXBoolean NLSIsupper(QXChar c)
{
    return in_ranges(upperranges, UPPERRANGE_SIZE, c);
}
QXBoolean NLSIsalpha(QXChar c)
{
    return in_ranges(alpharanges, ALPHARANGE_SIZE, c);
}
QXBoolean NLSIsalnum(QXChar c)
{
    return NLSIsalpha(c) || NLSIsdigit(c);
}
QXBoolean NLSIsprint(QXChar c)
{
    return in_ranges(printranges, PRINTRANGE_SIZE, c);
}
QXBoolean NLSIsxdigit(QXChar c)
{
    return in_ranges(xdigitranges, XDIGITRANGE_SIZE, c);
}
QXBoolean NLSIspunct(QXChar c)
{
    return in_ranges(punctranges, PUNCTRANGE_SIZE, c);
}
QXBoolean NLSIsgraph(QXChar c)
{
    return in_ranges(graphranges, GRAPHRANGE_SIZE, c);
}
QXBoolean NLSIscntrl(QXChar c)
{
    return in_ranges(controlranges, CONTROLRANGE_SIZE, c);
}

QXBoolean NLSIsspace(QXChar c)
{
    for (size_t i = 0; i < SPACERANGE_SIZE; ++i) {
        if (c < spaceranges[i].first)
            return 0;
        if (c <= spaceranges[i].last)
            return 1;
    }
    return 0;
}

// With the national-language object: ASCII from the class table, the rest
// from the kernel's character database; without it, the range tables.
QXBoolean classify(QXChar c, uint32_t mask, QXBoolean (*ranges)(QXChar))
{
    QXNLSh nls = national_language();
    if (!nls)
        return ranges(c);
    if (c < 128)
        return (ansi_ccl[c][1] & mask) ? 1 : 0;
    // The character database is loaded on first need and kept in the
    // national-language object's slot (once, even when threads race).
    std::atomic_ref<void*> slot(nls->udb);
    if (!slot.load(std::memory_order_acquire)) {
        static const QXChar name[] = {'q', 'x', 'n', 'l', 's', 'u', 'd', 'b'};
        void* udb = Exported_QXHandle->loadExtension(Exported_QXHandle, name, 8, 0);
        void* expected = nullptr;
        if (udb && !slot.compare_exchange_strong(expected, udb, std::memory_order_acq_rel)) {
            auto* hdr = static_cast<QXObjHdr*>(udb);
            hdr->destroy(udb);
        }
    }
    return nls->isclass(nls, c, mask) ? 1 : 0;
}

} // namespace

QXBoolean qxnlsisdigit(QXChar c)
{
    return classify(c, QXNLS_DIGIT, NLSIsdigit);
}
QXBoolean qxnlsislower(QXChar c)
{
    return classify(c, QXNLS_LOWER, NLSIslower);
}
QXBoolean qxnlsisupper(QXChar c)
{
    return classify(c, QXNLS_UPPER, NLSIsupper);
}
QXBoolean qxnlsisalpha(QXChar c)
{
    return classify(c, QXNLS_ALPHA, NLSIsalpha);
}
QXBoolean qxnlsisalnum(QXChar c)
{
    return classify(c, QXNLS_ALNUM, NLSIsalnum);
}
QXBoolean qxnlsisprint(QXChar c)
{
    return classify(c, QXNLS_PRINT, NLSIsprint);
}
QXBoolean qxnlsispunct(QXChar c)
{
    return classify(c, QXNLS_PUNCT, NLSIspunct);
}
QXBoolean qxnlsisgraph(QXChar c)
{
    return classify(c, QXNLS_GRAPH, NLSIsgraph);
}
QXBoolean qxnlsiscntrl(QXChar c)
{
    return classify(c, QXNLS_CNTRL, NLSIscntrl);
}
QXBoolean qxnlsisspace(QXChar c)
{
    return NLSIsspace(c);
}

QXBoolean qxnlsisxdigit(QXChar c)
{
    if ((c >= 0x41 && c <= 0x46) || (c >= 0x61 && c <= 0x66) || (c >= 0xFF21 && c <= 0xFF26) ||
        (c >= 0xFF41 && c <= 0xFF46))
        return 1;
    return classify(c, QXNLS_XDIGIT, NLSIsxdigit);
}
