// Registry readers.
#include "runtime/zregis.h"

#include <cmath>
#include <cstring>

#include "runtime/missing.h"
#include "runtime/wztxt.h"
#include "vyr_host.h"

namespace
{

constexpr int kBufferSize = 256;
constexpr double kTwo53 = 9007199254740992.0;
constexpr unsigned kCodeMask = 0x803fffffu;

enum DatumType { kBinary = 1, kDouble = 2, kString = 3, kULong = 4, kLong = 5 };

// One datum as the host returned it.
struct Datum {
    int type = 0;
    int length = 0;
    alignas(8) unsigned char bytes[kBufferSize] = {};

    double as_double() const
    {
        double d;
        std::memcpy(&d, bytes, sizeof d);
        return d;
    }
    uint64_t as_ulong() const
    {
        uint64_t v;
        std::memcpy(&v, bytes, sizeof v);
        return v;
    }
    int64_t as_long() const
    {
        int64_t v;
        std::memcpy(&v, bytes, sizeof v);
        return v;
    }
};

struct Request {
    const tchar* path;
    int path_l;
    const tchar* name;
    int name_l;
    int msglevel;
};

bool masked_is(int rc, int code)
{
    return (static_cast<unsigned>(rc) & kCodeMask) == static_cast<unsigned>(code);
}

// The frame every reader shares: open the key, query the value, convert it
// with `convert` (which returns the reader's code), close the key.
template <class Convert> int read_value(const Request& q, Convert convert)
{
    REGHANDLE* reg = xregistry();
    void* key = nullptr;
    int hrc = xaaopen(reg, 0, q.path, q.path_l, &key);
    if (hrc < 0) {
        if (masked_is(hrc, XAA_KEY_NOT_FOUND))
            return ZREGIS_KEY_NOT_FOUND;
        xpslog("%1zThe VYR registry key \"%*s\" could not be opened.", q.path_l, q.path);
        xprrlog(0, hrc);
        return ZREGIS_FAILED;
    }

    int result;
    Datum datum;
    datum.length = kBufferSize;
    hrc = xaaqval(reg, key, q.name, q.name_l, &datum.type, datum.bytes, &datum.length, 0x4020,
                  nullptr);
    if (hrc < 0) {
        if (masked_is(hrc, XAA_NAME_NOT_FOUND)) {
            if (q.msglevel > 0)
                xpslog("%*zThe value name \"%*s\" was not found in the VYR registry key \"%*s\".",
                       q.msglevel, q.name_l, q.name, q.path_l, q.path);
            result = ZREGIS_NAME_NOT_FOUND;
        } else {
            xpslog("%1zThe value name \"%*s\" in the VYR registry key \"%*s\" could not be read.",
                   q.name_l, q.name, q.path_l, q.path);
            xprrlog(0, hrc);
            result = ZREGIS_FAILED;
        }
    } else {
        // Never trust a length beyond the buffer that was handed over.
        if (datum.length < 0)
            datum.length = 0;
        if (datum.length > kBufferSize)
            datum.length = kBufferSize;
        result = convert(datum);
    }

    hrc = xaaclos(reg, key);
    if (hrc < 0) {
        xpslog("%2zThe VYR registry key \"%*s\" could not be closed.", q.path_l, q.path);
        xprrlog(0, hrc);
    }
    return result;
}

void log_too_long(const Request& q, long long length, long long maxlen)
{
    xpslog(
        "%2zThe value name \"%*s\" in the VYR registry key \"%*s\" has a length of %lld, which is "
        "longer than the maximum length allowed of %lld.",
        q.name_l, q.name, q.path_l, q.path, length, maxlen);
}

// Compares the first min(n, k) bytes of text with a keyword of k bytes.
bool starts_alike(const tchar* text, int n, const char* keyword)
{
    const int k = static_cast<int>(std::strlen(keyword));
    const int m = n < k ? n : k;
    return std::memcmp(text, keyword, static_cast<size_t>(m)) == 0;
}

} // namespace

int zregis_getnum(const tchar* path, int path_l, const tchar* name, int name_l, int msglevel,
                  double* result)
{
    *result = korv_missing();
    const Request q{path, path_l, name, name_l, msglevel};
    return read_value(q, [&](const Datum& d) {
        switch (d.type) {
        case kDouble:
            *result = d.as_double();
            break;
        case kULong:
            *result = static_cast<double>(d.as_ulong());
            break;
        case kLong:
            *result = static_cast<double>(d.as_long());
            break;
        default:
            xpslog("%1zThe value name \"%*s\" in the VYR registry key \"%*s\" requires a double, "
                   "long, or unsigned long datum.",
                   name_l, name, path_l, path);
            return ZREGIS_BAD_TYPE;
        }
        return wzmis(*result) ? ZREGIS_NAME_NOT_FOUND : ZREGIS_OK;
    });
}

int zregis_getlong(const tchar* path, int path_l, const tchar* name, int name_l, long defval,
                   int msglevel, long* result)
{
    *result = defval;
    const Request q{path, path_l, name, name_l, msglevel};
    auto out_of_range = [&](double datum) {
        xpslog(
            "%1zThe value name \"%*s\" in the VYR registry key \"%*s\" requires an integer datum "
            "in the range %li to %li, but the datum is %g",
            name_l, name, path_l, path, static_cast<long>(-kTwo53), static_cast<long>(kTwo53),
            datum);
        return ZREGIS_NOT_INTEGER;
    };
    return read_value(q, [&](const Datum& d) {
        switch (d.type) {
        case kDouble: {
            const double v = d.as_double();
            if (wzmis(v))
                return ZREGIS_OK;
            if (!(v >= -kTwo53 && v <= kTwo53) || v != std::floor(v))
                return out_of_range(v);
            *result = static_cast<long>(v);
            return ZREGIS_OK;
        }
        case kULong: {
            const uint64_t v = d.as_ulong();
            if (v > static_cast<uint64_t>(kTwo53))
                return out_of_range(static_cast<double>(v));
            *result = static_cast<long>(v);
            return ZREGIS_OK;
        }
        case kLong:
            *result = static_cast<long>(d.as_long());
            return ZREGIS_OK;
        default:
            xpslog("%1zThe value name \"%*s\" in the VYR registry key \"%*s\" requires a long, "
                   "unsigned long, or double datum.",
                   name_l, name, path_l, path);
            return ZREGIS_BAD_TYPE;
        }
    });
}

int zregis_getbool(const tchar* path, int path_l, const tchar* name, int name_l, int defval,
                   int msglevel, int* result)
{
    *result = defval;
    const Request q{path, path_l, name, name_l, msglevel};
    return read_value(q, [&](const Datum& d) {
        double v;
        switch (d.type) {
        case kDouble:
            v = d.as_double();
            if (wzmis(v))
                return ZREGIS_OK;
            break;
        case kULong:
            v = static_cast<double>(d.as_ulong());
            break;
        case kLong:
            v = static_cast<double>(d.as_long());
            break;
        case kString: {
            if (d.length == 0)
                return ZREGIS_OK;
            tchar text[kBufferSize];
            std::memcpy(text, d.bytes, static_cast<size_t>(d.length));
            int n = 0;
            wzstjls(text, d.length, 'L', &n, nullptr);
            // A value of blanks only says nothing: it leaves the default, as
            // an empty value does, rather than matching every keyword over
            // zero bytes.
            if (n == 0)
                return ZREGIS_OK;
            wztxxlt(2, text, text, n);
            if (starts_alike(text, n, "YES") || starts_alike(text, n, "TRUE") ||
                (n == 1 && text[0] == '1')) {
                *result = 1;
                return ZREGIS_OK;
            }
            if (starts_alike(text, n, "NO") || starts_alike(text, n, "FALSE") ||
                (n == 1 && text[0] == '0')) {
                *result = 0;
                return ZREGIS_OK;
            }
            xpslog("%1zThe value name \"%*s\" in the VYR registry key \"%*s\" requires a value of "
                   "\"YES\", \"NO\", \"TRUE\", \"FALSE\", 1, or 0, but the value is \"%*s\".",
                   name_l, name, path_l, path, n, text);
            return ZREGIS_NOT_BOOLEAN;
        }
        default:
            xpslog("%1zThe value name \"%*s\" in the VYR registry key \"%*s\" is an invalid type.",
                   name_l, name, path_l, path);
            return ZREGIS_BAD_TYPE;
        }
        if (v == 0.0 || v == 1.0) {
            *result = v == 1.0 ? 1 : 0;
            return ZREGIS_OK;
        }
        xpslog(
            "%1zThe value name \"%*s\" in the VYR registry key \"%*s\" requires a value of 0 or 1, "
            "but the value is %g.",
            name_l, name, path_l, path, v);
        return ZREGIS_NOT_BOOLEAN;
    });
}

namespace
{

// The string readers: `keep` says whether a byte is kept, `image` what is
// stored for it.
template <class Keep, class Image>
int read_string(const Request& q, W_STRING* result, Keep keep, Image image)
{
    result->curlen = 0;
    return read_value(q, [&](const Datum& d) {
        if (d.type != kBinary && d.type != kString) {
            xpslog("%1zThe value name \"%*s\" in the VYR registry key \"%*s\" requires a string or "
                   "binary datum.",
                   q.name_l, q.name, q.path_l, q.path);
            return ZREGIS_BAD_TYPE;
        }
        const int64_t maxlen = result->maxlen > 0 ? result->maxlen : 0;
        int64_t kept = 0;
        for (int i = 0; i < d.length; ++i)
            if (keep(d.bytes[i]))
                ++kept;
        if (kept > maxlen)
            log_too_long(q, static_cast<long long>(kept), static_cast<long long>(result->maxlen));
        int64_t stored = 0;
        for (int i = 0; i < d.length && stored < maxlen; ++i)
            if (keep(d.bytes[i]))
                result->data[stored++] = static_cast<tchar>(image(d.bytes[i]));
        result->curlen = stored;
        return stored == 0 ? ZREGIS_NAME_NOT_FOUND : ZREGIS_OK;
    });
}

} // namespace

int zregis_getchar(const tchar* path, int path_l, const tchar* name, int name_l, int msglevel,
                   W_STRING* result)
{
    const Request q{path, path_l, name, name_l, msglevel};
    return read_string(
        q, result, [](unsigned char) { return true; }, [](unsigned char b) { return b; });
}

int zregis_getnorm(const tchar* path, int path_l, const tchar* name, int name_l, int msglevel,
                   W_STRING* result)
{
    const Request q{path, path_l, name, name_l, msglevel};
    const unsigned char* classes = xgcbcharclass();
    const unsigned char* map = xgcbcharmap();
    return read_string(
        q, result, [classes](unsigned char b) { return (classes[b] & 7u) != 0; },
        [map](unsigned char b) { return map[b]; });
}
