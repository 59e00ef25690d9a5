// The memory the host's pools may still hand out.
#include "host/session/session_state.h"
#include "vyr_host.h"

#include <cstdlib>
#include <unistd.h>

int wmrlmem(double* amount, int /*flags*/)
{
    if (amount == nullptr)
        return -1;
    int len = 0;
    const char* text = xoptcgt("MEMSIZE", &len);
    const long long limit = len > 0 ? std::strtoll(text, nullptr, 10) : 0;
    if (limit > 0) {
        const long long used = static_cast<long long>(vyr::pools_in_use());
        *amount = static_cast<double>(limit > used ? limit - used : 0);
        return 0;
    }
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long size = sysconf(_SC_PAGESIZE);
    *amount = pages > 0 && size > 0 ? static_cast<double>(pages) * static_cast<double>(size)
                                    : 1024.0 * 1024.0 * 1024.0;
    return 0;
}
