// Where data set names lead: one-level outputs to WORK, one-level inputs
// from WORK and then the data folder, names that would lead out of their
// library, and the data sets of one step that are one file in disguise.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "data_test_util.h"
#include "support/lock_holder.h"
#include "vyr_atomic_file.h"
#include "vyr_data.h"
#include "vyr_session.h"

using vyrtest::TempDir;
namespace fs = std::filesystem;

namespace
{

// A run's settings: the data folder `data`, WORK in `work`.
class DataNames : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        fs::create_directories(dataDir());
        fs::create_directories(workDir());
        fs::create_directories(outside());
        settings_.dataDir = dataDir();
        settings_.outDir = workDir();
        apply();
    }
    void TearDown() override
    {
        vyr_data_step_end(false);
        vyr_run_text(VyrSettings{}, "options;");
    }
    void apply() { vyr_run_text(settings_, "options;"); }
    std::string dataDir() const { return dir_.file("data"); }
    std::string workDir() const { return dir_.file("work"); }
    std::string outside() const { return dir_.file("outside"); }
    std::string write(const std::string& where, const std::string& name,
                      const std::string& content = "a,b\n1,2\n") const
    {
        return dir_.write(fs::path(where).lexically_relative(dir_.path()).string() + "/" + name,
                          content);
    }
    // Opens a data set, capturing the log.
    DSHANDLE* open(const std::string& name, int mode, bool quoted = false,
                   std::string* log = nullptr)
    {
        testing::internal::CaptureStderr();
        DSHANDLE* ds = nullptr;
        vyr_dsopen(name, mode, quoted, &ds);
        std::string text = testing::internal::GetCapturedStderr();
        if (log)
            *log = text;
        return ds;
    }

    TempDir dir_;
    VyrSettings settings_;
};

bool has(const std::string& text, const std::string& part);

} // namespace

// Records a data set as made by this run (the host's own output path calls it).
void vyr_data_note_created(const std::string& name);

namespace
{

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST_F(DataNames, OneLevelOutputsGoToWorkAndInputsLookThereFirst)
{
    const std::string user = write(dataDir(), "lung.csv", "time\n5\n");
    DSHANDLE* out = open("lung", VYR_DS_OUTPUT);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(vyr_dsname(out), "WORK.LUNG");
    EXPECT_EQ(fs::path(vyr_dspath(out)).parent_path(), fs::path(workDir()));
    vyr_data_step_end(false);
    EXPECT_EQ(dir_.read("data/lung.csv"), "time\n5\n"); // the user's file is untouched

    // Input: WORK first for a data set this run made, then the data folder.
    DSHANDLE* in = open("lung", VYR_DS_INPUT);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(vyr_dsname(in), "DATA.LUNG");
    vyr_data_step_end(true);
    // One left in WORK by an earlier run gives way to the data folder's,
    // with a note; one this run made is read.
    write(workDir(), "LUNG.csv", "time\n7\n");
    std::string note;
    in = open("lung", VYR_DS_INPUT, false, &note);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(vyr_dsname(in), "DATA.LUNG");
    EXPECT_TRUE(has(note, "NOTE: The data set LUNG is read from the data folder")) << note;
    vyr_data_step_end(true);
    vyr_data_note_created("WORK.LUNG");
    in = open("lung", VYR_DS_INPUT);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(vyr_dsname(in), "WORK.LUNG");
    EXPECT_DOUBLE_EQ(vyr::data::number(in, 1, 1), 7.0);
    vyr_data_step_end(true);
    // Two-level names keep their meaning.
    in = open("data.lung", VYR_DS_INPUT);
    ASSERT_NE(in, nullptr);
    EXPECT_DOUBLE_EQ(vyr::data::number(in, 1, 1), 5.0);
    (void)user;
}

// An output that is the step's input under another name is refused, in
// either order of opening, and nothing is written; so is one output twice.
TEST_F(DataNames, AStepsOutputNeverLandsOnItsInput)
{
    write(workDir(), "s.csv", "a,b\n1,2\n");
    fs::create_symlink("s.csv", workDir() + "/alias.csv");
    struct Case {
        const char* first;
        int firstMode;
        const char* second;
        int secondMode;
        bool secondQuoted;
        const char* message;
    };
    const std::string quotedS = workDir() + "/s.csv";
    const std::string quotedAttr = workDir() + "/s.attr";
    const std::string quotedStem = workDir() + "/s";
    const Case cases[] = {
        {"work.s", VYR_DS_INPUT, "s", VYR_DS_OUTPUT, false,
         "The output data set WORK.S would replace WORK.S, the input data set of this step"},
        {"s", VYR_DS_OUTPUT, "s", VYR_DS_INPUT, false, "would replace WORK.S"},
        {"s", VYR_DS_INPUT, "alias", VYR_DS_OUTPUT, false, "WORK.ALIAS would replace WORK.S"},
        {"s", VYR_DS_INPUT, quotedS.c_str(), VYR_DS_OUTPUT, true, "would replace WORK.S"},
        // A quoted name whose CSV file is the input's attribute file, and
        // one whose attribute file is the input's.
        {"s", VYR_DS_INPUT, quotedAttr.c_str(), VYR_DS_OUTPUT, true, "would replace WORK.S"},
        {"s", VYR_DS_INPUT, quotedStem.c_str(), VYR_DS_OUTPUT, true, "would replace WORK.S"},
        {"t", VYR_DS_OUTPUT, "work.t", VYR_DS_OUTPUT, false,
         "The output data set WORK.T is named twice in this step;"},
        {"s", VYR_DS_OUTPUT, "alias", VYR_DS_OUTPUT, false,
         "WORK.ALIAS is named twice in this step (as WORK.S and WORK.ALIAS)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " then " + c.second);
        ASSERT_NE(open(c.first, c.firstMode), nullptr);
        std::string log;
        EXPECT_EQ(open(c.second, c.secondMode, c.secondQuoted, &log), nullptr);
        EXPECT_TRUE(has(log, c.message)) << log;
        vyr_data_step_end(false);
        EXPECT_EQ(dir_.read("work/s.csv"), "a,b\n1,2\n");
        for (const auto& f : fs::directory_iterator(workDir()))
            EXPECT_TRUE(f.path().filename() == "s.csv" || f.path().filename() == "alias.csv")
                << f.path();
    }
    // In separate steps the same name is fine.
    ASSERT_NE(open("s", VYR_DS_INPUT), nullptr);
    vyr_data_step_end(true);
    ASSERT_NE(open("s", VYR_DS_OUTPUT), nullptr);
}

// A name never leads out of its library folder through a symbolic link;
// a quoted path is the user's own and is used as given.
TEST_F(DataNames, NamesStayInsideTheirLibrary)
{
    const std::string target = write(outside(), "x.csv");
    fs::create_symlink(target, dataDir() + "/evil.csv");
    fs::create_symlink(target, workDir() + "/evil.csv");
    fs::create_symlink(outside() + "/x.attr", workDir() + "/attr.attr");
    write(workDir(), "attr.csv");
    struct Case {
        const char* name;
        int mode;
        const char* message;
    };
    const Case cases[] = {
        {"data.evil", VYR_DS_INPUT, "is outside its library folder"},
        {"work.evil", VYR_DS_INPUT, "is outside its library folder"},
        {"evil", VYR_DS_OUTPUT, "is outside its library folder"},
        {"attr", VYR_DS_OUTPUT, "outside/x.attr, which is outside its library folder"},
        {"work...x", VYR_DS_INPUT, "The name work...x is not a valid data set name"},
        {"../outside/x", VYR_DS_INPUT, "is not a valid data set name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string log;
        EXPECT_EQ(open(c.name, c.mode, false, &log), nullptr);
        EXPECT_TRUE(has(log, c.message)) << log;
        vyr_data_step_end(false);
    }
    EXPECT_EQ(dir_.read("outside/x.csv"), "a,b\n1,2\n");
    EXPECT_FALSE(fs::exists(outside() + "/x.attr"));
    EXPECT_NE(open(dataDir() + "/evil.csv", VYR_DS_INPUT, true), nullptr);
}

// The run's listing, log, HTML or JSON file may not be an input data set.
// (One named as a data set's file in the data folder or WORK is refused
// before the run; these are found as the run goes.)
TEST_F(DataNames, AnInputIsNoneOfTheRunsOutputFiles)
{
    settings_.listing = dir_.file("listing.csv");
    settings_.json = dir_.file("res.csv");
    apply();
    dir_.write("listing.csv", "a\n1\n");
    dir_.write("res.csv", "a\n1\n");
    write(dataDir(), "other.csv", "a\n1\n");
    std::string log;
    EXPECT_EQ(open(dir_.file("listing.csv"), VYR_DS_INPUT, true, &log), nullptr);
    EXPECT_TRUE(has(log, "The listing file " + dir_.file("listing.csv") + " is the input data set"))
        << log;
    EXPECT_EQ(open(dir_.file("res.csv"), VYR_DS_INPUT, true, &log), nullptr);
    EXPECT_TRUE(has(log, "The JSON file")) << log;
    EXPECT_NE(open("other", VYR_DS_INPUT), nullptr);
}

// An output data set may not land on the run's listing, log, HTML or JSON
// file (its CSV or its attribute file), nor on the program.
TEST_F(DataNames, AnOutputIsNoneOfTheRunsFiles)
{
    settings_.listing = dir_.file("s.csv");
    settings_.html = dir_.file("page.attr");
    settings_.program = dir_.file("prog.vyr");
    dir_.write("prog.vyr", "proc korvante; run;\n");
    apply();
    struct Case {
        std::string name;
        bool quoted;
        const char* message;
    };
    const Case cases[] = {
        {dir_.file("s.csv"), true, "would land on the listing file"},
        {dir_.file("page.csv"), true, "would land on the HTML file"},
        {dir_.file("prog.vyr"), true, "which this run reads (the program or the registry file)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string log;
        EXPECT_EQ(open(c.name, VYR_DS_OUTPUT, c.quoted, &log), nullptr);
        EXPECT_TRUE(has(log, c.message)) << log;
        vyr_data_step_end(true);
    }
    EXPECT_EQ(dir_.read("prog.vyr"), "proc korvante; run;\n");
    EXPECT_FALSE(dir_.exists("page.csv"));
    EXPECT_FALSE(dir_.exists("s.attr"));
}

// A link planted at a lock's names (a ticket's, an earlier version's lock
// file's) is no lock: a reader reads and a writer writes, and the file it
// leads to is left as it is.
TEST_F(DataNames, ALinkPlantedAtALocksNameIsNeverFollowed)
{
    write(workDir(), "in.csv", "a\n1\n");
    const std::string victim = write(outside(), "victim.txt", "victim");
    for (const char* name : {"/.korvante-w-0000000000000000.lock", "/.korvante-o.lock"})
        fs::create_symlink(victim, workDir() + name);
    std::string log;
    EXPECT_NE(open("in", VYR_DS_INPUT, false, &log), nullptr);
    EXPECT_FALSE(has(log, "WARNING")) << log;
    vyr_data_step_end(true);
    double v = 1;
    testing::internal::CaptureStderr();
    DSHANDLE* out = nullptr;
    ASSERT_EQ(vyr_dsopen("out", VYR_DS_OUTPUT, false, &out), 0);
    XVHANDLE* h = nullptr;
    xvputi(out, 1, 32, &h);
    NAMESTR nm{};
    nm.name_p = "v";
    nm.namelen = 1;
    nm.label_p = "";
    xvputd(h, &nm, 0, &v, 0, 0, 0);
    xvpute(h);
    xyvput(h, nullptr);
    vyr_data_step_end(true);
    log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(has(log, "ERROR")) << log;
    EXPECT_TRUE(fs::exists(workDir() + "/out.csv"));
    EXPECT_TRUE(fs::exists(workDir() + "/out.attr"));
    EXPECT_EQ(dir_.read("outside/victim.txt"), "victim");
    int files = 0;
    for ([[maybe_unused]] const auto& f : fs::directory_iterator(workDir()))
        ++files;
    EXPECT_EQ(files, 5); // in.csv, out's pair and the planted links: no temporary file
}

// A reader takes no lock, and waits for none: while a writer (another
// process) holds the folder's lock to commit a pair, the reader reads.
TEST_F(DataNames, ReadersWaitForNoWritersLock)
{
    write(dataDir(), "pair.csv", "a\n1\n");
    vyrtest::LockHolder writer(dataDir());
    ASSERT_TRUE(writer.held());
    std::future<DSHANDLE*> reading =
        std::async(std::launch::async, [this] { return open("pair", VYR_DS_INPUT); });
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_NE(reading.get(), nullptr);
}

// A run never waits for its own lock: a step that holds a folder's lock (a
// catalogue's, or a data set's while it is committed) reads a data set there
// at once.
TEST_F(DataNames, ARunReadsAFolderWhoseLockItHolds)
{
    write(dataDir(), "pair.csv", "a\n1\n");
    vyr::FolderLock writer(dataDir());
    ASSERT_TRUE(writer.held());
    // A detached reader: one that waited for ever would not hold the test.
    auto done = std::make_shared<std::promise<DSHANDLE*>>();
    std::future<DSHANDLE*> reading = done->get_future();
    std::thread([this, done] { done->set_value(open("pair", VYR_DS_INPUT)); }).detach();
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_NE(reading.get(), nullptr);
}

} // namespace
