// Advisory locks on folders (see FolderLock in vyr_atomic_file.h). A run
// never waits for a lock it holds itself: a second lock on a file the run
// has locked shares the first one's lock. And it never waits without limit
// while it holds a lock: two runs that each hold one and wait for the
// other's would otherwise wait for ever.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "host/files/files_internal.h"

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

const char* lock_file_name(LockFile which)
{
    return which == LockFile::Entries ? ".korvante-entries.lock" : ".korvante.lock";
}

} // namespace

FolderLock::FolderLock(const std::string& folder, bool exclusive, bool wait, LockFile which)
{
    const std::string dir = folder.empty() ? std::string(".") : folder;
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
    auto fail = [&](const std::string& why) {
        why_ = why;
        ::close(fd_);
        fd_ = -1;
    };
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        fail("the lock file " + path + " could not be used: it is not a regular file");
        return;
    }
    // A new lock file may be read by whoever may read its folder, whatever
    // the creator's umask: other users' runs lock it too.
    struct stat dst;
    if (made && ::stat(dir.c_str(), &dst) == 0)
        (void)fchmod(fd_, 0600 | (dst.st_mode & 0044));
    bool holdsOther = false;
    {
        std::lock_guard<std::mutex> g(g_heldLock);
        for (const Held& h : g_held) {
            if (h.dev != st.st_dev || h.ino != st.st_ino)
                continue;
            // This run holds the file's lock already: share it, or refuse
            // rather than wait for ourselves.
            if (!h.exclusive && exclusive) {
                fail("the lock file " + path +
                     " is held by this run for reading, and a run never waits for a lock "
                     "it holds");
                return;
            }
            const int dup = fcntl(h.fd, F_DUPFD_CLOEXEC, 0);
            if (dup < 0) {
                fail("the lock file " + path + " could not be used: " + std::strerror(errno));
                return;
            }
            const bool kind = h.exclusive;
            ::close(fd_);
            fd_ = dup;
            g_held.push_back({st.st_dev, st.st_ino, kind, fd_});
            return;
        }
        holdsOther = !g_held.empty();
    }
    const auto limit = held_lock_wait();
    const auto until = std::chrono::steady_clock::now() + limit;
    const bool blocking = wait && !holdsOther;
    for (;;) {
        if (flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | (blocking ? 0 : LOCK_NB)) == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            fail("the lock file " + path + " could not be locked: " + std::strerror(errno));
            return;
        }
        if (wait && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        busy_ = true;
        if (!wait) {
            fail("the lock file " + path + " is held by another run");
            return;
        }
        const long ms = static_cast<long>(limit.count());
        const std::string waited = ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds"
                                                  : std::to_string(ms) + " milliseconds";
        fail("the lock file " + path + " is held by another run, and this run, which holds " +
             "another lock itself, gave up after waiting " + waited +
             " for it (two runs waiting for each other's locks would wait for ever)");
        return;
    }
    std::lock_guard<std::mutex> g(g_heldLock);
    g_held.push_back({st.st_dev, st.st_ino, exclusive, fd_});
}

FolderLock::~FolderLock()
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
}

} // namespace vyr
