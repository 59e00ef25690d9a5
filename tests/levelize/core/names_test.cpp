// Parameter and variable naming: valid names under VALIDVARNAME (the host's
// rule and the kit's rule for values that read as numbers), labels fitted
// into 256 characters, generated level names, and effect names and labels.
#include "support/levelize_harness.h"
#include "support/step_probe.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{

std::string field(const std::string& s, int len)
{
    std::string f = s;
    f.resize(static_cast<size_t>(len), ' ');
    return f;
}

std::string text(const char* s, int len)
{
    return lev::trim(std::string(s, static_cast<size_t>(len)));
}

TEST(Names, ValidNamesUnderEachRule)
{
    const struct {
        const char* rule;
        const char* in;
        const char* host;   // zname
        const char* number; // the kit's rule for numeric-looking values
    } cases[] = {
        {"V7", "1.5", "_1_5", "1D5"},
        {"V7", "-2", "_2", "N2"},
        {"V7", "1E-5", "_1E_5", "1EN5"},
        {"V7", "12", "_12", "12"},
        {"V7", "E5", "E5", "E5"},
        {"V7", "A.B", "A_B", "A.B"},
        {"V7", "  a b", "a_b", "a b"},
        {"ANY", "1.5", "1.5", "1.5"},
        {"UPCASE", "ab-1", "AB_1", "ab-1"},
        {"V6", "averylongname", "AVERYLON", "averylongname"},
        {"V7", "", "_", ""},
    };
    for (const auto& c : cases) {
        std::string host, number;
        int n = 0;
        step_probe::run(
            [&] {
                n = zvnamlen();
                char f[32];
                std::memcpy(f, field(c.in, 32).data(), 32);
                zname(0, f, 32);
                host = text(f, 32);
                std::memcpy(f, field(c.in, 32).data(), 32);
                zmzname(0, f, 32, 0);
                number = text(f, 32);
            },
            {{"VALIDVARNAME", c.rule}});
        EXPECT_EQ(n, std::string(c.rule) == "V6" ? 8 : 32);
        EXPECT_EQ(host, c.host) << c.rule << " " << c.in;
        EXPECT_EQ(number, c.number) << c.rule << " " << c.in;
    }
}

ZMNLEVEL level(ZMNCLASS* c, const std::string& value, const std::string& label)
{
    ZMNLEVEL l{};
    std::memcpy(l.class_, field(value, 32).data(), 32);
    std::memcpy(l.label, field(label, 256).data(), 256);
    l.classvar = c;
    return l;
}

TEST(Names, LabelsFitIn256Characters)
{
    const struct {
        size_t classLabel, levelLabel;
        size_t wantClass, wantLevel; // characters of each kept
    } cases[] = {
        {200, 200, 128, 127},
        {200, 100, 155, 100},
        {20, 30, 20, 30},
        {0, 30, 0, 30}, // no class label: no separator either
    };
    for (const auto& c : cases) {
        step_probe::run([&] {
            POOLHANDLE* pool = xmpoolc(0, 1024, 0);
            ZMNCLASS* cls = zmnalcl(1, pool);
            ASSERT_NE(cls, nullptr);
            EXPECT_EQ(cls->cprefix, -1);
            std::memcpy(cls->name, field("Treatment", 32).data(), 32);
            std::memcpy(cls->label, field(std::string(c.classLabel, 'C'), 256).data(), 256);
            ZMNLEVEL l = level(cls, "1", std::string(c.levelLabel, 'L'));
            cls->levels = &l;
            zmnprcl(cls, 1);
            const std::string got(l.label, 256);
            const std::string want = std::string(c.wantClass, 'C') + (c.wantClass ? " " : "") +
                                     std::string(c.wantLevel, 'L');
            EXPECT_EQ(lev::trim(got), want) << c.classLabel << "/" << c.levelLabel;
            // An empty parameter label becomes the class label and separator.
            EXPECT_EQ(std::string(l.parmlabel, c.wantClass), std::string(c.wantClass, 'C'));
            xmpoold(pool);
        });
    }
}

TEST(Names, GeneratedLevelNamesAndEffects)
{
    std::string aName, bName, effName, effLabel, quantName, quantLabel, single;
    step_probe::run([&] {
        POOLHANDLE* pool = xmpoolc(0, 1024, 0);
        ZMNCLASS* cls = zmnalcl(2, pool);
        // Class A: a long name, formatted length 5: 32 - 5 = 27 characters
        // of the name start its level names.
        std::memcpy(cls[0].name, field("AVeryLongClassificationVariable1", 32).data(), 32);
        std::memcpy(cls[0].label, field("Arm", 256).data(), 256);
        cls[0].nfl = 5;
        std::memcpy(cls[1].name, field("B", 32).data(), 32);
        std::memcpy(cls[1].label, field("Dose", 256).data(), 256);
        cls[1].numeric = 1;
        ZMNLEVEL a = level(&cls[0], "-1.5", "first");
        ZMNLEVEL b = level(&cls[1], "10", "   10");
        cls[0].levels = &a;
        cls[1].levels = &b;
        zmnprcl(cls, 2);
        aName = text(a.unformatted.name, 32);
        bName = text(b.unformatted.name, 32);
        ZMNLEVEL* levels[2] = {&a, &b};
        ZMNEFFECT ef{};
        ef.levels = levels;
        ef.nways = 2;
        zmname(&ef, 1);
        effName = text(ef.name, 32);
        effLabel = text(ef.label, 256);
        // Three quantitative variables and no levels: the first name gets at
        // most n - 2 characters so that the others still get one.
        ZMNQUANT q[3]{};
        for (int k = 0; k < 3; ++k) {
            std::memcpy(q[k].name, field(std::string(32, static_cast<char>('x' + k)), 32).data(),
                        32);
            std::memcpy(q[k].label, field(k == 1 ? "" : "lab", 256).data(), 256);
        }
        ZMNQUANT* vars[3] = {&q[0], &q[1], &q[2]};
        ZMNEFFECT qe{};
        qe.vars = vars;
        qe.nquants = 3;
        zmname(&qe, 1);
        quantName = text(qe.name, 32);
        quantLabel = text(qe.label, 256);
        // One quantitative variable with a blank label: an empty label.
        std::memcpy(q[0].label, field("", 256).data(), 256);
        ZMNEFFECT one{};
        one.vars = vars;
        one.nquants = 1;
        zmname(&one, 1);
        single = text(one.label, 256);
        xmpoold(pool);
    });
    EXPECT_EQ(aName, "AVeryLongClassificationVariN1D5");
    EXPECT_EQ(bName, "B10");
    EXPECT_EQ(effName, "AVeryLongClassificationVariN1D5B");
    EXPECT_EQ(effLabel, "Arm first * Dose 10");
    EXPECT_EQ(quantName, std::string(30, 'x') + "yz");
    EXPECT_EQ(quantLabel, "lab * " + std::string(32, 'y') + " * lab");
    EXPECT_EQ(single, "");
}

TEST(Names, PiecesOfNames)
{
    char to[10];
    zmnconc(to, "ab  ", "cd ", 10, 4, 3);
    EXPECT_EQ(std::string(to, 10), "abcd      ");
    zmnconc(to, "abcdefgh", "ijk", 10, 8, 3);
    EXPECT_EQ(std::string(to, 10), "abcdefghij");
    char l[12];
    std::memcpy(l, "one         ", 12);
    zmnlcon(l, "two  ", 12, 5, " * ", 3);
    EXPECT_EQ(std::string(l, 12), "one * two   ");
    zmnlcon(l, "     ", 12, 5, " * ", 3);
    EXPECT_EQ(std::string(l, 12), "one * two   ");
    zmncomp(to, "a b ", " c d", 10, 4, 4);
    EXPECT_EQ(std::string(to, 10), "abcd      ");
}

} // namespace
