// The graph families drawn from synthetic plot data on the recording
// canvas: what each draws (curves, marks, bands, at-risk counts, legend and
// inset texts), that curve vertices map back to the plot-data rows, that no
// text overlaps or leaves the canvas, and a few graphs byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "host/graphics/canvas.h"
#include "host/graphics/plot.h"
#include "host/output/graphs.h"
#include "runtime/missing.h"
#include "runtime/pgraf.h"
#include "support/golden.h"
#include "vyr_graphics.h"
#include "vyr_pool.h"

using namespace vdq;
using vgr::RecordingCanvas;

namespace
{

const double M = korv_missing();

struct Axis {
    Axis() { vyr_graphics_set_axis(znaxis); }
};
const Axis registered;

// A plot-data table: numeric columns, and the text column "Stratum" when
// `strata` gives a text per row.
NodePtr table(const std::vector<std::string>& names, const std::vector<std::vector<double>>& rows,
              const std::vector<std::string>& strata = {}, const std::string& stratumLabel = "")
{
    auto t = std::make_shared<Node>();
    t->kind = Node::Table;
    t->hidden = true;
    t->name = "Phantom";
    std::vector<Column> cols;
    for (const std::string& n : names) {
        Column c;
        c.name = n;
        cols.push_back(c);
    }
    if (!strata.empty()) {
        Column c;
        c.name = "Stratum";
        c.label = stratumLabel;
        c.numeric = false;
        cols.push_back(c);
    }
    t->columns = Columns(cols);
    for (size_t r = 0; r < rows.size(); ++r) {
        t->rows.startRow();
        for (double v : rows[r])
            t->rows.addNumber(v);
        if (!strata.empty())
            t->rows.addText(strata[r]);
    }
    return t;
}

Dynamic num(const std::string& n, double v)
{
    Dynamic d;
    d.name = n;
    d.numeric = true;
    d.d = v;
    return d;
}
Dynamic txt(const std::string& n, const std::string& v)
{
    Dynamic d;
    d.name = n;
    d.text = v;
    return d;
}

Node graph(const std::string& templ, std::vector<NodePtr> sources, std::vector<Dynamic> dyn)
{
    Node g;
    g.kind = Node::Graph;
    g.name = "Graph";
    g.label = "A graph";
    g.templ = "Stat.Korvante.Graphics." + templ;
    g.sources = std::move(sources);
    g.dynamics = std::move(dyn);
    return g;
}

// Draws a graph on a recording canvas; fails the test when it cannot.
struct Drawn {
    std::unique_ptr<RecordingCanvas> canvas;
    std::vector<vgr::CellTrace> cells;
    vgr::Figure figure;
};

Drawn draw(const Node& g)
{
    Drawn d;
    std::string why;
    EXPECT_TRUE(graphFigure(g, d.figure, why)) << why;
    const auto [w, h] = vgr::figureSize(d.figure);
    d.canvas = std::make_unique<RecordingCanvas>(w, h);
    vgr::drawFigure(*d.canvas, d.figure, &d.cells);
    EXPECT_EQ(d.canvas->layoutFaults(), std::vector<std::string>());
    return d;
}

std::vector<std::string> texts(const RecordingCanvas& c, const std::string& cls)
{
    std::vector<std::string> v;
    for (const auto* it : c.of(cls))
        if (it->kind == RecordingCanvas::Item::Text)
            v.push_back(it->text);
    return v;
}

size_t count(const RecordingCanvas& c, const std::string& cls, RecordingCanvas::Item::Kind k)
{
    size_t n = 0;
    for (const auto* it : c.of(cls))
        if (it->kind == k)
            ++n;
    return n;
}

// Plot data of two strata in the layout of the product-limit writers: the
// time-0 row, event rows, censored rows (survival missing, the mark set),
// and at-risk rows at the ticks 0, 5 and 10.
NodePtr twoStrata(bool limits = true)
{
    // StratumNum tAtRisk Time Survival SDF_LCL SDF_UCL Event AtRisk Censored
    std::vector<std::vector<double>> rows = {
        {1, M, 0, 1, 1, 1, 0, 4, M},
        {1, 0, 0, M, M, M, M, 4, M},
        {1, M, 2, 0.75, 0.5, 0.9, 1, 4, M},
        {1, M, 3, M, M, M, 0, 3, 0.75},
        {1, 5, 5, M, M, M, M, 2, M},
        {1, M, 6, 0.375, 0.2, 0.6, 1, 2, M},
        {1, M, 8, 0.375, M, M, 0, 1, 0.375},
        {1, 10, 10, M, M, M, M, 0, M},
        {2, M, 0, 1, 1, 1, 0, 3, M},
        {2, 0, 0, M, M, M, M, 3, M},
        {2, M, 4, 0.6667, 0.4, 0.85, 1, 3, M},
        {2, 5, 5, M, M, M, M, 2, M},
        {2, M, 9, 0.3333, 0.1, 0.6, 1, 2, M},
        {2, 10, 10, M, M, M, M, 1, M},
        {2, M, 12, 0.3333, M, M, 0, 1, 0.3333},
    };
    std::vector<std::string> names = {"StratumNum", "tAtRisk", "Time",   "Survival", "SDF_LCL",
                                      "SDF_UCL",    "Event",   "AtRisk", "Censored"};
    std::vector<std::string> strata;
    for (const auto& r : rows)
        strata.push_back(r[0] == 1 ? "Female" : "Male");
    if (!limits) {
        names[4] = "X1";
        names[5] = "X2";
    }
    return table(names, rows, strata, "sex");
}

std::vector<Dynamic> overlayDynamics()
{
    return {txt("method", "Product-Limit"),
            num("NStrata", 2),
            txt("GroupName", "sex"),
            txt("xName", "days"),
            num("plotCensored", 1),
            num("plotCL", 1),
            txt("labelCL", "95% Confidence Limits"),
            num("plotHW", 0),
            num("plotEP", 0),
            num("plotLegend", 1),
            num("plotAtRisk", 1),
            txt("classAtRisk", "Stratum"),
            num("plotTest", 1),
            txt("TestName", "Log-Rank"),
            num("pValue", 2e-6),
            txt("StrVal1", "Female"),
            num("NObs1", 4),
            num("NEvent1", 2),
            num("Median1", 6),
            num("LowerMedian1", 2),
            num("UpperMedian1", M),
            txt("StrVal2", "Male"),
            num("NObs2", 3),
            num("NEvent2", 2),
            num("Median2", 9),
            num("LowerMedian2", 4),
            num("UpperMedian2", M),
            txt("PctMedianConfid", "95%"),
            txt("QuartileFmt", "F6.1"),
            num("Transparency", 0.55)};
}

} // namespace

TEST(Axes, NiceTicksFitTheirRoomAndTheirLabels)
{
    // The survival axis: 0 to 1 by 0.2 with one decimal.
    vgr::Ticks t = vgr::niceTicks(0, 1, false, true, 300, 10);
    ASSERT_EQ(t.values.size(), 6u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_NEAR(t.values[i], 0.2 * static_cast<double>(i), 1e-12);
    EXPECT_EQ(t.decimals, 1);
    // Time axes: the range from 0, steps of 1, 2, 2.5 or 5 times a power of
    // ten, fewer ticks where the labels need the room.
    struct Case {
        double hi, room;
    };
    for (const Case c :
         {Case{1022, 540}, Case{1022, 120}, Case{27.3, 540}, Case{0.0045, 300}, Case{161, 540}}) {
        t = vgr::niceTicks(0, c.hi, true, true, c.room, 10);
        ASSERT_GE(t.values.size(), 2u) << c.hi;
        EXPECT_EQ(t.values.front(), 0);
        EXPECT_GE(t.values.back(), c.hi * 0.999) << c.hi;
        const double step = t.values[1] - t.values[0];
        const double mant = step / std::pow(10, std::floor(std::log10(step) + 1e-9));
        EXPECT_TRUE(std::fabs(mant - 1) < 1e-6 || std::fabs(mant - 2) < 1e-6 ||
                    std::fabs(mant - 2.5) < 1e-6 || std::fabs(mant - 5) < 1e-6)
            << c.hi << " " << step;
        double widest = 0;
        for (double v : t.values)
            widest = std::max(widest, vgr::TextMetrics::width(vgr::tickText(v, t.decimals), 10));
        EXPECT_LE((widest + 12) * static_cast<double>(t.values.size() - 1), c.room + 1e-9) << c.hi;
    }
    // Tick texts: the decimals asked for, and no negative zero.
    EXPECT_EQ(vgr::tickText(0.25, 2), "0.25");
    EXPECT_EQ(vgr::tickText(-0.0001, 2), "0.00");
    EXPECT_EQ(vgr::tickText(1200, 0), "1200");
}

TEST(GraphRegistry, EveryTemplateNameIsKnownInEitherSpelling)
{
    const char* const names[] = {"BandwidthGrid",
                                 "Density",
                                 "DensitySG",
                                 "Hazard",
                                 "HazardSG",
                                 "LifeTableFailure",
                                 "LifeTableFailurePanel",
                                 "LifeTableFailurePanelSG",
                                 "LifeTableFailureSG",
                                 "LifeTableSurvival",
                                 "LifeTableSurvivalPanel",
                                 "LifeTableSurvivalSG",
                                 "LifetableFailure",
                                 "LifetableSurvival",
                                 "LifetableSurvivalPanelSG",
                                 "LifetableSurvivalSG",
                                 "LogNegLogSurvival",
                                 "LogNegLogSurvivalSG",
                                 "NegLogSurvival",
                                 "NegLogSurvivalSG",
                                 "ProductLimitFailure",
                                 "ProductLimitFailure2",
                                 "ProductLimitFailure2SG",
                                 "ProductLimitFailurePanel",
                                 "ProductLimitFailurePanelSG",
                                 "ProductLimitFailureSG",
                                 "ProductLimitSurvival",
                                 "ProductLimitSurvival2",
                                 "ProductLimitSurvival2SG",
                                 "ProductLimitSurvivalPanel",
                                 "ProductLimitSurvivalPanelSG",
                                 "ProductLimitSurvivalSG",
                                 "SmoothedHazard",
                                 "cifPanel",
                                 "cifPlot",
                                 "RMSTPlot",
                                 "RMTLPlot",
                                 "RMSTPanel",
                                 "RMTLPanel"};
    for (const char* n : names)
        EXPECT_NE(findGraphTemplate(std::string("Stat.Korvante.Graphics.") + n), nullptr) << n;
    // The restricted-mean code names its templates under an upper-case prefix.
    EXPECT_NE(findGraphTemplate("STAT.KORVANTE.Graphics.RMSTPlot"), nullptr);
    EXPECT_EQ(findGraphTemplate("Stat.Korvante.Graphics.NoSuchGraph"), nullptr);
    // Variants keep their family's flags.
    const GraphTemplate* t = findGraphTemplate("Stat.Korvante.Graphics.ProductLimitFailure2SG");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->flags, unsigned(FailureCurve | AtRiskOutside | Groups));
}

TEST(GraphRegistry, AGraphThatCannotBeDrawnSaysWhy)
{
    vgr::Figure f;
    std::string why;
    Node g = graph("NoSuchGraph", {twoStrata()}, {});
    EXPECT_FALSE(graphFigure(g, f, why));
    EXPECT_NE(why.find("not known"), std::string::npos);
    g = graph("ProductLimitSurvival", {}, {});
    EXPECT_FALSE(graphFigure(g, f, why));
    EXPECT_NE(why.find("not found"), std::string::npos);
    // log(-log S) needs an estimate strictly between 0 and 1.
    g = graph("LogNegLogSurvival", {table({"Time", "Survival"}, {{0, 1}, {3, 1}})}, {});
    EXPECT_FALSE(graphFigure(g, f, why));
    EXPECT_TRUE(graphSvg(g, "p-", why).empty());
}

TEST(SurvivalFamily, OverlaidStrataWithLimitsMarksAtRiskLegendAndInsets)
{
    const Drawn d = draw(graph("ProductLimitSurvival", {twoStrata()}, overlayDynamics()));
    const RecordingCanvas& c = *d.canvas;
    // One curve per stratum, one mark per censored row, a shaded band each.
    EXPECT_EQ(count(c, "curve", RecordingCanvas::Item::Path), 2u);
    EXPECT_EQ(count(c, "censor", RecordingCanvas::Item::Marker), 3u);
    EXPECT_EQ(count(c, "band-cl", RecordingCanvas::Item::Path), 2u);
    // The at-risk counts: three ticks by two strata, each under its tick.
    const std::vector<std::string> counts = texts(c, "atrisk-count");
    EXPECT_EQ(counts, (std::vector<std::string>{"4", "2", "0", "3", "2", "1"}));
    std::map<std::string, double> tickX;
    for (const auto* it : c.of("axis-x"))
        if (it->cls == "tick-label")
            tickX[it->text] = it->at.x;
    ASSERT_EQ(tickX.size(), 3u); // the axis's ticks are the at-risk times
    const std::vector<std::string> at = {"0", "5", "10"};
    size_t k = 0;
    for (const auto* it : c.of("atrisk-count"))
        if (it->kind == RecordingCanvas::Item::Text) {
            EXPECT_NEAR(it->at.x, tickX[at[k++ % 3]], 1e-9);
        }
    EXPECT_EQ(texts(c, "atrisk-label"), (std::vector<std::string>{"Female", "Male"}));
    // The legend: its title, the strata, the marks and the limits.
    EXPECT_EQ(texts(c, "legend"), (std::vector<std::string>{"sex", "Female", "Male", "Censored",
                                                            "95% Confidence Limits"}));
    // The test inset: the name and a p-value below 0.0001 without a bracket.
    EXPECT_EQ(texts(c, "inset-test"), (std::vector<std::string>{"Log-Rank", "p<0.0001"}));
    // The median inset: one decimal as "F6.1" says, missing limits as ".".
    const std::vector<std::string> m = texts(c, "inset-median");
    ASSERT_EQ(m.size(), 17u); // five headings (the first column has none), two rows of six
    EXPECT_EQ(m[5], "Female");
    EXPECT_EQ(m[9], "6.0");
    EXPECT_EQ(m[10], "2.0 - .");
    // Titles.
    EXPECT_EQ(texts(c, "titles"), (std::vector<std::string>{"Product-Limit Survival Estimates"}));
}

TEST(SurvivalFamily, CurveVerticesMapBackToThePlotDataRows)
{
    const Drawn d = draw(graph("ProductLimitSurvival", {twoStrata()}, overlayDynamics()));
    ASSERT_EQ(d.cells.size(), 1u);
    const vgr::CellTrace& t = d.cells[0];
    auto dataX = [&](double px) { return t.x0 + (px - t.px0) * (t.x1 - t.x0) / (t.px1 - t.px0); };
    auto dataY = [&](double py) {
        return t.y0 + (t.dataBottom - py) * (t.y1 - t.y0) / (t.dataBottom - t.plot.y0);
    };
    // The steps of the first stratum: (0,1) (2,.75) (6,.375) and the hold to
    // its last time, 8, where the censored row carries the estimate.
    const auto curves = d.canvas->of("curve");
    ASSERT_EQ(curves.size(), 2u);
    std::vector<std::pair<double, double>> pts;
    for (const auto& cmd : curves[0]->cmds)
        pts.push_back({dataX(cmd.p.x), dataY(cmd.p.y)});
    const std::vector<std::pair<double, double>> want = {{0, 1},    {2, 1},     {2, 0.75},
                                                         {6, 0.75}, {6, 0.375}, {8, 0.375}};
    ASSERT_EQ(pts.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_NEAR(pts[i].first, want[i].first, 1e-6) << i;
        EXPECT_NEAR(pts[i].second, want[i].second, 1e-6) << i;
    }
    // The figure keeps each vertex's row: the rows with a survival estimate.
    EXPECT_EQ(d.figure.cells[0].series[0].rows, (std::vector<long>{0, 2, 5, 6}));
}

TEST(SurvivalFamily, BandsOnlyWhenAskedAndTheFirstIsShaded)
{
    std::vector<Dynamic> dyn = overlayDynamics();
    for (Dynamic& x : dyn)
        if (x.name == "plotCL")
            x.d = 0;
    Drawn d = draw(graph("ProductLimitSurvival", {twoStrata()}, dyn));
    EXPECT_TRUE(d.canvas->of("band-cl").empty());
    // With the limits asked for but no limit columns in the data, nothing.
    d = draw(graph("ProductLimitSurvival", {twoStrata(false)}, overlayDynamics()));
    EXPECT_TRUE(d.canvas->of("band-cl").empty());
    // Hall-Wellner and equal-precision bands: the first shaded, the second
    // drawn as its dashed edges, with the band ending at its last limits.
    NodePtr t = table({"Time", "Survival", "HW_LCL", "HW_UCL", "EP_LCL", "EP_UCL", "Censored"},
                      {{0, 1, M, M, M, M, M},
                       {1, 0.8, 0.6, 0.9, 0.55, 0.95, M},
                       {2, M, M, M, M, M, 0.8},
                       {3, 0.5, 0.3, 0.7, 0.25, 0.75, M},
                       {4, 0.5, 0.3, 0.7, 0.25, 0.75, M},
                       {6, 0.25, M, M, M, M, M}});
    d = draw(graph("ProductLimitSurvival", {t},
                   {num("plotHW", 1), num("plotEP", 1), txt("labelHW", "95% Hall-Wellner Band"),
                    txt("labelEP", "95% Equal-Precision Band"), num("plotCensored", 1)}));
    const auto hw = d.canvas->of("band-hw");
    const auto ep = d.canvas->of("band-ep");
    ASSERT_FALSE(hw.empty());
    ASSERT_EQ(ep.size(), 2u); // its two edges
    EXPECT_TRUE(hw.back()->filled);
    EXPECT_FALSE(ep.back()->filled);
    EXPECT_EQ(ep.back()->stroke.dash, "2 2");
    EXPECT_EQ(texts(*d.canvas, "legend"),
              (std::vector<std::string>{"Censored", "95% Hall-Wellner Band",
                                        "95% Equal-Precision Band"}));
}

TEST(SurvivalFamily, FailureCurvesAndTheAtRiskTableBelowTheAxis)
{
    std::vector<Dynamic> dyn = overlayDynamics();
    dyn.push_back(txt("rowWeights", "PREFERRED"));
    const Drawn d = draw(graph("ProductLimitFailure2", {twoStrata()}, dyn));
    const RecordingCanvas& c = *d.canvas;
    EXPECT_EQ(texts(c, "titles"), (std::vector<std::string>{"Product-Limit Failure Estimates"}));
    // The curves rise: 1 - S, and so do the marks.
    const auto curves = c.of("curve");
    ASSERT_EQ(curves.size(), 2u);
    EXPECT_GT(curves[0]->cmds.front().p.y, curves[0]->cmds.back().p.y);
    // The table lies below the frame, with its title.
    const double frameBottom = d.cells[0].plot.y1;
    for (const auto* it : c.of("atrisk"))
        if (it->kind == RecordingCanvas::Item::Text) {
            EXPECT_GT(it->box.y0, frameBottom + 10) << it->text;
        }
    EXPECT_EQ(texts(c, "atrisk-title"), std::vector<std::string>{"Number at Risk"});
    // A weight gives the table its share of the height.
    dyn.back() = txt("rowWeights", "0.6 0.4");
    const Drawn w = draw(graph("ProductLimitFailure2", {twoStrata()}, dyn));
    EXPECT_NEAR(w.figure.atRiskWeight, 0.4, 1e-12);
    EXPECT_GT(vgr::figureSize(w.figure).second, vgr::figureSize(d.figure).second + 100);
}

// Plot data of `n` strata of four times each, stratum k valued `prefix`
// and k.
NodePtr panelStrata(int n, const std::string& prefix, const std::string& label = "")
{
    std::vector<std::vector<double>> rows;
    std::vector<std::string> labels;
    for (int s = 1; s <= n; ++s)
        for (double t = 0; t <= 3; ++t) {
            rows.push_back({double(s), t, 1 - t / 4 / s});
            labels.push_back(prefix + std::to_string(s));
        }
    return table({"StratumNum", "Time", "Survival"}, rows, labels, label);
}

TEST(SurvivalFamily, PanelsPageThroughTheStrata)
{
    // Five strata, four cells a page.
    NodePtr data = panelStrata(5, "", "ecog");
    std::vector<Dynamic> dyn = {num("nRows", 2), num("nColumns", 2),
                                txt("HeaderDisplay", "NAMEVALUE"), num("PanelNum", 1)};
    Drawn d = draw(graph("ProductLimitSurvivalPanel", {data}, dyn));
    EXPECT_EQ(d.cells.size(), 4u);
    EXPECT_EQ(texts(*d.canvas, "panel-header"),
              (std::vector<std::string>{"ecog=1", "ecog=2", "ecog=3", "ecog=4"}));
    dyn[3] = num("PanelNum", 2);
    dyn[2] = txt("HeaderDisplay", "VALUE");
    d = draw(graph("ProductLimitSurvivalPanel", {data}, dyn));
    EXPECT_EQ(d.cells.size(), 1u);
    EXPECT_EQ(texts(*d.canvas, "panel-header"), std::vector<std::string>{"5"});
    EXPECT_EQ(d.figure.rows, 1); // a short last page drops its empty row
}

TEST(SurvivalFamily, LongPanelHeadingsStayInTheirOwnPanel)
{
    // Bold headings of 80 characters, side by side: each is cut to its own
    // strip (draw() finds no text overlapping another); so is the bold
    // title to the figure's width.
    const Drawn d =
        draw(graph("ProductLimitSurvivalPanel", {panelStrata(2, std::string(80, 'n'))},
                   {num("nRows", 1), num("nColumns", 2), txt("title1", std::string(150, 'n'))}));
    EXPECT_EQ(texts(*d.canvas, "panel-header").size(), 2u);
}

TEST(SurvivalFamily, OneCurvePerGroupLevelNamedByTheGroupVariable)
{
    // The plot data of one stratum's GROUP= levels: a level column whose
    // template column says it holds the group's values.
    NodePtr t = table({"GroupNum", "Time", "Survival", "Censored"}, {{1, 0, 1, M},
                                                                     {1, 4, 0.5, M},
                                                                     {1, 6, 0.5, 0.5},
                                                                     {2, 0, 1, M},
                                                                     {2, 3, 0.75, M},
                                                                     {2, 8, 0.25, M}});
    std::vector<Column> cols = t->columns.vec();
    Column level;
    level.name = "treat";
    level.numeric = false;
    level.templateColumn = "GrpChrVar";
    cols.insert(cols.begin() + 1, level);
    Rows rows;
    const char* names[] = {"drug", "drug", "drug", "placebo", "placebo", "placebo"};
    for (size_t r = 0; r < t->rows.size(); ++r) {
        rows.startRow();
        rows.addNumber(t->rows.number(r, 0));
        rows.addText(names[r]);
        for (size_t c = 1; c < 4; ++c)
            rows.addNumber(t->rows.number(r, c));
    }
    t->columns = Columns(cols);
    t->rows = std::move(rows);
    const Drawn d = draw(graph("ProductLimitSurvivalSG", {t},
                               {txt("GroupName", "Treatment"), num("plotCensored", 1),
                                num("NObs0", 3), num("NEvent0", 1), num("Median0", 4),
                                num("NObs1", 3), num("NEvent1", 2), num("Median1", 3)}));
    EXPECT_EQ(d.figure.cells[0].series.size(), 2u);
    EXPECT_EQ(texts(*d.canvas, "legend"),
              (std::vector<std::string>{"Treatment", "drug", "placebo", "Censored"}));
    // The inset's rows are numbered from 0, one per level with records.
    const std::vector<std::string> m = texts(*d.canvas, "inset-median");
    EXPECT_NE(std::find(m.begin(), m.end(), "placebo"), m.end());
}

TEST(SurvivalFamily, MaxTimeEndsTheAxisAndTheCurves)
{
    NodePtr t = table({"Time", "Survival", "Censored"},
                      {{0, 1, M}, {3, 0.8, M}, {7, 0.5, M}, {9, 0.5, 0.5}, {12, 0.2, M}});
    const Drawn d =
        draw(graph("ProductLimitSurvival", {t}, {num("maxTime", 8), num("plotCensored", 1)}));
    EXPECT_DOUBLE_EQ(d.cells[0].x1, 8);
    // The mark past the end is not drawn; the curve holds its value to 8.
    EXPECT_TRUE(d.canvas->of("censor").empty());
    EXPECT_EQ(d.figure.cells[0].series[0].pts.back().x, 8);
    EXPECT_EQ(d.figure.cells[0].series[0].pts.back().y, 0.5);
}

TEST(SurvivalFamily, AStratumWithManyRowsIsThinnedToTheDevice)
{
    // 50,000 event times: the path keeps a few vertices per pixel column.
    std::vector<std::vector<double>> rows;
    double s = 1;
    for (int i = 0; i <= 50000; ++i) {
        rows.push_back({double(i), s, i % 7 == 3 ? s : M});
        s *= 0.99997;
    }
    NodePtr t = table({"Time", "Survival", "Censored"}, rows);
    const Drawn d = draw(graph("ProductLimitSurvival", {t}, {num("plotCensored", 1)}));
    const auto curve = d.canvas->of("curve");
    ASSERT_EQ(curve.size(), 1u);
    EXPECT_LT(curve[0]->cmds.size(), 5000u);
    EXPECT_LT(d.canvas->of("censor").size(), 2000u);
    std::string why;
    const std::string svg =
        graphSvg(graph("ProductLimitSurvival", {t}, {num("plotCensored", 1)}), "t-", why);
    EXPECT_LT(svg.size(), 200000u);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
}

TEST(LogFamilies, NegativeLogAndLogNegativeLogOfTheEstimate)
{
    NodePtr t = table({"StratumNum", "Time", "Survival"},
                      {{1, 0, 1}, {1, 2, 0.5}, {1, 4, 0.25}, {1, 5, 0}, {2, 0, 1}, {2, 3, 0.8}});
    Drawn d = draw(graph("NegLogSurvival", {t}, {num("NStrata", 2), txt("GroupName", "arm")}));
    ASSERT_EQ(d.figure.cells[0].series.size(), 2u);
    // -log 0 is not drawn; -log 0.25 = 1.386.
    const auto& p = d.figure.cells[0].series[0].pts;
    ASSERT_EQ(p.size(), 3u);
    EXPECT_NEAR(p[2].y, std::log(4.0), 1e-12);
    EXPECT_EQ(texts(*d.canvas, "legend").front(), "arm");
    d = draw(graph("LogNegLogSurvival", {t}, {txt("xLabel", "Log of days")}));
    // Time 0 and the estimates 1 and 0 drop out; x is log time.
    const auto& q = d.figure.cells[0].series[0].pts;
    ASSERT_EQ(q.size(), 2u);
    EXPECT_NEAR(q[0].x, std::log(2.0), 1e-12);
    EXPECT_NEAR(q[0].y, std::log(std::log(2.0)), 1e-12);
    EXPECT_EQ(d.figure.cells[0].x.label, "Log of days");
}

TEST(RateFamilies, DensityHazardAndTheSmoothedHazard)
{
    NodePtr lt = table({"StratumNum", "Time", "Survival", "Midpoint", "PDF", "PDF_LCL", "PDF_UCL"},
                       {{1, 0, 1, 5, 0.02, 0.01, 0.03},
                        {1, 10, 0.8, 15, 0.015, 0.008, 0.022},
                        {1, 20, 0.65, 25, 0.01, 0.004, 0.016},
                        {1, 30, 0.55, M, M, M, M}});
    Drawn d = draw(graph("Density", {lt}, {num("plotCL", 1), txt("labelCL", "95% Limits")}));
    ASSERT_EQ(d.figure.cells[0].series.size(), 1u);
    EXPECT_EQ(d.figure.cells[0].series[0].pts.size(), 3u); // by midpoint, the last has none
    EXPECT_EQ(d.canvas->of("point").size(), 3u);
    EXPECT_EQ(d.canvas->of("band-cl").size(), 1u);
    EXPECT_EQ(d.figure.cells[0].y.label, "Density");
    // Smoothed hazards of three strata, each with the bandwidth chosen for
    // it (two alike): a curve per stratum, its bandwidth beside its name.
    std::vector<std::vector<double>> rows;
    std::vector<std::string> bw;
    for (int b = 0; b < 3; ++b)
        for (int i = 0; i <= 10; ++i) {
            rows.push_back({b + 1.0, double(i), 0.1 + 0.01 * i * (b + 1)});
            bw.push_back(b == 1 ? "bw=4" : "bw=2");
        }
    NodePtr sh = table({"StratumNum", "Time", "Hazard"}, rows);
    // The bandwidth label is a text column of its own.
    std::vector<Column> cols = sh->columns.vec();
    Column bc;
    bc.name = "BandwidthLabel";
    bc.numeric = false;
    cols.push_back(bc);
    Rows r2;
    for (size_t i = 0; i < rows.size(); ++i) {
        r2.startRow();
        for (double v : rows[i])
            r2.addNumber(v);
        r2.addText(bw[i]);
    }
    sh->columns = Columns(cols);
    sh->rows = std::move(r2);
    d = draw(graph("SmoothedHazard", {sh}, {txt("Kernel", "Epanechnikov")}));
    EXPECT_EQ(d.figure.cells[0].series.size(), 3u);
    EXPECT_EQ(texts(*d.canvas, "legend"),
              (std::vector<std::string>{"1  bw=2", "2  bw=4", "3  bw=2"}));
    EXPECT_EQ(texts(*d.canvas, "subtitle"), std::vector<std::string>{"Epanechnikov Kernel"});
}

TEST(RateFamilies, JoinedLimitsBreakWhereAnIntervalHasNone)
{
    // Intervals at midpoints 25 and 45 have a hazard of 0 and no limits: the
    // band stops at 15 and starts again at 35, where it stands alone as a
    // bar; nothing of it reaches over 25 or 45.
    NodePtr lt = table({"StratumNum", "Midpoint", "Hazard", "Haz_LCL", "Haz_UCL"},
                       {{1, 5, 0.02, 0.01, 0.03},
                        {1, 15, 0.01, 0.002, 0.018},
                        {1, 25, 0, M, M},
                        {1, 35, 0.02, 0, 0.044},
                        {1, 45, 0, M, M}});
    const Drawn d = draw(graph("Hazard", {lt}, {num("plotCL", 1)}));
    const auto& pieces = d.figure.cells[0].bands.at(0).pieces;
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].x, (std::vector<double>{5, 15}));
    EXPECT_EQ(pieces[1].x, std::vector<double>{35});
    const vgr::CellTrace& t = d.cells[0];
    auto px = [&](double x) { return t.px0 + (x - t.x0) / (t.x1 - t.x0) * (t.px1 - t.px0); };
    const auto drawn = d.canvas->of("band-cl");
    ASSERT_EQ(drawn.size(), 2u); // the piece and the bar
    for (const auto* it : drawn) {
        double lo = HUGE_VAL, hi = -HUGE_VAL;
        for (const auto& cmd : it->cmds)
            if (cmd.op != vgr::Path::Close) {
                lo = std::min(lo, cmd.p.x);
                hi = std::max(hi, cmd.p.x);
            }
        for (double gap : {25.0, 45.0})
            EXPECT_FALSE(lo < px(gap) && px(gap) < hi) << gap;
    }
}

TEST(OtherFamilies, BandwidthGridIncidenceAndRestrictedMean)
{
    // The criterion over the bandwidths of two strata, one table each.
    NodePtr a = table({"StratumNum", "Bandwidth", "MISE"}, {{1, 1, 0.5}, {1, 2, 0.3}, {1, 3, 0.4}});
    NodePtr b = table({"StratumNum", "Bandwidth", "MISE"}, {{2, 1, 0.6}, {2, 2, 0.2}, {2, 3, 0.7}});
    Drawn d = draw(graph("BandwidthGrid", {a, b}, {num("NStrata", 2)}));
    EXPECT_EQ(d.figure.cells[0].series.size(), 2u);
    EXPECT_EQ(d.canvas->of("point").size(), 6u);
    // Cumulative incidence by GROUP= level, the p-value passed as text.
    NodePtr cif =
        table({"GroupNum", "Time", "CIF", "CIF_LCL", "CIF_UCL"}, {{1, 0, 0, M, M},
                                                                  {1, 2, 0.2, 0.1, 0.3},
                                                                  {1, 5, 0.4, 0.2, 0.6},
                                                                  {2, 0, 0, M, M},
                                                                  {2, 3, 0.1, 0.05, 0.2}});
    d = draw(graph("cifPlot", {cif},
                   {txt("groupNum", "GroupNum"), num("plotCL", 1), num("plotTest", 1),
                    txt("pValueDisplay", "p<0.0001)"), txt("Confidence", "95%")}));
    EXPECT_EQ(d.figure.cells[0].series.size(), 2u);
    EXPECT_TRUE(d.figure.cells[0].series[0].step);
    // A ready-made p-value text loses a stray closing bracket.
    EXPECT_EQ(texts(*d.canvas, "inset-test"),
              (std::vector<std::string>{"Gray's Test", "p<0.0001"}));
    // Restricted mean against the restriction time, limits shaded.
    NodePtr rm = table(
        {"GroupID", "Time", "Estimate", "Lower", "Upper"},
        {{1, 1, 1, 0.9, 1.1}, {1, 2, 1.8, 1.6, 2.0}, {2, 1, 0.9, 0.8, 1.0}, {2, 2, 1.5, 1.3, 1.7}});
    d = draw(graph("RMSTPlot", {rm},
                   {num("plotCL", 1), txt("groupIndex", "GroupID"), txt("yLabel", "RMST"),
                    txt("title1", "Restricted Mean Survival Time")}));
    EXPECT_EQ(d.figure.cells[0].series.size(), 2u);
    EXPECT_FALSE(d.figure.cells[0].series[0].step);
    EXPECT_EQ(texts(*d.canvas, "titles"),
              std::vector<std::string>{"Restricted Mean Survival Time"});
}

TEST(GoldenSvg, SmallGraphsByteForByte)
{
    // Review the SVG text when these change; KORV_UPDATE_GOLDEN=1 rewrites.
    const std::pair<const char*, Node> cases[] = {
        {"graph_overlay.svg", graph("ProductLimitSurvival", {twoStrata()}, overlayDynamics())},
        {"graph_loglog.svg",
         graph("LogNegLogSurvival",
               {table({"Time", "Survival"}, {{0, 1}, {2, 0.8}, {5, 0.5}, {9, 0.2}})},
               {txt("xLabel", "Log of time")})},
    };
    for (const auto& [name, g] : cases) {
        std::string why;
        const std::string svg = graphSvg(g, "gold-", why);
        ASSERT_FALSE(svg.empty()) << why;
        korvtest::compare_golden(std::string("tests/host/output/golden/") + name, svg);
    }
}

TEST(SurvivalFamily, ManyStrataDrawnOnThePoolAsOneAfterAnother)
{
    // 300 strata: their bands, curves and marks are drawn in runs on the
    // pool and the insets' corners are counted there. The SVG is the same
    // with one thread or four, and the same as one drawn on a canvas sized
    // beforehand; the recording canvas sees the same items in the same order.
    std::vector<std::vector<double>> rows;
    std::vector<std::string> strata;
    std::vector<Dynamic> dyn = {txt("method", "Product-Limit"),
                                num("NStrata", 300),
                                num("plotCensored", 1),
                                num("plotCL", 1),
                                num("plotTest", 1),
                                num("pValue", 0.03)};
    for (int k = 1; k <= 300; ++k) {
        double s = 1;
        for (int i = 0; i < 12; ++i) {
            const bool censored = (i + k) % 4 == 0;
            if (!censored)
                s *= 1 - 0.03 * ((i * k) % 5 + 1);
            rows.push_back({double(k), double(i + k % 7), censored ? M : s, s * 0.9,
                            std::min(1.0, s * 1.1), censored ? s : M});
            strata.push_back("level " + std::to_string(k));
        }
        dyn.push_back(num("NObs" + std::to_string(k), 12));
    }
    const NodePtr t = table({"StratumNum", "Time", "Survival", "SDF_LCL", "SDF_UCL", "Censored"},
                            rows, strata, "many");
    const Node g = graph("ProductLimitSurvival", {t}, dyn);
    std::string why;
    vyr::pool_configure(false, 1);
    const std::string one = graphSvg(g, "m-", why);
    const Drawn serial = draw(g);
    vyr::pool_configure(true, 4);
    const std::string four = graphSvg(g, "m-", why);
    const Drawn parallel = draw(g);
    vyr::pool_configure(true, std::thread::hardware_concurrency());
    ASSERT_FALSE(one.empty()) << why;
    EXPECT_EQ(one, four);
    vgr::Figure f;
    ASSERT_TRUE(graphFigure(g, f, why));
    const auto [w, h] = vgr::figureSize(f);
    vgr::SvgCanvas sized(w, h, "m-", g.label);
    EXPECT_DOUBLE_EQ(vgr::drawFigure(sized, f), h);
    EXPECT_EQ(sized.finish(), one);
    EXPECT_EQ(count(*parallel.canvas, "curve", RecordingCanvas::Item::Path), 300u);
    ASSERT_EQ(serial.canvas->items.size(), parallel.canvas->items.size());
    for (size_t i = 0; i < serial.canvas->items.size(); ++i) {
        const auto &a = serial.canvas->items[i], &b = parallel.canvas->items[i];
        ASSERT_EQ(a.cls, b.cls) << i;
        ASSERT_EQ(a.groups, b.groups) << i;
        ASSERT_EQ(a.cmds.size(), b.cmds.size()) << i;
        EXPECT_EQ(a.text, b.text) << i;
    }
}

TEST(SurvivalFamily, TimesNearTheLargestDoubleKeepTheirTicksAndCounts)
{
    // At-risk ticks at 0, 1e308 and 1.7e308: each tick is labelled in a
    // readable form and each count stands under its tick.
    NodePtr t = table({"tAtRisk", "Time", "Survival", "AtRisk", "Censored"},
                      {{M, 0, 1, 3, M},
                       {0, 0, M, 3, M},
                       {M, 5e307, 0.6667, 3, M},
                       {1e308, 1e308, M, 2, M},
                       {M, 1e308, 0.3333, 2, M},
                       {M, 1.7e308, 0.3333, 1, 0.3333},
                       {1.7e308, 1.7e308, M, 1, M}});
    const Drawn d = draw(graph("ProductLimitSurvival", {t},
                               {num("plotAtRisk", 1), num("yMin", -0.1), num("plotCensored", 1),
                                txt("xtickVals", "      0  1e+308 1.7e+308 ")}));
    std::map<std::string, double> tickX;
    for (const auto* it : d.canvas->of("axis-x"))
        if (it->cls == "tick-label")
            tickX[it->text] = it->at.x;
    EXPECT_EQ(tickX.size(), 3u);
    ASSERT_TRUE(tickX.count("1e+308") && tickX.count("1.7e+308"));
    EXPECT_LT(tickX["0"], tickX["1e+308"]);
    EXPECT_LT(tickX["1e+308"], tickX["1.7e+308"]);
    EXPECT_EQ(texts(*d.canvas, "atrisk-count"), (std::vector<std::string>{"3", "2", "1"}));
    EXPECT_EQ(d.canvas->of("censor").size(), 1u);
    // The median inset writes such a value with an exponent too.
    EXPECT_EQ(vgr::tickText(1.7e308, 0), "1.7e+308");
}

TEST(SurvivalFamily, AtRiskCountsAtTheAxisEndStayInsideTheFrame)
{
    // The axis ends at the last at-risk time: its counts stand inside the
    // frame, under their tick, as the counts at 0 do at the left.
    std::vector<Dynamic> dyn = overlayDynamics();
    dyn.push_back(num("maxTime", 10));
    dyn.push_back(num("yMin", -0.1));
    const Drawn d = draw(graph("ProductLimitSurvival", {twoStrata()}, dyn));
    const vgr::Rect& frame = d.cells[0].plot;
    std::map<std::string, double> tickX;
    for (const auto* it : d.canvas->of("axis-x"))
        if (it->cls == "tick-label")
            tickX[it->text] = it->at.x;
    size_t atEnd = 0;
    for (const auto* it : d.canvas->of("atrisk-count")) {
        EXPECT_GT(it->box.x0, frame.x0 + 1) << it->text;
        EXPECT_LT(it->box.x1, frame.x1 - 1) << it->text;
        if (std::fabs(it->at.x - tickX["10"]) < 1e-9)
            ++atEnd;
    }
    EXPECT_EQ(atEnd, 2u);
}

// The overlaid graph of twoStrata() with its strata's values `first` and
// `second`.
Node strataNamed(const std::string& first, const std::string& second)
{
    NodePtr t = twoStrata();
    Rows rows;
    for (size_t r = 0; r < t->rows.size(); ++r) {
        rows.startRow();
        for (size_t c = 0; c + 1 < t->columns.size(); ++c)
            rows.addNumber(t->rows.number(r, c));
        rows.addText(t->rows.number(r, 0) == 1 ? first : second);
    }
    t->rows = std::move(rows);
    std::vector<Dynamic> dyn = overlayDynamics();
    for (Dynamic& x : dyn)
        if (x.name == "StrVal1" || x.name == "StrVal2")
            x.text = x.name == "StrVal1" ? first : second;
    return graph("ProductLimitSurvival", {t}, dyn);
}

TEST(SurvivalFamily, LongStratumLabelsStayOnTheGraph)
{
    // A 90-character stratum value: the median inset (beside or below the
    // plot), the legend and the at-risk labels keep every text on the
    // canvas (draw() checks), the inset's numbers whole and its label cut.
    const std::string longName(90, 'W');
    const Drawn d = draw(strataNamed(longName, "Male"));
    const std::vector<std::string> m = texts(*d.canvas, "inset-median");
    EXPECT_NE(std::find(m.begin(), m.end(), "95% Limits"), m.end());
    EXPECT_NE(std::find(m.begin(), m.end(), "2.0 - ."), m.end());
    EXPECT_EQ(std::find(m.begin(), m.end(), longName), m.end());
    const std::vector<std::string> l = texts(*d.canvas, "legend");
    EXPECT_NE(std::find(l.begin(), l.end(), "Male"), l.end());
}

TEST(SurvivalFamily, LongLabelsThatDifferAtTheirEndsAreCutApart)
{
    // Two stratum values alike but for their last character: cut to fit,
    // the median table, the legend and the at-risk rows still tell them
    // apart.
    const std::string stem(70, 'W');
    const Drawn d = draw(strataNamed(stem + "1", stem + "2"));
    const std::vector<std::string> m = texts(*d.canvas, "inset-median");
    ASSERT_EQ(m.size(), 17u);
    const std::vector<std::string> l = texts(*d.canvas, "legend");
    const std::vector<std::string> a = texts(*d.canvas, "atrisk-label");
    ASSERT_EQ(a.size(), 2u);
    for (const auto& [one, two] : {std::pair{m[5], m[11]}, {l[1], l[2]}, {a[0], a[1]}}) {
        EXPECT_NE(one.find("..."), std::string::npos) << one;
        EXPECT_EQ(one.back(), '1') << one;
        EXPECT_EQ(two.back(), '2') << two;
    }
}

TEST(SurvivalFamily, AnAtRiskTableInsideOfManyRowsLeavesTheCurvesTheirRoom)
{
    // Strata with a row each in the table under the curves: past eight rows
    // the graph grows by the rows past the eighth, and the curves keep the
    // height they have with eight.
    auto curvesHeight = [](int n) {
        std::vector<std::vector<double>> rows;
        std::vector<std::string> labels;
        for (int k = 1; k <= n; ++k) {
            rows.push_back({double(k), M, 0, 1, 10});
            rows.push_back({double(k), 0, 0, M, 10});
            rows.push_back({double(k), M, double(k), 0.5, 5});
            rows.push_back({double(k), 50, 50, M, 1});
            for (int i = 0; i < 4; ++i)
                labels.push_back("site " + std::to_string(k));
        }
        const Drawn d = draw(graph(
            "ProductLimitSurvival",
            {table({"StratumNum", "tAtRisk", "Time", "Survival", "AtRisk"}, rows, labels, "site")},
            {num("NStrata", n), num("plotAtRisk", 1), num("yMin", -0.06)}));
        EXPECT_EQ(texts(*d.canvas, "atrisk-count").size(), 2u * n);
        return d.cells[0].dataBottom - d.cells[0].plot.y0;
    };
    const double eight = curvesHeight(8);
    EXPECT_GT(eight, 0.6 * curvesHeight(2));
    EXPECT_NEAR(curvesHeight(18), eight, 1);
}

TEST(SurvivalFamily, TheTestAcrossPanelsStandsBelowThemAndTheOutsideTableIsHonoured)
{
    // GROUP= levels in two strata panels: the test of the levels stratified
    // by the strata is set below the panels, named as such; "rowWeights"
    // (OUTSIDE) puts each panel's at-risk table below its axis.
    std::vector<std::vector<double>> rows;
    std::vector<std::string> strata;
    for (int s = 1; s <= 2; ++s)
        for (int g = 1; g <= 2; ++g) {
            rows.push_back({double(s), double(g), M, 0, 1, 4});
            rows.push_back({double(s), double(g), 0, 0, M, 4});
            rows.push_back({double(s), double(g), M, 2.0 * g, 0.5, 2});
            rows.push_back({double(s), double(g), 5, 5, M, 1});
            for (int k = 0; k < 4; ++k)
                strata.push_back(s == 1 ? "adeno" : "squamous");
        }
    NodePtr t = table({"StratumNum", "GroupNum", "tAtRisk", "Time", "Survival", "AtRisk"}, rows,
                      strata, "celltype");
    const std::vector<Dynamic> dyn = {num("nRows", 1),
                                      num("nColumns", 2),
                                      txt("HeaderDisplay", "NAMEVALUE"),
                                      num("PanelNum", 1),
                                      txt("GroupVar", "trt"),
                                      num("yMin", -0.06),
                                      num("plotAtRisk", 1),
                                      txt("rowWeights", "PREFERRED"),
                                      num("plotTest", 1),
                                      txt("testName", "Log-Rank"),
                                      txt("testPval", "p=0.4022")};
    const Drawn d = draw(graph("ProductLimitSurvivalPanelSG", {t}, dyn));
    ASSERT_EQ(d.cells.size(), 2u);
    EXPECT_EQ(texts(*d.canvas, "inset-test"),
              (std::vector<std::string>{"Stratified Log-Rank", "p=0.4022"}));
    for (const auto* it : d.canvas->of("inset-test")) {
        EXPECT_FALSE(it->in("cell")) << it->text;
        for (const vgr::CellTrace& c : d.cells) {
            if (it->kind == RecordingCanvas::Item::Text) {
                EXPECT_GT(it->box.y0, c.plot.y1) << it->text;
            }
        }
    }
    EXPECT_TRUE(d.canvas->of("atrisk-inside").empty());
    EXPECT_EQ(texts(*d.canvas, "atrisk-count").size(), 8u);
    for (const auto* it : d.canvas->of("atrisk-count"))
        EXPECT_GT(it->box.y0, d.cells[0].plot.y1 + 10) << it->text;
    // Without GROUP= the panels are the strata and the test compares them:
    // below the panels too, under its own name.
    NodePtr plain = table({"StratumNum", "Time", "Survival"},
                          {{1, 0, 1}, {1, 3, 0.5}, {2, 0, 1}, {2, 4, 0.25}}, {"a", "a", "b", "b"});
    const Drawn p = draw(graph("ProductLimitSurvivalPanel", {plain},
                               {num("nRows", 2), num("nColumns", 1), num("plotTest", 1),
                                txt("TestName", "Wilcoxon"), num("pValue", 0.25)}));
    EXPECT_EQ(texts(*p.canvas, "inset-test"), (std::vector<std::string>{"Wilcoxon", "p=0.2500"}));
    for (const auto* it : p.canvas->of("inset-test"))
        EXPECT_FALSE(it->in("cell")) << it->text;
}

TEST(SurvivalFamily, APageOfPanelsDrawnFromItsOwnPlotDataAlone)
{
    // The second page names only its own stratum's data: that is the page,
    // whatever "PanelNum" says; from every page's data it picks its own.
    NodePtr fifth =
        table({"StratumNum", "Time", "Survival"}, {{5, 0, 1}, {5, 3, 0.5}}, {"5", "5"}, "ecog");
    const std::vector<Dynamic> dyn = {num("nRows", 2), num("nColumns", 2),
                                      txt("HeaderDisplay", "VALUE"), num("PanelNum", 2)};
    const Drawn d = draw(graph("ProductLimitSurvivalPanel", {fifth}, dyn));
    EXPECT_EQ(texts(*d.canvas, "panel-header"), std::vector<std::string>{"5"});
    EXPECT_EQ(count(*d.canvas, "curve", RecordingCanvas::Item::Path), 1u);
}

TEST(SurvivalFamily, PastTheCurvesALegendNamesItSaysHowManyInstead)
{
    // 40 strata: a legend line each and the median table. 41: no line per
    // curve and no table, a note of the curves drawn; the curves stay.
    auto strata = [](int n) {
        std::vector<std::vector<double>> rows;
        std::vector<std::string> labels;
        std::vector<Dynamic> dyn = {num("NStrata", n), txt("GroupName", "site"),
                                    num("plotCensored", 1)};
        for (int k = 1; k <= n; ++k) {
            rows.push_back({double(k), 0, 1, M});
            rows.push_back({double(k), double(k), 0.5, M});
            rows.push_back({double(k), k + 1.0, M, 0.5});
            for (int i = 0; i < 3; ++i)
                labels.push_back("site " + std::to_string(k));
            dyn.push_back(num("NObs" + std::to_string(k), 2));
            dyn.push_back(num("NEvent" + std::to_string(k), 1));
            dyn.push_back(num("Median" + std::to_string(k), k));
        }
        return graph("ProductLimitSurvival",
                     {table({"StratumNum", "Time", "Survival", "Censored"}, rows, labels, "site")},
                     dyn);
    };
    Drawn d = draw(strata(40));
    EXPECT_EQ(texts(*d.canvas, "legend").size(), 42u); // title, 40 strata, "Censored"
    EXPECT_FALSE(d.canvas->of("inset-median").empty());
    d = draw(strata(41));
    EXPECT_EQ(count(*d.canvas, "curve", RecordingCanvas::Item::Path), 41u);
    EXPECT_EQ(texts(*d.canvas, "legend"),
              (std::vector<std::string>{"41 curves, too many to name in a legend", "Censored"}));
    EXPECT_TRUE(d.canvas->of("inset-median").empty());
    EXPECT_LT(vgr::figureSize(d.figure).second, 600);
}

TEST(OtherFamilies, APageOfIncidencePanelsReadsItsOwnStrataRows)
{
    // Five strata of two GROUP= levels in one table, six rows a stratum, as
    // the competing-risks road writes them; pages of four panels. Page 2
    // reads the fifth stratum's rows alone, through an index of the strata
    // made once for every page; it draws what it drew from the whole table.
    auto cif = [](const std::vector<int>& order) {
        std::vector<std::vector<double>> rows;
        std::vector<std::string> strata;
        for (int s : order)
            for (int g = 1; g <= 2; ++g)
                for (int i = 0; i < 3; ++i) {
                    rows.push_back({double(s), double(g), double(i * (s + g)), 0.1 * i * g});
                    strata.push_back(std::to_string(s));
                }
        return table({"StratumNum", "GroupNum", "Time", "CIF"}, rows, strata, "site");
    };
    auto page = [](const NodePtr& t, int n) {
        return graph("cifPanel", {t},
                     {num("nRows", 2), num("nColumns", 2), num("PanelNum", n),
                      txt("HeaderDisplay", "VALUE"), txt("groupNum", "GroupNum")});
    };
    const NodePtr ordered = cif({1, 2, 3, 4, 5});
    EXPECT_EQ(graphDataRows(page(ordered, 1)), (std::pair<size_t, size_t>{0, 24}));
    const auto* index = ordered->cellRuns.get();
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(graphDataRows(page(ordered, 2)), (std::pair<size_t, size_t>{24, 30}));
    EXPECT_EQ(ordered->cellRuns.get(), index);
    const Drawn own = draw(page(ordered, 2));
    ASSERT_EQ(own.figure.cells.size(), 1u);
    ASSERT_EQ(own.figure.cells[0].series.size(), 2u);
    // The vertices keep their rows' places in the table.
    EXPECT_EQ(own.figure.cells[0].series[1].rows, (std::vector<long>{27, 28, 29}));
    // Strata out of order: the page is picked from the whole table, alike.
    const NodePtr shuffled = cif({2, 5, 1, 3, 4});
    EXPECT_EQ(graphDataRows(page(shuffled, 2)), (std::pair<size_t, size_t>{0, 30}));
    const Drawn whole = draw(page(shuffled, 2));
    EXPECT_EQ(texts(*whole.canvas, "panel-header"), texts(*own.canvas, "panel-header"));
    EXPECT_EQ(texts(*own.canvas, "panel-header"), std::vector<std::string>{"5"});
    ASSERT_EQ(whole.canvas->items.size(), own.canvas->items.size());
    for (size_t i = 0; i < own.canvas->items.size(); ++i)
        EXPECT_EQ(whole.canvas->items[i].cmds.size(), own.canvas->items[i].cmds.size()) << i;
    // One page of strata: the whole table is the page.
    EXPECT_EQ(graphDataRows(page(cif({1, 2, 3}), 1)), (std::pair<size_t, size_t>{0, 18}));
}

// At-risk times of which one pair crowds (0, 30, 60, 90 on an axis to 730):
// only the labels that would overlap are left out, 365 keeps its label in
// the room it has, the counts keep a size read easily (those that would
// overlap are left out in both rows alike), and no count stands under a
// tick without a label.
TEST(SurvivalFamily, CrowdedAtRiskTimesLoseOnlyWhatCollides)
{
    const std::vector<double> at = {0, 30, 60, 90, 180, 365, 730};
    std::vector<std::vector<double>> rows;
    for (int s = 1; s <= 2; ++s) {
        rows.push_back({static_cast<double>(s), M, 0, 1, 0, 140, M});
        for (size_t i = 0; i < at.size(); ++i) {
            const double n = 140 - 18.0 * static_cast<double>(i) - s;
            rows.push_back({static_cast<double>(s), at[i], at[i], M, M, n, M});
            rows.push_back({static_cast<double>(s), M, at[i] + 5, 0.95 - 0.12 * i, 1, n, M});
        }
        rows.push_back({static_cast<double>(s), M, 1022, 0.1, 1, 1, M});
    }
    std::vector<std::string> strata;
    for (const auto& r : rows)
        strata.push_back(r[0] == 1 ? "1" : "2");
    NodePtr t = table({"StratumNum", "tAtRisk", "Time", "Survival", "Event", "AtRisk", "Censored"},
                      rows, strata, "sex");
    const Drawn d = draw(graph("ProductLimitSurvival2", {t},
                               {num("plotAtRisk", 1), txt("classAtRisk", "Stratum"),
                                txt("rowWeights", "PREFERRED"), num("plotCensored", 1)}));
    std::map<double, std::string> labelAt; // x of each labelled tick
    for (const auto* it : d.canvas->of("axis-x"))
        if (it->cls == "tick-label")
            labelAt[it->at.x] = it->text;
    std::set<std::string> labels;
    for (const auto& [x, text] : labelAt)
        labels.insert(text);
    for (const char* want : {"0", "180", "365", "730"})
        EXPECT_TRUE(labels.count(want)) << want;
    EXPECT_GE(labels.size(), 5u);
    size_t counts = 0;
    for (const auto* it : d.canvas->of("atrisk-count")) {
        if (it->kind != RecordingCanvas::Item::Text)
            continue;
        ++counts;
        EXPECT_GE(it->style.size, 8) << it->text;
        EXPECT_TRUE(labelAt.count(it->at.x)) << it->text << " at " << it->at.x;
    }
    EXPECT_EQ(counts % 2, 0u);
    EXPECT_GE(counts, 2 * labels.size() - 2);
}

// Two strata with at-risk rows at `at` (counts from `n`) on an axis to
// 1022, drawn with the at-risk table outside; what shows at each time.
struct AtRiskShown {
    Drawn d;
    std::map<double, std::string> labelAt; // x of each labelled tick
    std::map<double, size_t> countsAt;     // x of each count: how many rows
    std::map<double, double> timeAt;       // x of each at-risk time
};

AtRiskShown drawAtRiskTimes(const std::vector<double>& at, double (*n)(int s, size_t i))
{
    std::vector<std::vector<double>> rows;
    for (int s = 1; s <= 2; ++s) {
        rows.push_back({static_cast<double>(s), M, 0, 1, 0, n(s, 0), M});
        for (size_t i = 0; i < at.size(); ++i) {
            rows.push_back({static_cast<double>(s), at[i], at[i], M, M, n(s, i), M});
            rows.push_back({static_cast<double>(s), M, at[i] + 5, 0.95 - 0.05 * i, 1, n(s, i), M});
        }
        rows.push_back({static_cast<double>(s), M, 1022, 0.05, 1, 1, M});
    }
    std::vector<std::string> strata;
    for (const auto& r : rows)
        strata.push_back(r[0] == 1 ? "1" : "2");
    NodePtr t = table({"StratumNum", "tAtRisk", "Time", "Survival", "Event", "AtRisk", "Censored"},
                      rows, strata, "sex");
    AtRiskShown a{
        draw(graph("ProductLimitSurvival2", {t},
                   {num("plotAtRisk", 1), txt("classAtRisk", "Stratum"), num("plotCensored", 1)})),
        {},
        {},
        {}};
    const vgr::CellTrace& c = a.d.cells.at(0);
    for (double t : at)
        a.timeAt[c.px0 + (t - c.x0) / (c.x1 - c.x0) * (c.px1 - c.px0)] = t;
    for (const auto* it : a.d.canvas->of("axis-x"))
        if (it->cls == "tick-label")
            a.labelAt[it->at.x] = it->text;
    for (const auto* it : a.d.canvas->of("atrisk-count"))
        if (it->kind == RecordingCanvas::Item::Text) {
            ++a.countsAt[it->at.x];
            EXPECT_EQ(it->style.size, 10) << it->text;
        }
    return a;
}

// The times of `a` at the x positions of `m`, or of those not in `m`.
template <class Map> std::vector<double> timesOf(const AtRiskShown& a, const Map& m, bool in = true)
{
    std::vector<double> v;
    for (const auto& [x, t] : a.timeAt) {
        bool found = false;
        for (const auto& e : m)
            found = found || std::abs(e.first - x) < 0.01;
        if (found == in)
            v.push_back(t);
    }
    return v;
}

// Labels and counts are left out only where they would really overlap,
// and each time left without is named for what it lacks. Nine times 40
// apart on an axis to 1022 (lung by sex): their labels stand about 5 pixels
// apart and their counts fit at full size, so all show. Times 30 apart with
// counts of one digit: the counts fit, the three-digit labels do not; the
// counts stay under bare ticks, named as such. Times 10 apart with counts of
// three digits: a crowded table still thins out, names the times it leaves
// without counts, and no count stands under a bare tick there.
TEST(SurvivalFamily, AtRiskTimesLoseOnlyWhatReallyOverlapsAndSayWhy)
{
    const AtRiskShown nine =
        drawAtRiskTimes({0, 40, 80, 120, 160, 200, 240, 280, 320}, [](int s, size_t i) {
            return 138.0 - 11 * static_cast<double>(i) - 48 * (s - 1);
        });
    EXPECT_EQ(nine.labelAt.size(), 9u);
    EXPECT_EQ(timesOf(nine, nine.countsAt).size(), 9u);
    for (const auto& [x, rows] : nine.countsAt)
        EXPECT_EQ(rows, 2u) << x;
    EXPECT_TRUE(nine.d.cells[0].countsLeftOut.empty());
    EXPECT_TRUE(nine.d.cells[0].labelsLeftOut.empty());

    const AtRiskShown late =
        drawAtRiskTimes({0, 700, 730, 760, 790, 820, 850}, [](int s, size_t i) {
            return i == 0 ? 138.0 : 9.0 - static_cast<double>(i) - (s - 1);
        });
    EXPECT_EQ(timesOf(late, late.countsAt).size(), 7u);
    EXPECT_TRUE(late.d.cells[0].countsLeftOut.empty());
    const std::vector<double> bare = timesOf(late, late.labelAt, false);
    EXPECT_FALSE(bare.empty());
    EXPECT_EQ(late.d.cells[0].labelsLeftOut, bare);

    const AtRiskShown crowded =
        drawAtRiskTimes({0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, [](int s, size_t i) {
            return 138.0 - 2 * static_cast<double>(i) - 48 * (s - 1);
        });
    const std::vector<double> without = timesOf(crowded, crowded.countsAt, false);
    EXPECT_GE(without.size(), 5u);
    EXPECT_EQ(crowded.d.cells[0].countsLeftOut, without);
    EXPECT_TRUE(crowded.d.cells[0].labelsLeftOut.empty());
    for (const auto& [x, rows] : crowded.countsAt)
        EXPECT_TRUE(crowded.labelAt.count(x)) << "a count under a bare tick at " << x;
}

// An at-risk time whose counts are left out keeps its label where it does
// not overlap another, as a time whose counts show does: ATRISK=0 30 60 90
// 180 365 730 on an axis to 1022 (lung by sex). The counts at 30 and 90
// would stand within 4 pixels of those at 0 and 60 even at 8 pixels and are
// left out, named as such; their labels stand about 5 pixels from their
// neighbours', and all seven show.
TEST(SurvivalFamily, AtRiskTimesWithoutCountsKeepLabelsThatDoNotOverlap)
{
    const AtRiskShown a = drawAtRiskTimes({0, 30, 60, 90, 180, 365, 730}, [](int s, size_t i) {
        static const double n[2][7] = {{138, 132, 124, 114, 89, 35, 7},
                                       {90, 90, 89, 86, 71, 30, 6}};
        return n[s - 1][i];
    });
    EXPECT_EQ(a.d.cells[0].countsLeftOut, (std::vector<double>{30, 90}));
    EXPECT_EQ(timesOf(a, a.countsAt, false), (std::vector<double>{30, 90}));
    EXPECT_EQ(timesOf(a, a.labelAt, false), std::vector<double>{});
    EXPECT_TRUE(a.d.cells[0].labelsLeftOut.empty());
}

// The median inset of one curve has no column of row labels: its first
// column, the subjects, is set flush right like every other number.
TEST(SurvivalFamily, TheSubjectsOfAOneCurveInsetAreSetFlushRight)
{
    NodePtr t = table({"Time", "Survival", "Censored"},
                      {{0, 1, M}, {2, 0.75, M}, {3, M, 0.75}, {6, 0.375, M}, {8, M, 0.375}});
    const Drawn d = draw(graph("ProductLimitSurvival", {t},
                               {num("NObs", 4), num("NEvent", 2), num("Median", 6),
                                num("LowerMedian", 2), num("UpperMedian", M)}));
    const auto items = d.canvas->of("inset-median");
    std::vector<const RecordingCanvas::Item*> text;
    for (const auto* it : items)
        if (it->kind == RecordingCanvas::Item::Text)
            text.push_back(it);
    ASSERT_EQ(text.size(), 10u); // five headings, five values
    EXPECT_EQ(text[0]->text, "Subjects");
    EXPECT_EQ(text[5]->text, "4");
    for (size_t k = 0; k < 5; ++k)
        EXPECT_NEAR(text[k]->box.x1, text[k + 5]->box.x1, 1e-9) << text[k]->text;
}
