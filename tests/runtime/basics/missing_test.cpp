// Missing values and the key comparison under every tree and sort.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "runtime/missing.h"

namespace
{

double from_bits(uint64_t bits)
{
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

int cmp_double(double a, double b)
{
    return wzbcoff(reinterpret_cast<const char*>(&a), reinterpret_cast<const char*>(&b), -2, 0);
}

TEST(MissingValues, RecognisedByTheirTopWordOnly)
{
    EXPECT_EQ(wzmis(korv_missing()), 1);
    EXPECT_EQ(wzmis(from_bits(0xFFFF000000000000ull)), 1);
    EXPECT_EQ(wzmis(from_bits(0xFFFF12345678ABCDull)), 1);
    EXPECT_EQ(wzmis(from_bits(0xFFF8000000000000ull)), 0); // a NaN, but not missing
    EXPECT_EQ(wzmis(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(wzmis(-1.0), 0);
    EXPECT_EQ(wzmis(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(wzmis(-std::numeric_limits<double>::infinity()), 0);
}

TEST(MissingValues, ArrayScansStopAtTheLengthAndAtTheFirstMissing)
{
    const double values[4] = {1.0, 2.0, korv_missing(), 4.0};
    EXPECT_EQ(wzmisn(values, 2), 0);
    EXPECT_EQ(wzmisn(values, 3), 1);
    EXPECT_EQ(wzmisn(values, 0), 0);
    EXPECT_EQ(wzmisn(values, -5), 0);
    EXPECT_EQ(wzmisn(nullptr, 0), 0); // nothing is read
    EXPECT_EQ(wzmisn(nullptr, -1), 0);
    EXPECT_EQ(skMissArray(values, 2), 0);
    EXPECT_EQ(skMissArray(values, 4), 1);
    EXPECT_EQ(skMissArray(nullptr, 0), 0);
}

TEST(KeyComparison, MissingValuesByCodeThenNaNsThenNumbers)
{
    // Groups of equal keys in ascending order. Missing values rank by the
    // negated signed byte 5, whatever the other bytes: ._ (0xFF) just above
    // byte 5 zero, below the ordinary missing value (0xFE), and .A (0xFD)
    // above it. NaNs that are not missing values sit between missing values
    // and numbers.
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::vector<double>> groups = {
        {korv_special_missing(0x7F)},
        {korv_special_missing(0x01)},
        {from_bits(0xFFFF000000000000ull), from_bits(0xFFFF000000001234ull)},
        {korv_special_missing(0xFF)},
        {korv_missing()},
        {korv_special_missing(0xFD), from_bits(0xFFFFFD0000000001ull)},
        {korv_special_missing(0xFC)},
        {korv_special_missing(0x80)},
        {from_bits(0xFFF8000000000000ull), std::numeric_limits<double>::quiet_NaN()},
        {-inf},
        {-1e300},
        {-1.0},
        {-0.0, 0.0},
        {std::numeric_limits<double>::denorm_min()},
        {1.0},
        {1e300},
        {inf}};
    for (size_t gi = 0; gi < groups.size(); ++gi)
        for (size_t gj = 0; gj < groups.size(); ++gj)
            for (double a : groups[gi])
                for (double b : groups[gj])
                    EXPECT_EQ(cmp_double(a, b), (gi > gj) - (gi < gj)) << gi << " vs " << gj;
}

TEST(KeyComparison, IntegerAndCharacterKeysAtAnOffset)
{
    struct Rec {
        char pad[4];
        int32_t v;
    };
    Rec a{{'x', 'x', 'x', 'x'}, -1};
    Rec b{{'y', 'y', 'y', 'y'}, 1};
    const auto* pa = reinterpret_cast<const char*>(&a);
    const auto* pb = reinterpret_cast<const char*>(&b);
    EXPECT_EQ(wzbcoff(pa, pb, 0, 4), -1); // signed: -1 below 1
    EXPECT_EQ(wzbcoff(pb, pa, 0, 4), 1);
    EXPECT_EQ(wzbcoff(pa, pa, 0, 4), 0);

    const unsigned char f1[] = {'a', 'b', 0x80};
    const unsigned char f2[] = {'a', 'b', 0x7F};
    const auto* c1 = reinterpret_cast<const char*>(f1);
    const auto* c2 = reinterpret_cast<const char*>(f2);
    EXPECT_EQ(wzbcoff(c1, c2, 3, 0), 1); // unsigned bytes
    EXPECT_EQ(wzbcoff(c2, c1, 3, 0), -1);
    EXPECT_EQ(wzbcoff(c1, c1, 3, 0), 0);
    EXPECT_EQ(wzbcoff(c1, c2, 2, 0), 0);          // only typleng bytes are read
    EXPECT_EQ(wzbcoff("ab ", "ab\x01", 3, 0), 1); // a trailing blank is an ordinary byte

    // A double key that is not aligned inside its record.
    unsigned char r1[11] = {}, r2[11] = {};
    const double m = korv_missing(), one = 1.0;
    std::memcpy(r1 + 3, &m, 8);
    std::memcpy(r2 + 3, &one, 8);
    EXPECT_EQ(wzbcoff(reinterpret_cast<char*>(r1), reinterpret_cast<char*>(r2), -2, 3), -1);
}

} // namespace
