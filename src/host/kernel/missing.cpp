// Missing-value scans and the key comparison.
#include "vyr_missing.h"

#include <cstring>

namespace
{

// The 16-bit word at byte offset 6 of a double: all ones for a missing value.
inline bool top_word_all_ones(const double* p)
{
    uint16_t w;
    std::memcpy(&w, reinterpret_cast<const unsigned char*>(p) + 6, sizeof w);
    return w == 0xFFFFu;
}

// Where a double falls in the key order: class 0 missing values (ranked by
// their missing code), class 1 NaNs that are not missing values, class 2
// numbers (ranked by value).
struct KeyRank {
    int cls;
    int code;
    double value;
};

inline KeyRank rank_of(const char* p)
{
    uint64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    if ((bits >> 48) == 0xFFFFu) {
        const auto byte5 = static_cast<signed char>(static_cast<unsigned char>(bits >> 40));
        return {0, -static_cast<int>(byte5), 0.0};
    }
    double d;
    std::memcpy(&d, p, sizeof d);
    if (d != d)
        return {1, 0, 0.0};
    return {2, 0, d};
}

inline int sign_of(int v)
{
    return (v > 0) - (v < 0);
}

} // namespace

int wzmisn(const double* dblra, int len)
{
    for (int i = 0; i < len; ++i)
        if (top_word_all_ones(dblra + i))
            return 1;
    return 0;
}

int wzbcoff(const char* ptr1, const char* ptr2, int typleng, int off)
{
    const char* a = ptr1 + off;
    const char* b = ptr2 + off;
    if (typleng > 0)
        return sign_of(std::memcmp(a, b, static_cast<size_t>(typleng)));
    if (typleng == 0) {
        int32_t x, y;
        std::memcpy(&x, a, sizeof x);
        std::memcpy(&y, b, sizeof y);
        return (x > y) - (x < y);
    }
    const KeyRank x = rank_of(a);
    const KeyRank y = rank_of(b);
    if (x.cls != y.cls)
        return x.cls < y.cls ? -1 : 1;
    if (x.cls == 0)
        return (x.code > y.code) - (x.code < y.code);
    if (x.cls == 1)
        return 0;
    return (x.value > y.value) - (x.value < y.value);
}
