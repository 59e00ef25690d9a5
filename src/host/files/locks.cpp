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
#include <cstdio>
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
    int fd;   // the ticket, open and write-locked
    int slot; // its signal slot (-1: none)
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
    return ms == 1000       ? "1 second"
           : ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds"
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
        : limit_(held_lock_wait().count()), start_(std::chrono::steady_clock::now()), last_(start_),
          limited_(limited)
    {
        std::lock_guard<std::mutex> g(g_heldLock);
        holdsOther_ = !g_held.empty();
    }
    ~Wait() { g_stepWaitedMs.fetch_add(limitedMs_); }
    Wait(const Wait&) = delete;
    Wait& operator=(const Wait&) = delete;
    // Counts the time since the last call (or the start) within the step's
    // limit where the wait is limited, or `limited` says this part of it is
    // (a wait for what may never be let go). False, with `why`, once a
    // limited wait has spent the step's limit.
    bool within_limit(const std::string& what, std::string& why, bool limited = false)
    {
        const auto now = std::chrono::steady_clock::now();
        const long long since =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - last_).count();
        last_ = now;
        if (!(limited || limited_ || holdsOther_))
            return true;
        limitedMs_ += since;
        if (g_stepWaitedMs.load() + limitedMs_ < limit_)
            return true;
        why = !holdsOther_
                  ? what + " was still held after this run waited " + duration_text(limit_) +
                        " in this step, the most a run waits"
                  : what + " is held by another run, and this run, which holds " +
                        "another lock itself, gave up after waiting " + duration_text(limit_) +
                        " in this step for locks, the most such a run waits (two " +
                        "runs waiting for each other's locks would wait for ever)";
        return false;
    }
    // One more round of the wait for `what` (`limited` as above): after a
    // moment the log says what holds it (`holder()`), then a short sleep.
    // False, with `why`, once a limited wait has spent the step's limit.
    template <class Holder>
    bool round(const std::string& what, std::string& why, Holder holder, bool limited = false)
    {
        if (!within_limit(what, why, limited))
            return false;
        if (!said_ && waited_ms() >= kMoment.count()) {
            said_ = true;
            const std::string left = seconds_text(limit_ - g_stepWaitedMs.load() - limitedMs_);
            const std::string until =
                holdsOther_           ? "at most " + left + " more, as it holds another lock itself"
                : limited || limited_ ? "at most " + left + " more"
                                      : "until it is let go (a signal stops the run meanwhile)";
            std::string shown = what;
            shown[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(shown[0])));
            xpmlog(kHostGroup, kMsgWaitingForLock, shown.c_str(), holder().c_str(), until.c_str());
        }
        pause();
        return true;
    }
    static void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }
    long long waited_ms() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

  private:
    long long limit_;
    std::chrono::steady_clock::time_point start_, last_;
    long long limitedMs_ = 0; // the part of the wait within the step's limit
    bool holdsOther_ = false;
    bool limited_;
    bool said_ = false;
};

// A ticket's name: BASE, 16 hexadecimal digits, ".lock". A ticket is made
// at its name, and never renamed: some file systems (rclone's mounts) give
// a renamed file a new identity, whose lock others do not see through its
// new name.
std::string ticket_base(LockFile which)
{
    return which == LockFile::Entries ? ".korvante-entries-w-" : ".korvante-w-";
}

// A ticket in the making, before it has a ticket's name: BASE, 16
// hexadecimal digits, ".new.lock". No run waits for one.
constexpr const char* kTicketEnd = ".lock";
constexpr const char* kMakingEnd = ".new.lock";

bool ticket_name(const char* name, const std::string& base, const char* end = kTicketEnd)
{
    const std::size_t b = base.size();
    return std::strncmp(name, base.c_str(), b) == 0 &&
           std::strspn(name + b, "0123456789abcdef") == 16 && std::strcmp(name + b + 16, end) == 0;
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
    Unheld,  // no run holds it, nor wrote in it (a mount put back one its run removed)
    Ended,   // its run held it and has let it go: ended, for good
    Living,  // a run holds it
    Unknown, // it cannot be opened to be looked at
    Own,     // this run's own, under another name (a co-writer renamed it)
};

struct Other {
    std::string name;
    Ticket state;
    uid_t owner;
    std::string pid; // as its run wrote it
    int err;         // why it cannot be looked at
    struct stat st;  // as looked at
    // Where each user's runs keep only each other out and this run's own
    // uid is the one every owner the user namespace does not map shows, a
    // ticket that may be its own user's or anyone's: waited for only
    // within the step's limit, and never removed.
    bool uncertain = false;
};

// Removes the ticket `name` of the folder open as `dirfd`, open here as `fd`
// (`st`, its fstat), that no run holds now, by its name alone, and only
// while the name still leads to that file: a file found by a name in a
// folder others may write is never written, whatever it links to. An
// `ended` one (its run wrote in it once it held it, and let it go, for
// good) goes as it is. One without what a run writes (a ticket a mount put
// back, or one in the making) goes only while this run holds its lock: a
// maker about to take it, which then cannot, makes another.
void remove_ticket(int dirfd, const std::string& name, int fd, const struct stat& st, bool ended)
{
    auto still_there = [&] {
        struct stat now;
        return ::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               now.st_dev == st.st_dev && now.st_ino == st.st_ino;
    };
    if (ended) {
        if (still_there())
            (void)::unlinkat(dirfd, name.c_str(), 0);
        return;
    }
    // Its lock needs a descriptor open for writing: the file looked at,
    // opened again as itself where /proc shows it, else by its name while
    // that leads to it.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    int w = ::open(self, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (w < 0)
        w = ::openat(dirfd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat ws;
    const bool held = w >= 0 && ::fstat(w, &ws) == 0 && ws.st_dev == st.st_dev &&
                      ws.st_ino == st.st_ino && files::hold_live(w) == 0;
    if (held && still_there())
        (void)::unlinkat(dirfd, name.c_str(), 0);
    if (w >= 0)
        ::close(w);
}

// Looks at the ticket `name` of the folder open as `dirfd`: whether a run
// holds its write lock, which only those who may write it can take. A look
// takes no lock, but one that may `remove` removes a ticket no run will
// ever hold again.
// A run writes its process id and a token in its ticket once it holds its
// lock, never before: a ticket no run holds that has them was held and let
// go, for good, whatever a reader does to it. One without them is removed
// only by a run that takes its lock first. A ticket that holds what this
// run wrote in its own
// (`mine`) is this run's, whatever its name now: Own.
Other look_at(int dirfd, const std::string& name, bool remove, const std::string& mine)
{
    Other o{name, Ticket::Gone, 0, {}, 0, {}};
    const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        o.err = errno;
        if (o.err != ENOENT && o.err != ELOOP &&
            ::fstatat(dirfd, name.c_str(), &o.st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(o.st.st_mode)) {
            o.state = Ticket::Unknown;
            o.owner = o.st.st_uid;
        }
        return o;
    }
    struct stat& st = o.st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        o.owner = st.st_uid;
        // What its run wrote, read before its lock is looked at.
        char buf[64];
        const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
        o.err = errno;
        // Held as a hidden folder's lock file is: a read lock is a reader's.
        const int holder = n < 0 ? -1 : files::live_holder(fd);
        if (holder < 0 && n >= 0)
            o.err = errno;
        o.state = holder < 0 || n < 0 ? Ticket::Unknown
                  : !mine.empty() && static_cast<std::size_t>(n) == mine.size() &&
                          std::memcmp(buf, mine.data(), mine.size()) == 0
                      ? Ticket::Own
                  : holder == F_WRLCK ? Ticket::Living
                  : n > 0             ? Ticket::Ended
                                      : Ticket::Unheld;
        if (o.state == Ticket::Living && n > 0) {
            buf[n] = '\0';
            o.pid.assign(buf, std::strspn(buf, "0123456789"));
        }
        if (remove && (o.state == Ticket::Ended || o.state == Ticket::Unheld))
            remove_ticket(dirfd, name, fd, st, o.state == Ticket::Ended);
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
// owner as the kernel shows it: one shown as the overflow uid is no one's
// known, and counts only where the run's own uid shows as that too, as a
// ticket that may be its own user's). This run's own ticket, known by its
// name and by what the run wrote in it (`said`) under any name, is never
// among them. With `remove`, tickets no run will hold again are removed on
// the way. False, with errno, when the folder cannot be read.
bool others_living(int dirfd, const std::string& base, const std::string& mine,
                   const std::string& said, bool ownOnly, bool remove, std::vector<Other>& out)
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
    std::vector<std::string> names, making;
    while (const dirent* e = ::readdir(d))
        if (ticket_name(e->d_name, base) && mine != e->d_name)
            names.emplace_back(e->d_name);
        else if (remove && ticket_name(e->d_name, base, kMakingEnd))
            making.emplace_back(e->d_name);
    ::closedir(d);
    // Tickets left in the making by runs killed before they named them go
    // as found tickets do.
    for (const std::string& name : making)
        (void)look_at(dirfd, name, true, std::string());
    const uid_t me = ::geteuid();
    for (const std::string& name : names) {
        bool uncertain = false;
        if (ownOnly) {
            struct stat st;
            if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (!same_owner(st.st_uid, me)) {
                if (!owner_unmapped(me) || !owner_unmapped(st.st_uid))
                    continue;
                uncertain = true;
            }
        }
        // A ticket not held yet is its run's only for a moment: that run
        // looks for the others once it holds it, and meets this one.
        Other o = look_at(dirfd, name, remove && !uncertain, said);
        o.uncertain = uncertain;
        if (o.state == Ticket::Living || o.state == Ticket::Unknown)
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

// The tickets of the run, for removal by a signal handler: each slot the
// folder's descriptor (-1 while free) and the ticket's name there. A slot
// is taken before its ticket has a name, and let go once it has none.
constexpr int kTicketSlots = 64;
struct TicketSlot {
    std::atomic<bool> used{false};
    std::atomic<int> dirfd{-1};
    char name[64];
};
TicketSlot g_tickets[kTicketSlots];

int claim_ticket_slot(int dirfd, const std::string& name)
{
    if (name.size() >= sizeof g_tickets[0].name)
        return -1;
    for (int i = 0; i < kTicketSlots; ++i)
        if (!g_tickets[i].used.exchange(true)) {
            std::memcpy(g_tickets[i].name, name.c_str(), name.size() + 1);
            g_tickets[i].dirfd.store(dirfd);
            return i;
        }
    return -1;
}

void release_ticket_slot(int slot)
{
    if (slot >= 0) {
        g_tickets[slot].dirfd.store(-1);
        g_tickets[slot].used.store(false);
    }
}

// Test hook: KORV_FAIL_TICKET=lock makes every lock of a new ticket fail as
// if another process had locked it first (lock:N the first N of each lock
// the run takes); KORV_FAIL_TICKET=mine makes no ticket of the run's be
// found at its name as its own.
struct TicketFault {
    bool lock = false, mine = false;
    long first = 0; // with lock: only the first N tries of each lock (0: all)
};
TicketFault ticket_fault()
{
    TicketFault f;
    const char* v = std::getenv("KORV_FAIL_TICKET");
    if (v == nullptr)
        return f;
    f.mine = std::strcmp(v, "mine") == 0;
    f.lock = std::strncmp(v, "lock", 4) == 0;
    if (f.lock && v[4] == ':')
        f.first = std::max(0L, std::strtol(v + 5, nullptr, 10));
    return f;
}

// Empties a ticket of this run's and removes it, then lets go of it. Removed
// while open: a FUSE mount keeps such a file under a name of its own until
// it is closed, and removes it then (one closed first may be left there for
// good). Emptied first, through the run's own descriptor: a mount that keeps
// what was written in a file for a while before uploading it (rclone with
// its cache for writes) may go on listing a file with content that was
// removed as another process opened it, as a file no one can open. Removed
// again once closed: a mount that uploads a file as it is closed (rclone
// without its cache) puts it back then. No run makes a ticket of that name
// again.
void drop_ticket(int dirfd, const std::string& name, int fd, int slot)
{
    (void)!::ftruncate(fd, 0);
    (void)::unlinkat(dirfd, name.c_str(), 0);
    ::close(fd);
    (void)::unlinkat(dirfd, name.c_str(), 0);
    release_ticket_slot(slot);
}

// Closes a copy of the ticket's descriptor: a mount that uploads a file as
// it is written (rclone without its cache) shows it to others only then, and
// would put one removed before back as it is closed.
void show_ticket(int fd)
{
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy >= 0)
        ::close(copy);
}

// Locks a ticket just made, and writes in it what the run says of itself
// (`said`): 0, or the error (EAGAIN: another process locked it first).
int hold_and_say(int fd, const std::string& said, bool failLock)
{
    int err = failLock ? EAGAIN : files::hold_live(fd);
    if (err == 0) {
        const ssize_t n = ::write(fd, said.data(), said.size());
        err = n == static_cast<ssize_t>(said.size()) ? 0 : n < 0 ? errno : EIO;
    }
    return err == EACCES ? EAGAIN : err;
}

// Gives the unnamed file open as `fd` the name `name` in the folder open as
// `dirfd`: 0, or the error (EEXIST: the name is taken).
int link_unnamed(int fd, int dirfd, const std::string& name)
{
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, self, dirfd, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    int err = errno;
    // Without /proc, by the descriptor itself (where the process may).
    if (err == ENOENT && ::linkat(fd, "", dirfd, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (err == ENOENT)
        err = errno;
    return err;
}

// Makes a ticket in the making (see kMakingEnd) in the folder open as
// `dirfd`, open for writing (a write lock needs it, and an NFS client
// refuses any other) and readable by its maker alone, whatever the umask,
// until it is locked: its name in `made`, its signal slot in `slot`; -1 with
// errno when none can be made.
int make_in_the_making(int dirfd, const std::string& base, std::string& made, int& slot)
{
    for (int attempt = 0;; ++attempt) {
        made = base + files::random_tag() + kMakingEnd;
        // Noted before it exists, so that a signal arriving at any moment
        // after it is made finds it to remove.
        slot = claim_ticket_slot(dirfd, made);
        const int fd =
            ::openat(dirfd, made.c_str(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
        const int err = errno;
        release_ticket_slot(slot);
        slot = -1;
        errno = err;
        // A name taken (a random one: never more than a few times).
        if (err != EEXIST || attempt == 15)
            return -1;
    }
}

// Makes a ticket in the folder open as `dirfd` and holds it: its name in
// `name`, what the run wrote in it in `said`, its signal slot in `slot`,
// its descriptor returned; -1 with errno when none can be made, EAGAIN when
// another process locked it before this run could (the caller makes
// another).
// A ticket gets a ticket's name only once it is locked, written and made
// readable by all, so that no one can open it at that name before it is
// held, and a run stopped at any moment leaves nothing another run waits
// for, or a ticket that says its run ended. Where the file system can make
// a file without a name, it is made so and linked to its name. Elsewhere it
// is made in the making, locked at once and renamed to its name (a lock goes
// with a renamed file, where a FUSE mount may show a link to it as a file of
// its own): on a file system that keeps modes no one else can open it to
// lock it first; where every file shows readable to all, a reader may, and
// another is made. One a run killed left in the making is removed by the
// next run that looks (see others_living).
int make_ticket(int dirfd, const std::string& base, std::string& name, std::string& said, int& slot,
                bool failLock)
{
    said = std::to_string(static_cast<long>(::getpid())) + " " + files::random_tag() + "\n";
    slot = -1;
    for (const bool unnamed : {true, false}) {
        std::string made;
        int madeSlot = -1;
        const int fd = unnamed ? ::openat(dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644)
                               : make_in_the_making(dirfd, base, made, madeSlot);
        if (fd < 0 && unnamed)
            continue;
        if (fd < 0)
            return -1;
        int err = hold_and_say(fd, said, failLock);
        if (err == 0)
            (void)::fchmod(fd, 0644);
        for (int attempt = 0; err == 0; ++attempt) {
            name = base + files::random_tag() + kTicketEnd;
            slot = claim_ticket_slot(dirfd, name);
            err = unnamed ? link_unnamed(fd, dirfd, name)
                  : files::rename_aside(dirfd, made.c_str(), name.c_str()) ? 0
                                                                           : errno;
            // Gone: another run took its lock first and removed it.
            if (err == ENOENT && !unnamed)
                err = EAGAIN;
            if (err == 0) {
                release_ticket_slot(madeSlot);
                show_ticket(fd);
                return fd;
            }
            release_ticket_slot(slot);
            slot = -1;
            if (err != EEXIST || attempt == 15)
                break;
            err = 0;
        }
        if (unnamed) {
            ::close(fd);
        } else {
            show_ticket(fd);
            drop_ticket(dirfd, made, fd, madeSlot);
        }
        // Locked first by another process, or every name tried taken: the
        // other way fares no better. An unnamed file that cannot be named
        // (a file system that cannot) takes the other way.
        if (!unnamed || err == EAGAIN || err == EEXIST) {
            errno = err;
            return -1;
        }
    }
    return -1;
}

// Whether the name `name` of the folder open as `dirfd` leads, as other runs
// find it, to this run's ticket: a file that holds what the run wrote in it
// (`said`), write-locked. No file's number is compared: a mount may give a
// file's number to the name alone.
bool still_mine(int dirfd, const std::string& name, const std::string& said)
{
    if (ticket_fault().mine)
        return false;
    const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[64];
    const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    const bool mine = n == static_cast<ssize_t>(said.size()) &&
                      std::memcmp(buf, said.data(), said.size()) == 0 &&
                      files::live_holder(fd) == F_WRLCK;
    ::close(fd);
    return mine;
}

} // namespace

void FolderLock::take(bool ownOnly, bool wait)
{
    const std::string base = ticket_base(which_);
    const std::string what =
        (which_ == LockFile::Entries ? "the catalogue folder " : "the folder ") + dir_ + "'s lock";
    Wait w;
    std::vector<Other> others;
    std::string name, said, why;
    int fd = -1, slot = -1;
    long taken = 0; // tickets another process locked first
    const TicketFault fault = ticket_fault();
    auto fail = [&](const std::string& text) {
        if (fd >= 0)
            drop_ticket(dirfd_, name, fd, slot);
        fd = slot = -1;
        why_ = text;
    };
    for (;;) {
        // Without a ticket of its own (it let go of one for a lower one), the
        // run only looks, until no other run's ticket is there.
        if (!others_living(dirfd_, base, fd < 0 ? std::string() : name,
                           fd < 0 ? std::string() : said, ownOnly, true, others))
            return fail(what + " could not be taken: the folder could not be read (" +
                        std::strerror(errno) + ")");
        if (fd < 0 && others.empty()) {
            fd = make_ticket(dirfd_, base, name, said, slot,
                             fault.lock && (fault.first == 0 || taken < fault.first));
            if (fd >= 0 || errno != EAGAIN) {
                if (fd < 0)
                    return fail(what + " could not be taken: a file could not be made in it (" +
                                std::strerror(errno) + ")");
                continue;
            }
            // Another process locked it first: another is made at once,
            // within the step's limit.
            ++taken;
            if (!w.within_limit(what, why, true))
                return fail(what + " could not be taken: each of the " + std::to_string(taken) +
                            " files this run made in it to hold it was locked by another " +
                            "process before this run could lock it, over " +
                            duration_text(w.waited_ms()) +
                            " (where a file system shows every file readable to all, any " +
                            "user who may read the folder can)");
            Wait::pause();
            continue;
        }
        if (others.empty()) {
            // Still its ticket, as other runs find it: a ticket they do not
            // find would let another run in.
            if (still_mine(dirfd_, name, said))
                break;
            drop_ticket(dirfd_, name, fd, slot);
            fd = slot = -1;
            if (!w.within_limit(what, why, true))
                return fail(what + " could not be taken: the file " + dir_ + "/" + name +
                            " this run made and locked to hold it was not found at its name, " +
                            "locked and holding what the run wrote in it, as other runs " +
                            "look at it, for " + duration_text(w.waited_ms()));
            Wait::pause();
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
            drop_ticket(dirfd_, name, fd, slot);
            fd = slot = -1;
        }
        const Other* unknown = nullptr;
        for (const Other& o : others)
            if (o.state == Ticket::Unknown || o.uncertain)
                unknown = &o;
        // A file at a ticket's name that this run may not look at is waited
        // for only within the step's limit (another user's ticket is so only
        // for the moment before its maker locks it), and so is one that may
        // or may not be its own user's.
        const Other& holder = unknown != nullptr ? *unknown : others.front();
        if (!w.round(
                what, why, [&] { return holder_text(holder); }, unknown != nullptr)) {
            busy_ = true;
            if (unknown == nullptr)
                return fail(why);
            if (unknown->uncertain)
                return fail(why + "; the file " + dir_ + "/" + unknown->name + " belongs to " +
                            files::owner_text(unknown->owner) +
                            ", as this run's own files show here, so whether a run of this "
                            "user holds it is not known");
            return fail(why + "; the file " + dir_ + "/" + unknown->name + ", which belongs to " +
                        files::owner_text(unknown->owner) + ", could not be looked at (" +
                        std::strerror(unknown->err) +
                        "): where no run of its owner is going, remove it");
        }
    }
    // The folder's descriptor goes with the ticket, which may outlive this
    // FolderLock (another shares it).
    std::lock_guard<std::mutex> g(g_heldLock);
    g_held.push_back({dev_, ino_, which_, dirfd_, name, fd, slot, 1});
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
                    drop_ticket(it->dirfd, it->name, it->fd, it->slot);
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
    if (!others_living(dirfd, ticket_base(LockFile::DataSets), std::string(), std::string(), false,
                       false, others))
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

void remove_tickets_signal_safe() noexcept
{
    for (TicketSlot& t : g_tickets) {
        const int dirfd = t.dirfd.load();
        if (dirfd >= 0)
            (void)::unlinkat(dirfd, t.name, 0);
    }
}

namespace files
{

void lock_waits_reset() noexcept
{
    g_stepWaitedMs.store(0);
}

} // namespace files

} // namespace vyr
