// Locks on folders (see FolderLock in vyr_atomic_file.h). A folder's lock is
// held by making a name in it: each writer makes a file of its own there (a
// ticket, ".korvante-w-0123456789abcdef.lock"), holds a write lock on it
// while it lives, and holds the folder's lock once no other living run's
// ticket is there. Only those who may write a folder can make a name in it,
// on every file system, whatever rights its files show; reading a folder
// lets a user open its files, and hold any lock on them that a descriptor
// open for reading allows (a flock, a read lock), but never makes a run
// wait: a ticket is judged living by a write lock alone, which needs the
// ticket open for writing, and nothing a run waits for is a lock on a file
// others may read. Every writer makes its own ticket, with its own rights,
// so no file another writer made (of another owner, group or namespace, in
// a folder that changed hands since) is ever one a run must be able to
// open for writing.
//
// A run never waits for a lock it holds itself: a second lock on a folder
// whose lock the run holds shares it. And it never waits without limit
// while it holds a lock: two runs that each hold one and wait for the
// other's would otherwise wait for ever. The limit is one for the whole
// step, however many locks the step waits for. A wait of more than a moment
// is said in the log, with the run that holds the lock.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
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

// The folders whose lock the process holds (by the folder's device and
// inode, and the kind of lock), the ticket that holds each, and how many
// FolderLocks share it.
struct Held {
    dev_t dev;
    ino_t ino;
    LockFile which;
    int dirfd; // the folder (its own descriptor), for removing the ticket
    std::string name;
    int fd; // the ticket, open and write-locked
    int users;
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

// A wait for something another process holds: the step's limit, the note
// after a moment. A run that holds no lock waits until it is let go (a
// signal stops the run meanwhile), one that holds another only within the
// step's limit.
class Wait
{
  public:
    // `limited`: within the step's limit whatever the run holds (a wait for
    // something that may never be let go).
    explicit Wait(bool limited = false)
        : limit_(held_lock_wait().count()), start_(std::chrono::steady_clock::now())
    {
        std::lock_guard<std::mutex> g(g_heldLock);
        holdsOther_ = !g_held.empty();
        limited_ = limited;
    }
    ~Wait()
    {
        if (holdsOther_ || limited_)
            g_stepWaitedMs.fetch_add(waited_ms());
    }
    Wait(const Wait&) = delete;
    Wait& operator=(const Wait&) = delete;
    // From now on within the step's limit.
    void limit() { limited_ = true; }
    // One more round of the wait for `what`: after a moment the log says
    // what holds it (`holder()`), then a short sleep. False, with `why`,
    // once a limited wait has spent the step's limit.
    template <class Holder> bool round(const std::string& what, std::string& why, Holder holder)
    {
        const long long waited = waited_ms();
        const bool limited = holdsOther_ || limited_;
        if (limited && g_stepWaitedMs.load() + waited >= limit_) {
            why = !holdsOther_
                      ? what + " was still held after this run waited " + duration_text(limit_) +
                            " in this step, the most a run waits"
                      : what + " is held by another run, and this run, which holds " +
                            "another lock itself, gave up after waiting " + duration_text(limit_) +
                            " in this step for locks, the most such a run waits (two " +
                            "runs waiting for each other's locks would wait for ever)";
            return false;
        }
        if (!said_ && waited >= kMoment.count()) {
            said_ = true;
            const std::string left = seconds_text(limit_ - g_stepWaitedMs.load() - waited);
            const std::string until =
                holdsOther_ ? "at most " + left + " more, as it holds another lock itself"
                : limited_  ? "at most " + left + " more"
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

// A ticket's name: BASE, 16 hexadecimal digits, then ".lock" once its
// maker holds it, ".new" before. A ticket is made under its ".new" name,
// write-locked, and only then given its ".lock" name: a file at a ticket's
// name that no run holds is one whose run has ended, for good.
std::string ticket_base(LockFile which)
{
    return which == LockFile::Entries ? ".korvante-entries-w-" : ".korvante-w-";
}

enum class TicketName { No, Held, Made };

TicketName ticket_name(const char* name, const std::string& base)
{
    const std::size_t n = std::strlen(name), b = base.size();
    if (n < b + 16 + 4 || std::strncmp(name, base.c_str(), b) != 0 ||
        std::strspn(name + b, "0123456789abcdef") != 16)
        return TicketName::No;
    const char* end = name + b + 16;
    return std::strcmp(end, ".lock") == 0  ? TicketName::Held
           : std::strcmp(end, ".new") == 0 ? TicketName::Made
                                           : TicketName::No;
}

// Whether each user's runs keep only each other out in a folder whose stat
// is `dst`: its sticky bit is set and others than its owner may write it,
// so that only a file's owner (the folder's, or root) may remove or replace
// it there, and runs of different users never put a file over another's.
// Another user's ticket there makes no run wait.
bool each_user_alone(const struct stat& dst)
{
    return (dst.st_mode & S_ISVTX) != 0 && (dst.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// What another run's ticket (of the folder open as `dirfd`) is now.
enum class Ticket {
    Gone,    // not there, or not a plain file: no run's
    Ended,   // no run holds it: its run has ended
    Living,  // a run holds it
    Unknown, // it cannot be opened to be looked at
};

struct Other {
    std::string name;
    Ticket state;
    uid_t owner;
    std::string pid; // as its run wrote it
};

// Looks at the ticket `name` of the folder open as `dirfd`: whether a run
// holds its write lock, which only those who may write it can take. A look
// takes no lock.
Other look_at(int dirfd, const std::string& name)
{
    Other o{name, Ticket::Gone, 0, {}};
    const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        struct stat st;
        if (errno != ENOENT && errno != ELOOP &&
            ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            o.state = Ticket::Unknown;
            o.owner = st.st_uid;
        }
        return o;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // Held as a hidden folder's lock file is: a read lock is a reader's.
        o.owner = st.st_uid;
        const int holder = files::live_holder(fd);
        o.state = holder < 0 ? Ticket::Unknown : holder == F_WRLCK ? Ticket::Living : Ticket::Ended;
        if (o.state == Ticket::Living) {
            char buf[32];
            const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
            if (n > 0) {
                buf[n] = '\0';
                o.pid.assign(buf, std::strspn(buf, "0123456789"));
            }
        }
        // An ended ticket goes: its name was given only once it was held,
        // so no run makes it its own again. Removed by its name while the
        // name still leads to the file looked at.
        struct stat now;
        if (o.state == Ticket::Ended &&
            ::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            (void)::unlinkat(dirfd, name.c_str(), 0);
    }
    ::close(fd);
    return o;
}

// How the log names the run that holds a ticket.
std::string holder_text(const Other& o)
{
    std::string text = "a run of " + files::owner_text(o.owner);
    if (!o.pid.empty())
        text += ", process " + o.pid;
    return text;
}

// The other runs' tickets of the folder open as `dirfd` that are living (or
// cannot be looked at), read through a descriptor opened for it now (btrfs
// lists through an older one only the names the folder had then); where
// each user's runs keep only each other out, the user's own alone (by their
// owner as this namespace shows it). Ended tickets are removed on the way.
// False, with errno, when the folder cannot be read.
bool others_living(int dirfd, const std::string& base, const std::string& mine, bool ownOnly,
                   std::vector<Other>& out)
{
    out.clear();
    const int dup = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = dup >= 0 ? ::fdopendir(dup) : nullptr;
    if (d == nullptr) {
        const int err = errno;
        if (dup >= 0)
            ::close(dup);
        errno = err;
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d))
        if (ticket_name(e->d_name, base) != TicketName::No && mine != e->d_name)
            names.emplace_back(e->d_name);
    ::closedir(d);
    const uid_t me = ::geteuid();
    for (const std::string& name : names) {
        if (ownOnly) {
            struct stat st;
            if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != me)
                continue;
        }
        Other o = look_at(dirfd, name);
        // A ticket not named as held yet is its run's only for a moment: that
        // run looks for the others once it holds it, and meets this one.
        if ((o.state == Ticket::Living || o.state == Ticket::Unknown) &&
            ticket_name(name.c_str(), base) == TicketName::Held)
            out.push_back(std::move(o));
    }
    std::sort(out.begin(), out.end(),
              [](const Other& a, const Other& b) { return a.name < b.name; });
    return true;
}

} // namespace

FolderLock::FolderLock(int dirfd, const std::string& folder, bool wait, LockFile which)
    : dir_(folder.empty() ? std::string(".") : folder), which_(which)
{
    dirfd_ = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    lock(wait);
}

FolderLock::FolderLock(const std::string& folder, bool wait, LockFile which)
    : dir_(folder.empty() ? std::string(".") : folder), which_(which)
{
    dirfd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    lock(wait);
}

void FolderLock::lock(bool wait)
{
    struct stat dst;
    if (dirfd_ < 0 || ::fstat(dirfd_, &dst) != 0) {
        why_ = "the folder " + dir_ + " could not be locked: " + std::strerror(errno);
        return;
    }
    dev_ = dst.st_dev;
    ino_ = dst.st_ino;
    {
        // This run holds it already: shared, never waited for.
        std::lock_guard<std::mutex> g(g_heldLock);
        for (Held& h : g_held)
            if (h.dev == dev_ && h.ino == ino_ && h.which == which_) {
                ++h.users;
                held_ = true;
                return;
            }
    }
    take(each_user_alone(dst), wait);
}

namespace
{

// Makes a ticket in the folder open as `dirfd` and holds it: its name in
// `name`, its descriptor returned; -1 with errno when none can be made.
int make_ticket(int dirfd, const std::string& base, std::string& name)
{
    // Tried under new names many times over: a reader may open a file the
    // moment it is made and hold a read lock on it before its maker locks
    // it, but not every time.
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::string tag = files::random_tag();
        const std::string made = base + tag + ".new";
        name = base + tag + ".lock";
        // Open for writing: a write lock needs it (and an NFS client refuses
        // any other). Readable by all, so that every writer may look at it;
        // its rights are set whatever the umask (a file system without Unix
        // modes shows its own).
        const int fd =
            ::openat(dirfd, made.c_str(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        (void)::fchmod(fd, 0644);
        const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
        struct stat st, now;
        // Another process that opened it for reading first may hold a read
        // lock on it: another name is tried.
        const bool locked = files::hold_live(fd) == 0;
        if (locked)
            (void)!::write(fd, pid.data(), pid.size());
        if (locked && ::renameat(dirfd, made.c_str(), dirfd, name.c_str()) == 0 &&
            ::fstat(fd, &st) == 0 &&
            ::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            return fd;
        const int err = errno;
        ::close(fd);
        (void)::unlinkat(dirfd, made.c_str(), 0);
        // Removed meanwhile by a run that took it for an ended one (before
        // it was locked), or locked by a reader: another name.
        if (locked && err != ENOENT && err != 0) {
            errno = err;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// Lets go of a ticket: its name removed first, while the lock is held, so
// that no name of a ticket ever leads to a file no run holds but an ended
// run's.
void drop_ticket(int dirfd, const std::string& name, int fd)
{
    (void)::unlinkat(dirfd, name.c_str(), 0);
    ::close(fd);
}

} // namespace

void FolderLock::take(bool ownOnly, bool wait)
{
    const std::string base = ticket_base(which_);
    const std::string what =
        (which_ == LockFile::Entries ? "the catalogue folder " : "the folder ") + dir_ + "'s lock";
    Wait w;
    std::vector<Other> others;
    std::string name;
    int fd = -1;
    auto fail = [&](const std::string& why) {
        if (fd >= 0)
            drop_ticket(dirfd_, name, fd);
        fd = -1;
        why_ = why;
    };
    for (;;) {
        // Without a ticket of its own (it let go of one for a lower one), the
        // run only looks, until no other run's ticket is there.
        if (!others_living(dirfd_, base, fd < 0 ? std::string() : name, ownOnly, others))
            return fail(what + " could not be taken: the folder could not be read (" +
                        std::strerror(errno) + ")");
        if (fd < 0 && others.empty()) {
            fd = make_ticket(dirfd_, base, name);
            if (fd < 0)
                return fail(what + " could not be taken: a file could not be made in it (" +
                            std::strerror(errno) + ")");
            continue;
        }
        if (others.empty()) {
            // Still its ticket: a name removed by another writer would let a
            // third run in.
            struct stat st, now;
            if (::fstat(fd, &st) == 0 &&
                ::fstatat(dirfd_, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                now.st_dev == st.st_dev && now.st_ino == st.st_ino)
                break;
            drop_ticket(dirfd_, name, fd);
            fd = -1;
            continue;
        }
        if (!wait) {
            busy_ = true;
            return fail(what + " is held by " + holder_text(others.front()));
        }
        // Of two runs that wait at once, the one whose ticket has the lower
        // name keeps it, and the other lets go of its own: each waits for the
        // lower one, which waits for the runs that hold the lock (a run that
        // holds the lock looks at no ticket made after it took the lock).
        if (fd >= 0 && others.front().name < name) {
            drop_ticket(dirfd_, name, fd);
            fd = -1;
        }
        const Other* unknown = nullptr;
        for (const Other& o : others)
            if (o.state == Ticket::Unknown)
                unknown = &o;
        std::string why;
        if (unknown != nullptr) {
            // A file at a ticket's name that this run may not look at is
            // waited for only within the step's limit.
            w.limit();
            if (!w.round(what, why, [&] { return holder_text(*unknown); })) {
                busy_ = true;
                return fail(why + "; the file " + dir_ + "/" + unknown->name +
                            ", which belongs to " + files::owner_text(unknown->owner) +
                            ", could not be looked at: where no run of its owner is going, "
                            "remove it");
            }
            continue;
        }
        if (!w.round(what, why, [&] { return holder_text(others.front()); })) {
            busy_ = true;
            return fail(why);
        }
    }
    // The folder's descriptor goes with the ticket, which may outlive this
    // FolderLock (another shares it).
    std::lock_guard<std::mutex> g(g_heldLock);
    g_held.push_back({dev_, ino_, which_, dirfd_, name, fd, 1});
    dirfd_ = -1;
    held_ = true;
}

FolderLock::~FolderLock()
{
    if (held_) {
        std::lock_guard<std::mutex> g(g_heldLock);
        for (auto it = g_held.begin(); it != g_held.end(); ++it)
            if (it->dev == dev_ && it->ino == ino_ && it->which == which_) {
                if (--it->users == 0) {
                    drop_ticket(it->dirfd, it->name, it->fd);
                    ::close(it->dirfd);
                    g_held.erase(it);
                }
                break;
            }
    }
    if (dirfd_ >= 0)
        ::close(dirfd_);
}

WritersAtWork writers_at_work(int dirfd)
{
    struct stat dst;
    if (::fstat(dirfd, &dst) != 0 || each_user_alone(dst))
        return WritersAtWork::NotKnown;
    std::vector<Other> others;
    if (!others_living(dirfd, ticket_base(LockFile::DataSets), std::string(), false, others))
        return WritersAtWork::NotKnown;
    return others.empty() ? WritersAtWork::None : WritersAtWork::Some;
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

} // namespace vyr
