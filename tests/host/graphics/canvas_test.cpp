// The drawing layer: text widths as a browser measures them, SVG text that
// parses and keeps its ids apart, and the recording canvas's layout check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "host/graphics/canvas.h"
#include "host/graphics/export.h"

using namespace vgr;

namespace
{

// Widths that headless Chromium measured (getComputedTextLength) for SVG
// text in Liberation Sans at 11 px; Chromium keeps 1/64 px.
struct Measured {
    const char* text;
    bool bold;
    double width;
};
constexpr Measured kBrowser[] = {
    {"Survival Probability", false, 93.546875},
    {"11", false, 11.421875},
    {"1111 11 111", false, 56.28125},
    {"AVATAR To Wa", false, 74.375},
    {"Time (days)", false, 57.65625},
    {"Number at Risk", false, 75.796875},
    {"p=0.0012", false, 46.1875},
    {"Log-Rank p<0.0001", false, 96.9375},
    {"WAVE", false, 31.171875},
    {"Yo, Tea.", false, 39.15625},
    {"Survival Probability", true, 102.703125},
    {"11", true, 11.640625},
    {"AVATAR To Wa", true, 77.40625},
    {"Time (days)", true, 60.9375},
    {"WAVE", true, 31.578125},
    {"Yo, Tea.", true, 40.546875},
};

std::string svgOf(void (*draw)(Canvas&), const std::string& prefix = "g1-")
{
    SvgCanvas c(200, 100, prefix, "A test & <graph>");
    draw(c);
    return c.finish();
}

// A folder of the test's own, made fresh in the test's temporary folder
// (TMPDIR, else /tmp) and removed with what is in it: the files written
// there have fixed names, which in a shared /tmp another user's run may
// already hold.
class OwnFolder
{
  public:
    OwnFolder()
    {
        std::string pattern = testing::TempDir() + "korv-export-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~OwnFolder()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    OwnFolder(const OwnFolder&) = delete;
    OwnFolder& operator=(const OwnFolder&) = delete;
    // "" when it could not be made.
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

bool haveXmllint()
{
    return std::system("xmllint --version >/dev/null 2>&1") == 0;
}

// Whether xmllint reads the text as well-formed XML.
bool wellFormed(const std::string& xml)
{
    char name[] = "/tmp/korv_svg_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return false;
    FILE* f = fdopen(fd, "w");
    std::fwrite(xml.data(), 1, xml.size(), f);
    std::fclose(f);
    const int rc = std::system(("xmllint --noout " + std::string(name) + " 2>/dev/null").c_str());
    std::remove(name);
    return rc == 0;
}

} // namespace

TEST(TextMetrics, WidthsMatchTheBrowserWithKerning)
{
    for (const Measured& m : kBrowser)
        EXPECT_NEAR(TextMetrics::width(m.text, 11, m.bold), m.width, 0.02) << m.text;
    // Kerning counts: "AV" is narrower than "A" and "V" apart.
    EXPECT_LT(TextMetrics::width("AV", 10),
              TextMetrics::width("A", 10) + TextMetrics::width("V", 10));
    // Widths scale with the size; the font reaches 0.905 em up, 0.212 down.
    const TextBox b = TextMetrics::measure("Survival", 22);
    EXPECT_NEAR(b.width, 2 * TextMetrics::width("Survival", 11), 1e-9);
    EXPECT_NEAR(b.ascent, 22 * 1854.0 / 2048, 1e-9);
    EXPECT_NEAR(b.descent, 22 * 434.0 / 2048, 1e-9);
}

TEST(TextMetrics, OtherScriptsAndStrayBytes)
{
    // Two-byte UTF-8 letters and symbols are known; a stray byte counts as
    // its Latin-1 letter; a character outside the tables as a digit.
    EXPECT_NEAR(TextMetrics::width("\xC3\xA9", 10), TextMetrics::width("\xE9", 10), 1e-12);
    EXPECT_GT(TextMetrics::width("\xE2\x89\xA4", 10), 0); // the less-or-equal sign
    EXPECT_NEAR(TextMetrics::width("\xE4\xB8\xAD", 10), TextMetrics::width("0", 10), 1e-12);
    EXPECT_EQ(TextMetrics::width("", 10), 0);
}

// The longest start of a text that fits with an ellipsis after it is the one
// a measure of every start with the ellipsis finds, in one pass; it ends
// between characters, never inside a multi-byte one, and a label of 30,000
// characters is cut as quickly as a short one.
TEST(TextMetrics, TheStartThatFitsIsFoundInOnePass)
{
    auto byMeasure = [](const std::string& s, double room) {
        size_t best = 0;
        for (size_t n = 1; n <= s.size(); ++n) {
            const bool boundary =
                n == s.size() || (static_cast<unsigned char>(s[n]) & 0xC0) != 0x80;
            if (boundary && vgr::TextMetrics::width(s.substr(0, n) + "...", 9) <= room)
                best = n;
        }
        return best;
    };
    const std::vector<std::string> texts = {
        "Stratum of patients with a rather long label, AVAVAV To Ty",
        "\xc3\x89tude \xce\xb1\xce\xb2\xce\xb3 \xe2\x80\x94 \xf0\x9f\x98\x80 caf\xc3\xa9 label", "",
        "W"};
    for (const std::string& t : texts)
        for (double room : {0.0, 5.0, 12.0, 30.0, 61.5, 100.0, 400.0})
            EXPECT_EQ(vgr::TextMetrics::fitPrefix(t, "...", room, 9), byMeasure(t, room))
                << t << " in " << room;
    // The same for the longest end with a start and an ellipsis before it.
    auto endByMeasure = [](const std::string& s, double room) {
        for (size_t n = 0; n < s.size(); ++n)
            if ((static_cast<unsigned char>(s[n]) & 0xC0) != 0x80 &&
                vgr::TextMetrics::width("Ta..." + s.substr(n), 9) <= room)
                return n;
        return s.size();
    };
    for (const std::string& t : texts)
        for (double room : {0.0, 25.0, 40.0, 61.5, 100.0, 400.0})
            EXPECT_EQ(vgr::TextMetrics::fitSuffix(t, "Ta...", room, 9), endByMeasure(t, room))
                << t << " in " << room;
    const std::string huge(30000, 'x');
    const size_t n = vgr::TextMetrics::fitPrefix(huge, "...", 200, 9);
    EXPECT_GT(n, 0u);
    EXPECT_LE(vgr::TextMetrics::width(huge.substr(0, n) + "...", 9), 200);
    EXPECT_GT(vgr::TextMetrics::width(huge.substr(0, n + 1) + "...", 9), 200);
}

TEST(TextMetrics, BoxesFollowAnchorAndRotation)
{
    TextStyle s;
    s.size = 10;
    const double w = TextMetrics::width("Time", 10);
    Rect r = TextMetrics::box(100, 50, "Time", s);
    EXPECT_NEAR(r.x0, 100, 1e-9);
    EXPECT_NEAR(r.x1, 100 + w, 1e-9);
    EXPECT_NEAR(r.y1 - r.y0, 10 * (1854.0 + 434) / 2048, 1e-9);
    s.anchor = Anchor::Middle;
    r = TextMetrics::box(100, 50, "Time", s);
    EXPECT_NEAR(r.x0 + r.x1, 200, 1e-9);
    // Read upwards: the box stands, its length along y, centred on the anchor.
    s.rotate = -90;
    r = TextMetrics::box(100, 50, "Time", s);
    EXPECT_NEAR(r.y1 - r.y0, w, 1e-9);
    EXPECT_NEAR((r.y0 + r.y1) / 2, 50, 1e-9);
    EXPECT_NEAR(r.x1, 100 + 10 * 434.0 / 2048, 1e-9); // the descent lies to the right
}

TEST(SvgCanvas, NumbersHaveAtMostTwoDecimals)
{
    const std::pair<double, const char*> cases[] = {
        {0, "0"},     {-0.0, "0"},         {1.5, "1.5"},
        {2.004, "2"}, {-0.001, "0"},       {3.14159, "3.14"},
        {100, "100"}, {-12.345, "-12.35"}, {1e12, "1000000000000"},
    };
    for (const auto& [v, s] : cases)
        EXPECT_EQ(svgNumber(v), s) << v;
    // Nothing that is not a number reaches the SVG.
    EXPECT_EQ(svgNumber(std::nan("")), "0");
    EXPECT_EQ(svgNumber(1.0 / 0.0), "0");
    // Rounded as printf rounds to two decimals (ties of exact binary values
    // to even), and a number too long for a short buffer is written whole.
    auto printed = [](double v) {
        std::vector<char> b(400);
        std::snprintf(b.data(), b.size(), "%.2f", v);
        std::string t = b.data();
        while (t.back() == '0')
            t.pop_back();
        if (t.back() == '.')
            t.pop_back();
        return t == "-0" ? std::string("0") : t;
    };
    std::mt19937_64 rng(16);
    for (int i = 0; i < 20000; ++i) {
        const double v = i < 4000 ? (static_cast<int>(i) - 2000) * 0.125 + 0.005 * (i % 3)
                                  : std::ldexp(static_cast<double>(rng() >> 11) - 4.5e15,
                                               static_cast<int>(rng() % 60) - 50);
        ASSERT_EQ(svgNumber(v), printed(v)) << v;
    }
    for (double v : {1e300, -1.7976931348623157e308, 123456789012345678901234567890.0})
        EXPECT_EQ(svgNumber(v), printed(v));
    EXPECT_GT(svgNumber(1e300).size(), 300u);
}

TEST(SvgCanvas, WritesClassesEscapesTextAndPrefixesIds)
{
    const std::string svg = svgOf([](Canvas& c) {
        c.begin("plot", "area");
        c.beginClip("curves", {10, 10, 100, 50});
        Path p;
        p.moveTo(10, 50).lineTo(20.004, 50).lineTo(20, 30.5);
        Stroke s{"#0072B2", 1.5, "4 3", 1};
        c.path("curve", p, &s, nullptr);
        c.end();
        c.beginClip("bands", {10, 10, 100, 50});
        Fill f{"#D55E00", 0.45};
        Path r;
        r.rect(10, 10, 5, 5);
        c.path("band-cl", r, nullptr, &f);
        c.end();
        TextStyle t;
        t.anchor = Anchor::Middle;
        t.rotate = -90;
        c.text("axis-label", 30, 40, "a < b & \"c\"", t);
        c.marker("censor", Marker::Plus, 15, 15, 6, Stroke{}, nullptr);
        c.end();
    });
    EXPECT_NE(svg.find("<path class=\"curve\" d=\"M10 50L20 50L20 30.5\" fill=\"none\" "
                       "stroke=\"#0072B2\" stroke-width=\"1.5\" stroke-dasharray=\"4 3\"/>"),
              std::string::npos);
    EXPECT_NE(svg.find("fill=\"#D55E00\" fill-opacity=\"0.45\""), std::string::npos);
    EXPECT_NE(svg.find(">a &lt; b &amp; &quot;c&quot;</text>"), std::string::npos);
    EXPECT_NE(svg.find("transform=\"rotate(-90 30 40)\""), std::string::npos);
    EXPECT_NE(svg.find("<title id=\"g1-title\">A test &amp; &lt;graph&gt;</title>"),
              std::string::npos);
    EXPECT_NE(svg.find("role=\"img\""), std::string::npos);
    // Every id carries the prefix, and no two are the same.
    std::set<std::string> ids;
    std::regex idRe("id=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), idRe); it != std::sregex_iterator();
         ++it) {
        const std::string id = (*it)[1];
        EXPECT_EQ(id.rfind("g1-", 0), 0u) << id;
        EXPECT_TRUE(ids.insert(id).second) << id;
    }
    EXPECT_EQ(ids.size(), 4u); // the title, the group, two clip paths
    EXPECT_NE(svg.find("clip-path=\"url(#g1-clip2)\""), std::string::npos);
    if (haveXmllint()) {
        EXPECT_TRUE(wellFormed(svg)) << svg;
    }
}

TEST(SvgCanvas, SameDrawingSameBytesAndGroupsClosed)
{
    auto draw = [](Canvas& c) {
        c.begin("a");
        c.begin("b");
        c.text("t", 1, 2, "x", TextStyle{});
    };
    const std::string one = svgOf(draw), two = svgOf(draw);
    EXPECT_EQ(one, two);
    // Groups left open are closed by finish.
    size_t opens = 0, closes = 0;
    for (size_t p = one.find("<g"); p != std::string::npos; p = one.find("<g", p + 1))
        ++opens;
    for (size_t p = one.find("</g>"); p != std::string::npos; p = one.find("</g>", p + 1))
        ++closes;
    EXPECT_EQ(opens, closes);
    EXPECT_EQ(one.substr(one.size() - 7), "</svg>\n");
}

TEST(SvgCanvas, StrayBytesAndControlCharactersMakeValidXml)
{
    const std::string svg = svgOf(
        [](Canvas& c) { c.text("t", 1, 2, std::string("caf\xE9 \x01 tab\there"), TextStyle{}); });
    EXPECT_NE(svg.find("caf\xC3\xA9  tab here"), std::string::npos);
    if (haveXmllint()) {
        EXPECT_TRUE(wellFormed(svg));
    }
}

TEST(SvgCanvas, TextsThatAreNotValidUtf8OrXmlCharactersMakeValidXml)
{
    // An overlong form, an encoded surrogate, a code point above U+10FFFF,
    // the noncharacters U+FFFE and U+FFFF, control characters XML forbids.
    static const std::string in =
        "o\xC0\x80 s\xED\xA0\x80 h\xF4\x90\x80\x80 n\xEF\xBF\xBE\xEF\xBF\xBF "
        "c\x01\x02\x1B\x1F e\xF0\x9F\x98\x80";
    const std::string svg = svgOf([](Canvas& c) { c.text("t", 1, 2, in, TextStyle{}); });
    EXPECT_NE(svg.find(">o\xC3\x80\xC2\x80 s\xC3\xAD\xC2\xA0\xC2\x80 "
                       "h\xC3\xB4\xC2\x90\xC2\x80\xC2\x80 n\xEF\xBF\xBD\xEF\xBF\xBD c "
                       "e\xF0\x9F\x98\x80</text>"),
              std::string::npos)
        << svg;
    if (haveXmllint()) {
        EXPECT_TRUE(wellFormed(svg));
    }
}

TEST(RecordingCanvas, KeepsClassesGroupsClipsAndFindsLayoutFaults)
{
    RecordingCanvas c(100, 50);
    c.begin("legend");
    c.beginClip("curves", {0, 0, 50, 50});
    c.marker("censor", Marker::Plus, 5, 5, 4, Stroke{}, nullptr);
    c.end();
    c.end();
    TextStyle s;
    s.size = 10;
    c.text("a", 10, 20, "Left", s);
    c.text("b", 12, 22, "Overlapping", s);
    c.text("c", 95, 40, "Outside", s);
    ASSERT_EQ(c.items.size(), 4u);
    EXPECT_TRUE(c.items[0].in("legend"));
    EXPECT_TRUE(c.items[0].hasClip);
    EXPECT_EQ(c.of("censor").size(), 1u);
    const std::vector<std::string> f = c.layoutFaults();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_NE(f[0].find("overlaps"), std::string::npos);
    EXPECT_NE(f[1].find("\"Outside\" leaves the canvas"), std::string::npos);
}

TEST(ImageExport, PngAndPdfFromTheSvg)
{
    if (!imageExportAvailable())
        GTEST_SKIP() << "built without librsvg";
    SvgCanvas c(120, 80, "x-", "export");
    c.line("l", 0, 0, 120, 80, Stroke{});
    c.text("t", 10, 40, "Survival", TextStyle{});
    const std::string svg = c.finish();
    const OwnFolder own;
    ASSERT_FALSE(own.path().empty()) << "no folder could be made in " << testing::TempDir();
    const std::string& dir = own.path();
    std::string why;
    ASSERT_TRUE(writeImage(svg, dir + "/g.png", ImageFormat::Png, why)) << why;
    ASSERT_TRUE(writeImage(svg, dir + "/g.pdf", ImageFormat::Pdf, why)) << why;
    std::ifstream png(dir + "/g.png", std::ios::binary), pdf(dir + "/g.pdf", std::ios::binary);
    std::string head(8, '\0');
    png.read(head.data(), 8);
    EXPECT_EQ(head, std::string("\x89PNG\r\n\x1a\n", 8));
    pdf.read(head.data(), 5);
    EXPECT_EQ(head.substr(0, 5), "%PDF-");
    // A text that is not SVG is refused with a reason, and no file is left.
    EXPECT_FALSE(writeImage("not svg", dir + "/bad.png", ImageFormat::Png, why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(std::ifstream(dir + "/bad.png").good());
}

// A PDF made twice from one drawing is the same file: it carries no clock
// time. Its creation date comes from SOURCE_DATE_EPOCH when that is set
// (where this cairo writes dates readably; else the date is left out).
TEST(ImageExport, PdfCarriesNoClockTime)
{
    if (!imageExportAvailable())
        GTEST_SKIP() << "built without librsvg";
    SvgCanvas c(120, 80, "x-", "export");
    c.line("l", 0, 0, 120, 80, Stroke{});
    const std::string svg = c.finish();
    const OwnFolder own;
    ASSERT_FALSE(own.path().empty()) << "no folder could be made in " << testing::TempDir();
    const std::string& dir = own.path();
    auto make = [&](const char* name) {
        std::string why;
        EXPECT_TRUE(writeImage(svg, dir + "/" + name, ImageFormat::Pdf, why)) << why;
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    unsetenv("SOURCE_DATE_EPOCH");
    const std::string first = make("a.pdf");
    EXPECT_EQ(first.find("/CreationDate"), std::string::npos);
    EXPECT_EQ(make("b.pdf"), first);
    setenv("SOURCE_DATE_EPOCH", "86400", 1);
    const std::string dated = make("c.pdf");
    unsetenv("SOURCE_DATE_EPOCH");
    const size_t at = dated.find("/CreationDate");
    if (at != std::string::npos) {
        EXPECT_EQ(dated.substr(at, 35), "/CreationDate (D:19700102000000Z)");
    }
    // A value that is not a number of seconds is ignored.
    setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
    EXPECT_EQ(make("d.pdf"), first);
    unsetenv("SOURCE_DATE_EPOCH");
}

TEST(SvgCanvas, HeightGivenLateAndRunsDrawnOnForksGiveTheSameBytes)
{
    // Three runs of items inside an open clip group: drawn here one after
    // another, or each on a fork (the second opening a group of its own and
    // leaving it open) and joined in order.
    auto run = [](Canvas& c, int k) {
        Stroke s{"#0072B2", 1.6, "", 1};
        for (int i = 0; i < 3; ++i)
            c.line("curve", k * 10 + i, 5, k * 10 + i + 0.125, 50.5, s);
        if (k == 1) {
            c.begin("censor");
            c.marker("censor", Marker::Plus, 3, 4, 7, s, nullptr);
        }
    };
    SvgCanvas direct(300, 120, "f-", "forks");
    direct.beginClip("data", {0, 0, 300, 120});
    for (int k = 0; k < 3; ++k) {
        run(direct, k);
        if (k == 1)
            direct.end();
    }
    direct.end();
    // The height is known only after drawing: it is given then.
    SvgCanvas forked(300, 0, "f-", "forks");
    forked.beginClip("data", {0, 0, 300, 120});
    std::vector<std::unique_ptr<Canvas>> parts;
    for (int k = 0; k < 3; ++k) {
        parts.push_back(forked.fork());
        ASSERT_NE(parts.back(), nullptr);
    }
    for (int k = 2; k >= 0; --k) // drawn in any order, joined in theirs
        run(*parts[static_cast<size_t>(k)], k);
    for (auto& p : parts)
        forked.join(*p);
    forked.end();
    forked.setHeight(120);
    const std::string want = direct.finish();
    EXPECT_EQ(forked.take(), want);
    EXPECT_NE(want.find("height=\"120\""), std::string::npos);
    EXPECT_EQ(want.find("clip2"), std::string::npos);

    // The recording canvas keeps a fork's items inside the groups open
    // where it was forked.
    RecordingCanvas rec(300, 120);
    rec.begin("cell");
    rec.beginClip("data", {1, 2, 3, 4});
    auto part = rec.fork();
    run(*part, 1);
    rec.join(*part);
    rec.end();
    ASSERT_EQ(rec.items.size(), 4u);
    EXPECT_TRUE(rec.items[0].in("cell") && rec.items[0].hasClip && rec.items[0].clip.x1 == 3);
    EXPECT_TRUE(rec.items[3].in("censor") && rec.items[3].in("data"));
}
