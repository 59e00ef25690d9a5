// The session: runs a program statement by statement. Global statements
// (OPTIONS, TITLE, FOOTNOTE, LIBNAME, %LET) take effect at once; a PROC
// statement opens a step that RUN;, QUIT;, the next PROC or the end of the
// program closes; each step is handed to its registered procedure and ends
// with a return code, the largest reached.

#include <cstdlib>
#include "host/session/session_state.h"

#include "host/messages/catalogue.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <sstream>

namespace fs = std::filesystem;

namespace vyr
{
namespace
{

bool valid_name(const std::string& n, std::size_t maxlen)
{
    if (n.empty() || n.size() > maxlen)
        return false;
    if (!(std::isalpha(static_cast<unsigned char>(n[0])) || n[0] == '_'))
        return false;
    for (char c : n)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return true;
}

struct SessionState {
    VyrSettings settings;
    std::vector<std::string> titles = std::vector<std::string>(10);
    std::vector<std::string> footnotes = std::vector<std::string>(10);
    std::map<std::string, std::string> libraries;
    std::map<std::string, VyrProcEntry> procedures;
    std::vector<VyrStepHook> beginHooks, endHooks;
    std::vector<std::function<void()>> sessionEndHooks;
    std::vector<int> stepRcs;
    const VyrStep* current = nullptr;
    int stepRc = 0;
    int sessionRc = 0;
    std::vector<void (*)()> taskExits;
    void* procAnchor = nullptr;
    void* comAnchor = nullptr;
    std::string programDir;
};

SessionState& ss()
{
    static SessionState s;
    return s;
}

std::mutex g_rcLock;

void raise_step(int code)
{
    std::lock_guard<std::mutex> g(g_rcLock);
    SessionState& s = ss();
    if (code < 0)
        code = 1012;
    if (s.current != nullptr)
        s.stepRc = std::max(s.stepRc, code);
    else
        s.sessionRc = std::max(s.sessionRc, code);
}

void log_located(Severity sev, const VyrStatement& st, std::size_t offset, const std::string& text)
{
    int l = 0, c = 0;
    st.where(offset, &l, &c);
    char where[64];
    std::snprintf(where, sizeof where, "Line %d, column %d: ", l, c);
    emit_message(sev, where + text, true);
}

std::string message_text(int number, va_list ap, Severity* sev)
{
    const std::string* t = catalogue_text(kHostGroup, number);
    if (t == nullptr) {
        *sev = Severity::Error;
        return "Message " + std::to_string(kHostGroup) + "/" + std::to_string(number) +
               " is not in the catalogue.";
    }
    return format_message(t->c_str(), ap, sev);
}

} // namespace

void statement_message(int number, const VyrStatement& st, std::size_t offset, ...)
{
    va_list ap;
    va_start(ap, offset);
    Severity sev = Severity::None;
    std::string text = message_text(number, ap, &sev);
    va_end(ap);
    set_next_message_number(kHostGroup, number);
    log_located(sev, st, offset, text);
    if (sev == Severity::Error)
        raise_step(8);
    else if (sev == Severity::Warning)
        raise_step(4);
}

void hooks_clear()
{
    SessionState& s = ss();
    s.beginHooks.clear();
    s.endHooks.clear();
    s.sessionEndHooks.clear();
}

void session_raise(int rc)
{
    std::lock_guard<std::mutex> g(g_rcLock);
    ss().sessionRc = std::max(ss().sessionRc, rc);
}

// ---------------------------------------------------------------------------
// Global statements.
namespace
{

// The value after "NAME=": a quoted string, or the characters up to the next
// blank.
std::string option_value(const std::string& text, std::size_t* pos, bool* ok)
{
    std::size_t p = *pos;
    while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p])))
        ++p;
    *ok = p < text.size();
    std::string v;
    if (!*ok) {
        *pos = p;
        return v;
    }
    char q = text[p];
    if (q == '\'' || q == '"') {
        ++p;
        while (p < text.size()) {
            if (text[p] == q) {
                if (p + 1 < text.size() && text[p + 1] == q) {
                    v.push_back(q);
                    p += 2;
                    continue;
                }
                ++p;
                break;
            }
            v.push_back(text[p++]);
        }
    } else {
        while (p < text.size() && !std::isspace(static_cast<unsigned char>(text[p])))
            v.push_back(text[p++]);
    }
    *pos = p;
    return v;
}

void do_options(const VyrStatement& st, std::size_t start)
{
    const std::string& text = st.text;
    std::size_t p = start;
    static const char* const flags[] = {"CENTER", "NUMBER", "DATE", "THREADS", "GRAPHICS"};
    for (;;) {
        while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p])))
            ++p;
        if (p >= text.size())
            break;
        std::size_t nameAt = p;
        std::string name;
        while (p < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[p])) || text[p] == '_'))
            name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[p++]))));
        if (name.empty() || !valid_name(name, 32)) {
            statement_message(kMsgExpectedName, st, nameAt, "an option name");
            return;
        }
        std::size_t q = p;
        while (q < text.size() && std::isspace(static_cast<unsigned char>(text[q])))
            ++q;
        if (q < text.size() && text[q] == '=') {
            p = q + 1;
            bool ok = false;
            std::size_t valueAt = p;
            while (valueAt < text.size() && std::isspace(static_cast<unsigned char>(text[valueAt])))
                ++valueAt;
            std::string value = option_value(text, &p, &ok);
            if (!ok) {
                statement_message(kMsgExpectedValue, st, valueAt, name.c_str());
                return;
            }
            int bad = option_set(name, value);
            if (bad != 0)
                statement_message(bad, st, valueAt, value.c_str(), name.c_str());
            continue;
        }
        bool known = false;
        for (const char* f : flags) {
            if (name == f) {
                option_set(name, "1");
                known = true;
            } else if (name == std::string("NO") + f) {
                option_set(f, "0");
                known = true;
            }
        }
        if (!known)
            statement_message(kMsgUnknownOption, st, nameAt, name.c_str());
    }
}

void do_title(const VyrStatement& st, const std::string& keyword, std::size_t start, bool footnote)
{
    std::string digits = keyword.substr(footnote ? 8 : 5);
    int n = digits.empty() ? 1 : std::atoi(digits.c_str());
    if (n < 1 || n > 10) {
        statement_message(kMsgTitleNumber, st, 0, keyword.c_str());
        return;
    }
    StatementScanner sc(st.text);
    while (sc.offset() < start)
        sc.next();
    std::string text;
    bool anyString = false;
    std::string rest = sc.rest();
    for (Token t = sc.next(); t.kind != Token::End; t = sc.next()) {
        if (t.kind == Token::String) {
            if (anyString)
                text += ' ';
            text += t.text;
            anyString = true;
        }
    }
    if (!anyString)
        text = rest;
    std::vector<std::string>& v = footnote ? ss().footnotes : ss().titles;
    v[static_cast<std::size_t>(n - 1)] = text;
    for (std::size_t i = static_cast<std::size_t>(n); i < v.size(); ++i)
        v[i].clear();
}

void do_libname(const VyrStatement& st, std::size_t start)
{
    StatementScanner sc(st.text);
    while (sc.offset() < start)
        sc.next();
    Token lib = sc.next();
    if (lib.kind != Token::Name || !valid_name(lib.text, 8)) {
        statement_message(kMsgExpectedName, st, lib.offset, "a libref of at most 8 characters");
        return;
    }
    Token what = sc.next();
    if (lib.text == "WORK") {
        statement_message(kMsgLibnameWork, st, lib.offset);
        return;
    }
    if (what.kind == Token::End || (what.kind == Token::Name && what.text == "CLEAR")) {
        ss().libraries.erase(lib.text);
        xpmlog(kHostGroup, kMsgLibnameCleared, lib.text.c_str());
        return;
    }
    if (what.kind != Token::String) {
        statement_message(kMsgExpectedValue, st, what.offset,
                          "the library's folder as a quoted string");
        return;
    }
    Token after = sc.next();
    if (after.kind != Token::End) {
        statement_message(kMsgUnexpectedText, st, after.offset, after.raw.c_str());
        return;
    }
    fs::path folder(what.text);
    if (folder.is_relative() && !ss().programDir.empty())
        folder = fs::path(ss().programDir) / folder;
    if (!vyr_assign_library(lib.text, folder.string())) {
        statement_message(kMsgLibnameNoFolder, st, what.offset, folder.string().c_str(),
                          lib.text.c_str());
        return;
    }
    xpmlog(kHostGroup, kMsgLibnameAssigned, lib.text.c_str(), vyr_library_path(lib.text).c_str());
}

void do_let(const VyrStatement& st, std::size_t start)
{
    const std::string& t = st.text;
    std::size_t p = start;
    while (p < t.size() && std::isspace(static_cast<unsigned char>(t[p])))
        ++p;
    std::size_t nameAt = p;
    std::string name;
    while (p < t.size() && (std::isalnum(static_cast<unsigned char>(t[p])) || t[p] == '_'))
        name.push_back(t[p++]);
    if (!valid_name(name, 32)) {
        statement_message(kMsgBadMacroName, st, nameAt);
        return;
    }
    while (p < t.size() && std::isspace(static_cast<unsigned char>(t[p])))
        ++p;
    if (p >= t.size() || t[p] != '=') {
        statement_message(kMsgExpectedEquals, st, p, name.c_str());
        return;
    }
    ++p;
    std::size_t b = p, e = t.size();
    while (b < e && std::isspace(static_cast<unsigned char>(t[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(t[e - 1])))
        --e;
    macro_set(name, t.substr(b, e - b));
}

const char* exit_reason(int rc)
{
    switch (rc) {
    case 1016:
        return "there was not enough memory";
    case 1020:
        return "a utility file could not be used";
    case 120:
        return "the output could not be produced";
    case 108:
        // Raised with warnings only (no valid observation, no usable
        // bandwidth): "errors reported above" would send the user looking
        // for an error that is not there.
        return "there was nothing to analyse (see the messages above)";
    case 1012:
        // Also the code of some input errors (an empty cut-point list), whose
        // own message is already in the log: do not call them internal.
        return "the step could not be set up (see the messages above)";
    default:
        return "of the errors reported above";
    }
}

int run_step(VyrStep& step)
{
    SessionState& s = ss();
    s.current = &step;
    s.stepRc = 0;
    s.taskExits.clear();
    s.procAnchor = nullptr;
    s.comAnchor = nullptr;
    print_step_begin();
    auto t0 = std::chrono::steady_clock::now();

    auto guarded = [&](auto&& f) {
        try {
            f();
        } catch (const StepExit& e) {
            raise_step(e.code);
        } catch (const std::bad_alloc&) {
            xmemmsg(0);
            raise_step(1016);
        } catch (const std::exception& e) {
            xpmlog(kHostGroup, kMsgStepException, e.what());
            raise_step(1012);
        } catch (...) {
            xpmlog(kHostGroup, kMsgStepException, "unknown failure");
            raise_step(1012);
        }
    };

    // Index loops: a hook may register further hooks.
    for (std::size_t i = 0; i < s.beginHooks.size(); ++i) {
        int rc = s.stepRc;
        VyrStepHook hook = s.beginHooks[i];
        guarded([&] { hook(step, rc); });
        raise_step(rc);
    }
    if (s.stepRc <= 4) {
        VyrProcEntry entry = vyr_find_procedure(step.proc);
        if (step.proc == "DATA") {
            log_located(Severity::Error, step.statements[0], 0, message_text_plain(kMsgDataStep));
            raise_step(8);
        } else if (entry == nullptr) {
            xpmlog(kHostGroup, step.proc == "KORVANTE" ? kMsgProcNotAvailable : kMsgProcNotFound,
                   step.proc.c_str());
            raise_step(8);
        } else {
            guarded([&] { raise_step(entry()); });
        }
    }
    // Task-end functions run last first, each guarded.
    while (!s.taskExits.empty()) {
        void (*fn)() = s.taskExits.back();
        s.taskExits.pop_back();
        guarded([&] { fn(); });
    }
    for (std::size_t i = 0; i < s.endHooks.size(); ++i) {
        int rc = s.stepRc;
        VyrStepHook hook = s.endHooks[i];
        guarded([&] { hook(step, rc); });
        raise_step(rc);
    }
    pools_step_end();
    s.procAnchor = nullptr;
    s.comAnchor = nullptr;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int rc = s.stepRc;
    s.current = nullptr;
    xpmlog(kHostGroup, kMsgStepTime, step.proc.c_str(), secs);
    if (rc > 4)
        xpmlog(kHostGroup, kMsgStepFailed, step.proc.c_str(), rc, exit_reason(rc));
    else if (rc > 0)
        xpmlog(kHostGroup, kMsgStepWarnings, step.proc.c_str(), rc);
    print_step_end();
    print_flush();
    return rc;
}

} // namespace

std::string message_text_plain(int number)
{
    const std::string* t = catalogue_text(kHostGroup, number);
    if (t == nullptr)
        return "Message " + std::to_string(kHostGroup) + "/" + std::to_string(number) +
               " is not in the catalogue.";
    std::string s = *t;
    if (s.size() >= 3 && s[0] == '%' && s[2] == 'z')
        s.erase(0, 3);
    return s;
}

} // namespace vyr

// ---------------------------------------------------------------------------
// Public session interface.

const VyrStep* xcurrentstep()
{
    return vyr::ss().current;
}
int vyr_step_rc()
{
    return vyr::ss().stepRc;
}

void vyr_statement_error(const VyrStatement& statement, std::size_t offset,
                         std::string_view message)
{
    vyr::log_located(vyr::Severity::Error, statement, offset, std::string(message));
    vyr::raise_step(8);
}

void vyr_statement_warning(const VyrStatement& statement, std::size_t offset,
                           std::string_view message)
{
    vyr::log_located(vyr::Severity::Warning, statement, offset, std::string(message));
    vyr::raise_step(4);
}

void vyr_register_procedure(const char* name, VyrProcEntry entry)
{
    if (name != nullptr)
        vyr::ss().procedures[vyr::upper(name)] = entry;
}

VyrProcEntry vyr_find_procedure(std::string_view name)
{
    auto& m = vyr::ss().procedures;
    auto it = m.find(vyr::upper(name));
    return it == m.end() ? nullptr : it->second;
}

std::string vyr_library_path(std::string_view libref)
{
    std::string u = vyr::upper(libref);
    if (u == "WORK")
        return vyr_work_dir();
    if (u == vyr_default_library())
        return vyr_data_dir();
    auto& m = vyr::ss().libraries;
    auto it = m.find(u);
    return it == m.end() ? std::string() : it->second;
}

std::string vyr_default_library()
{
    return "DATA";
}

std::string vyr_data_dir()
{
    const vyr::SessionState& s = vyr::ss();
    if (!s.settings.dataDir.empty())
        return s.settings.dataDir;
    return s.programDir.empty() ? std::string(".") : s.programDir;
}

std::string vyr_work_dir()
{
    const vyr::SessionState& s = vyr::ss();
    if (!s.settings.outDir.empty())
        return s.settings.outDir;
    // Without --out, WORK is a temporary folder made on first use and removed
    // with everything in it when the session ends.
    static std::string temp;
    if (temp.empty()) {
        std::error_code ec;
        std::string pattern = (fs::temp_directory_path(ec) / "korvante-work-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            return std::string(".");
        temp = buf.data();
        vyr_on_session_end([] {
            std::error_code rec;
            fs::remove_all(temp, rec);
            temp.clear();
        });
    }
    return temp;
}

bool vyr_assign_library(std::string_view libref, std::string_view folder)
{
    std::error_code ec;
    fs::path p{std::string(folder)};
    if (!fs::is_directory(p, ec))
        return false;
    fs::path abs = fs::absolute(p, ec);
    vyr::ss().libraries[vyr::upper(libref)] = (ec ? p : abs).lexically_normal().string();
    return true;
}

const VyrSettings& vyr_settings()
{
    return vyr::ss().settings;
}

bool vyr_graphics_enabled()
{
    int len = 0;
    const char* v = xoptcgt("GRAPHICS", &len);
    return len > 0 && v[0] != '0';
}

const std::vector<std::string>& vyr_titles()
{
    return vyr::ss().titles;
}
const std::vector<std::string>& vyr_footnotes()
{
    return vyr::ss().footnotes;
}

void vyr_on_step_begin(VyrStepHook hook)
{
    vyr::ss().beginHooks.push_back(std::move(hook));
}
void vyr_on_step_end(VyrStepHook hook)
{
    vyr::ss().endHooks.push_back(std::move(hook));
}
void vyr_on_session_end(std::function<void()> hook)
{
    vyr::ss().sessionEndHooks.push_back(std::move(hook));
}

const std::vector<int>& vyr_step_rcs()
{
    return vyr::ss().stepRcs;
}

// Step control.
void xexit(int code, long flag)
{
    (void)flag;
    throw vyr::StepExit{code};
}

void xsetrc(int rc)
{
    vyr::raise_step(rc);
}

void xytexit(void (*function)())
{
    if (function != nullptr)
        vyr::ss().taskExits.push_back(function);
}

void** xprocanchor()
{
    return &vyr::ss().procAnchor;
}
void** xcomanchor()
{
    return &vyr::ss().comAnchor;
}

// ---------------------------------------------------------------------------
// Running a program.

int vyr_run(const VyrSettings& settings)
{
    std::ifstream in(settings.program, std::ios::binary);
    if (!in) {
        vyr::print_reset(settings);
        xpmlog(vyr::kHostGroup, vyr::kMsgProgramUnreadable, settings.program.c_str());
        vyr::print_finish();
        return 2;
    }
    std::stringstream text;
    text << in.rdbuf();
    return vyr_run_text(settings, text.str());
}

int vyr_run_text(const VyrSettings& settings, std::string_view program)
{
    using namespace vyr;
    // A byte-order mark, as some editors save UTF-8 files, is not program
    // text.
    if (program.substr(0, 3) == "\xEF\xBB\xBF")
        program.remove_prefix(3);
    SessionState& s = ss();
    s.settings = settings;
    s.titles.assign(10, std::string());
    s.footnotes.assign(10, std::string());
    s.libraries.clear();
    s.stepRcs.clear();
    s.current = nullptr;
    s.stepRc = 0;
    s.sessionRc = 0;
    s.programDir.clear();
    if (!settings.program.empty()) {
        fs::path parent = fs::path(settings.program).parent_path();
        s.programDir = parent.empty() ? std::string(".") : parent.string();
    }
    reset_message_counts();
    pools_reset();
    pools_set_limit(0);
    print_reset(settings);
    {
        VyrSettings seeded = settings;
        seeded.options.clear();
        options_reset(seeded);
    }
    option_set("GRAPHICS", settings.graphics ? "1" : "0");
    for (const auto& [name, value] : settings.options) {
        int bad = option_set(name, value);
        if (bad != 0) {
            xpmlog(kHostGroup, kMsgBadCommandOption, name.c_str(), value.c_str());
            s.sessionRc = std::max(s.sessionRc, 8);
        }
    }
    {
        std::error_code ec;
        if (!settings.outDir.empty() && !fs::is_directory(settings.outDir, ec)) {
            fs::create_directories(settings.outDir, ec);
            if (!fs::is_directory(settings.outDir, ec)) {
                xpmlog(kHostGroup, kMsgOutDirFailed, settings.outDir.c_str());
                s.sessionRc = std::max(s.sessionRc, 8);
            }
        }
        if (!settings.dataDir.empty() && !fs::is_directory(settings.dataDir, ec)) {
            xpmlog(kHostGroup, kMsgDataDirMissing, settings.dataDir.c_str());
            s.sessionRc = std::max(s.sessionRc, 8);
        }
    }
    registry_reset();
    if (!settings.registry.empty() && !registry_load(settings.registry))
        s.sessionRc = std::max(s.sessionRc, 8);

    // Program lines, for echoing them to the log as they are read.
    std::vector<std::string_view> lines;
    for (std::size_t p = 0; p <= program.size();) {
        std::size_t e = program.find('\n', p);
        if (e == std::string_view::npos)
            e = program.size();
        std::string_view l = program.substr(p, e - p);
        if (!l.empty() && l.back() == '\r')
            l.remove_suffix(1);
        lines.push_back(l);
        p = e + 1;
    }
    int echoed = 0;
    auto echo_to = [&](int last) {
        last = std::min<int>(last, static_cast<int>(lines.size()));
        for (; echoed < last; ++echoed) {
            char num[16];
            std::snprintf(num, sizeof num, "%-6d ", echoed + 1);
            vyr_log_line(std::string(num) + std::string(lines[static_cast<std::size_t>(echoed)]));
        }
    };

    ProgramReader reader(
        program, [](std::string_view n) { return macro_get(n); },
        [](std::string_view n, int l, int c) {
            std::string name(n);
            char where[64];
            std::snprintf(where, sizeof where, "Line %d, column %d: ", l, c);
            const std::string* t = catalogue_text(kHostGroup, kMsgUnresolvedMacro);
            std::string text = t ? *t : std::string("%2zThe macro variable %s is not defined.");
            if (text.size() >= 3 && text[0] == '%' && text[2] == 'z')
                text.erase(0, 3);
            char buf[256];
            std::snprintf(buf, sizeof buf, text.c_str(), name.c_str());
            emit_message(Severity::Warning, where + std::string(buf), true);
        });

    std::optional<VyrStep> pending;
    int stepNumber = 0;
    auto finish_step = [&](bool byRun) {
        if (!pending)
            return;
        pending->endedByRun = byRun;
        int rc = run_step(*pending);
        s.stepRcs.push_back(rc);
        pending.reset();
    };

    VyrStatement st;
    bool saidAlready = false; // the error of a statement that was still taken
    for (;;) {
        bool got = reader.next(st);
        const ReadError& err = reader.error();
        if (!got) {
            if (err.message != 0 && !saidAlready) {
                echo_to(static_cast<int>(lines.size()));
                char where[64];
                std::snprintf(where, sizeof where, "Line %d, column %d: ", err.line, err.column);
                emit_message(Severity::Error, where + message_text_plain(err.message), true);
                s.sessionRc = std::max(s.sessionRc, 8);
                if (pending) {
                    xpmlog(kHostGroup, kMsgStepNotRun, pending->proc.c_str());
                    s.stepRcs.push_back(8);
                    pending.reset();
                }
            }
            break;
        }
        echo_to(st.lines.empty() ? st.line : st.lines.back());
        if (err.message != 0) {
            // The last statement has no ";": said, and still taken.
            char where[64];
            std::snprintf(where, sizeof where, "Line %d, column %d: ", err.line, err.column);
            emit_message(Severity::Error, where + message_text_plain(err.message), true);
            s.sessionRc = std::max(s.sessionRc, 8);
            saidAlready = true;
        }
        StatementScanner sc(st.text);
        Token kw = sc.next();
        // A null statement (a lone ";") does nothing, inside a step or out.
        if (kw.kind == Token::End)
            continue;
        std::string key = kw.text;
        if (kw.kind == Token::Name && key == "PROC") {
            finish_step(false);
            Token name = sc.next();
            if (name.kind != Token::Name || !valid_name(name.text, 32)) {
                statement_message(kMsgExpectedName, st, name.offset, "a procedure name");
                continue;
            }
            pending.emplace();
            pending->proc = name.text;
            pending->number = ++stepNumber;
            pending->statements.push_back(st);
            continue;
        }
        if (kw.kind == Token::Name && key == "DATA") {
            finish_step(false);
            pending.emplace();
            pending->proc = "DATA";
            pending->number = ++stepNumber;
            pending->statements.push_back(st);
            continue;
        }
        if (kw.kind == Token::Name && (key == "RUN" || key == "QUIT")) {
            Token after = sc.next();
            if (after.kind != Token::End && !(after.kind == Token::Name && after.text == "CANCEL"))
                statement_message(kMsgUnexpectedText, st, after.offset, after.raw.c_str());
            if (after.kind == Token::Name && after.text == "CANCEL" && pending) {
                xpmlog(kHostGroup, kMsgStepNotRun, pending->proc.c_str());
                pending.reset();
                continue;
            }
            finish_step(true);
            continue;
        }
        bool global = true;
        if (kw.kind == Token::Name && (key == "OPTIONS" || key == "OPTION"))
            do_options(st, sc.offset());
        else if (kw.kind == Token::Name && key.rfind("TITLE", 0) == 0 &&
                 key.find_first_not_of("0123456789", 5) == std::string::npos)
            do_title(st, key, sc.offset(), false);
        else if (kw.kind == Token::Name && key.rfind("FOOTNOTE", 0) == 0 &&
                 key.find_first_not_of("0123456789", 8) == std::string::npos)
            do_title(st, key, sc.offset(), true);
        else if (kw.kind == Token::Name && key == "LIBNAME")
            do_libname(st, sc.offset());
        else if (kw.kind == Token::Name && key == "%LET")
            do_let(st, sc.offset());
        else
            global = false;
        if (global)
            continue;
        if (pending) {
            pending->statements.push_back(st);
            continue;
        }
        statement_message(kMsgStatementOutsideStep, st, 0,
                          kw.raw.empty() ? st.text.c_str() : kw.raw.c_str());
    }
    finish_step(false);

    for (std::size_t i = 0; i < s.sessionEndHooks.size(); ++i) {
        std::function<void()> hook = s.sessionEndHooks[i];
        try {
            hook();
        } catch (const StepExit& e) {
            s.sessionRc = std::max(s.sessionRc, e.code);
        } catch (const std::exception& e) {
            xpmlog(kHostGroup, kMsgSessionHookFailed, e.what());
            s.sessionRc = std::max(s.sessionRc, 8);
        }
    }

    int failed = 0;
    for (int rc : s.stepRcs)
        if (rc > 4)
            ++failed;
    int status = 0;
    bool listingOk = print_finish_listing();
    if (failed > 0) {
        xpmlog(kHostGroup, kMsgRunSummaryFailed, failed, static_cast<int>(s.stepRcs.size()));
        status = 1;
    }
    if (s.sessionRc > 4) {
        xpmlog(kHostGroup, kMsgRunSummaryOutside);
        status = 1;
    }
    if (!listingOk) {
        xpmlog(kHostGroup, kMsgRunSummaryOutput);
        status = 1;
    }
    if (status == 0)
        xpmlog(kHostGroup, kMsgRunSummaryOk, static_cast<int>(s.stepRcs.size()));
    if (!print_finish())
        status = 1;
    pools_reset();
    return status;
}
