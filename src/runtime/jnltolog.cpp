// Journal to log. Journal text is always printed as an argument of "%s",
// never as a format, and every character reaches the log: lines are
// transcoded into a buffer with room for the longest UTF-8 form.
#include "runtime/jnltolog.h"

#include "runtime/sk.h"
#include "vyr_host.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr QXStrSize CHUNK_CHARS = 8180;
constexpr size_t CHUNK_BYTES = 4 * CHUNK_CHARS + 1; // UTF-8 needs up to 4 bytes a character
constexpr QXMemSize WRITE_CHUNK = 999;

void print(int flags, const std::string& format, const char* text)
{
    if (flags & JNL_PRINT)
        xpsnprn(format.c_str(), text);
    else
        xpsnlog(format.c_str(), text);
}

bool is_level_prefix(const char* s, size_t n)
{
    return n >= 3 && s[0] == '%' && s[1] >= '1' && s[1] <= '3' && s[2] == 'z';
}

QXStatus io_none_read(QX_IO_S*, void*, QXMemSize, QXMemSize* got)
{
    if (got)
        *got = 0;
    return QX_E_UNSUPPORTED;
}
QXStatus io_none_readLine(QX_IO_S*, QXChar*, QXStrSize, QXStrSize* got)
{
    if (got)
        *got = 0;
    return QX_E_UNSUPPORTED;
}

} // namespace

QXStatus jnltolog_destroy(void*)
{
    return QX_OK;
}
QXStatus jnltolog_flush(QX_IO_S*)
{
    return QX_OK;
}

QXStatus jnltolog_writeline(QX_IO_S* device, const QXChar* line, QXStrSize lineL, int sev)
{
    auto* d = reinterpret_cast<jnltolog_S*>(device);
    if (lineL <= 0 || !line)
        return QX_OK;
    std::string prefix;
    if ((d->flags & JNL_SEVERITY) && sev >= 2) {
        QXStrSize colon = -1;
        for (QXStrSize i = 0; i < lineL; ++i)
            if (line[i] == ':') {
                colon = i;
                break;
            }
        if (colon >= 0) {
            QXStrSize start = colon + 1;
            if (start < lineL && line[start] == ' ')
                ++start;
            line += start;
            lineL -= start;
            if (lineL <= 0)
                return QX_OK;
            prefix = sev == 2 ? "%3z" : (sev == 3 ? "%2z" : "%1z");
        }
    }
    std::vector<char> buf(CHUNK_BYTES);
    for (QXStrSize at = 0; at < lineL; at += CHUNK_CHARS) {
        QXStrSize n = lineL - at < CHUNK_CHARS ? lineL - at : CHUNK_CHARS;
        QXMemSize len = 0;
        QXStatus st = QX_E_FAILED;
        if (d->fromQXChar)
            st = d->fromQXChar->Transcode(d->fromQXChar, line + at, static_cast<QXMemSize>(n) * 4,
                                          buf.data(), CHUNK_BYTES - 1, &len);
        // Substitutes are visible in the pipeline's output for characters it
        // cannot show; on any other failure the chunk goes out as UTF-8.
        if (st != QX_OK && st != QX_E_NOTREPR && st != QX_E_BADINPUT)
            len = sk_to_utf8(line + at, n, buf.data(), CHUNK_BYTES - 1);
        buf[len] = '\0';
        const char* text = buf.data();
        std::string format = prefix;
        if (d->flags & JNL_RAW) {
            if (len >= 8 && std::memcmp(text + len - 8, "\5\5\5\5\5\5\5\5", 8) == 0) {
                xppage();
                continue;
            }
            if (format.empty() && is_level_prefix(text, len)) {
                format.assign(text, 3);
                text += 3;
            }
        }
        print(d->flags, format + "%s", text);
    }
    return QX_OK;
}

QXStatus jnltolog_write(QX_IO_S* device, const void* bytes, QXMemSize length)
{
    auto* d = reinterpret_cast<jnltolog_S*>(device);
    const char* p = static_cast<const char*>(bytes);
    char chunk[WRITE_CHUNK + 1];
    for (QXMemSize at = 0; at < length; at += WRITE_CHUNK) {
        QXMemSize n = length - at < WRITE_CHUNK ? length - at : WRITE_CHUNK;
        std::memcpy(chunk, p + at, static_cast<size_t>(n));
        chunk[n] = '\0';
        print(d->flags, "%s", chunk);
    }
    return QX_OK;
}

int jnltolog(void* reb, QXJnlh jnl, int flags)
{
    if (!jnl || !jnl->hasData(jnl))
        return 0;
    QXHandle* h = Exported_QXHandle;
    QXNLSh nls = h ? h->qxnls : nullptr;
    int64_t cei = -1;
    if (h) {
        static const QXChar name[] = {'Q', 'X', 'N', 'L', 'S', '.', 'N', 'Q', 'V', '_', 'S',
                                      'E', 'S', 'S', 'I', 'O', 'N', '_', 'C', 'E', 'I'};
        QXMemSize size = sizeof cei;
        if (h->nameGet(h, name, 21, 3, &cei, &size) != QX_OK)
            cei = -1;
    }
    if (cei < 0 && nls)
        cei = nls->sessionCei(nls);

    jnltolog_S dev{};
    dev.device.hdr = {QX_IO_TAG, jnltolog_destroy};
    dev.device.flush = jnltolog_flush;
    dev.device.read = io_none_read;
    dev.device.readLine = io_none_readLine;
    dev.device.write = jnltolog_write;
    dev.device.writeLine = jnltolog_writeline;
    dev.reb = reb;
    dev.flags = flags;
    dev.fromQXChar = (nls && cei >= 0)
                         ? nls->pipelineCreate(nls, QX_CEI_QXCHAR, static_cast<int>(cei))
                         : nullptr;

    if (jnl->config(jnl, 0x20000, 0, &dev.device, 0, 0, 0, 0, 0) != QX_OK) {
        if (dev.fromQXChar)
            dev.fromQXChar->hdr.destroy(dev.fromQXChar);
        return JNL_E_ATTACH;
    }
    jnl->flush(jnl);
    jnl->config(jnl, 0x20000, 0, nullptr, 0, 0, 0, 0, 0);
    if (dev.fromQXChar)
        dev.fromQXChar->hdr.destroy(dev.fromQXChar);
    return 0;
}
