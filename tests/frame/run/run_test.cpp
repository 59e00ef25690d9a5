// Whole steps run in-process through the session: the censoring summary in
// the JSON output, the strata order and labels, and the return codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/frame.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace
{

namespace fs = std::filesystem;

struct StepRun {
    int status = -1;
    std::string json, log;
};

StepRun run(const std::string& program, const std::string& data = "/examples")
{
    static bool registered = false;
    if (!registered) {
        korv_register_procedure();
        registered = true;
    }
    fs::path dir = fs::temp_directory_path() / ("korv_run_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.dataDir = std::string(KORV_SOURCE_DIR) + data;
    s.outDir = dir.string();
    s.json = (dir / "out.json").string();
    s.log = (dir / "log.txt").string();
    s.listing = (dir / "listing.txt").string();
    StepRun r;
    r.status = vyr_run_text(s, program);
    auto slurp = [](const fs::path& p) {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    r.json = slurp(dir / "out.json");
    r.log = slurp(dir / "log.txt");
    vyr_output_reset();
    fs::remove_all(dir);
    return r;
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
    size_t a = r.json.find("\"celltype\":\"adeno"), l = r.json.find("\"celltype\":\"large"),
           sm = r.json.find("\"celltype\":\"smallcell"),
           sq = r.json.find("\"celltype\":\"squamous");
    ASSERT_NE(a, std::string::npos) << r.json;
    EXPECT_LT(a, l);
    EXPECT_LT(l, sm);
    EXPECT_LT(sm, sq);
    size_t m = r.json.find("\"Total\":1,\"Failed\":1"), lo = r.json.find(" <     1"),
           hi = r.json.find(">=     2");
    ASSERT_NE(lo, std::string::npos) << r.json;
    ASSERT_NE(hi, std::string::npos);
    EXPECT_LT(m, lo);
    EXPECT_LT(lo, hi);
}

TEST(Steps, ReturnCodesOnlyRise)
{
    // A BY group without valid data (108) followed by valid groups: the step
    // ends with 108, not with the last group's 0.
    StepRun r =
        run("proc korvante data=edge; by g; time t*c(0); strata s; run;", "/tests/e2e/frame_data");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.log.find("stopped with return code 108"), std::string::npos) << r.log;
}
