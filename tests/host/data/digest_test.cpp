// The digest an output data set's attribute file names for its CSV file:
// the reader computes the writer's value however the file is split among
// threads, and a one-byte change or a truncation changes it. A pair whose
// attribute file is not older than the CSV file it does not match is read
// with a warning.
#include <fcntl.h>
#include <sys/stat.h>

#include <random>
#include <string>

#include "data_test_util.h"
#include "host/data/data_internal.h"
#include "vyr_data.h"

using vyrtest::TempDir;

namespace
{

// Sets the size from which files are read in `windows` parallel windows.
struct Windows {
    explicit Windows(int windows) { vyr::data::set_parallel_threshold(0, windows); }
    ~Windows() { vyr::data::set_parallel_threshold(size_t(4) << 20, 0); }
};

// Writes the output data set `path` with `rows` rows of two values.
void write_data_set(const std::string& path, int rows)
{
    testing::internal::CaptureStderr();
    DSHANDLE* out = nullptr;
    ASSERT_EQ(vyr_dsopen_path(path, VYR_DS_OUTPUT, &out), 0);
    XVHANDLE* h = nullptr;
    xvputi(out, 2, 32, &h);
    double t = 0, s = 0;
    NAMESTR nm;
    xvnamei(&nm);
    nm.name_p = "time";
    nm.namelen = 4;
    xvputd(h, &nm, 0, &t, 0, 0, 0);
    nm.name_p = "surv";
    xvputd(h, &nm, 0, &s, 0, 0, 0);
    xvpute(h);
    std::mt19937 rng(7);
    for (int i = 0; i < rows; ++i) {
        t = i * 0.25;
        s = static_cast<double>(rng()) / 4294967296.0;
        xyvput(h, nullptr);
    }
    vyr_data_step_end(true);
    testing::internal::GetCapturedStderr();
}

uint64_t digest_of(const std::string& bytes)
{
    return vyr::data::digest_bytes(bytes.data(), bytes.size());
}

} // namespace

TEST(CsvDigest, TheReaderGetsTheWritersDigestHoweverTheFileIsSplit)
{
    TempDir dir;
    // Several blocks, and more than one of the writer's buffers.
    write_data_set(dir.file("d.csv"), 120000);
    const std::string csv = dir.read("d.csv");
    ASSERT_GT(csv.size(), 3 * vyr::data::kDigestBlock);
    vyr::data::Sidecar side;
    std::string why;
    const vyr::HeldRef in = vyr::hold_folder(dir.path(), false, why);
    ASSERT_NE(in, nullptr) << why;
    ASSERT_TRUE(vyr::data::read_sidecar(*in, "d.attr", dir.file("d.attr"), side));
    ASSERT_TRUE(side.namesCsv) << dir.read("d.attr");
    EXPECT_EQ(side.csvSize, static_cast<long long>(csv.size()));
    EXPECT_EQ(side.csvDigest, digest_of(csv));
    for (int windows : {1, 2, 3, 8, 13}) {
        Windows split(windows);
        vyr::data::Table t;
        ASSERT_TRUE(vyr::data::load_csv(dir.file("d.csv"), side, t));
        EXPECT_TRUE(t.digested) << windows;
        EXPECT_EQ(t.digest, side.csvDigest) << windows << " windows";
    }
    // Fed in pieces of any size, the digest is the same.
    std::mt19937 rng(3);
    vyr::data::DigestStream stream;
    for (size_t at = 0; at < csv.size();) {
        const size_t n = std::min<size_t>(rng() % 200000, csv.size() - at);
        stream.update(csv.data() + at, n);
        at += n;
    }
    EXPECT_EQ(stream.finish(), side.csvDigest);
}

TEST(CsvDigest, AOneByteChangeATruncationOrBlocksSwappedChangeIt)
{
    const size_t B = vyr::data::kDigestBlock;
    // Three blocks and a short one, whose length is no multiple of a word.
    std::string bytes(3 * B + 13, '\0');
    std::mt19937 rng(5);
    for (char& c : bytes)
        c = static_cast<char>('0' + rng() % 10);
    const uint64_t d = digest_of(bytes);
    for (size_t at : {size_t(0), B + 17, 3 * B - 1, 3 * B + 12}) {
        std::string changed = bytes;
        changed[at] = changed[at] == '0' ? '1' : '0';
        EXPECT_NE(digest_of(changed), d) << at;
    }
    EXPECT_NE(digest_of(bytes.substr(0, bytes.size() - 1)), d);
    EXPECT_NE(digest_of(bytes.substr(0, 2 * B)), d);
    EXPECT_NE(digest_of(bytes.substr(B, B) + bytes.substr(0, B) + bytes.substr(2 * B)), d);
    // A file of zero bytes and one of blocks of zeros differ too.
    EXPECT_NE(digest_of(std::string(B, '\0')), digest_of(std::string()));
}

// A later look at a data set's file whose stamp moved: the file is the one
// read while its owner, size and bytes are (its time moved, as some file
// systems move it when a file is read); the same size with one byte other
// is not. The file is longer than one read of it.
TEST(CsvDigest, AFileWhoseStampMovedIsTheOneReadByItsBytes)
{
    TempDir dir;
    std::string csv = "a\n";
    while (csv.size() < (size_t(3) << 20))
        csv += std::to_string(csv.size()) + "\n";
    const std::string p = dir.write("m.csv", csv);
    vyr::data::Table t;
    t.digested = true;
    t.digest = vyr::data::digest_bytes(csv.data(), csv.size());
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    t.settled = vyr::data::stamp_of(st);
    const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    std::string why;
    const vyr::HeldRef in = vyr::hold_folder(dir.path(), false, why);
    ASSERT_NE(in, nullptr) << why;
    vyr::data::FileStamp seen;
    EXPECT_TRUE(vyr::data::same_bytes_now(p, *in, false, t, seen));
    EXPECT_EQ(seen.timeNs, 1000000000LL * 1000000000LL);
    csv[csv.size() / 2] = csv[csv.size() / 2] == '1' ? '2' : '1';
    dir.write("m.csv", csv);
    EXPECT_FALSE(vyr::data::same_bytes_now(p, *in, false, t, seen));
}

TEST(CsvDigest, APairSplitAsByAKillIsReadWithAWarning)
{
    // A new attribute file beside the CSV file it was to replace, as a run
    // killed between its renames leaves them, read by a run that holds the
    // folder's lock (so no writer is placing): a warning naming the data set.
    TempDir dir;
    write_data_set(dir.file("d.csv"), 50);
    const std::string attr = dir.read("d.attr");
    write_data_set(dir.file("d.csv"), 40);
    dir.write("d.attr", attr);
    std::string log;
    ASSERT_NE(vyrtest::open_input(dir.file("d.csv"), &log), nullptr);
    EXPECT_NE(
        log.find("WARNING: The files of data set " + dir.file("d.csv") + " do not belong together"),
        std::string::npos)
        << log;
    vyr_data_step_end(true);
    // A whole pair reads without a word.
    write_data_set(dir.file("d.csv"), 50);
    ASSERT_NE(vyrtest::open_input(dir.file("d.csv"), &log), nullptr);
    EXPECT_EQ(log, "");
    vyr_data_step_end(true);
}
