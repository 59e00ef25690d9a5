// The censoring summary of a BY group: stratum rows, the Total row, the
// missing-strata note, and the GROUP= road's overall Total.
#include "support/results_fixture.h"

#include <cstdlib>
#include <memory>

#include "runtime/missing.h"
#include "vyr_host.h"

namespace
{

struct CensoringSummary : ResultsFixture {
    std::vector<std::unique_ptr<char[]>> nodes;

    // Appends a stratum to the list with its key: the formatted text of Sex
    // (6 bytes) and, raw, the text (1 byte).
    STRATA* stratum(double cum, double cen, const char* sex)
    {
        int keylen = q.slenf + q.slenu;
        size_t size = static_cast<size_t>(strata_node_size(keylen));
        nodes.emplace_back(new char[size]());
        STRATA* s = reinterpret_cast<STRATA*>(nodes.back().get());
        s->cum = cum;
        s->cen = cen;
        char* key = strata_key(s);
        std::memset(key, ' ', static_cast<size_t>(keylen));
        if (q.nsvar > 0) {
            std::memcpy(key, sex, std::strlen(sex));
            key[q.slenf] = sex[0];
        }
        STRATA** tail = &q.strata;
        while (*tail)
            tail = &(*tail)->left;
        *tail = s;
        ++q.nstrata;
        return s;
    }

    const vdq::Node& rendered()
    {
        doc = vdq::takeCurrentStep();
        EXPECT_EQ(doc.items.size(), 1u);
        return *doc.items.at(0);
    }
    vdq::StepDoc doc;
};

double cell(const vdq::Node& n, size_t row, const char* col)
{
    for (size_t i = 0; i < n.columns.size(); ++i)
        if (n.columns[i].name == col)
            return n.rows.at(row).at(i).d;
    ADD_FAILURE() << "no column " << col;
    return 0;
}

std::string textOf(const vdq::Node& n, size_t row, const char* col)
{
    for (size_t i = 0; i < n.columns.size(); ++i)
        if (n.columns[i].name == col)
            return n.rows.at(row).at(i).s;
    ADD_FAILURE() << "no column " << col;
    return "";
}

bool same(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(CensoringSummary, StrataRowsAndATotalRow)
{
    addStrata("Sex", false, 1, 6);
    Summary(&q);
    stratum(10, 4, "F");
    stratum(0, 0, "M");
    stratum(5, 5, "U");
    korvsum(&q);
    const vdq::Node& n = rendered();
    EXPECT_EQ(n.templ, "Stat.Korvante.CensoredSummary");
    EXPECT_TRUE(n.note.empty());
    ASSERT_EQ(n.rows.size(), 4u);
    EXPECT_EQ(cell(n, 0, "Stratum"), 1);
    EXPECT_EQ(cell(n, 2, "Stratum"), 3);
    EXPECT_EQ(textOf(n, 1, "Sex"), "M");
    EXPECT_EQ(cell(n, 0, "Failed"), 6);
    EXPECT_EQ(cell(n, 0, "PctCens"), 40);
    EXPECT_TRUE(wzmis(cell(n, 1, "PctCens"))); // a stratum without observations
    EXPECT_EQ(cell(n, 2, "Failed"), 0);        // censored values only
    EXPECT_EQ(cell(n, 2, "PctCens"), 100);
    // Total row.
    EXPECT_EQ(textOf(n, 3, "control_var"), "-");
    EXPECT_TRUE(same(cell(n, 3, "Stratum"), xgcbconst(84)));
    EXPECT_EQ(textOf(n, 3, "Sex"), "");
    EXPECT_EQ(cell(n, 3, "Total"), 15);
    EXPECT_EQ(cell(n, 3, "Failed"), 6);
    EXPECT_EQ(cell(n, 3, "Censored"), 9);
    EXPECT_EQ(cell(n, 3, "PctCens"), 60);
    EXPECT_EQ(textOf(n, 0, "control_var"), "");
}

TEST_F(CensoringSummary, NumericStrataSlotsOfTheTotalRowGetTheEmptiedConstant)
{
    addStrata("Dose", true, 8, 8);
    Summary(&q);
    STRATA* a = stratum(3, 0, "1");
    STRATA* b = stratum(2, 1, "2");
    double one = 1, two = 2;
    std::memcpy(strata_key(a) + q.slenf, &one, 8);
    std::memcpy(strata_key(b) + q.slenf, &two, 8);
    korvsum(&q);
    const vdq::Node& n = rendered();
    ASSERT_EQ(n.rows.size(), 3u);
    EXPECT_EQ(cell(n, 1, "Dose"), 2);
    EXPECT_TRUE(same(cell(n, 2, "Dose"), xgcbconst(95)));
    EXPECT_EQ(cell(n, 2, "PctCens"), 20);
}

TEST_F(CensoringSummary, OneStratumHasNoTotalRowAndNoStrataColumns)
{
    Summary(&q);
    stratum(7, 2, "");
    korvsum(&q);
    const vdq::Node& n = rendered();
    ASSERT_EQ(n.rows.size(), 1u);
    ASSERT_EQ(n.columns.size(), 4u);
    EXPECT_EQ(cell(n, 0, "Total"), 7);
}

TEST_F(CensoringSummary, MissingStrataValuesGiveANote)
{
    addStrata("Sex", false, 1, 6);
    q.zfreq = 1;
    Summary(&q);
    stratum(4, 1, "F");
    q.strmiss = 1;
    korvsum(&q);
    const vdq::Node& one = rendered();
    // Message 557 + 1 (STRATA) + 2 (FREQ).
    EXPECT_EQ(one.note, vdqkeystring(vdqmsgs(326, 560, 1L)));
    EXPECT_NE(one.note.find('1'), std::string::npos);

    newStep();
    Summary(&q);
    q.strata = nullptr;
    q.nstrata = 0;
    q.strmiss = 3;
    stratum(4, 1, "F");
    korvsum(&q);
    EXPECT_EQ(rendered().note, vdqkeystring(vdqmsgs(326, 544, 3L)));
}

TEST_F(CensoringSummary, GroupRoadAddsTheOverallTotal)
{
    addStrata("Sex", false, 1, 6);
    setGroup("Arm", true, 8, 8);
    Summary(&q);
    // The group analysis has written its rows already.
    q.str10[0] = ' ';
    q.stratumno = 1;
    q.iovar[0] = 5;
    wobcall(q.Summary, WOB_SEL_PUT_ROW, 0, nullptr);
    q.nstrata = 2;
    grp.cum = 20;
    grp.cen = 5;
    korvsum(&q);
    const vdq::Node& n = rendered();
    EXPECT_EQ(n.templ, "Stat.Korvante.CensoredSummary2");
    ASSERT_EQ(n.rows.size(), 2u);
    EXPECT_EQ(cell(n, 0, "Total"), 5);
    EXPECT_EQ(textOf(n, 1, "control_var"), "-");
    EXPECT_TRUE(same(cell(n, 1, "Arm"), xgcbconst(95)));
    EXPECT_EQ(cell(n, 1, "Total"), 20);
    EXPECT_EQ(cell(n, 1, "Failed"), 15);
    EXPECT_EQ(cell(n, 1, "PctCens"), 25);

    // One stratum: the rows as they are, no overall Total.
    newStep();
    Summary(&q);
    q.nstrata = 1;
    wobcall(q.Summary, WOB_SEL_PUT_ROW, 0, nullptr);
    korvsum(&q);
    EXPECT_EQ(rendered().rows.size(), 1u);
}

} // namespace
