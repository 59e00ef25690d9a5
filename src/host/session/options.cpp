// System options, macro variables, the registry, the clock and the host's
// character tables and constants.

#include "host/session/session_state.h"

#include "vyr_missing.h"
#include "vyr_pool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace vyr
{
namespace
{

struct OptionState {
    std::mutex lock;
    std::map<std::string, std::string> values;
    std::map<std::string, std::string> macros;
};

OptionState& opts()
{
    static OptionState s;
    return s;
}

const char* const kDefaultFormchar = "|----|+|---+=|-/\\<>*";

void set_defaults(std::map<std::string, std::string>& v)
{
    v = {
        {"LINESIZE", "132"},    {"PAGESIZE", "60"},
        {"VALIDVARNAME", "V7"}, {"FORMCHAR", kDefaultFormchar},
        {"THREADS", "1"},       {"CPUCOUNT", std::to_string(machine_cores())},
        {"DEBUG", ""},          {"CENTER", "1"},
        {"NUMBER", "1"},
    };
}

bool parse_int(const std::string& text, long* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0')
        return false;
    *out = n;
    return true;
}

} // namespace

void options_reset(const VyrSettings& settings)
{
    OptionState& s = opts();
    {
        std::lock_guard<std::mutex> g(s.lock);
        set_defaults(s.values);
        s.macros.clear();
        pool_configure(true, static_cast<unsigned>(std::stoul(s.values["CPUCOUNT"])));
    }
    for (const auto& [name, value] : settings.options)
        option_set(upper(name), value);
}

int option_set(const std::string& name_in, const std::string& value_in, std::string* why)
{
    std::string name = upper(name_in);
    std::string value = value_in;
    long n = 0;
    // A value that is refused says what the option takes.
    auto refuse = [&](std::string takes) {
        if (why)
            *why = std::move(takes);
        return kMsgBadOptionValue;
    };
    if (name == "LINESIZE" || name == "LS") {
        if (!parse_int(value, &n) || n < 64 || n > 256)
            return refuse("LINESIZE= takes a whole number from 64 to 256");
        name = "LINESIZE";
        value = std::to_string(n);
    } else if (name == "PAGESIZE" || name == "PS") {
        if (!parse_int(value, &n) || n < 15 || n > 32767)
            return refuse("PAGESIZE= takes a whole number from 15 to 32767");
        name = "PAGESIZE";
        value = std::to_string(n);
    } else if (name == "CPUCOUNT") {
        if (upper(value) == "ACTUAL")
            value = std::to_string(machine_cores());
        else if (!parse_int(value, &n) || n < 1 || n > 1024)
            return refuse("CPUCOUNT= takes a whole number from 1 to 1024, or ACTUAL");
        else
            value = std::to_string(n);
    } else if (name == "THREADS") {
        std::string u = upper(value);
        if (u == "1" || u == "YES" || u == "THREADS" || u.empty())
            value.assign(1, '1');
        else if (u == "0" || u == "NO" || u == "NOTHREADS")
            value.assign(1, '0');
        else
            return refuse("THREADS= takes YES or NO");
    } else if (name == "VALIDVARNAME") {
        std::string u = upper(value);
        if (u != "V6" && u != "V7" && u != "ANY" && u != "UPCASE")
            return refuse("VALIDVARNAME= takes V6, V7, ANY or UPCASE");
        value = u;
    } else if (name == "FORMCHAR") {
        // One character per form position, each held in one byte of a
        // plot's cells: the eleven positions the plots draw must be given.
        for (unsigned char c : value)
            if (c < 0x20 || c > 0x7E)
                return refuse("FORMCHAR= takes printable ASCII characters only, one byte each");
        if (value.size() < 11)
            return refuse("FORMCHAR= needs at least 11 characters (positions 1 to 11); " +
                          std::to_string(value.size()) + " were given");
    } else if (name == "MEMSIZE") {
        if (!parse_int(value, &n) || n < 0)
            return refuse("MEMSIZE= takes a whole number of bytes, 0 for no limit");
        pools_set_limit(n);
    }
    OptionState& s = opts();
    std::lock_guard<std::mutex> g(s.lock);
    s.values[name] = value;
    if (name == "THREADS" || name == "CPUCOUNT")
        pool_configure(s.values["THREADS"] == "1",
                       static_cast<unsigned>(std::stoul(s.values["CPUCOUNT"])));
    return 0;
}

int option_switch(const std::string& word)
{
    static const char* const kSwitches[] = {"CENTER", "NUMBER", "DATE", "THREADS", "GRAPHICS"};
    const std::string u = upper(word);
    for (const char* f : kSwitches) {
        if (u == f)
            return option_set(f, "1");
        if (u == std::string("NO") + f)
            return option_set(f, "0");
    }
    return kMsgUnknownOption;
}

std::optional<std::string> macro_get(std::string_view name)
{
    OptionState& s = opts();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.macros.find(upper(name));
    if (it == s.macros.end())
        return std::nullopt;
    return it->second;
}

void macro_set(std::string_view name, std::string_view value)
{
    OptionState& s = opts();
    std::lock_guard<std::mutex> g(s.lock);
    s.macros[upper(name)] = std::string(value);
}

// ---------------------------------------------------------------------------
// Registry: "[\PATH\KEY]" sections holding "NAME = type:value" lines. Types:
// string, double, long, ulong, binary (hexadecimal digits). Keys and names
// match without regard to case.

struct RegValue {
    int type = 3;
    std::string bytes;
};
struct RegKey {
    std::map<std::string, RegValue> values;
};

namespace
{
struct RegistryState {
    std::mutex lock;
    std::map<std::string, RegKey> keys;
};
RegistryState& reg()
{
    static RegistryState r;
    return r;
}

std::string normal_path(std::string_view p)
{
    std::string u = upper(trim(p));
    std::replace(u.begin(), u.end(), '/', '\\');
    while (u.size() > 1 && u.back() == '\\')
        u.pop_back();
    if (u.empty() || u[0] != '\\')
        u.insert(u.begin(), '\\');
    return u;
}

bool parse_value(const std::string& typed, RegValue* out)
{
    std::size_t colon = typed.find(':');
    if (colon == std::string::npos)
        return false;
    std::string type = upper(trim(typed.substr(0, colon)));
    std::string v = typed.substr(colon + 1);
    if (type == "STRING") {
        out->type = 3;
        out->bytes = v;
        return true;
    }
    std::string t = trim(v);
    char* end = nullptr;
    // Decimal, or hexadecimal after "0x" (a leading 0 does not mean octal).
    std::string digits = t;
    bool negative = !digits.empty() && digits[0] == '-';
    std::string body = negative ? digits.substr(1) : digits;
    int base = body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X') ? 16 : 10;
    if (type == "DOUBLE") {
        double d = std::strtod(t.c_str(), &end);
        if (t.empty() || *end != '\0')
            return false;
        out->type = 2;
        out->bytes.assign(reinterpret_cast<const char*>(&d), sizeof d);
        return true;
    }
    if (type == "LONG") {
        errno = 0;
        long long n = std::strtoll(t.c_str(), &end, base);
        if (t.empty() || *end != '\0' || errno == ERANGE)
            return false;
        int64_t x = n;
        out->type = 5;
        out->bytes.assign(reinterpret_cast<const char*>(&x), sizeof x);
        return true;
    }
    if (type == "ULONG") {
        errno = 0;
        if (!t.empty() && t[0] == '-')
            return false;
        unsigned long long n = std::strtoull(t.c_str(), &end, base);
        if (t.empty() || *end != '\0' || errno == ERANGE)
            return false;
        uint64_t x = n;
        out->type = 4;
        out->bytes.assign(reinterpret_cast<const char*>(&x), sizeof x);
        return true;
    }
    if (type == "BINARY") {
        std::string hex;
        for (char c : t)
            if (!std::isspace(static_cast<unsigned char>(c)))
                hex.push_back(c);
        if (hex.size() % 2 != 0)
            return false;
        out->type = 1;
        out->bytes.clear();
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
                return false;
            out->bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        return true;
    }
    return false;
}
} // namespace

bool registry_load_text(std::string_view text, const std::string& name)
{
    RegistryState& r = reg();
    std::map<std::string, RegKey> keys;
    std::istringstream in{std::string(text)};
    std::string line;
    int lineNo = 0;
    bool ok = true;
    RegKey* current = nullptr;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string t = trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';')
            continue;
        if (t.front() == '[') {
            if (t.back() != ']' || t.size() < 3) {
                xpmlog(kHostGroup, kMsgRegistryLine, name.c_str(), lineNo,
                       "a key line must read [\\PATH\\KEY]");
                ok = false;
                current = nullptr;
                continue;
            }
            current = &keys[normal_path(t.substr(1, t.size() - 2))];
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            xpmlog(kHostGroup, kMsgRegistryLine, name.c_str(), lineNo,
                   "expected NAME = type:value");
            ok = false;
            continue;
        }
        if (current == nullptr) {
            xpmlog(kHostGroup, kMsgRegistryLine, name.c_str(), lineNo,
                   "a value must follow a [\\PATH\\KEY] line");
            ok = false;
            continue;
        }
        std::string vname = upper(trim(line.substr(0, eq)));
        // The text after "type:" is kept exactly for strings, so leading
        // blanks are dropped only up to the type word.
        std::string typed = line.substr(eq + 1);
        std::size_t b = typed.find_first_not_of(" \t");
        typed = b == std::string::npos ? std::string() : typed.substr(b);
        RegValue v;
        if (vname.empty() || !parse_value(typed, &v)) {
            xpmlog(kHostGroup, kMsgRegistryLine, name.c_str(), lineNo,
                   "expected NAME = type:value with type string, double, long, ulong or binary");
            ok = false;
            continue;
        }
        current->values[vname] = v;
    }
    std::lock_guard<std::mutex> g(r.lock);
    r.keys = std::move(keys);
    return ok;
}

bool registry_load(const std::string& path)
{
    std::string text, why;
    if (!read_named_file(path, text, why)) {
        xpmlog(kHostGroup, kMsgRegistryFile, path.c_str(), why.c_str());
        return false;
    }
    return registry_load_text(text, path);
}

void registry_reset()
{
    RegistryState& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    r.keys.clear();
}

} // namespace vyr

// ---------------------------------------------------------------------------
// Host services.

namespace vyr
{
namespace
{
// Texts handed out by xoptcgt and xjsymget stay valid for the whole process
// (callers may keep the pointer): each distinct value is kept once.
const std::string& interned(const std::string& value)
{
    static std::mutex lock;
    static std::set<std::string> texts;
    std::lock_guard<std::mutex> g(lock);
    return *texts.insert(value).first;
}
} // namespace
} // namespace vyr

const char* xoptcgt(const char* name, int* length)
{
    std::string value;
    vyr::OptionState& s = vyr::opts();
    {
        std::lock_guard<std::mutex> g(s.lock);
        auto it = s.values.find(vyr::upper(name ? name : ""));
        if (it != s.values.end())
            value = it->second;
    }
    const std::string& kept = vyr::interned(value);
    if (length)
        *length = static_cast<int>(kept.size());
    return kept.c_str();
}

int xyrngef(const char* name, double* value)
{
    int len = 0;
    const char* text = xoptcgt(name, &len);
    if (len == 0)
        return vyr_code(43, 1);
    char* end = nullptr;
    double d = std::strtod(text, &end);
    if (end == text || *end != '\0')
        return vyr_code(43, 2);
    if (value)
        *value = d;
    return 0;
}

long wyrn6gf(int number)
{
    double v = 0;
    switch (number) {
    case 4401: // threads allowed
        return xyrngef("THREADS", &v) == 0 ? static_cast<long>(v) : 0;
    case 4153: // processor count
        return xyrngef("CPUCOUNT", &v) == 0 ? static_cast<long>(v) : 1;
    default:
        return 0;
    }
}

int xjsymgn(const char* name, double* value)
{
    std::optional<std::string> v = vyr::macro_get(name ? name : "");
    if (!v)
        return 1;
    std::string t = vyr::trim(*v);
    char* end = nullptr;
    double d = std::strtod(t.c_str(), &end);
    if (t.empty() || t == "." || *end != '\0' || std::isnan(d))
        return 2;
    if (value)
        *value = d;
    return 0;
}

int xjsymput(const char* name, const char* value, int length)
{
    if (name == nullptr || *name == '\0')
        return vyr_code(43, 3);
    std::string v = value == nullptr ? std::string()
                    : length < 0     ? std::string(value)
                                     : std::string(value, length);
    if (v.size() > vyr::kMacroValueMax)
        return vyr_code(43, 4);
    vyr::macro_set(name, v);
    return 0;
}

const char* xjsymget(const char* name)
{
    std::optional<std::string> v = vyr::macro_get(name ? name : "");
    if (!v)
        return nullptr;
    return vyr::interned(*v).c_str();
}

double wzdttme()
{
    using namespace std::chrono;
    auto now = system_clock::now();
    double unix = duration_cast<microseconds>(now.time_since_epoch()).count() / 1e6;
    std::time_t t = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    // Seconds between 1960-01-01 and 1970-01-01 (3653 days), plus the local
    // offset from UTC.
    return unix + 315619200.0 + static_cast<double>(local.tm_gmtoff);
}

struct REGHANDLE {
    int unused;
};

REGHANDLE* xregistry()
{
    static REGHANDLE h{0};
    return &h;
}

int xaaopen(REGHANDLE* reg, int flags, const char* path, int path_l, void** key)
{
    (void)flags;
    if (key)
        *key = nullptr;
    if (reg == nullptr || path == nullptr || key == nullptr)
        return XAA_KEY_NOT_FOUND;
    std::string p =
        path_l < 0 ? std::string(path) : std::string(path, static_cast<std::size_t>(path_l));
    vyr::RegistryState& r = vyr::reg();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.keys.find(vyr::normal_path(p));
    if (it == r.keys.end())
        return XAA_KEY_NOT_FOUND;
    *key = &it->second;
    return 0;
}

int xaaqval(REGHANDLE* reg, void* key, const char* name, int name_l, int* type, void* buffer,
            int* length, int flags, void* reserved)
{
    (void)flags;
    (void)reserved;
    if (reg == nullptr || key == nullptr || name == nullptr)
        return XAA_NAME_NOT_FOUND;
    std::string n =
        name_l < 0 ? std::string(name) : std::string(name, static_cast<std::size_t>(name_l));
    vyr::RegistryState& r = vyr::reg();
    std::lock_guard<std::mutex> g(r.lock);
    const vyr::RegKey* k = static_cast<const vyr::RegKey*>(key);
    auto it = k->values.find(vyr::upper(vyr::trim(n)));
    if (it == k->values.end())
        return XAA_NAME_NOT_FOUND;
    const vyr::RegValue& v = it->second;
    if (type)
        *type = v.type;
    int room = length ? *length : 0;
    int n_bytes = static_cast<int>(v.bytes.size());
    if (buffer != nullptr && room > 0)
        std::memcpy(buffer, v.bytes.data(), static_cast<std::size_t>(std::min(room, n_bytes)));
    if (length)
        *length = n_bytes;
    // A datum longer than the buffer is delivered in part and said so.
    return n_bytes > room ? vyr_code(54, 12) : 0;
}

int xaaclos(REGHANDLE* reg, void* key)
{
    if (reg == nullptr || key == nullptr)
        return vyr_code(54, 13);
    return 0;
}

// ---------------------------------------------------------------------------
// Character tables and constants of the global control block.

namespace
{
struct CharTables {
    unsigned char map[256];
    unsigned char cls[256];
    unsigned char xlt[5][256];
    CharTables()
    {
        for (int i = 0; i < 256; ++i) {
            unsigned char c = static_cast<unsigned char>(i);
            unsigned char up = (i >= 'a' && i <= 'z') ? static_cast<unsigned char>(i - 32) : c;
            unsigned char lo = (i >= 'A' && i <= 'Z') ? static_cast<unsigned char>(i + 32) : c;
            // The map gives each byte its image for comparisons that ignore case.
            map[i] = up;
            // Class bits: 1 upper-case letter, 2 lower-case letter, 4 digit,
            // 8 blank, 16 punctuation, 32 control.
            unsigned char k = 0;
            if (i >= 'A' && i <= 'Z')
                k |= 1;
            if (i >= 'a' && i <= 'z')
                k |= 2;
            if (i >= '0' && i <= '9')
                k |= 4;
            if (i == ' ' || i == '\t' || i == '\n' || i == '\r' || i == '\f' || i == '\v')
                k |= 8;
            if (i > 32 && i < 127 && !(k & 7))
                k |= 16;
            if (i < 32 || i == 127)
                k |= 32;
            cls[i] = k;
            xlt[0][i] = c;
            xlt[1][i] = c;
            xlt[2][i] = up;
            xlt[3][i] = lo;
            xlt[4][i] = c;
        }
    }
};
const CharTables& tables()
{
    static const CharTables t;
    return t;
}

constexpr int kConstEntries = 128;
} // namespace

double xgcbconst(int entry)
{
    // Entry 84 (a Total row's stratum number), entry 83 (the stratum number
    // of a stratum's total row in the summary by GROUP= level) and entry 95
    // (an emptied key slot) are special missing values, so they sort with
    // the missing values and can never be taken for data. Other entries hold
    // the ordinary missing value.
    if (entry == 83)
        return korv_special_missing(0x53);
    if (entry == 84)
        return korv_special_missing(0x54);
    if (entry == 95)
        return korv_special_missing(0x5F);
    (void)kConstEntries;
    return korv_missing();
}

const unsigned char* xgcbcharmap()
{
    return tables().map;
}
const unsigned char* xgcbcharclass()
{
    return tables().cls;
}
const unsigned char* xgcbxlt(int code)
{
    if (code < 0 || code > 4)
        return nullptr;
    return tables().xlt[code];
}
int xgcbnlsmode()
{
    return 0;
}

int wzsxcmn(const char* s1, int l1, const char* s2, int l2, int sortseq)
{
    (void)sortseq;
    int n = std::max(l1, l2);
    for (int i = 0; i < n; ++i) {
        unsigned char a = i < l1 ? static_cast<unsigned char>(s1[i]) : ' ';
        unsigned char b = i < l2 ? static_cast<unsigned char>(s2[i]) : ' ';
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

int wzsxcch(const char* src, int srclen, char* dst, int dstlen, int mode)
{
    (void)mode;
    int n = std::min(srclen, dstlen);
    if (n > 0)
        std::memmove(dst, src, static_cast<std::size_t>(n));
    return n;
}

int wzsxrch(const char* src, int srclen, char* dst, int dstlen, int mode)
{
    return wzsxcch(src, srclen, dst, dstlen, mode);
}

void wzstrup(char* dst, int length)
{
    for (int i = 0; i < length; ++i)
        dst[i] = static_cast<char>(tables().xlt[2][static_cast<unsigned char>(dst[i])]);
}

void wzstrlo(char* dst, int length)
{
    for (int i = 0; i < length; ++i)
        dst[i] = static_cast<char>(tables().xlt[3][static_cast<unsigned char>(dst[i])]);
}
