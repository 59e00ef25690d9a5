// Catalogue entries kept in a library, read record by record, and the
// task's cache of graphics device descriptions. A catalogue is the folder
// <library folder>/<CATALOGUE>, an entry of it the file <ENTRY>.<type> there
// (the type in lower case: DEVICES/PDF.dev), as the graphics catalogues keep
// their entries. Names are fields of up to 8 characters, ended by a NUL or
// by blanks, and match without regard to case; a name holds letters, digits
// and underscores only. The catalogue folder and the entry must lie inside
// their library's folder: one that leads out of it through a symbolic link
// is refused and never read. Implemented in
// src/host/graphics/device_catalogue.cpp; the layout of an entry file and of
// a device entry's records is in src/host/graphics/device-conventions.md.
//
// The services return host codes: 0, a positive warning, a negative failure;
// the end of an entry's records is XLM_END_OF_ENTRY.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Host codes of the catalogue services (group 3 texts 5400 to 5410).

// No more records in the entry (a warning).
inline constexpr int XLM_END_OF_ENTRY = 0x1c00a;
// Warnings: the entry, or the library's catalogue, is not there.
inline constexpr int XLM_NOT_FOUND = (2 << 11) | 1304;
inline constexpr int XL_NO_CATALOGUE = (2 << 11) | 1305;
// Failures.
inline constexpr int XLM_BAD_NAME = static_cast<int>(0x80000000u | (2u << 11) | 1306u);
inline constexpr int XLM_OUTSIDE = static_cast<int>(0x80000000u | (2u << 11) | 1307u);
inline constexpr int XLM_UNREADABLE = static_cast<int>(0x80000000u | (2u << 11) | 1308u);
inline constexpr int XLM_NOT_ENTRY = static_cast<int>(0x80000000u | (2u << 11) | 1309u);
inline constexpr int XLM_CUT_SHORT = static_cast<int>(0x80000000u | (2u << 11) | 1310u);
inline constexpr int XLM_LONG_RECORD = static_cast<int>(0x80000000u | (2u << 11) | 1311u);
inline constexpr int XLM_BAD_CODE = static_cast<int>(0x80000000u | (2u << 11) | 1312u);
inline constexpr int XLM_BAD_HANDLE = static_cast<int>(0x80000000u | (2u << 11) | 1313u);
inline constexpr int XLM_TOO_LARGE = static_cast<int>(0x80000000u | (2u << 11) | 1314u);

// ---------------------------------------------------------------------------
// Catalogue members.

// An open catalogue of a library, and an open entry (its records are read
// whole when it is opened, so a later rewrite of its file changes nothing
// of what is read).
struct XLLIB;
struct XLMEMBER;

// What is known of entry `entry` of type `type` in catalogue `catalog` of
// library `library`: code 8 sets *value to 1 when the entry is there, else
// 0 (the result is then 0 too: a library not assigned, or without the
// catalogue, has no entry); code 10 sets *value to the entry's date stamp,
// a non-zero number that changes whenever the entry is written again
// (XLM_NOT_FOUND and 0 when there is no entry). A name that is not valid,
// a folder or entry leading out of the library, or one that cannot be read
// is a failure.
int xlminfo(const char* library, const char* catalog, const char* entry, const char* type, int code,
            long* value);
// Opens catalogue `catalog` of `library`: 0 with *lib set; XL_NO_CATALOGUE
// (null *lib) when the library is not assigned or its folder or the
// catalogue's folder does not exist; a failure otherwise.
int xlopen(const char* library, const char* catalog, XLLIB** lib);
int xlclose(XLLIB* lib);
// 0 when the open catalogue holds the entry, XLM_NOT_FOUND when it does not.
int xlmfind(XLLIB* lib, const char* entry, const char* type);
// Opens an entry of the catalogue for reading: 0 with *member set.
int xlmopen(XLLIB* lib, const char* entry, const char* type, XLMEMBER** member);
// Reads the entry's next record into `buffer` (`size` bytes) and its length
// into *length: 0; XLM_END_OF_ENTRY after the last record; XLM_LONG_RECORD
// when the record is longer than `size` (nothing is copied, *length gets its
// length and the next read goes on after it); XLM_CUT_SHORT when the entry
// ends inside the record.
int xlmread(XLMEMBER* member, void* buffer, long size, long* length);
int xlmclose(XLMEMBER* member);

// ---------------------------------------------------------------------------
// Graphics device descriptions and the task's cache of them. The control
// block is found under the task anchor "__GCB_GRAPH"; its records and their
// items come from the task's pool (xtaskpool) and go back to it.

inline constexpr int GDEV_FIRST_LENGTH = 256; // the first record of a device entry
inline constexpr int GDEV_ARRAY_LENGTH = 512; // the array record
inline constexpr int GDEV_ITEM7_LENGTH = 28;  // an item record of a "version7" entry
inline constexpr int GDEV_ITEM_LENGTH = 56;   // an item record of an older entry
inline constexpr int GDEV_ITEM_SIZE = 279;    // an item as the description holds it
inline constexpr int GDEV_FIRST_COUNT = 172;  // the first record's count of further records
inline constexpr int GDEV_FIRST_MODE = 176;   // the first record's mode integer

// A device description as the cache hands it out.
struct GDEVSTR {
    char name[8];                  // the device's name, blank padded
    char version7;                 // 1 when the entry is marked "version7"
    char spare[3];                 // zero
    int mode;                      // the integer at byte 176 of the first record
    int nrecords;                  // further records the first record announces
    int nitems;                    // items read
    char (*items)[GDEV_ITEM_SIZE]; // nitems blank-padded items (null when none)
    char first[GDEV_FIRST_LENGTH]; // the first record as read
    char array[GDEV_ARRAY_LENGTH]; // the array record (blanks when none)
};

// One loaded device: 1048 bytes.
struct GDEVINF {
    GDEVINF* next; // chain of the cache, newest first
    GDEVINF* prev;
    char name[8]; // the device's name, upper case, blank padded
    int usecount; // look-ups that returned it
    int spare1;
    long stamp; // the date stamp of the entry it was read from
    GDEVSTR dev;
    char spare2[208];
};
inline constexpr int GDEVINF_SIZE = 1048;
static_assert(sizeof(GDEVINF) == GDEVINF_SIZE, "a device record is 1048 bytes");

// The device header: the libraries searched for device entries and the
// loaded devices.
struct GDEVHD {
    char libs[11][8]; // search order; slots 0 .. nlibs-1, then slot 10, the help library
    int nlibs;        // at most 10
    GDEVINF* first;   // the cache's chain, newest first
};

// The task's graphics control block under "__GCB_GRAPH".
struct GGCBGRAPH {
    GDEVHD devhd;
    int busy; // graphics support calls running in the task
};

// Fills a device header: GDEVICE0 to GDEVICE9, then VYRHELP, no device.
void gdevhd_init(GDEVHD* hd);
// Initialises a new device record: no links, blank names, no stamp, a
// blank description without items.
void ggdinit(GDEVINF* record);
// Releases a loaded device of the task's cache: the one whose description
// is `device`, or with a null `device` the oldest one other than the newest.
// `flag` is 0. 0, or 1 when there is none to release.
int ggdvdlt(GDEVSTR* device, int flag);
// Polls for an interrupt: 0 when none waits (an interrupt ends this host's
// run at once, so none ever waits).
int wtpoll();

// ---------------------------------------------------------------------------
// Host side: writing entries, and counts for tests.

// Writes an entry whole (or not at all) into `libref`'s catalogue folder,
// made when missing; the records are stored as given. Any earlier entry of
// the name is replaced and the entry's generation counted on, so its date
// stamp changes. False, with the reason in `why`, when the library is not
// assigned, a name is not valid, the folder or entry leads out of the
// library, or the file cannot be written.
bool vyr_write_catalogue_entry(std::string_view libref, std::string_view catalog,
                               std::string_view entry, std::string_view type,
                               const std::vector<std::string>& records, std::string& why);

// A device entry as written into catalogue DEVICES with type DEV.
struct VyrDeviceEntry {
    std::string name;                 // 1 to 8 letters, digits, underscores
    std::string description;          // up to 40 characters
    bool version7 = true;             // item records of 28 bytes (else 56)
    int mode = 0;                     // the integer at byte 176
    int xpixels = 0, ypixels = 0;     // the device's area
    std::vector<std::string> colours; // up to 64 names of up to 8 characters
    // Items: a key of up to 8 characters and its value (up to 20 characters
    // in a version-7 entry, 48 in an older one).
    std::vector<std::pair<std::string, std::string>> items;
};
// The records of a device entry: the first record, the array record and the
// item records.
std::vector<std::string> vyr_device_records(const VyrDeviceEntry& device);
bool vyr_write_device_entry(std::string_view libref, const VyrDeviceEntry& device,
                            std::string& why);

// Counts of entries opened, records read and polls since the run began.
struct VyrCatalogueCounts {
    long opens = 0, reads = 0, polls = 0;
};
VyrCatalogueCounts vyr_catalogue_counts();
