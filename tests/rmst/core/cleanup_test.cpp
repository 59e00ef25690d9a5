// The end of a BY group's restricted means, however the analyses ended: an
// output group a failed stage left open is closed, so that later output
// does not land inside it; the work files are closed; the analyses' return
// code reaches the step's.
#include <gtest/gtest.h>

#include "host/output/layer.h"
#include "rmst/rmst.h"
#include "runtime/procstr.h"
#include "support/wob_setup.h"
#include "vyr_files.h"

TEST(CleanUp, ClosesWhatAFailedStageLeftOpen)
{
    vdq::takeCurrentStep();
    KORVCOM q{};
    q.vdq = wobtest::manager();
    q.rc = 4;
    auto* us = static_cast<ZRMSUSERSTR*>(vmalcp_handler(xlongpool(), sizeof(ZRMSUSERSTR), 0x3006));
    ASSERT_NE(us, nullptr);
    q.rms = us;
    us->kq = &q;
    us->pool = xmpoolc(0, 1024, 6);
    us->q = static_cast<ZRMSMANAGER*>(rmsAlloc(us, sizeof(ZRMSMANAGER)));
    us->q->pool = us->pool;
    ZRMSVDQ zog{};
    zog.vdq = q.vdq;
    us->q->zog = &zog;
    const int files = xcopenfiles();
    ASSERT_GE(xcopen(&us->q->utfile, nullptr), 0);
    ASSERT_GE(xcopen(&us->q->filesort, nullptr), 0);
    // A stage failed inside "RMST Analysis", with an error.
    us->group = zrmstblMakeGroup(&zog, "RMST Analysis", 0, vdqtxt("RMST", 4));
    rmsRaise(us, 120);

    CleanUp(&q);
    EXPECT_EQ(q.rms, nullptr);
    EXPECT_EQ(q.rc, 120);
    EXPECT_EQ(xcopenfiles(), files);
    // What comes next is beside the group, not in it.
    zrmstblMakeGroup(&zog, "Next", 0, vdqtxt("Next", 4));
    vdq::StepDoc doc = vdq::takeCurrentStep();
    ASSERT_EQ(doc.items.size(), 2u);
    EXPECT_EQ(doc.items[0]->name, "RMST Analysis");
    EXPECT_EQ(doc.items[1]->name, "Next");
    EXPECT_TRUE(doc.items[0]->items.empty());
    // Nothing to clean: nothing happens.
    CleanUp(&q);
    EXPECT_EQ(q.rc, 120);
}
