// Restricted means of whole programs on the example data against the peers
// (tests/reference/rmst.R): each cell's RMST, RMTL and standard error against
// R's survival, the bias-corrected standard error against the hand
// computation, the global and stratified Wald tests, and the comparisons
// (raw, Bonferroni, Sidak, Tukey, Dunnett, ratios) against p.adjust, the
// Sidak formula and multcomp.
#include "run.h"

#include <cstdio>

#include "support/reference.h"

using korvtest::Near;
using korvtest::Table;
using rmstest::num;

namespace
{

// The cell of a row: its class values joined with "/", numbers as %g.
std::string cellOf(const korvjson::Value* row, const std::vector<std::string>& vars)
{
    std::string out;
    for (const std::string& v : vars) {
        const korvjson::Value* x = row->get(v);
        std::string part;
        if (x && x->kind == korvjson::Value::Number) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%g", x->num);
            part = buf;
        } else if (x) {
            part = x->str;
        }
        out += (out.empty() ? "" : "/") + part;
    }
    return out.empty() ? "all" : out;
}

// The estimates and tests of every case, run once per test process: the
// comparisons here ask for nothing but raw p-values, which are quick.
const rmstest::Run& estimates()
{
    static const rmstest::Run r = rmstest::run(R"(
proc korvante data=veteran rmst(tau=100 cl) rmtl(tau=100) notable plots=none;
   time time*status(0);
   strata celltype;
run;
proc korvante data=veteran rmst notable plots=none;
   time time*status(0);
   strata celltype;
run;
proc korvante data=lung rmst(tau=500) rmtl(tau=500) notable plots=none;
   time time*status(1);
   strata sex;
run;
proc korvante data=lung rmst(tau=365) notable plots=none;
   time time*status(1);
run;
proc korvante data=aml rmst(tau=40) notable plots=none;
   time time*status(0);
   strata x / diff=all;
run;
proc korvante data=kidney rmst(tau=200) notable plots=none;
   time time*status(0);
   strata disease;
run;
proc korvante data=kidney rmst(tau=200 bc) notable plots=none;
   time time*status(0);
   strata disease;
run;
proc korvante data=veteran rmst notable plots=none;
   time time*status(0);
   strata trt / group=celltype;
run;
proc korvante data=ovarian rmst(tau=500) notable plots=none;
   time futime*fustat(0);
   strata rx resid_ds;
run;
)");
    return r;
}

// The comparisons with their adjustments (Tukey's and Dunnett's integrals
// take the time here).
const rmstest::Run& comparisons()
{
    static const rmstest::Run r = rmstest::run(R"(
proc korvante data=veteran rmst(tau=100) notable plots=none;
   time time*status(0);
   strata celltype / diff=all adjust=tukey notest;
run;
proc korvante data=aml rmst(tau=40) notable plots=none;
   time time*status(0);
   strata x / diff=all notest;
run;
proc korvante data=kidney rmst(tau=200) notable plots=none;
   time time*status(0);
   strata disease / diff=all adjust=bon notest;
run;
proc korvante data=veteran rmst notable plots=none;
   time time*status(0);
   strata trt / group=celltype diff=all adjust=tukey notest;
run;
proc korvante data=veteran rmst(tau=100) notable plots=none;
   time time*status(0);
   strata celltype / diff=control(last) adjust=dunnett notest;
run;
proc korvante data=veteran rmst(tau=100) notable plots=none;
   time time*status(0);
   strata celltype / diff=control('squamous') adjust=sidak notest;
run;
proc korvante data=veteran rmst(tau=100) notable plots=none;
   time time*status(0);
   strata celltype / ratio diff=all notest;
run;
proc korvante data=veteran rmst(tau=100) notable plots=none;
   time time*status(0);
   strata celltype / diff=all adjust=bon notest;
run;
)");
    return r;
}

struct Step {
    int step;
    const char* table;
    const char* reference; // case of rmst_cells.csv
    std::vector<std::string> vars;
    const char* seColumn; // se or se_bc
};

} // namespace

TEST(Peers, EstimatesOfEveryCellAgainstSurvival)
{
    const rmstest::Run& r = estimates();
    ASSERT_LE(r.status, 4) << r.log;
    Table ref("rmst_cells.csv");
    const Step steps[] = {
        {0, "RMST", "veteran_celltype", {"celltype"}, "se"},
        {0, "RMTL", "veteran_celltype", {"celltype"}, "se"},
        {1, "RMST", "veteran_celltype_def", {"celltype"}, "se"},
        {2, "RMST", "lung_sex", {"sex"}, "se"},
        {2, "RMTL", "lung_sex", {"sex"}, "se"},
        {3, "RMST", "lung", {}, "se"},
        {4, "RMST", "aml_x", {"x"}, "se"},
        {5, "RMST", "kidney_disease", {"disease"}, "se"},
        {6, "RMST", "kidney_disease", {"disease"}, "se_bc"},
        {7, "RMST", "veteran_trt_celltype", {"trt", "celltype"}, "se"},
        {8, "RMST", "ovarian_rx_resid", {"rx", "resid_ds"}, "se"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.reference) + " " + s.table + " step " + std::to_string(s.step));
        const auto rows = korvjson::rows(r.table(s.table, s.step));
        size_t want = 0;
        for (size_t i = 0; i < ref.size(); ++i)
            if (ref.text(i, "case") == s.reference)
                ++want;
        ASSERT_EQ(rows.size(), want);
        const std::string est = std::string(s.table) == "RMST" ? "rmst" : "rmtl";
        for (const korvjson::Value* row : rows) {
            const std::string cell = cellOf(row, s.vars);
            bool found = false;
            for (size_t i = 0; i < ref.size(); ++i) {
                if (ref.text(i, "case") != s.reference || ref.text(i, "cell") != cell)
                    continue;
                found = true;
                EXPECT_TRUE(Near(num(row, "Tau"), ref.num(i, "tau"), 1e-12)) << cell;
                EXPECT_TRUE(Near(num(row, "Estimate"), ref.num(i, est), 1e-10)) << cell;
                EXPECT_TRUE(Near(num(row, "StdErr"), ref.num(i, s.seColumn), 1e-9)) << cell;
            }
            EXPECT_TRUE(found) << "no reference cell " << cell;
        }
    }
    // Confidence limits: the estimate plus and minus z times the error,
    // the lower one not below 0.
    for (const korvjson::Value* row : korvjson::rows(r.table("RMST", 0))) {
        const double e = num(row, "Estimate"), se = num(row, "StdErr");
        EXPECT_TRUE(Near(num(row, "UpperLimit"), e + 1.959963984540054 * se, 1e-12));
        EXPECT_TRUE(Near(num(row, "LowerLimit"), std::max(0.0, e - 1.959963984540054 * se), 1e-12));
    }
    // Without STRATA: one row, no stratum number.
    const auto lung = korvjson::rows(r.table("RMST", 3));
    ASSERT_EQ(lung.size(), 1u);
    EXPECT_EQ(lung[0]->get("Stratum"), nullptr);
    // Two STRATA variables: the cells numbered 1 .. 4 in level order.
    const auto ov = korvjson::rows(r.table("RMST", 8));
    ASSERT_EQ(ov.size(), 4u);
    for (size_t i = 0; i < ov.size(); ++i)
        EXPECT_EQ(num(ov[i], "Stratum"), static_cast<double>(i + 1));
}

TEST(Peers, GlobalTestsAgainstTheWaldStatistic)
{
    const rmstest::Run& r = estimates();
    Table ref("rmst_tests.csv");
    const struct {
        int step;
        const char* table;
        const char* reference;
    } cases[] = {
        {0, "RMSTTest", "veteran_celltype"},
        {0, "RMTLTest", "veteran_celltype"},
        {1, "RMSTTest", "veteran_celltype_def"},
        {2, "RMSTTest", "lung_sex"},
        {4, "RMSTTest", "aml_x"},
        {5, "RMSTTest", "kidney_disease"},
        {7, "RMSTStratifiedTest", "veteran_trt_celltype_stratified"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reference);
        const auto rows = korvjson::rows(r.table(c.table, c.step));
        ASSERT_EQ(rows.size(), 1u);
        size_t i = 0;
        while (i < ref.size() && ref.text(i, "case") != c.reference)
            ++i;
        ASSERT_LT(i, ref.size());
        EXPECT_TRUE(Near(num(rows[0], "ChiSq"), ref.num(i, "chisq"), 1e-9));
        EXPECT_EQ(num(rows[0], "DF"), ref.num(i, "df"));
        EXPECT_TRUE(Near(num(rows[0], "ProbChiSq"), ref.num(i, "p"), 1e-7));
    }
    // No STRATA: no test and no message about it.
    EXPECT_EQ(r.table("RMSTTest", 3), nullptr);
    // The stratified test names the GROUP= variable.
    EXPECT_EQ(korvjson::rows(r.table("RMSTStratifiedTest", 7))[0]->text("Source"), "celltype");
    // Two levels: the test's chi-square is the comparison's.
    const auto diff = korvjson::rows(r.table("RMSTDiff", 4));
    ASSERT_EQ(diff.size(), 1u);
    EXPECT_TRUE(Near(num(diff[0], "ChiSq"), num(korvjson::rows(r.table("RMSTTest", 4))[0], "ChiSq"),
                     1e-12));
}

TEST(Peers, ComparisonsAgainstPAdjustAndMultcomp)
{
    const rmstest::Run& r = comparisons();
    ASSERT_LE(r.status, 4) << r.log;
    Table ref("rmst_diffs.csv");
    const struct {
        int step;
        const char* reference;
        const char* type;
        const char* column; // column of the reference for AdjProbChiSq, or null
        double tol;
        const char* var;
    } cases[] = {
        {0, "veteran_celltype", "Tukey", "exact", 5e-4, "celltype"},
        {2, "kidney_disease", "Tukey", "bonferroni", 1e-10, "disease"},
        {3, "veteran_trt_celltype_stratified", "Tukey", "exact", 5e-4, "celltype"},
        {4, "veteran_celltype_last", "Dunnett", "exact", 5e-4, "celltype"},
        {5, "veteran_celltype", "Dunnett", "sidak", 1e-10, "celltype"},
        {7, "veteran_celltype", "Tukey", "bonferroni", 1e-10, "celltype"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.reference) + " " + c.column);
        const auto rows = korvjson::rows(r.table("RMSTDiff", c.step));
        std::vector<size_t> want;
        for (size_t i = 0; i < ref.size(); ++i)
            if (ref.text(i, "case") == c.reference && ref.text(i, "type") == c.type)
                want.push_back(i);
        ASSERT_EQ(rows.size(), want.size());
        for (size_t k = 0; k < rows.size(); ++k) {
            const size_t i = want[k];
            EXPECT_EQ(rows[k]->text("Group1"), ref.text(i, "first"));
            EXPECT_EQ(rows[k]->text("Group2"), ref.text(i, "second"));
            EXPECT_TRUE(Near(num(rows[k], "Estimate"), ref.num(i, "estimate"), 1e-9));
            EXPECT_TRUE(Near(num(rows[k], "StdErr"), ref.num(i, "stderr"), 1e-9));
            EXPECT_TRUE(Near(num(rows[k], "ChiSq"), ref.num(i, "chisq"), 1e-9));
            EXPECT_TRUE(Near(num(rows[k], "ProbChiSq"), ref.num(i, "raw"), 1e-7, 1e-12));
            EXPECT_TRUE(Near(num(rows[k], "AdjProbChiSq"), ref.num(i, c.column), 1e-7, c.tol));
        }
    }
    // Ratios on the log scale.
    const auto ratio = korvjson::rows(r.table("RMSTDiff", 6));
    std::vector<size_t> want;
    for (size_t i = 0; i < ref.size(); ++i)
        if (ref.text(i, "case") == std::string("veteran_celltype") &&
            ref.text(i, "type") == "Tukey")
            want.push_back(i);
    ASSERT_EQ(ratio.size(), want.size());
    for (size_t k = 0; k < ratio.size(); ++k) {
        EXPECT_TRUE(Near(num(ratio[k], "Ratio"), ref.num(want[k], "ratio"), 1e-10));
        EXPECT_TRUE(
            Near(num(ratio[k], "StdErrLogRatio"), ref.num(want[k], "stderr_log_ratio"), 1e-9));
        EXPECT_TRUE(Near(num(ratio[k], "ChiSq"), ref.num(want[k], "chisq_log_ratio"), 1e-9));
        EXPECT_TRUE(Near(num(ratio[k], "ProbChiSq"), ref.num(want[k], "raw_log_ratio"), 1e-7));
    }
    // Without ADJUST= only the raw p-value is shown.
    const auto plain = korvjson::rows(r.table("RMSTDiff", 1));
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0]->get("AdjProbChiSq"), nullptr);
}
