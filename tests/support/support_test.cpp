// The test support itself: a reference table that is missing or empty fails
// the test that reads it, tab-separated tables read by column, the JSON
// reader refuses a torn document and finds tables and cells by name, a golden
// comparison names the first differing line, and no test reaches into
// another test folder by a relative include (shared helpers live here).
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "support/golden.h"
#include "support/json.h"
#include "support/reference.h"

namespace
{

namespace fs = std::filesystem;

TEST(Support, MissingOrEmptyReferenceTablesFail)
{
    EXPECT_NONFATAL_FAILURE(korvtest::Table("no_such_table.csv"), "cannot be read");
    EXPECT_NONFATAL_FAILURE(korvtest::Table("no_such_table.tsv"), "cannot be read");
    const fs::path dir = fs::temp_directory_path() / ("korv_support_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "header_only.csv") << "# a comment\na,b\n";
    std::ofstream(dir / "nothing.tsv") << "# only a comment\n";
    // Paths from the top of the source tree: reach the temporary folder.
    const std::string up = fs::relative(dir, korvtest::source_dir()).string();
    EXPECT_NONFATAL_FAILURE(korvtest::Table(up + "/header_only.csv"), "has no rows");
    EXPECT_NONFATAL_FAILURE(korvtest::Table(up + "/nothing.tsv", {"a", "b"}), "has no rows");
    fs::remove_all(dir);
}

TEST(Support, TabSeparatedTablesReadByColumn)
{
    const fs::path dir = fs::temp_directory_path() / ("korv_support_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "t.tsv") << "# c\nx\ty, z\t\n1\t\"q\"\t.\n";
    const std::string rel = fs::relative(dir / "t.tsv", korvtest::source_dir()).string();
    korvtest::Table t(rel, {"a", "b", "c"});
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t.text(0, "b"), "y, z"); // a comma is no separator here
    EXPECT_EQ(t.text(0, "c"), "");
    EXPECT_EQ(t.text(1, "b"), "\"q\""); // nor is a quote special
    EXPECT_EQ(t.num(1, "a"), 1);
    EXPECT_TRUE(std::isnan(t.num(1, "c")));
    fs::remove_all(dir);
}

TEST(Support, JsonTablesAndCellsByName)
{
    const std::string doc =
        R"({"steps":[{"items":[{"kind":"table","name":"A","template":"Stat.Korvante.A",)"
        R"("rows":[{"k":"x","v":1.5},{"k":2,"v":null}]},{"kind":"group","name":"G","items":[)"
        R"({"kind":"table","name":"A","rows":[{"k":"\u00e9","v":-0}]}]}]}]})";
    bool ok = false;
    const korvjson::Value v = korvjson::parse(doc, &ok);
    ASSERT_TRUE(ok);
    const auto a = korvjson::tables(v, "A");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(korvjson::by_template(v, "A").size(), 1u);
    EXPECT_EQ(korvjson::row_where(a[0], "k", "x")->number("v"), 1.5);
    EXPECT_TRUE(std::isnan(korvjson::row_where(a[0], "k", "2")->number("v")));
    EXPECT_EQ(korvjson::row_where(a[0], "k", "y"), nullptr);
    EXPECT_EQ(korvjson::rows(a[1])[0]->text("k"), "\xC3\xA9");
    for (const std::string& torn :
         {doc.substr(0, doc.size() - 1), doc + ",", std::string("{\"a\":}")}) {
        korvjson::parse(torn, &ok);
        EXPECT_FALSE(ok) << torn;
    }
}

TEST(Support, GoldenDifferenceNamesTheLine)
{
    EXPECT_EQ(korvtest::first_difference("a\nb\nc\n", "a\nB\nc\n"),
              "first difference at line 2:\n  golden: b\n  made:   B");
    EXPECT_NE(korvtest::first_difference("a\n", "a\nb\n").find("golden: (end)"), std::string::npos);
    if (!korvtest::updating_goldens())
        EXPECT_FATAL_FAILURE(korvtest::compare_golden("tests/support/no-such-golden", "x"),
                             "missing golden file");
}

// Test folders share helpers through tests/support/ only: an include that
// climbs out of its folder ("../") would tie one test folder to another's
// files.
TEST(Support, NoTestIncludesAnotherTestFolder)
{
    const std::regex climb(R"(^\s*#\s*include\s*"\.\./)");
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(korvtest::source_dir() + "/tests")) {
        const std::string ext = e.path().extension().string();
        if (ext != ".cpp" && ext != ".h")
            continue;
        ++files;
        std::ifstream in(e.path());
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            ++n;
            EXPECT_FALSE(std::regex_search(line, climb))
                << e.path().string() << ":" << n << ": " << line;
        }
    }
    EXPECT_GT(files, 50u);
}

} // namespace
