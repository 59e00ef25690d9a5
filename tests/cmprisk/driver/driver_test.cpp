// Competing-risks steps run whole through the session: which tables,
// groups, graph requests and OUTCIF= rows they make, the messages they log,
// and their return codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace
{

namespace fs = std::filesystem;

struct StepRun {
    int status = -1;
    std::string json, log, outcif;
};

std::string slurp(const fs::path& p)
{
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs `program` on the example data and the extra data sets given (name ->
// CSV text); OUTCIF=oc is read back.
StepRun run(const std::string& program, const std::map<std::string, std::string>& data = {})
{
    static bool registered = false;
    if (!registered) {
        korv_register_procedure();
        registered = true;
    }
    fs::path dir = fs::temp_directory_path() / ("korv_cr_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "data");
    for (const auto& entry : fs::directory_iterator(std::string(KORV_SOURCE_DIR) + "/examples"))
        if (entry.path().extension() == ".csv")
            fs::copy_file(entry.path(), dir / "data" / entry.path().filename());
    for (const auto& [name, csv] : data)
        std::ofstream(dir / "data" / (name + ".csv")) << csv;
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.dataDir = (dir / "data").string();
    s.outDir = dir.string();
    s.json = (dir / "out.json").string();
    s.log = (dir / "log.txt").string();
    s.listing = (dir / "listing.txt").string();
    StepRun r;
    r.status = vyr_run_text(s, program);
    r.json = slurp(dir / "out.json");
    r.log = slurp(dir / "log.txt");
    if (fs::exists(dir / "oc.csv"))
        r.outcif = slurp(dir / "oc.csv");
    vyr_output_reset();
    fs::remove_all(dir);
    return r;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The graph requests of a run, one text each.
std::vector<std::string> graphs(const std::string& json)
{
    std::vector<std::string> out;
    for (size_t at = json.find("\"kind\":\"graph\""); at != std::string::npos;
         at = json.find("\"kind\":\"graph\"", at + 1))
        out.push_back(json.substr(at, json.find('}', json.find("\"dynamics\"", at)) - at + 1));
    return out;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);)
        out.push_back(l);
    return out;
}

} // namespace

TEST(CrSteps, TablesOfEachFailureType)
{
    // Two failure types (every status but 0): a group level per type, its
    // failure summary and estimates, and one test table with both rows.
    StepRun r = run("proc korvante data=crsim; time time*status(0) / failcode; strata strat; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.json.find("\"name\":\"Failcode1\""), std::string::npos);
    EXPECT_NE(r.json.find("\"name\":\"Failcode2\""), std::string::npos);
    EXPECT_EQ(count(r.json, "\"template\":\"Stat.Korvante.FailureSummary\""), 2u);
    // One estimates table per stratum and type.
    EXPECT_EQ(count(r.json, "\"template\":\"Stat.Korvante.CifEstimates\""), 4u);
    EXPECT_EQ(count(r.json, "\"template\":\"Stat.Korvante.GrayTest\""), 1u);
    EXPECT_NE(r.json.find("\"Failcode\":1,\"ChiSq\":2.66965"), std::string::npos) << r.json;
    EXPECT_NE(r.json.find("\"Failcode\":2,\"ChiSq\":0.19058"), std::string::npos);
    // The failure summary counts of type 1, stratum 1, and the grand total.
    EXPECT_NE(r.json.find("\"Censored\":59,\"Event\":105,\"Compete\":77,\"Total\":241"),
              std::string::npos);
    EXPECT_NE(r.json.find("\"Censored\":117,\"Event\":229,\"Compete\":154,\"Total\":500"),
              std::string::npos);
}

TEST(CrSteps, OneFailureCodeGroupsItsOutput)
{
    StepRun r =
        run("proc korvante data=crsim; time time*status(0) / failcode=2; strata strat; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.json.find("\"name\":\"Failcode\""), std::string::npos);
    EXPECT_EQ(r.json.find("\"name\":\"Failcode1\""), std::string::npos);
    EXPECT_NE(r.json.find("\"template\":\"Stat.Korvante.GrayTest2\""), std::string::npos);
}

// The graph requests: one plot with a curve per stratum or level, or with
// GROUP= in several strata panels of two columns, two or four to a page.
TEST(CrSteps, GraphRequestsAndPanels)
{
    struct Case {
        const char* strata;
        size_t pages;
        const char* rows; // nRows of the panels
        const char* templ;
    };
    const Case cases[] = {
        {"strat", 1, nullptr, "cifPlot"},
        {"strat / group=group", 1, "\"nRows\":1", "cifPanel"},
        {"id(200 300) / group=group", 1, "\"nRows\":2", "cifPanel"},
        {"id(100 200 300 400) / group=group", 2, "\"nRows\":2", "cifPanel"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.strata);
        StepRun r = run(std::string("proc korvante data=crsim plots=cif(cl test); time "
                                    "time*status(0) / failcode=1; strata ") +
                        k.strata + "; run;");
        EXPECT_EQ(r.status, 0) << r.log;
        const auto g = graphs(r.json);
        ASSERT_EQ(g.size(), k.pages) << r.json;
        for (size_t p = 0; p < g.size(); ++p) {
            EXPECT_NE(g[p].find(std::string("Stat.Korvante.Graphics.") + k.templ),
                      std::string::npos);
            EXPECT_NE(g[p].find("\"plotCL\":1"), std::string::npos) << g[p];
            EXPECT_NE(g[p].find("\"Confidence\":\"95%\""), std::string::npos);
            EXPECT_NE(g[p].find("\"plotTest\":1"), std::string::npos);
            if (k.rows) {
                EXPECT_NE(g[p].find(k.rows), std::string::npos) << g[p];
                EXPECT_NE(g[p].find("\"PanelNum\":" + std::to_string(p + 1)), std::string::npos);
                EXPECT_NE(g[p].find("\"pValueDisplay\":\"p"), std::string::npos);
                EXPECT_NE(g[p].find("\"groupNum\":\"GroupNum\""), std::string::npos);
                EXPECT_NE(g[p].find("\"nCurves\":3"), std::string::npos);
            } else {
                EXPECT_NE(g[p].find("\"pValue\":"), std::string::npos);
                EXPECT_NE(g[p].find("\"groupVar\":\"Stratum\""), std::string::npos);
                EXPECT_NE(g[p].find("\"nCurves\":2"), std::string::npos);
            }
        }
    }
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
    EXPECT_NE(r.json.find("\"ChiSq\":0,\"DF\":0"), std::string::npos) << r.json;
    const auto g = graphs(r.json);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_NE(g[0].find("\"plotTest\":0"), std::string::npos) << g[0];
    EXPECT_EQ(g[0].find("pValue"), std::string::npos);
}

TEST(CrSteps, OutcifWithAndWithoutReduceout)
{
    StepRun full = run("proc korvante data=crsim outcif=oc noprint; time time*status(0) / "
                       "failcode=1; strata strat; run;");
    EXPECT_EQ(full.status, 0) << full.log;
    auto rows = lines(full.outcif);
    ASSERT_GT(rows.size(), 3u);
    EXPECT_EQ(rows[0], "Failcode,strat,time,AtRisk,Event,AllEventTypes,Censored,CIF,StdErr,ALPHA,"
                       "CONFTYPE,CIF_LCL,CIF_UCL,STRATUM");
    // The time-0 row (no transform) of stratum 1, then its first time.
    EXPECT_EQ(rows[1], "1,1,0,241,0,0,0,0,0,0.05,,.,.,1");
    EXPECT_EQ(rows[2].substr(0, 20), "1,1,0.1,241,3,3,1,0.");
    StepRun reduced = run("proc korvante data=crsim outcif=oc timelist=1 5 30 reduceout noprint; "
                          "time time*status(0) / failcode=1; strata strat; run;");
    EXPECT_EQ(reduced.status, 0) << reduced.log;
    rows = lines(reduced.outcif);
    ASSERT_EQ(rows.size(), 7u) << reduced.outcif;
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
    EXPECT_GT(lines(given.outcif).size(), 4000u);
    EXPECT_EQ(given.outcif, ordered.outcif);
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
    EXPECT_EQ(count(r.json, "\"template\":\"Stat.Korvante.FailureSummary\""), 6u);
    EXPECT_EQ(count(r.json, "\"template\":\"Stat.Korvante.CifEstimates\""), 5u);
    // OUTCIF=: a time-0 row and a row per distinct time of each estimated
    // type and group: 2 x 4 + 3 + 2 x 3.
    std::vector<std::string> rows;
    std::istringstream in(r.outcif);
    for (std::string line; std::getline(in, line);)
        rows.push_back(line);
    ASSERT_FALSE(rows.empty()) << r.log;
    EXPECT_EQ(rows.size(), 1u + 8 + 3 + 6) << r.outcif;
    EXPECT_EQ(count(r.outcif, "\n2,2,"), 0u) << "type 2 of group 2 is not estimated";
}

// PRINTPHANTOM shows the plot data of the cumulative incidence plots, which
// are drawn; without it the plot data are kept out of the output.
TEST(CrSteps, PrintPhantomShowsThePlotData)
{
    const std::string step = " time time*status(0) / failcode=1; strata group; run;";
    StepRun shown = run("proc korvante data=crsim notable printphantom;" + step);
    EXPECT_EQ(shown.status, 0) << shown.log;
    EXPECT_EQ(shown.log.find("Graphs are not drawn"), std::string::npos) << shown.log;
    EXPECT_NE(shown.json.find("\"template\":\"Stat.Korvante.Graphics.cifPlot\""),
              std::string::npos);
    EXPECT_EQ(count(shown.json, "\"template\":\"Stat.Korvante.cifPhantom\""), 1u);
    EXPECT_NE(shown.json.find("\"CIF_LCL\""), std::string::npos);
    StepRun kept = run("proc korvante data=crsim notable plots=cif(cl);" + step);
    EXPECT_EQ(kept.status, 0) << kept.log;
    EXPECT_EQ(count(kept.json, "Stat.Korvante.cifPhantom"), 0u);
    StepRun asked = run("proc korvante data=crsim notable plots=cif(cl) printphantom;" + step);
    EXPECT_EQ(count(asked.json, "\"template\":\"Stat.Korvante.cifPhantom\""), 1u);
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
    EXPECT_EQ(count(r.json, "\"template\":\"Stat.Korvante.CifEstimates\""), 4u);
    // Two types in each of groups 1 and 3: a time-0 row and three times.
    std::vector<std::string> rows = lines(r.outcif);
    ASSERT_EQ(rows.size(), 1u + 2 * 2 * 4) << r.log;
    for (size_t i = 1; i < rows.size(); ++i)
        EXPECT_TRUE(rows[i][0] == '1' || rows[i][0] == '3') << rows[i];
}
