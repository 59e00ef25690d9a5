// Reading CSV files (RFC 4180, UTF-8, header row) into columns, in parallel,
// and the sidecar attribute files beside them.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <strings.h>

#include "data_internal.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_pool.h"

namespace vyr::data
{

int worker_count()
{
    return static_cast<int>(std::min(vyr::pool_width(), 16u));
}

namespace
{

// A file's bytes, mapped read-only (or empty).
class MappedFile
{
  public:
    bool open(const std::string& path, std::string& why)
    {
        fd_ = ::open(path.c_str(), O_RDONLY);
        if (fd_ < 0) {
            why = std::strerror(errno);
            return false;
        }
        struct stat st;
        if (fstat(fd_, &st) != 0) {
            why = std::strerror(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            why = "it is a folder";
            return false;
        }
        size_ = static_cast<size_t>(st.st_size);
        time_ = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        if (size_ == 0)
            return true;
        void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (p == MAP_FAILED) {
            why = std::strerror(errno);
            return false;
        }
        data_ = static_cast<const char*>(p);
        madvise(p, size_, MADV_WILLNEED);
        return true;
    }
    ~MappedFile()
    {
        if (data_)
            munmap(const_cast<char*>(data_), size_);
        if (fd_ >= 0)
            ::close(fd_);
    }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    long long time() const { return time_; }

  private:
    long long time_ = 0;
    int fd_ = -1;
    const char* data_ = nullptr;
    size_t size_ = 0;
};

long line_of(const char* base, size_t offset)
{
    return 1 + static_cast<long>(std::count(base, base + offset, '\n'));
}

// Parses a numeric field: true with the value (a missing value for empty
// text and the missing tokens), false when the text is not a number.
inline bool parse_number(const char* s, const char* e, double& out)
{
    while (s < e && (*s == ' ' || *s == '\t'))
        ++s;
    while (e > s && (e[-1] == ' ' || e[-1] == '\t'))
        --e;
    if (s == e) {
        out = korv_missing();
        return true;
    }
    if (*s == '.') {
        if (e - s == 1) {
            out = korv_missing();
            return true;
        }
        if (e - s == 2) {
            char c = s[1];
            if (c == '_') {
                out = korv_special_missing(0xFF);
                return true;
            }
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            if (c >= 'A' && c <= 'Z') {
                out = korv_special_missing(static_cast<unsigned char>(0xFD - (c - 'A')));
                return true;
            }
        }
    }
    const char* p = s;
    if (*p == '+')
        ++p;
    const char* q = p;
    if (q < e && *q == '-')
        ++q;
    // Only digits or a decimal point may start a number ("inf", "nan" are text).
    if (q >= e || !((*q >= '0' && *q <= '9') || *q == '.'))
        return false;
    if (p != s && *p == '-')
        return false; // "+-1"
    {
        // Plain decimals of at most 15 digits (the usual case): the digits
        // are an exact integer and the power of ten is exact, so one division
        // gives the correctly rounded value, the same as the full parse.
        static const double kPow10[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        const char* r = p;
        const bool neg = *r == '-';
        if (neg)
            ++r;
        uint64_t m = 0;
        int digits = 0, frac = 0;
        bool dot = false, plain = true;
        for (; r < e; ++r) {
            const char ch = *r;
            if (ch >= '0' && ch <= '9') {
                if (++digits > 15) {
                    plain = false;
                    break;
                }
                m = m * 10 + static_cast<uint64_t>(ch - '0');
                frac += dot ? 1 : 0;
            } else if (ch == '.' && !dot) {
                dot = true;
            } else {
                plain = false;
                break;
            }
        }
        // A digit before the point and one after it when there is a point.
        if (plain && digits > frac && (!dot || frac > 0)) {
            double v = static_cast<double>(m);
            if (frac > 0)
                v /= kPow10[frac];
            out = neg ? -v : v;
            return true;
        }
    }
    auto r = std::from_chars(p, e, out, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != e) {
        if (r.ec == std::errc::result_out_of_range && r.ptr == e)
            return false;
        return false;
    }
    return true;
}

// Unescapes a quoted field body (between the quotes) into out.
void unescape(const char* s, const char* e, std::string& out)
{
    out.clear();
    for (const char* p = s; p < e; ++p) {
        out.push_back(*p);
        if (*p == '"' && p + 1 < e && p[1] == '"')
            ++p;
    }
}

// Error found while parsing a chunk.
struct ParseError {
    int kind = 0;      // 0 none, 4 unterminated quote, 5 field count, 6 stray quote,
                       // 18 not a number under a numeric declaration
    size_t offset = 0; // where in the file
    long fields = 0;   // kind 5
    int column = 0;    // kind 18
    std::string text;  // kind 18
};

// Scans one field starting at p (row data up to end of file e). On return
// fs/fe delimit the raw field text (without quotes), quoted tells whether it
// was quoted, and p points at the delimiter, the newline, or e. Returns false
// on a quoting error (err filled).
inline bool scan_field(const char*& p, const char* e, const char* base, const char*& fs,
                       const char*& fe, bool& quoted, ParseError& err)
{
    if (p < e && *p == '"') {
        quoted = true;
        const char* start = p;
        ++p;
        fs = p;
        for (;;) {
            const char* q =
                static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(e - p)));
            if (q == nullptr) {
                err.kind = 4;
                err.offset = static_cast<size_t>(start - base);
                return false;
            }
            if (q + 1 < e && q[1] == '"') {
                p = q + 2;
                continue;
            }
            fe = q;
            p = q + 1;
            break;
        }
        if (p < e && *p != ',' && *p != '\n' && !(*p == '\r' && (p + 1 == e || p[1] == '\n'))) {
            err.kind = 6;
            err.offset = static_cast<size_t>(p - base);
            return false;
        }
        return true;
    }
    quoted = false;
    fs = p;
    while (p < e && *p != ',' && *p != '\n') {
        if (*p == '"') {
            err.kind = 6;
            err.offset = static_cast<size_t>(p - base);
            return false;
        }
        ++p;
    }
    fe = p;
    if (fe > fs && fe[-1] == '\r' && (p == e || *p == '\n'))
        --fe;
    return true;
}

struct ChunkPlan {
    size_t w0 = 0, w1 = 0; // window [w0, w1)
    size_t quotes = 0;
    long nl[2] = {0, 0};    // unquoted newlines with the window starting outside/inside
    bool inside = false;    // quote state at w0
    long rows = 0;          // rows starting in the window
    long first_row = 0;     // global index of its first row
    size_t first_start = 0; // offset of its first row start (when rows > 0)
    size_t end_pos = 0;     // offset just after its last row
    long written = 0;       // rows actually stored (blank rows skipped)
    ParseError err;
    std::vector<char> nonnum; // per column: a value that is no number was seen
    std::vector<size_t> nonnumAt; // per column: offset of the first such value
};

// Runs f(i) for i in [0, n) on the host's thread pool.
template <typename F> void parallel_for(int n, F f)
{
    vyr::parallel_for(static_cast<size_t>(std::max(n, 0)),
                      [&f](size_t i) { f(static_cast<int>(i)); });
}

// Is the row starting at p blank (nothing but an optional CR before the
// newline or the end)?
inline bool blank_row(const char* p, const char* e)
{
    if (p < e && *p == '\r')
        ++p;
    return p == e || *p == '\n';
}

} // namespace

std::string sidecar_path(const std::string& csv_path)
{
    std::string p = csv_path;
    if (p.size() >= 4) {
        std::string ext = p.substr(p.size() - 4);
        for (char& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext == ".csv")
            return p.substr(0, p.size() - 4) + ".attr";
    }
    return p + ".attr";
}

std::string sidecar_quote(const std::string& v)
{
    bool plain = !v.empty();
    for (char c : v)
        if (c == ' ' || c == '"' || c == '=' || c == '\t' || c == '#')
            plain = false;
    if (plain)
        return v;
    std::string r = "\"";
    for (char c : v) {
        if (c == '\n' || c == '\r')
            c = ' ';
        r.push_back(c);
        if (c == '"')
            r.push_back('"');
    }
    r.push_back('"');
    return r;
}

bool read_sidecar(const std::string& path, Sidecar& out)
{
    out = Sidecar{};
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return true; // no sidecar: no attributes
    out.present = true;
    std::string line;
    int lineno = 0;
    auto fail = [&](const std::string& why) {
        xpmlog(kGroup, 11, path.c_str(), lineno, why.c_str());
        return false;
    };
    while (std::getline(in, line)) {
        ++lineno;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Tokens: words and key=value pairs; values may be double-quoted.
        std::vector<std::pair<std::string, std::string>> toks; // (key, value); word: value only
        size_t i = 0;
        bool bad = false;
        std::string why;
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
                ++i;
            if (i >= line.size() || line[i] == '#')
                break;
            std::string key;
            size_t j = i;
            while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '=' &&
                   line[j] != '"')
                ++j;
            key = line.substr(i, j - i);
            i = j;
            if (i < line.size() && line[i] == '=') {
                ++i;
                std::string val;
                if (i < line.size() && line[i] == '"') {
                    ++i;
                    bool closed = false;
                    while (i < line.size()) {
                        if (line[i] == '"') {
                            if (i + 1 < line.size() && line[i + 1] == '"') {
                                val.push_back('"');
                                i += 2;
                                continue;
                            }
                            ++i;
                            closed = true;
                            break;
                        }
                        val.push_back(line[i++]);
                    }
                    if (!closed) {
                        bad = true;
                        why = "a quoted value is not terminated";
                        break;
                    }
                } else {
                    size_t k = i;
                    while (k < line.size() && line[k] != ' ' && line[k] != '\t')
                        ++k;
                    val = line.substr(i, k - i);
                    i = k;
                }
                for (char& c : key)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                toks.emplace_back(key, val);
            } else if (key.empty()) {
                bad = true;
                why = "unexpected quote";
                break;
            } else {
                toks.emplace_back(std::string(), key);
            }
        }
        if (bad)
            return fail(why);
        if (toks.empty())
            continue;
        std::string kw = toks[0].second;
        for (char& c : kw)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!toks[0].first.empty())
            return fail("a line must begin with \"dataset\" or \"variable\"");
        if (kw == "dataset") {
            for (size_t t = 1; t < toks.size(); ++t) {
                if (toks[t].first == "label")
                    out.label = toks[t].second;
                else
                    return fail("unknown data set attribute \"" + toks[t].first + toks[t].second +
                                "\"");
            }
        } else if (kw == "variable") {
            if (toks.size() < 2 || !toks[1].first.empty())
                return fail("the variable name is missing");
            VarAttr a;
            a.name = toks[1].second;
            a.line = lineno;
            for (size_t t = 2; t < toks.size(); ++t) {
                const std::string& k = toks[t].first;
                const std::string& v = toks[t].second;
                if (k == "label") {
                    a.label = v;
                } else if (k == "format") {
                    vyr::fmt::FormatSpec fmtspec;
                    if (!v.empty() && !vyr::fmt::parse(v, fmtspec))
                        return fail("unknown format \"" + v + "\"");
                    a.format = v.empty() ? std::string() : vyr::fmt::text(fmtspec);
                } else if (k == "type") {
                    std::string lv = v;
                    for (char& c : lv)
                        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    if (lv == "num" || lv == "numeric")
                        a.type = 1;
                    else if (lv == "char" || lv == "character")
                        a.type = 2;
                    else
                        return fail("type must be num or char, not \"" + v + "\"");
                } else if (k == "length") {
                    int n = 0;
                    auto r = std::from_chars(v.data(), v.data() + v.size(), n);
                    if (r.ec != std::errc() || r.ptr != v.data() + v.size() || n < 1 || n > 32767)
                        return fail("length must be a whole number from 1 to 32767");
                    a.length = n;
                } else {
                    return fail("unknown variable attribute \"" + (k.empty() ? v : k) + "\"");
                }
            }
            out.vars.push_back(a);
        } else {
            return fail("a line must begin with \"dataset\" or \"variable\"");
        }
    }
    return true;
}

namespace
{
std::atomic<long long> g_lazyThreshold{64LL << 20};

// Reads a CSV file. Three ways: everything (types, lengths, values); for a
// large file, the types and lengths only (`out` then tells where its values
// are); or, with `types` (the table of such an open) and `select`, the values
// of the selected columns, which must have the types found before.
// A column turned character only because other software wrote its missing
// values as a word ("NA", "NaN", "NULL") is the usual surprise with exported
// files: say which value did it, so the user can write "." or leave it empty.
void note_foreign_missing(const std::string& path, const char* base, size_t offset,
                          const char* e, const std::string& column)
{
    const char* fs = base + offset;
    const char* fe = fs;
    while (fe < e && *fe != ',' && *fe != '\n' && *fe != '\r')
        ++fe;
    std::string value(fs, fe);
    if (!value.empty() && value.front() == '"' && value.size() >= 2 && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    std::string up;
    for (char ch : value)
        up += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    static const char* const words[] = {"NA", "N/A", "NAN", "NULL", "NONE", "#N/A", "-"};
    for (const char* w : words)
        if (up == w) {
            xpmlog(kGroup, 24, path.c_str(), column.c_str(), value.c_str(),
                   line_of(base, offset));
            return;
        }
}

bool load_impl(const std::string& path, const Sidecar& sidecar, Table& out, const Table* types,
               const std::vector<char>* select)
{
    MappedFile file;
    std::string why;
    if (!file.open(path, why)) {
        xpmlog(kGroup, 1, path.c_str(), why.c_str());
        return false;
    }
    const bool loading = types != nullptr && select != nullptr;
    const char* changed = "it changed while the data set was open";
    if (loading && (static_cast<long long>(file.size()) != types->fileSize ||
                    file.time() != types->fileTime)) {
        xpmlog(kGroup, 1, path.c_str(), changed);
        return false;
    }
    const bool lazyOpen =
        !loading && static_cast<long long>(file.size()) >= g_lazyThreshold.load();
    const char* base = file.data();
    size_t n = file.size();
    size_t pos = 0;
    if (n >= 3 && static_cast<unsigned char>(base[0]) == 0xEF &&
        static_cast<unsigned char>(base[1]) == 0xBB && static_cast<unsigned char>(base[2]) == 0xBF)
        pos = 3; // UTF-8 byte order mark
    if (pos >= n) {
        xpmlog(kGroup, 21, path.c_str());
        return false;
    }
    const char* e = base + n;

    // Header row.
    std::vector<std::string> names;
    {
        const char* p = base + pos;
        ParseError err;
        std::string tmp;
        for (;;) {
            const char *fs = nullptr, *fe = nullptr;
            bool quoted;
            if (!scan_field(p, e, base, fs, fe, quoted, err)) {
                if (err.kind == 4)
                    xpmlog(kGroup, 4, path.c_str(), line_of(base, err.offset));
                else
                    xpmlog(kGroup, 6, path.c_str(), line_of(base, err.offset));
                return false;
            }
            if (quoted)
                unescape(fs, fe, tmp);
            else
                tmp.assign(fs, fe);
            names.push_back(vyr::fmt::trim(tmp));
            if (p < e && *p == ',') {
                ++p;
                continue;
            }
            if (p < e && *p == '\r')
                ++p;
            if (p < e && *p == '\n')
                ++p;
            break;
        }
        pos = static_cast<size_t>(p - base);
    }
    if (names.size() == 1 && names[0].empty()) {
        xpmlog(kGroup, 7, path.c_str());
        return false;
    }
    const long ncols = static_cast<long>(names.size());
    for (long c = 0; c < ncols; ++c) {
        if (names[c].empty()) {
            std::string gen = "VAR" + std::to_string(c + 1);
            xpmlog(kGroup, 9, path.c_str(), c + 1, gen.c_str());
            names[c] = gen;
        }
    }
    for (long a = 0; a < ncols; ++a)
        for (long b = a + 1; b < ncols; ++b)
            if (strcasecmp(names[a].c_str(), names[b].c_str()) == 0) {
                xpmlog(kGroup, 8, path.c_str(), names[b].c_str());
                return false;
            }

    out.cols.clear();
    out.cols.resize(static_cast<size_t>(ncols));
    std::vector<int> declared(static_cast<size_t>(ncols), 0);
    std::vector<int> declen(static_cast<size_t>(ncols), 0);
    for (long c = 0; c < ncols; ++c)
        out.cols[c].name = names[c];
    out.label = sidecar.label;
    for (const VarAttr& a : sidecar.vars) {
        long c = 0;
        for (; c < ncols; ++c)
            if (strcasecmp(names[c].c_str(), a.name.c_str()) == 0)
                break;
        if (c == ncols) {
            xpmlog(kGroup, 19, sidecar_path(path).c_str(), a.name.c_str(), path.c_str());
            continue;
        }
        out.cols[c].label = a.label;
        out.cols[c].format = a.format;
        declared[c] = a.type;
        declen[c] = a.length;
    }
    if (loading) {
        // The types are those found when the data set was opened.
        if (types->cols.size() != static_cast<size_t>(ncols)) {
            xpmlog(kGroup, 1, path.c_str(), changed);
            return false;
        }
        for (long c = 0; c < ncols; ++c)
            declared[c] = types->cols[c].numeric ? 1 : 2;
    }
    // Columns whose numbers are parsed (to learn their type or to keep them)
    // and those whose values are kept.
    std::vector<char> parse(static_cast<size_t>(ncols)), keep(static_cast<size_t>(ncols));
    for (long c = 0; c < ncols; ++c) {
        keep[c] = loading ? (*select)[c] : !lazyOpen;
        parse[c] = declared[c] != 2 && (!loading || keep[c]);
    }

    // Plan the chunks: windows over the data part [pos, n).
    const size_t data_len = n - pos;
    int k = (data_len < (size_t(4) << 20)) ? 1 : worker_count();
    std::vector<ChunkPlan> plan(static_cast<size_t>(k));
    {
        std::vector<size_t> w(static_cast<size_t>(k) + 1);
        w[0] = pos;
        for (int i = 1; i < k; ++i)
            w[i] = pos + data_len * static_cast<size_t>(i) / static_cast<size_t>(k) - 1;
        w[k] = n;
        for (int i = 1; i <= k; ++i)
            w[i] = std::max(w[i], w[i - 1]);
        for (int i = 0; i < k; ++i) {
            plan[i].w0 = w[i];
            plan[i].w1 = w[i + 1];
        }
    }
    // Pass A: quotes and unquoted newlines under both start states.
    parallel_for(k, [&](int i) {
        ChunkPlan& c = plan[static_cast<size_t>(i)];
        size_t q = 0;
        long nl[2] = {0, 0};
        const char* p = base + c.w0;
        const char* end = base + c.w1;
        if (std::memchr(p, '"', static_cast<size_t>(end - p)) == nullptr) {
            // No quotes (the usual case): every newline ends a row.
            const char* stop = end < e ? end : e - 1;
            if (stop < p)
                stop = p;
            c.nl[0] = c.nl[1] = static_cast<long>(std::count(p, stop, '\n'));
            c.quotes = 0;
            return;
        }
        for (; p < end; ++p) {
            char ch = *p;
            if (ch == '"')
                ++q;
            else if (ch == '\n' && p + 1 < e)
                ++nl[q & 1]; // parity 0: same state as at the window start
        }
        c.quotes = q;
        c.nl[0] = nl[0];
        c.nl[1] = nl[1];
    });
    long total_rows = 0;
    {
        size_t q = 0;
        for (int i = 0; i < k; ++i) {
            ChunkPlan& c = plan[static_cast<size_t>(i)];
            c.inside = (q & 1) != 0;
            // Unquoted newlines: those met at even parity when starting outside,
            // at odd parity when starting inside.
            c.rows = c.inside ? c.nl[1] : c.nl[0];
            if (i == 0 && pos < n)
                c.rows += 1;
            c.first_row = total_rows;
            total_rows += c.rows;
            q += c.quotes;
        }
    }

    for (long c = 0; c < ncols; ++c) {
        Column& col = out.cols[c];
        if (parse[c] && keep[c])
            col.num.reset(new double[static_cast<size_t>(std::max(total_rows, 1L))]);
    }

    // Pass B: parse the rows of each window; numbers straight into the columns.
    parallel_for(k, [&](int i) {
        ChunkPlan& cp = plan[static_cast<size_t>(i)];
        cp.nonnum.assign(static_cast<size_t>(ncols), 0);
        cp.nonnumAt.assign(static_cast<size_t>(ncols), 0);
        if (cp.rows == 0)
            return;
        // First row start.
        const char* p;
        if (i == 0) {
            p = base + pos;
        } else {
            bool inside = cp.inside;
            const char* q = base + cp.w0;
            const char* end = base + cp.w1;
            for (; q < end; ++q) {
                if (*q == '"')
                    inside = !inside;
                else if (*q == '\n' && !inside)
                    break;
            }
            p = q + 1;
        }
        cp.first_start = static_cast<size_t>(p - base);
        long row = cp.first_row;
        std::vector<double*> dst(static_cast<size_t>(ncols));
        for (long c = 0; c < ncols; ++c)
            dst[c] = out.cols[c].num ? out.cols[c].num.get() : nullptr;
        std::string tmp;
        long seen = 0;
        while (seen < cp.rows) {
            ++seen;
            if (ncols > 1 && blank_row(p, e)) {
                while (p < e && *p != '\n')
                    ++p;
                if (p < e)
                    ++p;
                continue;
            }
            long f = 0;
            for (;;) {
                const char *fs = nullptr, *fe = nullptr;
                bool quoted;
                if (!scan_field(p, e, base, fs, fe, quoted, cp.err))
                    return;
                if (f < ncols && parse[f]) {
                    double v;
                    bool ok;
                    if (quoted && std::memchr(fs, '"', static_cast<size_t>(fe - fs)) != nullptr)
                        ok = false;
                    else
                        ok = parse_number(fs, fe, v);
                    if (!ok) {
                        if (declared[f] == 1) {
                            cp.err.kind = 18;
                            cp.err.offset = static_cast<size_t>(fs - base);
                            cp.err.column = static_cast<int>(f);
                            cp.err.text.assign(fs,
                                               std::min<size_t>(static_cast<size_t>(fe - fs), 40));
                            return;
                        }
                        if (!cp.nonnum[f])
                            cp.nonnumAt[f] = static_cast<size_t>(fs - base);
                        cp.nonnum[f] = 1;
                        v = korv_missing();
                    }
                    if (dst[f] != nullptr)
                        dst[f][row] = v;
                }
                ++f;
                if (p < e && *p == ',') {
                    ++p;
                    continue;
                }
                break;
            }
            if (f != ncols) {
                cp.err.kind = 5;
                cp.err.offset = static_cast<size_t>(p - base);
                // Report the line where the row starts: step back to it.
                const char* rs = p;
                while (rs > base && rs[-1] != '\n')
                    --rs;
                cp.err.offset = static_cast<size_t>(rs - base);
                cp.err.fields = f;
                return;
            }
            if (p < e && *p == '\r')
                ++p;
            if (p < e)
                ++p; // the newline
            ++row;
        }
        cp.written = row - cp.first_row;
        cp.end_pos = static_cast<size_t>(p - base);
    });
    // Each window's rows must end where the next window's first row starts;
    // a mismatch can only come from broken quoting.
    for (int i = 0; i + 1 < k; ++i) {
        ChunkPlan& a = plan[static_cast<size_t>(i)];
        ChunkPlan& b = plan[static_cast<size_t>(i) + 1];
        if (a.err.kind == 0 && b.err.kind == 0 && a.rows > 0 && b.rows > 0 &&
            a.end_pos != b.first_start) {
            a.err.kind = 6;
            a.err.offset = std::min(a.end_pos, b.first_start);
        }
    }

    // The first error in file order wins.
    const ParseError* first = nullptr;
    for (const ChunkPlan& cp : plan)
        if (cp.err.kind != 0 && (first == nullptr || cp.err.offset < first->offset))
            first = &cp.err;
    if (first != nullptr) {
        long line = line_of(base, first->offset);
        switch (first->kind) {
        case 4:
            xpmlog(kGroup, 4, path.c_str(), line);
            break;
        case 5:
            xpmlog(kGroup, 5, path.c_str(), line, first->fields, ncols);
            break;
        case 18:
            xpmlog(kGroup, 18, path.c_str(), line, first->text.c_str(),
                   names[first->column].c_str());
            break;
        default:
            xpmlog(kGroup, 6, path.c_str(), line);
            break;
        }
        return false;
    }

    // Blank rows were skipped: close the gaps they left.
    long nobs = 0;
    std::vector<long> dest(static_cast<size_t>(k));
    for (int i = 0; i < k; ++i) {
        dest[i] = nobs;
        nobs += plan[i].written;
    }
    if (nobs != total_rows) {
        for (long c = 0; c < ncols; ++c) {
            double* d = out.cols[c].num.get();
            if (d == nullptr)
                continue;
            for (int i = 0; i < k; ++i)
                if (dest[i] != plan[i].first_row && plan[i].written > 0)
                    std::memmove(d + dest[i], d + plan[i].first_row,
                                 static_cast<size_t>(plan[i].written) * sizeof(double));
        }
    }

    // Character columns: a declared one, or a column with a value that is no number.
    std::vector<long> charcols;
    for (long c = 0; c < ncols; ++c) {
        bool isChar = declared[c] == 2;
        if (!isChar && declared[c] == 0)
            for (const ChunkPlan& cp : plan)
                if (cp.nonnum[c]) {
                    if (!isChar)
                        note_foreign_missing(path, base, cp.nonnumAt[c], e, names[c]);
                    isChar = true;
                }
        if (isChar) {
            out.cols[c].numeric = false;
            out.cols[c].num.reset();
            if (!loading || keep[c])
                charcols.push_back(c);
        } else {
            out.cols[c].numeric = true;
            out.cols[c].length = 8;
        }
    }
    if (!charcols.empty()) {
        // Pass C: the texts of the character columns, per window (or only
        // their lengths when the values stay in the file).
        const bool keepText = !lazyOpen;
        const size_t nc = charcols.size();
        std::vector<long> colslot(static_cast<size_t>(ncols), -1);
        for (size_t j = 0; j < nc; ++j)
            colslot[charcols[j]] = static_cast<long>(j);
        struct Local {
            std::vector<std::string> blob;
            std::vector<std::vector<uint32_t>> len;
            std::vector<size_t> maxlen;
        };
        std::vector<Local> loc(static_cast<size_t>(k));
        parallel_for(k, [&](int i) {
            ChunkPlan& cp = plan[static_cast<size_t>(i)];
            Local& L = loc[static_cast<size_t>(i)];
            L.blob.assign(nc, std::string());
            L.len.assign(nc, {});
            L.maxlen.assign(nc, 0);
            if (keepText)
                for (auto& v : L.len)
                    v.reserve(static_cast<size_t>(cp.written));
            if (cp.written == 0)
                return;
            const char* p = base + cp.first_start;
            long stored = 0;
            std::string tmp;
            ParseError err;
            while (stored < cp.written) {
                if (ncols > 1 && blank_row(p, e)) {
                    while (p < e && *p != '\n')
                        ++p;
                    if (p < e)
                        ++p;
                    continue;
                }
                long f = 0;
                for (;;) {
                    const char *fs = nullptr, *fe = nullptr;
                    bool quoted;
                    scan_field(p, e, base, fs, fe, quoted, err);
                    long s = colslot[f];
                    if (s >= 0) {
                        std::string& b = L.blob[static_cast<size_t>(s)];
                        size_t len;
                        if (quoted) {
                            unescape(fs, fe, tmp);
                            len = tmp.size();
                            if (keepText)
                                b += tmp;
                        } else {
                            len = static_cast<size_t>(fe - fs);
                            if (keepText)
                                b.append(fs, fe);
                        }
                        if (keepText)
                            L.len[static_cast<size_t>(s)].push_back(static_cast<uint32_t>(len));
                        L.maxlen[static_cast<size_t>(s)] =
                            std::max(L.maxlen[static_cast<size_t>(s)], len);
                    }
                    ++f;
                    if (p < e && *p == ',') {
                        ++p;
                        continue;
                    }
                    break;
                }
                if (p < e && *p == '\r')
                    ++p;
                if (p < e)
                    ++p;
                ++stored;
            }
        });
        parallel_for(static_cast<int>(nc), [&](int j) {
            Column& col = out.cols[charcols[static_cast<size_t>(j)]];
            size_t total = 0, maxlen = 0;
            for (const Local& L : loc) {
                total += L.blob[static_cast<size_t>(j)].size();
                maxlen = std::max(maxlen, L.maxlen[static_cast<size_t>(j)]);
            }
            if (keepText) {
                // Offsets of four bytes when the texts allow it.
                const bool narrow = total <= UINT32_MAX;
                col.blob.resize(total);
                (narrow ? col.off32.resize(static_cast<size_t>(nobs) + 1)
                        : col.off.resize(static_cast<size_t>(nobs) + 1));
                size_t o = 0, r = 0;
                for (Local& L : loc) {
                    std::string& b = L.blob[static_cast<size_t>(j)];
                    if (!b.empty())
                        std::memcpy(col.blob.data() + o, b.data(), b.size());
                    std::string().swap(b);
                    for (uint32_t len : L.len[static_cast<size_t>(j)]) {
                        if (narrow)
                            col.off32[r++] = static_cast<uint32_t>(o);
                        else
                            col.off[r++] = o;
                        o += len;
                    }
                    std::vector<uint32_t>().swap(L.len[static_cast<size_t>(j)]);
                }
                if (narrow)
                    col.off32[r] = static_cast<uint32_t>(o);
                else
                    col.off[r] = o;
            }
            int declaredLen = declen[charcols[static_cast<size_t>(j)]];
            col.length = static_cast<int>(std::min<size_t>(
                32767, std::max<size_t>({maxlen, 1, static_cast<size_t>(declaredLen)})));
        });
    }
    out.nobs = nobs;
    if (lazyOpen) {
        for (Column& c : out.cols)
            c.loaded = false;
        out.lazy = true;
        out.path = path;
        out.sidecar = sidecar;
        out.fileSize = static_cast<long long>(file.size());
        out.fileTime = file.time();
    }
    return true;
}

} // namespace

void set_lazy_threshold(long long bytes)
{
    g_lazyThreshold = bytes;
}

bool load_csv(const std::string& path, const Sidecar& sidecar, Table& out)
{
    return load_impl(path, sidecar, out, nullptr, nullptr);
}

bool load_columns(Table& t, int also)
{
    if (!t.lazy)
        return true;
    std::vector<char> select(t.cols.size(), 0);
    bool any = false;
    for (size_t c = 0; c < t.cols.size(); ++c)
        if (!t.cols[c].loaded && (t.cols[c].wanted || static_cast<int>(c) == also))
            select[c] = any = true;
    if (!any)
        return true;
    Table got;
    if (!load_impl(t.path, t.sidecar, got, &t, &select))
        return false;
    if (got.nobs != t.nobs || got.cols.size() != t.cols.size()) {
        xpmlog(kGroup, 1, t.path.c_str(), "it changed while the data set was open");
        return false;
    }
    for (size_t c = 0; c < t.cols.size(); ++c) {
        if (!select[c])
            continue;
        Column& to = t.cols[c];
        Column& from = got.cols[c];
        if (to.numeric != from.numeric) {
            xpmlog(kGroup, 1, t.path.c_str(), "it changed while the data set was open");
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

const Column* loaded_column(Table& t, int varnum)
{
    if (varnum < 1 || varnum > static_cast<int>(t.cols.size()))
        return nullptr;
    Column& c = t.cols[static_cast<size_t>(varnum) - 1];
    if (!c.loaded && !load_columns(t, varnum - 1))
        return nullptr;
    return &c;
}

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
