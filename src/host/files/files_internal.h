// What the files of the host's atomic writes share among themselves (not
// part of the host's interface; see vyr_atomic_file.h for that): the names
// of temporary files and staging folders, the run's record of its files.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
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
// A name no one can guess: 16 hexadecimal digits.
std::string random_tag();
// Adds the names of `path` to `parts`, last first (a walk takes them from
// the back), "." and empty names left out.
void push_parts(std::vector<std::string>& parts, const std::string& path);
// Whether `name` has the form of our temporary names.
bool temp_name(const char* name);
// Whether `name` has the form of a private folder's name.
bool stage_folder_name(const char* name);
// The lock file of a hidden folder: a regular file in it, locked by the run
// that made the folder while that run lives, and by a run that acts on a
// stopped run's folder while it does (a lock on a regular file is kept by a
// network file system's server, so runs on other machines see it). Whoever
// makes it first (O_EXCL) locks it: the run making the folder, or a run
// clearing the folder that found it without one.
inline constexpr char kLiveName[] = "lock";
// A hidden folder's descriptors as a signal handler finds them: the folder
// and its lock file, each -1 while it is not open.
struct PublishedFolder {
    std::atomic<int> fd{-1}, live{-1};
    void clear() noexcept
    {
        fd.store(-1);
        live.store(-1);
    }
};
// A hidden folder's lock file is held by a write lock on a descriptor open
// for writing (an open file description's lock, which no other descriptor
// of the process lets go): only those who may write the file can take one,
// so no user who may only read it (where a file system shows every file
// readable, as FAT or a mount that fixes the modes do) makes its run look
// living, or keeps a run from acting on it. hold_live takes it: 0, or the
// error (EAGAIN: another holds a lock on it). live_holder says what lock
// another holds on the file open as `fd`: F_WRLCK (its run, or a run acting
// on it), F_RDLCK (a reader: no run of ours), F_UNLCK (none), or -1 with
// errno.
int hold_live(int fd);
int live_holder(int fd);
// Makes the private folder `name` (mode 0700) in the folder open as `pfd`,
// with its lock file, locked: returns the folder's descriptor, and the lock
// file's in `live`; or -1 with errno set (EEXIST: the name was taken, or
// another run clearing the folder made or removed its lock file first, or
// locked it first; or a reader locked it first, and the folder is removed
// again: try another).
// With `publish`, the folder's descriptor is stored there as soon as it is
// open (a signal handler's slot), its lock file's once it is locked, and
// -1 again when they are given up.
int make_private_folder(int pfd, const std::string& name, int& live,
                        PublishedFolder* publish = nullptr);

// A file system that keeps no Unix modes (FAT, exFAT, a mount whose modes
// its options fix) shows the same rights for every folder, whatever was
// asked for: a private folder made 0700 there shows others' rights too.
// The run notes each device where one of its private folders came out so
// (make_private_folder), and judges hidden folders there by their owner
// alone, as the rights shown say nothing of who may write them.
void note_modes_not_kept(dev_t dev);
bool modes_kept(dev_t dev);

// The names of the hidden folders (named as ours) in `dir`, read from the
// folder once per run: a folder of many files is not read again for each
// step. Hidden folders made later (by runs stopped meanwhile) are met by
// the next run; those the run's sweep found gone, or removed, are not
// looked at again. Other users' hidden folders (by their owner, looked at
// without opening them) are left out, and one note counts them. A folder
// that is not there has none; one that cannot be read (no descriptor left)
// has none this time, with the error in `err`.
std::vector<std::string> hidden_names(const HeldFolder& dir, int* err = nullptr);
// Whether the folder open as `fd` holds nothing but the files a run of ours
// writes in a hidden folder (regular files with one link, named by
// numbers), whose names are added to `names`, and its lock file.
bool only_numbered_files(int fd, std::vector<std::string>& names);
using vyr::owner_text;
// Notes a hidden folder or record the run did not act on, for the log
// (once per run and path).
void note_untrusted(const UntrustedFile& u);
// Forgets what was noted by note_untrusted (a new run).
void forget_untrusted() noexcept;
// What a hidden folder named like ours is to this run.
enum class HiddenState {
    Gone,   // not there, or not a folder (a link is not followed)
    Living, // a living run holds its lock
    NotOwn, // another user's, or others may write in it: noted, left alone
    Stale,  // this user's alone, and no living run holds it
    Unknown // it could not be opened (no descriptor left, say): not known
};
// Opens the hidden folder `name` of the folder open as `pfd` (`path`: how
// the log names it) and judges it on the descriptor: Stale leaves it open
// as `fd`, with its lock file open as `live` (locked, to `act`); any other
// state leaves both at -1. A folder of another user, or one that others
// may write, is never acted on: one note names it and its owner. Unknown
// gives the error in `err`.
// Its run lives while a write lock is held on its lock file, which a look
// asks without taking any lock: no look ever makes another run take a
// stopped run for a living one, and a reader's lock is no run's. To `act`
// on it (sweep it, put its placing back) a run takes the write lock (and
// acts all the same where only a reader's lock keeps it off). One without
// a lock file that holds nothing but what a file system keeps of files
// removed while readers held them is Gone: no lock file is made there, and
// nothing waits for them.
HiddenState open_hidden(int pfd, const std::string& name, const std::string& path, int& fd,
                        int& live, bool act, int* err = nullptr);

// Whether a file or folder of the owner `owner`, in the folder open as
// `folder`, is this user's own: its owner is the run's user, as the kernel
// shows it; or, where the run's own uid and the owner both show as the
// overflow uid (a namespace that runs the user as 65534), the folder is one
// only its owner may write and the run may write it, so that its owner, who
// alone made what is in it, is the run's user.
bool own_file(uid_t owner, int folder);

// Whether `name` is one a file system gives a file removed while it was
// still open: a FUSE mount's ".fuse_hidden...", an NFS client's ".nfs...".
// It goes when the file is let go; a stale hidden folder's are removed.
bool kept_open_name(const char* name) noexcept;
// How many names the folder open as `fd`, read anew, holds that a file
// system keeps for files removed while open; -1 where it holds any other
// name but, with `live`, its lock file (0: nothing at all, though a FUSE
// file system may refuse to remove it a moment longer than its listing
// shows a file in it), or cannot be read.
int kept_open_names(int fd, bool live = false) noexcept;
// Removes what is in the folder open as `dirfd`, down to `depth` levels of
// sub-folders (an emptied sub-folder is removed too), with system calls
// alone: safe in a signal handler. With `keepLive` (a hidden folder), its
// lock file stays, for the caller to close and then remove last. The names
// a file system keeps for files removed while open are left to it. Each
// reading of the folder is through a descriptor opened for it then, and
// there are a few at most: true when the last found nothing to remove.
bool empty_folder_signal_safe(int dirfd, int depth, bool keepLive) noexcept;
// Removes the hidden folder `name` of the folder open as `parent` (-1: its
// own "..", opened once its lock file is closed), open as `fd` (-1: not
// open), with what it holds: its lock file, open as `live` (-1: not
// open), is removed last, while still open, then closed, and the folder
// waited for a moment while all it holds is what a file system keeps of
// a file removed while open (FUSE learns of a close only later): a moment
// or two at most for what the lock file leaves, which a reader may hold
// too, and none where a reader's lock on it shows that one does. False
// when it stays (a later sweep removes it). Without `empty`, nothing but
// the lock file is removed from it (it goes only if that leaves it empty).
// Safe in a signal handler.
bool remove_hidden_at(int parent, const char* name, int fd, int& live, bool empty = true) noexcept;
// Removes the hidden folder open as `fd` with what it holds, wherever it
// is now: through its own "..", so that a folder moved while the run went
// on (with the hidden folder in it) is left without it (see
// remove_hidden_at). `name` is its name.
void remove_hidden_folder(int fd, int& live, const std::string& name) noexcept;

// renameat2 made as a system call, flags 0 included, so that every rename
// of a placing is the one call (a test can stop the run at any of them).
int rename2(int fromfd, const char* from, int tofd, const char* to, unsigned flags);
// Whether a rename's error says the file system cannot do what was asked
// (swap two files, rename without replacing).
bool unsupported(int err);
// Renames `from` to `to` in the folder open as `dirfd` (AT_FDCWD: paths)
// unless something is at `to`; false when it was not renamed.
bool rename_aside(int dirfd, const char* from, const char* to);

// A file's identity where a name stands: its device and inode, or none;
// with its size and modification time, which tell a file written again in
// place, or made anew on an inode the file system handed out again, from
// the file that was there.
struct NodeId {
    bool exists = false;
    bool folder = false;
    dev_t dev = 0;
    ino_t ino = 0;
    // Whether size and mtime are known (an older record knew the inode only).
    bool full = false;
    long long size = 0;
    long long mtimeSec = 0;
    long mtimeNsec = 0;
    // The digest of its bytes, where it is known (a file a run placed).
    bool digested = false;
    std::uint64_t digest = 0;
    // The same inode now.
    bool same(const NodeId& o) const { return exists && o.exists && dev == o.dev && ino == o.ino; }
    // The very file that was known as `o`: the same inode, not written
    // since. Never true of an identity whose size and time are not known.
    bool unchanged(const NodeId& o) const
    {
        return same(o) && full && o.full && size == o.size && mtimeSec == o.mtimeSec &&
               mtimeNsec == o.mtimeNsec;
    }
};
// The identity of `name` in the folder open as `dirfd` (AT_FDCWD: a path),
// not following a symbolic link.
NodeId node_at(int dirfd, const char* name);
// Whether the file system of the file open as `fd` keeps a file's identity
// (its inode, size and time) while the file is not written: false for FUSE
// file systems, whose daemons number files as they please (an rclone mount
// numbers them by their path, and moves a file's time once it is uploaded),
// and SMB mounts, which may number files themselves.
bool identity_kept(int fd);
// The digest of the bytes of the plain file `name` in the folder open as
// `dirfd` (the one a CSV file's attribute file names), read through a
// descriptor: false where it cannot be read.
bool digest_at(int dirfd, const char* name, std::uint64_t& digest);
// Whether `name` of the folder open as `dirfd`, whose identity is `now`,
// still holds the file a run placed, known as `placed`: the very file, not
// written since (NodeId::unchanged), or, where the file system gave it
// another inode or time meanwhile (an rclone mount gives a file another
// time once it is uploaded, and may give a renamed one another inode), a
// file of the same size and the same bytes, by the digest the record keeps.
bool still_placed(int dirfd, const char* name, const NodeId& now, const NodeId& placed);

// How putting a placed file's earlier file back went: done; or the name now
// holds another file (another run's, or the placed file written since),
// which stays (Taken); or a call failed (`err`).
enum class PutBack { Done, Taken, Failed };
// Puts the earlier file at `kept` (in the folder open as `kfd`) back at
// `target` (in `tfd`), where the name still holds `placed` (the file a run
// put there, not written since) or nothing. Where the file system can swap two files the two
// are swapped and the placed file, now at `kept`, is removed; should the
// name turn out to hold another file by then, it is swapped back. A name
// that holds another file keeps it.
PutBack put_earlier_back(int kfd, const char* kept, int tfd, const char* target,
                         const NodeId& placed, bool exchange, int& err);
// Removes `target` (in `tfd`) where it still holds `placed`, not written
// since: a name a run made, that had nothing before.
PutBack remove_placed(int tfd, const char* target, const NodeId& placed, int& err);

// The record of a placing: one file in each hidden folder of a step,
// written before the first rename and removed once the placing, or its
// undo, has ended. It names each file to be put in place from that folder:
// its target, its temporary name, the name its earlier file is moved or
// linked to where the file system cannot swap two files, and the new file's
// identity. Every target is a name of the folder that holds the hidden
// folder. A run stopped while placing (SIGKILL, a crash) leaves it, and
// the next run of its user placing into that folder puts the folder back as
// it was before that step (recover_stopped_placings).
inline constexpr char kRecordName[] = "placing";
// The record's name once every file of its step is in place: the step has
// ended, and what is left of it (its records, the earlier files it kept
// aside) is only to be removed. A step's records are so named one after
// another, before any of them is removed, and all of a step's records
// carry one tag, so that a run stopped in between leaves a folder that the
// next run finishes rather than puts back: where any record of a step in a
// folder is so named, the step ended, and its new files stay. That run
// likewise names every record of the step there so before it removes any.
inline constexpr char kPlacedName[] = "placed";
struct RecordLine {
    NodeId file;        // the new file
    std::string temp;   // its name in the hidden folder
    std::string aside;  // where an earlier file goes without a swap ("" none)
    std::string target; // its name in the hidden folder's folder
    // Whether the target held a file when the record was written, where the
    // record says (`knowsEarlier`; an earlier version's does not): a name
    // that did is never removed as one the step made.
    bool knowsEarlier = false;
    bool hadEarlier = false;
};
// Writes the record into the hidden folder open as `hfd`, with the tag
// `step` that every record of the step carries: 0, or the error (nothing
// is left of it then).
int write_placing_record(int hfd, const std::vector<RecordLine>& lines, const std::string& step);
// Names the record of the hidden folder open as `hfd` kPlacedName: every
// file of its step is in place. 0, or the error.
int mark_record_placed(int hfd);
// Adds a line to the record of the hidden folder open as `hfd` (a catalogue
// entry that takes another name): 0, or the error.
int add_to_placing_record(int hfd, const RecordLine& line);
// Removes the record of the hidden folder open as `hfd` (by either name).
void end_placing_record(int hfd);
// Puts back, in `folder`, what each run of this user stopped while placing
// left there (its own hidden folders that no one else may write, whose lock
// no living run holds, with a record that is a plain file of the user's
// whose every line is one a run writes), as it was before that run's step:
// a name that holds the stopped run's new file (not written since), or
// nothing, gets its earlier file back; a name the stopped run made is
// removed; a name that holds another file by now keeps it, and the earlier
// file stays in the hidden folder as earlier-NAME. What was done is added
// to `out`, one entry for each stopped run; what was not trusted is noted
// (take_untrusted_files). The folder's hidden folders are those it had when
// the run first looked (hidden_names). Returns "", or why the folder, one
// of its hidden folders or the record in one could not be looked at (no
// descriptor left, say): what stopped runs left there is then not known,
// and nothing may be placed there.
std::string recover_stopped_placings(const HeldFolder& folder, bool exchange,
                                     std::vector<RecoveredPlacing>& out);
// Removes what a killed run left in the folder held (see
// remove_stale_temp_files).
void remove_stale_temp_files(const HeldFolder& folder);
// The name the earlier file of `target` is kept under in a hidden folder,
// where no sweep removes it: "earlier-" + target, or, where that is longer
// than a name may be, cut short and ended by "~" and the `number` the file
// had in that folder.
std::string kept_name(const std::string& target, const std::string& number);

// Notes a hidden folder of a stopped run removed with the `files` it had
// begun, for the log (see take_swept_folders).
void note_swept_folder(const std::string& path, int files);

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
    // The hidden folders of each folder, by where it leads (hidden_names).
    std::map<std::string, std::vector<std::string>> hidden;
    std::vector<Claim> claims;
    std::map<std::string, std::size_t> claimedPaths;
    std::map<std::pair<dev_t, ino_t>, std::size_t> claimedNodes;
    // What the run's documents never replace (see note_data_set): the files
    // of its data sets by resolved path, the folders it keeps data sets in
    // and the catalogues it draws into, each with the name it was given.
    std::set<std::string> dataSetFiles;
    // The files of those data sets that existed when noted, by device and
    // inode.
    std::set<std::pair<dev_t, ino_t>> dataSetNodes;
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
