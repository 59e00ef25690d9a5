// Every option and synonym lands in its bit or field of the statement record.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "frame/korvg.h"
#include "runtime/missing.h"
#include "support/fake_env.h"
#include "test_util.h"

namespace
{

// Spellings of one setting, separated by '|'.
std::vector<std::string> spellings(const char* all)
{
    std::vector<std::string> v;
    std::istringstream in(all);
    for (std::string one; std::getline(in, one, '|');)
        v.push_back(one);
    return v;
}

// Proc options, or a statement after the PROC statement when it starts with "-".
struct BitCase {
    const char* stmt;
    int record;
    int bit;
};

// Synonyms and hidden aliases (typed without "$") of the switches.
const BitCase kBits[] = {{"noprint", 0, 1},
                         {"nocensplot|nocens", 0, 2},
                         {"graphics", 0, 3},
                         {"notable|notables", 0, 4},
                         {"missing", 0, 5},
                         {"lineprinter|lp", 0, 6},
                         {"nelson|aalen|nelsonaalen|na", 0, 19},
                         {"reduceout|rs", 0, 20},
                         {"sid=on", 0, 21},
                         {"strataid=off", 0, 22},
                         {"strataidentification=on", 0, 21},
                         {"printphantom", 0, 23},
                         {"stderr|se", 0, 24},
                         {"plots=s|plot=s", 0, 35},
                         {"atrisk", 0, 40},
                         {"noleft", 0, 41},
                         {"cifvar", 0, 48},
                         {"xcbminopt", 0, 51},
                         {"rmst", 0, 52},
                         {"rmtl", 0, 53},
                         {"rmst(cl)", 0, 62},
                         {"rmst(bc)", 0, 56},
                         {"rmtl(biascorrection)", 0, 59},
                         {"rmtl(tau=3, cl)", 0, 63},
                         {"plots(only)=s|plots(on)=s", 0, 30},
                         {"plots=all", 0, 32},
                         {"plots=none", 0, 33},
                         {"plots=censored|plots=censor|plots=cen|plots=c", 0, 10},
                         {"plots=survival|plots=surv|plots=sur", 0, 11},
                         {"plots=logsurv|plots=ls", 0, 12},
                         {"plots=loglogs|plots=lls", 0, 13},
                         {"plots=hazard|plots=haz|plots=h", 0, 14},
                         {"plots=density|plots=pdf|plots=p|plots=d", 0, 15},
                         {"plots=cif|plots=cuminc|plots=ci", 0, 46},
                         {"plots=rmst", 0, 54},
                         {"plots=rmtl", 0, 55},
                         {"plots=cif(cl)", 0, 47},
                         {"plots=cif(test)", 0, 50},
                         {"plots=rmst(cl)", 0, 57},
                         {"plots=rmtl(cl)", 0, 60},
                         {"plots=d(cl)", 0, 37},
                         {"plots=h(cl)", 0, 34},
                         {"plots=s(atrisk)", 0, 25},
                         {"plots=s(atrisktick)|plots=s(atrisklabel)|plots=s(atrisk(tick))", 0, 43},
                         {"plots=s(atrisktickonly)", 0, 45},
                         {"plots=s(outside)|plots=s(atrisk(outside(0.2)))", 0, 44},
                         {"plots=s(cl)|plots=s(pci)", 0, 26},
                         {"plots=s(hw)|plots=s(hwb)", 0, 27},
                         {"plots=s(ep)|plots=s(epb)", 0, 28},
                         {"plots=s(test)|plots=s(pvalue)", 0, 29},
                         {"plots=s(failure)|plots=s(f)|plots=s(cdf)", 0, 36},
                         {"plots=s(nocensored)|plots=s(nocensor)|plots=s(nocen)", 0, 38},
                         {"plots=s(cb)", 0, 39},
                         {"-time t / failcode|-time t*s(0) / eventcode=1", 1, 49},
                         {"-freq f / notruncate|-freq f / notrunc", 0, 42},
                         {"-survival out=o", 0, 31},
                         {"-outsurv reduceout", 0, 20},
                         {"-survival stderr", 0, 24},
                         {"-strata sex / missing", 1, 1},
                         {"-strata sex / notest|-strata sex / notests", 1, 2},
                         {"-strata sex / nodetail|-strata sex / nodetails", 1, 3},
                         {"-strata sex / trend", 1, 4},
                         {"-strata sex / logrank", 1, 5},
                         {"-strata sex / test=wilcoxon", 1, 6},
                         {"-strata sex / weight=tarone|-strata sex / test=tw", 1, 7},
                         {"-strata sex / test=(peto)", 1, 8},
                         {"-strata sex / modifiedpeto|-strata sex / modpeto", 1, 9},
                         {"-strata sex / fleming|-strata sex / test=fh(1 2)", 1, 10},
                         {"-strata sex / lr", 1, 11},
                         {"-strata sex / test=all", 1, 12},
                         {"-strata sex / diff|-strata sex / pdiff|-strata sex / tdiff", 1, 13},
                         {"-strata sex / ratio", 1, 22},
                         {"-strata sex / adjust=sim(report)", 1, 14},
                         {"-strata sex / adjust=simulate(redrank)", 1, 15},
                         {"-strata sex / adj=sim(noredrank)", 1, 16},
                         {"-strata sex / stepdown", 1, 17},
                         {"-strata sex / stepdown(type=logical)", 1, 18},
                         {"-strata sex / stepdown(report)", 1, 19},
                         {"-strata sex / nolabel", 1, 21},
                         {"-strata sex / test=none", 1, 20}};

TEST(Options, EveryBitWithEverySynonym)
{
    for (const auto& c : kBits)
        for (const std::string& stmt : spellings(c.stmt)) {
            Prog r(stmt[0] == '-' ? "proc korvante data=lung; " + stmt.substr(1) + ";"
                                  : "proc korvante data=lung " + stmt + "; time t;");
            EXPECT_EQ(r.rc, 0) << stmt << "\n" << r.env.all_reports();
            EXPECT_TRUE(stmt_bit(r.rec(c.record), c.bit)) << stmt << " bit " << c.bit;
        }
}

TEST(Options, AStrataStatementWithoutOptionsSetsNoBits)
{
    Prog r("proc korvante data=lung; strata sex age;");
    ASSERT_NE(r.rec(1), nullptr);
    for (int k = 0; k < 256; ++k)
        EXPECT_FALSE(stmt_bit(r.rec(1), k)) << k;
    EXPECT_EQ(r.ints(1, 1), (std::vector<int>{3, 4}));
    EXPECT_FALSE(stmt_given(r.rec(1), 2)); // no cut points
    EXPECT_STREQ(r.rec(1)->name, "STRATA");
    EXPECT_EQ(r.rec(1)->nfld, 21);
}

struct FieldCase {
    const char* opts;
    int record;
    int field;
    double value;
};

const FieldCase kNumbers[] = {
    {"maxtime=5|mtime=5", 0, 16, 5},
    {"mt=5.5", 0, 16, 5.5},
    {"timemax=1e2", 0, 16, 100},
    {"width=2", 0, 17, 2},
    {"ninterval=7|ni=7|ninter=7", 0, 18, 7},
    {"alpha=0.1", 0, 19, 0.1},
    {"singular=1e-9", 0, 25, 1e-9},
    {"alphaqt=0.2|qalpha=0.2", 0, 28, 0.2},
    {"timelim=8", 0, 29, 8},
    {"restrict=event|timelim=let", 0, 29, -1},
    {"timelim=observed|timelim=lot", 0, 29, -2},
    {"bandmax=9|bandmaxtime=9", 0, 40, 9},
    {"bandmin=1|bandmintime=1", 0, 41, 1},
    {"error=aalen|variance=a", 0, 56, 0},
    {"error=delta|error=d", 0, 56, 1},
    {"rho=0.5", 0, 58, 0.5},
    {"conftype=linear", 0, 13, 1},
    {"citype=asinsqrt", 0, 13, 2},
    {"conftype=loglog|conftype=cloglog", 0, 13, 3},
    {"conftype=log", 0, 13, 4},
    {"conftype=logit", 0, 13, 5},
    {"confband|confband=hw", 0, 24, 1},
    {"confband=ep", 0, 24, 2},
    {"confband=all", 0, 24, 3},
    {"method=km|method=pl", 0, 15, -1},
    {"method=act|method=life|method=lt|method=lifetab|method=lifetable", 0, 15, -2},
    {"method=breslow|method=nelson|method=aalen", 0, 15, -3},
    {"method=fleming|method=fh", 0, 15, -4},
    {"rmst(tau=4)", 0, 59, 4},
    {"rmtl(tau=6)", 0, 60, 6},
    {"plots=s(strata=overlay)|plots=s(strata=overlaid)|plots=s(stratum=o)", 0, 42, -1},
    {"plots=s(strata=panel)|plots=s(strata=p)|plots=s(strata=paneled)", 0, 42, -2},
    {"plots=s(strata=individual)|plots=s(strata=i)|plots=s(strata=unpack)|plots=s(strata=u)|plots="
     "s(strata=unpackpanel)|plots=s(strata=unpackedpanel)|plots=s(strata=unpacked)",
     0, 42, -3},
    {"plots=h(strata=panel)", 0, 63, -2},
    {"plots=rmst(strata=panel)", 0, 61, -2},
    {"plots=rmtl(strata=individual)", 0, 62, -3},
    {"plots=s(cb=hw)", 0, 52, -1},
    {"plots=s(cb=ep)", 0, 52, -2},
    {"plots=s(cb=all)", 0, 52, -3},
    {"plots=s(maxlen=9)|plots=s(atrisk(maxlen=9))", 0, 53, 9},
    {"plots=s(outside(0.4))", 0, 54, 0.4},
    {"plots=h(ngrid=31)", 0, 43, 31},
    {"plots=h(gridl=1)", 0, 44, 1},
    {"plots=h(gridu=2)", 0, 45, 2},
    {"plots=h(bw=range(1, 4))", 0, 47, 1},
    {"plots=h(bwgrid=range(1 4))", 0, 48, 4},
    {"plots=h(bandwidth=(2 3))", 0, 46, 2},
    {"plots=h(nmingrid=9)", 0, 51, 9},
    {"plots=h(method=global)", 0, 49, 0},
    {"plots=h(method=local)|plots=h(method=l)", 0, 49, 1},
    {"plots=h(kernel=epanechnikov)|plots=h(kernel=epan)|plots=h(kernel=e)", 0, 50, 0},
    {"plots=h(kernel=uniform)|plots=h(kernel=uni)|plots=h(kernel=u)", 0, 50, 1},
    {"plots=h(kernel=biweight)|plots=h(kernel=bw)|plots=h(kernel=byweight)|plots=h(kernel=bywgt)|"
     "plots=h(kernel=b)",
     0, 50, 2}};

TEST(Options, NumbersAndChoicesLandInTheirFields)
{
    for (const auto& c : kNumbers)
        for (const std::string& opts : spellings(c.opts)) {
            Prog r("proc korvante data=lung " + opts + "; time t;");
            EXPECT_EQ(r.rc, 0) << opts << "\n" << r.env.all_reports();
            EXPECT_TRUE(stmt_given(r.rec(c.record), c.field)) << opts;
            EXPECT_DOUBLE_EQ(stmt_number(r.rec(c.record), c.field, -999), c.value) << opts;
        }
}

const FieldCase kStrataNumbers[] = {{"group=grp|g=grp", 1, 4, 5},
                                    {"order=formatted", 1, 20, 0},
                                    {"order=internal", 1, 20, 1},
                                    {"test=fleming(0.5)", 1, 5, 0.5},
                                    {"test=fh(0.5, 3)", 1, 6, 3},
                                    {"adjust=tukey", 1, 7, -7},
                                    {"adjust=bon|adjust=bonferroni", 1, 7, -1},
                                    {"adjust=sid|adjust=sidak", 1, 7, -2},
                                    {"adjust=gt2|adjust=smm", 1, 7, -3},
                                    {"adjust=scheffe", 1, 7, -4},
                                    {"adjust=sim|adjust=simulate", 1, 7, -5},
                                    {"adjust=dunnett", 1, 7, -8},
                                    {"adjustment=tukey", 1, 7, -7},
                                    {"diff=all", 1, 8, -1},
                                    {"diff=control", 1, 8, -2},
                                    {"ratio=control(first)", 1, 9, -1},
                                    {"diff=control(last)", 1, 9, -2},
                                    {"diff=control('a')", 1, 9, -3},
                                    {"adj=sim(acc=0.02)", 1, 11, 0.02},
                                    {"adj=sim(eps=0.3)", 1, 12, 0.3},
                                    {"adj=sim(timeinc=12)", 1, 13, 12},
                                    {"adj=sim(seed=7)", 1, 14, 7},
                                    {"adj=sim(nsamp=100)", 1, 15, 100},
                                    {"adj=sim(alpha=0.2)", 1, 16, 0.2},
                                    {"stepdown(type=logical(4))", 1, 17, 4},
                                    {"stepdown(maxtime=30)", 1, 18, 30},
                                    {"stepdown(order=rows)", 1, 19, 1},
                                    {"stepdown(order=pvalue)", 1, 19, 0}};

TEST(Options, StrataOptionsLandInTheirFields)
{
    for (const auto& c : kStrataNumbers)
        for (const std::string& opts : spellings(c.opts)) {
            Prog r("proc korvante data=lung; strata sex / " + opts + ";");
            EXPECT_EQ(r.rc, 0) << opts << "\n" << r.env.all_reports();
            EXPECT_DOUBLE_EQ(stmt_number(r.rec(c.record), c.field, -999), c.value) << opts;
        }
}

TEST(Options, TextsAndDataSets)
{
    Prog r("proc korvante data=lung outsurv=o1 outtest=work.o2 outcif='path/o3.csv' anno=an "
           "lannotate=la gout=mylib.cat description='My graphs' eventsymbol=dot censoredsymbol='x' "
           "censorcolor=red fc(1 2 3)='+-|' plots=(c(name=cn) ls(name='lsn') lls(name=llsn) "
           "h(name=hn) d(name=dn)); time t;");
    ASSERT_EQ(r.rc, 0) << r.env.all_reports();
    EXPECT_EQ(r.text(1), "lung");
    EXPECT_EQ(r.text(3), "o1");
    EXPECT_EQ(r.text(4), "work.o2");
    EXPECT_EQ(r.text(57), "path/o3.csv");
    EXPECT_EQ(r.text(2), "an");
    EXPECT_EQ(r.text(6), "la");
    EXPECT_EQ(r.text(21), "mylib");
    EXPECT_EQ(r.text(22), "cat");
    EXPECT_EQ(r.text(23), "My graphs");
    EXPECT_EQ(r.text(31), "dot");
    EXPECT_EQ(r.text(32), "x");
    EXPECT_EQ(r.text(33), "red");
    EXPECT_EQ(r.text(27), "+-|");
    EXPECT_EQ(r.nums(26), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(r.text(34), "cn");
    EXPECT_EQ(r.text(36), "lsn");
    EXPECT_EQ(r.text(37), "llsn");
    EXPECT_EQ(r.text(38), "hn");
    EXPECT_EQ(r.text(39), "dn");
    // Output data sets are opened for output, inputs (annotate too) for input.
    auto has = [&](const std::string& s) {
        return std::find(r.env.opened.begin(), r.env.opened.end(), s) != r.env.opened.end();
    };
    EXPECT_TRUE(has("IN:LUNG"));
    EXPECT_TRUE(has("OUT:O1"));
    EXPECT_TRUE(has("OUT:WORK.O2"));
    EXPECT_TRUE(has("OUT:PATH/O3.CSV"));
    EXPECT_TRUE(has("IN:AN"));
    EXPECT_TRUE(has("IN:LA"));
    EXPECT_EQ(stmt_field(r.rec(0), 3)->type, STL_DATASET);
    EXPECT_NE(stmt_field(r.rec(0), 3)->handle, nullptr);
    // NAME= of CENSORED and of SURVIVAL name different plots: neither
    // takes the other's place.
    Prog r2("proc korvante data=lung plots=(s(name='second') c(name=first)); time t;");
    EXPECT_EQ(r2.text(35), "second");
    EXPECT_EQ(r2.text(34), "first");
    // GOUT= with one level: the member only.
    Prog r3("proc korvante data=lung gout=cat; time t;");
    EXPECT_FALSE(stmt_given(r3.rec(0), 21));
    EXPECT_EQ(r3.text(22), "cat");
    // CB alone sets its bit and leaves field 52 empty; SID given neither way leaves both clear.
    Prog r4("proc korvante data=lung plots=s(cb); time t;");
    EXPECT_TRUE(stmt_bit(r4.rec(0), 39));
    EXPECT_FALSE(stmt_given(r4.rec(0), 52));
    EXPECT_FALSE(stmt_bit(r4.rec(0), 21));
    EXPECT_FALSE(stmt_bit(r4.rec(0), 22));
    // The SURVIVAL statement's OUT= is the procedure statement's OUTSURV=.
    Prog r5("proc korvante data=lung outsurv=a; time t; survival out=b;");
    EXPECT_EQ(r5.text(3), "b");
}

// An option given more than once in one statement: the last one given is
// used, also where the two put their values in different fields, and one
// note names it. Requests that add up, and one option in two places, are
// not repeats; a second FLEMING stays an error.
TEST(Options, AnOptionGivenTwiceKeepsTheLastOneAndANoteSaysSo)
{
    Prog r("proc korvante data=lung alpha=0.1 alpha=0.2 alpha=0.3; time t;");
    EXPECT_EQ(r.rc, 0);
    EXPECT_DOUBLE_EQ(stmt_number(r.rec(0), 19, -999), 0.3);
    ASSERT_EQ(r.env.reports.size(), 1u) << r.env.all_reports();
    EXPECT_EQ(r.env.reports[0].severity, 3);
    EXPECT_EQ(r.env.reports[0].text, "The option ALPHA= is given more than once in this "
                                     "statement; the last one given is used.");
    // BW= as a list, then as a range: the range is used.
    Prog bw("proc korvante data=lung plots=h(bw=3 bw=range(1, 2)); time t;");
    EXPECT_FALSE(stmt_given(bw.rec(0), 46));
    EXPECT_DOUBLE_EQ(stmt_number(bw.rec(0), 47, -999), 1);
    EXPECT_NE(bw.env.all_reports().find("The option BW= is given more than once"),
              std::string::npos)
        << bw.env.all_reports();
    // BW= as a range, then as a list: the range's values go.
    Prog wb("proc korvante data=lung plots=h(bw=range(1, 2) bw=3); time t;");
    EXPECT_EQ(wb.nums(46), std::vector<double>{3});
    EXPECT_FALSE(stmt_given(wb.rec(0), 47));
    EXPECT_FALSE(stmt_given(wb.rec(0), 48));
    EXPECT_NE(wb.env.all_reports().find("The option BW= is given more than once"),
              std::string::npos)
        << wb.env.all_reports();
    // The control values of the last DIFF= only.
    Prog ctl("proc korvante data=lung; strata sex / diff=control('1') diff=control('2');");
    const STLIST* texts = stmt_field(ctl.rec(1), 10);
    ASSERT_NE(texts, nullptr);
    ASSERT_EQ(texts->n, 1);
    EXPECT_EQ(std::string(texts->texts[0].s, texts->texts[0].l), "2");
    EXPECT_NE(ctl.env.all_reports().find("The option DIFF= is given"), std::string::npos);
    for (const char* quiet :
         {"plots=(s(strata=panel) h(strata=panel)) plots=ls timelist=1 2 3; "
          "time t; strata sex / test=logrank test=wilcoxon;",
          "; strata sex age / diff=control('1' '2');", "alpha=0.1; time t; survival alpha=0.2;"}) {
        Prog q(std::string("proc korvante data=lung ") + quiet);
        EXPECT_EQ(q.rc, 0) << quiet;
        EXPECT_TRUE(q.env.reports.empty()) << quiet << "\n" << q.env.all_reports();
    }
    Prog fh("proc korvante data=lung; strata sex / test=fleming(1) test=fleming(2);");
    EXPECT_EQ(fh.rc, 3000);
    ASSERT_EQ(fh.env.reports.size(), 1u) << fh.env.all_reports();
    EXPECT_EQ(fh.env.reports[0].text, "The option FLEMING is repeated in this statement; give it "
                                      "once.");
}

// A keyword that also takes a value (DIFF and DIFF=, CB and CB=) is one
// option either way: the last one given is used, and the note names it.
TEST(Options, AKeywordGivenAloneAndWithAValueIsOneOption)
{
    const std::string repeated = "is given more than once in this statement; the last one "
                                 "given is used.";
    Prog bare("proc korvante data=lung; strata sex / diff=control('2') diff;");
    EXPECT_EQ(bare.rc, 0);
    EXPECT_TRUE(stmt_bit(bare.rec(1), 13));
    for (int k : {8, 9, 10})
        EXPECT_FALSE(stmt_given(bare.rec(1), k)) << k;
    ASSERT_EQ(bare.env.reports.size(), 1u) << bare.env.all_reports();
    EXPECT_EQ(bare.env.reports[0].severity, 3);
    EXPECT_EQ(bare.env.reports[0].text, "The option DIFF " + repeated);

    Prog typed("proc korvante data=lung; strata sex / diff pdiff=control('2');");
    EXPECT_EQ(typed.ints(8, 1), std::vector<int>{-2});
    EXPECT_EQ(typed.env.all_reports(), "The option PDIFF= " + repeated + "\n");

    Prog cb("proc korvante data=lung plots=s(cb=ep cb); time t;");
    EXPECT_TRUE(stmt_bit(cb.rec(0), 39));
    EXPECT_FALSE(stmt_given(cb.rec(0), 52));
    EXPECT_EQ(cb.env.all_reports(), "The option CB " + repeated + "\n");

    // The keyword alone twice sets its bit twice: nothing is replaced.
    Prog twice("proc korvante data=lung; strata sex / diff pdiff;");
    EXPECT_TRUE(stmt_bit(twice.rec(1), 13));
    EXPECT_TRUE(twice.env.reports.empty()) << twice.env.all_reports();
}

// A statement that writes into the procedure's record given more than once
// in a step: the last one is used whole (its list, and FREQ's NOTRUNCATE
// only when it gives it), and a note at that statement names it.
TEST(Options, AStatementGivenTwiceKeepsTheLastOneAndANoteSaysSo)
{
    const std::string used = " statement is given more than once in this step; this one, the "
                             "last one given, is used.";
    Prog r("proc korvante data=lung; time t; test age; weight age; test sex x1;\n"
           "weight wt; freq f / notruncate; freq wt; id sex; id age; by sex notsorted; by age;");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.ints(8), (std::vector<int>{3, 6}));
    EXPECT_EQ(r.ints(55), std::vector<int>{11});
    EXPECT_EQ(r.ints(7), std::vector<int>{11});
    EXPECT_FALSE(stmt_bit(r.rec(0), 42));
    EXPECT_EQ(r.ints(9), std::vector<int>{4});
    EXPECT_EQ(r.ints(0), std::vector<int>{4});
    EXPECT_EQ(stmt_field(r.rec(0), 0)->notsorted, 0);
    const std::vector<std::pair<int, std::string>> notes = {
        {4, "TEST"}, {5, "WEIGHT"}, {7, "FREQ"}, {9, "ID"}, {11, "BY"}};
    ASSERT_EQ(r.env.reports.size(), notes.size()) << r.env.all_reports();
    for (std::size_t i = 0; i < notes.size(); ++i) {
        EXPECT_EQ(r.env.reports[i].severity, 3);
        EXPECT_EQ(r.env.reports[i].index, notes[i].first);
        EXPECT_EQ(r.env.reports[i].text, "The " + notes[i].second + used);
    }

    // Each statement once, or a step that fails: no note.
    Prog once("proc korvante data=lung; time t; test age sex; weight wt; freq f / notruncate; "
              "id sex; by sex;");
    EXPECT_TRUE(once.env.reports.empty()) << once.env.all_reports();
    Prog bad("proc korvante data=lung; time t; test age; test nosuch;");
    EXPECT_NE(bad.rc, 0);
    EXPECT_EQ(bad.env.all_reports().find("statement is given more than once"), std::string::npos);
}

TEST(Options, DefaultInputWhenDataIsAbsent)
{
    FakeEnv env;
    env.default_name = "LUNG";
    PARSECONTROL pc{};
    pc.grammar = korvg_grammar();
    EXPECT_EQ(vyr_parse_statements(&pc, split_program("proc korvante; time time;"), env), 0);
    ASSERT_NE(stmt_field(pc.head, 1), nullptr);
    EXPECT_EQ(env.name_of(stmt_field(pc.head, 1)->handle), "LUNG");
    ASSERT_NE(pc.head->next, nullptr); // the TIME statement's record
    EXPECT_EQ(stmt_int(pc.head->next, 10, 0), 1);
}

} // namespace
