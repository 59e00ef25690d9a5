// The session: one run of korvante over one program. This header is the
// session's view for the other host areas (the statement parser, data sets,
// the output layer) and for the procedure's registration:
//
//   - the step being run (its statements, each with its place in the program),
//   - procedure registration (which PROC names the host can run),
//   - libraries (where a data set name points),
//   - the command-line settings (graphics, --option values, output files),
//   - titles and footnotes,
//   - hooks called when a step begins and ends, and when the session ends,
//   - listing and log lines, and errors placed at a line and column.
//
// The host services the procedure itself calls (xexit, xpmlog, pools, ...)
// are in vyr_host.h.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Statements and steps.

// One statement of the program as the reader delivers it: its text without
// the ending ";", with comments replaced by one blank each and macro
// variables (&name) already substituted. `line` and `column` (both from 1)
// are where the statement's first character stands in the program file.
struct VyrStatement {
    std::string text;
    int line = 0;
    int column = 0;
    // Program position of each character of `text` (same length as text):
    // line and column of the character it came from. Characters that came
    // from a macro variable's value carry the position of the '&'.
    std::vector<int> lines;
    std::vector<int> columns;

    // Line and column of `offset` in text; an offset at or past the end gives
    // the position just after the last character (where the ";" stood).
    void where(std::size_t offset, int* line_out, int* column_out) const;
};

// A step: the PROC statement (statements[0], e.g. "proc korvante data=lung")
// and the statements after it up to RUN; (not included), the next PROC or
// the end of the program.
struct VyrStep {
    std::string proc;                     // procedure name, upper case ("KORVANTE")
    int number = 0;                       // 1, 2, ... in program order
    std::vector<VyrStatement> statements; // statements[0] is the PROC statement
    bool endedByRun = false;              // false: ended by the next PROC or end of program
};

// The step being run; null outside a step.
const VyrStep* xcurrentstep();

// Return code of the running step so far (the largest reached).
int vyr_step_rc();

// Reports a syntax or usage error in statement `statement` of the running
// step at character `offset` of its text: logs
//   ERROR: <message> (line L, column C).
// and raises the step's return code to at least 8. Does not end the step.
void vyr_statement_error(const VyrStatement& statement, std::size_t offset,
                         std::string_view message);
// The same as a warning: logs "WARNING: ..." and raises the return code to
// at least 4.
void vyr_statement_warning(const VyrStatement& statement, std::size_t offset,
                           std::string_view message);
// The same as a note: logs "NOTE: ..." and leaves the return code as it is.
void vyr_statement_note(const VyrStatement& statement, std::size_t offset,
                        std::string_view message);

// ---------------------------------------------------------------------------
// Procedures. A procedure's entry runs one step: it reads xcurrentstep(),
// does its work and ends with xexit(rc, 0) (or returns rc, which counts the
// same). Registering a name twice replaces the entry.
using VyrProcEntry = int (*)();
void vyr_register_procedure(const char* name, VyrProcEntry entry);
// The entry for a PROC name (any case); null when none is registered.
VyrProcEntry vyr_find_procedure(std::string_view name);

// ---------------------------------------------------------------------------
// Libraries. A one-level data set name is a member of the default library
// (the data folder); "WORK" is the output folder; other librefs come from
// LIBNAME statements.

// Folder of a libref (any case); empty when the libref is not assigned, and
// for WORK when its folder cannot be made (see vyr_work_dir).
std::string vyr_library_path(std::string_view libref);
// The libref of one-level names ("DATA"); its folder is the data folder.
std::string vyr_default_library();
// The data folder (--data, else the program's folder).
std::string vyr_data_dir();
// The output folder, where WORK members are written: --out, else a temporary
// folder made on first use in the first of TMPDIR, /tmp and /var/tmp where
// one can be made, and removed with what it holds when the session ends.
// Never the current folder: "" when no temporary folder can be used, with
// `why` (when given) naming each folder tried and what kept it from use.
std::string vyr_work_dir(std::string* why = nullptr);
// The output folder when it is there already (--out, or the temporary folder
// once made), without making it: "" while the temporary WORK folder is not
// made, when WORK holds nothing of this run. For what only reads WORK.
std::string vyr_work_dir_made();
// Whether WORK is the session's temporary folder, made and removed with the
// run (no --out).
bool vyr_work_is_temporary();
// Assigns a libref (as LIBNAME does). Returns false when the folder does not
// exist, or when its path meets another user's link in a shared folder
// (vyr::foreign_link; `why`, when given, then names it): the libref is then
// left as it was.
bool vyr_assign_library(std::string_view libref, std::string_view folder,
                        std::string* why = nullptr);

// ---------------------------------------------------------------------------
// Command-line settings of the run.
struct VyrSettings {
    std::string program;  // the program file
    std::string dataDir;  // --data (empty: the program's folder)
    std::string outDir;   // --out  (empty: a temporary folder, see vyr_work_dir)
    std::string listing;  // --listing file (empty: standard output)
    std::string log;      // --log file (empty: standard error)
    std::string html;     // --html file (empty: none)
    std::string json;     // --json file (empty: none)
    std::string registry; // --registry file (empty: an empty registry)
    bool graphics = true; // --graphics on|off
    bool graphPng = false; // --images png: each graph also as PNG
    bool graphPdf = false; // --images pdf: each graph also as PDF
    // --option NAME=VALUE pairs, names upper case; applied as if by an
    // OPTIONS statement before the program's first statement.
    std::map<std::string, std::string> options;
};
const VyrSettings& vyr_settings();
// Output-layer graphics switch: --graphics on|off, then OPTIONS GRAPHICS or
// NOGRAPHICS in the program.
bool vyr_graphics_enabled();

// ---------------------------------------------------------------------------
// Titles and footnotes: index 1..10 (TITLE = TITLE1). Empty text: not set.
// Setting TITLEn clears TITLEn+1 onward, as users expect.
const std::vector<std::string>& vyr_titles();    // 10 entries, [0] is TITLE1
const std::vector<std::string>& vyr_footnotes(); // 10 entries, [0] is FOOTNOTE1

// ---------------------------------------------------------------------------
// Hooks. Step hooks run for every step in registration order. A step-end
// hook gets the step's return code and may raise it (e.g. when writing an
// output file fails); an xexit inside a hook also just raises it. Session-end
// hooks run once after the last step (e.g. to write the HTML page).
using VyrStepHook = std::function<void(const VyrStep& step, int& rc)>;
void vyr_on_step_begin(VyrStepHook hook);
void vyr_on_step_end(VyrStepHook hook);
void vyr_on_session_end(std::function<void()> hook);

// ---------------------------------------------------------------------------
// Listing and log lines (the print file and the log). Lines longer than the
// line size are kept whole; titles head every listing page, footnotes end it,
// and a step's first listing line starts a new page. Safe from any thread.
void vyr_print_line(std::string_view line);
void vyr_log_line(std::string_view line);
// True when the next listing line starts a new page (so that a table can
// repeat its column headers there).
bool vyr_print_page_full();
// Lines that still fit on the listing's current page (0 when the next line
// starts a new one), and the lines a new page holds below its titles: a
// block that must not be split across pages starts a new page when it does
// not fit the current one.
int vyr_print_lines_left();
int vyr_print_page_lines();
// Writes `count` listing lines at once (`text` holds them, each ended by a
// newline) when they all fit on the current page; false, with nothing
// written, when they do not. A large table's rows go out this way a page at
// a time.
bool vyr_print_block(std::string_view text, int count);
// Sends the listing lines that follow to `lines` instead of the print file
// (null sends them to the print file again). The output layer collects a
// line-printer plot this way while the step runs and prints it with the
// step's other output. The lines count as starting on a page of their own:
// the page options (xpopget 2 and 7) follow them there.
void vyr_print_divert(std::vector<std::string>* lines);

// ---------------------------------------------------------------------------
// Running a program (used by the korvante command and by tests).

// Runs the program in settings.program. Returns the exit status: 0 when
// every step ended with a return code of 4 or less, else 1 (2 when the
// program could not be read at all). The log says why.
int vyr_run(const VyrSettings& settings);
// Runs program text (for tests): as vyr_run, with `settings.program` used
// only for messages and the default data folder.
int vyr_run_text(const VyrSettings& settings, std::string_view text);
// Return codes of the steps of the last run, in program order.
const std::vector<int>& vyr_step_rcs();
// Sets how the process stops on SIGINT, SIGTERM and SIGHUP: temporary files
// and the temporary WORK folder are removed, the log says why and keeps its
// name, and the process ends by the signal. Ignores SIGXFSZ, so that a file
// too large for `ulimit -f` is a write error. Called once by the command.
void vyr_install_signal_handlers();
// The last resort for a failure that escaped the run: says it on standard
// error, removes the temporary files and returns the exit status (1).
int vyr_unexpected_failure(const char* what);

// ---------------------------------------------------------------------------
// Standard streams closed when the command started.

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the run opens takes its place, and remembers which were closed.
// Called by the command before anything opens a file. False, with `why`,
// when one could not be held: nothing may be run then.
bool vyr_hold_standard_streams(std::string& why);
// Whether descriptor `fd` (0, 1 or 2) was closed when the command started.
bool vyr_stream_was_closed(int fd);
// Whether descriptor `fd` was open when the command started (any descriptor
// counts until vyr_hold_standard_streams has noted them): the caller's, not
// one the run opened itself. A stream held on /dev/null was not.
bool vyr_descriptor_was_open(int fd);
// The descriptor of this process that `path` names (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N, /proc/PID/fd/N with this process's PID, or a symbolic
// link leading to one), or -1 for any other path. Another user's link in a
// shared folder (see vyr::foreign_link) is not followed.
int vyr_descriptor_named(const std::string& path);
// The descriptor of a stream closed when the command started that `path`
// names (/dev/stdout, /dev/fd/2, /proc/self/fd/1, or a symbolic link
// leading to one), or -1: nothing written there could be delivered.
int vyr_closed_stream_named(const std::string& path);
// Why nothing reaches descriptor `fd`: "standard output was closed when the
// run started".
std::string vyr_closed_stream_reason(int fd);
