// A plot description made, set up and drawn through the graphics kernel onto
// the recording canvas: two curves (a step curve and a joined one), the BY
// line, nice ticks, markers, the legend at the bottom, clipping to the data
// area; then the rules of set-up (names and description, SYMBOL choice,
// legend texts), destinations, and how a description ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "devplot/zggraf.h"
#include "host/graphics/canvas.h"
#include "host/output/layer.h"
#include "host/session/session_state.h"
#include "runtime/procstr.h"
#include "runtime/wobmth.h"
#include "vyr_atomic_file.h"
#include "vyr_data.h"
#include "vyr_gkernel.h"
#include "vyr_missing.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace fs = std::filesystem;
using vgr::RecordingCanvas;

namespace
{

NAMESTR numeric(const char* name, const char* label = nullptr)
{
    NAMESTR n;
    xvnamei(&n);
    n.ntype = 1;
    n.name_p = name;
    n.namelen = static_cast<short>(std::strlen(name));
    if (label) {
        n.label_p = label;
        n.nlablen = static_cast<short>(std::strlen(label));
    }
    return n;
}

void setLabel(ZGLBSTR& l, const char* text)
{
    std::memset(l.label, ' ', sizeof l.label);
    l.lablen = static_cast<short>(std::strlen(text));
    std::memcpy(l.label, text, static_cast<size_t>(l.lablen));
}

struct Description : ::testing::Test {
    RecordingCanvas rec{640, 480};
    xobop root = nullptr, mgr = nullptr;
    GRAFSTR* g = nullptr;
    fs::path dir;
    std::string log, listing;
    NAMESTR time = numeric("TIME");
    NAMESTR surv = numeric("SURV", "Survival");
    double hx[3] = {0, 2, 5}, hy[3] = {1, 0.6, 0.3};
    double jx[4] = {1, 3, 6, 9.2}, jy[4] = {0.9, 0.7, 0.5, 0.2};
    const char* by = "group=1";

    void SetUp() override
    {
        vdq::takeCurrentStep();
        vyr_gk_reset();
        vyr::print_capture(&listing, &log);
        dir = fs::temp_directory_path() / ("korv_desc_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_TRUE(vyr_assign_library("DEVTEST", dir.string()));
        ASSERT_EQ(xobinit(&root, 0), 0);
        WOB_PARM_BLK_STR pb[] = {wob_string(WOB_TAG_PACKAGE, "vdq", 3),
                                 wob_string(WOB_TAG_CLASS, "manager", 7),
                                 wob_object(WOB_TAG_OUT, nullptr)};
        ASSERT_EQ(wobmth(root, nullptr, WOB_SEL_CREATE, 3, pb), 0);
        mgr = pb[2].value.o;
        vyr_gk_observe(&rec);
    }
    void TearDown() override
    {
        vyr_gk_observe(nullptr);
        if (g)
            zggrend(&g);
        vyr_output_set_graph_destinations({"DOCUMENT"});
        vdq::takeCurrentStep();
        vyr_gk_reset();
        vyr::print_capture(nullptr, nullptr);
        fs::remove_all(dir);
    }
    // A description of n plots for the first destination.
    void make(int n, long options = 1 | zgr::NOANNO)
    {
        ASSERT_EQ(zggrini(&g, root, mgr, n, options), 0);
        std::memcpy(g->libname, "DEVTEST ", 8);
        g->dest_out = 0;
        ASSERT_EQ(zggrrin(&g), 0);
    }
    // The two curves of the main test.
    void twoCurves()
    {
        make(2);
        PAIRSTR& a = g->ppair[0];
        a.hvar = {&time, hx, nullptr, 3, 1};
        a.vvar = {&surv, hy, nullptr, 3, 1};
        a.symbinf.itype = 'T';
        a.symbinf.dplace = 'L';
        a.symbinf.iflag = 2 | 4;
        std::memcpy(a.symbinf.value, "DOT     ", 8);
        setLabel(a.lid, "Group A");
        PAIRSTR& b = g->ppair[1];
        b.hvar = {&time, jx, nullptr, 4, 1};
        b.vvar = {&surv, jy, nullptr, 4, 1};
        b.symbinf.itype = 'J';
        setLabel(b.lid, "Group B");
        g->haxis->scale->xmin = 0.37;
        g->haxis->scale->xmax = 9.2;
        g->haxis->scale->ntic = 4;
        g->vaxis->scale->xmin = 0;
        g->vaxis->scale->xmax = 1;
        g->byptr = by;
        g->bylen = static_cast<int>(std::strlen(by));
        setLabel(*g->leginf->lab, "Legend:");
    }
    std::vector<const RecordingCanvas::Item*> items(const char* cls) const
    {
        std::vector<const RecordingCanvas::Item*> out;
        for (const auto& it : rec.items)
            if (it.cls == cls)
                out.push_back(&it);
        return out;
    }
    const RecordingCanvas::Item* text(const std::string& s) const
    {
        for (const auto& it : rec.items)
            if (it.kind == RecordingCanvas::Item::Text && it.text == s)
                return &it;
        return nullptr;
    }
    // A point in pixels back to data values of the two primary axes.
    std::pair<double, double> data(vgr::Pt p) const
    {
        const APRMSTR& h = g->ginf->axparm[1];
        const APRMSTR& v = g->ginf->axparm[0];
        const double xp = p.x * 100 / 640, yp = (480 - p.y) * 100 / 480;
        return {(xp - h.btrans) / h.atrans, (yp - v.btrans) / v.atrans};
    }
};

} // namespace

TEST_F(Description, TwoCurvesAreSetUpAndDrawn)
{
    twoCurves();
    ASSERT_EQ(zggrset(&g), 0);
    ASSERT_EQ(zggrplt(&g), 0);
    // The BY line heads the graph.
    auto byline = items("byline");
    ASSERT_EQ(byline.size(), 1u);
    EXPECT_EQ(byline[0]->text, "group=1");
    const vgr::Rect area{g->darea.x1 * 6.4, 480 - g->darea.y2 * 4.8, g->darea.x2 * 6.4,
                         480 - g->darea.y1 * 4.8};
    EXPECT_LT(byline[0]->box.y1, area.y0);
    // Nice ticks: 0.37 to 9.2 in about four intervals is 0 to 10 by 2, each
    // value centred under its tick; the vertical axis has four intervals.
    for (int v = 0; v <= 10; v += 2) {
        const auto* t = text(std::to_string(v));
        ASSERT_NE(t, nullptr) << v;
        EXPECT_GT(t->box.y0, area.y1);
        const double centre = (t->box.x0 + t->box.x1) / 2;
        EXPECT_NEAR(data({centre, 0}).first, v, 0.05) << v;
    }
    for (const char* v : {"0.00", "0.25", "0.50", "0.75", "1.00"})
        EXPECT_NE(text(v), nullptr) << v;
    EXPECT_EQ(text("12"), nullptr);
    // Axis labels: the variables' label and name.
    ASSERT_NE(text("Survival"), nullptr);
    EXPECT_DOUBLE_EQ(text("Survival")->style.rotate, -90);
    ASSERT_NE(text("TIME"), nullptr);
    // The step curve goes across first, then down; the joined one straight.
    auto curves = items("curve");
    std::vector<const RecordingCanvas::Item*> inData;
    for (const auto* c : curves)
        if (c->in("data"))
            inData.push_back(c);
    ASSERT_EQ(inData.size(), 2u);
    const auto& step = inData[0]->cmds;
    ASSERT_EQ(step.size(), 5u);
    const double want[5][2] = {{0, 1}, {2, 1}, {2, 0.6}, {5, 0.6}, {5, 0.3}};
    for (int i = 0; i < 5; ++i) {
        auto [x, y] = data(step[static_cast<size_t>(i)].p);
        EXPECT_NEAR(x, want[i][0], 1e-6) << i;
        EXPECT_NEAR(y, want[i][1], 1e-6) << i;
    }
    ASSERT_EQ(inData[1]->cmds.size(), 4u);
    EXPECT_NEAR(data(inData[1]->cmds[3].p).first, 9.2, 1e-6);
    // Markers: the step curve's DOT on its middle point only (first and last
    // left out), the joined curve's definition marker on all four.
    int dataMarkers = 0;
    for (const auto& it : rec.items)
        if (it.kind == RecordingCanvas::Item::Marker && it.in("data")) {
            ++dataMarkers;
            EXPECT_TRUE(it.hasClip);
        }
    EXPECT_EQ(dataMarkers, 5);
    // Everything in the data area is clipped to it.
    for (const auto* c : inData) {
        ASSERT_TRUE(c->hasClip);
        EXPECT_NEAR(c->clip.x0, area.x0, 1e-6);
        EXPECT_NEAR(c->clip.y0, area.y0, 1e-6);
        EXPECT_NEAR(c->clip.x1, area.x1, 1e-6);
        EXPECT_NEAR(c->clip.y1, area.y1, 1e-6);
    }
    // The legend lies at the bottom, below the axis label.
    auto entries = items("legend-entry");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->text, "Group A");
    EXPECT_EQ(entries[1]->text, "Group B");
    EXPECT_GT(entries[0]->box.y0, text("TIME")->box.y1);
    ASSERT_EQ(items("legend-label").size(), 1u);
    EXPECT_EQ(items("legend-label")[0]->text, "Legend:");
    EXPECT_TRUE(rec.layoutFaults().empty()) << rec.layoutFaults().front();
    // The graph is catalogued under the description built from the names.
    EXPECT_EQ(std::string(g->desc, 20), "Plot of SURV vs TIME");
    EXPECT_EQ(std::string(g->ginf->sysname, 8), "STATPLOT");
    EXPECT_TRUE(fs::exists(dir / "GSEG" / "STATPLOT.svg"));
    // Handed over, it is a graph of the document.
    ASSERT_EQ(zggrags(&g), 0);
    const vdq::StepDoc doc = vdq::takeCurrentStep();
    ASSERT_EQ(doc.items.size(), 1u);
    EXPECT_EQ(doc.items[0]->kind, vdq::Node::Graph);
    EXPECT_TRUE(doc.items[0]->device);
    EXPECT_EQ(doc.items[0]->name, "STATPLOT");
    EXPECT_EQ(doc.items[0]->label, "Plot of SURV vs TIME");
}

TEST_F(Description, NamesAndDescriptionsShareTheirRoom)
{
    const struct {
        const char* v;
        const char* h;
        const char* desc;
    } cases[] = {
        {"HEIGHT", "WEIGHT", "Plot of HEIGHT vs WEIGHT"},
        {"", "WEIGHT", "Plot of Y vs WEIGHT"},
        // 20 and 12 characters: the short name stays, the long one is cut to 16.
        {"ABCDEFGHIJKLMNOPQRST", "abcdefghijkl", "Plot of ABCDEFGHIJKLMNOP vs abcdefghijkl"},
        // Two of 20: each cut to 14.
        {"ABCDEFGHIJKLMNOPQRST", "abcdefghijklmnopqrst",
         "Plot of ABCDEFGHIJKLMN vs abcdefghijklmn"},
    };
    for (const auto& c : cases) {
        make(1, zgr::NOANNO);
        NAMESTR v = numeric(c.v), h = numeric(c.h);
        g->ppair[0].hvar = {&h, hx, nullptr, 3, 1};
        g->ppair[0].vvar = {&v, hy, nullptr, 3, 1};
        g->haxis->scale->xmin = 0;
        g->haxis->scale->xmax = 5;
        g->vaxis->scale->xmin = 0;
        g->vaxis->scale->xmax = 1;
        std::memcpy(g->name, "GRAPH   ", 8);
        ASSERT_EQ(zggrset(&g), 0) << c.desc;
        EXPECT_EQ(std::string(g->desc, std::strlen(c.desc)), c.desc);
        EXPECT_EQ(g->desc[std::strlen(c.desc)], ' ');
        EXPECT_EQ(std::string(g->longname.label, g->longname.lablen), "GRAPH");
        zggrend(&g);
    }
}

TEST_F(Description, SymbolsLegendTextsAndPlotsLeftOut)
{
    make(3);
    NAMESTR n1 = numeric("SURV"), n2 = numeric("LOGS"), n3 = numeric("LLS");
    NAMESTR* names[3] = {&n1, &n2, &n3};
    for (int i = 0; i < 3; ++i) {
        g->ppair[i].hvar = {&time, hx, nullptr, 3, 1};
        g->ppair[i].vvar = {names[i], hy, nullptr, 3, 1};
        g->ppair[i].symbinf.itype = 'J';
    }
    // Plots that use definitions 1 and 2 leave 3 to the one between them.
    g->ppair[0].symbinf.symno = 1;
    g->ppair[2].symbinf.symno = 2;
    g->ppair[1].plotno = 'n';
    g->haxis->scale->xmin = 0;
    g->haxis->scale->xmax = 5;
    g->vaxis->scale->xmin = 0;
    g->vaxis->scale->xmax = 1;
    ASSERT_EQ(zggrset(&g), 0);
    EXPECT_EQ(g->ppair[1].symbinf.symno, 3);
    // No labels: the entries are the variables' names, the label "PLOT".
    GLEGT* lg = g->ginf->legend;
    ASSERT_EQ(lg->datanum, 3);
    const auto* d = static_cast<const GCSTR*>(lg->du);
    EXPECT_EQ(std::string(d[0].text, d[0].len), "SURV");
    EXPECT_EQ(std::string(d[1].text, d[1].len), "LOGS");
    EXPECT_EQ(std::string(d[2].text, d[2].len), "LLS");
    EXPECT_EQ(std::string(lg->label, lg->lablen), "PLOT    ");
    ASSERT_EQ(zggrplt(&g), 0);
    int curves = 0;
    for (const auto& it : rec.items)
        curves += it.cls == "curve" && it.in("data");
    EXPECT_EQ(curves, 2); // the plot marked 'n' draws nothing
}

TEST_F(Description, ACurveThatCannotBeDrawnIsReported)
{
    twoCurves();
    g->ppair[1].vvar.nvalue = 3; // fewer vertical values than horizontal ones
    ASSERT_EQ(zggrset(&g), 0);
    ASSERT_EQ(zggrplt(&g), 0);
    EXPECT_EQ(g->ginf->dropped, 1);
    EXPECT_NE(log.find("leaves out 1 of its curves"), std::string::npos) << log;
}

TEST_F(Description, AGraphThatCannotBeCataloguedFails)
{
    twoCurves();
    // A full disk at the entry's first write.
    setenv("KORV_FAIL_WRITE", "1", 1);
    vyr::reset_write_failure_hook();
    ASSERT_EQ(zggrset(&g), 0);
    EXPECT_EQ(zggrplt(&g), zgr::SEGMENT);
    unsetenv("KORV_FAIL_WRITE");
    vyr::reset_write_failure_hook();
    EXPECT_NE(log.find("could not be written"), std::string::npos) << log;
}

TEST_F(Description, CharacterAxesRefuseAValueTwice)
{
    make(2);
    NAMESTR strata;
    xvnamei(&strata);
    strata.ntype = 2;
    strata.name_p = "Strata";
    strata.namelen = 6;
    char values[3 * 32];
    std::memset(values, ' ', sizeof values);
    values[0] = '1';
    values[32] = '2';
    values[64] = '1';
    char ys[2 * 32];
    std::memset(ys, ' ', sizeof ys);
    ys[0] = '1';
    ys[32] = '2';
    for (int i = 0; i < 2; ++i) {
        g->ppair[i].hvar = {&time, hx, nullptr, 1, 1};
        g->ppair[i].vvar = {&strata, ys + 32 * i, nullptr, 1, 1};
        g->ppair[i].symbinf.itype = ' ';
    }
    g->haxis->scale->xmin = 0;
    g->haxis->scale->xmax = 5;
    g->vaxis->value->clist = values;
    g->vaxis->value->nval = 2;
    g->vaxis->value->vtype = 2;
    g->vaxis->value->malloc = 1;
    ASSERT_EQ(zggrset(&g), 0);
    EXPECT_EQ(zggsfor(g), 0);
    // A value found on the axis is placed at its tick.
    const APRMSTR& ap = g->ginf->axparm[0];
    char two[32], seven[32];
    std::memset(two, ' ', 32);
    std::memset(seven, ' ', 32);
    two[0] = '2';
    seven[0] = '7';
    EXPECT_DOUBLE_EQ(zggapos(g->vaxis, g->ginf->axparm, two), ap.atrans + ap.btrans);
    EXPECT_DOUBLE_EQ(zggapos(g->vaxis, g->ginf->axparm, seven), -1.0);
    g->vaxis->value->nval = 3;
    EXPECT_EQ(zggsfor(g), zgr::NOTHING);
}

TEST_F(Description, LaterDestinationsHaveTheirOwnMembersAndDocumentIsSkipped)
{
    vyr_output_set_graph_destinations({"A", "Document", "C(1)"});
    ASSERT_EQ(zggrini(&g, root, mgr, 1, zgr::NOANNO), 0);
    std::memcpy(g->libname, "DEVTEST ", 8);
    ASSERT_EQ(g->dest_info->count, 3);
    std::vector<std::string> drawn;
    for (g->dest_out = 0; g->dest_out < g->dest_info->count; ++g->dest_out) {
        const long r = zggrrin(&g);
        if (g->dest_out == 1) {
            EXPECT_EQ(r, zgr::SKIP);
            continue;
        }
        ASSERT_EQ(r, 0);
        g->ppair[0].hvar = {&time, hx, nullptr, 3, 1};
        g->ppair[0].vvar = {&surv, hy, nullptr, 3, 1};
        g->haxis->scale->xmin = 0;
        g->haxis->scale->xmax = 5;
        g->vaxis->scale->xmin = 0;
        g->vaxis->scale->xmax = 1;
        ASSERT_EQ(zggrset(&g), 0);
        ASSERT_EQ(zggrplt(&g), 0);
        drawn.push_back(std::string(g->ginf->memname.name, g->ginf->memname.len));
    }
    EXPECT_EQ(drawn, (std::vector<std::string>{"GSEG", "C_1_"}));
    EXPECT_TRUE(fs::exists(dir / "C_1_" / "STATPLOT.svg"));
    // The output manager's own records keep their names.
    const VDQ_DEST_LIST* list = g->dest_info;
    EXPECT_EQ(std::string(list->entries[2].info->name.text, 4), "C(1)");
    EXPECT_EQ(std::string(list->entries[1].info->name.text, 8), "Document");
    ASSERT_EQ(zggrags(&g), 0);
    const vdq::StepDoc doc = vdq::takeCurrentStep();
    EXPECT_EQ(doc.items.size(), 2u); // the skipped destination gave none
}

TEST_F(Description, EndingFreesOnlyWhatTheLibraryMade)
{
    // A description the library made: the caller's pointer is cleared.
    make(1);
    ASSERT_EQ(zggrend(&g), 0);
    EXPECT_EQ(g, nullptr);
    // A description the caller made in a pool of its own: the pointer and
    // the pool stay; only the library's blocks go.
    POOLHANDLE* mine = xmpoolc(0, 1024, 0);
    auto* own = static_cast<GRAFSTR*>(vmalcp_handler(mine, sizeof(GRAFSTR), 0x2002));
    own->mempool = mine;
    GRAFSTR* p = own;
    ASSERT_EQ(zggrini(&p, root, mgr, 1, zgr::NOANNO), 0);
    ASSERT_EQ(p, own);
    ASSERT_EQ(zggrend(&p), 0);
    EXPECT_EQ(p, own);
    EXPECT_EQ(own->mempool, nullptr);
    EXPECT_GT(xmsize(mine), 0);
    xmpoold(mine);
    // Nothing to end.
    GRAFSTR* none = nullptr;
    EXPECT_EQ(zggrend(&none), zgr::NOTHING);
}

TEST_F(Description, NeedlesRightStepsReversedAxesAndReferenceLines)
{
    make(2, zgr::NOANNO | zgr::VREF);
    PAIRSTR& a = g->ppair[0];
    a.hvar = {&time, hx, nullptr, 3, 1};
    a.vvar = {&surv, hy, nullptr, 3, 1};
    a.symbinf.itype = 'T';
    a.symbinf.dplace = 'R';
    PAIRSTR& b = g->ppair[1];
    b.hvar = {&time, jx, nullptr, 4, 1};
    b.vvar = {&surv, jy, nullptr, 4, 1};
    b.symbinf.itype = 'N';
    std::memcpy(b.symbinf.value, "NONE    ", 8);
    g->haxis->scale->xmin = 0;
    g->haxis->scale->xmax = 10;
    g->haxis->options |= zgr::AX_REVERSE;
    g->vaxis->scale->xmin = 0;
    g->vaxis->scale->xmax = 1;
    // Ticks pointing into the plot push the other axis's first value in.
    g->vaxis->tmmajor->height = -1;
    // A line style past 46 takes the horizontal axis line's.
    static double at[1] = {0.5};
    g->vref->rlist = at;
    g->vref->malloc = 1;
    g->vref->nref = 1;
    g->vref->line.style = 47;
    ASSERT_EQ(zggrset(&g), 0);
    EXPECT_EQ(g->vref->line.style, g->haxis->axisln.style);
    EXPECT_GE(g->haxis->offset1, ggl2pct(1, GU_CELL, 1) - 1e-9);
    // A reversed axis lists its values from the largest.
    const VLSTSTR* hv = g->haxis->value;
    EXPECT_DOUBLE_EQ(hv->dlist[0], 10);
    EXPECT_DOUBLE_EQ(hv->dlist[hv->nval - 1], 0);
    ASSERT_EQ(zggrplt(&g), 0);
    // The step goes up or down first ('R'), then across.
    std::vector<const RecordingCanvas::Item*> curves;
    for (const auto* c : items("curve"))
        if (c->in("data"))
            curves.push_back(c);
    ASSERT_EQ(curves.size(), 1u);
    ASSERT_EQ(curves[0]->cmds.size(), 5u);
    auto p1 = data(curves[0]->cmds[1].p);
    EXPECT_NEAR(p1.first, 0, 1e-6);
    EXPECT_NEAR(p1.second, 0.6, 1e-6);
    // Needles from each point down to 0, clipped; the reference line across.
    int needles = 0, refs = 0;
    for (const auto* r : items("rule")) {
        if (r->in("data")) {
            ++needles;
            EXPECT_NEAR(data(r->cmds[1].p).second, 0, 1e-6);
            continue;
        }
        const auto a0 = data(r->cmds[0].p), a1 = data(r->cmds[1].p);
        // Across the whole plot (a tick at 0.5 is short).
        if (std::abs(a0.second - 0.5) < 1e-6 && std::abs(a1.second - 0.5) < 1e-6 &&
            std::abs(a1.first - a0.first) > 9)
            ++refs;
    }
    EXPECT_EQ(needles, 4);
    EXPECT_EQ(refs, 1);
}

TEST(StartUp, FindsTheTasksControlBlock)
{
    GZCOM* gz = ggznew(xtanch());
    EXPECT_EQ(ggsload(gz, 0, 0), 0);
    EXPECT_NE(ggxget(xtanch()), nullptr);
    // No device library (GDEVICE0-9, VYRHELP) is assigned: no device.
    EXPECT_EQ(ggdvget("SVG"), nullptr);
    EXPECT_EQ(ggdvget("        "), nullptr);
    EXPECT_EQ(ggtdvmd("SVG"), 0);
}
