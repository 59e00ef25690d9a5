// Text translation and number fields.
#include "runtime/wztxt.h"

#include <cstring>

#include "vyr_host.h"

wrcode wztxxlt(int function, const tchar* source_string, tchar* dest_string, int len)
{
    if (function < 0 || function > 4)
        return WZ_BAD_FUNCTION;
    if (xgcbnlsmode() > 0 && function != 4) {
        switch (function) {
        case 0:
            wzsxcch(source_string, len, dest_string, len, 1);
            break;
        case 1:
            wzsxrch(source_string, len, dest_string, len, 1);
            break;
        case 2:
        case 3:
            if (len > 0 && dest_string != source_string)
                std::memmove(dest_string, source_string, static_cast<size_t>(len));
            if (function == 2)
                wzstrup(dest_string, len);
            else
                wzstrlo(dest_string, len);
            break;
        }
        return 0;
    }
    const unsigned char* table = xgcbxlt(function);
    for (int i = 0; i < len; ++i)
        dest_string[i] = static_cast<tchar>(table[static_cast<tuchar>(source_string[i])]);
    return 0;
}

wrcode wzclchr(long num, tchar* str, int len)
{
    if (len <= 0)
        return WZ_NUMBER_TOO_WIDE;
    int pos = len; // the next byte to write is str[pos - 1]
    long rest = num;
    // Digits from the truncating quotient: each remainder is taken by its
    // magnitude, so the most negative long needs no special case.
    do {
        const long q = rest / 10;
        long d = rest - q * 10;
        if (d < 0)
            d = -d;
        if (pos == 0) {
            std::memset(str, '*', static_cast<size_t>(len));
            return WZ_NUMBER_TOO_WIDE;
        }
        str[--pos] = static_cast<tchar>('0' + d);
        rest = q;
    } while (rest != 0);
    if (num < 0) {
        if (pos == 0) {
            std::memset(str, '*', static_cast<size_t>(len));
            return WZ_NUMBER_TOO_WIDE;
        }
        str[--pos] = '-';
    }
    if (pos > 0)
        std::memset(str, ' ', static_cast<size_t>(pos));
    return 0;
}

short wztxdotr()
{
    return 0;
}
short wztxdvdq()
{
    return 0;
}
