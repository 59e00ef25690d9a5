// Whole steps with PLOTS=HAZARD run in-process through the session: the
// smoothed-hazard tables (shown with PRINTPHANTOM) against the independent
// script's values, the chosen bandwidths, the graph requests of one stratum
// and across strata, and the refusals and notes of unusable settings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "estimate/korvkrn.h"
#include "frame/frame.h"
#include "support/estimate_sample.h"
#include "support/json.h"
#include "support/steprun.h"
#include "vyr_output.h"
#include "vyr_session.h"

using namespace est_test;
using korvjson::Value;

namespace
{

namespace fs = std::filesystem;

struct StepRun {
    int status = -1;
    std::string log, listing;
    std::shared_ptr<const Value> doc;
    std::vector<const Value*> tables, mise, graphs;
    const Value* graph(const std::string& name) const
    {
        for (const Value* g : graphs)
            if ((*g)["name"].str == name)
                return g;
        return nullptr;
    }
};

// Runs `program` on the data sets of `data` (a folder from the top of the
// source tree) through the shared step runner.
StepRun run(const std::string& program, const std::string& data = "examples")
{
    steprun::StepRun s = steprun::run_on(program, data);
    StepRun r;
    r.status = s.status;
    r.log = std::move(s.log);
    r.listing = std::move(s.listing);
    r.doc = s.doc ? s.doc : std::make_shared<Value>();
    for (const Value& step : (*r.doc)["steps"].items) {
        korvjson::collect(step["items"], "table", "HazardRate", r.tables);
        korvjson::collect(step["items"], "table", "MISE", r.mise);
        korvjson::collect(step["items"], "graph", "", r.graphs);
    }
    // The smoothed-hazard graphs (the survival graphs each step draws by
    // default are left out).
    std::vector<const Value*> hazard;
    for (const Value* g : r.graphs)
        if ((*g)["template"].str.find("Survival") == std::string::npos)
            hazard.push_back(g);
    r.graphs = hazard;
    return r;
}

double num(const Value& v)
{
    return v.kind == Value::Number ? v.num : korv_missing();
}

// The reference rows of one case and kernel.
std::vector<size_t> refRows(const Table& ref, const std::string& id, const std::string& kernel)
{
    std::vector<size_t> rows;
    for (size_t k = 0; k < ref.size(); ++k)
        if (ref.text(k, "case") == id && ref.text(k, "kernel") == kernel)
            rows.push_back(k);
    return rows;
}

// Table rows (from `from`) against reference rows.
void expectRows(const Value& table, size_t from, const std::vector<size_t>& want)
{
    static const Table ref("smoothed_hazard.csv");
    const auto& rows = table["rows"].items;
    ASSERT_EQ(rows.size(), from + want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const Value& row = rows[from + i];
        const size_t k = want[i];
        EXPECT_TRUE(close(num(row["Time"]), ref.num(k, "time"), 1e-12)) << i;
        EXPECT_TRUE(close(num(row["Hazard"]), ref.num(k, "hazard"), 1e-9)) << i;
        EXPECT_TRUE(close(num(row["StdErr"]), ref.num(k, "stderr"), 1e-9)) << i;
        EXPECT_TRUE(close(num(row["Lower"]), value(ref, k, "lower"), 1e-9)) << i;
    }
}

} // namespace

// One stratum with a bandwidth list and limits: the table carries the first
// bandwidth of least MISE, and the stratum's own graphs are drawn from its
// outputs.
TEST(SmoothedRun, OneStratumWithABandwidthList)
{
    StepRun r = run("proc korvante data=lung plots=hazard(cl bw=30 100 10) printphantom notable;"
                    "time time*status(1); run;");
    EXPECT_EQ(r.status, 0) << r.log;
    ASSERT_EQ(r.tables.size(), 1u) << r.log;
    Table ref("smoothed_hazard.csv");
    expectRows(*r.tables[0], 0, refRows(ref, "lung", "E"));
    // 100 is the reference's bandwidth: its MISE is the least of the three.
    EXPECT_EQ((*r.tables[0])["rows"].items[0]["BandwidthLabel"].str, "bw=  100.00");
    const Value* hg = r.graph("HazardPlot");
    const Value* bg = r.graph("BandwidthGrid");
    ASSERT_TRUE(hg && bg);
    EXPECT_EQ((*hg)["template"].str, "Stat.Korvante.Graphics.SmoothedHazard");
    ASSERT_EQ((*hg)["data"].items.size(), 1u);
    EXPECT_EQ((*hg)["data"].items[0].str, (*r.tables[0])["path"].str);
    EXPECT_EQ((*hg)["dynamics"]["Kernel"].str, "Epanechnikov");
    EXPECT_TRUE((*hg)["dynamics"].has("Bandwidth") && (*hg)["dynamics"].has("confLimits"));
    EXPECT_EQ((*bg)["data"].items.size(), 1u);
}

// The MISE of a bandwidth list is the bandwidth graph's plot data: printed
// and kept in the JSON with PRINTPHANTOM, each bandwidth's value that of the
// independent script, and left out without it while the graph still draws.
TEST(SmoothedRun, TheMiseOfABandwidthListIsShownWithPrintphantom)
{
    Table ref("smoothed_mise.csv");
    std::vector<size_t> want;
    std::string list;
    for (size_t k = 0; k < ref.size(); ++k)
        if (ref.text(k, "case") == "lung" && ref.text(k, "kernel") == "E") {
            want.push_back(k);
            char b[40];
            std::snprintf(b, sizeof b, " %.17g", ref.num(k, "bw"));
            list += b;
        }
    ASSERT_EQ(want.size(), 12u);
    const std::string step =
        "data=lung notable plots=hazard(bw=" + list + "); time time*status(1); run;";
    StepRun shown = run("proc korvante printphantom " + step);
    EXPECT_EQ(shown.status, 0) << shown.log;
    ASSERT_EQ(shown.mise.size(), 1u) << shown.log;
    const auto& rows = (*shown.mise[0])["rows"].items;
    ASSERT_EQ(rows.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_TRUE(close(num(rows[i]["Bandwidth"]), ref.num(want[i], "bw"), 1e-15)) << i;
        EXPECT_TRUE(close(num(rows[i]["MISE"]), ref.num(want[i], "mise"), 1e-9)) << i;
    }
    EXPECT_NE(shown.listing.find("Mean Integrated Squared Error"), std::string::npos);
    const Value* grid = shown.graph("BandwidthGrid");
    ASSERT_TRUE(grid);
    EXPECT_EQ((*grid)["data"].items[0].str, (*shown.mise[0])["path"].str);

    StepRun hidden = run("proc korvante " + step);
    EXPECT_EQ(hidden.status, 0) << hidden.log;
    EXPECT_TRUE(hidden.mise.empty());
    EXPECT_EQ(hidden.listing.find("Mean Integrated Squared Error"), std::string::npos);
    EXPECT_TRUE(hidden.graph("BandwidthGrid"));
}

// Several strata with one bandwidth and GRIDL= above 0: a row at time 0
// with nothing in it, then the grid; the graphs are drawn across strata
// only. The chosen bandwidth of a search labels the rows.
TEST(SmoothedRun, SeveralStrataAndTheSearch)
{
    StepRun r = run("proc korvante data=lung plots=hazard(cl bw=80 gridl=30 kernel=b) "
                    "printphantom notable; time time*status(1); strata sex; run;"
                    "proc korvante data=lung plots=hazard printphantom notable;"
                    "time time*status(1); run;");
    EXPECT_EQ(r.status, 0) << r.log;
    ASSERT_EQ(r.tables.size(), 3u) << r.log;
    Table ref("smoothed_hazard.csv");
    const Value& f = *r.tables[1];
    EXPECT_EQ(num(f["rows"].items[0]["Time"]), 0);
    EXPECT_EQ(f["rows"].items[0]["Hazard"].kind, Value::Null);
    expectRows(f, 1, refRows(ref, "lung_f", "B"));
    // One graph across the strata of the first step, one of the second.
    ASSERT_EQ(r.graphs.size(), 2u);
    const Value& g = *r.graphs[0];
    EXPECT_EQ(g["dynamics"]["Kernel"].str, "Biweight");
    EXPECT_EQ(num(g["dynamics"]["NStrata"]), 2);
    EXPECT_EQ(g["dynamics"]["groupName"].str, "sex");
    EXPECT_TRUE(g["dynamics"].has("Bandwidth"));

    Table best("smoothed_choice.csv");
    const auto& rows = (*r.tables[2])["rows"].items;
    ASSERT_EQ(rows.size(), 101u);
    const double b = std::atof(rows[0]["BandwidthLabel"].str.c_str() + 3);
    for (size_t k = 0; k < best.size(); ++k) {
        if (best.text(k, "case") == "lung" && best.text(k, "kernel") == "E") {
            EXPECT_NEAR(b, best.num(k, "best_bw"), 0.04 * best.num(k, "best_bw"));
        }
    }
}

// A stratum without a grid or without an event is reported and left out;
// the others are estimated. Under WEIGHT a grid ends at the fifth
// observation from the top.
TEST(SmoothedRun, StrataLeftOut)
{
    const std::string data = "tests/estimate/smoothrun/data";
    struct Case {
        const char* program;
        std::vector<const char*> notes;
        size_t tables, graphs;
        double end; // of the first table's grid
    };
    const Case cases[] = {
        {"data=few plots=hazard(gridu=20) printphantom notable; time t*c(0); strata g;",
         {"stratum 1 is not computed: the stratum has no event"},
         2,
         1,
         20},
        {"data=few plots=hazard(bw=2) printphantom notable; time t*c(0); strata g; weight w;",
         {"stratum 1 is not computed: its grid", "stratum 3 is not computed: its grid"},
         1,
         1,
         8},
        // The bandwidth graph across strata is drawn when the first stratum
        // has no bandwidth grid of its own.
        {"data=few plots=hazard(bw=2 3) printphantom notable; time t*c(0); strata g;",
         {"stratum 1 is not computed: its grid"},
         2,
         2,
         12},
    };
    for (const Case& c : cases) {
        StepRun r = run(std::string("proc korvante ") + c.program + " run;", data);
        EXPECT_EQ(r.status, 0) << r.log;
        for (const char* n : c.notes)
            EXPECT_NE(r.log.find(std::string("NOTE: The smoothed hazard of ") + n),
                      std::string::npos)
                << r.log;
        ASSERT_EQ(r.tables.size(), c.tables) << c.program;
        EXPECT_EQ(r.graphs.size(), c.graphs) << c.program;
        EXPECT_EQ(num((*r.tables[0])["rows"].items.back()["Time"]), c.end);
    }
}

// Settings that would give a bandwidth or a grid point at or below 0 are
// refused before any data are read; a search that does not converge is an
// error of its stratum that the step's return code shows.
TEST(SmoothedRun, RefusedSettingsAndFailedSearch)
{
    const std::pair<const char*, const char*> cases[] = {
        {"hazard(bw=range(0, 20))", "BW=RANGE(a, b) needs a positive lower end"},
        {"hazard(bw=range(-5 20))", "BW=RANGE(a, b) needs a positive lower end"},
        {"hazard(gridl=-1)", "GRIDL= must not be negative"},
        {"hazard(gridl=-10 gridu=-2)", "GRIDL= must not be negative"},
        {"hazard(gridu=-5)", "GRIDU= must be above 0"},
        {"hazard(bw=range(1e-9, 1e14)) printphantom",
         "Failed to find an optimal bandwidth for the smoothed hazard: the search over 1e-09 to "
         "1e+14 (BW=RANGE(a, b)) did not settle within its 50 steps"},
        {"hazard(bw=range(1e-300, 1e308)) printphantom",
         "Failed to find an optimal bandwidth for the smoothed hazard: the search over 1e-300 to "
         "1e+308 (BW=RANGE(a, b))"},
    };
    for (const auto& [plots, message] : cases) {
        StepRun r = run(std::string("proc korvante data=aml notable plots=") + plots +
                        "; time time*status(0); run;");
        EXPECT_EQ(r.status, 1) << plots;
        EXPECT_NE(r.log.find(std::string("ERROR: ") + message), std::string::npos) << r.log;
        EXPECT_TRUE(r.tables.empty());
    }
}

// NGRID= is bounded by the memory of its tables (MEMSIZE=, else 1 GB), and
// a raised NMINGRID= by the work of the bandwidth choice: each is named
// instead of running out of memory or time.
TEST(SmoothedRun, GridsAreBoundedByMemoryAndWork)
{
    const std::pair<const char*, const char*> refused[] = {
        {"", "ngrid=2147483647"},
        {"options memsize=100000000;", "ngrid=20000000"},
    };
    for (const auto& [options, grid] : refused) {
        StepRun r = run(std::string(options) + "proc korvante data=aml notable plots=hazard(" +
                        grid + "); time time*status(0); run;");
        EXPECT_EQ(r.status, 1) << grid;
        EXPECT_NE(r.log.find("ERROR: NGRID="), std::string::npos) << r.log;
        EXPECT_NE(r.log.find(options[0] ? "(MEMSIZE=)" : "1 GB"), std::string::npos) << r.log;
        EXPECT_TRUE(r.tables.empty());
    }
    // Every stratum's table is held until the step ends: two strata's
    // tables of 9.6 MB each pass a MEMSIZE= of 10 MB that one fits.
    const char* grids = "options memsize=10000000; proc korvante data=aml notable "
                        "plots=hazard(ngrid=100000); time time*status(0); ";
    StepRun one = run(std::string(grids) + "run;");
    EXPECT_EQ(one.status, 0) << one.log;
    StepRun two = run(std::string(grids) + "strata x; run;");
    EXPECT_EQ(two.status, 1);
    EXPECT_NE(two.log.find("ERROR: NGRID=100000 in PLOTS=HAZARD is too large for the strata of "
                           "this step: the smoothed-hazard table of each stratum (about 9.6 MB) "
                           "is held until the step ends, and 2 of them would take about 19.2 MB, "
                           "more than 10 MB (MEMSIZE=)."),
              std::string::npos)
        << two.log;
    StepRun r = run("proc korvante data=aml notable plots=hazard(nmingrid=2147483647) "
                    "printphantom; time time*status(0); strata x; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("WARNING: The smoothed hazard of stratum 2 is not computed: with "
                         "NMINGRID=2147483647"),
              std::string::npos)
        << r.log;
    EXPECT_TRUE(r.tables.empty());
    // Within the bounds the grid is made.
    StepRun ok = run("proc korvante data=aml notable printphantom plots=hazard(ngrid=200000 "
                     "nmingrid=1000); time time*status(0); run;");
    EXPECT_EQ(ok.status, 0) << ok.log;
    ASSERT_EQ(ok.tables.size(), 1u);
    EXPECT_EQ((*ok.tables[0])["rows"].items.size(), 200000u);
}

// The search finds a local minimum; a bandwidth it leaves within its
// tolerance of an end of the range is named in a note, with the range.
TEST(SmoothedRun, ABandwidthAtAnEndOfTheRangeIsNoted)
{
    StepRun r = run("proc korvante data=lung plots(only)=hazard(bw=range(50, 5000)) notable;"
                    "time time*status(1); strata sex; run;"
                    "proc korvante data=veteran plots(only)=hazard notable;"
                    "time time*status(0); strata trt; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("NOTE: The bandwidth chosen for the smoothed hazard of stratum 1, "
                         "4914.75, lies at the upper end of the range searched, 50 to 5000 "
                         "(BW=RANGE(a, b))"),
              std::string::npos)
        << r.log;
    EXPECT_NE(r.log.find("smoothed hazard of stratum 2, 1068.57, lies at the upper end of the "
                         "range searched, 10.871 to 1087.1 (the default range"),
              std::string::npos)
        << r.log;
    // Bandwidths inside their ranges are not noted.
    size_t notes = 0;
    for (size_t at = r.log.find("NOTE: The bandwidth chosen"); at != std::string::npos;
         at = r.log.find("NOTE: The bandwidth chosen", at + 1))
        ++notes;
    EXPECT_EQ(notes, 2u);
}
