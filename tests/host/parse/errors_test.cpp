// Malformed statements: each error names its place and what was expected,
// is repaired by the least-cost deletion or insertion, and fails the step.
#include <gtest/gtest.h>

#include "test_util.h"

namespace
{

bool has(const std::string& s, const std::string& part)
{
    return s.find(part) != std::string::npos;
}

struct ErrCase {
    const char* program;
    const char* message; // part of the first report
    const char* repair;  // part of the first report ("" when none)
};

const ErrCase kErrors[] = {
    // A missing semicolon: the next statement's keyword is found among options.
    {"proc korvante data=lung\n time t;", "found \"time\"", "A semicolon may be missing"},
    // An unknown option is deleted.
    {"proc korvante data=lung bogus; time t;", "found \"bogus\"",
     "as if DATA = had been written before \"bogus\""},
    {"proc korvante data=lung 12; time t;", "found \"12\"", "as if NINTERVAL = had been written"},
    // A value of the wrong type: a number where an integer is needed.
    {"proc korvante data=lung ninterval=2.5; time t;", "found \"2.5\"", "an integer"},
    // A keyword value that is not one of the choices.
    {"proc korvante data=lung method=xyz; time t;", "found \"xyz\"", "KM"},
    // A missing "=".
    {"proc korvante data lung; time t;", "found \"lung\"",
     "as if = had been written before \"lung\""},
    // Unbalanced parentheses.
    {"proc korvante data=lung plots=(s(cl); time t;", "end of the statement", "\")\""},
    {"proc korvante data=lung plots=s(cl)); time t;", "found \")\"", "was ignored"},
    {"proc korvante data=lung; time t*s(0;", "end of the statement", "as if ) had been written"},
    // Empty lists.
    {"proc korvante data=lung timelist=; time t;", "found the end of the statement", "a number"},
    {"proc korvante data=lung; id;", "found the end of the statement", "a name"},
    {"proc korvante data=lung plots=h(bw=()); time t;", "found \")\"", ""},
    // A statement this procedure does not know.
    {"proc korvante data=lung; class sex;", "Statement \"class\" is not valid", ""},
    // An unusable character and an unclosed quote.
    {"proc korvante data=lung alpha=0.1 @; time t;", "Unexpected character", "was ignored"},
    {"proc korvante data=lung des='abc; time t;", "Unbalanced quotation mark", ""},
    // Hidden aliases are typed without their "$".
    {"proc korvante data=lung lp$; time t;", "Unexpected character", ""},
};

TEST(SyntaxErrors, ReportedWithPlaceExpectationAndRepair)
{
    for (const auto& c : kErrors) {
        Prog r(c.program);
        EXPECT_EQ(r.rc, 3000) << c.program;
        EXPECT_EQ(r.pc.error, 3000) << c.program;
        ASSERT_FALSE(r.env.reports.empty()) << c.program;
        const auto& first = r.env.reports.front();
        EXPECT_EQ(first.severity, 1);
        EXPECT_TRUE(has(first.text, c.message)) << c.program << "\n" << first.text;
        EXPECT_TRUE(has(first.text, c.repair)) << c.program << "\n" << first.text;
        EXPECT_GT(first.line, 0) << c.program;
        EXPECT_GT(first.column, 0) << c.program;
    }
}

// An option of another statement is named with the statement it belongs
// to, and read past with its value; what may be written next is what this
// statement takes at that point, not another statement's options.
TEST(SyntaxErrors, AnOptionOfAnotherStatementIsSaidToBelongThere)
{
    struct Hint {
        const char* program;
        const char* said;
        const char* notSaid;
    };
    const Hint hints[] = {
        {"proc korvante data=lung; time t*s(0) / failcode=1; strata g / rho=1;",
         "RHO= is an option of the PROC KORVANTE statement. \"rho=1\" was ignored.", "as if GROUP"},
        {"proc korvante data=lung notest; time t;",
         "NOTEST is an option of the STRATA statement. \"notest\" was ignored.", "DATA ="},
        {"proc korvante data=lung; time t; strata sex / outsurv=a;",
         "OUTSURV= is an option of the PROC KORVANTE statement. \"outsurv=a\" was ignored.",
         "semicolon"},
        {"proc korvante data=lung; time t; strata sex / alpha=(0.1);",
         "ALPHA= is an option of the PROC KORVANTE and SURVIVAL statements. \"alpha=(0.1)\" was "
         "ignored.",
         ""},
        {"proc korvante data=lung; time t*s(0) / eventcode=1 failcode=2;",
         "found \"failcode\" where one of TO, end of statement, an integer, a number", "DATA"},
        // A word where a value goes is a wrong value, not a misplaced option.
        {"proc korvante data=lung; time t; strata sex / order=data;",
         "found \"data\" where one of FORMATTED, INTERNAL was expected.", "is an option"},
    };
    for (const Hint& h : hints) {
        Prog r(h.program);
        ASSERT_FALSE(r.env.reports.empty()) << h.program;
        const std::string text = r.env.all_reports();
        EXPECT_TRUE(has(text, h.said)) << h.program << "\n" << text;
        if (*h.notSaid) {
            EXPECT_FALSE(has(text, h.notSaid)) << h.program << "\n" << text;
        }
    }
}

TEST(SyntaxErrors, PlacesAreLinesAndColumnsOfTheProgram)
{
    Prog r("proc korvante data=lung;\n  time t;\n  strata sex /\n     bogus;");
    ASSERT_EQ(r.env.reports.size(), 1u) << r.env.all_reports();
    EXPECT_EQ(r.env.reports[0].line, 4);
    EXPECT_EQ(r.env.reports[0].column, 6);
    EXPECT_EQ(r.env.reports[0].index, 2);
}

TEST(SyntaxErrors, ExpectedListsNeverShowHiddenAliases)
{
    Prog r("proc korvante data=lung method=; time t;");
    ASSERT_FALSE(r.env.reports.empty());
    const std::string& t = r.env.reports[0].text;
    EXPECT_TRUE(has(t, "KM")) << t;
    EXPECT_TRUE(has(t, "BRESLOW")) << t;
    EXPECT_FALSE(has(t, "LIFETAB")) << t;
    EXPECT_FALSE(has(t, "$")) << t;
}

TEST(SyntaxErrors, RepairLetsTheRestOfTheStatementBeRead)
{
    // After deleting the unknown option, the options after it still land.
    Prog r("proc korvante data=lung bogus notable alpha=0.2; time t;");
    EXPECT_EQ(r.rc, 3000);
    EXPECT_TRUE(stmt_bit(r.rec(0), 4));
    EXPECT_DOUBLE_EQ(stmt_number(r.rec(0), 19, 0), 0.2);
    EXPECT_EQ(r.env.reports.size(), 1u) << r.env.all_reports();
}

TEST(SyntaxErrors, OverlongQuotedStrings)
{
    Prog r("proc korvante data=lung eventsymbol='abcdefghij'; time t;");
    EXPECT_EQ(r.rc, 3000);
    ASSERT_FALSE(r.env.reports.empty());
    EXPECT_TRUE(has(r.env.reports[0].text, "longer than 8 characters")) << r.env.all_reports();
    std::string big(300, 'x');
    Prog r2("proc korvante data=lung description='" + big + "'; time t;");
    EXPECT_EQ(r2.rc, 3000);
    EXPECT_TRUE(has(r2.env.all_reports(), "longer than 256")) << r2.env.all_reports();
    Prog r3("proc korvante data=lung description='" + std::string(256, 'y') + "'; time t;");
    EXPECT_EQ(r3.rc, 0) << r3.env.all_reports();
}

TEST(SyntaxErrors, NoDataSetIsOpenedOnceTheStepHasFailed)
{
    Prog r("proc korvante data=lung bogus outsurv=o; time t;");
    EXPECT_EQ(r.rc, 3000);
    for (const auto& o : r.env.opened)
        EXPECT_NE(o, "OUT:O");
}

// A data set option given twice in one statement would keep only the last
// silently: refused, naming the option, and the second is never opened.
TEST(SyntaxErrors, ADataSetOptionGivenTwiceIsRefused)
{
    Prog r("proc korvante data=lung outsurv=a outsurv=b; time t;");
    EXPECT_EQ(r.rc, 3000);
    EXPECT_TRUE(has(r.env.all_reports(), "The option OUTSURV= is repeated in this statement"))
        << r.env.all_reports();
    for (const auto& o : r.env.opened)
        EXPECT_NE(o, "OUT:B");
    Prog spelled("proc korvante data=lung outs=a outtest=t outsurv=b; time t;");
    EXPECT_TRUE(has(spelled.env.all_reports(), "The option OUTSURV= is repeated"))
        << spelled.env.all_reports();
    // Given once each, in one statement or in two, they are accepted.
    Prog once("proc korvante data=lung outsurv=a outtest=t; time t;");
    EXPECT_EQ(once.rc, 0) << once.env.all_reports();
}

// The record holds one rho and gamma: a second FLEMING would replace the
// first unseen, so it is refused where it stands; one, with ALL, is accepted.
TEST(SyntaxErrors, ASecondFlemingTestIsRefused)
{
    Prog r("proc korvante data=lung; time t; strata sex / test=(fleming(1) fh(0,1));");
    EXPECT_EQ(r.rc, 3000);
    EXPECT_TRUE(has(r.env.all_reports(), "The option FH is repeated in this statement"))
        << r.env.all_reports();
    Prog once("proc korvante data=lung; time t; strata sex / test=all fleming(0,1);");
    EXPECT_EQ(once.rc, 0) << once.env.all_reports();
}

TEST(SyntaxErrors, MissingInputDataSetIs1008)
{
    Prog r("proc korvante data=nosuch; time t;");
    EXPECT_EQ(r.rc, 1008) << r.env.all_reports();
}

TEST(SyntaxErrors, ManyErrorsInOneStatementAreCapped)
{
    std::string prog = "proc korvante data=lung";
    for (int i = 0; i < 50; ++i)
        prog += " @ ?";
    prog += "; time t;";
    Prog r(prog);
    EXPECT_EQ(r.rc, 3000);
    EXPECT_LE(r.env.reports.size(), 6u);
}

} // namespace
