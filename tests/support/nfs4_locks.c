/* A model of the rule an NFSv4 client applies to flock, preloaded
 * (LD_PRELOAD) into the runs of tests/e2e/environments.sh. The client keeps
 * a flock as a lock on the server, which it asks for only through a
 * descriptor open for the matching access: an exclusive lock on a
 * descriptor not open for writing, or a shared lock on one not open for
 * reading, fails with EBADF. A local file system grants both, so code that
 * breaks the rule works on every disk and fails only on the network mount;
 * this library makes every file system refuse as the client does.
 *
 * Locks taken with fcntl (F_SETLK, F_OFD_SETLK, lockf) need no model: the
 * kernel itself refuses them with EBADF on a descriptor of the wrong
 * access, on every file system. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/file.h>

int flock(int fd, int operation)
{
    static int (*real_flock)(int, int);
    if (real_flock == NULL) {
        real_flock = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
        if (real_flock == NULL) {
            errno = ENOSYS;
            return -1;
        }
    }
    const int wanted = operation & (LOCK_SH | LOCK_EX);
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && wanted != 0) {
        const int access = flags & O_ACCMODE;
        if ((wanted == LOCK_EX && access == O_RDONLY) ||
            (wanted == LOCK_SH && access == O_WRONLY)) {
            errno = EBADF;
            return -1;
        }
    }
    return real_flock(fd, operation);
}
