// Inside the session: the step-exit exception, the program reader and the
// pieces of state the session's files share. Not for the procedure.
#pragma once

#include "vyr_host.h"
#include "vyr_session.h"
#include "vyr_text.h"

#include <cctype>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyr
{

// Thrown by xexit; caught at the step boundary.
struct StepExit {
    int code;
};

// Group of the host's own messages in the catalogue (010-host.txt).
inline constexpr int kHostGroup = 1;

// Message numbers of group 1.
enum HostMessage : int {
    kMsgMissingMessage = 1,
    kMsgUnclosedCommentStatement = 9,
    kMsgUnclosedComment = 10,
    kMsgUnclosedQuote = 11,
    kMsgMissingSemicolon = 12,
    kMsgUnresolvedMacro = 13,
    kMsgStatementOutsideStep = 14,
    kMsgExpectedName = 15,
    kMsgExpectedEquals = 16,
    kMsgExpectedValue = 17,
    kMsgBadOptionValue = 18,
    kMsgUnknownOption = 19,
    kMsgLibnameNoFolder = 20,
    kMsgLibnameAssigned = 21,
    kMsgLibnameCleared = 22,
    kMsgLibnameWork = 23,
    kMsgUnexpectedText = 24,
    kMsgBadMacroName = 25,
    kMsgDataStep = 26,
    kMsgLibnameRefused = 27,
    kMsgProcNotFound = 30,
    kMsgProcNotAvailable = 31,
    kMsgStepWarnings = 33,
    kMsgStepFailed = 34,
    kMsgStepNotRun = 35,
    kMsgStepException = 36,
    kMsgStepTime = 38,
    kMsgRunSummaryOk = 40,
    kMsgRunSummaryFailed = 41,
    kMsgProgramUnreadable = 42,
    kMsgOutputFileFailed = 43,
    kMsgBadCommandOption = 45,
    kMsgSessionHookFailed = 46,
    kMsgOutDirFailed = 48,
    kMsgDataDirMissing = 49,
    kMsgMemory = 50,
    kMsgRegistryFile = 60,
    kMsgRegistryLine = 61,
    kMsgTitleNumber = 70,
    kMsgMacroTooLong = 200,
    kMsgStatementTooLong = 201,
    kMsgUnresolvedMacros = 4523,
    kMsgStatementTooLongMany = 4524,
    kMsgStoppedBetweenSteps = 4525,
    kMsgStoppedFilesWritten = 4526,
    kMsgStoppedFilesNotWritten = 4527,
    kMsgStoppedNoFiles = 4528,
    kMsgOutputCannotWrite = 5302,
    kMsgListingToStdout = 5303,
    kMsgStepFileFailed = 5304,
    kMsgStepFilesNotUndone = 5305,
    kMsgUnexpectedFailure = 202,
    kMsgSameOutputFile = 203,
    kMsgOutputIsProgram = 204,
    kMsgListingFailed = 205,
    kMsgLogFileFailed = 206,
    kMsgStoppedBySignal = 207,
    kMsgUnknownCommandFlag = 208,
    kMsgLogFollows = 4570,
    kMsgLogNotPlacedSignal = 4571,
    kMsgOutputIsDataSet = 4000,
    kMsgOutputIsRegistry = 4001,
    kMsgSweptFolder = 6061,
    kMsgStepFilesDropped = 6062,
    kMsgStoppedAfterStep = 6063,
    kMsgEntryMoved = 6065,
    kMsgStoppedStepUndone = 6067,
    kMsgStoppedStepMixed = 6068,
    kMsgStoppedPlacingPutBack = 6070,
    kMsgUndoFoundOtherRun = 6071,
    kMsgUntrustedHidden = 6072,
    kMsgStrangeRecord = 6073,
    kMsgOthersHidden = 6074,
    kMsgWorkNotRemoved = 6102,
};

// The longest value a macro variable may hold, in bytes: as long as the
// longest character value a data set may hold (32767 bytes) twice over, so
// that any value read from data fits, while a runaway definition such as a
// repeated %LET A=&A&A; stops long before memory runs out.
inline constexpr std::size_t kMacroValueMax = 65534;
// The longest a statement may grow by replacing macro references.
inline constexpr std::size_t kStatementMax = 1u << 20;

// Text of host message `number` of group 1 without its severity field.
std::string message_text_plain(int number);

// Logs host message `number` of group 1 with its place in the program.
void statement_message(int number, const VyrStatement& st, std::size_t offset, ...);

// ---------------------------------------------------------------------------
// The program reader: splits program text into statements.
struct ReadError {
    int message = 0; // group-1 message number
    int line = 0;
    int column = 0;
    std::string detail;
};

class ProgramReader
{
  public:
    // `lookup` gives a macro variable's value, or nullopt when it is absent.
    using MacroLookup = std::function<std::optional<std::string>(std::string_view)>;
    // `warn` receives the macro references that were not replaced: message
    // kMsgUnresolvedMacro for a name that is not defined, kMsgStatementTooLong
    // for a value that would make the statement longer than `max_length`;
    // with the name, the first such reference's line and column, and how
    // many references of the statement it stands for (each thing is said
    // once per statement, when the statement has been read).
    using MacroWarn = std::function<void(int, std::string_view, int, int, int)>;

    ProgramReader(std::string_view text, MacroLookup lookup, MacroWarn warn = {},
                  std::size_t max_length = kStatementMax);

    // Reads the next statement. Returns false at the end of the program or on
    // an error that ends reading (an unclosed comment or quoted string); then
    // error() says which (message 0 at a plain end). A trailing statement
    // without ";" is reported (message 12) and still returned.
    bool next(VyrStatement& out);
    const ReadError& error() const { return error_; }
    // Program lines consumed so far (1-based, for echoing the program).
    int linesConsumed() const { return line_; }

  private:
    bool at_end() const { return pos_ >= text_.size(); }
    void advance();
    bool skip_space_and_comments(bool at_statement_start);

    std::string_view text_;
    std::size_t pos_ = 0;
    int line_ = 1;
    int column_ = 1;
    MacroLookup lookup_;
    MacroWarn warn_;
    std::size_t max_length_;
    ReadError error_;
    // The statement's references that were not replaced, in the order met.
    struct Unreplaced {
        int message;
        std::string name;
        int line, column, count;
    };
    std::vector<Unreplaced> unreplaced_;
    void note_unreplaced(int message, std::string_view name, int line, int column);
    void say_unreplaced();
};

// A small scanner over one statement's text, for the global statements.
struct Token {
    enum Kind { End, Name, Number, String, Symbol } kind = End;
    std::string text; // names upper-cased; strings unquoted
    std::string raw;  // as written
    std::size_t offset = 0;
};
class StatementScanner
{
  public:
    explicit StatementScanner(const std::string& text) : text_(text) {}
    Token next();
    Token peek();
    std::size_t offset() const { return pos_; }
    // The rest of the text from the current position, trimmed.
    std::string rest();

  private:
    const std::string& text_;
    std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// State shared by the session's files.

// Print system.
void print_reset(const VyrSettings& settings);
// Ends the listing (renaming its file into place); false on failure, which
// is said in the log. print_finish also ends the log.
bool print_finish_listing();
// Ends the listing and the log (renaming their files into place); false on
// failure. A log that fails then goes to standard error whole; when the log
// was marked (print_log_mark), its text there stops at the mark and
// `lastLine` (an error line, without its severity) ends it instead.
bool print_finish(const std::string& lastLine = std::string());
// Whether every line of the log so far reached its file (or standard
// error): flushes it first.
bool print_log_ok();
// Marks where the log's last line (the run's summary) begins.
void print_log_mark();
void print_step_begin();
void print_step_end();
void print_flush();
// Sends listing and log lines to these strings instead of the files (tests);
// null pointers restore the files.
void print_capture(std::string* listing, std::string* log);
// From a signal handler: writes `line` as the log's last line and puts a log
// file in place under its real name (the listing is dropped with the other
// temporary files). Async-signal-safe.
void print_signal_exit(const char* line, std::size_t length) noexcept;
// The log file's real name (null without one). Async-signal-safe.
const char* print_log_target() noexcept;
// Tells the signal handlers which temporary WORK folder to remove: the
// entry `name` of the folder open as `in`, itself open as `fd` (-1 when
// there is none).
void signal_note_work_dir(int in, int fd, const std::string& name) noexcept;
// Tells the signal handlers whether a step is running: a signal between the
// steps, or after the last while the run's files are put in place, says
// which files were written and which were not.
void signal_note_step(bool running) noexcept;
// Between these two, a signal waits: the step's files are put in place
// together, all or none. signal_defer_end then handles a signal that came,
// its last line saying how the step's files ended.
void signal_defer_begin() noexcept;
enum class StepFilesEnd {
    Placed, // the step finished, and its files were put in place
    Undone, // a rename failed, and every file placed went back
    Mixed,  // not every file could be put back (the log's error says which)
};
void signal_defer_end(StepFilesEnd end) noexcept;

// Pools: frees everything allocated in the running step (the task pool and
// the pools created during the step).
void pools_step_end();
void pools_reset();
// Total bytes the pools may hand out (0: no limit); for tests and MEMSIZE.
void pools_set_limit(int64_t bytes);
int64_t pools_in_use();

// Options and macro variables.
void options_reset(const VyrSettings& settings);
// Sets a system option from an OPTIONS statement or --option; returns 0, or
// a message number of group 1 when the value is not accepted.
int option_set(const std::string& name, const std::string& value, std::string* why = nullptr);
// Sets an option switch given as one word: CENTER or NOCENTER, NUMBER,
// DATE, THREADS, GRAPHICS and their NO forms. Returns 0, or
// kMsgUnknownOption for another word.
int option_switch(const std::string& word);
std::optional<std::string> macro_get(std::string_view name);
void macro_set(std::string_view name, std::string_view value);

// Forgets every step, step-end and session-end hook (tests); the host's own
// step-end work stays.
void hooks_clear();
// Registers the host's own step-end work, once per process: `finish` hooks
// complete the step's files under their temporary names (a failure there
// fails the step), then the step's graph files are put in place (or all
// dropped when the step failed), then `end` hooks put the rest in place.
void host_on_step_finish(VyrStepHook hook);
void host_on_step_end(VyrStepHook hook);
// Drops what an earlier run in this process left of its data sets (dataset.cpp).
void data_session_start();
// Raises the run's own return code (errors outside any step).
void session_raise(int rc);

// Reads the file at `path` whole (the program, the registry file), reached
// as open_to_read reaches it and waiting on a named pipe for its writer. A
// descriptor's name (/dev/stdin, /dev/fd/N) that was open when the run
// started is read as that descriptor's file. False with `why`.
bool read_named_file(const std::string& path, std::string& text, std::string& why);

// Registry: loads the --registry file. Returns false when it cannot be read
// or has bad lines (each reported).
bool registry_load(const std::string& path);
bool registry_load_text(std::string_view text, const std::string& name);
void registry_reset();

} // namespace vyr
