// Table templates: for each "Stat.Korvante.*" table, whether it is printed
// and how its columns look. Defined here as data, in one place; a table whose
// template is not listed is printed with every column in its own format.
//
// A template column names a column or a generic template column ("*" is any
// column); `format` overrides the number format ("" keeps the column's), and
// `show` false hides the column. Columns the template does not name are shown.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/output/document.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_missing.h"

namespace vdq
{
namespace
{

const char* const P = "PVALUE6.4";
const char* const kSurvDiffTitle = "Survival Curve Comparisons for the {TestLabel} Test";

// The survival estimates, their quartiles and means.
std::vector<TableTemplate> estimateTemplates()
{
    return {
        {"Stat.Korvante.ProductLimitEstimates",
         false,
         {{"Survival", "8.4", true},
          {"Failure", "8.4", true},
          {"StdErr", "8.4", true},
          {"CumHaz", "8.4", true},
          {"StdErrCumHaz", "8.4", true}}},
        {"Stat.Korvante.ProductLimitEstimates0",
         false,
         {{"Survival", "8.4", true},
          {"Failure", "8.4", true},
          {"StdErr", "8.4", true},
          {"CumHaz", "8.4", true},
          {"StdErrCumHaz", "8.4", true}}},
        {"Stat.Korvante.WeightedProductLimitEstimates",
         false,
         {{"Survival", "8.4", true}, {"Failure", "8.4", true}, {"StdErr", "8.4", true}}},
        {"Stat.Korvante.BreslowEstimates",
         false,
         {{"Survival", "8.4", true},
          {"Failure", "8.4", true},
          {"StdErr", "8.4", true},
          {"CumHaz", "8.4", true},
          {"StdErrCumHaz", "8.4", true}}},
        {"Stat.Korvante.BreslowEstimates0",
         false,
         {{"Survival", "8.4", true}, {"Failure", "8.4", true}, {"StdErr", "8.4", true}}},
        {"Stat.Korvante.FlemingEstimates",
         false,
         {{"Survival", "8.4", true},
          {"Failure", "8.4", true},
          {"StdErr", "8.4", true},
          {"CumHaz", "8.4", true},
          {"StdErrCumHaz", "8.4", true}}},
        {"Stat.Korvante.FlemingEstimates0",
         false,
         {{"Survival", "8.4", true}, {"Failure", "8.4", true}, {"StdErr", "8.4", true}}},
        {"Stat.Korvante.LifetableEstimates",
         false,
         {{"CondProbFail", "8.4", true},
          {"CondStdErr", "8.4", true},
          {"Survival", "8.4", true},
          {"Failure", "8.4", true},
          {"StdErr", "8.4", true},
          {"Pdf", "8.4", true},
          {"PdfStdErr", "8.4", true},
          {"Hazard", "8.6", true},
          {"HazStdErr", "8.6", true}}},
        {"Stat.Korvante.Quartiles", false, {{"Percent", "8.0", true}}},
        {"Stat.Korvante.Means", false, {}},
    };
}

// The censoring and failure summaries and the legend of the strata.
std::vector<TableTemplate> summaryTemplates()
{
    return {
        {"Stat.Korvante.CensoredSummary",
         false,
         {{"control_var", "", false},
          {"Total", "8.0", true},
          {"Failed", "8.0", true},
          {"Censored", "8.0", true},
          {"PctCens", "8.2", true}}},
        {"Stat.Korvante.CensoredSummary2",
         false,
         {{"control_var", "", false},
          {"Total", "8.0", true},
          {"Failed", "8.0", true},
          {"Censored", "8.0", true},
          {"PctCens", "8.2", true}}},
        {"Stat.Korvante.FailureSummary",
         false,
         {{"Censored", "8.0", true},
          {"Event", "8.0", true},
          {"Compete", "8.0", true},
          {"Total", "8.0", true}}},
        // The symbol column shows unless the legend sets SymbolOff; without
        // it the legend is the one of the tests, which number the strata.
        {"Stat.Korvante.Legend",
         false,
         {{"Symbol", "", true, nullptr, "SymbolOff"}},
         false,
         nullptr,
         "SymbolOff",
         "Legend of the Stratum Numbers"},
    };
}

// The tests of equality over strata and groups, with their statistics
// and trend scores.
std::vector<TableTemplate> testTemplates()
{
    return {
        {"Stat.Korvante.HomTests",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}}},
        {"Stat.Korvante.HomTests2",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}},
         false,
         "Test of Equality over Group"},
        {"Stat.Korvante.StratifiedTests",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}},
         false,
         "Stratified Test of Equality over Group"},
        {"Stat.Korvante.GrayTest",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}}},
        {"Stat.Korvante.GrayTest2",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}}},
        // The raw GROUP= value goes with the data; the formatted one shows.
        {"Stat.Korvante.HomStats", false, {{"GrpRawVar", "", false}}},
        {"Stat.Korvante.TrendScores", false, {{"GrpRawVar", "", false}}},
        {"Stat.Korvante.TrendTests",
         false,
         {{"Probz", P, true}, {"LowerProbz", P, true}, {"UpperProbz", P, true}}},
    };
}

// The comparisons of survival curves, one table per test.
std::vector<TableTemplate> comparisonTemplates()
{
    return {
        {"Stat.Korvante.SurvDiff",
         false,
         {{"StratumNumber1", "", true},
          {"StratumNumber2", "", true},
          {"ChiSq", "10.4", true},
          {"Raw", P, true},
          {"Adjusted", P, true, nullptr, "ApproximateUsed"},
          {"Approximate", P, true, nullptr, "ExactUsed"}},
         false,
         kSurvDiffTitle},
        {"Stat.Korvante.SurvDiff1",
         false,
         {{"ChiSq", "10.4", true},
          {"Raw", P, true},
          {"Adjusted", P, true, nullptr, "ApproximateUsed"},
          {"Approximate", P, true, nullptr, "ExactUsed"}},
         false,
         kSurvDiffTitle},
        {"Stat.Korvante.SurvDiff2",
         false,
         {{"ChiSq", "10.4", true},
          {"Raw", P, true},
          {"Adjusted", P, true, nullptr, "ApproximateUsed"},
          {"Approximate", P, true, nullptr, "ExactUsed"}},
         false,
         kSurvDiffTitle},
    };
}

// The reports of the comparison engine (step-down subsets, simulation).
std::vector<TableTemplate> engineTemplates()
{
    return {
        {"Stat.XPN.Subsets",
         false,
         {{"Subset", "", true, "Subset"},
          {"Step", "", true, "Step"},
          {"Comparison", "", true, "Tested"},
          {"Size", "", true, "Size"},
          {"pEval", P, true, "Probability"},
          {"DF", "", true, "DF"}},
         false,
         "Step-Down Subsets"},
        {"Stat.XPN.SubsetSim",
         false,
         {{"tObs", "8.4", true, "Statistic"},
          {"Simple", P, true, "Simulated Probability"},
          {"AvgCV", "", false},
          {"AvgCV2", "", false},
          {"pBon", P, true, "Bonferroni Bound"},
          {"AdjP", P, true, "Probability Used"},
          {"SEAdjP", "8.6", true, "Standard Error"}},
         false,
         "Step-Down Simulation"},
        {"Stat.XPN.Factoid", false, {}},
        {"Stat.XPN.SimResults",
         false,
         {{"Method", "", true, "Method"},
          {"Quantile", "8.4", true, "Quantile"},
          {"Alpha", "8.4", true, "Estimated Alpha"},
          {"LowerCL", "8.4", true, "Lower Confidence Limit"},
          {"UpperCL", "8.4", true, "Upper Confidence Limit"}},
         false,
         "Simulation Results: {alphaval}% Quantiles, {acc}% Confidence Limits for Alpha"},
    };
}

// The rank tests of association: univariate and forward stepwise.
std::vector<TableTemplate> associationTemplates()
{
    return {
        {"Stat.Korvante.WilUniChiSq", false, {{"ChiSq", "10.4", true}, {"ProbChiSq", P, true}}},
        {"Stat.Korvante.LogUniChiSq", false, {{"ChiSq", "10.4", true}, {"ProbChiSq", P, true}}},
        {"Stat.Korvante.WilForwStepSeq",
         false,
         {{"DF", "4.0", true},
          {"ChiSq", "10.4", true},
          {"ProbChiSq", P, true},
          {"Increment", "10.4", true},
          {"ProbIncrement", P, true}}},
        {"Stat.Korvante.LogForwStepSeq",
         false,
         {{"DF", "4.0", true},
          {"ChiSq", "10.4", true},
          {"ProbChiSq", P, true},
          {"Increment", "10.4", true},
          {"ProbIncrement", P, true}}},
    };
}

// The cumulative incidence estimates of competing risks.
std::vector<TableTemplate> cifTemplates()
{
    return {
        {"Stat.Korvante.CifEstimates",
         false,
         {{"CIF", "8.4", true},
          {"StdErr", "8.4", true},
          {"Variance", "8.6", true},
          {"CIF_LCL", "8.4", true},
          {"CIF_UCL", "8.4", true}}},
    };
}

// The restricted mean survival time and time lost, their tests and
// differences.
std::vector<TableTemplate> restrictedMeanTemplates()
{
    return {
        {"Stat.Korvante.RMST",
         false,
         {{"Tau", "BEST8.", true},
          {"Estimate", "10.4", true},
          {"StdErr", "10.4", true},
          {"UpperLimit", "10.4", true},
          {"LowerLimit", "10.4", true}}},
        {"Stat.Korvante.RMTL",
         false,
         {{"Tau", "BEST8.", true},
          {"Estimate", "10.4", true},
          {"StdErr", "10.4", true},
          {"UpperLimit", "10.4", true},
          {"LowerLimit", "10.4", true}}},
        {"Stat.Korvante.RMSTTest",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}}},
        {"Stat.Korvante.RMTLTest",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}}},
        {"Stat.Korvante.RMSTStratifiedTest",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}}},
        {"Stat.Korvante.RMTLStratifiedTest",
         false,
         {{"ChiSq", "10.4", true}, {"DF", "4.0", true}, {"ProbChiSq", P, true}}},
        {"Stat.Korvante.RMSTDiff",
         false,
         {{"StratumNumber1", "4.0", true},
          {"StratumNumber2", "4.0", true},
          {"Estimate", "10.4", true},
          {"Ratio", "10.4", true},
          {"StdErr", "10.4", true},
          {"StdErrLogRatio", "10.4", true},
          {"ChiSq", "10.4", true},
          {"ProbChiSq", P, true},
          {"AdjProbChiSq", P, true}},
         false,
         "{TitleText}"},
        {"Stat.Korvante.RMTLDiff",
         false,
         {{"StratumNumber1", "4.0", true},
          {"StratumNumber2", "4.0", true},
          {"Estimate", "10.4", true},
          {"Ratio", "10.4", true},
          {"StdErr", "10.4", true},
          {"StdErrLogRatio", "10.4", true},
          {"ChiSq", "10.4", true},
          {"ProbChiSq", P, true},
          {"AdjProbChiSq", P, true}},
         false,
         "{TitleText}"},
        {"Stat.Korvante.RMS", true, {}},
    };
}

// Plot data and smoothed hazards: kept for graphs, not printed.
std::vector<TableTemplate> hiddenTemplates()
{
    return {
        {"Stat.Korvante.KernelSmoothedHazard", true, {{"StratumNum", "", false}}},
        {"Stat.Korvante.Generic", true, {{"StratumNum", "", false}}},
        {"Stat.Korvante.Phantom", true, {}},
        {"Stat.Korvante.cifPhantom", true, {}},
    };
}

// Every template, family by family.
const std::vector<TableTemplate>& templates()
{
    static const std::vector<TableTemplate> t = [] {
        std::vector<TableTemplate> all;
        for (auto family : {estimateTemplates, summaryTemplates, testTemplates, comparisonTemplates,
                            engineTemplates, associationTemplates, cifTemplates,
                            restrictedMeanTemplates, hiddenTemplates})
            for (TableTemplate& one : family())
                all.push_back(std::move(one));
        return all;
    }();
    return t;
}

bool iequal(const std::string& a, const char* b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

const TemplateColumn* templateColumn(const Column& c, const TableTemplate* t)
{
    if (!t)
        return nullptr;
    for (const TemplateColumn& tc : t->columns)
        if (iequal(c.name, tc.column))
            return &tc;
    for (const TemplateColumn& tc : t->columns)
        if (!c.templateColumn.empty() && iequal(c.templateColumn, tc.column))
            return &tc;
    for (const TemplateColumn& tc : t->columns)
        if (std::strcmp(tc.column, "*") == 0)
            return &tc;
    return nullptr;
}

} // namespace

const TableTemplate* findTemplate(const std::string& name)
{
    // Looked up for every table: by the name in lower case.
    static const std::unordered_map<std::string, const TableTemplate*> byName = [] {
        std::unordered_map<std::string, const TableTemplate*> m;
        for (const TableTemplate& t : templates()) {
            std::string k = t.name;
            for (char& c : k)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            m.emplace(k, &t);
        }
        return m;
    }();
    std::string k = name;
    for (char& c : k)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto it = byName.find(k);
    return it == byName.end() ? nullptr : it->second;
}

std::string tableTitle(const Node& n, const TableTemplate* t)
{
    if (t && t->otherTitleBy)
        for (const Dynamic& d : n.dynamics)
            if (d.name == t->otherTitleBy &&
                (d.numeric ? d.d != 0 : !d.text.empty() && d.text != "0"))
                return t->otherTitle;
    const std::string fallback = n.label.empty() ? n.name : n.label;
    if (!t || !t->title)
        return fallback;
    std::string out;
    for (const char* p = t->title; *p; ++p) {
        if (*p != '{') {
            out.push_back(*p);
            continue;
        }
        const char* close = std::strchr(p, '}');
        if (!close)
            return fallback;
        const std::string name(p + 1, close);
        const Dynamic* found = nullptr;
        for (const Dynamic& d : n.dynamics)
            if (d.name == name)
                found = &d;
        if (!found || found->text.empty())
            return fallback;
        out += found->text;
        p = close;
    }
    return out;
}

std::vector<std::string> templateNames()
{
    std::vector<std::string> v;
    for (const TableTemplate& t : templates())
        v.push_back(t.name);
    return v;
}

bool columnShown(const Column& c, const TableTemplate* t)
{
    if (c.type == 1) // control column
        return false;
    const TemplateColumn* tc = templateColumn(c, t);
    return !tc || tc->show;
}

std::vector<size_t> shownColumns(const std::vector<Column>& cols, const TableTemplate* t)
{
    std::vector<size_t> shown;
    std::vector<bool> taken(cols.size(), false);
    if (t && t->ordered) {
        for (const TemplateColumn& tc : t->columns)
            for (size_t i = 0; i < cols.size(); ++i)
                if (!taken[i] && templateColumn(cols[i], t) == &tc) {
                    taken[i] = true;
                    if (columnShown(cols[i], t))
                        shown.push_back(i);
                }
    }
    for (size_t i = 0; i < cols.size(); ++i)
        if (!taken[i] && columnShown(cols[i], t))
            shown.push_back(i);
    return shown;
}

std::vector<size_t> shownColumns(const std::vector<Column>& cols, const TableTemplate* t,
                                 const std::vector<Dynamic>& dynamics)
{
    std::vector<size_t> shown = shownColumns(cols, t);
    auto hidden = [&](size_t i) {
        const TemplateColumn* tc = templateColumn(cols[i], t);
        if (!tc || !tc->hiddenBy)
            return false;
        for (const Dynamic& d : dynamics)
            if (d.name == tc->hiddenBy)
                return d.numeric ? d.d != 0 : !d.text.empty() && d.text != "0";
        return false;
    };
    shown.erase(std::remove_if(shown.begin(), shown.end(), hidden), shown.end());
    return shown;
}

std::string columnHeader(const Column& c, const TableTemplate* t)
{
    const TemplateColumn* tc = templateColumn(c, t);
    if (tc && tc->header)
        return tc->header;
    return c.label.empty() ? c.name : c.label;
}

std::string columnFormat(const Column& c, const TableTemplate* t)
{
    std::string fmt;
    const TemplateColumn* tc = templateColumn(c, t);
    if (tc && tc->format && *tc->format)
        return tc->format;
    if (!c.format.empty()) {
        fmt = c.format;
        if (c.width > 0)
            fmt += std::to_string(c.width);
        fmt += ".";
        if (c.decimals > 0)
            fmt += std::to_string(c.decimals);
    } else if (c.width > 0) {
        if (c.decimals >= 0)
            fmt = std::to_string(c.width) + "." + std::to_string(c.decimals);
        else
            fmt = "BEST" + std::to_string(c.width) + ".";
    }
    return fmt;
}

bool identifiesRow(const Column& c)
{
    static const char* const generic[] = {"GenericTime", "StrNumVar", "StrChrVar",
                                          "GrpNumVar",   "GrpChrVar", "gstrata"};
    static const char* const named[] = {"Timelist", "Stratum", "Percent", "Test"};
    if (c.type == 1) // the control column
        return false;
    if (c.variable || !c.numeric)
        return true;
    for (const char* g : generic)
        if (iequal(c.templateColumn, g))
            return true;
    for (const char* n : named)
        if (iequal(c.name, n))
            return true;
    return false;
}

} // namespace vdq
