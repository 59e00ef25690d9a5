// The program reader on its own: statement splitting, comments, quotes,
// macro references and the positions it reports.

#include "host/session/session_state.h"

#include <gtest/gtest.h>

#include <map>

using vyr::ProgramReader;

namespace
{

struct Read {
    std::vector<VyrStatement> statements;
    vyr::ReadError error;
    std::vector<std::string> unresolved;
};

Read read_all(std::string_view text, std::map<std::string, std::string> macros = {})
{
    Read r;
    ProgramReader reader(
        text,
        [&macros](std::string_view n) -> std::optional<std::string> {
            std::string u(n);
            for (char& c : u)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            auto it = macros.find(u);
            if (it == macros.end())
                return std::nullopt;
            return it->second;
        },
        [&r](int, std::string_view n, int, int, int count) {
            for (int i = 0; i < count; ++i)
                r.unresolved.emplace_back(n);
        });
    VyrStatement st;
    while (reader.next(st))
        r.statements.push_back(st);
    r.error = reader.error();
    return r;
}

std::vector<std::string> texts(const Read& r)
{
    std::vector<std::string> t;
    for (const auto& s : r.statements)
        t.push_back(s.text);
    return t;
}

} // namespace

TEST(ProgramReader, SplitsStatementsAndDropsComments)
{
    Read r = read_all("/* head */ options ls=80;\n"
                      "* a comment statement with 'quote and \"; \n"
                      "proc korvante data=lung; /* inline; with semicolon */ time t*status(1);\n"
                      "%* macro comment;\n"
                      "run;\n");
    ASSERT_EQ(r.error.message, 0);
    std::vector<std::string> want = {"options ls=80", "proc korvante data=lung", "time t*status(1)",
                                     "run"};
    EXPECT_EQ(texts(r), want);
}

TEST(ProgramReader, CommentInsideStatementBecomesOneBlank)
{
    Read r = read_all("time t/*x;y*/*status(1);");
    ASSERT_EQ(r.statements.size(), 1u);
    EXPECT_EQ(r.statements[0].text, "time t *status(1)");
}

TEST(ProgramReader, QuotedStringsKeepSemicolonsAndDoubledQuotes)
{
    Read r = read_all("title 'It''s; fine';\ntitle2 \"say \"\"hi\"\"; now\";");
    ASSERT_EQ(r.error.message, 0);
    ASSERT_EQ(r.statements.size(), 2u);
    EXPECT_EQ(r.statements[0].text, "title 'It''s; fine'");
    EXPECT_EQ(r.statements[1].text, "title2 \"say \"\"hi\"\"; now\"");
}

TEST(ProgramReader, MacroReferencesResolveOutsideSingleQuotes)
{
    Read r =
        read_all("proc korvante data=&ds.x; title \"&ds data\" '&ds'; x &nope;", {{"DS", "lung"}});
    ASSERT_EQ(r.statements.size(), 3u);
    EXPECT_EQ(r.statements[0].text, "proc korvante data=lungx");
    EXPECT_EQ(r.statements[1].text, "title \"lung data\" '&ds'");
    EXPECT_EQ(r.statements[2].text, "x &nope");
    EXPECT_EQ(r.unresolved, std::vector<std::string>{"nope"});
}

TEST(ProgramReader, PositionsMapBackToTheProgram)
{
    Read r = read_all("  options\n    ls=80 /* c */ ps=60;\nproc x data=&d; run;", {{"D", "abc"}});
    ASSERT_EQ(r.statements.size(), 3u);
    const VyrStatement& o = r.statements[0];
    EXPECT_EQ(o.line, 1);
    EXPECT_EQ(o.column, 3);
    int l = 0, c = 0;
    std::size_t at = o.text.find("ps=60");
    o.where(at, &l, &c);
    EXPECT_EQ(l, 2);
    EXPECT_EQ(c, 19);
    o.where(o.text.size(), &l, &c); // just past the end: where the ";" stood
    EXPECT_EQ(l, 2);
    EXPECT_EQ(c, 24);
    // Characters from a macro value carry the position of the '&'.
    const VyrStatement& p = r.statements[1];
    p.where(p.text.find("abc") + 2, &l, &c);
    EXPECT_EQ(l, 3);
    EXPECT_EQ(c, 13);
}

TEST(ProgramReader, UnclosedQuoteIsReportedWhereItStarts)
{
    Read r = read_all("options ls=80;\n\ntitle 'open;\nrun;\n");
    ASSERT_EQ(r.statements.size(), 1u);
    EXPECT_EQ(r.error.message, vyr::kMsgUnclosedQuote);
    EXPECT_EQ(r.error.line, 3);
    EXPECT_EQ(r.error.column, 7);
}

TEST(ProgramReader, UnclosedCommentIsReportedWhereItStarts)
{
    Read r = read_all("run;\n  /* never closed\n run;");
    EXPECT_EQ(r.error.message, vyr::kMsgUnclosedComment);
    EXPECT_EQ(r.error.line, 2);
    EXPECT_EQ(r.error.column, 3);
}

TEST(ProgramReader, LastStatementWithoutSemicolonIsDeliveredAndReported)
{
    Read r = read_all("options ls=80;\nrun  \n");
    ASSERT_EQ(r.statements.size(), 2u);
    EXPECT_EQ(r.statements[1].text, "run");
    EXPECT_EQ(r.error.message, vyr::kMsgMissingSemicolon);
    EXPECT_EQ(r.error.line, 2);
    EXPECT_EQ(r.error.column, 4);
}

TEST(ProgramReader, EmptyAndBlankProgramsHaveNoStatements)
{
    EXPECT_TRUE(read_all("").statements.empty());
    Read r = read_all("  \n /* only a comment */ \n");
    EXPECT_TRUE(r.statements.empty());
    EXPECT_EQ(r.error.message, 0);
}
