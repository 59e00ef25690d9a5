// Comments say what the code does in its own words. A comment that opens
// with the number of a step ("// 7, 8, 9. The horizontal axis.", "// 3-5.
// The plots.", "// B. The values.") numbers the steps of a list kept
// somewhere else: the numbers mean nothing to a reader of the code, and go
// wrong as soon as a step is added. No comment under src/ opens so; a line
// that goes on with a comment begun above it may start with a number.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "source_scan.h"

namespace
{

using korv_scan::Source;

// Where the text of a comment after code on `line` starts, or npos: the
// first "//" outside a string literal.
std::size_t trailing(const std::string& line)
{
    bool quoted = false;
    for (std::size_t k = 0; k + 1 < line.size(); ++k) {
        if (line[k] == '\\' && quoted)
            ++k;
        else if (line[k] == '"')
            quoted = !quoted;
        else if (!quoted && line[k] == '/' && line[k + 1] == '/')
            return k + 2;
    }
    return std::string::npos;
}

// The comments that open with a step number, one line each.
std::string numbered(const std::vector<Source>& sources)
{
    static const std::regex kStep(
        R"(^\s*(\d+[a-z]?((\s*,\s*|\s*-\s*|\s+to\s+|\s+and\s+)\d+[a-z]?)*|[A-Z])\.\s)");
    std::string bad;
    for (const Source& s : sources) {
        std::istringstream in(s.text);
        std::string line;
        bool inComment = false; // the line before is a comment line of its own
        for (int n = 1; std::getline(in, line); ++n) {
            const std::size_t lead = line.find_first_not_of(" \t");
            const bool own = lead != std::string::npos && line.compare(lead, 2, "//") == 0;
            std::size_t at = std::string::npos;
            if (own && !inComment)
                at = lead + 2;
            else if (!own)
                at = trailing(line);
            inComment = own;
            const std::size_t block = line.find("/*");
            if (at == std::string::npos && block != std::string::npos)
                at = block + 2;
            if (at == std::string::npos)
                continue;
            if (std::regex_search(line.substr(at), kStep))
                bad += "src/" + s.rel + ":" + std::to_string(n) + ": " + line.substr(lead) + "\n";
        }
    }
    return bad;
}

} // namespace

TEST(StepComments, NoCommentOpensWithAStepNumber)
{
    const std::vector<Source> all = korv_scan::read_sources(korv_scan::source_root());
    // The sources were found: a test that reads nothing proves nothing.
    ASSERT_GT(all.size(), 200u);
    const std::string bad = numbered(all);
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(StepComments, TheCheckNamesNumberedStepsAndPassesNumbersInText)
{
    const std::vector<Source> src = {
        korv_scan::make_source("devplot/a.cpp", "void f()\n{\n"
                                                "    // 1. Model checks.\n"
                                                "    check();\n"
                                                "    // 7, 8, 9. The horizontal axis.\n"
                                                "    axis(); // 3-5. The plots asked for.\n"
                                                "    /* B. The values of an ID variable. */\n"
                                                "    // The default of CPUCOUNT=, at least\n"
                                                "    // 1. It is also the pool's width.\n"
                                                "    // 1 when the value is missing.\n"
                                                "    // 0: converged.\n"
                                                "    x = 1.5; // half of 3. Rounded.\n"
                                                "}\n")};
    const std::string bad = numbered(src);
    for (const char* line : {"src/devplot/a.cpp:3:", "src/devplot/a.cpp:5:", "src/devplot/a.cpp:6:",
                             "src/devplot/a.cpp:7:"})
        EXPECT_NE(bad.find(line), std::string::npos) << line << "\n" << bad;
    EXPECT_EQ(std::count(bad.begin(), bad.end(), '\n'), 4) << bad;
}
