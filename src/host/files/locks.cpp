// Advisory locks on folders (see FolderLock in vyr_atomic_file.h). A run
// never waits for a lock it holds itself: a second lock on a file the run
// has locked shares the first one's lock. And it never waits without limit
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

// The processes that hold a flock on the file (dev, ino), from /proc/locks,
// each with its command name: "process 4711 (korvante)". "another process"
// when none can be found (no /proc, or the lock was let go meanwhile).
std::string lock_holders(dev_t dev, ino_t ino)
{
    std::ifstream locks("/proc/locks");
    std::string line, holders;
    int count = 0;
    char want[64];
    std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(dev), minor(dev),
                  static_cast<unsigned long long>(ino));
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4711 08:02:1234 0 EOF"; a waiter's line
        // has "->" after the number.
        std::istringstream in(line);
        std::string number, kind, advisory, mode, pid, file;
        if (!(in >> number >> kind) || kind != "FLOCK" ||
            !(in >> advisory >> mode >> pid >> file) || file != want)
            continue;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        std::getline(comm, name);
        holders += (count++ > 0 ? ", " : "") + pid + (name.empty() ? "" : " (" + name + ")");
    }
    if (count == 0)
        return "another process";
    return (count == 1 ? "process " : "processes ") + holders;
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

const char* lock_file_name(LockFile which)
{
    return which == LockFile::Entries ? ".korvante-entries.lock" : ".korvante.lock";
}

} // namespace

FolderLock::FolderLock(const std::string& folder, bool exclusive, bool wait, LockFile which)
{
    const std::string dir = folder.empty() ? std::string(".") : folder;
    // A library folder's lock is a lock on the folder itself, which no other
    // user can remove or replace while a run holds it (a lock file in a
    // folder that others may write can be, by the user who made it). It is
    // checked, once held, to be still the folder at that name. A folder the
    // run may not read, or a file system that cannot lock folders, keeps to
    // the lock file.
    // Test hook: KORV_NO_FOLDER_LOCK=1 takes the file system for one that
    // cannot lock folders.
    const char* off = std::getenv("KORV_NO_FOLDER_LOCK");
    if (which == LockFile::DataSets && (off == nullptr || std::strcmp(off, "1") != 0)) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            why_.clear();
            fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
            struct stat st;
            if (fd_ >= 0 && ::fstat(fd_, &st) != 0) {
                ::close(fd_);
                fd_ = -1;
            }
            if (fd_ < 0)
                break;
            if (!take(st, "the folder " + dir, exclusive, wait, true))
                return;
            if (fd_ < 0)
                break; // folders cannot be locked here
            struct stat now;
            if (::stat(dir.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
                now.st_ino == st.st_ino)
                return;
            // Moved away, or replaced, while the lock was taken: the folder
            // now at the name is the one to lock.
            let_go();
            why_ =
                "the folder " + dir + " could not be locked: it was replaced while it was locked";
        }
        if (!why_.empty())
            return;
    }
    const std::string path = dir + "/" + lock_file_name(which);
    // Only a writer creates the lock file: a reader of a folder that was
    // never written by us leaves nothing behind in it. O_NOFOLLOW keeps a
    // planted link from being followed, O_NONBLOCK keeps a planted pipe
    // from holding the open forever. A writer that may not write the lock
    // file locks it read-only: flock needs no write access.
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int first = 0; // the first failure, which is the one to report
    bool made = false;
    if (exclusive) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0600);
        made = fd_ >= 0;
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
        if (!exclusive && err == ENOENT) {
            absent_ = true;
            return;
        }
        why_ = "the lock file " + path + " could not be used: " +
               (err == ELOOP ? std::string("it is a symbolic link") : std::strerror(err));
        return;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        why_ = "the lock file " + path + " could not be used: it is not a regular file";
        ::close(fd_);
        fd_ = -1;
        return;
    }
    // A new lock file may be read by whoever may read its folder, whatever
    // the creator's umask: other users' runs lock it too.
    struct stat dst;
    if (made && ::stat(dir.c_str(), &dst) == 0)
        (void)fchmod(fd_, 0600 | (dst.st_mode & 0044));
    (void)take(st, "the lock file " + path, exclusive, wait, false);
}

bool FolderLock::take(const struct stat& st, const std::string& what, bool exclusive, bool wait,
                      bool folder)
{
    auto fail = [&](const std::string& why) {
        why_ = why;
        ::close(fd_);
        fd_ = -1;
        return false;
    };
    bool holdsOther = false;
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
        holdsOther = !g_held.empty();
    }
    // Tried at once; then, while another process holds it, waited for: a
    // run that holds no other lock waits until it is let go (a signal stops
    // the run meanwhile), one that holds another only within the step's
    // limit. After a moment the log says whose lock it waits for.
    const long long limit = held_lock_wait().count();
    const auto start = std::chrono::steady_clock::now();
    const int mode = exclusive ? LOCK_EX : LOCK_SH;
    // A file system that cannot lock a folder (a network one, say): the
    // caller keeps to the lock file.
    auto unsupported = [&](int err) {
        if (!folder ||
            (err != EBADF && err != EINVAL && err != ENOLCK && err != EOPNOTSUPP && err != ENOTSUP))
            return false;
        ::close(fd_);
        fd_ = -1;
        return true;
    };
    bool said = false;
    for (;;) {
        if (flock(fd_, mode | LOCK_NB) == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            if (unsupported(errno))
                return true;
            return fail(what + " could not be locked: " + std::strerror(errno));
        }
        if (!wait) {
            busy_ = true;
            return fail(what + " is held by another run");
        }
        const auto waited = std::chrono::steady_clock::now() - start;
        const long long waitedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(waited).count();
        if (holdsOther && g_stepWaitedMs.load() + waitedMs >= limit) {
            g_stepWaitedMs.fetch_add(waitedMs);
            busy_ = true;
            return fail(what + " is held by another run, and this run, which holds another " +
                        "lock itself, gave up after waiting " + duration_text(limit) +
                        " in this step for locks, the most such a run waits (two runs waiting " +
                        "for each other's locks would wait for ever)");
        }
        if (!said && waited >= kMoment) {
            said = true;
            const std::string until =
                holdsOther ? "at most " + seconds_text(limit - g_stepWaitedMs.load() - waitedMs) +
                                 " more, as it holds another lock itself"
                           : "until it is let go (a signal stops the run meanwhile)";
            std::string shown = what;
            shown[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(shown[0])));
            xpmlog(kHostGroup, kMsgWaitingForLock, shown.c_str(),
                   lock_holders(st.st_dev, st.st_ino).c_str(), until.c_str());
            if (!holdsOther) {
                // Nothing else is held: the kernel's own wait, which hands
                // the lock over as soon as it is let go.
                while (flock(fd_, mode) != 0) {
                    if (errno != EINTR)
                        return fail(what + " could not be locked: " + std::strerror(errno));
                }
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (holdsOther)
        g_stepWaitedMs.fetch_add(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
    std::lock_guard<std::mutex> g(g_heldLock);
    g_held.push_back({st.st_dev, st.st_ino, exclusive, fd_});
    return true;
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
