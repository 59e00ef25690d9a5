// The stale-file sweep: what a killed run left in a folder is removed by the
// next run that writes into it (see vyr_atomic_file.h).
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

using files::empty_folder_signal_safe;
using files::run_files;
using files::RunFiles;
using files::stage_folder_name;
using files::temp_name;

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
        if (temp_name(e->d_name))
            names.emplace_back(e->d_name);
    for (const std::string& name : names) {
        // A pipe planted under such a name is not waited on; a link is not
        // followed.
        const int fd = openat(dfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        // A living run holds the lock of each temporary file and folder it
        // has: those are left alone.
        if (fstat(fd, &st) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (S_ISREG(st.st_mode)) {
                (void)unlinkat(dfd, name.c_str(), 0);
            } else if (S_ISDIR(st.st_mode) && stage_folder_name(name.c_str())) {
                empty_folder_signal_safe(fd, 0);
                (void)unlinkat(dfd, name.c_str(), AT_REMOVEDIR);
            }
        }
        ::close(fd);
    }
    closedir(d);
}

} // namespace vyr
