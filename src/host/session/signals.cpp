// Stopping cleanly on a signal. SIGINT, SIGTERM and SIGHUP end the run at
// once, but first its traces are tidied: the log gets a last line and its
// real name, every temporary file (the listing's, the output data sets',
// the HTML and JSON files', the staged graph files of the step) is removed
// so that earlier files of those names stay whole, and the temporary WORK
// folder is removed. The process then ends by the same signal, so its
// caller sees why it stopped. Only while a step's files are renamed into
// place (its graph files, images, catalogue entries and data sets), which
// waits for nothing, does a signal (and any that follows it) wait until
// they all are, or, when a rename failed, until every one is put back; the
// log's last line then says which of the two. SIGXFSZ is ignored: a
// file that outgrows `ulimit -f` gives a write error (EFBIG), reported like
// any other, instead of killing the run. So is SIGPIPE: a listing whose
// reader has gone (`korvante p.vyr | head -1`) gives a write error (EPIPE),
// said once in the log as the run ends, and the run goes on as before.
//
// Everything the handler does is async-signal-safe: it only writes,
// renames, unlinks and reads folders with system calls, from buffers filled
// before the signal came.

#include "host/session/session_state.h"

#include "vyr_atomic_file.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace vyr
{
namespace
{

struct Caught {
    int signal;
    const char* name;
    char line[512]; // the log's last line, made when the handlers are set
    std::size_t length;
    char idle[512]; // the start of the line when no step is running
    char placed[512]; // its start when a step's files were just put in place
    char undone[512]; // the line when a step's placing failed and was undone
    std::size_t undoneLength;
    char mixed[512]; // the line when not all of them could be put back
    std::size_t mixedLength;
};
Caught g_caught[] = {{SIGINT, "SIGINT", {}, 0, {}, {}, {}, 0, {}, 0},
                     {SIGTERM, "SIGTERM", {}, 0, {}, {}, {}, 0, {}, 0},
                     {SIGHUP, "SIGHUP", {}, 0, {}, {}, {}, 0, {}, 0}};

// The parts of the line said between the steps: the text before and after
// the list of files, for the files written and those not written, and the
// words for no file at all.
struct Part {
    char before[256], after[64];
};
Part g_written, g_notWritten;
char g_noFiles[256];
char g_compose[16384];
std::atomic<bool> g_stepRunning{false};

void split_part(Part& p, const std::string& text)
{
    const std::size_t at = text.find("%s");
    const std::string before = at == std::string::npos ? text : text.substr(0, at);
    const std::string after = at == std::string::npos ? std::string() : text.substr(at + 2);
    std::snprintf(p.before, sizeof p.before, "%s", before.c_str());
    std::snprintf(p.after, sizeof p.after, "%s", after.c_str());
}

std::size_t put(char* buf, std::size_t at, std::size_t cap, const char* text) noexcept
{
    for (; *text != '\0' && at + 2 < cap; ++text)
        buf[at++] = *text;
    buf[at] = '\0';
    return at;
}

// The line said when no step is running, or when a step's files were just
// put in place: `start`, then which files were put in place since the step
// began or the last step ended, and which were still being written (and are
// removed, leaving earlier files of their names as they were).
std::size_t compose(const char* start) noexcept
{
    const std::size_t cap = sizeof g_compose;
    std::size_t at = put(g_compose, 0, cap, start);
    const std::size_t mark = at;
    for (int written = 1; written >= 0; --written) {
        const Part& p = written ? g_written : g_notWritten;
        const std::size_t start = at;
        at = put(g_compose, at, cap, " ");
        at = put(g_compose, at, cap, p.before);
        int count = 0;
        at = append_file_names(g_compose, at, cap - 2, written != 0,
                               written ? nullptr : print_log_target(), &count);
        if (count == 0) {
            at = start;
            g_compose[at] = '\0';
        } else {
            at = put(g_compose, at, cap, p.after);
        }
    }
    if (at == mark) {
        at = put(g_compose, at, cap, " ");
        at = put(g_compose, at, cap, g_noFiles);
    }
    g_compose[at++] = '\n';
    g_compose[at] = '\0';
    return at;
}

// The thread that runs the program (the one that set the handlers).
pthread_t g_mainThread;
std::atomic<bool> g_haveMain{false};

// Signals while a step's files are put in place wait until they all are:
// -1 a signal is handled at once; 0 one waits, none came; n > 0 signal n
// came and waits (any later one waits with it).
std::atomic<int> g_deferred{-1};
// How the step's files ended when a signal that waited is let through:
// 0 (no such signal), else 1 + StepFilesEnd.
std::atomic<int> g_stepFilesEnd{0};

std::atomic<bool> g_haveWork{false};
// The folder WORK was made in and WORK, held, and its name there.
int g_workIn = -1, g_workFd = -1;
char g_workName[NAME_MAX + 1];
volatile std::sig_atomic_t g_stopping = 0;

void remove_work_folder() noexcept
{
    if (g_haveWork.load())
        (void)remove_folder_at(g_workIn, g_workName, g_workFd, 4);
}

// Leaves the log whole with `line` as its last line and removes every
// temporary file and the temporary WORK folder.
void tidy_up(const char* line, std::size_t length) noexcept
{
    print_signal_exit(line, length);
    remove_open_temp_files();
    remove_tickets_signal_safe();
    remove_work_folder();
}

void on_signal(int sig)
{
    // The run's own thread handles the signal, so that what it tidies up is
    // not being written meanwhile: a signal that reached a worker thread is
    // passed on to it.
    if (g_haveMain.load() && !pthread_equal(pthread_self(), g_mainThread)) {
        pthread_kill(g_mainThread, sig);
        return;
    }
    // While a step's files are put in place, which is renames alone, the
    // signal waits for them, and so does any that follows: the log's last
    // line then says exactly which files are in place.
    int state = g_deferred.load();
    while (state >= 0)
        if (state > 0 || g_deferred.compare_exchange_weak(state, sig))
            return;
    // A second signal while tidying up ends the process at once.
    if (g_stopping) {
        std::signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    g_stopping = 1;
    for (const Caught& c : g_caught)
        if (c.signal == sig) {
            const int end = g_stepFilesEnd.load();
            if (end == 1 + static_cast<int>(StepFilesEnd::Placed)) {
                const std::size_t length = compose(c.placed);
                tidy_up(g_compose, length);
            } else if (end == 1 + static_cast<int>(StepFilesEnd::Undone)) {
                tidy_up(c.undone, c.undoneLength);
            } else if (end == 1 + static_cast<int>(StepFilesEnd::Mixed)) {
                tidy_up(c.mixed, c.mixedLength);
            } else if (g_stepRunning.load()) {
                tidy_up(c.line, c.length);
            } else {
                const std::size_t length = compose(c.idle);
                tidy_up(g_compose, length);
            }
        }
    // Ends the process by the same signal once the handler returns (the
    // signal is blocked until then).
    std::signal(sig, SIG_DFL);
    raise(sig);
}

// std::terminate (an exception thrown where none may pass, such as out of
// a destructor): said, tidied up like any other failure, and a failing exit.
[[noreturn]] void on_terminate()
{
    std::string what = "the run could not go on";
    if (std::exception_ptr e = std::current_exception()) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            what = x.what();
        } catch (...) {
            what = "an unknown exception";
        }
    }
    vyr_unexpected_failure(what.c_str());
    std::_Exit(1);
}

} // namespace

void signal_note_step(bool running) noexcept
{
    g_stepRunning.store(running);
}

void signal_defer_begin() noexcept
{
    g_deferred.store(0);
}

void signal_defer_end(StepFilesEnd end) noexcept
{
    const int sig = g_deferred.exchange(-1);
    if (sig > 0) {
        g_stepFilesEnd.store(1 + static_cast<int>(end));
        raise(sig);
        g_stepFilesEnd.store(0);
    }
}

void signal_note_work_dir(int in, int fd, const std::string& name) noexcept
{
    g_haveWork.store(false);
    if (in < 0 || fd < 0 || name.empty() || name.size() >= sizeof g_workName)
        return;
    g_workIn = in;
    g_workFd = fd;
    std::memcpy(g_workName, name.c_str(), name.size() + 1);
    g_haveWork.store(true);
}

} // namespace vyr

namespace
{

// Fills `buf` (`cap` bytes) with a whole error line for the log: "ERROR: ",
// then `text` with the signal's name in it, cut to fit, then a line end.
// Returns its length.
std::size_t error_line(char* buf, std::size_t cap, const std::string& text, const char* name)
{
    const int n = std::snprintf(buf, cap, "ERROR: ");
    const int m = std::snprintf(buf + n, cap - static_cast<std::size_t>(n) - 1, text.c_str(), name);
    std::size_t len = static_cast<std::size_t>(n) +
                      std::min<std::size_t>(static_cast<std::size_t>(std::max(m, 0)),
                                            cap - static_cast<std::size_t>(n) - 2);
    buf[len++] = '\n';
    buf[len] = '\0';
    return len;
}

} // namespace

void vyr_install_signal_handlers()
{
    using namespace vyr;
    std::string text = message_text_plain(kMsgStoppedBySignal);
    const std::string idle = message_text_plain(kMsgStoppedBetweenSteps);
    const std::string placed = message_text_plain(kMsgStoppedAfterStep);
    const std::string undone = message_text_plain(kMsgStoppedStepUndone);
    const std::string mixed = message_text_plain(kMsgStoppedStepMixed);
    split_part(g_written, message_text_plain(kMsgStoppedFilesWritten));
    split_part(g_notWritten, message_text_plain(kMsgStoppedFilesNotWritten));
    std::snprintf(g_noFiles, sizeof g_noFiles, "%s",
                  message_text_plain(kMsgStoppedNoFiles).c_str());
    g_mainThread = pthread_self();
    g_haveMain.store(true);
    for (Caught& c : g_caught) {
        int k = std::snprintf(c.idle, sizeof c.idle, "ERROR: ");
        std::snprintf(c.idle + k, sizeof c.idle - static_cast<std::size_t>(k), idle.c_str(),
                      c.name);
        k = std::snprintf(c.placed, sizeof c.placed, "ERROR: ");
        std::snprintf(c.placed + k, sizeof c.placed - static_cast<std::size_t>(k), placed.c_str(),
                      c.name);
        c.length = error_line(c.line, sizeof c.line, text, c.name);
        c.undoneLength = error_line(c.undone, sizeof c.undone, undone, c.name);
        c.mixedLength = error_line(c.mixed, sizeof c.mixed, mixed, c.name);
        struct sigaction sa{};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        for (const Caught& other : g_caught)
            sigaddset(&sa.sa_mask, other.signal);
        sigaction(c.signal, &sa, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    std::set_terminate(on_terminate);
}

int vyr_unexpected_failure(const char* what)
{
    using namespace vyr;
    std::string text = message_text_plain(kMsgUnexpectedFailure);
    int n = std::snprintf(nullptr, 0, text.c_str(), what != nullptr ? what : "unknown failure");
    std::string line(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
    std::snprintf(line.data(), line.size(), text.c_str(), what != nullptr ? what : "unknown failure");
    line.pop_back();
    line = "ERROR: " + line + "\n";
    g_stopping = 1;
    tidy_up(line.c_str(), line.size());
    return 1;
}
