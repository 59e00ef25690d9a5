// Where a write lands: folders of paths, the ends of symbolic links, the
// identity of a file, and whether a path stays inside a folder (see
// vyr_atomic_file.h).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "host/files/files_internal.h"

namespace vyr
{

std::string folder_of(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

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

FileIdentity file_identity(const std::string& path)
{
    FileIdentity id;
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
    if (!resolve_write_target(path, target, why)) {
        where = path;
        loops = true;
        return false; // links that loop lead nowhere inside
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

FolderState prepare_folder(const std::string& folder, const std::string& parent, std::string& where)
{
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return FolderState::NotAFolder;
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
            return FolderState::NotAFolder;
    }
    bool loops = false;
    if (!inside_folder(folder, parent, where, loops))
        return loops ? FolderState::NotAFolder : FolderState::Outside;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return FolderState::NotAFolder;
    return FolderState::Ready;
}

} // namespace vyr
