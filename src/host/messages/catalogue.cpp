// The message catalogue and the host's message services: catalogue lookup,
// severity fields, and the calls that print or format numbered messages.

#include "host/messages/catalogue.h"

#include "vyr_host.h"
#include "vyr_session.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace vyr
{
extern const char* const kCatalogueText;
}

namespace
{

// Group of the host's own messages and of host return-code texts.
constexpr int kHostGroup = 1;
constexpr int kHostCodeGroup = 3;
// Facility of the catalogue's own return codes.
constexpr int kMessageFacility = 42;

struct Catalogue {
    std::mutex lock;
    std::unordered_map<long long, std::string> entries;
    bool loaded = false;
};

Catalogue& catalogue()
{
    static Catalogue c;
    return c;
}

long long key_of(int group, int number)
{
    return (static_cast<long long>(group) << 32) | static_cast<unsigned>(number);
}

int parse_into(Catalogue& c, std::string_view text)
{
    int bad = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::size_t i = 0;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i == line.size() || line[i] == '#')
            continue;
        // GROUP NUMBER TEXT
        char* stop = nullptr;
        std::string head(line.substr(i));
        long group = std::strtol(head.c_str(), &stop, 10);
        if (stop == head.c_str() || (*stop != ' ' && *stop != '\t')) {
            ++bad;
            continue;
        }
        const char* rest = stop;
        long number = std::strtol(rest, &stop, 10);
        if (stop == rest || (*stop != ' ' && *stop != '\t' && *stop != '\0')) {
            ++bad;
            continue;
        }
        if (*stop != '\0')
            ++stop; // exactly one separator before the text; the text keeps any further blanks
        c.entries[key_of(static_cast<int>(group), static_cast<int>(number))] = stop;
        if (end == text.size())
            break;
    }
    return bad;
}

void ensure_loaded(Catalogue& c)
{
    // Called with the lock held.
    if (!c.loaded) {
        c.loaded = true;
        int bad = parse_into(c, vyr::kCatalogueText);
        if (bad > 0)
            std::fprintf(stderr, "WARNING: %d malformed message catalogue line(s) were skipped.\n",
                         bad);
    }
}

std::atomic<int> g_errors{0};
std::atomic<int> g_warnings{0};
std::atomic<vyr::MessageObserver> g_observer{nullptr};
std::atomic<bool> g_by_groups{false};
// The catalogue number of the message being written on this thread.
thread_local int t_group = 0;
thread_local int t_number = 0;

// Writes catalogue message group/number; a missing entry is itself reported.
void print_numbered(int group, int number, va_list ap, bool to_log)
{
    const std::string* text = vyr::catalogue_text(group, number);
    if (text == nullptr) {
        const std::string* missing = vyr::catalogue_text(kHostGroup, 1);
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      missing ? missing->c_str() + 3 : "Message %d/%d is not in the catalogue.",
                      group, number);
        vyr::emit_message(vyr::Severity::Error, buf, true);
        return;
    }
    vyr::Severity sev = vyr::Severity::None;
    std::string out = vyr::format_message(text->c_str(), ap, &sev);
    if (!g_by_groups.load(std::memory_order_relaxed))
        out = vyr::whole_data_wording(out);
    t_group = group;
    t_number = number;
    vyr::emit_message(sev, out, to_log);
}

} // namespace

namespace vyr
{

const std::string* catalogue_text(int group, int number)
{
    Catalogue& c = catalogue();
    std::lock_guard<std::mutex> g(c.lock);
    ensure_loaded(c);
    auto it = c.entries.find(key_of(group, number));
    return it == c.entries.end() ? nullptr : &it->second; // entries are never erased
}

int catalogue_load(std::string_view text)
{
    Catalogue& c = catalogue();
    std::lock_guard<std::mutex> g(c.lock);
    ensure_loaded(c);
    return parse_into(c, text);
}

// In this host "%*s" takes a length and a pointer to that many characters,
// which need not end in a NUL (fields are blank-padded, not terminated). The
// C library reads "%*s" as a field width and the text up to its NUL, which
// would run past such a field, so the directive is passed on as "%.*s".
std::string host_format(const char* format)
{
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        out.push_back(*p);
        if (*p != '%')
            continue;
        if (p[1] == '%') {
            out.push_back('%');
            ++p;
        } else if (p[1] == '*' && p[2] == 's') {
            out += ".*s";
            p += 2;
        }
    }
    return out;
}

std::string format_message(const char* format, va_list ap, Severity* severity)
{
    Severity sev = Severity::None;
    va_list args;
    va_copy(args, ap);
    if (format[0] == '%' && format[1] != '\0' && format[2] == 'z') {
        switch (format[1]) {
        case '1':
            sev = Severity::Error;
            break;
        case '2':
            sev = Severity::Warning;
            break;
        case '*': {
            int level = va_arg(args, int);
            sev = level == 1 ? Severity::Error : level == 2 ? Severity::Warning : Severity::Note;
            break;
        }
        default:
            sev = Severity::Note;
            break;
        }
        format += 3;
    }
    if (severity)
        *severity = sev;
    std::string fmt = host_format(format);
    format = fmt.c_str();
    va_list measure;
    va_copy(measure, args);
    int n = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, args);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(args);
    return out;
}

const char* severity_prefix(Severity severity)
{
    switch (severity) {
    case Severity::Error:
        return "ERROR: ";
    case Severity::Warning:
        return "WARNING: ";
    case Severity::Note:
        return "NOTE: ";
    default:
        return "";
    }
}

void set_message_observer(MessageObserver observer)
{
    g_observer = observer;
}

void set_next_message_number(int group, int number)
{
    t_group = group;
    t_number = number;
}

void emit_message(Severity severity, const std::string& text, bool to_log)
{
    const int group = t_group, number = t_number;
    t_group = t_number = 0;
    // An error always fails the step it is said in (or the run, outside a
    // step): a log that says ERROR never goes with a run that "ended
    // normally".
    if (severity == Severity::Error)
        xsetrc(8);
    if (to_log && severity == Severity::Error)
        ++g_errors;
    if (to_log && severity == Severity::Warning)
        ++g_warnings;
    std::string prefix = severity_prefix(severity);
    std::string indent(prefix.size(), ' ');
    std::size_t pos = 0;
    bool first = true;
    do {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = (first ? prefix : indent) + text.substr(pos, end - pos);
        if (to_log)
            vyr_log_line(line);
        else
            vyr_print_line(line);
        first = false;
        pos = end + 1;
    } while (pos <= text.size());
    if (MessageObserver observer = g_observer.load();
        observer && to_log && severity != Severity::None)
        observer(severity, group, number, text);
}

std::string host_code_text(int rc)
{
    const int number = static_cast<int>(static_cast<unsigned>(rc) & 0x3FFFFFu);
    if (const std::string* text = catalogue_text(kHostCodeGroup, number)) {
        // Host-code texts take no arguments; strip any severity field of their own.
        const char* t = text->c_str();
        if (t[0] == '%' && t[1] != '\0' && t[2] == 'z')
            t += 3;
        return t;
    }
    char buf[128];
    std::snprintf(buf, sizeof buf, "Host code %08X (facility %d, number %d).",
                  static_cast<unsigned>(rc), vyr_facility(rc), vyr_number(rc));
    return buf;
}

void set_step_by_groups(bool by)
{
    g_by_groups.store(by, std::memory_order_relaxed);
}

std::string whole_data_wording(const std::string& text)
{
    if (text.find("BY group") == std::string::npos)
        return text;
    // Longer phrases first: each is replaced where it stands.
    static const std::pair<const char*, const char*> phrases[] = {
        {"No observation of this BY group has", "No observation has"},
        {"No observation of this BY group is", "No observation is"},
        {"every observation of the group", "every observation"},
        {"The BY group has no valid observation and is not analysed",
         "The data have no valid observation and are not analysed"},
        {"The BY group has", "The data have"},
        {"the levels of the BY group were", "the levels were"},
        {"The observations of the BY group could not be read to find the levels of its",
         "The observations could not be read to find the levels of the"},
        {"The observations of the BY group could", "The observations could"},
        {"in this BY group", "in the data"},
        {"for this BY group", "for the data"},
        {"of this BY group", "of the data"},
    };
    std::string out = text;
    for (const auto& [from, to] : phrases) {
        const std::size_t n = std::strlen(from);
        for (std::size_t at = out.find(from); at != std::string::npos;
             at = out.find(from, at + std::strlen(to)))
            out.replace(at, n, to);
    }
    return out;
}

int logged_errors()
{
    return g_errors;
}
int logged_warnings()
{
    return g_warnings;
}
void reset_message_counts()
{
    g_errors = 0;
    g_warnings = 0;
}

} // namespace vyr

// ---------------------------------------------------------------------------
// Host services.

void xvpmlog(int group, int number, va_list ap)
{
    print_numbered(group, number, ap, true);
}

void xpmlog(int group, int number, ...)
{
    va_list ap;
    va_start(ap, number);
    print_numbered(group, number, ap, true);
    va_end(ap);
}

void xpmout(int group, int number, ...)
{
    va_list ap;
    va_start(ap, number);
    print_numbered(group, number, ap, false);
    va_end(ap);
}

int xpmstr(char* buffer, int size, int group, int number, ...)
{
    const std::string* text = vyr::catalogue_text(group, number);
    if (text == nullptr || buffer == nullptr || size <= 0)
        return 0;
    va_list ap;
    va_start(ap, number);
    std::string out = vyr::format_message(text->c_str(), ap, nullptr);
    va_end(ap);
    int n = static_cast<int>(out.size()) < size ? static_cast<int>(out.size()) : size;
    std::memcpy(buffer, out.data(), static_cast<std::size_t>(n));
    return n;
}

int wkread(int group, int number, const char** text, int* length)
{
    const std::string* t = vyr::catalogue_text(group, number);
    if (t == nullptr) {
        if (text)
            *text = nullptr;
        if (length)
            *length = 0;
        return vyr_code(kMessageFacility, 1);
    }
    if (text)
        *text = t->c_str();
    if (length)
        *length = static_cast<int>(t->size());
    return 0;
}

namespace
{
int vlog_line(const char* format, va_list ap, bool to_log)
{
    vyr::Severity sev = vyr::Severity::None;
    std::string out = vyr::format_message(format, ap, &sev);
    vyr::emit_message(sev, out, to_log);
    return static_cast<int>(out.size());
}
} // namespace

int xpslog(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vlog_line(format, ap, true);
    va_end(ap);
    return n;
}

int xpsnlog(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vlog_line(format, ap, true);
    va_end(ap);
    return n;
}

int xpsnprn(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vlog_line(format, ap, false);
    va_end(ap);
    return n;
}

int xpsstr(char* buffer, int size, const char* format, ...)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    va_list ap;
    va_start(ap, format);
    std::string out = vyr::format_message(format, ap, nullptr);
    va_end(ap);
    int n = static_cast<int>(out.size()) < size - 1 ? static_cast<int>(out.size()) : size - 1;
    std::memcpy(buffer, out.data(), static_cast<std::size_t>(n));
    buffer[n] = '\0';
    return n;
}

void xprrlog(int flag, int rc)
{
    (void)flag;
    if (rc == 0)
        return;
    int number = static_cast<int>(static_cast<unsigned>(rc) & 0x3FFFFFu);
    vyr::Severity sev = rc < 0 ? vyr::Severity::Error : vyr::Severity::Warning;
    std::string out = vyr::host_code_text(rc);
    t_group = kHostCodeGroup;
    t_number = number;
    vyr::emit_message(sev, out, true);
}

void xebug(const char* text)
{
    std::string out = "Internal error: ";
    out += text ? text : "(no text)";
    vyr::emit_message(vyr::Severity::Error, out, true);
}
