#!/usr/bin/env python3
"""Catches every file made in a folder, as a user who may only read the
folder can, for the end-to-end scripts.

  catch_new.py [--deep] DIR COUNTS [KEEP]

watches DIR with inotify and, the moment a file is made there, opens it for
reading and holds a read lock on it (an open file description's lock), to
stop a writer from taking its own write lock on it; with --deep, in every
folder made there too (and in theirs), each watched the moment it is made,
what it already holds then caught at once. It keeps the last KEEP files it
caught (default 1) open and locked, letting older ones go. Once it watches, it
prints "watching" on standard output; on SIGTERM it writes to COUNTS "SEEN
LOCKED" of the lock tickets of korvante's runs among them
(.korvante-...w-....lock, .new.lock as they are made first, or .new as an earlier version made them): those it saw made, and those it opened and locked before their
maker did (each a name more for that run to make: a ticket its maker had
written in was held and let go before the reader's lock, and is not
counted), then exits.
"""
import ctypes
import fcntl
import os
import signal
import struct
import sys

IN_CREATE = 0x100
IN_MOVED_TO = 0x80
IN_ISDIR = 0x40000000


def main():
    args = sys.argv[1:]
    deep = args[:1] == ["--deep"]
    args = args[1:] if deep else args
    folder, counts = args[0], args[1]
    keep = int(args[2]) if len(args) > 2 else 1
    libc = ctypes.CDLL(None, use_errno=True)
    ino = libc.inotify_init1(os.O_CLOEXEC)
    # Each folder watched, by its watch: its path from DIR ("" for DIR).
    under = {}

    def watch(sub):
        wd = libc.inotify_add_watch(ino, os.fsencode(os.path.join(folder, sub)), IN_CREATE | IN_MOVED_TO)
        if wd >= 0:
            under[wd] = sub
        return wd

    if ino < 0 or watch("") < 0:
        print("failed:", os.strerror(ctypes.get_errno()), flush=True)
        return 1
    lock = struct.pack("hhqqi4x", fcntl.F_RDLCK, os.SEEK_SET, 0, 0, 0)
    dirfd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    seen = locked = 0
    held = []

    def done(*_):
        with open(counts, "w") as f:
            f.write("%d %d\n" % (seen, locked))
        os._exit(0)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, done)

    def catch(name):
        nonlocal seen, locked
        ticket = name.startswith(b".korvante-") and b"w-" in name and name.endswith((b".lock", b".new"))
        seen += ticket
        try:
            fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK, dir_fd=dirfd)
        except OSError:
            return
        try:
            fcntl.fcntl(fd, fcntl.F_OFD_SETLK, lock)
            # Its maker writes in a ticket only once it holds it: one with
            # something in it was held and let go before this lock, and so
            # was one its maker emptied and removed as it let go.
            locked += ticket and not os.pread(fd, 1, 0) and os.fstat(fd).st_nlink > 0
            held.append(fd)
        except OSError:
            os.close(fd)
        while len(held) > keep:
            os.close(held.pop(0))

    print("watching", flush=True)
    while True:
        buf = os.read(ino, 65536)
        at = 0
        while at < len(buf):
            wd, mask, _, size = struct.unpack_from("iIII", buf, at)
            name = buf[at + 16:at + 16 + size].split(b"\0", 1)[0]
            at += 16 + size
            if wd not in under or not name:
                continue
            name = os.path.join(os.fsencode(under[wd]), name)
            if not (deep and mask & IN_ISDIR):
                catch(name)
            elif watch(os.fsdecode(name)) >= 0:
                try:
                    for made in os.listdir(os.path.join(os.fsencode(folder), name)):
                        catch(os.path.join(name, made))
                except OSError:
                    pass


if __name__ == "__main__":
    sys.exit(main())
