// The device plots drawn from plot-point records written here by hand, on
// the recording canvas: which points a curve keeps (the guard of 1e-10, a
// survival of 0 on the log plots, the first point past the time axis), the
// life table's hazard at the intervals' midpoints, and a plot kind with no
// point at all, which is named and not drawn. Also the release of the task's
// graphics notes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/options.h"
#include "common/stages.h"
#include "common/strata.h"
#include "devplot/zggraf.h"
#include "host/graphics/canvas.h"
#include "host/output/layer.h"
#include "host/session/session_state.h"
#include "runtime/wobmth.h"
#include "vyr_gkernel.h"
#include "vyr_missing.h"

namespace fs = std::filesystem;
using vgr::RecordingCanvas;

namespace
{

struct Fixture {
    KORVCOM q{};
    HRPLOTSTR hr{};
    std::vector<STRATA> nodes;
    char timename[5] = "time";
    RecordingCanvas rec{640, 480};
    std::string listing, log;
    fs::path dir;
    explicit Fixture(int n) : nodes(static_cast<size_t>(n))
    {
        vdq::takeCurrentStep();
        vyr_gk_reset();
        vyr::print_capture(&listing, &log);
        dir = fs::temp_directory_path() / ("korv_devrec_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        vyr_assign_library("DEVREC", dir.string());
        xobinit(&q.cls, 0);
        WOB_PARM_BLK_STR pb[] = {wob_string(WOB_TAG_PACKAGE, "vdq", 3),
                                 wob_string(WOB_TAG_CLASS, "manager", 7),
                                 wob_object(WOB_TAG_OUT, nullptr)};
        wobmth(q.cls, nullptr, WOB_SEL_CREATE, 3, pb);
        q.vdq = pb[2].value.o;
        XCREQUEST req;
        xcopen(&q.utid1, &req);
        q.timename.s = timename;
        q.timename.l = 4;
        q.nstrata = n;
        q.zplot = 1;
        q.tmin = 1e300;
        std::memcpy(q.EvtSymbol, "NONE    ", 8);
        std::memcpy(q.CenSymbol, "CIRCLE  ", 8);
        std::memcpy(q.CenColor, "12345678", 8);
        std::memcpy(hr.libname, "DEVREC  ", 8);
        std::memcpy(hr.memname, "GSEG", 4);
        hr.memnamelen = 4;
        q.graphics = &hr;
        for (int i = 0; i < n; ++i)
            nodes[static_cast<size_t>(i)].left =
                i + 1 < n ? &nodes[static_cast<size_t>(i) + 1] : nullptr;
        q.strata = nodes.data();
        vyr_gk_observe(&rec);
    }
    ~Fixture()
    {
        vyr_gk_observe(nullptr);
        if (hr.ggrafs)
            zggrend(&hr.ggrafs);
        xcclose(q.utid1);
        vdq::takeCurrentStep();
        vyr_gk_reset();
        vyr::print_capture(nullptr, nullptr);
        fs::remove_all(dir);
    }
    // A product-limit record: (survival, time) pairs, padded to nobs + 1.
    void pairs(int k, const std::vector<double>& p, int64_t fail, int64_t nobs)
    {
        STRATA& s = nodes[static_cast<size_t>(k)];
        std::vector<double> rec = p;
        rec.resize(static_cast<size_t>(2 * (nobs + 1)), 0.0);
        xcnoted(q.utid1, &s.plotnote);
        xcwrite(q.utid1, rec.data(), static_cast<long>(rec.size() * sizeof(double)));
        s.fail = fail;
        s.nobs = nobs;
        q.maxnobs = std::max<int64_t>(q.maxnobs, nobs);
    }
    void rows(int k, const std::vector<double>& r, int64_t fail)
    {
        STRATA& s = nodes[static_cast<size_t>(k)];
        xcnoted(q.utid1, &s.plotnote);
        xcwrite(q.utid1, r.data(), static_cast<long>(r.size() * sizeof(double)));
        s.fail = fail;
    }
    // The curves drawn in the data area, as data values of the last graph.
    std::vector<std::vector<std::pair<double, double>>> curves() const
    {
        const GINFSTR* gi = hr.ggrafs->ginf;
        const APRMSTR& h = gi->axparm[1];
        const APRMSTR& v = gi->axparm[0];
        std::vector<std::vector<std::pair<double, double>>> out;
        for (const auto& it : rec.items) {
            if (it.cls != "curve" || !it.in("data"))
                continue;
            std::vector<std::pair<double, double>> c;
            for (const auto& cmd : it.cmds) {
                const double xp = cmd.p.x * 100 / 640, yp = (480 - cmd.p.y) * 100 / 480;
                c.emplace_back((xp - h.btrans) / h.atrans, (yp - v.btrans) / v.atrans);
            }
            out.push_back(c);
        }
        return out;
    }
};

} // namespace

TEST(DeviceRecords, TheSurvivalCurveKeepsValuesWithinItsGuard)
{
    Fixture f(1);
    KORVCOM& q = f.q;
    q.zsurvival = 1;
    q.pgtmax = 5;
    // 1 + 0.5e-10 passes the guard of 1e-10; 1 + 2e-10 does not.
    f.pairs(0, {1, 0, 1 + 0.5e-10, 1, 0.8, 2, 1 + 2e-10, 3}, 4, 4);
    ASSERT_EQ(korvgp1(&q), 0) << f.log;
    const auto c = f.curves();
    ASSERT_EQ(c.size(), 1u);
    // (0, 1), (1, 1), (2, 0.8) as a staircase: five points.
    ASSERT_EQ(c[0].size(), 5u);
    EXPECT_NEAR(c[0][2].first, 1, 1e-6);
    EXPECT_NEAR(c[0][4].first, 2, 1e-6);
    EXPECT_NEAR(c[0][4].second, 0.8, 1e-6);
}

TEST(DeviceRecords, ZeroSurvivalLeavesTheLogPlots)
{
    Fixture f(1);
    KORVCOM& q = f.q;
    q.zlsur = 1;
    q.pgtmax = 4;
    q.smin = 0.5;
    f.pairs(0, {1, 0, 0.5, 1, 0, 3}, 3, 3);
    ASSERT_EQ(korvgp1(&q), 0) << f.log;
    const auto c = f.curves();
    ASSERT_EQ(c.size(), 1u);
    ASSERT_EQ(c[0].size(), 2u); // S = 0 has no -log S: the point is left out
    EXPECT_NEAR(c[0][1].second, std::log(2.0), 1e-6);
}

TEST(DeviceRecords, LifeTableCurvesStopPastTheAxisAndHazardsSitAtMidpoints)
{
    // One plot kind at a time, so that the curves map back through their
    // own graph's axes.
    auto lifeTable = [](char KORVCOM::*flag, std::string& log) {
        auto f = std::make_unique<Fixture>(1);
        KORVCOM& q = f->q;
        q.method = 1;
        q.*flag = 1;
        static double interval[] = {0, 10, 12, 30};
        q.interval = interval;
        q.ninter = 4;
        q.pgtmax = 15;
        q.tmin = 10;
        q.smin = 0.4;
        q.smax = 0.9;
        q.hazmax = 0.05;
        // One row of four intervals: the survival, or the hazard.
        if (flag == &KORVCOM::zhazard)
            f->rows(0, {0.01, 0.03, 0.05, 0.02}, 4);
        else
            f->rows(0, {1, 0.9, 0.6, 0.4}, 4);
        EXPECT_EQ(korvgp1(&q), 0) << f->log;
        log = f->log;
        return f;
    };
    std::string log;
    // The survival keeps the first point past the axis's end (30) and stops.
    auto s = lifeTable(&KORVCOM::zsurvival, log);
    auto c = s->curves();
    ASSERT_EQ(c.size(), 1u);
    ASSERT_EQ(c[0].size(), 4u);
    EXPECT_NEAR(c[0][3].first, 30, 1e-6);
    s.reset();
    // The log(-log) curve keeps only the times within ln 10 .. ln 15.
    auto ll = lifeTable(&KORVCOM::zllsur, log);
    c = ll->curves();
    ASSERT_EQ(c.size(), 1u);
    ASSERT_EQ(c[0].size(), 2u);
    EXPECT_NEAR(c[0][0].first, std::log(10.0), 1e-6);
    EXPECT_NEAR(c[0][1].first, std::log(12.0), 1e-6);
    EXPECT_NEAR(c[0][1].second, std::log(-std::log(0.6)), 1e-6);
    ll.reset();
    // The hazard at the midpoints 5, 11, 21, stopping after 21 (past 15).
    auto h = lifeTable(&KORVCOM::zhazard, log);
    c = h->curves();
    ASSERT_EQ(c.size(), 1u);
    ASSERT_EQ(c[0].size(), 3u);
    EXPECT_NEAR(c[0][0].first, 5, 1e-6);
    EXPECT_NEAR(c[0][0].second, 0.01, 1e-6);
    EXPECT_NEAR(c[0][2].first, 21, 1e-6);
    EXPECT_EQ(log.find("not drawn"), std::string::npos) << log;
}

TEST(DeviceRecords, APlotKindWithoutPointsIsNamedAndNotDrawn)
{
    Fixture f(1);
    KORVCOM& q = f.q;
    q.zllsur = 1;
    q.pgtmax = 4;
    q.smin = 1; // no survival below 1: the vertical range stays unset
    q.smax = 0;
    f.pairs(0, {1, 0, 1, 2}, 2, 2);
    ASSERT_EQ(korvgp1(&q), 0);
    EXPECT_NE(f.log.find("The LOGLOGS device plot is not drawn"), std::string::npos) << f.log;
    EXPECT_TRUE(vyr_gk_entries().empty());
}

TEST(DeviceRecords, AStratumWithoutItsRecordIsLeftOutWithAWarning)
{
    Fixture f(2);
    KORVCOM& q = f.q;
    q.zsurvival = 1;
    q.pgtmax = 5;
    f.pairs(0, {1, 0, 0.5, 2}, 2, 2);
    f.nodes[1].fail = 3; // points said to exist but never written
    f.nodes[1].nobs = 3;
    q.maxnobs = 3;
    ASSERT_EQ(korvgp1(&q), 0);
    EXPECT_NE(f.log.find("leave out the curve of stratum 2"), std::string::npos) << f.log;
    EXPECT_EQ(f.curves().size(), 1u);
}

namespace
{

// A pool that remembers what is freed.
struct CountingPool : POOLHANDLE {
    std::set<void*> freed;
    static void* alloc(POOLHANDLE*, int64_t n, int64_t)
    {
        return std::calloc(1, static_cast<size_t>(n));
    }
    static void release(POOLHANDLE* p, void* a, int64_t, int64_t)
    {
        static_cast<CountingPool*>(p)->freed.insert(a);
        std::free(a);
    }
    CountingPool()
    {
        allocate = alloc;
        free = release;
    }
};

} // namespace

TEST(GraphicsNotes, EveryNoteAndTheTextsItOwnsAreFreed)
{
    GGCBTF* tf = ggcbtf(xtanch());
    ASSERT_NE(tf, nullptr);
    CountingPool pool;
    tf->pool = &pool;
    // An empty chain frees nothing.
    gpspnot();
    EXPECT_TRUE(pool.freed.empty());
    // One note whose command list holds an "M" entry (88 bytes) and then an
    // "F" entry (64 bytes) that owns a text.
    auto* note = static_cast<TFNOTE*>(pool.allocate(&pool, sizeof(TFNOTE), 0));
    note->text = static_cast<char*>(pool.allocate(&pool, 8, 0));
    note->grlen = 88 + 64;
    note->grinf = static_cast<char*>(pool.allocate(&pool, note->grlen, 0));
    note->grinf[0] = 'M';
    note->grinf[88] = 'F';
    char* owned = static_cast<char*>(pool.allocate(&pool, 16, 0));
    std::memcpy(note->grinf + 88 + 8, &owned, sizeof owned);
    void* text = note->text;
    void* grinf = note->grinf;
    tf->notes = note;
    gpspnot();
    EXPECT_EQ(tf->notes, nullptr);
    EXPECT_EQ(pool.freed, (std::set<void*>{note, text, grinf, owned}));
    tf->pool = nullptr;
}
