// Files written whole or not at all (see vyr_atomic_file.h).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "vyr_atomic_file.h"

namespace vyr
{
namespace
{

// The temporary files open now, for removal from a signal handler. A slot
// holds a pointer to a path that stays alive while the slot holds it.
constexpr int kSlots = 256;
std::atomic<const char*> g_slots[kSlots];

int claim_slot(const char* path)
{
    for (int i = 0; i < kSlots; ++i) {
        const char* expected = nullptr;
        if (g_slots[i].compare_exchange_strong(expected, path))
            return i;
    }
    return -1;
}

void release_slot(int slot)
{
    if (slot >= 0)
        g_slots[slot].store(nullptr);
}

std::string folder_of(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name no one can guess: 64 random bits in hexadecimal.
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

// Paths whose links the kernel makes up per process (/dev/stdout leads to
// /proc/self/fd/1): they are written through as given, never replaced.
bool is_descriptor_path(const std::string& path)
{
    return path.rfind("/dev/std", 0) == 0 || path.rfind("/dev/fd/", 0) == 0 ||
           path.rfind("/proc/", 0) == 0;
}

} // namespace

bool resolve_write_target(const std::string& path, std::string& target, std::string& why)
{
    target = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        char buf[PATH_MAX];
        ssize_t n = readlink(target.c_str(), buf, sizeof buf - 1);
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        buf[n] = '\0';
        std::string next(buf, static_cast<std::size_t>(n));
        if (next.empty() || next[0] != '/')
            next = folder_of(target) + "/" + next;
        target = next;
    }
    why = "it leads through too many symbolic links";
    return false;
}

AtomicFile::~AtomicFile()
{
    abandon();
}

bool AtomicFile::open(const std::string& path, std::string& why)
{
    abandon();
    if (path.empty()) {
        why = "no file name was given";
        return false;
    }
    if (is_descriptor_path(path)) {
        target_ = path;
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr) {
            why = std::strerror(errno);
            return false;
        }
        return true;
    }
    if (!resolve_write_target(path, target_, why))
        return false;
    struct stat st;
    mode_t mode = 0666;
    if (stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            why = "it is a folder";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe: nothing to replace, so write to it.
            file_ = std::fopen(target_.c_str(), "w");
            if (file_ == nullptr) {
                why = std::strerror(errno);
                return false;
            }
            return true;
        }
        mode = st.st_mode & 07777;
    }
    const std::string folder = folder_of(target_);
    const std::string base = base_of(target_);
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp_ = folder + "/." + base + "." + random_tag() + ".tmp";
        fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        why = std::strerror(errno);
        temp_.clear();
        return false;
    }
    // The mode given to open is cut by the umask; an existing target's mode
    // is kept exactly.
    if (mode != 0666)
        (void)fchmod(fd, mode);
    file_ = fdopen(fd, "w");
    if (file_ == nullptr) {
        why = std::strerror(errno);
        ::close(fd);
        ::unlink(temp_.c_str());
        temp_.clear();
        return false;
    }
    slot_ = claim_slot(temp_.c_str());
    return true;
}

bool AtomicFile::commit(std::string& why)
{
    if (file_ == nullptr) {
        why = "the file is not open";
        return false;
    }
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
    int err = ok ? 0 : errno;
    if (std::fclose(file_) != 0 && ok) {
        ok = false;
        err = errno;
    }
    file_ = nullptr;
    if (temp_.empty()) {
        if (!ok)
            why = std::strerror(err != 0 ? err : EIO);
        return ok;
    }
    if (ok && std::rename(temp_.c_str(), target_.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        why = std::strerror(err != 0 ? err : EIO);
        ::unlink(temp_.c_str());
    }
    release_slot(slot_);
    slot_ = -1;
    temp_.clear();
    return ok;
}

void AtomicFile::abandon()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        release_slot(slot_);
        slot_ = -1;
        temp_.clear();
    }
}

FolderLock::FolderLock(const std::string& folder, bool exclusive)
{
    const std::string path = (folder.empty() ? std::string(".") : folder) + "/.korvante.lock";
    // Only a writer creates the lock file: a reader of a folder that was
    // never written by us leaves nothing behind in it.
    fd_ = exclusive ? ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666)
                    : ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0)
        return;
    while (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
}

FolderLock::~FolderLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void remove_open_temp_files() noexcept
{
    for (int i = 0; i < kSlots; ++i) {
        const char* p = g_slots[i].load();
        if (p != nullptr)
            ::unlink(p);
    }
}

} // namespace vyr
