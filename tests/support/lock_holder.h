// Another process that holds a lock (an exclusive flock) on a folder's lock
// file, or on a lock file, until the test lets it go: what a run does while
// another run holds a folder's lock.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace vyrtest
{

// The name of the lock file of the folder `folder` (a library's, or with
// `entries` a catalogue's), as its writers are: ".korvante-o.lock" where
// only its owner may write it, ".korvante-g.lock" where its group may,
// ".korvante-a.lock" where any user may, and, where the sticky bit is set
// and others may write it, one of the user's own lock files there (a name
// of their form, which every writer of the user's locks).
inline std::string lock_file_name(const std::string& folder, bool entries = false)
{
    struct stat st {
    };
    (void)::stat(folder.c_str(), &st);
    const std::string base = entries ? ".korvante-entries-" : ".korvante-";
    if ((st.st_mode & (S_IWOTH | S_IWGRP)) != 0 && (st.st_mode & S_ISVTX) != 0)
        return base + "u-0000000000000000.lock";
    if ((st.st_mode & S_IWOTH) != 0)
        return base + "a.lock";
    if ((st.st_mode & S_IWGRP) != 0)
        return base + "g.lock";
    return base + "o.lock";
}

class LockHolder
{
  public:
    // Forks a process that locks the lock file of the folder `path`
    // (lock_file_name), or the lock file `path`, making it if need be;
    // returns once it holds the lock (held()), or failed to.
    explicit LockHolder(const std::string& path)
    {
        const std::string name = lock_file_name(path);
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            // Only system calls here: the test process may run threads.
            const int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            const int fd = folder >= 0
                               ? ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)
                               : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            char c = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release_[0], &c, 1);
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
