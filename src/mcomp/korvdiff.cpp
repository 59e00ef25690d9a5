// Comparisons of survival curves (DIFF=, ADJUST=): each requested test's
// saved scores and covariance are reread, turned into one-degree-of-freedom
// chi-squares for pairs of strata (or GROUP= levels), or for each level
// against a control, and printed with raw and adjusted p-values from the
// comparison engine (zmclsm), one table per test.
//
// Comparison r of levels a and b (a minus b) has d = U_a - U_b and
// v = V_aa + V_bb - 2 V_ab from the k-sample scores U and their covariance V
// (risk sets pooled over all k levels: not the two-sample test of a and b
// alone); chi-square = d^2 / v when v > 2^-511, else missing.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "common/korvcom.h"
#include "common/options.h"
#include "common/stages.h"
#include "common/strata.h"
#include "mcomp/survdiff.h"
#include "mcomp/zmclsm.h"
#include "results/slots.h"
#include "runtime/korv_assert.h"
#include "runtime/missing.h"
#include "runtime/seed.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "runtime/xccheck.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

const bool korv_built_comparisons = true;

namespace
{

constexpr double kTiny = 1.491668146240041348658193e-154; // 2^-511

struct TestName {
    int bit;
    const char* key;
    int label; // the test's row label (group 326)
};
constexpr TestName kTests[] = {
    {test_bit::LOGRANK, "Logrank", 132}, {test_bit::WILCOXON, "Wilcoxon", 133},
    {test_bit::TARONE, "Tarone", 204},   {test_bit::PETO, "Peto", 210},
    {test_bit::MODPETO, "ModPeto", 211}, {test_bit::FLEMING, "Fleming", 0},
};

// The tests whose scores are compared, weighted and not.
constexpr int kWeightedTests = test_bit::LOGRANK | test_bit::WILCOXON | test_bit::TARONE;
constexpr int kComparedTests =
    kWeightedTests | test_bit::PETO | test_bit::MODPETO | test_bit::FLEMING;

long packedIndex(int i, int j)
{
    const int r = std::max(i, j), c = std::min(i, j);
    return static_cast<long>(r) * (r + 1) / 2 + c;
}

// Where each level's text lies (the raw part of its key), in level order:
// the strata list, or the GROUP= level list.
std::vector<const char*> levelTexts(KorvPtr q, int k)
{
    std::vector<const char*> out;
    if (GRPVAR* g = q->grpvar) {
        for (GRPTREE* node = g->ghead; node && static_cast<int>(out.size()) < k; node = node->left)
            out.push_back(grptree_key(node) + g->lenf);
    } else if (q->nsvar == 1) {
        for (STRATA* s = q->strata; s && static_cast<int>(out.size()) < k; s = s->left)
            out.push_back(strata_key(s) + q->sname[0].posu);
    }
    return out;
}

// The tests whose scores are compared: the weighted tests compute log-rank,
// Wilcoxon and Tarone only.
int comparedTests(KorvPtr q)
{
    const int mask = q->zwt ? kWeightedTests : kComparedTests;
    int n = 0;
    for (const TestName& t : kTests)
        if (q->ktype & mask & t.bit)
            ++n;
    return n;
}

// Levels compared: the GROUP= levels, else the strata.
int comparedLevels(KorvPtr q)
{
    return q->grpvar ? q->grpvar->ngrp : q->nstrata;
}

// Rows of one table for k levels.
double comparisonRows(KorvPtr q, int k)
{
    if (k < 2)
        return 0;
    return q->survdiff->type == QXMCLSM_CONTROL ? k - 1.0 : 0.5 * k * (k - 1.0);
}

// The most comparisons one table may hold: the system option
// MAXCOMPARISONS= (0 for no limit), else KORV_MC_MAX_COMPARISONS. *text is
// set to the option's text when it is not a number of 0 or more.
double comparisonLimit(const char** text = nullptr, int* len = nullptr)
{
    int l = 0;
    const char* t = xoptcgt("MAXCOMPARISONS", &l);
    if (l <= 0)
        return KORV_MC_MAX_COMPARISONS;
    double v = 0;
    if (xyrngef("MAXCOMPARISONS", &v) == 0 && v >= 0 && std::isfinite(v))
        return v == 0 ? std::numeric_limits<double>::infinity() : std::floor(v);
    if (text) {
        *text = t;
        *len = l;
    }
    return KORV_MC_MAX_COMPARISONS;
}

// Whether the comparisons of k levels are left out: past the limit, or too
// many for the simulated adjustment's correlation.
bool leftOut(KorvPtr q, int k)
{
    const double rows = comparisonRows(q, k);
    return rows > comparisonLimit() ||
           (q->survdiff->method == QXMCLSM_SIM && rows > QXMCLSM_MAX_SIMULATED);
}

// The label of test t as the test table shows it.
int testLabel(KorvPtr q, int t, char* buf, int size)
{
    int n;
    if (kTests[t].bit == test_bit::FLEMING) {
        const double rho = q->fleming ? q->fleming[0] : 1.0;
        const double gamma = q->fleming ? q->fleming[1] : -1.0;
        n = gamma < 0 ? xpmstr(buf, size, 326, msg326::FLEMING_RHO, rho)
                      : xpmstr(buf, size, 326, msg326::FLEMING_RHO_GAMMA, rho, gamma);
    } else {
        n = xpmstr(buf, size, 326, kTests[t].label);
    }
    return std::clamp(n, 0, size);
}

// Whether the significant text of a key piece matches a control value: the
// text between its leading and trailing blanks equals the value, or the two
// have the same length without trailing blanks and compare equal.
bool pieceMatches(const char* piece, int len, const varstring& ref)
{
    int tl = 0, start = 0;
    wzstjls(const_cast<char*>(piece), len, 'n', &tl, &start);
    const int rl = static_cast<int>(ref.l);
    if (tl == rl)
        return wzstcmn(piece + start, tl, ref.s, rl, nullptr) == 0;
    const int a = wzstrip(piece, len), b = wzstrip(ref.s, rl);
    return a == b && wzstcmn(piece, a, ref.s, b, nullptr) == 0;
}

// Fills the cells of level `level` as the first (which 0) or second level
// of a row: its text, or its number with several STRATA variables.
void setLevel(KorvPtr q, const std::vector<const char*>& texts, int which, int level)
{
    SURVDIFF* sd = q->survdiff;
    if (q->grpvar || q->nsvar == 1) {
        const size_t n = static_cast<size_t>(q->grpvar ? q->grpvar->lenu : q->sname[0].lngu);
        if (level < static_cast<int>(texts.size()))
            std::memcpy(which == 0 ? sd->ival : sd->jval, texts[static_cast<size_t>(level)], n);
    } else {
        KORV_ASSERT(which == 0 || which == 1, "a comparison names two levels");
        q->iovar[diff_slot::LEVEL[which]] = level + 1;
    }
}

// The two calls of one test: the raw p-values, then the adjusted ones.
struct Arrays {
    double* raw = nullptr;
    double* adj = nullptr;
    int rc = 0;          // the engine's return code, the larger of the two calls
    bool failed = false; // an array asked for did not come
};

// One test's comparisons: the engine's results, then its table (in a group
// of the test), then the engine's reports on them, which refer to its rows.
struct DiffRun {
    KorvPtr q;
    ZMCLSMI* lmc;
    xobskey test;
    const char* testText;
    int k;
    int rows;
    Arrays a;
    bool written = false;

    // Takes the adjusted p-values the engine left in lmc.
    void takeAdjusted()
    {
        a.rc = std::max(a.rc, lmc->rc);
        if (lmc->adjp && lmc->ncmp == rows)
            a.adj = lmc->adjp;
        else if (lmc->adjp && lmc->pool)
            lmc->pool->free(lmc->pool, lmc->adjp, -1, 4);
        lmc->adjp = nullptr;
        if (!a.adj)
            a.failed = true;
    }
    void table();
};

void runEngine(DiffRun& run)
{
    KorvPtr q = run.q;
    ZMCLSMI* lmc = run.lmc;
    SURVDIFF* sd = q->survdiff;
    Arrays& a = run.a;
    // Raw p-values.
    lmc->method = QXMCLSM_T;
    lmc->step = lmc->steprep = lmc->stepcsize = lmc->stepliberal = lmc->steporder =
        lmc->stepmaxtime = 0;
    lmc->beforeReports = nullptr;
    const int type = lmc->type;
    lmc->adjp = nullptr;
    lmc->ncmp = 0;
    lmc->rc = 0;
    zmclsm(lmc);
    lmc->type = type;
    a.rc = lmc->rc;
    if (lmc->adjp && lmc->ncmp == run.rows)
        a.raw = lmc->adjp;
    else if (lmc->adjp && lmc->pool)
        lmc->pool->free(lmc->pool, lmc->adjp, -1, 4);
    lmc->adjp = nullptr;
    if (!a.raw)
        a.failed = true;
    // Adjusted p-values: the table is written as soon as they are in, before
    // the engine's reports on them.
    lmc->method = sd->method;
    if (lmc->method != QXMCLSM_T) {
        lmc->step = sd->step;
        lmc->steprep = sd->steprep;
        lmc->stepcsize = sd->stepcsize;
        lmc->steporder = sd->steporder;
        lmc->stepmaxtime = sd->stepmaxtime;
        lmc->stepliberal = 0;
        lmc->ncmp = 0;
        lmc->rc = 0;
        lmc->beforeReports = [](ZMCLSMI* l, void* context) {
            auto* r = static_cast<DiffRun*>(context);
            r->takeAdjusted();
            r->table();
            (void)l;
        };
        lmc->reportsContext = &run;
        zmclsm(lmc);
        lmc->beforeReports = nullptr;
        lmc->reportsContext = nullptr;
        lmc->type = type;
        // An engine that stopped before its results: what came is reported.
        if (!run.written)
            run.takeAdjusted();
    }
}

void DiffRun::table()
{
    SURVDIFF* sd = q->survdiff;
    written = true;
    const int c = lmc->idxcntl;
    const bool control = sd->type == QXMCLSM_CONTROL;
    // The exact method beyond the reach of its integrals: the Tukey-Kramer or
    // Hsu approximation, in a column of its own name, with a note.
    const bool approx = sd->method == QXMCLSM_EXACT && lmc->exact == 0 && a.adj;

    // An engine that gave no p-values, or said it failed, is reported: the
    // table then shows missing p-values, never values of another row.
    if (a.failed) {
        xpmlog(326, msg326::MC_NO_PVALUES, testText);
        q->rc = std::max(q->rc, 1012);
    } else if (a.rc > 0) {
        q->rc = std::max(q->rc, a.rc);
    }

    // The group of the test.
    WOB_PARM_BLK_STR g[] = {wob_object(WOB_TAG_OUT, nullptr),
                            wob_key(WOB_TAG_NAME, test),
                            wob_flag(286, 1),
                            wob_key(WOB_TAG_KIND, vdqtxt("Test", 4)),
                            wob_int(WOB_TAG_LENGTH, sd->grouplen),
                            wob_flag(WOB_TAG_FLAG435, 0)};
    wobcall(q->vdq, WOB_SEL_MAKE_GROUP, g);
    sd->group = g[0].value.o;

    // The template and the width of the level columns.
    const char* templ = "Stat.Korvante.SurvDiff";
    int width = 0;
    if (q->grpvar || q->nsvar == 1) {
        NAMESTR* nm = q->grpvar ? q->grpvar->nm : q->sname[0].nm;
        if (nm && (nm->ntype != 1 || nm->nformlongl > 0 || nm->nfl > 0)) {
            templ = "Stat.Korvante.SurvDiff2";
            width = nm->nflen;
        } else {
            templ = "Stat.Korvante.SurvDiff1";
        }
    }
    WOB_PARM_BLK_STR t[] = {wob_object(WOB_TAG_OBJECT, nullptr),
                            wob_object(WOB_TAG_OBJECT, sd->data),
                            wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1)),
                            wob_key(WOB_TAG_DYNNAME, vdqtxt("Test", 4)),
                            wob_key(WOB_TAG_DYNVALUE, test),
                            wob_key(WOB_TAG_DYNNAME, vdqtxt("formatWidth", 11)),
                            wob_int(WOB_TAG_DYNVALUE, width),
                            wob_key(WOB_TAG_DYNNAME, vdqtxt("TestLabel", 9)),
                            wob_key(WOB_TAG_DYNVALUE, vdqtxt(testText, -1)),
                            wob_key(WOB_TAG_DYNNAME, vdqtxt("ApproximateUsed", -1)),
                            wob_int(WOB_TAG_DYNVALUE, approx ? 1 : 0),
                            wob_key(WOB_TAG_DYNNAME, vdqtxt("ExactUsed", -1)),
                            wob_int(WOB_TAG_DYNVALUE, approx ? 0 : 1)};
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, t);
    q->output = t[0].value.o;

    // The rows, in the order of the engine's p-values.
    const double* U = lmc->mean;
    const double* V = lmc->var;
    const int adjCell = diff_slot::adjusted(sd->method);
    auto emit = [&](int r, int i, int j) {
        const double d = U[i] - U[j];
        const double v = V[packedIndex(i, i)] + V[packedIndex(j, j)] - 2.0 * V[packedIndex(i, j)];
        q->iovar[diff_slot::CHISQ] = v > kTiny ? d * d / v : korv_missing();
        q->iovar[diff_slot::RAW] = a.raw ? a.raw[r] : korv_missing();
        if (sd->method != QXMCLSM_T && adjCell >= diff_slot::FIRST_ADJUSTED &&
            adjCell <= diff_slot::LAST_ADJUSTED) {
            const double p = a.adj ? a.adj[r] : korv_missing();
            KORV_ASSERT(adjCell < diff_slot::COUNT && diff_slot::COUNT <= KORV_IOVAR_SLOTS,
                        "the adjusted p-value's slot is one of the comparison table's");
            q->iovar[adjCell] = approx ? korv_missing() : p;
            q->iovar[diff_slot::APPROX] = approx ? p : korv_missing();
        }
        wobcall(sd->data, WOB_SEL_PUT_ROW);
    };
    const std::vector<const char*> texts = levelTexts(q, k);
    int r = 0;
    if (!control) {
        for (int i = 0; i + 1 < k; ++i) {
            setLevel(q, texts, 0, i);
            for (int j = i + 1; j < k; ++j) {
                setLevel(q, texts, 1, j);
                emit(r++, i, j);
            }
        }
    } else {
        setLevel(q, texts, 1, c);
        for (int i = 0; i < k; ++i) {
            if (i == c)
                continue;
            setLevel(q, texts, 0, i);
            emit(r++, i, c);
        }
    }
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA, 1);
    wobcall(sd->data, WOB_SEL_END_DATA, end);
    xobop note = nullptr;
    if (approx)
        note = wobtitle(q->vdq,
                        vdqmsgs(326,
                                sd->type == QXMCLSM_CONTROL ? msg326::MC_NOTE_HSU
                                                            : msg326::MC_NOTE_TUKEY_KRAMER,
                                k),
                        'l');
    WOB_PARM_BLK_STR close[2] = {wob_object(WOB_TAG_OBJECT, q->output),
                                 wob_object(WOB_TAG_NOTE_OBJ, note)};
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, note ? 2 : 1, close);
}

} // namespace

void Diff(KorvPtr q, int nstrata, ZMCLSMI* lmc, xobskey test)
{
    SURVDIFF* sd = q->survdiff;
    // The test's label, as its row of the test table reads.
    char testText[64] = "";
    const std::string key = vdqkeystring(test);
    for (int t = 0; t < static_cast<int>(std::size(kTests)); ++t)
        if (key == kTests[t].key)
            testText[testLabel(q, t, testText, 63)] = '\0';
    const int k = nstrata;
    const bool control = sd->type == QXMCLSM_CONTROL;
    char subject[96];
    xpsstr(subject, static_cast<int>(sizeof subject), "the %s test", testText);
    lmc->subject = subject;
    DiffRun run{q, lmc, test, testText, k, k < 2 ? 0 : control ? k - 1 : k * (k - 1) / 2, {}};
    runEngine(run);
    if (!run.written)
        run.table();
    // The group closes after the reports, which belong to the test too.
    const int rcg = wobzoom(sd->group, 3, 4, 0, nullptr);
    if (rcg < 0)
        zvdqexit(rcg);
    sd->group = nullptr;

    lmc->subject = nullptr;
    if (run.a.raw)
        lmc->pool->free(lmc->pool, run.a.raw, -1, 4);
    if (run.a.adj)
        lmc->pool->free(lmc->pool, run.a.adj, -1, 4);
}

int findIndex(KorvPtr q)
{
    SURVDIFF* sd = q->survdiff;
    int index = -1;
    if (GRPVAR* g = q->grpvar) {
        int n = 0;
        for (GRPTREE* node = g->ghead; node && sd->nref >= 1; node = node->left, ++n)
            if (pieceMatches(grptree_key(node), g->lenf, sd->ref[0])) {
                index = n;
                break;
            }
        if (index < 0) {
            xpmlog(326, msg326::CONTROL_NOT_GROUP, static_cast<int>(sd->ref[0].l), sd->ref[0].s);
            q->rc = std::max(q->rc, 4);
        }
    } else {
        int n = 0;
        for (STRATA* s = q->strata; s && n < q->nstrata; s = s->left, ++n) {
            bool all = sd->nref == q->nsvar && q->nsvar > 0;
            for (int v = 0; all && v < q->nsvar; ++v)
                all = pieceMatches(strata_key(s) + q->sname[v].posf, q->sname[v].lngf, sd->ref[v]);
            if (all) {
                index = n;
                break;
            }
        }
        if (index < 0) {
            // The values as given, for the message.
            char text[512];
            int len = 0;
            for (int v = 0; v < sd->nref && len < 400; ++v)
                len += xpsstr(text + len, static_cast<int>(sizeof text) - len, "%s'%.*s'",
                              v ? " " : "", static_cast<int>(std::min<int64_t>(sd->ref[v].l, 100)),
                              sd->ref[v].s);
            xpmlog(326, msg326::CONTROL_NOT_STRATUM, text);
            q->rc = std::max(q->rc, 4);
        }
    }
    if (index < 0)
        index = 0;
    sd->idxcntl = index;
    return index;
}

int MultipleComparisons(KorvPtr q, int nstrata, POOLHANDLE* polhomo)
{
    SURVDIFF* sd = q->survdiff;
    // Nothing is printed under NOPRINT, and the comparisons print nothing
    // else: they are not made.
    if (!sd || !sd->utid || !q->zprint || nstrata < 1)
        return 0;
    const int k = nstrata;
    // A single GROUP= level has nothing to be compared with: said, as a
    // single stratum's missing tests are, and the step goes on.
    if (k < 2) {
        xpmlog(326, msg326::MC_ONE_GROUP_LEVEL);
        return 0;
    }
    // Too many comparisons: the data pass said so before the estimates.
    if (leftOut(q, k))
        return 0;
    check_file(xcpoint(sd->utid, 0));

    ZMCLSMI lmc;
    std::memset(&lmc, 0, sizeof lmc);
    lmc.nl = k;
    lmc.type = sd->type;
    if (lmc.type == QXMCLSM_CONTROL) {
        if (sd->refcntl == -3)
            lmc.idxcntl = findIndex(q);
        else if (sd->refcntl == -2)
            lmc.idxcntl = k - 1;
        else
            lmc.idxcntl = 0;
    }
    lmc.pool = polhomo;
    lmc.method = sd->method;
    korv_mc_simulation_settings(&lmc, sd);
    lmc.vdq = q->vdq;
    lmc.dfe = korv_missing();
    lmc.rmse = 1.0;

    // The record buffer: (k + 1)(k + 2)/2 doubles, the scores after the
    // packed covariance.
    const int64_t words = static_cast<int64_t>(k + 1) * (k + 2) / 2;
    sd->var = static_cast<double*>(xmalloc_or_exit(polhomo, words * 8, 0x3004));
    sd->mean = sd->var + static_cast<int64_t>(k) * (k + 1) / 2;
    lmc.var = sd->var;
    lmc.mean = sd->mean;

    const int tests = q->zwt ? kWeightedTests : kComparedTests;
    for (int t = 0; t < static_cast<int>(std::size(kTests)); ++t) {
        if (!(q->ktype & tests & kTests[t].bit))
            continue;
        check_file(xcread(sd->utid, sd->var, static_cast<long>(words * 8)));
        Diff(q, k, &lmc, vdqtxt(kTests[t].key, -1));
    }
    return 0;
}

void korv_mc_announce(KorvPtr q)
{
    SURVDIFF* sd = q->survdiff;
    if (!sd || !q->zprint)
        return;
    const int k = comparedLevels(q);
    const double rows = comparisonRows(q, k);
    const int tests = comparedTests(q);
    if (rows <= 0 || tests == 0)
        return;
    const char* text = nullptr;
    int len = 0;
    const double limit = comparisonLimit(&text, &len);
    if (text)
        xpmlog(326, msg326::MC_LIMIT_NOT_NUMBER, len, text, KORV_MC_MAX_COMPARISONS);
    if (rows > limit) {
        xpmlog(326, msg326::MC_TOO_MANY_ROWS, rows, k, limit);
        q->rc = std::max(q->rc, 4);
    } else if (sd->method == QXMCLSM_SIM && rows > QXMCLSM_MAX_SIMULATED) {
        xpmlog(326, msg326::MC_TOO_MANY_SIMULATED, rows, k, QXMCLSM_MAX_SIMULATED);
        q->rc = std::max(q->rc, 4);
    } else if (rows >= 1000) {
        xpmlog(326, msg326::MC_ROWS, rows, k, tests);
    }
}

void korv_mc_simulation_settings(ZMCLSMI* lmc, const SURVDIFF* sd)
{
    if (sd->method == QXMCLSM_SIM) {
        lmc->p = sd->alpha;
        lmc->acc = sd->acc;
        lmc->eps = sd->eps;
        lmc->nsamp = sd->nsamp;
        lmc->tinc = sd->tinc;
        lmc->rep = sd->rep;
        lmc->seed = sd->seed;
        zranms(&lmc->seed, 1);
    } else {
        lmc->p = 0.05;
        lmc->acc = 0.005;
        lmc->eps = 0.01;
        lmc->nsamp = 0;
        lmc->tinc = 30;
        lmc->rep = 0;
        lmc->seed = 0;
    }
}
