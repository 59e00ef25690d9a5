// The descriptors the command was started with. A process started with
// standard output or standard error closed (`>&- 2>&-`, as some schedulers
// and daemons start programs) would give descriptors 0 to 2 to the first
// files the run opens: the log's lines would then land in a data set, the
// listing in the log. Each closed one is held on /dev/null instead, and the
// run remembers which were closed: a listing or log that should go there is
// not delivered, and the run fails. Any other descriptor the caller did not
// open is one the run opened itself (its own log file, say), which a
// document named /dev/fd/N must never reach.

#include "vyr_atomic_file.h"
#include "vyr_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// Bit N set: descriptor N was closed when the command started.
int g_closed = 0;
// The descriptors open when the command started, in order; until they are
// noted (a program other than the command, such as a test), every
// descriptor counts as the caller's.
bool g_noted = false;
std::vector<int> g_open;

// Notes which descriptors are open, from the process's fd folder (whose
// own descriptor is left out), else by asking for each of the first 1024.
void note_open_descriptors()
{
    g_open.clear();
    if (DIR* d = ::opendir("/proc/self/fd"); d != nullptr) {
        const int own = ::dirfd(d);
        while (dirent* e = ::readdir(d)) {
            char* end = nullptr;
            const long n = std::strtol(e->d_name, &end, 10);
            if (end != e->d_name && *end == '\0' && n >= 0 && n <= INT_MAX && n != own)
                g_open.push_back(static_cast<int>(n));
        }
        ::closedir(d);
    } else {
        for (int fd = 0; fd < 1024; ++fd)
            if (::fcntl(fd, F_GETFD) != -1)
                g_open.push_back(fd);
    }
    std::sort(g_open.begin(), g_open.end());
    g_noted = true;
}

} // namespace

bool vyr_hold_standard_streams(std::string& why)
{
    note_open_descriptors();
    // open gives the lowest free descriptor, so going up from 0 each one
    // lands where it is missing.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int got = ::open("/dev/null", O_RDWR);
        if (got != fd) {
            const int err = errno;
            if (got >= 0)
                ::close(got);
            why = "descriptor " + std::to_string(fd) +
                  " is closed and /dev/null could not be opened in its place" +
                  (got < 0 ? std::string(" (") + std::strerror(err) + ")" : std::string());
            return false;
        }
        g_closed |= 1 << fd;
    }
    return true;
}

bool vyr_stream_was_closed(int fd)
{
    return fd >= 0 && fd <= 2 && (g_closed >> fd & 1) != 0;
}

bool vyr_descriptor_was_open(int fd)
{
    return fd >= 0 && (!g_noted || std::binary_search(g_open.begin(), g_open.end(), fd));
}

std::string vyr_closed_stream_reason(int fd)
{
    static const char* const names[] = {"standard input", "standard output", "standard error"};
    return std::string(names[fd < 0 || fd > 2 ? 0 : fd]) + " was closed when the run started";
}

int vyr_descriptor_named(const std::string& path)
{
    if (path.empty())
        return -1;
    // A descriptor's name is an entry of the process's fd folder, however
    // it is reached: /dev/fd, /proc/self/fd and /proc/thread-self/fd all
    // lead to /proc/PID/fd or /proc/PID/task/TID/fd. The links before it
    // (/dev/stdout, a user's own) are followed one at a time, since the
    // entry itself leads on to what the descriptor holds.
    const std::string own = "/proc/" + std::to_string(::getpid());
    auto fd_folder = [&](const std::string& f) {
        return f == own + "/fd" ||
               (f.rfind(own + "/task/", 0) == 0 && f.compare(f.size() - 3, 3, "/fd") == 0);
    };
    std::string at = path;
    for (int depth = 0; depth < 40; ++depth) {
        const std::string folder = vyr::folder_of(at);
        const std::string name = at.substr(at.rfind('/') + 1); // npos + 1: the whole name
        // Another user's link in a shared folder is not followed, on the way
        // to the name nor at it (the writer then says so).
        if (vyr::PathWalk walk; !vyr::walk_path(folder, walk) && walk.refused)
            return -1;
        char real[PATH_MAX];
        if (::realpath(folder.c_str(), real) != nullptr && fd_folder(real))
            return !name.empty() && name.size() < 10 &&
                           name.find_first_not_of("0123456789") == std::string::npos
                       ? std::atoi(name.c_str())
                       : -1;
        struct stat st;
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return -1;
        if (std::string unused; vyr::foreign_link(at, st, unused))
            return -1;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(at.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            return -1;
        const std::string next(buf, static_cast<std::size_t>(n));
        at = next[0] == '/' ? next : folder + "/" + next;
    }
    return -1;
}

int vyr_closed_stream_named(const std::string& path)
{
    const int fd = g_closed != 0 ? vyr_descriptor_named(path) : -1;
    return vyr_stream_was_closed(fd) ? fd : -1;
}
