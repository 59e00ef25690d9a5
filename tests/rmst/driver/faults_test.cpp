// The restricted means where the data or the request are awkward: records of
// frequency 0, a stratum or a GROUP= cell without data, estimates without
// variance, a comparison engine that gives no p-values, NOPRINT, restriction
// times the data do not reach, requests that are refused, formatted values
// that differ only far out, and more STRATA combinations than a count holds.
#include "run.h"

#include <set>

#include "support/reference.h"
#include "vyr_kernel.h"

using korvtest::Near;
using rmstest::num;

namespace
{

// Stratum A ends with two records of frequency 0 after its last record of
// positive frequency (at 8); B has data up to 11.
const char* kFreq0 = "t,s,g,f\n"
                     "1,1,A,1\n3,0,A,1\n4,1,A,2\n6,1,A,1\n8,0,A,1\n9,1,A,0\n12,1,A,0.6\n"
                     "2,1,B,1\n5,1,B,1\n7,0,B,2\n10,1,B,1\n11,0,B,1\n";
const char* kFreq0Without = "t,s,g,f\n"
                            "1,1,A,1\n3,0,A,1\n4,1,A,2\n6,1,A,1\n8,0,A,1\n"
                            "2,1,B,1\n5,1,B,1\n7,0,B,2\n10,1,B,1\n11,0,B,1\n";
// Stratum B has records of frequency 0 only.
const char* kInactive = "t,s,g,f\n"
                        "1,1,A,1\n3,0,A,1\n4,1,A,2\n6,1,A,1\n8,0,A,1\n"
                        "2,1,B,0\n5,1,B,0\n"
                        "2,1,C,1\n5,1,C,1\n7,0,C,2\n10,1,C,1\n11,0,C,1\n";

} // namespace

TEST(Faults, RecordsOfFrequencyZeroNeitherEndACellNorBreakIt)
{
    const std::string prog = "proc korvante data=%s rmst rmtl notable plots=none; time t*s(0); "
                             "freq f; strata g; run;";
    auto with = [&](const char* name) {
        std::string p = prog;
        p.replace(p.find("%s"), 2, name);
        return p;
    };
    const rmstest::Run a = rmstest::run(with("f0"), {{"f0.csv", kFreq0}});
    const rmstest::Run b = rmstest::run(with("f1"), {{"f1.csv", kFreq0Without}});
    ASSERT_EQ(a.status, 0) << a.log;
    ASSERT_EQ(b.status, 0) << b.log;
    for (const char* t : {"RMST", "RMTL"}) {
        const auto ra = korvjson::rows(a.table(t)), rb = korvjson::rows(b.table(t));
        ASSERT_EQ(ra.size(), 2u);
        ASSERT_EQ(rb.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            // The default restriction time is A's last record of positive
            // frequency, not the records of frequency 0 after it.
            EXPECT_EQ(num(ra[i], "Tau"), 8.0);
            EXPECT_TRUE(std::isfinite(num(ra[i], "Estimate")));
            EXPECT_TRUE(Near(num(ra[i], "Estimate"), num(rb[i], "Estimate"), 1e-14));
            EXPECT_TRUE(Near(num(ra[i], "StdErr"), num(rb[i], "StdErr"), 1e-14));
        }
    }
    EXPECT_TRUE(Near(num(korvjson::rows(a.table("RMSTTest"))[0], "ChiSq"),
                     num(korvjson::rows(b.table("RMSTTest"))[0], "ChiSq"), 1e-14));
}

TEST(Faults, AStratumWithoutDataTakesNoPlace)
{
    const rmstest::Run r = rmstest::run("proc korvante data=inact rmst(tau=8) notable plots=rmst "
                                        "printphantom; time t*s(0); freq f; "
                                        "strata g / diff=all; run;",
                                        {{"inact.csv", kInactive}});
    ASSERT_LE(r.status, 4) << r.log;
    // Two rows, numbered 1 and 2: B has no row.
    const auto est = korvjson::rows(r.table("RMST"));
    ASSERT_EQ(est.size(), 2u);
    EXPECT_EQ(est[0]->text("g"), "A");
    EXPECT_EQ(est[1]->text("g"), "C");
    EXPECT_EQ(num(est[1], "Stratum"), 2.0);
    // The test compares A and C only, and the one comparison is labelled
    // with the levels it compares.
    const auto test = korvjson::rows(r.table("RMSTTest"));
    ASSERT_EQ(test.size(), 1u);
    EXPECT_EQ(num(test[0], "DF"), 1.0);
    const auto diff = korvjson::rows(r.table("RMSTDiff"));
    ASSERT_EQ(diff.size(), 1u);
    EXPECT_EQ(diff[0]->text("Group1"), "A");
    EXPECT_EQ(diff[0]->text("Group2"), "C");
    const double d = num(est[0], "Estimate") - num(est[1], "Estimate");
    const double v = std::pow(num(est[0], "StdErr"), 2) + std::pow(num(est[1], "StdErr"), 2);
    EXPECT_TRUE(Near(num(diff[0], "Estimate"), d, 1e-12));
    EXPECT_TRUE(Near(num(test[0], "ChiSq"), d * d / v, 1e-12));
    // The plot data have A's and C's curves only.
    // The plot data table is named RMST too, after the estimates.
    ASSERT_EQ(r.tables("RMST").size(), 2u);
    const auto plot = korvjson::rows(r.tables("RMST").back());
    ASSERT_EQ(plot.size(), 200u);
    std::set<std::string> levels;
    std::set<double> ids;
    for (const korvjson::Value* row : plot) {
        levels.insert(row->text("g"));
        ids.insert(num(row, "GroupID"));
    }
    EXPECT_EQ(levels, (std::set<std::string>{"A", "C"}));
    EXPECT_EQ(ids, (std::set<double>{0, 1}));
}

TEST(Faults, AGroupCellWithoutDataShowsNoEstimate)
{
    // Level b of g has records of frequency 0 only in stratum 2: its row
    // there shows no estimate, and the stratified test cannot be made.
    const char* data = "t,s,st,g,f\n"
                       "1,1,1,a,1\n3,0,1,a,1\n5,1,1,a,1\n2,1,1,b,1\n4,1,1,b,1\n6,0,1,b,1\n"
                       "1,1,2,a,1\n2,1,2,a,1\n7,0,2,a,1\n3,1,2,b,0\n8,1,2,b,0\n";
    const rmstest::Run r = rmstest::run(
        "proc korvante data=gz rmst(tau=5) notable plots=none; time t*s(0); freq f; strata st / "
        "group=g diff=all; run;",
        {{"gz.csv", data}});
    EXPECT_EQ(r.status, 0) << r.log;
    const auto est = korvjson::rows(r.table("RMST"));
    ASSERT_EQ(est.size(), 4u);
    EXPECT_TRUE(std::isfinite(num(est[2], "Estimate")));
    EXPECT_TRUE(std::isnan(num(est[3], "Estimate")));
    EXPECT_TRUE(std::isnan(num(est[3], "StdErr")));
    EXPECT_EQ(r.table("RMSTStratifiedTest"), nullptr);
    EXPECT_EQ(r.table("RMSTDiff"), nullptr);
    EXPECT_TRUE(r.logHas("WARNING: A level of the GROUP= variable has no data in some stratum"));
}

TEST(Faults, EstimatesWithoutVarianceHaveNoStatistic)
{
    // No event before the restriction time: both means are tau, without
    // variance. The test has no degree of freedom and so no p-value; the
    // comparison has neither a chi-square nor a p-value.
    const char* data = "t,s,g\n5,1,A\n6,1,A\n7,1,A\n5,1,B\n8,1,B\n";
    const rmstest::Run r = rmstest::run(
        "proc korvante data=nv rmst(tau=3) notable plots=none; time t*s(0); strata g / diff=all "
        "adjust=bon; run;",
        {{"nv.csv", data}});
    EXPECT_EQ(r.status, 0) << r.log;
    const auto est = korvjson::rows(r.table("RMST"));
    ASSERT_EQ(est.size(), 2u);
    EXPECT_EQ(num(est[0], "Estimate"), 3.0);
    EXPECT_EQ(num(est[0], "StdErr"), 0.0);
    const auto test = korvjson::rows(r.table("RMSTTest"));
    ASSERT_EQ(test.size(), 1u);
    EXPECT_EQ(num(test[0], "ChiSq"), 0.0);
    EXPECT_EQ(num(test[0], "DF"), 0.0);
    EXPECT_TRUE(std::isnan(num(test[0], "ProbChiSq")));
    const auto diff = korvjson::rows(r.table("RMSTDiff"));
    ASSERT_EQ(diff.size(), 1u);
    EXPECT_EQ(num(diff[0], "Estimate"), 0.0);
    EXPECT_TRUE(std::isnan(num(diff[0], "ChiSq")));
    EXPECT_TRUE(std::isnan(num(diff[0], "ProbChiSq")));
    EXPECT_TRUE(std::isnan(num(diff[0], "AdjProbChiSq")));
}

TEST(Faults, AnEngineWithoutPValuesIsReportedNotRead)
{
    // The comparison engine cannot be loaded: the comparisons are printed
    // with missing p-values and an error, and the step says it failed.
    rmstest::ready();
    vyr_kernel_register_extension("qxmclsm", [](QXHandle*) -> void* { return nullptr; });
    const rmstest::Run r =
        rmstest::run("proc korvante data=veteran rmst(tau=100) notable plots=none; "
                     "time time*status(0); strata celltype / diff=all adjust=bon; run;");
    korv_mcomp_register_engine();
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.logHas("ERROR: The multiple-comparison engine gave no p-values")) << r.log;
    const auto diff = korvjson::rows(r.table("RMSTDiff"));
    ASSERT_EQ(diff.size(), 6u);
    for (const korvjson::Value* row : diff) {
        EXPECT_TRUE(std::isfinite(num(row, "ChiSq")));
        EXPECT_TRUE(std::isnan(num(row, "ProbChiSq")));
        EXPECT_TRUE(std::isnan(num(row, "AdjProbChiSq")));
    }
}

TEST(Faults, ControlValuesThatNameNoLevel)
{
    const rmstest::Run r = rmstest::run(
        "proc korvante data=veteran rmst(tau=100) notable plots=none; time time*status(0); "
        "strata celltype / diff=control('none') adjust=dunnett; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_TRUE(r.logHas("ended with return code 4"));
    EXPECT_TRUE(r.logHas("WARNING: The CONTROL value(s) 'none' name no stratum or GROUP= level"));
    const auto diff = korvjson::rows(r.table("RMSTDiff"));
    ASSERT_EQ(diff.size(), 3u);
    for (const korvjson::Value* row : diff)
        EXPECT_EQ(row->text("Group2"), "adeno");
}

TEST(Faults, NoprintSaysTheRestrictedMeansAreNotComputed)
{
    // Their results are only printed: under NOPRINT there is no output to
    // make them for, and the log says so once, not once per BY group.
    const rmstest::Run r =
        rmstest::run("proc korvante data=veteran rmst rmtl noprint plots=(rmst rmtl); "
                     "time time*status(0); by trt; strata celltype / diff=all; run;");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(r.table("RMST"), nullptr);
    EXPECT_TRUE(r.graphs().empty());
    const std::string note = "NOTE: With NOPRINT the restricted means";
    const size_t at = r.log.find(note);
    ASSERT_NE(at, std::string::npos) << r.log;
    EXPECT_EQ(r.log.find(note, at + 1), std::string::npos);
}

TEST(Faults, EachAnalysisChecksItsOwnRestrictionTime)
{
    // RMTL's restriction time is past the data: its analysis is not done,
    // with an error that reaches the step's return code; RMST's is done.
    const rmstest::Run r = rmstest::run(
        "proc korvante data=veteran rmst(tau=100) rmtl(tau=100000) notable plots=none; "
        "time time*status(0); strata celltype; run;");
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.logHas("ERROR: The restriction time RMTL(TAU=100000) is larger than 186"));
    EXPECT_EQ(korvjson::rows(r.table("RMST")).size(), 4u);
    EXPECT_EQ(r.table("RMTL"), nullptr);
    EXPECT_TRUE(r.groups("RMTL Analysis").empty());
    // A restriction time equal to the largest time is accepted.
    const rmstest::Run ok = rmstest::run("proc korvante data=veteran rmst(tau=186) notable "
                                         "plots=none; time time*status(0); strata celltype; run;");
    EXPECT_EQ(ok.status, 0) << ok.log;
}

TEST(Faults, RequestsThatAreRefused)
{
    const struct {
        const char* program;
        int status; // 0: any non-zero
        const char* log;
    } cases[] = {
        {"proc korvante data=veteran rmst(tau=0); time time*status(0); run;", 0,
         "ERROR: The restriction time RMST(TAU=0) must be positive."},
        {"proc korvante data=veteran rmtl(tau=-3); time time*status(0); run;", 0,
         "ERROR: The restriction time RMTL(TAU=-3) must be positive."},
        {"proc korvante data=veteran rmst notable; time time*status(0); weight karno; run;", 4,
         "WARNING: Restricted means (RMST, RMTL) are not available with a WEIGHT statement"},
        {"proc korvante data=veteran rmst notable; time time*status(0); strata karno(50 70); run;",
         4, "WARNING: Restricted means (RMST, RMTL) are not available with cut points"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        const rmstest::Run r = rmstest::run(c.program);
        // A warning leaves the run's status at 0, with return code 4.
        if (c.status == 4) {
            EXPECT_EQ(r.status, 0);
            EXPECT_TRUE(r.logHas("ended with return code 4"));
        } else {
            EXPECT_NE(r.status, 0);
        }
        EXPECT_TRUE(r.logHas(c.log)) << r.log;
        EXPECT_EQ(r.table("RMST"), nullptr);
        EXPECT_EQ(r.table("RMTL"), nullptr);
    }
}

TEST(Faults, FormattedValuesAreNeverCutIntoOneLevel)
{
    // Two values that agree in their first 18 characters are two levels,
    // even under a format.
    const char* data =
        "t,s,g\n1,1,abcdefghijklmnopqrA\n3,1,abcdefghijklmnopqrA\n4,0,abcdefghijklmnopqrA\n"
        "2,1,abcdefghijklmnopqrB\n5,1,abcdefghijklmnopqrB\n6,0,abcdefghijklmnopqrB\n";
    const rmstest::Run r =
        rmstest::run("proc korvante data=fv rmst notable plots=none; time t*s(0); strata g; run;",
                     {{"fv.csv", data}, {"fv.attr", "variable g format=$24.\n"}});
    EXPECT_EQ(r.status, 0) << r.log;
    const auto est = korvjson::rows(r.table("RMST"));
    ASSERT_EQ(est.size(), 2u);
    EXPECT_EQ(est[0]->text("g"), "abcdefghijklmnopqrA");
    EXPECT_EQ(est[1]->text("g"), "abcdefghijklmnopqrB");
    EXPECT_FALSE(r.logHas("are cut to"));
}

TEST(Faults, StrataCombinationsBeyondAnIntegerCount)
{
    // Four STRATA variables of 220 levels each: more combinations than a
    // 32-bit count holds, but only the 220 observed ones are cells.
    std::string data = "t,s,a,b,c,d\n";
    for (long long i = 0; i < 220; ++i)
        data += std::to_string(1 + i % 37) + "," + std::to_string(i % 2) + "," + std::to_string(i) +
                "," + std::to_string((i * 7) % 220) + "," + std::to_string((i * 13) % 220) + "," +
                std::to_string((i * 17) % 220) + "\n";
    const rmstest::Run r = rmstest::run("proc korvante data=many rmst(tau=1) notable plots=none; "
                                        "time t*s(0); strata a b c d / notest; run;",
                                        {{"many.csv", data}});
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(korvjson::rows(r.table("RMST")).size(), 220u);
    // Six variables of 470 levels: more combinations than a double numbers
    // exactly; refused with a message.
    std::string big = "t,s,a,b,c,d,e,f\n";
    for (long long i = 0; i < 470; ++i) {
        big += std::to_string(1 + i % 37) + ",1";
        for (long long m : {1, 7, 11, 13, 17, 19})
            big += "," + std::to_string((i * m) % 470);
        big += "\n";
    }
    const rmstest::Run b = rmstest::run("proc korvante data=big rmst notable plots=none; "
                                        "time t*s(0); strata a b c d e f / notest; run;",
                                        {{"big.csv", big}});
    EXPECT_NE(b.status, 0);
    EXPECT_TRUE(b.logHas("more level combinations than the restricted means can number")) << b.log;
    EXPECT_EQ(b.table("RMST"), nullptr);
}

TEST(Faults, CompetingRisksGiveTheMeanTimeFreeOfAnyEvent)
{
    // Status 1 is the failure code, 2 a competing event: both end the time
    // free of any event. By hand, S = 1, .8, .6 (censored at 3), .3, 0 at
    // 1, 2, 4, 5: RMST(5) = 1 + .8 + 1.2 + .3 = 3.3 (3.8 if the competing
    // events were taken as censored), RMTL = 1.7, and the variance
    // 2.3^2/20 + 1.5^2/12 + .3^2/2 = .497. The note comes once, not per BY
    // group.
    const char* data =
        "b,t,s\n1,1,1\n1,2,2\n1,3,0\n1,4,1\n1,5,2\n2,1,1\n2,2,2\n2,3,0\n2,4,1\n2,5,2\n";
    const rmstest::Run r = rmstest::run("proc korvante data=ev rmst(tau=5) rmtl(tau=5) notable; "
                                        "by b; time t*s(0) / failcode=1; run;",
                                        {{"ev.csv", data}});
    ASSERT_EQ(r.status, 0) << r.log;
    const std::string note = "NOTE: With competing risks the restricted means count an event of "
                             "any failure type as an event";
    const size_t at = r.log.find(note);
    ASSERT_NE(at, std::string::npos) << r.log;
    EXPECT_EQ(r.log.find(note, at + 1), std::string::npos) << r.log;
    for (const auto* t : {"RMST", "RMTL"}) {
        const auto tables = r.tables(t);
        ASSERT_EQ(tables.size(), 2u) << t;
        for (const korvjson::Value* table : tables) {
            const auto rows = korvjson::rows(table);
            ASSERT_EQ(rows.size(), 1u);
            EXPECT_TRUE(Near(num(rows[0], "Estimate"), t[3] == 'T' ? 3.3 : 1.7, 1e-14)) << t;
            EXPECT_TRUE(Near(num(rows[0], "StdErr"), std::sqrt(0.497), 1e-14)) << t;
        }
    }
    // Without competing risks nothing is said.
    const rmstest::Run plain = rmstest::run(
        "proc korvante data=ev rmst(tau=5) notable; by b; time t*s(0); run;", {{"ev.csv", data}});
    EXPECT_FALSE(plain.logHas("With competing risks")) << plain.log;
}
