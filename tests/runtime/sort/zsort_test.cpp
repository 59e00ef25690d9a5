// The sort wrapper: entries made from the callbacks the start exit sets,
// cleared afterwards; the utility-file exits of the host; the definition copy.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/missing.h"
#include "runtime/zsort.h"
#include "vyr_files.h"

namespace
{

// In-memory source and sink for the callback tests.
struct Mem {
    std::vector<double> in;
    size_t next = 0;
    std::vector<double> out;
    int initCalls = 0;
    int termCalls = 0;
    bool termEntrySeen = false;
    bool seqinEntrySet = false;
};
Mem* g_mem = nullptr;
ZSORTSTR* g_req = nullptr;

int mem_in(SORTSTR* info, void** rec, long* len)
{
    Mem* m = static_cast<Mem*>(info->user);
    if (m->next >= m->in.size())
        return 1;
    *rec = &m->in[m->next++];
    *len = 8;
    return 0;
}
int mem_out(SORTSTR* info, const void* rec, long len)
{
    double d;
    std::memcpy(&d, rec, 8);
    static_cast<Mem*>(info->user)->out.push_back(d);
    return len == 8 ? 0 : -1;
}
int reverse_cmp(SORTSTR*, const void* a, const void* b)
{
    return -wzbcoff(static_cast<const char*>(a), static_cast<const char*>(b), -2, 0);
}
int start_exit(SORTSTR* info, void*, void*, void*, void*, void*)
{
    Mem* m = static_cast<Mem*>(info->user);
    ++m->initCalls;
    info->seqin = mem_in;
    info->seqout = mem_out;
    return 0;
}
int start_exit_reverse(SORTSTR* info, void* a, void* b, void* c, void* d, void* e)
{
    start_exit(info, a, b, c, d, e);
    info->hsirtn = reverse_cmp;
    return 0;
}
int end_exit(SORTSTR* info)
{
    Mem* m = static_cast<Mem*>(info->user);
    ++m->termCalls;
    m->seqinEntrySet = info->gseqin != nullptr;
    return 0;
}
int start_exit_checking_term(SORTSTR* info, void* a, void* b, void* c, void* d, void* e)
{
    g_mem->termEntrySeen = g_req->gtermf != nullptr;
    return start_exit(info, a, b, c, d, e);
}

void expect_entries_cleared(const SORTSTR& s)
{
    EXPECT_EQ(s.gseqin, nullptr);
    EXPECT_EQ(s.gseqout, nullptr);
    EXPECT_EQ(s.ghsirtn, nullptr);
    EXPECT_EQ(s.ghsiin, nullptr);
    EXPECT_EQ(s.ghsiout, nullptr);
    EXPECT_EQ(s.gblkin, nullptr);
    EXPECT_EQ(s.gblkout, nullptr);
    EXPECT_EQ(s.gmidf, nullptr);
}

TEST(Zsort, EntriesComeFromTheStartExitAndAreClearedAfter)
{
    Mem m;
    m.in = {3, korv_missing(), -1, 2, korv_special_missing(0xFD)};
    ZSORTSTR z;
    SORVDSTR key{0, 8, SORT_KEY_DOUBLE, 1};
    z.initf = start_exit;
    z.termf = end_exit;
    z.info.user = &m;
    z.info.nvar = 1;
    z.info.v = &key;
    EXPECT_EQ(zsort(&z), 0);
    EXPECT_EQ(m.initCalls, 1);
    EXPECT_EQ(m.termCalls, 1);
    EXPECT_TRUE(m.seqinEntrySet); // the sort ran through the entries
    ASSERT_EQ(m.out.size(), 5u);
    EXPECT_EQ(korv_missing_byte5(m.out[0]), 0xFE); // ordinary missing first
    EXPECT_EQ(korv_missing_byte5(m.out[1]), 0xFD); // then .A
    EXPECT_EQ(m.out[2], -1);
    EXPECT_EQ(m.out[4], 3);
    EXPECT_EQ(z.info.nrecs, 5);
    expect_entries_cleared(z.info);
    EXPECT_NE(z.ginitf, nullptr);
}

TEST(Zsort, NoTerminationEntryWithoutTermf)
{
    Mem m;
    m.in = {2, 1};
    ZSORTSTR z;
    g_mem = &m;
    g_req = &z;
    z.initf = start_exit_checking_term;
    z.info.user = &m;
    EXPECT_EQ(zsort(&z), 0);
    EXPECT_FALSE(m.termEntrySeen);
    EXPECT_EQ(z.gtermf, nullptr);
    EXPECT_EQ(m.out, (std::vector<double>{2, 1})); // no keys: input order kept
    expect_entries_cleared(z.info);
}

TEST(Zsort, CallerComparisonRoutineDecides)
{
    Mem m;
    m.in = {1, 5, 3};
    ZSORTSTR z;
    z.initf = start_exit_reverse;
    z.info.user = &m;
    EXPECT_EQ(zsort(&z), 0);
    EXPECT_EQ(m.out, (std::vector<double>{5, 3, 1}));
    expect_entries_cleared(z.info);
}

TEST(Zsort, OneUtilityFileIntoAnother)
{
    XCFILE *in = nullptr, *out = nullptr;
    XCREQUEST req;
    ASSERT_GE(xcopen(&in, &req), 0);
    ASSERT_GE(xcopen(&out, &req), 0);
    // 48-byte records: stratum @0, group @8, time @16, serial @24.
    const int n = 1000;
    for (int i = 0; i < n; ++i) {
        double rec[6] = {static_cast<double>(i % 3), 0, static_cast<double>((i * 37) % 101),
                         static_cast<double>(i),     0, 0};
        ASSERT_GE(xcwrite(in, rec, 48), 0);
    }
    ASSERT_GE(xcpoint(in, 0), 0);
    double buffer[34];
    BFRSTR bfr;
    bfr.fd = in;
    bfr.lrecl = 48;
    bfr.needs = n;
    bfr.bufp = buffer;
    SORVDSTR keys[2] = {{0, 8, SORT_KEY_DOUBLE, 1}, {16, 8, SORT_KEY_DOUBLE, 1}};
    ZSORTSTR z;
    z.initf = zsorxci;
    z.termf = zsorxct;
    z.info.fiddata = &bfr;
    z.info.fidout = out;
    z.info.seqin = zxcget;
    z.info.seqout = zxcput;
    z.info.hsirtn = zxcrtn;
    z.info.nvar = 2;
    z.info.v = keys;
    ASSERT_EQ(zsort(&z), 0);
    EXPECT_EQ(z.info.iorc, 0);
    ASSERT_GE(xcpoint(out, 0), 0);
    double prev[6] = {-1, 0, -1, -1, 0, 0};
    for (int i = 0; i < n; ++i) {
        double rec[6];
        ASSERT_GE(xcread(out, rec, 48), 0);
        bool ordered = rec[0] > prev[0] || (rec[0] == prev[0] && rec[2] > prev[2]) ||
                       (rec[0] == prev[0] && rec[2] == prev[2] && rec[3] > prev[3]);
        ASSERT_TRUE(ordered) << i;
        std::memcpy(prev, rec, sizeof rec);
    }
    expect_entries_cleared(z.info);
    // A short input file: the read failure comes back with its status.
    ASSERT_GE(xcpoint(in, 0), 0);
    ASSERT_GE(xcpoint(out, -2), 0);
    bfr.needs = n + 5;
    ZSORTSTR z2 = z;
    z2.ginitf = nullptr;
    z2.gtermf = nullptr;
    EXPECT_LT(zsort(&z2), 0);
    EXPECT_LT(z2.info.iorc, 0);
    xcclose(in);
    xcclose(out);
}

} // namespace
