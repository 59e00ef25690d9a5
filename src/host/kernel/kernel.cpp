// The stand-in kernel's handle: option values, pools, journals and the
// extension loader. Threads and events are in kthreads.cpp, the
// national-language object in knls.cpp.
#include "kernel_internal.h"
#include "vyr_pool.h"
#include "vyr_session.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace vyr::kernel
{

bool ascii_name(const QXChar* name, QXStrSize nameL, std::string& out)
{
    out.clear();
    if (!name)
        return false;
    for (QXStrSize i = 0; i < nameL; ++i) {
        if (name[i] == 0 || name[i] > 127)
            return false;
        out.push_back(static_cast<char>(name[i]));
    }
    return true;
}

QXChar utf8_decode(const unsigned char* s, size_t n, size_t* used, bool* bad)
{
    *bad = false;
    unsigned char b = s[0];
    *used = 1;
    if (b < 0x80)
        return b;
    int k;
    QXChar c;
    if ((b & 0xE0) == 0xC0) {
        k = 2;
        c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        k = 3;
        c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        k = 4;
        c = b & 0x07;
    } else {
        *bad = true;
        return 0xFFFD;
    }
    if (n < static_cast<size_t>(k)) {
        *bad = true;
        return 0xFFFD;
    }
    for (int i = 1; i < k; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            *bad = true;
            return 0xFFFD;
        }
        c = (c << 6) | (s[i] & 0x3F);
    }
    static const QXChar least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[k] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
        *bad = true;
        return 0xFFFD;
    }
    *used = static_cast<size_t>(k);
    return c;
}

} // namespace vyr::kernel

using namespace vyr::kernel;
using vyr::upper;

namespace
{

// ---------------------------------------------------------------------------
// Option values.
std::mutex g_opt_mu;
std::map<std::string, std::string>& override_options()
{
    static std::map<std::string, std::string> m;
    return m;
}

// The value of option `name` (upper-cased): the host's settings first, then
// the --option values of the run, then the kernel's own.
bool option_value(const std::string& name, std::string& value)
{
    {
        std::lock_guard<std::mutex> lock(g_opt_mu);
        auto it = override_options().find(name);
        if (it != override_options().end()) {
            value = it->second;
            return true;
        }
    }
    for (const auto& [key, v] : vyr_settings().options) {
        if (upper(key) == name) {
            value = v;
            return true;
        }
    }
    if (name == "HOST.CPUCOUNT") {
        value = std::to_string(vyr::machine_cores());
        return true;
    }
    if (name == "QXNLS.NQV_SESSION_CEI") {
        value = std::to_string(QX_CEI_UTF8);
        return true;
    }
    return false;
}

bool parse_int64(const std::string& text, int64_t* out)
{
    size_t a = 0, b = text.size();
    while (a < b && std::isspace(static_cast<unsigned char>(text[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(text[b - 1])))
        --b;
    if (a == b)
        return false;
    std::string t = text.substr(a, b - a);
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0')
        return false;
    *out = v;
    return true;
}

QXStatus k_nameGet(QXHandle* /*h*/, const QXChar* name, QXStrSize nameL, int type, void* buffer,
                   QXMemSize* size)
{
    std::string n, value;
    if (!size || !ascii_name(name, nameL, n))
        return QX_E_INVALID;
    if (!option_value(upper(n), value))
        return QX_E_NOTFOUND;
    if (type == 3) {
        int64_t v;
        if (!parse_int64(value, &v))
            return QX_E_TYPE;
        if (*size < sizeof v || !buffer) {
            *size = sizeof v;
            return QX_E_BUFSMALL;
        }
        std::memcpy(buffer, &v, sizeof v);
        *size = sizeof v;
        return QX_OK;
    }
    if (type == 4) {
        std::vector<QXChar> chars;
        const auto* s = reinterpret_cast<const unsigned char*>(value.data());
        size_t i = 0;
        while (i < value.size()) {
            size_t used;
            bool bad;
            chars.push_back(utf8_decode(s + i, value.size() - i, &used, &bad));
            i += used;
        }
        QXMemSize need = chars.size() * sizeof(QXChar);
        if (*size < need || (need && !buffer)) {
            *size = need;
            return QX_E_BUFSMALL;
        }
        if (need)
            std::memcpy(buffer, chars.data(), need);
        *size = need;
        return QX_OK;
    }
    return QX_E_UNSUPPORTED;
}

// ---------------------------------------------------------------------------
// Pools: each allocation is zero-filled and remembered, so destroying the
// pool releases all of them.
struct KPool {
    QXPool_S base;
    std::mutex mu;
    std::unordered_set<void*> blocks;
    std::string name;
};

QXMemPtr pool_alloc(QXPoolh pool, QXMemSize length, uint32_t /*flags*/)
{
    auto* p = reinterpret_cast<KPool*>(pool);
    void* m = std::calloc(1, length ? static_cast<size_t>(length) : 1);
    if (!m)
        return nullptr;
    std::lock_guard<std::mutex> lock(p->mu);
    p->blocks.insert(m);
    return m;
}

void pool_free(QXPoolh pool, QXMemPtr address)
{
    if (!address)
        return;
    auto* p = reinterpret_cast<KPool*>(pool);
    std::lock_guard<std::mutex> lock(p->mu);
    if (p->blocks.erase(address))
        std::free(address);
}

QXStatus pool_destroy(void* self)
{
    auto* p = static_cast<KPool*>(self);
    for (void* m : p->blocks)
        std::free(m);
    delete p;
    return QX_OK;
}

QXPoolh k_poolCreate(QXHandle* /*h*/, const char* name, uint32_t /*flags*/, QXMemSize /*initial*/,
                     int /*numa*/)
{
    auto* p = new KPool();
    p->base.hdr = {0x6C6F6F70, pool_destroy};
    p->base.alloc = pool_alloc;
    p->base.free = pool_free;
    p->name = name ? name : "";
    return &p->base;
}

// ---------------------------------------------------------------------------
// Journals: lines of QXChar with a severity, handed to the attached device
// when flushed.
struct KJournal {
    QX_JNL_S base;
    std::mutex mu;
    struct Line {
        std::vector<QXChar> text;
        int sev;
    };
    std::vector<Line> lines;
    QX_IO_S* device = nullptr;
};

QXBoolean jnl_hasData(QXJnlh jnl)
{
    auto* j = reinterpret_cast<KJournal*>(jnl);
    std::lock_guard<std::mutex> lock(j->mu);
    return j->lines.empty() ? 0 : 1;
}

QXStatus jnl_config(QXJnlh jnl, uint32_t what, uint32_t /*flags*/, QX_IO_S* device, long, long,
                    long, long, long)
{
    if (what != 0x20000)
        return QX_E_UNSUPPORTED;
    if (device && device->hdr.tag != QX_IO_TAG)
        return QX_E_INVALID;
    auto* j = reinterpret_cast<KJournal*>(jnl);
    std::lock_guard<std::mutex> lock(j->mu);
    j->device = device;
    return QX_OK;
}

QXStatus jnl_flush(QXJnlh jnl)
{
    auto* j = reinterpret_cast<KJournal*>(jnl);
    std::vector<KJournal::Line> lines;
    QX_IO_S* dev;
    {
        std::lock_guard<std::mutex> lock(j->mu);
        dev = j->device;
        if (!dev)
            return QX_OK;
        lines.swap(j->lines);
    }
    QXStatus worst = QX_OK;
    for (const auto& l : lines) {
        QXStatus st =
            dev->writeLine(dev, l.text.data(), static_cast<QXStrSize>(l.text.size()), l.sev);
        if (st != QX_OK)
            worst = st;
    }
    if (dev->flush)
        dev->flush(dev);
    return worst;
}

QXStatus jnl_addLine(QXJnlh jnl, const QXChar* line, QXStrSize lineL, int sev)
{
    auto* j = reinterpret_cast<KJournal*>(jnl);
    std::lock_guard<std::mutex> lock(j->mu);
    KJournal::Line l;
    if (line && lineL > 0)
        l.text.assign(line, line + lineL);
    l.sev = sev;
    j->lines.push_back(std::move(l));
    return QX_OK;
}

QXStatus jnl_destroy(void* self)
{
    delete static_cast<KJournal*>(self);
    return QX_OK;
}

QXJnlh k_journalCreate(QXHandle* /*h*/)
{
    auto* j = new KJournal();
    j->base.hdr = {0x006C6E6A, jnl_destroy};
    j->base.hasData = jnl_hasData;
    j->base.config = jnl_config;
    j->base.flush = jnl_flush;
    j->base.addLine = jnl_addLine;
    return &j->base;
}

// ---------------------------------------------------------------------------
// Extensions.
std::mutex g_ext_mu;
struct ExtEntry {
    QXExtensionLoader loader;
    long loads;
};
std::map<std::string, ExtEntry>& extensions()
{
    static std::map<std::string, ExtEntry> m = {
        {"QXNLSUDB", {load_udb, 0}},
        {"QXEAVL", {load_eavl, 0}},
        {"QXEAA", {load_eaa, 0}},
        {"QXEFMT", {load_efmt, 0}},
    };
    return m;
}

void* k_loadExtension(QXHandle* h, const QXChar* name, QXStrSize nameL, uint32_t /*flags*/)
{
    std::string n;
    if (!ascii_name(name, nameL, n))
        return nullptr;
    QXExtensionLoader loader;
    {
        std::lock_guard<std::mutex> lock(g_ext_mu);
        auto it = extensions().find(upper(n));
        if (it == extensions().end())
            return nullptr;
        ++it->second.loads;
        loader = it->second.loader;
    }
    return loader(h);
}

QXStatus handle_destroy(void*)
{
    return QX_OK;
}

QXHandle g_handle = {
    {0x6B726E6C, handle_destroy},
    k_nameGet,
    k_loadExtension,
    k_poolCreate,
    event_create,
    thread_create,
    thread_get_handle,
    nullptr,
    nullptr,
    k_journalCreate,
};

} // namespace

QXHandle* vyr_kernel_handle()
{
    static const bool once = [] {
        g_handle.defaultThread = boot_thread();
        g_handle.qxnls = nls_object();
        return true;
    }();
    (void)once;
    return &g_handle;
}

void vyr_kernel_option_set(const char* name, const char* value)
{
    if (!name)
        return;
    std::lock_guard<std::mutex> lock(g_opt_mu);
    if (value)
        override_options()[upper(name)] = value;
    else
        override_options().erase(upper(name));
}

void vyr_kernel_register_extension(const char* name, QXExtensionLoader loader)
{
    if (!name || !loader)
        return;
    std::lock_guard<std::mutex> lock(g_ext_mu);
    extensions()[upper(name)] = {loader, 0};
}

long vyr_kernel_load_count(const char* name)
{
    if (!name)
        return 0;
    std::lock_guard<std::mutex> lock(g_ext_mu);
    auto it = extensions().find(upper(name));
    return it == extensions().end() ? 0 : it->second.loads;
}
