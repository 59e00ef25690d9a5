// Character-plot axes: automatic tick labels, the spacing of labels an axis
// is given, and the statuses of cut labels and relaid axes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/session/session_state.h"
#include "runtime/pgraf.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_missing.h"

namespace
{

// The labels zpgrfmt makes for a scale, trimmed.
std::vector<std::string> labels(double xmin, double xmax, double inc, int ntic)
{
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
    PGRAFSTR g;
    g.datapool = pool;
    SCALESTR s;
    s.xmin = xmin;
    s.xmax = xmax;
    s.inc = inc;
    s.ntic = ntic;
    std::vector<std::string> out;
    if (zpgrfmt(&g, 1, nullptr, &s) == 0) {
        const PGRAF_VHSTR& d = g.pgrafd[1];
        for (int i = 0; i < d.valcnt; ++i) {
            std::string t(d.lbllst + static_cast<std::ptrdiff_t>(i) * d.lbllen,
                          static_cast<size_t>(d.lbllen));
            t.erase(0, t.find_first_not_of(' '));
            t.erase(t.find_last_not_of(' ') + 1);
            out.push_back(t);
        }
    }
    xmpoold(pool);
    return out;
}

using L = std::vector<std::string>;

} // namespace

TEST(Axes, AutomaticLabelsShareTheirDecimals)
{
    EXPECT_EQ(labels(0, 1, 0.25, 4), (L{"0.00", "0.25", "0.50", "0.75", "1.00"}));
    EXPECT_EQ(labels(0, 1, 0.2, 5), (L{"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}));
    EXPECT_EQ(labels(0, 160, 40, 4), (L{"0", "40", "80", "120", "160"}));
    EXPECT_EQ(labels(-1, 1, 0.5, 4), (L{"-1.0", "-0.5", "0.0", "0.5", "1.0"}));
    EXPECT_EQ(labels(2.5, 10, 2.5, 3), (L{"2.5", "5.0", "7.5", "10.0"}));
    // Around 0.00001 the labels read as numbers, never "1E-5"; with equal
    // decimals two would read alike, so each keeps its own.
    EXPECT_EQ(labels(0, 0.00004, 0.00001, 4), (L{"0", "0.00001", "0.00002", "0.00003", "0.00004"}));
}

TEST(Axes, CutStandingLabelsAreAPositiveStatus)
{
    // Ten labels of 20 characters on a time axis: too wide to stand side by
    // side, too long for the one row under the axis. They are cut, and the
    // axis says so with status 3; the canvas stays usable.
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
    PGRAFSTR g;
    g.datapool = pool;
    g.pgrafd[0].totpos = 20;
    NAMESTR vn, hn;
    xvnamei(&vn);
    xvnamei(&hn);
    SCALESTR vs;
    vs.xmax = 1;
    ASSERT_EQ(zpgrini(&g, &hn, nullptr, &vn, &vs), 0);
    char text[200];
    for (int i = 0; i < 10; ++i)
        std::memcpy(text + 20 * i, "ABCDEFGHIJKLMNOPQRST", 20);
    PGRAF_VHSTR& h = g.pgrafd[1];
    h.vallst.c = text;
    h.valcnt = 10;
    h.lbllen = 20;
    EXPECT_EQ(zpgraxi(&g, 1, &hn, nullptr, 0), 3);
    EXPECT_GT(h.plotpos, 0);
    ASSERT_NE(g.zerozero, nullptr);
    // The first character of each label stands under its tick.
    const int w = h.totpos;
    EXPECT_EQ(g.zerozero[2 * w + h.valplc[0]], 'A');
    xmpoold(pool);
}

TEST(Axes, CallersLabelsAreSpacedOverTheAxis)
{
    struct Case {
        int plotpos, n, lblpos, expectLblpos, expectCount, expectStatus;
    };
    const Case cases[] = {
        {10, 1, 0, 1, 1, 0},                        // one label
        {10, 2, 0, 7, 2, 0},                        // two: two thirds apart
        {27, 27, 0, 1, 27, 0},                      // a row per label (the censored plot's strata)
        {30, 4, 0, 7, 4, 0},   {10, 4, 5, 3, 4, 2}, // a spacing that is too wide is narrowed
        {5, 8, 1, 1, 5, 1},                         // labels that do not fit are dropped
    };
    for (const Case& c : cases) {
        POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
        std::vector<char> buf(static_cast<size_t>(40 * 40), ' ');
        PGRAFSTR g;
        g.work = buf.data();
        g.length = 40 * 40;
        g.datapool = pool;
        std::memcpy(g.formchar, "|----|+|---+", 12);
        g.pgrafd[1].totpos = 40;
        g.pgrafd[1].prepos = 6;
        PGRAF_VHSTR& v = g.pgrafd[0];
        v.totpos = 40;
        v.prepos = 1;
        v.plotpos = c.plotpos;
        std::string letters(static_cast<size_t>(c.n), 'A');
        v.vallst.c = letters.data();
        v.valcnt = c.n;
        v.lbllen = 1;
        v.lblpos = c.lblpos;
        EXPECT_EQ(zpgraxi(&g, 0, nullptr, nullptr, 0), c.expectStatus) << c.plotpos << "/" << c.n;
        EXPECT_EQ(v.lblpos, c.expectLblpos) << c.plotpos << "/" << c.n;
        EXPECT_EQ(v.valcnt, c.expectCount) << c.plotpos << "/" << c.n;
        xmpoold(pool);
    }
}

TEST(Axes, AnAxisWithoutPositionsIsLeftAlone)
{
    PGRAFSTR g;
    g.pgrafd[0].totpos = 3;
    g.pgrafd[0].plotpos = -1;
    EXPECT_EQ(zpgraxi(&g, 0, nullptr, nullptr, 0), 2);
    EXPECT_EQ(g.zerozero, nullptr);
}

TEST(Axes, ARelaidAxisKeepsAWholeSpacing)
{
    // An axis laid out again over a value pair whose origin is 0: the
    // spacing between labelled ticks is the tick spacing, never 0.
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
    PGRAFSTR g;
    g.datapool = pool;
    PGRAF_VHSTR& h = g.pgrafd[1];
    h.numf = 1;
    h.totpos = 80;
    h.prepos = 8;
    double pair[2] = {0, 5};
    h.vallst.d = pair;
    SCALESTR s;
    s.xmax = 100;
    ASSERT_EQ(zpgrlbl(&g, 1, nullptr, &s, scale_opt::HORIZONTAL), 0);
    EXPECT_GT(s.ticpos, 0);
    EXPECT_EQ(h.lblpos, s.ticpos);
    xmpoold(pool);
}

TEST(Axes, WideLabelsAskForACoarserAxis)
{
    // Times in the millions on a short line: labels of 7 characters need
    // ticks at least 8 columns apart, so the axis is scaled again with a
    // coarser increment rather than letting the labels run together.
    vyr::option_set("LINESIZE", "64");
    for (double hi : {7.3e6, 1.234e5, 999.0, 0.0123}) {
        POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
        PGRAFSTR g;
        g.datapool = pool;
        g.pgrafd[0].totpos = 20;
        NAMESTR vn, hn;
        xvnamei(&vn);
        xvnamei(&hn);
        SCALESTR vs, hs;
        vs.xmax = 1;
        hs.xmax = hi;
        ASSERT_EQ(zpgrini(&g, &hn, &hs, &vn, &vs), 0) << hi;
        const PGRAF_VHSTR& h = g.pgrafd[1];
        EXPECT_GT(h.lblpos, h.lbllen) << hi << ": labels of " << h.lbllen << " every " << h.lblpos;
        EXPECT_LE(hs.plotpos, h.plotpos) << hi;
        xmpoold(pool);
    }
    vyr::option_set("LINESIZE", "132");
}
