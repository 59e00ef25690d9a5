// Kernel character strings.
#include "runtime/sk.h"

#include <algorithm>
#include <cstring>

QXHandle* Exported_QXHandle = nullptr;

namespace
{

constexpr QXChar BLANK = 0x20;

struct IdentityTables {
    QXChar c2qx[256];
    unsigned char u2c[256];
    constexpr IdentityTables() : c2qx(), u2c()
    {
        for (int i = 0; i < 256; ++i) {
            c2qx[i] = static_cast<QXChar>(i);
            u2c[i] = static_cast<unsigned char>(i);
        }
    }
};
constexpr IdentityTables identity;

// Copies a zero-terminated string with its terminator; a null source gives
// an empty string, a null destination nothing.
template <class C> void copy_terminated(const C* src, C* dst)
{
    if (!dst)
        return;
    if (!src) {
        dst[0] = 0;
        return;
    }
    size_t i = 0;
    do {
        dst[i] = src[i];
    } while (src[i++]);
}

QXChar aux_lookup(const QXChar (*aux)[2], size_t n, QXChar c)
{
    size_t lo = 0, hi = n;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (aux[mid][0] < c)
            lo = mid + 1;
        else
            hi = mid;
    }
    return (lo < n && aux[lo][0] == c) ? aux[lo][1] : c;
}

QXChar shift(QXChar c, const int8_t* table, const QXChar (*aux)[2], size_t auxn)
{
    if (c >= 0x10000)
        return c;
    int base = skz_metatable[c >> 7];
    if (base < 0)
        return c;
    int delta = table[base + (c & 127)];
    if (delta == -128)
        return aux_lookup(aux, auxn, c);
    return static_cast<QXChar>(static_cast<int32_t>(c) + delta);
}

QXChar wide_shift(QXChar c, const int32_t* meta, const int32_t* table)
{
    if (c >= 0x10000)
        return c;
    int32_t base = meta[c >> 7];
    if (base < 0)
        return c;
    return static_cast<QXChar>(static_cast<int32_t>(c) + table[base + (c & 127)]);
}

QXNLSh national_language()
{
    return Exported_QXHandle ? Exported_QXHandle->qxnls : nullptr;
}

} // namespace

const QXChar c2qx[256] = {
#define R(i) identity.c2qx[i]
#define R8(i) R(i), R(i + 1), R(i + 2), R(i + 3), R(i + 4), R(i + 5), R(i + 6), R(i + 7)
#define R64(i)                                                                                     \
    R8(i), R8(i + 8), R8(i + 16), R8(i + 24), R8(i + 32), R8(i + 40), R8(i + 48), R8(i + 56)
    R64(0), R64(64), R64(128), R64(192)};
#undef R
#define R(i) identity.u2c[i]
const unsigned char u2c[256] = {R64(0), R64(64), R64(128), R64(192)};
#undef R
#undef R8
#undef R64

QXChar sk_table_upper(QXChar c)
{
    return shift(c, skz_upshift, skz_upaux, skz_upaux_count);
}
QXChar sk_table_lower(QXChar c)
{
    return shift(c, skz_downshift, skz_downaux, skz_downaux_count);
}

QXStatus skUnsup()
{
    return QX_E_UNSUPPORTED;
}

QXMemSize skStrLen(const char* s)
{
    return s ? std::strlen(s) : 0;
}

QXStrSize skStrTLen(const QXChar* s)
{
    if (!s)
        return 0;
    QXStrSize n = 0;
    while (s[n])
        ++n;
    return n;
}

void skStrCpy(const int8_t* src, int8_t* dst)
{
    copy_terminated(src, dst);
}

void skStrTCpy(const QXChar* src, QXChar* dst)
{
    copy_terminated(src, dst);
}

void skStrUp(int8_t* src, QXMemSize len)
{
    for (QXMemSize i = 0; i < len; ++i)
        if (src[i] >= 'a' && src[i] <= 'z')
            src[i] = static_cast<int8_t>(src[i] - 'a' + 'A');
}

void skStrLow(int8_t* src, QXMemSize len)
{
    for (QXMemSize i = 0; i < len; ++i)
        if (src[i] >= 'A' && src[i] <= 'Z')
            src[i] = static_cast<int8_t>(src[i] - 'A' + 'a');
}

QXBoolean skMemNot(int8_t c, const void* buff, QXMemSize len)
{
    const int8_t* p = static_cast<const int8_t*>(buff);
    for (QXMemSize i = 0; i < len; ++i)
        if (p[i] != c)
            return 0;
    return 1;
}

QXBoolean skMemTNot(QXChar c, const QXChar* buff, QXStrSize len)
{
    for (QXStrSize i = 0; i < len; ++i)
        if (buff[i] != c)
            return 0;
    return 1;
}

void skMemSet(void* buff, int8_t c, QXMemSize len)
{
    if (len)
        std::memset(buff, static_cast<unsigned char>(c), len);
}

void skMemTSet(QXChar* buff, QXChar c, QXStrSize len)
{
    for (QXStrSize i = 0; i < len; ++i)
        buff[i] = c;
}

int32_t skMemCmp(const void* src, const void* dst, QXMemSize len)
{
    if (!len)
        return 0;
    int r = std::memcmp(src, dst, len);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int32_t skWMemCmp(const QXChar* src, const QXChar* dst, QXMemSize len)
{
    for (QXMemSize i = 0; i < len; ++i)
        if (src[i] != dst[i])
            return src[i] < dst[i] ? -1 : 1;
    return 0;
}

void skMemCpy(const void* src, void* dst, QXMemSize len)
{
    if (len)
        std::memcpy(dst, src, len);
}

void skMemSCpy(const void* src, void* dst, QXMemSize len)
{
    if (len)
        std::memmove(dst, src, len);
}

QXMemPtr skMemDup(QXConstMemPtr src, QXMemSize len, QXPoolh pool)
{
    if (!pool || !src)
        return nullptr;
    QXMemPtr p = pool->alloc(pool, len, 0);
    if (p && len)
        std::memcpy(p, src, len);
    return p;
}

QXMemSize skMemScan(const void* src, QXMemSize len, int8_t ch)
{
    if (!src || !len)
        return SK_NOTFOUND;
    const void* hit = std::memchr(src, static_cast<unsigned char>(ch), len);
    return hit ? static_cast<QXMemSize>(static_cast<const char*>(hit) -
                                        static_cast<const char*>(src))
               : SK_NOTFOUND;
}

QXMemSize skMemNScan(const void* src, QXMemSize len, int8_t ch)
{
    if (!src)
        return SK_NOTFOUND;
    const int8_t* p = static_cast<const int8_t*>(src);
    for (QXMemSize i = 0; i < len; ++i)
        if (p[i] != ch)
            return i;
    return SK_NOTFOUND;
}

QXMemSize skMemTNScan(const QXChar* src, QXStrSize len, QXChar ch)
{
    if (!src)
        return SK_NOTFOUND;
    for (QXStrSize i = 0; i < len; ++i)
        if (src[i] != ch)
            return static_cast<QXMemSize>(i);
    return SK_NOTFOUND;
}

void qxzstup(QXChar* string, QXStrSize slen)
{
    QXNLSh nls = national_language();
    for (QXStrSize i = 0; i < slen; ++i) {
        QXChar c = string[i];
        string[i] = (nls && c > 127) ? nls->upcase(nls, c, 1) : sk_table_upper(c);
    }
}

void qxzstlo(QXChar* string, QXStrSize slen)
{
    QXNLSh nls = national_language();
    for (QXStrSize i = 0; i < slen; ++i) {
        QXChar c = string[i];
        string[i] = (nls && c > 127) ? nls->lowcase(nls, c, 1) : sk_table_lower(c);
    }
}

void qxzstmin(QXChar* string, QXStrSize slen)
{
    for (QXStrSize i = 0; i < slen; ++i)
        string[i] = wide_shift(string[i], skz_min_meta, skz_minshift);
}

void qxzstmax(QXChar* string, QXStrSize slen)
{
    for (QXStrSize i = 0; i < slen; ++i)
        string[i] = wide_shift(string[i], skz_max_meta, skz_maxshift);
}

QXBoolean qxzseqn(const QXChar* s1, QXStrSize len1, const QXChar* s2, QXStrSize len2)
{
    if (len1 != len2)
        return 0;
    for (QXStrSize i = 0; i < len1; ++i)
        if (s1[i] != s2[i] && sk_table_lower(s1[i]) != sk_table_lower(s2[i]))
            return 0;
    return 1;
}

int32_t qxzsncmp(const QXChar* s1, QXStrSize len1, const QXChar* s2, QXStrSize len2)
{
    int32_t r = 0;
    QXStrSize n = std::min(len1, len2);
    for (QXStrSize i = 0; i < n; ++i) {
        QXChar a = s1[i], b = s2[i];
        if (a == b)
            continue;
        if (r == 0)
            r = a > b ? 1 : -1;
        int32_t la = static_cast<int32_t>(sk_table_lower(a));
        int32_t lb = static_cast<int32_t>(sk_table_lower(b));
        if (la < lb)
            return -2;
        if (la > lb)
            return 2;
    }
    if (len1 < len2 && !skMemTNot(BLANK, s2 + n, len2 - n))
        r = -2;
    else if (len1 > len2 && !skMemTNot(BLANK, s1 + n, len1 - n))
        r = 2;
    return r;
}

int Compiler2QXChar(const char* src, QXMemSize srcL, QXChar* dest, QXMemSize destL, QXMemSize* cvtL)
{
    QXMemSize n = std::min(srcL, destL);
    for (QXMemSize i = 0; i < n; ++i)
        dest[i] = c2qx[static_cast<unsigned char>(src[i])];
    if (cvtL)
        *cvtL = n;
    return srcL > destL ? 1 : 0;
}

namespace
{
QXStatus narrow(const QXChar* c, QXStrSize cL, char* a, QXMemSize aL, QXMemSize* cvtL,
                bool through_u2c)
{
    QXMemSize count = cL > 0 ? static_cast<QXMemSize>(cL) : 0;
    QXStatus st = aL < count ? QX_E_BUFSMALL : QX_OK;
    QXMemSize n = std::min(count, aL);
    for (QXMemSize i = 0; i < n; ++i) {
        if (c[i] > 255) {
            a[i] = 26;
            st = QX_E_NOTREPR;
        } else {
            a[i] = static_cast<char>(through_u2c ? u2c[c[i]] : c[i]);
        }
    }
    if (cvtL)
        *cvtL = n;
    return st;
}
} // namespace

QXStatus QXChar2ASCII(const QXChar* c, QXStrSize cL, char* a, QXMemSize aL, QXMemSize* cvtL)
{
    return narrow(c, cL, a, aL, cvtL, false);
}

QXStatus QXChar2Compiler(const QXChar* c, QXStrSize cL, char* a, QXMemSize aL, QXMemSize* cvtL)
{
    return narrow(c, cL, a, aL, cvtL, true);
}

QXMemSize AsciiPrefixLen(const QXUtf8* str, QXMemSize l, QXStrSize cL)
{
    QXMemSize limit = l;
    if (cL <= 0)
        return 0;
    if (static_cast<QXMemSize>(cL) < limit)
        limit = static_cast<QXMemSize>(cL);
    QXMemSize i = 0;
    if (limit > 256) {
        // Byte by byte up to an 8-byte boundary, then eight bytes a step.
        while (i < limit && (reinterpret_cast<uintptr_t>(str + i) & 7u) != 0) {
            if (str[i] >= 0x80)
                return i;
            ++i;
        }
        while (i + 8 <= limit) {
            uint64_t w;
            std::memcpy(&w, str + i, 8);
            if (w & 0x8080808080808080ull)
                break;
            i += 8;
        }
    }
    while (i < limit && str[i] < 0x80)
        ++i;
    return i;
}

QXStatus putUESC(uint8_t* buf, QXMemSize bufL, uint32_t c32, const unsigned char* u2etable,
                 QXMemSize* cvtL)
{
    static const char hex[] = "0123456789ABCDEF";
    *cvtL = 0;
    auto img = [&](char ch) {
        unsigned char b = static_cast<unsigned char>(ch);
        return u2etable ? u2etable[b] : b;
    };
    int digits;
    char letter;
    if (c32 > 0xFFFF) {
        if (bufL < 10)
            return QX_E_BUFSMALL;
        if ((c32 >> 16) > 16)
            return QX_E_NOTREPR;
        digits = 8;
        letter = 'U';
    } else {
        if (bufL < 6)
            return QX_E_BUFSMALL;
        digits = 4;
        letter = 'u';
    }
    buf[0] = img('\\');
    buf[1] = img(letter);
    for (int k = 0; k < digits; ++k)
        buf[2 + k] = img(hex[(c32 >> (4 * (digits - 1 - k))) & 0xF]);
    *cvtL = static_cast<QXMemSize>(digits + 2);
    return QX_OK;
}
