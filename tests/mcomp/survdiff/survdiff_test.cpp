// The comparisons of survival curves as the tests across strata hand them
// over: saved records reread in test order, the rows of all pairs and of
// comparisons with a control (first, last, by value), the chi-squares, the
// templates, and what a failing engine leaves: missing p-values, never a
// value of another row, with an error and the step's return code raised.
#include "support/results_fixture.h"

#include <cmath>
#include <functional>
#include <sstream>

#include "host/session/session_state.h"
#include "mcomp/survdiff.h"
#include "runtime/missing.h"
#include "support/reference.h"
#include "vyr_files.h"
#include "vyr_kernel.h"

using korvtest::bars;
using korvtest::Near;
using korvtest::Table;

namespace
{

struct Comparisons : ResultsFixture {
    std::deque<std::vector<double>> nodes;
    std::deque<std::vector<double>> groupNodes;
    POOLHANDLE* pool = nullptr;
    std::string log;

    void SetUp() override
    {
        ResultsFixture::SetUp();
        Exported_QXHandle = vyr_kernel_handle();
        korv_mcomp_register_engine();
        pool = xmpoolc(0, 1024, 6);
        ASSERT_GE(xcopen(&sd.utid, nullptr), 0);
        sd.stepcsize = -1;
        sd.stepmaxtime = 60;
        sd.tinc = 30;
        sd.acc = 0.005;
        sd.eps = 0.01;
        sd.alpha = 0.05;
        q.survdiff = &sd;
        vyr::print_capture(nullptr, &log);
    }
    void TearDown() override
    {
        vyr::print_capture(nullptr, nullptr);
        xcclose(sd.utid);
        xmpoold(pool);
        korv_mcomp_register_engine();
        ResultsFixture::TearDown();
    }

    // k strata with the formatted texts `labels` (one STRATA variable, or
    // the first variable of several) and raw values 1..k.
    void strata(const std::vector<std::string>& labels)
    {
        q.strata = nullptr;
        q.nstrata = 0;
        STRATA* prev = nullptr;
        for (size_t h = 0; h < labels.size(); ++h) {
            nodes.emplace_back(static_cast<size_t>(strata_node_size(q.slenf + q.slenu) / 8 + 1),
                               0.0);
            auto* s = reinterpret_cast<STRATA*>(nodes.back().data());
            char* key = strata_key(s);
            std::memset(key, ' ', static_cast<size_t>(q.slenf));
            std::memcpy(key + sname[0].posf, labels[h].data(),
                        std::min<size_t>(labels[h].size(), static_cast<size_t>(sname[0].lngf)));
            if (sname[0].type == 1) {
                const double raw = static_cast<double>(h + 1);
                std::memcpy(key + sname[0].posu, &raw, 8);
            } else {
                std::memset(key + sname[0].posu, ' ', static_cast<size_t>(sname[0].lngu));
                std::memcpy(key + sname[0].posu, labels[h].data(),
                            std::min<size_t>(labels[h].size(), static_cast<size_t>(sname[0].lngu)));
            }
            (prev ? prev->left : q.strata) = s;
            prev = s;
            ++q.nstrata;
        }
    }

    // Saved records of the tests in `bits` order: scores U (scaled by the
    // record number, so that each test's record is told apart) and V.
    void save(const std::vector<double>& U, const std::vector<double>& V, int records)
    {
        const int k = static_cast<int>(U.size());
        ASSERT_EQ(xcpoint(sd.utid, -2), 0);
        for (int r = 1; r <= records; ++r) {
            std::vector<double> rec(V);
            for (double u : U)
                rec.push_back(u * r);
            rec.push_back(0.0);
            ASSERT_EQ(static_cast<int>(rec.size()), (k + 1) * (k + 2) / 2);
            ASSERT_EQ(xcwrite(sd.utid, rec.data(), static_cast<long>(8 * rec.size())), 0);
        }
    }

    // The tables made, in order.
    std::vector<const vdq::Node*> tables(const std::string& name = "SurvDiff")
    {
        std::vector<const vdq::Node*> out;
        std::function<void(const std::vector<vdq::NodePtr>&)> walk = [&](const auto& items) {
            for (const auto& n : items) {
                if (n->kind == vdq::Node::Table && n->name == name)
                    out.push_back(n.get());
                walk(n->items);
            }
        };
        walk(vdq::currentStep().items);
        return out;
    }
    static size_t col(const vdq::Node* t, const std::string& name)
    {
        for (size_t i = 0; i < t->columns.size(); ++i)
            if (t->columns[i].name == name)
                return i;
        ADD_FAILURE() << "no column " << name;
        return 0;
    }
    static std::string dyn(const vdq::Node* t, const std::string& name)
    {
        for (const auto& d : t->dynamics)
            if (d.name == name)
                return d.text;
        return "";
    }
};

// The log-rank scores and covariance of the veteran example (R's survdiff).
struct Veteran {
    std::vector<double> U, V;
    Veteran()
    {
        Table t("mcomp_scores.csv");
        for (size_t i = 0; i < t.size(); ++i)
            if (t.text(i, "case") == "veteran" && t.num(i, "rho") == 0) {
                U = bars(t.text(i, "U"));
                V = bars(t.text(i, "V"));
            }
    }
};

} // namespace

TEST_F(Comparisons, AllPairsOfOneVariableAgainstThePeers)
{
    addStrata("celltype", false, 9, 9);
    strata({"adeno", "large", "smallcell", "squamous"});
    q.ktype = 8;
    sd.type = QXMCLSM_ALL;
    sd.method = QXMCLSM_BON;
    SurvDiff(&q);
    const Veteran v;
    save(v.U, v.V, 1);
    MultipleComparisons(&q, 4, pool);
    const auto t = tables();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0]->templ, "Stat.Korvante.SurvDiff2");
    EXPECT_EQ(dyn(t[0], "Test"), "Logrank");
    EXPECT_EQ(dyn(t[0], "TestLabel"), "Log-Rank");
    EXPECT_EQ(dyn(t[0], "formatWidth"), "9");
    ASSERT_EQ(t[0]->rows.size(), 6u);
    Table peers("mcomp_adjusted.csv");
    std::vector<double> chisq, raw, bon;
    for (size_t i = 0; i < peers.size(); ++i)
        if (peers.text(i, "case") == "veteran" && peers.num(i, "rho") == 0 &&
            peers.text(i, "type") == "ALL" && peers.num(i, "step") == 0) {
            if (peers.text(i, "method") == "T") {
                chisq.push_back(peers.num(i, "chisq"));
                raw.push_back(peers.num(i, "p"));
            } else if (peers.text(i, "method") == "BON") {
                bon.push_back(peers.num(i, "p"));
            }
        }
    ASSERT_EQ(chisq.size(), 6u);
    const char* first[] = {"adeno", "adeno", "adeno", "large", "large", "smallcell"};
    const char* second[] = {"large", "smallcell", "squamous", "smallcell", "squamous", "squamous"};
    for (size_t r = 0; r < 6; ++r) {
        const auto& row = t[0]->rows[r];
        EXPECT_EQ(row[col(t[0], "Stratum1")].s, first[r]);
        EXPECT_EQ(row[col(t[0], "Stratum2")].s, second[r]);
        EXPECT_TRUE(Near(row[col(t[0], "ChiSq")].d, chisq[r], 1e-12)) << r;
        EXPECT_TRUE(Near(row[col(t[0], "Raw")].d, raw[r], 1e-12)) << r;
        EXPECT_TRUE(Near(row[col(t[0], "Bonferroni")].d, bon[r], 1e-12)) << r;
    }
    EXPECT_EQ(q.rc, 0);
}

TEST_F(Comparisons, TablesFollowTheTestOrderAndEachRecord)
{
    // Several STRATA variables: stratum numbers. Log-rank, Wilcoxon and
    // Fleming requested in any order give three tables in bit order, each
    // from its own record.
    addStrata("a", true, 8, 8);
    addStrata("b", true, 8, 8);
    strata({"1", "2", "3"});
    q.ktype = 0x100 | 8 | 16;
    double fleming[2] = {1.0, -1.0};
    q.fleming = fleming;
    sd.type = QXMCLSM_ALL;
    sd.method = QXMCLSM_T;
    SurvDiff(&q);
    const std::vector<double> U = {2.0, -1.0, -1.0}, V = {2, -1, 2, -1, -1, 2};
    save(U, V, 3);
    const long loads = vyr_kernel_load_count("qxmclsm");
    MultipleComparisons(&q, 3, pool);
    // No adjustment: the engine runs once per test, and no adjusted column.
    EXPECT_EQ(vyr_kernel_load_count("qxmclsm") - loads, 3);
    const auto t = tables();
    ASSERT_EQ(t.size(), 3u);
    const char* names[] = {"Logrank", "Wilcoxon", "Fleming"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(dyn(t[i], "Test"), names[i]);
        EXPECT_EQ(t[i]->templ, "Stat.Korvante.SurvDiff");
        EXPECT_EQ(t[i]->columns.size(), 4u) << "numbers, chi-square, raw";
        // Rows (1,2), (1,3), (2,3); record i has scores scaled by i + 1.
        const double s = i + 1;
        EXPECT_EQ(t[i]->rows[0][col(t[i], "StratumNumber1")].d, 1.0);
        EXPECT_EQ(t[i]->rows[2][col(t[i], "StratumNumber2")].d, 3.0);
        EXPECT_NEAR(t[i]->rows[0][col(t[i], "ChiSq")].d, 9.0 * s * s / 6.0, 1e-12);
        // Two strata with equal scores: a chi-square of 0.
        EXPECT_EQ(t[i]->rows[2][col(t[i], "ChiSq")].d, 0.0);
    }
    EXPECT_EQ(dyn(t[2], "TestLabel"), "Fleming(1)");
}

TEST_F(Comparisons, ControlFirstLastAndByValue)
{
    addStrata("grp", false, 4, 4);
    strata({"A", "B", "C", "D"});
    q.ktype = 8;
    sd.type = QXMCLSM_CONTROL;
    sd.method = QXMCLSM_EXACT;
    SurvDiff(&q);
    const Veteran v;
    struct Case {
        int refcntl;
        std::string value;
        int control;
    } cases[] = {{-1, "", 0}, {-2, "", 3}, {-3, "B", 1}, {-3, "B  ", 1}};
    for (const Case& c : cases) {
        vdq::takeCurrentStep();
        q.vdq = wobtest::manager();
        SurvDiff(&q);
        sd.refcntl = c.refcntl;
        varstring ref{};
        ref.s = const_cast<char*>(c.value.data());
        ref.l = static_cast<int64_t>(c.value.size());
        sd.ref = &ref;
        sd.nref = 1;
        save(v.U, v.V, 1);
        MultipleComparisons(&q, 4, pool);
        const auto t = tables();
        ASSERT_EQ(t.size(), 1u);
        ASSERT_EQ(t[0]->rows.size(), 3u);
        const std::string ctl = std::string(1, "ABCD"[c.control]);
        std::string firsts;
        for (const auto& row : t[0]->rows) {
            EXPECT_EQ(row[col(t[0], "Stratum2")].s, ctl) << c.refcntl;
            firsts += row[col(t[0], "Stratum1")].s;
        }
        std::string want;
        for (char x : std::string("ABCD"))
            if (x != ctl[0])
                want += x;
        EXPECT_EQ(firsts, want) << c.refcntl;
        EXPECT_EQ(t[0]->templ, "Stat.Korvante.SurvDiff2");
        EXPECT_EQ(col(t[0], "Dunnett"), 4u);
    }
    EXPECT_EQ(q.rc, 0);
    // A value that names no stratum: a warning, and the first is the control.
    sd.refcntl = -3;
    varstring ref{};
    std::string none = "Z";
    ref.s = none.data();
    ref.l = 1;
    sd.ref = &ref;
    EXPECT_EQ(findIndex(&q), 0);
    EXPECT_EQ(sd.idxcntl, 0);
    EXPECT_NE(log.find("WARNING: The DIFF=CONTROL value(s) 'Z' match no stratum"),
              std::string::npos)
        << log;
    EXPECT_EQ(q.rc, 4);
}

TEST_F(Comparisons, ControlValuesOfSeveralVariablesAndOfGroups)
{
    addStrata("sex", false, 1, 1);
    addStrata("arm", false, 3, 3);
    // Keys: sex then arm, formatted texts laid at their positions.
    auto key = [&](const std::string& sex, const std::string& arm) {
        nodes.emplace_back(static_cast<size_t>(strata_node_size(q.slenf + q.slenu) / 8 + 1), 0.0);
        auto* s = reinterpret_cast<STRATA*>(nodes.back().data());
        char* k = strata_key(s);
        std::memset(k, ' ', static_cast<size_t>(q.slenf + q.slenu));
        std::memcpy(k + sname[0].posf, sex.data(), sex.size());
        std::memcpy(k + sname[1].posf, arm.data(), arm.size());
        return s;
    };
    STRATA* s1 = key("F", "a");
    STRATA* s2 = key("F", "b");
    STRATA* s3 = key("M", "a");
    s1->left = s2;
    s2->left = s3;
    q.strata = s1;
    q.nstrata = 3;
    varstring ref[2] = {};
    std::string m = "M", a = "a";
    ref[0].s = m.data();
    ref[0].l = 1;
    ref[1].s = a.data();
    ref[1].l = 1;
    sd.ref = ref;
    sd.nref = 2;
    EXPECT_EQ(findIndex(&q), 2);
    // GROUP= levels: formatted text then raw value.
    q.nsvar = 0;
    setGroup("trt", false, 8, 8);
    auto level = [&](const std::string& text) {
        groupNodes.emplace_back(static_cast<size_t>(grptree_node_size(16) / 8 + 1), 0.0);
        auto* g = reinterpret_cast<GRPTREE*>(groupNodes.back().data());
        std::memset(grptree_key(g), ' ', 16);
        std::memcpy(grptree_key(g) + 8 - text.size(), text.data(), text.size());
        return g;
    };
    GRPTREE* g1 = level("low");
    GRPTREE* g2 = level("high");
    g1->left = g2;
    grp.ghead = g1;
    std::string h = "high";
    ref[0].s = h.data();
    ref[0].l = 4;
    sd.nref = 1;
    EXPECT_EQ(findIndex(&q), 1);
    std::string mid = "mid";
    ref[0].s = mid.data();
    ref[0].l = 3;
    EXPECT_EQ(findIndex(&q), 0);
    EXPECT_NE(log.find("WARNING: The DIFF=CONTROL value 'mid' matches no level of the GROUP="),
              std::string::npos)
        << log;
}

TEST_F(Comparisons, AZeroVariancePairHasNoChiSquare)
{
    addStrata("x", true, 8, 8);
    strata({"1", "2", "3"});
    q.ktype = 8;
    sd.type = QXMCLSM_ALL;
    sd.method = QXMCLSM_SIDAK;
    SurvDiff(&q);
    // Strata 2 and 3 are twins: their difference has no variance.
    const std::vector<double> U = {1.0, -0.5, -0.5}, V = {2, -1, 1, -1, 1, 1};
    save(U, V, 1);
    MultipleComparisons(&q, 3, pool);
    const auto t = tables();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0]->templ, "Stat.Korvante.SurvDiff1") << "one numeric variable without a format";
    EXPECT_EQ(dyn(t[0], "formatWidth"), "0");
    EXPECT_TRUE(wzmis(t[0]->rows[2][col(t[0], "ChiSq")].d));
    EXPECT_TRUE(wzmis(t[0]->rows[2][col(t[0], "Raw")].d));
    EXPECT_TRUE(wzmis(t[0]->rows[2][col(t[0], "Sidak")].d));
    EXPECT_FALSE(wzmis(t[0]->rows[0][col(t[0], "Sidak")].d));
    EXPECT_EQ(t[0]->rows[1][col(t[0], "Stratum2")].d, 3.0);
}

TEST_F(Comparisons, AFailingEngineShowsMissingValuesAndFailsTheStep)
{
    addStrata("celltype", false, 9, 9);
    strata({"adeno", "large", "smallcell", "squamous"});
    q.ktype = 8;
    sd.type = QXMCLSM_ALL;
    sd.method = QXMCLSM_BON;
    SurvDiff(&q);
    const Veteran v;
    save(v.U, v.V, 1);
    // A value of an earlier table in the cells: none of it may show.
    q.iovar[4] = 0.1234;
    q.iovar[9] = 0.5678;
    vyr_kernel_register_extension("qxmclsm", [](QXHandle*) -> void* { return nullptr; });
    MultipleComparisons(&q, 4, pool);
    const auto t = tables();
    ASSERT_EQ(t.size(), 1u);
    ASSERT_EQ(t[0]->rows.size(), 6u);
    for (const auto& row : t[0]->rows) {
        EXPECT_TRUE(wzmis(row[col(t[0], "Raw")].d));
        EXPECT_TRUE(wzmis(row[col(t[0], "Bonferroni")].d));
        EXPECT_FALSE(wzmis(row[col(t[0], "ChiSq")].d));
    }
    EXPECT_NE(log.find("ERROR: The multiple-comparison engine gave no p-values for the "
                       "comparisons of the Log-Rank test"),
              std::string::npos)
        << log;
    EXPECT_GE(q.rc, 1012);
}

TEST_F(Comparisons, AnEngineErrorRaisesTheReturnCode)
{
    // A comparison type the engine does not offer: its own message, and the
    // step's return code takes the engine's.
    addStrata("celltype", false, 9, 9);
    strata({"adeno", "large", "smallcell", "squamous"});
    q.ktype = 8;
    sd.type = QXMCLSM_ANOM;
    sd.method = QXMCLSM_EXACT;
    SurvDiff(&q);
    const Veteran v;
    save(v.U, v.V, 1);
    MultipleComparisons(&q, 4, pool);
    EXPECT_NE(log.find("ERROR: Comparisons of type -5 are not available"), std::string::npos)
        << log;
    EXPECT_EQ(q.rc, 1012);
}

TEST_F(Comparisons, WeightedTestsAndNoPrint)
{
    addStrata("x", true, 8, 8);
    strata({"1", "2", "3"});
    sd.type = QXMCLSM_ALL;
    sd.method = QXMCLSM_T;
    // With WEIGHT only log-rank, Wilcoxon and Tarone have records.
    q.zwt = 1;
    q.ktype = 8 | 0x40 | 0x20;
    SurvDiff(&q);
    const std::vector<double> U = {2.0, -1.0, -1.0}, V = {2, -1, 2, -1, -1, 2};
    save(U, V, 2);
    MultipleComparisons(&q, 3, pool);
    const auto t = tables();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(dyn(t[1], "Test"), "Tarone");
    // NOPRINT: no comparison is made.
    vdq::takeCurrentStep();
    q.vdq = wobtest::manager();
    q.zprint = 0;
    const long loads = vyr_kernel_load_count("qxmclsm");
    MultipleComparisons(&q, 3, pool);
    EXPECT_EQ(vyr_kernel_load_count("qxmclsm"), loads);
    EXPECT_TRUE(tables().empty());
}

TEST_F(Comparisons, SimulationPublishesItsSeed)
{
    addStrata("celltype", false, 9, 9);
    strata({"adeno", "large", "smallcell", "squamous"});
    q.ktype = 8;
    sd.type = QXMCLSM_ALL;
    sd.method = QXMCLSM_SIM;
    sd.seed = 4711;
    sd.nsamp = 20000;
    SurvDiff(&q);
    const Veteran v;
    save(v.U, v.V, 1);
    MultipleComparisons(&q, 4, pool);
    const char* seed = xjsymget("SYSRANDOM");
    ASSERT_NE(seed, nullptr);
    EXPECT_STREQ(seed, "4711");
    const auto t = tables();
    ASSERT_EQ(t.size(), 1u);
    for (const auto& row : t[0]->rows) {
        const double p = row[col(t[0], "Simulate")].d;
        EXPECT_GE(p, row[col(t[0], "Raw")].d - 1e-12);
        EXPECT_LE(p, 1.0);
    }
}

TEST_F(Comparisons, StepDownReportsFollowTheirComparisonsWithAKey)
{
    // Two tests with step-down Tukey and its report: each subsets table
    // comes after the comparisons it refers to, inside the test's group,
    // with the probability given to each subset and a key to its columns.
    addStrata("celltype", false, 9, 9);
    strata({"adeno", "large", "smallcell", "squamous"});
    q.ktype = 8 | 16;
    sd.type = QXMCLSM_ALL;
    sd.method = QXMCLSM_EXACT;
    sd.step = QXMCLSM_STEP_LOGICAL;
    sd.steprep = 1;
    SurvDiff(&q);
    const Veteran v;
    save(v.U, v.V, 2);
    MultipleComparisons(&q, 4, pool);
    std::vector<const vdq::Node*> order;
    std::function<void(const std::vector<vdq::NodePtr>&)> walk = [&](const auto& items) {
        for (const auto& n : items) {
            if (n->kind == vdq::Node::Table)
                order.push_back(n.get());
            walk(n->items);
        }
    };
    walk(vdq::currentStep().items);
    ASSERT_EQ(order.size(), 4u);
    const char* names[] = {"SurvDiff", "Subsets", "SurvDiff", "Subsets"};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(order[i]->name, names[i]) << i;
    EXPECT_EQ(dyn(order[2], "Test"), "Wilcoxon");
    const vdq::Node* s = order[1];
    EXPECT_NE(s->note.find("Cmp1 to Cmp6 are the comparisons in the order of the rows"),
              std::string::npos)
        << s->note;
    EXPECT_NE(s->note.find("Part1 to Part4"), std::string::npos);
    // The first subset holds every comparison; its probability is the
    // adjusted p-value of the first step, the smallest of the table.
    const double p = s->rows[0][col(s, "pEval")].d;
    double smallest = 1;
    for (const auto& row : order[0]->rows)
        smallest = std::min(smallest, row[col(order[0], "StepdownTukey")].d);
    EXPECT_NEAR(p, smallest, 1e-9);
}

TEST_F(Comparisons, TheLogicalConstraintsNoteIsSaidOncePerStep)
{
    // Twelve levels are past the logical search: one note for both tests.
    addStrata("x", true, 8, 8);
    std::vector<std::string> labels;
    for (int h = 1; h <= 12; ++h)
        labels.push_back(std::to_string(h));
    strata(labels);
    q.ktype = 8 | 16;
    sd.type = QXMCLSM_ALL;
    sd.method = QXMCLSM_BON;
    sd.step = QXMCLSM_STEP_LOGICAL;
    SurvDiff(&q);
    // Scores summing to 0 and the covariance of independent unit scores
    // centred on their mean.
    std::vector<double> U, V;
    for (int i = 0; i < 12; ++i) {
        U.push_back(i - 5.5);
        for (int j = 0; j <= i; ++j)
            V.push_back((i == j ? 1.0 : 0.0) - 1.0 / 12);
    }
    save(U, V, 2);
    MultipleComparisons(&q, 12, pool);
    ASSERT_EQ(tables().size(), 2u);
    size_t said = 0;
    for (size_t at = log.find("logical constraints"); at != std::string::npos;
         at = log.find("logical constraints", at + 1))
        ++said;
    EXPECT_EQ(said, 1u) << log;
}
