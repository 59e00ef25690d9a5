// Blank-padded strings.
#include "runtime/wzstr.h"

#include <cstdint>
#include <cstring>

#include "vyr_host.h"

namespace
{

constexpr tuchar kBlank = 0x20;

inline void blank_fill(tchar* to, long n)
{
    if (n > 0)
        std::memset(to, kBlank, static_cast<size_t>(n));
}

// The comparison rule shared by wzstcom and wzstcmn; `map` gives each byte's
// image (null: the byte itself).
int compare_padded(const tchar* s1, int l1, const tchar* s2, int l2, const unsigned char* map)
{
    if (s1 == nullptr || l1 < 0)
        l1 = 0;
    if (s2 == nullptr || l2 < 0)
        l2 = 0;
    auto image = [map](tchar c) {
        const auto u = static_cast<tuchar>(c);
        return map ? map[u] : u;
    };
    const int common = l1 < l2 ? l1 : l2;
    for (int i = 0; i < common; ++i) {
        const tuchar a = image(s1[i]);
        const tuchar b = image(s2[i]);
        if (a != b)
            return a < b ? -(i + 1) : (i + 1);
    }
    if (l1 > common) {
        for (int i = common; i < l1; ++i) {
            const tuchar a = image(s1[i]);
            if (a != kBlank)
                return a < kBlank ? -(i + 1) : (i + 1);
        }
    } else if (l2 > common) {
        for (int i = common; i < l2; ++i) {
            const tuchar b = image(s2[i]);
            if (b != kBlank)
                return b > kBlank ? -(i + 1) : (i + 1);
        }
    }
    return 0;
}

} // namespace

int vzabl(char c, const char* str, long len)
{
    for (long i = 0; i < len; ++i)
        if (str[i] != c)
            return 0;
    return 1;
}

int vzatl(int c, const tchar* str, long len, long /*maxlen*/)
{
    if (len <= 0)
        return 1;
    if (c < 0 || c > 255)
        return 0;
    for (long i = 0; i < len; ++i)
        if (static_cast<tuchar>(str[i]) != c)
            return 0;
    return 1;
}

void vzfdl(double val, double* to, long len)
{
    for (long i = 0; i < len; ++i)
        to[i] = val;
}

void vzmp(const tchar* from, int flen, tchar* to, int tlen)
{
    if (tlen <= 0)
        return;
    int n = flen < tlen ? flen : tlen;
    if (from == nullptr || n < 0)
        n = 0;
    if (n > 0)
        std::memmove(to, from, static_cast<size_t>(n));
    blank_fill(to + n, tlen - n);
}

int wzstmov(const tchar* from, int flen, tchar* to, int tlen)
{
    if (flen < 0)
        flen = 0;
    if (tlen >= 0) {
        if (from == nullptr) {
            blank_fill(to, tlen);
            return 0;
        }
        const int n = flen < tlen ? flen : tlen;
        if (n > 0)
            std::memmove(to, from, static_cast<size_t>(n));
        blank_fill(to + n, tlen - n);
        return n;
    }
    // NUL-terminated target of -tlen bytes.
    if (from == nullptr) {
        to[0] = '\0';
        return 0;
    }
    const int room = -(tlen + 1);
    const int n = flen < room ? flen : room;
    if (n > 0)
        std::memmove(to, from, static_cast<size_t>(n));
    to[n] = '\0';
    return n;
}

int wzstlen(const tchar* str)
{
    return str ? static_cast<int>(std::strlen(str)) : 0;
}

int wzstrip(const tchar* str, int len)
{
    if (len <= 0)
        return len;
    if (static_cast<tuchar>(str[len - 1]) != kBlank)
        return len;
    int i = len;
    if (len > 16) {
        // Step back byte by byte to an 8-byte boundary, then compare whole
        // words with eight blanks.
        while (i > 0 && (reinterpret_cast<uintptr_t>(str + i) & 7u) != 0) {
            if (static_cast<tuchar>(str[i - 1]) != kBlank)
                return i;
            --i;
        }
        constexpr uint64_t kEightBlanks = 0x2020202020202020ull;
        while (i >= 8) {
            uint64_t w;
            std::memcpy(&w, str + i - 8, sizeof w);
            if (w != kEightBlanks)
                break;
            i -= 8;
        }
    }
    while (i > 0 && static_cast<tuchar>(str[i - 1]) == kBlank)
        --i;
    return i;
}

int wzstpos(const tchar* str, int len, tuchar c)
{
    if (str == nullptr)
        return -1;
    for (int i = 0; i < len; ++i)
        if (static_cast<tuchar>(str[i]) == c)
            return i;
    return -1;
}

int wzstnot(const tchar* str, int len, tuchar c)
{
    if (str == nullptr)
        return -1;
    for (int i = 0; i < len; ++i)
        if (static_cast<tuchar>(str[i]) != c)
            return i;
    return -1;
}

int wzstver(const tchar* str, int slen, const tchar* ver, int vlen)
{
    if (slen <= 0)
        return -1;
    if (vlen <= 0 || ver == nullptr)
        return 0;
    for (int i = 0; i < slen; ++i) {
        if (std::memchr(ver, static_cast<tuchar>(str[i]), static_cast<size_t>(vlen)) == nullptr)
            return i;
    }
    return -1;
}

int wzstndx(const tchar* str, int slen, const tchar* tok, int tlen)
{
    if (tlen <= 0) {
        if (tlen == 0 || tok == nullptr)
            return 0;
        tlen = wzstlen(tok);
        if (tlen == 0)
            return 0;
    }
    if (str == nullptr || slen <= 0 || slen - tlen + 1 <= 0)
        return -1;
    for (int i = 0; i <= slen - tlen; ++i) {
        if (str[i] == tok[0] &&
            std::memcmp(str + i + 1, tok + 1, static_cast<size_t>(tlen - 1)) == 0)
            return i;
    }
    return -1;
}

tchar wzstopt(const tchar* search, int slen, const tchar* options, int olen, tuchar def)
{
    if (search == nullptr || options == nullptr || slen <= 0 || olen <= 0)
        return static_cast<tchar>(def);
    for (int i = 0; i < slen; ++i)
        if (std::memchr(options, static_cast<tuchar>(search[i]), static_cast<size_t>(olen)))
            return search[i];
    return static_cast<tchar>(def);
}

void wzstrns(tchar* string, int length, const tchar* to, const tchar* from, int tofrl)
{
    if (length <= 0 || tofrl <= 0 || to == nullptr || from == nullptr)
        return;
    for (int i = 0; i < length; ++i) {
        const void* hit =
            std::memchr(from, static_cast<tuchar>(string[i]), static_cast<size_t>(tofrl));
        if (hit)
            string[i] = to[static_cast<const tchar*>(hit) - from];
    }
}

void wzstjls(tchar* string, int length, int type, int* retlen, int* start)
{
    const int p = length > 0 ? wzstnot(string, length, kBlank) : -1;
    if (p < 0) {
        if (start)
            *start = 0;
        if (retlen)
            *retlen = 0;
        return;
    }
    const int m = length - p;             // bytes from the text's start to the field's end
    const int n = wzstrip(string + p, m); // the text without its trailing blanks
    int shift = 0;
    switch (type) {
    case 'C':
    case 'c':
        shift = m - ((length + n + 1) >> 1);
        break;
    case 'L':
    case 'l':
        shift = m - length;
        break;
    case 'R':
    case 'r':
        shift = m - n;
        break;
    default:
        break;
    }
    if (shift != 0) {
        std::memmove(string + p + shift, string + p, static_cast<size_t>(n));
        if (shift < 0)
            blank_fill(string + p + shift + n, -shift);
        else
            blank_fill(string + p, shift);
    }
    if (start)
        *start = p + shift;
    if (retlen)
        *retlen = n;
}

int wzstjus(tchar* string, int length, int type)
{
    int len = 0;
    wzstjls(string, length, type, &len, nullptr);
    return len;
}

int wzstcom(const tchar* s1, int l1, const tchar* s2, int l2)
{
    return compare_padded(s1, l1, s2, l2, nullptr);
}

int wzstcmn(const tchar* string1, int len1, const tchar* string2, int len2, U_SNAME* /*sort_seq*/)
{
    if (xgcbnlsmode() > 0)
        return wzsxcmn(string1, len1, string2, len2, 0);
    return compare_padded(string1, len1, string2, len2, xgcbcharmap());
}
