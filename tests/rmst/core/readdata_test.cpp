// The observations the restricted means read: those the survival data pass
// of the same BY group uses. A time or a frequency that is infinite or not a
// number (values the host's readers never hand over from a file, put here
// into the data set as it is held) leaves the record out; a frequency of 0
// keeps it, adding nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "host/data/data_internal.h"
#include "rmst/rmst.h"
#include "support/levelize_harness.h"
#include "support/step_probe.h"
#include "vyr_files.h"
#include "vyr_kernel.h"

TEST(ReadData, LeavesOutTheRecordsTheDataPassLeavesOut)
{
    lev::Folder dir;
    const std::string path =
        dir.write("r.csv", "t,s,f\n1,1,1\n2,0,1\n3,1,1\n4,1,1\n5,0,0\n6,1,2\n");
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    step_probe::run([&] {
        Exported_QXHandle = vyr_kernel_handle();
        DSHANDLE* ds = lev::open(path);
        ASSERT_NE(ds, nullptr);
        ASSERT_EQ(xbynext(ds), 1);
        vyr::data::Table& t = ds->table;
        t.cols[2].num[1] = inf; // a frequency
        t.cols[0].num[2] = inf; // a time
        t.cols[2].num[3] = nan;
        KORVCOM kq{};
        double censored = 0;
        kq.zevent = 1;
        kq.evnum = 1;
        kq.elist = &censored;
        ZRMSUSERSTR us{};
        us.kq = &kq;
        us.filein = ds;
        us.timenum = xvfind(ds, "t");
        us.censnum = xvfind(ds, "s");
        us.freqnum = xvfind(ds, "f");
        us.nf = 1;
        us.pool = xmpoolc(0, 1024, 6);
        us.q = static_cast<ZRMSMANAGER*>(rmsAlloc(&us, sizeof(ZRMSMANAGER)));
        ASSERT_NE(us.q, nullptr);
        us.q->pool = us.pool;
        ASSERT_EQ(ReadPrepare(&us), ZRMS_NOPROBLEM);
        ASSERT_EQ(ReadData(&us), ZRMS_NOPROBLEM);
        // Kept: times 1 (event), 5 (frequency 0) and 6 (two events).
        EXPECT_EQ(us.q->np, 3);
        EXPECT_EQ(us.q->nevent, 3);
        EXPECT_EQ(us.q->ncensor, 0);
        EXPECT_EQ(us.q->sumff, 3);
        xcclose(us.q->utfile);
        xmpoold(us.pool);
    });
}
