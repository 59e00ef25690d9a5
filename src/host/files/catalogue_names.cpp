// The names of a graphics catalogue's entries (see vyr_atomic_file.h): an
// entry is a file per format in the catalogue's folder (NAME.svg, NAME.png,
// NAME.pdf), its name a token of at most 8 upper-case letters, digits and
// underscores, unique in the folder. In a permanent catalogue, which other
// runs may write at the same time, the folder's lock is held from the
// step's first name to the moment its files are in place.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>

#include "host/files/files_internal.h"

namespace vyr
{
namespace
{

struct CatalogueNames {
    std::mutex lock;
    // The names in use per catalogue folder, in this run.
    std::map<std::string, std::set<std::string>> used;
    // The permanent catalogues the run uses, and the locks the running
    // step holds.
    std::set<std::string> permanent;
    std::map<std::string, std::unique_ptr<FolderLock>> held;
};

CatalogueNames& names()
{
    static CatalogueNames n;
    return n;
}

// Adds the names of the entries in `folder` to `used`; returns how many of
// them were new and are entries (regular files). Anything else named as an
// entry (a folder, a link) is no entry, but its name is not free either.
// The folder is read through `held`, else as a walk of its path holds it
// now.
int read_names(const std::string& folder, std::set<std::string>& used,
               const HeldFolder* held = nullptr)
{
    HeldRef walked;
    if (held == nullptr) {
        std::string why;
        walked = step_folder(folder, false, why);
        held = walked.get();
    }
    const int fd =
        held == nullptr ? -1 : ::openat(held->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0)
            ::close(fd);
        return 0;
    }
    int entries = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        const std::string::size_type dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0)
            continue;
        const std::string ext = catalogue_token(name.substr(dot));
        if (!(ext == "_SVG" || ext == "_PNG" || ext == "_PDF"))
            continue;
        const std::string entry = catalogue_token(name.substr(0, dot));
        if (entry.empty() || entry[0] == '_' || !used.insert(entry).second)
            continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ++entries;
    }
    ::closedir(d);
    return entries;
}

// Takes the lock of a permanent catalogue's folder for the running step,
// and reads its names again (another run may have added entries since). A
// step that already holds another lock waits for it at most a while (see
// FolderLock): two runs that each hold one catalogue and wait for the
// other's would otherwise wait for ever.
bool hold(CatalogueNames& n, const std::string& folder, std::string& why)
{
    if (n.held.count(folder) != 0)
        return true;
    // The folder held by the walk that judged its path: its lock file is
    // made and locked in that very folder.
    const HeldRef held = step_folder(folder, false, why);
    if (held == nullptr) {
        why = "the folder " + folder + " could not be locked: " + why;
        return false;
    }
    auto lock = std::make_unique<FolderLock>(held->fd, folder, true, LockFile::Entries);
    if (!lock->held()) {
        why = lock->why();
        return false;
    }
    read_names(folder, n.used[folder], held.get());
    n.held.emplace(folder, std::move(lock));
    return true;
}

// Takes `proposed` when it is not in `used`, else the name cut to leave
// room for a number: NAM1 .. NAM9, NA10 .. NA99, ...
std::string take_free(std::set<std::string>& used, const std::string& proposed)
{
    if (used.insert(proposed).second)
        return proposed;
    for (long k = 1;; ++k) {
        const std::string digits = std::to_string(k);
        const size_t keep = digits.size() >= 8 ? 0 : std::min(proposed.size(), 8 - digits.size());
        std::string candidate = proposed.substr(0, keep) + digits;
        if (used.insert(candidate).second)
            return candidate;
    }
}

} // namespace

std::string catalogue_token(const std::string& text)
{
    std::string t;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        t.push_back(std::isalnum(u) || c == '_' ? static_cast<char>(std::toupper(u)) : '_');
    }
    return t;
}

int catalogue_use(const std::string& folder, bool keepsEarlier, std::string& why)
{
    CatalogueNames& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    auto [at, fresh] = n.used.try_emplace(folder);
    if (fresh)
        note_catalogue_folder(folder); // its entries are never replaced by a document
    if (!keepsEarlier)
        return 0;
    n.permanent.insert(folder);
    // The names in the folder before the run first used it, which are those
    // of earlier runs.
    const int earlier = fresh ? read_names(folder, at->second) : 0;
    if (!hold(n, folder, why))
        return -1;
    return earlier;
}

std::string catalogue_entry_name(const std::string& folder, const std::string& proposed)
{
    CatalogueNames& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    // A step that names an entry without using the catalogue first (see
    // catalogue_use) takes its lock now (one that cannot was refused when
    // the catalogue was first used).
    if (n.permanent.count(folder) != 0) {
        std::string why;
        (void)hold(n, folder, why);
    }
    return take_free(n.used[folder], proposed);
}

std::string catalogue_entry_renamed(const std::string& folder, const std::string& proposed)
{
    CatalogueNames& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    std::set<std::string>& used = n.used[folder];
    read_names(folder, used);
    return take_free(used, proposed);
}

void catalogue_names_reset()
{
    CatalogueNames& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    n.used.clear();
    n.permanent.clear();
    n.held.clear();
}

namespace files
{

void release_catalogues()
{
    CatalogueNames& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    n.held.clear();
}

} // namespace files

} // namespace vyr
