// Files written whole or not at all: the target changes only on commit, a
// planted link under a temporary-looking name is never followed, a symbolic
// link keeps pointing at its replaced target, and an abandoned file leaves
// nothing behind.

#include "vyr_atomic_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace
{

class AtomicFileTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/korv-atomic-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string read(const std::string& p)
    {
        std::ifstream f(p);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void write(const std::string& p, const std::string& text) { std::ofstream(p) << text; }
    int entries()
    {
        int n = 0;
        for ([[maybe_unused]] auto& e : fs::directory_iterator(dir))
            ++n;
        return n;
    }
    std::string dir;
};

TEST_F(AtomicFileTest, TargetChangesOnlyOnCommitAndAbandonLeavesNothing)
{
    const std::string p = dir + "/out.txt";
    write(p, "old");
    {
        vyr::AtomicFile f;
        std::string why;
        ASSERT_TRUE(f.open(p, why)) << why;
        std::fputs("new", f.stream());
        EXPECT_EQ(read(p), "old");
        EXPECT_EQ(entries(), 2);
        // Destroyed without a commit: the temporary file goes.
    }
    EXPECT_EQ(read(p), "old");
    EXPECT_EQ(entries(), 1);
    vyr::AtomicFile f;
    std::string why;
    ASSERT_TRUE(f.open(p, why)) << why;
    std::fputs("new", f.stream());
    ASSERT_TRUE(f.commit(why)) << why;
    EXPECT_EQ(read(p), "new");
    EXPECT_EQ(entries(), 1);
}

TEST_F(AtomicFileTest, SymbolicLinkKeepsPointingAtItsReplacedTarget)
{
    fs::create_directory(dir + "/real");
    write(dir + "/real/data.txt", "old");
    fs::create_symlink("real/data.txt", dir + "/link.txt");
    vyr::AtomicFile f;
    std::string why;
    ASSERT_TRUE(f.open(dir + "/link.txt", why)) << why;
    EXPECT_EQ(f.target(), dir + "/real/data.txt");
    EXPECT_EQ(f.temp_path().rfind(dir + "/real/", 0), 0u);
    std::fputs("new", f.stream());
    ASSERT_TRUE(f.commit(why)) << why;
    EXPECT_TRUE(fs::is_symlink(dir + "/link.txt"));
    EXPECT_EQ(read(dir + "/real/data.txt"), "new");
}

TEST_F(AtomicFileTest, TemporaryNamesAreUnpredictableAndNeverFollowed)
{
    // Links planted under the names the old scheme used lead nowhere now.
    write(dir + "/victim", "keep");
    fs::create_symlink(dir + "/victim", dir + "/out.txt.tmp");
    vyr::AtomicFile a, b;
    std::string why;
    ASSERT_TRUE(a.open(dir + "/out.txt", why)) << why;
    ASSERT_TRUE(b.open(dir + "/out.txt", why)) << why;
    EXPECT_NE(a.temp_path(), b.temp_path());
    std::fputs("a", a.stream());
    std::fputs("b", b.stream());
    ASSERT_TRUE(a.commit(why));
    ASSERT_TRUE(b.commit(why));
    EXPECT_EQ(read(dir + "/out.txt"), "b");
    EXPECT_EQ(read(dir + "/victim"), "keep");
}

TEST_F(AtomicFileTest, FailuresSayWhyAndLeaveNoTemporaryFile)
{
    vyr::AtomicFile f;
    std::string why;
    EXPECT_FALSE(f.open("", why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(f.open(dir, why));
    EXPECT_FALSE(f.open(dir + "/missing/out.txt", why));
    fs::create_symlink("loop2", dir + "/loop1");
    fs::create_symlink("loop1", dir + "/loop2");
    EXPECT_FALSE(f.open(dir + "/loop1", why));
    EXPECT_EQ(entries(), 2);
    // Signal-time cleanup removes a file still being written.
    ASSERT_TRUE(f.open(dir + "/out.txt", why));
    EXPECT_EQ(entries(), 3);
    vyr::remove_open_temp_files();
    EXPECT_EQ(entries(), 2);
    f.abandon();
}

TEST_F(AtomicFileTest, ExistingModeIsKept)
{
    const std::string p = dir + "/out.txt";
    write(p, "old");
    chmod(p.c_str(), 0640);
    vyr::AtomicFile f;
    std::string why;
    ASSERT_TRUE(f.open(p, why));
    ASSERT_TRUE(f.commit(why));
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A full disk at any write (the test hook makes write N fail with ENOSPC):
// the commit fails with the reason, the old target - reached directly or
// through a symbolic link - stays whole, and no temporary file is left.
TEST_F(AtomicFileTest, AFailedWriteLeavesTheOldTargetWholeAndSaysWhy)
{
    fs::create_directory(dir + "/real");
    write(dir + "/real/data.txt", "old");
    fs::create_symlink("real/data.txt", dir + "/link.txt");
    write(dir + "/plain.txt", "old");
    const std::string chunk(10000, 'x'); // each chunk at least one write
    for (const char* name : {"/plain.txt", "/link.txt"}) {
        for (int n = 1; n <= 3; ++n) {
            setenv("KORV_FAIL_WRITE", std::to_string(n).c_str(), 1);
            vyr::reset_write_failure_hook();
            vyr::AtomicFile f;
            std::string why;
            ASSERT_TRUE(f.open(dir + name, why)) << why;
            for (int i = 0; i < 10; ++i)
                std::fputs(chunk.c_str(), f.stream());
            EXPECT_FALSE(f.commit(why)) << name << " write " << n;
            EXPECT_EQ(why, std::strerror(ENOSPC));
        }
        EXPECT_TRUE(read(dir + name) == "old") << name;
    }
    unsetenv("KORV_FAIL_WRITE");
    vyr::reset_write_failure_hook();
    EXPECT_EQ(entries(), 3);
    EXPECT_EQ(fs::directory_iterator(dir + "/real")->path().filename(), "data.txt");
}

// Files committed together: both finish first, then both are renamed; a
// file that cannot finish leaves its partner's target alone.
TEST_F(AtomicFileTest, FilesFinishedFirstAreCommittedTogether)
{
    write(dir + "/a.csv", "old a");
    write(dir + "/a.attr", "old attr");
    {
        vyr::AtomicFile csv, attr;
        std::string why;
        ASSERT_TRUE(csv.open(dir + "/a.csv", why));
        ASSERT_TRUE(attr.open(dir + "/a.attr", why));
        std::fputs("new a", csv.stream());
        std::fputs("new attr", attr.stream());
        ASSERT_TRUE(csv.finish(why));
        ASSERT_TRUE(attr.finish(why));
        EXPECT_FALSE(csv.is_open());
        EXPECT_EQ(entries(), 4); // both still under their temporary names
        EXPECT_EQ(read(dir + "/a.csv"), "old a");
        vyr::FolderLock lock(dir, true);
        EXPECT_TRUE(lock.held());
        ASSERT_TRUE(attr.commit(why));
        ASSERT_TRUE(csv.commit(why));
    }
    EXPECT_EQ(read(dir + "/a.csv"), "new a");
    EXPECT_EQ(read(dir + "/a.attr"), "new attr");
    // The writer made the lock file; nothing else is left.
    EXPECT_TRUE(fs::exists(dir + "/.korvante.lock"));
    EXPECT_EQ(entries(), 3);
}

} // namespace
