// Advisory locks on folders (see FolderLock in vyr_atomic_file.h): each a
// flock on a regular file, which a network file system locks on its server,
// so that runs on every machine that shares the folder meet it. A run never
// waits for a lock it holds itself: a second lock on a file the run has
// locked shares the first one's lock. And it never waits without limit
// while it holds a lock: two runs that each hold one and wait for the
// other's would otherwise wait for ever. The limit is one for the whole
// step, however many locks the step waits for. A wait of more than a moment
// is said in the log, with the processes that hold the lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "host/files/files_internal.h"
#include "vyr_host.h"

namespace vyr
{
namespace
{

// How long a run that holds a lock waits for another: long enough for any
// run to put a data set's pair of files in place, or to end a step of
// graphs. KORV_LOCK_WAIT_MS shortens it for the tests.
std::chrono::milliseconds held_lock_wait()
{
    if (const char* v = std::getenv("KORV_LOCK_WAIT_MS"); v != nullptr && *v != '\0')
        return std::chrono::milliseconds(std::max(0L, std::strtol(v, nullptr, 10)));
    return std::chrono::seconds(30);
}

// The locks the process holds: the lock file, the kind of lock, and the
// descriptor that holds it.
struct Held {
    dev_t dev;
    ino_t ino;
    bool exclusive;
    int fd;
};

std::mutex g_heldLock;
std::vector<Held> g_held;

// How long the running step has waited for locks while it held another, in
// milliseconds: all such waits of a step share one limit.
std::atomic<long long> g_stepWaitedMs{0};

// A wait longer than this is said in the log.
constexpr std::chrono::milliseconds kMoment{1000};
constexpr int kHostGroup = 1;
constexpr int kMsgWaitingForLock = 6066;

// The processes other than this one that hold a lock on the file (dev,
// ino), from /proc/locks (only exclusive ones with `exclusiveOnly`): each
// "4711 (korvante)". A flock is listed as FLOCK; on a network file system
// it may be kept as a lock on the whole file, listed as POSIX.
std::vector<std::string> lock_holders_of(dev_t dev, ino_t ino, bool exclusiveOnly)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    std::vector<std::string> holders;
    char want[64];
    std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(dev), minor(dev),
                  static_cast<unsigned long long>(ino));
    const std::string self = std::to_string(::getpid());
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4711 08:02:1234 0 EOF"; a waiter's line
        // has "->" after the number.
        std::istringstream in(line);
        std::string number, kind, advisory, mode, pid, file;
        if (!(in >> number >> kind) || (kind != "FLOCK" && kind != "POSIX" && kind != "OFDLCK") ||
            !(in >> advisory >> mode >> pid >> file) || file != want || pid == self ||
            (exclusiveOnly && mode != "WRITE"))
            continue;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        std::getline(comm, name);
        holders.push_back(pid + (name.empty() ? "" : " (" + name + ")"));
    }
    return holders;
}

// "process 4711 (korvante)", "processes 4711 (korvante), 4712 (flock)";
// "another process" when none can be found (no /proc, or the lock was let
// go meanwhile).
std::string lock_holders(dev_t dev, ino_t ino)
{
    const std::vector<std::string> holders = lock_holders_of(dev, ino, false);
    if (holders.empty())
        return "another process";
    std::string text;
    for (const std::string& h : holders)
        text += (text.empty() ? "" : ", ") + h;
    return (holders.size() == 1 ? "process " : "processes ") + text;
}

// "30 seconds", "300 milliseconds".
std::string duration_text(long long ms)
{
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds"
                          : std::to_string(ms) + " milliseconds";
}

// A time left, in whole seconds, rounded up: "1 second", "29 seconds".
std::string seconds_text(long long ms)
{
    const long long s = std::max(1LL, (ms + 999) / 1000);
    return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

// Whether a folder (its stat) is one that any user may write and whose
// sticky bit is set: there only a file's owner (or the folder's, or root)
// may remove or replace it, so each user's runs lock a file of their own.
bool any_user_sticky(const struct stat& dst)
{
    return (dst.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
}

// The lock file's name: ".korvante.lock" or ".korvante-entries.lock"; in a
// folder where each user's runs lock their own, with the user's number
// (".korvante-1000.lock").
std::string lock_file_name(LockFile which, bool perUser, uid_t uid)
{
    const std::string base = which == LockFile::Entries ? ".korvante-entries" : ".korvante";
    return perUser ? base + "-" + std::to_string(static_cast<unsigned long>(uid)) + ".lock"
                   : base + ".lock";
}

// Gives a lock file the run's user owns (open as `fd`, its stat `st`) the
// rights of its folder's writers and no one else's: read and write for its
// owner; for the folder's group where that group may write the folder (the
// file then takes the folder's group); for all where any user may write the
// folder and its sticky bit is not set. A file of a user's own (`perUser`)
// is that user's alone. Another user who may only read the folder can then
// not open it, and so can hold no lock that a run waits for.
void writers_only(int fd, struct stat& st, const struct stat& dst, bool perUser)
{
    mode_t want = 0600;
    if (!perUser && (dst.st_mode & S_IWGRP) != 0) {
        if (st.st_gid != dst.st_gid && ::fchown(fd, static_cast<uid_t>(-1), dst.st_gid) == 0)
            st.st_gid = dst.st_gid;
        if (st.st_gid == dst.st_gid)
            want |= 0060;
    }
    if (!perUser && (dst.st_mode & S_IWOTH) != 0 && (dst.st_mode & S_ISVTX) == 0)
        want |= 0066;
    if ((st.st_mode & 07777) != want && ::fchmod(fd, want) == 0)
        st.st_mode = (st.st_mode & ~07777) | want;
}

// A wait for something another process holds: the step's limit, the note
// after a moment. A run that holds no lock waits until it is let go (a
// signal stops the run meanwhile), one that holds another only within the
// step's limit.
class Wait
{
  public:
    // `limited`: within the step's limit whatever the run holds (a wait for
    // something that is not a lock, which may never be let go).
    explicit Wait(bool limited = false)
        : limit_(held_lock_wait().count()), start_(std::chrono::steady_clock::now())
    {
        std::lock_guard<std::mutex> g(g_heldLock);
        holdsOther_ = limited || !g_held.empty();
        limited_ = limited;
    }
    ~Wait()
    {
        if (holdsOther_)
            g_stepWaitedMs.fetch_add(waited_ms());
    }
    Wait(const Wait&) = delete;
    Wait& operator=(const Wait&) = delete;
    bool holds_other() const { return holdsOther_; }
    bool said() const { return said_; }
    // One more round of the wait for `what`, held on the file (dev, ino):
    // after a moment the log says whose lock it is, then a short sleep.
    // False, with `why`, once a run that holds another lock has spent the
    // step's limit.
    bool round(const std::string& what, dev_t dev, ino_t ino, std::string& why)
    {
        return round(what, why, [&] { return lock_holders(dev, ino); });
    }
    // The same, `holder` naming what holds it when the log says so.
    template <class Holder> bool round(const std::string& what, std::string& why, Holder holder)
    {
        const long long waited = waited_ms();
        if (holdsOther_ && g_stepWaitedMs.load() + waited >= limit_) {
            why = limited_ ? what + " was still held after this run waited " +
                                 duration_text(limit_) + " in this step, the most a run waits"
                           : what + " is held by another run, and this run, which holds another " +
                                 "lock itself, gave up after waiting " + duration_text(limit_) +
                                 " in this step for locks, the most such a run waits (two runs " +
                                 "waiting for each other's locks would wait for ever)";
            return false;
        }
        if (!said_ && waited >= kMoment.count()) {
            said_ = true;
            const std::string left = seconds_text(limit_ - g_stepWaitedMs.load() - waited);
            const std::string until =
                limited_     ? "at most " + left + " more"
                : holdsOther_ ? "at most " + left + " more, as it holds another lock itself"
                              : "until it is let go (a signal stops the run meanwhile)";
            std::string shown = what;
            shown[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(shown[0])));
            xpmlog(kHostGroup, kMsgWaitingForLock, shown.c_str(), holder().c_str(), until.c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return true;
    }

  private:
    long long waited_ms() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }
    long long limit_;
    std::chrono::steady_clock::time_point start_;
    bool holdsOther_ = false;
    bool limited_ = false;
    bool said_ = false;
};

} // namespace

FolderLock::FolderLock(const std::string& folder, bool exclusive, bool wait, LockFile which)
    : dir_(folder.empty() ? std::string(".") : folder)
{
    struct stat dst;
    if (::stat(dir_.c_str(), &dst) != 0) {
        // A folder that is not there has nothing to read under a lock.
        if (!exclusive && errno == ENOENT)
            absent_ = true;
        else
            why_ = "the folder " + dir_ + " could not be locked: " + std::strerror(errno);
        return;
    }
    perUser_ = any_user_sticky(dst);
    dirOwner_ = dst.st_uid;
    const uid_t me = ::geteuid();
    const std::string path = dir_ + "/" + lock_file_name(which, perUser_, me);
    // Only a writer creates the lock file: a reader of a folder that was
    // never written by us leaves nothing behind in it. O_NOFOLLOW keeps a
    // planted link from being followed, O_NONBLOCK keeps a planted pipe
    // from holding the open forever. A writer that may not write the lock
    // file locks it read-only: flock needs no write access.
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    for (int attempt = 0; attempt < 8; ++attempt) {
        int first = 0; // the first failure, which is the one to report
        if (exclusive) {
            fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0600);
            if (fd_ < 0 && errno == EEXIST)
                fd_ = ::open(path.c_str(), O_RDWR | flags);
            if (fd_ < 0 && errno == EACCES) {
                first = EACCES;
                fd_ = ::open(path.c_str(), O_RDONLY | flags);
            }
        } else {
            fd_ = ::open(path.c_str(), O_RDONLY | flags);
        }
        if (fd_ < 0) {
            const int err = first != 0 ? first : errno;
            // No lock file (no writer has used the folder), or one the run may
            // not open (it may only read the folder): a reader goes on without
            // it and checks what it read (wait_for_writers).
            if (!exclusive && (err == ENOENT || err == EACCES)) {
                absent_ = true;
                return;
            }
            why_ = "the lock file " + path + " could not be used: " +
                   (err == ELOOP ? std::string("it is a symbolic link") : std::strerror(err));
            return;
        }
        struct stat st;
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            why_ = "the lock file " + path + " could not be used: it is not a regular file";
            ::close(fd_);
            fd_ = -1;
            return;
        }
        // In a folder where each user's runs lock a file of their own, a
        // file of another user at its name is no lock of this user's.
        if (perUser_ && st.st_uid != me) {
            why_ = "the lock file " + path + " could not be used: it belongs to " +
                   files::owner_text(st.st_uid) + ", and in a folder that any user may write " +
                   "and whose sticky bit is set each user's runs lock a file of their own";
            ::close(fd_);
            fd_ = -1;
            return;
        }
        if (st.st_uid == me)
            writers_only(fd_, st, dst, perUser_);
        if (!take(st, "the lock file " + path, exclusive, wait))
            return;
        // Still the file at its name: a lock on a file removed meanwhile
        // would keep out no run that locks the file made after it.
        struct stat now;
        if (::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            return;
        let_go();
        why_ = "the lock file " + path + " could not be locked: it was removed or replaced " +
               "each time it was locked";
    }
}

bool FolderLock::take(const struct stat& st, const std::string& what, bool exclusive, bool wait)
{
    auto fail = [&](const std::string& why) {
        why_ = why;
        ::close(fd_);
        fd_ = -1;
        return false;
    };
    {
        std::lock_guard<std::mutex> g(g_heldLock);
        for (const Held& h : g_held) {
            if (h.dev != st.st_dev || h.ino != st.st_ino)
                continue;
            // This run holds the lock already: share it, or refuse rather
            // than wait for ourselves.
            if (!h.exclusive && exclusive)
                return fail(what + " is held by this run for reading, and a run never waits " +
                            "for a lock it holds");
            const int dup = fcntl(h.fd, F_DUPFD_CLOEXEC, 0);
            if (dup < 0)
                return fail(what + " could not be locked: " + std::strerror(errno));
            const bool kind = h.exclusive;
            ::close(fd_);
            fd_ = dup;
            g_held.push_back({st.st_dev, st.st_ino, kind, fd_});
            return true;
        }
    }
    // Tried at once; then, while another process holds it, waited for.
    const int mode = exclusive ? LOCK_EX : LOCK_SH;
    Wait w;
    for (;;) {
        if (flock(fd_, mode | LOCK_NB) == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return fail(what + " could not be locked: " + std::strerror(errno));
        if (!wait) {
            busy_ = true;
            return fail(what + " is held by another run");
        }
        if (w.said() && !w.holds_other()) {
            // Nothing else is held: the kernel's own wait, which hands the
            // lock over as soon as it is let go.
            while (flock(fd_, mode) != 0) {
                if (errno != EINTR)
                    return fail(what + " could not be locked: " + std::strerror(errno));
            }
            break;
        }
        std::string why;
        if (!w.round(what, st.st_dev, st.st_ino, why)) {
            busy_ = true;
            return fail(why);
        }
    }
    std::lock_guard<std::mutex> g(g_heldLock);
    g_held.push_back({st.st_dev, st.st_ino, exclusive, fd_});
    return true;
}

Writers FolderLock::wait_for_writers(const std::vector<std::string>& names, std::string& why) const
{
    // The lock files a writer of these names holds while it puts them in
    // place: the folder's one; in a folder where each user's runs lock their
    // own, those of the users who may replace the files (their owners, the
    // folder's owner, root).
    std::vector<std::pair<std::string, struct stat>> files;
    auto add = [&](uid_t uid) {
        const std::string path = dir_ + "/" + lock_file_name(LockFile::DataSets, perUser_, uid);
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            std::none_of(files.begin(), files.end(), [&](const auto& f) {
                return f.second.st_dev == st.st_dev && f.second.st_ino == st.st_ino;
            }))
            files.emplace_back(path, st);
    };
    if (!perUser_) {
        add(0);
    } else {
        add(dirOwner_);
        add(0);
        for (const std::string& name : names)
            if (struct stat st; ::lstat((dir_ + "/" + name).c_str(), &st) == 0)
                add(st.st_uid);
    }
    Wait w;
    for (bool waited = false;; waited = true) {
        const auto held = std::find_if(files.begin(), files.end(), [](const auto& f) {
            return !lock_holders_of(f.second.st_dev, f.second.st_ino, true).empty();
        });
        if (held == files.end())
            return waited ? Writers::Waited : Writers::None;
        if (!w.round("the lock file " + held->first, held->second.st_dev, held->second.st_ino, why))
            return Writers::GaveUp;
    }
}

void FolderLock::let_go()
{
    if (fd_ < 0)
        return;
    {
        std::lock_guard<std::mutex> g(g_heldLock);
        for (auto it = g_held.begin(); it != g_held.end(); ++it)
            if (it->fd == fd_) {
                g_held.erase(it);
                break;
            }
    }
    ::close(fd_);
    fd_ = -1;
}

struct StepWait::Impl {
    Wait wait{true};
};

StepWait::StepWait() : impl_(std::make_unique<Impl>()) {}

StepWait::~StepWait() = default;

bool StepWait::round(const std::string& what, const std::string& holder, std::string& why)
{
    return impl_->wait.round(what, why, [&] { return holder; });
}

namespace files
{

void lock_waits_reset() noexcept
{
    g_stepWaitedMs.store(0);
}

} // namespace files

FolderLock::~FolderLock()
{
    let_go();
}

} // namespace vyr
