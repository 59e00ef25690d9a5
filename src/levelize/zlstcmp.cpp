// List utilities over contiguous arrays of n elements of s bytes each, two
// elements being equal when their s bytes are: set and multiset comparison,
// counting, membership, lookup in a parsed name list, and joins.
#include <cstring>

#include "levelize/zlevint.h"
#include "runtime/xsparse.h"

namespace
{

const char* at(const void* l, int i, int s)
{
    return static_cast<const char*>(l) + static_cast<size_t>(i) * static_cast<size_t>(s);
}

// The comparison result from c, the number of elements of the first list
// found in the second (1: the first holds the second and more; -1: the
// first lies within the second; 0: the same; 999: neither).
int verdict(int c, int n1, int n2)
{
    if (c == n1)
        return c >= n2 ? 0 : -1;
    return c >= n2 ? 1 : 999;
}

} // namespace

int zlstmul(const void* l, int n, const void* e, int s)
{
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (std::memcmp(at(l, i, s), e, static_cast<size_t>(s)) == 0)
            ++count;
    return count;
}

int zlstmem(const void* l, int n, const void* e, int s)
{
    for (int i = 0; i < n; ++i)
        if (std::memcmp(at(l, i, s), e, static_cast<size_t>(s)) == 0)
            return i;
    return n;
}

int zlstcmp(const void* l1, int n1, const void* l2, int n2, int s)
{
    int c = 0;
    for (int i = 0; i < n1; ++i)
        if (zlstmem(l2, n2, at(l1, i, s), s) < n2)
            ++c;
    return verdict(c, n1, n2);
}

int zlstcmpMul(const void* l1, int n1, const void* l2, int n2, int s)
{
    int c = 0;
    for (int i = 0; i < n1; ++i) {
        const char* e = at(l1, i, s);
        if (zlstmul(l1, n1, e, s) == zlstmul(l2, n2, e, s))
            ++c;
    }
    return verdict(c, n1, n2);
}

int zlstmel(void* l, int n, const char* e, int s)
{
    for (int i = 0; i < n; ++i) {
        const char* name = nullptr;
        int len = 0;
        if (zgetnmr(l, i, &name, &len) != 0)
            break;
        if (len == s && std::memcmp(name, e, static_cast<size_t>(s)) == 0)
            return i;
    }
    return n;
}

int zlstjn(const void* l1, int n1, int* idx1, const void* l2, int n2, int* idx2, int s)
{
    if (n1 < 1)
        return 0;
    int k = 0;
    for (int i = 0; i < n1; ++i)
        for (int j = 0; j < n2; ++j)
            if (std::memcmp(at(l1, i, s), at(l2, j, s), static_cast<size_t>(s)) == 0) {
                if (idx1 && idx2) {
                    idx1[k] = i;
                    idx2[k] = j;
                }
                ++k;
            }
    return k;
}
