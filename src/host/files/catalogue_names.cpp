// The names of a graphics catalogue's entries (see vyr_atomic_file.h): an
// entry is a file per format in the catalogue's folder (NAME.svg, NAME.png,
// NAME.pdf), its name a token of at most 8 upper-case letters, digits and
// underscores, unique in the folder.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <system_error>

#include "vyr_atomic_file.h"

namespace vyr
{
namespace
{

// The names in use per catalogue folder, in this run.
struct CatalogueNames {
    std::mutex lock;
    std::map<std::string, std::set<std::string>> used;
};

CatalogueNames& names()
{
    static CatalogueNames n;
    return n;
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

int catalogue_earlier_names(const std::string& folder, bool keepsEarlier)
{
    CatalogueNames& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    auto [at, fresh] = n.used.try_emplace(folder);
    if (!fresh || !keepsEarlier)
        return 0;
    namespace fs = std::filesystem;
    int earlier = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        std::error_code fec;
        if (!e.is_regular_file(fec))
            continue; // a folder planted at an entry's name is no entry
        const std::string ext = catalogue_token(e.path().extension().string());
        if (!(ext == "_SVG" || ext == "_PNG" || ext == "_PDF"))
            continue;
        const std::string entry = catalogue_token(e.path().stem().string());
        if (!entry.empty() && entry[0] != '_' && at->second.insert(entry).second)
            ++earlier;
    }
    return earlier;
}

std::string catalogue_entry_name(const std::string& folder, const std::string& proposed)
{
    CatalogueNames& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    std::set<std::string>& used = n.used[folder];
    if (used.insert(proposed).second)
        return proposed;
    // The name cut to leave room for a number: NAM1 .. NAM9, NA10 .. NA99, ...
    for (long k = 1;; ++k) {
        const std::string digits = std::to_string(k);
        const size_t keep = digits.size() >= 8 ? 0 : std::min(proposed.size(), 8 - digits.size());
        std::string candidate = proposed.substr(0, keep) + digits;
        if (used.insert(candidate).second)
            return candidate;
    }
}

void catalogue_names_reset()
{
    CatalogueNames& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    n.used.clear();
}

} // namespace vyr
