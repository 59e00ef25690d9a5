// The layer in a run: each step's document goes to the listing at the end of
// the step, and the HTML and JSON files hold every step of the run with its
// messages, written on every run, failed or not; a file that cannot be
// written is said in the log with its reason, and leaves nothing behind.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/resource.h>

#include "run_files.h"
#include "runtime/wobmth.h"
#include "support/wob_setup.h"
#include "vyr_host.h"
#include "vyr_output.h"
#include "vyr_parse.h"
#include "vyr_session.h"

namespace
{

using namespace runfiles;

double stepValue = 0;

// A procedure that prints one small table.
int tableProcedure()
{
    xobop mgr = wobtest::manager();
    xobop t = wobtest::table(mgr, "Values", "Values of the step");
    wobtest::column(t, 5, "Value", &stepValue);
    wobcall(t, WOB_SEL_END_COLUMNS, 0, nullptr);
    xobop out = wobtest::output(mgr, t, "Stat.Korvante.Generic2");
    stepValue += 1.5;
    wobcall(t, WOB_SEL_PUT_ROW, 0, nullptr);
    wobtest::finish(mgr, t, out);
    wobzoom(mgr, 3, 4, 0, nullptr);
    return 0;
}

TEST(OutputSession, EveryStepIsRenderedToTheListingHtmlAndJson)
{
    vyr_output_reset();
    vyr_register_procedure("TABLEOUT", tableProcedure);
    fs::path dir = freshDir("session");
    VyrSettings s = settings(dir, "out");
    stepValue = 0;
    int status = vyr_run_text(s, "title 'Two steps';\nproc tableout; run;\nproc tableout; run;\n");
    EXPECT_EQ(status, 0) << slurp(dir / "out.log");

    std::string json = slurp(dir / "out.json");
    EXPECT_EQ(json.rfind("{\"steps\":[{\"proc\":\"TABLEOUT\",\"items\":[{\"kind\":\"table\"", 0),
              0u)
        << json;
    EXPECT_NE(json.find("\"rows\":[{\"Value\":1.5}]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"rows\":[{\"Value\":3}]"), std::string::npos) << json;
    std::string html = slurp(dir / "out.html");
    EXPECT_NE(html.find("<h1>Two steps</h1>"), std::string::npos);
    EXPECT_EQ(count(html, "<table"), 2u);
    std::string listing = slurp(dir / "out.lst");
    EXPECT_NE(listing.find("Values of the step"), std::string::npos) << listing;
    EXPECT_NE(listing.find("1.5"), std::string::npos) << listing;
    EXPECT_FALSE(fs::exists(dir / "out.json.tmp"));

    // A second run writes its own steps only.
    stepValue = 10;
    EXPECT_EQ(vyr_run_text(s, "proc tableout; run;\n"), 0);
    json = slurp(dir / "out.json");
    EXPECT_EQ(json.find("\"Value\":1.5"), std::string::npos) << json;
    EXPECT_NE(json.find("\"rows\":[{\"Value\":11.5}]"), std::string::npos) << json;
    EXPECT_EQ(count(json, "\"proc\""), 1u);
    if (!std::getenv("KORV_KEEP_OUTPUT"))
        fs::remove_all(dir);
    vyr_output_reset();
}

// Runs of steps that fail and runs without a step: both files are written,
// and each step carries its messages with their numbers.
TEST(OutputSession, FailedRunsStillWriteBothFilesWithTheirMessages)
{
    struct Case {
        const char* program;
        int status;
        const char* json; // parts the JSON must hold, in order
    };
    const Case cases[] = {
        {"proc nosuch; run;", 1,
         "{\"steps\":[{\"proc\":\"NOSUCH\",\"items\":[],\"messages\":[{\"severity\":\"error\","
         "\"group\":1,\"number\":30,\"text\":\"The procedure NOSUCH was not found.\"}"},
        {"proc nosuch; run; proc tableout; run; proc nosuch; run;", 1,
         "\"rc\":8},{\"proc\":\"TABLEOUT\",\"items\":[{\"kind\":\"table\""},
        {"options linesize=12;", 1,
         "{\"steps\":[],\"messages\":[{\"severity\":\"error\",\"group\":1,\"number\":18,"},
        {"", 0, "{\"steps\":[],\"messages\":[]}"},
        // What the statement reader finds in a step's statements is numbered
        // too (a host number of its own for errors, and one for warnings).
        {"proc badstatement; run;", 1,
         "\"messages\":[{\"severity\":\"warning\",\"group\":1,\"number\":4003,\"text\":"
         "\"Line 1, column 1: An option is ignored.\"},{\"severity\":\"error\",\"group\":1,"
         "\"number\":4002,\"text\":\"Line 1, column 6: Variable X not found.\"}"},
    };
    vyr_register_procedure("TABLEOUT", tableProcedure);
    vyr_register_procedure("BADSTATEMENT", [] {
        ParseEnv& env = vyr_host_parse_env(xcurrentstep());
        env.report(2, "An option is ignored.", 0, 0, 1, 1);
        env.report(1, "Variable X not found.", 0, 5, 1, 6);
        return 0;
    });
    for (const Case& c : cases) {
        vyr_output_reset();
        fs::path dir = freshDir("failed");
        VyrSettings s = settings(dir, "out");
        vyr_output_install();
        EXPECT_EQ(vyr_run_text(s, c.program), c.status) << c.program;
        const std::string json = slurp(dir / "out.json");
        EXPECT_NE(json.find(c.json), std::string::npos) << c.program << "\n" << json;
        const std::string html = slurp(dir / "out.html");
        EXPECT_NE(html.find("</html>"), std::string::npos) << c.program;
        if (c.status != 0) {
            EXPECT_NE(html.find("<li class=\"error\">"), std::string::npos) << html;
        }
        fs::remove_all(dir);
    }
    vyr_output_reset();
}

// Files that cannot be written, at each place it can happen: the file
// cannot be made (its folder does not exist: refused before the run, which
// then writes nothing at all), the disk is full, the file grows past the
// size the process may write. The log names the file and why; the run
// fails; no temporary file stays; the other file is written.
TEST(OutputSession, AFileThatCannotBeWrittenIsSaidAndLeavesNothingBehind)
{
    vyr_register_procedure("TABLEOUT", tableProcedure);
    {
        vyr_output_reset();
        fs::path dir = freshDir("badfolder");
        VyrSettings s = settings(dir, "out");
        s.log = (dir / "out.log").string();
        s.json = (dir / "no/such/folder/out.json").string();
        EXPECT_EQ(vyr_run_text(s, "proc tableout; run;\n"), 2);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0)
            << "the run was not started, and wrote nothing";
        fs::remove_all(dir);
    }
    struct Case {
        const char* json;   // where the JSON goes ("" the folder's out.json)
        rlim_t limit;       // largest file the run may write (0: no limit)
        const char* reason; // in the log's message
    };
    const Case cases[] = {
        {"/dev/full", 0, "No space left on device"},
        {"", 10000, "File too large"},
    };
    for (const Case& c : cases) {
        vyr_output_reset();
        fs::path dir = freshDir("badfile");
        VyrSettings s = settings(dir, "out");
        // The listing and the log go to another folder, where they stay
        // below the size limit.
        s.listing = (dir / "log" / "out.lst").string();
        s.log = (dir / "log" / "out.log").string();
        fs::create_directories(dir / "log");
        if (c.json[0] == '/')
            s.json = c.json;
        else if (c.json[0])
            s.json = (dir / c.json).string();
        std::string program = "proc tableout; run;\n";
        for (int i = 0; i < 60; ++i)
            program += "title 'T" + std::to_string(i) + "';\nproc tableout; run;\n";
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        if (c.limit) {
            rlimit small = old;
            small.rlim_cur = c.limit;
            setrlimit(RLIMIT_FSIZE, &small);
        }
        const int status = vyr_run_text(s, program);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previous);
        EXPECT_EQ(status, 1) << c.json;
        const std::string log = slurp(dir / "log" / "out.log");
        const std::string file = s.json;
        EXPECT_NE(log.find("ERROR: The JSON output file " + file +
                           " could not be written: " + c.reason + "."),
                  std::string::npos)
            << c.json << "\n"
            << log;
        if (!c.limit) {
            EXPECT_NE(slurp(dir / "out.html").find("</html>"), std::string::npos) << c.json;
        }
        for (const auto& e : fs::recursive_directory_iterator(dir))
            EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos)
                << e.path() << " left behind";
        fs::remove_all(dir);
    }
    vyr_output_reset();
}

} // namespace
