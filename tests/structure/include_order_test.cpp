// The rooms of src/ stand on each other in one direction only. From the
// bottom up: host; runtime; numeric; common; the stages; frame; app. A file
// may include headers of its own room and of rooms below it, never above;
// numeric includes no host header; only the host includes the host's inner
// headers (host/...). Among the stages, which stand side by side, a stage
// may include only the stages listed below it, and the shared header of the
// row buffer's named slots. Every #include "..." line under src/ is read and
// checked.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace
{

namespace fs = std::filesystem;

// Height of each room; the stages share one.
const std::map<std::string, int> kHeight = {
    {"host", 0},     {"runtime", 1},     {"numeric", 2}, {"common", 3},  {"results", 4},
    {"estimate", 4}, {"homogeneity", 4}, {"mcomp", 4},   {"cmprisk", 4}, {"levelize", 4},
    {"rmst", 4},     {"lpplot", 4},      {"devplot", 4}, {"frame", 5},   {"app", 6},
};

// The stages a stage may include: each pair is a call from one stage into
// another, declared in the called room's own header (the tests' strata
// legend in lpplot/lpplot.h, the comparisons in mcomp/survdiff.h).
const std::set<std::pair<std::string, std::string>> kStageBelow = {
    {"rmst", "levelize"},
    {"rmst", "mcomp"},
    {"homogeneity", "mcomp"},
    {"homogeneity", "lpplot"},
};

// Headers of a stage that every stage may include: constants only, with no
// link dependency. The named slots of the row buffer are declared beside the
// tables in results/ and used by the stages that fill the tables.
const std::set<std::string> kSharedStageHeaders = {
    "results/slots.h",
};

// The room of a file under src/ ("host/data/csv.cpp" -> "host").
std::string room_of_file(const std::string& rel)
{
    return rel.substr(0, rel.find('/'));
}

// The room an include names, seen from the including file; empty when the
// include is not one of the project's headers the rules know.
std::string room_of_include(const std::string& from, const std::string& inc)
{
    if (inc.rfind("vyr_", 0) == 0)
        return "host";
    const std::size_t slash = inc.find('/');
    if (slash == std::string::npos)
        return room_of_file(from); // beside the including file
    const std::string first = inc.substr(0, slash);
    return kHeight.count(first) ? first : "";
}

// Why `from` may not include `inc`, or empty when it may.
std::string violation(const std::string& from, const std::string& inc)
{
    const std::string a = room_of_file(from);
    const std::string b = room_of_include(from, inc);
    if (!kHeight.count(a))
        return "the file's room " + a + " is not in the layer order";
    if (b.empty())
        return "the included header belongs to no known room";
    if (a == b)
        return "";
    if (inc.rfind("host/", 0) == 0)
        return "only the host includes the host's inner headers";
    if (a == "numeric" && b == "host")
        return "numeric includes no host header";
    const int ha = kHeight.at(a), hb = kHeight.at(b);
    if (ha == hb && !kStageBelow.count({a, b}) && !kSharedStageHeaders.count(inc))
        return "stage " + a + " may not include stage " + b;
    if (ha < hb)
        return a + " is below " + b;
    return "";
}

struct IncludeLine {
    std::string file; // relative to src/
    int line;
    std::string header;
};

std::vector<IncludeLine> read_includes(const fs::path& src)
{
    std::vector<IncludeLine> all;
    for (const auto& e : fs::recursive_directory_iterator(src)) {
        const std::string ext = e.path().extension().string();
        if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp"))
            continue;
        std::ifstream in(e.path());
        std::string text;
        for (int n = 1; std::getline(in, text); ++n) {
            std::size_t p = text.find_first_not_of(" \t");
            if (p == std::string::npos || text.compare(p, 1, "#") != 0)
                continue;
            p = text.find_first_not_of(" \t", p + 1);
            if (p == std::string::npos || text.compare(p, 7, "include") != 0)
                continue;
            const std::size_t open = text.find('"', p);
            if (open == std::string::npos)
                continue; // <system> headers
            const std::size_t close = text.find('"', open + 1);
            all.push_back({fs::relative(e.path(), src).generic_string(), n,
                           text.substr(open + 1, close - open - 1)});
        }
    }
    return all;
}

} // namespace

TEST(IncludeOrder, EveryIncludePointsDownOrSideways)
{
    const fs::path src = fs::path(KORV_SOURCE_DIR) / "src";
    const std::vector<IncludeLine> lines = read_includes(src);
    // The sources were found: a test that reads nothing proves nothing.
    ASSERT_GT(lines.size(), 300u);
    std::string bad;
    for (const auto& l : lines) {
        std::string why = violation(l.file, l.header);
        if (!why.empty())
            bad += "src/" + l.file + ":" + std::to_string(l.line) + ": #include \"" + l.header +
                   "\": " + why + "\n";
    }
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(IncludeOrder, TheRulesRejectWhatPointsUp)
{
    const struct {
        const char* from;
        const char* inc;
        bool ok;
    } cases[] = {
        {"host/data/csv.cpp", "runtime/missing.h", false},
        {"host/data/csv.cpp", "vyr_missing.h", true},
        {"host/data/csv.cpp", "data_internal.h", true},
        {"numeric/gamma.cpp", "vyr_host.h", false},
        {"numeric/gamma.cpp", "runtime/missing.h", true},
        {"runtime/zsort.h", "numeric/vector.h", false},
        {"common/korvcom.h", "frame/parse.h", false},
        {"results/korvsum.cpp", "frame/parse.h", false},
        {"results/korvsum.cpp", "common/options.h", true},
        {"estimate/korvpl.cpp", "homogeneity/homogeneity.h", false},
        {"homogeneity/korvhom.cpp", "mcomp/mcomp.h", true},
        {"homogeneity/present.cpp", "lpplot/lpplot.h", true},
        {"lpplot/korvleg.cpp", "homogeneity/homogeneity.h", false},
        {"cmprisk/korvcif.cpp", "estimate/estimate.h", false},
        {"cmprisk/korvcif.cpp", "numeric/pointwise.h", true},
        {"estimate/plrows.cpp", "results/slots.h", true},
        {"estimate/plrows.cpp", "results/results.h", false},
        {"results/survtbl.cpp", "estimate/estimate.h", false},
        {"mcomp/mcomp.cpp", "homogeneity/homogeneity.h", false},
        {"rmst/korvrms.cpp", "levelize/levelize.h", true},
        {"frame/korvmai.cpp", "common/stages.h", true},
        {"frame/korvmai.cpp", "app/procedures.h", false},
        {"frame/korvmai.cpp", "host/output/layer.h", false},
        {"app/main.cpp", "frame/frame.h", true},
        {"app/main.cpp", "nowhere/x.h", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(violation(c.from, c.inc).empty(), c.ok) << c.from << " -> " << c.inc;
}
