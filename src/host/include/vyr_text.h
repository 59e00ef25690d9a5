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

// The text with its ASCII letters in lower case.
inline std::string lower(std::string_view s)
{
    std::string l(s);
    for (char& c : l)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return l;
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

namespace vyr
{

// What a writer does with the control characters (below 0x20, and 0x7F) of
// a text it writes.
enum class Controls {
    Keep, // written as they are: the writer escapes them itself (JSON), or
          // they are the line and page ends of the listing and the log
    Show, // shown as escapes, \n, \r, \t or \xHH: raw they would break the
          // listing's layout or vanish from the HTML page
    Drop, // left out, a tab written as a blank: XML 1.0 (the SVG) allows no
          // control character, and a graph's text is measured without them
};

// Whether a text needs write_text to change it: a control character the
// mode does not keep, a byte above 0x7E (one that may start a sequence that
// is not valid UTF-8), or nothing of the kind.
bool text_needs_care(std::string_view s, Controls controls);

// Appends a text as every writer of documents needs it: valid UTF-8 whose
// valid sequences are kept byte for byte. Data read from a file in a
// single-byte encoding can hold bytes that are not valid UTF-8 (a stray
// byte, an overlong form, an encoded surrogate, a code point above
// U+10FFFF): each byte that is not part of a valid sequence is taken as
// the Latin-1 character of that code, so the text stays readable and
// nothing is dropped. The noncharacters U+FFFE and U+FFFF, which XML does
// not allow, are shown as \uFFFE and \uFFFF (Show), replaced by U+FFFD
// (Drop) or kept (Keep). Control characters are treated as `controls`
// says. Writing a text twice this way changes nothing the second time.
void write_text(std::string& out, std::string_view s, Controls controls);

} // namespace vyr
