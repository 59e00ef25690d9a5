// The listing and the other output files of a run: a table that runs onto
// further pages repeats its column headers there, and files named through a
// symbolic link (as /dev/stdout and /dev/stderr are) are written through the
// link, which stays in place.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_files.h"
#include "support/wob_setup.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace
{

using namespace runfiles;

double rowValue = 0;

// Forty rows under one column header.
int longTableProcedure()
{
    xobop mgr = wobtest::manager();
    xobop t = wobtest::table(mgr, "Rows", "Many rows");
    wobtest::column(t, 5, "Value", &rowValue, 0, "Column Header");
    wobcall(t, WOB_SEL_END_COLUMNS, 0, nullptr);
    xobop out = wobtest::output(mgr, t, "Stat.Korvante.Generic2");
    for (int i = 1; i <= 40; ++i) {
        rowValue = i;
        wobcall(t, WOB_SEL_PUT_ROW, 0, nullptr);
    }
    wobtest::finish(mgr, t, out);
    wobzoom(mgr, 3, 4, 0, nullptr);
    return 0;
}

// A table of `fillerRows` rows, then a table whose column header takes
// three lines: moving the second table down the page puts its title and
// header at every place a page can break.
int fillerRows = 0;
double value2 = 0, stderr2 = 0;

int twoTablesProcedure()
{
    xobop mgr = wobtest::manager();
    xobop t = wobtest::table(mgr, "Filler", "Filler rows");
    wobtest::column(t, 5, "Value", &rowValue);
    wobcall(t, WOB_SEL_END_COLUMNS, 0, nullptr);
    xobop out = wobtest::output(mgr, t, "Stat.Korvante.Generic2");
    for (int i = 1; i <= fillerRows; ++i) {
        rowValue = i;
        wobcall(t, WOB_SEL_PUT_ROW, 0, nullptr);
    }
    wobtest::finish(mgr, t, out);
    xobop t2 = wobtest::table(mgr, "Second", "Second table");
    wobtest::column(t2, 5, "V", &value2, 0, "Value");
    wobtest::column(t2, 5, "E", &stderr2, 0, "Survival Standard Error");
    wobcall(t2, WOB_SEL_END_COLUMNS, 0, nullptr);
    xobop out2 = wobtest::output(mgr, t2, "Stat.Korvante.Generic2");
    for (int i = 1; i <= 3; ++i) {
        value2 = i;
        stderr2 = 0.5 * i;
        wobcall(t2, WOB_SEL_PUT_ROW, 0, nullptr);
    }
    wobtest::finish(mgr, t2, out2);
    wobzoom(mgr, 3, 4, 0, nullptr);
    return 0;
}

std::string trimmed(const std::string& s)
{
    size_t a = s.find_first_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a, s.find_last_not_of(' ') - a + 1);
}

TEST(OutputFiles, ATitleAndItsColumnHeadersAreNeverSplitAcrossPages)
{
    vyr_output_reset();
    vyr_register_procedure("TWOTABLES", twoTablesProcedure);
    fs::path dir = freshDir("keep");
    VyrSettings s = settings(dir, "out", false);
    for (fillerRows = 0; fillerRows <= 24; ++fillerRows) {
        ASSERT_EQ(vyr_run_text(s, "options pagesize=20;\nproc twotables; run;\n"), 0);
        std::string listing = slurp(dir / "out.lst");
        std::vector<std::vector<std::string>> pages(1);
        std::istringstream in(listing);
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l[0] == '\f') {
                pages.emplace_back();
                l.erase(0, 1);
            }
            pages.back().push_back(trimmed(l));
        }
        for (const auto& page : pages)
            for (size_t i = 0; i < page.size(); ++i) {
                if (page[i] == "Second table") {
                    // The title has its header and a row below it on its page.
                    ASSERT_LT(i + 5, page.size()) << fillerRows << "\n" << listing;
                    EXPECT_EQ(page[i + 5].rfind("1", 0), 0u) << fillerRows << "\n" << listing;
                }
                if (page[i] == "Survival") {
                    // The three lines of the header stay together.
                    ASSERT_LT(i + 2, page.size()) << fillerRows << "\n" << listing;
                    EXPECT_EQ(page[i + 1], "Standard") << fillerRows << "\n" << listing;
                    EXPECT_NE(page[i + 2].find("Error"), std::string::npos) << listing;
                }
            }
    }
    fs::remove_all(dir);
    vyr_output_reset();
}

TEST(OutputFiles, ALinkIsWrittenThroughAndKept)
{
    vyr_output_reset();
    vyr_register_procedure("LONGTABLE", longTableProcedure);
    fs::path dir = freshDir("links");
    const char* names[] = {"lst", "log", "html", "json"};
    for (const char* n : names) {
        std::ofstream(dir / (std::string("real.") + n)) << "old";
        fs::create_symlink(dir / (std::string("real.") + n), dir / (std::string("link.") + n));
    }
    VyrSettings s = settings(dir, "link");
    EXPECT_EQ(vyr_run_text(s, "title 'Through a link';\nproc longtable; run;\n"), 0);
    for (const char* n : names) {
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / (std::string("link.") + n)))) << n;
        EXPECT_NE(slurp(dir / (std::string("real.") + n)), "old") << n;
    }
    EXPECT_NE(slurp(dir / "real.log").find("The run ended normally"), std::string::npos);
    EXPECT_EQ(slurp(dir / "real.json").rfind("{\"steps\":[", 0), 0u);
    fs::remove_all(dir);
    vyr_output_reset();
}

TEST(OutputFiles, ATableRepeatsItsHeadersOnEachPage)
{
    vyr_output_reset();
    vyr_register_procedure("LONGTABLE", longTableProcedure);
    fs::path dir = freshDir("pages");
    VyrSettings s = settings(dir, "out", false);
    ASSERT_EQ(vyr_run_text(s, "options pagesize=20;\nproc longtable; run;\n"), 0)
        << slurp(dir / "out.log");
    std::string listing = slurp(dir / "out.lst");
    size_t pages = count(listing, "\f") + 1;
    EXPECT_GE(pages, 3u) << listing;
    EXPECT_EQ(count(listing, "Header"), pages) << listing;
    EXPECT_EQ(count(listing, "Many rows"), 1u) << listing;
    // Every row once, in order.
    size_t at = 0;
    for (int i = 1; i <= 40; ++i) {
        std::string row = " " + std::to_string(i) + "\n";
        size_t next = listing.find(row, at);
        ASSERT_NE(next, std::string::npos) << i << listing;
        at = next + row.size();
    }
    fs::remove_all(dir);
    vyr_output_reset();
}

} // namespace
