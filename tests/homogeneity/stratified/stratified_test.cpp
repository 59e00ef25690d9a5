// The tests across the GROUP= levels stratified by the STRATA variables, run
// whole through the session: chi-squares and level scores against R's
// survdiff with strata() and statsmodels' survdiff with strata= (the
// litter-matched rats comparison among them), the trend over the levels,
// the likelihood-ratio test of the exponential model across levels and its
// guards, the weighted tests' invariants (no peer has the weighted
// stratified variance), and NOPRINT.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/steprun.h"

using steprun::Json;
using steprun::StepRun;

namespace
{

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    std::stringstream ss(s);
    for (std::string f; std::getline(ss, f, sep);)
        out.push_back(f);
    return out;
}

// A program of one GROUP= analysis of an example data set: no estimates
// table, the tests asked for.
std::string program(const std::string& data, const std::string& time, const std::string& status,
                    const std::string& group, const std::string& strata, const std::string& tests,
                    const std::string& extra = "")
{
    return "proc korvante data=" + data + " notable; time " + time + "*" + status + "(0); " +
           extra + "strata " + strata + " / group=" + group + " " + tests + "; run;";
}

// The test table of the run: stratified, or across the levels alone.
std::vector<const Json*> testRows(const StepRun& r, bool strata)
{
    return r.rows(strata ? "StratifiedTests" : "HomTests2");
}

const Json* testRow(const std::vector<const Json*>& rows, const std::string& label)
{
    for (const Json* row : rows)
        if (row->text("Test") == label)
            return row;
    ADD_FAILURE() << "no test row " << label;
    return nullptr;
}

// The scores of one test column of the level scores table, by the level's
// formatted value.
std::map<std::string, double> scores(const StepRun& r, const std::string& group,
                                     const std::string& column)
{
    std::map<std::string, double> out;
    for (const Json* row : r.rows("HomStats"))
        out[row->text("F" + group)] = row->number(column);
    return out;
}

// The litter-matched comparison of the rats data and the others of
// tests/reference/group.R: chi-square, degrees of freedom and every level's
// observed-minus-expected events, for the log-rank test and the
// Fleming-Harrington weights S(t-)^rho of each stratum.
TEST(StratifiedPeers, SurvdiffWithStrata)
{
    korvtest::Table t("group_survdiff.csv");
    ASSERT_GE(t.size(), 18u);
    for (const auto& row : t.records()) {
        SCOPED_TRACE(row.at("data") + " " + row.at("group") + " strata " + row.at("strata") +
                     " rho " + row.at("rho"));
        const bool strata = !row.at("strata").empty();
        const std::string rho = row.at("rho");
        StepRun r =
            steprun::run(program(row.at("data"), row.at("time"), row.at("status"), row.at("group"),
                                 row.at("strata"), "test=(logrank fleming(" + rho + "))"));
        ASSERT_EQ(r.status, 0) << r.log;
        const Json* fh = testRow(testRows(r, strata), "Fleming(" + rho + ")");
        ASSERT_NE(fh, nullptr);
        const double want = std::stod(row.at("chisq"));
        EXPECT_TRUE(korvtest::Near(fh->number("ChiSq"), want, 1e-9));
        EXPECT_EQ(fh->number("DF"), std::stod(row.at("df")));
        if (rho == "0") {
            EXPECT_TRUE(korvtest::Near(testRow(testRows(r, strata), "Log-Rank")->number("ChiSq"),
                                       want, 1e-9));
        }
        const auto u = scores(r, row.at("group"), "Fleming");
        const auto lev = split(row.at("levels"), '|');
        const auto oe = split(row.at("oe"), '|');
        ASSERT_EQ(u.size(), lev.size());
        for (size_t i = 0; i < lev.size(); ++i)
            EXPECT_TRUE(korvtest::Near(u.at(lev[i]), std::stod(oe[i]), 1e-9, 1e-12)) << lev[i];
    }
}

// Gehan's Wilcoxon, Tarone-Ware and Fleming-Harrington(r, 0) summed over
// strata, as statsmodels computes them.
TEST(StratifiedPeers, StatsmodelsWeightsWithStrata)
{
    korvtest::Table t("group_statsmodels.csv");
    ASSERT_GE(t.size(), 20u);
    std::map<std::string, StepRun> runs;
    for (const auto& row : t.records()) {
        const std::string p = row.at("p").empty() ? "1" : row.at("p");
        SCOPED_TRACE(row.at("data") + " " + row.at("strata") + " " + row.at("weight") + " " + p);
        const std::string key = row.at("data") + row.at("strata") + p;
        if (!runs.count(key))
            runs[key] = steprun::run(program(row.at("data"), row.at("time"), row.at("status"),
                                             row.at("group"), row.at("strata"),
                                             "test=(logrank wilcoxon tarone fleming(" + p + "))"));
        const StepRun& r = runs[key];
        ASSERT_EQ(r.status, 0) << r.log;
        const std::string w = row.at("weight");
        const std::string label = w == "logrank" ? "Log-Rank"
                                  : w == "gb"    ? "Wilcoxon"
                                  : w == "tw"    ? "Tarone"
                                                 : "Fleming(" + p + ")";
        const Json* got = testRow(testRows(r, true), label);
        ASSERT_NE(got, nullptr);
        EXPECT_TRUE(korvtest::Near(got->number("ChiSq"), std::stod(row.at("chisq")), 1e-9));
        EXPECT_EQ(got->number("DF"), std::stod(row.at("df")));
    }
}

// The trend over the levels (scores 1 to k for character levels), from the
// level scores and their covariance summed over strata.
TEST(StratifiedPeers, TrendOverLevels)
{
    korvtest::Table t("group_trend.csv");
    for (const auto& row : t.records()) {
        SCOPED_TRACE(row.at("data"));
        StepRun r = steprun::run(program(row.at("data"), row.at("time"), row.at("status"),
                                         row.at("group"), row.at("strata"), "trend"));
        ASSERT_EQ(r.status, 0) << r.log;
        const Json* lr = testRow(r.rows("TrendTests"), "Log-Rank");
        ASSERT_NE(lr, nullptr);
        EXPECT_TRUE(korvtest::Near(lr->number("TestStatistic"), std::stod(row.at("stat")), 1e-9));
        EXPECT_TRUE(korvtest::Near(lr->number("StdErr"), std::stod(row.at("se")), 1e-9));
        EXPECT_TRUE(korvtest::Near(lr->number("zScore"), std::stod(row.at("z")), 1e-9));
        // The scores shown are 1 to k in level order.
        const auto sc = r.rows("TrendScores");
        ASSERT_EQ(sc.size(), split(row.at("levels"), '|').size());
        for (size_t i = 0; i < sc.size(); ++i)
            EXPECT_EQ(sc[i]->number("Score"), static_cast<double>(i + 1));
    }
    // A numeric level variable without a format scores by its values: the
    // rats' rx is 0 and 1.
    StepRun r = steprun::run(program("rats", "time", "status", "rx", "sex", "trend"));
    const auto sc = r.rows("TrendScores");
    ASSERT_EQ(sc.size(), 2u);
    EXPECT_EQ(sc[0]->number("Score"), 0);
    EXPECT_EQ(sc[1]->number("Score"), 1);
}

// Without STRATA variables the likelihood-ratio test of the exponential
// model compares the levels (a Poisson model's drop in deviance); with
// STRATA variables it is not formed.
TEST(StratifiedPeers, LikelihoodRatioAcrossLevels)
{
    korvtest::Table t("group_lr.csv");
    for (const auto& row : t.records()) {
        SCOPED_TRACE(row.at("data"));
        StepRun r = steprun::run(program(row.at("data"), row.at("time"), row.at("status"),
                                         row.at("group"), "", "test=(logrank lr)"));
        ASSERT_EQ(r.status, 0) << r.log;
        const Json* lr = testRow(testRows(r, false), "-2Log(LR)");
        ASSERT_NE(lr, nullptr);
        EXPECT_TRUE(korvtest::Near(lr->number("ChiSq"), std::stod(row.at("lr")), 1e-9));
        EXPECT_EQ(lr->number("DF"), std::stod(row.at("df")));
    }
    StepRun s = steprun::run(program("rats", "time", "status", "rx", "sex", "test=(logrank lr)"));
    ASSERT_EQ(s.status, 0) << s.log;
    EXPECT_EQ(testRows(s, true).size(), 1u);
}

// The likelihood-ratio test takes no logarithm of 0: a level whose times are
// all 0 leaves the statistic missing, with a warning; a level without events
// marks the row; a single level has no degrees of freedom and no p-value.
TEST(StratifiedEdges, LikelihoodRatioGuards)
{
    const std::map<std::string, std::string> data = {
        {"zero", "t,s,g\n0,1,a\n0,0,a\n3,1,b\n5,1,b\n7,0,b\n2,1,c\n4,0,c\n"},
        {"noev", "t,s,g\n1,1,a\n2,1,a\n3,0,a\n2,0,b\n4,0,b\n"},
        {"one", "t,s,g\n1,1,a\n2,1,a\n3,0,a\n"}};
    StepRun z = steprun::run(program("zero", "t", "s", "g", "", "test=(logrank lr)"), data);
    ASSERT_EQ(z.status, 0) << z.log;
    const Json* lr = testRow(testRows(z, false), "-2Log(LR)");
    ASSERT_NE(lr, nullptr);
    EXPECT_TRUE(std::isnan(lr->number("ChiSq"))) << z.json.substr(0, 400);
    EXPECT_TRUE(std::isnan(lr->number("ProbChiSq")));
    EXPECT_NE(z.log.find("total time of at least one GROUP= level is zero"), std::string::npos);

    StepRun n = steprun::run(program("noev", "t", "s", "g", "", "test=(logrank lr)"), data);
    const Json* lr2 = testRow(testRows(n, false), "-2Log(LR)*");
    ASSERT_NE(lr2, nullptr);
    EXPECT_GT(lr2->number("ChiSq"), 0);
    EXPECT_NE(n.log.find("At least one GROUP= level has no events"), std::string::npos);

    StepRun o = steprun::run(program("one", "t", "s", "g", "", "test=(logrank lr)"), data);
    ASSERT_EQ(o.status, 0) << o.log;
    for (const Json* row : testRows(o, false)) {
        EXPECT_EQ(row->number("DF"), 0) << row->text("Test");
        EXPECT_TRUE(std::isnan(row->number("ProbChiSq"))) << row->text("Test");
    }
}

// Many GROUP= levels are said as many strata are: from 100 levels a note of
// what the tests will take, before the estimates; levels too many for the
// matrices of the tests are a warning that makes the return code 4.
TEST(StratifiedEdges, ManyLevelsAreNotedAndTooManyAreAWarning)
{
    auto levels = [](int k) {
        std::string csv = "t,s,g,h\n";
        for (int i = 0; i < 2 * k; ++i)
            csv += std::to_string(1 + i % 7) + "," + std::to_string(i % 3 != 0) + "," +
                   std::to_string(i % k) + "," + std::to_string(i % 2) + "\n";
        return csv;
    };
    const std::map<std::string, std::string> data = {
        {"l99", levels(99)}, {"l120", levels(120)}, {"l600", levels(600)}};
    const std::string note = "The tests of equality over the GROUP= levels will compare";
    StepRun few = steprun::run(program("l99", "t", "s", "g", "h", ""), data);
    EXPECT_EQ(few.log.find(note), std::string::npos) << few.log;
    StepRun many = steprun::run(program("l120", "t", "s", "g", "h", ""), data);
    ASSERT_EQ(many.status, 0) << many.log;
    const size_t said = many.log.find(note + " 120 levels: 2 covariance matrices of that order");
    EXPECT_NE(said, std::string::npos) << many.log;
    EXPECT_EQ(many.log.find("WARNING"), std::string::npos) << many.log;
    EXPECT_FALSE(testRows(many, true).empty());
    // Two blocks of 601 x 602 / 2 doubles are 2.9 MB, more than MEMSIZE=.
    StepRun big =
        steprun::run("options memsize=2000000; " + program("l600", "t", "s", "g", "h", ""), data);
    EXPECT_NE(big.log.find("over the 600 GROUP= levels of the data are not computed"),
              std::string::npos)
        << big.log;
    EXPECT_NE(big.log.find("ended with return code 4"), std::string::npos) << big.log;
    EXPECT_EQ(big.log.find(note), std::string::npos) << big.log;
    EXPECT_TRUE(testRows(big, true).empty());
}

// The likelihood-ratio test does not depend on the unit of time: aml with
// its times multiplied by 1e306 (a stratum's total time past the largest
// double) gives the chi-square of aml, across strata (records counted per
// time, and records read one by one under fractional FREQ) and across
// GROUP= levels.
TEST(StratifiedEdges, LikelihoodRatioOfTimesNearTheLargestDouble)
{
    korvtest::Table aml("examples/aml.csv");
    std::string plain = "t,s,x,f\n", huge = plain;
    for (size_t i = 0; i < aml.size(); ++i) {
        const std::string rest = "," + aml.text(i, "status") + "," + aml.text(i, "x") + "," +
                                 std::to_string(0.5 * static_cast<double>(1 + i % 3)) + "\n";
        plain += aml.text(i, "time") + rest;
        huge += aml.text(i, "time") + "e306" + rest;
    }
    const std::map<std::string, std::string> data = {{"plain", plain}, {"huge", huge}};
    // The chi-square and p-value of the -2Log(LR) row.
    auto lr = [&](const std::string& data_set, const std::string& statements, bool groups) {
        StepRun r = steprun::run(
            "proc korvante data=" + data_set + " notable; time t*s(0); " + statements, data);
        EXPECT_EQ(r.status, 0) << r.log;
        const Json* row = testRow(groups ? testRows(r, false) : r.rows("HomTests"), "-2Log(LR)");
        return row ? std::pair{row->number("ChiSq"), row->number("ProbChiSq")}
                   : std::pair{std::nan(""), std::nan("")};
    };
    const std::vector<std::pair<std::string, bool>> roads = {
        {"strata x / test=(logrank lr); run;", false},
        {"freq f; strata x / test=(logrank lr); run;", false},
        {"strata / group=x test=(logrank lr); run;", true}};
    for (const auto& [statements, groups] : roads) {
        SCOPED_TRACE(statements);
        const auto a = lr("plain", statements, groups), b = lr("huge", statements, groups);
        EXPECT_GT(a.first, 1.0);
        EXPECT_TRUE(korvtest::Near(b.first, a.first, 1e-9)) << b.first << " " << a.first;
        EXPECT_TRUE(korvtest::Near(b.second, a.second, 1e-9)) << b.second << " " << a.second;
    }
}

// The weighted tests summed over strata. Weights of 1 give the unweighted
// tests; scaled weights leave the chi-squares as they are; a record with
// FREQ 2 is two subjects of its weight, so FREQ data give the tests of the
// expanded data (each record adds f w^2, not (f w)^2, to the squared
// weights at risk).
TEST(WeightedStratified, Invariants)
{
    // The rats with a weight that varies with the litter, and FREQ 2 for
    // every third record; the expanded copy repeats those records.
    korvtest::Table rats("examples/rats.csv");
    std::string freq = "litter,rx,time,status,sex,w,one,big,n\n";
    std::string expanded = "litter,rx,time,status,sex,w\n";
    for (size_t i = 0; i < rats.size(); ++i) {
        const double litter = rats.num(i, "litter");
        const std::string w = std::to_string(0.5 + std::fmod(litter, 7.0) / 4.0);
        const std::string big = std::to_string((0.5 + std::fmod(litter, 7.0) / 4.0) * 1000.0);
        const std::string rec = rats.text(i, "litter") + "," + rats.text(i, "rx") + "," +
                                rats.text(i, "time") + "," + rats.text(i, "status") + "," +
                                rats.text(i, "sex");
        const int n = i % 3 == 0 ? 2 : 1;
        freq += rec + "," + w + ",1," + big + "," + std::to_string(n) + "\n";
        for (int k = 0; k < n; ++k)
            expanded += rec + "," + w + "\n";
    }
    const std::map<std::string, std::string> data = {{"wrats", freq}, {"wexp", expanded}};
    const std::string tests = "test=(logrank wilcoxon tarone)";
    auto chisq = [](const StepRun& r) {
        std::vector<double> v;
        for (const char* t : {"Log-Rank", "Wilcoxon", "Tarone"}) {
            const Json* row = testRow(r.rows("StratifiedTests"), t);
            v.push_back(row ? row->number("ChiSq") : std::nan(""));
        }
        return v;
    };
    StepRun plain = steprun::run(program("wrats", "time", "status", "rx", "sex", tests), data);
    StepRun ones =
        steprun::run(program("wrats", "time", "status", "rx", "sex", tests, "weight one;"), data);
    ASSERT_EQ(ones.status, 0) << ones.log;
    const auto a = chisq(plain), b = chisq(ones);
    for (size_t i = 0; i < a.size(); ++i)
        EXPECT_TRUE(korvtest::Near(b[i], a[i], 1e-10)) << i;
    for (const char* col : {"LogRank", "Wilcoxon", "Tarone"}) {
        const auto u0 = scores(plain, "rx", col), u1 = scores(ones, "rx", col);
        for (const auto& [level, v] : u0)
            EXPECT_TRUE(korvtest::Near(u1.at(level), v, 1e-10)) << col << " " << level;
    }

    StepRun w =
        steprun::run(program("wrats", "time", "status", "rx", "sex", tests, "weight w;"), data);
    StepRun big =
        steprun::run(program("wrats", "time", "status", "rx", "sex", tests, "weight big;"), data);
    const auto cw = chisq(w), cb = chisq(big);
    for (size_t i = 0; i < cw.size(); ++i)
        EXPECT_TRUE(korvtest::Near(cb[i], cw[i], 1e-10)) << i;
    // The log-rank scores grow with the weights.
    EXPECT_TRUE(korvtest::Near(scores(big, "rx", "LogRank").at("1"),
                               1000 * scores(w, "rx", "LogRank").at("1"), 1e-10));

    StepRun f = steprun::run(
        program("wrats", "time", "status", "rx", "sex", tests, "weight w; freq n;"), data);
    StepRun e =
        steprun::run(program("wexp", "time", "status", "rx", "sex", tests, "weight w;"), data);
    ASSERT_EQ(f.status, 0) << f.log;
    const auto cf = chisq(f), ce = chisq(e);
    for (size_t i = 0; i < cf.size(); ++i)
        EXPECT_TRUE(korvtest::Near(cf[i], ce[i], 1e-10)) << i;
    // The weights change the test: it is not the unweighted one.
    EXPECT_GT(std::fabs(cw[0] - a[0]), 1e-3);
}

// A level that has no record in a stratum keeps its column; the stratum
// adds nothing to it. The tests of the BY group are the sums of those of its
// strata, and a stratum where only one level has subjects adds nothing.
TEST(StratifiedEdges, LevelAbsentFromAStratum)
{
    const std::map<std::string, std::string> data = {
        {"absent", "t,s,st,g\n1,1,x,a\n2,1,x,b\n3,0,x,b\n4,1,x,c\n5,1,x,a\n6,0,x,c\n"
                   "1,1,y,a\n2,1,y,a\n3,1,y,c\n4,0,y,c\n"
                   "2,1,z,b\n3,1,z,b\n"},
        {"xonly", "t,s,g\n1,1,a\n2,1,b\n3,0,b\n4,1,c\n5,1,a\n6,0,c\n"},
        {"yonly", "t,s,g\n1,1,a\n2,1,a\n3,1,c\n4,0,c\n"}};
    StepRun all = steprun::run(program("absent", "t", "s", "g", "st", "test=(logrank peto)"), data);
    ASSERT_EQ(all.status, 0) << all.log;
    StepRun x = steprun::run(program("xonly", "t", "s", "g", "", "test=(logrank peto)"), data);
    StepRun y = steprun::run(program("yonly", "t", "s", "g", "", "test=(logrank peto)"), data);
    for (const char* col : {"LogRank", "Peto"}) {
        const auto ua = scores(all, "g", col), ux = scores(x, "g", col), uy = scores(y, "g", col);
        ASSERT_EQ(ua.size(), 3u);
        ASSERT_EQ(uy.size(), 2u);
        EXPECT_TRUE(korvtest::Near(ua.at("a"), ux.at("a") + uy.at("a"), 1e-12, 1e-14)) << col;
        EXPECT_TRUE(korvtest::Near(ua.at("b"), ux.at("b"), 1e-12, 1e-14)) << col;
        EXPECT_TRUE(korvtest::Near(ua.at("c"), ux.at("c") + uy.at("c"), 1e-12, 1e-14)) << col;
    }
}

// NOPRINT prints no test table on the GROUP= road either.
TEST(StratifiedEdges, NoPrint)
{
    StepRun r = steprun::run("proc korvante data=rats noprint; time time*status(0);"
                             " strata sex / group=rx trend; run;"
                             "proc korvante data=rats noprint; time time*status(0);"
                             " strata sex / group=rx; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    for (const char* t : {"HomStats", "StratifiedTests", "TrendScores", "TrendTests",
                          "CensoredSummary2", "ProductLimitEstimates"})
        EXPECT_TRUE(r.items(t).empty()) << t;
}

} // namespace

namespace
{

// With several STRATA variables the tables show stratum numbers, and the
// strata legend tells their values: after the covariance matrices, and
// after the trend scores. The GROUP= levels show their own values.
TEST(StrataLegend, FollowsTheNumbers)
{
    StepRun r = steprun::run("proc korvante data=rats notable; time time*status(0);"
                             " strata sex rx; run;"
                             "proc korvante data=rats notable; time time*status(0);"
                             " strata sex rx / trend; run;"
                             "proc korvante data=rats notable; time time*status(0);"
                             " strata sex litter / group=rx; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto legends = r.items("Legend");
    ASSERT_EQ(legends.size(), 2u);
    for (const Json* l : legends) {
        const auto& rows = l->get("rows")->items;
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[3].number("Stratum"), 4);
        EXPECT_EQ(rows[3].text("sex"), "m");
    }
}

} // namespace
