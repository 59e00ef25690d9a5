// Attribute files beside CSV files ("NAME.attr"): the labels, formats, types
// and lengths that a CSV file cannot carry. One statement per line:
//   dataset label=TEXT
//   variable NAME [label=TEXT] [format=FORMAT] [type=num|char] [length=N]
// and the comment "# csv size=N digest=HEX" naming the CSV file it was
// written with.
// Values holding blanks are double-quoted, with "" for a quote inside.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>
#include <utility>

#include "data_internal.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_text.h"

namespace vyr::data
{

namespace
{

// One word of a line: a bare word (key empty) or a key=value pair.
struct AttrToken {
    std::string key;
    std::string value;
};

// Reads a value that starts with a double quote at line[i]; "" stands for a
// quote. False when the closing quote is missing.
bool read_quoted(const std::string& line, size_t& i, std::string& value)
{
    ++i;
    while (i < line.size()) {
        if (line[i] == '"') {
            if (i + 1 < line.size() && line[i + 1] == '"') {
                value.push_back('"');
                i += 2;
                continue;
            }
            ++i;
            return true;
        }
        value.push_back(line[i++]);
    }
    return false;
}

// Splits a line into words and key=value pairs up to a '#' comment. Keys are
// lower-cased. False with the reason in `why` for a malformed line.
bool tokenize_line(const std::string& line, std::vector<AttrToken>& toks, std::string& why)
{
    toks.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '=' &&
               line[j] != '"')
            ++j;
        std::string key = line.substr(i, j - i);
        i = j;
        if (i < line.size() && line[i] == '=') {
            ++i;
            std::string value;
            if (i < line.size() && line[i] == '"') {
                if (!read_quoted(line, i, value)) {
                    why = "a quoted value is not terminated";
                    return false;
                }
            } else {
                size_t k = i;
                while (k < line.size() && line[k] != ' ' && line[k] != '\t')
                    ++k;
                value = line.substr(i, k - i);
                i = k;
            }
            toks.push_back({lower(std::move(key)), std::move(value)});
        } else if (key.empty()) {
            why = "unexpected quote";
            return false;
        } else {
            toks.push_back({std::string(), std::move(key)});
        }
    }
    return true;
}

// A label of at most the longest text the host keeps.
bool check_label(const std::string& v, std::string& why)
{
    if (v.size() <= static_cast<size_t>(VYR_MAX_TEXT_LENGTH))
        return true;
    why = "the label is " + std::to_string(v.size()) + " bytes long; the longest allowed is " +
          std::to_string(VYR_MAX_TEXT_LENGTH);
    return false;
}

// A "dataset" line: its label.
bool read_dataset_line(const std::vector<AttrToken>& toks, Sidecar& out, std::string& why)
{
    for (size_t t = 1; t < toks.size(); ++t) {
        if (toks[t].key != "label") {
            why = "unknown data set attribute \"" + toks[t].key + toks[t].value + "\"";
            return false;
        }
        if (!check_label(toks[t].value, why))
            return false;
        out.label = toks[t].value;
    }
    return true;
}

// One attribute of a "variable" line into `a`.
bool read_variable_attribute(const AttrToken& tok, VarAttr& a, std::string& why)
{
    const std::string& k = tok.key;
    const std::string& v = tok.value;
    if (k == "label") {
        if (!check_label(v, why))
            return false;
        a.label = v;
    } else if (k == "format") {
        vyr::fmt::FormatDesc desc;
        if (!v.empty() && !vyr::fmt::parse(v, desc)) {
            why = "unknown format \"" + v + "\"";
            return false;
        }
        a.format = v.empty() ? std::string() : vyr::fmt::text(desc);
    } else if (k == "type") {
        std::string lv = lower(v);
        if (lv == "num" || lv == "numeric") {
            a.type = 1;
        } else if (lv == "char" || lv == "character") {
            a.type = 2;
        } else {
            why = "type must be num or char, not \"" + v + "\"";
            return false;
        }
    } else if (k == "length") {
        int n = 0;
        auto r = std::from_chars(v.data(), v.data() + v.size(), n);
        if (r.ec != std::errc() || r.ptr != v.data() + v.size() || n < 1 ||
            n > VYR_MAX_TEXT_LENGTH) {
            why = "length must be a whole number from 1 to " + std::to_string(VYR_MAX_TEXT_LENGTH);
            return false;
        }
        a.length = n;
    } else {
        why = "unknown variable attribute \"" + (k.empty() ? v : k) + "\"";
        return false;
    }
    return true;
}

// A "variable" line: the name and its attributes.
bool read_variable_line(const std::vector<AttrToken>& toks, int lineno, Sidecar& out,
                        std::string& why)
{
    if (toks.size() < 2 || !toks[1].key.empty()) {
        why = "the variable name is missing";
        return false;
    }
    VarAttr a;
    a.name = toks[1].value;
    a.line = lineno;
    for (size_t t = 2; t < toks.size(); ++t)
        if (!read_variable_attribute(toks[t], a, why))
            return false;
    out.vars.push_back(std::move(a));
    return true;
}

} // namespace

std::string sidecar_path(const std::string& csv_path)
{
    if (csv_path.size() >= 4 && lower(csv_path.substr(csv_path.size() - 4)) == ".csv")
        return csv_path.substr(0, csv_path.size() - 4) + ".attr";
    return csv_path + ".attr";
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

FileStamp stamp_of(const struct stat& st)
{
    return {true,
            static_cast<unsigned long long>(st.st_dev),
            static_cast<unsigned long long>(st.st_ino),
            static_cast<unsigned>(st.st_uid),
            static_cast<long long>(st.st_size),
            static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

namespace
{

// The line that names the CSV file the attribute file was written with,
// exactly "# csv size=N digest=HEX" (16 hex digits). To the attribute
// file's grammar it is a comment, which earlier versions skip. False for
// any other line, which is then read as usual.
bool read_csv_line(const std::string& line, Sidecar& out)
{
    static const std::string kHead = "# csv size=";
    if (line.compare(0, kHead.size(), kHead) != 0)
        return false;
    const char* p = line.data() + kHead.size();
    const char* e = line.data() + line.size();
    long long size = 0;
    auto r = std::from_chars(p, e, size);
    if (r.ec != std::errc() || r.ptr == p || size < 0)
        return false;
    static const std::string kDigest = " digest=";
    p = r.ptr;
    if (static_cast<size_t>(e - p) != kDigest.size() + 16 ||
        std::string_view(p, kDigest.size()) != kDigest)
        return false;
    p += kDigest.size();
    uint64_t digest = 0;
    for (; p < e; ++p) {
        const char c = *p;
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0)
            return false;
        digest = digest << 4 | static_cast<uint64_t>(v);
    }
    out.namesCsv = true;
    out.csvSize = size;
    out.csvDigest = digest;
    return true;
}

// What a file that is not a regular one is, for a warning: "a folder", ...
std::string kind_of_file(unsigned mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a device";
}

} // namespace

FileStamp sidecar_stamp(const HeldFolder& in, const std::string& name,
                        const std::function<bool(const struct stat&)>& accept, bool confined)
{
    struct stat st;
    if (::fstatat(in.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    std::string why;
    if (S_ISLNK(st.st_mode) && (!accept || accept(st)) &&
        !look_to_read(name, st, why, &in, nullptr, nullptr, confined ? &in : nullptr))
        return {};
    return stamp_of(st);
}

bool sidecar_same_bytes(const HeldFolder& in, const std::string& name, const Sidecar& side,
                        const std::function<bool(const struct stat&)>& accept, bool confined)
{
    struct stat st;
    if (!side.present || side.foreign ||
        ::fstatat(in.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || (accept && !accept(st)))
        return false;
    std::string why, text;
    const int fd = open_to_read(name, why, &in, nullptr, nullptr, false, confined ? &in : nullptr);
    if (fd < 0)
        return false;
    const bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (!accept || accept(st)) &&
                      stamp_of(st).may_be(side.read) && read_rest(fd, text) == 0 &&
                      digest_bytes(text.data(), text.size()) == side.textDigest;
    ::close(fd);
    return same;
}

bool read_sidecar(const HeldFolder& in, const std::string& name, const std::string& path,
                  Sidecar& out, const std::function<bool(const struct stat&)>& accept,
                  bool confined)
{
    out = Sidecar{};
    // No attribute file: no attributes. One that is there and cannot be read
    // is an error, as it is for a CSV file: its types and formats would be
    // missed without a word. What is at the name is looked at before
    // anything is opened: whatever a user whose attribute file is not taken
    // made there (a file, a folder, a pipe, a link) is neither opened nor
    // followed, and fails nothing.
    struct stat st;
    if (::fstatat(in.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        xpmlog(kGroup, 1, path.c_str(), std::strerror(errno));
        return false;
    }
    const auto foreign = [&](const struct stat& seen) {
        out.present = out.foreign = true;
        out.read = stamp_of(seen);
        out.kind = S_ISREG(seen.st_mode) ? std::string() : kind_of_file(seen.st_mode);
        return true;
    };
    if (accept && !accept(st))
        return foreign(st);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        xpmlog(kGroup, 1, path.c_str(), not_regular_file(st.st_mode).c_str());
        return false;
    }
    std::string why;
    bool missing = false;
    const int fd = open_to_read(name, why, &in, nullptr, &missing, false, confined ? &in : nullptr);
    if (fd < 0) {
        // A link of the user's to a file that is not there leads to no
        // attributes.
        if (missing)
            return true;
        xpmlog(kGroup, 1, path.c_str(), why.c_str());
        return false;
    }
    std::string text;
    if (fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = not_regular_file(st.st_mode);
    else
        out.read = stamp_of(st);
    if (why.empty() && accept && !accept(st)) {
        // Not this data set's attributes: not even read, so that nothing in
        // it (an error included) bears on the data set.
        ::close(fd);
        return foreign(st);
    }
    if (why.empty())
        if (const int err = read_rest(fd, text); err != 0)
            why = std::strerror(err);
    ::close(fd);
    if (!why.empty()) {
        xpmlog(kGroup, 1, path.c_str(), why.c_str());
        return false;
    }
    out.textDigest = digest_bytes(text.data(), text.size());
    std::istringstream lines(text);
    out.present = true;
    std::string line;
    std::vector<AttrToken> toks;
    int lineno = 0;
    while (std::getline(lines, line)) {
        ++lineno;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!out.namesCsv && read_csv_line(line, out))
            continue;
        bool ok = tokenize_line(line, toks, why);
        if (ok && toks.empty())
            continue;
        if (ok) {
            const std::string kw = lower(toks[0].value);
            if (!toks[0].key.empty()) {
                why = "a line must begin with \"dataset\" or \"variable\"";
                ok = false;
            } else if (kw == "dataset") {
                ok = read_dataset_line(toks, out, why);
            } else if (kw == "variable") {
                ok = read_variable_line(toks, lineno, out, why);
            } else {
                why = "a line must begin with \"dataset\" or \"variable\"";
                ok = false;
            }
        }
        if (!ok) {
            xpmlog(kGroup, 11, path.c_str(), lineno, why.c_str());
            return false;
        }
    }
    return true;
}

std::string not_regular_file(unsigned mode)
{
    if (S_ISDIR(mode))
        return "it is a folder";
    if (S_ISFIFO(mode))
        return "it is a named pipe, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "it is a device, not a regular file";
    if (S_ISSOCK(mode))
        return "it is a socket, not a regular file";
    return "it is not a regular file";
}

} // namespace vyr::data
