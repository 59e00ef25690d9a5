// The listing and the other output files of a run: a table that runs onto
// further pages repeats its column headers there, and files named through a
// symbolic link (as /dev/stdout and /dev/stderr are) are written through the
// link, which stays in place.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "run_files.h"
#include "vyr_output.h"
#include "vyr_session.h"
#include "wob_setup.h"

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
