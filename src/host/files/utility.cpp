// Utility files: temporary files of records, held in memory and moved to a
// temporary file on disk once their content passes the spill limit. A noted
// position is the byte offset plus 1, so that a noted position is never 0
// (callers read 0 as "nothing noted yet").

#include "host/files/files_internal.h"
#include "host/session/session_state.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_session.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// The content a file keeps in memory before it moves to disk: an eighth of
// the machine's memory (at least 64 MiB), so that the records of a large
// data set stay in memory where there is room for them; xcsetspill sets it,
// and MEMSIZE= lowers it to a quarter of its value.
long default_spill_limit()
{
    const long floor = 64L * 1024 * 1024;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0)
        return floor;
    const long long eighth = static_cast<long long>(pages) * size / 8;
    return static_cast<long>(std::max<long long>(floor, eighth));
}
std::atomic<long> g_spillLimit{default_spill_limit()};

// Content in memory is kept in chunks of this many bytes: growing never moves
// what was written, nor holds it twice.
constexpr long long kChunk = 1LL << 20;

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
    std::call_once(once,
                   [] { vyr::host_on_step_end([](const VyrStep&, int&) { files_step_end(); }); });
}
} // namespace vyr

struct XCFILE {
    unsigned magic = kMagic;
    std::vector<std::unique_ptr<char[]>> chunks; // content while in memory
    long long memsizeCap = 0; // a quarter of MEMSIZE= when it was set at the open
    int disk = -1;            // descriptor of the content once spilled
    long long size = 0;       // bytes of content (the end of what was written)
    long long pos = 0;        // current position
    std::string name;
    // On disk, records are small: writes gather in a buffer that goes out in
    // one call, and reads are served from a window of the file whose size
    // follows how much of the last window was used.
    std::vector<char> wbuf; // bytes for [wstart, wstart + wbuf.size())
    long long wstart = 0;
    std::vector<char> rbuf; // bytes of [rstart, rstart + rlen)
    long long rstart = 0, rlen = 0;
    long long rused = 0;       // bytes served from the current window
    long long rwindow = 65536; // size of the next window
};

namespace
{

bool valid(const XCFILE* f)
{
    return f != nullptr && f->magic == kMagic;
}

constexpr long long kWriteBuffer = 1 << 20;
constexpr long long kMinWindow = 4096, kMaxWindow = 1 << 20;

// Writes all of [p, p + n) at offset `at`; false on failure.
bool write_at(int fd, const char* p, long long n, long long at)
{
    while (n > 0) {
        ssize_t w = pwrite(fd, p, static_cast<std::size_t>(n), static_cast<off_t>(at));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= w;
        at += w;
    }
    return true;
}

// Reads all of n bytes at offset `at` into p; false on failure or a short file.
bool read_at(int fd, char* p, long long n, long long at)
{
    while (n > 0) {
        ssize_t r = pread(fd, p, static_cast<std::size_t>(n), static_cast<off_t>(at));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= r;
        at += r;
    }
    return true;
}

bool flush_writes(XCFILE* f)
{
    if (f->wbuf.empty())
        return true;
    bool ok = write_at(f->disk, f->wbuf.data(), static_cast<long long>(f->wbuf.size()), f->wstart);
    f->wbuf.clear();
    return ok;
}

// Drops the read window when [at, at + n) overlaps it.
void forget_window(XCFILE* f, long long at, long long n)
{
    if (f->rlen > 0 && at < f->rstart + f->rlen && f->rstart < at + n)
        f->rlen = 0;
}

bool disk_write(XCFILE* f, const char* p, long long n)
{
    forget_window(f, f->pos, n);
    const long long wend = f->wstart + static_cast<long long>(f->wbuf.size());
    if (!f->wbuf.empty() && f->pos == wend &&
        static_cast<long long>(f->wbuf.size()) + n <= kWriteBuffer) {
        f->wbuf.insert(f->wbuf.end(), p, p + n);
        return true;
    }
    if (!flush_writes(f))
        return false;
    if (n >= kWriteBuffer)
        return write_at(f->disk, p, n, f->pos);
    if (f->wbuf.capacity() == 0)
        f->wbuf.reserve(static_cast<std::size_t>(kWriteBuffer));
    f->wstart = f->pos;
    f->wbuf.assign(p, p + n);
    return true;
}

bool disk_read(XCFILE* f, char* p, long long n)
{
    const long long at = f->pos;
    if (!f->wbuf.empty() && at < f->wstart + static_cast<long long>(f->wbuf.size()) &&
        f->wstart < at + n && !flush_writes(f))
        return false;
    if (f->rlen > 0 && at >= f->rstart && at + n <= f->rstart + f->rlen) {
        std::memcpy(p, f->rbuf.data() + (at - f->rstart), static_cast<std::size_t>(n));
        f->rused += n;
        return true;
    }
    // A new window: larger when most of the last one was used, smaller when
    // little was (records read far apart).
    if (f->rlen > 0) {
        if (2 * f->rused >= f->rlen)
            f->rwindow = std::min(kMaxWindow, 2 * f->rwindow);
        else if (4 * f->rused < f->rlen)
            f->rwindow = std::max(kMinWindow, f->rwindow / 2);
    }
    f->rlen = 0;
    if (n >= f->rwindow / 2)
        return read_at(f->disk, p, n, at);
    const long long len = std::min(f->rwindow, f->size - at);
    if (!f->wbuf.empty() && at < f->wstart + static_cast<long long>(f->wbuf.size()) &&
        f->wstart < at + len && !flush_writes(f))
        return false;
    f->rbuf.resize(static_cast<std::size_t>(f->rwindow));
    if (!read_at(f->disk, f->rbuf.data(), len, at))
        return false;
    f->rstart = at;
    f->rlen = len;
    f->rused = n;
    std::memcpy(p, f->rbuf.data(), static_cast<std::size_t>(n));
    return true;
}

// Room in memory for content up to `end`; false when it cannot be had.
bool reserve_chunks(XCFILE* f, long long end)
{
    const std::size_t need = static_cast<std::size_t>((end + kChunk - 1) / kChunk);
    try {
        while (f->chunks.size() < need)
            f->chunks.emplace_back(new char[static_cast<std::size_t>(kChunk)]);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Copies between the chunks at `at` and p.
void chunks_write(XCFILE* f, long long at, const char* p, long long n)
{
    while (n > 0) {
        const long long in = at % kChunk;
        const long long k = std::min(n, kChunk - in);
        std::memcpy(f->chunks[static_cast<std::size_t>(at / kChunk)].get() + in, p,
                    static_cast<std::size_t>(k));
        at += k;
        p += k;
        n -= k;
    }
}
void chunks_read(const XCFILE* f, long long at, char* p, long long n)
{
    while (n > 0) {
        const long long in = at % kChunk;
        const long long k = std::min(n, kChunk - in);
        std::memcpy(p, f->chunks[static_cast<std::size_t>(at / kChunk)].get() + in,
                    static_cast<std::size_t>(k));
        at += k;
        p += k;
        n -= k;
    }
}

// A temporary file in TMPDIR (else /tmp), made in that folder held (never
// through a name that could lead elsewhere by then): without a name where
// the file system allows it, else under a name no one can guess, removed
// from the folder at once, so that nothing is left behind however the run
// ends.
int temporary_file()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string why;
    const vyr::HeldRef dir =
        vyr::hold_folder(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", false, why);
    if (dir == nullptr)
        return -1;
    int fd = ::openat(dir->fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        const std::string name = "korvante-" + vyr::files::random_tag();
        fd = ::openat(dir->fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
        if (fd >= 0)
            (void)::unlinkat(dir->fd, name.c_str(), 0);
        else if (errno != EEXIST)
            return -1;
    }
    return fd;
}

bool spill(XCFILE* f)
{
    int d = temporary_file();
    if (d < 0)
        return false;
    for (long long at = 0; at < f->size; at += kChunk)
        if (!write_at(d, f->chunks[static_cast<std::size_t>(at / kChunk)].get(),
                      std::min(kChunk, f->size - at), at)) {
            close(d);
            return false;
        }
    f->disk = d;
    std::vector<std::unique_ptr<char[]>>().swap(f->chunks);
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
    // MEMSIZE= bounds the memory of a run: a file keeps at most a quarter of
    // it in memory.
    int len = 0;
    const char* memsize = xoptcgt("MEMSIZE", &len);
    if (memsize != nullptr && len > 0) {
        const long long m =
            std::strtoll(std::string(memsize, static_cast<size_t>(len)).c_str(), nullptr, 10);
        if (m > 0)
            f->memsizeCap = m / 4;
    }
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

        file->wbuf.clear();
        file->rlen = 0;
        return 0;
    }
    // A byte offset within what was written (or just at its end).
    if (position > 0 && position <= file->size) {
        file->pos = position;
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
    long long limit = g_spillLimit.load();
    if (file->memsizeCap > 0)
        limit = std::min(limit, file->memsizeCap);
    if (file->disk < 0 && end > limit) {
        if (!spill(file))
            return code(kWriteFailed);
    }
    // No room in memory: go to disk instead.
    if (file->disk < 0 && !reserve_chunks(file, end) && !spill(file))
        return code(kWriteFailed);
    if (file->disk < 0) {
        chunks_write(file, file->pos, static_cast<const char*>(buffer), length);
    } else if (!disk_write(file, static_cast<const char*>(buffer), length)) {
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
    if (file->disk < 0) {
        chunks_read(file, file->pos, static_cast<char*>(buffer), length);
    } else if (!disk_read(file, static_cast<char*>(buffer), length)) {
        return code(kReadFailed);
    }
    file->pos += length;
    return 0;
}

int xcblocks(XCFILE* file, long count, long bytes, double* noted, char** address)
{
    if (!valid(file))
        return code(kBadHandle);
    if (count < 0 || bytes <= 0 || bytes > kChunk || (count > 0 && (!noted || !address)))
        return code(kNegativeLength);
    if (count == 0)
        return 0;
    if (file->disk >= 0)
        return code(kWriteFailed);
    // Where the blocks go: one after the other, the next chunk started when
    // a block would not fit in what is left of this one.
    const long long start = file->size;
    long long end = start;
    for (long k = 0; k < count; ++k) {
        if (end / kChunk != (end + bytes - 1) / kChunk)
            end = (end / kChunk + 1) * kChunk;
        end += bytes;
    }
    long long limit = g_spillLimit.load();
    if (file->memsizeCap > 0)
        limit = std::min(limit, file->memsizeCap);
    if (end > limit || !reserve_chunks(file, end))
        return code(kWriteFailed);
    long long at = start;
    for (long k = 0; k < count; ++k) {
        if (at / kChunk != (at + bytes - 1) / kChunk) {
            const long long next = (at / kChunk + 1) * kChunk;
            std::memset(file->chunks[static_cast<std::size_t>(at / kChunk)].get() + at % kChunk, 0,
                        static_cast<std::size_t>(next - at));
            at = next;
        }
        noted[k] = static_cast<double>(at + 1);
        address[k] = file->chunks[static_cast<std::size_t>(at / kChunk)].get() + at % kChunk;
        at += bytes;
    }
    file->size = end;
    file->pos = end;
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

int xcflush(XCFILE* file)
{
    if (!valid(file))
        return code(kBadHandle);
    if (file->disk >= 0 && !flush_writes(file))
        return code(kWriteFailed);
    return 0;
}

int xcreadat(const XCFILE* file, double position, void* buffer, long length)
{
    if (!valid(file))
        return code(kBadHandle);
    if (length < 0)
        return code(kNegativeLength);
    if (!(position >= 1.0) || position != static_cast<double>(static_cast<long long>(position)))
        return code(kBadPosition);
    const long long at = static_cast<long long>(position) - 1;
    if (at + length > file->size)
        return code(kPastEnd);
    if (length == 0)
        return 0;
    if (buffer == nullptr)
        return code(kReadFailed);
    if (file->disk < 0) {
        chunks_read(file, at, static_cast<char*>(buffer), length);
        return 0;
    }
    // Only what reached the file can be read without touching its state.
    if (!file->wbuf.empty() && at < file->wstart + static_cast<long long>(file->wbuf.size()) &&
        file->wstart < at + length)
        return code(kReadFailed);
    return read_at(file->disk, static_cast<char*>(buffer), length, at) ? 0 : code(kReadFailed);
}

int xcclose(XCFILE* file)
{
    if (!valid(file))
        return code(kBadHandle);
    {
        std::lock_guard<std::mutex> g(vyr::step_files_lock());
        vyr::step_files().erase(file);
    }
    if (file->disk >= 0)
        close(file->disk); // already removed from its folder
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
    return valid(file) && file->disk >= 0 ? 1 : 0;
}

int xcopenfiles()
{
    return vyr::g_openFiles.load();
}
