// Which tables a run defines, and the columns of each.
#include "support/results_fixture.h"

#include <cstdint>

#include "vyr_host.h"

namespace
{

using Decision = ResultsFixture;

TEST_F(Decision, ProductLimitWithoutStrataHasNoTestTables)
{
    korvprl(&q);
    EXPECT_EQ(defined(),
              (Names{"ProductLimitEstimates", "Quartiles", "Means", "CensoredSummary", "Legend"}));
}

TEST_F(Decision, LifeTableHasNoQuartilesOrMeans)
{
    q.method = 1;
    addStrata("Sex", false, 1, 1);
    korvprl(&q);
    EXPECT_EQ(defined(),
              (Names{"LifetableEstimates", "CensoredSummary", "HomStats", "HomTests", "Legend"}));
    EXPECT_EQ(q.Quantile, nullptr);
    EXPECT_EQ(q.Mean, nullptr);
}

TEST_F(Decision, NoPrintDefinesNothingOrTheLegendAloneForLinePrinterPlots)
{
    q.zprint = 0;
    addStrata("Sex", false, 1, 1);
    korvprl(&q);
    EXPECT_TRUE(defined().empty());
    q.zplot = 1;
    korvprl(&q);
    EXPECT_EQ(defined(), (Names{"Legend"}));
}

TEST_F(Decision, TrendAndNoDetail)
{
    addStrata("Dose", true, 8, 8);
    q.ktype |= 1 | 4; // TREND, NODETAIL
    korvprl(&q);
    EXPECT_EQ(info(q.HomTest).name, "TrendTests");
    EXPECT_EQ(q.HomStat, nullptr);

    q.HomTest = nullptr;
    q.ktype &= ~1;
    korvprl(&q);
    EXPECT_EQ(info(q.HomTest).name, "HomTests");
    EXPECT_EQ(q.HomStat, nullptr);

    q.ktype &= ~4;
    korvprl(&q);
    EXPECT_EQ(info(q.HomStat).name, "HomStats");
}

TEST_F(Decision, TestCovariatesGiveFourTablesInOrder)
{
    addTestVariable("Age");
    addTestVariable("Weight");
    addTestVariable("Stage");
    korvprl(&q);
    EXPECT_EQ(info(q.UniChiW).name, "WilUniChiSq");
    EXPECT_EQ(info(q.StepW).name, "WilForStepSeq");
    EXPECT_EQ(info(q.UniChiL).name, "LogUniChiSq");
    EXPECT_EQ(info(q.StepL).name, "LogForStepSeq");
    EXPECT_EQ(columns(q.StepL),
              (Names{"Variable", "DF", "ChiSq", "ProbChiSq", "Increment", "ProbIncrement"}));
    q.clablen = 20;
    korvprl(&q);
    EXPECT_EQ(columns(q.UniChiW),
              (Names{"Variable", "Statistic", "StdErr", "ChiSq", "ProbChiSq", "Label"}));
}

TEST_F(Decision, CompetingRisksDefinesItsOwnTablesOnly)
{
    q.cmprisk = &cmp;
    q.kmhaz = &sm;
    sm.nbw = 3;
    q.zprint = 0;
    korvprl(&q);
    EXPECT_TRUE(defined().empty());

    q.zprint = 1;
    addStrata("Arm", false, 4, 4);
    cmp.plot = 1;
    korvprl(&q);
    EXPECT_EQ(defined(), (Names{"CIF", "FailureSummary", "GrayTest", "Phantom"}));
    EXPECT_EQ(sm.data, nullptr);
    EXPECT_EQ(sm.mise, nullptr);
    EXPECT_TRUE(info(q.HomTest).flag336);
    EXPECT_EQ(columns(q.HomTest), (Names{"Failcode", "ChiSq", "DF", "ProbChiSq"}));

    // Tests switched off, NOTABLE, no plot.
    q.Surv = q.HomTest = q.Phantom = nullptr;
    q.ktype |= 2;
    q.znotable = 1;
    cmp.plot = 0;
    korvprl(&q);
    EXPECT_EQ(defined(), (Names{"FailureSummary"}));
}

TEST_F(Decision, SmoothedHazardTablesByNumberOfBandwidths)
{
    q.kmhaz = &sm;
    sm.nbw = 1;
    korvprl(&q);
    EXPECT_EQ(sm.mise, nullptr);
    EXPECT_EQ(columns(sm.data), (Names{"StratumNum", "Time", "Hazard"}));
    sm.nbw = 0;
    sm.zcl = 1;
    korvprl(&q);
    EXPECT_EQ(sm.mise, nullptr);
    EXPECT_EQ(columns(sm.data), (Names{"StratumNum", "Time", "Hazard", "StdErr", "Lower", "Upper",
                                       "BandwidthLabel"}));
    EXPECT_EQ(column(sm.data, "Lower")->label, "95% Lower Confidence Limit");
    EXPECT_EQ(column(sm.data, "Time")->label, "Days on Study");
    sm.nbw = 4;
    q.zprint = 0; // smoothed hazards are defined with or without printing
    korvprl(&q);
    ASSERT_NE(sm.mise, nullptr);
    EXPECT_EQ(columns(sm.mise), (Names{"StratumNum", "Bandwidth", "MISE"}));
    EXPECT_EQ(info(sm.mise).label, "Mean Integrated Squared Error");
}

using Columns = ResultsFixture;

TEST_F(Columns, ProductLimitTableByOptions)
{
    addStrata("Sex", false, 1, 6);
    addStrata("Age", true, 8, 12, 2); // with cut points
    addStrata("Site", true, 8, 8);
    setGroup("Arm", false, 8, 4);
    q.method = 2;
    q.zNelson = 1;
    q.zatRisk = 1;
    q.zfreq = 1;
    q.zwt = 1;
    addId("Patient", false, 12);
    addId("Visit", true, 8);
    SurvTblPL(&q);
    EXPECT_EQ(info(q.Surv).name, "BreslowEstimates");
    EXPECT_EQ(info(q.Surv).label, "Breslow Survival Estimates");
    EXPECT_EQ(columns(q.Surv),
              (Names{"Sex", "F_Age", "Site", "Arm", "Days", "Censor", "Survival", "Failure",
                     "StdErr", "CumHaz", "StdErrCumHaz", "Failed", "Left", "NumberAtRisk",
                     "ObservedEvents", "Freq", "Weight", "Patient", "Visit"}));
    // Raw values follow the formatted part of the key; the cut variable reads its formatted text.
    EXPECT_EQ(address(q.Surv, "Sex"), q.value + q.slenf);
    EXPECT_EQ(address(q.Surv, "F_Age"), q.value + 6);
    EXPECT_EQ(column(q.Surv, "F_Age")->length, 12);
    EXPECT_EQ(column(q.Surv, "F_Age")->label, "Interval of Age");
    EXPECT_EQ(address(q.Surv, "Site"), q.value + q.slenf + 1 + 8);
    EXPECT_EQ(address(q.Surv, "Arm"), grp.value + 8);
    EXPECT_EQ(address(q.Surv, "Visit"), q.idval + 12); // after the 12-byte character ID
    EXPECT_EQ(column(q.Surv, "Patient")->templateColumn, "GenericIDCharacter");
    EXPECT_EQ(column(q.Surv, "Days")->templateColumn, "GenericTime");
    EXPECT_EQ(column(q.Surv, "NumberAtRisk")->label, "");
    // Hidden strata columns carry no template column or dynamics.
    EXPECT_TRUE(column(q.Surv, "Site")->templateColumn.empty());

    // TIMELIST= drops Freq, Weight and the IDs; NOLEFT drops Failed and Left.
    static double tl[2] = {1, 2};
    q.ztimelst = 1;
    q.timelist = tl;
    q.znoLeft = 1;
    q.zNelson = q.zatRisk = 0;
    SurvTblPL(&q);
    EXPECT_EQ(columns(q.Surv), (Names{"Sex", "F_Age", "Site", "Arm", "Timelist", "Days", "Censor",
                                      "Survival", "Failure", "StdErr"}));
}

TEST_F(Columns, LifeTableQuartilesMeansAndLegend)
{
    addStrata("Sex", false, 1, 6);
    SurvTblLT(&q);
    Names lt = columns(q.Surv);
    ASSERT_EQ(lt.size(), 17u);
    EXPECT_EQ(lt.front(), "Sex");
    EXPECT_EQ(lt[1], "LowerTime");
    EXPECT_EQ(lt.back(), "HazStdErr");
    EXPECT_EQ(address(q.Surv, "UpperTime"), &q.iovar[24]);

    q.qtalpha = 0.1;
    Quantile(&q);
    EXPECT_EQ(columns(q.Quantile),
              (Names{"Sex", "Percent", "Estimate", "Transform", "LowerLimit", "UpperLimit"}));
    EXPECT_EQ(column(q.Quantile, "LowerLimit")->label, "90% Confidence Interval Lower Limit");
    EXPECT_EQ(column(q.Quantile, "Transform")->length, 8);
    Mean(&q);
    EXPECT_EQ(columns(q.Mean), (Names{"Sex", "Mean", "StdErr", "Bias"}));
    EXPECT_EQ(column(q.Mean, "Bias")->length, 60);
    Legend(&q);
    // The strata columns come last, in their shown form.
    EXPECT_EQ(columns(q.Legend), (Names{"Stratum", "Symbol", "Sex"}));
    EXPECT_EQ(column(q.Legend, "Sex")->templateColumn, "StrChrVar");
    ASSERT_EQ(column(q.Legend, "Sex")->dynamics.size(), 1u);
    EXPECT_EQ(column(q.Legend, "Sex")->dynamics[0].name, "StrVarLab");
    EXPECT_EQ(column(q.Legend, "Sex")->dynamics[0].text, "Sex");
}

TEST_F(Columns, CensoredSummaryWithAndWithoutStrata)
{
    Summary(&q);
    EXPECT_TRUE(info(q.Summary).flag336);
    EXPECT_EQ(columns(q.Summary), (Names{"Total", "Failed", "Censored", "PctCens"}));
    addStrata("Dose", true, 8, 8);
    Summary(&q);
    EXPECT_EQ(columns(q.Summary),
              (Names{"control_var", "Stratum", "Dose", "Total", "Failed", "Censored", "PctCens"}));
    EXPECT_EQ(column(q.Summary, "control_var")->type, 1);
    EXPECT_EQ(column(q.Summary, "Dose")->templateColumn, "StrNumVar");
}

TEST_F(Columns, HomogeneityTablesIdentifyTheStratum)
{
    q.ktype = 8 | 16 | 32 | 64 | 128;
    static double fh[2] = {1, -1};
    q.fleming = fh;
    addStrata("Sex", false, 1, 6);
    HomStat(&q);
    EXPECT_EQ(columns(q.HomStat),
              (Names{"Sex", "LogRank", "Wilcoxon", "Tarone", "Peto", "ModifiedPeto", "Fleming"}));
    EXPECT_EQ(column(q.HomStat, "Sex")->length, 6);
    EXPECT_EQ(column(q.HomStat, "Sex")->templateColumn, "gstrata");
    addStrata("Age", true, 8, 8);
    TrendScore(&q);
    EXPECT_EQ(columns(q.HomStat), (Names{"Stratum", "Score"}));
    setGroup("Arm", false, 8, 4);
    HomStat(&q);
    Names c = columns(q.HomStat);
    ASSERT_GE(c.size(), 2u);
    EXPECT_EQ(c[0], "Arm");
    EXPECT_EQ(c[1], "FArm");
    TrendTest(&q);
    EXPECT_EQ(columns(q.HomTest), (Names{"Test", "TestStatistic", "StdErr", "zScore", "Probz",
                                         "LowerProbz", "UpperProbz"}));
}

TEST_F(Columns, TestColumnLengthFollowsTheLongestRequestedLabel)
{
    q.ktype = 8; // "Log-Rank": shorter than 10
    EXPECT_EQ(TestColumnLength(&q), 10);
    q.ktype = 8 | 128; // "Modified Peto"
    EXPECT_EQ(TestColumnLength(&q), 13);
    static double fh[2] = {1.23456789e-300, 9.87654321e-300};
    q.fleming = fh;
    q.ktype = 8 | 256;
    EXPECT_EQ(TestColumnLength(&q), 32); // "Fleming(1.23457e-300,9.87654e-300)" is cut
    fh[1] = -1;
    EXPECT_EQ(TestColumnLength(&q), 21); // "Fleming(1.23457e-300)"
    HomTest(&q);
    EXPECT_EQ(column(q.HomTest, "Test")->length, 21);
}

TEST_F(Columns, SurvDiffComparisonColumnsAndAdjustment)
{
    q.survdiff = &sd;
    sd.method = -2;
    sd.step = 1;
    addStrata("Sex", false, 6, 6);
    SurvDiff(&q);
    EXPECT_EQ(columns(sd.data), (Names{"Stratum1", "Stratum2", "ChiSq", "Raw", "StepdownSidak"}));
    // The headers say which level of the pair is which.
    EXPECT_EQ(column(sd.data, "Stratum1")->label, "First Sex");
    EXPECT_EQ(column(sd.data, "Stratum2")->label, "Second Sex");
    const void* a = nullptr;
    EXPECT_EQ(address(sd.data, "StepdownSidak"), &q.iovar[5]);
    EXPECT_EQ(sd.ival, q.label);
    EXPECT_EQ(sd.jval, q.label + 6);
    EXPECT_EQ(sd.grouplen, 10);
    sd.type = -2;
    SurvDiff(&q);
    EXPECT_EQ(column(sd.data, "Stratum1")->label, "Sex");
    EXPECT_EQ(column(sd.data, "Stratum2")->label, "Control Sex");

    // The one-sided comparisons with a control get a name and a label.
    sd.method = 0;
    sd.type = -3;
    sd.step = 0;
    SurvDiff(&q);
    const vdq::Column* adj = column(sd.data, "DunnettOneSided", &a);
    ASSERT_NE(adj, nullptr);
    EXPECT_FALSE(adj->label.empty());
    EXPECT_EQ(a, &q.iovar[3]);
    // No adjustment: no adjusted column.
    sd.method = -6;
    SurvDiff(&q);
    EXPECT_EQ(columns(sd.data).size(), 4u);

    // A long GROUP= value: the buffers come from the pool.
    setGroup("Centre", false, 200, 200);
    sd.method = -1;
    q.ktype |= 128;
    SurvDiff(&q);
    EXPECT_EQ(columns(sd.data), (Names{"Group1", "Group2", "ChiSq", "Raw", "Bonferroni"}));
    EXPECT_NE(sd.ival, q.label);
    EXPECT_EQ(sd.jval, sd.ival + 200);
    EXPECT_EQ(column(sd.data, "Group2")->length, 200);
    EXPECT_EQ(sd.grouplen, 13);

    // Several STRATA variables and no GROUP=: stratum numbers.
    q.grpvar = nullptr;
    addStrata("Age", true, 8, 8);
    SurvDiff(&q);
    EXPECT_EQ(columns(sd.data),
              (Names{"StratumNumber1", "StratumNumber2", "ChiSq", "Raw", "Bonferroni"}));
    EXPECT_EQ(column(sd.data, "StratumNumber1")->label, "First Stratum");
    EXPECT_EQ(column(sd.data, "StratumNumber2")->label, "Second Stratum");
}

TEST_F(Columns, SmoothedHazardStratumLabelBuffer)
{
    q.kmhaz = &sm;
    sm.nbw = 3;
    static ATRISKTIME art{};
    q.art = &art;
    addStrata("Sex", false, 6, 6);
    addStrata("Group", false, 14, 14, 0, "Treatment Group");
    // slenf 20 + 4 (at-risk times) + (2 + 3) + (2 + 15)
    korvprl(&q);
    ASSERT_NE(q.ogstrlab, nullptr);
    EXPECT_EQ(q.ogstrlab->l, 20 + 4 + 5 + 17);
    // MISE reads the whole label, like HazardRate.
    EXPECT_EQ(address(sm.mise, "Stratum"), q.ogstrlab->s);
    EXPECT_EQ(column(sm.mise, "Stratum")->length, q.ogstrlab->l);
    EXPECT_EQ(address(sm.data, "Stratum"), q.ogstrlab->s);
}

TEST_F(Columns, CompetingRiskTables)
{
    q.cmprisk = &cmp;
    FailureSummary(&q);
    EXPECT_EQ(columns(q.Summary), (Names{"Failcode", "Censored", "Event", "Compete", "Total"}));
    EXPECT_EQ(column(q.Summary, "Failcode")->width, 8);
    setGroup("Arm", true, 8, 8);
    FailureSummary(&q);
    EXPECT_EQ(columns(q.Summary),
              (Names{"Failcode", "Stratum", "Arm", "Censored", "Event", "Compete", "Total"}));
    EXPECT_EQ(column(q.Summary, "Arm")->templateColumn, "GrpNumVar");

    cmp.printVar = 1;
    static double tl[1] = {5};
    q.ztimelst = 1;
    q.timelist = tl;
    cifTbl(&q);
    EXPECT_EQ(columns(q.Surv), (Names{"Failcode", "Arm", "Timelist", "Days", "CIF", "Variance",
                                      "CIF_LCL", "CIF_UCL"}));
    EXPECT_EQ(column(q.Surv, "CIF_LCL")->label, "CIF 95% Lower Confidence Limit");

    addStrata("Sex", false, 6, 6, 0, "Sex of Patient");
    cifPhantom(&q);
    EXPECT_TRUE(info(q.Phantom).flag336);
    EXPECT_EQ(columns(q.Phantom), (Names{"StratumNum", "Stratum", "GroupNum", "Arm", "Time", "CIF",
                                         "CIF_LCL", "CIF_UCL"}));
    EXPECT_EQ(column(q.Phantom, "Stratum")->label, "Sex");
    EXPECT_EQ(column(q.Phantom, "Stratum")->length, q.ogstrlab->l);
}

} // namespace

#include "host/session/session_state.h"

namespace
{

// A pool that refuses every request ends the step with 1016 instead of
// handing the definers a null block.
struct PoolFailure : ResultsFixture {
    void TearDown() override
    {
        vyr::pools_set_limit(0);
        ResultsFixture::TearDown();
    }
    int exitCode(void (*f)(KorvPtr))
    {
        vyr::pools_set_limit(1);
        try {
            f(&q);
        } catch (const vyr::StepExit& e) {
            vyr::pools_set_limit(0);
            return e.code;
        }
        vyr::pools_set_limit(0);
        return 0;
    }
};

TEST_F(PoolFailure, ComparisonBuffersAndStratumLabelsEndTheStepWith1016)
{
    q.survdiff = &sd;
    setGroup("Centre", false, 200, 200);
    EXPECT_EQ(exitCode(SurvDiff), 1016);
    q.grpvar = nullptr;
    addStrata("Sex", false, 1, 6);
    q.kmhaz = &sm;
    EXPECT_EQ(exitCode(HazardRate), 1016);
    EXPECT_EQ(q.ogstrlab, nullptr);
    EXPECT_EQ(exitCode(HazardRate), 1016);
    // With memory the same calls succeed.
    HazardRate(&q);
    EXPECT_NE(q.ogstrlab, nullptr);
}

} // namespace

namespace
{

using Labels = ResultsFixture;

// Every label the definers ask for is in the catalogue (a missing entry
// shows as "[group/number]").
TEST_F(Labels, EveryTableAndColumnLabelResolves)
{
    q.ktype = 8 | 16 | 32 | 64 | 128 | 512;
    addStrata("Sex", false, 1, 6);
    addStrata("Age", true, 8, 12, 2);
    q.zNelson = q.zatRisk = q.zfreq = 1;
    q.survdiff = &sd;
    addTestVariable("Age");
    q.clablen = 8;
    q.kmhaz = &sm;
    sm.nbw = 2;
    sm.zcl = 1;
    std::vector<xobop> tables;
    auto check = [&](xobop t) {
        ASSERT_NE(t, nullptr);
        vdq::DataInfo d = info(t);
        EXPECT_EQ(d.label.find('['), std::string::npos) << d.name << ": " << d.label;
        for (const vdq::Column& c : d.columns)
            EXPECT_EQ(c.label.find('['), std::string::npos)
                << d.name << "." << c.name << ": " << c.label;
    };
    for (int method : {0, 1, 2, 3}) {
        q.method = static_cast<char>(method);
        for (int trend : {0, 1}) {
            q.ktype = (q.ktype & ~1) | trend;
            for (int m : {-1, -2, -3, -4, -5, 0}) {
                sd.method = m;
                for (int type : {-1, -2, -3, -5}) {
                    sd.type = type;
                    for (int step : {0, 1}) {
                        sd.step = step;
                        SurvDiff(&q);
                        check(sd.data);
                    }
                }
            }
            korvprl(&q);
            for (xobop t : {q.Surv, q.Summary, q.HomStat, q.HomTest, q.UniChiW, q.UniChiL, q.StepW,
                            q.StepL, q.Legend, sm.data, sm.mise})
                check(t);
            if (method != 1) {
                check(q.Quantile);
                check(q.Mean);
            }
        }
    }
    q.cmprisk = &cmp;
    cmp.plot = 1;
    korvprl(&q);
    for (xobop t : {q.Surv, q.Summary, q.HomTest, q.Phantom})
        check(t);
}

} // namespace
