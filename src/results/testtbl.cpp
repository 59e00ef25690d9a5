// Tables of the tests: equality over strata, trend, multiple comparisons of
// strata, the rank tests of the TEST covariates, and Gray's test.
#include <algorithm>

#include "common/options.h"
#include "common/strata.h"
#include "results/coldef.h"
#include "results/results.h"
#include "results/slots.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

using namespace korv_results;

namespace
{

// Adjustment methods and comparison types of the multiple comparisons.
constexpr int kBon = -1, kSidak = -2, kGT2 = -3, kF = -4, kSim = -5, kExact = 0, kT = -6;
constexpr int kAll = -1, kControl = -2, kAnom = -5;

// The columns that tell which stratum a row of HomStats or TrendScores is.
void strataIdColumns(KorvPtr q, xobop t)
{
    if (GRPVAR* g = q->grpvar) {
        NAMESTR* nm = g->nm;
        ColumnCall raw;
        // The raw value goes with the row's data; the tables show the
        // formatted value.
        raw.type(nm->ntype == 1 ? WOB_COL_DOUBLE : WOB_COL_CHAR)
            .namestr(nm)
            .address(g->value + g->lenf)
            .length(g->lenu)
            .templ("GrpRawVar");
        raw.to(t);
        ColumnCall f;
        f.type(WOB_COL_CHAR)
            .name(vdqtxts("F%*s", 4, static_cast<int>(nm->namelen), nm->name_p))
            .label(vdqtxt(nm->name_p, nm->namelen))
            .length(nm->nflen > 0 ? nm->nflen : g->lenf)
            .address(g->value)
            .templ("gstrata");
        f.to(t);
    } else if (q->nsvar == 1) {
        varstring* vn = q->sname[0].name;
        xobskey k = vdqtxt(vn->s, static_cast<int>(vn->l));
        ColumnCall c;
        c.type(WOB_COL_CHAR)
            .name(k)
            .label(k)
            .length(q->sname[0].lngf)
            .address(q->value)
            .templ("gstrata");
        c.to(t);
    } else {
        numColumn(t, "Stratum", vdqmsg(0, msg0::STRATUM), &q->stratumno);
    }
}

// The width of the Test column of the comparisons: the longest test label,
// the Fleming label with its parameters.
void setTestLabelWidth(KorvPtr q, SURVDIFF* sd)
{
    if (!q->fleming) {
        sd->grouplen = 10;
    } else {
        char buf[32];
        sd->grouplen = q->fleming[1] < 0 ? xpmstr(buf, 32, 326, msg326::FLEMING_RHO, q->fleming[0])
                                         : xpmstr(buf, 32, 326, msg326::FLEMING_RHO_GAMMA,
                                                  q->fleming[0], q->fleming[1]);
    }
    if ((q->ktype & test_bit::MODPETO) && sd->grouplen < 13)
        sd->grouplen = 13;
}

// The two columns that hold the levels of a pair, values of `source` (the
// GROUP= variable or the single STRATA variable) named n1 and n2, `n` bytes
// each.
void levelPairColumns(KorvPtr q, SURVDIFF* sd, xobop t, const NAMESTR* source, int n,
                      const char* n1, const char* n2)
{
    // The copies live only during the column calls; the layer copies what
    // it needs from a descriptor.
    NAMESTR first = *source, second = *source;
    first.name_p = n1;
    first.namelen = static_cast<short>(std::char_traits<char>::length(n1));
    second.name_p = n2;
    second.namelen = first.namelen;
    // The headers say which level of the pair is which: the first and
    // the second, or the control.
    char firstLabel[128], secondLabel[128];
    const int nameLen = std::min<int>(source->namelen, 100);
    if (sd->type == kControl) {
        first.label_p = source->name_p;
        first.nlablen = source->namelen;
    } else {
        first.label_p = firstLabel;
        first.nlablen =
            static_cast<short>(xpmstr(firstLabel, static_cast<int>(sizeof firstLabel), 326,
                                      msg326::MC_FIRST_OF_PAIR, nameLen, source->name_p));
    }
    second.label_p = secondLabel;
    second.nlablen = static_cast<short>(
        xpmstr(secondLabel, static_cast<int>(sizeof secondLabel), 326,
               sd->type == kControl ? msg326::MC_CONTROL_OF_PAIR : msg326::MC_SECOND_OF_PAIR,
               nameLen, source->name_p));
    if (2 * n <= 256) {
        sd->ival = q->label;
    } else {
        sd->ival =
            static_cast<char*>(xmalloc_or_exit(xtaskpool(), 2 * static_cast<int64_t>(n), 0x3006));
    }
    sd->jval = sd->ival + n;
    ColumnCall c1, c2;
    c1.type(source->ntype == 1 ? WOB_COL_DOUBLE : WOB_COL_CHAR).namestr(&first).address(sd->ival);
    c2.type(source->ntype == 1 ? WOB_COL_DOUBLE : WOB_COL_CHAR).namestr(&second).address(sd->jval);
    if (source->ntype != 1) {
        c1.length(n);
        c2.length(n);
    }
    c1.to(t);
    c2.to(t);
}

// The columns that say which pair a row compares: the levels of the GROUP=
// variable or of the single STRATA variable, else the stratum numbers.
void pairColumns(KorvPtr q, SURVDIFF* sd, xobop t)
{
    const NAMESTR* source = nullptr;
    int n = 0;
    const char* n1 = nullptr;
    const char* n2 = nullptr;
    if (q->grpvar) {
        source = q->grpvar->nm;
        n = q->grpvar->lenu;
        n1 = "Group1";
        n2 = "Group2";
    } else if (q->nsvar == 1) {
        source = q->sname[0].nm;
        n = q->slenu;
        n1 = "Stratum1";
        n2 = "Stratum2";
    }
    if (source) {
        levelPairColumns(q, sd, t, source, n, n1, n2);
    } else {
        numColumn(t, "StratumNumber1",
                  sd->type == kControl ? vdqmsg(0, msg0::STRATUM)
                                       : vdqmsgs(326, msg326::MC_FIRST_OF_PAIR, 7, "Stratum"),
                  &q->iovar[diff_slot::STRATUM1]);
        numColumn(
            t, "StratumNumber2",
            vdqmsgs(326,
                    sd->type == kControl ? msg326::MC_CONTROL_OF_PAIR : msg326::MC_SECOND_OF_PAIR,
                    7, "Stratum"),
            &q->iovar[diff_slot::STRATUM2]);
    }
}

// The name and label of the adjusted p-value's column, single-step and
// stepdown; no name when the adjustment has no column (ADJUST=T).
struct AdjustedNames {
    const char* name = nullptr;
    const char* stepName = nullptr;
    int label = 0, stepLabel = 0;
};

AdjustedNames adjustedNames(const SURVDIFF* sd)
{
    switch (sd->method) {
    case kBon:
        return {"Bonferroni", "StepdownBonferroni", msg0::BONFERRONI, msg0::STEPDOWN_BONFERRONI};
    case kSidak:
        return {"Sidak", "StepdownSidak", msg0::SIDAK, msg0::STEPDOWN_SIDAK};
    case kGT2:
        return {"SMM", "StepdownSMM", msg0::SMM, msg0::STEPDOWN_SMM};
    case kF:
        return {"Scheffe", "StepdownScheffe", msg0::SCHEFFE, msg0::STEPDOWN_SCHEFFE};
    case kSim:
        return {"Simulate", "StepdownSimulate", msg0::SIMULATED, msg0::STEPDOWN_SIMULATED};
    case kExact:
        if (sd->type == kAll)
            return {"Tukey", "StepdownTukey", msg0::TUKEY, msg0::STEPDOWN_TUKEY};
        if (sd->type == kControl)
            return {"Dunnett", "StepdownDunnett", msg0::DUNNETT, msg0::STEPDOWN_DUNNETT};
        if (sd->type == kAnom)
            return {"Nelson", "StepdownNelson", msg0::NELSON, msg0::STEPDOWN_NELSON};
        // One-sided comparisons with a control: the column still gets a
        // name and a label of its own.
        return {"DunnettOneSided", "StepdownDunnettOneSided", msg0::DUNNETT_ONE_SIDED,
                msg0::STEPDOWN_DUNNETT_ONE_SIDED};
    case kT:
    default:
        return {};
    }
}

// The adjusted p-value's column, and beside the exact adjustments the
// column of their approximation.
void adjustedColumns(KorvPtr q, const SURVDIFF* sd, xobop t)
{
    const AdjustedNames a = adjustedNames(sd);
    if (!a.name || sd->method > 0 || sd->method < -5)
        return;
    ColumnCall c;
    c.type(WOB_COL_DOUBLE)
        .name(sd->step ? a.stepName : a.name)
        .label0(sd->step ? a.stepLabel : a.label)
        .address(&q->iovar[diff_slot::adjusted(sd->method)])
        .templ("Adjusted");
    c.to(t);
    // Beyond the reach of the exact integrals the comparisons use the
    // Tukey-Kramer (all pairs) or Hsu (against a control) approximation:
    // a column of that name, shown instead of the exact one.
    if (sd->method == kExact && (sd->type == kAll || sd->type == kControl)) {
        const bool all = sd->type == kAll;
        ColumnCall x;
        x.type(WOB_COL_DOUBLE)
            .name(all ? (sd->step ? "StepdownTukeyKramer" : "TukeyKramer")
                      : (sd->step ? "StepdownHsu" : "Hsu"))
            .label0(all ? (sd->step ? msg0::STEPDOWN_TUKEY_KRAMER : msg0::TUKEY_KRAMER)
                        : (sd->step ? msg0::STEPDOWN_HSU : msg0::HSU))
            .address(&q->iovar[diff_slot::APPROX])
            .templ("Approximate");
        x.to(t);
    }
}

} // namespace

void HomTest(KorvPtr q)
{
    xobop t;
    if (q->cmprisk) {
        t = createTable(q, txt("GrayTest"), vdqmsg(0, msg0::GRAY_TEST), true);
        q->HomTest = t;
        DefineStatusVar(q->cmprisk, t, 1);
    } else {
        t = createTable(q, txt("HomTests"), vdqmsg(0, msg0::EQUALITY_TEST));
        q->HomTest = t;
        DefineTestColumn(q, t);
    }
    numColumn(t, "ChiSq", vdqmsg(0, msg0::CHI_SQUARE), &q->iovar[chisq_slot::CHISQ]);
    numColumn(t, "DF", vdqmsg(0, msg0::DF), &q->iovar[chisq_slot::DF]);
    numColumn(t, "ProbChiSq", vdqmsg(0, msg0::PR_CHI_SQUARE), &q->iovar[chisq_slot::PROB]);
    endColumns(t);
}

void HomStat(KorvPtr q)
{
    xobop t = createTable(q, txt("HomStats"), vdqmsg(0, msg0::RANK_STATISTICS));
    q->HomStat = t;
    strataIdColumns(q, t);
    if (q->ktype & test_bit::LOGRANK)
        numColumn(t, "LogRank", vdqmsg(0, msg0::LOGRANK), &q->iovar[homstat_slot::LOGRANK]);
    if (q->ktype & test_bit::WILCOXON)
        numColumn(t, "Wilcoxon", vdqmsg(0, msg0::WILCOXON), &q->iovar[homstat_slot::WILCOXON]);
    if (q->ktype & test_bit::TARONE)
        numColumn(t, "Tarone", nullptr, &q->iovar[homstat_slot::TARONE]);
    if (q->ktype & test_bit::PETO)
        numColumn(t, "Peto", nullptr, &q->iovar[homstat_slot::PETO]);
    if (q->ktype & test_bit::MODPETO)
        numColumn(t, "ModifiedPeto", nullptr, &q->iovar[homstat_slot::MODPETO]);
    if (q->fleming)
        numColumn(t, "Fleming", nullptr, &q->iovar[homstat_slot::FLEMING]);
    endColumns(t);
}

void TrendScore(KorvPtr q)
{
    xobop t = createTable(q, txt("TrendScores"), vdqmsg(0, msg0::TREND_SCORES));
    q->HomStat = t;
    strataIdColumns(q, t);
    numColumn(t, "Score", nullptr, &q->iovar[trendscore_slot::SCORE]);
    endColumns(t);
}

void TrendTest(KorvPtr q)
{
    xobop t = createTable(q, txt("TrendTests"), vdqmsg(0, msg0::TREND_TESTS));
    q->HomTest = t;
    charColumn(t, "Test", vdqmsg(0, msg0::TEST), q->varname, TestColumnLength(q));
    static const struct {
        const char* name;
        int slot;
    } cols[] = {
        {"TestStatistic", trend_slot::STATISTIC},
        {"StdErr", trend_slot::STDERR},
        {"zScore", trend_slot::Z},
        {"Probz", trend_slot::PROB_Z},
        {"LowerProbz", trend_slot::LOWER_PROB_Z},
        {"UpperProbz", trend_slot::UPPER_PROB_Z},
    };
    for (const auto& c : cols)
        numColumn(t, c.name, nullptr, &q->iovar[c.slot]);
    endColumns(t);
}

void SurvDiff(KorvPtr q)
{
    SURVDIFF* sd = q->survdiff;
    xobop t = createTable(q, txt("SurvDiff"), vdqmsg(0, msg0::EQUALITY_TEST));
    setTestLabelWidth(q, sd);
    pairColumns(q, sd, t);
    numColumn(t, "ChiSq", vdqmsg(0, msg0::CHI_SQUARE), &q->iovar[diff_slot::CHISQ]);
    numColumn(t, "Raw", nullptr, &q->iovar[diff_slot::RAW]);
    adjustedColumns(q, sd, t);
    endColumns(t);
    sd->data = t;
}

void UniChi(KorvPtr q, const char* test)
{
    bool w = test && test[0] == 'W';
    xobop t = createTable(q, txt(w ? "WilUniChiSq" : "LogUniChiSq"),
                          vdqmsg(0, w ? msg0::WILCOXON_UNIVARIATE : msg0::LOGRANK_UNIVARIATE));
    (w ? q->UniChiW : q->UniChiL) = t;
    charColumn(t, "Variable", vdqmsg(0, msg0::VARIABLE), q->varname, q->cnamlen);
    numColumn(t, "Statistic", vdqmsg(0, msg0::TEST_STATISTIC), &q->iovar[unichi_slot::STATISTIC]);
    numColumn(t, "StdErr", vdqmsg(0, msg0::STANDARD_DEVIATION), &q->iovar[unichi_slot::STDERR]);
    numColumn(t, "ChiSq", vdqmsg(0, msg0::CHI_SQUARE), &q->iovar[unichi_slot::CHISQ]);
    numColumn(t, "ProbChiSq", vdqmsg(0, msg0::PR_CHI_SQUARE), &q->iovar[unichi_slot::PROB]);
    if (q->clablen)
        charColumn(t, "Label", vdqmsg(0, msg0::LABEL), q->label, q->clablen);
    endColumns(t);
}

void Step(KorvPtr q, const char* test)
{
    bool w = test && test[0] == 'W';
    xobop t = createTable(q, txt(w ? "WilForStepSeq" : "LogForStepSeq"),
                          vdqmsg(0, w ? msg0::WILCOXON_STEPWISE : msg0::LOGRANK_STEPWISE));
    (w ? q->StepW : q->StepL) = t;
    charColumn(t, "Variable", vdqmsg(0, msg0::VARIABLE), q->varname, q->cnamlen);
    numColumn(t, "DF", vdqmsg(0, msg0::DF), &q->iovar[step_slot::DF]);
    numColumn(t, "ChiSq", vdqmsg(0, msg0::CHI_SQUARE), &q->iovar[step_slot::CHISQ]);
    numColumn(t, "ProbChiSq", vdqmsg(0, msg0::PR_CHI_SQUARE), &q->iovar[step_slot::PROB]);
    numColumn(t, "Increment", vdqmsg(0, msg0::CHI_SQUARE_INCREMENT),
              &q->iovar[step_slot::INCREMENT]);
    numColumn(t, "ProbIncrement", vdqmsg(0, msg0::PR_INCREMENT),
              &q->iovar[step_slot::PROB_INCREMENT]);
    if (q->clablen)
        charColumn(t, "Label", vdqmsg(0, msg0::LABEL), q->label, q->clablen);
    endColumns(t);
}
