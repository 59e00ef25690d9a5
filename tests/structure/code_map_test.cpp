// The code map (src/README.md) says where each result is computed: every row
// of a `File | Function` table names files, and functions that those files
// define. A file renamed or a function moved leaves the map pointing at
// nothing; this test reads the map and the sources and names each such row.
//
// In the File column a bare file name ("korvhom.cpp") lies in the folder of
// the name before it, or, when no such file is there, anywhere in src/ ("each
// room's `stubs.cpp`"); a name ending in '/' is a whole folder. In the
// Function column every backticked name must be defined in one of the row's
// files: as a function (a qualified name "A::f" as f of A), a class or
// struct, or a lambda or local class ("(`Walk`)"); "name*" is any function
// whose name begins so. Backticked file names in the Function column are
// read as more files of the row.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "source_scan.h"

namespace
{

using korv_scan::Source;

struct Row {
    int line;
    std::vector<std::string> files;     // as written
    std::vector<std::string> functions; // as written
};

std::vector<std::string> backticked(const std::string& cell)
{
    std::vector<std::string> out;
    for (std::size_t a = cell.find('`'); a != std::string::npos; a = cell.find('`', a + 1)) {
        const std::size_t b = cell.find('`', a + 1);
        if (b == std::string::npos)
            break;
        out.push_back(cell.substr(a + 1, b - a - 1));
        a = b;
    }
    return out;
}

std::vector<std::string> cells(const std::string& line)
{
    std::vector<std::string> out;
    std::size_t a = line.find('|');
    while (a != std::string::npos) {
        const std::size_t b = line.find('|', a + 1);
        if (b == std::string::npos)
            break;
        out.push_back(line.substr(a + 1, b - a - 1));
        a = b;
    }
    return out;
}

bool is_file_name(const std::string& t)
{
    for (const char* e : {".cpp", ".h", "/"})
        if (t.size() > std::string(e).size() &&
            t.compare(t.size() - std::string(e).size(), std::string::npos, e) == 0)
            return true;
    return false;
}

// The rows of every table whose header ends in "| File | Function |".
std::vector<Row> map_rows(const std::string& readme)
{
    std::vector<Row> rows;
    bool in_table = false;
    int n = 0;
    std::size_t p = 0;
    while (p <= readme.size()) {
        std::size_t e = readme.find('\n', p);
        if (e == std::string::npos)
            e = readme.size();
        const std::string line = readme.substr(p, e - p);
        ++n;
        p = e + 1;
        if (line.rfind("|", 0) != 0) {
            in_table = false;
            continue;
        }
        const std::vector<std::string> c = cells(line);
        if (c.size() >= 2 && korv_scan::detail::trim_ws(c[c.size() - 2]) == "File" &&
            korv_scan::detail::trim_ws(c.back()) == "Function") {
            in_table = true;
            continue;
        }
        if (!in_table || c.size() < 2 || line.find("---") != std::string::npos)
            continue;
        Row r{n, backticked(c[c.size() - 2]), {}};
        for (const std::string& t : backticked(c.back()))
            (is_file_name(t) ? r.files : r.functions).push_back(t);
        if (!r.files.empty() || !r.functions.empty())
            rows.push_back(r);
    }
    return rows;
}

bool defines(const Source& s, const std::string& token)
{
    const std::vector<korv_scan::FunctionDef> defs = korv_scan::function_defs(s.code);
    if (!token.empty() && token.back() == '*') {
        const std::string prefix = token.substr(0, token.size() - 1);
        for (const auto& d : defs)
            if (d.simple().rfind(prefix, 0) == 0)
                return true;
        return false;
    }
    const std::size_t q = token.rfind("::");
    const std::string simple = q == std::string::npos ? token : token.substr(q + 2);
    const std::string owner = q == std::string::npos ? "" : token.substr(0, q);
    for (const auto& d : defs) {
        if (d.name == token)
            return true;
        if (d.simple() == simple &&
            (owner.empty() ||
             korv_scan::detail::has_word(
                 s.code,
                 owner.substr(owner.rfind(':') == std::string::npos ? 0 : owner.rfind(':') + 1))))
            return true;
    }
    // A class or struct, a lambda, or a local class.
    for (const char* kw : {"struct ", "class "}) {
        for (std::size_t a = s.code.find(kw + simple); a != std::string::npos;
             a = s.code.find(kw + simple, a + 1)) {
            const std::size_t e = a + std::string(kw).size() + simple.size();
            if (e >= s.code.size() || !korv_scan::ident_char(s.code[e]))
                if (s.code.find_first_not_of(" \t\n", e) != std::string::npos &&
                    std::string("{:f").find(s.code[s.code.find_first_not_of(" \t\n", e)]) !=
                        std::string::npos)
                    return true;
        }
    }
    for (std::size_t a = s.code.find(simple); a != std::string::npos;
         a = s.code.find(simple, a + 1)) {
        const std::size_t e = a + simple.size();
        if ((a > 0 && korv_scan::ident_char(s.code[a - 1])) ||
            (e < s.code.size() && korv_scan::ident_char(s.code[e])))
            continue;
        const std::size_t eq = s.code.find_first_not_of(" \t", e);
        if (eq != std::string::npos && s.code[eq] == '=' && s.code.size() > eq + 1 &&
            s.code[eq + 1] != '=') {
            const std::size_t br = s.code.find_first_not_of(" \t\n", eq + 1);
            if (br != std::string::npos && s.code[br] == '[')
                return true;
        }
    }
    return false;
}

// What is wrong with the map, one line per fault; `sources` by path under
// src/.
std::string check_map(const std::string& readme, const std::map<std::string, Source>& sources)
{
    std::string bad;
    for (const Row& r : map_rows(readme)) {
        std::vector<const Source*> files;
        std::string folder;
        bool ok = true;
        std::vector<std::string> names = r.files;
        auto resolve = [&](const std::string& f) {
            std::string path = f;
            if (f.find('/') == std::string::npos) {
                path = folder + f;
                if (!sources.count(path)) {
                    for (const auto& [rel, s] : sources)
                        if (rel.size() > f.size() &&
                            rel.compare(rel.size() - f.size() - 1, std::string::npos, "/" + f) == 0)
                            files.push_back(&s);
                    return;
                }
            } else {
                folder = f.substr(0, f.rfind('/') + 1);
            }
            if (!path.empty() && path.back() == '/') {
                bool any = false;
                for (const auto& [rel, s] : sources)
                    if (rel.rfind(path, 0) == 0) {
                        files.push_back(&s);
                        any = true;
                    }
                if (!any) {
                    bad += "src/README.md:" + std::to_string(r.line) + ": no folder " + f + "\n";
                    ok = false;
                }
                return;
            }
            auto it = sources.find(path);
            if (it == sources.end()) {
                bad += "src/README.md:" + std::to_string(r.line) + ": no file " + f + "\n";
                ok = false;
                return;
            }
            files.push_back(&it->second);
        };
        const std::size_t before = files.size();
        for (const std::string& f : names)
            resolve(f);
        if (ok && files.size() == before && !names.empty()) {
            bad += "src/README.md:" + std::to_string(r.line) + ": no file found\n";
            continue;
        }
        if (!ok)
            continue;
        for (const std::string& fn : r.functions) {
            bool found = false;
            for (const Source* s : files)
                if (defines(*s, fn)) {
                    found = true;
                    break;
                }
            if (!found)
                bad += "src/README.md:" + std::to_string(r.line) + ": `" + fn +
                       "` is defined in none of the row's files\n";
        }
    }
    return bad;
}

std::map<std::string, Source> by_path(const std::vector<Source>& all)
{
    std::map<std::string, Source> m;
    for (const Source& s : all)
        m.emplace(s.rel, s);
    return m;
}

} // namespace

TEST(CodeMap, EveryRowNamesAFileThatDefinesItsFunctions)
{
    const std::string readme = korv_scan::read_file(korv_scan::source_root() / "README.md");
    // The map was found and read: a test that reads nothing proves nothing.
    ASSERT_GT(map_rows(readme).size(), 80u);
    const std::string bad =
        check_map(readme, by_path(korv_scan::read_sources(korv_scan::source_root())));
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(CodeMap, TheCheckNamesAMovedFunctionAndAMissingFile)
{
    const std::map<std::string, Source> src = by_path({
        korv_scan::make_source("estimate/a.cpp", "namespace korv_lt {\n"
                                                 "int bin(int x)\n{\n    return x;\n}\n"
                                                 "}\n"
                                                 "struct Walk {\n    int n;\n};\n"
                                                 "void PlEngine::step()\n{\n}\n"),
        korv_scan::make_source("estimate/b.cpp",
                               "// korvpl(q) is called from the frame\n"
                               "static void helper(int)\n{\n}\n"
                               "int zrmstblRow(int)\n{\n    return 0;\n}\n"
                               "void run()\n{\n    auto Step = [&](int) {};\n}\n"),
    });
    const std::string head = "| Result | File | Function |\n|---|---|---|\n";
    // Rows that hold: a namespace member, a struct, a member function, a bare
    // name in the folder before it, a prefix, a lambda.
    EXPECT_EQ(
        check_map(head +
                      "| x | `estimate/a.cpp` | `korv_lt::bin`, `Walk`, `PlEngine::step` |\n"
                      "| y | `estimate/a.cpp`, `b.cpp` | `helper`, `zrmstbl*`, `bin`, `Step` |\n",
                  src),
        "");
    // A function named only in a comment, a function of another file, a file
    // that does not exist.
    const std::string bad =
        check_map(head + "| x | `estimate/b.cpp` | `korvpl` |\n| y | `estimate/b.cpp` | `bin` |\n"
                         "| z | `estimate/c.cpp` | `run` |\n",
                  src);
    EXPECT_NE(bad.find("README.md:3: `korvpl` is defined in none"), std::string::npos) << bad;
    EXPECT_NE(bad.find("README.md:4: `bin` is defined in none"), std::string::npos) << bad;
    EXPECT_NE(bad.find("README.md:5: no file estimate/c.cpp"), std::string::npos) << bad;
}
