// What the files of the host's atomic writes share among themselves (not
// part of the host's interface; see vyr_atomic_file.h for that): the names
// of temporary files and staging folders, the run's record of its files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vyr_atomic_file.h"

namespace vyr::files
{

// Our temporary names: "." + a name + ".korv-" + 16 hexadecimal digits +
// ".tmp". They are private folders, each locked while its run lives and
// holding nothing but files named by numbers: an AtomicFile's (kFileBase),
// and a step's StagedFiles in one folder (kStageBase).
inline constexpr char kFileBase[] = "korvante-file";
inline constexpr char kStageBase[] = "korvante-step";
inline constexpr char kTempMark[] = ".korv-";

// ".korv-" + a name no one can guess + ".tmp".
std::string temp_suffix();
// Whether `name` has the form of our temporary names.
bool temp_name(const char* name);
// Whether `name` has the form of a private folder's name.
bool stage_folder_name(const char* name);
// Takes the lock that marks a temporary file or folder as in use by this
// run, on a descriptor just made. False when it cannot be taken, or when the
// name was removed before the lock was held (a run clearing the folder found
// it unlocked): the caller then makes another.
bool lock_new_temp(int fd);
// Makes the private folder `path` (mode 0700) and locks it: returns the
// descriptor that holds the lock, or -1 with errno set (EEXIST: the name was
// taken, or the folder was removed before it was locked; try another).
int make_private_folder(const std::string& path);

// Removes what is in the folder open as `dirfd`, down to `depth` levels of
// sub-folders (an emptied sub-folder is removed too), with system calls
// alone: safe in a signal handler.
void empty_folder_signal_safe(int dirfd, int depth) noexcept;
// Removes the hidden folder open as `fd` with what it holds, wherever it
// is now: through its own "..", so that a folder moved while the run went
// on (with the hidden folder in it) is left without it. `path` is where it
// was made.
void remove_hidden_folder(int fd, const std::string& path) noexcept;

// Lets go of the locks of the catalogues the step used (catalogue_use),
// once its files are in place or dropped.
void release_catalogues();

// Starts the limit of the waits for locks afresh (a new step, a new run).
void lock_waits_reset() noexcept;

// Forgets the files put in place since note_commits_from_now.
void reset_commit_notes() noexcept;

// An output's claim on the file it lands on (see claim_output).
struct Claim {
    OutputKind kind;
    std::string what;
    std::string path; // the resolved path it was claimed by
};

// The files the run read, and those it made, by device and inode; the
// folders it has cleared of what killed runs left; the files its outputs
// claimed, by resolved path and, for those that existed, by device and
// inode.
struct RunFiles {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, RunInput> inputs;
    // Inputs that do not exist (an input data set's attribute file, which is
    // optional), by resolved path: no output is put there either.
    std::map<std::string, RunInput> missingInputs;
    std::set<std::pair<dev_t, ino_t>> made;
    std::set<std::string> swept;
    std::vector<Claim> claims;
    std::map<std::string, std::size_t> claimedPaths;
    std::map<std::pair<dev_t, ino_t>, std::size_t> claimedNodes;
    // What the run's documents never replace (see note_data_set): the files
    // of its data sets by resolved path, the folders it keeps data sets in
    // and the catalogues it draws into, each with the name it was given.
    std::set<std::string> dataSetFiles;
    std::vector<std::pair<FileIdentity, std::string>> dataFolders, catalogueFolders;
};
RunFiles& run_files();

// Notes `target` as the file a document of the run is put in place at (see
// AtomicFile::as_document), for kept_from_documents_signal_safe.
void note_document(const std::string& target);

// Notes the file at `path` as made by the run: reading it back later does
// not make it an input.
void note_run_made(const std::string& path);

} // namespace vyr::files
