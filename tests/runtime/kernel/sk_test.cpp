// Kernel character strings: case tables against the Unicode reference
// sample, the national-language object's case mapping across planes,
// comparisons, conversions and the memory primitives.
#include "runtime/sk.h"

#include "support/kernel_scope.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <vector>

namespace
{

QXChar up1(QXChar c)
{
    qxzstup(&c, 1);
    return c;
}
QXChar lo1(QXChar c)
{
    qxzstlo(&c, 1);
    return c;
}

TEST(SkCase, TablesMatchTheUnicodeSample)
{
    auto rows = unicode_sample();
    ASSERT_GT(rows.size(), 1000u);
    KernelScope k(false);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.cp);
        EXPECT_EQ(up1(r.cp), r.tupper);
        EXPECT_EQ(lo1(r.cp), r.tlower);
        QXChar c = r.cp;
        qxzstmin(&c, 1);
        EXPECT_EQ(c, r.cmin);
        c = r.cp;
        qxzstmax(&c, 1);
        EXPECT_EQ(c, r.cmax);
    }
}

TEST(SkCase, ExtensionMapsAllPlanesAndAsciiStaysOnTheTables)
{
    auto rows = unicode_sample();
    KernelScope k(true);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.cp);
        EXPECT_EQ(up1(r.cp), r.cp < 128 ? r.tupper : r.upper);
        EXPECT_EQ(lo1(r.cp), r.cp < 128 ? r.tlower : r.lower);
    }
    EXPECT_EQ(up1(0x10428), 0x10400u); // Deseret, plane 1
    EXPECT_EQ(up1('a'), static_cast<QXChar>('A'));
    EXPECT_EQ(up1(0xE9), 0xC9u);
}

TEST(SkCase, WholeFieldsWithoutTheExtension)
{
    // The sample covers each character alone; here whole fields are mapped
    // in one call. Rows: character, upper, lower, case-class min and max.
    KernelScope k(false);
    const QXChar rows[][5] = {{'a', 'A', 'a', 'A', 'a'},
                              {0xFF, 0x178, 0xFF, 0xFF, 0x178},
                              {0x17F, 'S', 0x17F, 'S', 0x17F},
                              {0x181, 0x181, 0x253, 0x181, 0x253},
                              {0x1FF8, 0x1FF8, 0x1F78, 0x1F78, 0x1FF8},
                              {0x10400, 0x10400, 0x10400, 0x10400, 0x10400},
                              {0x130, 0x130, 0x130, 'I', 0x131},
                              {0x3C2, 0x3C2, 0x3C2, 0x3A3, 0x3C3},
                              {'K', 'K', 'k', 'K', 0x212A}};
    const size_t n = std::size(rows);
    std::vector<QXChar> f[4];
    for (auto& v : f)
        for (const auto& r : rows)
            v.push_back(r[0]);
    qxzstup(f[0].data(), static_cast<QXStrSize>(n));
    qxzstlo(f[1].data(), static_cast<QXStrSize>(n));
    qxzstmin(f[2].data(), static_cast<QXStrSize>(n));
    qxzstmax(f[3].data(), static_cast<QXStrSize>(n));
    for (size_t i = 0; i < n; ++i)
        for (int m = 0; m < 4; ++m)
            EXPECT_EQ(f[m][i], rows[i][m + 1]) << std::hex << rows[i][0] << " mapping " << m;
    QXChar s[] = {'a'};
    qxzstup(s, 0); // empty and negative lengths do nothing
    qxzstlo(s, -3);
    EXPECT_EQ(s[0], static_cast<QXChar>('a'));
}

TEST(SkCompare, CaseBlindComparisonAndEquality)
{
    KernelScope k(false);
    auto cmp = [](const std::string& a, const std::string& b) {
        auto x = wide(a), y = wide(b);
        return qxzsncmp(x.data(), static_cast<QXStrSize>(x.size()), y.data(),
                        static_cast<QXStrSize>(y.size()));
    };
    // The sign says which is first; the size is the 1-based position of the difference.
    const struct {
        const char *a, *b;
        int want;
    } cases[] = {{"abc", "ABC", 1},    {"ABC", "abc", -1},
                 {"abc", "abd", -2},   {"abd", "ABC", 2},
                 {"ab", "AB  ", 1},    {"ab", "abc", -2},
                 {"abc", "ab", 2},     {"abc", "abc", 0},
                 {"abc   ", "abc", 0}, {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(cmp(c.a, c.b), c.want) << c.a << " " << c.b;
    auto eq = [](const std::string& a, int la, const std::string& b, int lb) {
        auto x = wide(a), y = wide(b);
        return qxzseqn(x.data(), la, y.data(), lb);
    };
    EXPECT_EQ(eq("\xC3\x89T\xC3\x89", 3, "\xC3\xA9t\xC3\xA9", 3), 1);
    EXPECT_EQ(eq("ab", 2, "AB  ", 4), 0);
    EXPECT_EQ(eq("ab", 0, "AB", 0), 1);
    EXPECT_EQ(eq("ab", 2, "abd", 2), 1);
    EXPECT_EQ(eq("ab", 2, "ac", 2), 0);
}

TEST(SkConvert, NarrowingWideningAndEscapes)
{
    QXChar c[] = {0x41, 0x263A};
    char a[4] = {};
    QXMemSize n = 99;
    EXPECT_EQ(QXChar2ASCII(c, 2, a, 2, &n), QX_E_NOTREPR);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(a[0], 0x41);
    EXPECT_EQ(a[1], 26);
    EXPECT_EQ(QXChar2ASCII(c, 2, a, 1, &n), QX_E_BUFSMALL);
    EXPECT_EQ(n, 1u);
    QXChar ok[] = {'h', 0xE9};
    EXPECT_EQ(QXChar2Compiler(ok, 2, a, 4, &n), QX_OK);
    EXPECT_EQ(static_cast<unsigned char>(a[1]), 0xE9);

    QXChar d[3];
    EXPECT_EQ(Compiler2QXChar("\xE9xyz", 4, d, 3, &n), 1);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(d[0], 0xE9u);
    EXPECT_EQ(Compiler2QXChar("ab", 2, d, 3, &n), 0);

    uint8_t buf[16];
    EXPECT_EQ(putUESC(buf, 16, 0x1F600, nullptr, &n), QX_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "\\U0001F600");
    EXPECT_EQ(putUESC(buf, 16, 0xE9, nullptr, &n), QX_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "\\u00E9");
    EXPECT_EQ(putUESC(buf, 16, 0x110000, nullptr, &n), QX_E_NOTREPR);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(putUESC(buf, 5, 0x41, nullptr, &n), QX_E_BUFSMALL);
    EXPECT_EQ(putUESC(buf, 9, 0x10000, nullptr, &n), QX_E_BUFSMALL);
    unsigned char lower[256];
    for (int i = 0; i < 256; ++i)
        lower[i] = static_cast<unsigned char>(std::tolower(i));
    EXPECT_EQ(putUESC(buf, 6, 0xAB, lower, &n), QX_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "\\u00ab");
}

TEST(SkConvert, AsciiPrefixWordScanAgreesWithTheByteScan)
{
    std::mt19937 rng(5);
    std::vector<QXUtf8> s(2000);
    for (int trial = 0; trial < 300; ++trial) {
        for (auto& b : s)
            b = static_cast<QXUtf8>('a' + rng() % 26);
        size_t hit = rng() % s.size();
        if (trial % 3)
            s[hit] = static_cast<QXUtf8>(0x80 + rng() % 0x80);
        size_t start = rng() % 16;
        QXMemSize l = rng() % (s.size() - start);
        QXStrSize cL = static_cast<QXStrSize>(rng() % 2100);
        QXMemSize expect = 0;
        while (expect < l && static_cast<QXStrSize>(expect) < cL && s[start + expect] < 0x80)
            ++expect;
        EXPECT_EQ(AsciiPrefixLen(s.data() + start, l, cL), expect);
    }
}

TEST(SkMemory, PrimitivesAtTheirEdges)
{
    EXPECT_EQ(skMemScan("abc", 0, 'a'), SK_NOTFOUND);
    EXPECT_EQ(skMemScan(nullptr, 3, 'a'), SK_NOTFOUND);
    EXPECT_EQ(skMemScan("abc", 3, 'c'), 2u);
    EXPECT_EQ(skMemNScan("aab", 3, 'a'), 2u);
    EXPECT_EQ(skMemNScan("aaa", 3, 'a'), SK_NOTFOUND);
    EXPECT_EQ(skMemNot('x', "", 0), 1);
    EXPECT_EQ(skMemNot(' ', "  a", 3), 0);
    QXChar sp[] = {' ', ' ', 'q'};
    EXPECT_EQ(skMemTNot(' ', sp, 2), 1);
    EXPECT_EQ(skMemTNScan(sp, 3, ' '), 2u);
    EXPECT_EQ(skMemCmp("\x80", "\x7f", 1), 1);
    QXChar a[] = {1, 0x10000}, b[] = {1, 0xFFFF};
    EXPECT_EQ(skWMemCmp(a, b, 2), 1);
    EXPECT_EQ(skStrLen(nullptr), 0u);
    EXPECT_EQ(skStrTLen(nullptr), 0);
    QXChar t[] = {'x', 'y', 0};
    EXPECT_EQ(skStrTLen(t), 2);
    char buf[8] = "abcdefg";
    skMemSCpy(buf, buf + 1, 5); // overlapping
    EXPECT_STREQ(buf, "aabcdeg");
    int8_t dst[4] = {'z', 'z', 'z', 0};
    skStrCpy(nullptr, dst);
    EXPECT_EQ(dst[0], 0);
    int8_t word[] = {'a', 'Z', '1', static_cast<int8_t>(0xE9)};
    skStrUp(word, 4);
    EXPECT_EQ(word[0], 'A');
    EXPECT_EQ(static_cast<uint8_t>(word[3]), 0xE9);
    EXPECT_EQ(skUnsup(), QX_E_UNSUPPORTED);

    QXHandle* h = vyr_kernel_handle();
    QXPoolh pool = h->poolCreate(h, "test pool", 0, 0, 0);
    auto* copy = static_cast<char*>(skMemDup("hello", 5, pool));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, "hello", 5), 0);
    EXPECT_EQ(skMemDup(nullptr, 5, pool), nullptr);
    EXPECT_EQ(skMemDup("x", 1, nullptr), nullptr);
    pool->hdr.destroy(pool);
}

TEST(SkConvert, Utf8SizingNeverDropsCharacters)
{
    std::vector<QXChar> s = {'a', 0xE9, 0x20AC, 0x1F600, 0xD800, 0x110000};
    QXMemSize need = sk_utf8_length(s.data(), static_cast<QXStrSize>(s.size()));
    EXPECT_EQ(need, 1u + 2 + 3 + 4 + 3 + 3);
    std::string out(need, '\0');
    EXPECT_EQ(sk_to_utf8(s.data(), static_cast<QXStrSize>(s.size()), out.data(), need), need);
    EXPECT_EQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD");
}

} // namespace
