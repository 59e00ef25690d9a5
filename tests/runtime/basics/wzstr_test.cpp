// Blank-padded strings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/wzstr.h"

namespace
{

std::string field(const tchar* s, int n)
{
    return std::string(s, static_cast<size_t>(n));
}

TEST(BlankPadded, StripAndAllBlankTests)
{
    tchar blanks[20];
    std::memset(blanks, ' ', sizeof blanks);
    EXPECT_EQ(wzstrip(blanks, 20), 0);
    tchar ab[20];
    std::memset(ab, ' ', sizeof ab);
    ab[0] = 'A';
    ab[1] = 'B';
    EXPECT_EQ(wzstrip(ab, 20), 2);
    EXPECT_EQ(wzstrip("abc", 3), 3);
    EXPECT_EQ(wzstrip("abc", -3), -3);
    EXPECT_EQ(wzstrip("abc", 0), 0);
    // Long fields at every alignment and every text length, including a
    // non-blank in the middle of a word the fast scan compares.
    tchar buf[80];
    for (int start = 0; start < 8; ++start)
        for (int text = 0; text <= 60; ++text) {
            std::memset(buf, ' ', sizeof buf);
            for (int i = 0; i < text; ++i)
                buf[start + i] = (i % 3 == 1) ? ' ' : 'x';
            int expect = text;
            while (expect > 0 && buf[start + expect - 1] == ' ')
                --expect;
            ASSERT_EQ(wzstrip(buf + start, 70), expect) << start << " " << text;
        }
    EXPECT_EQ(vzabl(' ', "   ", 3), 1);
    EXPECT_EQ(vzabl(' ', "  a", 3), 0);
    EXPECT_EQ(vzabl('x', "", 0), 1);
    EXPECT_EQ(vzatl(' ', "", 0, 0), 1);
    EXPECT_EQ(vzatl(0xE9, "\xE9\xE9", 2, 2), 1); // compared as unsigned bytes
    EXPECT_EQ(vzatl(-23, "\xE9", 1, 1), 0);      // out of 0..255 never matches
    EXPECT_EQ(vzatl(0x120, " ", 1, 1), 0);
}

TEST(BlankPadded, CompareExtendsTheShorterFieldWithBlanks)
{
    EXPECT_EQ(wzstcom("ab", 2, "ab   ", 5), 0);
    EXPECT_EQ(wzstcom("ab   ", 5, "ab", 2), 0);
    EXPECT_EQ(wzstcom("ab", 2, "abc", 3), -3);
    EXPECT_EQ(wzstcom("abc", 3, "ab", 2), 3);
    EXPECT_EQ(wzstcom("abc", 3, "abd", 3), -3);
    EXPECT_EQ(wzstcom("b", 1, "abd", 3), 1);
    EXPECT_LT(wzstcom("ab\n", 3, "ab", 2), 0); // 0x0A is below blank
    EXPECT_GT(wzstcom("ab", 2, "ab\n", 3), 0);
    EXPECT_EQ(wzstcom("ab  \n", 5, "ab", 2), -5); // position counts into the padded tail
    EXPECT_EQ(wzstcom(nullptr, 7, "   ", 3), 0);
    EXPECT_EQ(wzstcom("   ", 3, nullptr, 0), 0);
    EXPECT_GT(wzstcom("\xE9", 1, "z", 1), 0); // unsigned bytes
    // The sign is antisymmetric for any pair.
    const char* samples[] = {"", "a", "a ", "ab", "a\x01", "\xFF", " b"};
    for (const char* x : samples)
        for (const char* y : samples) {
            const int lx = static_cast<int>(std::strlen(x)), ly = static_cast<int>(std::strlen(y));
            EXPECT_EQ(wzstcom(x, lx, y, ly), -wzstcom(y, ly, x, lx)) << x << "|" << y;
        }
}

TEST(BlankPadded, MovesPadTruncateAndTerminate)
{
    // A negative target length asks for a NUL-terminated copy in |length| bytes.
    using namespace std::string_literals;
    const struct {
        const char* from;
        int fromLen, toLen, rc;
        std::string want; // the target's first bytes afterwards (it starts as '#')
    } cases[] = {{"ABCDEF", 6, 4, 4, "ABCD#"},    {"AB", 2, 4, 2, "AB  #"},
                 {"ABCDEF", 6, -4, 3, "ABC\0#"s}, {"AB", 2, -8, 2, "AB\0"s},
                 {nullptr, 3, 5, 0, "     #"},    {nullptr, 3, -5, 0, "\0"s},
                 {"AB", 2, -1, 0, "\0#"s}};
    for (const auto& c : cases) {
        tchar to[8];
        std::memset(to, '#', sizeof to);
        EXPECT_EQ(wzstmov(c.from, c.fromLen, to, c.toLen), c.rc) << c.toLen;
        EXPECT_EQ(field(to, static_cast<int>(c.want.size())), c.want) << c.toLen;
    }

    // Overlapping moves, both directions.
    tchar s[] = "abcdefgh";
    wzstmov(s, 6, s + 2, 6);
    EXPECT_EQ(std::string(s), "ababcdef");
    tchar t[] = "abcdefgh";
    vzmp(t + 2, 6, t, 8);
    EXPECT_EQ(field(t, 8), "cdefgh  ");
    tchar u[4] = {'x', 'x', 'x', 'x'};
    vzmp("zz", 0, u, 4);
    EXPECT_EQ(field(u, 4), "    ");
}

TEST(BlankPadded, Justify)
{
    auto justify = [](int type, int* len, int* start) {
        tchar f[10];
        std::memcpy(f, "  ab      ", 10);
        wzstjls(f, 10, type, len, start);
        return field(f, 10);
    };
    int len = -1, start = -1;
    EXPECT_EQ(justify('C', &len, &start), "    ab    ");
    EXPECT_EQ(len, 2);
    EXPECT_EQ(start, 4);
    EXPECT_EQ(justify('l', &len, &start), "ab        ");
    EXPECT_EQ(start, 0);
    EXPECT_EQ(justify('R', &len, &start), "        ab");
    EXPECT_EQ(start, 8);
    EXPECT_EQ(justify('X', &len, &start), "  ab      ");
    EXPECT_EQ(start, 2);
    EXPECT_EQ(justify('c', nullptr, nullptr), "    ab    ");

    tchar odd[7];
    std::memcpy(odd, "abc    ", 7);
    EXPECT_EQ(wzstjus(odd, 7, 'C'), 3);
    EXPECT_EQ(field(odd, 7), "  abc  ");
    std::memcpy(odd, "a b    ", 7); // inner blanks belong to the text
    wzstjls(odd, 7, 'R', &len, &start);
    EXPECT_EQ(field(odd, 7), "    a b");
    EXPECT_EQ(len, 3);

    tchar blank[5];
    std::memset(blank, ' ', sizeof blank);
    len = start = 9;
    wzstjls(blank, 5, 'C', &len, &start);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(start, 0);
    wzstjls(blank, 0, 'C', &len, &start);
    EXPECT_EQ(len, 0);
    tchar full[3] = {'x', 'y', 'z'};
    wzstjls(full, 3, 'C', &len, &start);
    EXPECT_EQ(field(full, 3), "xyz");
    EXPECT_EQ(start, 0);
}

TEST(BlankPadded, SearchVerifyOptionsTranslate)
{
    EXPECT_EQ(wzstndx("abcabc", 6, "ca", 2), 2);
    EXPECT_EQ(wzstndx("abcabc", 6, "bc", 2), 1);
    EXPECT_EQ(wzstndx("abcabc", 6, "abcabcd", 7), -1);
    EXPECT_EQ(wzstndx("abcabc", 6, "x", 0), 0);
    EXPECT_EQ(wzstndx("abcabc", 6, nullptr, -1), 0);
    EXPECT_EQ(wzstndx("abcabc", 6, "cab", -1), 2); // terminated token
    EXPECT_EQ(wzstndx("abcabc", 6, "", -1), 0);
    EXPECT_EQ(wzstndx("abcabc", 0, "a", 1), -1);
    EXPECT_EQ(wzstndx("abcabc", 5, "bc", 2), 1);
    EXPECT_EQ(wzstndx("abcab", 5, "abc", 3), 0);
    EXPECT_EQ(wzstndx("xxabc", 5, "abc", 3), 2);    // match ending at the field's end
    EXPECT_EQ(wzstndx("xxabcd", 5, "abcd", 4), -1); // not past it

    EXPECT_EQ(wzstver("aab", 3, "a", 1), 2);
    EXPECT_EQ(wzstver("aaa", 3, "a", 1), -1);
    EXPECT_EQ(wzstver("aaa", 0, "a", 1), -1);
    EXPECT_EQ(wzstver("aaa", 3, "a", 0), 0);
    EXPECT_EQ(wzstopt("xyz", 3, "zy", 2, 'n'), 'y');
    EXPECT_EQ(wzstopt("xyz", 3, "q", 1, 'n'), 'n');
    EXPECT_EQ(wzstopt(nullptr, 3, "q", 1, 'n'), 'n');
    EXPECT_EQ(wzstpos(nullptr, 3, 'a'), -1);
    EXPECT_EQ(wzstnot("   ", 3, ' '), -1);

    tchar s[] = "a-b_c-";
    wzstrns(s, 6, "  .", "-_-", 3); // the first matching from[] entry wins
    EXPECT_EQ(std::string(s), "a b c ");
    wzstrns(s, 0, "x", "a", 1);
    EXPECT_EQ(s[0], 'a');
}

} // namespace
