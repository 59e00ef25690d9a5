// The named slots of the row buffer (src/results/slots.h). Each table's
// namespace there says which files bind its slots and which write them; a
// slot that a table binds and its stage never writes would show a stale or
// wrong value in every row, so every bound name must be written. No file
// outside the header uses a bare slot number, and the competing-risks count
// cells are named the same way.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;

// One table's slots as the header declares them.
struct SlotTable {
    std::string ns;                                         // "pl_slot"
    std::set<std::string> names;                            // constants and functions
    std::map<std::string, std::vector<std::string>> arrays; // array -> its members
    std::vector<std::string> boundBy, writtenBy;            // files under src/
};

std::vector<std::string> file_list(const std::string& line)
{
    std::vector<std::string> files;
    std::stringstream in(line);
    std::string f;
    while (std::getline(in, f, ',')) {
        const auto a = f.find_first_not_of(' ');
        const auto b = f.find_last_not_of(' ');
        if (a != std::string::npos)
            files.push_back(f.substr(a, b - a + 1));
    }
    return files;
}

// The tables of the header's text: the "Bound by:" and "Written by:" lines
// go with the namespace that follows them.
std::vector<SlotTable> parse_slots(const std::string& text)
{
    std::vector<SlotTable> tables;
    std::vector<std::string> bound, written;
    SlotTable* cur = nullptr;
    std::stringstream in(text);
    std::string line, pending;
    const std::regex ns(R"(^namespace (\w+_slot)\s*$)");
    const std::regex name(R"(^(?:inline )?constexpr int (\w+)\s*(\[\])?\s*(?:=|\())");
    std::smatch m;
    while (std::getline(in, line)) {
        if (line.rfind("// Bound by: ", 0) == 0) {
            bound = file_list(line.substr(13));
        } else if (line.rfind("// Written by: ", 0) == 0) {
            written = file_list(line.substr(15));
        } else if (std::regex_search(line, m, ns)) {
            tables.push_back({m[1], {}, {}, bound, written});
            cur = &tables.back();
            bound.clear();
            written.clear();
        } else if (line.rfind("} // namespace", 0) == 0) {
            cur = nullptr;
        } else if (cur && !pending.empty()) {
            pending += line;
        } else if (cur && std::regex_search(line, m, name)) {
            if (m[2].matched)
                pending = m[1].str() + "=" + line;
            else
                cur->names.insert(m[1]);
        }
        // An array's members, once its braces close.
        if (cur && !pending.empty() && pending.find('}') != std::string::npos) {
            const std::string arr = pending.substr(0, pending.find('='));
            const std::string body =
                pending.substr(pending.find('{') + 1, pending.find('}') - pending.find('{') - 1);
            cur->arrays[arr] = file_list(body);
            pending.clear();
        }
    }
    return tables;
}

// The names of `t` that `text` spells as ns::NAME.
std::set<std::string> names_used(const SlotTable& t, const std::string& text)
{
    std::set<std::string> used;
    const std::regex use("\\b" + t.ns + R"(::(\w+))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), use);
         it != std::sregex_iterator(); ++it)
        used.insert((*it)[1]);
    return used;
}

// The names `bound` uses that `written` never writes, directly or through
// an array of the table that lists them.
std::vector<std::string> unwritten(const SlotTable& t, const std::string& bound,
                                   const std::string& written)
{
    std::set<std::string> w = names_used(t, written);
    for (const auto& [arr, members] : t.arrays)
        if (w.count(arr))
            w.insert(members.begin(), members.end());
    std::vector<std::string> missing;
    for (const std::string& n : names_used(t, bound))
        if (!w.count(n) && !t.arrays.count(n) && n != "COUNT")
            missing.push_back(n);
    return missing;
}

// Lines of `text` that index the row buffer (or a row record's copy of it,
// `io`) by a bare number; with `cells`, a competing-risks count cell too (in
// the files that keep them, `cell` or `m`).
std::vector<int> bare_slots(const std::string& text, bool cells = false)
{
    static const std::regex slot(R"((\biovar|(^|[^\w])io)\s*\[\s*[0-9])");
    static const std::regex cell(R"((\bcell|(^|[^\w])m)\s*\[\s*[0-9])");
    // The buffer's own declaration gives its size, not a slot.
    static const std::regex declaration(R"(\bdouble\s+(iovar|io)\s*\[)");
    const std::regex& bare = cells ? cell : slot;
    std::vector<int> lines;
    std::stringstream in(text);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        const std::string code = line.substr(0, line.find("//"));
        if (std::regex_search(code, bare) && !std::regex_search(code, declaration))
            lines.push_back(n);
    }
    return lines;
}

std::string read(const fs::path& p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const fs::path kSrc = fs::path(KORV_SOURCE_DIR) / "src";

} // namespace

TEST(Slots, EveryBoundSlotIsWrittenByItsStage)
{
    const std::vector<SlotTable> tables = parse_slots(read(kSrc / "results/slots.h"));
    ASSERT_GE(tables.size(), 15u); // the header was read
    for (const SlotTable& t : tables) {
        SCOPED_TRACE(t.ns);
        ASSERT_FALSE(t.boundBy.empty());
        ASSERT_FALSE(t.writtenBy.empty());
        std::string bound, written;
        for (const std::string& f : t.boundBy) {
            ASSERT_TRUE(fs::exists(kSrc / f)) << f;
            const std::string text = read(kSrc / f);
            EXPECT_FALSE(names_used(t, text).empty()) << f << " binds none of the slots";
            bound += text;
        }
        for (const std::string& f : t.writtenBy) {
            ASSERT_TRUE(fs::exists(kSrc / f)) << f;
            const std::string text = read(kSrc / f);
            EXPECT_FALSE(names_used(t, text).empty()) << f << " writes none of the slots";
            written += text;
        }
        for (const std::string& n : names_used(t, bound))
            EXPECT_TRUE(t.names.count(n) || t.arrays.count(n)) << n << " is not declared";
        const std::vector<std::string> missing = unwritten(t, bound, written);
        EXPECT_TRUE(missing.empty())
            << "bound, never written: " << ::testing::PrintToString(missing);
    }
}

TEST(Slots, NoBareSlotNumberOutsideTheDeclarations)
{
    std::string bad;
    for (const auto& e : fs::recursive_directory_iterator(kSrc)) {
        const std::string ext = e.path().extension().string();
        const std::string rel = fs::relative(e.path(), kSrc).generic_string();
        if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp") || rel == "results/slots.h" ||
            rel.rfind("host/", 0) == 0)
            continue;
        const bool cells = rel.rfind("cmprisk/", 0) == 0 || rel == "frame/korvdac.cpp";
        for (bool c : {false, true})
            if (!c || cells)
                for (int line : bare_slots(read(e.path()), c))
                    bad += "src/" + rel + ":" + std::to_string(line) + "\n";
    }
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(Slots, TheChecksCatchWhatTheyAreFor)
{
    const std::vector<SlotTable> tables = parse_slots(R"(
// Bound by: a.cpp
// Written by: b.cpp
namespace demo_slot
{
inline constexpr int TIME = 0;
inline constexpr int SURV = 1;
inline constexpr int ORDER[] = {TIME,
                                SURV};
constexpr int at(int k)
{
    return 2 + k;
}
} // namespace demo_slot
)");
    ASSERT_EQ(tables.size(), 1u);
    const SlotTable& t = tables[0];
    EXPECT_EQ(t.boundBy, std::vector<std::string>{"a.cpp"});
    EXPECT_EQ(t.names, (std::set<std::string>{"TIME", "SURV", "at"}));
    EXPECT_EQ(t.arrays.at("ORDER"), (std::vector<std::string>{"TIME", "SURV"}));
    const std::string binds = "c(&q->iovar[demo_slot::TIME]); c(&q->iovar[demo_slot::SURV]);";
    // A slot bound and never written is named.
    EXPECT_EQ(unwritten(t, binds, "q->iovar[demo_slot::TIME] = t;"),
              std::vector<std::string>{"SURV"});
    // Written through an array of the table.
    EXPECT_TRUE(unwritten(t, binds, "io[demo_slot::ORDER[i]] = f[i];").empty());
    // Bare numbers, but not in comments nor in other arrays' names.
    EXPECT_EQ(bare_slots("a;\nq->iovar[3] = 1;\nr.io[24] = 0;\nx = cell[4 + k];\n"),
              (std::vector<int>{2, 3}));
    EXPECT_EQ(bare_slots("x = cell[4 + k];\nm[1] += 1;\nsum[0] += 1;\n", true),
              (std::vector<int>{1, 2}));
    EXPECT_TRUE(bare_slots("// iovar[3] is the total\nradio[2] = 1;\nsum[0] += 1;\n"
                           "    double iovar[34];\n")
                    .empty());
}
