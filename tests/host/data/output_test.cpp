// Output data sets: definitions bound to addresses and record offsets,
// copies of input variables, rows read back, the sidecar, and the commit or
// drop at step end.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "data_test_util.h"
#include "runtime/missing.h"
#include "runtime/zsort.h"
#include "vyr_atomic_file.h"
#include "vyr_data.h"

using vyrtest::TempDir;

namespace
{

DSHANDLE* open_output(const std::string& path)
{
    DSHANDLE* ds = nullptr;
    EXPECT_EQ(vyr_dsopen_path(path, VYR_DS_OUTPUT, &ds), 0);
    return ds;
}

void set_name(NAMESTR& nm, const char* name, const char* label = "")
{
    nm.name_p = name;
    nm.namelen = static_cast<short>(std::strlen(name));
    nm.label_p = label;
    nm.nlablen = static_cast<short>(std::strlen(label));
}

// Opens an output data set at path with one numeric variable bound to *v and
// writes one row; the step's end is left to the caller.
void write_one_value(const std::string& path, const char* name, double* v)
{
    DSHANDLE* out = open_output(path);
    XVHANDLE* h = nullptr;
    xvputi(out, 1, 32, &h);
    NAMESTR nm;
    set_name(nm, name);
    xvputd(h, &nm, 0, v, 0, 0, 0);
    xvpute(h);
    xyvput(h, nullptr);
}

TEST(OutputDataSet, RowsWrittenAndReadBack)
{
    TempDir dir;
    std::string in = dir.write("in.csv", "grp,time\nA,1\nA,2\nB,3\n");
    dir.write("in.attr", "variable grp label=\"Group\" length=4\n");
    DSHANDLE* input = vyrtest::open_input(in);
    ASSERT_NE(input, nullptr);
    int byvar = 1;
    ASSERT_EQ(xbyset(input, &byvar, nullptr, 1, false), 0);

    testing::internal::CaptureStderr();
    DSHANDLE* out = open_output(dir.file("out.csv"));
    ASSERT_NE(out, nullptr);
    XVHANDLE* h = nullptr;
    ASSERT_EQ(xvputi(out, 10, 32, &h), 0);
    short lab[20];
    const char* dslabel = "Estimates";
    lab[0] = 9;
    std::memcpy(&lab[1], dslabel, 9);
    EXPECT_EQ(xoinfo(out, 22, lab), 0);
    int list[1] = {-1};
    EXPECT_EQ(zvputcv(h, input, list, 1, nullptr), 0); // BY variable copy
    NAMESTR nm;
    xvnamei(&nm);
    double surv = 0;
    char label[256];
    std::strcpy(label, "Survival, \"estimate\"");
    set_name(nm, "SURVIVAL", label);
    ASSERT_EQ(xvputd(h, &nm, 0, &surv, 0, 0, 0), 0);
    std::strcpy(label, "reused buffer"); // the definition kept its own copy
    nm.ntype = 2;
    nm.nlng = 0;
    nm.user_lng = 8;
    set_name(nm, "CONFTYPE");
    ASSERT_EQ(xvputd(h, &nm, 0, nullptr, 0, 0, 0), 0); // offset 0 of the row record
    nm.ntype = 1;
    nm.nlng = 8;
    nm.user_lng = 0;
    set_name(nm, "LCL");
    ASSERT_EQ(xvputd(h, &nm, 8, nullptr, 0, 0, 0), 0);
    set_name(nm, "lcl");
    EXPECT_LT(xvputd(h, &nm, 8, nullptr, 0, 0, 0), 0); // duplicate name refused
    ASSERT_EQ(xvpute(h), 0);

    struct {
        char conftype[8];
        double lcl;
    } row;
    while (xbynext(input)) {
        xbyrwnd(input, 66);
        while (xybyget(input) == 0) {
        }
        std::memcpy(row.conftype, "LOG-LOG ", 8);
        surv = 0.123456789012345678;
        row.lcl = korv_special_missing(0xFD);
        ASSERT_EQ(xyvput(h, &row), 0);
        XO_PARMS parms;
        parms.ds = out;
        ASSERT_EQ(xoadd(&parms), 0);
        std::memcpy(row.conftype, "        ", 8);
        surv = -2.5e-300;
        row.lcl = korv_missing();
        ASSERT_EQ(xyvput(h, &row), 0);
    }
    // Nothing under the real name until the step ends.
    EXPECT_FALSE(dir.exists("out.csv"));
    vyr_data_step_end(true);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("4 observations and 4 variables"), std::string::npos) << log;

    EXPECT_EQ(dir.read("out.csv"), "grp,SURVIVAL,CONFTYPE,LCL\n"
                                   "A,0.12345678901234568,LOG-LOG,.A\n"
                                   "A,-2.5e-300,,.\n"
                                   "B,0.12345678901234568,LOG-LOG,.A\n"
                                   "B,-2.5e-300,,.\n");
    // Read back: values, types, lengths and labels survive.
    DSHANDLE* back = vyrtest::open_input(dir.file("out.csv"));
    ASSERT_NE(back, nullptr);
    auto cols = vyr::data::columns(back);
    ASSERT_EQ(cols.size(), 4u);
    EXPECT_EQ(cols[0].label, "Group");
    EXPECT_EQ(cols[0].length, 4);
    EXPECT_EQ(cols[1].label, "Survival, \"estimate\"");
    EXPECT_FALSE(cols[2].numeric);
    EXPECT_EQ(cols[2].length, 8);
    EXPECT_EQ(vyr::data::number(back, 1, 2), 0.123456789012345678);
    EXPECT_EQ(vyr::data::number(back, 2, 2), -2.5e-300);
    EXPECT_EQ(korv_missing_byte5(vyr::data::number(back, 1, 4)), 0xFD);
    char info[420];
    xoinfo(back, 1, info);
    EXPECT_EQ(std::string(info + 160, 9), "Estimates");
    vyr_data_step_end(true);
}

TEST(OutputDataSet, FailedStepLeavesTheOldFileAlone)
{
    TempDir dir;
    dir.write("keep.csv", "old\n1\n");
    testing::internal::CaptureStderr();
    double v = 1;
    write_one_value(dir.file("keep.csv"), "new", &v);
    vyr_data_step_end(false);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("was not replaced"), std::string::npos) << log;
    EXPECT_EQ(dir.read("keep.csv"), "old\n1\n");
    // No temporary file is left behind.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

// A negative zero (an estimate such as -0 * x) is written as 0: "-0" in a
// data set reads back as a different text from the same value elsewhere.
// Values next to zero keep their sign.
TEST(OutputDataSet, NegativeZeroIsWrittenAsZero)
{
    TempDir dir;
    testing::internal::CaptureStderr();
    double v = -0.0;
    write_one_value(dir.file("z.csv"), "x", &v);
    vyr_data_step_end(true);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(dir.read("z.csv"), "x\n0\n");
    testing::internal::CaptureStderr();
    v = -4.9e-324;
    write_one_value(dir.file("t.csv"), "x", &v);
    vyr_data_step_end(true);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(dir.read("t.csv"), "x\n-5e-324\n");
}

TEST(OutputDataSet, WriteFailureDropsTheDataSet)
{
    TempDir dir;
    testing::internal::CaptureStderr();
    DSHANDLE* out = open_output(dir.file("w.csv"));
    XVHANDLE* h = nullptr;
    xvputi(out, 1, 32, &h);
    NAMESTR nm;
    double v = 1;
    set_name(nm, "x");
    xvputd(h, &nm, 0, &v, 0, 0, 0);
    xvpute(h);
    xyvput(h, nullptr);
    xofprc(out, -5, 4); // the writer reports a failed row
    xofprc(out, -5, 4); // reported once
    vyr_data_step_end(true);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(dir.exists("w.csv"));
    size_t first = log.find("Writing data set");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("Writing data set", first + 1), std::string::npos) << log;
}

// A write that fails while a large data set is being written (a full disk
// here; also a file too large for `ulimit -f`) is said in words, once.
TEST(OutputDataSet, AFailedWriteIsSaidInWords)
{
    TempDir dir;
    testing::internal::CaptureStderr();
    DSHANDLE* out = open_output(dir.file("big.csv"));
    XVHANDLE* h = nullptr;
    xvputi(out, 1, 32, &h);
    NAMESTR nm;
    double v = 0.123456789012345;
    set_name(nm, "x");
    xvputd(h, &nm, 0, &v, 0, 0, 0);
    xvpute(h);
    setenv("KORV_FAIL_WRITE", "1", 1);
    vyr::reset_write_failure_hook();
    int rc = 0;
    for (int i = 0; i < 200000 && rc == 0; ++i)
        rc = xyvput(h, nullptr);
    EXPECT_LT(rc, 0);
    xofprc(out, rc, 4);
    xofprc(out, rc, 4);
    unsetenv("KORV_FAIL_WRITE");
    vyr::reset_write_failure_hook();
    vyr_data_step_end(true);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(dir.exists("big.csv"));
    const std::string said = std::string("ERROR: Writing data set ") + dir.file("big.csv") +
                             " failed: " + std::strerror(ENOSPC) + "; it will not be kept.";
    const size_t first = log.find(said);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(std::strerror(ENOSPC), first + said.size()), std::string::npos) << log;
    EXPECT_EQ(log.find("status"), std::string::npos) << log;
}

TEST(OutputDataSet, CopyMarksVariablesOnlyWhenAsked)
{
    TempDir dir;
    std::string in = dir.write("c.csv", "a,b,c,d\n1,2,3,4\n");
    DSHANDLE* input = vyrtest::open_input(in);
    ASSERT_NE(input, nullptr);
    DSHANDLE* out = open_output(dir.file("c2.csv"));
    XVHANDLE* h = nullptr;
    xvputi(out, 4, 32, &h);
    int list[2] = {-3, 4};
    int ov[2] = {0, 0};
    EXPECT_EQ(zvputcv(h, input, list, 2, ov), 0);
    EXPECT_EQ(ov[0], 1);
    EXPECT_EQ(ov[1], 2);
    // Item 128 answers 0 here: plain copies, descriptors untouched.
    EXPECT_EQ(xvname(input, 3)->ntattr & 0x400, 0);
    auto cols = vyr::data::columns(out);
    ASSERT_EQ(cols.size(), 2u);
    EXPECT_EQ(cols[0].name, "c");
    EXPECT_EQ(cols[1].name, "d");
    testing::internal::CaptureStderr();
    vyr_data_step_end(true);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(dir.read("c2.csv"), "c,d\n");
}

} // namespace

namespace
{

TEST(OutputDataSet, NothingDefinedWritesNoFile)
{
    TempDir dir;
    testing::internal::CaptureStderr();
    ASSERT_NE(open_output(dir.file("empty.csv")), nullptr);
    vyr_data_step_end(true);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("no variables were defined"), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    // A missing library folder is refused when the data set is opened.
    testing::internal::CaptureStderr();
    DSHANDLE* ds = nullptr;
    EXPECT_LT(vyr_dsopen("nolib.x", VYR_DS_OUTPUT, false, &ds), 0);
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("NOLIB"), std::string::npos) << log;
    testing::internal::CaptureStderr();
    EXPECT_LT(vyr_dsopen("1bad", VYR_DS_INPUT, false, &ds), 0);
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("not a valid data set name"), std::string::npos) << log;
    EXPECT_EQ(ds, nullptr);
}

} // namespace

// A data set written through a symbolic link goes to the file the link names;
// the link itself stays a link (renaming the finished file over it would
// replace it).
TEST(OutputDataSet, SymbolicLinkIsWrittenThroughNotReplaced)
{
    TempDir dir;
    dir.write("real.csv", "old\n1\n");
    std::filesystem::create_symlink(dir.file("real.csv"), dir.file("link.csv"));
    testing::internal::CaptureStderr();
    double v = 7;
    write_one_value(dir.file("link.csv"), "fresh", &v);
    vyr_data_step_end(true);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.csv")));
    EXPECT_EQ(dir.read("real.csv"), "fresh\n7\n");
}
