// The variables of OUTSURV=, OUTTEST= and OUTCIF= as the host receives them.
#include "support/results_fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "vyr_host.h"
#include "vyr_parse.h"

namespace
{

namespace fs = std::filesystem;

struct OutputDataSets : ResultsFixture {
    fs::path dir;
    std::vector<DSHANDLE*> open;
    void SetUp() override
    {
        ResultsFixture::SetUp();
        dir = fs::temp_directory_path() / ("korv_outdata_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        q.fileouts = output("outs");
    }
    void TearDown() override
    {
        for (DSHANDLE* ds : open)
            vyr_dsclose(ds, false);
        // The step's data sets end here, so that the next test may name them
        // again (the tests run in one process too).
        vyr_data_step_end(false);
        fs::remove_all(dir);
        ResultsFixture::TearDown();
    }
    DSHANDLE* output(const char* name)
    {
        DSHANDLE* ds = nullptr;
        EXPECT_EQ(
            vyr_dsopen_path((dir / (std::string(name) + ".csv")).string(), VYR_DS_OUTPUT, &ds), 0);
        open.push_back(ds);
        return ds;
    }
    Names variables(void* ds)
    {
        Names v;
        for (const auto& c : vyr::data::columns(static_cast<DSHANDLE*>(ds)))
            v.push_back(c.name);
        return v;
    }
    std::string label(void* ds, const std::string& name)
    {
        for (const auto& c : vyr::data::columns(static_cast<DSHANDLE*>(ds)))
            if (c.name == name)
                return c.label;
        return "<none>";
    }
};

// The labels of the limits say the confidence level as the tables do
// ("66.7% Confidence Limits"), to every digit ALPHA= gives.
TEST_F(OutputDataSets, OutsurvLabelsSayTheLevelAsTheTablesDo)
{
    struct Case {
        double alpha;
        const char* lower;
        const char* band;
    };
    for (const Case& c :
         {Case{0.333, "SDF Lower 66.7% Confidence Limit", "Hall-Wellner Upper 66.7% Band"},
          Case{0.00015, "SDF Lower 99.985% Confidence Limit", "Hall-Wellner Upper 99.985% Band"},
          Case{0.9999, "SDF Lower 0.01% Confidence Limit", "Hall-Wellner Upper 0.01% Band"}}) {
        q.alpha = c.alpha;
        q.confband = 1;
        q.fileouts = output(("level" + std::to_string(open.size())).c_str());
        korvout(&q);
        EXPECT_EQ(label(q.fileouts, "SDF_LCL"), c.lower);
        EXPECT_EQ(label(q.fileouts, "HW_UCL"), c.band);
    }
}

TEST_F(OutputDataSets, OutsurvProductLimitWithBandsAndStrata)
{
    addStrata("Sex", false, 1, 6);
    q.confband = 3;
    q.zseout = 1;
    q.zSurvStmt = 1;
    korvout(&q);
    EXPECT_EQ(variables(q.fileouts),
              (Names{"Sex", "Days", "_CENSOR_", "SURVIVAL", "SDF_STDERR", "CONFTYPE", "SDF_LCL",
                     "SDF_UCL", "HW_LCL", "HW_UCL", "EP_LCL", "EP_UCL", "STRATUM"}));
    EXPECT_EQ(label(q.fileouts, "Days"), "Days on Study");
    EXPECT_EQ(label(q.fileouts, "SDF_LCL"), "SDF Lower 95% Confidence Limit");
    EXPECT_EQ(label(q.fileouts, "HW_UCL"), "Hall-Wellner Upper 95% Band");
    for (const auto& c : vyr::data::columns(static_cast<DSHANDLE*>(q.fileouts))) {
        if (c.name == "CONFTYPE") {
            EXPECT_FALSE(c.numeric);
            EXPECT_EQ(c.length, 8);
        }
    }
}

TEST_F(OutputDataSets, OutsurvLifeTableAndNameRules)
{
    q.method = 1;
    q.zseout = 1;
    q.confband = 3; // ignored for the life table
    q.zreduce = 1;
    q.ztimelst = 1; // no TIMELIST variable for the life table
    korvout(&q);
    EXPECT_EQ(variables(q.fileouts), (Names{"Days", "SURVIVAL", "SDF_STDERR", "SDF_LCL", "SDF_UCL",
                                            "MIDPOINT", "PDF", "PDF_STDERR", "PDF_LCL", "PDF_UCL",
                                            "HAZARD", "HAZ_STDERR", "HAZ_LCL", "HAZ_UCL"}));
    EXPECT_EQ(label(q.fileouts, "Days"), "Start of the Time Interval");
}

TEST_F(OutputDataSets, OutsurvReducedWithTimelistUnderV6Names)
{
    q.zreduce = 1;
    q.ztimelst = 1;
    q.v6names = 1;
    addStrata("Sex", false, 1, 6);
    korvout(&q);
    EXPECT_EQ(variables(q.fileouts), (Names{"Sex", "_TIME_", "Days", "_CENSOR_", "SURVIVAL",
                                            "SDF_LCL", "SDF_UCL", "_STRTUM_"}));
}

TEST_F(OutputDataSets, SidVariablesHaveUniqueNames)
{
    std::string longA(32, 'A');
    std::string longB = std::string(31, 'A') + "B";
    addStrata(longA, false, 2, 6);
    addStrata(longB, false, 2, 6);
    addStrata("_Sex", false, 1, 4);
    addStrata("Sex", false, 1, 4); // its SID name "_Sex" is taken by the variable above
    q.zstrataid = 1;
    korvout(&q);
    Names v = variables(q.fileouts);
    ASSERT_GE(v.size(), 8u);
    Names sid(v.begin() + 4, v.begin() + 8);
    EXPECT_EQ(sid[0], "_" + std::string(31, 'A'));
    EXPECT_NE(sid[1], sid[0]);
    EXPECT_EQ(sid[1].size(), 32u);
    EXPECT_NE(sid[3], "_Sex");
    std::vector<std::string> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
        << "duplicate variable names";
    EXPECT_EQ(label(q.fileouts, sid[2]), "Formatted Value of _Sex");
}

TEST_F(OutputDataSets, OuttestWithAndWithoutTestVariables)
{
    q.fileouts = nullptr;
    q.fileoutt = output("outt");
    q.maxname = 7;
    korvout(&q);
    EXPECT_EQ(variables(q.fileoutt), (Names{"_TYPE_", "_NAME_", "Days"}));

    q.fileoutt = output("outt2");
    addTestVariable("Age");
    addTestVariable("Weight");
    q.maxname = 6;
    korvout(&q);
    EXPECT_EQ(variables(q.fileoutt), (Names{"_TYPE_", "_NAME_", "Days", "Age", "Weight"}));
    for (const auto& c : vyr::data::columns(static_cast<DSHANDLE*>(q.fileoutt)))
        if (c.name == "_NAME_") {
            EXPECT_EQ(c.length, 6);
        }
}

TEST_F(OutputDataSets, OutcifFullAndReducedForms)
{
    q.cmprisk = &cmp;
    addStrata("Arm", false, 1, 4);
    korvout(&q);
    EXPECT_EQ(variables(q.fileouts),
              (Names{"Failcode", "Arm", "Days", "AtRisk", "Event", "AllEventTypes", "Censored",
                     "CIF", "StdErr", "ALPHA", "CONFTYPE", "CIF_LCL", "CIF_UCL", "STRATUM"}));
    EXPECT_EQ(label(q.fileouts, "StdErr"), "Standard Error of the CIF (Aalen)");
    EXPECT_EQ(label(q.fileouts, "CIF_UCL"), "CIF 95% Upper Confidence Limit");
}

TEST_F(OutputDataSets, OutcifReducedWithTimelistAndVariance)
{
    q.cmprisk = &cmp;
    cmp.printVar = 1;
    cmp.error = 1;
    static double tl[2] = {1, 5};
    q.timelist = tl;
    q.ztimelst = 1;
    q.zreduce = 1;
    korvout(&q);
    EXPECT_EQ(variables(q.fileouts), (Names{"Failcode", "TIMELIST", "Days", "CIF", "Variance",
                                            "ALPHA", "CONFTYPE", "CIF_LCL", "CIF_UCL"}));
    EXPECT_EQ(label(q.fileouts, "Variance"), "Variance of the CIF (Delta Method)");
    // The time variable keeps its own label, not TIMELIST's.
    EXPECT_EQ(label(q.fileouts, "Days"), "Days on Study");
    EXPECT_EQ(label(q.fileouts, "TIMELIST"), "Timelist");
}

} // namespace

namespace
{

TEST_F(OutputDataSets, ByVariablesComeFirstAndSidNamesAvoidThem)
{
    std::ofstream(dir / "in.csv") << "_Sex,Sex,Days\nA,F,1\n";
    DSHANDLE* in = nullptr;
    ASSERT_EQ(vyr_dsopen_path((dir / "in.csv").string(), VYR_DS_INPUT, &in), 0);
    open.push_back(in);
    q.filein = in;
    int byvars[1] = {1};
    STLIST fld[1]{};
    fld[0].type = STL_VARS;
    fld[0].n = 1;
    fld[0].ivals = byvars;
    STMT proc{};
    proc.nfld = 1;
    proc.fld = fld;
    q.stmt = &proc;
    q.nby = 1;
    q.zstrataid = 1;
    addStrata("Sex", false, 1, 4);
    korvout(&q);
    Names v = variables(q.fileouts);
    ASSERT_GE(v.size(), 3u);
    EXPECT_EQ(v[0], "_Sex"); // the BY variable
    EXPECT_EQ(v[1], "Sex");
    EXPECT_NE(v[2], "_Sex");
    EXPECT_EQ(v[2].rfind("_Se", 0), 0u) << v[2];
}

} // namespace
