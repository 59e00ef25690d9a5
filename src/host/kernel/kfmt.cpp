// The "qxefmt" extension: kernel formats whose Func formats through the
// host's format engine, reading doubles, host bytes or QXChar and writing
// host bytes or QXChar.
#include "kernel_internal.h"
#include "vyr_format.h"
#include "vyr_utf8.h"

#include <atomic>
#include <cstring>
#include <string>

using namespace vyr::kernel;

namespace
{

std::atomic<QXFormatEngine> g_engine{nullptr};

std::string engine_format(const QXFmtStr_S* f, int w, int d, double value, const std::string& text)
{
    QXFormatEngine e = g_engine.load();
    if (e) {
        std::string out(static_cast<size_t>(w > 0 ? w : 64) + 64, ' ');
        long n =
            e(f->name, w, d, f->isChar, value, text.data(), text.size(), out.data(), out.size());
        if (n < 0)
            return std::string();
        out.resize(static_cast<size_t>(n));
        return out;
    }
    vyr::fmt::FormatDesc desc;
    desc.name = f->name;
    desc.width = w;
    desc.decimals = d;
    desc.hasDecimals = d > 0;
    if (f->isChar) {
        if (desc.name.empty() || desc.name[0] != '$')
            desc.name = "$";
        return vyr::fmt::format_text(text, desc);
    }
    if (desc.name.empty() && w <= 0)
        desc.name = "BEST";
    return vyr::fmt::format_number(value, desc);
}

QXStatus fmt_func(QXFmtStrp f, int /*mode*/)
{
    QXFmtPar& p = f->FmtPar;
    p.retw = 0;
    double value = 0;
    std::string text;
    if (f->in_which == 0) {
        if (!p.from || p.fromw < sizeof(double))
            return QX_E_INVALID;
        std::memcpy(&value, p.from, sizeof value);
    } else if (f->in_which == 2) {
        const auto* c = static_cast<const QXChar*>(p.from);
        QXStrSize n = static_cast<QXStrSize>(p.fromw);
        text.resize(static_cast<size_t>(sk_utf8_length(c, n)));
        text.resize(static_cast<size_t>(sk_to_utf8(c, n, text.data(), text.size())));
    } else {
        text.assign(static_cast<const char*>(p.from), static_cast<size_t>(p.fromw));
    }
    std::string out = engine_format(f, p.w, p.d, value, text);
    if (f->out_which == 2) {
        // Decode into QXChar; what does not fit is reported.
        auto* to = static_cast<QXChar*>(p.to);
        const auto* s = reinterpret_cast<const unsigned char*>(out.data());
        size_t i = 0;
        QXMemSize n = 0;
        while (i < out.size()) {
            if (n == p.tow) {
                p.retw = n;
                return QX_E_BUFSMALL;
            }
            size_t used;
            bool bad;
            to[n++] = utf8_decode(s + i, out.size() - i, &used, &bad);
            i += used;
        }
        p.retw = n;
        return QX_OK;
    }
    QXMemSize n = out.size() < p.tow ? out.size() : p.tow;
    std::memcpy(p.to, out.data(), static_cast<size_t>(n));
    p.retw = n;
    return n < out.size() ? QX_E_BUFSMALL : QX_OK;
}

void fmt_release(QXFmtStrp f)
{
    delete f;
}
QXStatus fmt_destroy(void* self)
{
    delete static_cast<QXFmtStr_S*>(self);
    return QX_OK;
}

QXStatus obj_setLocale(QXEFMT_OBJ_S* obj, const char* locale)
{
    std::strncpy(obj->locale, locale ? locale : "", sizeof obj->locale - 1);
    obj->locale[sizeof obj->locale - 1] = '\0';
    return QX_OK;
}
QXStatus obj_destroy(void* self)
{
    delete static_cast<QXEFMT_OBJ_S*>(self);
    return QX_OK;
}
QXStatus obj_close(QXEFMT_OBJ_S* obj)
{
    return obj_destroy(obj);
}

QXEFMT_OBJ_S* ext_getFormatter(QXEFMT_S*)
{
    auto* o = new QXEFMT_OBJ_S();
    o->hdr = {0x6F746D66, obj_destroy};
    o->setLocale = obj_setLocale;
    o->close = obj_close;
    return o;
}

QXFmtStrp ext_formatCreate(QXEFMT_S*, const char* name, int w, int d, int isChar, int in_which,
                           int out_which)
{
    if (in_which < 0 || in_which > 2 || out_which < 1 || out_which > 2)
        return nullptr;
    auto* f = new QXFmtStr_S();
    f->hdr = {0x746D6671, fmt_destroy};
    f->in_which = in_which;
    f->out_which = out_which;
    f->Func = fmt_func;
    f->release = fmt_release;
    std::strncpy(f->name, name ? name : "", sizeof f->name - 1);
    f->isChar = isChar ? 1 : 0;
    f->FmtPar.w = w;
    f->FmtPar.d = d;
    return f;
}

QXStatus shared_destroy(void*)
{
    return QX_OK;
}
QXEFMT_S g_ext = {{0x746D6665, shared_destroy}, ext_getFormatter, ext_formatCreate};

} // namespace

namespace vyr::kernel
{
void* load_efmt(QXHandle*)
{
    return &g_ext;
}
} // namespace vyr::kernel

void vyr_kernel_set_format_engine(QXFormatEngine engine)
{
    g_engine.store(engine);
}
