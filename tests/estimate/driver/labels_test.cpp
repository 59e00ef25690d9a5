// Stratum labels (heading, graph label, text key) and the emptied strata
// values of Total rows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/strata.h"
#include "estimate/estimate.h"
#include "frame/parse.h"
#include "runtime/missing.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_output.h"

namespace
{

struct Var {
    std::string name, label, value; // value: the formatted field, blank padded
    short type = 1;                 // 1 numeric, 2 character
    short cutnum = 0;
};

// A common block with STRATA variables and one stratum node holding the
// formatted values.
struct Fixture {
    KORVCOM q{};
    std::vector<NAMESTR> nms;
    std::vector<varstring> names;
    std::vector<SNAMESTR> snames;
    std::vector<std::string> texts;
    std::vector<double> nodeStore;
    STRATA* node = nullptr;
    std::vector<char> labelBuf, graphBuf, valueBuf;
    STRATUMID sid{};
    varstring glab{};
    OGSTAT ogstat{};
    std::vector<xobskey> strval;
    ATRISKTIME art{};

    explicit Fixture(const std::vector<Var>& vars, int hdrlen = 200, int glen = 60)
    {
        texts.reserve(vars.size() * 2);
        nms.resize(vars.size());
        names.resize(vars.size());
        snames.resize(vars.size());
        int posf = 0, posu = 0, slenu = 0;
        for (size_t i = 0; i < vars.size(); ++i) {
            texts.push_back(vars[i].name);
            texts.push_back(vars[i].label);
            NAMESTR& nm = nms[i];
            nm.name_p = texts[2 * i].c_str();
            nm.namelen = static_cast<short>(texts[2 * i].size());
            nm.label_p = texts[2 * i + 1].c_str();
            nm.nlablen = static_cast<short>(texts[2 * i + 1].size());
            nm.ntype = vars[i].type;
            names[i].s = const_cast<char*>(texts[2 * i].c_str());
            names[i].l = static_cast<int64_t>(texts[2 * i].size());
            SNAMESTR& s = snames[i];
            s.nm = &nm;
            s.name = &names[i];
            s.type = vars[i].type;
            s.lngf = static_cast<short>(vars[i].value.size());
            s.posf = static_cast<short>(posf);
            s.lngu = 8;
            s.cutnum = vars[i].cutnum;
            posf += s.lngf;
            slenu += 8;
        }
        for (auto& s : snames) {
            s.posu = static_cast<short>(posf + posu);
            posu += s.lngu;
        }
        int keylen = posf + slenu;
        nodeStore.assign(static_cast<size_t>(strata_node_size(keylen) / 8 + 1), 0.0);
        node = reinterpret_cast<STRATA*>(nodeStore.data());
        char* key = strata_key(node);
        for (size_t i = 0; i < vars.size(); ++i)
            std::memcpy(key + snames[i].posf, vars[i].value.data(), vars[i].value.size());
        q.nsvar = static_cast<int>(vars.size());
        q.sname = snames.data();
        q.slenf = posf;
        q.slenu = slenu;
        q.hdrlen = hdrlen;
        labelBuf.assign(static_cast<size_t>(hdrlen), 'x');
        sid.label = labelBuf.data();
        q.stratumid = &sid;
        graphBuf.assign(static_cast<size_t>(glen), 'x');
        glab.s = graphBuf.data();
        glab.l = glen;
        q.ogstrlab = &glab;
        q.nstrata = 3;
        strval.assign(3, nullptr);
        ogstat.strval = strval.data();
        q.ogstat = &ogstat;
        valueBuf.assign(static_cast<size_t>(keylen), 'z');
        q.value = valueBuf.data();
    }
    std::string label(int len) const
    {
        return std::string(labelBuf.data(), static_cast<size_t>(len));
    }
    std::string graph() const
    {
        std::string g(graphBuf.data(), graphBuf.size());
        return g.substr(0, g.find_last_not_of(' ') + 1);
    }
};

std::string keyText(xobskey k)
{
    std::string s = vdqkeystring(k);
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

} // namespace

TEST(Korvut, TwoVariablesWithLabels)
{
    Fixture f({{"sex", "Sex", "       1"}, {"cell", "", "squamous  "}});
    f.node->Stratum = 1;
    f.q.stratumno = 1;
    int len = korvut(&f.q, f.node);
    EXPECT_EQ(f.label(len), "Stratum 2: Sex = 1  cell = squamous");
    EXPECT_EQ(f.graph(), "Sex=1 cell=squamous");
    EXPECT_EQ(keyText(f.strval[1]), "Sex=1 cell=squamous");
    EXPECT_EQ(f.strval[0], nullptr);
}

TEST(Korvut, NolabelSingleVariableAndCutPoints)
{
    Fixture f({{"age", "Age at entry", " <    50"}});
    f.q.znolabel = 1;
    f.snames[0].cutnum = 2;
    int len = korvut(&f.q, f.node);
    EXPECT_EQ(f.label(len), "Stratum 1: age < 50");
    // One variable: the graph label is the value text alone.
    EXPECT_EQ(f.graph(), "<    50");

    Fixture g({{"age", "", ">=    70"}, {"sex", "", "       2"}});
    g.snames[0].cutnum = 2;
    len = korvut(&g.q, g.node);
    EXPECT_EQ(g.label(len), "Stratum 1: age >= 70  sex = 2");
    EXPECT_EQ(g.graph(), "age>=70 sex=2");
}

TEST(Korvut, NumberPrefixAndTruncation)
{
    Fixture f({{"a", "", "1"}, {"b", "", "2"}}, 16, 12);
    f.art.maxL = -1;
    f.art.smaxlen = 12;
    f.q.art = &f.art;
    f.q.vdqgraph = 0x8001;
    f.node->Stratum = 2;
    f.q.stratumno = 2;
    int len = korvut(&f.q, f.node);
    EXPECT_LE(len, 16);
    EXPECT_EQ(f.label(len), "Stratum 3: a = 1");
    EXPECT_EQ(f.graph(), "3: a=1 b=2");
    EXPECT_EQ(keyText(f.strval[2]), "a=1 b=2");
    // A stratum number past the key array is not written.
    f.q.stratumno = 3;
    korvut(&f.q, f.node);
    SUCCEED();
}

TEST(Korvbsv, EmptiesEachKindOfValue)
{
    Fixture f({{"n", "", "     1.5"}, {"c", "", "abc     "}, {"k", "", " <    50"}});
    f.nms[1].ntype = 2;
    f.snames[2].cutnum = 1;
    korvbsv(&f.q);
    const char* v = f.q.value;
    double d;
    std::memcpy(&d, v + f.q.slenf, sizeof d);
    double empty = xgcbconst(95);
    EXPECT_EQ(std::memcmp(&d, &empty, sizeof d), 0);
    EXPECT_EQ(std::string(v + f.q.slenf + 8, 8), std::string(8, ' '));
    EXPECT_EQ(std::string(v + 16, 8), std::string(8, ' ')); // the interval's formatted text
    EXPECT_EQ(std::string(v, 16), std::string(16, 'z'));    // other formatted parts kept
}

// Band limits made monotone in the paged store, across page boundaries.
#include "estimate/plotdata.h"

TEST(PlotData, LimitCorrectionsAcrossPages)
{
    XCBSTR xcb{};
    long a = 0, b = 0, minimal = 0, standard = 0, n = 0;
    xcbinfo(&a, &b, &minimal, &standard, &n);
    long pagesize = minimal;
    ASSERT_EQ(xcbopen(&pagesize, 1, &xcb.fileptr), 0);
    xcb.reclen = 88;
    xcb.nrpp = 2; // two records a page: every walk crosses pages
    const double m = korv_missing();
    const double upper[] = {0.9, m, 0.95, 0.8, 0.85};
    const double lower[] = {0.5, 0.6, m, 0.4, 0.3};
    PlotStore store(&xcb);
    store.begin(&xcb);
    for (int i = 0; i < 5; ++i) {
        double rec[PLOTREC_FIELDS] = {};
        rec[0] = i;
        rec[5] = lower[i];
        rec[6] = upper[i];
        rec[7] = m;
        store.put(rec);
    }
    store.finish();
    EXPECT_EQ(UclCorrection(&xcb, 5, 6), 1);
    EXPECT_EQ(LclCorrection(&xcb, 5, 5), 1);
    EXPECT_EQ(LclCorrection(&xcb, 5, 7), 0); // all missing: untouched
    const double wantU[] = {0.9, m, 0.9, 0.8, 0.8};
    const double wantL[] = {0.6, 0.6, m, 0.4, 0.3};
    for (long k = 1; k <= 5; ++k) {
        char* page = nullptr;
        ASSERT_EQ(xcbgetp(xcb.fileptr, (k - 1) / 2 + 1, 0, &page), 0);
        double rec[PLOTREC_FIELDS];
        std::memcpy(rec, page + 88 * ((k - 1) % 2), sizeof rec);
        xcbmlok(xcb.fileptr, (k - 1) / 2 + 1);
        EXPECT_EQ(rec[0], k - 1);
        EXPECT_EQ(std::memcmp(&rec[6], &wantU[k - 1], 8), 0) << k;
        EXPECT_EQ(std::memcmp(&rec[5], &wantL[k - 1], 8), 0) << k;
    }
    xcbclose(xcb.fileptr);
}
