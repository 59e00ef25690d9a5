// Whole steps run in-process through the session: the censoring summary in
// the JSON output, the strata order and labels, and the return codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/steprun.h"

namespace
{

namespace fs = std::filesystem;

using steprun::StepRun;

// Runs `program` on the data sets of `data` (a folder from the top of the
// source tree); OUTSURV=os is r.out["os"].
StepRun run(const std::string& program, const std::string& data = "examples")
{
    return steprun::run_on(program, data);
}

} // namespace

TEST(Steps, CensoringSummaryRowsInJson)
{
    StepRun r = run("proc korvante data=lung; time time*status(1); strata sex; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.json.find("\"Stratum\":1,\"sex\":1,\"Total\":138,\"Failed\":112,\"Censored\":26"),
              std::string::npos)
        << r.json;
    EXPECT_NE(r.json.find("\"Stratum\":2,\"sex\":2,\"Total\":90,\"Failed\":53,\"Censored\":37"),
              std::string::npos);
    EXPECT_NE(r.json.find("\"Total\":228,\"Failed\":165,\"Censored\":63"), std::string::npos);
    // One output group per stratum.
    EXPECT_NE(r.json.find("\"name\":\"Stratum2\""), std::string::npos);
}

TEST(Steps, FormattedOrderAndIntervalLabels)
{
    // Character strata order by their text; interval strata by interval, with
    // the missing interval first under MISSING.
    StepRun r =
        run("proc korvante data=veteran; time time*status(0); strata celltype; run;"
            "proc korvante data=lung; time time*status(1); strata ph_ecog(1 2) / missing; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    // The censoring summaries: one per step, after the step's estimates.
    size_t s1 = r.json.find("\"name\":\"CensoredSummary\"");
    size_t s2 = r.json.rfind("\"name\":\"CensoredSummary\"");
    ASSERT_NE(s1, std::string::npos) << r.json;
    ASSERT_LT(s1, s2);
    size_t a = r.json.find("\"celltype\":\"adeno", s1), l = r.json.find("\"celltype\":\"large", s1),
           sm = r.json.find("\"celltype\":\"smallcell", s1),
           sq = r.json.find("\"celltype\":\"squamous", s1);
    ASSERT_NE(a, std::string::npos) << r.json;
    EXPECT_LT(a, l);
    EXPECT_LT(l, sm);
    EXPECT_LT(sm, sq);
    EXPECT_LT(sq, s2);
    size_t m = r.json.find("\"Total\":1,\"Failed\":1", s2), lo = r.json.find(" <     1", s2),
           hi = r.json.find(">=     2", s2);
    ASSERT_NE(m, std::string::npos) << r.json.substr(s2);
    ASSERT_NE(lo, std::string::npos);
    ASSERT_NE(hi, std::string::npos);
    EXPECT_LT(m, lo);
    EXPECT_LT(lo, hi);
}

TEST(Steps, ReturnCodesOnlyRise)
{
    // BY groups without valid data (2 and 5) among valid groups: each is
    // passed over with a warning, the others are estimated and written, and
    // the step ends with the warning's 4, not with the last group's 0.
    StepRun r = run("proc korvante data=edge outsurv=os; by g; time t*c(0); strata s; run;",
                    "tests/e2e/frame_data");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("ended with return code 4"), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find("ERROR"), std::string::npos) << r.log;
    size_t warned = 0;
    for (size_t at = 0; (at = r.log.find("has no valid observation", at)) != std::string::npos;
         ++at)
        ++warned;
    EXPECT_EQ(warned, 2u) << r.log;
    // OUTSURV= holds the rows of groups 1, 3 and 4 and none of 2 or 5.
    std::istringstream in(r.out["os"]);
    std::string line;
    std::set<std::string> groups;
    std::getline(in, line);
    EXPECT_EQ(line.rfind("g,", 0), 0u) << r.out["os"];
    while (std::getline(in, line))
        groups.insert(line.substr(0, line.find(',')));
    EXPECT_EQ(groups, (std::set<std::string>{"1", "3", "4"})) << r.out["os"];
    // With no group to analyse at all, the step had nothing to analyse.
    StepRun none =
        run("proc korvante data=novalid outsurv=os; by g; time t*c(0); run;", "tests/e2e/t3_data");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.log.find("stopped with return code 108 because there was nothing to analyse"),
              std::string::npos)
        << none.log;
}

TEST(Steps, PlotDataColumns)
{
    // The hidden plot-data table of a product-limit step with graphics: its
    // columns, and the count display widened for fractional (weighted) totals.
    // PRINTPHANTOM shows the plot data, which JSON otherwise leaves out.
    StepRun r = run("proc korvante data=aml plots=survival printphantom; time time*status(0); run;"
                    "proc korvante data=kidney plots=survival printphantom; time time*status(0); "
                    "weight frail; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    size_t p1 = r.json.find("\"name\":\"Phantom\"");
    ASSERT_NE(p1, std::string::npos) << r.json;
    std::string cols1 = r.json.substr(p1, r.json.find("\"rows\"", p1) - p1);
    const char* order[] = {"\"StratumNum\"", "\"Time\"",   "\"Survival\"",
                           "\"Event\"",      "\"AtRisk\"", "\"Censored\""};
    size_t at = 0;
    for (const char* c : order) {
        size_t f = cols1.find(c, at);
        ASSERT_NE(f, std::string::npos) << c << " in " << cols1;
        at = f;
    }
    EXPECT_EQ(cols1.find("\"Stratum\""), std::string::npos);
    EXPECT_NE(cols1.find("\"format\":\"2.0\""), std::string::npos) << cols1; // 23 patients
    size_t p2 = r.json.find("\"name\":\"Phantom\"", r.json.find("\"proc\":\"KORVANTE\"", p1));
    ASSERT_NE(p2, std::string::npos);
    std::string cols2 = r.json.substr(p2, r.json.find("\"rows\"", p2) - p2);
    EXPECT_NE(cols2.find("\"format\":\"4.1\""), std::string::npos) << cols2; // weights 10 to 100
}

TEST(Steps, OutputNamedTwiceAcrossStatements)
{
    // OUTSURV= and the SURVIVAL statement's OUT= name one output: the last
    // one given is used, and the log says which data set is written and
    // which is not.
    StepRun r = run("proc korvante data=aml outsurv=a; time time*status(0); survival out=os; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("WARNING: Line 1, column 69: OUT=os on the SURVIVAL statement and "
                         "OUTSURV=a on the PROC KORVANTE statement name the same output; the "
                         "last one given is used: the data set is written as WORK.OS, and "
                         "WORK.A is not written."),
              std::string::npos)
        << r.log;
    EXPECT_EQ(r.log.find("WORK.A was not written"), std::string::npos) << r.log;
    EXPECT_EQ(r.out.count("a"), 0u);
    EXPECT_NE(r.out["os"].find("time,_CENSOR_,SURVIVAL"), std::string::npos) << r.out["os"];
    // Both naming the same data set: written once, without a word.
    r = run("proc korvante data=aml outsurv=os; time time*status(0); survival out=work.os; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(r.log.find("WARNING"), std::string::npos) << r.log;
    EXPECT_NE(r.out["os"].find("time,_CENSOR_,SURVIVAL"), std::string::npos) << r.out["os"];
}
