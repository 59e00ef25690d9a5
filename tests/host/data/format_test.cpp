// The format engine under each format, and the procedure-facing xpfs and
// xfxbpn.
#include <gtest/gtest.h>

#include <cmath>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/missing.h"
#include "vyr_data.h"
#include "vyr_format.h"

using vyr::fmt::format_number;

namespace
{

std::string xp(double v, int w, int d)
{
    std::string s(static_cast<size_t>(w < 0 ? -w : w), '#');
    xpfs(v, w, d, s.data());
    return s;
}

TEST(Formats, ParseAndCanonicalText)
{
    vyr::fmt::FormatDesc s;
    ASSERT_TRUE(vyr::fmt::parse("best12.", s));
    EXPECT_EQ(s.name, "BEST");
    EXPECT_EQ(s.width, 12);
    ASSERT_TRUE(vyr::fmt::parse("8.2", s));
    EXPECT_EQ(s.name, "");
    EXPECT_EQ(s.decimals, 2);
    EXPECT_EQ(vyr::fmt::text(s), "8.2");
    ASSERT_TRUE(vyr::fmt::parse("$char20.", s));
    EXPECT_TRUE(s.character());
    EXPECT_EQ(vyr::fmt::text(s), "$CHAR20.");
    ASSERT_TRUE(vyr::fmt::parse("DATETIME.", s));
    EXPECT_EQ(vyr::fmt::default_width(s), 16);
    for (const char* bad : {"", "12", "FOO8.", "8.2.1", "BEST12.x", "8.123"})
        EXPECT_FALSE(vyr::fmt::parse(bad, s)) << bad;
}

TEST(Formats, BestKeepsAsMuchPrecisionAsFits)
{
    EXPECT_EQ(vyr::fmt::best(3.5, 8), "     3.5");
    EXPECT_EQ(vyr::fmt::best(1.0 / 3, 12), "0.3333333333");
    EXPECT_EQ(vyr::fmt::best(-1.0 / 3, 8), "-0.33333");
    EXPECT_EQ(vyr::fmt::best(123456789, 8), "1.2346E8");
    EXPECT_EQ(vyr::fmt::best(1.234e-10, 12), "   1.234E-10");
    EXPECT_EQ(vyr::fmt::best(0.1, 12), "         0.1");
    EXPECT_EQ(vyr::fmt::best(100, 3), "100");
    EXPECT_EQ(vyr::fmt::best(0, 5), "    0");
    EXPECT_EQ(vyr::fmt::best(korv_missing(), 4), "   .");
    EXPECT_EQ(vyr::fmt::best(korv_special_missing(0xFD), 4), "   A");
    EXPECT_EQ(vyr::fmt::best(korv_special_missing(0xFF), 4), "   _");
    EXPECT_EQ(vyr::fmt::best_trim(2.0 / 3), "0.6666666667");
}

TEST(Formats, FixedScientificPercent)
{
    EXPECT_EQ(format_number(3.14159, "8.2"), "    3.14");
    EXPECT_EQ(format_number(-0.001, "6.2"), "  0.00"); // no "-0.00"
    EXPECT_EQ(format_number(2.5, "4."), "   3");       // halves round away from zero
    EXPECT_EQ(format_number(-0.125, "6.2"), " -0.13");
    EXPECT_EQ(format_number(123456.789, "6.2"), "123457"); // decimals give way first
    EXPECT_EQ(format_number(1e12, "6.2"), "  1E12");       // then automatic
    EXPECT_EQ(format_number(12345.678, "E12."), " 1.23457E+04");
    EXPECT_EQ(format_number(0.125, "PERCENT8.1"), "   12.5%");
    EXPECT_EQ(format_number(-0.05, "percent6."), "   -5%");
    EXPECT_EQ(format_number(korv_missing(), "8.2"), "       .");
}

TEST(Formats, DatesAndTimes)
{
    EXPECT_EQ(format_number(0, "DATE9."), "01JAN1960");
    EXPECT_EQ(format_number(0, "DATE7."), "01JAN60");
    EXPECT_EQ(format_number(-1, "DATE9."), "31DEC1959");
    EXPECT_EQ(format_number(366 + 59, "DATE9."), "01MAR1961"); // 1960 is a leap year
    EXPECT_EQ(format_number(22281, "date11."), "01-JAN-2021");
    EXPECT_EQ(format_number(3661, "TIME8."), " 1:01:01");
    EXPECT_EQ(format_number(3661.5, "TIME10.1"), " 1:01:01.5");
    EXPECT_EQ(format_number(90000, "TIME8."), "25:00:00");
    EXPECT_EQ(format_number(86400 + 3600 * 13 + 30, "DATETIME16."), "02JAN60:13:00:30");
    EXPECT_EQ(format_number(22281.0 * 86400, "DATETIME18."), "01JAN2021:00:00:00");
    EXPECT_EQ(format_number(22281.0 * 86400 + 0.25, "DATETIME20.2"), " 01JAN21:00:00:00.25");
    EXPECT_EQ(format_number(22281.0 * 86400 + 0.25, "DATETIME21.2"), "01JAN2021:00:00:00.25");
}

// Times beyond any count of whole seconds (and infinities) show as stars,
// never as the text of a number they were wrongly converted to.
TEST(Formats, TimesBeyondEveryClockShowAsStars)
{
    for (double v : {1e19, -1e19, 1e300, -1e300, HUGE_VAL, -HUGE_VAL}) {
        EXPECT_EQ(format_number(v, "TIME8."), "********") << v;
        EXPECT_EQ(format_number(v, "TIME32."), std::string(32, '*')) << v;
    }
    EXPECT_EQ(format_number(3.6e15, "TIME32."), std::string(13, ' ') + "1000000000000:00:00");
}

TEST(Formats, CharacterFormats)
{
    vyr::fmt::FormatDesc s;
    ASSERT_TRUE(vyr::fmt::parse("$5.", s));
    EXPECT_EQ(vyr::fmt::format_text("  ab", s), "ab   "); // $w. left-aligns
    ASSERT_TRUE(vyr::fmt::parse("$CHAR5.", s));
    EXPECT_EQ(vyr::fmt::format_text("  ab", s), "  ab ");
    EXPECT_EQ(vyr::fmt::format_text("abcdefgh", s), "abcde");
}

TEST(Formats, XpfsWidthsAndAutomaticDecimals)
{
    EXPECT_EQ(xp(95, 5, 2), "95.00");
    EXPECT_EQ(xp(1.5, -8, 99), "1.5     "); // negative width: left-justified
    EXPECT_EQ(xp(1.5, 8, 99), "     1.5");
    EXPECT_EQ(xp(korv_missing(), -8, 99), ".       ");
    EXPECT_EQ(xp(123456789.0, 4, 0), " 1E8");
    EXPECT_EQ(xp(-123456789.0, 3, 99), "***");
}

TEST(Formats, XfxbpnAppliesAFormatCode)
{
    int code = vyr_format_code("DATE9.");
    ASSERT_GT(code, 0);
    EXPECT_EQ(vyr_format_code("date9."), code); // one code per format
    EXPECT_EQ(vyr_format_code("nonsense"), 0);
    double v = 0;
    char buf[12];
    WZ_FMTPAR p;
    p.w = 9;
    p.from = &v;
    p.fromw = 8;
    p.to = buf;
    p.tow = 11;
    EXPECT_EQ(xfxbpn(&p, code), 0);
    EXPECT_EQ(std::string(buf, 11), "01JAN1960  ");
    p.w = 6;
    p.d = 1;
    p.tow = 6;
    v = 2.25;
    EXPECT_LT(xfxbpn(&p, 9999), 0); // unknown code: automatic, and said so
    EXPECT_EQ(std::string(buf, 6), "  2.25");
}

TEST(Formats, DescriptorFormatting)
{
    NAMESTR nm;
    double v = 1234.5;
    EXPECT_EQ(vyr::fmt::format_value(nm, &v), "      1234.5"); // no format: BEST12.
    std::memcpy(nm.nform, "PERCENT ", 8);
    nm.nfl = 7;
    nm.nflen = 8;
    nm.nfd = 1;
    v = 0.5;
    EXPECT_EQ(vyr::fmt::format_value(nm, &v), "   50.0%");
    NAMESTR c;
    c.ntype = 2;
    c.nlng = 6;
    EXPECT_EQ(vyr::fmt::format_value(c, "abc   ", 4), "abc ");
}

// DATE9. over four centuries of days against the standard library's calendar.
TEST(Formats, DatesAgreeWithTheCivilCalendar)
{
    using namespace std::chrono;
    const char* months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                            "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const sys_days epoch = sys_days{year{1960} / January / 1};
    vyr::fmt::FormatDesc desc;
    ASSERT_TRUE(vyr::fmt::parse("DATE9.", desc));
    for (int d = -80000; d <= 80000; d += 37) {
        year_month_day ymd{epoch + days{d}};
        char want[16];
        std::snprintf(want, sizeof want, "%02u%s%04d", static_cast<unsigned>(ymd.day()),
                      months[static_cast<unsigned>(ymd.month()) - 1], static_cast<int>(ymd.year()));
        ASSERT_EQ(format_number(d, desc), want) << d;
    }
}

} // namespace
