// Comparisons of restricted means among more levels than Tukey's and
// Dunnett's p-values are integrated for: the column and the title name the
// method the engine used, with the note the survival-curve comparisons give.
#include "run.h"

#include <cstdio>

#include "numeric/mcdist.h"
#include "runtime/missing.h"
#include "support/reference.h"

using korvtest::Near;
using rmstest::num;

namespace
{

// Twelve levels of different sizes (so different variances), every one with
// events before the restriction time.
std::string twelveLevels()
{
    std::string csv = "t,s,g\n";
    for (int g = 1; g <= 12; ++g)
        for (int i = 0; i < 8 + g; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "%d,%d,%d\n", 2 + (i * 13 + g * 5) % 37,
                          i % 3 != 0 ? 1 : 0, g);
            csv += line;
        }
    return csv;
}

std::string label(const korvjson::Value* table, const std::string& column)
{
    const korvjson::Value* cols = table ? table->get("columns") : nullptr;
    if (cols)
        for (const korvjson::Value& c : cols->items)
            if (c.text("name") == column)
                return c.text("label");
    return "";
}

// The listing with every run of blanks and line ends as one blank, so that
// a note reads the same however it is wrapped.
std::string flat(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const bool blank = c == ' ' || c == '\n' || c == '\r';
        if (!blank)
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    return out;
}

bool has(const std::string& text, const std::string& part)
{
    return flat(text).find(part) != std::string::npos;
}

} // namespace

TEST(ManyLevels, TheColumnNamesTheApproximationUsed)
{
    const std::string steps[] = {
        "strata g / notest diff=all adjust=tukey;",
        "strata g / notest diff=all adjust=tukey stepdown;",
        "strata g / notest diff=control('1') adjust=dunnett;",
    };
    std::string program;
    for (const std::string& s : steps)
        program += "proc korvante data=twelve rmst(tau=30) notable plots=none; time t*s(0); " + s +
                   " run;";
    const rmstest::Run r = rmstest::run(program, {{"twelve.csv", twelveLevels()}});
    ASSERT_EQ(r.status, 0) << r.log;
    const char* kTukeyKramerNote = "The adjusted p-values are Tukey-Kramer approximations";

    // All pairs: Tukey-Kramer, P(Q_12 > sqrt(2) |z|) for uncorrelated means
    // of unequal variances, in the column and the title, with the note.
    const korvjson::Value* all = r.table("RMSTDiff", 0);
    ASSERT_TRUE(all);
    EXPECT_EQ(label(all, "AdjProbChiSq"), "Tukey-Kramer");
    const auto rows = korvjson::rows(all);
    ASSERT_EQ(rows.size(), 66u);
    for (const korvjson::Value* row : rows) {
        const double q = std::sqrt(2 * num(row, "ChiSq"));
        EXPECT_TRUE(Near(num(row, "AdjProbChiSq"), zptukeyc(q, 12, korv_missing()), 1e-6, 1e-9))
            << row->text("Group1") << " " << row->text("Group2");
    }
    EXPECT_TRUE(has(r.listing, "Adjustment for Multiple Comparisons: Tukey-Kramer")) << r.listing;
    EXPECT_TRUE(has(r.listing, kTukeyKramerNote));
    EXPECT_TRUE(has(r.listing, "and 12 are compared here"));

    EXPECT_EQ(label(r.table("RMSTDiff", 1), "AdjProbChiSq"), "Stepdown Tukey-Kramer");

    // Against a control the means are independent: the correlation of the
    // comparisons has the one-factor form, so Hsu's integral is Dunnett's
    // exact p-value and the column keeps its name, without a note.
    EXPECT_EQ(label(r.table("RMSTDiff", 2), "AdjProbChiSq"), "Dunnett");
    EXPECT_FALSE(has(r.listing, "Hsu"));
}

// Lung's 18 institutions: each label goes with its note, and eleven levels or
// fewer keep the exact method's name.
TEST(ManyLevels, EachApproximationHasItsNote)
{
    const rmstest::Run r =
        rmstest::run("proc korvante data=lung rmst(tau=150) rmtl(tau=150) notable plots=none; "
                     "time time*status(1); strata inst / notest diff=control adjust=dunnett; run;"
                     "proc korvante data=aml rmst(tau=40) notable plots=none; time time*status(0); "
                     "strata x / notest diff=all adjust=tukey; run;");
    ASSERT_EQ(r.status, 0) << r.log;
    const auto tables = r.tables("RMSTDiff", 0);
    ASSERT_EQ(tables.size(), 1u);
    ASSERT_TRUE(r.table("RMTLDiff", 0));
    // Three institutions have no variance at 150 days, which the engine's
    // one-factor fit takes as an approximation; the table says which it is.
    int hsu = 0;
    for (const korvjson::Value* t : {tables[0], r.table("RMTLDiff", 0)}) {
        const std::string l = label(t, "AdjProbChiSq");
        EXPECT_TRUE(l == "Hsu" || l == "Dunnett") << l;
        hsu += l == "Hsu";
    }
    const std::string listing = flat(r.listing);
    size_t notes = 0;
    for (size_t at = listing.find("approximations of Dunnett's"); at != std::string::npos;
         at = listing.find("approximations of Dunnett's", at + 1))
        ++notes;
    EXPECT_EQ(notes, static_cast<size_t>(hsu));
    EXPECT_EQ(label(r.table("RMSTDiff", 1), "AdjProbChiSq"), "Tukey");
    EXPECT_FALSE(has(r.listing, "Tukey-Kramer"));
}
