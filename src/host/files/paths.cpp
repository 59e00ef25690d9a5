// Where a write lands: folders of paths, the ends of symbolic links, the
// identity of a file, and whether a path stays inside a folder (see
// vyr_atomic_file.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/files/files_internal.h"
#include "vyr_session.h"

namespace vyr
{

std::string folder_of(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

namespace
{

// Whether `path`, whose lstat is `st`, was made by another user than the
// run's in a folder whose sticky bit is set and that others than its owner
// may write (any user, as /tmp, or a team's group), owned by a third:
// `why` then says so, for a thing called `what` ("symbolic link") and what
// the run never does with it. In such a folder each file is its owner's
// alone, and another member may put a name there that leads anywhere.
bool foreign_in(const std::string& path, const struct stat& st, const struct stat& dt,
                const char* what, const char* never, std::string& why)
{
    if (same_owner(st.st_uid, ::geteuid()) || (dt.st_mode & S_ISVTX) == 0 ||
        (dt.st_mode & (S_IWGRP | S_IWOTH)) == 0 || same_owner(st.st_uid, dt.st_uid))
        return false;
    why = path + " is a " + what + " of " + files::owner_text(st.st_uid) + " in the folder " +
          folder_of(path) + ", which others may write and whose sticky bit is set; a run never " +
          never + " there";
    return true;
}

bool foreign_in_shared(const std::string& path, const struct stat& st, const char* what,
                       const char* never, std::string& why)
{
    struct stat dt;
    return !same_owner(st.st_uid, ::geteuid()) && ::stat(folder_of(path).c_str(), &dt) == 0 &&
           foreign_in(path, st, dt, what, never, why);
}

} // namespace

bool foreign_link(const std::string& link, const struct stat& st, std::string& why)
{
    return S_ISLNK(st.st_mode) &&
           foreign_in_shared(link, st, "symbolic link", "follows another user's link", why);
}

bool foreign_link_in(const std::string& link, const struct stat& st, const struct stat& folder,
                     std::string& why)
{
    return S_ISLNK(st.st_mode) &&
           foreign_in(link, st, folder, "symbolic link", "follows another user's link", why);
}

bool foreign_pipe_in(const std::string& path, const struct stat& st, const struct stat& folder,
                     std::string& why)
{
    return S_ISFIFO(st.st_mode) &&
           foreign_in(path, st, folder, "named pipe", "writes into another user's pipe", why);
}

bool foreign_pipe(const std::string& path, const struct stat& st, std::string& why)
{
    return S_ISFIFO(st.st_mode) &&
           foreign_in_shared(path, st, "named pipe", "writes into another user's pipe", why);
}

bool walk_path(const std::string& path, PathWalk& walk)
{
    walk = PathWalk();
    std::vector<std::string> parts; // taken from the back
    auto push = [&parts](const std::string& p) { files::push_parts(parts, p); };
    auto join = [](const std::string& folder, const std::string& name) {
        return folder.empty() ? name : folder == "/" ? "/" + name : folder + "/" + name;
    };
    push(path);
    std::string& at = walk.at; // "" is the current folder
    at = !path.empty() && path[0] == '/' ? "/" : "";
    bool exists = true;
    int links = 0;
    while (!parts.empty()) {
        const std::string part = std::move(parts.back());
        parts.pop_back();
        struct stat st;
        if (part == "..") {
            if (!exists)
                walk.missing.push_back(at.empty() ? "." : at);
            // `at` holds no link nor ".": its folder is the name before its
            // last, save above the current folder.
            const std::string::size_type slash = at.rfind('/');
            if (at.empty() || at.compare(slash + 1, std::string::npos, "..") == 0)
                at = join(at, "..");
            else if (at != "/")
                at = slash == std::string::npos ? "" : slash == 0 ? "/" : at.substr(0, slash);
            exists = ::stat(at.empty() ? "." : at.c_str(), &st) == 0;
            continue;
        }
        const std::string next = join(at, part);
        exists = exists && ::lstat(next.c_str(), &st) == 0;
        if (exists && S_ISLNK(st.st_mode)) {
            if (foreign_link(next, st, walk.why)) {
                walk.refused = true;
                at = next;
                return false;
            }
            char buf[PATH_MAX];
            const ssize_t n = ++links > 40 ? -1 : ::readlink(next.c_str(), buf, sizeof buf - 1);
            if (links > 40 && walk.why.empty())
                walk.why = "it leads through too many symbolic links";
            if (n > 0) {
                const std::string target(buf, static_cast<std::size_t>(n));
                if (target[0] == '/')
                    at = "/";
                push(target);
                continue;
            }
        }
        at = next;
    }
    if (at.empty())
        at = ".";
    return walk.why.empty();
}

namespace
{

// resolve_write_target; `refused` is set when it stops at another user's
// link in a shared folder.
bool walk_links(const std::string& path, std::string& target, std::string& why, bool& refused)
{
    target = path;
    // Every name on the way, each link met judged by the folder that holds
    // it: the kernel's protected_symlinks guards only the last.
    if (PathWalk walk; !walk_path(path, walk)) {
        why = walk.why;
        refused = walk.refused;
        return false;
    }
    refused = false;
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

} // namespace

bool resolve_write_target(const std::string& path, std::string& target, std::string& why)
{
    bool refused = false;
    return walk_links(path, target, why, refused);
}

std::string held_file_name(int fd)
{
    struct stat held, named;
    char link[64], buf[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, buf, sizeof buf - 1);
    if (n <= 0 || buf[0] != '/' || ::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode))
        return std::string();
    buf[n] = '\0';
    // Only looked at, never opened: it counts while it is that very file.
    if (::lstat(buf, &named) != 0 || !S_ISREG(named.st_mode) || named.st_dev != held.st_dev ||
        named.st_ino != held.st_ino)
        return std::string();
    return buf;
}

FileIdentity file_identity(const std::string& path)
{
    FileIdentity id;
    // A descriptor of the run is the file it holds, known by the descriptor.
    if (const int fd = vyr_descriptor_named(path); fd >= 0) {
        struct stat st;
        if (::fstat(fd, &st) == 0) {
            id.exists = true;
            id.dev = st.st_dev;
            id.ino = st.st_ino;
        }
        const std::string name = held_file_name(fd);
        id.path = name.empty() ? path : name;
        return id;
    }
    std::string target = path, why;
    if (!resolve_write_target(path, target, why))
        target = path; // links that loop: the name itself is all there is
    struct stat st;
    if (!target.empty() && ::stat(target.c_str(), &st) == 0) {
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path full = fs::weakly_canonical(fs::absolute(target, ec), ec);
    id.path = ec ? target : full.lexically_normal().string();
    return id;
}

bool inside_folder(const std::string& path, const std::string& folder, std::string& where,
                   bool& loops)
{
    namespace fs = std::filesystem;
    loops = false;
    std::error_code ec;
    const fs::path root = fs::canonical(folder.empty() ? fs::path(".") : fs::path(folder), ec);
    if (ec)
        return true; // a missing folder is reported when it is used
    std::string target = path, why;
    bool refused = false;
    if (!walk_links(path, target, why, refused)) {
        where = path;
        loops = !refused;
        // Another user's link is not followed: as a name of the folder it
        // is inside, and the writer refuses it with the reason.
        return refused; // links that loop lead nowhere inside
    }
    fs::path full = fs::weakly_canonical(fs::absolute(target, ec), ec);
    if (ec)
        full = fs::path(target);
    where = full.string();
    const fs::path rel = full.lexically_normal().lexically_relative(root);
    return !rel.empty() && *rel.begin() != ".." && rel.is_relative();
}

std::size_t private_path_room()
{
    // "/." + base + ".korv-" + 16 digits + ".tmp" + "/1"
    return 2 + sizeof files::kFileBase - 1 + sizeof files::kTempMark - 1 + 16 + 4 + 2;
}

bool path_fits(const std::string& path, std::string& why)
{
    const std::string folder = folder_of(path);
    long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (nameMax <= 0)
        nameMax = NAME_MAX;
    for (std::size_t at = 0; at < path.size();) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        if (end - at > static_cast<std::size_t>(nameMax)) {
            why = "the name " + path.substr(at, 24) + "... in it is " + std::to_string(end - at) +
                  " bytes long, and a name may have at most " + std::to_string(nameMax);
            return false;
        }
        at = end + 1;
    }
    const std::size_t temp = folder.size() + private_path_room();
    if (std::max(path.size(), temp) >= PATH_MAX) {
        why = "it is " + std::to_string(path.size()) + " bytes long, and a file written there " +
              "needs a path of " + std::to_string(std::max(path.size(), temp)) +
              " bytes while a path may have at most " + std::to_string(PATH_MAX - 1);
        return false;
    }
    return true;
}

std::vector<std::string> temp_folders()
{
    std::vector<std::string> folders;
    const char* given = std::getenv("TMPDIR");
    if (given != nullptr && *given != '\0')
        folders.emplace_back(given);
    folders.emplace_back("/tmp");
    folders.emplace_back("/var/tmp");
    return folders;
}

bool temp_folder_usable(const std::string& folder, std::string& why)
{
    // Nothing is made through another user's link in a shared folder.
    if (PathWalk walk; !walk_path(folder, walk) && walk.refused) {
        why = walk.why;
        return false;
    }
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) {
        why = errno == ENOENT ? "it does not exist" : std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "it is not a folder";
        return false;
    }
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        why = errno == EACCES ? "the run may not write in it" : std::strerror(errno);
        return false;
    }
    return true;
}

std::string temp_folder()
{
    const std::vector<std::string> folders = temp_folders();
    std::string unused;
    for (const std::string& dir : folders)
        if (temp_folder_usable(dir, unused))
            return dir;
    return folders.front();
}

FolderState prepare_folder(const std::string& folder, const std::string& parent, std::string& where)
{
    // The parent is held first, and the folder reached (and made where it
    // is not there) from it, never by its path walked again: nothing is made
    // through another user's link in a shared folder, at any name of the
    // path, through links that loop, or through a name swapped meanwhile.
    const HeldRef within = step_folder(parent, true, where);
    if (within == nullptr)
        return FolderState::NotAFolder;
    const HeldRef held = step_folder(folder, true, where);
    if (held == nullptr)
        return FolderState::NotAFolder;
    // Judged on the folder reached, up its "..", never by a name.
    if (!folder_inside(*held, *within, where)) {
        if (!where.empty())
            return FolderState::NotAFolder;
        where = held->path;
        return FolderState::Outside;
    }
    return FolderState::Ready;
}

} // namespace vyr
