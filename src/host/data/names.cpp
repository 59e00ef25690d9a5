// Variable names under the VALIDVARNAME system option: how long a name may
// be, how a text is made into a valid name in place, and the option's value.
#include "vyr_data.h"
#include "vyr_host.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace
{

enum class Rule { V7, V6, Upcase, Any };

Rule rule()
{
    int len = 0;
    const char* v = xoptcgt("VALIDVARNAME", &len);
    std::string s(v, static_cast<size_t>(len));
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (s == "V6")
        return Rule::V6;
    if (s == "UPCASE")
        return Rule::Upcase;
    if (s == "ANY")
        return Rule::Any;
    return Rule::V7;
}

bool name_char(unsigned char c)
{
    return std::isalnum(c) || c == '_';
}

} // namespace

int zvnamlen()
{
    return rule() == Rule::V6 ? 8 : 32;
}

void zname(int /*which*/, char* name, int len)
{
    if (name == nullptr || len <= 0)
        return;
    const Rule r = rule();
    const int most = std::min(len, r == Rule::V6 ? 8 : 32);
    // The text without its leading blanks; a NUL ends it.
    std::string t(name, static_cast<size_t>(len));
    t = t.substr(0, t.find('\0'));
    const size_t a = t.find_first_not_of(' ');
    t = a == std::string::npos ? std::string() : t.substr(a);
    t.erase(t.find_last_not_of(' ') + 1);
    if (r != Rule::Any) {
        for (char& c : t)
            if (!name_char(static_cast<unsigned char>(c)))
                c = '_';
        if (!t.empty() && std::isdigit(static_cast<unsigned char>(t[0])))
            t = std::string(1, '_') + t;
        if (r != Rule::V7)
            for (char& c : t)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (t.empty())
        t.assign(1, '_');
    t.resize(static_cast<size_t>(most), ' ');
    std::memset(name, ' ', static_cast<size_t>(len));
    std::memcpy(name, t.data(), t.size());
}

int xyrcgef(const char* name, int namelen, char* value, int* length)
{
    if (length)
        *length = 0;
    if (name == nullptr || namelen <= 0 || value == nullptr)
        return vyr_code(70, 31);
    int len = 0;
    const std::string option(name, static_cast<size_t>(namelen));
    const char* v = xoptcgt(option.c_str(), &len);
    if (len == 0)
        return vyr_code(70, 32);
    const int n = std::min(len, 8);
    std::memset(value, ' ', 8);
    std::memcpy(value, v, static_cast<size_t>(n));
    if (length)
        *length = n;
    return 0;
}
