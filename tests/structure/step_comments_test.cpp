// Comments say what the code does in their own words. A comment that opens
// with the number of a step ("// 7, 8, 9. The horizontal axis.", "// B. The
// values.", or the number alone: "// 6.") numbers a list kept somewhere
// else: the numbers mean nothing to a reader, and go wrong as soon as a step
// is added. No comment under src/ opens so; a line that goes on with a
// comment begun above may.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "source_scan.h"

namespace
{

// The comments that open with a step number, a line each: a "//" comment
// that is not the continuation of the one on the line above, or a "/*".
std::string numbered(const std::vector<korv_scan::Source>& sources)
{
    static const std::regex kOpen(R"((^|[;{}]\s*|^\s*)(//|/\*)(.*))");
    static const std::regex kOwn(R"(^\s*//)");
    static const std::regex kStep(
        R"(^\s*(\d+[a-z]?((\s*,\s*|\s*-\s*|\s+to\s+)\d+[a-z]?)*|[A-Z])\.(\s|$))");
    std::string bad;
    for (const korv_scan::Source& s : sources) {
        std::istringstream in(s.text);
        std::string line;
        bool above = false; // the line above is a "//" comment of its own
        for (int n = 1; std::getline(in, line); ++n) {
            std::smatch m;
            const bool own = std::regex_search(line, kOwn);
            if (std::regex_search(line, m, kOpen) && !(own && above) &&
                std::regex_search(m[3].str(), kStep))
                bad += "src/" + s.rel + ":" + std::to_string(n) + ": " + line + "\n";
            above = own;
        }
    }
    return bad;
}

} // namespace

TEST(StepComments, NoCommentOpensWithAStepNumber)
{
    const std::vector<korv_scan::Source> all = korv_scan::read_sources(korv_scan::source_root());
    ASSERT_GT(all.size(), 200u); // a test that reads nothing proves nothing
    const std::string bad = numbered(all);
    EXPECT_TRUE(bad.empty()) << bad;
    // The check finds such comments, and passes numbers in a comment's text.
    const std::string made =
        numbered({korv_scan::make_source("a.cpp", "    // 1. Model checks.\n"
                                                  "    axis(); // 3-5. The plots asked for.\n"
                                                  "    /* B. The values. */\n"
                                                  "    // The default, at least\n"
                                                  "    // 1. It is also the pool's width.\n"
                                                  "    // 1 when the value is missing.\n"
                                                  "    done(); // 6.\n"
                                                  "    half(); // 0.5 is the middle.\n"
                                                  "    // 2, 3.\n")});
    EXPECT_EQ(made, "src/a.cpp:1:     // 1. Model checks.\n"
                    "src/a.cpp:2:     axis(); // 3-5. The plots asked for.\n"
                    "src/a.cpp:3:     /* B. The values. */\n"
                    "src/a.cpp:7:     done(); // 6.\n"
                    "src/a.cpp:9:     // 2, 3.\n");
}
