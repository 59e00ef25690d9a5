// UTF-8 of kernel strings (QXChar code points), for the host's formatting and
// the procedure's log lines alike.
#include "vyr_utf8.h"

#include <cstring>

QXMemSize sk_utf8_length(const QXChar* s, QXStrSize n)
{
    QXMemSize total = 0;
    for (QXStrSize i = 0; i < n; ++i) {
        QXChar c = s[i];
        if (c < 0x80)
            total += 1;
        else if (c < 0x800)
            total += 2;
        else if (c < 0x10000 || c > 0x10FFFF)
            total += 3; // invalid code points become U+FFFD
        else
            total += 4;
    }
    return total;
}

QXMemSize sk_to_utf8(const QXChar* s, QXStrSize n, char* out, QXMemSize cap)
{
    QXMemSize o = 0;
    for (QXStrSize i = 0; i < n; ++i) {
        QXChar c = s[i];
        if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
            c = 0xFFFD;
        unsigned char b[4];
        int k;
        if (c < 0x80) {
            b[0] = static_cast<unsigned char>(c);
            k = 1;
        } else if (c < 0x800) {
            b[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            b[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 2;
        } else if (c < 0x10000) {
            b[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            b[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            b[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 3;
        } else {
            b[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            b[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            b[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            b[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 4;
        }
        if (o + static_cast<QXMemSize>(k) > cap)
            break;
        std::memcpy(out + o, b, static_cast<size_t>(k));
        o += static_cast<QXMemSize>(k);
    }
    return o;
}
