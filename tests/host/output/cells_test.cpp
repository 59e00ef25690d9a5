// Cell text: the renderers' number formats give exactly what the host's
// format engine gives, over values chosen to reach every branch (whole
// numbers, short and long fractions, halves, values next to powers of ten,
// the extremes), for every width; and the widths worked out without writing
// the text agree with the text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/output/render.h"
#include "runtime/missing.h"
#include "vyr_format.h"
#include "vyr_text.h"

namespace
{

std::vector<double> sampleValues()
{
    std::vector<double> v = {0.0,
                             -0.0,
                             1,
                             -1,
                             0.5,
                             2.5,
                             0.05,
                             0.005,
                             1.005,
                             0.125,
                             0.1 + 0.2,
                             1.0 / 3.0,
                             2.0 / 3.0,
                             999999.99999,
                             9.9999999999999,
                             0.99995,
                             0.099995,
                             123456789012.0,
                             999999999999.0,
                             1e15,
                             -1e15,
                             1e20,
                             1e-20,
                             5e-324,
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::min(),
                             0.9782608695652174,
                             321.11988169807887,
                             -20.41826097042722,
                             0.0013111645203554949};
    std::mt19937_64 rng(20261207);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int i = 0; i < 500; ++i) {
        // Random mantissas over thirty decades, both signs.
        double m = unit(rng);
        int e = static_cast<int>(rng() % 31) - 15;
        double x = m * std::pow(10.0, e);
        v.push_back(rng() % 2 ? x : -x);
        // Short decimals and their halves: k / 10^d and (k + 0.5) / 10^d.
        int d = static_cast<int>(rng() % 9);
        long long k = static_cast<long long>(rng() % 2000000) - 1000000;
        v.push_back(static_cast<double>(k) / std::pow(10.0, d));
        v.push_back((static_cast<double>(k) + 0.5) / std::pow(10.0, d));
        // Whole numbers of up to 17 digits.
        v.push_back(static_cast<double>(static_cast<long long>(rng() % 100000000000000000ull)) /
                    std::pow(10.0, static_cast<double>(rng() % 12)));
        // Next to a power of ten.
        double p = std::pow(10.0, static_cast<int>(rng() % 24) - 8);
        v.push_back(std::nextafter(p, 0.0));
        v.push_back(std::nextafter(p, 1e300));
    }
    return v;
}

TEST(CellText, BestMatchesTheFormatEngineAtEveryWidth)
{
    const std::vector<double> values = sampleValues();
    std::string got, scratch;
    vdq::CellStyle style;
    for (int w = 1; w <= 32; ++w) {
        style.width = w;
        for (double v : values) {
            got.clear();
            vdq::appendBest(got, v, w);
            ASSERT_EQ(got, vyr::trim_blanks(vyr::fmt::best(v, w))) << "BEST" << w << ". of " << v;
            got.clear();
            vdq::appendNumberText(got, style, v);
            ASSERT_EQ(vdq::numberWidth(style, v, scratch), got.size()) << w << " " << v;
        }
    }
}

TEST(CellText, FixedMatchesTheFormatEngineForEveryWidthAndDecimals)
{
    const std::vector<double> values = sampleValues();
    std::string got, scratch;
    for (int w = 1; w <= 20; ++w)
        for (int d = 0; d <= 12 && d < w; ++d) {
            const std::string fmt = std::to_string(w) + "." + std::to_string(d);
            vyr::fmt::FormatDesc spec;
            ASSERT_TRUE(vyr::fmt::parse(fmt, spec));
            vdq::Column col;
            col.format = "";
            col.width = w;
            col.decimals = d;
            const vdq::CellStyle style = vdq::cellStyle(col, nullptr);
            for (double v : values) {
                got.clear();
                vdq::appendFixed(got, v, w, d);
                ASSERT_EQ(got, vyr::trim_blanks(vyr::fmt::format_number(v, spec)))
                    << fmt << " of " << v;
                got.clear();
                vdq::appendNumberText(got, style, v);
                ASSERT_EQ(vdq::numberWidth(style, v, scratch), got.size()) << fmt << " " << v;
            }
        }
}

// What the listing showed before cell styles: the format worked out and
// applied cell by cell through the format engine.
std::string referenceText(const vdq::Column& c, double d)
{
    if (wzmis(d)) {
        char l = vdq::missingLetter(d);
        return l ? std::string(".") + l : std::string(".");
    }
    if (!std::isfinite(d))
        return ".";
    std::string fmt = vdq::columnFormat(c, nullptr);
    vyr::fmt::FormatDesc spec;
    if (fmt.empty() || !vyr::fmt::parse(fmt, spec) || spec.character())
        return vyr::fmt::best_trim(d);
    if (spec.name.empty() && spec.decimals == 0 && std::fabs(d) < 1e15 &&
        std::fabs(d - std::nearbyint(d)) > 1e-9 * std::max(1.0, std::fabs(d)))
        return vyr::fmt::best_trim(d);
    return vyr::trim_blanks(vyr::fmt::format_number(d, spec));
}

TEST(CellText, ColumnsOfEachKindOfFormatShowWhatTheFormatEngineShows)
{
    struct Case {
        const char* format;
        int width, decimals;
    };
    const Case cases[] = {{"", 0, -1},     {"BEST", 12, -1}, {"BEST", 8, -1}, {"", 8, 0},
                          {"", 8, 4},      {"", 4, 1},       {"E", 10, -1},   {"PERCENT", 8, 1},
                          {"DATE", 9, -1}, {"$", 8, -1},     {"F", 6, 2},     {"", 12, 99}};
    const std::vector<double> values = sampleValues();
    for (const Case& k : cases) {
        vdq::Column col;
        col.format = k.format;
        col.width = k.width;
        col.decimals = k.decimals == 99 ? -1 : k.decimals;
        vdq::Cell cell;
        for (double v : values) {
            cell.d = v;
            ASSERT_EQ(vdq::cellText(col, cell, nullptr), referenceText(col, v))
                << vdq::columnFormat(col, nullptr) << " of " << v;
        }
        for (double v : {korv_missing(), korv_special_missing(0xFD), korv_special_missing(0xFF)}) {
            cell.d = v;
            EXPECT_EQ(vdq::cellText(col, cell, nullptr), referenceText(col, v));
        }
    }
}

TEST(CellText, ControlCharactersOfTextsAreShownEscaped)
{
    struct Case {
        std::string in, shown;
    };
    const Case cases[] = {{"plain", "plain"},
                          {"a\tb", "a\\tb"},
                          {"line\nbreak\r", "line\\nbreak\\r"},
                          {std::string("nul\0x", 5), "nul\\x00x"},
                          {"bell\x07 del\x7f", "bell\\x07 del\\x7F"},
                          {"caf\xc3\xa9", "caf\xc3\xa9"}};
    vdq::Column col;
    col.numeric = false;
    col.type = 6;
    for (const Case& c : cases) {
        vdq::Cell cell;
        cell.kind = vdq::Cell::Text;
        cell.s = c.in;
        EXPECT_EQ(vdq::cellText(col, cell, nullptr), c.shown);
        // The page escapes the same way, then writes markup characters as
        // entities.
        EXPECT_EQ(vdq::esc(c.in + "<&>"), c.shown + "&lt;&amp;&gt;");
    }
}

TEST(CellText, TextsThatAreNotValidUtf8AreMadeValidAndValidOnesKept)
{
    struct Case {
        std::string in, shown, json;
    };
    // A byte outside a valid sequence becomes its Latin-1 character; the
    // noncharacters XML refuses are shown escaped in the listing and the
    // page, and kept by JSON, where they are valid.
    const Case cases[] = {
        {"a\xC0\x80z", "a\xC3\x80\xC2\x80z", "a\xC3\x80\xC2\x80z"},                  // overlong NUL
        {"s\xED\xA0\x80", "s\xC3\xAD\xC2\xA0\xC2\x80", "s\xC3\xAD\xC2\xA0\xC2\x80"}, // surrogate
        {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80",
         "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},
        {"\xF8\x88", "\xC3\xB8\xC2\x88", "\xC3\xB8\xC2\x88"},
        {"cut\xE2\x82", "cut\xC3\xA2\xC2\x82", "cut\xC3\xA2\xC2\x82"},
        {"n\xEF\xBF\xBEz\xEF\xBF\xBF", "n\\uFFFEz\\uFFFF", "n\xEF\xBF\xBEz\xEF\xBF\xBF"},
        {"c\x01\x1F", "c\\x01\\x1F", "c\\u0001\\u001f"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vdq::shown(c.in), c.shown) << c.in;
        EXPECT_EQ(vdq::esc(c.in), c.shown) << c.in;
        std::string json;
        vdq::appendJsonString(json, c.in);
        EXPECT_EQ(json, "\"" + c.json + "\"") << c.in;
        // Sanitising what is already sanitised changes nothing.
        EXPECT_EQ(vdq::shown(c.shown), c.shown);
    }
    // The quick test of whether a text needs the sanitiser at all agrees
    // with the byte-by-byte rule for every byte at every place.
    for (int b = 0; b < 256; ++b)
        for (size_t at = 0; at < 19; ++at) {
            std::string t(19, 'a');
            t[at] = static_cast<char>(b);
            const bool control = b < 0x20 || b == 0x7F;
            EXPECT_EQ(vyr::text_needs_care(t, vyr::Controls::Show), b >= 0x80 || control) << b;
            EXPECT_EQ(vyr::text_needs_care(t, vyr::Controls::Keep), b >= 0x80) << b;
            EXPECT_EQ(vdq::needsShowing(t), b >= 0x80 || control) << b;
        }
    // Valid UTF-8 stays byte for byte, up to the last code point.
    const std::string valid = "\xC2\x80 \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBD "
                              "\xEF\xB7\x90 \xF0\x90\x80\x80 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF";
    EXPECT_EQ(vdq::shown(valid), valid);
    std::string json;
    vdq::appendJsonString(json, valid);
    EXPECT_EQ(json, "\"" + valid + "\"");
}

} // namespace
