// The print system: the listing (print file) in pages headed by the titles,
// and the log. Both go to files written under temporary names and renamed
// when the run ends, or to standard output and standard error.

#include "host/session/session_state.h"

#include "vyr_atomic_file.h"
#include "vyr_text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

struct LINESTR {
    int kind; // 0 print file, 1 log
};

namespace vyr
{
namespace
{

// A destination of lines: a file given on the command line (written under a
// temporary name and renamed into place when the run ends) or, without a
// path, standard output or standard error.
struct Sink {
    AtomicFile file;
    std::string path;      // the name given ("" for a standard stream)
    bool failed = false;   // a write or the open failed
    bool reported = false; // the failure is already in the log
    std::string why;       // the reason of the first failure
    // The log's text as written to its file, kept so that none of it is
    // lost when the file cannot be put in place (a full disk, a target the
    // run reads): it then goes to standard error.
    bool keep = false;
    std::string kept;
    // The listing's temporary file opened for reading: when the file cannot
    // be put in place at the end, its text is read back from here (even
    // from a folder removed meanwhile) and goes to standard output.
    int readFd = -1;
    bool toStdout = false; // it went there

    void reset()
    {
        if (readFd >= 0)
            ::close(readFd);
        readFd = -1;
        toStdout = false;
        file.abandon();
        path.clear();
        failed = false;
        reported = false;
        why.clear();
        keep = false;
        kept.clear();
        kept.shrink_to_fit();
    }
    void fail(int err) { fail(std::strerror(err != 0 ? err : EIO)); }
    void fail(const std::string& reason)
    {
        if (!failed)
            why = reason;
        failed = true;
    }
};

struct PrintState {
    std::recursive_mutex lock;
    Sink listing, log;
    std::string* captureListing = nullptr;
    std::string* captureLog = nullptr;
    // Where the log's last line begins in its kept text (npos: unmarked).
    std::size_t logMark = std::string::npos;
    // The listing was ended (print_finish_listing), and how that went.
    bool listingEnded = false;
    bool listingOk = true;
    int pageNumber = 0;
    int linesOnPage = 0;
    bool pageOpen = false;
    bool newPagePending = false;
    // The line being built by xpfmtc, and whether what comes next overprints.
    std::string building;
    bool buildingUsed = false;
    bool overprint = false;
    // Options 21, 24 and 25 as callers set them.
    long keep[3] = {0, 0, 0};
    // Lines diverted to the output layer (a line-printer plot): where they go,
    // and the page they would stand on, counted from a page of their own.
    std::vector<std::string>* divert = nullptr;
    int divertLines = 0;
    int divertPage = 0;
};

PrintState& ps()
{
    static PrintState s;
    return s;
}

LINESTR g_printLine{0};
LINESTR g_logLine{1};

int option_int(const char* name, int fallback)
{
    int len = 0;
    const char* v = xoptcgt(name, &len);
    if (v == nullptr || len == 0)
        return fallback;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    return end == v ? fallback : static_cast<int>(n);
}

bool option_on(const char* name, bool fallback)
{
    int len = 0;
    const char* v = xoptcgt(name, &len);
    if (v == nullptr || len == 0)
        return fallback;
    return v[0] != '0';
}

// What a signal handler needs to save the log: the descriptor of its
// temporary file and the names to rename, kept in fixed buffers because a
// handler may not allocate. g_logFd is -1 when there is no log file open
// (the log goes to standard error, or the run is not going).
std::atomic<int> g_logFd{-1};
// The caller's descriptor (a copy) that a log named as a descriptor holding
// a file (/dev/stderr) is copied into instead of being renamed (-1: none).
std::atomic<int> g_logThrough{-1};
char g_logTarget[PATH_MAX];
// Its private folder, the folder it goes to, and its name there: it is put
// in place through them, never by a path that could lead elsewhere by then.
std::atomic<int> g_logPrivate{-1}, g_logFolder{-1};
char g_logName[NAME_MAX + 1];
// The key of the log's resolved path (see is_run_input_signal_safe).
std::atomic<std::uint64_t> g_logKey{0};
// The line said on standard error, before the log's text, when a signal
// finds that the log may not take its name: a file the run reads, or a data
// set's file or a catalogue entry (or one named so). Made when the log is
// opened, with its name in it.
struct WhyLine {
    char text[PATH_MAX + 512];
    std::size_t length;
};
WhyLine g_logIsInput{}, g_logIsKept{};

void compose_why(WhyLine& line, const std::string& name, const char* why)
{
    const std::string text = message_text_plain(kMsgLogNotPlacedSignal);
    const std::size_t cap = sizeof line.text;
    const int n = std::snprintf(line.text, cap, "ERROR: ");
    const int m = std::snprintf(line.text + n, cap - static_cast<std::size_t>(n) - 1, text.c_str(),
                                name.c_str(), why);
    line.length = static_cast<std::size_t>(n) +
                  std::min<std::size_t>(static_cast<std::size_t>(std::max(m, 0)),
                                        cap - static_cast<std::size_t>(n) - 2);
    line.text[line.length++] = '\n';
    line.text[line.length] = '\0';
}

void note_log_for_signals(const Sink& log)
{
    g_logFd.store(-1);
    if (!log.file.is_open() || log.file.temp_path().empty() ||
        log.file.target().size() >= PATH_MAX || log.file.name().size() > NAME_MAX)
        return;
    std::memcpy(g_logTarget, log.file.target().c_str(), log.file.target().size() + 1);
    std::memcpy(g_logName, log.file.name().c_str(), log.file.name().size() + 1);
    g_logPrivate.store(log.file.private_fd());
    g_logFolder.store(log.file.folder_fd());
    g_logKey.store(path_key(file_identity(log.file.target()).path.c_str()));
    compose_why(g_logIsInput, log.path, "it is a file this run reads, which is never written over");
    compose_why(g_logIsKept, log.path,
                "it is a data set's file or a catalogue entry, or an existing file named as one, "
                "which a step not run yet may use");
    g_logThrough.store(log.file.through());
    g_logFd.store(log.file.descriptor());
}

std::FILE* standard_stream(const Sink& sink)
{
    return &sink == &ps().listing ? stdout : stderr;
}

int standard_descriptor(const Sink& sink)
{
    return &sink == &ps().listing ? STDOUT_FILENO : STDERR_FILENO;
}

void write_raw(Sink& sink, std::string* capture, std::string_view text)
{
    // Lines reach the listing and the log as valid UTF-8, whatever bytes
    // the values in them hold; their line and page ends stay as they are.
    std::string clean;
    if (text_needs_care(text, Controls::Keep)) {
        write_text(clean, text, Controls::Keep);
        text = clean;
    }
    if (capture) {
        *capture += text;
        return;
    }
    if (sink.keep)
        sink.kept += text;
    std::FILE* f = sink.file.stream();
    if (f == nullptr) {
        // A log or listing file that could not be opened leaves its text on
        // standard error or standard output.
        f = standard_stream(sink);
        // A stream closed when the run started holds /dev/null in its
        // place: nothing written there would be delivered, so the sink fails.
        if (const int fd = standard_descriptor(sink); !text.empty() && vyr_stream_was_closed(fd)) {
            sink.fail(vyr_closed_stream_reason(fd));
            return;
        }
        if (write_should_fail()) {
            sink.fail(ENOSPC);
            return;
        }
    }
    if (text.empty())
        return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size())
        sink.fail(errno);
}

std::string centred(const std::string& text, int width)
{
    if (static_cast<int>(text.size()) >= width)
        return text;
    return std::string(static_cast<std::size_t>((width - static_cast<int>(text.size())) / 2), ' ') +
           text;
}

int footnote_lines()
{
    int n = 0;
    for (const std::string& f : vyr_footnotes())
        if (!f.empty())
            ++n;
    return n == 0 ? 0 : n + 1;
}

void end_page()
{
    PrintState& s = ps();
    if (!s.pageOpen)
        return;
    const auto& foot = vyr_footnotes();
    int ls = xplinesize();
    bool centre = option_on("CENTER", true);
    bool any = false;
    for (const std::string& f : foot) {
        if (f.empty())
            continue;
        if (!any)
            write_raw(s.listing, s.captureListing, "\n");
        any = true;
        write_raw(s.listing, s.captureListing, (centre ? centred(f, ls) : f) + "\n");
    }
    s.pageOpen = false;
}

void start_page()
{
    PrintState& s = ps();
    if (s.pageOpen)
        end_page();
    if (s.pageNumber > 0)
        write_raw(s.listing, s.captureListing, "\f");
    ++s.pageNumber;
    s.pageOpen = true;
    s.newPagePending = false;
    s.linesOnPage = 0;
    int ls = xplinesize();
    bool centre = option_on("CENTER", true);
    bool number = option_on("NUMBER", true);
    const auto& titles = vyr_titles();
    bool first = true;
    auto head = [&](const std::string& t) {
        std::string line = centre ? centred(t, ls) : t;
        if (first && number) {
            std::string page = std::to_string(s.pageNumber);
            if (static_cast<int>(line.size() + page.size()) < ls)
                line += std::string(static_cast<std::size_t>(ls) - line.size() - page.size(), ' ');
            else
                line += ' ';
            line += page;
        }
        first = false;
        write_raw(s.listing, s.captureListing, line + "\n");
        ++s.linesOnPage;
    };
    for (const std::string& t : titles)
        if (!t.empty())
            head(t);
    if (first && number)
        head("");
    if (!first) {
        write_raw(s.listing, s.captureListing, "\n");
        ++s.linesOnPage;
    }
}

bool open_sink(Sink& sink, const std::string& path)
{
    sink.reset();
    if (path.empty())
        return true;
    sink.path = path;
    std::string why;
    if (!sink.file.open(path, why)) {
        // Named as its own standard stream (/dev/stdout for the listing),
        // which holds a file that could not be staged: written to that
        // stream as it goes, as without the option, it still reaches its
        // place.
        const int fd = standard_descriptor(sink);
        if (vyr_descriptor_named(path) == fd && !vyr_stream_was_closed(fd)) {
            sink.reset();
            return true;
        }
        sink.failed = true;
        sink.why = why;
        return false;
    }
    sink.file.as_document();
    if (&sink == &ps().listing && !sink.file.temp_path().empty())
        sink.readFd = ::open(sink.file.temp_path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    return true;
}

// Copies what the file open as `fd` holds to standard output; false when
// standard output cannot take it.
bool copy_to_stdout(int fd)
{
    if (vyr_stream_was_closed(STDOUT_FILENO))
        return false;
    char buf[65536];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (write_should_fail() ||
            std::fwrite(buf, 1, static_cast<std::size_t>(n), stdout) != static_cast<std::size_t>(n))
            return false;
        at += n;
    }
    return std::fflush(stdout) == 0;
}

// Ends a sink: a file is renamed into place, a standard stream flushed. On
// a failure the sink's `why` says what went wrong and any file of that name
// is left as it was.
bool close_sink(Sink& sink)
{
    if (sink.path.empty()) {
        std::FILE* f = standard_stream(sink);
        errno = 0;
        if (std::fflush(f) != 0 || std::ferror(f))
            sink.fail(errno);
        return !sink.failed;
    }
    if (sink.failed) {
        sink.file.abandon();
        return false;
    }
    std::string why;
    if (!sink.file.finish(why)) {
        sink.failed = true;
        sink.why = why;
        return false;
    }
    if (!sink.file.commit(why)) {
        sink.failed = true;
        sink.why = why;
        // Whole but not in place (its folder was removed, its name is a file
        // the run reads): the listing is not lost, it goes to standard
        // output.
        if (sink.readFd >= 0)
            sink.toStdout = copy_to_stdout(sink.readFd);
        return false;
    }
    return true;
}

// The name a message gives a sink's destination.
std::string sink_name(const Sink& sink)
{
    if (!sink.path.empty())
        return sink.path;
    return &sink == &ps().listing ? "standard output" : "standard error";
}

} // namespace

void print_reset(const VyrSettings& settings)
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.pageNumber = 0;
    s.linesOnPage = 0;
    s.pageOpen = false;
    s.newPagePending = false;
    s.listingEnded = false;
    s.listingOk = true;
    s.divert = nullptr;
    s.building.clear();
    s.buildingUsed = false;
    s.overprint = false;
    s.keep[0] = s.keep[1] = s.keep[2] = 0;
    // The log first, so that a listing that cannot be opened is said there.
    const bool logOpened = open_sink(s.log, settings.log);
    s.log.keep = logOpened && !s.log.path.empty();
    if (!logOpened) {
        std::fprintf(stderr, "ERROR: ");
        std::fprintf(stderr, message_text_plain(kMsgLogFileFailed).c_str(), settings.log.c_str(),
                     s.log.why.c_str());
        std::fprintf(stderr, "\n");
        s.log.reported = true;
    }
    note_log_for_signals(s.log);
    if (!open_sink(s.listing, settings.listing)) {
        xpmlog(kHostGroup,
               vyr_stream_was_closed(STDOUT_FILENO) ? kMsgListingFailed : kMsgListingToStdout,
               settings.listing.c_str(), s.listing.why.c_str());
        s.listing.reported = true;
    }
}

bool print_finish_listing()
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (s.listingEnded)
        return s.listingOk;
    s.listingEnded = true;
    end_page();
    bool ok = close_sink(s.listing);
    s.listingOk = ok;
    // Said in the log, which is still open; an open that failed was said at
    // once.
    if (!ok && !s.listing.reported)
        xpmlog(kHostGroup, s.listing.toStdout ? kMsgListingToStdout : kMsgListingFailed,
               sink_name(s.listing).c_str(), s.listing.why.c_str());
    s.listing.reset();
    return ok;
}

bool print_log_ok()
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    std::FILE* f = s.log.file.stream();
    if (f == nullptr && s.log.path.empty())
        f = standard_stream(s.log);
    errno = 0;
    if (f != nullptr && std::fflush(f) != 0)
        s.log.fail(errno);
    return !s.log.failed;
}

void print_log_mark()
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.logMark = s.log.kept.size();
}

bool print_finish(const std::string& lastLine)
{
    bool okListing = print_finish_listing();
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    g_logFd.store(-1);
    bool okLog = close_sink(s.log);
    if (!okLog && !s.log.reported) {
        std::string text = message_text_plain(kMsgLogFileFailed);
        std::fprintf(stderr, "ERROR: ");
        std::fprintf(stderr, text.c_str(), sink_name(s.log).c_str(), s.log.why.c_str());
        std::fprintf(stderr, "\n");
        // Nothing the run logged is lost: the text goes to standard error,
        // ending with the run's summary as the failed log makes it.
        if (s.log.keep) {
            std::fprintf(stderr, "NOTE: %s\n", message_text_plain(kMsgLogFollows).c_str());
            const bool cut = !lastLine.empty() && s.logMark <= s.log.kept.size();
            std::fwrite(s.log.kept.data(), 1, cut ? s.logMark : s.log.kept.size(), stderr);
            if (cut)
                std::fprintf(stderr, "ERROR: %s\n", lastLine.c_str());
            std::fflush(stderr);
        }
    }
    s.logMark = std::string::npos;
    s.log.reset();
    return okListing && okLog;
}

void print_step_begin()
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (s.pageOpen)
        s.newPagePending = true;
}

// Closes the step's last page, so that its footnotes are the ones in force
// while the step ran, not those of a FOOTNOTE statement given after it.
void print_step_end()
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    end_page();
}

void print_flush()
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (Sink* sink : {&s.listing, &s.log}) {
        std::FILE* f = sink->file.stream();
        if (f == nullptr && sink->path.empty())
            f = standard_stream(*sink);
        errno = 0;
        if (f != nullptr && std::fflush(f) != 0)
            sink->fail(errno);
    }
}

const char* print_log_target() noexcept
{
    return g_logTarget[0] != '\0' ? g_logTarget : nullptr;
}

void print_signal_exit(const char* line, std::size_t length) noexcept
{
    int fd = g_logFd.exchange(-1);
    const WhyLine* why = nullptr;
    if (fd >= 0 && is_run_input_signal_safe(g_logTarget, g_logKey.load()))
        why = &g_logIsInput;
    else if (fd >= 0 && kept_from_documents_signal_safe(g_logTarget))
        why = &g_logIsKept;
    const int through = fd >= 0 && why == nullptr ? g_logThrough.load() : -1;
    if (fd >= 0 && why == nullptr && through < 0) {
        // The log is flushed after every line, so its file holds all that
        // was logged: it gets the last line and its real name.
        (void)!::write(fd, line, length);
        (void)::renameat(g_logPrivate.load(), "1", g_logFolder.load(), g_logName);
    } else {
        // No log file, or one that would replace a file the run reads, a data
        // set's file or a catalogue entry (or an existing file named as one,
        // which a step not run yet may use): what the file holds (all that
        // was logged) and the last line go to standard error, after the line
        // that says why. A log named as a descriptor that holds a file gets
        // them through that descriptor.
        const int to = through >= 0 ? through : STDERR_FILENO;
        if (why != nullptr)
            (void)!::write(STDERR_FILENO, why->text, why->length);
        if (fd >= 0) {
            int in = ::openat(g_logPrivate.load(), "1", O_RDONLY | O_CLOEXEC);
            if (in >= 0) {
                char buf[4096];
                ssize_t n;
                while ((n = ::read(in, buf, sizeof buf)) > 0)
                    if (::write(to, buf, static_cast<size_t>(n)) != n)
                        break;
                ::close(in);
            }
        }
        (void)!::write(to, line, length);
    }
}

void print_capture(std::string* listing, std::string* log)
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.captureListing = listing;
    s.captureLog = log;
    s.pageNumber = 0;
    s.pageOpen = false;
    s.newPagePending = false;
}

} // namespace vyr

namespace vyr
{
namespace
{

// Lines of text a page holds between its titles and its footnotes.
int page_capacity()
{
    return std::max(1, vyr_print_page_lines());
}

} // namespace
} // namespace vyr

void vyr_print_line(std::string_view line)
{
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (s.divert) {
        // Counted as the listing will print them: from a page of their own,
        // a page holding page_capacity() lines.
        if (s.divertLines >= vyr::page_capacity()) {
            s.divertLines = 0;
            ++s.divertPage;
        }
        s.divert->emplace_back(line);
        ++s.divertLines;
        return;
    }
    int ps_ = xppagesize();
    if (!s.pageOpen || s.newPagePending || s.linesOnPage >= ps_ - vyr::footnote_lines())
        vyr::start_page();
    std::string text(line);
    text += '\n';
    vyr::write_raw(s.listing, s.captureListing, text);
    ++s.linesOnPage;
}

bool vyr_print_page_full()
{
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    return !s.pageOpen || s.newPagePending || s.linesOnPage >= xppagesize() - vyr::footnote_lines();
}

bool vyr_print_block(std::string_view text, int count)
{
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (s.divert || !s.pageOpen || s.newPagePending ||
        s.linesOnPage + count > xppagesize() - vyr::footnote_lines())
        return false;
    vyr::write_raw(s.listing, s.captureListing, text);
    s.linesOnPage += count;
    return true;
}

int vyr_print_lines_left()
{
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (!s.pageOpen || s.newPagePending)
        return 0;
    return std::max(0, xppagesize() - vyr::footnote_lines() - s.linesOnPage);
}

int vyr_print_page_lines()
{
    // As start_page heads a page: the titles (or a line for the page
    // number alone), then a blank line.
    int head = 0;
    for (const std::string& t : vyr_titles())
        if (!t.empty())
            ++head;
    if (head == 0 && vyr::option_on("NUMBER", true))
        head = 1;
    if (head > 0)
        ++head;
    return xppagesize() - vyr::footnote_lines() - head;
}

void vyr_log_line(std::string_view line)
{
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    std::string text(line);
    text += '\n';
    vyr::write_raw(s.log, s.captureLog, text);
    // Every line reaches the file at once, so a run that is killed keeps
    // what it logged.
    if (s.captureLog == nullptr && s.log.file.stream() != nullptr &&
        std::fflush(s.log.file.stream()) != 0)
        s.log.fail(errno);
}

int xpopen(int file)
{
    (void)file;
    return 0;
}
LINESTR* xpoutl(int file)
{
    (void)file;
    return &vyr::g_printLine;
}
LINESTR* xpprnl(int flag)
{
    (void)flag;
    return &vyr::g_printLine;
}
LINESTR* xplogl(int flag)
{
    (void)flag;
    return &vyr::g_logLine;
}
LINESTR* xpmsgl(int flag)
{
    (void)flag;
    return &vyr::g_logLine;
}
int xpselec(int file, int mode)
{
    (void)file;
    (void)mode;
    return 0;
}

void xpline(LINESTR* line, const char* text, int length)
{
    std::string_view t =
        text == nullptr || length <= 0 ? std::string_view() : std::string_view(text, length);
    if (line != nullptr && line->kind == 1)
        vyr_log_line(t);
    else
        vyr_print_line(t);
}

void xppage()
{
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (s.divert) {
        // The diverted lines start their page count afresh (an empty page
        // stays, so that asking twice makes no empty page); where the
        // listing breaks its pages is settled when it prints them.
        if (s.divertLines > 0) {
            s.divertLines = 0;
            ++s.divertPage;
        }
        return;
    }
    if (s.pageOpen)
        s.newPagePending = true;
}

void vyr_print_divert(std::vector<std::string>* lines)
{
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.divert = lines;
    s.divertLines = 0;
    // The diverted lines will start a page after the one in use now.
    s.divertPage = s.pageNumber + 1;
    s.building.clear();
    s.buildingUsed = false;
    s.overprint = false;
}

void xpfmtc(int file, const char* text, int length, int column)
{
    (void)file;
    if (text == nullptr || length <= 0)
        return;
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    const std::size_t at = static_cast<std::size_t>(std::max(column, 1) - 1);
    const std::size_t n = static_cast<std::size_t>(length);
    if (s.building.size() < at + n)
        s.building.resize(at + n, ' ');
    for (std::size_t i = 0; i < n; ++i)
        if (!s.overprint || text[i] != ' ')
            s.building[at + i] = text[i];
    s.buildingUsed = true;
}

void xpskip(int file, int lines)
{
    (void)file;
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (lines <= 0) {
        s.overprint = s.buildingUsed;
        return;
    }
    std::string line;
    line.swap(s.building);
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    s.buildingUsed = false;
    s.overprint = false;
    vyr_print_line(line);
    for (int k = 1; k < lines; ++k)
        vyr_print_line("");
}

int xpopget(int file, int option, long* value)
{
    (void)file;
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    long v = 0;
    const bool fresh = s.divert == nullptr && (!s.pageOpen || s.newPagePending);
    switch (option) {
    case 1:
        v = vyr::option_on("CENTER", true) ? 1 : 0;
        break;
    case 2:
        if (s.divert)
            v = vyr::page_capacity() - s.divertLines;
        else if (fresh)
            v = vyr::page_capacity();
        else
            v = std::max(0, xppagesize() - vyr::footnote_lines() - s.linesOnPage);
        break;
    case 5:
        v = xplinesize();
        break;
    case 7:
        v = s.divert ? s.divertPage : s.pageNumber + (fresh ? 1 : 0);
        break;
    case 19:
        v = 1;
        break;
    case 21:
        v = s.keep[0];
        break;
    case 24:
        v = s.keep[1];
        break;
    case 25:
        v = s.keep[2];
        break;
    default:
        return vyr_code(39, 1);
    }
    if (value != nullptr)
        *value = v;
    return 0;
}

int xpopset(int file, int option, long value)
{
    (void)file;
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    switch (option) {
    case 21:
        s.keep[0] = value;
        return 0;
    case 24:
        s.keep[1] = value;
        return 0;
    case 25:
        s.keep[2] = value;
        return 0;
    default:
        return vyr_code(39, 2);
    }
}

int xtitinf(int file, int width, int* titles, int* footnotes)
{
    (void)file;
    (void)width;
    int t = 0, f = 0;
    for (const std::string& x : vyr_titles())
        if (!x.empty())
            ++t;
    for (const std::string& x : vyr_footnotes())
        if (!x.empty())
            ++f;
    if (titles != nullptr)
        *titles = t;
    if (footnotes != nullptr)
        *footnotes = f;
    return 0;
}

int xpleft(int file, int lines)
{
    (void)file;
    (void)lines;
    return 0;
}

int xplinesize()
{
    return vyr::option_int("LINESIZE", 132);
}
int xppagesize()
{
    return vyr::option_int("PAGESIZE", 60);
}
