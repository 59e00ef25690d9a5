// The rank tests of association run whole through the session on the
// example data: the log-rank scores, covariances, joint chi-squares and
// forward paths in OUTTEST= and the tables against the Cox score tests of R's
// survival package (tests/reference/association.R), with strata, BY groups,
// missing covariates and frequencies; the layout of OUTTEST=; what printing
// and OUTTEST= each bring.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/reference.h"
#include "support/steprun.h"

namespace
{

namespace fs = std::filesystem;

using korvjson::Value;
using steprun::slurp;

struct StepRun : steprun::StepRun {
    bool outtest = false;
    std::vector<std::vector<std::string>> ot; // OUTTEST= rows, header first
};

// Runs `program` on the example data and the extra data sets given (name ->
// CSV text, or a file named with its extension); OUTTEST=ot is read back.
StepRun run(const std::string& program, const std::map<std::string, std::string>& data = {})
{
    StepRun r;
    static_cast<steprun::StepRun&>(r) = steprun::run(program, data);
    r.outtest = r.out.count("ot") != 0;
    r.ot = r.data("ot");
    return r;
}

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    std::stringstream ss(s);
    for (std::string item; std::getline(ss, item, sep);)
        out.push_back(item);
    return out;
}

std::vector<double> numbers(const std::string& s)
{
    std::vector<double> v;
    for (auto& f : split(s, '|'))
        v.push_back(std::stod(f));
    return v;
}

// The rows of the k-th table named `name` in the JSON document: each row's
// variable name and chi-square.
std::vector<std::pair<std::string, double>> step_rows(const StepRun& r, const std::string& name,
                                                      int k)
{
    std::vector<std::pair<std::string, double>> out;
    const auto t = r.tables(name);
    if (k < static_cast<int>(t.size()))
        for (const Value* row : korvjson::rows(t[static_cast<size_t>(k)]))
            out.emplace_back(row->text("Variable"), row->number("ChiSq"));
    return out;
}

// The output objects (tables, matrices) named `name`, in order.
std::vector<const Value*> named(const StepRun& r, const std::string& name)
{
    std::vector<const Value*> out;
    korvjson::collect_by(*r.doc, "name", name, out);
    return out;
}

// The place of the first object named `name` among all named objects, in
// document order.
size_t place(const StepRun& r, const std::string& name)
{
    std::vector<std::string> order;
    std::function<void(const Value&)> walk = [&](const Value& v) {
        if (v.has("name"))
            order.push_back(v.text("name"));
        for (const auto& m : v.members)
            walk(m.second);
        for (const Value& i : v.items)
            walk(i);
    };
    walk(*r.doc);
    return static_cast<size_t>(std::find(order.begin(), order.end(), name) - order.begin());
}

// The notes of the run whose text holds `text`.
size_t notes_with(const StepRun& r, const std::string& text)
{
    size_t n = 0;
    for (const Value* g : korvjson::find(*r.doc, "note"))
        n += g->text("text").find(text) != std::string::npos;
    return n;
}

// A data set as CSV text, its rows ordered by one column (stable), for a BY
// statement.
std::string sorted_by(const std::string& file, const std::string& column)
{
    std::stringstream ss(slurp(korvtest::source_dir() + "/examples/" + file + ".csv"));
    std::string header;
    std::getline(ss, header);
    const auto names = korvtest::split_fields(header);
    const size_t col = std::find(names.begin(), names.end(), column) - names.begin();
    std::vector<std::pair<double, std::string>> rows;
    for (std::string line; std::getline(ss, line);)
        if (!line.empty())
            rows.emplace_back(std::stod(korvtest::split_fields(line)[col]), line);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out = header + "\n";
    for (auto& r : rows)
        out += r.second + "\n";
    return out;
}

} // namespace

// Every case of the reference table, printed and written: the log-rank
// block of OUTTEST= (scores, covariance rows, joint chi-square) and the
// forward stepwise table against the Cox score tests at beta = 0 with
// Breslow ties.
TEST(AssocRuns, LogRankAgainstCoxScoreTests)
{
    korvtest::Table ref("association_logrank.csv");
    std::string last;
    StepRun r;
    int group = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        const auto row = ref.record(i);
        const std::string data = row.at("data");
        const auto covs = split(row.at("covariates"), '|');
        SCOPED_TRACE(data + " " + row.at("covariates") + " by " + row.at("by_value"));
        std::string prog = "proc korvante data=" + data + " notable outtest=ot;\n time " +
                           row.at("time") + "*" + row.at("status") + "(" + row.at("censor") +
                           ");\n";
        if (!row.at("strata").empty())
            prog += " strata " + row.at("strata") + ";\n";
        if (!row.at("freq").empty())
            prog += " freq " + row.at("freq") + ";\n";
        if (!row.at("by").empty())
            prog += " by " + row.at("by") + ";\n";
        prog += " test " + std::string(row.at("covariates"));
        std::replace(prog.begin(), prog.end(), '|', ' ');
        prog += ";\nrun;\n";
        if (prog != last) {
            std::map<std::string, std::string> extra;
            if (data == "association_freq")
                extra[data] = slurp(korvtest::source_dir() + "/tests/reference/" + data + ".csv");
            if (!row.at("by").empty())
                extra[data] = sorted_by(data, row.at("by"));
            r = run(prog, extra);
            last = prog;
            group = 0;
        } else {
            ++group;
        }
        ASSERT_EQ(r.status, 0) << r.log;
        ASSERT_TRUE(r.outtest);
        // This group's log-rank block: the score row, then a row per covariate.
        const auto& head = r.ot[0];
        const size_t type = std::find(head.begin(), head.end(), "_TYPE_") - head.begin();
        const size_t first = type + 2; // _NAME_, then the time variable
        std::vector<size_t> at;
        for (size_t k = 1; k < r.ot.size(); ++k)
            if (r.ot[k][type] == "LOG RANK" && r.ot[k][type + 1] == row.at("time"))
                at.push_back(k);
        ASSERT_GT(at.size(), static_cast<size_t>(group));
        const size_t k0 = at[group];
        const auto U = numbers(row.at("U")), V = numbers(row.at("V"));
        const size_t p = covs.size();
        ASSERT_GE(r.ot.size(), k0 + p + 1);
        EXPECT_TRUE(korvtest::Near(std::stod(r.ot[k0][first]), std::stod(row.at("chisq")), 1e-9));
        for (size_t j = 0; j < p; ++j) {
            EXPECT_TRUE(korvtest::Near(std::stod(r.ot[k0][first + 1 + j]), U[j], 1e-9));
            EXPECT_EQ(r.ot[k0 + 1 + j][type + 1], covs[j]);
            EXPECT_TRUE(korvtest::Near(std::stod(r.ot[k0 + 1 + j][first]), U[j], 1e-9));
            for (size_t l = 0; l <= j; ++l) {
                const double v = V[j * (j + 1) / 2 + l];
                EXPECT_TRUE(korvtest::Near(std::stod(r.ot[k0 + 1 + j][first + 1 + l]), v, 1e-9));
                EXPECT_TRUE(korvtest::Near(std::stod(r.ot[k0 + 1 + l][first + 1 + j]), v, 1e-9));
            }
        }
        const auto path = split(row.at("path"), '|');
        const auto chi = numbers(row.at("path_chisq"));
        const auto steps = step_rows(r, "LogForStepSeq", group);
        ASSERT_EQ(steps.size(), path.size());
        for (size_t s = 0; s < path.size(); ++s) {
            EXPECT_EQ(steps[s].first, path[s]) << "step " << s;
            EXPECT_TRUE(korvtest::Near(steps[s].second, chi[s], 1e-9)) << "step " << s;
        }
    }
}

// OUTTEST= per BY group: the BY value, then 1 + p rows of Wilcoxon scores
// and covariances and 1 + p of log-rank, the score row first; its
// chi-square is the last step's. Printing adds the group of rank tests with
// its note and three tables per score; NOPRINT with OUTTEST= writes the same
// rows and prints none of them; neither does nothing.
TEST(AssocRuns, OuttestAndPrinting)
{
    const std::string body = " time time*status(1); by sex; test age ph_karno; run;";
    const std::map<std::string, std::string> sorted = {{"lung", sorted_by("lung", "sex")}};
    StepRun r = run("proc korvante data=lung notable outtest=ot;" + body, sorted);
    ASSERT_EQ(r.status, 0) << r.log;
    ASSERT_EQ(r.ot.size(), 13u);
    EXPECT_EQ(r.ot[0],
              (std::vector<std::string>{"sex", "_TYPE_", "_NAME_", "time", "age", "ph_karno"}));
    const char* names[] = {"time", "age", "ph_karno"};
    for (size_t k = 1; k < 13; ++k) {
        EXPECT_EQ(r.ot[k][0], k <= 6 ? "1" : "2");
        EXPECT_EQ(r.ot[k][1], (k - 1) % 6 < 3 ? "WILCOXON" : "LOG RANK");
        EXPECT_EQ(r.ot[k][2], names[(k - 1) % 3]);
    }
    EXPECT_EQ(r.ot[2][5], r.ot[3][4]);
    const auto steps = step_rows(r, "WilForStepSeq", 1);
    ASSERT_FALSE(steps.empty());
    EXPECT_NEAR(std::stod(r.ot[7][3]), steps.back().second, 1e-9 * steps.back().second);
    EXPECT_EQ(notes_with(r, "Rank Tests for the Association of time with Covariates"), 2u);
    for (const char* t : {"WilUniChiSq", "WilTestCov", "LogUniChiSq", "LogTestCov"})
        EXPECT_EQ(named(r, t).size(), 2u) << t;
    EXPECT_LT(place(r, "WilForStepSeq"), place(r, "LogUniChiSq"));
    EXPECT_EQ(r.log.find("WARNING"), std::string::npos) << r.log;

    StepRun quiet = run("proc korvante data=lung noprint outtest=ot;" + body, sorted);
    EXPECT_TRUE(named(quiet, "WilUniChiSq").empty());
    EXPECT_TRUE(named(quiet, "LogUniChiSq").empty());
    EXPECT_EQ(quiet.ot, r.ot);
    StepRun none = run("proc korvante data=lung noprint;" + body, sorted);
    EXPECT_EQ(none.status, 0) << none.log;
    EXPECT_FALSE(none.outtest);
}

// With strata the note says the statistics are pooled over them; a
// covariate constant within every stratum has no information there, though
// it varies across them; the covariates' labels come with them.
TEST(AssocRuns, StrataConstantCovariateAndLabels)
{
    StepRun r = run("proc korvante data=veteran notable; time time*status(0); strata trt;"
                    " test trt karno; run;",
                    {{"veteran.attr", "variable karno label=\"Karnofsky score\"\n"}});
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_FALSE(r.outtest);
    EXPECT_EQ(notes_with(r, "with Covariates Pooled over Strata"), 1u);
    const auto uni = r.tables("LogUniChiSq");
    ASSERT_EQ(uni.size(), 1u);
    const Value* trt = korvjson::row_where(uni[0], "Variable", "trt");
    ASSERT_NE(trt, nullptr);
    EXPECT_EQ(trt->number("StdErr"), 0);
    EXPECT_EQ(trt->get("ChiSq")->kind, Value::Null);
    const Value* karno = korvjson::row_where(uni[0], "Variable", "karno");
    ASSERT_NE(karno, nullptr);
    EXPECT_EQ(karno->text("Label"), "Karnofsky score");
    const auto steps = step_rows(r, "LogForStepSeq", 0);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].first, "karno");
}

// Covariates near the square root of the largest double, or of the smallest
// positive one: the scores, standard deviations and chi-squares are those of
// the covariates in plain units (the Cox score tests of the reference)
// scaled by the factor, the stepwise path is the same; the covariances that
// no double can hold are missing, with a warning that names the variable.
TEST(AssocRuns, CovariatesOfExtremeSize)
{
    korvtest::Table ref("association_logrank.csv");
    size_t at = ref.size();
    for (size_t i = 0; i < ref.size(); ++i)
        if (ref.record(i).at("data") == "veteran" && ref.record(i).at("strata") == "celltype")
            at = i;
    ASSERT_LT(at, ref.size());
    const auto row = ref.record(at);
    // veteran with karno times 1e154 and age times 1e-160.
    std::stringstream in(slurp(korvtest::source_dir() + "/examples/veteran.csv"));
    std::string header, line;
    std::getline(in, header);
    const auto names = korvtest::split_fields(header);
    const size_t karno = std::find(names.begin(), names.end(), "karno") - names.begin();
    const size_t age = std::find(names.begin(), names.end(), "age") - names.begin();
    const double factor[2] = {1e154, 1e-160};
    std::string csv = header + "\n";
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        auto f = korvtest::split_fields(line);
        for (size_t c : {karno, age}) {
            char t[64];
            std::snprintf(t, sizeof t, "%.17g", std::stod(f[c]) * factor[c == age]);
            f[c] = t;
        }
        std::string out;
        for (size_t c = 0; c < f.size(); ++c)
            out += (c ? "," : "") + f[c];
        csv += out + "\n";
    }
    StepRun r = run("proc korvante data=vx notable outtest=ot; time time*status(0); "
                    "strata celltype; test karno diagtime age prior trt; run;",
                    {{"vx", csv}});
    ASSERT_EQ(r.status, 0) << r.log;
    const auto U = numbers(row.at("U")), V = numbers(row.at("V"));
    const auto uni = r.tables("LogUniChiSq");
    ASSERT_EQ(uni.size(), 1u);
    const char* covs[] = {"karno", "diagtime", "age", "prior", "trt"};
    const double scale[] = {1e154, 1, 1e-160, 1, 1};
    for (size_t j = 0; j < 5; ++j) {
        SCOPED_TRACE(covs[j]);
        const Value* u = korvjson::row_where(uni[0], "Variable", covs[j]);
        ASSERT_NE(u, nullptr);
        const double v = V[j * (j + 1) / 2 + j];
        EXPECT_TRUE(korvtest::Near(u->number("Statistic"), U[j] * scale[j], 1e-9));
        EXPECT_TRUE(korvtest::Near(u->number("StdErr"), std::sqrt(v) * scale[j], 1e-9));
        EXPECT_TRUE(korvtest::Near(u->number("ChiSq"), U[j] * U[j] / v, 1e-9));
    }
    const auto path = split(row.at("path"), '|');
    const auto chi = numbers(row.at("path_chisq"));
    const auto steps = step_rows(r, "LogForStepSeq", 0);
    ASSERT_EQ(steps.size(), path.size());
    for (size_t s = 0; s < path.size(); ++s) {
        EXPECT_EQ(steps[s].first, path[s]) << "step " << s;
        EXPECT_TRUE(korvtest::Near(steps[s].second, chi[s], 1e-9)) << "step " << s;
    }
    // karno's variance, about 3e4 times 1e308, is missing in OUTTEST=; its
    // covariance with diagtime is a number.
    EXPECT_TRUE(r.log.find("WARNING: The log-rank covariances of the TEST variable karno are "
                           "too large to be held as numbers") != std::string::npos)
        << r.log;
    EXPECT_EQ(r.log.find("TEST variable age"), std::string::npos) << r.log;
    size_t k = 0;
    for (size_t i = 1; i < r.ot.size(); ++i)
        if (r.ot[i][0] == "LOG RANK" && r.ot[i][1] == "karno")
            k = i;
    ASSERT_GT(k, 0u);
    EXPECT_EQ(r.ot[k][3], ".");
    EXPECT_TRUE(korvtest::Near(std::stod(r.ot[k][4]), V[1] * 1e154, 1e-9));
}
