// Device entries looked up in the device catalogues (GDEVICE0 to GDEVICE9,
// then VYRHELP) through the task's cache: the search order, the cache and
// its date stamps, the records of version-7 and older entries, the release
// of the oldest device, and entries that are malformed or lead out of their
// library or through another user's link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "devplot/zggraf.h"
#include "host/session/session_state.h"
#include "vyr_catalogue.h"
#include "vyr_gkernel.h"
#include "vyr_session.h"

namespace fs = std::filesystem;

namespace
{

struct DeviceEntries : ::testing::Test {
    fs::path dir;
    std::string listing, log;
    static std::string lib(int k) { return k < 10 ? "GDEVICE" + std::to_string(k) : "VYRHELP"; }
    void SetUp() override
    {
        vyr_gk_reset();
        vyr::print_capture(&listing, &log);
        dir = fs::temp_directory_path() / ("korv_devices_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        for (int k = 0; k <= 11; ++k) {
            const std::string name = k == 11 ? "OUTSIDE" : lib(k);
            fs::create_directories(dir / name);
            ASSERT_TRUE(vyr_assign_library(name, (dir / name).string()));
        }
    }
    void TearDown() override
    {
        vyr::print_capture(nullptr, nullptr);
        vyr_gk_reset();
        fs::remove_all(dir);
    }
    static VyrDeviceEntry device(const std::string& name, int mode, bool version7 = true)
    {
        VyrDeviceEntry d;
        d.name = name;
        d.mode = mode;
        d.version7 = version7;
        d.colours = {"BLACK", "RED"};
        d.items = {{"FONT", "SANS"}, {"DPI", "96"}};
        return d;
    }
    void put(const std::string& library, const VyrDeviceEntry& d)
    {
        std::string why;
        ASSERT_TRUE(vyr_write_device_entry(library, d, why)) << why;
    }
    void putRecords(const std::string& name, const std::vector<std::string>& records)
    {
        std::string why;
        ASSERT_TRUE(vyr_write_catalogue_entry("GDEVICE0", "DEVICES", name, "DEV", records, why));
    }
    fs::path entry(const std::string& library, const std::string& name) const
    {
        return dir / library / "DEVICES" / (name + ".dev");
    }
    static std::vector<std::string> cached()
    {
        long slot = 0;
        void* owner = nullptr;
        EXPECT_EQ(xytngl(xtanch(), 0, "__GCB_GRAPH", 11, &slot, &owner), 0);
        std::vector<std::string> out;
        for (GDEVINF* r = static_cast<GGCBGRAPH*>(wtrsget(xtanch(), slot))->devhd.first; r;
             r = r->next)
            out.emplace_back(r->name, std::strcspn(std::string(r->name, 8).c_str(), " "));
        return out;
    }
};

TEST_F(DeviceEntries, TheFirstLibraryInTheSearchOrderWins)
{
    put("VYRHELP", device("PDF", 30));
    put("GDEVICE7", device("PDF", 7));
    put("GDEVICE3", device("pdf", 3));
    EXPECT_EQ(ggtdvmd("PDF"), 3);
    GDEVSTR* d = ggdvget("pdf");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->mode, 3);
    fs::remove(entry("GDEVICE3", "PDF"));
    fs::remove(entry("GDEVICE7", "PDF"));
    EXPECT_EQ(ggtdvmd("PDF"), 30);
    EXPECT_EQ(ggdvget("PDF")->mode, 30);
    EXPECT_EQ(ggtdvmd("NONE"), 0);
    EXPECT_EQ(ggdvget("NONE"), nullptr);
    EXPECT_EQ(log, "");
}

TEST_F(DeviceEntries, AnUnchangedEntryComesFromTheCacheAndARewrittenOneIsReadAgain)
{
    put("GDEVICE0", device("PNG", 1));
    const VyrCatalogueCounts before = vyr_catalogue_counts();
    GDEVSTR* d = ggdvget("PNG");
    ASSERT_NE(d, nullptr);
    const VyrCatalogueCounts once = vyr_catalogue_counts();
    EXPECT_EQ(once.opens, before.opens + 1);
    EXPECT_EQ(ggdvget("PNG"), d);
    const VyrCatalogueCounts twice = vyr_catalogue_counts();
    EXPECT_EQ(twice.opens, once.opens);
    EXPECT_EQ(twice.reads, once.reads);
    EXPECT_EQ(twice.polls, once.polls + 1);
    auto* record = reinterpret_cast<GDEVINF*>(reinterpret_cast<char*>(d) - offsetof(GDEVINF, dev));
    EXPECT_EQ(record->usecount, 2);
    put("GDEVICE0", device("PNG", 2)); // same size, maybe the same time: a new generation
    GDEVSTR* again = ggdvget("PNG");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->mode, 2);
    EXPECT_EQ(vyr_catalogue_counts().opens, twice.opens + 1);
}

TEST_F(DeviceEntries, ItemsOfVersion7AndOlderEntries)
{
    VyrDeviceEntry v7 = device("NEW", 5);
    put("GDEVICE0", v7);
    GDEVSTR* d = ggdvget("NEW");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->version7, 1);
    EXPECT_EQ(d->nrecords, 3);
    ASSERT_EQ(d->nitems, 2);
    EXPECT_EQ(std::string(d->items[1], GDEV_ITEM_SIZE), "DPI     96" + std::string(269, ' '));
    EXPECT_EQ(std::string(d->array, 16), "BLACK   RED     ");
    put("GDEVICE0", device("OLD", 6, false));
    d = ggdvget("OLD");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->version7, 0);
    ASSERT_EQ(d->nitems, 2);
    EXPECT_EQ(std::string(d->items[0], 12), "FONT    SANS");
    EXPECT_EQ(d->items[0][GDEV_ITEM_SIZE - 1], ' ');
    // The run stops at a record of another length, and at the end of an
    // entry that announces more records than it holds.
    std::vector<std::string> records = vyr_device_records(v7);
    records.insert(records.begin() + 3, std::string(GDEV_ITEM_LENGTH, ' '));
    records[0][GDEV_FIRST_COUNT] = 40;
    putRecords("STOPS", records);
    d = ggdvget("STOPS");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->nrecords, 40);
    EXPECT_EQ(d->nitems, 1);
    EXPECT_EQ(log, "");
}

TEST_F(DeviceEntries, TheFourthLoadedDeviceReleasesTheOldest)
{
    for (const char* n : {"A", "B", "C", "D"}) {
        put("GDEVICE0", device(n, 1));
        ASSERT_NE(ggdvget(n), nullptr);
    }
    EXPECT_EQ(cached(), (std::vector<std::string>{"D", "C", "B"}));
    const long opens = vyr_catalogue_counts().opens;
    ASSERT_NE(ggdvget("A"), nullptr);
    EXPECT_EQ(vyr_catalogue_counts().opens, opens + 1);
    EXPECT_EQ(cached(), (std::vector<std::string>{"A", "D", "C"}));
}

TEST_F(DeviceEntries, MalformedEntriesGiveNoDevice)
{
    const std::vector<std::string> good = vyr_device_records(device("BAD", 9));
    auto fails = [&](std::vector<std::string> records, const char* says) {
        log.clear();
        putRecords("BAD", records);
        EXPECT_EQ(ggdvget("BAD"), nullptr) << says;
        EXPECT_NE(log.find(says), std::string::npos) << log;
    };
    std::vector<std::string> r = good;
    r[0][0] = 'Y';
    fails(r, "The device entry BAD is not in the expected format");
    EXPECT_EQ(ggtdvmd("BAD"), 0);
    r = good;
    r[0].resize(GDEV_FIRST_MODE + 4);
    fails(r, "not in the expected format");
    EXPECT_EQ(ggtdvmd("BAD"), 0);
    r = good;
    r[1].resize(100);
    fails(r, "not in the expected format");
    fails({good[0]}, "not in the expected format");
    fails({}, "not in the expected format");
    // Cut short inside each record (and inside a length).
    putRecords("BAD", good);
    const auto size = fs::file_size(entry("GDEVICE0", "BAD"));
    for (auto at : {18ul, 100ul, 16ul + 260 + 300, size - 10}) {
        putRecords("BAD", good);
        fs::resize_file(entry("GDEVICE0", "BAD"), at);
        log.clear();
        EXPECT_EQ(ggdvget("BAD"), nullptr) << at;
        EXPECT_NE(log.find("cut short"), std::string::npos) << at << log;
    }
    fs::resize_file(entry("GDEVICE0", "BAD"), 10);
    log.clear();
    EXPECT_EQ(ggtdvmd("BAD"), 0);
    EXPECT_NE(log.find("header is missing"), std::string::npos) << log;
}

TEST_F(DeviceEntries, NamesAndLibrariesThatCannotBeUsed)
{
    put("GDEVICE1", device("LONGNAME", 8));
    const char field[8] = {'l', 'o', 'n', 'g', 'n', 'a', 'm', 'e'}; // no NUL after it
    ASSERT_NE(ggdvget(field), nullptr);
    EXPECT_EQ(ggtdvmd("LONGNAMEXYZ"), 8);
    EXPECT_EQ(ggdvget(""), nullptr);
    EXPECT_EQ(ggdvget("        "), nullptr);
    EXPECT_EQ(log, "");
    EXPECT_EQ(ggdvget("A/B"), nullptr);
    EXPECT_EQ(ggtdvmd("../X"), 0);
    EXPECT_NE(log.find("1 to 8 letters"), std::string::npos) << log;
    // A library folder that is gone has no entry; one that is not a folder
    // cannot be searched.
    fs::remove_all(dir / "GDEVICE0");
    EXPECT_NE(ggdvget("LONGNAME"), nullptr);
    std::FILE* f = std::fopen((dir / "GDEVICE0").c_str(), "w");
    std::fclose(f);
    log.clear();
    EXPECT_EQ(ggtdvmd("LONGNAME"), 0);
    EXPECT_NE(log.find("could not be read"), std::string::npos) << log;
}

TEST_F(DeviceEntries, LinksOutOfTheLibraryAreRefused)
{
    put("OUTSIDE", device("FAR", 4));
    put("GDEVICE2", device("NEAR", 2));
    fs::create_directory_symlink(dir / "OUTSIDE" / "DEVICES", dir / "GDEVICE0" / "DEVICES");
    fs::create_symlink(entry("OUTSIDE", "FAR"), entry("GDEVICE2", "FAR"));
    fs::create_symlink(entry("GDEVICE2", "NEAR"), entry("GDEVICE2", "ALIAS"));
    const long opens = vyr_catalogue_counts().opens;
    EXPECT_EQ(ggdvget("FAR"), nullptr);
    EXPECT_EQ(ggtdvmd("FAR"), 0);
    fs::remove(dir / "GDEVICE0" / "DEVICES");
    EXPECT_EQ(ggdvget("FAR"), nullptr);
    EXPECT_EQ(ggtdvmd("FAR"), 0);
    EXPECT_EQ(vyr_catalogue_counts().opens, opens);
    EXPECT_NE(log.find("leads out of its library"), std::string::npos) << log;
    // A link that stays inside the library is followed.
    EXPECT_EQ(ggtdvmd("ALIAS"), 2);
}

// In a library folder that any user may write, with the sticky bit set (as
// /tmp is), another user trades their folder of entries and their link to
// it under the catalogue's name, as fast as they can: the entry is opened in
// the folder the read walked to, so no read goes through the link, even
// where it leads inside the library. (Acting as another user needs root.)
TEST_F(DeviceEntries, AnotherUsersLinkSwappedInForTheCatalogueIsNeverReadThrough)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give a link to another user";
    const fs::path lib = dir / "GDEVICE0";
    ASSERT_EQ(::chmod(lib.c_str(), 01777), 0);
    put("GDEVICE0", device("SWAP", 1));
    fs::create_directory(lib / "THEIRS");
    put("OUTSIDE", device("SWAP", 4));
    fs::rename(entry("OUTSIDE", "SWAP"), lib / "THEIRS" / "SWAP.dev");
    const fs::path real = lib / "DEVICES", link = lib / "LINKED";
    fs::create_directory_symlink("THEIRS", link);
    constexpr uid_t kOther = 60002;
    ASSERT_EQ(::lchown(link.c_str(), kOther, kOther), 0);
    ASSERT_EQ(::chown(real.c_str(), kOther, kOther), 0);
    ASSERT_EQ(::chown((lib / "THEIRS").c_str(), kOther, kOther), 0);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop)
            (void)::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
    });
    int own = 0, theirs = 0;
    for (int i = 0; i < 3000 && theirs == 0; ++i) {
        XLLIB* l = nullptr;
        if (xlopen("GDEVICE0", "DEVICES", &l) != 0)
            continue;
        XLMEMBER* m = nullptr;
        char first[GDEV_FIRST_LENGTH];
        long length = 0;
        if (xlmopen(l, "SWAP", "DEV", &m) == 0 && xlmread(m, first, sizeof first, &length) == 0) {
            const int mode = static_cast<unsigned char>(first[GDEV_FIRST_MODE]);
            own += mode == 1;
            theirs += mode == 4;
        }
        if (m != nullptr)
            xlmclose(m);
        xlclose(l);
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(theirs, 0);
    EXPECT_GT(own, 0);
}

} // namespace
