// The run's record of its files: the inputs no output may replace, the
// files it made, and the claims of its outputs on the files they land on
// (see vyr_atomic_file.h).
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "host/files/files_internal.h"
#include "vyr_session.h"

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

// The run's documents, for a signal handler: where each is put in place,
// and whether that is a data set's file or a catalogue entry of the run
// (found anew each time a data set or a folder is noted).
struct Document {
    char target[PATH_MAX];
    std::atomic<bool> used{false};
    std::atomic<bool> kept{false};
};
constexpr int kDocuments = 8;
Document g_documents[kDocuments];

// Whether a file named `name` in a folder is named as a data set's file or
// as a catalogue entry's.
bool named_as(const std::string& name, std::initializer_list<const char*> extensions)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return false;
    for (const char* ext : extensions)
        if (strcasecmp(name.c_str() + dot, ext) == 0)
            return true;
    return false;
}

// Whether the last name of `path` ends in an extension of a data set's file
// or a catalogue entry's, in either case; with no library call, for a
// signal handler.
bool kept_name_signal_safe(const char* path) noexcept
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/')
            name = p + 1;
    const char* dot = nullptr;
    for (const char* p = name; *p != '\0'; ++p)
        if (*p == '.')
            dot = p;
    if (dot == nullptr || dot == name)
        return false;
    for (const char* ext : {".csv", ".attr", ".svg", ".png", ".pdf"}) {
        const char* a = dot;
        const char* b = ext;
        while (*a != '\0' && *b != '\0' && (*a >= 'A' && *a <= 'Z' ? *a - 'A' + 'a' : *a) == *b) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0')
            return true;
    }
    return false;
}

// kept_from_documents with the run's record locked.
bool kept_locked(const files::RunFiles& r, const std::string& target, std::string& why)
{
    const FileIdentity id = file_identity(target);
    // A descriptor holds its file open, so that the file is that data
    // set's file for as long as it was when noted (a name could by now hold
    // another file given a freed inode).
    if (r.dataSetFiles.count(id.path) != 0 ||
        (id.exists && r.dataSetNodes.count({id.dev, id.ino}) != 0 &&
         vyr_descriptor_named(target) >= 0)) {
        why = "it is a file of a data set this run reads or writes, which a document never "
              "replaces";
        return true;
    }
    const std::string name = id.path.substr(id.path.rfind('/') + 1);
    const bool dataName = named_as(name, {".csv", ".attr"});
    const bool entryName = named_as(name, {".svg", ".png", ".pdf"});
    if (!dataName && !entryName)
        return false;
    const FileIdentity folder = file_identity(folder_of(id.path));
    if (dataName)
        for (const auto& [f, given] : r.dataFolders)
            if (f.same(folder)) {
                why = "it is named as a data set's file in " + given +
                      ", where this run reads or writes data sets, and a document never "
                      "replaces one";
                return true;
            }
    if (entryName)
        for (const auto& [f, given] : r.catalogueFolders)
            if (f.same(folder)) {
                why = "it is named as an entry of the graphics catalogue " + given +
                      ", which this run draws into, and a document never replaces one";
                return true;
            }
    return false;
}

// Adds a folder to those noted, once.
void add_folder(std::vector<std::pair<FileIdentity, std::string>>& folders, const FileIdentity& id,
                const std::string& given)
{
    for (const auto& [f, name] : folders)
        if (f.same(id))
            return;
    folders.emplace_back(id, given);
}

// Finds again, for a signal handler, which documents would land on a data
// set's file or a catalogue entry.
void refresh_documents(const files::RunFiles& r)
{
    for (Document& d : g_documents) {
        std::string why;
        if (d.used.load() && !d.kept.load() && kept_locked(r, d.target, why))
            d.kept.store(true);
    }
}

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

void note_document(const std::string& target)
{
    if (target.empty() || target.size() >= PATH_MAX)
        return;
    for (Document& d : g_documents)
        if (!d.used.load()) {
            std::memcpy(d.target, target.c_str(), target.size() + 1);
            d.kept.store(false);
            d.used.store(true);
            RunFiles& r = run_files();
            std::lock_guard<std::mutex> g(r.lock);
            refresh_documents(r);
            return;
        }
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
    r.hidden.clear();
    r.claims.clear();
    r.claimedPaths.clear();
    r.claimedNodes.clear();
    g_inputCount.store(0);
    r.dataSetFiles.clear();
    r.dataSetNodes.clear();
    r.dataFolders.clear();
    r.catalogueFolders.clear();
    for (Document& d : g_documents) {
        d.used.store(false);
        d.kept.store(false);
    }
    files::lock_waits_reset();
    files::reset_commit_notes();
    (void)take_swept_folders();
    files::forget_untrusted();
    g_inputOverflow.store(false);
}

void note_data_set(const std::string& csv, const std::string& attr)
{
    RunFiles& r = run_files();
    const FileIdentity csvId = file_identity(csv), attrId = file_identity(attr);
    const FileIdentity folder = file_identity(folder_of(csv));
    std::lock_guard<std::mutex> g(r.lock);
    // By name, and as the files are now by identity: a descriptor that holds
    // one is known by it, whatever its name.
    for (const FileIdentity* id : {&csvId, &attrId}) {
        r.dataSetFiles.insert(id->path);
        if (id->exists)
            r.dataSetNodes.insert({id->dev, id->ino});
    }
    add_folder(r.dataFolders, folder, folder_of(csv));
    refresh_documents(r);
}

namespace
{

// Notes `folder` among the run's data set folders or its catalogues.
void note_folder(std::vector<std::pair<FileIdentity, std::string>> RunFiles::*folders,
                 const std::string& folder)
{
    RunFiles& r = run_files();
    const FileIdentity id = file_identity(folder);
    std::lock_guard<std::mutex> g(r.lock);
    add_folder(r.*folders, id, folder);
    refresh_documents(r);
}

} // namespace

void note_data_set_folder(const std::string& folder)
{
    note_folder(&RunFiles::dataFolders, folder);
}

void note_catalogue_folder(const std::string& folder)
{
    note_folder(&RunFiles::catalogueFolders, folder);
}

bool kept_from_documents(const std::string& target, std::string& why)
{
    RunFiles& r = run_files();
    std::lock_guard<std::mutex> g(r.lock);
    return kept_locked(r, target, why);
}

bool kept_from_documents_signal_safe(const char* target) noexcept
{
    for (const Document& d : g_documents)
        if (d.used.load() && d.kept.load() && std::strcmp(d.target, target) == 0)
            return true;
    // Which files the later steps read, write or draw into is not known when
    // a signal stops the run: no document is put over an existing file
    // named as a data set's or a catalogue entry's.
    struct stat st;
    return target != nullptr && ::lstat(target, &st) == 0 && kept_name_signal_safe(target);
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
