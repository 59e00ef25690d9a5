// Folders held by their descriptors (see HeldFolder in vyr_atomic_file.h):
// a path walked one name at a time, each folder opened from the one before
// and each symbolic link judged on what was opened, then read from that
// very link. What the walk judged is what the run then makes, opens,
// renames and removes in: every later call works relative to the folder's
// descriptor, so a name swapped meanwhile (another user's folder and link
// traded in a shared folder) changes nothing of where the run writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "host/files/files_internal.h"

namespace vyr
{

void files::push_parts(std::vector<std::string>& parts, const std::string& path)
{
    const std::size_t first = parts.size();
    for (std::size_t at = 0; at < path.size();) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        if (end > at && path.compare(at, end - at, ".") != 0)
            parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    std::reverse(parts.begin() + static_cast<std::ptrdiff_t>(first), parts.end());
}

namespace
{

using files::push_parts;

std::string joined(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder == "/" ? "/" + name : folder + "/" + name;
}

// The folder of a shown path: its last name dropped (above the current
// folder, ".." added).
std::string shown_parent(const std::string& at)
{
    const std::string::size_type slash = at.rfind('/');
    if (at.empty() || at == ".." || at.compare(slash + 1, std::string::npos, "..") == 0)
        return joined(at, "..");
    if (at == "/")
        return at;
    return slash == std::string::npos ? "" : slash == 0 ? "/" : at.substr(0, slash);
}

// The folders of the running step (see step_folder), guarded by
// g_stepFoldersLock: each held once and known by what it is (its device,
// inode and mount, where the kernel tells the mount), and by every spelling
// under which a walk of the step reached it.
// A spelling is the path walked up to a name, made absolute (a relative one
// from the current folder's name), "." and empty names left out and ".."
// kept: after a link, ".." leads elsewhere than the name before it.
std::mutex g_stepFoldersLock;
std::map<std::string, HeldRef> g_spelt;
using FolderKey = std::tuple<dev_t, ino_t, std::uint64_t>;
std::map<FolderKey, HeldRef> g_held;
// Whether a step is going on: outside one, each use walks its path afresh.
bool g_inStep = false;

// The spelling of `name` in the folder spelt `folder`.
std::string spelt(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// The spelling a step's walk of a path starts from: "/", or the current
// folder's name ("." where it has none the process can learn).
std::string start_spelling(bool absolute)
{
    if (absolute)
        return "/";
    char cwd[PATH_MAX];
    return ::getcwd(cwd, sizeof cwd) != nullptr && cwd[0] == '/' ? std::string(cwd) : ".";
}

// What the folder open as `fd` is: its device, inode and mount (0 where the
// kernel does not tell it). False with errno.
bool identify(int fd, FolderKey& id)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    struct statx sx;
    const bool mount =
        ::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID) != 0;
    id = FolderKey(st.st_dev, st.st_ino, mount ? sx.stx_mnt_id : 0);
    return true;
}

FolderKey key_of(const HeldFolder& h)
{
    return {h.dev, h.ino, h.mount};
}

// The folder open as `fd` (taken over), held and named `path` in the
// messages.
HeldRef held_as(int fd, const std::string& path)
{
    auto held = std::make_shared<HeldFolder>();
    held->fd = fd;
    held->path = path;
    if (FolderKey id; identify(fd, id))
        std::tie(held->dev, held->ino, held->mount) = id;
    return held;
}

// Holds the folder open as `fd` (taken over), named `shown` in the messages:
// opened again for reading where the run may (its names are read: hidden
// folders, lock files), else kept as it was reached.
HeldRef hold_open(int fd, const std::string& shown)
{
    const int read = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (read >= 0) {
        ::close(fd);
        fd = read;
    }
    return held_as(fd, shown.empty() ? "." : shown);
}

// One walk: the folder reached so far, held, and how the log names it. A
// walk of the running step (for_step) reaches each folder as the step's:
// a spelling the step holds a folder under is that folder, never walked
// again, and each folder reached is held by the step under its spelling.
class Walker
{
  public:
    Walker(int fd, std::string shown) : fd_(fd), shown_(std::move(shown)) {}
    ~Walker()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    // Makes this a walk of the running step, starting from the folder
    // spelt `start` ("/" or the current folder's name): the one the step
    // holds, or the one opened now, held from now on. g_stepFoldersLock
    // is held throughout the walk.
    void for_step(const std::string& start)
    {
        step_ = true;
        key_ = start;
        if (!take_held())
            hold_here();
    }

    // Walks `parts` (last first) from the folder held, to a folder: each
    // link met is judged and followed, ".." taken from the folder reached,
    // a folder that does not exist made with `make`. False with why_.
    bool walk(std::vector<std::string>& parts, bool make)
    {
        // A step's walk: the spellings of the links met, each with the count
        // of names left once its target is walked; the folder reached then
        // is the link's too.
        std::vector<std::pair<std::size_t, std::string>> links;
        while (!parts.empty()) {
            std::string part = std::move(parts.back());
            parts.pop_back();
            const std::size_t left = parts.size();
            const std::string key = step_ ? spelt(key_, part) : std::string();
            if (step_ && g_spelt.count(key) != 0) {
                key_ = key;
                take_held();
                shown_ = part == ".." ? shown_parent(shown_) : joined(shown_, part);
            } else {
                bool link = false;
                if (!step(part, parts, make, link))
                    return false;
                if (step_ && link) {
                    links.emplace_back(left, key);
                } else if (step_) {
                    key_ = key;
                    hold_here();
                }
            }
            while (!links.empty() && parts.size() <= links.back().first) {
                key_ = std::move(links.back().second);
                links.pop_back();
                hold_here();
            }
        }
        return true;
    }

    // Follows the last name `name` of a path to the file a write lands on:
    // while it is a symbolic link (judged), its target is walked from the
    // link's folder. False with why_; else the folder held and `name` are
    // where the write lands.
    bool follow_last(std::string& name)
    {
        for (;;) {
            const int fd = ::openat(at(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                if (errno == ENOENT)
                    return true;
                return fail(joined(shown_, name), std::strerror(errno));
            }
            struct stat st;
            const bool link = ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode);
            std::string target;
            if (link && !read_link(fd, name, st, target)) {
                ::close(fd);
                return false;
            }
            ::close(fd);
            if (!link)
                return true;
            std::vector<std::string> parts;
            if (!target.empty() && target[0] == '/' && !restart_at_root())
                return false;
            push_parts(parts, target);
            // A target ending in a folder's name ("dir/", "..") is a folder.
            if (parts.empty() || parts.front() == ".." || target.back() == '/') {
                if (!walk(parts, false))
                    return false;
                name = ".";
                return true;
            }
            name = parts.front();
            parts.erase(parts.begin());
            if (!walk(parts, false))
                return false;
        }
    }

    // The folder reached, held: a step's walk's is the step's.
    HeldRef held()
    {
        if (held_ != nullptr)
            return held_;
        const int fd = fd_;
        fd_ = -1;
        return hold_open(fd, shown_);
    }
    const std::string& why() const { return why_; }
    bool refused() const { return refused_; }
    // Whether it failed at a name that does not exist.
    bool missing() const { return missing_; }

  private:
    int at() const { return fd_ >= 0 ? fd_ : held_->fd; }

    // The folder opened as `fd` is the one reached from now on.
    void move_to(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
        held_.reset();
    }

    // A step's walk: the folder the step holds under key_ becomes the one
    // reached. False where it holds none.
    bool take_held()
    {
        const auto found = g_spelt.find(key_);
        if (found == g_spelt.end())
            return false;
        move_to(-1);
        held_ = found->second;
        return true;
    }

    // A step's walk: the folder reached is the step's under key_, the one
    // it holds already where it is the same folder on the same mount. Where
    // the kernel does not tell the mount, a folder is never taken for
    // another by its device and inode alone.
    void hold_here()
    {
        if (held_ == nullptr) {
            FolderKey key;
            const bool known = identify(fd_, key) && std::get<2>(key) != 0;
            if (const auto found = known ? g_held.find(key) : g_held.end(); found != g_held.end()) {
                move_to(-1);
                held_ = found->second;
            } else {
                held_ = hold_open(fd_, shown_);
                fd_ = -1;
                if (known)
                    g_held.emplace(key, held_);
            }
        }
        g_spelt.emplace(key_, held_);
    }

    bool fail(const std::string& what, const std::string& why)
    {
        why_ = what + ": " + why;
        return false;
    }

    bool restart_at_root()
    {
        shown_ = "/";
        if (step_) {
            key_ = "/";
            if (take_held())
                return true;
        }
        const int root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (root < 0)
            return fail("/", std::strerror(errno));
        move_to(root);
        if (step_)
            hold_here();
        return true;
    }

    // Judges the link open as `fd` (named `name` in the folder held; `st`
    // its fstat) and reads where it leads, from that very link.
    bool read_link(int fd, const std::string& name, const struct stat& st, std::string& target)
    {
        const std::string shown = joined(shown_, name);
        struct stat dst;
        if (::fstat(at(), &dst) != 0)
            return fail(shown_, std::strerror(errno));
        if (foreign_link_in(shown, st, dst, why_)) {
            refused_ = true;
            return false;
        }
        if (++links_ > 40) {
            why_ = "it leads through too many symbolic links";
            return false;
        }
        char buf[PATH_MAX];
        const ssize_t n = ::readlinkat(fd, "", buf, sizeof buf - 1);
        if (n <= 0)
            return fail(shown, n < 0 ? std::strerror(errno) : "an empty symbolic link");
        target.assign(buf, static_cast<std::size_t>(n));
        return true;
    }

    // Takes the name `part` from the folder reached: a folder (or "..")
    // becomes the one reached; a link (`link` set) is judged and its target's
    // names put before the rest of `parts`.
    bool step(const std::string& part, std::vector<std::string>& parts, bool make, bool& link)
    {
        if (part == "..") {
            const int up = ::openat(at(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (up < 0)
                return fail(joined(shown_, ".."), std::strerror(errno));
            move_to(up);
            shown_ = shown_parent(shown_);
            return true;
        }
        // Opened as it is, never followed: a folder is held as what was
        // opened, a link judged on what was opened.
        for (int tries = 0;; ++tries) {
            const int fd = ::openat(at(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT && make && tries < 8) {
                if (::mkdirat(at(), part.c_str(), 0777) != 0 && errno != EEXIST)
                    return fail(joined(shown_, part), std::strerror(errno));
                continue; // made (by this run or another): opened as it is now
            }
            if (fd < 0) {
                missing_ = errno == ENOENT;
                return fail(joined(shown_, part),
                            errno == ENOENT ? "it does not exist" : std::strerror(errno));
            }
            struct stat st;
            if (::fstat(fd, &st) != 0) {
                const int err = errno;
                ::close(fd);
                return fail(joined(shown_, part), std::strerror(err));
            }
            if (S_ISDIR(st.st_mode)) {
                move_to(fd);
                shown_ = joined(shown_, part);
                return true;
            }
            if (!S_ISLNK(st.st_mode)) {
                ::close(fd);
                return fail(joined(shown_, part), "it is not a folder");
            }
            std::string target;
            const bool read = read_link(fd, part, st, target);
            ::close(fd);
            if (!read)
                return false;
            link = true;
            if (!target.empty() && target[0] == '/' && !restart_at_root())
                return false;
            push_parts(parts, target);
            return true;
        }
    }

    int fd_;       // the folder reached, opened by the walk; else
    HeldRef held_; // the step's folder reached
    std::string shown_;
    std::string why_;
    bool refused_ = false;
    bool missing_ = false;
    int links_ = 0;
    bool step_ = false;
    std::string key_; // a step's walk: the spelling of the folder reached
};

} // namespace

HeldFolder::~HeldFolder()
{
    if (fd >= 0)
        ::close(fd);
}

namespace
{

// Walks `path` from "/" or the current folder to the folder that holds its
// last name (`name` gets that name, followed through its links; with
// `name` null, the path is walked to its end, made with `make`) and holds
// it; null with `why` and `refused`. A relative path is walked from `from`
// where it is given; else, in a step and unless `afresh`, the walk is the
// step's (see Walker): every folder it reaches is the step's.
HeldRef walk_and_hold(const std::string& path, std::string* name, bool make, std::string& why,
                      bool* refused, bool* missing = nullptr, const HeldFolder* from = nullptr,
                      bool afresh = true)
{
    const bool absolute = !path.empty() && path[0] == '/';
    // A relative path from a folder held: walked from that very folder.
    const bool inFrom = from != nullptr && !absolute;
    std::vector<std::string> parts;
    push_parts(parts, path);
    // A path that ends in a folder's name ("out/", "..", ".") names a folder.
    const bool folder =
        name == nullptr || parts.empty() || parts.front() == ".." || path.back() == '/';
    if (name != nullptr)
        *name = folder ? "." : parts.front();
    if (!folder)
        parts.erase(parts.begin());
    std::unique_lock<std::mutex> g(g_stepFoldersLock);
    const bool step = g_inStep && !afresh && from == nullptr;
    if (!step)
        g.unlock();
    const std::string shown = inFrom     ? (from->path == "." ? std::string() : from->path)
                              : absolute ? std::string("/")
                                         : std::string();
    const int fd = inFrom ? ::fcntl(from->fd, F_DUPFD_CLOEXEC, 0)
                          : ::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    Walker w(fd, shown);
    if (step)
        w.for_step(start_spelling(absolute));
    if (!w.walk(parts, make) || (!folder && !w.follow_last(*name))) {
        why = w.why();
        if (refused != nullptr)
            *refused = w.refused();
        if (missing != nullptr)
            *missing = w.missing();
        return nullptr;
    }
    return w.held();
}

} // namespace

HeldRef step_folder(const std::string& path, bool make, std::string& why, bool* refused,
                    bool* missing)
{
    return walk_and_hold(path.empty() ? std::string(".") : path, nullptr, make, why, refused,
                         missing, nullptr, false);
}

namespace
{

// Lets go of the step's folders (closed once the lock is let go) and says
// whether a step is going on.
void step_folders_reset(bool inStep)
{
    std::map<std::string, HeldRef> spelt;
    std::map<FolderKey, HeldRef> held;
    std::lock_guard<std::mutex> g(g_stepFoldersLock);
    spelt.swap(g_spelt);
    held.swap(g_held);
    g_inStep = inStep;
}

} // namespace

void step_folders_begin()
{
    step_folders_reset(true);
}

void step_folders_forget()
{
    step_folders_reset(false);
}

bool folder_inside(const HeldFolder& folder, const HeldFolder& within, std::string& failed)
{
    const FolderKey target = key_of(within);
    FolderKey at = key_of(folder);
    // Up from the folder, by its ".." and never by a name, to the root (whose
    // ".." is itself).
    int err = 0;
    int fd = ::fcntl(folder.fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        err = errno;
    for (int depth = 0; fd >= 0 && at != target && depth < 4096; ++depth) {
        const int up = ::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        FolderKey above;
        if (up < 0 || !identify(up, above))
            err = errno;
        ::close(fd);
        fd = up;
        if (err != 0 || above == at)
            break;
        at = above;
    }
    if (fd >= 0)
        ::close(fd);
    failed = err == 0 ? std::string()
                      : "the folders above " + folder.path + " cannot be looked at (" +
                            std::strerror(err) + ")";
    return err == 0 && at == target;
}

HeldRef hold_folder(const std::string& path, bool make, std::string& why, bool* refused,
                    bool* missing)
{
    return walk_and_hold(path, nullptr, make, why, refused, missing);
}

HeldRef hold_target(const std::string& path, std::string& name, std::string& why, bool* refused,
                    bool afresh)
{
    return walk_and_hold(path, &name, false, why, refused, nullptr, nullptr, afresh);
}

namespace
{

// Walks `path` as hold_target does (from `from` for a relative path) and
// hands `at` the folder held and the last name, which `at` opens or looks
// at without following it: an errno from `at`, ELOOP for a name that became
// a symbolic link after the walk judged it, which is then walked again.
bool reach_to_read(const std::string& path, const HeldFolder* from, std::string& why, bool* refused,
                   bool* missing, const std::function<int(int, const char*)>& at,
                   const HeldFolder* within = nullptr)
{
    if (refused != nullptr)
        *refused = false;
    if (missing != nullptr)
        *missing = false;
    // A name swapped for a link this often while it was opened is refused,
    // not walked for ever.
    constexpr int kWalks = 8;
    for (int walks = 1;; ++walks) {
        std::string name;
        // Without a folder to walk from, the path's folder is the running
        // step's, as a write to it reaches it.
        const HeldRef held =
            walk_and_hold(path, &name, false, why, refused, missing, from, from != nullptr);
        if (held == nullptr)
            return false;
        // Judged where it is opened: a link at its name (or on the way) that
        // leads out of the folder it must stay in is never followed, at any
        // moment, whatever a look before saw there.
        if (std::string failed; within != nullptr && !folder_inside(*held, *within, failed)) {
            why = !failed.empty() ? failed
                                  : "it leads to " + held->file(name) +
                                        ", which is outside its library folder " + within->path;
            if (refused != nullptr)
                *refused = failed.empty();
            return false;
        }
        const int err = at(held->fd, name.c_str());
        if (err == 0)
            return true;
        if (err == ELOOP && walks < kWalks)
            continue;
        if (missing != nullptr)
            *missing = err == ENOENT;
        why = err == ELOOP ? held->file(name) + " became a symbolic link each time it was opened"
                           : std::strerror(err);
        return false;
    }
}

} // namespace

int open_to_read(const std::string& path, std::string& why, const HeldFolder* from, bool* refused,
                 bool* missing, bool wait, const HeldFolder* within)
{
    int fd = -1;
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (wait ? 0 : O_NONBLOCK);
    (void)reach_to_read(
        path, from, why, refused, missing,
        [&](int dirfd, const char* name) {
            fd = ::openat(dirfd, name, flags);
            return fd >= 0 ? 0 : errno;
        },
        within);
    return fd;
}

int read_rest(int fd, std::string& text)
{
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

bool look_to_read(const std::string& path, struct stat& st, std::string& why,
                  const HeldFolder* from, bool* refused, bool* missing, const HeldFolder* within)
{
    return reach_to_read(
        path, from, why, refused, missing,
        [&](int dirfd, const char* name) {
            if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return errno;
            return S_ISLNK(st.st_mode) ? ELOOP : 0;
        },
        within);
}

HeldRef make_own_folder(const HeldFolder& in, const std::string& prefix, std::string& why)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = prefix + files::random_tag().substr(0, 10);
        if (::mkdirat(in.fd, name.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            why = std::strerror(errno);
            return nullptr;
        }
        const int fd =
            ::openat(in.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            why = std::strerror(errno);
            (void)::unlinkat(in.fd, name.c_str(), AT_REMOVEDIR);
            return nullptr;
        }
        return held_as(fd, in.file(name));
    }
    why = "every name tried was taken";
    return nullptr;
}

bool remove_folder_at(int in, const char* name, int folder, int depth) noexcept
{
    files::empty_folder_signal_safe(folder, depth, false);
    return ::unlinkat(in, name, AT_REMOVEDIR) == 0;
}

std::string HeldFolder::file(const std::string& name) const
{
    return name == "." ? path : joined(path == "." ? std::string() : path, name);
}

} // namespace vyr
