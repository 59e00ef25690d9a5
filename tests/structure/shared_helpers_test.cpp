// Helpers that several rooms need live once: a copy mended in one place is
// left unmended in the others. Each helper below has at most one definition
// under src/, and no function elsewhere repeats its body under another name
// (a renamed copy is still a copy). Overloads in the helper's own file are
// one helper.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "source_scan.h"

namespace
{

using korv_scan::Source;

// The shared helpers and where each one lives.
const std::vector<std::string> kHelpers = {
    "check_file",    // runtime/xccheck.h: a utility-file result, 1020 on failure
    "upper",         // host/include/vyr_text.h
    "trim",          // host/include/vyr_text.h
    "trim_blanks",   // host/include/vyr_text.h
    "folder_of",     // host/files/atomic_file.cpp, declared in vyr_atomic_file.h
    "set_heading",   // runtime/wobmth.h: the heading over a group's output
    "clear_heading", // runtime/wobmth.h
    "wobcall",       // runtime/wobmth.h: an output-object call, zvdqexit on failure
};

// The body without its white space, from '{' to '}'.
std::string body_of(const Source& s, const korv_scan::FunctionDef& d)
{
    std::string b;
    for (std::size_t k = d.open; k <= d.close && k < s.code.size(); ++k)
        if (!std::isspace(static_cast<unsigned char>(s.code[k])))
            b += s.code[k];
    return b;
}

// What is wrong, one line per extra definition.
std::string copies(const std::vector<Source>& sources, const std::vector<std::string>& helpers)
{
    struct Def {
        std::string where;
        std::string body;
        std::string name;
    };
    std::vector<Def> all;
    for (const Source& s : sources)
        for (const korv_scan::FunctionDef& d : korv_scan::function_defs(s.code))
            all.push_back(
                {"src/" + s.rel + ":" + std::to_string(d.first_line), body_of(s, d), d.simple()});
    std::string bad;
    std::map<std::string, std::string> first; // helper -> where
    std::map<std::string, std::string> home;  // helper -> its file
    std::map<std::string, std::vector<std::string>> bodies;
    for (const Def& d : all)
        for (const std::string& h : helpers)
            if (d.name == h) {
                const std::string file = d.where.substr(0, d.where.rfind(':'));
                if (first.count(h) && home[h] != file)
                    bad += d.where + ": " + h + " is defined again (first at " + first[h] + ")\n";
                else if (!first.count(h)) {
                    first[h] = d.where;
                    home[h] = file;
                }
                bodies[h].push_back(d.body);
            }
    // A body of at least a few statements, repeated under another name.
    for (const Def& d : all)
        for (const auto& [h, list] : bodies) {
            if (d.name == h)
                continue;
            for (const std::string& b : list)
                if (d.body == b && std::count(b.begin(), b.end(), ';') >= 2)
                    bad += d.where + ": " + d.name + " copies " + h + "\n";
        }
    return bad;
}

} // namespace

TEST(SharedHelpers, EachIsDefinedOnce)
{
    const std::vector<Source> all = korv_scan::read_sources(korv_scan::source_root());
    // The sources were found: a test that reads nothing proves nothing.
    ASSERT_GT(all.size(), 200u);
    const std::string bad = copies(all, kHelpers);
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(SharedHelpers, TheCheckFindsACopyByNameAndByBody)
{
    const std::string check = "inline void check_file(int rc)\n{\n    if (rc != 0) {\n"
                              "        xprrlog(0, rc);\n        if (rc < 0)\n"
                              "            xexit(1020, 0);\n    }\n}\n";
    const std::vector<Source> src = {
        korv_scan::make_source("runtime/xccheck.h", check),
        korv_scan::make_source("estimate/a.cpp",
                               "namespace\n{\n"
                               "// the same work under another name\n"
                               "void checkFile(int rc)\n{\n    if (rc != 0) {\n"
                               "        xprrlog(0, rc);\n"
                               "        if (rc < 0) xexit(1020, 0);\n    }\n}\n"
                               "void other(int rc)\n{\n    if (rc != 0)\n        xexit(4, 0);\n}\n"
                               "} // namespace\n"),
        korv_scan::make_source("host/data/b.h", "inline std::string trim(std::string s)\n{\n"
                                                "    return s;\n}\n"
                                                "inline std::string trim(int n)\n{\n"
                                                "    return {};\n}\n"),
        korv_scan::make_source("host/data/b.cpp",
                               "static std::string trim(const char* s, int n)\n{\n"
                               "    return std::string(s, n);\n}\n"),
        korv_scan::make_source("host/data/c.cpp", "std::string trim(std::string_view s)\n{\n"
                                                  "    return std::string(s);\n}\n"),
    };
    const std::string bad = copies(src, {"check_file", "trim"});
    EXPECT_NE(bad.find("src/estimate/a.cpp:4: checkFile copies check_file"), std::string::npos)
        << bad;
    EXPECT_NE(bad.find("src/host/data/c.cpp:1: trim is defined again (first at "
                       "src/host/data/b.h:1)"),
              std::string::npos)
        << bad;
    // The first file read holds the helper, both its overloads; b.cpp's and
    // c.cpp's definitions are copies.
    EXPECT_NE(bad.find("src/host/data/b.cpp:1: trim is defined again (first at "
                       "src/host/data/b.h:1)"),
              std::string::npos)
        << bad;
    EXPECT_EQ(std::count(bad.begin(), bad.end(), '\n'), 3) << bad;
}

namespace
{

// Output-object calls made above the runtime without wobcall, one line each.
// wobcall sends every failed call to zvdqexit, so that a failure ends the
// step with one return code (120), and the tolerated code goes on, whichever
// room made the call; a wrapper of its own gives its own answer.
std::string direct_object_calls(const std::vector<Source>& sources)
{
    std::string bad;
    for (const Source& s : sources) {
        if (s.rel.rfind("host/", 0) == 0 || s.rel.rfind("runtime/", 0) == 0)
            continue;
        const std::string& c = s.code;
        for (std::size_t a = c.find("wobmth"); a != std::string::npos;
             a = c.find("wobmth", a + 1)) {
            const std::size_t e = a + 6;
            if ((a > 0 && korv_scan::ident_char(c[a - 1])) ||
                (e < c.size() && korv_scan::ident_char(c[e])))
                continue;
            bad += "src/" + s.rel + ":" + std::to_string(korv_scan::line_at(c, a)) +
                   ": wobmth called without wobcall\n";
        }
    }
    return bad;
}

} // namespace

TEST(SharedHelpers, EveryOutputObjectCallGoesThroughWobcall)
{
    const std::string bad = direct_object_calls(korv_scan::read_sources(korv_scan::source_root()));
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(SharedHelpers, TheCheckFindsAWrapperOfItsOwn)
{
    const std::vector<Source> src = {
        korv_scan::make_source("runtime/wobmth.h", "inline int wobcall(xobop o, int s)\n{\n"
                                                   "    return wobmth(o, nullptr, s, 0, 0);\n}\n"),
        korv_scan::make_source("mcomp/zmcrep.cpp",
                               "// wobmth in a comment is no call\n"
                               "int call(xobop obj, int sel)\n{\n"
                               "    const int rc = wobmth(obj, nullptr, sel, 0, nullptr);\n"
                               "    if (rc < 0)\n        xexit(rc, 0);\n    return rc;\n}\n"),
    };
    EXPECT_EQ(direct_object_calls(src), "src/mcomp/zmcrep.cpp:4: wobmth called without wobcall\n");
}
