// The record of a placing, and what a later run does with one that a run
// stopped while placing left behind (see files_internal.h). A step's files
// are put in place by renames, each earlier file kept in a hidden folder of
// the step until all are in place. A run killed among those renames (or
// among the renames that undo them) leaves some names holding its new
// files and their earlier files in its hidden folders. The record written
// before the first rename says what each hidden folder was to place where,
// so that the next run placing into that folder can put every name back as
// it was before the stopped step, as a database reads its journal, instead
// of sweeping the earlier files away with the folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "host/files/files_internal.h"

namespace vyr
{
namespace
{

using files::kRecordName;
using files::node_at;
using files::NodeId;
using files::PutBack;
using files::RecordLine;
using files::rename2;

constexpr char kRecordHeader[] = "korvante placing record 1\n";

std::mutex g_programLock;
std::string g_program;

// '%' and line ends written as %25 and %0A: a record's fields are lines.
std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '%')
            out += "%25";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

std::string unescaped(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && text.compare(i, 3, "%25") == 0) {
            out += '%';
            i += 2;
        } else if (text[i] == '%' && text.compare(i, 3, "%0A") == 0) {
            out += '\n';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

int write_all(int fd, const std::string& text)
{
    if (write_should_fail())
        return ENOSPC;
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string record_line(const RecordLine& l)
{
    char ids[64];
    std::snprintf(ids, sizeof ids, "%llu %llu ", static_cast<unsigned long long>(l.file.dev),
                  static_cast<unsigned long long>(l.file.ino));
    return std::string("file ") + ids + l.temp + " " + (l.aside.empty() ? "-" : l.aside) + " " +
           escaped(l.target) + "\n";
}

// Whether a record's name for a file of the hidden folder is one a run
// gives there: digits alone.
bool numbered(const std::string& name)
{
    return !name.empty() && name.size() <= 20 &&
           name.find_first_not_of("0123456789") == std::string::npos;
}

// A stopped run's record, read back.
struct Stopped {
    long pid = 0;
    long long started = 0;
    std::string program;
    std::vector<RecordLine> lines;
};

// Reads the record of the hidden folder open as `hfd`; false when there is
// none, or it is not one of ours. A line cut short (the run was stopped
// while writing it) is left out: nothing it names was renamed yet.
bool read_record(int hfd, Stopped& out)
{
    const int fd = ::openat(hfd, kRecordName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    char buf[8192];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (text.rfind(kRecordHeader, 0) != 0)
        return false;
    for (std::size_t at = sizeof kRecordHeader - 1, end;
         (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        char* rest = nullptr;
        if (line.rfind("run ", 0) == 0) {
            out.pid = std::strtol(line.c_str() + 4, &rest, 10);
            out.started = std::strtoll(rest, &rest, 10);
            if (*rest == ' ')
                out.program = unescaped(rest + 1);
            continue;
        }
        if (line.rfind("file ", 0) != 0)
            continue;
        RecordLine l;
        l.file.exists = true;
        l.file.dev = static_cast<dev_t>(std::strtoull(line.c_str() + 5, &rest, 10));
        l.file.ino = static_cast<ino_t>(std::strtoull(rest, &rest, 10));
        const std::string fields = *rest == ' ' ? std::string(rest + 1) : std::string();
        const std::size_t a = fields.find(' '),
                          b = a == std::string::npos ? a : fields.find(' ', a + 1);
        if (b == std::string::npos)
            continue;
        l.temp = fields.substr(0, a);
        l.aside = fields.substr(a + 1, b - a - 1);
        l.target = unescaped(fields.substr(b + 1));
        if (l.aside == "-")
            l.aside.clear();
        if (!numbered(l.temp) || (!l.aside.empty() && !numbered(l.aside)) || l.target.empty())
            continue;
        out.lines.push_back(l);
    }
    return true;
}

// What a record's lines did in one hidden folder, put back as it was before
// the stopped step. False when a file could not be put back for a reason
// that may pass (the record then stays, for a later run to try again).
bool put_folder_back(int pfd, const std::string& folder, int hfd, const std::string& hidden,
                     const Stopped& st, bool exchange, RecoveredPlacing& r)
{
    bool complete = true;
    for (const RecordLine& l : st.lines) {
        const bool absolute = l.target[0] == '/';
        const int tfd = absolute ? AT_FDCWD : pfd;
        const char* target = l.target.c_str();
        const std::string shown = absolute ? l.target : folder + "/" + l.target;
        const std::string earlier = "earlier-" + l.target.substr(l.target.rfind('/') + 1);
        const NodeId at = node_at(tfd, target);
        bool found = false;
        for (const std::string& name : {l.temp, l.aside, earlier}) {
            const NodeId kept = name.empty() ? NodeId() : node_at(hfd, name.c_str());
            if (!kept.exists || kept.same(l.file))
                continue;
            // The earlier file of the name.
            found = true;
            if (at.same(kept)) {
                // Linked aside, never replaced: it is still at its name.
                (void)::unlinkat(hfd, name.c_str(), 0);
                break;
            }
            int err = 0;
            const PutBack back =
                at.exists && !at.same(l.file)
                    ? PutBack::Taken
                    : put_earlier_back(hfd, name.c_str(), tfd, target, l.file, exchange, err);
            if (back == PutBack::Done) {
                r.put_back.push_back(shown);
                break;
            }
            // Kept in the hidden folder, under a name no sweep removes.
            std::string where = name;
            if (name != earlier && files::rename_aside(hfd, name.c_str(), earlier.c_str()))
                where = earlier;
            (back == PutBack::Taken ? r.kept : r.held)
                .push_back({shown, folder + "/" + hidden + "/" + where});
            complete = complete && back == PutBack::Taken;
            break;
        }
        if (!found && at.same(l.file)) {
            // A name the stopped run made, that had nothing before.
            int err = 0;
            const PutBack back = remove_placed(tfd, target, l.file, err);
            if (back == PutBack::Done)
                r.removed.push_back(shown);
            complete = complete && back != PutBack::Failed;
        }
    }
    return complete;
}

// Removes what is left of a stopped run's hidden folder once every name is
// as it was: the record, the new files it names, and the folder when that
// leaves it empty (an earlier file kept as earlier-NAME stays, with it).
int drop_recovered(int pfd, int hfd, const std::string& hidden, const Stopped& st)
{
    int removed = 0;
    (void)::unlinkat(hfd, kRecordName, 0);
    for (const RecordLine& l : st.lines)
        for (const std::string& name : {l.temp, l.aside})
            if (!name.empty() && node_at(hfd, name.c_str()).same(l.file))
                removed += ::unlinkat(hfd, name.c_str(), 0) == 0;
    (void)::unlinkat(pfd, hidden.c_str(), AT_REMOVEDIR);
    return removed;
}

// How many names a recovery says something of.
std::size_t said(const RecoveredPlacing& r)
{
    return r.put_back.size() + r.removed.size() + r.kept.size() + r.held.size();
}

} // namespace

namespace files
{

int rename2(int fromfd, const char* from, int tofd, const char* to, unsigned flags)
{
    return static_cast<int>(::syscall(SYS_renameat2, fromfd, from, tofd, to, flags));
}

bool unsupported(int err)
{
    return err == EINVAL || err == ENOSYS || err == ENOTSUP || err == EOPNOTSUPP;
}

bool rename_aside(int dirfd, const char* from, const char* to)
{
    if (rename2(dirfd, from, dirfd, to, RENAME_NOREPLACE) == 0)
        return true;
    return unsupported(errno) && !node_at(dirfd, to).exists &&
           rename2(dirfd, from, dirfd, to, 0) == 0;
}

NodeId node_at(int dirfd, const char* name)
{
    NodeId id;
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        id.exists = true;
        id.folder = S_ISDIR(st.st_mode);
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    }
    return id;
}

PutBack put_earlier_back(int kfd, const char* kept, int tfd, const char* target,
                         const NodeId& placed, bool exchange, int& err)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        errno = 0;
        const NodeId now = node_at(tfd, target);
        if (!now.exists) {
            if (errno != ENOENT) {
                err = errno;
                return PutBack::Failed;
            }
            if (rename2(kfd, kept, tfd, target, RENAME_NOREPLACE) == 0)
                return PutBack::Done;
            if (errno == EEXIST)
                continue; // made meanwhile: looked at again
            if (!unsupported(errno) || rename2(kfd, kept, tfd, target, 0) != 0) {
                err = errno;
                return PutBack::Failed;
            }
            return PutBack::Done;
        }
        if (!now.same(placed))
            return PutBack::Taken;
        if (exchange) {
            if (rename2(kfd, kept, tfd, target, RENAME_EXCHANGE) == 0) {
                if (node_at(kfd, kept).same(placed)) {
                    (void)::unlinkat(kfd, kept, 0);
                    return PutBack::Done;
                }
                // Another run put its file at the name meanwhile: it goes
                // back there.
                (void)rename2(kfd, kept, tfd, target, RENAME_EXCHANGE);
                return PutBack::Taken;
            }
            if (errno == ENOENT)
                continue;
            if (!unsupported(errno)) {
                err = errno;
                return PutBack::Failed;
            }
        }
        if (rename2(kfd, kept, tfd, target, 0) == 0)
            return PutBack::Done;
        err = errno;
        return PutBack::Failed;
    }
    err = EAGAIN;
    return PutBack::Failed;
}

PutBack remove_placed(int tfd, const char* target, const NodeId& placed, int& err)
{
    errno = 0;
    const NodeId now = node_at(tfd, target);
    if (!now.exists) {
        if (errno == ENOENT)
            return PutBack::Done;
        err = errno;
        return PutBack::Failed;
    }
    if (!now.same(placed))
        return PutBack::Taken;
    if (::unlinkat(tfd, target, 0) == 0 || errno == ENOENT)
        return PutBack::Done;
    err = errno;
    return PutBack::Failed;
}

int write_placing_record(int hfd, const std::vector<RecordLine>& lines)
{
    const int fd = ::openat(hfd, kRecordName,
                            O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    std::string text = kRecordHeader;
    {
        std::lock_guard<std::mutex> g(g_programLock);
        text += "run " + std::to_string(static_cast<long>(::getpid())) + " " +
                std::to_string(static_cast<long long>(std::time(nullptr))) + " " +
                escaped(g_program) + "\n";
    }
    for (const RecordLine& l : lines)
        text += record_line(l);
    const int err = write_all(fd, text);
    ::close(fd);
    if (err != 0)
        end_placing_record(hfd);
    return err;
}

int add_to_placing_record(int hfd, const RecordLine& line)
{
    const int fd = ::openat(hfd, kRecordName, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int err = write_all(fd, record_line(line));
    ::close(fd);
    return err;
}

void end_placing_record(int hfd)
{
    (void)::unlinkat(hfd, kRecordName, 0);
}

void recover_stopped_placings(const std::string& folder, bool exchange,
                              std::vector<RecoveredPlacing>& out)
{
    const std::string dir = folder.empty() ? std::string(".") : folder;
    const int pfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pfd < 0)
        return;
    const int dup = fcntl(pfd, F_DUPFD_CLOEXEC, 0);
    DIR* d = dup >= 0 ? fdopendir(dup) : nullptr;
    std::vector<std::string> hidden;
    if (d != nullptr) {
        while (dirent* e = readdir(d))
            if (stage_folder_name(e->d_name))
                hidden.emplace_back(e->d_name);
        closedir(d);
    } else if (dup >= 0) {
        ::close(dup);
    }
    // Hidden folders in which a stopped run had renamed nothing: each is
    // said as the sweep says what it removes, unless its run is said anyway.
    struct Quiet {
        std::size_t run;
        std::string path;
        int files;
    };
    std::vector<Quiet> quiet;
    const std::size_t first = out.size();
    for (const std::string& name : hidden) {
        const int hfd =
            ::openat(pfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (hfd < 0)
            continue;
        // A living run holds its hidden folders' locks (and so does a run
        // putting this one back now).
        Stopped st;
        if (::faccessat(hfd, kRecordName, F_OK, AT_SYMLINK_NOFOLLOW) != 0 ||
            flock(hfd, LOCK_EX | LOCK_NB) != 0 || !read_record(hfd, st)) {
            ::close(hfd);
            continue;
        }
        std::size_t run = first;
        while (run < out.size() && !(out[run].pid == st.pid && out[run].started == st.started &&
                                     out[run].program == st.program))
            ++run;
        if (run == out.size())
            out.push_back({dir, st.pid, st.started, st.program, {}, {}, {}, {}});
        RecoveredPlacing& r = out[run];
        const std::size_t before = said(r);
        if (put_folder_back(pfd, dir, hfd, name, st, exchange, r)) {
            const int removed = drop_recovered(pfd, hfd, name, st);
            if (said(r) == before)
                quiet.push_back({run, dir + "/" + name, removed});
        }
        ::close(hfd);
    }
    ::close(pfd);
    for (const Quiet& q : quiet)
        if (said(out[q.run]) == 0)
            note_swept_folder(q.path, q.files);
    std::erase_if(out, [](const RecoveredPlacing& o) { return said(o) == 0; });
    // Named in the order of their names, not of the folder's listing.
    for (std::size_t i = first; i < out.size(); ++i) {
        std::sort(out[i].put_back.begin(), out[i].put_back.end());
        std::sort(out[i].removed.begin(), out[i].removed.end());
    }
}

} // namespace files

void note_program_for_records(const std::string& program)
{
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(program, ec);
    std::lock_guard<std::mutex> g(g_programLock);
    g_program = ec ? program : p.lexically_normal().string();
}

} // namespace vyr
