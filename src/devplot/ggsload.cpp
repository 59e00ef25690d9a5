// Graphics start-up for a plot (ggsload): the task's graphics control block
// is found (or made on request), the host graphics sub-libraries installed
// and the graphics system started for the caller's control block. Also the
// release of the task's graphics notes (gpspnot) and the device-entry lookups
// (ggdvget, ggtdvmd), which nothing in the procedure calls.
#include <cstring>

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
    if (xytngl(task, flag, name, 13, &slot, &owner) != 0)
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
    // 1.
    wiinstl(262421, "VYRCHT7 ", 2);
    // 2. The control block.
    void* task = xtanch();
    void* block = nullptr;
    if (task) {
        block = blockOf(task, kVdqAnchor, rebsrch);
        if (!block)
            block = blockOf(task, kGcbAnchor, rebsrch);
    }
    // 3, 4. Sub-libraries when no block is known yet (or under output delivery).
    if (!(block && vdqFlag == 0)) {
        if (install(262269, "VYRXGSUB", rebsrch) != 0 || install(262271, "VYRXGGXL", rebsrch) != 0)
            return 1;
        // 5. Make the control block.
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
    // 6. Start graphics.
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
    long slot = 0;
    void* owner = nullptr;
    // Device descriptions are cached under the task's graphics anchor; the
    // host keeps no device catalogue, so no library holds the entry.
    if (xytngl(task, 0, "__GCB_GRAPH", 11, &slot, &owner) != 0)
        return nullptr;
    char lib[9] = "GDEVICE0";
    for (int k = 0; k <= 10; ++k) {
        const char* library = k < 10 ? lib : "VYRHELP ";
        if (k < 10)
            lib[7] = static_cast<char>('0' + k);
        long value = 0;
        if (xlminfo(library, "DEVICES", name, "DEV     ", 8, &value) != 0)
            return nullptr; // an entry this host cannot read
    }
    return nullptr;
}

int ggtdvmd(const char* nickname)
{
    if (!nickname)
        return 0;
    char name[8];
    vzmp(nickname, static_cast<int>(strnlen(nickname, 8)), name, 8);
    char lib[9] = "GDEVICE0";
    for (int k = 0; k <= 10; ++k) {
        const char* library = k < 10 ? lib : "VYRHELP ";
        if (k < 10)
            lib[7] = static_cast<char>('0' + k);
        long value = 0;
        if (xlminfo(library, "DEVICES", name, "DEV     ", 8, &value) != 0)
            return static_cast<int>(value);
    }
    return 0;
}
