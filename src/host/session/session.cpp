// The session: runs a program statement by statement. Global statements
// (OPTIONS, TITLE, FOOTNOTE, LIBNAME, %LET) take effect at once; a PROC
// statement opens a step that RUN;, QUIT;, the next PROC or the end of the
// program closes; each step is handed to its registered procedure and ends
// with a return code, the largest reached.

#include "host/session/session_state.h"

#include "host/messages/catalogue.h"
#include "vyr_atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <sstream>
#include <utility>

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
    // The host's own step-end work (completing and committing data sets,
    // closing utility files): registered once, run after the other step-end
    // hooks, and kept by hooks_clear. The finish hooks complete every file
    // of the step before any of them is put in place.
    std::vector<VyrStepHook> hostFinishHooks, hostEndHooks;
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

namespace
{

// Says in the log which private folders of stopped runs the sweeps removed
// since it was last said.
void log_swept_folders()
{
    for (const SweptFolder& f : take_swept_folders())
        xpmlog(kHostGroup, kMsgSweptFolder, f.path.c_str(), f.files);
    // What was not acted on: a note for another user's hidden folder, or a
    // record that is not a plain file of the run's user; a warning for a
    // record with a line no run writes.
    for (const UntrustedFile& u : take_untrusted_files()) {
        if (u.warning) {
            xpmlog(kHostGroup, kMsgStrangeRecord, u.path.c_str(), u.why.c_str());
            raise_step(4);
        } else if (u.count > 1) {
            xpmlog(kHostGroup, kMsgOthersHidden, u.path.c_str(),
                   static_cast<unsigned long>(u.count), u.why.c_str());
        } else {
            xpmlog(kHostGroup, kMsgUntrustedHidden, u.record ? "record" : "hidden folder",
                   u.path.c_str(), u.owner.c_str(), u.why.c_str());
        }
    }
}

} // namespace

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
    for (;;) {
        while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p])))
            ++p;
        if (p >= text.size())
            break;
        std::size_t nameAt = p;
        while (p < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[p])) || text[p] == '_'))
            ++p;
        const std::string name = upper(std::string_view(text).substr(nameAt, p - nameAt));
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
            std::string why;
            int bad = option_set(name, value, &why);
            if (bad != 0)
                statement_message(bad, st, valueAt, value.c_str(), name.c_str(), why.c_str());
            continue;
        }
        if (option_switch(name) != 0)
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
    if (std::string why; !vyr_assign_library(lib.text, folder.string(), &why)) {
        if (why.empty())
            statement_message(kMsgLibnameNoFolder, st, what.offset, folder.string().c_str(),
                              lib.text.c_str());
        else
            statement_message(kMsgLibnameRefused, st, what.offset, folder.string().c_str(),
                              why.c_str(), lib.text.c_str());
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
    if (e - b > kMacroValueMax) {
        statement_message(kMsgMacroTooLong, st, nameAt, upper(name).c_str(),
                          static_cast<unsigned long>(e - b),
                          static_cast<unsigned long>(kMacroValueMax));
        return;
    }
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
    case 112:
        // Raised with warnings only (no valid observation, no usable
        // bandwidth, no event to analyse): "errors reported above" would
        // send the user looking for an error that is not there.
        return "there was nothing to analyse (see the messages above)";
    case 1012:
        // Also the code of some input errors (an empty cut-point list), whose
        // own message is already in the log: do not call them internal.
        return "the step could not be set up (see the messages above)";
    default:
        return "of the errors reported above";
    }
}

// Names joined by ", ".
std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& n : names)
        text += (text.empty() ? "" : ", ") + n;
    return text;
}

// What a placing that could not be undone left, for its error: the names
// that hold the step's new files (where none does, a name held something
// else than the step's file when it was to be taken back: log_taken names
// those that hold another file), those put back, and where each earlier
// file that could not be put back is kept.
std::string not_undone_text(const Placing& p)
{
    std::string text =
        p.left_new.empty()
            ? std::string("a name no longer held the step's file when it was to be taken back.")
            : "these names hold the step's new file: " + joined(p.left_new) + ".";
    for (const MovedEntry& k : p.kept_aside)
        text += " The earlier file of " + k.planned + " is kept at " + k.placed + ".";
    if (!p.as_before.empty())
        text += " These were put back as they were: " + joined(p.as_before) + ".";
    return text + " Every other file of the step is as it was.";
}

// What a later run did with a placing that a stopped run left in a folder.
std::string recovered_text(const RecoveredPlacing& r)
{
    std::vector<std::string> parts;
    if (!r.put_back.empty())
        parts.push_back(
            std::string(r.put_back.size() == 1 ? "the earlier file of " : "the earlier files of ") +
            joined(r.put_back) + (r.put_back.size() == 1 ? " was" : " were") + " put back");
    if (!r.removed.empty())
        parts.push_back(joined(r.removed) + ", which that run had made, " +
                        (r.removed.size() == 1 ? "was" : "were") + " removed");
    for (const MovedEntry& k : r.kept)
        parts.push_back(k.planned +
                        " holds another file by now (another run's, or written since that run "
                        "was stopped), which stays; its earlier file is kept at " +
                        k.placed);
    for (const MovedEntry& h : r.held)
        parts.push_back("the earlier file of " + h.planned +
                        " could not be put back now and "
                        "stays at " +
                        h.placed + "; the next run that puts files in place there tries again");
    return joined(parts) + ".";
}

// Says what was put back of placings that stopped runs left: a warning for
// each stopped run, raising the step's return code to 4.
void log_recovered(const Placing& placed)
{
    for (const RecoveredPlacing& r : placed.recovered) {
        xpmlog(kHostGroup, kMsgStoppedPlacingPutBack,
               r.program.empty() ? "a program" : r.program.c_str(), r.pid, r.folder.c_str(),
               utc_time_text(r.started).c_str(), recovered_text(r).c_str());
        raise_step(4);
    }
}

// Says which names held another run's file as the step's placing was taken
// back (that file stays): one warning, raising the return code to 4.
void log_taken(const Placing& placed)
{
    std::vector<std::string> names;
    for (const MovedEntry& t : placed.taken)
        names.push_back(t.planned + (t.placed.empty()
                                         ? " (it had no earlier file)"
                                         : " (its earlier file is kept at " + t.placed + ")"));
    if (names.empty())
        return;
    xpmlog(kHostGroup, kMsgUndoFoundOtherRun, joined(names).c_str());
    raise_step(4);
}

int run_step(VyrStep& step)
{
    SessionState& s = ss();
    s.current = &step;
    s.stepRc = 0;
    s.taskExits.clear();
    s.procAnchor = nullptr;
    s.comAnchor = nullptr;
    signal_note_step(true);
    step_files_begin();
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
    auto runHooks = [&](const std::vector<VyrStepHook>& hooks) {
        for (std::size_t i = 0; i < hooks.size(); ++i) {
            int rc = s.stepRc;
            VyrStepHook hook = hooks[i];
            guarded([&] { hook(step, rc); });
            raise_step(rc);
        }
    };
    runHooks(s.endHooks);
    // The data sets are completed and handed to the step's files, which are
    // then put in place all together or not at all, in one call: checked,
    // their folders locked, renamed (a signal waits meanwhile), and undone
    // at the first rename that fails. A step that failed puts none of them
    // in place.
    runHooks(s.hostFinishHooks);
    StepFilesEnd end = StepFilesEnd::Undone;
    if (s.stepRc > 4) {
        if (const std::size_t n = drop_step_files(); n > 0)
            xpmlog(kHostGroup, kMsgStepFilesDropped, static_cast<int>(n));
    } else {
        const Placing placed = place_step_files(&signal_defer_begin);
        log_recovered(placed);
        if (placed.ok) {
            end = StepFilesEnd::Placed;
            for (const MovedEntry& m : placed.moved) {
                xpmlog(kHostGroup, kMsgEntryMoved, m.planned.c_str(), m.placed.c_str());
                raise_step(4);
            }
        } else if (placed.undone) {
            xpmlog(kHostGroup, kMsgStepFileFailed, placed.file.c_str(), placed.why.c_str());
            raise_step(1008);
        } else {
            end = StepFilesEnd::Mixed;
            xpmlog(kHostGroup, kMsgStepFilesNotUndone, placed.file.c_str(), placed.why.c_str(),
                   not_undone_text(placed).c_str());
            raise_step(1008);
        }
        log_taken(placed);
    }
    runHooks(s.hostEndHooks);
    signal_note_step(false);
    signal_defer_end(end);
    note_commits_stop();
    log_swept_folders();
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

void vyr_statement_note(const VyrStatement& statement, std::size_t offset, std::string_view message)
{
    vyr::log_located(vyr::Severity::Note, statement, offset, std::string(message));
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

namespace
{
// The session's temporary WORK folder once made ("" before), and the lock
// that keeps two threads from making two.
std::string g_tempWork;
std::mutex g_tempWorkLock;
// The folder WORK was made in, held, and WORK itself, held: it is removed
// through them, never by its name.
vyr::HeldRef g_tempWorkIn, g_tempWorkHeld;
} // namespace

std::string vyr_work_dir(std::string* why)
{
    const vyr::SessionState& s = vyr::ss();
    if (!s.settings.outDir.empty())
        return s.settings.outDir;
    // Without --out, WORK is a temporary folder made on first use, in the
    // first temporary folder where one can be made (as staging chooses its
    // folder), and removed with everything in it when the session ends.
    // Never the current folder: where none can be made, WORK has no folder,
    // and what needs it fails, naming the folders tried.
    std::lock_guard<std::mutex> guard(g_tempWorkLock);
    if (!g_tempWork.empty())
        return g_tempWork;
    std::string tried;
    const char* tmpdir = std::getenv("TMPDIR");
    bool first = true;
    for (const std::string& folder : vyr::temp_folders()) {
        // The first is TMPDIR when it is set: said so, as it may be any path.
        const bool named = first && tmpdir != nullptr && *tmpdir != '\0';
        first = false;
        std::string reason;
        std::error_code ec;
        // Made absolute, so that it names the same folder wherever it is used
        // from (a TMPDIR given as a relative path).
        const fs::path base = fs::absolute(fs::path(folder), ec);
        if (!ec && vyr::temp_folder_usable(folder, reason)) {
            // Made in the folder the walk of its path held, never by a name
            // that could lead elsewhere by then.
            const vyr::HeldRef in = vyr::hold_folder(base.string(), false, reason);
            const vyr::HeldRef made =
                in == nullptr ? nullptr : vyr::make_own_folder(*in, "korvante-work-", reason);
            if (made != nullptr) {
                g_tempWorkIn = in;
                g_tempWorkHeld = made;
                g_tempWork = made->path;
                break;
            }
        } else if (ec) {
            reason = ec.message();
        }
        tried += (tried.empty() ? "" : "; ") + std::string(named ? "TMPDIR=" : "") + folder + ": " +
                 reason;
    }
    if (g_tempWork.empty()) {
        if (why != nullptr)
            *why = tried;
        return {};
    }
    vyr::signal_note_work_dir(g_tempWorkIn->fd, g_tempWorkHeld->fd,
                              g_tempWork.substr(g_tempWork.rfind('/') + 1));
    vyr_on_session_end([] {
        std::string folder;
        vyr::HeldRef in, held;
        {
            std::lock_guard<std::mutex> g(g_tempWorkLock);
            folder.swap(g_tempWork);
            in.swap(g_tempWorkIn);
            held.swap(g_tempWorkHeld);
        }
        vyr::signal_note_work_dir(-1, -1, "");
        const std::string name = folder.substr(folder.rfind('/') + 1);
        // The log said that WORK's data sets go with it: where they stay,
        // it says so.
        if (in != nullptr && held != nullptr &&
            !vyr::remove_folder_at(in->fd, name.c_str(), held->fd, 4) && errno != ENOENT)
            xpmlog(vyr::kHostGroup, vyr::kMsgWorkNotRemoved, folder.c_str(), std::strerror(errno));
    });
    return g_tempWork;
}

std::string vyr_work_dir_made()
{
    const vyr::SessionState& s = vyr::ss();
    if (!s.settings.outDir.empty())
        return s.settings.outDir;
    std::lock_guard<std::mutex> guard(g_tempWorkLock);
    return g_tempWork;
}

bool vyr_work_is_temporary()
{
    return vyr::ss().settings.outDir.empty() && !vyr_work_dir_made().empty();
}

bool vyr_assign_library(std::string_view libref, std::string_view folder, std::string* why)
{
    std::error_code ec;
    fs::path p{std::string(folder)};
    // A library's data sets and catalogues are read and written there: its
    // path follows no other user's link in a shared folder, and leads to a
    // folder. Each read and write walks it afresh.
    bool refused = false;
    if (std::string walked; vyr::hold_folder(p.string(), false, walked, &refused) == nullptr) {
        if (refused && why != nullptr)
            *why = walked;
        return false;
    }
    fs::path abs = fs::absolute(p, ec);
    const std::string path = (ec ? p : abs).lexically_normal().string();
    vyr::ss().libraries[vyr::upper(libref)] = path;
    vyr::note_data_set_folder(path);
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
void vyr::host_on_step_finish(VyrStepHook hook)
{
    vyr::ss().hostFinishHooks.push_back(std::move(hook));
}
void vyr::host_on_step_end(VyrStepHook hook)
{
    vyr::ss().hostEndHooks.push_back(std::move(hook));
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

namespace vyr
{
namespace
{

// Is `name` the file of a data set (a CSV file or its attribute file), made
// yet or not?
bool data_set_file_name(const fs::path& name)
{
    std::string ext = upper(name.extension().string());
    return ext == ".CSV" || ext == ".ATTR";
}

// The data set's file (NAME.csv or NAME.attr) in `folder` that is the file
// `id`, or "" when none is.
std::string data_file_of(const std::string& folder, const FileIdentity& id)
{
    std::string found;
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr)
        return found;
    while (dirent* e = ::readdir(d)) {
        struct stat st;
        if (data_set_file_name(e->d_name) && ::fstatat(::dirfd(d), e->d_name, &st, 0) == 0 &&
            st.st_dev == id.dev && st.st_ino == id.ino) {
            found = folder + "/" + e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

// The folder a library name leads to, resolved, or "" when it does not exist.
std::string resolved_folder(const std::string& folder)
{
    std::error_code ec;
    fs::path p = fs::canonical(folder.empty() ? fs::path(".") : fs::path(folder), ec);
    return ec ? std::string() : p.string();
}

fs::path landing_folder(const std::string& path, std::vector<fs::path>& missing,
                        std::string* refused = nullptr);

// The listing, log, HTML and JSON files the command line names, each with
// the option that names it.
std::array<std::pair<const char*, const std::string*>, 4>
document_outputs(const VyrSettings& settings)
{
    return {{{"--listing", &settings.listing},
             {"--log", &settings.log},
             {"--html", &settings.html},
             {"--json", &settings.json}}};
}

// Output files that would land on one another, on the program or registry
// file, or on a data set of the data folder or of WORK (where one-level names
// lead) are refused before anything is written: each is named with the
// option that gave it. Names are compared as the files they lead to, through
// any symbolic links, including links to files not made yet. Devices and
// pipes (/dev/null, a terminal) may be shared. A descriptor's path that
// leads to a file (/dev/stdout redirected to one) is compared as that file:
// two documents written through it would write over each other.
bool check_output_paths(const VyrSettings& settings)
{
    struct Given {
        const char* option;
        const std::string& name;
        FileIdentity id;
        nlink_t links = 0; // the names the file has
        bool refused = false;
    };
    std::vector<Given> given;
    for (const auto& [option, path] : document_outputs(settings)) {
        if (path->empty())
            continue;
        struct stat st;
        const bool exists = ::stat(path->c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode))
            continue;
        given.push_back({option, *path, file_identity(*path), exists ? st.st_nlink : 0});
    }
    bool ok = true;
    const std::pair<const std::string*, int> read[] = {{&settings.program, kMsgOutputIsProgram},
                                                       {&settings.registry, kMsgOutputIsRegistry}};
    for (const auto& [file, message] : read) {
        if (file->empty())
            continue;
        const FileIdentity id = file_identity(*file);
        for (const Given& out : given) {
            if (out.id.same(id)) {
                xpmlog(kHostGroup, message, out.option, file->c_str());
                ok = false;
            }
        }
    }
    std::string dataDir = settings.dataDir;
    if (dataDir.empty() && !settings.program.empty()) {
        fs::path parent = fs::path(settings.program).parent_path();
        dataDir = parent.empty() ? std::string(".") : parent.string();
    }
    // WORK is the --out folder, where it is or where the run makes it.
    std::string work;
    if (!settings.outDir.empty()) {
        work = resolved_folder(settings.outDir);
        std::vector<fs::path> missing;
        if (work.empty())
            work = landing_folder(settings.outDir, missing).string();
    }
    const std::pair<const char*, std::string> libraries[] = {{"data", resolved_folder(dataDir)},
                                                             {"WORK", work}};
    for (Given& out : given) {
        const fs::path target(out.id.path);
        if (!data_set_file_name(target))
            continue;
        for (const auto& [library, folder] : libraries) {
            if (!folder.empty() && target.parent_path().string() == folder) {
                xpmlog(kHostGroup, kMsgOutputIsDataSet, out.option, out.name.c_str(), library,
                       folder.c_str());
                ok = false;
                out.refused = true;
                break;
            }
        }
    }
    // A file of more than one name may be a data set's file there under
    // another name (a hard link): the folders are looked through for it.
    for (Given& out : given) {
        if (out.refused || out.links < 2 || !out.id.exists)
            continue;
        for (const auto& [library, folder] : libraries) {
            const std::string other = folder.empty() ? std::string() : data_file_of(folder, out.id);
            if (!other.empty()) {
                const std::string named = out.name + " (another name of " + other + ")";
                xpmlog(kHostGroup, kMsgOutputIsDataSet, out.option, named.c_str(), library,
                       folder.c_str());
                ok = false;
                break;
            }
        }
    }
    for (std::size_t i = 0; i < given.size(); ++i)
        for (std::size_t j = i + 1; j < given.size(); ++j)
            if (given[i].id.same(given[j].id)) {
                xpmlog(kHostGroup, kMsgSameOutputFile, given[i].option, given[j].option,
                       given[j].id.path.c_str());
                ok = false;
            }
    return ok;
}

// A path made absolute and normal, without a trailing separator.
fs::path normal_path(const std::string& path)
{
    std::error_code ec;
    fs::path p = fs::absolute(path.empty() ? fs::path(".") : fs::path(path), ec).lexically_normal();
    if (!p.has_filename() && p.has_parent_path())
        p = p.parent_path();
    return p;
}

// Whether `inner` is `outer` or lies below it (both normal paths).
bool at_or_below(const fs::path& inner, const fs::path& outer)
{
    const fs::path rel = inner.lexically_relative(outer);
    return !rel.empty() && *rel.begin() != "..";
}

// The folder a path leads to, as the kernel follows it (vyr::walk_path):
// absolute, each symbolic link followed (also one to a folder not made yet),
// "." dropped and ".." taken from the folder before it. Below a folder that
// does not exist the parts are taken as named. `missing` gets each folder
// that does not exist and is followed by "..", which the kernel can follow
// only once the folder is made (left empty when there is none). At another
// user's link in a shared folder it stops, the link not followed, and
// `refused` (when given) gets why.
fs::path landing_folder(const std::string& path, std::vector<fs::path>& missing,
                        std::string* refused)
{
    vyr::PathWalk walk;
    if (!vyr::walk_path(path.empty() ? std::string(".") : path, walk) && walk.refused &&
        refused != nullptr)
        *refused = walk.why;
    missing.clear();
    for (const std::string& m : walk.missing)
        missing.push_back(normal_path(m));
    return normal_path(walk.at);
}

// Makes the --out folder where it is not there yet, each folder of its path
// made in the folder held before it (vyr::hold_folder): no name swapped
// meanwhile, nor another user's link in a shared folder, leads it
// elsewhere. False, said, when it cannot be made.
bool make_out_folder(const std::string& out)
{
    std::string why;
    if (vyr::hold_folder(out, true, why) != nullptr)
        return true;
    xpmlog(kHostGroup, kMsgOutDirFailed, out.c_str(), why.c_str());
    return false;
}

// The room the names of the files the run writes in the --out folder take
// (a graph's file in graphs/, a catalogue's folder and entry, a data set).
constexpr std::size_t kOutNameRoom = 256;

// The listing, log, HTML and JSON files can be written where they are named:
// each goes into a folder that exists (or that the run makes: the --out
// folder and the folders above it), and none is the folder of the run's
// graph files (<out>/graphs), made yet or not, or a picture in it, whose
// names the graphs take. An output that breaks this is said, naming its
// option, and the run is not started: no work is done that could not be
// delivered. Then the --out folder is made.
bool check_output_folders(const VyrSettings& settings)
{
    const fs::path out = settings.outDir.empty() ? fs::path() : normal_path(settings.outDir);
    // Where the --out folder is made: a file named inside it or in a folder
    // above it is compared as the folder it leads to, however it is spelled.
    // Nothing is made through another user's link in a shared folder, at any
    // name of the path.
    std::vector<fs::path> unused;
    std::string refused;
    const fs::path outLanding =
        settings.outDir.empty() ? fs::path() : landing_folder(settings.outDir, unused, &refused);
    if (!refused.empty()) {
        xpmlog(kHostGroup, kMsgOutputCannotWrite, "--out", settings.outDir.c_str(),
               refused.c_str());
        return false;
    }
    // Whether the run makes the folder `f` (the --out folder or one above
    // it), if it does not exist yet.
    auto made_by_run = [&](const fs::path& f) {
        return !out.empty() && at_or_below(outLanding, f);
    };
    std::error_code ec;
    const fs::path graphs = out.empty() ? fs::path() : fs::weakly_canonical(out / "graphs", ec);
    bool ok = true;
    // The files the run writes in the --out folder need room for their
    // names (graphs/NAME.svg, a catalogue's folder and entry) and a private
    // folder each: an --out folder whose name leaves too little is refused
    // before any work is done.
    if (const std::size_t room = kOutNameRoom + private_path_room();
        settings.outDir.size() + room >= PATH_MAX) {
        const std::string why = "its name is " + std::to_string(settings.outDir.size()) +
                                " bytes long, and the files written in it need up to " +
                                std::to_string(room) + " bytes more within the " +
                                std::to_string(PATH_MAX - 1) + " bytes a path may have";
        xpmlog(kHostGroup, kMsgOutputCannotWrite, "--out", settings.outDir.c_str(), why.c_str());
        return false;
    }
    for (const auto& [option, path] : document_outputs(settings)) {
        if (path->empty())
            continue;
        struct stat st;
        const bool exists = ::stat(path->c_str(), &st) == 0;
        // A descriptor counts only when the caller opened it: any other is
        // one the run would open itself (its own log file, say).
        const int fd = vyr_descriptor_named(*path);
        if (fd >= 0 && !vyr_descriptor_was_open(fd) && !vyr_stream_was_closed(fd)) {
            const std::string why = "it names descriptor " + std::to_string(fd) +
                                    ", which was not open when korvante started";
            xpmlog(kHostGroup, kMsgOutputCannotWrite, option, path->c_str(), why.c_str());
            ok = false;
            continue;
        }
        // Another user's link in a shared folder is never followed, nor is
        // a chain of links that loops; another user's named pipe there is
        // never written into.
        struct stat at;
        if (std::string target, why;
            fd < 0 && (!resolve_write_target(*path, target, why) ||
                       (::lstat(target.c_str(), &at) == 0 && foreign_pipe(target, at, why)))) {
            xpmlog(kHostGroup, kMsgOutputCannotWrite, option, path->c_str(), why.c_str());
            ok = false;
            continue;
        }
        // A device or a pipe (/dev/null, a terminal) is written as it is,
        // and a descriptor of the run (/dev/stdout, /dev/fd/N) through
        // itself: nothing is made beside the name given, so its folder's
        // rights do not matter.
        if ((exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) || fd >= 0)
            continue;
        const fs::path folder = normal_path(fs::path(*path).parent_path().string());
        // Why the file cannot be written there ("" when it can).
        auto problem = [&]() -> std::string {
            std::vector<fs::path> unusedMissing;
            const fs::path itself = landing_folder(*path, unusedMissing);
            if ((exists && S_ISDIR(st.st_mode)) || made_by_run(itself))
                return "it is a folder";
            // The folder of the run's graph files, made when the first of
            // them is written: refused whether it exists yet or not.
            if (!out.empty() &&
                (normal_path(*path) == out / "graphs" || itself == outLanding / "graphs"))
                return "it is the folder " + (out / "graphs").string() +
                       ", where the run's graph files go";
            std::string why;
            if (!path_fits(*path, why))
                return why;
            // The kernel follows ".." from the folder before it, which must
            // exist when the file is written: "nosuch/../x" cannot be
            // written, though it reads as "x", unless the run makes nosuch
            // (the --out folder or one above it).
            const std::string given = folder_of(*path);
            std::vector<fs::path> missing;
            const fs::path landing = landing_folder(given, missing);
            for (const fs::path& part : fs::path(given))
                if (part == ".." && ::stat(given.c_str(), &st) != 0) {
                    const int err = errno;
                    if (err == ENOENT &&
                        std::all_of(missing.begin(), missing.end(),
                                    [&](const fs::path& m) { return made_by_run(m); }))
                        break;
                    return "the folder " + given + " cannot be reached (" + std::strerror(err) +
                           ")";
                }
            // A picture in the graphs folder, named as it is written or as
            // the file it leads to.
            const std::string ext = upper(fs::path(*path).extension().string());
            if (!out.empty() && (ext == ".SVG" || ext == ".PNG" || ext == ".PDF") &&
                (folder == out / "graphs" || landing == outLanding / "graphs" ||
                 fs::path(file_identity(*path).path).parent_path() == graphs))
                return "it would be a file of the folder " + (out / "graphs").string() +
                       ", where the run's graph files go under names of their own";
            if (::stat(landing.c_str(), &st) != 0) {
                const int err = errno;
                if (err == ENOENT && made_by_run(landing))
                    return std::string(); // the run makes it
                if (err == ENOENT)
                    return "the folder " + folder.string() + " does not exist";
                return "the folder " + folder.string() + " cannot be reached (" +
                       std::strerror(err) + ")";
            }
            if (!S_ISDIR(st.st_mode))
                return folder.string() + " is not a folder";
            if (::access(landing.c_str(), W_OK | X_OK) != 0)
                return "the folder " + folder.string() + " may not be written (" +
                       std::strerror(errno) + ")";
            return std::string();
        };
        const std::string why = problem();
        if (!why.empty()) {
            xpmlog(kHostGroup, kMsgOutputCannotWrite, option, path->c_str(), why.c_str());
            ok = false;
        }
    }
    if (ok && !settings.outDir.empty())
        ok = make_out_folder(settings.outDir);
    return ok;
}

// Checks the command line's folders and options before the program runs.
// Returns false when the run cannot start (each reason is in the log).
bool check_command_line(const VyrSettings& settings)
{
    bool ok = true;
    for (const auto& [name, value] : settings.options) {
        // An empty value is a switch given as one word (--option NOTHREADS).
        std::string why;
        int bad = value.empty() ? option_switch(name) : option_set(name, value, &why);
        if (bad != 0) {
            if (value.empty())
                xpmlog(kHostGroup, kMsgUnknownCommandFlag, name.c_str());
            else
                xpmlog(kHostGroup, kMsgBadCommandOption, name.c_str(), value.c_str(), why.c_str());
            ok = false;
        }
    }
    std::error_code ec;
    if (!settings.outDir.empty() && !make_out_folder(settings.outDir))
        ok = false;
    if (!settings.dataDir.empty() && !fs::is_directory(settings.dataDir, ec)) {
        xpmlog(kHostGroup, kMsgDataDirMissing, settings.dataDir.c_str());
        ok = false;
    }
    // A registry file with bad lines is not a command-line error: each line
    // is reported, and the run goes on and fails.
    if (!settings.registry.empty() && !registry_load(settings.registry))
        session_raise(8);
    return ok;
}

// Puts the session in its starting state for a new run.
void start_session(const VyrSettings& settings)
{
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
    reset_write_failure_hook();
    // The program and the registry file are the run's first inputs: no
    // output of the run replaces them.
    reset_run_files();
    // Data sets are named afresh: nothing of an earlier run in this process
    // (an output still open, the last data set created) carries over.
    data_session_start();
    note_run_input(settings.program);
    note_run_input(settings.registry);
    note_program_for_records(settings.program);
    // One-level names read and write data sets here: no document of the run
    // lands on a data set's file in them.
    note_data_set_folder(vyr_data_dir());
    if (!settings.outDir.empty())
        note_data_set_folder(settings.outDir);
    // The listing, log, HTML and JSON files are the run's first outputs: no
    // graph file, image or catalogue entry lands on one of them.
    for (const auto& [option, path] : document_outputs(settings)) {
        struct stat st;
        if (path->empty() || (::stat(path->c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
            continue;
        std::string other;
        (void)claim_output(*path, OutputKind::Document, std::string("the file named by ") + option,
                           other);
    }
    pools_reset();
    pools_set_limit(0);
    print_reset(settings);
    log_swept_folders();
    VyrSettings seeded = settings;
    seeded.options.clear();
    options_reset(seeded);
    option_set("GRAPHICS", settings.graphics ? "1" : "0");
    registry_reset();
}

// Echoes program lines to the log as the statements that hold them are read.
class ProgramEcho
{
  public:
    explicit ProgramEcho(std::string_view program)
    {
        for (std::size_t p = 0; p <= program.size();) {
            std::size_t e = program.find('\n', p);
            if (e == std::string_view::npos)
                e = program.size();
            std::string_view l = program.substr(p, e - p);
            if (!l.empty() && l.back() == '\r')
                l.remove_suffix(1);
            lines_.push_back(l);
            p = e + 1;
        }
    }
    // Logs every line not yet echoed up to line `last` (from 1).
    void to(int last)
    {
        last = std::min<int>(last, static_cast<int>(lines_.size()));
        for (; echoed_ < last; ++echoed_) {
            char num[16];
            std::snprintf(num, sizeof num, "%-6d ", echoed_ + 1);
            vyr_log_line(std::string(num) +
                         std::string(lines_[static_cast<std::size_t>(echoed_)]));
        }
    }
    void all() { to(static_cast<int>(lines_.size())); }

  private:
    std::vector<std::string_view> lines_;
    int echoed_ = 0;
};

// Logs a message of the program reader at a line and column.
std::string format_text(const char* format, ...)
{
    va_list ap, again;
    va_start(ap, format);
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string out(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, again);
    va_end(again);
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

void reader_message(Severity sev, int number, int line, int column, const std::string& detail)
{
    char where[64];
    std::snprintf(where, sizeof where, "Line %d, column %d: ", line, column);
    std::string text = message_text_plain(number);
    int n = std::snprintf(nullptr, 0, text.c_str(), detail.c_str(), kStatementMax);
    std::string out(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
    std::snprintf(out.data(), out.size(), text.c_str(), detail.c_str(), kStatementMax);
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    emit_message(sev, where + out, true);
}

// Reads the program statement by statement and runs each: global statements
// at once, the statements of a step when the step ends.
class ProgramRunner
{
  public:
    explicit ProgramRunner(std::string_view program)
        : echo_(program),
          reader_(
              program, [](std::string_view n) { return macro_get(n); },
              [](int number, std::string_view name, int line, int column, int count) {
                  const Severity sev =
                      number == kMsgUnresolvedMacro ? Severity::Warning : Severity::Error;
                  if (count == 1) {
                      reader_message(sev, number, line, column, std::string(name));
                  } else {
                      // Many references of one statement: said once, counted.
                      const int many = number == kMsgUnresolvedMacro ? kMsgUnresolvedMacros
                                                                     : kMsgStatementTooLongMany;
                      char where[64];
                      std::snprintf(where, sizeof where, "Line %d, column %d: ", line, column);
                      const std::string n(name);
                      set_next_message_number(kHostGroup, many);
                      emit_message(sev,
                                   where + format_text(message_text_plain(many).c_str(), count,
                                                       n.c_str(), kStatementMax),
                                   true);
                  }
                  if (number != kMsgUnresolvedMacro)
                      session_raise(8);
              },
              kStatementMax)
    {
    }

    void run()
    {
        VyrStatement st;
        for (;;) {
            bool got = reader_.next(st);
            const ReadError& err = reader_.error();
            if (!got) {
                if (err.message != 0 && !saidAlready_)
                    reading_stopped(err);
                break;
            }
            echo_.to(st.lines.empty() ? st.line : st.lines.back());
            if (err.message != 0) {
                // The last statement has no ";": said, and still taken.
                reader_message(Severity::Error, err.message, err.line, err.column, err.detail);
                session_raise(8);
                saidAlready_ = true;
            }
            statement(st);
        }
        finish_step(false);
    }

  private:
    // An error that ends reading (an unclosed comment or string): the step
    // being collected is not run.
    void reading_stopped(const ReadError& err)
    {
        echo_.all();
        reader_message(Severity::Error, err.message, err.line, err.column, err.detail);
        session_raise(8);
        if (pending_) {
            xpmlog(kHostGroup, kMsgStepNotRun, pending_->proc.c_str());
            ss().stepRcs.push_back(8);
            pending_.reset();
        }
    }

    void finish_step(bool byRun)
    {
        if (!pending_)
            return;
        pending_->endedByRun = byRun;
        int rc = run_step(*pending_);
        ss().stepRcs.push_back(rc);
        pending_.reset();
    }

    void open_step(const VyrStatement& st, const std::string& proc)
    {
        finish_step(false);
        VyrStep step;
        step.proc = proc;
        step.number = ++stepNumber_;
        step.statements.push_back(st);
        pending_ = std::move(step);
    }

    // Runs a global statement; false when the statement is not one.
    bool global_statement(const VyrStatement& st, const std::string& key, std::size_t at)
    {
        if (key == "OPTIONS" || key == "OPTION")
            do_options(st, at);
        else if (key.rfind("TITLE", 0) == 0 &&
                 key.find_first_not_of("0123456789", 5) == std::string::npos)
            do_title(st, key, at, false);
        else if (key.rfind("FOOTNOTE", 0) == 0 &&
                 key.find_first_not_of("0123456789", 8) == std::string::npos)
            do_title(st, key, at, true);
        else if (key == "LIBNAME")
            do_libname(st, at);
        else if (key == "%LET")
            do_let(st, at);
        else
            return false;
        return true;
    }

    void statement(const VyrStatement& st)
    {
        StatementScanner sc(st.text);
        Token kw = sc.next();
        // A null statement (a lone ";") does nothing, inside a step or out.
        if (kw.kind == Token::End)
            return;
        const bool isName = kw.kind == Token::Name;
        const std::string& key = kw.text;
        if (isName && key == "PROC") {
            Token name = sc.next();
            if (name.kind != Token::Name || !valid_name(name.text, 32)) {
                finish_step(false);
                statement_message(kMsgExpectedName, st, name.offset, "a procedure name");
                return;
            }
            open_step(st, name.text);
            return;
        }
        if (isName && key == "DATA") {
            open_step(st, "DATA");
            return;
        }
        if (isName && (key == "RUN" || key == "QUIT")) {
            Token after = sc.next();
            bool cancel = after.kind == Token::Name && after.text == "CANCEL";
            if (after.kind != Token::End && !cancel)
                statement_message(kMsgUnexpectedText, st, after.offset, after.raw.c_str());
            if (cancel && pending_) {
                xpmlog(kHostGroup, kMsgStepNotRun, pending_->proc.c_str());
                pending_.reset();
                return;
            }
            finish_step(true);
            return;
        }
        if (isName && global_statement(st, key, sc.offset()))
            return;
        if (pending_) {
            pending_->statements.push_back(st);
            return;
        }
        statement_message(kMsgStatementOutsideStep, st, 0,
                          kw.raw.empty() ? st.text.c_str() : kw.raw.c_str());
    }

    ProgramEcho echo_;
    ProgramReader reader_;
    std::optional<VyrStep> pending_;
    int stepNumber_ = 0;
    bool saidAlready_ = false; // the error of a statement that was still taken
};

// Runs the hooks registered for the end of the session (the HTML page, the
// removal of the temporary WORK folder).
void run_session_end_hooks()
{
    SessionState& s = ss();
    for (std::size_t i = 0; i < s.sessionEndHooks.size(); ++i) {
        std::function<void()> hook = s.sessionEndHooks[i];
        try {
            hook();
        } catch (const StepExit& e) {
            session_raise(e.code);
        } catch (const std::bad_alloc&) {
            xmemmsg(0);
            session_raise(8);
        } catch (const std::exception& e) {
            xpmlog(kHostGroup, kMsgSessionHookFailed, e.what());
            session_raise(8);
        }
    }
    // The hooks belong to this run: a later run in the same process (the
    // tests) registers its own.
    s.sessionEndHooks.clear();
}

// Says how the run ended and closes the listing and the log. Returns the
// exit status.
int finish_run()
{
    SessionState& s = ss();
    int failed = 0;
    for (int rc : s.stepRcs)
        if (rc > 4)
            ++failed;
    log_swept_folders();
    // Decided before the summary lines, which are errors themselves.
    const bool outsideErrors = s.sessionRc > 4;
    const bool listingOk = print_finish_listing();
    // One line says how the run ended, with every reason it failed.
    std::string reasons;
    auto reason = [&](const std::string& r) { reasons += (reasons.empty() ? "" : "; ") + r; };
    if (failed > 0)
        reason(std::to_string(failed) + " of " + std::to_string(s.stepRcs.size()) +
               " step(s) ended with a return code above 4");
    if (outsideErrors)
        reason("errors were found outside the steps (see above)");
    if (!listingOk)
        reason("the listing could not be written");
    // The log is a document of the run too: one that could not take every
    // line fails the run, as the listing does.
    const std::string logFailed = "the log could not be written";
    const bool logOk = print_log_ok();
    if (!logOk)
        reason(logFailed);
    int status = reasons.empty() ? 0 : 1;
    print_log_mark();
    if (status != 0)
        xpmlog(kHostGroup, kMsgRunSummaryFailed, reasons.c_str());
    else
        xpmlog(kHostGroup, kMsgRunSummaryOk, static_cast<int>(s.stepRcs.size()));
    // The summary as it stands when the log then cannot be put in place.
    if (logOk)
        reason(logFailed);
    char failedSummary[2048];
    const int length = xpmstr(failedSummary, sizeof failedSummary, kHostGroup, kMsgRunSummaryFailed,
                              reasons.c_str());
    if (!print_finish(std::string(failedSummary, static_cast<std::size_t>(length))))
        status = 1;
    pools_reset();
    return status;
}

} // namespace
} // namespace vyr

bool vyr::read_named_file(const std::string& path, std::string& text, std::string& why)
{
    // A descriptor's name leads to what the descriptor holds (a pipe, as
    // `<(...)` gives, has no name to walk): opened through the process's own
    // entry for it.
    const int named = vyr_descriptor_named(path);
    const int fd =
        named >= 0 && vyr_descriptor_was_open(named)
            ? ::open(("/proc/self/fd/" + std::to_string(named)).c_str(), O_RDONLY | O_CLOEXEC)
            : open_to_read(path, why, nullptr, nullptr, nullptr, true);
    if (fd < 0) {
        if (why.empty())
            why = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        why = "it is a folder";
    if (why.empty())
        if (const int err = read_rest(fd, text); err != 0)
            why = std::strerror(err);
    ::close(fd);
    return why.empty();
}

int vyr_run(const VyrSettings& settings)
{
    // The program is read whole; a file that cannot be says why.
    std::string text, why;
    if (!vyr::read_named_file(settings.program, text, why)) {
        VyrSettings quiet = settings;
        quiet.listing.clear();
        vyr::print_reset(quiet);
        xpmlog(vyr::kHostGroup, vyr::kMsgProgramUnreadable, settings.program.c_str(), why.c_str());
        vyr::print_finish();
        return 2;
    }
    return vyr_run_text(settings, text);
}

int vyr_run_text(const VyrSettings& settings, std::string_view program)
{
    using namespace vyr;
    // A byte-order mark, as some editors save UTF-8 files, is not program
    // text.
    if (program.substr(0, 3) == "\xEF\xBB\xBF")
        program.remove_prefix(3);
    // Outputs that would overwrite one another or the program: nothing is
    // opened, and the messages go to standard error.
    {
        VyrSettings unopened = settings;
        unopened.listing.clear();
        unopened.log.clear();
        print_reset(unopened);
        bool pathsOk = check_output_paths(settings) && check_output_folders(settings);
        print_finish();
        if (!pathsOk)
            return 2;
    }
    start_session(settings);
    if (!check_command_line(settings)) {
        // A command-line error: the program is not run.
        print_finish();
        pools_reset();
        return 2;
    }
    try {
        ProgramRunner(program).run();
    } catch (const StepExit& e) {
        session_raise(e.code);
    } catch (const std::bad_alloc&) {
        xmemmsg(0);
        session_raise(8);
    } catch (const std::exception& e) {
        xpmlog(kHostGroup, kMsgUnexpectedFailure, e.what());
        session_raise(8);
    }
    // The run's own files are put in place from here on: a signal now says
    // which were written and which were not.
    note_commits_from_now();
    run_session_end_hooks();
    return finish_run();
}
