// The kernel's national-language object, its character database extension
// ("qxnlsudb") and the transcoding pipelines.
#include "kernel_internal.h"

#include <atomic>
#include <cstring>

extern const uint32_t korv_udb_runs[][2];
extern const size_t korv_udb_runs_count;
extern const uint32_t korv_udb_upper[][2];
extern const size_t korv_udb_upper_count;
extern const uint32_t korv_udb_lower[][2];
extern const size_t korv_udb_lower_count;

using namespace vyr::kernel;

namespace
{

// ---------------------------------------------------------------------------
// Character database.
uint32_t udb_class_bits(QXChar c)
{
    if (c > 0x10FFFF)
        return QXCC_CN;
    size_t lo = 0, hi = korv_udb_runs_count; // last run whose start <= c
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        if (korv_udb_runs[mid][0] <= c)
            lo = mid;
        else
            hi = mid;
    }
    return 1u << korv_udb_runs[lo][1];
}

QXChar pair_lookup(const uint32_t (*t)[2], size_t n, QXChar c)
{
    size_t lo = 0, hi = n;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (t[mid][0] < c)
            lo = mid + 1;
        else
            hi = mid;
    }
    return (lo < n && t[lo][0] == c) ? t[lo][1] : c;
}

uint32_t udb_classBits(QXNLSUDB_S*, QXChar c)
{
    return udb_class_bits(c);
}
QXChar udb_upper(QXNLSUDB_S*, QXChar c)
{
    return pair_lookup(korv_udb_upper, korv_udb_upper_count, c);
}
QXChar udb_lower(QXNLSUDB_S*, QXChar c)
{
    return pair_lookup(korv_udb_lower, korv_udb_lower_count, c);
}
QXStatus shared_destroy(void*)
{
    return QX_OK;
}

QXNLSUDB_S g_udb = {{0x62647571, shared_destroy}, udb_classBits, udb_upper, udb_lower};

// ---------------------------------------------------------------------------
// The national-language object.
QXChar nls_upcase(QXNLSh, QXChar c, int)
{
    return udb_upper(&g_udb, c);
}
QXChar nls_lowcase(QXNLSh, QXChar c, int)
{
    return udb_lower(&g_udb, c);
}

QXBoolean nls_isclass(QXNLSh nls, QXChar c, uint32_t mask)
{
    std::atomic_ref<void*> slot(nls->udb);
    void* udb = slot.load(std::memory_order_acquire);
    if (!udb) {
        static const QXChar name[] = {'q', 'x', 'n', 'l', 's', 'u', 'd', 'b'};
        QXHandle* h = vyr_kernel_handle();
        void* loaded = h->loadExtension(h, name, 8, 0);
        if (!loaded)
            return 0;
        void* expected = nullptr;
        if (slot.compare_exchange_strong(expected, loaded, std::memory_order_acq_rel))
            udb = loaded;
        else
            udb = expected;
    }
    auto* db = static_cast<QXNLSUDB_S*>(udb);
    return (db->classBits(db, c) & mask) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Pipelines: decode the input encoding to code points, encode to the
// target. Malformed input becomes U+FFFD, characters the target cannot show
// become '?', and both are reported; output that does not fit stops the
// transcoding with QX_E_BUFSMALL.
struct Sink {
    unsigned char* out;
    QXMemSize cap;
    QXMemSize len = 0;
    bool full = false;
    bool put(const void* bytes, QXMemSize n)
    {
        if (len + n > cap) {
            full = true;
            return false;
        }
        std::memcpy(out + len, bytes, static_cast<size_t>(n));
        len += n;
        return true;
    }
};

bool encode(int cei, QXChar c, Sink& sink, bool* notrepr)
{
    if (cei == QX_CEI_QXCHAR)
        return sink.put(&c, sizeof c);
    if (cei == QX_CEI_LATIN1) {
        unsigned char b = c <= 0xFF ? static_cast<unsigned char>(c) : '?';
        if (c > 0xFF)
            *notrepr = true;
        return sink.put(&b, 1);
    }
    unsigned char b[4];
    QXMemSize n;
    if (c < 0x80) {
        b[0] = static_cast<unsigned char>(c);
        n = 1;
    } else if (c < 0x800) {
        b[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        b[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        n = 2;
    } else if (c < 0x10000) {
        b[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        b[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        b[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
        b[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        b[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        b[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        n = 4;
    }
    return sink.put(b, n);
}

QXStatus pipe_transcode(QXNLSPipelineh pipe, const void* in, QXMemSize inL, void* out,
                        QXMemSize outCap, QXMemSize* outL)
{
    Sink sink{static_cast<unsigned char*>(out), outCap};
    bool bad = false, notrepr = false;
    const auto* s = static_cast<const unsigned char*>(in);
    QXMemSize i = 0;
    if (pipe->fromCei == QX_CEI_QXCHAR && inL % 4 != 0)
        bad = true;
    while (i < inL && !sink.full) {
        QXChar c;
        QXMemSize used;
        if (pipe->fromCei == QX_CEI_QXCHAR) {
            if (inL - i < 4)
                break;
            std::memcpy(&c, s + i, 4);
            used = 4;
            if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
                c = 0xFFFD;
                bad = true;
            }
        } else if (pipe->fromCei == QX_CEI_LATIN1) {
            c = s[i];
            used = 1;
        } else {
            size_t u;
            bool b;
            c = utf8_decode(s + i, static_cast<size_t>(inL - i), &u, &b);
            used = u;
            bad = bad || b;
        }
        if (!encode(pipe->toCei, c, sink, &notrepr))
            break;
        i += used;
    }
    if (outL)
        *outL = sink.len;
    if (sink.full)
        return QX_E_BUFSMALL;
    if (notrepr)
        return QX_E_NOTREPR;
    if (bad)
        return QX_E_BADINPUT;
    return QX_OK;
}

QXStatus pipe_destroy(void* self)
{
    delete static_cast<QXNLSPipeline_S*>(self);
    return QX_OK;
}

bool known_cei(int cei)
{
    return cei == QX_CEI_QXCHAR || cei == QX_CEI_UTF8 || cei == QX_CEI_LATIN1;
}

QXNLSPipelineh nls_pipelineCreate(QXNLSh, int fromCei, int toCei)
{
    if (!known_cei(fromCei) || !known_cei(toCei))
        return nullptr;
    auto* p = new QXNLSPipeline_S();
    p->hdr = {0x65706970, pipe_destroy};
    p->Transcode = pipe_transcode;
    p->fromCei = fromCei;
    p->toCei = toCei;
    return p;
}

int nls_sessionCei(QXNLSh)
{
    return QX_CEI_UTF8;
}

QXNLS_S g_nls = {{0x736C6E71, shared_destroy}, nls_upcase,    nls_lowcase, nls_isclass, nullptr,
                 nls_pipelineCreate,           nls_sessionCei};

} // namespace

namespace vyr::kernel
{

QXNLSh nls_object()
{
    return &g_nls;
}
void* load_udb(QXHandle*)
{
    return &g_udb;
}

} // namespace vyr::kernel
