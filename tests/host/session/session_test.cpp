// Whole programs through the session: global statements, step boundaries,
// step return codes and the exit status, with the listing and log captured.

#include "host/session/session_state.h"
#include "vyr_atomic_file.h"
#include "vyr_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

struct Captured {
    std::string listing, log;
    int status = 0;
};

// What the test procedure saw of each step it ran.
std::vector<VyrStep> g_seen;
int g_exitWith = 0;
int g_taskExitCalls = 0;

int recording_proc()
{
    g_seen.push_back(*xcurrentstep());
    if (g_exitWith != 0)
        xexit(g_exitWith, 0);
    return 0;
}

Captured run(const std::string& program, VyrSettings settings = {})
{
    Captured c;
    vyr::print_capture(&c.listing, &c.log);
    c.status = vyr_run_text(settings, program);
    vyr::print_capture(nullptr, nullptr);
    return c;
}

class Session : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        g_seen.clear();
        g_exitWith = 0;
        g_taskExitCalls = 0;
        vyr::hooks_clear();
        vyr_register_procedure("TESTPROC", recording_proc);
    }
};

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(Session, StepsEndAtRunAtTheNextProcAndAtTheEnd)
{
    Captured c = run("proc testproc a=1; x 1; proc testproc; y; run; z; proc testproc; w;");

    // "z" stands outside any step: an error, and the run fails.
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[0].statements.size(), 2u);
    EXPECT_EQ(g_seen[0].statements[0].text, "proc testproc a=1");
    EXPECT_FALSE(g_seen[0].endedByRun);
    EXPECT_TRUE(g_seen[1].endedByRun);
    EXPECT_EQ(g_seen[1].statements[1].text, "y");
    EXPECT_FALSE(g_seen[2].endedByRun);
    EXPECT_EQ(g_seen[2].number, 3);
    EXPECT_EQ(g_seen[2].proc, "TESTPROC");
    EXPECT_TRUE(
        has(c.log, "ERROR: Line 1, column 48: The statement z is not valid outside a PROC step."));
    EXPECT_EQ(c.status, 1);
}

TEST_F(Session, LetSubstitutesIntoLaterStatementsOnly)
{
    Captured c =
        run("%let d = lung ;\nproc testproc data=&d; strata &v; %let v = sex; time &v; run;");
    ASSERT_EQ(g_seen.size(), 1u);
    ASSERT_EQ(g_seen[0].statements.size(), 3u);
    EXPECT_EQ(g_seen[0].statements[0].text, "proc testproc data=lung");
    EXPECT_EQ(g_seen[0].statements[1].text, "strata &v"); // not yet defined: kept, with a warning
    EXPECT_EQ(g_seen[0].statements[2].text, "time sex");
    EXPECT_TRUE(has(c.log, "WARNING: Line 2, column 31: The macro variable v is not defined"));
    EXPECT_EQ(c.status, 0);
    EXPECT_STREQ(xjsymget("D"), "lung");
    double v = 0;
    EXPECT_EQ(xjsymgn("d", &v), 2);
    EXPECT_EQ(xjsymgn("nothere", &v), 1);
}

TEST_F(Session, StepReturnCodeIsTheLargestReachedAndDecidesTheExitStatus)
{
    g_exitWith = 4;
    Captured warn = run("proc testproc; run;");
    EXPECT_EQ(warn.status, 0);
    ASSERT_EQ(vyr_step_rcs().size(), 1u);
    EXPECT_EQ(vyr_step_rcs()[0], 4);

    vyr_register_procedure("RAISER", []() -> int {
        xsetrc(12);
        xsetrc(3);
        xexit(2, 0);
    });
    Captured bad = run("proc raiser; run; proc testproc; run;");
    ASSERT_EQ(vyr_step_rcs().size(), 2u);
    EXPECT_EQ(vyr_step_rcs()[0], 12);
    EXPECT_EQ(vyr_step_rcs()[1], 4);
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(has(bad.log, "PROC RAISER stopped with return code 12"));
    EXPECT_TRUE(has(bad.log, "ERROR: The run ended with errors: 1 of 2 step(s)"));
}

TEST_F(Session, UnregisteredProceduresEndWithAClearError)
{
    Captured c = run("proc korvante data=lung; time t*s(1); run;");
    if (vyr_find_procedure("KORVANTE") == nullptr) {
        EXPECT_TRUE(has(c.log, "ERROR: The procedure KORVANTE is not available in this build"));
        EXPECT_EQ(c.status, 1);
    }
    Captured d = run("proc nosuch; run;");
    EXPECT_TRUE(has(d.log, "ERROR: The procedure NOSUCH was not found."));
    EXPECT_EQ(d.status, 1);
    ASSERT_EQ(vyr_step_rcs().size(), 1u);
    EXPECT_GT(vyr_step_rcs()[0], 4);
}

TEST_F(Session, TaskExitsAndHooksRunAtStepEndAndHooksMayRaiseTheCode)
{
    vyr_register_procedure("HOOKED", [] {
        xytexit([] { ++g_taskExitCalls; });
        *xprocanchor() = &g_taskExitCalls;
        return 0;
    });
    std::vector<int> seenRc;
    vyr_on_step_end([&](const VyrStep& step, int& rc) {
        seenRc.push_back(rc);
        if (step.proc == "HOOKED")
            rc = 8; // e.g. an output file could not be written
    });
    Captured c = run("proc hooked; run; proc testproc; run;");
    EXPECT_EQ(g_taskExitCalls, 1);
    EXPECT_EQ(seenRc, (std::vector<int>{0, 0}));
    EXPECT_EQ(vyr_step_rcs(), (std::vector<int>{8, 0}));
    EXPECT_EQ(*xprocanchor(), nullptr); // cleared between steps
    EXPECT_EQ(c.status, 1);
}

TEST_F(Session, ExceptionsInAProcedureEndOnlyThatStep)
{
    vyr_register_procedure("THROWER", []() -> int { throw std::runtime_error("boom"); });
    Captured c = run("proc thrower; run; proc testproc; run;");
    EXPECT_EQ(vyr_step_rcs(), (std::vector<int>{1012, 0}));
    EXPECT_TRUE(has(c.log, "unexpected failure: boom"));
    EXPECT_EQ(g_seen.size(), 1u);
}

TEST_F(Session, OptionsAreReadBackAndBadValuesAreErrorsWithPlaces)
{
    Captured c =
        run("options linesize=80 pagesize=20 validvarname=v6 debug='syn,sem' nocenter mine=abc;\n"
            "options ls=40;\n"
            "options fancy;");
    int len = 0;
    EXPECT_STREQ(xoptcgt("LINESIZE", &len), "80");
    EXPECT_EQ(len, 2);
    EXPECT_EQ(xplinesize(), 80);
    EXPECT_EQ(xppagesize(), 20);
    EXPECT_STREQ(xoptcgt("validvarname", &len), "V6");
    EXPECT_STREQ(xoptcgt("DEBUG", &len), "syn,sem");
    EXPECT_STREQ(xoptcgt("MINE", &len), "abc");
    EXPECT_STREQ(xoptcgt("CENTER", &len), "0");
    EXPECT_STREQ(xoptcgt("NOTSET", &len), "");
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(has(
        c.log, "ERROR: Line 2, column 12: The value 40 is not valid for the option LS: LINESIZE= "
               "takes a whole number from 64 to 256."));
    EXPECT_TRUE(has(c.log, "WARNING: Line 3, column 9: The option FANCY is not known"));
    EXPECT_EQ(c.status, 1);
}

TEST_F(Session, CommandLineOptionsAndThreadOptions)
{
    VyrSettings s;
    s.options["THREADS"] = "nothreads";
    s.options["CPUCOUNT"] = "3";
    Captured c = run("options;", s);
    EXPECT_EQ(c.status, 0);
    double v = -1;
    EXPECT_EQ(xyrngef("THREADS", &v), 0);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(xyrngef("CPUCOUNT", &v), 0);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(wyrn6gf(4401), 0);
    EXPECT_EQ(wyrn6gf(4153), 3);
    EXPECT_LT(xyrngef("NOSUCHOPTION", &v), 0);

    s.options["LINESIZE"] = "9";
    // A bad command-line setting is a command-line error: the program does
    // not run.
    Captured bad = run("options;", s);
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(has(bad.log, "--option LINESIZE=9 is not valid"));
}

TEST_F(Session, TitlesHeadListingPagesAndLowerTitlesAreCleared)
{
    vyr_register_procedure("PRINTER", [] {
        for (int i = 0; i < 30; ++i)
            vyr_print_line("row " + std::to_string(i));
        return 0;
    });
    Captured c = run("options ls=64 ps=15 nonumber;\n"
                     "title 'First';\ntitle3 'Third';\ntitle2 \"Second\";\nfootnote 'Foot';\n"
                     "proc printer; run;");
    EXPECT_EQ(vyr_titles()[0], "First");
    EXPECT_EQ(vyr_titles()[1], "Second");
    EXPECT_EQ(vyr_titles()[2], ""); // TITLE2 clears TITLE3 onward
    // 15 lines a page: 2 titles + blank + 10 rows + blank + footnote.
    std::size_t pages = 1;
    for (char ch : c.listing)
        pages += ch == '\f';
    EXPECT_EQ(pages, 3u);
    EXPECT_TRUE(has(c.listing,
                    std::string(29, ' ') + "First\n" + std::string(29, ' ') + "Second\n\nrow 0\n"));
    EXPECT_TRUE(has(c.listing, "row 9\n\n" + std::string(30, ' ') + "Foot\n\f"));
    EXPECT_FALSE(has(c.listing, "Third"));
}

TEST_F(Session, AStepsLastPageKeepsTheFootnotesInForceWhileItRan)
{
    vyr_register_procedure("PRINTER", [] {
        vyr_print_line("a row");
        return 0;
    });
    Captured c = run("options nonumber;\ntitle 'One';\nproc printer; run;\n"
                     "footnote 'Later';\nproc printer; run;");
    // The first step's page ends before the FOOTNOTE statement is read.
    std::size_t ff = c.listing.find('\f');
    ASSERT_NE(ff, std::string::npos) << c.listing;
    EXPECT_FALSE(has(c.listing.substr(0, ff), "Later")) << c.listing;
    EXPECT_TRUE(has(c.listing.substr(ff), "Later")) << c.listing;
}

TEST_F(Session, NullStatementsAreAcceptedEverywhere)
{
    Captured c = run(";;\nproc testproc; ; run;\n;\n");
    EXPECT_EQ(c.status, 0) << c.log;
    EXPECT_FALSE(has(c.log, "ERROR")) << c.log;
    ASSERT_EQ(g_seen.size(), 1u);
}

TEST_F(Session, LibnameAssignsExistingFoldersOnly)
{
    std::string here = std::filesystem::current_path().string();
    Captured c = run("libname mylib '" + here +
                     "';\nlibname bad '/no/such/folder/anywhere';\nlibname work '.';\n"
                     "libname toolongname '.';");
    EXPECT_EQ(std::filesystem::path(vyr_library_path("MyLib")),
              std::filesystem::path(here).lexically_normal());
    EXPECT_EQ(vyr_library_path("bad"), "");
    EXPECT_TRUE(
        has(c.log, "ERROR: Line 2, column 13: The folder /no/such/folder/anywhere does not exist"));
    EXPECT_TRUE(has(c.log, "ERROR: Line 3, column 9: The libref WORK is the output folder"));
    EXPECT_TRUE(
        has(c.log, "ERROR: Line 4, column 9: Expected a libref of at most 8 characters here."));
    EXPECT_EQ(c.status, 1);
}

namespace
{

// WORK as a step of the session sees it.
struct WorkSeen {
    std::string folder, library;
    bool isFolder = false;
};
WorkSeen g_work;

int work_seeing_proc()
{
    g_work.folder = vyr_work_dir();
    g_work.isFolder = std::filesystem::is_directory(g_work.folder);
    g_work.library = vyr_library_path("work");
    return 0;
}

} // namespace

TEST_F(Session, LibrariesDefaultToTheProgramAndOutputFolders)
{
    VyrSettings s;
    s.program = "some/dir/prog.vyr";
    // Without --out, WORK is a temporary folder that exists while it is
    // used, and goes with the session.
    g_work = WorkSeen{};
    vyr_register_procedure("WORKSEER", work_seeing_proc);
    run("proc workseer; run;", s);
    EXPECT_EQ(vyr_data_dir(), "some/dir");
    EXPECT_FALSE(g_work.folder.empty());
    EXPECT_NE(g_work.folder, ".");
    EXPECT_TRUE(g_work.isFolder);
    EXPECT_EQ(g_work.library, g_work.folder);
    EXPECT_FALSE(std::filesystem::exists(g_work.folder));
    EXPECT_EQ(vyr_library_path(vyr_default_library()), "some/dir");
    // A missing --out folder is created; keep it out of the source tree.
    std::filesystem::path out =
        std::filesystem::temp_directory_path() / ("korv-out-" + std::to_string(::getpid()));
    s.dataDir = "d";
    s.outDir = out.string();
    run("options;", s);
    EXPECT_EQ(vyr_library_path("WORK"), out.string());
    EXPECT_TRUE(std::filesystem::is_directory(out));
    EXPECT_EQ(vyr_data_dir(), "d");
    std::filesystem::remove_all(out);
}

TEST_F(Session, ReadErrorsStopTheRunAndThePendingStepIsNotRun)
{
    Captured c = run("proc testproc;\n  title 'oops;\nrun;\n");
    EXPECT_TRUE(g_seen.empty());
    EXPECT_TRUE(
        has(c.log, "ERROR: Line 2, column 9: The quoted string that starts here is not closed."));
    EXPECT_TRUE(has(c.log, "The step PROC TESTPROC was not run."));
    EXPECT_EQ(c.status, 1);
}

TEST_F(Session, StatementErrorsFromAProcedureCarryTheirPlace)
{
    vyr_register_procedure("CHECKER", [] {
        const VyrStep* s = xcurrentstep();
        const VyrStatement& st = s->statements[1];
        vyr_statement_error(st, st.text.find("bad"), "BAD is not an option here.");
        return vyr_step_rc();
    });
    Captured c = run("proc checker;\n   time x bad;\nrun;");
    EXPECT_TRUE(has(c.log, "ERROR: Line 2, column 11: BAD is not an option here."));
    EXPECT_EQ(vyr_step_rcs(), std::vector<int>{8});
}

TEST_F(Session, RunCancelSkipsTheStep)
{
    Captured c = run("proc testproc; run cancel; proc testproc; run;");
    EXPECT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(c.status, 0);
}

TEST_F(Session, ListingAndLogFilesAreWrittenAndRenamed)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("korv_session_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    VyrSettings s;
    s.listing = (dir / "out.lst").string();
    s.log = (dir / "out.log").string();
    vyr_register_procedure("PRINTER", [] {
        vyr_print_line("hello");
        return 0;
    });
    int status = vyr_run_text(s, "proc printer; run;");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::exists(dir / "out.lst"));
    EXPECT_TRUE(fs::exists(dir / "out.log"));
    int files = 0;
    for (auto& e : fs::directory_iterator(dir))
        (void)e, ++files;
    EXPECT_EQ(files, 2); // no temporary names left behind
    fs::remove_all(dir);
}

TEST_F(Session, PrintLinesOfTheTaskGoToTheirFiles)
{
    vyr_register_procedure("LINES", [] {
        EXPECT_EQ(xpopen(0), 0);
        LINESTR* out = xpoutl(0);
        LINESTR* log = xplogl(0);
        xpline(out, "listing line", 12);
        xpline(log, "log line!!", 8); // only the given length
        xpline(xpmsgl(0), nullptr, 0);
        xppage();
        xpline(xpprnl(0), "second page", 11);
        return 0;
    });
    Captured c = run("options nonumber; proc lines; run;");
    EXPECT_TRUE(has(c.log, "\nlog line\n\n"));
    EXPECT_FALSE(has(c.log, "listing line"));
    EXPECT_TRUE(has(c.listing, "listing line\n\fsecond page\n"));
}

TEST(Clock, DateTimeCountsSecondsFrom1960)
{
    double t = wzdttme();
    // 2020-01-01 is 1893456000 seconds after 1960-01-01; 2100-01-01 is 4417977600.
    EXPECT_GT(t, 1893456000.0);
    EXPECT_LT(t, 4417977600.0);
}

// An ERROR line always fails its step, even when the procedure carries on
// and returns 0: a log saying "Out of memory" never goes with a run that
// "ended normally".
TEST_F(Session, AnErrorMessageAlwaysFailsTheStep)
{
    vyr_register_procedure("SAYER", [] {
        xmemmsg(1000);
        return 0;
    });
    Captured c = run("proc sayer; run; proc testproc; run;");
    EXPECT_TRUE(has(c.log, "ERROR: Out of memory"));
    EXPECT_EQ(vyr_step_rcs(), (std::vector<int>{8, 0}));
    EXPECT_EQ(c.status, 1);
    EXPECT_FALSE(has(c.log, "ended normally"));
    // Outside a step an error fails the run.
    Captured outside = run("options linesize=9;");
    EXPECT_EQ(outside.status, 1);
}

// A macro variable holds at most kMacroValueMax bytes: the doubling that
// would exhaust memory stops at the cap with an error naming the line, and
// one statement cannot grow past kStatementMax through references.
TEST_F(Session, MacroValuesAndStatementsHaveALengthCap)
{
    std::string program = "%let a=" + std::string(50, 'x') + ";\n";
    for (int i = 0; i < 29; ++i)
        program += "%let a=&a&a;\n";
    Captured c = run(program);
    EXPECT_TRUE(has(c.log, "ERROR: Line 12, column 6: The value of the macro variable A would be "
                           "102400 bytes long; a macro variable holds at most 65534 bytes."));
    EXPECT_EQ(std::string(xjsymget("A")).size(), 51200u);
    EXPECT_EQ(c.status, 1);

    // The longest value is accepted, one byte more is not.
    Captured edge = run("%let b=" + std::string(vyr::kMacroValueMax, 'y') + ";\n%let c=" +
                        std::string(vyr::kMacroValueMax + 1, 'z') + ";");
    EXPECT_EQ(std::string(xjsymget("B")).size(), vyr::kMacroValueMax);
    EXPECT_EQ(xjsymget("C"), nullptr);
    EXPECT_TRUE(has(edge.log, "ERROR: Line 2, column 6: The value of the macro variable C"));
    EXPECT_EQ(xjsymput("D", std::string(vyr::kMacroValueMax + 1, 'z').c_str(), -1) != 0, true);

    std::string many = "%let b=" + std::string(60000, 'y') + ";\nproc testproc";
    for (int i = 0; i < 20; ++i)
        many += " &b";
    Captured grown = run(many + "; run;");
    // Said once for the statement, with the number of references.
    EXPECT_TRUE(has(grown.log, "The 3 references to the macro variable b from here on were not "
                               "replaced: the statement would grow past 1048576 characters."))
        << grown.log;
    EXPECT_EQ(grown.log.find("macro variable b"), grown.log.rfind("macro variable b"));
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_LE(g_seen[0].statements[0].text.size(), vyr::kStatementMax);
    EXPECT_EQ(grown.status, 1);

    // An undefined name referred to again is said once, counted; one
    // referred to once is said as before.
    Captured one = run("title \"&u &v &u &u\";");
    EXPECT_TRUE(has(one.log, "WARNING: Line 1, column 8: The 3 references to the macro variable u "
                             "in this statement are kept as written: it is not defined."))
        << one.log;
    EXPECT_TRUE(has(one.log, "WARNING: Line 1, column 11: The macro variable v is not defined; "
                             "the reference is kept as written."))
        << one.log;
}

// Command-line errors end the run with status 2 before the program runs:
// a missing data folder, a setting that is not valid, an unknown switch.
// Switches given as one word work as in an OPTIONS statement.
TEST_F(Session, CommandLineErrorsAndSwitches)
{
    struct Case {
        const char* name;
        const char* value;
        const char* dataDir;
        int status;
        const char* said;
    };
    const Case cases[] = {
        {"LINESIZE", "80", "/no/such/data/folder", 2,
         "ERROR: The data folder /no/such/data/folder does not exist."},
        {"LINESIZE", "9", "", 2, "--option LINESIZE=9 is not valid"},
        {"NOSUCHSWITCH", "", "", 2, "--option NOSUCHSWITCH is not a known option switch"},
        {"NOTHREADS", "", "", 0, "ended normally"},
        {"NOCENTER", "", "", 0, "ended normally"},
    };
    for (const Case& k : cases) {
        g_seen.clear();
        VyrSettings s;
        s.options[k.name] = k.value;
        s.dataDir = k.dataDir;
        Captured c = run("proc testproc; run;", s);
        EXPECT_EQ(c.status, k.status) << k.name;
        EXPECT_TRUE(has(c.log, k.said)) << k.name << "\n" << c.log;
        EXPECT_EQ(g_seen.size(), k.status == 0 ? 1u : 0u) << k.name;
    }
    double v = -1;
    VyrSettings s;
    s.options["NOTHREADS"] = "";
    run("options;", s);
    EXPECT_EQ(xyrngef("THREADS", &v), 0);
    EXPECT_EQ(v, 0);
}

namespace
{

// A private folder for tests that write files.
struct Folder {
    Folder()
    {
        char tmpl[] = "/tmp/korv-session-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::vector<std::string> names() const
    {
        std::vector<std::string> n;
        for (auto& e : std::filesystem::directory_iterator(path))
            n.push_back(e.path().filename().string());
        std::sort(n.begin(), n.end());
        return n;
    }
    std::string path;
};

std::string slurp(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

// Two outputs on one file, or an output on the program, are refused before
// anything is written, naming both options.
TEST_F(Session, OutputsThatWouldOverwriteEachOtherAreRefused)
{
    Folder dir;
    std::ofstream(dir / "prog.vyr") << "proc testproc; run;\n";
    struct Case {
        std::string VyrSettings::*a;
        std::string VyrSettings::*b;
        std::string fileA, fileB;
        const char* said;
    };
    const Case cases[] = {
        {&VyrSettings::listing, &VyrSettings::log, "x", "x",
         "The options --listing and --log both name the file"},
        {&VyrSettings::html, &VyrSettings::json, "y", "./y",
         "The options --html and --json both name the file"},
        {&VyrSettings::log, &VyrSettings::json, "z", "../" + dir.path.substr(5) + "/z",
         "The options --log and --json both name the file"},
        {&VyrSettings::log, nullptr, "prog.vyr", "",
         "The option --log names the program file"},
        {&VyrSettings::html, nullptr, "prog.vyr", "",
         "The option --html names the program file"},
    };
    for (const Case& k : cases) {
        g_seen.clear();
        VyrSettings s;
        s.program = dir / "prog.vyr";
        s.*k.a = dir / k.fileA;
        if (k.b != nullptr)
            s.*k.b = dir / k.fileB;
        Captured c = run("proc testproc; run;", s);
        EXPECT_EQ(c.status, 2) << k.said;
        EXPECT_TRUE(has(c.log, k.said)) << c.log;
        EXPECT_TRUE(g_seen.empty());
        EXPECT_EQ(dir.names(), std::vector<std::string>{"prog.vyr"}) << k.said;
    }
    EXPECT_EQ(slurp(dir / "prog.vyr"), "proc testproc; run;\n");
    // /dev/null may take any number of outputs.
    VyrSettings s;
    s.listing = s.log = "/dev/null";
    EXPECT_EQ(vyr_run_text(s, "proc testproc; run;"), 0);
}

// Outputs are compared as the files they lead to: a link to a file not made
// yet is that file. An output may not be the registry file, nor a data set
// of the data folder or of WORK, which the program's one-level names read.
// Each is refused before anything runs or is written.
TEST_F(Session, OutputsAreComparedAsTheFilesTheyLeadTo)
{
    Folder dir;
    std::filesystem::create_directory(dir / "work");
    std::ofstream(dir / "prog.vyr") << "proc testproc; run;\n";
    std::ofstream(dir / "aml.csv") << "time\n1\n";
    std::ofstream(dir / "aml.attr") << "variable time label=Time\n";
    std::ofstream(dir / "work/s.csv") << "a\n1\n";
    std::ofstream(dir / "reg.txt") << "[\\A]\n";
    std::filesystem::create_symlink("x", dir / "xl");
    std::filesystem::create_symlink("aml.attr", dir / "attrlink");
    struct Case {
        std::string VyrSettings::*a;
        std::string fileA;
        std::string VyrSettings::*b;
        std::string fileB;
        const char* said;
    };
    const Case cases[] = {
        {&VyrSettings::listing, "x", &VyrSettings::log, "xl",
         "The options --listing and --log both name the file"},
        {&VyrSettings::html, "xl", &VyrSettings::json, "x",
         "The options --html and --json both name the file"},
        {&VyrSettings::listing, "aml.csv", nullptr, "", "a data set file in the data folder"},
        {&VyrSettings::json, "attrlink", nullptr, "", "a data set file in the data folder"},
        {&VyrSettings::html, "work/s.csv", nullptr, "", "a data set file in the WORK folder"},
        {&VyrSettings::log, "reg.txt", nullptr, "", "The option --log names the registry file"},
    };
    for (const Case& k : cases) {
        g_seen.clear();
        VyrSettings s;
        s.program = dir / "prog.vyr";
        s.outDir = dir / "work";
        s.registry = dir / "reg.txt";
        s.*k.a = dir / k.fileA;
        if (k.b != nullptr)
            s.*k.b = dir / k.fileB;
        Captured c = run("proc testproc; run;", s);
        EXPECT_EQ(c.status, 2) << k.said;
        EXPECT_TRUE(has(c.log, k.said)) << c.log;
        EXPECT_TRUE(g_seen.empty());
    }
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"aml.attr", "aml.csv", "attrlink", "prog.vyr",
                                                     "reg.txt", "work", "xl"}));
    EXPECT_EQ(slurp(dir / "aml.csv"), "time\n1\n");
    EXPECT_EQ(slurp(dir / "aml.attr"), "variable time label=Time\n");
    EXPECT_EQ(slurp(dir / "work/s.csv"), "a\n1\n");
    // Other files of the data folder are the user's to name.
    VyrSettings s;
    s.program = dir / "prog.vyr";
    s.listing = dir / "out.txt";
    s.log = dir / "out.csv.log";
    EXPECT_EQ(vyr_run_text(s, "proc testproc; run;"), 0);
}

// A file the run reads as a data set, found only as the run goes on (through
// a LIBNAME folder or a quoted path), is never replaced by the listing or
// the log: they are not put in place, the run fails, and the file is whole.
TEST_F(Session, TheListingAndLogNeverReplaceADataSetTheRunRead)
{
    Folder dir;
    static std::string g_input;
    vyr_register_procedure("READER", [] {
        vyr_dsopen(g_input, VYR_DS_INPUT, true);
        return 0;
    });
    for (std::string VyrSettings::*output : {&VyrSettings::listing, &VyrSettings::log}) {
        std::ofstream(dir / "in.csv") << "time\n1\n";
        std::filesystem::create_directory(dir / "elsewhere");
        std::filesystem::remove(dir / "elsewhere/link.csv");
        std::filesystem::create_symlink(dir / "in.csv", dir / "elsewhere/link.csv");
        g_input = dir / "in.csv";
        VyrSettings s;
        s.program = dir / "elsewhere/prog.vyr";
        s.*output = dir / "elsewhere/link.csv";
        Captured c;
        testing::internal::CaptureStderr();
        c.status = vyr_run_text(s, "proc reader; run;");
        c.log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.status, 1);
        EXPECT_TRUE(has(c.log, "could not be written to " + (dir / "elsewhere/link.csv") +
                                   ": it is a data set this run reads as input"))
            << c.log;
        EXPECT_EQ(slurp(dir / "in.csv"), "time\n1\n");
        EXPECT_TRUE(std::filesystem::is_symlink(dir / "elsewhere/link.csv"));
        // Nothing the run logged is lost: the log's text follows the reason
        // on standard error.
        if (output == &VyrSettings::log) {
            EXPECT_TRUE(has(c.log, "NOTE: The text of the log follows, as it would have stood in "
                                   "the file.\n1      proc reader; run;\n"))
                << c.log;
            EXPECT_TRUE(has(c.log, "The run ended with errors")) << c.log;
        }
        vyr_data_step_end(false);
    }
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"elsewhere", "in.csv"}));

    // A run stopped by a signal puts its log in place at once, from the
    // handler: not over a file the run reads, where its last line goes to
    // standard error instead.
    vyr_register_procedure("STOPPED", [] {
        vyr_dsopen(g_input, VYR_DS_INPUT, true);
        const char line[] = "ERROR: stopped by a signal\n";
        vyr::print_signal_exit(line, sizeof line - 1);
        return 0;
    });
    VyrSettings s;
    s.log = dir / "elsewhere/link.csv";
    testing::internal::CaptureStderr();
    EXPECT_EQ(vyr_run_text(s, "proc stopped; run;"), 1);
    // What was logged before the signal comes first, then the last line.
    const std::string said = testing::internal::GetCapturedStderr();
    const size_t logged = said.find("1      proc stopped; run;\n");
    ASSERT_NE(logged, std::string::npos) << said;
    EXPECT_LT(logged, said.find("ERROR: stopped by a signal")) << said;
    EXPECT_EQ(slurp(dir / "in.csv"), "time\n1\n");
    vyr_data_step_end(false);
}

// A write that fails (the disk full at write N) is said with the file and
// the reason, the run fails, the old file of that name stays whole and no
// temporary file is left.
TEST_F(Session, AFailedListingWriteNamesTheFileAndTheReason)
{
    Folder dir;
    std::ofstream(dir / "out.lst") << "old listing\n";
    vyr_register_procedure("PRINTER", [] {
        for (int i = 0; i < 2000; ++i)
            vyr_print_line("a line of the listing that takes some room on the page");
        return 0;
    });
    VyrSettings s;
    s.listing = dir / "out.lst";
    s.log = dir / "out.log";
    setenv("KORV_FAIL_WRITE", "3", 1);
    int status = vyr_run_text(s, "proc printer; run;");
    unsetenv("KORV_FAIL_WRITE");
    vyr::reset_write_failure_hook();
    EXPECT_EQ(status, 1);
    std::string log = slurp(dir / "out.log");
    EXPECT_TRUE(has(log, "ERROR: The listing could not be written to " + (dir / "out.lst") +
                             ": No space left on device."))
        << log;
    EXPECT_TRUE(has(log, "ERROR: The run ended with errors: the listing could not be written."));
    EXPECT_EQ(slurp(dir / "out.lst"), "old listing\n");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"out.log", "out.lst"}));
}

// A listing whose folder is removed while the run goes on is whole but
// cannot be put in place: it reaches standard output, and the log says so.
std::string g_listingFolder;
TEST_F(Session, AListingThatCannotBePutInPlaceGoesToStandardOutput)
{
    Folder dir;
    g_listingFolder = dir / "lst";
    std::filesystem::create_directories(g_listingFolder);
    vyr_register_procedure("PRINTER", [] {
        for (int i = 0; i < 200; ++i)
            vyr_print_line("line " + std::to_string(i) + " of the listing");
        std::filesystem::remove_all(g_listingFolder);
        return 0;
    });
    VyrSettings s;
    s.listing = dir / "lst/out.lst";
    s.log = dir / "out.log";
    testing::internal::CaptureStdout();
    const int status = vyr_run_text(s, "proc printer; run;");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(has(out, "line 0 of the listing\n")) << out.substr(0, 500);
    EXPECT_TRUE(has(out, "line 199 of the listing\n"));
    const std::string log = slurp(dir / "out.log");
    EXPECT_TRUE(has(log, "ERROR: The listing could not be written to " + (dir / "lst/out.lst") +
                             ": No such file or directory. It follows on standard output "
                             "instead."))
        << log;
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"out.log"}));
}

// A listing file that cannot be opened (its folder gone since the check
// before the run) is not lost either: its lines go to standard output.
TEST_F(Session, AListingThatCannotBeOpenedGoesToStandardOutput)
{
    Folder dir;
    VyrSettings s;
    s.listing = dir / "gone/out.lst";
    s.log = dir / "out.log";
    testing::internal::CaptureStdout();
    vyr::print_reset(s);
    vyr_print_line("a line of the listing");
    EXPECT_FALSE(vyr::print_finish());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(out, "a line of the listing\n")) << out;
    EXPECT_TRUE(has(slurp(dir / "out.log"), "It follows on standard output instead."));
}

// A log whose folder is removed while the run goes on cannot be put in
// place: the run fails, and its text on standard error ends saying why.
std::string g_logFolder;
TEST_F(Session, ALogThatCannotBePutInPlaceEndsTheRunWithAnError)
{
    Folder dir;
    g_logFolder = dir / "logs";
    std::filesystem::create_directories(g_logFolder);
    vyr_register_procedure("LOGGONE", [] {
        std::filesystem::remove_all(g_logFolder);
        return 0;
    });
    VyrSettings s;
    s.log = dir / "logs/out.log";
    testing::internal::CaptureStderr();
    const int status = vyr_run_text(s, "proc loggone; run;");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(has(err, "ended normally")) << err;
    EXPECT_TRUE(has(err, "ERROR: The run ended with errors: the log could not be written.\n"))
        << err;
}

// A run that fails for several reasons says so in one line.
TEST_F(Session, ARunThatFailsForSeveralReasonsSaysSoOnce)
{
    Folder dir;
    vyr_register_procedure("FAILPRINTER", [] {
        for (int i = 0; i < 2000; ++i)
            vyr_print_line("a line of the listing that takes some room on the page");
        return 8;
    });
    VyrSettings s;
    s.listing = dir / "out.lst";
    s.log = dir / "out.log";
    setenv("KORV_FAIL_WRITE", "3", 1);
    int status = vyr_run_text(s, "options linesize=5; proc failprinter; run;");
    unsetenv("KORV_FAIL_WRITE");
    vyr::reset_write_failure_hook();
    EXPECT_EQ(status, 1);
    std::string log = slurp(dir / "out.log");
    EXPECT_TRUE(has(log, "ERROR: The run ended with errors: 1 of 1 step(s) ended with a return "
                         "code above 4; errors were found outside the steps (see above); the "
                         "listing could not be written.\n"))
        << log;
    EXPECT_EQ(log.find("The run ended"), log.rfind("The run ended")) << log;
}

// The last resort for a failure that escaped the run removes the files still
// being written and gives a failing status.
TEST(LastResort, RemovesTemporaryFilesAndFails)
{
    Folder dir;
    vyr::AtomicFile f;
    std::string why;
    ASSERT_TRUE(f.open(dir / "out.html", why));
    EXPECT_EQ(dir.names().size(), 1u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(vyr_unexpected_failure("boom"), 1);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(has(said, "ERROR: The run stopped on an unexpected failure: boom."));
    EXPECT_TRUE(dir.names().empty());
}

// Each log line reaches the file at once (under its temporary name while the
// run goes on), so a run that is killed keeps what it logged.
TEST_F(Session, TheLogReachesItsFileLineByLine)
{
    static Folder* dir = nullptr;
    Folder here;
    dir = &here;
    static std::string seen;
    vyr_register_procedure("PEEK", [] {
        xpmlog(vyr::kHostGroup, vyr::kMsgLibnameCleared, "MYLIB");
        seen.clear();
        for (const std::string& n : dir->names())
            if (n.rfind(".korvante-file.", 0) == 0)
                seen = slurp(*dir / (n + "/1"));
        return 0;
    });
    VyrSettings s;
    s.log = here / "run.log";
    EXPECT_EQ(vyr_run_text(s, "proc peek; run;"), 0);
    EXPECT_TRUE(has(seen, "1      proc peek; run;\nNOTE: The libref MYLIB was cleared.\n")) << seen;
    EXPECT_EQ(here.names(), std::vector<std::string>{"run.log"});
    dir = nullptr;
}

// Runs in one process are independent: an output data set of one run, left
// open because its step-end hooks were dropped (as the tests' set-up does),
// never collides with the same name in the next run, and the next run does
// not take the earlier run's last data set for its default input.
TEST_F(Session, EachRunNamesItsDataSetsAfresh)
{
    Folder dir;
    static std::string lastSeen;
    vyr_register_procedure("MAKER", [] {
        lastSeen = vyr_data_last_created();
        DSHANDLE* ds = nullptr;
        if (vyr_dsopen("o", VYR_DS_OUTPUT, false, &ds) != 0)
            return 8;
        XVHANDLE* h = nullptr;
        xvputi(ds, 1, 32, &h);
        NAMESTR nm;
        xvnamei(&nm);
        nm.name_p = "X";
        nm.namelen = 1;
        static double x = 1;
        xvputd(h, &nm, 0, &x, 0, 0, 0);
        xvpute(h);
        xyvput(h, nullptr);
        return 0;
    });
    VyrSettings s;
    s.outDir = dir.path;
    for (int run_no = 0; run_no < 3; ++run_no) {
        Captured c = run("proc maker; run;", s);
        EXPECT_EQ(c.status, 0) << c.log;
        EXPECT_FALSE(has(c.log, "named twice")) << c.log;
        EXPECT_TRUE(has(c.log, "The data set WORK.O has 1 observations")) << c.log;
        EXPECT_EQ(lastSeen, "") << "run " << run_no;
        vyr::hooks_clear();
    }
    EXPECT_EQ(slurp(dir / "o.csv"), "X\n1\n");
}

// A log whose file fails (the disk full at its first write) is not lost: the
// reason and then the whole text go to standard error, and no log file is
// left.
TEST_F(Session, ALogThatCannotBeWrittenGoesToStandardError)
{
    Folder dir;
    vyr_register_procedure("NOTER", [] {
        xpmlog(vyr::kHostGroup, vyr::kMsgLibnameCleared, "MYLIB");
        return 0;
    });
    VyrSettings s;
    s.log = dir / "out.log";
    s.listing = dir / "out.lst";
    setenv("KORV_FAIL_WRITE", "1", 1);
    vyr::reset_write_failure_hook();
    testing::internal::CaptureStderr();
    int status = vyr_run_text(s, "proc noter; run;");
    std::string said = testing::internal::GetCapturedStderr();
    unsetenv("KORV_FAIL_WRITE");
    vyr::reset_write_failure_hook();
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(has(said, "ERROR: The log could not be written to " + (dir / "out.log") +
                              ": No space left on device.\nNOTE: The text of the log follows"))
        << said;
    EXPECT_TRUE(has(said, "1      proc noter; run;\nNOTE: The libref MYLIB was cleared.\n"))
        << said;
    // The run fails for it, as for a listing that cannot be written.
    EXPECT_TRUE(has(said, "ERROR: The run ended with errors: the log could not be written."))
        << said;
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out.lst"});
}
