// Utility files: temporary files of records, held in memory and moved to a
// temporary file on disk once their content passes the spill limit. A noted
// position is the byte offset plus 1, so that a noted position is never 0
// (callers read 0 as "nothing noted yet").

#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_session.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace
{

constexpr int kFacility = 40;
inline int code(int n)
{
    return vyr_code(kFacility, n);
}
enum {
    kNoCreate = 1,
    kBadPosition = 2,
    kPastEnd = 3,
    kWriteFailed = 4,
    kBadHandle = 5,
    kReadFailed = 10,
    kNegativeLength = 11,
};

std::atomic<long> g_spillLimit{64L * 1024 * 1024};

constexpr unsigned kMagic = 0x55544C46u; // marks a live handle

} // namespace

// Files opened during a step belong to it: the procedure never closes them,
// so the host closes (and deletes) them when the step ends.
namespace vyr
{
std::atomic<int> g_openFiles{0};
std::mutex& step_files_lock()
{
    static std::mutex m;
    return m;
}
std::unordered_set<XCFILE*>& step_files()
{
    static std::unordered_set<XCFILE*> s;
    return s;
}
void step_stores_close(); // pagestore.cpp

void files_step_end()
{
    std::vector<XCFILE*> open;
    {
        std::lock_guard<std::mutex> g(step_files_lock());
        open.assign(step_files().begin(), step_files().end());
    }
    for (XCFILE* f : open)
        xcclose(f);
    step_stores_close();
}

void files_hook_step_end()
{
    static std::once_flag once;
    std::call_once(once, [] { vyr_on_step_end([](const VyrStep&, int&) { files_step_end(); }); });
}
} // namespace vyr

struct XCFILE {
    unsigned magic = kMagic;
    std::vector<char> memory;  // content while in memory
    std::FILE* disk = nullptr; // content once spilled
    long long size = 0;        // bytes of content (the end of what was written)
    long long pos = 0;         // current position
    std::string name;
};

namespace
{

bool valid(const XCFILE* f)
{
    return f != nullptr && f->magic == kMagic;
}

// Moves the content to a temporary file; false when that fails.
// A temporary file in TMPDIR (else /tmp), removed from the folder at once so
// that nothing is left behind however the run ends.
std::FILE* temporary_file()
{
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/korvante-XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return nullptr;
    unlink(name.data());
    std::FILE* f = fdopen(fd, "w+b");
    if (f == nullptr)
        close(fd);
    return f;
}

bool spill(XCFILE* f)
{
    std::FILE* d = temporary_file();
    if (d == nullptr)
        return false;
    if (f->size > 0 && std::fwrite(f->memory.data(), 1, static_cast<std::size_t>(f->size), d) !=
                           static_cast<std::size_t>(f->size)) {
        std::fclose(d);
        return false;
    }
    f->disk = d;
    std::vector<char>().swap(f->memory);
    return true;
}

} // namespace

int xcopen(XCFILE** file, XCREQUEST* request)
{
    if (file == nullptr)
        return code(kBadHandle);
    *file = nullptr;
    XCFILE* f = new (std::nothrow) XCFILE;
    if (f == nullptr)
        return code(kNoCreate);
    if (request != nullptr && request->name != nullptr)
        f->name = request->name;
    if (xcurrentstep() != nullptr) {
        vyr::files_hook_step_end();
        std::lock_guard<std::mutex> g(vyr::step_files_lock());
        vyr::step_files().insert(f);
    }
    ++vyr::g_openFiles;
    *file = f;
    return 0;
}

int xcpoint(XCFILE* file, long position)
{
    if (!valid(file))
        return code(kBadHandle);
    if (position == 0) {
        file->pos = 0; // content kept: reread or overwrite from the start
        return 0;
    }
    if (position == -2) {
        file->pos = 0;
        file->size = 0;
        if (file->disk == nullptr)
            file->memory.clear();
        return 0;
    }
    return code(kBadPosition);
}

int xcwrite(XCFILE* file, const void* buffer, long length)
{
    if (!valid(file))
        return code(kBadHandle);
    if (length < 0)
        return code(kNegativeLength);
    if (length == 0)
        return 0;
    if (buffer == nullptr)
        return code(kWriteFailed);
    long long end = file->pos + length;
    if (file->disk == nullptr && end > g_spillLimit.load()) {
        if (!spill(file))
            return code(kWriteFailed);
    }
    if (file->disk == nullptr) {
        try {
            if (static_cast<long long>(file->memory.size()) < end)
                file->memory.resize(static_cast<std::size_t>(end));
        } catch (const std::bad_alloc&) {
            // No room in memory: go to disk instead.
            if (!spill(file))
                return code(kWriteFailed);
        }
    }
    if (file->disk == nullptr) {
        std::memcpy(file->memory.data() + file->pos, buffer, static_cast<std::size_t>(length));
    } else {
        if (fseeko(file->disk, static_cast<off_t>(file->pos), SEEK_SET) != 0 ||
            std::fwrite(buffer, 1, static_cast<std::size_t>(length), file->disk) !=
                static_cast<std::size_t>(length))
            return code(kWriteFailed);
    }
    file->pos = end;
    file->size = std::max(file->size, end);
    return 0;
}

int xcread(XCFILE* file, void* buffer, long length)
{
    if (!valid(file))
        return code(kBadHandle);
    if (length < 0)
        return code(kNegativeLength);
    if (file->pos + length > file->size)
        return code(kPastEnd); // a short read is an error and reads nothing
    if (length == 0)
        return 0;
    if (buffer == nullptr)
        return code(kReadFailed);
    if (file->disk == nullptr) {
        std::memcpy(buffer, file->memory.data() + file->pos, static_cast<std::size_t>(length));
    } else {
        std::fflush(file->disk);
        if (fseeko(file->disk, static_cast<off_t>(file->pos), SEEK_SET) != 0 ||
            std::fread(buffer, 1, static_cast<std::size_t>(length), file->disk) !=
                static_cast<std::size_t>(length))
            return code(kReadFailed);
    }
    file->pos += length;
    return 0;
}

int xcnoted(XCFILE* file, double* position)
{
    if (!valid(file) || position == nullptr)
        return code(kBadHandle);
    *position = static_cast<double>(file->pos + 1);
    return 0;
}

int xcpntd(XCFILE* file, double position)
{
    if (!valid(file))
        return code(kBadHandle);
    // A noted position is offset + 1 and lies within what was written.
    if (!(position >= 1.0) || position > static_cast<double>(file->size + 1) ||
        position != static_cast<double>(static_cast<long long>(position)))
        return code(kBadPosition);
    file->pos = static_cast<long long>(position) - 1;
    return 0;
}

int xcclose(XCFILE* file)
{
    if (!valid(file))
        return code(kBadHandle);
    {
        std::lock_guard<std::mutex> g(vyr::step_files_lock());
        vyr::step_files().erase(file);
    }
    if (file->disk != nullptr)
        std::fclose(file->disk); // already removed from its folder
    file->magic = 0;
    delete file;
    --vyr::g_openFiles;
    return 0;
}

void xcsetspill(long bytes)
{
    g_spillLimit = bytes < 0 ? 0 : bytes;
}

int xcondisk(const XCFILE* file)
{
    return valid(file) && file->disk != nullptr ? 1 : 0;
}

int xcopenfiles()
{
    return vyr::g_openFiles.load();
}
