// Life tables and confidence bands run whole through the session: FREQ data
// against the same data written out record by record, the plot-data rows of
// the band end, and the graph requests of the life table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/steprun.h"

namespace
{

namespace fs = std::filesystem;

using steprun::run;
using steprun::slurp;
using steprun::StepRun;

std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string f; std::getline(ss, f, sep);)
        out.push_back(f);
    return out;
}

// The aml data with identical records made one record with a count.
std::string amlCounts()
{
    std::map<std::string, int> n;
    std::vector<std::string> order;
    const auto lines = split(slurp(std::string(KORV_SOURCE_DIR) + "/examples/aml.csv"), '\n');
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty())
            continue;
        if (n[lines[i]]++ == 0)
            order.push_back(lines[i]);
    }
    std::string csv = lines[0] + ",n\n";
    for (const std::string& l : order)
        csv += l + "," + std::to_string(n[l]) + "\n";
    return csv;
}

// Rows of an output data set whose column `col` has the value `value`.
std::vector<std::string> rowsWhere(const std::string& csv, const std::string& col,
                                   const std::string& value)
{
    const auto lines = split(csv, '\n');
    std::vector<std::string> out;
    if (lines.empty())
        return out;
    const auto head = split(lines[0], ',');
    size_t c = 0;
    while (c < head.size() && head[c] != col)
        ++c;
    for (size_t i = 1; i < lines.size(); ++i) {
        const auto f = split(lines[i], ',');
        if (c < f.size() && f[c] == value)
            out.push_back(lines[i]);
    }
    return out;
}

// The plot-data rows of stratum `k` as (time, survival, row text).
struct PlotRow {
    std::string time, survival, text;
};
std::vector<PlotRow> plotRows(const std::string& json, int k)
{
    std::vector<PlotRow> out;
    const std::string tag = "{\"StratumNum\":" + std::to_string(k) + ",";
    const std::regex cell("\"Time\":([^,}]+),\"Survival\":([^,}]+)");
    for (size_t at = json.find(tag); at != std::string::npos; at = json.find(tag, at + 1)) {
        const std::string row = json.substr(at, json.find('}', at) - at + 1);
        std::smatch m;
        if (std::regex_search(row, m, cell))
            out.push_back({m[1], m[2], row});
    }
    return out;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

// The band uses the total frequency: FREQ-aggregated data give exactly the
// bands (and life tables) of the expanded data.
TEST(LtRun, AggregatedEqualsExpanded)
{
    const std::map<std::string, std::string> data = {{"amlcounts", amlCounts()}};
    for (const char* strata : {"", "strata x;"}) {
        SCOPED_TRACE(strata);
        const std::string bands = "time time*status(0); %s survival out=%s confband=all "
                                  "conftype=linear stderr; run;";
        auto step = [&](const char* data_, const char* extra, const char* out) {
            char buf[512];
            std::snprintf(buf, sizeof buf, bands.c_str(), strata, out);
            return std::string("proc korvante data=") + data_ + " notable; " + extra + buf;
        };
        StepRun r = run(step("aml", "", "e") + step("amlcounts", "freq n;", "a"), data);
        ASSERT_EQ(r.status, 0) << r.log;
        const auto e = rowsWhere(r.out["e"], "_CENSOR_", "0");
        const auto a = rowsWhere(r.out["a"], "_CENSOR_", "0");
        ASSERT_GT(e.size(), 10u);
        EXPECT_EQ(e, a);
        EXPECT_NE(r.out["e"].find("HW_LCL,HW_UCL,EP_LCL,EP_UCL"), std::string::npos);

        const std::string lt = "time time*status(0); %s survival out=%s stderr; run;";
        auto ltStep = [&](const char* data_, const char* extra, const char* out) {
            char buf[512];
            std::snprintf(buf, sizeof buf, lt.c_str(), strata, out);
            return std::string("proc korvante data=") + data_ + " method=lt width=15; " + extra +
                   buf;
        };
        StepRun l = run(ltStep("aml", "", "e") + ltStep("amlcounts", "freq n;", "a"), data);
        ASSERT_EQ(l.status, 0) << l.log;
        EXPECT_EQ(l.out["e"], l.out["a"]);
        EXPECT_NE(l.out["e"].find("MIDPOINT,PDF,PDF_STDERR"), std::string::npos);
    }
}

// The band-end row of the plot data: at BANDMAX, with the survival in force
// there (not the survival after the next event time), and the failure that
// goes with it.
TEST(LtRun, BandEndRowShowsTheSurvivalInForce)
{
    StepRun r = run("proc korvante data=aml plots=s(cb=hw) printphantom notable;"
                    " time time*status(0); strata x; survival bandmax=20; run;"
                    "proc korvante data=aml plots=s(cb=hw failure strata=panel) printphantom "
                    "notable; time time*status(0); strata x; survival bandmax=20; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    // Maintained: events at 18 (survival 0.7159...) and 23 (0.6136...).
    size_t found = 0;
    for (const PlotRow& p : plotRows(r.json, 1)) {
        if (p.time != "20")
            continue;
        ++found;
        EXPECT_EQ(p.survival.substr(0, 8), "0.715909") << p.text;
        // The band limits carried to the band end.
        const bool failure = p.text.find("\"Failure\"") != std::string::npos;
        EXPECT_EQ(p.text.find(failure ? "\"F_HW_UCL\":null" : "\"HW_LCL\":null"), std::string::npos)
            << p.text;
        if (failure) {
            EXPECT_NE(p.text.find("\"Failure\":0.284090"), std::string::npos) << p.text;
        }
    }
    EXPECT_EQ(found, 2u);
}

// A stratum without events has no band, and no band-end row (at time -1,
// the BANDMAX setting that was not given).
TEST(LtRun, StratumWithoutEventsHasNoBand)
{
    const std::map<std::string, std::string> data = {
        {"noev", "t,s,g\n1,0,a\n2,0,a\n4,0,a\n1,1,b\n3,1,b\n5,0,b\n6,1,b\n"}};
    StepRun r = run("proc korvante data=noev plots=s(cb=all) printphantom notable;"
                    " time t*s(0); strata g; survival out=o confband=all; run;",
                    data);
    ASSERT_EQ(r.status, 0) << r.log;
    for (int k : {1, 2})
        for (const PlotRow& p : plotRows(r.json, k))
            EXPECT_NE(p.time, "-1") << p.text;
    for (const std::string& row : rowsWhere(r.out["o"], "g", "a"))
        EXPECT_NE(row.find(",.,.,.,.,"), std::string::npos) << row;
    EXPECT_EQ(rowsWhere(r.out["o"], "HW_LCL", ".").size() < 8, true);
}

// The graphs of a life table: drawn per stratum with one stratum or
// STRATA=INDIVIDUAL, left to the graphs across strata otherwise; each names
// the stratum's plot data.
TEST(LtRun, GraphRequests)
{
    StepRun one = run("proc korvante data=aml method=lt width=15 notable"
                      " plots=(s(cl) ls lls h(cl) density); time time*status(0); run;");
    ASSERT_EQ(one.status, 0) << one.log;
    for (const char* t :
         {"LifetableSurvival", "NegLogSurvival", "LogNegLogSurvival", "Density", "Hazard"})
        EXPECT_EQ(count(one.json, std::string("\"template\":\"Stat.Korvante.Graphics.") + t + "\""),
                  1u)
            << t;
    EXPECT_NE(one.json.find("\"NObs\":23,\"NEvent\":18"), std::string::npos);
    EXPECT_NE(one.json.find("\"data\":[\"Stratum1.Phantom\"]"), std::string::npos);

    StepRun two = run("proc korvante data=aml method=lt width=15 notable plots=(s h);"
                      " time time*status(0); strata x; run;");
    EXPECT_EQ(count(two.json, "Stat.Korvante.Graphics.Lifetable"), 0u);
    StepRun ind = run("proc korvante data=aml method=lt width=15 notable"
                      " plots=(s(strata=individual failure) h); time time*status(0); strata x; "
                      "run;");
    EXPECT_EQ(count(ind.json, "\"template\":\"Stat.Korvante.Graphics.LifetableFailure\""), 2u);
    // The hazard of each stratum, and the hazards across strata (drawn
    // whatever the survival graphs' layout).
    EXPECT_EQ(count(ind.json, "\"template\":\"Stat.Korvante.Graphics.Hazard\""), 3u);
    EXPECT_NE(ind.json.find("Life-Table Failure Curve for x = Maintained"), std::string::npos)
        << ind.json.substr(0, 2000);
}
