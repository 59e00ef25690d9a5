// The graph requests of the survival estimates, read back from the JSON of
// whole runs: the at-risk tick times and the tick-value text, the dynamic
// values of the graphs of one stratum and across strata, panel pages, the
// test inset, the quartile format of each BY group, and the median limits
// of the inset when the tables are not printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/pgraf.h"
#include "support/steprun.h"
#include "vyr_graphics.h"

namespace
{

struct Graph {
    std::string name, label, templ;
    mutable std::map<std::string, std::string> dyn; // values as JSON text
    std::vector<std::string> data;
    std::string file;
};

struct StepRun {
    int status = -1;
    std::string log, json;
    std::shared_ptr<const korvjson::Value> doc;
    std::vector<Graph> graphs;
};

// The graph requests of a document, their dynamics as JSON text (a string
// without its quotes, a number as written).
std::vector<Graph> graphsOf(const korvjson::Value& doc)
{
    std::vector<Graph> out;
    for (const korvjson::Value* v : korvjson::find(doc, "graph")) {
        Graph g;
        g.name = v->text("name");
        g.templ = v->text("template");
        g.label = v->text("label");
        for (const auto& [name, d] : (*v)["dynamics"].members)
            g.dyn[name] = d.kind == korvjson::Value::Null   ? "null"
                          : d.kind == korvjson::Value::Bool ? (d.b ? "true" : "false")
                                                            : d.str;
        for (const korvjson::Value& d : (*v)["data"].items)
            g.data.push_back(d.str);
        g.file = v->text("file");
        out.push_back(std::move(g));
    }
    return out;
}

// Runs a program on the bundled data, or on `csv` as DATA.BYDATA.
StepRun run(const std::string& program, const std::string& csv = "")
{
    static bool registered = false;
    if (!registered) {
        steprun::ready();
        vyr_graphics_set_axis(znaxis);
        registered = true;
    }
    std::map<std::string, std::string> data;
    if (!csv.empty())
        data["bydata"] = csv;
    steprun::StepRun s = steprun::run(program, data);
    StepRun r;
    r.status = s.status;
    r.log = std::move(s.log);
    r.json = std::move(s.json);
    r.doc = s.doc ? s.doc : std::make_shared<korvjson::Value>();
    r.graphs = graphsOf(*r.doc);
    return r;
}

// The at-risk times of the plot data (PRINTPHANTOM keeps it in the JSON), in
// their first order.
std::vector<double> atRiskTimes(const StepRun& r)
{
    std::vector<double> v;
    std::function<void(const korvjson::Value&)> walk = [&](const korvjson::Value& x) {
        const korvjson::Value* t = x.get("tAtRisk");
        if (t && t->kind == korvjson::Value::Number &&
            std::find(v.begin(), v.end(), t->num) == v.end())
            v.push_back(t->num);
        for (const auto& m : x.members)
            walk(m.second);
        for (const korvjson::Value& i : x.items)
            walk(i);
    };
    walk(*r.doc);
    return v;
}

// A data set of one stratum with the given largest time.
std::string upTo(double largest)
{
    std::ostringstream s;
    s << "t,c\n";
    for (double t : {largest / 10, largest / 3, largest / 2, largest})
        s << t << ",1\n";
    return s.str();
}

const Graph* named(const StepRun& r, const std::string& name, int nth = 0)
{
    for (const Graph& g : r.graphs)
        if (g.name == name && nth-- == 0)
            return &g;
    return nullptr;
}

} // namespace

TEST(AtRiskTimes, NiceTicksUpToTheLargestTimeAndAtMostHalfAStepPast)
{
    const std::string prog = "proc korvante data=bydata plots=survival(atrisk) printphantom;\n"
                             "   time t*c(0);\nrun;\n";
    const std::vector<double> byTwoHundred = {0, 200, 400, 600, 800, 1000};
    EXPECT_EQ(atRiskTimes(run(prog, upTo(1000))), byTwoHundred);
    // 930: the tick at 1000 passes it by less than half a step and stays.
    EXPECT_EQ(atRiskTimes(run(prog, upTo(930))), byTwoHundred);
    // 890: 1000 is too far past; the list ends at 800.
    const std::vector<double> to800 = {0, 200, 400, 600, 800};
    EXPECT_EQ(atRiskTimes(run(prog, upTo(890))), to800);
    // Every time 0: no ticks, no at-risk rows, and the graph is still drawn.
    StepRun zero = run(prog, "t,c\n0,1\n0,1\n");
    EXPECT_TRUE(atRiskTimes(zero).empty());
    ASSERT_NE(named(zero, "SurvivalPlot"), nullptr);
}

TEST(AtRiskTimes, TimesNearTheLargestDoubleGiveFiniteTicks)
{
    // The nice axis over [0, 1.7e308] tries increments whose ends pass the
    // largest double; those are skipped, and the ticks stay finite and
    // ascending up to the largest time (the sanitizer build checks every
    // conversion on the way).
    const std::string prog = "proc korvante data=bydata plots=survival(atrisk) printphantom"
                             ";\n   time t*c(0);\n   strata g;\nrun;\n";
    StepRun r = run(prog, "t,c,g\n1e308,1,1\n1.7e308,0,1\n5e307,1,2\n1.2e308,1,2\n3,1,1\n");
    ASSERT_EQ(r.status, 0) << r.log;
    const std::vector<double> ticks = atRiskTimes(r);
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_EQ(ticks.front(), 0);
    for (size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_TRUE(std::isfinite(ticks[i]));
        EXPECT_GT(ticks[i], ticks[i - 1]);
    }
    EXPECT_GE(ticks.back(), 1.7e308 * (1 - 1e-9));
    EXPECT_NE(named(r, "SurvivalPlot"), nullptr);
}

// ATRISK= times past the largest time of the data (a censored one counts)
// are named in the log, with that time, for one graph of all strata and for
// a graph per stratum alike; times within the data give no note.
TEST(AtRiskTimes, GivenTimesPastTheDataAreNamed)
{
    const std::string csv = "t,c,g\n10,1,a\n40,1,a\n25,1,b\n61.5,0,b\n";
    StepRun r = run("proc korvante data=bydata notable plots=survival(atrisk=0 20 60 100);\n"
                    "   time t*c(0);\n   strata g;\nrun;\n",
                    csv);
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("NOTE: The ATRISK= time 100 lies past the largest time of the data, "
                         "61.5: no subject is at risk there."),
              std::string::npos)
        << r.log;
    StepRun each = run("proc korvante data=bydata notable plots=survival(atrisk=0 70 80.25 "
                       "strata=individual);\n   time t*c(0);\n   strata g;\nrun;\n",
                       csv);
    EXPECT_NE(each.log.find("The ATRISK= times 70 80.25 lie past the largest time of the data, "
                            "61.5:"),
              std::string::npos)
        << each.log;
    StepRun within = run("proc korvante data=bydata notable plots=survival(atrisk=0 61.5);\n"
                         "   time t*c(0);\n   strata g;\nrun;\n",
                         csv);
    EXPECT_EQ(within.log.find("ATRISK= time"), std::string::npos) << within.log;
}

TEST(AtRiskTimes, TickTextMergesTheAtRiskTimesWithNiceTicks)
{
    const std::string data = upTo(1000) + "500,0\n";
    std::string csv = "t,c,g\n";
    for (const char* g : {"a", "b"}) {
        std::istringstream in(data);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line))
            csv += line + "," + g + "\n";
    }
    auto ticks = [&](const std::string& opts) {
        StepRun r = run("proc korvante data=bydata notable plots=survival(" + opts +
                            ");\n   time t*c(0);\n   strata g;\nrun;\n",
                        csv);
        const Graph* g = named(r, "SurvivalPlot");
        return g ? g->dyn.at("xtickVals") : std::string("(no graph)");
    };
    // An at-risk time on a nice tick is written once; the others stand
    // between the nice ticks; every value is right-aligned in one width.
    EXPECT_EQ(ticks("atrisk=0 150 500 atrisktick"), "   0  150  200  400  500  600  800 1000 ");
    // A nice tick within 1% of a step of an at-risk time gives way to it.
    EXPECT_EQ(ticks("atrisk=0 199 atrisktick"), "   0  199  400  600  800 1000 ");
    // The at-risk times alone, up to MAXTIME=.
    StepRun only = run("proc korvante data=bydata notable maxtime=600 plots=survival(atrisk=0 150 "
                       "500 700 atrisktickonly);\n   time t*c(0);\n   strata g;\nrun;\n",
                       csv);
    ASSERT_NE(named(only, "SurvivalPlot"), nullptr);
    EXPECT_EQ(named(only, "SurvivalPlot")->dyn["xtickVals"], "0 150 500 ");
    EXPECT_EQ(named(only, "SurvivalPlot")->dyn["xtickValFitPol"], "STAGGERROTATE");
    // The GROUP= graphs drawn one per stratum have the same tick text.
    StepRun perStratum = run("proc korvante data=bydata notable plots=survival(strata=individual "
                             "atrisk=0 150 500 atrisktick);\n   time t*c(0);\n   strata / "
                             "group=g;\nrun;\n",
                             csv);
    ASSERT_FALSE(perStratum.graphs.empty()) << perStratum.log;
    for (const Graph& g : perStratum.graphs)
        EXPECT_EQ(g.dyn.at("xtickVals"), "   0  150  200  400  500  600  800 1000 ") << g.templ;
}

TEST(StratumGraphs, DynamicValuesOfOneStratum)
{
    StepRun r = run("proc korvante data=aml notable plots=(survival(cl atrisk(outside(0.25))) "
                    "logsurv loglogs) maxtime=10;\n   time time*status(0);\nrun;\n");
    const Graph* s = named(r, "SurvivalPlot");
    ASSERT_NE(s, nullptr) << r.log;
    EXPECT_EQ(s->templ, "Stat.Korvante.Graphics.ProductLimitSurvival2");
    EXPECT_EQ(s->label, "Survival Estimates with 95% Confidence Limits and Number of Subjects "
                        "at Risk");
    EXPECT_EQ(s->dyn["method"], "Product-Limit");
    EXPECT_EQ(s->dyn["NStrata"], "1");
    EXPECT_EQ(s->dyn["yMin"], "-0.1");
    EXPECT_EQ(s->dyn["plotCensored"], "1");
    EXPECT_EQ(s->dyn["plotCL"], "1");
    EXPECT_EQ(s->dyn["labelCL"], "95% Confidence Limits");
    EXPECT_EQ(s->dyn["rowWeights"], "0.75 0.25");
    EXPECT_EQ(s->dyn["NObs"], "23");
    EXPECT_EQ(s->dyn["NEvent"], "18");
    EXPECT_EQ(s->dyn["Median"], "27");
    EXPECT_EQ(s->dyn["maxTime"], "10");
    const Graph* lls = named(r, "LogNegLogSurvivalPlot");
    ASSERT_NE(lls, nullptr);
    EXPECT_NEAR(std::stod(lls->dyn["logmaxTime"]), std::log(10.0), 1e-12);
    EXPECT_EQ(lls->dyn["xLabel"], "Log of time");
    EXPECT_EQ(lls->dyn.count("maxTime"), 0u);
    ASSERT_NE(named(r, "NegLogSurvivalPlot"), nullptr);
    EXPECT_EQ(named(r, "NegLogSurvivalPlot")->dyn["maxTime"], "10");
    // Graphs in order: survival, -log, log(-log).
    ASSERT_EQ(r.graphs.size(), 3u);
    EXPECT_EQ(r.graphs[1].name, "NegLogSurvivalPlot");
}

TEST(StratumGraphs, CensoringMarksLabelsAndTheOutsideWeight)
{
    // No censored observation: no marks, even without NOCENSORED.
    StepRun r = run("proc korvante data=bydata notable plots=survival(atrisk(outside));\n"
                    "   time t*c(0);\nrun;\n",
                    upTo(100));
    const Graph* s = named(r, "SurvivalPlot");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->dyn["plotCensored"], "0");
    EXPECT_EQ(s->dyn["rowWeights"], "PREFERRED");
    EXPECT_EQ(s->label, "Survival Estimate with Number of Subjects at Risk");
    // Nothing asked for: the layer's own label, no arguments.
    r = run("proc korvante data=aml notable;\n   time time*status(0);\nrun;\n");
    ASSERT_NE(named(r, "SurvivalPlot"), nullptr);
    EXPECT_EQ(named(r, "SurvivalPlot")->label, "Survival Estimate");
    EXPECT_EQ(named(r, "SurvivalPlot")->dyn["rowWeights"], "");
    // Each stratum alone: the stratum text in the label and as StratumID,
    // the failure template, NOCENSORED.
    r = run("proc korvante data=aml notable plots=survival(strata=individual failure cl "
            "nocensored);\n   time time*status(0);\n   strata x;\nrun;\n");
    const Graph* f = named(r, "FailurePlot", 1);
    ASSERT_NE(f, nullptr) << r.log;
    EXPECT_EQ(f->templ, "Stat.Korvante.Graphics.ProductLimitFailure");
    EXPECT_EQ(f->dyn["StratumID"], "x = Nonmaintained");
    EXPECT_EQ(f->label, "Failure Estimates for x = Nonmaintained with 95% Confidence Limits");
    EXPECT_EQ(f->dyn["plotCensored"], "0");
    EXPECT_EQ(f->data.size(), 1u);
}

TEST(StrataGraphs, OverlaidStrataWithTheTestAndTheJoinedPlotData)
{
    StepRun r = run("proc korvante data=lung notable plots=(survival(test atrisk) logsurv);\n"
                    "   time time*status(1);\n   strata sex / test=(wilcoxon peto);\nrun;\n");
    const Graph* s = named(r, "SurvivalPlot");
    ASSERT_NE(s, nullptr) << r.log;
    EXPECT_EQ(s->dyn["NStrata"], "2");
    EXPECT_EQ(s->dyn["GroupName"], "sex");
    EXPECT_EQ(s->dyn["plotTest"], "1");
    EXPECT_EQ(s->dyn["TestName"], "Wilcoxon");
    EXPECT_NE(s->dyn["pValue"], "null");
    EXPECT_EQ(s->dyn["StrVal1"], "1");
    EXPECT_EQ(s->dyn["classAtRisk"], "Stratum");
    EXPECT_EQ(s->dyn["SecondTitle"], "With Number of Subjects at Risk");
    EXPECT_EQ(s->dyn["Transparency"], "0.55");
    // Both graphs draw from the two strata's tables, joined once.
    ASSERT_EQ(s->data.size(), 2u);
    const Graph* l = named(r, "NegLogSurvivalPlot");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->data, s->data);
    // With TREND the trend test's name.
    r = run("proc korvante data=lung notable plots=survival(test);\n   time time*status(1);\n"
            "   strata ph_ecog / trend;\nrun;\n");
    ASSERT_NE(named(r, "SurvivalPlot"), nullptr);
    EXPECT_EQ(named(r, "SurvivalPlot")->dyn["TestName"], "Log-Rank Trend");
    // Two STRATA variables: the at-risk rows are named by number.
    r = run("proc korvante data=lung notable plots=survival(atrisk);\n   time time*status(1);\n"
            "   strata sex ph_ecog;\nrun;\n");
    ASSERT_NE(named(r, "SurvivalPlot"), nullptr);
    EXPECT_EQ(named(r, "SurvivalPlot")->dyn["classAtRisk"], "StratumNum");
    // The first of the tests asked for in the order of the tests table.
    r = run("proc korvante data=veteran notable plots=survival(test);\n   time time*status(0);\n"
            "   strata trt / test=(wilcoxon logrank);\nrun;\n");
    ASSERT_NE(named(r, "SurvivalPlot"), nullptr);
    EXPECT_EQ(named(r, "SurvivalPlot")->dyn["TestName"], "Log-Rank");
    EXPECT_NEAR(std::stod(named(r, "SurvivalPlot")->dyn["pValue"]), 0.9277, 5e-5);
}

TEST(StrataGraphs, PanelsOfFourStrataAPage)
{
    std::string csv = "t,c,g\n";
    for (int g = 1; g <= 5; ++g)
        for (int i = 1; i <= 4; ++i)
            csv += std::to_string(i * g) + ",1," + std::to_string(g) + "\n";
    StepRun r = run("proc korvante data=bydata notable plots=survival(strata=panel);\n"
                    "   time t*c(0);\n   strata g;\nrun;\n",
                    csv);
    ASSERT_EQ(r.graphs.size(), 2u) << r.log;
    EXPECT_EQ(r.graphs[0].dyn["PanelNum"], "1");
    EXPECT_EQ(r.graphs[1].dyn["PanelNum"], "2");
    EXPECT_EQ(r.graphs[0].dyn["nColumns"], "2");
    EXPECT_EQ(r.graphs[0].dyn["HeaderDisplay"], "NAMEVALUE");
    // Each page names its own strata's plot data and carries their values
    // alone: pages cost as much together as the strata they show.
    EXPECT_EQ(r.graphs[0].data.size(), 4u);
    EXPECT_EQ(r.graphs[1].data.size(), 1u);
    EXPECT_EQ(r.graphs[0].dyn.count("NObs4"), 1u);
    EXPECT_EQ(r.graphs[0].dyn.count("NObs5"), 0u);
    EXPECT_EQ(r.graphs[1].dyn.count("NObs1"), 0u);
    EXPECT_EQ(r.graphs[1].dyn["NObs5"], "4");
    EXPECT_EQ(r.graphs[0].templ, "Stat.Korvante.Graphics.ProductLimitSurvivalPanel");
    // Two strata: one page of one column.
    r = run("proc korvante data=aml notable plots=survival(strata=panel);\n"
            "   time time*status(0);\n   strata x;\nrun;\n");
    ASSERT_EQ(r.graphs.size(), 1u);
    EXPECT_EQ(r.graphs[0].dyn["nColumns"], "1");
}

TEST(StrataGraphs, EachByGroupSizesItsOwnMedians)
{
    // The first BY group's medians are in the thousands, the second's below
    // 10: the second's format takes its decimals from its own medians.
    std::string csv = "b,t,c,g\n";
    for (int g = 1; g <= 2; ++g)
        for (int i = 1; i <= 6; ++i)
            csv += "1," + std::to_string(1000 * i + g) + ",1," + std::to_string(g) + "\n";
    for (int g = 1; g <= 2; ++g)
        for (int i = 1; i <= 6; ++i)
            csv += "2," + std::to_string(0.5 * i + 0.1 * g) + ",1," + std::to_string(g) + "\n";
    StepRun r = run("proc korvante data=bydata notable;\n   time t*c(0);\n   strata g;\n   by b;\n"
                    "run;\n",
                    csv);
    ASSERT_EQ(r.graphs.size(), 2u) << r.log;
    EXPECT_EQ(r.graphs[0].dyn["QuartileFmt"], "F6.0");
    EXPECT_EQ(r.graphs[1].dyn["QuartileFmt"], "F6.3");
}

TEST(StrataGraphs, TheMedianInsetHasItsLimitsWithoutTheTables)
{
    const std::string body = "   time time*status(1);\n   strata sex;\nrun;\n";
    StepRun printed = run("proc korvante data=lung;\n" + body);
    StepRun quiet = run("proc korvante data=lung notable;\n" + body);
    const Graph* a = named(printed, "SurvivalPlot");
    const Graph* b = named(quiet, "SurvivalPlot");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    for (const char* k : {"Median1", "LowerMedian1", "UpperMedian1", "LowerMedian2"}) {
        EXPECT_NE(b->dyn.at(k), "null") << k;
        EXPECT_EQ(a->dyn.at(k), b->dyn.at(k)) << k;
    }
}

TEST(StrataGraphs, ATestInsetWithoutATestIsNamedInItsByGroup)
{
    // BY group 1 has two strata and its test; BY group 2 a single stratum,
    // whose graph has no p-value to show: said once, for that group.
    const std::string csv = "b,t,c,g\n1,1,1,a\n1,2,0,a\n1,3,1,b\n1,4,1,b\n2,1,1,a\n2,2,1,a\n"
                            "2,5,0,a\n";
    StepRun r = run("proc korvante data=bydata notable plots=survival(test);\n"
                    "   time t*c(0);\n   strata g;\n   by b;\nrun;\n",
                    csv);
    EXPECT_EQ(r.status, 0) << r.log;
    const std::string note = "TEST in PLOTS=SURVIVAL shows no p-value in this BY group";
    const size_t at = r.log.find(note);
    ASSERT_NE(at, std::string::npos) << r.log;
    EXPECT_EQ(r.log.find(note, at + 1), std::string::npos) << r.log;
    ASSERT_NE(named(r, "SurvivalPlot"), nullptr);
    EXPECT_EQ(named(r, "SurvivalPlot")->dyn["plotTest"], "1");
}

TEST(StrataGraphs, GroupLevelsWithoutStrataVariablesShowTheirTest)
{
    // The one stratum's graph of the levels is drawn once their test is
    // known, with its p-value and the levels' median table, without a note.
    StepRun r = run("proc korvante data=veteran notable plots=survival(test);\n"
                    "   time time*status(0);\n   strata / group=trt;\nrun;\n");
    ASSERT_EQ(r.graphs.size(), 1u) << r.log;
    const Graph& s = r.graphs[0];
    EXPECT_EQ(s.templ, "Stat.Korvante.Graphics.ProductLimitSurvivalSG");
    EXPECT_EQ(s.dyn["plotTest"], "1");
    EXPECT_EQ(s.dyn["testName"], "Log-Rank");
    EXPECT_EQ(s.dyn["testPval"], "p=0.9277");
    EXPECT_EQ(s.dyn["NObs1"], "68");
    EXPECT_EQ(r.log.find("shows no p-value"), std::string::npos) << r.log;
}

TEST(StrataGraphs, ALegendTooLongToReadIsLeftOutWithANote)
{
    auto manyStrata = [](int n) {
        std::string csv = "t,c,g\n";
        for (int g = 1; g <= n; ++g)
            csv += std::to_string(g) + ",1," + std::to_string(g) + "\n" + std::to_string(g + 1) +
                   ",0," + std::to_string(g) + "\n";
        return csv;
    };
    const std::string prog = "proc korvante data=bydata notable plots=(survival logsurv);\n"
                             "   time t*c(0);\n   strata g / notest;\nrun;\n";
    const std::string note = "The graphs across the 41 strata name no stratum";
    StepRun r = run(prog, manyStrata(41));
    EXPECT_EQ(r.status, 0) << r.log;
    const size_t at = r.log.find(note);
    ASSERT_NE(at, std::string::npos) << r.log;
    EXPECT_EQ(r.log.find(note, at + 1), std::string::npos) << r.log;
    EXPECT_NE(named(r, "SurvivalPlot"), nullptr);
    r = run(prog, manyStrata(40));
    EXPECT_EQ(r.log.find("name no stratum"), std::string::npos) << r.log;
}

TEST(StrataGraphs, PastTheCurvesALegendNamesNoStratumValueIsPassed)
{
    // The graph across 41 strata names no stratum and draws no median
    // table: it carries none of their values (nor the table's formats), and
    // is drawn all the same. At 40 strata every value is there.
    auto manyStrata = [](int n) {
        std::string csv = "t,c,g\n";
        for (int g = 1; g <= n; ++g)
            csv += std::to_string(g) + ",1," + std::to_string(g) + "\n" + std::to_string(g + 3) +
                   ",0," + std::to_string(g) + "\n";
        return csv;
    };
    const std::string prog = "proc korvante data=bydata notable plots=survival(cl);\n"
                             "   time t*c(0);\n   strata g / notest;\nrun;\n";
    StepRun r = run(prog, manyStrata(41));
    ASSERT_EQ(r.status, 0) << r.log;
    const Graph* g = named(r, "SurvivalPlot");
    ASSERT_NE(g, nullptr);
    EXPECT_FALSE(g->file.empty());
    EXPECT_EQ(g->dyn["NStrata"], "41");
    for (const char* name : {"StrVal1", "NObs1", "NEvent1", "Median1", "LowerMedian1",
                             "UpperMedian41", "PctMedianConfid", "QuartileFmt"})
        EXPECT_EQ(g->dyn.count(name), 0u) << name;
    r = run(prog, manyStrata(40));
    ASSERT_NE(named(r, "SurvivalPlot"), nullptr);
    for (const char* name : {"StrVal40", "NObs40", "NEvent1", "Median40", "PctMedianConfid"})
        EXPECT_EQ(named(r, "SurvivalPlot")->dyn.count(name), 1u) << name;
}

TEST(StratumGraphs, ThinnedPlotDataDrawTheSameGraph)
{
    // Hidden plot data keep one censored row per mark the graph can draw
    // (and the rows the at-risk counts and the band's end come from):
    // the graphs are the same as from every record's row (PRINTPHANTOM).
    std::string csv = "t,c,g\n";
    for (int i = 0; i < 3000; ++i)
        csv += std::to_string(1 + (i * 7) % 50) + "," + (i % 3 == 0 ? "1" : "0") + "," +
               std::to_string(i % 2) + "\n";
    auto graphs = [&](const std::string& extra, const std::string& plots) {
        steprun::StepRun s =
            steprun::run("proc korvante data=bydata notable " + extra + " plots=" + plots +
                             ";\n   time t*c(0);\n   strata g;\nrun;\n",
                         {{"bydata", csv}}, true);
        std::string svg;
        for (size_t at = s.html.find("<svg"); at != std::string::npos;
             at = s.html.find("<svg", at + 1))
            svg += s.html.substr(at, s.html.find("</svg>", at) - at) + "\n";
        EXPECT_FALSE(svg.empty()) << s.log;
        return svg;
    };
    for (const char* plots : {"survival", "survival(cl atrisk=0 5 10 30 test) maxtime=40",
                              "survival(cb=hw atrisk(outside) failure strata=panel)"}) {
        SCOPED_TRACE(plots);
        EXPECT_EQ(graphs("", plots), graphs("printphantom", plots));
    }
}
