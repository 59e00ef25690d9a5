#!/usr/bin/env python3
"""Holds a lock as a run of korvante holds it, until killed, for the
end-to-end scripts.

  hold_lock.py ticket DIR [entries] [TAG]
      takes DIR's lock as a writer does: a ticket of its own there
      (.korvante-w-TAG.lock, or .korvante-entries-w-TAG.lock), made readable
      to its maker alone, write-locked, its process id written in it, then
      made readable to all; TAG defaults to 0000000000000000, which a run
      waiting at the same moment lets go for.
  hold_lock.py live FILE
      write-locks FILE (made if need be), as a living run holds its hidden
      folder's lock file.
  hold_lock.py read FILE
      opens FILE for reading only, as a user who may only read it can, and
      holds every lock such a descriptor allows: a flock and a read lock.

Once it holds the lock it prints "held" on standard output and sleeps until
a signal ends it; it prints "failed: WHY" and exits 1 when it cannot.
"""
import fcntl
import os
import signal
import struct
import sys
import time


def flock_struct(kind):
    # struct flock on Linux x86-64: short l_type, short l_whence, off_t
    # l_start, off_t l_len, pid_t l_pid (the pid is 0 for an open file
    # description's lock).
    return struct.pack("hhqqi4x", kind, os.SEEK_SET, 0, 0, 0)


def ofd_lock(fd, kind):
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, flock_struct(kind))


def main():
    mode, path = sys.argv[1], sys.argv[2]
    try:
        if mode == "ticket":
            entries = "entries" in sys.argv[3:]
            tags = [a for a in sys.argv[3:] if a != "entries"]
            tag = tags[0] if tags else "0" * 16
            name = os.path.join(path, (".korvante-entries-w-" if entries else ".korvante-w-") + tag)
            name += ".lock"
            fd = os.open(name, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
            ofd_lock(fd, fcntl.F_WRLCK)
            os.write(fd, b"%d\n" % os.getpid())
            os.fchmod(fd, 0o644)
            done = lambda *_: (os.unlink(name), os._exit(0))
        elif mode == "live":
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
            ofd_lock(fd, fcntl.F_WRLCK)
            done = lambda *_: os._exit(0)
        elif mode == "read":
            fd = os.open(path, os.O_RDONLY)
            fcntl.flock(fd, fcntl.LOCK_EX)
            ofd_lock(fd, fcntl.F_RDLCK)
            done = lambda *_: os._exit(0)
        else:
            raise OSError("unknown mode " + mode)
    except OSError as e:
        print("failed:", e, flush=True)
        return 1
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, done)
    print("held", flush=True)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    sys.exit(main())
