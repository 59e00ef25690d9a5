// Competing-risks steps run whole through the session: which tables,
// groups, graph requests and OUTCIF= rows they make, the messages they log,
// and their return codes.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/steprun.h"

namespace
{

using korvjson::Value;
using steprun::StepRun;

// Runs `program` on the example data and the extra data sets given (name ->
// CSV text); OUTCIF=oc is read back as r.out["oc"].
StepRun run(const std::string& program, const std::map<std::string, std::string>& data = {})
{
    return steprun::run(program, data);
}

using steprun::count;

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);)
        out.push_back(l);
    return out;
}

// The row of the only table `name` whose column `col` is `key`.
const Value* row(const StepRun& r, const std::string& name, const std::string& col,
                 const std::string& key)
{
    const auto t = r.tables(name);
    EXPECT_EQ(t.size(), 1u) << "tables named " << name;
    const Value* found = t.empty() ? nullptr : korvjson::row_where(t[0], col, key);
    EXPECT_NE(found, nullptr) << "no row of " << name << " with " << col << " = " << key;
    return found;
}

double cell(const Value* row, const std::string& col)
{
    return row ? row->number(col) : std::nan("");
}

// A member of a graph request's dynamics (null when absent).
const Value& dyn(const Value* g, const std::string& name)
{
    return (*g)["dynamics"][name];
}

} // namespace

TEST(CrSteps, TablesOfEachFailureType)
{
    // Two failure types (every status but 0): a group level per type, its
    // failure summary and estimates, and one test table with both rows.
    StepRun r = run("proc korvante data=crsim; time time*status(0) / failcode; strata strat; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    ASSERT_TRUE(r.doc);
    EXPECT_EQ(korvjson::find(*r.doc, "group", "Failcode1").size(), 1u);
    EXPECT_EQ(korvjson::find(*r.doc, "group", "Failcode2").size(), 1u);
    const auto summaries = r.items("FailureSummary");
    ASSERT_EQ(summaries.size(), 2u);
    // One estimates table per stratum and type.
    EXPECT_EQ(r.items("CifEstimates").size(), 4u);
    EXPECT_EQ(r.items("GrayTest").size(), 1u);
    EXPECT_NEAR(cell(row(r, "GrayTest", "Failcode", "1"), "ChiSq"), 2.66965, 1e-5) << r.json;
    EXPECT_NEAR(cell(row(r, "GrayTest", "Failcode", "2"), "ChiSq"), 0.19058, 1e-5);
    EXPECT_EQ(cell(row(r, "GrayTest", "Failcode", "2"), "DF"), 1);
    // The failure summary counts of type 1, stratum 1, and the grand total
    // (the row without a stratum), in the summary of type 1.
    const auto type1 = korvjson::rows(summaries[0]);
    ASSERT_EQ(type1.size(), 3u);
    const std::vector<std::pair<const Value*, std::vector<double>>> want = {
        {type1[0], {1, 59, 105, 77, 241}}, {type1[2], {1, 117, 229, 154, 500}}};
    for (const auto& [got, counts] : want) {
        const char* cols[] = {"Failcode", "Censored", "Event", "Compete", "Total"};
        for (size_t c = 0; c < 5; ++c)
            EXPECT_EQ(got->number(cols[c]), counts[c]) << cols[c];
    }
    EXPECT_EQ(type1[2]->get("Stratum")->kind, Value::Null);
    // Type 2 counts the events of type 1 as competing.
    EXPECT_EQ(korvjson::rows(summaries[1])[0]->number("Compete"), 105);
}

TEST(CrSteps, OneFailureCodeGroupsItsOutput)
{
    StepRun r =
        run("proc korvante data=crsim; time time*status(0) / failcode=2; strata strat; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    ASSERT_TRUE(r.doc);
    EXPECT_EQ(korvjson::find(*r.doc, "group", "Failcode").size(), 1u);
    EXPECT_TRUE(korvjson::find(*r.doc, "group", "Failcode1").empty());
    ASSERT_EQ(r.items("GrayTest2").size(), 1u);
    EXPECT_EQ(korvjson::rows(r.items("GrayTest2")[0]).size(), 1u);
}

// The graph requests: one plot with a curve per stratum or level, or with
// GROUP= in several strata panels of two columns, two or four to a page.
TEST(CrSteps, GraphRequestsAndPanels)
{
    struct Case {
        const char* strata;
        size_t pages;
        int rows; // nRows of the panels (0: one plot)
        const char* templ;
    };
    const Case cases[] = {
        {"strat", 1, 0, "cifPlot"},
        {"strat / group=group", 1, 1, "cifPanel"},
        {"id(200 300) / group=group", 1, 2, "cifPanel"},
        {"id(100 200 300 400) / group=group", 2, 2, "cifPanel"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.strata);
        StepRun r = run(std::string("proc korvante data=crsim plots=cif(cl test); time "
                                    "time*status(0) / failcode=1; strata ") +
                        k.strata + "; run;");
        EXPECT_EQ(r.status, 0) << r.log;
        const auto g = r.graphs();
        ASSERT_EQ(g.size(), k.pages) << r.json;
        for (size_t p = 0; p < g.size(); ++p) {
            EXPECT_EQ(g[p]->text("template"), std::string("Stat.Korvante.Graphics.") + k.templ);
            EXPECT_EQ(dyn(g[p], "plotCL").num, 1);
            EXPECT_EQ(dyn(g[p], "Confidence").str, "95%");
            EXPECT_EQ(dyn(g[p], "plotTest").num, 1);
            if (k.rows) {
                EXPECT_EQ(dyn(g[p], "nRows").num, k.rows);
                EXPECT_EQ(dyn(g[p], "PanelNum").num, static_cast<double>(p + 1));
                EXPECT_EQ(dyn(g[p], "pValueDisplay").str.substr(0, 1), "p");
                EXPECT_EQ(dyn(g[p], "groupNum").str, "GroupNum");
                EXPECT_EQ(dyn(g[p], "nCurves").num, 3);
            } else {
                EXPECT_EQ(dyn(g[p], "pValue").kind, Value::Number);
                EXPECT_EQ(dyn(g[p], "groupVar").str, "Stratum");
                EXPECT_EQ(dyn(g[p], "nCurves").num, 2);
            }
        }
    }
}

TEST(CrSteps, EachFailureTypeIsNamedInItsGraph)
{
    // Two failure types: their graphs differ by the second title, which
    // names the status value drawn, in plots and in panels alike.
    StepRun r = run("proc korvante data=crsim notable plots=cif(cl test); time time*status(0) "
                    "/ failcode; strata strat; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    auto g = r.graphs();
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(dyn(g[0], "SecondTitle").str, "Failure Type status=1");
    EXPECT_EQ(dyn(g[1], "SecondTitle").str, "Failure Type status=2");
    r = run("proc korvante data=crsim notable plots=cif; time time*status(0) / failcode=2; "
            "strata strat / group=group; run;");
    g = r.graphs();
    ASSERT_FALSE(g.empty()) << r.log;
    EXPECT_EQ(dyn(g[0], "SecondTitle").str, "Failure Type status=2");
}

TEST(CrSteps, NoPValueOnAGraphWithoutDegreesOfFreedom)
{
    // Level A's records all end before the first event of type 1, so the
    // test of type 1 has no degree of freedom: its p-value is missing, and
    // the plot shows no p-value at all (no "p=" of a missing number).
    const char* df0 = "t,s,g\n1,2,A\n2,0,A\n3,2,A\n5,1,B\n6,2,B\n7,1,B\n8,0,B\n9,1,B\n";
    StepRun r = run("proc korvante data=df0 plots=cif(test); time t*s(0) / failcode=1; "
                    "strata / group=g; run;",
                    {{"df0", df0}});
    EXPECT_EQ(r.status, 0) << r.log;
    const auto tests = r.items("GrayTest2");
    ASSERT_EQ(tests.size(), 1u) << r.json;
    const auto rows = korvjson::rows(tests[0]);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]->number("ChiSq"), 0);
    EXPECT_EQ(rows[0]->number("DF"), 0);
    const auto g = r.graphs();
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(dyn(g[0], "plotTest").num, 0);
    EXPECT_FALSE((*g[0])["dynamics"].has("pValue"));
    EXPECT_FALSE((*g[0])["dynamics"].has("pValueDisplay"));
}

TEST(CrSteps, OutcifWithAndWithoutReduceout)
{
    StepRun full = run("proc korvante data=crsim outcif=oc noprint; time time*status(0) / "
                       "failcode=1; strata strat; run;");
    EXPECT_EQ(full.status, 0) << full.log;
    auto rows = lines(full.out["oc"]);
    ASSERT_GT(rows.size(), 3u);
    EXPECT_EQ(rows[0], "Failcode,strat,time,AtRisk,Event,AllEventTypes,Censored,CIF,StdErr,ALPHA,"
                       "CONFTYPE,CIF_LCL,CIF_UCL,STRATUM");
    // The time-0 row (no transform) of stratum 1, then its first time.
    EXPECT_EQ(rows[1], "1,1,0,241,0,0,0,0,0,0.05,,.,.,1");
    EXPECT_EQ(rows[2].substr(0, 20), "1,1,0.1,241,3,3,1,0.");
    StepRun reduced = run("proc korvante data=crsim outcif=oc timelist=1 5 30 reduceout noprint; "
                          "time time*status(0) / failcode=1; strata strat; run;");
    EXPECT_EQ(reduced.status, 0) << reduced.log;
    rows = lines(reduced.out["oc"]);
    ASSERT_EQ(rows.size(), 7u) << reduced.out["oc"];
    EXPECT_EQ(rows[0],
              "Failcode,strat,TIMELIST,time,CIF,StdErr,ALPHA,CONFTYPE,CIF_LCL,CIF_UCL,STRATUM");
    EXPECT_EQ(rows[1].substr(0, 8), "1,1,1,1,");
    // Past the largest time: missing values but for the listed time.
    EXPECT_EQ(rows[3], "1,1,30,.,.,.,.,LOGLOG,.,.,1");
}

// Each cell is put in time order by ranking its times and moving every
// field: records given in any order give the same estimates, OUTCIF= rows
// and tests as the same records given in time order. Times with three
// decimals nearly all differ (the radix ranking), frequencies are quarters
// (their sums exact in any order) and the categories mixed, so a field
// moved with the wrong record shows.
TEST(CrSteps, TheOrderOfTheRecordsDoesNotMatter)
{
    struct Rec {
        double time, freq;
        int status, strat;
    };
    std::vector<Rec> recs;
    uint64_t x = 88172645463325252ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    for (int i = 0; i < 6000; ++i)
        recs.push_back({static_cast<double>(next() % 200000) / 1000.0,
                        0.25 * static_cast<double>(1 + next() % 8), static_cast<int>(next() % 4),
                        1 + static_cast<int>(next() % 2)});
    auto csv = [&](const std::vector<Rec>& r) {
        std::string text = "time,status,strat,f\n";
        char line[96];
        for (const Rec& e : r) {
            std::snprintf(line, sizeof line, "%.3f,%d,%d,%.2f\n", e.time, e.status, e.strat,
                          e.freq);
            text += line;
        }
        return text;
    };
    std::vector<Rec> sorted = recs;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Rec& a, const Rec& b) { return a.time < b.time; });
    const std::string program = "proc korvante data=d outcif=oc timelist=50 100 150 notable; "
                                "time time*status(0) / failcode=2; strata strat; "
                                "freq f / notruncate; run;";
    StepRun given = run(program, {{"d", csv(recs)}});
    StepRun ordered = run(program, {{"d", csv(sorted)}});
    ASSERT_EQ(given.status, 0) << given.log;
    ASSERT_EQ(ordered.status, 0) << ordered.log;
    EXPECT_GT(lines(given.out["oc"]).size(), 4000u);
    EXPECT_EQ(given.out["oc"], ordered.out["oc"]);
    EXPECT_EQ(given.json, ordered.json);
}

TEST(CrSteps, NotesAndWarningsOfTheRoad)
{
    struct Case {
        const char* program;
        std::map<std::string, std::string> data;
        const char* log;
        int status;
    };
    const std::string cells = "t,s,st,g\n1,1,a,x\n2,2,a,y\n3,1,b,x\n4,0,b,x\n";
    const Case cases[] = {
        // No stratum variable and a single level: nothing to compare.
        {"proc korvante data=c; time t*s(0) / failcode=1; strata / group=st; run;",
         {{"c", "t,s,st\n1,1,a\n2,2,a\n"}},
         "fewer than two groups to compare",
         0},
        {"proc korvante data=c; time t*s(0) / failcode=1; strata st; run;",
         {{"c", "t,s,st\n1,1,a\n2,2,a\n"}},
         "fewer than two strata",
         0},
        {"proc korvante data=c; time t*s(0) / failcode=1; strata st / group=g; run;",
         {{"c", "t,s,st,g\n1,1,a,x\n2,2,b,x\n"}},
         "the GROUP= variable has a single level",
         0},
        {"proc korvante data=c; time t*s(0) / failcode=1; strata st / group=g; run;",
         {{"c", cells}},
         "the level g=y of the GROUP= variable has no observation in the stratum st=b",
         0},
        // A cell without an event of the type: a note; the estimate is 0.
        {"proc korvante data=c; time t*s(0) / failcode=1; strata st / group=g; run;",
         {{"c", cells}},
         "There is no event of the type s=1 in the group g=y of the stratum st=a",
         0},
        {"proc korvante data=c; time t*s(0) / failcode=2; strata st; run;",
         {{"c", "t,s,st\n1,1,a\n2,2,a\n3,1,b\n"}},
         "There is no event of the type s=2 in the stratum st=b",
         0},
        // Every status a censoring value (nothing at all to analyse: the
        // step ends with 112), and a failure code never met.
        {"proc korvante data=c; time t*s(0) / failcode; run;",
         {{"c", "t,s\n1,0\n2,0\n"}},
         "stopped with return code 112 because there was nothing to analyse",
         1},
        {"proc korvante data=c; time t*s(0) / failcode=3; run;",
         {{"c", "t,s\n1,1\n2,0\n"}},
         "WARNING: The status variable s has no event of the failure type 3",
         0},
        // Observations dropped for invalid values are said.
        {"proc korvante data=c; time t*s(0) / failcode=1; run;",
         {{"c", "t,s\n1,1\n-2,1\n.,0\n3,2\n"}},
         "2 observations were not used because of invalid values",
         0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.program);
        StepRun r = run(k.program, k.data);
        EXPECT_EQ(r.status, k.status) << r.log;
        EXPECT_NE(r.log.find(k.log), std::string::npos) << r.log;
    }
}

TEST(CrSteps, ByGroupsAreAnalysedApart)
{
    // The second BY group has no event of type 2: that type is passed over
    // there, with a warning; everything else is estimated, printed and
    // written, OUTCIF= included, and the step ends normally.
    const char* by = "b,t,s\n1,1,1\n1,2,2\n1,3,0\n2,1,1\n2,2,0\n3,1,2\n3,2,1\n";
    StepRun r = run("proc korvante data=by outcif=oc; by b; time t*s(0) / failcode=1 2; run;",
                    {{"by", by}});
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(count(r.log, "WARNING: The status variable s has no event of the failure type 2"),
              1u);
    EXPECT_EQ(count(r.log, "ERROR"), 0u) << r.log;
    // Each group's failure summary of each type, the estimates of the types
    // with events: two in groups 1 and 3, one in group 2.
    EXPECT_EQ(r.items("FailureSummary").size(), 6u);
    EXPECT_EQ(r.items("CifEstimates").size(), 5u);
    // OUTCIF=: a time-0 row and a row per distinct time of each estimated
    // type and group: 2 x 4 + 3 + 2 x 3.
    std::vector<std::string> rows;
    std::istringstream in(r.out["oc"]);
    for (std::string line; std::getline(in, line);)
        rows.push_back(line);
    ASSERT_FALSE(rows.empty()) << r.log;
    EXPECT_EQ(rows.size(), 1u + 8 + 3 + 6) << r.out["oc"];
    EXPECT_EQ(count(r.out["oc"], "\n2,2,"), 0u) << "type 2 of group 2 is not estimated";
}

// PRINTPHANTOM shows the plot data of the cumulative incidence plots, which
// are drawn; without it the plot data are kept out of the output.
TEST(CrSteps, PrintPhantomShowsThePlotData)
{
    const std::string step = " time time*status(0) / failcode=1; strata group; run;";
    StepRun shown = run("proc korvante data=crsim notable printphantom;" + step);
    EXPECT_EQ(shown.status, 0) << shown.log;
    EXPECT_EQ(shown.log.find("Graphs are not drawn"), std::string::npos) << shown.log;
    EXPECT_EQ(shown.items("Stat.Korvante.Graphics.cifPlot").size(), 1u);
    const auto phantom = shown.items("cifPhantom");
    ASSERT_EQ(phantom.size(), 1u);
    const auto plotted = korvjson::rows(phantom[0]);
    ASSERT_FALSE(plotted.empty());
    EXPECT_TRUE(plotted[0]->has("CIF_LCL"));
    StepRun kept = run("proc korvante data=crsim notable plots=cif(cl);" + step);
    EXPECT_EQ(kept.status, 0) << kept.log;
    EXPECT_EQ(kept.items("cifPhantom").size(), 0u);
    StepRun asked = run("proc korvante data=crsim notable plots=cif(cl) printphantom;" + step);
    EXPECT_EQ(asked.items("cifPhantom").size(), 1u);
}

TEST(CrSteps, AByGroupWithNothingToAnalyseIsPassedOver)
{
    // Group 2 has no valid observation, group 4 only censored statuses:
    // each is passed over with its warning, and groups 1 and 3 are
    // estimated, printed and written to OUTCIF=; the step ends with a
    // warning.
    const char* by = "b,t,s\n1,1,1\n1,2,2\n1,3,0\n2,.,1\n3,1,2\n3,2,1\n3,4,0\n4,1,0\n4,2,0\n";
    StepRun r =
        run("proc korvante data=by outcif=oc; by b; time t*s(0) / failcode; run;", {{"by", by}});
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(count(r.log, "WARNING: The BY group has no valid observation"), 1u) << r.log;
    EXPECT_EQ(count(r.log, "WARNING: The status variable s has no event in this BY group"), 1u);
    EXPECT_EQ(count(r.log, "ended with return code 4"), 1u) << r.log;
    EXPECT_EQ(count(r.log, "ERROR"), 0u) << r.log;
    EXPECT_EQ(r.items("CifEstimates").size(), 4u);
    // Two types in each of groups 1 and 3: a time-0 row and three times.
    std::vector<std::string> rows = lines(r.out["oc"]);
    ASSERT_EQ(rows.size(), 1u + 2 * 2 * 4) << r.log;
    for (size_t i = 1; i < rows.size(); ++i)
        EXPECT_TRUE(rows[i][0] == '1' || rows[i][0] == '3') << rows[i];
}
