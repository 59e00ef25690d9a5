// The listing and the other output files of a run: a table that runs onto
// further pages repeats its column headers there, and files named through a
// symbolic link (as /dev/stdout and /dev/stderr are) are written through the
// link, which stays in place.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "vyr_output.h"
#include "vyr_session.h"
#include "wob_setup.h"

namespace
{

namespace fs = std::filesystem;

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

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(OutputFiles, ALinkIsWrittenThroughAndKept)
{
    vyr_output_reset();
    vyr_register_procedure("LONGTABLE", longTableProcedure);
    fs::path dir = fs::temp_directory_path() / ("korv_output_links_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const char* names[] = {"lst", "log", "html", "json"};
    for (const char* n : names) {
        std::ofstream(dir / (std::string("real.") + n)) << "old";
        fs::create_symlink(dir / (std::string("real.") + n), dir / (std::string("link.") + n));
    }
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.outDir = dir.string();
    s.listing = (dir / "link.lst").string();
    s.log = (dir / "link.log").string();
    s.html = (dir / "link.html").string();
    s.json = (dir / "link.json").string();
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
    fs::path dir = fs::temp_directory_path() / ("korv_output_pages_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.outDir = dir.string();
    s.listing = (dir / "out.lst").string();
    s.log = (dir / "out.log").string();
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
