// Character classes with and without the national-language object, against
// the Unicode reference sample, and the lazy load of the character database.
#include "runtime/qxnls.h"

#include "support/kernel_scope.h"

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

TEST(Qxnls, SpacesAndCharactersOutsideTheSampleInBothModes)
{
    // The sample settles the other classes (symbols such as '$' and '+' are
    // graphic, not punctuation; U+00A0 prints but is not graphic).
    for (bool withNls : {false, true}) {
        KernelScope k(withNls);
        SCOPED_TRACE(withNls);
        EXPECT_TRUE(qxnlsisdigit(0x669));
        EXPECT_TRUE(qxnlsisxdigit(0xFF26));
        EXPECT_FALSE(qxnlsisxdigit(0xFF27));
        for (QXChar c : {0x20u, 0x09u, 0xA0u, 0x3000u})
            EXPECT_TRUE(qxnlsisspace(c)) << std::hex << c;
        for (QXChar c : {0x1Cu, 0x200Bu, 0x10FFFFu, 0x41u})
            EXPECT_FALSE(qxnlsisspace(c)) << std::hex << c;
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
