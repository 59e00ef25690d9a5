// Large files open with their types and lengths only and read a column's
// values when first used: everything read that way must equal a full read,
// and a read under another run's lock waits only so long, and says so.
// Numbers read through the quick path equal the full parse's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "data_test_util.h"
#include "host/data/data_internal.h"
#include "runtime/missing.h"
#include "support/lock_holder.h"
#include "vyr_atomic_file.h"
#include "vyr_data.h"

using vyrtest::TempDir;

namespace
{

// Sets the size from which files open lazily for the life of the object.
struct LazyFrom {
    explicit LazyFrom(long long bytes) { vyr::data::set_lazy_threshold(bytes); }
    ~LazyFrom() { vyr::data::set_lazy_threshold(64LL << 20); }
};

std::string sample(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s = "\xEF\xBB\xBFid,x,name,code,y\r\n";
    const char* miss[] = {".", ".A", "._", "", ".z"};
    for (int i = 0; i < n; ++i) {
        std::string name;
        switch (rng() % 4) {
        case 0:
            name = "plain" + std::to_string(rng() % 7);
            break;
        case 1:
            name = "\"comma, " + std::to_string(i % 13) + "\"";
            break;
        case 2:
            name = "\"line\n" + std::to_string(i % 5) + "\"";
            break;
        default:
            name = "\"q\"\"" + std::to_string(i % 3) + "\"";
            break;
        }
        std::string x = rng() % 5 == 0 ? miss[rng() % 5] : std::to_string((rng() % 2000) * 0.125);
        s += std::to_string(i) + "," + x + "," + name + "," + (i % 11 == 0 ? "x1" : "7") + "," +
             std::to_string(-static_cast<int>(rng() % 90)) + "e-1\r\n";
        if (i % 4001 == 0)
            s += "\r\n"; // blank rows are skipped
    }
    return s;
}

} // namespace

TEST(LazyColumns, ValuesTypesAndLengthsEqualAFullRead)
{
    TempDir dir;
    for (int n : {40, 200000}) { // one window, and several parsed in parallel
        std::string p = dir.write("s.csv", sample(n, static_cast<unsigned>(n)));
        DSHANDLE* full = vyrtest::open_input(p);
        ASSERT_NE(full, nullptr);
        vyrtest::Snapshot want = vyrtest::snapshot(full);
        vyr_data_step_end(true);
        LazyFrom lazy(0);
        DSHANDLE* ds = vyrtest::open_input(p);
        ASSERT_NE(ds, nullptr);
        ASSERT_EQ(vyr_dsnobs(ds), n);
        vyrtest::Snapshot got = vyrtest::snapshot(ds);
        ASSERT_EQ(got.cols.size(), want.cols.size());
        for (size_t c = 0; c < got.cols.size(); ++c) {
            EXPECT_EQ(got.cols[c].numeric, want.cols[c].numeric) << c;
            EXPECT_EQ(got.cols[c].length, want.cols[c].length) << c;
            EXPECT_TRUE(got.values[c] == want.values[c]) << "column " << c << ", " << n << " rows";
        }
        EXPECT_FALSE(got.cols[3].numeric); // "x1" makes code character
        vyr_data_step_end(true);
    }
}

TEST(LazyColumns, BoundColumnsReadInOnePassThroughFetchesAndByGroups)
{
    TempDir dir;
    std::string p = dir.write("b.csv", "g,t,name,unused\n1,2.5,ann,9\n1,.C,bob,9\n2,4,cy,9\n");
    LazyFrom lazy(0);
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    int g = 1;
    ASSERT_EQ(xbyset(ds, &g, nullptr, 1, false), 0);
    XVHANDLE* h = nullptr;
    ASSERT_EQ(xvgeti(ds, 2, &h), 0);
    double t = 0;
    char rec[16];
    ASSERT_EQ(xvgetd(h, 2, 0, &t, 8, 8), 0);
    ASSERT_EQ(xvgetd(h, 3, 0, nullptr, 5, 4), 0);
    xvgete(h);
    std::vector<std::string> seen;
    int groups = 0;
    while (xbynext(ds)) {
        ++groups;
        while (xybyget(ds) == 0) {
            ASSERT_EQ(xyvget(h, rec), 0);
            seen.push_back(
                std::string(rec, 5) + "|" +
                (wzmis(t) ? std::string(1, static_cast<char>('A' + (0xFD - korv_missing_byte5(t))))
                          : std::to_string(t)));
        }
    }
    EXPECT_EQ(groups, 2);
    EXPECT_EQ(seen, (std::vector<std::string>{"ann  |2.500000", "bob  |C", "cy   |4.000000"}));
    // The column nobody bound was never read from the file.
    const auto& cols = ds->table.cols;
    EXPECT_FALSE(cols[3].loaded);
    EXPECT_TRUE(cols[0].loaded && cols[1].loaded && cols[2].loaded);
    vyr_data_step_end(true);
}

TEST(LazyColumns, ColumnsTheStepNamesComeFromTheOpeningPassAndTheRestWhenUsed)
{
    const std::vector<std::string> words =
        vyr_statement_words({"proc korvante data=d notable", "time T*Status(0)",
                             "strata grp / test=(logrank)", "id x1-x3 _3rd 9lives"});
    for (const char* w : {"T", "STATUS", "GRP", "X1", "X3", "_3RD", "KORVANTE"})
        EXPECT_TRUE(std::find(words.begin(), words.end(), w) != words.end()) << w;
    for (const char* w : {"0", "9LIVES", "LIVES", "X2"})
        EXPECT_TRUE(std::find(words.begin(), words.end(), w) == words.end()) << w;

    TempDir dir;
    // A small file: without the words it would be read whole.
    std::string p = dir.write("d.csv", sample(3000, 7));
    DSHANDLE* full = vyrtest::open_input(p);
    ASSERT_NE(full, nullptr);
    vyrtest::Snapshot want = vyrtest::snapshot(full);
    vyr_data_step_end(true);
    const std::vector<std::string> named = {"ID", "NAME", "UNRELATED"};
    vyr_data_expect_words(&named);
    DSHANDLE* ds = vyrtest::open_input(p);
    vyr_data_expect_words(nullptr);
    ASSERT_NE(ds, nullptr);
    const auto& cols = ds->table.cols;
    EXPECT_TRUE(cols[0].loaded && cols[2].loaded);
    EXPECT_FALSE(cols[1].loaded || cols[3].loaded || cols[4].loaded);
    vyrtest::Snapshot got = vyrtest::snapshot(ds);
    for (size_t c = 0; c < got.cols.size(); ++c) {
        EXPECT_EQ(got.cols[c].numeric, want.cols[c].numeric) << c;
        EXPECT_EQ(got.cols[c].length, want.cols[c].length) << c;
        EXPECT_TRUE(got.values[c] == want.values[c]) << "column " << c;
    }
    vyr_data_step_end(true);
}

TEST(LazyColumns, AFileChangedAfterOpeningIsAnErrorNotWrongValues)
{
    TempDir dir;
    std::string p = dir.write("c.csv", "a,b\n1,2\n3,4\n");
    LazyFrom lazy(0);
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    dir.write("c.csv", "a,b\n1,2\n3,4\n5,6\n");
    testing::internal::CaptureStderr();
    double v = vyr::data::number(ds, 1, 1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(wzmis(v));
    EXPECT_NE(log.find("c.csv"), std::string::npos) << log;
    EXPECT_NE(log.find("changed"), std::string::npos) << log;
    vyr_data_step_end(true);
}

// A file system may move a file's time while its bytes stay (rclone's
// cache, as a file is read): where the first read has the file's digest
// (here its attribute file names it), a later load finds by its bytes that
// it is the file read. One of the same size with other bytes is changed.
TEST(LazyColumns, AFileWhoseTimeMovedIsTheOneReadWhileItsBytesAreTheSame)
{
    TempDir dir;
    const std::string csv = "a,b,c\n1,2,3\n4,5,6\n";
    const std::string p = dir.write("t.csv", csv);
    dir.write("t.attr",
              "# csv size=" + std::to_string(csv.size()) + " digest=" +
                  vyr::data::digest_text(vyr::data::digest_bytes(csv.data(), csv.size())) + "\n");
    LazyFrom lazy(0);
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(vyr::data::number(ds, 2, 1), 4.0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    dir.write("t.csv", "a,b,c\n1,2,3\n4,5,7\n");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(wzmis(vyr::data::number(ds, 2, 3)));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("changed"), std::string::npos);
    vyr_data_step_end(true);
}

TEST(CsvNumbers, EveryDecimalReadsAsTheFullParseGivesIt)
{
    // Short decimals take a quick path; it must give the very double the
    // full parse gives, for every kind of text.
    TempDir dir;
    std::mt19937_64 rng(3);
    std::vector<std::string> texts = {
        "0",   "-0",  "00012.5000", "9007199254740993",  "5.", ".5",   "-.5",  "123456789012345",
        "1e3", "0.1", "0.3",        "999999999999999.9", "+7", "1.e2", "-0.0", "0.000000000000001"};
    for (int i = 0; i < 4000; ++i) {
        int intDigits = static_cast<int>(rng() % 12), fracDigits = static_cast<int>(rng() % 12);
        std::string t = rng() % 3 == 0 ? "-" : "";
        for (int d = 0; d < intDigits; ++d)
            t += static_cast<char>('0' + rng() % 10);
        if (intDigits == 0)
            t += '0';
        if (fracDigits > 0) {
            t += '.';
            for (int d = 0; d < fracDigits; ++d)
                t += static_cast<char>('0' + rng() % 10);
        }
        texts.push_back(t);
    }
    std::string csv = "v\n";
    for (const std::string& t : texts)
        csv += t + "\n";
    std::string p = dir.write("n.csv", csv);
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    ASSERT_EQ(vyr_dsnobs(ds), static_cast<long>(texts.size()));
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string& t = texts[i];
        const char* b = t.data() + (t[0] == '+' ? 1 : 0);
        double want = 0;
        std::from_chars(b, t.data() + t.size(), want);
        double got = vyr::data::number(ds, static_cast<long>(i) + 1, 1);
        EXPECT_EQ(0, std::memcmp(&got, &want, sizeof got)) << t;
    }
    vyr_data_step_end(true);
}

// A reader takes no lock: while another run holds the lock of the folder a
// lazily opened data set is in, reading its twelve columns one by one waits
// for nothing, and says nothing.
TEST(LazyColumns, ColumnsReadWhileAnotherRunHoldsTheLockWaitForNothing)
{
    TempDir dir, other;
    std::string csv;
    for (int c = 0; c < 12; ++c)
        csv += (c > 0 ? ",c" : "c") + std::to_string(c);
    csv += "\n";
    for (int r = 0; r < 5; ++r) {
        for (int c = 0; c < 12; ++c)
            csv += (c > 0 ? "," : "") + std::to_string(r * c);
        csv += "\n";
    }
    const std::string p = dir.write("anno.csv", csv);
    LazyFrom lazy(0);
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    vyrtest::LockHolder holder(dir.path());
    ASSERT_TRUE(holder.held());
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    for (int v = 1; v <= 12; ++v)
        EXPECT_NE(vyr::data::loaded_column(ds->table, v), nullptr) << v;
    const auto waited = std::chrono::steady_clock::now() - start;
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_LT(waited, std::chrono::milliseconds(900));
    EXPECT_EQ(log, "");
    vyr_data_step_end(true);
}
