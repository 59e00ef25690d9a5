// Reading CSV files (RFC 4180, UTF-8, header row) into columns, in parallel
// on the host's thread pool.
//
// The data part of a file is cut into windows of about equal size, one per
// thread, and read in these steps:
//   - count rows: each window counts its quotes and its newlines, both as if
//     it started outside quotes and as if it started inside, so that the
//     quote state at each window's start, and with it the rows that start in
//     each window, follow without a sequential pass over the file;
//   - parse rows: each window parses its rows in one pass, numbers straight
//     into their columns, texts into the window's own buffers;
//   - settle each column's type: a column is numeric unless a value in it is
//     not a number (or the attribute file says otherwise);
//   - read again, in the windows that need it, the texts of a column that
//     turned out to be character after its values there looked like numbers;
//   - join the windows' texts into each character column.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <unordered_set>

#include "data_internal.h"
#include "vyr_atomic_file.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_pool.h"
#include "vyr_text.h"

namespace vyr::data
{

int worker_count()
{
    return static_cast<int>(std::min(vyr::pool_width(), 16u));
}

namespace
{

// Files smaller than this are read in one window: threads would cost more
// than they save. Tests lower it, and may fix the number of windows.
constexpr size_t kParallelFrom = size_t(4) << 20;
std::atomic<size_t> g_parallelFrom{kParallelFrom};
std::atomic<int> g_windows{0};

// Column names that cannot be used as variable names are noted one by one
// up to this many; the rest are counted in one note.
constexpr int kNamedNotes = 10;

std::atomic<long long> g_lazyThreshold{64LL << 20};

// Files cut short while they are read.
//
// A mapped file can lose its end while it is read: another process empties
// it and writes it anew in place (`cat new > data.csv`, an editor saving in
// place), or a network mount drops. A page past the file's new end then
// raises SIGBUS when it is touched, which would end the run without a word.
// Each mapping the reader makes is noted in a slot below. For a fault inside
// one, the handler maps zero pages over the rest of that mapping, from the
// faulting page on, and marks the slot: the read runs to its end on zeros,
// and the reader, seeing the mark, fails the step naming the file. A SIGBUS
// anywhere else goes to the handler that was there before, or ends the
// process as it would have without this one.
//
// The handler reads the slots without a lock: a slot's words change only
// between two steps of its count (every access in one order, sequentially
// consistent), which is odd meanwhile, and a reading whose count moved is
// passed over (only the mapping's own reads can fault in it, and those are
// over before its slot is given up).
struct Watched {
    std::atomic<bool> taken{false};
    std::atomic<unsigned> count{0};
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> length{0};
    std::atomic<bool> cut{false};
};
static_assert(std::atomic<uintptr_t>::is_always_lock_free &&
              std::atomic<size_t>::is_always_lock_free &&
              std::atomic<unsigned>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Files read at the same time (one per data set a step reads at once, each
// read's lazy loads after it): far fewer than this.
constexpr int kWatched = 64;
Watched g_watched[kWatched];
struct sigaction g_busBefore;
uintptr_t g_pageSize = 4096;

void on_bus(int sig, siginfo_t* info, void* context)
{
    const int saved = errno;
    const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
    // A fault (not a signal sent by kill or raise) in a mapping noted.
    const int slots = info->si_code > 0 ? kWatched : 0;
    for (Watched& w : std::span<Watched>(g_watched, slots)) {
        const unsigned count = w.count.load();
        const uintptr_t base = w.base.load();
        const size_t length = w.length.load();
        if ((count & 1) != 0 || w.count.load() != count || at < base || at - base >= length)
            continue;
        // The system call itself: a sanitizer's wrapper of mmap counts the
        // new pages as written to, while other threads read them.
        const uintptr_t page = at & ~(g_pageSize - 1);
        if (syscall(SYS_mmap, page, base + length - page, PROT_READ,
                    MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != static_cast<long>(page))
            break;
        w.cut.store(true);
        errno = saved;
        return;
    }
    errno = saved;
    if ((g_busBefore.sa_flags & SA_SIGINFO) != 0 && g_busBefore.sa_sigaction != nullptr) {
        g_busBefore.sa_sigaction(sig, info, context);
        return;
    }
    if ((g_busBefore.sa_flags & SA_SIGINFO) == 0 && g_busBefore.sa_handler != SIG_DFL &&
        g_busBefore.sa_handler != SIG_IGN) {
        g_busBefore.sa_handler(sig);
        return;
    }
    // The default action: the signal comes again as the handler returns.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGBUS, &dfl, nullptr);
    raise(SIGBUS);
}

// Notes a mapping; the slot's index, or -1 when every slot is taken (the
// mapping is then read as before, unwatched).
int watch_mapping(const void* base, size_t length)
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        g_pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        struct sigaction sa = {};
        sa.sa_sigaction = on_bus;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &g_busBefore);
    });
    for (int i = 0; i < kWatched; ++i) {
        Watched& w = g_watched[i];
        bool free = false;
        if (!w.taken.compare_exchange_strong(free, true))
            continue;
        w.count.fetch_add(1);
        w.base.store(reinterpret_cast<uintptr_t>(base));
        w.length.store(length);
        w.cut.store(false);
        w.count.fetch_add(1);
        return i;
    }
    return -1;
}

// Gives up a slot, before its mapping is unmapped.
void unwatch_mapping(int i)
{
    Watched& w = g_watched[i];
    w.count.fetch_add(1);
    w.base.store(0);
    w.length.store(0);
    w.count.fetch_add(1);
    w.taken.store(false);
}

// A file's bytes, mapped read-only (or empty).
class MappedFile
{
  public:
    // Opens `path` (its last name in `from`, when given) as a write to it
    // would reach it (open_to_read): never through another user's link in
    // a shared folder, and, `within` a library's folder, never out of it.
    // Non-blocking: a named pipe in place of the file must not hold the
    // open until some writer comes; it is refused below.
    bool open(const std::string& path, const HeldFolder* from, std::string& why,
              const HeldFolder* within = nullptr)
    {
        fd_ = open_to_read(from != nullptr ? path.substr(path.rfind('/') + 1) : path, why, from,
                           nullptr, nullptr, false, within);
        if (fd_ < 0)
            return false;
        struct stat st;
        if (fstat(fd_, &st) != 0) {
            why = std::strerror(errno);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            why = not_regular_file(st.st_mode);
            return false;
        }
        size_ = static_cast<size_t>(st.st_size);
        opened_ = stamp_ = stamp_of(st);
        if (size_ == 0)
            return true;
        void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (p == MAP_FAILED) {
            why = std::strerror(errno);
            return false;
        }
        data_ = static_cast<const char*>(p);
        slot_ = watch_mapping(p, size_);
        madvise(p, size_, MADV_WILLNEED);
        // Some file systems move a file's time when a reader first reads
        // it, its bytes unchanged (rclone's cache, until it has uploaded a
        // file written through it). So the first byte is read, and the
        // file's stamp then is the one the whole read is checked against:
        // every byte a read uses is read after this look, so a write after
        // it is still seen (changed).
        [[maybe_unused]] const char first = *static_cast<const volatile char*>(p);
        if (fstat(fd_, &st) != 0) {
            why = std::strerror(errno);
            return false;
        }
        const FileStamp now = stamp_of(st);
        timeMoved_ = now.size == opened_.size && now.timeNs != opened_.timeNs;
        if (timeMoved_)
            stamp_ = now;
        return true;
    }
    ~MappedFile()
    {
        if (slot_ >= 0)
            unwatch_mapping(slot_);
        if (data_)
            munmap(const_cast<char*>(data_), size_);
        if (fd_ >= 0)
            ::close(fd_);
    }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    // The file as it was opened, and as its read is checked against: the
    // same, but for the time where it moved as the file was first read.
    const FileStamp& opened() const { return opened_; }
    const FileStamp& stamp() const { return stamp_; }
    bool timeMoved() const { return timeMoved_; }

    // Whether the file is no longer what was mapped: cut short under the
    // mapping (pages past its new end were read as zeros), or of another
    // size or time of change than its stamp (written meanwhile, so that
    // what was read may be part old and part new). `why` says which.
    bool changed(std::string& why) const
    {
        if (fd_ < 0)
            return false;
        struct stat st;
        if (fstat(fd_, &st) != 0) {
            why = std::strerror(errno);
            return true;
        }
        const FileStamp now = stamp_of(st);
        if (now.size < stamp_.size)
            why = "it was cut short";
        else if (slot_ >= 0 && g_watched[slot_].cut.load())
            why = "it was cut short and written anew";
        else if (now.size > stamp_.size)
            why = "it grew";
        else if (now.timeNs != stamp_.timeNs)
            why = "it was written to";
        else
            return false;
        if (now.size != stamp_.size)
            why += " (it has " + std::to_string(now.size) + " bytes now, " +
                   std::to_string(stamp_.size) + " when its read began)";
        return true;
    }

  private:
    FileStamp opened_, stamp_;
    bool timeMoved_ = false;
    int fd_ = -1;
    const char* data_ = nullptr;
    size_t size_ = 0;
    int slot_ = -1;
};

long line_of(const char* base, size_t offset)
{
    return 1 + static_cast<long>(std::count(base, base + offset, '\n'));
}

// ---------------------------------------------------------------------------
// Numbers.

// How a field reads as a number.
enum class Reading : unsigned char {
    Number,    // a number or a missing value (empty, ".", ".A" to ".Z", "._")
    NaWord,    // "NA" or "NaN" in any case: missing in a numeric column
    NotNumber, // anything else
};

constexpr double kPow10[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                               1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The quick road for the usual unquoted field: an optional minus sign, then
// at most 15 digits with at most one decimal point between them, ended by a
// comma, a line end or the end of the file. Returns where the field ends, or
// null when the field needs the general parse. The value equals the general
// parse's (and strtod's): the digits form an exact integer below 2^53 and the
// power of ten is exact, so one correctly rounded division gives the
// correctly rounded value.
inline const char* quick_number(const char* p, const char* e, double& out)
{
    const bool neg = p < e && *p == '-';
    if (neg)
        ++p;
    uint64_t m = 0;
    const char* d0 = p;
    while (p < e && static_cast<unsigned char>(*p - '0') < 10)
        m = m * 10 + static_cast<uint64_t>(*p++ - '0');
    const size_t intDigits = static_cast<size_t>(p - d0);
    size_t fracDigits = 0;
    if (p < e && *p == '.') {
        const char* f0 = ++p;
        while (p < e && static_cast<unsigned char>(*p - '0') < 10)
            m = m * 10 + static_cast<uint64_t>(*p++ - '0');
        fracDigits = static_cast<size_t>(p - f0);
        if (fracDigits == 0)
            return nullptr;
    }
    if (intDigits == 0 || intDigits + fracDigits > 15)
        return nullptr;
    if (p < e && *p != ',' && *p != '\n' && !(*p == '\r' && (p + 1 == e || p[1] == '\n')))
        return nullptr;
    double v = static_cast<double>(m);
    if (fracDigits > 0)
        v /= kPow10[fracDigits];
    out = neg ? -v : v;
    return p;
}

bool same_word(const char* s, const char* e, const char* word)
{
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(e - s) != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != word[i])
            return false;
    return true;
}

// The general parse of a numeric field's text: blanks around it are ignored;
// empty text and the missing tokens give missing values.
Reading read_number(const char* s, const char* e, double& out)
{
    while (s < e && (*s == ' ' || *s == '\t'))
        ++s;
    while (e > s && (e[-1] == ' ' || e[-1] == '\t'))
        --e;
    if (s == e) {
        out = korv_missing();
        return Reading::Number;
    }
    if (*s == '.' && e - s <= 2) {
        const char c =
            e - s == 1 ? '.' : static_cast<char>(std::toupper(static_cast<unsigned char>(s[1])));
        if (c == '.') {
            out = korv_missing();
            return Reading::Number;
        }
        if (c == '_') {
            out = korv_special_missing(0xFF);
            return Reading::Number;
        }
        if (c >= 'A' && c <= 'Z') {
            out = korv_special_missing(static_cast<unsigned char>(0xFD - (c - 'A')));
            return Reading::Number;
        }
    }
    if (same_word(s, e, "NA") || same_word(s, e, "NAN")) {
        out = korv_missing();
        return Reading::NaWord;
    }
    const char* p = s;
    if (*p == '+')
        ++p;
    const char* q = p < e && *p == '-' ? p + 1 : p;
    // Only digits or a decimal point may start a number ("inf" is text), and
    // a plus sign takes no minus after it.
    if (q >= e || !((*q >= '0' && *q <= '9') || *q == '.') || (p != s && *p == '-'))
        return Reading::NotNumber;
    if (const char* end = quick_number(p, e, out); end == e)
        return Reading::Number;
    auto r = std::from_chars(p, e, out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == e ? Reading::Number : Reading::NotNumber;
}

// ---------------------------------------------------------------------------
// Fields.

// What went wrong in a window. The first error in file order is reported.
enum class Fault : unsigned char {
    None,
    OpenQuote,    // a quoted field is not terminated
    FieldCount,   // a row with the wrong number of fields
    StrayQuote,   // a quote inside an unquoted field or after a closing one
    NotNumeric,   // text in a column declared numeric
    ValueTooLong, // a value longer than VYR_MAX_TEXT_LENGTH
    NulByte,      // a NUL byte
};

struct ParseError {
    Fault kind = Fault::None;
    size_t offset = SIZE_MAX; // where in the file
    long fields = 0;          // FieldCount: the fields found
    long column = 0;          // NotNumeric, ValueTooLong: the column (0-based)
    size_t length = 0;        // ValueTooLong: the value's length
    std::string text;         // NotNumeric: the start of the value

    void set(Fault k, size_t at)
    {
        kind = k;
        offset = at;
    }
};

// A field located in the file: [s, e) without its quotes; `quoted` when it
// was written in quotes (then doubled quotes inside still stand for one).
struct Field {
    const char* s = nullptr;
    const char* e = nullptr;
    bool quoted = false;
};

// Scans one field starting at p. On return p points at the comma, the line
// end or the end of the file after it. False on a quoting error.
inline bool scan_field(const char*& p, const char* e, const char* base, Field& f, ParseError& err)
{
    if (p < e && *p == '"') {
        f.quoted = true;
        const char* start = p++;
        f.s = p;
        for (;;) {
            const char* q =
                static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(e - p)));
            if (q == nullptr) {
                err.set(Fault::OpenQuote, static_cast<size_t>(start - base));
                return false;
            }
            if (q + 1 < e && q[1] == '"') {
                p = q + 2;
                continue;
            }
            f.e = q;
            p = q + 1;
            break;
        }
        if (p < e && *p != ',' && *p != '\n' && !(*p == '\r' && (p + 1 == e || p[1] == '\n'))) {
            err.set(Fault::StrayQuote, static_cast<size_t>(p - base));
            return false;
        }
        return true;
    }
    f.quoted = false;
    f.s = p;
    while (p < e && *p != ',' && *p != '\n') {
        if (*p == '"') {
            err.set(Fault::StrayQuote, static_cast<size_t>(p - base));
            return false;
        }
        ++p;
    }
    f.e = p;
    if (f.e > f.s && f.e[-1] == '\r' && (p == e || *p == '\n'))
        --f.e;
    return true;
}

// The length of a field's value: doubled quotes count once.
inline size_t value_length(const Field& f)
{
    size_t n = static_cast<size_t>(f.e - f.s);
    if (f.quoted)
        for (const char* q = f.s; q < f.e; ++q)
            if (*q == '"') {
                --n;
                ++q;
            }
    return n;
}

// Appends a field's value to `out`.
inline void append_value(std::vector<char>& out, const Field& f)
{
    if (!f.quoted) {
        out.insert(out.end(), f.s, f.e);
        return;
    }
    for (const char* q = f.s; q < f.e; ++q) {
        out.push_back(*q);
        if (*q == '"')
            ++q;
    }
}

// A field's value as text for a message: quotes taken off and doubled
// quotes read once (as the value is read), cut after `most` bytes with "...".
std::string value_text(const Field& f, size_t most)
{
    std::vector<char> v;
    append_value(v, f);
    if (v.size() <= most)
        return std::string(v.begin(), v.end());
    return std::string(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(most)) + "...";
}

// Is the row starting at p blank (nothing but an optional CR before the
// newline or the end)?
inline bool blank_row(const char* p, const char* e)
{
    if (p < e && *p == '\r')
        ++p;
    return p == e || *p == '\n';
}

// The start of the row after the one whose last field ended at p.
inline const char* after_row_end(const char* p, const char* e)
{
    if (p < e && *p == '\r')
        ++p;
    return p < e ? p + 1 : p;
}

inline const char* after_blank_row(const char* p, const char* e)
{
    while (p < e && *p != '\n')
        ++p;
    return p < e ? p + 1 : p;
}

// ---------------------------------------------------------------------------
// The reader's state.

// What a window does with a column's fields.
enum class Mode : unsigned char {
    Skip,   // pass over (a column whose values are not being read)
    Number, // parse as a number
    Text,   // keep the text (or its length)
};

// One window's work on one column.
struct WindowColumn {
    Mode mode = Mode::Skip;
    // The texts (or lengths) were recorded from the window's first row on.
    bool textFromStart = false;
    size_t firstNonNumber = SIZE_MAX; // offset of the first value that is no number
    size_t firstNaWord = SIZE_MAX;    // offset of the first NA or NaN
    std::vector<char> blob;           // the texts, one after another
    std::vector<uint32_t> len;        // their lengths
    size_t maxlen = 0;
};

// A window of the data part of the file and what reading it found.
struct Window {
    size_t w0 = 0, w1 = 0;  // the window [w0, w1)
    size_t quotes = 0;      // quotes in it
    long nl[2] = {0, 0};    // unquoted newlines when it starts outside / inside quotes
    bool inside = false;    // the quote state at w0
    long rows = 0;          // rows that start in the window
    long first_row = 0;     // the index of its first row among all rows
    size_t first_start = 0; // the offset where its first row starts (rows > 0)
    size_t end_pos = 0;     // the offset just after its last row
    long written = 0;       // rows stored (blank rows are skipped)
    ParseError err;
    std::vector<WindowColumn> cols;
};

// What the whole read does with a column.
struct ColumnPlan {
    int declared = 0; // 0 by its values, 1 numeric, 2 character
    int declen = 0;   // the length the attribute file gives (0: none)
    bool keep = true; // keep its values (else only its type and length)
    bool read = true; // look at its values at all
};

class CsvReader
{
  public:
    CsvReader(const std::string& path, const HeldFolder* from, const Sidecar& sidecar, Table& out,
              const Table* types, const std::vector<char>* select,
              const std::unordered_set<std::string>* expected)
        : path_(path), from_(from), sidecar_(sidecar), out_(out), types_(types), select_(select),
          expected_(expected), loading_(types != nullptr && select != nullptr)
    {
    }

    bool read();

  private:
    bool map_file();
    bool intact();
    bool check_line_ends();
    bool read_header();
    bool check_names();
    void note_unusable_names();
    void apply_attributes();
    bool plan_columns();
    bool may_leave_values() const;
    void plan_windows();
    void count_rows();
    void parse_windows();
    const char* first_row_start(const Window& w) const;
    void start_columns(Window& w, const std::vector<char>* only, std::vector<Mode>& mode,
                       std::vector<double*>& dst) const;
    bool general_number(Window& w, long f, long row, const Field& fld, double* dst);
    bool keep_text(Window& w, long f, const Field& fld);
    bool parse_window(Window& w, const std::vector<char>* only);
    bool report_first_error();
    void close_blank_row_gaps();
    void settle_types();
    void rescan_windows();
    void join_texts();
    void finish();

    const std::string& path_;
    const HeldFolder* from_;
    const Sidecar& sidecar_;
    Table& out_;
    const Table* types_;
    const std::vector<char>* select_;
    const std::unordered_set<std::string>* expected_;
    const bool loading_;
    bool lazyOpen_ = false;
    bool partial_ = false; // some columns' values were left in the file
    bool saidChanged_ = false;
    // A load of values whose file shows another time than the first read's:
    // its bytes must be the first read's (its digest).
    bool sameBytes_ = false;

    MappedFile file_;
    const char* base_ = nullptr;
    const char* e_ = nullptr;
    size_t pos_ = 0; // where the data part starts
    std::vector<std::string> names_;
    long ncols_ = 0;
    std::vector<ColumnPlan> plan_;
    std::vector<Window> windows_;
    long totalRows_ = 0;
    long nobs_ = 0;
    std::vector<long> dest_;   // per window: the index of its first stored row
    std::vector<char> isText_; // per column: settled as character
};

const char* const kChanged = "it changed while the data set was open";

// Maps the file and checks it against the types of an earlier open.
bool CsvReader::map_file()
{
    std::string why;
    // A library's data set is read in its folder, or in one inside it.
    const bool confined = types_ != nullptr ? types_->confined : out_.confined;
    if (!file_.open(path_, from_, why, confined ? from_ : nullptr)) {
        xpmlog(kGroup, 1, path_.c_str(), why.c_str());
        return false;
    }
    // A load of values reads the very file read first, unchanged: the file
    // as that read was checked, or, where only its time moved (as a file
    // system may move it when the file is read), one of its owner and size
    // whose bytes are the same (checked as they are counted).
    if (loading_) {
        sameBytes_ = !(file_.opened() == types_->settled) || file_.timeMoved();
        if (sameBytes_ && !(types_->digested && file_.stamp().may_be(types_->settled))) {
            xpmlog(kGroup, 1, path_.c_str(), kChanged);
            return false;
        }
    }
    lazyOpen_ = !loading_ && static_cast<long long>(file_.size()) >= g_lazyThreshold.load();
    base_ = file_.data();
    e_ = base_ + file_.size();
    const size_t n = file_.size();
    if (n >= 3 && static_cast<unsigned char>(base_[0]) == 0xEF &&
        static_cast<unsigned char>(base_[1]) == 0xBB &&
        static_cast<unsigned char>(base_[2]) == 0xBF)
        pos_ = 3; // a UTF-8 byte order mark
    if (pos_ >= n) {
        xpmlog(kGroup, 21, path_.c_str());
        return false;
    }
    return true;
}

// Whether the file is still what was mapped; if not, says so, once. Every
// error about the file's contents asks this first: a file cut short reads as
// zeros past the cut (a NUL byte, short rows), and one written meanwhile as
// part old and part new, which are no faults of the file as it is written.
bool CsvReader::intact()
{
    std::string why;
    if (!file_.changed(why))
        return true;
    if (!saidChanged_)
        xpmlog(kGroup, 111, path_.c_str(), why.c_str());
    saidChanged_ = true;
    return false;
}

// A file whose lines end in a carriage return alone would read as one long
// row: say so instead.
bool CsvReader::check_line_ends()
{
    const size_t n = static_cast<size_t>(e_ - base_) - pos_;
    const char* start = base_ + pos_;
    if (std::memchr(start, '\n', n) != nullptr)
        return true;
    if (n < 2 || std::memchr(start, '\r', n - 1) == nullptr)
        return true;
    if (intact())
        xpmlog(kGroup, 107, path_.c_str());
    return false;
}

// Reads the header row: the variable names, trimmed.
bool CsvReader::read_header()
{
    const char* p = base_ + pos_;
    ParseError err;
    std::vector<char> value;
    for (;;) {
        Field f;
        if (!scan_field(p, e_, base_, f, err)) {
            if (intact())
                xpmlog(kGroup, err.kind == Fault::OpenQuote ? 4 : 6, path_.c_str(),
                       line_of(base_, err.offset));
            return false;
        }
        const size_t offset = static_cast<size_t>(f.s - base_);
        if (std::memchr(f.s, '\0', static_cast<size_t>(f.e - f.s)) != nullptr) {
            if (intact())
                xpmlog(kGroup, 106, path_.c_str(), line_of(base_, offset));
            return false;
        }
        value.clear();
        append_value(value, f);
        names_.push_back(vyr::trim_blanks(std::string_view(value.data(), value.size())));
        if (names_.back().size() > static_cast<size_t>(VYR_MAX_TEXT_LENGTH)) {
            if (intact())
                xpmlog(kGroup, 109, path_.c_str(), static_cast<long>(names_.size()),
                       static_cast<long>(names_.back().size()), VYR_MAX_TEXT_LENGTH);
            return false;
        }
        if (p < e_ && *p == ',') {
            ++p;
            continue;
        }
        p = after_row_end(p, e_);
        break;
    }
    pos_ = static_cast<size_t>(p - base_);
    if (names_.size() == 1 && names_[0].empty()) {
        if (intact())
            xpmlog(kGroup, 7, path_.c_str());
        return false;
    }
    ncols_ = static_cast<long>(names_.size());
    return true;
}

using vyr::upper;

// Names empty columns, and refuses a name that appears twice (in any case).
bool CsvReader::check_names()
{
    for (long c = 0; c < ncols_; ++c) {
        if (names_[c].empty()) {
            std::string gen = "VAR" + std::to_string(c + 1);
            xpmlog(kGroup, 9, path_.c_str(), c + 1, gen.c_str());
            names_[c] = gen;
        }
    }
    std::unordered_set<std::string> seen;
    seen.reserve(static_cast<size_t>(ncols_));
    for (long c = 0; c < ncols_; ++c) {
        if (!seen.insert(upper(names_[c])).second) {
            if (intact())
                xpmlog(kGroup, 8, path_.c_str(), names_[c].c_str());
            return false;
        }
    }
    if (!loading_)
        note_unusable_names();
    return true;
}

// A column whose name is not a variable name cannot be named in a program:
// say so, and suggest a name it could be given in the header row.
void CsvReader::note_unusable_names()
{
    int noted = 0, more = 0;
    for (long c = 0; c < ncols_; ++c) {
        const std::string& name = names_[c];
        if (valid_variable_name(name))
            continue;
        if (noted == kNamedNotes) {
            ++more;
            continue;
        }
        ++noted;
        std::string shown = name.size() > 64 ? name.substr(0, 64) + "..." : name;
        xpmlog(kGroup, 108, path_.c_str(), c + 1, shown.c_str(),
               suggest_variable_name(name).c_str());
    }
    if (more > 0)
        xpmlog(kGroup, 110, path_.c_str(), static_cast<long>(more));
}

// Labels, formats, types and lengths from the attribute file.
void CsvReader::apply_attributes()
{
    out_.cols.clear();
    out_.cols.resize(static_cast<size_t>(ncols_));
    plan_.assign(static_cast<size_t>(ncols_), ColumnPlan{});
    std::unordered_map<std::string, long> index;
    index.reserve(static_cast<size_t>(ncols_));
    for (long c = 0; c < ncols_; ++c) {
        out_.cols[c].name = names_[c];
        index.emplace(upper(names_[c]), c);
    }
    out_.label = sidecar_.label;
    for (const VarAttr& a : sidecar_.vars) {
        auto it = index.find(upper(a.name));
        if (it == index.end()) {
            xpmlog(kGroup, 19, sidecar_path(path_).c_str(), a.name.c_str(), path_.c_str());
            continue;
        }
        Column& col = out_.cols[it->second];
        col.label = a.label;
        col.format = a.format;
        plan_[it->second].declared = a.type;
        plan_[it->second].declen = a.length;
    }
}

// Which columns are read, and how. When the values of columns are read
// after a lazy open, their types are those found then.
bool CsvReader::plan_columns()
{
    if (loading_ && types_->cols.size() != static_cast<size_t>(ncols_)) {
        if (intact())
            xpmlog(kGroup, 1, path_.c_str(), kChanged);
        return false;
    }
    for (long c = 0; c < ncols_; ++c) {
        ColumnPlan& cp = plan_[c];
        if (loading_)
            cp.declared = types_->cols[c].numeric ? 1 : 2;
        if (loading_)
            cp.keep = (*select_)[c] != 0;
        else if (expected_ != nullptr)
            cp.keep = expected_->count(upper(names_[c])) > 0;
        else
            cp.keep = !lazyOpen_;
        cp.read = !loading_ || cp.keep;
        partial_ = partial_ || (!loading_ && !cp.keep);
    }
    return true;
}

// Whether the read may leave some column's values in the file (as
// plan_columns decides; a column without a name, named later, is taken as
// one), for a later load to read.
bool CsvReader::may_leave_values() const
{
    if (loading_ || expected_ == nullptr)
        return lazyOpen_;
    for (long c = 0; c < ncols_; ++c)
        if (names_[c].empty() || expected_->count(upper(names_[c])) == 0)
            return true;
    return false;
}

// Cuts the data part into windows, one per thread for a large file.
void CsvReader::plan_windows()
{
    const size_t n = static_cast<size_t>(e_ - base_);
    const size_t dataLen = n - pos_;
    const int k = dataLen < g_parallelFrom.load() ? 1
                  : g_windows.load() > 0          ? g_windows.load()
                                                  : worker_count();
    windows_.assign(static_cast<size_t>(k), Window{});
    std::vector<size_t> w(static_cast<size_t>(k) + 1);
    w[0] = pos_;
    for (int i = 1; i < k; ++i)
        w[i] = pos_ + dataLen * static_cast<size_t>(i) / static_cast<size_t>(k) - 1;
    w[k] = n;
    for (int i = 1; i <= k; ++i)
        w[i] = std::max(w[i], w[i - 1]);
    for (int i = 0; i < k; ++i) {
        windows_[i].w0 = w[i];
        windows_[i].w1 = w[i + 1];
    }
}

// Counts each window's quotes and unquoted newlines (and looks for NUL
// bytes), then derives the quote state at each window's start and the rows
// that start in it.
void CsvReader::count_rows()
{
    // The digest of the file's bytes, in the same pass: where the attribute
    // file names a CSV file (of this size); where values may be left in the
    // file, so that a later load that finds the file's time moved (a sync
    // tool touching it) tells by its bytes whether it is the file read; and
    // where the time moved. Each window hashes the blocks that start in it
    // (the first window also those of the header row), so every block is
    // hashed once, whatever the windows.
    const size_t n = static_cast<size_t>(e_ - base_);
    const bool digest =
        (!loading_ && sidecar_.namesCsv) || may_leave_values() || file_.timeMoved() || sameBytes_;
    std::vector<uint64_t> blocks(digest ? (n + kDigestBlock - 1) / kDigestBlock : 0);
    vyr::parallel_for(windows_.size(), [&](size_t i) {
        Window& w = windows_[i];
        if (digest) {
            const size_t lo = i == 0 ? 0 : w.w0, hi = i + 1 == windows_.size() ? n : w.w1;
            for (size_t b = (lo + kDigestBlock - 1) / kDigestBlock; b * kDigestBlock < hi; ++b)
                blocks[b] = digest_block(base_ + b * kDigestBlock,
                                         std::min(kDigestBlock, n - b * kDigestBlock));
        }
        const char* p = base_ + w.w0;
        const char* end = base_ + w.w1;
        if (const void* nul = std::memchr(p, '\0', static_cast<size_t>(end - p)))
            w.err.set(Fault::NulByte, static_cast<size_t>(static_cast<const char*>(nul) - base_));
        if (std::memchr(p, '"', static_cast<size_t>(end - p)) == nullptr) {
            // No quotes (the usual case): every newline but a final one ends a
            // row, unless the window lies inside one quoted field.
            const char* stop = std::max(p, end < e_ ? end : e_ - 1);
            w.nl[0] = static_cast<long>(std::count(p, stop, '\n'));
            return;
        }
        size_t q = 0;
        long nl[2] = {0, 0};
        for (; p < end; ++p) {
            if (*p == '"')
                ++q;
            else if (*p == '\n' && p + 1 < e_)
                ++nl[q & 1]; // parity 0: the same state as at the window's start
        }
        w.quotes = q;
        w.nl[0] = nl[0];
        w.nl[1] = nl[1];
    });
    if (digest) {
        DigestFold fold;
        for (uint64_t b : blocks)
            fold.add(b);
        out_.digested = true;
        out_.digest = fold.finish(n);
    }
    size_t q = 0;
    for (size_t i = 0; i < windows_.size(); ++i) {
        Window& w = windows_[i];
        w.inside = (q & 1) != 0;
        // The unquoted newlines are those met at even parity when the window
        // starts outside quotes, at odd parity when it starts inside.
        w.rows = w.inside ? w.nl[1] : w.nl[0];
        if (i == 0 && base_ + pos_ < e_)
            w.rows += 1;
        w.first_row = totalRows_;
        totalRows_ += w.rows;
        q += w.quotes;
    }
}

// Parses every window's rows in parallel.
void CsvReader::parse_windows()
{
    for (long c = 0; c < ncols_; ++c)
        if (plan_[c].keep && plan_[c].declared != 2)
            out_.cols[c].num.reset(new double[static_cast<size_t>(std::max(totalRows_, 1L))]);
    bool nul = false;
    for (const Window& w : windows_)
        nul = nul || w.err.kind == Fault::NulByte;
    if (nul)
        return; // reported as it is: the rows around it mean nothing
    vyr::parallel_for(windows_.size(), [&](size_t i) { parse_window(windows_[i], nullptr); });
    // Each window's rows must end where the next window's first row starts
    // (windows without a row start between them); a mismatch can only come
    // from broken quoting.
    Window* prev = nullptr;
    for (Window& w : windows_) {
        if (w.rows == 0)
            continue;
        if (prev != nullptr && prev->err.kind == Fault::None && w.err.kind == Fault::None &&
            prev->end_pos != w.first_start)
            prev->err.set(Fault::StrayQuote, std::min(prev->end_pos, w.first_start));
        prev = &w;
    }
    // And the last rows end at the end of the file.
    if (prev != nullptr && prev->err.kind == Fault::None &&
        prev->end_pos != static_cast<size_t>(e_ - base_))
        prev->err.set(Fault::StrayQuote, prev->end_pos);
}

// Where the first row of a window starts: after the window's first unquoted
// newline (the first window: where the data part starts). A window that has
// rows holds such a newline, unless its bytes changed since they were
// counted (a file cut short reads as zeros): its rows then start at its end,
// never past the end of the file.
const char* CsvReader::first_row_start(const Window& w) const
{
    if (&w == &windows_.front())
        return base_ + pos_;
    bool inside = w.inside;
    const char* q = base_ + w.w0;
    const char* end = base_ + w.w1;
    for (; q < end; ++q) {
        if (*q == '"')
            inside = !inside;
        else if (*q == '\n' && !inside)
            break;
    }
    return q < end ? q + 1 : end;
}

// Sets what a window does with each column: `mode` and `dst` (where numbers
// go) for the field loop. The first pass starts every column read; a rescan
// starts again, from the first row, the texts of the columns in `only`.
void CsvReader::start_columns(Window& w, const std::vector<char>* only, std::vector<Mode>& mode,
                              std::vector<double*>& dst) const
{
    mode.assign(static_cast<size_t>(ncols_), Mode::Skip);
    dst.assign(static_cast<size_t>(ncols_), nullptr);
    if (only == nullptr)
        w.cols.assign(static_cast<size_t>(ncols_), WindowColumn{});
    for (long c = 0; c < ncols_; ++c) {
        WindowColumn& wc = w.cols[c];
        const ColumnPlan& cp = plan_[c];
        if (only == nullptr) {
            wc.mode = !cp.read ? Mode::Skip : cp.declared == 2 ? Mode::Text : Mode::Number;
            wc.textFromStart = wc.mode == Mode::Text;
            mode[c] = wc.mode;
            dst[c] = out_.cols[c].num.get();
        } else if ((*only)[c]) {
            mode[c] = Mode::Text;
            wc.blob.clear();
            wc.len.clear();
            wc.maxlen = 0;
            wc.textFromStart = true;
        }
    }
}

// A field of a column that parses numbers and was not a plain decimal: the
// general parse. True when it was a number (stored); false when it is text,
// and then the column turns character in this window, or (declared numeric)
// the error is set.
bool CsvReader::general_number(Window& w, long f, long row, const Field& fld, double* dst)
{
    double v;
    const bool innerQuote =
        fld.quoted && std::memchr(fld.s, '"', static_cast<size_t>(fld.e - fld.s)) != nullptr;
    const Reading r = innerQuote ? Reading::NotNumber : read_number(fld.s, fld.e, v);
    WindowColumn& wc = w.cols[f];
    if (r == Reading::NaWord && wc.firstNaWord == SIZE_MAX)
        wc.firstNaWord = static_cast<size_t>(fld.s - base_);
    if (r != Reading::NotNumber) {
        if (dst != nullptr)
            dst[row] = v;
        return true;
    }
    if (plan_[f].declared == 1) {
        w.err.set(Fault::NotNumeric, static_cast<size_t>(fld.s - base_));
        w.err.column = f;
        w.err.text = value_text(fld, 40);
        return false;
    }
    wc.firstNonNumber = static_cast<size_t>(fld.s - base_);
    wc.mode = Mode::Text;
    wc.textFromStart = row == w.first_row;
    return false;
}

// Keeps a character value (or only its length when the values stay in the
// file). False, with the error set, when it is over the length limit.
bool CsvReader::keep_text(Window& w, long f, const Field& fld)
{
    WindowColumn& wc = w.cols[f];
    const size_t len = value_length(fld);
    if (len > static_cast<size_t>(VYR_MAX_TEXT_LENGTH)) {
        w.err.set(Fault::ValueTooLong, static_cast<size_t>(fld.s - base_));
        w.err.column = f;
        w.err.length = len;
        return false;
    }
    if (plan_[f].keep) {
        append_value(wc.blob, fld);
        wc.len.push_back(static_cast<uint32_t>(len));
    }
    wc.maxlen = std::max(wc.maxlen, len);
    return true;
}

// Parses the rows of one window: numbers into their columns, texts into the
// window's buffers. With `only`, a rescan: the texts of those columns again,
// from the first row. False when an error was found (it is in w.err).
bool CsvReader::parse_window(Window& w, const std::vector<char>* only)
{
    std::vector<Mode> mode;
    std::vector<double*> dst;
    start_columns(w, only, mode, dst);
    if (w.rows == 0)
        return true;
    const char* p = only != nullptr ? base_ + w.first_start : first_row_start(w);
    if (only == nullptr)
        w.first_start = static_cast<size_t>(p - base_);
    long row = w.first_row; // the row being stored
    const long last = w.first_row + w.rows;
    for (long seen = w.first_row; seen < last; ++seen) {
        if (ncols_ > 1 && blank_row(p, e_)) {
            p = after_blank_row(p, e_);
            continue;
        }
        const char* rowStart = p;
        long f = 0;
        for (;; ++f) {
            const Mode m = f < ncols_ ? mode[f] : Mode::Skip;
            // A plain decimal takes the quick road: parsed as it is scanned.
            if (m == Mode::Number && p < e_ && *p != '"') {
                double v;
                if (const char* end = quick_number(p, e_, v)) {
                    if (dst[f] != nullptr)
                        dst[f][row] = v;
                    p = end;
                    if (p < e_ && *p == ',') {
                        ++p;
                        continue;
                    }
                    break;
                }
            }
            Field fld;
            if (!scan_field(p, e_, base_, fld, w.err))
                return false;
            bool text = m == Mode::Text;
            if (m == Mode::Number && !general_number(w, f, row, fld, dst[f])) {
                if (w.err.kind != Fault::None)
                    return false;
                mode[f] = Mode::Text; // the column is character: keep its texts from here on
                text = true;
            }
            if (text && !keep_text(w, f, fld))
                return false;
            if (p < e_ && *p == ',') {
                ++p;
                continue;
            }
            break;
        }
        if (f + 1 != ncols_) {
            w.err.set(Fault::FieldCount, static_cast<size_t>(rowStart - base_));
            w.err.fields = f + 1;
            return false;
        }
        p = after_row_end(p, e_);
        ++row;
    }
    if (only == nullptr) {
        w.written = row - w.first_row;
        w.end_pos = static_cast<size_t>(p - base_);
    }
    return true;
}

// Reports the first error in file order, with its line.
bool CsvReader::report_first_error()
{
    const ParseError* first = nullptr;
    for (const Window& w : windows_)
        if (w.err.kind != Fault::None && (first == nullptr || w.err.offset < first->offset))
            first = &w.err;
    if (first == nullptr)
        return true;
    if (!intact())
        return false;
    const long line = line_of(base_, first->offset);
    const char* file = path_.c_str();
    switch (first->kind) {
    case Fault::OpenQuote:
        xpmlog(kGroup, 4, file, line);
        break;
    case Fault::FieldCount:
        xpmlog(kGroup, 5, file, line, first->fields, ncols_);
        break;
    case Fault::NotNumeric:
        xpmlog(kGroup, 18, file, line, first->text.c_str(), names_[first->column].c_str());
        break;
    case Fault::ValueTooLong:
        xpmlog(kGroup, 105, file, line, first->column + 1, names_[first->column].c_str(),
               static_cast<long>(first->length), VYR_MAX_TEXT_LENGTH);
        break;
    case Fault::NulByte:
        xpmlog(kGroup, 106, file, line);
        break;
    default:
        xpmlog(kGroup, 6, file, line);
        break;
    }
    return false;
}

// Blank rows were skipped: move each window's numbers up to close the gaps.
void CsvReader::close_blank_row_gaps()
{
    dest_.assign(windows_.size(), 0);
    nobs_ = 0;
    for (size_t i = 0; i < windows_.size(); ++i) {
        dest_[i] = nobs_;
        nobs_ += windows_[i].written;
    }
    if (nobs_ == totalRows_)
        return;
    for (long c = 0; c < ncols_; ++c) {
        double* d = out_.cols[c].num.get();
        if (d == nullptr)
            continue;
        for (size_t i = 0; i < windows_.size(); ++i)
            if (dest_[i] != windows_[i].first_row && windows_[i].written > 0)
                std::memmove(d + dest_[i], d + windows_[i].first_row,
                             static_cast<size_t>(windows_[i].written) * sizeof(double));
    }
}

// The words other software writes for a missing value. A column turned
// character by one of them is the usual surprise with exported files: the
// note says which value did it, so that the user can write "." or leave the
// field empty. ("NA" and "NaN" are read as missing values already.)
// Returns why the column is character: the value that made it so, and its
// line (kept with the column, for a message that needs a number there).
std::string note_foreign_missing(const std::string& path, const char* base, size_t offset,
                                 const char* e, const std::string& column)
{
    // The offset is where the value starts: just inside the opening quote
    // of a quoted field (an unquoted field never follows a quote).
    const char* p = base + offset;
    if (offset > 0 && base[offset - 1] == '"')
        --p;
    Field f;
    ParseError err;
    std::string value;
    if (scan_field(p, e, base, f, err))
        value = value_text(f, SIZE_MAX);
    const long line = line_of(base, offset);
    const std::string up = upper(value);
    static const char* const words[] = {"N/A", "NULL", "NONE", "#N/A", "-"};
    for (const char* w : words)
        if (up == w) {
            xpmlog(kGroup, 24, path.c_str(), column.c_str(), value.c_str(), line);
            break;
        }
    if (value.size() > 40)
        value = value.substr(0, 40) + "...";
    // A number beyond the largest double (1e999) or an infinity reads as no
    // number: said so, as that is the surprise.
    std::string what = "is not a number";
    char* stop = nullptr;
    errno = 0;
    const double d = std::strtod(value.c_str(), &stop);
    if (!value.empty() && stop && *stop == '\0' && (errno == ERANGE || std::isinf(d)))
        what = std::isinf(d) && errno != ERANGE ? "is an infinity, which is not read as a number"
                                                : "is beyond the largest number, 1.8E308";
    return "the value \"" + value + "\" on line " + std::to_string(line) + " of " + path + " " +
           what;
}

// Settles each column's type: character when declared so, or when a window
// met a value that is no number. A numeric column that held NA or NaN gets
// a note saying they were read as missing values.
void CsvReader::settle_types()
{
    isText_.assign(static_cast<size_t>(ncols_), 0);
    for (long c = 0; c < ncols_; ++c) {
        Column& col = out_.cols[c];
        const ColumnPlan& cp = plan_[c];
        size_t firstText = SIZE_MAX, firstNa = SIZE_MAX;
        for (const Window& w : windows_) {
            if (w.cols.empty())
                continue;
            firstText = std::min(firstText, w.cols[c].firstNonNumber);
            firstNa = std::min(firstNa, w.cols[c].firstNaWord);
        }
        const bool text = cp.declared == 2 || (cp.declared == 0 && firstText != SIZE_MAX);
        isText_[c] = text;
        if (text) {
            if (cp.declared == 0 && !loading_)
                col.whyText = note_foreign_missing(path_, base_, firstText, e_, names_[c]);
            else if (cp.declared == 2)
                col.whyText = "its attribute file declares it character";
            col.numeric = false;
            col.num.reset();
        } else {
            col.numeric = true;
            col.length = 8;
            if (firstNa != SIZE_MAX && !loading_)
                xpmlog(kGroup, 104, path_.c_str(), names_[c].c_str(), line_of(base_, firstNa));
        }
    }
}

// Reads again, window by window, the texts of the character columns that a
// window parsed as numbers before it met their first text.
void CsvReader::rescan_windows()
{
    vyr::parallel_for(windows_.size(), [&](size_t i) {
        Window& w = windows_[i];
        if (w.written == 0)
            return;
        std::vector<char> only(static_cast<size_t>(ncols_), 0);
        bool any = false;
        for (long c = 0; c < ncols_; ++c)
            if (isText_[c] && plan_[c].read && !w.cols[c].textFromStart)
                only[c] = any = true;
        if (any)
            parse_window(w, &only);
    });
}

// Joins the windows' texts into each character column: its bytes and the
// offsets of its values (four bytes each while the texts allow it), and its
// length (the longest value, at least 1 and at least the declared length).
void CsvReader::join_texts()
{
    std::vector<long> textCols;
    for (long c = 0; c < ncols_; ++c)
        if (isText_[c] && plan_[c].read)
            textCols.push_back(c);
    const size_t nw = windows_.size();
    // Where each window's texts go in each column.
    std::vector<std::vector<size_t>> at(textCols.size(), std::vector<size_t>(nw + 1, 0));
    for (size_t j = 0; j < textCols.size(); ++j) {
        const long c = textCols[j];
        Column& col = out_.cols[c];
        size_t maxlen = 0;
        for (size_t i = 0; i < nw; ++i) {
            const WindowColumn& wc = windows_[i].cols[c];
            at[j][i + 1] = at[j][i] + wc.blob.size();
            maxlen = std::max(maxlen, wc.maxlen);
        }
        col.length =
            static_cast<int>(std::max<size_t>({maxlen, 1, static_cast<size_t>(plan_[c].declen)}));
        if (!plan_[c].keep)
            continue;
        const size_t total = at[j][nw];
        col.blob.resize(total);
        if (total <= UINT32_MAX)
            col.off32.resize(static_cast<size_t>(nobs_) + 1);
        else
            col.off.resize(static_cast<size_t>(nobs_) + 1);
        if (total <= UINT32_MAX)
            col.off32[static_cast<size_t>(nobs_)] = static_cast<uint32_t>(total);
        else
            col.off[static_cast<size_t>(nobs_)] = total;
    }
    // Copy the texts and write the offsets, every column and window at once.
    vyr::parallel_for(textCols.size() * nw, [&](size_t task) {
        const size_t j = task / nw, i = task % nw;
        const long c = textCols[j];
        if (!plan_[c].keep)
            return;
        Column& col = out_.cols[c];
        WindowColumn& wc = windows_[i].cols[c];
        if (!wc.blob.empty())
            std::memcpy(col.blob.data() + at[j][i], wc.blob.data(), wc.blob.size());
        size_t o = at[j][i];
        size_t r = static_cast<size_t>(dest_[i]);
        const bool narrow = !col.off32.empty();
        for (uint32_t len : wc.len) {
            if (narrow)
                col.off32[r++] = static_cast<uint32_t>(o);
            else
                col.off[r++] = o;
            o += len;
        }
        std::vector<char>().swap(wc.blob);
        std::vector<uint32_t>().swap(wc.len);
    });
}

// The table's row count; when values were left in the file, where they stay.
void CsvReader::finish()
{
    out_.nobs = nobs_;
    if (partial_) {
        for (long c = 0; c < ncols_; ++c)
            out_.cols[c].loaded = plan_[c].keep;
        out_.lazy = true;
        out_.path = path_;
        out_.sidecar = sidecar_;
    }
}

bool CsvReader::read()
{
    if (!map_file())
        return false;
    out_.read = file_.opened();
    out_.settled = file_.stamp();
    // An attribute file that names another CSV file than this one: nothing
    // more is read, and nothing said, for the caller to judge the pair
    // first (unless it reads it as it is). The digest is made in the pass
    // that counts the rows, before any message about the file's values or
    // attributes; of a file of another size, at once, so that the caller
    // can tell the file judged when it reads it again.
    const bool pair = !loading_ && sidecar_.namesCsv;
    if (pair && static_cast<unsigned long long>(sidecar_.csvSize) != file_.size()) {
        out_.mismatched = true;
        if (!sidecar_.readAsIs) {
            out_.digested = true;
            out_.digest = digest_bytes(base_, file_.size());
            return true;
        }
    }
    if (!check_line_ends() || !read_header())
        return false;
    plan_windows();
    count_rows();
    if (sameBytes_ && out_.digest != types_->digest) {
        if (intact())
            xpmlog(kGroup, 1, path_.c_str(), kChanged);
        return false;
    }
    if (pair && out_.digest != sidecar_.csvDigest) {
        if (!intact())
            return false;
        out_.mismatched = true;
        if (!sidecar_.readAsIs)
            return true;
    }
    if (!check_names())
        return false;
    apply_attributes();
    if (!plan_columns())
        return false;
    parse_windows();
    if (!report_first_error() || !intact())
        return false;
    close_blank_row_gaps();
    settle_types();
    // A rescan may meet a value over the length limit that looked like a number.
    rescan_windows();
    if (!report_first_error() || !intact())
        return false;
    join_texts();
    finish();
    return true;
}

// Reads a CSV file one of three ways: everything (types, lengths, values);
// for a large file, the types and lengths only (`out` then tells where its
// values are); or, with `types` (the table of such an open) and `select`,
// the values of the selected columns, which must have the types found then.
bool load_impl(const std::string& path, const HeldFolder* from, const Sidecar& sidecar, Table& out,
               const Table* types, const std::vector<char>* select,
               const std::unordered_set<std::string>* expected = nullptr)
{
    CsvReader reader(path, from, sidecar, out, types, select, expected);
    return reader.read();
}

} // namespace

// ---------------------------------------------------------------------------
// Variable names.

bool valid_variable_name(std::string_view s)
{
    if (s.empty() || s.size() > 32)
        return false;
    if (!(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_'))
        return false;
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return true;
}

std::string suggest_variable_name(std::string_view s)
{
    std::string r;
    for (char c : s) {
        if (r.size() == 32)
            break;
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '_';
        if (ok)
            r.push_back(c);
        else if (r.empty() || r.back() != '_')
            r.push_back('_');
    }
    if (r.empty() || std::isdigit(static_cast<unsigned char>(r[0])))
        r = std::string(1, '_') + r;
    if (r.size() > 32)
        r.resize(32);
    return r;
}

void set_lazy_threshold(long long bytes)
{
    g_lazyThreshold = bytes;
}

void set_parallel_threshold(size_t bytes, int windows)
{
    g_parallelFrom = bytes;
    g_windows = windows;
}

bool load_csv(const std::string& path, const Sidecar& sidecar, Table& out,
              const std::unordered_set<std::string>* expected, const HeldFolder* from)
{
    return load_impl(path, from, sidecar, out, nullptr, nullptr, expected);
}

namespace
{

// Reads the selected columns' values into the table; false after logging
// an error naming the file.
bool load_selected(Table& t, const std::vector<char>& select)
{
    Table got;
    {
        // The folder walked afresh, as the first read walked it, and held
        // for this read alone; the file read must be the very one read
        // then (its stamp).
        std::string why;
        const std::string folder = folder_of(t.path);
        const HeldRef in = step_folder(folder, false, why);
        if (in == nullptr) {
            xpmlog(kGroup, 1, t.path.c_str(), why.c_str());
            return false;
        }
        if (!load_impl(t.path, in.get(), t.sidecar, got, &t, &select))
            return false;
    }
    if (got.nobs != t.nobs || got.cols.size() != t.cols.size()) {
        xpmlog(kGroup, 1, t.path.c_str(), kChanged);
        return false;
    }
    for (size_t c = 0; c < t.cols.size(); ++c) {
        if (!select[c])
            continue;
        Column& to = t.cols[c];
        Column& from = got.cols[c];
        if (to.numeric != from.numeric) {
            xpmlog(kGroup, 1, t.path.c_str(), kChanged);
            return false;
        }
        to.num = std::move(from.num);
        to.blob = std::move(from.blob);
        to.off = std::move(from.off);
        to.off32 = std::move(from.off32);
        to.loaded = true;
    }
    return true;
}

} // namespace

bool load_columns(Table& t, int also)
{
    if (!t.lazy)
        return true;
    // Said once: the file is not read again for each value asked for.
    if (t.unreadable)
        return false;
    std::vector<char> select(t.cols.size(), 0);
    bool any = false;
    for (size_t c = 0; c < t.cols.size(); ++c)
        if (!t.cols[c].loaded && (t.cols[c].wanted || static_cast<int>(c) == also))
            select[c] = any = true;
    if (!any)
        return true;
    t.unreadable = !load_selected(t, select);
    return !t.unreadable;
}

const Column* loaded_column(Table& t, int varnum)
{
    if (varnum < 1 || varnum > static_cast<int>(t.cols.size()))
        return nullptr;
    Column& c = t.cols[static_cast<size_t>(varnum) - 1];
    if (!c.loaded && !load_columns(t, varnum - 1))
        return nullptr;
    return &c;
}

// ---------------------------------------------------------------------------
// Writing values as CSV fields.

void append_number(std::string& out, double v)
{
    if (wzmis(v)) {
        unsigned char b = korv_missing_byte5(v);
        if (b == 0xFF)
            out += "._";
        else if (b <= 0xFD && b >= 0xFD - 25) {
            out += '.';
            out += static_cast<char>('A' + (0xFD - b));
        } else
            out += '.';
        return;
    }
    if (std::isnan(v) || std::isinf(v)) {
        out += '.'; // not representable as data: written as missing
        return;
    }
    if (v == 0)
        v = 0; // no "-0"
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_text_field(std::string& out, std::string_view v)
{
    bool quote = false;
    for (char c : v)
        if (c == ',' || c == '"' || c == '\n' || c == '\r') {
            quote = true;
            break;
        }
    if (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        quote = true;
    if (!quote) {
        out.append(v);
        return;
    }
    out += '"';
    for (char c : v) {
        out += c;
        if (c == '"')
            out += '"';
    }
    out += '"';
}

} // namespace vyr::data
