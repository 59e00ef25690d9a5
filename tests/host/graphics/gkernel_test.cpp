// The graphics kernel's conventions (device-conventions.md): units and
// cells, line types, markers and colours, what a missing coordinate does,
// the measured box of turned text, the page header and legend taking their
// room out of the window, and catalogue entries made unique and written as
// SVG files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/graphics/canvas.h"
#include "host/graphics/gkernel.h"
#include "vyr_atomic_file.h"
#include "vyr_gkernel.h"
#include "vyr_missing.h"
#include "vyr_session.h"

namespace fs = std::filesystem;
using vgr::RecordingCanvas;

namespace
{

// A graph area of w x h pixels with a catalogue in a folder of its own.
struct Kernel : ::testing::Test {
    RecordingCanvas rec{640, 480};
    fs::path dir;
    GZCOM* gz = nullptr;
    void area(int w, int h)
    {
        gz = ggznew(xtanch());
        gz->xpixels = w;
        gz->ypixels = h;
        ASSERT_EQ(gginit(gz), 0);
    }
    void SetUp() override
    {
        vyr_gk_reset();
        dir = fs::temp_directory_path() / ("korv_gk_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_TRUE(vyr_assign_library("GKTEST", dir.string()));
        area(640, 480);
        std::memcpy(gz->catmem, "CAT", 3);
        gz->catmemlen = 3;
        vyr_gk_observe(&rec);
    }
    void TearDown() override
    {
        vyr_gk_observe(nullptr);
        vyr_gk_reset();
        fs::remove_all(dir);
    }
    void* open(const char* name, char* sysname)
    {
        void* cat = nullptr;
        EXPECT_EQ(ggadcat(0, "GKTEST  ", &cat, 4, 0), 0);
        void* seg = nullptr;
        char desc[256];
        std::memset(desc, ' ', sizeof desc);
        std::memcpy(desc, "A test graph", 12);
        EXPECT_EQ(ggoseg(0, 256, cat, &seg, sysname, name, name, 8, desc, 1, 1, 0, 0, 0), 0);
        return seg;
    }
    std::vector<const RecordingCanvas::Item*> paths(const char* cls) const
    {
        std::vector<const RecordingCanvas::Item*> out;
        for (const auto& it : rec.items)
            if (it.kind == RecordingCanvas::Item::Path && it.cls == cls)
                out.push_back(&it);
        return out;
    }
};

std::string slurp(const fs::path& p)
{
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

TEST_F(Kernel, UnitsAndCellsFollowTheArea)
{
    // 640 x 480: 80 columns of 8 pixels, 40 rows of 12.
    EXPECT_DOUBLE_EQ(ggcellw(), 1.25);
    EXPECT_DOUBLE_EQ(ggcellh(), 2.5);
    const struct {
        double value;
        int unit, dir;
        double pct;
    } cases[] = {
        {7, GU_PERCENT, 1, 7}, {1, GU_INCH, 1, 15},  {1, GU_INCH, 2, 20},
        {2.54, GU_CM, 1, 15},  {2, GU_CELL, 1, 2.5}, {2, GU_CELL, 2, 5},
        {72, GU_POINT, 2, 20}, {1, 99, 2, 2.5}, // an unknown unit counts as cells
    };
    for (const auto& c : cases)
        EXPECT_NEAR(ggl2pct(c.value, c.unit, c.dir), c.pct, 1e-9) << c.unit << "/" << c.dir;
    EXPECT_NEAR(ggcell(3, 1, 'P'), 3.75, 1e-12);
    EXPECT_NEAR(ggcell(5, 2, 'C'), 2, 1e-12);
    EXPECT_NEAR(ggcell(3.6, 2, 'S'), 2.5, 1e-12);
    // A larger area keeps cells of the same pixel size.
    area(800, 600);
    EXPECT_DOUBLE_EQ(ggcellw(), 100.0 / 100);
    EXPECT_DOUBLE_EQ(ggcellh(), 100.0 / 50);
}

TEST_F(Kernel, LineTypesMarkersAndColoursComeFromTheirTables)
{
    EXPECT_STREQ(vgr::gk::dashOf(1), "");
    EXPECT_STREQ(vgr::gk::dashOf(0), "");
    EXPECT_STREQ(vgr::gk::dashOf(47), "");
    EXPECT_STREQ(vgr::gk::dashOf(34), "1 3");
    // Every other type is a dash pattern of its own.
    std::set<std::string> seen;
    for (int k = 2; k <= 46; ++k) {
        const std::string d = vgr::gk::dashOf(k);
        EXPECT_FALSE(d.empty()) << k;
        EXPECT_TRUE(seen.insert(d).second) << "line type " << k << " repeats " << d;
    }
    EXPECT_EQ(ggsymbx("NONE    "), -1);
    EXPECT_EQ(ggsymbx("        "), -1);
    EXPECT_EQ(ggsymbx("circle  "), ggsymbx("CIRCLE  "));
    EXPECT_NE(ggsymbx("DOT     "), ggsymbx("CIRCLE  "));
    EXPECT_EQ(ggsymbx("HEART   "), 1); // drawn as a plus sign
    EXPECT_EQ(ggcnum("        ", 8), -1);
    EXPECT_EQ(vgr::gk::hexOf(ggcnum("red", 3)), "#CC0000");
    EXPECT_EQ(vgr::gk::hexOf(ggcnum5()), "#000000");
    // Digits name the list, cycling.
    EXPECT_EQ(ggcnum("1", 1), 2);
    EXPECT_EQ(ggcnum("7", 1), 2);
    EXPECT_EQ(vgr::gk::hexOf(ggcnum("2", 1)), "#D55E00");
    EXPECT_EQ(ggcnum("CHARTREU", 8), 1);
    // Definitions cycle through the list: colour, marker, then line type.
    GSYMSTR defs[8];
    ASSERT_EQ(ggetsym(0, 8, defs), 0);
    EXPECT_EQ(ggcnum(defs[0].ci, 8), 2);
    EXPECT_EQ(ggcnum(defs[5].ci, 8), 7);
    EXPECT_EQ(ggcnum(defs[6].ci, 8), 2);
    EXPECT_EQ(defs[0].style, 1);
    EXPECT_EQ(defs[6].style, 2);
    EXPECT_EQ(std::string(defs[2].value, 8), "CIRCLE  ");
    EXPECT_GT(defs[0].number, 0);
}

TEST_F(Kernel, AMissingCoordinateBreaksTheLineAndDropsItsMarker)
{
    char sys[8];
    void* seg = open("LINES", sys);
    const double m = korv_missing();
    // Percent with y up becomes pixels with y down.
    const double xy[] = {0, 0, 50, 50, m, 20, 60, 10, 100, 100};
    ASSERT_EQ(ggpline(xy, 5, 1, 2, 0, 2), 0);
    auto curves = paths("curve");
    ASSERT_EQ(curves.size(), 1u);
    const auto& cmds = curves[0]->cmds;
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].op, vgr::Path::Move);
    EXPECT_DOUBLE_EQ(cmds[0].p.x, 0);
    EXPECT_DOUBLE_EQ(cmds[0].p.y, 480);
    EXPECT_EQ(cmds[1].op, vgr::Path::Line);
    EXPECT_DOUBLE_EQ(cmds[1].p.x, 320);
    EXPECT_DOUBLE_EQ(cmds[1].p.y, 240);
    EXPECT_EQ(cmds[2].op, vgr::Path::Move); // no segment reaches the missing point
    EXPECT_DOUBLE_EQ(cmds[2].p.x, 384);
    EXPECT_EQ(cmds[3].op, vgr::Path::Line);
    EXPECT_EQ(curves[0]->stroke.color, "#0072B2");
    EXPECT_EQ(curves[0]->stroke.width, 2);
    // A lone point between missing ones, or fewer than two points, draw nothing.
    const double lone[] = {m, 1, 10, 10, 1, m};
    ASSERT_EQ(ggpline(lone, 3, 1, 1, 0, 1), 0);
    ASSERT_EQ(ggpline(xy, 1, 1, 1, 0, 1), 0);
    EXPECT_EQ(paths("curve").size(), 1u);
    // Markers skip the missing point.
    ASSERT_EQ(ggpmark(xy, 5, nullptr, "CIRCLE  ", 0, 1, 0, 0, 3), 0);
    int markers = 0;
    for (const auto& it : rec.items)
        markers += it.kind == RecordingCanvas::Item::Marker;
    EXPECT_EQ(markers, 4);
    // A clip rectangle holds what is drawn until it is ended.
    const GWINDOW clip{10, 20, 90, 80};
    ASSERT_EQ(ggclip(&clip), 0);
    ASSERT_EQ(ggdraw(0, 50, 100, 50, 1, -1), 0);
    ASSERT_EQ(ggclip(nullptr), 0);
    ASSERT_EQ(ggdraw(0, 10, 100, 10, 1, -1), 0);
    auto rules = paths("rule");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_TRUE(rules[0]->hasClip);
    EXPECT_DOUBLE_EQ(rules[0]->clip.x0, 64);
    EXPECT_DOUBLE_EQ(rules[0]->clip.y0, 96);
    EXPECT_DOUBLE_EQ(rules[0]->clip.x1, 576);
    EXPECT_DOUBLE_EQ(rules[0]->clip.y1, 384);
    EXPECT_FALSE(rules[1]->hasClip);
    ASSERT_EQ(ggcseg(0, &seg, 0), 0);
}

TEST_F(Kernel, LongCurvesAreThinnedToTheDevicesResolution)
{
    char sys[8];
    void* seg = open("THIN", sys);
    // 20,000 points of a falling staircase across 10 percent of the width
    // (64 pixel columns): each column keeps at most four points, and the
    // curve still reaches its highest and lowest values.
    std::vector<double> xy;
    for (int i = 0; i < 10000; ++i) {
        const double x = 40 + i * 0.001, y = 90 - i * 0.008;
        xy.insert(xy.end(), {x, y + 0.004, x, y});
    }
    ASSERT_EQ(ggpline(xy.data(), 20000, 1, 1, 0, 1), 0);
    auto curves = paths("curve");
    ASSERT_EQ(curves.size(), 1u);
    const auto& cmds = curves[0]->cmds;
    EXPECT_LE(cmds.size(), 4u * 66);
    EXPECT_GT(cmds.size(), 64u);
    double top = 1e9, bottom = -1e9;
    for (const auto& c : cmds) {
        top = std::min(top, c.p.y);
        bottom = std::max(bottom, c.p.y);
    }
    EXPECT_NEAR(top, 480 - (90 + 0.004) * 4.8, 1e-6);
    EXPECT_NEAR(bottom, 480 - (90 - 9999 * 0.008) * 4.8, 1e-6);
    // Markers closer than a third of their size to the one before are left out.
    const double marks[] = {10, 10, 10.01, 10.01, 10.5, 10, 50, 50};
    ASSERT_EQ(ggpmark(marks, 4, nullptr, "PLUS    ", 0, 1, 0, 0, 1), 0);
    int n = 0;
    for (const auto& it : rec.items)
        n += it.kind == RecordingCanvas::Item::Marker;
    EXPECT_EQ(n, 3);
    ASSERT_EQ(ggcseg(0, &seg, 0), 0);
}

TEST_F(Kernel, TheBoxOfTurnedTextIsItsMeasuredBoxTurned)
{
    GPAIRF q[4];
    GSTRING s;
    ggstri(&s);
    s.quad = q;
    s.text = "Survival";
    s.len = 8;
    ASSERT_EQ(ggstrl(&s), 0);
    const vgr::TextBox b = vgr::TextMetrics::measure("Survival", 12);
    EXPECT_NEAR(q[1].x - q[0].x, b.width * 100 / 640, 1e-4);
    EXPECT_NEAR(q[3].y - q[0].y, b.height() * 100 / 480, 1e-4);
    EXPECT_NEAR(q[0].y, -b.descent * 100 / 480, 1e-4); // the baseline is the origin
    s.angle = 90;
    ASSERT_EQ(ggstrl(&s), 0);
    // Turned a quarter, the width runs up and the height across.
    EXPECT_NEAR(q[1].y - q[0].y, b.width * 100 / 480, 1e-4);
    EXPECT_NEAR(q[0].x - q[3].x, b.height() * 100 / 640, 1e-4);
    GSTXFM x;
    double a = -90, r = 725;
    ggstxfm(&x, &a, &r);
    EXPECT_DOUBLE_EQ(a, 270);
    EXPECT_DOUBLE_EQ(r, 5);
}

TEST_F(Kernel, HeaderAndLegendTakeTheirRoomOutOfTheWindow)
{
    GWINDOW w{0, 0, 100, 100};
    const char by[] = "sex=1";
    ASSERT_EQ(ggphdrl(0, &w, 5, by), 0);
    EXPECT_LT(w.y2, 100 - 2.5); // at least the BY line's cell
    EXPECT_EQ(w.y1, 0);
    const double top = w.y2;
    GSYMSTR shapes[3];
    ggetsym(0, 3, shapes);
    shapes[2].itype = ' ';
    GCSTR texts[3] = {{5, 5, "sex=1"}, {5, 5, "sex=2"}, {14, 14, "Censored sex=1"}};
    GLEGT g;
    std::memset(static_cast<void*>(&g), 0, sizeof g);
    g.datatype = 'E';
    g.datanum = 3;
    g.du = texts;
    g.shapes = shapes;
    char label[] = "Strata:";
    g.label = label;
    g.lablen = 7;
    std::memset(g.ctext, ' ', 16);
    std::memset(g.cframe, ' ', 16);
    std::memset(g.coutline, ' ', 16);
    ASSERT_EQ(gglsize(0, &g, &w), 0);
    EXPECT_EQ(g.box.y1, 0);
    EXPECT_NEAR(w.y1, g.box.y2 + 1.25, 1e-9); // half a cell above the legend
    EXPECT_EQ(w.y2, top);
    EXPECT_EQ(g.rows, 1);
    EXPECT_EQ(g.cols, 3);
    // A window too short for it refuses the legend.
    GWINDOW tiny{0, 0, 100, 4};
    EXPECT_NE(gglsize(0, &g, &tiny), 0);
    // Drawn, the header and the legend keep apart and on the canvas.
    char sys[8];
    void* seg = open("HEADER", sys);
    ASSERT_EQ(ggphdr(0, by, 5), 0);
    ASSERT_EQ(gglsize(0, &g, &w), 0);
    ASSERT_EQ(ggldraw(&g, nullptr), 0);
    int entries = 0;
    for (const auto& it : rec.items)
        entries += it.cls == "legend-entry";
    EXPECT_EQ(entries, 3);
    EXPECT_TRUE(rec.layoutFaults().empty());
    ASSERT_EQ(ggcseg(0, &seg, 0), 0);
}

TEST_F(Kernel, EntriesAreMadeUniqueAndWrittenAsSvgFiles)
{
    std::vector<std::string> names;
    for (int k = 0; k < 12; ++k) {
        char sys[8];
        void* seg = open("korvante", sys);
        ASSERT_NE(seg, nullptr);
        names.emplace_back(sys, 8);
        ASSERT_EQ(ggcseg(0, &seg, 0), 0);
        EXPECT_EQ(seg, nullptr);
    }
    EXPECT_EQ(names[0], "KORVANTE");
    EXPECT_EQ(names[1], "KORVANT1");
    EXPECT_EQ(names[9], "KORVANT9");
    EXPECT_EQ(names[10], "KORVAN10");
    EXPECT_EQ(names[11], "KORVAN11");
    const fs::path file = dir / "CAT" / "KORVAN10.svg";
    ASSERT_TRUE(fs::exists(file));
    const std::string svg = slurp(file);
    EXPECT_NE(svg.find("<title id=\"g-gktest-cat-korvan10-title\">A test graph</title>"),
              std::string::npos);
    const VyrGraphEntry* e = vyr_gk_entry("gktest", "cat", "KORVAN10");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->svg, svg);
    EXPECT_EQ(e->file, file.string());
    // Another member is another catalogue: its names start afresh.
    std::memcpy(gz->catmem, "OTHER", 5);
    gz->catmemlen = 5;
    char sys[8];
    void* seg = open("KORVANTE", sys);
    EXPECT_EQ(std::string(sys, 8), "KORVANTE");
    ASSERT_EQ(ggcseg(0, &seg, 0), 0);
    EXPECT_EQ(vyr_gk_entries().size(), 13u);
}

TEST_F(Kernel, AnEntryThatCannotBeWrittenIsAFailure)
{
    // A folder at an entry's name in a permanent catalogue is passed over.
    fs::create_directories(dir / "CAT" / "BLOCKED.svg");
    char sys[8];
    void* seg = open("BLOCKED", sys);
    EXPECT_EQ(std::string(sys, 8), "BLOCKED1");
    // A full disk.
    setenv("KORV_FAIL_WRITE", "1", 1);
    vyr::reset_write_failure_hook();
    EXPECT_LT(ggcseg(0, &seg, 0), 0);
    unsetenv("KORV_FAIL_WRITE");
    vyr::reset_write_failure_hook();
    EXPECT_EQ(vyr_gk_entry("GKTEST", "CAT", "BLOCKED1"), nullptr);
    // An unassigned library is refused when the catalogue is opened.
    void* cat = nullptr;
    EXPECT_LT(ggadcat(0, "NOSUCH  ", &cat, 4, 0), 0);
}

TEST_F(Kernel, TheTasksControlBlockExistsFromItsStart)
{
    vgr::gk::stepEnd();
    void* task = xtanch();
    long slot = 0;
    void* owner = nullptr;
    EXPECT_EQ(xytngl(task, 0, "__GCB_GSUBLIB", 13, &slot, &owner), 0);
    GXCOM* gx = ggxget(task);
    ASSERT_NE(gx, nullptr);
    EXPECT_NE(gx->gngraph, nullptr);
    EXPECT_EQ(xytngl(task, 0, "__VDQ_GSUBLIB", 13, &slot, &owner), XYT_NOT_FOUND);
}

// The automatic texts of axis values: fixed decimals where they show each
// value, else an exponent with the digits the values need, never digits
// that misstate the value (a fixed 2.5e306 cut to 32 characters) nor 0 for
// a value too small for eight decimals.
TEST(ValueTexts, ValuesAtTheExtremesTakeAnExponent)
{
    auto texts = [](std::vector<double> v) {
        std::vector<char> buf(32 * v.size());
        long code = -1;
        short len = 0;
        EXPECT_EQ(ggbestr(v.data(), static_cast<int>(v.size()), buf.data(), &code, &len), 0);
        std::vector<std::string> out;
        for (size_t i = 0; i < v.size(); ++i) {
            std::string t(buf.data() + 32 * i, 32);
            out.push_back(t.substr(0, t.find_last_not_of(' ') + 1));
        }
        return out;
    };
    EXPECT_EQ(texts({0, 0.2, 0.4 + 5.5e-17, 1}),
              (std::vector<std::string>{"0.0", "0.2", "0.4", "1.0"}));
    EXPECT_EQ(texts({0, 2.5e306, 5e306}), (std::vector<std::string>{"0", "2.5E306", "5.0E306"}));
    EXPECT_EQ(texts({0, 1e-306, 2e-306}), (std::vector<std::string>{"0", "1E-306", "2E-306"}));
    EXPECT_EQ(texts({1e15, 2e15}),
              (std::vector<std::string>{"1000000000000000", "2000000000000000"}));
    EXPECT_EQ(texts({0, 1e20}), (std::vector<std::string>{"0", "1E20"}));
}
