// Text keys: labels, names and paths handed to the output layer. Each key
// owns a copy of its text, so the caller may reuse its buffer at once.
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "host/output/layer.h"
#include "vyr_host.h"
#include "vyr_output.h"

struct WOB_TEXTKEY_STR {
    std::string text;
};

namespace
{

std::deque<std::unique_ptr<WOB_TEXTKEY_STR>>& keyStore()
{
    static std::deque<std::unique_ptr<WOB_TEXTKEY_STR>> store;
    return store;
}

xobskey makeKey(std::string text)
{
    auto k = std::make_unique<WOB_TEXTKEY_STR>();
    k->text = std::move(text);
    xobskey p = k.get();
    keyStore().push_back(std::move(k));
    return p;
}

} // namespace

namespace vdq
{

void releaseTextKeys()
{
    keyStore().clear();
}

// printf with the host's conventions: "%*s" takes a length and a text that
// need not be terminated (exactly that many bytes, fewer at a NUL); "%k"
// takes a text key; a leading severity field "%1z", "%2z", "%3z" or "%*z" is
// dropped (the "*" form consumes its int).
std::string formatText(const char* format, int flen, va_list ap)
{
    std::string out;
    if (!format)
        return out;
    size_t n = flen < 0 ? std::strlen(format) : static_cast<size_t>(flen);
    size_t i = 0;
    // Severity field.
    if (n >= 3 && format[0] == '%' && format[2] == 'z') {
        if (format[1] == '*')
            (void)va_arg(ap, int);
        i = 3;
    }
    char buf[512];
    while (i < n) {
        char ch = format[i];
        if (ch != '%') {
            out.push_back(ch);
            ++i;
            continue;
        }
        size_t start = i++;
        if (i < n && format[i] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        std::string conversion = "%";
        while (i < n && std::strchr("-+ #0", format[i]))
            conversion.push_back(format[i++]);
        bool starWidth = false;
        int width = 0;
        if (i < n && format[i] == '*') {
            starWidth = true;
            width = va_arg(ap, int);
            ++i;
        } else {
            while (i < n && format[i] >= '0' && format[i] <= '9')
                conversion.push_back(format[i++]);
        }
        bool hasPrec = false, starPrec = false;
        int prec = 0;
        std::string precDigits;
        if (i < n && format[i] == '.') {
            hasPrec = true;
            ++i;
            if (i < n && format[i] == '*') {
                starPrec = true;
                prec = va_arg(ap, int);
                ++i;
            } else {
                while (i < n && format[i] >= '0' && format[i] <= '9')
                    precDigits.push_back(format[i++]);
            }
        }
        std::string lenmod;
        while (i < n && std::strchr("hlLzjt", format[i]))
            lenmod.push_back(format[i++]);
        if (i >= n) {
            out.append(format + start, n - start);
            break;
        }
        char conv = format[i++];
        if (conv == 'k') {
            xobskey k = va_arg(ap, xobskey);
            out += k ? k->text : std::string();
            continue;
        }
        if (conv == 's' && starWidth && !hasPrec) {
            // Counted text.
            const char* s = va_arg(ap, const char*);
            if (s && width > 0) {
                size_t len = strnlen(s, static_cast<size_t>(width));
                out.append(s, len);
            }
            continue;
        }
        if (starWidth)
            conversion += std::to_string(width);
        if (hasPrec) {
            conversion.push_back('.');
            conversion += starPrec ? std::to_string(prec) : precDigits;
        }
        int written = 0;
        switch (conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            conversion += lenmod;
            conversion.push_back(conv);
            if (lenmod == "l" || lenmod == "z" || lenmod == "j" || lenmod == "t")
                written = std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, long));
            else if (lenmod == "ll")
                written = std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, long long));
            else
                written = std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, int));
            break;
        case 'c':
            conversion.push_back('c');
            written = std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, int));
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (lenmod == "L") {
                conversion += "L";
                conversion.push_back(conv);
                written = std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, long double));
            } else {
                conversion.push_back(conv);
                written = std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, double));
            }
            break;
        case 's': {
            conversion.push_back('s');
            const char* s = va_arg(ap, const char*);
            written = std::snprintf(buf, sizeof buf, conversion.c_str(), s ? s : "");
            break;
        }
        case 'p':
            conversion.push_back('p');
            written = std::snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, void*));
            break;
        default:
            // Unknown conversion: keep it as written.
            out.append(format + start, i - start);
            continue;
        }
        if (written > 0)
            out.append(buf, std::min<size_t>(static_cast<size_t>(written), sizeof buf - 1));
    }
    return out;
}

std::string formatTextv(const char* format, int flen, ...)
{
    va_list ap;
    va_start(ap, flen);
    std::string s = formatText(format, flen, ap);
    va_end(ap);
    return s;
}

// The catalogue text of group/number, or a visible placeholder when the
// catalogue has no such entry (so a missing label is noticed, not blank).
static bool readCatalogue(int group, int number, const char** text, int* len)
{
    *text = nullptr;
    *len = 0;
    return wkread(group, number, text, len) >= 0 && *text;
}

static std::string placeholder(int group, int number)
{
    return "[" + std::to_string(group) + "/" + std::to_string(number) + "]";
}

std::string catalogueRaw(int group, int number)
{
    const char* text;
    int len;
    if (!readCatalogue(group, number, &text, &len))
        return placeholder(group, number);
    std::string s(text, static_cast<size_t>(len));
    if (s.size() >= 3 && s[0] == '%' && s[2] == 'z' && (s[1] == '1' || s[1] == '2' || s[1] == '3'))
        s.erase(0, 3);
    return s;
}

std::string catalogueFormatted(int group, int number, va_list ap)
{
    const char* text;
    int len;
    if (!readCatalogue(group, number, &text, &len))
        return placeholder(group, number);
    return formatText(text, len, ap);
}

} // namespace vdq

xobskey vdqtxt(const char* text, int length)
{
    if (!text)
        return makeKey(std::string());
    size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    return makeKey(std::string(text, n));
}

xobskey vdqtxts(const char* format, int flen, ...)
{
    va_list ap;
    va_start(ap, flen);
    std::string s = vdq::formatText(format, flen, ap);
    va_end(ap);
    return makeKey(std::move(s));
}

xobskey vdqmsg(int group, int number)
{
    return makeKey(vdq::catalogueRaw(group, number));
}

xobskey vvdqmsgs(int group, int number, va_list ap)
{
    return makeKey(vdq::catalogueFormatted(group, number, ap));
}

xobskey vdqmsgs(int group, int number, ...)
{
    va_list ap;
    va_start(ap, number);
    xobskey k = vvdqmsgs(group, number, ap);
    va_end(ap);
    return k;
}

const char* vdqkeytext(xobskey key, int* length)
{
    if (!key) {
        if (length)
            *length = 0;
        return "";
    }
    if (length)
        *length = static_cast<int>(key->text.size());
    return key->text.c_str();
}

std::string vdqkeystring(xobskey key)
{
    return key ? key->text : std::string();
}
