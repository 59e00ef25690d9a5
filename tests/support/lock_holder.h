// Another process that holds a folder's lock, as another run does, until
// the test lets it go: a ticket of its own in the folder
// (".korvante-w-...lock"), write-locked while the process lives. What a run
// does while another run holds a folder's lock.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace vyrtest
{

class LockHolder
{
  public:
    // Forks a process that takes the lock of the folder `path` (`entries`:
    // a catalogue's) the way a run does, its ticket named with `tag` (16
    // hexadecimal digits; the lowest, 0000..., keeps it against a run that
    // makes its own at the same moment); returns once it holds it (held()),
    // or failed to. With `live` false it makes the ticket and lets its
    // lock go at once, as a run killed while holding it leaves it.
    explicit LockHolder(const std::string& path, bool entries = false,
                        const std::string& tag = "0000000000000000", bool live = true)
    {
        const std::string name =
            std::string(entries ? ".korvante-entries-w-" : ".korvante-w-") + tag + ".lock";
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            // Only system calls here: the test process may run threads.
            // Made at its name, readable by its maker alone until it is
            // write-locked, then its process id written in it and made
            // readable to all.
            const int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            const int fd =
                ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            struct flock fl {
            };
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            char pid[16];
            int n = 0;
            for (long p = ::getpid(); p > 0; p /= 10)
                ++n;
            for (long p = ::getpid(), i = n; p > 0; p /= 10)
                pid[--i] = static_cast<char>('0' + p % 10);
            pid[n++] = '\n';
            char c = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) == 0 && ::write(fd, pid, n) == n &&
                             ::fchmod(fd, 0644) == 0
                         ? 'y'
                         : 'n';
            if (!live)
                ::close(fd);
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release_[0], &c, 1);
            if (live)
                (void)::unlinkat(folder, name.c_str(), 0);
            _exit(0);
        }
        char c = 0;
        held_ = pid_ > 0 && ::read(ready[0], &c, 1) == 1 && c == 'y';
        ::close(ready[0]);
        ::close(ready[1]);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    // Lets the lock go and waits for the process to end.
    ~LockHolder() { release(); }
    void release()
    {
        if (pid_ <= 0)
            return;
        const char c = 'x';
        (void)!::write(release_[1], &c, 1);
        int status = 0;
        (void)waitpid(pid_, &status, 0);
        ::close(release_[0]);
        ::close(release_[1]);
        pid_ = -1;
    }
    bool held() const { return held_; }

  private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
    bool held_ = false;
};

} // namespace vyrtest
