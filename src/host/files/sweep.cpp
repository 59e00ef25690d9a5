// The stale-file sweep: what a killed run left in a folder is removed by the
// next run that writes into it (see vyr_atomic_file.h). Only private folders
// of ours are removed, and only when no living run holds their lock and
// they hold nothing but the numbered files a run writes in them: a user's
// file, named however it is, is never touched.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "host/files/files_internal.h"

namespace vyr
{
namespace
{

using files::run_files;
using files::RunFiles;

std::mutex g_sweptLock;
std::vector<SweptFolder> g_swept;

// The names in the folder open as `fd` when each is a file a run of ours
// writes there: a regular file with one link, named by a number. False when
// anything else is there.
bool only_numbered_files(int fd, std::vector<std::string>& names)
{
    const int dup = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* d = dup >= 0 ? fdopendir(dup) : nullptr;
    if (d == nullptr) {
        if (dup >= 0)
            ::close(dup);
        return false;
    }
    bool ours = true;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        ours = name.size() <= 20 && name.find_first_not_of("0123456789") == std::string::npos &&
               fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
               st.st_nlink == 1;
        if (!ours)
            break;
        names.push_back(name);
    }
    closedir(d);
    return ours;
}

} // namespace

void remove_stale_temp_files(const std::string& folder)
{
    const std::string dir = folder.empty() ? std::string(".") : folder;
    {
        std::error_code ec;
        const std::filesystem::path key = std::filesystem::weakly_canonical(dir, ec);
        RunFiles& r = run_files();
        std::lock_guard<std::mutex> g(r.lock);
        if (!r.swept.insert(ec ? dir : key.string()).second)
            return;
    }
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    const int dfd = dirfd(d);
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (files::stage_folder_name(e->d_name))
            names.emplace_back(e->d_name);
    for (const std::string& name : names) {
        // Only a folder: a link is not followed, a file is no folder of ours.
        const int fd = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        // A living run holds the lock of each private folder it has: those
        // are left alone.
        std::vector<std::string> files;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && only_numbered_files(fd, files)) {
            int removed = 0;
            for (const std::string& f : files)
                removed += unlinkat(fd, f.c_str(), 0) == 0;
            if (unlinkat(dfd, name.c_str(), AT_REMOVEDIR) == 0) {
                std::lock_guard<std::mutex> g(g_sweptLock);
                g_swept.push_back({dir + "/" + name, removed});
            }
        }
        ::close(fd);
    }
    closedir(d);
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

} // namespace vyr
