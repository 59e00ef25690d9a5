// Graphics start-up for a plot (ggsload): the task's graphics control block
// is found (or made on request), the host graphics sub-libraries installed
// and the graphics system started for the caller's control block. Also the
// release of the task's graphics notes (gpspnot) and the device-entry lookups
// (ggdvget, ggtdvmd), which nothing in the procedure calls: the procedure
// draws on the host's own device.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "devplot/zggraf.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_message_names.h"

namespace
{

constexpr char kVdqAnchor[] = "__VDQ_GSUBLIB";
constexpr char kGcbAnchor[] = "__GCB_GSUBLIB";

// The control block named by an anchor, null when there is none.
void* blockOf(void* task, const char* name, int flag)
{
    long slot = 0;
    void* owner = nullptr;
    if (xytngl(task, flag, name, static_cast<int>(std::strlen(name)), &slot, &owner) != 0)
        return nullptr;
    return wtrsget(task, slot);
}

} // namespace

int install(long ssid, const char* name, int rebsrch)
{
    if (wiinstl(ssid, name, rebsrch == 2 ? 2 : 1) != 0) {
        xpmlog(129, msg129::GK_NO_SUBLIBRARY, name);
        return 1;
    }
    return 0;
}

int ggsload(GZCOM* gzcom, int rebsrch, int vdqFlag)
{
    // The sub-library VYRCHT7 first, whose result is not used.
    wiinstl(262421, "VYRCHT7 ", 2);
    // The task's control block: output delivery's, else the graphics one.
    void* task = xtanch();
    void* block = nullptr;
    if (task) {
        block = blockOf(task, kVdqAnchor, rebsrch);
        if (!block)
            block = blockOf(task, kGcbAnchor, rebsrch);
    }
    // The graphics sub-libraries, when no block is known yet (or under
    // output delivery).
    if (!(block && vdqFlag == 0)) {
        if (install(262269, "VYRXGSUB", rebsrch) != 0 || install(262271, "VYRXGGXL", rebsrch) != 0)
            return 1;
        // A caller that asks for it gets a control block made now.
        if (rebsrch != 0 && !block && task) {
            long slot = 0;
            void* owner = nullptr;
            if (vdqFlag == 0) {
                if (xytngl(task, 0, kGcbAnchor, 13, &slot, &owner) != 0) {
                    void (*gate)() = nullptr;
                    if (vir2g(&ggstop, &gate, task, nullptr) != 0)
                        return -1;
                    if (wtrscrt(task, &slot, 0, gate) < 0)
                        return -1;
                    xytnsl(task, 1, kGcbAnchor, 13, slot);
                    void (*end)() = nullptr;
                    if (vir2g(&ggterm, &end, task, nullptr) != 0)
                        xexit(1012, 0);
                    xytexit(end);
                }
            } else if (xytngl(task, 0, kVdqAnchor, 13, &slot, &owner) != 0) {
                if (wtrscrt(task, &slot, 0, nullptr) < 0)
                    return -1;
                xytnsl(task, 1, kVdqAnchor, 13, slot);
            } else {
                xytnsl(task, 1, kVdqAnchor, 13, slot);
            }
            POOLHANDLE* pool = xtaskpool();
            auto* gx = static_cast<GXCOM*>(vmalcp_handler(pool, sizeof(GXCOM), 0x2006));
            if (!gx) {
                xmemmsg(0);
                return -1;
            }
            gx->gngraph = static_cast<GNGRAPH*>(vmalcp_handler(pool, sizeof(GNGRAPH), 0x2006));
            if (!gx->gngraph)
                return 1;
            gx->gngraph->aspect = 1;
            gx->reb = task;
            gx->owner = vdqFlag != 0 ? 1 : 0;
            wtrsset(task, slot, gx);
            block = gx;
        }
    }
    // Start the graphics system for the caller's block.
    if (gginit(gzcom) != 0)
        return 1;
    if (block)
        return 0;
    if (!task || (!blockOf(task, kVdqAnchor, 0) && !blockOf(task, kGcbAnchor, 0)))
        return 1;
    ggzrst(255);
    return 0;
}

void gpspnot()
{
    void* anchor = xtanch();
    gpsnrel(anchor, 24, 0);
    GGCBTF* tf = ggcbtf(anchor);
    if (!tf)
        return;
    POOLHANDLE* pool = static_cast<POOLHANDLE*>(tf->pool);
    for (TFNOTE* n = tf->notes; n;) {
        TFNOTE* next = n->next;
        vmfree_handler(pool, n->text, 0, 4);
        // The command list: 64-byte entries (88 for "M" and "D"); "F", "G",
        // "V" and "Z" own the text buffer whose address follows their name.
        for (int off = 0; n->grinf && off < n->grlen;) {
            const char c = n->grinf[off];
            if (c == 'F' || c == 'G' || c == 'V' || c == 'Z') {
                char* text = nullptr;
                std::memcpy(&text, n->grinf + off + 8, sizeof text);
                vmfree_handler(pool, text, 0, 4);
            }
            off += (c == 'M' || c == 'D') ? 88 : 64;
        }
        vmfree_handler(pool, n->grinf, 0, 4);
        vmfree_handler(pool, n, 0, 4);
        n = next;
    }
    tf->notes = nullptr;
}

// ---------------------------------------------------------------------------
// Device entries. A device is the entry of type DEV named by the device in
// the catalogue DEVICES of a device library; the host keeps the layout of
// its records (device-conventions.md): a first record with the format byte
// "X", the "version7" mark, the count of further records and the mode
// integer; an array record; then the item records.

namespace
{

constexpr char kGraphAnchor[] = "__GCB_GRAPH";
constexpr char kDevices[] = "DEVICES ";
constexpr char kDevType[] = "DEV     ";
// Loaded devices the cache keeps; one more releases the oldest.
constexpr int kKeptDevices = 3;

// A 4-byte integer of a record, least significant byte first.
int recordInt(const char* at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(at[i]);
    return static_cast<int>(v);
}

void badFormat(const char* name)
{
    // The device's name without its trailing blanks.
    const std::string shown(name, static_cast<size_t>(wzstrip(name, 8)));
    xpmlog(214, msg214::GK_BAD_DEVICE, shown.c_str());
}

// Reads a record the entry must hold, of `want` bytes: true when read. An
// entry that ends before it, or a record of another length, is not in the
// expected format; a failed read is logged.
bool readRecord(XLMEMBER* member, char* buffer, long size, long want, const char* name)
{
    long length = 0;
    const int rc = xlmread(member, buffer, size, &length);
    if (rc == 0 && length == want)
        return true;
    if (rc == 0 || rc == XLM_END_OF_ENTRY || rc == XLM_LONG_RECORD)
        badFormat(name);
    else
        xprrlog(0, rc);
    return false;
}

// Reads up to `count` item records of `length` bytes, each blank padded to
// an item of GDEV_ITEM_SIZE bytes. The run stops at the end of the entry or
// at a record of another length; false after a failed read (logged).
bool readItems(XLMEMBER* member, int count, long length, std::vector<char>& items)
{
    char buffer[GDEV_ITEM_LENGTH];
    for (int k = 0; k < count; ++k) {
        long got = 0;
        const int rc = xlmread(member, buffer, sizeof buffer, &got);
        if (rc == XLM_END_OF_ENTRY || rc == XLM_LONG_RECORD || (rc == 0 && got != length))
            break;
        if (rc != 0) {
            xprrlog(0, rc);
            return false;
        }
        const size_t at = items.size();
        items.resize(at + GDEV_ITEM_SIZE, ' ');
        std::memcpy(items.data() + at, buffer, static_cast<size_t>(got));
    }
    return true;
}

// Reads an open device entry into its description: false when it is not in
// the expected format (message 214/14) or a read failed (logged).
bool readDevice(XLMEMBER* member, const char* name, GDEVSTR& dev, POOLHANDLE* pool)
{
    char first[GDEV_FIRST_LENGTH];
    if (!readRecord(member, first, sizeof first, GDEV_FIRST_LENGTH, name))
        return false;
    const int count = recordInt(first + GDEV_FIRST_COUNT);
    if (first[0] != 'X' || count < 0) {
        badFormat(name);
        return false;
    }
    std::memcpy(dev.first, first, sizeof first);
    std::memcpy(dev.name, name, 8);
    dev.version7 = std::memcmp(first + 1, "version7", 8) == 0 ? 1 : 0;
    dev.mode = recordInt(first + GDEV_FIRST_MODE);
    dev.nrecords = count;
    if (count >= 1 && !readRecord(member, dev.array, sizeof dev.array, GDEV_ARRAY_LENGTH, name))
        return false;
    std::vector<char> items;
    const long length = dev.version7 ? GDEV_ITEM7_LENGTH : GDEV_ITEM_LENGTH;
    if (count > 1 && !readItems(member, count - 1, length, items))
        return false;
    if (items.empty())
        return true;
    dev.items = static_cast<char(*)[GDEV_ITEM_SIZE]>(
        vmalcp_handler(pool, static_cast<int64_t>(items.size()), 0x2004));
    if (!dev.items) {
        xmemmsg(0);
        return false;
    }
    std::memcpy(dev.items, items.data(), items.size());
    dev.nitems = static_cast<int>(items.size() / GDEV_ITEM_SIZE);
    return true;
}

// Opens the device's entry in `library` and reads it into the record; the
// entry and the library are closed again.
bool loadDevice(const char* library, const char* name, GDEVINF* record, POOLHANDLE* pool)
{
    XLLIB* lib = nullptr;
    int rc = xlopen(library, kDevices, &lib);
    if (rc != 0) {
        xprrlog(0, rc);
        return false;
    }
    XLMEMBER* member = nullptr;
    bool read = false;
    rc = xlmopen(lib, name, kDevType, &member);
    if (rc != 0) {
        xprrlog(0, rc);
    } else {
        read = readDevice(member, name, record->dev, pool);
        xlmclose(member);
    }
    xlclose(lib);
    return read;
}

// The slot of the first library of the header's search (its libraries in
// order, then the help library) whose catalogue holds the device; -1 when
// none does or a catalogue cannot be searched (logged).
int deviceLibrary(const GDEVHD& hd, const char* name)
{
    const int n = std::clamp(hd.nlibs, 0, 10);
    for (int k = 0; k <= n; ++k) {
        const int slot = k < n ? k : 10;
        long there = 0;
        const int rc = xlminfo(hd.libs[slot], kDevices, name, kDevType, 8, &there);
        if (rc < 0) {
            xprrlog(0, rc);
            return -1;
        }
        if (there)
            return slot;
    }
    return -1;
}

// The description of a device: the cached one while its catalogue entry
// keeps the date stamp it was read with (its use count goes up), else the
// entry read from the first library that has it into a new record chained
// at the head of the cache, the oldest record released when more than
// kKeptDevices are loaded. Null when no library has the entry, a search or
// read fails (logged), memory runs out, or the entry is not in the device
// format.
GDEVSTR* findOrLoad(GDEVHD& hd, const char* name)
{
    const int lib = deviceLibrary(hd, name);
    if (lib < 0)
        return nullptr;
    long stamp = 0;
    const int rc = xlminfo(hd.libs[lib], kDevices, name, kDevType, 10, &stamp);
    if (rc != 0) {
        xprrlog(0, rc);
        return nullptr;
    }
    for (GDEVINF* r = hd.first; r; r = r->next)
        if (std::memcmp(r->name, name, 8) == 0 && r->stamp != 0 && r->stamp == stamp) {
            ++r->usecount;
            return &r->dev;
        }
    POOLHANDLE* pool = xtaskpool();
    auto* record = static_cast<GDEVINF*>(vmalcp_handler(pool, GDEVINF_SIZE, 0x2006));
    if (!record) {
        xmemmsg(0);
        return nullptr;
    }
    ggdinit(record);
    std::memcpy(record->name, name, 8);
    record->stamp = stamp;
    if (!loadDevice(hd.libs[lib], name, record, pool)) {
        vmfree_handler(pool, record, GDEVINF_SIZE, 4);
        return nullptr;
    }
    record->usecount = 1;
    record->next = hd.first;
    if (hd.first)
        hd.first->prev = record;
    hd.first = record;
    int open = 0;
    for (GDEVINF* r = hd.first; r; r = r->next)
        ++open;
    if (open > kKeptDevices)
        ggdvdlt(nullptr, 0);
    return &record->dev;
}

// The integer at byte 176 of the entry's first record; 0 when it cannot be
// read (logged) or is not in the expected format (214/14). The format byte
// is checked, as ggdvget checks it: byte 176 holds the device's mode only in
// a first record of the device layout (format byte "X"), and the integer of
// a record of another layout would be handed back as a mode it is not. The
// two look-ups thus agree on which entries are devices, and message 214/14
// says why an entry gives none.
int firstRecordMode(XLLIB* lib, const char* name)
{
    XLMEMBER* member = nullptr;
    const int rc = xlmopen(lib, name, kDevType, &member);
    if (rc != 0) {
        xprrlog(0, rc);
        return 0;
    }
    char first[GDEV_FIRST_LENGTH];
    int mode = 0;
    if (readRecord(member, first, sizeof first, GDEV_FIRST_LENGTH, name)) {
        if (first[0] == 'X')
            mode = recordInt(first + GDEV_FIRST_MODE);
        else
            badFormat(name);
    }
    xlmclose(member);
    return mode;
}

} // namespace

GDEVSTR* ggdvget(const char* rdevice)
{
    if (!rdevice)
        return nullptr;
    char name[8];
    vzmp(rdevice, static_cast<int>(strnlen(rdevice, 8)), name, 8);
    if (vzatl(' ', name, 8, 8))
        return nullptr;
    wzstrup(name, 8);
    void* task = xtanch();
    auto* block = task ? static_cast<GGCBGRAPH*>(blockOf(task, kGraphAnchor, 0)) : nullptr;
    if (!block)
        return nullptr;
    ++block->busy;
    GDEVSTR* dev = findOrLoad(block->devhd, name);
    if (--block->busy == 0)
        wtpoll();
    return dev;
}

int ggtdvmd(const char* nickname)
{
    if (!nickname)
        return 0;
    char name[8];
    vzmp(nickname, static_cast<int>(strnlen(nickname, 8)), name, 8);
    // The device libraries in their order, then the help library.
    GDEVHD search;
    gdevhd_init(&search);
    for (int k = 0; k <= 10; ++k) {
        XLLIB* lib = nullptr;
        int rc = xlopen(search.libs[k], kDevices, &lib);
        if (rc > 0)
            continue; // no such library or catalogue: no entry
        if (rc < 0) {
            xprrlog(0, rc);
            return 0;
        }
        rc = xlmfind(lib, name, kDevType);
        if (rc == XLM_NOT_FOUND) {
            xlclose(lib);
            continue;
        }
        int mode = 0;
        if (rc != 0)
            xprrlog(0, rc);
        else
            mode = firstRecordMode(lib, name);
        xlclose(lib);
        return mode;
    }
    return 0;
}
