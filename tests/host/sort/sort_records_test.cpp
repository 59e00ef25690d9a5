// The host sort against a reference order: records with mixed typed keys
// (doubles with missing values, character, integers, descending), stability,
// and the parallel paths for large inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "runtime/missing.h"
#include "vyr_pool.h"
#include "vyr_sort.h"

namespace
{

constexpr size_t kRec = 32; // double @0, char[4] @8, int32 @12, int64 @16, serial @24

std::vector<unsigned char> make_records(size_t n, unsigned seed)
{
    const double pool[] = {korv_missing(),
                           korv_special_missing(0xFD),
                           korv_special_missing(0xFF),
                           korv_special_missing(0xE4),
                           -1e300,
                           -1.5,
                           -0.0,
                           0.0,
                           1e-300,
                           2.5,
                           1e300,
                           1.0 / 0.0,
                           -1.0 / 0.0};
    const char* words[] = {"ab  ", "abc ", "b   ", "a\x80  ", "    ", "zz9 "};
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n * kRec);
    for (size_t i = 0; i < n; ++i) {
        unsigned char* r = &v[i * kRec];
        double d = pool[rng() % std::size(pool)];
        std::memcpy(r, &d, 8);
        std::memcpy(r + 8, words[rng() % std::size(words)], 4);
        int32_t k = static_cast<int32_t>(rng() % 7) - 3;
        std::memcpy(r + 12, &k, 4);
        int64_t big = (rng() % 2 ? -1 : 1) * static_cast<int64_t>(rng() % 3) * (int64_t(1) << 40);
        std::memcpy(r + 16, &big, 8);
        uint64_t serial = i;
        std::memcpy(r + 24, &serial, 8);
    }
    return v;
}

// The reference: a stable sort with the system's own key comparison for the
// doubles (wzbcoff) and plain comparisons for the rest.
void reference_sort(std::vector<unsigned char>& v, const std::vector<SORVDSTR>& keys)
{
    size_t n = v.size() / kRec;
    std::vector<size_t> idx(n);
    for (size_t i = 0; i < n; ++i)
        idx[i] = i;
    auto cmp = [&](size_t a, size_t b) {
        const char* x = reinterpret_cast<const char*>(&v[a * kRec]);
        const char* y = reinterpret_cast<const char*>(&v[b * kRec]);
        for (const SORVDSTR& k : keys) {
            int r = 0;
            if (k.type == SORT_KEY_DOUBLE)
                r = wzbcoff(x, y, -2, static_cast<int>(k.pos));
            else if (k.type == SORT_KEY_CHAR)
                r = wzbcoff(x, y, k.leng, static_cast<int>(k.pos));
            else if (k.type == SORT_KEY_INT32)
                r = wzbcoff(x, y, 0, static_cast<int>(k.pos));
            else {
                int64_t p, q;
                std::memcpy(&p, x + k.pos, 8);
                std::memcpy(&q, y + k.pos, 8);
                r = p < q ? -1 : p > q;
            }
            if (k.flags & SORT_DESCENDING)
                r = -r;
            if (r)
                return r < 0;
        }
        return false;
    };
    std::stable_sort(idx.begin(), idx.end(), cmp);
    std::vector<unsigned char> out(v.size());
    for (size_t i = 0; i < n; ++i)
        std::memcpy(&out[i * kRec], &v[idx[i] * kRec], kRec);
    v.swap(out);
}

void expect_same_order(size_t n, const std::vector<SORVDSTR>& keys, unsigned seed)
{
    auto got = make_records(n, seed);
    auto want = got;
    reference_sort(want, keys);
    vyr::sort::sort_records(got.data(), n, kRec, keys.data(), static_cast<int>(keys.size()));
    for (size_t i = 0; i < n; ++i) {
        uint64_t a, b;
        std::memcpy(&a, &got[i * kRec + 24], 8);
        std::memcpy(&b, &want[i * kRec + 24], 8);
        ASSERT_EQ(a, b) << "position " << i << " of " << n;
    }
}

TEST(SortRecords, MixedKeysMatchTheReferenceOrder)
{
    // double ascending, char descending, int32 ascending: several words.
    std::vector<SORVDSTR> keys = {{0, 8, SORT_KEY_DOUBLE, 1},
                                  {8, 4, SORT_KEY_CHAR, 1 | SORT_DESCENDING},
                                  {12, 4, SORT_KEY_INT32, 1}};
    expect_same_order(20000, keys, 1);
    // int64 descending then double descending.
    keys = {{16, 8, SORT_KEY_INT64, SORT_DESCENDING}, {0, 8, SORT_KEY_DOUBLE, SORT_DESCENDING}};
    expect_same_order(20000, keys, 2);
}

TEST(SortRecords, SingleKeysAreStable)
{
    // One eight-byte key (the radix path): ties keep their input order.
    expect_same_order(20000, {{0, 8, SORT_KEY_DOUBLE, 1}}, 3);
    expect_same_order(20000, {{8, 4, SORT_KEY_CHAR, 1}}, 4);
    expect_same_order(20000, {{12, 4, SORT_KEY_INT32, SORT_DESCENDING}}, 5);
    expect_same_order(0, {{0, 8, SORT_KEY_DOUBLE, 1}}, 6);
    expect_same_order(1, {{0, 8, SORT_KEY_DOUBLE, 1}}, 6);
}

TEST(SortRecords, LargeInputsUseEveryPathCorrectly)
{
    // Several threads, whatever the machine: the parallel runs and merges.
    vyr::pool_configure(true, 4);
    ASSERT_GT(vyr::pool_width(), 1u);
    // One word (radix), two words (sorted items), and keys wider than four
    // words: 16 + 8 + 4 + 8 = 36 bytes, five words, merged item positions.
    expect_same_order(210000, {{0, 8, SORT_KEY_DOUBLE, 1}}, 7);
    expect_same_order(210000, {{12, 4, SORT_KEY_INT32, 1}, {0, 8, SORT_KEY_DOUBLE, 1}}, 8);
    const std::vector<SORVDSTR> wide = {{8, 4, SORT_KEY_CHAR, SORT_DESCENDING},
                                        {0, 8, SORT_KEY_DOUBLE, 1},
                                        {12, 4, SORT_KEY_INT32, 1},
                                        {8, 12, SORT_KEY_CHAR, 1},
                                        {16, 8, SORT_KEY_INT64, SORT_DESCENDING}};
    expect_same_order(210001, wide, 10);
    // The same keys on one thread give the same order.
    vyr::pool_configure(false, 1);
    expect_same_order(20000, wide, 11);
    vyr::pool_configure(true, 4);
}

TEST(SortRecords, CompareAndBadKeys)
{
    auto v = make_records(2, 9);
    SORVDSTR outside{30, 8, SORT_KEY_DOUBLE, 1};
    EXPECT_TRUE(vyr::sort::sorted_order(v.data(), 2, kRec, &outside, 1).empty());
    SORVDSTR badtype{0, 8, 9, 1};
    EXPECT_TRUE(vyr::sort::sorted_order(v.data(), 2, kRec, &badtype, 1).empty());
    double a = korv_missing(), b = -1e300;
    unsigned char ra[8], rb[8];
    std::memcpy(ra, &a, 8);
    std::memcpy(rb, &b, 8);
    SORVDSTR k{0, 8, SORT_KEY_DOUBLE, 1};
    EXPECT_LT(vyr::sort::compare_records(ra, rb, &k, 1), 0);
    k.flags = SORT_DESCENDING;
    EXPECT_GT(vyr::sort::compare_records(ra, rb, &k, 1), 0);
}

} // namespace
