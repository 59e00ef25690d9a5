// Files written whole or not at all: the target changes only on commit, a
// planted link under a temporary-looking name is never followed, a symbolic
// link keeps pointing at its replaced target, and an abandoned file leaves
// nothing behind.

#include "vyr_atomic_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

} // namespace
