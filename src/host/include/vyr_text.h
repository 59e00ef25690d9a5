// Small text helpers shared by the host's areas: names and option keywords
// compare in upper case, and values read from programs and files lose their
// surrounding blanks.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace vyr
{

// The text with its ASCII letters in upper case.
inline std::string upper(std::string_view s)
{
    std::string u(s);
    for (char& c : u)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

// The text without the white space (blanks, tabs, line ends) at either end.
inline std::string trim(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}

// The part of the text between its leading and trailing blanks (only ' ':
// fixed-width fields are padded with blanks, and a tab in a value is kept).
inline std::string_view blank_trimmed(std::string_view s)
{
    const std::size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos)
        return s.substr(s.size());
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The same as a string of its own (for labels and headings).
inline std::string trim_blanks(std::string_view s)
{
    return std::string(blank_trimmed(s));
}

} // namespace vyr
