// The restricted-mean plots: 100 points per curve on each cell's own time
// range (checked against R's survival at some of them), lower limits kept at
// 0, which tables carry which curves, and the graph requests of the three
// arrangements: overlaid per outer node, one per cell, and panels of two or
// four cells.
#include "run.h"

#include <map>
#include <set>

#include "support/reference.h"

using korvtest::Near;
using korvtest::Table;
using rmstest::num;

namespace
{

const korvjson::Value* dyn(const korvjson::Value* graph)
{
    return graph ? graph->get("dynamics") : nullptr;
}

// The plot-data tables (named RMST for both analyses) that follow the
// estimates tables; with PRINTPHANTOM they are in the output.
std::vector<const korvjson::Value*> plotTables(const rmstest::Run& r)
{
    std::vector<const korvjson::Value*> out;
    for (const korvjson::Value* t : r.tables("RMST"))
        if (t->text("template").find(".RMS") != std::string::npos &&
            t->text("template").find(".RMST") == std::string::npos)
            out.push_back(t);
    return out;
}

// Five cells of one STRATA variable, one of them (D) without data.
std::string fiveCells()
{
    std::string d = "t,s,g,f\n";
    const char* levels[] = {"A", "B", "C", "D", "E", "F"};
    for (int g = 0; g < 6; ++g)
        for (int i = 1; i <= 6; ++i)
            d += std::to_string(i * (g + 2)) + "," + std::to_string(i % 3 != 0) + "," + levels[g] +
                 "," + (g == 3 ? "0" : "1") + "\n";
    return d;
}

} // namespace

TEST(Plots, OneHundredPointsPerCurveOnTheCellsOwnRange)
{
    const rmstest::Run r =
        rmstest::run("proc korvante data=lung rmst rmtl notable printphantom "
                     "plots=(rmst(cl) rmtl); time time*status(1); strata sex; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto tables = plotTables(r);
    ASSERT_EQ(tables.size(), 2u); // one per analysis: both sexes overlaid
    Table ref("rmst_grid.csv");
    for (size_t a = 0; a < 2; ++a) {
        SCOPED_TRACE(a ? "RMTL" : "RMST");
        const auto rows = korvjson::rows(tables[a]);
        ASSERT_EQ(rows.size(), 200u);
        std::map<double, std::vector<const korvjson::Value*>> bySex;
        for (const korvjson::Value* row : rows)
            bySex[num(row, "sex")].push_back(row);
        ASSERT_EQ(bySex.size(), 2u);
        for (const auto& [sex, pts] : bySex) {
            ASSERT_EQ(pts.size(), 100u);
            for (size_t i = 0; i < ref.size(); ++i) {
                if (ref.num(i, "sex") != sex)
                    continue;
                const auto k = static_cast<size_t>(ref.num(i, "k"));
                const korvjson::Value* p = pts[k - 1];
                const double tau = ref.num(i, "tau");
                EXPECT_TRUE(Near(num(p, "Time"), tau, 1e-15)) << k;
                const double rmst = ref.num(i, "rmst");
                EXPECT_TRUE(Near(num(p, "Estimate"), a ? tau - rmst : rmst, 1e-10, 1e-12)) << k;
                if (a == 0) {
                    EXPECT_TRUE(Near(num(p, "StdErr"), ref.num(i, "se"), 1e-9, 1e-12)) << k;
                    EXPECT_TRUE(Near(num(p, "Upper") - num(p, "Lower"),
                                     2 * 1.959963984540054 * ref.num(i, "se"), 1e-9, 1e-12));
                }
            }
            // The curve is non-decreasing (RMST) and ends at the cell's own
            // largest time.
            for (size_t i = 1; i < pts.size(); ++i)
                EXPECT_GE(num(pts[i], "Estimate"), num(pts[i - 1], "Estimate"));
        }
    }
    // One overlaid graph per analysis, over its table; limits only where asked.
    const auto g = r.graphs();
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0]->text("template"), "STAT.KORVANTE.Graphics.RMSTPlot");
    EXPECT_EQ(g[1]->text("template"), "STAT.KORVANTE.Graphics.RMTLPlot");
    EXPECT_EQ(g[0]->get("data")->items[0].str, tables[0]->text("path"));
    EXPECT_EQ(dyn(g[0])->number("Transparency"), 1 - 0.9 / 2);
    EXPECT_EQ(dyn(g[0])->text("title1"), "Restricted Mean Survival Times");
    EXPECT_EQ(dyn(g[0])->text("group"), "sex");
    EXPECT_EQ(dyn(g[1])->get("plotCL"), nullptr);
    EXPECT_EQ(dyn(g[1])->text("yLabel"), "RMTL");
    EXPECT_EQ(dyn(g[1])->text("title1"), "Restricted Mean Times Lost");
    // The limits of the estimates and of the plot data carry one label each.
    const rmstest::Run cl = rmstest::run("proc korvante data=lung rmst(cl) notable printphantom "
                                         "plots=rmst(cl); time time*status(1); strata sex; run;");
    std::map<std::string, std::string> labels;
    for (const korvjson::Value* t : cl.tables("RMST"))
        for (const korvjson::Value& c : t->get("columns")->items)
            labels[c.text("name")] = c.text("label");
    EXPECT_EQ(labels["UpperLimit"], labels["Upper"]);
    EXPECT_EQ(labels["LowerLimit"], labels["Lower"]);
    EXPECT_NE(labels["Upper"], labels["Lower"]);
}

TEST(Plots, OverlaidPerStratumWithGroups)
{
    const rmstest::Run r = rmstest::run("proc korvante data=veteran rmst notable printphantom "
                                        "plots=rmst(cl); time time*status(0); strata trt / "
                                        "group=celltype; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto g = r.graphs();
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(dyn(g[0])->number("Transparency"), 1 - 0.9 / 4);
    EXPECT_EQ(dyn(g[0])->text("title1"), "Restricted Mean Survival Times for trt = 1");
    EXPECT_EQ(dyn(g[1])->text("title1"), "Restricted Mean Survival Times for trt = 2");
    EXPECT_EQ(dyn(g[0])->text("groupName"), "celltype");
    EXPECT_EQ(korvjson::rows(plotTables(r)[0]).size(), 400u);
}

TEST(Plots, OneGraphPerCellWhenUnpacked)
{
    const rmstest::Run r = rmstest::run("proc korvante data=veteran rmst notable "
                                        "plots=rmst(strata=individual); time time*status(0); "
                                        "strata celltype; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto groups = r.groups("RMSTPlots");
    ASSERT_EQ(groups.size(), 1u);
    const auto g = korvjson::find(*groups[0], "graph");
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(dyn(g[0])->text("title1"), "Restricted Mean Survival Time for celltype = adeno");
    EXPECT_EQ(dyn(g[0])->get("group"), nullptr);
    EXPECT_EQ(dyn(g[0])->get("Transparency"), nullptr);
}

TEST(Plots, PanelsOfTwoOrFourCells)
{
    const struct {
        const char* program;
        size_t panels;
        int rows;
        const char* header;
        size_t cells;
        bool group;
    } cases[] = {
        // One cell holding the GROUP= levels: no STRATA variables.
        {"proc korvante data=lung rmst notable plots=rmst(strata=panel); time time*status(1); "
         "strata / group=sex; run;",
         1, 2, "NAMEVALUE", 1, false},
        // Two cells: one panel of one row.
        {"proc korvante data=lung rmst notable plots=rmst(strata=panel); time time*status(1); "
         "strata "
         "sex; run;",
         1, 1, "VALUE", 2, false},
        // Five cells with data (D has none): two panels in a group.
        {"proc korvante data=five rmst notable plots=rmst(strata=panel); time t*s(0); freq f; "
         "strata g; run;",
         2, 2, "VALUE", 5, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        const rmstest::Run r = rmstest::run(c.program, {{"five.csv", fiveCells()}});
        ASSERT_EQ(r.status, 0) << r.log;
        const auto g = r.graphs();
        ASSERT_EQ(g.size(), c.panels);
        EXPECT_EQ(r.groups("RMSTPlots").size(), c.group ? 1u : 0u);
        for (size_t p = 0; p < g.size(); ++p) {
            EXPECT_EQ(g[p]->text("template"), "STAT.KORVANTE.Graphics.RMSTPanel");
            EXPECT_EQ(dyn(g[p])->number("nRows"), c.rows);
            EXPECT_EQ(dyn(g[p])->number("nColumns"), 2);
            EXPECT_EQ(dyn(g[p])->number("PanelNum"), static_cast<double>(p + 1));
            EXPECT_EQ(dyn(g[p])->text("HeaderDisplay"), c.header);
            EXPECT_EQ(dyn(g[p])->text("yName"), "RMST");
            // Every cell has a table with a path: none is left unset.
            const auto& paths = g[p]->get("data")->items;
            ASSERT_EQ(paths.size(), c.cells);
            std::set<std::string> distinct;
            for (const korvjson::Value& path : paths) {
                EXPECT_FALSE(path.str.empty());
                distinct.insert(path.str);
            }
            EXPECT_EQ(distinct.size(), c.cells);
        }
    }
}

// With neither STRATA variables nor GROUP= the one curve is drawn as without
// STRATA=PANEL, in the plain plot, and a note says so.
TEST(Plots, PanelOfOneCurveIsThePlainPlot)
{
    const rmstest::Run r = rmstest::run(
        "proc korvante data=lung rmst notable plots=rmst(strata=panel); time time*status(1); run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto g = r.graphs();
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0]->text("template"), "STAT.KORVANTE.Graphics.RMSTPlot");
    EXPECT_NE(r.log.find("NOTE: STRATA=PANEL in PLOTS=RMST has no effect without STRATA "
                         "variables or GROUP=: there is one curve, in one graph."),
              std::string::npos)
        << r.log;
}

TEST(Plots, PanelsOfTimeLostAndOfGroups)
{
    // RMTL panels are named for RMTL; with GROUP= each stratum is a cell
    // holding all its levels' curves.
    const rmstest::Run r = rmstest::run(
        "proc korvante data=veteran rmtl notable printphantom plots=rmtl(cl strata=panel); "
        "time time*status(0); strata trt / group=celltype; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto g = r.graphs();
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0]->text("template"), "STAT.KORVANTE.Graphics.RMTLPanel");
    EXPECT_EQ(g[0]->text("name"), "RMTLPlot");
    EXPECT_EQ(dyn(g[0])->text("yName"), "RMTL");
    EXPECT_EQ(dyn(g[0])->number("Multicurves"), 1);
    EXPECT_EQ(dyn(g[0])->number("Transparency"), 1 - 0.9 / 4);
    EXPECT_EQ(g[0]->get("data")->items.size(), 2u);
    // The panel tables carry the stratum's label in a second column.
    const auto tables = plotTables(r);
    ASSERT_EQ(tables.size(), 2u);
    const auto rows = korvjson::rows(tables[1]);
    ASSERT_EQ(rows.size(), 400u);
    EXPECT_EQ(rows[0]->text("Stratum"), "trt = 2");
}

// Early on a curve of aml the time lost is small and its standard error about
// as large: estimate - z se falls below 0 there, and the lower limit is kept
// at 0, for the RMST and the RMTL alike (R's survival, rmst_plot_limits.csv).
TEST(Plots, LowerLimitsKeptAtZero)
{
    const rmstest::Run r =
        rmstest::run("proc korvante data=aml rmst rmtl notable printphantom "
                     "plots=(rmst(cl) rmtl(cl)); time time*status(0); strata x; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto tables = plotTables(r);
    ASSERT_EQ(tables.size(), 2u);
    Table ref("rmst_plot_limits.csv");
    int below = 0;
    for (size_t a = 0; a < 2; ++a) {
        SCOPED_TRACE(a ? "RMTL" : "RMST");
        std::map<std::string, std::vector<const korvjson::Value*>> byArm;
        for (const korvjson::Value* row : korvjson::rows(tables[a])) {
            byArm[row->text("x")].push_back(row);
            EXPECT_GE(num(row, "Lower"), 0.0) << num(row, "Time");
        }
        ASSERT_EQ(byArm.size(), 2u);
        for (size_t i = 0; i < ref.size(); ++i) {
            const auto& pts = byArm[ref.text(i, "x")];
            ASSERT_EQ(pts.size(), 100u);
            const auto k = static_cast<size_t>(ref.num(i, "k"));
            const korvjson::Value* p = pts[k - 1];
            EXPECT_TRUE(Near(num(p, "Time"), ref.num(i, "tau"), 1e-15)) << k;
            EXPECT_TRUE(Near(num(p, "StdErr"), ref.num(i, "se"), 1e-9, 1e-12)) << k;
            EXPECT_TRUE(Near(num(p, "Estimate"), ref.num(i, a ? "rmtl" : "rmst"), 1e-10, 1e-12));
            EXPECT_TRUE(
                Near(num(p, "Lower"), ref.num(i, a ? "lower_rmtl" : "lower_rmst"), 1e-9, 1e-12))
                << ref.text(i, "x") << " " << k;
            below += a && ref.num(i, "unfloored_rmtl") < 0;
        }
    }
    // The data reach below 0 without the floor, in both arms.
    EXPECT_EQ(below, 17);
}
