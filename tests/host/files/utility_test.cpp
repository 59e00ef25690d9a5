// Utility files: positions across rewinds, fresh starts and the spill to
// disk; reads past the end; and the paged record store's pages.

#include "host/session/session_state.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace
{

std::vector<double> block(double base, int n = 50)
{
    std::vector<double> b(static_cast<std::size_t>(n));
    std::iota(b.begin(), b.end(), base);
    return b;
}

long bytes(const std::vector<double>& b)
{
    return static_cast<long>(b.size() * sizeof(double));
}

class UtilityFile : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        XCREQUEST req;
        ASSERT_EQ(xcopen(&f, &req), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(xcclose(f), 0);
        xcsetspill(64L * 1024 * 1024);
    }
    XCFILE* f = nullptr;
};

} // namespace

TEST_F(UtilityFile, NotedPositionsAreNeverZeroAndLeadBackToTheirBlocks)
{
    std::vector<double> notes;
    for (int k = 0; k < 6; ++k) {
        double pos = 0;
        ASSERT_EQ(xcnoted(f, &pos), 0);
        EXPECT_NE(pos, 0.0);
        notes.push_back(pos);
        auto b = block(k * 100.0);
        ASSERT_EQ(xcwrite(f, b.data(), bytes(b)), 0);
    }
    for (int k = 5; k >= 0; --k) { // any order
        ASSERT_EQ(xcpntd(f, notes[static_cast<std::size_t>(k)]), 0);
        std::vector<double> got(50);
        ASSERT_EQ(xcread(f, got.data(), 400), 0);
        EXPECT_EQ(got, block(k * 100.0));
    }
    EXPECT_LT(xcpntd(f, 0.0), 0);
    EXPECT_LT(xcpntd(f, 1e9), 0);
    EXPECT_LT(xcpntd(f, 1.5), 0);
}

TEST_F(UtilityFile, RewindOverwritesFromTheStartAndKeepsTheRest)
{
    auto a = block(1), b = block(1000), c = block(-7);
    ASSERT_EQ(xcwrite(f, a.data(), 400), 0);
    ASSERT_EQ(xcwrite(f, b.data(), 400), 0);
    ASSERT_EQ(xcpoint(f, 0), 0);
    ASSERT_EQ(xcwrite(f, c.data(), 400), 0); // overwrites the first block only
    ASSERT_EQ(xcpoint(f, 0), 0);
    std::vector<double> got(100);
    ASSERT_EQ(xcread(f, got.data(), 800), 0);
    EXPECT_TRUE(std::equal(c.begin(), c.end(), got.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), got.begin() + 50));
}

TEST_F(UtilityFile, AfreshDropsTheContentAndShortReadsFailWithoutReading)
{
    auto a = block(1);
    ASSERT_EQ(xcwrite(f, a.data(), 400), 0);
    ASSERT_EQ(xcpoint(f, -2), 0);
    std::vector<double> got(50, 42.0);
    EXPECT_LT(xcread(f, got.data(), 8), 0); // nothing there any more
    ASSERT_EQ(xcwrite(f, a.data(), 200), 0);
    ASSERT_EQ(xcpoint(f, 0), 0);
    EXPECT_LT(xcread(f, got.data(), 400), 0); // only 200 bytes written
    EXPECT_EQ(got[0], 42.0);                  // and nothing was read
    ASSERT_EQ(xcread(f, got.data(), 200), 0); // the failed read did not move the position
    EXPECT_EQ(got[0], 1.0);
    // A byte offset within what was written is a place to read or write;
    // one past its end is not.
    EXPECT_LT(xcpoint(f, 201), 0);
    ASSERT_EQ(xcpoint(f, 8), 0);
    ASSERT_EQ(xcread(f, got.data(), 8), 0);
    EXPECT_EQ(got[0], a[1]);
    EXPECT_LT(xcwrite(f, a.data(), -1), 0);
}

TEST_F(UtilityFile, PositionsSurviveTheSpillToDisk)
{
    xcsetspill(2000); // five blocks
    std::vector<double> notes;
    for (int k = 0; k < 12; ++k) {
        double pos = 0;
        ASSERT_EQ(xcnoted(f, &pos), 0);
        notes.push_back(pos);
        auto b = block(k * 50.0);
        ASSERT_EQ(xcwrite(f, b.data(), 400), 0);
        EXPECT_EQ(xcondisk(f), k >= 5 ? 1 : 0) << "block " << k;
    }
    for (int k = 0; k < 12; ++k) {
        ASSERT_EQ(xcpntd(f, notes[static_cast<std::size_t>(k)]), 0);
        std::vector<double> got(50);
        ASSERT_EQ(xcread(f, got.data(), 400), 0);
        ASSERT_EQ(got, block(k * 50.0)) << "block " << k;
    }
    // Rewind and overwrite on disk, then reread everything in order.
    ASSERT_EQ(xcpoint(f, 0), 0);
    auto c = block(-1.0);
    ASSERT_EQ(xcwrite(f, c.data(), 400), 0);
    ASSERT_EQ(xcpoint(f, 0), 0);
    std::vector<double> all(600);
    ASSERT_EQ(xcread(f, all.data(), 4800), 0);
    EXPECT_EQ(all[0], -1.0);
    EXPECT_EQ(all[50], 50.0);
    EXPECT_EQ(all[599], 599.0);
    EXPECT_LT(xcread(f, all.data(), 8), 0);
    // Afresh on disk: the old content is gone.
    ASSERT_EQ(xcpoint(f, -2), 0);
    EXPECT_LT(xcread(f, all.data(), 8), 0);
    ASSERT_EQ(xcwrite(f, c.data(), 16), 0);
    ASSERT_EQ(xcpoint(f, 0), 0);
    ASSERT_EQ(xcread(f, all.data(), 16), 0);
    EXPECT_EQ(all[1], 0.0);
}

TEST_F(UtilityFile, AFailedSpillIsAnErrorAndLosesNothing)
{
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", "/no/such/folder/for/korvante", 1);
    xcsetspill(800);
    auto a = block(1), big = block(1, 100);
    ASSERT_EQ(xcwrite(f, a.data(), 400), 0);
    EXPECT_LT(xcwrite(f, big.data(), 800), 0); // would pass the limit; no folder to spill to
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    // What was written before is intact and the file goes on working.
    ASSERT_EQ(xcpoint(f, 0), 0);
    std::vector<double> got(50);
    ASSERT_EQ(xcread(f, got.data(), 400), 0);
    EXPECT_EQ(got, a);
    EXPECT_LT(xcread(f, got.data(), 8), 0);
    ASSERT_EQ(xcwrite(f, big.data(), 800), 0);
    EXPECT_EQ(xcondisk(f), 1);
}

TEST(PagedStore, InfoAndPageSizes)
{
    long a = 0, b = 0, minimal = 0, standard = 0, n = -1;
    ASSERT_EQ(xcbinfo(&a, &b, &minimal, &standard, &n), 0);
    EXPECT_GT(minimal, 0);
    EXPECT_GE(standard, minimal);
    long size = 1000;
    XCBSTORE* s = nullptr;
    ASSERT_EQ(xcbopen(&size, 1, &s), 0);
    EXPECT_EQ(size, 1008); // rounded up to whole 16-byte units
    EXPECT_EQ(xcbclose(s), 0);
    size = 0;
    EXPECT_LT(xcbopen(&size, 1, &s), 0);
    EXPECT_EQ(s, nullptr);
}

TEST(PagedStore, PagesFilledInOrderAreReadBackAndKeepTheirAddresses)
{
    long size = 4800; // 100 records of 48 bytes
    XCBSTORE* s = nullptr;
    ASSERT_EQ(xcbopen(&size, 1, &s), 0);
    const int nrpp = static_cast<int>(size / 48);
    std::vector<char*> addr;
    for (long p = 1; p <= 30; ++p) {
        char* page = nullptr;
        ASSERT_EQ(xcbgetp(s, p, 16, &page), 0);
        for (int i = 0; i < size; ++i)
            ASSERT_EQ(page[i], 0) << "a new page comes zeroed";
        for (int r = 0; r < nrpp; ++r) {
            double v = p * 1000.0 + r;
            std::memcpy(page + r * 48, &v, 8);
        }
        addr.push_back(page);
        ASSERT_EQ(xcbwrtp(s, p), 0);
    }
    EXPECT_EQ(xcbpages(s), 30);
    for (long p = 1; p <= 30; ++p) {
        char* page = nullptr;
        ASSERT_EQ(xcbgetp(s, p, 0, &page), 0);
        EXPECT_EQ(page, addr[static_cast<std::size_t>(p - 1)]);
        double v = 0;
        std::memcpy(&v, page + (nrpp - 1) * 48, 8);
        EXPECT_EQ(v, p * 1000.0 + nrpp - 1);
        ASSERT_EQ(xcbmlok(s, p), 0);
    }
    // Mode 16 on an existing page keeps what was written (a writer that
    // comes back to fill a page goes on from its contents).
    char* again = nullptr;
    ASSERT_EQ(xcbgetp(s, 2, 16, &again), 0);
    double v = 0;
    std::memcpy(&v, again, 8);
    EXPECT_EQ(v, 2000.0);
    ASSERT_EQ(xcbwrtp(s, 2), 0);
    EXPECT_EQ(xcbclose(s), 0);
}

TEST(PagedStore, ManyStandardPagesStayApartAndZeroed)
{
    // Enough standard pages to need several pieces of memory behind them,
    // the largest included: no page overlaps another or moves.
    long size = 0, standard = 0;
    ASSERT_EQ(xcbinfo(nullptr, nullptr, nullptr, &standard, nullptr), 0);
    size = standard;
    XCBSTORE* s = nullptr;
    ASSERT_EQ(xcbopen(&size, 1, &s), 0);
    const long n = (48L << 20) / size;
    std::vector<char*> addr;
    for (long p = 1; p <= n; ++p) {
        char* page = nullptr;
        ASSERT_EQ(xcbgetp(s, p, 16, &page), 0);
        ASSERT_EQ(page[0], 0);
        ASSERT_EQ(page[size - 1], 0);
        std::memcpy(page, &p, sizeof p);
        std::memcpy(page + size - sizeof p, &p, sizeof p);
        addr.push_back(page);
        ASSERT_EQ(xcbwrtp(s, p), 0);
    }
    for (long p = 1; p <= n; ++p) {
        char* page = nullptr;
        ASSERT_EQ(xcbgetp(s, p, 0, &page), 0);
        ASSERT_EQ(page, addr[static_cast<std::size_t>(p - 1)]);
        long first = 0, last = 0;
        std::memcpy(&first, page, sizeof first);
        std::memcpy(&last, page + size - sizeof last, sizeof last);
        ASSERT_EQ(first, p);
        ASSERT_EQ(last, p);
        ASSERT_EQ(xcbmlok(s, p), 0);
    }
    EXPECT_EQ(xcbclose(s), 0);
}

TEST(PagedStore, BadPagesAndUnmatchedReleasesAreErrors)
{
    long size = 4096;
    XCBSTORE* s = nullptr;
    ASSERT_EQ(xcbopen(&size, 1, &s), 0);
    char* page = reinterpret_cast<char*>(1);
    EXPECT_LT(xcbgetp(s, 1, 0, &page), 0); // nothing written yet
    EXPECT_EQ(page, nullptr);
    EXPECT_LT(xcbgetp(s, 0, 16, &page), 0);
    EXPECT_LT(xcbgetp(s, 3, 16, &page), 0); // pages are filled in order
    EXPECT_LT(xcbwrtp(s, 1), 0);
    ASSERT_EQ(xcbgetp(s, 1, 16, &page), 0);
    ASSERT_EQ(xcbwrtp(s, 1), 0);
    EXPECT_LT(xcbmlok(s, 1), 0); // already given back
    EXPECT_LT(xcbgetp(nullptr, 1, 0, &page), 0);
    EXPECT_EQ(xcbclose(s), 0);
}

TEST(StepFiles, FilesAndStoresOpenedInAStepAreClosedWhenItEnds)
{
    int before = xcopenfiles();
    XCFILE* mine = nullptr;
    XCREQUEST req;
    ASSERT_EQ(xcopen(&mine, &req), 0); // outside a step: the caller's to close
    vyr_register_procedure("OPENER", [] {
        XCFILE* f = nullptr;
        XCREQUEST r;
        xcopen(&f, &r);
        XCFILE* g = nullptr;
        xcopen(&g, &r);
        xcsetspill(100);
        std::vector<double> b(50, 1.0);
        xcwrite(g, b.data(), 400); // on disk
        long size = 4096;
        XCBSTORE* s = nullptr;
        xcbopen(&size, 1, &s);
        char* page = nullptr;
        xcbgetp(s, 1, 16, &page); // left taken
        return 0;
    });
    VyrSettings settings;
    std::string dir = ::testing::TempDir();
    settings.log = dir + "/korv_files_test.log";
    settings.listing = dir + "/korv_files_test.lst";
    vyr_run_text(settings, "proc opener; run; proc opener; run;");
    std::remove(settings.log.c_str());
    std::remove(settings.listing.c_str());
    xcsetspill(64L * 1024 * 1024);
    EXPECT_EQ(xcopenfiles(), before + 1);
    EXPECT_EQ(xcclose(mine), 0);
    EXPECT_EQ(xcopenfiles(), before);
}

TEST_F(UtilityFile, SpilledFileAgreesWithAModelUnderMixedWritesAndReads)
{
    // Small records written and read back in every pattern the procedure
    // uses: appends, rereads far apart, overwrites from the start, fresh
    // starts, and large transfers around the buffers.
    xcsetspill(3000);
    std::vector<unsigned char> model;
    long long pos = 0;
    uint64_t x = 88172645463325252ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    std::vector<unsigned char> buf, got;
    for (int step = 0; step < 4000; ++step) {
        const int what = static_cast<int>(next() % 100);
        if (what < 45) { // write at the current position
            long n = 1 + static_cast<long>(next() % (step % 97 == 0 ? 3000000 : 900));
            buf.resize(static_cast<std::size_t>(n));
            for (auto& c : buf)
                c = static_cast<unsigned char>(next());
            ASSERT_EQ(xcwrite(f, buf.data(), n), 0);
            if (static_cast<long long>(model.size()) < pos + n)
                model.resize(static_cast<std::size_t>(pos + n));
            std::memcpy(model.data() + pos, buf.data(), static_cast<std::size_t>(n));
            pos += n;
        } else if (what < 85) { // read at a noted place
            if (model.empty())
                continue;
            long long at = static_cast<long long>(next() % model.size());
            long n =
                static_cast<long>(std::min<long long>(1 + static_cast<long long>(next() % 2000),
                                                      static_cast<long long>(model.size()) - at));
            if (step % 89 == 0)
                n = static_cast<long>(model.size() - at);
            ASSERT_EQ(xcpntd(f, static_cast<double>(at + 1)), 0);
            got.assign(static_cast<std::size_t>(n), 0);
            ASSERT_EQ(xcread(f, got.data(), n), 0);
            ASSERT_EQ(0, std::memcmp(got.data(), model.data() + at, static_cast<std::size_t>(n)))
                << "step " << step;
            pos = at + n;
        } else if (what < 97) { // back to the start, content kept
            ASSERT_EQ(xcpoint(f, 0), 0);
            pos = 0;
        } else { // a fresh start
            ASSERT_EQ(xcpoint(f, -2), 0);
            model.clear();
            pos = 0;
        }
    }
    EXPECT_EQ(xcondisk(f), 1);
    // Reading past the end still fails and reads nothing.
    ASSERT_EQ(xcpoint(f, 0), 0);
    std::vector<unsigned char> all(model.size() + 1);
    EXPECT_NE(xcread(f, all.data(), static_cast<long>(all.size())), 0);
}

TEST(UtilityFileMemory, MemsizeKeepsAQuarterInMemory)
{
    // Without MEMSIZE= the limit is the spill limit; with it, a file opened
    // then keeps at most a quarter of MEMSIZE= in memory.
    xcsetspill(1L << 30);
    ASSERT_EQ(vyr::option_set("MEMSIZE", "40000"), 0);
    XCFILE* capped = nullptr;
    XCREQUEST req;
    ASSERT_EQ(xcopen(&capped, &req), 0);
    ASSERT_EQ(vyr::option_set("MEMSIZE", "0"), 0);
    XCFILE* free = nullptr;
    ASSERT_EQ(xcopen(&free, &req), 0);
    std::vector<double> b(1000, 1.5);
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(xcwrite(capped, b.data(), 8000), 0);
        ASSERT_EQ(xcwrite(free, b.data(), 8000), 0);
        EXPECT_EQ(xcondisk(capped), k >= 1 ? 1 : 0) << k; // 10000 bytes kept
        EXPECT_EQ(xcondisk(free), 0) << k;
    }
    ASSERT_EQ(xcpoint(capped, 0), 0);
    std::vector<double> got(3000);
    ASSERT_EQ(xcread(capped, got.data(), 24000), 0);
    EXPECT_EQ(got, std::vector<double>(3000, 1.5));
    xcclose(capped);
    xcclose(free);
    xcsetspill(64L * 1024 * 1024);
}

TEST_F(UtilityFile, BlocksFilledInPlaceReadBackAndNeverSpanTwoChunks)
{
    // After a record written the usual way, 3000 blocks of 1400 bytes (over
    // four 1 MiB chunks) filled through their addresses: each reads back at
    // its noted position, whole, and a write after them goes at the end.
    auto head = block(-5.0);
    ASSERT_EQ(xcwrite(f, head.data(), 400), 0);
    const long count = 3000, bytes = 1400;
    std::vector<double> noted(count);
    std::vector<char*> at(count);
    ASSERT_EQ(xcblocks(f, count, bytes, noted.data(), at.data()), 0);
    for (long k = 0; k < count; ++k) {
        const long long off = static_cast<long long>(noted[static_cast<size_t>(k)]) - 1;
        ASSERT_EQ(off / (1 << 20), (off + bytes - 1) / (1 << 20)) << "block " << k;
        std::memset(at[static_cast<size_t>(k)], static_cast<int>(k % 251), bytes);
    }
    double after = 0;
    ASSERT_EQ(xcnoted(f, &after), 0);
    ASSERT_EQ(xcwrite(f, head.data(), 400), 0);
    std::vector<char> got(bytes);
    for (long k : {0L, 748L, 749L, 1500L, 2999L}) {
        ASSERT_EQ(xcpntd(f, noted[static_cast<size_t>(k)]), 0);
        ASSERT_EQ(xcread(f, got.data(), bytes), 0);
        EXPECT_EQ(got, std::vector<char>(bytes, static_cast<char>(k % 251))) << "block " << k;
    }
    EXPECT_GT(after, noted.back());
    std::vector<double> tail(50);
    ASSERT_EQ(xcpntd(f, after), 0);
    ASSERT_EQ(xcread(f, tail.data(), 400), 0);
    EXPECT_EQ(tail, head);
    // Blocks that would pass the memory limit, or a file on disk, are
    // refused with nothing changed; none at all is no request.
    xcsetspill(8 << 20);
    EXPECT_LT(xcblocks(f, 10000, bytes, noted.data(), at.data()), 0);
    double same = 0;
    ASSERT_EQ(xcnoted(f, &same), 0);
    EXPECT_EQ(same, after + 400);
    EXPECT_EQ(xcblocks(f, 0, bytes, nullptr, nullptr), 0);
    EXPECT_LT(xcblocks(f, 1, 2 << 20, noted.data(), at.data()), 0);
    xcsetspill(100);
    ASSERT_EQ(xcwrite(f, head.data(), 400), 0);
    ASSERT_EQ(xcondisk(f), 1);
    EXPECT_LT(xcblocks(f, 1, bytes, noted.data(), at.data()), 0);
    xcsetspill(64L * 1024 * 1024);
}

// Positioned reads: several threads at once, beside a reader that moves the
// position, in memory and on disk; a read over writes not yet flushed is
// refused, and reads nothing.
TEST_F(UtilityFile, PositionedReadsServeManyThreadsAndLeaveThePositionAlone)
{
    for (bool disk : {false, true}) {
        ASSERT_EQ(xcpoint(f, -2), 0);
        xcsetspill(disk ? 2000 : 64L * 1024 * 1024);
        std::vector<double> notes;
        for (int k = 0; k < 40; ++k) {
            double pos = 0;
            ASSERT_EQ(xcnoted(f, &pos), 0);
            notes.push_back(pos);
            auto b = block(k * 50.0);
            ASSERT_EQ(xcwrite(f, b.data(), 400), 0);
        }
        ASSERT_EQ(xcondisk(f), disk ? 1 : 0);
        std::vector<double> got(50, -1.0);
        if (disk) { // the last block is still gathered in memory
            EXPECT_LT(xcreadat(f, notes.back(), got.data(), 400), 0);
            EXPECT_EQ(got[0], -1.0);
        }
        ASSERT_EQ(xcflush(f), 0);
        ASSERT_EQ(xcpntd(f, notes[3]), 0);
        std::vector<int> bad(4, 0);
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t)
            readers.emplace_back([&, t] {
                std::vector<double> mine(50);
                for (int round = 0; round < 20; ++round)
                    for (int k = t; k < 40; k += 4)
                        if (xcreadat(f, notes[static_cast<std::size_t>(k)], mine.data(), 400) !=
                                0 ||
                            mine != block(k * 50.0))
                            ++bad[static_cast<std::size_t>(t)];
            });
        // The file's own reader goes on beside them.
        for (int k = 3; k < 40; ++k) {
            ASSERT_EQ(xcread(f, got.data(), 400), 0);
            ASSERT_EQ(got, block(k * 50.0));
        }
        for (std::thread& r : readers)
            r.join();
        EXPECT_EQ(bad, std::vector<int>(4, 0)) << (disk ? "disk" : "memory");
        // The positioned reads did not move the position, and refuse what
        // lies past the end or is not a noted position.
        ASSERT_EQ(xcpntd(f, notes[10]), 0);
        EXPECT_LT(xcreadat(f, notes.back(), got.data(), 800), 0);
        EXPECT_LT(xcreadat(f, 0.0, got.data(), 8), 0);
        EXPECT_LT(xcreadat(f, 2.5, got.data(), 8), 0);
        ASSERT_EQ(xcread(f, got.data(), 400), 0);
        EXPECT_EQ(got, block(500.0));
    }
}
