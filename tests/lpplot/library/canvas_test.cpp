// The character-plot canvas: value to position, the drawing rules of lines
// and marks, the form characters, set-up on small pages and printing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "host/session/session_state.h"
#include "lpplot/lpplot.h"
#include "runtime/pgraf.h"
#include "vyr_data.h"
#include "vyr_missing.h"
#include "vyr_session.h"

namespace
{

// A canvas of `rows` plot rows and `cols` plot columns with no axis: the
// plot area alone, origin value 0 and one unit per position both ways.
struct Canvas {
    std::vector<char> buf;
    double hpair[2] = {0, 1}, vpair[2] = {0, 1};
    PGRAFSTR g;
    Canvas(int rows, int cols)
    {
        buf.assign(static_cast<size_t>(rows * cols), ' ');
        g.work = buf.data();
        g.length = rows * cols;
        g.ovlcnt = 1;
        g.pgrafd[0].plotpos = g.pgrafd[0].totpos = rows;
        g.pgrafd[1].plotpos = g.pgrafd[1].totpos = cols;
        g.pgrafd[0].vallst.d = vpair;
        g.pgrafd[1].vallst.d = hpair;
        g.zerozero = g.work + static_cast<std::ptrdiff_t>(rows - 1) * cols;
        std::memcpy(g.formchar, "|----|+|---+", 12);
    }
    // Row r from the bottom, as text.
    std::string row(int r) const
    {
        const int cols = g.pgrafd[1].totpos;
        const int rows = g.pgrafd[0].totpos;
        return std::string(buf.data() + static_cast<std::ptrdiff_t>(rows - 1 - r) * cols,
                           static_cast<size_t>(cols));
    }
    char at(int c, int r) const { return row(r)[static_cast<size_t>(c)]; }
};

struct Capture {
    std::string listing, log;
    Capture() { vyr::print_capture(&listing, &log); }
    ~Capture() { vyr::print_capture(nullptr, nullptr); }
};

} // namespace

TEST(Canvas, ValueToPositionRoundsHalfUpAndClamps)
{
    struct Case {
        double origin, unit;
        int plotpos;
        double v;
        int expected;
    };
    const Case cases[] = {
        {0, 1, 10, 0.0, 0},        {0, 1, 10, 0.49, 0},
        {0, 1, 10, 0.5, 1},        // half-way goes up
        {0, 1, 10, 0.5 - 1e-9, 1}, // and just below half-way too
        {0, 1, 10, 0.5 - 1e-7, 0}, // but not further below
        {0, 2, 10, 3.0, 2},        {10, 0.5, 10, 11.25, 3},
        {0, 1, 10, -3.0, 0}, // before the first position: the first
        {0, 1, 10, 42.0, 9}, // past the last: the last
        {0, 1, 10, 1e300, 9},      {0, 1, 10, korv_missing(), 0},
        {5, -1, 10, 2.0, 3}, // a reversed axis
    };
    for (const Case& c : cases) {
        PGRAF_VHSTR d;
        double pair[2] = {c.origin, c.unit};
        d.vallst.d = pair;
        d.plotpos = c.plotpos;
        EXPECT_EQ(zpgrsub(c.v, &d), c.expected) << "v=" << c.v << " origin=" << c.origin;
    }
}

TEST(Canvas, LinesAndMarksKeepTheFirstCharacterExceptAtEnds)
{
    // Each case draws lines in order into a fresh 5 x 12 canvas and checks
    // cells afterwards.
    struct Line {
        double x0, y0, x1, y1;
        const char* chars;
    };
    struct Cell {
        int c, r;
        char expected;
    };
    struct Case {
        const char* what;
        std::vector<Line> lines;
        std::vector<Cell> cells;
    };
    const std::vector<Case> cases = {
        {"a run: ends get the symbol, the cells between the line",
         {{1, 2, 5, 2, "A-A"}},
         {{1, 2, 'A'}, {2, 2, '-'}, {4, 2, '-'}, {5, 2, 'A'}, {6, 2, ' '}}},
        {"ends of two strata meeting show '*'",
         {{1, 2, 5, 2, "A-A"}, {5, 2, 8, 0, "B+B"}},
         {{5, 2, '*'}, {8, 0, 'B'}}},
        {"an end over its own symbol stays",
         {{1, 2, 5, 2, "A-A"}, {5, 2, 5, 0, "A|A"}},
         {{5, 2, 'A'}, {5, 1, '|'}, {5, 0, 'A'}}},
        {"an end over a line cell, even of its own stratum, shows '*'",
         {{1, 2, 5, 2, "A-A"}, {3, 2, 3, 4, "A|A"}},
         {{3, 2, '*'}, {3, 3, '|'}, {3, 4, 'A'}}},
        {"line cells never overwrite: the first character placed stays",
         {{0, 1, 10, 1, "A-A"}, {4, 0, 4, 4, "B|B"}},
         {{4, 1, '-'}, {4, 0, 'B'}, {4, 4, 'B'}}},
        {"a diagonal steps from the cell centres",
         {{0, 0, 4, 2, "C+C"}},
         {{0, 0, 'C'}, {1, 1, '+'}, {2, 1, '+'}, {3, 2, '+'}, {4, 2, 'C'}, {1, 0, ' '}}},
        {"positions outside the frame are drawn at its edge",
         {{-5, -5, 20, 9, "D+D"}},
         {{0, 0, 'D'}, {11, 4, 'D'}}},
        {"a line cut at the edge ends in a line character",
         {{2, 3, 11, 3, "E--"}},
         {{2, 3, 'E'}, {10, 3, '-'}, {11, 3, '-'}}},
    };
    for (const Case& k : cases) {
        Canvas cv(5, 12);
        for (const Line& l : k.lines)
            zpgrafl(&cv.g, l.x0, l.y0, l.x1, l.y1, l.chars);
        for (const Cell& c : k.cells)
            EXPECT_EQ(cv.at(c.c, c.r), c.expected)
                << k.what << " at (" << c.c << ", " << c.r << ")";
    }
}

TEST(Canvas, PointMarksKeepTheFirst)
{
    Canvas cv(3, 6);
    EXPECT_EQ(*zpgrafd(&cv.g, 2, 1, 'A'), 'A');
    char* again = zpgrafd(&cv.g, 2.2, 0.8, 'B');
    EXPECT_EQ(*again, 'A');
    EXPECT_EQ(again, zpgrafd(&cv.g, 2, 1, 'C'));
}

TEST(Canvas, FormCharactersFromTheOptionAndTheStatement)
{
    struct Case {
        const char* what;
        std::vector<double> positions;
        const char* text;
        const char* expected; // the first 12
        const char* logged;   // a message the log must hold, or ""
    };
    const std::vector<Case> cases = {
        {"the option alone", {}, nullptr, "|----|+|---+", ""},
        {"a text over the start", {}, "ab", "ab---|+|---+", ""},
        {"characters at positions", {2, 7}, "=#", "|=---|#|---+", ""},
        {"fewer characters than positions",
         {1, 2, 3},
         "xy",
         "xy---|+|---+",
         "FORMCHAR= gives 2 characters for 3 positions"},
        {"a position out of range is skipped",
         {0, 13, 12},
         "abc",
         "|----|+|---c",
         "position 0 is not between 1 and 12"},
        // Characters are counted as characters, and one that a cell of
        // the plot cannot hold is refused: its position keeps the option's.
        {"a character of two bytes at a position",
         {1},
         "\xC3\xA9",
         "|----|+|---+",
         "FORMCHAR= gives \"\xC3\xA9\" for position 1: a line-printer plot holds one "
         "single-byte (ASCII) character in each cell, so that position keeps \"|\"."},
        {"a text with a character of two bytes",
         {},
         "a\xC3\xA9=",
         "a-=--|+|---+",
         "gives \"\xC3\xA9\" for position 2"},
        {"a lone byte", {3}, "\xB3", "|----|+|---+", "gives \"\\xB3\" for position 3"},
    };
    for (const Case& c : cases) {
        Capture cap;
        char out[13] = {};
        const int len = c.text ? static_cast<int>(std::strlen(c.text)) : 0;
        zgetfch(c.positions.empty() ? nullptr : c.positions.data(),
                static_cast<int>(c.positions.size()), c.text, len, out, 12);
        EXPECT_EQ(std::string(out, 12), c.expected) << c.what;
        if (*c.logged)
            EXPECT_NE(cap.log.find(c.logged), std::string::npos) << c.what << "\n" << cap.log;
        else
            EXPECT_EQ(cap.log, "") << c.what;
    }
}

TEST(Canvas, FormCharactersReadQuietlyAfterTheirCheck)
{
    Capture cap;
    char out[48] = {};
    const double positions[] = {1, 13};
    EXPECT_EQ(zfchread(positions, 2, "\xC3\xA9x", 3, out, 48, false), 1);
    EXPECT_EQ(cap.log, "");
    EXPECT_EQ(out[0], '|');
    EXPECT_EQ(out[12], 'x');
}

TEST(Canvas, PrintingDropsTrailingBlankLinesAndOverprintsLayers)
{
    // Two layers of 4 lines of 10: layer 0 has text on lines 0 and 2, line
    // 1 blank between them and line 3 blank at the end; layer 1 adds a mark
    // on line 0 and nothing else.
    const int w = 10, lines = 4;
    std::vector<char> buf(static_cast<size_t>(2 * w * lines), ' ');
    std::memcpy(buf.data(), "ab   c", 6);
    std::memcpy(buf.data() + 2 * w, "   x", 4);
    buf[static_cast<size_t>(w * lines) + 3] = '*';
    PGRAFSTR g;
    g.work = buf.data();
    g.length = w * lines;
    g.ovlcnt = 2;
    g.pgrafd[0].totpos = lines;
    g.pgrafd[1].totpos = w;
    std::vector<std::string> printed;
    vyr::option_set("CENTER", "0");
    vyr_print_divert(&printed);
    zpgrafp(&g);
    vyr_print_divert(nullptr);
    EXPECT_EQ(printed, (std::vector<std::string>{"ab * c", "", "   x"}));

    // Centred: a canvas narrower than the line starts half the spare in.
    vyr::option_set("CENTER", "1");
    vyr::option_set("LINESIZE", "70");
    printed.clear();
    g.ovlcnt = 1;
    vyr_print_divert(&printed);
    zpgrafp(&g);
    vyr_print_divert(nullptr);
    ASSERT_EQ(printed.size(), 3u);
    EXPECT_EQ(printed[0], std::string(30, ' ') + "ab   c");
    vyr::option_set("LINESIZE", "132");
}

TEST(Canvas, SetUpSizesThePageAndRefusesWhatDoesNotFit)
{
    // The rows under the plot: one fewer on a page of 15 lines or less.
    struct Case {
        int totpos;
        int plotpos;
    };
    for (const Case& c : {Case{15, 11}, Case{16, 11}, Case{40, 35}}) {
        POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
        PGRAFSTR g;
        g.datapool = pool;
        g.pgrafd[0].totpos = c.totpos;
        NAMESTR vn, hn;
        xvnamei(&vn);
        xvnamei(&hn);
        vn.name_p = "S";
        vn.namelen = 1;
        SCALESTR vs, hs;
        vs.xmax = 1;
        hs.xmax = 100;
        EXPECT_EQ(zpgrini(&g, &hn, &hs, &vn, &vs), 0) << c.totpos;
        EXPECT_EQ(g.pgrafd[0].plotpos, c.plotpos) << c.totpos;
        EXPECT_NE(g.zerozero, nullptr);
        xmpoold(pool);
    }
    // A canvas past 2,147,483,647 characters is refused before any
    // allocation, with message 210/24.
    {
        Capture cap;
        PGRAFSTR g;
        g.pgrafd[0].totpos = 40000000;
        g.pgrafd[1].plotpos = 100;
        SCALESTR vs;
        vs.xmin = korv_missing();
        EXPECT_EQ(zpgrini(&g, nullptr, nullptr, nullptr, &vs), -2);
        EXPECT_EQ(g.work, nullptr);
        EXPECT_NE(cap.log.find("2,147,483,647"), std::string::npos) << cap.log;
    }
    // No lines left on the page: no canvas.
    {
        PGRAFSTR g;
        g.pgrafd[0].totpos = -3;
        EXPECT_EQ(zpgrini(&g, nullptr, nullptr, nullptr, nullptr), -2);
        EXPECT_EQ(g.work, nullptr);
    }
}

TEST(Canvas, CornersWhereTheAxesMeet)
{
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
    PGRAFSTR g;
    g.datapool = pool;
    g.pgrafd[0].totpos = 20;
    std::memcpy(g.formchar, "|----|+|L--+", 12);
    NAMESTR vn, hn;
    xvnamei(&vn);
    xvnamei(&hn);
    SCALESTR vs, hs;
    vs.xmax = 1;
    hs.xmax = 10;
    ASSERT_EQ(zpgrini(&g, &hn, &hs, &vn, &vs), 0);
    const int w = g.pgrafd[1].totpos;
    // The axis line under the bottom row meets the vertical axis in the
    // lower-left corner.
    EXPECT_EQ(g.zerozero[w - 1], 'L');
    EXPECT_NE(std::string("-+").find(g.zerozero[w]), std::string::npos);
    EXPECT_NE(std::string("|+").find(g.zerozero[-1]), std::string::npos);
    xmpoold(pool);
}

TEST(Canvas, FrameLinesAndAReversedAxis)
{
    // Frame lines opposite both axes close the plot in a box with its four
    // corners.
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
    PGRAFSTR g;
    g.datapool = pool;
    g.pgrafd[0].totpos = 20;
    std::memcpy(g.formchar, "|-1-2-+-3-4-", 12);
    NAMESTR vn, hn;
    xvnamei(&vn);
    xvnamei(&hn);
    SCALESTR vs, hs;
    vs.xmax = 1;
    vs.options = scale_opt::FRAME;
    hs.xmax = 10;
    hs.options = scale_opt::FRAME;
    ASSERT_EQ(zpgrini(&g, &hn, &hs, &vn, &vs), 0);
    const int w = g.pgrafd[1].totpos, hp = g.pgrafd[1].plotpos, vp = g.pgrafd[0].plotpos;
    const char* top = g.zerozero - static_cast<std::ptrdiff_t>(vp) * w;
    EXPECT_EQ(top[-1], '1');
    EXPECT_EQ(top[hp], '2');
    EXPECT_EQ(g.zerozero[w - 1], '3');
    EXPECT_EQ(g.zerozero[w + hp], '4');
    EXPECT_NE(std::string("|+").find(g.zerozero[hp]), std::string::npos);
    xmpoold(pool);

    // A reversed vertical axis runs from its largest value at the bottom.
    pool = xmpoolc(0, 1024, 0x1002);
    PGRAFSTR r;
    r.datapool = pool;
    r.pgrafd[0].totpos = 20;
    SCALESTR rv, rh;
    rv.xmax = 1;
    rv.options = scale_opt::REVERSE;
    rh.xmax = 10;
    ASSERT_EQ(zpgrini(&r, &hn, &rh, &vn, &rv), 0);
    EXPECT_EQ(zpgrsub(1.0, &r.pgrafd[0]) < zpgrsub(0.0, &r.pgrafd[0]), true);
    xmpoold(pool);
}
