// The catalogue services read an entry file record by record with the
// host's codes, its date stamp changes with every rewrite, and the writer
// never writes through a link that leads out of its library.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "vyr_catalogue.h"
#include "vyr_session.h"

namespace fs = std::filesystem;

TEST(DeviceCatalogue, RecordsStampsAndCodes)
{
    const fs::path dir = fs::temp_directory_path() / ("korv_cat_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "away");
    fs::create_directories(dir / "lib");
    ASSERT_TRUE(vyr_assign_library("CATLIB", (dir / "lib").string()));
    std::string why;
    ASSERT_TRUE(
        vyr_write_catalogue_entry("catlib", "Things", "one", "rec", {"abc", "", "xyz"}, why));
    long there = 0, stamp = 0, again = 0;
    EXPECT_EQ(xlminfo("CATLIB", "THINGS", "ONE", "REC", 8, &there), 0);
    EXPECT_EQ(there, 1);
    EXPECT_EQ(xlminfo("NOLIB", "THINGS", "ONE", "REC", 8, &there), 0);
    EXPECT_EQ(there, 0);
    EXPECT_EQ(xlminfo("CATLIB", "THINGS", "ONE", "REC", 9, &there), XLM_BAD_CODE);
    EXPECT_EQ(xlminfo("CATLIB", "THINGS", "ONE", "REC", 10, &stamp), 0);
    ASSERT_TRUE(
        vyr_write_catalogue_entry("CATLIB", "THINGS", "ONE", "REC", {"abc", "", "xyz"}, why));
    EXPECT_EQ(xlminfo("CATLIB", "THINGS", "ONE", "REC", 10, &again), 0);
    EXPECT_NE(stamp, 0);
    EXPECT_NE(again, stamp);
    // The generation after the header's mark counts the writes, so that a
    // rewrite within one tick of the file times still changes the stamp.
    std::ifstream in(dir / "lib" / "THINGS" / "ONE.rec", std::ios::binary);
    char head[10] = {};
    in.read(head, sizeof head);
    EXPECT_EQ(std::string(head, 10), std::string("VYRENTRY\x02\0", 10));

    XLLIB* lib = nullptr;
    XLMEMBER* m = nullptr;
    ASSERT_EQ(xlopen("CATLIB", "THINGS", &lib), 0);
    EXPECT_EQ(xlmfind(lib, "TWO", "REC"), XLM_NOT_FOUND);
    ASSERT_EQ(xlmopen(lib, "one", "rec", &m), 0);
    char buf[2];
    long n = -1;
    EXPECT_EQ(xlmread(m, buf, sizeof buf, &n), XLM_LONG_RECORD);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(xlmread(m, buf, sizeof buf, &n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(xlmread(m, buf, sizeof buf, &n), XLM_LONG_RECORD);
    EXPECT_EQ(xlmread(m, buf, sizeof buf, &n), XLM_END_OF_ENTRY);
    EXPECT_EQ(xlmclose(m), 0);
    EXPECT_EQ(xlmclose(m), XLM_BAD_HANDLE);
    EXPECT_EQ(xlclose(lib), 0);
    EXPECT_EQ(xlopen("NOLIB", "THINGS", &lib), XL_NO_CATALOGUE);
    EXPECT_EQ(lib, nullptr);

    // The writer refuses a catalogue folder or an entry that leads out.
    fs::create_directory_symlink(dir / "away", dir / "lib" / "OUT");
    EXPECT_FALSE(vyr_write_catalogue_entry("CATLIB", "OUT", "ONE", "REC", {"a"}, why));
    fs::create_symlink(dir / "away" / "X.rec", dir / "lib" / "THINGS" / "TWO.rec");
    EXPECT_FALSE(vyr_write_catalogue_entry("CATLIB", "THINGS", "TWO", "REC", {"a"}, why));
    EXPECT_FALSE(vyr_write_catalogue_entry("CATLIB", "THINGS", "TOOLONGNAME", "REC", {"a"}, why));
    EXPECT_TRUE(fs::is_empty(dir / "away"));
    fs::remove_all(dir);
}
