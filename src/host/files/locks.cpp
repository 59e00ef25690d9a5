// Advisory locks on folders (see FolderLock in vyr_atomic_file.h): each a
// flock on a regular file, which a network file system locks on its server,
// so that runs on every machine that shares the folder meet it. A run never
// waits for a lock it holds itself: a second lock on a file the run has
// locked shares the first one's lock. And it never waits without limit
// while it holds a lock: two runs that each hold one and wait for the
// other's would otherwise wait for ever. The limit is one for the whole
// step, however many locks the step waits for. A wait of more than a moment
// is said in the log, with the processes that hold the lock.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
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
// ino), from /proc/locks, for the log only: each "4711 (korvante)". A flock
// is listed as FLOCK; on a network file system it may be kept as a lock on
// the whole file, listed as POSIX. Nothing is decided by it: the table
// shows only this machine's locks, of processes in this pid namespace, and
// names a file by a device number that may not be the one stat gives.
std::vector<std::string> lock_holders_of(dev_t dev, ino_t ino)
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
            !(in >> advisory >> mode >> pid >> file) || file != want || pid == self)
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
    const std::vector<std::string> holders = lock_holders_of(dev, ino);
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

// Who may write a folder, as its mode says, and so who may hold its locks.
// A lock file's name says which writers it is for, never whose numbers:
// the uid and gid a run sees differ from one user namespace to another (a
// rootless container shows its user as root), and two runs of one user
// must meet at the same file wherever each runs. Whose a file is, is judged
// on the file itself, against the folder seen from the same namespace.
//   Owner:   only the folder's owner: ".korvante-o.lock", a file of the
//            folder's owner (root, writing there, gives it the owner);
//   Group:   its group too: ".korvante-g.lock", of the folder's group,
//            0660 so that every member may lock it;
//   All:     any user, sticky bit not set: ".korvante-a.lock", 0666;
//   PerUser: others than its owner, sticky bit set (only a file's owner,
//            the folder's or root may remove or replace a file there, so
//            no user's run puts a file over another's): each user's runs
//            lock files of their own, ".korvante-u-0123456789abcdef.lock"
//            (a name no one can guess), 0600, and a writer locks every one
//            of its user's there.
// A file at the name that is not a plain file with one name, or that
// belongs to another owner or group than the name is for, is not a lock:
// it is never locked, and a writer's error names it and its owner (after
// the folder changed hands, say, it is removed once and made anew). Its
// rights are not judged: a file system without Unix modes (FAT, exFAT)
// shows rights of its own, and a writer who gives the lock file wider
// rights could hold the lock themselves anyway.
// A catalogue's lock files are named ".korvante-entries-..." the same way.
enum class Kind { Owner, Group, All, PerUser };

} // namespace

struct FolderLock::Plan {
    Kind kind = Kind::Owner;
    uid_t uid = 0;    // Owner: the folder's owner; PerUser: the run's user
    gid_t gid = 0;    // Group: the folder's group
    std::string base; // ".korvante-o": the name without ".lock"
};

namespace
{

using Plan = FolderLock::Plan;

Plan plan_for(const struct stat& dst, LockFile which)
{
    Plan p;
    const std::string base = which == LockFile::Entries ? ".korvante-entries-" : ".korvante-";
    if ((dst.st_mode & S_ISVTX) != 0 && (dst.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        p.kind = Kind::PerUser;
        p.uid = ::geteuid();
        p.base = base + "u";
    } else if ((dst.st_mode & S_IWOTH) != 0) {
        p.kind = Kind::All;
        p.base = base + "a";
    } else if ((dst.st_mode & S_IWGRP) != 0) {
        p.kind = Kind::Group;
        p.gid = dst.st_gid;
        p.base = base + "g";
    } else {
        p.uid = dst.st_uid;
        p.base = base + "o";
    }
    return p;
}

std::string group_text(gid_t gid)
{
    struct group gr {
    }, *found = nullptr;
    char buf[4096];
    const std::string number = std::to_string(static_cast<unsigned long>(gid));
    if (getgrgid_r(gid, &gr, buf, sizeof buf, &found) == 0 && found != nullptr)
        return "the group " + std::string(found->gr_name) + " (gid " + number + ")";
    return "the group with gid " + number;
}

// What a lock file of the folder must be, for the messages.
std::string expected(const Plan& p)
{
    switch (p.kind) {
    case Kind::Owner:
        return "a plain file with one name, of " + files::owner_text(p.uid) +
               " (the folder's owner)";
    case Kind::Group:
        return "a plain file with one name, of " + group_text(p.gid) +
               " (the folder's group), which its members may write (mode 0660)";
    case Kind::All:
        return "a plain file with one name, which any user may write (mode 0666)";
    case Kind::PerUser:
        return "a plain file with one name, of " + files::owner_text(p.uid);
    }
    return std::string();
}

// Why the file whose fstat is `st` is not a lock file of the folder's
// writers ("" when it is one): not a plain file, more than one name (a hard
// link would make another file of the user's the lock), or another owner
// or group than the one its name is for.
std::string unfit(const struct stat& st, const Plan& p)
{
    if (!S_ISREG(st.st_mode))
        return "it is not a regular file";
    if (st.st_nlink != 1)
        return "it has " + std::to_string(st.st_nlink) + " names (hard links)";
    if ((p.kind == Kind::Owner || p.kind == Kind::PerUser) && st.st_uid != p.uid)
        return "it belongs to " + files::owner_text(st.st_uid);
    // A file of another group that its group may not open is its owner's
    // alone (a folder's owner outside the folder's group made it, and could
    // not give it that group): only a writer holds it.
    if (p.kind == Kind::Group && st.st_gid != p.gid && (st.st_mode & 0070) != 0)
        return "it belongs to " + files::owner_text(st.st_uid) + " and to " + group_text(st.st_gid);
    return std::string();
}

// The error for a lock file that is refused: what is wrong with it, whose
// it is, what a lock file there must be, and what to do.
std::string refused(const std::string& what, const std::string& bad, const struct stat* st,
                    const Plan& p)
{
    std::string text = what + " could not be used: " + bad;
    if (st != nullptr && bad.find("belongs to") == std::string::npos)
        text += " (it belongs to " + files::owner_text(st->st_uid) + ")";
    return text + "; a lock file there must be " + expected(p) +
           ". Remove it (its owner or the folder's owner may), and the next run makes it anew";
}

// Makes the lock file `name` in the folder open as `dirfd` (O_EXCL), open
// for writing, and gives it the writers' rights before anyone else can
// open it (it is made 0600, the narrowest). A group's file that cannot be
// given the folder's group (its maker is not in it, or the group is not
// mapped in this user namespace) stays its maker's alone. -1 with errno
// when it cannot be made (EEXIST: something is there).
int make_lock_file(int dirfd, const std::string& name, const Plan& p)
{
    const int fd = ::openat(dirfd, name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st;
    if (p.kind == Kind::Owner && ::geteuid() != p.uid)
        (void)::fchown(fd, p.uid, static_cast<gid_t>(-1));
    if (p.kind == Kind::Group && ::fstat(fd, &st) == 0 &&
        (st.st_gid == p.gid || ::fchown(fd, static_cast<uid_t>(-1), p.gid) == 0))
        (void)::fchmod(fd, 0660);
    if (p.kind == Kind::All)
        (void)::fchmod(fd, 0666);
    return fd;
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
                limited_      ? "at most " + left + " more"
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
    dirfd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A folder that may be searched but not read: its lock file may still
    // be opened by name.
    if (dirfd_ < 0 && errno == EACCES)
        dirfd_ = ::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirfd_ < 0) {
        // A folder that is not there has nothing to read under a lock.
        if (!exclusive && errno == ENOENT)
            absent_ = true;
        else
            why_ = "the folder " + dir_ + " could not be locked: " + std::strerror(errno);
        return;
    }
    lock(exclusive, wait, which);
}

FolderLock::FolderLock(int dirfd, const std::string& folder, bool exclusive, bool wait,
                       LockFile which)
    : dir_(folder.empty() ? std::string(".") : folder)
{
    dirfd_ = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    if (dirfd_ < 0) {
        why_ = "the folder " + dir_ + " could not be locked: " + std::strerror(errno);
        return;
    }
    lock(exclusive, wait, which);
}

namespace
{

// How many times, a few milliseconds apart, a lock file is looked at again
// when it may be one another run has just made and not yet given its
// rights (its owner or group not yet the writers', so not yet open to
// them).
constexpr int kSettleTries = 10;

void settle_pause()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace

void FolderLock::lock(bool exclusive, bool wait, LockFile which)
{
    struct stat dst;
    if (::fstat(dirfd_, &dst) != 0) {
        why_ = "the folder " + dir_ + " could not be locked: " + std::strerror(errno);
        return;
    }
    const Plan p = plan_for(dst, which);
    perUser_ = p.kind == Kind::PerUser;
    if (!perUser_) {
        lock_file(p.base + ".lock", p, exclusive, wait);
        return;
    }
    // A reader there takes no lock: no file of another user's makes it wait,
    // and it checks what it reads instead.
    if (!exclusive) {
        absent_ = true;
        return;
    }
    lock_own_files(p, wait);
}

bool FolderLock::lock_file(const std::string& name, const Plan& p, bool exclusive, bool wait)
{
    const std::string path = dir_ + "/" + name, what = "the lock file " + path;
    // An exclusive lock is taken on a descriptor open for writing, a shared
    // one on one open for reading, as a network file system's client wants
    // them. Only a writer makes the lock file: a reader of a folder no
    // writer has used leaves nothing behind. O_NOFOLLOW keeps a planted link
    // from being followed, O_NONBLOCK keeps a planted pipe from holding the
    // open for ever.
    const int flags = (exclusive ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    for (int attempt = 0; attempt < 8 + kSettleTries; ++attempt) {
        int fd = ::openat(dirfd_, name.c_str(), flags);
        bool made = false;
        if (fd < 0 && errno == ENOENT && exclusive) {
            fd = make_lock_file(dirfd_, name, p);
            if (fd < 0 && errno == EEXIST)
                continue; // made meanwhile by another run: opened next time
            made = true;
        }
        if (fd < 0) {
            const int err = errno;
            // No lock file (no writer has used the folder), or one the run
            // may not open (it may only read the folder): a reader goes on
            // without it, and checks what it read.
            if (!exclusive && (err == ENOENT || err == EACCES)) {
                absent_ = true;
                return false;
            }
            if (err == EACCES && !made && attempt < kSettleTries) {
                settle_pause();
                continue;
            }
            struct stat st;
            const bool there = ::fstatat(dirfd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
            if (made)
                why_ = what + " could not be made: " + std::strerror(err);
            else if (err == ELOOP || (err == EACCES && there))
                why_ = refused(what,
                               err == ELOOP ? "it is a symbolic link"
                                            : "this run may not open it for writing",
                               there ? &st : nullptr, p);
            else
                why_ = what + " could not be used: " + std::strerror(err);
            return false;
        }
        struct stat st;
        std::string bad = ::fstat(fd, &st) != 0 ? std::strerror(errno) : unfit(st, p);
        if (!bad.empty()) {
            ::close(fd);
            if (S_ISREG(st.st_mode) && attempt < kSettleTries) {
                settle_pause();
                continue;
            }
            unfit_ = true;
            why_ = refused(what, bad, &st, p);
            return false;
        }
        if (!take(fd, st, what, exclusive, wait))
            return false;
        // Still the file at its name: a lock on a file removed meanwhile
        // would keep out no run that locks the file made after it.
        struct stat now;
        if (::fstatat(dirfd_, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            return true;
        let_go();
    }
    why_ = what + " could not be locked: it was removed or replaced each time it was locked";
    return false;
}

namespace
{

// Whether `name` is one of a user's own lock files' names where each
// user's runs lock their own: "BASE-" and 16 hexadecimal digits, ".lock".
bool own_lock_name(const std::string& name, const Plan& p)
{
    const std::size_t n = p.base.size();
    return name.size() == n + 22 && name.compare(0, n + 1, p.base + "-") == 0 &&
           name.compare(n + 17, 5, ".lock") == 0 &&
           name.find_first_not_of("0123456789abcdef", n + 1) == n + 17;
}

// The names of the run's own lock files of the folder open as `dirfd`, in
// a folder where each user's runs lock their own (`p`): of the user's (as
// this namespace shows the owner of each, against the run's own user),
// fit to be a lock; sorted, so that every run locks them in one order. The
// folder is read through a descriptor opened for it, so that a file made
// since any earlier reading is there. False, with errno, when the folder
// cannot be read.
bool own_lock_names(int dirfd, const Plan& p, std::vector<std::string>& names)
{
    names.clear();
    const int dup = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = dup >= 0 ? ::fdopendir(dup) : nullptr;
    if (d == nullptr) {
        const int err = errno;
        if (dup >= 0)
            ::close(dup);
        errno = err;
        return false;
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        struct stat st;
        if (own_lock_name(name, p) &&
            ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && unfit(st, p).empty())
            names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

} // namespace

void FolderLock::lock_own_files(const Plan& p, bool wait)
{
    // Every lock file of the user's here is locked, in the order of their
    // names, and then the folder is read again: a run that made one
    // meanwhile (another of the user's runs, that found none) is met, as
    // all lock all of them. Another user's files (made under names of the
    // same form) are not the user's locks and make no run wait.
    std::vector<std::string> names, again;
    for (int round = 0; round < 16; ++round) {
        if (!own_lock_names(dirfd_, p, names)) {
            why_ = "the folder " + dir_ +
                   " could not be read for its lock files: " + std::strerror(errno);
            return;
        }
        if (names.empty()) {
            const std::string name = p.base + "-" + files::random_tag() + ".lock";
            const int fd = make_lock_file(dirfd_, name, p);
            if (fd < 0 && errno != EEXIST) {
                why_ = "the lock file " + dir_ + "/" + name +
                       " could not be made: " + std::strerror(errno);
                return;
            }
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        bool all = true;
        for (const std::string& name : names) {
            if (!lock_file(name, p, true, wait)) {
                all = false;
                break;
            }
        }
        if (all && own_lock_names(dirfd_, p, again) && again == names)
            return;
        // A file of the user's that another user made unfit meanwhile (a
        // hard link to it) is no lock any more: the folder is read again.
        const bool failed = !all && !unfit_ && (busy_ || !why_.empty());
        let_go();
        if (failed)
            return;
        why_.clear();
        unfit_ = false;
    }
    why_ = "the lock files " + dir_ + "/" + p.base + "-*.lock could not be locked: they kept " +
           "changing while they were locked";
}

bool FolderLock::take(int fd, const struct stat& st, const std::string& what, bool exclusive,
                      bool wait)
{
    auto fail = [&](const std::string& why) {
        why_ = why;
        ::close(fd);
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
            ::close(fd);
            g_held.push_back({st.st_dev, st.st_ino, h.exclusive, dup});
            fds_.push_back(dup);
            return true;
        }
    }
    // Tried at once; then, while another process holds it, waited for.
    const int mode = exclusive ? LOCK_EX : LOCK_SH;
    Wait w;
    for (;;) {
        if (flock(fd, mode | LOCK_NB) == 0)
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
            while (flock(fd, mode) != 0) {
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
    g_held.push_back({st.st_dev, st.st_ino, exclusive, fd});
    fds_.push_back(fd);
    return true;
}

void FolderLock::let_go()
{
    std::lock_guard<std::mutex> g(g_heldLock);
    for (const int fd : fds_) {
        for (auto it = g_held.begin(); it != g_held.end(); ++it)
            if (it->fd == fd) {
                g_held.erase(it);
                break;
            }
        ::close(fd);
    }
    fds_.clear();
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
    if (dirfd_ >= 0)
        ::close(dirfd_);
}

} // namespace vyr
