// The run's record of its files: the inputs no output may replace, the
// files it made, and the claims of its outputs on the files they land on
// (see vyr_atomic_file.h).
#include <sys/stat.h>

#include <atomic>
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

void note_run_input(const std::string& path, RunInput kind)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return;
    RunFiles& r = run_files();
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

bool is_run_input_signal_safe(const char* path) noexcept
{
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
    if (!id.exists)
        return false;
    RunFiles& r = run_files();
    std::lock_guard<std::mutex> g(r.lock);
    auto at = r.inputs.find({id.dev, id.ino});
    if (at == r.inputs.end() || (!dataSetsToo && at->second == RunInput::DataSet))
        return false;
    why = at->second == RunInput::File
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
    if (auto p = r.claimedPaths.find(id.path); p != r.claimedPaths.end())
        at = p->second;
    else if (auto n = r.claimedNodes.find(node); id.exists && n != r.claimedNodes.end())
        at = n->second;
    if (at < r.claims.size()) {
        const files::Claim& c = r.claims[at];
        // The same output named again (written anew) is no second output.
        const bool again = c.kind == kind && c.what == what;
        if (!again && (kind == OutputKind::Graph || c.kind == OutputKind::Graph)) {
            other = c.what;
            return false;
        }
    }
    r.claims.push_back({kind, what});
    r.claimedPaths[id.path] = r.claims.size() - 1;
    if (id.exists)
        r.claimedNodes[node] = r.claims.size() - 1;
    return true;
}

} // namespace vyr
