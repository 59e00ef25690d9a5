// Files written whole or not at all: the target changes only on commit, a
// planted link under a temporary-looking name is never followed, a symbolic
// link keeps pointing at its replaced target, and an abandoned file leaves
// nothing behind.

#include "vyr_atomic_file.h"

#include "support/lock_holder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
        vyr::FolderLock lock(dir);
        EXPECT_TRUE(lock.held());
        ASSERT_TRUE(attr.commit(why));
        ASSERT_TRUE(csv.commit(why));
    }
    EXPECT_EQ(read(dir + "/a.csv"), "new a");
    EXPECT_EQ(read(dir + "/a.attr"), "new attr");
    // Nothing else is left, the lock's ticket neither.
    EXPECT_EQ(entries(), 2);
}

// What is planted at a lock's names (a link to another file, a pipe, at a
// ticket's name or at an earlier version's lock file's) is no run's ticket:
// never followed, never waited on, left as it is. A lock that cannot be
// taken (nothing can be made in the folder) says why, naming the folder.
TEST_F(AtomicFileTest, WhatIsPlantedAtALocksNamesIsNoLock)
{
    write(dir + "/victim", "victim");
    for (const char* name : {"/.korvante-w-0000000000000000.lock", "/.korvante-o.lock"})
        fs::create_symlink(dir + "/victim", dir + name);
    ASSERT_EQ(mkfifo((dir + "/.korvante-w-0000000000000001.lock").c_str(), 0600), 0);
    {
        vyr::FolderLock held(dir, false);
        EXPECT_TRUE(held.held()) << held.why();
    }
    EXPECT_EQ(read(dir + "/victim"), "victim");
    EXPECT_EQ(entries(), 4);
    // A folder removed while the run held it takes no name.
    const std::string gone = dir + "/gone";
    fs::create_directory(gone);
    const int fd = ::open(gone.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    fs::remove(gone);
    {
        vyr::FolderLock lock(fd, gone);
        EXPECT_FALSE(lock.held());
        EXPECT_NE(lock.why().find("the folder " + gone + "'s lock could not be taken"),
                  std::string::npos)
            << lock.why();
    }
    ::close(fd);
}

namespace
{

// A process that holds an exclusive flock and a read lock on the file
// `path`, opened for reading only (as a user who may only read could),
// until it is let go.
struct OpenHolder {
    explicit OpenHolder(const std::string& path)
    {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            struct flock fl {
            };
            fl.l_type = F_RDLCK;
            fl.l_whence = SEEK_SET;
            char c = fd >= 0 && flock(fd, LOCK_EX) == 0 && ::fcntl(fd, F_OFD_SETLK, &fl) == 0 ? 'y'
                                                                                              : 'n';
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release[0], &c, 1);
            _exit(0);
        }
        char c = 0;
        held = ::read(ready[0], &c, 1) == 1 && c == 'y';
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~OpenHolder()
    {
        (void)!::write(release[1], "x", 1);
        int status = 0;
        (void)waitpid(pid, &status, 0);
        ::close(release[0]);
        ::close(release[1]);
    }
    pid_t pid = -1;
    int release[2] = {-1, -1};
    bool held = false;
};

// The tickets in `dir`.
std::vector<std::string> tickets(const std::string& dir)
{
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(".korvante-w-", 0) == 0)
            found.push_back(e.path().string());
    return found;
}

} // namespace

// Only those who may write a folder can hold its lock, and every one of
// them can. A writer's ticket is readable by all once held (every writer
// looks at the others'), whatever the umask, and goes with its lock; it
// holds its run's process id. Whatever a user who
// may only read does to a ticket (a flock, a read lock, on a descriptor
// open for reading) makes no run wait: an ended run's ticket held so is
// taken for ended, and removed. A living ticket makes every writer wait,
// whoever made it (a member of the folder's group, the folder's earlier
// owner); in a folder others may write whose sticky bit is set, only the
// user's own do.
TEST_F(AtomicFileTest, OnlyAFoldersWritersCanHoldItsLock)
{
    const mode_t mask = umask(077);
    struct stat st;
    {
        vyr::FolderLock made(dir);
        ASSERT_TRUE(made.held()) << made.why();
        ASSERT_EQ(tickets(dir).size(), 1u);
        ASSERT_EQ(stat(tickets(dir)[0].c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(read(tickets(dir)[0]).rfind(std::to_string(::getpid()) + " ", 0), 0u);
    }
    EXPECT_TRUE(tickets(dir).empty());
    umask(mask);
    {
        vyrtest::LockHolder ended(dir, false, "00000000000000aa", false);
        ASSERT_TRUE(ended.held());
        ASSERT_EQ(tickets(dir).size(), 1u);
        OpenHolder reader(tickets(dir)[0]);
        ASSERT_TRUE(reader.held);
        vyr::FolderLock writer(dir, false);
        EXPECT_TRUE(writer.held()) << writer.why();
    }
    EXPECT_TRUE(tickets(dir).empty());
    // A ticket whose maker was stopped between making it and locking it
    // (empty, never locked) makes no run wait either, and goes.
    write(dir + "/.korvante-w-00000000000000bb.lock", "");
    {
        vyr::FolderLock writer(dir, false);
        EXPECT_TRUE(writer.held()) << writer.why();
    }
    EXPECT_TRUE(tickets(dir).empty());
    // Giving a ticket to another user needs root.
    if (::geteuid() != 0)
        std::cout
            << "[ SKIPPED  ] a living ticket of another user: needs root, to give it to them\n";
    for (const bool sticky : {false, true}) {
        SCOPED_TRACE(sticky ? "sticky" : "plain");
        ::chmod(dir.c_str(), sticky ? 01777 : 0775);
        for (const uid_t owner : {::geteuid(), static_cast<uid_t>(60002)}) {
            if (owner != ::geteuid() && ::geteuid() != 0)
                continue;
            vyrtest::LockHolder other(dir);
            ASSERT_TRUE(other.held());
            if (owner != ::geteuid()) {
                ASSERT_EQ(::chown(tickets(dir)[0].c_str(), owner, owner), 0);
            }
            vyr::FolderLock writer(dir, false);
            EXPECT_EQ(writer.held(), sticky && owner != ::geteuid()) << owner;
            EXPECT_EQ(writer.busy(), !writer.held());
            if (writer.busy()) {
                EXPECT_NE(writer.why().find("is held by a run of the user"), std::string::npos)
                    << writer.why();
            }
            other.release();
            EXPECT_TRUE(vyr::FolderLock(dir, false).held());
        }
    }
    ::chmod(dir.c_str(), 0755);
}

// Two names of one file have one identity: a link (also one to a file not
// made yet), a hard link, a path through a linked folder.
TEST_F(AtomicFileTest, NamesOfOneFileShareItsIdentity)
{
    fs::create_symlink("later", dir + "/dangling");
    EXPECT_TRUE(vyr::file_identity(dir + "/dangling").same(vyr::file_identity(dir + "/later")));
    EXPECT_FALSE(vyr::file_identity(dir + "/dangling").same(vyr::file_identity(dir + "/other")));
    write(dir + "/later", "now it exists");
    EXPECT_TRUE(vyr::file_identity(dir + "/dangling").same(vyr::file_identity(dir + "/later")));
    fs::create_hard_link(dir + "/later", dir + "/hard");
    EXPECT_TRUE(vyr::file_identity(dir + "/hard").same(vyr::file_identity(dir + "/later")));
    fs::create_directory(dir + "/sub");
    fs::create_directory_symlink(dir + "/sub", dir + "/alias");
    EXPECT_TRUE(vyr::file_identity(dir + "/alias/new").same(vyr::file_identity(dir + "/sub/new")));
    EXPECT_TRUE(
        vyr::file_identity(dir + "/sub/../alias/new").same(vyr::file_identity(dir + "/sub/new")));
}

// The run's inputs are never written over: a commit onto one (by any name)
// fails with the reason and leaves it whole. An output data set may replace
// a data set read earlier, never the program; a file the run made itself is
// no protected input when it is read back.
TEST_F(AtomicFileTest, ACommitNeverReplacesAnInputOfTheRun)
{
    vyr::reset_run_files();
    write(dir + "/prog.vyr", "program");
    write(dir + "/in.csv", "data");
    fs::create_symlink("in.csv", dir + "/alias.csv");
    vyr::note_run_input(dir + "/prog.vyr");
    vyr::note_run_input(dir + "/in.csv", vyr::RunInput::DataSet);
    auto commit = [&](const std::string& name, bool dataSet, std::string& why) {
        vyr::AtomicFile f;
        EXPECT_TRUE(f.open(dir + "/" + name, why)) << why;
        if (dataSet)
            f.may_replace_data_sets();
        std::fputs("new", f.stream());
        return f.commit(why);
    };
    std::string why;
    EXPECT_FALSE(commit("alias.csv", false, why));
    EXPECT_NE(why.find("a data set this run reads as input"), std::string::npos) << why;
    EXPECT_FALSE(commit("prog.vyr", true, why));
    EXPECT_NE(why.find("never written over"), std::string::npos) << why;
    EXPECT_EQ(read(dir + "/in.csv"), "data");
    EXPECT_EQ(read(dir + "/prog.vyr"), "program");
    EXPECT_EQ(entries(), 3); // no temporary file left
    // A data set output replaces the data set; the file it made is then the
    // run's own, and reading it back does not protect it.
    EXPECT_TRUE(commit("in.csv", true, why)) << why;
    vyr::note_run_input(dir + "/in.csv", vyr::RunInput::DataSet);
    EXPECT_TRUE(commit("in.csv", false, why)) << why;
    EXPECT_EQ(read(dir + "/in.csv"), "new");
    vyr::reset_run_files();
    EXPECT_TRUE(commit("prog.vyr", false, why)) << why;
}

} // namespace

// A step's files wait in a private folder until the step ends, then are put
// in place together; dropped, they leave their targets as they were.
// Outside a step a staged file is put in place when it is finished.
TEST_F(AtomicFileTest, StagedFilesWaitForTheEndOfTheStep)
{
    vyr::reset_run_files();
    write(dir + "/a.svg", "old a");
    auto stage = [&](const std::string& name, const std::string& text) {
        vyr::StagedFile f;
        std::string why;
        ASSERT_TRUE(f.open(dir, name, "the file " + name, why)) << why;
        std::fputs(text.c_str(), f.stream());
        ASSERT_TRUE(f.finish(why)) << why;
    };
    vyr::step_files_begin();
    stage("a.svg", "new a");
    stage("b.svg", "new b");
    EXPECT_EQ(read(dir + "/a.svg"), "old a");
    EXPECT_FALSE(fs::exists(dir + "/b.svg"));
    EXPECT_TRUE(vyr::place_step_files().ok);
    EXPECT_EQ(read(dir + "/a.svg"), "new a");
    EXPECT_EQ(read(dir + "/b.svg"), "new b");
    EXPECT_EQ(entries(), 2) << "the private folder is gone";

    vyr::step_files_begin();
    stage("a.svg", "newer a");
    vyr::drop_step_files();
    EXPECT_EQ(read(dir + "/a.svg"), "new a");
    EXPECT_EQ(entries(), 2);

    stage("c.svg", "c");
    EXPECT_EQ(read(dir + "/c.svg"), "c");
    vyr::reset_run_files();
}

// Outside a step a staged file that fails or is abandoned takes its private
// folder with it: nothing is left, and a folder made again at that path
// takes new files.
TEST_F(AtomicFileTest, AStagedFileThatFailsOutsideAStepLeavesNothing)
{
    vyr::reset_run_files();
    std::string why;
    {
        setenv("KORV_FAIL_WRITE", "1", 1);
        vyr::reset_write_failure_hook();
        vyr::StagedFile f;
        ASSERT_TRUE(f.open(dir, "a.svg", "the file a.svg", why)) << why;
        std::fputs("a", f.stream());
        EXPECT_FALSE(f.finish(why));
        unsetenv("KORV_FAIL_WRITE");
        vyr::reset_write_failure_hook();
    }
    EXPECT_EQ(entries(), 0);
    {
        vyr::StagedFile f;
        ASSERT_TRUE(f.open(dir, "b.svg", "the file b.svg", why)) << why;
    }
    EXPECT_EQ(entries(), 0);
    fs::remove_all(dir);
    fs::create_directory(dir);
    EXPECT_TRUE(vyr::write_staged_file(
        dir, "c.svg", "the file c.svg", [](std::FILE* f) { return std::fputs("c", f) >= 0; }, why))
        << why;
    EXPECT_EQ(read(dir + "/c.svg"), "c");
    vyr::reset_run_files();
}

// A staged file stays in its folder and off the run's other outputs.
TEST_F(AtomicFileTest, StagedFilesStayInTheirFolderAndOffOtherOutputs)
{
    vyr::reset_run_files();
    fs::create_directories(dir + "/graphs");
    write(dir + "/victim", "victim");
    fs::create_symlink(dir + "/victim", dir + "/graphs/out.svg");
    write(dir + "/graphs/in.svg", "old");
    fs::create_hard_link(dir + "/graphs/in.svg", dir + "/graphs/alias.svg");
    fs::create_symlink("in.svg", dir + "/graphs/link.svg");
    vyr::StagedFile f;
    std::string why, other;
    EXPECT_FALSE(f.open(dir + "/graphs", "out.svg", "the graph file out.svg", why));
    EXPECT_NE(why.find("which is outside its folder"), std::string::npos) << why;
    ASSERT_TRUE(vyr::claim_output(dir + "/listing.svg", vyr::OutputKind::Document,
                                  "the file named by --listing", other));
    fs::create_symlink("../listing.svg", dir + "/graphs/listing.svg");
    EXPECT_FALSE(f.open(dir + "/graphs", "listing.svg", "the graph file listing.svg", why));
    // Two names of one file in the folder: the second is refused.
    ASSERT_TRUE(f.open(dir + "/graphs", "in.svg", "the graph file in.svg", why)) << why;
    f.abandon();
    EXPECT_FALSE(f.open(dir + "/graphs", "alias.svg", "the graph file alias.svg", why));
    EXPECT_NE(why.find("it is also the graph file in.svg"), std::string::npos) << why;
    // A link to another file of the folder is refused as such.
    EXPECT_FALSE(f.open(dir + "/graphs", "link.svg", "the graph file link.svg", why));
    EXPECT_NE(why.find("it is a symbolic link to in.svg"), std::string::npos) << why;
    // A data set may not land on a graph file either; data sets may replace
    // one another.
    EXPECT_FALSE(vyr::claim_output(dir + "/graphs/in.svg", vyr::OutputKind::DataSet,
                                   "the output data set 'in.svg'", other));
    EXPECT_EQ(other, "the graph file in.svg");
    EXPECT_TRUE(vyr::claim_output(dir + "/s.csv", vyr::OutputKind::DataSet, "WORK.S", other));
    EXPECT_TRUE(vyr::claim_output(dir + "/s.csv", vyr::OutputKind::DataSet, "WORK.S", other));
    EXPECT_EQ(read(dir + "/victim"), "victim");
    vyr::reset_run_files();
}

// What a killed run left (a private folder named as ours, unlocked, holding
// nothing but numbered files) is removed by the next run writing into the
// folder, and said, whatever lock a reader holds on its lock file (a flock,
// a read lock: no run's); a run still going (its folder's lock file
// write-locked), a user's file named like ours, and a folder of our name
// holding a user's file are kept.
TEST_F(AtomicFileTest, ANewRunRemovesWhatAKilledRunLeftAndNothingElse)
{
    vyr::reset_run_files();
    const std::string stale = dir + "/.korvante-step.korv-00112233445566aa.tmp";
    const std::string held = dir + "/.korvante-file.korv-fedcba9876543210.tmp";
    const std::string usersFile = dir + "/.notes.korv-0123456789abcdef.tmp";
    const std::string usersFolder = dir + "/.korvante-step.korv-0000000000000000.tmp";
    for (const std::string& f : {stale, held, usersFolder})
        fs::create_directories(f);
    write(stale + "/1", "staged");
    write(stale + "/2", "staged");
    write(held + "/1", "held");
    write(usersFile, "a user's notes");
    write(usersFolder + "/mine.txt", "a user's file");
    write(usersFolder + "/1", "a file of ours?");
    write(stale + "/lock", "");
    OpenHolder reader(stale + "/lock");
    ASSERT_TRUE(reader.held);
    // A living run holds the write lock of its hidden folder's lock file.
    const int fd = ::open((held + "/lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    struct flock fl {
    };
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
    vyr::AtomicFile f;
    std::string why;
    ASSERT_TRUE(f.open(dir + "/out.txt", why)) << why;
    EXPECT_TRUE(f.commit(why)) << why;
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(held + "/1"));
    EXPECT_EQ(read(usersFile), "a user's notes");
    EXPECT_EQ(read(usersFolder + "/mine.txt"), "a user's file");
    EXPECT_TRUE(fs::exists(usersFolder + "/1"));
    const std::vector<vyr::SweptFolder> swept = vyr::take_swept_folders();
    ASSERT_EQ(swept.size(), 1u);
    EXPECT_EQ(swept[0].path, stale);
    EXPECT_EQ(swept[0].files, 2);
    ::close(fd);
    vyr::reset_run_files();
}

namespace
{

// Runs `take` on a thread of its own and says whether it ended within 20
// seconds: a lock that waits for ever fails the test instead of holding it.
bool ends_in_time(std::function<void()> take)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([take, done] {
        take();
        done->set_value();
    }).detach();
    return ended.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

} // namespace

// A run never waits for a lock it holds: a lock within its own shares it. A
// run that holds a lock waits for another process's lock only so long, then
// says why (two runs each holding one and waiting for the other's would wait
// for ever).
TEST_F(AtomicFileTest, ARunNeverWaitsForItselfNorWithoutLimitWhileHoldingALock)
{
    fs::permissions(dir, fs::perms(0755));
    auto writer = std::make_unique<vyr::FolderLock>(dir);
    ASSERT_TRUE(writer->held()) << writer->why();
    bool held = false;
    ASSERT_TRUE(ends_in_time([&] { held = vyr::FolderLock(dir).held(); }));
    EXPECT_TRUE(held);
    writer.reset();
    EXPECT_TRUE(tickets(dir).empty());

    // Another process holds the lock of the folder `other`.
    const std::string other = dir + "/other";
    fs::create_directory(other);
    vyrtest::LockHolder holder(other);
    ASSERT_TRUE(holder.held());
    setenv("KORV_LOCK_WAIT_MS", "300", 1);
    vyr::FolderLock mine(dir);
    ASSERT_TRUE(mine.held());
    bool busy = false;
    std::string why;
    EXPECT_TRUE(ends_in_time([&] {
        vyr::FolderLock theirs(other);
        busy = theirs.busy();
        why = theirs.why();
    }));
    unsetenv("KORV_LOCK_WAIT_MS");
    EXPECT_TRUE(busy);
    EXPECT_NE(why.find("gave up after waiting 300 milliseconds"), std::string::npos) << why;

    // A wait of more than a second is said, with the time left in whole
    // seconds.
    setenv("KORV_LOCK_WAIT_MS", "1500", 1);
    vyr::step_files_begin();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ends_in_time([&] { busy = vyr::FolderLock(other).busy(); }));
    const std::string log = testing::internal::GetCapturedStderr();
    unsetenv("KORV_LOCK_WAIT_MS");
    vyr::drop_step_files();
    EXPECT_TRUE(busy);
    EXPECT_NE(log.find("this run waits for it at most 1 second more, as it holds another lock"),
              std::string::npos)
        << log;
}

// A claim by inode holds only while the claimed file is at its name: once a
// commit has replaced it, a file given the freed inode (here the old file
// kept under another name, as a file another run makes later may get it) is
// another file.
TEST_F(AtomicFileTest, AClaimLetsGoOfAnInodeItsFileNoLongerHas)
{
    vyr::reset_run_files();
    write(dir + "/g.svg", "another run's graph");
    std::string other, why;
    ASSERT_TRUE(
        vyr::claim_output(dir + "/g.svg", vyr::OutputKind::Graph, "the graph file g.svg", other));
    fs::create_hard_link(dir + "/g.svg", dir + "/os.attr");
    vyr::AtomicFile f;
    ASSERT_TRUE(f.open(dir + "/g.svg", why)) << why;
    std::fputs("this run's graph", f.stream());
    ASSERT_TRUE(f.commit(why)) << why;
    EXPECT_TRUE(vyr::claim_output(dir + "/os.attr", vyr::OutputKind::DataSet,
                                  "the output data set WORK.OS", other))
        << other;
    vyr::reset_run_files();
}

// An entry of a permanent catalogue replaces nothing: a file made at its
// name while the step ran is kept, and the entry's files (its SVG file and
// its image) take the next free name together, which is reported. So also
// where the file system cannot rename without replacing (the entry's files
// are linked into place), and where it has no hard links either (the name
// is looked at first).
TEST_F(AtomicFileTest, ANewEntryTakesTheNextNameWhenItsOwnWasTakenMeanwhile)
{
    for (const char* mode : {"", "KORV_NO_EXCHANGE", "KORV_NO_LINKS"}) {
        SCOPED_TRACE(mode);
        fs::remove_all(dir);
        fs::create_directories(dir);
        if (*mode != '\0')
            setenv("KORV_NO_EXCHANGE", "1", 1);
        if (std::string(mode) == "KORV_NO_LINKS")
            setenv("KORV_NO_LINKS", "1", 1);
        vyr::reset_run_files();
        vyr::catalogue_names_reset();
        std::string why;
        ASSERT_EQ(vyr::catalogue_use(dir, true, why), 0) << why;
        const std::string entry = vyr::catalogue_entry_name(dir, "KORVANTE");
        vyr::step_files_begin();
        for (const std::string ext : {".svg", ".png"})
            ASSERT_TRUE(vyr::write_staged_file(
                dir, entry + ext, "the entry " + entry + ext,
                [&](std::FILE* f) { return std::fputs(ext.c_str(), f) >= 0; }, why,
                vyr::StagedPlacement::NewEntry))
                << why;
        write(dir + "/KORVANTE.png", "made meanwhile");
        const vyr::Placing placed = vyr::place_step_files();
        unsetenv("KORV_NO_EXCHANGE");
        unsetenv("KORV_NO_LINKS");
        EXPECT_TRUE(placed.ok) << placed.why;
        EXPECT_EQ(read(dir + "/KORVANTE.png"), "made meanwhile");
        EXPECT_FALSE(fs::exists(dir + "/KORVANTE.svg"));
        EXPECT_EQ(read(dir + "/KORVANT1.svg"), ".svg");
        EXPECT_EQ(read(dir + "/KORVANT1.png"), ".png");
        EXPECT_EQ(entries(), 3) << "KORVANTE.png, KORVANT1.svg and .png";
        const std::vector<vyr::MovedEntry>& moved = placed.moved;
        ASSERT_EQ(moved.size(), 1u);
        EXPECT_EQ(moved[0].planned, dir + "/KORVANTE.svg");
        EXPECT_EQ(moved[0].placed, dir + "/KORVANT1.svg");
    }
    vyr::catalogue_names_reset();
    vyr::reset_run_files();
}

// A placing taken back after one of its entries took another name leaves
// nothing of that behind: a later placing reports no entry put in place
// under another name.
TEST_F(AtomicFileTest, AnUndonePlacingLeavesNoMovedEntryBehind)
{
    vyr::reset_run_files();
    vyr::catalogue_names_reset();
    std::string why;
    ASSERT_EQ(vyr::catalogue_use(dir, true, why), 0) << why;
    auto stage = [&](const std::string& name, vyr::StagedPlacement placement) {
        ASSERT_TRUE(vyr::write_staged_file(
            dir, name, "the file " + name, [](std::FILE* f) { return std::fputs("x", f) >= 0; },
            why, placement))
            << why;
    };
    setenv("KORV_FAIL_PLACE", "3", 1); // the clash, the entry, then other.svg
    vyr::step_files_begin();
    unsetenv("KORV_FAIL_PLACE");
    stage(vyr::catalogue_entry_name(dir, "KORVANTE") + ".svg", vyr::StagedPlacement::NewEntry);
    stage("other.svg", vyr::StagedPlacement::Replace);
    write(dir + "/KORVANTE.svg", "made meanwhile");
    const vyr::Placing failed = vyr::place_step_files();
    EXPECT_FALSE(failed.ok);
    EXPECT_FALSE(fs::exists(dir + "/KORVANT1.svg"));
    vyr::step_files_begin();
    stage("later.svg", vyr::StagedPlacement::Replace);
    const vyr::Placing later = vyr::place_step_files();
    EXPECT_TRUE(later.ok) << later.why;
    EXPECT_TRUE(later.moved.empty());
    vyr::catalogue_names_reset();
    vyr::reset_run_files();
}

namespace
{

// A step reaches a folder once, whatever form its path takes ("d", "d/",
// "d/."), and a folder under it (a graphs folder) from the folder held:
// the folder is traded for another under its name mid-step, and what the
// step makes below it still lands in the folder it holds. Whether a folder
// lies inside another is judged all the way up, not one level.
TEST_F(AtomicFileTest, AStepReachesFoldersUnderOneItHoldsFromThatFolder)
{
    const std::string d = dir + "/d";
    fs::create_directories(d + "/a/b");
    vyr::step_files_begin();
    std::string why;
    const vyr::HeldRef held = vyr::step_folder(d, false, why);
    ASSERT_NE(held, nullptr) << why;
    EXPECT_EQ(vyr::step_folder(d + "/", false, why), held);
    EXPECT_EQ(vyr::step_folder(d + "/.", false, why), held);
    // Traded: the name now leads to another folder.
    fs::rename(d, dir + "/moved");
    fs::create_directory(d);
    std::string where;
    ASSERT_EQ(vyr::prepare_folder(d + "/graphs", d, where), vyr::FolderState::Ready) << where;
    EXPECT_TRUE(fs::is_directory(dir + "/moved/graphs"));
    EXPECT_FALSE(fs::exists(d + "/graphs"));
    const vyr::HeldRef deep = vyr::step_folder(d + "/a/b", false, why);
    ASSERT_NE(deep, nullptr) << why;
    std::string failed;
    EXPECT_TRUE(vyr::folder_inside(*deep, *held, failed)) << failed;
    const vyr::HeldRef other = vyr::hold_folder(d, false, why);
    ASSERT_NE(other, nullptr) << why;
    EXPECT_FALSE(vyr::folder_inside(*deep, *other, failed));
    EXPECT_EQ(failed, "");
    vyr::drop_step_files();
}

// Every spelling of a folder is one folder in a step, whichever is walked
// first: "d/sub/.." walked before "d" holds d on its way, a link to d
// leads to the d held, and both are the folder held, not another walk of
// it. The name d is traded for another folder between the uses.
TEST_F(AtomicFileTest, AStepKnowsAFolderByWhatItIsWhateverItsSpelling)
{
    const std::string d = dir + "/d";
    fs::create_directories(d + "/sub");
    fs::create_directory_symlink(d, dir + "/link");
    vyr::step_files_begin();
    std::string why;
    const vyr::HeldRef up = vyr::step_folder(d + "/sub/..", false, why);
    ASSERT_NE(up, nullptr) << why;
    fs::rename(d, dir + "/moved");
    fs::create_directories(d + "/sub");
    EXPECT_EQ(vyr::step_folder(d, false, why).get(), up.get());
    EXPECT_EQ(vyr::step_folder(dir + "/link/", false, why).get(), up.get());
    std::string where;
    ASSERT_EQ(vyr::prepare_folder(d + "//graphs", d + "/.", where), vyr::FolderState::Ready)
        << where;
    EXPECT_TRUE(fs::is_directory(dir + "/moved/graphs"));
    EXPECT_FALSE(fs::exists(d + "/graphs"));
    vyr::drop_step_files();

    // Walked first through a link, the link's target is held as the folder
    // under its own spelling too.
    vyr::step_files_begin();
    const vyr::HeldRef viaLink = vyr::step_folder(dir + "/link", false, why);
    ASSERT_NE(viaLink, nullptr) << why;
    fs::rename(d, dir + "/moved2");
    fs::create_directory(d);
    EXPECT_EQ(vyr::step_folder(d + "/sub/..", false, why).get(), viaLink.get());
    EXPECT_TRUE(fs::is_directory(dir + "/moved2/sub"));
    vyr::drop_step_files();
}

// ".." after a link is taken as the kernel takes it, from the folder the
// link leads to, never as the name before it.
TEST_F(AtomicFileTest, DotDotAfterALinkIsTheParentOfWhereTheLinkLeads)
{
    fs::create_directories(dir + "/d/deep/inner");
    fs::create_directory_symlink(dir + "/d/deep/inner", dir + "/d/sub");
    vyr::step_files_begin();
    std::string why;
    const vyr::HeldRef d = vyr::step_folder(dir + "/d", false, why);
    const vyr::HeldRef up = vyr::step_folder(dir + "/d/sub/..", false, why);
    const vyr::HeldRef deep = vyr::step_folder(dir + "/d/deep", false, why);
    ASSERT_NE(up, nullptr) << why;
    EXPECT_NE(up.get(), d.get());
    EXPECT_EQ(up.get(), deep.get());
    vyr::drop_step_files();
}

} // namespace
