// Catalogue entries in a library's folder, read record by record (xlminfo,
// xlopen, xlmfind, xlmopen, xlmread and their closes), the one writer of
// entries, and the host's side of the task's device cache (its header, a new
// record, releasing a record, polling). An entry file is a header (a mark
// and the entry's generation) followed by records, each with its length in
// front; device-conventions.md gives the layout and that of a device entry.
// Nothing is read or written through a link that leads out of the library.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>

#include "vyr_atomic_file.h"
#include "vyr_catalogue.h"
#include "vyr_gkernel.h"
#include "vyr_host.h"
#include "vyr_session.h"
#include "vyr_text.h"

namespace
{

namespace fs = std::filesystem;

// An entry file starts with this mark and its generation (8 bytes each).
constexpr char kMark[8] = {'V', 'Y', 'R', 'E', 'N', 'T', 'R', 'Y'};
constexpr std::size_t kHeader = 16;
// The largest entry file read (and written).
constexpr std::size_t kLargestEntry = 1u << 20;

std::atomic<long> g_opens{0}, g_reads{0}, g_polls{0};

// The handles given out and not yet closed, so that a handle closed twice or
// never given is refused rather than followed.
std::mutex g_lock;
std::set<const void*> g_live;

void keep(const void* h)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_live.insert(h);
}
bool live(const void* h)
{
    std::lock_guard<std::mutex> g(g_lock);
    return h && g_live.count(h) > 0;
}
bool drop(const void* h)
{
    std::lock_guard<std::mutex> g(g_lock);
    return h && g_live.erase(h) > 0;
}

// A catalogue name, upper case: 1 to 8 letters, digits or underscores.
bool validName(std::string_view s, std::string& out)
{
    out.clear();
    if (s.empty() || s.size() > 8)
        return false;
    for (char c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
        out.push_back(c);
    }
    return true;
}

// A name field of up to 8 characters ended by a NUL or by blanks.
bool fieldName(const char* field, std::string& out)
{
    if (!field)
        return false;
    std::size_t n = 0;
    while (n < 8 && field[n] != '\0')
        ++n;
    while (n > 0 && field[n - 1] == ' ')
        --n;
    return validName(std::string_view(field, n), out);
}

// Whether a path leads inside the library's folder (judged on the names as
// they are now, and only judged: the path itself is what is read): 0, else
// XLM_OUTSIDE (or XLM_UNREADABLE for links that loop).
int insideLibrary(const std::string& path, const std::string& libFolder)
{
    bool loops = false;
    if (std::string where; vyr::inside_folder(path, libFolder, where, loops))
        return 0;
    return loops ? XLM_UNREADABLE : XLM_OUTSIDE;
}

// Whether `path` leads to a folder, walked as a read walks it: 0,
// XL_NO_CATALOGUE where a name of it does not exist, else XLM_UNREADABLE.
int folderState(const std::string& path)
{
    std::string why;
    bool missing = false;
    if (vyr::hold_folder(path, false, why, nullptr, &missing) != nullptr)
        return 0;
    return missing ? XL_NO_CATALOGUE : XLM_UNREADABLE;
}

// The folders of catalogue `cat` of library `lib`: 0, XL_NO_CATALOGUE when
// the library is not assigned or a folder does not exist, or a failure.
int catalogueFolder(const std::string& lib, const std::string& cat, std::string& libFolder,
                    std::string& catFolder)
{
    // Reading WORK does not make its temporary folder: before it is made, it
    // holds no catalogue.
    libFolder = lib == "WORK" ? vyr_work_dir_made() : vyr_library_path(lib);
    if (libFolder.empty())
        return XL_NO_CATALOGUE;
    if (int rc = folderState(libFolder))
        return rc;
    catFolder = (fs::path(libFolder) / cat).string();
    if (int rc = insideLibrary(catFolder, libFolder))
        return rc;
    return folderState(catFolder);
}

// The file of an entry: 0 with `file` set, XLM_NOT_FOUND, or a failure.
int entryFile(const std::string& libFolder, const std::string& catFolder, const std::string& entry,
              const std::string& type, std::string& file)
{
    file = (fs::path(catFolder) / (entry + "." + vyr::lower(type))).string();
    if (int rc = insideLibrary(file, libFolder))
        return rc;
    struct stat st;
    std::string why;
    bool missing = false;
    if (!vyr::look_to_read(file, st, why, nullptr, nullptr, &missing))
        return missing ? XLM_NOT_FOUND : XLM_UNREADABLE;
    return S_ISREG(st.st_mode) ? 0 : XLM_UNREADABLE;
}

// Opens an entry file for reading as a read reaches a file (open_to_read),
// never blocking on something that is not a regular file.
int openEntry(const std::string& file, int& fd, struct stat& st)
{
    std::string why;
    bool missing = false;
    fd = vyr::open_to_read(file, why, nullptr, nullptr, &missing);
    if (fd < 0)
        return missing ? XLM_NOT_FOUND : XLM_UNREADABLE;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return XLM_UNREADABLE;
    }
    return 0;
}

std::uint64_t le(const char* p, int n)
{
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

void putLe(std::string& out, std::uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The generation in an entry file's header: 0, or XLM_NOT_ENTRY when the
// header is missing or not ours.
int generationOf(int fd, std::uint64_t& generation)
{
    char h[kHeader];
    if (::pread(fd, h, kHeader, 0) != static_cast<ssize_t>(kHeader) ||
        std::memcmp(h, kMark, sizeof kMark) != 0)
        return XLM_NOT_ENTRY;
    generation = le(h + 8, 8);
    return 0;
}

std::uint64_t mix(std::uint64_t h, std::uint64_t v)
{
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 29);
}

// The date stamp of an entry file: its file's identity, size and times and
// its generation, so that any rewrite (by the writer, which counts the
// generation on, or by another program, which changes the times or the file)
// gives another stamp.
int stampOf(const std::string& file, long& stamp)
{
    int fd = -1;
    struct stat st;
    if (int rc = openEntry(file, fd, st))
        return rc;
    std::uint64_t generation = 0;
    const int rc = generationOf(fd, generation);
    ::close(fd);
    if (rc != 0)
        return rc;
    std::uint64_t h = 0;
    for (std::uint64_t v :
         {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_mtim.tv_sec),
          static_cast<std::uint64_t>(st.st_mtim.tv_nsec),
          static_cast<std::uint64_t>(st.st_ctim.tv_sec),
          static_cast<std::uint64_t>(st.st_ctim.tv_nsec), generation})
        h = mix(h, v);
    stamp = static_cast<long>(h & 0x7fffffffffffffffull);
    if (stamp == 0)
        stamp = 1;
    return 0;
}

// Reads an entry file whole: 0 with its bytes, or a failure.
int readEntry(const std::string& file, std::string& bytes)
{
    int fd = -1;
    struct stat st;
    if (int rc = openEntry(file, fd, st))
        return rc;
    bytes.clear();
    char buf[65536];
    int rc = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            rc = XLM_UNREADABLE;
            break;
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() > kLargestEntry) {
            rc = XLM_TOO_LARGE;
            break;
        }
    }
    ::close(fd);
    if (rc == 0 && (bytes.size() < kHeader || std::memcmp(bytes.data(), kMark, sizeof kMark) != 0))
        rc = XLM_NOT_ENTRY;
    return rc;
}

} // namespace

struct XLLIB {
    std::string libFolder, catFolder;
};

struct XLMEMBER {
    std::string bytes;
    std::size_t at = kHeader;
};

int xlminfo(const char* library, const char* catalog, const char* entry, const char* type, int code,
            long* value)
{
    if (value)
        *value = 0;
    if (code != 8 && code != 10)
        return XLM_BAD_CODE;
    std::string lib, cat, name, kind;
    if (!fieldName(library, lib) || !fieldName(catalog, cat) || !fieldName(entry, name) ||
        !fieldName(type, kind))
        return XLM_BAD_NAME;
    std::string libFolder, catFolder, file;
    int rc = catalogueFolder(lib, cat, libFolder, catFolder);
    if (rc == 0)
        rc = entryFile(libFolder, catFolder, name, kind, file);
    if (rc == XL_NO_CATALOGUE || rc == XLM_NOT_FOUND)
        return code == 8 ? 0 : XLM_NOT_FOUND;
    if (rc != 0)
        return rc;
    if (code == 8) {
        if (value)
            *value = 1;
        return 0;
    }
    long stamp = 0;
    rc = stampOf(file, stamp);
    if (rc == 0 && value)
        *value = stamp;
    return rc;
}

int xlopen(const char* library, const char* catalog, XLLIB** lib)
{
    if (!lib)
        return XLM_BAD_HANDLE;
    *lib = nullptr;
    std::string name, cat;
    if (!fieldName(library, name) || !fieldName(catalog, cat))
        return XLM_BAD_NAME;
    auto l = std::make_unique<XLLIB>();
    if (int rc = catalogueFolder(name, cat, l->libFolder, l->catFolder))
        return rc;
    keep(l.get());
    *lib = l.release();
    return 0;
}

int xlclose(XLLIB* lib)
{
    if (!drop(lib))
        return XLM_BAD_HANDLE;
    delete lib;
    return 0;
}

int xlmfind(XLLIB* lib, const char* entry, const char* type)
{
    if (!live(lib))
        return XLM_BAD_HANDLE;
    std::string name, kind, file;
    if (!fieldName(entry, name) || !fieldName(type, kind))
        return XLM_BAD_NAME;
    return entryFile(lib->libFolder, lib->catFolder, name, kind, file);
}

int xlmopen(XLLIB* lib, const char* entry, const char* type, XLMEMBER** member)
{
    if (!member || !live(lib))
        return XLM_BAD_HANDLE;
    *member = nullptr;
    std::string name, kind, file;
    if (!fieldName(entry, name) || !fieldName(type, kind))
        return XLM_BAD_NAME;
    if (int rc = entryFile(lib->libFolder, lib->catFolder, name, kind, file))
        return rc;
    auto m = std::make_unique<XLMEMBER>();
    if (int rc = readEntry(file, m->bytes))
        return rc;
    ++g_opens;
    keep(m.get());
    *member = m.release();
    return 0;
}

int xlmread(XLMEMBER* member, void* buffer, long size, long* length)
{
    if (length)
        *length = 0;
    if (!live(member))
        return XLM_BAD_HANDLE;
    const std::string& b = member->bytes;
    if (member->at >= b.size())
        return XLM_END_OF_ENTRY;
    const std::size_t left = b.size() - member->at;
    if (left < 4) {
        member->at = b.size();
        return XLM_CUT_SHORT;
    }
    const std::size_t n = static_cast<std::size_t>(le(b.data() + member->at, 4));
    if (length)
        *length = static_cast<long>(n);
    if (n > left - 4) {
        member->at = b.size();
        return XLM_CUT_SHORT;
    }
    member->at += 4 + n;
    if (!buffer || size < 0 || n > static_cast<std::size_t>(size))
        return XLM_LONG_RECORD;
    std::memcpy(buffer, b.data() + member->at - n, n);
    ++g_reads;
    return 0;
}

int xlmclose(XLMEMBER* member)
{
    if (!drop(member))
        return XLM_BAD_HANDLE;
    delete member;
    return 0;
}

// ---------------------------------------------------------------------------
// The device cache.

void gdevhd_init(GDEVHD* hd)
{
    std::memset(static_cast<void*>(hd), 0, sizeof *hd);
    for (int k = 0; k < 10; ++k) {
        std::memcpy(hd->libs[k], "GDEVICE0", 8);
        hd->libs[k][7] = static_cast<char>('0' + k);
    }
    std::memcpy(hd->libs[10], "VYRHELP ", 8);
    hd->nlibs = 10;
}

void ggdinit(GDEVINF* record)
{
    std::memset(static_cast<void*>(record), 0, sizeof *record);
    std::memset(record->name, ' ', sizeof record->name);
    std::memset(record->dev.name, ' ', sizeof record->dev.name);
    std::memset(record->dev.first, ' ', sizeof record->dev.first);
    std::memset(record->dev.array, ' ', sizeof record->dev.array);
}

int ggdvdlt(GDEVSTR* device, int)
{
    long slot = 0;
    void* owner = nullptr;
    void* task = xtanch();
    if (xytngl(task, 0, "__GCB_GRAPH", 11, &slot, &owner) != 0)
        return 1;
    auto* block = static_cast<GGCBGRAPH*>(wtrsget(task, slot));
    if (!block)
        return 1;
    GDEVHD& hd = block->devhd;
    GDEVINF* gone = nullptr;
    for (GDEVINF* r = hd.first; r; r = r->next) {
        if (device ? &r->dev == device : (r != hd.first && !r->next))
            gone = r;
    }
    if (!gone)
        return 1;
    if (gone->prev)
        gone->prev->next = gone->next;
    else
        hd.first = gone->next;
    if (gone->next)
        gone->next->prev = gone->prev;
    POOLHANDLE* pool = xtaskpool();
    if (gone->dev.items)
        pool->free(pool, gone->dev.items,
                   static_cast<std::int64_t>(gone->dev.nitems) * GDEV_ITEM_SIZE, 4);
    pool->free(pool, gone, GDEVINF_SIZE, 4);
    return 0;
}

int wtpoll()
{
    ++g_polls;
    return 0;
}

// ---------------------------------------------------------------------------
// Writing entries.

bool vyr_write_catalogue_entry(std::string_view libref, std::string_view catalog,
                               std::string_view entry, std::string_view type,
                               const std::vector<std::string>& records, std::string& why)
{
    std::string lib, cat, name, kind;
    if (!validName(libref, lib) || !validName(catalog, cat) || !validName(entry, name) ||
        !validName(type, kind)) {
        why = "a library, catalogue, entry or type name is not 1 to 8 letters, digits or "
              "underscores";
        return false;
    }
    std::string workWhy;
    const std::string libFolder = lib == "WORK" ? vyr_work_dir(&workWhy) : vyr_library_path(lib);
    if (libFolder.empty() && lib == "WORK") {
        why = "WORK has no folder: without --out it is a temporary folder, and none could be made "
              "in the temporary folders tried (" +
              workWhy + "); give --out DIR to have WORK in DIR";
        return false;
    }
    if (libFolder.empty()) {
        why = "the library " + lib + " is not assigned";
        return false;
    }
    const std::string catFolder = (fs::path(libFolder) / cat).string();
    std::string where;
    switch (vyr::prepare_folder(catFolder, libFolder, where)) {
    case vyr::FolderState::Ready:
        break;
    case vyr::FolderState::Outside:
        why = "the catalogue folder " + catFolder + " leads to " + where + ", outside its library";
        return false;
    case vyr::FolderState::NotAFolder:
        why = "the catalogue folder " + catFolder + " could not be made (" + where + ")";
        return false;
    }
    const std::string path = (fs::path(catFolder) / (name + "." + vyr::lower(kind))).string();
    std::string file;
    bool loops = false;
    if (!vyr::inside_folder(path, libFolder, file, loops)) {
        why = "the entry " + path + " leads to " + file + ", outside its library";
        return false;
    }
    // The generation goes on from the entry it replaces.
    std::uint64_t generation = 0;
    int fd = -1;
    struct stat st;
    if (openEntry(path, fd, st) == 0) {
        if (generationOf(fd, generation) != 0)
            generation = 0;
        ::close(fd);
    }
    std::string bytes(kMark, sizeof kMark);
    putLe(bytes, generation + 1, 8);
    for (const std::string& r : records) {
        putLe(bytes, r.size(), 4);
        bytes += r;
    }
    if (bytes.size() > kLargestEntry) {
        why = "the entry is larger than " + std::to_string(kLargestEntry) + " bytes";
        return false;
    }
    vyr::AtomicFile out;
    if (!out.open(path, why))
        return false;
    if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream()) != bytes.size()) {
        out.abandon();
        why = "the entry " + file + " could not be written";
        return false;
    }
    return out.commit(why);
}

namespace
{

// Copies a text into a blank-padded field of `width` characters at `at`.
void field(std::string& record, std::size_t at, std::size_t width, const std::string& text)
{
    record.replace(at, std::min(width, text.size()), text.substr(0, width));
}

void putInt(std::string& record, std::size_t at, int value)
{
    std::string b;
    putLe(b, static_cast<std::uint32_t>(value), 4);
    record.replace(at, 4, b);
}

} // namespace

std::vector<std::string> vyr_device_records(const VyrDeviceEntry& device)
{
    std::vector<std::string> out;
    std::string first(GDEV_FIRST_LENGTH, '\0');
    first[0] = 'X';
    std::memset(first.data() + 1, ' ', 59);
    if (device.version7)
        field(first, 1, 8, "version7");
    field(first, 9, 8, vyr::upper(device.name));
    field(first, 17, 40, device.description);
    putInt(first, 60, device.xpixels);
    putInt(first, 64, device.ypixels);
    const std::size_t colours = std::min<std::size_t>(device.colours.size(), 64);
    putInt(first, 68, static_cast<int>(colours));
    putInt(first, GDEV_FIRST_COUNT, static_cast<int>(1 + device.items.size()));
    putInt(first, GDEV_FIRST_MODE, device.mode);
    out.push_back(first);
    std::string array(GDEV_ARRAY_LENGTH, ' ');
    for (std::size_t k = 0; k < colours; ++k)
        field(array, 8 * k, 8, device.colours[k]);
    out.push_back(array);
    const std::size_t length = device.version7 ? GDEV_ITEM7_LENGTH : GDEV_ITEM_LENGTH;
    for (const auto& [key, value] : device.items) {
        std::string item(length, ' ');
        field(item, 0, 8, key);
        field(item, 8, length - 8, value);
        out.push_back(item);
    }
    return out;
}

bool vyr_write_device_entry(std::string_view libref, const VyrDeviceEntry& device, std::string& why)
{
    return vyr_write_catalogue_entry(libref, "DEVICES", device.name, "DEV",
                                     vyr_device_records(device), why);
}

VyrCatalogueCounts vyr_catalogue_counts()
{
    return {g_opens.load(), g_reads.load(), g_polls.load()};
}
