// Character classes with and without the national-language object, against
// the Unicode reference sample, and the lazy load of the character database.
#include "runtime/qxnls.h"

#include "kernel_scope.h"

#include <gtest/gtest.h>

namespace
{

struct Class {
    const char* name;
    QXBoolean (*fn)(QXChar);
    uint32_t mask;
};
const Class classes[] = {
    {"digit", qxnlsisdigit, QXNLS_DIGIT}, {"lower", qxnlsislower, QXNLS_LOWER},
    {"upper", qxnlsisupper, QXNLS_UPPER}, {"alpha", qxnlsisalpha, QXNLS_ALPHA},
    {"alnum", qxnlsisalnum, QXNLS_ALNUM}, {"print", qxnlsisprint, QXNLS_PRINT},
    {"punct", qxnlsispunct, QXNLS_PUNCT}, {"graph", qxnlsisgraph, QXNLS_GRAPH},
    {"cntrl", qxnlsiscntrl, QXNLS_CNTRL},
};

bool xdigit_letter(QXChar c)
{
    return (c >= 0x41 && c <= 0x46) || (c >= 0x61 && c <= 0x66) || (c >= 0xFF21 && c <= 0xFF26) ||
           (c >= 0xFF41 && c <= 0xFF46);
}

void check_sample(bool withNls)
{
    KernelScope k(withNls);
    for (const auto& r : unicode_sample()) {
        for (const auto& cl : classes)
            EXPECT_EQ(cl.fn(r.cp), (r.bits & cl.mask) ? 1 : 0)
                << cl.name << " of " << std::hex << r.cp << " (" << r.cat << ")";
        EXPECT_EQ(qxnlsisxdigit(r.cp), (xdigit_letter(r.cp) || r.cat == "Nd") ? 1 : 0)
            << std::hex << r.cp;
    }
}

TEST(Qxnls, RangeTablesMatchTheUnicodeSample)
{
    check_sample(false);
}
TEST(Qxnls, NationalLanguageObjectMatchesTheUnicodeSample)
{
    check_sample(true);
}

TEST(Qxnls, TellingCharactersInBothModes)
{
    for (bool withNls : {false, true}) {
        KernelScope k(withNls);
        SCOPED_TRACE(withNls);
        EXPECT_TRUE(qxnlsisdigit('7'));
        EXPECT_TRUE(qxnlsisdigit(0x669));
        EXPECT_TRUE(qxnlsisdigit(0xFF10));
        EXPECT_FALSE(qxnlsisxdigit('G'));
        EXPECT_TRUE(qxnlsisxdigit(0xFF26));
        for (QXChar c : {'$', '+', '<', '=', '>', '^', '`', '|', '~'}) {
            EXPECT_TRUE(qxnlsisgraph(c)) << c;
            EXPECT_FALSE(qxnlsispunct(c)) << c;
        }
        EXPECT_TRUE(qxnlsisprint(0xA0));
        EXPECT_TRUE(qxnlsisspace(0xA0));
        EXPECT_FALSE(qxnlsisgraph(0xA0));
        EXPECT_TRUE(qxnlsiscntrl(0xAD));
        EXPECT_TRUE(qxnlsisspace(0x3000));
        EXPECT_FALSE(qxnlsisspace(0x1C));
        EXPECT_FALSE(qxnlsisspace(0x200B));
        for (const auto& cl : classes)
            EXPECT_FALSE(cl.fn(0x10FFFF)) << cl.name;
        EXPECT_FALSE(qxnlsisspace(0x10FFFF));
        EXPECT_TRUE(qxnlsiscntrl(0));
        for (const auto& cl : classes)
            if (cl.fn != qxnlsiscntrl) {
                EXPECT_FALSE(cl.fn(0)) << cl.name;
            }
        EXPECT_TRUE(qxnlsisupper(0x1E900)); // Adlam, plane 1
        EXPECT_TRUE(qxnlsisalpha(0x2FA1D));
        EXPECT_TRUE(qxnlsisgraph(0xE0100));
        EXPECT_FALSE(qxnlsisprint(0xE000)); // private use: graph, not print
        EXPECT_TRUE(qxnlsisgraph(0xE000));
    }
}

TEST(Qxnls, CharacterDatabaseLoadsOnceOnFirstNeed)
{
    KernelScope k(true);
    QXNLSh nls = k.handle()->qxnls;
    nls->udb = nullptr;
    long before = vyr_kernel_load_count("qxnlsudb");
    EXPECT_TRUE(qxnlsislower('a'));
    EXPECT_EQ(nls->udb, nullptr);
    EXPECT_EQ(vyr_kernel_load_count("qxnlsudb"), before);
    EXPECT_TRUE(qxnlsislower(0xE9));
    EXPECT_NE(nls->udb, nullptr);
    EXPECT_EQ(vyr_kernel_load_count("qxnlsudb"), before + 1);
    EXPECT_TRUE(qxnlsisupper(0x10400));
    EXPECT_TRUE(qxnlsisalpha(0x4E00));
    EXPECT_EQ(vyr_kernel_load_count("qxnlsudb"), before + 1);
}

} // namespace
