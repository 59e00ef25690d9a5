#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "frame/korvg.h"
#include "runtime/missing.h"
#include "support/fake_env.h"
#include "test_util.h"

namespace
{

TEST(Grammar, IsSoundLL1)
{
    auto problems = vyr_grammar_check(korvg_grammar());
    std::string all;
    for (auto& p : problems)
        all += p + "\n";
    EXPECT_TRUE(problems.empty()) << all;
}

TEST(Grammar, HiddenAliasesAreNeverShown)
{
    auto kw = vyr_grammar_keywords(korvg_grammar());
    for (const char* hidden : {"PRINTPHANTOM", "XCBMINOPT", "RHO", "LP", "NA", "TDIFF", "REDRANK",
                               "OUTSIDETABLE", "UNPACKED", "CLOGLOG"})
        EXPECT_EQ(std::find(kw.begin(), kw.end(), hidden), kw.end()) << hidden;
    for (const char* shown : {"LINEPRINTER", "NELSON", "AALEN", "PLOTS", "CONFBAND", "TUKEY"})
        EXPECT_NE(std::find(kw.begin(), kw.end(), shown), kw.end()) << shown;
}

TEST(Engine, ProcStatementBasics)
{
    Prog r("proc korvante data=lung plots=none method=km;\n time time*status(0);");
    ASSERT_EQ(r.rc, 0) << r.env.all_reports();
    ASSERT_NE(r.rec(0), nullptr);
    EXPECT_STREQ(r.rec(0)->name, "KORVANTE");
    EXPECT_TRUE(stmt_bit(r.rec(0), 35));
    EXPECT_TRUE(stmt_bit(r.rec(0), 33));
    EXPECT_EQ(stmt_int(r.rec(0), 15, 0), -1);
    // The TIME statement fills a record of its own.
    ASSERT_NE(r.rec(1), nullptr);
    EXPECT_STREQ(r.rec(1)->name, "TIME");
    EXPECT_EQ(r.ints(10, 1), std::vector<int>{1});
    EXPECT_EQ(r.ints(11, 1), std::vector<int>{2});
    EXPECT_EQ(r.nums(12, 1), std::vector<double>{0});
}

} // namespace
