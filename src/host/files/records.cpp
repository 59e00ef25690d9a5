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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/data/data_internal.h"
#include "host/files/files_internal.h"
#include "vyr_text.h"

namespace vyr
{
namespace
{

using files::kPlacedName;
using files::kRecordName;
using files::node_at;
using files::NodeId;
using files::PutBack;
using files::RecordLine;
using files::rename2;

constexpr char kRecordHeader[] = "korvante placing record 4\n";
// The records of the previous version: each file known by its identity
// alone, without the digest of its bytes.
constexpr char kUndigestedHeader[] = "korvante placing record 3\n";
// The records of the previous version: no step line (each record is a step
// of its own), and they are never named as placed.
constexpr char kUntaggedHeader[] = "korvante placing record 2\n";
// The records of an earlier version, which know each new file by its inode
// alone: a name is never taken to hold such a record's file (a file written
// there since could have its inode), so what a name holds now stays, and its
// earlier file is kept beside it.
constexpr char kOldRecordHeader[] = "korvante placing record 1\n";
// The most of a record that is read. A line names one file of its hidden
// folder in well under a kilobyte: this is room for tens of thousands of
// files, and keeps a huge file at a record's name from taking the memory.
constexpr off_t kRecordMax = 64 << 20;

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

// A record's text as the log shows it: valid UTF-8, control characters as
// \t, \n, \r or \xHH, so that no text read from a file makes lines of its
// own there.
std::string printable(const std::string& text)
{
    std::string out;
    write_text(out, text, Controls::Show);
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

// "file DEV INO SIZE MTIME-SECONDS MTIME-NANOSECONDS DIGEST HAD TEMP ASIDE
// TARGET", DIGEST 16 hexadecimal digits, or "-" where it is not known, HAD
// 1 where the target held a file, else 0.
std::string record_line(const RecordLine& l)
{
    char ids[200], digest[20] = "-";
    if (l.file.digested)
        std::snprintf(digest, sizeof digest, "%016llx",
                      static_cast<unsigned long long>(l.file.digest));
    std::snprintf(ids, sizeof ids, "%llu %llu %lld %lld %ld %s %d ",
                  static_cast<unsigned long long>(l.file.dev),
                  static_cast<unsigned long long>(l.file.ino), l.file.size, l.file.mtimeSec,
                  l.file.mtimeNsec, digest, l.hadEarlier ? 1 : 0);
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

// Whether a record's target names one entry of the folder that holds its
// hidden folder, as every target a run records does: no path, no "." or "..".
bool plain_name(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// Reads a number of digits alone at `at` in `line`, followed by a space
// (passed over) or the end; false when there is none.
bool number_at(const std::string& line, std::size_t& at, unsigned long long& value)
{
    const std::size_t end = std::min(line.find(' ', at), line.size());
    if (end == at || end - at > 20 || line.find_first_not_of("0123456789", at) < end)
        return false;
    errno = 0;
    value = std::strtoull(line.c_str() + at, nullptr, 10);
    if (errno != 0)
        return false;
    at = end == line.size() ? end : end + 1;
    return true;
}

// A stopped run's record, read back.
struct Stopped {
    long pid = 0;
    long long started = 0;
    std::string program;
    // The tag all records of its step carry ("" for an earlier version's),
    // and whether it is named as placed (its step ended).
    std::string step;
    bool placed = false;
    std::vector<RecordLine> lines;
};

// "step TAG": 16 hexadecimal digits.
bool step_line(const std::string& line, Stopped& out)
{
    if (line.size() != 21 || line.rfind("step ", 0) != 0 ||
        line.find_first_not_of("0123456789abcdef", 5) != std::string::npos)
        return false;
    out.step = line.substr(5);
    return true;
}

// "run PID TIME PROGRAM".
bool run_line(const std::string& line, Stopped& out)
{
    std::size_t at = 4;
    unsigned long long pid = 0, started = 0;
    if (line.rfind("run ", 0) != 0 || !number_at(line, at, pid) || at >= line.size() ||
        !number_at(line, at, started) || line[at - 1] != ' ')
        return false;
    out.pid = static_cast<long>(pid);
    out.started = static_cast<long long>(started);
    out.program = printable(unescaped(line.substr(at)));
    return true;
}

// A file's line; `old`: of a record that knows the file by its inode alone;
// `digests`: of one that gives the digest of its bytes.
bool file_line(const std::string& line, bool old, bool digests, RecordLine& l)
{
    std::size_t at = 5;
    unsigned long long dev = 0, ino = 0, size = 0, sec = 0, nsec = 0;
    if (line.rfind("file ", 0) != 0 || !number_at(line, at, dev) || !number_at(line, at, ino))
        return false;
    if (!old && (!number_at(line, at, size) || !number_at(line, at, sec) ||
                 !number_at(line, at, nsec) || nsec >= 1000000000ULL))
        return false;
    if (digests) {
        if (line.compare(at, 2, "- ") == 0) {
            at += 2;
        } else if (line.size() > at + 16 && line[at + 16] == ' ' &&
                   line.find_first_not_of("0123456789abcdef", at) == at + 16) {
            l.file.digested = true;
            l.file.digest = std::strtoull(line.substr(at, 16).c_str(), nullptr, 16);
            at += 17;
        } else {
            return false;
        }
        if (line.compare(at, 2, "0 ") != 0 && line.compare(at, 2, "1 ") != 0)
            return false;
        l.knowsEarlier = true;
        l.hadEarlier = line[at] == '1';
        at += 2;
    }
    const std::size_t a = line.find(' ', at),
                      b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (b == std::string::npos)
        return false;
    l.file.exists = true;
    l.file.dev = static_cast<dev_t>(dev);
    l.file.ino = static_cast<ino_t>(ino);
    l.file.full = !old;
    l.file.size = static_cast<long long>(size);
    l.file.mtimeSec = static_cast<long long>(sec);
    l.file.mtimeNsec = static_cast<long>(nsec);
    l.temp = line.substr(at, a - at);
    l.aside = line.substr(a + 1, b - a - 1);
    l.target = unescaped(line.substr(b + 1));
    if (l.aside == "-")
        l.aside.clear();
    return numbered(l.temp) && (l.aside.empty() || numbered(l.aside)) && plain_name(l.target);
}

// What reading a hidden folder's record found.
enum class Record {
    None,    // there is none
    Refused, // not a plain file of this user with one name and a record's size: not read
    Strange, // a line no run writes: not acted on
    Unknown, // it could not be opened or read (no descriptor left, say): `why`
    Read
};

// Reads the record of the hidden folder open as `hfd` (one of this user's
// own). A record is read only when it is a plain file of the run's user,
// with one name, no longer than a record can be: a symbolic link is not
// followed, a named pipe not waited on, a huge file not taken into memory.
// Every line must be one a run writes, each target one name of the folder
// that holds the hidden folder. A line cut short (the run was stopped while
// writing it) is left out: nothing it names was renamed yet. `owner` and
// `why` say what was wrong.
Record read_record(int hfd, Stopped& out, uid_t& owner, std::string& why)
{
    owner = ::geteuid();
    // Under its first name, or, once its step ended, its second.
    const char* name = kRecordName;
    int fd = ::openat(hfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        name = kPlacedName;
        fd = ::openat(hfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        out.placed = true;
    }
    struct stat st;
    if (fd < 0) {
        const int err = errno;
        // Only "not there" means there is no record. A link at its name is
        // no record of a run's; any other failure leaves what the record
        // says not known.
        if (err == ENOENT)
            return Record::None;
        why = std::strerror(err);
        if (err != ELOOP)
            return Record::Unknown;
        if (::fstatat(hfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            owner = st.st_uid;
        why = "it is a symbolic link";
        return Record::Refused;
    }
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return Record::Unknown;
    }
    if (!S_ISREG(st.st_mode))
        why = S_ISFIFO(st.st_mode) ? "it is a named pipe, not a plain file"
                                   : "it is not a plain file";
    else if (!files::own_file(st.st_uid, hfd))
        why = "it is another user's";
    else if (st.st_nlink != 1)
        why =
            "it has " + std::to_string(st.st_nlink) + " names (hard links), where a record has one";
    else if (st.st_size > kRecordMax)
        why = "it is " + std::to_string(static_cast<long long>(st.st_size)) +
              " bytes long, more than a record ever holds";
    if (!why.empty()) {
        owner = st.st_uid;
        ::close(fd);
        return Record::Refused;
    }
    std::string text;
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buf[8192];
    int readErr = 0;
    while (text.size() <= static_cast<std::size_t>(kRecordMax)) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            readErr = errno;
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (readErr != 0) {
        why = std::strerror(readErr);
        return Record::Unknown;
    }
    if (text.size() > static_cast<std::size_t>(kRecordMax)) {
        owner = st.st_uid;
        why = "it grew past " + std::to_string(static_cast<long long>(kRecordMax)) +
              " bytes while it was read, more than a record ever holds";
        return Record::Refused;
    }
    const bool old = text.rfind(kOldRecordHeader, 0) == 0;
    const bool digests = text.rfind(kRecordHeader, 0) == 0;
    const bool tagged = digests || text.rfind(kUndigestedHeader, 0) == 0;
    if (!old && !tagged && text.rfind(kUntaggedHeader, 0) != 0) {
        if (text.find('\n') == std::string::npos && std::string(kRecordHeader).rfind(text, 0) == 0)
            return Record::Read; // the header cut short: nothing was renamed
        why = "line 1: " + printable(text.substr(0, std::min<std::size_t>(text.find('\n'), 120)));
        return Record::Strange;
    }
    // A record of its step's end is never an earlier version's.
    if (out.placed && !tagged) {
        why = "line 1: " + printable(text.substr(0, std::min<std::size_t>(text.find('\n'), 120)));
        return Record::Strange;
    }
    bool ran = false;
    int number = 1;
    for (std::size_t at = sizeof kRecordHeader - 1, end;
         (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        ++number;
        RecordLine l;
        if (!ran && number == 2 && run_line(line, out))
            ran = !tagged;
        else if (!ran && number == 3 && tagged && step_line(line, out))
            ran = true;
        else if (ran && file_line(line, old, digests, l))
            out.lines.push_back(l);
        else {
            why = "line " + std::to_string(number) + ": " + printable(line.substr(0, 120));
            return Record::Strange;
        }
    }
    return Record::Read;
}

// What the temporary name of a record's line holds in a stopped run's
// hidden folder, open as `hfd`, where the file known as `now` is.
enum class Temp { New, Earlier, Unknown };

// The temporary name holds the new file until a swap puts the earlier file
// of the target there (and a swap that puts the earlier file back puts the
// new file there again): which of the two it holds is told by the file's
// identity where the file system keeps it (both files exist at once, so
// they never share an inode), else by its bytes, which the record keeps:
// an earlier file of the same bytes is as good as the new one, and either
// is the right one to put back. A file whose bytes cannot be read is not
// known.
Temp temp_holds(int hfd, const RecordLine& l, const NodeId& now)
{
    if (files::identity_kept(hfd) || !l.file.digested)
        return now.same(l.file) ? Temp::New : Temp::Earlier;
    if (now.folder || now.size != l.file.size)
        return Temp::Earlier;
    std::uint64_t digest = 0;
    if (!files::digest_at(hfd, l.temp.c_str(), digest))
        return Temp::Unknown;
    return digest == l.file.digest ? Temp::New : Temp::Earlier;
}

// What a record's lines did in one hidden folder, put back as it was before
// the stopped step. Every target is one name of the folder open as `pfd`,
// which holds the hidden folder. A name holds the stopped run's new file
// only while it is that very file, not written since: any other file there
// (written since in place, or made anew, even on the same inode) is
// another's, and stays. False when a file could not be put back for a
// reason that may pass (the record then stays, for a later run to try
// again).
bool put_folder_back(int pfd, const std::string& folder, int hfd, const std::string& hidden,
                     const Stopped& st, bool exchange, RecoveredPlacing& r)
{
    bool complete = true;
    const bool identity = files::identity_kept(hfd);
    for (const RecordLine& l : st.lines) {
        const char* target = l.target.c_str();
        const std::string shown = folder + "/" + l.target;
        const std::string earlier = files::kept_name(l.target, l.temp);
        const NodeId at = node_at(pfd, target);
        // Where its earlier file is, told by the names of the hidden folder,
        // which only the stopped run and those putting its placing back
        // gave: the name aside and earlier-NAME never hold anything else (a
        // file that passes for the new one by its bytes there is the earlier
        // file all the same), the temporary name only after a swap.
        std::string name;
        NodeId kept;
        bool known = true, temp = false;
        for (const std::string& n : {l.aside, earlier, l.temp}) {
            errno = 0;
            kept = n.empty() ? NodeId() : node_at(hfd, n.c_str());
            if (!kept.exists) {
                known = known && (n.empty() || errno == ENOENT);
                continue;
            }
            if (n == l.temp) {
                temp = true;
                const Temp holds = temp_holds(hfd, l, kept);
                known = known && holds != Temp::Unknown;
                if (holds != Temp::Earlier)
                    continue;
            }
            name = n;
            break;
        }
        if (!name.empty()) {
            if (name == l.aside && at.same(kept)) {
                // Linked aside, never replaced: it is still at its name.
                (void)::unlinkat(hfd, name.c_str(), 0);
                continue;
            }
            const bool taken = at.exists && !files::still_placed(pfd, target, at, l.file);
            // A swap puts the file it takes from the target where the earlier
            // file was: only ever at the temporary name, free by now, so
            // that no other name of the hidden folder holds the new file.
            if (!taken && exchange && identity && name != l.temp && at.exists &&
                files::rename_aside(hfd, name.c_str(), l.temp.c_str()))
                name = l.temp;
            int err = 0;
            const PutBack back = taken ? PutBack::Taken
                                       : put_earlier_back(hfd, name.c_str(), pfd, target, l.file,
                                                          exchange && name == l.temp, err);
            if (back == PutBack::Done) {
                r.put_back.push_back(shown);
                continue;
            }
            // Kept in the hidden folder, under a name no sweep removes. Where
            // it cannot take that name, the record stays too, so that no
            // sweep removes the folder, and a later run tries again.
            std::string where = name;
            if (name != earlier && files::rename_aside(hfd, name.c_str(), earlier.c_str()))
                where = earlier;
            (back == PutBack::Taken ? r.kept : r.held)
                .push_back({shown, folder + "/" + hidden + "/" + where});
            complete = complete && back == PutBack::Taken && where == earlier;
            continue;
        }
        if (!known) {
            // Whether an earlier file is kept, and where, is not known now
            // (a file of the hidden folder could not be looked at or read):
            // the record stays, and a later run tries again.
            r.held.push_back({shown, folder + "/" + hidden});
            complete = false;
            continue;
        }
        // Where no earlier file is kept, a name that had none before holds the
        // stopped run's file once that file left the hidden folder. A name
        // that had one holds it again (an undo put it back), or another's.
        if (!(l.knowsEarlier && l.hadEarlier) && !temp &&
            files::still_placed(pfd, target, at, l.file)) {
            // A name the stopped run made, that had nothing before.
            int err = 0;
            const PutBack back = remove_placed(pfd, target, l.file, err);
            if (back == PutBack::Done)
                r.removed.push_back(shown);
            complete = complete && back != PutBack::Failed;
        }
    }
    return complete;
}

// Removes what is left of a stopped run's hidden folder once every name is
// as it was: the record, the new files at the temporary names it gives (an
// earlier file there was put back, or kept as earlier-NAME, by then), and
// the folder when that leaves it empty (an earlier file kept as
// earlier-NAME stays, with it). Returns how many files went with the
// folder, or -1 when the folder stays (it holds a kept file, or files the
// record did not name: a run stopped before its record was written, whose
// files the next sweep removes).
int drop_recovered(int pfd, int hfd, int& live, const std::string& hidden, const Stopped& st)
{
    int removed = 0;
    files::end_placing_record(hfd);
    for (const RecordLine& l : st.lines)
        removed += ::unlinkat(hfd, l.temp.c_str(), 0) == 0;
    // Its lock file goes last (see remove_hidden_at); a folder that stays,
    // with a kept file, gets another when it is next looked at.
    return files::remove_hidden_at(pfd, hidden.c_str(), hfd, live, false) ? removed : -1;
}

// Removes what is left of a stopped run's hidden folder whose step ended
// (every file of it in place): the record, the earlier files it kept aside
// under the names the record gives (the step's files replaced them), and
// the folder when that leaves it empty (a file kept as earlier-NAME by an
// earlier failure stays, with it). Returns how many files went, or -1 when
// the folder stays.
int drop_ended(int pfd, int hfd, int& live, const std::string& hidden, const Stopped& st)
{
    int removed = 0;
    files::end_placing_record(hfd);
    for (const RecordLine& l : st.lines)
        for (const std::string& name : {l.temp, l.aside})
            if (!name.empty())
                removed += ::unlinkat(hfd, name.c_str(), 0) == 0;
    return files::remove_hidden_at(pfd, hidden.c_str(), hfd, live, false) ? removed : -1;
}

// How many names a recovery says something of.
std::size_t said(const RecoveredPlacing& r)
{
    return r.put_back.size() + r.removed.size() + r.kept.size() + r.held.size();
}

} // namespace

namespace files
{

std::string kept_name(const std::string& target, const std::string& number)
{
    const std::string whole = "earlier-" + target;
    if (whole.size() <= NAME_MAX)
        return whole;
    // The name cut short, at a character's start, with the number the file
    // had (no two files of a hidden folder share one).
    std::size_t keep = NAME_MAX - 1 - number.size();
    while (keep > 8 && (static_cast<unsigned char>(whole[keep]) & 0xC0) == 0x80)
        --keep;
    return whole.substr(0, keep) + "~" + number;
}

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

bool identity_kept(int fd)
{
    constexpr long kFuse = 0x65735546, kCifs = 0xFF534D42, kSmb2 = 0xFE534D42;
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return true;
    const long type = static_cast<long>(fs.f_type);
    return type != kFuse && type != kCifs && type != kSmb2;
}

bool digest_at(int dirfd, const char* name, std::uint64_t& digest)
{
    const int fd = ::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    data::DigestStream stream;
    std::vector<char> buf(read ? std::size_t(1) << 20 : 0);
    while (read) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            read = n == 0;
            break;
        }
        stream.update(buf.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (read)
        digest = stream.finish();
    return read;
}

bool still_placed(int dirfd, const char* name, const NodeId& now, const NodeId& placed)
{
    if (now.unchanged(placed))
        return true;
    std::uint64_t digest = 0;
    return now.exists && !now.folder && placed.digested && now.size == placed.size &&
           digest_at(dirfd, name, digest) && digest == placed.digest;
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
        id.full = true;
        id.size = static_cast<long long>(st.st_size);
        id.mtimeSec = static_cast<long long>(st.st_mtim.tv_sec);
        id.mtimeNsec = st.st_mtim.tv_nsec;
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
        if (!still_placed(tfd, target, now, placed))
            return PutBack::Taken;
        if (exchange) {
            if (rename2(kfd, kept, tfd, target, RENAME_EXCHANGE) == 0) {
                if (still_placed(kfd, kept, node_at(kfd, kept), placed)) {
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
    if (!still_placed(tfd, target, now, placed))
        return PutBack::Taken;
    if (::unlinkat(tfd, target, 0) == 0 || errno == ENOENT)
        return PutBack::Done;
    err = errno;
    return PutBack::Failed;
}

int write_placing_record(int hfd, const std::vector<RecordLine>& lines, const std::string& step)
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
    text += "step " + step + "\n";
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

int mark_record_placed(int hfd)
{
    return ::renameat(hfd, kRecordName, hfd, kPlacedName) == 0 ? 0 : errno;
}

void end_placing_record(int hfd)
{
    (void)::unlinkat(hfd, kRecordName, 0);
    (void)::unlinkat(hfd, kPlacedName, 0);
}

// Calls `each` with every stale hidden folder of `dir` (this user's own, no
// living run's) whose record can be trusted and read: the folder open as
// `pfd`, the hidden folder's name, open and locked as `hfd`, and its record;
// until `each` returns false. What cannot be trusted or read is noted for
// the log (once per run). Returns "", or why the folder, one of its hidden
// folders or a record in one could not be looked at (no descriptor left,
// say): what it holds is then not known.
std::string
each_stale_record(const HeldFolder& held, bool act,
                  const std::function<bool(int pfd, int hfd, int& live, const std::string& name,
                                           const Stopped& st)>& each)
{
    const std::string& dir = held.path;
    int err = 0;
    const std::vector<std::string> hidden = hidden_names(held, &err);
    if (err != 0)
        return "the folder " + dir + " could not be read (" + std::strerror(err) + ")";
    if (hidden.empty())
        return std::string();
    const int pfd = held.fd;
    std::string failed;
    bool more = true;
    for (std::size_t i = 0; i < hidden.size() && more && failed.empty(); ++i) {
        const std::string& name = hidden[i];
        int hfd = -1, live = -1;
        switch (open_hidden(pfd, name, dir + "/" + name, hfd, live, act, &err)) {
        case HiddenState::Stale:
            break;
        case HiddenState::Unknown:
            failed = "the hidden folder " + dir + "/" + name + " could not be opened (" +
                     std::strerror(err) + ")";
            continue;
        default:
            continue;
        }
        Stopped st;
        uid_t owner = 0;
        std::string why;
        const std::string path = dir + "/" + name + "/" + kRecordName;
        switch (read_record(hfd, st, owner, why)) {
        case Record::None:
            break;
        case Record::Refused:
            note_untrusted({path, owner_text(owner), why, true, false});
            break;
        case Record::Strange:
            note_untrusted({path, owner_text(owner), why, true, true});
            break;
        case Record::Unknown:
            failed = "the record " + path + " could not be read (" + why + ")";
            break;
        case Record::Read:
            more = each(pfd, hfd, live, name, st);
            break;
        }
        if (live >= 0)
            ::close(live);
        ::close(hfd);
    }
    return failed;
}

// The steps of stopped runs that ended in `folder`: the tags of the steps
// of which a record there is named as placed. Every other record of such a
// step there is one its run had not renamed yet when it was stopped.
std::set<std::string> ended_steps(const HeldFolder& folder)
{
    std::set<std::string> ended;
    (void)each_stale_record(folder, false,
                            [&](int, int, int&, const std::string&, const Stopped& st) {
                                if (st.placed && !st.step.empty())
                                    ended.insert(st.step);
                                return true;
                            });
    return ended;
}

std::string recover_stopped_placings(const HeldFolder& folder, bool exchange,
                                     std::vector<RecoveredPlacing>& out)
{
    const std::string& dir = folder.path;
    // A step all of whose files were in place when its run was stopped
    // keeps them, in every hidden folder it has here, whether or not its
    // record there was renamed yet: only what it kept aside goes.
    const std::set<std::string> ended = ended_steps(folder);
    // Every record of such a step here says so before any of them is
    // removed, so that a run stopped while it removes them leaves, in each
    // record that remains, that the step ended: otherwise the next run
    // would take a record its run had not renamed for a step to put back,
    // and put one file of a pair back beside the other's new file. Where
    // one cannot be renamed, none of that step's records here is removed
    // (a later run tries again); its files stay in place all the same.
    std::set<std::string> unmarked;
    if (!ended.empty()) {
        const std::string failed = each_stale_record(
            folder, true, [&](int, int hfd, int&, const std::string&, const Stopped& st) {
                if (!st.placed && ended.count(st.step) != 0 && files::mark_record_placed(hfd) != 0)
                    unmarked.insert(st.step);
                return true;
            });
        if (!failed.empty())
            return failed;
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
    const std::string failed = each_stale_record(
        folder, true, [&](int pfd, int hfd, int& live, const std::string& name, const Stopped& st) {
            if (st.placed || (!st.step.empty() && ended.count(st.step) != 0)) {
                const int removed =
                    unmarked.count(st.step) != 0 ? -1 : drop_ended(pfd, hfd, live, name, st);
                if (removed >= 0)
                    note_swept_folder(dir + "/" + name, removed);
                return true;
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
                const int removed = drop_recovered(pfd, hfd, live, name, st);
                if (said(r) == before && removed >= 0)
                    quiet.push_back({run, dir + "/" + name, removed});
            }
            return true;
        });
    for (const Quiet& q : quiet)
        if (said(out[q.run]) == 0)
            note_swept_folder(q.path, q.files);
    std::erase_if(out, [](const RecoveredPlacing& o) { return said(o) == 0; });
    // Named in the order of their names, not of the folder's listing.
    for (std::size_t i = first; i < out.size(); ++i) {
        std::sort(out[i].put_back.begin(), out[i].put_back.end());
        std::sort(out[i].removed.begin(), out[i].removed.end());
    }
    return failed;
}

} // namespace files

bool stopped_placing_holds(const HeldFolder& held, const std::vector<std::string>& names,
                           StoppedPlacing& out)
{
    const std::string& dir = held.path;
    // A step that ended left its files in place: nothing of it is said.
    const std::set<std::string> ended = files::ended_steps(held);
    (void)files::each_stale_record(
        held, false, [&](int pfd, int hfd, int&, const std::string&, const Stopped& st) {
            if (st.placed || (!st.step.empty() && ended.count(st.step) != 0))
                return true;
            for (const RecordLine& l : st.lines)
                if (std::find(names.begin(), names.end(), l.target) != names.end() &&
                    !node_at(hfd, l.temp.c_str()).same(l.file) &&
                    files::still_placed(pfd, l.target.c_str(), node_at(pfd, l.target.c_str()),
                                        l.file)) {
                    out.pid = st.pid;
                    out.started = st.started;
                    out.program = st.program;
                    out.names.push_back(dir + "/" + l.target);
                }
            return out.names.empty();
        });
    return !out.names.empty();
}

std::string utc_time_text(long long seconds)
{
    char when[64] = "at an unknown time";
    const std::time_t t = static_cast<std::time_t>(seconds);
    struct tm tm {
    };
    if (seconds > 0 && gmtime_r(&t, &tm) != nullptr)
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return when;
}

void note_program_for_records(const std::string& program)
{
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(program, ec);
    std::lock_guard<std::mutex> g(g_programLock);
    g_program = ec ? program : p.lexically_normal().string();
}

} // namespace vyr
