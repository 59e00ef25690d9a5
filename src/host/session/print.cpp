// The print system: the listing (print file) in pages headed by the titles,
// and the log. Both go to files written under temporary names and renamed
// when the run ends, or to standard output and standard error.

#include "host/session/session_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <unistd.h>

struct LINESTR {
    int kind; // 0 print file, 1 log
};

namespace vyr
{
namespace
{

struct Sink {
    std::FILE* file = nullptr;
    std::string path;     // final name ("" for a standard stream)
    std::string tempPath; // name written while the run goes on
    bool failed = false;
    bool reported = false; // the failure is already in the log
};

struct PrintState {
    std::recursive_mutex lock;
    Sink listing, log;
    std::string* captureListing = nullptr;
    std::string* captureLog = nullptr;
    int pageNumber = 0;
    int linesOnPage = 0;
    bool pageOpen = false;
    bool newPagePending = false;
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

void write_raw(Sink& sink, std::string* capture, std::string_view text)
{
    if (capture) {
        *capture += text;
        return;
    }
    std::FILE* f = sink.file;
    if (f == nullptr)
        f = (&sink == &ps().listing) ? stdout : stderr;
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size())
        sink.failed = true;
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
    sink = Sink{};
    if (path.empty())
        return true;
    sink.path = path;
    std::error_code ec;
    // A device, a pipe or a symbolic link (/dev/null; /dev/stdout and
    // /dev/stderr, which link to whatever the descriptor is, often a
    // regular file): written directly. Renaming a finished file over it
    // would replace the link itself.
    std::filesystem::file_status st = std::filesystem::symlink_status(path, ec);
    if (!ec && std::filesystem::exists(st) && !std::filesystem::is_regular_file(st)) {
        sink.file = std::fopen(path.c_str(), "w");
        sink.failed = sink.file == nullptr;
        return !sink.failed;
    }
    sink.tempPath = path + ".part" + std::to_string(static_cast<long>(getpid()));
    sink.file = std::fopen(sink.tempPath.c_str(), "w");
    if (sink.file == nullptr) {
        sink.failed = true;
        return false;
    }
    return true;
}

bool close_sink(Sink& sink)
{
    bool ok = !sink.failed;
    if (sink.file != nullptr) {
        if (std::fclose(sink.file) != 0)
            ok = false;
        sink.file = nullptr;
        if (sink.tempPath.empty())
            return ok;
        if (ok && std::rename(sink.tempPath.c_str(), sink.path.c_str()) != 0)
            ok = false;
        if (!ok)
            std::remove(sink.tempPath.c_str());
    } else if (sink.path.empty()) {
        std::fflush(&sink == &ps().listing ? stdout : stderr);
    }
    return ok;
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
    // The log first, so that a listing that cannot be opened is said there.
    if (!open_sink(s.log, settings.log))
        std::fprintf(stderr, "ERROR: The log file %s could not be opened for writing.\n",
                     settings.log.c_str());
    if (!open_sink(s.listing, settings.listing)) {
        xpmlog(kHostGroup, kMsgOutputFileFailed, settings.listing.c_str());
        s.listing.reported = true;
    }
}

bool print_finish_listing()
{
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    end_page();
    std::string listingPath = s.listing.path;
    bool reported = s.listing.reported;
    bool ok = close_sink(s.listing) && !reported;
    s.listing = Sink{};
    if (!ok && !reported) // said in the log, which is still open
        xpmlog(kHostGroup, kMsgOutputFileFailed, listingPath.c_str());
    return ok;
}

bool print_finish()
{
    bool okListing = print_finish_listing();
    PrintState& s = ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    std::string logPath = s.log.path;
    bool okLog = close_sink(s.log);
    s.log = Sink{};
    if (!okLog)
        std::fprintf(stderr, "ERROR: The log could not be written to %s.\n", logPath.c_str());
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
    if (s.listing.file)
        std::fflush(s.listing.file);
    if (s.log.file)
        std::fflush(s.log.file);
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

void vyr_print_line(std::string_view line)
{
    vyr::PrintState& s = vyr::ps();
    std::lock_guard<std::recursive_mutex> g(s.lock);
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
    if (!s.pageOpen || s.newPagePending ||
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
    if (s.pageOpen)
        s.newPagePending = true;
}

int xplinesize()
{
    return vyr::option_int("LINESIZE", 132);
}
int xppagesize()
{
    return vyr::option_int("PAGESIZE", 60);
}
