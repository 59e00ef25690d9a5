// The names of the statement records' fields and bits (common/statement.h)
// against the grammar that fills them (frame/korvgram.cpp): each name must be
// the number an action of its option's production stores into.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>

#include "common/statement.h"
#include "frame/korvg.h"

namespace
{

enum Kind { Bit, Field };

struct Row {
    const char* lhs;     // the production's left side
    const char* keyword; // its first keyword spelling, or "" for any
    Kind kind;
    int number;
};

// Does a production of `lhs` starting with `keyword` store into `number`?
bool grammar_stores(const Row& r)
{
    const GRAMMARDEF* g = korvg_grammar();
    static const std::regex action(R"(\{(\w+)((?: \d+)+)\})");
    for (int i = 0; i < g->nprods; ++i) {
        const std::string lhs = g->prods[i].lhs, rhs = g->prods[i].rhs;
        if (lhs != r.lhs)
            continue;
        if (*r.keyword && rhs.compare(0, std::strlen(r.keyword), r.keyword) != 0)
            continue;
        for (std::sregex_iterator m(rhs.begin(), rhs.end(), action), end; m != end; ++m) {
            const std::string act = (*m)[1];
            std::istringstream args((*m)[2]);
            int first = -1, second = -1;
            args >> first >> second;
            if (r.kind == Bit && act == "bit" && first == r.number)
                return true;
            if (r.kind == Field && act != "bit" && act != "new" && act != "nl" && act != "var" &&
                act != "by" && (first == r.number || (act == "two" && second == r.number)))
                return true;
        }
    }
    return false;
}

const Row kRows[] = {
    {"statement", "BY", Field, proc_field::BY},
    {"statement", "FREQ", Field, proc_field::FREQ},
    {"statement", "WEIGHT", Field, proc_field::WEIGHT},
    {"statement", "ID", Field, proc_field::ID},
    {"statement", "TEST", Field, proc_field::TEST},
    {"statement", "STRATA", Field, strata_field::VARIABLES},
    {"statement", "STRATA", Field, strata_field::CUT_POINTS},
    {"timestmt", "", Field, proc_field::TIME},
    {"timecens", "", Field, proc_field::CENSOR},
    {"timecens", "", Field, proc_field::CENSOR_VALUES},
    {"timeopts", "", Bit, proc_bit::FAILCODE},
    {"failvals", "", Field, proc_field::FAILCODES},
    {"freqopts", "", Bit, proc_bit::NOTRUNCATE},
    {"procopt", "DATA", Field, proc_field::DATA},
    {"procopt", "ANNOTATE", Field, proc_field::ANNOTATE},
    {"procopt", "LANNOTATE", Field, proc_field::LANNOTATE},
    {"procopt", "NOPRINT", Bit, proc_bit::NOPRINT},
    {"procopt", "NOCENSPLOT", Bit, proc_bit::NOCENSPLOT},
    {"procopt", "GRAPHICS", Bit, proc_bit::GRAPHICS},
    {"procopt", "NOTABLE", Bit, proc_bit::NOTABLE},
    {"procopt", "MISSING", Bit, proc_bit::MISSING},
    {"procopt", "LINEPRINTER", Bit, proc_bit::LINEPRINTER},
    {"procopt", "NELSON", Bit, proc_bit::NELSON},
    {"procopt", "REDUCEOUT", Bit, proc_bit::REDUCEOUT},
    {"procopt", "PRINTPHANTOM$", Bit, proc_bit::PRINTPHANTOM},
    {"procopt", "STDERR", Bit, proc_bit::STDERR},
    {"procopt", "ATRISK", Bit, proc_bit::ATRISK},
    {"procopt", "NOLEFT", Bit, proc_bit::NOLEFT},
    {"procopt", "CIFVAR", Bit, proc_bit::CIFVAR},
    {"procopt", "XCBMINOPT$", Bit, proc_bit::XCBMINOPT},
    {"procopt", "RMST", Bit, proc_bit::RMST},
    {"procopt", "RMTL", Bit, proc_bit::RMTL},
    {"procopt", "OUTSURV", Field, proc_field::OUTSURV},
    {"procopt", "OUTTEST", Field, proc_field::OUTTEST},
    {"procopt", "OUTCIF", Field, proc_field::OUTCIF},
    {"procopt", "MAXTIME", Field, proc_field::MAXTIME},
    {"procopt", "WIDTH", Field, proc_field::WIDTH},
    {"procopt", "NINTERVAL", Field, proc_field::NINTERVAL},
    {"procopt", "ALPHA", Field, proc_field::ALPHA},
    {"procopt", "INTERVALS", Field, proc_field::INTERVALS},
    {"procopt", "DESCRIPTION", Field, proc_field::DESCRIPTION},
    {"procopt", "SINGULAR", Field, proc_field::SINGULAR},
    {"procopt", "FORMCHAR", Field, proc_field::FORMCHAR},
    {"procopt", "ALPHAQT", Field, proc_field::ALPHAQT},
    {"procopt", "TIMELIST", Field, proc_field::TIMELIST},
    {"procopt", "EVENTSYMBOL", Field, proc_field::EVENT_SYMBOL},
    {"procopt", "CENSOREDSYMBOL", Field, proc_field::CENSORED_SYMBOL},
    {"procopt", "CENSOREDCOLOR", Field, proc_field::CENSORED_COLOR},
    {"procopt", "BANDMAX", Field, proc_field::BANDMAX},
    {"procopt", "BANDMIN", Field, proc_field::BANDMIN},
    {"procopt", "RHO$", Field, proc_field::RHO},
    {"sidval", "ON", Bit, proc_bit::SID_ON},
    {"sidval", "OFF", Bit, proc_bit::SID_OFF},
    {"ctval", "LINEAR", Field, proc_field::CONFTYPE},
    {"methval", "KM", Field, proc_field::METHOD},
    {"goutname", "", Field, proc_field::GOUT_LIBRARY},
    {"goutname", "", Field, proc_field::GOUT_MEMBER},
    {"cbval", "", Field, proc_field::CONFBAND},
    {"fcpos", "", Field, proc_field::FORMCHAR_POSITIONS},
    {"tlval", "", Field, proc_field::TIMELIM},
    {"errval", "AALEN", Field, proc_field::ERROR},
    {"rmstitem", "TAU", Field, proc_field::RMST_TAU},
    {"rmstitem", "CL", Bit, proc_bit::RMST_CL},
    {"rmstitem", "BC", Bit, proc_bit::RMST_BC},
    {"rmtlitem", "TAU", Field, proc_field::RMTL_TAU},
    {"rmtlitem", "CL", Bit, proc_bit::RMTL_CL},
    {"rmtlitem", "BC", Bit, proc_bit::RMTL_BC},
    {"plotsopt", "PLOTS", Bit, proc_bit::PLOTS},
    {"pgitem", "ONLY", Bit, proc_bit::PLOTS_ONLY},
    {"preq", "ALL", Bit, proc_bit::PLOT_ALL},
    {"preq", "NONE", Bit, proc_bit::PLOT_NONE},
    {"preq", "CENSORED", Bit, proc_bit::PLOT_CENSORED},
    {"preq", "SURVIVAL", Bit, proc_bit::PLOT_SURVIVAL},
    {"preq", "LOGSURV", Bit, proc_bit::PLOT_LOGSURV},
    {"preq", "LOGLOGS", Bit, proc_bit::PLOT_LOGLOGS},
    {"preq", "HAZARD", Bit, proc_bit::PLOT_HAZARD},
    {"preq", "DENSITY", Bit, proc_bit::PLOT_DENSITY},
    {"preq", "CIF", Bit, proc_bit::PLOT_CIF},
    {"preq", "RMST", Bit, proc_bit::PLOT_RMST},
    {"preq", "RMTL", Bit, proc_bit::PLOT_RMTL},
    {"censitem", "NAME", Field, proc_field::SURVIVAL_NAME},
    {"lsitem", "NAME", Field, proc_field::LOGSURV_NAME},
    {"llsitem", "NAME", Field, proc_field::LOGLOGS_NAME},
    {"pdfitem", "CL", Bit, proc_bit::DENSITY_CL},
    {"pdfitem", "NAME", Field, proc_field::DENSITY_NAME},
    {"cifitem", "CL", Bit, proc_bit::CIF_CL},
    {"cifitem", "TEST", Bit, proc_bit::CIF_TEST},
    {"rmstpitem", "CL", Bit, proc_bit::PLOT_RMST_CL},
    {"rmtlpitem", "CL", Bit, proc_bit::PLOT_RMTL_CL},
    {"starr42", "OVERLAID", Field, proc_field::STRATA_ARRANGEMENT},
    {"starr61", "OVERLAID", Field, proc_field::RMST_ARRANGEMENT},
    {"starr62", "OVERLAID", Field, proc_field::RMTL_ARRANGEMENT},
    {"starr63", "OVERLAID", Field, proc_field::HAZARD_ARRANGEMENT},
    {"survitem", "ATRISK", Bit, proc_bit::SURVIVAL_ATRISK},
    {"survitem", "ATRISKTICK", Bit, proc_bit::ATRISK_TICK},
    {"survitem", "ATRISKTICKONLY", Bit, proc_bit::ATRISK_TICKONLY},
    {"survitem", "MAXLEN", Field, proc_field::MAXLEN},
    {"survitem", "OUTSIDE", Bit, proc_bit::ATRISK_OUTSIDE},
    {"survitem", "CL", Bit, proc_bit::SURVIVAL_CL},
    {"survitem", "HW", Bit, proc_bit::SURVIVAL_HW},
    {"survitem", "EP", Bit, proc_bit::SURVIVAL_EP},
    {"survitem", "TEST", Bit, proc_bit::SURVIVAL_TEST},
    {"survitem", "FAILURE", Bit, proc_bit::SURVIVAL_FAILURE},
    {"survitem", "NOCENSORED", Bit, proc_bit::SURVIVAL_NOCENSORED},
    {"survitem", "CB", Bit, proc_bit::SURVIVAL_CB},
    {"ateq", "", Field, proc_field::ATRISK_TIMES},
    {"outfrac", "", Field, proc_field::OUTSIDE_SHARE},
    {"cbsv", "HW", Field, proc_field::CB},
    {"hazitem", "NGRID", Field, proc_field::NGRID},
    {"hazitem", "GRIDL", Field, proc_field::GRIDL},
    {"hazitem", "GRIDU", Field, proc_field::GRIDU},
    {"hazitem", "NMINGRID", Field, proc_field::NMINGRID},
    {"hazitem", "CL", Bit, proc_bit::HAZARD_CL},
    {"hazitem", "NAME", Field, proc_field::HAZARD_NAME},
    {"bwval", "RANGE", Field, proc_field::BW_RANGE_LOW},
    {"bwval", "RANGE", Field, proc_field::BW_RANGE_HIGH},
    {"bwval", "", Field, proc_field::BANDWIDTHS},
    {"hazmeth", "GLOBAL", Field, proc_field::HAZARD_METHOD},
    {"kernval", "EPANECHNIKOV", Field, proc_field::KERNEL},
    {"survopt", "OUT", Bit, proc_bit::SURVIVAL_OUT},
    {"svcuts", "", Field, strata_field::CUT_MARKS},
    {"strataopt", "MISSING", Bit, strata_bit::MISSING},
    {"strataopt", "NOTEST", Bit, strata_bit::NOTEST},
    {"strataopt", "NODETAIL", Bit, strata_bit::NODETAIL},
    {"strataopt", "TREND", Bit, strata_bit::TREND},
    {"strataopt", "DIFF", Bit, strata_bit::DIFF},
    {"strataopt", "RATIO", Bit, strata_bit::RATIO},
    {"strataopt", "STEPDOWN", Bit, strata_bit::STEPDOWN},
    {"strataopt", "NOLABEL", Bit, strata_bit::NOLABEL},
    {"strataopt", "GROUP", Field, strata_field::GROUP},
    {"ordval", "FORMATTED", Field, strata_field::ORDER},
    {"testname", "LOGRANK", Bit, strata_bit::LOGRANK},
    {"testname", "WILCOXON", Bit, strata_bit::WILCOXON},
    {"testname", "TARONE", Bit, strata_bit::TARONE},
    {"testname", "PETO", Bit, strata_bit::PETO},
    {"testname", "MODIFIEDPETO", Bit, strata_bit::MODPETO},
    {"testname", "FLEMING", Bit, strata_bit::FLEMING},
    {"testname", "LR", Bit, strata_bit::LR},
    {"testname", "ALL", Bit, strata_bit::TEST_ALL},
    {"testname", "NONE", Bit, strata_bit::TEST_NONE},
    {"fhparms", "", Field, strata_field::FLEMING_RHO},
    {"fhgamma", "", Field, strata_field::FLEMING_GAMMA},
    {"diffset", "ALL", Field, strata_field::DIFF},
    {"ctlitems", "FIRST", Field, strata_field::CONTROL},
    {"qitems", "", Field, strata_field::CONTROL_VALUES},
    {"stepitem", "REPORT", Bit, strata_bit::STEPDOWN_REPORT},
    {"stepitem", "MAXTIME", Field, strata_field::STEPDOWN_MAXTIME},
    {"steptype", "LOGICAL", Bit, strata_bit::STEPDOWN_LOGICAL},
    {"logn", "", Field, strata_field::STEPDOWN_LOGICAL_SIZE},
    {"steporder", "ROWS", Field, strata_field::STEPDOWN_ORDER},
    {"adjval", "TUKEY", Field, strata_field::ADJUST},
    {"simitem", "ACC", Field, strata_field::SIM_ACC},
    {"simitem", "EPS", Field, strata_field::SIM_EPS},
    {"simitem", "TIMEINC", Field, strata_field::SIM_TIMEINC},
    {"simitem", "SEED", Field, strata_field::SIM_SEED},
    {"simitem", "NSAMP", Field, strata_field::SIM_NSAMP},
    {"simitem", "ALPHA", Field, strata_field::SIM_ALPHA},
    {"simitem", "REPORT", Bit, strata_bit::SIM_REPORT},
    {"simitem", "REDRANK$", Bit, strata_bit::SIM_REDRANK},
    {"simitem", "NOREDRANK$", Bit, strata_bit::SIM_NOREDRANK},
};

} // namespace

TEST(StatementNames, EveryNameIsWhatTheGrammarStores)
{
    for (const Row& r : kRows)
        EXPECT_TRUE(grammar_stores(r))
            << r.lhs << " " << r.keyword << (r.kind == Bit ? " bit " : " field ") << r.number;
    // A name that points elsewhere is caught.
    EXPECT_FALSE(grammar_stores({"procopt", "RMST", Bit, proc_bit::RMTL}));
    EXPECT_FALSE(grammar_stores({"procopt", "DATA", Field, proc_field::OUTSURV}));
}
