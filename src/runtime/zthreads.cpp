// Thread counts and grid settings.
#include "runtime/zthreads.h"

#include "runtime/qxnls.h"
#include "runtime/sk.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_parse.h"

#include <cstring>

namespace
{

constexpr QXMemSize GRID_BUFFER = 4096;

// Reads kernel option `name` as text into buf (GRID_BUFFER bytes); the
// number of bytes stored, or -1 when it cannot be read.
long read_text_option(const char* name, QXChar* buf)
{
    QXHandle* h = Exported_QXHandle;
    if (!h)
        return -1;
    QXChar wide[64];
    QXStrSize n = 0;
    for (; name[n] && n < 63; ++n)
        wide[n] = static_cast<unsigned char>(name[n]);
    wide[n] = 0;
    QXMemSize size = GRID_BUFFER;
    if (h->nameGet(h, wide, n, 4, buf, &size) != QX_OK)
        return -1;
    return static_cast<long>(size);
}

// Copies a text read into buf into a block of size + 4 bytes from the pool.
void copy_text(QXPoolh pool, const QXChar* buf, long size, QXChar** text, QXStrSize* len)
{
    if (!pool)
        return;
    auto* block =
        static_cast<QXChar*>(pool->alloc(pool, static_cast<QXMemSize>(size) + 4, 0x80000000u));
    if (!block)
        return;
    std::memcpy(block, buf, static_cast<size_t>(size));
    block[size / 4] = 0;
    *text = block;
    *len = size / 4;
}

void read_option_or_exit(const char* name, const char* problem, double* value)
{
    if (xyrngef(name, value) < 0) {
        xebug(problem);
        xexit(1012, 0);
    }
}

// Reads a macro variable as a number: -1 absent or missing, else 0 or 1.
int macro_switch(const char* name)
{
    double v;
    if (xjsymgn(name, &v) != 0 || (v != v))
        return -1;
    return v != 0 ? 1 : 0;
}

} // namespace

uint32_t str2Uint(QXChar* text, QXStrSize len)
{
    if (!text || len <= 0)
        return 0;
    qxzstup(text, len);
    if (!qxnlsisalnum(text[0]))
        return 0;
    uint64_t value = 0;
    uint64_t base = 10;
    for (QXStrSize i = 0; i < len && qxnlsisalnum(text[i]); ++i) {
        QXChar c = text[i];
        uint64_t digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c == 'X' && i == 1 && text[0] == '0') {
            base = 16;
            continue;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return 0; // a letter that is not part of a number
        }
        value = value * base + digit;
        if (value > 0xFFFFFFFFull)
            return 0;
    }
    return static_cast<uint32_t>(value);
}

void zquerythreads(char* threadsFlag, int* cpuCount)
{
    double v;
    read_option_or_exit("THREADS", "problem with global threads option", &v);
    *threadsFlag = v != 0 ? 1 : 0;
    read_option_or_exit("CPUCOUNT", "problem with global cpucount option", &v);
    *cpuCount = static_cast<int>(v);
}

int ztestthread(const char* procName, int procNameLen)
{
    static const char base[] = "_testthread";
    const int baseLen = static_cast<int>(sizeof base - 1);
    int r = macro_switch(base);
    if (procNameLen > 0 && procName) {
        // Room for the name, the procedure name and the terminating NUL.
        POOLHANDLE* pool = xtaskpool();
        auto* name = static_cast<char*>(pool->allocate(pool, procNameLen + baseLen + 1, 0x3004));
        if (name) {
            std::memcpy(name, base, static_cast<size_t>(baseLen));
            std::memcpy(name + baseLen, procName, static_cast<size_t>(procNameLen));
            name[baseLen + procNameLen] = '\0';
            int s = macro_switch(name);
            if (s >= 0 && s > r)
                r = s;
            pool->free(pool, name, procNameLen + baseLen + 1, 4);
        }
    }
    return r;
}

int zgridinf(void* /*reb*/, QXPoolh pool, _qxGridInfo* info)
{
    std::memset(info, 0, sizeof *info);
    info->structSize = 192;
    info->numProcesses = 0;
    info->maxProcessesPerHost = 0;
    info->maxThreadsPerProcess = 1;

    QXChar tbuf[GRID_BUFFER / 4];
    long size = read_text_option("OSENV.GRIDMASTER", tbuf);
    if (size < 0)
        size = read_text_option("OSENV.GRIDHOST", tbuf);
    if (size >= 0) {
        copy_text(pool, tbuf, size, &info->srvHost, &info->srvHostLen);
        size = read_text_option("OSENV.GRIDMASTERPORT", tbuf);
        if (size < 0)
            size = read_text_option("OSENV.GRIDPORT", tbuf);
        if (size >= 0)
            info->srvPortNum = str2Uint(tbuf, size / 4);
        if ((size = read_text_option("OSENV.GRIDRSHCOMMAND", tbuf)) >= 0)
            copy_text(pool, tbuf, size, &info->connectCmd, &info->connectCmdLen);
        if ((size = read_text_option("OSENV.GRIDINSTALLLOC", tbuf)) >= 0)
            copy_text(pool, tbuf, size, &info->installPath, &info->installPathLen);
        size = read_text_option("OSENV.GRIDHOSTS", tbuf);
        if (size < 0)
            size = read_text_option("OSENV.GRIDPROCESSES", tbuf);
        if (size >= 0)
            info->numProcesses = str2Uint(tbuf, size / 4);
        if ((size = read_text_option("OSENV.GRIDTHREADS", tbuf)) >= 0)
            info->maxThreadsPerProcess = str2Uint(tbuf, size / 4);
    }
    if (info->numProcesses == 0)
        info->maxThreadsPerProcess = wyrn6gf(4401) == 0 ? 0 : static_cast<uint32_t>(wyrn6gf(4153));
    return 0;
}

void zperform(STMT* stmt, STDPERFORM* std)
{
    std::memset(std, 0, sizeof *std);
    int count = 0;
    for (STMT* s = stmt; s; s = s->next) {
        if (std::strncmp(s->name, "PERFORM", 7) == 0) {
            ++count;
            std->stmt = s;
        }
    }
    if (count > 1)
        xpmlog(210, msg210::LAST_PERFORMANCE);

    std->cpuCountActual = 1;
    if (QXHandle* h = Exported_QXHandle) {
        static const QXChar name[] = {'h', 'o', 's', 't', '.', 'c', 'p',
                                      'u', 'c', 'o', 'u', 'n', 't'};
        int64_t v = 0;
        QXMemSize size = sizeof v;
        if (h->nameGet(h, name, 13, 3, &v, &size) == QX_OK && v != 0)
            std->cpuCountActual = static_cast<int>(v);
    }
    zquerythreads(&std->threadsFlag, &std->cpuCount);

    const STMT* s = std->stmt;
    if (!s)
        return;
    if (stmt_bit(s, 1))
        std->threadsFlag = 1;
    if (stmt_bit(s, 2))
        std->threadsFlag = 0;
    std->detailsFlag = stmt_bit(s, 6) ? 1 : 0;
    std->allDetailsFlag = stmt_bit(s, 9) ? 1 : 0;
    std->timingFlag = (stmt_bit(s, 6) && !stmt_bit(s, 7)) ? 1 : 0;
    std->statusFlag = stmt_bit(s, 8) ? 1 : 0;
    std->forceFlag = stmt_bit(s, 10) ? 1 : 0;
    if (stmt_bit(s, 3))
        std->cpuCount = 1;
    else if (stmt_bit(s, 4))
        std->cpuCount = 1024;
    else if (stmt_bit(s, 5))
        std->cpuCount = std->cpuCountActual;
    else if (stmt_given(s, 1))
        std->cpuCount = stmt_int(s, 1, std->cpuCount);
}
