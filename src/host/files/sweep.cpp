// What killed runs left in a folder, found and judged: the hidden folders
// named like ours (read once per run and folder), which of them this run
// may act on, and the stale-file sweep (see vyr_atomic_file.h). A folder
// that others may write (a team folder, a shared one with the sticky bit)
// may hold hidden folders that another user made, named like ours: a run
// acts only on those that belong to its own user and that no one else may
// write, looked at on the open descriptor, never by path. Only private
// folders of ours are removed, and only when no living run holds their lock
// and they hold nothing but the numbered files a run writes in them: a
// user's file, named however it is, is never touched.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "host/files/files_internal.h"
#include "vyr_atomic_file.h"

namespace vyr
{
namespace
{

using files::run_files;
using files::RunFiles;

std::mutex g_sweptLock;
// The devices where a private folder of the run came out with others'
// rights (see note_modes_not_kept).
std::set<dev_t> g_modesNotKept;
std::vector<SweptFolder> g_swept;
std::vector<UntrustedFile> g_untrusted;
// The hidden folders and records already said to be untrusted in this run.
std::set<std::string> g_said;
// How many of other users' hidden folders in a folder the note names.
constexpr std::size_t kOthersNamed = 3;

// Why a hidden folder of the owner `uid` is not this user's: another user's,
// or one whose owner is not known where every unmapped owner shows as one.
std::string others_why(uid_t uid)
{
    return owner_unmapped(uid)
               ? "its owner is not known here (shown as the overflow uid), and may be any user"
               : "it is another user's";
}

// The key a folder held is known by for the run: its device and inode.
std::string folder_key(const HeldFolder& dir)
{
    return std::to_string(static_cast<unsigned long long>(dir.dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(dir.ino));
}

} // namespace

namespace files
{

std::vector<std::string> hidden_names(const HeldFolder& held, int* err)
{
    const std::string& dir = held.path;
    const std::string key = folder_key(held);
    RunFiles& r = run_files();
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (auto at = r.hidden.find(key); at != r.hidden.end())
            return at->second;
    }
    // Read outside the run's lock: a folder of many files takes a while.
    // Another user's hidden folder (by its owner, looked at without opening
    // it) is left out at once: however many a shared folder holds, the run
    // neither opens nor locks them, and one note counts them.
    std::vector<std::string> names;
    std::vector<std::pair<std::string, uid_t>> others;
    std::size_t otherCount = 0;
    const int dup = ::openat(held.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = dup >= 0 ? fdopendir(dup) : nullptr;
    if (d == nullptr && dup >= 0) {
        const int e = errno;
        ::close(dup);
        errno = e;
    }
    if (d == nullptr) {
        // Not there, or not a folder: it has none. Any other failure is
        // said to the caller, and the folder is read again next time.
        if (errno == ENOENT || errno == ENOTDIR)
            return names;
        if (err != nullptr)
            *err = errno;
        return names;
    }
    while (dirent* e = readdir(d)) {
        if (!stage_folder_name(e->d_name))
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            !own_file(st.st_uid, held.fd)) {
            ++otherCount;
            others.emplace_back(e->d_name, st.st_uid);
            // The first few by name are kept, to be named.
            std::sort(others.begin(), others.end());
            if (others.size() > kOthersNamed)
                others.pop_back();
            continue;
        }
        names.emplace_back(e->d_name);
    }
    closedir(d);
    if (otherCount > 0) {
        std::string named;
        for (const auto& [name, uid] : others)
            named += (named.empty() ? "" : ", ") + name + " (" + owner_text(uid) + ")";
        UntrustedFile u;
        if (otherCount == 1) {
            u = {dir + "/" + others[0].first, owner_text(others[0].second),
                 others_why(others[0].second), false, false};
        } else {
            u = {dir, "", named, false, false};
            u.count = otherCount;
        }
        note_untrusted(u);
    }
    std::lock_guard<std::mutex> g(r.lock);
    return r.hidden.emplace(key, names).first->second;
}

void note_modes_not_kept(dev_t dev)
{
    std::lock_guard<std::mutex> g(g_sweptLock);
    g_modesNotKept.insert(dev);
}

bool modes_kept(dev_t dev)
{
    std::lock_guard<std::mutex> g(g_sweptLock);
    return g_modesNotKept.count(dev) == 0;
}

bool only_numbered_files(int fd, std::vector<std::string>& names)
{
    // Read through a descriptor opened for it now, never an older one (btrfs
    // lists through an older one only the names the folder had then).
    const int dup = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = dup >= 0 ? fdopendir(dup) : nullptr;
    if (d == nullptr) {
        if (dup >= 0)
            ::close(dup);
        return false;
    }
    bool ours = true;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || name == kLiveName)
            continue;
        struct stat st;
        // A numbered file of the run's, or what a file system kept of a file
        // removed while open (a stopped run's), both plain files with one name.
        ours = ((name.size() <= 20 && name.find_first_not_of("0123456789") == std::string::npos) ||
                kept_open_name(name.c_str())) &&
               fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
               st.st_nlink == 1;
        if (!ours)
            break;
        names.push_back(name);
    }
    closedir(d);
    return ours;
}

void note_untrusted(const UntrustedFile& u)
{
    std::lock_guard<std::mutex> g(g_sweptLock);
    if (g_said.insert(u.path).second)
        g_untrusted.push_back(u);
}

HiddenState open_hidden(int pfd, const std::string& name, const std::string& path, int& fd,
                        int& live, bool act, int* err)
{
    live = -1;
    fd = ::openat(pfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        // Not there, or not a folder (a link is not followed): gone.
        if (e == ENOENT || e == ENOTDIR || e == ELOOP)
            return HiddenState::Gone;
        // Anything else (no descriptor left, no memory, a failing disk, a
        // folder of the user's own that it may not read): what it holds is
        // not known. (Other users' hidden folders, which a run may not
        // open, were left out by their owner when the folder was read.)
        if (err != nullptr)
            *err = e;
        return HiddenState::Unknown;
    }
    auto judged = [&](HiddenState state, int e = 0) {
        if (state != HiddenState::Stale) {
            for (int* open : {&live, &fd})
                if (*open >= 0)
                    ::close(*open);
            live = fd = -1;
        }
        if (state == HiddenState::Unknown && err != nullptr)
            *err = e;
        return state;
    };
    auto note = [&](uid_t owner, const char* why) {
        note_untrusted({path, owner_text(owner), why, false, false});
        return judged(HiddenState::NotOwn);
    };
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return judged(HiddenState::Unknown, errno);
    if (!own_file(st.st_uid, pfd))
        return note(st.st_uid, others_why(st.st_uid).c_str());
    if ((st.st_mode & 022) != 0 && modes_kept(st.st_dev))
        return note(st.st_uid, (st.st_mode & 002) != 0
                                   ? "any user may write in it"
                                   : "other users of its group may write in it");
    // A living run holds the write lock of each of its hidden folders' lock
    // files (and so does a run putting a stopped one back, or sweeping it,
    // now). A run makes the lock file before anything else in its folder
    // and removes it after everything else: a folder without one is being
    // made or removed (or its run was stopped meanwhile), and holds nothing
    // of a run's; it is removed here, and a run making it takes another
    // name. One that holds files without a lock file is an earlier
    // version's: it gets one here, locked, and is judged as any other.
    // Open for writing to act on it, as its write lock needs; for reading
    // to look, which takes no lock.
    const int flags = (act ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    live = ::openat(fd, kLiveName, flags);
    if (live < 0 && errno == ENOENT) {
        if (::unlinkat(pfd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT)
            return judged(HiddenState::Gone);
        // Refused: it holds something, or a FUSE mount refuses a moment
        // longer than its listing shows a file (fusefat says EPERM).
        if (errno != ENOTEMPTY && errno != EEXIST && errno != EPERM && errno != EBUSY)
            return judged(HiddenState::Unknown, errno);
        // Nothing in it but the names a file system keeps for files removed
        // while others held them open (readers, who may hold them long), or
        // nothing (the mount's delay): nothing of a run's, and nothing to
        // act on or wait for. No lock file is made in it (a reader could
        // open it first, and keep it too): a later run removes it once they
        // have let go.
        if (kept_open_names(fd, true) >= 0)
            return judged(HiddenState::Gone);
        live = ::openat(fd, kLiveName, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_CREAT | O_EXCL, 0600);
        if (live < 0 && errno == EEXIST)
            live = ::openat(fd, kLiveName, flags);
    }
    if (live < 0) {
        const int e = errno;
        if (e == ENOENT)
            return judged(HiddenState::Gone); // removed meanwhile
        if (e == ELOOP)
            return note(st.st_uid, "its lock file is a symbolic link");
        return judged(HiddenState::Unknown, e);
    }
    struct stat ls;
    if (::fstat(live, &ls) != 0)
        return judged(HiddenState::Unknown, errno);
    if (!S_ISREG(ls.st_mode) || !own_file(ls.st_uid, fd))
        return note(ls.st_uid, "its lock file is not a plain file of this user's");
    // Only a write lock says a run holds it: its own run's, or that of a run
    // acting on it now. A read lock is a reader's (where the file system
    // shows the file readable to others), and no run of ours.
    const int holder = live_holder(live);
    if (holder < 0)
        return judged(HiddenState::Unknown, errno);
    if (holder == F_WRLCK)
        return judged(HiddenState::Living);
    if (act) {
        // Taken, so that no other run acts on it at once, nor a run making a
        // folder of this name takes it for its own. Where a reader's lock
        // keeps the write lock off, the folder is acted on all the same:
        // that lock is no run's, and neither can a run making it lock it.
        const int err = hold_live(live);
        if (err != 0 && live_holder(live) == F_WRLCK)
            return judged(HiddenState::Living);
        if (err != 0 && err != EAGAIN && err != EACCES)
            return judged(HiddenState::Unknown, err);
    }
    if (::fstat(live, &ls) != 0 || ls.st_nlink == 0)
        return judged(HiddenState::Gone); // removed by its run meanwhile
    return HiddenState::Stale;
}

} // namespace files

namespace
{

// The overflow uid: the owner the kernel shows for every user this
// process's user namespace does not map. Read once.
uid_t overflow_uid()
{
    static const uid_t uid = [] {
        uid_t v = 65534;
        if (std::FILE* f = std::fopen("/proc/sys/kernel/overflowuid", "re")) {
            unsigned long n = 0;
            if (std::fscanf(f, "%lu", &n) == 1)
                v = static_cast<uid_t>(n);
            std::fclose(f);
        }
        return v;
    }();
    return uid;
}

} // namespace

// An owner shown as the overflow uid is nobody, whatever the map: a map that
// gives some user that number (a rootless container maps 1..65536, a sandbox
// may run its user as 65534) does not make the number mean one user, as
// every unmapped owner (root of the host, the other users, /tmp itself)
// shows the same.
bool owner_unmapped(uid_t uid)
{
    return uid == overflow_uid();
}

bool same_owner(uid_t a, uid_t b)
{
    return a == b && !owner_unmapped(a);
}

bool only_owner_writes(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           ::fgetxattr(fd, "system.nfs4_acl", nullptr, 0) < 0;
}

bool files::own_file(uid_t owner, int folder)
{
    const uid_t me = ::geteuid();
    return same_owner(owner, me) ||
           (owner_unmapped(me) && owner_unmapped(owner) && only_owner_writes(folder) &&
            ::faccessat(folder, ".", W_OK, AT_EACCESS) == 0);
}

std::string owner_text(uid_t uid)
{
    struct passwd pw {
    }, *found = nullptr;
    char buf[4096];
    const std::string number = std::to_string(static_cast<unsigned long>(uid));
    if (owner_unmapped(uid))
        return "the owner shown as uid " + number +
               " (the number that stands for any owner not known here: one a file server "
               "squashes, or one a user namespace does not map)";
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        return "the user " + std::string(found->pw_name) + " (uid " + number + ")";
    return "the user with uid " + number;
}

void files::remove_stale_temp_files(const HeldFolder& held)
{
    const std::string& dir = held.path;
    {
        RunFiles& r = run_files();
        std::lock_guard<std::mutex> g(r.lock);
        if (!r.swept.insert(folder_key(held)).second)
            return;
    }
    const std::vector<std::string> names = files::hidden_names(held);
    // Those that are gone now, or were removed, are not looked at again in
    // this run (a folder that readers keep files in stays until they let
    // go, and is met once by each run, not once by each look).
    std::vector<std::string> left;
    for (const std::string& name : names) {
        int fd = -1, live = -1;
        std::vector<std::string> files;
        const files::HiddenState state =
            files::open_hidden(held.fd, name, dir + "/" + name, fd, live, true);
        bool gone = state == files::HiddenState::Gone;
        if (state == files::HiddenState::Stale && files::only_numbered_files(fd, files)) {
            int removed = 0;
            for (const std::string& f : files)
                removed += unlinkat(fd, f.c_str(), 0) == 0 && !files::kept_open_name(f.c_str());
            if (files::remove_hidden_at(held.fd, name.c_str(), fd, live)) {
                gone = true;
                std::lock_guard<std::mutex> g(g_sweptLock);
                g_swept.push_back({dir + "/" + name, removed});
            }
        }
        if (!gone)
            left.push_back(name);
        for (const int open : {live, fd})
            if (open >= 0)
                ::close(open);
    }
    // (A folder that could not be read has no list kept: it is read again.)
    RunFiles& r = run_files();
    std::lock_guard<std::mutex> g(r.lock);
    if (auto at = r.hidden.find(folder_key(held)); at != r.hidden.end())
        at->second = std::move(left);
}

void remove_stale_temp_files(const std::string& folder)
{
    std::string why;
    if (const HeldRef held = step_folder(folder.empty() ? "." : folder, false, why))
        files::remove_stale_temp_files(*held);
}

void files::note_swept_folder(const std::string& path, int files)
{
    std::lock_guard<std::mutex> g(g_sweptLock);
    g_swept.push_back({path, files});
}

std::vector<SweptFolder> take_swept_folders()
{
    std::lock_guard<std::mutex> g(g_sweptLock);
    std::vector<SweptFolder> out;
    out.swap(g_swept);
    return out;
}

std::vector<UntrustedFile> take_untrusted_files()
{
    std::lock_guard<std::mutex> g(g_sweptLock);
    std::vector<UntrustedFile> out;
    out.swap(g_untrusted);
    return out;
}

void files::forget_untrusted() noexcept
{
    std::lock_guard<std::mutex> g(g_sweptLock);
    g_untrusted.clear();
    g_said.clear();
}

} // namespace vyr
