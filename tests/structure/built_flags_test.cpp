// Each korv_built_* flag says whether a feature is built; the frame reads it
// to refuse a request for an unbuilt feature before any output is made. A
// flag nobody reads refuses nothing: when its feature goes back to a stub,
// the request runs into the stub halfway through the output. Every flag
// defined under src/ must be read somewhere besides its definition and its
// declaration.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "source_scan.h"

namespace
{

using korv_scan::Source;

const std::string kPrefix = "korv_built_";

// What is wrong, one line per flag.
std::string unread_flags(const std::vector<Source>& sources)
{
    std::map<std::string, std::string> defined; // flag -> where
    std::map<std::string, int> reads;
    for (const Source& s : sources) {
        const std::string& c = s.code;
        for (std::size_t a = c.find(kPrefix); a != std::string::npos; a = c.find(kPrefix, a + 1)) {
            if (a > 0 && korv_scan::ident_char(c[a - 1]))
                continue;
            std::size_t e = a + kPrefix.size();
            while (e < c.size() && korv_scan::ident_char(c[e]))
                ++e;
            const std::string flag = c.substr(a, e - a);
            // The statement the name stands in, from its start.
            std::size_t b = c.find_last_of(";{}", a);
            b = b == std::string::npos ? 0 : b + 1;
            const std::string before = korv_scan::detail::trim_ws(c.substr(b, a - b));
            const std::size_t after = c.find_first_not_of(" \t\n", e);
            const bool declaration = before == "extern const bool";
            const bool definition = (before == "const bool" || before == "extern const bool") &&
                                    after != std::string::npos && c[after] == '=';
            if (definition)
                defined[flag] = "src/" + s.rel + ":" + std::to_string(korv_scan::line_at(c, a));
            else if (!declaration)
                ++reads[flag];
        }
    }
    std::string bad;
    for (const auto& [flag, where] : defined)
        if (!reads.count(flag))
            bad += where + ": " + flag + " is never read\n";
    return bad;
}

} // namespace

TEST(BuiltFlags, EveryFlagIsRead)
{
    const std::vector<Source> all = korv_scan::read_sources(korv_scan::source_root());
    std::size_t flags = 0;
    for (const Source& s : all)
        for (std::size_t a = s.code.find("const bool " + kPrefix); a != std::string::npos;
             a = s.code.find("const bool " + kPrefix, a + 1))
            ++flags;
    // The flags were found: a test that reads nothing proves nothing.
    ASSERT_GT(flags, 8u);
    const std::string bad = unread_flags(all);
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(BuiltFlags, TheCheckNamesAFlagNobodyReads)
{
    const std::vector<Source> src = {
        korv_scan::make_source("common/stages.h", "extern const bool korv_built_a;\n"
                                                  "extern const bool korv_built_b;\n"),
        korv_scan::make_source("estimate/stubs.cpp", "const bool korv_built_a = false;\n"),
        korv_scan::make_source("estimate/b.cpp", "#include \"common/stages.h\"\n"
                                                 "extern const bool korv_built_b = true;\n"
                                                 "// korv_built_b is read by no one\n"),
        korv_scan::make_source("frame/korvmai.cpp", "void f()\n{\n"
                                                    "    if (!korv_built_a)\n        g();\n}\n"),
    };
    EXPECT_EQ(unread_flags(src), "src/estimate/b.cpp:2: korv_built_b is never read\n");
}
