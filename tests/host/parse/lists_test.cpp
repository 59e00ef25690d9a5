// Variable lists of every form, number lists with TO/BY, BY lists, cut
// points, and the tokenizer's literals.
#include <gtest/gtest.h>

#include "host/parse/parse_internal.h"
#include "runtime/missing.h"
#include "test_util.h"

namespace
{

// LUNG: time status sex age $grp x1 x2 x3 x10 $c1 wt f t s (1..14)
TEST(VariableLists, EveryForm)
{
    struct Case {
        const char* list;
        std::vector<int> vars;
    } cases[] = {
        {"sex", {3}},
        {"SEX Age", {3, 4}},
        {"x1-x3", {6, 7, 8}},
        {"x1 - x3", {6, 7, 8}},
        {"sex--x2", {3, 4, 5, 6, 7}},
        {"sex-numeric-x2", {3, 4, 6, 7}},
        {"time-character-c1", {5, 10}},
        {"time-char-c1", {5, 10}},
        {"x:", {6, 7, 8, 9}},
        {"_numeric_", {1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14}},
        {"_character_", {5, 10}},
        {"_char_", {5, 10}},
        {"_all_", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
        {"x2 sex x1-x2", {7, 3, 6, 7}},
    };
    for (const auto& c : cases) {
        Prog r(std::string("proc korvante data=lung; id ") + c.list + ";");
        EXPECT_EQ(r.rc, 0) << c.list << "\n" << r.env.all_reports();
        EXPECT_EQ(r.ints(9), c.vars) << c.list;
    }
}

TEST(VariableLists, Errors)
{
    struct Case {
        const char* list;
        const char* message;
    } cases[] = {
        {"nosuch", "Variable nosuch not found."},
        {"x1-x12", "Variable x4 not found."},
        {"x3-x1", "runs backwards"},
        {"sex-age", "same prefix"},
        {"x2--sex", "comes before"},
        {"zz:", "No variable begins with zz"},
    };
    for (const auto& c : cases) {
        Prog r(std::string("proc korvante data=lung; test ") + c.list + ";");
        EXPECT_EQ(r.rc, 3000) << c.list;
        EXPECT_NE(r.env.all_reports().find(c.message), std::string::npos) << c.list << "\n"
                                                                          << r.env.all_reports();
    }
}

TEST(NumberLists, ToByCommasParenthesesAndLiterals)
{
    struct Case {
        const char* list;
        std::vector<double> values;
    } cases[] = {
        {"1 2 3", {1, 2, 3}},
        {"1,2,,3", {1, 2, 3}},
        {"(1, 2 3)", {1, 2, 3}},
        {"1 to 4", {1, 2, 3, 4}},
        {"0 to 1 by 0.25", {0, 0.25, 0.5, 0.75, 1}},
        {"0 to 0.3 by 0.1", {0, 0.1, 0.2, 0.30000000000000004}},
        {"10 to 4 by -3", {10, 7, 4}},
        {"-2 +3 -1.5e1", {-2, 3, -15}},
        {"5 to 5", {5}},
        {"1 to 3, 7 to 9 by 2", {1, 2, 3, 7, 9}},
        {"'01JAN1960'd '02jan60'D", {0, 1}},
        {"'01:00't '1:30:15't", {3600, 5415.0}},
        {"'01JAN1960:00:01:00'dt", {60}},
        {"'12:00am't '12:00pm't", {0, 43200}},
        {"'31dec1959'd '01mar2000'd", {-1, 14670}},
    };
    for (const auto& c : cases) {
        Prog r(std::string("proc korvante data=lung timelist=") + c.list + "; time t;");
        EXPECT_EQ(r.rc, 0) << c.list << "\n" << r.env.all_reports();
        auto v = r.nums(30);
        ASSERT_EQ(v.size(), c.values.size()) << c.list;
        for (std::size_t i = 0; i < v.size(); ++i)
            EXPECT_NEAR(v[i], c.values[i], 1e-9) << c.list << " [" << i << "]";
    }
}

TEST(NumberLists, BadRanges)
{
    const char* bad[] = {"1 to 5 by 0",  "5 to 1",   "1 to 5 by -1", "0 to 1e9 by 1e-3",
                         "'30feb2000'd", "'25:00't", "1 to 2 by ."};
    for (const char* b : bad) {
        Prog r(std::string("proc korvante data=lung timelist=") + b + "; time t;");
        EXPECT_EQ(r.rc, 3000) << b << "\n" << r.env.all_reports();
        EXPECT_FALSE(r.env.reports.empty()) << b;
    }
}

TEST(ByLists, DescendingAndNotsorted)
{
    Prog r("proc korvante data=lung; by sex descending age notsorted; time t;");
    ASSERT_EQ(r.rc, 0) << r.env.all_reports();
    const STLIST* f = stmt_field(r.rec(0), 0);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->n, 2);
    EXPECT_EQ(f->ivals[0], 3);
    EXPECT_EQ(f->ivals[1], 4);
    EXPECT_EQ(f->descending[0], 0);
    EXPECT_EQ(f->descending[1], 1);
    EXPECT_EQ(f->notsorted, 1);
    Prog r2("proc korvante data=lung; by descending grp; time t;");
    const STLIST* g = stmt_field(r2.rec(0), 0);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->descending[0], 1);
    EXPECT_EQ(g->notsorted, 0);
}

TEST(TimeStatement, CensoringAndFailureCodes)
{
    Prog r("proc korvante data=lung; time time*status(0, 2 to 4) / failcode = 1 2;");
    ASSERT_EQ(r.rc, 0) << r.env.all_reports();
    EXPECT_EQ(r.ints(10, 1), std::vector<int>{1});
    EXPECT_EQ(r.ints(11, 1), std::vector<int>{2});
    EXPECT_EQ(r.nums(12, 1), (std::vector<double>{0, 2, 3, 4}));
    EXPECT_TRUE(stmt_bit(r.rec(1), 49));
    EXPECT_EQ(r.nums(14, 1), (std::vector<double>{1, 2}));
    Prog r2("proc korvante data=lung; freq f; weight wt; test x1-x3; id grp;");
    EXPECT_EQ(r2.ints(7), std::vector<int>{12});
    EXPECT_EQ(r2.ints(55), std::vector<int>{11});
    EXPECT_EQ(r2.ints(8), (std::vector<int>{6, 7, 8}));
    EXPECT_EQ(r2.ints(9), std::vector<int>{5});
}

TEST(StrataStatement, CutPointsAreMarkedPerVariable)
{
    Prog r("proc korvante data=lung; strata age(40 to 50 by 5) sex x1-x2(3) grp();");
    ASSERT_EQ(r.rc, 0) << r.env.all_reports();
    EXPECT_EQ(r.ints(1, 1), (std::vector<int>{4, 3, 6, 7, 5}));
    EXPECT_EQ(r.nums(2, 1), (std::vector<double>{40, 45, 50, 3}));
    // Pairs {variable number in the list, end of its values}: an empty list
    // is marked too, so that it can be refused.
    EXPECT_EQ(r.ints(3, 1), (std::vector<int>{1, 3, 4, 4, 5, 4}));
}

TEST(Tokenizer, Literals)
{
    using namespace vyr::parse;
    auto t = tokenize("lib.mem 'it''s' \"q\" 12 1.5 .5 3e2 . .a ._ best12. x 12abc 'x");
    ASSERT_GE(t.size(), 16u);
    EXPECT_EQ(t[0].cls, TC_COMPOUND);
    EXPECT_EQ(t[0].text, "lib.mem");
    EXPECT_EQ(t[1].cls, TC_QS);
    EXPECT_EQ(t[1].text, "it's");
    EXPECT_EQ(t[2].text, "q");
    EXPECT_EQ(t[3].cls, TC_INT);
    EXPECT_EQ(t[4].cls, TC_NBR);
    EXPECT_EQ(t[5].value, 0.5);
    EXPECT_EQ(t[6].value, 300);
    EXPECT_EQ(t[7].cls, TC_MISSING);
    EXPECT_TRUE(wzmis(t[7].value));
    EXPECT_EQ(t[8].cls, TC_MISSING);
    EXPECT_EQ(korv_missing_byte5(t[8].value), 0xFD);
    EXPECT_EQ(korv_missing_byte5(t[9].value), 0xFF);
    EXPECT_EQ(t[10].cls, TC_FMT);
    EXPECT_EQ(t[11].cls, TC_NAMEX);
    EXPECT_EQ(t[12].cls, TC_BAD);
    EXPECT_EQ(t[13].cls, TC_BAD);
    EXPECT_EQ(t[13].problem, "unbalanced quotation mark");
    EXPECT_EQ(t[14].cls, TC_ENDJB);
    EXPECT_EQ(t[15].cls, TC_EOI);
}

} // namespace
