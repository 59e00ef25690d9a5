// Files written whole or not at all: every output file of the host (listing,
// log, HTML, JSON, output data sets and their attribute files) is written
// in a private folder of its own, made under an unpredictable name beside
// its target, and renamed over the target only when it is complete. A
// step's graph files, images and catalogue entries are written the same way
// into one private folder beside their targets (StagedFile), and put in
// place together with its data sets when the step ends, all of them or none
// (place_step_files). A private folder is locked while its run
// lives and holds nothing but files named by numbers, so that a later run
// writing into the same folder removes those a killed run left and nothing
// else; a placing that a run killed in its midst left is put back instead,
// from the record each hidden folder holds while its files are placed.
// Implemented in src/host/files/: staging.cpp (atomic files, staged files
// and their commit), records.cpp (the records of a placing, and putting a
// killed run's placing back), sweep.cpp (what killed runs left), claims.cpp
// (the run's inputs and its outputs' claims), paths.cpp (where a write
// lands) and catalogue_names.cpp (the names of catalogue entries).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vyr
{

// The folder of a file path ("." when it has none, "/" for a file at the
// root).
std::string folder_of(const std::string& path);

class AtomicFile
{
  public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    // An open file that was never committed is removed.
    ~AtomicFile();

    // Opens a new temporary file for `target`. When `target` is a symbolic
    // link, the file it finally points to is the one replaced (the link
    // stays). When it exists and is not a regular file (a terminal, a pipe),
    // it is written directly, as there is nothing to replace. A descriptor's
    // name (/dev/stdout, /dev/fd/N) that holds a regular file is written as
    // that file's name would be, but put in place by copying it into the
    // caller's descriptor (its offset and O_APPEND kept), never truncating it.
    // The temporary file is created with O_EXCL and O_NOFOLLOW in a private
    // folder made under a random name in the folder of the file replaced, so
    // nothing planted under a predictable name can be followed. With
    // `within` (a library's folder), the folder the file is put in must be
    // that one or one inside it, judged on the folder held where the file is
    // made. On failure returns false with the reason in `why`.
    bool open(const std::string& target, std::string& why,
              const struct HeldFolder* within = nullptr);

    // The buffered stream to write to (null when not open).
    std::FILE* stream() const { return file_; }

    // Flushes and closes the stream, keeping the temporary file for a later
    // commit (files committed together finish first, then rename). On
    // failure the temporary file is removed and `why` says what failed.
    bool finish(std::string& why);

    // Finishes the file if it is still open, then renames the temporary file
    // over the target. On failure (a write error, a full disk) the temporary
    // file is removed, the target is left as it was, and `why` says what
    // failed.
    bool commit(std::string& why);

    // Closes and removes the temporary file; the target is left as it was.
    void abandon();

    // An output data set's file: its commit may replace a data set an
    // earlier step read (see note_run_input), never the program.
    void may_replace_data_sets() { replacesDataSets_ = true; }
    // Finishes the file and hands it to the step's files (an output data
    // set's file, `what` naming the data set): it is put in place with them
    // by place_step_files, under its folder's lock, or dropped with them.
    // The file is no longer this object's. A file written directly (a device,
    // a pipe) is finished alone. False, with `why`, when it cannot be
    // finished.
    bool hand_to_step(const std::string& what, std::string& why);
    // A document of the run (the listing, log, HTML or JSON file): its commit
    // never replaces a data set's file or a catalogue entry (see
    // note_data_set), and fails instead.
    void as_document();

    bool is_open() const { return file_ != nullptr; }
    // The file that a commit replaces (the end of any symbolic links).
    const std::string& target() const { return target_; }
    // The temporary file being written ("" when writing directly).
    const std::string& temp_path() const { return temp_; }
    // The descriptor under the stream (-1 when not open), for a last line
    // written by a signal handler.
    int descriptor() const { return fd_; }
    // The caller's descriptor (a copy) the file is copied into when put in
    // place, or -1 (see open).
    int through() const { return through_; }
    // For a signal handler that puts the file in place itself: the private
    // folder that holds it (as "1"), the folder it goes to and its name
    // there (-1 and "" when there are none).
    int private_fd() const { return folderFd_; }
    int folder_fd() const;
    const std::string& name() const { return name_; }

    struct Stream;

  private:
    // Makes the private folder beside the target and the temporary file in
    // it (mode `mode`): its descriptor, or -1 with errno.
    int make_temp(mode_t mode);
    void drop_temp();
    // Copies the finished file into through_ and removes it.
    bool pass_through(std::string& why);
    // Removes the private folder (its file gone or renamed) and lets go of
    // its slot and lock.
    void end_private();
    void release_lock();

    std::FILE* file_ = nullptr;
    Stream* stream_ = nullptr; // owned by the stream, freed when it closes
    int fd_ = -1;
    bool finished_ = false;
    std::string target_;
    std::string temp_;
    std::string private_; // the private folder that holds temp_
    // The folder it goes to, held, its name there, and the private folder's
    // name in it.
    std::shared_ptr<const struct HeldFolder> parent_;
    std::string name_;
    std::string privName_;
    int slot_ = -1;
    // The private folder, open, and its lock file, open and locked until
    // the file is renamed or removed.
    int folderFd_ = -1;
    int liveFd_ = -1;
    bool replacesDataSets_ = false;
    bool document_ = false;
    // A copy of the caller's descriptor the file was named by (/dev/stdout
    // holding a file): the finished file is copied into it, not renamed.
    int through_ = -1;
};

// A file of a step (a graph file, an image, a catalogue entry): written whole
// under a temporary name in a private folder inside its target's folder, and
// put in place with the step's other files when the step ends
// (place_step_files), so that a step stopped by a signal leaves every earlier
// file as it was. Outside a step it is put in place when it is finished.
// How a staged file is put in place: over whatever is at its name (a graph
// file replaces an earlier run's), or, for an entry of a permanent
// catalogue, never over anything: when something was made at its name while
// the step ran, the entry's files (NAME.svg and its images NAME.png,
// NAME.pdf) take the next free name together (see Placing::moved).
enum class StagedPlacement { Replace, NewEntry };

class StagedFile
{
  public:
    StagedFile() = default;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    // A file that was opened and not finished is removed.
    ~StagedFile();

    // Opens the file that becomes `name` in `folder`. It is refused, with
    // the reason in `why`, when the name leads out of the folder through a
    // symbolic link, is a folder, is a file the run reads, or is the file of
    // another output of the run (`what` describes this one for such a
    // message, e.g. "the graph file out/graphs/A.svg").
    bool open(const std::string& folder, const std::string& name, const std::string& what,
              std::string& why, StagedPlacement placement = StagedPlacement::Replace);
    std::FILE* stream() const { return file_; }
    // Completes the file; it then waits for the end of the step. On failure
    // (a write error, a full disk) it is removed and `why` says what failed.
    bool finish(std::string& why);
    // Removes the file; its target is left as it was.
    void abandon();
    // The file it becomes (the end of any symbolic links).
    const std::string& target() const { return target_; }

  private:
    std::FILE* file_ = nullptr;
    AtomicFile::Stream* stream_ = nullptr; // owned by the stream
    std::string folder_, name_, target_;
    std::string temp_; // its name in its hidden folder
    // The folder it goes to, held, and its name there.
    std::shared_ptr<const struct HeldFolder> dir_;
    std::string targetName_;
    StagedPlacement placement_ = StagedPlacement::Replace;
};

// Writes the file that becomes `name` in `folder` as a StagedFile, through
// `write`, which is given the open stream and says whether it wrote all.
// False with the reason in `why` (what `write` put there, else the error of
// the write).
bool write_staged_file(const std::string& folder, const std::string& name, const std::string& what,
                       const std::function<bool(std::FILE*)>& write, std::string& why,
                       StagedPlacement placement = StagedPlacement::Replace);

// From here on, staged files and files handed to the step wait for
// place_step_files (a step has begun). The step's limit of waits for locks
// starts afresh, and the files it puts in place are noted for a signal (see
// append_file_names).
void step_files_begin();
// Whether a step has begun and its files wait for place_step_files.
bool step_files_open();

// The paths of a catalogue entry's SVG file, planned and real; of a file
// and where its earlier file is kept.
struct MovedEntry {
    std::string planned;
    std::string placed;
};
// What a run stopped while putting a step's files in place (SIGKILL, a
// crash) left in a folder, put back by a later run: which run it was (its
// process, its program, when its step began placing), the names that hold
// their earlier file again, the names it had made (removed), each earlier
// file whose name holds another run's file by now (kept; planned: its name;
// placed: where it is kept, earlier-NAME in the stopped run's hidden
// folder), and each that could not be renamed back now (held: the record
// stays, and the next run tries again).
struct RecoveredPlacing {
    std::string folder;
    long pid = 0;
    long long started = 0; // seconds since 1970
    std::string program;
    std::vector<std::string> put_back, removed;
    std::vector<MovedEntry> kept, held;
};
// How putting a step's files in place went.
struct Placing {
    bool ok = true; // every file is in place
    // When not: the file that could not be checked, locked or put in place,
    // and why. No file of the step is then in place, unless `undone` is
    // false: `left_new` are the names that still hold the step's new file,
    // `as_before` those put back as they were, and `kept_aside` says where
    // each earlier file that could not be put back is now (planned: its
    // name; placed: where it is).
    std::string file, why;
    bool undone = true;
    std::vector<std::string> left_new, as_before;
    std::vector<MovedEntry> kept_aside;
    // Catalogue entries put in place under another name than the one they
    // were given, because something was made at that name while the step
    // ran.
    std::vector<MovedEntry> moved;
    // Names that held another run's file when the step's file there was to
    // be taken back: that file stays, and the earlier file of the name is
    // kept (planned: the name; placed: where the earlier file is, "" when
    // there was none).
    std::vector<MovedEntry> taken;
    // What runs stopped while putting their files in place left in the
    // step's folders, put back before this step's files were placed.
    std::vector<RecoveredPlacing> recovered;
};
// Puts every file of the step (graph files, images, catalogue entries, the
// data sets' files handed to it) in place, all of them or none: check,
// prepare, place, undo, in that order. Every file is checked where it goes
// (a name that leads out of its folder, a folder, a file the run reads, a
// file another user owns in a folder whose sticky bit is set, a hidden
// folder moved away with its folder); then the lock of each folder that
// data sets go to is taken; then, once `renaming` is called (a signal then
// waits), each is renamed over its target with the earlier file of its
// name kept aside. First, what runs killed while placing into the same
// folders left is put back (Placing::recovered), and the record of this
// placing is written in each hidden folder. At the first rename that fails,
// every file placed goes back, last first, the earlier one at its name where
// the name still holds the step's file (Placing::taken where another run's
// file is there); only when all are in place are the records, then the
// earlier files, removed. Whatever the outcome, the staged files and
// hidden folders go, and files staged from now on are put in place when
// they are finished. Outside a step it puts in place what was handed to it.
Placing place_step_files(void (*renaming)() noexcept = nullptr);
// The program of the run, named in the records of its placings (see
// recover_stopped_placings), so that a later run can say whose step it put
// back.
void note_program_for_records(const std::string& program);
// Removes every staged file that is not yet in place (a step that failed, a
// run that ends without its step's end); returns how many of them were
// graph files, images or entries (not a data set's files).
std::size_t drop_step_files();

// Removes, once per run and folder, what a killed run left in `folder`: the
// private folders whose names are ours, whose lock no living process holds,
// and which hold nothing but files named by numbers. Anything else (a file
// named like one of ours, a folder holding anything more) is left alone.
// Called before the run first writes into a folder.
void remove_stale_temp_files(const std::string& folder);
// The private folders the sweeps removed since the last call, each with the
// number of files it held, for the log.
struct SweptFolder {
    std::string path;
    int files = 0;
};
std::vector<SweptFolder> take_swept_folders();
// A hidden folder, or the record of a placing in one, that the run did not
// act on: another user's, one that others may write, or a record that is
// not a plain file of the run's user (notes: `owner` is its owner, `why`
// what is wrong); or a record holding a line that no run writes (a
// warning: `why` quotes the line).
struct UntrustedFile {
    std::string path, owner, why;
    bool record = false; // a record, else a hidden folder
    bool warning = false;
    // Other users' hidden folders counted in one folder: with more than
    // one, `path` is that folder and `why` names the first few.
    std::size_t count = 1;
};
// What the run did not act on since the last call, for the log.
std::vector<UntrustedFile> take_untrusted_files();

// A data set's files, as a run stopped while it put them in place left
// them: the names that still hold that run's new files (`names`), and the
// run (as RecoveredPlacing names it).
struct StoppedPlacing {
    long pid = 0;
    long long started = 0;
    std::string program;
    std::vector<std::string> names;
};
// Whether a run stopped while placing left any of `names` (files of the
// folder held `folder`) holding its new file; read from the records of this
// user's own stale hidden folders in `folder`, which are left as they are
// (the next run that puts files in place there puts them back).
bool stopped_placing_holds(const struct HeldFolder& folder, const std::vector<std::string>& names,
                           StoppedPlacing& out);
// "2026-01-31 12:00:00 UTC" for a time in seconds since 1970.
std::string utc_time_text(long long seconds);

// Whether `path`, once its symbolic links are followed, lies inside `folder`
// (itself resolved). A path that does not exist counts by where it would be
// made. `where` gets the path it leads to; `loops` is set, and false
// returned, when its links loop or go too deep.
bool inside_folder(const std::string& path, const std::string& folder, std::string& where,
                   bool& loops);

// Whether a file can be written at `path` (as given) the way AtomicFile
// writes it: no name in it longer than the folder allows (NAME_MAX), and the
// path of its temporary file, in a private folder beside it, shorter than
// PATH_MAX. False with the reason in `why`.
bool path_fits(const std::string& path, std::string& why);
// How many bytes a private folder and its file add to the path of a folder
// ("/.korvante-file.korv-0123456789abcdef.tmp/1").
std::size_t private_path_room();

// A folder the run writes files into, `folder` inside `parent`: made when it
// does not exist. Outside when it leads out of `parent` through a symbolic
// link (`where` gets where it leads); NotAFolder when it cannot be made or
// looked at, or is something else, or its path meets a link that resolve_write_target refuses
// (`where` gets why: the name and the cause, "Too many open files" say).
enum class FolderState { Ready, Outside, NotAFolder };
FolderState prepare_folder(const std::string& folder, const std::string& parent,
                           std::string& where);

// The outputs of a run never share a file. Each output claims the file a
// write to `path` lands on; `what` describes the output ("the file named by
// --listing", "the output data set WORK.S", "the graph file out/graphs/A.svg").
// A graph file, image or catalogue entry may land on no other output's file,
// and no output may land on one of theirs (the listing, log, HTML and JSON
// files and the data sets check one another where they are opened, and a
// data set replaces one of its name that an earlier step wrote). Returns
// false, with the other output's description in `other`, when the claim
// breaks that rule; the claim is then not made.
enum class OutputKind { Document, DataSet, Graph };
bool claim_output(const std::string& path, OutputKind kind, const std::string& what,
                  std::string& other);

// A lock on a folder, which only those who may write the folder can hold,
// and every one of them can (see locks.cpp): a writer makes a file of its
// own in the folder (a ticket, ".korvante-w-0123456789abcdef.lock"), holds a
// write lock on it while its run lives, and holds the folder's lock once no
// other living run's ticket is there (one whose run ended is removed by the
// first run that looks at it). Making a name needs the right to write the
// folder on every file system, and a ticket is judged living by a lock that
// only its maker holds, on a descriptor open for writing; it gets its name
// only once its maker holds that lock, and is known by what its maker wrote
// in it: a user who may only read the folder, whatever the rights its files
// show (FAT, exFAT, a mount that fixes the modes), makes no run wait or
// fail, and no rclone mount takes a ticket for another file. A library
// folder's lock (LockFile::DataSets) keeps files written together (a data
// set's .csv and .attr) together: a writer holds it while it renames the
// pair into place; readers take none (see writers_at_work). A graphics
// catalogue's folder has a lock of its own (LockFile::Entries, tickets
// ".korvante-entries-w-...lock"), which a step holds from its first entry
// name until its files are in place. In a folder whose sticky bit is set
// and that others than its owner may write, where only a file's owner (the
// folder's, or root) may remove or replace it, each user's runs keep out
// only each other: another user's ticket there makes no run wait.
// A lock that cannot be taken (no file can be made in the folder, it cannot
// be read) is never passed over: `held()` is false and `why()` names the
// folder and the reason, for the caller to refuse or report. Without
// `wait`, a lock another run holds is not waited for: `held()` is false and
// `busy()` true.
// A run never waits for a lock it holds: a lock on a folder whose lock of
// that kind the run holds shares it. While the run holds any lock, others
// are waited for at most 30 seconds in all over the running step
// (step_files_begin starts the count), after which `busy()` is true and
// `why()` says so: two runs never wait for each other without limit. A run
// that holds no lock waits until the lock is let go (a signal stops it
// meanwhile). A wait of more than a second is said in the log, naming the
// folder and the run that holds its lock.
enum class LockFile { DataSets, Entries };
class FolderLock
{
  public:
    // The folder open as `dirfd` (a copy of it is kept), `folder` naming it
    // in the messages.
    FolderLock(int dirfd, const std::string& folder, bool wait = true,
               LockFile which = LockFile::DataSets);
    // The folder `folder`, opened by its path.
    explicit FolderLock(const std::string& folder, bool wait = true,
                        LockFile which = LockFile::DataSets);
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();
    bool held() const { return held_; }
    // Not taken: another run holds it (and it was not waited for, or not
    // long enough).
    bool busy() const { return busy_; }
    // Why the lock was not taken ("" when held), naming the folder.
    const std::string& why() const { return why_; }

  private:
    // Shares the run's own lock of the folder open as dirfd_, or takes it.
    void lock(bool wait);
    // Makes the run's ticket and waits until no other living run's ticket
    // is there (`ownOnly`: of the run's user), as said above.
    void take(bool ownOnly, bool wait);

    std::string dir_;
    LockFile which_;
    int dirfd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool held_ = false;
    bool busy_ = false;
    std::string why_;
};

// Whether a writer is putting files in place in the folder open as `dirfd`
// now, as a reader may ask without taking any lock: None when no living
// run's ticket (LockFile::DataSets) is there; NotKnown in a folder where
// each user's runs keep out only each other (other users' writers are not
// looked at), or one that cannot be read.
enum class WritersAtWork { None, Some, NotKnown };
WritersAtWork writers_at_work(int dirfd);

// A wait for something that is not a lock this run can take (a data set's
// pair that another run is putting in place), counted as waits for locks
// are: a run that holds no lock waits until `round` says no more, one that
// holds a lock within the step's limit; each round sleeps a moment, and
// after a second the log says "WHAT is held by HOLDER; this run waits for
// it ...". A round is false, with `why`, once the wait may go no further.
// Unlike a lock's wait, it is always limited: it ends once the step has
// waited 30 seconds in all, whatever the run holds.
class StepWait
{
  public:
    StepWait();
    ~StepWait();
    StepWait(const StepWait&) = delete;
    StepWait& operator=(const StepWait&) = delete;
    bool round(const std::string& what, const std::string& holder, std::string& why);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The file a write to a path replaces, as an identity that two names of one
// file share: after following every symbolic link (also one that leads to a
// file not made yet), the device and inode of a file that exists, else the
// absolute path with its existing folders resolved. A descriptor's path
// (/dev/stdout, /dev/fd/N) is the file the descriptor holds, by its fstat;
// its path is the file's name where held_file_name finds one, else the path
// as given.
struct FileIdentity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string path;

    bool same(const FileIdentity& o) const
    {
        if (exists || o.exists)
            return exists && o.exists && dev == o.dev && ino == o.ino;
        return !path.empty() && path == o.path;
    }
};
FileIdentity file_identity(const std::string& path);

// The files the run reads are never written over by its listing, log, HTML
// or JSON file: a commit whose target is one of them fails, with the reason,
// and leaves it whole. The program and the registry file are never written
// over by anything. An output data set may replace a data set that an
// earlier step read (a data set is replaced by name, as a later step asks;
// one step's output never lands on its own input, which the data layer
// refuses when the data sets are opened). A file the run made itself is not
// one of its inputs when it is read back. A path noted that does not exist
// (an input data set's attribute file, which is optional) counts by its
// resolved path: no document is put there either.
enum class RunInput { File, DataSet };
void note_run_input(const std::string& path, RunInput kind = RunInput::File);
// True when `id` is a file the run has read and did not make, of a kind an
// output may not replace (with `dataSetsToo` false, only the program and the
// registry file count); `why` then says so.
bool is_run_input(const FileIdentity& id, std::string& why, bool dataSetsToo = true);
// The same question for a signal handler, which may not lock or allocate:
// whether the file at `path` now is one of the run's inputs of either kind,
// or (`key` from path_key of the resolved path, FileIdentity::path, taken
// before) a file an input would have that does not exist. True too when the
// run read more files than this check can hold, so that a handler never
// writes over an input it cannot rule out.
bool is_run_input_signal_safe(const char* path, std::uint64_t key = 0) noexcept;
// A number that stands for a resolved path (never 0).
std::uint64_t path_key(const char* path) noexcept;
// Forgets the run's inputs and made files (a new run in the same process).
void reset_run_files();

// Where the run keeps its data and graphs, which its documents never
// replace. A data set's files: `csv` and `attr` exactly, and, in the folder
// of `csv`, any file named as a data set's (NAME.csv, NAME.attr), made yet
// or not. note_data_set_folder notes such a folder alone (a LIBNAME folder,
// the data folder, WORK). A catalogue the run draws into: any file in it
// named as an entry's (NAME.svg, NAME.png, NAME.pdf).
void note_data_set(const std::string& csv, const std::string& attr);
void note_data_set_folder(const std::string& folder);
void note_catalogue_folder(const std::string& folder);
// True, with the reason in `why`, when a document written at `target`
// would land on a data set's file or a catalogue entry of the run.
bool kept_from_documents(const std::string& target, std::string& why);
// The same for a signal handler, which may not lock or allocate: whether
// the document at `target` (as AtomicFile::target gives it) was found so
// when it or a folder was last noted, or `target` is an existing file
// named as a data set's or an entry's (NAME.csv, NAME.attr, NAME.svg,
// NAME.png, NAME.pdf), which a later step may use.
bool kept_from_documents_signal_safe(const char* target) noexcept;

// A path followed as the kernel follows it (see walk_path).
struct PathWalk {
    std::string at;                   // where it leads ("." for the current folder)
    std::vector<std::string> missing; // folders that do not exist, each followed by ".."
    std::string why;                  // why the walk failed
    bool refused = false;             // it stopped at a link that foreign_link refuses
};
// Follows `path` one name at a time, as the kernel does: each symbolic link
// met, in the middle or at the end, is followed (a relative one from the
// folder that holds it; 40 links at most, then the rest is taken as named),
// "." is dropped and ".." taken from the folder reached. Below a name that
// does not exist the rest is taken as named. A relative path stays relative.
// Each link met is judged by foreign_link in the folder that holds it:
// another user's link in a shared folder stops the walk there (`at` is the
// link, `refused` set). Returns false, with `why`, then or past 40 links.
bool walk_path(const std::string& path, PathWalk& walk);

// A folder the run holds open, reached by a walk that judged each symbolic
// link on the way (hold_folder): what the run makes, opens, renames and
// removes in it is done relative to `fd`, so that no name swapped meanwhile
// (another user trading a folder of theirs for a link in a shared folder)
// moves it anywhere else. Shared by what writes into the folder.
struct HeldFolder {
    int fd = -1;      // open for reading where the run may read it
    std::string path; // how the messages name it
    dev_t dev = 0;
    ino_t ino = 0;
    // The mount it was reached through, as the kernel numbers it (0 where
    // the kernel does not say): one folder at two mount points (a read-only
    // and a writable bind mount of it) is two folders, each written only
    // through its own mount.
    std::uint64_t mount = 0;
    HeldFolder() = default;
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;
    ~HeldFolder();
    // How the messages name the file `name` in it.
    std::string file(const std::string& name) const;
    bool same(const HeldFolder& o) const
    {
        return dev == o.dev && ino == o.ino && mount == o.mount;
    }
};
using HeldRef = std::shared_ptr<const HeldFolder>;
// Walks `path` one name at a time, from "/" or the current folder, each
// folder opened from the one before: a symbolic link met is judged on the
// link opened (foreign_link) and read from it, then followed from its
// folder; ".." is the parent of the folder reached. With `make`, a folder
// that does not exist is made in the folder held (mode 0777, less the
// umask). Returns the folder held, or null with `why` (and `refused` set
// at another user's link in a shared folder, `missing` at a name that does
// not exist).
HeldRef hold_folder(const std::string& path, bool make, std::string& why, bool* refused = nullptr,
                    bool* missing = nullptr);
// Where a write to `path` lands, held: the folder of its last name, and in
// `name` that name, every link at it followed (and judged) too; "." when
// the path names a folder. The folder of the path is the running step's
// (step_folder), unless `afresh` (a check that the step's folder is still
// where its path leads). Null with `why` as hold_folder.
HeldRef hold_target(const std::string& path, std::string& name, std::string& why,
                    bool* refused = nullptr, bool afresh = false);
// Opens the file at `path` for reading, reached as a write to it is
// (hold_target): one name at a time, each symbolic link judged on the link
// opened and followed from its folder, the last name opened in the folder
// held and never followed there (O_NOFOLLOW; a name that became a link
// after the walk judged it is walked again, a few times at most). Opened
// O_RDONLY, and O_NONBLOCK unless `wait` (a named pipe then waits for its
// writer). A relative `path` is walked from `from` when it is given, else
// from the current folder. Returns the descriptor, or -1 with `why` (the
// reason, naming the name at which a walk failed), `refused` set at another
// user's link in a shared folder and `missing` at a name that does not
// exist. With `within`, the folder the file is opened in must be that
// folder or inside it (a library's file), judged on the folder held where
// it is opened: otherwise -1, `refused` set, and `why` says where it leads.
int open_to_read(const std::string& path, std::string& why, const HeldFolder* from = nullptr,
                 bool* refused = nullptr, bool* missing = nullptr, bool wait = false,
                 const HeldFolder* within = nullptr);
// How the messages name the user with number `uid`: "the user alice (uid
// 1000)", or "the user with uid 1000" where the machine has no name for it;
// an owner the user namespace cannot map, as that.
std::string owner_text(uid_t uid);
// Whether `uid`, a file's owner as this process sees it, may stand for a
// user that the process's user namespace does not map: the overflow uid
// (/proc/sys/kernel/overflowuid), which stands for every such user alike
// (root of the host, and any other), whatever the map gives that number
// too (the run's own user included).
bool owner_unmapped(uid_t uid);
// Whether the owners `a` and `b` are one user, as the kernel judges it:
// never where either is shown as the overflow uid, which matches no one
// (not the run's user, a folder's owner, root, nor another such owner).
bool same_owner(uid_t a, uid_t b);
// Whether the folder open as `fd` is one only its owner may write: no write
// right for its group or others (whose mode bits also bound every entry of
// a POSIX ACL) and no NFSv4 ACL, which could grant one. What is in such a
// folder only its owner can have put there, in any user namespace.
bool only_owner_writes(int fd);
// Reads what is left of the file open as `fd` into `text` (appended): 0, or
// the error of a read that failed.
int read_rest(int fd, std::string& text);
// What open_to_read would open, looked at (its lstat, where every link on
// the way was judged and followed) and never opened: false as open_to_read.
bool look_to_read(const std::string& path, struct stat& st, std::string& why,
                  const HeldFolder* from = nullptr, bool* refused = nullptr,
                  bool* missing = nullptr, const HeldFolder* within = nullptr);
// The folder the running step reached under `path` (as hold_folder, with
// `make`): walked once in a step, and the very folder held then for every
// later use of it in the step, by its reads, writes and checks, so that no
// name swapped meanwhile (another user trading a folder of theirs and a
// link under one name) leads one use of it to one folder and another to
// another. A step holds each folder its walks pass through, known by what
// it is (its device, inode and mount; where the kernel does not tell the
// mount, by its spellings alone) and by each spelling that reached it (the
// path up to that name, made absolute; "." and empty names left out, ".."
// kept): a later walk that meets a spelling the step holds goes on from
// that folder, and one that reaches a folder the step holds under another
// spelling has that one ("X", "X/sub/..", "X/", a link to X and a relative
// path to X are one folder, whichever was walked first). The walks of
// hold_target (but `afresh`) and of open_to_read without a folder to walk
// from are the step's too. step_folders_begin starts a step's
// (step_files_begin calls it), step_folders_forget lets them go as the
// step ends; outside a step each use walks the path afresh.
HeldRef step_folder(const std::string& path, bool make, std::string& why, bool* refused = nullptr,
                    bool* missing = nullptr);
void step_folders_begin();
void step_folders_forget();
// Whether the folder held `folder` is `within` or inside it, judged up its
// ".." from the folder held, never by a name. False where it is not, or
// where a folder on the way up cannot be looked at: `failed` then says
// which and why ("Too many open files", say), and is empty otherwise.
bool folder_inside(const HeldFolder& folder, const HeldFolder& within, std::string& failed);

// Makes a folder of the run's own (mode 0700) in the folder held `in`,
// named `prefix` and characters no one can guess, and holds it: null, with
// `why`, when none can be made.
HeldRef make_own_folder(const HeldFolder& in, const std::string& prefix, std::string& why);
// Removes the folder open as `folder`, the entry `name` of the folder open
// as `in`, with what it holds down to `depth` levels of sub-folders, by
// their descriptors: false, with errno, when it stays. System calls alone:
// safe in a signal handler.
bool remove_folder_at(int in, const char* name, int folder, int depth) noexcept;

// Where a write to `path` lands: the file at the end of its chain of
// symbolic links (or `path` itself). Relative link targets are taken from
// the link's folder. Returns false, with `why`, when the links loop or go
// too deep, or at a link that foreign_link refuses at any name of the path
// (walk_path).
bool resolve_write_target(const std::string& path, std::string& target, std::string& why);
// Whether `link` (whose lstat is `st`) is a symbolic link that the run does
// not follow: one in a folder that any user may write and whose sticky bit
// is set (a shared folder, as /tmp is), owned neither by the run's
// effective user nor by the folder's owner. The kernel refuses to follow
// such a link where fs.protected_symlinks is set; the run refuses it
// whatever that setting says. `why` then names the link and its owner.
bool foreign_link(const std::string& link, const struct stat& st, std::string& why);
// The same for a link whose lstat is `st` in a folder whose stat is
// `folder`, `link` naming it in `why`.
bool foreign_link_in(const std::string& link, const struct stat& st, const struct stat& folder,
                     std::string& why);
bool foreign_pipe_in(const std::string& path, const struct stat& st, const struct stat& folder,
                     std::string& why);
// The same for a named pipe at `path` (whose lstat is `st`), which the run
// never writes into: another user's pipe in such a folder would let that
// user read what is written, or keep the run waiting (the kernel refuses
// such an open where fs.protected_fifos is set).
bool foreign_pipe(const std::string& path, const struct stat& st, std::string& why);
// The name of the regular file open as descriptor `fd`, as the kernel
// gives it, while that name holds that very file (not a link, the same
// device and inode); else "" (a deleted or renamed file, or no file). It is
// only looked at, never opened.
std::string held_file_name(int fd);
// The temporary folders, in the order they are tried: TMPDIR (when set and
// not empty, as given), /tmp, /var/tmp.
std::vector<std::string> temp_folders();
// Whether `folder` is a folder the run may write (and enter); else false,
// with `why` saying what is wrong ("it does not exist", "Read-only file
// system", ...).
bool temp_folder_usable(const std::string& folder, std::string& why);
// The folder a document copied into a descriptor is staged in: the first of
// temp_folders() that is usable, else the first of them (TMPDIR or /tmp),
// where staging then fails.
std::string temp_folder();

// Removes every temporary file that is open now, and every staging folder of
// the running step with what it holds. Safe to call from a signal handler:
// it only calls unlink, rmdir and reads folders with system calls.
void remove_open_temp_files() noexcept;
// Removes the run's folder-lock tickets (see FolderLock), those being made
// too, by their names. Safe to call from a signal handler.
void remove_tickets_signal_safe() noexcept;
// Removes the folder `path` with what is in it, down to `depth` levels of
// sub-folders, with system calls alone (safe in a signal handler).
void remove_folder_signal_safe(const char* path, int depth) noexcept;
// Files the run puts in place from now on are noted (those before are not),
// so that a signal can say which files were written: called when the last
// step has ended and the run's own files are committed (a step notes its own
// from step_files_begin).
void note_commits_from_now() noexcept;
// Stops noting them and forgets those noted (a step is over).
void note_commits_stop() noexcept;
// For a signal handler (async-signal-safe): appends to buf (from `at`, up to
// `cap` bytes with its NUL) the names, joined by ", ", of the files put in
// place since note_commits_from_now (committed) or still being written
// (!committed; `skip` is left out). Returns the new length; *count gets the
// number of names.
std::size_t append_file_names(char* buf, std::size_t at, std::size_t cap, bool committed,
                              const char* skip, int* count) noexcept;

// The names of a graphics catalogue's entries: an entry is a file per format
// (NAME.svg, NAME.png, NAME.pdf) in the catalogue's folder, its name a token
// of at most 8 characters.
//
// `text` as a token: letters in upper case, digits and '_' kept, any other
// character made '_'.
std::string catalogue_token(const std::string& text);
// The use of the catalogue in `folder` by the running step. A permanent
// catalogue (`keepsEarlier`) keeps the entries earlier runs (and other runs
// going on now) put in it: its folder's lock (FolderLock) is taken, waiting
// while another run holds it, and held until the step's files are put in
// place or dropped (place_step_files, drop_step_files), so that no two runs
// give out one name; the names in the folder (a file or anything else named
// as an entry) are read then, and new entries do not take them. Returns how
// many entries of earlier runs the folder held when the run first used it
// (0 later, and for WORK's catalogue, which is the run's own), or -1 when
// the lock cannot be taken, with the reason in `why`.
int catalogue_use(const std::string& folder, bool keepsEarlier, std::string& why);
// A new entry's name in `folder`: `proposed` when it is not in use, else the
// name cut to leave room for a number (NAM1 .. NAM9, NA10 .. NA99, ...).
std::string catalogue_entry_name(const std::string& folder, const std::string& proposed);
// Another name for an entry of `folder` whose name was taken while the step
// ran: the folder's names are read again, and the next free one is given as
// catalogue_entry_name gives it.
std::string catalogue_entry_renamed(const std::string& folder, const std::string& proposed);
// Forgets the names in use and lets go of the catalogues' locks (a new run
// in the same process).
void catalogue_names_reset();

// Test hook for failure sweeps: when the environment variable
// KORV_FAIL_WRITE holds a number N, the Nth write to any file opened by
// AtomicFile (counted from the start of the process, or from the last call
// of this function) fails with ENOSPC, as on a full disk. Reads the variable
// again and restarts the count.
void reset_write_failure_hook();
// Counts one write for that hook; true when this is the write that must
// fail. The print system calls it for its writes to standard output and
// standard error too.
bool write_should_fail() noexcept;

} // namespace vyr
