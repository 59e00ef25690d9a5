// Internals of the data layer shared by its source files.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vyr_atomic_file.h"
#include "vyr_data.h"

namespace vyr::data
{

// Message group of the data layer's catalogue entries.
inline constexpr int kGroup = 701;
// Facility of the data layer's host codes.
inline constexpr int kFacility = 70;

// One column of an input data set.
struct Column {
    std::string name;
    std::string label;
    std::string format; // canonical format text, "" when none
    bool numeric = true;
    int length = 8;
    std::unique_ptr<double[]> num; // numeric values (nobs)
    std::vector<char> blob;        // character values, one after another
    std::vector<uint64_t> off;     // nobs + 1 offsets into blob (or, when it is
    std::vector<uint32_t> off32;   // smaller than 4 GiB, these)
    NAMESTR nm;                    // the descriptor handed out by xvname
    std::string whyText;           // why it is character (the value and line that made it so)
    // A large file's values are read when first needed: `loaded` tells
    // whether they are here, `wanted` marks a column bound for reading, so
    // that the bound columns are read together in one pass over the file.
    bool loaded = true;
    bool wanted = false;
    // A character column's values as codes (see xvcodes): made on first
    // request, one per observation, numbering the distinct values (trailing
    // blanks ignored) in the order they first appear; dict[k] is value k.
    std::unique_ptr<int32_t[]> codes;  // written by the coding tasks (not zeroed first)
    std::vector<const char*> dictText; // into blob
    std::vector<int> dictLength;
    bool coded = false;

    std::string_view chars(long obs) const
    {
        const size_t i = static_cast<size_t>(obs);
        if (!off32.empty())
            return std::string_view(blob.data() + off32[i], off32[i + 1] - off32[i]);
        return std::string_view(blob.data() + off[i], off[i + 1] - off[i]);
    }
};

// Attributes read from a sidecar file.
struct VarAttr {
    std::string name;
    std::string label;
    std::string format;
    int type = 0;   // 0 not given, 1 numeric, 2 character
    int length = 0; // 0 not given
    int line = 0;
};
// A file as it was read: its device and inode, owner, size and
// modification time in nanoseconds; `exists` false where there was none.
struct FileStamp {
    bool exists = false;
    unsigned long long dev = 0, ino = 0;
    unsigned owner = 0;
    long long size = 0, timeNs = 0;
    bool operator==(const FileStamp&) const = default;
    // Whether the two may be one file whose stamp moved though its bytes
    // did not (its time, or, on some file systems, its inode number): the
    // same owner and size. Only its bytes can tell then.
    bool may_be(const FileStamp& o) const
    {
        return exists && o.exists && owner == o.owner && size == o.size;
    }
};
// The stamp of a file's fstat or stat.
FileStamp stamp_of(const struct stat& st);

struct Sidecar {
    bool present = false;
    // Present, but not taken: its owner is not one whose attribute file the
    // data set may have (see read_sidecar). Nothing of it was read.
    bool foreign = false;
    std::string kind; // what it is, when not taken and not a regular file ("a folder")
    FileStamp read;   // the file read
    std::string label;
    std::vector<VarAttr> vars;
    uint64_t textDigest = 0; // of its bytes as read
    // The CSV file it was written with, when it names one (the line
    // "# csv size=N digest=HEX"): its size in bytes and digest.
    bool namesCsv = false;
    long long csvSize = 0;
    uint64_t csvDigest = 0;
    // Read the CSV file's values even where it is not the one named (a
    // pair judged to be read as it is): `mismatched` says so still.
    bool readAsIs = false;
};

// The digest of a CSV file's bytes (digest.cpp): blocks of kDigestBlock
// bytes by file offset, each hashed on its own, their hashes folded in file
// order and finished with the file's size. Any split of the blocks among
// threads gives the same digest.
inline constexpr size_t kDigestBlock = size_t(64) << 10;
uint64_t digest_block(const char* p, size_t n);
class DigestFold
{
  public:
    DigestFold();
    void add(uint64_t block);
    uint64_t finish(uint64_t size) const;

  private:
    uint64_t h_;
};
// The digest of n bytes, its blocks hashed in parallel.
uint64_t digest_bytes(const char* p, size_t n);
// The digest of bytes written one piece after another.
class DigestStream
{
  public:
    void update(const char* p, size_t n);
    uint64_t finish() const;
    uint64_t size() const { return size_; }

  private:
    DigestFold fold_;
    std::string pending_; // the bytes of the block not yet full
    uint64_t size_ = 0;
};
// A digest as the attribute file writes it: 16 lower-case hex digits.
std::string digest_text(uint64_t digest);

// The sidecar path of a CSV path: ".csv" replaced by ".attr" (or ".attr"
// appended).
std::string sidecar_path(const std::string& csv_path);
// Why a file of this mode cannot be read as data: a folder, a named pipe or
// a device is refused, since only a regular file has an end to read to.
std::string not_regular_file(unsigned mode);
// Makes the output data set's file under a temporary name beside its target
// (output.cpp). Returns 0, or a host code after saying why in the log.
int open_output_file(DSHANDLE* ds);
// A new run: the note that WORK data sets are not kept without --out is
// said again, once (output.cpp).
void reset_not_kept_note();
// Reads the attribute file `name` in the folder held `in` (`path` naming it
// in messages); false after logging an error naming the file and line.
// With `accept`, whatever is at the name that it refuses (by its lstat,
// before anything is opened, and by the fstat of a file a link leads to) is
// not opened or read at all: it is `present` and `foreign`, with its stamp.
// With `confined`, a link at the name leads to no file out of `in`: such a
// file is refused, named with where it leads.
bool read_sidecar(const HeldFolder& in, const std::string& name, const std::string& path,
                  Sidecar& out, const std::function<bool(const struct stat&)>& accept = {},
                  bool confined = false);
// The stamp of what read_sidecar reads at `name` in `in` (of what is there,
// where it is not taken), so that a later look tells whether it moved.
FileStamp sidecar_stamp(const HeldFolder& in, const std::string& name,
                        const std::function<bool(const struct stat&)>& accept,
                        bool confined = false);
// Whether what is at `name` in `in` is an attribute file taken (as
// read_sidecar takes it) with the bytes `side` was read from. Says nothing.
bool sidecar_same_bytes(const HeldFolder& in, const std::string& name, const Sidecar& side,
                        const std::function<bool(const struct stat&)>& accept, bool confined);
// Quotes a sidecar value when needed.
std::string sidecar_quote(const std::string& v);

// Loads a CSV file into columns. `display` names the data set in messages.
// Returns false after logging an error naming the file and line.
struct Table {
    std::vector<Column> cols;
    long nobs = 0;
    std::string label;
    // Set when the values were left in the file (see Column::loaded).
    bool lazy = false;
    std::string path;
    Sidecar sidecar;
    FileStamp read; // the file as it was opened
    // The file as its read was checked against: `read`, but for a time that
    // moved as the file was first read. A later look that finds this stamp
    // finds the file read, unchanged (a later load reads the very same).
    FileStamp settled;
    // The digest of the file's bytes, computed (`digested`) when the
    // attribute file names a CSV file (or another CSV file than this one),
    // when values may be left in the file, and when the file's time moved
    // as it was read: a later look that finds its time moved then tells by
    // its bytes whether it is the file read.
    bool digested = false;
    uint64_t digest = 0;
    // A load of the values left in the file failed (and said why): no
    // later load reads the file again.
    bool unreadable = false;
    // The attribute file names another CSV file (its size or digest differ):
    // only `read`, `settled` and the digest are set, nothing else was read
    // or said (unless the sidecar says to read it as it is).
    bool mismatched = false;
    // A library's data set: its file is read in the folder it was named in,
    // or in one inside it (a link at its name leading out is not followed).
    bool confined = false;
};
// Files of at least this many bytes are opened with their types and lengths
// only; a column's values are read when first used.
void set_lazy_threshold(long long bytes);
// Files of at least this many bytes are read in several windows in
// parallel: `windows` of them, or (0) one per thread. For tests.
void set_parallel_threshold(size_t bytes, int windows = 0);
// With `expected` (upper-case names), the values of those columns are kept
// from the one pass that finds the types, and every other column's values
// stay in the file until first used, whatever the file's size. Where the
// sidecar names a CSV file (namesCsv) that is not this one, the read stops
// at that, without a word, and sets out.mismatched.
// The file is reached as open_to_read reaches it: with `from`, the last
// name of `path` in that folder held.
bool load_csv(const std::string& path, const Sidecar& sidecar, Table& out,
              const std::unordered_set<std::string>* expected = nullptr,
              const HeldFolder* from = nullptr);
// Whether the file at `path` (its last name in `from`) has the bytes the
// table `t` was read from (its digest): false where the table has no
// digest, or the file cannot be read whole. `seen` is then its stamp as it
// was checked, which a later look may compare with.
bool same_bytes_now(const std::string& path, const HeldFolder& from, bool confined, const Table& t,
                    FileStamp& seen);
// Reads the values of the table's wanted columns that are not loaded yet,
// and of column `also` (0-based; -1 for none). False after logging an error
// naming the file.
bool load_columns(Table& t, int also);
// The column ready for reading its values (loaded if need be), or null.
const Column* loaded_column(Table& t, int varnum);

// Number of threads for parallel work.
int worker_count();

// Is `name` usable as a variable name in a program (letters, digits and
// underscores, starting with a letter or underscore, at most 32 bytes)?
bool valid_variable_name(std::string_view name);
// A variable name made from `name`: other characters become underscores, a
// leading digit gets an underscore before it, cut to 32 bytes.
std::string suggest_variable_name(std::string_view name);

// A data set's value as CSV field text (numbers at full precision, missing
// values as "." or ".A").
void append_number(std::string& out, double v);
void append_text_field(std::string& out, std::string_view v);

// Fills the descriptor of a column (name, label, type, length, format).
void fill_namestr(Column& c, int varnum);

// Comparison of two values of a column (missing below numbers; character
// values blank padded). Negative, 0, positive.
int compare_values(const Column& c, long a, long b);

} // namespace vyr::data

namespace vyr::data
{

// A binding of a fetch vector or of an output variable.
struct Binding {
    int var = 0;                  // input variable number (fetch, or copy source)
    long offset = 0;              // into the caller's record when address is null
    void* address = nullptr;      // fetch target
    const void* source = nullptr; // output value address
    int length = 0;
    int mode = 8;
    // Formatted fetches (mode 4) of values already seen: the raw value's
    // bytes to the formatted text. Strata and group values repeat a great
    // deal; the cache stops growing at kFormattedCacheSize entries.
    std::unordered_map<std::string, std::string> formatted;
};
inline constexpr size_t kFormattedCacheSize = 4096;

// An output variable.
struct OutVar {
    std::string name;
    std::string label;
    std::string format;
    bool numeric = true;
    int length = 8;
    long offset = 0;
    const void* address = nullptr;
    int vlen = 0;
    DSHANDLE* copyFrom = nullptr; // a copy of an input variable (its current value)
    int copyVar = 0;
};

// State of an output data set.
struct Output {
    std::vector<OutVar> vars;
    bool defining = false;
    bool defined = false;
    bool headerWritten = false;
    vyr::AtomicFile file; // the CSV file, under its temporary name until committed
    vyr::AtomicFile attr; // its attribute file, likewise
    // A library's data set: the folder both files must be written in (or
    // in one inside it), the step's (step_folder).
    vyr::HeldRef library;
    std::string why;      // the reason of the first failed write
    std::string buffer;
    DigestStream written; // the CSV file's bytes, as written
    long rows = 0;
    int lastWriteRc = 0;
    bool failed = false;
    bool completed = false; // both files whole under their temporary names
    bool handed = false;    // its files handed to the step's, to be put in place with them
    bool closed = false;
};

} // namespace vyr::data

struct XVHANDLE {
    int kind = 0; // 1 fetch, 2 output definitions
    DSHANDLE* ds = nullptr;
    std::vector<vyr::data::Binding> binds;
    bool ended = false;
};

struct DSHANDLE {
    int mode = 0;
    std::string lib;     // upper case libref ("" for a path)
    std::string member;  // member name as given
    std::string display; // "LIB.MEMBER" or the path
    std::string path;    // the CSV file
    std::string label;
    // Input.
    // The folder of its names, the step's (step_folder), held until its
    // files are read (a later load of its values in the step reads them in
    // that very folder).
    vyr::HeldRef folder;
    // A library's data set (not a quoted path): its files are read in its
    // folder, or in one inside it.
    bool confined = false;
    // What is at its attribute file's name is another user's, which a read
    // passes over (see read_sidecar): no file it leads to is the data set's.
    bool attrPassedOver = false;
    vyr::data::Table table;
    std::vector<int> byvars;
    std::vector<unsigned char> bydesc;
    bool notsorted = false;
    bool started = false;
    bool finished = false;
    long gs = 0, ge = 0; // current BY group [gs, ge), 0-based
    long cur = -1;       // current observation, 0-based; -1 none
    std::string byline;  // BY line of the current BY group ("" without BY variables)
    long across = -1;    // cursor of xoget
    bool readReported = false;
    // Output.
    std::unique_ptr<vyr::data::Output> out;
    bool writeReported = false;
};
