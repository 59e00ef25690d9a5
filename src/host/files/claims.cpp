// The run's record of its files: the inputs no output may replace, the
// files it made, and the claims of its outputs on the files they land on
// (see vyr_atomic_file.h).
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "host/files/files_internal.h"

namespace vyr
{
namespace
{

// The inputs again, for a signal handler: a fixed table of atomics, filled
// under RunFiles::lock (an entry is written before the count that shows it).
constexpr int kSignalInputs = 1024;
std::atomic<unsigned long long> g_inputDev[kSignalInputs];
std::atomic<unsigned long long> g_inputIno[kSignalInputs];
std::atomic<int> g_inputCount{0};
std::atomic<bool> g_inputOverflow{false};
// The inputs that do not exist, by the key of their resolved path.
std::atomic<std::uint64_t> g_missingKeys[kSignalInputs];
std::atomic<int> g_missingCount{0};

} // namespace

namespace files
{

RunFiles& run_files()
{
    static RunFiles r;
    return r;
}

void note_run_made(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return;
    RunFiles& r = run_files();
    std::lock_guard<std::mutex> g(r.lock);
    r.made.insert({st.st_dev, st.st_ino});
}

} // namespace files

using files::run_files;
using files::RunFiles;

std::uint64_t path_key(const char* path) noexcept
{
    // FNV-1a; never 0, which stands for no path.
    std::uint64_t h = 1469598103934665603ull;
    for (; path != nullptr && *path != '\0'; ++path)
        h = (h ^ static_cast<unsigned char>(*path)) * 1099511628211ull;
    return h != 0 ? h : 1;
}

void note_run_input(const std::string& path, RunInput kind)
{
    struct stat st;
    if (path.empty())
        return;
    RunFiles& r = run_files();
    if (::stat(path.c_str(), &st) != 0) {
        // A file the input would have (an attribute file not written yet) is
        // the input's too: an output put there would become part of it.
        const std::string where = file_identity(path).path;
        std::lock_guard<std::mutex> g(r.lock);
        auto [at, added] = r.missingInputs.emplace(where, kind);
        if (!added && kind == RunInput::File)
            at->second = RunInput::File;
        const int n = g_missingCount.load();
        if (!added)
            return;
        if (n >= kSignalInputs) {
            g_inputOverflow.store(true);
            return;
        }
        g_missingKeys[n].store(path_key(where.c_str()));
        g_missingCount.store(n + 1);
        return;
    }
    std::lock_guard<std::mutex> g(r.lock);
    const std::pair<dev_t, ino_t> key{st.st_dev, st.st_ino};
    if (r.made.count(key) != 0)
        return;
    auto [at, added] = r.inputs.emplace(key, kind);
    if (!added && kind == RunInput::File)
        at->second = RunInput::File; // the stronger protection wins
    if (!added)
        return;
    const int n = g_inputCount.load();
    if (n >= kSignalInputs) {
        g_inputOverflow.store(true);
        return;
    }
    g_inputDev[n].store(static_cast<unsigned long long>(st.st_dev));
    g_inputIno[n].store(static_cast<unsigned long long>(st.st_ino));
    g_inputCount.store(n + 1);
}

bool is_run_input_signal_safe(const char* path, std::uint64_t key) noexcept
{
    if (key != 0) {
        const int m = g_missingCount.load();
        for (int i = 0; i < m; ++i)
            if (g_missingKeys[i].load() == key)
                return true;
    }
    struct stat st;
    if (path == nullptr || ::stat(path, &st) != 0)
        return false;
    if (g_inputOverflow.load())
        return true;
    const int n = g_inputCount.load();
    for (int i = 0; i < n; ++i)
        if (g_inputDev[i].load() == static_cast<unsigned long long>(st.st_dev) &&
            g_inputIno[i].load() == static_cast<unsigned long long>(st.st_ino))
            return true;
    return false;
}

bool is_run_input(const FileIdentity& id, std::string& why, bool dataSetsToo)
{
    RunFiles& r = run_files();
    std::lock_guard<std::mutex> g(r.lock);
    RunInput kind;
    if (auto at = r.inputs.find({id.dev, id.ino}); id.exists && at != r.inputs.end())
        kind = at->second;
    else if (auto m = r.missingInputs.find(id.path); !id.path.empty() && m != r.missingInputs.end())
        kind = m->second;
    else
        return false;
    if (!dataSetsToo && kind == RunInput::DataSet)
        return false;
    why = kind == RunInput::File
              ? "it is a file this run reads (the program or the registry), which is never "
                "written over"
              : "it is a data set this run reads as input, and an input is never written over";
    return true;
}

void reset_run_files()
{
    drop_step_files();
    RunFiles& r = run_files();
    std::lock_guard<std::mutex> g(r.lock);
    r.inputs.clear();
    r.missingInputs.clear();
    g_missingCount.store(0);
    r.made.clear();
    r.swept.clear();
    r.claims.clear();
    r.claimedPaths.clear();
    r.claimedNodes.clear();
    g_inputCount.store(0);
    files::reset_commit_notes();
    (void)take_swept_folders();
    g_inputOverflow.store(false);
}

bool claim_output(const std::string& path, OutputKind kind, const std::string& what,
                  std::string& other)
{
    const FileIdentity id = file_identity(path);
    RunFiles& r = run_files();
    std::lock_guard<std::mutex> g(r.lock);
    const std::pair<dev_t, ino_t> node{id.dev, id.ino};
    std::size_t at = r.claims.size();
    if (auto p = r.claimedPaths.find(id.path); p != r.claimedPaths.end()) {
        at = p->second;
    } else if (auto n = r.claimedNodes.find(node); id.exists && n != r.claimedNodes.end()) {
        // The claimed file is this one only while it is still at the name it
        // was claimed by. A commit that replaced it (this run's or another's)
        // freed its inode, which a file made later may be given: that file
        // is another.
        struct stat st;
        const files::Claim& c = r.claims[n->second];
        if (::stat(c.path.c_str(), &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino)
            at = n->second;
        else
            r.claimedNodes.erase(n);
    }
    if (at < r.claims.size()) {
        const files::Claim& c = r.claims[at];
        // The same output named again (written anew) is no second output.
        const bool again = c.kind == kind && c.what == what;
        if (!again && (kind == OutputKind::Graph || c.kind == OutputKind::Graph)) {
            other = c.what;
            return false;
        }
    }
    r.claims.push_back({kind, what, id.path});
    r.claimedPaths[id.path] = r.claims.size() - 1;
    if (id.exists)
        r.claimedNodes[node] = r.claims.size() - 1;
    return true;
}

} // namespace vyr
