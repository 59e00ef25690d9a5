// Number fields and text translation.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "runtime/wztxt.h"

namespace
{

std::string num_field(long num, int len, wrcode* rc)
{
    tchar buf[32];
    std::memset(buf, '#', sizeof buf);
    *rc = wzclchr(num, buf, len);
    EXPECT_EQ(buf[len], '#') << "wrote past the field";
    return std::string(buf, static_cast<size_t>(len));
}

TEST(NumberField, RightJustifiedOrAsterisks)
{
    struct Case {
        long num;
        int len;
        std::string text; // empty: asterisks, with WZ_NUMBER_TOO_WIDE
    } cases[] = {{7, 3, "  7"},
                 {123, 3, "123"},
                 {1234, 3, ""},
                 {-5, 2, "-5"},
                 {-5, 1, ""},
                 {-12, 3, "-12"},
                 {-12, 2, ""},
                 {0, 1, "0"},
                 {0, 4, "   0"},
                 {10, 2, "10"},
                 {100, 2, ""},
                 {LONG_MIN, 19, ""},
                 {LONG_MIN, 20, "-9223372036854775808"},
                 {LONG_MAX, 19, "9223372036854775807"},
                 {LONG_MAX, 18, ""},
                 {LONG_MAX, 25, "      9223372036854775807"}};
    for (const Case& c : cases) {
        wrcode rc;
        bool wide = c.text.empty();
        EXPECT_EQ(num_field(c.num, c.len, &rc), wide ? std::string(c.len, '*') : c.text) << c.num;
        EXPECT_EQ(rc, wide ? WZ_NUMBER_TOO_WIDE : 0) << c.num << " in " << c.len;
    }
    tchar none[1] = {'#'};
    EXPECT_EQ(wzclchr(5, none, 0), WZ_NUMBER_TOO_WIDE);
    EXPECT_EQ(none[0], '#');
}

TEST(Translation, BadCodesAndSwitches)
{
    tchar dest[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(wztxxlt(5, "abcd", dest, 4), WZ_BAD_FUNCTION);
    EXPECT_EQ(wztxxlt(-1, "abcd", dest, 4), WZ_BAD_FUNCTION);
    EXPECT_EQ(std::string(dest, 4), "wxyz");
    EXPECT_EQ(wztxdotr(), 0);
    EXPECT_EQ(wztxdvdq(), 0);
}

TEST(Translation, CaseTablesInPlace)
{
    tchar s[] = "Debug=Syn,sem 1_x";
    EXPECT_EQ(wztxxlt(2, s, s, 17), 0);
    EXPECT_EQ(std::string(s), "DEBUG=SYN,SEM 1_X");
    EXPECT_EQ(wztxxlt(3, s, s, 5), 0);
    EXPECT_EQ(std::string(s), "debug=SYN,SEM 1_X");
    EXPECT_EQ(wztxxlt(2, s, s, 0), 0);
    EXPECT_EQ(s[0], 'd');
    tchar out[4] = {};
    EXPECT_EQ(wztxxlt(0, "a\x01\xFF", out, 3), 0);
    EXPECT_EQ(std::memcmp(out, "a\x01\xFF", 3), 0);
    EXPECT_EQ(wztxxlt(4, "Zz", out, 2), 0);
    EXPECT_EQ(std::memcmp(out, "Zz", 2), 0);
}

TEST(Translation, CompareUnderTheHostCharacterMap)
{
    // The host's map folds case, so the comparison ignores it; the padding
    // rule is that of the plain comparison.
    EXPECT_EQ(wzstcmn("ab", 2, "AB  ", 4, nullptr), 0);
    EXPECT_EQ(wzstcmn("abc", 3, "ABD", 3, nullptr), -3);
    EXPECT_EQ(wzstcmn("abd", 3, "ABC", 3, nullptr), 3);
    EXPECT_LT(wzstcmn("Ab\n", 3, "aB", 2, nullptr), 0);
    EXPECT_EQ(wzstcom("ab", 2, "AB", 2), 1); // the plain comparison does not fold
}

} // namespace
