// Files written whole or not at all, and a step's files staged and put in
// place together (see vyr_atomic_file.h).
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "host/files/files_internal.h"
#include "vyr_session.h"

namespace vyr
{
namespace files
{

bool kept_open_name(const char* name) noexcept
{
    return std::strncmp(name, ".fuse_hidden", 12) == 0 || std::strncmp(name, ".nfs", 4) == 0;
}

namespace
{

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

// The most passes over a folder that empty_folder_signal_safe makes; the
// most moments remove_hidden_at waits for a FUSE mount that still refuses
// to remove a folder whose listing is empty, and for the name a file system
// keeps for the lock file removed while open: the mount learns of the
// run's close a moment later, but the name stays as long as anyone else
// holds the file open too (where every file shows readable, a reader who
// catches new files), and nothing tells the two apart.
constexpr int kEmptyPasses = 4;
constexpr int kKeptWaits = 40;
constexpr int kLiveWaits = 2;

} // namespace

int kept_open_names(int fd, bool live) noexcept
{
    const int dir = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    alignas(8) char buf[4096];
    int kept = 0;
    long n;
    while (kept >= 0 && (n = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0)
        for (long off = 0; off < n && kept >= 0;) {
            auto* d = reinterpret_cast<LinuxDirent64*>(buf + off);
            off += d->d_reclen;
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0 ||
                (live && std::strcmp(d->d_name, kLiveName) == 0))
                continue;
            kept = kept_open_name(d->d_name) ? kept + 1 : -1;
        }
    ::close(dir);
    return kept;
}

bool empty_folder_signal_safe(int dirfd, int depth, bool keepLive) noexcept
{
    alignas(8) char buf[4096];
    // Each pass reads the folder through a descriptor opened for it then:
    // a file system may list through an older descriptor only the names the
    // folder had when that was opened (btrfs does), and a folder is never
    // taken for empty from such a listing. The passes are few: a name the
    // file system keeps coming back under another (a file removed while
    // open, on FUSE) ends them rather than the run; those names are left to
    // the file system, which removes them once the file is let go.
    for (int pass = 0; pass < kEmptyPasses; ++pass) {
        int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool fresh = fd >= 0;
        if (!fresh) {
            // No descriptor left: the folder's own, read from its start.
            fd = dirfd;
            (void)lseek(fd, 0, SEEK_SET);
        }
        bool left = false;
        long n;
        while ((n = syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0) {
            for (long off = 0; off < n;) {
                auto* d = reinterpret_cast<LinuxDirent64*>(buf + off);
                off += d->d_reclen;
                const char* name = d->d_name;
                if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
                    kept_open_name(name) ||
                    (keepLive && d->d_type != DT_DIR && std::strcmp(name, kLiveName) == 0))
                    continue;
                left = true;
                if (d->d_type == DT_DIR) {
                    if (depth > 0) {
                        int sub =
                            openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                        if (sub >= 0) {
                            empty_folder_signal_safe(sub, depth - 1, false);
                            close(sub);
                        }
                    }
                    (void)unlinkat(dirfd, name, AT_REMOVEDIR);
                } else {
                    (void)unlinkat(dirfd, name, 0);
                }
            }
        }
        if (fresh)
            ::close(fd);
        if (!left)
            return true;
    }
    return false;
}

bool remove_hidden_at(int parent, const char* name, int fd, int& live, bool empty) noexcept
{
    if (fd >= 0 && empty)
        (void)empty_folder_signal_safe(fd, 0, true);
    // The lock file goes last, removed while it is still open and closed
    // then. A network or FUSE file system keeps a file removed while open
    // under a name of its own (.nfs..., .fuse_hidden...) and removes that
    // once the file is let go; FUSE learns of a close only a moment later,
    // so a file removed just after its close may be kept that way too, and
    // then for good (the removal can cross the close). Removed while open,
    // it is kept, and removed once closed, always: the folder is waited
    // for while that is all it holds.
    // What the file system keeps already is files others hold open (a
    // reader of an earlier file removed here): they may hold them long, and
    // only what the lock file leaves is waited for, a moment or two at most;
    // not at all where a reader's lock on it shows that a reader holds it
    // (a run's write lock would refuse theirs).
    const int keptBefore = fd >= 0 ? kept_open_names(fd, true) : -1;
    const bool readerHolds = fd >= 0 && live >= 0 && live_holder(live) == F_RDLCK;
    if (fd >= 0)
        (void)::unlinkat(fd, kLiveName, 0);
    if (live >= 0)
        ::close(live);
    live = -1;
    // The folder that holds it, when not given: its own "..", opened now
    // that the lock file's descriptor is free (there may be no other).
    const int up = parent >= 0 ? parent
                   : fd >= 0   ? ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                               : -1;
    bool gone = false;
    for (int wait = 0; up >= 0; ++wait) {
        if (::unlinkat(up, name, AT_REMOVEDIR) == 0 || errno == ENOENT) {
            gone = true;
            break;
        }
        // Not empty yet, as a FUSE file system may say a moment longer than
        // its listing shows (fusefat says EPERM): waited for, a while. A
        // mount that uploads a file as it is closed (rclone without its
        // cache) puts the lock file back then: it goes again (and until the
        // mount has caught up, such a mount says EIO).
        if ((errno != ENOTEMPTY && errno != EEXIST && errno != EPERM && errno != EBUSY &&
             errno != EIO) ||
            wait == kKeptWaits || fd < 0)
            break;
        if (::unlinkat(fd, kLiveName, 0) == 0)
            continue;
        // An empty listing is waited for too: FUSE may refuse a moment
        // longer than its listing shows a file, and so is one that shows
        // the lock file a mount is putting back (it goes again above once
        // the mount has it). Kept names that were there before the lock
        // file went are others' and are not.
        const int kept = kept_open_names(fd, true);
        if (kept < 0 || (kept > 0 && (kept <= keptBefore || readerHolds || wait >= kLiveWaits)))
            break;
        const timespec moment{0, 5000000};
        (void)nanosleep(&moment, nullptr);
    }
    if (up >= 0 && up != parent)
        ::close(up);
    return gone;
}

void remove_hidden_folder(int fd, int& live, const std::string& name) noexcept
{
    (void)remove_hidden_at(-1, name.c_str(), fd, live);
}

} // namespace files

namespace
{

using files::empty_folder_signal_safe;
using files::kFileBase;
using files::kLiveName;
using files::kStageBase;
using files::kTempMark;
using files::node_at;
using files::note_run_made;
using files::rename2;
using files::temp_suffix;
using files::unsupported;

// The temporary files open now, for removal from a signal handler. A slot
// holds a pointer to a path that stays alive while the slot holds it.
constexpr int kSlots = 256;
std::atomic<const char*> g_slots[kSlots];
// The target each temporary file will become (null while unknown).
std::atomic<const char*> g_targets[kSlots];
// Each temporary file's private folder and its lock file, open (-1 while
// they are not), and the folder held that it is made in: a handler removes
// it through them.
files::PublishedFolder g_slotFds[kSlots];
std::atomic<int> g_slotParents[kSlots];
// The staging folders of the running step (see StagedFile), likewise, by
// path, open, and the folder held that holds each.
constexpr int kStageSlots = 64;
std::atomic<const char*> g_stageSlots[kStageSlots];
files::PublishedFolder g_stageFds[kStageSlots];
std::atomic<int> g_stageParents[kStageSlots];

int claim_slot(const char* path, const char* target, int parent)
{
    for (int i = 0; i < kSlots; ++i) {
        const char* expected = nullptr;
        if (g_slots[i].compare_exchange_strong(expected, path)) {
            g_slotFds[i].clear();
            g_slotParents[i].store(parent);
            g_targets[i].store(target);
            return i;
        }
    }
    return -1;
}

void release_slot(int slot)
{
    if (slot >= 0) {
        g_slotFds[slot].clear();
        g_slotParents[slot].store(-1);
        g_targets[slot].store(nullptr);
        g_slots[slot].store(nullptr);
    }
}

// The files put in place since note_commits_from_now, one after another,
// each ended by a NUL; the length is published after the bytes.
std::atomic<bool> g_noteCommits{false};
char g_committed[16384];
std::atomic<std::size_t> g_committedLength{0};

// Test hook: KORV_SIGNAL_AFTER_COMMIT=N sends the process SIGTERM once the
// Nth of the run's own files is put in place (see note_commits_from_now).
int g_signalAfter = 0;
int g_commitsNoted = 0;

void note_commit(const std::string& target)
{
    if (!g_noteCommits.load())
        return;
    const std::size_t at = g_committedLength.load();
    if (at + target.size() + 1 <= sizeof g_committed) {
        std::memcpy(g_committed + at, target.c_str(), target.size() + 1);
        g_committedLength.store(at + target.size() + 1);
    }
    if (g_signalAfter > 0 && ++g_commitsNoted == g_signalAfter)
        std::raise(SIGTERM);
}

// Appends text to buf within cap (keeping room for the NUL).
std::size_t append_text(char* buf, std::size_t at, std::size_t cap, const char* text) noexcept
{
    for (; *text != '\0' && at + 1 < cap; ++text)
        buf[at++] = *text;
    if (at < cap)
        buf[at] = '\0';
    return at;
}

} // namespace

namespace files
{

// 64 random bits in hexadecimal.
std::string random_tag()
{
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Without the kernel's generator, mix the clock and the process id;
        // O_EXCL still keeps a guessed name from being followed.
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        uint64_t v = static_cast<uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15ull ^
                     static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(ts.tv_sec);
        std::memcpy(bytes, &v, sizeof bytes);
    }
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

std::string temp_suffix()
{
    return kTempMark + random_tag() + ".tmp";
}

bool temp_name(const char* name)
{
    const std::size_t n = std::strlen(name);
    const std::size_t mark = sizeof kTempMark - 1, tail = mark + 16 + 4;
    if (n < 2 + tail || name[0] != '.' || std::strcmp(name + n - 4, ".tmp") != 0 ||
        std::strncmp(name + n - tail, kTempMark, mark) != 0)
        return false;
    for (std::size_t i = n - 20; i < n - 4; ++i)
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f')))
            return false;
    return true;
}

bool stage_folder_name(const char* name)
{
    static_assert(sizeof kStageBase == sizeof kFileBase);
    const std::size_t base = sizeof kStageBase - 1;
    return temp_name(name) && std::strlen(name) == 1 + base + sizeof kTempMark - 1 + 20 &&
           (std::strncmp(name + 1, kStageBase, base) == 0 ||
            std::strncmp(name + 1, kFileBase, base) == 0);
}

int hold_live(int fd)
{
    struct flock fl {
    };
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &fl) == 0 ? 0 : errno;
}

int live_holder(int fd)
{
    struct flock fl {
    };
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0)
        return -1;
    return fl.l_type;
}

int make_private_folder(int pfd, const std::string& name, int& live, PublishedFolder* publish)
{
    live = -1;
    if (::mkdirat(pfd, name.c_str(), 0700) != 0)
        return -1;
    const int fd = ::openat(pfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // A signal handler finds it by its descriptor from here on.
    if (publish != nullptr && fd >= 0)
        publish->fd.store(fd);
    struct stat made;
    if (fd >= 0 && ::fstat(fd, &made) == 0 && (made.st_mode & 077) != 0)
        note_modes_not_kept(made.st_dev);
    // A folder removed before its lock file was made and locked (another run
    // clearing the folder found it without one, made it and locked it
    // first), or whose name then came to hold something else, is EEXIST:
    // the caller tries another name. Any other failure (no descriptor left,
    // say) keeps its error.
    int err = errno == ENOENT || errno == ELOOP || errno == ENOTDIR ? EEXIST : errno;
    if (fd >= 0) {
        // Open for writing: its write lock needs such a descriptor (and a
        // network file system's client refuses it on any other).
        int lfd = ::openat(fd, kLiveName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        struct stat st;
        // Whether the lock was refused by a reader's, not a run's: where
        // every file shows readable, one who catches new files may open the
        // lock file and lock it before its maker does. The folder is still
        // this run's own (it made the folder and the lock file), but no run
        // would take it for a living one: it is not used, and is removed at
        // once. (One whose lock a run took first, clearing the folder, is
        // left to that run.)
        bool readers = false;
        if (lfd < 0) {
            err = errno == EEXIST || errno == ENOENT ? EEXIST : errno;
        } else if ((err = hold_live(lfd)) != 0 || ::fstat(lfd, &st) != 0) {
            readers = err != 0 && live_holder(lfd) == F_RDLCK;
            err = err == EAGAIN || err == EACCES ? EEXIST : err != 0 ? err : errno;
            ::close(lfd);
            lfd = -1;
        } else if (struct stat named;
                   st.st_nlink == 0 || ::fstatat(fd, kLiveName, &named, AT_SYMLINK_NOFOLLOW) != 0) {
            // Removed with the folder by a run clearing it (a mount that
            // shows no link count of 0, as rclone's, shows the name gone).
            err = EEXIST;
            ::close(lfd);
            lfd = -1;
        } else {
            live = lfd;
            if (publish != nullptr)
                publish->live.store(lfd);
            return fd;
        }
        if (publish != nullptr)
            publish->clear();
        if (err != EEXIST || readers) {
            // Removed from the folder it was just made in (no descriptor is
            // needed for its "..", where none may be left); a name the file
            // system keeps for a lock file a reader holds is not waited for
            // (a later run removes the folder).
            if (lfd >= 0)
                ::close(lfd);
            (void)::unlinkat(fd, kLiveName, 0);
            ::close(fd);
            (void)::unlinkat(pfd, name.c_str(), AT_REMOVEDIR);
        } else {
            ::close(fd);
        }
    } else if (err != EEXIST) {
        (void)::unlinkat(pfd, name.c_str(), AT_REMOVEDIR);
    }
    errno = err;
    return -1;
}

void reset_commit_notes() noexcept
{
    g_noteCommits.store(false);
    g_committedLength.store(0);
}

} // namespace files

namespace
{

// The write-failure hook: the number of the write that fails (0: none) and
// the writes counted so far.
std::atomic<long> g_failAt{-1};
std::atomic<long> g_writes{0};

long fail_at()
{
    long at = g_failAt.load();
    if (at < 0) {
        const char* v = std::getenv("KORV_FAIL_WRITE");
        at = v != nullptr ? std::max(0L, std::strtol(v, nullptr, 10)) : 0;
        g_failAt.store(at);
    }
    return at;
}

} // namespace

// What lies under an AtomicFile's stream: the descriptor, and the error of
// the first write that failed (stdio keeps only a flag, and errno may have
// changed by the time the file is finished).
struct AtomicFile::Stream {
    int fd = -1;
    int err = 0;
};

namespace
{

// The stream of an AtomicFile writes through this function, so that every
// write is counted for the failure hook and a short write is retried.
ssize_t cookie_write(void* cookie, const char* data, size_t size)
{
    auto* st = static_cast<AtomicFile::Stream*>(cookie);
    // A failed write returns 0, never -1: the C library's cookie streams take
    // the result as a count of bytes, and -1 would corrupt the buffer's state.
    if (write_should_fail()) {
        st->err = st->err != 0 ? st->err : ENOSPC;
        errno = ENOSPC;
        return 0;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(st->fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            st->err = st->err != 0 ? st->err : errno;
            return static_cast<ssize_t>(done);
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int cookie_close(void* cookie)
{
    auto* st = static_cast<AtomicFile::Stream*>(cookie);
    int rc = ::close(st->fd);
    delete st;
    return rc;
}

// A write-only stream over `fd` (which it owns and closes); null on failure,
// with `fd` closed. `state` receives what lies under the stream.
std::FILE* stream_over(int fd, AtomicFile::Stream*& state)
{
    cookie_io_functions_t io{};
    io.write = cookie_write;
    io.close = cookie_close;
    auto* st = new AtomicFile::Stream{fd, 0};
    std::FILE* f = fopencookie(st, "w", io);
    if (f == nullptr) {
        int err = errno;
        ::close(fd);
        delete st;
        errno = err;
        st = nullptr;
    }
    state = st;
    return f;
}

// Flushes and closes a stream made by stream_over. False on a failure, with
// the error of the first write that failed (or of the flush or the close)
// in `err`.
bool close_stream(std::FILE* file, const AtomicFile::Stream* state, int& err)
{
    errno = 0;
    bool ok = std::fflush(file) == 0 && !std::ferror(file);
    err = state != nullptr && state->err != 0 ? state->err : ok ? 0 : errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        err = errno;
    }
    return ok;
}

// Closes a stream made by stream_over and forgets it; on a failure `why`
// says what failed.
bool finish_stream(std::FILE*& file, AtomicFile::Stream*& state, std::string& why)
{
    int err = 0;
    const bool ok = close_stream(file, state, err);
    file = nullptr;
    state = nullptr;
    if (!ok)
        why = std::strerror(err != 0 ? err : EIO);
    return ok;
}

// Writes through a copy of descriptor `fd` (a device or a pipe the caller
// gave).
std::FILE* through_direct(int fd, int& fd_out, AtomicFile::Stream*& state)
{
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0)
        return nullptr;
    std::FILE* f = stream_over(copy, state);
    fd_out = f != nullptr ? copy : -1;
    return f;
}

// Why a file's private folder could not be made in the folder `folder`
// (errno `err`): what failed is writing in that folder (its rights, a
// read-only file system, no space or inodes left), which the reason names.
std::string not_made_in(const std::string& folder, int err)
{
    return "nothing could be made in its folder " + folder + " (" + std::strerror(err) + ")";
}

// Opens an existing file that is not replaced (a device, a pipe), `name`
// in the folder open as `dirfd`, for writing through.
std::FILE* open_direct(int dirfd, const std::string& name, int& fd_out, AtomicFile::Stream*& state)
{
    int fd = ::openat(dirfd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    std::FILE* f = stream_over(fd, state);
    fd_out = f != nullptr ? fd : -1;
    return f;
}

} // namespace

void reset_write_failure_hook()
{
    g_failAt.store(-1);
    g_writes.store(0);
    (void)fail_at();
}

bool write_should_fail() noexcept
{
    long at = fail_at();
    if (at <= 0)
        return false;
    return g_writes.fetch_add(1) + 1 == at;
}

AtomicFile::~AtomicFile()
{
    abandon();
}

bool AtomicFile::open(const std::string& path, std::string& why, const HeldFolder* within)
{
    abandon();
    if (path.empty()) {
        why = "no file name was given";
        return false;
    }
    // A name of a standard stream that was closed when the run started
    // leads to what holds its place (/dev/null): nothing written there would
    // be delivered.
    if (const int fd = vyr_closed_stream_named(path); fd >= 0) {
        why = vyr_closed_stream_reason(fd);
        return false;
    }
    // A descriptor of this process (/dev/stdout, /dev/fd/N) is known by the
    // descriptor, never by the name the kernel shows for it (a deleted
    // file's old name, which anyone may take). Only one the caller opened
    // counts: any other is one the run opened itself. A device or a pipe is
    // written as it is, through the descriptor. A file is written as that
    // file's own name would be, checked by its identity and put in place by
    // the same rules, but through a copy of the caller's descriptor, whose
    // offset and O_APPEND stay: the file is never truncated nor replaced.
    const int named = vyr_descriptor_named(path);
    if (named >= 0 && !vyr_descriptor_was_open(named)) {
        why = "descriptor " + std::to_string(named) +
              " was not open when the run started, so it is not one the caller gave";
        return false;
    }
    struct stat st;
    if (named >= 0 && (::fstat(named, &st) != 0 || !S_ISREG(st.st_mode))) {
        target_ = path;
        file_ = through_direct(named, fd_, stream_);
        if (file_ == nullptr) {
            why = std::strerror(errno);
            return false;
        }
        return true;
    }
    // A file copied into a descriptor is read back by its owner alone.
    mode_t mode = named >= 0 ? 0600 : 0666;
    if (named >= 0) {
        // Never renamed: staged in the temporary folder, so that the held
        // file's own folder need not be one the user may write.
        target_ = path;
        name_.clear();
        std::string unused;
        parent_ = hold_folder(temp_folder(), false, unused);
        if (parent_ == nullptr) {
            why = "no temporary folder can be used (" + unused + ")";
            return false;
        }
    } else {
        // The folder it goes to is held from here on: the private folder is
        // made, and the file put in place, in that very folder.
        parent_ = hold_target(path, name_, why);
        if (parent_ == nullptr)
            return false;
        if (name_ == ".") {
            why = "it is a folder";
            return false;
        }
        if (within != nullptr && !folder_inside(*parent_, *within, why)) {
            if (why.empty())
                why = "it leads to " + parent_->file(name_) +
                      ", which is outside its library folder " + within->path;
            parent_.reset();
            return false;
        }
        target_ = parent_->file(name_);
        if (::fstatat(parent_->fd, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode)) {
                why = "it is a folder";
                return false;
            }
            if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
                // A device or a pipe: nothing to replace, so write to it
                // (never into another user's pipe in a shared folder).
                struct stat dst;
                if (::fstat(parent_->fd, &dst) == 0 && foreign_pipe_in(target_, st, dst, why))
                    return false;
                file_ = open_direct(parent_->fd, name_, fd_, stream_);
                if (file_ == nullptr) {
                    why = std::strerror(errno);
                    return false;
                }
                return true;
            }
            if (S_ISREG(st.st_mode))
                mode = st.st_mode & 07777;
        }
    }
    const int fd = make_temp(mode);
    if (fd < 0) {
        why = not_made_in(parent_->path, errno);
        return false;
    }
    // What killed runs left beside it goes, once the run's own private
    // folder there has shown whether the file system keeps the rights asked
    // for (see note_modes_not_kept); that folder is the run's, and living.
    files::remove_stale_temp_files(*parent_);
    // The mode given to open is cut by the umask; an existing target's mode
    // is kept exactly.
    if (mode != 0666)
        (void)fchmod(fd, mode);
    file_ = stream_over(fd, stream_);
    if (file_ == nullptr) {
        why = std::strerror(errno);
        drop_temp();
        return false;
    }
    fd_ = fd;
    finished_ = false;
    if (named >= 0 && (through_ = ::fcntl(named, F_DUPFD_CLOEXEC, 3)) < 0) {
        why = std::strerror(errno);
        abandon();
        return false;
    }
    return true;
}

namespace
{

// Whether another name is tried for a private folder, after `attempt`
// tries since `start`: 16 at once (a name taken), then, where readers keep
// winning the race for the new lock files (every file shows readable to
// all, on a loaded machine), one each moment for 30 seconds at most.
bool try_another(int attempt, std::chrono::steady_clock::time_point start)
{
    if (attempt < 16)
        return true;
    if (std::chrono::steady_clock::now() - start >= std::chrono::seconds(30))
        return false;
    const timespec moment{0, 20000000};
    (void)nanosleep(&moment, nullptr);
    return true;
}

} // namespace

int AtomicFile::make_temp(mode_t mode)
{
    // The file is written in a private folder of its own beside the target,
    // locked while the run lives, under a name of one digit: the target's
    // name may be as long as a name can be.
    int fd = -1;
    const auto start = std::chrono::steady_clock::now();
    for (int attempt = 0; fd < 0 && try_another(attempt, start); ++attempt) {
        privName_ = std::string(".") + kFileBase + temp_suffix();
        private_ = parent_->file(privName_);
        temp_ = private_ + "/1";
        // Noted before it exists, so that a signal arriving at any moment
        // after the file is made finds it to remove (with its folder).
        slot_ = claim_slot(temp_.c_str(), target_.c_str(), parent_->fd);
        folderFd_ = files::make_private_folder(parent_->fd, privName_, liveFd_,
                                               slot_ >= 0 ? &g_slotFds[slot_] : nullptr);
        if (folderFd_ >= 0) {
            fd = ::openat(folderFd_, "1", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          mode);
            if (fd < 0) {
                const int err = errno;
                if (slot_ >= 0)
                    g_slotFds[slot_].live.store(-1);
                files::remove_hidden_folder(folderFd_, liveFd_, privName_);
                if (slot_ >= 0)
                    g_slotFds[slot_].clear();
                release_lock();
                // A folder gone meanwhile (removed as a stopped run's by a
                // run that looked before this one locked it): another name.
                errno = err == EEXIST ? EIO : err == ENOENT ? EEXIST : err;
            }
        }
        if (fd < 0) {
            int err = errno;
            release_slot(slot_);
            slot_ = -1;
            errno = err;
            if (err != EEXIST)
                break;
        }
    }
    if (fd < 0) {
        const int err = errno;
        temp_.clear();
        private_.clear();
        privName_.clear();
        errno = err;
    }
    return fd;
}

int AtomicFile::folder_fd() const
{
    return parent_ != nullptr ? parent_->fd : -1;
}

bool AtomicFile::finish(std::string& why)
{
    if (file_ == nullptr) {
        if (finished_)
            return true;
        why = "the file is not open";
        return false;
    }
    fd_ = -1;
    if (!finish_stream(file_, stream_, why)) {
        drop_temp();
        return false;
    }
    finished_ = true;
    return true;
}

void AtomicFile::release_lock()
{
    for (int* fd : {&folderFd_, &liveFd_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

bool AtomicFile::commit(std::string& why)
{
    if (!finish(why))
        return false;
    finished_ = false;
    if (temp_.empty())
        return true;
    if (is_run_input(file_identity(target_), why, !replacesDataSets_) ||
        (document_ && kept_from_documents(target_, why))) {
        drop_temp();
        return false;
    }
    if (through_ >= 0)
        return pass_through(why);
    if (::renameat(folderFd_, "1", parent_->fd, name_.c_str()) != 0) {
        why = std::strerror(errno);
        drop_temp();
        return false;
    }
    note_run_made(target_);
    // The file is in place: its private folder, empty now, goes.
    end_private();
    note_commit(target_);
    return true;
}

void AtomicFile::as_document()
{
    document_ = true;
    if (!temp_.empty())
        files::note_document(target_);
}

void AtomicFile::drop_temp()
{
    if (through_ >= 0)
        ::close(through_);
    through_ = -1;
    if (temp_.empty())
        return;
    // Through the private folder's descriptor: a folder moved meanwhile
    // takes no trace along.
    if (folderFd_ >= 0)
        (void)::unlinkat(folderFd_, "1", 0);
    end_private();
}

bool AtomicFile::pass_through(std::string& why)
{
    Stream out{through_, 0};
    const int in = ::openat(folderFd_, "1", O_RDONLY | O_CLOEXEC);
    int err = in < 0 ? errno : 0;
    char buf[65536];
    while (err == 0) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0 && errno != EINTR)
            err = errno;
        else if (n > 0 && cookie_write(&out, buf, static_cast<size_t>(n)) != n)
            err = out.err != 0 ? out.err : EIO;
    }
    if (in >= 0)
        ::close(in);
    drop_temp();
    if (err != 0)
        why = std::strerror(err);
    return err == 0;
}

void AtomicFile::end_private()
{
    // Removed while a signal handler still finds it (and removes it too, at
    // worst), and let go of before its descriptors are closed; its lock
    // file's descriptor, closed here, is taken from the handler first, so
    // that a handler never closes a number reused meanwhile.
    if (slot_ >= 0)
        g_slotFds[slot_].live.store(-1);
    if (folderFd_ >= 0)
        files::remove_hidden_folder(folderFd_, liveFd_, privName_);
    release_slot(slot_);
    slot_ = -1;
    temp_.clear();
    private_.clear();
    privName_.clear();
    release_lock();
}

void AtomicFile::abandon()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
        stream_ = nullptr;
        fd_ = -1;
    }
    finished_ = false;
    drop_temp();
}

void note_commits_from_now() noexcept
{
    g_committedLength.store(0);
    const char* n = std::getenv("KORV_SIGNAL_AFTER_COMMIT");
    g_signalAfter = n != nullptr ? std::atoi(n) : 0;
    g_commitsNoted = 0;
    g_noteCommits.store(true);
}

void note_commits_stop() noexcept
{
    files::reset_commit_notes();
}

std::size_t append_file_names(char* buf, std::size_t at, std::size_t cap, bool committed,
                              const char* skip, int* count) noexcept
{
    int n = 0;
    auto add = [&](const char* name) {
        if (n++ > 0)
            at = append_text(buf, at, cap, ", ");
        at = append_text(buf, at, cap, name);
    };
    if (committed) {
        const std::size_t length = g_committedLength.load();
        for (std::size_t i = 0; i < length; i += std::strlen(g_committed + i) + 1)
            add(g_committed + i);
    } else {
        for (int i = 0; i < kSlots; ++i) {
            const char* target = g_targets[i].load();
            if (g_slots[i].load() != nullptr && target != nullptr &&
                (skip == nullptr || std::strcmp(target, skip) != 0))
                add(target);
        }
    }
    if (count != nullptr)
        *count = n;
    return at;
}

void remove_folder_signal_safe(const char* path, int depth) noexcept
{
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        empty_folder_signal_safe(fd, depth, false);
        ::close(fd);
    }
    ::rmdir(path);
}

namespace
{

// The last name of a path (the path itself when it has no folder).
const char* last_name(const char* path) noexcept
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' && p[1] != '\0')
            name = p + 1;
    return name;
}

// Removes the hidden folder whose path is `path`, open as `open.fd` (-1
// when it is not open yet, and so empty), an entry of the folder held open
// as `parent`, with what it holds, its lock file (open as `open.live`)
// removed last and closed: by descriptors, nothing by a name that could
// lead elsewhere now. System calls alone: safe in a signal handler, which
// then ends the process (the lock file's descriptor is not used again).
void remove_held_signal_safe(int parent, files::PublishedFolder& open, const char* path) noexcept
{
    int live = open.live.exchange(-1);
    (void)files::remove_hidden_at(parent, last_name(path), open.fd.load(), live);
}

} // namespace

void remove_open_temp_files() noexcept
{
    char folder[PATH_MAX];
    for (int i = 0; i < kSlots; ++i) {
        const char* p = g_slots[i].load();
        if (p == nullptr)
            continue;
        // The private folder's path: the temporary file's, without "/1".
        std::size_t n = std::strlen(p);
        if (n < 2 || n - 2 >= sizeof folder)
            continue;
        std::memcpy(folder, p, n - 2);
        folder[n - 2] = '\0';
        remove_held_signal_safe(g_slotParents[i].load(), g_slotFds[i], folder);
    }
    for (int i = 0; i < kStageSlots; ++i) {
        const char* p = g_stageSlots[i].load();
        if (p != nullptr)
            remove_held_signal_safe(g_stageParents[i].load(), g_stageFds[i], p);
    }
}

// ---------------------------------------------------------------------------
// A step's files, and putting them in place all together or not at all.

namespace
{

// A hidden folder of the step: the staging folder of the StagedFiles bound
// for one folder, or the private folder of a file handed to the step (an
// output data set's file). Open and locked while the step runs.
struct StageFolder {
    HeldRef dir;        // the folder its files go to, held
    std::string folder; // how the messages name that folder
    std::string name;   // the hidden folder's name in it
    std::string path;   // how the messages name the hidden folder
    int fd = -1;
    int live = -1; // its lock file, locked while the run lives
    int slot = -1;
    bool staging = false; // StagedFiles bound for `dir` share it
    // It holds an earlier file that could not be put back after a failed
    // placing: it stays, with that file, and the log says where.
    bool keep = false;
    // It holds the record of the placing (see write_records).
    bool recorded = false;
    // Its record stays: an earlier file is kept in it under its number.
    bool keepRecord = false;
};

// A file waiting for the end of its step under its temporary name.
struct Staged {
    std::string temp;   // its name in its hidden folder (a number)
    std::string folder; // the folder and name it was given
    std::string name;
    std::string target;     // how the messages name the file it becomes
    HeldRef dir;            // the folder it goes to, held
    std::string targetName; // its name there
    StagedPlacement placement = StagedPlacement::Replace;
    // An output data set's file: put in place under its folder's lock, and
    // free to replace a data set an earlier step read.
    bool dataSet = false;
    std::string what; // the data set it belongs to, for the messages
    StageFolder* hidden = nullptr;
    // Known once the record is written: the file's identity, and where its
    // target's earlier file goes where the file system cannot swap two (a
    // name in the hidden folder).
    files::NodeId node{};
    std::string aside{};
};

// A file of the step: `temp` in the hidden folder `hidden`, given as `name`
// in `folder`, and going to `targetName` in the folder held `dir` (named
// `target` in the messages).
Staged staged(const std::string& temp, const std::string& folder, const std::string& name,
              const std::string& target, const HeldRef& dir, const std::string& targetName,
              StageFolder* hidden)
{
    Staged s;
    s.temp = temp;
    s.folder = folder;
    s.name = name;
    s.target = target;
    s.dir = dir;
    s.targetName = targetName;
    s.hidden = hidden;
    return s;
}

struct StepFiles {
    std::mutex lock;
    bool stepOpen = false;
    std::deque<StageFolder> folders; // a deque: the files and signal slots point into it
    std::vector<Staged> files;       // in the order they are put in place
    std::vector<MovedEntry> moved;
    unsigned long made = 0; // numbers for the files of the hidden folders
    // Test hooks, read as a step begins:
    // KORV_SIGNAL_AFTER_STAGED=N (or N,KILL or N,STOP) sends the process
    // SIGTERM (SIGKILL, SIGSTOP) once the step has N files staged;
    // KORV_SIGNAL_AFTER_PLACED=N[,M...] sends SIGTERM once N of them are in
    // place, then SIGINT at each later count; KORV_FAIL_PLACE=N fails the
    // Nth rename of the placing, KORV_FAIL_UNDO=N the Nth rename that puts
    // an earlier file back (EIO); KORV_NO_EXCHANGE=1 takes the file system
    // for one that cannot swap two files nor rename without replacing,
    // KORV_NO_LINKS=1 for one without hard links; KORV_STOP_BEFORE_PLACING=1
    // stops the process (SIGSTOP) as the placing begins, every file of the
    // step (the data sets' too) complete and not yet checked.
    long signalAfter = 0;
    int signal = SIGTERM;
    std::vector<long> signalsAfterPlaced;
    long failPlaceAt = 0, failUndoAt = 0, renames = 0, undos = 0;
    bool noExchange = false, noLinks = false, stopBeforePlacing = false;
};

StepFiles& step_files()
{
    static StepFiles f;
    return f;
}

// Notes a hidden folder, open as `fd` with its lock file as `live`, for
// removal by a signal handler; -1 when every slot is taken (the next run's
// sweep removes it then).
int claim_stage_slot(const std::string& path, int fd, int live, int parent)
{
    for (int i = 0; i < kStageSlots; ++i) {
        const char* expected = nullptr;
        if (g_stageSlots[i].compare_exchange_strong(expected, path.c_str())) {
            g_stageFds[i].fd.store(fd);
            g_stageFds[i].live.store(live);
            g_stageParents[i].store(parent);
            return i;
        }
    }
    return -1;
}

void release_stage_slot(int slot)
{
    if (slot >= 0) {
        g_stageFds[slot].clear();
        g_stageParents[slot].store(-1);
        g_stageSlots[slot].store(nullptr);
    }
}

// Whether `s` stages the files bound for the folder `dir`: its folder is
// that very folder held, or the same folder on the same mount, never one
// known by its device and inode alone (the kernel did not tell the mount).
bool stages_for(const StageFolder& s, const HeldRef& dir)
{
    return s.staging && dir != nullptr && (s.dir == dir || (dir->mount != 0 && s.dir->same(*dir)));
}

// The staging folder of the step's StagedFiles bound for the folder `dir`:
// made in that very folder the first time.
StageFolder* stage_folder(StepFiles& f, const HeldRef& dir, std::string& why)
{
    for (StageFolder& s : f.folders)
        if (stages_for(s, dir))
            return &s;
    const auto start = std::chrono::steady_clock::now();
    for (int attempt = 0; try_another(attempt, start); ++attempt) {
        f.folders.emplace_back();
        StageFolder& s = f.folders.back();
        s.dir = dir;
        s.folder = dir->path;
        s.staging = true;
        s.name = std::string(".") + kStageBase + temp_suffix();
        s.path = dir->file(s.name);
        // Noted before it exists, so that a signal arriving at any moment
        // after it is made finds it to remove.
        s.slot = claim_stage_slot(s.path, -1, -1, dir->fd);
        s.fd = files::make_private_folder(dir->fd, s.name, s.live,
                                          s.slot >= 0 ? &g_stageFds[s.slot] : nullptr);
        if (s.fd < 0) {
            const int err = errno;
            release_stage_slot(s.slot);
            f.folders.pop_back();
            if (err == EEXIST)
                continue;
            why = not_made_in(dir->path, err);
            return nullptr;
        }
        // What killed runs left there goes (see AtomicFile::open).
        files::remove_stale_temp_files(*dir);
        return &s;
    }
    why = "no private folder could be made for it";
    return nullptr;
}

// Removes what the step's hidden folders hold, and the folders, through
// their descriptors. A folder that keeps an earlier file that could not be
// put back loses only the step's own numbered files.
void remove_stage_folders(StepFiles& f)
{
    for (StageFolder& s : f.folders) {
        // Removed while a signal handler still finds it (but for its lock
        // file's descriptor, closed here), and let go of before its
        // descriptors are closed.
        if (s.slot >= 0)
            g_stageFds[s.slot].live.store(-1);
        if (s.fd >= 0 && !s.keep)
            files::remove_hidden_folder(s.fd, s.live, s.name);
        release_stage_slot(s.slot);
        for (const int fd : {s.fd, s.live})
            if (fd >= 0)
                ::close(fd);
    }
    f.folders.clear();
}

// Outside a step nothing waits for a step's end: once no staged file is
// pending, the private folders go, whether the last file was put in place,
// failed or was abandoned.
void end_outside_step(StepFiles& f)
{
    if (!f.stepOpen && f.files.empty())
        remove_stage_folders(f);
}

// Where `name` in `folder` may be written, or why not: it must stay inside
// the folder, not be a folder, nor a file the run reads.
bool check_staged_target(const std::string& folder, const std::string& name, std::string& target,
                         std::string& why)
{
    const std::string path = folder + "/" + name;
    std::string where;
    bool loops = false;
    if (!inside_folder(path, folder, where, loops)) {
        why = loops ? "it is a symbolic link that loops (or leads through too many links)"
                    : "it leads to " + where + ", which is outside its folder " + folder;
        return false;
    }
    if (!resolve_write_target(path, target, why))
        return false;
    // A link to another file of the folder would put this file under that
    // one's name (a graph's name linked to another graph's file): refused.
    if (target != path) {
        std::error_code ec;
        const std::filesystem::path root = std::filesystem::canonical(folder, ec);
        const std::filesystem::path end(where);
        if (!ec && end.parent_path() == root && end.filename() != name) {
            why = "it is a symbolic link to " + end.filename().string() +
                  ", another file of its folder, which it would replace";
            return false;
        }
    }
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        why = "it is a folder";
        return false;
    }
    return !is_run_input(file_identity(target), why, true);
}

// Whether the process may replace any file in a folder whose sticky bit is
// set (CAP_FOWNER among its effective capabilities).
bool privileged()
{
    static const bool yes = [] {
        std::FILE* in = std::fopen("/proc/self/status", "re");
        if (in == nullptr)
            return geteuid() == 0;
        char line[256];
        unsigned long long caps = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, in) != nullptr)
            found = std::sscanf(line, "CapEff: %llx", &caps) == 1;
        std::fclose(in);
        return found ? (caps >> 3 & 1) != 0 : geteuid() == 0;
    }();
    return yes;
}

// What the kernel will refuse when a file is put in place at `name` in the
// folder held `dir`, found before anything is: a folder the run may not
// write, and, in a folder whose sticky bit is set (as shared folders have),
// a file of another user in a folder of a third.
bool placeable(const HeldFolder& dir, const std::string& name, std::string& why)
{
    if (::faccessat(dir.fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        why = "its folder " + dir.path + " may not be written (" + std::strerror(errno) + ")";
        return false;
    }
    struct stat ft, dt;
    if (::fstatat(dir.fd, name.c_str(), &ft, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstat(dir.fd, &dt) != 0 || (dt.st_mode & S_ISVTX) == 0)
        return true;
    // A privileged process replaces another user's file only where its user
    // namespace maps that user. Where the run's own uid and the file's both
    // show as the overflow uid, whose file it is cannot be known here: the
    // rename is left to the kernel, which knows (a refusal undoes the step).
    const uid_t me = geteuid();
    if (same_owner(ft.st_uid, me) || same_owner(dt.st_uid, me) ||
        (privileged() && !owner_unmapped(ft.st_uid)) ||
        (owner_unmapped(me) && owner_unmapped(ft.st_uid)))
        return true;
    why = "it belongs to " + owner_text(ft.st_uid) + ", and its folder " + dir.path +
          " has the sticky bit set, so that only the file's owner, the folder's owner or a "
          "privileged user may replace it";
    return false;
}

// The identity of the file open as `fd`.
files::NodeId node_of(int fd)
{
    files::NodeId id;
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    }
    return id;
}

// Whether the hidden folder is still where it was made, and its folder
// still where the run found it: a folder moved (or made anew) while the
// step ran takes the files staged in it along, and the step's files are
// not put in place where the user no longer has that folder.
bool hidden_in_place(const StageFolder& h, std::string& why)
{
    if (h.fd < 0)
        return true;
    std::string walked;
    bool missing = false;
    const HeldRef now = hold_folder(h.dir->path, false, walked, nullptr, &missing);
    if (now == nullptr && !missing) {
        // Not known (no descriptor left, say): nothing is placed there.
        why = "the folder " + h.folder + " could not be looked at again (" + walked + ")";
        return false;
    }
    if (now != nullptr && now->same(*h.dir) &&
        node_at(h.dir->fd, h.name.c_str()).same(node_of(h.fd)))
        return true;
    why = "the folder " + h.folder + " was moved or replaced while the step ran";
    return false;
}

// Whether the file's target is a name of the folder that holds its hidden
// folder: a record names each target by its name alone, and a later run
// puts back nothing outside that folder.
bool beside_hidden(const Staged& s, std::string& why)
{
    if (s.hidden == nullptr || s.hidden->fd < 0 || s.dir->same(*s.hidden->dir))
        return true;
    why = "it leads to " + s.target + ", out of the folder " + s.hidden->folder +
          " where the file was written, and a step's file is put in place in that folder only";
    return false;
}

// The checks of one file before anything is put in place (its hidden
// folder is checked once for all its files, by hidden_in_place). A graph file's
// name is checked again (a link may have been planted while the step ran),
// and must still lead where it led when the file was written: the file goes
// into the folder held then, under the name found then. An entry's name is
// checked as it is given.
bool check_before_placing(Staged& s, std::string& why)
{
    if (s.placement == StagedPlacement::NewEntry)
        return true;
    if (s.dataSet) {
        if (is_run_input(file_identity(s.target), why, false))
            return false;
    } else {
        std::string target, name;
        if (!check_staged_target(s.folder, s.name, target, why))
            return false;
        const HeldRef now = hold_target(s.folder + "/" + s.name, name, why, nullptr, true);
        if (now == nullptr)
            return false;
        if (!now->same(*s.dir) || name != s.targetName) {
            why = "it leads to " + target + " now, not to " + s.target +
                  " where it led when it was written";
            return false;
        }
    }
    return beside_hidden(s, why) && placeable(*s.dir, s.targetName, why);
}

// How the messages name a file of the step.
std::string file_label(const Staged& s)
{
    const std::string path = s.folder + "/" + s.name;
    return s.what.empty() ? path : path + " (" + s.what + ")";
}

// A name in the hidden folder open as `hfd` that nothing has, for an
// earlier file kept aside: numbered, as the step's own files are.
std::string free_name(StepFiles& f, int hfd)
{
    struct stat st;
    std::string name;
    do
        name = std::to_string(++f.made);
    while (::fstatat(hfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0);
    return name;
}

// Puts `s` in place at its target, keeping whatever was there in its hidden
// folder, so that it can be put back: the two are swapped in one call where
// the file system can, else the earlier file is linked (or, where it cannot
// be linked, moved) aside to `s.aside` first. A folder at the name is never
// moved: the placing fails with EISDIR. `kept` gets where the earlier file
// is ("" when there was none). 0, or the error.
int place_keeping(StepFiles& f, const Staged& s, std::string& kept)
{
    kept.clear();
    if (f.failPlaceAt > 0 && ++f.renames == f.failPlaceAt)
        return EIO;
    // From the hidden folder to the folder held, by their descriptors.
    const int hfd = s.hidden->fd, dfd = s.dir->fd;
    const char* from = s.temp.c_str();
    const char* to = s.targetName.c_str();
    const char* aside = s.aside.c_str();
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (!f.noExchange) {
            if (rename2(hfd, from, dfd, to, RENAME_EXCHANGE) == 0) {
                if (node_at(hfd, from).folder) {
                    // A folder was made at the name since it was checked.
                    (void)rename2(hfd, from, dfd, to, RENAME_EXCHANGE);
                    return EISDIR;
                }
                kept = s.temp;
                return 0;
            }
            int err = errno;
            if (err == ENOENT) {
                // Nothing at the name (or the file itself is gone).
                if (rename2(hfd, from, dfd, to, RENAME_NOREPLACE) == 0)
                    return 0;
                err = errno;
                if (err == EEXIST)
                    continue; // made meanwhile: swapped next time
            }
            if (!unsupported(err))
                return err;
        }
        // A file system that cannot swap two files.
        if (node_at(dfd, to).folder)
            return EISDIR;
        const int linked = f.noLinks ? EPERM : ::linkat(dfd, to, hfd, aside, 0) == 0 ? 0 : errno;
        if (linked == 0) {
            if (rename2(hfd, from, dfd, to, 0) == 0) {
                kept = s.aside;
                return 0;
            }
            const int err = errno;
            (void)::unlinkat(hfd, aside, 0);
            return err;
        }
        int moved = linked == ENOENT ? ENOENT : 0;
        if (moved == 0 && rename2(dfd, to, hfd, aside, 0) != 0)
            moved = errno;
        if (moved == ENOENT) // nothing at the name
            return rename2(hfd, from, dfd, to, 0) == 0 ? 0 : errno;
        if (moved != 0)
            return moved;
        if (node_at(hfd, aside).folder) {
            // A folder came at the name between the look and the move.
            (void)rename2(hfd, aside, dfd, to, 0);
            return EISDIR;
        }
        if (rename2(hfd, from, dfd, to, 0) == 0) {
            kept = s.aside;
            return 0;
        }
        const int err = errno;
        (void)rename2(hfd, aside, dfd, to, 0);
        return err;
    }
    return EEXIST;
}

// Puts `temp` in place at `target` unless something is there: 0, or the
// error (EEXIST when something is). Where the file system cannot rename
// without replacing (nor swap two files: the two come together), the file
// is linked at its name and the temporary name removed; where it cannot
// link either, the name is looked at first.
int place_without_replacing(StepFiles& f, int hfd, const std::string& temp, int dfd,
                            const std::string& target)
{
    if (f.failPlaceAt > 0 && ++f.renames == f.failPlaceAt)
        return EIO;
    if (!f.noExchange) {
        if (rename2(hfd, temp.c_str(), dfd, target.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
        if (!unsupported(errno))
            return errno;
    }
    const int linked = f.noLinks                                                  ? EPERM
                       : ::linkat(hfd, temp.c_str(), dfd, target.c_str(), 0) == 0 ? 0
                                                                                  : errno;
    if (linked == 0) {
        (void)::unlinkat(hfd, temp.c_str(), 0);
        return 0;
    }
    // A name taken meanwhile stays. A file system that cannot link (FAT says
    // EPERM, an rclone mount EIO) gets the file by a rename, once the name
    // is found free: a failure that is no such thing fails that too.
    if (linked == EEXIST)
        return linked;
    if (node_at(dfd, target.c_str()).exists)
        return EEXIST;
    return rename2(hfd, temp.c_str(), dfd, target.c_str(), 0) == 0 ? 0 : errno;
}

// The name of an entry's file: its entry and its extension (".svg").
std::pair<std::string, std::string> entry_parts(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return {name, ""};
    return {name.substr(0, dot), name.substr(dot)};
}

// A file put in place: which, where (its name in the folder held, and how
// the messages name it), and where the earlier file of its name is kept
// until the placing is over (a name in the hidden folder, "" when it had
// none).
struct Placed {
    std::size_t file;
    std::string name, target, kept;
};

// The record's line for `s` placed at `name`, a name of the folder that
// holds its hidden folder (see beside_hidden).
files::RecordLine record_line(const Staged& s, const std::string& name)
{
    return {s.node, s.temp, s.aside, name, true, node_at(s.dir->fd, name.c_str()).exists};
}

// Puts the files of one new catalogue entry in place (files [from, to) of
// the step, all of one folder and entry), none over anything: when a name is
// taken, those already placed go back and all take the next free name (noted
// in the record first). False, with the file and the reason, when one cannot
// be put in place.
bool place_entry(StepFiles& f, std::size_t from, std::size_t to, std::vector<Placed>& done,
                 std::string& file, std::string& why)
{
    const std::string folder = f.files[from].folder;
    const std::string planned = entry_parts(f.files[from].name).first;
    std::string entry = planned;
    for (int attempt = 0;; ++attempt) {
        const std::size_t mark = done.size();
        bool clash = false;
        for (std::size_t i = from; i < to && !clash; ++i) {
            const Staged& s = f.files[i];
            const std::string name = entry + entry_parts(s.name).second;
            file = folder + "/" + name;
            std::string target;
            if (!check_staged_target(folder, name, target, why) || !placeable(*s.dir, name, why))
                return false;
            // A symbolic link made at the name is something there: the entry
            // is put at a name of its folder, never where a link leads.
            int err = target != file ? EEXIST : 0;
            if (err == 0 && name != s.targetName && s.hidden != nullptr && s.hidden->recorded)
                err = files::add_to_placing_record(s.hidden->fd, record_line(s, name));
            if (err == 0)
                err = place_without_replacing(f, s.hidden->fd, s.temp, s.dir->fd, name);
            if (err == 0)
                done.push_back({i, name, s.dir->file(name), ""});
            else if (err == EEXIST && attempt < 100)
                clash = true;
            else {
                why = std::strerror(err);
                return false;
            }
        }
        if (!clash) {
            if (entry != planned)
                f.moved.push_back({folder + "/" + f.files[from].name,
                                   folder + "/" + entry + entry_parts(f.files[from].name).second});
            return true;
        }
        // Something was made at one of the names while the step ran: the
        // files already placed under it go back, and the entry takes
        // another name.
        while (done.size() > mark) {
            const Placed& p = done.back();
            const Staged& s = f.files[p.file];
            if (rename2(s.dir->fd, p.name.c_str(), s.hidden->fd, s.temp.c_str(), 0) != 0) {
                file = p.target;
                why = std::strerror(errno);
                return false;
            }
            done.pop_back();
        }
        entry = catalogue_entry_renamed(folder, planned);
    }
}

// Ends the records of the step's hidden folders: the placing, or its undo,
// is over.
void end_records(StepFiles& f)
{
    for (StageFolder& h : f.folders)
        if (h.recorded && !h.keepRecord) {
            files::end_placing_record(h.fd);
            h.recorded = false;
        }
}

// Drops the files that are not in place, and the hidden folders.
std::size_t drop_staged(StepFiles& f)
{
    std::size_t graphs = 0;
    end_records(f);
    for (const Staged& s : f.files) {
        if (!s.temp.empty() && s.hidden != nullptr && s.hidden->fd >= 0)
            (void)::unlinkat(s.hidden->fd, s.temp.c_str(), 0);
        graphs += s.dataSet ? 0 : 1;
    }
    f.files.clear();
    f.moved.clear();
    remove_stage_folders(f);
    return graphs;
}

// Notes in `out` that the placing failed: the file, and why.
void placing_failed(Placing& out, const std::string& file, const std::string& why)
{
    out.ok = false;
    out.file = file;
    out.why = why;
}

// The check and prepare phases of place_all: every file checked where it
// goes, then the lock of each folder that data sets go to taken, in one
// order every run keeps (by the folder's device and inode), so that two
// runs never each hold one and wait for the other. False, with the failure
// in `out`, when a file cannot be placed.
bool check_and_lock(StepFiles& f, std::vector<std::unique_ptr<FolderLock>>& locks, Placing& out)
{
    for (const StageFolder& h : f.folders) {
        std::string why;
        if (hidden_in_place(h, why))
            continue;
        const auto in = std::find_if(f.files.begin(), f.files.end(),
                                     [&](const Staged& s) { return s.hidden == &h; });
        if (in != f.files.end()) {
            placing_failed(out, file_label(*in), why);
            return false;
        }
    }
    for (Staged& s : f.files) {
        std::string why;
        if (!check_before_placing(s, why)) {
            placing_failed(out, file_label(s), why);
            return false;
        }
    }
    std::map<std::pair<dev_t, ino_t>, const Staged*> folders;
    for (const Staged& s : f.files)
        if (s.dataSet)
            folders.emplace(std::make_pair(s.dir->dev, s.dir->ino), &s);
    for (const auto& [id, s] : folders) {
        locks.push_back(std::make_unique<FolderLock>(s->dir->fd, s->dir->path));
        if (!locks.back()->held()) {
            placing_failed(out, file_label(*s), locks.back()->why());
            return false;
        }
    }
    return true;
}

// Writes the record of each hidden folder of the step: what it will put in
// place and where, each new file known by its identity. False, with the
// failure in `out`, when one cannot be written (the placing could then not
// be put back after a kill, so it does not begin).
bool write_records(StepFiles& f, Placing& out)
{
    // One tag for all the step's records: a folder whose records of one
    // step are renamed only in part when the run is stopped is known to
    // hold a step that ended (see kPlacedName).
    const std::string step = files::random_tag();
    for (Staged& s : f.files) {
        s.node = node_at(s.hidden->fd, s.temp.c_str());
        // Known by its bytes too, where the file system may change its
        // identity (elsewhere a file of the same bytes is still another's).
        s.node.digested = !files::identity_kept(s.hidden->fd) &&
                          files::digest_at(s.hidden->fd, s.temp.c_str(), s.node.digest);
        if (s.placement == StagedPlacement::Replace)
            s.aside = free_name(f, s.hidden->fd);
    }
    for (StageFolder& h : f.folders) {
        std::vector<files::RecordLine> lines;
        const Staged* first = nullptr;
        for (const Staged& s : f.files)
            if (s.hidden == &h) {
                lines.push_back(record_line(s, s.targetName));
                first = first != nullptr ? first : &s;
            }
        if (first == nullptr || h.fd < 0)
            continue;
        const int err = files::write_placing_record(h.fd, lines, step);
        h.recorded = err == 0;
        if (err != 0) {
            placing_failed(out, file_label(*first),
                           "the record of the step's files could not be written in " + h.path +
                               " (" + std::strerror(err) + ")");
            return false;
        }
    }
    return true;
}

// Puts every placed file back, last first: its earlier file at its name, or
// the name removed where it had none, but only where the name still holds
// the file this step put there. A name that holds another run's file by
// now keeps it. An earlier file that does not go back stays in the hidden
// folder, under a name of its own that no sweep removes. The placing is
// undone only where each file the step put in place was taken back by the
// step: not where its name held another file by then, or nothing (the
// step's file moved away by someone else).
void undo_placed(StepFiles& f, const std::vector<Placed>& done, Placing& out)
{
    for (auto p = done.rbegin(); p != done.rend(); ++p) {
        Staged& s = f.files[p->file];
        const bool there = node_at(s.dir->fd, p->name.c_str()).exists;
        int err = 0;
        files::PutBack back = files::PutBack::Failed;
        if (f.failUndoAt > 0 && ++f.undos == f.failUndoAt)
            err = EIO;
        else if (p->kept.empty())
            back = files::remove_placed(s.dir->fd, p->name.c_str(), s.node, err);
        else
            // Swapped back only from the temporary name, where a swap put it:
            // a file moved aside goes back by a rename, so that the name
            // aside never holds the new file.
            back =
                files::put_earlier_back(s.hidden->fd, p->kept.c_str(), s.dir->fd, p->name.c_str(),
                                        s.node, !f.noExchange && p->kept == s.temp, err);
        if (back != files::PutBack::Done || !there)
            out.undone = false;
        if (back == files::PutBack::Done) {
            out.as_before.push_back(p->target);
            continue;
        }
        if (back == files::PutBack::Failed)
            out.left_new.push_back(p->target);
        std::string where;
        if (!p->kept.empty()) {
            const std::string aside = files::kept_name(p->name, p->kept);
            const bool renamed = files::rename_aside(s.hidden->fd, p->kept.c_str(), aside.c_str());
            where = s.hidden->path + "/" + (renamed ? aside : p->kept);
            if (!renamed && p->kept == s.temp)
                s.temp.clear(); // not to be dropped
            if (s.hidden != nullptr) {
                s.hidden->keep = true;
                // Under its number, the earlier file would look like a
                // file a sweep removes: the record stays with it, for a
                // later run to put it back.
                s.hidden->keepRecord = s.hidden->keepRecord || !renamed;
            }
        }
        if (back == files::PutBack::Taken)
            out.taken.push_back({p->target, where});
        else if (!where.empty())
            out.kept_aside.push_back({p->target, where});
    }
}

// Puts every file of the list in place, all of them or none, in four
// phases. Check and prepare (check_and_lock); then what runs stopped while
// placing into the same folders left is put back, and the record of this
// placing is written in each hidden folder. Place: each file is renamed
// into place, keeping the earlier file of its name aside; `renaming` is
// called first (a signal then waits for the renames). Undo: at the first
// rename that fails, every file placed goes back, last first. Only once
// every file is in place, or put back, are the records removed, and then
// the earlier files. Signals stop the run at once until the renames begin;
// the files are then dropped by the signal handler.
Placing place_all(StepFiles& f, void (*renaming)() noexcept)
{
    Placing out;
    if (f.stopBeforePlacing && renaming != nullptr)
        std::raise(SIGSTOP);
    std::vector<std::unique_ptr<FolderLock>> locks;
    if (!check_and_lock(f, locks, out)) {
        drop_staged(f);
        return out;
    }
    {
        // What stopped runs left in a folder is put back before anything is
        // placed there; a folder whose hidden folders cannot be looked at
        // (no descriptor left, say) takes none of the step's files.
        std::set<std::pair<dev_t, ino_t>> seen;
        for (const StageFolder& h : f.folders) {
            if (!seen.insert({h.dir->dev, h.dir->ino}).second)
                continue;
            const std::string why =
                files::recover_stopped_placings(*h.dir, !f.noExchange, out.recovered);
            if (why.empty())
                continue;
            const auto in = std::find_if(f.files.begin(), f.files.end(), [&](const Staged& s) {
                return s.hidden != nullptr && s.hidden->dir->same(*h.dir);
            });
            placing_failed(out, in != f.files.end() ? file_label(*in) : h.folder,
                           why + ", so what runs stopped while placing files there left is not "
                                 "known, and nothing is put in place there until it is");
            drop_staged(f);
            return out;
        }
    }
    if (!write_records(f, out)) {
        drop_staged(f);
        return out;
    }
    if (renaming != nullptr)
        renaming();
    std::vector<Placed> done;
    std::size_t signalled = 0;
    for (std::size_t i = 0; i < f.files.size() && out.ok; ++i) {
        const Staged& s = f.files[i];
        if (s.placement == StagedPlacement::NewEntry) {
            // The entry's files (its SVG file and its images) go together.
            std::size_t end = i + 1;
            while (end < f.files.size() && f.files[end].placement == StagedPlacement::NewEntry &&
                   f.files[end].folder == s.folder &&
                   entry_parts(f.files[end].name).first == entry_parts(s.name).first)
                ++end;
            std::string file, why;
            if (!place_entry(f, i, end, done, file, why)) {
                placing_failed(out, file, why);
            }
            i = end - 1;
        } else {
            std::string kept;
            if (const int err = place_keeping(f, s, kept); err != 0) {
                placing_failed(out, file_label(s), std::strerror(err));
            } else {
                done.push_back({i, s.targetName, s.target, kept});
            }
        }
        // The test hook's signals, which wait for the placing.
        while (signalled < f.signalsAfterPlaced.size() &&
               static_cast<long>(done.size()) >= f.signalsAfterPlaced[signalled])
            std::raise(signalled++ == 0 ? SIGTERM : SIGINT);
    }
    if (!out.ok) {
        undo_placed(f, done, out);
        drop_staged(f);
        return out;
    }
    // Every file is in place: each record says so before any is removed. One
    // that cannot be renamed goes at once, before any other: a run stopped
    // while the records go then leaves none that says the step did not end.
    for (StageFolder& h : f.folders)
        if (h.recorded && files::mark_record_placed(h.fd) != 0 && !h.keepRecord) {
            files::end_placing_record(h.fd);
            h.recorded = false;
        }
    end_records(f);
    for (const Placed& p : done) {
        note_run_made(p.target);
        note_commit(p.target);
    }
    f.files.clear();
    remove_stage_folders(f); // with the earlier files kept aside
    out.moved.swap(f.moved);
    return out;
}

} // namespace

StagedFile::~StagedFile()
{
    abandon();
}

bool StagedFile::open(const std::string& folder, const std::string& name, const std::string& what,
                      std::string& why, StagedPlacement placement)
{
    abandon();
    folder_ = folder;
    name_ = name;
    placement_ = placement;
    if (!check_staged_target(folder, name, target_, why))
        return false;
    std::string other;
    if (!claim_output(target_, OutputKind::Graph, what, other)) {
        why = "it is also " + other + ", and two outputs of a run never share a file";
        return false;
    }
    // Staged in the folder it goes to (a name that is a link to a file of a
    // sub-folder: that sub-folder), held from here on, so that its placing
    // and the record of it never reach out of the hidden folder's folder. A
    // new entry is put at its own name, never through a link.
    if (placement == StagedPlacement::NewEntry) {
        dir_ = step_folder(folder, false, why);
        targetName_ = name;
    } else {
        dir_ = hold_target(folder + "/" + name, targetName_, why);
        // Judged on the folder reached, where the file is made: a link at
        // its name that leads out of its folder is never followed there,
        // whatever the look before saw.
        const HeldRef in = dir_ != nullptr ? step_folder(folder, false, why) : nullptr;
        if (in != nullptr && !folder_inside(*dir_, *in, why)) {
            if (why.empty())
                why = "it leads to " + dir_->file(targetName_) + ", which is outside its folder " +
                      folder;
            dir_.reset();
            return false;
        }
        if (in == nullptr)
            dir_.reset();
    }
    if (dir_ == nullptr)
        return false;
    if (targetName_ == ".") {
        why = "it is a folder";
        return false;
    }
    // An existing file's mode is kept.
    mode_t mode = 0666;
    struct stat st;
    const bool existing = ::fstatat(dir_->fd, targetName_.c_str(), &st, 0) == 0 &&
                          S_ISREG(st.st_mode) && placement == StagedPlacement::Replace;
    if (existing)
        mode = st.st_mode & 07777;
    StepFiles& f = step_files();
    std::lock_guard<std::mutex> g(f.lock);
    StageFolder* stage = stage_folder(f, dir_, why);
    if (stage == nullptr)
        return false;
    // The folder as the step holds it already: one descriptor for all the
    // files of a folder, however many the step writes there.
    dir_ = stage->dir;
    temp_ = std::to_string(++f.made);
    int fd = ::openat(stage->fd, temp_.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        why = std::strerror(errno);
        temp_.clear();
        end_outside_step(f);
        return false;
    }
    if (existing)
        (void)fchmod(fd, mode);
    file_ = stream_over(fd, stream_);
    if (file_ == nullptr) {
        why = std::strerror(errno);
        (void)::unlinkat(stage->fd, temp_.c_str(), 0);
        temp_.clear();
        end_outside_step(f);
        return false;
    }
    return true;
}

namespace
{

// The staging folder of the StagedFiles bound for `dir` (null when there is
// none any more).
StageFolder* staging_of(StepFiles& f, const HeldRef& dir)
{
    for (StageFolder& s : f.folders)
        if (stages_for(s, dir))
            return &s;
    return nullptr;
}

} // namespace

bool StagedFile::finish(std::string& why)
{
    if (file_ == nullptr) {
        why = "the file is not open";
        return false;
    }
    if (!finish_stream(file_, stream_, why)) {
        abandon();
        return false;
    }
    StepFiles& f = step_files();
    std::unique_lock<std::mutex> g(f.lock);
    Staged s = staged(temp_, folder_, name_, target_, dir_, targetName_, staging_of(f, dir_));
    s.placement = placement_;
    temp_.clear();
    if (s.hidden == nullptr) {
        why = "its hidden folder is gone";
        return false;
    }
    f.files.push_back(std::move(s));
    if (!f.stepOpen) {
        // No step is running: there is nothing to wait for.
        const Placing placed = place_all(f, nullptr);
        if (!placed.ok) {
            why = placed.why;
            return false;
        }
        return true;
    }
    if (f.signalAfter > 0 && static_cast<long>(f.files.size()) == f.signalAfter) {
        g.unlock();
        std::raise(f.signal);
    }
    return true;
}

void StagedFile::abandon()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
        stream_ = nullptr;
    }
    if (temp_.empty())
        return;
    StepFiles& f = step_files();
    std::lock_guard<std::mutex> g(f.lock);
    if (StageFolder* stage = staging_of(f, dir_); stage != nullptr && stage->fd >= 0)
        (void)::unlinkat(stage->fd, temp_.c_str(), 0);
    temp_.clear();
    end_outside_step(f);
}

bool write_staged_file(const std::string& folder, const std::string& name, const std::string& what,
                       const std::function<bool(std::FILE*)>& write, std::string& why,
                       StagedPlacement placement)
{
    StagedFile f;
    if (!f.open(folder, name, what, why, placement))
        return false;
    if (!write(f.stream())) {
        if (why.empty())
            why = std::strerror(errno != 0 ? errno : EIO);
        f.abandon();
        return false;
    }
    return f.finish(why);
}

bool AtomicFile::hand_to_step(const std::string& what, std::string& why)
{
    if (!finish(why))
        return false;
    finished_ = false;
    if (temp_.empty())
        return true; // written directly: there is nothing to put in place
    if (through_ >= 0)
        return pass_through(why);
    StepFiles& f = step_files();
    std::lock_guard<std::mutex> g(f.lock);
    f.folders.emplace_back();
    StageFolder& h = f.folders.back();
    h.dir = parent_;
    h.folder = parent_->path;
    h.name = privName_;
    h.path = private_;
    h.fd = folderFd_;
    h.live = liveFd_;
    // The step's slot for its hidden folder is taken before the file's own
    // is let go: a signal finds one of them at every moment.
    h.slot = claim_stage_slot(h.path, h.fd, h.live, parent_->fd);
    Staged s = staged("1", parent_->path, name_, target_, parent_, name_, &h);
    s.dataSet = true;
    s.what = what;
    f.files.push_back(std::move(s));
    folderFd_ = liveFd_ = -1;
    release_slot(slot_);
    slot_ = -1;
    temp_.clear();
    private_.clear();
    privName_.clear();
    return true;
}

void step_files_begin()
{
    files::lock_waits_reset();
    // The step reaches each folder afresh, once.
    step_folders_begin();
    // The files the step puts in place are noted from here on, so that a
    // signal as the step ends can name them.
    files::reset_commit_notes();
    g_noteCommits.store(true);
    StepFiles& f = step_files();
    std::lock_guard<std::mutex> g(f.lock);
    f.stepOpen = true;
    auto number = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr ? std::atol(v) : 0L;
    };
    const char* staged = std::getenv("KORV_SIGNAL_AFTER_STAGED");
    f.signalAfter = number("KORV_SIGNAL_AFTER_STAGED");
    f.signal = staged == nullptr                        ? SIGTERM
               : std::strstr(staged, "KILL") != nullptr ? SIGKILL
               : std::strstr(staged, "STOP") != nullptr ? SIGSTOP
                                                        : SIGTERM;
    f.signalsAfterPlaced.clear();
    if (const char* placed = std::getenv("KORV_SIGNAL_AFTER_PLACED"))
        for (char* p = const_cast<char*>(placed); *p != '\0';) {
            char* end = nullptr;
            const long n = std::strtol(p, &end, 10);
            if (end == p)
                break;
            f.signalsAfterPlaced.push_back(n);
            p = *end == ',' ? end + 1 : end;
        }
    f.failPlaceAt = number("KORV_FAIL_PLACE");
    f.failUndoAt = number("KORV_FAIL_UNDO");
    f.renames = f.undos = 0;
    f.noExchange = number("KORV_NO_EXCHANGE") != 0;
    f.noLinks = number("KORV_NO_LINKS") != 0;
    f.stopBeforePlacing = number("KORV_STOP_BEFORE_PLACING") != 0;
}

bool step_files_open()
{
    StepFiles& f = step_files();
    std::lock_guard<std::mutex> g(f.lock);
    return f.stepOpen;
}

Placing place_step_files(void (*renaming)() noexcept)
{
    StepFiles& f = step_files();
    std::lock_guard<std::mutex> g(f.lock);
    const bool step = f.stepOpen;
    f.stepOpen = false;
    Placing out = place_all(f, renaming);
    if (step) {
        files::release_catalogues();
        step_folders_forget();
    }
    return out;
}

std::size_t drop_step_files()
{
    StepFiles& f = step_files();
    std::lock_guard<std::mutex> g(f.lock);
    f.stepOpen = false;
    f.moved.clear();
    const std::size_t dropped = drop_staged(f);
    files::release_catalogues();
    step_folders_forget();
    return dropped;
}

} // namespace vyr
