// The GROUP= road run whole through the session: each level's estimates
// within each stratum against R's survfit (tests/reference/group.R), the same
// rows as the records of that stratum and level analysed as a stratum of
// their own (every method, with weights and as a life table), the censoring
// summary by level, and what a level without records in a stratum gets.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "support/steprun.h"

using steprun::Json;
using steprun::StepRun;

namespace
{

// Rows of an output data set keyed by the values of `keys` and the time,
// for the event rows (_CENSOR_ 0).
std::map<std::string, std::vector<std::string>> eventRows(const StepRun& r, const std::string& set,
                                                          const std::vector<std::string>& keys)
{
    std::map<std::string, std::vector<std::string>> out;
    const auto rows = r.data(set);
    if (rows.empty())
        return out;
    const auto& head = rows[0];
    auto col = [&](const std::string& name) {
        for (size_t i = 0; i < head.size(); ++i)
            if (head[i] == name)
                return i;
        ADD_FAILURE() << "no column " << name;
        return size_t(0);
    };
    const size_t cen = col("_CENSOR_"), time = col(head.size() > 0 ? "time" : "");
    for (size_t i = 1; i < rows.size(); ++i) {
        if (rows[i].size() != head.size() || rows[i][cen] != "0")
            continue;
        std::string k;
        for (const auto& name : keys)
            k += rows[i][col(name)] + "|";
        out[k + rows[i][time]] = rows[i];
    }
    return out;
}

double field(const StepRun& r, const std::string& set, const std::vector<std::string>& row,
             const std::string& name)
{
    const auto head = r.data(set)[0];
    for (size_t i = 0; i < head.size(); ++i)
        if (head[i] == name)
            return row[i] == "." || row[i].empty() ? std::nan("") : std::stod(row[i]);
    ADD_FAILURE() << "no column " << name;
    return std::nan("");
}

// A reference value: NaN for NA, NaN and an empty field.
double num(const std::string& s)
{
    return s.empty() || s == "NA" || s == "NaN" ? std::nan("") : std::stod(s);
}

std::string key(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// Survival, its standard error and log-log limits of every level within
// every stratum at its event times, as survfit gives them for that level's
// records alone.
TEST(GroupEstimates, MatchSurvfitPerLevel)
{
    korvtest::Table t("group_survfit.csv");
    ASSERT_GT(t.size(), 100u);
    std::map<std::string, StepRun> runs;
    size_t compared = 0;
    for (const auto& row : t.records()) {
        const std::string data = row.at("data"), g = row.at("group"), st = row.at("strata");
        if (!runs.count(data))
            runs[data] = steprun::run(
                "proc korvante data=" + data + " noprint; time time*status(0); strata " + st +
                " / group=" + g + "; survival out=o conftype=loglog stderr; run;");
        const StepRun& r = runs[data];
        ASSERT_EQ(r.status, 0) << r.log;
        const auto rows = eventRows(r, "o", {st, g});
        const std::string k =
            row.at("stratum") + "|" + row.at("level") + "|" + key(std::stod(row.at("time")));
        auto it = rows.find(k);
        ASSERT_NE(it, rows.end()) << k;
        SCOPED_TRACE(k);
        EXPECT_TRUE(korvtest::Near(field(r, "o", it->second, "SURVIVAL"), std::stod(row.at("surv")),
                                   1e-12));
        const double se = num(row.at("stderr"));
        if (se > 0) {
            EXPECT_TRUE(korvtest::Near(field(r, "o", it->second, "SDF_STDERR"), se, 1e-10));
            EXPECT_TRUE(
                korvtest::Near(field(r, "o", it->second, "SDF_LCL"), num(row.at("lower")), 1e-10));
            EXPECT_TRUE(
                korvtest::Near(field(r, "o", it->second, "SDF_UCL"), num(row.at("upper")), 1e-10));
        }
        ++compared;
    }
    EXPECT_EQ(compared, t.size());
}

// Each level's quartiles and their log-log confidence limits.
TEST(GroupEstimates, QuartilesPerLevel)
{
    korvtest::Table t("group_quartiles.csv");
    std::map<std::string, StepRun> runs;
    for (const auto& row : t.records()) {
        const std::string data = row.at("data"), g = row.at("group"), st = row.at("strata");
        if (!runs.count(data))
            runs[data] =
                steprun::run("proc korvante data=" + data + "; time time*status(0); strata " + st +
                             " / group=" + g + " notest; run;");
        const StepRun& r = runs[data];
        ASSERT_EQ(r.status, 0) << r.log;
        SCOPED_TRACE(data + " " + row.at("stratum") + " " + row.at("level") + " " +
                     row.at("percent"));
        const Json* found = nullptr;
        for (const Json* table : r.items("Quartiles"))
            for (const Json& q : table->get("rows")->items) {
                const Json* sv = q.get(st);
                const Json* gv = q.get(g);
                const std::string s = sv->kind == Json::Number ? key(sv->num) : sv->str;
                const std::string l = gv->kind == Json::Number ? key(gv->num) : gv->str;
                if (s == row.at("stratum") && l == row.at("level") &&
                    q.number("Percent") == std::stod(row.at("percent")))
                    found = &q;
            }
        ASSERT_NE(found, nullptr);
        for (const auto& [col, ref] : std::map<std::string, std::string>{
                 {"Estimate", "estimate"}, {"LowerLimit", "lower"}, {"UpperLimit", "upper"}}) {
            const double want = num(row.at(ref));
            EXPECT_TRUE(korvtest::Near(found->number(col), want, 1e-12)) << col;
        }
    }
}

// A level's estimates are those of its records analysed as a stratum of
// their own: the OUTSURV= rows of STRATA sex / GROUP=rx are those of STRATA
// sex rx, for every method, with a WEIGHT variable and for the life table
// (whose intervals are the BY group's either way).
TEST(GroupEstimates, SameAsTheLevelAsAStratum)
{
    const std::map<std::string, std::string> data = {
        {"wrats", [] {
             korvtest::Table r("examples/rats.csv");
             std::string csv = "litter,rx,time,status,sex,w\n";
             for (size_t i = 0; i < r.size(); ++i)
                 csv += r.text(i, "litter") + "," + r.text(i, "rx") + "," + r.text(i, "time") +
                        "," + r.text(i, "status") + "," + r.text(i, "sex") + "," +
                        key(1 + i % 4 * 0.25) + "\n";
             return csv;
         }()}};
    const char* variants[][2] = {
        {"", "conftype=linear stderr"},       {"method=breslow", "conftype=log stderr"},
        {"method=fh", "stderr confband=all"}, {"method=lt intervals=(0 30 60 90 120)", "stderr"},
        {"", "conftype=logit stderr"},
    };
    for (size_t v = 0; v < 5; ++v) {
        SCOPED_TRACE(v);
        const std::string weight = v == 4 ? " weight w;" : "";
        const std::string head = std::string("proc korvante data=wrats noprint ") + variants[v][0] +
                                 "; time time*status(0);" + weight;
        const std::string tail = std::string("; survival out=%s ") + variants[v][1] + "; run;";
        char a[256], b[256];
        std::snprintf(a, sizeof a, tail.c_str(), "a");
        std::snprintf(b, sizeof b, tail.c_str(), "b");
        StepRun r =
            steprun::run(head + " strata sex / group=rx" + a + head + " strata sex rx" + b, data);
        ASSERT_EQ(r.status, 0) << r.log;
        const auto ra = r.data("a"), rb = r.data("b");
        ASSERT_GT(ra.size(), 20u);
        ASSERT_EQ(ra.size(), rb.size());
        // The same columns but STRATUM, which numbers the strata.
        for (size_t i = 0; i < ra.size(); ++i) {
            auto x = ra[i], y = rb[i];
            x.pop_back();
            y.pop_back();
            EXPECT_EQ(x, y) << i;
        }
    }
}

// The censoring summary: a row per level of the BY group in every stratum
// (also a level without records there: zero counts and no percent), a total
// row per stratum, and the BY group's total; without STRATA variables the
// stratum's total is the BY group's. A level without records in a stratum
// makes no estimates table.
TEST(GroupSummary, RowsPerLevelAndTotals)
{
    const std::map<std::string, std::string> data = {
        {"absent", "t,s,st,g\n1,1,x,a\n2,1,x,b\n3,0,x,b\n4,1,x,c\n5,1,x,a\n6,0,x,c\n"
                   "1,1,y,a\n2,1,y,a\n3,1,y,c\n4,0,y,c\n"
                   "2,1,z,b\n3,1,z,b\n"}};
    StepRun r = steprun::run("proc korvante data=absent; time t*s(0); strata st / group=g; run;"
                             "proc korvante data=absent; time t*s(0); strata / group=g; run;",
                             data);
    ASSERT_EQ(r.status, 0) << r.log;
    const auto rows = r.rows("CensoredSummary2", 0);
    ASSERT_EQ(rows.size(), 3u * 4u + 1u);
    // Stratum y, level b: no record.
    const Json* yb = rows[5];
    EXPECT_EQ(yb->text("st"), "y");
    EXPECT_EQ(yb->text("g"), "b");
    EXPECT_EQ(yb->number("Total"), 0);
    EXPECT_TRUE(std::isnan(yb->number("PctCens")));
    // The stratum totals and the BY group's total.
    const double totals[] = {6, 4, 2};
    for (int s = 0; s < 3; ++s) {
        const Json* t = rows[static_cast<size_t>(4 * s + 3)];
        EXPECT_EQ(t->number("Total"), totals[s]) << s;
        EXPECT_EQ(t->text("g"), "");
        EXPECT_EQ(t->get("Stratum")->kind, Json::Null);
    }
    EXPECT_EQ(rows.back()->number("Total"), 12);
    EXPECT_EQ(rows.back()->number("Failed"), 9);
    EXPECT_EQ(rows.back()->text("control_var"), "-");
    // Three strata with three levels each, two levels missing from y and z.
    EXPECT_EQ(r.items("ProductLimitEstimates").size(), 6u + 3u);

    const auto one = r.rows("CensoredSummary2", 1);
    ASSERT_EQ(one.size(), 4u);
    EXPECT_EQ(one.back()->text("control_var"), "-");
    EXPECT_EQ(one.back()->number("Total"), 12);
}

// The life table of each level: its own table, the intervals of the BY
// group, the closing row where its subjects run out.
TEST(GroupEstimates, LifeTablePerLevel)
{
    StepRun r = steprun::run("proc korvante data=rats method=lt width=20; time time*status(0);"
                             " strata sex / group=rx; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto tables = r.items("LifetableEstimates");
    ASSERT_EQ(tables.size(), 4u);
    for (const Json* t : tables) {
        const auto& rows = t->get("rows")->items;
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0].number("LowerTime"), 0);
        EXPECT_EQ(rows[0].number("UpperTime"), 20);
        double n = 0;
        for (const Json& row : rows)
            n += row.number("Failed") + row.number("Censored");
        EXPECT_TRUE(n == 100 || n == 50) << n;
    }
}

} // namespace

namespace
{

// The graph requests of a run, in document order.
std::vector<const Json*> graphs(const StepRun& r)
{
    std::vector<const Json*> v;
    if (r.doc)
        korvjson::collect(*r.doc, "graph", "", v);
    return v;
}

double dyn(const Json* g, const std::string& name)
{
    const Json* d = g->get("dynamics");
    return d ? d->number(name) : std::nan("");
}

std::string dynText(const Json* g, const std::string& name)
{
    const Json* d = g->get("dynamics");
    return d ? d->text(name) : std::string();
}

bool hasDyn(const Json* g, const std::string& name)
{
    const Json* d = g->get("dynamics");
    return d && d->get(name) != nullptr;
}

// Every graph of the run was drawn to a file.
void allDrawn(const StepRun& r)
{
    for (const Json* g : graphs(r))
        EXPECT_FALSE(g->text("file").empty()) << g->text("template") << " " << r.log;
    EXPECT_EQ(r.log.find("not drawn"), std::string::npos) << r.log;
}

} // namespace

// The curves of the levels of each stratum: one graph per stratum drawn from
// that stratum's plot data, a median inset row per level with records there
// (numbered from 0 without gaps), the transparency of the curves' limits by
// the number of levels, and the -log, log(-log), density and hazard graphs.
TEST(GroupGraphs, PerStratum)
{
    const std::map<std::string, std::string> data = {
        {"absent", "t,s,st,g\n1,1,x,a\n2,1,x,b\n3,0,x,b\n4,1,x,c\n5,1,x,a\n6,0,x,c\n"
                   "1,1,y,a\n2,1,y,a\n3,1,y,c\n4,0,y,c\n"
                   "2,1,z,b\n3,1,z,b\n"}};
    StepRun r = steprun::run("proc korvante data=absent notable plots=(s(cl) ls lls);"
                             " time t*s(0); strata st / group=g; run;",
                             data);
    ASSERT_EQ(r.status, 0) << r.log;
    allDrawn(r);
    const auto s = r.items("Stat.Korvante.Graphics.ProductLimitSurvivalSG");
    ASSERT_EQ(s.size(), 3u);
    const int levels[] = {3, 2, 1};
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(s[k]->get("data")->items[0].str, "Stratum" + std::to_string(k + 1) + ".Phantom");
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(hasDyn(s[k], "NObs" + std::to_string(i)), i < levels[k]) << i;
        EXPECT_DOUBLE_EQ(dyn(s[k], "Transparency"), 0.7);
        EXPECT_EQ(dynText(s[k], "GroupVar"), "g");
    }
    // Stratum y: levels a and c, as NObs0 and NObs1.
    EXPECT_EQ(dyn(s[1], "NObs0"), 2);
    EXPECT_EQ(dyn(s[1], "NEvent1"), 1);
    EXPECT_EQ(r.items("Stat.Korvante.Graphics.NegLogSurvivalSG").size(), 3u);
    EXPECT_EQ(r.items("Stat.Korvante.Graphics.LogNegLogSurvivalSG").size(), 3u);

    // One level: transparency 0.5; the failure curves; NOCENSORED leaves the
    // censoring marks out.
    StepRun one = steprun::run("proc korvante data=absent notable"
                               " plots=s(failure nocensored); time t*s(0);"
                               " strata / group=st; run;"
                               "proc korvante data=absent method=lt notable plots=(s h d);"
                               " time t*s(0); strata st / group=g; run;",
                               data);
    ASSERT_EQ(one.status, 0) << one.log;
    allDrawn(one);
    const auto f = one.items("Stat.Korvante.Graphics.ProductLimitFailureSG");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0]->text("name"), "FailurePlot");
    EXPECT_DOUBLE_EQ(dyn(f[0], "Transparency"), 1 - 0.9 / 3);
    EXPECT_EQ(dyn(f[0], "plotCensored"), 0);
    EXPECT_EQ(one.items("Stat.Korvante.Graphics.LifeTableSurvivalSG").size(), 3u);
    EXPECT_EQ(one.items("Stat.Korvante.Graphics.HazardSG").size(), 3u);
    EXPECT_EQ(one.items("Stat.Korvante.Graphics.DensitySG").size(), 3u);
}

// The panels of the strata: pages of four, the test of the levels on the
// last page only, its p-value as "p<0.0001" below 0.0001, the likelihood-
// ratio test when it is the one asked for, and no censoring marks under
// NOCENSORED.
TEST(GroupGraphs, Panels)
{
    StepRun r = steprun::run("proc korvante data=veteran notable"
                             " plots=s(strata=panel test nocensored); time time*status(0);"
                             " strata karno(40 60 70 80) / group=celltype; run;"
                             "proc korvante data=rats notable plots=s(strata=panel test);"
                             " time time*status(0); strata / group=rx test=(lr); run;"
                             "proc korvante data=veteran notable plots=s(strata=panel test);"
                             " time time*status(0); strata trt / group=celltype; run;"
                             "proc korvante data=veteran notable plots=s(strata=panel test);"
                             " time time*status(0); weight karno; strata trt / group=celltype;"
                             " run;");
    ASSERT_EQ(r.status, 0) << r.log;
    allDrawn(r);
    const auto p = r.items("Stat.Korvante.Graphics.ProductLimitSurvivalPanelSG");
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(dyn(p[0], "PanelNum"), 1);
    EXPECT_EQ(dyn(p[1], "PanelNum"), 2);
    EXPECT_EQ(dyn(p[0], "nRows"), 2);
    EXPECT_EQ(dyn(p[0], "plotTest"), 0);
    EXPECT_EQ(dyn(p[1], "plotTest"), 1);
    EXPECT_EQ(dynText(p[1], "testPval"), "p=0.0002");
    // Each page names its own strata's plot data: four, then the fifth.
    EXPECT_EQ(p[0]->get("data")->items.size(), 4u);
    EXPECT_EQ(p[1]->get("data")->items.size(), 1u);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(dyn(p[i], "plotCensored"), 0);
    // Two strata: one page of one row.
    EXPECT_EQ(dyn(p[2], "nRows"), 1);
    EXPECT_EQ(dyn(p[2], "nColumns"), 2);
    EXPECT_EQ(dyn(p[2], "plotCensored"), 1);
    EXPECT_EQ(dynText(p[2], "testPval"), "p<0.0001");
    // The weighted tests leave their p-values for the inset too.
    EXPECT_EQ(dynText(p[3], "testName"), "Log-Rank");
    EXPECT_EQ(dynText(p[3], "testPval"), "p=0.0001");
    const auto lr = r.items("Stat.Korvante.Graphics.ProductLimitSurvivalSG");
    ASSERT_EQ(lr.size(), 1u);
    EXPECT_EQ(dynText(lr[0], "testName"), "Likelihood Ratio");
    EXPECT_EQ(dynText(lr[0], "testPval"), "p=0.0228");
}

// Past the curves a legend names, a stratum's graphs name none of its
// levels: they carry no value per level (nor the median table's formats),
// and the log says so once in the BY group, naming the first such stratum
// and how to see the levels apart. At 40 levels the values stay.
TEST(GroupGraphs, PastTheCurvesALegendNamesTheLevelsAreLeftOutWithANote)
{
    auto levels = [](int a, int b) {
        std::string csv = "t,c,st,g\n";
        for (const auto& [st, n] : {std::pair<const char*, int>{"A", a}, {"B", b}})
            for (int g = 1; g <= n; ++g)
                csv += std::to_string(g) + ",1," + st + "," + std::to_string(g) + "\n" +
                       std::to_string(g + 1) + ",0," + st + "," + std::to_string(g) + "\n";
        return csv;
    };
    const std::string note = "levels of the GROUP= variable g name no level";
    auto notes = [&](const StepRun& r) {
        size_t n = 0;
        for (size_t at = r.log.find(note); at != std::string::npos; at = r.log.find(note, at + 1))
            ++n;
        return n;
    };
    const std::string body = " time t*c(0); strata st / group=g notest; run;";
    // Stratum B has the 41 levels; the second BY group's note is its own.
    StepRun r = steprun::run("proc korvante data=lv notable plots=(s ls);" + body +
                                 "proc korvante data=lv notable plots=s(strata=panel);" + body,
                             {{"lv", levels(3, 41)}});
    ASSERT_EQ(r.status, 0) << r.log;
    allDrawn(r);
    EXPECT_EQ(notes(r), 2u) << r.log;
    EXPECT_NE(r.log.find("the first of them those of stratum 2 with 41 levels"), std::string::npos)
        << r.log;
    const auto s = r.items("Stat.Korvante.Graphics.ProductLimitSurvivalSG");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_TRUE(hasDyn(s[0], "NObs2"));
    EXPECT_TRUE(hasDyn(s[0], "QuartileFmt"));
    for (const char* name : {"NObs0", "NEvent0", "Median0", "QuartileFmt", "PctMedianConfid"})
        EXPECT_FALSE(hasDyn(s[1], name)) << name;
    // Without STRATA variables (the default graph); at 40 levels nothing
    // is said.
    r = steprun::run("proc korvante data=lv notable; time t*c(0); strata / group=g; run;",
                     {{"lv", levels(41, 2)}});
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(notes(r), 1u) << r.log;
    EXPECT_NE(r.log.find("The graphs of the 41 levels of the GROUP= variable g"), std::string::npos)
        << r.log;
    r = steprun::run("proc korvante data=lv notable plots=(s ls);" + body,
                     {{"lv", levels(40, 40)}});
    EXPECT_EQ(notes(r), 0u) << r.log;
    EXPECT_TRUE(hasDyn(r.items("Stat.Korvante.Graphics.ProductLimitSurvivalSG")[1], "NObs39"));
}
