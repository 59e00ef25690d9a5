// The "qxeaa" extension: hash tables from byte keys to fixed-size values.
#include "kernel_internal.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

using namespace vyr::kernel;

namespace
{

struct KTable {
    QXEAA_S base;
    QXMemSize instride;
    QXMemSize maxkey;
    std::mutex mu;
    std::unordered_map<std::string, std::string> map;
};

KTable* tb(QXEAAh t)
{
    return reinterpret_cast<KTable*>(t);
}

QXStatus t_add(QXEAAh t, const void* key, QXMemSize keyL, const void* value)
{
    if (!t || (!key && keyL) || keyL > tb(t)->maxkey || !value)
        return QX_E_INVALID;
    std::lock_guard<std::mutex> lock(tb(t)->mu);
    auto [it, inserted] = tb(t)->map.try_emplace(
        std::string(static_cast<const char*>(key), static_cast<size_t>(keyL)),
        std::string(static_cast<const char*>(value), static_cast<size_t>(tb(t)->instride)));
    (void)it;
    return inserted ? 0 : 1;
}

QXStatus t_find(QXEAAh t, const void* key, QXMemSize keyL, void* value)
{
    if (!t || (!key && keyL))
        return QX_E_INVALID;
    std::lock_guard<std::mutex> lock(tb(t)->mu);
    auto it =
        tb(t)->map.find(std::string(static_cast<const char*>(key), static_cast<size_t>(keyL)));
    if (it == tb(t)->map.end())
        return QX_E_NOTFOUND;
    if (value)
        std::memcpy(value, it->second.data(), it->second.size());
    return QX_OK;
}

QXMemSize t_count(QXEAAh t)
{
    std::lock_guard<std::mutex> lock(tb(t)->mu);
    return tb(t)->map.size();
}

QXStatus t_destroy(void* self)
{
    delete static_cast<KTable*>(self);
    return QX_OK;
}

QXEAAh ext_create(QXEAA_EXTENSION*, QXMemSize instride, QXMemSize maxkey, uint32_t, int, int,
                  QXMemSize)
{
    if (instride == 0 || maxkey == 0)
        return nullptr;
    auto* t = new KTable();
    t->base.hdr = {0x61616571, t_destroy};
    t->base.add = t_add;
    t->base.find = t_find;
    t->base.count = t_count;
    t->instride = instride;
    t->maxkey = maxkey;
    return &t->base;
}

QXStatus shared_destroy(void*)
{
    return QX_OK;
}
QXEAA_EXTENSION g_ext = {{0x61616571, shared_destroy}, ext_create};

} // namespace

namespace vyr::kernel
{
void* load_eaa(QXHandle*)
{
    return &g_ext;
}
} // namespace vyr::kernel
